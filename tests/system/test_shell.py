"""The shell in QEMU: its prompt, the informational commands, the command table's
exact matching, and the restart and shutdown questions. Each check compares the
whole screen with what the shell prints."""

import re

import pytest

import console_model as cm
from kval import analyse_tone
from shell import Session

VERSION = "Kestrel Vale (KVAL) Version 0.0.7 Alpha - 3"
HELP = (
    f"\n{VERSION} Help :"
    "\n   about      : Shows some information about KVAL."
    "\n   beep       : Sends a sound (beep) from the PC speaker."
    "\n   cls        : Clears the screen."
    "\n   cpuven     : Shows the vendor of the CPU."
    "\n   dir        : Prints the contents of a sepecific directory."
    "\n   help       : Shows this message."
    "\n   kill       : Kills a process."
    "\n   ldapp      : Loads an application."
    "\n   ldbmp      : Renders a bitmap to the screen."
    "\n   mem        : Shows some information about the memory."
    "\n   procs      : Shows a list of the running processes."
    "\n   restart    : Restarts the computer."
    "\n   shutdown   : Prepares your computer to be turned off."
    "\n   rdfile     : Reads a file from the floppy disk."
    "\n   rdsec      : Reads a sector from the floppy disk and show it in hex."
    "\n   rdsecascii : Reads a sector fron the floppy disk and show it in ASCII."
    "\n   upflpy     : Updates the saved data of the floppy."
    "\n               You must use this command when you change the floppy disk."
    "\nNote that the command will be accepted only if you entered it in the lower case."
    "\nPressing CTRL + ENTER at any time will force the CLI to appear, you can use that\n"
    "feature when you need to perform terminating or fixing to any application at any\n"
    "time when you lose the access to the CLI."
)
ABOUT = (
    f"\n{VERSION}"
    "\nDeveloped By : The Kestrel Vale developers"
    '\n\nThis software is provided "as is", without warranty of any kind. You use it'
    "\nat your own risk; see its licence for what you may do with it.\n"
    "\nContact : kval-developers@example.org"
    "\nCopyright (C) 2026 The Kestrel Vale developers."
)
QUESTION = '\nAre you sure that you want to {} the computer ?\nPress "Enter" for yes or "ESC" for no.'


@pytest.fixture(scope="module")
def session(module_boot, release_image):
    return Session(module_boot(release_image, memory=32))


def unknown(line):
    return f"\n'{line}' is unknown command "


def test_help_about_cpuven_and_mem(session):
    session.command("help").prints(cm.LIGHT_CYAN, HELP).prompt().expect()
    session.command("about").prints(cm.LIGHT_CYAN, ABOUT).prompt().expect()
    # QEMU's default processor names its vendor in CPUID leaf 0.
    session.command("cpuven").prints(cm.LIGHT_CYAN, "\nThe vendor of the CPU is : ")
    vendor = session.machine.wait_for_text("The vendor of the CPU is : ").rows()
    vendor = next(r for r in reversed(vendor) if "vendor of the CPU" in r).split(" : ")[1]
    assert vendor in ("GenuineIntel", "AuthenticAMD")
    session.prints(cm.LIGHT_CYAN, vendor).prompt().expect()

    session.command("mem")
    screen = session.machine.wait_for_text("Used Size")
    text = "\n".join(screen.rows())
    memory, free, used = (int(re.search(rf"{name} = (\d+) KB", text).group(1))
                          for name in ("Memory Size", r"Free Size  ", r"Used Size  "))
    assert memory == 32768 and free + used == memory and 0 < used < memory // 2
    session.prints(cm.LIGHT_CYAN, f"\nMemory Size = {memory} KB\nFree Size   = {free} KB"
                                  f"\nUsed Size   = {used} KB").prompt().expect()


def test_lines_match_only_whole_lower_case_words(session):
    session.command("cls")
    session.console.colors(cm.YELLOW, cm.BLUE).clear()
    session.prompt().expect()
    assert session.console.y == 1, "the prompt's newline puts it on the second row"

    session.enter().prompt().expect()  # an empty line does nothing
    for line in ("HELP", "rdsecasci", " help", "help "):
        session.command(line).prints(cm.LIGHT_RED, unknown(line)).prompt().expect()
    # A full line: the 101st key beeps and is not stored; the whole line is compared.
    session.type("x" * 100).machine.type_text("y")
    session.enter().prints(cm.LIGHT_RED, unknown("x" * 100)).prompt().expect(timeout=60)
    # Backspace takes back what it echoed.
    session.type("abouu").key("backspace")
    session.console.putc(8)
    session.type("t").enter().prints(cm.LIGHT_CYAN, ABOUT).prompt().expect()


def test_restart_and_shutdown_answered_with_esc_change_nothing(session):
    for word in ("restart", "shutdown"):
        session.command(word).prints(cm.WHITE, QUESTION.format(word)).expect()
        session.key("y")  # not an answer: a beep, nothing printed
        session.key("esc").prompt().expect()


def test_an_unknown_command_beeps(boot, release_image):
    machine = boot(release_image, audio=True)
    session = Session(machine)
    session.command("bogus").prints(cm.LIGHT_RED, unknown("bogus")).prompt().expect()
    frequency, duration = analyse_tone(*machine.speaker_samples())
    assert 450 <= frequency <= 550 and duration > 0.1


def test_restart_resets_the_machine(boot, release_image):
    machine = boot(release_image, no_reboot=True)
    session = Session(machine)
    session.command("restart").prints(cm.WHITE, QUESTION.format("restart")).expect()
    session.enter().prints(cm.LIGHT_CYAN, "\n\n\nKVAL is restarting...").expect()
    machine.wait_exit(timeout=20)  # -no-reboot: the reset ends QEMU


def test_shutdown_powers_the_machine_off(boot, release_image):
    machine = boot(release_image)
    session = Session(machine)
    session.command("shutdown").prints(cm.WHITE, QUESTION.format("shutdown")).expect()
    session.enter().prints(cm.LIGHT_CYAN, "\n\n\nKVAL is shutting down...").expect()
    machine.wait_event("SHUTDOWN", timeout=20)
