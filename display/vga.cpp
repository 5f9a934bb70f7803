// VGA mode switching and palette. Entering graphics mode saves the text
// palette and the 64 KiB the graphics window shows of video memory; the
// return to text mode puts both back, so the text screen (and the font, which
// shares the planes) comes back as it was.
#include "display/vga.h"

#include "display/console.h"
#include "lib/cpu.h"
#include "lib/physmem.h"
#include "lib/port.h"
#include "lib/string.h"
#include "mm/vmm.h"

namespace {

enum VgaPort : uint16_t {
    MISC_OUTPUT_WRITE = 0x3C2,
    SEQUENCER_INDEX = 0x3C4,
    SEQUENCER_DATA = 0x3C5,
    CRTC_INDEX = 0x3D4,
    CRTC_DATA = 0x3D5,
    GRAPHICS_INDEX = 0x3CE,
    GRAPHICS_DATA = 0x3CF,
    ATTRIBUTE_INDEX_DATA = 0x3C0,  // index and data alternately, after a flip-flop reset
    INPUT_STATUS_1 = 0x3DA,        // reading it resets the attribute flip-flop
    DAC_READ_INDEX = 0x3C7,
    DAC_WRITE_INDEX = 0x3C8,
    DAC_DATA = 0x3C9,  // red, green, blue of one entry, then the next entry
};

// Where each group starts in a register set, and how many registers it has.
constexpr uint32_t SEQUENCER_FIRST = 1;
constexpr uint32_t SEQUENCER_COUNT = 5;
constexpr uint32_t CRTC_FIRST = 6;
constexpr uint32_t CRTC_COUNT = 25;
constexpr uint32_t GRAPHICS_FIRST = 31;
constexpr uint32_t GRAPHICS_COUNT = 9;
constexpr uint32_t ATTRIBUTE_FIRST = 40;
constexpr uint32_t ATTRIBUTE_COUNT = 21;
static_assert(ATTRIBUTE_FIRST + ATTRIBUTE_COUNT == VGA_REGISTER_SET_SIZE);

// CRT register 3 (End Horizontal Blanking): bit 7 must be set, or registers
// 0x10 and 0x11 read back as the light pen. CRT register 0x11 (Vertical
// Retrace End): bit 7 write-protects registers 0-7.
constexpr uint8_t CRTC_END_HORIZONTAL_BLANKING = 0x03;
constexpr uint8_t CRTC_VERTICAL_RETRACE_END = 0x11;
constexpr uint8_t CRTC_RETRACE_ACCESS = 0x80;
constexpr uint8_t CRTC_PROTECT = 0x80;
// Attribute index bit 5: the controller drives the screen again (while it is
// clear the palette can be written and the screen is blank).
constexpr uint8_t ATTRIBUTE_VIDEO_ENABLE = 0x20;

// clang-format off
constexpr uint8_t TEXT_MODE_REGISTERS[VGA_REGISTER_SET_SIZE] = {
    0x67,
    0x03, 0x00, 0x03, 0x00, 0x02,
    0x5F, 0x4F, 0x50, 0x82, 0x55, 0x81, 0xBF, 0x1F, 0x00, 0x4F, 0x0D, 0x0E, 0x00, 0x00, 0x00, 0x50,
    0x9C, 0x0E, 0x8F, 0x28, 0x1F, 0x96, 0xB9, 0xA3, 0xFF,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x0E, 0x00, 0xFF,
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x14, 0x07, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F,
    0x0C, 0x00, 0x0F, 0x08, 0x00,
};

constexpr uint8_t GRAPHICS_MODE_REGISTERS[VGA_REGISTER_SET_SIZE] = {
    0x63,
    0x03, 0x01, 0x0F, 0x00, 0x0E,
    0x5F, 0x4F, 0x50, 0x82, 0x54, 0x80, 0xBF, 0x1F, 0x00, 0x41, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x9C, 0x0E, 0x8F, 0x28, 0x40, 0x96, 0xB9, 0xA3, 0xFF,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x05, 0x0F, 0xFF,
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
    0x41, 0x00, 0x0F, 0x00, 0x00,
};
// clang-format on

// ---- the default palette of graphics mode ----

struct Palette {
    uint8_t rgb[VGA_PALETTE_BYTES];
};

struct Rgb6 {  // 6-bit DAC components
    uint8_t r, g, b;
};

// The sixteen text colours as the DAC's 6-bit values: 42 is the normal
// intensity, 21 the added brightness, brown has half its green.
constexpr Rgb6 TEXT_COLORS[16] = {
    {0, 0, 0},    {0, 0, 42},   {0, 42, 0},   {0, 42, 42},  {42, 0, 0},   {42, 0, 42},  {42, 21, 0},  {42, 42, 42},
    {21, 21, 21}, {21, 21, 63}, {21, 63, 21}, {21, 63, 63}, {63, 21, 21}, {63, 21, 63}, {63, 63, 21}, {63, 63, 63},
};

constexpr uint32_t GREY_FIRST = 16;
constexpr uint32_t GREY_COUNT = 16;
constexpr uint32_t HUE_FIRST = 32;
constexpr uint32_t HUES_PER_RUN = 24;  // six legs of the colour circle, four steps each
constexpr uint32_t HUE_STEPS = 4;
constexpr uint32_t HUE_RUNS = 9;
constexpr uint32_t BLACK_FIRST = HUE_FIRST + HUE_RUNS * HUES_PER_RUN;  // 248
static_assert(BLACK_FIRST == 248);

// Run maxima in 6-bit units: full (252), medium (112) and low (64)
// intensity; each run's minimum, a share of its maximum, makes the strong
// (none), softer (half) and pale (three quarters) variants.
constexpr uint8_t RUN_MAXIMUM[3] = {63, 28, 16};
constexpr uint8_t VARIANT_MINIMUM_QUARTERS[3] = {0, 2, 3};

// Hue h of 24 round the circle blue, magenta, red, yellow, green, cyan and
// back to blue: on each leg one component moves between lo and hi.
constexpr Rgb6 hue(uint32_t h, uint8_t lo, uint8_t hi)
{
    const uint32_t step = h % HUE_STEPS;
    const auto up = static_cast<uint8_t>(lo + (hi - lo) * step / HUE_STEPS);
    const auto down = static_cast<uint8_t>(hi - (hi - lo) * step / HUE_STEPS);
    switch (h / HUE_STEPS) {
        case 0:
            return {up, lo, hi};  // blue to magenta: red rises
        case 1:
            return {hi, lo, down};  // magenta to red: blue falls
        case 2:
            return {hi, up, lo};  // red to yellow: green rises
        case 3:
            return {down, hi, lo};  // yellow to green: red falls
        case 4:
            return {lo, hi, up};  // green to cyan: blue rises
        default:
            return {lo, down, hi};  // cyan to blue: green falls
    }
}

// The DAC takes 6 bits; the table keeps 8-bit intensities, so every value is
// a 6-bit value times 4.
constexpr void set_entry(Palette& palette, uint32_t index, Rgb6 c)
{
    palette.rgb[index * 3] = static_cast<uint8_t>(c.r * 4);
    palette.rgb[index * 3 + 1] = static_cast<uint8_t>(c.g * 4);
    palette.rgb[index * 3 + 2] = static_cast<uint8_t>(c.b * 4);
}

constexpr Palette build_default_palette()
{
    Palette palette{};
    for (uint32_t i = 0; i < 16; ++i) {
        set_entry(palette, i, TEXT_COLORS[i]);
    }
    for (uint32_t i = 0; i < GREY_COUNT; ++i) {
        const auto grey = static_cast<uint8_t>((i * 63 + (GREY_COUNT - 1) / 2) / (GREY_COUNT - 1));
        set_entry(palette, GREY_FIRST + i, {grey, grey, grey});
    }
    for (uint32_t run = 0; run < HUE_RUNS; ++run) {
        const uint8_t hi = RUN_MAXIMUM[run / 3];
        const auto lo = static_cast<uint8_t>(hi * VARIANT_MINIMUM_QUARTERS[run % 3] / 4);
        for (uint32_t h = 0; h < HUES_PER_RUN; ++h) {
            set_entry(palette, HUE_FIRST + run * HUES_PER_RUN + h, hue(h, lo, hi));
        }
    }
    // 248-255 stay black.
    return palette;
}

constexpr Palette DEFAULT_PALETTE = build_default_palette();
static_assert(DEFAULT_PALETTE.rgb[6 * 3] == 168 && DEFAULT_PALETTE.rgb[6 * 3 + 1] == 84);
static_assert(DEFAULT_PALETTE.rgb[31 * 3] == 252 && DEFAULT_PALETTE.rgb[16 * 3] == 0);
static_assert(DEFAULT_PALETTE.rgb[HUE_FIRST * 3 + 2] == 252);                       // the circle starts at blue
static_assert(DEFAULT_PALETTE.rgb[(HUE_FIRST + 3 * HUES_PER_RUN) * 3 + 2] == 112);  // medium intensity
static_assert(DEFAULT_PALETTE.rgb[(HUE_FIRST + 6 * HUES_PER_RUN) * 3 + 2] == 64);   // low intensity

// ---- state ----

struct VgaState {
    uint32_t mode;
    int32_t screen_width;   // of the last graphics request
    int32_t screen_height;  // of the last graphics request
    uint32_t graphics_window;
    uint32_t video_save_buffer;    // virtual address; 0 while not mapped
    uint32_t palette_save_buffer;  // virtual address; 0 while not mapped
    uint8_t palette_shadow[VGA_PALETTE_BYTES];
};

VgaState vga = {VGA_MODE_TEXT, 0, 0, VGA_GRAPHICS_WINDOW, 0, 0, {}};

uint8_t* window()
{
    return phys_as<uint8_t>(vga.graphics_window);
}

bool have_save_buffers()
{
    return vga.video_save_buffer != 0 && vga.palette_save_buffer != 0;
}

uint32_t palette_count(uint32_t count)
{
    return count < VGA_PALETTE_ENTRIES ? count : VGA_PALETTE_ENTRIES;
}

void index_write(uint16_t index_port, uint16_t data_port, uint8_t index, uint8_t value)
{
    port_out8(index_port, index);
    port_out8(data_port, value);
}

void load_default_palette()
{
    port_out8(DAC_WRITE_INDEX, 0);
    for (uint8_t component : DEFAULT_PALETTE.rgb) {
        port_out8(DAC_DATA, static_cast<uint8_t>(component >> 2));
    }
}

// Without the save buffers there would be nowhere to keep the text screen
// and the font: graphics mode is then refused and only the dimensions are set.
void enter_graphics(bool dims_only)
{
    const bool switching = !dims_only && have_save_buffers();
    if (switching) {
        vga_read_palette(virt_as<uint8_t>(vga.palette_save_buffer), VGA_PALETTE_ENTRIES);
        vga_write_registers(GRAPHICS_MODE_REGISTERS);
        // Read through the graphics mode's mapping, as the way back writes it.
        mem_copy(virt_as<uint8_t>(vga.video_save_buffer), window(), VGA_VIDEO_SAVE_BYTES);
    }
    vga.screen_width = VGA_GRAPHICS_WIDTH;
    vga.screen_height = VGA_GRAPHICS_HEIGHT;
    if (switching) {
        load_default_palette();
        mem_set(window(), 0, static_cast<uint32_t>(vga.screen_width * vga.screen_height));
        vga.mode = VGA_MODE_GRAPHICS;
    }
}

// Graphics mode is only ever entered with both buffers, so they are there.
void leave_graphics()
{
    if (have_save_buffers()) {
        mem_copy(window(), virt_as<uint8_t>(vga.video_save_buffer), VGA_VIDEO_SAVE_BYTES);
    }
    vga_write_registers(TEXT_MODE_REGISTERS);
    if (have_save_buffers()) {
        vga_load_palette(virt_as<uint8_t>(vga.palette_save_buffer), VGA_PALETTE_ENTRIES);
    }
    vga.mode = VGA_MODE_TEXT;
}

}  // namespace

