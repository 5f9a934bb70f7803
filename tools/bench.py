#!/usr/bin/env python3
"""KVAL benchmarks in QEMU: the time each operation takes beside the fixed
waits the kernel's code puts into it, with the floppy driver's read-ahead and
without it, QEMU's host CPU use at the idle prompt, and the wall-clock length
of timer_sleep(100). Prints figures and targets; fails nothing.

usage: tools/bench.py [--runs N] [--trace]

--trace prints, for each operation of each run, what the floppy controller
was told and when (QEMU's fdc_ioport_write trace): every motor write and
every READ DATA, in ms from the timed key (for boot, from the banner). That
is where an operation's time beyond its fixed waits goes: the gaps between
them are the turns of other processes and the waits for the controller's
interrupt.

The operations, each on a machine booted for the run:
  boot    from the start-up banner's first appearance to the first prompt
  ldapp   a 60 KB application, from Enter to its first output
  ldbmp   a 320 x 200 picture, from Enter to graphics mode
  rdfile  a three-cluster file, from Enter to the next prompt, less the time
          the kernel waited for the keys that answer its pauses and questions
  idle    QEMU's processor time over 10 s at the prompt, from /proc/PID/stat

A fixed wait is a sleep whose length the code fixes: the motor settle after
every write of the motor bit, the splash's seconds. Their lengths are read
from the kernel's sources; how many of them each operation makes is counted
from its code, in FIXED_WAITS below.
"""

import argparse
import os
import re
import statistics
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "system"))

import images  # noqa: E402
from kval import ROWS, Machine, is_welcome  # noqa: E402

BUILD = os.path.join(ROOT, "build")
IMAGES = {"on": os.path.join(BUILD, "kval.img"),
          "off": os.path.join(BUILD, "bench-noreadahead", "kval.img")}
TEST_IMAGE = os.path.join(BUILD, "test", "kval.img")
SMALL_APP = os.path.join(BUILD, "apps", "disk", "apps", "helloasm.kvx")
APP_GREETING = "Hello from KVAL, in assembly!"
APP_BYTES = 60 * 1024
PICTURE = "a:\\pics\\vale.bmp"  # 320 x 200, 8 bits, drawn by tools/mkpictures.py
CLUSTER_BYTES = 512
POLL = 0.005  # seconds between looks at the screen
IDLE_SECONDS = 10
STEP_TIMEOUT = 60


def constant(path, name):
    """The value of `constexpr ... NAME = value;` in a kernel source."""
    with open(os.path.join(ROOT, path)) as f:
        match = re.search(rf"constexpr\s+\w+\s+{name}\s*=\s*(\d+)\s*;", f.read())
    if not match:
        raise RuntimeError(f"{name} not found in {path}")
    return int(match.group(1))


TICK_HZ = constant("cpu/timer.h", "TICK_HZ")
SETTLE = constant("drivers/floppy.cpp", "MOTOR_SPIN_TICKS")  # after every DOR motor write
SPLASH = constant("boot/screens.cpp", "SPLASH_SECONDS") * TICK_HZ

# Ticks of fixed waits per operation, and where each comes from. Every
# floppy_motor call writes the DOR and settles; a successful recalibration
# settles twice (motor on, then off).
FIXED_WAITS = {
    "boot": [
        ("fdc_reset: fdc_recalibrate, motor on and off", 2 * SETTLE),
        ("floppy_load_root_cache: motor on and off", 2 * SETTLE),
        ("floppy_load_fat_cache: motor on and off", 2 * SETTLE),
        ("boot_splash: fat_open of splash.bmp, motor on and off", 2 * SETTLE),
        ("boot_splash: read_picture, motor on and off", 2 * SETTLE),
        ("boot_splash: the splash shown", SPLASH),
    ],
    "ldapp": [
        ("exe_load: fat_open, motor on and off", 2 * SETTLE),
        ("app_bootstrap: motor on and off", 2 * SETTLE),
    ],
    "ldbmp": [
        ("bmp_render: fat_open, motor on and off", 2 * SETTLE),
        ("bmp_render: read_picture, motor on and off", 2 * SETTLE),
    ],
    "rdfile": [
        ("cmd_rdfile: fat_open, motor on and off", 2 * SETTLE),
        ("cmd_rdfile: motor on and off around the clusters", 2 * SETTLE),
    ],
}

