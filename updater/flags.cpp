// Migration flags: which migrations the installed build still needs.
#include <string.h>

#include "migrate.h"
#include "slib/conf_read.h"
#include "vako/info.h"
#include "vako/net.h"

extern "C" {
int gfRemoveRcAtalk, gfRemovePapdConf, gfAddFTPAccounts, gfRemoveProfile, gfRemoveJumboFrameScript,
    gfOldWriteableLayout, gfRecoverFISDir, gfLowerMTUValue, gPhotoDbSteps, gfUpdateRsyncdConf, gfMoveMTUValue,
    gfUpdateRsyncdSecrets, gfUpdateSmmspGroup, gfLimitFTPPortRange, gfConvertUSBBackup, gfChmodPhotoEaDir,
    gfRewritePasswdHomes, gfCreateUserConf, gfConvertNetBackup, gfAddMailUsers, gfConvertCodepage, gfCopyBond0MTU,
    gfDropMediaServerDb, gfConvertFTPWriteOnly, gfDumpPgsqlDbs, gfRemoveALB, gfConvertFTPBlockIP,
    gfLinkSqueezeCenterErrmsg, gfRemoveEventTest, gfRestrictSecretFiles;
}

namespace {

struct Threshold {
    int *pFlag;
    int lastBuild; // the newest installed build that still needs the migration
};

// One row per migration; a new build that needs a migration adds its row.
const Threshold kThresholds[] = {
    {&gfRemoveRcAtalk, 107},
    {&gfRemovePapdConf, 210},
    {&gfAddFTPAccounts, 229},
    {&gfRemoveProfile, 250},
    {&gfRemoveJumboFrameScript, 251},
    {&gfLowerMTUValue, 308},
    {&gfUpdateRsyncdConf, 483},
    {&gfMoveMTUValue, 547},
    {&gfUpdateRsyncdSecrets, 552},
    {&gfUpdateSmmspGroup, 555},
    {&gfLimitFTPPortRange, 659},
    {&gfConvertUSBBackup, 681},
    {&gfChmodPhotoEaDir, 702},
    {&gfRewritePasswdHomes, 770},
    {&gfCreateUserConf, 770},
    {&gfConvertNetBackup, 770},
    {&gfAddMailUsers, 775},
    {&gfConvertCodepage, 807},
    {&gfDropMediaServerDb, 867},
    {&gfConvertFTPWriteOnly, 867},
    {&gfDumpPgsqlDbs, 882},
    {&gfRemoveALB, 886},
    {&gfConvertFTPBlockIP, 886},
    {&gfLinkSqueezeCenterErrmsg, 887},
    {&gfRemoveEventTest, 902},
    // Builds up to 960 left /etc/shadow and the SMB password file readable by all.
    {&gfRestrictSecretFiles, 960},
};

constexpr int kLastBuildCopyBond0MTU = 865;

// Photo database steps: a bit and the range of installed builds that need it.
struct PhotoStep {
    int bit;
    int firstBuild;
    int lastBuild;
};
constexpr PhotoStep kPhotoSteps[] = {{1, 401, 424}, {2, 401, 481}};

// bond0 is the only interface up (bond slaves left out) and has no MTU key yet.
bool IsBond0WithoutMTU()
{
    VAKONETIFINFO ifs[8];
    memset(ifs, 0, sizeof(ifs));
    if (VAKONetGetInterfaceInfo(ifs, 8, 2) != 1 || strcmp(ifs[0].szName, "bond0") != 0)
        return false;
    char szMtu[16];
    return SLIBFileGetKeyValue(SZF_VAKO_INFO, "bond0_mtu", szMtu, sizeof(szMtu), 0) == 0;
}

} // namespace

extern "C" void UPDTSetUpgradeFlags(int build)
{
    for (const Threshold &t : kThresholds)
        if (build <= t.lastBuild)
            *t.pFlag = 1;
    for (const PhotoStep &s : kPhotoSteps)
        if (static_cast<unsigned>(build) - static_cast<unsigned>(s.firstBuild) <=
            static_cast<unsigned>(s.lastBuild - s.firstBuild))
            gPhotoDbSteps |= s.bit;
    if (build <= kLastBuildCopyBond0MTU && IsBond0WithoutMTU())
        gfCopyBond0MTU = 1;
}
