"""Drives KVAL machines in Bochs, with the same interface as kval.Machine.

Bochs models the PC's devices more strictly than QEMU and logs what it
dislikes. A BochsMachine boots a private copy of a floppy image with the
settings of the repository's bochsrc.txt and talks to Bochs three ways:

- keys go in through Bochs's rfb display, a VNC server: a minimal RFB 3.3
  client sends X key symbols and keeps the picture it is sent;
- memory comes out through Bochs's built-in debugger on stdin/stdout: the
  simulation runs in slices that end at time breakpoints, and between two
  slices `writemem` copies a range to a file;
- power-off and reset are read from Bochs's log.

bochsrc.txt runs the guest with `clock: sync=slowdown`: its time advances
with the instructions it runs, never faster than the host's clock, so a busy host
slows it down without changing what it does, and a halted KVAL costs the host
no processor time.
"""

import contextlib
import os
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time
from pathlib import Path

import kval
from kval import COLS, ROWS, VGA_TEXT, Screen, scaled

BOCHS = os.environ.get("KVAL_BOCHS", "bochs-bin")
BOCHSRC = Path(__file__).resolve().parents[2] / "bochsrc.txt"
PROMPT = re.compile(rb"<bochs:\d+> $")
# Instructions per slice of simulation: 0.1 s of guest time at bochsrc.txt's
# 50 million per second, the longest a look at the memory waits.
SLICE = 5_000_000
POWER_OFF = "ACPI control: soft power off"
RESET = "command 0xfe: reset cpu"
RFB_TOOLBAR = 32  # pixel rows of Bochs's rfb tool bar above the guest's screen
# Log lines of these kinds are Bochs's complaints about the guest.
COMPLAINT = re.compile(r"^\d+([ep])\[(\w*) *\] (.*)$", re.M)

# X key symbols (RFC 6143, 7.5.4) of QEMU's key names.
KEYSYMS = {"ret": 0xFF0D, "esc": 0xFF1B, "backspace": 0xFF08, "tab": 0xFF09, "spc": 0x20,
           "shift": 0xFFE1, "ctrl": 0xFFE3, "alt": 0xFFE9, "up": 0xFF52, "down": 0xFF54,
           "left": 0xFF51, "right": 0xFF53, "home": 0xFF50, "end": 0xFF57, "delete": 0xFFFF,
           "minus": ord("-"), "equal": ord("="), "bracket_left": ord("["),
           "bracket_right": ord("]"), "semicolon": ord(";"), "apostrophe": ord("'"),
           "grave_accent": ord("`"), "backslash": ord("\\"), "comma": ord(","),
           "dot": ord("."), "slash": ord("/")}
KEYSYMS.update({f"f{n}": 0xFFBE + n - 1 for n in range(1, 13)})
SHIFTED = dict(zip("!@#$%^&*()_+{}:\"~|<>?", "1234567890-=[];'`\\,./"))


def keysym(qcode, shifted=False):
    """The key symbol of a QEMU key name; with shift held, that of the shifted character."""
    if len(qcode) == 1:
        char = qcode
        if shifted:
            char = char.upper() if char.isalpha() else {v: k for k, v in SHIFTED.items()}.get(char, char)
        return ord(char)
    return KEYSYMS[qcode]


def settings(path=BOCHSRC):
    """The bochsrc lines as {key: value}, in their order, comments left out."""
    found = {}
    for line in Path(path).read_text().splitlines():
        line = line.split("#", 1)[0].strip()
        if line:
            key, value = (part.strip() for part in line.split(":", 1))
            found[key] = value
    return found


def config(disk, memory, log, extra=None, rfb_timeout=60):
    """The test machine: bochsrc.txt with its own disk, memory, log and display.

    extra: more {key: value} settings, such as {"debug": "action=ignore, floppy=report"}.
    """
    lines = settings()
    lines.update(extra or {})
    lines.update({"display_library": f'rfb, options="timeout={rfb_timeout}"', "megs": str(memory),
                  "floppya": f"1_44={disk}, status=inserted", "log": log, "panic": "action=fatal"})
    return "".join(f"{key}: {value}\n" for key, value in lines.items())


