#include "vako/flash.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "log_match_test.h"
#include "vakotest/testkit.h"

namespace {

void Put32(std::string &raw, size_t off, uint32_t v)
{
    raw[off] = static_cast<char>(v >> 24);
    raw[off + 1] = static_cast<char>(v >> 16);
    raw[off + 2] = static_cast<char>(v >> 8);
    raw[off + 3] = static_cast<char>(v);
}

// A stored entry built byte by byte, independent of the library's encoder.
std::string RawEntry(const std::string &name, uint32_t base, uint32_t size, uint32_t datalen)
{
    std::string raw(VAKO_FIS_ENTRY_SIZE, '\0');
    raw.replace(0, name.size(), name);
    Put32(raw, 16, base);
    Put32(raw, 20, base + 1);
    Put32(raw, 24, size);
    Put32(raw, 28, 0xA1B2C3D4);
    Put32(raw, 32, datalen);
    raw[36] = 0x5A;
    raw[247] = 0x6B;
    Put32(raw, 248, 0x01020304);
    Put32(raw, 252, 0xF0E0D0C0);
    return raw;
}

const char *kNames[] = {"RedBoot", "zImage", "rd.gz", "vendor", "RedBoot Config", "FIS Directory"};

std::string SixEntryDirectory()
{
    std::string dir;
    for (int i = 0; i < 6; ++i)
        dir += RawEntry(kNames[i], 0xffe00000 + i * 0x10000, 0x10000 * (i + 1), 0x100 * i);
    return dir;
}

TEST(FisEntry, DecodesBigEndianFieldsAndEncodesTheSameBytes)
{
    std::string raw = RawEntry("RedBoot Config", 0xffee0000, 0x10000, 0x1234);
    VAKOFISENTRY e;
    VAKOFISEntryDecode(reinterpret_cast<const unsigned char *>(raw.data()), &e);
    EXPECT_EQ(std::string(e.name, strnlen(e.name, 16)), "RedBoot Config");
    EXPECT_EQ(e.flash_base, 0xffee0000u);
    EXPECT_EQ(e.mem_base, 0xffee0001u);
    EXPECT_EQ(e.size, 0x10000u);
    EXPECT_EQ(e.entry_point, 0xA1B2C3D4u);
    EXPECT_EQ(e.data_length, 0x1234u);
    EXPECT_EQ(e.reserved[0], 0x5A);
    EXPECT_EQ(e.reserved[211], 0x6B);
    EXPECT_EQ(e.desc_cksum, 0x01020304u);
    EXPECT_EQ(e.file_cksum, 0xF0E0D0C0u);
    std::string back(VAKO_FIS_ENTRY_SIZE, '\0');
    VAKOFISEntryEncode(&e, reinterpret_cast<unsigned char *>(back.data()));
    EXPECT_EQ(back, raw);
}

TEST(FisEntry, InfoRecordIsBigEndianWithNameCutTo15Bytes)
{
    VAKOFISENTRYINFO info;
    VAKOFISEntryInfoSet(&info, "ABCDEFGHIJKLMNOPQRS", 0x11223344, 0x55667788, 0x99AABBCC);
    unsigned char raw[VAKO_FIS_ENTRY_INFO_SIZE];
    memset(raw, 0xEE, sizeof(raw));
    VAKOFISEntryInfoEncode(&info, raw);
    const unsigned char expected[28] = {'A',  'B',  'C',  'D',  'E',  'F',  'G',  'H',  'I',  'J',
                                        'K',  'L',  'M',  'N',  'O',  0,    0x11, 0x22, 0x33, 0x44,
                                        0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC};
    EXPECT_EQ(0, memcmp(raw, expected, sizeof(raw)));

    // A name that fills all 16 bytes of the caller's record still ends in NUL.
    memset(info.name, 'x', sizeof(info.name));
    VAKOFISEntryInfoEncode(&info, raw);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(raw), 16), std::string(15, 'x') + '\0');

    VAKOFISEntryInfoSet(&info, "zImage", 1, 2, 3);
    EXPECT_EQ(std::string(info.name, 16), std::string("zImage") + std::string(10, '\0'));
}

TEST(FisEntry, NamesWithoutNulAreReadAndComparedWithinTheirSixteenBytes)
{
    VAKOFISENTRY e;
    memset(&e, 0, sizeof(e));
    memcpy(e.name, "ABCDEFGHIJKLMNOP", 16); // no NUL
    memset(e.reserved, 'Q', sizeof(e.reserved));
    char sz[VAKO_FIS_NAME_SIZE + 1];
    VAKOFISEntryGetName(&e, sz);
    EXPECT_STREQ(sz, "ABCDEFGHIJKLMNOP");
    EXPECT_EQ(VAKOFISEntryNameIs(&e, "abcdefghijklmnop"), 1);
    EXPECT_EQ(VAKOFISEntryNameIs(&e, "ABCDEFGHIJKLMNOPQ"), 0);
    EXPECT_EQ(VAKOFISEntryNameIs(&e, "ABCDEFGHIJKLMNO"), 0);

    memset(e.name, 0, 16);
    memcpy(e.name, "FIS Directory", 13);
    EXPECT_EQ(VAKOFISEntryNameIs(&e, "fis directory"), 1);
    EXPECT_EQ(VAKOFISEntryNameIs(&e, "FIS Dir"), 0);
    EXPECT_EQ(VAKOFISEntryNameIs(&e, ""), 0);
}

