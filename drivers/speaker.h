// The PC speaker, on channel 2 of the interval timer.
#pragma once

#include <stdint.h>

void speaker_beep();
void speaker_tone_on(uint32_t frequency);
void speaker_off();
// True from a tone's start until speaker_off.
bool speaker_is_sounding();
