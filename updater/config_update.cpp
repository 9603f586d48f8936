// The configuration update: brings the configuration of the installed build
// up to what the new build expects, once the new images are in the flash.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <initializer_list>

#include "updater.h"

namespace {

// The messages of this area name the program, not the source file.
constexpr const char *kSource = "updater";
constexpr const char *kFunc = "UPDTUpdateConfig";
constexpr int kCmdRoom = 1024;

constexpr const char *kCrontab = "/etc/crontab";
constexpr const char *kCrontabTmp = "/tmp/crontab_tmp";
constexpr const char *kCrontabMove = "mv -f /tmp/crontab_tmp /etc/crontab";

// Removes an obsolete file; one that is already gone counts as removed.
// `szWhat` names the file in the message; NULL gives the "update" wording.
bool RemoveObsolete(int line, const char *szPath, const char *szWhat = nullptr)
{
    if (unlink(szPath) == 0 || errno == ENOENT)
        return true;
    int err = errno;
    if (szWhat)
        syslog(LOG_ERR, "%s:%d(%s) Failed to remove %s, errno=(%d)[%s]", kSource, line, kFunc, szWhat, err,
               strerror(err));
    else
        syslog(LOG_ERR, "%s:%d(%s) Failed to update [%s], errno=(%d)[%s]", kSource, line, kFunc, szPath, err,
               strerror(err));
    return false;
}

// Step 7: the old writeable layout goes, its configuration and logs are kept
// on the volume.  Every sub-step runs whatever the one before gave.
bool SaveOldWriteableLayout()
{
    bool ok = RemoveObsolete(__LINE__, "/etc/rc", "/etc/rc");
    ok = RemoveObsolete(__LINE__, "/etc/fstab", "/etc/fstab") && ok;

    char szPath[UPDT_VOLUME_ROOM + 16];
    char szDir[kCmdRoom];
    snprintf(szPath, sizeof(szPath), "%s/s@vedconfig", gszVolume);
    bool fQuoted = UPDTShellQuote(szPath, szDir, sizeof(szDir)) >= 0;

    // The globs stay outside the quotes; only the volume is text from outside.
    for (const char *szFmt : {"/bin/mkdir -p %s", "/bin/cp -a /writeable/configs/* /writeable/logs/* %s"}) {
        char szCmd[kCmdRoom];
        if (!fQuoted || UPDTFormatCommand(szCmd, sizeof(szCmd), szFmt, szDir) < 0) {
            ok = false;
            continue;
        }
        errno = 0;
        int ret = system(szCmd);
        if (ret != 0) {
            int err = errno;
            syslog(LOG_ERR, "%s:%d(%s) Failed to execute szCmd=[%s], errno=(%d)[%s]", kSource, __LINE__, kFunc,
                   szCmd, err, strerror(err));
            ok = false;
        }
    }
    return ok;
}

enum class CrontabFilter { kDone, kFilterFailed, kMoveFailed };

// Runs `szGrep` (a grep -v of the crontab into the temporary file) and moves
// the result over the crontab.  grep exits with 2 when the crontab is missing
// or unreadable or /tmp is full: its output is then no crontab and must not
// replace it.  The new file keeps the crontab's owner and mode.
CrontabFilter FilterCrontab(const char *szGrep)
{
    // Root writes here through the shell: make the target a fresh file of
    // ours, never a link planted in the world-writable /tmp.
    unlink(kCrontabTmp);
    int fd = open(kCrontabTmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return CrontabFilter::kFilterFailed;
    close(fd);

    int ret = system(szGrep);
    if (ret == -1 || !WIFEXITED(ret) || WEXITSTATUS(ret) > 1) {
        unlink(kCrontabTmp);
        return CrontabFilter::kFilterFailed;
    }

    struct stat stCron, stTmp;
    bool fKept = false;
    fd = open(kCrontabTmp, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        fKept = stat(kCrontab, &stCron) == 0 && fstat(fd, &stTmp) == 0 && S_ISREG(stTmp.st_mode) &&
                fchown(fd, stCron.st_uid, stCron.st_gid) == 0 && fchmod(fd, stCron.st_mode & 07777) == 0;
        close(fd);
    }
    if (!fKept || system(kCrontabMove) != 0) {
        unlink(kCrontabTmp);
        return CrontabFilter::kMoveFailed;
    }
    return CrontabFilter::kDone;
}

// Step 8: failures are only logged.
void CleanCrontabAndPhp()
{
    RemoveObsolete(__LINE__, "/usr/vako/etc/php.ini", "/usr/vako/etc/php.ini");

    if (FilterCrontab("grep -v 'vacuumdb' /etc/crontab > /tmp/crontab_tmp") != CrontabFilter::kDone)
        syslog(LOG_ERR, "%s(%d) Failed to remove vacuumdb from crontab.", kSource, __LINE__);

    switch (FilterCrontab("grep -v '/bin/rm -f /var/log/\\*.html' /etc/crontab > /tmp/crontab_tmp")) {
    case CrontabFilter::kDone:
        break;
    case CrontabFilter::kFilterFailed:
        syslog(LOG_ERR, "%s(%d) Failed to remove \"rm -f /var/log/\\*.html\" from crontab.", kSource, __LINE__);
        break;
    case CrontabFilter::kMoveFailed:
        syslog(LOG_ERR, "%s(%d) Failed to remove \"rm -f /var/log/*.html\" from crontab.", kSource, __LINE__);
        break;
    }
}

// Takes the "others" permission bits off the files that hold password hashes.
void RestrictSecretFiles()
{
    for (const char *szPath : {"/usr/vako/etc/private/smbpasswd", "/etc/shadow"}) {
        struct stat st;
        if (stat(szPath, &st) == 0)
            (void)chmod(szPath, st.st_mode & 07777 & ~07);
    }
}

} // namespace

extern "C" int UPDTUpdateConfig(void)
{
    int result = 0;
    auto mustSucceed = [&result](bool ok) {
        if (!ok)
            result = -1;
    };

    // Steps 1 to 7: a failure fails the update.
    if (gfRemoveRcAtalk)
        mustSucceed(RemoveObsolete(__LINE__, "/usr/vako/etc/rc.atalk"));
    if (gfRemovePapdConf)
        mustSucceed(RemoveObsolete(__LINE__, "/usr/vako/etc/papd.conf"));
    if (gfAddFTPAccounts)
        mustSucceed(UPDTAddFTPAccounts() >= 0);
    if (gfRemoveProfile)
        mustSucceed(RemoveObsolete(__LINE__, "/etc/profile", "/etc/profile"));
    if (gfRemoveJumboFrameScript)
        mustSucceed(RemoveObsolete(__LINE__, "/usr/vako/etc/rc.d/S78JumboFrame.sh", "/usr/vako/etc/rc.d"));
    mustSucceed(RemoveObsolete(__LINE__, "/usr/vako/etc/manutil.conf"));
    if (gfOldWriteableLayout)
        mustSucceed(SaveOldWriteableLayout());

    // Steps 8 to 20: failures are logged by the steps and change nothing here.
    CleanCrontabAndPhp();
    if (gfLowerMTUValue)
        UPDTLowerMTUValue();
    if (gfMoveMTUValue)
        UPDTMoveMTUValue();
    if (gfRewritePasswdHomes)
        UPDTRewritePasswdHomes();
    if (gfCreateUserConf)
        UPDTCreateUserConf();
    if (gfAddMailUsers)
        UPDTAddMailUsers();
    if (gfCopyBond0MTU)
        UPDTCopyBond0MTU();
    if (gfConvertFTPWriteOnly && ConvertFTPWriteOnlyFlag() != 0)
        syslog(LOG_ERR, "%s (%d) Failed to convert FTP write only flag", kSource, __LINE__);
    if (gfRemoveALB)
        UPDTRemoveALB();
    if (gfConvertFTPBlockIP && AutoBlockConvertFTPBlockIP() < 0)
        syslog(LOG_ERR, "%s:%d AutoBlockConvertFTPBlockIP() failed!!", kSource, __LINE__);
    if (gfLinkSqueezeCenterErrmsg)
        UPDTLinkSqueezeCenterErrmsg();
    if (gfRemoveEventTest)
        UPDTRemoveEventTest();
    if (gfRestrictSecretFiles)
        RestrictSecretFiles();

    return result;
}
