// The two task-state segments. Everything runs in ring 0, so the processor
// pushes an exception's frame onto the stack that faulted; when that stack
// is gone (an overflow), the page fault cannot be delivered, nor the double
// fault after it, and the processor would reset. Vector 8 is therefore a
// task gate: the processor saves the interrupted state into the start-up
// task's segment, which the task register holds, and enters the double-fault
// task, whose stack, page directory and flags are its own.
#pragma once

#include <stdint.h>

constexpr uint16_t TSS_STARTUP_SELECTOR = 0x18;       // GDT slot 3
constexpr uint16_t TSS_DOUBLE_FAULT_SELECTOR = 0x20;  // GDT slot 4

// Both segments and their descriptors, and the task register loaded with
// the start-up task's. Called by gdt_init once the table is loaded.
void tss_init();
// Sets the double-fault task's start again: its entry stub, the top of its
// stack, interrupts off, the kernel's segments and the page directory
// loaded now (which must hold the kernel: start-up arms it again once the
// kernel's own directory is in).
void tss_arm_double_fault();
// Undoes what entering the double-fault task did, so the next double fault
// can enter it again: both descriptors available, the task register back on
// the start-up task's, the double-fault task armed again and CR0.TS clear.
// The entry stub has already cleared the nested-task flag.
void tss_rearm();
// The ESP the processor saved at the last task switch: the stack the double
// fault interrupted.
uint32_t tss_interrupted_esp();
