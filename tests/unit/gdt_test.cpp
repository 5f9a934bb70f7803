// The global descriptor table: slot bytes, the two task-state segments and
// their re-arming after a double fault, and the reaction to a slot index
// outside the table.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "cpu/gdt.h"
#include "cpu/isr.h"
#include "cpu/tss.h"
#include "display/console.h"
#include "fakes/hw_test.h"
#include "fakes/screen.h"
#include "lib/cpu.h"

namespace {

using Bytes = std::vector<uint8_t>;

class GdtTest : public HardwareTest {
protected:
    void SetUp() override
    {
        HardwareTest::SetUp();
        gdt_init();
    }

    // The table's bytes, read through the base the processor was given.
    static Bytes bytes(int offset, int count)
    {
        uint32_t base;
        std::memcpy(&base, &fake::gdtr[2], 4);
        const auto* p = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(base)) + offset;
        return {p, p + count};
    }
    static Bytes table() { return bytes(0, 48); }
    static Bytes slot(int index) { return bytes(index * 8, 8); }
    // The 32-bit word at `offset` of the task-state segment slot `index` describes.
    static uint32_t& tss_word(int index, int offset)
    {
        const Bytes s = slot(index);
        const uint32_t base = s[2] | s[3] << 8 | s[4] << 16 | static_cast<uint32_t>(s[7]) << 24;
        return *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(base + offset));
    }
    static uint8_t& access(int index)
    {
        uint32_t base;
        std::memcpy(&base, &fake::gdtr[2], 4);
        return *reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(base + index * 8 + 5));
    }
};

// Task-state segment fields (Intel SDM vol. 3, "32-Bit Task-State Segment").
constexpr int TSS_LINK = 0, TSS_CR3 = 28, TSS_EIP = 32, TSS_EFLAGS = 36, TSS_ESP = 56, TSS_ES = 72, TSS_CS = 76,
              TSS_GS = 92, TSS_IO_MAP = 100;
constexpr uint8_t TSS_AVAILABLE = 0x89, TSS_BUSY = 0x8B;

// The flat code and data slots, the limits and access bytes of the two task
// slots and the task register are checked in the running system; here the
// fields only the kernel's own code reads. The double-fault task starts at its
// stub, interrupts off, in the flat segments and the directory loaded when it
// was armed.
TEST_F(GdtTest, TheDoubleFaultTaskStartsAtItsStubInTheFlatSegments)
{
    for (int index : {3, 4}) {
        EXPECT_EQ(tss_word(index, TSS_IO_MAP) >> 16, 104u) << "no I/O map in slot " << index;
    }
    EXPECT_EQ(tss_word(4, TSS_EIP), reinterpret_cast<uintptr_t>(&double_fault_entry));
    EXPECT_EQ(tss_word(4, TSS_EFLAGS), 0x2u);
    for (int offset = TSS_ES; offset <= TSS_GS; offset += 4) {
        EXPECT_EQ(tss_word(4, offset) & 0xFFFF, offset == TSS_CS ? 0x08u : 0x10u) << "selector at " << offset;
    }
    fake::cr3 = 0x9C000;
    tss_arm_double_fault();
    EXPECT_EQ(tss_word(4, TSS_CR3), 0x9C000u);
    EXPECT_EQ(tss_word(4, TSS_ESP) % 16, 0u);
}

// What the processor leaves behind when vector 8's gate switches tasks, and
// what must be true again before the next double fault can.
TEST_F(GdtTest, RearmingAfterADoubleFaultLeavesBothTasksReadyForTheNext)
{
    const uint32_t stack_top = tss_word(4, TSS_ESP);
    tss_word(3, TSS_ESP) = 0x8FFFFFF0;  // the interrupted state, saved
    access(4) = TSS_BUSY;
    fake::task_register = 0x20;
    tss_word(4, TSS_LINK) = 0x18;
    tss_word(4, TSS_EIP) = 0xDEAD;  // as a switch away from it would leave it
    tss_word(4, TSS_ESP) = 0xBEEF;
    fake::cr0 = 0x80000011 | CR0_TS;

    EXPECT_EQ(tss_interrupted_esp(), 0x8FFFFFF0u);
    tss_rearm();

    EXPECT_EQ(fake::task_register, 0x18);
    EXPECT_EQ(access(3), TSS_BUSY);
    EXPECT_EQ(access(4), TSS_AVAILABLE);
    EXPECT_EQ(tss_word(4, TSS_LINK), 0u);
    EXPECT_EQ(tss_word(4, TSS_EIP), reinterpret_cast<uintptr_t>(&double_fault_entry));
    EXPECT_EQ(tss_word(4, TSS_ESP), stack_top);
    EXPECT_EQ(fake::cr0, 0x80000011u);
    tss_rearm();  // and again: LTR would fault on a busy descriptor
    EXPECT_EQ(fake::task_register, 0x18);
}

TEST_F(GdtTest, SetEntrySplitsBaseAndLimitAndTakesOnlyTheHighNibbleOfTheFlags)
{
    gdt_set_entry(3, 0x12345678, 0xABCDE, 0x92, 0x4F);
    EXPECT_EQ(slot(3), (Bytes{0xDE, 0xBC, 0x78, 0x56, 0x34, 0x92, 0x4A, 0x12}));
    // Limit bits above 19 do not exist in a descriptor.
    gdt_set_entry(5, 0, 0xFFFFFFFF, 0x9A, 0x00);
    EXPECT_EQ(slot(5), (Bytes{0xFF, 0xFF, 0x00, 0x00, 0x00, 0x9A, 0x0F, 0x00}));
}

TEST_F(GdtTest, IndexOutsideTheTableIsReportedAndChangesNothing)
{
    console_init();
    const Bytes before = table();
    for (const int32_t index : {6, -1}) {
        con_clear();
        gdt_set_entry(index, 0xFFFFFFFF, 0xFFFFF, 0x9A, 0xCF);
        EXPECT_EQ(table(), before);
        EXPECT_EQ(screen::line(1),
                  "[KVALDBG]: The GDT Index is higher than the max entries [Index = " + std::to_string(index) + "]");
        EXPECT_EQ(screen::attr_at(0, 1), 0x1C);  // light red on blue
        EXPECT_EQ(con_get_color(), COLOR_YELLOW);
    }
}

}  // namespace
