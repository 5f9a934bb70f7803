// The kernel heap. Blocks are described by 14-byte records in a table of
// their own; every operation is a linear scan of that table.
//
// Carving cuts a block from the low end of a free block and starts the
// remainder one byte after the carved block's end, while the remainder's
// recorded size drops only by the request. A remainder therefore records up
// to one byte more per carving than lies between its start and its end, so
// a block is handed out only as far as its start-to-end room reaches.
#include "mm/heap.h"

#include "cpu/fatal.h"
#include "lib/cpu.h"
#include "lib/physmem.h"
#include "mm/pmm.h"
#include "mm/vmm.h"

namespace {

uint32_t heap_control = 0;  // physical address of the HeapControl frame; 0 until heap_init succeeds

constexpr const char* FAULT_NO_MEMORY = "Kernel Heap Fault {Not Enough Heap Memory}";
constexpr const char* FAULT_CANT_FIT = "Kernel Heap Fault {Block Can't Fit}";
constexpr const char* FAULT_WHOLE_HEAP = "Kernel Heap Fault {Block Can't Fit 0x1}";
constexpr const char* FAULT_ID = "Kernel Heap Fault {ID error}";
constexpr const char* FAULT_MAIN_BLOCK = "Kernel Heap Fault {Main Block Fault}";

// The record table lies in one piece in the one-to-one mapped low memory.
HeapBlockRecord* record_table()
{
    return phys_as<HeapBlockRecord>(heap_control_block()->records);
}

bool is_free_block(const HeapBlockRecord* record)
{
    return record->free == 1 && record->removed == 0;
}

bool is_used_block(const HeapBlockRecord* record)
{
    return record->free == 0 && record->removed == 0;
}

// What a block can really give: its size, but never past its end.
uint32_t usable_size(const HeapBlockRecord* record)
{
    if (record->start > record->end || record->end > HEAP_END) {
        return 0;
    }
    const uint32_t room = record->end - record->start;
    return record->size < room ? record->size : room;
}

// Hands a free block out whole. A size that reaches past the block's end is
// cut back to what is there first, so the caller never gets more than exists.
void mark_used(int32_t index)
{
    HeapControl* control = heap_control_block();
    HeapBlockRecord* record = heap_record(static_cast<uint32_t>(index));
    const uint32_t usable = usable_size(record);
    control->free_bytes -= record->size - usable;
    record->size = usable;
    record->free = 0;
    control->free_bytes -= record->size;
    control->used_bytes += record->size;
    control->free_blocks -= 1;
    control->used_blocks += 1;
}

void mark_free(HeapBlockRecord* record)
{
    HeapControl* control = heap_control_block();
    record->free = 1;
    control->free_bytes += record->size;
    control->used_bytes -= record->size;
    control->free_blocks += 1;
    control->used_blocks -= 1;
}

// The first free block, in index order, that is larger than the request
// and can be split. A split fails only when the table or the heap is full,
// which holds for every later block as well, so the scan stops there.
int32_t heap_carve(uint32_t request)
{
    const HeapControl* control = heap_control_block();
    const HeapBlockRecord* table = record_table();
    for (uint32_t i = 0; i < control->record_count; ++i) {
        const HeapBlockRecord* record = &table[i];
        if (is_free_block(record) && usable_size(record) > request) {
            return heap_split(static_cast<int32_t>(i), request);
        }
    }
    return -1;
}

// The free block that starts one byte after record `index`'s end, or -1.
int32_t touching_free_block(uint32_t index)
{
    const HeapControl* control = heap_control_block();
    const HeapBlockRecord* table = record_table();
    const uint32_t next_start = table[index].end + 1;
    for (uint32_t j = 0; j < control->record_count; ++j) {
        const HeapBlockRecord* record = &table[j];
        if (j != index && is_free_block(record) && record->start == next_start) {
            return static_cast<int32_t>(j);
        }
    }
    return -1;
}

// Joins record j into record i (j starts one byte after i's end). The
// joined block covers both and the byte between them, and its size is what
// lies between its start and end, which also drops any excess a remainder
// carried.
void join_blocks(uint32_t i, int32_t j)
{
    HeapControl* control = heap_control_block();
    HeapBlockRecord* first = heap_record(i);
    const uint32_t end = heap_record(static_cast<uint32_t>(j))->end;
    heap_remove_record(j);
    const uint32_t size = end - first->start;
    control->free_bytes += size;
    control->free_bytes -= first->size;
    first->size = size;
    first->end = end;
}

// Merges touching free blocks, in index order, until one can hold the
// request. True when anything was merged.
bool heap_merge(uint32_t request)
{
    bool merged = false;
    for (uint32_t i = 0; i < heap_control_block()->record_count; ++i) {
        if (!is_free_block(heap_record(i))) {
            continue;
        }
        for (int32_t j = touching_free_block(i); j >= 0; j = touching_free_block(i)) {
            join_blocks(i, j);
            merged = true;
            if (usable_size(heap_record(i)) >= request) {
                return true;
            }
        }
    }
    return merged;
}

int32_t first_removed_slot()
{
    const HeapControl* control = heap_control_block();
    if (control->removed_records == 0) {
        return -1;
    }
    const HeapBlockRecord* table = record_table();
    for (uint32_t i = 0; i < control->record_count; ++i) {
        if (table[i].removed == 1) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

}  // namespace

HeapControl* heap_control_block()
{
    return phys_as<HeapControl>(heap_control);
}

HeapBlockRecord* heap_record(uint32_t index)
{
    return &record_table()[index];
}

// Every step that fails gives back what the steps before it took, so a
// failed initialisation leaves no heap, no mapping and no frame behind.
bool heap_init()
{
    heap_control = 0;
    // The bookkeeping is reached by physical address: it must lie in the
    // one-to-one mapped first 4 MiB.
    const uint32_t control_frame = pmm_alloc_frames_below(1, LOW_MEMORY_END);
    if (control_frame == 0) {
        return false;
    }
    const uint32_t heap_frames = pmm_alloc_frames(HEAP_TAKEN_FRAMES);
    if (heap_frames == 0) {
        pmm_free_frame(control_frame);
        return false;
    }
    // A failed range unmaps what it mapped itself; the frames stay ours.
    if (!vmm_map_range(heap_frames, HEAP_START, false, true, HEAP_PAGES, vmm_current_directory())) {
        pmm_free_frames(heap_frames, HEAP_TAKEN_FRAMES);
        pmm_free_frame(control_frame);
        return false;
    }
    const uint32_t record_frames = pmm_alloc_frames_below(HEAP_RECORD_FRAMES, LOW_MEMORY_END);
    if (record_frames == 0) {
        // Unmapping hands the 50 mapped frames back; the 4 unmapped ones follow.
        vmm_unmap_range(HEAP_START, HEAP_PAGES, vmm_current_directory());
        pmm_free_frames(heap_frames + HEAP_PAGES * PAGE_SIZE, HEAP_TAKEN_FRAMES - HEAP_PAGES);
        pmm_free_frame(control_frame);
        return false;
    }

    HeapControl* control = phys_as<HeapControl>(control_frame);
    control->records = record_frames;
    control->record_count = 1;
    control->used_blocks = 0;
    control->free_blocks = 1;
    control->removed_records = 0;
    control->total_size = HEAP_SIZE;
    control->heap_start = HEAP_START;
    control->heap_end = HEAP_END;
    control->free_bytes = HEAP_SIZE;
    control->used_bytes = 0;

    HeapBlockRecord* whole = phys_as<HeapBlockRecord>(record_frames);
    whole->size = HEAP_SIZE;
    whole->start = HEAP_START;
    whole->end = HEAP_END;
    whole->free = 1;
    whole->removed = 0;

    heap_control = control_frame;
    return true;
}

void* heap_alloc(uint32_t size)
{
    // No block is larger than the heap; refusing bigger requests up front
    // also keeps request + 15 and request + 1 from wrapping.
    if (size == 0 || heap_control == 0 || size > heap_control_block()->total_size) {
        return nullptr;
    }
    const uint32_t request = size < HEAP_MIN_BLOCK ? HEAP_MIN_BLOCK : size;
    // Processes share the heap: a task switch in the middle of a table
    // update would let two of them take the same block.
    const uint32_t flags = interrupts_save();
    int32_t index = -1;
    do {
        index = heap_find_fit(request);
        if (index < 0) {
            index = heap_carve(request);
        }
    } while (index < 0 && heap_merge(request));
    void* block = nullptr;
    if (index >= 0) {
        mark_used(index);
        block = virt_ptr(heap_record(static_cast<uint32_t>(index))->start);
    }
    interrupts_restore(flags);
    return block;
}

void heap_free(void* pointer)
{
    if (pointer == nullptr || heap_control == 0 || heap_control_block()->record_count == 0) {
        return;
    }
    const uint32_t flags = interrupts_save();
    // Only a block in use is released: a second release of the same block
    // finds it free and changes nothing.
    HeapBlockRecord* table = record_table();
    const uint32_t count = heap_control_block()->record_count;
    for (uint32_t i = 0; i < count; ++i) {
        HeapBlockRecord* record = &table[i];
        if (is_used_block(record) && virt_ptr(record->start) == pointer) {
            mark_free(record);
            break;
        }
    }
    interrupts_restore(flags);
}

int32_t heap_find_fit(uint32_t size)
{
    const HeapControl* control = heap_control_block();
    const HeapBlockRecord* table = record_table();
    for (uint32_t i = 0; i < control->record_count; ++i) {
        const HeapBlockRecord* record = &table[i];
        if (!is_free_block(record)) {
            continue;
        }
        const uint32_t usable = usable_size(record);
        if (usable >= size && usable - size <= HEAP_NEAR_FIT_SLACK) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

int32_t heap_split(int32_t index, uint32_t request)
{
    const HeapControl* control = heap_control_block();
    if (index < 0 || static_cast<uint32_t>(index) >= control->record_count) {
        return -1;
    }
    HeapBlockRecord* record = heap_record(static_cast<uint32_t>(index));
    if (!is_free_block(record) || usable_size(record) <= request) {
        return -1;
    }
    const uint32_t size = record->size;
    const uint32_t start = record->start;
    record->size = size - request;
    record->start = start + request + 1;
    const int32_t carved = heap_insert_record(request, start, start + request, 1, 0);
    if (carved < 0) {
        // The table or the heap is full: the free block stays as it was.
        record->size = size;
        record->start = start;
    }
    return carved;
}

int32_t heap_insert_record(uint32_t size, uint32_t start, uint32_t end, uint8_t free, uint8_t removed)
{
    HeapControl* control = heap_control_block();
    const int32_t reused = first_removed_slot();
    if (control->used_bytes >= control->total_size || (reused < 0 && control->record_count >= HEAP_MAX_RECORDS)) {
        return -1;
    }
    if (size > control->free_bytes) {
        fatal_error(FAULT_NO_MEMORY);
    }
    if (start < control->heap_start || end > control->heap_end) {
        fatal_error(FAULT_CANT_FIT);
    }
    if (start == control->heap_start && end == control->heap_end) {
        fatal_error(FAULT_WHOLE_HEAP);
    }

    uint32_t index;
    if (reused >= 0) {
        index = static_cast<uint32_t>(reused);
        control->removed_records -= 1;
    } else {
        index = control->record_count;
        control->record_count += 1;
    }
    HeapBlockRecord* record = heap_record(index);
    record->size = size;
    record->start = start;
    record->end = end;
    record->free = free;
    record->removed = removed;
    if (removed != 0) {
        control->removed_records += 1;
    } else if (free != 0) {
        control->free_blocks += 1;
    } else {
        control->used_blocks += 1;
    }
    return static_cast<int32_t>(index);
}

int32_t heap_remove_record(int32_t index)
{
    HeapControl* control = heap_control_block();
    if (index < 0 || static_cast<uint32_t>(index) >= control->record_count) {
        fatal_error(FAULT_ID);
    }
    HeapBlockRecord* record = heap_record(static_cast<uint32_t>(index));
    if (record->start == control->heap_start && record->end == control->heap_end) {
        fatal_error(FAULT_MAIN_BLOCK);
    }
    if (record->removed == 1) {
        return 0;
    }
    // The counters keep describing the blocks that remain.
    if (record->free == 1) {
        control->free_blocks -= 1;
        control->free_bytes -= record->size;
    } else {
        control->used_blocks -= 1;
        control->used_bytes -= record->size;
    }
    record->removed = 1;
    record->free = 1;
    record->size = HEAP_REMOVED_SIZE;
    record->start = 0;
    record->end = 0;
    control->removed_records += 1;
    return 0;
}
