#include "slib/codepage.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unicode/utypes.h>

#include <string>

#include "slib/error.h"
#include "vakotest/testkit.h"

namespace {

void WriteCodePage(const std::string &lines) { vakotest::WriteFile(SZF_SLIB_CODEPAGE_CONF, lines); }

// Records at LOG_ERR whose text matches re whole.
int ErrLogCount(const std::string &re)
{
    int n = 0;
    for (const auto &l : vakotest::SyslogLines())
        n += l.level == LOG_ERR && vakotest::RegexMatches(l.text, re);
    return n;
}

// The converted bytes of src, or "<-1>".
std::string ToCP(int index, const char *src)
{
    char buf[64];
    memset(buf, 0x55, sizeof buf);
    int n = SLIBUnicodeStrUTF8ToCP(index, src, buf, sizeof buf);
    if (n < 0)
        return "<-1>";
    EXPECT_EQ(buf[n], '\0');
    return std::string(buf, static_cast<size_t>(n));
}

TEST(CodePageGet, IndexOfTheConfiguredLanguage)
{
    constexpr char kBoth[] = "codepage=enu\ncodepage_mediaservice=rus\n";
    struct {
        const char *file;
        int kind, index;
    } cases[] = {
        {"codepage=\"enu\"\n", SLIB_CODEPAGE_WINDOWS, 15},
        {"codepage=\"enu\"\n", SLIB_CODEPAGE_DOS, 2},
        {"codepage=\"enu\"\n", SLIB_CODEPAGE_MAC, 31},
        {"codepage=GER\n", SLIB_CODEPAGE_WINDOWS, 15},
        {"codepage=GER\n", SLIB_CODEPAGE_DOS, 4},
        {kBoth, SLIB_CODEPAGE_MEDIA, 14},
        {kBoth, SLIB_CODEPAGE_WINDOWS, 15},
    };
    for (auto c : cases) {
        SCOPED_TRACE(std::string(c.file) + " kind " + std::to_string(c.kind));
        WriteCodePage(c.file);
        int index = -7;
        EXPECT_EQ(SLIBConfCodePageGet(c.kind, &index), 0);
        EXPECT_EQ(index, c.index);
    }
}

TEST(CodePageGet, UnusableSettingsRefused)
{
    struct {
        const char *file;
        int kind, code;
    } cases[] = {
        {"codepage=abc\n", SLIB_CODEPAGE_WINDOWS, 0},
        // Seven characters is the longest value read.
        {"codepage=1234567\n", SLIB_CODEPAGE_WINDOWS, 0},
        {"codepage=\n", SLIB_CODEPAGE_WINDOWS, SLIB_ERR_NOT_FOUND},
        {"language=enu\n", SLIB_CODEPAGE_WINDOWS, SLIB_ERR_NOT_FOUND},
        {"codepage=rus\n", SLIB_CODEPAGE_MEDIA, SLIB_ERR_NOT_FOUND},
        {"codepage=12345678\n", SLIB_CODEPAGE_WINDOWS, SLIB_ERR_BUFFER_SMALL},
        {"codepage=enu     x\n", SLIB_CODEPAGE_WINDOWS, SLIB_ERR_BUFFER_SMALL},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.file);
        WriteCodePage(c.file);
        SLIBErrorSet(0);
        int index = -7;
        EXPECT_EQ(SLIBConfCodePageGet(c.kind, &index), -1);
        EXPECT_EQ(SLIBErrorGet(), c.code);
        EXPECT_EQ(index, -7);
    }

    int index = -7;
    vakotest::RemoveFile(SZF_SLIB_CODEPAGE_CONF);
    EXPECT_EQ(SLIBConfCodePageGet(SLIB_CODEPAGE_WINDOWS, &index), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_OPEN);

