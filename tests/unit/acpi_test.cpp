// ACPI discovery against fake firmware tables in the physical arena, and the
// port writes of power-off.
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "cpu/isr.h"
#include "cpu/timer.h"
#include "drivers/acpi.h"
#include "fakes/fake_floppy.h"
#include "fakes/hw_test.h"
#include "lib/physmem.h"
#include "mm/pmm.h"

namespace {

constexpr uint16_t SMI_PORT = 0xB2;
constexpr uint16_t PM1A = 0x604;
constexpr uint16_t PM1B = 0x608;
constexpr uint8_t ENABLE_VALUE = 0xF1;

// Where a firmware puts its tables; every address is a physical one.
struct Firmware {
    uint32_t rsdp = 0xF5A10;
    uint32_t rsdt = 0x1FE1000;
    uint32_t fadt = 0x1FE0F00;  // below the RSDT and off a page boundary, as QEMU has it
    uint32_t dsdt = 0x1FE0040;
    uint32_t dsdt_length = 0x400;
    uint16_t pm1b = 0;
    uint8_t enable_value = ENABLE_VALUE;
    bool s5 = true;
};

void put32(uint32_t phys, uint32_t value)
{
    std::memcpy(fake::phys(phys), &value, 4);
}

// A table's header, zero body, and the checksum byte that makes it sum to 0.
void table(uint32_t phys, const char* signature, uint32_t length)
{
    std::memset(fake::phys(phys), 0, length);
    std::memcpy(fake::phys(phys), signature, 4);
    put32(phys + 4, length);
}

void seal(uint32_t phys, uint32_t length, uint32_t checksum_at = 9)
{
    uint8_t sum = 0;
    fake::phys(phys)[checksum_at] = 0;
    for (uint32_t i = 0; i < length; ++i) {
        sum = static_cast<uint8_t>(sum + fake::phys(phys)[i]);
    }
    fake::phys(phys)[checksum_at] = static_cast<uint8_t>(-sum);
}

void install(const Firmware& f)
{
    std::memcpy(fake::phys(f.rsdp), "RSD PTR ", 8);
    put32(f.rsdp + 16, f.rsdt);
    seal(f.rsdp, 20, 8);
    table(f.rsdt, "RSDT", 44);
    put32(f.rsdt + 36, 0x1FE0800);  // another table first: the search goes on past it
    put32(f.rsdt + 40, f.fadt);
    seal(f.rsdt, 44);
    table(0x1FE0800, "APIC", 40);
    table(f.fadt, "FACP", 116);
    put32(f.fadt + 40, f.dsdt);
    put32(f.fadt + 48, SMI_PORT);
    fake::phys(f.fadt)[52] = f.enable_value;
    put32(f.fadt + 64, PM1A);
    put32(f.fadt + 68, f.pm1b);
    seal(f.fadt, 116);
    table(f.dsdt, "DSDT", f.dsdt_length);
    if (f.s5) {
        std::memcpy(fake::phys(f.dsdt + f.dsdt_length - 20), "_S5_", 4);
    }
    seal(f.dsdt, f.dsdt_length);
}

bool window_mapped()
{
    try {
        fake::translate(0xF0000000);
        return true;
    } catch (const fake::PageFault&) {
        return false;
    }
}

class AcpiTest : public HardwareTest {
protected:
    void SetUp() override
    {
        HardwareTest::SetUp();
        fake::floppy::init_kernel_memory();
        pit_init();
        sleep_timer_init();
        fake::on_relax = [] { timer_tick(0); };
        fake::relax_limit = 2000;
    }
};

TEST_F(AcpiTest, DiscoveryFindsTheTablesWhereverTheyLieAndRefusesWhatItCannotSeeWhole)
{
    const std::vector<std::pair<std::function<void(Firmware&)>, bool>> cases = {
        {[](Firmware&) {}, true},
        {[](Firmware& f) { f.fadt = 0x1FE3A40, f.dsdt = 0x1FF0010; }, true},  // above the RSDT
        {[](Firmware& f) { f.s5 = false; }, false},
        {[](Firmware& f) { f.dsdt = 0x1000040, f.dsdt_length = 0x20000; }, false},  // runs past any window
        {[](Firmware& f) { f.dsdt_length = 20; }, false},                           // shorter than a header
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SetUp();
        Firmware firmware;
        cases[i].first(firmware);
        install(firmware);
        acpi_init();  // the window's page table, taken once and kept
        const uint32_t used = pmm_used_size(true);
        EXPECT_NO_THROW(acpi_init()) << "case " << i;
        EXPECT_EQ(acpi_is_available(), cases[i].second) << "case " << i;
        EXPECT_EQ(window_mapped(), cases[i].second) << "case " << i;
        EXPECT_EQ(pmm_used_size(true), used) << "the window neither takes nor gives back frames";
    }
}

TEST_F(AcpiTest, TheScanSkipsABadPointerAndABadRsdtLeavesNothingMapped)
{
    Firmware firmware;
    install(firmware);
    std::memcpy(fake::phys(0xE0010), "RSD PTR ", 8);  // an earlier candidate with a wrong sum
    fake::phys(0xE0010)[8] = 1;
    acpi_init();
    EXPECT_TRUE(acpi_is_available());

    fake::phys(firmware.rsdt)[20] ^= 0xFF;  // the RSDT no longer sums to 0
    acpi_init();
    EXPECT_FALSE(acpi_is_available());
    EXPECT_FALSE(window_mapped());
}

TEST_F(AcpiTest, PowerOffEnablesAcpiOnlyWhenNeededAndWritesSlpEn)
{
    struct Case {
        uint16_t pm1b;
        uint8_t enable_value;
        uint32_t sci_at_start;
        std::vector<uint32_t> smi_writes;
    };
    const std::vector<Case> cases = {
        {0, ENABLE_VALUE, 1, {}},                 // already in ACPI mode: no SMI command
        {0, ENABLE_VALUE, 0, {ENABLE_VALUE}},     // switched on, polled until SCI_EN
        {PM1B, ENABLE_VALUE, 0, {ENABLE_VALUE}},  // both blocks written
        {0, 0, 0, {}},                            // no way to enable: SLP_EN all the same
    };
    for (const Case& c : cases) {
        SetUp();
        Firmware firmware;
        firmware.pm1b = c.pm1b;
        firmware.enable_value = c.enable_value;
        install(firmware);
        acpi_init();
        ASSERT_TRUE(acpi_is_available());
        fake::port_writes.clear();
        fake::set_default_read(PM1A, 1);
        fake::set_default_read(PM1B, 1);
        fake::queue_reads(PM1A, {c.sci_at_start, 0});
        acpi_power_off();
        EXPECT_EQ(fake::writes_to(SMI_PORT), c.smi_writes);
        EXPECT_EQ(fake::writes_to(PM1A), std::vector<uint32_t>{0x2000});
        EXPECT_EQ(fake::writes_to(PM1B), c.pm1b != 0 ? std::vector<uint32_t>{0x2000} : std::vector<uint32_t>{});
        EXPECT_FALSE(fake::interrupts_on);
    }
}

TEST_F(AcpiTest, TheEnablePollGivesUpAfterItsBudgetOfTicks)
{
    install(Firmware{});
    acpi_init();
    fake::set_default_read(PM1A, 0);  // SCI_EN never comes
    fake::relax_calls = 0;
    EXPECT_FALSE(acpi_enable());
    EXPECT_GE(fake::relax_calls, 301);
    EXPECT_LE(fake::relax_calls, 310);
}

}  // namespace
