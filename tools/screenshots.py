#!/usr/bin/python3
"""Takes the handbook's screenshots from the real system.

    tools/screenshots.py [IMAGE [OUTDIR]]     (make screenshots)

Boots IMAGE (build/kval.img) in QEMU three times with the system tests'
harness (tests/system/kval.py): once to drive the shell through start-up and
a few commands, once without splash.bmp so that the start-up screen stays,
and once with 15 MiB of RAM, which ends on the fatal error report. Each
screen is a QEMU screendump (PPM) written to OUTDIR (docs/img) as PNG by the
standard library alone.

A screen is taken only once the text it must show is complete (the last
lines of a command's output and the prompt under them, a picture pixel for
pixel), with the guest paused and the text cursor hidden for the moment of
the dump (QEMU draws it blinking): the same system gives the same bytes on
every run. Nothing in these screens varies from run to run; they change when
the system's texts, the files on the floppy or their sizes change.
"""

import os
import re
import struct
import sys
import tempfile
import time
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "system"))

import images  # noqa: E402  (the harness lives in tests/system)
from kval import Machine  # noqa: E402

PICTURES = ROOT / "build" / "pictures"
TIMEOUT = 30
CRTC_INDEX, CRTC_DATA, CURSOR_START, CURSOR_OFF = 0x3D4, 0x3D5, 0x0A, 0x20


# --- PNG --------------------------------------------------------------------------

def _chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png(width, height, rgb):
    """A PNG of 8-bit RGB pixels: indexed when 256 colours or fewer suffice.

    The palette is sorted, every row uses filter 0 and the compression level
    is fixed, and there is no time or text chunk: equal pixels, equal bytes
    (with the same zlib; another zlib version may pack them differently).
    """
    stride = 3 * width
    colours = sorted({rgb[i:i + 3] for i in range(0, len(rgb), 3)})
    if len(colours) <= 256:
        index = {c: i for i, c in enumerate(colours)}
        rows = (bytes(index[rgb[i:i + 3]] for i in range(y * stride, (y + 1) * stride, 3))
                for y in range(height))
        header = struct.pack(">IIBBBBB", width, height, 8, 3, 0, 0, 0)
        extra = _chunk(b"PLTE", b"".join(colours))
    else:
        rows = (rgb[y * stride:(y + 1) * stride] for y in range(height))
        header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
        extra = b""
    raw = b"".join(b"\0" + row for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", header) + extra
            + _chunk(b"IDAT", zlib.compress(raw, 9)) + _chunk(b"IEND", b""))


# --- screens -----------------------------------------------------------------------

def dump(machine):
    """(width, height, RGB bytes) of what the adapter shows, from a PPM screendump."""
    path = os.path.join(machine.dir, "screen.ppm")
    machine.qmp.command("screendump", filename=path)
    with open(path, "rb") as f:
        data = f.read()
    os.unlink(path)
    header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
    width, height = int(header.group(1)), int(header.group(2))
    return width, height, data[header.end():header.end() + 3 * width * height]


def port(machine, address, value=None):
    if value is None:
        return int(machine.hmp(f"i /b {address:#x}").split("=")[1], 16)
    machine.hmp(f"o /b {address:#x} {value:#x}")
    return value


def shot(machine, outdir, name):
    """Writes the screen as OUTDIR/name.png: guest paused, cursor off meanwhile."""
    machine.pause()
    index = port(machine, CRTC_INDEX)
    port(machine, CRTC_INDEX, CURSOR_START)
    start = port(machine, CRTC_DATA)
    port(machine, CRTC_DATA, start | CURSOR_OFF)
    width, height, rgb = dump(machine)
    port(machine, CRTC_DATA, start)
    port(machine, CRTC_INDEX, index)
    machine.resume()
    with open(Path(outdir) / f"{name}.png", "wb") as f:
        f.write(png(width, height, rgb))
    print(f"{name}.png: {width} x {height}")


def lines(screen):
    """The screen's rows down to the last that is not blank."""
    rows = screen.rows()
    while rows and not rows[-1]:
        rows.pop()
    return rows


def wait_end(machine, *last):
    """Waits until the screen's last non-blank rows are `last`."""
    last = list(last)
    return machine.wait_for_screen(lambda s: lines(s)[-len(last):] == last, TIMEOUT,
                                   f"the screen to end with {last}")


def wait_prompts(machine, count):
    """Waits until `count` rows begin with the prompt and the last of them ends the screen."""
    def done(screen):
        rows = lines(screen)
        return rows[-1] == "KVAL >" and sum(r.startswith("KVAL >") for r in rows) == count
    return machine.wait_for_screen(done, TIMEOUT, f"{count} prompts")


def type_line(machine, text, enter=True):
    """Types text key by key, each one once its echo is on the screen, then Enter."""
    for i in range(len(text)):
        machine.type_text(text[i])
        machine.wait_for_screen(lambda s: lines(s)[-1].endswith(text[:i + 1]), TIMEOUT,
                                f"the echo of {text[:i + 1]!r}")
    if enter:
        machine.send_key("ret")


def command(machine, line, *answers):
    """A command at the prompt, then its answers, each after its question."""
    wait_end(machine, "KVAL >")
    type_line(machine, line)
    for question, answer in answers:
        machine.wait_for_screen(lambda s: lines(s)[-1] == question.rstrip(), TIMEOUT, repr(question))
        type_line(machine, answer)


