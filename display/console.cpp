// The VGA colour text console. Every character goes straight into the text
// buffer; nothing is buffered, so output from interleaved tasks interleaves.
#include "display/console.h"

#include "lib/physmem.h"
#include "lib/port.h"
#include "lib/string.h"

namespace {

constexpr uint32_t SCREEN_CELLS = CONSOLE_COLUMNS * CONSOLE_ROWS;  // 2000
constexpr uint32_t BYTES_PER_CELL = 2;                             // character, then attribute
constexpr uint32_t ROW_BYTES = CONSOLE_COLUMNS * BYTES_PER_CELL;   // 160
constexpr uint32_t LAST_ROW = CONSOLE_ROWS - 1;                    // 24
constexpr uint8_t MAX_COLOR = 15;                                  // the 16-colour text palette
constexpr uint8_t DEFAULT_ATTRIBUTE = 0x1E;                        // yellow on blue

// CRT controller: index register, data register, and the two cursor-location
// registers (high and low byte of the linear cell position).
constexpr uint16_t CRTC_INDEX = 0x3D4;
constexpr uint16_t CRTC_DATA = 0x3D5;
constexpr uint8_t CRTC_CURSOR_HIGH = 14;
constexpr uint8_t CRTC_CURSOR_LOW = 15;

constexpr uint8_t CHAR_BACKSPACE = 8;
constexpr uint8_t CHAR_NEWLINE = 10;
constexpr uint8_t CHAR_FIRST_PRINTABLE = 32;

struct ConsoleState {
    uint32_t text_buffer;  // physical address of the text buffer
    uint32_t cursor_x;     // 0..80; 80 means the row is full and the wrap is pending
    uint32_t cursor_y;     // 0..25; 25 only until the next scroll
    uint8_t attribute;     // bg_color * 16 + fg_color
    uint8_t fg_color;
    uint8_t bg_color;
};

// Black on black until console_init, which is the first thing start-up does.
ConsoleState console = {CONSOLE_TEXT_BUFFER, 0, 0, 0, 0, 0};

uint8_t* text_buffer()
{
    return phys_as<uint8_t>(console.text_buffer);
}

// A cell on row 25 (the cursor put there by con_set_cursor, or the cell a
// backspace from (0, 25) blanks) lies past the 4000 bytes of the screen:
// nothing is written there, so only the visible page of video memory is ever
// touched.
void write_cell(uint32_t position, uint8_t ch)
{
    if (position >= SCREEN_CELLS) {
        return;
    }
    uint8_t* cell = text_buffer() + position * BYTES_PER_CELL;
    cell[0] = ch;
    cell[1] = console.attribute;
}

void update_attribute()
{
    console.attribute = static_cast<uint8_t>(console.bg_color * 16 + console.fg_color);
}

// Applies a pending wrap before a character is placed: a full row continues
// on the next one, and a full last row scrolls the screen.
void wrap_if_full()
{
    if (console.cursor_x < CONSOLE_COLUMNS) {
        return;
    }
    if (console.cursor_y >= LAST_ROW) {
        con_scroll();
    } else {
        console.cursor_x = 0;
        ++console.cursor_y;
    }
}

// From column 0 the cursor goes back to the line-full state of the row
// above, so the blanked cell is the one it stood on.
void backspace()
{
    uint32_t x = console.cursor_x;
    uint32_t y = console.cursor_y;
    if (x > 0) {
        if (!(x - 1 > CONSOLE_COLUMNS || y > CONSOLE_ROWS)) {
            console.cursor_x = x - 1;
        }
    } else if (y > 0) {
        if (!(y - 1 > CONSOLE_ROWS)) {
            console.cursor_y = y - 1;
            console.cursor_x = CONSOLE_COLUMNS;
        }
    }
    write_cell(console.cursor_y * CONSOLE_COLUMNS + console.cursor_x, ' ');
}

void newline()
{
    if (console.cursor_y + 1 <= CONSOLE_ROWS) {
        console.cursor_x = 0;
        ++console.cursor_y;
    }
    if (console.cursor_y >= CONSOLE_ROWS) {
        con_scroll();
    }
}

void put_printable(uint8_t ch)
{
    wrap_if_full();
    write_cell(console.cursor_y * CONSOLE_COLUMNS + console.cursor_x, ch);
    ++console.cursor_x;
}

}  // namespace

