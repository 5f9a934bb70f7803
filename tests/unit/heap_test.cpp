// The kernel heap (near fit, carving, merging, the top-of-heap bound, the
// five faults) and the kernel stack set-up.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "display/console.h"
#include "fakes/hw_test.h"
#include "fakes/screen.h"
#include "lib/physmem.h"
#include "mm/heap.h"
#include "mm/pmm.h"
#include "mm/stack.h"
#include "mm/vmm.h"

namespace {

void memory_init()
{
    const MemoryRange low{0, 0x9FC00, 1, 1};
    const MemoryRange high{0x100000, 0xF00000, 1, 1};
    std::memcpy(fake::phys(MEMORY_MAP_ADDRESS), &low, sizeof low);
    std::memcpy(fake::phys(MEMORY_MAP_ADDRESS + sizeof low), &high, sizeof high);
    pmm_init(16384, 0x20000, 0x100000);
    ASSERT_TRUE(vmm_init());
}

class HeapTest : public HardwareTest {
protected:
    void SetUp() override
    {
        HardwareTest::SetUp();
        console_init();
        memory_init();
        ASSERT_TRUE(heap_init());
    }

    static HeapControl& control() { return *heap_control_block(); }
    static HeapBlockRecord& record(uint32_t index) { return *heap_record(index); }
    static void* at(uint32_t address) { return virt_ptr(address); }

    static int32_t index_of(uint32_t start)
    {
        for (uint32_t i = 0; i < control().record_count; ++i) {
            if (record(i).removed == 0 && record(i).start == start) {
                return static_cast<int32_t>(i);
            }
        }
        return -1;
    }

    // The counters agree with the records, and the blocks in use lie inside
    // the heap without overlapping.
    static void expect_consistent()
    {
        uint32_t free_blocks = 0, used_blocks = 0, removed = 0, free_bytes = 0, used_bytes = 0;
        std::vector<std::pair<uint32_t, uint32_t>> in_use;
        for (uint32_t i = 0; i < control().record_count; ++i) {
            const HeapBlockRecord& r = record(i);
            if (r.removed != 0) {
                ++removed;
                continue;
            }
            EXPECT_LE(r.end, HEAP_END) << i;
            if (r.free != 0) {
                ++free_blocks;
                free_bytes += r.size;
            } else {
                ++used_blocks;
                used_bytes += r.size;
                EXPECT_GE(r.start, HEAP_START) << i;
                EXPECT_LE(r.start + r.size, r.end) << i;
                in_use.emplace_back(r.start, r.start + r.size);
            }
        }
        EXPECT_EQ(control().free_blocks, free_blocks);
        EXPECT_EQ(control().used_blocks, used_blocks);
        EXPECT_EQ(control().removed_records, removed);
        EXPECT_EQ(control().free_bytes, free_bytes);
        EXPECT_EQ(control().used_bytes, used_bytes);
        std::sort(in_use.begin(), in_use.end());
        for (size_t i = 1; i < in_use.size(); ++i) {
            EXPECT_LE(in_use[i - 1].second, in_use[i].first) << "blocks overlap";
        }
    }

    // Takes every byte the heap can still give in pieces of 4 KiB and less.
    static std::vector<void*> exhaust()
    {
        std::vector<void*> blocks;
        for (uint32_t size = 4096; size > 0; size /= 2) {
            while (void* block = heap_alloc(size)) {
                blocks.push_back(block);
            }
        }
        return blocks;
    }

