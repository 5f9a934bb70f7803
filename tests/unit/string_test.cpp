// The kernel's string, memory and character routines.
#include "lib/string.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

TEST(StrCompare, GivesTheSignOfTheFirstUnsignedDifference)
{
    const struct {
        const char *a, *b;
        int32_t result;
    } cases[] = {{"abc", "abd", -1}, {"abd", "abc", 1}, {"ab", "abc", -1}, {"abc", "ab", 1},
                 {"abc", "abc", 0},  {"", "", 0},       {"\xE9", "A", 1},  {"A", "\xE9", -1}};
    for (const auto& c : cases) {
        EXPECT_EQ(str_compare(c.a, c.b), c.result) << c.a << " vs " << c.b;
    }
}

TEST(StrLenCopy, CountAndCopyUpToTheTerminator)
{
    EXPECT_EQ(str_len(""), 0u);
    EXPECT_EQ(str_len("kestrel"), 7u);
    char dst[8];
    std::memset(dst, 'Z', sizeof dst);
    EXPECT_EQ(str_copy(dst, "vale"), dst);
    EXPECT_EQ(std::string(dst, 6), std::string("vale\0Z", 6));
}

TEST(MemCopySet, TouchExactlyNBytesInAscendingOrderAndReturnDst)
{
    char buf[] = "abcdefg";
    EXPECT_EQ(mem_copy(buf, "xyz", 0), buf);
    EXPECT_EQ(mem_set(buf, 'q', 0), buf);
    EXPECT_EQ(mem_set(buf + 1, '-', 3), buf + 1);
    EXPECT_EQ(mem_copy(buf + 4, "XY", 2), buf + 4);
    EXPECT_STREQ(buf, "a---XYg");

    char down[] = "abcdef";
    mem_copy(down, down + 2, 4);  // an overlapping move towards lower addresses
    EXPECT_STREQ(down, "cdefef");
    char up[] = "abcdef";
    mem_copy(up + 1, up, 4);  // ascending order repeats the first byte
    EXPECT_STREQ(up, "aaaaaf");
}

TEST(StrSearch, FindCharReadsSignedBytesAndIndexOfStaysInsideTheString)
{
    const char* s = "hello\xE9";
    EXPECT_EQ(str_find_char(s, 'l'), s + 2);
    EXPECT_EQ(str_find_char(s, 0), s + 6);
    EXPECT_EQ(str_find_char(s, 'z'), nullptr);
    EXPECT_EQ(str_find_char(s, -23), s + 5);
    EXPECT_EQ(str_find_char(s, 0xE9), nullptr);

    EXPECT_EQ(str_index_of('l', "hello", 0), 2);
    EXPECT_EQ(str_index_of('l', "hello", 3), 3);
    EXPECT_EQ(str_index_of('h', "hello", 1), -1);
    EXPECT_EQ(str_index_of('z', "hello", 0), -1);
    EXPECT_EQ(str_index_of('o', "hello", 5), -1);
    EXPECT_EQ(str_index_of('o', "hello", 9), -1);
    EXPECT_EQ(str_index_of(0, "hello", 0), -1);
    EXPECT_EQ(str_index_of(0xE9, "a\xE9", 0), 1);
}

// Copies the inclusive range without adding a terminator; a reversed range or
// a negative start (which would read before the string) gives -1, an end past
// the terminator -2.
TEST(StrSubstring, CopiesTheInclusiveRangeOrRefusesIt)
{
    const std::string untouched(8, '#');
    const struct {
        int32_t from, to, result;
        std::string written;
    } cases[] = {{1, 3, 0, "ell#####"},  {0, 5, 0, std::string("hello\0##", 8)},
                 {2, 2, 0, "l#######"},  {3, 1, -1, untouched},
                 {0, 6, -2, untouched},  {-2, 1, -1, untouched},
                 {-3, -1, -1, untouched}};
    for (const auto& c : cases) {
        std::string dst = untouched;
        EXPECT_EQ(str_substring("hello", dst.data(), c.from, c.to), c.result) << c.from << ".." << c.to;
        EXPECT_EQ(dst, c.written) << c.from << ".." << c.to;
    }
}

TEST(CaseFolding, ChangesOnlyAsciiLettersAndWritesNoTerminator)
{
    for (int c = 0; c < 256; ++c) {
        auto b = static_cast<uint8_t>(c);
        EXPECT_EQ(char_to_upper(b), c >= 'a' && c <= 'z' ? c - 32 : c) << c;
        EXPECT_EQ(char_to_lower(b), c >= 'A' && c <= 'Z' ? c + 32 : c) << c;
    }
    std::string dst(8, '#');
    str_to_upper("a:\\Zz9", dst.data());
    EXPECT_EQ(dst, "A:\\ZZ9##");
    str_to_lower("PROG.KVX", dst.data());
    EXPECT_EQ(dst, "prog.kvx");
    char same[] = "MiXeD@[`{";
    str_to_lower(same, same);
    EXPECT_STREQ(same, "mixed@[`{");
}

TEST(AffixNocase, FoldsOnlyAToZ)
{
    const struct {
        const char *s, *affix;
        bool starts, ends;
    } cases[] = {
        {"A:\\DIR", "a:\\", true, false}, {"PROG.KVX", ".kvx", false, true}, {".KVX", ".kvx", true, true},
        {"abc", "", true, true},          {"ab", "abc", false, false},       {"ab", "xab", false, false},
        {"test", ".kvx", false, false},   {"x", "\\", false, false},         {"a.kvx.txt", ".kvx", false, false},
        {"@x", "`x", false, false},       {"[", "{", false, false},          {"A.KV@", ".kv`", false, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(str_starts_with_nocase(c.s, c.affix), c.starts) << c.s << " starts with " << c.affix;
        EXPECT_EQ(str_ends_with_nocase(c.s, c.affix), c.ends) << c.s << " ends with " << c.affix;
    }
}

// Every position after the sign carries a decimal weight, digit or not, and
// the arithmetic wraps modulo 2^32. In the last case 10^12 wraps to a negative
// place value, which then divides as a signed number: the 1 at weight 10^9
// counts -727379, not 3567587.
TEST(StrToInt, GivesEveryPositionADecimalWeight)
{
    // clang-format off
    const struct { const char* text; int32_t value; } cases[] = {
        {"-45", -45}, {"007", 7}, {"12a", 120}, {"a12", 12}, {"+5", 5}, {"", 0}, {"-", 0}, {"1 2", 102},
        {"4294967295", -1}, {"4294967296", 0}, {"-2147483648", INT_MIN}, {"0001000000000", -727379}};
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(str_to_int(c.text), c.value) << c.text;
    }
}

TEST(SignedEdges, CharIsAsciiComparesSignedAndIntAbsKeepsTheMostNegative)
{
    EXPECT_TRUE(char_is_ascii(127) && char_is_ascii(0) && char_is_ascii(-1) && char_is_ascii(INT_MIN));
    EXPECT_FALSE(char_is_ascii(128) || char_is_ascii(255));
    EXPECT_EQ(int_abs(5), 5);
    EXPECT_EQ(int_abs(-5), 5);
    EXPECT_EQ(int_abs(0), 0);
    EXPECT_EQ(int_abs(INT_MIN), INT_MIN);
}

}  // namespace
