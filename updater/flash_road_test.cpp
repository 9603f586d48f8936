// The normal flash road on the kernel stand-in's chip: patch table, patch
// with its attempts, rollback and the directory recovery image.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "slib/error.h"
#include "flash.h"
#include "vakotest/chips.h"
#include "vakotest/files.h"
#include "vakotest/logs.h"
#include "vakotest/pattern.h"
#include "vakotest/progress.h"

namespace {

namespace ks = vakotest::kstub;
using vakotest::ChipNow;
using vakotest::Differences;
using vakotest::Pattern;
using vakotest::ProgressRecorder;
using vakotest::Requests;

constexpr uint32_t kBlock = vakotest::kEraseBlock;

constexpr const char *kPkg = "/tmp/pkg";

class FlashRoad : public testing::Test {
protected:
    void Use(bool junior)
    {
        UPDTSelectLayout(junior);
        snprintf(gszUpdateDir, sizeof(gszUpdateDir), "%s", kPkg);
        vakotest::MakeDirs(kPkg);
        ASSERT_EQ(chdir(kPkg), 0);
        flash_ = vakotest::LayoutFlash(junior ? vakotest::Layout::Junior : vakotest::Layout::Normal);
        vakotest::Install(flash_);
        gullProgressTotal = 0;
        gullProgressDone = 0;
        vakotest::SyslogClear();
    }
    void Image(const std::string &file, const std::string &bytes)
    {
        vakotest::WriteFile(std::string(kPkg) + "/" + file, bytes);
    }
    std::vector<VAKOFISENTRY> List()
    {
        int cb = 0;
        int n = VAKOMTDGetPartitionInfo(gszDevMtdPartition, nullptr, 0, &cb);
        std::vector<VAKOFISENTRY> list(n > 0 ? n : 0);
        if (n > 0)
            n = VAKOMTDGetPartitionInfo(gszDevMtdPartition, list.data(), cb, &cb);
        EXPECT_EQ(n, static_cast<int>(list.size()));
        return list;
    }
    // The directory, the patch table from it and the package, the backup.
    std::vector<VAKOFISENTRY> PlanAndBackUp()
    {
        std::vector<VAKOFISENTRY> list = List();
        EXPECT_EQ(UPDTInitPatchInfo(list.data(), list.size()), 0);
        EXPECT_EQ(UPDTBackupOldPartition(list.data(), list.size()), 0);
        return list;
    }
    const PATCHINFO &Row(const char *part)
    {
        for (int r = 0; r < gPartitionCount; ++r)
            if (!strcmp(gPatchInfo[r].part, part))
                return gPatchInfo[r];
        throw std::invalid_argument(part);
    }
    void Expect(std::vector<uint8_t> &chip, uint32_t offset, uint32_t size, const std::string &bytes)
    {
        vakotest::PutPartition(chip, offset, size, bytes);
    }
    void ExpectEntry(std::vector<uint8_t> &chip, int record, uint32_t base, uint32_t size, uint32_t datalen)
    {
        vakotest::PutFisRecord(chip, flash_, record, base, size, datalen);
    }
    vakotest::Flash flash_;
};

TEST_F(FlashRoad, PatchTableFromTheDirectoryAndThePackage)
{
    Use(false);
    Image("zImage", Pattern(16 * kBlock, 9));     // exactly 16 blocks
    Image("rd.bin", Pattern(16 * kBlock + 1, 8)); // one byte more: 17
    std::vector<VAKOFISENTRY> list = List();
    ASSERT_EQ(UPDTInitPatchInfo(list.data(), list.size()), 0);
    EXPECT_EQ(gEraseBlockSize, kBlock);
    const PATCHINFO &z = Row("zImage"), &rd = Row("rd.gz"), &rb = Row("RedBoot");
    EXPECT_EQ(z.start, 0x40000u);
    EXPECT_EQ(z.size, 0x100000u);
    EXPECT_EQ(z.datalen, 0x100000u);
    EXPECT_EQ(z.balance, 0);
    EXPECT_EQ(z.fneedupdate, 1u);
    EXPECT_EQ(rd.datalen, 0x100001u);
    EXPECT_EQ(rd.balance, -1);
    EXPECT_EQ(rd.fneedupdate, 1u);
    EXPECT_EQ(rb.datalen, 0x3a448u);
    EXPECT_EQ(rb.balance, 0);
    EXPECT_EQ(rb.fneedupdate, 0u);
    EXPECT_EQ(Row("vakocfg").balance, 3);
    EXPECT_TRUE(vakotest::SyslogHas("flashsize = 0x003C0000, eraseblock = 0x00010000"));
    EXPECT_TRUE(
        vakotest::SyslogMatches("UPDTInitPatchInfo({L}): file [RedBoot.msys] not included in the patch package "));
    EXPECT_TRUE(vakotest::SyslogHas("PATCHINFO: part[rd.gz] file[rd.bin] start = [0x00140000] size[0x1048576] "
                                    "datalen=[0x00100001] nblock[17] balance[-1] fneedupdate[1]"));
    EXPECT_TRUE(vakotest::SyslogHas("PATCHINFO: part[RedBoot] file[RedBoot.msys] start = [0x00000000] "
                                    "size[0x262144] datalen=[0x0003A448] nblock[4] balance[0] fneedupdate[0]"));
}

TEST_F(FlashRoad, PackageWithoutZImageKeepsTheEntrysDataLength)
{
    Use(false);
    std::vector<VAKOFISENTRY> list = List();
    ASSERT_EQ(UPDTInitPatchInfo(list.data(), list.size()), 0);
    EXPECT_EQ(Row("zImage").datalen, 0xc5edau);
    EXPECT_EQ(Row("zImage").fneedupdate, 0u);
    EXPECT_EQ(Row("zImage").balance, 16 - 13);
    EXPECT_TRUE(vakotest::SyslogMatches("UPDTInitPatchInfo({L}): file [zImage] not included in the patch package "));
}

TEST_F(FlashRoad, PatchTableRefusals)
{
    struct Case {
        const char *what;
        const char *drop; // entry left out of the list
        std::vector<const char *> messages;
    } cases[] = {
        {"no FIS Directory entry",
         "FIS Directory",
         {"UPDTInitPatchInfo({L}): ulAddrMtd7 = 0, ulAddrMtd0 = 40000, ulSizeMtd7 = 0",
          "UPDTInitPatchInfo({L}): flashsize == 0"}},
        {"no vendor entry", "vendor", {"UPDTInitPatchInfo({L}): get idx of partition 4 [vendor] fail"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Use(false);
        std::vector<VAKOFISENTRY> list = List();
        std::erase_if(list, [&](const VAKOFISENTRY &e) { return VAKOFISEntryNameIs(&e, c.drop); });
        EXPECT_EQ(UPDTInitPatchInfo(list.data(), list.size()), -1);
        for (const char *m : c.messages)
            EXPECT_TRUE(vakotest::SyslogMatches(m)) << m;
    }
    EXPECT_EQ(UPDTInitPatchInfo(nullptr, 3), -1);
    EXPECT_TRUE(vakotest::SyslogMatches("UPDTInitPatchInfo({L}): parameter error "));
}

TEST_F(FlashRoad, PatchAndRollbackRefuseAMissingList)
{
    Use(false);
    std::vector<VAKOFISENTRY> list = List();
    ASSERT_EQ(UPDTInitPatchInfo(list.data(), list.size()), 0);
    std::vector<uint8_t> before = ChipNow();
    vakotest::SyslogClear();
    EXPECT_EQ(UPDTDoPatch(nullptr, 8), -1);
    EXPECT_EQ(UPDTDoPatch(list.data(), 0), -1);
    EXPECT_EQ(UPDTRollBack(nullptr, 8), -1);
    EXPECT_EQ(UPDTRollBack(list.data(), -1), -1);
    EXPECT_EQ(vakotest::SyslogCount("UPDTDoPatch({L}): parameter error "), 2);
    EXPECT_EQ(vakotest::SyslogCount("UPDTRollBack({L}): parameter error "), 2);
    EXPECT_EQ(vakotest::SyslogTexts().size(), 4u);
    EXPECT_TRUE(ChipNow() == before);
}

TEST_F(FlashRoad, TotalOfBlocksUpToTheFlashSize)
{
    // 60 blocks between zImage and the end of the directory; the other rows
    // need 33 blocks, so AllLib.tgz may have 27.
    Use(false);
    Image("AllLib.tgz", Pattern(27 * kBlock, 1));
    std::vector<VAKOFISENTRY> list = List();
    EXPECT_EQ(UPDTInitPatchInfo(list.data(), list.size()), 0);
    Image("AllLib.tgz", Pattern(27 * kBlock + 1, 1));
    EXPECT_EQ(UPDTInitPatchInfo(list.data(), list.size()), -1);
    EXPECT_TRUE(
        vakotest::SyslogMatches("UPDTInitPatchInfo({L}): the binary size exceeds flash size limit(total = 61)"));
}

// The patch of one row: only zImage is in the package.
TEST_F(FlashRoad, PatchWritesOnlyTheRowsOfThePackage)
{
    VAKOTEST_SKIP_UNLESS_PROGRESS_RECORDABLE();
    Use(false);
    const std::string image = Pattern(8 * kBlock + 123, 42);
    Image("zImage", image);
    std::vector<VAKOFISENTRY> list = List();
    ASSERT_EQ(UPDTInitPatchInfo(list.data(), list.size()), 0);
    std::vector<uint8_t> expected = ChipNow();
    ProgressRecorder progress;
    ASSERT_EQ(UPDTDoPatch(list.data(), list.size()), 0);

    Expect(expected, 0x40000, 0x100000, image);
    ExpectEntry(expected, 1, 0x40000, 0x100000, image.size());
    EXPECT_TRUE(ChipNow() == expected);
    for (const char *part : {"RedBoot", "rd.gz", "AllLib.tgz", "vendor", "vakocfg", "RedBoot Config", "FIS Directory"})
        EXPECT_TRUE(vakotest::SyslogHas(std::string("UPDTDoPatch: skip updating [") + part + "]")) << part;
    EXPECT_TRUE(vakotest::SyslogHas("UPDTDoPatch: Finish updating [zImage]"));
    EXPECT_EQ(
        Requests("/dev/mtd7", "SET_FIS_ENTRY"),
        std::vector<std::string>{"SET_FIS_ENTRY name=zImage flash_base=0x40000 size=0x100000 data_length=0x8007b 0"});
    EXPECT_EQ(Requests("/dev/mtd1", "SET_PARTITION"),
              std::vector<std::string>{"SET_PARTITION offset=0x40000 size=0x100000 0"});
    EXPECT_TRUE(Requests("/dev/mtd2").empty());

    std::vector<std::string> values = progress.Values();
    ASSERT_FALSE(values.empty());
    EXPECT_EQ(values.front(), "P:60");
    EXPECT_EQ(values.back(), "P:100");
    EXPECT_NE(std::find(values.begin(), values.end(), "P:80"), values.end());
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end(), [](const std::string &a, const std::string &b) {
        return std::stoi(a.substr(2)) < std::stoi(b.substr(2));
    }));
    EXPECT_EQ(gullProgressTotal, 2 * image.size());
}

TEST_F(FlashRoad, VerifyFailingOnceIsRepeatedFromTheErase)
{
    VAKOTEST_SKIP_UNLESS_PROGRESS_RECORDABLE();
    Use(false);
    const std::string image = Pattern(3 * kBlock, 5);
    Image("zImage", image);
    std::vector<VAKOFISENTRY> list = List();
    ASSERT_EQ(UPDTInitPatchInfo(list.data(), list.size()), 0);
    std::vector<uint8_t> expected = ChipNow();
    ks::Fault corrupt{"/dev/mtd1", ks::FaultKind::CorruptWrite};
    corrupt.offset = 100;
    ks::SetFault(ks::kSandboxDir, corrupt);
    ProgressRecorder progress;
    ASSERT_EQ(UPDTDoPatch(list.data(), list.size()), 0);

    Expect(expected, 0x40000, 0x100000, image);
    ExpectEntry(expected, 1, 0x40000, 0x100000, image.size());
    EXPECT_TRUE(ChipNow() == expected);
    for (const char *step : {"Erase", "Write", "Verify"})
        for (int k = 0; k < 2; ++k)
            EXPECT_TRUE(vakotest::SyslogMatches(std::string("updater:{L}(UPDTDoPatch) Try to ") + step +
                                                " MTD Partition(/dev/mtd1), [" + std::to_string(k) + "/3]..."))
                << step << k;
    EXPECT_FALSE(vakotest::SyslogMatches("{*}[2/3]..."));
    EXPECT_TRUE(vakotest::SyslogMatches("updater:{L}(UPDTVerifyFile) compare file [/tmp/pkg/zImage] vs [/dev/mtd1] "
                                        "error at offset 0x0"));
    EXPECT_EQ(Requests("/dev/mtd1", "MEMERASE").size(), 2u);
    // 60 up to 80 through the copy, back to 60 for the second attempt.
    std::vector<std::string> values = progress.Values();
    auto at80 = std::find(values.begin(), values.end(), "P:80");
    ASSERT_NE(at80, values.end());
    EXPECT_NE(std::find(at80, values.end(), "P:60"), values.end());
    EXPECT_EQ(values.back(), "P:100");
}

TEST_F(FlashRoad, ThreeFailedAttemptsFailThePatch)
{
    Use(false);
    Image("zImage", Pattern(kBlock, 5));
    std::vector<VAKOFISENTRY> list = List();
    ASSERT_EQ(UPDTInitPatchInfo(list.data(), list.size()), 0);
    // Attempt 0: the unlock request fails; attempt 1: the geometry query of
    // the unlock; attempt 2: the erase.
    ks::SetFault(ks::kSandboxDir, {"/dev/mtd1", ks::FaultKind::FailIoctl, 1, VAKO_MEMUNLOCK, EPERM});
    ks::SetFault(ks::kSandboxDir, {"/dev/mtd1", ks::FaultKind::FailIoctl, 2, VAKO_MEMGETINFO, EIO});
    ks::SetFault(ks::kSandboxDir, {"/dev/mtd1", ks::FaultKind::FailErase, 1, 0, EIO});
    EXPECT_EQ(UPDTDoPatch(list.data(), list.size()), -1);
    EXPECT_EQ(vakotest::SyslogCount("UPDTDoPatch: unlock [/dev/mtd1] fail"), 2);
    EXPECT_EQ(vakotest::SyslogCount("UPDTDoPatch: VAKOMTDErasePartition() fail"), 1);
    EXPECT_TRUE(vakotest::SyslogMatches("updater:{L}(UPDTDoPatch) Try to Update [/dev/mtd1] 3 counts failed ..."));
    EXPECT_TRUE(Requests("/dev/mtd7", "SET_FIS_ENTRY").empty());
    EXPECT_FALSE(vakotest::SyslogHas("UPDTDoPatch: Finish updating [zImage]"));
}

// A resize that moves an erase block from rd.gz to zImage, then writes both.
TEST_F(FlashRoad, ResizeMovesBlocksAndWritesTheMovedRows)
{
    Use(false);
    const std::string zImage = Pattern(16 * kBlock + 5, 3), rd = Pattern(2 * kBlock, 4);
    Image("zImage", zImage);
    Image("rd.bin", rd);
    std::vector<VAKOFISENTRY> list = List();
    ASSERT_EQ(UPDTInitPatchInfo(list.data(), list.size()), 0);
    std::vector<uint8_t> expected = ChipNow();
    ASSERT_EQ(UPDTDoPatch(list.data(), list.size()), 0);
    EXPECT_TRUE(vakotest::SyslogMatches("UPDTDoPatch({L}): NEED RESIZE THE PARTITION"));

    Expect(expected, 0x40000, 0x110000, zImage);
    Expect(expected, 0x150000, 0xf0000, rd);
    ExpectEntry(expected, 1, 0x40000, 0x110000, zImage.size());
    ExpectEntry(expected, 2, 0x150000, 0xf0000, rd.size());
    EXPECT_TRUE(ChipNow() == expected);
    ks::Chip chip = ks::Load(ks::kSandboxDir);
    EXPECT_EQ(chip.windows[1].offset, 0x40000u);
    EXPECT_EQ(chip.windows[1].size, 0x110000u);
    EXPECT_EQ(chip.windows[2].offset, 0x150000u);
    EXPECT_EQ(chip.windows[2].size, 0xf0000u);
    EXPECT_EQ(chip.windows[3].offset, 0x240000u);
}

TEST_F(FlashRoad, RowsToWriteWithoutAnImageAreRefusedBeforeTheFlashIsTouched)
{
    struct Case {
        const char *what;
        std::string rdImage; // empty: none
        bool fEmptyFile;
        const char *message;
    } cases[] = {
        // zImage grows: rd.gz donates and moves, and the package has no rd.bin.
        {"moved row without an image", "", false,
         "UPDTDoPatch({L}): image [rd.bin] of partition [rd.gz] is missing, unreadable or empty"},
        {"empty image", "", true,
         "UPDTDoPatch({L}): image [rd.bin] of partition [rd.gz] is missing, unreadable or empty"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Use(false);
        Image("zImage", Pattern(16 * kBlock + 5, 3));
        if (c.fEmptyFile)
            Image("rd.bin", "");
        std::vector<VAKOFISENTRY> list = List();
        ASSERT_EQ(UPDTInitPatchInfo(list.data(), list.size()), 0);
        std::vector<uint8_t> before = ChipNow();
        EXPECT_EQ(UPDTDoPatch(list.data(), list.size()), -1);
        EXPECT_TRUE(vakotest::SyslogMatches(c.message));
        EXPECT_TRUE(ChipNow() == before);
        for (int i = 0; i < 8; ++i) {
            std::string dev = "/dev/mtd" + std::to_string(i);
            for (const char *req : {"SET_PARTITION", "MEMUNLOCK", "MEMERASE", "SET_FIS_ENTRY"})
                EXPECT_TRUE(Requests(dev, req).empty()) << dev << " " << req;
        }
    }
}

TEST_F(FlashRoad, ResizeInTableOrderThatBreaksTheJuniorLayoutIsRefused)
{
    // zImage lies lowest and needs one more block: the boot loader donating
    // moves it below the flash, rd.gz donating grows it into vendor.
    struct Case {
        const char *what;
        const char *donorFile;
        const char *message;
    } cases[] = {
        {"zImage moved below the flash", "RedBoot.msys",
         "UPDTCheckResizedLayout({L}): [zImage] at 0xFFFF0000 size 0x000E0000 lies outside the flash "
         "0x00000000-0x00200000"},
        {"zImage grown into vendor", "rd.bin",
         "UPDTCheckResizedLayout({L}): [zImage] at 0x00000000 size 0x000E0000 overlaps [vendor] at 0x000D0000 "
         "size 0x00010000"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Use(true);
        Image("zImage", Pattern(0xd0000 + 1, 3));
        Image(c.donorFile, Pattern(kBlock, 1));
        std::vector<VAKOFISENTRY> list = List();
        ASSERT_EQ(UPDTInitPatchInfo(list.data(), list.size()), 0);
        std::vector<uint8_t> before = ChipNow();
        EXPECT_EQ(UPDTDoPatch(list.data(), list.size()), -1);
        EXPECT_TRUE(vakotest::SyslogMatches(c.message));
        EXPECT_TRUE(vakotest::SyslogMatches("UPDTDoPatch({L}): fail to resize"));
        EXPECT_TRUE(ChipNow() == before);
        for (int i = 0; i < 6; ++i)
            EXPECT_TRUE(Requests("/dev/mtd" + std::to_string(i), "SET_PARTITION").empty()) << i;
    }
}

// A patch that fails after two rows were written, then the rollback.
TEST_F(FlashRoad, RollbackLeavesTheChipAsItWas)
{
    Use(false);
    Image("zImage", Pattern(16 * kBlock + 5, 3));
    Image("rd.bin", Pattern(2 * kBlock, 4));
    std::vector<VAKOFISENTRY> list = List();
    ASSERT_EQ(UPDTInitPatchInfo(list.data(), list.size()), 0);
    ks::Chip before = ks::Load(ks::kSandboxDir);
    ASSERT_EQ(UPDTBackupOldPartition(list.data(), list.size()), 0);
    ks::SetFault(ks::kSandboxDir, {"/dev/mtd7", ks::FaultKind::FailIoctl, 2, VAKO_MTD_SET_FIS_ENTRY, EIO});
    ASSERT_EQ(UPDTDoPatch(list.data(), list.size()), -1);
    EXPECT_TRUE(vakotest::SyslogHas("UPDTDoPatch: VAKOMTDModifyFISEntry() fail"));
    EXPECT_FALSE(ChipNow() == before.image);

    ASSERT_EQ(UPDTRollBack(list.data(), list.size()), 0);
    ks::Chip after = ks::Load(ks::kSandboxDir);
    EXPECT_TRUE(Differences(before.image, after.image).empty());
    for (size_t i = 0; i < before.windows.size(); ++i) {
        EXPECT_EQ(after.windows[i].offset, before.windows[i].offset) << i;
        EXPECT_EQ(after.windows[i].size, before.windows[i].size) << i;
    }
    EXPECT_TRUE(vakotest::SyslogHas("UPDTRollBack: skip recoverying [RedBoot]"));
    EXPECT_TRUE(vakotest::SyslogHas("UPDTRollBack: skip recoverying [AllLib.tgz]"));
    EXPECT_TRUE(vakotest::SyslogMatches("updater:{L}(UPDTRollBack) VAKOMTDErasePartition(/dev/mtd2)..."));
    EXPECT_TRUE(vakotest::SyslogMatches(
        "UPDTRollBack({L}): command=[/bin/dd if='/tmp/pkg/b@ckup/mtd_rd.gz' of='/dev/mtd2' bs=131072]"));
    EXPECT_EQ(Requests("/dev/mtd7", "SET_FIS_ENTRY").back(),
              "SET_FIS_ENTRY name=rd.gz flash_base=0x140000 size=0x100000 data_length=0xaee2c 0");
}

TEST_F(FlashRoad, RollbackGoesOnPastARowThatCannotBeRestored)
{
    Use(false);
    Image("zImage", Pattern(kBlock, 3));
    Image("rd.bin", Pattern(kBlock, 4));
    std::vector<VAKOFISENTRY> list = PlanAndBackUp();
    std::vector<uint8_t> before = ChipNow();
    ASSERT_EQ(UPDTDoPatch(list.data(), list.size()), 0);
    unlink("/tmp/pkg/b@ckup/mtd_zImage");
    EXPECT_EQ(UPDTRollBack(list.data(), list.size()), -1);
    EXPECT_EQ(vakotest::SyslogCount("UPDTExecute({L}): failed to execute cmd=[/bin/dd "
                                    "if='/tmp/pkg/b@ckup/mtd_zImage' of='/dev/mtd1' bs=131072], ret = 1"),
              3);
    EXPECT_TRUE(vakotest::SyslogMatches("UPDTRollBack({L}): fail to restore [zImage] after 3 attempts"));
    // zImage stays erased; rd.gz, after it in the table, is restored all the same.
    std::vector<uint8_t> now = ChipNow();
    EXPECT_TRUE(std::equal(now.begin() + 0x140000, now.begin() + 0x240000, before.begin() + 0x140000));
    EXPECT_TRUE(std::all_of(now.begin() + 0x40000, now.begin() + 0x140000, [](uint8_t c) { return c == 0xFF; }));
    EXPECT_EQ(Requests("/dev/mtd7", "SET_FIS_ENTRY").back(),
              "SET_FIS_ENTRY name=rd.gz flash_base=0x140000 size=0x100000 data_length=0xaee2c 0");
}

TEST_F(FlashRoad, RollbackRepeatsARowLikeThePatch)
{
    Use(false);
    Image("zImage", Pattern(kBlock, 3));
    std::vector<VAKOFISENTRY> list = PlanAndBackUp();
    std::vector<uint8_t> before = ChipNow();
    ASSERT_EQ(UPDTDoPatch(list.data(), list.size()), 0);
    // The rollback's first erase fails, its first restore is spoilt: the
    // third attempt restores the row.
    ks::SetFault(ks::kSandboxDir, {"/dev/mtd1", ks::FaultKind::FailErase, 1});
    ks::Fault corrupt{"/dev/mtd1", ks::FaultKind::CorruptWrite, 1};
    corrupt.offset = 9;
    ks::SetFault(ks::kSandboxDir, corrupt);
    vakotest::SyslogClear();
    EXPECT_EQ(UPDTRollBack(list.data(), list.size()), 0);
    EXPECT_TRUE(ChipNow() == before);
    EXPECT_EQ(vakotest::SyslogCount("updater:{L}(UPDTRollBack) VAKOMTDErasePartition(/dev/mtd1)..."), 3);
    EXPECT_TRUE(vakotest::SyslogHas("UPDTRollBack: VAKOMTDErasePartition() fail"));
    EXPECT_TRUE(vakotest::SyslogMatches("updater:{L}(UPDTVerifyDump) compare file [/tmp/pkg/b@ckup/mtd_zImage] vs "
                                        "[/dev/mtd1] error at offset 0x0"));
}

TEST_F(FlashRoad, RollbackRestoresWhatTheRowsThePatchChangedCover)
{
    // zImage grows into the first block of rd.gz and is written; its entry
    // cannot be set, so the patch never reaches rd.gz, whose old region it
    // overwrote all the same.
    Use(false);
    Image("zImage", Pattern(16 * kBlock + 5, 3));
    Image("rd.bin", Pattern(2 * kBlock, 4));
    std::vector<VAKOFISENTRY> list = PlanAndBackUp();
    std::vector<uint8_t> before = ChipNow();
    ks::SetFault(ks::kSandboxDir, {"/dev/mtd7", ks::FaultKind::FailIoctl, 1, VAKO_MTD_SET_FIS_ENTRY, EIO});
    ASSERT_EQ(UPDTDoPatch(list.data(), list.size()), -1);
    EXPECT_TRUE(Requests("/dev/mtd2").empty());
    ASSERT_EQ(UPDTRollBack(list.data(), list.size()), 0);
    EXPECT_TRUE(Differences(before, ChipNow()).empty());
    EXPECT_TRUE(vakotest::SyslogMatches(
        "UPDTRollBack({L}): command=[/bin/dd if='/tmp/pkg/b@ckup/mtd_rd.gz' of='/dev/mtd2' bs=131072]"));
    EXPECT_TRUE(vakotest::SyslogHas("UPDTRollBack: skip recoverying [AllLib.tgz]"));
}

TEST_F(FlashRoad, PatchRefusedBeforeAnyRowWasChangedRollsNothingBack)
{
    // A moved row whose image the package lacks: the patch stops before it
    // changes anything.
    Use(false);
    Image("zImage", Pattern(16 * kBlock + 5, 3));
    std::vector<VAKOFISENTRY> list = PlanAndBackUp();
    EXPECT_EQ(UPDTDoPatch(list.data(), list.size()), -1);
    std::vector<uint8_t> before = ChipNow();
    size_t requests = ks::Journal(ks::kSandboxDir).size();
    EXPECT_EQ(UPDTRollBack(list.data(), list.size()), 0);
    EXPECT_TRUE(vakotest::SyslogMatches("UPDTRollBack({L}): the patch changed no partition: nothing to roll back"));
    EXPECT_EQ(ks::Journal(ks::kSandboxDir).size(), requests);
    EXPECT_TRUE(ChipNow() == before);
}

TEST_F(FlashRoad, DirectoryRecoveryImage)
{
    Use(true);
    ASSERT_EQ(VAKOMTDLockPartition("/dev/mtd5"), 0);
    ks::SetFault(ks::kSandboxDir, {"/dev/mtd5", ks::FaultKind::ShortWrite, 0, 0, 0, 0, 1, 500});
    std::vector<uint8_t> before = ChipNow();
    ASSERT_EQ(RecoverFISDirTable_M88_V284(), 0);
    std::vector<uint8_t> expected = before;
    unsigned char image[UPDT_FISDIR_IMAGE_SIZE];
    UPDTGetFISDirImage(image);
    std::fill(expected.begin() + 0x1f0000, expected.end(), 0xFF);
    std::copy(image, image + sizeof(image), expected.begin() + 0x1f0000);
    EXPECT_TRUE(ChipNow() == expected);
    EXPECT_EQ(Requests("/dev/mtd5", "write").size(), 3u); // cut to 500 bytes three times, then the rest
    EXPECT_EQ(vakotest::RecoveredJuniorDirectoryMismatch(), "");
}

TEST_F(FlashRoad, DirectoryRecoveryFailuresLockTheDeviceAgain)
{
    struct Case {
        const char *what;
        ks::Fault fault;
        const char *message;
        int error;
        bool fErased;
    } cases[] = {
        {"unlock",
         {"/dev/mtd5", ks::FaultKind::FailIoctl, 1, VAKO_MEMUNLOCK, EPERM},
         "updater:{L}(RecoverFISDirTable_M88_V284) VAKOMTDUnlockPartition(/dev/mtd5) fail",
         0,
         false},
        {"erase",
         {"/dev/mtd5", ks::FaultKind::FailErase, 1, 0, EIO},
         "updater:{L}(RecoverFISDirTable_M88_V284) VAKOMTDErasePartition(/dev/mtd5) fail",
         0,
         false},
        {"write",
         {"/dev/mtd5", ks::FaultKind::FailWrite, 1, 0, EIO},
         "updater:{L}(RecoverFISDirTable_M88_V284) write(/dev/mtd5) fail",
         0x0A00,
         true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Use(true);
        ASSERT_EQ(VAKOMTDLockPartition("/dev/mtd5"), 0);
        std::vector<uint8_t> before = ChipNow();
        ks::SetFault(ks::kSandboxDir, c.fault);
        SLIBErrorSet(0);
        EXPECT_EQ(RecoverFISDirTable_M88_V284(), -1);
        EXPECT_TRUE(vakotest::SyslogMatches(c.message));
        EXPECT_EQ(SLIBErrorGet(), c.error);
        EXPECT_EQ(ChipNow() == before, !c.fErased);
        EXPECT_TRUE(ks::Load(ks::kSandboxDir).windows[5].locked);
        EXPECT_EQ(Requests("/dev/mtd5", "MEMLOCK").back().substr(0, 8), "MEMLOCK ");
    }
}

} // namespace
