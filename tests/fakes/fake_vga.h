// A fake VGA DAC on the fake port bus: 256 entries of three 6-bit values,
// written from the index set at 0x3C8 and read from the index set at 0x3C7,
// both through the data port 0x3C9, red, green, blue and then the next entry.
//
// Use: fake::reset() (HardwareTest does it), then fake::vga::attach().
#pragma once

#include <array>
#include <cstdint>

#include "fakes/fake_hw.h"

namespace fake::vga {

using Dac = std::array<uint8_t, 256 * 3>;

// The DAC's entries; a test may set them before the code under test reads.
Dac& dac();
// A fresh DAC (every entry black) on the port bus.
void attach();

}  // namespace fake::vga
