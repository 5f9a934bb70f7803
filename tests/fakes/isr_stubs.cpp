// Host stand-ins for the interrupt entry stubs of cpu/isr.asm. Only their
// addresses matter: the IDT tests compare gate offsets with them. Each body
// differs, so the linker cannot fold two of them onto one address.
#include "cpu/isr.h"

#include "fakes/fake_hw.h"

namespace {
volatile int last_stub = -1;  // which stand-in ran last; nothing reads it

template <int N>
void stand_in()
{
    last_stub = N;
}
}  // namespace

extern "C" {
// clang-format off
void isr_ignore() { stand_in<100>(); }
void isr_irq_master_default() { stand_in<101>(); }
void isr_irq_slave_default() { stand_in<102>(); }
void timer_irq() { stand_in<103>(); }
void kbd_irq() { stand_in<104>(); }
void floppy_irq_handler() { stand_in<105>(); }
void syscall_entry() { stand_in<106>(); }
void double_fault_entry() { stand_in<107>(); }
// clang-format on

void task_resume(const ProcessRecord* record)
{
    throw fake::Resumed{record};
}

void app_enter(uint32_t entry, uint32_t eflags, uint32_t edx)
{
    throw fake::Entered{entry, eflags, edx};
}

// A stand-in for every vector, even those the real table leaves null: which
// vectors get a handler is then up to the kernel's message table alone.
void (*const exception_stubs[32])() = {
    stand_in<0>,  stand_in<1>,  stand_in<2>,  stand_in<3>,  stand_in<4>,  stand_in<5>,  stand_in<6>,  stand_in<7>,
    stand_in<8>,  stand_in<9>,  stand_in<10>, stand_in<11>, stand_in<12>, stand_in<13>, stand_in<14>, stand_in<15>,
    stand_in<16>, stand_in<17>, stand_in<18>, stand_in<19>, stand_in<20>, stand_in<21>, stand_in<22>, stand_in<23>,
    stand_in<24>, stand_in<25>, stand_in<26>, stand_in<27>, stand_in<28>, stand_in<29>, stand_in<30>, stand_in<31>,
};
}
