"""A model of KVAL's text console, to say what a screen must hold.

Tests replay what the system prints - colours and texts, as the design gives
them - on this model and compare the result with the real screen, cell by
cell and colour by colour. The model follows the console's rules: tabs and
other control bytes print nothing, a newline scrolls on row 24, a full row
wraps only when the next character comes, and a backspace at column 0 goes
to the line-full state of the row above.
"""

from kval import COLS, ROWS, Screen

BLUE, LIGHT_GREEN, LIGHT_CYAN, LIGHT_RED, LIGHT_MAGENTA, YELLOW, WHITE = 1, 10, 11, 12, 13, 14, 15


class Console:
    def __init__(self, fg=YELLOW, bg=BLUE):
        self.fg, self.bg = fg, bg
        self.cells = bytearray(COLS * ROWS * 2)
        self.clear()

    @classmethod
    def of(cls, screen, x, y, fg, bg=BLUE):
        """A console holding what `screen` shows, cursor at (x, y)."""
        console = cls(fg, bg)
        console.cells[:] = screen.raw
        console.x, console.y = x, y
        return console

    @property
    def attribute(self):
        return self.bg * 16 + self.fg

    def color(self, fg):
        self.fg = fg
        return self

    def colors(self, fg, bg):
        self.fg, self.bg = fg, bg
        return self

    def at(self, x, y):
        """Moves the cursor, as con_set_cursor does."""
        if x <= COLS and y <= ROWS:
            self.x, self.y = x, y
        return self

    def clear(self):
        for i in range(COLS * ROWS):
            self.cells[2 * i:2 * i + 2] = bytes([0x20, self.attribute])
        self.x = self.y = 0
        return self

    def scroll(self):
        self.cells[:-COLS * 2] = self.cells[COLS * 2:]
        for x in range(COLS):
            self._put(x, ROWS - 1, 0x20)
        self.x, self.y = 0, ROWS - 1

    def _put(self, x, y, char):
        offset = (y * COLS + x) * 2
        self.cells[offset:offset + 2] = bytes([char, self.attribute])

    def putc(self, char):
        if char == 8:
            if self.x > 0:
                self.x -= 1
            elif self.y > 0:
                self.y, self.x = self.y - 1, COLS
            position = self.y * COLS + self.x
            if position < COLS * ROWS:
                self._put(position % COLS, position // COLS, 0x20)
        elif char == 10:
            self.x, self.y = 0, self.y + 1
            if self.y >= ROWS:
                self.scroll()
        elif char >= 32:
            if self.x >= COLS:
                if self.y >= ROWS - 1:
                    self.scroll()
                else:
                    self.x, self.y = 0, self.y + 1
            self._put(self.x, self.y, char)
            self.x += 1
        return self

    def puts(self, text):
        data = text.encode("cp437") if isinstance(text, str) else bytes(text)
        for char in data:
            self.putc(char)
        return self

    def print(self, fg, text):
        """The usual pair: a colour, then a text in it."""
        return self.color(fg).puts(text)

    def screen(self):
        return Screen(self.cells)


def differences(actual, expected):
    """Every cell where two screens differ, as readable lines (empty when equal)."""
    out = []
    for y in range(ROWS):
        for x in range(COLS):
            a, e = actual.cell(x, y), expected.cell(x, y)
            if a != e:
                out.append(f"({x},{y}): {chr(a[0])!r}/{a[1]:02X}, expected {chr(e[0])!r}/{e[1]:02X}")
    return out


def assert_screen(actual, expected):
    problems = differences(actual, expected)
    assert not problems, "\n".join(problems[:30]) + f"\nactual:\n{actual}\nexpected:\n{expected}"
