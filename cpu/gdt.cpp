// The global descriptor table. Protected mode needs a code and a data
// descriptor; the kernel, its processes and the applications all run in
// ring 0, so two flat 4 GiB segments are all there is, and no user
// segments. Slots 3 and 4 hold the two task-state segments of cpu/tss.cpp,
// which only the double fault's task gate uses.
#include "cpu/gdt.h"

#include <stddef.h>

#include "cpu/tss.h"
#include "display/printf.h"
#include "lib/cpu.h"

namespace {

// One segment descriptor, in the processor's own layout (Intel SDM vol. 3,
// "Segment Descriptors").
struct [[gnu::packed]] GdtSlot {
    uint16_t limit_low;        // limit bits 0-15
    uint16_t base_low;         // base bits 0-15
    uint8_t base_middle;       // base bits 16-23
    uint8_t access;            // present, DPL, type
    uint8_t limit_high_flags;  // low nibble: limit bits 16-19; high nibble: G, D/B, L, AVL
    uint8_t base_high;         // base bits 24-31
};
static_assert(sizeof(GdtSlot) == 8);
static_assert(offsetof(GdtSlot, base_low) == 2);
static_assert(offsetof(GdtSlot, base_middle) == 4);
static_assert(offsetof(GdtSlot, access) == 5);
static_assert(offsetof(GdtSlot, limit_high_flags) == 6);
static_assert(offsetof(GdtSlot, base_high) == 7);

constexpr int32_t GDT_SLOTS = 6;  // null, code, data, two task-state segments and a spare, all-zero slot
constexpr int32_t SLOT_NULL = 0;
constexpr int32_t SLOT_KERNEL_CODE = 1;
constexpr int32_t SLOT_KERNEL_DATA = 2;
// A selector is the slot's byte offset in the table (RPL 0, GDT).
static_assert(SLOT_KERNEL_CODE * sizeof(GdtSlot) == KERNEL_CODE_SELECTOR);
static_assert(SLOT_KERNEL_DATA * sizeof(GdtSlot) == KERNEL_DATA_SELECTOR);
static_assert(TSS_STARTUP_SELECTOR == 3 * sizeof(GdtSlot));
static_assert(TSS_DOUBLE_FAULT_SELECTOR == 4 * sizeof(GdtSlot));

// Access bytes.
constexpr uint8_t ACCESS_NONE = 0x00;
constexpr uint8_t ACCESS_KERNEL_CODE = 0x9A;  // present, ring 0, code, execute/read
constexpr uint8_t ACCESS_KERNEL_DATA = 0x92;  // present, ring 0, data, read/write
// Flags nibble (high nibble of byte 6): granularity 4 KiB, 32-bit operands.
constexpr uint8_t FLAGS_NONE = 0x00;
constexpr uint8_t FLAGS_4K_32BIT = 0xCF;
constexpr uint32_t LIMIT_4GIB = 0xFFFFF;  // in 4 KiB units: the whole 4 GiB

GdtSlot gdt[GDT_SLOTS];
DescriptorTableRegister gdt_register;

}  // namespace

void gdt_set_entry(int32_t index, uint32_t base, uint32_t limit, uint8_t access, uint8_t flags)
{
    if (index < 0 || index >= GDT_SLOTS) {
        con_debug("\n[KVALDBG]: The GDT Index is higher than the max entries [Index = %i]",
                  static_cast<uint32_t>(index));
        return;
    }
    GdtSlot& slot = gdt[index];
    slot.limit_low = static_cast<uint16_t>(limit & 0xFFFF);
    slot.base_low = static_cast<uint16_t>(base & 0xFFFF);
    slot.base_middle = static_cast<uint8_t>((base >> 16) & 0xFF);
    slot.access = access;
    slot.limit_high_flags = static_cast<uint8_t>(((limit >> 16) & 0x0F) | (flags & 0xF0));
    slot.base_high = static_cast<uint8_t>((base >> 24) & 0xFF);
}

// The loader already runs the kernel with CS = 0x08 and the entry code loads
// 0x10 into the data segment registers; both selectors name identical
// descriptors here, so the segment registers need no reload.
void gdt_init()
{
    gdt_register.limit = sizeof(gdt) - 1;
    gdt_register.base = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&gdt[0]));

    // The null slot and slot 5 stay all zero: no descriptor.
    for (int32_t index = SLOT_NULL; index < GDT_SLOTS; ++index) {
        gdt_set_entry(index, 0, 0, ACCESS_NONE, FLAGS_NONE);
    }
    gdt_set_entry(SLOT_KERNEL_CODE, 0, LIMIT_4GIB, ACCESS_KERNEL_CODE, FLAGS_4K_32BIT);
    gdt_set_entry(SLOT_KERNEL_DATA, 0, LIMIT_4GIB, ACCESS_KERNEL_DATA, FLAGS_4K_32BIT);

    cpu_load_gdt(&gdt_register);
    // LTR reads its descriptor from the loaded table.
    tss_init();
}
