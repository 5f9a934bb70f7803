// The 8259 pair: the remap sequence, end-of-interrupt and line masks.
#include <cstdint>
#include <vector>

#include "cpu/pic.h"
#include "fakes/hw_test.h"

namespace {

using Writes = std::vector<fake::PortAccess>;
fake::PortAccess out8(uint16_t port, uint32_t value)
{
    return {port, value, 8};
}

class PicTest : public HardwareTest {};

TEST_F(PicTest, RemapDisablesInterruptsThenWritesTheTenInitialisationBytes)
{
    fake::interrupts_on = true;
    bool on_at_first_write = true;
    fake::on_write(0x20, [&](uint16_t, uint32_t) {
        if (fake::port_writes.size() == 1) {
            on_at_first_write = fake::interrupts_on;
        }
    });

    pic_remap();

    EXPECT_FALSE(on_at_first_write);
    EXPECT_FALSE(fake::interrupts_on);
    EXPECT_EQ(fake::port_writes, (Writes{
                                     out8(0x20, 0x11), out8(0xA0, 0x11),  // ICW1
                                     out8(0x21, 0x20), out8(0xA1, 0x28),  // ICW2: vectors 32 and 40
                                     out8(0x21, 0x04), out8(0xA1, 0x02),  // ICW3: cascade on line 2
                                     out8(0x21, 0x01), out8(0xA1, 0x01),  // ICW4: 8086 mode
                                     out8(0x21, 0xFF), out8(0xA1, 0xFF),  // every line masked
                                 }));
}

TEST_F(PicTest, EndOfInterruptGoesToTheSlaveFirstForSlaveLines)
{
    pic_send_eoi(9);
    EXPECT_EQ(fake::port_writes, (Writes{out8(0xA0, 0x20), out8(0x20, 0x20)}));

    fake::port_writes.clear();
    pic_send_eoi(1);
    EXPECT_EQ(fake::port_writes, (Writes{out8(0x20, 0x20)}));

    fake::port_writes.clear();
    pic_send_eoi(8);
    pic_send_eoi(15);
    pic_send_eoi(7);
    pic_send_eoi(0);
    EXPECT_EQ(fake::port_writes, (Writes{out8(0xA0, 0x20), out8(0x20, 0x20), out8(0xA0, 0x20), out8(0x20, 0x20),
                                         out8(0x20, 0x20), out8(0x20, 0x20)}));
}

TEST_F(PicTest, NoEndOfInterruptForALineTheControllersDoNotHave)
{
    pic_send_eoi(16);
    pic_send_eoi(17);
    pic_send_eoi(1000);
    pic_send_eoi(-1);
    EXPECT_TRUE(fake::port_writes.empty());
}

TEST_F(PicTest, MaskAndUnmaskChangeOnlyTheLinesBit)
{
    fake::queue_reads(0x21, {0xFF});
    pic_unmask_irq(1);
    fake::queue_reads(0x21, {0x00});
    pic_mask_irq(3);
    fake::queue_reads(0xA1, {0xFF});
    pic_unmask_irq(10);
    fake::queue_reads(0xA1, {0x5A});
    pic_mask_irq(15);
    fake::queue_reads(0xA1, {0xFF});
    pic_unmask_irq(8);

    EXPECT_EQ(fake::port_writes,
              (Writes{out8(0x21, 0xFD), out8(0x21, 0x08), out8(0xA1, 0xFB), out8(0xA1, 0xDA), out8(0xA1, 0xFE)}));
}

TEST_F(PicTest, MaskOperationsIgnoreLinesBeyondFifteen)
{
    pic_unmask_irq(16);
    pic_mask_irq(16);
    pic_unmask_irq(200);
    EXPECT_TRUE(fake::port_writes.empty());
}

}  // namespace
