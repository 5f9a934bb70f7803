"""What KVAL's fixed screens look like, cell by cell, and checks against them.

Each check returns a list of human-readable differences (empty when the screen
matches) so that a failing test shows every wrong cell at once.
"""

from kval import COLS, ROWS

BLOCK, SHADE, SPACE = 0xDB, 0xB1, 0x20

WHITE_ON_BLUE = 0x1F
YELLOW_ON_BLUE = 0x1E
LIGHT_GREEN_ON_BLUE = 0x1A
LIGHT_CYAN_ON_BLUE = 0x1B
LIGHT_RED_ON_BLUE = 0x1C

VERSION_LINE = "Kestrel Vale (KVAL) Version 0.0.7 Alpha - 3"
CREDIT = "The Kestrel Vale developers"
BLESSING = "In The Name Of Allah, The Most Gracious, The Most Merciful"
HELP_LINE = 'Type "help" for help.'
NOTE_LINE = 'PLEASE NOTE : You must use the command "upflpy" when you change the floppy disk.'

LOGO_ROWS = range(3, 12)
LOGO_LEFT = 10
LOGO_WIDTH = 60
GLYPH_WIDTH, GLYPH_GAP = 12, 4

FATAL_LINE = "[KVAL] : Fatal Error : "
RAM_MESSAGE = "Not Enough Memory , KVAL reguires at least 16MB of RAM"
EXPLANATION_1 = "Kestrel Vale (KVAL) detected an error and it turned off itself to"
EXPLANATION_2 = "   protect your computer from demage."


def _runs(pattern):
    """'B5 S1 B2' -> the bytes of five blocks, one space, two blocks."""
    out = bytearray()
    for token in pattern.split():
        out += bytes([BLOCK if token[0] == "B" else SPACE]) * int(token[1:])
    return bytes(out)


_FATAL_A = _runs("B5 S1 B5 S1 B6 S1 B5 S1 B2")
_FATAL_B = _runs("B2 S4 B2 S1 B2 S3 B2 S3 B2 S1 B2 S1 B2")
_FATAL_C = _runs("B4 S2 B5 S3 B2 S3 B5 S1 B2")
_FATAL_D = _runs("B2 S4 B2 S1 B2 S3 B2 S3 B2 S1 B2 S1 B5")
FATAL_BANNER = [_FATAL_A, _FATAL_A, _FATAL_B, _FATAL_C, _FATAL_C, _FATAL_D, _FATAL_D]


class Expectation:
    """Expected cells: text with an attribute at a place; unset cells are checked apart."""

    def __init__(self):
        self.cells = {}

    def put(self, x, y, data, attr):
        if isinstance(data, str):
            data = data.encode("cp437")
        for i, byte in enumerate(data):
            self.cells[(x + i, y)] = (byte, attr)

    def differences(self, screen, rows, default):
        """Compares the given rows; cells not put must equal default (byte, attr)."""
        found = []
        for y in rows:
            for x in range(COLS):
                want = self.cells.get((x, y), default)
                got = screen.cell(x, y)
                if got != want:
                    found.append(f"({x},{y}): got {got[0]:#04x}/{got[1]:#04x}, "
                                 f"want {want[0]:#04x}/{want[1]:#04x}")
        return found


def welcome_differences(screen, rows=range(ROWS)):
    """Differences from the welcome screen, logo glyphs excepted (see logo_problems)."""
    e = Expectation()
    e.put(0, 1, BLESSING, WHITE_ON_BLUE)
    e.put(0, 13, VERSION_LINE, LIGHT_GREEN_ON_BLUE)
    e.put(0, 14, "Developed By : " + CREDIT, LIGHT_GREEN_ON_BLUE)
    e.put(0, 15, HELP_LINE, LIGHT_GREEN_ON_BLUE)
    e.put(0, 16, NOTE_LINE, LIGHT_GREEN_ON_BLUE)
    e.put(0, 17, "*" * 40, WHITE_ON_BLUE)
    e.put(0, 18, "KVAL >", YELLOW_ON_BLUE)  # the shell's first prompt
    logo = [y for y in rows if y in LOGO_ROWS]
    found = e.differences(screen, [y for y in rows if y not in LOGO_ROWS],
                          (SPACE, WHITE_ON_BLUE))
    for y in logo:
        for x in range(COLS):
            byte, attr = screen.cell(x, y)
            inside = LOGO_LEFT <= x < LOGO_LEFT + LOGO_WIDTH
            if attr != WHITE_ON_BLUE or byte not in ((BLOCK, SHADE, SPACE) if inside else (SPACE,)):
                found.append(f"({x},{y}): got {byte:#04x}/{attr:#04x} in the logo rows")
    return found


