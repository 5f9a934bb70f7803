// Keyboard driver against a fake 8042: scan codes in through kbd_irq_work,
// key codes and characters out, and the bytes it sends to the controller.
#include "drivers/keyboard.h"

#include <string>
#include <vector>

#include "cpu/isr.h"
#include "fakes/hw_test.h"

namespace {

using fake::PortAccess;

constexpr uint16_t DATA = 0x60;
constexpr uint16_t STATUS = 0x64;

constexpr uint8_t SC_A = 0x1E;
constexpr uint8_t SC_B = 0x30;
constexpr uint8_t SC_SHIFT = 0x2A;
constexpr uint8_t SC_CTRL = 0x1D;
constexpr uint8_t SC_CAPS = 0x3A;
constexpr uint8_t SC_NUM = 0x45;
constexpr uint8_t SC_SCROLL = 0x46;
constexpr uint8_t RELEASE = 0x80;
constexpr uint8_t EXTENDED = 0xE0;

class KeyboardTest : public HardwareTest {
protected:
    void SetUp() override
    {
        HardwareTest::SetUp();
        fake::set_default_read(STATUS, 0x00);  // idle controller: nothing to read, ready to take bytes
        kbd_shutdown();                        // no modifier held, every lock off
        kbd_clear_key();
        fake::port_writes.clear();
    }

    // One byte from the keyboard, the way line 1 delivers it.
    static void deliver(uint8_t code)
    {
        fake::queue_reads(STATUS, {0x01});
        fake::queue_reads(DATA, {code});
        kbd_irq_work();
    }

