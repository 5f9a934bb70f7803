#!/usr/bin/python3
"""Draws the pictures of the KVAL floppy as 8-bit BMP files.

    tools/mkpictures.py OUTDIR

writes OUTDIR/splash.bmp (the start-up splash: a kestrel hovering over a
vale at dawn, with the letters KVAL; 288 x 164, so that it fits at (32, 36)
of the 320 x 200 screen) and two samples in OUTDIR/pics: vale.bmp (the vale
by night, a full 320 x 200 screen) and kestrel.bmp (the bird alone, 61 x 45,
whose rows need padding).

Everything is drawn here with integer arithmetic only, so the files are the
same byte for byte on every machine. Their modification times (which the
floppy image keeps) are fixed too: SOURCE_DATE_EPOCH when it is set, else
the date below. Standard library only.
"""

import os
import struct
import sys
from fractions import Fraction

FIXED_MTIME = 1735689600  # 2025-01-01 00:00:00 UTC

SPLASH_MAX = (288, 164)  # the splash is drawn at (32, 36) of 320 x 200

# Ordered dithering between two neighbouring palette entries (a 4 x 4 Bayer
# matrix, thresholds 0-15).
BAYER = ((0, 8, 2, 10), (12, 4, 14, 6), (3, 11, 1, 9), (15, 7, 13, 5))


# ---- palette -------------------------------------------------------------------

