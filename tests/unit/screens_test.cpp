// The start-up screens: the progress bar's drop rules, and the splash picture
// shown through the renderer while the sleep counts.
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

// The banner and the start-up sequence's steps, which bring the bar to 72,
// are checked cell by cell in the running system. A step that would pass 79
// blocks, or whose text has 76 characters or more, is dropped whole.
TEST_F(ScreensTest, ProgressStepsAddBlocksAndDropWhatDoesNotFit)
{
    for (int32_t n : {1, 1, 4, 3, 1, 1, 49}) {
        progress_step("Step", n);
    }
    progress_step("Completing initialization", 10);
    EXPECT_EQ(progress_blocks(), 72);
    EXPECT_EQ(bar(), blocks(72));

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