    static void tap(uint8_t code)
    {
        deliver(code);
        deliver(code | RELEASE);
    }
};

// ---- scan codes to key codes ----

TEST_F(KeyboardTest, EveryScanCodeOffersItsKeyCode)
{
    const auto chars = [](const std::string& s) { return std::vector<KeyCode>(s.begin(), s.end()); };
    const struct {
        uint8_t first;
        std::vector<KeyCode> keys;
    } rows[] = {
        {0x01, {KEY_ESC}},
        {0x02, chars("1234567890-=")},
        {0x0E, {8, KEY_TAB}},
        {0x10, chars("qwertyuiop[]")},
        {0x1C, {KEY_ENTER, KEY_CTRL}},
        {0x1E, chars("asdfghjkl;'`")},
        {0x2A, {KEY_SHIFT, '\\'}},
        {0x2C, chars("zxcvbnm,./")},
        {0x36, {KEY_SHIFT, KEY_NONE, KEY_ALT, ' ', KEY_CAPS_LOCK}},
        {0x3B, {KEY_F1, KEY_F2, KEY_F3, KEY_F4, KEY_F5, KEY_F6, KEY_F7, KEY_F8, KEY_F9, KEY_F10}},
        {0x45, {KEY_NUM_LOCK, KEY_SCROLL_LOCK}},
        {0x47, {KEY_NONE, KEY_UP, KEY_NONE, '-', KEY_LEFT, KEY_NONE, KEY_RIGHT, '+', KEY_NONE, KEY_DOWN, KEY_NONE}},
        {0x52, std::vector<KeyCode>(0x80 - 0x52, 0)},
    };
    int covered = 1;  // 0x00 is "no key" by definition
    for (const auto& row : rows) {
        for (size_t i = 0; i < row.keys.size(); ++i, ++covered) {
            const auto code = static_cast<uint8_t>(row.first + i);
            kbd_clear_key();
            deliver(code);
            EXPECT_EQ(kbd_peek_key(), row.keys[i]) << "scan code 0x" << std::hex << int{code};
        }
    }
    EXPECT_EQ(covered, 128);
}

// The wait must let interrupts in while it waits, or no key could arrive, and
// must leave them as it found them once it has taken the key. It halts
// between keys, but only while interrupts are on: a halt with them off would
// never end.
TEST_F(KeyboardTest, KeypadFiveGivesNothingSoTheWaitGoesOnUntilTheNextPress)
{
    deliver(0x4C);  // keypad 5
    EXPECT_EQ(kbd_peek_key(), KEY_NONE);

    fake::interrupts_on = true;
    bool open_while_waiting = true;
    fake::on_relax = [&] {
        open_while_waiting = open_while_waiting && fake::interrupts_on;
        if (fake::relax_calls == 50) {
            deliver(SC_B);
        }
    };
    EXPECT_EQ(kbd_wait_key(), KeyCode('b'));
    EXPECT_EQ(fake::relax_calls, 50);
    EXPECT_EQ(fake::halts, 50);
    EXPECT_TRUE(open_while_waiting);
    EXPECT_TRUE(fake::interrupts_on);
    EXPECT_EQ(kbd_peek_key(), KEY_NONE) << "the wait took the key";

    fake::interrupts_on = false;  // a caller running with interrupts off keeps them off
    fake::relax_calls = 0;
    fake::halts = 0;
    EXPECT_EQ(kbd_wait_key(), KeyCode('b'));
    EXPECT_EQ(fake::halts, 0);
    EXPECT_FALSE(fake::interrupts_on);
}

TEST_F(KeyboardTest, OnlyAPressChangesTheOfferedKeyAndTheNewestWins)
{
    deliver(SC_A | RELEASE);  // a release with no press before it
    EXPECT_EQ(kbd_peek_key(), KEY_NONE);
    deliver(SC_A);
    deliver(SC_B | RELEASE);
    deliver(SC_SHIFT | RELEASE);
    EXPECT_EQ(kbd_peek_key(), KeyCode('a'));
    tap(SC_B);
    EXPECT_EQ(kbd_wait_key(), KeyCode('b'));
    EXPECT_EQ(kbd_peek_key(), KEY_NONE);
}

TEST_F(KeyboardTest, ExtendedPrefixIsIgnoredAndExtendedKeysActLikeTheirKeypadTwins)
{
    deliver(SC_A);
    deliver(EXTENDED);
    EXPECT_EQ(kbd_peek_key(), KeyCode('a'));
    deliver(0x48);  // E0 48: the cursor Up key
    EXPECT_EQ(kbd_peek_key(), KEY_UP);

    deliver(EXTENDED);  // right Ctrl
    deliver(SC_CTRL);
    tap(SC_A);
    EXPECT_EQ(kbd_ctrl_held(), 1);
    deliver(EXTENDED);
    deliver(SC_CTRL | RELEASE);
    EXPECT_EQ(kbd_ctrl_held(), 0);
}

TEST_F(KeyboardTest, EveryInterruptIsAcknowledgedAndAnEmptyBufferIsNotRead)
{
    int data_reads = 0;
    fake::on_read(DATA, [&](uint16_t) {
        ++data_reads;
        return SC_A;
    });
    kbd_irq_work();  // status 0x00: nothing to read
    EXPECT_EQ(data_reads, 0);
    EXPECT_EQ(kbd_peek_key(), KEY_NONE);

    tap(SC_A);
    deliver(SC_CAPS);
    EXPECT_EQ(fake::writes_to(0x20), (std::vector<uint32_t>{0x20, 0x20, 0x20, 0x20}));
    EXPECT_TRUE(fake::writes_to(0xA0).empty());
}

// ---- modifiers, locks and characters ----

// Letters are upper case with exactly one of Shift and Caps Lock.
TEST_F(KeyboardTest, CapsLockTwiceIsOffAgainAndEachLockSendsTheWholeLedState)
{
    const auto letters = [] { return std::string{kbd_key_to_char('a'), kbd_key_to_char('z')}; };
    tap(SC_CAPS);
    EXPECT_EQ(letters(), "AZ");
    EXPECT_EQ(kbd_wait_key(), KEY_CAPS_LOCK) << "offered like any other press";
    deliver(SC_SHIFT);
    EXPECT_EQ(letters(), "az");
    deliver(SC_SHIFT | RELEASE);
    tap(SC_CAPS);
    EXPECT_EQ(letters(), "az");
    deliver(SC_SHIFT);
    EXPECT_EQ(letters(), "AZ");
    deliver(SC_SHIFT | RELEASE);

    for (uint8_t lock : {SC_NUM, SC_SCROLL, SC_CAPS, SC_NUM}) {
        tap(lock);
    }
    EXPECT_EQ(fake::writes_to(DATA),
              (std::vector<uint32_t>{0xED, 0x04, 0xED, 0x00, 0xED, 0x02, 0xED, 0x03, 0xED, 0x07, 0xED, 0x05}));
}

// Every character key, Shift with the keypad's '+' and '-' among them.
TEST_F(KeyboardTest, ShiftGivesTheShiftedCharacterOfEveryKeyAndNothingForOthers)
{
    const std::string plain = "',-./0123456789;=[\\]`";
    const std::string shifted = "\"<_>?)!@#$%^&*(:+{|}~";
    ASSERT_EQ(plain.size(), shifted.size());
    for (size_t i = 0; i < plain.size(); ++i) {
        EXPECT_EQ(kbd_key_to_char(KeyCode(plain[i])), plain[i]) << "without shift";
    }
    deliver(0x36);  // right Shift
    for (size_t i = 0; i < plain.size(); ++i) {
        EXPECT_EQ(kbd_key_to_char(KeyCode(plain[i])), shifted[i]) << "shift with '" << plain[i] << "'";
    }
    EXPECT_EQ(kbd_key_to_char(8), 8);
    EXPECT_EQ(kbd_key_to_char(' '), ' ');
    const KeyCode nothing[] = {'+', 0, KEY_ENTER, KEY_TAB, KEY_UP, KEY_SHIFT, KEY_F10, KEY_NONE, 128};
    for (const KeyCode key : nothing) {
        EXPECT_EQ(kbd_key_to_char(key), 0) << std::hex << key;
    }
    deliver(0x36 | RELEASE);
    EXPECT_EQ(kbd_key_to_char('1'), '1');
}

// ---- talking to the controller ----

// A byte left in the controller from before start-up has already raised its
// edge on line 1, which stays high until the byte is read: it must be read away.
TEST_F(KeyboardTest, InitDrainsStaleBytesThenSendsLedsEnablesTheKeyboardAndOpensLineOne)
{
    tap(SC_CAPS);
    kbd_clear_key();
    fake::port_writes.clear();
    fake::set_default_read(0x21, 0xFF);
    fake::queue_reads(STATUS, {0x01, 0x01});
    fake::queue_reads(DATA, {SC_A, SC_A | RELEASE});

    kbd_init();

    const std::vector<PortAccess> expected = {
        {DATA, 0xED, 8}, {DATA, 0x04, 8}, {STATUS, 0xAE, 8}, {DATA, 0xF4, 8}, {0x21, 0xFD, 8}};  // line 1 unmasked
    EXPECT_EQ(fake::port_writes, expected);
    EXPECT_EQ(kbd_peek_key(), KEY_NONE) << "stale bytes are no keys";
    deliver(SC_B);
    EXPECT_EQ(kbd_peek_key(), KeyCode('b')) << "the data port was emptied";
}

TEST_F(KeyboardTest, WritesWaitForTheControllerToTakeThePreviousByte)
{
    int status_reads = 0;
    std::vector<int> reads_before_write;
    fake::on_read(STATUS, [&](uint16_t) { return ++status_reads % 4 == 0 ? 0x00 : 0x02; });
    fake::on_write(DATA, [&](uint16_t, uint32_t) { reads_before_write.push_back(status_reads); });
    fake::interrupts_on = true;
    kbd_set_leds();
    EXPECT_EQ(reads_before_write, (std::vector<int>{4, 8}));
    EXPECT_EQ(fake::relax_calls, 6);  // one per busy poll
    EXPECT_EQ(fake::halts, 0) << "a register poll spins";
}

TEST_F(KeyboardTest, ShutdownTurnsLedsOffDisablesTheKeyboardAndForgetsModifiers)
{
    tap(SC_CAPS);
    tap(SC_NUM);
    deliver(SC_SHIFT);
    deliver(SC_CTRL);
    fake::port_writes.clear();
    fake::set_default_read(STATUS, 0xFF);  // a controller that never takes a byte cannot hang it
    fake::relax_limit = 100'000;

    kbd_shutdown();

    const std::vector<PortAccess> expected = {{DATA, 0xED, 8}, {DATA, 0x00, 8}, {STATUS, 0xAD, 8}};
    EXPECT_EQ(fake::port_writes, expected);
    EXPECT_EQ(kbd_ctrl_held(), 0);
    EXPECT_EQ(kbd_key_to_char('a'), 'a');
    EXPECT_EQ(kbd_key_to_char('1'), '1');

    fake::set_default_read(STATUS, 0x00);
    fake::port_writes.clear();
    tap(SC_NUM);  // the locks start from off: only its own LED
    EXPECT_EQ(fake::writes_to(DATA), (std::vector<uint32_t>{0xED, 0x02}));
}

}  // namespace