void console_init()
{
    console.fg_color = COLOR_YELLOW;
    console.bg_color = COLOR_BLUE;
    console.attribute = DEFAULT_ATTRIBUTE;
    con_clear();
}

void con_putc(uint8_t ch)
{
    if (ch == CHAR_BACKSPACE) {
        backspace();
    } else if (ch == CHAR_NEWLINE) {
        newline();
    } else if (ch >= CHAR_FIRST_PRINTABLE) {
        put_printable(ch);
    }
    // Other control codes (tab, carriage return, NUL...) print nothing.
    con_set_hw_cursor(console.cursor_x, console.cursor_y);
}

void con_puts(const char* s)
{
    if (s == nullptr) {
        return;
    }
    // The length is taken again after every character, as the string may be
    // changed by another task while it is being printed.
    for (uint32_t i = 0; i < str_len(s); ++i) {
        con_putc(static_cast<uint8_t>(s[i]));
    }
}

void con_clear()
{
    console.cursor_x = 0;
    console.cursor_y = 0;
    // 2000 cells fill the screen exactly, so the wrap never reaches a scroll.
    for (uint32_t i = 0; i < SCREEN_CELLS; ++i) {
        put_printable(' ');
        con_set_hw_cursor(console.cursor_x, console.cursor_y);
    }
    console.cursor_x = 0;
    console.cursor_y = 0;
}

void con_scroll()
{
    uint8_t* buffer = text_buffer();
    // Ascending copy: the destination lies below the source.
    mem_copy(buffer, buffer + ROW_BYTES, LAST_ROW * ROW_BYTES);
    for (uint32_t x = 0; x < CONSOLE_COLUMNS; ++x) {
        write_cell(LAST_ROW * CONSOLE_COLUMNS + x, ' ');
    }
    console.cursor_x = 0;
    console.cursor_y = LAST_ROW;
}

void con_set_cursor(uint32_t x, uint32_t y)
{
    if (x > CONSOLE_COLUMNS || y > CONSOLE_ROWS) {
        return;
    }
    console.cursor_x = x;
    console.cursor_y = y;
}

uint32_t con_get_x()
{
    return console.cursor_x;
}

uint32_t con_get_y()
{
    return console.cursor_y;
}

void con_set_hw_cursor(uint32_t x, uint32_t y)
{
    uint32_t position = y * CONSOLE_COLUMNS + x;
    port_out8(CRTC_INDEX, CRTC_CURSOR_HIGH);
    port_out8(CRTC_DATA, static_cast<uint8_t>(position >> 8));
    port_out8(CRTC_INDEX, CRTC_CURSOR_LOW);
    port_out8(CRTC_DATA, static_cast<uint8_t>(position));
}

void con_set_colors(uint8_t fg, uint8_t bg)
{
    if (fg > MAX_COLOR || bg > MAX_COLOR) {
        return;
    }
    console.fg_color = fg;
    console.bg_color = bg;
    update_attribute();
}

void con_set_color(uint8_t fg)
{
    if (fg > MAX_COLOR || console.bg_color > MAX_COLOR) {
        return;
    }
    console.fg_color = fg;
    update_attribute();
}

void con_set_bg_color(uint8_t bg)
{
    if (console.fg_color > MAX_COLOR || bg > MAX_COLOR) {
        return;
    }
    console.bg_color = bg;
    update_attribute();
}

uint8_t con_get_color()
{
    return console.fg_color;
}

uint8_t con_get_bg_color()
{
    return console.bg_color;
}
