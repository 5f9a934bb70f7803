"""Physical memory: every frame the manager hands out is usable RAM, whatever the RAM size."""

import pytest

import screens

SIZES = [16, 32, 256, 2048, 4096]
FRAMES_TIMEOUT = 240  # handing out a few GiB frame by frame takes a while under TCG


@pytest.fixture(scope="module")
def machines(module_boot, test_image):
    return {mb: module_boot(test_image, memory=mb, test="frames") for mb in SIZES}


@pytest.mark.parametrize("memory", SIZES)
def test_every_frame_handed_out_is_usable_ram(machines, memory):
    machine = machines[memory]
    frames = machine.wait_for_test_line(r"frames allocated=(\d+) outside=(\d+)",
                                        timeout=FRAMES_TIMEOUT)
    kb = int(machine.wait_for_test_line(r"memory_kb=(\d+)").group(1))
    screen = machine.screen()
    machine.pause()
    allocated, outside = int(frames.group(1)), int(frames.group(2))
    print(f"-m {memory}: memory_kb={kb} frames allocated={allocated} outside={outside}")
    assert outside == 0
    if memory <= 2048:  # above that the firmware keeps part of the RAM above 4 GiB
        assert memory * 1024 - 2048 <= kb <= memory * 1024
    # Most of the RAM is free after start-up, none of it twice.
    assert kb // 2 < allocated * 4 < kb
    problems = screens.welcome_differences(screen, range(18))
    assert not problems, "\n".join(problems[:40]) + f"\n{screen}"


KERNEL_STACK = range(0xC0100000, 0xC0102000)
PROCESS_STACK = range(0x90000000, 0x90002000)
HEAP = range(0xD0000000, 0xD0032000)


def test_processes_run_on_their_own_stacks_and_page_directories(welcomed):
    # Whichever runs: the system process on the kernel stack in the kernel's
    # directory, or the shell on its own stack in its own directory.
    registers = welcomed[0].registers()
    assert registers["ESP"] in KERNEL_STACK or registers["ESP"] in PROCESS_STACK, f"ESP {registers['ESP']:#x}"
    assert registers["CR0"] & 0x80000001 == 0x80000001, "paging and protection are on"
    assert registers["CR0"] & 0xE == 0x4, "the floating-point unit is off: EM set, MP and TS clear"
    # Not the loader's directory, and reachable one-to-one.
    assert registers["CR3"] < 0x400000 and registers["CR3"] != 0x90000, f"CR3 {registers['CR3']:#x}"


def test_heap_serves_blocks_and_holds_the_floppy_caches(boot, test_image):
    machine = boot(test_image, test="heap")
    line = machine.wait_for_test_line(r"heap block=0x(\w+) root_cache=0x(\w+) fat_cache=0x(\w+)")
    for address in line.groups():
        assert int(address, 16) in HEAP, line.group(0)
