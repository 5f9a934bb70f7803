// The physical memory manager: 4 KiB frames, one bit each in a bitmap placed
// right after the kernel image.
#pragma once

#include <stdint.h>

// A frame of physical memory and a page of virtual memory are the same
// 4 KiB: the unit of the frame bitmap, of every mapping and of the paging
// structures themselves.
constexpr uint32_t PAGE_SIZE = 4096;
constexpr uint32_t PAGE_OFFSET_MASK = PAGE_SIZE - 1;
constexpr uint32_t MEMORY_MAP_ADDRESS = 0x1000;  // firmware memory-range table left by the loader
constexpr uint32_t MEMORY_MAP_MAX_ENTRIES = 20;
constexpr uint32_t MEMORY_RANGE_USABLE = 1;

// A page entry holds frame addresses through mask 0x7FFFF000, so only the
// frames below 2 GiB can ever be mapped; the manager keeps no others.
constexpr uint32_t PMM_MAX_FRAMES = 0x80000;
// The first 4 MiB are mapped one-to-one in every address space: memory the
// kernel reaches by physical address (page tables, directories, the heap's
// records) must lie below this.
constexpr uint32_t LOW_MEMORY_END = 0x400000;

struct [[gnu::packed]] MemoryRange {  // one firmware (E820) memory-range entry
    uint64_t base;
    uint64_t length;
    uint32_t type;  // 1 = usable RAM
    uint32_t extended_attributes;
};
static_assert(sizeof(MemoryRange) == 24);
static_assert(__builtin_offsetof(MemoryRange, base) == 0);
static_assert(__builtin_offsetof(MemoryRange, length) == 8);
static_assert(__builtin_offsetof(MemoryRange, type) == 16);
static_assert(__builtin_offsetof(MemoryRange, extended_attributes) == 20);

void pmm_init(uint32_t memory_kb, uint32_t kernel_size, uint32_t kernel_base);
void pmm_mark_region_free(uint32_t base, uint32_t size);
void pmm_mark_region_used(uint32_t base, uint32_t size);
int32_t pmm_first_free();
int32_t pmm_first_free_run(uint32_t count);
uint32_t pmm_alloc_frame();
uint32_t pmm_alloc_frames(uint32_t count);
// Like pmm_alloc_frames, but the whole run must end at or below `limit`
// (a physical address); used for memory reached by physical address.
uint32_t pmm_alloc_frames_below(uint32_t count, uint32_t limit);
void pmm_free_frame(uint32_t address);
void pmm_free_frames(uint32_t address, uint32_t count);
uint32_t pmm_memory_size(bool in_frames);
uint32_t pmm_used_size(bool in_frames);
uint32_t pmm_free_size(bool in_frames);

// The frames the bitmap describes, and the bitmap's physical address.
uint32_t pmm_total_frames();
uint32_t pmm_bitmap_address();
// True when `frame` is marked used; frames beyond the bitmap count as used.
bool pmm_frame_used(uint32_t frame);
