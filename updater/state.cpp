// The updater's process-wide state, its result words, and the move of the
// disk archive that both flash roads end with.
#include <stdio.h>
#include <syslog.h>
#include <unistd.h>

#include "updater.h"

extern "C" {

char gszVolume[UPDT_VOLUME_ROOM];
char gszUpdateDir[UPDT_UPDATE_DIR_ROOM];
int gfGroupUpdate;
int gfJunior;
int gfNoInitrd;
int gfMtdBufSyscall = 1;

const char *SzUPDTResultWord(int result)
{
    switch (result) {
    case 0:
        return "upgrade_success";
    case 1:
    case 2:
    case 3:
        return "error_dirop";
    case 4:
    case 5:
        return "error_bootmediaop";
    case 6:
        return "error_read_ver";
    case 7:
        return "error_read_patch_ver";
    case 8:
        return "error_read_mod";
    case 9:
        return "error_read_patch_mod";
    case 10:
        return "error_version";
    case 11:
        return "error_model";
    case 12:
        return "error_company";
    case 13:
        return "error_patch";
    case 14:
    case 15:
    case 16:
    case 17:
    case 18:
    case 19:
    case 20:
    case 21:
    case 22:
        return "error_update_unknown";
    case 23:
        return "error_memory";
    case 24:
        return "error_reboot";
    default:
        return nullptr;
    }
}

void UPDTMoveArchive(const char *szFunc)
{
    char szSrc[UPDT_PATH_ROOM], szDst[UPDT_PATH_ROOM];
    snprintf(szSrc, sizeof(szSrc), "%s/%s", gszUpdateDir, UPDT_ARCHIVE);
    if (access(szSrc, F_OK) != 0)
        return;
    snprintf(szDst, sizeof(szDst), "%s/%s", gszVolume, UPDT_ARCHIVE_TARGET);
    char szQSrc[UPDT_QUOTED_ROOM], szQDst[UPDT_QUOTED_ROOM], szCmd[UPDT_CMD_ROOM];
    if (UPDTShellQuote(szSrc, szQSrc, sizeof(szQSrc)) >= 0 && UPDTShellQuote(szDst, szQDst, sizeof(szQDst)) >= 0 &&
        UPDTFormatCommand(szCmd, sizeof(szCmd), UPDT_BIN_MV " -f %s %s", szQSrc, szQDst) >= 0 &&
        UPDTExecute(szCmd) == 0)
        return;
    syslog(LOG_ERR, "%s(%d): mv %s to %s/%s fail.", szFunc, __LINE__, UPDT_ARCHIVE, gszVolume, UPDT_ARCHIVE_TARGET);
    // The archive is still in the package: what lies at the target (the
    // part a full volume let the move copy, or an older archive) is not it,
    // and the new system must not unpack it.
    if (access(szSrc, F_OK) == 0 && unlink(szDst) == 0)
        syslog(LOG_ERR, "%s(%d): removed the partial %s", szFunc, __LINE__, szDst);
}

} // extern "C"
