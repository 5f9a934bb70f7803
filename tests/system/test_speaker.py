"""The beep as QEMU's PC speaker plays it: about 500 Hz for about 200 ms."""

from kval import analyse_tone


def test_beep_is_about_500_hz_for_about_200_ms(boot, test_image):
    machine = boot(test_image, test="beep", audio=True)
    machine.wait_for_test_line("beep done")
    rate, samples = machine.speaker_samples()
    frequency, duration = analyse_tone(rate, samples)
    print(f"beep: {frequency:.1f} Hz for {duration * 1000:.0f} ms")
    assert 450 <= frequency <= 550
    assert 0.120 <= duration <= 0.400
