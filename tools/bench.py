#!/usr/bin/env python3
"""KVAL benchmarks in QEMU: boot-to-welcome time and the wall-clock length of
timer_sleep(100). Prints figures; judges nothing.

usage: tools/bench.py [--runs N]
"""

import argparse
import os
import statistics
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "system"))

from kval import Machine, is_welcome  # noqa: E402

RELEASE_IMAGE = os.path.join(ROOT, "build", "kval.img")
TEST_IMAGE = os.path.join(ROOT, "build", "test", "kval.img")


def summary(name, values, unit):
    text = ", ".join(f"{v:.3f}" for v in values)
    print(f"{name}: median {statistics.median(values):.3f} {unit}, "
          f"min {min(values):.3f}, max {max(values):.3f}  ({text})")


def boot_to_welcome():
    """Seconds from starting QEMU to the finished welcome screen."""
    with Machine(RELEASE_IMAGE, memory=32) as machine:
        started = time.monotonic()
        while True:
            if not machine.running():
                raise RuntimeError("QEMU ended before the welcome screen")
            if is_welcome(machine.screen()):
                return time.monotonic() - started
            if time.monotonic() - started > 120:
                raise RuntimeError("no welcome screen after 120 s\n" + machine.report())
            time.sleep(0.02)


def line_time(machine, text, deadline):
    """Host time at which the debug console first holds the line 'KVALTEST <text>'."""
    wanted = f"KVALTEST {text}\n"
    while wanted not in machine.debug_output():
        if time.monotonic() > deadline or not machine.running():
            raise RuntimeError(f"no line {wanted!r}\n" + machine.report())
        time.sleep(0.001)
    return time.monotonic()


def sleep_seconds(ticks):
    """Wall-clock seconds that timer_sleep(ticks) takes in the test build."""
    with Machine(TEST_IMAGE, memory=32, test=f"sleep={ticks}") as machine:
        deadline = time.monotonic() + 120
        start = line_time(machine, f"sleep {ticks} start", deadline)
        done = line_time(machine, f"sleep {ticks} done", deadline + ticks / 100)
        return done - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    if os.path.isfile(RELEASE_IMAGE):
        summary("boot to welcome (-m 32)", [boot_to_welcome() for _ in range(args.runs)], "s")
    else:
        print(f"boot to welcome: {RELEASE_IMAGE} missing, skipped")
    if os.path.isfile(TEST_IMAGE):
        summary("timer_sleep(100) wall clock", [sleep_seconds(100) for _ in range(args.runs)],
                "s (about 1 s expected)")
    else:
        print(f"timer_sleep(100): {TEST_IMAGE} missing, skipped")


if __name__ == "__main__":
    main()
