"""Damaged disks: chains that loop or lead nowhere, sizes that lie, a boot
sector that lies, a root of nothing but labels and deleted entries. Every
command ends with a message or a bounded listing and gives the prompt back,
start-up included, and no disk is ever written."""

import hashlib
import struct
import time

import pytest

import fat12_image as fat
from shell import Session

BAD, FREE, BEYOND = 0xFF7, 0x000, 0xC00  # the last data cluster is 2848 (0xB20)
PAUSES = ("---Press any key to continue", "Press Any Key To Continue...")
QUESTION = 'Press "Enter" for yes or "ESC" for no.'


def damaged(base):
    """Name -> (image bytes, [(command line, answer, text the command must end with)])."""
    readme = fat.chain(base, "README.TXT")
    apps = fat.chain(base, "APPS")
    hello = fat.chain(base, "HELLO.KVX", "APPS")
    readme_size = fat.entry_offset(base, "README.TXT") + 28
    rdfile = ("rdfile", "a:\\readme.txt")
    boot_fields = {"no FATs": (16, b"\x00"), "200 sectors a FAT": (22, struct.pack("<H", 200))}
    root = bytearray(base)
    for n, at in enumerate(range(fat.ROOT_FIRST * fat.SECTOR, (fat.ROOT_LAST + 1) * fat.SECTOR, 32)):
        entry = bytearray(b"LABEL%03d   " % n + bytes(21))
        entry[11] = 0x08
        if n % 2:
            entry[0] = 0xE5
        root[at:at + 32] = entry
    cases = {
        "a file that loops": (fat.with_next(base, readme[-1], readme[0]), [(*rdfile, "Invalid Cluster")]),
        "a folder that loops": (fat.with_next(base, apps[-1], apps[0]), [
            ("dir", "a:\\apps", "Error While Reading."),
            ("ldapp", "a:\\apps\\none.kvx", "Cannot find the executable.")]),
        "an application that loops": (fat.with_next(base, hello[-1], hello[0]), [
            ("ldapp", "a:\\apps\\hello.kvx", "Invalid Executable.")]),
        "a chain into a free cluster": (fat.with_next(base, readme[0], FREE), [(*rdfile, "Invalid Cluster")]),
        "a chain into a bad cluster": (fat.with_next(base, readme[0], BAD), [(*rdfile, "Invalid Cluster")]),
        "a chain beyond the disk": (fat.with_next(base, readme[0], BEYOND), [(*rdfile, "Invalid Cluster")]),
        "a size that lies": (fat.with_bytes(base, readme_size, struct.pack("<I", 0xFFFFFFF0)), [
            ("dir", "a:", "KVAL >"), (*rdfile, "KVAL >")]),
        "a root of labels and deleted entries": (bytes(root), [
            ("dir", "a:", "KVAL >"), (*rdfile, "Invalid File"), ("ldbmp", "a:\\splash.bmp", "Invalid file.")]),
    }
    for name, (at, value) in boot_fields.items():
        cases[f"a boot sector with {name}"] = (fat.with_bytes(base, at, value), [
            ("dir", "a:", "KVAL >"), (*rdfile, "KVAL >"), ("rdsec", "0", "KVAL >")])
    return cases


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


@pytest.fixture(scope="module")
def disks(release_image, tmp_path_factory):
    with open(release_image, "rb") as f:
        base = f.read()
    folder = tmp_path_factory.mktemp("damaged")
    out = {}
    for n, (name, (image, commands)) in enumerate(damaged(base).items()):
        path = folder / f"disk{n}.img"
        path.write_bytes(image)
        out[name] = (str(path), digest(path), commands)
    return out


@pytest.fixture(scope="module")
def session(module_boot, release_image):
    return Session(module_boot(release_image))


def run(machine, line, answer, ending):
    """Types `line` and `answer`, says yes to every question and goes on at every pause, until the
    prompt is back below `ending`."""
    machine.type_text(line)
    machine.send_key("ret")
    machine.wait_for_screen(lambda s: [r for r in s.rows() if r.strip()][-1].endswith(" >"), 15,
                            f"{line}'s question")
    machine.type_text(answer)
    machine.send_key("ret")
    for _ in range(40):
        screen = machine.wait_for_screen(
            lambda s: [r for r in s.rows() if r.strip()][-1] in ("KVAL >", QUESTION, *PAUSES),
            30, f"{line} {answer} to end")
        rows = [r for r in screen.rows() if r.strip()]
        if rows[-1] == "KVAL >":
            typed = [n for n, r in enumerate(rows) if r == f"KVAL >{line}"]
            output = rows[typed[-1] + 1:-1] if typed else rows[:-1]
            assert ending == "KVAL >" or any(ending in r for r in output), f"{line} {answer}:\n{screen}"
            return
        machine.send_key("spc" if rows[-1] in PAUSES else "ret")
        time.sleep(0.3)
    raise AssertionError(f"{line} {answer}: no end\n{machine.screen()}")


