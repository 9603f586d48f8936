// updater [-h][-g][-v vol]: the road of one update, from the command line to
// the result code.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <syslog.h>
#include <unistd.h>

#include "slib/conf_read.h"
#include "slib/conf_write.h"
#include "slib/proc.h"
#include "updater.h"
#include "vako/flash.h"
#include "vako/info.h"
#include "vako/kernel.h"
#include "vako/net.h"

namespace {

constexpr const char *kBanner = "updater: firmware update tool of the appliance";
constexpr long kMaxUptimeForOldBuilds = 300;

void SetMessage(const char *szText)
{
    SLIBFileSetKeyValue(UPDT_MESSAGE_FILE, "extramsg", szText, "%s=\"%s\"\n");
}

void LogPartitionList(const VAKOFISENTRY *pList, int count)
{
    syslog(LOG_ERR, "number of partitions = [%d]", count);
    for (int i = 0; i < count; ++i)
        syslog(LOG_ERR, "[%.*s]  0x%08lX  0x%08lX  0x%08lX\n", VAKO_FIS_NAME_SIZE, pList[i].name,
               static_cast<unsigned long>(pList[i].flash_base), static_cast<unsigned long>(pList[i].size),
               static_cast<unsigned long>(pList[i].data_length));
}

void RunPrePatchMigrations(int &result)
{
    if (gfRecoverFISDir == 1 && RecoverFISDirTable_M88_V284() < 0) {
        result = UPDT_ERR_FLASH;
        return;
    }
    if (gfLimitFTPPortRange == 1 && UpdateFTPPassivePortRange() < 0) {
        result = UPDT_ERR_MIGRATION;
        return;
    }
    if (gfUpdateRsyncdConf == 1)
        UpdateRsyncdConf();
    if (gfUpdateRsyncdSecrets == 1)
        CheckAndUpdateRsyncdSecrets();
    if (gfUpdateSmmspGroup == 1)
        CheckAndUpdateSmmspGroup();
    if (gfConvertUSBBackup == 1)
        UpdateUSBBackupToLocalBackup();
    if (gfConvertNetBackup == 1)
        UpdateNetBackupSets();
    if (gfConvertCodepage == 1)
        UpdateCodepageKeys();
}

void MarkNormalShutdown()
{
    if (access("/initrd", F_OK) == 0) {
        UPDTExecute("touch /.NormalShutdown");
        return;
    }
    UPDTExecute(VAKOConfSupportRaid() == 1 ? "mount /dev/md0 /tmpRoot" : "mount /dev/hda1 /tmpRoot");
    UPDTExecute("touch /tmpRoot/.NormalShutdown");
}

} // namespace

