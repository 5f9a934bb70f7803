// Kernel heap stress benchmark, run on the host against the fake hardware.
//
// Each round allocates and frees blocks of random sizes until an allocation
// fails (the heap is exhausted even after merging), fills what is left with
// small blocks until even those fail, then frees every block
// in random order and asks for the whole heap in one block: merging must
// rebuild it, so every byte handed out comes back. Every block is filled
// with its own tag and checked when it is freed, which catches overlapping
// blocks; each block's address range is checked against the heap's end.
//
// Prints figures; exits non-zero when a check fails.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "display/console.h"
#include "fakes/fake_hw.h"
#include "fakes/screen.h"
#include "lib/physmem.h"
#include "mm/heap.h"
#include "mm/pmm.h"
#include "mm/vmm.h"

namespace {

constexpr int ROUNDS = 20;
constexpr uint32_t FIRST_SEED = 1;

struct Block {
    uint8_t* data;
    uint32_t address;
    uint32_t size;
    uint8_t tag;
};

struct Figures {
    uint64_t allocations = 0;
    uint64_t frees = 0;
    uint64_t bytes_handed_out = 0;
    uint32_t peak_live_blocks = 0;
    uint32_t peak_records = 0;
    uint32_t lowest_use_at_exhaustion = HEAP_SIZE;
    uint32_t highest_use_at_exhaustion = 0;
    uint64_t use_at_exhaustion = 0;
    uint64_t first_failure_use = 0;
    uint32_t largest_rebuilt = HEAP_SIZE;
    int failures = 0;
};

void fail(Figures& figures, const char* what, uint32_t value)
{
    std::printf("CHECK FAILED: %s (0x%08X)\n", what, value);
    ++figures.failures;
}

void set_up_machine()
{
    fake::reset();
    console_init();
    const MemoryRange low{0, 0x9FC00, 1, 1};
    const MemoryRange high{0x100000, 0x1F00000, 1, 1};
    std::memcpy(fake::phys(MEMORY_MAP_ADDRESS), &low, sizeof low);
    std::memcpy(fake::phys(MEMORY_MAP_ADDRESS + sizeof low), &high, sizeof high);
    pmm_init(32768, 0x20000, 0x100000);
    if (!vmm_init() || !heap_init()) {
        std::printf("memory managers did not start\n");
        std::exit(2);
    }
}

// Mostly small blocks, as the kernel's buffers are, with some large ones.
uint32_t random_size(std::mt19937& random)
{
    const uint32_t kind = random() % 100;
    if (kind < 70) {
        return random() % 64 + 1;
    }
    if (kind < 95) {
        return random() % 960 + 65;
    }
    return random() % 7168 + 1025;
}

void check_and_free(Figures& figures, const Block& block)
{
    for (uint32_t i = 0; i < block.size; ++i) {
        if (block.data[i] != block.tag) {
            fail(figures, "a block was overwritten by another", block.address + i);
            break;
        }
    }
    heap_free(block.data);
    ++figures.frees;
}

bool allocate(Figures& figures, std::vector<Block>& live, uint32_t size, uint8_t tag)
{
    auto* data = static_cast<uint8_t*>(heap_alloc(size));
    if (data == nullptr) {
        return false;
    }
    // The 50 heap frames are consecutive, so the arena holds the heap in one
    // piece and the block's virtual address follows from its offset.
    const uint32_t address = HEAP_START + static_cast<uint32_t>(data - static_cast<uint8_t*>(virt_ptr(HEAP_START)));
    if (address < HEAP_START || address + size > HEAP_END) {
        fail(figures, "a block reaches beyond the heap", address);
        return false;
    }
    std::memset(data, tag, size);
    live.push_back({data, address, size, tag});
    ++figures.allocations;
    figures.bytes_handed_out += size;
    return true;
}

void run_round(Figures& figures, uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<Block> live;
    uint8_t tag = 1;
    for (;;) {
        const bool free_one = !live.empty() && random() % 100 < 40;
        if (free_one) {
            const size_t victim = random() % live.size();
            check_and_free(figures, live[victim]);
            live[victim] = live.back();
            live.pop_back();
            continue;
        }
        if (!allocate(figures, live, random_size(random), tag)) {
            break;
        }
        tag = static_cast<uint8_t>(tag % 250 + 1);
        figures.peak_live_blocks = std::max<uint32_t>(figures.peak_live_blocks, live.size());
        figures.peak_records = std::max(figures.peak_records, heap_control_block()->record_count);
    }

    figures.first_failure_use += heap_control_block()->used_bytes;
    while (allocate(figures, live, random() % 64 + 1, tag)) {
        tag = static_cast<uint8_t>(tag % 250 + 1);
    }
    figures.peak_live_blocks = std::max<uint32_t>(figures.peak_live_blocks, live.size());
    figures.peak_records = std::max(figures.peak_records, heap_control_block()->record_count);

    const uint32_t used = heap_control_block()->used_bytes;
    figures.lowest_use_at_exhaustion = std::min(figures.lowest_use_at_exhaustion, used);
    figures.highest_use_at_exhaustion = std::max(figures.highest_use_at_exhaustion, used);
    figures.use_at_exhaustion += used;

    std::shuffle(live.begin(), live.end(), random);
    for (const Block& block : live) {
        check_and_free(figures, block);
    }
    if (heap_control_block()->used_bytes != 0 || heap_control_block()->used_blocks != 0) {
        fail(figures, "bytes still in use after freeing every block", heap_control_block()->used_bytes);
    }

    // The largest block the freed heap can give: the whole heap when every
    // byte came back.
    uint32_t largest = HEAP_SIZE;
    void* whole = heap_alloc(largest);
    while (whole == nullptr && largest > 0) {
        largest -= 1;
        whole = heap_alloc(largest);
    }
    figures.largest_rebuilt = std::min(figures.largest_rebuilt, largest);
    if (largest != HEAP_SIZE || whole != virt_ptr(HEAP_START)) {
        fail(figures, "the freed heap did not merge back into one block", largest);
    }
    heap_free(whole);
}

}  // namespace

