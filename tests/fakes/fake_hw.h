// Fakes of the lib/ hardware primitives for the host unit tests: a port bus
// that records writes and scripts reads, a physical-memory arena with a
// page-table walk for virtual addresses, and a processor whose privileged
// instructions are recorded. Every test starts from fake::reset().
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct ProcessRecord;

namespace fake {

// ---- port bus ----
struct PortAccess {
    uint16_t port;
    uint32_t value;
    int width;  // 8 or 16
    bool operator==(const PortAccess&) const = default;
};

// Every port write, in order.
extern std::vector<PortAccess> port_writes;
// Writes to one port only, in order (bytes).
std::vector<uint32_t> writes_to(uint16_t port);

// Scripted reads: queued values are returned first, then the handler's answer,
// then the port's default (0xFF unless set).
void queue_reads(uint16_t port, std::initializer_list<uint32_t> values);
void on_read(uint16_t port, std::function<uint32_t(uint16_t port)> handler);
void on_write(uint16_t port, std::function<void(uint16_t port, uint32_t value)> handler);
void set_default_read(uint16_t port, uint32_t value);

// ---- physical memory ----
constexpr uint32_t ARENA_SIZE = 64u * 1024 * 1024;  // physical 0 .. 64 MiB
uint8_t* phys(uint32_t address);                    // throws std::out_of_range beyond it
// Translates a virtual address through the page tables at cr3 when paging is
// on (CR0 bit 31); identity otherwise. Throws PageFault when unmapped.
uint32_t translate(uint32_t virtual_address);

struct PageFault {
    uint32_t address;
};

// ---- processor ----
struct Halted {};  // thrown by cpu_stop(): the kernel stopped for good
// Thrown by app_enter(): a loaded program was entered.
struct Entered {
    uint32_t entry, eflags, edx;
};
// Thrown by task_resume(): the scheduler entered `record`.
struct Resumed {
    const ProcessRecord* record;
};

extern bool interrupts_on;
extern uint32_t cr0;
extern uint32_t cr2;
extern uint32_t cr3;
// The last selector LTR took. LTR behaves as the processor's: it faults
// (std::logic_error) unless the GDT it was given holds an available 32-bit
// TSS there, and marks that descriptor busy.
extern uint16_t task_register;
extern std::vector<uint8_t> gdtr;  // the 6 bytes of the last cpu_load_gdt
extern std::vector<uint8_t> idtr;  // the 6 bytes of the last cpu_load_idt
extern std::vector<uint32_t> invalidated_pages;
extern std::vector<uint32_t> syscalls;  // EAX of every cpu_syscall
extern bool has_cpuid;
extern uint32_t stack_pointer;  // value of cpu_stack_pointer()
extern int relax_calls;         // turns of every wait: cpu_relax and cpu_wait_for_interrupt
// Turns of cpu_wait_for_interrupt that would have halted: those it was given
// flags with interrupts on for.
extern int halts;

// Called on every cpu_relax() and cpu_wait_for_interrupt(): where tests
// deliver ticks, keys and disk interrupts to code that waits. Throws if a
// loop waits too long.
extern std::function<void()> on_relax;
extern int relax_limit;  // 0 = no limit; reset() sets 10'000'000
// Called by cpu_syscall() after recording it.
extern std::function<void(uint32_t number)> on_syscall;

void reset();

}  // namespace fake
