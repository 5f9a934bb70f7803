// The physical memory manager: 4 KiB frames, one bit each in a bitmap placed
// right after the kernel image.
#pragma once

#include <stdint.h>

constexpr uint32_t FRAME_SIZE = 4096;
constexpr uint32_t MEMORY_MAP_ADDRESS = 0x1000;  // firmware memory-range table left by the loader
constexpr uint32_t MEMORY_MAP_MAX_ENTRIES = 20;

struct [[gnu::packed]] MemoryRange {  // one firmware (E820) memory-range entry
    uint64_t base;
    uint64_t length;
    uint32_t type;  // 1 = usable RAM
    uint32_t extended_attributes;
};
static_assert(sizeof(MemoryRange) == 24);

void pmm_init(uint32_t memory_kb, uint32_t kernel_size, uint32_t kernel_base);
void pmm_mark_region_free(uint32_t base, uint32_t size);
void pmm_mark_region_used(uint32_t base, uint32_t size);
int32_t pmm_first_free();
int32_t pmm_first_free_run(uint32_t count);
uint32_t pmm_alloc_frame();
uint32_t pmm_alloc_frames(uint32_t count);
void pmm_free_frame(uint32_t address);
void pmm_free_frames(uint32_t address, uint32_t count);
uint32_t pmm_memory_size(bool in_frames);
uint32_t pmm_used_size(bool in_frames);
uint32_t pmm_free_size(bool in_frames);
