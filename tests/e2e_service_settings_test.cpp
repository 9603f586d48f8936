// The service settings steps of the configuration update, end to end: an
// update from an installed build old enough for all four of them.  It runs
// the second flash road, which has no photo and media database steps (on
// the normal road those are due for such builds too).
#include <gtest/gtest.h>
#include <time.h>

#include <string>

#include "vakotest/autoblock.h"
#include "vakotest/chips.h"
#include "vakotest/files.h"
#include "vakotest/fixture.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/pattern.h"
#include "vakotest/run.h"

namespace {

using vakotest::AutoBlockRecord;
using vakotest::LinkTarget;
using vakotest::ReadFile;

TEST(ServiceSettingsMigration, AnUpdateFromBuild867CarriesThemOver)
{
    vakotest::Appliance appliance;
    appliance.version.Set("buildnumber", "867");
    appliance.flash = vakotest::SecondRoadFlash(vakotest::kNormalUnits, {1});
    appliance.info = vakotest::Keys{
        {"hostname", "nas"},         {"ftpipautodeny", "yes"},        {"eventtest", "yes"},
        {"autoblock_attempts", "3"}, {"autoblock_attempt_min", "10"}, {"autoblock_expriedday", "7"},
        {"autoblock_notify", "no"}};
    appliance.files[vakotest::kSmbConf] = "[global]\n"
                                          "\tworkgroup=WORKGROUP\n"
                                          "[public]\n"
                                          "\tpath=/volume1/public\n"
                                          "\tftp write only=yes\n"
                                          "[ftp write only]\n"
                                          "\tpath=/volume1/ftp write only\n"
                                          "\tftp write only=no\n";
    appliance.files[vakotest::kHostsDeny] = "in.ftpd: 10.0.0.9\n"
                                            "ALL: 10.0.0.0/8\n"
                                            "in.ftpd: 192.168.1.20\n";
    appliance.files[vakotest::kSqueezeErrmsgSys] = "package sys\n";
    appliance.files[vakotest::kSqueezeErrmsgTxt] = "package txt\n";
    appliance.files[vakotest::kSystemErrmsgSys] = "system sys\n";
    appliance.files[vakotest::kSystemErrmsgTxt] = "system txt\n";
    vakotest::Install(appliance);
    vakotest::Package package;
    package.images["zImage"] = vakotest::Pattern(100 * vakotest::kUnit + 3, 41);
    vakotest::Install(package);
    vakotest::SyslogClear();

    uint32_t t0 = static_cast<uint32_t>(time(nullptr));
    vakotest::RunResult result = vakotest::Run({package.UpdaterPath()}, {.cwd = "/"});
    uint32_t t1 = static_cast<uint32_t>(time(nullptr));

    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(ReadFile(vakotest::kSmbConf), "[global]\n"
                                            "\tworkgroup=WORKGROUP\n"
                                            "[public]\n"
                                            "\tpath=/volume1/public\n"
                                            "\tftp disable list=yes\n"
                                            "\tftp disable modify=yes\n"
                                            "\tftp disable download=yes\n"
                                            "[ftp write only]\n"
                                            "\tpath=/volume1/ftp write only\n");
    EXPECT_EQ(ReadFile(vakotest::kHostsDeny), "ALL: 10.0.0.0/8\n");
    std::string list = ReadFile(vakotest::kAutoBlockList);
    ASSERT_EQ(list.size(), 16u);
    uint32_t added[2] = {vakotest::AutoBlockTime(list, 0), vakotest::AutoBlockTime(list, 1)};
    for (uint32_t t : added) {
        EXPECT_GE(t, t0);
        EXPECT_LE(t, t1);
    }
    EXPECT_EQ(list, AutoBlockRecord(added[0], "10.0.0.9") + AutoBlockRecord(added[1], "192.168.1.20"));
    // The automatic FTP block became the auto-block settings; eventtest is gone.
    EXPECT_EQ(ReadFile(vakotest::kInfoFile), "hostname=\"nas\"\n"
                                             "autoblock_attempts=\"5\"\n"
                                             "autoblock_attempt_min=\"10\"\n"
                                             "autoblock_expriedday=\"0\"\n"
                                             "autoblock_notify=\"no\"\n");
    EXPECT_EQ(LinkTarget(vakotest::kSqueezeErrmsgSys), vakotest::kSystemErrmsgSys);
    EXPECT_EQ(LinkTarget(vakotest::kSqueezeErrmsgTxt), vakotest::kSystemErrmsgTxt);
    EXPECT_EQ(ReadFile(vakotest::kSqueezeErrmsgSys), "system sys\n");
    for (const char *failure :
         {"updater ({L}) Failed to convert FTP write only flag", "updater:{L} AutoBlockConvertFTPBlockIP() failed!!",
          "updater({L}) Failed to {*} in Squeeze Center{*}", "updater:{L} Fail to remove key [eventtest]{*}"})
        EXPECT_EQ(vakotest::SyslogCount(failure), 0) << failure;
    EXPECT_TRUE(vakotest::SyslogMatches("Congratulation!! The update has been completed!!"));
}

} // namespace
