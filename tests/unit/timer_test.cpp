// The interval timer, the tick's three steps, the software timers and the
// sleep built on them.
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "cpu/idt.h"
#include "cpu/isr.h"
#include "cpu/timer.h"
#include "fakes/hw_test.h"
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
        timers_reset_all();
        ticks_since_switch = 0;
        last_slice_ticks = 0;
    }
    void TearDown() override
    {
        process_table = nullptr;
        current_pid = 0;
        scheduler_enabled = 0;
    }

    static void ticks(int n)
    {
        for (int i = 0; i < n; ++i) {
            timer_tick(0);
        }
    }
    // Every busy-wait turn is one tick of 10 ms.
    static void tick_on_every_relax()
    {
        fake::on_relax = [] { timer_tick(0); };
    }
};

TEST_F(TimerTest, PitInitProgramsChannelZeroAt100HzAndOpensLineZero)
{
    idt_init();
    const int32_t early = timer_create(1, 0);
    ASSERT_GE(early, 0);
    fake::port_writes.clear();
    fake::set_default_read(0x21, 0xFF);

    pit_init();

    EXPECT_EQ(fake::port_writes, (Writes{out8(0x43, 0x36), out8(0x40, 0x9B), out8(0x40, 0x2E), out8(0x21, 0xFE)}));
    uint32_t base;
    std::memcpy(&base, &fake::idtr[2], 4);
    const uint8_t* gate = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(base)) + 32 * 8;
    const uint32_t offset = static_cast<uint32_t>(gate[0] | gate[1] << 8 | gate[6] << 16 | gate[7] << 24);
    EXPECT_EQ(offset, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(timer_irq)));
    EXPECT_EQ(gate[5], 0x8E);
    EXPECT_EQ(timer_is_free(early), 1) << "pit_init starts with every timer free";
}

TEST_F(TimerTest, TimerWithLimitFiveStopsAtFiveAndOneWithoutNeverStops)
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

TEST_F(TimerTest, EleventhTimerFailsOnceTheSleepTimerAndNineMoreExist)
{
    sleep_timer_init();
    for (int32_t expected = 1; expected <= 9; ++expected) {
        EXPECT_EQ(timer_create(0, 0), expected);
    }
    SoftTimer before[SOFT_TIMER_COUNT];
    std::memcpy(before, soft_timers, sizeof(before));

    EXPECT_EQ(timer_create(1, 7), -1);
    EXPECT_EQ(std::memcmp(before, soft_timers, sizeof(before)), 0);

    // A destroyed slot is the next one handed out.
    EXPECT_TRUE(timer_destroy(4));
    EXPECT_EQ(timer_create(0, 0), 4);
}

TEST_F(TimerTest, IdsThatAreNotAllocatedAreRefused)
{
    const int32_t id = timer_create(1, 0);
    ticks(3);
    EXPECT_TRUE(timer_destroy(id));
    EXPECT_EQ(timer_get_count(id), 0u);
    EXPECT_FALSE(timer_destroy(id));
    EXPECT_FALSE(timer_set_running(id, 1));
    EXPECT_FALSE(timer_reset(id));
    EXPECT_FALSE(timer_set_limit(id, 4));
    EXPECT_EQ(timer_is_free(id), 1);
    ticks(1);
    EXPECT_EQ(soft_timers[id].count, 0u) << "a refused set_running must not start a free slot";

    for (int32_t bad : {-1, 10, 1000}) {
        EXPECT_FALSE(timer_set_running(bad, 1));
        EXPECT_EQ(timer_get_count(bad), 0u);
        EXPECT_EQ(timer_is_free(bad), 1);
    }
}

TEST_F(TimerTest, TickAcknowledgesLineZeroAndCountsWhileSwitchingIsOff)
{
    EXPECT_EQ(timer_tick(0), 0u);
    EXPECT_EQ(fake::port_writes, (Writes{out8(0x20, 0x20)}));
    ticks(9);
    EXPECT_EQ(ticks_since_switch, 10u);
    EXPECT_EQ(last_slice_ticks_get(), 0u);
}

