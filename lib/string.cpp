// Byte-string, memory and character routines. All of them work a byte at a
// time, keep no state and take no locks, so any task may call them.
#include "lib/string.h"

namespace {

constexpr uint8_t CASE_OFFSET = 'a' - 'A';  // 32 in ASCII

bool is_upper(uint8_t c)
{
    return c >= 'A' && c <= 'Z';
}

bool is_lower(uint8_t c)
{
    return c >= 'a' && c <= 'z';
}

bool is_digit(uint8_t c)
{
    return c >= '0' && c <= '9';
}

// The two case-insensitive comparisons fold only A..Z, to lower case.
uint8_t fold(char c)
{
    return char_to_lower(static_cast<uint8_t>(c));
}

}  // namespace

uint32_t str_len(const char* s)
{
    uint32_t n = 0;
    while (s[n] != '\0') {
        ++n;
    }
    return n;
}

char* str_copy(char* dst, const char* src)
{
    uint32_t i = 0;
    do {
        dst[i] = src[i];
    } while (src[i++] != '\0');
    return dst;
}

int32_t str_compare(const char* a, const char* b)
{
    for (uint32_t i = 0;; ++i) {
        auto x = static_cast<uint8_t>(a[i]);
        auto y = static_cast<uint8_t>(b[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
        if (x == 0) {
            return 0;
        }
    }
}

// Ascending, so a move towards lower addresses may overlap its source.
void* mem_copy(void* dst, const void* src, uint32_t n)
{
    auto* d = static_cast<uint8_t*>(dst);
    const auto* s = static_cast<const uint8_t*>(src);
    for (uint32_t i = 0; i < n; ++i) {
        d[i] = s[i];
    }
    return dst;
}

void* mem_set(void* dst, uint8_t value, uint32_t n)
{
    auto* d = static_cast<uint8_t*>(dst);
    for (uint32_t i = n; i > 0; --i) {
        d[i - 1] = value;
    }
    return dst;
}

char* str_find_char(const char* s, int32_t c)
{
    for (uint32_t i = 0;; ++i) {
        if (static_cast<int8_t>(s[i]) == c) {
            return const_cast<char*>(s + i);
        }
        if (s[i] == '\0') {
            return nullptr;
        }
    }
}

int32_t str_index_of(uint8_t c, const char* s, uint32_t start)
{
    uint32_t length = str_len(s);
    for (uint32_t i = start; i < length; ++i) {
        if (static_cast<uint8_t>(s[i]) == c) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

// Copies s[from..to] inclusive. A negative start would read before the
// string, so it is refused like a reversed range.
int32_t str_substring(const char* s, char* dst, int32_t from, int32_t to)
{
    if (from > to || from < 0) {
        return -1;
    }
    if (static_cast<uint32_t>(to) > str_len(s)) {
        return -2;
    }
    for (int32_t i = from; i <= to; ++i) {
        dst[i - from] = s[i];
    }
    return 0;
}

// The source length is taken again after every byte: a dst that overlaps
// src may move src's terminator. src and dst may be the same string.
void str_to_upper(const char* src, char* dst)
{
    for (uint32_t i = 0; i < str_len(src); ++i) {
        dst[i] = static_cast<char>(char_to_upper(static_cast<uint8_t>(src[i])));
    }
}

void str_to_lower(const char* src, char* dst)
{
    for (uint32_t i = 0; i < str_len(src); ++i) {
        dst[i] = static_cast<char>(char_to_lower(static_cast<uint8_t>(src[i])));
    }
}

uint8_t char_to_upper(uint8_t c)
{
    return is_lower(c) ? static_cast<uint8_t>(c - CASE_OFFSET) : c;
}

uint8_t char_to_lower(uint8_t c)
{
    return is_upper(c) ? static_cast<uint8_t>(c + CASE_OFFSET) : c;
}

bool char_is_ascii(int32_t c)
{
    return c <= 127;
}

bool str_starts_with_nocase(const char* s, const char* prefix)
{
    uint32_t n = str_len(prefix);
    // A shorter s differs at its terminator, so it is never read past.
    for (uint32_t i = 0; i < n; ++i) {
        if (fold(s[i]) != fold(prefix[i])) {
            return false;
        }
    }
    return true;
}

bool str_ends_with_nocase(const char* s, const char* suffix)
{
    uint32_t s_length = str_len(s);
    uint32_t n = str_len(suffix);
    if (n > s_length) {
        return false;
    }
    for (uint32_t i = n; i > 0; --i) {
        if (fold(s[s_length - n + i - 1]) != fold(suffix[i - 1])) {
            return false;
        }
    }
    return true;
}

// Every position after the sign carries a decimal weight, digit or not:
// "12a" is 120 and "a12" is 12. The arithmetic wraps modulo 2^32 (done
// unsigned, where wrapping is defined); the place value divides as a
// signed number.
int32_t str_to_int(const char* s)
{
    uint32_t length = str_len(s);
    bool negative = s[0] == '-';
    uint32_t start = negative ? 1 : 0;
    int32_t exponent = static_cast<int32_t>(length) - 1 - static_cast<int32_t>(start);
    int32_t place = 1;
    for (int32_t k = 0; k < exponent; ++k) {
        place = static_cast<int32_t>(static_cast<uint32_t>(place) * 10u);
    }
    uint32_t total = 0;
    for (uint32_t i = start; i < length; ++i) {
        auto c = static_cast<uint8_t>(s[i]);
        if (is_digit(c)) {
            total += static_cast<uint32_t>(c - '0') * static_cast<uint32_t>(place);
        }
        place /= 10;
    }
    return static_cast<int32_t>(negative ? 0u - total : total);
}

// -2147483648 has no positive counterpart and comes back unchanged.
int32_t int_abs(int32_t x)
{
    if (x >= 0) {
        return x;
    }
    return static_cast<int32_t>(0u - static_cast<uint32_t>(x));
}
