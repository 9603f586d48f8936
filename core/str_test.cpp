#include "slib/str.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <string.h>
#include <syslog.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "slib/error.h"
#include "vakotest/bigmem.h"
#include "vakotest/logs.h"

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
        {"\" a \"", " a "},     // blanks inside the quotes stay
        {"\"\"a\"\"", "\"a\""}, // one pair only
        {"\"a", "\"a"},
        {"a\"", "a\""},
        {" \"a\" b", "\"a\" b"}, // quotes not at both ends
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
    EXPECT_STREQ(SLIBErrorGetFile(), "str_trim_space");
}

TEST(StrTrimSpace, LengthBeyondAnInt)
{
    VAKOTEST_SKIP_UNLESS_STRINGS_BEYOND_AN_INT_EXIST();
    vakotest::HugeString huge(2049);
    ASSERT_NE(huge.data(), nullptr);
    char out[4];
    EXPECT_EQ(SLIBStrTrimSpace(huge.data(), out), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BUFFER_SMALL);
}

TEST(MemRealloc, ZeroFreesAndGivesNull)
{
    void *p = malloc(16);
    EXPECT_EQ(SLIBMemRealloc(p, 0), nullptr); // a leak or double free shows under the sanitizer
    EXPECT_EQ(SLIBMemRealloc(nullptr, 0), nullptr);
}

TEST(MemRealloc, NewGrowAndShrinkKeepContent)
{
    auto *p = static_cast<char *>(SLIBMemRealloc(nullptr, 4));
    ASSERT_NE(p, nullptr);
    memcpy(p, "abc", 4);
    p = static_cast<char *>(SLIBMemRealloc(p, 1 << 20));
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "abc");
    p[(1 << 20) - 1] = 'z';
    p = static_cast<char *>(SLIBMemRealloc(p, 2));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p, 2), "ab");
    free(p);
}

TEST(MemRealloc, FailureFreesTheOldBlock)
{
    VAKOTEST_SKIP_UNLESS_ALLOCATIONS_CAN_FAIL();
    void *p = malloc(4096);
    void *q = p;
    // Once for the one-time allocations of reading /proc.
    ASSERT_TRUE(vakotest::WithAddressSpaceLimit(4u << 20, [] {}));
    size_t inUse = mallinfo2().uordblks;
    ASSERT_TRUE(vakotest::WithAddressSpaceLimit(4u << 20, [&] { q = SLIBMemRealloc(p, 64u << 20); }));
    EXPECT_EQ(q, nullptr);
    // The old block went back to the heap.
    EXPECT_LE(mallinfo2().uordblks + 4096, inUse);
}

// What the system log received since the last SyslogClear: exactly one
// LOG_ERR record "<file>:<line> <text>" from this library's source.
void ExpectOneLogRecord(const std::string &text)
{
    auto lines = vakotest::SyslogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, LOG_ERR);
    EXPECT_TRUE(vakotest::LogPatternMatches("str_join:{L} " + text, lines[0].text)) << lines[0].text;
    vakotest::SyslogClear();
}

struct JoinResult {
    int rc;
    std::string text;
    int cb;
};

JoinResult Join(std::vector<const char *> items, const char *sep)
{
    char *out = nullptr;
    int cb = 0;
    int rc = SLIBStrJoin(const_cast<char **>(items.data()), static_cast<int>(items.size()), sep, &out, &cb);
    JoinResult r{rc, out ? std::string(out) : "<null>", cb};
    free(out);
    return r;
}

