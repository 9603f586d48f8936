#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>

#include <set>
#include <string>
#include <vector>

#include "migrate.h"
#include "vakotest/files.h"

namespace {

struct FlagRow {
    const char *name;
    int *pFlag;
    int lastBuild;
};

// Every migration due up to an installed build, inclusive.
const std::vector<FlagRow> kRows = {
    {"gfRemoveRcAtalk", &gfRemoveRcAtalk, 107},
    {"gfRemovePapdConf", &gfRemovePapdConf, 210},
    {"gfAddFTPAccounts", &gfAddFTPAccounts, 229},
    {"gfRemoveProfile", &gfRemoveProfile, 250},
    {"gfRemoveJumboFrameScript", &gfRemoveJumboFrameScript, 251},
    {"gfLowerMTUValue", &gfLowerMTUValue, 308},
    {"gfUpdateRsyncdConf", &gfUpdateRsyncdConf, 483},
    {"gfMoveMTUValue", &gfMoveMTUValue, 547},
    {"gfUpdateRsyncdSecrets", &gfUpdateRsyncdSecrets, 552},
    {"gfUpdateSmmspGroup", &gfUpdateSmmspGroup, 555},
    {"gfLimitFTPPortRange", &gfLimitFTPPortRange, 659},
    {"gfConvertUSBBackup", &gfConvertUSBBackup, 681},
    {"gfChmodPhotoEaDir", &gfChmodPhotoEaDir, 702},
    {"gfRewritePasswdHomes", &gfRewritePasswdHomes, 770},
    {"gfCreateUserConf", &gfCreateUserConf, 770},
    {"gfConvertNetBackup", &gfConvertNetBackup, 770},
    {"gfAddMailUsers", &gfAddMailUsers, 775},
    {"gfConvertCodepage", &gfConvertCodepage, 807},
    {"gfDropMediaServerDb", &gfDropMediaServerDb, 867},
    {"gfConvertFTPWriteOnly", &gfConvertFTPWriteOnly, 867},
    {"gfDumpPgsqlDbs", &gfDumpPgsqlDbs, 882},
    {"gfRemoveALB", &gfRemoveALB, 886},
    {"gfConvertFTPBlockIP", &gfConvertFTPBlockIP, 886},
    {"gfLinkSqueezeCenterErrmsg", &gfLinkSqueezeCenterErrmsg, 887},
    {"gfRemoveEventTest", &gfRemoveEventTest, 902},
    {"gfRestrictSecretFiles", &gfRestrictSecretFiles, 960},
};

void ClearFlags()
{
    for (const FlagRow &r : kRows)
        *r.pFlag = 0;
    gPhotoDbSteps = gfCopyBond0MTU = gfOldWriteableLayout = gfRecoverFISDir = 0;
}

// Installed builds that are not on bond0: every threshold, its neighbours
// and the far ends.
std::vector<int> Builds()
{
    std::set<int> b = {INT_MIN, -1, 0, 1, 400, 401, 424, 425, 481, 482, 903, 961, INT_MAX};
    for (const FlagRow &r : kRows) {
        b.insert(r.lastBuild);
        b.insert(r.lastBuild + 1);
    }
    return {b.begin(), b.end()};
}

TEST(UpgradeFlags, EveryFlagAgainstInstalledBuilds)
{
    for (int build : Builds()) {
        ClearFlags();
        UPDTSetUpgradeFlags(build);
        for (const FlagRow &r : kRows)
            EXPECT_EQ(*r.pFlag, build <= r.lastBuild ? 1 : 0) << r.name << " at build " << build;
        int photo = (build >= 401 && build <= 424 ? 1 : 0) | (build >= 401 && build <= 481 ? 2 : 0);
        EXPECT_EQ(gPhotoDbSteps, photo) << "build " << build;
        // Set by the analysis only.
        EXPECT_EQ(gfOldWriteableLayout, 0);
        EXPECT_EQ(gfRecoverFISDir, 0);
        EXPECT_EQ(gfCopyBond0MTU, 0) << "build " << build;
    }
}

TEST(UpgradeFlags, SetsButNeverClears)
{
    ClearFlags();
    gfRemoveRcAtalk = 1;
    gPhotoDbSteps = 4;
    gfOldWriteableLayout = 1;
    gfRecoverFISDir = 1;
    UPDTSetUpgradeFlags(903);
    EXPECT_EQ(gfRemoveRcAtalk, 1);
    EXPECT_EQ(gPhotoDbSteps, 4);
    EXPECT_EQ(gfOldWriteableLayout, 1);
    EXPECT_EQ(gfRecoverFISDir, 1);
    UPDTSetUpgradeFlags(424);
    EXPECT_EQ(gPhotoDbSteps, 7);
}

void Ip(const std::string &args)
{
    std::string cmd = "/bin/ip " + args;
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
}

// The interfaces that are up: bond0 alone (its peer stays down), or eth0 too.
void UpInterfaces(bool withEth0)
{
    if (vakotest::FileExists("/sys/class/net/eth0"))
        Ip("link del eth0");
    if (!vakotest::FileExists("/sys/class/net/bond0"))
        Ip("link add bond0 type veth peer name bondpeer");
    Ip("link set bond0 up");
    if (withEth0) {
        Ip("link add eth0 type veth peer name eth1");
        Ip("link set eth0 up");
    }
}

TEST(UpgradeFlags, CopyBond0MTUWhenBond0IsTheOnlyInterfaceWithoutItsKey)
{
    struct Case {
        const char *what;
        int build;
        bool withEth0;
        const char *info; // /etc/vakoinfo.conf; NULL: none
        int flag;
    } cases[] = {
        {"bond0 alone, no key", 865, false, "eth0_mtu=\"9000\"\n", 1},
        {"no settings file", 865, false, nullptr, 0}, // a read error is no answer
        {"older build", -3, false, "", 1},
        {"newer build", 866, false, "", 0},
        {"key present", 865, false, "bond0_mtu=\"9000\"\n", 0},
        {"another interface up", 865, true, "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        UpInterfaces(c.withEth0);
        if (c.info)
            vakotest::WriteFile("/etc/vakoinfo.conf", c.info);
        else
            vakotest::RemoveFile("/etc/vakoinfo.conf");
        ClearFlags();
        UPDTSetUpgradeFlags(c.build);
        EXPECT_EQ(gfCopyBond0MTU, c.flag);
    }
    UpInterfaces(false);
    Ip("link set bond0 name bond1");
    vakotest::WriteFile("/etc/vakoinfo.conf", "");
    ClearFlags();
    UPDTSetUpgradeFlags(865);
    EXPECT_EQ(gfCopyBond0MTU, 0);
}

} // namespace
