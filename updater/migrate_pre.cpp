// Pre-patch migrations.
#include "unbuilt.h"
#include "updater.h"

extern "C" {
int UpdateFTPPassivePortRange(void) { UPDT_UNBUILT(); return -1; }
void UpdateRsyncdConf(void) { UPDT_UNBUILT(); }
void CheckAndUpdateRsyncdSecrets(void) { UPDT_UNBUILT(); }
void CheckAndUpdateSmmspGroup(void) { UPDT_UNBUILT(); }
void UpdateUSBBackupToLocalBackup(void) { UPDT_UNBUILT(); }
void UpdateNetBackupSets(void) { UPDT_UNBUILT(); }
void UpdateCodepageKeys(void) { UPDT_UNBUILT(); }
}
