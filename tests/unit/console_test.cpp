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

    static void expect_cursor(uint32_t x, uint32_t y)
    {
        EXPECT_EQ(con_get_x(), x);
        EXPECT_EQ(con_get_y(), y);
    }
};

std::vector<fake::PortAccess> cursor_writes(uint32_t position)
{
    return {{0x3D4, 14, 8}, {0x3D5, (position >> 8) & 0xFF, 8}, {0x3D4, 15, 8}, {0x3D5, position & 0xFF, 8}};
}

TEST_F(ConsoleTest, InitBlanksTheScreenInYellowOnBlue)
{
    for (uint32_t y = 0; y < 25; ++y) {
        EXPECT_TRUE(screen::row_is(y, ' ', NORMAL)) << "row " << y;
    }
    expect_cursor(0, 0);
    EXPECT_EQ(con_get_color(), COLOR_YELLOW);
    EXPECT_EQ(con_get_bg_color(), COLOR_BLUE);
}

TEST_F(ConsoleTest, ClearFillsEveryCellWithoutScrollingAndLeavesHardwareCursorPastTheEnd)
{
    con_set_colors(COLOR_WHITE, COLOR_RED);
    con_set_cursor(80, 25);  // the cursor's old place must not matter
    con_clear();

    for (uint32_t y = 0; y < 25; ++y) {
        EXPECT_TRUE(screen::row_is(y, ' ', 0x4F)) << "row " << y;
    }
    expect_cursor(0, 0);
    EXPECT_EQ(screen::hw_cursor(), 2000);
    EXPECT_EQ(fake::writes_to(0x3D4).size(), 2u * 2000);
    // Nothing beyond the 4000 bytes of the screen is touched.
    EXPECT_EQ(*fake::phys(0xB8000 + 4000), 0);
}

TEST_F(ConsoleTest, PrintableCharacterIsWrittenWithAttributeAndMovesHardwareCursor)
{
    con_set_cursor(10, 3);
    con_putc('K');

    EXPECT_EQ(screen::char_at(10, 3), 'K');
    EXPECT_EQ(screen::attr_at(10, 3), NORMAL);
    expect_cursor(11, 3);
    EXPECT_EQ(fake::port_writes, cursor_writes(3 * 80 + 11));
}

TEST_F(ConsoleTest, FullRowDefersTheWrapUntilTheNextCharacter)
{
    con_puts(std::string(80, 'x').c_str());
    expect_cursor(80, 0);
    EXPECT_EQ(screen::line(1), "");

    con_putc('y');
    EXPECT_EQ(screen::char_at(0, 1), 'y');
    expect_cursor(1, 1);
}

TEST_F(ConsoleTest, NewlineAfterAFullRowLeavesNoEmptyLine)
{
    con_puts(std::string(80, 'x').c_str());
    con_putc('\n');
    expect_cursor(0, 1);
    con_putc('y');
    EXPECT_EQ(screen::line(1), "y");
}

TEST_F(ConsoleTest, PrintableOnAFullLastRowScrollsAndLandsInColumnZero)
{
    mark_rows();
    con_set_cursor(80, 24);
    con_putc('Q');

    EXPECT_EQ(screen::line(0), "B");
    EXPECT_EQ(screen::line(23), "Y");
    EXPECT_EQ(screen::line(24), "Q");
    EXPECT_EQ(screen::attr_at(79, 24), NORMAL);
    expect_cursor(1, 24);
}

TEST_F(ConsoleTest, NewlineOnLastRowScrollsAtOnceAndBlanksItInTheCurrentAttribute)
{
    mark_rows();
    con_set_cursor(5, 24);
    con_set_color(COLOR_WHITE);
    con_putc('\n');

    expect_cursor(0, 24);
    EXPECT_EQ(screen::line(0), "B");
    EXPECT_EQ(screen::line(23), "Y");
    EXPECT_TRUE(screen::row_is(24, ' ', 0x1F));
    EXPECT_EQ(screen::hw_cursor(), 24 * 80);
}

TEST_F(ConsoleTest, NewlineFromRow25ScrollsOnceToTheLastRow)
{
    mark_rows();
    con_set_cursor(80, 25);
    con_putc('\n');

    expect_cursor(0, 24);
    EXPECT_EQ(screen::line(0), "B");
}

TEST_F(ConsoleTest, ScrollMovesRowsUpAndLeavesTheHardwareCursorAlone)
{
    mark_rows();
    con_set_colors(COLOR_BLACK, COLOR_GREEN);
    fake::port_writes.clear();
    con_scroll();

    for (uint32_t y = 0; y < 24; ++y) {
        EXPECT_EQ(screen::char_at(0, y), static_cast<char>('B' + y)) << "row " << y;
        EXPECT_EQ(screen::attr_at(0, y), NORMAL) << "row " << y;
    }
    EXPECT_TRUE(screen::row_is(24, ' ', 0x20));
    expect_cursor(0, 24);
    EXPECT_TRUE(fake::port_writes.empty());
}