int main()
{
    Figures figures;
    const auto begin = std::chrono::steady_clock::now();
    try {
        set_up_machine();
        for (int round = 0; round < ROUNDS; ++round) {
            run_round(figures, FIRST_SEED + static_cast<uint32_t>(round));
        }
    } catch (const fake::Halted&) {
        std::printf("heap fault: %s\n", screen::line(16).c_str());
        return 1;
    } catch (const fake::PageFault& fault) {
        std::printf("page fault at 0x%08X\n", fault.address);
        return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const uint64_t operations = figures.allocations + figures.frees;

    std::printf("rounds (each to exhaustion, then all freed): %d\n", ROUNDS);
    std::printf("allocations made:            %llu\n", static_cast<unsigned long long>(figures.allocations));
    std::printf("blocks freed:                %llu\n", static_cast<unsigned long long>(figures.frees));
    std::printf("bytes handed out:            %llu\n", static_cast<unsigned long long>(figures.bytes_handed_out));
    std::printf("most blocks live at once:    %u\n", figures.peak_live_blocks);
    std::printf("most record slots used:      %u of %u\n", figures.peak_records, HEAP_MAX_RECORDS);
    std::printf("in use at first failure:     mean %llu bytes of %u\n",
                static_cast<unsigned long long>(figures.first_failure_use / ROUNDS), HEAP_SIZE);
    std::printf("in use when full:            min %u, mean %llu, max %u bytes of %u\n",
                figures.lowest_use_at_exhaustion, static_cast<unsigned long long>(figures.use_at_exhaustion / ROUNDS),
                figures.highest_use_at_exhaustion, HEAP_SIZE);
    std::printf("largest block rebuilt:       %u bytes of %u\n", figures.largest_rebuilt, HEAP_SIZE);
    std::printf("time:                        %.3f s, %.2f us per operation\n", seconds,
                operations == 0 ? 0.0 : seconds * 1e6 / static_cast<double>(operations));
    std::printf("%s\n", figures.failures == 0 ? "every byte came back" : "CHECKS FAILED");
    return figures.failures == 0 ? 0 : 1;
}