class RFB:
    """An RFB 3.3 client: the handshake, key events, and the framebuffer it is sent."""

    def __init__(self, port, timeout):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        version = self._recv(12)
        if not version.startswith(b"RFB 003."):
            raise ConnectionError(f"not an RFB server: {version!r}")
        self.sock.sendall(b"RFB 003.003\n")
        security, = struct.unpack(">I", self._recv(4))
        if security != 1:
            raise ConnectionError(f"RFB security type {security}, not None")
        self.sock.sendall(b"\x01")  # shared
        init = self._recv(24)
        self.width, self.height = struct.unpack(">HH", init[:4])
        # Bochs serves 8-bit true colour only. It announces red in bits 0-2
        # and blue in bits 6-7, but its pixels hold red in bits 5-7, green in
        # 2-4 and blue in 0-1 (blue text background 0x02, light green 0x5D).
        self.bpp, _, _, true_colour = init[4:8]
        if self.bpp != 8 or not true_colour:
            raise ConnectionError(f"unexpected RFB pixel format {init[4:20].hex()}")
        self._recv(struct.unpack(">I", init[20:24])[0])  # the desktop's name
        self.pixels = bytearray(self.width * self.height)
        self.updates = 0
        self.error = None
        self.lock = threading.Lock()
        self.sock.settimeout(None)
        self._request(incremental=False)
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _recv(self, count):
        data = b""
        while len(data) < count:
            chunk = self.sock.recv(count - len(data))
            if not chunk:
                raise EOFError("the RFB server closed the connection")
            data += chunk
        return data

    def _request(self, incremental):
        self.sock.sendall(struct.pack(">BBHHHH", 3, int(incremental), 0, 0, self.width, self.height))

    def _serve(self):
        """Reads the server's messages for ever; raw rectangles go into pixels."""
        try:
            while True:
                kind = self._recv(1)[0]
                if kind == 0:  # FramebufferUpdate
                    count, = struct.unpack(">xH", self._recv(3))
                    for _ in range(count):
                        x, y, w, h, encoding = struct.unpack(">HHHHi", self._recv(12))
                        if encoding != 0:
                            raise ConnectionError(f"RFB encoding {encoding} not asked for")
                        data = self._recv(w * h)
                        with self.lock:
                            for row in range(h):
                                at = (y + row) * self.width + x
                                self.pixels[at:at + w] = data[row * w:(row + 1) * w]
                    self.updates += 1
                    self._request(incremental=True)
                elif kind == 1:  # SetColourMapEntries
                    _, count = struct.unpack(">xHH", self._recv(5))
                    self._recv(6 * count)
                elif kind == 2:  # Bell
                    pass
                elif kind == 3:  # ServerCutText
                    self._recv(struct.unpack(">xxxI", self._recv(7))[0])
                else:
                    raise ConnectionError(f"unknown RFB message {kind}")
        except (OSError, EOFError, ConnectionError) as exc:
            self.error = exc

    def key(self, symbol, down):
        self.sock.sendall(struct.pack(">BBxxI", 4, int(down), symbol))

    def rgb(self, x, y):
        """The colour at (x, y) as (r, g, b) levels: red and green 0-7, blue 0-3."""
        with self.lock:
            value = self.pixels[y * self.width + x]
        return value >> 5, value >> 2 & 7, value & 3

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()


