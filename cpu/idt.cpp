// The interrupt descriptor table: 256 32-bit interrupt gates. Every vector
// has a handler from idt_init on, so a stray interrupt never meets an empty
// gate; drivers replace the defaults through idt_set_gate.
#include "cpu/idt.h"

#include <stddef.h>

#include "cpu/gdt.h"
#include "cpu/isr.h"
#include "cpu/pic.h"
#include "display/printf.h"
#include "lib/cpu.h"

namespace {

// One gate, in the processor's layout (Intel SDM vol. 3, "IDT Descriptors").
struct [[gnu::packed]] IdtGate {
    uint16_t offset_low;   // handler bits 0-15
    uint16_t selector;     // code segment the handler runs in
    uint8_t zero;          // reserved, must be 0
    uint8_t type;          // present, DPL, gate type
    uint16_t offset_high;  // handler bits 16-31
};
static_assert(sizeof(IdtGate) == 8);
static_assert(offsetof(IdtGate, selector) == 2);
static_assert(offsetof(IdtGate, zero) == 4);
static_assert(offsetof(IdtGate, type) == 5);
static_assert(offsetof(IdtGate, offset_high) == 6);

constexpr int32_t IDT_GATES = 256;  // every vector the processor can raise

// The interrupt-controller lines after the remap: master 32-39, slave 40-47.
constexpr int32_t IRQ_FIRST_VECTOR = PIC_VECTOR_BASE;
constexpr int32_t IRQ_FIRST_SLAVE_VECTOR = PIC_VECTOR_BASE + 8;
constexpr int32_t IRQ_LAST_VECTOR = PIC_VECTOR_BASE + 15;

IdtGate idt[IDT_GATES];
DescriptorTableRegister idt_register;

bool is_irq_vector(int32_t vector)
{
    return vector >= IRQ_FIRST_VECTOR && vector <= IRQ_LAST_VECTOR;
}

uint32_t handler_address(InterruptHandler handler)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handler));
}

}  // namespace

void idt_set_entry(int32_t vector, uint32_t handler, uint16_t selector, uint8_t type)
{
    if (vector < 0 || vector >= IDT_GATES) {
        con_debug("\n[KVALDBG]: The IDT Index is higher than the max entries [Index = %i]",
                  static_cast<uint32_t>(vector));
        return;
    }
    IdtGate& gate = idt[vector];
    gate = IdtGate{};
    gate.offset_low = static_cast<uint16_t>(handler & 0xFFFF);
    gate.selector = selector;
    gate.zero = 0;
    gate.type = type;
    gate.offset_high = static_cast<uint16_t>(handler >> 16);
}

// The gate is complete before its line opens: an interrupt on a freshly
// unmasked line must never find a half-written gate.
void idt_set_gate(int32_t vector, InterruptHandler handler, bool user_callable)
{
    idt_set_entry(vector, handler_address(handler), KERNEL_CODE_SELECTOR,
                  user_callable ? IDT_GATE_USER : IDT_GATE_KERNEL);
    if (is_irq_vector(vector)) {
        pic_unmask_irq(static_cast<uint8_t>(vector - IRQ_FIRST_VECTOR));
    }
}

// A task gate has no handler offset: the task's segment says where it runs.
void idt_set_task_gate(int32_t vector, uint16_t tss_selector)
{
    idt_set_entry(vector, 0, tss_selector, IDT_GATE_TASK);
}

// Hardware lines get a handler that acknowledges the controller(s), so a line
// without a driver cannot block every line of lower priority; everything else
// is ignored. idt_init runs before the controllers are remapped, and the remap
// masks every line again, so the lines opened here stay shut until a driver
// installs its gate.
void idt_set_default_gate(int32_t vector)
{
    if (!is_irq_vector(vector)) {
        idt_set_entry(vector, handler_address(isr_ignore), KERNEL_CODE_SELECTOR, IDT_GATE_KERNEL);
        return;
    }
    const InterruptHandler handler = vector < IRQ_FIRST_SLAVE_VECTOR ? isr_irq_master_default : isr_irq_slave_default;
    idt_set_entry(vector, handler_address(handler), KERNEL_CODE_SELECTOR, IDT_GATE_KERNEL);
    pic_unmask_irq(static_cast<uint8_t>(vector - IRQ_FIRST_VECTOR));
}

void idt_init()
{
    idt_register.limit = sizeof(idt) - 1;
    idt_register.base = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&idt[0]));

    for (IdtGate& gate : idt) {
        gate = IdtGate{};
    }
    for (int32_t vector = 0; vector < IDT_GATES; ++vector) {
        idt_set_default_gate(vector);
    }

    cpu_load_idt(&idt_register);
}
