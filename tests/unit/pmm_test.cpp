// The frame manager: the memory-map walk, the region accounting behind the
// `mem` figures, allocation rules, and memory the kernel cannot address.
#include <cstdint>
#include <cstring>

#include "drivers/dma.h"
#include "fakes/hw_test.h"
#include "mm/pmm.h"

namespace {

constexpr uint32_t KERNEL_BASE = 0x100000;
constexpr uint32_t KERNEL_SIZE = 0x20000;
constexpr uint64_t FOUR_GIB = 0x100000000;

class PmmTest : public HardwareTest {
protected:
    void range(uint32_t index, uint64_t base, uint64_t length, uint32_t type)
    {
        MemoryRange entry{base, length, type, 1};
        std::memcpy(fake::phys(MEMORY_MAP_ADDRESS + index * sizeof(MemoryRange)), &entry, sizeof entry);
    }

    // What PC firmware reports: conventional memory up to the EBDA, the
    // ROM area, and RAM from 1 MiB to the top.
    void pc_map(uint32_t memory_kb)
    {
        range(0, 0, 0x9FC00, 1);
        range(1, 0x9FC00, 0x400, 2);
        range(2, 0xF0000, 0x10000, 2);
        range(3, 0x100000, static_cast<uint64_t>(memory_kb) * 1024 - 0x100000, 1);
    }

    uint32_t set_bits()
    {
        uint32_t count = 0;
        for (uint32_t frame = 0; frame < pmm_total_frames(); ++frame) {
            count += pmm_frame_used(frame) ? 1 : 0;
        }
        return count;
    }

    uint8_t* after_bitmap() { return fake::phys(pmm_bitmap_address() + pmm_total_frames() / 8); }

