// The bitmap renderer. The whole file is read into the heap and checked
// before the adapter leaves text mode, so a refused file never changes the
// screen, and the picture is drawn in one pass.
#include "display/bmp.h"

#include "display/vga.h"
#include "drivers/floppy.h"
#include "fs/fat12.h"
#include "lib/string.h"
#include "mm/heap.h"

namespace {

constexpr uint32_t SECTOR_BUFFER_BYTES = SECTOR_SIZE + 1;
constexpr uint32_t FILE_BUFFER_PADDING = 10;  // zero bytes after the file's own
constexpr uint16_t BITS_PER_PIXEL = 8;
constexpr uint32_t ROW_ALIGNMENT = 4;  // every stored row is padded to a multiple of 4 bytes

struct Picture {
    uint8_t* data;    // the file's bytes, in a buffer of its size + 10
    uint32_t length;  // bytes of the file actually read
    BmpHeader header;
};

bool is_readable(const FileInfo& file)
{
    return file.status == FS_OK || file.status == FS_END_OF_CHAIN;
}

// x and y lie within the screen here, so the room beside and below the
// position is never negative; comparing with it keeps a huge width or a
// negative (top-down) height from wrapping round past the test.
bool header_acceptable(const BmpHeader& header, int32_t x, int32_t y)
{
    const auto room_x = static_cast<uint32_t>(vga_width() - x);
    const auto room_y = static_cast<uint32_t>(vga_height() - y);
    return header.signature[0] == 'B' && header.signature[1] == 'M' && header.width <= room_x &&
           header.height <= room_y && header.bits_per_pixel == BITS_PER_PIXEL;
}

uint32_t padded_row(const BmpHeader& header)
{
    return (header.width + ROW_ALIGNMENT - 1) & ~(ROW_ALIGNMENT - 1);
}

// The colour table and every pixel row must lie within the bytes read.
bool picture_complete(const Picture& picture)
{
    const BmpHeader& h = picture.header;
    if (picture.length < BMP_COLOR_TABLE_OFFSET + BMP_COLOR_TABLE_BYTES) {
        return false;
    }
    if (h.width == 0 || h.height == 0) {
        return true;
    }
    // At most 200 rows of 320 bytes: the product cannot overflow.
    return h.data_offset <= picture.length && h.height * padded_row(h) <= picture.length - h.data_offset;
}

// Reads the file cluster by cluster into a buffer of its size + 10 bytes,
// checking the header in the first cluster. Only the file's own bytes are
// stored: the tail of the last cluster, and any clusters a chain holds
// beyond the file's size, never reach the buffer.
int32_t read_picture(FileInfo file, int32_t x, int32_t y, Picture* picture)
{
    auto* sector = static_cast<uint8_t*>(heap_alloc(SECTOR_BUFFER_BYTES));
    if (sector == nullptr) {
        return BMP_ERR_NO_MEMORY;
    }
    floppy_motor(true);
    int32_t result = BMP_OK;
    // A chain that loops before the file is complete ends as a broken one.
    FatChainSeen seen{};
    while (file.end == 0) {
        mem_set(sector, 0, SECTOR_SIZE);
        file = fat_read_chain(file, sector, &seen);
        if (!is_readable(file)) {
            result = BMP_ERR_UNREADABLE;
            break;
        }
        if (picture->data == nullptr) {
            mem_copy(&picture->header, sector, sizeof(BmpHeader));
            if (!header_acceptable(picture->header, x, y)) {
                result = BMP_ERR_NOT_BITMAP;
                break;
            }
            // A size so large that the padding would wrap gets no buffer either.
            const bool fits = file.size <= UINT32_MAX - FILE_BUFFER_PADDING;
            const uint32_t bytes = file.size + FILE_BUFFER_PADDING;
            picture->data = fits ? static_cast<uint8_t*>(heap_alloc(bytes)) : nullptr;
            if (picture->data == nullptr) {
                result = BMP_ERR_NO_MEMORY;
                break;
            }
            mem_set(picture->data, 0, bytes);
        }
        const uint32_t left = file.size - picture->length;
        const uint32_t take = left < SECTOR_SIZE ? left : SECTOR_SIZE;
        mem_copy(picture->data + picture->length, sector, take);
        picture->length += take;
        if (picture->length == file.size) {
            break;  // the rest of the chain, if any, is not part of the file
        }
    }
    floppy_motor(false);
    heap_free(sector);
    if (result == BMP_OK && picture->data == nullptr) {
        result = BMP_ERR_UNREADABLE;  // the chain gave no cluster at all
    }
    if (result != BMP_OK) {
        heap_free(picture->data);
        picture->data = nullptr;
    }
    return result;
}

// Rows are stored bottom row first; file row r goes to screen row
// y + height - 1 - r.
void draw_picture(const Picture& picture, int32_t x, int32_t y, uint32_t background)
{
    const BmpHeader& h = picture.header;
    vga_load_palette_bgrx(picture.data + BMP_COLOR_TABLE_OFFSET, VGA_PALETTE_ENTRIES);
    vga_fill(vga_find_color(background, 0), vga_width() * vga_height(), 0, 0);
    const auto width = static_cast<int32_t>(h.width);
    // A picture without pixels has no rows: picture_complete vouches for
    // no data offset then, so no row address is formed from it.
    const auto height = width == 0 ? 0 : static_cast<int32_t>(h.height);
    for (int32_t r = 0; r < height; ++r) {
        const uint8_t* row = picture.data + h.data_offset + static_cast<uint32_t>(r) * padded_row(h);
        for (int32_t c = 0; c < width; ++c) {
            vga_put_pixel(row[c], x + c, y + height - 1 - r);
        }
    }
}

}  // namespace

int32_t bmp_render(char* path, int32_t x, int32_t y, uint32_t background, uint32_t mode)
{
    if (path == nullptr || path[0] == 0) {
        return BMP_ERR_POSITION;
    }
    // The graphics mode's dimensions, while the text screen stays.
    vga_set_mode(mode, 1);
    if (x < 0 || y < 0 || x > vga_width() || y > vga_height()) {
        return BMP_ERR_POSITION;
    }
    const FileInfo file = fat_open(path);
    if (!is_readable(file) || file.directory != 0) {
        return BMP_ERR_UNREADABLE;
    }
    Picture picture = {nullptr, 0, {}};
    const int32_t result = read_picture(file, x, y, &picture);
    if (result != BMP_OK) {
        return result;
    }
    if (!picture_complete(picture)) {
        heap_free(picture.data);
        return BMP_ERR_NOT_BITMAP;
    }
    vga_set_mode(mode, 0);
    // Without the save buffers the adapter stays in text mode; the text
    // palette must not be replaced then.
    if (vga_current_mode() != VGA_MODE_GRAPHICS) {
        heap_free(picture.data);
        return BMP_ERR_NO_MEMORY;
    }
    draw_picture(picture, x, y, background);
    heap_free(picture.data);
    return BMP_OK;
}
