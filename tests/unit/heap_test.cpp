// The kernel heap (near fit, carving, merging, the top-of-heap bound, the
// five faults) and the kernel stack set-up.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
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

class HeapTest : public HardwareTest {
protected:
    void SetUp() override
    {
        HardwareTest::SetUp();
        console_init();
        const MemoryRange map[] = {{0, 0x9FC00, 1, 1}, {0x100000, 0xF00000, 1, 1}};
        std::memcpy(fake::phys(MEMORY_MAP_ADDRESS), map, sizeof map);
        pmm_init(16384, 0x20000, 0x100000);
        ASSERT_TRUE(vmm_init());
        ASSERT_TRUE(heap_init());
    }

    static HeapControl& control() { return *heap_control_block(); }
    static void* at(uint32_t address) { return virt_ptr(address); }
    // The record of the block that starts at `start`.
    static HeapBlockRecord& block(uint32_t start)
    {
        for (uint32_t i = 0; i < control().record_count; ++i) {
            if (heap_record(i)->removed == 0 && heap_record(i)->start == start) {
                return *heap_record(i);
            }
        }
        throw std::out_of_range("no block there");
    }

    // The counters agree with the records, and the blocks in use lie inside
    // the heap without overlapping.
    static void expect_consistent()
    {
        HeapControl counted{};
        std::vector<bool> taken(HEAP_SIZE);
        for (uint32_t i = 0; i < control().record_count; ++i) {
            const HeapBlockRecord& r = *heap_record(i);
            counted.removed_records += r.removed;
            if (r.removed == 0) {
                (r.free != 0 ? counted.free_blocks : counted.used_blocks) += 1;
                (r.free != 0 ? counted.free_bytes : counted.used_bytes) += r.size;
            }
            if (r.removed == 0 && r.free == 0) {
                ASSERT_TRUE(r.start >= HEAP_START && r.start + r.size <= std::min(r.end, HEAP_END)) << i;
                for (uint32_t byte = r.start - HEAP_START; byte < r.start - HEAP_START + r.size; ++byte) {
                    ASSERT_FALSE(taken[byte]) << "blocks overlap at " << i;
                    taken[byte] = true;
                }
            }
        }
        const auto counters = [](const HeapControl& c) {
            return std::make_tuple(c.free_blocks, c.used_blocks, c.removed_records, c.free_bytes, c.used_bytes);
        };
        EXPECT_EQ(counters(control()), counters(counted));
    }

    // Takes every byte the heap can still give in pieces of 4 KiB and less.
    static std::vector<void*> exhaust()
    {
        std::vector<void*> blocks;
        for (uint32_t size = 4096; size > 0; size /= 2) {
            while (void* pointer = heap_alloc(size)) {
                blocks.push_back(pointer);
            }
        }
        return blocks;
    }
};

TEST_F(HeapTest, InitMapsFiftyPagesAndKeepsItsBookkeepingLow)
{
    EXPECT_NO_THROW(virt_ptr(HEAP_END - 1));
    EXPECT_THROW(virt_ptr(HEAP_END), fake::PageFault);
    // Reached by physical address, so inside the one-to-one first 4 MiB.
    EXPECT_LT(reinterpret_cast<const uint8_t*>(heap_control_block()) - fake::phys(0), LOW_MEMORY_END);
    EXPECT_LE(control().records + HEAP_RECORD_FRAMES * 4096, LOW_MEMORY_END);
    EXPECT_EQ(control().record_count, 1u);
    EXPECT_EQ(heap_record(0)->end, HEAP_END);
    expect_consistent();
}

