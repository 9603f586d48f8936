#include "vako/flash.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include <string>
#include <vector>

#include "vakotest/kstub.h"
#include "vakotest/files.h"
#include "vakotest/logs.h"

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
        {"no end record", six, 0, -1, -7, "VAKOMTDGetPartitionInfo({L}): failed to read from /tmp/fisdir(errno = 0)"},
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
            EXPECT_TRUE(vakotest::SyslogMatches(c.message));
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
    EXPECT_EQ(vakotest::SyslogCount("VAKOMTDGetPartitionInfo({L}): parameter error"), 4);
    EXPECT_EQ(VAKOMTDGetPartitionInfo("/tmp/missing", nullptr, 0, &cb), -1);
    EXPECT_TRUE(vakotest::SyslogMatches("VAKOMTDGetPartitionInfo({L}): fail to open mtd device, errno = 2"));
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
    EXPECT_TRUE(vakotest::SyslogMatches("VAKOMTDGetDeviceInfo({L}): parameter error"));
    EXPECT_EQ(VAKOMTDGetDeviceInfo(nullptr, &info, 32), -1);
    EXPECT_EQ(VAKOMTDGetDeviceInfo("/dev/mtd0", nullptr, 32), -1);
}

// ---- on the kernel stand-in's chip ----

namespace flashchip {

namespace ks = vakotest::kstub;

constexpr uint32_t kBlock = 0x10000;

// Three windows: mtd0 two blocks, mtd1 three blocks, mtd2 (a directory)
// one block; a spare block at the end of the chip.
std::vector<uint8_t> Install(bool fDirectory = true)
{
    ks::Chip chip;
    chip.size = 8 * kBlock;
    chip.eraseSize = kBlock;
    chip.windows = {{"/dev/mtd0", 0, 2 * kBlock, std::nullopt, false},
                    {"/dev/mtd1", 2 * kBlock, 3 * kBlock, std::nullopt, false},
                    {"/dev/mtd2", 5 * kBlock, kBlock, std::nullopt, false}};
    std::string data;
    for (uint32_t i = 0; i < 7 * kBlock; ++i)
        data += static_cast<char>(i * 7 + (i >> 8));
    chip.image.assign(data.begin(), data.end());
    if (fDirectory) {
        std::vector<uint8_t> dir;
        for (const char *name : {"RedBoot", "zImage"}) {
            auto e = ks::EncodeFisEntry(name, 0x10000, 0x10000, 0x20000, 0, 0x1234);
            dir.insert(dir.end(), e.begin(), e.end());
        }
        std::fill(chip.image.begin() + 5 * kBlock, chip.image.begin() + 6 * kBlock, 0xFF);
        std::copy(dir.begin(), dir.end(), chip.image.begin() + 5 * kBlock);
    }
    ks::KernelCalls calls;
    ks::Install(ks::kSandboxDir, chip, calls);
    vakotest::SyslogClear();
    return ks::Load(ks::kSandboxDir).image;
}

std::vector<std::string> Journal()
{
    std::vector<std::string> out;
    for (const std::string &line : ks::Journal(ks::kSandboxDir)) {
        // <pid> <program> <device> <request> <arguments> <result>
        size_t a = line.find('\t'), b = line.find('\t', a + 1);
        out.push_back(line.substr(b + 1));
    }
    return out;
}

ks::Window WindowNow(const std::string &device)
{
    for (const ks::Window &w : ks::Load(ks::kSandboxDir).windows)
        if (w.device == device)
            return w;
    throw std::runtime_error("no window " + device);
}

TEST(FlashChip, EraseFillsTheWholeWindowAndNothingElse)
{
    std::vector<uint8_t> before = Install();
    ASSERT_EQ(VAKOMTDErasePartition("/dev/mtd1"), 0);
    std::vector<uint8_t> after = ks::Load(ks::kSandboxDir).image;
    std::vector<uint8_t> expected = before;
    std::fill(expected.begin() + 2 * kBlock, expected.begin() + 5 * kBlock, 0xFF);
    EXPECT_TRUE(after == expected);
    EXPECT_EQ(Journal(), (std::vector<std::string>{"/dev/mtd1\tMEMGETINFO\t-\t0",
                                                   "/dev/mtd1\tMEMERASE\tstart=0x0 length=0x30000\t0"}));
}

TEST(FlashChip, EraseFailures)
{
    struct Case {
        const char *what;
        const char *device;
        std::optional<ks::Fault> fault;
        const char *message;
    } cases[] = {
        {"no device", "/dev/mtd6", std::nullopt,
         "VAKOMTDErasePartition({L}): fail to open mtd device /dev/mtd6, errno = {*}"},
        {"geometry", "/dev/mtd1", ks::Fault{"/dev/mtd1", ks::FaultKind::FailIoctl, 1, VAKO_MEMGETINFO, EIO},
         "VAKOMTDErasePartition({L}): Could not get MTD device info for /dev/mtd1, errno = 5"},
        {"erase", "/dev/mtd1", ks::Fault{"/dev/mtd1", ks::FaultKind::FailErase, 1, 0, EIO},
         "Could not erase MTD device: /dev/mtd1, errno = 5\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> before = Install();
        if (c.fault)
            ks::SetFault(ks::kSandboxDir, *c.fault);
        EXPECT_EQ(VAKOMTDErasePartition(c.device), -1);
        EXPECT_TRUE(vakotest::SyslogMatches(c.message));
        EXPECT_TRUE(ks::Load(ks::kSandboxDir).image == before);
    }
    EXPECT_EQ(VAKOMTDErasePartition(nullptr), -1);
    EXPECT_TRUE(vakotest::SyslogMatches("VAKOMTDErasePartition({L}): parameter error"));
}

TEST(FlashChip, LockAndUnlockTheWholeDevice)
{
    Install();
    ASSERT_EQ(VAKOMTDLockPartition("/dev/mtd1"), 0);
    EXPECT_TRUE(WindowNow("/dev/mtd1").locked);
    EXPECT_EQ(VAKOMTDErasePartition("/dev/mtd1"), -1); // a locked window refuses
    ASSERT_EQ(VAKOMTDILock("/dev/mtd1", 2), 0);        // any other value unlocks
    EXPECT_FALSE(WindowNow("/dev/mtd1").locked);
    ASSERT_EQ(VAKOMTDLockPartition("/dev/mtd1"), 0);
    ASSERT_EQ(VAKOMTDUnlockPartition("/dev/mtd1"), 0);
    EXPECT_FALSE(WindowNow("/dev/mtd1").locked);
    std::vector<std::string> j = Journal();
    EXPECT_EQ(std::count(j.begin(), j.end(), "/dev/mtd1\tMEMLOCK\tstart=0x0 length=0x30000\t0"), 2);
    EXPECT_EQ(std::count(j.begin(), j.end(), "/dev/mtd1\tMEMUNLOCK\tstart=0x0 length=0x30000\t0"), 2);
}

TEST(FlashChip, LockFailuresAreLoggedUnderTheCommonName)
{
    Install();
    ks::SetFault(ks::kSandboxDir, {"/dev/mtd1", ks::FaultKind::FailIoctl, 1, VAKO_MEMUNLOCK, EPERM});
    EXPECT_EQ(VAKOMTDUnlockPartition("/dev/mtd1"), -1);
    EXPECT_TRUE(vakotest::SyslogHas("Could not lock/unlock MTD device: /dev/mtd1, errno = 1\n"));
    ks::SetFault(ks::kSandboxDir, {"/dev/mtd1", ks::FaultKind::FailIoctl, 1, VAKO_MEMGETINFO, EIO});
    EXPECT_EQ(VAKOMTDLockPartition("/dev/mtd1"), -1);
    EXPECT_TRUE(vakotest::SyslogMatches("VAKOMTDILock({L}): Could not get MTD device info for /dev/mtd1, errno = 5"));
    EXPECT_EQ(VAKOMTDLockPartition("/dev/mtd7"), -1);
    EXPECT_TRUE(vakotest::SyslogMatches("VAKOMTDILock({L}): fail to open mtd device /dev/mtd7, errno = {*}"));
    EXPECT_FALSE(WindowNow("/dev/mtd1").locked);
}

TEST(FlashChip, DeviceInfoOfAWindow)
{
    Install();
    struct {
        mtd_info_user info;
        unsigned char extra[8];
    } rec;
    memset(&rec, 0x55, sizeof(rec));
    ASSERT_EQ(VAKOMTDGetDeviceInfo("/dev/mtd1", &rec.info, sizeof(rec)), 0);
    EXPECT_EQ(rec.info.size, 3 * kBlock);
    EXPECT_EQ(rec.info.erasesize, kBlock);
    EXPECT_EQ(rec.extra[7], 0); // the whole record given was cleared
    ks::SetFault(ks::kSandboxDir, {"/dev/mtd1", ks::FaultKind::FailIoctl, 1, VAKO_MEMGETINFO, EIO});
    EXPECT_EQ(VAKOMTDGetDeviceInfo("/dev/mtd1", &rec.info, sizeof(rec.info)), -1);
    EXPECT_TRUE(vakotest::SyslogMatches("VAKOMTDGetDeviceInfo({L}): fail to get mtd size, errno = 5"));
    EXPECT_EQ(VAKOMTDGetDeviceInfo("/dev/mtd5", &rec.info, sizeof(rec.info)), -1);
    EXPECT_TRUE(vakotest::SyslogMatches("VAKOMTDGetDeviceInfo({L}): fail to open mtd device, errno = {*}"));
}

TEST(FlashChip, DirectoryOfADevice)
{
    Install();
    int cb = 0;
    ASSERT_EQ(VAKOMTDGetPartitionInfo("/dev/mtd2", nullptr, 0, &cb), 2);
    ASSERT_EQ(cb, 512);
    std::vector<VAKOFISENTRY> list(2);
    ASSERT_EQ(VAKOMTDGetPartitionInfo("/dev/mtd2", list.data(), cb, &cb), 2);
    EXPECT_EQ(VAKOFISEntryNameIs(&list[1], "zImage"), 1);
    EXPECT_EQ(list[1].flash_base, 0x10000u);
    EXPECT_EQ(list[1].size, 0x20000u);
    EXPECT_EQ(list[1].data_length, 0x1234u);
}

TEST(FlashChip, ModifyPartitionSizeMovesTheWindow)
{
    std::vector<uint8_t> before = Install();
    ASSERT_EQ(VAKOMTDModifyPartitionSize("/dev/mtd1", 3 * kBlock, 4 * kBlock), 0);
    ks::Window w = WindowNow("/dev/mtd1");
    EXPECT_EQ(w.offset, 3 * kBlock);
    EXPECT_EQ(w.size, 4 * kBlock);
    EXPECT_EQ(Journal().back(), "/dev/mtd1\tSET_PARTITION\toffset=0x30000 size=0x40000\t0");
    // Reads and erases now reach the new region.
    mtd_info_user info;
    ASSERT_EQ(VAKOMTDGetDeviceInfo("/dev/mtd1", &info, sizeof(info)), 0);
    EXPECT_EQ(info.size, 4 * kBlock);
    ASSERT_EQ(VAKOMTDErasePartition("/dev/mtd1"), 0);
    std::vector<uint8_t> expected = before;
    std::fill(expected.begin() + 3 * kBlock, expected.begin() + 7 * kBlock, 0xFF);
    EXPECT_TRUE(ks::Load(ks::kSandboxDir).image == expected);

    EXPECT_EQ(VAKOMTDModifyPartitionSize("/dev/mtd1", 6 * kBlock, 4 * kBlock), -1);
    EXPECT_TRUE(vakotest::SyslogHas("Failed to set the mtd info of /dev/mtd1 by ioctl, errno = 22\n"));
    EXPECT_EQ(VAKOMTDModifyPartitionSize("/dev/mtd6", 0, kBlock), -1);
    EXPECT_TRUE(
        vakotest::SyslogMatches("VAKOMTDModifyPartitionSize({L}): fail to open mtd device /dev/mtd6, errno = {*}"));
    EXPECT_EQ(VAKOMTDModifyPartitionSize(nullptr, 0, kBlock), -1);
    EXPECT_TRUE(vakotest::SyslogMatches("VAKOMTDModifyPartitionSize({L}): parameter error"));
}

TEST(FlashChip, ModifyFISEntryRewritesTheNamedRecord)
{
    std::vector<uint8_t> before = Install();
    VAKOFISENTRYINFO info;
    VAKOFISEntryInfoSet(&info, "zImage", 0x30000, 0x40000, 0x2345);
    ASSERT_EQ(VAKOMTDModifyFISEntry("/dev/mtd2", &info), 0);
    EXPECT_EQ(Journal().back(),
              "/dev/mtd2\tSET_FIS_ENTRY\tname=zImage flash_base=0x30000 size=0x40000 data_length=0x2345\t0");
    std::vector<uint8_t> expected = before;
    auto e = ks::EncodeFisEntry("zImage", 0x30000, 0x10000, 0x40000, 0, 0x2345);
    std::copy(e.begin(), e.end(), expected.begin() + 5 * kBlock + 256);
    EXPECT_TRUE(ks::Load(ks::kSandboxDir).image == expected);

    ks::SetFault(ks::kSandboxDir, {"/dev/mtd2", ks::FaultKind::FailIoctl, 1, VAKO_MTD_SET_FIS_ENTRY, EIO});
    EXPECT_EQ(VAKOMTDModifyFISEntry("/dev/mtd2", &info), -1);
    EXPECT_TRUE(
        vakotest::SyslogHas("VAKOMTDModifyFISEntry: Failed to set the mtd info of /dev/mtd2 by ioctl, errno = 5\n"));
    EXPECT_EQ(VAKOMTDModifyFISEntry("/dev/mtd2", nullptr), -1);
    EXPECT_TRUE(vakotest::SyslogMatches("VAKOMTDModifyFISEntry({L}): parameter error"));
    EXPECT_EQ(VAKOMTDModifyFISEntry("/dev/mtd6", &info), -1);
    EXPECT_TRUE(vakotest::SyslogMatches("VAKOMTDModifyFISEntry({L}): fail to open mtd device /dev/mtd6, errno = {*}"));
}

TEST(FlashChip, SecondRoadFlagFromKernelCall401)
{
    struct Case {
        ks::Call call;
        uint32_t word;
        int expected;
    } cases[] = {
        {ks::Call::Absent, 1, 0},  {ks::Call::Refused, 1, 0}, {ks::Call::Present, 1, 1},
        {ks::Call::Present, 3, 1}, {ks::Call::Present, 2, 0}, {ks::Call::Present, 0, 0},
    };
    for (const Case &c : cases) {
        ks::Chip chip;
        chip.size = kBlock;
        chip.eraseSize = kBlock;
        ks::KernelCalls calls;
        calls.msys401 = c.call;
        calls.msysWord = c.word;
        ks::Install(ks::kSandboxDir, chip, calls);
        EXPECT_EQ(VAKOKernelMSysFlagGet(), c.expected) << static_cast<int>(c.call) << " " << c.word;
    }
}

} // namespace flashchip

} // namespace
