// The start-up screens: the banner's cells, the progress bar's drop rules,
// and the splash picture shown through the renderer while the sleep counts.
#include "boot/screens.h"

#include <string>
#include <vector>

#include "display/console.h"
#include "display/vga.h"
#include "fakes/bitmap.h"
#include "fakes/fake_floppy.h"
#include "fakes/fake_vga.h"
#include "fakes/hw_test.h"
#include "fakes/screen.h"

namespace {

constexpr uint8_t WHITE = 0x1F, YELLOW = 0x1E, LIGHT_GREEN = 0x1A, LIGHT_CYAN = 0x1B;  // on blue

std::string box_row(char left, char right)
{
    return left + std::string(78, '\xCD') + right;
}

class ScreensTest : public HardwareTest {
protected:
    void SetUp() override
    {
        HardwareTest::SetUp();
        console_init();
        boot_banner();
    }

    // The bar's cells 1 to 78 of row 12: a block for each step drawn so far.
    static std::string bar() { return screen::row(12).substr(1, 78); }
    static std::string blocks(int32_t n) { return std::string(n, '\xDB') + std::string(78 - n, ' '); }
};

TEST_F(ScreensTest, BannerDrawsTitleBoxFirstBlocksStatusAndCredit)
{
    EXPECT_EQ(screen::line(0), "");
    EXPECT_EQ(screen::line(1), "In The Name Of Allah, The Most Gracious, The Most Merciful");
    EXPECT_EQ(screen::line(5), "Kestrel Vale (KVAL) Version : 0.0.7 Alpha - 3");
    EXPECT_EQ(screen::line(6), "Developed By : The Kestrel Vale developers");
    EXPECT_EQ(screen::line(8), "Please wait...");
    EXPECT_EQ(screen::row(11), box_row('\xC9', '\xBB'));
    EXPECT_EQ(screen::row(12), '\xBA' + blocks(2) + '\xBA');
    EXPECT_EQ(screen::row(13), box_row('\xC8', '\xBC'));
    EXPECT_EQ(screen::line(14), "Preparing the OS to start initializing...");
    EXPECT_EQ(screen::line(24).find_first_not_of(' '), 25u);  // the credit line
    // clang-format off
    const struct { uint32_t x, y; uint8_t attribute; } colours[] = {
        {0, 1, WHITE}, {0, 5, WHITE}, {0, 6, WHITE}, {0, 8, YELLOW}, {0, 11, LIGHT_GREEN}, {2, 12, LIGHT_GREEN},
        {79, 13, LIGHT_GREEN}, {0, 14, LIGHT_CYAN}, {25, 24, WHITE}};
    // clang-format on
    for (const auto& c : colours) {
        EXPECT_EQ(screen::attr_at(c.x, c.y), c.attribute) << c.x << "," << c.y;
    }
    EXPECT_EQ(progress_blocks(), 2);
}

// The start-up sequence's steps bring the bar to 72; a step that would pass
// 79 blocks, or whose text has 76 characters or more, is dropped whole.
TEST_F(ScreensTest, ProgressStepsAddBlocksAndDropWhatDoesNotFit)
{
    progress_step("Initializing CPU", 1);
    EXPECT_EQ(bar(), blocks(3));
    EXPECT_EQ(screen::row(14), "Initializing CPU..." + std::string(61, ' '));
    EXPECT_EQ(screen::attr_at(0, 14), LIGHT_GREEN);
    EXPECT_EQ(screen::attr_at(3, 12), LIGHT_GREEN);
    for (int32_t n : {1, 4, 3, 1, 1, 49}) {
        progress_step("Step", n);
    }
    progress_step("Completing initialization", 10);
    EXPECT_EQ(progress_blocks(), 72);

    const std::string text75(75, 't');
    const std::string text76(76, 'u');
    // clang-format off
    const struct { const char* text; int32_t blocks, bar_after; std::string status_after; } steps[] = {
        {"Starting", 10, 72, "Completing initialization..."}, {"Drivers", 0, 72, "Drivers..."},
        {text75.c_str(), 0, 72, text75 + "..."}, {text76.c_str(), 0, 72, text75 + "..."},
        {nullptr, 1, 72, text75 + "..."}, {"Overflow", 0x7FFFFFFF, 72, text75 + "..."},
        {"Last", 7, 79, "Last..."}, {"Beyond", 1, 79, "Last..."}};
    // clang-format on
    for (const auto& s : steps) {
        SCOPED_TRACE(s.text != nullptr ? s.text : "null");
        progress_step(s.text, s.blocks);
        EXPECT_EQ(progress_blocks(), s.bar_after);
        EXPECT_EQ(screen::line(14), s.status_after);
    }
    EXPECT_EQ(screen::row(12), '\xBA' + std::string(79, '\xDB'));  // the last block covers the right edge
}

// The splash is in graphics mode for the whole five-second wait, then the
// text screen and palette come back; without the file the start-up screen
// simply stays.
TEST_F(ScreensTest, SplashShowsThePictureDuringTheWaitThenTheTextScreen)
{
    const std::vector<fake::floppy::ImageEntry> with = {{"SPLASH.BMP", bitmap::make({288, 164, 164})}};
    const std::vector<fake::floppy::ImageEntry> without = {{"OTHER.BMP", bitmap::make({8, 8, 8})}};
    for (const auto* entries : {&with, &without}) {
        SCOPED_TRACE(entries == &with ? "with splash.bmp" : "without");
        fake::reset();
        fake::floppy::start_with_disk(fake::floppy::make_image(*entries));
        fake::vga::attach();
        console_init();
        boot_banner();
        ASSERT_TRUE(vga_init_buffers());
        fake::vga::dac()[40] = 0x15;
        const fake::vga::Dac text_palette = fake::vga::dac();
        const std::string text = screen::text();

        int graphics_ticks = 0;
        int ticks = 0;
        const std::function<void()> tick = fake::on_relax;
        fake::on_relax = [&] {
            tick();
            ++ticks;
            graphics_ticks += vga_current_mode() == VGA_MODE_GRAPHICS ? 1 : 0;
        };
        boot_splash();
        EXPECT_GE(ticks, 500);
        EXPECT_EQ(graphics_ticks >= 500, entries == &with) << graphics_ticks;
        EXPECT_EQ(vga_current_mode(), VGA_MODE_TEXT);
        EXPECT_TRUE(fake::vga::dac() == text_palette);
        EXPECT_EQ(screen::text(), text);
    }
}

}  // namespace
