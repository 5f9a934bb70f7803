"""Storms: 100,000 system calls at random from one program, with keys typed
all the while, then 1,000 random keys at the shell's prompt and 1,000 into a
program that holds the console.
Every answer a program or the screen gives must be the one a model of the
system predicts, and afterwards the shell still answers, no memory is left
in use, the process table is as it was and the disk was never written.

The keys never form a command: no lower-case letter is ever typed (letters
come only with Shift, and Caps Lock, which would turn them back, is left
out), while every command word is lower case and the shell matches whole
lines exactly. Ctrl is left out too (CTRL+ENTER would take the console from
the application), and F10, which ends the application.
So at the prompt every line is an unknown command or empty, whatever the
order, and nothing can restart, power off, load or kill. Each key is typed
only once the one before has been taken from the keyboard's single slot,
so none is lost and the models stay in step.

Takes a few minutes: make soak runs it, make test does not."""

import hashlib
import random
import re
import subprocess
import time
from pathlib import Path

import pytest

import console_model as cm
import images
from kval import KERNEL_PHYS, KERNEL_VIRT, qcode_for, scaled
from shell import Session, mem, procs

ROOT = Path(__file__).resolve().parents[2]
STORM_APPS = ROOT / "build" / "apps" / "storm"
KERNEL_ELF = ROOT / "build" / "kernel.elf"
SEED = 20261207
KEYS = 1000
KEY_TIMEOUT = 15  # a key waits behind at most a beep and a full scheduler cycle
STORM_TIMEOUT = 240  # about 20 s alone, under 40 s with four other machines

ENTER, TAB, ESC, F1, F10, SHIFT = 0x0E0C, 0x0E0A, 0x0E0B, 0x0F01, 0x0F10, 0x0E05
SHELL_LINE_MAX, APP_LINE_MAX = 100, 40

# qcode -> the KeyCode the driver gives for it. None: a key without a code,
# which stays in the slot until the next press replaces it.
PLAIN = {str(d): ord(str(d)) for d in range(10)}
PLAIN.update({"minus": ord("-"), "equal": ord("="), "bracket_left": ord("["), "bracket_right": ord("]"),
              "semicolon": ord(";"), "apostrophe": ord("'"), "grave_accent": ord("`"), "backslash": ord("\\"),
              "comma": ord(","), "dot": ord("."), "slash": ord("/"), "spc": 32, "kp_add": ord("+"),
              "kp_subtract": ord("-"), "kp_divide": ord("/"), "backspace": 8, "insert": 0, "delete": 0,
              "kp_0": 0, "kp_decimal": 0, "ret": ENTER, "kp_enter": ENTER, "tab": TAB, "esc": ESC,
              "up": 0x0E01, "kp_8": 0x0E01, "down": 0x0E02, "kp_2": 0x0E02, "right": 0x0E03, "kp_6": 0x0E03,
              "left": 0x0E04, "kp_4": 0x0E04, "shift": SHIFT, "shift_r": SHIFT, "alt": 0x0E0D, "alt_r": 0x0E0D,
              "num_lock": 0x0E08, "scroll_lock": 0x0E09, "home": None, "end": None, "pgup": None,
              "pgdn": None, "kp_5": None, "kp_multiply": None})
PLAIN.update({f"f{n}": 0x0F00 + n for n in range(1, 10)})
KEYS_TYPED = sorted(PLAIN)  # F10 is typed only to end keystorm.kvx
PLAIN["f10"] = F10
NOISE = [q for q in KEYS_TYPED if q not in ("shift", "shift_r")]
# Typed with Shift held: every letter, and the keys whose shifted character
# differs (space and keypad + have none, giving themselves and 0).
SHIFTED = {chr(c): c for c in range(ord("a"), ord("z") + 1)}
SHIFTED.update({k: v for k, v in PLAIN.items() if v is not None and 32 <= v < 128})
SHIFT_TABLE = dict(zip("',-./0123456789;=[\\]`", "\"<_>?)!@#$%^&*(:+{|}~"))


def to_char(key, shift):
    """The driver's character for `key` under `shift` (Caps Lock is never on); 0 for none."""
    if key >= 128:
        return 0
    c = chr(key)
    if "a" <= c <= "z":
        return ord(c.upper()) if shift else key
    if key in (8, 32) or not shift:
        return key
    return ord(SHIFT_TABLE.get(c, "\0"))


def key_strokes(rng, count):
    """`count` random strokes: (qcode, shifted), weighted towards characters."""
    plain = KEYS_TYPED
    shifted = sorted(SHIFTED)
    out = []
    for _ in range(count):
        r = rng.random()
        if r < 0.06:
            out.append(("ret", False))
        elif r < 0.14:
            out.append(("backspace", False))
        elif r < 0.45:
            out.append((rng.choice(shifted), True))
        else:
            out.append((rng.choice(plain), False))
    return out


