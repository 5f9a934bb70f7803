// Access to memory by address. The kernel reaches physical memory in the low
// 4 MiB through the one-to-one mapping, and its fixed virtual regions (heap,
// stacks, windows) through their virtual addresses; both are plain casts on
// the machine. On the host the test fakes back them with an arena and walk
// the page tables the code under test built.
#pragma once

#include <stdint.h>

// Pointer to physical `address` (valid for the one-to-one mapped low 4 MiB).
void* phys_ptr(uint32_t address);
// Pointer to kernel virtual `address` in the current address space.
void* virt_ptr(uint32_t address);

template <typename T>
T* phys_as(uint32_t address)
{
    return static_cast<T*>(phys_ptr(address));
}

template <typename T>
T* virt_as(uint32_t address)
{
    return static_cast<T*>(virt_ptr(address));
}
