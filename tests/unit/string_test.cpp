// The kernel's string, memory and character routines.
#include "lib/string.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

struct CompareCase {
    const char* a;
    const char* b;
    int32_t result;
};

void PrintTo(const CompareCase& c, std::ostream* os)
{
    *os << '"' << c.a << "\" vs \"" << c.b << '"';
}

class StrCompareTest : public ::testing::TestWithParam<CompareCase> {};

TEST_P(StrCompareTest, GivesTheSignOfTheFirstDifference)
{
    EXPECT_EQ(str_compare(GetParam().a, GetParam().b), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(Pairs, StrCompareTest,
                         ::testing::Values(CompareCase{"abc", "abd", -1}, CompareCase{"abd", "abc", 1},
                                           CompareCase{"ab", "abc", -1}, CompareCase{"abc", "ab", 1},
                                           CompareCase{"abc", "abc", 0}, CompareCase{"", "", 0},
                                           CompareCase{"\xE9", "A", 1},  // bytes compare unsigned
                                           CompareCase{"A", "\xE9", -1}, CompareCase{"abc", "aBc", 1}));

TEST(StrLenCopy, CountAndCopyUpToTheTerminator)
{
    EXPECT_EQ(str_len(""), 0u);
    EXPECT_EQ(str_len("kestrel"), 7u);

    char dst[8];
    std::memset(dst, 'Z', sizeof dst);
    EXPECT_EQ(str_copy(dst, "vale"), dst);
    EXPECT_EQ(std::string(dst, 6), std::string("vale\0Z", 6));
}

TEST(MemCopySet, ZeroLengthChangesNothingAndReturnsDst)
{
    char buf[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(mem_copy(buf, "xyz", 0), buf);
    EXPECT_EQ(mem_set(buf, 'q', 0), buf);
    EXPECT_EQ(std::string(buf, 4), "abcd");
}

TEST(MemCopySet, TouchExactlyNBytes)
{
    char buf[8] = "abcdefg";
    EXPECT_EQ(mem_set(buf + 1, '-', 3), buf + 1);
    EXPECT_STREQ(buf, "a---efg");
    EXPECT_EQ(mem_copy(buf + 4, "XY", 2), buf + 4);
    EXPECT_STREQ(buf, "a---XYg");
}

TEST(MemCopySet, CopyIsAscending)
{
    char down[] = "abcdef";
    mem_copy(down, down + 2, 4);  // overlapping move towards lower addresses
    EXPECT_STREQ(down, "cdefef");

    char up[] = "abcdef";
    mem_copy(up + 1, up, 4);  // ascending order repeats the first byte
    EXPECT_STREQ(up, "aaaaaf");
}

TEST(StrFindChar, FindsSignedCharactersAndTheTerminator)
{
    const char* s = "hello\xE9";
    EXPECT_EQ(str_find_char(s, 'l'), s + 2);
    EXPECT_EQ(str_find_char(s, 0), s + 6);
    EXPECT_EQ(str_find_char(s, 'z'), nullptr);
    EXPECT_EQ(str_find_char(s, -23), s + 5);  // 0xE9 read as a signed character
    EXPECT_EQ(str_find_char(s, 0xE9), nullptr);
}

TEST(StrIndexOf, SearchesFromStartWithinTheString)
{
    EXPECT_EQ(str_index_of('l', "hello", 0), 2);
    EXPECT_EQ(str_index_of('l', "hello", 3), 3);
    EXPECT_EQ(str_index_of('h', "hello", 1), -1);
    EXPECT_EQ(str_index_of('z', "hello", 0), -1);
    EXPECT_EQ(str_index_of('o', "hello", 5), -1);
    EXPECT_EQ(str_index_of('o', "hello", 9), -1);
    EXPECT_EQ(str_index_of(0, "hello", 0), -1);
    EXPECT_EQ(str_index_of(0xE9, "a\xE9", 0), 1);
}

struct SubstringCase {
    int32_t from;
    int32_t to;
    int32_t result;
    std::string written;  // dst afterwards, first 8 bytes
};

void PrintTo(const SubstringCase& c, std::ostream* os)
{
    *os << c.from << ".." << c.to;
}

class StrSubstringTest : public ::testing::TestWithParam<SubstringCase> {};

TEST_P(StrSubstringTest, CopiesTheInclusiveRange)
{
    char dst[8];
    std::memset(dst, '#', sizeof dst);
    EXPECT_EQ(str_substring("hello", dst, GetParam().from, GetParam().to), GetParam().result);
    EXPECT_EQ(std::string(dst, 8), GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(Ranges, StrSubstringTest,
                         ::testing::Values(SubstringCase{1, 3, 0, "ell#####"},                   // no terminator added
                                           SubstringCase{0, 5, 0, std::string("hello\0##", 8)},  // ends with s's own
                                           SubstringCase{2, 2, 0, "l#######"}, SubstringCase{3, 1, -1, "########"},
                                           SubstringCase{0, 6, -2, "########"}, SubstringCase{0, -1, -1, "########"},
                                           // A negative start would read before the string.
                                           SubstringCase{-2, 1, -1, "########"},
                                           SubstringCase{-3, -1, -1, "########"}));

TEST(StrCase, ConvertsWithoutWritingATerminator)
{
    char dst[8];
    std::memset(dst, '#', sizeof dst);
    str_to_upper("a:\\Zz9", dst);
    EXPECT_EQ(std::string(dst, 7), "A:\\ZZ9#");

    std::memset(dst, '#', sizeof dst);
    str_to_lower("PROG.KVX", dst);
    EXPECT_EQ(std::string(dst, 8), "prog.kvx");

    char same[] = "MiXeD@[`{";
    str_to_lower(same, same);
    EXPECT_STREQ(same, "mixed@[`{");
}

TEST(CharCase, FoldsOnlyAsciiLetters)
{
    for (int c = 0; c < 256; ++c) {
        auto b = static_cast<uint8_t>(c);
        EXPECT_EQ(char_to_upper(b), c >= 'a' && c <= 'z' ? c - 32 : c) << c;
        EXPECT_EQ(char_to_lower(b), c >= 'A' && c <= 'Z' ? c + 32 : c) << c;
    }
}

TEST(CharIsAscii, ComparesSigned)
{
    EXPECT_TRUE(char_is_ascii(0));
    EXPECT_TRUE(char_is_ascii(127));
    EXPECT_FALSE(char_is_ascii(128));
    EXPECT_FALSE(char_is_ascii(255));
    EXPECT_TRUE(char_is_ascii(-1));
    EXPECT_TRUE(char_is_ascii(INT_MIN));
}

struct AffixCase {
    const char* s;
    const char* affix;
    bool result;
};

void PrintTo(const AffixCase& c, std::ostream* os)
{
    *os << '"' << c.s << "\" / \"" << c.affix << '"';
}

class StrStartsWithTest : public ::testing::TestWithParam<AffixCase> {};

TEST_P(StrStartsWithTest, IgnoresLetterCase)
{
    EXPECT_EQ(str_starts_with_nocase(GetParam().s, GetParam().affix), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(Prefixes, StrStartsWithTest,
                         ::testing::Values(AffixCase{"A:\\DIR", "a:\\", true}, AffixCase{"abc", "", true},
                                           AffixCase{"", "", true}, AffixCase{"ab", "abc", false},
                                           AffixCase{"abc", "abd", false}, AffixCase{"ABC", "abc", true},
                                           AffixCase{"@x", "`x", false},  // only A..Z fold
                                           AffixCase{"[", "{", false}));

class StrEndsWithTest : public ::testing::TestWithParam<AffixCase> {};

TEST_P(StrEndsWithTest, IgnoresLetterCase)
{
    EXPECT_EQ(str_ends_with_nocase(GetParam().s, GetParam().affix), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(Suffixes, StrEndsWithTest,
                         ::testing::Values(AffixCase{"PROG.KVX", ".kvx", true}, AffixCase{"test", ".kvx", false},
                                           AffixCase{"x", "\\", false}, AffixCase{".KVX", ".kvx", true},
                                           AffixCase{"abc", "", true}, AffixCase{"", "", true},
                                           AffixCase{"ab", "xab", false}, AffixCase{"a.kvx.txt", ".kvx", false},
                                           AffixCase{"A.KV@", ".kv`", false}));

struct ToIntCase {
    const char* text;
    int32_t value;
};

void PrintTo(const ToIntCase& c, std::ostream* os)
{
    *os << '"' << c.text << '"';
}

class StrToIntTest : public ::testing::TestWithParam<ToIntCase> {};

TEST_P(StrToIntTest, GivesEveryPositionADecimalWeight)
{
    EXPECT_EQ(str_to_int(GetParam().text), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Texts, StrToIntTest,
                         ::testing::Values(ToIntCase{"-45", -45}, ToIntCase{"007", 7}, ToIntCase{"12a", 120},
                                           ToIntCase{"a12", 12}, ToIntCase{"+5", 5}, ToIntCase{"", 0},
                                           ToIntCase{"-", 0}, ToIntCase{"0", 0}, ToIntCase{"1 2", 102},
                                           ToIntCase{"2147483647", INT_MAX}, ToIntCase{"-2147483648", INT_MIN},
                                           ToIntCase{"4294967295", -1},  // wraps modulo 2^32
                                           ToIntCase{"4294967296", 0},
                                           // 10^12 wraps to a negative place value, which then
                                           // divides as a signed number: 1 at weight 10^9 counts
                                           // -727379 rather than 3567587.
                                           ToIntCase{"0001000000000", -727379}));

TEST(IntAbs, NegatesNegativesExceptTheMostNegative)
{
    EXPECT_EQ(int_abs(5), 5);
    EXPECT_EQ(int_abs(-5), 5);
    EXPECT_EQ(int_abs(0), 0);
    EXPECT_EQ(int_abs(INT_MIN), INT_MIN);
}

}  // namespace
