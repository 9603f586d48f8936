// The analysis of the installed system and the package, run end to end:
// the real updater program started from its package directory.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "vakotest/disks.h"
#include "vakotest/files.h"
#include "vakotest/fixture.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/planted.h"
#include "vakotest/run.h"

namespace {

using vakotest::FileExists;
using vakotest::kInfoFile;
using vakotest::kMessageFile;
using vakotest::kProgressFile;
using vakotest::kUpdateLog;
using vakotest::ReadFile;
using vakotest::SyslogMatches;
using vakotest::SystemDiskListing;
using vakotest::UpdateLogHas;

constexpr const char *kNoSpaceMessage =
    "extramsg=\"System volume is insufficient to extract upgrade patch, please backup all files and restore to "
    "factory default.\"\n";
constexpr const char *kRebootMessage = "extramsg=\"To perform upgrade task, you have to REBOOT your Harbox first.\"\n";

struct Fixture {
    vakotest::Appliance appliance;
    vakotest::Package package;
    // System partition of 1 GiB on /dev/hda1; partition 3 where it cannot grow.
    int64_t hda1Sectors = 2097152;
    uint32_t hda3Start = 63;
    // Runs after the fixture is in place.
    std::function<void()> more;
};

struct Outcome {
    int status;
    std::string progress;
};

// What an earlier run of the same test may have left.
void Reset(const Fixture &s)
{
    umount("/writeable");
    for (const std::string &p : {s.package.dir, std::string(kInfoFile), std::string("/writeable"),
                                 std::string(kMessageFile), std::string(kUpdateLog), std::string(kProgressFile)})
        std::filesystem::remove_all(p);
}

// The updater run with the uptime its time namespace starts at; env is
// added to its environment.
Outcome RunUpdater(const Fixture &s, double uptime = 10, const std::vector<std::string> &env = {})
{
    Reset(s);
    vakotest::Install(s.appliance);
    vakotest::Install(s.package);
    SystemDiskListing(1, 63, s.hda1Sectors);
    SystemDiskListing(3, s.hda3Start, 1000000);
    if (s.more)
        s.more();
    vakotest::SyslogClear();
    auto r = vakotest::Run({s.package.UpdaterPath()}, {.cwd = "/", .env = env, .uptime = uptime});
    std::string progress = FileExists(kProgressFile) ? ReadFile(kProgressFile) : "";
    return {r.status, progress.substr(0, progress.find(':', 2) + 1)};
}

std::string FnLine(const std::string &text) { return "ErrUPDTIAnalyze_WholeSystem({L}): " + text; }

void ExpectRefused(const Outcome &o, int code)
{
    EXPECT_EQ(o.status, code);
    EXPECT_EQ(o.progress, "A:-" + std::to_string(code) + ":");
    EXPECT_TRUE(UpdateLogHas("Failed to accomplish the update! (errno = " + std::to_string(code) + ")"));
    EXPECT_FALSE(UpdateLogHas("Upgrade from version {*}"));
}

// --- each result, with a later check failing too: the first failing check decides ---

struct Refusal {
    const char *what;
    std::function<void(Fixture &)> make;
    int code;
    std::string log; // log pattern of the record that names the cause; empty: none
};

std::vector<Refusal> Refusals()
{
    return {
        {"package VERSION missing",
         [](Fixture &s) {
             s.more = [] { vakotest::RemoveFile("/volume1/upd@te/VERSION"); };
             s.appliance.defaults.Erase("unique");
         },
         7, FnLine("the file [/volume1/upd@te/VERSION]")},
        {"package VERSION empty",
         [](Fixture &s) {
             s.more = [] { vakotest::WriteFile("/volume1/upd@te/VERSION", ""); };
             s.appliance.defaults.Erase("unique");
         },
         7, FnLine("the file [/volume1/upd@te/VERSION]")},
        {"package VERSION a directory",
         [](Fixture &s) {
             s.more = [] {
                 vakotest::RemoveFile("/volume1/upd@te/VERSION");
                 vakotest::MakeDirs("/volume1/upd@te/VERSION");
             };
         },
         7, FnLine("the file [/volume1/upd@te/VERSION]")},
        {"package VERSION without the owner's read bit",
         [](Fixture &s) { s.more = [] { chmod("/volume1/upd@te/VERSION", 0244); }; }, 7,
         FnLine("the file [/volume1/upd@te/VERSION]")},
        {"installed unique missing",
         [](Fixture &s) {
             s.appliance.defaults.Erase("unique");
             s.appliance.version.Erase("majorversion");
         },
         8, ""},
        {"installed major version missing",
         [](Fixture &s) {
             s.appliance.version.Erase("majorversion");
             s.package.version.Erase("unique");
         },
         6, FnLine("fail to read major version")},
        {"installed minor version missing", [](Fixture &s) { s.appliance.version.Erase("minorversion"); }, 6,
         FnLine("fail to read minor version")},
        {"installed build phase missing", [](Fixture &s) { s.appliance.version.Erase("buildphase"); }, 6,
         FnLine("fail to read buildphase")},
        {"installed build number missing", [](Fixture &s) { s.appliance.version.Erase("buildnumber"); }, 6,
         FnLine("fail to read buildnumber")},
        {"installed major version 0",
         [](Fixture &s) {
             s.appliance.version.Set("majorversion", "0");
             s.package.version.Erase("unique");
         },
         6, FnLine("buildnumber or major version == 0")},
        {"installed build number without digits", [](Fixture &s) { s.appliance.version.Set("buildnumber", "beta"); }, 6,
         FnLine("buildnumber or major version == 0")},
        {"package unique missing",
         [](Fixture &s) {
             s.package.version.Erase("unique");
             s.package.version.Erase("majorversion");
         },
         9, ""},
        {"package major version missing", [](Fixture &s) { s.package.version.Erase("majorversion"); }, 7,
         FnLine("fail to read new major version")},
        {"package minor version missing", [](Fixture &s) { s.package.version.Erase("minorversion"); }, 7,
         FnLine("fail to read new minor version")},
        {"package build phase missing", [](Fixture &s) { s.package.version.Erase("buildphase"); }, 7,
         FnLine("fail to read new build phase")},
        {"package build number missing", [](Fixture &s) { s.package.version.Erase("buildnumber"); }, 7,
         FnLine("fail to read new build number")},
        {"package extract size missing",
         [](Fixture &s) {
             s.package.version.Erase("extractsize");
             s.package.version.Set("majorversion", "0");
         },
         7, FnLine("fail to get patch size")},
        {"package build number 0",
         [](Fixture &s) {
             s.package.version.Set("buildnumber", "0");
             s.appliance.version.Set("majorversion", "1");
         },
         7, FnLine("buildnumber or major version == 0")},
        {"installed major version 1",
         [](Fixture &s) {
             s.appliance.version.Set("majorversion", "1");
             s.package.version.Set("buildnumber", "900");
         },
         13, "updater:{L} orgMajorVersion=1"},
        {"package major version 1",
         [](Fixture &s) {
             s.package.version.Set("majorversion", "1");
             s.package.version.Set("unique", "other");
         },
         13, "updater:{L} orgMajorVersion=3"},
        {"package build not newer",
         [](Fixture &s) {
             s.package.version.Set("buildnumber", "1000");
             s.package.version.Set("unique", "other");
         },
         10, FnLine("orgBuildNumber = 1000, newBuildNumber=1000")},
        {"package build older", [](Fixture &s) { s.package.version.Set("buildnumber", "999"); }, 10,
         FnLine("orgBuildNumber = 1000, newBuildNumber=999")},
        {"another model",
         [](Fixture &s) {
             s.package.version.Set("unique", "vakora_powerpc_other");
             s.hda1Sectors = 2; // the space rule would fail too
         },
         12, FnLine("szOrgCompany = [vakora_powerpc_demo], szNewCompany=[vakora_powerpc_other]")},
        {"installed unique empty",
         [](Fixture &s) {
             s.appliance.defaults.Set("unique", "");
             s.package.version.Set("unique", "");
         },
         12, FnLine("szOrgCompany = [], szNewCompany=[]")},
    };
}

TEST(Analysis, EachRefusalInTheOrderOfTheChecks)
{
    for (const Refusal &r : Refusals()) {
        SCOPED_TRACE(r.what);
        Fixture s;
        r.make(s);
        Outcome o = RunUpdater(s);
        ExpectRefused(o, r.code);
        if (!r.log.empty()) {
            EXPECT_TRUE(SyslogMatches(r.log)) << r.log;
        }
        EXPECT_TRUE(SyslogMatches("main({L}): fail to analyze, error = " + std::to_string(r.code)));
        EXPECT_FALSE(FileExists(kMessageFile));
        // Nothing written before the writeable layout step.
        EXPECT_EQ(ReadFile(kInfoFile), s.appliance.info.Text());
    }
}

TEST(Analysis, AcceptedPackageLogsTheVersions)
{
    Fixture s;
    s.appliance.version = {
        {"majorversion", "3"}, {"minorversion", "1"}, {"buildphase", "beta"}, {"buildnumber", "1000"}};
    s.package.version.Set("buildphase", "rc2").Set("buildnumber", "1001").Set("unique", "VAKORA_PowerPC_Demo");
    RunUpdater(s);
    EXPECT_TRUE(UpdateLogHas("Upgrade from version 3.1.beta.1000 to version 3.1.rc2.1001"));
    EXPECT_FALSE(FileExists(kMessageFile));

    // A package's version text with control bytes: the line is written, the
    // bytes escaped.
    s.package.version.Set("buildphase", "0\x1b[2J\rFAKE");
    RunUpdater(s);
    EXPECT_EQ(vakotest::UpdateLogTexts()[1],
              "Upgrade from version 3.1.beta.1000 to version 3.1.0\\x1b[2J\\x0dFAKE.1001");
}

// --- the space rule ---

TEST(Analysis, SpaceRuleOnAPlainDisk)
{
    struct Case {
        int64_t hda1Sectors;
        uint32_t hda3Start;
        const char *extract;
        bool fits;
    } cases[] = {
        {40480, 63, "10000", true}, // 20240 KiB, need exactly that
        {40478, 63, "10000", false},
        {273042, 1333332, "351191", true}, // resizeable: 722862 sectors
        {273042, 1333331, "351191", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.hda1Sectors) + " " + c.extract);
        Fixture s;
        s.hda1Sectors = c.hda1Sectors;
        s.hda3Start = c.hda3Start;
        s.package.version.Set("extractsize", c.extract);
        Outcome o = RunUpdater(s);
        if (c.fits) {
            EXPECT_NE(o.status, 16);
            EXPECT_TRUE(UpdateLogHas("Upgrade from version {*}"));
            EXPECT_FALSE(FileExists(kMessageFile));
        } else {
            ExpectRefused(o, 16);
            EXPECT_EQ(ReadFile(kMessageFile), kNoSpaceMessage);
            EXPECT_TRUE(SyslogMatches("updater:{L} System Partition is not sufficient. ({L} < {L})"));
        }
    }
}

