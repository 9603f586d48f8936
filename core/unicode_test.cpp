#include "slib/unicode.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unicode/putil.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include <string>
#include <vector>

#include "slib/error.h"
#include "vakotest/bigmem.h"

namespace {

// A malloc'd, NUL-terminated UTF-16 copy of UTF-8 text.
UChar *NewUtf16(const char *s, int extraUnits = 0)
{
    std::u16string tmp(strlen(s) + 1, u'\0');
    int32_t n = 0;
    UErrorCode err = U_ZERO_ERROR;
    u_strFromUTF8(tmp.data(), static_cast<int32_t>(tmp.size()), &n, s, -1, &err);
    auto *p = static_cast<UChar *>(malloc((static_cast<size_t>(n) + 1 + extraUnits) * sizeof(UChar)));
    memcpy(p, tmp.data(), (static_cast<size_t>(n) + 1) * sizeof(UChar));
    return p;
}

std::string ToUtf8(const UChar *s)
{
    char buf[256];
    int32_t n = 0;
    UErrorCode err = U_ZERO_ERROR;
    u_strToUTF8(buf, sizeof buf, &n, s, -1, &err);
    return U_SUCCESS(err) ? std::string(buf, static_cast<size_t>(n)) : "<bad>";
}

TEST(UnicodeLocale, RootByDefault)
{
    const char *szLocale = nullptr;
    EXPECT_EQ(SLIBUnicodeGetLocale(0, &szLocale), 1);
    ASSERT_NE(szLocale, nullptr);
    EXPECT_STREQ(szLocale, "");
    EXPECT_EQ(SLIBUnicodeGetLocale(1, &szLocale), 1);
    EXPECT_STREQ(szLocale, "");
    EXPECT_EQ(SLIBErrorGet(), 0);
}

TEST(UnicodeLocale, NullAddressRefused)
{
    EXPECT_EQ(SLIBUnicodeGetLocale(0, nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
}

TEST(UnicodeLocale, EverySupportedLocaleAccepted)
{
    for (const char *name :
         {"de_DE", "en_US", "es_ES", "fr_FR", "it_IT", "ja_JP", "ko_KR", "pt_BR", "zh__PINYIN", "zh_TW_STROKE", ""}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(SLIBUnicodeSetLocale(name), 1);
        const char *szLocale = nullptr;
        EXPECT_EQ(SLIBUnicodeGetLocale(0, &szLocale), 1);
        EXPECT_STREQ(szLocale, name);
        EXPECT_NE(SLIBUnicodeOpenCollator(), nullptr);
    }
    EXPECT_EQ(SLIBErrorGet(), 0);
}

TEST(UnicodeLocale, UnsupportedLocaleRefusedAndOldOneKept)
{
    ASSERT_EQ(SLIBUnicodeSetLocale("fr_FR"), 1);
    for (const char *name : {"xx_XX", "en_us", "de", "root", "zh_TW_STROKE_", "en_US "}) {
        SCOPED_TRACE(name);
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBUnicodeSetLocale(name), -1);
        EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_NOT_FOUND);
        EXPECT_STREQ(SLIBErrorGetFile(), "unicode_set_locale");
        const char *szLocale = nullptr;
        EXPECT_EQ(SLIBUnicodeGetLocale(1, &szLocale), 1);
        EXPECT_STREQ(szLocale, "fr_FR");
    }
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBUnicodeSetLocale(nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
}

TEST(UnicodeCollator, OpenedOnceForRootAndReused)
{
    // The first caseless operation opens it.
    EXPECT_EQ(SLIBUnicodeUTF8StrCaseCmp("a", "A"), 0);
    UCollator *coll = SLIBUnicodeOpenCollator();
    ASSERT_NE(coll, nullptr);
    EXPECT_EQ(SLIBUnicodeOpenCollator(), coll);
    UErrorCode err = U_ZERO_ERROR;
    EXPECT_STREQ(ucol_getLocaleByType(coll, ULOC_VALID_LOCALE, &err), "root");
    EXPECT_EQ(SLIBUnicodeUTF8StrCaseCmp("b", "a"), 1);
    EXPECT_EQ(SLIBUnicodeOpenCollator(), coll);
}

TEST(UnicodeCollator, OtherLocaleGetsItsOwnAndTheFirstStaysOpen)
{
    // Han characters: by code point in the root order, by reading in pinyin.
    const char *zhong = "\xe4\xb8\xad", *a = "\xe9\x98\xbf";
    EXPECT_EQ(SLIBUnicodeUTF8StrCaseCmp(zhong, a), -1);
    UCollator *root = SLIBUnicodeOpenCollator();
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(SLIBUnicodeSetLocale("zh__PINYIN"), 1);
    UCollator *pinyin = SLIBUnicodeOpenCollator();
    ASSERT_NE(pinyin, nullptr);
    EXPECT_NE(pinyin, root);
    EXPECT_EQ(SLIBUnicodeUTF8StrCaseCmp(zhong, a), 1);
    ASSERT_EQ(SLIBUnicodeSetLocale(""), 1);
    EXPECT_EQ(SLIBUnicodeOpenCollator(), root);
    EXPECT_EQ(SLIBUnicodeUTF8StrCaseCmp(zhong, a), -1);
    // Still usable: it was never closed.
    EXPECT_EQ(ucol_strcoll(pinyin, u"\u4e2d", -1, u"\u963f", -1), UCOL_GREATER);
}

TEST(UnicodeIcuData, DefaultDirectoryWhenUnset)
{
    unsetenv("ICU_DATA");
    EXPECT_EQ(SLIBUnicodeUTF8StrCaseCmp("x", "X"), 0);
    EXPECT_STREQ(u_getDataDirectory(), "/usr/lib");
}

TEST(UnicodeIcuData, EmptyMeansDefault)
{
    setenv("ICU_DATA", "", 1);
    EXPECT_EQ(SLIBUnicodeUTF8StrUpper("x", nullptr, 0), 1);
    EXPECT_STREQ(u_getDataDirectory(), "/usr/lib");
}

TEST(UnicodeIcuData, DirectoryThatDoesNotExist)
{
    // The collation and case data are built into ICU: only tables such as
    // code-page converters come from the directory.
    setenv("ICU_DATA", "/nonexistent/icu", 1);
    char buf[16];
    EXPECT_EQ(SLIBUnicodeUTF8StrUpper("stra\xc3\x9f"
                                      "e",
                                      buf, sizeof buf),
              7);
    EXPECT_STREQ(buf, "STRASSE");
    EXPECT_EQ(SLIBUnicodeUTF8StrCaseCmp("abc", "ABC"), 0);
    EXPECT_STREQ(u_getDataDirectory(), "/nonexistent/icu");
    EXPECT_EQ(SLIBErrorGet(), 0);
}

struct UpperCase {
    const char *src;
    const char *upper;
};

TEST(UnicodeUTF8StrUpper, FullCaseMapping)
{
    const UpperCase cases[] = {
        {"abc", "ABC"},
        {"Ab1-\xc3\xbc", "AB1-\xc3\x9c"}, // u with diaeresis
        {"\xc3\x9f", "SS"},               // sharp s
        {"stra\xc3\x9f"
         "e",
         "STRASSE"},
        {"\xef\xac\x81", "FI"},                                   // fi ligature
        {"\xc5\x89", "\xca\xbcN"},                                // n preceded by apostrophe
        {"\xce\x90", "\xce\x99\xcc\x88\xcc\x81"},                 // one unit becomes three
        {"\xd0\xbf\xd1\x80\xd0\xb8", "\xd0\x9f\xd0\xa0\xd0\x98"}, // Cyrillic
        {"\xe6\x97\xa5\xe6\x9c\xac", "\xe6\x97\xa5\xe6\x9c\xac"}, // no case
        {"\xf0\x90\x90\xa8", "\xf0\x90\x90\x80"},                 // Deseret, outside the BMP
        {"i", "I"},                                               // root, not Turkish
        {"ABC", "ABC"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.src);
        int len = static_cast<int>(strlen(c.upper));
        EXPECT_EQ(SLIBUnicodeUTF8StrUpper(c.src, nullptr, 0), len);
        std::vector<char> exact(static_cast<size_t>(len) + 1, 'x');
        EXPECT_EQ(SLIBUnicodeUTF8StrUpper(c.src, exact.data(), len + 1), len);
        EXPECT_EQ(std::string(exact.data(), exact.size()), std::string(c.upper, static_cast<size_t>(len) + 1));
        // One byte too small: the empty string, and the length still.
        std::vector<char> tight(static_cast<size_t>(len), 'x');
        EXPECT_EQ(SLIBUnicodeUTF8StrUpper(c.src, tight.data(), len), len);
        EXPECT_EQ(tight[0], '\0');
        EXPECT_EQ(std::string(tight.data() + 1, tight.size() - 1), std::string(tight.size() - 1, 'x'));
    }
    EXPECT_EQ(SLIBErrorGet(), 0);
}

TEST(UnicodeUTF8StrUpper, ExamplesOfTheLengthContract)
{
    char buf[8] = "zzzzzzz";
    EXPECT_EQ(SLIBUnicodeUTF8StrUpper("abc", buf, 4), 3);
    EXPECT_STREQ(buf, "ABC");
    memcpy(buf, "zzzzzzz", 8);
    EXPECT_EQ(SLIBUnicodeUTF8StrUpper("abc", buf, 3), 3);
    EXPECT_EQ(std::string(buf, 8), std::string("\0zzzzzz\0", 8));
    EXPECT_EQ(SLIBUnicodeUTF8StrUpper("abc", nullptr, 0), 3);
    // A buffer with cbDst 0 is not touched.
    memcpy(buf, "zzzzzzz", 8);
    EXPECT_EQ(SLIBUnicodeUTF8StrUpper("abc", buf, 0), 3);
    EXPECT_STREQ(buf, "zzzzzzz");
    EXPECT_EQ(SLIBUnicodeUTF8StrUpper("\xc3\x9f", nullptr, 0), 2);
}

TEST(UnicodeUTF8StrUpper, EmptySource)
{
    char buf[4] = "zzz";
    EXPECT_EQ(SLIBUnicodeUTF8StrUpper("", buf, 1), 0);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], 'z');
    EXPECT_EQ(SLIBUnicodeUTF8StrUpper("", nullptr, 0), 0);
    EXPECT_EQ(SLIBErrorGet(), 0);
}

