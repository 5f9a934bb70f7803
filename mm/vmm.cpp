// Two-level 32-bit paging with 4 KiB pages. The code reaches directories and
// page tables through their physical addresses, which works because the
// first 4 MiB are mapped one-to-one in every address space; every frame
// taken here for paging comes from there, and a directory handed in from
// anywhere else is refused rather than written through a wrong pointer.
#include "mm/vmm.h"

#include "lib/cpu.h"
#include "lib/physmem.h"
#include "lib/string.h"
#include "mm/pmm.h"

namespace {

constexpr uint32_t CR0_PAGING = 0x80000000;       // CR0 bit 31
constexpr uint32_t ENTRY_KEEP_MASK = 0x80000FFF;  // what setting a frame leaves of an entry
constexpr uint32_t MAPPABLE_END = 0x80000000;     // the frame mask ends at bit 30
constexpr uint32_t ACCESS_FLAGS = PAGE_PRESENT | PAGE_WRITABLE | PAGE_USER;
// All 20 frame bits of an entry: what firmware mappings and their copies use.
constexpr uint32_t FULL_FRAME_MASK = 0xFFFFF000;

uint32_t kernel_directory;
uint32_t current_directory;

// ---- one directory or table entry ----

void entry_clear_flags(uint32_t* entry, uint32_t flags)
{
    *entry &= ~flags;
}

bool entry_has_flags(const uint32_t* entry, uint32_t flags)
{
    return (*entry & flags) == flags;
}

uint32_t entry_frame(const uint32_t* entry)
{
    return *entry & PAGE_FRAME_MASK;
}

void entry_set_flags(uint32_t* entry, uint32_t flags)
{
    *entry |= flags;
}

// Only the frame bits of `address` go in: low bits of an unaligned address
// would otherwise land among the flags (cache-disable, global, ...).
void entry_set_frame(uint32_t* entry, uint32_t address)
{
    *entry = (*entry & ENTRY_KEEP_MASK) | (address & PAGE_FRAME_MASK);
}

uint32_t access_flags(bool user, bool writable)
{
    return PAGE_PRESENT | (writable ? PAGE_WRITABLE : 0) | (user ? PAGE_USER : 0);
}

// A fresh entry: present with `flags`, pointing at `frame`.
void entry_make(uint32_t* entry, uint32_t frame, uint32_t flags)
{
    *entry = 0;
    entry_set_frame(entry, frame);
    entry_set_flags(entry, flags);
}

// ---- reaching directories and tables ----

// A directory or table can be used only when its whole frame lies in the
// one-to-one mapped low memory.
bool reachable(uint32_t address)
{
    return address != 0 && (address & PAGE_OFFSET_MASK) == 0 && address <= LOW_MEMORY_END - PAGE_SIZE;
}

uint32_t* entry_at(uint32_t table, uint32_t index)
{
    return phys_as<uint32_t>(table) + index;
}

// The page-table entry for `virt`, or null when its table is absent.
uint32_t* find_page_entry(uint32_t directory, uint32_t virt)
{
    const uint32_t* directory_entry = entry_at(directory, vmm_directory_index(virt));
    if (!entry_has_flags(directory_entry, PAGE_PRESENT) || !reachable(entry_frame(directory_entry))) {
        return nullptr;
    }
    return entry_at(entry_frame(directory_entry), vmm_table_index(virt));
}

// The processor may still hold the old translation of a page of the loaded
// directory; a directory that is not loaded has nothing cached.
void invalidate(uint32_t directory, uint32_t virt)
{
    if (directory == current_directory) {
        cpu_invalidate_page(virt);
    }
}

// Removes a mapping without releasing its frame.
void forget_page(uint32_t virt, uint32_t directory)
{
    uint32_t* entry = find_page_entry(directory, virt);
    if (entry != nullptr) {
        entry_clear_flags(entry, ACCESS_FLAGS);
        invalidate(directory, virt);
    }
}

// The directory entry for `virt`, given a table when it has none yet.
uint32_t* table_for(uint32_t directory, uint32_t virt, uint32_t flags)
{
    uint32_t* directory_entry = entry_at(directory, vmm_directory_index(virt));
    if (!entry_has_flags(directory_entry, PAGE_PRESENT)) {
        const uint32_t table = vmm_alloc_paging_frames(1);
        if (table == 0) {
            return nullptr;
        }
        entry_make(directory_entry, table, flags);
    } else if (!reachable(entry_frame(directory_entry))) {
        return nullptr;
    }
    return directory_entry;
}

void load_directory(uint32_t directory)
{
    current_directory = directory;
    cpu_write_cr3(directory);
    cpu_write_cr0(cpu_read_cr0() | CR0_PAGING);
}

// Copies the present pages of one source table into the destination.
bool copy_table(uint32_t destination, uint32_t source, uint32_t index)
{
    const uint32_t* source_entry = entry_at(source, index);
    const uint32_t source_table = entry_frame(source_entry);
    if (!reachable(source_table)) {
        return false;
    }
    const uint32_t table_flags = *source_entry & ACCESS_FLAGS;
    for (uint32_t k = 0; k < PAGE_ENTRIES; ++k) {
        const uint32_t* page = entry_at(source_table, k);
        if (!entry_has_flags(page, PAGE_PRESENT)) {
            continue;
        }
        const uint32_t virt = (index << 22) | (k << 12);
        const uint32_t* directory_entry = table_for(destination, virt, table_flags);
        if (directory_entry == nullptr) {
            return false;
        }
        uint32_t* target = entry_at(entry_frame(directory_entry), k);
        const bool replaced = entry_has_flags(target, PAGE_PRESENT);
        // All frame bits: a firmware page may lie above 2 GiB.
        *target = (*page & FULL_FRAME_MASK) | (*page & ACCESS_FLAGS);
        if (replaced) {
            invalidate(destination, virt);
        }
    }
    return true;
}

}  // namespace