// Any user can leave something at /tmp/update.message: root neither writes
// through it nor waits on it; the user still gets the message, in a file of
// root's own.
TEST(Analysis, MessageNamePlantedByAnotherUser)
{
    for (vakotest::Plant plant : vakotest::kEveryPlant) {
        SCOPED_TRACE(vakotest::PlantName(plant));
        Fixture s;
        s.hda1Sectors = 40478;
        s.package.version.Set("extractsize", "10000");
        std::optional<vakotest::Planted> planted;
        s.more = [&] { planted.emplace(plant, kMessageFile); };
        ExpectRefused(RunUpdater(s), 16);
        EXPECT_EQ(ReadFile(kMessageFile), kNoSpaceMessage);
        EXPECT_EQ(vakotest::FileUid(kMessageFile), 0u);
        EXPECT_TRUE(planted->VictimsUntouched());
        EXPECT_TRUE(SyslogMatches(
            "UPDTDropPlantedFile({L}): [/tmp/update.message] is not a plain file of the updater, made anew"));
    }
}

void RaidSystemPartition(Fixture &s, uint64_t bytes, bool active = true)
{
    s.appliance.defaults.Set("supportraid", "yes");
    s.hda1Sectors = 2; // never asked on RAID hardware
    s.more = [bytes, active] { vakotest::SystemArray(bytes, active); };
}