TEST_F(ConsoleTest, BackspaceAtColumnZeroGoesToTheFullStateOfTheRowAbove)
{
    con_set_cursor(0, 5);
    con_putc('a');  // stands in cell (0, 5)
    con_set_cursor(79, 4);
    con_putc('b');  // stands in cell (79, 4)
    con_set_cursor(0, 5);

    con_putc('\b');
    expect_cursor(80, 4);
    EXPECT_EQ(screen::char_at(0, 5), ' ');
    EXPECT_EQ(screen::char_at(79, 4), 'b');
    EXPECT_EQ(screen::hw_cursor(), 5 * 80);

    con_putc('\b');
    expect_cursor(79, 4);
    EXPECT_EQ(screen::char_at(79, 4), ' ');
}

TEST_F(ConsoleTest, BackspaceAtTheOriginBlanksTheCellAndStays)
{
    con_putc('a');
    con_set_cursor(0, 0);
    con_set_color(COLOR_LIGHT_RED);
    con_putc('\b');

    expect_cursor(0, 0);
    EXPECT_EQ(screen::char_at(0, 0), ' ');
    EXPECT_EQ(screen::attr_at(0, 0), 0x1C);
}

TEST_F(ConsoleTest, BackspaceInsideARowErasesThePreviousCharacter)
{
    con_puts("abc");
    con_putc('\b');
    expect_cursor(2, 0);
    EXPECT_EQ(screen::line(0), "ab");
    con_putc('Z');
    EXPECT_EQ(screen::line(0), "abZ");

    con_set_cursor(1, 2);
    con_putc('\b');
    expect_cursor(0, 2);
}

class ConsoleControlTest : public ConsoleTest, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(ConsoleControlTest, OtherControlCodesOnlyReprogramTheHardwareCursor)
{
    con_set_cursor(3, 2);
    con_putc(GetParam());

    expect_cursor(3, 2);
    EXPECT_EQ(screen::line(2), "");
    EXPECT_EQ(screen::attr_at(3, 2), NORMAL);
    EXPECT_EQ(fake::port_writes, cursor_writes(2 * 80 + 3));
}

INSTANTIATE_TEST_SUITE_P(Codes, ConsoleControlTest, ::testing::Values(0, 7, 9, 13, 27, 31));

// Row 25 lies past the screen: the cursor may stand there, but nothing is
// ever written beyond the 4000 bytes of the text buffer.
TEST_F(ConsoleTest, NothingIsWrittenPastTheScreenFromRow25)
{
    mark_rows();
    con_set_cursor(3, 25);
    con_putc('X');
    expect_cursor(4, 25);

    con_set_cursor(0, 25);
    con_putc('\b');
    expect_cursor(80, 24);

    for (uint32_t offset = 4000; offset < 4400; ++offset) {
        EXPECT_EQ(*fake::phys(0xB8000 + offset), 0) << "byte " << offset;
    }
    EXPECT_EQ(screen::line(24), "Y");  // the row above is untouched
}

TEST_F(ConsoleTest, SetCursorAcceptsTheFullStatesAndIgnoresBeyond)
{
    con_set_cursor(81, 0);
    expect_cursor(0, 0);
    con_set_cursor(0, 26);
    expect_cursor(0, 0);
    con_set_cursor(80, 25);
    expect_cursor(80, 25);
    EXPECT_TRUE(fake::port_writes.empty());
}

TEST_F(ConsoleTest, HardwareCursorTakesHighThenLowByteOfTheLinearPosition)
{
    con_set_hw_cursor(79, 24);
    EXPECT_EQ(fake::port_writes, cursor_writes(1999));
    fake::port_writes.clear();
    con_set_hw_cursor(0, 25);  // no bounds check
    EXPECT_EQ(fake::port_writes, cursor_writes(2000));
}

TEST_F(ConsoleTest, ColourSettersKeepTheAttributeAndRejectOutOfRange)
{
    con_set_color(COLOR_LIGHT_RED);
    con_putc('a');
    EXPECT_EQ(screen::attr_at(0, 0), 0x1C);

    con_set_colors(16, 1);
    con_set_colors(1, 16);
    con_set_color(16);
    con_set_bg_color(200);
    con_putc('b');
    EXPECT_EQ(screen::attr_at(1, 0), 0x1C);
    EXPECT_EQ(con_get_color(), COLOR_LIGHT_RED);
    EXPECT_EQ(con_get_bg_color(), COLOR_BLUE);

    con_set_bg_color(COLOR_RED);
    con_putc('c');
    EXPECT_EQ(screen::attr_at(2, 0), 0x4C);

    con_set_colors(COLOR_WHITE, COLOR_LIGHT_GREY);
    con_putc('d');
    EXPECT_EQ(screen::attr_at(3, 0), 0x7F);
    // Characters already on screen keep their colours.
    EXPECT_EQ(screen::attr_at(0, 0), 0x1C);
}

TEST_F(ConsoleTest, PutsPrintsEachCharacterWithControlHandling)
{
    con_puts("one\ntwo\tx\b");
    EXPECT_EQ(screen::line(0), "one");
    EXPECT_EQ(screen::line(1), "two");
    expect_cursor(3, 1);
    con_puts(nullptr);
    expect_cursor(3, 1);
}

}  // namespace
