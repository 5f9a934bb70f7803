// The 80 x 25 VGA colour text console: one logical cursor, one colour
// attribute, scrolling by one row, and the hardware cursor kept at the
// logical cursor.
#pragma once

#include <stdint.h>

enum Color : uint8_t {
    COLOR_BLACK = 0,
    COLOR_BLUE = 1,
    COLOR_GREEN = 2,
    COLOR_CYAN = 3,
    COLOR_RED = 4,
    COLOR_MAGENTA = 5,
    COLOR_BROWN = 6,
    COLOR_LIGHT_GREY = 7,
    COLOR_DARK_GREY = 8,
    COLOR_LIGHT_BLUE = 9,
    COLOR_LIGHT_GREEN = 10,
    COLOR_LIGHT_CYAN = 11,
    COLOR_LIGHT_RED = 12,
    COLOR_LIGHT_MAGENTA = 13,
    COLOR_YELLOW = 14,
    COLOR_WHITE = 15,
};

constexpr uint32_t CONSOLE_COLUMNS = 80;
constexpr uint32_t CONSOLE_ROWS = 25;
constexpr uint32_t CONSOLE_TEXT_BUFFER = 0xB8000;  // VGA colour text memory

void console_init();
void con_putc(uint8_t ch);
void con_puts(const char* s);
void con_clear();
void con_scroll();
void con_set_cursor(uint32_t x, uint32_t y);
uint32_t con_get_x();
uint32_t con_get_y();
void con_set_hw_cursor(uint32_t x, uint32_t y);
void con_set_colors(uint8_t fg, uint8_t bg);
void con_set_color(uint8_t fg);
void con_set_bg_color(uint8_t bg);
uint8_t con_get_color();
uint8_t con_get_bg_color();