TEST(Analysis, SpaceRuleOnARaidArray)
{
    struct Case {
        uint64_t bytes;
        const char *extract;
        bool fits;
    } cases[] = {
        {20240ull * 1024, "10000", true},
        {20240ull * 1024 - 1, "10000", false},
        {6ull << 40, "5368709120", true}, // 5 TiB to unpack on a 6 TiB array
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.bytes) + " " + c.extract);
        Fixture s;
        RaidSystemPartition(s, c.bytes);
        s.package.version.Set("extractsize", c.extract);
        Outcome o = RunUpdater(s);
        if (c.fits) {
            EXPECT_NE(o.status, 16);
            EXPECT_TRUE(UpdateLogHas("Upgrade from version {*}"));
        } else {
            ExpectRefused(o, 16);
            EXPECT_EQ(ReadFile(kMessageFile), kNoSpaceMessage);
        }
    }
}

TEST(Analysis, SpaceRuleWithoutTheArray)
{
    Fixture s;
    RaidSystemPartition(s, 1ull << 30, false);
    ExpectRefused(RunUpdater(s), 16);
    EXPECT_EQ(ReadFile(kMessageFile), kNoSpaceMessage);
    EXPECT_TRUE(SyslogMatches("updater:{L} Failed to get RAID info, err=0, errno=0x600"));
}

