// The normal flash road end to end: the updater program run from its
// package on the kernel stand-in's chip.
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "vako/kernel.h"
#include "vakotest/chips.h"
#include "vakotest/files.h"
#include "vakotest/fixture.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/pattern.h"
#include "vakotest/planted.h"
#include "vakotest/progress.h"
#include "vakotest/run.h"

namespace {

namespace ks = vakotest::kstub;
using vakotest::Flash;
using vakotest::Pattern;
using vakotest::ProgressRecorder;
using vakotest::Requests;

constexpr uint32_t kBlock = vakotest::kEraseBlock;

class Road : public testing::Test {
protected:
    // The appliance with its chip and the package with `images`.
    void Prepare(bool junior, const std::map<std::string, std::string> &images, int installedBuild = 1000)
    {
        // Several cases may share one appliance when run by hand.
        std::filesystem::remove_all(package_.dir);
        for (const char *left : {vakotest::kMovedArchive, vakotest::kNormalShutdown})
            vakotest::RemoveFile(left);
        flash_ = vakotest::LayoutFlash(junior ? vakotest::Layout::Junior : vakotest::Layout::Normal);
        if (mutate_)
            mutate_(flash_);
        vakotest::Appliance appliance;
        appliance.layout = junior ? vakotest::Layout::Junior : vakotest::Layout::Normal;
        appliance.version.Set("buildnumber", std::to_string(installedBuild));
        if (!unique_.empty())
            appliance.defaults.Set("unique", unique_);
        appliance.flash = flash_;
        vakotest::Install(appliance);
        package_.images = images;
        package_.hda1 = "disk archive";
        if (!unique_.empty())
            package_.version.Set("unique", unique_);
        vakotest::Install(package_);
        before_ = ks::Load(ks::kSandboxDir);
        vakotest::SyslogClear();
    }
    vakotest::RunResult Update(const std::vector<std::string> &options = {})
    {
        std::vector<std::string> argv{package_.UpdaterPath()};
        argv.insert(argv.end(), options.begin(), options.end());
        return vakotest::Run(argv, {.cwd = "/"});
    }
    // The chip expected: `bytes` in [offset, offset + size), FIS entries rewritten.
    void Write(std::vector<uint8_t> &chip, uint32_t offset, uint32_t size, const std::string &bytes)
    {
        vakotest::PutPartition(chip, offset, size, bytes);
    }
    void Entry(std::vector<uint8_t> &chip, int record, uint32_t base, uint32_t size, uint32_t datalen)
    {
        vakotest::PutFisRecord(chip, flash_, record, base, size, datalen);
    }
    void ExpectChip(const std::vector<uint8_t> &expected)
    {
        auto diff = vakotest::Differences(expected, vakotest::ChipNow());
        std::string where;
        for (size_t i = 0; i < diff.size() && i < 4; ++i) {
            char b[48];
            snprintf(b, sizeof(b), " [0x%x, 0x%x)", diff[i].first, diff[i].second);
            where += b;
        }
        EXPECT_TRUE(diff.empty()) << diff.size() << " ranges differ:" << where;
    }
    // The chip as before but zImage written to its partition of the normal layout.
    void ExpectZImageWritten(const std::string &zImage)
    {
        std::vector<uint8_t> expected = before_.image;
        Write(expected, 0x40000, 0x100000, zImage);
        Entry(expected, 1, 0x40000, 0x100000, zImage.size());
        ExpectChip(expected);
    }
    void ExpectFinished()
    {
        EXPECT_EQ(vakotest::ReadFile(vakotest::kMovedArchive), "disk archive");
        EXPECT_FALSE(vakotest::FileExists(package_.dir + "/hda1.tgz"));
        EXPECT_TRUE(vakotest::FileExists(vakotest::kNormalShutdown));
        EXPECT_TRUE(vakotest::SyslogHas("Congratulation!! The update has been completed!!"));
    }
    void ExpectBackupKept()
    {
        EXPECT_EQ(vakotest::ListDir(package_.dir + "/b@ckup").size(), 8u);
        EXPECT_TRUE(vakotest::FileExists(package_.dir + "/b@ckup.mark"));
        EXPECT_EQ(vakotest::ReadFile(vakotest::kMessageFile),
                  "extramsg=\"The flash could not be restored. Its backup is kept in " + package_.dir + "/b@ckup.\"\n");
    }
    static int Value(const std::string &v) { return std::stoi(v.substr(2)); }
    // The values between P:60 and P:100 written by the copy and the verify.
    static std::vector<std::string> PatchValues(const std::vector<std::string> &values)
    {
        auto from = std::find(values.begin(), values.end(), "P:60");
        auto to = std::find(from, values.end(), "P:100");
        return {from, to == values.end() ? to : to + 1};
    }