TEST(StrJoin, Table)
{
    const struct {
        std::vector<const char *> items;
        const char *sep;
        const char *joined;
    } cases[] = {
        {{"a", nullptr, "b"}, ",", "a,b"},
        {{"x"}, ", ", "x"},
        {{"a", "b", "c"}, "", "abc"},
        {{"a", "", "c"}, ",", "a,,c"},
        {{"", ""}, ",", ","},
        {{""}, ",", ""},
        {{nullptr, "only", nullptr}, "::", "only"},
        {{"k1", "k2", "k3"}, ", ", "k1, k2, k3"},
    };
    vakotest::SyslogClear();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.joined);
        JoinResult r = Join(c.items, c.sep);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.text, c.joined);
        // Room for the text, every separator and the NUL.
        size_t total = 0;
        for (const char *item : c.items)
            total += item ? strlen(item) + strlen(c.sep) : 0;
        EXPECT_EQ(r.cb, static_cast<int>(total) + 1);
    }
    EXPECT_EQ(SLIBErrorGet(), 0);
    EXPECT_TRUE(vakotest::SyslogLines().empty());
}

TEST(StrJoin, EmptyArrayRefused)
{
    for (const auto &items : {std::vector<const char *>{nullptr, nullptr}, std::vector<const char *>{"", ""}}) {
        SLIBErrorSet(0);
        vakotest::SyslogClear();
        JoinResult r = Join(items, "");
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
        EXPECT_EQ(r.text, "<null>");
        ExpectOneLogRecord("The input array is empty!!");
    }
}

TEST(StrJoin, SmallBufferGrowsLargeOneIsKept)
{
    const char *items[] = {"ab", "cd"};
    char *out = static_cast<char *>(malloc(2));
    int cb = 2;
    ASSERT_EQ(SLIBStrJoin(const_cast<char **>(items), 2, "-", &out, &cb), 0);
    // Sized for every item with its separator, the last one included.
    EXPECT_EQ(cb, 7);
    EXPECT_STREQ(out, "ab-cd");
    free(out);

    out = static_cast<char *>(malloc(100));
    memset(out, 'z', 100);
    char *before = out;
    cb = 100;
    ASSERT_EQ(SLIBStrJoin(const_cast<char **>(items), 2, "-", &out, &cb), 0);
    EXPECT_EQ(out, before);
    EXPECT_EQ(cb, 100);
    // The whole buffer is zeroed, not only the text.
    EXPECT_EQ(std::string(out, 100), std::string("ab-cd") + std::string(95, '\0'));

    // Exactly the size needed is kept too; one byte less is grown.
    cb = 7;
    ASSERT_EQ(SLIBStrJoin(const_cast<char **>(items), 2, "-", &out, &cb), 0);
    EXPECT_EQ(cb, 7);
    EXPECT_EQ(out, before);
    cb = 6;
    ASSERT_EQ(SLIBStrJoin(const_cast<char **>(items), 2, "-", &out, &cb), 0);
    EXPECT_EQ(cb, 7);
    EXPECT_STREQ(out, "ab-cd");
    free(out);
}

TEST(StrJoin, BadParameters)
{
    char a[] = "a";
    char *items[] = {a};
    char *out = nullptr;
    int cb = 0;
    char *held = static_cast<char *>(malloc(8));
    int cbZero = 0;
    struct {
        char **items;
        int n;
        const char *sep;
        char **pOut;
        int *pcb;
    } cases[] = {
        {nullptr, 1, ",", &out, &cb},    {items, 0, ",", &out, &cb},
        {items, -1, ",", &out, &cb},     {items, 1, nullptr, &out, &cb},
        {items, 1, ",", nullptr, &cb},   {items, 1, ",", &out, nullptr}, // no crash: refused
        {items, 1, ",", &held, &cbZero},                                 // a buffer that claims no size
    };
    for (const auto &c : cases) {
        SLIBErrorSet(0);
        vakotest::SyslogClear();
        EXPECT_EQ(SLIBStrJoin(c.items, c.n, c.sep, c.pOut, c.pcb), -1);
        EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
        ExpectOneLogRecord("Bad parameters!!");
    }
    EXPECT_EQ(out, nullptr);
    free(held);
}

TEST(StrJoin, TotalBeyondAnIntRefused)
{
    // 2100 references to one MiB: 2.1 GB of text, more than an int can size.
    std::string mib(1 << 20, 'm');
    std::vector<const char *> items(2100, mib.c_str());
    char *out = nullptr;
    int cb = 0;
    vakotest::SyslogClear();
    EXPECT_EQ(SLIBStrJoin(const_cast<char **>(items.data()), 2100, ",", &out, &cb), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_OUT_OF_MEMORY);
    EXPECT_EQ(out, nullptr);
    ExpectOneLogRecord("Out of memory!!");
}