    SLIBErrorSet(0);
    EXPECT_EQ(SLIBConfCodePageGet(SLIB_CODEPAGE_WINDOWS, nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
}

TEST(CodePageParse, EveryLanguageAndKind)
{
    struct {
        const char *code;
        int ansi, oem;
    } rows[] = {
        {"utf8", 0, 0},  {"enu", 15, 2},  {"fre", 15, 4}, {"ger", 15, 4},  {"ita", 15, 4}, {"spn", 15, 4},
        {"cht", 12, 12}, {"chs", 10, 10}, {"jpn", 9, 9},  {"krn", 11, 11}, {"ptb", 15, 4}, {"rus", 14, 8},
        {"dan", 15, 4},  {"nor", 15, 4},  {"sve", 15, 4}, {"nld", 15, 4},  {"plk", 13, 5}, {"ptg", 15, 4},
        {"hun", 13, 5},  {"trk", 17, 6},  {"csy", 13, 5},
    };
    for (auto r : rows) {
        SCOPED_TRACE(r.code);
        EXPECT_EQ(SLIBUnicodeCodepageValueParse(SLIB_CODEPAGE_WINDOWS, r.code), r.ansi);
        EXPECT_EQ(SLIBUnicodeCodepageValueParse(SLIB_CODEPAGE_MEDIA, r.code), r.ansi);
        EXPECT_EQ(SLIBUnicodeCodepageValueParse(SLIB_CODEPAGE_DOS, r.code), r.oem);
        EXPECT_EQ(SLIBUnicodeCodepageValueParse(SLIB_CODEPAGE_MAC, r.code), r.ansi + 16);
    }
    EXPECT_EQ(SLIBUnicodeCodepageValueParse(SLIB_CODEPAGE_DOS, "RuS"), 8);
}

TEST(CodePageParse, UnknownLanguageHasNoCode)
{
    for (const char *lang : {"", "en", "enus", "enu ", "xyz"}) {
        SCOPED_TRACE(lang);
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBUnicodeCodepageValueParse(SLIB_CODEPAGE_WINDOWS, lang), -1);
        EXPECT_EQ(SLIBErrorGet(), 0);
    }
    // The language is looked up before the kind is checked.
    EXPECT_EQ(SLIBUnicodeCodepageValueParse(9, "xyz"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0);
}

TEST(CodePageParse, BadKindOrNullLanguageLogged)
{
    vakotest::SyslogClear();
    for (int kind : {0, 5, -1}) {
        SCOPED_TRACE(kind);
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBUnicodeCodepageValueParse(kind, "enu"), -1);
        EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
        EXPECT_EQ(
            ErrLogCount("unicode_codepage_value_parse:[0-9]+ Bad parameter \\(" + std::to_string(kind) + "\\)\\."), 1);
    }
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBUnicodeCodepageValueParse(SLIB_CODEPAGE_DOS, nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
    EXPECT_EQ(ErrLogCount("unicode_codepage_value_parse:[0-9]+ Bad parameter \\(2\\)\\."), 1);
}

TEST(CodePageConverter, IndexOutsideTheTableRefused)
{
    for (int index : {34, -1, 1000}) {
        SCOPED_TRACE(index);
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBUnicodeOpenConvertor(index), nullptr);
        EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
    }
}

TEST(CodePageConverter, EveryIndexOpensOnceAndStays)
{
    // Without the appliance's own tables each opens the stock converter
    // of its code page.
    for (int index = 0; index < SLIB_CODEPAGE_COUNT; ++index) {
        SCOPED_TRACE(index);
        SLIBErrorSet(0);
        UConverter *cnv = SLIBUnicodeOpenConvertor(index);
        ASSERT_NE(cnv, nullptr);
        EXPECT_EQ(SLIBUnicodeOpenConvertor(index), cnv);
        EXPECT_EQ(SLIBErrorGet(), 0);
    }
}

TEST(CodePageConvert, EachPageGivesItsBytes)
{
    struct {
        int index;
        const char *utf8;
        const char *bytes;
    } cases[] = {
        {2, "\u00e9\u00a3", "\x82\x9c"},
        {3, "\u03a9", "\x97"},
        {4, "\u00e9\u00d8", "\x82\x9d"},
        {5, "\u0151", "\x8b"},
        {6, "\u015f", "\x9f"},
        {7, "\u00de\u00f0", "\x8d\x8c"},
        {8, "\u0416", "\x86"},
        {9, "\u3042", "\x82\xa0"},
        {10, "\u4e2d", "\xd6\xd0"},
        {11, "\ud55c", "\xc7\xd1"},
        {12, "\u4e2d", "\xa4\xa4"},
        {13, "\u0151", "\xf5"},
        {14, "\u0416", "\xc6"},
        {15, "\u20ac\u00e9", "\x80\xe9"},
        {16, "\u03a9", "\xd9"},
        {17, "\u015f", "\xfe"},
        {18, "\u00e9\u20ac", "\x8e\xdb"},
        {19, "\u03a9", "\xbf"},
        {22, "\u015f", "\xdf"},
        {24, "\u0416", "\x86"},
        {25, "\u3042", "\x82\xa0"},
        {26, "\u4e2d", "\xd6\xd0"},
        {27, "\ud55c", "\xc7\xd1"},
        {28, "\u4e2d", "\xa4\xa4"},
        {0, "\u00e9", "\xc3\xa9"},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.index);
        EXPECT_EQ(ToCP(c.index, c.utf8), c.bytes);
        EXPECT_EQ(ToCP(c.index, "Az"), "Az");
    }
}

