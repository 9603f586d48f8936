// The updater's entry, end to end: options, package directory, starting
// directory, kernel buffer, exit tail, progress and update-log files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "vakotest/chips.h"
#include "vakotest/flockhold.h"
#include "vakotest/files.h"
#include "vakotest/fixture.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/planted.h"
#include "vakotest/run.h"

using vakotest::FileExists;
using vakotest::ReadFile;
using vakotest::WriteFile;

namespace {

using vakotest::InstallUpdater;
using vakotest::kPackageDir;
using vakotest::kProgressFile;
using vakotest::kUpdateLog;
using vakotest::SyslogMatches;
using vakotest::UpdateLogTexts;

std::string Progress() { return ReadFile(kProgressFile); }

class Entry : public testing::Test {
protected:
    void SetUp() override { mkdir("/var/log", 0755); }
};

TEST_F(Entry, HelpPrintsUsageAndEndsWithZero)
{
    auto r = vakotest::Run({InstallUpdater(), "-h"});
    EXPECT_EQ(r.status, 0);
    std::string usage = "updater [-h][-g][-v vol]\n -g: for group update\n"
                        " -v: specify an avaible volume for upgrade task.\n";
    ASSERT_GT(r.out.size(), usage.size());
    EXPECT_EQ(r.out.substr(r.out.size() - usage.size()), usage);
    // One banner line before the usage.
    std::string banner = r.out.substr(0, r.out.size() - usage.size());
    EXPECT_EQ(std::count(banner.begin(), banner.end(), '\n'), 1);
    EXPECT_EQ(Progress(), "A:0:      ");
    EXPECT_EQ(UpdateLogTexts(), std::vector<std::string>{"Start of the update..."});
    EXPECT_TRUE(SyslogMatches("main({L}): Start of the updater..."));
}

TEST_F(Entry, BadOptionsEndWithMinusOneAndNoExitTail)
{
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-x"}, "updater: invalid option [?]\n"},
        {{"-v"}, "updater: invalid option for -v [mount_point]\n"},
        {{"-v", ""}, "updater: invalid option for -v [mount_point]\n"},
        // A volume cut to its room would be another path.
        {{"-v", "/v" + std::string(30, 'x')},
         "updater: invalid option for -v [mount_point]: longer than 31 characters\n"},
    };
    for (const auto &c : cases) {
        unlink(kUpdateLog);
        std::vector<std::string> argv{InstallUpdater()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = vakotest::Run(argv);
        EXPECT_EQ(r.status, 255) << c.message;
        EXPECT_EQ(Progress(), "A:0:      ") << c.message;
        EXPECT_EQ(UpdateLogTexts(), std::vector<std::string>{"Start of the update..."}) << c.message;
        EXPECT_TRUE(vakotest::SyslogHas(c.message)) << c.message;
    }
}

TEST_F(Entry, ProgramPathWithoutSlashUsesTheVolumesUpdateDirectory)
{
    // Started through PATH: argv[0] is the bare name.
    InstallUpdater("/usr/local/bin");
    auto r = vakotest::Run({"updater", "-g", "-v", "/volume2"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(SyslogMatches("main({L}): fail to chdir, errno = 2"));
    EXPECT_EQ(Progress(), "A:-3:      ");

    mkdir("/volume2", 0755);
    mkdir("/volume2/upd@te", 0755);
    r = vakotest::Run({"updater", "-g", "-v", "/volume2"});
    EXPECT_NE(r.status, 3);
    EXPECT_NE(r.status, 255);
}

TEST_F(Entry, EmptyArgumentListFallsBackToTheVolumesUpdateDirectory)
{
    ASSERT_FALSE(FileExists(kPackageDir));
    InstallUpdater("/usr/local/bin");
    pid_t pid = fork();
    if (pid == 0) {
        char *argv[] = {nullptr};
        execve("/usr/local/bin/updater", argv, environ);
        _exit(127);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 3);
    EXPECT_TRUE(SyslogMatches("main({L}): fail to chdir, errno = 2"));
    EXPECT_EQ(Progress(), "A:-3:      ");
}

TEST_F(Entry, VolumeOfItsFullRoomIsTakenWhole)
{
    std::string volume = "/v" + std::string(29, 'x');
    ASSERT_EQ(volume.size(), 31u);
    InstallUpdater("/usr/local/bin");
    vakotest::MakeDirs(volume + "/upd@te");
    auto r = vakotest::Run({"updater", "-g", "-v", volume});
    // The package directory was entered: the run got past the change into it.
    EXPECT_NE(r.status, 3);
    EXPECT_NE(r.status, 255);
    EXPECT_FALSE(SyslogMatches("main({L}): fail to chdir, errno = {L}"));

    // One character more is refused, even where the cut name exists.
    unlink(kUpdateLog);
    unlink(kProgressFile);
    r = vakotest::Run({"updater", "-g", "-v", volume + "y"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(Progress(), "A:0:      ");
    EXPECT_EQ(UpdateLogTexts(), std::vector<std::string>{"Start of the update..."});
}

// The exit tail gives the kernel's flash driver buffer back only when this
// run was given it.
TEST_F(Entry, KernelBufferIsFreedOnlyWhenItWasGiven)
{
    namespace ks = vakotest::kstub;
    struct Case {
        const char *what;
        ks::Call call405;
        bool fEnterPackage;
        int result; // -1: whatever the road gives
        std::vector<std::string> calls;
    } cases[] = {
        {"given", ks::Call::Present, true, -1, {"syscall405 arg=1 0", "syscall405 arg=0 0"}},
        {"the run ends before it is asked for", ks::Call::Present, false, 3, {}},
        {"the call is absent", ks::Call::Absent, true, -1, {"syscall405 arg=1 -1 ENOSYS"}},
        {"refused", ks::Call::Refused, true, 23, {"syscall405 arg=1 -1 ENOMEM"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        vakotest::Flash flash = vakotest::LayoutFlash(vakotest::Layout::Normal);
        flash.calls.mtdBuf405 = c.call405;
        vakotest::Install(flash);
        InstallUpdater("/usr/local/bin");
        vakotest::MakeDirs("/volume3/upd@te");
        vakotest::SyslogClear();
        auto r = vakotest::Run({"updater", "-g", "-v", c.fEnterPackage ? "/volume3" : "/volume4"});
        if (c.result >= 0) {
            EXPECT_EQ(r.status, c.result);
        }
        EXPECT_EQ(vakotest::Requests("-", "syscall405"), c.calls);
        EXPECT_FALSE(SyslogMatches("main({L}): fail to free mtd driver buffer, error = {*}"));
    }
}

TEST_F(Entry, GroupUpdateWithoutAPartitionListEndsWith18InStageP)
{
    // No flash in this appliance: the FIS directory cannot be read.
    std::string path = InstallUpdater();
    vakotest::SyslogClear();
    auto r = vakotest::Run({path, "-g"});
    EXPECT_EQ(r.status, 18);
    EXPECT_EQ(Progress(), "P:-18:      ");
    EXPECT_EQ(UpdateLogTexts(),
              (std::vector<std::string>{"Start of the update...", "Failed to accomplish the update! (errno = 18)"}));
    // In this order, each at LOG_ERR.
    const char *expected[] = {
        "main({L}): Start of the updater...",
        "This is not junior, gszDevMtdPartition=[/dev/mtd7]",
        "main({L}): fail to get partition info",
        "Failed to accomplish the update! (errno = 18)",
    };
    auto lines = vakotest::SyslogLines();
    size_t at = 0;
    for (const char *pattern : expected) {
        while (at < lines.size() && !vakotest::LogPatternMatches(pattern, lines[at].text))
            ++at;
        ASSERT_LT(at, lines.size()) << "missing or out of order: " << pattern;
        EXPECT_EQ(lines[at].level, LOG_ERR) << pattern;
    }
    // The analysis did not run and no backup directory was removed.
    for (const auto &l : lines) {
        EXPECT_EQ(l.text.find("fail to analyze"), std::string::npos) << l.text;
        EXPECT_EQ(l.text.find("szCmd="), std::string::npos) << l.text;
    }
}

TEST_F(Entry, ProgramPathWhoseOnlySlashIsTheFirstGivesThree)
{
    InstallUpdater("");
    auto r = vakotest::Run({"/updater", "-g"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(Progress(), "A:-3:      ");
    EXPECT_EQ(UpdateLogTexts(),
              (std::vector<std::string>{"Start of the update...", "Failed to accomplish the update! (errno = 3)"}));
}

TEST_F(Entry, PackageDirectoryLongerThanItsRoomIsRefused)
{
    std::string dir = "/volume1/" + std::string(240, 'd') + "/" + std::string(20, 'e');
    std::string path = InstallUpdater(dir);
    auto r = vakotest::Run({path, "-g"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(Progress(), "A:-3:      ");
}

TEST_F(Entry, StartingDirectoryThatCannotBeOpenedGivesOne)
{
    // Without the capabilities that let root read any directory, a directory
    // without the read bit cannot be opened.
    mkdir("/tmp/start", 0300);
    std::string path = InstallUpdater();
    vakotest::RunOptions opt;
    opt.cwd = "/tmp/start";
    auto r = vakotest::Run({"/usr/bin/setpriv", "--bounding-set", "-dac_override,-dac_read_search", "--", path, "-g"},
                           opt);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(SyslogMatches("main({L}): fail to open current directory. errno=13"));
    EXPECT_TRUE(vakotest::SyslogHas("Failed to accomplish the update! (errno = 1)"));
    EXPECT_EQ(Progress(), "A:-1:      ");
}

TEST_F(Entry, FailedReturnToTheStartingDirectoryGivesTwo)
{
    std::string path = InstallUpdater();
    vakotest::RunOptions opt;
    opt.env = {vakotest::PreloadAlso(VAKO_FAIL_FCHDIR_SHIM)};
    auto r = vakotest::Run({path, "-h"}, opt);
    EXPECT_EQ(r.status, 0); // -h ends before the starting directory is opened
    r = vakotest::Run({path, "-g"}, opt);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(vakotest::SyslogHas("Failed to accomplish the update! (errno = 2)"));
    EXPECT_EQ(UpdateLogTexts().back(), "Failed to accomplish the update! (errno = 2)");
    EXPECT_EQ(Progress().substr(0, 11), "P:-2:      ");
}

TEST_F(Entry, FinalProgressIsWrittenInPlaceOverALongerText)
{
    InstallUpdater("");
    std::string older = "P:100:      remains of an older text";
    WriteFile(kProgressFile, older);
    auto r = vakotest::Run({"/updater", "-g"});
    ASSERT_EQ(r.status, 3);
    EXPECT_EQ(Progress(), "A:-3:      " + older.substr(11));
}

TEST_F(Entry, UpdateLogIsEmptiedAtStartOnlyWhenLargerThan10000Bytes)
{
    InstallUpdater("");
    WriteFile(kUpdateLog, std::string(9999, 'a') + "\n");
    vakotest::Run({"/updater", "-h"});
    std::string log = ReadFile(kUpdateLog);
    EXPECT_EQ(log.substr(0, 10000), std::string(9999, 'a') + "\n");
    EXPECT_GT(log.size(), 10000u);

    WriteFile(kUpdateLog, std::string(10000, 'a') + "\n");
    vakotest::Run({"/updater", "-h"});
    EXPECT_EQ(UpdateLogTexts(), std::vector<std::string>{"Start of the update..."});
    EXPECT_EQ(ReadFile(kUpdateLog).find("aaaa"), std::string::npos);
}

TEST_F(Entry, HeldProgressLockDropsValuesAndTheRunGoesOn)
{
    InstallUpdater("");
    WriteFile(kProgressFile, "R:0:      ");
    // A reader holding the lock for the whole run.
    vakotest::FlockHolder holder(kProgressFile);
    auto r = vakotest::Run({"/updater", "-g"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(Progress(), "R:0:      ");
    EXPECT_EQ(UpdateLogTexts().back(), "Failed to accomplish the update! (errno = 3)");
}

// The run, with a guard that ends it if it blocks (far beyond any slow
// machine); the exit status is 124 then.
vakotest::RunResult RunGuarded(const std::vector<std::string> &argv)
{
    std::vector<std::string> guarded{"/usr/bin/timeout", "-s", "KILL", "120"};
    guarded.insert(guarded.end(), argv.begin(), argv.end());
    return vakotest::Run(guarded);
}

// Any user can leave something at /tmp/update.progress: it neither stalls
// the run (a FIFO kept full) nor redirects its writes; it is replaced by a
// file of the updater's own, and the run goes on to its end.
TEST_F(Entry, ProgressNamePlantedByAnotherUser)
{
    InstallUpdater("");
    for (vakotest::Plant plant : vakotest::kEveryPlant) {
        SCOPED_TRACE(vakotest::PlantName(plant));
        vakotest::Planted planted(plant, kProgressFile);
        vakotest::SyslogClear();
        auto r = RunGuarded({"/updater", "-g"});
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(Progress(), "A:-3:      ");
        EXPECT_EQ(vakotest::FileUid(kProgressFile), 0u);
        EXPECT_TRUE(planted.VictimsUntouched());
        EXPECT_TRUE(SyslogMatches(
            "UPDTWriteFileLocked({L}): [/tmp/update.progress] is not a plain file of the updater, made anew"));
    }
}

// A link at the update log's name is not followed: the file it points at is
// neither emptied nor appended to, and a FIFO there does not stall the run.
TEST_F(Entry, UpdateLogNameThatIsNotAFile)
{
    std::string path = InstallUpdater();
    for (vakotest::Plant plant :
         {vakotest::Plant::kLinkToFile, vakotest::Plant::kDanglingLink, vakotest::Plant::kFullFifo}) {
        SCOPED_TRACE(vakotest::PlantName(plant));
        vakotest::Planted planted(plant, kUpdateLog);
        auto r = RunGuarded({path, "-h"});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(planted.VictimsUntouched());
    }
    // A link to a file larger than a log may grow: that file is not emptied.
    WriteFile("/tmp/big", std::string(20000, 'b'));
    vakotest::RemoveFile(kUpdateLog);
    ASSERT_EQ(symlink("/tmp/big", kUpdateLog), 0);
    EXPECT_EQ(RunGuarded({path, "-h"}).status, 0);
    EXPECT_EQ(ReadFile("/tmp/big"), std::string(20000, 'b'));
}

} // namespace
