// Keyboard driver against a fake 8042: scan codes in through kbd_irq_work,
// key codes and characters out, and the bytes it sends to the controller.
#include "drivers/keyboard.h"

#include <string>
#include <vector>

#include "cpu/isr.h"
#include "fakes/hw_test.h"

namespace {

constexpr uint16_t DATA = 0x60;
constexpr uint16_t STATUS = 0x64;
constexpr uint16_t PIC_MASTER_COMMAND = 0x20;
constexpr uint16_t PIC_MASTER_MASK = 0x21;

constexpr uint8_t SC_A = 0x1E;
constexpr uint8_t SC_B = 0x30;
constexpr uint8_t SC_LEFT_SHIFT = 0x2A;
constexpr uint8_t SC_RIGHT_SHIFT = 0x36;
constexpr uint8_t SC_CTRL = 0x1D;
constexpr uint8_t SC_CAPS = 0x3A;
constexpr uint8_t SC_NUM = 0x45;
constexpr uint8_t SC_SCROLL = 0x46;
constexpr uint8_t SC_KEYPAD_5 = 0x4C;
constexpr uint8_t SC_INSERT = 0x52;
constexpr uint8_t RELEASE = 0x80;
constexpr uint8_t EXTENDED = 0xE0;

class KeyboardTest : public HardwareTest {
protected:
    void SetUp() override
    {
        HardwareTest::SetUp();
        fake::set_default_read(STATUS, 0x00);  // idle controller: nothing to read, ready to take bytes
        reset_keyboard();
    }

