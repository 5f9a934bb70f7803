// The kernel stack: two pages at 0xC0100000, top 0xC01013F4.
#pragma once

#include <stdint.h>

#include "mm/pmm.h"

// Neither address is a page boundary, and neither needs to be: the pages
// mapped are the whole pages that hold the region from the base, and the
// system process records the same base as its stack. The top is where the
// loader's active frames are copied to: the 3072 bytes above it, up to
// 0xC0101FF4, must fit inside the two pages, which leaves 12 bytes to spare
// below their end at 0xC0102000.
constexpr uint32_t KERNEL_STACK_BASE = 0xC0100014;
constexpr uint32_t KERNEL_STACK_PAGES = 2;
constexpr uint32_t KERNEL_STACK_TOP = 0xC01013F4;
// The active call frames carried over from the loader's stack.
constexpr uint32_t KERNEL_STACK_COPY_BYTES = 3072;
static_assert(KERNEL_STACK_TOP + KERNEL_STACK_COPY_BYTES + 12 ==
              (KERNEL_STACK_BASE & ~PAGE_OFFSET_MASK) + KERNEL_STACK_PAGES * PAGE_SIZE);

// Maps `pages` fresh frames from the page holding `base` and copies the
// 3072 bytes above the current stack pointer to KERNEL_STACK_TOP. Leaves
// interrupts disabled. False, with nothing mapped, when base or pages is 0,
// when the pages do not hold the copy at KERNEL_STACK_TOP, or when frames
// or mappings cannot be had.
bool stack_init(uint32_t base, uint32_t pages);