def logo_glyphs(screen):
    """The four 12 x 9 logo cells as lists of strings: X block, s shade, . space."""
    symbol = {BLOCK: "X", SHADE: "s"}
    rows = ["".join(symbol.get(b, ".") for b in screen.chars(y)[LOGO_LEFT:LOGO_LEFT + LOGO_WIDTH])
            for y in LOGO_ROWS]
    step = GLYPH_WIDTH + GLYPH_GAP
    glyphs = [[row[i * step:i * step + GLYPH_WIDTH] for row in rows] for i in range(4)]
    gaps = [[row[i * step + GLYPH_WIDTH:(i + 1) * step] for row in rows] for i in range(3)]
    return glyphs, gaps, rows


def _strokes(row):
    """Parses a glyph row into strokes (start column, length); None if it breaks the rules.

    The rules: only spaces, vertical strokes (one block and two shades) and
    horizontal bars (ten blocks and two shades); every shadow is exactly two
    shade characters right after its blocks.
    """
    strokes, x = [], 0
    while x < len(row):
        if row[x] == ".":
            x += 1
            continue
        if row[x] != "X":
            return None
        run = len(row[x:]) - len(row[x:].lstrip("X"))
        if run not in (1, 10) or row[x + run:x + run + 2] != "ss":
            return None
        strokes.append((x, run))
        x += run + 2
    return strokes


def logo_problems(screen):
    """Checks the logo grid and that its four glyphs read K, V, A, L."""
    glyphs, gaps, rows = logo_glyphs(screen)
    picture = "\n".join(rows)
    problems = []
    if any(row != "...." for gap in gaps for row in gap):
        problems.append("the 4-column gaps between the glyph cells are not blank")
    parsed = []
    for letter, glyph in zip("KVAL", glyphs):
        strokes = [_strokes(row) for row in glyph]
        if any(s is None for s in strokes):
            bad = [r for r, s in zip(glyph, strokes) if s is None]
            problems.append(f"{letter}: rows break the stroke/shadow rules: {bad}")
        elif not any(strokes):
            problems.append(f"{letter}: empty glyph")
        parsed.append(strokes)
    if problems:
        return [p + "\n" + picture for p in problems]

    def stem(strokes):  # a column holding a block in every row
        columns = [{x + i for x, n in row for i in range(n)} for row in strokes]
        return set.intersection(*columns)

    def bars(strokes):
        return [y for y, row in enumerate(strokes) if any(n == 10 for _, n in row)]

    def span(row):
        return max(x for x, _ in row) - min(x for x, _ in row) if row else -1

    k, v, a, l = parsed
    if not stem(k) or bars(k) or len(k[0]) < 2 or len(k[-1]) < 2:
        problems.append("K: wants a full-height stem and two strokes at the top and the bottom")
    if stem(v) or bars(v) or len(v[0]) < 2 or not span(v[-1]) < span(v[0]):
        problems.append("V: wants two strokes at the top converging towards the bottom")
    if not bars(a) or len(a[-1]) < 2 or 0 in bars(a) and len(bars(a)) < 2:
        problems.append("A: wants a cross bar and two legs")
    if not stem(l) or bars(l) != [len(l) - 1] or any(len(row) != 1 for row in l[:-1]):
        problems.append("L: wants a full-height stem and a bar at the bottom only")
    return [p + "\n" + picture for p in problems]


def fatal_report_differences(screen, message):
    """Differences from the kernel's fatal error report with the given message.

    The two maintainer lines (rows 13 and 14) are the implementer's texts: only
    their indent, their colour and that they are not empty are checked.
    """
    e = Expectation()
    e.put(0, 1, "  ", LIGHT_RED_ON_BLUE)
    for i, pattern in enumerate(FATAL_BANNER):
        e.put(0, 2 + i, b" " * 26 + pattern + (b"  " if i < 6 else b""), LIGHT_RED_ON_BLUE)
    e.put(0, 10, EXPLANATION_1, LIGHT_CYAN_ON_BLUE)
    e.put(0, 11, EXPLANATION_2, LIGHT_CYAN_ON_BLUE)
    e.put(0, 16, FATAL_LINE + message, LIGHT_RED_ON_BLUE)
    rows = [y for y in range(ROWS) if y not in (13, 14)]
    found = e.differences(screen, rows, (SPACE, YELLOW_ON_BLUE))
    for y in (13, 14):
        text = screen.row(y)
        attrs = screen.attrs(y)[:len(text)]
        if not text.startswith("   ") or len(text) <= 3 or text[3] == " ":
            found.append(f"row {y} is not three spaces and a text: {text!r}")
        if set(attrs) != {LIGHT_CYAN_ON_BLUE}:
            found.append(f"row {y} is not light cyan on blue: {sorted(set(attrs))}")
        if any(attr >> 4 != 1 or ch != SPACE for ch, attr in
               zip(screen.chars(y)[len(text):], screen.attrs(y)[len(text):])):
            found.append(f"row {y} is not blank on blue after its text")
    return found
