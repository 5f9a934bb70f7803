"""The sample applications, started from the shell: what each shows, the
console they borrow, the faults that end only them, and what they leave."""

import pytest

import console_model as cm
import shell
from shell import Session, mem, procs

PID_QUESTION = "\nPlease enter the process's PID > "
FAULTS = {"divzero": "Division By Zero", "pgfault": "Page Fault", "badop": "Invalid Opcode",
          "gpfault": "General Protection Fault"}


@pytest.fixture(scope="module")
def session(module_boot, release_image):
    return Session(module_boot(release_image))


@pytest.fixture(scope="module")
def memory_at_start(session):
    return mem(session)


def ldapp(session, name):
    return shell.ldapp(session, f"a:\\apps\\{name}.kvx")


def test_hellos_print_their_line_and_end(session, memory_at_start):
    ldapp(session, "hello").prints(cm.LIGHT_GREEN, "\nHello from a KVAL application!")
    session.prints(cm.WHITE, "\nKVAL version code 703.").prompt().expect()
    ldapp(session, "helloasm").prints(cm.LIGHT_CYAN, "\nHello from KVAL, in assembly!").prompt().expect()
    procs(session)


def test_every_call_keeps_the_registers_it_promises(session):
    ldapp(session, "regcheck")
    session.console.color(cm.WHITE).clear()
    session.prints(cm.WHITE, ".\nEvery one of 25 calls kept EBX, ESI, EDI, EBP, ESP and the flags.")
    session.prompt().expect()


@pytest.mark.parametrize("name", FAULTS)
def test_a_fault_ends_only_the_application(session, name):
    shell.fault_report(ldapp(session, name), f"{name.upper()}.KVX", FAULTS[name]).prompt().expect()
    procs(session)


def test_the_console_goes_to_the_application_and_comes_back(session):
    ldapp(session, "ask").prints(cm.WHITE, "\nWhat is your name ? ").expect()
    session.type("kestrel").enter()
    session.prints(cm.WHITE, '\nShall I greet you in colour ?\nPress "Enter" for yes or "ESC" for no.').expect()
    session.key("y").enter().prints(cm.LIGHT_MAGENTA, "\nHello, kestrel!").prompt().expect()


def test_nim_is_won_by_the_machine_against_ones(session):
    ldapp(session, "nim").prints(cm.WHITE, "\nNim: take 1, 2 or 3 sticks; whoever takes the last one loses. Esc leaves.")
    left = 21
    while True:
        session.prints(cm.WHITE, f"\n{left} left: ").prints(cm.YELLOW, "|" * left).prints(cm.WHITE, " your move ? ")
        session.expect()
        session.key("1").prints(cm.WHITE, "1")
        left -= 1
        if left == 0:
            break
        mine = (left - 1) % 4 or 1
        left -= mine
        session.prints(cm.WHITE, f"\nI take {mine}.")
    session.prints(cm.WHITE, "\nYou took the last stick: I win.").prompt().expect()


def test_system_data_outlives_the_application_that_wrote_it(session):
    ldapp(session, "dataget").prints(cm.WHITE, "\nSCORE is not set: run dataput.kvx first.").prompt().expect()
    ldapp(session, "dataput").prints(cm.WHITE, "\nSCORE is now 1234.").prompt().expect()
    ldapp(session, "dataget").prints(cm.WHITE, "\nSCORE is 1234.").prompt().expect()


def test_counters_are_listed_and_killed_and_a_fourth_application_does_not_fit(session):
    for _ in range(3):
        ldapp(session, "counter").prompt().expect()
    procs(session, (2, "COUNTER.KVX"), (3, "COUNTER.KVX"), (4, "COUNTER.KVX"))
    ldapp(session, "hello").prints(cm.LIGHT_RED, "\nInsufficient Memory.").prompt().expect()
    for pid in (3, 2, 4):
        session.command("kill").prints(cm.WHITE, PID_QUESTION).type(str(pid)).enter()
        session.prints(cm.LIGHT_CYAN, f"\nThe application (COUNTER.KVX) with PID ({pid}) had been killed.")
        session.prompt().expect()
    procs(session)


def test_nothing_an_application_held_stays_behind(session, memory_at_start):
    assert mem(session) == memory_at_start
