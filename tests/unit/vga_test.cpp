// VGA mode switching, palette and pixels against the fake port bus, a fake
// DAC and the fake arena's video memory at 0xA0000.
#include "display/vga.h"

#include <cstring>
#include <string>
#include <vector>

#include "display/console.h"
#include "fakes/fake_floppy.h"
#include "fakes/fake_vga.h"
#include "fakes/hw_test.h"
#include "fakes/screen.h"
#include "mm/pmm.h"
#include "mm/vmm.h"

namespace {

using Writes = std::vector<fake::PortAccess>;
using Bytes = std::vector<uint8_t>;
constexpr uint32_t WINDOW = 0xA0000;
constexpr uint32_t GUARD = 1024;  // bytes checked on either side of the 64 KiB window

// clang-format off
const Bytes TEXT_SET = {
    0x67, 0x03, 0x00, 0x03, 0x00, 0x02,
    0x5F, 0x4F, 0x50, 0x82, 0x55, 0x81, 0xBF, 0x1F, 0x00, 0x4F, 0x0D, 0x0E, 0x00, 0x00, 0x00, 0x50,
    0x9C, 0x0E, 0x8F, 0x28, 0x1F, 0x96, 0xB9, 0xA3, 0xFF,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x0E, 0x00, 0xFF,
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x14, 0x07, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F,
    0x0C, 0x00, 0x0F, 0x08, 0x00};
const Bytes GRAPHICS_SET = {
    0x63, 0x03, 0x01, 0x0F, 0x00, 0x0E,
    0x5F, 0x4F, 0x50, 0x82, 0x54, 0x80, 0xBF, 0x1F, 0x00, 0x41, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x9C, 0x0E, 0x8F, 0x28, 0x40, 0x96, 0xB9, 0xA3, 0xFF,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x05, 0x0F, 0xFF,
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
    0x41, 0x00, 0x0F, 0x00, 0x00};
// clang-format on

// The writes of one register set, with the reads of the CRT data port (CRT
// register 3 reads 0x12, 0x11 reads 0x9C) and of Input Status 1 in their
// places as width-0 entries, as log_reads() records them.
Writes register_sequence(const Bytes& set)
{
    Writes s = {{0x3C2, set[0], 8}};
    auto pairs = [&](uint16_t index, size_t first, size_t count) {
        for (uint32_t i = 0; i < count; ++i) {
            s.insert(s.end(), {{index, i, 8}, {static_cast<uint16_t>(index + 1), set[first + i], 8}});
        }
    };
    pairs(0x3C4, 1, 5);
    s.insert(s.end(), {{0x3D4, 3, 8}, {0x3D5, 3, 0}, {0x3D5, 0x92, 8}, {0x3D4, 0x11, 8}, {0x3D5, 0x11, 0}});
    s.push_back({0x3D5, 0x1C, 8});
    pairs(0x3D4, 6, 25);
    pairs(0x3CE, 31, 9);
    for (uint32_t i = 0; i < 21; ++i) {
        s.insert(s.end(), {{0x3DA, 0, 0}, {0x3C0, i, 8}, {0x3C0, set[40 + i], 8}});
    }
    s.insert(s.end(), {{0x3DA, 0, 0}, {0x3C0, 0x20, 8}});
    return s;
}

void log_reads()
{
    fake::on_read(0x3DA, [](uint16_t) {
        fake::port_writes.push_back({0x3DA, 0, 0});
        return 0u;
    });
    fake::on_read(0x3D5, [](uint16_t) {
        const uint32_t index = fake::writes_to(0x3D4).back();
        fake::port_writes.push_back({0x3D5, index, 0});
        return index == 3 ? 0x12u : 0x9Cu;
    });
}

// The port log without the DAC's ports.
Writes register_writes()
{
    Writes out = fake::port_writes;
    std::erase_if(out, [](const fake::PortAccess& w) { return w.port >= 0x3C7 && w.port <= 0x3C9; });
    return out;
}

Bytes window_bytes()
{
    const uint8_t* p = fake::phys(WINDOW - GUARD);
    return {p, p + VGA_VIDEO_SAVE_BYTES + 2 * GUARD};
}

class VgaTest : public HardwareTest {
protected:
    void SetUp() override
    {
        HardwareTest::SetUp();
        fake::floppy::init_kernel_memory();
        fake::vga::attach();
        console_init();
        ASSERT_TRUE(vga_init_buffers());
        vga_set_mode(VGA_MODE_TEXT, 0);  // in case an earlier test left graphics mode
        log_reads();
        fake::port_writes.clear();
    }
};

TEST_F(VgaTest, GraphicsAndBackWritesBothSetsAndRestoresMemoryAndPalette)
{
    uint8_t* window = fake::phys(WINDOW);
    for (uint32_t i = 0; i < VGA_VIDEO_SAVE_BYTES; ++i) {
        window[i] = static_cast<uint8_t>(i * 7 + i / 256);
    }
    const Bytes text_memory(window, window + VGA_VIDEO_SAVE_BYTES);
    for (size_t i = 0; i < fake::vga::dac().size(); ++i) {
        fake::vga::dac()[i] = static_cast<uint8_t>((i * 5) % 64);
    }
    const fake::vga::Dac text_palette = fake::vga::dac();
    con_set_cursor(17, 9);

    vga_set_mode(VGA_MODE_GRAPHICS, 0);
    EXPECT_EQ(vga_current_mode(), VGA_MODE_GRAPHICS);
    EXPECT_EQ(register_writes(), register_sequence(GRAPHICS_SET));
    EXPECT_EQ(vga_width() * 1000 + vga_height(), 320200);
    // The default palette, 6-bit: text colours 1, 6 and 15, the grey ramp's ends, black at the end.
    const fake::vga::Dac& dac = fake::vga::dac();
    EXPECT_EQ(Bytes(dac.begin() + 3, dac.begin() + 6), (Bytes{0, 0, 42}));
    EXPECT_EQ(Bytes(dac.begin() + 18, dac.begin() + 21), (Bytes{42, 21, 0}));
    EXPECT_EQ(Bytes(dac.begin() + 45, dac.begin() + 48), (Bytes{63, 63, 63}));
    EXPECT_EQ(dac[16 * 3] * 100 + dac[31 * 3], 63);
    EXPECT_EQ(Bytes(dac.begin() + 248 * 3, dac.end()), Bytes(24, 0));
    for (size_t i = 0; i < dac.size(); ++i) {
        ASSERT_EQ(dac[i] * 4, vga_default_palette()[i]) << i;
    }
    EXPECT_EQ(Bytes(window, window + 64000), Bytes(64000, 0));
    EXPECT_EQ(window[64000], text_memory[64000]);  // only the screen is cleared
    EXPECT_TRUE(fake::interrupts_on);

    fake::port_writes.clear();
    vga_set_mode(VGA_MODE_TEXT, 0);
    EXPECT_EQ(vga_current_mode(), VGA_MODE_TEXT);
    EXPECT_EQ(register_writes(), register_sequence(TEXT_SET));
    EXPECT_TRUE(Bytes(window, window + VGA_VIDEO_SAVE_BYTES) == text_memory);
    EXPECT_TRUE(fake::vga::dac() == text_palette);
    EXPECT_EQ(con_get_x() * 100 + con_get_y(), 1709u);
    EXPECT_EQ(screen::hw_cursor(), 80);  // CRT registers 14 and 15 of the text set
}

// A set that would lock CRT registers 0-7 (register 3 without bit 7,
// register 0x11 with it) goes out unlocked all the same.
TEST_F(VgaTest, WriteRegistersKeepsTheCrtRegistersUnlocked)
{
    Bytes locking = TEXT_SET;
    locking[6 + 3] = 0x02;
    locking[6 + 0x11] = 0x8E;
    vga_write_registers(locking.data());
    vga_write_registers(nullptr);
    EXPECT_EQ(fake::port_writes, register_sequence(TEXT_SET));
}

// In text mode: dims only touches no port and no memory, mode 0 returns at
// once (interrupts untouched), and an unknown mode only prints the error.
TEST_F(VgaTest, RequestsThatLeaveTheAdapterInTextMode)
{
    const struct {
        uint32_t mode;
        uint8_t dims_only;
        bool interrupts_after;
        const char* printed;
    } cases[] = {
        {1, 1, true, ""}, {0, 0, false, ""}, {0, 1, false, ""}, {2, 0, true, "[KVALDBG] : VGA Internal Error"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.mode << "/" << int{c.dims_only});
        console_init();
        fake::port_writes.clear();
        fake::interrupts_on = false;
        const Bytes before = window_bytes();
        vga_set_mode(c.mode, c.dims_only);
        EXPECT_EQ(vga_current_mode(), VGA_MODE_TEXT);
        EXPECT_EQ(fake::interrupts_on, c.interrupts_after);
        EXPECT_EQ(screen::line(0), c.printed);
        EXPECT_TRUE(window_bytes() == before);
        EXPECT_EQ(fake::port_writes.size(), std::string(c.printed).size() * 4);  // only the console's cursor
    }
    EXPECT_EQ(vga_width() * 1000 + vga_height(), 320200);
}

// When the palette buffer cannot be mapped the video buffer is released
// again, and graphics mode is refused: only the dimensions change.
TEST_F(VgaTest, WithoutSaveBuffersGraphicsModeIsRefused)
{
    const uint32_t directory = vmm_kernel_directory();
    ASSERT_EQ(vmm_unmap_free(VGA_VIDEO_SAVE_BUFFER, VGA_VIDEO_SAVE_PAGES, directory), VMM_OK);
    ASSERT_EQ(vmm_unmap_free(VGA_PALETTE_SAVE_BUFFER, 1, directory), VMM_OK);
    ASSERT_EQ(vmm_alloc_map(VGA_PALETTE_SAVE_BUFFER, 1, false, directory), VMM_OK);  // in the way
    const uint32_t free_frames = pmm_free_size(true);
    EXPECT_FALSE(vga_init_buffers());
    EXPECT_EQ(pmm_free_size(true), free_frames);
    EXPECT_THROW(fake::translate(VGA_VIDEO_SAVE_BUFFER), fake::PageFault);

    const Bytes before = window_bytes();
    vga_set_mode(VGA_MODE_GRAPHICS, 0);
    vga_set_mode(VGA_MODE_TEXT, 0);
    EXPECT_EQ(vga_current_mode(), VGA_MODE_TEXT);
    EXPECT_EQ(vga_width(), 320);
    EXPECT_TRUE(fake::port_writes.empty());
    EXPECT_TRUE(window_bytes() == before);
}

// The shadow keeps 6-bit values: 252 and 255 are the same colour, and the
// first of them is found.
TEST_F(VgaTest, FindColorMatchesTheShadowAtSixBits)
{
    Bytes bgrx(256 * 4, 0x40);
    std::memcpy(&bgrx[3 * 4], "\xFC\xFC\xFC", 3);
    std::memcpy(&bgrx[5 * 4], "\x30\x20\x10\xEE", 4);  // blue, green, red, reserved
    std::memcpy(&bgrx[9 * 4], "\xFF\xFF\xFF", 3);
    vga_load_palette_bgrx(bgrx.data(), 256);
    EXPECT_EQ(vga_find_color(0x00FFFFFF, 7), 3);
    EXPECT_EQ(vga_find_color(0x00102030, 7), 5);
    EXPECT_EQ(vga_find_color(0x00123456, 7), 7);
    EXPECT_EQ(Bytes(vga_palette_shadow() + 15, vga_palette_shadow() + 18), (Bytes{4, 8, 12}));
    EXPECT_EQ(Bytes(fake::vga::dac().begin() + 15, fake::vga::dac().begin() + 18), (Bytes{4, 8, 12}));
}

// Only the expected bytes of the window (and its surroundings) change.
TEST_F(VgaTest, PixelsAndFillsStayOnTheScreen)
{
    vga_set_mode(VGA_MODE_GRAPHICS, 1);  // 320 x 200, text mode kept
    const struct {
        int32_t count;  // 0: one vga_put_pixel
        int32_t x, y;
        int32_t first, bytes;  // what changes
    } cases[] = {
        {0, 320, 0, 320, 1},     {0, 321, 0, 0, 0},        {0, -1, 0, 0, 0},        {0, -1, 1, 0, 0},
        {0, 0, -1, 0, 0},        {0, 319, 199, 63999, 1},  {64000, 0, 0, 0, 64000}, {64001, 0, 0, 0, 0},
        {1, 319, 199, 63999, 1}, {2, 319, 199, 0, 0},      {10, -5, 0, 0, 0},       {10, 0, -1, 0, 0},
        {-4, 0, 0, 0, 0},        {0x7FFFFFFF, 1, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << " at " << c.x << "," << c.y);
        std::memset(fake::phys(WINDOW - GUARD), 0, VGA_VIDEO_SAVE_BYTES + 2 * GUARD);
        if (c.count == 0) {
            vga_put_pixel(0x5A, c.x, c.y);
        } else {
            vga_fill(0x5A, c.count, c.x, c.y);
        }
        Bytes expected(VGA_VIDEO_SAVE_BYTES + 2 * GUARD, 0);
        std::fill_n(expected.begin() + GUARD + c.first, c.bytes, 0x5A);
        EXPECT_TRUE(window_bytes() == expected);
    }
}

}  // namespace
