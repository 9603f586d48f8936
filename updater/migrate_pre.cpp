// Pre-patch migrations: on the normal road, after the analysis and before
// the partition list is read, the settings of older installed builds are
// converted into the form the new build expects.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "flash.h"
#include "migrate.h"
#include "slib/base64.h"
#include "slib/conf_read.h"
#include "slib/conf_write.h"
#include "slib/error.h"
#include "slib/str.h"
#include "slib/szlist.h"
#include "slibcxx/lines.h"
#include "slibcxx/raii.h"
#include "slibcxx/replace.h"
#include "vako/backup_set.h"
#include "vako/group_db.h"
#include "vako/info.h"
#include "vako/rsync_secret.h"
#include "vako/schedule.h"
#include "vako/share_op.h"

#define UPDT_RSYNCD_SECRETS_TMP SZF_RSYNCD_SECRETS ".tmp"
#define UPDT_USBBKP_CMD         "/usr/vako/bin/vakousbbkp"
#define UPDT_LOCALBKP_CMD       "/usr/vako/bin/vakolocalbkp"
#define UPDT_NETBKP_DIR         "/var/services/NetBackup"

namespace {

// ---- the table ----

// One pre-patch migration.
struct PrePatchStep {
    const int *pFlag; // runs when the flag word is 1
    int (*step)();    // negative when it failed (it logged why)
    int failResult;   // the result code that ends the road when it failed; 0: it need not succeed
};

template <void (*Step)()> int LogsItsFailures()
{
    Step();
    return 0;
}

// In the order they run.
constexpr PrePatchStep kSteps[] = {
    {&gfRecoverFISDir, RecoverFISDirTable_M88_V284, UPDT_ERR_FLASH},
    {&gfLimitFTPPortRange, UpdateFTPPassivePortRange, UPDT_ERR_MIGRATION},
    {&gfUpdateRsyncdConf, LogsItsFailures<UpdateRsyncdConf>, 0},
    {&gfUpdateRsyncdSecrets, LogsItsFailures<CheckAndUpdateRsyncdSecrets>, 0},
    {&gfUpdateSmmspGroup, LogsItsFailures<CheckAndUpdateSmmspGroup>, 0},
    {&gfConvertUSBBackup, LogsItsFailures<UpdateUSBBackupToLocalBackup>, 0},
    {&gfConvertNetBackup, LogsItsFailures<UpdateNetBackupSets>, 0},
    {&gfConvertCodepage, LogsItsFailures<UpdateCodepageKeys>, 0},
};

// ---- shared ----

constexpr const char *kInfo = SZF_VAKO_INFO;

using ListPtr = slib::OwnedPtr<SLIBSZLIST, SLIBSzListFree>;

// The decimal number a value begins with (blanks, a sign, digits; none: 0),
// kept within the range of an int.
int64_t LeadingNumber(const char *s)
{
    long long v = strtoll(s, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return v;
}

// ---- FTP passive ports ----

constexpr const char *kFtpLowPort = "ftplowport";
constexpr const char *kFtpHighPort = "ftphighport";
constexpr int kPortRoom = 128;
constexpr int kPassivePorts = 128;

// ---- rsync ----

constexpr const char *kUseChroot = "use chroot = no";
constexpr const char *kLockFile = "lock file =";
constexpr int kUseChrootRoom = 64;
constexpr mode_t kRsyncdConfMode = 0644;

// The secrets file is the daemon's: root's, readable by its group.
void RestrictSecrets(const char *szFunc, int line)
{
    if (chmod(SZF_RSYNCD_SECRETS, RSYNCD_SECRETS_MODE) != 0 && errno != ENOENT)
        syslog(LOG_ERR, "%s (%s):%d chmod %s failed! errno=%d/%m", UPDT_SOURCE_FILE, szFunc, line, SZF_RSYNCD_SECRETS,
               errno);
    if (chown(SZF_RSYNCD_SECRETS, RSYNCD_SECRETS_UID, RSYNCD_SECRETS_GID) != 0 && errno != ENOENT)
        syslog(LOG_ERR, "%s (%s):%d chown %s failed! errno=%d/%m", UPDT_SOURCE_FILE, szFunc, line, SZF_RSYNCD_SECRETS,
               errno);
}

// One secrets line, trimmed, as the new file holds it: "head|base64\n";
// false when the line is dropped (no '|', or a value that cannot be
// encoded, logged).
bool SecretLine(char *szLine, std::string &out)
{
    static const char *const kFunc = "CheckAndUpdateRsyncdSecrets";
    char *bar = strchr(szLine, '|');
    if (!bar)
        return false;
    *bar = '\0';
    const char *szHead = szLine, *szValue = bar + 1;
    size_t len = strlen(szValue);
    // The codec counts in 32-bit words; a longer value cannot be encoded.
    const bool fCountable = len < INT32_MAX;
    syslog(LOG_DEBUG, "%s (%s):%d szPtr=%s, len=%d", UPDT_SOURCE_FILE, kFunc, __LINE__, szValue, static_cast<int>(len));
    // One byte more than the value, so that the decoded bytes print as text.
    std::vector<char> decoded(len + 1, '\0');
    int32_t cb = static_cast<int32_t>(len);
    if (fCountable && Base64Decode(szValue, static_cast<uint32_t>(len), decoded.data(), &cb) == 1) {
        decoded[static_cast<size_t>(cb)] = '\0';
        syslog(LOG_DEBUG, "%s (%s):%d szDecodePass=%s, len=%d", UPDT_SOURCE_FILE, kFunc, __LINE__, decoded.data(), cb);
        out = std::string(szHead) + "|" + szValue + "\n";
        return true;
    }
    // The value with its NUL, as the account operations encode a secret.
    const char *szEncoded = fCountable ? SzBase64EncodeOneLine(szValue, static_cast<int32_t>(len + 1)) : nullptr;
    if (!szEncoded) {
        syslog(LOG_ERR, "%s (%s):%d SzBase64EncodeOneLine() failed! inputBuf(auth:secret) = [%s]", UPDT_SOURCE_FILE,
               kFunc, __LINE__, szHead);
        return false;
    }
    syslog(LOG_DEBUG, "%s (%s):%d szEncodePass=%s, len=%d", UPDT_SOURCE_FILE, kFunc, __LINE__, szEncoded,
           static_cast<int>(strlen(szEncoded)));
    out = std::string(szHead) + "|" + szEncoded + "\n";
    return true;
}

// Writes the converted lines of `in` to `out`; false (logged) when a read
// or a write failed.
bool ConvertSecrets(FILE *in, FILE *out)
{
    static const char *const kFunc = "CheckAndUpdateRsyncdSecrets";
    slib::LineReader reader(in);
    std::string line;
    while (char *raw = reader.Next()) {
        if (SLIBStrTrimSpace(raw, nullptr) < 0) {
            syslog(LOG_ERR, "%s (%s):%d SLIBStrTrimSpace() failed! szInput[%s], errno=[0x%04X]", UPDT_SOURCE_FILE,
                   kFunc, __LINE__, raw, SLIBErrorGet());
            continue;
        }
        if (!SecretLine(raw, line))
            continue;
        if (fwrite(line.data(), 1, line.size(), out) != line.size()) {
            syslog(LOG_ERR, "%s (%s):%d write %s file failed! errno=%d/%m", UPDT_SOURCE_FILE, kFunc, __LINE__,
                   UPDT_RSYNCD_SECRETS_TMP, errno);
            return false;
        }
    }
    if (ferror(in)) {
        syslog(LOG_ERR, "%s (%s):%d read %s file failed! errno=%d/%m", UPDT_SOURCE_FILE, kFunc, __LINE__,
               SZF_RSYNCD_SECRETS, errno);
        return false;
    }
    return true;
}

// ---- mail group ----

constexpr const char *kSmmspKey = "smmsp:";
constexpr int kGroupLineRoom = 1024;
constexpr const char *kAdmin = "admin";
constexpr std::string_view kNobody = "nobody";

// The "smmsp" line with "admin" among its members: after the others, and
// before a member "nobody", which ends the list (the last one, when there
// are several).  False for a line without its four fields.
bool WithAdmin(std::string_view line, std::string &out)
{
    size_t at = 0;
    for (int field = 0; field < 3; ++field) {
        size_t colon = line.find(':', at);
        if (colon == std::string_view::npos)
            return false;
        at = colon + 1;
    }
    std::string_view members = line.substr(at);
    std::vector<std::string_view> list;
    for (size_t from = 0;;) {
        size_t comma = members.find(',', from);
        list.push_back(members.substr(from, comma == std::string_view::npos ? std::string_view::npos : comma - from));
        if (comma == std::string_view::npos)
            break;
        from = comma + 1;
    }
    size_t last = list.size();
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i] == kNobody)
            last = i;
    if (last == list.size()) {
        // No member "nobody": admin goes at the end (an empty list gains an
        // empty member before it, as the line stood).
        out = std::string(line) + "," + kAdmin;
        return true;
    }
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(last));
    list.push_back(kAdmin);
    list.push_back(kNobody);
    out = std::string(line.substr(0, at));
    for (size_t i = 0; i < list.size(); ++i) {
        if (i)
            out += ',';
        out += list[i];
    }
    return true;
}

