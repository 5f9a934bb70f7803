"""Drives KVAL machines in qemu-system-i386 for the system tests and benchmarks.

A Machine boots a private copy of a floppy image and talks to QEMU through QMP:
it reads the text screen, types keys, reads memory and registers, ejects the
floppy, and collects the debug-console output (port 0xE9) and the PC speaker
sound. Everything here uses the standard library only.
"""

import array
import json
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
import wave

QEMU = os.environ.get("KVAL_QEMU", "qemu-system-i386")

# QEMU runs without acceleration and sometimes two at once on two cores: every
# wait is generous, and KVAL_TIMEOUT_SCALE stretches them all on slow hosts.
TIMEOUT_SCALE = float(os.environ.get("KVAL_TIMEOUT_SCALE", "1"))
BOOT_TIMEOUT = 90.0
POLL_INTERVAL = 0.1

COLS, ROWS = 80, 25
VGA_TEXT = 0xB8000
KERNEL_VIRT = 0xC0000000
KERNEL_PHYS = 0x100000
TEST_PREFIX = "KVALTEST "


def scaled(seconds):
    return seconds * TIMEOUT_SCALE


class QMPError(Exception):
    pass


class QMP:
    """A minimal synchronous QMP client; events are kept as they arrive."""

    def __init__(self, path, timeout, alive):
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline or not alive():
                    raise
                time.sleep(0.05)
        self.buffer = b""
        self.events = []
        greeting = self._read(timeout)
        if "QMP" not in greeting:
            raise QMPError(f"unexpected greeting {greeting!r}")
        self.command("qmp_capabilities")

    def _read(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError("no QMP message in time")
            self.sock.settimeout(remaining)
            try:
                data = self.sock.recv(65536)
            except socket.timeout as exc:
                raise TimeoutError("no QMP message in time") from exc
            if not data:
                raise EOFError("QEMU closed the QMP connection")
            self.buffer += data
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def command(self, name, timeout=30.0, **arguments):
        message = {"execute": name}
        if arguments:
            message["arguments"] = arguments
        self.sock.sendall(json.dumps(message).encode() + b"\n")
        while True:
            reply = self._read(scaled(timeout))
            if "event" in reply:
                self.events.append(reply)
            elif "error" in reply:
                raise QMPError(f"{name}: {reply['error'].get('desc', reply['error'])}")
            elif "return" in reply:
                return reply["return"]

    def wait_event(self, name, timeout):
        """Returns (and consumes) the first event called name, waiting for it."""
        deadline = time.monotonic() + timeout
        while True:
            for event in self.events:
                if event["event"] == name:
                    self.events.remove(event)
                    return event
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError(f"no {name} event in time")
            message = self._read(remaining)
            if "event" in message:
                self.events.append(message)

    def close(self):
        self.sock.close()


class Screen:
    """A snapshot of the 80 x 25 text screen: code page 437 bytes and attributes."""

    def __init__(self, raw):
        assert len(raw) == COLS * ROWS * 2
        self.raw = bytes(raw)

    def cell(self, x, y):
        offset = (y * COLS + x) * 2
        return self.raw[offset], self.raw[offset + 1]

    def chars(self, y):
        return self.raw[y * COLS * 2:(y + 1) * COLS * 2:2]

    def attrs(self, y):
        return self.raw[y * COLS * 2 + 1:(y + 1) * COLS * 2:2]

    def row(self, y, strip=True):
        text = self.chars(y).decode("cp437")
        return text.rstrip() if strip else text

    def rows(self):
        return [self.row(y) for y in range(ROWS)]

    def contains(self, text):
        return any(text in self.row(y, strip=False) for y in range(ROWS))

    def __eq__(self, other):
        return isinstance(other, Screen) and self.raw == other.raw

    def __str__(self):
        lines = []
        for y in range(ROWS):
            attrs = self.attrs(y)
            colours = " ".join(f"{a:02X}" for a in sorted(set(attrs)))
            lines.append(f"{y:2}|{self.row(y, strip=False)}| {colours}")
        return "\n".join(lines)


def qcode_for(char):
    """The QEMU key combination (a list of qcodes) that types char on a US keyboard."""
    if "a" <= char <= "z" or "0" <= char <= "9":
        return [char]
    if "A" <= char <= "Z":
        return ["shift", char.lower()]
    plain = {" ": "spc", "\n": "ret", "\t": "tab", "\b": "backspace", "-": "minus",
             "=": "equal", "[": "bracket_left", "]": "bracket_right", ";": "semicolon",
             "'": "apostrophe", "`": "grave_accent", "\\": "backslash", ",": "comma",
             ".": "dot", "/": "slash"}
    shifted = {"!": "1", "@": "2", "#": "3", "$": "4", "%": "5", "^": "6", "&": "7",
               "*": "8", "(": "9", ")": "0", "_": "minus", "+": "equal", "{": "bracket_left",
               "}": "bracket_right", ":": "semicolon", '"': "apostrophe", "~": "grave_accent",
               "|": "backslash", "<": "comma", ">": "dot", "?": "slash"}
    if char in plain:
        return [plain[char]]
    if char in shifted:
        return ["shift", shifted[char]]
    raise ValueError(f"no key for {char!r}")


def escape_option(value):
    """QEMU option values double their commas."""
    return value.replace(",", ",,")


class Machine:
    """One QEMU process booting a private copy of a floppy image.

    memory: RAM in MiB. test: the test-build command string (fw_cfg
    opt/kval/test). no_reboot: a guest reset ends QEMU. audio: record the PC
    speaker into a WAV file.
    """

    def __init__(self, image, memory=32, test=None, no_reboot=False, audio=False,
                 extra_args=()):
        self.image = image
        self.memory = memory
        self.test = test
        self.no_reboot = no_reboot
        self.audio = audio
        self.extra_args = list(extra_args)
        self.dir = None
        self.process = None
        self.qmp = None
        self.started_at = None
        self.log = None

    # --- life cycle -------------------------------------------------------------

    def start(self):
        self.dir = tempfile.mkdtemp(prefix="kval-")
        self.disk = os.path.join(self.dir, "floppy.img")
        shutil.copyfile(self.image, self.disk)
        self.socket_path = os.path.join(self.dir, "qmp.sock")
        self.debug_path = os.path.join(self.dir, "debugcon.txt")
        self.wav_path = os.path.join(self.dir, "speaker.wav")
        self.log_path = os.path.join(self.dir, "qemu.log")
        if self.audio:
            audiodev = f"wav,id=snd0,path={escape_option(self.wav_path)}"
        else:
            audiodev = "none,id=snd0"
        args = [QEMU,
                "-drive", f"file={escape_option(self.disk)},if=floppy,format=raw",
                "-boot", "a", "-m", str(self.memory),
                "-display", "none", "-monitor", "none", "-serial", "none",
                "-parallel", "none", "-nic", "none",
                "-qmp", f"unix:{self.socket_path},server=on,wait=off",
                "-audiodev", audiodev, "-machine", "pcspk-audiodev=snd0",
                "-debugcon", f"file:{self.debug_path}"]
        if self.no_reboot:
            args.append("-no-reboot")
        if self.test is not None:
            args += ["-fw_cfg", f"name=opt/kval/test,string={escape_option(self.test)}"]
        args += self.extra_args
        self.args = args
        self.log = open(self.log_path, "wb")
        self.started_at = time.monotonic()
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=self.log,
                                        stderr=subprocess.STDOUT)
        try:
            self.qmp = QMP(self.socket_path, scaled(30), lambda: self.process.poll() is None)
        except Exception as exc:
            self.stop()
            log = self.qemu_log()
            self.close()
            raise RuntimeError(f"QEMU did not start: {exc}\n{log}") from exc
        return self

    def close(self):
        """Stops QEMU (politely, then by force) and removes the private files."""
        self.stop()
        if self.log:
            self.log.close()
            self.log = None
        if self.dir and not os.environ.get("KVAL_KEEP"):
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def stop(self):
        """Ends QEMU; a QMP quit lets the WAV writer finish its file."""
        if self.process is None:
            return
        if self.process.poll() is None and self.qmp is not None:
            try:
                self.qmp.command("quit", timeout=5)
            except Exception:
                pass
            try:
                self.process.wait(timeout=scaled(10))
            except subprocess.TimeoutExpired:
                pass
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        if self.qmp is not None:
            self.qmp.close()
            self.qmp = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

    def running(self):
        return self.process is not None and self.process.poll() is None

    def pause(self):
        """Stops the guest processor (memory, registers and screen stay readable).

        A booted KVAL halts while it waits, but its applications may spin;
        pausing the machines that are only looked at leaves the cores to the
        ones still booting.
        """
        self.qmp.command("stop")

    def resume(self):
        self.qmp.command("cont")

    def wait_exit(self, timeout):
        """Waits until QEMU ends on its own; returns its exit code."""
        try:
            return self.process.wait(timeout=scaled(timeout))
        except subprocess.TimeoutExpired as exc:
            raise AssertionError(f"QEMU still running after {timeout} s\n{self.report()}") from exc

    def wait_event(self, name, timeout=BOOT_TIMEOUT):
        try:
            return self.qmp.wait_event(name, scaled(timeout))
        except (TimeoutError, EOFError) as exc:
            raise AssertionError(f"no {name} event: {exc}\n{self.report()}") from exc

    # --- diagnostics -------------------------------------------------------------

    def qemu_log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode(errors="replace")
        except OSError:
            return ""

    def report(self):
        """Everything that helps to understand a failure: screen, debug output, QEMU log."""
        parts = [f"machine: {os.path.basename(self.image)} -m {self.memory}"
                 + (f" test={self.test!r}" if self.test else "")]
        if self.running():
            try:
                parts.append("screen:\n" + str(self.screen()))
            except Exception as exc:
                parts.append(f"screen unavailable: {exc}")
        debug = self.debug_output()
        if debug:
            parts.append("debug console (tail):\n" + debug[-3000:])
        log = self.qemu_log()
        if log:
            parts.append("QEMU output:\n" + log[-2000:])
        return "\n".join(parts)

    # --- polling -----------------------------------------------------------------

    def wait_for(self, condition, timeout, what):
        """Polls condition() until it returns something true; returns that value."""
        deadline = time.monotonic() + scaled(timeout)
        while True:
            if not self.running():
                raise AssertionError(f"QEMU ended while waiting for {what}\n{self.report()}")
            value = condition()
            if value:
                return value
            if time.monotonic() > deadline:
                raise AssertionError(f"timed out after {timeout} s waiting for {what}\n"
                                     f"{self.report()}")
            time.sleep(POLL_INTERVAL)

    # --- screen ------------------------------------------------------------------

    def screen(self):
        return Screen(self.pmemsave(VGA_TEXT, COLS * ROWS * 2))

    def wait_for_screen(self, predicate, timeout=BOOT_TIMEOUT, what="a screen"):
        def check():
            screen = self.screen()
            return screen if predicate(screen) else None
        return self.wait_for(check, timeout, what)

    def wait_for_text(self, text, timeout=BOOT_TIMEOUT, row=None):
        if row is None:
            return self.wait_for_screen(lambda s: s.contains(text), timeout, repr(text))
        return self.wait_for_screen(lambda s: text in s.row(row, strip=False), timeout,
                                    f"{text!r} on row {row}")

    def screendump(self, path):
        self.qmp.command("screendump", filename=path, format="png")

    # --- memory, registers, monitor ----------------------------------------------

    def _dump(self, command, address, size, **extra):
        path = os.path.join(self.dir, "dump.bin")
        self.qmp.command(command, val=address, size=size, filename=path, **extra)
        with open(path, "rb") as f:
            data = f.read()
        os.unlink(path)
        return data

    def pmemsave(self, address, size):
        """Reads guest physical memory."""
        return self._dump("pmemsave", address, size)

    def memsave(self, address, size, cpu=0):
        """Reads guest virtual memory through the processor's current page tables."""
        return self._dump("memsave", address, size, **{"cpu-index": cpu})

    def hmp(self, command_line):
        return self.qmp.command("human-monitor-command", **{"command-line": command_line})

    def registers(self):
        """Parses 'info registers': general registers, EFL, CRn, and GDT/IDT as (base, limit)."""
        text = self.hmp("info registers")
        regs = {}
        for name, value in re.findall(r"\b(E[A-Z]{2}|EFL|CR[0-4])=([0-9a-fA-F]+)", text):
            regs.setdefault(name, int(value, 16))
        for name in ("GDT", "IDT"):
            match = re.search(rf"^{name}=\s*([0-9a-fA-F]+)\s+([0-9a-fA-F]+)", text, re.M)
            if match:
                regs[name] = (int(match.group(1), 16), int(match.group(2), 16))
        regs["text"] = text
        return regs

    def floppy_device(self):
        for block in self.qmp.command("query-block"):
            if block["device"].startswith("floppy"):
                return block
        raise AssertionError("no floppy drive in query-block")

    def eject_floppy(self):
        self.qmp.command("eject", device=self.floppy_device()["device"], force=True)

    def change_floppy(self, image):
        """Puts another disk image into the drive, as QEMU's monitor 'change' does."""
        self.qmp.command("blockdev-change-medium", device=self.floppy_device()["device"], filename=image,
                         format="raw")

    # --- keyboard ----------------------------------------------------------------

    def send_key(self, *qcodes, hold_ms=100):
        """Presses the qcodes together (e.g. 'shift', 'a') and releases them."""
        keys = [{"type": "qcode", "data": q} for q in qcodes]
        self.qmp.command("send-key", keys=keys, **{"hold-time": hold_ms})

    def key_event(self, qcode, down):
        """A single press or release, for holding a modifier across other keys.

        These events go out at once, while send_key queues its releases: do not
        mix the two in one sequence.
        """
        self.qmp.command("input-send-event", events=[_key(qcode, down)])

    def press(self, qcode):
        """Presses and releases one key at once (the input-send-event way)."""
        self.qmp.command("input-send-event", events=[_key(qcode, True), _key(qcode, False)])

    def type_text(self, text, pause=0.05):
        for char in text:
            self.send_key(*qcode_for(char))
            time.sleep(pause)

    # --- debug console (port 0xE9) --------------------------------------------------

    def debug_output(self):
        try:
            with open(self.debug_path, "rb") as f:
                return f.read().decode("latin-1")
        except (OSError, TypeError):
            return ""

    def test_lines(self):
        """Complete 'KVALTEST ' lines written so far, without the prefix."""
        lines = self.debug_output().split("\n")[:-1]
        return [line.rstrip("\r")[len(TEST_PREFIX):] for line in lines
                if line.startswith(TEST_PREFIX)]

    def wait_for_test_line(self, pattern, timeout=BOOT_TIMEOUT):
        """Waits for a KVALTEST line matching the regular expression; returns the match."""
        regex = re.compile(pattern)

        def find():
            for line in self.test_lines():
                match = regex.fullmatch(line)
                if match:
                    return match
            return None
        return self.wait_for(find, timeout, f"KVALTEST line /{pattern}/")

    def wait_for_test_lines(self, count, pattern, timeout=BOOT_TIMEOUT):
        regex = re.compile(pattern)

        def find():
            found = [m for m in map(regex.fullmatch, self.test_lines()) if m]
            return found if len(found) >= count else None
        return self.wait_for(find, timeout, f"{count} KVALTEST lines /{pattern}/")

    def wait_for_welcome(self, timeout=BOOT_TIMEOUT):
        """Waits for the welcome screen (the forty asterisks under the version line)."""
        return self.wait_for_screen(is_welcome, timeout, "the welcome screen")

    def wait_for_prompt(self, timeout=BOOT_TIMEOUT):
        """Waits for the welcome screen with the shell's first prompt under it."""
        return self.wait_for_screen(lambda s: is_welcome(s) and s.row(18) == "KVAL >", timeout,
                                    "the first prompt")

    # --- speaker -----------------------------------------------------------------

    def speaker_samples(self):
        """Stops QEMU and returns (sample rate, mono samples) of the recorded sound."""
        self.stop()
        return read_wav(self.wav_path)