// The directory reader works on any file: a plain file stands in for the
// FIS Directory partition here.
struct DirCase {
    const char *what;
    std::string content;
    int cbBuf;
    int result;
    int cbUsed;
    const char *message;
};

TEST(FisDirectory, ReadsUntilTheFirstErasedRecord)
{
    const std::string six = SixEntryDirectory();
    const std::string erased(VAKO_FIS_ENTRY_SIZE, '\xFF');
    const DirCase cases[] = {
        {"size query", six + erased, 0, 6, 1536, nullptr},
        {"exact buffer", six + erased, 1536, 6, 1536, nullptr},
        {"buffer one byte short", six + erased, 1535, -1, -7, "VAKOMTDGetPartitionInfo({L}): not enough memory"},
        {"erased directory", erased + six, 0, 0, 0, nullptr},
        {"erased directory, buffer", erased, 256, 0, 0, nullptr},
        {"no end record", six, 0, -1, -7,
         "VAKOMTDGetPartitionInfo({L}): failed to read from /tmp/fisdir(errno = 0)"},
        {"short last record", six + std::string(100, '\xFF'), 0, -1, -7,
         "VAKOMTDGetPartitionInfo({L}): failed to read from /tmp/fisdir(errno = 0)"},
    };
    for (const DirCase &c : cases) {
        SCOPED_TRACE(c.what);
        vakotest::SyslogClear();
        vakotest::WriteFile("/tmp/fisdir", c.content);
        std::vector<VAKOFISENTRY> buf(7);
        int cbUsed = -7;
        int n = VAKOMTDGetPartitionInfo("/tmp/fisdir", c.cbBuf ? buf.data() : nullptr, c.cbBuf, &cbUsed);
        EXPECT_EQ(n, c.result);
        EXPECT_EQ(cbUsed, c.cbUsed);
        if (c.message)
            EXPECT_TRUE(logmatch::Logged(c.message));
        else
            EXPECT_TRUE(vakotest::SyslogTexts().empty());
        if (c.cbBuf && n > 0) {
            for (int i = 0; i < n; ++i) {
                std::string back(VAKO_FIS_ENTRY_SIZE, '\0');
                VAKOFISEntryEncode(&buf[i], reinterpret_cast<unsigned char *>(back.data()));
                EXPECT_EQ(back, six.substr(i * VAKO_FIS_ENTRY_SIZE, VAKO_FIS_ENTRY_SIZE)) << i;
            }
        }
    }
}

TEST(FisDirectory, BufferTooSmallKeepsTheEntriesBeforeIt)
{
    vakotest::WriteFile("/tmp/fisdir", SixEntryDirectory() + std::string(256, '\xFF'));
    std::vector<VAKOFISENTRY> buf(6);
    memset(buf.data(), 0, buf.size() * sizeof(VAKOFISENTRY));
    int cbUsed = 99;
    EXPECT_EQ(VAKOMTDGetPartitionInfo("/tmp/fisdir", buf.data(), 5 * 256 + 10, &cbUsed), -1);
    EXPECT_EQ(cbUsed, 99);
    EXPECT_EQ(VAKOFISEntryNameIs(&buf[4], "RedBoot Config"), 1);
    EXPECT_EQ(buf[5].name[0], 0);
}

TEST(FisDirectory, ParameterErrors)
{
    vakotest::WriteFile("/tmp/fisdir", std::string(256, '\xFF'));
    VAKOFISENTRY e;
    int cb = 5;
    EXPECT_EQ(VAKOMTDGetPartitionInfo(nullptr, nullptr, 0, &cb), -1);
    EXPECT_EQ(VAKOMTDGetPartitionInfo("/tmp/fisdir", nullptr, 0, nullptr), -1);
    EXPECT_EQ(VAKOMTDGetPartitionInfo("/tmp/fisdir", &e, 0, &cb), -1);
    EXPECT_EQ(VAKOMTDGetPartitionInfo("/tmp/fisdir", nullptr, 256, &cb), -1);
    EXPECT_EQ(logmatch::Count("VAKOMTDGetPartitionInfo({L}): parameter error"), 4);
    EXPECT_EQ(VAKOMTDGetPartitionInfo("/tmp/missing", nullptr, 0, &cb), -1);
    EXPECT_TRUE(logmatch::Logged("VAKOMTDGetPartitionInfo({L}): fail to open mtd device, errno = 2"));
    EXPECT_EQ(cb, 5);
}

TEST(MtdDeviceInfo, RecordShorterThan32BytesIsAParameterError)
{
    mtd_info_user info;
    memset(&info, 0x77, sizeof(info));
    vakotest::SyslogClear();
    EXPECT_EQ(VAKOMTDGetDeviceInfo("/tmp/missing", &info, 31), -1);
    EXPECT_EQ(info.size, 0x77777777u); // not cleared: nothing done
    EXPECT_EQ(vakotest::SyslogTexts().size(), 1u);
    EXPECT_TRUE(logmatch::Logged("VAKOMTDGetDeviceInfo({L}): parameter error"));
    EXPECT_EQ(VAKOMTDGetDeviceInfo(nullptr, &info, 32), -1);
    EXPECT_EQ(VAKOMTDGetDeviceInfo("/dev/mtd0", nullptr, 32), -1);
}

} // namespace