// ---- USB backup ----

constexpr const char *kMaxShares = "maxshares";
constexpr const char *kUsbShares = "usbbkpshares";
constexpr const char *kUsbId = "usbbkpid";
constexpr const char *kUsbResult = "usbbkpresult";
constexpr const char *kUsbSetName = "MyBackupSet";
constexpr const char *kUsbDestShare = "usbbackup";
constexpr int32_t kDestUsbBkp = 3;
constexpr int kMaxSharesRoom = 32;
constexpr int kShareNameRoom = 493; // a share name and its separator
constexpr int kUsbIdRoom = 28;
constexpr int kUsbResultRoom = 64;
constexpr int kEnumListSize = 512;

void LogKeyFailed(int line, const char *szFile, const char *szKey)
{
    syslog(LOG_ERR, "%s:%d SLIBFileGetKeyValue() failed!! szFile=[%s], szKey=[%s], vakoerr=[0x%04X]", UPDT_SOURCE_FILE,
           line, szFile, szKey, SLIBErrorGet());
}

// The room for the share list: maxshares names; a count that is missing,
// not positive or beyond any allocation still gives room for one.
int ShareListRoom(const char *szMax)
{
    int64_t n = LeadingNumber(szMax);
    if (n < 1)
        n = 1;
    if (n > INT_MAX / kShareNameRoom)
        n = INT_MAX / kShareNameRoom;
    return static_cast<int>(n) * kShareNameRoom;
}

