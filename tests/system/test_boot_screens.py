"""The start-up screens in QEMU: the banner, the box and its progress bar with
every step's text, and the splash picture for five seconds."""

import time

import console_model as cm
import images
from test_pictures import picture_pixels, screendump
from conftest import ROOT

CREDIT_LINE = "KVAL: a small protected-mode kernel, written to be read"
STEPS = [("Initializing CPU", 1), ("Initializing RAM", 1), ("Initializing Hardware", 4),
         ("Initializing Memory Managers", 3), ("Initializing OS Environment", 1), ("Initializing Drivers", 1),
         ("Initializing System Data", 49), ("Completing initialization", 10), ("Starting", 10)]
BLOCK = bytes([219])


def start_up_screen():
    """The screen once every step has been drawn: 72 blocks; "Starting" would overflow the bar."""
    c = cm.Console().clear()
    c.print(cm.WHITE, "\nIn The Name Of Allah, The Most Gracious, The Most Merciful")
    c.at(0, 5).puts("Kestrel Vale (KVAL) Version : 0.0.7 Alpha - 3").puts("\nDeveloped By : The Kestrel Vale developers")
    c.print(cm.YELLOW, "\n\nPlease wait...")
    c.color(cm.LIGHT_GREEN).at(0, 11).puts(bytes([201]) + bytes([205]) * 78 + bytes([187])).puts(bytes([186]))
    c.at(79, 12).puts(bytes([186])).at(0, 13).puts(bytes([200]) + bytes([205]) * 78 + bytes([188]))
    c.at(1, 12).puts(BLOCK * 2)
    c.color(cm.LIGHT_CYAN).at(0, 14).puts("Preparing the OS to start initializing...")
    c.color(cm.WHITE).at(25, 24).puts(CREDIT_LINE)
    fill = 2
    for text, blocks in STEPS:
        if fill + blocks > 79 or len(text) >= 76:
            continue
        c.at(0, 14).puts(" " * 80)
        c.color(cm.LIGHT_GREEN).at(fill + 1, 12).puts(BLOCK * blocks)
        fill += blocks
        c.at(0, 14).puts(text + "...")
    assert fill == 72
    return c.screen()


def test_without_a_splash_picture_the_start_up_screen_stays_for_five_seconds(boot, release_image, tmp_path):
    machine = boot(images.variant(release_image, tmp_path / "kval.img", remove=["splash.bmp"]))
    expected = start_up_screen()
    machine.wait_for_screen(lambda s: s.row(14).startswith("Completing initialization"), what="the last step")
    seen = time.monotonic()
    cm.assert_screen(machine.screen(), expected)
    machine.wait_for_prompt()
    assert time.monotonic() - seen > 4, "the start-up screen stays while the splash would show"


def test_the_splash_shows_for_five_seconds_then_the_welcome_screen(boot, release_image):
    machine = boot(release_image)
    width, height, pixels, surround = picture_pixels(ROOT / "build" / "pictures" / "splash.bmp")
    machine.wait_for(lambda: screendump(machine)[:2] == (640, 400), 30, "the splash in graphics mode")
    seen = time.monotonic()

    def wrong_pixels():
        shown = screendump(machine)[2]
        wrong = 0
        for y in range(0, 200, 3):
            for x in range(0, 320, 3):
                want = pixels.get((x - 32, y - 36), surround)
                at = 3 * (2 * y * 640 + 2 * x)
                wrong += tuple(v >> 2 for v in shown[at:at + 3]) != tuple(v >> 2 for v in want)
        return wrong

    # The mode is switched before the picture is drawn: it must be whole
    # well within the five seconds.
    machine.wait_for(lambda: wrong_pixels() == 0, 3, "splash.bmp drawn at (32, 36)")
    machine.wait_for_prompt()
    assert time.monotonic() - seen > 4
