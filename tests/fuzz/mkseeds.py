#!/usr/bin/python3
"""Writes the fuzz targets' seed inputs into tests/fuzz/corpus/<target>/.

Each seed is small and meaningful: a tiny FAT12 disk in fuzz_fat12's
chunked layout, a small BMP, a valid .kvx, and so on (the layouts are
described at the top of each tests/fuzz/fuzz_*.cpp). Run it again after a
layout changes; inputs the fuzzing found are kept beside the seeds.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def boot_sector():
    bpb = bytes([0xEB, 0x3C, 0x90]) + b"MKFSFUZZ" + struct.pack("<HBHBHHBHHHI", 512, 1, 1, 2, 224, 2880, 0xF0, 9, 18, 2, 0)
    return bpb.ljust(510, b"\0") + b"\x55\xAA"


def fat(entries, sectors=2):
    """entries: {cluster: value}; the FAT's first `sectors` sectors."""
    raw = bytearray(sectors * 512 + 2)
    entries = {0: 0xFF0, 1: 0xFFF, **entries}
    for cluster, value in entries.items():
        at = cluster + cluster // 2
        if cluster & 1:
            raw[at] = (raw[at] & 0x0F) | ((value << 4) & 0xF0)
            raw[at + 1] = (value >> 4) & 0xFF
        else:
            raw[at] = value & 0xFF
            raw[at + 1] = (raw[at + 1] & 0xF0) | ((value >> 8) & 0x0F)
    return bytes(raw[: sectors * 512])


def entry(name, ext, attributes, cluster, size):
    return name.ljust(8).encode() + ext.ljust(3).encode() + bytes([attributes]) + bytes(14) + struct.pack("<HI", cluster, size)


def sector(*entries_):
    return b"".join(entries_).ljust(512, b"\0")


def fat12_seed(paths, fat_entries, root, clusters):
    area = b"\0".join(p.encode("latin-1") for p in paths).ljust(128, b"\0")[:128]
    f = fat(fat_entries)
    chunks = [boot_sector(), f[:512], f[512:], sector(*root), sector()] + [c.ljust(512, b"\0") for c in clusters]
    return area + b"".join(chunks)


def fat12():
    root = [entry("README", "TXT", 0x20, 5, 20), entry("DIR", "", 0x10, 2, 0), entry("KVAL", "", 0x08, 0, 0)]
    folder = [entry(".", "", 0x10, 2, 0), entry("..", "", 0x10, 0, 0), entry("FILE", "TXT", 0x20, 3, 700)]
    clusters = [sector(*folder), b"a" * 512, b"b" * 188, b"Read me, please.\n"]
    fats = {2: 0xFFF, 3: 4, 4: 0xFFF, 5: 0xFFF}
    paths = ["a:\\dir\\file.txt", "readme.txt", "a:\\dir", "a:\\DIR\\", "a:"]
    write("fuzz_fat12", "seed-tiny-disk", fat12_seed(paths, fats, root, clusters))
    # The folder's chain comes back to itself, the file's to its first cluster.
    write("fuzz_fat12", "seed-looping-chains", fat12_seed(paths, {2: 2, 3: 4, 4: 3, 5: 0xFF7}, root, clusters))


def bmp(width, height, fill=7):
    row = (width + 3) & ~3
    pixels = bytes([fill]) * (row * abs(height))
    palette = b"".join(bytes([i, i, i, 0]) for i in range(256))
    offset = 54 + len(palette)
    header = b"BM" + struct.pack("<IIIIiiHHIIiiII", offset + len(pixels), 0, offset, 40, width, height, 1, 8, 0,
                                 len(pixels), 2835, 2835, 256, 0)
    return header + palette + pixels


def bmps():
    write("fuzz_bmp", "seed-4x2", bmp(4, 2))
    write("fuzz_bmp", "seed-3x3-at-10-20", bmp(3, 3)[:6] + struct.pack("<HH", 10, 20) + bmp(3, 3)[10:])
    write("fuzz_bmp", "seed-topdown", bmp(2, -2))


def kvx(body=b"\x90\xC3"):
    return b"KVALME1 A \xE9\x05\0\0\0" + body


