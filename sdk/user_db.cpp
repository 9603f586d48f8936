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

// The build's rules: an account's line of /etc/passwd has four fields or
// more and a number of a uid in its third; a line of the files keyed by
// their first field (/etc/shadow, /etc/vakouser.conf and the SMB password
// file) has the separator.
constexpr keydb_internal::LineShape kPasswdShape = {
    ":", 4, 0, "has a uid that is not a number of a uid", kPasswdKeySize, nullptr};
keydb_internal::LineShape FieldShape(const char *sep) { return {sep, 1, 0, nullptr, kLineKeySize, nullptr}; }

// How the build reads a text file of accounts.
keydb_internal::LinesRead Reading(const char *file, const keydb_internal::LineShape &shape, const char *endFailed)
{
    return {kSrcBuild, file, shape, "%s:%d %s format error, user name = %.*s", endFailed};
}

int UserDBPasswdBuild(VAKOUSERDB *pDb)
{
    if (!pDb->pPWDName || !pDb->pPWDUID) {
        USER_ERR(kSrcBuild, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    auto taken = [&](std::string_view content, const std::string &key, int uid) {
        char uidKey[kUidKeySize];
        if (Put(pDb->pPWDName, key.c_str(), static_cast<int>(key.size()) + 1, std::string(content)) != 0 ||
            Put(pDb->pPWDUID, uidKey, UidKey(uid, uidKey), key) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOBDbSet() failed! vakoerr=0x%04X", kSrcBuild, __LINE__, SLIBErrorGet());
            return -1;
        }
        return 0;
    };
    // The system may still read a kept line as an account: its name and uid
    // are no new account's.
    auto kept = [&](std::string_view content) {
        return keydb_internal::HoldLine(pDb->pPWDName, pDb->pPWDUID, content, kPasswdKeySize);
    };
    return keydb_internal::ReadLines(Reading(SZF_PASSWD, kPasswdShape, "%s:%d feof failed. errno=%d/%m"), taken, kept);
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

// The text files of the dump, in the order of its temporary files.
constexpr const char *kSources[kTmpCount] = {SZF_PASSWD, SZF_SHADOW, SZF_VAKOUSER_CONF, SZF_SMBPASSWD};

// The keys of the header lines of vakouser.conf (no account's key begins
// with '#').
constexpr char kMarkerKey[] = "#marker";
constexpr char kCommentKey[] = "#comment";

// The dump's rule for vakouser.conf: its first marker line and its comment
// line are the header that the dump writes anew, the others as the build
// takes them.
keydb_internal::TextFile::Rule MiscRule()
{
    return [rule = keydb_internal::KeyedLines(FieldShape(":")).Rule(), marker = false,
            comment = false](std::string_view content, std::string &key) mutable {
        int taken = rule(content, key);
        if (taken != 0)
            return taken;
        if (!marker && keydb_internal::MarkerLine(content, SZ_UID_INDEX_MARKER)) {
            marker = true;
            key = kMarkerKey;
            return 1;
        }
        if (!comment && content == kMiscComment) {
            comment = true;
            key = kCommentKey;
            return 1;
        }
        return 0;
    };
}

// A local account that the dump writes, in the uid file's order.
struct Walked {
    std::string key, uidKey;
};

// The local accounts of the uid file, in its key order (domain accounts
// live in the name file only and are never written back). False (logged)
// when the walk does not end at the end of the file, or a record is no key.
bool WalkAccounts(VAKOUSERDB *db, std::vector<Walked> &accounts, bool *pDamaged)
{
    if (VAKOBDbCursorSetType(db->pPWDUID, VAKO_BDB_CURSOR_FIRST) != 0) {
        syslog(LOG_ERR, "%s:%d VAKOBDbCursorSetType() failed, vakoerr=0x%04X", kSrcDump, __LINE__, SLIBErrorGet());
        return false;
    }
    Buf uid, name;
    std::unordered_set<std::string> seen;
    bool first = true;
    while (VAKOBDbCursorGet(db->pPWDUID, 1, &uid.p, &uid.cb, &name.p, &name.cb) == 0) {
        if (first) {
            first = false;
            if (VAKOBDbCursorSetType(db->pPWDUID, VAKO_BDB_CURSOR_NEXT) != 0) {
                syslog(LOG_ERR, "%s:%d VAKOBDbCursorSetType() failed. vakoerr=0x%04X", kSrcDump, __LINE__,
                       SLIBErrorGet());
                return false;
            }
        }
        std::string key = Stored(name), uidKey = Stored(uid);
        if (key.size() + 1 != static_cast<size_t>(name.cb) || uidKey.size() + 1 != static_cast<size_t>(uid.cb)) {
            syslog(LOG_ERR, "%s:%d a record of pUserDb->pPWDUID [%s] is no key", kSrcDump, __LINE__, uidKey.c_str());
            USER_ERR(kSrcDump, VAKO_ERR_BAD_FORMAT);
            *pDamaged = true;
            return false;
        }
        // An account that two uid records name would be written twice.
        if (key.find('\\') == std::string::npos && !seen.insert(key).second) {
            syslog(LOG_ERR, "%s:%d pUserDb->pPWDUID names [%s] twice", kSrcDump, __LINE__, key.c_str());
            USER_ERR(kSrcDump, VAKO_ERR_BAD_FORMAT);
            *pDamaged = true;
            return false;
        }
        if (key.find('\\') == std::string::npos)
            accounts.push_back({std::move(key), std::move(uidKey)});
    }
    if (SLIBErrorGet() != SLIB_ERR_END_OF_ENUM) {
        syslog(LOG_ERR, "%s:%d VAKOBDbCursorGet() failed! vakoerr=0x%04X", kSrcDump, __LINE__, SLIBErrorGet());
        return false;
    }
    return true;
}

// The four files' records of the walked accounts, each read once: false
// when a read failed, or (*pDamaged, logged) when a record that the cache
// must hold is missing or not of its form. A missing shadow record is
// logged and its line left out; a missing misc or SMB record is passed
// over; but an account whose line a text file holds must have its record.
bool CollectRecords(VAKOUSERDB *db, const std::vector<Walked> &accounts, const keydb_internal::TextFile *texts,
                    std::vector<keydb_internal::DumpRecord> *records, bool *pDamaged)
{
    struct Part {
        VAKOBDB *bdb;
        const char *name;
        int cbKey;
        const char *missing; // logged when absent
    } parts[kTmpCount] = {
        {db->pPWDName, "pPWDName", kPasswdKeySize, "%s:%d VAKOBDbGet(pUserDb->pPWDName) [%s] failed. vakoerr=0x%04X"},
        {db->pPWDShadow, "pPWDShadow", kLineKeySize,
         "%s:%d VAKOBDbGet(pUserDb->pPWDShadow) [%s] failed. vakoerr=0x%04X"},
        {db->pPWDVakoser, "pPWDVakoser", kLineKeySize, nullptr},
        {db->pPWDSMB, "pPWDSMB", kLineKeySize, nullptr},
    };
    auto damaged = [&](const char *part, const std::string &key, int code) {
        syslog(LOG_ERR, "%s:%d the record of pUserDb->%s [%s] is damaged: the cache is rebuilt", kSrcDump, __LINE__,
               part, key.c_str());
        USER_ERR(kSrcDump, code);
        *pDamaged = true;
        return false;
    };
    for (const Walked &a : accounts) {
        for (int i = 0; i < kTmpCount; i++) {
            const Part &part = parts[i];
            std::string value;
            bool whole = false;
            int found = keydb_internal::ReadValue(part.bdb, a.key, value, &whole);
            if (found < 0)
                return false;
            if (found == 0) {
                int code = SLIBErrorGet();
                if (part.missing)
                    syslog(LOG_ERR, part.missing, kSrcDump, __LINE__, a.key.c_str(), code);
                // The uid file names the account, and the text file has its
                // line: the record was lost, not removed.
                if (i == kTmpPasswd || texts[i].Holds(a.key))
                    return damaged(part.name, a.key, code);
                continue;
            }
            if (!whole || !keydb_internal::KeyedBy(value, a.key, part.cbKey))
                return damaged(part.name, a.key, VAKO_ERR_BAD_FORMAT);
            if (i == kTmpPasswd) {
                // The line's uid is the one the uid file has it under.
                std::vector<std::string_view> f = keydb_internal::Fields(value);
                int uid = 0;
                char uidKey[kUidKeySize] = "";
                if (f.size() >= 4 && keydb_internal::ParseId(f[2], &uid))
                    UidKey(uid, uidKey);
                if (a.uidKey != uidKey)
                    return damaged(part.name, a.key, VAKO_ERR_BAD_FORMAT);
            }
            records[i].push_back({a.key, std::move(value), std::nullopt});
        }
    }
    return true;
}

// Writes the new text files: the records, and every line of the old files
// that the cache does not hold where it stood.
bool WriteTextFiles(VAKOUSERDB *db, int32_t current, const keydb_internal::TextFile *texts,
                    std::vector<keydb_internal::DumpRecord> *records, TmpFiles &out)
{
    char marker[64];
    snprintf(marker, sizeof marker, "#$%s$%d$", SZ_UID_INDEX_MARKER, current);
    records[kTmpMisc].insert(records[kTmpMisc].begin(),
                             {{kMarkerKey, marker, std::nullopt}, {kCommentKey, kMiscComment, std::nullopt}});
    VAKOBDB *files[kTmpCount] = {db->pPWDName, db->pPWDShadow, db->pPWDVakoser, db->pPWDSMB};
    for (int i = 0; i < kTmpCount; i++) {
        // A line of a key that no account walked: kept where it stood while
        // its record is there (a line of a domain name, or of no account).
        auto lookup = [&](const std::string &key, keydb_internal::DumpRecord &rec) {
            bool whole;
            return keydb_internal::ReadValue(files[i], key, rec.value, &whole);
        };
        if (!texts[i].Write(out[i], records[i], lookup))
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
    return slib::Guarded(kSrcOpen, -1, [&] {
        return keydb_internal::OpenRecord(kSrcOpen, ppDb, szPrefix, kFileCount, kSuffix, kCacheFiles, FileOf,
                                          VAKOUserDBBuild, VAKOUserDBClose);
    });
}

VAKOUSERDB *VAKOUserDBOpen(void)
{
    return slib::Guarded(kSrcOpen, static_cast<VAKOUSERDB *>(nullptr),
                         [&] { return static_cast<VAKOUSERDB *>(VAKOBDbCacheOpen(&gVakoUserDbCache)); });
}

int VAKOUserDBCheckAndRebuild(VAKOUSERDB **ppDb)
{
    return slib::Guarded(kSrcCheck, -1, [&] {
        if (!ppDb) {
            USER_ERR(kSrcCheck, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        void *db = *ppDb;
        int r = VAKOBDbCacheCheckAndRebuild(&gVakoUserDbCache, &db);
        *ppDb = static_cast<VAKOUSERDB *>(db);
        return r;
    });
}

int VAKOUserDBRebuild(void)
{
    return slib::Guarded(kSrcRebuild, -1, [&] { return VAKOBDbCacheRebuild(&gVakoUserDbCache, nullptr); });
}

int VAKOUserDBBuild(VAKOUSERDB *pDb)
{
    return slib::Guarded(kSrcBuild, -1, [&] {
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
            // The build goes on without the domain's accounts, but not for want
            // of memory.
            if (slib::OutOfMemory())
                return -1;
            keydb_internal::DomainFailEvent(kSrcBuild, __LINE__);
        }
        const struct {
            VAKOBDB *bdb;
            const char *file;
        } lines[] = {
            {pDb->pPWDShadow, SZF_SHADOW}, {pDb->pPWDVakoser, SZF_VAKOUSER_CONF}, {pDb->pPWDSMB, SZF_SMBPASSWD}};
        for (const auto &l : lines) {
            if (UserDBGetLineBuild(l.bdb, l.file, ":") != 0) {
                syslog(LOG_ERR, "%s:%d UserDBGetLineBuild() failed! vakoerr=0x%04X", kSrcBuild, __LINE__,
                       SLIBErrorGet());
                return -1;
            }
        }
        if (UserDbConfSyncTimeSet(pDb) != 0) {
            syslog(LOG_ERR, "%s:%d UserDbConfSyncTimeSet() failed! vakoerr=0x%04X", kSrcBuild, __LINE__,
                   SLIBErrorGet());
            return -1;
        }
        return 0;
    });
}

int UserDBGetLineBuild(VAKOBDB *pBdb, const char *szFile, const char *szSep)
{
    return slib::Guarded(kSrcBuild, -1, [&] {
        if (!pBdb || !szFile || !szSep || !*szSep) {
            USER_ERR(kSrcBuild, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        auto taken = [&](std::string_view content, const std::string &key, int) {
            if (Put(pBdb, key.c_str(), static_cast<int>(key.size()) + 1, std::string(content)) == 0)
                return 0;
            syslog(LOG_ERR, "%s:%d VAKOBDbSet() failed! vakoerr=0x%04X", kSrcBuild, __LINE__, SLIBErrorGet());
            return -1;
        };
        return keydb_internal::ReadLines(
            Reading(szFile, FieldShape(szSep), "%s:%d Fail to read the end of the file. errno=%d/%m"), taken, nullptr);
    });
}

int UserDBDomainBuild(VAKOBDB *pNameDb)
{
    return slib::Guarded(kSrcDomain, -1, [&] {
        return keydb_internal::DomainNamesBuild(pNameDb, {kSrcDomain, SZF_DOMAIN_USER,
                                                          ":x:-1:-1:::", "domain user build nothing", kDomainKeySize,
                                                          kWinsSize, DomainUpperKey});
    });
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
    return slib::Guarded(kSrcDump, -1, [&] {
        if (!pDb || !pDb->pPWDName || !pDb->pPWDUID || !pDb->pPWDShadow || !pDb->pPWDVakoser || !pDb->pPWDSMB) {
            USER_ERR(kSrcDump, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        TmpFiles out{slib::FileReplacer(kSrcDump), slib::FileReplacer(kSrcDump), slib::FileReplacer(kSrcDump),
                     slib::FileReplacer(kSrcDump)};
        bool damaged = false;
        auto failed = [&] {
            // The text files stay as they were; the cause stays recorded.
            slib::SavedError saved;
            UserRemoveTmpFiles();
            if (damaged)
                VAKOBDbCacheRebuildDamaged(&gVakoUserDbCache, pDb);
            saved.Restore();
            return -1;
        };
        for (int i = 0; i < kTmpCount; i++) {
            if (!CreateTmp(kTmpFiles[i], out[i])) {
                syslog(LOG_ERR, "%s:%d fail to open file[%s]", kSrcDump, __LINE__, kTmpFiles[i].tmp);
                USER_ERR(kSrcDump, SLIB_ERR_OPEN);
                return failed();
            }
        }
        int32_t current;
        if (VAKOBDbWordGet(pDb->pPWDUID, SZK_BDB_CURRENT_UID, CB_BDB_CURRENT_UID, &current) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOBDbGet() failed, vakoerr=0x%04X", kSrcDump, __LINE__, SLIBErrorGet());
            return failed();
        }
        std::vector<Walked> accounts;
        if (!WalkAccounts(pDb, accounts, &damaged))
            return failed();
        // The files as they stand: their lines that the cache does not hold
        // are written back.
        keydb_internal::TextFile texts[kTmpCount];
        keydb_internal::KeyedLines passwd(kPasswdShape), fields(FieldShape(":"));
        keydb_internal::TextFile::Rule rules[kTmpCount] = {passwd.Rule(), fields.Rule(), MiscRule(), fields.Rule()};
        for (int i = 0; i < kTmpCount; i++)
            if (!texts[i].Read(kSources[i], rules[i], kSrcDump))
                return failed();
        std::vector<keydb_internal::DumpRecord> records[kTmpCount];
        if (!CollectRecords(pDb, accounts, texts, records, &damaged) ||
            !WriteTextFiles(pDb, current, texts, records, out) || !FinishTmpFiles(out))
            return failed();
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
    });
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
