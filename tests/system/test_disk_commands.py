"""The disk commands in QEMU: every prompt, dump, listing, pause and erased
pause as the shell prints them, compared screen by screen."""

import pytest

import console_model as cm
import fat12_image as fat
import images
from shell import Session

CANCELED = "\nThe action canceled by the user."
PAUSE = "\n---Press any key to continue"
QUESTION = '\nDo you want to continue reading ?\nPress "Enter" for yes or "ESC" for no.'
UPDATE = '\nAre you sure that you want to update the saved data of the floppy ?\nPress "Enter" for yes or "ESC" for no.'
HEADER = "\nName               Type             Size (Bytes)"
TEXT = "".join(f"line {n:03} of the kestrel's text.\n" for n in range(60)).encode()
FILES = {"ONE.TXT": TEXT[:300], "THREE.TXT": TEXT[:1300]}
FILES.update({f"F{n:02}.TXT": b"x" * n for n in range(1, 17)})  # 25 entries in the root


@pytest.fixture(scope="module")
def disk(release_image, tmp_path_factory):
    path = images.variant(release_image, tmp_path_factory.mktemp("disk") / "kval.img", files=FILES)
    with open(path, "rb") as f:
        return path, f.read()


@pytest.fixture(scope="module")
def session(module_boot, disk):
    return Session(module_boot(disk[0]))


def ask(session, command, question, answer):
    session.command(command).prints(cm.WHITE, question)
    return session.type(answer).enter() if answer else session.enter()


def pause_and_erase(session, then=cm.LIGHT_CYAN):
    column = session.console.x
    session.prints(cm.WHITE, PAUSE).expect()
    session.key("spc").console.color(then)
    for _ in range(109 - column):
        session.console.putc(8)


def test_rdsec_dumps_in_hex_and_ascii_and_refuses_what_it_cannot_read(session, disk):
    boot_sector = fat.sector(disk[1], 0)
    ask(session, "rdsec", "\nPlease enter the sector number > ", "0").prints(cm.LIGHT_MAGENTA, "\nSector 0 contents :\n")
    session.console.color(cm.LIGHT_CYAN)
    session.prints(cm.LIGHT_CYAN, "".join(f"0x{b:02X} " for b in boot_sector[:256]))
    session.prints(cm.WHITE, PAUSE + "\n").expect()
    session.key("spc").prints(cm.LIGHT_CYAN, "".join(f"0x{b:02X} " for b in boot_sector[256:])).prompt().expect()
    assert boot_sector[510:] == b"\x55\xAA"

    root = fat.sector(disk[1], 19)
    ask(session, "rdsecascii", "\nPlease enter the sector number > ", "19").prints(cm.LIGHT_MAGENTA,
                                                                                  "\nSector 19 contents :\n")
    session.console.color(cm.LIGHT_CYAN).puts(root[:256])
    pause_and_erase(session)
    session.console.puts(root[256:])
    session.prompt().expect()

    for answer, output in (("899", None), ("900", (cm.LIGHT_RED, "\nPlease Choose a sector between 0 and 899")),
                           ("-1", (cm.LIGHT_RED, "\nError while reading the sector -1")),
                           ("", (cm.LIGHT_CYAN, CANCELED))):
        ask(session, "rdsecascii" if answer == "899" else "rdsec", "\nPlease enter the sector number > ", answer)
        if answer == "899":
            data = fat.sector(disk[1], 899)
            session.prints(cm.LIGHT_MAGENTA, "\nSector 899 contents :\n").console.color(cm.LIGHT_CYAN).puts(data[:256])
            pause_and_erase(session)
            session.console.puts(data[256:])
        elif answer == "-1":
            session.prints(cm.LIGHT_MAGENTA, "\nSector -1 contents :\n").prints(*output)
        else:
            session.prints(*output)
        session.prompt().expect()