// Every local share, joined with ',' into buf (which may grow); on failure
// (logged) buf holds an empty list or is NULL.
void JoinLocalShares(slib::HeapPtr<char> &buf, int &cbBuf)
{
    ListPtr list(PslSLIBSzListAlloc(kEnumListSize));
    if (!list) {
        syslog(LOG_ERR, "%s:%d Out of memory!! size=[%d]", UPDT_SOURCE_FILE, __LINE__, kEnumListSize);
        return;
    }
    PSLIBSZLIST raw = list.release(); // the enumeration may move the list
    int n = VAKOShareEnum(&raw, VAKO_SHARE_KIND_NORMAL);
    list.reset(raw);
    if (n < 0) {
        syslog(LOG_ERR, "%s:%d Fail to enum local shares!! vakoerr=[0x%04X]", UPDT_SOURCE_FILE, __LINE__,
               SLIBErrorGet());
        return;
    }
    // No share: the list stays empty (nothing to join is no failure).
    if (list->nItem == 0)
        return;
    std::vector<char *> items;
    for (int i = 0; i < list->nItem; ++i)
        items.push_back(const_cast<char *>(SLIBSzListGet(list.get(), i)));
    char *out = buf.release();
    int r = SLIBStrJoin(items.data(), static_cast<int>(items.size()), ",", &out, &cbBuf);
    buf.reset(out);
    if (r < 0) {
        syslog(LOG_ERR, "%s:%d SLIBStrJoin() failed!! vakoerr=[0x%04X]", UPDT_SOURCE_FILE, __LINE__, SLIBErrorGet());
        if (buf)
            buf.get()[0] = '\0';
    }
}

