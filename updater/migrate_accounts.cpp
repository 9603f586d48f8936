// Accounts and groups migration: the names the anonymous FTP service needs,
// the users' home directories, the per-user file and the accounts of the
// mail services.  Accounts and groups are looked up in the account files
// themselves, never through the name services of the system it runs on.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "migrate.h"
#include "slib/conf_read.h"
#include "slib/conf_write.h"
#include "slib/error.h"
#include "slib/str.h"
#include "slibcxx/border.h"
#include "slibcxx/fields.h"
#include "slibcxx/lines.h"
#include "slibcxx/raii.h"
#include "slibcxx/replace.h"
#include "vako/event_log.h"
#include "vako/group.h"
#include "vako/group_db.h"
#include "vako/group_op.h"
#include "vako/info.h"
#include "vako/user.h"
#include "vako/user_db.h"
#include "vako/user_op.h"
#include "vako/user_set.h"

namespace {

using UserOwner = slib::OwnedPtr<VAKOUSER, VAKOUserFree>;
using GroupOwner = slib::OwnedPtr<VAKOGROUP, VAKOGroupFree>;

// The mail addresses of the users, one key per user name.
constexpr char kMailKeys[] = "/etc/mail";
constexpr char kDownloadEnabled[] = "download_enabled";
constexpr char kFtp[] = "ftp";
constexpr char kAnonymous[] = "anonymous";

// Accounts above this uid may be user-made; at or below it they are the system's.
constexpr uint32_t kSystemUidMax = 1024;
constexpr uint32_t kGuestUid = 1025;
constexpr int kUserGid = 100;
constexpr int kMaxCopy = 127;     // ftp1 .. ftp127 for a user-made account
constexpr int kMaxGroupCopy = 63; // ftp1 .. ftp63 for a user-made group
constexpr int kCopyNameRoom = 64;
constexpr int kGroupNameRoom = 8;
constexpr int kLineRoom = 80;
constexpr int kHashRoom = 33;
constexpr int kHomeRoom = 4096;
constexpr int kDownloadRoom = 4;
constexpr int kMailRoom = 1024;
constexpr int kUserLineRoom = 1524;
constexpr int kPrivDownload = 11;
constexpr int kPrivNoDownload = 3;

constexpr uint32_t kEventGroupCopied = 0x11800602;
constexpr uint32_t kEventUserCopied = 0x11800e02;
constexpr int kEventLevel = 1;

// The lines the steps add to the account files.
constexpr char kFtpGroupLine[] = "ftp:x:21:nobody,ftp,nobody";
constexpr char kAnonymousPasswdLine[] = "anonymous:x:21:21:Anonymous FTP User:/nonexist:/sbin/nologin";
constexpr char kAnonymousShadowLine[] = "anonymous:*:10933:0:99999:7:::";
constexpr char kFtpPasswdLine[] = "ftp:x:21:21:Anonymous FTP User:/nonexist:/sbin/nologin";
constexpr char kFtpShadowLine[] = "ftp:*:10933:0:99999:7:::";

// A system group or account of the mail services and its lines.
struct MailEntry {
    const char *name;
    const char *line;
};
constexpr MailEntry kMailGroups[] = {
    {"postfix", "postfix:x:125:postfix"},
    {"maildrop", "maildrop:x:126:"},
    {"dovecot", "dovecot:x:143:dovecot"},
};
struct MailAccount {
    const char *name;
    const char *passwd;
    const char *shadow;
};
constexpr MailAccount kMailAccounts[] = {
    {"postfix", "postfix:x:125:125:Postfix User:/nonexist:/sbin/nologin", "postfix:*:10933:0:99999:7:::"},
    {"dovecot", "dovecot:x:143:143:Dovecot User:/nonexist:/sbin/nologin", "dovecot:*:10933:0:99999:7:::"},
};

// The fields of a line split at every ':'.
std::vector<std::string_view> Fields(std::string_view line) { return slib::ColonFields(line); }

// A uid or gid field as the C library reads it: decimal digits, a leading
// '-' taken modulo 2^32 ("-1" is 4294967295); false for anything else.
bool IdField(std::string_view text, uint32_t *pId)
{
    bool negative = !text.empty() && text[0] == '-';
    if (negative)
        text.remove_prefix(1);
    uint32_t v;
    if (!slib::DecimalU32(text, &v))
        return false;
    *pId = negative ? 0 - v : v;
    return true;
}

// Lines of an account file that are no entries: blank ones and comments.
bool IsComment(std::string_view line)
{
    size_t first = line.find_first_not_of(" \t");
    return first == std::string_view::npos || line[first] == '#';
}

enum class Found { kYes, kNo, kError };

// Looks up the entry of `name` in /etc/passwd or /etc/group as the C
// library's file lookup reads them (comments, blank lines and lines without
// a number in the third field are no entries), its id in *pId. A missing
// file holds no entry; one that cannot be read is an error (logged), never
// taken for an absent name.
Found LookUp(const char *file, const char *name, uint32_t *pId = nullptr)
{
    slib::LineReader in(file);
    if (!in.ok()) {
        if (errno == ENOENT)
            return Found::kNo;
        syslog(LOG_ERR, "%s:%d open %s failed. errno:%d, message:%m", UPDT_SOURCE_FILE, __LINE__, file, errno);
        return Found::kError;
    }
    while (in.Next()) {
        std::string_view line = in.text();
        if (IsComment(line))
            continue;
        std::vector<std::string_view> f = Fields(line);
        uint32_t id;
        if (f.size() < 3 || f[0] != name || !IdField(f[2], &id))
            continue;
        if (pId)
            *pId = id;
        return Found::kYes;
    }
    if (!in.Failed())
        return Found::kNo;
    syslog(LOG_ERR, "%s:%d read %s failed. errno:%d, message:%m", UPDT_SOURCE_FILE, __LINE__, file, errno);
    return Found::kError;
}

// The first of name1 .. name<last> that no entry of file holds, into out
// (room bytes): 1 found, 0 all taken, -1 (logged) a name that does not fit
// or a file that cannot be read.
int FreeCopyName(const char *file, const char *name, int last, char *out, int room)
{
    for (int n = 1; n <= last; n++) {
        int len = snprintf(out, static_cast<size_t>(room), "%s%d", name, n);
        // A name cut to fit would be another name.
        if (len < 0 || len >= room) {
            syslog(LOG_ERR, "%s:%d %s%d is too long a name.", UPDT_SOURCE_FILE, __LINE__, name, n);
            return -1;
        }
        Found f = LookUp(file, out);
        if (f == Found::kError)
            return -1;
        if (f == Found::kNo)
            return 1;
    }
    return 0;
}

// The shadow file holds password hashes: one the steps add lines to is
// made readable by root alone before the first line is written.
bool ShadowReady()
{
    slib::Fd fd(open(SZF_SHADOW, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.ok())
        return fchmod(fd.get(), 0600) == 0;
    return errno == EEXIST;
}

// Adds line as the file's new first line: true, or false.
bool AddLine(const char *file, const char *line)
{
    char buf[kLineRoom];
    int len = snprintf(buf, sizeof buf, "%s", line);
    if (len < 0 || len >= kLineRoom)
        return false;
    if (strcmp(file, SZF_SHADOW) == 0 && !ShadowReady())
        return false;
    return SLIBFileAddLine(file, nullptr, buf, 0) > 0;
}

// How a failed addition to each file is logged; the FTP step names the
// shadow file in a message of its own form.
enum class AddStep { kFtp, kMail };

void LogAddFailed(AddStep step, int line, const char *file)
{
    if (strcmp(file, SZF_SHADOW) == 0 && step == AddStep::kFtp)
        syslog(LOG_ERR, "%s (%d) Failed to SLIBFileAddLine in to %s.", UPDT_SOURCE_FILE, line, file);
    else
        syslog(LOG_ERR, "%s:%d Failed to SLIBFileAddLine in to %s.", UPDT_SOURCE_FILE, line, file);
}

// An entry that the file lacks is added: true when it is there now
// (failures logged).
bool AddIfMissing(AddStep step, const char *file, const char *name, const char *line)
{
    Found f = LookUp(file, name);
    if (f != Found::kNo)
        return f == Found::kYes;
    if (AddLine(file, line))
        return true;
    LogAddFailed(step, __LINE__, file);
    return false;
}

// An account that the account files lack gets its passwd line, then its
// shadow line: true when both are there now (failures logged).
bool AddAccountIfMissing(AddStep step, const char *name, const char *passwd, const char *shadow)
{
    Found f = LookUp(SZF_PASSWD, name);
    if (f != Found::kNo)
        return f == Found::kYes;
    if (!AddLine(SZF_PASSWD, passwd)) {
        LogAddFailed(step, __LINE__, SZF_PASSWD);
        return false;
    }
    if (!AddLine(SZF_SHADOW, shadow)) {
        LogAddFailed(step, __LINE__, SZF_SHADOW);
        return false;
    }
    return true;
}

// A user-made group "ftp" is copied under the first free name ftp<n>; the
// copy's own failure is no failure of the step. false when the step fails.
bool CopyUserFtpGroup()
{
    uint32_t gid = 0;
    Found f = LookUp(SZF_GROUP, kFtp, &gid);
    if (f == Found::kError)
        return false;
    if (f == Found::kNo || gid <= kSystemUidMax)
        return true;
    char newName[kGroupNameRoom];
    if (FreeCopyName(SZF_GROUP, kFtp, kMaxGroupCopy, newName, sizeof newName) != 1)
        return false;
    PVAKOGROUP raw = nullptr;
    int r = VAKOGroupGet(kFtp, &raw);
    GroupOwner group(raw);
    if (r != 0) {
        syslog(LOG_ERR, "%s (%d) Failed to VAKOGroupGet() group [ftp].", UPDT_SOURCE_FILE, __LINE__);
        return false;
    }
    group->szName = newName;
    if (VAKOGroupSet(nullptr, group.get()) == 0)
        VAKOLogSet1(VAKOLOG_CLASS_SYS2, kEventLevel, kEventGroupCopied, kFtp, newName, "", "");
    return true;
}

bool AddFTPAccounts()
{
    if (!CopyUserFtpGroup())
        return false;
    if (RenameConflictUser(kFtp) < 0 || RenameConflictUser(kAnonymous) < 0)
        return false;
    return AddIfMissing(AddStep::kFtp, SZF_GROUP, kFtp, kFtpGroupLine) &&
           AddAccountIfMissing(AddStep::kFtp, kAnonymous, kAnonymousPasswdLine, kAnonymousShadowLine) &&
           AddAccountIfMissing(AddStep::kFtp, kFtp, kFtpPasswdLine, kFtpShadowLine);
}

// A text file replaced whole through the kit's replacer: a temporary file
// beside it, readable by root alone until it is complete and on disk, then
// given its mode, takes the file's place. The steps' callers never saw a
// code of their own.
class Rewrite {
public:
    explicit Rewrite(const char *target) : target_(target), out_(nullptr) {}

    enum class Opened { kYes, kNoTemp, kNoStream };
    // The temporary file and a stream on it, given mode once it is whole;
    // errno tells why not.
    Opened Open(mode_t mode)
    {
        if (!out_.CreateUnique(target_))
            return out_.failed() == slib::FileReplacer::Step::kStream ? Opened::kNoStream : Opened::kNoTemp;
        out_.ModeWhenWhole(mode);
        return Opened::kYes;
    }
    FILE *out() { return out_.stream(); }
    // Flushes, syncs and closes the temporary file, then renames it over
    // the file: true, or false (logged; the file as it was).
    bool Commit(const char *what)
    {
        if (!out_.Finish()) {
            using Step = slib::FileReplacer::Step;
            const Step step = out_.failed();
            const char *failed = step == Step::kSync         ? "fsync"
                                 : step == Step::kAttributes ? "fchmod"
                                 : step == Step::kClose      ? "fclose"
                                                             : "fflush";
            syslog(LOG_ERR, "%s:%d %s failed. errno:%d, message:%m", UPDT_SOURCE_FILE, __LINE__, failed, errno);
            return false;
        }
        if (!out_.RenameOver(target_)) {
            syslog(LOG_ERR, "%s:%d rename %s failed. errno:%d, message:%m", UPDT_SOURCE_FILE, __LINE__, what, errno);
            return false;
        }
        return true;
    }

private:
    const char *target_;
    slib::FileReplacer out_;
};

bool Put(FILE *out, std::string_view text) { return fwrite(text.data(), 1, text.size(), out) == text.size(); }

// One line of /etc/passwd into the new file: a domain entry is dropped, a
// user's entry gets its home under the homes folder, anything else is
// copied as it stands. false when the write failed.
bool RewriteHome(FILE *out, std::string_view line, bool ended)
{
    std::vector<std::string_view> f = Fields(line);
    uint32_t uid, gid;
    if (IsComment(line) || f.size() != 7 || !IdField(f[2], &uid) || !IdField(f[3], &gid))
        return Put(out, line) && (!ended || Put(out, "\n"));
    if (f[0].find('\\') != std::string_view::npos)
        return true;
    std::string home(f[5]);
    if (uid == kSystemUidMax || uid > kGuestUid) {
        if (sizeof SZD_USER_HOMES + f[0].size() < kHomeRoom)
            home = std::string(SZD_USER_HOMES) + "/" + std::string(f[0]);
        else
            // Never a home cut short: the old one stays.
            syslog(LOG_ERR, "%s:%d home of [%.*s] does not fit, left as it is.", UPDT_SOURCE_FILE, __LINE__,
                   static_cast<int>(f[0].size()), f[0].data());
    }
    std::string entry;
    for (size_t i = 0; i < f.size(); i++)
        entry.append(i == 0 ? "" : ":").append(i == 5 ? std::string_view(home) : f[i]);
    entry += '\n';
    return Put(out, entry);
}

bool RewritePasswdHomes()
{
    Rewrite rw(SZF_PASSWD);
    switch (rw.Open(0644)) {
    case Rewrite::Opened::kYes:
        break;
    case Rewrite::Opened::kNoTemp:
        syslog(LOG_ERR, "%s:%d mkstemp passwd tmpfile failed. errno:%d, message:%m", UPDT_SOURCE_FILE, __LINE__, errno);
        return false;
    case Rewrite::Opened::kNoStream:
        syslog(LOG_ERR, "%s:%d open passwd tmpfile failed. errno:%d, message:%m", UPDT_SOURCE_FILE, __LINE__, errno);
        return false;
    }
    // Every entry or none: a file that cannot be read whole stays as it is.
    slib::LineReader in(SZF_PASSWD);
    if (!in.ok()) {
        syslog(LOG_ERR, "%s:%d open %s failed. errno:%d, message:%m", UPDT_SOURCE_FILE, __LINE__, SZF_PASSWD, errno);
        return false;
    }
    while (in.Next()) {
        if (!RewriteHome(rw.out(), in.text(), in.EndsInNewline())) {
            syslog(LOG_ERR, "%s:%d write passwd tmpfile failed. errno:%d, message:%m", UPDT_SOURCE_FILE, __LINE__,
                   errno);
            return false;
        }
    }
    if (in.Failed()) {
        syslog(LOG_ERR, "%s:%d read %s failed. errno:%d, message:%m", UPDT_SOURCE_FILE, __LINE__, SZF_PASSWD, errno);
        return false;
    }
    return rw.Commit("passwd");
}

// The mail text of a user as the key reader gives it: the value of its key
// in the mail key file, "" when there is none or it cannot be read whole
// (logged).
std::string MailOfRead(const char *name)
{
    char mail[kMailRoom] = "";
    int r = SLIBFileGetKeyValue(kMailKeys, name, mail, sizeof mail, 0);
    if (r < 0) {
        syslog(LOG_ERR, "%s:%d SLIBFileGetKeyValue failed. vakoerr=[0x%04X]", UPDT_SOURCE_FILE, __LINE__,
               SLIBErrorGet());
        return "";
    }
    return r > 0 ? mail : "";
}

// The mail key file read once for all users, each key's value taken as the
// key reader takes it: the first line of a key decides, and one without a
// value makes the key absent.  Whatever the reader would refuse or report
// (no regular file, a read error, a value too long for the line) is left
// to the reader itself, user by user.
class MailKeys {
public:
    std::string Of(const char *name)
    {
        if (state_ == State::kUnread)
            state_ = Load() ? State::kRead : State::kPerUser;
        if (state_ == State::kPerUser)
            return MailOfRead(name);
        auto it = keys_.find(name);
        if (it == keys_.end() || !it->second)
            return "";
        if (it->second->size() + 1 > static_cast<size_t>(kMailRoom))
            return MailOfRead(name);
        return *it->second;
    }

private:
    enum class State { kUnread, kRead, kPerUser };

    bool Load()
    {
        slib::Fd fd(open(kMailKeys, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        struct stat st;
        if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
            return false;
        slib::FilePtr fp(fdopen(fd.get(), "r"));
        if (!fp)
            return false;
        fd.release();
        // Out of memory: the reader, user by user (no code recorded).
        return slib::Guarded(nullptr, false, [&] {
            slib::LineReader in(fp.get());
            while (const char *line = in.Next())
                Add(line); // up to a NUL byte, as the reader sees the line
            return !in.Failed();
        });
    }

    // The key and value of one line, as the key reader matches and takes them.
    void Add(std::string line)
    {
        if (line[0] == '#' || line[0] == ';')
            return;
        char *cursor = line.data();
        char *tok = SLIBStrSepSkipEmpty(&cursor, "=");
        if (!tok)
            return;
        std::string key(strlen(tok) + 1, '\0');
        if (SLIBStrTrimSpace(tok, key.data()) < 0)
            return;
        key.resize(strlen(key.c_str()));
        if (keys_.count(key))
            return;
        std::optional<std::string> value;
        if (cursor) {
            cursor[strcspn(cursor, "\n")] = '\0';
            if (*cursor) {
                SLIBStrTrimSpace(cursor, nullptr);
                value = cursor;
            }
        }
        keys_.emplace(std::move(key), std::move(value));
    }

    State state_ = State::kUnread;
    std::unordered_map<std::string, std::optional<std::string>> keys_;
};

// The lines of the users into out: true, or false when a write failed (logged).
bool WriteUserLines(FILE *out, const VAKOLOCALUSERINFO *users, int priv)
{
    MailKeys mail;
    for (const VAKOLOCALUSERINFO *u = users; u; u = u->pNext) {
        if (u->uid <= static_cast<int>(kGuestUid))
            continue;
        char line[kUserLineRoom];
        int len = snprintf(line, sizeof line, "%s:%d:%s\n", u->szName, priv, mail.Of(u->szName).c_str());
        if (len < 0 || len >= kUserLineRoom) {
            syslog(LOG_ERR, "%s:%d the line of [%s] does not fit, left out.", UPDT_SOURCE_FILE, __LINE__, u->szName);
            continue;
        }
        if (fputs(line, out) < 0) {
            syslog(LOG_ERR, "%s:%d fprintf failed. errno:%d, message:%m", UPDT_SOURCE_FILE, __LINE__, errno);
            return false;
        }
    }
    return true;
}

bool CreateUserConf()
{
    Rewrite rw(SZF_VAKOUSER_CONF);
    if (rw.Open(0644) != Rewrite::Opened::kYes) {
        syslog(LOG_ERR, "%s:%d get user uid failed. errno=%d", UPDT_SOURCE_FILE, __LINE__, errno);
        return false;
    }
    char download[kDownloadRoom] = "";
    if (SLIBFileGetKeyValue(SZF_VAKO_INFO, kDownloadEnabled, download, sizeof download, 0) < 0) {
        syslog(LOG_ERR, "%s:%d SLIBFileGetKeyValue failed. vakoerr=[0x%04X]", UPDT_SOURCE_FILE, __LINE__,
               SLIBErrorGet());
        download[0] = '\0';
    }
    int priv = strcmp(download, "yes") == 0 ? kPrivDownload : kPrivNoDownload;
    VAKOLOCALUSERINFO *users = nullptr;
    if (VAKOLocalUserInfoEnum(&users) < 0) {
        syslog(LOG_ERR, "%s:%d VAKOLocalUserInfoEnum failed. vakoerr=[0x%04X]", UPDT_SOURCE_FILE, __LINE__,
               SLIBErrorGet());
        return false;
    }
    bool written = WriteUserLines(rw.out(), users, priv);
    VAKOLocalUserInfoFree(&users);
    return written && rw.Commit("vakouser.conf");
}

bool AddMailUsers()
{
    for (const MailEntry &g : kMailGroups)
        if (!AddIfMissing(AddStep::kMail, SZF_GROUP, g.name, g.line))
            return false;
    for (const MailAccount &a : kMailAccounts)
        if (!AddAccountIfMissing(AddStep::kMail, a.name, a.passwd, a.shadow))
            return false;
    return true;
}

// Copies the user-made account `name` under newName: 0, or -1 (logged).
int CopyAccount(const char *name, const char *newName)
{
    PVAKOUSER raw = nullptr;
    int r = VAKOUserGet(name, &raw);
    UserOwner old(raw);
    if (r != 0) {
        syslog(LOG_ERR, "%s (%d) Failed to VAKOUserGet() user [%s].", UPDT_SOURCE_FILE, __LINE__, name);
        return -1;
    }
    char lm[kHashRoom], nt[kHashRoom];
    if (VAKOUserGetSmbPasswd(name, lm, sizeof lm, nt, sizeof nt) != 0) {
        syslog(LOG_ERR, "%s (%d) Failed to VAKOUserGetSmbPasswd() user [%s].", UPDT_SOURCE_FILE, __LINE__, name);
        return -1;
    }
    PVAKOUSER rawCopy = nullptr;
    if (VAKOUserAlloc(&rawCopy, newName, nullptr, -1, kUserGid, old->szDesc, nullptr, nullptr, old->expire, 0, nullptr,
                      0) != 0) {
        syslog(LOG_ERR, "%s (%d) Failed to VAKOUserAlloc() user [%s].", UPDT_SOURCE_FILE, __LINE__, newName);
        return -1;
    }
    UserOwner copy(rawCopy);
    copy->type = 0;
    if (VAKOUserSet(nullptr, copy.get()) == 0)
        VAKOLogSet1(VAKOLOG_CLASS_SYS2, kEventLevel, kEventUserCopied, name, newName, "", "");
    // The copy keeps the old account's password and SMB hashes.
    PVAKOUSER users[] = {copy.get()};
    char *crypted[] = {old->szPasswd};
    char *lms[] = {lm};
    char *nts[] = {nt};
    if (VAKOUserSetPasswd(users, crypted, lms, nts, 1) != 0) {
        syslog(LOG_ERR, "%s (%d) Failed to VAKOUserSetPasswd() user [%s].", UPDT_SOURCE_FILE, __LINE__, name);
        return -1;
    }
    return 0;
}

} // namespace

extern "C" {

int RenameConflictUser(const char *name)
{
    if (!name)
        return -1;
    uint32_t uid = 0;
    Found f = LookUp(SZF_PASSWD, name, &uid);
    if (f == Found::kError)
        return -1;
    if (f == Found::kNo || uid <= kSystemUidMax)
        return 0;
    char newName[kCopyNameRoom];
    if (FreeCopyName(SZF_PASSWD, name, kMaxCopy, newName, sizeof newName) != 1)
        return -1;
    return CopyAccount(name, newName);
}

int UPDTAddFTPAccounts(void)
{
    if (AddFTPAccounts())
        return 0;
    syslog(LOG_ERR, "%s (%d) Failed to add ftp user/group.", UPDT_SOURCE_FILE, __LINE__);
    return -1;
}

int UPDTRewritePasswdHomes(void)
{
    if (RewritePasswdHomes())
        return 0;
    syslog(LOG_ERR, "%s(%d) Rewrite /etc/passwd user home failed.", UPDT_SOURCE_FILE, __LINE__);
    return -1;
}

int UPDTCreateUserConf(void)
{
    bool ok = CreateUserConf();
    if (chmod(SZF_VAKOUSER_CONF, 0644) != 0)
        syslog(LOG_ERR, "%s:%d fchmod failed. errno:%d, message:%m", UPDT_SOURCE_FILE, __LINE__, errno);
    if (ok)
        return 0;
    syslog(LOG_ERR, "%s(%d) Create /etc/vakouser failed.", UPDT_SOURCE_FILE, __LINE__);
    return -1;
}

int UPDTAddMailUsers(void)
{
    if (AddMailUsers())
        return 0;
    syslog(LOG_ERR, "%s(%d) Create mailvane users failed.", UPDT_SOURCE_FILE, __LINE__);
    return -1;
}

} // extern "C"
