"""Floppy driver and FAT12 reads inside KVAL, compared with the image file and mtools."""

import re
import subprocess
import time

import pytest

SECTOR = 512
ROOT_BLOCKS = range(19, 33)
FAT_CACHE_BLOCKS = range(0, 19)
READ_BLOCKS = [0, 19, 33, 2879]
FS_OK, FS_ERR_INVALID_DIRECTORY, FS_ERR_INVALID_FILE, FS_END_OF_CHAIN = 0, -2, -3, -4


def mtools_files(image):
    """Every file of the image as an mtools path (::/DIR/NAME.EXT), directories left out."""
    out = subprocess.run(["mdir", "-i", image, "-/", "-b", "::"], check=True,
                         capture_output=True, text=True).stdout
    return [line for line in out.split() if not line.endswith("/")]


def mtools_read(image, path):
    return subprocess.run(["mcopy", "-i", image, path, "-"], check=True,
                          capture_output=True).stdout


def kval_path(mtools_path):
    return "a:\\" + mtools_path[len("::/"):].replace("/", "\\").lower()


def status_value(text):
    """A status as printed: signed or as its unsigned byte, decimal or 0x hexadecimal."""
    value = int(text, 0)
    return value - 256 if value >= 128 else value


@pytest.fixture(scope="module")
def disk(test_image):
    with open(test_image, "rb") as f:
        return f.read()


@pytest.fixture(scope="module")
def nested_file(test_image):
    """A file of several clusters inside a folder, or None when the disk has none."""
    for path in mtools_files(test_image):
        if path.count("/") >= 2:
            data = mtools_read(test_image, path)
            if len(data) > SECTOR:
                return path, data
    return None


@pytest.fixture(scope="module")
def reader(module_boot, test_image, nested_file):
    files = ["a:\\kernel.bin", "a:\\nodir\\x.txt", "a:\\missing.txt"]
    if nested_file:
        files.append(kval_path(nested_file[0]))
    commands = ";".join([f"read={','.join(map(str, READ_BLOCKS))}", "caches"]
                        + [f"file={f}" for f in files])
    machine = module_boot(test_image, test=commands)
    lines = machine.wait_for_test_lines(len(files), r"file .*")
    machine.wait_for_test_lines(2, r"(root|fat)_cache .*")
    machine.wait_for_test_lines(len(READ_BLOCKS), r"sector .*")
    machine.pause()
    results = {}
    for path, match in zip(files, lines):
        fields = dict(re.findall(r"(\w+)=(\S*)", match.group(0)))
        assert "status" in fields, f"malformed line: {match.group(0)[:200]}"
        results[path] = fields
    return machine, results


def test_sectors_read_equal_the_image(reader, disk):
    machine, _ = reader
    for block in READ_BLOCKS:
        match = machine.wait_for_test_line(rf"sector {block} (\S+)", timeout=1)
        assert match.group(1) != "failed", f"block {block} failed"
        assert bytes.fromhex(match.group(1)) == disk[block * SECTOR:(block + 1) * SECTOR], \
            f"block {block} differs from the image"


def test_caches_hold_the_root_directory_and_the_fats(reader, disk):
    machine, _ = reader
    root = machine.wait_for_test_line(r"root_cache (\S+)", timeout=1).group(1)
    fat = machine.wait_for_test_line(r"fat_cache (\S+)", timeout=1).group(1)
    assert root != "missing" and fat != "missing"
    assert bytes.fromhex(root) == disk[ROOT_BLOCKS[0] * SECTOR:(ROOT_BLOCKS[-1] + 1) * SECTOR]
    assert bytes.fromhex(fat) == disk[:len(FAT_CACHE_BLOCKS) * SECTOR]


def _check_file(fields, expected):
    assert status_value(fields["status"]) == FS_OK, f"status {fields['status']}"
    assert int(fields["size"]) == len(expected)
    assert int(fields["clusters"]) == -(-len(expected) // SECTOR)
    assert bytes.fromhex(fields["data"]) == expected
    if "end_status" in fields:
        assert status_value(fields["end_status"]) == FS_END_OF_CHAIN


def test_root_file_of_many_clusters(reader, test_image):
    _, results = reader
    _check_file(results["a:\\kernel.bin"], mtools_read(test_image, "::/KERNEL.BIN"))


def test_file_in_a_folder(reader, nested_file):
    if nested_file is None:
        pytest.skip("the disk has no file of several clusters inside a folder")
    _, results = reader
    path, data = nested_file
    _check_file(results[kval_path(path)], data)


def test_missing_folder_and_missing_file(reader):
    _, results = reader
    assert status_value(results["a:\\nodir\\x.txt"]["status"]) == FS_ERR_INVALID_DIRECTORY
    assert status_value(results["a:\\missing.txt"]["status"]) == FS_ERR_INVALID_FILE


def test_reads_after_the_disk_is_ejected(boot, test_image, disk):
    """With the disk gone, the root folder still comes from the cache; other reads fail.

    The 'pause' hook makes the test kernel wait for a key before the reads that follow
    it, so that the disk can be ejected first.
    """
    machine = boot(test_image, test="pause;read=19,33")

    def paused_or_read():
        lines = machine.test_lines()
        return "pause" in lines or any(line.startswith(("sector", "unknown")) for line in lines)
    machine.wait_for(paused_or_read, 90, "the pause hook")
    if "pause" not in machine.test_lines():
        pytest.skip("the test kernel has no 'pause' hook")
    machine.eject_floppy()
    assert machine.floppy_device().get("inserted") is None
    started = time.monotonic()
    machine.send_key("spc")
    cached = machine.wait_for_test_line(r"sector 19 (\S+)", timeout=30).group(1)
    assert cached != "failed" and bytes.fromhex(cached) == disk[19 * SECTOR:20 * SECTOR]
    # Bounded: 10 attempts of at most 3 s each, plus the motor.
    outcome = machine.wait_for_test_line(r"sector 33 (\S+)", timeout=60).group(1)
    print(f"block 33 with no disk: {outcome[:16]} after {time.monotonic() - started:.1f} s")
    assert outcome == "failed"
