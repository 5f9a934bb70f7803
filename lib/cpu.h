// Processor primitives: the few instructions ordinary C++ cannot express.
// Everything that needs a privileged instruction goes through here, so the
// rest of the kernel can be compiled for the host and run against fakes.
#pragma once

#include <stdint.h>

void interrupts_enable();   // STI
void interrupts_disable();  // CLI
void cpu_halt();            // HLT: waits for the next interrupt, then returns

// Spin-wait hint (PAUSE), for the short polls of a device register and the
// waits that run with interrupts off; on the host it is where the test fakes
// deliver ticks and keys.
void cpu_relax();

// Interrupts off and spin for good: the end of a fatal error report.
[[noreturn]] void cpu_stop();

// True when EFLAGS bit 21 (the ID flag) can be toggled, i.e. CPUID exists.
bool cpu_has_cpuid();
// The CPUID vendor string (EBX, EDX, ECX of leaf 0) in a static 13-byte area.
const char* cpu_vendor();
uint32_t cpu_read_eflags();

constexpr uint32_t EFLAGS_RESERVED = 0x002;  // bit 1: always set
constexpr uint32_t EFLAGS_IF = 0x200;        // bit 9: maskable interrupts enabled

// A short critical section on the one processor: interrupts off, and back on
// afterwards only if they were on before (the callers may run either way).
inline uint32_t interrupts_save()
{
    const uint32_t flags = cpu_read_eflags();
    interrupts_disable();
    return flags;
}

inline void interrupts_restore(uint32_t saved_flags)
{
    if ((saved_flags & EFLAGS_IF) != 0) {
        interrupts_enable();
    }
}

// One turn of a wait for an interrupt, called with interrupts off right after
// the waited-for condition was found false, with the flags interrupts_save
// gave before the test. If they had interrupts on: STI, then HLT. STI lets
// interrupts in only after the instruction that follows it, so an interrupt
// that came after the test is taken once HLT has begun, and ends it, rather
// than before it, where the HLT would sleep on past it. It returns once the
// handler has run, with interrupts on; once the timer runs, a tick ends every
// halt within 10 ms. With interrupts off nothing could end a HLT (it would
// stop the processor for good): it is a PAUSE, and interrupts stay off. On
// the host it is where the fakes deliver ticks, keys and disk interrupts, as
// cpu_relax is.
void cpu_wait_for_interrupt(uint32_t saved_flags);

// Waits until `done` returns true, halting between interrupts instead of
// spinning. `done` runs with interrupts off, so what it tests and takes
// cannot change under it; it is called again after every interrupt. A
// process that waits here keeps the processor for its time slice as one
// that spins would: only the tick switches it out.
template <typename Done>
void cpu_wait_until(Done done)
{
    for (;;) {
        const uint32_t flags = interrupts_save();
        if (done()) {
            interrupts_restore(flags);
            return;
        }
        cpu_wait_for_interrupt(flags);
    }
}

// The 6-byte image LGDT and LIDT read: limit (table size - 1), then the
// linear base of the table.
struct [[gnu::packed]] DescriptorTableRegister {
    uint16_t limit;
    uint32_t base;
};
static_assert(sizeof(DescriptorTableRegister) == 6);
static_assert(__builtin_offsetof(DescriptorTableRegister, base) == 2);

void cpu_load_gdt(const DescriptorTableRegister* table_register);
void cpu_load_idt(const DescriptorTableRegister* table_register);

// CR0's floating-point bits (Intel SDM vol. 3, "Control Registers").
constexpr uint32_t CR0_MP = 0x02;  // monitor coprocessor: WAIT obeys TS
constexpr uint32_t CR0_EM = 0x04;  // no unit: every x87 instruction is #NM, MMX and SSE #UD
constexpr uint32_t CR0_TS = 0x08;  // set by every hardware task switch

uint32_t cpu_read_cr0();
void cpu_write_cr0(uint32_t value);
uint32_t cpu_read_cr2();  // the linear address of the last page fault
uint32_t cpu_read_cr3();
void cpu_write_cr3(uint32_t value);
void cpu_invalidate_page(uint32_t virtual_address);  // INVLPG
// LTR: the task register takes the task-state segment of `selector`, which
// must be available; the processor marks it busy.
void cpu_load_task_register(uint16_t selector);

uint32_t cpu_stack_pointer();

// Loads ESP with `stack_top` and calls `continuation` on the new stack.
// Nothing of the old stack is used again.
[[noreturn]] void cpu_switch_stack(uint32_t stack_top, void (*continuation)());

// Software interrupt 60 (the system-call gate) with EAX = `number`.
void cpu_syscall(uint32_t number);
