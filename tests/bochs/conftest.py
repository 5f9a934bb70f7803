"""Fixtures of the Bochs tests: the system tests' helpers, machines in Bochs.

Every machine's log is read when it is stopped: an error or panic Bochs
reported about the guest fails the test that ran it.
"""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "system"))

from bochs import POWER_OFF, BochsMachine  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
RELEASE_IMAGE = ROOT / "build" / "kval.img"


@pytest.fixture(scope="session")
def release_image():
    if not RELEASE_IMAGE.is_file():
        pytest.skip("build/kval.img is missing: run 'make image'")
    return str(RELEASE_IMAGE)


class Machines:
    """Starts Bochs machines on demand; stops them all and reads their logs at teardown."""

    def __init__(self):
        self.machines = []

    def __call__(self, image, **options):
        machine = BochsMachine(image, **options)
        self.machines.append(machine)
        return machine.start()

    def close(self):
        complaints = []
        for machine in self.machines:
            machine.stop()
            complaints += [f"megs {machine.memory}: {kind}[{device}] {text}"
                           for kind, device, text in machine.complaints() if POWER_OFF not in text]
            machine.close()
        self.machines.clear()
        assert not complaints, "Bochs complained:\n" + "\n".join(complaints)


@pytest.fixture(scope="module")
def module_boot():
    """module_boot(image, memory=32) -> a started BochsMachine, shared by a test module."""
    machines = Machines()
    yield machines
    machines.close()