TEST(UnicodeUTF8StrUpper, BadArguments)
{
    char buf[4] = "zzz";
    struct {
        const char *src;
        char *dst;
        int cb;
    } cases[] = {{nullptr, buf, 4}, {"a", buf, -1}, {"a", nullptr, 4}, {nullptr, nullptr, 0}};
    for (const auto &c : cases) {
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBUnicodeUTF8StrUpper(c.src, c.dst, c.cb), -1);
        EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
    }
    EXPECT_STREQ(buf, "zzz");
}

const char *const kInvalidUtf8[] = {
    "a\xff",            // never valid
    "\xc3",             // cut sequence
    "ab\xc3(",          // lead byte without its continuation
    "\xc0\xaf",         // overlong '/'
    "\xe0\x80\xaf",     // overlong, three bytes
    "\xed\xa0\x80",     // encoded surrogate
    "\xf4\x90\x80\x80", // beyond U+10FFFF
    "\x80",             // lone continuation
};

TEST(UnicodeUTF8StrUpper, InvalidUtf8)
{
    for (const char *s : kInvalidUtf8) {
        SCOPED_TRACE(testing::PrintToString(s));
        char buf[16] = "untouched";
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBUnicodeUTF8StrUpper(s, buf, sizeof buf), -1);
        EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_UNICODE);
        EXPECT_STREQ(SLIBErrorGetFile(), "unicode_utf8_str_upper");
        EXPECT_STREQ(buf, "untouched");
    }
}