int main(int argc, char **argv)
{
    char stage = 'A';
    int result = 0;
    int fdStart = -1;
    VAKOFISENTRY *pList = nullptr;
    int count = 0;
    char szOldMtu[16] = "";
    bool fMtuChanged = false;
    int opt;

    // Start.
    syslog(LOG_ERR, "%s(%d): Start of the updater...", __func__, __LINE__);
    UPDTSetProgress(stage, 0);
    UPDTCheckLogSize();
    UPDTWriteLog("Start of the update...");
    snprintf(gszVolume, sizeof(gszVolume), "%s", "/volume1");

    // Options.
    while ((opt = getopt(argc, argv, "hgv:")) != -1) {
        switch (opt) {
        case 'g':
            gfGroupUpdate = 1;
            break;
        case 'v':
            if (!optarg || !*optarg) {
                syslog(LOG_ERR, "updater: invalid option for -v [mount_point]\n");
                return -1;
            }
            snprintf(gszVolume, sizeof(gszVolume), "%s", optarg);
            break;
        case 'h':
            puts(kBanner);
            puts("updater [-h][-g][-v vol]");
            puts(" -g: for group update");
            puts(" -v: specify an avaible volume for upgrade task.");
            return 0;
        default:
            if (opt == '?' && optopt == 'v') {
                syslog(LOG_ERR, "updater: invalid option for -v [mount_point]\n");
                return -1;
            }
            syslog(LOG_ERR, "updater: invalid option [%c]\n", opt);
            return -1;
        }
    }

    // Layout and package directory.
    UPDTSelectLayout(VAKOIsJunior() == 1);
    syslog(LOG_ERR, "This is %sjunior, gszDevMtdPartition=[%s]", gfJunior ? "" : "not ", gszDevMtdPartition);
    if (access("/initrd", F_OK) != 0)
        gfNoInitrd = 1;

    fdStart = open(".", O_RDONLY | O_CLOEXEC);
    if (fdStart < 0) {
        syslog(LOG_ERR, "%s(%d): fail to open current directory. errno=%d", __func__, __LINE__, errno);
        result = UPDT_ERR_OPEN_CWD;
        goto failure_log;
    }

    {
        // Started with an empty argument list: no program path to go by.
        const char *szProgram = argc > 0 && argv[0] ? argv[0] : "";
        const char *slash = strrchr(szProgram, '/');
        int n;
        if (slash)
            n = snprintf(gszUpdateDir, sizeof(gszUpdateDir), "%.*s", static_cast<int>(slash - szProgram), szProgram);
        else
            n = snprintf(gszUpdateDir, sizeof(gszUpdateDir), "%s/upd@te", gszVolume);
        if (n < 0 || n >= static_cast<int>(sizeof(gszUpdateDir))) {
            // A cut name could be another directory: refuse it.
            syslog(LOG_ERR, "%s(%d): package directory longer than %d characters", __func__, __LINE__,
                   static_cast<int>(sizeof(gszUpdateDir)) - 1);
            gszUpdateDir[0] = '\0';
            result = UPDT_ERR_CHDIR;
            goto exit_tail;
        }
    }
    if (chdir(gszUpdateDir) != 0) {
        syslog(LOG_ERR, "%s(%d): fail to chdir, errno = %d", __func__, __LINE__, errno);
        result = UPDT_ERR_CHDIR;
        goto exit_tail;
    }
    if (!getcwd(gszUpdateDir, sizeof(gszUpdateDir))) {
        syslog(LOG_ERR, "%s(%d): fail to chdir, errno = %d", __func__, __LINE__, errno);
        gszUpdateDir[0] = '\0';
        result = UPDT_ERR_CHDIR;
        goto exit_tail;
    }
    UPDTSetProgress(stage, 10);

    // Analysis and preconditions.
    if (!gfGroupUpdate) {
        result = ErrUPDTIAnalyze_WholeSystem();
        if (result != 0) {
            syslog(LOG_ERR, "%s(%d): fail to analyze, error = %d", __func__, __LINE__, result);
            goto exit_tail;
        }
        UPDTSetProgress(stage, 100);
    }

    if (gfMtdBufSyscall == 0) {
        if (!gfJunior && !gfNoInitrd) {
            struct sysinfo si;
            if (sysinfo(&si) != 0 || si.uptime > kMaxUptimeForOldBuilds) {
                SetMessage("To perform upgrade task, you have to REBOOT your Harbox first.");
                result = UPDT_ERR_REBOOT;
                goto exit_tail;
            }
        }
    } else {
        char szSupport[8];
        if (SLIBFileGetKeyValue("/etc.defaults/vakoinfo.conf", "supportMTU", szSupport, sizeof(szSupport), 0) > 0 &&
            !strcasecmp(szSupport, "yes") &&
            SLIBFileGetKeyValue("/etc/vakoinfo.conf", "eth0_mtu", szOldMtu, sizeof(szOldMtu), 0) > 0 &&
            strcmp(szOldMtu, "1500") != 0 && VAKONetSetMTUValue("1500", "eth0") == 0)
            fMtuChanged = true;
        if (VAKOKernelCallMtdBuffer(1) != 0) {
            int err = errno;
            syslog(LOG_ERR, "%s(%d): fail to malloc mtd driver buffer, error = %d", __func__, __LINE__, err);
            if (err != ENOSYS) {
                SetMessage("Please reboot the system and upgrade immediately.");
                result = UPDT_ERR_MEMORY;
                goto exit_tail;
            }
        }
    }

    if (VAKOKernelMSysFlagGet() == 1) {
        result = UPDTMSysUpdate(&stage);
        goto exit_tail;
    }

    // The normal road.
    RunPrePatchMigrations(result);
    if (result != 0)
        goto exit_tail;

    stage = 'P';
    UPDTSetProgress(stage, 0);
    {
        int cbList = 0;
        if (VAKOMTDGetPartitionInfo(gszDevMtdPartition, nullptr, 0, &cbList) < 0) {
            syslog(LOG_ERR, "%s(%d): fail to get partition info", __func__, __LINE__);
            result = UPDT_ERR_PART_INFO;
            goto exit_tail;
        }
        pList = static_cast<VAKOFISENTRY *>(malloc(cbList > 0 ? cbList : 1));
        if (!pList) {
            syslog(LOG_ERR, "%s(%d): malloc fail, errno = %d", __func__, __LINE__, errno);
            result = UPDT_ERR_SPACE;
            goto exit_tail;
        }
        count = VAKOMTDGetPartitionInfo(gszDevMtdPartition, pList, cbList, &cbList);
        if (count < 0) {
            syslog(LOG_ERR, "%s(%d): fail to get partition info", __func__, __LINE__);
            result = UPDT_ERR_PART_INFO;
            goto exit_tail;
        }
    }
    LogPartitionList(pList, count);

    UPDTSetProgress(stage, 10);
    if (UPDTInitPatchInfo(pList, count) < 0) {
        syslog(LOG_ERR, "%s(%d): fail to initialize patch info ", __func__, __LINE__);
        result = UPDT_ERR_PATCH_INFO;
        goto exit_tail;
    }

    UPDTSetProgress(stage, 20);
    if (!gfGroupUpdate && UPDTBackupOldPartition(pList, count) < 0) {
        syslog(LOG_ERR, "%s(%d): fail to backup old patch info ", __func__, __LINE__);
        result = UPDT_ERR_BACKUP;
        goto exit_tail;
    }

    UPDTSetProgress(stage, 60);
    if (UPDTDoPatch(pList, count) < 0) {
        syslog(LOG_ERR, "%s(%d): fail to patch new binaries!!", __func__, __LINE__);
        result = UPDT_ERR_FLASH;
        goto rollback;
    }
    syslog(LOG_ERR, "%s(%d): Turn on the reinstall library flag...!!", __func__, __LINE__);
    UPDTSetProgress(stage, 100);
    stage = 'C';
    UPDTSetProgress(stage, 0);

    // Post-patch migrations.
    if (!gfGroupUpdate) {
        if (gfChmodPhotoEaDir)
            UPDTExecute("/usr/bin/find /var/services/photo/ -type d -name @eaDir -exec /bin/chmod -R 777 \"{}\" \\;");
        if (gPhotoDbSteps > 0 || gfDropMediaServerDb == 1 || gfDumpPgsqlDbs == 1) {
            if (SLIBProcExec("/usr/vako/etc/rc.d/S20pgsql.sh", "start", nullptr, nullptr, nullptr) < 0)
                syslog(LOG_ERR, "%s: %d: failed to start postgre database.", UPDT_SOURCE_FILE, __LINE__);
            if (UpdatePhotoDatabase() < 0) {
                result = UPDT_ERR_MIGRATION;
                goto exit_tail;
            }
        }
        if (UPDTUpdateConfig() == -1) {
            result = UPDT_ERR_CONFIG;
            goto rollback;
        }
    }

    // Finish.
    UPDTSetProgress(stage, 100);
    UPDTMoveArchive(__func__);
    MarkNormalShutdown();
    stage = 'R';
    UPDTSetProgress(stage, 0);
    syslog(LOG_ERR, "Congratulation!! The update has been completed!!");
    UPDTWriteLog("Congratulation!! The update has been completed!!");
    goto remove_backup;

rollback:
    if (!gfGroupUpdate) {
        if (UPDTRollBack(pList, count) < 0)
            syslog(LOG_ERR, "%s: UPDTRollBack() fail", __func__);
        syslog(LOG_ERR, "%s(%d): Turn on the reinstall library flag...!!", __func__, __LINE__);
    }

remove_backup:
    UPDTRemoveBackupDir();

exit_tail:
    if (gfMtdBufSyscall == 1 && VAKOKernelCallMtdBuffer(0) != 0)
        syslog(LOG_ERR, "%s(%d): fail to free mtd driver buffer, error = %d", __func__, __LINE__, errno);
    free(pList);
    pList = nullptr;
    if (fchdir(fdStart) != 0)
        result = UPDT_ERR_RETURN_CWD;
    close(fdStart);

failure_log:
    if (result != 0) {
        char szText[64];
        snprintf(szText, sizeof(szText), "Failed to accomplish the update! (errno = %d)", result);
        syslog(LOG_ERR, "%s", szText);
        UPDTWriteLog(szText);
    }
    if (fMtuChanged)
        VAKONetSetMTUValue(szOldMtu, "eth0");
    UPDTSetProgress(stage, -result);
    return result;
}