OPERATIONS = [
    ("boot", "boot: banner to prompt", 1.1),
    ("ldapp", "ldapp 60 KB: Enter to output", 1.3),
    ("ldbmp", "ldbmp 320x200: Enter to graphics", 1.3),
    ("rdfile", "rdfile 3 clusters: Enter to prompt", None),
]
IDLE_TARGET = 10.0  # per cent of one host core


def fixed_seconds(operation):
    return sum(ticks for _, ticks in FIXED_WAITS[operation]) / TICK_HZ


# ---- the benchmark floppy ----------------------------------------------------------

def bench_files():
    """A 60 KB application (the smallest sample, padded with zeros, which its
    image region holds anyway) and a text file of three clusters."""
    with open(SMALL_APP, "rb") as f:
        app = f.read()
    if len(app) > APP_BYTES:
        raise RuntimeError(f"{SMALL_APP} is larger than {APP_BYTES} bytes")
    lines = b"".join(b"benchmark text, line %03d\r\n" % n for n in range(60))
    text = lines[:2 * CLUSTER_BYTES + 300]
    return {"BIG.KVX": app.ljust(APP_BYTES, b"\0"), "THREE.TXT": text}


# ---- watching the machine -----------------------------------------------------------

def watch(machine, predicate, what, timeout=STEP_TIMEOUT):
    """Polls the text screen until predicate(screen) holds. Returns (time of
    the last look that failed, time of the look that held, screen)."""
    deadline = time.monotonic() + timeout
    before = time.monotonic()
    while True:
        screen = machine.screen()
        now = time.monotonic()
        if predicate(screen):
            return before, now, screen
        if now > deadline or not machine.running():
            raise RuntimeError(f"no {what} after {timeout} s\n{machine.report()}")
        before = now
        time.sleep(POLL)


def display_size(machine):
    """(width, height) of what the adapter shows: 720 x 400 in text mode,
    640 x 400 for the 320 x 200 graphics mode (QEMU doubles its pixels)."""
    path = os.path.join(machine.dir, "bench.ppm")
    machine.qmp.command("screendump", filename=path)
    with open(path, "rb") as f:
        _, width, height = f.read(64).split(maxsplit=3)[:3]
    return int(width), int(height)


def has_row(screen, text):
    return any(screen.row(y) == text for y in range(ROWS))


# Keys that are not timed go through send-key, which keeps them in order
# behind the releases it delays; a timed key is pressed at once, after the
# screen showed that every key before it arrived.

def fresh_prompt(machine):
    """Clears the screen; the prompt is then alone on row 1."""
    machine.type_text("cls")
    machine.send_key("ret")
    watch(machine, lambda s: s.row(1) == "KVAL >" and not s.row(0) and not s.row(2), "cleared screen")


def ask(machine, command, question, answer):
    """Runs `command`, answers its question with `answer`, and returns just
    before the Enter would be pressed."""
    fresh_prompt(machine)
    machine.type_text(command)
    machine.send_key("ret")
    watch(machine, lambda s: s.contains(question), repr(question))
    machine.type_text(answer)
    watch(machine, lambda s: s.contains(question + answer), f"the echo of {answer!r}")


def timed_enter(machine):
    """Presses Enter at once; returns when it went out (monotonic clock)
    and notes it (wall clock, as QEMU's trace stamps it) for --trace."""
    machine.bench_marks.append(time.time())
    started = time.monotonic()
    machine.press("ret")
    return started


