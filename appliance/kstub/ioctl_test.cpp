// The requests and kernel calls of the appliance's kernel, and the fault knobs.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "kstub_testutil.h"

namespace {

using namespace kstubtest;

// ---- the MTD requests ----

TEST(KstubMtd, MemGetInfoReportsTheWindow)
{
    InstallTestChip();
    // type 3 (NOR), three pad bytes, flags 0xc00, size, erasesize, then zeros.
    EXPECT_THAT(Probe({"open", "/dev/mtd1", "r", "getinfo", "open", "/dev/mtd3", "r", "getinfo"}),
                ElementsAre("open 0", "getinfo 0 03000000000c0000000008000000010000000000000000000000000000000000",
                            "open 0", "getinfo 0 03000000000c0000000001000000010000000000000000000000000000000000"));
}

TEST(KstubMtd, EraseFillsFFInsideTheWindowAndRefusesBadRegions)
{
    InstallTestChip();
    struct Case {
        const char *start, *length, *result;
    } cases[] = {
        {"0x8000", "0x10000", "erase -1 EINVAL"}, // start not on a block
        {"0", "0x8000", "erase -1 EINVAL"},       // length not whole blocks
        {"0", "0", "erase -1 EINVAL"},
        {"0x30000", "0x20000", "erase -1 EINVAL"}, // past the window's end
        {"0x10000", "0x10000", "erase 0"},
    };
    for (const auto &c : cases)
        EXPECT_THAT(Probe({"open", "/dev/mtd2", "rw", "erase", c.start, c.length}), ElementsAre("open 0", c.result))
            << c.start << " " << c.length;
    ks::Chip before = TestChip(), now = ks::Load(kDir);
    for (uint32_t i = 0; i < kChip; ++i) {
        bool erased = i >= 0xB0000 && i < 0xC0000;
        ASSERT_EQ(now.image[i], erased ? 0xFF : before.image[i]) << std::hex << i;
    }
}

// The stand-in erases and writes a block at a time: a process erases and
// writes a window larger than all the memory it may have.
TEST(KstubMtd, EraseAndWriteOfAWindowLargerThanTheProcessMayAllocate)
{
    constexpr uint32_t kBig = 64u << 20;
    ks::Chip chip{kBig + kErase, kErase, {{"/dev/mtd1", kErase, kBig}}, std::vector<uint8_t>(kBig + kErase, 0)};
    ks::Install(kDir, chip, {});
    vakotest::RunResult r = Sh("ulimit -v 49152 && " KSTUB_PROBE " open /dev/mtd1 rw erase 0 0x4000000");
    EXPECT_EQ(r.out, "open 0\nerase 0\n") << r.err;
    ks::Chip now = ks::Load(kDir);
    EXPECT_TRUE(std::all_of(now.image.begin(), now.image.begin() + kErase, [](uint8_t c) { return c == 0; }));
    EXPECT_TRUE(std::all_of(now.image.begin() + kErase, now.image.end(), [](uint8_t c) { return c == 0xFF; }));

    // A write of several blocks keeps the NOR rule and its corrupted byte in
    // every block.
    auto a = Pattern(3 * kErase, 9), b = Pattern(3 * kErase, 10);
    vakotest::WriteFile("/tmp/a", Str(a));
    vakotest::WriteFile("/tmp/b", Str(b));
    ks::SetFault(kDir, {"/dev/mtd1", ks::FaultKind::CorruptWrite, 2, 0, EIO, 2 * kErase + 7, 0x81});
    r = Sh("dd if=/tmp/a of=/dev/mtd1 bs=192k 2>/dev/null && dd if=/tmp/b of=/dev/mtd1 bs=192k");
    EXPECT_EQ(r.status, 0) << r.err;
    auto win = WindowBytes(ks::Load(kDir), "/dev/mtd1");
    std::vector<uint8_t> expect(a.size());
    for (size_t i = 0; i < a.size(); ++i)
        expect[i] = a[i] & b[i];
    expect[2 * kErase + 7] ^= 0x81;
    EXPECT_TRUE(std::equal(expect.begin(), expect.end(), win.begin()));
}

TEST(KstubMtd, LockedWindowRefusesWritesAndErasesUntilUnlocked)
{
    ks::Chip chip = TestChip();
    chip.windows[4].locked = true;
    ks::Install(kDir, chip, {});
    vakotest::WriteFile("/tmp/z", std::string(16, '\0'));
    EXPECT_THAT(
        Probe({"open", "/dev/mtd4", "rw", "write", "00", "erase", "0", "65536", "unlock", "0", "65536", "write", "00",
               "lock", "0", "65536", "write", "00"}),
        ElementsAre("open 0", "write -1 EROFS", "erase -1 EROFS", "unlock 0", "write 1", "lock 0", "write -1 EROFS"));
    EXPECT_TRUE(WindowOf(ks::Load(kDir), "/dev/mtd4").locked);
    vakotest::RunResult r = Sh("dd if=/tmp/z of=/dev/mtd4");
    EXPECT_NE(r.status, 0);
    EXPECT_THAT(r.err, HasSubstr("Read-only file system"));
    EXPECT_THAT(Probe({"open", "/dev/mtd4", "rw", "lock", "0", "0x20000"}), ElementsAre("open 0", "lock -1 EINVAL"));
    EXPECT_FALSE(WindowOf(ks::Load(kDir), "/dev/mtd1").locked);
}

TEST(KstubMtd, SetPartitionMovesTheWindow)
{
    InstallTestChip();
    EXPECT_THAT(Probe({"open", "/dev/mtd4", "rw", "setpart", "0x40000", "0x20000", "getinfo"}),
                ElementsAre("open 0", "setpart 0",
                            "getinfo 0 03000000000c0000000002000000010000000000000000000000000000000000"));
    vakotest::WriteFile("/tmp/x", std::string(0x20000, '\x11'));
    vakotest::RunResult r = Sh("dd if=/tmp/x of=/dev/mtd4 bs=64k 2>/dev/null && dd if=/dev/mtd4 of=/tmp/y 2>/dev/null");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(vakotest::ReadFile("/tmp/y"), std::string(0x20000, '\x11'));
    ks::Chip now = ks::Load(kDir);
    ks::Window w = WindowOf(now, "/dev/mtd4");
    EXPECT_EQ(w.offset, 0x40000u);
    EXPECT_EQ(w.size, 0x20000u);
    EXPECT_TRUE(
        std::all_of(now.image.begin() + 0x40000, now.image.begin() + 0x60000, [](uint8_t c) { return c == 0x11; }));
    EXPECT_TRUE(std::all_of(now.image.begin() + 0xF0000, now.image.end(), [](uint8_t c) { return c == 0xFF; }));
}

TEST(KstubMtd, SetPartitionRefusesRegionsOutsideTheChipOrOffBlocks)
{
    InstallTestChip();
    struct Case {
        const char *offset, *size;
    } cases[] = {{"0xF0000", "0x20000"}, {"0x100000", "0x10000"}, {"0xFFFF0000", "0x20000"},
                 {"0x8000", "0x10000"},  {"0x10000", "0x18000"},  {"0x10000", "0"}};
    for (const auto &c : cases)
        EXPECT_THAT(Probe({"open", "/dev/mtd1", "rw", "setpart", c.offset, c.size}),
                    ElementsAre("open 0", "setpart -1 EINVAL"))
            << c.offset << " " << c.size;
    ks::Window w = WindowOf(ks::Load(kDir), "/dev/mtd1");
    EXPECT_EQ(w.offset, 0x20000u);
    EXPECT_EQ(w.size, 0x80000u);
}

TEST(KstubMtd, SetFisEntryRewritesExactlyTheTwelveBytesBigEndian)
{
    InstallTestChip();
    EXPECT_THAT(Probe({"open", "/dev/mtd3", "rw", "setfis", "zImage", "0x12345678", "0x00560001", "0x89abcdef"}),
                ElementsAre("open 0", "setfis 0"));
    ks::Chip before = TestChip(), now = ks::Load(kDir);
    std::vector<uint8_t> expect = before.image;
    const uint32_t entry = kParts[3].offset + 256; // the second entry
    for (auto [at, bytes] : {std::pair{16u, "\x12\x34\x56\x78"}, {24u, "\x00\x56\x00\x01"}, {32u, "\x89\xab\xcd\xef"}})
        std::copy(bytes, bytes + 4, expect.begin() + entry + at);
    EXPECT_EQ(now.image, expect);
    EXPECT_THAT(ks::Journal(kDir).back(),
                testing::EndsWith("\t/dev/mtd3\tSET_FIS_ENTRY\tname=zImage flash_base=0x12345678 size=0x560001 "
                                  "data_length=0x89abcdef\t0"));
}

TEST(KstubMtd, SetFisEntryWithoutSuchEntryIsEnoent)
{
    // The directory ends at the first entry that starts with 0xFF.
    ks::Chip chip = TestChip();
    auto hidden = ks::EncodeFisEntry("hidden", 0, 0, 0, 0, 0);
    std::copy(hidden.begin(), hidden.end(), chip.image.begin() + kParts[3].offset + 5 * 256);
    ks::Install(kDir, chip, {});
    EXPECT_THAT(Probe({"open", "/dev/mtd3", "rw", "setfis", "vendor", "1", "2", "3", "setfis", "hidden", "1", "2", "3",
                       "setfis", "zImag", "1", "2", "3"}),
                ElementsAre("open 0", "setfis -1 ENOENT", "setfis -1 ENOENT", "setfis -1 ENOENT"));
    EXPECT_EQ(ks::Load(kDir).image, chip.image);
}

TEST(KstubMtd, UnknownRequestsAreEnotty)
{
    InstallTestChip();
    // This host's own encoding of MEMGETINFO is not the appliance's.
    EXPECT_THAT(Probe({"open", "/dev/mtd1", "rw", "ioctl", "0x80204d01", "ioctl", "0x40044d1a", "ioctl", "0x40480911"}),
                ElementsAre("open 0", "ioctl -1 ENOTTY", "ioctl -1 ENOTTY", "ioctl -1 ENOTTY"));
}

// ---- the second road's requests on /dev/mtd0 ----

TEST(KstubSecondRoad, PartitionTableHasSizeAndDataLengthOfEachPosition)
{
    ks::Chip chip = TestChip();
    chip.windows[1].dataLength = 0x12345;
    ks::Install(kDir, chip, {});
    EXPECT_THAT(Probe({"open", "/dev/mtd0", "rw", "gettable"}),
                ElementsAre("open 0", "gettable 0 131072,131072 524288,74565 262144,262144 65536,65536 65536,65536 "
                                      "0,0 0,0 0,0"));
    EXPECT_THAT(Probe({"open", "/dev/mtd1", "rw", "gettable"}), ElementsAre("open 0", "gettable -1 ENOTTY"));
}

TEST(KstubSecondRoad, FormatThenSetTableLaysThePartitionsOut)
{
    InstallTestChip();
    EXPECT_THAT(
        Probe({"open", "/dev/mtd0", "rw", "format", "64", "settable", "2", "8", "4", "1", "1", "0", "48", "0",
               "gettable"}),
        ElementsAre("open 0", "format 0", "settable 0",
                    "gettable 0 32768,32768 131072,131072 65536,65536 16384,16384 16384,16384 0,0 786432,786432 "
                    "0,0"));
    ks::Chip now = ks::Load(kDir);
    EXPECT_EQ(now.image, std::vector<uint8_t>(kChip, 0xFF));
    const uint32_t expect[8][2] = {{0, 0x8000},       {0x8000, 0x20000}, {0x28000, 0x10000}, {0x38000, 0x4000},
                                   {0x3C000, 0x4000}, {0x40000, 0},      {0x40000, 0xC0000}, {0x100000, 0}};
    for (int i = 0; i < 8; ++i) {
        ks::Window w = WindowOf(now, "/dev/mtd" + std::to_string(i));
        EXPECT_EQ(w.offset, expect[i][0]) << i;
        EXPECT_EQ(w.size, expect[i][1]) << i;
    }
    EXPECT_THAT(JournalTail(),
                ElementsAre("/dev/mtd0\tFORMAT\tunits=64\t0", "/dev/mtd0\tSET_PART_TABLE\tunits=2,8,4,1,1,0,48,0\t0",
                            "/dev/mtd0\tGET_PART_TABLE\t-\t0"));
}

TEST(KstubSecondRoad, TheAppliancesFlashOf967Units)
{
    ks::Chip chip{967 * 16384, 16384, {{"/dev/mtd0", 0, 0x40000}, {"/dev/mtd1", 0x40000, 0x100000}}};
    ks::Install(kDir, chip, {});
    EXPECT_THAT(Probe({"open", "/dev/mtd0", "rw", "format", "967", "settable", "16", "100", "200", "600", "1", "10",
                       "20", "20", "gettable"}),
                ElementsAre("open 0", "format 0", "settable 0",
                            "gettable 0 262144,262144 1638400,1638400 3276800,3276800 9830400,9830400 16384,16384 "
                            "163840,163840 327680,327680 327680,327680"));
    EXPECT_EQ(WindowOf(ks::Load(kDir), "/dev/mtd7").offset, 947u * 16384);
}

TEST(KstubSecondRoad, FormatAndSetTableRefusals)
{
    const std::vector<std::string> table = {"settable", "1", "1", "1", "1", "1", "1", "1", "1"};
    auto with = [](std::vector<std::string> a, const std::vector<std::string> &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    InstallTestChip();
    // Not the chip's size in units.
    EXPECT_THAT(Probe({"open", "/dev/mtd0", "rw", "format", "967"}), ElementsAre("open 0", "format -1 EINVAL"));
    EXPECT_EQ(ks::Load(kDir).image, TestChip().image);
    // No format before; a format on another descriptor; another request between.
    EXPECT_THAT(Probe(with({"open", "/dev/mtd0", "rw"}, table)), ElementsAre("open 0", "settable -1 EINVAL"));
    EXPECT_THAT(Probe(with({"open", "/dev/mtd0", "rw", "format", "64", "open", "/dev/mtd0", "rw"}, table)),
                ElementsAre("open 0", "format 0", "open 0", "settable -1 EINVAL"));
    EXPECT_THAT(Probe(with({"open", "/dev/mtd0", "rw", "format", "64", "gettable"}, table)),
                ElementsAre("open 0", "format 0", testing::StartsWith("gettable 0"), "settable -1 EINVAL"));
    // More units than the chip has; a negative count.
    EXPECT_THAT(Probe({"open", "/dev/mtd0", "rw", "format", "64", "settable", "60", "5", "0", "0", "0", "0", "0", "0"}),
                ElementsAre("open 0", "format 0", "settable -1 EINVAL"));
    EXPECT_THAT(Probe({"open", "/dev/mtd0", "rw", "format", "64", "settable", "4", "-1", "0", "0", "0", "0", "0", "0"}),
                ElementsAre("open 0", "format 0", "settable -1 EINVAL"));
    // Format and table only on /dev/mtd0.
    EXPECT_THAT(Probe({"open", "/dev/mtd1", "rw", "format", "64"}), ElementsAre("open 0", "format -1 ENOTTY"));
    ks::Window w = WindowOf(ks::Load(kDir), "/dev/mtd1");
    EXPECT_EQ(w.offset, 0x20000u);
    EXPECT_EQ(w.size, 0x80000u);
}

// ---- kernel calls ----

TEST(KstubKernelCalls, EachModeOf401And405)
{
    struct Case {
        ks::KernelCalls calls;
        const char *r401, *r405, *j401, *j405;
    } cases[] = {
        {{ks::Call::Present, 0x3, EPERM, ks::Call::Present, ENOMEM}, "sys401 0 0x3", "sys405 0", "0", "0"},
        {{ks::Call::Absent, 0x3, EPERM, ks::Call::Absent, ENOMEM},
         "sys401 -1 ENOSYS",
         "sys405 -1 ENOSYS",
         "-1 ENOSYS",
         "-1 ENOSYS"},
        {{ks::Call::Refused, 0x3, EPERM, ks::Call::Refused, ENOMEM},
         "sys401 -1 EPERM",
         "sys405 -1 ENOMEM",
         "-1 EPERM",
         "-1 ENOMEM"},
        {{ks::Call::Refused, 0, EFAULT, ks::Call::Refused, EBUSY},
         "sys401 -1 EFAULT",
         "sys405 -1 EBUSY",
         "-1 EFAULT",
         "-1 EBUSY"},
    };
    for (const auto &c : cases) {
        InstallTestChip(c.calls);
        // Every other number goes to this host's kernel.
        EXPECT_THAT(Probe({"sys401", "sys405", "1", "sys405", "0", "sysgetpid"}),
                    ElementsAre(c.r401, c.r405, c.r405, "sysgetpid 0"));
        EXPECT_THAT(JournalTail(), ElementsAre(std::string("-\tsyscall401\t-\t") + c.j401,
                                               std::string("-\tsyscall405\targ=1\t") + c.j405,
                                               std::string("-\tsyscall405\targ=0\t") + c.j405));
    }
}

// ---- md ----

TEST(KstubMd, ArrayInfoSizeAndSyncStatus)
{
    ks::MdArray md0{"/dev/md0", true, 1, 1000, 2, 3, 1024000, {5, 100, 900}};
    ks::MdArray md1{"/dev/md1", false, 5, 7, 3, 3, 99, {1, 2, 3}};
    InstallTestChip({}, {md0, md1});
    EXPECT_THAT(Probe({"open", "/dev/md0", "r", "mdinfo", "mdsize", "mdsync", "read", "4", "getinfo"}),
                ElementsAre("open 0", "mdinfo 0 0 90 0 0 1 1000 3 2 0 0 0 0 0 0 0 0 0 0", "mdsize 0 1024000",
                            "mdsync 0 5 100 900", "read 0 ", "getinfo -1 ENOTTY"));
    EXPECT_THAT(Probe({"open", "/dev/md1", "r", "mdinfo", "mdsize", "mdsync"}),
                ElementsAre("open 0", "mdinfo -1 ENODEV", "mdsize 0 0", "mdsync -1 ENODEV"));
    EXPECT_THAT(Probe({"open", "/dev/mtd1", "r", "mdinfo", "mdsize", "mdsync"}),
                ElementsAre("open 0", "mdinfo -1 ENOTTY", "mdsize -1 ENOTTY", "mdsync -1 ENOTTY"));
    EXPECT_THAT(JournalTail(),
                ElementsAre("/dev/md0\tGET_ARRAY_INFO\t-\t0", "/dev/md0\tBLKGETSIZE64\t-\t0",
                            "/dev/md0\tSYNC_STATUS\t-\t0", "/dev/md0\tMEMGETINFO\t-\t-1 ENOTTY",
                            "/dev/md1\tGET_ARRAY_INFO\t-\t-1 ENODEV", "/dev/md1\tBLKGETSIZE64\t-\t0",
                            "/dev/md1\tSYNC_STATUS\t-\t-1 ENODEV", "/dev/mtd1\tGET_ARRAY_INFO\t-\t-1 ENOTTY",
                            "/dev/mtd1\tBLKGETSIZE64\t-\t-1 ENOTTY", "/dev/mtd1\tSYNC_STATUS\t-\t-1 ENOTTY"));
}

// ---- fault knobs ----

TEST(KstubFaults, NthEraseFails)
{
    InstallTestChip();
    ks::SetFault(kDir, {"/dev/mtd2", ks::FaultKind::FailErase, 2});
    EXPECT_THAT(Probe({"open", "/dev/mtd2", "rw", "erase", "0", "0x10000", "erase", "0x10000", "0x10000", "erase",
                       "0x20000", "0x10000"}),
                ElementsAre("open 0", "erase 0", "erase -1 EIO", "erase 0"));
    auto now = WindowBytes(ks::Load(kDir), "/dev/mtd2"), before = WindowBytes(TestChip(), "/dev/mtd2");
    EXPECT_TRUE(std::equal(now.begin() + 0x10000, now.begin() + 0x20000, before.begin() + 0x10000));
    EXPECT_TRUE(std::all_of(now.begin() + 0x20000, now.begin() + 0x30000, [](uint8_t c) { return c == 0xFF; }));
    EXPECT_EQ(ks::Faults(kDir).at(0).seen, 3u);
}

TEST(KstubFaults, NthWriteFailsCountedAcrossProcesses)
{
    InstallTestChip();
    ks::SetFault(kDir, {"/dev/mtd1", ks::FaultKind::FailWrite, 3});
    auto img = Pattern(4 * 16384, 4);
    vakotest::WriteFile("/tmp/img", Str(img));
    vakotest::RunResult r = Sh("dd if=/tmp/img of=/dev/mtd1 bs=16k count=1 2>/dev/null && "
                               "dd if=/tmp/img of=/dev/mtd1 bs=16k count=3");
    EXPECT_NE(r.status, 0);
    EXPECT_THAT(r.err, HasSubstr("error writing '/dev/mtd1': Input/output error"));
    EXPECT_THAT(r.err, HasSubstr("1+0 records out"));
    auto win = WindowBytes(ks::Load(kDir), "/dev/mtd1");
    EXPECT_TRUE(std::equal(img.begin(), img.begin() + 16384, win.begin()));
    EXPECT_TRUE(std::all_of(win.begin() + 16384, win.end(), [](uint8_t c) { return c == 0xFF; }));
    EXPECT_THAT(ks::Journal(kDir),
                ElementsAre(testing::EndsWith("\tdd\t/dev/mtd1\twrite\tpos=0x4000 length=0x4000 fault=fail\t-1 EIO")));
}

TEST(KstubFaults, NthIoctlOfARequestFails)
{
    InstallTestChip();
    ks::SetFault(kDir, {"/dev/mtd3", ks::FaultKind::FailIoctl, 2, VAKO_MTD_SET_FIS_ENTRY, EBUSY});
    EXPECT_THAT(Probe({"open", "/dev/mtd3", "rw", "getinfo", "setfis", "zImage", "1", "2", "3", "setfis", "rd.gz", "4",
                       "5", "6", "setfis", "rd.gz", "4", "5", "6"}),
                ElementsAre("open 0", testing::StartsWith("getinfo 0"), "setfis 0", "setfis -1 EBUSY", "setfis 0"));
    EXPECT_THAT(JournalTail(),
                ElementsAre("/dev/mtd3\tMEMGETINFO\t-\t0",
                            "/dev/mtd3\tSET_FIS_ENTRY\tname=zImage flash_base=0x1 size=0x2 data_length=0x3\t0",
                            "/dev/mtd3\tSET_FIS_ENTRY\tname=rd.gz flash_base=0x4 size=0x5 data_length=0x6\t-1 EBUSY",
                            "/dev/mtd3\tSET_FIS_ENTRY\tname=rd.gz flash_base=0x4 size=0x5 data_length=0x6\t0"));
}

TEST(KstubFaults, CorruptedByteOfTheNthWriteShowsInVerify)
{
    InstallTestChip();
    ks::SetFault(kDir, {"/dev/mtd1", ks::FaultKind::CorruptWrite, 2, 0, EIO, 5, 0x90});
    auto img = Pattern(3 * 16384, 5);
    vakotest::WriteFile("/tmp/img", Str(img));
    vakotest::RunResult r = Sh(
        "dd if=/tmp/img of=/dev/mtd1 bs=16k 2>/dev/null && dd if=/dev/mtd1 of=/tmp/back bs=16k count=3 "
        "2>/dev/null; cmp /tmp/img /tmp/back");
    EXPECT_NE(r.status, 0);
    EXPECT_THAT(r.out, HasSubstr("differ: char 16390"));
    auto win = WindowBytes(ks::Load(kDir), "/dev/mtd1");
    std::vector<uint8_t> expect(img);
    expect[16384 + 5] ^= 0x90;
    EXPECT_TRUE(std::equal(expect.begin(), expect.end(), win.begin()));
    EXPECT_THAT(ks::Journal(kDir), ElementsAre(testing::EndsWith("\tdd\t/dev/mtd1\twrite\tpos=0x4000 length=0x4000 "
                                                                 "fault=corrupt\t16384")));
}

TEST(KstubFaults, ShortWritesStoreAtMostKBytes)
{
    InstallTestChip();
    ks::Fault f{"/dev/mtd1", ks::FaultKind::ShortWrite};
    f.maxBytes = 1000;
    ks::SetFault(kDir, f);
    std::string hex(2 * 4096, 'a');
    EXPECT_THAT(Probe({"open", "/dev/mtd1", "rw", "write", hex, "seek", "0", "cur"}),
                ElementsAre("open 0", "write 1000", "seek 1000"));
    // dd goes on writing the rest of a short write.
    InstallTestChip();
    ks::SetFault(kDir, f);
    auto img = Pattern(20000, 6);
    vakotest::WriteFile("/tmp/img", Str(img));
    vakotest::RunResult r = Sh("dd if=/tmp/img of=/dev/mtd1 bs=16k");
    EXPECT_EQ(r.status, 0) << r.err;
    auto win = WindowBytes(ks::Load(kDir), "/dev/mtd1");
    EXPECT_TRUE(std::equal(img.begin(), img.end(), win.begin()));
    EXPECT_THAT(ks::Journal(kDir).front(), testing::EndsWith("\twrite\tpos=0x0 length=0x3e8 fault=short\t1000"));
}

TEST(KstubFaults, AKnobActsOnTimesOperationsFromTheNthOn)
{
    InstallTestChip();
    ks::Fault erase{"/dev/mtd2", ks::FaultKind::FailErase, 2};
    erase.times = 0; // every one from the second on
    ks::SetFault(kDir, erase);
    ks::Fault write{"/dev/mtd1", ks::FaultKind::FailWrite, 2, 0, ENOSPC};
    write.times = 2;
    ks::SetFault(kDir, write);
    EXPECT_THAT(Probe({"open", "/dev/mtd2", "rw", "erase", "0", "0x10000", "erase", "0", "0x10000", "erase", "0",
                       "0x10000", "erase", "0", "0x10000"}),
                ElementsAre("open 0", "erase 0", "erase -1 EIO", "erase -1 EIO", "erase -1 EIO"));
    EXPECT_THAT(Probe({"open", "/dev/mtd1", "rw", "write", "01", "write", "02", "write", "03", "write", "04"}),
                ElementsAre("open 0", "write 1", "write -1 ENOSPC", "write -1 ENOSPC", "write 1"));
    std::vector<ks::Fault> faults = ks::Faults(kDir);
    ASSERT_EQ(faults.size(), 2u);
    EXPECT_EQ(faults[0].times, 0u);
    EXPECT_EQ(faults[0].seen, 4u);
    EXPECT_EQ(faults[1].times, 2u);
    EXPECT_EQ(faults[1].seen, 4u);
}

TEST(KstubFaults, KillEndsTheNamedAncestorAndTheWriterAfterTheNthWrite)
{
    InstallTestChip();
    ks::Fault kill{"/dev/mtd1", ks::FaultKind::KillAfterWrite, 2};
    kill.program = "sh";
    ks::SetFault(kDir, kill);
    auto img = Pattern(4 * 16384, 8);
    vakotest::WriteFile("/tmp/img", Str(img));
    // The shell waits for dd: both end after the second block is stored.
    vakotest::RunResult r = Sh("dd if=/tmp/img of=/dev/mtd1 bs=16k 2>/dev/null; echo went on");
    EXPECT_EQ(r.status, 128 + SIGKILL);
    EXPECT_EQ(r.out, "");
    auto win = WindowBytes(ks::Load(kDir), "/dev/mtd1");
    EXPECT_TRUE(std::equal(img.begin(), img.begin() + 2 * 16384, win.begin()));
    EXPECT_TRUE(std::all_of(win.begin() + 2 * 16384, win.end(), [](uint8_t c) { return c == 0xFF; }));
    EXPECT_THAT(ks::Journal(kDir),
                ElementsAre(testing::EndsWith("\tdd\t/dev/mtd1\twrite\tpos=0x4000 length=0x4000 fault=kill\t16384")));
    EXPECT_EQ(ks::Faults(kDir).at(0).program, "sh");

    // No process of that name above the writer: nothing is ended.
    InstallTestChip();
    kill.program = "updater";
    ks::SetFault(kDir, kill);
    r = Sh("dd if=/tmp/img of=/dev/mtd1 bs=16k 2>/dev/null; echo went on");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "went on\n");
    EXPECT_TRUE(std::equal(img.begin(), img.end(), WindowBytes(ks::Load(kDir), "/dev/mtd1").begin()));
}

TEST(KstubFaults, CountersStayExactUnderConcurrentProcesses)
{
    InstallTestChip();
    ks::SetFault(kDir, {"/dev/mtd1", ks::FaultKind::FailWrite, 100000});
    ks::SetFault(kDir, {"/dev/mtd2", ks::FaultKind::FailWrite, 100000});
    vakotest::WriteFile("/tmp/img", Str(Pattern(60 * 512, 7)));
    vakotest::RunResult r = Sh(
        "dd if=/tmp/img of=/dev/mtd1 bs=512 2>/dev/null & dd if=/tmp/img of=/dev/mtd1 bs=512 seek=60 "
        "2>/dev/null & dd if=/tmp/img of=/dev/mtd2 bs=512 2>/dev/null & wait");
    EXPECT_EQ(r.status, 0) << r.err;
    auto faults = ks::Faults(kDir);
    ASSERT_EQ(faults.size(), 2u);
    EXPECT_EQ(faults[0].seen, 120u);
    EXPECT_EQ(faults[1].seen, 60u);
}

} // namespace
