// The user database: five keyed files built from the account text files,
// checked and rebuilt through the shared cache procedure, dumped back.
#include "vako/user_db.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <string>
#include <unordered_set>
#include <vector>

#include "slib/error.h"
#include "slib/unicode.h"
#include "slibcxx/border.h"
#include "slibcxx/lines.h"
#include "slibcxx/raii.h"
#include "slibcxx/replace.h"
#include "user_internal.h"
#include "vako/service.h"

namespace {

// Files in the order they are opened, checked and renamed.
enum { kName, kMisc, kShadow, kSmb, kUid, kFileCount };

constexpr const char *kSuffix[kFileCount] = {SZF_USER_DB_NAME, SZF_USER_DB_MISC, SZF_USER_DB_SHADOW, SZF_USER_DB_SMB,
                                             SZF_USER_DB_UID};

// The password hashes are root's alone, as in their text files; the rest
// may be read as the world-readable passwd and vakouser.conf are.
constexpr VAKOBDBCACHEFILE kCacheFiles[kFileCount] = {
    {SZF_USER_DB_PREFIX SZF_USER_DB_NAME, SZF_USER_DB_TMP_PREFIX SZF_USER_DB_NAME, SZF_PASSWD, 0, VAKO_BDB_MODE},
    {SZF_USER_DB_PREFIX SZF_USER_DB_MISC, SZF_USER_DB_TMP_PREFIX SZF_USER_DB_MISC, SZF_VAKOUSER_CONF, 0, VAKO_BDB_MODE},
    {SZF_USER_DB_PREFIX SZF_USER_DB_SHADOW, SZF_USER_DB_TMP_PREFIX SZF_USER_DB_SHADOW, SZF_SHADOW, 0,
     VAKO_BDB_SECRET_MODE},
    {SZF_USER_DB_PREFIX SZF_USER_DB_SMB, SZF_USER_DB_TMP_PREFIX SZF_USER_DB_SMB, SZF_SMBPASSWD, 0,
     VAKO_BDB_SECRET_MODE},
    {SZF_USER_DB_PREFIX SZF_USER_DB_UID, SZF_USER_DB_TMP_PREFIX SZF_USER_DB_UID, nullptr, 1, VAKO_BDB_MODE},
};

constexpr char kMiscComment[] = "# record user misc, format \"user_name:user_privilege:user_mail\"";

constexpr int kPasswdKeySize = 493;
constexpr int kLineKeySize = 492;
constexpr int kDomainKeySize = 984;
constexpr int kWinsSize = 1024;
constexpr long long kUidMax = 4294967295LL;

// The operations' own source names: log prefixes and the file recorded with
// an error code.
constexpr const char *kSrcOpen = "user_db_open";
constexpr const char *kSrcBuild = "user_db_build";
constexpr const char *kSrcDomain = "user_db_domain_build";
constexpr const char *kSrcCheck = "user_db_check_and_rebuild";
constexpr const char *kSrcRebuild = "user_db_rebuild";
constexpr const char *kSrcSyncTime = "user_db_conf_sync_time_set";
constexpr const char *kSrcDump = "user_db_dump";
constexpr const char *kSrcRename = "user_rename_tmp_files";
constexpr const char *kSrcRemove = "user_remove_tmp_files";

#define USER_ERR(src, code) SLIBErrorSetEx((code), (src), __LINE__)

using keydb_internal::CutLineEnd;
using slib::LineReader;
using user_internal::Buf;
using user_internal::kUidKeySize;
using user_internal::Put;
using user_internal::Stored;
using user_internal::UidKey;

VAKOBDB *&FileOf(VAKOUSERDB *db, int idx)
{
    switch (idx) {
    case kName:
        return db->pPWDName;
    case kMisc:
        return db->pPWDVakoser;
    case kShadow:
        return db->pPWDShadow;
    case kSmb:
        return db->pPWDSMB;
    default:
        return db->pPWDUID;
    }
}

// Upper-cases a name into a key buffer of cb bytes: its length, or -1
// (logged; 0x1A00 when the key does not fit).
int UpperKey(const char *name, char *key, int cb, const char *file, int line)
{
    int n = SLIBUnicodeUTF8StrUpper(name, key, cb);
    if (n >= cb) {
        *key = '\0';
        SLIBErrorSetEx(VAKO_ERR_INVALID_NAME, file, line);
        n = -1;
    }
    if (n < 0)
        syslog(LOG_ERR, "%s:%d SLIBUnicodeUTF8StrUpper failed [%s]", file, line, name);
    return n;
}

// A uid field: decimal digits only, within the range of a uid.
bool ParseUid(const char *field, size_t len, int *pUid)
{
    if (len == 0 || len > 10)
        return false;
    long long v = 0;
    for (size_t i = 0; i < len; i++) {
        if (field[i] < '0' || field[i] > '9')
            return false;
        v = v * 10 + (field[i] - '0');
    }
    if (v > kUidMax)
        return false;
    *pUid = static_cast<int>(static_cast<uint32_t>(v));
    return true;
}

int UserDBPasswdBuild(VAKOUSERDB *pDb)
{
    if (!pDb->pPWDName || !pDb->pPWDUID) {
        USER_ERR(kSrcBuild, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    LineReader in(SZF_PASSWD);
    if (!in.ok()) {
        USER_ERR(kSrcBuild, SLIB_ERR_OPEN);
        return -1;
    }
    // Keys met so far (a lookup in the file would record an error for each
    // new name, and a recorded error is costly).
    std::unordered_set<std::string> seen;
    while (char *line = in.Next()) {
        if (line[0] == '#')
            continue;
        CutLineEnd(line);
        const char *c1 = strchr(line, ':');
        const char *c2 = c1 ? strchr(c1 + 1, ':') : nullptr;
        const char *c3 = c2 ? strchr(c2 + 1, ':') : nullptr;
        if (!c3) {
            syslog(LOG_ERR, "%s:%d %s format error, user name = %s", kSrcBuild, __LINE__, SZF_PASSWD, line);
            continue;
        }
        int uid;
        if (!ParseUid(c2 + 1, static_cast<size_t>(c3 - c2 - 1), &uid)) {
            syslog(LOG_ERR, "%s:%d %s uid error, user name = %.*s", kSrcBuild, __LINE__, SZF_PASSWD,
                   static_cast<int>(c1 - line), line);
            USER_ERR(kSrcBuild, VAKO_ERR_BAD_FORMAT);
            return -1;
        }
        std::string name(line, static_cast<size_t>(c1 - line));
        char key[kPasswdKeySize];
        int cbKey = UpperKey(name.c_str(), key, sizeof key, kSrcBuild, __LINE__);
        if (cbKey < 0)
            return -1;
        cbKey += 1;
        // A name twice would be written twice by the next dump, the first
        // account lost: refuse the file instead.
        if (!seen.insert(key).second) {
            syslog(LOG_ERR, "%s:%d %s user name twice, user name = %s", kSrcBuild, __LINE__, SZF_PASSWD, name.c_str());
            USER_ERR(kSrcBuild, VAKO_ERR_USER_EXISTS);
            return -1;
        }
        char uidKey[kUidKeySize];
        if (Put(pDb->pPWDName, key, cbKey, line) != 0 || Put(pDb->pPWDUID, uidKey, UidKey(uid, uidKey), key) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOBDbSet() failed! vakoerr=0x%04X", kSrcBuild, __LINE__, SLIBErrorGet());
            return -1;
        }
    }
    if (!in.AtEnd()) {
        syslog(LOG_ERR, "%s:%d feof failed. errno=%d/%m", kSrcBuild, __LINE__, errno);
        USER_ERR(kSrcBuild, SLIB_ERR_READ);
        return -1;
    }
    return 0;
}

int UserDBNextUidBuild(VAKOUSERDB *pDb)
{
    if (!pDb->pPWDUID) {
        USER_ERR(kSrcBuild, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    return keydb_internal::LastIdBuild(pDb->pPWDUID, SZF_VAKOUSER_CONF, SZ_UID_INDEX_MARKER, VAKO_UID_FIRST,
                                       VAKO_UID_LAST, SZK_BDB_CURRENT_UID, CB_BDB_CURRENT_UID, kSrcBuild);
}

int OpenSet(void **ppDb, int bTmp)
{
    VAKOUSERDB *db = static_cast<VAKOUSERDB *>(*ppDb);
    int r = VAKOUserDBOpenFile(&db, bTmp ? SZF_USER_DB_TMP_PREFIX : SZF_USER_DB_PREFIX);
    *ppDb = db;
    return r;
}

void CloseSet(void *pDb) { VAKOUserDBClose(static_cast<VAKOUSERDB *>(pDb)); }

VAKOBDB *FileAt(void *pDb, int idx) { return pDb ? FileOf(static_cast<VAKOUSERDB *>(pDb), idx) : nullptr; }

// The dump's temporary files, in the order they are made and flushed.
enum { kTmpPasswd, kTmpShadow, kTmpMisc, kTmpSmb, kTmpCount };

struct TmpFile {
    const char *tmp;
    const char *target;
    mode_t mode; // as created
    bool secret; // holds password hashes: never readable by others
};

constexpr TmpFile kTmpFiles[kTmpCount] = {
    {SZF_PASSWD SZF_TMP_SUFFIX, SZF_PASSWD, 0666, false},
    {SZF_SHADOW SZF_TMP_SUFFIX, SZF_SHADOW, 0600, true},
    {SZF_VAKOUSER_CONF SZF_TMP_SUFFIX, SZF_VAKOUSER_CONF, 0666, false},
    {SZF_SMBPASSWD SZF_TMP_SUFFIX, SZF_SMBPASSWD, 0600, true},
};

// The order in which they are moved into place and removed.
constexpr int kMoveOrder[kTmpCount] = {kTmpSmb, kTmpShadow, kTmpPasswd, kTmpMisc};

// The temporary files of a dump: each made anew (never one left behind,
// whose mode could be anything), with the mode it must have from the first
// byte on; removed again unless the dump hands them to the renames.
using TmpFiles = std::array<slib::FileReplacer, kTmpCount>;

bool CreateTmp(const TmpFile &t, slib::FileReplacer &out)
{
    return out.CreateFixed(t.tmp, t.mode) && (!t.secret || out.SetMode(t.mode));
}

// Writes a stored line and its line end.
bool WriteLine(slib::FileReplacer &out, std::string_view line) { return out.Write(line) && out.Write("\n", 1); }

// The records of one account (key of cbKey bytes) into the temporary files.
// false on a write error or a read that failed for another reason than an
// absent record.
bool DumpAccount(VAKOUSERDB *db, const char *key, int cbKey, TmpFiles &out, Buf &value)
{
    struct Part {
        VAKOBDB *bdb;
        int tmp;
        const char *missing; // logged when absent, else passed over silently
    } parts[] = {
        {db->pPWDName, kTmpPasswd, "%s:%d VAKOBDbGet(pUserDb->pPWDName) [%s] failed. vakoerr=0x%04X"},
        {db->pPWDShadow, kTmpShadow, "%s:%d VAKOBDbGet(pUserDb->pPWDShadow) [%s] failed. vakoerr=0x%04X"},
        {db->pPWDVakoser, kTmpMisc, nullptr},
        {db->pPWDSMB, kTmpSmb, nullptr},
    };
    for (const Part &part : parts) {
        if (VAKOBDbGet(part.bdb, key, cbKey, &value.p, &value.cb) != 0) {
            int code = SLIBErrorGet();
            if (part.missing)
                syslog(LOG_ERR, part.missing, kSrcDump, __LINE__, key, code);
            if (code != SLIB_ERR_NOT_FOUND)
                return false;
            continue;
        }
        if (!WriteLine(out[part.tmp], Stored(value)))
            return false;
    }
    return true;
}

// Walks the uid file in key order and writes every local account.
bool DumpAccounts(VAKOUSERDB *db, TmpFiles &out)
{
    if (VAKOBDbCursorSetType(db->pPWDUID, VAKO_BDB_CURSOR_FIRST) != 0) {
        syslog(LOG_ERR, "%s:%d VAKOBDbCursorSetType() failed, vakoerr=0x%04X", kSrcDump, __LINE__, SLIBErrorGet());
        return false;
    }
    Buf key, name, value;
    bool first = true;
    while (VAKOBDbCursorGet(db->pPWDUID, 1, &key.p, &key.cb, &name.p, &name.cb) == 0) {
        if (first) {
            first = false;
            if (VAKOBDbCursorSetType(db->pPWDUID, VAKO_BDB_CURSOR_NEXT) != 0) {
                syslog(LOG_ERR, "%s:%d VAKOBDbCursorSetType() failed. vakoerr=0x%04X", kSrcDump, __LINE__,
                       SLIBErrorGet());
                return false;
            }
        }
        // Domain accounts live in the name file only and are never written back.
        if (memchr(name.p, '\\', static_cast<size_t>(name.cb)))
            continue;
        // A key of its own, NUL-terminated for the messages.
        std::string k(static_cast<const char *>(name.p), static_cast<size_t>(name.cb));
        if (!DumpAccount(db, k.c_str(), name.cb, out, value))
            return false;
    }
    if (SLIBErrorGet() != SLIB_ERR_END_OF_ENUM) {
        syslog(LOG_ERR, "%s:%d VAKOBDbCursorGet() failed! vakoerr=0x%04X", kSrcDump, __LINE__, SLIBErrorGet());
        return false;
    }
    return true;
}

// Flush, sync and close of every temporary file, in order. Renamed into
// place before it is on the disk, a file could be lost whole by a power
// failure: a failed sync fails the dump.
bool FinishTmpFiles(TmpFiles &out)
{
    for (slib::FileReplacer &f : out) {
        if (f.Finish())
            continue;
        const char *what = f.failed() == slib::FileReplacer::Step::kSync    ? "fsync()"
                           : f.failed() == slib::FileReplacer::Step::kClose ? "fclose"
                                                                            : "fflush";
        syslog(LOG_ERR, "%s:%d %s failed!! errno=%d/%m", kSrcDump, __LINE__, what, errno);
        return false;
    }
    return true;
}

// The domain's names are keyed like the local ones.
int DomainUpperKey(const char *src, const char *name, char *key, int cb)
{
    return UpperKey(name, key, cb, src, __LINE__);
}

} // namespace

extern "C" {

const VAKOBDBCACHE gVakoUserDbCache = {
    .nFile = kFileCount,
    .rgFile = kCacheFiles,
    .bMarkOldSet = 1,
    .pfnOpenSet = OpenSet,
    .pfnCloseSet = CloseSet,
    .pfnFile = FileAt,
    .szRebuildLock = VAKO_USER_DB_REBUILD_LOCK,
    .szSrcOpen = kSrcOpen,
    .szSrcCheck = kSrcCheck,
    .szSrcRebuild = kSrcRebuild,
    .rgFlagOrder = nullptr,
    .rgRenameOrder = nullptr,
    .szLogRebuildFailed = "%s:%d VAKOUserDBRebuild failed, vakoerr=0x%04X",
    .szLogReopenFailed = "%s:%d VAKOUserDBOpenFile() Error, SLIBError=(0x%04X)",
    .szLogOldSetFailed = "%s:%d VAKOUserDBOpenFile(&pUserDbOld) Error, SLIBError=(0x%04X)",
    .szLogRenameFailed = "%s:%d rename(%s, %s) = (%d)/%m",
    .reopenFailCode = 0,
};

void VAKOUserDBClose(VAKOUSERDB *pDb)
{
    if (!pDb)
        return;
    for (int i = 0; i < kFileCount; i++)
        if (VAKOBDB *f = FileOf(pDb, i))
            VAKOBDbClose(f);
    free(pDb);
}

int VAKOUserDBOpenFile(VAKOUSERDB **ppDb, const char *szPrefix)
{
    return keydb_internal::OpenRecord(kSrcOpen, ppDb, szPrefix, kFileCount, kSuffix, kCacheFiles, FileOf,
                                      VAKOUserDBBuild, VAKOUserDBClose);
}

VAKOUSERDB *VAKOUserDBOpen(void) { return static_cast<VAKOUSERDB *>(VAKOBDbCacheOpen(&gVakoUserDbCache)); }

int VAKOUserDBCheckAndRebuild(VAKOUSERDB **ppDb)
{
    if (!ppDb) {
        USER_ERR(kSrcCheck, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    void *db = *ppDb;
    int r = VAKOBDbCacheCheckAndRebuild(&gVakoUserDbCache, &db);
    *ppDb = static_cast<VAKOUSERDB *>(db);
    return r;
}

int VAKOUserDBRebuild(void) { return VAKOBDbCacheRebuild(&gVakoUserDbCache, nullptr); }

int VAKOUserDBBuild(VAKOUSERDB *pDb)
{
    if (!pDb) {
        USER_ERR(kSrcBuild, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    if (UserDBPasswdBuild(pDb) != 0) {
        syslog(LOG_ERR, "%s:%d UserDBPasswdBuild() failed! vakoerr=0x%04X", kSrcBuild, __LINE__, SLIBErrorGet());
        return -1;
    }
    if (UserDBNextUidBuild(pDb) != 0) {
        syslog(LOG_ERR, "%s:%d UserDBNextUidBuild() failed! vakoerr=0x%04X", kSrcBuild, __LINE__, SLIBErrorGet());
        return -1;
    }
    if (UserDBDomainBuild(pDb->pPWDName) != 0) {
        syslog(LOG_ERR, "%s:%d UserDBDomainBuild() failed! vakoerr=0x%04X", kSrcBuild, __LINE__, SLIBErrorGet());
        keydb_internal::DomainFailEvent(kSrcBuild, __LINE__);
    }
    const struct {
        VAKOBDB *bdb;
        const char *file;
    } lines[] = {{pDb->pPWDShadow, SZF_SHADOW}, {pDb->pPWDVakoser, SZF_VAKOUSER_CONF}, {pDb->pPWDSMB, SZF_SMBPASSWD}};
    for (const auto &l : lines) {
        if (UserDBGetLineBuild(l.bdb, l.file, ":") != 0) {
            syslog(LOG_ERR, "%s:%d UserDBGetLineBuild() failed! vakoerr=0x%04X", kSrcBuild, __LINE__, SLIBErrorGet());
            return -1;
        }
    }
    if (UserDbConfSyncTimeSet(pDb) != 0) {
        syslog(LOG_ERR, "%s:%d UserDbConfSyncTimeSet() failed! vakoerr=0x%04X", kSrcBuild, __LINE__, SLIBErrorGet());
        return -1;
    }
    return 0;
}

int UserDBGetLineBuild(VAKOBDB *pBdb, const char *szFile, const char *szSep)
{
    if (!pBdb || !szFile || !szSep || !*szSep) {
        USER_ERR(kSrcBuild, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    LineReader in(szFile);
    if (!in.ok()) {
        USER_ERR(kSrcBuild, SLIB_ERR_OPEN);
        return -1;
    }
    while (char *line = in.Next()) {
        if (line[0] == '#')
            continue;
        CutLineEnd(line);
        char *sep = strstr(line, szSep);
        if (!sep) {
            syslog(LOG_ERR, "%s:%d %s format error, user name = %s", kSrcBuild, __LINE__, szFile, line);
            continue;
        }
        std::string name(line, static_cast<size_t>(sep - line));
        char key[kLineKeySize];
        int cbKey = UpperKey(name.c_str(), key, sizeof key, kSrcBuild, __LINE__);
        if (cbKey < 0)
            return -1;
        if (Put(pBdb, key, cbKey + 1, line) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOBDbSet() failed! vakoerr=0x%04X", kSrcBuild, __LINE__, SLIBErrorGet());
            return -1;
        }
    }
    if (!in.AtEnd()) {
        syslog(LOG_ERR, "%s:%d Fail to read the end of the file. errno=%d/%m", kSrcBuild, __LINE__, errno);
        USER_ERR(kSrcBuild, SLIB_ERR_READ);
        return -1;
    }
    return 0;
}

int UserDBDomainBuild(VAKOBDB *pNameDb)
{
    return keydb_internal::DomainNamesBuild(pNameDb,
                                            {kSrcDomain, SZF_DOMAIN_USER, ":x:-1:-1:::", "domain user build nothing",
                                             kDomainKeySize, kWinsSize, DomainUpperKey});
}

int UserDbConfSyncTimeSet(VAKOUSERDB *pDb)
{
    if (!pDb || !pDb->pPWDName || !pDb->pPWDUID || !pDb->pPWDShadow || !pDb->pPWDVakoser || !pDb->pPWDSMB) {
        USER_ERR(kSrcSyncTime, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    const struct {
        const char *source;
        VAKOBDB *bdb;
    } stamps[] = {{SZF_PASSWD, pDb->pPWDName},
                  {SZF_PASSWD, pDb->pPWDUID},
                  {SZF_SHADOW, pDb->pPWDShadow},
                  {SZF_VAKOUSER_CONF, pDb->pPWDVakoser},
                  {SZF_SMBPASSWD, pDb->pPWDSMB}};
    for (const auto &s : stamps) {
        struct stat st;
        if (stat(s.source, &st) != 0) {
            syslog(LOG_ERR, "%s:%d stat [%s] failed!! errno=%d/%m", kSrcSyncTime, __LINE__, s.source, errno);
            USER_ERR(kSrcSyncTime, SLIB_ERR_STAT);
            return -1;
        }
        if (VAKOBDbConfSyncTimeSet(s.bdb, st.st_mtime) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOBDbConfSyncTimeSet() failed!! vakoerr=0x%04X", kSrcSyncTime, __LINE__,
                   SLIBErrorGet());
            return -1;
        }
    }
    return 0;
}

int VAKOUserDBDump(VAKOUSERDB *pDb)
{
    if (!pDb || !pDb->pPWDName || !pDb->pPWDUID || !pDb->pPWDShadow || !pDb->pPWDVakoser || !pDb->pPWDSMB) {
        USER_ERR(kSrcDump, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    TmpFiles out{slib::FileReplacer(kSrcDump), slib::FileReplacer(kSrcDump), slib::FileReplacer(kSrcDump),
                 slib::FileReplacer(kSrcDump)};
    bool ok = true;
    for (int i = 0; ok && i < kTmpCount; i++) {
        if (!CreateTmp(kTmpFiles[i], out[i])) {
            syslog(LOG_ERR, "%s:%d fail to open file[%s]", kSrcDump, __LINE__, kTmpFiles[i].tmp);
            USER_ERR(kSrcDump, SLIB_ERR_OPEN);
            ok = false;
        }
    }
    if (ok) {
        int32_t current;
        if (VAKOBDbWordGet(pDb->pPWDUID, SZK_BDB_CURRENT_UID, CB_BDB_CURRENT_UID, &current) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOBDbGet() failed, vakoerr=0x%04X", kSrcDump, __LINE__, SLIBErrorGet());
            ok = false;
        } else {
            ok = out[kTmpMisc].Printf("#$%s$%d$\n", SZ_UID_INDEX_MARKER, current) &&
                 out[kTmpMisc].Printf("%s\n", kMiscComment);
        }
    }
    ok = ok && DumpAccounts(pDb, out);
    ok = ok && FinishTmpFiles(out);
    if (!ok) {
        // The text files stay as they were; the cause stays recorded.
        slib::SavedError saved;
        UserRemoveTmpFiles();
        saved.Restore();
        return -1;
    }
    for (slib::FileReplacer &f : out)
        f.Release();
    // Files not yet moved stay behind; the next dump makes them anew.
    if (UserRenameTmpFiles() != 0)
        return -1;
    UserRemoveTmpFiles();
    if (UserDbConfSyncTimeSet(pDb) != 0) {
        syslog(LOG_ERR, "%s:%d UserDbConfSyncTimeSet() failed! vakoerr=0x%04X", kSrcDump, __LINE__, SLIBErrorGet());
        return -1;
    }
    return 0;
}

int UserRenameTmpFiles(void)
{
    // A target that no rename can replace is found before any file moves.
    for (int i : kMoveOrder) {
        const TmpFile &t = kTmpFiles[i];
        struct stat st;
        if (keydb_internal::PathExists(t.tmp) && lstat(t.target, &st) == 0 && S_ISDIR(st.st_mode)) {
            syslog(LOG_WARNING, "%s:%d rename %s file failed!", kSrcRename, __LINE__, t.tmp);
            USER_ERR(kSrcRename, SLIB_ERR_RENAME);
            return -1;
        }
    }
    for (int i : kMoveOrder) {
        const TmpFile &t = kTmpFiles[i];
        if (!keydb_internal::PathExists(t.tmp))
            continue;
        struct stat st;
        if (t.secret && stat(t.target, &st) == 0) {
            // The old owner and mode, less what others could read; set while
            // the file is still the temporary one.
            if (chown(t.tmp, st.st_uid, st.st_gid) != 0 || chmod(t.tmp, (st.st_mode & 07777) & ~07u) != 0)
                syslog(LOG_ERR, "%s:%d chown/chmod [%s] failed. errno=%d/%m", kSrcRename, __LINE__, t.tmp, errno);
        }
        if (rename(t.tmp, t.target) != 0) {
            syslog(LOG_WARNING, "%s:%d rename %s file failed!", kSrcRename, __LINE__, t.tmp);
            USER_ERR(kSrcRename, SLIB_ERR_RENAME);
            return -1;
        }
    }
    return 0;
}

int UserRemoveTmpFiles(void)
{
    int result = 0;
    for (int i : kMoveOrder) {
        const char *tmp = kTmpFiles[i].tmp;
        if (unlink(tmp) != 0 && errno != ENOENT) {
            syslog(LOG_WARNING, "%s:%d remove %s file failed!", kSrcRemove, __LINE__, tmp);
            USER_ERR(kSrcRemove, VAKO_ERR_TMP_REMOVE);
            result = -1;
        }
    }
    return result;
}

} // extern "C"
