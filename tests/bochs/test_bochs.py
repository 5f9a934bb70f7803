"""The release image in Bochs, a second and stricter PC than QEMU: the welcome
screen at 16 and 2048 MiB, the main commands with the screens the QEMU tests
expect, a picture in graphics mode, restart and ACPI power-off."""

import struct
import time

import pytest

import console_model as cm
import fat12_image as fat
import screens
import shell
from bochs import POWER_OFF, RESET
from shell import Session
from test_disk_commands import PAUSE, ask, listing
from test_pictures import INFO, PICTURES, QUESTION as BMP_QUESTION, picture_pixels
from test_shell import HELP, QUESTION

SIZES = (16, 2048)


@pytest.fixture(scope="module")
def machines(module_boot, release_image):
    # Booted together: start-up mostly waits on the timer, and Bochs lets a
    # halted processor cost nothing.
    return {mb: module_boot(release_image, memory=mb) for mb in SIZES}


@pytest.fixture(scope="module")
def sessions(machines):
    out = {}
    for mb, machine in machines.items():
        machine.wait_for_prompt(timeout=180)
        print(f"megs {mb}: boot to the first prompt in {time.monotonic() - machine.started_at:.1f} s")
        out[mb] = Session(machine)
    return out


@pytest.fixture(scope="module")
def image(release_image):
    with open(release_image, "rb") as f:
        return f.read()


def test_welcome_screen_and_memory_at_16_and_2048_mib(sessions):
    for mb, session in sessions.items():
        screen = session.machine.screen()
        problems = screens.welcome_differences(screen) + screens.logo_problems(screen)
        assert not problems, f"megs {mb}:\n" + "\n".join(problems[:40]) + f"\n{screen}"
        figures = [int(row.split("=")[1].split()[0]) for row in shell.mem(session)]
        memory, free, used = figures
        assert memory == mb * 1024 and free + used == memory and 0 < used < 16384 // 2, figures


def test_help_dir_and_rdsec(sessions, image):
    session = sessions[16]
    session.command("help").prints(cm.LIGHT_CYAN, HELP).prompt().expect()

    ask(session, "dir", "\nPlease enter the path to dir > ", "a:")
    listing(session, fat.listed(fat.root(image)))
    session.prompt().expect()

    boot_sector = fat.sector(image, 0)
    ask(session, "rdsec", "\nPlease enter the sector number > ", "0").prints(cm.LIGHT_MAGENTA, "\nSector 0 contents :\n")
    session.prints(cm.LIGHT_CYAN, "".join(f"0x{b:02X} " for b in boot_sector[:256]))
    session.prints(cm.WHITE, PAUSE + "\n").expect()
    session.key("spc").prints(cm.LIGHT_CYAN, "".join(f"0x{b:02X} " for b in boot_sector[256:])).prompt().expect()


def test_an_application_runs_and_ends(sessions):
    session = sessions[16]
    shell.ldapp(session, "a:\\apps\\hello.kvx").prints(cm.LIGHT_GREEN, "\nHello from a KVAL application!")
    session.prints(cm.WHITE, "\nKVAL version code 703.").prompt().expect()
    shell.procs(session)


def pixel_indices(path):
    """{(x, y): colour index} of an 8-bit bottom-up BMP file."""
    with open(path, "rb") as f:
        data = f.read()
    offset, = struct.unpack_from("<I", data, 10)
    width, height = struct.unpack_from("<ii", data, 18)
    stride = (width + 3) & ~3
    return {(x, y): data[offset + (height - 1 - y) * stride + x] for y in range(height) for x in range(width)}


def level(rgb):
    """An (r, g, b) colour in the levels of Bochs's display: 3, 3 and 2 bits."""
    return rgb[0] * 7 // 255, rgb[1] * 7 // 255, rgb[2] * 3 // 255


def test_a_picture_in_graphics_mode_and_back(sessions):
    session, machine = sessions[16], sessions[16].machine
    session.command("ldbmp").prints(cm.LIGHT_CYAN, INFO).prints(cm.WHITE, BMP_QUESTION)
    session.type("a:\\pics\\vale.bmp").enter()
    # Mode 13h: graphics, chain-4, the 64 KiB window at 0xA0000.
    machine.wait_for(lambda: machine.vga_state().get("sequencer.chain_four") == "1", 30, "graphics mode")
    state = machine.vga_state()
    assert (state["graphics_ctrl.graphics_alpha"], state["graphics_ctrl.memory_mapping"]) == ("1", "1"), state

    path = PICTURES / "vale.bmp"
    indices = pixel_indices(path)
    width, height, colours, _ = picture_pixels(path)
    assert (width, height) == (320, 200)
    wanted = bytes(indices[x, y] for y in range(200) for x in range(320))
    machine.wait_for(lambda: machine.memsave(0xA0000, 64000) == wanted, 30, "the picture in VGA memory")

    # What the display shows: each pixel's palette colour, in the display's
    # 3-3-2 bits (a level of rounding either way allowed).
    def wrong():
        found = []
        for (x, y), rgb in colours.items():
            shown, want = machine.display_rgb(2 * x, 2 * y), level(rgb)
            if any(abs(a - b) > 1 for a, b in zip(shown, want)):
                found.append(((x, y), shown, want))
        return found
    updates = machine.rfb_updates()
    machine.wait_for(lambda: machine.rfb_updates() > updates + 1 and not wrong(), 30, "the picture on the display")

    session.key("spc").prompt().expect()


def test_restart_then_shutdown(sessions):
    session, machine = sessions[2048], sessions[2048].machine
    session.command("restart").prints(cm.WHITE, QUESTION.format("restart")).expect()
    session.enter()
    machine.wait_for_log(RESET, timeout=60)
    machine.wait_for_prompt(timeout=180)

    session = Session(machine)
    session.command("shutdown").prints(cm.WHITE, QUESTION.format("shutdown")).expect()
    session.enter()
    machine.wait_exit(timeout=60)
    assert POWER_OFF in machine.bochs_log()


def test_shutdown_powers_off(sessions):
    session, machine = sessions[16], sessions[16].machine
    session.command("shutdown").prints(cm.WHITE, QUESTION.format("shutdown")).expect()
    session.enter().prints(cm.LIGHT_CYAN, "\n\n\nKVAL is shutting down...").expect()
    machine.wait_exit(timeout=60)
    assert POWER_OFF in machine.bochs_log()
