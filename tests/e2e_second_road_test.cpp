// The second flash road, end to end: the real updater run from its package
// directory on the kernel stand-in's flash.
#include <gtest/gtest.h>
#include <signal.h>

#include <functional>
#include <string>
#include <vector>

#include "vakotest/chips.h"
#include "vakotest/files.h"
#include "vakotest/fixture.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/pattern.h"
#include "vakotest/run.h"

namespace {

using vakotest::kNormalUnits;
using vakotest::kUnit;
using vakotest::Pattern;
using vakotest::Requests;
using vakotest::SyslogMatches;
using vakotest::WindowBytes;
namespace ks = vakotest::kstub;

class SecondRoad : public testing::Test {
protected:
    void SetUp() override
    {
        // Window 1 starts erased: what a shorter image leaves of it reads 0xFF.
        vakotest::Appliance appliance;
        appliance.flash = vakotest::SecondRoadFlash(kNormalUnits, {1});
        vakotest::Install(appliance);
        chip_ = appliance.flash->chip;
        package_.hda1 = "disk archive\n";
        vakotest::SyslogClear();
    }

    void Update(bool fGroup)
    {
        vakotest::Install(package_);
        std::vector<std::string> argv = {package_.UpdaterPath()};
        if (fGroup)
            argv.push_back("-g");
        result_ = vakotest::Run(argv, {.cwd = "/"});
    }

    // The progress text is written in place: blanks pad it to the longest text so far.
    std::string Progress() const
    {
        std::string text = vakotest::ReadFile(vakotest::kProgressFile);
        return text.substr(0, text.find_last_not_of(' ') + 1);
    }
    void ExpectBackupKept() const
    {
        EXPECT_EQ(vakotest::ListDir(package_.dir + "/b@ckup").size(), 8u);
        EXPECT_TRUE(vakotest::FileExists(package_.dir + "/b@ckup.mark"));
        EXPECT_EQ(vakotest::ReadFile(vakotest::kMessageFile),
                  "extramsg=\"The flash could not be restored. Its backup is kept in " + package_.dir + "/b@ckup.\"\n");
        EXPECT_TRUE(SyslogMatches("UPDTMSysUpdate({L}): the flash is not restored; its backup is kept in "
                                  "[/volume1/upd@te/b@ckup]"));
    }
    // The appliance again, with its flash changed.
    void Reinstall(const std::function<void(vakotest::Flash &)> &change)
    {
        vakotest::Appliance appliance;
        appliance.flash = vakotest::SecondRoadFlash(kNormalUnits, {1});
        change(*appliance.flash);
        vakotest::Install(appliance);
        chip_ = appliance.flash->chip;
    }
    bool ArchiveMoved() const
    {
        return vakotest::FileExists(vakotest::kMovedArchive) && !vakotest::FileExists(package_.dir + "/hda1.tgz");
    }