TEST(StrJoin, FailedGrowthLeavesNoBuffer)
{
    VAKOTEST_SKIP_UNLESS_ALLOCATIONS_CAN_FAIL();
    std::string big(64u << 20, 'b');
    const char *items[] = {big.c_str()};
    char *out = static_cast<char *>(malloc(4));
    int cb = 4;
    int rc = 0;
    vakotest::SyslogClear();
    ASSERT_TRUE(vakotest::WithAddressSpaceLimit(
        8u << 20, [&] { rc = SLIBStrJoin(const_cast<char **>(items), 1, ",", &out, &cb); }));
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_OUT_OF_MEMORY);
    EXPECT_EQ(out, nullptr);
    ExpectOneLogRecord("Out of memory!!");
}

TEST(StrReplace, Table)
{
    const struct {
        const char *str;
        const char *from;
        const char *to;
        int rc;
        const char *result;
    } cases[] = {
        {"abcabc", "bc", "X", 1, "aXabc"},
        {"abcabc", "abc", "", 1, "abc"},
        {"abc", "", "<", 1, "<abc"}, // the empty pattern is found at the start
        {"abc", "c", "CCC", 1, "abCCC"},
        {"abc", "abc", "xyz", 1, "xyz"},
        {"abc", "zz", "y", 0, "abc"},
        {"", "", "new", 1, "new"},
        {"", "a", "b", 0, ""},
        {"ab", "abcdef", "", 0, "ab"}, // longer than the text: simply not found
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.str << " " << c.from << " -> " << c.to);
        const int cbMax = 16;
        char inPlace[cbMax + 1];
        strcpy(inPlace, c.str);
        EXPECT_EQ(SLIBStrReplace(inPlace, c.from, c.to, nullptr, cbMax), c.rc);
        EXPECT_STREQ(inPlace, c.result);

        char src[cbMax + 1];
        strcpy(src, c.str);
        char out[cbMax + 1] = "untouched";
        EXPECT_EQ(SLIBStrReplace(src, c.from, c.to, out, cbMax), c.rc);
        EXPECT_STREQ(out, c.rc ? c.result : "untouched");
        EXPECT_STREQ(src, c.str);
    }
    EXPECT_EQ(SLIBErrorGet(), 0);
}

TEST(StrReplace, LimitIsCheckedBeforeTheSearch)
{
    char buf[16] = "abcabc";
    // 'aXYZabc' is 7 characters.
    EXPECT_EQ(SLIBStrReplace(buf, "bc", "XYZ", nullptr, 7), 1);
    EXPECT_STREQ(buf, "aXYZabc");
    strcpy(buf, "abcabc");
    EXPECT_EQ(SLIBStrReplace(buf, "bc", "XYZ", nullptr, 6), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BUFFER_SMALL);
    EXPECT_STREQ(buf, "abcabc");
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBStrReplace(buf, "none", "longer!", nullptr, 6), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BUFFER_SMALL);
    // The pattern alone longer than the text and the limit: no wrap-around.
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBStrReplace(buf, "abcabcabcabc", "", nullptr, 0), 0);
    EXPECT_EQ(SLIBErrorGet(), 0);
}

TEST(StrReplace, ReplacementTakenFromTheTextItself)
{
    char buf[32] = "x-abcdef";
    // The tail moves right over where the replacement lies.
    EXPECT_EQ(SLIBStrReplace(buf, "x", buf + 2, nullptr, 31), 1);
    EXPECT_STREQ(buf, "abcdef-abcdef");
    strcpy(buf, "xyz-abc");
    EXPECT_EQ(SLIBStrReplace(buf, "xyz", buf + 4, nullptr, 31), 1);
    EXPECT_STREQ(buf, "abc-abc");
}