class Palette:
    """256 entries (r, g, b), handed out in named runs; unused entries stay black."""

    def __init__(self):
        self.entries = [(0, 0, 0)] * 256
        self.next = 1  # entry 0 is black: the renderer paints around the picture with it

    def add(self, *colours):
        first = self.next
        for c in colours:
            self.entries[self.next] = c
            self.next += 1
        assert self.next <= 256, "palette full"
        return first

    def ramp(self, start, end, count):
        """`count` entries from colour `start` to colour `end`; returns the first index."""
        return self.add(*[tuple(s + (e - s) * i // (count - 1) for s, e in zip(start, end))
                          for i in range(count)])


# ---- canvas --------------------------------------------------------------------

class Canvas:
    def __init__(self, width, height, fill=0):
        self.width, self.height = width, height
        self.pixels = [[fill] * width for _ in range(height)]

    def put(self, x, y, index):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.pixels[y][x] = index

    def shade(self, x, y, first, count, level):
        """Entry first + level / 16 of a ramp of `count`, dithered by the fraction."""
        level = max(0, min(level, (count - 1) * 16))
        step, fraction = divmod(level, 16)
        if fraction > BAYER[y % 4][x % 4] and step + 1 < count:
            step += 1
        self.put(x, y, first + step)

    def polygon(self, points, index):
        """Fills the polygon (even-odd rule) at pixel centres; exact rational edges."""
        edges = list(zip(points, points[1:] + points[:1]))
        top = max(0, min(p[1] for p in points))
        bottom = min(self.height - 1, max(p[1] for p in points))
        for y in range(int(top), int(bottom) + 1):
            yc = Fraction(2 * y + 1, 2)
            xs = sorted(Fraction(x0) + (x1 - x0) * (yc - y0) / (y1 - y0)
                        for (x0, y0), (x1, y1) in edges
                        if (y0 <= yc < y1) or (y1 <= yc < y0))
            for a, b in zip(xs[0::2], xs[1::2]):
                for x in range(max(0, _ceil(a - Fraction(1, 2))), min(self.width, _ceil(b - Fraction(1, 2)))):
                    self.pixels[y][x] = index

    def ellipse(self, cx, cy, rx, ry, index):
        for y in range(cy - ry, cy + ry + 1):
            for x in range(cx - rx, cx + rx + 1):
                if (x - cx) ** 2 * ry * ry + (y - cy) ** 2 * rx * rx <= rx * rx * ry * ry:
                    self.put(x, y, index)


def _ceil(value):
    return -((-value.numerator) // value.denominator)


def smooth_curve(points, x):
    """A height through the (x, y) control points, eased between each pair (smoothstep)."""
    for (x0, y0), (x1, y1) in zip(points, points[1:]):
        if x0 <= x <= x1:
            t = Fraction(x - x0, x1 - x0)
            return y0 + (y1 - y0) * (3 * t * t - 2 * t * t * t)
    return points[-1][1] if x > points[-1][0] else points[0][1]


# ---- the pieces of the pictures ----------------------------------------------------

# "KVAL" in 5 x 7 cells.
LETTERS = {
    "K": ("#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"),
    "V": ("#...#", "#...#", "#...#", "#...#", ".#.#.", ".#.#.", "..#.."),
    "A": (".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"),
    "L": ("#....", "#....", "#....", "#....", "#....", "#....", "#####"),
}


def lettering(canvas, text, left, top, scale, index, shadow):
    for offset, colour in ((max(1, scale // 2), shadow), (0, index)):
        for n, letter in enumerate(text):
            x0 = left + n * 7 * scale + offset
            for row, bits in enumerate(LETTERS[letter]):
                for col, bit in enumerate(bits):
                    if bit == "#":
                        for dy in range(scale):
                            for dx in range(scale):
                                canvas.put(x0 + col * scale + dx, top + offset + row * scale + dy, colour)


def lettering_width(text, scale):
    return (len(text) * 7 - 2) * scale


# A hovering kestrel seen from below, in units where the wing tips are at
# x = -92 and 92: grey head, chestnut wings with dark primaries, a cream
# body and a long fanned tail with a dark band.
KESTREL_WING = [(-6, -12), (-24, -18), (-44, -22), (-92, -4), (-70, 3), (-46, 8), (-24, 12), (-7, 12)]
KESTREL_PRIMARIES = [(-50, -20), (-92, -4), (-70, 3), (-56, 5)]
KESTREL_TAIL = [(-6, 16), (6, 16), (16, 52), (0, 56), (-16, 52)]
KESTREL_TAIL_BAND = [(-14, 45), (14, 45), (16, 52), (0, 56), (-16, 52)]


def kestrel(canvas, cx, cy, span, colours):
    """Draws the bird centred at (cx, cy) with wings `span` pixels across."""
    def scaled(points, mirror=False):
        return [(cx + Fraction((-x if mirror else x) * span, 184), cy + Fraction(y * span, 184))
                for x, y in points]

    def length(units):
        return max(1, units * span // 184)

    for mirror in (False, True):
        canvas.polygon(scaled(KESTREL_WING, mirror), colours["wing"])
        canvas.polygon(scaled(KESTREL_PRIMARIES, mirror), colours["dark"])
    canvas.polygon(scaled(KESTREL_TAIL), colours["wing"])
    canvas.polygon(scaled(KESTREL_TAIL_BAND), colours["dark"])
    canvas.ellipse(cx, cy + length(2), length(9), length(20), colours["body"])
    canvas.ellipse(cx, cy - length(21), length(7), length(8), colours["head"])


def sky(canvas, first, count, bottom):
    for y in range(canvas.height):
        level = y * (count - 1) * 16 // max(1, bottom)
        for x in range(canvas.width):
            canvas.shade(x, y, first, count, level)


def ridge(canvas, points, first, count, depth):
    """Land below a smooth ridge line, lit at the crest and darker `depth` pixels down."""
    for x in range(canvas.width):
        crest = smooth_curve(points, x)
        for y in range(max(0, _ceil(crest)), canvas.height):
            canvas.shade(x, y, first, count, (y - crest) * (count - 1) * 16 // depth)


def vale(canvas, colours, horizon):
    """Far hills, the vale with its river, and the near slopes either side."""
    w, h = canvas.width, canvas.height
    ridge(canvas, [(0, horizon - h // 8), (w // 4, horizon - h // 6), (w // 2, horizon - h // 14),
                   (3 * w // 4, horizon - h // 7), (w, horizon - h // 10)], *colours["far"], h // 3)
    ridge(canvas, [(0, horizon - h // 40), (w * 3 // 10, horizon + h // 20), (w // 2, horizon + h // 14),
                   (w * 7 // 10, horizon + h // 30), (w, horizon - h // 30)], *colours["mid"], h // 2)
    # The river comes from the foot of the far hills and widens towards the viewer.
    source = horizon + h // 14
    river = [(w * 50 // 100, source), (w * 52 // 100, source), (w * 56 // 100, h * 80 // 100),
             (w * 50 // 100, h * 90 // 100), (w * 60 // 100, h + 1), (w * 38 // 100, h + 1),
             (w * 42 // 100, h * 90 // 100), (w * 47 // 100, h * 80 // 100)]
    canvas.polygon(river, colours["river"])
    canvas.polygon([(w * 50 // 100, source + 2), (w * 51 // 100, source + 2), (w * 53 // 100, h * 80 // 100),
                    (w * 51 // 100, h * 82 // 100)], colours["river_light"])
    ridge(canvas, [(0, h * 66 // 100), (w // 5, h * 74 // 100), (w * 2 // 5, h + h // 10),
                   (w * 3 // 5, h + h // 10), (w * 4 // 5, h * 76 // 100), (w, h * 68 // 100)],
          *colours["near"], h // 3)


def sun(canvas, cx, cy, r, glow, disc):
    canvas.ellipse(cx, cy, r + r // 2, r + r // 2, glow)
    canvas.ellipse(cx, cy, r, r, disc)


# ---- the pictures ------------------------------------------------------------------

def kestrel_colours(palette):
    return {"wing": palette.add((176, 92, 48)), "dark": palette.add((58, 44, 40)),
            "body": palette.add((232, 204, 160)), "head": palette.add((120, 132, 156))}


def dawn_palette():
    p = Palette()
    colours = kestrel_colours(p)
    colours.update(letters=p.add((252, 248, 236)), shadow=p.add((24, 28, 64)),
                   glow=p.add((252, 200, 120)), disc=p.add((252, 240, 180)),
                   river=p.add((120, 168, 212)), river_light=p.add((200, 224, 244)))
    colours["sky"] = (p.ramp((20, 32, 96), (248, 176, 112), 48), 48)
    colours["far"] = (p.ramp((120, 112, 160), (48, 48, 96), 24), 24)
    colours["mid"] = (p.ramp((96, 144, 72), (28, 72, 40), 32), 32)
    colours["near"] = (p.ramp((64, 120, 48), (12, 40, 20), 32), 32)
    return p, colours


def splash():
    width, height = SPLASH_MAX
    palette, colours = dawn_palette()
    canvas = Canvas(width, height)
    horizon = height * 58 // 100
    sky(canvas, *colours["sky"], horizon)
    sun(canvas, width * 70 // 100, horizon - height // 20, height // 10, colours["glow"], colours["disc"])
    vale(canvas, colours, horizon)
    kestrel(canvas, width * 27 // 100, height * 26 // 100, width * 40 // 100, colours)
    scale = 4
    lettering(canvas, "KVAL", width - lettering_width("KVAL", scale) - 12, 12, scale,
              colours["letters"], colours["shadow"])
    return canvas, palette


def night_vale():
    width, height = 320, 200
    p = Palette()
    colours = {"star": p.add((236, 236, 252)), "moon": p.add((244, 240, 208)),
               "river": p.add((56, 80, 128)), "river_light": p.add((120, 144, 192))}
    colours["sky"] = (p.ramp((4, 8, 32), (40, 56, 112), 40), 40)
    colours["far"] = (p.ramp((44, 48, 88), (16, 20, 44), 24), 24)
    colours["mid"] = (p.ramp((28, 56, 56), (8, 24, 24), 32), 32)
    colours["near"] = (p.ramp((20, 40, 32), (4, 12, 8), 32), 32)
    canvas = Canvas(width, height)
    horizon = height * 58 // 100
    sky(canvas, *colours["sky"], horizon)
    # Stars from a fixed linear congruential sequence.
    seed = 0x4B56414C
    for _ in range(90):
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        x, y = seed % width, (seed >> 9) % (horizon - 10)
        canvas.put(x, y, colours["star"])
    # A waxing crescent: the moon's disc less a disc of sky beside it.
    mx, my, r = width * 78 // 100, height * 16 // 100, 12
    canvas.ellipse(mx, my, r, r, colours["moon"])
    for y in range(my - r, my + r + 1):
        for x in range(mx - r - 6, mx + r):
            if (x - mx + 6) ** 2 + (y - my + 2) ** 2 <= r * r:
                canvas.shade(x, y, *colours["sky"], y * (colours["sky"][1] - 1) * 16 // horizon)
    vale(canvas, colours, horizon)
    return canvas, p


def lone_kestrel():
    width, height = 61, 45
    p = Palette()
    colours = kestrel_colours(p)
    first, count = p.ramp((150, 190, 236), (220, 232, 248), 16), 16
    canvas = Canvas(width, height)
    sky(canvas, first, count, height)
    kestrel(canvas, width // 2, height * 40 // 100, width - 4, colours)
    return canvas, p


# ---- BMP files -----------------------------------------------------------------------

def bmp_bytes(canvas, palette):
    """An uncompressed 8-bit BMP: file header, 40-byte information header,
    256 colour-table entries (blue, green, red, 0), rows bottom first, each
    padded to a multiple of 4 bytes."""
    stride = (canvas.width + 3) & ~3
    table = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette.entries)
    rows = b"".join(bytes(row) + bytes(stride - canvas.width) for row in reversed(canvas.pixels))
    offset = 14 + 40 + len(table)
    header = struct.pack("<2sIHHI", b"BM", offset + len(rows), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, canvas.width, canvas.height, 1, 8, 0, len(rows),
                       2835, 2835, 256, 0)
    return header + info + table + rows


def write(path, data, mtime):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    temporary = path + ".tmp"
    with open(temporary, "wb") as f:
        f.write(data)
    os.utime(temporary, (mtime, mtime))
    os.replace(temporary, path)


def main(argv):
    if len(argv) != 2:
        print(f"usage: {argv[0]} OUTDIR", file=sys.stderr)
        return 2
    out = argv[1]
    mtime = int(os.environ.get("SOURCE_DATE_EPOCH", FIXED_MTIME))
    pictures = {"splash.bmp": splash(), "pics/vale.bmp": night_vale(), "pics/kestrel.bmp": lone_kestrel()}
    canvas, _ = pictures["splash.bmp"]
    assert (canvas.width, canvas.height) <= SPLASH_MAX and canvas.height <= SPLASH_MAX[1]
    for name, (canvas, palette) in pictures.items():
        write(os.path.join(out, name), bmp_bytes(canvas, palette), mtime)
    for folder in (os.path.join(out, "pics"), out):
        os.utime(folder, (mtime, mtime))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
