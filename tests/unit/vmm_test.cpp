// Paging: the kernel directory, mapping rules, unmapping with release,
// directory copies and releases, and where paging structures may live.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "fakes/hw_test.h"
#include "mm/pmm.h"
#include "mm/vmm.h"

namespace {

static_assert(vmm_directory_index(0xC0400000) == 769 && vmm_table_index(0xC0400000) == 0);
static_assert(vmm_directory_index(0xC03FF000) == 768 && vmm_table_index(0xC03FF000) == 1023);

constexpr uint32_t SPARE_VIRT = 0xD1000000;  // a region nothing else maps

class VmmTest : public HardwareTest {
protected:
    void SetUp() override
    {
        HardwareTest::SetUp();
        const MemoryRange low{0, 0x9FC00, 1, 1};
        const MemoryRange high{0x100000, 0xF00000, 1, 1};
        std::memcpy(fake::phys(MEMORY_MAP_ADDRESS), &low, sizeof low);
        std::memcpy(fake::phys(MEMORY_MAP_ADDRESS + sizeof low), &high, sizeof high);
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

    static bool mapped(uint32_t virt)
    {
        try {
            fake::translate(virt);
            return true;
        } catch (const fake::PageFault&) {
            return false;
        }
    }

    static uint32_t kernel() { return vmm_kernel_directory(); }
};

TEST_F(VmmTest, InitMapsLowMemoryAndKernelImageAndTurnsPagingOn)
{
    EXPECT_EQ(vmm_current_directory(), kernel());
    EXPECT_EQ(fake::cr3, kernel());
    EXPECT_NE(fake::cr0 & 0x80000000u, 0u);

    EXPECT_EQ(fake::translate(0x3FF004), 0x3FF004u);
    EXPECT_EQ(fake::translate(0xB8000), 0xB8000u);
    EXPECT_EQ(fake::translate(0xC0000000), 0x100000u);
    EXPECT_EQ(fake::translate(0xC00FF123), 0x1FF123u);
    EXPECT_FALSE(mapped(0x400000));
    EXPECT_FALSE(mapped(0xC0100000));  // the 256 image pages end here

    EXPECT_EQ(entry(kernel(), 0) & 0xFFF, PAGE_PRESENT | PAGE_WRITABLE);
    EXPECT_EQ(entry(kernel(), 768) & 0xFFF, PAGE_PRESENT | PAGE_WRITABLE);
    EXPECT_EQ(page_entry(kernel(), 0xC0000000), 0x100000u | PAGE_PRESENT | PAGE_WRITABLE);
    EXPECT_LT(kernel(), LOW_MEMORY_END);
}

TEST_F(VmmTest, MapPageRefusesBadArgumentsAndNeverReplaces)
{
    const uint32_t a = pmm_alloc_frame();
    const uint32_t b = pmm_alloc_frame();
    EXPECT_FALSE(vmm_map_page(0, SPARE_VIRT, false, true, kernel()));
    EXPECT_FALSE(vmm_map_page(a, 0, false, true, kernel()));
    EXPECT_FALSE(vmm_map_page(a, SPARE_VIRT, false, true, 0));

    ASSERT_TRUE(vmm_map_page(a, SPARE_VIRT, false, true, kernel()));
    const uint32_t before = page_entry(kernel(), SPARE_VIRT);
    EXPECT_FALSE(vmm_map_page(b, SPARE_VIRT, true, false, kernel()));
    EXPECT_EQ(page_entry(kernel(), SPARE_VIRT), before);
    EXPECT_EQ(fake::translate(SPARE_VIRT + 5), a + 5);
    EXPECT_FALSE(vmm_map_page(b, 0xC0000000, false, true, kernel()));
}

TEST_F(VmmTest, DirectoryAndTableIndexArithmetic)
{
    const uint32_t a = pmm_alloc_frame();
    const uint32_t b = pmm_alloc_frame();
    ASSERT_EQ(entry(kernel(), 769) & PAGE_PRESENT, 0u);

    ASSERT_TRUE(vmm_map_page(a, 0xC0400000, false, true, kernel()));
    const uint32_t table = entry(kernel(), 769) & PAGE_FRAME_MASK;
    EXPECT_NE(table, 0u);
    EXPECT_EQ(entry(table, 0), a | PAGE_PRESENT | PAGE_WRITABLE);

    const uint32_t kernel_table = entry(kernel(), 768) & PAGE_FRAME_MASK;
    ASSERT_TRUE(vmm_map_page(b, 0xC03FF000, false, false, kernel()));
    EXPECT_EQ(entry(kernel_table, 1023), b | PAGE_PRESENT);
    EXPECT_EQ(entry(kernel(), 768) & PAGE_FRAME_MASK, kernel_table);
}

TEST_F(VmmTest, FramesTheEntryCannotHoldAreRefused)
{
    EXPECT_FALSE(vmm_map_page(0x80000000, SPARE_VIRT, false, true, kernel()));
    EXPECT_FALSE(vmm_map_page(0xFFFFF000, SPARE_VIRT, false, true, kernel()));
    EXPECT_TRUE(vmm_map_page(0x7FFFF000, SPARE_VIRT, false, true, kernel()));
    EXPECT_EQ(page_entry(kernel(), SPARE_VIRT), 0x7FFFF000u | PAGE_PRESENT | PAGE_WRITABLE);
}

TEST_F(VmmTest, UnalignedPhysicalAddressDoesNotSetFlags)
{
    ASSERT_TRUE(vmm_map_page(0x00200ABC, SPARE_VIRT, false, false, kernel()));
    EXPECT_EQ(page_entry(kernel(), SPARE_VIRT), 0x00200000u | PAGE_PRESENT);
}

TEST_F(VmmTest, UnmapPageReleasesItsFrameAndFlushesTheTranslation)
{
    const uint32_t frame = pmm_alloc_frame();
    ASSERT_TRUE(vmm_map_page(frame, SPARE_VIRT, false, true, kernel()));
    const uint32_t used = pmm_used_size(true);

    EXPECT_TRUE(vmm_unmap_page(SPARE_VIRT, kernel()));
    EXPECT_EQ(pmm_used_size(true), used - 1);
    EXPECT_FALSE(pmm_frame_used(frame >> 12));
    EXPECT_FALSE(mapped(SPARE_VIRT));
    EXPECT_EQ(page_entry(kernel(), SPARE_VIRT), frame) << "the frame address stays in the word";
    EXPECT_NE(std::find(fake::invalidated_pages.begin(), fake::invalidated_pages.end(), SPARE_VIRT),
              fake::invalidated_pages.end());

    EXPECT_FALSE(vmm_unmap_page(SPARE_VIRT, kernel()));
    EXPECT_FALSE(vmm_unmap_page(0xE0000000, kernel()));  // no table there
    EXPECT_EQ(pmm_used_size(true), used - 1);
}

TEST_F(VmmTest, RangesMapInOrderAndUndoAFailedRange)
{
    EXPECT_TRUE(vmm_map_range(0x300000, SPARE_VIRT, false, true, 0, kernel()));
    EXPECT_TRUE(vmm_unmap_range(SPARE_VIRT, 0, kernel()));

    const uint32_t blocker = pmm_alloc_frame();
    ASSERT_TRUE(vmm_map_page(blocker, SPARE_VIRT + 2 * PAGE_SIZE, false, true, kernel()));
    EXPECT_FALSE(vmm_map_range(0x300000, SPARE_VIRT, false, true, 4, kernel()));
    EXPECT_FALSE(mapped(SPARE_VIRT));
    EXPECT_FALSE(mapped(SPARE_VIRT + PAGE_SIZE));
    EXPECT_EQ(fake::translate(SPARE_VIRT + 2 * PAGE_SIZE), blocker);

    ASSERT_TRUE(vmm_map_range(0x300000, SPARE_VIRT + 3 * PAGE_SIZE, false, true, 3, kernel()));
    EXPECT_EQ(fake::translate(SPARE_VIRT + 5 * PAGE_SIZE + 7), 0x302007u);
}

TEST_F(VmmTest, AllocMapStatuses)
{
    EXPECT_EQ(vmm_alloc_map(0, 1, false, kernel()), VMM_BAD_ARGUMENT);
    EXPECT_EQ(vmm_alloc_map(SPARE_VIRT, 0, false, kernel()), VMM_BAD_ARGUMENT);
    EXPECT_EQ(vmm_alloc_map(SPARE_VIRT, 1, false, 0), VMM_BAD_ARGUMENT);
    EXPECT_EQ(vmm_unmap_free(SPARE_VIRT, 0, kernel()), VMM_BAD_ARGUMENT);
    EXPECT_EQ(vmm_alloc_map(SPARE_VIRT, pmm_free_size(true) + 1, false, kernel()), VMM_OUT_OF_MEMORY);

    ASSERT_EQ(vmm_alloc_map(SPARE_VIRT, 3, false, kernel()), VMM_OK);
    const uint32_t first = fake::translate(SPARE_VIRT);
    EXPECT_EQ(fake::translate(SPARE_VIRT + 2 * PAGE_SIZE), first + 2 * PAGE_SIZE);
    EXPECT_EQ(page_entry(kernel(), SPARE_VIRT) & 0xFFF, PAGE_PRESENT | PAGE_WRITABLE);

    const uint32_t used = pmm_used_size(true);
    EXPECT_EQ(vmm_unmap_free(SPARE_VIRT, 3, kernel()), VMM_OK);
    EXPECT_EQ(pmm_used_size(true), used - 3);
    EXPECT_EQ(vmm_unmap_free(SPARE_VIRT, 3, kernel()), VMM_MAPPING_FAILED);
}

TEST_F(VmmTest, FailedAllocMapLeavesNoMappingToReleasedFrames)
{
    const uint32_t blocker = pmm_alloc_frame();
    ASSERT_TRUE(vmm_map_page(blocker, SPARE_VIRT + 2 * PAGE_SIZE, false, true, kernel()));
    const uint32_t used = pmm_used_size(true);

    EXPECT_EQ(vmm_alloc_map(SPARE_VIRT, 4, false, kernel()), VMM_MAPPING_FAILED);
    EXPECT_EQ(pmm_used_size(true), used);
    EXPECT_FALSE(mapped(SPARE_VIRT));
    EXPECT_FALSE(mapped(SPARE_VIRT + PAGE_SIZE));
    EXPECT_EQ(fake::translate(SPARE_VIRT + 2 * PAGE_SIZE), blocker);
}

TEST_F(VmmTest, CopyIsASnapshotWithItsOwnTables)
{
    const uint32_t process = vmm_alloc_paging_frames(DIRECTORY_FRAMES);
    ASSERT_NE(process, 0u);
    const uint32_t shared = pmm_alloc_frame();
    ASSERT_TRUE(vmm_map_page(shared, SPARE_VIRT, false, true, kernel()));

    ASSERT_TRUE(vmm_copy_mappings(process, kernel()));
    EXPECT_NE(table_of(process, 0xC0000000), table_of(kernel(), 0xC0000000));
    EXPECT_EQ(page_entry(process, 0xC0000000), page_entry(kernel(), 0xC0000000));
    EXPECT_EQ(page_entry(process, SPARE_VIRT), page_entry(kernel(), SPARE_VIRT));
    EXPECT_EQ(entry(process, 0) & 0xFFF, PAGE_PRESENT | PAGE_WRITABLE);
    EXPECT_LT(table_of(process, SPARE_VIRT), LOW_MEMORY_END);

    ASSERT_TRUE(vmm_map_page(pmm_alloc_frame(), SPARE_VIRT + PAGE_SIZE, false, true, kernel()));
    vmm_switch_directory(process);
    EXPECT_EQ(fake::cr3, process);
    EXPECT_EQ(fake::translate(SPARE_VIRT), shared);
    EXPECT_FALSE(mapped(SPARE_VIRT + PAGE_SIZE));

    EXPECT_FALSE(vmm_copy_mappings(0, kernel()));
    EXPECT_FALSE(vmm_copy_mappings(process, 0));
}

TEST_F(VmmTest, FreeDirectoryReleasesTablesAndDirectoryButNotPages)
{
    const uint32_t used = pmm_used_size(true);
    const uint32_t process = vmm_alloc_paging_frames(DIRECTORY_FRAMES);
    ASSERT_TRUE(vmm_copy_mappings(process, kernel()));
    ASSERT_EQ(vmm_alloc_map(0x90000000, 2, false, process), VMM_OK);
    const uint32_t stack = page_entry(process, 0x90000000) & PAGE_FRAME_MASK;

    EXPECT_FALSE(vmm_free_directory(process, 0));
    EXPECT_FALSE(vmm_free_directory(0, 2));
    ASSERT_TRUE(vmm_free_directory(process, DIRECTORY_FRAMES));
    // Directory (2), low and kernel tables, the stack's table: released; the
    // two stack pages are the caller's.
    EXPECT_EQ(pmm_used_size(true), used + 2);
    EXPECT_TRUE(pmm_frame_used(stack >> 12));
    EXPECT_FALSE(pmm_frame_used(process >> 12));
}

TEST_F(VmmTest, LoadedAndKernelDirectoriesAreNotFreed)
{
    EXPECT_FALSE(vmm_free_directory(kernel(), DIRECTORY_FRAMES));
    const uint32_t process = vmm_alloc_paging_frames(DIRECTORY_FRAMES);
    ASSERT_TRUE(vmm_copy_mappings(process, kernel()));
    vmm_switch_directory(process);
    EXPECT_FALSE(vmm_free_directory(process, DIRECTORY_FRAMES));
    vmm_switch_directory(kernel());
    EXPECT_TRUE(vmm_free_directory(process, DIRECTORY_FRAMES));
    EXPECT_EQ(fake::translate(0xC0000000), 0x100000u);
}

TEST_F(VmmTest, InvalidationOnlyForTheLoadedDirectory)
{
    const uint32_t process = vmm_alloc_paging_frames(DIRECTORY_FRAMES);
    ASSERT_TRUE(vmm_copy_mappings(process, kernel()));
    ASSERT_EQ(vmm_alloc_map(SPARE_VIRT, 1, false, process), VMM_OK);
    fake::invalidated_pages.clear();
    EXPECT_TRUE(vmm_unmap_page(SPARE_VIRT, process));
    EXPECT_TRUE(fake::invalidated_pages.empty());
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
    EXPECT_FALSE(vmm_map_page(frame, 0xC0000000 + 0x300000, false, true, high));
    EXPECT_FALSE(vmm_copy_mappings(high, kernel()));
    vmm_switch_directory(high);
    EXPECT_EQ(vmm_current_directory(), kernel());

    // Where the table exists, the page itself may lie anywhere below 2 GiB.
    EXPECT_TRUE(vmm_map_page(frame, 0xC0300000, false, true, kernel()));
}

}  // namespace
