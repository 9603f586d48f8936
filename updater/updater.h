// The updater's own interface: process-wide state, result codes and the
// operations of its areas.  Private to the program and its tests.
#pragma once

#include <stdint.h>

#include "vako/flash.h"

extern "C" {

// Result codes: the process exit status; the final progress carries it negated.
enum {
    UPDT_SUCCESS = 0,
    UPDT_ERR_OPEN_CWD = 1,
    UPDT_ERR_RETURN_CWD = 2,
    UPDT_ERR_CHDIR = 3,
    UPDT_ERR_READ_VER = 6,
    UPDT_ERR_READ_PATCH_VER = 7,
    UPDT_ERR_READ_MOD = 8,
    UPDT_ERR_READ_PATCH_MOD = 9,
    UPDT_ERR_VERSION = 10,
    UPDT_ERR_MODEL = 11,
    UPDT_ERR_COMPANY = 12,
    UPDT_ERR_PATCH = 13,
    UPDT_ERR_UNKNOWN = 14,
    UPDT_ERR_BACKUP = 15,
    UPDT_ERR_SPACE = 16,
    UPDT_ERR_CONFIG = 17,
    UPDT_ERR_PART_INFO = 18,
    UPDT_ERR_PATCH_INFO = 19,
    UPDT_ERR_FLASH = 20,
    UPDT_ERR_MIGRATION = 21,
    UPDT_ERR_FSTYPE = 22,
    UPDT_ERR_MEMORY = 23,
    UPDT_ERR_REBOOT = 24,
};

// The source position of the updater's "%s:%d" messages names the program's
// one source file, whatever file of ours holds the step.
#define UPDT_SOURCE_FILE "updater"

// The result word of a result code (NULL for -1 and unknown codes).
const char *SzUPDTResultWord(int result);

// ---- entry and road (updater entry) ----
#define UPDT_VOLUME_ROOM 32     // 31 characters and the NUL
#define UPDT_UPDATE_DIR_ROOM 256
#define UPDT_DEV_ROOM 10

extern char gszVolume[UPDT_VOLUME_ROOM];
extern char gszUpdateDir[UPDT_UPDATE_DIR_ROOM];
extern char gszDevMtdPartition[UPDT_DEV_ROOM];
extern int gPartitionCount;
extern int gfGroupUpdate;
extern int gfJunior;
extern int gfNoInitrd;
extern int gfMtdBufSyscall;

// The flash layout: FIS directory device, device and patch tables, row count.
void UPDTSelectLayout(int fJunior);

#define UPDT_CMD_ROOM 1024
#define UPDT_ARCHIVE "hda1.tgz"
#define UPDT_ARCHIVE_TARGET "VakoUpgrade.tar.gz"

int UPDTExecute(const char *szCmd);
// Moves the package's disk archive onto the volume; a failure is logged
// under szFunc's name.
void UPDTMoveArchive(const char *szFunc);
// Removes the backup directory of the package directory.
void UPDTRemoveBackupDir(void);
int UPDTLockAll(int lock);

// Quotes `szText` for the shell as one argument ('...' with each ' as '\'').
// Returns the length written, or -1 (nothing usable) when it does not fit.
int UPDTShellQuote(const char *szText, char *szOut, int cbOut);
// snprintf that refuses a result that does not fit: -1, logged.
int UPDTFormatCommand(char *szCmd, int cbCmd, const char *szFmt, ...)
    __attribute__((format(printf, 3, 4)));

// ---- progress, message and update-log files ----
#define UPDT_PROGRESS_FILE "/tmp/update.progress"
#define UPDT_MESSAGE_FILE "/tmp/update.message"
#define UPDT_LOG_FILE "/var/log/vakoupdate.log"

int UPDTWriteFileLocked(const char *szPath, const char *szText, int fWait);
void UPDTSetProgress(char stage, int value);
void UPDTSetMessage(const char *szKey, const char *szValue);
void UPDTWriteLog(const char *szText);
void UPDTCheckLogSize(void);

// ---- analysis ----
int ErrUPDTIAnalyze_WholeSystem(void);
int IsSysPartitionSufficient(int64_t kbToUnpack);
int IsSysPartitionResizeable(int64_t sectors);
int UPDTCompareVersion(const char *a, const char *b);

// ---- migration flags ----
extern int gfRemoveRcAtalk, gfRemovePapdConf, gfAddFTPAccounts, gfRemoveProfile,
    gfRemoveJumboFrameScript, gfOldWriteableLayout, gfRecoverFISDir, gfLowerMTUValue,
    gPhotoDbSteps, gfUpdateRsyncdConf, gfMoveMTUValue, gfUpdateRsyncdSecrets, gfUpdateSmmspGroup,
    gfLimitFTPPortRange, gfConvertUSBBackup, gfChmodPhotoEaDir, gfRewritePasswdHomes,
    gfCreateUserConf, gfConvertNetBackup, gfAddMailUsers, gfConvertCodepage, gfCopyBond0MTU,
    gfDropMediaServerDb, gfConvertFTPWriteOnly, gfDumpPgsqlDbs, gfRemoveALB, gfConvertFTPBlockIP,
    gfLinkSqueezeCenterErrmsg, gfRemoveEventTest, gfRestrictSecretFiles;

void UPDTSetUpgradeFlags(int build);

// ---- pre-patch migrations ----
int UpdateFTPPassivePortRange(void);
void UpdateRsyncdConf(void);
void CheckAndUpdateRsyncdSecrets(void);
void CheckAndUpdateSmmspGroup(void);
void UpdateUSBBackupToLocalBackup(void);
void UpdateNetBackupSets(void);
void UpdateCodepageKeys(void);

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

const char *SzUPDTGetDeviceByName(const char *szPartition);
int GetIdxByName(const char *szPartition, const VAKOFISENTRY *pList, int count);
int UPDTInitPatchInfo(const VAKOFISENTRY *pList, int count);
int HasNegativeBalance(const PATCHINFO *pTable, int n);
int IsFixedPartition(const char *szPartition);
int ErrUPDTAdjustPartitionSize(PATCHINFO *pTable, int n);
// After a resize: every region that differs from its FIS entry lies inside
// the span of the directory, is erase-aligned and overlaps no other row.
int UPDTCheckResizedLayout(const PATCHINFO *pTable, int n, const VAKOFISENTRY *pList, int count);

// ---- partition backup, copy and verify ----
#define UPDT_BACKUP_DIR "b@ckup"
extern uint64_t gullProgressTotal;
extern uint64_t gullProgressDone;

int UPDTBackupOldPartition(const VAKOFISENTRY *pList, int count);
int UPDTCopyFile(const char *szSrc, const char *szDev, int64_t len, int blockSize);
int UPDTVerifyFile(const char *szSrc, const char *szDev, int64_t len, int blockSize);
// The backup directory (szName NULL) or the dump of partition szName in it,
// quoted as one shell argument; -1 when it does not fit.
int UPDTQuoteBackupPath(const char *szName, char *szOut, int cbOut);
// Progress 'P', 60 + done x 40 / total, from the two counters above.
void UPDTSetCopyProgress(void);

// ---- flash patch and rollback on the normal road ----
int UPDTDoPatch(const VAKOFISENTRY *pList, int count);
int UPDTRollBack(const VAKOFISENTRY *pList, int count);

// ---- second flash road ----
int UPDTMSysUpdate(char *pStage);
int UPDTMSysGetPartitionInfo(VAKOFISENTRY *pList);
int UPDTMSysInitPatchInfo(const VAKOFISENTRY *pList, int count);
int UPDTMSysDoPatch(const VAKOFISENTRY *pList, int count, int *pRepartitioned);
int UPDTMSysFormat(const int *pUnits, int n);
int UPDTMSysRollBack(const VAKOFISENTRY *pList, int count, int repartitioned);

// ---- FIS directory recovery image ----
#define UPDT_FISDIR_IMAGE_SIZE 1536
int RecoverFISDirTable_M88_V284(void);
// The built-in directory image, UPDT_FISDIR_IMAGE_SIZE bytes.
void UPDTGetFISDirImage(unsigned char *pImage);

// ---- configuration update ----
int UPDTUpdateConfig(void);

// Steps of the configuration update in the migration areas; each logs its
// own failures and gives 0, or -1 when it failed.
// accounts and groups (migrate_accounts.cpp)
int RenameConflictUser(const char *name);
int UPDTAddFTPAccounts(void);      // step 3
int UPDTRewritePasswdHomes(void);  // step 11
int UPDTCreateUserConf(void);      // step 12
int UPDTAddMailUsers(void);        // step 13
// network settings (migrate_network.cpp)
int UPDTLowerMTUValue(void);       // step 9
int UPDTMoveMTUValue(void);        // step 10
int UPDTCopyBond0MTU(void);        // step 14
int UPDTRemoveALB(void);           // step 16
// service settings (migrate_services.cpp)
int ConvertFTPWriteOnlyFlag(void);     // step 15 (the caller logs its failure)
int AutoBlockConvertFTPBlockIP(void);  // step 17 (the caller logs its failure)
int UPDTLinkSqueezeCenterErrmsg(void); // step 18
int UPDTRemoveEventTest(void);         // step 19

// ---- photo and media databases ----
int UpdatePhotoDatabase(void);

} // extern "C"
