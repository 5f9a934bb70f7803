// The interrupt descriptor table: 256 interrupt gates.
#pragma once

#include <stdint.h>

using InterruptHandler = void (*)();

constexpr uint8_t IDT_GATE_KERNEL = 0x8E;  // present, DPL 0, 32-bit interrupt gate
constexpr uint8_t IDT_GATE_USER = 0xEE;    // present, DPL 3, 32-bit interrupt gate
constexpr uint8_t IDT_GATE_TASK = 0x85;    // present, DPL 0, task gate

void idt_init();
void idt_set_entry(int32_t vector, uint32_t handler, uint16_t selector, uint8_t type);
// Installs `handler` on `vector`; for vectors 32-47 also opens the matching
// interrupt line, after the gate is complete.
void idt_set_gate(int32_t vector, InterruptHandler handler, bool user_callable);
void idt_set_default_gate(int32_t vector);
// A task gate: the vector switches to the task of the TSS `tss_selector`.
void idt_set_task_gate(int32_t vector, uint16_t tss_selector);
