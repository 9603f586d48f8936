// The group database: three keyed files built from /etc/group and
// /etc/group_desc, checked and rebuilt through the shared cache procedure,
// dumped back.
#include "vako/group_db.h"

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

#include "keydb_internal.h"
#include "slib/error.h"
#include "slib/szhash.h"
#include "slibcxx/lines.h"
#include "slibcxx/raii.h"
#include "slibcxx/replace.h"
#include "vako/service.h"
#include "vako/user_db.h"
#include "vako/user_list.h"

namespace {

using keydb_internal::Buf;
using keydb_internal::CutLineEnd;
using keydb_internal::kIdKeySize;
using keydb_internal::kKeyTooLong;
using keydb_internal::Put;
using keydb_internal::Stored;
using slib::LineReader;

// The operations' own source names: log prefixes and the file recorded with
// an error code.
constexpr const char *kSrcOpen = "group_db_open";
constexpr const char *kSrcBuild = "group_db_build";
constexpr const char *kSrcDomain = "group_db_domain_build";
constexpr const char *kSrcCheck = "group_db_check_and_rebuild";
constexpr const char *kSrcSyncTime = "group_db_conf_sync_time_set";
constexpr const char *kSrcDump = "group_db_dump";
constexpr const char *kSrcRename = "group_rename_temp_files";
constexpr const char *kSrcRemove = "group_remove_temp_files";

// Files in the order they are opened, created and checked for size.
enum { kName, kId, kDesc, kFileCount };
// The order in which a check reads their replaced flags, and a rebuild renames them.
constexpr int kFlagOrder[kFileCount] = {kName, kDesc, kId};
constexpr int kRenameOrder[kFileCount] = {kName, kDesc, kId};

constexpr const char *kSuffix[kFileCount] = {SZF_GROUP_DB_NAME, SZF_GROUP_DB_ID, SZF_GROUP_DB_DESC};

// Readable as the group files are.
constexpr VAKOBDBCACHEFILE kCacheFiles[kFileCount] = {
    {SZF_GROUP_DB_PREFIX SZF_GROUP_DB_NAME, SZF_GROUP_DB_TMP_PREFIX SZF_GROUP_DB_NAME, SZF_GROUP, 0, VAKO_BDB_MODE},
    {SZF_GROUP_DB_PREFIX SZF_GROUP_DB_ID, SZF_GROUP_DB_TMP_PREFIX SZF_GROUP_DB_ID, nullptr, 1, VAKO_BDB_MODE},
    {SZF_GROUP_DB_PREFIX SZF_GROUP_DB_DESC, SZF_GROUP_DB_TMP_PREFIX SZF_GROUP_DB_DESC, SZF_GROUP_DESC, 0,
     VAKO_BDB_MODE},
};

constexpr int kGroupKeySize = 129;
constexpr int kDescKeySize = 128;
constexpr int kDomainKeySize = 256;
constexpr int kWinsSize = 64;
constexpr int kHashSize = 5120;

VAKOBDB *&FileOf(VAKOGROUPDB *db, int idx)
{
    switch (idx) {
    case kName:
        return db->pGRPName;
    case kId:
        return db->pGRPGID;
    default:
        return db->pGRPDesc;
    }
}

using keydb_internal::HashPtr;

// Upper-cases a name read from a text file into a key buffer: its length,
// or -1 (logged; 0x1600 when the key does not fit, for a group stored under
// an empty key would be lost by the next dump).
int UpperKey(const char *src, const char *name, char *key, int cb)
{
    int n = keydb_internal::UpperKey(name, key, cb);
    if (n == kKeyTooLong)
        SLIB_ERR_IN(src, VAKO_ERR_GROUP_BAD_NAME);
    if (n < 0)
        syslog(LOG_ERR, "%s:%d SLIBUnicodeUTF8StrUpper failed [%s]", src, __LINE__, name);
    return n;
}

int GroupDBGroupBuild(VAKOGROUPDB *pDb)
{
    if (!pDb->pGRPName || !pDb->pGRPGID) {
        SLIB_ERR_IN(kSrcBuild, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    LineReader in(SZF_GROUP);
    if (!in.ok()) {
        SLIB_ERR_IN(kSrcBuild, SLIB_ERR_OPEN);
        return -1;
    }
    // The members are judged by the accounts that exist.
    slib::OwnedPtr<VAKOUSERDB, VAKOUserDBClose> userDb(VAKOUserDBOpen());
    if (!userDb) {
        SLIB_ERR_IN(kSrcBuild, SLIB_ERR_OPEN);
        return -1;
    }
    std::unordered_set<std::string> seen;
    Buf members;
    while (char *line = in.Next()) {
        if (line[0] == '#')
            continue;
        CutLineEnd(line);
        char *c1 = strchr(line, ':');
        char *c2 = c1 ? strchr(c1 + 1, ':') : nullptr;
        char *c3 = c2 ? strchr(c2 + 1, ':') : nullptr;
        if (!c3)
            continue;
        std::string name(line, static_cast<size_t>(c1 - line));
        char key[kGroupKeySize];
        int cchKey = UpperKey(kSrcBuild, name.c_str(), key, sizeof key);
        if (cchKey < 0)
            return -1;
        int gid = static_cast<int>(strtol(c2 + 1, nullptr, 10));
        if (gid == 0 && c2[1] != '0') {
            SLIB_ERR_IN(kSrcBuild, VAKO_ERR_BAD_FORMAT);
            return -1;
        }
        // A name twice would be written twice by the next dump, the first
        // group lost: refuse the file instead.
        if (!seen.insert(key).second) {
            syslog(LOG_ERR, "%s:%d %s group name twice, group name = %s", kSrcBuild, __LINE__, SZF_GROUP, name.c_str());
            SLIB_ERR_IN(kSrcBuild, VAKO_ERR_GROUP_EXISTS);
            return -1;
        }
        char *text = static_cast<char *>(members.p);
        int r = VAKOUserGetValidUserList2(c3 + 1, &text, &members.cb, nullptr, userDb.get());
        members.p = text;
        if (r != 0) {
            syslog(LOG_ERR, "%s:%d VAKOUserGetValidUserList2() failed! vakoerr=0x%04X", kSrcBuild, __LINE__,
                   SLIBErrorGet());
            return -1;
        }
        std::string value = std::string(line, static_cast<size_t>(c3 - line)) + ":" + members.str();
        char idKey[kIdKeySize];
        if (Put(pDb->pGRPName, key, cchKey + 1, value) != 0 ||
            Put(pDb->pGRPGID, idKey, keydb_internal::IdKey(gid, idKey), key) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOBDbSet() failed! vakoerr=0x%04X", kSrcBuild, __LINE__, SLIBErrorGet());
            return -1;
        }
    }
    if (!in.AtEnd()) {
        syslog(LOG_ERR, "%s:%d feof failed. errno=%d/%m", kSrcBuild, __LINE__, errno);
        SLIB_ERR_IN(kSrcBuild, SLIB_ERR_READ);
        return -1;
    }
    return 0;
}

int GroupDBNextGidBuild(VAKOGROUPDB *pDb)
{
    if (!pDb->pGRPGID) {
        SLIB_ERR_IN(kSrcBuild, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    return keydb_internal::LastIdBuild(pDb->pGRPGID, SZF_GROUP, SZ_GID_INDEX_MARKER, VAKO_GID_FIRST, VAKO_GID_LAST,
                                       SZK_BDB_CURRENT_GID, CB_BDB_CURRENT_GID, kSrcBuild);
}

int GroupDBDescBuild(VAKOGROUPDB *pDb)
{
    if (!pDb->pGRPDesc) {
        SLIB_ERR_IN(kSrcBuild, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    LineReader in(SZF_GROUP_DESC);
    if (!in.ok()) {
        SLIB_ERR_IN(kSrcBuild, SLIB_ERR_OPEN);
        return -1;
    }
    while (char *line = in.Next()) {
        if (line[0] == '#')
            continue;
        CutLineEnd(line);
        const char *colon = strchr(line, ':');
        if (!colon) {
            syslog(LOG_ERR, "%s:%d %s format error, group name = %s", kSrcBuild, __LINE__, SZF_GROUP_DESC, line);
            continue;
        }
        std::string name(line, static_cast<size_t>(colon - line));
        char key[kDescKeySize];
        int cchKey = UpperKey(kSrcBuild, name.c_str(), key, sizeof key);
        if (cchKey < 0)
            return -1;
        if (Put(pDb->pGRPDesc, key, cchKey + 1, line) != 0)
            return -1;
    }
    if (!in.AtEnd()) {
        syslog(LOG_ERR, "%s:%d feof failed. errno=%d/%m", kSrcBuild, __LINE__, errno);
        SLIB_ERR_IN(kSrcBuild, SLIB_ERR_READ);
        return -1;
    }
    return 0;
}

int OpenSet(void **ppDb, int bTmp)
{
    VAKOGROUPDB *db = static_cast<VAKOGROUPDB *>(*ppDb);
    int r = VAKOGroupDBOpenFile(&db, bTmp ? SZF_GROUP_DB_TMP_PREFIX : SZF_GROUP_DB_PREFIX);
    *ppDb = db;
    return r;
}

void CloseSet(void *pDb) { VAKOGroupDBClose(static_cast<VAKOGROUPDB *>(pDb)); }

VAKOBDB *FileAt(void *pDb, int idx) { return pDb ? FileOf(static_cast<VAKOGROUPDB *>(pDb), idx) : nullptr; }

// The modification time of a file's status into the files given.
int StampWith(const struct stat &st, std::initializer_list<VAKOBDB *> files)
{
    for (VAKOBDB *f : files) {
        if (VAKOBDbConfSyncTimeSet(f, st.st_mtime) != 0) {
            syslog(LOG_ERR, "%s:%d VAKOBDbConfSyncTimeSet() failed!! vakoerr=0x%04X", kSrcSyncTime, __LINE__,
                   SLIBErrorGet());
            return -1;
        }
    }
    return 0;
}

// The modification time of an open stream's file into the files given.
int StampFrom(FILE *fp, const char *path, std::initializer_list<VAKOBDB *> files)
{
    struct stat st;
    if (fstat(fileno(fp), &st) != 0) {
        syslog(LOG_ERR, "%s:%d stat [%s] failed!! errno=%d/%m", kSrcSyncTime, __LINE__, path, errno);
        SLIB_ERR_IN(kSrcSyncTime, SLIB_ERR_STAT);
        return -1;
    }
    return StampWith(st, files);
}

// A failed write of the dump: logged, and recorded as no room when the
// disk is full.
void WriteFailed(const char *what)
{
    syslog(LOG_ERR, "%s:%d %s failed!! errno=%d/%m", kSrcDump, __LINE__, what, errno);
    if (errno == ENOSPC)
        SLIB_ERR_IN(kSrcDump, VAKO_ERR_BDB_NO_SPACE);
}

// Writes a stored line and its line end.
bool WriteLine(slib::FileReplacer &out, const char *line) { return out.Write(line) && out.Write("\n", 1); }

// Walks the gid file in key order and writes each local group's line and
// description: true when the walk ended at the end of the file.
bool DumpGroups(VAKOGROUPDB *db, PSLIBSZHASH names, PSLIBSZHASH descs, slib::FileReplacer &group,
                slib::FileReplacer &desc)
{
    Buf key, value;
    if (VAKOBDbCursorSetType(db->pGRPGID, VAKO_BDB_CURSOR_FIRST) != 0 ||
        VAKOBDbCursorGet(db->pGRPGID, 1, &key.p, &key.cb, &value.p, &value.cb) != 0 ||
        VAKOBDbCursorSetType(db->pGRPGID, VAKO_BDB_CURSOR_NEXT) != 0)
        return false;
    do {
        std::string name = Stored(value);
        // Domain groups live in the name file only and are never written back.
        if (name.find('\\') != std::string::npos)
            continue;
        const char *line = SzSLIBSzHashGetValue(names, name.c_str());
        if (!line) {
            syslog(LOG_ERR, "%s:%d SzSLIBSzHashGetValue(%s) failed", kSrcDump, __LINE__, name.c_str());
            SLIB_ERR_IN(kSrcDump, SLIB_ERR_NOT_FOUND);
            return false;
        }
        bool ok = WriteLine(group, line);
        if (const char *d = SzSLIBSzHashGetValue(descs, name.c_str()))
            ok = ok && WriteLine(desc, d);
        if (!ok) {
            WriteFailed("fputs()");
            return false;
        }
    } while (VAKOBDbCursorGet(db->pGRPGID, 1, &key.p, &key.cb, &value.p, &value.cb) == 0);
    return SLIBErrorGet() == SLIB_ERR_END_OF_ENUM;
}

// Flush, sync and close of a temporary text file, its status into *st:
// renamed into place before it is on the disk, a file could be lost whole
// by a power failure.
bool Flush(slib::FileReplacer &out, struct stat *st)
{
    if (out.Finish(st))
        return true;
    WriteFailed("fflush()");
    return false;
}

} // namespace

extern "C" {

const VAKOBDBCACHE gVakoGroupDbCache = {
    .nFile = kFileCount,
    .rgFile = kCacheFiles,
    .bMarkOldSet = 1,
    .pfnOpenSet = OpenSet,
    .pfnCloseSet = CloseSet,
    .pfnFile = FileAt,
    .szRebuildLock = VAKO_GROUP_DB_REBUILD_LOCK,
    .szSrcOpen = kSrcOpen,
    .szSrcCheck = "group_db_check_and_rebuild",
    .szSrcRebuild = "group_db_rebuild",
    .rgFlagOrder = kFlagOrder,
    .rgRenameOrder = kRenameOrder,
    .szLogRebuildFailed = "%s:%d VAKOGroupDBRebuild failed, vakoerr=0x%04X",
    .szLogReopenFailed = nullptr,
    .szLogOldSetFailed = "%s:%d VAKOGroupDBOpenFile(&pGroupDbOld) Error, SLIBError=(0x%04X)",
    .szLogRenameFailed = nullptr,
    .reopenFailCode = 0,
};

void VAKOGroupDBClose(VAKOGROUPDB *pDb)
{
    if (!pDb)
        return;
    for (int i = 0; i < kFileCount; i++)
        if (VAKOBDB *f = FileOf(pDb, i))
            VAKOBDbClose(f);
    free(pDb);
}

int VAKOGroupDBOpenFile(VAKOGROUPDB **ppDb, const char *szPrefix)
{
    return keydb_internal::OpenRecord(kSrcOpen, ppDb, szPrefix, kFileCount, kSuffix, kCacheFiles, FileOf,
                                      VAKOGroupDBBuild, VAKOGroupDBClose);
}

VAKOGROUPDB *VAKOGroupDBOpen(void) { return static_cast<VAKOGROUPDB *>(VAKOBDbCacheOpen(&gVakoGroupDbCache)); }

int VAKOGroupDBCheckAndRebuild(VAKOGROUPDB **ppDb)
{
    if (!ppDb || !*ppDb) {
        SLIB_ERR_IN(kSrcCheck, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    void *db = *ppDb;
    int r = VAKOBDbCacheCheckAndRebuild(&gVakoGroupDbCache, &db);
    *ppDb = static_cast<VAKOGROUPDB *>(db);
    return r;
}

int VAKOGroupDBRebuild(void) { return VAKOBDbCacheRebuild(&gVakoGroupDbCache, nullptr); }

int VAKOGroupDBBuild(VAKOGROUPDB *pDb)
{
    if (!pDb) {
        SLIB_ERR_IN(kSrcBuild, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    if (GroupDBGroupBuild(pDb) != 0 || GroupDBNextGidBuild(pDb) != 0)
        return -1;
    if (GroupDBDomainBuild(pDb->pGRPName) != 0) {
        syslog(LOG_ERR, "%s:%d GroupDBDomainBuild() failed! vakoerr=0x%04X", kSrcBuild, __LINE__, SLIBErrorGet());
        keydb_internal::DomainFailEvent(kSrcBuild, __LINE__);
    }
    if (GroupDBDescBuild(pDb) != 0)
        return -1;
    return GroupDbConfSyncTimeSet(pDb, nullptr, nullptr);
}

int GroupDBDomainBuild(VAKOBDB *pNameDb)
{
    return keydb_internal::DomainNamesBuild(
        pNameDb,
        {kSrcDomain, SZF_DOMAIN_GROUP, ":x:-1:", "domain group build nothing", kDomainKeySize, kWinsSize, UpperKey});
}

int GroupDbConfSyncTimeSet(VAKOGROUPDB *pDb, FILE *fGroup, FILE *fDesc)
{
    if (!pDb || !pDb->pGRPName || !pDb->pGRPGID || !pDb->pGRPDesc) {
        SLIB_ERR_IN(kSrcSyncTime, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    // Only the streams opened here are closed here.
    slib::FilePtr ownGroup, ownDesc;
    if (!fGroup) {
        ownGroup.reset(fopen(SZF_GROUP, "re"));
        fGroup = ownGroup.get();
    }
    if (!fDesc) {
        ownDesc.reset(fopen(SZF_GROUP_DESC, "re"));
        fDesc = ownDesc.get();
    }
    if (!fGroup || !fDesc) {
        SLIB_ERR_IN(kSrcSyncTime, SLIB_ERR_OPEN);
        return -1;
    }
    if (StampFrom(fGroup, SZF_GROUP, {pDb->pGRPGID, pDb->pGRPName}) != 0 ||
        StampFrom(fDesc, SZF_GROUP_DESC, {pDb->pGRPDesc}) != 0)
        return -1;
    return 0;
}

int GroupDBLoadHash(VAKOBDB *pBdb, PSLIBSZHASH *ppHash)
{
    if (!pBdb || !ppHash || !*ppHash) {
        SLIB_ERR_IN(kSrcDump, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    if (VAKOBDbCursorSetType(pBdb, VAKO_BDB_CURSOR_FIRST) != 0)
        return -1;
    Buf key, value;
    if (VAKOBDbCursorGet(pBdb, 1, &key.p, &key.cb, &value.p, &value.cb) != 0)
        return -1;
    if (VAKOBDbCursorSetType(pBdb, VAKO_BDB_CURSOR_NEXT) != 0)
        return -1;
    do {
        std::string k = Stored(key), v = Stored(value);
        if (SLIBSzHashSetValue(ppHash, k.c_str(), v.c_str()) < 0) {
            if (SLIBErrorGet() != SLIB_ERR_OUT_OF_MEMORY)
                SLIB_ERR_IN(kSrcDump, SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
    } while (VAKOBDbCursorGet(pBdb, 1, &key.p, &key.cb, &value.p, &value.cb) == 0);
    // Only the end of the file ends the load: a record missed here would be
    // missing from the text files.
    return SLIBErrorGet() == SLIB_ERR_END_OF_ENUM ? 0 : -1;
}

int VAKOGroupDBDump(VAKOGROUPDB *pDb)
{
    if (!pDb || !pDb->pGRPName || !pDb->pGRPGID || !pDb->pGRPDesc) {
        SLIB_ERR_IN(kSrcDump, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    slib::FileReplacer group(kSrcDump), desc(kSrcDump);
    for (auto [out, tmp] : {std::pair{&group, SZF_GROUP_TMP}, std::pair{&desc, SZF_GROUP_DESC_TMP}}) {
        if (!out->CreateFixed(tmp, 0666)) {
            syslog(LOG_ERR, "%s:%d Fail to open file[%s]", kSrcDump, __LINE__, tmp);
            return -1;
        }
    }
    HashPtr names(SLIBSzHashAlloc(kHashSize)), descs(SLIBSzHashAlloc(kHashSize));
    if (!names || !descs) {
        SLIB_ERR_IN(kSrcDump, SLIB_ERR_OUT_OF_MEMORY);
        return -1;
    }
    // An empty file is an empty map; any other failed load would leave
    // groups or descriptions out of the text files.
    for (auto [bdb, hash] : {std::pair{pDb->pGRPName, &names}, std::pair{pDb->pGRPDesc, &descs}}) {
        PSLIBSZHASH raw = hash->release();
        int r = GroupDBLoadHash(bdb, &raw);
        hash->reset(raw);
        if (r != 0 && SLIBErrorGet() != SLIB_ERR_END_OF_ENUM) {
            syslog(LOG_ERR, "%s:%d GroupDBLoadHash() failed! vakoerr=0x%04X", kSrcDump, __LINE__, SLIBErrorGet());
            return -1;
        }
    }
    int32_t current;
    if (VAKOBDbWordGet(pDb->pGRPGID, SZK_BDB_CURRENT_GID, CB_BDB_CURRENT_GID, &current) != 0)
        return -1;
    if (!group.Printf("#$%s$%d$\n", SZ_GID_INDEX_MARKER, current))
        return -1;
    struct stat stGroup, stDesc;
    if (!DumpGroups(pDb, names.get(), descs.get(), group, desc) || !Flush(group, &stGroup) || !Flush(desc, &stDesc))
        return -1;
    group.Release();
    desc.Release();
    if (GROUPIRenameTempFiles() != 0) {
        syslog(LOG_ERR, "%s:%d GROUPIRenameTempFiles() failed!! errno=%d/%m", kSrcDump, __LINE__, errno);
        return -1;
    }
    if (GROUPIRemoveTempFiles() != 0) {
        syslog(LOG_ERR, "%s:%d GROUPIRemoveTempFiles() failed!! errno=%d/%m", kSrcDump, __LINE__, errno);
        return -1;
    }
    if (StampWith(stGroup, {pDb->pGRPGID, pDb->pGRPName}) != 0 || StampWith(stDesc, {pDb->pGRPDesc}) != 0) {
        syslog(LOG_ERR, "%s:%d GroupDbConfSyncTimeSet() failed! vakoerr=0x%04X", kSrcDump, __LINE__, SLIBErrorGet());
        return -1;
    }
    return 0;
}

int GROUPIRenameTempFiles(void)
{
    const struct {
        const char *tmp, *target;
    } moves[] = {{SZF_GROUP_TMP, SZF_GROUP}, {SZF_GROUP_DESC_TMP, SZF_GROUP_DESC}};
    for (const auto &m : moves) {
        if (!keydb_internal::PathExists(m.tmp))
            continue;
        if (rename(m.tmp, m.target) != 0) {
            syslog(LOG_ERR, "%s:%d Rename [%s]->[%s] fail, errno=%d/%m", kSrcRename, __LINE__, m.tmp, m.target, errno);
            SLIB_ERR_IN(kSrcRename, SLIB_ERR_RENAME);
            return -1;
        }
    }
    return 0;
}

int GROUPIRemoveTempFiles(void)
{
    int result = 0;
    for (const char *tmp : {SZF_GROUP_TMP, SZF_GROUP_DESC_TMP}) {
        if (keydb_internal::PathExists(tmp) && unlink(tmp) != 0) {
            syslog(LOG_ERR, "%s:%d Remove [%s] failed! errno=%d/%m", kSrcRemove, __LINE__, tmp, errno);
            SLIB_ERR_IN(kSrcRemove, VAKO_ERR_TMP_REMOVE);
            result = -1;
        }
    }
    return result;
}

} // extern "C"