class Debugger:
    """Bochs's command-line debugger on the process's stdin and stdout, run in slices.

    The simulation never runs unbounded: each continue follows a time
    breakpoint SLICE instructions ahead, and a thread continues again at
    every stop unless someone holds the debugger. Breaking in with SIGINT,
    as Ctrl-C does, is not used: Bochs logs from its signal handler, which
    deadlocks when the signal lands while the simulation is writing its log.
    """

    def __init__(self, process):
        self.process = process
        self.output = bytearray()
        self.resumed_at = 0
        self.changed = threading.Condition()
        self.io = threading.RLock()  # one command sequence at a time
        self.held = False  # a pause: the runner does not continue
        self.quitting = False
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.runner = None

    def _read(self):
        while True:
            data = self.process.stdout.read1(65536)
            with self.changed:
                if data:
                    self.output += data
                self.changed.notify_all()
            if not data:
                return

    def wait_prompt(self, mark, timeout):
        """Waits for the debugger's prompt after output position mark; returns the text."""
        deadline = time.monotonic() + timeout
        with self.changed:
            while not PROMPT.search(self.output, mark):
                remaining = deadline - time.monotonic()
                if remaining <= 0 or self.process.poll() is not None:
                    tail = bytes(self.output[mark:])[-500:]
                    raise TimeoutError(f"no Bochs debugger prompt: {tail!r}")
                self.changed.wait(min(remaining, 0.5))
            return bytes(self.output[mark:]).decode(errors="replace")

    def send(self, line):
        self.process.stdin.write(line.encode() + b"\n")
        self.process.stdin.flush()

    def command(self, line, timeout=30):
        mark = len(self.output)
        self.send(line)
        return self.wait_prompt(mark, scaled(timeout))

    def start(self):
        """Runs the simulation from the first prompt on, slice after slice."""
        self.wait_prompt(0, scaled(30))
        self.runner = threading.Thread(target=self._run, daemon=True)
        self.runner.start()

    def _continue(self):
        self.command(f"sb {SLICE}")
        with self.changed:
            self.resumed_at = len(self.output)
        self.send("c")

    def _run(self):
        while self.process.poll() is None:
            with self.changed:
                if not PROMPT.search(self.output, self.resumed_at) or self.held:
                    self.changed.wait(0.2)
                    continue
            with self.io:
                if self.quitting:
                    return
                with self.changed:
                    stopped = PROMPT.search(self.output, self.resumed_at) and not self.held
                if stopped:
                    try:
                        self._continue()
                    except (OSError, TimeoutError):
                        return

    @contextlib.contextmanager
    def hold(self, timeout=30):
        """The simulation stopped at its next slice's end, for the time of the block."""
        with self.io:
            self.wait_prompt(self.resumed_at, scaled(timeout))
            yield self

    def pause(self, paused):
        with self.changed:
            self.held = paused
            self.changed.notify_all()

    def quit(self, timeout=10):
        with self.io:
            self.quitting = True
            self.wait_prompt(self.resumed_at, scaled(timeout))
            self.send("q")


