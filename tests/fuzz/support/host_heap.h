// What the fuzz targets' host heap (host_heap.cpp) has handed out and not
// had back: a kernel routine that returns with more than it started with
// leaked a block of the 200 KiB kernel heap.
#pragma once

#include <cstdint>

namespace fuzz::heap {

uint32_t blocks_in_use();
uint32_t bytes_in_use();

}  // namespace fuzz::heap
