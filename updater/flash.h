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
#define UPDT_MTD_PREFIX    "/dev/mtd"
#define UPDT_MTD_DEVICE(n) UPDT_MTD_PREFIX #n
#define UPDT_DEV_ROOM      10

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

#define UPDT_MAX_PARTITIONS    8
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
// The directory's entries neither overlap nor end past the directory
// partition's end (the end of the flash) or the 32-bit address space: 0, or
// -1 (logged).
int UPDTCheckDirectoryLayout(const VAKOFISENTRY *pList, int count);
// After a resize: every region that differs from its FIS entry lies inside
// the span of the directory, is erase-aligned and overlaps no other row.
// 0, or -1 (logged).
int UPDTCheckResizedLayout(const PATCHINFO *pTable, int n, const VAKOFISENTRY *pList, int count);

// ---- partition backup, copy and verify ----
#define UPDT_BACKUP_DIR "b@ckup"
// Beside the backup directory from the moment its dumps are whole until the
// flash is known good again: while it is there the dumps are the only good
// copy of the flash.
#define UPDT_BACKUP_MARK "b@ckup.mark"
// Attempts at writing or restoring one partition.
#define UPDT_ATTEMPTS 3
extern uint64_t gullProgressTotal;
extern uint64_t gullProgressDone;

// Dumps every partition of the list into a fresh backup directory: 0 or -1 (logged).
int UPDTBackupOldPartition(const VAKOFISENTRY *pList, int count);
// Copies szSrc to the device, or compares them, block by block to the end
// of szSrc: 0 or -1 (logged).
int UPDTCopyFile(const char *szSrc, const char *szDev, int64_t len, int blockSize);
int UPDTVerifyFile(const char *szSrc, const char *szDev, int64_t len, int blockSize);
// The backup directory (szName NULL) or the dump of partition szName in it:
// its length, or -1 when it does not fit.
int UPDTBackupPath(const char *szName, char *szOut, int cbOut);
// The same quoted as one shell argument; -1 when it does not fit.
int UPDTQuoteBackupPath(const char *szName, char *szOut, int cbOut);
// Bytes of the dump of partition szName, or -1 when there is none.
int64_t UPDTDumpSize(const char *szName);
// Compares the dump of partition szName with the device, without progress:
// 0 equal, -1 (logged) different or unreadable.
int UPDTVerifyDump(const char *szName, const char *szDev);
// After a whole backup of pList: flushes the dumps to disk and makes the mark
// (the road, and each dump with its size): 0, or -1 (logged; no mark).
int UPDTMarkBackup(const VAKOFISENTRY *pList, int count, int fSecondRoad);
// 0 no mark; 1 a mark of this road whose dumps are all there whole; -1
// (logged) a mark whose dumps cannot be trusted.
int UPDTCheckBackupMark(int fSecondRoad);
// Removes the mark: the flash is known good.
void UPDTRemoveBackupMark(void);
// Removes the mark, then the backup directory of the package directory.
void UPDTRemoveBackupDir(void);
// The flash is not known good: logs where its backup is kept and says so in
// the message file.
void UPDTKeepBackup(const char *szFunc);
// The flash is known good again: the message of UPDTKeepBackup about this
// package directory's backup leaves the message file.
void UPDTForgetKeptBackup(void);
// Progress 'P', 60 + done x 40 / total, from the two counters above.
void UPDTSetCopyProgress(void);

// ---- flash patch and rollback on the normal road ----

// Writes and verifies the rows to update, resizing first when one is in
// deficit: 0 or -1 (logged).
int UPDTDoPatch(const VAKOFISENTRY *pList, int count);
// Puts back, from their dumps, at their old regions and with their old
// entries, the rows the last patch changed and the rows whose old regions
// those now cover; every row is tried: 0 when all are restored (or none was
// changed), -1 (logged) when one is not.
int UPDTRollBack(const VAKOFISENTRY *pList, int count);
// The flash of an update that was ended while it changed it, back to its
// marked backup: the directory partition first, then every other partition
// of the directory's dump at its old region; 0, or -1 (logged).
int UPDTRecoverFromBackup(void);

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
// *pRepartitioned is set to 1 once a format of the flash was tried.
int UPDTMSysDoPatch(const VAKOFISENTRY *pList, int count, int *pRepartitioned);
// Formats the flash and lays out the table of n (8) unit counts: 0 or -1 (logged).
int UPDTMSysFormat(const int *pUnits, int n);
// Lays out the old table again when repartitioned, then writes back the
// dumps of the positions the last patch wrote (all after a format); every
// position is tried: 0 when all are restored (or none was written), -1
// (logged) when one is not.
int UPDTMSysRollBack(const VAKOFISENTRY *pList, int count, int repartitioned);
// The flash of an update that was ended while it changed it, back to its
// marked backup: the old table from the dumps' sizes when the kernel's
// differs, then every position that differs from its dump; 0, or -1 (logged).
int UPDTMSysRecoverFromBackup(void);

// ---- FIS directory recovery image ----
#define UPDT_FISDIR_IMAGE_SIZE 1536
// Rewrites the directory partition with the built-in image: 0 or -1 (logged;
// 0x0900 or 0x0A00 recorded when the device cannot be opened or written).
int RecoverFISDirTable_M88_V284(void);
// The built-in directory image, UPDT_FISDIR_IMAGE_SIZE bytes.
void UPDTGetFISDirImage(unsigned char *pImage);

} // extern "C"
