// The bitmap renderer: an uncompressed 8-bit BMP file from the floppy, drawn
// in the 320 x 200 graphics mode with its own palette.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum BmpResult : int32_t {
    BMP_OK = 0,                // the picture is on the screen, in graphics mode
    BMP_ERR_UNREADABLE = -3,   // not found, a folder, or a cluster read failed
    BMP_ERR_NO_MEMORY = -6,    // no buffer from the heap, or no save buffers for graphics mode
    BMP_ERR_POSITION = -18,    // no path, an empty path, or a position off the screen
    BMP_ERR_NOT_BITMAP = -20,  // not an 8-bit bitmap that fits, or shorter than its header says
};

// The file header and the 40-byte information header, as stored.
struct [[gnu::packed]] BmpHeader {
    uint8_t signature[2];  // 'B', 'M'
    uint32_t file_size;
    uint32_t reserved;
    uint32_t data_offset;  // where the pixel rows begin
    uint32_t info_size;
    uint32_t width;
    uint32_t height;  // a top-down picture stores it negative
    uint16_t planes;
    uint16_t bits_per_pixel;
    uint32_t compression;
    uint32_t image_size;
    uint32_t x_pixels_per_metre;
    uint32_t y_pixels_per_metre;
    uint32_t colors_used;
    uint32_t colors_important;
};
static_assert(sizeof(BmpHeader) == 54);
static_assert(offsetof(BmpHeader, data_offset) == 10);
static_assert(offsetof(BmpHeader, width) == 18);
static_assert(offsetof(BmpHeader, height) == 22);
static_assert(offsetof(BmpHeader, bits_per_pixel) == 28);
static_assert(offsetof(BmpHeader, compression) == 30);
static_assert(offsetof(BmpHeader, colors_important) == 50);

constexpr uint32_t BMP_COLOR_TABLE_OFFSET = 54;
constexpr uint32_t BMP_COLOR_TABLE_BYTES = 256 * 4;  // blue, green, red, reserved

// Draws `path` (lower-cased in place) with its top-left corner at (x, y) on
// a screen painted in `background` (0x00RRGGBB, matched in the picture's
// palette, else index 0), in graphics mode `mode` (1). On success the adapter
// is left in graphics mode; on any failure it is still in text mode.
int32_t bmp_render(char* path, int32_t x, int32_t y, uint32_t background, uint32_t mode);
