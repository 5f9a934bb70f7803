#!/usr/bin/python3
"""Soak run: loads and kills the counter application, starts the
division-by-zero application, raises every processor exception once from
its own program, and overflows a program's stack, many times over in one
QEMU, and prints the Used Size line of mem before and after. Nothing an
application holds may stay behind, so the two lines must be equal; the exit
status says whether they are, and whether every fault ended with its
message and the machine never reset. Not part of make test: at a few
seconds a start it takes a while.

usage: tools/soak.py [--rounds N] [--overflows M]
       (N load/kill cycles and N faulting starts, 200; M stack overflows, 50)
"""

import argparse
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "system"))

import faults  # noqa: E402
from kval import Machine  # noqa: E402
from shell import Session  # noqa: E402

TIMEOUT = 30


def run(machine, line, wait_for):
    machine.type_text(line)
    machine.send_key("ret")
    return machine.wait_for_text(wait_for, TIMEOUT)


def clear(machine):
    machine.type_text("cls")
    machine.send_key("ret")
    machine.wait_for_screen(lambda s: s.row(1) == "KVAL >" and not s.row(2), TIMEOUT, "a cleared screen")


def used_size(machine):
    clear(machine)
    screen = run(machine, "mem", "Used Size")
    return next(r for r in screen.rows() if r.startswith("Used Size"))


def start(machine, path):
    run(machine, "ldapp", "application path >")
    machine.type_text(path)
    machine.send_key("ret")


def fault(machine, path, message):
    """Starts the program at `path` and waits for its report and the prompt after it."""
    clear(machine)
    start(machine, path)
    machine.wait_for_text(f"ERROR : {message}", TIMEOUT)
    # Keys typed before the shell reads again would share its one key slot.
    machine.wait_for_screen(lambda s: [r for r in s.rows() if r][-1] == "KVAL >", TIMEOUT, "the prompt")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--overflows", type=int, default=50)
    arguments = parser.parse_args()
    rounds = arguments.rounds
    image = faults.image(ROOT / "build" / "kval.img", Path(tempfile.mkdtemp()) / "soak.img")
    # A reset ends this QEMU (-no-reboot): the next wait fails.
    with Machine(image, no_reboot=True) as machine:
        Session(machine)
        before = used_size(machine)
        print(f"before: {before}", flush=True)
        for n in range(rounds):
            clear(machine)
            start(machine, "a:\\apps\\counter.kvx")
            machine.wait_for_screen(lambda s: s.row(3) == "KVAL >", TIMEOUT, "the prompt after ldapp")
            run(machine, "kill", "PID >")
            run(machine, "2", "had been killed.")
            if (n + 1) % 20 == 0:
                print(f"{n + 1} load/kill cycles", flush=True)
        for n in range(rounds):
            fault(machine, "a:\\apps\\divzero.kvx", "Division By Zero")
            if (n + 1) % 20 == 0:
                print(f"{n + 1} faulting starts", flush=True)
        for name, message in faults.MESSAGES.items():
            fault(machine, f"a:\\{name}.kvx", message)
            print(f"{name}: {message}", flush=True)
        for n in range(arguments.overflows):
            fault(machine, "a:\\apps\\recurse.kvx", "Page Fault")
            if (n + 1) % 10 == 0:
                print(f"{n + 1} stack overflows", flush=True)
        after = used_size(machine)
        print(f"after:  {after}")
    if before != after:
        print("soak: the Used Size changed", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
