#include "slib/base64.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "slib/error.h"

namespace {

struct Decoded {
    int result;
    std::string bytes;
};

// Decodes text (its length, or len) with room bytes; checks that nothing
// beyond the count was written.
Decoded Decode(const std::string &text, int32_t room = 64)
{
    unsigned char buf[80];
    memset(buf, 0xA5, sizeof buf);
    int32_t cb = room;
    int r = Base64Decode(text.data(), static_cast<uint32_t>(text.size()), buf, &cb);
    EXPECT_GE(cb, 0);
    EXPECT_LE(cb, room < 0 ? 0 : room);
    for (size_t i = static_cast<size_t>(cb); i < sizeof buf; ++i)
        EXPECT_EQ(buf[i], 0xA5) << "byte " << i;
    return {r, std::string(reinterpret_cast<char *>(buf), static_cast<size_t>(cb))};
}

TEST(Base64Decode, ValidTexts)
{
    struct {
        std::string text, bytes;
    } cases[] = {
        {"", ""},
        {"QQ==", "A"},
        {"QUI=", "AB"},
        {"QUJD", "ABC"},
        {"QQA=", std::string("A\0", 2)},
        {"QUJDREVG", "ABCDEF"},
        {"+/+/", "\xfb\xff\xbf"},
        {"AAAA", std::string(3, '\0')},
        // Bits of the last character that carry no data may hold anything.
        {"QR==", "A"},
        {"QUJ=", "AB"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        Decoded d = Decode(c.text);
        EXPECT_EQ(d.result, 1);
        EXPECT_EQ(d.bytes, c.bytes);
    }
}

TEST(Base64Decode, InvalidTextsKeepWhatCameBefore)
{
    struct {
        std::string text, bytes;
    } cases[] = {
        {"Q", ""},
        {"QQ", "A"},
        {"QUJ", "AB"},
        {"QUJDQ", "ABC"},
        {"QQ=A", "A"},
        {"Q===", ""},
        {"QQ==QUJD", "A"},
        {"QUI=QUJD", "AB"},
        {"=QUJ", ""},
        {"QU*D", "A"},
        {"QUJ-", "AB"},
        {"QUJDQU\nJ", "ABCA"},
        {std::string("QU\0D", 4), "A"},
        {"QUJD\xc3\xa9QQ", "ABC"},
        {"QQ=", "A"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        Decoded d = Decode(c.text);
        EXPECT_EQ(d.result, 0);
        EXPECT_EQ(d.bytes, c.bytes);
    }
}

TEST(Base64Decode, RoomLimitsTheBytesNotTheCheck)
{
    Decoded d = Decode("QUJD", 1);
    EXPECT_EQ(d.result, 1);
    EXPECT_EQ(d.bytes, "A");
    d = Decode("QUJDREVG", 4);
    EXPECT_EQ(d.result, 1);
    EXPECT_EQ(d.bytes, "ABCD");
    d = Decode("QUJD*", 2);
    EXPECT_EQ(d.result, 0);
    EXPECT_EQ(d.bytes, "AB");
    d = Decode("QUJD", 0);
    EXPECT_EQ(d.result, 1);
    EXPECT_EQ(d.bytes, "");
    d = Decode("QUJD", -5);
    EXPECT_EQ(d.result, 1);
    EXPECT_EQ(d.bytes, "");
}

TEST(Base64Decode, NoLengthBeyondWhatIsGiven)
{
    // Exactly len characters, with nothing after them to read.
    auto text = std::make_unique<char[]>(6);
    memcpy(text.get(), "QUJDQQ", 6);
    unsigned char out[8];
    int32_t cb = sizeof out;
    EXPECT_EQ(Base64Decode(text.get(), 6, out, &cb), 0);
    EXPECT_EQ(cb, 4);
    cb = sizeof out;
    EXPECT_EQ(Base64Decode(text.get(), 4, out, &cb), 1);
    EXPECT_EQ(cb, 3);
}

TEST(Base64Decode, MissingArguments)
{
    unsigned char out[8];
    int32_t cb = sizeof out;
    EXPECT_EQ(Base64Decode(nullptr, 4, out, &cb), 0);
    EXPECT_EQ(Base64Decode("QUJD", 4, out, nullptr), 0);
    // Without an output buffer the text is only checked.
    cb = sizeof out;
    EXPECT_EQ(Base64Decode("QUJD", 4, nullptr, &cb), 1);
    EXPECT_EQ(cb, 0);
    EXPECT_EQ(SLIBErrorGet(), 0);
}

TEST(Base64Encode, Groups)
{
    struct {
        std::string in;
        int32_t len;
        const char *text;
    } cases[] = {
        {"A", 2, "QQA="},
        {"AB", 3, "QUIA"},
        {"ABC", 4, "QUJD"},
        {"ABC", 3, "QUJD"},
        {"A", 1, "QQ=="},
        {"AB", 2, "QUI="},
        {"ABC", 0, ""},
        {"ABC", -1, ""},
        {"", 1, ""},
        {std::string("ABC\0EF", 6), 6, "QUJD"},
        {std::string("A\0\0\0", 4), 4, "QQAA"},
        {std::string("\xfb\xff\xbf\x80", 4), 4, "+/+/gA=="},
        {"ABCDEF", 6, "QUJDREVG"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        const char *text = SzBase64EncodeOneLine(c.in.data(), c.len);
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, c.text);
    }
    EXPECT_EQ(SLIBErrorGet(), 0);
}

TEST(Base64Encode, ReadsNothingBeyondTheEnd)
{
    // An exactly sized block: a read past it is an AddressSanitizer fault.
    for (int32_t len : {1, 2, 3, 4, 5}) {
        SCOPED_TRACE(len);
        auto in = std::make_unique<unsigned char[]>(static_cast<size_t>(len));
        memset(in.get(), 'x', static_cast<size_t>(len));
        const char *text = SzBase64EncodeOneLine(in.get(), len);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(strlen(text), static_cast<size_t>((len + 2) / 3 * 4));
    }
}

TEST(Base64Encode, NullInput) { EXPECT_EQ(SzBase64EncodeOneLine(nullptr, 4), nullptr); }

TEST(Base64Encode, OneStaticBufferOverwritten)
{
    char *first = SzBase64EncodeOneLine("ABCDEFG", 8);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first, "QUJDREVGRwA=");
    char *second = SzBase64EncodeOneLine("A", 2);
    EXPECT_EQ(second, first);
    // Cleared: nothing of the longer first text is left after the second.
    EXPECT_EQ(memcmp(second, "QQA=\0\0\0\0\0", 9), 0);
}

TEST(Base64Encode, LongestInputThatFitsAndRoundTrip)
{
    std::vector<unsigned char> in(SLIB_BASE64_MAX_INPUT);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = static_cast<unsigned char>(i % 251 + 1);
    const char *text = SzBase64EncodeOneLine(in.data(), static_cast<int32_t>(in.size()));
    ASSERT_NE(text, nullptr);
    ASSERT_EQ(strlen(text), 2044u);
    std::vector<unsigned char> back(in.size());
    int32_t cb = static_cast<int32_t>(back.size());
    EXPECT_EQ(Base64Decode(text, 2044, back.data(), &cb), 1);
    EXPECT_EQ(cb, SLIB_BASE64_MAX_INPUT);
    EXPECT_EQ(back, in);
}

TEST(Base64Encode, InputThatWouldNotFitIsRefusedNotCut)
{
    std::vector<unsigned char> in(SLIB_BASE64_MAX_INPUT + 1, 's');
    EXPECT_EQ(SzBase64EncodeOneLine(in.data(), static_cast<int32_t>(in.size())), nullptr);
    std::vector<unsigned char> big(100000, 's');
    EXPECT_EQ(SzBase64EncodeOneLine(big.data(), static_cast<int32_t>(big.size())), nullptr);

    // The text ends at the first group starting with a NUL, so what counts
    // is the groups it takes, not the length given.
    in[SLIB_BASE64_MAX_INPUT] = '\0';
    const char *text = SzBase64EncodeOneLine(in.data(), static_cast<int32_t>(in.size()));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(strlen(text), 2044u);
    std::vector<unsigned char> padded(4096, '\0');
    memcpy(padded.data(), "secret", 6);
    text = SzBase64EncodeOneLine(padded.data(), static_cast<int32_t>(padded.size()));
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "c2VjcmV0");
}

} // namespace