TEST(UnicodeUTF8StrUpper, LengthBeyondIcuCapacity)
{
    // 2 x 1025 MiB + 1 units does not fit a 32-bit capacity.
    vakotest::HugeString huge(1025);
    ASSERT_NE(huge.c_str(), nullptr);
    EXPECT_EQ(SLIBUnicodeUTF8StrUpper(huge.c_str(), nullptr, 0), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_OUT_OF_MEMORY);
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBUnicodeUTF8StrCountChar(huge.c_str()), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_OUT_OF_MEMORY);
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBUnicodeUTF8StrCaseCmp("a", huge.c_str()), -2);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_OUT_OF_MEMORY);
}

TEST(UnicodeUTF8StrUpper, AllocationFailure)
{
    VAKOTEST_SKIP_UNLESS_ALLOCATIONS_CAN_FAIL();
    ASSERT_EQ(SLIBUnicodeUTF8StrUpper("warm up", nullptr, 0), 7);
    std::string big(32u << 20, 'a');
    int rc = 0;
    ASSERT_TRUE(
        vakotest::WithAddressSpaceLimit(16u << 20, [&] { rc = SLIBUnicodeUTF8StrUpper(big.c_str(), nullptr, 0); }));
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_OUT_OF_MEMORY);
}

TEST(UnicodeUTF16StrUpper, ResultsAndGrowth)
{
    struct {
        const char *src;
        int cch;
        const char *upper;
        bool grows;
    } cases[] = {
        {"abc", 4, "ABC", false},    {"abc", 10, "ABC", false},
        {"abc", 3, "ABC", true}, // no room for the NUL
        {"abc", 1, "ABC", true},     {"\xc3\x9f", 3, "SS", false},
        {"\xc3\x9f", 2, "SS", true}, {"\xce\x90", 3, "\xce\x99\xcc\x88\xcc\x81", true}, // three units, exactly the size
        {"", 1, "", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.src << " in " << c.cch);
        UChar *src = NewUtf16(c.src);
        auto *dst = static_cast<UChar *>(malloc(static_cast<size_t>(c.cch) * sizeof(UChar)));
        UChar *before = dst;
        int len = SLIBUnicodeUTF16StrUpper(src, &dst, c.cch);
        ASSERT_GE(len, 0);
        // Reading the NUL is out of bounds unless the block was grown.
        EXPECT_EQ(dst[len], 0);
        EXPECT_EQ(ToUtf8(dst), c.upper);
        EXPECT_EQ(len, u_strlen(dst));
        if (!c.grows) {
            EXPECT_EQ(dst, before);
        }
        free(dst);
        free(src);
    }
    EXPECT_EQ(SLIBErrorGet(), 0);
}

