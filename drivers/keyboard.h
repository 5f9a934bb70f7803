// PS/2 keyboard (scan code set 1) behind the 8042 controller: the latest key
// press and the modifier and lock state.
#pragma once

#include <stdint.h>

using KeyCode = uint32_t;

enum : KeyCode {
    KEY_UP = 0x0E01,
    KEY_DOWN = 0x0E02,
    KEY_RIGHT = 0x0E03,
    KEY_LEFT = 0x0E04,
    KEY_SHIFT = 0x0E05,
    KEY_CTRL = 0x0E06,
    KEY_CAPS_LOCK = 0x0E07,
    KEY_NUM_LOCK = 0x0E08,
    KEY_SCROLL_LOCK = 0x0E09,
    KEY_TAB = 0x0E0A,
    KEY_ESC = 0x0E0B,
    KEY_ENTER = 0x0E0C,
    KEY_ALT = 0x0E0D,
    KEY_F1 = 0x0F01,
    KEY_F2 = 0x0F02,
    KEY_F3 = 0x0F03,
    KEY_F4 = 0x0F04,
    KEY_F5 = 0x0F05,
    KEY_F6 = 0x0F06,
    KEY_F7 = 0x0F07,
    KEY_F8 = 0x0F08,
    KEY_F9 = 0x0F09,
    KEY_F10 = 0x0F10,
    KEY_NONE = 0x0FFF,
};

void kbd_init();
void kbd_set_leds();
KeyCode kbd_peek_key();
void kbd_clear_key();
// The key in the slot, which is left empty; KEY_NONE when there was none.
KeyCode kbd_take_key();
KeyCode kbd_wait_key();
uint8_t kbd_ctrl_held();
// 1 once an Enter was pressed with Ctrl held (the Enter itself is offered as
// usual); kbd_take_ctrl_enter also clears the note.
uint8_t kbd_ctrl_enter_noted();
uint8_t kbd_take_ctrl_enter();
char kbd_key_to_char(KeyCode key);
void kbd_shutdown();
