"""Processes in QEMU: the rotation and its slices, and a process reaped without a trace."""


def test_system_process_and_shell_alternate_and_a_reaped_process_leaves_nothing(boot, test_image):
    machine = boot(test_image, test="sched")
    machine.wait_for_test_line(r"process 0")
    # The monitor (slot 2, one tick a turn) sees KVALSYS's 2 ticks and the
    # shell's 7 go by between its turns; the shell's slice count is 6.
    turns = machine.wait_for_test_lines(8, r"turn gap=(\d+) previous=(\d+)")
    assert [(int(t.group(1)), int(t.group(2))) for t in turns] == [(1 + 2 + 7, 6)] * 8
    reaped = machine.wait_for_test_line(r"reaped created=(\d+) frames=(\d+),(\d+) heap=(\d+),(\d+)")
    created, frames_before, frames_after, heap_before, heap_after = map(int, reaped.groups())
    assert created == 0
    assert (frames_after, heap_after) == (frames_before, heap_before)
