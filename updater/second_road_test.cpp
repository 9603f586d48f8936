#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "flash.h"
#include "vakotest/files.h"
#include "vakotest/chips.h"
#include "vakotest/logs.h"
#include "vakotest/pattern.h"

namespace {

using vakotest::kUnit;

class MSysPatchInfo : public testing::Test {
protected:
    void SetUp() override
    {
        memcpy(gPatchInfo, gNormalPatchTemplate, sizeof(gPatchInfo));
        gPartitionCount = UPDT_MAX_PARTITIONS;
        memset(list_, 0, sizeof(list_));
        // A table of the kernel's: sizes in units, laid out from 0.
        const uint32_t units[UPDT_MAX_PARTITIONS] = {16, 120, 300, 400, 8, 100, 4, 19};
        uint32_t base = 0;
        for (int i = 0; i < UPDT_MAX_PARTITIONS; ++i) {
            strncpy(list_[i].name, gPatchInfo[i].part, sizeof(list_[i].name));
            list_[i].flash_base = base;
            list_[i].size = units[i] * kUnit;
            list_[i].data_length = units[i] * kUnit / 2 + 1;
            base += list_[i].size;
        }
        std::filesystem::create_directories("/tmp/pkg");
        ASSERT_EQ(chdir("/tmp/pkg"), 0);
    }
    VAKOFISENTRY list_[UPDT_MAX_PARTITIONS];
};

TEST_F(MSysPatchInfo, RowsComeFromTheKernelTableAndThePackage)
{
    vakotest::WriteFile("/tmp/pkg/zImage", std::string(kUnit * 121 + 1, 'z'));
    vakotest::WriteFile("/tmp/pkg/rd.bin", std::string(kUnit * 7, 'r'));
    gEraseBlockSize = 0;

    ASSERT_EQ(UPDTMSysInitPatchInfo(list_, UPDT_MAX_PARTITIONS), 0);
    EXPECT_EQ(gEraseBlockSize, kUnit);

    const PATCHINFO &z = gPatchInfo[1];
    EXPECT_EQ(z.start, 16 * kUnit);
    EXPECT_EQ(z.size, 120 * kUnit);
    EXPECT_EQ(z.datalen, kUnit * 121 + 1);
    EXPECT_EQ(z.balance, 120 - 122);
    EXPECT_EQ(z.fneedupdate, 1u);

    const PATCHINFO &rd = gPatchInfo[2];
    EXPECT_EQ(rd.datalen, kUnit * 7);
    EXPECT_EQ(rd.balance, 300 - 7);
    EXPECT_EQ(rd.fneedupdate, 1u);

    // No image: the kernel's data length decides the blocks.
    const PATCHINFO &lib = gPatchInfo[3];
    EXPECT_EQ(lib.start, (16 + 120 + 300) * kUnit);
    EXPECT_EQ(lib.datalen, 200 * kUnit + 1);
    EXPECT_EQ(lib.balance, 400 - 201);
    EXPECT_EQ(lib.fneedupdate, 0u);
    EXPECT_EQ(lib.nblockdelta, 0);
}

TEST_F(MSysPatchInfo, TheWholeFlashIsTheLimit)
{
    // The other rows need 9+151+201+5+51+3+10 units by their data lengths.
    const long long others = 430;
    vakotest::WriteFile("/tmp/pkg/zImage", std::string(kUnit * (967 - others), 'z'));
    EXPECT_EQ(UPDTMSysInitPatchInfo(list_, UPDT_MAX_PARTITIONS), 0);

    vakotest::WriteFile("/tmp/pkg/zImage", std::string(kUnit * (967 - others) + 1, 'z'));
    EXPECT_EQ(UPDTMSysInitPatchInfo(list_, UPDT_MAX_PARTITIONS), -1);
}

TEST_F(MSysPatchInfo, TheKernelsTableIsBigEndianOnEveryProcessor)
{
    // Size and data length of each position, most significant byte first.
    unsigned char raw[UPDT_MAX_PARTITIONS * 8] = {
        0x00, 0x04, 0x00, 0x00, 0x00, 0x01, 0x23, 0x45, // 0x40000, 0x12345
        0x01, 0x02, 0x03, 0x04, 0xA0, 0xB0, 0xC0, 0xD0, // 0x1020304, 0xA0B0C0D0
    };
    UPDTMSysDecodePartitionTable(raw, list_);
    EXPECT_STREQ(list_[0].name, "RedBoot");
    EXPECT_EQ(list_[0].flash_base, 0u);
    EXPECT_EQ(list_[0].size, 0x40000u);
    EXPECT_EQ(list_[0].data_length, 0x12345u);
    EXPECT_EQ(list_[1].flash_base, 0x40000u);
    EXPECT_EQ(list_[1].size, 0x1020304u);
    EXPECT_EQ(list_[1].data_length, 0xA0B0C0D0u);
    for (int i = 2; i < UPDT_MAX_PARTITIONS; ++i) {
        EXPECT_EQ(list_[i].flash_base, 0x1060304u);
        EXPECT_EQ(list_[i].size, 0u);
    }
}

TEST_F(MSysPatchInfo, ParametersAreChecked)
{
    EXPECT_EQ(UPDTMSysInitPatchInfo(nullptr, 8), -1);
    EXPECT_EQ(UPDTMSysInitPatchInfo(list_, 0), -1);
    const int units[UPDT_MAX_PARTITIONS] = {};
    EXPECT_EQ(UPDTMSysFormat(units, 6), -1);
    EXPECT_EQ(UPDTMSysFormat(nullptr, 8), -1);
}

} // namespace