uint32_t vmm_alloc_paging_frames(uint32_t count)
{
    const uint32_t frames = pmm_alloc_frames_below(count, LOW_MEMORY_END);
    if (frames != 0) {
        mem_set(phys_ptr(frames), 0, count * PAGE_SIZE);
    }
    return frames;
}

bool vmm_init()
{
    const uint32_t kernel_table = vmm_alloc_paging_frames(1);
    if (kernel_table == 0) {
        return false;
    }
    for (uint32_t i = 0; i < KERNEL_IMAGE_PAGES; ++i) {
        entry_make(entry_at(kernel_table, vmm_table_index(KERNEL_VIRTUAL_BASE + i * PAGE_SIZE)),
                   KERNEL_PHYSICAL_BASE + i * PAGE_SIZE, PAGE_PRESENT | PAGE_WRITABLE);
    }

    const uint32_t low_table = vmm_alloc_paging_frames(1);
    if (low_table == 0) {
        return false;
    }
    for (uint32_t i = 0; i < PAGE_ENTRIES; ++i) {
        entry_make(entry_at(low_table, i), i * PAGE_SIZE, PAGE_PRESENT | PAGE_WRITABLE);
    }

    const uint32_t directory = vmm_alloc_paging_frames(DIRECTORY_FRAMES);
    if (directory == 0) {
        return false;
    }
    entry_make(entry_at(directory, vmm_directory_index(KERNEL_VIRTUAL_BASE)), kernel_table,
               PAGE_PRESENT | PAGE_WRITABLE);
    entry_make(entry_at(directory, 0), low_table, PAGE_PRESENT | PAGE_WRITABLE);

    kernel_directory = directory;
    load_directory(directory);
    return true;
}

bool vmm_map_page(uint32_t phys, uint32_t virt, bool user, bool writable, uint32_t directory)
{
    if (phys == 0 || virt == 0 || !reachable(directory) || phys >= MAPPABLE_END) {
        return false;
    }
    // An existing directory entry is used as it is; its flags are not widened.
    const uint32_t* directory_entry = table_for(directory, virt, access_flags(user, writable));
    if (directory_entry == nullptr) {
        return false;
    }
    uint32_t* entry = entry_at(entry_frame(directory_entry), vmm_table_index(virt));
    if (entry_has_flags(entry, PAGE_PRESENT)) {
        return false;
    }
    // The processor caches no translation for a page that was not present,
    // so a new mapping needs no invalidation.
    entry_make(entry, phys, access_flags(user, writable));
    return true;
}

bool vmm_map_range(uint32_t phys, uint32_t virt, bool user, bool writable, uint32_t count, uint32_t directory)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (!vmm_map_page(phys + i * PAGE_SIZE, virt + i * PAGE_SIZE, user, writable, directory)) {
            while (i-- > 0) {
                forget_page(virt + i * PAGE_SIZE, directory);
            }
            return false;
        }
    }
    return true;
}

