// ACPI: at start-up, find the firmware's tables through the root system
// description pointer and keep a read-only window onto them; power the
// machine off later by writing SLP_EN with sleep type 0 (the "_S5_" state
// of every firmware this has met) to the PM1 control ports.
//
// The window is 128 KiB of virtual space at 0xF0000000. Firmware puts its
// tables wherever it likes - QEMU puts the FADT and DSDT below the RSDT,
// and above 2 GiB when the machine has more than 2 GiB - so the window is
// moved to whichever table is read next, and a table that cannot be seen
// whole through it is refused: no read ever leaves the window. Start-up
// ends with the window on the FADT, which is all power-off reads, and every
// process directory made afterwards carries it.
#include "drivers/acpi.h"

#include "cpu/timer.h"
#include "lib/cpu.h"
#include "lib/physmem.h"
#include "lib/port.h"
#include "lib/string.h"
#include "mm/vmm.h"

namespace {

constexpr uint32_t WINDOW_BASE = 0xF0000000;
constexpr uint32_t WINDOW_PAGES = 32;
constexpr uint32_t WINDOW_BYTES = WINDOW_PAGES * PAGE_SIZE;

// The pointer lies on a 16-byte boundary in the BIOS area; candidates are
// tried every 8 bytes from 0xE0000 while the offset is below 0x1FFFF.
constexpr uint32_t RSDP_SCAN_START = 0xE0000;
constexpr uint32_t RSDP_SCAN_LIMIT = 0x1FFFF;
constexpr uint32_t RSDP_STEP = 8;
constexpr uint32_t RSDP_CHECKSUM_BYTES = 20;
constexpr uint32_t RSDP_RSDT_ADDRESS = 16;

// Every table: signature, then its total length; 36 bytes of header.
constexpr uint32_t TABLE_LENGTH = 4;
constexpr uint32_t TABLE_HEADER_BYTES = 36;
constexpr uint32_t RSDT_ENTRY_BYTES = 4;

// Fixed ACPI description table fields.
constexpr uint32_t FADT_DSDT = 40;
constexpr uint32_t FADT_SMI_COMMAND = 48;
constexpr uint32_t FADT_ACPI_ENABLE = 52;
constexpr uint32_t FADT_PM1A_CONTROL = 64;
constexpr uint32_t FADT_PM1B_CONTROL = 68;
constexpr uint32_t FADT_MIN_BYTES = FADT_PM1B_CONTROL + 4;  // shorter tables lack the ports

constexpr uint16_t PM1_SCI_EN = 0x0001;  // ACPI mode is on
constexpr uint16_t PM1_SLP_EN = 0x2000;  // enter the sleep state of SLP_TYP
constexpr uint32_t ENABLE_BUDGET_TICKS = 301;

uint8_t acpi_available = 0;
uint32_t rsdp = 0;       // physical, in the one-to-one low memory
uint32_t rsdt_phys = 0;  // the tables' physical addresses
uint32_t fadt_phys = 0;
uint32_t dsdt_phys = 0;
uint32_t fadt = 0;  // the FADT inside the window, once ACPI is available
uint8_t slp_typ_a = 0;
uint8_t slp_typ_b = 0;

bool window_mapped = false;
uint32_t window_phys = 0;  // the page the window starts on

void window_remove()
{
    vmm_unmap_firmware(WINDOW_BASE, WINDOW_PAGES);
    window_mapped = false;
}

// The window address of `length` bytes at `phys`, moving the window there
// when they are not all in view; 0 when they never fit in one window.
uint32_t window_view(uint32_t phys, uint32_t length)
{
    const uint64_t end = uint64_t{phys} + length;
    if (window_mapped && phys >= window_phys && end <= uint64_t{window_phys} + WINDOW_BYTES) {
        return WINDOW_BASE + (phys - window_phys);
    }
    const uint32_t page = phys & ~PAGE_OFFSET_MASK;
    if (phys == 0 || end > uint64_t{page} + WINDOW_BYTES) {
        return 0;
    }
    if (window_mapped) {
        window_remove();
    }
    if (!vmm_map_firmware(page, WINDOW_BASE, WINDOW_PAGES)) {
        return 0;
    }
    window_mapped = true;
    window_phys = page;
    return WINDOW_BASE + (phys - page);
}

uint32_t read32(uint32_t virt)
{
    uint32_t value;
    mem_copy(&value, virt_ptr(virt), sizeof value);
    return value;
}

uint8_t read8(uint32_t virt)
{
    return *static_cast<const uint8_t*>(virt_ptr(virt));
}

// A whole table in view: the header first, for its length, then all of it.
// 0 for a length shorter than the header or one that outgrows the window.
uint32_t table_view(uint32_t phys, uint32_t* length)
{
    const uint32_t header = window_view(phys, TABLE_HEADER_BYTES);
    if (header == 0) {
        return 0;
    }
    *length = read32(header + TABLE_LENGTH);
    return *length < TABLE_HEADER_BYTES ? 0 : window_view(phys, *length);
}

uint8_t byte_sum(const uint8_t* bytes, uint32_t count)
{
    uint8_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) {
        sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    return sum;
}

bool table_checksum_ok(uint32_t phys)
{
    uint32_t length = 0;
    const uint32_t table = table_view(phys, &length);
    return table != 0 && byte_sum(static_cast<const uint8_t*>(virt_ptr(table)), length) == 0;
}

bool bytes_equal(const uint8_t* at, const char* text, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (at[i] != static_cast<uint8_t>(text[i])) {
            return false;
        }
    }
    return true;
}