TEST_F(HeapTest, Alloc100Then1CarveFromTheLowEndThenNearFitBeatsCarving)
{
    EXPECT_EQ(heap_alloc(100), at(0xD0000000));
    EXPECT_EQ(heap_record(0)->size, 204700u);
    EXPECT_EQ(heap_record(0)->start, 0xD0000065u);
    EXPECT_EQ(heap_alloc(1), at(0xD0000065));
    EXPECT_EQ(block(0xD0000065).size, 16u);
    EXPECT_EQ(block(0xD0000065).end, 0xD0000075u);

    heap_free(at(0xD0000000));
    EXPECT_EQ(heap_alloc(85), at(0xD0000000));  // 100 - 85 = 15: handed out whole
    EXPECT_EQ(block(0xD0000000).size, 100u);
    heap_free(at(0xD0000000));
    EXPECT_EQ(heap_alloc(84), at(0xD0000076));  // 100 - 84 = 16: carved from record 0

    EXPECT_EQ(heap_alloc(0), nullptr);
    EXPECT_EQ(heap_alloc(5), at(0xD0000076 + 85));
    EXPECT_EQ(block(0xD0000076 + 85).size, 16u);
    expect_consistent();
}

TEST_F(HeapTest, FreeingAnUnknownAddressOrTwiceChangesNothing)
{
    fake::interrupts_on = true;
    void* pointer = heap_alloc(100);
    heap_alloc(50);
    const HeapControl before = control();
    heap_free(at(0xD0000001));
    heap_free(nullptr);
    EXPECT_EQ(std::memcmp(&before, &control(), sizeof before), 0);

    heap_free(pointer);
    const HeapControl freed = control();
    heap_free(pointer);
    EXPECT_EQ(std::memcmp(&freed, &control(), sizeof freed), 0);
    expect_consistent();
    EXPECT_TRUE(fake::interrupts_on) << "the interrupt state is put back";
}

