// The physical memory manager. One bit per 4 KiB frame (1 = used) in a bitmap
// right after the kernel image; the firmware's memory-range table says which
// frames start free. The used count follows the regions passed to the
// region operations, not the bits, and the `mem` figures are built on it.
#include "mm/pmm.h"

#include "lib/cpu.h"
#include "lib/physmem.h"
#include "lib/string.h"

namespace {

constexpr uint32_t FRAME_SHIFT = 12;
constexpr uint32_t KB_PER_FRAME = PAGE_SIZE / 1024;
constexpr uint32_t BITS_PER_WORD = 32;
constexpr uint32_t FULL_WORD = 0xFFFFFFFF;
constexpr uint64_t ADDRESS_SPACE_END = 0x100000000;  // the 32-bit physical address space
constexpr uint32_t MAX_MANAGED_KB = PMM_MAX_FRAMES * KB_PER_FRAME;
constexpr uint32_t MAX_BYTE_FRAMES = 0x100000;  // frames whose byte count still fits 32 bits
constexpr uint32_t SATURATED_BYTES = 0xFFFFF000;

uint32_t managed_kb;    // RAM the manager serves, in KiB: memory_kb, at most 2 GiB
uint32_t total_frames;  // frames the bitmap describes
uint32_t used_frames;
uint32_t bitmap;  // physical address of the bitmap

struct FrameSpan {
    uint32_t first;
    uint32_t count;
};

uint32_t* bitmap_words()
{
    return phys_as<uint32_t>(bitmap);
}

// Only whole 32-bit words are searched.
uint32_t searched_frames()
{
    return total_frames / BITS_PER_WORD * BITS_PER_WORD;
}

bool bit_is_set(uint32_t frame)
{
    return ((bitmap_words()[frame / BITS_PER_WORD] >> (frame % BITS_PER_WORD)) & 1) != 0;
}

void set_bit(uint32_t frame)
{
    bitmap_words()[frame / BITS_PER_WORD] |= 1u << (frame % BITS_PER_WORD);
}

void clear_bit(uint32_t frame)
{
    bitmap_words()[frame / BITS_PER_WORD] &= ~(1u << (frame % BITS_PER_WORD));
}

// Frames from `first` up to (not including) `end`, cut to the bitmap: a
// range reported beyond the managed memory must not write past the bitmap.
FrameSpan clip_to_bitmap(uint64_t first, uint64_t end)
{
    if (end > total_frames) {
        end = total_frames;
    }
    if (first >= end) {
        return {0, 0};
    }
    return {static_cast<uint32_t>(first), static_cast<uint32_t>(end - first)};
}

// The whole frames inside a region: a usable region that starts or ends
// inside a frame does not make the rest of that frame usable.
FrameSpan frames_inside(uint32_t base, uint32_t size)
{
    const uint64_t start = static_cast<uint64_t>(base);
    return clip_to_bitmap((start + PAGE_SIZE - 1) >> FRAME_SHIFT, (start + size) >> FRAME_SHIFT);
}

// The size >> 12 frames from the frame that holds the base: the count the
// used figure grows by follows the region's size, rounded down.
FrameSpan frames_reserved(uint32_t base, uint32_t size)
{
    const uint64_t first = base >> FRAME_SHIFT;
    return clip_to_bitmap(first, first + (size >> FRAME_SHIFT));
}

uint32_t frames_free()
{
    return used_frames < total_frames ? total_frames - used_frames : 0;
}

uint32_t frames_to_bytes(uint32_t frames)
{
    return frames < MAX_BYTE_FRAMES ? frames << FRAME_SHIFT : SATURATED_BYTES;
}

uint32_t figure(uint32_t bytes, bool in_frames)
{
    return in_frames ? bytes >> FRAME_SHIFT : bytes;
}

void subtract_used(uint32_t count)
{
    used_frames = used_frames > count ? used_frames - count : 0;
}

int32_t first_free_below(uint32_t frame_limit)
{
    const uint32_t limit = frame_limit < searched_frames() ? frame_limit : searched_frames();
    const uint32_t* words = bitmap_words();
    for (uint32_t w = 0; w * BITS_PER_WORD < limit; ++w) {
        if (words[w] != FULL_WORD) {
            const uint32_t frame = w * BITS_PER_WORD + static_cast<uint32_t>(__builtin_ctz(~words[w]));
            return frame < limit ? static_cast<int32_t>(frame) : -1;
        }
    }
    return -1;
}

int32_t first_free_run_below(uint32_t count, uint32_t frame_limit)
{
    if (count == 0 || total_frames < BITS_PER_WORD) {
        return -1;
    }
    const uint32_t limit = frame_limit < searched_frames() ? frame_limit : searched_frames();
    const uint32_t* words = bitmap_words();
    uint32_t run = 0;
    uint32_t start = 0;
    for (uint32_t frame = 0; frame < limit;) {
        if (frame % BITS_PER_WORD == 0 && words[frame / BITS_PER_WORD] == FULL_WORD) {
            run = 0;
            frame += BITS_PER_WORD;
            continue;
        }
        if (bit_is_set(frame)) {
            run = 0;
        } else {
            if (run == 0) {
                start = frame;
            }
            if (++run == count) {
                return static_cast<int32_t>(start);
            }
        }
        ++frame;
    }
    return -1;
}

// Takes `count` consecutive frames below frame `frame_limit`. The last free
// frame (by the count) is never handed out.
uint32_t take_frames(uint32_t count, uint32_t frame_limit)
{
    if (count == 0 || frames_free() <= count) {
        return 0;
    }
    const int32_t start = count == 1 ? first_free_below(frame_limit) : first_free_run_below(count, frame_limit);
    if (start < 0) {
        return 0;
    }
    const uint32_t first = static_cast<uint32_t>(start);
    for (uint32_t frame = first; frame < first + count; ++frame) {
        set_bit(frame);
    }
    used_frames += count;
    return first << FRAME_SHIFT;
}

// Walks the loader's copy of the firmware memory map and frees every usable
// range. The table ends at the first entry after entry 0 whose base is 0
// (entry 0 is the low memory that starts at 0), or after 20 entries.
void pmm_free_usable_ranges()
{
    for (uint32_t i = 0; i < MEMORY_MAP_MAX_ENTRIES; ++i) {
        const MemoryRange* range = phys_as<MemoryRange>(MEMORY_MAP_ADDRESS + i * sizeof(MemoryRange));
        if (i > 0 && range->base == 0) {
            return;
        }
        // Memory above 4 GiB has no 32-bit physical address; taking only the
        // low word would free whatever lies at the aliased low address.
        if (range->type != MEMORY_RANGE_USABLE || range->base >= ADDRESS_SPACE_END) {
            continue;
        }
        const uint64_t room = ADDRESS_SPACE_END - range->base;
        const uint64_t length = range->length < room ? range->length : room;
        const uint32_t size = length < ADDRESS_SPACE_END ? static_cast<uint32_t>(length) : FULL_WORD;
        pmm_mark_region_free(static_cast<uint32_t>(range->base), size);
    }
}

}  // namespace

