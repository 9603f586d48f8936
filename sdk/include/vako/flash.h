/* Flash (MTD) partitions and the FIS directory. */
#ifndef VAKO_FLASH_H
#define VAKO_FLASH_H

#include <stdint.h>

#include "vako/kernel.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VAKO_FIS_ENTRY_SIZE      256
#define VAKO_FIS_NAME_SIZE       16
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

/*
 * The flash operations open their device, issue their requests and close it
 * again; they only log their failures (no error code is recorded).  The
 * caller provides every buffer.
 */

/* Erases the whole partition: 0, or -1 (logged). */
int VAKOMTDErasePartition(const char *szDev);
/* The device's MTD record into *pInfo (cbInfo bytes cleared first, at least
 * the record's size): 0, or -1 (logged). */
int VAKOMTDGetDeviceInfo(const char *szDev, mtd_info_user *pInfo, unsigned cbInfo);
/* The FIS directory's entries decoded (host values) into pBuf of cbBuf
 * bytes, up to the first erased record; *pcbUsed gets the bytes they take:
 * the number of entries, or -1 (logged).  A NULL buffer with size 0 asks for
 * the bytes needed. */
int VAKOMTDGetPartitionInfo(const char *szDev, VAKOFISENTRY *pBuf, int cbBuf, int *pcbUsed);
/* Locks (bLock 1) or unlocks the whole partition: 0, or -1 (logged). */
int VAKOMTDILock(const char *szDev, int bLock);
/* VAKOMTDILock with 1: 0, or -1 (logged). */
int VAKOMTDLockPartition(const char *szDev);
/* VAKOMTDILock with 0: 0, or -1 (logged). */
int VAKOMTDUnlockPartition(const char *szDev);
/* Rewrites the named entry of the FIS directory on szDev: 0, or -1 (logged). */
int VAKOMTDModifyFISEntry(const char *szDev, const VAKOFISENTRYINFO *pEntry);
/* Moves the partition's window to {offset, size}: 0, or -1 (logged). */
int VAKOMTDModifyPartitionSize(const char *szDev, uint32_t offset, uint32_t size);
/* 1 when the kernel asks for the second flash road (kernel call 401 gives
 * bit 0), else 0; no code. */
int VAKOKernelMSysFlagGet(void);

/* The stored form of an entry: VAKO_FIS_ENTRY_SIZE bytes, big-endian words;
 * the caller provides both sides; no result, no code. */
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
