// The start-up task's segment and the double-fault task's. The first only
// receives the state the processor saves when vector 8's task gate switches
// away; the second is the whole of the double-fault task: a 4 KiB stack and
// the registers it starts from.
#include "cpu/tss.h"

#include <stddef.h>

#include "cpu/gdt.h"
#include "cpu/isr.h"
#include "lib/cpu.h"

namespace {

// A 32-bit task-state segment (Intel SDM vol. 3, "32-Bit Task-State
// Segment"). Selector fields are 16 bits followed by 16 reserved ones.
struct [[gnu::packed]] TaskStateSegment {
    uint16_t previous_task, reserved0;  // the back link a nested task switch writes
    uint32_t esp0;
    uint16_t ss0, reserved1;
    uint32_t esp1;
    uint16_t ss1, reserved2;
    uint32_t esp2;
    uint16_t ss2, reserved3;
    uint32_t cr3;
    uint32_t eip;
    uint32_t eflags;
    uint32_t eax, ecx, edx, ebx, esp, ebp, esi, edi;
    uint16_t es, reserved4;
    uint16_t cs, reserved5;
    uint16_t ss, reserved6;
    uint16_t ds, reserved7;
    uint16_t fs, reserved8;
    uint16_t gs, reserved9;
    uint16_t ldt, reserved10;
    uint16_t trap;         // bit 0: debug trap on entry
    uint16_t io_map_base;  // offset of the I/O permission map
};
static_assert(sizeof(TaskStateSegment) == 104);
static_assert(offsetof(TaskStateSegment, esp0) == 4);
static_assert(offsetof(TaskStateSegment, cr3) == 28);
static_assert(offsetof(TaskStateSegment, eip) == 32);
static_assert(offsetof(TaskStateSegment, eflags) == 36);
static_assert(offsetof(TaskStateSegment, eax) == 40);
static_assert(offsetof(TaskStateSegment, esp) == 56);
static_assert(offsetof(TaskStateSegment, edi) == 68);
static_assert(offsetof(TaskStateSegment, es) == 72);
static_assert(offsetof(TaskStateSegment, cs) == 76);
static_assert(offsetof(TaskStateSegment, ss) == 80);
static_assert(offsetof(TaskStateSegment, ds) == 84);
static_assert(offsetof(TaskStateSegment, gs) == 92);
static_assert(offsetof(TaskStateSegment, ldt) == 96);
static_assert(offsetof(TaskStateSegment, io_map_base) == 102);

constexpr uint8_t ACCESS_TSS_AVAILABLE = 0x89;                // present, ring 0, 32-bit TSS, not busy
constexpr uint8_t FLAGS_BYTE_GRANULAR = 0x00;                 // the limit counts bytes
constexpr uint32_t TSS_LIMIT = sizeof(TaskStateSegment) - 1;  // 103: the least a 32-bit TSS may have
// A map offset at the limit: there is no I/O permission map (ring 0 needs none).
constexpr uint16_t NO_IO_MAP = sizeof(TaskStateSegment);
constexpr uint32_t DOUBLE_FAULT_STACK_SIZE = 4096;

// 128-byte alignment keeps each segment within one page: the processor reads
// and writes them in the middle of a task switch.
alignas(128) TaskStateSegment startup_segment;
alignas(128) TaskStateSegment double_fault_segment;
alignas(16) uint8_t double_fault_stack[DOUBLE_FAULT_STACK_SIZE];

uint32_t address_of(const void* p)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

// The descriptor of `segment` in the slot of `selector`, marked available.
void describe(uint16_t selector, const TaskStateSegment& segment)
{
    gdt_set_entry(selector / 8, address_of(&segment), TSS_LIMIT, ACCESS_TSS_AVAILABLE, FLAGS_BYTE_GRANULAR);
}

}  // namespace

void tss_init()
{
    startup_segment = TaskStateSegment{};
    startup_segment.io_map_base = NO_IO_MAP;
    tss_arm_double_fault();
    describe(TSS_STARTUP_SELECTOR, startup_segment);
    describe(TSS_DOUBLE_FAULT_SELECTOR, double_fault_segment);
    cpu_load_task_register(TSS_STARTUP_SELECTOR);
}

void tss_arm_double_fault()
{
    TaskStateSegment& task = double_fault_segment;
    task = TaskStateSegment{};
    task.cr3 = cpu_read_cr3();
    task.eip = address_of(reinterpret_cast<const void*>(&double_fault_entry));
    task.eflags = EFLAGS_RESERVED;  // interrupts off until it has decided
    task.esp = address_of(double_fault_stack + DOUBLE_FAULT_STACK_SIZE);
    task.cs = KERNEL_CODE_SELECTOR;
    task.ss = task.ds = task.es = task.fs = task.gs = KERNEL_DATA_SELECTOR;
    task.io_map_base = NO_IO_MAP;
}

// Entering the task marked both descriptors busy (the one left behind stays
// busy as a nested task's would), put slot 4 in the task register and set
// CR0.TS. LTR takes only an available descriptor and marks it busy itself.
void tss_rearm()
{
    describe(TSS_STARTUP_SELECTOR, startup_segment);
    cpu_load_task_register(TSS_STARTUP_SELECTOR);
    tss_arm_double_fault();
    describe(TSS_DOUBLE_FAULT_SELECTOR, double_fault_segment);
    cpu_write_cr0(cpu_read_cr0() & ~CR0_TS);
}

uint32_t tss_interrupted_esp()
{
    return startup_segment.esp;
}