def update(machine):
    """upflpy, answered yes: the shell reads the disk in the drive again."""
    machine.type_text("upflpy")
    machine.send_key("ret")
    machine.wait_for_screen(lambda s: [r for r in s.rows() if r.strip()][-1] == QUESTION, 15, "upflpy's question")
    machine.send_key("ret")
    machine.wait_for_screen(lambda s: [r for r in s.rows() if r.strip()][-1] == "KVAL >", 30, "upflpy to end")


def test_every_command_ends_on_every_damaged_disk_and_none_is_written(session, disks):
    machine = session.machine
    for name, (path, _, commands) in disks.items():
        machine.change_floppy(path)
        update(machine)
        for line, answer, ending in commands:
            run(machine, line, answer, ending)
    unchanged = {name: digest(path) == before for name, (path, before, _) in disks.items()}
    assert all(unchanged.values()), unchanged


def test_start_up_ends_at_the_prompt_when_the_splash_picture_loops(boot, release_image, tmp_path):
    with open(release_image, "rb") as f:
        base = f.read()
    splash = fat.chain(base, "SPLASH.BMP")
    path = tmp_path / "splash.img"
    path.write_bytes(fat.with_next(base, splash[len(splash) // 2], splash[0]))
    before = digest(path)
    Session(boot(str(path)))
    assert digest(path) == before


def until_last_row(machine, rows, what):
    return machine.wait_for_screen(lambda s: [r for r in s.rows() if r.strip()][-1] in rows, 30, what)


def output_after(screen, line):
    rows = [r for r in screen.rows() if r.strip()]
    typed = [n for n, r in enumerate(rows) if r == f"KVAL >{line}"]
    return rows[typed[-1] + 1:-1] if typed else rows[:-1]


def test_a_disk_taken_out_midway_or_changed_unannounced_ends_every_command(session, disks, release_image, tmp_path):
    machine = session.machine
    disk = tmp_path / "disk.img"
    disk.write_bytes(open(release_image, "rb").read())
    # Out while rdfile asks whether to go on, and as dir starts on a folder
    # (its listing reads the folder's clusters before its first pause).
    for line, answer, waits_at, message in (
            ("rdfile", "a:\\docs\\shell.txt", (QUESTION,), "Unknown Error"),
            ("dir", "a:\\apps", (), "Error While Reading.")):
        machine.change_floppy(str(disk))
        update(machine)
        machine.type_text(line)
        machine.send_key("ret")
        machine.wait_for_screen(lambda s: [r for r in s.rows() if r.strip()][-1].endswith(" >"), 15, line)
        machine.type_text(answer)
        if not waits_at:
            machine.eject_floppy()
        machine.send_key("ret")
        if waits_at:
            while [r for r in until_last_row(machine, (*waits_at, *PAUSES), line).rows() if r.strip()][-1] \
                    not in waits_at:
                machine.send_key("spc")
                time.sleep(0.3)
            machine.eject_floppy()
            machine.send_key("ret")
        screen = until_last_row(machine, ("KVAL >",), f"{line} without its disk")
        assert any(message in r for r in output_after(screen, line)), str(screen)

    # Out as ldapp starts reading; back in, then changed without upflpy.
    machine.change_floppy(str(disk))
    update(machine)
    machine.type_text("ldapp")
    machine.send_key("ret")
    machine.wait_for_screen(lambda s: [r for r in s.rows() if r.strip()][-1].endswith(" >"), 15, "ldapp")
    machine.type_text("a:\\apps\\ask.kvx")
    machine.send_key("ret")
    machine.eject_floppy()
    screen = until_last_row(machine, ("KVAL >",), "ldapp without its disk")
    assert any(r in ("Cannot find the executable.", "Invalid Executable.") for r in output_after(screen, "ldapp")), \
        screen
    machine.change_floppy(disks["a root of labels and deleted entries"][0])
    for line, answer, ending in (("dir", "a:", "KVAL >"), ("rdfile", "a:\\readme.txt", "KVAL >"),
                                 ("ldapp", "a:\\apps\\hello.kvx", "KVAL >")):
        run(machine, line, answer, ending)
    assert digest(disks["a root of labels and deleted entries"][0]) == disks["a root of labels and deleted entries"][1]