class BochsMachine(kval.Machine):
    """One Bochs process booting a private copy of a floppy image.

    memory: RAM in MiB. settings: bochsrc lines to add or change. The polling, screen and typing helpers are
    kval.Machine's; what differs is how Bochs is started, read and typed to.
    """

    def __init__(self, image, memory=32, settings=None):
        super().__init__(image, memory=memory)
        self.settings = settings
        self.debugger = None
        self.rfb = None

    # --- life cycle -------------------------------------------------------------

    def start(self):
        self.dir = tempfile.mkdtemp(prefix="kval-bochs-")
        self.disk = os.path.join(self.dir, "floppy.img")
        shutil.copyfile(self.image, self.disk)
        self.log_path = os.path.join(self.dir, "bochs.log")
        self.config_path = os.path.join(self.dir, "bochsrc")
        with open(self.config_path, "w") as f:
            f.write(config(self.disk, self.memory, self.log_path, self.settings))
        self.started_at = time.monotonic()
        self.process = subprocess.Popen([BOCHS, "-q", "-f", self.config_path], cwd=self.dir,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT)
        self.debugger = Debugger(self.process)
        try:
            port = int(self._wait_log(r"listening for connections on port (\d+)", 30).group(1))
            self.rfb = RFB(port, scaled(30))
            # The display is set up before the debugger takes its first command.
            self.debugger.start()
        except Exception as exc:
            report = self.report()
            self.close()
            raise RuntimeError(f"Bochs did not start: {exc}\n{report}") from exc
        return self

    def stop(self):
        if self.process is None:
            return
        if self.process.poll() is None:
            try:
                self.debugger.quit()
                self.process.wait(timeout=scaled(10))
            except Exception:
                pass
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        if self.rfb is not None:
            self.rfb.close()
            self.rfb = None
        for stream in (self.process.stdin, self.process.stdout):
            try:
                stream.close()
            except OSError:
                pass

    def close(self):
        self.stop()
        if self.dir and not os.environ.get("KVAL_KEEP"):
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def pause(self):
        """Keeps the simulation stopped from the end of its current slice on."""
        self.debugger.pause(True)

    def resume(self):
        self.debugger.pause(False)

    def stopped(self):
        return self.debugger.hold()

    def wait_exit(self, timeout):
        try:
            return self.process.wait(timeout=scaled(timeout))
        except subprocess.TimeoutExpired as exc:
            raise AssertionError(f"Bochs still running after {timeout} s\n{self.report()}") from exc

    # --- the log -------------------------------------------------------------------

    def bochs_log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode(errors="replace")
        except (OSError, TypeError):
            return ""

    qemu_log = bochs_log

    def _wait_log(self, pattern, timeout):
        regex = re.compile(pattern, re.M)
        deadline = time.monotonic() + scaled(timeout)
        while True:
            match = regex.search(self.bochs_log())
            if match:
                return match
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise AssertionError(f"no /{pattern}/ in the Bochs log\n{self.report()}")
            time.sleep(kval.POLL_INTERVAL)

    def wait_for_log(self, text, timeout=kval.BOOT_TIMEOUT):
        """Waits until Bochs logs a line holding text; returns that line."""
        return self._wait_log(rf"^.*{re.escape(text)}.*$", timeout).group(0)

    def complaints(self):
        """The error and panic lines of the log, as (kind, device, message)."""
        return COMPLAINT.findall(self.bochs_log())

    def report(self):
        parts = [f"machine: Bochs, {os.path.basename(self.image)}, megs {self.memory}"]
        if self.running() and self.debugger is not None:
            try:
                parts.append("screen:\n" + str(self.screen()))
            except Exception as exc:
                parts.append(f"screen unavailable: {exc}")
        log = self.bochs_log()
        if log:
            parts.append("Bochs log (tail):\n" + log[-3000:])
        if self.rfb is not None and self.rfb.error is not None:
            parts.append(f"RFB client stopped: {self.rfb.error!r}")
        if self.debugger is not None:
            parts.append("debugger (tail):\n" + bytes(self.debugger.output[-1000:]).decode(errors="replace"))
        return "\n".join(parts)

    # --- memory ----------------------------------------------------------------------

    def memsave(self, address, size, cpu=0):
        """Reads guest linear memory (through the current page tables) with writemem.

        The kernel maps the first 4 MiB one-to-one in every address space, so
        the VGA memory reads the same as its physical addresses.
        """
        path = os.path.join(self.dir, "dump.bin")
        with self.stopped() as debugger:
            answer = debugger.command(f'writemem "{path}" {address:#x} {size}')
        try:
            with open(path, "rb") as f:
                data = f.read()
            os.unlink(path)
        except OSError as exc:
            raise AssertionError(f"writemem failed: {answer}") from exc
        if len(data) != size:
            raise AssertionError(f"writemem gave {len(data)} of {size} bytes: {answer}")
        return data

    pmemsave = memsave

    def screen(self):
        return Screen(self.memsave(VGA_TEXT, COLS * ROWS * 2))

    def screendump(self, path):
        raise NotImplementedError("Bochs machines show their picture through display_rgb")

    def display_rgb(self, x, y):
        """A pixel of the guest's screen as Bochs's display shows it, in RFB.rgb's levels.

        The display draws 320 x 200 graphics at 640 x 400 (each pixel twice
        across and down) and puts its tool bar above the guest's screen.
        """
        return self.rfb.rgb(x, RFB_TOOLBAR + y)

    def rfb_updates(self):
        return self.rfb.updates

    def vga_state(self):
        """Bochs's view of the VGA registers ('info device vga') as {name: value}."""
        with self.stopped() as debugger:
            text = debugger.command("info device vga")
        return dict(re.findall(r"^s\.([\w.]+) = (\d+)", text, re.M))

    # --- keyboard ---------------------------------------------------------------------

    def send_key(self, *qcodes, hold_ms=100):
        shifted = "shift" in qcodes
        symbols = [keysym(q, shifted) for q in qcodes]
        for symbol in symbols:
            self.rfb.key(symbol, True)
        time.sleep(hold_ms / 1000)
        for symbol in reversed(symbols):
            self.rfb.key(symbol, False)

    def key_event(self, qcode, down):
        self.rfb.key(keysym(qcode), down)

    def press(self, qcode):
        self.send_key(qcode, hold_ms=0)

    def debug_output(self):
        return ""
