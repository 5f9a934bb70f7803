// The text console: cursor, deferred wrap, scrolling, backspace, colours and
// the hardware cursor, read back from the fake text buffer and port bus.
#include "display/console.h"

#include <string>

#include "fakes/hw_test.h"
#include "fakes/screen.h"

namespace {

constexpr uint8_t NORMAL = 0x1E;  // yellow on blue

class ConsoleTest : public HardwareTest {
protected:
    void SetUp() override
    {
        HardwareTest::SetUp();
        console_init();
        fake::port_writes.clear();
    }

    // Puts a distinct letter in column 0 of every row, so moves can be seen.
    static void mark_rows()
    {
        for (uint32_t y = 0; y < 25; ++y) {
            con_set_cursor(0, y);
            con_putc(static_cast<uint8_t>('A' + y));
        }
    }
};

std::string cursor()
{
    return std::to_string(con_get_x()) + "," + std::to_string(con_get_y());
}

std::vector<fake::PortAccess> cursor_writes(uint32_t position)
{
    return {{0x3D4, 14, 8}, {0x3D5, (position >> 8) & 0xFF, 8}, {0x3D4, 15, 8}, {0x3D5, position & 0xFF, 8}};
}

TEST_F(ConsoleTest, InitAndClearBlankEveryCellAndNothingBeyond)
{
    EXPECT_TRUE(screen::row_is(0, ' ', NORMAL) && screen::row_is(24, ' ', NORMAL));
    EXPECT_EQ(con_get_color(), COLOR_YELLOW);
    EXPECT_EQ(con_get_bg_color(), COLOR_BLUE);

    con_set_colors(COLOR_WHITE, COLOR_RED);
    con_set_cursor(80, 25);  // the cursor's old place must not matter
    con_clear();
    for (uint32_t y = 0; y < 25; ++y) {
        EXPECT_TRUE(screen::row_is(y, ' ', 0x4F)) << "row " << y;
    }
    EXPECT_EQ(cursor(), "0,0");
    EXPECT_EQ(screen::hw_cursor(), 2000);  // just past the last cell
    EXPECT_EQ(*fake::phys(0xB8000 + 4000), 0);
}

// Every con_putc ends by programming the hardware cursor, high byte first;
// tab, carriage return, NUL and the other control codes print nothing.
TEST_F(ConsoleTest, PutcWritesPrintablesAndAlwaysMovesTheHardwareCursor)
{
    con_set_cursor(10, 20);
    for (char code : {'K', '\0', '\a', '\t', '\r', '\x1b', '\x1f'}) {
        fake::port_writes.clear();
        con_putc(static_cast<uint8_t>(code));
        EXPECT_EQ(cursor(), "11,20") << int{code};
        EXPECT_EQ(fake::port_writes, cursor_writes(20 * 80 + 11)) << int{code};
    }
    con_puts(nullptr);
    EXPECT_EQ(cursor(), "11,20");
    EXPECT_EQ(screen::line(20), "          K");
    EXPECT_EQ(screen::attr_at(10, 20), NORMAL);
}

TEST_F(ConsoleTest, FullRowDefersTheWrapUntilTheNextCharacter)
{
    con_puts(std::string(80, 'x').c_str());
    EXPECT_EQ(cursor(), "80,0");
    EXPECT_EQ(screen::line(1), "");
    con_putc('\n');  // no empty line in between
    EXPECT_EQ(cursor(), "0,1");

    con_puts(std::string(80, 'z').c_str());
    con_putc('y');
    EXPECT_EQ(screen::line(2), "y");
    EXPECT_EQ(cursor(), "1,2");
}

// Rows move up exactly once, keeping their attributes; the new last row is
// blank in the current attribute.
TEST_F(ConsoleTest, ScrollMovesRowsUpOnce)
{
    const struct {
        uint32_t x, y;
        int ch;  // -1: con_scroll
        const char *last_line, *cursor;
    } cases[] = {
        {80, 24, 'Q', "Q", "1,24"}, {5, 24, '\n', "", "0,24"}, {80, 25, '\n', "", "0,24"}, {7, 3, -1, "", "0,24"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ch);
        console_init();
        mark_rows();
        con_set_colors(COLOR_WHITE, COLOR_GREEN);
        con_set_cursor(c.x, c.y);
        if (c.ch < 0) {
            con_scroll();
        } else {
            con_putc(static_cast<uint8_t>(c.ch));
        }
        EXPECT_EQ(screen::line(0), "B");
        EXPECT_EQ(screen::line(23), "Y");
        EXPECT_EQ(screen::attr_at(0, 23), NORMAL);
        EXPECT_EQ(screen::line(24), c.last_line);
        EXPECT_EQ(screen::attr_at(79, 24), 0x2F);
        EXPECT_EQ(cursor(), c.cursor);
    }
}

// From column 0 the cursor goes to the full state of the row above and blanks
// the cell it stood on; at the origin it stays. Blanks take the current colour.
TEST_F(ConsoleTest, BackspaceStepsBackAcrossRowsAndBlanksTheCell)
{
    con_puts("abc");
    con_set_color(COLOR_LIGHT_RED);
    con_putc('\b');
    EXPECT_EQ(cursor(), "2,0");
    EXPECT_EQ(screen::line(0), "ab");
    EXPECT_EQ(screen::attr_at(2, 0), 0x1C);
    con_set_cursor(1, 0);
    con_puts("\b\b");
    EXPECT_EQ(cursor(), "0,0");
    EXPECT_EQ(screen::line(0), " b");

    con_set_cursor(79, 4);
    con_puts("bc");  // the c lands in cell (0, 5)
    con_set_cursor(0, 5);
    con_putc('\b');
    EXPECT_EQ(cursor(), "80,4");
    EXPECT_EQ(screen::line(5), "");
    EXPECT_EQ(screen::char_at(79, 4), 'b');
    con_putc('\b');
    EXPECT_EQ(cursor(), "79,4");
    EXPECT_EQ(screen::char_at(79, 4), ' ');
}

// The cursor may stand on row 25 (and no further), but nothing is ever
// written beyond the 4000 bytes of the text buffer.
TEST_F(ConsoleTest, Row25IsAcceptedButNeverWrittenTo)
{
    mark_rows();
    con_set_cursor(81, 0);
    con_set_cursor(0, 26);
    EXPECT_EQ(cursor(), "1,24");
    con_set_cursor(3, 25);
    con_putc('X');
    EXPECT_EQ(cursor(), "4,25");
    con_set_cursor(0, 25);
    con_putc('\b');
    EXPECT_EQ(cursor(), "80,24");
    con_set_cursor(80, 25);
    EXPECT_EQ(cursor(), "80,25");
    EXPECT_EQ(screen::hw_cursor(), 24 * 80 + 80);  // set by the backspace, not by con_set_cursor

    for (uint32_t offset = 4000; offset < 4400; ++offset) {
        EXPECT_EQ(*fake::phys(0xB8000 + offset), 0) << "byte " << offset;
    }
    EXPECT_EQ(screen::line(24), "Y");
}

TEST_F(ConsoleTest, ColourSettersKeepTheAttributeAndRejectOutOfRange)
{
    con_set_color(COLOR_LIGHT_RED);
    con_putc('a');
    con_set_colors(16, 1);
    con_set_colors(1, 16);
    con_set_color(16);
    con_set_bg_color(200);
    con_putc('b');
    con_set_bg_color(COLOR_RED);
    con_putc('c');
    con_set_colors(COLOR_WHITE, COLOR_LIGHT_GREY);
    con_putc('d');

    // Characters already on screen keep their colours.
    const uint8_t expected[] = {0x1C, 0x1C, 0x4C, 0x7F};
    for (uint32_t x = 0; x < 4; ++x) {
        EXPECT_EQ(screen::attr_at(x, 0), expected[x]) << "column " << x;
    }
}

}  // namespace
