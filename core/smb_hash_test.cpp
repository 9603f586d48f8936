#include "slib/smb_hash.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>

#include <string>

#include "slib/codepage.h"
#include "slib/error.h"
#include "vakotest/testkit.h"

namespace {

// Expected values come from independent DES and MD4 implementations.

using HashFn = int (*)(const char *, void *, int32_t);

std::string Hash(HashFn fn, const std::string &password)
{
    unsigned char out[SLIB_SMB_HASH_SIZE];
    if (fn(password.c_str(), out, sizeof out) != 0)
        return "<-1>";
    std::string hex;
    char b[3];
    for (unsigned char c : out) {
        snprintf(b, sizeof b, "%02X", c);
        hex += b;
    }
    return hex;
}
std::string Nt(const std::string &password) { return Hash(SLIBEncodingSmbMd4Hash, password); }
std::string Lm(const std::string &password) { return Hash(SLIBEncodingSmbLmHash, password); }

void SetLanguage(const char *code)
{
    vakotest::WriteFile(SZF_SLIB_CODEPAGE_CONF, std::string("codepage=") + code + "\n");
}

constexpr char kFox[] = "The quick brown fox jumps over the lazy dog";

TEST(SmbNtHash, KnownDigests)
{
    struct {
        std::string password;
        const char *hash;
    } cases[] = {
        {"password", "8846F7EAEE8FB117AD06BDD830B7586C"},
        {"", "31D6CFE0D16AE931B73C59D7E0C089C0"},
        // 54 bytes of UTF-16: one tail block; 56 and 64: two; 80: a whole
        // block first.
        {std::string(kFox, 27), "C321340168902FD32E55F34D0441F1CC"},
        {std::string(kFox, 28), "317C93D121C263F5AA7E920A0952249F"},
        {std::string(kFox, 32), "47B0E01B6700B6FC40C23B0F31D994E9"},
        {std::string(kFox, 40), "E5507E138D58B02501B2E7C67831F7D4"},
        {kFox, "4E6A076AE1B04A815FA6332F69E2E231"},
        {"\u00dcn\u00efc\u00f8d\u00e9\u20ac", "8B4A54637C40C7B7ABCE194036755112"},
        {"\u65e5\u672c\u8a9e", "CED13822047F22CE2B3E7D763955F48E"},
        {std::string(127, 'a'), "D2ECF84D0BFD02B60DAB8BCB1CC13253"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.password);
        EXPECT_EQ(Nt(c.password), c.hash);
    }
}

TEST(SmbNtHash, LongPasswordCutAt127Units)
{
    EXPECT_EQ(Nt(std::string(128, 'a')), Nt(std::string(127, 'a')));
    EXPECT_EQ(Nt(std::string(200, 'a')), Nt(std::string(127, 'a')));
    EXPECT_EQ(Nt(std::string(127, 'a') + "XYZ"), Nt(std::string(127, 'a')));
    std::string euro;
    for (int i = 0; i < 200; ++i)
        euro += "\u20ac";
    std::string euro127;
    for (int i = 0; i < 127; ++i)
        euro127 += "\u20ac";
    EXPECT_EQ(Nt(euro), Nt(euro127));
    EXPECT_NE(Nt(euro127), Nt(euro127.substr(0, euro127.size() - 3)));
}

TEST(SmbNtHash, BadCharacterEndsTheTextAndNeverLogsThePassword)
{
    struct {
        std::string password;
        int before;
        std::string hashed;
    } cases[] = {
        {"secret\U0001F600tail", 6, "secret"},
        {"ab\x80"
         "cd",
         2, "ab"},
        {"ab\xc3", 2, "ab"},
        {"ab\xe2\x82", 2, "ab"},
        {"\xff", 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.before);
        vakotest::SyslogClear();
        SLIBErrorSet(0);
        EXPECT_EQ(Nt(c.password), Nt(c.hashed));
        EXPECT_EQ(SLIBErrorGet(), 0);
        auto lines = vakotest::SyslogLines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, LOG_ERR);
        std::string re = "encoding_smb_md4hash:[0-9]+ Bad UTF-8 character after \\[" + std::to_string(c.before) +
                         "\\]-th character of string: \\[[^\\]]*\\]";
        EXPECT_TRUE(vakotest::RegexMatches(lines[0].text, re)) << lines[0].text;
        if (!c.hashed.empty()) {
            EXPECT_EQ(lines[0].text.find(c.hashed), std::string::npos) << lines[0].text;
        }
    }
}