uint16_t fadt_port(uint32_t field)
{
    return static_cast<uint16_t>(read32(fadt + field));
}

// Polls bit SCI_EN of a PM1 control port, one tick between reads, while
// the shared budget lasts.
void wait_for_sci(uint16_t port, uint32_t* ticks)
{
    while ((port_in16(port) & PM1_SCI_EN) == 0 && *ticks < ENABLE_BUDGET_TICKS) {
        timer_sleep(1);
        ++*ticks;
    }
}

bool acpi_find_rsdp()
{
    // The last candidate whose 20 bytes still lie below 1 MiB: nothing past
    // the BIOS area is read.
    constexpr uint32_t LAST_OFFSET = RSDP_SCAN_LIMIT + 1 - RSDP_CHECKSUM_BYTES;
    for (uint32_t offset = 0; offset <= LAST_OFFSET; offset += RSDP_STEP) {
        const uint32_t candidate = RSDP_SCAN_START + offset;
        const auto* bytes = phys_as<const uint8_t>(candidate);
        if (bytes_equal(bytes, "RSD PTR ", 8) && byte_sum(bytes, RSDP_CHECKSUM_BYTES) == 0) {
            rsdp = candidate;
            return true;
        }
    }
    return false;
}

bool acpi_map_rsdt()
{
    mem_copy(&rsdt_phys, phys_ptr(rsdp + RSDP_RSDT_ADDRESS), sizeof rsdt_phys);
    return table_checksum_ok(rsdt_phys);
}

bool acpi_find_fadt()
{
    uint32_t length = 0;
    uint32_t rsdt = table_view(rsdt_phys, &length);
    const uint32_t entries = rsdt != 0 ? (length - TABLE_HEADER_BYTES) / RSDT_ENTRY_BYTES : 0;
    for (uint32_t i = 0; i < entries; ++i) {
        rsdt = table_view(rsdt_phys, &length);  // reading a table may have moved the window
        const uint32_t entry = read32(rsdt + TABLE_HEADER_BYTES + i * RSDT_ENTRY_BYTES);
        uint32_t table_length = 0;
        const uint32_t table = table_view(entry, &table_length);
        if (table != 0 && table_length >= FADT_MIN_BYTES &&
            bytes_equal(static_cast<const uint8_t*>(virt_ptr(table)), "FACP", 4) &&
            read32(table + FADT_PM1A_CONTROL) != 0) {  // without PM1a there is nothing to power off with
            fadt_phys = entry;
            return true;
        }
    }
    return false;
}

bool acpi_check_dsdt()
{
    uint32_t length = 0;
    const uint32_t fadt_view = table_view(fadt_phys, &length);
    dsdt_phys = read32(fadt_view + FADT_DSDT);
    return table_checksum_ok(dsdt_phys);
}

// The sleep-type package after the name is not decoded: sleep type 0.
bool acpi_find_s5()
{
    slp_typ_a = 0;
    slp_typ_b = 0;
    uint32_t length = 0;
    const uint32_t dsdt = table_view(dsdt_phys, &length);
    if (dsdt == 0) {
        return false;
    }
    const auto* bytes = static_cast<const uint8_t*>(virt_ptr(dsdt));
    for (uint32_t i = 0; i + 4 <= length; ++i) {
        if (bytes_equal(bytes + i, "_S5_", 4)) {
            return true;
        }
    }
    return false;
}

void clear_state()
{
    acpi_available = 0;
    rsdp = rsdt_phys = fadt_phys = dsdt_phys = fadt = 0;
    slp_typ_a = slp_typ_b = 0;
}

}  // namespace

void acpi_init()
{
    clear_state();
    window_remove();
    if (!acpi_find_rsdp()) {
        return;
    }
    if (!acpi_map_rsdt() || !acpi_find_fadt() || !acpi_check_dsdt() || !acpi_find_s5()) {
        window_remove();
        clear_state();
        return;
    }
    uint32_t length = 0;
    fadt = table_view(fadt_phys, &length);  // the window stays, on the FADT
    acpi_available = fadt != 0 ? 1 : 0;
}

bool acpi_is_available()
{
    return acpi_available == 1;
}

bool acpi_enable()
{
    if (acpi_available == 0) {
        return false;
    }
    const uint16_t pm1a = fadt_port(FADT_PM1A_CONTROL);
    if ((port_in16(pm1a) & PM1_SCI_EN) != 0) {
        return true;
    }
    const uint16_t smi_command = fadt_port(FADT_SMI_COMMAND);
    const uint8_t enable_value = read8(fadt + FADT_ACPI_ENABLE);
    if (smi_command == 0 || enable_value == 0) {
        return false;
    }
    port_out8(smi_command, enable_value);
    uint32_t ticks = 0;
    wait_for_sci(pm1a, &ticks);
    const uint16_t pm1b = fadt_port(FADT_PM1B_CONTROL);
    if (pm1b != 0) {
        if (ticks >= ENABLE_BUDGET_TICKS) {
            return false;
        }
        wait_for_sci(pm1b, &ticks);
    }
    return ticks < ENABLE_BUDGET_TICKS;
}

void acpi_power_off()
{
    if (acpi_available == 0) {
        return;
    }
    interrupts_enable();  // the enable poll sleeps on the tick
    acpi_enable();
    interrupts_disable();
    port_out16(fadt_port(FADT_PM1A_CONTROL), slp_typ_a | PM1_SLP_EN);
    const uint16_t pm1b = fadt_port(FADT_PM1B_CONTROL);
    if (pm1b != 0) {
        port_out16(pm1b, slp_typ_b | PM1_SLP_EN);
    }
}
