// The interval timer's 100 Hz tick, the ten software timers and the sleep
// built on them.
#pragma once

#include <stdint.h>

constexpr uint32_t TICK_HZ = 100;  // one tick is 10 ms
constexpr int32_t SOFT_TIMER_COUNT = 10;

struct [[gnu::packed]] SoftTimer {
    int32_t id;       // the slot's index while allocated, -1 while free
    uint8_t running;  // 1: counts ticks
    uint32_t count;   // ticks since the last reset
    uint8_t free;     // 1: slot free
    uint32_t limit;   // stops by itself when count reaches it; 0: no limit
};

extern SoftTimer soft_timers[SOFT_TIMER_COUNT];
// Scheduling counters shared with the process manager.
extern uint32_t ticks_since_switch;
extern uint32_t last_slice_ticks;

void pit_init();
uint32_t last_slice_ticks_get();

void timers_reset_all();
int32_t timer_create(uint8_t running, uint32_t limit);
bool timer_destroy(int32_t id);
uint32_t timer_get_count(int32_t id);
bool timer_set_running(int32_t id, uint8_t flag);
bool timer_reset(int32_t id);
bool timer_set_limit(int32_t id, uint32_t limit);
uint8_t timer_is_free(int32_t id);
uint8_t timer_get_running(int32_t id);

void sleep_timer_init();
void timer_sleep(uint32_t ticks);
void sleep_seconds(uint32_t seconds);
void sleep_minutes(uint32_t minutes);
