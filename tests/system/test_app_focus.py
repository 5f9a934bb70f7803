"""CTRL+ENTER takes the console back from an application that waits for a
key, every time, and the application's key calls fail from then on."""

import pytest

from shell import Session

WAITING = "Press a key, or CTRL+ENTER to take the console back."
REFUSED = "read_key -24, then read_line -24, ask_yes_no -24, give_console -24."
ROUNDS = 20


@pytest.fixture(scope="module")
def machine(module_boot, release_image):
    machine = module_boot(release_image)
    Session(machine)
    return machine


def test_ctrl_enter_takes_the_console_back_every_time(machine):
    for round_ in range(ROUNDS):
        machine.type_text("ldapp")
        machine.send_key("ret")
        machine.wait_for_text("Please enter the application path >", 15)
        machine.type_text("a:\\apps\\keywait.kvx")
        machine.send_key("ret")
        machine.wait_for_text(WAITING, 15)
        machine.send_key("ctrl", "ret", hold_ms=100)
        screen = machine.wait_for_text(REFUSED, 15)
        assert "KVAL >" in screen.rows()[-1] + "".join(screen.rows()[2:]), f"round {round_}: no prompt\n{screen}"
        # The shell reads the keys again: cls leaves only its prompt.
        machine.type_text("cls")
        machine.send_key("ret")
        machine.wait_for_screen(lambda s: s.row(1) == "KVAL >" and not s.row(2), 15, f"round {round_}: cls")
