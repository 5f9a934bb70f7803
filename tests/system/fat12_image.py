"""Reading a FAT12 floppy image the way the shell lists and reads it."""

import struct

SECTOR = 512
ROOT_FIRST, ROOT_LAST, DATA_FIRST = 19, 32, 33


def sector(image, block):
    return image[block * SECTOR:(block + 1) * SECTOR]


def display_name(entry):
    name, ext = entry[:8].decode("latin-1").rstrip(), entry[8:11].decode("latin-1").rstrip()
    return (name + ("." + ext if ext else "")).lower()


def listed(data):
    """(display name, is folder, size) of the slots a listing shows, in slot order."""
    out = []
    for at in range(0, len(data), 32):
        entry = data[at:at + 32]
        if entry[0] in (0x00, 0xE5) or entry[11] & 0x08:
            continue
        size, = struct.unpack_from("<I", entry, 28)
        out.append((display_name(entry), bool(entry[11] & 0x10), size))
    return out


def root(image):
    return b"".join(sector(image, b) for b in range(ROOT_FIRST, ROOT_LAST + 1))


def next_cluster(image, cluster):
    at = SECTOR + cluster + cluster // 2
    word, = struct.unpack_from("<H", image, at)
    return word >> 4 if cluster & 1 else word & 0xFFF


def find(image, name, directory=None):
    """(first cluster, size) of `name` (upper-case 8.3) in the root or in the given folder's bytes."""
    data = root(image) if directory is None else directory
    for at in range(0, len(data), 32):
        entry = data[at:at + 32]
        if entry[0] not in (0, 0xE5) and display_name(entry) == name.lower():
            return struct.unpack_from("<H", entry, 26)[0], struct.unpack_from("<I", entry, 28)[0]
    raise KeyError(name)


def clusters(image, first):
    """The sectors of a chain, each whole."""
    out, cluster = [], first
    while 2 <= cluster < 0xFF0:
        out.append(sector(image, DATA_FIRST + cluster - 2))
        cluster = next_cluster(image, cluster)
    return out


# --- damaging an image ----------------------------------------------------------

FAT_FIRSTS = (1, 10)  # both copies, 9 sectors each


def with_next(image, cluster, value):
    """`image` with FAT entry `cluster` set to `value` in both FATs."""
    data = bytearray(image)
    for first in FAT_FIRSTS:
        at = first * SECTOR + cluster + cluster // 2
        word, = struct.unpack_from("<H", data, at)
        word = (word & 0x000F) | value << 4 if cluster & 1 else (word & 0xF000) | value
        struct.pack_into("<H", data, at, word)
    return bytes(data)


def entry_offset(image, name, folder=None):
    """The byte offset in `image` of the entry `name` in the root or in the root folder `folder`."""
    if folder is None:
        blocks = list(range(ROOT_FIRST, ROOT_LAST + 1))
    else:
        cluster, blocks = find(image, folder)[0], []
        while 2 <= cluster < 0xFF0:
            blocks.append(DATA_FIRST + cluster - 2)
            cluster = next_cluster(image, cluster)
    for block in blocks:
        for at in range(block * SECTOR, (block + 1) * SECTOR, 32):
            entry = image[at:at + 32]
            if entry[0] not in (0, 0xE5) and display_name(entry) == name.lower():
                return at
    raise KeyError(name)


def chain(image, name, folder=None):
    """The clusters of `name`'s chain."""
    at = entry_offset(image, name, folder)
    out, cluster = [], struct.unpack_from("<H", image, at + 26)[0]
    while 2 <= cluster < 0xFF0 and cluster not in out:
        out.append(cluster)
        cluster = next_cluster(image, cluster)
    return out


def with_bytes(image, at, data):
    return image[:at] + data + image[at + len(data):]
