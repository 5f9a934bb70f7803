// Interrupt entry stubs (cpu/isr.asm). They are interrupt entry points, not
// callable functions; C++ takes only their addresses for the IDT. Each stub
// has the one handler shape: disable interrupts, push all general registers,
// do its work (a C++ function below), pop, enable, return from interrupt.
#pragma once

#include <stdint.h>

struct TickFrame;
struct ProcessRecord;

extern "C" {
// Default handlers of cpu/idt.cpp.
void isr_ignore();
void isr_irq_master_default();
void isr_irq_slave_default();

// Vector 32: calls timer_tick; switches tasks on the scheduler stack when it
// asks for it.
void timer_irq();
// Vector 33: calls kbd_irq_work.
void kbd_irq();
// Vector 38: calls floppy_irq_work.
void floppy_irq_handler();
// Vector 60, the system-call gate: calls syscall_dispatch with the caller's
// registers, which it returns as the dispatch left them.
void syscall_entry();

// Processor exceptions 0-7, 9-14, 16-19 and 30: each calls exception_dispatch
// with its vector. Indexed by vector; null where the vector has no handler.
extern void (*const exception_stubs[32])();
// Where the double-fault task starts (vector 8 is a task gate): clears the
// nested-task flag and calls double_fault_task.
void double_fault_entry();

// ---- the C++ work the stubs call ----
// Timer tick: software timers, end of interrupt, scheduling step. Returns
// non-zero when the stub must switch tasks with the frame at `frame`.
uint32_t timer_tick(uint32_t frame);
// Task switch on the scheduler stack (never returns).
[[noreturn]] void task_switch(const TickFrame* frame);
// Enters a process from its record: ESP = esp + 12 with an interrupt-return
// frame built there, data segments 16, its registers, interrupts on.
[[noreturn]] void task_resume(const ProcessRecord* record);
// Enters a loaded program at `entry`: the given flags with interrupts
// enabled, EDX = `edx`, the other registers 0, EBP = ESP.
[[noreturn]] void app_enter(uint32_t entry, uint32_t eflags, uint32_t edx);
// The scheduler stack's top, which the timer stub loads before task_switch.
extern const uint32_t sched_stack_top;
void kbd_irq_work();
void floppy_irq_work();
[[noreturn]] void exception_dispatch(int32_t vector);
[[noreturn]] void double_fault_task();
}
