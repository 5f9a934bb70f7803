// The kernel stack. Start-up runs on the loader's stack until phase 1 ends
// and then loads ESP with the fixed top 0xC01013F4; the frames still active
// at that moment are copied there first, so returning through them works on
// the new stack.
#include "mm/stack.h"

#include "lib/cpu.h"
#include "lib/physmem.h"
#include "lib/string.h"
#include "mm/pmm.h"
#include "mm/vmm.h"

namespace {

uint32_t room_in_page(uint32_t address)
{
    return PAGE_SIZE - (address & PAGE_OFFSET_MASK);
}

// Copies between virtual addresses a page at a time: a pointer from
// virt_ptr is only good to the end of its page.
void copy_virtual(uint32_t destination, uint32_t source, uint32_t count)
{
    while (count > 0) {
        uint32_t chunk = count;
        if (chunk > room_in_page(destination)) {
            chunk = room_in_page(destination);
        }
        if (chunk > room_in_page(source)) {
            chunk = room_in_page(source);
        }
        mem_copy(virt_ptr(destination), virt_ptr(source), chunk);
        destination += chunk;
        source += chunk;
        count -= chunk;
    }
}

}  // namespace

bool stack_init(uint32_t base, uint32_t pages)
{
    interrupts_disable();
    if (base == 0 || pages == 0) {
        return false;
    }
    // The copy goes to the fixed top whatever base is given: pages that do
    // not hold it would leave the copy writing through an unmapped address.
    const uint32_t first_page = base & ~PAGE_OFFSET_MASK;
    const uint64_t end = static_cast<uint64_t>(first_page) + static_cast<uint64_t>(pages) * PAGE_SIZE;
    if (KERNEL_STACK_TOP < first_page || KERNEL_STACK_TOP + KERNEL_STACK_COPY_BYTES > end) {
        return false;
    }
    const uint32_t frames = pmm_alloc_frames(pages);
    if (frames == 0) {
        return false;
    }
    if (!vmm_map_range(frames, first_page, false, true, pages, vmm_current_directory())) {
        pmm_free_frames(frames, pages);
        return false;
    }
    copy_virtual(KERNEL_STACK_TOP, cpu_stack_pointer(), KERNEL_STACK_COPY_BYTES);
    return true;
}
