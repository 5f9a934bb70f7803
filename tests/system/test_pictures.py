"""ldbmp in QEMU: a picture on the screen pixel for pixel, the text screen back
after a key, and every refusal leaving the display in text mode."""

import os
import struct
import tempfile

import pytest

import console_model as cm
import images
from conftest import ROOT
from shell import Session

PICTURES = ROOT / "build" / "pictures" / "pics"
INFO = ("\nThe max dimensions of the bitmap must be less than or equal 320x200 and it must be 8-bit"
        " . After the bitmap is loaded , press any key to return.")
QUESTION = "\nPlease enter the path of the bitmap > "


def bmp(width, height, bits=8, signature=b"BM", cut=0):
    """A small test picture: colour i is (4i, 255 - 4i, 2i); pixel (x, y) has colour (x + y) % 64."""
    table = b"".join(struct.pack("<BBBB", (2 * i) % 256, (255 - 4 * i) % 256, (4 * i) % 256, 0)
                     for i in range(256))
    stride = (abs(width) * bits // 8 + 3) & ~3
    rows = b"".join(bytes(((x + y) % 64) for x in range(abs(width))).ljust(stride, b"\0")
                    for y in reversed(range(abs(height))))
    offset = 14 + 40 + len(table)
    data = (struct.pack("<2sIHHI", signature, offset + len(rows), 0, 0, offset)
            + struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, len(rows), 0, 0, 256, 0)
            + table + rows)
    return data[:len(data) - cut] if cut else data


REFUSED = {
    "BAD/DEEP.BMP": bmp(16, 16, bits=24),
    "BAD/TOPDOWN.BMP": bmp(16, -16),
    "BAD/WIDE.BMP": bmp(321, 2),
    "BAD/HIGH.BMP": bmp(2, 201),
    "BAD/SHORT.BMP": bmp(64, 64, cut=2000),
    "BAD/SIGN.BMP": bmp(16, 16, signature=b"MB"),
}


@pytest.fixture(scope="module")
def session(module_boot, release_image, tmp_path_factory):
    image = images.variant(release_image, tmp_path_factory.mktemp("bmp") / "kval.img", files=REFUSED,
                           folders=["BAD", "BAD/DIR.BMP"])
    return Session(module_boot(image))


def screendump(machine):
    """(width, height, RGB bytes) of what the adapter shows. QEMU shows the
    320 x 200 mode at 640 x 400: every pixel twice across and twice down."""
    path = os.path.join(tempfile.mkdtemp(), "screen.ppm")
    machine.qmp.command("screendump", filename=path)
    with open(path, "rb") as f:
        data = f.read()
    magic, width, height, _, pixels = data.split(maxsplit=4)
    assert magic == b"P6"
    return int(width), int(height), pixels


def picture_pixels(path):
    """(width, height, {(x, y): (r, g, b)}) of an 8-bit bottom-up BMP file."""
    with open(path, "rb") as f:
        data = f.read()
    offset, = struct.unpack_from("<I", data, 10)
    width, height = struct.unpack_from("<ii", data, 18)
    table = [data[54 + 4 * i:58 + 4 * i] for i in range(256)]
    stride = (width + 3) & ~3
    pixels = {}
    for y in range(height):
        row = offset + (height - 1 - y) * stride
        for x in range(width):
            b, g, r, _ = table[data[row + x]]
            pixels[x, y] = (r, g, b)
    first_black = next(i for i, entry in enumerate(table) if entry[:3] == b"\0\0\0")
    return width, height, pixels, tuple(reversed(table[first_black][:3]))


def show(session, path):
    session.command("ldbmp").prints(cm.LIGHT_CYAN, INFO).prints(cm.WHITE, QUESTION).type(path).enter()
    return session.machine.wait_for(lambda: (lambda d: d if d[:2] == (640, 400) else None)(screendump(session.machine)),
                                    15, "graphics mode")


def wrong_pixels(dump, expected, surround):
    """The pixels of a 640 x 400 screendump (each pixel doubled) that differ from the picture."""
    wrong = []
    for y in range(200):
        for x in range(320):
            at = 3 * (2 * y * 640 + 2 * x)
            want = expected.get((x, y), surround)
            # The DAC keeps 6 bits of each component.
            if tuple(v >> 2 for v in dump[at:at + 3]) != tuple(v >> 2 for v in want):
                wrong.append((x, y, tuple(dump[at:at + 3]), want))
    return wrong


@pytest.mark.parametrize("name", ["vale.bmp", "kestrel.bmp"])
def test_a_picture_is_drawn_at_the_top_left_and_the_text_screen_comes_back(session, name):
    width, height, expected, surround = picture_pixels(PICTURES / name)
    show(session, f"a:\\pics\\{name}")
    # The mode changes before the picture is drawn: compare once it stands.
    last = []

    def drawn():
        last[:] = wrong_pixels(screendump(session.machine)[2], expected, surround)
        return not last

    try:
        session.machine.wait_for(drawn, 15, "the picture")
    except AssertionError:
        pass
    assert not last, f"{len(last)} pixels differ, first {last[:5]}"
    session.key("spc").prompt().expect()


def test_refused_files_say_so_in_text_mode(session):
    for name in sorted(REFUSED) + ["BAD/DIR.BMP"]:
        session.command("ldbmp").prints(cm.LIGHT_CYAN, INFO).prints(cm.WHITE, QUESTION)
        session.type(name.lower().replace("/", "\\")).enter()
        session.prints(cm.LIGHT_RED, "\nInvalid file.").prompt().expect()
        assert screendump(session.machine)[:2] == (720, 400), name
    session.command("ldbmp").prints(cm.LIGHT_CYAN, INFO).prints(cm.WHITE, QUESTION).enter()
    session.prints(cm.LIGHT_CYAN, "\nThe action canceled by the user.").prompt().expect()
