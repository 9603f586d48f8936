#include "vako/cipher.h"

#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "vakotest/logs.h"

#include "vakotest/cryptfault.h"

// crypt as the library sees it: the test kit's, failing while armed.
using vakotest::gCryptFails;
using vakotest::gCryptResult;

namespace {

// The cipher text of text in a buffer of len + extra bytes, or "<-1>";
// the bytes after the text must be zero.
std::string Cipher(const std::string &text, size_t extra = 4)
{
    std::string out(text.size() + extra, '\xA5');
    if (VAKOStrCrypt(text.c_str(), out.data(), static_cast<int32_t>(out.size())) != 0)
        return "<-1>";
    for (size_t i = text.size(); i < out.size(); ++i)
        EXPECT_EQ(out[i], '\0') << "byte " << i;
    out.resize(text.size());
    return out;
}

std::string Unhex(const std::string &hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// Keyed by crypt("QKRTV_7.4", "QX") = "QXei8lg5HmXIM"; computed apart from
// this code.
constexpr char kA300[] = "39431E09D0DCC8BAE68FD3E70B8DDAA533773A7823C90E4183D07B938EB0A43383692509BFCC374B"
                         "9C594A07F024CDE723EEAD6D47D0D13397353FD9DF1E6455FE5E3F6260837A03DB346CE8042FB163"
                         "DD5FBD1D9856FF64849E5E9BB9AEB048081EE02695BD743F8CC6786712FA2BB8675B64F2D15E5B62"
                         "604EB43EEFF91574E64A0375D27CAFE8F294B12AB5DC6CB7F6DB4E369D27244D2D56F5767CB711BA"
                         "466260A8F28FF195957C14B97E1205AB4C7867E909DBB7465B94E3D22E82D4A49F05E7B446830A87"
                         "4A4476B9E50EFC8D25BBDA3313639F5F8976112D2DC4404C0DE28F7FF10B9D3F78BF1A882E3B4CBE"
                         "9E8F9F0BC3F068810817A4358B5A234A3658EA317EC933EC1D774D2A8AB3C1FEC308E8F3A0AC7C63"
                         "1F5F1004FB8BB74B654429DA5D20D69B83D618CB";

TEST(StrCrypt, FixedCipherTexts)
{
    struct {
        std::string text;
        const char *hex;
    } cases[] = {
        {"password", "B44335DB918652D6"},
        // Bytes above 0x7F index the tables as 128 to 255.
        {"secret\xff\x80\xc3\xa9", "4CE0D234EA969056DAA7"},
        // A cipher byte may be zero.
        {"Y ", "005E"},
        // From byte 256 on the second counter has moved.
        {std::string(300, 'a'), kA300},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.hex);
        EXPECT_EQ(Cipher(c.text), Unhex(c.hex));
        // And again: every call rebuilds the same tables.
        EXPECT_EQ(Cipher(c.text, 1), Unhex(c.hex));
    }
}

TEST(StrCrypt, CipherOfTheCipherTextIsTheText)
{
    for (const std::string &text : {std::string("password"), std::string("secret\xff\x80\xc3\xa9"),
                                    std::string(300, 'a'), std::string("n3tw0rk-b@ckup")}) {
        SCOPED_TRACE(text);
        std::string once = Cipher(text);
        ASSERT_EQ(once.size(), text.size());
        ASSERT_EQ(once.find('\0'), std::string::npos);
        EXPECT_NE(once, text);
        EXPECT_EQ(Cipher(once), text);
    }
}

TEST(StrCrypt, EmptyTextGivesZeros)
{
    unsigned char out[8];
    memset(out, 0xA5, sizeof out);
    EXPECT_EQ(VAKOStrCrypt("", out, sizeof out), 0);
    for (unsigned char b : out)
        EXPECT_EQ(b, 0);
}

TEST(StrCrypt, RoomMustHoldTheTextAndOneMore)
{
    vakotest::SyslogClear();
    unsigned char out[9];
    memset(out, 0xA5, sizeof out);
    for (int32_t room : {8, 0, -1}) {
        SCOPED_TRACE(room);
        EXPECT_EQ(VAKOStrCrypt("password", out, room), -1);
    }
    EXPECT_EQ(vakotest::SyslogCount("crypt_str_crypt VAKOStrCrypt({L}): iLen is not enough!!"), 3);
    for (unsigned char b : out)
        EXPECT_EQ(b, 0xA5);
    EXPECT_EQ(VAKOStrCrypt("password", out, 9), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 9), Unhex("B44335DB918652D600"));
}

TEST(StrCrypt, MissingArguments)
{
    vakotest::SyslogClear();
    unsigned char out[8];
    EXPECT_EQ(VAKOStrCrypt(nullptr, out, sizeof out), -1);
    EXPECT_EQ(VAKOStrCrypt("a", nullptr, 8), -1);
    EXPECT_EQ(vakotest::SyslogCount("crypt_str_crypt VAKOStrCrypt({L}): wrong parameters"), 2);
}

TEST(StrCrypt, FailsWhenCryptGivesNoKey)
{
    struct {
        const char *result;
    } cases[] = {{nullptr}, {"*0"}, {"*"}, {""}, {"QXei8lg5HmXI"}, {"QXei8lg5HmXIMx"}};
    for (auto c : cases) {
        SCOPED_TRACE(c.result ? c.result : "NULL");
        vakotest::SyslogClear();
        gCryptFails = true;
        gCryptResult = c.result;
        unsigned char out[12];
        memset(out, 0xA5, sizeof out);
        EXPECT_EQ(VAKOStrCrypt("password", out, sizeof out), -1);
        gCryptFails = false;
        for (unsigned char b : out)
            EXPECT_EQ(b, 0);
        EXPECT_EQ(vakotest::SyslogCount("crypt_str_crypt StrCryptSetup({L}): crypt() failed"), 1);
    }
    EXPECT_EQ(Cipher("password"), Unhex("B44335DB918652D6"));
}

} // namespace