void pmm_init(uint32_t memory_kb, uint32_t kernel_size, uint32_t kernel_base)
{
    // RAM above 2 GiB cannot be mapped (mask 0x7FFFF000): the machine runs
    // with the part it can use, and KiB / 4 cannot wrap as KiB * 1024 does.
    managed_kb = memory_kb < MAX_MANAGED_KB ? memory_kb : MAX_MANAGED_KB;
    total_frames = managed_kb / KB_PER_FRAME;
    used_frames = total_frames;
    // Word-aligned so the bitmap is read as 32-bit words; the reservation
    // below has room for the up to 3 bytes this moves it.
    bitmap = (kernel_base + kernel_size + 3) & ~3u;

    const uint32_t words = (total_frames + BITS_PER_WORD - 1) / BITS_PER_WORD;
    mem_set(phys_ptr(bitmap), 0xFF, words * sizeof(uint32_t));
    pmm_free_usable_ranges();
    // The kernel image, then one byte per frame: room for the bitmap's bit
    // per frame with plenty to spare. The region counts whole frames only
    // (rounded down); should that stop short of the bitmap's last word, the
    // frames it still needs are reserved as well, so no allocation can land
    // on the bitmap.
    pmm_mark_region_used(kernel_base, kernel_size + total_frames);
    const uint32_t reserved_end = ((kernel_base >> FRAME_SHIFT) + ((kernel_size + total_frames) >> FRAME_SHIFT))
                                  << FRAME_SHIFT;
    const uint32_t bitmap_end = bitmap + words * sizeof(uint32_t);
    if (bitmap_end > reserved_end) {
        pmm_mark_region_used(reserved_end, (bitmap_end - reserved_end + PAGE_SIZE - 1) & ~(PAGE_SIZE - 1));
    }
    // The lowest free frame (normally 0x1000, the memory-range table's own
    // frame, read above for the last time) is set aside for good.
    pmm_alloc_frame();
}

