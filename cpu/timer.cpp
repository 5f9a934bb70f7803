// Channel 0 of the 8253/8254 interval timer as the system's 100 Hz tick, the
// ten software timers it advances, and the kernel's sleep built on them.
#include "cpu/timer.h"

#include "cpu/idt.h"
#include "cpu/isr.h"
#include "cpu/pic.h"
#include "lib/cpu.h"
#include "lib/port.h"
#include "proc/process.h"

namespace {

// Channel 0, access low byte then high byte, mode 3 (square wave), binary.
constexpr uint8_t PIT_CHANNEL0_SQUARE_WAVE = 0x36;
// 1193181 / 11931 is 100 Hz.
constexpr uint16_t PIT_DIVISOR = 11931;
static_assert(PIT_DIVISOR == 0x2E9B);
static_assert(PIT_INPUT_HZ / PIT_DIVISOR == TICK_HZ);

constexpr uint8_t TIMER_LINE = 0;
constexpr int32_t TIMER_VECTOR = PIC_VECTOR_BASE + TIMER_LINE;

constexpr int32_t NO_TIMER = -1;
constexpr uint32_t NO_LIMIT = 0;
constexpr uint32_t TICKS_PER_SECOND = TICK_HZ;
constexpr uint32_t TICKS_PER_MINUTE = 60 * TICK_HZ;
constexpr uint32_t MAX_TICKS = 0xFFFFFFFF;

constexpr SoftTimer FREE_TIMER = {NO_TIMER, 0, 0, 1, NO_LIMIT};

// Free from load time, so a timer created before pit_init gets a real slot.
SoftTimer soft_timers[SOFT_TIMER_COUNT] = {
    FREE_TIMER, FREE_TIMER, FREE_TIMER, FREE_TIMER, FREE_TIMER,
    FREE_TIMER, FREE_TIMER, FREE_TIMER, FREE_TIMER, FREE_TIMER,
};
// The scheduling counters the tick keeps for the process manager.
uint32_t ticks_since_switch = 0;
uint32_t last_slice_ticks = 0;

// The one timer every timer_sleep reads.
int32_t sleep_timer = NO_TIMER;

bool timer_accepted(int32_t id)
{
    return id >= 0 && id < SOFT_TIMER_COUNT && soft_timers[id].id == id && soft_timers[id].free == 0;
}

// Ticks for `count` units of `ticks_per_unit`, held at the largest count a
// timer can reach instead of wrapping round to a short wait.
uint32_t ticks_for(uint32_t count, uint32_t ticks_per_unit)
{
    return count > MAX_TICKS / ticks_per_unit ? MAX_TICKS : count * ticks_per_unit;
}

void soft_timers_step()
{
    for (SoftTimer& timer : soft_timers) {
        if (timer.running != 1) {
            continue;
        }
        if (timer.count == timer.limit && timer.limit != NO_LIMIT) {
            timer.running = 0;
        } else {
            ++timer.count;
        }
    }
}

}  // namespace

void pit_init()
{
    ticks_since_switch = 0;
    last_slice_ticks = 0;
    port_out8(PIT_COMMAND, PIT_CHANNEL0_SQUARE_WAVE);
    port_out8(PIT_CHANNEL0_DATA, static_cast<uint8_t>(PIT_DIVISOR & 0xFF));
    port_out8(PIT_CHANNEL0_DATA, static_cast<uint8_t>(PIT_DIVISOR >> 8));
    timers_reset_all();
    idt_set_gate(TIMER_VECTOR, timer_irq, false);
}

uint32_t timer_ticks_since_switch()
{
    return ticks_since_switch;
}

uint32_t last_slice_ticks_get()
{
    return last_slice_ticks;
}

const SoftTimer* soft_timer_table()
{
    return soft_timers;
}

