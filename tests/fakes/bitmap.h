// BMP files for the renderer's tests, byte by byte as the format stores them.
#pragma once

#include <cstdint>
#include <string>

namespace bitmap {

struct Layout {
    uint32_t width;
    uint32_t height;  // as stored: a top-down picture's is negative
    uint32_t rows;    // pixel rows actually written
    uint16_t bits_per_pixel = 8;
    const char* signature = "BM";
};

// Colour table entry i: blue i, green i, red 128; only entries 5 and 200 are black.
constexpr bool is_black(uint32_t i)
{
    return i == 5 || i == 200;
}

// The colour index of column c in stored row r (0 = the bottom row).
constexpr uint8_t pixel(uint32_t c, uint32_t r)
{
    return static_cast<uint8_t>(c * 3 + r * 7 + 1);
}

// Header, 256-entry colour table, then the rows, padded to 4 bytes with 0xEE.
inline std::string make(const Layout& picture)
{
    std::string s(54 + 1024, '\0');
    auto put32 = [&s](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            s[at + i] = static_cast<char>(v >> (8 * i));
        }
    };
    s[0] = picture.signature[0];
    s[1] = picture.signature[1];
    put32(10, 54 + 1024);
    put32(14, 40);
    put32(18, picture.width);
    put32(22, picture.height);
    s[26] = 1;
    s[28] = static_cast<char>(picture.bits_per_pixel);
    for (uint32_t i = 0; i < 256; ++i) {
        s.replace(54 + i * 4, 3, is_black(i) ? std::string(3, '\0') : std::string{char(i), char(i), '\x80'});
    }
    for (uint32_t r = 0; r < picture.rows; ++r) {
        for (uint32_t c = 0; c < ((picture.width + 3) & ~3u); ++c) {
            s += static_cast<char>(c < picture.width ? pixel(c, r) : 0xEE);
        }
    }
    put32(2, static_cast<uint32_t>(s.size()));
    return s;
}

}  // namespace bitmap
