// Paging: the kernel's page directory and the operations that change an
// address space. Directories and tables are reached by physical address.
#pragma once

#include <stdint.h>

constexpr uint32_t PAGE_PRESENT = 1;
constexpr uint32_t PAGE_WRITABLE = 2;
constexpr uint32_t PAGE_USER = 4;
constexpr uint32_t PAGE_FRAME_MASK = 0x7FFFF000;

bool vmm_init();
bool vmm_map_page(uint32_t phys, uint32_t virt, bool user, bool writable, uint32_t directory);
bool vmm_map_range(uint32_t phys, uint32_t virt, bool user, bool writable, uint32_t count, uint32_t directory);
bool vmm_unmap_page(uint32_t virt, uint32_t directory);
bool vmm_unmap_range(uint32_t virt, uint32_t count, uint32_t directory);
bool vmm_copy_mappings(uint32_t destination, uint32_t source);
bool vmm_free_directory(uint32_t directory, uint32_t frames);
void vmm_switch_directory(uint32_t directory);
uint32_t vmm_current_directory();
uint32_t vmm_kernel_directory();
int32_t vmm_alloc_map(uint32_t virt, uint32_t count, bool user, uint32_t directory);
int32_t vmm_unmap_free(uint32_t virt, uint32_t count, uint32_t directory);
