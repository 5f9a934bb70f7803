// The frame manager: the memory-map walk, the region accounting behind the
// `mem` figures, allocation rules, and memory the kernel cannot address.
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "drivers/dma.h"
#include "fakes/hw_test.h"
#include "mm/pmm.h"

namespace {

constexpr uint32_t KERNEL_BASE = 0x100000;
constexpr uint32_t KERNEL_SIZE = 0x20000;
constexpr uint64_t FOUR_GIB = 0x100000000;
// With the standard 16 MiB map: 159 low frames and 3840 frames from 1 MiB are
// freed; the kernel and bitmap (33 frames), the set-aside frame and the 16
// DMA frames are taken again.
constexpr uint32_t STANDARD_USED = 4096 - 159 - 3840 + 33 + 1 + 16;

// What PC firmware reports: conventional memory up to the EBDA, the ROM
// area, and RAM from 1 MiB to 16 MiB.
const std::vector<MemoryRange> PC_MAP = {
    {0, 0x9FC00, 1, 1}, {0x9FC00, 0x400, 2, 1}, {0xF0000, 0x10000, 2, 1}, {0x100000, 0xF00000, 1, 1}};

// Fresh hardware, the given memory map, then pmm_init and the DMA buffer,
// the first allocation of all, as start-up makes them.
void boot(const std::vector<MemoryRange>& map, uint32_t memory_kb = 16384, uint32_t kernel_size = KERNEL_SIZE)
{
    fake::reset();
    std::memcpy(fake::phys(MEMORY_MAP_ADDRESS), map.data(), map.size() * sizeof(MemoryRange));
    pmm_init(memory_kb, kernel_size, KERNEL_BASE);
    dma_buffer_alloc();
}

// Allocates until the count says `remaining` + 1 frames are free, then
// reserves a frame already in use: the count drops by one, the bits do not.
void leave_free(uint32_t remaining)
{
    boot(PC_MAP);
    while (pmm_free_size(true) > remaining + 1) {
        ASSERT_NE(pmm_alloc_frame(), 0u);
    }
    pmm_mark_region_used(KERNEL_BASE, 4096);
    ASSERT_EQ(pmm_free_size(true), remaining);
}

// '#' for each frame marked used, '.' for each free one.
std::string states(std::initializer_list<uint32_t> frames)
{
    std::string out;
    for (uint32_t frame : frames) {
        out += pmm_frame_used(frame) ? '#' : '.';
    }
    return out;
}

using PmmTest = HardwareTest;

TEST_F(PmmTest, SixteenMiBLayoutAndFigures)
{
    boot(PC_MAP);
    EXPECT_EQ(pmm_total_frames(), 4096u);
    EXPECT_EQ(pmm_bitmap_address(), KERNEL_BASE + KERNEL_SIZE);
    EXPECT_EQ(fake::phys(KERNEL_BASE + KERNEL_SIZE + 512)[0], 0) << "the bitmap is 512 bytes";

    // Frame 0; the set-aside frame 1; the DMA buffer 2-17 at 0x2000; the hole
    // below 1 MiB; kernel_size + 4096 bytes from 0x100000, and no more.
    EXPECT_EQ(states({0, 1, 2, 17, 18, 0x9E, 0x9F, 0xA0, 0xFF, 0x100, 0x120, 0x121, 0xFFF}), "####..#####..");
    EXPECT_EQ(dma_buffer_address(), 0x2000u);
    EXPECT_TRUE(dma_buffer_reachable());
    EXPECT_EQ(pmm_first_free(), 18);

    EXPECT_EQ(pmm_memory_size(false), 16384u * 1024);
    EXPECT_EQ(pmm_used_size(true), STANDARD_USED);
    EXPECT_EQ(pmm_free_size(false), (16384 - STANDARD_USED * 4) * 1024);
    // Counts follow regions: frame 0, reserved again after the low region
    // freed it, is a set bit the count does not include.
    uint32_t set_bits = 0;
    for (uint32_t frame = 0; frame < 4096; ++frame) {
        set_bits += pmm_frame_used(frame) ? 1 : 0;
    }
    EXPECT_EQ(set_bits, STANDARD_USED + 1);

    // The reservation counts (kernel_size + total frames) >> 12 whole frames:
    // 0x21E00 bytes reserve 0x21 frames, to 0x121000, where the bitmap
    // (0x120E00-0x120FFF) ends; the partial frame after it stays free.
    boot(PC_MAP, 16384, KERNEL_SIZE + 0xE00);
    EXPECT_EQ(states({0x120, 0x121}), "#.");
    EXPECT_EQ(pmm_used_size(true), STANDARD_USED);
    boot(PC_MAP, 16384, KERNEL_SIZE + 0x200);
    EXPECT_EQ(states({0x120, 0x121}), "#.") << "0x21200 bytes: still 0x21 frames";
    EXPECT_EQ(pmm_used_size(true), STANDARD_USED);

    // Where the rounded-down region stops short of the bitmap's last word
    // (4100 frames: 129 words, 0x120E00-0x121003), the frame it spills into
    // is reserved too.
    boot(PC_MAP, 16400, KERNEL_SIZE + 0xE00);
    EXPECT_EQ(states({0x120, 0x121, 0x122}), "##.");
}

TEST_F(PmmTest, MemoryMapWalk)
{
    // The table ends at the first zero base after entry 0 ...
    boot({{0, 0x9FC00, 1, 1}, {0x100000, 0x700000, 1, 1}, {0, 0, 0, 0}, {0x800000, 0x100000, 1, 1}});
    EXPECT_EQ(states({0x7FF, 0x800}), ".#");

    // ... or after twenty entries.
    std::vector<MemoryRange> long_map = {{0, 0x9FC00, 1, 1}};
    for (uint32_t i = 0; i < MEMORY_MAP_MAX_ENTRIES; ++i) {
        long_map.push_back({0x100000 + i * 0x10000, 0x10000, 1, 1});
    }
    boot(long_map);
    EXPECT_EQ(states({0x22F, 0x230}), ".#") << "the 21st entry is not read";

    // Entries above 4 GiB must not free the low memory their low word names.
    std::vector<MemoryRange> high_map = PC_MAP;
    high_map.push_back({FOUR_GIB + 0xA0000, 0x60000, 1, 1});   // would alias the VGA and ROM hole
    high_map.push_back({FOUR_GIB - 0x1000, 0x2000000, 1, 1});  // crosses 4 GiB
    boot(high_map);
    EXPECT_TRUE(pmm_frame_used(0xA0));
    EXPECT_EQ(pmm_used_size(true), STANDARD_USED);

    // A length of 4 GiB (low word 0) is not truncated to nothing.
    boot({{0, 0x9FC00, 1, 1}, {0x100000, FOUR_GIB, 1, 1}});
    EXPECT_EQ(pmm_used_size(true), STANDARD_USED);
    EXPECT_FALSE(pmm_frame_used(0xFFF));

    // No usable memory below 1 MiB: the DMA buffer lands where channel 2
    // cannot reach, and that is reported.
    boot({{0x100000, 0xF00000, 1, 1}});
    EXPECT_GE(dma_buffer_address(), 0x100000u);
    EXPECT_FALSE(dma_buffer_reachable());
}

TEST_F(PmmTest, MoreRamThanTheKernelCanMapRunsOnTwoGiB)
{
    // 4 GiB would wrap memory_kb x 1024 to 0; frames from 2 GiB cannot be mapped.
    for (uint32_t memory_kb : {0x400000u, 0xFFFFFFFFu, 0x300000u}) {
        boot({{0, 0x9FC00, 1, 1}, {0x100000, 0xBFF00000, 1, 1}, {FOUR_GIB, FOUR_GIB, 1, 1}}, memory_kb);
        EXPECT_EQ(pmm_total_frames(), PMM_MAX_FRAMES) << memory_kb;
        EXPECT_EQ(pmm_memory_size(false), 0x80000000u);
        EXPECT_EQ(pmm_free_size(false) + pmm_used_size(false), pmm_memory_size(false));
        EXPECT_GT(pmm_free_size(true), 0x7F000u);

        const uint32_t run = pmm_alloc_frames(0x7E000);
        ASSERT_NE(run, 0u);
        EXPECT_LE(static_cast<uint64_t>(run) + 0x7E000ull * 4096, 0x80000000ull);
    }
}

// A run skips a free frame followed by a used one; the last free frame is
// never handed out, so a run fails with exactly as many frames free.
TEST_F(PmmTest, RunsSkipShortGapsAndTheLastFreeFrameIsRefused)
{
    boot(PC_MAP);
    const uint32_t first = static_cast<uint32_t>(pmm_first_free());
    pmm_mark_region_used((first + 1) * 4096, 4096);
    EXPECT_EQ(pmm_first_free_run(2), static_cast<int32_t>(first + 2));
    EXPECT_EQ(pmm_alloc_frames(2), (first + 2) * 4096);
    EXPECT_EQ(pmm_alloc_frame(), first * 4096);

    leave_free(1);
    ASSERT_GE(pmm_first_free(), 0);  // a free bit is there
    EXPECT_EQ(pmm_alloc_frame(), 0u);
    EXPECT_EQ(pmm_alloc_frames(1), 0u);
    EXPECT_EQ(pmm_used_size(true), 4095u);

    leave_free(3);
    ASSERT_EQ(pmm_first_free_run(3), 4093);  // lowest-first leaves the top frames
    EXPECT_EQ(pmm_alloc_frames(3), 0u);
    pmm_free_frame(0x200000);
    EXPECT_EQ(pmm_alloc_frames(3), 4093u * 4096);
}

TEST_F(PmmTest, ReleasesCountOnlyFramesInUseAndKeepTheInterruptState)
{
    boot(PC_MAP);
    fake::interrupts_on = true;
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
    pmm_free_frame(0x10);  // frame 0 stays used: address 0 is the failure result
    EXPECT_TRUE(pmm_frame_used(0));
    EXPECT_EQ(pmm_used_size(true), used);

    EXPECT_TRUE(fake::interrupts_on);
    fake::interrupts_on = false;
    pmm_alloc_frames(4);
    EXPECT_FALSE(fake::interrupts_on);
}

TEST_F(PmmTest, RegionsAreCutToWholeFramesAndToTheBitmap)
{
    boot(PC_MAP);
    uint8_t* after_bitmap = fake::phys(pmm_bitmap_address() + 512);
    after_bitmap[0] = after_bitmap[4096] = 0x5A;
    const uint32_t used = pmm_used_size(true);

    pmm_mark_region_used(0xF00000, 0x10000000);
    EXPECT_EQ(pmm_used_size(true), used + 0x100);
    pmm_mark_region_free(0xF00000, 0x10000000);
    pmm_free_frames(0xF00000, 0x100000);
    pmm_free_frame(0x7FFFF000);
    EXPECT_EQ(after_bitmap[0], 0x5A);
    EXPECT_EQ(after_bitmap[4096], 0x5A);
    EXPECT_EQ(pmm_used_size(true), used);

    // Usable 0x200800-0x2027FF holds one whole frame; less than a frame frees
    // nothing. A reservation takes size >> 12 frames from the frame that
    // holds its base: less than a frame reserves nothing, 0x1800 bytes one.
    pmm_mark_region_used(0x200000, 0x10000);
    pmm_mark_region_free(0x200800, 0x2000);
    pmm_mark_region_free(0x205000, 4095);
    EXPECT_EQ(states({0x200, 0x201, 0x202, 0x205}), "#.##");
    const uint32_t before = pmm_used_size(true);
    pmm_mark_region_used(0x300800, 100);
    pmm_mark_region_used(0x301000, 4095);
    EXPECT_EQ(pmm_used_size(true), before);
    pmm_mark_region_used(0x302800, 0x1800);
    EXPECT_EQ(pmm_used_size(true), before + 1);
    EXPECT_EQ(states({0x300, 0x301, 0x302, 0x303}), "..#.");
}

}  // namespace
