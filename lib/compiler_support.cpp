// The four memory routines a freestanding GCC may emit calls to on its own
// (structure copies, zeroing of local arrays). Kernel code calls mem_copy and
// mem_set of lib/string.h; these exist only for the compiler.
#include <stddef.h>
#include <stdint.h>

extern "C" {

void* memcpy(void* dst, const void* src, size_t n)
{
    auto* d = static_cast<uint8_t*>(dst);
    const auto* s = static_cast<const uint8_t*>(src);
    for (size_t i = 0; i < n; ++i) {
        d[i] = s[i];
    }
    return dst;
}

void* memmove(void* dst, const void* src, size_t n)
{
    auto* d = static_cast<uint8_t*>(dst);
    const auto* s = static_cast<const uint8_t*>(src);
    if (d < s) {
        for (size_t i = 0; i < n; ++i) {
            d[i] = s[i];
        }
    } else {
        for (size_t i = n; i > 0; --i) {
            d[i - 1] = s[i - 1];
        }
    }
    return dst;
}

void* memset(void* dst, int value, size_t n)
{
    auto* d = static_cast<uint8_t*>(dst);
    for (size_t i = 0; i < n; ++i) {
        d[i] = static_cast<uint8_t>(value);
    }
    return dst;
}

int memcmp(const void* a, const void* b, size_t n)
{
    const auto* x = static_cast<const uint8_t*>(a);
    const auto* y = static_cast<const uint8_t*>(b);
    for (size_t i = 0; i < n; ++i) {
        if (x[i] != y[i]) {
            return x[i] < y[i] ? -1 : 1;
        }
    }
    return 0;
}
}
