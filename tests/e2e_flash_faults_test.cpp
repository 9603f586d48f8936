// Faults injected at a sample of the flash operations of both roads, each in
// a whole update with backup: the chip ends rolled back byte for byte,
// updated byte for byte, or, when the fault also breaks the rollback, with
// the backup kept whole and marked.
#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "vako/kernel.h"
#include "vakotest/chips.h"
#include "vakotest/files.h"
#include "vakotest/fixture.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/pattern.h"
#include "vakotest/run.h"

namespace {

namespace ks = vakotest::kstub;
using vakotest::kEraseBlock;
using vakotest::kUnit;
using vakotest::Pattern;

enum class Road { kNormal, kSecond };
enum class End { kRolledBack, kUpdated, kBackupKept };

ks::Fault Knob(const char *device, ks::FaultKind kind, uint32_t nth, uint32_t request = 0, uint32_t times = 1)
{
    ks::Fault f{device, kind, nth, request};
    f.times = times;
    return f;
}

struct Case {
    const char *name;
    Road road;
    std::vector<ks::Fault> faults;
    End end;
};

// The normal road grows zImage (69 writes of 16 KiB) into rd.gz, which moves
// (8 writes); the second road formats, then writes the 8 positions, zImage
// grown to 130 units.
const Case kCases[] = {
    {"RegionOfTheFirstRowRefused",
     Road::kNormal,
     {Knob("/dev/mtd1", ks::FaultKind::FailIoctl, 1, VAKO_MTD_SET_PARTITION)},
     End::kRolledBack},
    {"FirstEraseFailsOnce", Road::kNormal, {Knob("/dev/mtd1", ks::FaultKind::FailErase, 1)}, End::kUpdated},
    {"AWriteInTheGrownRowFailsOnce", Road::kNormal, {Knob("/dev/mtd1", ks::FaultKind::FailWrite, 40)}, End::kUpdated},
    {"AWriteOfTheMovedRowIsSpoilt", Road::kNormal, {Knob("/dev/mtd2", ks::FaultKind::CorruptWrite, 2)}, End::kUpdated},
    {"FirstEntryRefused",
     Road::kNormal,
     {Knob("/dev/mtd7", ks::FaultKind::FailIoctl, 1, VAKO_MTD_SET_FIS_ENTRY)},
     End::kRolledBack},
    {"TheRollbacksFirstEraseFailsOnce",
     Road::kNormal,
     {Knob("/dev/mtd7", ks::FaultKind::FailIoctl, 2, VAKO_MTD_SET_FIS_ENTRY),
      Knob("/dev/mtd1", ks::FaultKind::FailErase, 2)},
     End::kRolledBack},
    {"TheMovedRowTakesNoWrite",
     Road::kNormal,
     {Knob("/dev/mtd2", ks::FaultKind::FailWrite, 1, 0, 0)},
     End::kBackupKept},
    {"TheRollbackCannotSetTheOldRegion",
     Road::kNormal,
     {Knob("/dev/mtd7", ks::FaultKind::FailIoctl, 2, VAKO_MTD_SET_FIS_ENTRY),
      Knob("/dev/mtd2", ks::FaultKind::FailIoctl, 2, VAKO_MTD_SET_PARTITION, 0)},
     End::kBackupKept},

    {"FormatRefused",
     Road::kSecond,
     {Knob("/dev/mtd0", ks::FaultKind::FailIoctl, 1, VAKO_MTD_FORMAT)},
     End::kRolledBack},
    {"TableRefusedAfterTheFormat",
     Road::kSecond,
     {Knob("/dev/mtd0", ks::FaultKind::FailIoctl, 1, VAKO_MTD_SET_PART_TABLE)},
     End::kRolledBack},
    {"AWriteOfTheGrownImageFails", Road::kSecond, {Knob("/dev/mtd1", ks::FaultKind::FailWrite, 3)}, End::kRolledBack},
    {"TheLastPositionFails", Road::kSecond, {Knob("/dev/mtd7", ks::FaultKind::FailWrite, 1)}, End::kRolledBack},
    {"TheRollbacksFirstWriteFailsOnce",
     Road::kSecond,
     {Knob("/dev/mtd3", ks::FaultKind::FailWrite, 2), Knob("/dev/mtd0", ks::FaultKind::FailWrite, 17)},
     End::kRolledBack},
    {"TheRollbackCannotFormat",
     Road::kSecond,
     {Knob("/dev/mtd3", ks::FaultKind::FailWrite, 2),
      Knob("/dev/mtd0", ks::FaultKind::FailIoctl, 2, VAKO_MTD_FORMAT, 0)},
     End::kBackupKept},
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class FlashFault : public testing::TestWithParam<Case> {
protected:
    void SetUp() override
    {
        const Case &c = GetParam();
        // Several cases may share one appliance when run by hand.
        std::filesystem::remove_all(package_.dir);
        vakotest::RemoveFile(vakotest::kMessageFile);
        vakotest::Appliance appliance;
        flash_ = c.road == Road::kNormal ? vakotest::LayoutFlash(vakotest::Layout::Normal)
                                         : vakotest::SecondRoadFlash(vakotest::kNormalUnits);
        appliance.flash = flash_;
        vakotest::Install(appliance);
        if (c.road == Road::kNormal) {
            package_.images = {{"zImage", Pattern(17 * kEraseBlock + 9, 21)},
                               {"rd.bin", Pattern(2 * kEraseBlock - 3, 22)}};
        } else {
            package_.images = {{"zImage", Pattern(130 * kUnit, 6)}};
        }
        vakotest::Install(package_);
        for (const ks::Fault &f : c.faults)
            ks::SetFault(ks::kSandboxDir, f);
    }

    // What each partition held before the update, by the name of its dump.
    std::vector<std::pair<std::string, std::string>> Partitions() const
    {
        std::vector<std::pair<std::string, std::string>> parts;
        if (GetParam().road == Road::kNormal) {
            for (const vakotest::Part &p : flash_.parts)
                parts.push_back({p.name, std::string(flash_.chip.image.begin() + p.offset,
                                                     flash_.chip.image.begin() + p.offset + p.size)});
        } else {
            const char *names[] = {"RedBoot", "zImage",  "rd.gz",          "AllLib.tgz",
                                   "vendor",  "vakocfg", "RedBoot Config", "FIS Directory"};
            for (int i = 0; i < vakotest::kPositions; ++i)
                parts.push_back({names[i], vakotest::WindowBytes(flash_.chip, i)});
        }
        return parts;
    }

    bool Updated(const ks::Chip &now) const
    {
        if (GetParam().road == Road::kNormal)
            return now.image ==
                   vakotest::AfterResize(flash_, package_.images.at("zImage"), package_.images.at("rd.bin"));
        return vakotest::AllWindows(now) == vakotest::AfterZImageGrew(flash_.chip, package_.images.at("zImage"));
    }

    bool RolledBack(const ks::Chip &now) const
    {
        if (now.image != flash_.chip.image || now.windows.size() != flash_.chip.windows.size())
            return false;
        for (size_t i = 0; i < now.windows.size(); ++i)
            if (now.windows[i].offset != flash_.chip.windows[i].offset ||
                now.windows[i].size != flash_.chip.windows[i].size)
                return false;
        return true;
    }

    vakotest::Flash flash_;
    vakotest::Package package_;
};

TEST_P(FlashFault, EndsAsTheRulesSay)
{
    const Case &c = GetParam();
    vakotest::RunResult r = vakotest::Run({package_.UpdaterPath()}, {.cwd = "/"});
    ks::Chip now = ks::Load(ks::kSandboxDir);
    // Each sampled operation was reached.
    for (const ks::Fault &f : ks::Faults(ks::kSandboxDir))
        EXPECT_GE(f.seen, f.nth) << f.device << " " << f.request;
    const std::string backup = package_.dir + "/b@ckup";
    switch (c.end) {
    case End::kUpdated:
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(Updated(now));
        EXPECT_FALSE(vakotest::FileExists(backup));
        break;
    case End::kRolledBack:
        EXPECT_EQ(r.status, 20) << r.err;
        EXPECT_TRUE(RolledBack(now));
        EXPECT_FALSE(vakotest::FileExists(backup));
        EXPECT_FALSE(vakotest::FileExists(vakotest::kMessageFile));
        break;
    case End::kBackupKept:
        EXPECT_EQ(r.status, 20) << r.err;
        EXPECT_FALSE(RolledBack(now));
        for (const auto &[name, bytes] : Partitions())
            EXPECT_TRUE(vakotest::ReadFile(backup + "/mtd_" + name) == bytes) << name;
        EXPECT_TRUE(vakotest::FileExists(backup + ".mark"));
        EXPECT_TRUE(vakotest::SyslogHas(c.road == Road::kNormal ? "main: UPDTRollBack() fail"
                                                                : "UPDTMSysUpdate: UPDTRollBack() fail"));
        EXPECT_NE(vakotest::ReadFile(vakotest::kMessageFile).find("Its backup is kept in " + backup),
                  std::string::npos);
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(BothRoads, FlashFault, testing::ValuesIn(kCases), [](const testing::TestParamInfo<Case> &p) {
    return std::string(p.param.road == Road::kNormal ? "Normal" : "Second") + p.param.name;
});

} // namespace
