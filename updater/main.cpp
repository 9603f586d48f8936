// updater [-h][-g][-v vol]: the road of one update, from the command line to
// the result code, as named steps and the one exit tail.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/sysinfo.h>
#include <syslog.h>
#include <unistd.h>

#include "flash.h"
#include "migrate.h"
#include "slib/conf_read.h"
#include "slib/proc.h"
#include "slibcxx/raii.h"
#include "vako/flash.h"
#include "vako/info.h"
#include "vako/kernel.h"
#include "vako/net.h"

namespace {

// The messages of the entry name `main`, whichever step writes them.
constexpr const char *kMain = "main";
constexpr const char *kBanner = "updater: firmware update tool of the appliance";
constexpr const char *kCompleted = "Congratulation!! The update has been completed!!";
constexpr long kMaxUptimeForOldBuilds = 300;

// What the entry keeps for the whole run.
struct Run {
    char stage = 'A';
    int result = UPDT_SUCCESS;
    slib::Fd start{-1};               // the starting directory
    slib::HeapPtr<VAKOFISENTRY> list; // the partition list of the normal road
    int count = 0;
    char szOldMtu[16] = ""; // eth0_mtu before the update
    bool fMtuChanged = false;
    bool fMtdBufHeld = false; // the kernel gave this run its flash driver buffer
};

void LogPartitionList(const VAKOFISENTRY *pList, int count)
{
    syslog(LOG_ERR, "number of partitions = [%d]", count);
    for (int i = 0; i < count; ++i)
        syslog(LOG_ERR, "[%.*s]  0x%08lX  0x%08lX  0x%08lX\n", VAKO_FIS_NAME_SIZE, pList[i].name,
               static_cast<unsigned long>(pList[i].flash_base), static_cast<unsigned long>(pList[i].size),
               static_cast<unsigned long>(pList[i].data_length));
}

void Start(const Run &run)
{
    syslog(LOG_ERR, "%s(%d): Start of the updater...", kMain, __LINE__);
    UPDTSetProgress(run.stage, 0);
    UPDTCheckLogSize();
    UPDTWriteLog("Start of the update...");
    snprintf(gszVolume, sizeof(gszVolume), "%s", UPDT_VOLUME);
}

enum class Options { kGoOn, kHelp, kBad };

Options ParseOptions(int argc, char **argv)
{
    int opt;
    while ((opt = getopt(argc, argv, "hgv:")) != -1) {
        switch (opt) {
        case 'g':
            gfGroupUpdate = 1;
            break;
        case 'v':
            if (!optarg || !*optarg) {
                syslog(LOG_ERR, "updater: invalid option for -v [mount_point]\n");
                return Options::kBad;
            }
            // A cut volume would be another path: the archive, the saved
            // configuration and the dumps would go there.
            if (strlen(optarg) >= sizeof(gszVolume)) {
                syslog(LOG_ERR, "updater: invalid option for -v [mount_point]: longer than %d characters\n",
                       static_cast<int>(sizeof(gszVolume)) - 1);
                return Options::kBad;
            }
            snprintf(gszVolume, sizeof(gszVolume), "%s", optarg);
            break;
        case 'h':
            puts(kBanner);
            puts("updater [-h][-g][-v vol]");
            puts(" -g: for group update");
            puts(" -v: specify an avaible volume for upgrade task.");
            return Options::kHelp;
        default:
            if (opt == '?' && optopt == 'v') {
                syslog(LOG_ERR, "updater: invalid option for -v [mount_point]\n");
                return Options::kBad;
            }
            syslog(LOG_ERR, "updater: invalid option [%c]\n", opt);
            return Options::kBad;
        }
    }
    return Options::kGoOn;
}

void SelectLayout()
{
    UPDTSelectLayout(VAKOIsJunior() == 1);
    syslog(LOG_ERR, "This is %sjunior, gszDevMtdPartition=[%s]", gfJunior ? "" : "not ", gszDevMtdPartition);
    if (access(UPDT_INITRD, F_OK) != 0)
        gfNoInitrd = 1;
}

// The package directory is the program's own: its path cut at the last
// '/', or the volume's update directory.  0 or result 3.
int EnterPackageDirectory(const char *szProgram)
{
    const char *slash = strrchr(szProgram, '/');
    int n = slash ? snprintf(gszUpdateDir, sizeof(gszUpdateDir), "%.*s", static_cast<int>(slash - szProgram), szProgram)
                  : snprintf(gszUpdateDir, sizeof(gszUpdateDir), "%s/%s", gszVolume, UPDT_PACKAGE_DIR);
    if (n < 0 || n >= static_cast<int>(sizeof(gszUpdateDir))) {
        // A cut name could be another directory: refuse it.
        syslog(LOG_ERR, "%s(%d): package directory longer than %d characters", kMain, __LINE__,
               static_cast<int>(sizeof(gszUpdateDir)) - 1);
        gszUpdateDir[0] = '\0';
        return UPDT_ERR_CHDIR;
    }
    if (chdir(gszUpdateDir) != 0) {
        syslog(LOG_ERR, "%s(%d): fail to chdir, errno = %d", kMain, __LINE__, errno);
        return UPDT_ERR_CHDIR;
    }
    if (!getcwd(gszUpdateDir, sizeof(gszUpdateDir))) {
        syslog(LOG_ERR, "%s(%d): fail to chdir, errno = %d", kMain, __LINE__, errno);
        gszUpdateDir[0] = '\0';
        return UPDT_ERR_CHDIR;
    }
    return UPDT_SUCCESS;
}

// Unless -g: may this package be installed here?  0 or its result code.
int Analyze(const Run &run)
{
    if (gfGroupUpdate)
        return UPDT_SUCCESS;
    int result = ErrUPDTIAnalyze_WholeSystem();
    if (result != 0) {
        syslog(LOG_ERR, "%s(%d): fail to analyze, error = %d", kMain, __LINE__, result);
        return result;
    }
    UPDTSetProgress(run.stage, 100);
    return UPDT_SUCCESS;
}

// Old builds need a fresh boot; newer ones an MTU the flash update can live
// with and the kernel's flash driver buffer.  0 or result 24 or 23.
int PrepareKernel(Run &run)
{
    if (gfMtdBufSyscall == 0) {
        if (!gfJunior && !gfNoInitrd) {
            struct sysinfo si;
            if (sysinfo(&si) != 0 || si.uptime > kMaxUptimeForOldBuilds) {
                UPDTWriteMessage("To perform upgrade task, you have to REBOOT your Harbox first.");
                return UPDT_ERR_REBOOT;
            }
        }
        return UPDT_SUCCESS;
    }
    char szSupport[8];
    if (SLIBFileGetKeyValue(SZF_VAKO_INFO_DEFAULTS, "supportMTU", szSupport, sizeof(szSupport), 0) > 0 &&
        !strcasecmp(szSupport, "yes") &&
        SLIBFileGetKeyValue(SZF_VAKO_INFO, "eth0_mtu", run.szOldMtu, sizeof(run.szOldMtu), 0) > 0 &&
        strcmp(run.szOldMtu, "1500") != 0 && VAKONetSetMTUValue("1500", "eth0") == 0)
        run.fMtuChanged = true;
    if (VAKOKernelCallMtdBuffer(1) == 0) {
        run.fMtdBufHeld = true;
    } else {
        int err = errno;
        syslog(LOG_ERR, "%s(%d): fail to malloc mtd driver buffer, error = %d", kMain, __LINE__, err);
        if (err != ENOSYS) {
            UPDTWriteMessage("Please reboot the system and upgrade immediately.");
            return UPDT_ERR_MEMORY;
        }
    }
    return UPDT_SUCCESS;
}

// The partition list of the FIS directory, into run.list: 0 or result 18 or 16.
int ReadPartitionList(Run &run)
{
    int cbList = 0;
    if (VAKOMTDGetPartitionInfo(gszDevMtdPartition, nullptr, 0, &cbList) < 0) {
        syslog(LOG_ERR, "%s(%d): fail to get partition info", kMain, __LINE__);
        return UPDT_ERR_PART_INFO;
    }
    run.list.reset(static_cast<VAKOFISENTRY *>(malloc(cbList > 0 ? cbList : 1)));
    if (!run.list) {
        syslog(LOG_ERR, "%s(%d): malloc fail, errno = %d", kMain, __LINE__, errno);
        return UPDT_ERR_SPACE;
    }
    run.count = VAKOMTDGetPartitionInfo(gszDevMtdPartition, run.list.get(), cbList, &cbList);
    if (run.count < 0) {
        syslog(LOG_ERR, "%s(%d): fail to get partition info", kMain, __LINE__);
        return UPDT_ERR_PART_INFO;
    }
    LogPartitionList(run.list.get(), run.count);
    return UPDT_SUCCESS;
}

// Unless -g: the photo folders' rights and the media databases, then the
// configuration update.  0, 21 (no rollback) or 17.
int PostPatchMigrations()
{
    if (gfGroupUpdate)
        return UPDT_SUCCESS;
    if (gfChmodPhotoEaDir)
        UpdatePhotoEaDirRights();
    if (gPhotoDbSteps > 0 || gfDropMediaServerDb == 1 || gfDumpPgsqlDbs == 1) {
        if (SLIBProcExec(UPDT_PGSQL_SCRIPT, "start", nullptr, nullptr, nullptr) < 0)
            syslog(LOG_ERR, "%s: %d: failed to start postgre database.", UPDT_SOURCE_FILE, __LINE__);
        if (UpdatePhotoDatabase() < 0)
            return UPDT_ERR_MIGRATION;
    }
    if (UPDTUpdateConfig() == -1)
        return UPDT_ERR_CONFIG;
    return UPDT_SUCCESS;
}

void MarkNormalShutdown()
{
    if (access(UPDT_INITRD, F_OK) == 0) {
        UPDTExecute("touch /" UPDT_SHUTDOWN_MARK);
        return;
    }
    UPDTExecute(VAKOConfSupportRaid() == 1 ? "mount " UPDT_SYSTEM_ARRAY " " UPDT_TMP_ROOT
                                           : "mount " UPDT_SYSTEM_DISK "1 " UPDT_TMP_ROOT);
    UPDTExecute("touch " UPDT_TMP_ROOT "/" UPDT_SHUTDOWN_MARK);
}

// A failed patch or configuration update: the flash goes back to the backup
// (never with -g).  The backup goes only with a flash known good again.
void RollBack(const Run &run)
{
    if (gfGroupUpdate) {
        UPDTRemoveBackupDir();
        return;
    }
    bool fRestored = UPDTRollBack(run.list.get(), run.count) == 0;
    if (!fRestored)
        syslog(LOG_ERR, "%s: UPDTRollBack() fail", kMain);
    syslog(LOG_ERR, "%s(%d): Turn on the reinstall library flag...!!", kMain, __LINE__);
    if (fRestored)
        UPDTRemoveBackupDir();
    else
        UPDTKeepBackup(kMain);
}

// An update ended while it changed the flash left its backup marked: the
// flash goes back to it before this update trusts anything the flash says.
// 0, or 20 (the backup stays).
int RecoverInterruptedPatch(Run &run, bool fSecondRoad)
{
    int marked = UPDTCheckBackupMark(fSecondRoad);
    if (marked == 0)
        return UPDT_SUCCESS;
    if (marked > 0) {
        syslog(LOG_ERR, "%s(%d): an interrupted update left its backup: restoring the flash from it", kMain, __LINE__);
        if ((fSecondRoad ? UPDTMSysRecoverFromBackup() : UPDTRecoverFromBackup()) == 0) {
            syslog(LOG_ERR, "%s(%d): the flash is restored from the backup of the interrupted update", kMain, __LINE__);
            UPDTRemoveBackupMark();
            UPDTForgetKeptBackup();
            return UPDT_SUCCESS;
        }
    }
    run.stage = 'P';
    UPDTKeepBackup(kMain);
    return UPDT_ERR_FLASH;
}

// The normal road: pre-patch migrations, partition list, patch table,
// backup, patch, post-patch migrations, finish.  Its result code.
int NormalRoad(Run &run)
{
    if (int result = UPDTRunPrePatchMigrations())
        return result;

    run.stage = 'P';
    UPDTSetProgress(run.stage, 0);
    if (int result = ReadPartitionList(run))
        return result;
    UPDTSetProgress(run.stage, 10);
    if (UPDTInitPatchInfo(run.list.get(), run.count) < 0) {
        syslog(LOG_ERR, "%s(%d): fail to initialize patch info ", kMain, __LINE__);
        return UPDT_ERR_PATCH_INFO;
    }
    UPDTSetProgress(run.stage, 20);
    if (!gfGroupUpdate &&
        (UPDTBackupOldPartition(run.list.get(), run.count) < 0 || UPDTMarkBackup(run.list.get(), run.count, 0) < 0)) {
        syslog(LOG_ERR, "%s(%d): fail to backup old patch info ", kMain, __LINE__);
        return UPDT_ERR_BACKUP;
    }

    UPDTSetProgress(run.stage, 60);
    if (UPDTDoPatch(run.list.get(), run.count) < 0) {
        syslog(LOG_ERR, "%s(%d): fail to patch new binaries!!", kMain, __LINE__);
        RollBack(run);
        return UPDT_ERR_FLASH;
    }
    syslog(LOG_ERR, "%s(%d): Turn on the reinstall library flag...!!", kMain, __LINE__);
    UPDTSetProgress(run.stage, 100);
    run.stage = 'C';
    UPDTSetProgress(run.stage, 0);

    switch (int result = PostPatchMigrations()) {
    case UPDT_SUCCESS:
        break;
    case UPDT_ERR_CONFIG:
        RollBack(run);
        return result;
    default:
        // The new flash is written and verified: known good, but the backup stays.
        UPDTRemoveBackupMark();
        return result;
    }

    UPDTSetProgress(run.stage, 100);
    UPDTMoveArchive(kMain);
    MarkNormalShutdown();
    run.stage = 'R';
    UPDTSetProgress(run.stage, 0);
    syslog(LOG_ERR, "%s", kCompleted);
    UPDTWriteLog(kCompleted);
    UPDTRemoveBackupDir();
    return UPDT_SUCCESS;
}

// The exit tail, from the moment the starting directory is open: the kernel
// buffer goes (only when this run was given it), the partition list is
// freed, the starting directory comes back.
void ReleaseAndReturn(Run &run)
{
    if (run.fMtdBufHeld && VAKOKernelCallMtdBuffer(0) != 0)
        syslog(LOG_ERR, "%s(%d): fail to free mtd driver buffer, error = %d", kMain, __LINE__, errno);
    run.list.reset();
    if (fchdir(run.start.get()) != 0)
        run.result = UPDT_ERR_RETURN_CWD;
    run.start.reset();
}

// The end of every run that got past the options: the failure line, the old
// MTU, the final progress.
int Report(const Run &run)
{
    if (run.result != 0) {
        char szText[64];
        snprintf(szText, sizeof(szText), "Failed to accomplish the update! (errno = %d)", run.result);
        syslog(LOG_ERR, "%s", szText);
        UPDTWriteLog(szText);
    }
    if (run.fMtuChanged)
        VAKONetSetMTUValue(run.szOldMtu, "eth0");
    UPDTSetProgress(run.stage, -run.result);
    return run.result;
}

} // namespace