    // Allocates single frames until the count says `remaining` are free.
    void allocate_until_free(uint32_t remaining)
    {
        while (pmm_free_size(true) > remaining) {
            ASSERT_NE(pmm_alloc_frame(), 0u);
        }
    }
};

// With a standard 16 MiB map: 159 low frames and 3840 frames from 1 MiB are
// freed; the kernel and bitmap (33 frames), the set-aside frame and the 16
// DMA frames are taken again.
constexpr uint32_t STANDARD_USED = 4096 - 159 - 3840 + 33 + 1 + 16;

TEST_F(PmmTest, SixteenMiBFigures)
{
    pc_map(16384);
    fake::phys(KERNEL_BASE + KERNEL_SIZE + 512)[0] = 0xAB;
    pmm_init(16384, KERNEL_SIZE, KERNEL_BASE);

    EXPECT_EQ(pmm_total_frames(), 4096u);
    EXPECT_EQ(pmm_bitmap_address(), KERNEL_BASE + KERNEL_SIZE);
    EXPECT_EQ(fake::phys(KERNEL_BASE + KERNEL_SIZE + 512)[0], 0xAB) << "the bitmap is 512 bytes";

    // kernel_size + 4096 bytes from 0x100000 are reserved, and no more.
    EXPECT_TRUE(pmm_frame_used(0x100));
    EXPECT_TRUE(pmm_frame_used(0x120));
    EXPECT_FALSE(pmm_frame_used(0x121));
    EXPECT_TRUE(pmm_frame_used(0xA0));  // never reported usable
    EXPECT_TRUE(pmm_frame_used(0xFF));

    EXPECT_EQ(pmm_memory_size(false), 16384u * 1024);
    EXPECT_EQ(pmm_memory_size(true), 4096u);
    EXPECT_EQ(pmm_used_size(true), STANDARD_USED);
    EXPECT_EQ(pmm_used_size(false), STANDARD_USED * 4096);
    EXPECT_EQ(pmm_free_size(true), 4096 - STANDARD_USED);
    EXPECT_EQ(pmm_free_size(false), (16384 - STANDARD_USED * 4) * 1024);
    // Counts follow regions: frame 0, reserved again after the low region
    // freed it, is a set bit the count does not include.
    EXPECT_EQ(set_bits(), STANDARD_USED + 1);
}

TEST_F(PmmTest, SetAsideFrameAndDmaBufferComeFirstFromLowMemory)
{
    pc_map(16384);
    pmm_init(16384, KERNEL_SIZE, KERNEL_BASE);

    EXPECT_TRUE(pmm_frame_used(0));
    EXPECT_TRUE(pmm_frame_used(1));  // the memory-range table's frame, set aside
    EXPECT_EQ(dma_buffer, 0x2000u);
    for (uint32_t frame = 2; frame < 18; ++frame) {
        EXPECT_TRUE(pmm_frame_used(frame));
    }
    EXPECT_FALSE(pmm_frame_used(18));
    EXPECT_TRUE(pmm_dma_buffer_reachable());
    EXPECT_EQ(pmm_first_free(), 18);
}

TEST_F(PmmTest, DmaBufferAboveSixtyFourKiBIsReported)
{
    // Firmware that reports no usable memory below 1 MiB.
    range(0, 0x100000, 0xF00000, 1);
    pmm_init(16384, KERNEL_SIZE, KERNEL_BASE);

    EXPECT_GE(dma_buffer, 0x100000u);
    EXPECT_FALSE(pmm_dma_buffer_reachable());
}

TEST_F(PmmTest, UnalignedKernelSizeStillReservesTheWholeBitmap)
{
    pc_map(16384);
    pmm_init(16384, KERNEL_SIZE + 0xE00, KERNEL_BASE);

    // The bitmap fills 0x120E00-0x120FFF; the reservation, kernel_size plus
    // one byte per frame rounded up to whole frames, ends at 0x122000.
    EXPECT_TRUE(pmm_frame_used(0x120));
    EXPECT_TRUE(pmm_frame_used(0x121));
    EXPECT_FALSE(pmm_frame_used(0x122));
}

TEST_F(PmmTest, PairSkipsFreeFrameFollowedByUsedOne)
{
    pc_map(16384);
    pmm_init(16384, KERNEL_SIZE, KERNEL_BASE);
    const uint32_t first = static_cast<uint32_t>(pmm_first_free());
    pmm_mark_region_used((first + 1) * 4096, 4096);

    EXPECT_EQ(pmm_first_free_run(2), static_cast<int32_t>(first + 2));
    EXPECT_EQ(pmm_alloc_frames(2), (first + 2) * 4096);
    EXPECT_FALSE(pmm_frame_used(first));
    EXPECT_EQ(pmm_alloc_frame(), first * 4096);
}

TEST_F(PmmTest, LastFreeFrameIsRefused)
{
    pc_map(16384);
    pmm_init(16384, KERNEL_SIZE, KERNEL_BASE);
    allocate_until_free(2);
    // Reserving a frame that is already used moves the count only: one frame
    // free by the count, and one free bit.
    pmm_mark_region_used(KERNEL_BASE, 4096);
    ASSERT_EQ(pmm_free_size(true), 1u);
    ASSERT_GE(pmm_first_free(), 0);

    EXPECT_EQ(pmm_alloc_frame(), 0u);
    EXPECT_EQ(pmm_alloc_frames(1), 0u);
    EXPECT_EQ(pmm_used_size(true), 4095u);
}

TEST_F(PmmTest, RunFailsWithExactlyThatManyFree)
{
    pc_map(16384);
    pmm_init(16384, KERNEL_SIZE, KERNEL_BASE);
    allocate_until_free(4);
    pmm_mark_region_used(KERNEL_BASE, 4096);
    ASSERT_EQ(pmm_free_size(true), 3u);
    ASSERT_EQ(pmm_first_free_run(3), 4093);  // lowest-first leaves the top frames

    EXPECT_EQ(pmm_alloc_frames(3), 0u);
    pmm_free_frame(0x200000);
    EXPECT_EQ(pmm_alloc_frames(3), 4093u * 4096);
}

TEST_F(PmmTest, FreeingIgnoresFramesThatAreNotInUse)
{
    pc_map(16384);
    pmm_init(16384, KERNEL_SIZE, KERNEL_BASE);
    const uint32_t used = pmm_used_size(true);
    const uint32_t frame = pmm_alloc_frame();
    const uint32_t pair = pmm_alloc_frames(2);

    pmm_free_frame(0);
    pmm_free_frames(pair, 0);
    EXPECT_EQ(pmm_used_size(true), used + 3);

    pmm_free_frame(frame);
    pmm_free_frame(frame);
    EXPECT_EQ(pmm_used_size(true), used + 2);
    pmm_free_frames(pair, 2);
    pmm_free_frames(pair, 2);
    EXPECT_EQ(pmm_used_size(true), used);

    // Frame 0 stays used: address 0 is the failure result.
    pmm_free_frame(0x10);
    EXPECT_TRUE(pmm_frame_used(0));
    EXPECT_EQ(pmm_used_size(true), used);
}

TEST_F(PmmTest, RangesBeyondTheBitmapAreCut)
{
    pc_map(16384);
    pmm_init(16384, KERNEL_SIZE, KERNEL_BASE);
    after_bitmap()[0] = 0x5A;
    after_bitmap()[4096] = 0x5A;
    const uint32_t used = pmm_used_size(true);

    pmm_mark_region_used(0xF00000, 0x10000000);
    EXPECT_EQ(pmm_used_size(true), used + 0x100);
    pmm_mark_region_free(0xF00000, 0x10000000);
    pmm_free_frames(0xF00000, 0x100000);
    pmm_free_frame(0x7FFFF000);

    EXPECT_EQ(after_bitmap()[0], 0x5A);
    EXPECT_EQ(after_bitmap()[4096], 0x5A);
    EXPECT_EQ(pmm_used_size(true), used);
}

TEST_F(PmmTest, PartialFramesAreNeitherFreedNorLeftFree)
{
    pc_map(16384);
    pmm_init(16384, KERNEL_SIZE, KERNEL_BASE);
    pmm_mark_region_used(0x200000, 0x10000);

    // Usable 0x200800-0x2027FF holds only one whole frame.
    pmm_mark_region_free(0x200800, 0x2000);
    EXPECT_TRUE(pmm_frame_used(0x200));
    EXPECT_FALSE(pmm_frame_used(0x201));
    EXPECT_TRUE(pmm_frame_used(0x202));

    // Less than a frame frees nothing; a small reservation still reserves.
    pmm_mark_region_free(0x205000, 4095);
    EXPECT_TRUE(pmm_frame_used(0x205));
    pmm_mark_region_used(0x300800, 100);
    EXPECT_TRUE(pmm_frame_used(0x300));
}

TEST_F(PmmTest, MapEndsAtZeroBaseAfterFirstEntryOrAfterTwentyEntries)
{
    range(0, 0, 0x9FC00, 1);
    range(1, 0x100000, 0x700000, 1);  // RAM up to 8 MiB
    range(2, 0, 0, 0);
    range(3, 0x800000, 0x100000, 1);  // after the end: ignored
    pmm_init(16384, KERNEL_SIZE, KERNEL_BASE);
    EXPECT_FALSE(pmm_frame_used(0x7FF));
    EXPECT_TRUE(pmm_frame_used(0x800));

    fake::reset();
    range(0, 0, 0x9FC00, 1);
    for (uint32_t i = 1; i < MEMORY_MAP_MAX_ENTRIES; ++i) {
        range(i, 0x100000 + (i - 1) * 0x10000, 0x10000, 1);
    }
    range(MEMORY_MAP_MAX_ENTRIES, 0x800000, 0x100000, 1);  // a 21st entry: ignored
    pmm_init(16384, KERNEL_SIZE, KERNEL_BASE);
    EXPECT_FALSE(pmm_frame_used(0x22F));
    EXPECT_TRUE(pmm_frame_used(0x230));
    EXPECT_TRUE(pmm_frame_used(0x800));
}

TEST_F(PmmTest, RangesAboveFourGiBDoNotFreeLowMemory)
{
    pc_map(16384);
    range(4, FOUR_GIB + 0xA0000, 0x60000, 1);   // would alias the VGA and ROM hole
    range(5, FOUR_GIB - 0x1000, 0x2000000, 1);  // crosses 4 GiB
    pmm_init(16384, KERNEL_SIZE, KERNEL_BASE);

    for (uint32_t frame = 0xA0; frame < 0x100; ++frame) {
        EXPECT_TRUE(pmm_frame_used(frame)) << frame;
    }
    EXPECT_EQ(pmm_used_size(true), STANDARD_USED);
}

TEST_F(PmmTest, LengthOfFourGiBOrMoreIsNotTruncated)
{
    range(0, 0, 0x9FC00, 1);
    range(1, 0x100000, FOUR_GIB, 1);  // low word 0
    pmm_init(16384, KERNEL_SIZE, KERNEL_BASE);
    EXPECT_EQ(pmm_used_size(true), STANDARD_USED);
    EXPECT_FALSE(pmm_frame_used(0xFFF));
}

TEST_F(PmmTest, MoreRamThanTheKernelCanMapRunsOnTwoGiB)
{
    for (uint32_t memory_kb : {0x400000u, 0xFFFFFFFFu, 0x300000u}) {
        fake::reset();
        range(0, 0, 0x9FC00, 1);
        range(1, 0x100000, 0xBFF00000, 1);
        range(2, FOUR_GIB, FOUR_GIB, 1);
        pmm_init(memory_kb, KERNEL_SIZE, KERNEL_BASE);

        EXPECT_EQ(pmm_total_frames(), PMM_MAX_FRAMES) << memory_kb;
        EXPECT_EQ(pmm_memory_size(false), 0x80000000u);
        EXPECT_EQ(pmm_memory_size(true), PMM_MAX_FRAMES);
        EXPECT_EQ(pmm_free_size(true) + pmm_used_size(true), pmm_memory_size(true));
        EXPECT_EQ(pmm_free_size(false) + pmm_used_size(false), pmm_memory_size(false));
        EXPECT_GT(pmm_free_size(true), 0x7F000u);

        const uint32_t run = pmm_alloc_frames(0x7E000);
        ASSERT_NE(run, 0u);
        EXPECT_LE(static_cast<uint64_t>(run) + 0x7E000ull * 4096, 0x80000000ull);
    }
}

TEST_F(PmmTest, InterruptStateIsKept)
{
    pc_map(16384);
    pmm_init(16384, KERNEL_SIZE, KERNEL_BASE);
    fake::interrupts_on = true;
    const uint32_t frame = pmm_alloc_frame();
    pmm_free_frame(frame);
    EXPECT_TRUE(fake::interrupts_on);
    fake::interrupts_on = false;
    pmm_alloc_frames(4);
    EXPECT_FALSE(fake::interrupts_on);
}

}  // namespace
