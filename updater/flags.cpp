// Migration flags.
#include "unbuilt.h"
#include "updater.h"

extern "C" {
int gfRemoveRcAtalk, gfRemovePapdConf, gfAddFTPAccounts, gfRemoveProfile, gfRemoveJumboFrameScript,
    gfOldWriteableLayout, gfRecoverFISDir, gfLowerMTUValue, gPhotoDbSteps, gfUpdateRsyncdConf,
    gfMoveMTUValue, gfUpdateRsyncdSecrets, gfUpdateSmmspGroup, gfLimitFTPPortRange, gfConvertUSBBackup,
    gfChmodPhotoEaDir, gfRewritePasswdHomes, gfCreateUserConf, gfConvertNetBackup, gfAddMailUsers,
    gfConvertCodepage, gfCopyBond0MTU, gfDropMediaServerDb, gfConvertFTPWriteOnly, gfDumpPgsqlDbs,
    gfRemoveALB, gfConvertFTPBlockIP, gfLinkSqueezeCenterErrmsg, gfRemoveEventTest, gfRestrictSecretFiles;

void UPDTSetUpgradeFlags(int) { UPDT_UNBUILT(); }
}
