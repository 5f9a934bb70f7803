// Processor primitives for the real machine (inline assembly).
#include "lib/cpu.h"

namespace {
constexpr uint32_t EFLAGS_ID = 0x200000;  // bit 21: writable only when CPUID exists
char vendor_area[13];                     // byte 12 stays 0
}  // namespace

void interrupts_enable()
{
    asm volatile("sti" ::: "memory");
}
void interrupts_disable()
{
    asm volatile("cli" ::: "memory");
}
void cpu_halt()
{
    asm volatile("hlt" ::: "memory");
}
void cpu_relax()
{
    asm volatile("pause" ::: "memory");
}

void cpu_wait_for_interrupt(uint32_t saved_flags)
{
    if ((saved_flags & EFLAGS_IF) != 0) {
        asm volatile("sti; hlt" ::: "memory");  // one block: nothing may come between them
    } else {
        asm volatile("pause" ::: "memory");
    }
}

void cpu_stop()
{
    asm volatile("cli" ::: "memory");
    for (;;) {
        asm volatile("" ::: "memory");
    }
}

uint32_t cpu_read_eflags()
{
    uint32_t flags;
    asm volatile("pushfl; popl %0" : "=r"(flags) : : "memory");
    return flags;
}

static void cpu_write_eflags(uint32_t flags)
{
    asm volatile("pushl %0; popfl" : : "r"(flags) : "memory", "cc");
}

bool cpu_has_cpuid()
{
    const uint32_t kept = cpu_read_eflags();
    cpu_write_eflags(kept ^ EFLAGS_ID);
    const uint32_t toggled = cpu_read_eflags();
    cpu_write_eflags(kept);
    return ((toggled ^ kept) & EFLAGS_ID) != 0;
}

const char* cpu_vendor()
{
    uint32_t eax = 0, ebx, ecx, edx;
    asm volatile("cpuid" : "+a"(eax), "=b"(ebx), "=c"(ecx), "=d"(edx));
    const uint32_t words[3] = {ebx, edx, ecx};
    for (int w = 0; w < 3; ++w) {
        for (int b = 0; b < 4; ++b) {
            vendor_area[w * 4 + b] = static_cast<char>(words[w] >> (8 * b));
        }
    }
    vendor_area[12] = 0;
    return vendor_area;
}

void cpu_load_gdt(const DescriptorTableRegister* table_register)
{
    asm volatile("lgdt (%0)" : : "r"(table_register) : "memory");
}

void cpu_load_idt(const DescriptorTableRegister* table_register)
{
    asm volatile("lidt (%0)" : : "r"(table_register) : "memory");
}

uint32_t cpu_read_cr0()
{
    uint32_t value;
    asm volatile("mov %%cr0, %0" : "=r"(value));
    return value;
}

void cpu_write_cr0(uint32_t value)
{
    asm volatile("mov %0, %%cr0" : : "r"(value) : "memory");
}

uint32_t cpu_read_cr2()
{
    uint32_t value;
    asm volatile("mov %%cr2, %0" : "=r"(value));
    return value;
}

uint32_t cpu_read_cr3()
{
    uint32_t value;
    asm volatile("mov %%cr3, %0" : "=r"(value));
    return value;
}

void cpu_write_cr3(uint32_t value)
{
    asm volatile("mov %0, %%cr3" : : "r"(value) : "memory");
}

void cpu_invalidate_page(uint32_t virtual_address)
{
    asm volatile("invlpg (%0)" : : "r"(virtual_address) : "memory");
}

void cpu_load_task_register(uint16_t selector)
{
    asm volatile("ltr %0" : : "r"(selector) : "memory");
}

uint32_t cpu_stack_pointer()
{
    uint32_t esp;
    asm volatile("mov %%esp, %0" : "=r"(esp));
    return esp;
}

void cpu_switch_stack(uint32_t stack_top, void (*continuation)())
{
    asm volatile(
        "mov %0, %%esp\n\t"
        "xor %%ebp, %%ebp\n\t"
        "call *%1"
        :
        : "a"(stack_top), "c"(continuation)
        : "memory");
    __builtin_unreachable();
}

void cpu_syscall(uint32_t number)
{
    asm volatile("int $60" : "+a"(number) : : "ebx", "ecx", "edx", "memory");
}
