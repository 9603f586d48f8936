// The updater's flash roads: the device and patch tables of the two
// layouts, the backup, copy and verify of partitions, the normal road
// (flash_road.cpp), the second road (second_road.cpp) and the FIS directory
// recovery image (fisdir.cpp).
#pragma once

#include <stdint.h>

#include "updater.h"
#include "vako/flash.h"

extern "C" {

// ---- devices ----
#define UPDT_MTD_PREFIX "/dev/mtd"
#define UPDT_MTD_DEVICE(n) UPDT_MTD_PREFIX #n
#define UPDT_DEV_ROOM 10

// The device of the "FIS Directory" partition.
extern char gszDevMtdPartition[UPDT_DEV_ROOM];
// Rows of the active device and patch tables: 6 (junior) or 8 (normal).
extern int gPartitionCount;

// ---- device tables and the patch table ----
typedef struct _tag_PARTITIONDEV_ {
    const char *szPartition;
    const char *szDevice;
} PARTITIONDEV;

typedef struct _tag_PATCHINFO_ {
    const char *part;
    const char *file;
    uint32_t start;
    uint32_t datalen;
    uint32_t size;
    int32_t balance;
    int32_t nblockdelta;
    uint32_t fneedupdate;
} PATCHINFO;

#define UPDT_MAX_PARTITIONS 8
#define UPDT_JUNIOR_PARTITIONS 6

extern const PARTITIONDEV gJuniorDeviceTemplate[UPDT_MAX_PARTITIONS + 1];
extern const PARTITIONDEV gNormalDeviceTemplate[UPDT_MAX_PARTITIONS + 1];
extern const PATCHINFO gJuniorPatchTemplate[UPDT_MAX_PARTITIONS];
extern const PATCHINFO gNormalPatchTemplate[UPDT_MAX_PARTITIONS];
extern PARTITIONDEV gDeviceTable[UPDT_MAX_PARTITIONS + 1];
extern PATCHINFO gPatchInfo[UPDT_MAX_PARTITIONS];
extern uint32_t gEraseBlockSize;

// The flash layout: FIS directory device, device and patch tables, row count.
void UPDTSelectLayout(int fJunior);
// Locks (lock 1) or unlocks every partition of the device table but the
// two directory rows: 0, or -1 at the first failure (logged).
int UPDTLockAll(int lock);

// The device of a partition name (case ignored); NULL, logged, when unknown.
const char *SzUPDTGetDeviceByName(const char *szPartition);
// The index of the entry named szPartition in pList; -1, logged, when none.
int GetIdxByName(const char *szPartition, const VAKOFISENTRY *pList, int count);
// Fills the rows of the patch table from the directory and the package: 0 or -1 (logged).
int UPDTInitPatchInfo(const VAKOFISENTRY *pList, int count);
// 1 when a row has a negative balance, else 0.
int HasNegativeBalance(const PATCHINFO *pTable, int n);
// 1 for the partitions that never move in a resize, else 0.
int IsFixedPartition(const char *szPartition);
// Moves erase blocks to the rows in deficit and lays the rows out again: 0 or -1 (logged).
int ErrUPDTAdjustPartitionSize(PATCHINFO *pTable, int n);
// After a resize: every region that differs from its FIS entry lies inside
// the span of the directory, is erase-aligned and overlaps no other row.
// 0, or -1 (logged).
int UPDTCheckResizedLayout(const PATCHINFO *pTable, int n, const VAKOFISENTRY *pList, int count);

// ---- partition backup, copy and verify ----
#define UPDT_BACKUP_DIR "b@ckup"
extern uint64_t gullProgressTotal;
extern uint64_t gullProgressDone;

// Dumps every partition of the list into a fresh backup directory: 0 or -1 (logged).
int UPDTBackupOldPartition(const VAKOFISENTRY *pList, int count);
// Copies szSrc to the device, or compares them, block by block to the end
// of szSrc: 0 or -1 (logged).
int UPDTCopyFile(const char *szSrc, const char *szDev, int64_t len, int blockSize);
int UPDTVerifyFile(const char *szSrc, const char *szDev, int64_t len, int blockSize);
// The backup directory (szName NULL) or the dump of partition szName in it,
// quoted as one shell argument; -1 when it does not fit.
int UPDTQuoteBackupPath(const char *szName, char *szOut, int cbOut);
// Removes the backup directory of the package directory.
void UPDTRemoveBackupDir(void);
// Progress 'P', 60 + done x 40 / total, from the two counters above.
void UPDTSetCopyProgress(void);

// ---- flash patch and rollback on the normal road ----

// Writes and verifies the rows to update, resizing first when one is in
// deficit: 0 or -1 (logged).
int UPDTDoPatch(const VAKOFISENTRY *pList, int count);
// Writes the dumps of the updated rows back at their old regions: 0 or -1 (logged).
int UPDTRollBack(const VAKOFISENTRY *pList, int count);

// ---- second flash road ----

// The whole second road from the partition table to the archive move; its
// result code.  *pStage follows the road's stage (NULL: not reported).
int UPDTMSysUpdate(char *pStage);
// The kernel's partition table as a list of kPositions entries: 8, or -1 (logged).
int UPDTMSysGetPartitionInfo(VAKOFISENTRY *pList);
// The table's bytes as the kernel hands them over (a big-endian size and data
// length per position, 64 bytes in all) into the kPositions entries of pList,
// laid out from flash address 0; rows of the layout get their names.
void UPDTMSysDecodePartitionTable(const unsigned char *pRaw, VAKOFISENTRY *pList);
int UPDTMSysInitPatchInfo(const VAKOFISENTRY *pList, int count);
// *pRepartitioned is set to 1 when the flash was formatted anew.
int UPDTMSysDoPatch(const VAKOFISENTRY *pList, int count, int *pRepartitioned);
// Formats the flash and lays out the table of n (8) unit counts: 0 or -1 (logged).
int UPDTMSysFormat(const int *pUnits, int n);
int UPDTMSysRollBack(const VAKOFISENTRY *pList, int count, int repartitioned);

// ---- FIS directory recovery image ----
#define UPDT_FISDIR_IMAGE_SIZE 1536
// Rewrites the directory partition with the built-in image: 0 or -1 (logged;
// 0x0900 or 0x0A00 recorded when the device cannot be opened or written).
int RecoverFISDirTable_M88_V284(void);
// The built-in directory image, UPDT_FISDIR_IMAGE_SIZE bytes.
void UPDTGetFISDirImage(unsigned char *pImage);

} // extern "C"
