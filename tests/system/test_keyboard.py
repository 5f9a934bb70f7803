"""Key presses through the PS/2 controller reach kbd_wait_key as the expected key codes."""

import time

KEY_LINE = r"key (?:0x)?([0-9a-fA-F]+) char (?:0x)?([0-9a-fA-F]+)"
KEY_SHIFT, KEY_ENTER, KEY_F10 = 0x0E05, 0x0E0C, 0x0F10


def test_key_codes_and_characters(boot, test_image):
    machine = boot(test_image, test="keys=7")
    machine.wait_for_test_line("welcome")
    taken = []

    def next_key():
        matches = machine.wait_for_test_lines(len(taken) + 1, KEY_LINE, timeout=20)
        taken.append(tuple(int(group, 16) for group in matches[len(taken)].groups()))
        return taken[-1]

    machine.press("a")
    assert next_key() == (ord("a"), ord("a"))
    machine.key_event("shift", True)  # Shift alone is offered as a key of its own
    assert next_key() == (KEY_SHIFT, 0)
    machine.press("a")
    assert next_key() == (ord("a"), ord("A"))
    machine.press("1")
    assert next_key() == (ord("1"), ord("!"))
    machine.key_event("shift", False)
    # Keypad 5 has no code: nothing is offered. Give a faulty driver the time to
    # offer it anyway; the next key taken must then be Insert's.
    machine.press("kp_5")
    time.sleep(0.5)
    machine.press("insert")
    assert next_key() == (0, 0)
    machine.press("ret")
    assert next_key() == (KEY_ENTER, 0)
    machine.press("f10")
    assert next_key() == (KEY_F10, 0)
