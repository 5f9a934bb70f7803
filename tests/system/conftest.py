"""Fixtures of the system tests: image paths and machines that are always stopped."""

import os
from pathlib import Path

import pytest

from kval import Machine

ROOT = Path(__file__).resolve().parents[2]
RELEASE_IMAGE = ROOT / "build" / "kval.img"
TEST_IMAGE = ROOT / "build" / "test" / "kval.img"


def _image(path, target):
    if not path.is_file():
        pytest.skip(f"{path.relative_to(ROOT)} is missing: run 'make {target}'")
    return str(path)


@pytest.fixture(scope="session")
def release_image():
    return _image(RELEASE_IMAGE, "image")


@pytest.fixture(scope="session")
def test_image():
    return _image(TEST_IMAGE, "build/test/kval.img")


class Machines:
    """Starts machines on demand and stops every one of them at teardown."""

    def __init__(self):
        self.machines = []

    def __call__(self, image, **options):
        machine = Machine(image, **options)
        self.machines.append(machine)
        return machine.start()

    def close(self):
        for machine in self.machines:
            machine.close()
        self.machines.clear()


@pytest.fixture
def boot():
    """boot(image, memory=32, test=None, no_reboot=False, audio=False) -> started Machine."""
    machines = Machines()
    yield machines
    machines.close()


@pytest.fixture(scope="module")
def module_boot():
    """Like boot, for machines that a whole test module shares."""
    machines = Machines()
    yield machines
    machines.close()


@pytest.fixture(scope="session")
def welcomed(release_image):
    """The release image with 32 MiB, booted once to the welcome screen.

    Returns (machine, screen): the screen once the welcome text is complete.
    The machine is paused: tests that use it only look at memory, registers
    and the screen.
    """
    machine = Machine(release_image, memory=32).start()
    try:
        screen = machine.wait_for_prompt()
        machine.pause()
        yield machine, screen
    finally:
        machine.close()


def pytest_report_header(config):
    scale = os.environ.get("KVAL_TIMEOUT_SCALE")
    return f"KVAL images: {ROOT / 'build'}" + (f", time-outs x{scale}" if scale else "")
