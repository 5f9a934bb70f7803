// PS/2 keyboard behind the 8042 controller, scan code set 1. The interrupt
// handler keeps the modifier and lock state and remembers the latest press;
// consumers poll for it. There is no queue: a newer press replaces an older
// one that nobody took.
#include "drivers/keyboard.h"

#include "cpu/idt.h"
#include "cpu/isr.h"
#include "cpu/pic.h"
#include "lib/cpu.h"
#include "lib/port.h"

namespace {

constexpr uint16_t KBD_DATA_PORT = 0x60;     // scan codes in, keyboard commands out
constexpr uint16_t KBD_STATUS_PORT = 0x64;   // read: status
constexpr uint16_t KBD_COMMAND_PORT = 0x64;  // write: controller command

constexpr uint8_t STATUS_OUTPUT_FULL = 0x01;  // a byte waits in port 0x60
constexpr uint8_t STATUS_INPUT_FULL = 0x02;   // the controller has not taken our last byte yet

constexpr uint8_t CTRL_ENABLE_KEYBOARD = 0xAE;
constexpr uint8_t CTRL_DISABLE_KEYBOARD = 0xAD;
constexpr uint8_t KBD_SET_LEDS = 0xED;
constexpr uint8_t KBD_ENABLE_SCANNING = 0xF4;

constexpr uint8_t LED_SCROLL_LOCK = 0x01;
constexpr uint8_t LED_NUM_LOCK = 0x02;
constexpr uint8_t LED_CAPS_LOCK = 0x04;

constexpr uint8_t SCAN_RELEASE = 0x80;  // bit 7: the key went up
constexpr uint8_t SCAN_CODE_MASK = 0x7F;

constexpr int32_t KBD_IRQ_LINE = 1;
constexpr int32_t KBD_VECTOR = PIC_VECTOR_BASE + KBD_IRQ_LINE;

// Status reads cross the ISA bus at about a microsecond each, so this gives
// the controller roughly a millisecond, the time one byte takes on the wire
// to the keyboard, to take the previous byte. A controller that never does is
// written to anyway rather than hanging the kernel.
constexpr int INPUT_WAIT_POLLS = 1000;
// The keyboard buffers at most 16 bytes of its own behind the controller.
constexpr int STALE_BYTES_MAX = 16;

// Scan code set 1, indexed by the make code; a break code (bit 7 set) uses the
// entry of its make code.
// clang-format off
constexpr KeyCode scan_code_keys[] = {
    KEY_NONE,                                           // 0x00
    KEY_ESC,                                            // 0x01
    '1', '2', '3', '4', '5', '6', '7', '8', '9', '0',   // 0x02-0x0B
    '-', '=',                                           // 0x0C-0x0D
    8,                                                  // 0x0E Backspace
    KEY_TAB,                                            // 0x0F
    'q', 'w', 'e', 'r', 't', 'y', 'u', 'i', 'o', 'p',   // 0x10-0x19
    '[', ']',                                           // 0x1A-0x1B
    KEY_ENTER,                                          // 0x1C
    KEY_CTRL,                                           // 0x1D left Ctrl
    'a', 's', 'd', 'f', 'g', 'h', 'j', 'k', 'l',        // 0x1E-0x26
    ';', '\'', '`',                                     // 0x27-0x29
    KEY_SHIFT,                                          // 0x2A left Shift
    '\\',                                               // 0x2B
    'z', 'x', 'c', 'v', 'b', 'n', 'm',                  // 0x2C-0x32
    ',', '.', '/',                                      // 0x33-0x35
    KEY_SHIFT,                                          // 0x36 right Shift
    KEY_NONE,                                           // 0x37 keypad *
    KEY_ALT,                                            // 0x38 left Alt
    ' ',                                                // 0x39
    KEY_CAPS_LOCK,                                      // 0x3A
    KEY_F1, KEY_F2, KEY_F3, KEY_F4, KEY_F5,             // 0x3B-0x3F
    KEY_F6, KEY_F7, KEY_F8, KEY_F9,                     // 0x40-0x43
    KEY_F10,                                            // 0x44
    KEY_NUM_LOCK,                                       // 0x45
    KEY_SCROLL_LOCK,                                    // 0x46
    KEY_NONE,                                           // 0x47 keypad 7 / Home
    KEY_UP,                                             // 0x48 keypad 8
    KEY_NONE,                                           // 0x49 keypad 9 / Page Up
    '-',                                                // 0x4A keypad -
    KEY_LEFT,                                           // 0x4B keypad 4
    KEY_NONE,                                           // 0x4C keypad 5
    KEY_RIGHT,                                          // 0x4D keypad 6
    '+',                                                // 0x4E keypad +
    KEY_NONE,                                           // 0x4F keypad 1 / End
    KEY_DOWN,                                           // 0x50 keypad 2
    KEY_NONE,                                           // 0x51 keypad 3 / Page Down
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,           // 0x52-0x5F Insert, Delete, F11, F12, ...
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,     // 0x60-0x6F
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,     // 0x70-0x7F
};
// clang-format on
static_assert(sizeof(scan_code_keys) / sizeof(scan_code_keys[0]) == 128, "one entry per make code");
static_assert(scan_code_keys[0x39] == ' ' && scan_code_keys[0x44] == KEY_F10 && scan_code_keys[0x51] == KEY_NONE);

// The characters Shift gives on a US keyboard, for every key whose shifted
// character is not its upper-case letter.
struct ShiftedChar {
    char plain;
    char shifted;
};

constexpr ShiftedChar shifted_chars[] = {
    {'\'', '"'}, {',', '<'}, {'-', '_'}, {'.', '>'}, {'/', '?'},  {'0', ')'}, {'1', '!'},
    {'2', '@'},  {'3', '#'}, {'4', '$'}, {'5', '%'}, {'6', '^'},  {'7', '&'}, {'8', '*'},
    {'9', '('},  {';', ':'}, {'=', '+'}, {'[', '{'}, {'\\', '|'}, {']', '}'}, {'`', '~'},
};

// Written only by the interrupt handler (and kbd_clear_key / kbd_shutdown);
// volatile because consumers spin on them.
volatile uint8_t last_scan_code = 0;  // 0: nothing offered
volatile uint8_t shift_held = 0;
volatile uint8_t ctrl_held = 0;
volatile uint8_t alt_held = 0;
volatile uint8_t caps_lock_on = 0;
volatile uint8_t num_lock_on = 0;
volatile uint8_t scroll_lock_on = 0;
// An Enter pressed while Ctrl was held, kept until the system process takes
// it: however short the stroke, the console goes back to the shell.
volatile uint8_t ctrl_enter_noted = 0;

KeyCode scan_code_key(uint8_t code)
{
    return scan_code_keys[code & SCAN_CODE_MASK];
}

void wait_input_empty()
{
    for (int poll = 0; poll < INPUT_WAIT_POLLS; ++poll) {
        if ((port_in8(KBD_STATUS_PORT) & STATUS_INPUT_FULL) == 0) {
            return;
        }
        cpu_relax();
    }
}

void kbd_write_data(uint8_t value)
{
    wait_input_empty();
    port_out8(KBD_DATA_PORT, value);
}

void kbd_write_command(uint8_t value)
{
    wait_input_empty();
    port_out8(KBD_COMMAND_PORT, value);
}

// A byte left in the output buffer from before the interrupt controller was
// set up has already raised its edge on line 1; the line stays high until the
// byte is read, so no interrupt would ever come again.
void kbd_drain_output()
{
    for (int i = 0; i < STALE_BYTES_MAX && (port_in8(KBD_STATUS_PORT) & STATUS_OUTPUT_FULL) != 0; ++i) {
        port_in8(KBD_DATA_PORT);
    }
}

void kbd_flip(volatile uint8_t& flag)
{
    flag = flag != 0 ? 0 : 1;
    kbd_set_leds();
}

void kbd_release(uint8_t code)
{
    switch (scan_code_key(code)) {
        case KEY_SHIFT:
            shift_held = 0;
            break;
        case KEY_CTRL:
            ctrl_held = 0;
            break;
        case KEY_ALT:
            alt_held = 0;
            break;
        default:
            break;
    }
}

void kbd_press(uint8_t code)
{
    last_scan_code = code;
    switch (scan_code_key(code)) {
        case KEY_SHIFT:
            shift_held = 1;
            break;
        case KEY_CTRL:
            ctrl_held = 1;
            break;
        case KEY_ALT:
            alt_held = 1;
            break;
        case KEY_CAPS_LOCK:
            kbd_flip(caps_lock_on);
            break;
        case KEY_NUM_LOCK:
            kbd_flip(num_lock_on);
            break;
        case KEY_SCROLL_LOCK:
            kbd_flip(scroll_lock_on);
            break;
        case KEY_ENTER:
            if (ctrl_held != 0) {
                ctrl_enter_noted = 1;
            }
            break;
        default:
            break;
    }
}

char shifted_char(char plain)
{
    for (const ShiftedChar& entry : shifted_chars) {
        if (entry.plain == plain) {
            return entry.shifted;
        }
    }
    return 0;
}

}  // namespace

