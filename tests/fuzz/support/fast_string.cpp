// mem_copy and mem_set of lib/string.h for the fuzz targets, in place of
// the kernel's byte loops, which the fuzz build weakens (tests/fuzz/fuzz.mk):
// under AddressSanitizer a byte loop checks every byte on its own and took
// most of every run (lookups copy each directory entry, the console copies
// 3840 bytes per scroll). The host's memmove and memset check the whole
// range at once, as strictly. The result is the kernel's: an ascending copy,
// which memmove gives too unless the destination overlaps the source from
// above, where the byte loop is kept.
#include <cstring>

#include "lib/string.h"

void* mem_copy(void* dst, const void* src, uint32_t n)
{
    auto* d = static_cast<uint8_t*>(dst);
    const auto* s = static_cast<const uint8_t*>(src);
    if (d > s && d < s + n) {
        for (uint32_t i = 0; i < n; ++i) {
            d[i] = s[i];
        }
        return dst;
    }
    return std::memmove(dst, src, n);
}

void* mem_set(void* dst, uint8_t value, uint32_t n)
{
    return std::memset(dst, value, n);
}
