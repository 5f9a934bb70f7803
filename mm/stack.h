// The kernel stack: two pages at 0xC0100000, top 0xC01013F4.
#pragma once

#include <stdint.h>

constexpr uint32_t KERNEL_STACK_BASE = 0xC0100014;
constexpr uint32_t KERNEL_STACK_PAGES = 2;
constexpr uint32_t KERNEL_STACK_TOP = 0xC01013F4;

bool stack_init(uint32_t base, uint32_t pages);
