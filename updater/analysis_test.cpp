#include <gtest/gtest.h>
#include <stdint.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "migrate.h"
#include "vakotest/fixture.h"
#include "vakotest/disks.h"
#include "vakotest/files.h"
#include "vakotest/logs.h"

namespace {

using vakotest::SystemDiskListing;

// --- version compare ---

TEST(ReadVersion, FourKeysAndTheNumbersOfTheirLeadingDigits)
{
    struct Case {
        const char *text;
        int read, major, build;
    } cases[] = {
        {"majorversion=\"3\"\nminorversion=\"1\"\nbuildphase=\"rc2\"\nbuildnumber=\"1001\"\n", 4, 3, 1001},
        {"majorversion=2x\nminorversion=0\nbuildphase=beta\nbuildnumber=0351b\n", 4, 2, 351},
        {"majorversion=9999\nminorversion=0\nbuildphase=b\nbuildnumber=99999999\n", 4, 9999, 99999999},
        // A value longer than its key's room is not read, never cut.
        {"majorversion=3\nminorversion=0\nbuildphase=b\nbuildnumber=123456789\n", 3, 0, 0},
        {"majorversion=-7\nminorversion=0\nbuildphase=b\nbuildnumber=abc\n", 4, -7, 0},
        {"minorversion=0\nbuildphase=b\nbuildnumber=1\n", 0, 0, 0},
        {"majorversion=3\nminorversion=0\nbuildnumber=1\n", 2, 0, 0},
        {"majorversion=3\nminorversion=0\nbuildphase=b\n", 3, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        vakotest::WriteFile("/tmp/VERSION", c.text);
        UPDTVERSION v;
        EXPECT_EQ(UPDTReadVersion("/tmp/VERSION", &v), c.read);
        if (c.read == 4) {
            EXPECT_EQ(v.major, c.major);
            EXPECT_EQ(v.build, c.build);
        }
    }
    UPDTVERSION v;
    EXPECT_EQ(UPDTReadVersion("/tmp/missing", &v), 0);
}

TEST(CompareVersion, Examples)
{
    struct Case {
        const char *a, *b;
        int result;
    } cases[] = {
        {"2.0.1", "2.0", 1},
        {"2.0", "2.0.1", -1},
        {"1.0.beta", "1.0.rc", -1},
        {"2.1", "2.1", 0},
        {"1.", "1.0", 0},
        {"1.0", "1.", 0},
        {"1.0.alpha", "1.0.beta", -1},
        {"1.0.RC", "1.0.beta", 1},
        {"1.0.rc", "1.0.0", -1},
        {"1.0.final", "1.0.0", 0},
        {"10.1", "9.7", 1},
        {"1.2.3", "1.10", -1},
        {"2.0", "2", 1},
        {"", "", 0},
        {"", "1", -1},
        {"1", "", 1},
        {nullptr, "1", 0},
        {"1", nullptr, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(UPDTCompareVersion(c.a, c.b), c.result)
            << (c.a ? c.a : "NULL") << " against " << (c.b ? c.b : "NULL");
}

TEST(CompareVersion, OnlyTheFirst31CharactersCount)
{
    std::string a31 = "1." + std::string(28, '0') + "5"; // 31 characters
    std::string a32 = "1." + std::string(29, '0') + "5";
    EXPECT_EQ(UPDTCompareVersion(a31.c_str(), "1.0"), 1);
    EXPECT_EQ(UPDTCompareVersion(a32.c_str(), "1.0"), 0);
    EXPECT_EQ(UPDTCompareVersion("1.0", a32.c_str()), 0);
}

// --- the system partition ---

// The system-log records of the analysis itself.
std::vector<std::string> AnalysisLog()
{
    std::vector<std::string> v;
    for (const std::string &t : vakotest::SyslogTexts())
        if (t.starts_with("updater:"))
            v.push_back(t);
    return v;
}

void NoRaid() { vakotest::WriteFile("/etc.defaults/vakoinfo.conf", "supportraid=\"no\"\n"); }

TEST(SysPartitionResizeable, SizesAndThirdPartitionStart)
{
    struct Case {
        int64_t sectors;
        uint32_t part3Start;
        int result;
    } cases[] = {
        {273042, 1333332, 1}, {530082, 1333332, 1}, {530082, 4000000, 1}, {273042, 1333331, 0},
        {530082, 63, 0},      {273043, 1333332, 0}, {530081, 1333332, 0}, {722862, 1333332, 0},
    };
    for (const Case &c : cases) {
        SystemDiskListing(3, c.part3Start, 1000);
        EXPECT_EQ(IsSysPartitionResizeable(c.sectors), c.result) << c.sectors << " " << c.part3Start;
    }
}

TEST(SysPartitionResizeable, LogsWhyNot)
{
    vakotest::SyslogClear();
    SystemDiskListing(3, 1333331, 1000);
    EXPECT_EQ(IsSysPartitionResizeable(273042), 0);
    vakotest::RemoveFile("/.sandbox/sfdisk/hda.3");
    EXPECT_EQ(IsSysPartitionResizeable(273042), 0);
    auto texts = AnalysisLog();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_TRUE(texts[0].ends_with(" System Partition is not resizeable. (1333331)")) << texts[0];
    EXPECT_TRUE(texts[1].ends_with(" RCPartitionConfigs(/dev/hda3) failed")) << texts[1];
}

TEST(SysPartitionSufficient, NonRaidSystemPartition)
{
    NoRaid();
    struct Case {
        int64_t sectors;
        uint32_t part3Start;
        int64_t extractKB;
        int result;
    } cases[] = {
        {40480, 1333332, 10000, 1},           // 20240 KiB: need equals size
        {40478, 1333332, 10000, 0},           // 20239 KiB
        {273042, 1333332, 361431 - 10240, 1}, // resizeable: counts as 722862 sectors
        {273042, 1333332, 361431 - 10239, 0}, {273042, 1333331, 136521 - 10240, 1}, // not resizeable: its own size
        {273042, 1333331, 136521 - 10239, 0}, {2, 1333332, -10241, 1},              // a negative need fits
        {2, 1333332, INT64_MAX, 0},
    };
    for (const Case &c : cases) {
        SystemDiskListing(1, 63, c.sectors);
        SystemDiskListing(3, c.part3Start, 1000);
        EXPECT_EQ(IsSysPartitionSufficient(c.extractKB), c.result) << c.sectors << " " << c.extractKB;
    }
}

TEST(SysPartitionSufficient, LogsTheSizes)
{
    NoRaid();
    SystemDiskListing(1, 63, 40478);
    SystemDiskListing(3, 63, 1000);
    vakotest::SyslogClear();
    EXPECT_EQ(IsSysPartitionSufficient(10000), 0);
    vakotest::RemoveFile("/.sandbox/sfdisk/hda.1");
    EXPECT_EQ(IsSysPartitionSufficient(0), 0);
    auto texts = AnalysisLog();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_TRUE(texts[0].ends_with(" System Partition is not resizeable. (63)")) << texts[0];
    EXPECT_TRUE(texts[1].ends_with(" System Partition is not sufficient. (20239 < 20240)")) << texts[1];
    EXPECT_TRUE(texts[2].ends_with(" RCPartitionConfigs(/dev/hda1) failed")) << texts[2];
}

void RaidOf(uint64_t bytes, bool active = true)
{
    vakotest::WriteFile("/etc.defaults/vakoinfo.conf", "supportraid=\"yes\"\n");
    vakotest::SystemArray(bytes, active);
}

TEST(SysPartitionSufficient, RaidSystemPartition)
{
    RaidOf(20240ull * 1024 + 1023);
    EXPECT_EQ(IsSysPartitionSufficient(10000), 1);
    EXPECT_EQ(IsSysPartitionSufficient(10001), 0);
    // No partition tool asked on RAID hardware.
    EXPECT_FALSE(vakotest::FileExists("/.sandbox/sfdisk.calls"));
}

TEST(SysPartitionSufficient, RaidArrayBeyondFourTebibytes)
{
    // 5 TiB: as a 32-bit count of KiB it would wrap to 1 TiB.
    RaidOf(5ull << 40);
    EXPECT_EQ(IsSysPartitionSufficient((4ull << 30) + (1ull << 29)), 1);
    EXPECT_EQ(IsSysPartitionSufficient((5ll << 30) - 10240), 1);
    EXPECT_EQ(IsSysPartitionSufficient((5ll << 30) - 10239), 0);
}

TEST(SysPartitionSufficient, RaidArrayNotActive)
{
    RaidOf(1ull << 30, false);
    vakotest::SyslogClear();
    EXPECT_EQ(IsSysPartitionSufficient(0), 0);
    auto texts = AnalysisLog();
    ASSERT_FALSE(texts.empty());
    EXPECT_TRUE(texts.back().ends_with(" Failed to get RAID info, err=0, errno=0x600")) << texts.back();
}

} // namespace

namespace {

// --- flags the analysis sets ---

struct FlagCase {
    const char *what;
    const char *build;
    const char *unique;
    bool junior, noInitrd, writeable;
    int mtdBufSyscall, recoverFISDir, oldWriteable, threshold;
};

TEST(AnalysisFlags, SetOnlyByTheRightFacts)
{
    // `threshold`: gfUpdateRsyncdConf, due up to build 483, stands for the rule's flags.
    const FlagCase cases[] = {
        {"build 350", "350", "vakora_powerpc_demo", false, false, false, 0, 0, 0, 1},
        {"build 351", "351", "vakora_powerpc_demo", false, false, false, 1, 0, 0, 1},
        {"build 284 of the model on junior", "284", "vakora_powerpc_m88_1hd", true, false, false, 0, 1, 0, 1},
        {"build 284 of the model, normal", "284", "vakora_powerpc_m88_1hd", false, false, false, 0, 0, 0, 1},
        {"build 285 of the model on junior", "285", "vakora_powerpc_m88_1hd", true, false, false, 0, 0, 0, 1},
        {"build 284 of another model", "284", "vakora_powerpc_demo_junior", true, false, false, 0, 0, 0, 1},
        {"no initrd", "100", "vakora_powerpc_m88_1hd", false, true, true, 0, 0, 1, 0},
        {"old writeable layout", "261", "vakora_powerpc_m88_1hd", false, false, true, 0, 0, 1, 1},
        {"build 1000", "1000", "vakora_powerpc_demo", false, false, false, 1, 0, 0, 0},
    };
    for (const FlagCase &c : cases) {
        SCOPED_TRACE(c.what);
        vakotest::Appliance a;
        a.version.Set("buildnumber", c.build);
        a.defaults.Set("unique", c.unique);
        a.initrd = !c.noInitrd;
        if (c.writeable)
            a.files["/writeable/keep"] = "";
        else
            std::system("rm -rf /writeable");
        vakotest::Install(a);
        vakotest::Package p;
        p.withUpdater = false;
        p.version.Set("unique", c.unique);
        vakotest::Install(p);
        SystemDiskListing(1, 63, 2097152);
        SystemDiskListing(3, 63, 1000);
        snprintf(gszUpdateDir, sizeof(gszUpdateDir), "%s", p.dir.c_str());
        gfJunior = c.junior;
        gfNoInitrd = c.noInitrd;
        gfMtdBufSyscall = 1;
        gfRecoverFISDir = gfOldWriteableLayout = gfUpdateRsyncdConf = 0;
        ASSERT_EQ(ErrUPDTIAnalyze_WholeSystem(), 0);
        EXPECT_EQ(gfMtdBufSyscall, c.mtdBufSyscall);
        EXPECT_EQ(gfRecoverFISDir, c.recoverFISDir);
        EXPECT_EQ(gfOldWriteableLayout, c.oldWriteable);
        EXPECT_EQ(gfUpdateRsyncdConf, c.threshold);
    }
}

TEST(AnalysisFlags, NoneAfterARefusal)
{
    vakotest::Appliance a;
    a.version.Set("buildnumber", "100");
    vakotest::Install(a);
    vakotest::Package p;
    p.withUpdater = false;
    p.version.Set("extractsize", "999999999");
    vakotest::Install(p);
    SystemDiskListing(1, 63, 2097152);
    SystemDiskListing(3, 63, 1000);
    snprintf(gszUpdateDir, sizeof(gszUpdateDir), "%s", p.dir.c_str());
    gfNoInitrd = 0;
    gfUpdateRsyncdConf = gfRemoveRcAtalk = 0;
    EXPECT_EQ(ErrUPDTIAnalyze_WholeSystem(), UPDT_ERR_SPACE);
    EXPECT_EQ(gfUpdateRsyncdConf, 0);
    EXPECT_EQ(gfRemoveRcAtalk, 0);
}

} // namespace
