"""The release image boots to the welcome screen, the same with any RAM size from 16 MiB."""

import pytest

import screens

WELCOME_ROWS = range(25)


def test_welcome_screen_texts_and_colours(welcomed):
    _, screen = welcomed
    problems = screens.welcome_differences(screen, WELCOME_ROWS)
    assert not problems, "\n".join(problems[:40]) + f"\n{screen}"


def test_logo_spells_kval_in_shadowed_block_letters(welcomed):
    _, screen = welcomed
    problems = screens.logo_problems(screen)
    assert not problems, "\n".join(problems)


OTHER_SIZES = [16, 256, 2048, 4096]


@pytest.fixture(scope="module")
def sized(module_boot, release_image):
    # Booted together: start-up mostly waits on the timer, so they overlap well.
    return {mb: module_boot(release_image, memory=mb) for mb in OTHER_SIZES}


@pytest.mark.parametrize("memory", OTHER_SIZES)
def test_boots_the_same_with_any_ram_size(sized, welcomed, memory):
    machine = sized[memory]
    screen = machine.wait_for_prompt()
    machine.pause()
    problems = screens.welcome_differences(screen, WELCOME_ROWS)
    assert not problems, "\n".join(problems[:40]) + f"\n{screen}"
    reference = welcomed[1]
    assert [screen.chars(y) for y in screens.LOGO_ROWS] == \
           [reference.chars(y) for y in screens.LOGO_ROWS], "the logo differs from -m 32"
