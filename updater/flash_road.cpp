// Flash patch and rollback on the normal road.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "flash.h"
#include "slibcxx/raii.h"

namespace {

constexpr int kAttempts = 3;
constexpr int kCopyBlock = 16384;
constexpr int kVerifyBlock = 8192;

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
        char szPath[2 * UPDT_UPDATE_DIR_ROOM];
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
    char szPath[2 * UPDT_UPDATE_DIR_ROOM];
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

} // namespace

extern "C" {

int UPDTDoPatch(const VAKOFISENTRY *pList, int count)
{
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
    for (int r = 0; r < gPartitionCount; ++r) {
        const PATCHINFO &row = gPatchInfo[r];
        if (!row.fneedupdate) {
            syslog(LOG_ERR, "%s: skip recoverying [%s]", __func__, row.part);
            continue;
        }
        int idx = GetIdxByName(row.part, pList, count);
        if (idx < 0) {
            syslog(LOG_ERR, "%s(%d): get idx of partition %d [%s] fail", __func__, __LINE__, r, row.part);
            return -1;
        }
        const VAKOFISENTRY &old = pList[idx];
        const char *szDev = SetRegion(__func__, row.part, old.flash_base, old.size);
        if (!szDev)
            return -1;
        if (VAKOMTDUnlockPartition(szDev) < 0) {
            syslog(LOG_ERR, "%s: unlock [%s] fail", __func__, szDev);
            return -1;
        }
        syslog(LOG_ERR, "%s:%d(%s) VAKOMTDErasePartition(%s)...", UPDT_SOURCE_FILE, __LINE__, __func__, szDev);
        if (VAKOMTDErasePartition(szDev) < 0) {
            syslog(LOG_ERR, "%s: VAKOMTDErasePartition() fail", __func__);
            return -1;
        }
        char szName[VAKO_FIS_NAME_SIZE + 1];
        VAKOFISEntryGetName(&old, szName);
        char szDump[UPDT_QUOTED_ROOM], szQuotedDev[UPDT_QUOTED_ROOM], szCmd[UPDT_CMD_ROOM];
        if (UPDTQuoteBackupPath(szName, szDump, sizeof(szDump)) < 0 ||
            UPDTShellQuote(szDev, szQuotedDev, sizeof(szQuotedDev)) < 0 ||
            UPDTFormatCommand(szCmd, sizeof(szCmd), UPDT_BIN_DD " if=%s of=%s bs=131072", szDump, szQuotedDev) < 0)
            return -1;
        syslog(LOG_ERR, "%s(%d): command=[%s]", __func__, __LINE__, szCmd);
        if (UPDTExecute(szCmd) < 0)
            return -1;
        if (!SetFISEntry(__func__, old.name, old.flash_base, old.size, old.data_length))
            return -1;
    }
    return 0;
}

} // extern "C"