def fnv(h, value):
    return ((h ^ value) * 16777619) & 0xFFFFFFFF


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Keyboard:
    """Types strokes one at a time, each once the one before has been taken.

    A key is taken when the driver's one-key slot (last_scan_code) is empty
    again. So that an empty slot cannot be mistaken for a key not yet
    arrived, keypad 5 goes first: it has no code, so nobody takes it and it
    stays in the slot until the next press replaces it."""

    MARKER, MARKER_SCAN = "kp_5", 0x4C

    def __init__(self, machine):
        self.machine = machine
        symbols = subprocess.run(["nm", str(KERNEL_ELF)], check=True, capture_output=True, text=True).stdout
        address = next(int(line.split()[0], 16) for line in symbols.splitlines()
                       if line.endswith("last_scan_codeE"))
        self.slot = address - KERNEL_VIRT + KERNEL_PHYS

    def _wait_slot(self, value, what):
        deadline = time.monotonic() + scaled(KEY_TIMEOUT)
        while self.machine.pmemsave(self.slot, 1)[0] != value:
            assert time.monotonic() < deadline, f"{what} not taken\n{self.machine.report()}"
            time.sleep(0.002)

    def offer(self, send, what):
        self.machine.press(self.MARKER)
        self._wait_slot(self.MARKER_SCAN, "the marker")
        send()
        self._wait_slot(0, what)

    def type(self, text):
        """Types text and Enter, each key once the one before is taken."""
        for char in text:
            *shift, qcode = qcode_for(char)
            if shift:
                self.offer(lambda: self.machine.key_event("shift", True), "shift")
            self.offer(lambda: self.machine.press(qcode), repr(char))
            if shift:
                self.machine.key_event("shift", False)
        self.offer(lambda: self.machine.press("ret"), "Enter")

    def stroke(self, qcode, shifted, consume):
        """Types one stroke; consume(code, shift) hears every key the consumer takes.

        Shift is a key of its own: its press is offered, and taken, first; it
        goes up only once the key it shifts has been taken."""
        if shifted:
            self.offer(lambda: self.machine.key_event("shift", True), "shift")
            consume(SHIFT, False)
        code = SHIFTED[qcode] if shifted else PLAIN[qcode]
        if code is None:
            self.machine.press(qcode)
        else:
            self.offer(lambda: self.machine.press(qcode), qcode)
            consume(code, shifted)
        if shifted:
            self.machine.key_event("shift", False)


class ShellModel:
    """The shell's line editor and unknown-command message on a console model."""

    def __init__(self, console):
        self.console = console
        self.line = bytearray()

    def __call__(self, key, shift):
        if key == ENTER:
            text = bytes(self.line).split(b"\0")[0]
            assert not re.fullmatch(rb"[a-z]+", text), f"{text!r} could be a command"
            if text:
                self.console.print(cm.LIGHT_RED, b"\n'" + text + b"' is unknown command ")
            self.console.print(cm.YELLOW, "\nKVAL >")
            self.line.clear()
        elif key == 8:
            if self.line:
                self.line.pop()
                self.console.putc(8)
        elif len(self.line) < SHELL_LINE_MAX and key < 128:
            c = to_char(key, shift)
            self.line.append(c)
            self.console.putc(c)


class KeystormModel:
    """What keystorm.kvx hashes and counts from the keys it takes."""

    def __init__(self):
        self.mode, self.line = "key", bytearray()
        self.hash, self.keys, self.lines, self.answers = 2166136261, 0, 0, 0

    def __call__(self, key, shift):
        if self.mode == "key":
            value = to_char(key, shift) or key
            self.keys += 1
            self.hash = fnv(self.hash, value)
            self.mode = {TAB: "line", F1: "answer"}.get(value, "key")
            self.line.clear()
        elif self.mode == "line":
            if key == ENTER:
                self.hash = fnv(self.hash, len(self.line))
                for c in self.line:
                    self.hash = fnv(self.hash, c)
                self.lines += 1
                self.mode = "key"
            elif key == 8:
                if self.line:
                    self.line.pop()
            elif len(self.line) < APP_LINE_MAX and key < 128:
                self.line.append(to_char(key, shift))
        elif key in (ENTER, ESC):
            self.hash = fnv(self.hash, 1 if key == ENTER else 0)
            self.answers += 1
            self.mode = "key"

    def summary(self):
        return (f"KEYSTORM {self.keys} keys, {self.lines} lines, {self.answers} answers, "
                f"hash {self.hash:02X}, 0 bad.")