TEST(UnicodeUTF16StrUpper, BadArguments)
{
    UChar *src = NewUtf16("a");
    auto *dst = static_cast<UChar *>(malloc(4 * sizeof(UChar)));
    UChar *none = nullptr;
    struct {
        const UChar *src;
        UChar **pDst;
        int cch;
    } cases[] = {{nullptr, &dst, 4}, {src, nullptr, 4}, {src, &none, 4}, {src, &dst, 0}, {src, &dst, -3}};
    for (const auto &c : cases) {
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBUnicodeUTF16StrUpper(c.src, c.pDst, c.cch), -1);
        EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
        EXPECT_STREQ(SLIBErrorGetFile(), "unicode_utf16_str_upper");
    }
    free(dst);
    free(src);
}

TEST(UnicodeUTF16StrUpper, FailedGrowthKeepsTheOldBlock)
{
    VAKOTEST_SKIP_UNLESS_ALLOCATIONS_CAN_FAIL();
    std::u16string src(24u << 20, u'a');
    auto *dst = static_cast<UChar *>(malloc(2 * sizeof(UChar)));
    dst[0] = u'q';
    UChar *before = dst;
    int rc = 0;
    ASSERT_TRUE(vakotest::WithAddressSpaceLimit(
        8u << 20, [&] { rc = SLIBUnicodeUTF16StrUpper(reinterpret_cast<const UChar *>(src.c_str()), &dst, 2); }));
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_OUT_OF_MEMORY);
    EXPECT_EQ(dst, before);
    free(dst);
}