TEST_F(TimerTest, TickAsksForASwitchOnceTheSliceIsUsedUp)
{
    ProcessRecord table[MAX_PROCESSES] = {};
    table[1].time_slice = 3;
    process_table = table;
    current_pid = 1;
    scheduler_enabled = 1;
    const int32_t id = timer_create(1, 0);

    std::vector<uint32_t> answers;
    for (int i = 0; i < 9; ++i) {
        answers.push_back(timer_tick(0));
    }
    // s + 1 ticks per turn: three ticks count, the fourth switches.
    EXPECT_EQ(answers, (std::vector<uint32_t>{0, 0, 0, 1, 0, 0, 0, 1, 0}));
    EXPECT_EQ(last_slice_ticks_get(), 3u);
    EXPECT_EQ(ticks_since_switch, 1u);
    EXPECT_EQ(timer_get_count(id), 9u) << "software timers advance on switching ticks too";
    EXPECT_EQ(fake::writes_to(0x20).size(), 9u);

    table[1].time_slice = 0;
    EXPECT_EQ(timer_tick(0), 1u);
    EXPECT_EQ(timer_tick(0), 1u);
    EXPECT_EQ(last_slice_ticks_get(), 0u);
}

TEST_F(TimerTest, SleepWaitsExactlyTheGivenTicks)
{
    sleep_timer_init();
    tick_on_every_relax();
    timer_sleep(100);
    EXPECT_EQ(fake::relax_calls, 100);

    fake::relax_calls = 0;
    timer_sleep(0);
    EXPECT_EQ(fake::relax_calls, 0);

    fake::relax_calls = 0;
    sleep_seconds(2);
    EXPECT_EQ(fake::relax_calls, 200);
}

TEST_F(TimerTest, SleepBeforeTheSleepTimerExistsStillWaits)
{
    tick_on_every_relax();
    fake::relax_limit = 1000;
    timer_sleep(25);
    EXPECT_EQ(fake::relax_calls, 25);
}

TEST_F(TimerTest, SleepWithEveryTimerTakenReturnsAtOnceAndLeavesTheOthersAlone)
{
    for (int i = 0; i < SOFT_TIMER_COUNT; ++i) {
        timer_create(0, 0);
    }
    tick_on_every_relax();
    fake::relax_limit = 1000;
    timer_sleep(25);
    for (int32_t id = 0; id < SOFT_TIMER_COUNT; ++id) {
        EXPECT_EQ(timer_get_running(id), 0);
        EXPECT_EQ(timer_get_count(id), 0u);
    }
}

TEST_F(TimerTest, SleepTimerIdDoesNotOutliveAReset)
{
    sleep_timer_init();  // slot 0
    timers_reset_all();
    const int32_t mine = timer_create(0, 0);  // slot 0 again, someone else's now
    tick_on_every_relax();
    timer_sleep(5);
    EXPECT_EQ(timer_get_running(mine), 0);
    EXPECT_EQ(timer_get_count(mine), 0u);
}

TEST_F(TimerTest, AShortSleepInsideALongOneDoesNotStrandTheLongOne)
{
    // A second process sleeps one tick while the first waits for 30: the
    // shared timer restarts, so the long wait lengthens but must still end.
    sleep_timer_init();
    fake::relax_limit = 1000;
    int turns = 0;
    bool nested = false;
    fake::on_relax = [&] {
        timer_tick(0);
        if (++turns == 5 && !nested) {
            nested = true;
            timer_sleep(1);
        }
    };
    timer_sleep(30);
    EXPECT_GE(turns, 30);
}

TEST_F(TimerTest, LongSleepsDoNotWrapToShortOnes)
{
    sleep_timer_init();
    tick_on_every_relax();
    fake::relax_limit = 1000;
    // 42949673 s is 4294967300 ticks, 4 after wrapping at 2^32.
    EXPECT_THROW(sleep_seconds(42949673), std::runtime_error);
    // 715828 min is 4294968000 ticks, 704 after wrapping.
    fake::relax_calls = 0;
    EXPECT_THROW(sleep_minutes(715828), std::runtime_error);
}

}  // namespace
