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
#define VAKO_FIS_ENTRY_INFO_SIZE 28

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
/* Entries are returned decoded (host values); a NULL buffer with size 0
 * asks for the bytes needed. */
int VAKOMTDGetPartitionInfo(const char *szDev, VAKOFISENTRY *pBuf, int cbBuf, int *pcbUsed);
int VAKOMTDILock(const char *szDev, int bLock);
int VAKOMTDLockPartition(const char *szDev);
int VAKOMTDUnlockPartition(const char *szDev);
int VAKOMTDModifyFISEntry(const char *szDev, const VAKOFISENTRYINFO *pEntry);
int VAKOMTDModifyPartitionSize(const char *szDev, uint32_t offset, uint32_t size);
int VAKOKernelMSysFlagGet(void);

/* The stored form of an entry: VAKO_FIS_ENTRY_SIZE bytes, big-endian words. */
void VAKOFISEntryDecode(const unsigned char *pRaw, VAKOFISENTRY *pEntry);
void VAKOFISEntryEncode(const VAKOFISENTRY *pEntry, unsigned char *pRaw);
/* The VAKO_FIS_ENTRY_INFO_SIZE bytes handed to the kernel; at most 15 bytes
 * of the name go in, so the name always ends in NUL. */
void VAKOFISEntryInfoEncode(const VAKOFISENTRYINFO *pEntry, unsigned char *pRaw);
/* `pEntry` for the set-FIS-entry request, the name cut to 15 bytes. */
void VAKOFISEntryInfoSet(VAKOFISENTRYINFO *pEntry, const char *szName, uint32_t flashBase, uint32_t size,
                         uint32_t dataLength);
/* The entry's name as a C string; szOut has room for VAKO_FIS_NAME_SIZE + 1. */
void VAKOFISEntryGetName(const VAKOFISENTRY *pEntry, char *szOut);
/* 1 when the entry's name equals szName without regard to case, else 0. */
int VAKOFISEntryNameIs(const VAKOFISENTRY *pEntry, const char *szName);

#ifdef __cplusplus
}
#endif

#endif
