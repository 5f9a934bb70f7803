#!/usr/bin/python3
"""Checks that each file given is an application KVAL will start: its first
15 bytes are the header the loader tests, and the jump stays in reach."""

import sys


def problem(data):
    if len(data) < 15:
        return "shorter than the 15-byte header"
    if data[0:6] != b"KVALME" or data[6:8] != b"1 " or data[8:10] != b"A ":
        return "does not start with KVALME, \"1 \" and \"A \""
    if data[10] != 0xE9:
        return "byte 10 is not a near jump (0xE9)"
    if data[12:15] != b"\0\0\0":
        return "the entry is 256 bytes or more past the header"
    return None


def main(paths):
    failed = False
    for path in paths:
        with open(path, "rb") as f:
            why = problem(f.read())
        if why:
            print(f"{path}: not a KVAL application: {why}", file=sys.stderr)
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
