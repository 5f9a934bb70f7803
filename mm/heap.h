// The kernel heap: 50 pages at 0xD0000000, described by a separate table of
// block records. No block has a header in the heap itself.
#pragma once

#include <stdint.h>

#include "mm/pmm.h"

constexpr uint32_t HEAP_START = 0xD0000000;
constexpr uint32_t HEAP_PAGES = 50;
constexpr uint32_t HEAP_SIZE = HEAP_PAGES * PAGE_SIZE;  // 204800 bytes
constexpr uint32_t HEAP_END = HEAP_START + HEAP_SIZE;
constexpr uint32_t HEAP_TAKEN_FRAMES = 54;   // the first 50 are mapped, 4 stay unused
constexpr uint32_t HEAP_RECORD_FRAMES = 45;  // 184320 bytes of records
constexpr uint32_t HEAP_MAX_RECORDS = 12800;
constexpr uint32_t HEAP_MIN_BLOCK = 16;
constexpr uint32_t HEAP_NEAR_FIT_SLACK = 15;  // a free block up to this much larger is handed out whole
constexpr uint32_t HEAP_REMOVED_SIZE = 0xFFFFFFFF;

// One block, free or in use. A carved block ends at start + size and the
// next block starts one byte after that end.
struct [[gnu::packed]] HeapBlockRecord {
    uint32_t size;    // bytes the block offers
    uint32_t start;   // the block's virtual address: what heap_alloc returns
    uint32_t end;     // start + size, or, for a remainder, the end of the block it was cut from
    uint8_t free;     // 1 = free
    uint8_t removed;  // 1 = the slot holds no block and may be reused
};
static_assert(sizeof(HeapBlockRecord) == 14);
static_assert(__builtin_offsetof(HeapBlockRecord, size) == 0);
static_assert(__builtin_offsetof(HeapBlockRecord, start) == 4);
static_assert(__builtin_offsetof(HeapBlockRecord, end) == 8);
static_assert(__builtin_offsetof(HeapBlockRecord, free) == 12);
static_assert(__builtin_offsetof(HeapBlockRecord, removed) == 13);
static_assert(HEAP_MAX_RECORDS * sizeof(HeapBlockRecord) <= HEAP_RECORD_FRAMES * PAGE_SIZE);

// The heap's bookkeeping, alone in one frame reached by physical address.
struct [[gnu::packed]] HeapControl {
    uint32_t records;       // physical address of the HeapBlockRecord table
    uint32_t record_count;  // slots in use so far, removed slots included
    uint32_t used_blocks;
    uint32_t free_blocks;
    uint32_t removed_records;
    uint32_t total_size;
    uint32_t heap_start;
    uint32_t heap_end;
    uint32_t free_bytes;  // sum of the sizes of free blocks
    uint32_t used_bytes;  // sum of the sizes of blocks in use
};
static_assert(sizeof(HeapControl) == 40);
static_assert(__builtin_offsetof(HeapControl, records) == 0);
static_assert(__builtin_offsetof(HeapControl, record_count) == 4);
static_assert(__builtin_offsetof(HeapControl, used_blocks) == 8);
static_assert(__builtin_offsetof(HeapControl, free_blocks) == 12);
static_assert(__builtin_offsetof(HeapControl, removed_records) == 16);
static_assert(__builtin_offsetof(HeapControl, total_size) == 20);
static_assert(__builtin_offsetof(HeapControl, heap_start) == 24);
static_assert(__builtin_offsetof(HeapControl, heap_end) == 28);
static_assert(__builtin_offsetof(HeapControl, free_bytes) == 32);
static_assert(__builtin_offsetof(HeapControl, used_bytes) == 36);

bool heap_init();
void* heap_alloc(uint32_t size);
void heap_free(void* pointer);

// Internal operations, exposed for the tests.
HeapControl* heap_control_block();
HeapBlockRecord* heap_record(uint32_t index);
int32_t heap_find_fit(uint32_t size);
int32_t heap_split(int32_t index, uint32_t request);
int32_t heap_insert_record(uint32_t size, uint32_t start, uint32_t end, uint8_t free, uint8_t removed);
int32_t heap_remove_record(int32_t index);