def clear(session):
    """cls, and a fresh model of the cleared screen with its prompt on row 1."""
    machine = session.machine
    machine.type_text("cls")
    machine.send_key("ret")
    screen = machine.wait_for_screen(lambda s: s.row(1) == "KVAL >" and not s.row(2), 15, "a cleared screen")
    session.console = cm.Console.of(screen, len("KVAL >"), 1, cm.YELLOW)


# A fault report, or ldapp's messages for a start that failed.
LOAD_FAILURES = ("ERROR :", "Invalid Executable.", "Internal Error.", "Insufficient Memory.", "Cannot find")


def type_noise(machine, rng, done):
    """Keys without letters or Shift, as fast as they go, until done(screen); returns how many.

    Nobody waits for them: while the storm holds the console they are
    dropped, and while it has given it back the shell takes some of them."""
    deadline = time.monotonic() + scaled(STORM_TIMEOUT)
    count = 0
    while not done(machine.screen()):
        screen = machine.screen()
        if time.monotonic() > deadline or any(map(screen.contains, LOAD_FAILURES)):
            places = [hex(machine.registers()["EIP"]) for _ in range(5)]
            raise AssertionError(f"the storm did not end; EIP {places}\n{machine.report()}")
        machine.press(rng.choice(NOISE))
        count += 1
        time.sleep(0.02)
    return count


def wait_prompt(machine):
    """Until the last line written is the shell's prompt again."""
    machine.wait_for_screen(lambda s: [r for r in s.rows() if r][-1] == "KVAL >", 15, "the prompt")


def start(keyboard, name):
    keyboard.type("ldapp")
    keyboard.type(f"a:\\{name}")


@pytest.fixture(scope="module")
def machine(module_boot, release_image, tmp_path_factory):
    files = {f"{name.upper()}.KVX": (STORM_APPS / f"{name}.kvx").read_bytes() for name in ("storm", "keystorm")}
    image = images.variant(release_image, tmp_path_factory.mktemp("storms") / "storms.img", files=files)
    machine = module_boot(image)
    machine.disk_digest = digest(machine.disk)
    return machine


def test_storms_leave_the_system_as_they_found_it(machine):
    session = Session(machine)
    rng = random.Random(SEED)
    keyboard = Keyboard(machine)
    clear(session)
    before = mem(session)
    procs(session)

    began = time.monotonic()
    clear(session)
    start(keyboard, "storm.kvx")
    noise = type_noise(machine, random.Random(SEED + 1), lambda s: s.contains("STORM beeps="))
    screen = machine.screen()
    text = "\n".join(screen.rows())
    counts = re.search(r"STORM calls=(\d+) unknown=(\d+) refused=(\d+)", text)
    result = re.search(r"STORM beeps=(\d+) full=(\d+) errors=(\d+)\.", text)
    assert counts and result, screen
    print(f"system calls: {time.monotonic() - began:.1f} s, {counts.group(0)}, {result.group(0)}, "
          f"{noise} keys meanwhile")
    # The seed fills the data table to its last entry now and then.
    assert counts.group(1) == "100000" and result.group(1) == "10" and int(result.group(2)) > 0, screen
    assert result.group(3) == "0", screen
    # The noise has gone in order; the line it left at the prompt runs, as
    # an unknown command or nothing.
    keyboard.offer(lambda: machine.press("ret"), "Enter")
    wait_prompt(machine)

    began = time.monotonic()
    clear(session)
    shell = ShellModel(session.console)
    for qcode, shifted in key_strokes(rng, KEYS):
        keyboard.stroke(qcode, shifted, shell)
    session.expect()
    while shell.line:  # the last line goes, key by key, and only an empty line is left to run
        keyboard.stroke("backspace", False, shell)
    keyboard.stroke("ret", False, shell)
    session.expect()
    print(f"keys at the prompt: {time.monotonic() - began:.1f} s")

    began = time.monotonic()
    clear(session)
    start(keyboard, "keystorm.kvx")
    machine.wait_for_text("KEYSTORM ready", 15)
    app = KeystormModel()
    for qcode, shifted in key_strokes(rng, KEYS):
        keyboard.stroke(qcode, shifted, app)
    if app.mode != "key":
        keyboard.stroke("ret", False, app)
    keyboard.stroke("f10", False, app)
    screen = machine.wait_for_text(" bad.", 15)
    assert screen.contains(app.summary()), f"expected {app.summary()}\n{screen}"
    print(f"keys into an application: {time.monotonic() - began:.1f} s, {app.summary()}")
    wait_prompt(machine)
    clear(session)
    procs(session)
    after = mem(session)
    print(f"before: {before[2]}; after: {after[2]}")
    assert after == before
    assert digest(machine.disk) == machine.disk_digest, "the floppy was written"
