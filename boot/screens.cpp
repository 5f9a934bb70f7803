// The start-up screens. They draw only through the console and the
// formatter; the splash goes through the bitmap renderer.
#include "boot/screens.h"

#include "boot/version.h"
#include "cpu/timer.h"
#include "display/bmp.h"
#include "display/console.h"
#include "display/printf.h"
#include "display/vga.h"
#include "lib/string.h"

namespace {

// Code page 437 box drawing.
constexpr uint8_t BOX_TOP_LEFT = 201;
constexpr uint8_t BOX_TOP_RIGHT = 187;
constexpr uint8_t BOX_BOTTOM_LEFT = 200;
constexpr uint8_t BOX_BOTTOM_RIGHT = 188;
constexpr uint8_t BOX_HORIZONTAL = 205;
constexpr uint8_t BOX_VERTICAL = 186;
constexpr uint8_t FULL_BLOCK = 219;

constexpr uint32_t TITLE_ROW = 5;
constexpr uint32_t BOX_TOP_ROW = 11;
constexpr uint32_t BAR_ROW = 12;
constexpr uint32_t BOX_BOTTOM_ROW = 13;
constexpr uint32_t STATUS_ROW = 14;
constexpr uint32_t CREDIT_COLUMN = 25;
constexpr uint32_t CREDIT_ROW = 24;
constexpr int32_t BANNER_BLOCKS = 2;

// It ends exactly in the last column at most, so it never wraps and
// scrolls the banner away.
constexpr char CREDIT_LINE[] = "KVAL: a small protected-mode kernel, written to be read";
static_assert(sizeof(CREDIT_LINE) - 1 <= CONSOLE_COLUMNS - CREDIT_COLUMN);

constexpr int32_t SPLASH_X = 32;
constexpr int32_t SPLASH_Y = 36;
constexpr uint32_t SPLASH_BACKGROUND = 0x000000;  // black
constexpr uint32_t SPLASH_SECONDS = 5;

int32_t bar_fill = 0;

void repeat(uint8_t ch, uint32_t times)
{
    for (uint32_t i = 0; i < times; ++i) {
        con_putc(ch);
    }
}

void draw_box()
{
    const uint32_t inner = CONSOLE_COLUMNS - 2;
    con_set_cursor(0, BOX_TOP_ROW);
    con_putc(BOX_TOP_LEFT);
    repeat(BOX_HORIZONTAL, inner);
    con_putc(BOX_TOP_RIGHT);
    con_putc(BOX_VERTICAL);  // the row is full: the deferred wrap puts it at (0, 12)
    con_set_cursor(CONSOLE_COLUMNS - 1, BAR_ROW);
    con_putc(BOX_VERTICAL);
    con_set_cursor(0, BOX_BOTTOM_ROW);
    con_putc(BOX_BOTTOM_LEFT);
    repeat(BOX_HORIZONTAL, inner);
    con_putc(BOX_BOTTOM_RIGHT);
    con_set_cursor(1, BAR_ROW);
    repeat(FULL_BLOCK, BANNER_BLOCKS);
}

}  // namespace

void boot_banner()
{
    con_set_color(COLOR_WHITE);
    con_puts("\nIn The Name Of Allah, The Most Gracious, The Most Merciful");
    con_set_cursor(0, TITLE_ROW);
    con_printf("%s Version : %s", KVAL_NAME, KVAL_VERSION);
    con_printf("\nDeveloped By : %s", KVAL_CREDIT);
    con_set_color(COLOR_YELLOW);
    con_puts("\n\nPlease wait...");
    con_set_color(COLOR_LIGHT_GREEN);
    draw_box();
    con_set_color(COLOR_LIGHT_CYAN);
    con_set_cursor(0, STATUS_ROW);
    // The bar now shows exactly the banner's blocks, whatever it held before.
    bar_fill = BANNER_BLOCKS;
    con_puts("Preparing the OS to start initializing...");
    con_set_color(COLOR_WHITE);
    con_set_cursor(CREDIT_COLUMN, CREDIT_ROW);
    con_puts(CREDIT_LINE);
}

void progress_step(const char* text, int32_t blocks)
{
    // As a difference, so that no block count can overflow the sum.
    if (text == nullptr || blocks > PROGRESS_BAR_LIMIT - bar_fill || str_len(text) >= PROGRESS_TEXT_LIMIT) {
        return;
    }
    con_set_cursor(0, STATUS_ROW);
    repeat(' ', CONSOLE_COLUMNS);
    con_set_color(COLOR_LIGHT_GREEN);
    con_set_cursor(static_cast<uint32_t>(bar_fill + 1), BAR_ROW);
    for (int32_t i = 0; i < blocks; ++i) {
        con_putc(FULL_BLOCK);
        ++bar_fill;
    }
    con_set_cursor(0, STATUS_ROW);
    con_puts(text);
    con_puts("...");
}

void boot_splash()
{
    char path[] = "splash.bmp";  // the renderer lower-cases it in place
    bmp_render(path, SPLASH_X, SPLASH_Y, SPLASH_BACKGROUND, VGA_MODE_GRAPHICS);
    sleep_seconds(SPLASH_SECONDS);
    vga_set_mode(VGA_MODE_TEXT, 0);
}

int32_t progress_blocks()
{
    return bar_fill;
}
