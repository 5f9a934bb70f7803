// The bitmap renderer on a disk image made with mkfs.fat and mtools, read
// through the real floppy driver and FAT12; drawn into the fake video memory
// and the fake DAC.
#include "display/bmp.h"

#include <cstring>
#include <string>
#include <vector>

#include "display/console.h"
#include "display/vga.h"
#include "drivers/floppy.h"
#include "fakes/bitmap.h"
#include "fakes/fake_floppy.h"
#include "fakes/fake_vga.h"
#include "fakes/hw_test.h"
#include "fs/fat12.h"
#include "mm/heap.h"

namespace {

using bitmap::make;

constexpr uint32_t WINDOW = 0xA0000;
constexpr uint32_t LONG_SIZE = 1078 + 2 * 4;  // three clusters, the last one mostly unused

std::vector<fake::floppy::ImageEntry> disk_entries()
{
    const std::string full = make({320, 200, 200});
    const std::string small = make({4, 4, 4});
    // clang-format off
    return {
        {"PICS/", ""}, {"PICS/FULL.BMP", full}, {"SMALL.BMP", make({3, 2, 2})}, {"ZERO.BMP", make({0, 0, 0})},
        {"ONE.BMP", make({1, 1, 1})}, {"SIG.BMP", make({4, 4, 4, 8, "BN"})}, {"RGB.BMP", make({4, 4, 4, 24})},
        {"WIDE.BMP", make({321, 1, 1})}, {"HIGH.BMP", make({1, 201, 201})},
        {"TOPDOWN.BMP", make({320, static_cast<uint32_t>(-200), 200})},
        {"TOPDN36.BMP", make({0, static_cast<uint32_t>(-36), 0})},  // no pixels: only the header test stops it
        {"VAST.BMP", make({0xFFFFFFF0u, 0, 0})},
        {"SHORT.BMP", full.substr(0, 1078 + 32000)}, {"NOPAL.BMP", small.substr(0, 600)},  // rows, colour table cut
        {"TINY.BMP", small.substr(0, 20)}, {"HUGE.BMP", make({1, 1, 1}) + std::string(210000, 'x')},  // > the heap
        {"CHAIN.BMP", make({32, 32, 32})}, {"LONG.BMP", make({4, 2, 2})},
    };
    // clang-format on
}

class BmpTest : public HardwareTest {
protected:
    void SetUp() override
    {
        static const std::vector<uint8_t> clean_image = fake::floppy::make_image(disk_entries());
        HardwareTest::SetUp();
        fake::floppy::start_with_disk(clean_image);
        fake::vga::attach();
        console_init();
        ASSERT_TRUE(vga_init_buffers());
        vga_set_mode(VGA_MODE_TEXT, 0);
        image = clean_image;
    }

    void TearDown() override { vga_set_mode(VGA_MODE_TEXT, 0); }

    static int32_t render(std::string path, int32_t x, int32_t y, uint32_t background = 0)
    {
        return bmp_render(path.data(), x, y, background, VGA_MODE_GRAPHICS);
    }

    static uint8_t at(int32_t x, int32_t y) { return fake::phys(WINDOW)[y * 320 + x]; }

    static uint16_t first_cluster(std::string path) { return fat_open(path.data()).first_cluster; }

    // The disk with its FAT changed, and the caches reloaded.
    void reinsert()
    {
        fake::floppy::controller().image = image;
        ASSERT_TRUE(floppy_refresh());
    }

    std::vector<uint8_t> image;
};

// Every refusal leaves text mode, the DAC, video memory and the heap as they
// were, and the motor off.
TEST_F(BmpTest, RefusalsLeaveTextModeAndReleaseEverything)
{
    const struct {
        const char* path;
        int32_t x, y;
        int32_t result;
    } cases[] = {
        // clang-format off
        {nullptr, 0, 0, -18}, {"", 0, 0, -18}, {"small.bmp", 321, 0, -18}, {"small.bmp", 0, 201, -18},
        {"small.bmp", -1, 0, -18}, {"small.bmp", 0, -1, -18},
        {"missing.bmp", 0, 0, -3}, {"a:\\pics", 0, 0, -3}, {"a:\\nodir\\full.bmp", 0, 0, -3},
        {"huge.bmp", 0, 0, -6},
        {"sig.bmp", 0, 0, -20}, {"rgb.bmp", 0, 0, -20}, {"wide.bmp", 0, 0, -20}, {"high.bmp", 0, 0, -20},
        {"a:\\pics\\full.bmp", 1, 0, -20}, {"a:\\pics\\full.bmp", 0, 1, -20}, {"one.bmp", 320, 0, -20},
        {"topdown.bmp", 0, 0, -20},
        {"topdn36.bmp", 0, 36, -20},  // a negative height that would wrap round to 0
        {"vast.bmp", 32, 0, -20},     // a width that would wrap round to 16
        {"short.bmp", 0, 0, -20}, {"nopal.bmp", 0, 0, -20}, {"tiny.bmp", 0, 0, -20},
        // clang-format on
    };
    for (size_t i = 0; i < fake::vga::dac().size(); ++i) {
        fake::vga::dac()[i] = static_cast<uint8_t>(i % 61);
    }
    const fake::vga::Dac text_palette = fake::vga::dac();
    std::memset(fake::phys(WINDOW), 0x33, 65536);
    const uint32_t blocks = heap_control_block()->used_blocks;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.path != nullptr ? c.path : "null") << " at " << c.x << "," << c.y);
        const int32_t result = c.path != nullptr ? render(c.path, c.x, c.y) : bmp_render(nullptr, 0, 0, 0, 1);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(vga_current_mode(), VGA_MODE_TEXT);
        EXPECT_TRUE(fake::vga::dac() == text_palette);
        EXPECT_EQ(fake::phys(WINDOW)[0] + fake::phys(WINDOW)[65535], 0x66);
        EXPECT_EQ(heap_control_block()->used_blocks, blocks);
        EXPECT_EQ(fake::floppy::controller().dor & 0x10, 0) << "motor on";
    }
}

