// What runs between the loader's jump and main(): constructors of global
// objects, main, and the exit call. Also the four memory routines that the
// compiler may call on its own for copies and fills, which a freestanding
// program has to bring.
#include <stddef.h>
#include <stdint.h>

#include "kval.h"

extern "C" {

using Constructor = void (*)();
extern Constructor __init_array_start[];
extern Constructor __init_array_end[];

// The loader has already zeroed everything past the file; app.ld keeps
// .bss inside the file, so zero-initialised objects start zeroed either way.
[[noreturn]] __attribute__((section(".text.kval_start"), used)) void kval_start()
{
    for (Constructor* c = __init_array_start; c != __init_array_end; ++c) {
        (*c)();
    }
    main();
    kval::exit();
}

void* memcpy(void* to, const void* from, size_t n)
{
    auto* d = static_cast<uint8_t*>(to);
    const auto* s = static_cast<const uint8_t*>(from);
    while (n-- != 0) {
        *d++ = *s++;
    }
    return to;
}

void* memmove(void* to, const void* from, size_t n)
{
    auto* d = static_cast<uint8_t*>(to);
    const auto* s = static_cast<const uint8_t*>(from);
    if (d < s) {
        return memcpy(to, from, n);
    }
    while (n-- != 0) {
        d[n] = s[n];
    }
    return to;
}

void* memset(void* to, int value, size_t n)
{
    auto* d = static_cast<uint8_t*>(to);
    while (n-- != 0) {
        *d++ = static_cast<uint8_t>(value);
    }
    return to;
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

}  // extern "C"
