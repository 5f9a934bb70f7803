// con_printf's five conversions, its fall-through rules, and the number
// converters, read back from the fake text screen.
#include "display/printf.h"

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
    }
};

// The screen's text up to its last non-blank line.
std::string shown()
{
    std::string text = screen::text();
    return text.erase(text.find_last_not_of('\n') + 1);
}

// %c takes the low byte and acts as con_putc; a % before anything but c, s,
// i, x, b prints itself, consumes no argument, and the next character is read
// on its own.
TEST_F(PrintfTest, ConversionsAndFallThrough)
{
    // clang-format off
    const struct { const char* format; uint32_t arg; const char* shown; } cases[] = {
        {"%i", 0, "0"}, {"%i", 0u - 1, "-1"}, {"%i", 0u - 5, "-5"}, {"%i", 0x80000000u, "-2147483648"},
        {"%x", 0, "00"}, {"%x", 10, "0A"}, {"%x", 255, "FF"}, {"%x", 256, "100"}, {"%x", 0xFFFFFFFFu, "FFFFFFFF"},
        {"%b", 0, "0"}, {"%b", 5, "101"}, {"%b", 0xFFFFFFFFu, "11111111111111111111111111111111"},
        {"%c", 0x142, "B"}, {"ab%cc", '\n', "ab\nc"},
        {"%d%u%X%i", 7, "%d%u%X7"}, {"%%i", 7, "%7"}, {"100%", 0, "100%"}};
    // clang-format on
    for (const auto& c : cases) {
        console_init();
        con_printf(c.format, c.arg);
        EXPECT_EQ(shown(), c.shown) << c.format;
        const std::string want = c.shown;  // and nothing invisible after it:
        EXPECT_EQ(con_get_x(), want.substr(want.rfind('\n') + 1).size()) << c.format;
    }
}

TEST_F(PrintfTest, StringsAndNullsAndNullFormat)
{
    con_printf("%s Version %s<%s>", "KVAL", "0.0.7 Alpha - 3", static_cast<const char*>(nullptr));
    EXPECT_EQ(shown(), "KVAL Version 0.0.7 Alpha - 3<>");
    fake::port_writes.clear();
    con_printf(nullptr, 1, 2);
    EXPECT_TRUE(fake::port_writes.empty());
}

// The working buffer holds 63 characters and the terminator; longer strings
// must still print whole without writing past it (ASan watches the stack).
TEST_F(PrintfTest, StringsOfAnyLengthPrintWhole)
{
    for (size_t length : {0, 63, 64, 65, 200}) {
        console_init();
        std::string s;
        for (size_t i = 0; i < length; ++i) {
            s += static_cast<char>('a' + i % 26);
        }
        con_printf("%s|", s.c_str());
        std::string screen_text = screen::row(0) + screen::row(1) + screen::row(2);
        EXPECT_EQ(screen_text.substr(0, length + 1), s + "|");
        EXPECT_EQ(con_get_y() * 80 + con_get_x(), length + 1);
    }
}

// A system call hands over the values of three registers; strings are
// addresses in the caller's address space, and missing values count as 0.
TEST_F(PrintfTest, ListAndArrayArguments)
{
    con_printf("%s=%i %x|%b ", "n", -12, 0x7F, 6);
    std::strcpy(reinterpret_cast<char*>(fake::phys(0x200000)), "app");
    const uint32_t values[3] = {0x200000, 0, 0xAB};
    con_printf_values("%s[%s]%x %i %s.", values, 3);
    EXPECT_EQ(shown(), "n=-12 7F|110 app[]AB 0 .");
}

// Runs a converter on a buffer of exactly `size` bytes, all `fill` at first.
template <typename Converter>
std::string convert(Converter converter, uint32_t value, size_t size, char fill = 'Z')
{
    std::vector<char> out(size, fill);
    converter(value, out.data());
    return {out.begin(), out.end()};
}

// The converters fit their minimum buffers and write their own terminator,
// apart from int_to_hex with two or more digits: that is the caller's zero fill.
TEST(IntToText, ConvertersFitTheirMinimumBuffers)
{
    EXPECT_EQ(convert(int_to_dec, 0x80000000u, 12), std::string("-2147483648\0", 12));
    EXPECT_EQ(convert(int_to_bin, 0xFFFFFFFFu, 33), std::string(32, '1') + '\0');
    EXPECT_EQ(convert(int_to_hex, 0, 9), std::string("00\0ZZZZZZ", 9));
    EXPECT_EQ(convert(int_to_hex, 0xC, 9), std::string("0C\0ZZZZZZ", 9));
    EXPECT_EQ(convert(int_to_hex, 0x1234, 9), "1234ZZZZZ");
    EXPECT_EQ(convert(int_to_hex, 0x89ABCDEFu, 9, '\0'), std::string("89ABCDEF\0", 9));
}

}  // namespace
