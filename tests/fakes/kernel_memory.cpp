// init_kernel_memory of tests/fakes/fake_floppy.h, in a file of its own so
// that a program without the fake controller (the fuzz targets) can link it.
#include <cstring>
#include <stdexcept>

#include "drivers/dma.h"
#include "fakes/fake_floppy.h"
#include "mm/heap.h"
#include "mm/pmm.h"
#include "mm/vmm.h"

namespace fake::floppy {

void init_kernel_memory(uint32_t memory_kb)
{
    const MemoryRange usable{0, uint64_t{memory_kb} * 1024, MEMORY_RANGE_USABLE, 0};
    const MemoryRange end{};
    std::memcpy(phys(MEMORY_MAP_ADDRESS), &usable, sizeof(usable));
    std::memcpy(phys(MEMORY_MAP_ADDRESS + sizeof(usable)), &end, sizeof(end));
    constexpr uint32_t KERNEL_BASE = 0x100000;
    constexpr uint32_t KERNEL_SIZE = 0x40000;
    pmm_init(memory_kb, KERNEL_SIZE, KERNEL_BASE);
    dma_buffer_alloc();
    if (!vmm_init() || !heap_init()) {
        throw std::runtime_error("kernel memory did not come up");
    }
}

}  // namespace fake::floppy