TEST(CodePageConvert, CharacterThePageLacksBecomesItsSubstitute)
{
    EXPECT_EQ(ToCP(15, "a\u0416b"), "a\x1a"
                                    "b");
}

TEST(CodePageConvert, Utf16WithItsByteOrderMark)
{
    // Its mark makes the text longer than two bytes per unit; ICU writes
    // the processor's byte order.
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    EXPECT_EQ(ToCP(1, "A\u00e9"), std::string("\xfe\xff\0A\0\xe9", 6));
#else
    EXPECT_EQ(ToCP(1, "A\u00e9"), std::string("\xff\xfe"
                                              "A\0\xe9\0",
                                              6));
#endif
    EXPECT_EQ(ToCP(1, ""), "");
}

TEST(CodePageConvert, ResultLongerThanTheRoomGivesTheEmptyString)
{
    char buf[4] = "xyz";
    EXPECT_EQ(SLIBUnicodeStrUTF8ToCP(0, "abc", buf, 3), 3);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(SLIBUnicodeStrUTF8ToCP(0, "abc", buf, 4), 3);
    EXPECT_STREQ(buf, "abc");

    char two[3] = "zz";
    EXPECT_EQ(SLIBUnicodeStrUTF8ToCP(9, "\u3042", two, 2), 2);
    EXPECT_STREQ(two, "");
    char three[3] = "zz";
    EXPECT_EQ(SLIBUnicodeStrUTF8ToCP(9, "\u3042", three, 3), 2);
    EXPECT_STREQ(three, "\x82\xa0");

    EXPECT_EQ(SLIBUnicodeStrUTF8ToCP(10, "\u4e2d\u4e2d", nullptr, 0), 4);
    EXPECT_EQ(SLIBUnicodeStrUTF8ToCP(15, "", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
}

TEST(CodePageConvert, BadArgumentsAndBadText)
{
    char buf[8];
    struct {
        int index;
        const char *src;
        char *dst;
        int cb, code;
    } cases[] = {
        {15, nullptr, buf, 8, SLIB_ERR_BAD_PARAMETER}, {15, "a", buf, -1, SLIB_ERR_BAD_PARAMETER},
        {15, "a", nullptr, 8, SLIB_ERR_BAD_PARAMETER}, {34, "a", buf, 8, SLIB_ERR_BAD_PARAMETER},
        {-3, "a", buf, 8, SLIB_ERR_BAD_PARAMETER},     {15, "a\xff", buf, 8, SLIB_ERR_UNICODE},
        {15, "a\xc3", buf, 8, SLIB_ERR_UNICODE},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.index);
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBUnicodeStrUTF8ToCP(c.index, c.src, c.dst, c.cb), -1);
        EXPECT_EQ(SLIBErrorGet(), c.code);
    }
}

TEST(CodePageConverter, AppliancesOwnTableWinsOverTheStockOne)
{
    // A table of our own under the appliance's name that swaps A and B.
    const std::string dir = "/tmp/icu";
    vakotest::WriteFile(dir + "/vako_win_westeuro_1252.ucm",
                        "<code_set_name> \"vako_win_westeuro_1252\"\n"
                        "<mb_cur_max> 1\n<mb_cur_min> 1\n<uconv_class> \"SBCS\"\n<subchar> \\x3F\n"
                        "CHARMAP\n"
                        "<U0041> \\x42 |0\n<U0042> \\x41 |0\n<U003F> \\x3F |0\n"
                        "END CHARMAP\n");
    vakotest::MakeDirs(dir + "/" U_ICUDATA_NAME);
    auto r = vakotest::Run({"makeconv", "-d", dir, dir + "/vako_win_westeuro_1252.ucm"});
    ASSERT_EQ(r.status, 0) << r.err;
    // makeconv writes this machine's byte order; ICU reads tables in the
    // processor's own only.
    r = vakotest::Run({"icupkg", U_IS_BIG_ENDIAN ? "-tb" : "-tl", dir + "/vako_win_westeuro_1252.cnv",
                       dir + "/" U_ICUDATA_NAME "/vako_win_westeuro_1252.cnv"});
    ASSERT_EQ(r.status, 0) << r.err;
    setenv("ICU_DATA", dir.c_str(), 1);

    EXPECT_EQ(ToCP(15, "ABA"), "BAB");
    // Code pages without a table of their own still open the stock one.
    EXPECT_EQ(ToCP(13, "ABA"), "ABA");
}

} // namespace
