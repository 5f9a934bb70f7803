"""shutdown powers QEMU off through ACPI at every RAM size the kernel boots with,
wherever the firmware put its tables (above 2 GiB from -m 3000 on)."""

import pytest

from shell import Session

SIZES = [16, 2048, 3000, 4096]  # 32 MiB: test_shell


@pytest.fixture(scope="module")
def sessions(module_boot, release_image):
    return {mb: Session(module_boot(release_image, memory=mb)) for mb in SIZES}


def test_shutdown_powers_off_at_every_ram_size(sessions):
    for session in sessions.values():
        session.command("shutdown")
    for session in sessions.values():
        session.machine.wait_for_text('Press "Enter" for yes')
        session.enter()
    for memory, session in sessions.items():
        print(f"-m {memory}: {session.machine.wait_event('SHUTDOWN', timeout=30)}")
