// Paging: the kernel directory, mapping rules, unmapping with release,
// directory copies and releases, and where paging structures may live.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fakes/hw_test.h"
#include "mm/pmm.h"
#include "mm/vmm.h"

namespace {

constexpr uint32_t SPARE_VIRT = 0xD1000000;  // a region nothing else maps
constexpr uint32_t PRESENT_WRITABLE = PAGE_PRESENT | PAGE_WRITABLE;

class VmmTest : public HardwareTest {
protected:
    void SetUp() override
    {
        HardwareTest::SetUp();
        const MemoryRange map[] = {{0, 0x9FC00, 1, 1}, {0x100000, 0xF00000, 1, 1}};
        std::memcpy(fake::phys(MEMORY_MAP_ADDRESS), map, sizeof map);
        pmm_init(16384, 0x20000, 0x100000);
        ASSERT_TRUE(vmm_init());
    }

    static uint32_t entry(uint32_t table, uint32_t index)
    {
        uint32_t value;
        std::memcpy(&value, fake::phys(table + index * 4), 4);
        return value;
    }
    static uint32_t table_of(uint32_t directory, uint32_t virt)
    {
        return entry(directory, vmm_directory_index(virt)) & PAGE_FRAME_MASK;
    }
    static uint32_t page_entry(uint32_t directory, uint32_t virt)
    {
        return entry(table_of(directory, virt), vmm_table_index(virt));
    }
    static uint32_t kernel() { return vmm_kernel_directory(); }
    // A process directory with the kernel's mappings.
    static uint32_t process_directory()
    {
        const uint32_t directory = vmm_alloc_paging_frames(DIRECTORY_FRAMES);
        EXPECT_TRUE(vmm_copy_mappings(directory, kernel()));
        return directory;
    }
};

TEST_F(VmmTest, InitMapsLowMemoryAndKernelImageAndTurnsPagingOn)
{
    EXPECT_EQ(fake::cr3, kernel());
    EXPECT_NE(fake::cr0 & 0x80000000u, 0u);
    EXPECT_LT(kernel(), LOW_MEMORY_END);

    EXPECT_EQ(fake::translate(0x3FF004), 0x3FF004u);
    EXPECT_EQ(fake::translate(0xC00FF123), 0x1FF123u);
    EXPECT_THROW(fake::translate(0x400000), fake::PageFault);
    EXPECT_THROW(fake::translate(0xC0100000), fake::PageFault);  // the 256 image pages end here
    EXPECT_EQ(entry(kernel(), 0) & 0xFFF, PRESENT_WRITABLE);
    EXPECT_EQ(entry(kernel(), 768) & 0xFFF, PRESENT_WRITABLE);
    EXPECT_EQ(page_entry(kernel(), 0xC0000000), 0x100000u | PRESENT_WRITABLE);
}

TEST_F(VmmTest, MapPageNeverReplacesAMappingAndRefusesWhatAnEntryCannotHold)
{
    const uint32_t a = pmm_alloc_frame();
    ASSERT_TRUE(vmm_map_page(a, SPARE_VIRT, false, true, kernel()));
    const uint32_t before = page_entry(kernel(), SPARE_VIRT);
    EXPECT_FALSE(vmm_map_page(pmm_alloc_frame(), SPARE_VIRT, true, false, kernel()));
    EXPECT_EQ(page_entry(kernel(), SPARE_VIRT), before);
    EXPECT_EQ(fake::translate(SPARE_VIRT + 5), a + 5);
    EXPECT_FALSE(vmm_map_page(a, 0xC0000000, false, true, kernel()));

    const uint32_t next = SPARE_VIRT + PAGE_SIZE;
    EXPECT_FALSE(vmm_map_page(0, next, false, true, kernel()));
    EXPECT_FALSE(vmm_map_page(a, 0, false, true, kernel()));
    EXPECT_FALSE(vmm_map_page(a, next, false, true, 0));
    EXPECT_FALSE(vmm_map_page(a, next, false, true, kernel() + 8));  // not a directory
    EXPECT_FALSE(vmm_map_page(0x80000000, next, false, true, kernel()));
    EXPECT_FALSE(vmm_map_page(0xFFFFF000, next, false, true, kernel()));
    EXPECT_THROW(fake::translate(next), fake::PageFault);
    EXPECT_TRUE(vmm_map_page(0x7FFFF000, next, false, true, kernel()));
    EXPECT_EQ(page_entry(kernel(), next), 0x7FFFF000u | PRESENT_WRITABLE);
    // The low bits of an unaligned address do not land among the flags.
    ASSERT_TRUE(vmm_map_page(0x00200ABC, next + PAGE_SIZE, false, false, kernel()));
    EXPECT_EQ(page_entry(kernel(), next + PAGE_SIZE), 0x00200000u | PAGE_PRESENT);
}

TEST_F(VmmTest, DirectoryIndex768And769Arithmetic)
{
    const uint32_t a = pmm_alloc_frame();
    const uint32_t b = pmm_alloc_frame();
    const uint32_t kernel_table = table_of(kernel(), 0xC0000000);
    ASSERT_EQ(entry(kernel(), 769) & PAGE_PRESENT, 0u);

    ASSERT_TRUE(vmm_map_page(a, 0xC0400000, false, true, kernel()));  // entry 769, index 0
    EXPECT_EQ(entry(entry(kernel(), 769) & PAGE_FRAME_MASK, 0), a | PRESENT_WRITABLE);
    ASSERT_TRUE(vmm_map_page(b, 0xC03FF000, false, false, kernel()));  // entry 768, index 1023
    EXPECT_EQ(entry(kernel_table, 1023), b | PAGE_PRESENT);
    EXPECT_EQ(table_of(kernel(), 0xC0000000), kernel_table);
}

TEST_F(VmmTest, UnmapPageReleasesItsFrameAndFlushesOnlyTheLoadedDirectory)
{
    const uint32_t frame = pmm_alloc_frame();
    ASSERT_TRUE(vmm_map_page(frame, SPARE_VIRT, false, true, kernel()));
    const uint32_t used = pmm_used_size(true);

    EXPECT_TRUE(vmm_unmap_page(SPARE_VIRT, kernel()));
    EXPECT_EQ(pmm_used_size(true), used - 1);
    EXPECT_FALSE(pmm_frame_used(frame >> 12));
    EXPECT_THROW(fake::translate(SPARE_VIRT), fake::PageFault);
    EXPECT_EQ(page_entry(kernel(), SPARE_VIRT), frame) << "the frame address stays in the word";
    EXPECT_EQ(fake::invalidated_pages, std::vector<uint32_t>{SPARE_VIRT});

    EXPECT_FALSE(vmm_unmap_page(SPARE_VIRT, kernel()));
    EXPECT_FALSE(vmm_unmap_page(0xE0000000, kernel()));  // no table there
    EXPECT_EQ(pmm_used_size(true), used - 1);

    // A directory that is not loaded has no cached translation to flush.
    const uint32_t process = process_directory();
    ASSERT_EQ(vmm_alloc_map(SPARE_VIRT, 1, false, process), VMM_OK);
    fake::invalidated_pages.clear();
    EXPECT_TRUE(vmm_unmap_page(SPARE_VIRT, process));
    EXPECT_TRUE(fake::invalidated_pages.empty());
}

TEST_F(VmmTest, RangesAndAllocMapStatusesAndFailedRangesAreUndone)
{
    EXPECT_TRUE(vmm_map_range(0x300000, SPARE_VIRT, false, true, 0, kernel()));
    EXPECT_TRUE(vmm_unmap_range(SPARE_VIRT, 0, kernel()));
    EXPECT_EQ(vmm_alloc_map(0, 1, false, kernel()), VMM_BAD_ARGUMENT);
    EXPECT_EQ(vmm_alloc_map(SPARE_VIRT, 0, false, kernel()), VMM_BAD_ARGUMENT);
    EXPECT_EQ(vmm_alloc_map(SPARE_VIRT, 1, false, 0), VMM_BAD_ARGUMENT);
    EXPECT_EQ(vmm_unmap_free(SPARE_VIRT, 0, kernel()), VMM_BAD_ARGUMENT);
    EXPECT_EQ(vmm_alloc_map(SPARE_VIRT, pmm_free_size(true) + 1, false, kernel()), VMM_OUT_OF_MEMORY);

    // A range that runs into a mapped page leaves nothing of its own behind,
    // and vmm_alloc_map releases the frames it took.
    const uint32_t blocker = pmm_alloc_frame();
    ASSERT_TRUE(vmm_map_page(blocker, SPARE_VIRT + 2 * PAGE_SIZE, false, true, kernel()));
    const uint32_t used = pmm_used_size(true);
    EXPECT_FALSE(vmm_map_range(0x300000, SPARE_VIRT, false, true, 4, kernel()));
    EXPECT_EQ(vmm_alloc_map(SPARE_VIRT, 4, false, kernel()), VMM_MAPPING_FAILED);
    EXPECT_EQ(pmm_used_size(true), used);
    EXPECT_THROW(fake::translate(SPARE_VIRT), fake::PageFault);
    EXPECT_THROW(fake::translate(SPARE_VIRT + PAGE_SIZE), fake::PageFault);
    EXPECT_EQ(fake::translate(SPARE_VIRT + 2 * PAGE_SIZE), blocker);

    ASSERT_TRUE(vmm_map_range(0x300000, SPARE_VIRT + 3 * PAGE_SIZE, false, true, 3, kernel()));
    EXPECT_EQ(fake::translate(SPARE_VIRT + 5 * PAGE_SIZE + 7), 0x302007u);
    ASSERT_EQ(vmm_alloc_map(SPARE_VIRT + 6 * PAGE_SIZE, 3, false, kernel()), VMM_OK);
    EXPECT_EQ(page_entry(kernel(), SPARE_VIRT + 6 * PAGE_SIZE) & 0xFFF, PRESENT_WRITABLE);
    EXPECT_EQ(vmm_unmap_free(SPARE_VIRT + 6 * PAGE_SIZE, 3, kernel()), VMM_OK);
    EXPECT_EQ(pmm_used_size(true), used) << "the three frames are given back";
    EXPECT_EQ(vmm_unmap_free(SPARE_VIRT + 6 * PAGE_SIZE, 3, kernel()), VMM_MAPPING_FAILED);
}

TEST_F(VmmTest, CopyIsASnapshotWithItsOwnTables)
{
    const uint32_t shared = pmm_alloc_frame();
    ASSERT_TRUE(vmm_map_page(shared, SPARE_VIRT, false, true, kernel()));
    const uint32_t process = process_directory();
    EXPECT_NE(table_of(process, 0xC0000000), table_of(kernel(), 0xC0000000));
    EXPECT_EQ(page_entry(process, 0xC0000000), page_entry(kernel(), 0xC0000000));
    EXPECT_EQ(page_entry(process, SPARE_VIRT), page_entry(kernel(), SPARE_VIRT));
    EXPECT_EQ(entry(process, 0) & 0xFFF, PRESENT_WRITABLE);

    ASSERT_TRUE(vmm_map_page(pmm_alloc_frame(), SPARE_VIRT + PAGE_SIZE, false, true, kernel()));
    vmm_switch_directory(process);
    EXPECT_EQ(fake::cr3, process);
    EXPECT_EQ(fake::translate(SPARE_VIRT), shared);
    EXPECT_THROW(fake::translate(SPARE_VIRT + PAGE_SIZE), fake::PageFault);
    EXPECT_FALSE(vmm_copy_mappings(0, kernel()));
    EXPECT_FALSE(vmm_copy_mappings(process, 0));
}

TEST_F(VmmTest, FreeDirectoryReleasesTablesAndDirectoryButNotPages)
{
    const uint32_t used = pmm_used_size(true);
    const uint32_t process = process_directory();
    ASSERT_EQ(vmm_alloc_map(0x90000000, 2, false, process), VMM_OK);
    const uint32_t stack = page_entry(process, 0x90000000) & PAGE_FRAME_MASK;

    EXPECT_FALSE(vmm_free_directory(process, 0));
    EXPECT_FALSE(vmm_free_directory(0, 2));
    EXPECT_FALSE(vmm_free_directory(kernel(), DIRECTORY_FRAMES));
    vmm_switch_directory(process);
    EXPECT_FALSE(vmm_free_directory(process, DIRECTORY_FRAMES)) << "the loaded directory";
    vmm_switch_directory(kernel());

    ASSERT_TRUE(vmm_free_directory(process, DIRECTORY_FRAMES));
    // Directory (2), low and kernel tables, the stack's table: released; the
    // two stack pages are the caller's.
    EXPECT_EQ(pmm_used_size(true), used + 2);
    EXPECT_TRUE(pmm_frame_used(stack >> 12));
    EXPECT_FALSE(pmm_frame_used(process >> 12));
    EXPECT_EQ(fake::translate(0xC0000000), 0x100000u);
}

TEST_F(VmmTest, PagingStructuresOnlyComeFromTheFirstFourMiB)
{
    while (pmm_alloc_frames_below(1, LOW_MEMORY_END) != 0) {
    }
    const uint32_t used = pmm_used_size(true);
    const uint32_t frame = pmm_alloc_frame();
    ASSERT_GE(frame, LOW_MEMORY_END);
    EXPECT_FALSE(vmm_map_page(frame, SPARE_VIRT, false, true, kernel())) << "needs a new table";
    EXPECT_EQ(pmm_used_size(true), used + 1);
    EXPECT_EQ(vmm_alloc_paging_frames(1), 0u);

    // A directory outside the one-to-one memory cannot be reached.
    const uint32_t high = pmm_alloc_frames(DIRECTORY_FRAMES);
    ASSERT_GE(high, LOW_MEMORY_END);
    EXPECT_FALSE(vmm_map_page(frame, 0xC0300000, false, true, high));
    EXPECT_FALSE(vmm_copy_mappings(high, kernel()));
    vmm_switch_directory(high);
    EXPECT_EQ(vmm_current_directory(), kernel());
    // Where the table exists, the page itself may lie anywhere below 2 GiB.
    EXPECT_TRUE(vmm_map_page(frame, 0xC0300000, false, true, kernel()));
}

}  // namespace
