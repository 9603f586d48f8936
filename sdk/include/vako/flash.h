/* Flash (MTD) partitions and the FIS directory. */
#ifndef VAKO_FLASH_H
#define VAKO_FLASH_H

#include <stdint.h>

#include "vako/kernel.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VAKO_FIS_ENTRY_SIZE 256
#define VAKO_FIS_NAME_SIZE 16

/* One FIS directory entry, the 256-byte flash image descriptor.  In flash
 * its words are big-endian; here they are host values, decoded and encoded
 * field by field.  `name` need not hold a NUL. */
typedef struct _tag_VAKOFISENTRY_ {
    char name[VAKO_FIS_NAME_SIZE];
    uint32_t flash_base;
    uint32_t mem_base;
    uint32_t size;
    uint32_t entry_point;
    uint32_t data_length;
    unsigned char reserved[212];
    uint32_t desc_cksum;
    uint32_t file_cksum;
} VAKOFISENTRY;

/* What the set-FIS-entry request rewrites (28 bytes big-endian to the kernel). */
typedef struct _tag_VAKOFISENTRYINFO_ {
    char name[VAKO_FIS_NAME_SIZE];
    uint32_t flash_base;
    uint32_t size;
    uint32_t data_length;
} VAKOFISENTRYINFO;

int VAKOMTDErasePartition(const char *szDev);
int VAKOMTDGetDeviceInfo(const char *szDev, mtd_info_user *pInfo, unsigned cbInfo);
int VAKOMTDGetPartitionInfo(const char *szDev, VAKOFISENTRY *pBuf, int cbBuf, int *pcbUsed);
int VAKOMTDILock(const char *szDev, int bLock);
int VAKOMTDLockPartition(const char *szDev);
int VAKOMTDUnlockPartition(const char *szDev);
int VAKOMTDModifyFISEntry(const char *szDev, const VAKOFISENTRYINFO *pEntry);
int VAKOMTDModifyPartitionSize(const char *szDev, uint32_t offset, uint32_t size);
int VAKOKernelMSysFlagGet(void);

#ifdef __cplusplus
}
#endif

#endif