// "YYYY/MM/DD hh:mm" from an identifier that begins "YYYYMMDDhhmmss-";
// numbers not found are 0.
std::string LastBackupTime(const char *szId)
{
    int t[6] = {0, 0, 0, 0, 0, 0};
    (void)sscanf(szId, "%04d%02d%02d%02d%02d%02d-", &t[0], &t[1], &t[2], &t[3], &t[4], &t[5]);
    char szTime[64];
    snprintf(szTime, sizeof(szTime), "%04d/%02d/%02d %02d:%02d", t[0], t[1], t[2], t[3], t[4]);
    return szTime;
}

// Moves the old USB backup's schedule to the new set: set first, so that
// the schedule is never lost.
void MoveUsbSchedule()
{
    VAKOSCHEDULE sched;
    memset(&sched, 0, sizeof(sched));
    int r = VAKOScheduleGet(UPDT_USBBKP_CMD, &sched);
    if (r < 0) {
        syslog(LOG_ERR, "%s:%d Failed to get backup schedule. szCmd=[%s] errno=[0x%04X]", UPDT_SOURCE_FILE, __LINE__,
               UPDT_USBBKP_CMD, SLIBErrorGet());
        return;
    }
    if (r == 0)
        return;
    snprintf(sched.szCommand, sizeof(sched.szCommand), "%s -a \"%s\"", UPDT_LOCALBKP_CMD, kUsbSetName);
    if (VAKOScheduleSet(&sched) < 0) {
        syslog(LOG_ERR, "%s:%d VAKOScheduleSet() failed!! szCmd=[%s], errno=[0x%04X]", UPDT_SOURCE_FILE, __LINE__,
               sched.szCommand, SLIBErrorGet());
        return;
    }
    if (VAKOScheduleRemove(UPDT_USBBKP_CMD) < 0)
        syslog(LOG_ERR, "%s:%d VAKOScheduleRemove() failed!! szCmd=[%s], vakoerr=[0x%04X]", UPDT_SOURCE_FILE, __LINE__,
               UPDT_USBBKP_CMD, SLIBErrorGet());
}

// ---- network backup ----

constexpr const char *kConfigBackup = "configbackup.dss";
constexpr const char *kAppDir = "@app";
constexpr mode_t kAppDirMode = 0777;

using DirPtr = slib::OwnedPtr<DIR, closedir>;

// Frees what VAKOBackupConfGetAll handed out.
struct NetSets {
    void **arr = nullptr;
    int n = 0;
    ~NetSets() { VAKOBackupConfFreeAll(arr, n, BACKUP_TYPE_NETBKP); }
};