// ---- on the kernel stand-in ----

namespace {

using vakotest::kJuniorUnits;
using vakotest::kNormalUnits;
using vakotest::Pattern;
using vakotest::Requests;
using vakotest::WindowBytes;
namespace ks = vakotest::kstub;

// The system-log texts that begin with `prefix`, in order.
std::vector<std::string> TextsStartingWith(const std::string &prefix)
{
    std::vector<std::string> out;
    for (const std::string &text : vakotest::SyslogTexts())
        if (text.starts_with(prefix))
            out.push_back(text);
    return out;
}

class MSysRoad : public testing::Test {
protected:
    void UseLayout(bool junior)
    {
        UPDTSelectLayout(junior);
        vakotest::Flash flash = vakotest::SecondRoadFlash(junior ? kJuniorUnits : kNormalUnits, {1});
        vakotest::Install(flash);
        chip_ = flash.chip;
        std::filesystem::create_directories("/tmp/pkg");
        ASSERT_EQ(chdir("/tmp/pkg"), 0);
        snprintf(gszUpdateDir, sizeof(gszUpdateDir), "%s", "/tmp/pkg");
        gfGroupUpdate = 0;
        memset(list_, 0, sizeof(list_));
        vakotest::SyslogClear();
    }
    // Table, patch table and backup as the road does them before the patch.
    void Prepare()
    {
        ASSERT_EQ(UPDTMSysGetPartitionInfo(list_), 8);
        ASSERT_EQ(UPDTMSysInitPatchInfo(list_, 8), 0);
        ASSERT_EQ(UPDTBackupOldPartition(list_, gPartitionCount), 0);
    }
    ks::Chip chip_;
    VAKOFISENTRY list_[UPDT_MAX_PARTITIONS];
};

TEST_F(MSysRoad, TheListComesFromTheKernelTable)
{
    UseLayout(false);
    ASSERT_EQ(UPDTMSysGetPartitionInfo(list_), 8);
    uint32_t base = 0;
    for (int i = 0; i < 8; ++i) {
        EXPECT_STREQ(list_[i].name, gNormalPatchTemplate[i].part);
        EXPECT_EQ(list_[i].flash_base, base);
        EXPECT_EQ(list_[i].size, kNormalUnits[i] * kUnit);
        EXPECT_EQ(list_[i].data_length, kNormalUnits[i] * kUnit / 2);
        base += list_[i].size;
    }
}

TEST_F(MSysRoad, JuniorPositionsPastTheLayoutHaveNoNameButKeepTheirSizes)
{
    UseLayout(true);
    ASSERT_EQ(UPDTMSysGetPartitionInfo(list_), 8);
    EXPECT_STREQ(list_[5].name, "FIS Directory");
    for (int i : {6, 7}) {
        EXPECT_EQ(std::string(list_[i].name, sizeof(list_[i].name)), std::string(sizeof(list_[i].name), '\0'));
        EXPECT_EQ(list_[i].size, kJuniorUnits[i] * kUnit);
    }
    EXPECT_EQ(list_[7].flash_base, (967 - 9) * kUnit);
}

TEST_F(MSysRoad, OnlyTheImageThatFitsIsWritten)
{
    UseLayout(false);
    const std::string image = Pattern(50 * kUnit + 100, 77);
    vakotest::WriteFile("/tmp/pkg/zImage", image);
    Prepare();
    int repartitioned = 0;
    ASSERT_EQ(UPDTMSysDoPatch(list_, 8, &repartitioned), 0);
    EXPECT_EQ(repartitioned, 0);

    ks::Chip now = ks::Load(ks::kSandboxDir);
    EXPECT_EQ(WindowBytes(now, 1), image + std::string(120 * kUnit - image.size(), '\xFF'));
    for (int i : {0, 2, 3, 4, 5, 6, 7})
        EXPECT_EQ(WindowBytes(now, i), WindowBytes(chip_, i)) << i;
    EXPECT_TRUE(Requests("/dev/mtd0", "FORMAT").empty());
    EXPECT_EQ(vakotest::ReadFile(UPDT_PROGRESS_FILE), "P:70:      ");
    EXPECT_EQ(TextsStartingWith("UPDTMSysDoPatch"), (std::vector<std::string>{
                                                        "UPDTMSysDoPatch: skip updating [RedBoot]",
                                                        "UPDTMSysDoPatch: Finish updating [zImage]",
                                                        "UPDTMSysDoPatch: skip updating [rd.gz]",
                                                        "UPDTMSysDoPatch: skip updating [AllLib.tgz]",
                                                        "UPDTMSysDoPatch: skip updating [vendor]",
                                                        "UPDTMSysDoPatch: skip updating [vakocfg]",
                                                        "UPDTMSysDoPatch: skip updating [RedBoot Config]",
                                                        "UPDTMSysDoPatch: skip updating [FIS Directory]",
                                                    }));
    EXPECT_TRUE(vakotest::SyslogHas("szCmd=[/bin/dd if='/tmp/pkg/zImage' of=\"/dev/mtd1\" bs=16384]"));
}

TEST_F(MSysRoad, AnOutgrownImageRepartitionsAndTheOtherRowsComeFromTheirDumps)
{
    UseLayout(false);
    // zImage needs 130 units of its 120; AllLib.tgz (balance 200) gives 10.
    const std::string image = Pattern(130 * kUnit, 5);
    vakotest::WriteFile("/tmp/pkg/zImage", image);
    Prepare();
    int repartitioned = 0;
    ASSERT_EQ(UPDTMSysDoPatch(list_, 8, &repartitioned), 0);
    EXPECT_EQ(repartitioned, 1);

    EXPECT_EQ(Requests("/dev/mtd0", "FORMAT"), std::vector<std::string>{"FORMAT units=967 0"});
    EXPECT_EQ(Requests("/dev/mtd0", "SET_PART_TABLE"), std::vector<std::string>{vakotest::kGrownTable});
    EXPECT_TRUE(vakotest::AllWindows(ks::Load(ks::kSandboxDir)) == vakotest::AfterZImageGrew(chip_, image));
    EXPECT_EQ(vakotest::ReadFile(UPDT_PROGRESS_FILE), "P:100:      ");
    EXPECT_TRUE(
        vakotest::SyslogHas("szCmd=[/bin/dd if='/tmp/pkg/b@ckup/mtd_AllLib.tgz' of=\"/dev/mtd3\" bs=16384 count=390]"));

    // The rollback lays the old table out again and writes every dump back.
    ASSERT_EQ(UPDTMSysRollBack(list_, 8, 1), 0);
    EXPECT_EQ(Requests("/dev/mtd0", "SET_PART_TABLE").back(), "SET_PART_TABLE units=16,120,300,400,8,100,4,19 0");
    EXPECT_EQ(ks::Load(ks::kSandboxDir).image, chip_.image);
}

TEST_F(MSysRoad, JuniorRepartitionKeepsTheKernelsSizesPastTheLayout)
{
    UseLayout(true);
    // zImage needs 210 of its 200 units; rd.gz (balance 200) gives 10.
    vakotest::WriteFile("/tmp/pkg/zImage", Pattern(210 * kUnit, 9));
    Prepare();
    EXPECT_EQ(vakotest::ListDir("/tmp/pkg/b@ckup"),
              (std::vector<std::string>{"mtd_FIS Directory", "mtd_RedBoot", "mtd_RedBoot Config", "mtd_rd.gz",
                                        "mtd_vendor", "mtd_zImage"}));
    int repartitioned = 0;
    ASSERT_EQ(UPDTMSysDoPatch(list_, 8, &repartitioned), 0);
    EXPECT_EQ(Requests("/dev/mtd0", "SET_PART_TABLE"),
              std::vector<std::string>{"SET_PART_TABLE units=16,210,390,300,20,12,10,9 0"});

    ASSERT_EQ(UPDTMSysRollBack(list_, 8, 1), 0);
    EXPECT_EQ(Requests("/dev/mtd0", "SET_PART_TABLE").back(), "SET_PART_TABLE units=16,200,400,300,20,12,10,9 0");
    // Positions 6 and 7 have no dump: the format leaves them erased.
    ks::Chip now = ks::Load(ks::kSandboxDir);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(WindowBytes(now, i), WindowBytes(chip_, i)) << i;
}

TEST_F(MSysRoad, FormatWithAnotherCountOpensNothing)
{
    UseLayout(false);
    const int units[UPDT_MAX_PARTITIONS] = {16, 120, 300, 400, 8, 100, 4, 19};
    EXPECT_EQ(UPDTMSysFormat(units, 6), -1);
    EXPECT_EQ(vakotest::SyslogCount("UPDTMSysFormat{*}"), 1);
    EXPECT_TRUE(vakotest::SyslogMatches("UPDTMSysFormat({L}): parameter error"));
    EXPECT_TRUE(ks::Journal(ks::kSandboxDir).empty());
}

TEST(MSysUpdate, WithoutAStageLetterTheRoadStillEndsWithItsResult)
{
    // No flash set up: the kernel table cannot be read and the road stops.
    EXPECT_EQ(UPDTMSysUpdate(nullptr), UPDT_ERR_PART_INFO);
    EXPECT_EQ(vakotest::ReadFile(UPDT_PROGRESS_FILE).substr(0, 4), "P:0:");
}

} // namespace
