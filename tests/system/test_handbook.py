"""The handbook (docs/handbook.md) against the sources, without QEMU.

Every code span in the Message column of a handbook table is a text the
system prints. `<...>` in it stands for a part the system fills in; every
other part, trimmed, must be a whole line of a string literal in the
kernel's sources, where the literal's %s, %i, %x and %c match the example
value the handbook shows. Every command of the shell's table needs a
section of its own, and every picture the handbook shows must exist.
"""

import re

from conftest import ROOT

HANDBOOK = ROOT / "docs" / "handbook.md"
KERNEL_DIRS = ("boot", "cpu", "display", "drivers", "fs", "lib", "mm", "proc", "shell")
# Comments, character literals and string literals, in the order they begin.
TOKEN = re.compile(r'//[^\n]*|/\*.*?\*/|\'(?:\\.|[^\'\\\n])\'|"((?:\\.|[^"\\\n])*)"', re.S)
ESCAPES = {"n": "\n", "t": "\t", "\\": "\\", '"': '"', "'": "'", "0": "\0"}
PLACEHOLDERS = {"%s": ".+", "%i": "-?[0-9]+", "%x": "[0-9A-F]+", "%c": "."}


def literals(text):
    """The file's string literals, adjacent ones joined, escapes undone."""
    found, end = [], None
    for match in TOKEN.finditer(text):
        if match.group(1) is None:
            end = None
            continue
        value = re.sub(r"\\(x[0-9A-Fa-f]{2}|.)",
                       lambda e: chr(int(e.group(1)[1:], 16)) if e.group(1)[0] == "x"
                       else ESCAPES[e.group(1)], match.group(1))
        if end is not None and not text[end:match.start()].strip():
            found[-1] += value
        else:
            found.append(value)
        end = match.end()
    return found


def source_lines():
    """Every line of every literal, trimmed, as a pattern with its placeholders."""
    patterns = set()
    for directory in KERNEL_DIRS:
        for path in sorted((ROOT / directory).glob("*.[ch]*")):
            for literal in literals(path.read_text()):
                for line in literal.split("\n"):
                    parts = re.split(r"(%[sixc])", line.strip())
                    if "".join(parts[::2]):  # a bare "%s" would match anything
                        patterns.add("".join(PLACEHOLDERS.get(p, re.escape(p)) for p in parts))
    return [re.compile(p) for p in patterns]


def messages(markdown):
    """(line number, code span) of the Message column of every table."""
    found, in_table = [], False
    for number, line in enumerate(markdown.split("\n"), 1):
        cells = [c.strip() for c in line.strip().strip("|").split("|")] if line.startswith("|") else None
        if cells is None:
            in_table = False
        elif cells[0] == "Message":
            in_table = True
        elif in_table and not set(cells[0]) <= set("-: "):
            found += [(number, span) for span in re.findall(r"`([^`]+)`", cells[0])]
    return found


def test_every_message_is_the_systems_own():
    patterns = source_lines()
    quoted = messages(HANDBOOK.read_text())
    assert len(quoted) > 100
    wrong = []
    for number, message in quoted:
        for piece in re.split(r"<[^>]*>", message):
            if piece.strip() and not any(p.fullmatch(piece.strip()) for p in patterns):
                wrong.append(f"handbook.md:{number}: {piece.strip()!r}")
    assert not wrong, "not in the sources:\n" + "\n".join(wrong)


def test_every_command_has_its_section_and_every_picture_exists():
    handbook = HANDBOOK.read_text()
    table = re.search(r"COMMANDS\[\] = \{(.*?)\};", (ROOT / "shell" / "shell.cpp").read_text(), re.S)
    words = [w for w in re.findall(r'\{"([^"]*)",', table.group(1)) if w]
    assert len(words) == 17
    headings = "\n".join(re.findall(r"^#{2,4} .*$", handbook, re.M))
    assert [w for w in words if f"`{w}`" not in headings] == []
    pictures = re.findall(r"!\[[^\]]*\]\(([^)]+)\)", handbook)
    assert pictures and [p for p in pictures if not (HANDBOOK.parent / p).is_file()] == []
