"""The floppy images: a clean FAT12 file system of the fixed 1.44 MB layout, with the kernel."""

import struct
import subprocess

import pytest

from conftest import RELEASE_IMAGE, TEST_IMAGE


@pytest.fixture(params=[RELEASE_IMAGE, TEST_IMAGE], ids=["release", "test"])
def image(request):
    if not request.param.is_file():
        pytest.skip(f"{request.param} is missing")
    return str(request.param)


def test_file_system_is_clean(image):
    result = subprocess.run(["fsck.fat", "-n", image], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr


def test_kernel_is_in_the_root_folder(image):
    listing = subprocess.run(["mdir", "-i", image, "-b", "::"], check=True,
                             capture_output=True, text=True).stdout
    assert "::/KERNEL.BIN" in listing.split()


def test_layout_is_the_one_the_kernel_assumes(image):
    """Root folder at blocks 19-32 and cluster n at block n + 31 need exactly this geometry."""
    with open(image, "rb") as f:
        data = f.read()
    assert len(data) == 2880 * 512
    assert data[510:512] == b"\x55\xAA"
    (bytes_per_sector, sectors_per_cluster, reserved, fats, root_entries, total,
     media, sectors_per_fat, sectors_per_track, heads) = struct.unpack_from("<HBHBHHBHHH", data, 11)
    assert (bytes_per_sector, sectors_per_cluster, reserved, fats, root_entries) == \
           (512, 1, 1, 2, 224)
    assert (total, media, sectors_per_fat, sectors_per_track, heads) == (2880, 0xF0, 9, 18, 2)
