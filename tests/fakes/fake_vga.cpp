// The fake VGA DAC behind tests/fakes/fake_vga.h.
#include "fakes/fake_vga.h"

namespace fake::vga {

namespace {

struct State {
    Dac dac{};
    uint32_t write_at = 0;  // component position, entry * 3 + component
    uint32_t read_at = 0;
};

State state;

}  // namespace

Dac& dac()
{
    return state.dac;
}

void attach()
{
    state = State{};
    on_write(0x3C8, [](uint16_t, uint32_t index) { state.write_at = (index & 0xFF) * 3; });
    on_write(0x3C7, [](uint16_t, uint32_t index) { state.read_at = (index & 0xFF) * 3; });
    // The DAC keeps 6 bits of each component; its index wraps after entry 255.
    on_write(0x3C9, [](uint16_t, uint32_t value) {
        state.dac[state.write_at] = static_cast<uint8_t>(value & 0x3F);
        state.write_at = (state.write_at + 1) % state.dac.size();
    });
    on_read(0x3C9, [](uint16_t) {
        const uint32_t value = state.dac[state.read_at];
        state.read_at = (state.read_at + 1) % state.dac.size();
        return value;
    });
}

}  // namespace fake::vga