def _key(qcode, down):
    return {"type": "key", "data": {"down": down, "key": {"type": "qcode", "data": qcode}}}


def is_welcome(screen):
    return (screen.row(13).startswith("Kestrel Vale (KVAL) Version 0.0.7 Alpha - 3")
            and screen.row(17).startswith("*" * 40))


def read_wav(path):
    """Reads a 16-bit PCM WAV file (as QEMU writes it) into (rate, mono samples)."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        with wave.open(path, "rb") as w:
            rate, channels, width = w.getframerate(), w.getnchannels(), w.getsampwidth()
    except (wave.Error, EOFError):
        rate, channels, width = 44100, 2, 2
    if width != 2:
        raise ValueError(f"unexpected sample width {width}")
    pcm = data[44:]
    samples = array.array("h")
    samples.frombytes(pcm[:len(pcm) - len(pcm) % 2])
    return rate, samples[::channels]


def analyse_tone(rate, samples, threshold=2000):
    """Finds the sounding part of a recording: returns (frequency Hz, duration s).

    The tone is the span from the first to the last sample whose magnitude is
    above threshold; its frequency is the number of upward zero crossings in
    that span over its length. Returns (0, 0) for silence.
    """
    loud = [i for i, s in enumerate(samples) if abs(s) > threshold]
    if not loud:
        return 0.0, 0.0
    first, last = loud[0], loud[-1]
    span = samples[first:last + 1]
    mean = sum(span) / len(span)
    crossings = 0
    previous = span[0] - mean
    for value in span[1:]:
        value -= mean
        if previous < 0 <= value:
            crossings += 1
        previous = value
    duration = (last - first + 1) / rate
    return crossings / duration, duration