bool vga_init_buffers()
{
    vga.video_save_buffer = 0;
    vga.palette_save_buffer = 0;
    const uint32_t directory = vmm_kernel_directory();
    if (vmm_alloc_map(VGA_VIDEO_SAVE_BUFFER, VGA_VIDEO_SAVE_PAGES, false, directory) != VMM_OK) {
        return false;
    }
    if (vmm_alloc_map(VGA_PALETTE_SAVE_BUFFER, VGA_PALETTE_SAVE_PAGES, false, directory) != VMM_OK) {
        vmm_unmap_free(VGA_VIDEO_SAVE_BUFFER, VGA_VIDEO_SAVE_PAGES, directory);
        return false;
    }
    vga.video_save_buffer = VGA_VIDEO_SAVE_BUFFER;
    vga.palette_save_buffer = VGA_PALETTE_SAVE_BUFFER;
    return true;
}

void vga_set_mode(uint32_t mode, uint8_t dims_only)
{
    if (mode == vga.mode) {
        return;
    }
    interrupts_disable();
    if (mode == VGA_MODE_GRAPHICS) {
        enter_graphics(dims_only != 0);
    } else if (mode == VGA_MODE_TEXT) {
        if (dims_only == 0) {
            leave_graphics();
        }
    } else {
        con_puts("[KVALDBG] : VGA Internal Error");
    }
    interrupts_enable();
}

