// Pre-patch migrations: on the normal road, after the analysis and before
// the partition list is read, the settings of older installed builds are
// converted into the form the new build expects.
#include "flash.h"
#include "migrate.h"

namespace {

// One pre-patch migration.
struct PrePatchStep {
    const int *pFlag; // runs when the flag word is 1
    int (*step)();    // negative when it failed (it logged why)
    int failResult;   // the result code that ends the road when it failed; 0: it need not succeed
};

template <void (*Step)()> int LogsItsFailures()
{
    Step();
    return 0;
}

// In the order they run.
constexpr PrePatchStep kSteps[] = {
    {&gfRecoverFISDir, RecoverFISDirTable_M88_V284, UPDT_ERR_FLASH},
    {&gfLimitFTPPortRange, UpdateFTPPassivePortRange, UPDT_ERR_MIGRATION},
    {&gfUpdateRsyncdConf, LogsItsFailures<UpdateRsyncdConf>, 0},
    {&gfUpdateRsyncdSecrets, LogsItsFailures<CheckAndUpdateRsyncdSecrets>, 0},
    {&gfUpdateSmmspGroup, LogsItsFailures<CheckAndUpdateSmmspGroup>, 0},
    {&gfConvertUSBBackup, LogsItsFailures<UpdateUSBBackupToLocalBackup>, 0},
    {&gfConvertNetBackup, LogsItsFailures<UpdateNetBackupSets>, 0},
    {&gfConvertCodepage, LogsItsFailures<UpdateCodepageKeys>, 0},
};

} // namespace

extern "C" {

int UPDTRunPrePatchMigrations(void)
{
    for (const PrePatchStep &s : kSteps)
        if (*s.pFlag == 1 && s.step() < 0 && s.failResult != 0)
            return s.failResult;
    return 0;
}

int UpdateFTPPassivePortRange(void) { UPDT_UNBUILT(); return -1; }
void UpdateRsyncdConf(void) { UPDT_UNBUILT(); }
void CheckAndUpdateRsyncdSecrets(void) { UPDT_UNBUILT(); }
void CheckAndUpdateSmmspGroup(void) { UPDT_UNBUILT(); }
void UpdateUSBBackupToLocalBackup(void) { UPDT_UNBUILT(); }
void UpdateNetBackupSets(void) { UPDT_UNBUILT(); }
void UpdateCodepageKeys(void) { UPDT_UNBUILT(); }

} // extern "C"