def cpu_seconds(pid):
    """User and system time of a host process, from /proc/PID/stat."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


# ---- the operations -------------------------------------------------------------------

def boot(machine):
    def banner(screen):
        return screen.row(5).startswith("Kestrel Vale (KVAL) Version : ")
    _, shown, _ = watch(machine, banner, "start-up banner", timeout=120)
    machine.bench_marks.append(time.time())
    _, prompt, _ = watch(machine, lambda s: is_welcome(s) and s.row(18) == "KVAL >", "first prompt")
    return prompt - shown


def idle(machine):
    time.sleep(1)
    used, started = cpu_seconds(machine.process.pid), time.monotonic()
    time.sleep(IDLE_SECONDS)
    return 100 * (cpu_seconds(machine.process.pid) - used) / (time.monotonic() - started)


def ldapp(machine):
    ask(machine, "ldapp", "Please enter the application path > ", "big.kvx")
    started = timed_enter(machine)
    _, output, _ = watch(machine, lambda s: s.contains(APP_GREETING), "the application's output")
    watch(machine, lambda s: has_row(s, "KVAL >"), "the prompt after the application")
    return output - started


def ldbmp(machine):
    ask(machine, "ldbmp", "Please enter the path of the bitmap > ", PICTURE)
    started = timed_enter(machine)
    deadline = started + STEP_TIMEOUT
    while display_size(machine) != (640, 400):
        if time.monotonic() > deadline:
            raise RuntimeError(f"no graphics mode after {STEP_TIMEOUT} s\n{machine.report()}")
        time.sleep(POLL)
    shown = time.monotonic()
    machine.press("ret")
    watch(machine, lambda s: has_row(s, "KVAL >"), "the prompt after the picture")
    return shown - started


def rdfile(machine):
    """The kernel's time: each pause and question waits for a key, and that
    wait, from about half-way between the look that missed it and the one
    that saw it until the key went out, is taken off."""
    pause = "---Press any key to continue"
    question = "Press \"Enter\" for yes or \"ESC\" for no."
    ask(machine, "rdfile", "Please enter the file path > ", "three.txt")
    started = timed_enter(machine)
    waited = 0.0
    for text in (pause, question, pause, question, pause):
        missed, seen, _ = watch(machine, lambda s, t=text: s.contains(t), repr(text))
        machine.press("ret")
        waited += time.monotonic() - (missed + seen) / 2
        watch(machine, lambda s, t=text: not s.contains(t), f"{text!r} erased")
    _, prompt, _ = watch(machine, lambda s: has_row(s, "KVAL >"), "the prompt after the file")
    return prompt - started - waited


TRACE_LINE = re.compile(r"\d+@(\d+\.\d+):fdc_ioport_write .*?0x([0-9a-f]+).*?0x([0-9a-f]+)")
FDC_DOR, FDC_FIFO = 2, 5  # the registers' offsets from 0x3F0
READ_DATA = 0xC6


READS_APART = 15  # ms: READ DATAs closer than this are one run of them


def print_timeline(name, log, began, ended):
    """The motor writes and READ DATA commands of one operation; READ DATAs
    that follow one another closely are one entry: first-last xCOUNT."""
    events = []  # [ms, text] or [first ms, last ms, count] for READ DATAs
    with open(log) as f:
        for line in f:
            match = TRACE_LINE.match(line)
            if not match or not began <= float(match.group(1)) <= ended:
                continue
            at = (float(match.group(1)) - began) * 1000
            register, value = int(match.group(2), 16) & 7, int(match.group(3), 16)
            if register == FDC_DOR:
                events.append([at, f"DOR {value:#04x}"])
            elif register == FDC_FIFO and value == READ_DATA:
                if events and len(events[-1]) == 3 and at - events[-1][1] < READS_APART:
                    events[-1][1:] = [at, events[-1][2] + 1]
                else:
                    events.append([at, at, 1])
    text = [f"{e[0]:.0f} {e[1]}" if len(e) == 2 else f"{e[0]:.0f}-{e[1]:.0f} READ x{e[2]}" for e in events]
    print(f"  {name}: " + ", ".join(text))


def one_run(image, trace):
    with tempfile.TemporaryDirectory(prefix="kval-trace-") as folder:
        log = os.path.join(folder, "fdc.log")
        extra = ["-msg", "timestamp=on", "-D", log, "-trace", "fdc_ioport_write"] if trace else []
        with Machine(image, memory=32, extra_args=extra) as machine:
            machine.bench_marks = []
            figures = {"boot": boot(machine)}
            if trace:
                print_timeline("boot", log, machine.bench_marks[-1], time.time())
            figures["idle"] = idle(machine)
            for name, operation in (("ldapp", ldapp), ("ldbmp", ldbmp), ("rdfile", rdfile)):
                figures[name] = operation(machine)
                if trace:
                    print_timeline(name, log, machine.bench_marks[-1], time.time())
            return figures


# ---- timer_sleep in the test build ---------------------------------------------------

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


# ---- the report -------------------------------------------------------------------------

def table(results, runs):
    print(f"median of {runs} runs on one QEMU machine each; a tick is {1000 // TICK_HZ} ms")
    print(f"{'operation':36} {'read-ahead':>10} {'measured':>10} {'fixed waits':>12} {'ratio':>6}  target")
    for key, label, target in OPERATIONS:
        for setting in ("on", "off"):
            measured = statistics.median(r[key] for r in results[setting])
            fixed = fixed_seconds(key)
            ratio = measured / fixed
            verdict = ""
            if target is not None and setting == "on":  # the targets are the normal build's
                verdict = f"<= {target}x " + ("met" if ratio <= target else "MISSED")
            print(f"{label:36} {setting:>10} {measured:>8.3f} s {fixed:>10.3f} s {ratio:>6.2f}  {verdict}")
    for setting in ("on", "off"):
        used = statistics.median(r["idle"] for r in results[setting])
        verdict = ""
        if setting == "on":
            verdict = f"< {IDLE_TARGET:g} % " + ("met" if used < IDLE_TARGET else "MISSED")
        print(f"{'idle prompt: QEMU host CPU, 10 s':36} {setting:>10} {used:>8.1f} % {'-':>12} {'-':>6}  "
              f"{verdict}")
    print("all runs (s; idle in %):")
    for setting in ("on", "off"):
        for key in ("boot", "ldapp", "ldbmp", "rdfile", "idle"):
            values = ", ".join(f"{r[key]:.3f}" for r in results[setting])
            print(f"  read-ahead {setting:3} {key:6}: {values}")
    print("fixed waits counted:")
    for key, _, _ in OPERATIONS:
        for where, ticks in FIXED_WAITS[key]:
            print(f"  {key:6} {ticks:4} ticks  {where}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--trace", action="store_true", help="the floppy controller's timeline of each operation")
    args = parser.parse_args()
    missing = [path for path in list(IMAGES.values()) + [SMALL_APP] if not os.path.isfile(path)]
    if missing:
        print("operations: missing " + ", ".join(missing) + " (make bench builds them): skipped")
    else:
        with tempfile.TemporaryDirectory(prefix="kval-bench-") as folder:
            disks = {setting: images.variant(path, os.path.join(folder, f"{setting}.img"), bench_files())
                     for setting, path in IMAGES.items()}
            results = {"on": [], "off": []}
            for _ in range(args.runs):
                for setting in ("on", "off"):  # alternated, so both meet the same host
                    if args.trace:
                        print(f"read-ahead {setting}, ms from the timed Enter:")
                    results[setting].append(one_run(disks[setting], args.trace))
        table(results, args.runs)
    if os.path.isfile(TEST_IMAGE):
        values = [sleep_seconds(100) for _ in range(args.runs)]
        print(f"timer_sleep(100) wall clock: median {statistics.median(values):.3f} s (about 1 s expected), "
              + ", ".join(f"{v:.3f}" for v in values))
    else:
        print(f"timer_sleep(100): {TEST_IMAGE} missing, skipped")


if __name__ == "__main__":
    main()
