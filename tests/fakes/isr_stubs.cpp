// Host stand-ins for the interrupt entry stubs of cpu/isr.asm. Only their
// addresses matter: the IDT tests compare gate offsets with them. Each body
// differs, so the linker cannot fold two of them onto one address.
#include "cpu/isr.h"

namespace {
volatile int last_stub = -1;  // which stand-in ran last; nothing reads it

template <int Vector>
void exception_stand_in()
{
    last_stub = Vector;
}
}  // namespace

extern "C" {
void isr_ignore()
{
    last_stub = 100;
}
void isr_irq_master_default()
{
    last_stub = 101;
}
void isr_irq_slave_default()
{
    last_stub = 102;
}
void timer_irq()
{
    last_stub = 103;
}
void kbd_irq()
{
    last_stub = 104;
}
void floppy_irq_handler()
{
    last_stub = 105;
}

// Vectors 0-14, 16-19 and 30, as in the real table.
// clang-format off
void (*const exception_stubs[32])() = {
    exception_stand_in<0>,  exception_stand_in<1>,  exception_stand_in<2>,  exception_stand_in<3>,
    exception_stand_in<4>,  exception_stand_in<5>,  exception_stand_in<6>,  exception_stand_in<7>,
    exception_stand_in<8>,  exception_stand_in<9>,  exception_stand_in<10>, exception_stand_in<11>,
    exception_stand_in<12>, exception_stand_in<13>, exception_stand_in<14>, nullptr,
    exception_stand_in<16>, exception_stand_in<17>, exception_stand_in<18>, exception_stand_in<19>,
    nullptr,                nullptr,                nullptr,                nullptr,
    nullptr,                nullptr,                nullptr,                nullptr,
    nullptr,                nullptr,                exception_stand_in<30>, nullptr,
};
// clang-format on
}