int main(int argc, char **argv)
{
    Run run;
    Start(run);
    switch (ParseOptions(argc, argv)) {
    case Options::kGoOn:
        break;
    case Options::kHelp:
        return UPDT_SUCCESS;
    case Options::kBad:
        return -1;
    }
    SelectLayout();

    run.start.reset(open(".", O_RDONLY | O_CLOEXEC));
    if (run.start.get() < 0) {
        syslog(LOG_ERR, "%s(%d): fail to open current directory. errno=%d", kMain, __LINE__, errno);
        run.result = UPDT_ERR_OPEN_CWD;
        return Report(run);
    }

    // Started with an empty argument list: no program path to go by.
    run.result = EnterPackageDirectory(argc > 0 && argv[0] ? argv[0] : "");
    if (run.result == UPDT_SUCCESS) {
        UPDTSetProgress(run.stage, 10);
        run.result = Analyze(run);
    }
    if (run.result == UPDT_SUCCESS)
        run.result = PrepareKernel(run);
    if (run.result == UPDT_SUCCESS) {
        const bool fSecondRoad = VAKOKernelMSysFlagGet() == 1;
        run.result = RecoverInterruptedPatch(run, fSecondRoad);
        if (run.result == UPDT_SUCCESS)
            run.result = fSecondRoad ? UPDTMSysUpdate(&run.stage) : NormalRoad(run);
    }

    ReleaseAndReturn(run);
    return Report(run);
}
