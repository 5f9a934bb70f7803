// The kernel heap: 50 pages at 0xD0000000, described by a separate table of
// block records.
#pragma once

#include <stdint.h>

constexpr uint32_t HEAP_START = 0xD0000000;
constexpr uint32_t HEAP_PAGES = 50;

bool heap_init();
void* heap_alloc(uint32_t size);
void heap_free(void* pointer);