void kbd_init()
{
    kbd_drain_output();
    kbd_set_leds();
    kbd_write_command(CTRL_ENABLE_KEYBOARD);
    kbd_write_data(KBD_ENABLE_SCANNING);
    idt_set_gate(KBD_VECTOR, kbd_irq, false);
}

// Runs inside kbd_irq with interrupts disabled.
void kbd_irq_work()
{
    if ((port_in8(KBD_STATUS_PORT) & STATUS_OUTPUT_FULL) != 0) {
        // The 0xE0 prefix of the extended keys and the keyboard's 0xFA
        // acknowledgements have bit 7 set and pass as releases of keys
        // without a role here, so they change nothing.
        const uint8_t code = port_in8(KBD_DATA_PORT);
        if ((code & SCAN_RELEASE) != 0) {
            kbd_release(code);
        } else {
            kbd_press(code);
        }
    }
    pic_send_eoi(KBD_IRQ_LINE);
}

// The keyboard acknowledges each byte with 0xFA on line 1; the handler takes
// that for a release and ignores it.
void kbd_set_leds()
{
    uint8_t leds = 0;
    if (caps_lock_on != 0) {
        leds |= LED_CAPS_LOCK;
    }
    if (num_lock_on != 0) {
        leds |= LED_NUM_LOCK;
    }
    if (scroll_lock_on != 0) {
        leds |= LED_SCROLL_LOCK;
    }
    kbd_write_data(KBD_SET_LEDS);
    kbd_write_data(leds);
}