def exes():
    write("fuzz_exe", "seed-valid", b"\x00" + kvx())
    write("fuzz_exe", "seed-two-clusters", b"\x00" + kvx(b"p" * 700))
    write("fuzz_exe", "seed-loop", b"\x10" + kvx(b"p" * 700))
    write("fuzz_exe", "seed-long-chain", b"\x0F" + kvx())
    write("fuzz_exe", "seed-bad-header", b"\x00" + b"KVALME1 A \xE9\x05\x01\0\0")


def printfs():
    words = struct.pack("<8I", 0, 1, 3, 0xFFFFFFFF, 0x80000000, 42, 0x41, 2)
    write("fuzz_printf", "seed-every-conversion", words + b"hello\0world\0\0" + b"%s %i %x %b %c %% %q %s end%")
    write("fuzz_printf", "seed-long-string", words + b"x" * 63 + b"\0\0\0\0" + b"[%s]\n")


SCAN = {c: code for row, start in (("1234567890", 2), ("qwertyuiop", 0x10), ("asdfghjkl", 0x1E), ("zxcvbnm", 0x2C))
        for code, c in enumerate(row, start)}


def keys(text):
    return bytes(0x1C if c == "\n" else 0x39 if c == " " else SCAN[c] for c in text)


def line_reads():
    write("fuzz_line_read", "seed-line", bytes([12]) + keys("abc") + b"\x0E" + b"\x2A" + keys("d") + b"\xAA" + keys("\n"))
    write("fuzz_line_read", "seed-full-line", bytes([3]) + keys("abcdef\n"))
    write("fuzz_line_read", "seed-caps-ctrl", bytes([20]) + b"\x3A\xBA" + keys("ab") + b"\x1D\x1C\x9D" + keys("\n"))
    write("fuzz_line_read", "seed-yes-no", bytes([0x80]) + keys("q") + b"\x01")
    write("fuzz_line_read", "seed-ask", bytes([0xC0 | 42]) + keys("a") + b"\x2B" + keys("x\n"))


def op(code, name, value=0):
    return bytes([code, len(name)]) + name + struct.pack("<I", value)


def sysdatas():
    ops = op(0, b"ABC", 5) + op(3, b"ABC") + op(4, b"ABC") + op(1, b"ABC", 7) + op(12, b"ABC") + op(2, b"ABC")
    write("fuzz_sysdata", "seed-each-operation", ops)
    write("fuzz_sysdata", "seed-long-and-empty-names", op(0, b"ABCDEFG", 1) + op(3, b"ABCDE") + op(0, b"", 2) +
          op(8, b"ABCDEX", 3) + op(11, b"ABCDE"))
    write("fuzz_sysdata", "seed-fill", b"".join(op(0, b"N%02d" % i, i) for i in range(41)))


def acpi():
    region = bytearray(0x500)
    base = 0xE0000
    region[0:20] = b"RSD PTR " + b"\0" + b"BOCHS " + b"\0" + struct.pack("<I", base + 0x100)
    rsdt = b"RSDT" + struct.pack("<I", 40) + bytes(28) + struct.pack("<I", base + 0x200)
    region[0x100:0x100 + len(rsdt)] = rsdt
    fadt = bytearray(116)
    fadt[0:8] = b"FACP" + struct.pack("<I", 116)
    fadt[40:44] = struct.pack("<I", base + 0x400)
    fadt[48:53] = struct.pack("<IB", 0xB2, 0xF1)
    fadt[64:68] = struct.pack("<I", 0x604)
    region[0x200:0x200 + 116] = fadt
    dsdt = b"DSDT" + struct.pack("<I", 64) + bytes(28) + b"\x08_S5_\x12\x06\x04\x00" + bytes(18)
    region[0x400:0x400 + 64] = dsdt
    write("fuzz_acpi", "seed-qemu-like", bytes([0x0F]) + bytes(region))
    write("fuzz_acpi", "seed-unsealed", bytes([0x00]) + bytes(region))


if __name__ == "__main__":
    fat12()
    bmps()
    exes()
    printfs()
    line_reads()
    sysdatas()
    acpi()
    sys.exit(0)