TEST(StrReplace, TextLongerThanAnInt)
{
    VAKOTEST_SKIP_UNLESS_STRINGS_BEYOND_AN_INT_EXIST();
    vakotest::HugeString huge(2049);
    ASSERT_NE(huge.data(), nullptr);
    EXPECT_EQ(SLIBStrReplace(huge.data(), "b", "", nullptr, INT32_MAX), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BUFFER_SMALL);
}

TEST(StrReplace, NullArguments)
{
    char buf[8] = "abc";
    for (auto [s, f, t] : {std::tuple<char *, const char *, const char *>{nullptr, "a", "b"},
                           {buf, nullptr, "b"},
                           {buf, "a", nullptr}}) {
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBStrReplace(s, f, t, nullptr, 7), -1);
        EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
        EXPECT_STREQ(SLIBErrorGetFile(), "str_replace");
    }
    EXPECT_STREQ(buf, "abc");
}

const struct {
    const char *plain;
    const char *encoded;
} kColonCases[] = {
    {"a:b;c", "a;,b;;c"},
    {"", ""},
    {"abc", "abc"},
    {":", ";,"},
    {";", ";;"},
    {";;::", ";;;;;,;,"},
    {";,", ";;,"},
    {"/home/a:b", "/home/a;,b"},
    {"Ã©:â¬", "Ã©;,â¬"},
};

TEST(StrColon, EncodeAndDecodeBack)
{
    for (const auto &c : kColonCases) {
        SCOPED_TRACE(c.plain);
        const int n = static_cast<int>(strlen(c.encoded));
        std::vector<char> enc(static_cast<size_t>(n) + 1, 'z');
        EXPECT_EQ(SLIBStrEncodeColon(c.plain, enc.data(), n), n);
        EXPECT_EQ(std::string(enc.data(), enc.size()), std::string(c.encoded, static_cast<size_t>(n) + 1));

        const int m = static_cast<int>(strlen(c.plain));
        std::vector<char> dec(strlen(c.encoded) + 1, 'z');
        EXPECT_EQ(SLIBStrDecodeColon(c.encoded, dec.data(), n), m);
        EXPECT_EQ(std::string(dec.data(), static_cast<size_t>(m) + 1),
                  std::string(c.plain, static_cast<size_t>(m) + 1));
    }
    EXPECT_EQ(SLIBErrorGet(), 0);
}

TEST(StrColon, EncodeTooLongStaysTerminated)
{
    const struct {
        const char *src;
        int size;
        const char *written;
    } cases[] = {
        {"a:b;c", 6, "a;,b;;"}, {"a:b;c", 5, "a;,b;"}, // the characters written so far, half an escape too
        {"a:b;c", 2, "a;"},     {"a:b;c", 1, "a"},     {"a:b;c", 0, ""}, {"abc", 2, "ab"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.src << " in " << c.size);
        std::vector<char> dst(static_cast<size_t>(c.size) + 1, 'z');
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBStrEncodeColon(c.src, dst.data(), c.size), -1);
        EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BUFFER_SMALL);
        EXPECT_STREQ(dst.data(), c.written);
    }
}

TEST(StrColon, DecodeStopsAtAnUnknownEscape)
{
    const struct {
        const char *src;
        const char *plain;
    } cases[] = {
        {"a;xb", "a"}, {"ab;", "ab"}, {";", ""}, {"a;,b;q;;c", "a:b"}, {";;;", ";"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.src);
        char dst[16];
        memset(dst, 'z', sizeof dst);
        EXPECT_EQ(SLIBStrDecodeColon(c.src, dst, 15), static_cast<int>(strlen(c.plain)));
        EXPECT_STREQ(dst, c.plain);
    }
}

TEST(StrColon, DecodeLimitCountsTheSourceLength)
{
    char dst[8];
    EXPECT_EQ(SLIBStrDecodeColon(";,;,", dst, 4), 2);
    EXPECT_STREQ(dst, "::");
    // Longer than size even though the result would fit.
    EXPECT_EQ(SLIBStrDecodeColon(";,;,", dst, 3), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BUFFER_SMALL);
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBStrDecodeColon("a", dst, -1), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BUFFER_SMALL);
}

