// ACPI discovery over fuzzed firmware memory: the input's bytes after the
// first lie at physical 0xE0000, where the scan for the root pointer
// starts, in the physical-memory arena of tests/fakes (zero elsewhere), and
// acpi_init looks for its tables there and wherever their addresses point.
//
// Checksums are what a mutation almost never gets right, so the first byte
// asks for them to be made right, as firmware makes them: bit 0 seals the
// pointer at 0xE0000 (its first 20 bytes), bit 1 the RSDT it names and bit
// 2 the DSDT of every FACP that RSDT lists, when they lie in the input;
// bit 3 powers off afterwards when ACPI was found.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "drivers/acpi.h"
#include "fakes/fake_hw.h"
#include "support/harness.h"

namespace {

constexpr uint32_t REGION = 0xE0000;
constexpr uint32_t REGION_MAX = 0x20000;  // to 1 MiB
uint32_t region_bytes = 0;                // what the last input wrote

uint32_t read32(uint32_t phys)
{
    uint32_t value;
    std::memcpy(&value, fake::phys(phys), 4);
    return value;
}

bool in_region(uint32_t phys, uint32_t length)
{
    return phys >= REGION && length <= region_bytes && phys - REGION <= region_bytes - length;
}

// Sets the byte at `checksum_at` so that `length` bytes from `phys` sum to 0.
void seal(uint32_t phys, uint32_t length, uint32_t checksum_at)
{
    if (!in_region(phys, length) || checksum_at >= length) {
        return;
    }
    uint8_t* bytes = fake::phys(phys);
    bytes[checksum_at] = 0;
    uint8_t sum = 0;
    for (uint32_t i = 0; i < length; ++i) {
        sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    bytes[checksum_at] = static_cast<uint8_t>(-sum);
}

uint32_t table_length(uint32_t phys)
{
    return in_region(phys, 8) ? read32(phys + 4) : 0;
}

void seal_tables(uint8_t flags)
{
    const uint32_t rsdt = in_region(REGION, 20) ? read32(REGION + 16) : 0;
    const uint32_t rsdt_length = table_length(rsdt);
    if ((flags & 4) != 0 && rsdt_length >= 36 && in_region(rsdt, rsdt_length)) {
        for (uint32_t at = 36; at + 4 <= rsdt_length; at += 4) {
            const uint32_t fadt = read32(rsdt + at);
            if (in_region(fadt, 44) && std::memcmp(fake::phys(fadt), "FACP", 4) == 0) {
                const uint32_t dsdt = read32(fadt + 40);
                seal(dsdt, table_length(dsdt), 9);
            }
        }
    }
    if ((flags & 2) != 0) {
        seal(rsdt, rsdt_length, 9);
    }
    if ((flags & 1) != 0) {
        seal(REGION, 20, 8);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool booted = (fuzz::boot(false), true);
    (void)booted;
    if (size == 0 || size - 1 > REGION_MAX) {
        return -1;
    }
    fuzz::turn();
    std::memset(fake::phys(REGION), 0, region_bytes);
    region_bytes = static_cast<uint32_t>(size - 1);
    std::memcpy(fake::phys(REGION), data + 1, region_bytes);
    seal_tables(data[0]);
    try {
        acpi_init();
        if ((data[0] & 8) != 0 && acpi_is_available()) {
            acpi_power_off();
        }
    } catch (const std::out_of_range&) {
        // A table beyond the fake's 64 MiB of physical memory: the fake
        // cannot follow it there.
    }
    return 0;
}
