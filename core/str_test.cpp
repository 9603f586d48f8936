#include "slib/str.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "slib/error.h"
#include "test_bigmem.h"

namespace {

// Every token SLIBStrSepSkipEmpty yields for s, and the cursor at the end.
std::vector<std::string> SkipEmptyTokens(const char *s, const char *delims)
{
    std::string buf(s);
    char *cursor = buf.data();
    std::vector<std::string> out;
    while (char *tok = SLIBStrSepSkipEmpty(&cursor, delims))
        out.emplace_back(tok);
    EXPECT_EQ(cursor, nullptr);
    return out;
}

using Tokens = std::vector<std::string>;

TEST(StrSepSkipEmpty, Tokens)
{
    const struct {
        const char *s;
        const char *delims;
        Tokens tokens;
    } cases[] = {
        {",,a,,b,", ",", {"a", "b"}},
        {"a,b", ",", {"a", "b"}},
        {"abc", ",", {"abc"}},
        {"", ",", {}},
        {",,,", ",", {}},
        {" a\tb  c ", " \t", {"a", "b", "c"}},
        {"k=v;x", "=;", {"k", "v", "x"}},
        {"a,b", "", {"a,b"}},
        // Delimiters are bytes: a multi-byte character is not one.
        {"x\xc3\xa9y", "\xa9", {"x\xc3", "y"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.s));
        EXPECT_EQ(SkipEmptyTokens(c.s, c.delims), c.tokens);
    }
}

TEST(StrSepSkipEmpty, SplitsInPlace)
{
    char buf[] = ",ab,,c";
    char *cursor = buf;
    char *tok = SLIBStrSepSkipEmpty(&cursor, ",");
    EXPECT_EQ(tok, buf + 1);
    EXPECT_EQ(cursor, buf + 4);
    EXPECT_EQ(std::string(buf, sizeof buf), std::string("\0ab\0,c\0", 7));
    EXPECT_EQ(SLIBStrSepSkipEmpty(&cursor, ","), buf + 5);
    EXPECT_EQ(cursor, nullptr);
    EXPECT_EQ(SLIBStrSepSkipEmpty(&cursor, ","), nullptr);
}

TEST(StrSepSkipEmpty, NullArgumentsGiveNullWithoutCode)
{
    char buf[] = "a";
    char *cursor = buf;
    char *none = nullptr;
    EXPECT_EQ(SLIBStrSepSkipEmpty(nullptr, ","), nullptr);
    EXPECT_EQ(SLIBStrSepSkipEmpty(&none, ","), nullptr);
    EXPECT_EQ(SLIBStrSepSkipEmpty(&cursor, nullptr), nullptr);
    EXPECT_EQ(cursor, buf);
    EXPECT_EQ(SLIBErrorGet(), 0);
}

TEST(StrTrimSpace, Table)
{
    const struct {
        const char *in;
        const char *out;
    } cases[] = {
        {"\t \"a b\"\r\n", "a b"},
        {"\"\"", ""},
        {"\"", "\""},
        {"\v x", "\v x"},
        {"x\f", "x\f"},
        {"", ""},
        {" \t\r\n ", ""},
        {"abc", "abc"},
        {"  a  b  ", "a  b"},
        {"\" a \"", " a "},               // blanks inside the quotes stay
        {"\"\"a\"\"", "\"a\""},           // one pair only
        {"\"a", "\"a"},
        {"a\"", "a\""},
        {" \"a\" b", "\"a\" b"},          // quotes not at both ends
        {"'a'", "'a'"},
        {" \" \" ", " "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.in));
        int len = static_cast<int>(strlen(c.out));
        std::string inPlace(c.in);
        EXPECT_EQ(SLIBStrTrimSpace(inPlace.data(), nullptr), len);
        EXPECT_STREQ(inPlace.c_str(), c.out);

        std::string same(c.in);
        EXPECT_EQ(SLIBStrTrimSpace(same.data(), same.data()), len);
        EXPECT_STREQ(same.c_str(), c.out);

        std::string in(c.in);
        std::vector<char> out(in.size() + 4, 'z');
        EXPECT_EQ(SLIBStrTrimSpace(in.data(), out.data()), len);
        EXPECT_EQ(std::string(out.data(), static_cast<size_t>(len) + 2), std::string(c.out) + '\0' + 'z');
        EXPECT_EQ(in, c.in);
    }
    EXPECT_EQ(SLIBErrorGet(), 0);
}

TEST(StrTrimSpace, OutputInsideTheInputRefused)
{
    char buf[] = "  ab  ";
    for (size_t off : {size_t{1}, size_t{3}, sizeof buf - 1}) {
        SCOPED_TRACE(off);
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBStrTrimSpace(buf, buf + off), -1);
        EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
        EXPECT_STREQ(buf, "  ab  ");
    }
    // Just past the NUL, and before the input, are other memory.
    char two[16] = "  ab  ";
    EXPECT_EQ(SLIBStrTrimSpace(two, two + 7), 2);
    EXPECT_STREQ(two + 7, "ab");
    char back[16] = "xy \"cd\" ";
    EXPECT_EQ(SLIBStrTrimSpace(back + 2, back), 2);
    EXPECT_STREQ(back, "cd");
}

TEST(StrTrimSpace, NullInput)
{
    char out[4];
    EXPECT_EQ(SLIBStrTrimSpace(nullptr, out), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
}

TEST(StrTrimSpace, LengthBeyondAnInt)
{
    slibtest::HugeString huge(2049);
    ASSERT_NE(huge.data(), nullptr);
    char out[4];
    EXPECT_EQ(SLIBStrTrimSpace(huge.data(), out), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BUFFER_SMALL);
}

} // namespace