TEST(StrColon, BadArguments)
{
    char buf[16] = "a:b";
    char dst[16];
    using Fn = int (*)(const char *, char *, int);
    for (auto [fn, src] : {std::pair<Fn, const char *>{SLIBStrEncodeColon, "str_encode_colon"},
                           {SLIBStrDecodeColon, "str_decode_colon"}}) {
        for (auto [s, d] : {std::pair<const char *, char *>{nullptr, dst}, {buf, nullptr}, {buf, buf}}) {
            SLIBErrorSet(0);
            EXPECT_EQ(fn(s, d, 15), -1);
            EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
            EXPECT_STREQ(SLIBErrorGetFile(), src);
        }
    }
    // No room for even the NUL.
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBStrEncodeColon("", dst, -1), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
    EXPECT_STREQ(buf, "a:b");
}

// Owns a list made for a test and reads it back.
struct List {
    PSLIBSZLIST p = PslSLIBSzListAlloc(512);
    ~List() { SLIBSzListFree(p); }
    Tokens Items() const
    {
        Tokens out;
        for (int i = 0; p && i < p->nItem; ++i)
            out.emplace_back(SLIBSzListGet(p, i));
        return out;
    }
};

TEST(StrTokAndSep, Table)
{
    const struct {
        const char *s;
        const char *delims;
        Tokens tok;
        Tokens sep;
    } cases[] = {
        {",,a,,b,", ",", {"a", "b"}, {"", "", "a", "", "b", ""}},
        {"a,,b", ",", {"a", "b"}, {"a", "", "b"}},
        {"abc", ",", {"abc"}, {"abc"}},
        {"", ",", {}, {""}},
        {"a b\tc", " \t", {"a", "b", "c"}, {"a", "b", "c"}},
        {"k=v", "", {"k=v"}, {"k=v"}},
        {";", ";", {}, {"", ""}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.s));
        List tok, sep;
        ASSERT_NE(tok.p, nullptr);
        ASSERT_NE(sep.p, nullptr);
        EXPECT_EQ(SLIBStrTok(c.s, c.delims, &tok.p), static_cast<int>(c.tok.size()));
        EXPECT_EQ(tok.Items(), c.tok);
        EXPECT_EQ(SLIBStrSep(c.s, c.delims, &sep.p), static_cast<int>(c.sep.size()));
        EXPECT_EQ(sep.Items(), c.sep);
    }
    EXPECT_EQ(SLIBErrorGet(), 0);
}

TEST(StrTokAndSep, AppendToWhatTheListHolds)
{
    List l;
    ASSERT_GE(SLIBSzListPush(&l.p, "first"), 0);
    EXPECT_EQ(SLIBStrTok("x y", " ", &l.p), 2);
    EXPECT_EQ(SLIBStrSep("1,2", ",", &l.p), 2);
    EXPECT_EQ(l.Items(), (Tokens{"first", "x", "y", "1", "2"}));
}

TEST(StrTokAndSep, ListGrowsForManyTokens)
{
    std::string s;
    Tokens expected;
    for (int i = 0; i < 2000; ++i) {
        expected.push_back("token" + std::to_string(i));
        s += expected.back() + ",";
    }
    List l;
    EXPECT_EQ(SLIBStrTok(s.c_str(), ",", &l.p), 2000);
    EXPECT_EQ(l.Items(), expected);
}

TEST(StrTokAndSep, BadArguments)
{
    List l;
    PSLIBSZLIST none = nullptr;
    using Fn = int (*)(const char *, const char *, PSLIBSZLIST *);
    for (auto [fn, src] : {std::pair<Fn, const char *>{SLIBStrTok, "str_tok"}, {SLIBStrSep, "str_sep"}}) {
        for (auto [s, d, pp] : {std::tuple<const char *, const char *, PSLIBSZLIST *>{nullptr, ",", &l.p},
                                {"a", nullptr, &l.p},
                                {"a", ",", nullptr},
                                {"a", ",", &none}}) {
            SLIBErrorSet(0);
            EXPECT_EQ(fn(s, d, pp), -1);
            EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
            EXPECT_STREQ(SLIBErrorGetFile(), src);
        }
    }
    EXPECT_EQ(l.p->nItem, 0);
}

