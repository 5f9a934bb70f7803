// Reading the VGA text screen (physical 0xB8000 in the fake arena) and the
// hardware cursor (the CRT controller writes on the fake port bus) in tests.
#pragma once

#include <cstdint>
#include <string>

#include "fakes/fake_hw.h"

namespace screen {

constexpr uint32_t TEXT_BUFFER = 0xB8000;
constexpr uint32_t COLUMNS = 80;
constexpr uint32_t ROWS = 25;

// Character code and attribute byte of cell (x, y).
inline char char_at(uint32_t x, uint32_t y)
{
    return static_cast<char>(fake::phys(TEXT_BUFFER + (y * COLUMNS + x) * 2)[0]);
}
inline uint8_t attr_at(uint32_t x, uint32_t y)
{
    return fake::phys(TEXT_BUFFER + (y * COLUMNS + x) * 2)[1];
}

// The 80 characters of row y, exactly as stored (blanks and zero bytes kept).
inline std::string row(uint32_t y)
{
    std::string out;
    for (uint32_t x = 0; x < COLUMNS; ++x) {
        out += char_at(x, y);
    }
    return out;
}

// Row y without its trailing blanks and zero bytes: what a reader sees.
inline std::string line(uint32_t y)
{
    std::string out = row(y);
    size_t end = out.find_last_not_of(std::string(" \0", 2));
    return end == std::string::npos ? std::string() : out.substr(0, end + 1);
}

// True when every cell of row y holds `ch` in attribute `attribute`.
inline bool row_is(uint32_t y, char ch, uint8_t attribute)
{
    for (uint32_t x = 0; x < COLUMNS; ++x) {
        if (char_at(x, y) != ch || attr_at(x, y) != attribute) {
            return false;
        }
    }
    return true;
}

// All 25 lines (trailing blanks removed), each followed by '\n'.
inline std::string text()
{
    std::string out;
    for (uint32_t y = 0; y < ROWS; ++y) {
        out += line(y) + '\n';
    }
    return out;
}

// The linear cell position last programmed into the hardware cursor (CRT
// registers 14 and 15 through ports 0x3D4/0x3D5), or -1 if never programmed.
inline int32_t hw_cursor()
{
    int32_t high = -1;
    int32_t low = -1;
    uint32_t index = 0;
    for (const auto& w : fake::port_writes) {
        if (w.port == 0x3D4) {
            index = w.value;
        } else if (w.port == 0x3D5 && index == 14) {
            high = static_cast<int32_t>(w.value);
        } else if (w.port == 0x3D5 && index == 15) {
            low = static_cast<int32_t>(w.value);
        }
    }
    return high < 0 || low < 0 ? -1 : high * 256 + low;
}

}  // namespace screen
