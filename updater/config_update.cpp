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

#include "migrate.h"
#include "slibcxx/raii.h"
#include "vako/schedule.h"
#include "vako/user_db.h"

#define UPDT_CRONTAB_TMP "/tmp/crontab_tmp"

namespace {

// The messages of this area name the step's function.
constexpr const char *kFunc = "UPDTUpdateConfig";

constexpr const char *kRcAtalk = UPDT_VAKO_ETC "/rc.atalk";
constexpr const char *kPapdConf = UPDT_VAKO_ETC "/papd.conf";
constexpr const char *kProfile = "/etc/profile";
constexpr const char *kJumboFrameScript = UPDT_RC_D "/S78JumboFrame.sh";
constexpr const char *kManutilConf = UPDT_VAKO_ETC "/manutil.conf";
constexpr const char *kRc = "/etc/rc";
constexpr const char *kFstab = "/etc/fstab";
constexpr const char *kPhpIni = UPDT_VAKO_ETC "/php.ini";
constexpr const char *kSmbPasswd = SZF_SMBPASSWD;
constexpr const char *kShadow = SZF_SHADOW;
constexpr const char *kSavedConfig = "s@vedconfig";
constexpr const char *kCrontab = SZF_CRONTAB;
constexpr const char *kCrontabTmp = UPDT_CRONTAB_TMP;
constexpr const char *kCrontabMove = "mv -f " UPDT_CRONTAB_TMP " " SZF_CRONTAB;

// Removes an obsolete file; one that is already gone counts as removed.
// `szWhat` names the file in the message; NULL gives the "update" wording.
bool RemoveObsolete(int line, const char *szPath, const char *szWhat = nullptr)
{
    if (unlink(szPath) == 0 || errno == ENOENT)
        return true;
    int err = errno;
    if (szWhat)
        syslog(LOG_ERR, "%s:%d(%s) Failed to remove %s, errno=(%d)[%s]", UPDT_SOURCE_FILE, line, kFunc, szWhat, err,
               strerror(err));
    else
        syslog(LOG_ERR, "%s:%d(%s) Failed to update [%s], errno=(%d)[%s]", UPDT_SOURCE_FILE, line, kFunc, szPath, err,
               strerror(err));
    return false;
}

bool RemoveRcAtalk() { return RemoveObsolete(__LINE__, kRcAtalk); }
bool RemovePapdConf() { return RemoveObsolete(__LINE__, kPapdConf); }
bool RemoveProfile() { return RemoveObsolete(__LINE__, kProfile, kProfile); }
bool RemoveJumboFrameScript() { return RemoveObsolete(__LINE__, kJumboFrameScript, UPDT_RC_D); }
bool RemoveManutilConf() { return RemoveObsolete(__LINE__, kManutilConf); }

// Step 7: the old writeable layout goes, its configuration and logs are kept
// on the volume.  Every sub-step runs whatever the one before gave.
bool SaveOldWriteableLayout()
{
    bool ok = RemoveObsolete(__LINE__, kRc, kRc);
    ok = RemoveObsolete(__LINE__, kFstab, kFstab) && ok;

    char szPath[UPDT_VOLUME_ROOM + 16];
    char szDir[UPDT_QUOTED_ROOM];
    snprintf(szPath, sizeof(szPath), "%s/%s", gszVolume, kSavedConfig);
    bool fQuoted = UPDTShellWord(szPath, szDir, sizeof(szDir)) >= 0;

    // The globs stay outside the quotes; only the volume is text from outside.
    for (const char *szFmt :
         {UPDT_BIN_MKDIR " -p %s", UPDT_BIN_CP " -a " UPDT_WRITEABLE "/configs/* " UPDT_WRITEABLE "/logs/* %s"}) {
        char szCmd[UPDT_CMD_ROOM];
        if (!fQuoted || UPDTFormatCommand(szCmd, sizeof(szCmd), szFmt, szDir) < 0) {
            ok = false;
            continue;
        }
        errno = 0;
        int ret = system(szCmd);
        if (ret != 0) {
            int err = errno;
            syslog(LOG_ERR, "%s:%d(%s) Failed to execute szCmd=[%s], errno=(%d)[%s]", UPDT_SOURCE_FILE, __LINE__, kFunc,
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
    if (!slib::Fd(open(kCrontabTmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)).ok())
        return CrontabFilter::kFilterFailed;

    int ret = system(szGrep);
    if (ret == -1 || !WIFEXITED(ret) || WEXITSTATUS(ret) > 1) {
        unlink(kCrontabTmp);
        return CrontabFilter::kFilterFailed;
    }

    struct stat stCron, stTmp;
    slib::Fd tmp(open(kCrontabTmp, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    bool fKept = tmp.ok() && stat(kCrontab, &stCron) == 0 && fstat(tmp.get(), &stTmp) == 0 && S_ISREG(stTmp.st_mode) &&
                 fchown(tmp.get(), stCron.st_uid, stCron.st_gid) == 0 && fchmod(tmp.get(), stCron.st_mode & 07777) == 0;
    tmp.reset();
    if (!fKept || system(kCrontabMove) != 0) {
        unlink(kCrontabTmp);
        return CrontabFilter::kMoveFailed;
    }
    return CrontabFilter::kDone;
}

// Step 8: failures are only logged.
bool CleanCrontabAndPhp()
{
    RemoveObsolete(__LINE__, kPhpIni, kPhpIni);

    if (FilterCrontab("grep -v 'vacuumdb' " SZF_CRONTAB " > " UPDT_CRONTAB_TMP) != CrontabFilter::kDone)
        syslog(LOG_ERR, "%s(%d) Failed to remove vacuumdb from crontab.", UPDT_SOURCE_FILE, __LINE__);

    switch (FilterCrontab("grep -v '/bin/rm -f /var/log/\\*.html' " SZF_CRONTAB " > " UPDT_CRONTAB_TMP)) {
    case CrontabFilter::kDone:
        break;
    case CrontabFilter::kFilterFailed:
        syslog(LOG_ERR, "%s(%d) Failed to remove \"rm -f /var/log/\\*.html\" from crontab.", UPDT_SOURCE_FILE,
               __LINE__);
        break;
    case CrontabFilter::kMoveFailed:
        syslog(LOG_ERR, "%s(%d) Failed to remove \"rm -f /var/log/*.html\" from crontab.", UPDT_SOURCE_FILE, __LINE__);
        break;
    }
    return true;
}

bool ConvertFTPWriteOnly()
{
    if (ConvertFTPWriteOnlyFlag() == 0)
        return true;
    syslog(LOG_ERR, "%s (%d) Failed to convert FTP write only flag", UPDT_SOURCE_FILE, __LINE__);
    return false;
}

bool ConvertFTPBlockIP()
{
    if (AutoBlockConvertFTPBlockIP() >= 0)
        return true;
    syslog(LOG_ERR, "%s:%d AutoBlockConvertFTPBlockIP() failed!!", UPDT_SOURCE_FILE, __LINE__);
    return false;
}

// Takes the "others" permission bits off the files that hold password hashes.
bool RestrictSecretFiles()
{
    for (const char *szPath : {kSmbPasswd, kShadow}) {
        struct stat st;
        if (stat(szPath, &st) == 0)
            (void)chmod(szPath, st.st_mode & 07777 & ~07);
    }
    return true;
}

// A step of the migration areas: its own failure logged, 0 or -1.
template <int (*Step)()> bool Succeeds() { return Step() >= 0; }

// One step of the configuration update.
struct ConfigStep {
    const int *pFlag;  // runs when the flag is set; NULL: on every update
    bool (*step)();    // false when it failed (the step logged why)
    bool fMustSucceed; // a failure makes the result -1
};

// The steps in the order they run; each runs whatever the one before gave.
constexpr ConfigStep kSteps[] = {
    {&gfRemoveRcAtalk, RemoveRcAtalk, true},                                    // 1
    {&gfRemovePapdConf, RemovePapdConf, true},                                  // 2
    {&gfAddFTPAccounts, Succeeds<UPDTAddFTPAccounts>, true},                    // 3
    {&gfRemoveProfile, RemoveProfile, true},                                    // 4
    {&gfRemoveJumboFrameScript, RemoveJumboFrameScript, true},                  // 5
    {nullptr, RemoveManutilConf, true},                                         // 6
    {&gfOldWriteableLayout, SaveOldWriteableLayout, true},                      // 7
    {nullptr, CleanCrontabAndPhp, false},                                       // 8
    {&gfLowerMTUValue, Succeeds<UPDTLowerMTUValue>, false},                     // 9
    {&gfMoveMTUValue, Succeeds<UPDTMoveMTUValue>, false},                       // 10
    {&gfRewritePasswdHomes, Succeeds<UPDTRewritePasswdHomes>, false},           // 11
    {&gfCreateUserConf, Succeeds<UPDTCreateUserConf>, false},                   // 12
    {&gfAddMailUsers, Succeeds<UPDTAddMailUsers>, false},                       // 13
    {&gfCopyBond0MTU, Succeeds<UPDTCopyBond0MTU>, false},                       // 14
    {&gfConvertFTPWriteOnly, ConvertFTPWriteOnly, false},                       // 15
    {&gfRemoveALB, Succeeds<UPDTRemoveALB>, false},                             // 16
    {&gfConvertFTPBlockIP, ConvertFTPBlockIP, false},                           // 17
    {&gfLinkSqueezeCenterErrmsg, Succeeds<UPDTLinkSqueezeCenterErrmsg>, false}, // 18
    {&gfRemoveEventTest, Succeeds<UPDTRemoveEventTest>, false},                 // 19
    {&gfRestrictSecretFiles, RestrictSecretFiles, false},                       // 20
};

} // namespace

extern "C" int UPDTUpdateConfig(void)
{
    int result = 0;
    for (const ConfigStep &s : kSteps) {
        if (s.pFlag && !*s.pFlag)
            continue;
        if (!s.step() && s.fMustSucceed)
            result = -1;
    }
    return result;
}
