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

using PicTest = HardwareTest;

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

// Slave lines, 8 to 15, go to the slave first, then the master.
TEST_F(PicTest, EndOfInterruptGoesToTheSlaveFirstForSlaveLines)
{
    for (int32_t line : {9, 8, 15, 1, 7, 0}) {
        fake::port_writes.clear();
        pic_send_eoi(line);
        EXPECT_EQ(fake::port_writes,
                  line >= 8 ? (Writes{out8(0xA0, 0x20), out8(0x20, 0x20)}) : Writes{out8(0x20, 0x20)})
            << line;
    }
}

TEST_F(PicTest, MaskAndUnmaskChangeOnlyTheLinesBit)
{
    fake::queue_reads(0x21, {0xFF, 0x00});
    fake::queue_reads(0xA1, {0xFF, 0x5A, 0xFF});
    pic_unmask_irq(1);
    pic_mask_irq(3);
    pic_unmask_irq(10);
    pic_mask_irq(15);
    pic_unmask_irq(8);
    EXPECT_EQ(fake::port_writes,
              (Writes{out8(0x21, 0xFD), out8(0x21, 0x08), out8(0xA1, 0xFB), out8(0xA1, 0xDA), out8(0xA1, 0xFE)}));
}

TEST_F(PicTest, LinesTheControllersDoNotHaveAreIgnored)
{
    for (int32_t line : {16, 17, 1000, -1}) {
        pic_send_eoi(line);
    }
    pic_unmask_irq(16);
    pic_mask_irq(16);
    pic_unmask_irq(200);
    EXPECT_TRUE(fake::port_writes.empty());
}

}  // namespace
