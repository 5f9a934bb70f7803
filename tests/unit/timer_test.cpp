// The interval timer, the tick's three steps, the software timers and the
// sleep built on them.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "cpu/idt.h"
#include "cpu/isr.h"
#include "cpu/timer.h"
#include "fakes/hw_test.h"
#include "fakes/processes.h"
#include "proc/process.h"

namespace {

using Writes = std::vector<fake::PortAccess>;
fake::PortAccess out8(uint16_t port, uint32_t value)
{
    return {port, value, 8};
}

class TimerTest : public HardwareTest {
protected:
    void SetUp() override
    {
        HardwareTest::SetUp();
        pit_init();
        fake::port_writes.clear();
        fake::relax_limit = 1000;
    }
    void TearDown() override { fake::processes::shut_down(); }

    // The whole timer table, to compare before and after.
    static std::string table()
    {
        return {reinterpret_cast<const char*>(soft_timer_table()), SOFT_TIMER_COUNT * sizeof(SoftTimer)};
    }
    static void ticks(int n)
    {
        for (int i = 0; i < n; ++i) {
            timer_tick(0);
        }
    }
    // Every busy-wait turn is one tick of 10 ms; returns the turns `sleep` took.
    template <typename Sleep>
    static int turns_of(Sleep sleep)
    {
        fake::on_relax = [] { timer_tick(0); };
        fake::relax_calls = 0;
        sleep();
        return fake::relax_calls;
    }
};

TEST_F(TimerTest, PitInitProgramsChannelZeroAt100HzAndOpensLineZero)
{
    idt_init();
    const int32_t early = timer_create(1, 0);
    fake::port_writes.clear();
    fake::set_default_read(0x21, 0xFF);

    pit_init();

    // Vector 32's gate is checked in the running system.
    EXPECT_EQ(fake::port_writes, (Writes{out8(0x43, 0x36), out8(0x40, 0x9B), out8(0x40, 0x2E), out8(0x21, 0xFE)}));
    EXPECT_EQ(timer_is_free(early), 1) << "pit_init starts with every timer free";
}

TEST_F(TimerTest, TimerWithLimitFiveStopsAtCountFiveAndOneWithoutNeverStops)
{
    const int32_t id = timer_create(1, 5);
    const int32_t endless = timer_create(1, 0);
    const int32_t stopped = timer_create(0, 3);
    ticks(5);
    EXPECT_EQ(timer_get_count(id), 5u);
    EXPECT_EQ(timer_get_running(id), 1);
    ticks(1);
    EXPECT_EQ(timer_get_count(id), 5u);
    EXPECT_EQ(timer_get_running(id), 0);
    ticks(994);
    EXPECT_EQ(timer_get_count(id), 5u);
    EXPECT_EQ(timer_get_count(endless), 1000u);
    EXPECT_EQ(timer_get_count(stopped), 0u);
}

TEST_F(TimerTest, EleventhTimerCreateFailsOnceTheSleepTimerAndNineMoreExist)
{
    sleep_timer_init();
    for (int32_t expected = 1; expected <= 9; ++expected) {
        EXPECT_EQ(timer_create(0, 0), expected);
    }
    const std::string before = table();
    EXPECT_EQ(timer_create(1, 7), -1);
    EXPECT_EQ(table(), before);

    EXPECT_TRUE(timer_destroy(4));
    EXPECT_EQ(timer_create(0, 0), 4) << "a destroyed slot is the next one handed out";
}

TEST_F(TimerTest, IdsThatAreNotAllocatedAreRefused)
{
    const int32_t id = timer_create(1, 0);
    ticks(3);
    EXPECT_TRUE(timer_destroy(id));
    for (int32_t bad : {id, -1, 10, 1000}) {
        EXPECT_EQ(timer_get_count(bad), 0u) << bad;
        EXPECT_FALSE(timer_destroy(bad)) << bad;
        EXPECT_FALSE(timer_set_running(bad, 1)) << bad;
        EXPECT_FALSE(timer_reset(bad)) << bad;
        EXPECT_FALSE(timer_set_limit(bad, 4)) << bad;
        EXPECT_EQ(timer_is_free(bad), 1) << bad;
    }
    ticks(1);
    EXPECT_EQ(soft_timer_table()[id].count, 0u) << "a refused set_running must not start a free slot";
}

TEST_F(TimerTest, TickAcknowledgesLineZeroAndAsksForASwitchOnceTheSliceIsUsedUp)
{
    EXPECT_EQ(timer_tick(0), 0u);
    EXPECT_EQ(fake::port_writes, (Writes{out8(0x20, 0x20)}));
    ticks(9);
    EXPECT_EQ(timer_ticks_since_switch(), 10u) << "counts while switching is off";
    EXPECT_EQ(last_slice_ticks_get(), 0u);

    fake::processes::boot();
    ASSERT_EQ(process_add(fake::processes::record("THREE", PROCESS_APPLICATION, 3)), 0);
    ASSERT_EQ(process_add(fake::processes::record("NONE", PROCESS_APPLICATION, 0)), 0);
    fake::processes::run(1);
    scheduler_set_enabled(1);
    pit_init();  // the count starts again from 0
    const int32_t id = timer_create(1, 0);
    std::vector<uint32_t> answers;
    for (int i = 0; i < 9; ++i) {
        answers.push_back(timer_tick(0));
    }
    // s + 1 ticks per turn: three ticks count, the fourth switches.
    EXPECT_EQ(answers, (std::vector<uint32_t>{0, 0, 0, 1, 0, 0, 0, 1, 0}));
    EXPECT_EQ(last_slice_ticks_get(), 3u);
    EXPECT_EQ(timer_ticks_since_switch(), 1u);
    EXPECT_EQ(timer_get_count(id), 9u) << "software timers advance on switching ticks too";
    EXPECT_EQ(fake::writes_to(0x20).size(), 19u);

    fake::processes::run(2);  // time slice 0: one tick per turn
    EXPECT_EQ(timer_tick(0), 1u);
    EXPECT_EQ(timer_tick(0), 1u);
    EXPECT_EQ(last_slice_ticks_get(), 0u);
}

TEST_F(TimerTest, SleepWaitsExactlyTheGivenTicksEvenBeforeSleepTimerInit)
{
    EXPECT_EQ(turns_of([] { timer_sleep(25); }), 25) << "before sleep_timer_init";
    sleep_timer_init();
    EXPECT_EQ(turns_of([] { timer_sleep(100); }), 100);
    EXPECT_EQ(turns_of([] { timer_sleep(0); }), 0);
    EXPECT_EQ(turns_of([] { sleep_seconds(2); }), 200);
    // 42949673 s is 4294967300 ticks and 715828 min 4294968000: they must not
    // wrap round to 4 and 704 ticks (the fake stops a loop at 1000 turns).
    EXPECT_THROW(turns_of([] { sleep_seconds(42949673); }), std::runtime_error);
    EXPECT_THROW(turns_of([] { sleep_minutes(715828); }), std::runtime_error);
}

// A halt with interrupts off would never end: the sleep halts from tick to
// tick only when it was called with them on, and leaves them as it found them.
TEST_F(TimerTest, SleepHaltsOnceATickOnlyWithInterruptsOn)
{
    sleep_timer_init();
    for (const bool on : {true, false}) {
        fake::interrupts_on = on;
        fake::halts = 0;
        EXPECT_EQ(turns_of([] { timer_sleep(30); }), 30);
        EXPECT_EQ(fake::halts, on ? 30 : 0);
        EXPECT_EQ(fake::interrupts_on, on);
    }
}

TEST_F(TimerTest, SleepLeavesOtherTimersAlone)
{
    // The sleep timer's old id, once a reset hands its slot to someone else.
    sleep_timer_init();
    timers_reset_all();
    const int32_t mine = timer_create(0, 0);
    EXPECT_EQ(turns_of([] { timer_sleep(5); }), 5);
    EXPECT_EQ(timer_get_running(mine), 0);
    EXPECT_EQ(timer_get_count(mine), 0u);

    // Every slot taken: no clock to wait on, so it returns at once.
    timers_reset_all();
    for (int i = 0; i < SOFT_TIMER_COUNT; ++i) {
        timer_create(0, 0);
    }
    const std::string before = table();
    EXPECT_EQ(turns_of([] { timer_sleep(25); }), 0);
    EXPECT_EQ(table(), before);
}

TEST_F(TimerTest, ShortSleepsOfAnotherProcessNeitherStrandNorStretchALongOne)
{
    // Between any two turns of a 30-tick sleep, a second process sleeps one
    // tick, over and over: the long sleep still lasts exactly 30 ticks.
    sleep_timer_init();
    int elapsed = 0;
    bool other_running = false;
    fake::on_relax = [&] {
        timer_tick(0);
        ++elapsed;
        if (!other_running) {
            other_running = true;
            timer_sleep(1);
            other_running = false;
        }
    };
    timer_sleep(30);
    EXPECT_EQ(elapsed, 30);
}

}  // namespace
