// PC speaker against a fake timer channel 2 and system control port B.
#include "drivers/speaker.h"

#include <vector>

#include "cpu/isr.h"
#include "cpu/timer.h"
#include "fakes/hw_test.h"

namespace {

using fake::PortAccess;

constexpr uint16_t CHANNEL2 = 0x42;
constexpr uint16_t PIT_COMMAND = 0x43;
constexpr uint16_t PORT_B = 0x61;

class SpeakerTest : public HardwareTest {
protected:
    uint8_t port_b = 0;      // port B as a register: reads give back the last write
    int ticks_sounding = 0;  // ticks that went by with both speaker bits set

    void SetUp() override
    {
        HardwareTest::SetUp();
        fake::on_read(PORT_B, [this](uint16_t) { return port_b; });
        fake::on_write(PORT_B, [this](uint16_t, uint32_t value) { port_b = static_cast<uint8_t>(value); });
        timers_reset_all();
        sleep_timer_init();
        fake::on_relax = [this] {  // each turn of a busy-wait lets one 10 ms tick go by
            ticks_sounding += (port_b & 0x03) == 0x03 ? 1 : 0;
            timer_tick(0);
        };
    }

    // Every write but the ticks' end-of-interrupt, in order.
    static std::vector<PortAccess> speaker_writes()
    {
        std::vector<PortAccess> out = fake::port_writes;
        std::erase_if(out, [](const PortAccess& w) { return w.port == 0x20; });
        return out;
    }
};

TEST_F(SpeakerTest, BeepProgramsFiveHundredHertzSoundsTwentyTicksAndStops)
{
    port_b = 0x4C;  // speaker off, other board bits set
    speaker_beep();
    const std::vector<PortAccess> expected = {
        {PIT_COMMAND, 0xB6, 8}, {CHANNEL2, 0x52, 8}, {CHANNEL2, 0x09, 8}, {PORT_B, 0x4F, 8}, {PORT_B, 0x4C, 8},
    };
    EXPECT_EQ(speaker_writes(), expected);
    EXPECT_EQ(ticks_sounding, 20);
}

// A beep ends with bits 0 and 1 of port B clear and every other bit as it was;
// a speaker that is already connected gets no write to connect it.
TEST_F(SpeakerTest, BeepKeepsTheOtherBitsOfPortBAndSkipsAConnectThatIsNotNeeded)
{
    struct Case {
        uint8_t before;
        std::vector<uint32_t> writes;
    };
    for (const Case& c : {Case{0x00, {0x03, 0x00}}, Case{0x01, {0x03, 0x00}}, Case{0x02, {0x03, 0x00}},
                          Case{0xFD, {0xFF, 0xFC}}, Case{0xF3, {0xF0}}, Case{0xFF, {0xFC}}}) {
        fake::port_writes.clear();
        port_b = c.before;
        ticks_sounding = 0;
        speaker_beep();
        EXPECT_EQ(fake::writes_to(PORT_B), c.writes) << "port B was 0x" << std::hex << int{c.before};
        EXPECT_EQ(ticks_sounding, 20);
    }
}

TEST_F(SpeakerTest, ToneOfZeroDoesNothingAndAToneSoundsUntilSpeakerOff)
{
    port_b = 0x4C;
    speaker_tone_on(0);
    EXPECT_TRUE(fake::port_writes.empty());

    speaker_tone_on(1000);  // divisor 1193181 / 1000 = 1193 = 0x04A9
    const std::vector<PortAccess> expected = {
        {PIT_COMMAND, 0xB6, 8}, {CHANNEL2, 0xA9, 8}, {CHANNEL2, 0x04, 8}, {PORT_B, 0x4F, 8}};
    EXPECT_EQ(speaker_writes(), expected);
    EXPECT_EQ(fake::relax_calls, 0) << "returns at once";
    speaker_off();
    EXPECT_EQ(port_b, 0x4C);
}

// The counter takes 16 bits and mode 3 needs at least 2: tones outside that
// play the nearest tone the timer can make, never a wrapped divisor.
TEST_F(SpeakerTest, ToneDivisorIsClampedToWhatTheTimerCanCount)
{
    struct Case {
        uint32_t frequency, divisor;
    };
    for (const Case& c : {Case{1, 0xFFFF}, Case{18, 0xFFFF}, Case{19, 62799}, Case{440, 2711}, Case{596590, 2},
                          Case{1193181, 2}, Case{0xFFFFFFFF, 2}}) {
        fake::port_writes.clear();
        speaker_tone_on(c.frequency);
        const std::vector<uint32_t> bytes = fake::writes_to(CHANNEL2);
        ASSERT_EQ(bytes.size(), 2u);
        EXPECT_EQ(bytes[0] | bytes[1] << 8, c.divisor) << c.frequency << " Hz";
    }
}

}  // namespace