TEST_F(HeapTest, ExhaustionReturnsNullWithoutAFault)
{
    std::vector<void*> blocks;
    while (void* pointer = heap_alloc(1000)) {
        blocks.push_back(pointer);
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
    EXPECT_EQ(block(0xD0000065).start + block(0xD0000065).size, HEAP_END);
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
    heap_free(c);

    EXPECT_EQ(heap_alloc(201), a);  // a (100) + the byte between + b (100)
    EXPECT_EQ(block(0xD0000000).size, 201u);
    EXPECT_EQ(control().removed_records, 1u) << "merging stops once the block holds the request";
    EXPECT_EQ(block(0xD00000CA).free, 1) << "the third block is untouched";
    EXPECT_EQ(block(0xD00000CA).size, 100u);
    expect_consistent();
}

TEST_F(HeapTest, FreeingEverythingGivesTheWholeHeapBackAndReusesRemovedSlots)
{
    std::mt19937 random(7);
    std::vector<void*> blocks;
    while (void* pointer = heap_alloc(random() % 3000 + 1)) {
        blocks.push_back(pointer);
    }
    for (void* pointer : exhaust()) {
        blocks.push_back(pointer);
    }
    ASSERT_GT(blocks.size(), 100u);
    std::shuffle(blocks.begin(), blocks.end(), random);
    for (void* pointer : blocks) {
        heap_free(pointer);
    }
    EXPECT_EQ(heap_alloc(HEAP_SIZE), at(HEAP_START));
    expect_consistent();

    heap_free(at(HEAP_START));
    const uint32_t slots = control().record_count;
    EXPECT_NE(heap_alloc(100), nullptr);
    EXPECT_EQ(control().record_count, slots);
    expect_consistent();
}

TEST_F(HeapTest, SplitThatCannotRecordItsBlockRestoresTheFreeBlock)
{
    heap_alloc(100);
    const HeapBlockRecord before = *heap_record(0);
    control().record_count = HEAP_MAX_RECORDS;  // a full table
    EXPECT_EQ(heap_split(0, 50), -1);
    EXPECT_EQ(heap_alloc(50), nullptr);
    EXPECT_EQ(std::memcmp(&before, heap_record(0), sizeof before), 0);
}

TEST_F(HeapTest, EachFaultStopsTheKernelWithItsMessage)
{
    const std::pair<const char*, std::function<void()>> faults[] = {
        {"Kernel Heap Fault {Not Enough Heap Memory}",
         [] { heap_insert_record(HEAP_SIZE + 1, HEAP_START, HEAP_START + 16, 1, 0); }},
        {"Kernel Heap Fault {Block Can't Fit}", [] { heap_insert_record(16, HEAP_START - 16, HEAP_START, 1, 0); }},
        {"Kernel Heap Fault {Block Can't Fit}", [] { heap_insert_record(16, HEAP_END - 8, HEAP_END + 8, 1, 0); }},
        {"Kernel Heap Fault {Block Can't Fit 0x1}", [] { heap_insert_record(16, HEAP_START, HEAP_END, 1, 0); }},
        {"Kernel Heap Fault {ID error}", [] { heap_remove_record(1); }},
        {"Kernel Heap Fault {ID error}", [] { heap_remove_record(-1); }},
        {"Kernel Heap Fault {Main Block Fault}", [] { heap_remove_record(0); }},
    };
    for (const auto& [message, operation] : faults) {
        EXPECT_THROW(operation(), fake::Halted) << message;
        EXPECT_EQ(screen::line(16), std::string("[KVAL] : Fatal Error : ") + message);
    }
}

using StackTest = HeapTest;

// Each step of heap_init that can fail, on fresh memory managers: whatever
// the steps before it took goes back, and no heap is left to allocate from.
TEST_F(HeapTest, AFailedInitGivesBackEveryFrameAndMapping)
{
    enum Failure { NO_CONTROL_FRAME, NO_HEAP_FRAMES, HEAP_PAGE_TAKEN, NO_RECORD_FRAMES };
    for (const Failure failure : {NO_CONTROL_FRAME, NO_HEAP_FRAMES, HEAP_PAGE_TAKEN, NO_RECORD_FRAMES}) {
        SetUp();
        // A new directory, so the heap's pages start unmapped.
        ASSERT_TRUE(vmm_init());
        // Every frame taken, then the lowest of them given back: exactly those
        // decide where it fails.
        std::vector<uint32_t> low, high;
        for (uint32_t frame; (frame = pmm_alloc_frames_below(1, LOW_MEMORY_END)) != 0;) {
            low.push_back(frame);
        }
        for (uint32_t frame; (frame = pmm_alloc_frame()) != 0;) {
            high.push_back(frame);
        }
        const auto give_back = [](const std::vector<uint32_t>& frames, size_t count) {
            for (size_t i = 0; i < count; ++i) {
                pmm_free_frame(frames[i]);
            }
        };
        if (failure == NO_HEAP_FRAMES) {
            give_back(low, 1);  // the control frame, and far fewer frames than the heap's
            give_back(high, 1);
        } else if (failure == HEAP_PAGE_TAKEN) {
            give_back(low, low.size());
            give_back(high, high.size());
            ASSERT_TRUE(vmm_map_page(pmm_alloc_frame(), HEAP_END - PAGE_SIZE, false, true, vmm_current_directory()));
        } else if (failure == NO_RECORD_FRAMES) {
            give_back(low, 2);  // the control frame and the heap's page table, none for the records
            give_back(high, high.size());
        }
        const uint32_t used = pmm_used_size(true);
        EXPECT_FALSE(heap_init()) << failure;
        // Unmapping never releases a page table: the heap's own stays in the directory.
        EXPECT_EQ(pmm_used_size(true), used + (failure == NO_RECORD_FRAMES ? 1 : 0)) << failure;
        EXPECT_THROW(virt_ptr(HEAP_START), fake::PageFault) << failure;
        EXPECT_EQ(heap_alloc(16), nullptr) << failure;
    }
}

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

TEST_F(StackTest, RefusalsAndMappingFailuresLeaveNothingBehind)
{
    const uint32_t used = pmm_used_size(true);
    EXPECT_FALSE(stack_init(0, 2));
    EXPECT_FALSE(stack_init(KERNEL_STACK_BASE, 0));
    EXPECT_FALSE(stack_init(KERNEL_STACK_BASE, 1));  // pages that do not hold the top
    EXPECT_FALSE(stack_init(0xC0102000, 2));
    EXPECT_EQ(pmm_used_size(true), used);

    ASSERT_TRUE(vmm_map_page(pmm_alloc_frame(), 0xC0101000, false, true, vmm_current_directory()));
    EXPECT_FALSE(stack_init(KERNEL_STACK_BASE, KERNEL_STACK_PAGES));
    EXPECT_EQ(pmm_used_size(true), used + 1);
    EXPECT_THROW(virt_ptr(0xC0100000), fake::PageFault);
}

}  // namespace
