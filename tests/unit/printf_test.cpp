// con_printf's five conversions, its fall-through rules, and the number
// converters, read back from the fake text screen.
#include "display/printf.h"

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "display/console.h"
#include "fakes/hw_test.h"
#include "fakes/screen.h"

namespace {

class PrintfTest : public HardwareTest {
protected:
    void SetUp() override
    {
        HardwareTest::SetUp();
        console_init();
        fake::port_writes.clear();
    }
};

struct FormatCase {
    const char* format;
    uint32_t a0, a1, a2;
    const char* shown;  // row 0 afterwards
};

void PrintTo(const FormatCase& c, std::ostream* os)
{
    *os << '"' << c.format << '"';
}

class PrintfFormatTest : public PrintfTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(PrintfFormatTest, PrintsOnRowZero)
{
    const FormatCase& c = GetParam();
    con_printf(c.format, c.a0, c.a1, c.a2);
    EXPECT_EQ(screen::line(0), c.shown);
    EXPECT_EQ(con_get_x(), std::strlen(c.shown));
}

const FormatCase FORMAT_CASES[] = {
    {"%i", 0, 0, 0, "0"},
    {"%i", static_cast<uint32_t>(-5), 0, 0, "-5"},
    {"%i", 0x80000000u, 0, 0, "-2147483648"},
    {"%x", 0, 0, 0, "00"},
    {"%x", 10, 0, 0, "0A"},
    {"%x", 255, 0, 0, "FF"},
    {"%x", 256, 0, 0, "100"},
    {"%x", 0xF00, 0, 0, "F00"},
    {"%x", 0xFFFFFFFFu, 0, 0, "FFFFFFFF"},
    {"%b", 0, 0, 0, "0"},
    {"%b", 5, 0, 0, "101"},
    {"%b", 0xFFFFFFFFu, 0, 0, "11111111111111111111111111111111"},
    {"%b", 0x80000000u, 0, 0, "10000000000000000000000000000000"},
    {"%c", 'A', 0, 0, "A"},
    {"%c", 0x142, 0, 0, "B"},  // only the low byte
    {"%d%i", 7, 0, 0, "%d7"},  // no argument consumed by %d
    {"%u%x%X", 255, 0, 0, "%uFF%X"},
    {"%%i", 7, 0, 0, "%7"},
    {"100%", 0, 0, 0, "100%"},
    {"%", 0, 0, 0, "%"},
    {"%%%", 0, 0, 0, "%%%"},
    {"[%i|%x|%b]", 12, 0xAB, 6, "[12|AB|110]"},
    {"0x%x 0x%x", 1, 0xC0DE, 0, "0x01 0xC0DE"},
};

INSTANTIATE_TEST_SUITE_P(Conversions, PrintfFormatTest, ::testing::ValuesIn(FORMAT_CASES));

TEST_F(PrintfTest, StringConversionsPrintTheirArguments)
{
    con_printf("%s Version %s", "KVAL", "0.0.7 Alpha - 3");
    EXPECT_EQ(screen::line(0), "KVAL Version 0.0.7 Alpha - 3");
}

TEST_F(PrintfTest, NullStringAndNullFormatPrintNothing)
{
    con_printf("<%s>", static_cast<const char*>(nullptr));
    EXPECT_EQ(screen::line(0), "<>");
    fake::port_writes.clear();
    con_printf(nullptr, 1, 2);
    EXPECT_EQ(con_get_x(), 2u);
    EXPECT_TRUE(fake::port_writes.empty());
}

// The working buffer holds 63 characters and the terminator; longer strings
// must still print whole without writing past it (ASan watches the stack).
class PrintfLongStringTest : public PrintfTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(PrintfLongStringTest, PrintsTheWholeString)
{
    std::string s;
    for (size_t i = 0; i < GetParam(); ++i) {
        s += static_cast<char>('a' + i % 26);
    }
    con_printf("%s|", s.c_str());
    std::string shown = screen::row(0) + screen::row(1) + screen::row(2) + screen::row(3);
    EXPECT_EQ(shown.substr(0, s.size() + 1), s + "|");
    EXPECT_EQ(con_get_y() * 80 + con_get_x(), s.size() + 1);
}

INSTANTIATE_TEST_SUITE_P(Lengths, PrintfLongStringTest, ::testing::Values(0, 62, 63, 64, 65, 200));

TEST_F(PrintfTest, CharacterTenStartsANewLine)
{
    con_printf("ab%cc", '\n');
    EXPECT_EQ(screen::line(0), "ab");
    EXPECT_EQ(screen::line(1), "c");
    EXPECT_EQ(con_get_y(), 1u);
}

TEST_F(PrintfTest, DebugReportIsLightRedAndTheColourReturnsToYellow)
{
    con_debug("\n[KVALDBG]: The GDT Index is higher than the max entries [Index = %i]", 9);
    con_putc('!');

    const std::string text = "[KVALDBG]: The GDT Index is higher than the max entries [Index = 9]";
    EXPECT_EQ(screen::line(1), text + "!");
    EXPECT_EQ(screen::attr_at(0, 1), 0x1C);
    EXPECT_EQ(screen::attr_at(text.size() - 1, 1), 0x1C);
    EXPECT_EQ(screen::attr_at(text.size(), 1), 0x1E);
    EXPECT_EQ(con_get_color(), COLOR_YELLOW);
}

void forward(const char* format, ...)
{
    va_list list;
    va_start(list, format);
    con_vprintf(format, list);
    va_end(list);
}

TEST_F(PrintfTest, VprintfTakesTheArgumentsOfAList)
{
    forward("%s=%i %x", "n", -12, 0x7F);
    EXPECT_EQ(screen::line(0), "n=-12 7F");
}

// A system call hands over the values of three registers; strings are
// addresses in the caller's address space.
TEST_F(PrintfTest, ValuesFromAnArrayStopAtTheirCount)
{
    std::strcpy(reinterpret_cast<char*>(fake::phys(0x200000)), "app");
    const uint32_t values[3] = {0x200000, 42, 0xAB};
    con_printf_values("%s %i %x %i %s.", values, 3);
    EXPECT_EQ(screen::line(0), "app 42 AB 0 .");
}

TEST_F(PrintfTest, ValuesWithANullStringPrintNothingForIt)
{
    const uint32_t values[3] = {0, 5, 0};
    con_printf_values("[%s]%i", values, 3);
    EXPECT_EQ(screen::line(0), "[]5");
}

// The converters write their own terminator into a dirty buffer (apart from
// int_to_hex with two or more digits, which relies on the caller's zero fill).
TEST(IntToText, DecimalAndBinaryTerminateAndFitTheirMinimumBuffers)
{
    std::vector<char> dec(12, 'Z');
    int_to_dec(INT_MIN, dec.data());
    EXPECT_STREQ(dec.data(), "-2147483648");

    std::vector<char> bin(33, 'Z');
    int_to_bin(0xFFFFFFFFu, bin.data());
    EXPECT_EQ(std::string(bin.data()), std::string(32, '1'));
}

TEST(IntToText, HexWritesItsTerminatorOnlyForShortValues)
{
    std::vector<char> hex(9, 'Z');
    int_to_hex(0, hex.data());
    EXPECT_STREQ(hex.data(), "00");
    std::fill(hex.begin(), hex.end(), 'Z');
    int_to_hex(0xC, hex.data());
    EXPECT_STREQ(hex.data(), "0C");

    std::vector<char> zeroed(9, 0);
    int_to_hex(0x89ABCDEFu, zeroed.data());
    EXPECT_STREQ(zeroed.data(), "89ABCDEF");
    std::fill(zeroed.begin(), zeroed.end(), 'Z');
    int_to_hex(0x1234, zeroed.data());
    EXPECT_EQ(std::string(zeroed.data(), 5), "1234Z");
}

}  // namespace