// --- the old writeable layout ---

Fixture OldWriteable()
{
    Fixture s;
    s.appliance.version.Set("buildnumber", "261");
    s.appliance.defaults.Set("unique", "vakora_powerpc_m88_1hd");
    s.package.version.Set("unique", "Vakora_PowerPC_M88_1HD");
    s.appliance.files["/writeable/keep"] = "";
    return s;
}

// What the code-page migration of builds this old adds to settings without
// code-page keys.
const std::string kCodepageKeysAdded = "codepage=\"enu\"\ncodepage_mediaservice=\"enu\"\n";

TEST(Analysis, OldWriteableLayoutKeepsTheFileSystemType)
{
    struct Case {
        const char *what;
        std::optional<std::string> info, defaults;
        std::string written;
    } cases[] = {
        {"in the settings", "ext3", "xfs", "ext3"},
        {"in the factory description", std::nullopt, "xfs", "xfs"},
        {"nowhere", std::nullopt, std::nullopt, "reiserfs"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Fixture s = OldWriteable();
        s.appliance.info = {{"other", "1"}};
        if (c.info)
            s.appliance.info.Set("defaultfs", *c.info).Set("after", "2");
        if (c.defaults)
            s.appliance.defaults.Set("defaultfs", *c.defaults);
        RunUpdater(s);
        EXPECT_TRUE(UpdateLogHas("Upgrade from version {*}"));
        std::string want = c.info ? "other=\"1\"\ndefaultfs=\"ext3\"\nafter=\"2\"\n"
                                  : "other=\"1\"\ndefaultfs=\"" + c.written + "\"\n";
        EXPECT_EQ(ReadFile(kInfoFile), want + kCodepageKeysAdded);
        const std::string get = "updater:{L}(ErrUPDTIAnalyze_WholeSystem): can not get [defaultfs] in [";
        EXPECT_EQ(SyslogMatches(get + "/etc/vakoinfo.conf]"), !c.info);
        EXPECT_EQ(SyslogMatches(get + "/etc.defaults/vakoinfo.conf]"), !c.info && !c.defaults);
    }
}

TEST(Analysis, OldWriteableLayoutOnlyForItsBuildsAndModels)
{
    struct Case {
        const char *what;
        const char *build;
        const char *unique;
        bool writeable;
    } cases[] = {
        {"newer build", "262", "vakora_powerpc_m88_1hd", true},
        {"other model", "261", "vakora_powerpc_demo", true},
        {"no /writeable", "261", "vakora_powerpc_m88_1hd", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Fixture s = OldWriteable();
        s.appliance.version.Set("buildnumber", c.build);
        s.appliance.defaults.Set("unique", c.unique);
        s.package.version.Set("unique", c.unique);
        if (!c.writeable) {
            s.appliance.files.erase("/writeable/keep");
        }
        s.appliance.info = {{"other", "1"}};
        RunUpdater(s);
        EXPECT_TRUE(UpdateLogHas("Upgrade from version {*}"));
        EXPECT_EQ(ReadFile(kInfoFile), "other=\"1\"\n" + kCodepageKeysAdded);
    }
}

TEST(Analysis, OldWriteableLayoutThatCannotKeepTheType)
{
    Fixture s = OldWriteable();
    s.more = [] {
        vakotest::RemoveFile(kInfoFile);
        vakotest::MakeDirs(kInfoFile);
    };
    ExpectRefused(RunUpdater(s), 22);
    EXPECT_TRUE(SyslogMatches(
        "updater:{L}(ErrUPDTIAnalyze_WholeSystem): can not set [defaultfs=reiserfs] to /etc/vakoinfo.conf"));
    EXPECT_FALSE(FileExists(kMessageFile));
}

TEST(Analysis, OldWriteableLayoutWithoutRoomOnWriteable)
{
    for (const char *size : {"1m", "3m"}) {
        SCOPED_TRACE(size);
        Fixture s = OldWriteable();
        s.more = [size] {
            ASSERT_EQ(mount("tmpfs", "/writeable", "tmpfs", 0, (std::string("size=") + size).c_str()), 0);
        };
        Outcome o = RunUpdater(s);
        if (std::string(size) == "1m") {
            ExpectRefused(o, 16);
            EXPECT_FALSE(FileExists(kMessageFile)); // unlike the space rule: no message
        } else {
            EXPECT_TRUE(UpdateLogHas("Upgrade from version {*}"));
        }
        // The type was kept before the room was measured.
        EXPECT_NE(ReadFile(kInfoFile).find("defaultfs=\"reiserfs\"\n"), std::string::npos);
    }
}

// --- the entry's reboot rule for installed builds up to 350 ---

TEST(Analysis, OldBuildsNeedAFreshBoot)
{
    struct Case {
        const char *what;
        const char *build;
        double uptime;                // where the clock starts; it only grows during the run
        std::optional<long> reported; // what sysinfo reports whatever the clock
        bool junior;
        bool initrd;
        bool reboot;
    } cases[] = {
        // The kernel rounds a started second up: 301 s at least.
        {"above 300 s", "350", 300.2, {}, false, true, true},
        {"exactly 300 s", "350", 10, 300, false, true, false},
        {"301 s", "350", 10, 301, false, true, true},
        {"newer build", "351", 5000, {}, false, true, false},
        {"junior hardware", "350", 5000, {}, true, true, false},
        {"no initrd", "350", 5000, {}, false, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Fixture s;
        s.appliance.version.Set("buildnumber", c.build);
        s.appliance.layout = c.junior ? vakotest::Layout::Junior : vakotest::Layout::Normal;
        s.appliance.initrd = c.initrd;
        std::vector<std::string> env;
        if (c.reported)
            env = {vakotest::PreloadAlso(VAKO_FIXED_UPTIME_SHIM), "VAKOTEST_UPTIME=" + std::to_string(*c.reported)};
        Outcome o = RunUpdater(s, c.uptime, env);
        EXPECT_TRUE(UpdateLogHas("Upgrade from version {*}"));
        if (c.reboot) {
            EXPECT_EQ(o.status, 24);
            EXPECT_EQ(o.progress, "A:-24:");
            EXPECT_EQ(ReadFile(kMessageFile), kRebootMessage);
        } else {
            EXPECT_NE(o.status, 24);
            EXPECT_FALSE(FileExists(kMessageFile) && ReadFile(kMessageFile) == kRebootMessage);
        }
    }
}

} // namespace
