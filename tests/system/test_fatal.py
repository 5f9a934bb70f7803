"""The fatal error report: its layout, its colours, and the processor stopping under it."""

import time

import pytest

import screens
from screens import FATAL_LINE, RAM_MESSAGE

IF_FLAG = 0x200


def wait_for_report(machine, message):
    return machine.wait_for_text(FATAL_LINE + message, row=16)


@pytest.fixture(scope="module")
def low_ram(module_boot, release_image):
    machine = module_boot(release_image, memory=15)
    return machine, wait_for_report(machine, RAM_MESSAGE)


def test_too_little_ram_ends_on_the_full_report(low_ram):
    _, screen = low_ram
    problems = screens.fatal_report_differences(screen, RAM_MESSAGE)
    assert not problems, "\n".join(problems[:40]) + f"\n{screen}"


def test_report_stops_the_processor_with_interrupts_off(low_ram):
    machine, screen = low_ram
    # Several looks over about a second: interrupts stay off, nothing is drawn.
    for _ in range(5):
        registers = machine.registers()
        assert not registers["EFL"] & IF_FLAG, f"interrupts enabled: EFL={registers['EFL']:#x}"
        assert machine.screen() == screen, "the screen changed under the report"
        time.sleep(0.2)


# Real faults, and software interrupts that reach the same handlers.
EXCEPTIONS = {0: "Division By Zero", 6: "Invalid Opcode", 13: "General Protection Fault",
              3: "BreakPoint", 8: "Double Fault", 17: "Aligment Check", 30: "Security Exception"}


@pytest.fixture(scope="module")
def raised(module_boot, test_image):
    # The report comes during start-up, before the splash: quick boots, run together.
    return {n: module_boot(test_image, test=f"raise={n}") for n in EXCEPTIONS}


@pytest.mark.parametrize("vector", EXCEPTIONS)
def test_exception_during_start_up_shows_its_message(raised, vector):
    machine = raised[vector]
    message = EXCEPTIONS[vector]
    screen = wait_for_report(machine, message)
    problems = screens.fatal_report_differences(screen, message)
    assert not machine.registers()["EFL"] & IF_FLAG
    machine.pause()
    assert not problems, "\n".join(problems[:40]) + f"\n{screen}"


@pytest.fixture(scope="module")
def ignored_interrupts(module_boot, test_image):
    return module_boot(test_image, test="int=15;int=50;int=34;int=40;sleep=10")


def _welcome_intact(machine):
    screen = machine.screen()
    problems = screens.welcome_differences(screen, range(18))
    assert not problems, "\n".join(problems[:40]) + f"\n{screen}"


def test_vectors_without_handler_return_and_change_nothing(ignored_interrupts):
    machine = ignored_interrupts
    machine.wait_for_test_line("int 15 returned")
    machine.wait_for_test_line("int 50 returned")
    _welcome_intact(machine)


def test_default_interrupt_line_handlers_return(ignored_interrupts):
    machine = ignored_interrupts
    machine.wait_for_test_line("int 34 returned")
    machine.wait_for_test_line("int 40 returned")
    _welcome_intact(machine)
    # A sleep ends only on timer ticks: the timer still interrupts after the
    # stray end-of-interrupt commands.
    machine.wait_for_test_line("sleep 10 done")
