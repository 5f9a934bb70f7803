// The global descriptor table: null, flat ring-0 code (0x08) and data (0x10),
// and the start-up and double-fault task-state segments (0x18, 0x20).
#pragma once

#include <stdint.h>

constexpr uint16_t KERNEL_CODE_SELECTOR = 0x08;
constexpr uint16_t KERNEL_DATA_SELECTOR = 0x10;

void gdt_init();
void gdt_set_entry(int32_t index, uint32_t base, uint32_t limit, uint8_t access, uint8_t flags);