def test_rdfile_shows_cluster_by_cluster_and_asks_between_them(session, disk):
    image = disk[1]
    for name, questions in (("ONE.TXT", 0), ("THREE.TXT", 2)):
        first, _ = fat.find(image, name)
        sectors = fat.clusters(image, first)
        assert len(sectors) == questions + 1
        ask(session, "rdfile", "\nPlease enter the file path > ", name.lower())
        session.prints(cm.LIGHT_MAGENTA, f"\n**************[{name}]**************\n").console.color(cm.LIGHT_CYAN)
        for n, data in enumerate(sectors):
            session.console.puts(data[:256])
            pause_and_erase(session)
            session.console.puts(data[256:])
            if n < questions:
                column = session.console.x
                session.prints(cm.WHITE, QUESTION).expect()
                session.enter().console.color(cm.WHITE)
                for _ in range(200 - column):
                    session.console.putc(8)
                session.console.color(cm.LIGHT_CYAN)
        session.prompt().expect()
    # A folder, and a missing file (the file system's own message, the same words).
    for answer, output in (("a:\\docs", (cm.LIGHT_RED, "\nInvalid File")),
                           ("missing.txt", (cm.LIGHT_RED, "\nInvalid File")), ("", (cm.LIGHT_CYAN, CANCELED))):
        ask(session, "rdfile", "\nPlease enter the file path > ", answer).prints(*output).prompt().expect()


def listing(session, entries):
    session.prints(cm.LIGHT_CYAN, HEADER).console.color(cm.WHITE)
    for n, (name, folder, size) in enumerate(entries, 1):
        column = "       <DIR>            " if folder else f"       File             {size}"
        session.console.puts("\n" + name.ljust(12) + column)
        if n % 10 == 0:
            session.prints(cm.LIGHT_GREEN, "\nPress Any Key To Continue...").expect()
            session.key("spc").console.color(cm.WHITE)


def test_dir_lists_the_root_and_folders_with_a_pause_every_ten_rows(session, disk):
    root = fat.listed(fat.root(disk[1]))
    assert len(root) == 25
    for path in ("a:", "A:\\"):
        ask(session, "dir", "\nPlease enter the path to dir > ", path)
        listing(session, root)
        session.prompt().expect()
    first, _ = fat.find(disk[1], "DOCS")
    docs = fat.listed(b"".join(fat.clusters(disk[1], first)))
    for path in ("a:\\docs\\", "a:\\docs", "docs"):
        ask(session, "dir", "\nPlease enter the path to dir > ", path)
        listing(session, docs)
        session.prompt().expect()
    ask(session, "dir", "\nPlease enter the path to dir > ", "a:\\one.txt").prints(cm.LIGHT_RED, "\nInvalid Folder.")
    session.prompt().expect()
    ask(session, "dir", "\nPlease enter the path to dir > ", "").prints(cm.LIGHT_CYAN, CANCELED).prompt().expect()


def test_upflpy_after_a_disk_change(session, release_image, tmp_path):
    session.command("upflpy").prints(cm.WHITE, UPDATE).expect()
    session.key("esc").prompt().expect()

    session.machine.eject_floppy()
    session.command("upflpy").prints(cm.WHITE, UPDATE).expect()
    session.enter().prints(cm.WHITE, "\n\nPlease wait while updating...")
    session.prints(cm.LIGHT_RED, "\n\nFATAL ERROR : Floppy Disk data updating failed.").prompt().expect(timeout=60)

    other = images.variant(release_image, tmp_path / "other.img", files={"NEWDISK.TXT": b"new"})
    session.machine.change_floppy(other)
    session.command("upflpy").prints(cm.WHITE, UPDATE).expect()
    session.enter().prints(cm.WHITE, "\n\nPlease wait while updating...")
    session.prints(cm.LIGHT_CYAN, "\n\nData Updating succeeded").prompt().expect(timeout=60)
    with open(other, "rb") as f:
        entries = fat.listed(fat.root(f.read()))
    assert ("newdisk.txt", False, 3) in entries
    ask(session, "dir", "\nPlease enter the path to dir > ", "a:")
    listing(session, entries)
    session.prompt().expect()
