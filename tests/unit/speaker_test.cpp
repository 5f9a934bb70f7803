// PC speaker against a fake timer channel 2 and system control port B.
#include "drivers/speaker.h"

#include <vector>

#include "cpu/isr.h"
#include "cpu/timer.h"
#include "fakes/hw_test.h"

namespace {

constexpr uint16_t CHANNEL2 = 0x42;
constexpr uint16_t PIT_COMMAND = 0x43;
constexpr uint16_t PORT_B = 0x61;
constexpr uint8_t SPEAKER_BITS = 0x03;

class SpeakerTest : public HardwareTest {
protected:
    // Port B as a register: reads give back the last value written.
    uint8_t port_b = 0;
    // Ticks that passed while the speaker was connected.
    int ticks_sounding = 0;

    void SetUp() override
    {
        HardwareTest::SetUp();
        fake::on_read(PORT_B, [this](uint16_t) { return port_b; });
        fake::on_write(PORT_B, [this](uint16_t, uint32_t value) { port_b = static_cast<uint8_t>(value); });
        timers_reset_all();
        sleep_timer_init();
        // Each turn of a busy-wait lets one 10 ms tick go by.
        fake::on_relax = [this] {
            if ((port_b & SPEAKER_BITS) == SPEAKER_BITS) {
                ++ticks_sounding;
            }
            timer_tick(0);
        };
    }

    // The writes that reach the timer's channel 2 and port B, in order.
    static std::vector<fake::PortAccess> speaker_writes()
    {
        std::vector<fake::PortAccess> out;
        for (const auto& w : fake::port_writes) {
            if (w.port == CHANNEL2 || w.port == PIT_COMMAND || w.port == PORT_B) {
                out.push_back(w);
            }
        }
        return out;
    }
};

TEST_F(SpeakerTest, BeepProgramsFiveHundredHertzSoundsTwoHundredMillisecondsAndStops)
{
    port_b = 0x4C;  // speaker off, other board bits set
    speaker_beep();

    const std::vector<fake::PortAccess> expected = {
        {PIT_COMMAND, 0xB6, 8}, {CHANNEL2, 0x52, 8}, {CHANNEL2, 0x09, 8}, {PORT_B, 0x4F, 8}, {PORT_B, 0x4C, 8},
    };
    EXPECT_EQ(speaker_writes(), expected);
    EXPECT_EQ(ticks_sounding, 20);
    EXPECT_EQ(port_b, 0x4C);
}

TEST_F(SpeakerTest, BeepKeepsTheOtherBitsOfPortB)
{
    for (uint8_t before : {0x00, 0x01, 0x02, 0xF0, 0xFD, 0xFF}) {
        port_b = before;
        speaker_beep();
        EXPECT_EQ(port_b, before & ~SPEAKER_BITS) << "port B was 0x" << std::hex << int(before);
    }
}

TEST_F(SpeakerTest, BeepWritesNothingToConnectAnAlreadyConnectedSpeaker)
{
    port_b = 0xF3;
    speaker_beep();
    EXPECT_EQ(fake::writes_to(PORT_B), (std::vector<uint32_t>{0xF0}));
    EXPECT_EQ(ticks_sounding, 20);
}

TEST_F(SpeakerTest, ToneOfZeroHertzChangesNothing)
{
    port_b = 0x4C;
    speaker_tone_on(0);
    EXPECT_TRUE(fake::port_writes.empty());
}

TEST_F(SpeakerTest, ToneStaysOnUntilSpeakerOff)
{
    port_b = 0x4C;
    speaker_tone_on(1000);  // 1193181 / 1000 = 1193 = 0x04A9

    const std::vector<fake::PortAccess> expected = {
        {PIT_COMMAND, 0xB6, 8}, {CHANNEL2, 0xA9, 8}, {CHANNEL2, 0x04, 8}, {PORT_B, 0x4F, 8}};
    EXPECT_EQ(speaker_writes(), expected);
    EXPECT_EQ(fake::relax_calls, 0);  // returns at once

    speaker_off();
    EXPECT_EQ(port_b, 0x4C);
}

struct ToneCase {
    uint32_t frequency;
    uint32_t divisor;
};

// The counter takes 16 bits and mode 3 needs at least 2: tones outside that
// play the nearest tone the timer can make, never a wrapped divisor.
TEST_F(SpeakerTest, ToneDivisorStaysWithinWhatTheTimerCanCount)
{
    const ToneCase cases[] = {
        {1, 0xFFFF}, {18, 0xFFFF}, {19, 62799}, {20, 59659}, {440, 2711}, {596590, 2}, {1193181, 2}, {0xFFFFFFFF, 2},
    };
    for (const ToneCase& c : cases) {
        fake::port_writes.clear();
        speaker_tone_on(c.frequency);
        const std::vector<uint32_t> bytes = fake::writes_to(CHANNEL2);
        ASSERT_EQ(bytes.size(), 2u);
        EXPECT_EQ(bytes[0] | bytes[1] << 8, c.divisor) << c.frequency << " Hz";
    }
}

}  // namespace