// The set's "@app" directory, opened under the set's own descriptor and
// made when missing; -1 (logged) for a link or anything but a directory:
// the set's account owns the folder and may have put anything there.
slib::Fd AppDir(int set, const std::string &app)
{
    struct stat st;
    if (fstatat(set, kAppDir, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            syslog(LOG_ERR, "%s:%d Failed to stat [%s], errno=[%d/%m]", UPDT_SOURCE_FILE, __LINE__, app.c_str(), errno);
            return slib::Fd();
        }
        if (mkdirat(set, kAppDir, kAppDirMode) != 0) {
            syslog(LOG_ERR, "%s:%d Failed to mkdir!! szPath=[%s], errno=[%d/%m]", UPDT_SOURCE_FILE, __LINE__,
                   app.c_str(), errno);
            return slib::Fd();
        }
        slib::Fd made(openat(set, kAppDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        // The mode of mkdir is cut by the process mask.
        if (made.ok() && fchmod(made.get(), kAppDirMode) != 0)
            syslog(LOG_ERR, "%s:%d Failed to chmod!! szPath=[%s], errno=[%d/%m]", UPDT_SOURCE_FILE, __LINE__,
                   app.c_str(), errno);
        if (made.ok())
            return made;
    } else if (S_ISLNK(st.st_mode)) {
        syslog(LOG_ERR, "%s:%d [%s] is a symbolic link, not followed", UPDT_SOURCE_FILE, __LINE__, app.c_str());
        return slib::Fd();
    } else if (!S_ISDIR(st.st_mode)) {
        syslog(LOG_ERR, "%s:%d [%s] is not a directory", UPDT_SOURCE_FILE, __LINE__, app.c_str());
        return slib::Fd();
    } else if (slib::Fd dir{openat(set, kAppDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)}; dir.ok()) {
        return dir;
    }
    // Swapped for something else since it was looked at.
    syslog(LOG_ERR, "%s:%d [%s] changed while it was opened, errno=[%d/%m]", UPDT_SOURCE_FILE, __LINE__, app.c_str(),
           errno);
    return slib::Fd();
}

// One set's saved configuration file into its "@app" directory: every step
// under the descriptors of the set's folder and of "@app", so that no link
// the set's account made there leads the move anywhere else.
void MoveConfigBackup(int top, const char *name)
{
    const std::string setDir = std::string(UPDT_NETBKP_DIR) + "/" + name;
    const std::string file = setDir + "/" + kConfigBackup, app = setDir + "/" + kAppDir;
    slib::Fd set(openat(top, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!set.ok()) {
        struct stat st;
        if (fstatat(top, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
            syslog(LOG_ERR, "%s:%d [%s] is a symbolic link, not followed", UPDT_SOURCE_FILE, __LINE__, setDir.c_str());
        return;
    }
    struct stat st;
    if (fstatat(set.get(), kConfigBackup, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return;
    if (!S_ISREG(st.st_mode)) {
        syslog(LOG_ERR, "%s:%d [%s] is not a regular file, not moved", UPDT_SOURCE_FILE, __LINE__, file.c_str());
        return;
    }
    slib::Fd appDir = AppDir(set.get(), app);
    if (!appDir.ok())
        return;
    // The directory names are the sets' names: moved by the system call,
    // never through a shell.
    const std::string target = app + "/" + kConfigBackup;
    if (renameat(set.get(), kConfigBackup, appDir.get(), kConfigBackup) != 0)
        syslog(LOG_ERR, "%s:%d Failed to move [%s] to [%s], errno=[%d/%m]", UPDT_SOURCE_FILE, __LINE__, file.c_str(),
               target.c_str(), errno);
}

// ---- code pages ----

constexpr const char *kCodepageKeys[] = {"codepage", "codepage_mediaservice"};
constexpr const char *kCodepageApple = "codepage_apple";
constexpr int kCodepageRoom = 8;
constexpr const char *kDefaultCodepage = "850";
constexpr const char *kDefaultLanguage = "enu";

struct CodepageLanguage {
    int codepage;
    const char *szLanguage;
};
constexpr CodepageLanguage kLanguages[] = {
    {936, "chs"}, {950, "cht"}, {949, "krn"}, {1254, "trk"}, {866, "rus"}, {932, "jpn"}, {852, "plk"},
};

const char *LanguageOf(const char *szValue)
{
    int64_t codepage = LeadingNumber(szValue);
    for (const CodepageLanguage &l : kLanguages)
        if (l.codepage == codepage)
            return l.szLanguage;
    return kDefaultLanguage;
}

// A value this migration wrote already (an update run again after its
// flash patch failed finds the keys converted).
bool IsLanguageCode(const char *szValue)
{
    if (strcmp(szValue, kDefaultLanguage) == 0)
        return true;
    for (const CodepageLanguage &l : kLanguages)
        if (strcmp(szValue, l.szLanguage) == 0)
            return true;
    return false;
}

} // namespace

extern "C" {

int UPDTRunPrePatchMigrations(void)
{
    for (const PrePatchStep &s : kSteps)
        if (*s.pFlag == 1 && s.step() < 0 && s.failResult != 0)
            return s.failResult;
    return 0;
}

int UpdateFTPPassivePortRange(void)
{
    char szLow[kPortRoom] = "", szHigh[kPortRoom] = "";
    if (SLIBFileGetKeyValue(kInfo, kFtpLowPort, szLow, sizeof(szLow), 0) < 0) {
        syslog(LOG_ERR, "%s:%d(%s) SLIBFileGetKeyValue(SZF_VAKO_INFO, SZK_FTP_LOW_PORT) fail", UPDT_SOURCE_FILE,
               __LINE__, __func__);
        return -1;
    }
    if (SLIBFileGetKeyValue(kInfo, kFtpHighPort, szHigh, sizeof(szHigh), 0) < 0) {
        syslog(LOG_ERR, "%s:%d(%s) SLIBFileGetKeyValue(SZF_VAKO_INFO, SZK_FTP_HIGH_PORT) fail", UPDT_SOURCE_FILE,
               __LINE__, __func__);
        return -1;
    }
    int64_t low = LeadingNumber(szLow), high = LeadingNumber(szHigh);
    if (high - low + 1 <= kPassivePorts)
        return 0;
    char szBuf[32];
    snprintf(szBuf, sizeof(szBuf), "%" PRId64, low + kPassivePorts - 1);
    if (VAKOINFOSetKeyValue(kFtpHighPort, szBuf) < 0) {
        syslog(LOG_ERR, "%s:%d(%s) VAKOINFOSetKeyValue(SZK_FTP_HIGH_PORT, szBuf=[%s]) fail", UPDT_SOURCE_FILE, __LINE__,
               __func__, szBuf);
        return -1;
    }
    return 0;
}

void UpdateRsyncdConf(void)
{
    char szLine[kUseChrootRoom] = "";
    int found = SLIBFileGetLine(SZF_RSYNCD_CONF, kUseChroot, szLine, sizeof(szLine), 0);
    if (found < 0 && SLIBErrorGet() == SLIB_ERR_BUFFER_SMALL)
        syslog(LOG_ERR, "%s %s(%d) : the line holding [%s] in %s is longer than %d characters; left as it is",
               UPDT_SOURCE_FILE, __func__, __LINE__, kUseChroot, SZF_RSYNCD_CONF, kUseChrootRoom - 1);
    bool fConfDone = found >= 0;
    // No line: the daemon's default would jail it; none is added without a
    // "lock file =" line to put it after.
    if (found == 0 && SLIBFileAddLine(SZF_RSYNCD_CONF, kLockFile, kUseChroot, OP_FIND_PREFIX) < 0) {
        syslog(LOG_ERR, "%s %s(%d) : SLIBFileAddLine(szFile=[%s] szKey=[%s] szLine=[%s] flag=OP_FIND_PREFIX) fail",
               UPDT_SOURCE_FILE, __func__, __LINE__, SZF_RSYNCD_CONF, kLockFile, kUseChroot);
        fConfDone = false;
    }
    if (fConfDone)
        (void)chmod(SZF_RSYNCD_CONF, kRsyncdConfMode);
    RestrictSecrets(__func__, __LINE__);
}

void CheckAndUpdateRsyncdSecrets(void)
{
    slib::FilePtr in(fopen(SZF_RSYNCD_SECRETS, "re"));
    if (!in) {
        syslog(LOG_ERR, "%s (%s):%d fail to open [%s]! errno=%d/%m", UPDT_SOURCE_FILE, __func__, __LINE__,
               SZF_RSYNCD_SECRETS, errno);
        return;
    }
    // The new file is made afresh (a file left by an earlier run may have
    // any mode), with the daemon's owner and mode before the first byte.
    // The migration's callers never saw a code of its own.
    slib::FileReplacer out(nullptr);
    if (!out.CreateFixed(UPDT_RSYNCD_SECRETS_TMP, 0600)) {
        syslog(LOG_ERR, "%s (%s):%d fail to open [%s]! errno=%d/%m", UPDT_SOURCE_FILE, __func__, __LINE__,
               SZF_RSYNCD_SECRETS, errno);
        return;
    }
    if (!out.SetOwner(RSYNCD_SECRETS_UID, RSYNCD_SECRETS_GID) || !out.SetMode(RSYNCD_SECRETS_MODE)) {
        syslog(LOG_ERR, "%s (%s):%d write %s file failed! errno=%d/%m", UPDT_SOURCE_FILE, __func__, __LINE__,
               UPDT_RSYNCD_SECRETS_TMP, errno);
        return;
    }
    if (!ConvertSecrets(in.get(), out.stream()))
        return;
    in.reset();
    // On disk before it takes the old file's place.
    if (!out.Finish()) {
        syslog(LOG_ERR, "%s (%s):%d write %s file failed! errno=%d/%m", UPDT_SOURCE_FILE, __func__, __LINE__,
               UPDT_RSYNCD_SECRETS_TMP, errno);
        return;
    }
    if (!out.RenameOver(SZF_RSYNCD_SECRETS))
        syslog(LOG_WARNING, "%s (%s):%d rename %s file failed! errno=%d/%m", UPDT_SOURCE_FILE, __func__, __LINE__,
               UPDT_RSYNCD_SECRETS_TMP, errno);
}

void CheckAndUpdateSmmspGroup(void)
{
    // A line longer than the room is refused by the reader, never cut.
    char szLine[kGroupLineRoom] = "";
    if (SLIBFileGetLine(SZF_GROUP, kSmmspKey, szLine, sizeof(szLine), OP_MATCH_BEGIN) <= 0) {
        syslog(LOG_ERR, "%s (%s):%d SLIBFileGetLine() failed! file=[%s] key=[%s] errno=[0x%04X]", UPDT_SOURCE_FILE,
               __func__, __LINE__, SZF_GROUP, kSmmspKey, SLIBErrorGet());
        return;
    }
    // The line of a CRLF file comes with its CR: the members end before it,
    // and the new line is written as the step writes every line.
    std::string_view read(szLine);
    if (read.ends_with('\r'))
        read.remove_suffix(1);
    if (read.find(kAdmin) != std::string_view::npos)
        return;
    std::string line;
    if (!WithAdmin(read, line)) {
        syslog(LOG_ERR, "%s (%s):%d the line of group smmsp has no member list: [%s]", UPDT_SOURCE_FILE, __func__,
               __LINE__, szLine);
        return;
    }
    if (SLIBFileSetLine(SZF_GROUP, kSmmspKey, line.c_str(), OP_MATCH_BEGIN) != 1)
        syslog(LOG_ERR, "%s (%s):%d SLIBFileSetLine() write %s failed! key=[%s] errno=[0x%04X]", UPDT_SOURCE_FILE,
               __func__, __LINE__, SZF_GROUP, kSmmspKey, SLIBErrorGet());
}

void UpdateUSBBackupToLocalBackup(void)
{
    struct stat st;
    if (stat(SZF_LOCALBKP_CONF, &st) == 0)
        return;

    char szMax[kMaxSharesRoom] = "";
    if (SLIBFileGetKeyValue(SZF_VAKO_INFO_DEFAULTS, kMaxShares, szMax, sizeof(szMax), 0) < 0) {
        LogKeyFailed(__LINE__, SZF_VAKO_INFO_DEFAULTS, kMaxShares);
        return;
    }
    int cbShares = ShareListRoom(szMax);
    slib::HeapPtr<char> shares(static_cast<char *>(calloc(static_cast<size_t>(cbShares), 1)));
    if (!shares) {
        syslog(LOG_ERR, "%s:%d out of memory!! size=[%d]", UPDT_SOURCE_FILE, __LINE__, cbShares);
        return;
    }
    // A list longer than the room is refused by the reader, never cut.
    if (SLIBFileGetKeyValue(kInfo, kUsbShares, shares.get(), cbShares, 0) < 0) {
        LogKeyFailed(__LINE__, kInfo, kUsbShares);
        return;
    }
    if (!shares.get()[0])
        JoinLocalShares(shares, cbShares);

    char szId[kUsbIdRoom] = "", szResult[kUsbResultRoom] = "";
    if (SLIBFileGetKeyValue(kInfo, kUsbId, szId, sizeof(szId), 0) < 0) {
        LogKeyFailed(__LINE__, kInfo, kUsbId);
        return;
    }
    if (SLIBFileGetKeyValue(kInfo, kUsbResult, szResult, sizeof(szResult), 0) < 0) {
        LogKeyFailed(__LINE__, kInfo, kUsbResult);
        return;
    }
    std::string lastTime = szId[0] ? LastBackupTime(szId) : "";

    VAKOLOCALBKPCONF conf;
    memset(&conf, 0, sizeof(conf));
    conf.dest_type = kDestUsbBkp;
    conf.incrbkp = 0;
    conf.szName = const_cast<char *>(kUsbSetName);
    conf.dest_id = szId;
    conf.dest_share = const_cast<char *>(kUsbDestShare);
    conf.bkp_shares = shares ? shares.get() : const_cast<char *>("");
    conf.bkp_apps = const_cast<char *>("");
    conf.last_bkp_time = lastTime.data();
    conf.last_bkp_result = szResult;
    if (VAKOLocalBkpConfSetOne(nullptr, &conf) < 0) {
        syslog(LOG_ERR, "%s:%d VAKOLocalBkpConfSetOne() failed!! vakoerr=[0x%04X]", UPDT_SOURCE_FILE, __LINE__,
               SLIBErrorGet());
        return;
    }
    // The keys' own lines, found by key: a line that only mentions a key's
    // name elsewhere stays.
    for (const char *szKey : {kUsbShares, kUsbId, kUsbResult})
        if (SLIBFileRemoveKey(kInfo, szKey) < 0)
            syslog(LOG_ERR, "%s:%d File to remove the line [%s]!! szFile=[%s],  vakoerr=[0x%04X]", UPDT_SOURCE_FILE,
                   __LINE__, szKey, kInfo, SLIBErrorGet());
    MoveUsbSchedule();
}

void UpdateNetBackupSets(void)
{
    NetSets sets;
    sets.n = VAKOBackupConfGetAll(&sets.arr, BACKUP_TYPE_NETBKP);
    if (sets.n < 0) {
        syslog(LOG_ERR, "%s:%d VAKOBackupConfGetAll() failed!! bkptype=[BACKUP_TYPE_NETBKP], vakoerr=[0x%04X]",
               UPDT_SOURCE_FILE, __LINE__, SLIBErrorGet());
        sets.n = 0;
    }
    for (int i = 0; i < sets.n; ++i) {
        auto *set = static_cast<VAKONETBKPCONF *>(sets.arr[i]);
        char *szShares = strdup(set->szName);
        if (!szShares) {
            syslog(LOG_ERR, "%s:%d out of memory!! szOldBkpset=[%s]", UPDT_SOURCE_FILE, __LINE__, set->szName);
            continue;
        }
        free(set->bkp_shares);
        set->bkp_shares = szShares;
        if (VAKONetBkpConfSetOne(set->szName, set) < 0)
            syslog(LOG_ERR, "%s:%d VAKONetBkpConfSetOne() failed!! szOldBkpset=[%s], vakoerr=[0x%04X]",
                   UPDT_SOURCE_FILE, __LINE__, set->szName, SLIBErrorGet());
    }
    UpdateNetBackupConfigPath();
}

void UpdateNetBackupConfigPath(void)
{
    DirPtr dir(opendir(UPDT_NETBKP_DIR));
    if (!dir) {
        if (errno != ENOENT)
            syslog(LOG_ERR, "%s:%d Failed to open [%s], errno=[%d/%m]", UPDT_SOURCE_FILE, __LINE__, UPDT_NETBKP_DIR,
                   errno);
        return;
    }
    // The names first: the moves change the directories under the walk.
    std::vector<std::string> names;
    while (const dirent *e = readdir(dir.get()))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    for (const std::string &name : names)
        MoveConfigBackup(dirfd(dir.get()), name.c_str());
}

void UpdateCodepageKeys(void)
{
    for (const char *szKey : kCodepageKeys)
        UpdateCodepageKey(szKey);
    (void)SLIBFileRemoveKey(kInfo, kCodepageApple);
}

void UpdateCodepageKey(const char *szKey)
{
    if (!szKey)
        return;
    char szValue[kCodepageRoom] = "";
    int r = SLIBFileGetKeyValue(kInfo, szKey, szValue, sizeof(szValue), 0);
    if (r < 0 && SLIBErrorGet() == SLIB_ERR_BUFFER_SMALL) {
        syslog(LOG_ERR, "%s (%d) The value of key [%s] is longer than %d characters; left as it is", UPDT_SOURCE_FILE,
               __LINE__, szKey, kCodepageRoom - 1);
        return;
    }
    if (r <= 0)
        snprintf(szValue, sizeof(szValue), "%s", kDefaultCodepage);
    if (IsLanguageCode(szValue))
        return;
    const char *szLanguage = LanguageOf(szValue);
    if (VAKOINFOSetKeyValue(szKey, szLanguage) < 0)
        syslog(LOG_ERR, "%s (%d) Failed to set key [%s] to value [%s]", UPDT_SOURCE_FILE, __LINE__, szKey, szLanguage);
}

} // extern "C"
