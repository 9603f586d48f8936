// Rsync secrets: the backup accounts' names on the "auth users" line of the
// rsync service's configuration and their values in its secrets file.
#include "vako/rsync_secret.h"

#include <crypt.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "slib/conf_read.h"
#include "slib/conf_write.h"
#include "slib/error.h"
#include "slib/proc.h"
#include "slib/str.h"
#include "slib/szlist.h"
#include "slibcxx/border.h"
#include "slibcxx/lines.h"
#include "slibcxx/raii.h"
#include "slibcxx/replace.h"

namespace {

// Log prefixes: the operations' own source names.
constexpr const char *kSrcGet = "netbkp_get_server_passwd";
constexpr const char *kSrcSet = "netbkp_set_server_passwd";
constexpr const char *kSrcDel = "netbkp_del_secret";

constexpr char kSalt[] = "rydn";
// A traditional DES crypt result: the salt and 11 characters.
constexpr size_t kCryptLen = 13;
constexpr const char *kRootName = "root";
constexpr const char *kAdminName = "admin";

constexpr int kListSize = 1024;
constexpr std::string_view kAuthUsersKey = "auth users =";
constexpr const char *kAuthUsersHead = "auth users = ";
// The line buffer of "auth users": 127 characters and the NUL.
constexpr int kAuthUsersSize = 128;
constexpr const char *kSecretsFileLine = "secrets file = " SZF_RSYNCD_SECRETS;
constexpr int kSecretsFileLineSize = 256;
constexpr time_t kRestartDelaySec = 2;

using ListPtr = slib::HeapPtr<SLIBSZLIST>;

// "admin" is written as "root" in both files.
const char *AuthName(const char *name) { return name && strcmp(name, kAdminName) == 0 ? kRootName : name; }

// The first byte of a comment line.
bool IsComment(char first) { return first == '#' || first == ';'; }

// A name that stays one item of "auth users" and one field of its secrets
// line: no separator of either, no blank, and not read as a comment.
bool SoundName(const char *name) { return name && name[0] && !IsComment(name[0]) && !strpbrk(name, ":, \t\r\n"); }

// The secrets line of name: it begins with name and a ':', the whole name
// and nothing more, so that no account reads or changes another's line. A
// line of just the name is its line too, without a value.
std::string SecretKey(const char *name) { return std::string(name) + ':'; }

bool RunScript(const char *arg) { return SLIBProcExec(SZF_RSYNCD_SCRIPT, arg, nullptr, nullptr, nullptr) == 0; }

// The mode, owner and group the secrets file has after every write; the
// write itself has succeeded or failed already, so nothing is reported.
void ProtectSecrets()
{
    bool ok = chmod(SZF_RSYNCD_SECRETS, RSYNCD_SECRETS_MODE) == 0;
    ok = chown(SZF_RSYNCD_SECRETS, RSYNCD_SECRETS_UID, RSYNCD_SECRETS_GID) == 0 && ok;
    (void)ok;
}

bool Push(ListPtr &list, const char *item)
{
    PSLIBSZLIST raw = list.release();
    int r = SLIBSzListPush(&raw, item);
    list.reset(raw);
    return r >= 0;
}

// The "auth users" line: the first line that begins with "auth users =",
// blanks before it allowed (the service reads it so), found and replaced
// alike.  Its text (at most 127 characters) into line and its blanks into
// indent: 1, 0 when there is none, -1 when the file cannot be read or the
// line is too long.
int FindAuthUsers(char (&line)[kAuthUsersSize], std::string &indent)
{
    slib::LineReader lines(SZF_RSYNCD_CONF, kSrcSet);
    if (!lines.ok())
        return -1;
    while (lines.Next()) {
        std::string_view l = lines.text();
        size_t blanks = l.find_first_not_of(" \t");
        if (l.empty() || IsComment(l[0]) || blanks == std::string_view::npos ||
            !l.substr(blanks).starts_with(kAuthUsersKey))
            continue;
        if (l.size() >= sizeof line || l.find('\0') != std::string_view::npos)
            return -1;
        memcpy(line, l.data(), l.size());
        line[l.size()] = '\0';
        indent.assign(l.substr(0, blanks));
        return 1;
    }
    if (!lines.CheckEnd())
        return -1;
    return 0;
}

// The "auth users" step: the name list of the line changed by op.
int NetBackupSetAuthUser(const char *oldName, const char *newName, int op)
{
    ListPtr list(PslSLIBSzListAlloc(kListSize));
    if (!list) {
        syslog(LOG_ERR, "%s %s(%d) : PslSLIBSzListAlloc() failed", kSrcSet, __func__, __LINE__);
        return -1;
    }
    char line[kAuthUsersSize] = {};
    std::string indent;
    int got = FindAuthUsers(line, indent);
    if (got < 0) {
        syslog(LOG_ERR, "%s %s(%d): SLIBFileGetLine(szStrFile=[%s], szKey=[auth users]) failed", kSrcSet, __func__,
               __LINE__, SZF_RSYNCD_CONF);
        return -1;
    }
    if (got == 0) {
        if (op == NETBKP_PASSWD_DELETE)
            return 0;
        std::string added = std::string(kAuthUsersHead) + newName;
        if (added.size() >= kAuthUsersSize ||
            SLIBFileAddLine(SZF_RSYNCD_CONF, nullptr, added.c_str(), OP_FIND_PREFIX) != 1) {
            syslog(LOG_ERR, "%s %s(%d): SLIBFileAddLine(szStrFile=[%s], szLine=[%s]) failed", kSrcSet, __func__,
                   __LINE__, SZF_RSYNCD_CONF, added.c_str());
            return -1;
        }
        return 0;
    }
    char *names = strchr(line + indent.size(), '=') + 1;
    if (SLIBStrTrimSpace(names, nullptr) < 0) {
        syslog(LOG_ERR, "%s %s(%d): SLIBStrTrimSpace(szInputStr=[%s]) failed", kSrcSet, __func__, __LINE__, names);
        return -1;
    }
    // An emptied line lists nobody: splitting it would give one empty name.
    if (names[0]) {
        PSLIBSZLIST raw = list.release();
        int n = SLIBStrSep(names, ",", &raw);
        list.reset(raw);
        if (n < 0)
            return -1;
    }
    int iOld = oldName ? SLIBSzListCaseFind(list.get(), oldName) : -1;
    int iNew = newName ? SLIBSzListCaseFind(list.get(), newName) : -1;
    switch (op) {
    case NETBKP_PASSWD_ADD:
        if (iNew >= 0)
            return 0;
        if (!Push(list, newName)) {
            syslog(LOG_ERR, "%s %s(%d): SLIBSzListPush() failed!! szNewRsyncName=%s", kSrcSet, __func__, __LINE__,
                   newName);
            return -1;
        }
        break;
    case NETBKP_PASSWD_MODIFY:
        if (iOld < 0) {
            if (!Push(list, newName)) {
                syslog(LOG_ERR, "%s %s(%d): SLIBSzListPush() failed!! szNewRsyncName=%s", kSrcSet, __func__, __LINE__,
                       newName);
                return -1;
            }
        } else {
            PSLIBSZLIST raw = list.release();
            int r = SLIBSzListSet(&raw, iOld, newName);
            list.reset(raw);
            if (r < 0) {
                syslog(LOG_ERR, "%s %s(%d): SLIBSzListSet() failed!! \t\t\t\t\t   szOldName=[%s], szNewRsyncName=[%s]",
                       kSrcSet, __func__, __LINE__, oldName, newName);
                return -1;
            }
        }
        break;
    default:
        if (iOld < 0 || !SzSLIBSzListRemove(list.get(), iOld))
            syslog(LOG_ERR, "%s %s(%d): SzSLIBSzListRemove() failed!! szOldName=%s", kSrcSet, __func__, __LINE__,
                   oldName);
        break;
    }
    // Each name and a ',', the last character then dropped: the final ','
    // or, for nobody, the blank after '='.
    std::string rebuilt = indent + kAuthUsersHead;
    for (int i = 0; i < list->nItem; i++)
        rebuilt += std::string(SLIBSzListGet(list.get(), i)) + ',';
    rebuilt.pop_back();
    // A longer line could not be read back by the next change.
    if (rebuilt.size() >= kAuthUsersSize ||
        SLIBFileSetLine(SZF_RSYNCD_CONF, (indent + std::string(kAuthUsersKey)).c_str(), rebuilt.c_str(),
                        OP_MATCH_BEGIN) != 1) {
        syslog(LOG_ERR, "%s %s(%d): SLIBFileSetLine(szFile=[%s], szKey=[auth users]) failed", kSrcSet, __func__,
               __LINE__, SZF_RSYNCD_CONF);
        return -1;
    }
    return 0;
}

// Writes line to a secrets file that does not exist yet; it is 0640 and
// owned by root and the service's group before the value is written.
int CreateSecrets(const std::string &line)
{
    // A part of a line would be a wrong value: a file not written whole goes again.
    slib::FileReplacer out(kSrcSet);
    if (!out.CreateNew(SZF_RSYNCD_SECRETS, RSYNCD_SECRETS_MODE)) {
        if (errno == EEXIST)
            return 1; // made meanwhile: written as an existing file
        syslog(LOG_ERR, "%s %s(%d): VAKOFOpen(%s, \"w\") failed! error_code[%d]=[%m]", kSrcSet,
               "NetBackupSetRsyncdSecrets", __LINE__, SZF_RSYNCD_SECRETS, errno);
        return -1;
    }
    if (!out.SetOwner(RSYNCD_SECRETS_UID, RSYNCD_SECRETS_GID) || !out.SetMode(RSYNCD_SECRETS_MODE) ||
        !out.Write(line) || !out.Write("\n") || !out.Finish()) {
        syslog(LOG_ERR, "%s: %s(%d) - writing %s failed! error_code[%d]=[%m]", kSrcSet, "NetBackupSetRsyncdSecrets",
               __LINE__, SZF_RSYNCD_SECRETS, errno);
        return -1;
    }
    return 0;
}

// Replaces the first line of name by line: 1 replaced, 0 none, -1 failure.
int ReplaceSecret(const char *name, const std::string &line)
{
    return SLIBFileSetLine(SZF_RSYNCD_SECRETS, SecretKey(name).c_str(), line.c_str(), OP_MATCH_BEGIN);
}

// The secrets step: the line "new:value", replacing the line of old (op 2)
// or of new (op 1), else appended.
int NetBackupSetRsyncdSecrets(const char *oldName, const char *newName, const char *value)
{
    if (!newName || !value) {
        syslog(LOG_ERR, "%s %s(%d) : bad argument", kSrcSet, __func__, __LINE__);
        return -1;
    }
    std::string line = std::string(newName) + ':' + value;
    struct stat st;
    if (stat(SZF_RSYNCD_SECRETS, &st) != 0) {
        if (errno != ENOENT) {
            syslog(LOG_ERR, "%s %s(%d): stat(%s) failed! error_code[%d]=[%m]", kSrcSet, __func__, __LINE__,
                   SZF_RSYNCD_SECRETS, errno);
            return -1;
        }
        int created = CreateSecrets(line);
        if (created <= 0)
            return created;
    }
    int result = 0;
    // An added account replaces a line left over under its name: the first
    // line of a name is the one read back.
    int replaced = ReplaceSecret(oldName ? oldName : newName, line);
    if (replaced < 0) {
        if (oldName)
            syslog(LOG_ERR, "%s %s(%d):can not set %s's password", kSrcSet, __func__, __LINE__, newName);
        else
            syslog(LOG_ERR, "%s %s(%d):can not add %s's password", kSrcSet, __func__, __LINE__, newName);
        result = -1;
    } else if (replaced == 0 && SLIBFileAddLine(SZF_RSYNCD_SECRETS, nullptr, line.c_str(), OP_FIND_PREFIX) != 1) {
        syslog(LOG_ERR, "%s %s(%d):can not add %s's password", kSrcSet, __func__, __LINE__, newName);
        result = -1;
    }
    // A failed write left the file as it was: its mode and owner too.
    if (result == 0)
        ProtectSecrets();
    return result;
}

void Pause(time_t sec)
{
    struct timespec ts = {sec, 0};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// The arguments op needs, each a name or value the files can hold.
bool SoundArguments(const char *oldName, const char *newName, const char *value, int op)
{
    switch (op) {
    case NETBKP_PASSWD_ADD:
    case NETBKP_PASSWD_MODIFY:
        if (op == NETBKP_PASSWD_MODIFY && !SoundName(oldName))
            return false;
        return SoundName(newName) && value && !strpbrk(value, "\r\n") &&
               strlen(AuthName(newName)) + 1 + strlen(value) <= RSYNCD_SECRET_LINE_MAX;
    case NETBKP_PASSWD_DELETE:
        return SoundName(oldName);
    default:
        return false;
    }
}

} // namespace

extern "C" {

int VAKONetBkpCryptPass(const char *plain, char *out, int cbOut)
{
    if (!plain || !out || cbOut < 0)
        return -1;
    memset(out, 0, static_cast<size_t>(cbOut));
    const char *hash = crypt(plain, kSalt);
    if (!hash || hash[0] == '*' || strlen(hash) != kCryptLen) {
        syslog(LOG_ERR, "%s(%d): crypt() failed!!", __func__, __LINE__);
        return -1;
    }
    // A cut hash would never match the password.
    if (static_cast<size_t>(cbOut) <= kCryptLen)
        return -1;
    memcpy(out, hash, kCryptLen + 1);
    return 0;
}

int VAKONetBackupGetServerPasswd(const char *user, char *out, int cbOut)
{
    return slib::Guarded(kSrcGet, -1, [&] {
        if (!user || !out || cbOut < 0)
            return -1;
        std::string_view name = AuthName(user);
        bool found = false;
        std::string kept; // the line of the name, kept past the reader
        if (!name.empty() && name.find_first_of(":\r\n") == std::string_view::npos) {
            slib::LineReader in(SZF_RSYNCD_SECRETS, kSrcGet);
            while (!found && in.Next()) {
                std::string_view l = in.text();
                found = !l.empty() && !IsComment(l[0]) && l.substr(0, name.size()) == name &&
                        (l.size() == name.size() || l[name.size()] == ':');
                if (found)
                    kept.assign(l);
            }
            if (!found)
                in.CheckEnd();
        }
        std::string_view line = kept;
        if (!found || line.size() > RSYNCD_SECRET_LINE_MAX) {
            syslog(LOG_ERR, "%s(%d):can not get rsync server password! ", kSrcGet, __LINE__);
            return -1;
        }
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            syslog(LOG_ERR, "%s(%d): %s format error! ", kSrcGet, __LINE__, SZF_RSYNCD_SECRETS);
            return -1;
        }
        // A cut value would be stored back cut by the next save.
        std::string_view value = line.substr(colon + 1);
        if (value.size() >= static_cast<size_t>(cbOut)) {
            syslog(LOG_ERR, "%s(%d):can not get rsync server password! ", kSrcGet, __LINE__);
            return -1;
        }
        memcpy(out, value.data(), value.size());
        out[value.size()] = '\0';
        return 0;
    });
}

int VAKONetBkpIsReservedName(const char *name)
{
    if (!name)
        return 0;
    return strcasecmp(name, kRootName) == 0 || strcasecmp(name, kAdminName) == 0 || strcasecmp(name, "rsync") == 0 ? 1
                                                                                                                   : 0;
}

int VAKONetBackupSetServerPasswd(const char *oldName, const char *newName, const char *value, int op)
{
    // fn: this function's name (a lambda's own is "operator()")
    return slib::Guarded(kSrcSet, -1, [&, fn = __func__] {
        if (!SoundArguments(oldName, newName, value, op)) {
            syslog(LOG_ERR, "%s %s(%d) : bad parameters", kSrcSet, fn, __LINE__);
            return -1;
        }
        const char *oldAuth = op == NETBKP_PASSWD_ADD ? nullptr : AuthName(oldName);
        const char *newAuth = op == NETBKP_PASSWD_DELETE ? nullptr : AuthName(newName);
        if (!RunScript("stop"))
            syslog(LOG_ERR, "%s %s(%d): failed to stop S84rsyncd.sh.", kSrcSet, fn, __LINE__);
        if (NetBackupSetAuthUser(oldAuth, newAuth, op) != 0)
            return -1;
        char line[kSecretsFileLineSize] = {};
        int got = SLIBFileGetLine(SZF_RSYNCD_CONF, kSecretsFileLine, line, sizeof line, 0);
        if (got < 0) {
            syslog(LOG_ERR, "%s %s(%d): SLIBFileGetLine(szFile=[%s], szKey=[%s]) failed", kSrcSet, fn, __LINE__,
                   SZF_RSYNCD_CONF, kSecretsFileLine);
            return -1;
        }
        if (got == 0 && SLIBFileAddLine(SZF_RSYNCD_CONF, nullptr, kSecretsFileLine, OP_FIND_PREFIX) != 1) {
            syslog(LOG_ERR, "%s %s(%d): SLIBFileAddLine(szFile=[%s], szLine=[%s]) failed", kSrcSet, fn, __LINE__,
                   SZF_RSYNCD_CONF, kSecretsFileLine);
            return -1;
        }
        if (op == NETBKP_PASSWD_DELETE) {
            if (NetBackupDelSecret(oldAuth) != 0)
                return -1;
        } else if (NetBackupSetRsyncdSecrets(op == NETBKP_PASSWD_MODIFY ? oldAuth : nullptr, newAuth, value) != 0) {
            return -1;
        }
        Pause(kRestartDelaySec);
        if (!RunScript("start"))
            syslog(LOG_ERR, "%s:%d(%s): failed to start S84rsyncd.sh.", kSrcSet, __LINE__, fn);
        return 0;
    });
}

int NetBackupDelSecret(const char *name)
{
    // fn: this function's name (a lambda's own is "operator()")
    return slib::Guarded(kSrcDel, -1, [&, fn = __func__] {
        if (!name)
            return -1;
        struct stat st;
        if (stat(SZF_RSYNCD_SECRETS, &st) != 0) {
            syslog(LOG_ERR, "%s %s(%d): stat(%s) failed! error_code[%d]=[%m]\n", kSrcDel, fn, __LINE__,
                   SZF_RSYNCD_SECRETS, errno);
            return -1;
        }
        std::string key = SecretKey(name);
        int r = SLIBFileSetLine(SZF_RSYNCD_SECRETS, key.c_str(), nullptr, OP_MATCH_BEGIN);
        if (r < 0) {
            syslog(LOG_ERR, "%s %s(%d): SLIBFileSetLine(szFile=[%s], szKey=[%s]) failed (Delete Failed)", kSrcDel, fn,
                   __LINE__, SZF_RSYNCD_SECRETS, key.c_str());
            return -1;
        }
        if (r == 1)
            ProtectSecrets();
        return 0;
    });
}

} // extern "C"