// A task switch between reading and writing the bitmap would let two
// processes take the same frame: each operation below runs with interrupts
// off and puts the flag back as it found it.

void pmm_mark_region_free(uint32_t base, uint32_t size)
{
    const uint32_t flags = interrupts_save();
    if (size >= PAGE_SIZE) {
        const FrameSpan span = frames_inside(base, size);
        for (uint32_t frame = span.first; frame < span.first + span.count; ++frame) {
            clear_bit(frame);
        }
        subtract_used(span.count);
    }
    set_bit(0);  // physical address 0 means failure: frame 0 is never handed out
    interrupts_restore(flags);
}

void pmm_mark_region_used(uint32_t base, uint32_t size)
{
    const uint32_t flags = interrupts_save();
    if (size >= PAGE_SIZE) {
        const FrameSpan span = frames_reserved(base, size);
        for (uint32_t frame = span.first; frame < span.first + span.count; ++frame) {
            set_bit(frame);
        }
        used_frames += span.count;
    }
    set_bit(0);
    interrupts_restore(flags);
}

int32_t pmm_first_free()
{
    const uint32_t flags = interrupts_save();
    const int32_t frame = first_free_below(searched_frames());
    interrupts_restore(flags);
    return frame;
}

int32_t pmm_first_free_run(uint32_t count)
{
    const uint32_t flags = interrupts_save();
    const int32_t frame = first_free_run_below(count, searched_frames());
    interrupts_restore(flags);
    return frame;
}

uint32_t pmm_alloc_frame()
{
    return pmm_alloc_frames_below(1, FULL_WORD);
}

uint32_t pmm_alloc_frames(uint32_t count)
{
    if (count == 1) {
        return pmm_alloc_frame();
    }
    return pmm_alloc_frames_below(count, FULL_WORD);
}

uint32_t pmm_alloc_frames_below(uint32_t count, uint32_t limit)
{
    const uint32_t flags = interrupts_save();
    const uint32_t address = take_frames(count, limit >> FRAME_SHIFT);
    interrupts_restore(flags);
    return address;
}

void pmm_free_frame(uint32_t address)
{
    if (address == 0) {
        return;
    }
    pmm_free_frames(address, 1);
}

// A frame that is already free, frame 0 and frames beyond the bitmap are
// left alone: releasing one twice must not make the count claim a frame
// that is not there.
void pmm_free_frames(uint32_t address, uint32_t count)
{
    if (address == 0 || count == 0) {
        return;
    }
    const uint32_t flags = interrupts_save();
    const FrameSpan span =
        clip_to_bitmap(address >> FRAME_SHIFT, static_cast<uint64_t>(address >> FRAME_SHIFT) + count);
    uint32_t released = 0;
    for (uint32_t frame = span.first; frame < span.first + span.count; ++frame) {
        if (frame != 0 && bit_is_set(frame)) {
            clear_bit(frame);
            ++released;
        }
    }
    subtract_used(released);
    interrupts_restore(flags);
}

uint32_t pmm_memory_size(bool in_frames)
{
    return figure(managed_kb * 1024, in_frames);
}

uint32_t pmm_used_size(bool in_frames)
{
    return in_frames ? used_frames : frames_to_bytes(used_frames);
}

uint32_t pmm_free_size(bool in_frames)
{
    const uint32_t used_kb = used_frames * KB_PER_FRAME;
    const uint32_t free_kb = managed_kb > used_kb ? managed_kb - used_kb : 0;
    return figure(free_kb * 1024, in_frames);
}

uint32_t pmm_total_frames()
{
    return total_frames;
}

uint32_t pmm_bitmap_address()
{
    return bitmap;
}

bool pmm_frame_used(uint32_t frame)
{
    return frame >= total_frames || bit_is_set(frame);
}