TEST(StrTokAndSep, CopyThatCannotBeMade)
{
    VAKOTEST_SKIP_UNLESS_ALLOCATIONS_CAN_FAIL();
    std::string big(32u << 20, 'a');
    List tok, sep;
    int rcTok = 0, rcSep = 0, rcPair = 0;
    ASSERT_TRUE(vakotest::WithAddressSpaceLimit(4u << 20, [&] {
        rcTok = SLIBStrTok(big.c_str(), ",", &tok.p);
        rcSep = SLIBStrSep(big.c_str(), ",", &sep.p);
        rcPair = SLIBStrSepPair(big.c_str(), &sep.p);
    }));
    EXPECT_EQ(rcTok, -1);
    EXPECT_EQ(rcSep, -1);
    EXPECT_EQ(rcPair, -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_OUT_OF_MEMORY);
    EXPECT_EQ(tok.p->nItem, 0);
    EXPECT_EQ(sep.p->nItem, 0);
}

TEST(StrTokAndSep, FailedPushKeepsWhatWasPushed)
{
    VAKOTEST_SKIP_UNLESS_ALLOCATIONS_CAN_FAIL();
    // The copy fits; the list cannot grow to hold the long last token.
    std::string s = "a,,b," + std::string(24u << 20, 'c');
    List tok, sep;
    int rcTok = 0, rcSep = 0;
    ASSERT_TRUE(vakotest::WithAddressSpaceLimit(36u << 20, [&] {
        rcTok = SLIBStrTok(s.c_str(), ",", &tok.p);
        rcSep = SLIBStrSep(s.c_str(), ",", &sep.p);
    }));
    EXPECT_EQ(rcTok, -1);
    EXPECT_EQ(tok.Items(), (Tokens{"a", "b"}));
    EXPECT_EQ(rcSep, -1);
    EXPECT_EQ(sep.Items(), (Tokens{"a", "", "b"}));
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_OUT_OF_MEMORY);
}

TEST(StrSepPair, Table)
{
    const struct {
        const char *line;
        Tokens pair;
    } cases[] = {
        {" name = \"x=y\" ", {"name", "x=y"}},
        {"k=v", {"k", "v"}},
        {"k=", {"k", ""}},
        {"k = \"\"", {"k", ""}},
        {"\tkey\t=\tvalue with  blanks\r\n", {"key", "value with  blanks"}},
        {"a=b=c", {"a", "b=c"}},
        {"\"quoted key\"=1", {"quoted key", "1"}},
        {"k==", {"k", "="}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.line));
        List l;
        EXPECT_EQ(SLIBStrSepPair(c.line, &l.p), 0);
        EXPECT_EQ(l.Items(), c.pair);
    }
    EXPECT_EQ(SLIBErrorGet(), 0);
}

TEST(StrSepPair, Refusals)
{
    const struct {
        const char *line;
        Tokens pushed;
    } cases[] = {
        {"=v", {}},           {" \t = v", {}}, {"\"\"=v", {}}, {"", {}},
        {"abc", {"abc"}}, // the key stays, then the missing '=' fails
        {"  abc  ", {"abc"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.line));
        List l;
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBStrSepPair(c.line, &l.p), -1);
        EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
        EXPECT_STREQ(SLIBErrorGetFile(), "str_sep_pair");
        EXPECT_EQ(l.Items(), c.pushed);
    }
    List l;
    PSLIBSZLIST none = nullptr;
    for (auto [line, pp] : {std::pair<const char *, PSLIBSZLIST *>{nullptr, &l.p}, {"k=v", nullptr}, {"k=v", &none}}) {
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBStrSepPair(line, pp), -1);
        EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
    }
}

} // namespace
