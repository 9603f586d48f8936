// The updater's process-wide state, its shell-command runner and the
// lock/unlock of all flash partitions.
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "updater.h"
#include "vako/flash.h"

extern "C" {

char gszVolume[UPDT_VOLUME_ROOM];
char gszUpdateDir[UPDT_UPDATE_DIR_ROOM];
char gszDevMtdPartition[UPDT_DEV_ROOM];
int gPartitionCount;
int gfGroupUpdate;
int gfJunior;
int gfNoInitrd;
int gfMtdBufSyscall = 1;

const char *SzUPDTResultWord(int result)
{
    switch (result) {
    case 0: return "upgrade_success";
    case 1: case 2: case 3: return "error_dirop";
    case 4: case 5: return "error_bootmediaop";
    case 6: return "error_read_ver";
    case 7: return "error_read_patch_ver";
    case 8: return "error_read_mod";
    case 9: return "error_read_patch_mod";
    case 10: return "error_version";
    case 11: return "error_model";
    case 12: return "error_company";
    case 13: return "error_patch";
    case 14: case 15: case 16: case 17: case 18: case 19: case 20: case 21: case 22:
        return "error_update_unknown";
    case 23: return "error_memory";
    case 24: return "error_reboot";
    default: return nullptr;
    }
}

void UPDTSelectLayout(int fJunior)
{
    snprintf(gszDevMtdPartition, sizeof(gszDevMtdPartition), "%s", fJunior ? "/dev/mtd5" : "/dev/mtd7");
    memcpy(gPatchInfo, fJunior ? gJuniorPatchTemplate : gNormalPatchTemplate, sizeof(gPatchInfo));
    memcpy(gDeviceTable, fJunior ? gJuniorDeviceTemplate : gNormalDeviceTemplate, sizeof(gDeviceTable));
    gPartitionCount = fJunior ? UPDT_JUNIOR_PARTITIONS : UPDT_MAX_PARTITIONS;
    gfJunior = fJunior ? 1 : 0;
}

int UPDTExecute(const char *szCmd)
{
    if (!szCmd)
        return -1;
    int ret = system(szCmd);
    if (ret == -1) {
        syslog(LOG_ERR, "%s(%d): failed to execute cmd=[%s], ret = %d", __func__, __LINE__, szCmd, ret);
        return -1;
    }
    // A dump or restore killed half way must not pass as complete.
    if (WIFSIGNALED(ret)) {
        syslog(LOG_ERR, "%s(%d): cmd=[%s] killed by signal %d", __func__, __LINE__, szCmd, WTERMSIG(ret));
        return -1;
    }
    int status = WEXITSTATUS(ret);
    if (status != 0) {
        syslog(LOG_ERR, "%s(%d): failed to execute cmd=[%s], ret = %d", __func__, __LINE__, szCmd, status);
        return -1;
    }
    return 0;
}

void UPDTMoveArchive(const char *szFunc)
{
    char szSrc[2 * UPDT_UPDATE_DIR_ROOM], szDst[2 * UPDT_UPDATE_DIR_ROOM];
    snprintf(szSrc, sizeof(szSrc), "%s/%s", gszUpdateDir, UPDT_ARCHIVE);
    if (access(szSrc, F_OK) != 0)
        return;
    snprintf(szDst, sizeof(szDst), "%s/%s", gszVolume, UPDT_ARCHIVE_TARGET);
    char szQSrc[UPDT_CMD_ROOM], szQDst[UPDT_CMD_ROOM], szCmd[UPDT_CMD_ROOM];
    if (UPDTShellQuote(szSrc, szQSrc, sizeof(szQSrc)) < 0 || UPDTShellQuote(szDst, szQDst, sizeof(szQDst)) < 0 ||
        UPDTFormatCommand(szCmd, sizeof(szCmd), "/bin/mv -f %s %s", szQSrc, szQDst) < 0 || UPDTExecute(szCmd) < 0)
        syslog(LOG_ERR, "%s(%d): mv %s to %s/%s fail.", szFunc, __LINE__, UPDT_ARCHIVE, gszVolume,
               UPDT_ARCHIVE_TARGET);
}

void UPDTRemoveBackupDir(void)
{
    char szQuoted[UPDT_CMD_ROOM], szCmd[UPDT_CMD_ROOM];
    if (UPDTQuoteBackupPath(nullptr, szQuoted, sizeof(szQuoted)) < 0 ||
        UPDTFormatCommand(szCmd, sizeof(szCmd), "/bin/rm -rf %s", szQuoted) < 0)
        return;
    syslog(LOG_ERR, "szCmd=[%s]", szCmd);
    UPDTExecute(szCmd);
}

int UPDTLockAll(int lock)
{
    for (const PARTITIONDEV *row = gDeviceTable; row->szDevice; ++row) {
        if (!strcasecmp(row->szPartition, "RedBoot Config") || !strcasecmp(row->szPartition, "FIS Directory"))
            continue;
        if (lock == 1) {
            if (VAKOMTDLockPartition(row->szDevice) < 0) {
                syslog(LOG_ERR, "%s: VAKOMTDLockPartition(%s) fail", __func__, row->szDevice);
                return -1;
            }
        } else if (VAKOMTDUnlockPartition(row->szDevice) < 0) {
            syslog(LOG_ERR, "%s: VAKOMTDUnlockPartition(%s) fail", __func__, row->szDevice);
            return -1;
        }
    }
    return 0;
}

int UPDTShellQuote(const char *szText, char *szOut, int cbOut)
{
    if (!szText || !szOut || cbOut <= 0)
        return -1;
    int n = 0;
    auto put = [&](char c) {
        if (n + 1 >= cbOut)
            return false;
        szOut[n++] = c;
        return true;
    };
    bool ok = put('\'');
    for (const char *p = szText; ok && *p; ++p) {
        if (*p == '\'')
            ok = put('\'') && put('\\') && put('\'') && put('\'');
        else
            ok = put(*p);
    }
    ok = ok && put('\'');
    szOut[ok ? n : 0] = '\0';
    return ok ? n : -1;
}

int UPDTFormatCommand(char *szCmd, int cbCmd, const char *szFmt, ...)
{
    va_list ap;
    va_start(ap, szFmt);
    int n = vsnprintf(szCmd, cbCmd, szFmt, ap);
    va_end(ap);
    if (n < 0 || n >= cbCmd) {
        if (cbCmd > 0)
            szCmd[0] = '\0';
        syslog(LOG_ERR, "%s(%d): command does not fit its buffer of %d bytes", __func__, __LINE__, cbCmd);
        return -1;
    }
    return n;
}

} // extern "C"
