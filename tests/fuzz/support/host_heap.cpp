// mm/heap.h on the host's allocator, for the fuzz targets: every block is a
// block of its own to AddressSanitizer, so a read or write past the bytes a
// kernel routine asked for is reported where it happens, instead of landing
// in the next block of the arena-backed kernel heap. The kernel heap's
// contract is kept: no block of 0 bytes, none larger than the heap, at most
// HEAP_SIZE bytes handed out at once, and a release of a pointer that is
// not a block in use changes nothing.
#include "mm/heap.h"

#include <cstdlib>
#include <unordered_map>

#include "support/host_heap.h"

namespace {

std::unordered_map<void*, uint32_t>& blocks()
{
    static std::unordered_map<void*, uint32_t> live;
    return live;
}

uint32_t used_bytes = 0;

}  // namespace

bool heap_init()
{
    return true;
}

void* heap_alloc(uint32_t size)
{
    if (size == 0 || size > HEAP_SIZE || used_bytes + size > HEAP_SIZE) {
        return nullptr;
    }
    void* block = std::malloc(size);
    if (block == nullptr) {
        return nullptr;
    }
    blocks().emplace(block, size);
    used_bytes += size;
    return block;
}

void heap_free(void* pointer)
{
    const auto found = blocks().find(pointer);
    if (found == blocks().end()) {
        return;
    }
    used_bytes -= found->second;
    blocks().erase(found);
    std::free(pointer);
}

namespace fuzz::heap {

uint32_t blocks_in_use()
{
    return static_cast<uint32_t>(blocks().size());
}

uint32_t bytes_in_use()
{
    return used_bytes;
}

}  // namespace fuzz::heap