bool vmm_unmap_page(uint32_t virt, uint32_t directory)
{
    if (!reachable(directory)) {
        return false;
    }
    uint32_t* entry = find_page_entry(directory, virt);
    if (entry == nullptr || !entry_has_flags(entry, PAGE_PRESENT)) {
        return false;
    }
    entry_clear_flags(entry, ACCESS_FLAGS);  // the frame address stays in the word
    invalidate(directory, virt);
    const uint32_t frame = entry_frame(entry);
    if (frame == 0) {
        return false;
    }
    pmm_free_frame(frame);
    return true;
}

bool vmm_unmap_range(uint32_t virt, uint32_t count, uint32_t directory)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (!vmm_unmap_page(virt + i * PAGE_SIZE, directory)) {
            return false;
        }
    }
    return true;
}

bool vmm_copy_mappings(uint32_t destination, uint32_t source)
{
    if (!reachable(destination) || !reachable(source)) {
        return false;
    }
    for (uint32_t d = 0; d < PAGE_ENTRIES; ++d) {
        if (entry_has_flags(entry_at(source, d), PAGE_PRESENT) && !copy_table(destination, source, d)) {
            return false;
        }
    }
    return true;
}

bool vmm_free_directory(uint32_t directory, uint32_t frames)
{
    if (frames == 0 || !vmm_release_tables(directory)) {
        return false;
    }
    pmm_free_frames(directory, frames);
    return true;
}

bool vmm_release_tables(uint32_t directory)
{
    // Releasing the loaded directory's tables or the kernel's would pull the
    // mappings out from under the running code.
    if (!reachable(directory) || directory == current_directory || directory == kernel_directory) {
        return false;
    }
    for (uint32_t d = 0; d < PAGE_ENTRIES; ++d) {
        const uint32_t* entry = entry_at(directory, d);
        if (!entry_has_flags(entry, PAGE_PRESENT)) {
            continue;
        }
        if (entry_frame(entry) == 0) {
            return false;
        }
        pmm_free_frame(entry_frame(entry));  // the table; its pages are not released here
    }
    mem_set(phys_ptr(directory), 0, PAGE_SIZE);
    return true;
}

void vmm_switch_directory(uint32_t directory)
{
    if (reachable(directory)) {
        load_directory(directory);
    }
}

uint32_t vmm_current_directory()
{
    return current_directory;
}

uint32_t vmm_kernel_directory()
{
    return kernel_directory;
}

int32_t vmm_alloc_map(uint32_t virt, uint32_t count, bool user, uint32_t directory)
{
    if (virt == 0 || count == 0 || directory == 0) {
        return VMM_BAD_ARGUMENT;
    }
    const uint32_t frames = pmm_alloc_frames(count);
    if (frames == 0) {
        return VMM_OUT_OF_MEMORY;
    }
    if (!vmm_map_range(frames, virt, user, true, count, directory)) {
        pmm_free_frames(frames, count);
        return VMM_MAPPING_FAILED;
    }
    return VMM_OK;
}

int32_t vmm_unmap_free(uint32_t virt, uint32_t count, uint32_t directory)
{
    if (virt == 0 || count == 0 || directory == 0) {
        return VMM_BAD_ARGUMENT;
    }
    return vmm_unmap_range(virt, count, directory) ? VMM_OK : VMM_MAPPING_FAILED;
}

bool vmm_map_firmware(uint32_t phys, uint32_t virt, uint32_t count)
{
    const uint32_t first = phys & FULL_FRAME_MASK;
    if (count == 0 || uint64_t{first} + uint64_t{count} * PAGE_SIZE > 0x100000000ull) {
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t page = virt + i * PAGE_SIZE;
        const uint32_t* directory_entry = table_for(kernel_directory, page, PAGE_PRESENT | PAGE_WRITABLE);
        uint32_t* entry =
            directory_entry != nullptr ? entry_at(entry_frame(directory_entry), vmm_table_index(page)) : nullptr;
        if (entry == nullptr || entry_has_flags(entry, PAGE_PRESENT)) {
            vmm_unmap_firmware(virt, i);
            return false;
        }
        *entry = (first + i * PAGE_SIZE) | PAGE_PRESENT;
        invalidate(kernel_directory, page);
    }
    return true;
}

void vmm_unmap_firmware(uint32_t virt, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        forget_page(virt + i * PAGE_SIZE, kernel_directory);
    }
}