KeyCode kbd_peek_key()
{
    const uint8_t code = last_scan_code;
    return code == 0 ? KEY_NONE : scan_code_key(code);
}

void kbd_clear_key()
{
    last_scan_code = 0;
}

// Looking at the key and clearing it happen with interrupts off: a press
// landing between the two would otherwise be cleared without ever being seen.
KeyCode kbd_take_key()
{
    const uint32_t flags = interrupts_save();
    const KeyCode key = kbd_peek_key();
    if (key != KEY_NONE) {
        kbd_clear_key();
    }
    interrupts_restore(flags);
    return key;
}

// Halts between key interrupts; interrupts are back in the caller's state
// when it returns.
KeyCode kbd_wait_key()
{
    KeyCode key = KEY_NONE;
    cpu_wait_until([&] {
        key = kbd_take_key();
        return key != KEY_NONE;
    });
    return key;
}

uint8_t kbd_ctrl_enter_noted()
{
    return ctrl_enter_noted;
}

uint8_t kbd_take_ctrl_enter()
{
    const uint32_t flags = interrupts_save();
    const uint8_t noted = ctrl_enter_noted;
    ctrl_enter_noted = 0;
    interrupts_restore(flags);
    return noted;
}

uint8_t kbd_ctrl_held()
{
    return ctrl_held;
}

char kbd_key_to_char(KeyCode key)
{
    if (key >= 128) {
        return 0;
    }
    const char c = static_cast<char>(key);
    if (c >= 'a' && c <= 'z') {
        const bool upper = (shift_held != 0) != (caps_lock_on != 0);
        return upper ? static_cast<char>(c - 'a' + 'A') : c;
    }
    if (c == '\b' || c == ' ' || shift_held == 0) {
        return c;
    }
    return shifted_char(c);
}

void kbd_shutdown()
{
    shift_held = 0;
    ctrl_held = 0;
    alt_held = 0;
    caps_lock_on = 0;
    num_lock_on = 0;
    scroll_lock_on = 0;
    ctrl_enter_noted = 0;
    kbd_write_data(KBD_SET_LEDS);
    kbd_write_data(0);  // all LEDs off
    kbd_write_command(CTRL_DISABLE_KEYBOARD);
}
