// The configuration update: brings the configuration of the installed build
// up to what the new build expects, once the new images are in the flash.
#include <dirent.h>
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
#include <string>
#include <string_view>

#include "migrate.h"
#include "slibcxx/lines.h"
#include "slibcxx/raii.h"
#include "slibcxx/replace.h"
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
// The crontab lines that go: a '.' stands for any byte, as in grep.
constexpr const char *kVacuumdb = "vacuumdb";
constexpr const char *kRmHtml = "/bin/rm -f /var/log/*.html";
constexpr const char *kWriteableConfigs = UPDT_WRITEABLE "/configs";
constexpr const char *kWriteableLogs = UPDT_WRITEABLE "/logs";

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

// The shell hands cp a "*" that matches nothing as it stands, and cp then
// fails on it: a folder that is empty (or holds only dot names) or missing
// has nothing to copy.  A folder that cannot be read is left to cp, which
// reports it.
bool HasGlobMatches(const char *szDir)
{
    slib::OwnedPtr<DIR, closedir> dir(opendir(szDir));
    if (!dir)
        return errno != ENOENT && errno != ENOTDIR;
    while (const struct dirent *e = readdir(dir.get())) {
        if (e->d_name[0] != '.')
            return true;
    }
    return false;
}

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

    auto run = [&](const char *szFmt) {
        char szCmd[UPDT_CMD_ROOM];
        if (!fQuoted || UPDTFormatCommand(szCmd, sizeof(szCmd), szFmt, szDir) < 0)
            return false;
        errno = 0;
        if (system(szCmd) == 0)
            return true;
        int err = errno;
        syslog(LOG_ERR, "%s:%d(%s) Failed to execute szCmd=[%s], errno=(%d)[%s]", UPDT_SOURCE_FILE, __LINE__, kFunc,
               szCmd, err, strerror(err));
        return false;
    };
    ok = run(UPDT_BIN_MKDIR " -p %s") && ok;
    // The globs stay outside the quotes; only the volume is text from outside.
    std::string copy = UPDT_BIN_CP " -a";
    bool fAnything = false;
    for (const char *szSource : {kWriteableConfigs, kWriteableLogs}) {
        if (HasGlobMatches(szSource)) {
            copy = copy + " " + szSource + "/*";
            fAnything = true;
        }
    }
    if (fAnything)
        ok = run((copy + " %s").c_str()) && ok;
    return ok;
}

enum class CrontabFilter { kDone, kFilterFailed, kMoveFailed };

// Whether a crontab line (without its line feed) holds the pattern, a '.' of
// which stands for any one byte, as grep reads it.  Bytes are bytes here: a
// NUL or a byte that is no character in the locale changes nothing.
bool LineHolds(std::string_view line, std::string_view pattern)
{
    for (size_t at = 0; at + pattern.size() <= line.size(); ++at) {
        size_t i = 0;
        while (i < pattern.size() && (pattern[i] == '.' || pattern[i] == line[at + i]))
            ++i;
        if (i == pattern.size())
            return true;
    }
    return false;
}

// Writes the crontab's lines that do not hold the pattern, byte for byte,
// into the fresh temporary file; false when the crontab cannot be read
// whole or the copy cannot be written whole.
bool WriteFilteredCrontab(FILE *out, const char *szPattern)
{
    slib::FilePtr in(fopen(kCrontab, "re"));
    if (!in)
        return false;
    slib::LineReader lines(in.get());
    while (lines.Next()) {
        if (!LineHolds(lines.text(), szPattern) && fwrite(lines.line(), 1, lines.len(), out) != lines.len())
            return false;
    }
    return !lines.Failed();
}

// Drops the lines that hold szPattern and moves the result over the
// crontab.  The lines are filtered here rather than by grep, which gives up
// at a NUL byte, or at a byte that is no character in the locale, with its
// output cut short and a status of success.  A crontab that cannot be read
// whole, or a copy that cannot be written whole, never replaces it.  The new
// file keeps the crontab's owner and mode.
CrontabFilter FilterCrontab(const char *szPattern)
{
    // Root writes here: make the target a fresh file of ours, never a link
    // planted in the world-writable /tmp. The update's steps record no codes.
    slib::FileReplacer out(nullptr);
    if (!out.CreateFixed(kCrontabTmp, 0600) || !WriteFilteredCrontab(out.stream(), szPattern))
        return CrontabFilter::kFilterFailed;
    // The crontab's owner and mode once the copy is whole.
    struct stat stCron;
    bool fKept = stat(kCrontab, &stCron) == 0;
    if (fKept)
        out.AttributesWhenWhole(stCron.st_uid, stCron.st_gid, stCron.st_mode);
    if (!out.Finish())
        return out.failed() == slib::FileReplacer::Step::kAttributes ? CrontabFilter::kMoveFailed
                                                                     : CrontabFilter::kFilterFailed;
    if (!fKept || system(kCrontabMove) != 0)
        return CrontabFilter::kMoveFailed;
    // Moved by the command: the name is no longer the replacer's.
    out.Release();
    return CrontabFilter::kDone;
}

// Step 8: failures are only logged.
bool CleanCrontabAndPhp()
{
    RemoveObsolete(__LINE__, kPhpIni, kPhpIni);

    if (FilterCrontab(kVacuumdb) != CrontabFilter::kDone)
        syslog(LOG_ERR, "%s(%d) Failed to remove vacuumdb from crontab.", UPDT_SOURCE_FILE, __LINE__);

    switch (FilterCrontab(kRmHtml)) {
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