// The frame is the stub's business: it hands it to task_switch itself when
// this asks for a switch.
extern "C" uint32_t timer_tick(uint32_t /*frame*/)
{
    soft_timers_step();
    pic_send_eoi(TIMER_LINE);

    if (scheduler_is_enabled() == 1 && ticks_since_switch >= process_current_time_slice()) {
        last_slice_ticks = ticks_since_switch;
        ticks_since_switch = 0;
        return 1;
    }
    ++ticks_since_switch;
    return 0;
}

// ---- software timers ----

void timers_reset_all()
{
    for (SoftTimer& timer : soft_timers) {
        timer = FREE_TIMER;
    }
    // Every slot is free now; the old sleep timer id may go to someone else.
    sleep_timer = NO_TIMER;
}

int32_t timer_create(uint8_t running, uint32_t limit)
{
    for (int32_t index = 0; index < SOFT_TIMER_COUNT; ++index) {
        SoftTimer& timer = soft_timers[index];
        if (timer.free != 1) {
            continue;
        }
        timer.id = index;
        timer.running = running;
        timer.count = 0;
        timer.limit = limit;
        timer.free = 0;
        return index;
    }
    return NO_TIMER;
}

bool timer_destroy(int32_t id)
{
    if (!timer_accepted(id)) {
        return false;
    }
    soft_timers[id] = FREE_TIMER;
    return true;
}

uint32_t timer_get_count(int32_t id)
{
    return timer_accepted(id) ? soft_timers[id].count : 0;
}

bool timer_set_running(int32_t id, uint8_t flag)
{
    if (!timer_accepted(id)) {
        return false;
    }
    soft_timers[id].running = flag;
    return true;
}

bool timer_reset(int32_t id)
{
    if (!timer_accepted(id)) {
        return false;
    }
    soft_timers[id].count = 0;
    return true;
}

bool timer_set_limit(int32_t id, uint32_t limit)
{
    if (!timer_accepted(id)) {
        return false;
    }
    soft_timers[id].limit = limit;
    return true;
}

uint8_t timer_is_free(int32_t id)
{
    return id >= 0 && id < SOFT_TIMER_COUNT ? soft_timers[id].free : 1;
}

uint8_t timer_get_running(int32_t id)
{
    return timer_accepted(id) ? soft_timers[id].running : 0;
}

// ---- waiting ----

void sleep_timer_init()
{
    if (!timer_accepted(sleep_timer)) {
        sleep_timer = timer_create(0, NO_LIMIT);
    }
}

// Halts in the calling process from tick to tick; the tick switches it out
// meanwhile as it would a spinning one. Sleepers in several processes share
// the one sleep timer, so none of them may restart it: it runs without a
// limit and is never reset, a clock that only moves on, and each sleeper
// waits until it has moved `ticks` past the count it saw when it began.
// Unsigned differences stay right when the count wraps round after 497 days.
void timer_sleep(uint32_t ticks)
{
    sleep_timer_init();
    if (!timer_accepted(sleep_timer)) {
        return;  // every slot taken: there is no clock to wait on
    }
    timer_set_running(sleep_timer, 1);
    const uint32_t began = timer_get_count(sleep_timer);
    cpu_wait_until([&] { return !timer_accepted(sleep_timer) || timer_get_count(sleep_timer) - began >= ticks; });
}

bool timer_sleep_until(uint32_t ticks, const volatile uint8_t* flag)
{
    sleep_timer_init();
    if (!timer_accepted(sleep_timer)) {
        return *flag != 0;
    }
    timer_set_running(sleep_timer, 1);
    const uint32_t began = timer_get_count(sleep_timer);
    cpu_wait_until(
        [&] { return *flag != 0 || !timer_accepted(sleep_timer) || timer_get_count(sleep_timer) - began >= ticks; });
    return *flag != 0;
}

void sleep_seconds(uint32_t seconds)
{
    timer_sleep(ticks_for(seconds, TICKS_PER_SECOND));
}

void sleep_minutes(uint32_t minutes)
{
    timer_sleep(ticks_for(minutes, TICKS_PER_MINUTE));
}
