// Flash patch and rollback on the normal road.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "flash.h"
#include "slibcxx/raii.h"

namespace {

constexpr int kAttempts = UPDT_ATTEMPTS;
constexpr int kCopyBlock = 16384;
constexpr int kVerifyBlock = 8192;
constexpr const char *kDirectory = "FIS Directory";

// The rows whose partition the last patch began to change (region set).
bool gTouched[UPDT_MAX_PARTITIONS];

bool ImagePath(const PATCHINFO &row, char *szPath, size_t cbPath)
{
    int n = snprintf(szPath, cbPath, "%s/%s", gszUpdateDir, row.file);
    return n >= 0 && static_cast<size_t>(n) < cbPath;
}

// An attempt erases before it copies: a row whose image cannot be read
// would be left erased, so every image is checked before any is written.
bool ImagesReadable()
{
    for (int r = 0; r < gPartitionCount; ++r) {
        const PATCHINFO &row = gPatchInfo[r];
        if (!row.fneedupdate)
            continue;
        char szPath[UPDT_PATH_ROOM];
        struct stat st;
        slib::Fd fd;
        bool ok = ImagePath(row, szPath, sizeof(szPath)) && (fd.reset(open(szPath, O_RDONLY | O_CLOEXEC)), fd.ok()) &&
                  fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
        if (!ok) {
            syslog(LOG_ERR, "%s(%d): image [%s] of partition [%s] is missing, unreadable or empty", "UPDTDoPatch",
                   __LINE__, row.file, row.part);
            return false;
        }
    }
    return true;
}

// Unlock, erase, write and verify one partition; the progress falls back
// to the row's starting value before each attempt.
bool WritePartition(int r, const char *szDev)
{
    const PATCHINFO &row = gPatchInfo[r];
    char szPath[UPDT_PATH_ROOM];
    if (!ImagePath(row, szPath, sizeof(szPath)))
        return false;
    for (int k = 0; k < kAttempts; ++k) {
        gullProgressDone = 0;
        for (int i = 0; i < r; ++i) {
            if (gPatchInfo[i].fneedupdate == 1)
                gullProgressDone += static_cast<uint64_t>(static_cast<int32_t>(2u * gPatchInfo[i].datalen));
        }
        UPDTSetCopyProgress();
        if (VAKOMTDUnlockPartition(szDev) < 0) {
            syslog(LOG_ERR, "%s: unlock [%s] fail", "UPDTDoPatch", szDev);
            continue;
        }
        syslog(LOG_ERR, "%s:%d(%s) Try to Erase MTD Partition(%s), [%d/%d]...", UPDT_SOURCE_FILE, __LINE__,
               "UPDTDoPatch", szDev, k, kAttempts);
        if (VAKOMTDErasePartition(szDev) < 0) {
            syslog(LOG_ERR, "%s: VAKOMTDErasePartition() fail", "UPDTDoPatch");
            continue;
        }
        syslog(LOG_ERR, "%s:%d(%s) Try to Write MTD Partition(%s), [%d/%d]...", UPDT_SOURCE_FILE, __LINE__,
               "UPDTDoPatch", szDev, k, kAttempts);
        if (UPDTCopyFile(szPath, szDev, row.datalen, kCopyBlock) < 0)
            continue;
        syslog(LOG_ERR, "%s:%d(%s) Try to Verify MTD Partition(%s), [%d/%d]...", UPDT_SOURCE_FILE, __LINE__,
               "UPDTDoPatch", szDev, k, kAttempts);
        if (UPDTVerifyFile(szPath, szDev, row.datalen, kVerifyBlock) < 0)
            continue;
        return true;
    }
    syslog(LOG_ERR, "%s:%d(%s) Try to Update [%s] %d counts failed ...", UPDT_SOURCE_FILE, __LINE__, "UPDTDoPatch",
           szDev, kAttempts);
    return false;
}

// The partition's device, its region set in the kernel; NULL on failure.
const char *SetRegion(const char *szFunc, const char *szPart, uint32_t start, uint32_t size)
{
    const char *szDev = SzUPDTGetDeviceByName(szPart);
    if (!szDev) {
        syslog(LOG_ERR, "%s(%d): fail to get device path", szFunc, __LINE__);
        return nullptr;
    }
    if (VAKOMTDModifyPartitionSize(szDev, start, size) < 0) {
        syslog(LOG_ERR, "%s: VAKOMTDModifyPartitionSize() fail", szFunc);
        return nullptr;
    }
    return szDev;
}

bool SetFISEntry(const char *szFunc, const char *szName, uint32_t start, uint32_t size, uint32_t datalen)
{
    VAKOFISENTRYINFO info;
    VAKOFISEntryInfoSet(&info, szName, start, size, datalen);
    if (VAKOMTDModifyFISEntry(gszDevMtdPartition, &info) < 0) {
        syslog(LOG_ERR, "%s: VAKOMTDModifyFISEntry() fail", szFunc);
        return false;
    }
    return true;
}

// How a partition goes back to its dump.
enum class Restore {
    kRollBack, // rewritten, then its old directory entry set
    kRecover,  // rewritten only when it differs; the directory comes whole from its own dump
};

// The partition `old` describes, back at its old region with its dump, up to
// three attempts; true when done.
bool RestorePartition(const char *szFunc, const VAKOFISENTRY &old, Restore how)
{
    char szName[VAKO_FIS_NAME_SIZE + 1];
    VAKOFISEntryGetName(&old, szName);
    const char *szDev = SzUPDTGetDeviceByName(szName);
    char szDump[UPDT_QUOTED_ROOM], szQuotedDev[UPDT_QUOTED_ROOM], szCmd[UPDT_CMD_ROOM];
    if (!szDev) {
        syslog(LOG_ERR, "%s(%d): fail to get device path", szFunc, __LINE__);
        return false;
    }
    if (UPDTQuoteBackupPath(szName, szDump, sizeof(szDump)) < 0 ||
        UPDTShellQuote(szDev, szQuotedDev, sizeof(szQuotedDev)) < 0 ||
        UPDTFormatCommand(szCmd, sizeof(szCmd), UPDT_BIN_DD " if=%s of=%s bs=131072", szDump, szQuotedDev) < 0)
        return false;
    for (int k = 0; k < kAttempts; ++k) {
        if (VAKOMTDModifyPartitionSize(szDev, old.flash_base, old.size) < 0) {
            syslog(LOG_ERR, "%s: VAKOMTDModifyPartitionSize() fail", szFunc);
            continue;
        }
        if (how == Restore::kRecover && UPDTVerifyDump(szName, szDev) == 0)
            return true;
        if (VAKOMTDUnlockPartition(szDev) < 0) {
            syslog(LOG_ERR, "%s: unlock [%s] fail", szFunc, szDev);
            continue;
        }
        syslog(LOG_ERR, "%s:%d(%s) VAKOMTDErasePartition(%s)...", UPDT_SOURCE_FILE, __LINE__, szFunc, szDev);
        if (VAKOMTDErasePartition(szDev) < 0) {
            syslog(LOG_ERR, "%s: VAKOMTDErasePartition() fail", szFunc);
            continue;
        }
        syslog(LOG_ERR, "%s(%d): command=[%s]", szFunc, __LINE__, szCmd);
        if (UPDTExecute(szCmd) < 0 || UPDTVerifyDump(szName, szDev) < 0)
            continue;
        if (how == Restore::kRollBack && !SetFISEntry(szFunc, szName, old.flash_base, old.size, old.data_length))
            continue;
        return true;
    }
    syslog(LOG_ERR, "%s(%d): fail to restore [%s] after %d attempts", szFunc, __LINE__, szName, kAttempts);
    return false;
}

bool Overlap(uint32_t aStart, uint32_t aSize, uint32_t bStart, uint32_t bSize)
{
    return aStart < uint64_t{bStart} + bSize && bStart < uint64_t{aStart} + aSize;
}

// The rows to roll back: those the patch changed, and those whose old
// region a changed row now covers (a grown row overwrites its neighbour).
int RowsToRestore(const VAKOFISENTRY *pList, int count, int *pIdx, bool *pRestore)
{
    int n = 0;
    for (int r = 0; r < gPartitionCount; ++r) {
        pRestore[r] = gTouched[r];
        pIdx[r] = GetIdxByName(gPatchInfo[r].part, pList, count);
        for (int t = 0; t < gPartitionCount && !pRestore[r] && pIdx[r] >= 0; ++t)
            pRestore[r] = gTouched[t] && Overlap(pList[pIdx[r]].flash_base, pList[pIdx[r]].size, gPatchInfo[t].start,
                                                 gPatchInfo[t].size);
        n += pRestore[r] ? 1 : 0;
    }
    return n;
}

// The directory as the backup holds it: the entries of its dump.
bool ReadOldDirectory(std::vector<VAKOFISENTRY> &list)
{
    char szPath[UPDT_PATH_ROOM];
    slib::Fd fd(UPDTBackupPath(kDirectory, szPath, sizeof(szPath)) < 0 ? -1 : open(szPath, O_RDONLY | O_CLOEXEC));
    unsigned char raw[VAKO_FIS_ENTRY_SIZE];
    while (fd.ok() && read(fd.get(), raw, sizeof(raw)) == static_cast<ssize_t>(sizeof(raw))) {
        if (raw[0] == 0xFF)
            return !list.empty();
        VAKOFISENTRY entry;
        VAKOFISEntryDecode(raw, &entry);
        list.push_back(entry);
    }
    syslog(LOG_ERR, "%s(%d): the dump of the directory cannot be read", "UPDTRecoverFromBackup", __LINE__);
    return false;
}

} // namespace

