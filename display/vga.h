// VGA mode switching between the 80 x 25 text mode and the 320 x 200 mode
// with 256 colours, programmed register by register without the firmware;
// the DAC palette; and the two pixel primitives the bitmap renderer draws
// with.
#pragma once

#include <stdint.h>

enum VgaMode : uint32_t {
    VGA_MODE_TEXT = 0,      // 80 x 25 colour text
    VGA_MODE_GRAPHICS = 1,  // 320 x 200, one byte per pixel, linear at 0xA0000
};

constexpr uint32_t VGA_GRAPHICS_WINDOW = 0xA0000;
constexpr int32_t VGA_GRAPHICS_WIDTH = 320;
constexpr int32_t VGA_GRAPHICS_HEIGHT = 200;

constexpr uint32_t VGA_PALETTE_ENTRIES = 256;
constexpr uint32_t VGA_PALETTE_BYTES = VGA_PALETTE_ENTRIES * 3;  // red, green, blue

// A register set: the Miscellaneous Output value, then Sequencer 0-4, CRT
// controller 0-24, Graphics Controller 0-8 and Attribute Controller 0-20.
constexpr uint32_t VGA_REGISTER_SET_SIZE = 61;

// Around a visit to graphics mode the text screen's 64 KiB of video memory
// and its palette are kept in 18 frames mapped here (17 + 1 pages).
constexpr uint32_t VGA_VIDEO_SAVE_BUFFER = 0xF0020000;
constexpr uint32_t VGA_VIDEO_SAVE_PAGES = 17;
constexpr uint32_t VGA_VIDEO_SAVE_BYTES = 65536;
constexpr uint32_t VGA_PALETTE_SAVE_BUFFER = 0xF0031000;
constexpr uint32_t VGA_PALETTE_SAVE_PAGES = 1;

// Maps both save buffers; called once, at start-up. When either cannot be
// had, neither is kept, and graphics mode is never entered: vga_set_mode(1, 0)
// then only sets the graphics dimensions, like dims_only, and the adapter
// stays in text mode.
bool vga_init_buffers();

// Mode 0 or 1. With dims_only set, mode 1 only makes vga_width/vga_height
// report 320 x 200 and mode 0 does nothing. Any other mode prints
// "[KVALDBG] : VGA Internal Error". Returns at once when the adapter is in
// `mode` already; otherwise interrupts are on afterwards.
void vga_set_mode(uint32_t mode, uint8_t dims_only);

// Writes a 61-byte register set, unlocking CRT registers 0-7 on the way. The
// set itself is not changed: the unlock bits are applied to the values as
// they are written.
void vga_write_registers(const uint8_t* set);

// DAC transfers from entry 0, three 6-bit components per entry (red, green,
// blue); at most 256 entries. A null pointer does nothing.
void vga_read_palette(uint8_t* buffer, uint32_t count);
void vga_load_palette(const uint8_t* entries, uint32_t count);
// 4-byte entries blue, green, red, reserved with 8-bit components; each goes
// to the DAC divided by 4 and is kept in the palette shadow.
void vga_load_palette_bgrx(const uint8_t* entries, uint32_t count);

// The first palette-shadow entry equal to `color` (0x00RRGGBB) at the DAC's
// 6-bit precision, or `fallback` when none is.
uint8_t vga_find_color(uint32_t color, uint8_t fallback);

// Pixel (x, y) of the graphics window; x = width is the first pixel of the
// next row. Negative coordinates and points beyond the screen are skipped.
void vga_put_pixel(uint8_t color, int32_t x, int32_t y);
// `count` consecutive pixels from (x, y), running on across row ends; the
// whole run must lie on the screen, or nothing is written.
void vga_fill(uint8_t color, int32_t count, int32_t x, int32_t y);

int32_t vga_width();
int32_t vga_height();
uint32_t vga_current_mode();
// The last palette loaded with vga_load_palette_bgrx, 6-bit red, green, blue.
const uint8_t* vga_palette_shadow();
// The palette of the graphics mode, 8-bit red, green, blue.
const uint8_t* vga_default_palette();