TEST(SmbLmHash, KnownHashes)
{
    SetLanguage("enu");
    struct {
        const char *password;
        const char *hash;
    } cases[] = {
        {"password", "E52CAC67419A9A224A3B108F3FA6CB6D"},
        {"PassWord", "E52CAC67419A9A224A3B108F3FA6CB6D"},
        {"", "AAD3B435B51404EEAAD3B435B51404EE"},
        {"Password1", "E52CAC67419A9A2238F10713B629B565"},
        {"abcdefghijklmnop", "E0C510199CC66ABD8C51EC214BEBDEA1"},
        // Upper-cased, then in the Windows page 1252.
        {"cr\u00e8me br\u00fbl\u00e9e", "28BCDB2E437D553FCE72884AD0AF8269"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.password);
        EXPECT_EQ(Lm(c.password), c.hash);
    }
}

TEST(SmbLmHash, CodePageOfTheLanguage)
{
    SetLanguage("rus");
    EXPECT_EQ(Lm("\u043f\u0430\u0440\u043e\u043b\u044c"), "18BAB918AD94DED9AAD3B435B51404EE");
    // UTF-8 bytes taken unchanged.
    SetLanguage("utf8");
    EXPECT_EQ(Lm("\u00e9"), "6C4277F33AB039B9AAD3B435B51404EE");
}

TEST(SmbLmHash, OnlyTheFirst14BytesCount)
{
    SetLanguage("enu");
    EXPECT_EQ(Lm("abcdefghijklmnXYZ"), Lm("ABCDEFGHIJKLMN"));
    EXPECT_NE(Lm("abcdefghijklm"), Lm("abcdefghijklmn"));
    // 127 bytes upper-cased fit; 128 do not.
    EXPECT_EQ(Lm(std::string(127, 'q')), Lm(std::string(14, 'Q')));
    SLIBErrorSet(0);
    EXPECT_EQ(Lm(std::string(128, 'q')), "<-1>");
}

TEST(SmbHash, RefusalsLeaveTheOutputAlone)
{
    SetLanguage("enu");
    for (HashFn fn : {SLIBEncodingSmbMd4Hash, SLIBEncodingSmbLmHash}) {
        SCOPED_TRACE(fn == SLIBEncodingSmbLmHash ? "LM" : "NT");
        unsigned char out[SLIB_SMB_HASH_SIZE + 1];
        memset(out, 0x5A, sizeof out);
        struct {
            const char *password;
            unsigned char *out;
            int32_t cb;
            int code;
        } cases[] = {
            {"password", out, 15, SLIB_ERR_BUFFER_SMALL},
            {"password", nullptr, 16, SLIB_ERR_BAD_PARAMETER},
            {nullptr, out, 16, SLIB_ERR_BAD_PARAMETER},
        };
        for (auto c : cases) {
            SLIBErrorSet(0);
            EXPECT_EQ(fn(c.password, c.out, c.cb), -1);
            EXPECT_EQ(SLIBErrorGet(), c.code);
        }
        for (unsigned char b : out)
            EXPECT_EQ(b, 0x5A);

        // Exactly 16 bytes written.
        EXPECT_EQ(fn("password", out, 16), 0);
        EXPECT_EQ(out[16], 0x5A);
        EXPECT_NE(out[15], 0x5A);
    }
}

TEST(SmbLmHash, NeedsTheCodePageSetting)
{
    vakotest::WriteFile(SZF_SLIB_CODEPAGE_CONF, "language=enu\n");
    unsigned char out[SLIB_SMB_HASH_SIZE];
    memset(out, 0x5A, sizeof out);
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBEncodingSmbLmHash("password", out, sizeof out), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_NOT_FOUND);
    SetLanguage("xyz");
    EXPECT_EQ(SLIBEncodingSmbLmHash("password", out, sizeof out), -1);
    for (unsigned char b : out)
        EXPECT_EQ(b, 0x5A);
}

} // namespace
