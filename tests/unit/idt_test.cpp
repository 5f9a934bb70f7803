// The interrupt descriptor table: gate bytes, the vector map once the
// defaults and the exception handlers are in, and line unmasking.
#include <cstdint>
#include <cstring>
#include <vector>

#include "cpu/fatal.h"
#include "cpu/idt.h"
#include "cpu/isr.h"
#include "display/console.h"
#include "fakes/hw_test.h"
#include "fakes/screen.h"

namespace {

struct Gate {
    uint32_t offset;
    uint16_t selector;
    uint8_t zero;
    uint8_t type;
};

uint32_t address_of(void (*handler)())
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handler));
}

using Writes = std::vector<fake::PortAccess>;
fake::PortAccess out8(uint16_t port, uint32_t value)
{
    return {port, value, 8};
}

class IdtTest : public HardwareTest {
protected:
    void SetUp() override
    {
        HardwareTest::SetUp();
        idt_init();
    }

    static uint16_t loaded_limit() { return static_cast<uint16_t>(fake::idtr[0] | fake::idtr[1] << 8); }
    static const uint8_t* table()
    {
        uint32_t base;
        std::memcpy(&base, &fake::idtr[2], 4);
        return reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(base));
    }
    static std::vector<uint8_t> table_bytes() { return {table(), table() + 2048}; }
    static Gate gate(int vector)
    {
        const uint8_t* p = table() + vector * 8;
        return {static_cast<uint32_t>(p[0] | p[1] << 8 | p[6] << 16 | p[7] << 24),
                static_cast<uint16_t>(p[2] | p[3] << 8), p[4], p[5]};
    }
};

TEST_F(IdtTest, VectorMapAfterTheDefaultsAndTheExceptionHandlers)
{
    ASSERT_EQ(fake::idtr.size(), 6u);
    EXPECT_EQ(loaded_limit(), 0x7FF);  // 256 gates x 8 bytes - 1
    fake::port_writes.clear();
    exceptions_install();
    EXPECT_TRUE(fake::port_writes.empty()) << "exception vectors have no interrupt line";

    for (int vector = 0; vector < 256; ++vector) {
        const bool exception = vector <= 14 || (vector >= 16 && vector <= 19) || vector == 30;
        uint32_t expected = address_of(isr_ignore);
        if (exception) {
            expected = address_of(exception_stubs[vector]);
        } else if (vector >= 32 && vector <= 39) {
            expected = address_of(isr_irq_master_default);
        } else if (vector >= 40 && vector <= 47) {
            expected = address_of(isr_irq_slave_default);
        }
        const Gate g = gate(vector);
        EXPECT_EQ(g.offset, expected) << "vector " << vector;
        EXPECT_EQ(g.selector, 0x08) << "vector " << vector;
        EXPECT_EQ(g.zero, 0) << "vector " << vector;
        EXPECT_EQ(g.type, 0x8E) << "vector " << vector;
    }
    for (int32_t vector : {-1, 15, 20, 31, 32, 255}) {
        EXPECT_EQ(exception_message(vector), nullptr) << vector;
    }
}

TEST_F(IdtTest, InitOpensEachLineOnlyAfterItsDefaultGateIsWritten)
{
    // Each mask write (read 0xFF, bit cleared) must find its gate complete.
    std::vector<int> open_without_gate;
    auto check = [&](uint16_t port, uint32_t value) {
        const int first_line = port == 0x21 ? 0 : 8;
        for (int bit = 0; bit < 8; ++bit) {
            const int vector = 32 + first_line + bit;
            const uint32_t expected = address_of(vector < 40 ? isr_irq_master_default : isr_irq_slave_default);
            if ((value & (1u << bit)) == 0 && gate(vector).offset != expected) {
                open_without_gate.push_back(vector);
            }
        }
    };
    fake::on_write(0x21, check);
    fake::on_write(0xA1, check);
    fake::port_writes.clear();

    idt_init();

    EXPECT_EQ(fake::port_writes.size(), 16u);
    EXPECT_TRUE(open_without_gate.empty());
}

TEST_F(IdtTest, SetGateForTheKeyboardUnmasksLineOneOnly)
{
    fake::port_writes.clear();
    fake::set_default_read(0x21, 0xFF);
    bool gate_ready_at_unmask = false;
    fake::on_write(0x21, [&](uint16_t, uint32_t) { gate_ready_at_unmask = gate(33).offset == address_of(kbd_irq); });

    idt_set_gate(33, kbd_irq, false);

    EXPECT_EQ(fake::port_writes, (Writes{out8(0x21, 0xFD)}));
    EXPECT_TRUE(gate_ready_at_unmask);
    EXPECT_EQ(gate(33).offset, address_of(kbd_irq));
    EXPECT_EQ(gate(33).type, 0x8E);
}

TEST_F(IdtTest, SetGateOnASlaveLineUnmasksTheSlaveBit)
{
    fake::port_writes.clear();
    fake::set_default_read(0xA1, 0xFF);
    idt_set_gate(44, floppy_irq_handler, false);
    EXPECT_EQ(fake::port_writes, (Writes{out8(0xA1, 0xEF)}));
}

TEST_F(IdtTest, SetGateOutsideTheControllerRangeLeavesTheMasksAlone)
{
    fake::port_writes.clear();
    idt_set_gate(60, timer_irq, false);
    EXPECT_EQ(gate(60).type, 0x8E);
    idt_set_gate(61, timer_irq, true);
    EXPECT_EQ(gate(61).type, 0xEE);
    EXPECT_EQ(gate(61).selector, 0x08);
    EXPECT_EQ(gate(61).offset, address_of(timer_irq));
    idt_set_gate(31, timer_irq, false);
    idt_set_gate(48, timer_irq, false);
    EXPECT_TRUE(fake::port_writes.empty());
}

TEST_F(IdtTest, SetEntryWritesEveryFieldAndClearsTheReservedByte)
{
    idt_set_entry(200, 0xDEADBEEF, 0x1234, 0x8F);
    const uint8_t* p = table() + 200 * 8;
    EXPECT_EQ(std::vector<uint8_t>(p, p + 8), (std::vector<uint8_t>{0xEF, 0xBE, 0x34, 0x12, 0x00, 0x8F, 0xAD, 0xDE}));
}

TEST_F(IdtTest, VectorOutsideTheTableIsReportedInLightRedAndChangesNothing)
{
    console_init();
    const std::vector<uint8_t> before = table_bytes();

    idt_set_entry(256, address_of(isr_ignore), 0x08, 0x8E);
    EXPECT_EQ(table_bytes(), before);
    EXPECT_EQ(screen::line(1), "[KVALDBG]: The IDT Index is higher than the max entries [Index = 256]");
    EXPECT_EQ(screen::attr_at(0, 1), 0x1C);
    EXPECT_EQ(screen::attr_at(68, 1), 0x1C);
    EXPECT_EQ(con_get_color(), COLOR_YELLOW);

    idt_set_gate(-1, isr_ignore, false);
    EXPECT_EQ(table_bytes(), before);
    EXPECT_EQ(screen::line(2), "[KVALDBG]: The IDT Index is higher than the max entries [Index = -1]");
}

}  // namespace
