// The PC speaker: channel 2 of the 8253/8254 interval timer makes a square
// wave, and two bits of system control port B gate it onto the speaker.
#include "drivers/speaker.h"

#include "cpu/timer.h"
#include "lib/port.h"

namespace {

bool sounding = false;  // a tone has been connected and not yet turned off

constexpr uint16_t SYSTEM_CONTROL_B_PORT = 0x61;

// Channel 2, low byte then high byte, mode 3 (square wave), binary counting.
constexpr uint8_t PIT_CHANNEL2_SQUARE_WAVE = 0xB6;

// Port B bit 0 gates timer channel 2, bit 1 connects its output to the speaker.
constexpr uint8_t SPEAKER_GATE = 0x01;
constexpr uint8_t SPEAKER_DATA = 0x02;
constexpr uint8_t SPEAKER_ON = SPEAKER_GATE | SPEAKER_DATA;

constexpr uint16_t BEEP_DIVISOR = 0x0952;  // 1193181 / 2386: about 500 Hz
constexpr uint32_t BEEP_TICKS = 20;        // 200 ms

// The counter holds 16 bits and mode 3 needs a count of at least 2. Below
// about 18.2 Hz the divisor would lose its top bits, and above 1193181 Hz it
// would be 0, which the timer counts as 65536; either way an unrelated tone
// would play. Divisors are clamped to the nearest tones the timer can make.
constexpr uint32_t DIVISOR_MIN = 2;
constexpr uint32_t DIVISOR_MAX = 0xFFFF;

void speaker_program(uint16_t divisor)
{
    port_out8(PIT_COMMAND, PIT_CHANNEL2_SQUARE_WAVE);
    port_out8(PIT_CHANNEL2_DATA, static_cast<uint8_t>(divisor & 0xFF));
    port_out8(PIT_CHANNEL2_DATA, static_cast<uint8_t>(divisor >> 8));
}

void speaker_connect()
{
    sounding = true;
    const uint8_t control = port_in8(SYSTEM_CONTROL_B_PORT);
    if ((control & SPEAKER_ON) != SPEAKER_ON) {
        port_out8(SYSTEM_CONTROL_B_PORT, control | SPEAKER_ON);
    }
}

uint16_t speaker_divisor(uint32_t frequency)
{
    uint32_t divisor = PIT_INPUT_HZ / frequency;
    if (divisor < DIVISOR_MIN) {
        divisor = DIVISOR_MIN;
    }
    if (divisor > DIVISOR_MAX) {
        divisor = DIVISOR_MAX;
    }
    return static_cast<uint16_t>(divisor);
}

}  // namespace

// Needs timer interrupts enabled: the length is measured in ticks.
void speaker_beep()
{
    speaker_program(BEEP_DIVISOR);
    speaker_connect();
    timer_sleep(BEEP_TICKS);
    speaker_off();
}

void speaker_tone_on(uint32_t frequency)
{
    if (frequency == 0) {
        return;
    }
    speaker_program(speaker_divisor(frequency));
    speaker_connect();
}

// The other bits of port B belong to the rest of the board and are kept.
bool speaker_is_sounding()
{
    return sounding;
}

void speaker_off()
{
    sounding = false;
    const uint8_t control = port_in8(SYSTEM_CONTROL_B_PORT);
    port_out8(SYSTEM_CONTROL_B_PORT, control & static_cast<uint8_t>(~SPEAKER_ON));
}
