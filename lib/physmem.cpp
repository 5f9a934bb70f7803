// On the machine, both kinds of address are usable as pointers as they are:
// the low 4 MiB are mapped one-to-one in every address space. This is the one
// place where an integer becomes a pointer.
#include "lib/physmem.h"

void* phys_ptr(uint32_t address)
{
    return reinterpret_cast<void*>(address);  // NOLINT(performance-no-int-to-ptr)
}

void* virt_ptr(uint32_t address)
{
    return reinterpret_cast<void*>(address);  // NOLINT(performance-no-int-to-ptr)
}
