// The kernel's spine: from the loader's hand-over to the idle loop.
#pragma once

#include <stdint.h>

// The loader's hand-over block. The kernel reads only these two words.
struct [[gnu::packed]] BootInfo {
    uint32_t loader_word0;
    uint32_t memory_kb;  // installed RAM in KiB
    uint32_t loader_words[5];
    uint32_t kernel_sectors;  // kernel footprint in 512-byte sectors, zeroed data included
};
static_assert(sizeof(BootInfo) == 32);
static_assert(__builtin_offsetof(BootInfo, memory_kb) == 4);
static_assert(__builtin_offsetof(BootInfo, kernel_sectors) == 28);

constexpr uint32_t MINIMUM_RAM_KB = 16384;

extern "C" [[noreturn]] void kernel_main(const BootInfo* boot_info);
void startup_phase1(uint32_t kernel_size, uint32_t memory_kb);
void startup_phase2();
void cpu_init();
void hardware_init();
bool drivers_init();
void welcome_screen();
