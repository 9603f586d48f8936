#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>

#include <set>
#include <string>
#include <vector>

#include "updater.h"
#include "vakotest/testkit.h"

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

} // namespace
