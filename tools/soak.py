#!/usr/bin/python3
"""Soak run: loads and kills the counter application, then starts the
division-by-zero application, many times over in one QEMU, and prints the
Used Size line of mem before and after. Nothing an application holds may
stay behind, so the two lines must be equal; the exit status says whether
they are. Not part of make test: at a few seconds a start it takes a while.

usage: tools/soak.py [--rounds N]   (N load/kill cycles and N faulting starts; 200)
"""

import argparse
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "system"))

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


def start(machine, name):
    run(machine, "ldapp", "application path >")
    machine.type_text(f"a:\\apps\\{name}.kvx")
    machine.send_key("ret")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=200)
    rounds = parser.parse_args().rounds
    with Machine(str(ROOT / "build" / "kval.img")) as machine:
        Session(machine)
        before = used_size(machine)
        print(f"before: {before}", flush=True)
        for n in range(rounds):
            clear(machine)
            start(machine, "counter")
            machine.wait_for_screen(lambda s: s.row(3) == "KVAL >", TIMEOUT, "the prompt after ldapp")
            run(machine, "kill", "PID >")
            run(machine, "2", "had been killed.")
            if (n + 1) % 20 == 0:
                print(f"{n + 1} load/kill cycles", flush=True)
        for n in range(rounds):
            clear(machine)
            start(machine, "divzero")
            machine.wait_for_text("ERROR : Division By Zero", TIMEOUT)
            # Keys typed before the shell reads again would share its one key slot.
            machine.wait_for_screen(lambda s: [r for r in s.rows() if r][-1] == "KVAL >", TIMEOUT, "the prompt")
            if (n + 1) % 20 == 0:
                print(f"{n + 1} faulting starts", flush=True)
        after = used_size(machine)
        print(f"after:  {after}")
    if before != after:
        print("soak: the Used Size changed", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
