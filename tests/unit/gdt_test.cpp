// The global descriptor table: slot bytes, the loaded register image and the
// reaction to a slot index outside the table.
#include <cstdint>
#include <cstring>
#include <vector>

#include "cpu/gdt.h"
#include "display/console.h"
#include "fakes/hw_test.h"
#include "fakes/screen.h"

namespace {

using Bytes = std::vector<uint8_t>;

class GdtTest : public HardwareTest {
protected:
    void SetUp() override
    {
        HardwareTest::SetUp();
        gdt_init();
    }

    static uint16_t loaded_limit() { return static_cast<uint16_t>(fake::gdtr[0] | fake::gdtr[1] << 8); }
    // The table's bytes, read through the base the processor was given.
    static Bytes bytes(int offset, int count)
    {
        uint32_t base;
        std::memcpy(&base, &fake::gdtr[2], 4);
        const auto* p = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(base)) + offset;
        return {p, p + count};
    }
    static Bytes table() { return bytes(0, 48); }
    static Bytes slot(int index) { return bytes(index * 8, 8); }
};

TEST_F(GdtTest, InitBuildsFlatRingZeroCodeAndDataAndLoadsTheRegister)
{
    ASSERT_EQ(fake::gdtr.size(), 6u);
    EXPECT_EQ(loaded_limit(), 0x2F);  // 6 slots x 8 bytes - 1

    EXPECT_EQ(slot(0), Bytes(8, 0));
    EXPECT_EQ(slot(1), (Bytes{0xFF, 0xFF, 0x00, 0x00, 0x00, 0x9A, 0xCF, 0x00}));
    EXPECT_EQ(slot(2), (Bytes{0xFF, 0xFF, 0x00, 0x00, 0x00, 0x92, 0xCF, 0x00}));
    EXPECT_EQ(bytes(24, 24), Bytes(24, 0)) << "slots 3-5 hold no descriptor";
}

TEST_F(GdtTest, SetEntrySplitsBaseAndLimitAndTakesOnlyTheHighNibbleOfTheFlags)
{
    gdt_set_entry(3, 0x12345678, 0xABCDE, 0x92, 0x4F);
    EXPECT_EQ(slot(3), (Bytes{0xDE, 0xBC, 0x78, 0x56, 0x34, 0x92, 0x4A, 0x12}));
    // Limit bits above 19 do not exist in a descriptor.
    gdt_set_entry(5, 0, 0xFFFFFFFF, 0x9A, 0x00);
    EXPECT_EQ(slot(5), (Bytes{0xFF, 0xFF, 0x00, 0x00, 0x00, 0x9A, 0x0F, 0x00}));
}

TEST_F(GdtTest, IndexOutsideTheTableIsReportedAndChangesNothing)
{
    console_init();
    const Bytes before = table();

    gdt_set_entry(6, 0xFFFFFFFF, 0xFFFFF, 0x9A, 0xCF);
    EXPECT_EQ(table(), before);
    EXPECT_EQ(screen::line(1), "[KVALDBG]: The GDT Index is higher than the max entries [Index = 6]");
    EXPECT_EQ(screen::attr_at(0, 1), 0x1C);  // light red on blue
    EXPECT_EQ(con_get_color(), COLOR_YELLOW);

    gdt_set_entry(-1, 0xFFFFFFFF, 0xFFFFF, 0x9A, 0xCF);
    EXPECT_EQ(table(), before);
    EXPECT_EQ(screen::line(2), "[KVALDBG]: The GDT Index is higher than the max entries [Index = -1]");
}

}  // namespace