extern "C" {

int UPDTDoPatch(const VAKOFISENTRY *pList, int count)
{
    std::fill(std::begin(gTouched), std::end(gTouched), false);
    if (!pList || count <= 0) {
        syslog(LOG_ERR, "%s(%d): parameter error ", __func__, __LINE__);
        return -1;
    }
    if (HasNegativeBalance(gPatchInfo, gPartitionCount) == 1) {
        syslog(LOG_ERR, "%s(%d): NEED RESIZE THE PARTITION", __func__, __LINE__);
        if (ErrUPDTAdjustPartitionSize(gPatchInfo, gPartitionCount) < 0 ||
            UPDTCheckResizedLayout(gPatchInfo, gPartitionCount, pList, count) < 0) {
            syslog(LOG_ERR, "%s(%d): fail to resize", __func__, __LINE__);
            return -1;
        }
    }
    if (!ImagesReadable())
        return -1;

    for (int r = 0; r < gPartitionCount; ++r) {
        if (gPatchInfo[r].fneedupdate == 1)
            gullProgressTotal += static_cast<uint64_t>(static_cast<int32_t>(gPatchInfo[r].datalen));
    }
    gullProgressTotal *= 2;

    for (int r = 0; r < gPartitionCount; ++r) {
        const PATCHINFO &row = gPatchInfo[r];
        if (!row.fneedupdate) {
            syslog(LOG_ERR, "%s: skip updating [%s]", __func__, row.part);
            continue;
        }
        gTouched[r] = true;
        const char *szDev = SetRegion(__func__, row.part, row.start, row.size);
        if (!szDev || !WritePartition(r, szDev))
            return -1;
        if (!SetFISEntry(__func__, row.part, row.start, row.size, row.datalen))
            return -1;
        syslog(LOG_ERR, "%s: Finish updating [%s]", __func__, row.part);
    }
    return 0;
}

int UPDTRollBack(const VAKOFISENTRY *pList, int count)
{
    if (!pList || count <= 0) {
        syslog(LOG_ERR, "%s(%d): parameter error ", __func__, __LINE__);
        return -1;
    }
    int idx[UPDT_MAX_PARTITIONS];
    bool restore[UPDT_MAX_PARTITIONS];
    if (RowsToRestore(pList, count, idx, restore) == 0) {
        syslog(LOG_ERR, "%s(%d): the patch changed no partition: nothing to roll back", __func__, __LINE__);
        return 0;
    }
    // Every row is tried: one that cannot be restored stops no other.
    int result = 0;
    for (int r = 0; r < gPartitionCount; ++r) {
        const PATCHINFO &row = gPatchInfo[r];
        if (!restore[r]) {
            syslog(LOG_ERR, "%s: skip recoverying [%s]", __func__, row.part);
            continue;
        }
        if (idx[r] < 0) {
            syslog(LOG_ERR, "%s(%d): get idx of partition %d [%s] fail", __func__, __LINE__, r, row.part);
            result = -1;
        } else if (!RestorePartition(__func__, pList[idx[r]], Restore::kRollBack)) {
            result = -1;
        }
    }
    return result;
}

int UPDTRecoverFromBackup(void)
{
    std::vector<VAKOFISENTRY> list;
    if (!ReadOldDirectory(list))
        return -1;
    int dir = GetIdxByName(kDirectory, list.data(), static_cast<int>(list.size()));
    if (dir < 0)
        return -1;
    // The directory first: it holds every old entry, so none is set apart.
    int result = RestorePartition(__func__, list[dir], Restore::kRecover) ? 0 : -1;
    for (size_t i = 0; i < list.size(); ++i) {
        if (static_cast<int>(i) != dir && !RestorePartition(__func__, list[i], Restore::kRecover))
            result = -1;
    }
    return result;
}

} // extern "C"