    ks::Chip chip_;
    vakotest::Package package_;
    vakotest::RunResult result_{};
};

class SecondRoadOnlyZImage : public SecondRoad, public testing::WithParamInterface<bool> {};

TEST_P(SecondRoadOnlyZImage, IsWrittenAndTheOtherRowsAreSkipped)
{
    const bool fGroup = GetParam();
    const std::string image = Pattern(100 * kUnit + 3, 41);
    package_.images["zImage"] = image;
    vakotest::WriteFile("/usr/vako/etc/manutil.conf", "x\n");
    Update(fGroup);

    EXPECT_EQ(result_.status, 0) << result_.err;
    EXPECT_EQ(Progress(), "R:0:");
    ks::Chip now = ks::Load(ks::kSandboxDir);
    EXPECT_EQ(WindowBytes(now, 1), image + std::string(120 * kUnit - image.size(), '\xFF'));
    for (int i : {0, 2, 3, 4, 5, 6, 7})
        EXPECT_EQ(WindowBytes(now, i), WindowBytes(chip_, i)) << i;
    EXPECT_TRUE(Requests("/dev/mtd0", "FORMAT").empty());
    for (const char *part : {"RedBoot", "rd.gz", "AllLib.tgz", "vendor", "vakocfg", "RedBoot Config", "FIS Directory"})
        EXPECT_TRUE(SyslogMatches(std::string("UPDTMSysDoPatch: skip updating [") + part + "]")) << part;
    EXPECT_TRUE(SyslogMatches("UPDTMSysDoPatch: Finish updating [zImage]"));
    EXPECT_TRUE(SyslogMatches("Congratulation!! The update has been completed!!"));
    EXPECT_TRUE(ArchiveMoved());
    EXPECT_FALSE(vakotest::FileExists(package_.dir + "/b@ckup"));
    // The configuration update runs only without -g.
    EXPECT_EQ(vakotest::FileExists("/usr/vako/etc/manutil.conf"), fGroup);
}

INSTANTIATE_TEST_SUITE_P(GroupAndFull, SecondRoadOnlyZImage, testing::Bool(),
                         [](const testing::TestParamInfo<bool> &p) { return p.param ? "GroupUpdate" : "FullRoad"; });

TEST_F(SecondRoad, ImagesNeeding968UnitsAreRefusedWithNothingWritten)
{
    // Without images the other rows need 8+150+200+4+50+2+10 units by their
    // data lengths.
    package_.images["zImage"] = Pattern((968 - 424) * kUnit, 3);
    Update(true);

    EXPECT_EQ(result_.status, 19);
    EXPECT_EQ(Progress(), "P:-19:");
    EXPECT_TRUE(
        SyslogMatches("UPDTMSysInitPatchInfo({L}): the binary size exceeds flash size limit(total = 968 blocks)"));
    EXPECT_TRUE(SyslogMatches("UPDTMSysUpdate({L}): fail to initialize patch info "));
    EXPECT_EQ(ks::Load(ks::kSandboxDir).image, chip_.image);
    EXPECT_TRUE(Requests("/dev/mtd0", "FORMAT").empty());
    // The road returns at once: the archive stays where it was.
    EXPECT_TRUE(vakotest::FileExists(package_.dir + "/hda1.tgz"));
}

TEST_F(SecondRoad, GroupUpdateThatMustRepartitionWithAMissingImageFailsBeforeTheFormat)
{
    package_.images["zImage"] = Pattern(130 * kUnit, 8);
    vakotest::WriteFile(package_.dir + "/b@ckup/old", "left over\n");
    Update(true);

    EXPECT_EQ(result_.status, 20);
    EXPECT_EQ(Progress(), "P:-20:");
    EXPECT_TRUE(SyslogMatches("UPDTMSysDoPatch({L}): NEED RE-PARTITION!!"));
    EXPECT_TRUE(SyslogMatches("UPDTMSysDoPatch({L}): failed to update. [RedBoot.msys] does not exist"));
    EXPECT_TRUE(SyslogMatches("UPDTMSysUpdate({L}): fail to patch new binaries!!"));
    EXPECT_FALSE(SyslogMatches("UPDTMSysUpdate({L}): Turn on the reinstall library flag...!!"));
    EXPECT_EQ(ks::Load(ks::kSandboxDir).image, chip_.image);
    EXPECT_TRUE(Requests("/dev/mtd0", "FORMAT").empty());
    EXPECT_TRUE(ArchiveMoved());
    EXPECT_FALSE(vakotest::FileExists(package_.dir + "/b@ckup"));
}

TEST_F(SecondRoad, RepartitionWritesTheRowsWithoutAnImageFromTheirDumps)
{
    // zImage needs 130 units of its 120; AllLib.tgz (the largest balance) gives 10.
    const std::string image = Pattern(130 * kUnit, 6);
    package_.images["zImage"] = image;
    Update(false);

    EXPECT_EQ(result_.status, 0) << result_.err;
    EXPECT_EQ(Progress(), "R:0:");
    EXPECT_EQ(Requests("/dev/mtd0", "SET_PART_TABLE"), std::vector<std::string>{vakotest::kGrownTable});
    EXPECT_TRUE(vakotest::AllWindows(ks::Load(ks::kSandboxDir)) == vakotest::AfterZImageGrew(chip_, image));
    EXPECT_TRUE(ArchiveMoved());
    EXPECT_FALSE(vakotest::FileExists(package_.dir + "/b@ckup"));
}

TEST_F(SecondRoad, AConfigurationUpdateFailingAfterARepartitionRollsTheFlashBack)
{
    package_.images["zImage"] = Pattern(130 * kUnit, 6);
    // Step 6 of the configuration update cannot remove a directory.
    vakotest::MakeDirs("/usr/vako/etc/manutil.conf/sub");
    Update(false);

    EXPECT_EQ(result_.status, 17);
    EXPECT_EQ(Progress(), "C:-17:");
    EXPECT_EQ(Requests("/dev/mtd0", "FORMAT"), (std::vector<std::string>{"FORMAT units=967 0", "FORMAT units=967 0"}));
    EXPECT_EQ(Requests("/dev/mtd0", "SET_PART_TABLE"),
              (std::vector<std::string>{vakotest::kGrownTable, "SET_PART_TABLE units=16,120,300,400,8,100,4,19 0"}));
    EXPECT_EQ(ks::Load(ks::kSandboxDir).image, chip_.image);
    EXPECT_TRUE(SyslogMatches("UPDTMSysUpdate({L}): Turn on the reinstall library flag...!!"));
    EXPECT_TRUE(ArchiveMoved());
    EXPECT_FALSE(vakotest::FileExists(package_.dir + "/b@ckup"));
}

TEST_F(SecondRoad, ATableReachingPastTheFlashIsRefusedWithNothingWritten)
{
    // 100 units over the flash's 967.
    Reinstall([](vakotest::Flash &f) { f.chip.windows[3].size = 500 * kUnit; });
    package_.images["zImage"] = Pattern(10 * kUnit, 3);
    Update(false);

    EXPECT_EQ(result_.status, 19);
    EXPECT_TRUE(SyslogMatches("UPDTMSysInitPatchInfo({L}): the partition table spans 0x10AC000 bytes, past the "
                              "flash's 0xF1C000"));
    EXPECT_EQ(ks::Load(ks::kSandboxDir).image, chip_.image);
    for (int i = 0; i < 8; ++i)
        EXPECT_TRUE(Requests("/dev/mtd" + std::to_string(i), "write").empty()) << i;
    EXPECT_TRUE(Requests("/dev/mtd0", "FORMAT").empty());
}

TEST_F(SecondRoad, APositionThatCannotBeRestoredStopsNoOtherAndTheBackupStays)
{
    // After the re-partition the write of position 5 fails once; from then
    // on position 2 takes no write (its 300 of the patch pass).
    package_.images["zImage"] = Pattern(130 * kUnit, 6);
    ks::SetFault(ks::kSandboxDir, {"/dev/mtd5", ks::FaultKind::FailWrite, 1});
    ks::Fault broken{"/dev/mtd2", ks::FaultKind::FailWrite, 301};
    broken.times = 0;
    ks::SetFault(ks::kSandboxDir, broken);
    Update(false);

    EXPECT_EQ(result_.status, 20);
    EXPECT_EQ(Progress(), "P:-20:");
    EXPECT_EQ(Requests("/dev/mtd0", "SET_PART_TABLE"),
              (std::vector<std::string>{vakotest::kGrownTable, "SET_PART_TABLE units=16,120,300,400,8,100,4,19 0"}));
    EXPECT_TRUE(SyslogMatches("UPDTMSysRollBack({L}): fail to restore [rd.gz] after 3 attempts"));
    EXPECT_TRUE(SyslogMatches("UPDTMSysUpdate: UPDTRollBack() fail"));
    // Every other position is back; rd.gz stays as the format left it.
    ks::Chip now = ks::Load(ks::kSandboxDir);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(WindowBytes(now, i), i == 2 ? std::string(300 * kUnit, '\xFF') : WindowBytes(chip_, i)) << i;
    ExpectBackupKept();
    EXPECT_TRUE(ArchiveMoved());

    // The next run puts the flash back from the dumps and updates it: the
    // message no longer says that the flash could not be restored.  (The
    // restore formats, after which the kernel reports each partition full:
    // the package brings the donor's smaller image.)
    ks::ClearFaults(ks::kSandboxDir);
    vakotest::SyslogClear();
    package_.images["AllLib.tgz"] = Pattern(200 * kUnit + 7, 7);
    Update(false);
    ASSERT_EQ(result_.status, 0) << result_.err;
    EXPECT_TRUE(SyslogMatches("main({L}): the flash is restored from the backup of the interrupted update"));
    EXPECT_EQ(vakotest::ReadFile(vakotest::kMessageFile), "");
}

TEST_F(SecondRoad, PatchRefusedBeforeAnyPositionWasWrittenRollsNothingBack)
{
    // The configuration update fails after a patch that wrote nothing.
    vakotest::MakeDirs("/usr/vako/etc/manutil.conf/sub");
    Update(false);

    EXPECT_EQ(result_.status, 17);
    EXPECT_TRUE(SyslogMatches("UPDTMSysRollBack({L}): the patch changed no partition: nothing to roll back"));
    EXPECT_EQ(ks::Load(ks::kSandboxDir).image, chip_.image);
    for (int i = 0; i < 8; ++i)
        EXPECT_TRUE(Requests("/dev/mtd" + std::to_string(i), "write").empty()) << i;
    EXPECT_FALSE(vakotest::FileExists(package_.dir + "/b@ckup"));
}

// The updater ended (SIGKILL, with the dd it waits for) after the flash was
// laid out anew, then the same update run again.
class SecondRoadKilled : public SecondRoad, public testing::WithParamInterface<ks::WritePoint> {};

TEST_P(SecondRoadKilled, TheSameUpdateRunAgainEndsAsACleanOne)
{
    // The kernel reports a data length as large as each partition, as after
    // every format (the restore formats too): the package brings the donor's
    // smaller image beside the grown zImage.
    Reinstall([](vakotest::Flash &f) {
        for (ks::Window &w : f.chip.windows)
            w.dataLength.reset();
    });
    const std::string image = Pattern(130 * kUnit, 6), lib = Pattern(200 * kUnit + 7, 7);
    package_.images["zImage"] = image;
    package_.images["AllLib.tgz"] = lib;
    ks::SetFault(ks::kSandboxDir, ks::KillUpdaterAfter(GetParam()));
    Update(false);
    ASSERT_EQ(result_.status, 128 + SIGKILL);
    EXPECT_TRUE(vakotest::FileExists(package_.dir + "/b@ckup.mark"));

    ks::ClearFaults(ks::kSandboxDir);
    vakotest::SyslogClear();
    Update(false);
    ASSERT_EQ(result_.status, 0) << result_.err;
    EXPECT_TRUE(SyslogMatches("main({L}): the flash is restored from the backup of the interrupted update"));
    EXPECT_EQ(Requests("/dev/mtd0", "SET_PART_TABLE"),
              (std::vector<std::string>{vakotest::kGrownTable, "SET_PART_TABLE units=16,120,300,400,8,100,4,19 0",
                                        vakotest::kGrownTable}));
    std::vector<std::string> clean = vakotest::AllWindows(chip_);
    clean[1] = image;
    clean[3] = lib + std::string(390 * kUnit - lib.size(), '\xFF');
    EXPECT_TRUE(vakotest::AllWindows(ks::Load(ks::kSandboxDir)) == clean);
    EXPECT_EQ(Progress(), "R:0:");
    EXPECT_TRUE(ArchiveMoved());
    EXPECT_FALSE(vakotest::FileExists(package_.dir + "/b@ckup"));
    EXPECT_FALSE(vakotest::FileExists(package_.dir + "/b@ckup.mark"));
}

// Inside zImage, and inside the donor's image.
INSTANTIATE_TEST_SUITE_P(AfterAWrite, SecondRoadKilled,
                         testing::Values(ks::WritePoint{"/dev/mtd1", 2}, ks::WritePoint{"/dev/mtd3", 5}),
                         [](const auto &p) { return ks::WritePointName(p.param); });

} // namespace
