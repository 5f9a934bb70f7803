// BMP files for the renderer's tests, byte by byte as the format stores them.
#pragma once

#include <cstdint>
#include <string>

namespace bitmap {

struct Spec {
    uint32_t width;
    uint32_t height;  // as stored: a top-down picture's is negative
    uint32_t rows;    // pixel rows actually written
    uint16_t bits_per_pixel = 8;
    const char* signature = "BM";
};

// Colour table entry i: blue i, green i, red 128; entries 5 and 200 black.
constexpr bool is_black(uint32_t i)
{
    return i == 5 || i == 200;
}

// The colour index of column c in stored row r (0 = the bottom row).
constexpr uint8_t pixel(uint32_t c, uint32_t r)
{
    return static_cast<uint8_t>(c * 3 + r * 7 + 1);
}

constexpr uint8_t ROW_PADDING = 0xEE;  // never drawn

inline void put32(std::string& s, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        s[at + i] = static_cast<char>(v >> (8 * i));
    }
}

// Header, 256-entry colour table, then the rows padded to 4 bytes.
inline std::string make(const Spec& spec)
{
    const uint32_t stride = (spec.width + 3) & ~3u;
    const uint32_t data = 54 + 1024;
    std::string s(data, '\0');
    s[0] = spec.signature[0];
    s[1] = spec.signature[1];
    put32(s, 10, data);
    put32(s, 14, 40);
    put32(s, 18, spec.width);
    put32(s, 22, spec.height);
    s[26] = 1;
    s[28] = static_cast<char>(spec.bits_per_pixel);
    for (uint32_t i = 0; i < 256; ++i) {
        const uint8_t blue_green = is_black(i) ? 0 : static_cast<uint8_t>(i);
        s[54 + i * 4] = static_cast<char>(blue_green);
        s[54 + i * 4 + 1] = static_cast<char>(blue_green);
        s[54 + i * 4 + 2] = static_cast<char>(is_black(i) ? 0 : 128);
    }
    for (uint32_t r = 0; r < spec.rows; ++r) {
        for (uint32_t c = 0; c < stride; ++c) {
            s += static_cast<char>(c < spec.width ? pixel(c, r) : ROW_PADDING);
        }
    }
    put32(s, 2, static_cast<uint32_t>(s.size()));
    return s;
}

}  // namespace bitmap
