// The configuration update at the end of the normal flash road, end to end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vakotest/chips.h"
#include "vakotest/fixture.h"
#include "vakotest/files.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/run.h"

namespace {

namespace ks = vakotest::kstub;

const std::string kCrontabLines = "0 3 * * * root /usr/bin/vacuumdb -a\n"
                                  "10 1 * * * root /bin/rm -f /var/log/*.html\n"
                                  "20 2 * * * root /usr/vako/bin/backup.sh\n";

class ConfigUpdateOnTheNormalRoad : public testing::Test {
protected:
    void Install(const std::string &installedBuild, const std::string &unique = "vakora_powerpc_demo")
    {
        vakotest::Appliance appliance;
        appliance.version.Set("buildnumber", installedBuild);
        appliance.defaults.Set("unique", unique);
        package_.version.Set("unique", unique);
        appliance.flash = vakotest::LayoutFlash(vakotest::Layout::Normal);
        appliance.files[vakotest::kCrontab] = kCrontabLines;
        vakotest::Install(appliance);
        chip_ = appliance.flash->chip;
        package_.images["zImage"] = std::string(0x30000, 'z');
        vakotest::Install(package_);
        vakotest::SyslogClear();
    }

    // Installed builds up to 350 ask for a fresh boot: the clock starts at 10 s.
    void Update() { result_ = vakotest::Run({package_.UpdaterPath()}, {.cwd = "/", .uptime = 10}); }

    ks::Chip chip_;
    vakotest::Package package_;
    vakotest::RunResult result_{};
};

TEST_F(ConfigUpdateOnTheNormalRoad, WithEveryFlagZeroStepsSixAndEightStillRun)
{
    Install("1000");
    vakotest::WriteFile("/usr/vako/etc/manutil.conf", "x\n");
    vakotest::WriteFile("/usr/vako/etc/php.ini", "x\n");
    vakotest::WriteFile("/usr/vako/etc/rc.atalk", "x\n");
    Update();

    EXPECT_EQ(result_.status, 0) << result_.err;
    EXPECT_FALSE(vakotest::FileExists("/usr/vako/etc/manutil.conf"));
    EXPECT_FALSE(vakotest::FileExists("/usr/vako/etc/php.ini"));
    EXPECT_TRUE(vakotest::FileExists("/usr/vako/etc/rc.atalk"));
    EXPECT_EQ(vakotest::ReadFile(vakotest::kCrontab), "20 2 * * * root /usr/vako/bin/backup.sh\n");
}

// Step 6 runs on every update, so it fails here without an installed build
// old enough for other migrations.  (A step of an old build failing amid
// all its migrations: e2e_migrations_test.cpp.)
TEST_F(ConfigUpdateOnTheNormalRoad, AFailingEarlyStepRollsTheFlashBackAndEndsWith17)
{
    Install("1000");
    // A directory that is not empty cannot be unlinked.
    vakotest::MakeDirs("/usr/vako/etc/manutil.conf/sub");
    vakotest::WriteFile("/usr/vako/etc/php.ini", "x\n");
    Update();

    EXPECT_EQ(result_.status, 17);
    EXPECT_TRUE(vakotest::SyslogMatches(
        "updater:{L}(UPDTUpdateConfig) Failed to update [/usr/vako/etc/manutil.conf], errno=(21)[Is a directory]"));
    EXPECT_EQ(ks::Load(ks::kSandboxDir).image, chip_.image);
    // The changes already made stay.
    EXPECT_FALSE(vakotest::FileExists("/usr/vako/etc/php.ini"));
    EXPECT_EQ(vakotest::ReadFile(vakotest::kCrontab), "20 2 * * * root /usr/vako/bin/backup.sh\n");
    EXPECT_EQ(vakotest::ReadFile(vakotest::kProgressFile).substr(0, 12), "C:-17:      ");
}

// The old writeable layout of a model's builds up to 261: an empty logs
// folder leaves nothing to copy from it, and that is no failure.
TEST_F(ConfigUpdateOnTheNormalRoad, OldWriteableLayoutWithAnEmptyLogsFolderIsSaved)
{
    Install("261", "palvix_powerpc_1hd");
    vakotest::WriteFile("/writeable/configs/network.conf", "config\n");
    vakotest::MakeDirs("/writeable/logs");
    Update();

    EXPECT_EQ(result_.status, 0) << result_.err;
    EXPECT_EQ(vakotest::ReadFile("/volume1/s@vedconfig/network.conf"), "config\n");
    EXPECT_FALSE(vakotest::SyslogMatches("updater:{L}(UPDTUpdateConfig) Failed to execute {*}"));
    EXPECT_FALSE(vakotest::FileExists(package_.dir + "/b@ckup"));
}

} // namespace