    // No key offered, no modifier held, every lock off.
    static void reset_keyboard()
    {
        kbd_shutdown();
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

    static std::vector<fake::PortAccess> controller_writes()
    {
        std::vector<fake::PortAccess> out;
        for (const auto& w : fake::port_writes) {
            if (w.port == DATA || w.port == STATUS) {
                out.push_back(w);
            }
        }
        return out;
    }
};

// ---- scan codes to key codes ----

struct ScanRow {
    uint8_t first;
    std::vector<KeyCode> keys;
};

std::vector<KeyCode> chars(const std::string& s)
{
    return {s.begin(), s.end()};
}

std::vector<ScanRow> scan_rows()
{
    std::vector<ScanRow> rows = {
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
    };
    rows.push_back({0x52, std::vector<KeyCode>(0x80 - 0x52, 0)});
    return rows;
}

TEST_F(KeyboardTest, EveryScanCodeOffersItsKeyCode)
{
    int covered = 1;  // 0x00 is "no key" by definition
    for (const ScanRow& row : scan_rows()) {
        for (size_t i = 0; i < row.keys.size(); ++i) {
            const auto code = static_cast<uint8_t>(row.first + i);
            kbd_clear_key();
            deliver(code);
            EXPECT_EQ(kbd_peek_key(), row.keys[i]) << "scan code 0x" << std::hex << int(code);
            ++covered;
        }
    }
    EXPECT_EQ(covered, 128);
}

TEST_F(KeyboardTest, ShiftAloneIsOfferedAsAKey)
{
    deliver(SC_LEFT_SHIFT);
    EXPECT_EQ(kbd_wait_key(), 0x0E05u);
    deliver(SC_RIGHT_SHIFT);
    EXPECT_EQ(kbd_wait_key(), KEY_SHIFT);
}

TEST_F(KeyboardTest, InsertIsOfferedAsZero)
{
    deliver(SC_INSERT);
    EXPECT_EQ(kbd_wait_key(), 0u);
}

TEST_F(KeyboardTest, KeypadFiveOffersNothingSoTheWaitGoesOn)
{
    deliver(SC_KEYPAD_5);
    EXPECT_EQ(kbd_peek_key(), KEY_NONE);

    fake::on_relax = [] {
        if (fake::relax_calls == 50) {
            deliver(SC_A);
        }
    };
    EXPECT_EQ(kbd_wait_key(), KeyCode('a'));
    EXPECT_EQ(fake::relax_calls, 50);
}

TEST_F(KeyboardTest, ReleasesNeverChangeTheOfferedKey)
{
    deliver(SC_A | RELEASE);
    EXPECT_EQ(kbd_peek_key(), KEY_NONE);

    deliver(SC_A);
    deliver(SC_B | RELEASE);
    deliver(SC_A | RELEASE);
    deliver(SC_LEFT_SHIFT | RELEASE);
    EXPECT_EQ(kbd_peek_key(), KeyCode('a'));
}

TEST_F(KeyboardTest, NewerPressReplacesAnUntakenOne)
{
    tap(SC_A);
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

    deliver(SC_A);
    deliver(SC_A | RELEASE);
    deliver(SC_CAPS);
    EXPECT_EQ(fake::writes_to(PIC_MASTER_COMMAND), (std::vector<uint32_t>{0x20, 0x20, 0x20, 0x20}));
    EXPECT_TRUE(fake::writes_to(0xA0).empty());
}

// ---- modifiers and locks ----

TEST_F(KeyboardTest, EachLockKeySendsTheWholeLedState)
{
    tap(SC_NUM);
    tap(SC_SCROLL);
    tap(SC_CAPS);
    tap(SC_NUM);
    EXPECT_EQ(fake::writes_to(DATA), (std::vector<uint32_t>{0xED, 0x02, 0xED, 0x03, 0xED, 0x07, 0xED, 0x05}));
}

TEST_F(KeyboardTest, CapsLockTwiceIsOffAgainWithItsLed)
{
    tap(SC_CAPS);
    EXPECT_EQ(kbd_key_to_char('a'), 'A');
    tap(SC_CAPS);
    EXPECT_EQ(kbd_key_to_char('a'), 'a');
    EXPECT_EQ(fake::writes_to(DATA), (std::vector<uint32_t>{0xED, 0x04, 0xED, 0x00}));
    EXPECT_EQ(kbd_wait_key(), KEY_CAPS_LOCK);  // offered like any other press
}

// ---- characters ----

struct LetterCase {
    bool shift;
    bool caps;
    char expected;
};

TEST_F(KeyboardTest, LettersAreUpperCaseWithExactlyOneOfShiftAndCapsLock)
{
    const LetterCase cases[] = {
        {false, false, 'a'},
        {true, false, 'A'},
        {false, true, 'A'},
        {true, true, 'a'},
    };
    for (const LetterCase& c : cases) {
        reset_keyboard();
        if (c.caps) {
            tap(SC_CAPS);
        }
        if (c.shift) {
            deliver(SC_LEFT_SHIFT);
        }
        EXPECT_EQ(kbd_key_to_char('a'), c.expected) << "shift " << c.shift << " caps " << c.caps;
        EXPECT_EQ(kbd_key_to_char('z'), c.expected + 25);
    }
}

TEST_F(KeyboardTest, ShiftGivesTheShiftedCharacterOfEveryKey)
{
    const std::string plain = "',-./0123456789;=[\\]`";
    const std::string shifted = "\"<_>?)!@#$%^&*(:+{|}~";
    ASSERT_EQ(plain.size(), shifted.size());

    for (size_t i = 0; i < plain.size(); ++i) {
        EXPECT_EQ(kbd_key_to_char(KeyCode(plain[i])), plain[i]) << "without shift";
    }
    deliver(SC_RIGHT_SHIFT);
    for (size_t i = 0; i < plain.size(); ++i) {
        EXPECT_EQ(kbd_key_to_char(KeyCode(plain[i])), shifted[i]) << "shift with '" << plain[i] << "'";
    }
    deliver(SC_RIGHT_SHIFT | RELEASE);
    EXPECT_EQ(kbd_key_to_char('1'), '1');
}

TEST_F(KeyboardTest, ShiftWithKeypadKeysAndNonCharacters)
{
    tap(0x4E);  // keypad +
    const KeyCode keypad_plus = kbd_wait_key();
    tap(0x4A);  // keypad -
    const KeyCode keypad_minus = kbd_wait_key();
    deliver(SC_LEFT_SHIFT);
    EXPECT_EQ(kbd_key_to_char(keypad_plus), 0);
    EXPECT_EQ(kbd_key_to_char(keypad_minus), '_');
    EXPECT_EQ(kbd_key_to_char(8), 8);
    EXPECT_EQ(kbd_key_to_char(' '), ' ');
    EXPECT_EQ(kbd_key_to_char(0), 0);  // Insert and the keys above it
    for (KeyCode key : std::vector<KeyCode>{KEY_ENTER, KEY_TAB, KEY_UP, KEY_SHIFT, KEY_F10, KEY_NONE, 128}) {
        EXPECT_EQ(kbd_key_to_char(key), 0) << std::hex << key;
    }
}

// ---- waiting for a key ----

TEST_F(KeyboardTest, WaitTakesAKeyDeliveredWhileItWaits)
{
    fake::interrupts_on = true;
    bool interrupts_open_while_waiting = true;
    fake::on_relax = [&] {
        interrupts_open_while_waiting = interrupts_open_while_waiting && fake::interrupts_on;
        if (fake::relax_calls == 3) {
            deliver(SC_B);
        }
    };
    EXPECT_EQ(kbd_wait_key(), KeyCode('b'));
    EXPECT_TRUE(interrupts_open_while_waiting);
    EXPECT_TRUE(fake::interrupts_on);
    EXPECT_EQ(kbd_peek_key(), KEY_NONE);
}

TEST_F(KeyboardTest, WaitLeavesInterruptsAsItFoundThem)
{
    deliver(SC_A);
    fake::interrupts_on = false;
    EXPECT_EQ(kbd_wait_key(), KeyCode('a'));
    EXPECT_FALSE(fake::interrupts_on);
}

// ---- talking to the controller ----

TEST_F(KeyboardTest, InitSendsLedsEnablesTheKeyboardAndOpensLineOne)
{
    tap(SC_CAPS);
    fake::port_writes.clear();
    fake::set_default_read(PIC_MASTER_MASK, 0xFF);

    kbd_init();

    const std::vector<fake::PortAccess> expected = {
        {DATA, 0xED, 8}, {DATA, 0x04, 8}, {STATUS, 0xAE, 8}, {DATA, 0xF4, 8}};
    EXPECT_EQ(controller_writes(), expected);
    EXPECT_EQ(fake::writes_to(PIC_MASTER_MASK), (std::vector<uint32_t>{0xFD}));
}

TEST_F(KeyboardTest, InitReadsAwayBytesLeftInTheController)
{
    fake::queue_reads(STATUS, {0x01, 0x01});
    fake::queue_reads(DATA, {SC_A, SC_A | RELEASE});
    kbd_init();
    EXPECT_EQ(kbd_peek_key(), KEY_NONE);
    // The data port is empty again: a delivered byte is the next one read.
    deliver(SC_B);
    EXPECT_EQ(kbd_peek_key(), KeyCode('b'));
}

TEST_F(KeyboardTest, WritesWaitForTheControllerToTakeThePreviousByte)
{
    int status_reads = 0;
    std::vector<int> reads_before_write;
    fake::on_read(STATUS, [&](uint16_t) { return ++status_reads % 4 == 0 ? 0x00 : 0x02; });
    fake::on_write(DATA, [&](uint16_t, uint32_t) { reads_before_write.push_back(status_reads); });

    kbd_set_leds();

    EXPECT_EQ(reads_before_write, (std::vector<int>{4, 8}));
    EXPECT_EQ(fake::relax_calls, 6);  // one per busy poll
}

TEST_F(KeyboardTest, AControllerThatNeverTakesBytesCannotHangTheKernel)
{
    fake::set_default_read(STATUS, 0xFF);
    fake::relax_limit = 100'000;
    kbd_shutdown();
    const std::vector<fake::PortAccess> expected = {{DATA, 0xED, 8}, {DATA, 0x00, 8}, {STATUS, 0xAD, 8}};
    EXPECT_EQ(controller_writes(), expected);
}

TEST_F(KeyboardTest, ShutdownTurnsLedsOffDisablesTheKeyboardAndForgetsModifiers)
{
    tap(SC_CAPS);
    tap(SC_NUM);
    deliver(SC_LEFT_SHIFT);
    deliver(SC_CTRL);
    fake::port_writes.clear();

    kbd_shutdown();

    const std::vector<fake::PortAccess> expected = {{DATA, 0xED, 8}, {DATA, 0x00, 8}, {STATUS, 0xAD, 8}};
    EXPECT_EQ(controller_writes(), expected);
    EXPECT_EQ(kbd_ctrl_held(), 0);
    EXPECT_EQ(kbd_key_to_char('a'), 'a');
    EXPECT_EQ(kbd_key_to_char('1'), '1');

    // The locks start from off again: the next press turns on only its own LED.
    fake::port_writes.clear();
    tap(SC_NUM);
    EXPECT_EQ(fake::writes_to(DATA), (std::vector<uint32_t>{0xED, 0x02}));
}

}  // namespace