    Flash flash_;
    std::function<void(Flash &)> mutate_;
    std::string unique_;
    vakotest::Package package_;
    ks::Chip before_;
};

TEST_F(Road, GroupUpdateWritesTheImagesOfThePackageOnly)
{
    const std::string zImage = Pattern(9 * kBlock + 77, 11), vakocfg = Pattern(3 * kBlock, 12);
    Prepare(false, {{"zImage", zImage}, {"vakocfg", vakocfg}});
    ProgressRecorder progress;
    vakotest::RunResult r = Update({"-g"});
    std::vector<std::string> values = progress.Values();
    ASSERT_EQ(r.status, 0) << r.err;

    std::vector<uint8_t> expected = before_.image;
    Write(expected, 0x40000, 0x100000, zImage);
    Write(expected, 0x390000, 0x50000, vakocfg);
    Entry(expected, 1, 0x40000, 0x100000, zImage.size());
    Entry(expected, 5, 0x390000, 0x50000, vakocfg.size());
    ExpectChip(expected);
    ExpectFinished();
    EXPECT_FALSE(vakotest::FileExists(package_.dir + "/b@ckup"));
    for (const char *part : {"RedBoot", "rd.gz", "AllLib.tgz", "vendor", "RedBoot Config", "FIS Directory"})
        EXPECT_TRUE(vakotest::SyslogHas(std::string("UPDTDoPatch: skip updating [") + part + "]")) << part;

    ASSERT_GE(values.size(), 11u);
    EXPECT_EQ(std::vector<std::string>(values.begin(), values.begin() + 6),
              (std::vector<std::string>{"A:0", "A:10", "P:0", "P:10", "P:20", "P:60"}));
    // The entry's own P:100 and the final R:0 repeat what the file holds already.
    EXPECT_EQ(std::vector<std::string>(values.end() - 4, values.end()),
              (std::vector<std::string>{"P:100", "C:0", "C:100", "R:0"}));
    std::vector<std::string> patch = PatchValues(values);
    EXPECT_TRUE(std::is_sorted(patch.begin(), patch.end(),
                               [](const std::string &a, const std::string &b) { return Value(a) < Value(b); }));
    EXPECT_GT(patch.size(), 20u);
    // Written only when the text changes: 146 blocks of copy and verify give
    // at most the 41 values from 60 to 100.
    EXPECT_EQ(std::adjacent_find(values.begin(), values.end()), values.end());
    EXPECT_LE(patch.size(), 41u);
}

TEST_F(Road, UpdateBacksUpEveryPartitionFirst)
{
    const std::string zImage = Pattern(2 * kBlock, 11);
    Prepare(false, {{"zImage", zImage}});
    ProgressRecorder progress;
    vakotest::RunResult r = Update();
    std::vector<std::string> values = progress.Values();
    ASSERT_EQ(r.status, 0) << r.err;
    ExpectZImageWritten(zImage);
    ExpectFinished();
    auto at20 = std::find(values.begin(), values.end(), "P:20");
    ASSERT_NE(at20, values.end());
    EXPECT_EQ(
        std::vector<std::string>(at20, at20 + 10),
        (std::vector<std::string>{"P:20", "P:30", "P:35", "P:40", "P:45", "P:50", "P:55", "P:60", "P:65", "P:60"}));
    EXPECT_FALSE(vakotest::FileExists(package_.dir + "/b@ckup"));
}

TEST_F(Road, ResizeMovesEraseBlocksThenWritesTheMovedRows)
{
    // zImage needs 18 blocks of its 16; rd.gz (2 of 16 used) gives two.
    const std::string zImage = Pattern(17 * kBlock + 9, 21), rd = Pattern(2 * kBlock - 3, 22);
    Prepare(false, {{"zImage", zImage}, {"rd.bin", rd}});
    vakotest::RunResult r = Update({"-g"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(vakotest::SyslogMatches("UPDTDoPatch({L}): NEED RESIZE THE PARTITION"));
    ExpectChip(vakotest::AfterResize(flash_, zImage, rd));
    ks::Chip now = ks::Load(ks::kSandboxDir);
    EXPECT_EQ(now.windows[1].size, 0x120000u);
    EXPECT_EQ(now.windows[2].offset, 0x160000u);
    EXPECT_EQ(now.windows[2].size, 0xe0000u);
    for (size_t i : {0u, 3u, 4u, 5u, 6u, 7u}) {
        EXPECT_EQ(now.windows[i].offset, before_.windows[i].offset) << i;
        EXPECT_EQ(now.windows[i].size, before_.windows[i].size) << i;
    }
    ExpectFinished();
}

TEST_F(Road, VerifyFailingOnAttemptZeroPassesOnAttemptOne)
{
    const std::string zImage = Pattern(4 * kBlock, 31);
    Prepare(false, {{"zImage", zImage}});
    ks::Fault corrupt{"/dev/mtd1", ks::FaultKind::CorruptWrite, 3};
    corrupt.offset = 7;
    ks::SetFault(ks::kSandboxDir, corrupt);
    ProgressRecorder progress;
    vakotest::RunResult r = Update({"-g"});
    std::vector<std::string> values = progress.Values();
    ASSERT_EQ(r.status, 0) << r.err;
    for (int k = 0; k < 2; ++k)
        for (const char *step : {"Erase", "Write", "Verify"})
            EXPECT_TRUE(vakotest::SyslogMatches(std::string("updater:{L}(UPDTDoPatch) Try to ") + step +
                                                " MTD Partition(/dev/mtd1), [" + std::to_string(k) + "/3]..."));
    // The third block of 16384 bytes was spoilt: the verify stops at 0x8000.
    EXPECT_TRUE(vakotest::SyslogMatches("updater:{L}(UPDTVerifyFile) compare file [/volume1/upd@te/zImage] vs "
                                        "[/dev/mtd1] error at offset 0x8000"));
    ExpectZImageWritten(zImage);
    // Up through the first copy to 80, back to 60, up to 100.
    std::vector<std::string> patch = PatchValues(values);
    auto at80 = std::find(patch.begin(), patch.end(), "P:80");
    ASSERT_NE(at80, patch.end());
    auto back = std::find(at80, patch.end(), "P:60");
    ASSERT_NE(back, patch.end());
    EXPECT_EQ(std::find(back, patch.end(), "P:100"), patch.end() - 1);
}

TEST_F(Road, PartitionThatCannotBeUnlockedFailsThePatch)
{
    Prepare(false, {{"zImage", Pattern(kBlock, 31)}});
    // Three attempts, three refusals: the unlock request, the unlock's geometry
    // query, then the erase (one knob per request).
    ks::SetFault(ks::kSandboxDir, {"/dev/mtd1", ks::FaultKind::FailIoctl, 1, VAKO_MEMUNLOCK, EPERM});
    ks::SetFault(ks::kSandboxDir, {"/dev/mtd1", ks::FaultKind::FailIoctl, 2, VAKO_MEMGETINFO, EIO});
    ks::SetFault(ks::kSandboxDir, {"/dev/mtd1", ks::FaultKind::FailErase, 1, 0, EIO});
    ProgressRecorder progress;
    vakotest::RunResult r = Update({"-g"});
    std::vector<std::string> values = progress.Values();
    EXPECT_EQ(r.status, 20);
    EXPECT_EQ(vakotest::SyslogCount("UPDTDoPatch: unlock [/dev/mtd1] fail"), 2);
    EXPECT_TRUE(vakotest::SyslogMatches("updater:{L}(UPDTDoPatch) Try to Update [/dev/mtd1] 3 counts failed ..."));
    EXPECT_TRUE(vakotest::SyslogMatches("main({L}): fail to patch new binaries!!"));
    EXPECT_TRUE(vakotest::SyslogHas("Failed to accomplish the update! (errno = 20)"));
    // No rollback with -g; the backup directory is removed all the same.
    EXPECT_FALSE(vakotest::SyslogMatches("UPDTRollBack{*}"));
    EXPECT_FALSE(vakotest::FileExists(package_.dir + "/b@ckup"));
    EXPECT_TRUE(Requests("/dev/mtd7", "SET_FIS_ENTRY").empty());
    ASSERT_FALSE(values.empty());
    EXPECT_EQ(values.back(), "P:-20");
}

TEST_F(Road, FailedPatchIsRolledBackByteForByte)
{
    // zImage and rd.gz are moved and written; the FIS entry of rd.gz cannot be
    // rewritten.
    Prepare(false, {{"zImage", Pattern(17 * kBlock + 9, 21)}, {"rd.bin", Pattern(2 * kBlock - 3, 22)}});
    ks::SetFault(ks::kSandboxDir, {"/dev/mtd7", ks::FaultKind::FailIoctl, 2, VAKO_MTD_SET_FIS_ENTRY, EIO});
    ProgressRecorder progress;
    vakotest::RunResult r = Update();
    std::vector<std::string> values = progress.Values();
    EXPECT_EQ(r.status, 20);
    EXPECT_TRUE(vakotest::SyslogHas("UPDTDoPatch: VAKOMTDModifyFISEntry() fail"));
    EXPECT_FALSE(vakotest::SyslogHas("main: UPDTRollBack() fail"));
    ks::Chip now = ks::Load(ks::kSandboxDir);
    ExpectChip(before_.image);
    for (size_t i = 0; i < before_.windows.size(); ++i) {
        EXPECT_EQ(now.windows[i].offset, before_.windows[i].offset) << i;
        EXPECT_EQ(now.windows[i].size, before_.windows[i].size) << i;
    }
    EXPECT_FALSE(vakotest::FileExists(package_.dir + "/b@ckup"));
    EXPECT_EQ(values.back(), "P:-20");
}

TEST_F(Road, PatchRefusedBeforeAnyRowWasChangedRollsNothingBack)
{
    // zImage grows; rd.gz would donate and move, but the package lacks rd.bin.
    Prepare(false, {{"zImage", Pattern(17 * kBlock + 9, 21)}});
    vakotest::RunResult r = Update();
    EXPECT_EQ(r.status, 20);
    EXPECT_TRUE(vakotest::SyslogMatches("UPDTRollBack({L}): the patch changed no partition: nothing to roll back"));
    EXPECT_FALSE(vakotest::SyslogHas("main: UPDTRollBack() fail"));
    ExpectChip(before_.image);
    for (int i = 0; i < 8; ++i)
        for (const char *req : {"SET_PARTITION", "MEMUNLOCK", "MEMERASE", "SET_FIS_ENTRY"})
            EXPECT_TRUE(Requests("/dev/mtd" + std::to_string(i), req).empty()) << i << " " << req;
    EXPECT_FALSE(vakotest::FileExists(package_.dir + "/b@ckup"));
    EXPECT_FALSE(vakotest::FileExists(package_.dir + "/b@ckup.mark"));
}

TEST_F(Road, ARowThatCannotBeRestoredStopsNoOtherAndTheBackupStays)
{
    // zImage (grown into rd.gz's first blocks) and rd.gz are written; the
    // entry of rd.gz cannot be set.  From then on zImage's device takes no
    // write: its 69 writes of the patch pass, every one of the rollback fails.
    const std::string zImage = Pattern(17 * kBlock + 9, 21);
    Prepare(false, {{"zImage", zImage}, {"rd.bin", Pattern(2 * kBlock - 3, 22)}});
    ks::SetFault(ks::kSandboxDir, {"/dev/mtd7", ks::FaultKind::FailIoctl, 2, VAKO_MTD_SET_FIS_ENTRY, EIO});
    ks::Fault broken{"/dev/mtd1", ks::FaultKind::FailWrite, 70};
    broken.times = 0;
    ks::SetFault(ks::kSandboxDir, broken);
    vakotest::RunResult r = Update();
    EXPECT_EQ(r.status, 20);
    EXPECT_TRUE(vakotest::SyslogMatches("UPDTRollBack({L}): fail to restore [zImage] after 3 attempts"));
    EXPECT_TRUE(vakotest::SyslogHas("main: UPDTRollBack() fail"));
    // Every other row is back, rd.gz whole; zImage's old region stays erased
    // and its entry as the patch set it.
    std::vector<uint8_t> expected = before_.image;
    Write(expected, 0x40000, 0x100000, "");
    Entry(expected, 1, 0x40000, 0x120000, zImage.size());
    ExpectChip(expected);
    ks::Chip now = ks::Load(ks::kSandboxDir);
    EXPECT_EQ(now.windows[2].offset, before_.windows[2].offset);
    EXPECT_EQ(now.windows[2].size, before_.windows[2].size);
    ExpectBackupKept();
    EXPECT_TRUE(vakotest::SyslogMatches("main({L}): the flash is not restored; its backup is kept in "
                                        "[/volume1/upd@te/b@ckup]"));
    EXPECT_EQ(vakotest::ReadFile(package_.dir + "/b@ckup/mtd_zImage"),
              std::string(before_.image.begin() + 0x40000, before_.image.begin() + 0x140000));

    // The next run puts the flash back from the dumps and updates it: the
    // message no longer says that the flash could not be restored.
    ks::ClearFaults(ks::kSandboxDir);
    vakotest::SyslogClear();
    vakotest::RunResult again = Update();
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(vakotest::SyslogMatches("main({L}): the flash is restored from the backup of the interrupted update"));
    ExpectChip(vakotest::AfterResize(flash_, zImage, Pattern(2 * kBlock - 3, 22)));
    EXPECT_EQ(vakotest::ReadFile(vakotest::kMessageFile), "");
}

// The updater ended (SIGKILL) in the middle of a resize, then the same update
// run again: the flash goes back to the marked backup first.
class RoadKilled : public Road, public testing::WithParamInterface<ks::WritePoint> {};

TEST_P(RoadKilled, TheSameUpdateRunAgainEndsAsACleanOne)
{
    const std::string zImage = Pattern(17 * kBlock + 9, 21), rd = Pattern(2 * kBlock - 3, 22);
    Prepare(false, {{"zImage", zImage}, {"rd.bin", rd}});
    ks::SetFault(ks::kSandboxDir, ks::KillUpdaterAfter(GetParam()));
    ASSERT_EQ(Update().status, 128 + SIGKILL);
    EXPECT_TRUE(vakotest::FileExists(package_.dir + "/b@ckup.mark"));
    EXPECT_NE(vakotest::ChipNow(), before_.image);

    ks::ClearFaults(ks::kSandboxDir);
    vakotest::SyslogClear();
    vakotest::RunResult r = Update();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(
        vakotest::SyslogMatches("main({L}): an interrupted update left its backup: restoring the flash from it"));
    EXPECT_TRUE(vakotest::SyslogMatches("main({L}): the flash is restored from the backup of the interrupted update"));
    ExpectChip(vakotest::AfterResize(flash_, zImage, rd));
    ks::Chip now = ks::Load(ks::kSandboxDir);
    EXPECT_EQ(now.windows[1].size, 0x120000u);
    EXPECT_EQ(now.windows[2].offset, 0x160000u);
    ExpectFinished();
    EXPECT_FALSE(vakotest::FileExists(package_.dir + "/b@ckup"));
    EXPECT_FALSE(vakotest::FileExists(package_.dir + "/b@ckup.mark"));
}

// Inside zImage once it has grown; inside rd.gz once it has moved, when the
// directory holds zImage's new entry beside rd.gz's old one (they overlap).
INSTANTIATE_TEST_SUITE_P(AfterAWrite, RoadKilled,
                         testing::Values(ks::WritePoint{"/dev/mtd1", 5}, ks::WritePoint{"/dev/mtd2", 3}),
                         [](const auto &p) { return ks::WritePointName(p.param); });

TEST_F(Road, FailedBackupEndsWithFifteen)
{
    // A directory entry that no device stands for (empty: it overlaps nothing).
    mutate_ = [](Flash &f) {
        std::vector<uint8_t> e = ks::EncodeFisEntry("swap", 0, 0, 0, 0, 0);
        std::copy(e.begin(), e.end(), f.chip.image.begin() + f.parts.back().offset + 8 * 256);
    };
    Prepare(false, {{"zImage", Pattern(kBlock, 1)}});
    vakotest::RunResult r = Update();
    EXPECT_EQ(r.status, 15);
    EXPECT_TRUE(vakotest::SyslogMatches("UPDTBackupOldPartition({L}): fail to get device path"));
    EXPECT_TRUE(vakotest::SyslogMatches("main({L}): fail to backup old patch info "));
    ExpectChip(before_.image);
    // The dumps made so far stay.
    EXPECT_EQ(vakotest::ListDir(package_.dir + "/b@ckup").size(), 8u);
}

TEST_F(Road, UnreadableDirectoryOrIncompleteDirectoryWritesNothing)
{
    struct Case {
        const char *what;
        std::function<void(Flash &)> mutate;
        int result;
        const char *message;
    } cases[] = {
        {"no erased record ends the directory",
         [](Flash &f) {
             std::fill(f.chip.image.begin() + f.parts.back().offset + 8 * 256,
                       f.chip.image.begin() + f.parts.back().offset + f.parts.back().size, 0);
         },
         18, "VAKOMTDGetPartitionInfo({L}): failed to read from /dev/mtd7(errno = 0)"},
        {"no vendor entry",
         [](Flash &f) {
             // The records after vendor move up one; the last slot is erased.
             uint8_t *dir = &f.chip.image[f.parts.back().offset];
             memmove(dir + 4 * 256, dir + 5 * 256, 3 * 256);
             memset(dir + 7 * 256, 0xFF, 256);
         },
         19, "UPDTInitPatchInfo({L}): get idx of partition 4 [vendor] fail"},
        {"zImage's entry reaching into rd.gz",
         [](Flash &f) {
             std::vector<uint8_t> e = ks::EncodeFisEntry("zImage", 0x40000, 0x40000, 0x110000, 0, 0xc5eda);
             std::copy(e.begin(), e.end(), f.chip.image.begin() + f.parts.back().offset + 256);
         },
         19,
         "UPDTCheckDirectoryLayout({L}): [rd.gz] at 0x00140000 size 0x00100000 overlaps [zImage] at "
         "0x00040000 size 0x00110000"},
        {"an entry past the directory, the end of the flash",
         [](Flash &f) {
             std::vector<uint8_t> e = ks::EncodeFisEntry("RedBoot Config", 0x3e0000, 0x3e0000, 0x30000, 0, 0x10000);
             std::copy(e.begin(), e.end(), f.chip.image.begin() + f.parts.back().offset + 6 * 256);
         },
         19,
         "UPDTCheckDirectoryLayout({L}): [RedBoot Config] at 0x003E0000 size 0x00030000 ends past the flash "
         "at 0x00400000"},
        {"the directory's own entry past the 32-bit address space",
         [](Flash &f) {
             // The chip at the top of the address space, as the appliance
             // maps it; the directory's entry a block too large.
             for (size_t i = 0; i < f.parts.size(); ++i) {
                 const vakotest::Part &p = f.parts[i];
                 uint32_t size = i + 1 == f.parts.size() ? 0x20000 : p.size;
                 std::vector<uint8_t> e = ks::EncodeFisEntry(p.name, 0xffc00000 + p.offset, 0xffc00000 + p.offset, size,
                                                             0, p.datalen);
                 std::copy(e.begin(), e.end(), f.chip.image.begin() + f.parts.back().offset + i * 256);
             }
         },
         19,
         "UPDTCheckDirectoryLayout({L}): [FIS Directory] at 0xFFFF0000 size 0x00020000 ends past the flash "
         "at 0x100000000"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        mutate_ = c.mutate;
        Prepare(false, {{"zImage", Pattern(kBlock, 1)}});
        ProgressRecorder progress;
        vakotest::RunResult r = Update({"-g"});
        std::vector<std::string> values = progress.Values();
        EXPECT_EQ(r.status, c.result);
        EXPECT_TRUE(vakotest::SyslogMatches(c.message));
        ExpectChip(before_.image);
        for (int i = 0; i < 8; ++i)
            EXPECT_TRUE(Requests("/dev/mtd" + std::to_string(i), "MEMERASE").empty());
        ASSERT_FALSE(values.empty());
        EXPECT_EQ(values.back(), "P:-" + std::to_string(c.result));
    }
}

// The disk archive moved to a volume it does not fit: what the move left
// there is not the archive and goes; the flash is written, the result stays.
TEST_F(Road, ArchiveThatDoesNotFitTheVolumeLeavesNoPartOfIt)
{
    vakotest::MountSmallVolume(vakotest::kVolume, 16 * 4096);
    package_.dir = "/pkg"; // on another file system: the move copies
    const std::string zImage = Pattern(2 * kBlock, 3);
    Prepare(false, {{"zImage", zImage}});
    vakotest::WriteFile(package_.dir + "/hda1.tgz", Pattern(64 * 4096, 4));
    vakotest::RunResult r = Update({"-g"});
    EXPECT_EQ(r.status, 0) << r.err;
    ExpectZImageWritten(zImage);
    EXPECT_TRUE(vakotest::SyslogMatches("main({L}): mv hda1.tgz to /volume1/VakoUpgrade.tar.gz fail."));
    EXPECT_TRUE(vakotest::SyslogMatches("main({L}): removed the partial /volume1/VakoUpgrade.tar.gz"));
    EXPECT_FALSE(vakotest::FileExists(vakotest::kMovedArchive));
    EXPECT_EQ(vakotest::ReadFile(package_.dir + "/hda1.tgz"), Pattern(64 * 4096, 4));
    EXPECT_TRUE(vakotest::SyslogHas("Congratulation!! The update has been completed!!"));
}

// A package directory of the longest name it may have, all single quotes:
// each quote takes four characters in a command, and every command (backup,
// rollback, removal, archive move) still fits.
TEST_F(Road, PackageDirectoryOfQuotesUpToItsRoom)
{
    package_.dir = "/" + std::string(254, '\'');
    vakotest::MakeDirs(vakotest::kVolume);
    for (bool fail : {false, true}) {
        SCOPED_TRACE(fail ? "failed patch, rolled back" : "update");
        const std::string zImage = Pattern(2 * kBlock, 11);
        Prepare(false, {{"zImage", zImage}});
        if (fail)
            ks::SetFault(ks::kSandboxDir, {"/dev/mtd7", ks::FaultKind::FailIoctl, 1, VAKO_MTD_SET_FIS_ENTRY, EIO});
        vakotest::RunResult r = Update();
        EXPECT_FALSE(vakotest::SyslogMatches("{*}does not fit{*}"));
        if (fail) {
            EXPECT_EQ(r.status, 20);
            EXPECT_FALSE(vakotest::SyslogHas("main: UPDTRollBack() fail"));
            ExpectChip(before_.image);
        } else {
            EXPECT_EQ(r.status, 0) << r.err;
            ExpectZImageWritten(zImage);
            ExpectFinished();
        }
        EXPECT_FALSE(vakotest::FileExists(package_.dir + "/b@ckup"));
    }
}

TEST_F(Road, JuniorLayoutUpdate)
{
    const std::string zImage = Pattern(5 * kBlock + 1, 41);
    Prepare(true, {{"zImage", zImage}});
    vakotest::RunResult r = Update({"-g"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(vakotest::SyslogHas("This is junior, gszDevMtdPartition=[/dev/mtd5]"));
    std::vector<uint8_t> expected = before_.image;
    Write(expected, 0, 0xd0000, zImage);
    Entry(expected, 1, 0, 0xd0000, zImage.size());
    ExpectChip(expected);
    ExpectFinished();
}

// Installed build 284 of the model on junior hardware: the directory is
// rewritten from the built-in image before the partition list is read (the
// other pre-patch migrations of so old a build run too).
TEST_F(Road, DirectoryRecoveryOnJuniorBuild284)
{
    unique_ = "vakora_powerpc_m88_1hd";
    Prepare(true, {}, 284);
    vakotest::RunResult r = Update();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(vakotest::RecoveredJuniorDirectoryMismatch(), "");
}

} // namespace
