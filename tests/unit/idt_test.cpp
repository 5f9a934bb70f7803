// The interrupt descriptor table: gate bytes, line masking and unmasking, and
// the reaction to a vector outside the table.
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

using Bytes = std::vector<uint8_t>;

// The 8 bytes of a gate with selector 0x08.
Bytes gate_for(void (*handler)(), uint8_t type = 0x8E)
{
    const auto offset = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handler));
    return {static_cast<uint8_t>(offset),       static_cast<uint8_t>(offset >> 8), 0x08, 0, 0, type,
            static_cast<uint8_t>(offset >> 16), static_cast<uint8_t>(offset >> 24)};
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

    static const uint8_t* table()
    {
        uint32_t base;
        std::memcpy(&base, &fake::idtr[2], 4);
        return reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(base));
    }
    static Bytes table_bytes() { return {table(), table() + 2048}; }
    static Bytes gate(int vector) { return {table() + vector * 8, table() + vector * 8 + 8}; }
};

// Which handler each vector reaches, and the double fault's task gate, are
// checked in the running system; here the mask writes that go with them.
TEST_F(IdtTest, InitMasksEveryLineAndTheExceptionHandlersTouchNoPort)
{
    fake::port_writes.clear();
    idt_init();
    EXPECT_EQ(fake::port_writes.size(), 16u) << "one mask write per controller line";
    fake::port_writes.clear();
    exceptions_install();
    EXPECT_TRUE(fake::port_writes.empty()) << "exception vectors have no interrupt line";
    EXPECT_EQ(gate(0), gate_for(exception_stubs[0]));
    for (int32_t vector : {-1, 15, 32}) {
        EXPECT_EQ(exception_message(vector), nullptr) << vector;
    }
}

TEST_F(IdtTest, SetGate33UnmasksLineOneOnlyOnceItsGateIsComplete)
{
    fake::port_writes.clear();
    fake::set_default_read(0x21, 0xFF);
    fake::set_default_read(0xA1, 0xFF);
    bool gate_ready_at_unmask = false;
    fake::on_write(0x21, [&](uint16_t, uint32_t) { gate_ready_at_unmask = gate(33) == gate_for(kbd_irq); });

    idt_set_gate(33, kbd_irq, false);
    EXPECT_EQ(fake::port_writes, (Writes{out8(0x21, 0xFD)}));
    EXPECT_TRUE(gate_ready_at_unmask);

    fake::port_writes.clear();
    idt_set_gate(44, floppy_irq_handler, false);
    EXPECT_EQ(fake::port_writes, (Writes{out8(0xA1, 0xEF)})) << "a slave line";

    // Vectors outside 32-47 leave the masks alone; user_callable picks 0xEE.
    fake::port_writes.clear();
    for (int32_t vector : {31, 48, 60}) {
        idt_set_gate(vector, timer_irq, false);
        EXPECT_EQ(gate(vector), gate_for(timer_irq)) << vector;
    }
    idt_set_gate(61, timer_irq, true);
    EXPECT_EQ(gate(61), gate_for(timer_irq, 0xEE));
    EXPECT_TRUE(fake::port_writes.empty());
}

TEST_F(IdtTest, SetEntryWritesEveryFieldAndAVectorOutsideTheTableIsReportedInLightRed)
{
    console_init();
    idt_set_entry(200, 0xDEADBEEF, 0x1234, 0x8F);
    EXPECT_EQ(gate(200), (Bytes{0xEF, 0xBE, 0x34, 0x12, 0x00, 0x8F, 0xAD, 0xDE}));
    const Bytes before = table_bytes();
    idt_set_entry(256, 0x12345678, 0x08, 0x8E);
    idt_set_gate(-1, isr_ignore, false);
    EXPECT_EQ(table_bytes(), before);
    EXPECT_EQ(screen::line(1), "[KVALDBG]: The IDT Index is higher than the max entries [Index = 256]");
    EXPECT_EQ(screen::attr_at(0, 1), 0x1C);
    EXPECT_EQ(screen::attr_at(68, 1), 0x1C);
    EXPECT_EQ(screen::line(2), "[KVALDBG]: The IDT Index is higher than the max entries [Index = -1]");
    EXPECT_EQ(con_get_color(), COLOR_YELLOW);
}

}  // namespace
