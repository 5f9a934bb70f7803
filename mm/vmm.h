// Paging: the kernel's page directory and the operations that change an
// address space. Directories and tables are reached by physical address, so
// they always lie in the one-to-one mapped first 4 MiB.
#pragma once

#include <stdint.h>

#include "lib/status.h"
#include "mm/pmm.h"

constexpr uint32_t PAGE_PRESENT = 1;
constexpr uint32_t PAGE_WRITABLE = 2;
constexpr uint32_t PAGE_USER = 4;
constexpr uint32_t PAGE_FRAME_MASK = 0x7FFFF000;
constexpr uint32_t PAGE_ENTRIES = 1024;

constexpr uint32_t KERNEL_VIRTUAL_BASE = 0xC0000000;
constexpr uint32_t KERNEL_PHYSICAL_BASE = 0x100000;
constexpr uint32_t KERNEL_IMAGE_PAGES = 256;
constexpr uint32_t DIRECTORY_FRAMES = 2;  // every directory is two frames; the first holds the entries

// Status codes of vmm_alloc_map and vmm_unmap_free.
enum VmmStatus : int32_t {
    VMM_OK = STATUS_OK,
    VMM_BAD_ARGUMENT = STATUS_BAD_ARGUMENT,
    VMM_OUT_OF_MEMORY = STATUS_OUT_OF_MEMORY,
    VMM_MAPPING_FAILED = STATUS_MAPPING_FAILED,
};

constexpr uint32_t vmm_directory_index(uint32_t virt)
{
    return virt >> 22;
}
constexpr uint32_t vmm_table_index(uint32_t virt)
{
    return (virt >> 12) & 0x3FF;
}

bool vmm_init();
// Never replaces a mapping. Refuses a frame at or above 2 GiB, which the
// entry format cannot hold, and a directory outside the first 4 MiB.
bool vmm_map_page(uint32_t phys, uint32_t virt, bool user, bool writable, uint32_t directory);
// On failure the pages this call mapped are unmapped again (their frames are
// the caller's and are not released): the address space is as it was.
bool vmm_map_range(uint32_t phys, uint32_t virt, bool user, bool writable, uint32_t count, uint32_t directory);
bool vmm_unmap_page(uint32_t virt, uint32_t directory);
bool vmm_unmap_range(uint32_t virt, uint32_t count, uint32_t directory);
bool vmm_copy_mappings(uint32_t destination, uint32_t source);
// Refuses the kernel directory and the directory currently loaded.
bool vmm_free_directory(uint32_t directory, uint32_t frames);
// Releases the page tables of `directory` (not the pages they map) and
// clears its entries: what is left of a copy that failed half-way.
bool vmm_release_tables(uint32_t directory);
void vmm_switch_directory(uint32_t directory);
uint32_t vmm_current_directory();
uint32_t vmm_kernel_directory();
// Firmware memory (the ACPI tables) may lie anywhere below 4 GiB, above the
// 2 GiB that ordinary mappings reach: these map `count` pages of it from
// the page holding `phys` at `virt` in the kernel directory, read-only and
// for the kernel only. The frame manager never hands such memory out, so
// neither call takes or releases frames. A failed map leaves nothing mapped.
bool vmm_map_firmware(uint32_t phys, uint32_t virt, uint32_t count);
void vmm_unmap_firmware(uint32_t virt, uint32_t count);
int32_t vmm_alloc_map(uint32_t virt, uint32_t count, bool user, uint32_t directory);
int32_t vmm_unmap_free(uint32_t virt, uint32_t count, uint32_t directory);
// A zeroed frame for a page table or directory, from the first 4 MiB; 0 when
// there is none there.
uint32_t vmm_alloc_paging_frames(uint32_t count);