void vga_write_registers(const uint8_t* set)
{
    if (set == nullptr) {
        return;
    }
    port_out8(MISC_OUTPUT_WRITE, set[0]);
    for (uint8_t i = 0; i < SEQUENCER_COUNT; ++i) {
        index_write(SEQUENCER_INDEX, SEQUENCER_DATA, i, set[SEQUENCER_FIRST + i]);
    }
    // Unlock CRT registers 0-7 before the set reaches them, and write the set
    // with the same two bits, so that they stay unlocked while it is written.
    port_out8(CRTC_INDEX, CRTC_END_HORIZONTAL_BLANKING);
    port_out8(CRTC_DATA, static_cast<uint8_t>(port_in8(CRTC_DATA) | CRTC_RETRACE_ACCESS));
    port_out8(CRTC_INDEX, CRTC_VERTICAL_RETRACE_END);
    port_out8(CRTC_DATA, static_cast<uint8_t>(port_in8(CRTC_DATA) & ~CRTC_PROTECT));
    for (uint8_t i = 0; i < CRTC_COUNT; ++i) {
        uint8_t value = set[CRTC_FIRST + i];
        if (i == CRTC_END_HORIZONTAL_BLANKING) {
            value = static_cast<uint8_t>(value | CRTC_RETRACE_ACCESS);
        } else if (i == CRTC_VERTICAL_RETRACE_END) {
            value = static_cast<uint8_t>(value & ~CRTC_PROTECT);
        }
        index_write(CRTC_INDEX, CRTC_DATA, i, value);
    }
    for (uint8_t i = 0; i < GRAPHICS_COUNT; ++i) {
        index_write(GRAPHICS_INDEX, GRAPHICS_DATA, i, set[GRAPHICS_FIRST + i]);
    }
    for (uint8_t i = 0; i < ATTRIBUTE_COUNT; ++i) {
        port_in8(INPUT_STATUS_1);
        index_write(ATTRIBUTE_INDEX_DATA, ATTRIBUTE_INDEX_DATA, i, set[ATTRIBUTE_FIRST + i]);
    }
    port_in8(INPUT_STATUS_1);
    port_out8(ATTRIBUTE_INDEX_DATA, ATTRIBUTE_VIDEO_ENABLE);
}