// The picture's rows go top to bottom (the second stored row of a 3 x 2
// picture is its top row) on a background of the first palette entry with
// the background colour (index 5 is the first black, 8 is (128, 8, 8)), else
// index 0; row padding is never drawn; the DAC holds the file's palette.
TEST_F(BmpTest, PicturesStandOnTheBackgroundInTheirOwnPalette)
{
    const struct {
        const char* path;
        int32_t x, y;
        uint32_t background;
        uint8_t index;
        int32_t width, height;
    } cases[] = {
        {"A:\\PICS\\FULL.BMP", 0, 0, 0x000000, 5, 320, 200}, {"small.bmp", 5, 7, 0x000000, 5, 3, 2},
        {"small.bmp", 317, 198, 0x800808, 8, 3, 2},          {"small.bmp", 0, 0, 0x00FF00, 0, 3, 2},
        {"zero.bmp", 320, 200, 0x000000, 5, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.path << " on " << c.background);
        ASSERT_EQ(render(c.path, c.x, c.y, c.background), 0);
        EXPECT_EQ(vga_current_mode(), VGA_MODE_GRAPHICS);
        int wrong = 0;
        for (int32_t y = 0; y < 200; ++y) {
            for (int32_t x = 0; x < 320; ++x) {
                const bool inside = x >= c.x && x < c.x + c.width && y >= c.y && y < c.y + c.height;
                wrong += at(x, y) != (inside ? bitmap::pixel(x - c.x, c.y + c.height - 1 - y) : c.index) ? 1 : 0;
            }
        }
        EXPECT_EQ(wrong, 0);
        for (uint32_t i = 0; i < 256; ++i) {
            const uint32_t red = bitmap::is_black(i) ? 0 : 32, blue_green = bitmap::is_black(i) ? 0 : i >> 2;
            const uint8_t* entry = &fake::vga::dac()[i * 3];
            ASSERT_EQ(entry[0] * 10000 + entry[1] * 100 + entry[2], red * 10000 + blue_green * 101) << i;
        }
        vga_set_mode(VGA_MODE_TEXT, 0);
    }
}

// A chain that breaks, or comes back to a cluster, before the file is
// complete fails once the buffer exists; a chain that runs on past the
// file's size (into another file) adds nothing, and the tail of the last
// cluster never lands past the file buffer.
TEST_F(BmpTest, ChainsThatBreakOrLoopFailAndChainsThatRunOnStoreOnlyTheFile)
{
    std::vector<uint16_t> chain = {first_cluster("chain.bmp")};  // five clusters
    while (chain.size() < 4) {
        chain.push_back(static_cast<uint16_t>(fat_next_cluster(chain.back())));
    }
    const std::vector<uint8_t> clean = image;
    const uint32_t blocks = heap_control_block()->used_blocks;
    for (const auto& [cluster, next] :
         {std::pair<uint16_t, uint16_t>{chain[1], 0xFF7}, {chain[0], chain[0]}, {chain[3], chain[1]}}) {
        image = clean;
        fake::floppy::set_fat_entry(image, cluster, next);
        reinsert();
        EXPECT_EQ(render("chain.bmp", 0, 0), -3) << cluster << " -> " << next;
        EXPECT_EQ(heap_control_block()->used_blocks, blocks);
    }

    image = clean;
    const uint16_t last = static_cast<uint16_t>(fat_next_cluster(first_cluster("long.bmp")));
    fake::floppy::set_fat_entry(image, static_cast<uint16_t>(fat_next_cluster(last)),
                                first_cluster("a:\\pics\\full.bmp"));
    reinsert();

    // The renderer's two buffers take the places of these two, just below the canary.
    void* sector = heap_alloc(513);
    void* file = heap_alloc(LONG_SIZE + 10);
    auto* canary = static_cast<uint8_t*>(heap_alloc(4096));
    std::memset(canary, 0xAA, 4096);
    heap_free(sector);
    heap_free(file);
    ASSERT_EQ(render("long.bmp", 0, 0), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(canary), 4096), std::string(4096, '\xAA'));
    EXPECT_EQ(at(0, 0), bitmap::pixel(0, 1));
    EXPECT_EQ(at(3, 1), bitmap::pixel(3, 0));
    EXPECT_EQ(at(4, 1), 5);
}

// With no save buffers graphics mode cannot be entered: the accepted file is
// refused for want of memory, and the text palette stays.
TEST_F(BmpTest, WithoutSaveBuffersAPictureIsRefusedInTextMode)
{
    ASSERT_FALSE(vga_init_buffers());  // their addresses are taken already: this time there are none
    fake::vga::dac()[7] = 0x2A;
    const fake::vga::Dac text_palette = fake::vga::dac();
    EXPECT_EQ(render("small.bmp", 0, 0), -6);
    EXPECT_EQ(vga_current_mode(), VGA_MODE_TEXT);
    EXPECT_TRUE(fake::vga::dac() == text_palette);
}

}  // namespace
