// The interval timer's 100 Hz tick, the ten software timers and the sleep
// built on them.
#pragma once

#include <stdint.h>

constexpr uint32_t TICK_HZ = 100;  // one tick is 10 ms

// The 8253/8254 interval timer: channel 0 drives the tick, channel 2 the
// speaker. Its input clock runs at 1.193181 MHz.
constexpr uint16_t PIT_CHANNEL0_DATA = 0x40;
constexpr uint16_t PIT_CHANNEL2_DATA = 0x42;
constexpr uint16_t PIT_COMMAND = 0x43;
constexpr uint32_t PIT_INPUT_HZ = 1193181;
constexpr int32_t SOFT_TIMER_COUNT = 10;

struct [[gnu::packed]] SoftTimer {
    int32_t id;       // the slot's index while allocated, -1 while free
    uint8_t running;  // 1: counts ticks
    uint32_t count;   // ticks since the last reset
    uint8_t free;     // 1: slot free
    uint32_t limit;   // stops by itself when count reaches it; 0: no limit
};

static_assert(sizeof(SoftTimer) == 14);
static_assert(__builtin_offsetof(SoftTimer, running) == 4);
static_assert(__builtin_offsetof(SoftTimer, count) == 5);
static_assert(__builtin_offsetof(SoftTimer, free) == 9);
static_assert(__builtin_offsetof(SoftTimer, limit) == 10);

// Programs channel 0, frees every software timer and zeroes the scheduling
// counters below.
void pit_init();
// Ticks since the last task switch (counted while switching is off too).
uint32_t timer_ticks_since_switch();
// The length in ticks of the last slice that ended in a switch.
uint32_t last_slice_ticks_get();
// The ten slots, read-only, for whoever needs to look at all of them.
const SoftTimer* soft_timer_table();

// A timer id is accepted while its slot is allocated; operations on any other
// id return false or 0 and change nothing.
void timers_reset_all();
// The first free slot's index, or -1 when all ten are in use.
int32_t timer_create(uint8_t running, uint32_t limit);
bool timer_destroy(int32_t id);
uint32_t timer_get_count(int32_t id);
bool timer_set_running(int32_t id, uint8_t flag);
bool timer_reset(int32_t id);
bool timer_set_limit(int32_t id, uint32_t limit);
uint8_t timer_is_free(int32_t id);  // 1 also for an id outside 0-9
uint8_t timer_get_running(int32_t id);

// Allocates the sleep timer every timer_sleep shares (once; again after
// timers_reset_all).
void sleep_timer_init();
// Busy-waits `ticks` ticks of 10 ms; needs timer interrupts. Allocates the
// sleep timer if nobody has; returns at once if no slot is left for it.
// Sleepers in several processes each keep their own deadline.
void timer_sleep(uint32_t ticks);
// Sleeps as timer_sleep does, but wakes as soon as an interrupt handler has
// set `*flag`; true when it did so before the `ticks` were over.
bool timer_sleep_until(uint32_t ticks, const volatile uint8_t* flag);
// Lengths beyond 2^32 - 1 ticks are cut to that.
void sleep_seconds(uint32_t seconds);
void sleep_minutes(uint32_t minutes);