    static void expect_fault(const char* message, const std::function<void()>& operation)
    {
        EXPECT_THROW(operation(), fake::Halted) << message;
        EXPECT_TRUE(screen::contains(message)) << screen::text();
    }
};

TEST_F(HeapTest, InitMapsFiftyPagesAndOneFreeBlock)
{
    EXPECT_EQ(control().record_count, 1u);
    EXPECT_EQ(control().free_blocks, 1u);
    EXPECT_EQ(control().used_blocks, 0u);
    EXPECT_EQ(control().total_size, 204800u);
    EXPECT_EQ(control().heap_start, 0xD0000000u);
    EXPECT_EQ(control().heap_end, 0xD0032000u);
    EXPECT_EQ(control().free_bytes, 204800u);
    EXPECT_EQ(record(0).size, 204800u);
    EXPECT_EQ(record(0).start, HEAP_START);
    EXPECT_EQ(record(0).end, HEAP_END);
    EXPECT_LT(heap_control, LOW_MEMORY_END);
    EXPECT_LE(control().records + HEAP_RECORD_FRAMES * 4096, LOW_MEMORY_END);

    EXPECT_NO_THROW(virt_ptr(HEAP_END - 1));
    EXPECT_THROW(virt_ptr(HEAP_END), fake::PageFault);
    EXPECT_EQ(fake::translate(HEAP_START + 49 * 4096), fake::translate(HEAP_START) + 49 * 4096);
}

TEST_F(HeapTest, FirstAllocationsCarveFromTheLowEnd)
{
    EXPECT_EQ(heap_alloc(100), at(0xD0000000));
    EXPECT_EQ(record(0).size, 204700u);
    EXPECT_EQ(record(0).start, 0xD0000065u);
    EXPECT_EQ(record(0).end, HEAP_END);

    EXPECT_EQ(heap_alloc(1), at(0xD0000065));
    const int32_t small = index_of(0xD0000065);
    ASSERT_GE(small, 0);
    EXPECT_EQ(record(small).size, 16u);
    EXPECT_EQ(record(small).end, 0xD0000075u);
    EXPECT_EQ(record(0).start, 0xD0000076u);

    EXPECT_EQ(heap_alloc(0), nullptr);
    EXPECT_EQ(heap_alloc(5), at(0xD0000076));
    EXPECT_EQ(record(index_of(0xD0000076)).size, 16u);
    expect_consistent();
}

TEST_F(HeapTest, NearFitTakesAFreedBlockWholeAndLargerGapsCarve)
{
    heap_alloc(100);
    heap_alloc(1);
    heap_free(at(0xD0000000));
    EXPECT_EQ(heap_alloc(90), at(0xD0000000));
    EXPECT_EQ(record(index_of(0xD0000000)).size, 100u);

    heap_free(at(0xD0000000));
    EXPECT_EQ(heap_alloc(80), at(0xD0000076));  // 100 - 80 > 15: carved from record 0
    expect_consistent();
}

TEST_F(HeapTest, FreeingAnUnknownAddressOrTwiceChangesNothing)
{
    void* block = heap_alloc(100);
    heap_alloc(50);
    const HeapControl before = control();

    heap_free(at(0xD0000001));
    heap_free(nullptr);
    EXPECT_EQ(std::memcmp(&before, &control(), sizeof before), 0);

    heap_free(block);
    const HeapControl freed = control();
    heap_free(block);
    EXPECT_EQ(std::memcmp(&freed, &control(), sizeof freed), 0);
    expect_consistent();
}

TEST_F(HeapTest, ExhaustionReturnsNullWithoutAFault)
{
    std::vector<void*> blocks;
    while (void* block = heap_alloc(1000)) {
        blocks.push_back(block);
    }
    EXPECT_EQ(blocks.size(), 204u);  // 1001 bytes of the region each
    EXPECT_EQ(heap_alloc(HEAP_SIZE + 1), nullptr);
    EXPECT_EQ(heap_alloc(0xFFFFFFFF), nullptr);
    while (heap_alloc(16) != nullptr) {
    }
    EXPECT_EQ(heap_alloc(1), nullptr);
    expect_consistent();
}

TEST_F(HeapTest, NoBlockReachesPastTheHeapEnd)
{
    heap_alloc(100);
    // Record 0 says 204700 bytes, but only 204699 lie between its start and
    // the heap's end.
    EXPECT_EQ(heap_alloc(204700), nullptr);
    EXPECT_EQ(heap_alloc(204699), at(0xD0000065));
    const HeapBlockRecord& top = record(index_of(0xD0000065));
    EXPECT_EQ(top.size, 204699u);
    EXPECT_EQ(top.start + top.size, HEAP_END);
    expect_consistent();
}

TEST_F(HeapTest, MergingJoinsTouchingFreeBlocksWhenNothingElseFits)
{
    void* a = heap_alloc(100);
    void* b = heap_alloc(100);
    void* c = heap_alloc(100);
    exhaust();
    heap_free(a);
    heap_free(b);

    // a (100) + the byte between + b (100).
    EXPECT_EQ(heap_alloc(201), a);
    EXPECT_EQ(record(index_of(0xD0000000)).size, 201u);
    EXPECT_EQ(control().removed_records, 1u);
    EXPECT_EQ(heap_alloc(1), nullptr);
    EXPECT_NE(index_of(0xD00000CA), -1) << "c is untouched";
    (void)c;
    expect_consistent();
}

TEST_F(HeapTest, FreeingEverythingGivesTheWholeHeapBack)
{
    std::mt19937 random(7);
    std::vector<void*> blocks;
    while (void* block = heap_alloc(random() % 3000 + 1)) {
        blocks.push_back(block);
    }
    for (void* block : exhaust()) {
        blocks.push_back(block);
    }
    ASSERT_GT(blocks.size(), 100u);
    std::shuffle(blocks.begin(), blocks.end(), random);
    for (void* block : blocks) {
        heap_free(block);
    }
    EXPECT_EQ(heap_alloc(HEAP_SIZE), at(HEAP_START));
    EXPECT_EQ(control().used_bytes, HEAP_SIZE);
    expect_consistent();

    // Removed slots are reused for the next carvings.
    heap_free(at(HEAP_START));
    const uint32_t slots = control().record_count;
    EXPECT_NE(heap_alloc(100), nullptr);
    EXPECT_EQ(control().record_count, slots);
    expect_consistent();
}

TEST_F(HeapTest, SplitThatCannotRecordItsBlockRestoresTheFreeBlock)
{
    heap_alloc(100);
    const HeapBlockRecord before = record(0);
    control().record_count = HEAP_MAX_RECORDS;  // a full table

    EXPECT_EQ(heap_split(0, 50), -1);
    EXPECT_EQ(heap_alloc(50), nullptr);
    EXPECT_EQ(std::memcmp(&before, &record(0), sizeof before), 0);
}

TEST_F(HeapTest, RemovingKeepsTheCountersTrue)
{
    heap_alloc(100);
    heap_alloc(100);
    heap_free(at(HEAP_START));
    const int32_t freed = index_of(HEAP_START);
    EXPECT_EQ(heap_remove_record(freed), 0);
    EXPECT_EQ(record(freed).removed, 1);
    EXPECT_EQ(record(freed).size, HEAP_REMOVED_SIZE);
    EXPECT_EQ(heap_remove_record(freed), 0);
    expect_consistent();
}

TEST_F(HeapTest, InsertFaults)
{
    expect_fault("Kernel Heap Fault {Not Enough Heap Memory}",
                 [] { heap_insert_record(HEAP_SIZE + 1, HEAP_START, HEAP_START + 16, 1, 0); });
    expect_fault("Kernel Heap Fault {Block Can't Fit}",
                 [] { heap_insert_record(16, HEAP_START - 16, HEAP_START, 1, 0); });
    expect_fault("Kernel Heap Fault {Block Can't Fit}",
                 [] { heap_insert_record(16, HEAP_END - 8, HEAP_END + 8, 1, 0); });
    expect_fault("Kernel Heap Fault {Block Can't Fit 0x1}", [] { heap_insert_record(16, HEAP_START, HEAP_END, 1, 0); });
}

TEST_F(HeapTest, RemoveFaults)
{
    expect_fault("Kernel Heap Fault {ID error}", [] { heap_remove_record(1); });
    expect_fault("Kernel Heap Fault {ID error}", [] { heap_remove_record(-1); });
    expect_fault("Kernel Heap Fault {Main Block Fault}", [] { heap_remove_record(0); });
}

TEST_F(HeapTest, InterruptStateIsKept)
{
    fake::interrupts_on = true;
    heap_free(heap_alloc(10));
    EXPECT_TRUE(fake::interrupts_on);
}

class StackTest : public HardwareTest {
protected:
    void SetUp() override
    {
        HardwareTest::SetUp();
        memory_init();
    }
};

TEST_F(StackTest, CopiesTheActiveFramesToTheFixedTop)
{
    // A loader stack pointer whose 3072 bytes cross a page boundary.
    fake::stack_pointer = 0x8F800;
    for (uint32_t i = 0; i < KERNEL_STACK_COPY_BYTES; ++i) {
        fake::phys(0x8F800 + i)[0] = static_cast<uint8_t>(i * 7 + 1);
    }
    fake::interrupts_on = true;

    ASSERT_TRUE(stack_init(KERNEL_STACK_BASE, KERNEL_STACK_PAGES));
    EXPECT_FALSE(fake::interrupts_on);
    EXPECT_EQ(std::memcmp(virt_ptr(KERNEL_STACK_TOP), fake::phys(0x8F800), KERNEL_STACK_COPY_BYTES), 0);
    EXPECT_NO_THROW(virt_ptr(0xC0100000));
    EXPECT_NO_THROW(virt_ptr(0xC0101FFF));
    EXPECT_THROW(virt_ptr(0xC0102000), fake::PageFault);
}

TEST_F(StackTest, RefusesPagesThatDoNotHoldTheTop)
{
    const uint32_t used = pmm_used_size(true);
    EXPECT_FALSE(stack_init(0, 2));
    EXPECT_FALSE(stack_init(KERNEL_STACK_BASE, 0));
    EXPECT_FALSE(stack_init(KERNEL_STACK_BASE, 1));
    EXPECT_FALSE(stack_init(0xC0102000, 2));
    EXPECT_EQ(pmm_used_size(true), used);
    EXPECT_THROW(virt_ptr(0xC0100000), fake::PageFault);
}

TEST_F(StackTest, MappingFailureReleasesTheFrames)
{
    ASSERT_TRUE(vmm_map_page(pmm_alloc_frame(), 0xC0101000, false, true, vmm_current_directory()));
    const uint32_t used = pmm_used_size(true);
    EXPECT_FALSE(stack_init(KERNEL_STACK_BASE, KERNEL_STACK_PAGES));
    EXPECT_EQ(pmm_used_size(true), used);
    EXPECT_THROW(virt_ptr(0xC0100000), fake::PageFault);
}

}  // namespace
