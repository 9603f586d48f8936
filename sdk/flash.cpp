#include "vako/flash.h"
#include "unbuilt.h"

extern "C" {

int VAKOMTDErasePartition(const char *) { VAKO_UNBUILT(); return -1; }
int VAKOMTDGetDeviceInfo(const char *, mtd_info_user *, unsigned) { VAKO_UNBUILT(); return -1; }
int VAKOMTDGetPartitionInfo(const char *, VAKOFISENTRY *, int, int *) { VAKO_UNBUILT(); return -1; }
int VAKOMTDILock(const char *, int) { VAKO_UNBUILT(); return -1; }
int VAKOMTDLockPartition(const char *szDev) { return VAKOMTDILock(szDev, 1); }
int VAKOMTDUnlockPartition(const char *szDev) { return VAKOMTDILock(szDev, 0); }
int VAKOMTDModifyFISEntry(const char *, const VAKOFISENTRYINFO *) { VAKO_UNBUILT(); return -1; }
int VAKOMTDModifyPartitionSize(const char *, uint32_t, uint32_t) { VAKO_UNBUILT(); return -1; }

int VAKOKernelMSysFlagGet(void)
{
    uint32_t word = 0;
    return VAKOKernelCallMSysFlag(&word) == 0 && (word & 1) ? 1 : 0;
}

}