def answer_pauses(machine):
    """Goes on at every pause and question until the command's prompt follows."""
    keys = {"---Press any key to continue": "spc", 'Press "Enter" for yes or "ESC" for no.': "ret"}
    while True:
        screen = machine.wait_for_screen(lambda s: lines(s)[-1] in keys or lines(s)[-1] == "KVAL >",
                                         TIMEOUT, "a pause, a question or the prompt")
        last = lines(screen)[-1]
        if last == "KVAL >":
            return screen
        machine.send_key(keys[last])
        machine.wait_for_screen(lambda s: lines(s)[-1] != last, TIMEOUT, f"the end of {last!r}")


def cls(machine):
    command(machine, "cls")
    wait_end(machine, "", "KVAL >")


def picture_check(path, x0, y0):
    """A test of a 640 x 400 dump: does it show the BMP at (x0, y0) on its black?"""
    data = Path(path).read_bytes()
    offset, = struct.unpack_from("<I", data, 10)
    width, height = struct.unpack_from("<ii", data, 18)
    table = [bytes(v >> 2 for v in data[54 + 4 * i:57 + 4 * i][::-1]) for i in range(256)]
    stride = (width + 3) & ~3
    want = bytearray(320 * 200 * 3)
    for y in range(height):
        row = offset + (height - 1 - y) * stride
        for x in range(width):
            at = 3 * ((y0 + y) * 320 + x0 + x)
            want[at:at + 3] = table[data[row + x]]
    want = bytes(want)

    def shows(screen):
        w, h, rgb = screen
        if (w, h) != (640, 400):
            return False
        got = bytearray()
        for y in range(0, 400, 2):  # QEMU shows every pixel twice across and down
            row = rgb[y * 1920:(y + 1) * 1920]
            for x in range(0, 1920, 6):
                got += bytes((row[x] >> 2, row[x + 1] >> 2, row[x + 2] >> 2))
        return got == want
    return shows


def wait_picture(machine, path, x0, y0):
    shows = picture_check(path, x0, y0)
    machine.wait_for(lambda: shows(dump(machine)), TIMEOUT, f"{path} on the screen")


# --- the sessions ----------------------------------------------------------------------

def shell_session(image, outdir):
    with Machine(image) as m:
        wait_picture(m, PICTURES / "splash.bmp", 32, 36)
        shot(m, outdir, "splash")
        m.wait_for_prompt()
        shot(m, outdir, "welcome")

        cls(m)
        command(m, "help")
        wait_end(m, "time when you lose the access to the CLI.", "KVAL >")
        shot(m, outdir, "help")

        cls(m)
        command(m, "dir", ("Please enter the path to dir >", "a:\\"))
        wait_prompts(m, 2)
        command(m, "dir", ("Please enter the path to dir >", "a:\\pics"))
        wait_prompts(m, 3)
        shot(m, outdir, "dir")

        cls(m)
        command(m, "rdsec", ("Please enter the sector number >", "0"))
        wait_end(m, "---Press any key to continue")
        m.send_key("spc")
        wait_end(m, "0x00 " * 14 + "0x55 0xAA", "KVAL >")  # the boot sector's last bytes
        shot(m, outdir, "rdsec")

        cls(m)
        command(m, "rdfile", ("Please enter the file path >", "a:\\readme.txt"))
        answer_pauses(m)
        shot(m, outdir, "rdfile")

        cls(m)
        app = ("Please enter the application path >", "a:\\apps\\counter.kvx")
        command(m, "ldapp", app)
        command(m, "ldapp", app)
        command(m, "procs")
        wait_end(m, "3       Application       COUNTER.KVX", "KVAL >")
        command(m, "kill", ("Please enter the process's PID >", "3"))
        wait_end(m, "The application (COUNTER.KVX) with PID (3) had been killed.", "KVAL >")
        command(m, "procs")
        wait_end(m, "PID      Type              Name", "0       System            KVALSYS",
                 "1       System            KVALCLI", "2       Application       COUNTER.KVX", "KVAL >")
        shot(m, outdir, "procs")
        command(m, "kill", ("Please enter the process's PID >", "2"))

        cls(m)
        for name, message in (("divzero", "Division By Zero"), ("pgfault", "Page Fault")):
            command(m, "ldapp", ("Please enter the application path >", f"a:\\apps\\{name}.kvx"))
            wait_end(m, f"ERROR : {message}", "", "", "KVAL >")
        shot(m, outdir, "fault")

        cls(m)
        command(m, "ldbmp", ("Please enter the path of the bitmap >", "a:\\pics\\vale.bmp"))
        wait_picture(m, PICTURES / "pics" / "vale.bmp", 0, 0)
        shot(m, outdir, "ldbmp")
        m.send_key("spc")
        wait_end(m, "KVAL >")


def start_up_session(image, outdir):
    """Without splash.bmp the start-up screen stays five seconds at its last step."""
    with tempfile.TemporaryDirectory() as tmp:
        variant = images.variant(image, Path(tmp) / "nosplash.img", remove=["splash.bmp"])
        with Machine(variant) as m:
            m.wait_for_text("Completing initialization...", TIMEOUT, row=14)
            shot(m, outdir, "startup")


def fatal_session(image, outdir):
    with Machine(image, memory=15) as m:
        m.wait_for_text("[KVAL] : Fatal Error : Not Enough Memory", TIMEOUT, row=16)
        shot(m, outdir, "fatal")


def main():
    image = sys.argv[1] if len(sys.argv) > 1 else str(ROOT / "build" / "kval.img")
    outdir = sys.argv[2] if len(sys.argv) > 2 else str(ROOT / "docs" / "img")
    os.makedirs(outdir, exist_ok=True)
    started = time.monotonic()
    fatal_session(image, outdir)
    start_up_session(image, outdir)
    shell_session(image, outdir)
    print(f"screenshots in {outdir} ({time.monotonic() - started:.0f} s)")


if __name__ == "__main__":
    main()
