// The two cascaded 8259A interrupt controllers. The firmware leaves the
// master on vectors 8-15, on top of the processor's exceptions; the remap
// moves line n to vector 32 + n.
#include "cpu/pic.h"

#include "lib/cpu.h"
#include "lib/port.h"

namespace {

constexpr uint16_t PIC_MASTER_COMMAND = 0x20;
constexpr uint16_t PIC_MASTER_DATA = 0x21;  // interrupt mask register after initialisation
constexpr uint16_t PIC_SLAVE_COMMAND = 0xA0;
constexpr uint16_t PIC_SLAVE_DATA = 0xA1;

// Initialisation command words (8259A data sheet).
constexpr uint8_t ICW1_INIT_CASCADE_ICW4 = 0x11;          // edge triggered, cascade, ICW4 follows
constexpr uint8_t ICW2_MASTER_BASE = PIC_VECTOR_BASE;     // lines 0-7 -> vectors 32-39
constexpr uint8_t ICW2_SLAVE_BASE = PIC_VECTOR_BASE + 8;  // lines 8-15 -> vectors 40-47
constexpr uint8_t ICW3_MASTER_SLAVE_ON_LINE_2 = 0x04;     // bit 2: a slave hangs on line 2
constexpr uint8_t ICW3_SLAVE_IDENTITY = 0x02;             // the slave's cascade identity
constexpr uint8_t ICW4_8086_NORMAL_EOI = 0x01;            // 8086 mode, normal end of interrupt
constexpr uint8_t OCW1_MASK_ALL = 0xFF;
constexpr uint8_t OCW2_EOI = 0x20;  // non-specific end of interrupt
// OCW3: the command port reads the in-service register, or the request
// register (the state after initialisation) again.
constexpr uint8_t OCW3_READ_ISR = 0x0B;
constexpr uint8_t OCW3_READ_IRR = 0x0A;

constexpr int32_t PIC_LINES = 16;
constexpr int32_t FIRST_SLAVE_LINE = 8;

// The mask register that holds `line`, and the line's bit in it.
uint16_t mask_port(uint8_t line)
{
    return line < FIRST_SLAVE_LINE ? PIC_MASTER_DATA : PIC_SLAVE_DATA;
}
uint8_t mask_bit(uint8_t line)
{
    return static_cast<uint8_t>(1u << (line % FIRST_SLAVE_LINE));
}

// One non-specific EOI per bit in service: each ends the highest of them.
void end_in_service(uint16_t command_port)
{
    port_out8(command_port, OCW3_READ_ISR);
    uint8_t in_service = port_in8(command_port);
    port_out8(command_port, OCW3_READ_IRR);
    for (; in_service != 0; in_service &= static_cast<uint8_t>(in_service - 1)) {
        port_out8(command_port, OCW2_EOI);
    }
}

}  // namespace

void pic_remap()
{
    interrupts_disable();
    port_out8(PIC_MASTER_COMMAND, ICW1_INIT_CASCADE_ICW4);
    port_out8(PIC_SLAVE_COMMAND, ICW1_INIT_CASCADE_ICW4);
    port_out8(PIC_MASTER_DATA, ICW2_MASTER_BASE);
    port_out8(PIC_SLAVE_DATA, ICW2_SLAVE_BASE);
    port_out8(PIC_MASTER_DATA, ICW3_MASTER_SLAVE_ON_LINE_2);
    port_out8(PIC_SLAVE_DATA, ICW3_SLAVE_IDENTITY);
    port_out8(PIC_MASTER_DATA, ICW4_8086_NORMAL_EOI);
    port_out8(PIC_SLAVE_DATA, ICW4_8086_NORMAL_EOI);
    // Every line shut; each opens when its driver installs a gate.
    port_out8(PIC_MASTER_DATA, OCW1_MASK_ALL);
    port_out8(PIC_SLAVE_DATA, OCW1_MASK_ALL);
}

// A slave line is in service on both controllers (the slave and the master's
// cascade line 2), so the slave is acknowledged first, then the master. The
// controllers have lines 0-15 only: anything else is not an interrupt that
// was delivered, and a stray non-specific EOI would end whichever interrupt
// happens to be in service.
extern "C" void pic_send_eoi(int32_t line)
{
    if (line < 0 || line >= PIC_LINES) {
        return;
    }
    if (line >= FIRST_SLAVE_LINE) {
        port_out8(PIC_SLAVE_COMMAND, OCW2_EOI);
    }
    port_out8(PIC_MASTER_COMMAND, OCW2_EOI);
}

// The slave first: its lines hold the master's cascade line in service.
void pic_end_all_in_service()
{
    end_in_service(PIC_SLAVE_COMMAND);
    end_in_service(PIC_MASTER_COMMAND);
}

void pic_mask_irq(uint8_t line)
{
    if (line >= PIC_LINES) {
        return;
    }
    const uint16_t port = mask_port(line);
    port_out8(port, static_cast<uint8_t>(port_in8(port) | mask_bit(line)));
}

void pic_unmask_irq(uint8_t line)
{
    if (line >= PIC_LINES) {
        return;
    }
    const uint16_t port = mask_port(line);
    port_out8(port, static_cast<uint8_t>(port_in8(port) & ~mask_bit(line)));
}