struct CmpCase {
    const char *a;
    const char *b;
    int expected;
};

TEST(UnicodeUTF8StrCaseCmp, CaselessCollationOrder)
{
    const CmpCase cases[] = {
        {"abc", "ABC", 0},
        {"a", "b", -1},
        {"b", "A", 1},
        {"stra\xc3\x9f"
         "e",
         "STRASSE", 0},
        {"Stra\xc3\x9f"
         "e",
         "strasse", 0},
        {"", "", 0},
        {"", "a", -1},
        {"a", "", 1},
        {"\xc3\xa4", "B", -1}, // a with diaeresis sorts before b, not after z as bytes do
        {"Z", "a", 1},
        {"\xc3\xa9", "E", 1},        // the accent still counts
        {"\xc3\xa9", "\xc3\x89", 0}, // but not its case
        {"\xd0\xbf\xd1\x80\xd0\xb8", "\xd0\x9f\xd0\xa0\xd0\x98", 0},
        {"user10", "user9", -1}, // no numeric ordering
        {"a b", "ab", -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.a << " vs " << c.b);
        EXPECT_EQ(SLIBUnicodeUTF8StrCaseCmp(c.a, c.b), c.expected);
        EXPECT_EQ(SLIBUnicodeUTF8StrCaseCmp(c.b, c.a), -c.expected);
    }
    EXPECT_EQ(SLIBErrorGet(), 0);
}

TEST(UnicodeUTF8StrCaseCmp, Errors)
{
    EXPECT_EQ(SLIBUnicodeUTF8StrCaseCmp(nullptr, "a"), -2);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBUnicodeUTF8StrCaseCmp("a", nullptr), -2);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
    for (const char *s : kInvalidUtf8) {
        SCOPED_TRACE(testing::PrintToString(s));
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBUnicodeUTF8StrCaseCmp(s, "a"), -2);
        EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_UNICODE);
        EXPECT_STREQ(SLIBErrorGetFile(), "unicode_utf8_str_case_cmp");
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBUnicodeUTF8StrCaseCmp("a", s), -2);
        EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_UNICODE);
    }
}

TEST(UnicodeUTF8StrCountChar, CodePoints)
{
    const struct {
        const char *s;
        int n;
    } cases[] = {
        {"a\xc3\xb1\xe2\x82\xac", 3}, // 1 + 2 + 3 bytes
        {"", 0},
        {"\xf0\x9f\x98\x80", 1}, // a surrogate pair counts once
        {"abc", 3},
        {"\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.s);
        EXPECT_EQ(SLIBUnicodeUTF8StrCountChar(c.s), c.n);
    }
    EXPECT_EQ(SLIBErrorGet(), 0);
    EXPECT_EQ(SLIBUnicodeUTF8StrCountChar(nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
    for (const char *s : kInvalidUtf8) {
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBUnicodeUTF8StrCountChar(s), -1);
        EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_UNICODE);
        EXPECT_STREQ(SLIBErrorGetFile(), "unicode_utf8_str_count_char");
    }
}

TEST(UnicodeAlwaysTrue, IsOne)
{
    EXPECT_EQ(UnicodeAlwaysTrue(), 1);
    EXPECT_EQ(SLIBErrorGet(), 0);
}

} // namespace