void vga_read_palette(uint8_t* buffer, uint32_t count)
{
    if (buffer == nullptr) {
        return;
    }
    port_out8(DAC_READ_INDEX, 0);
    for (uint32_t i = 0; i < palette_count(count) * 3; ++i) {
        buffer[i] = port_in8(DAC_DATA);
    }
}

void vga_load_palette(const uint8_t* entries, uint32_t count)
{
    if (entries == nullptr) {
        return;
    }
    port_out8(DAC_WRITE_INDEX, 0);
    for (uint32_t i = 0; i < palette_count(count) * 3; ++i) {
        port_out8(DAC_DATA, entries[i]);
    }
}

void vga_load_palette_bgrx(const uint8_t* entries, uint32_t count)
{
    if (entries == nullptr) {
        return;
    }
    port_out8(DAC_WRITE_INDEX, 0);
    for (uint32_t i = 0; i < palette_count(count); ++i) {
        const uint8_t* entry = entries + i * 4;
        const uint8_t rgb[3] = {static_cast<uint8_t>(entry[2] >> 2), static_cast<uint8_t>(entry[1] >> 2),
                                static_cast<uint8_t>(entry[0] >> 2)};
        for (uint32_t c = 0; c < 3; ++c) {
            port_out8(DAC_DATA, rgb[c]);
            vga.palette_shadow[i * 3 + c] = rgb[c];
        }
    }
}

uint8_t vga_find_color(uint32_t color, uint8_t fallback)
{
    const auto r = static_cast<uint8_t>(((color >> 16) & 0xFF) >> 2);
    const auto g = static_cast<uint8_t>(((color >> 8) & 0xFF) >> 2);
    const auto b = static_cast<uint8_t>((color & 0xFF) >> 2);
    for (uint32_t i = 0; i < VGA_PALETTE_ENTRIES; ++i) {
        const uint8_t* entry = vga.palette_shadow + i * 3;
        if (entry[0] == r && entry[1] == g && entry[2] == b) {
            return static_cast<uint8_t>(i);
        }
    }
    return fallback;
}

// The bounds allow x = width and y = height, which stay inside the 64 KiB
// window (at most 200 * 320 + 320); negative coordinates would reach below it.
void vga_put_pixel(uint8_t color, int32_t x, int32_t y)
{
    if (x < 0 || y < 0 || x > vga.screen_width || y > vga.screen_height) {
        return;
    }
    window()[y * vga.screen_width + x] = color;
}

void vga_fill(uint8_t color, int32_t count, int32_t x, int32_t y)
{
    if (count <= 0 || x < 0 || y < 0 || x > vga.screen_width || y > vga.screen_height) {
        return;
    }
    const int32_t start = y * vga.screen_width + x;
    // Compared as a difference, so that no count can overflow the sum.
    if (count > vga.screen_width * vga.screen_height - start) {
        return;
    }
    mem_set(window() + start, color, static_cast<uint32_t>(count));
}

int32_t vga_width()
{
    return vga.screen_width;
}

int32_t vga_height()
{
    return vga.screen_height;
}

uint32_t vga_current_mode()
{
    return vga.mode;
}

const uint8_t* vga_palette_shadow()
{
    return vga.palette_shadow;
}

const uint8_t* vga_default_palette()
{
    return DEFAULT_PALETTE.rgb;
}
