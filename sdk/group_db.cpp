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
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "keydb_internal.h"
#include "slib/error.h"
#include "slib/szhash.h"
#include "slibcxx/border.h"
#include "slibcxx/lines.h"
#include "slibcxx/raii.h"
#include "slibcxx/replace.h"
#include "vako/service.h"
#include "vako/user_db.h"
#include "vako/user_list.h"

namespace {

using keydb_internal::Buf;
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

// The members of a group are accounts: a group among them ('@' first) is
// no member list that the cache can hold.
const char *MembersCheck(const std::vector<std::string_view> &fields)
{
    std::string_view members = fields[3];
    for (size_t at = 0; at <= members.size();) {
        size_t first = members.find_first_not_of(" \t", at);
        if (first != std::string_view::npos && members[first] == '@')
            return "has a member list that is no list of accounts";
        size_t comma = members.find(',', at);
        if (comma == std::string_view::npos)
            break;
        at = comma + 1;
    }
    return nullptr;
}

// The build's rules: a group's line of /etc/group has four fields, a
// number of a gid in its third and accounts as members; a line of
// /etc/group_desc has a ':'.
constexpr keydb_internal::LineShape kGroupShape = {
    ":", 4, 4, "has a gid that is not a number of a gid", kGroupKeySize, MembersCheck};
constexpr keydb_internal::LineShape kDescShape = {":", 1, 0, nullptr, kDescKeySize, nullptr};

// Before the key of a group whose line the build stored in another form
// (its members validated): the value as built, so that a dump finds the
// group unchanged and writes its line as it stood.
constexpr char kBuiltPrefix[] = "#VAKO@BUILT@";
std::string BuiltKey(const std::string &key) { return kBuiltPrefix + key; }

// How the build reads a group file.
keydb_internal::LinesRead Reading(const char *file, const keydb_internal::LineShape &shape)
{
    return {kSrcBuild, file, shape, "%s:%d %s format error, group name = %.*s", "%s:%d feof failed. errno=%d/%m"};
}

// A member list with the blanks around each name dropped: a name never
// begins or ends with a blank.
std::string Trimmed(std::string_view members)
{
    std::string out;
    for (size_t at = 0;;) {
        size_t comma = members.find(',', at);
        std::string_view m = members.substr(at, comma == std::string_view::npos ? comma : comma - at);
        size_t first = m.find_first_not_of(" \t"), last = m.find_last_not_of(" \t");
        if (at)
            out += ',';
        if (first != std::string_view::npos)
            out.append(m.substr(first, last - first + 1));
        if (comma == std::string_view::npos)
            return out;
        at = comma + 1;
    }
}

int GroupDBGroupBuild(VAKOGROUPDB *pDb)
{
    if (!pDb->pGRPName || !pDb->pGRPGID) {
        SLIB_ERR_IN(kSrcBuild, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    // The members are judged by the accounts that exist.
    slib::OwnedPtr<VAKOUSERDB, VAKOUserDBClose> userDb(VAKOUserDBOpen());
    if (!userDb) {
        if (!slib::OutOfMemory())
            SLIB_ERR_IN(kSrcBuild, SLIB_ERR_OPEN);
        return -1;
    }
    Buf members;
    auto taken = [&](std::string_view content, const std::string &key, int gid) {
        size_t third = content.rfind(':');
        char *text = static_cast<char *>(members.p);
        int r = VAKOUserGetValidUserList2(Trimmed(content.substr(third + 1)).c_str(), &text, &members.cb, nullptr,
                                          userDb.get());
        members.p = text;
        if (r != 0) {
            syslog(LOG_ERR, "%s:%d VAKOUserGetValidUserList2() failed! vakoerr=0x%04X", kSrcBuild, __LINE__,
                   SLIBErrorGet());
            return -1;
        }
        std::string value = std::string(content.substr(0, third)) + ":" + members.str();
        char idKey[kIdKeySize];
        std::string built = BuiltKey(key);
        if (Put(pDb->pGRPName, key.c_str(), static_cast<int>(key.size()) + 1, value) != 0 ||
            Put(pDb->pGRPGID, idKey, keydb_internal::IdKey(gid, idKey), key) != 0 ||
            (value != content && Put(pDb->pGRPName, built.c_str(), static_cast<int>(built.size()) + 1, value) != 0)) {
            syslog(LOG_ERR, "%s:%d VAKOBDbSet() failed! vakoerr=0x%04X", kSrcBuild, __LINE__, SLIBErrorGet());
            return -1;
        }
        return 0;
    };
    // The system may still read a kept line as a group: its name and gid
    // are no new group's.
    auto kept = [&](std::string_view content) {
        return keydb_internal::HoldLine(pDb->pGRPName, pDb->pGRPGID, content, kGroupKeySize);
    };
    return keydb_internal::ReadLines(Reading(SZF_GROUP, kGroupShape), taken, kept);
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
    auto taken = [&](std::string_view content, const std::string &key, int) {
        return Put(pDb->pGRPDesc, key.c_str(), static_cast<int>(key.size()) + 1, std::string(content));
    };
    return keydb_internal::ReadLines(Reading(SZF_GROUP_DESC, kDescShape), taken, nullptr);
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

// The key of the marker line of /etc/group (no group's key begins with '#').
constexpr char kMarkerKey[] = "#marker";

// The dump's rule for /etc/group: its first marker line is the one that
// the dump writes anew, the others as the build takes them.
keydb_internal::TextFile::Rule GroupRule()
{
    return [rule = keydb_internal::KeyedLines(kGroupShape).Rule(), marker = false](std::string_view content,
                                                                                   std::string &key) mutable {
        int taken = rule(content, key);
        if (taken != 0 || marker || !keydb_internal::MarkerLine(content, SZ_GID_INDEX_MARKER))
            return taken;
        marker = true;
        key = kMarkerKey;
        return 1;
    };
}

// A local group that the dump writes, in the gid file's order.
struct Walked {
    std::string key, idKey;
};

// The local groups of the gid file, in its key order (domain groups live in
// the name file only and are never written back): false when the walk does
// not end at the end of the file (an empty file included), or (*pDamaged,
// logged) a record is no key or a group is named twice.
bool WalkGroups(VAKOGROUPDB *db, std::vector<Walked> &groups, bool *pDamaged)
{
    Buf key, value;
    if (VAKOBDbCursorSetType(db->pGRPGID, VAKO_BDB_CURSOR_FIRST) != 0 ||
        VAKOBDbCursorGet(db->pGRPGID, 1, &key.p, &key.cb, &value.p, &value.cb) != 0 ||
        VAKOBDbCursorSetType(db->pGRPGID, VAKO_BDB_CURSOR_NEXT) != 0)
        return false;
    std::unordered_set<std::string> seen;
    do {
        std::string name = Stored(value), id = Stored(key);
        if (name.size() + 1 != static_cast<size_t>(value.cb) || id.size() + 1 != static_cast<size_t>(key.cb) ||
            (name.find('\\') == std::string::npos && !seen.insert(name).second)) {
            syslog(LOG_ERR, "%s:%d a record of pGRPGID [%s] is damaged: the cache is rebuilt", kSrcDump, __LINE__,
                   id.c_str());
            SLIB_ERR_IN(kSrcDump, VAKO_ERR_BAD_FORMAT);
            *pDamaged = true;
            return false;
        }
        if (name.find('\\') == std::string::npos)
            groups.push_back({std::move(name), std::move(id)});
    } while (VAKOBDbCursorGet(db->pGRPGID, 1, &key.p, &key.cb, &value.p, &value.cb) == 0);
    return SLIBErrorGet() == SLIB_ERR_END_OF_ENUM;
}

// The value that the build made of a group's line, when it stored it in
// another form: 0 (asBuilt set or not), or -1 a failed read.
int AsBuilt(VAKOGROUPDB *db, const std::string &key, std::optional<std::string> &asBuilt)
{
    std::string value;
    bool whole;
    int found = keydb_internal::ReadValue(db->pGRPName, BuiltKey(key), value, &whole);
    if (found == 1)
        asBuilt = std::move(value);
    return found < 0 ? -1 : 0;
}

// The group lines and descriptions of the walked groups: false when a read
// failed, or (*pDamaged, logged) when a group's line is missing or not of
// its form, or a description that /etc/group_desc holds is missing.
bool CollectGroups(VAKOGROUPDB *db, const std::vector<Walked> &groups, PSLIBSZHASH names, PSLIBSZHASH descs,
                   const keydb_internal::TextFile &descText, std::vector<keydb_internal::DumpRecord> &lines,
                   std::vector<keydb_internal::DumpRecord> &descLines, bool *pDamaged)
{
    auto damaged = [&](const char *what, const std::string &key, int code) {
        syslog(LOG_ERR, "%s:%d the %s of [%s] is damaged: the cache is rebuilt", kSrcDump, __LINE__, what, key.c_str());
        SLIB_ERR_IN(kSrcDump, code);
        *pDamaged = true;
        return false;
    };
    for (const Walked &g : groups) {
        const char *line = SzSLIBSzHashGetValue(names, g.key.c_str());
        if (!line) {
            syslog(LOG_ERR, "%s:%d SzSLIBSzHashGetValue(%s) failed", kSrcDump, __LINE__, g.key.c_str());
            return damaged("group line", g.key, SLIB_ERR_NOT_FOUND);
        }
        // The line's gid is the one the gid file has it under.
        std::vector<std::string_view> f = keydb_internal::Fields(line);
        int gid = 0;
        char idKey[kIdKeySize] = "";
        if (f.size() == 4 && keydb_internal::ParseId(f[2], &gid))
            keydb_internal::IdKey(gid, idKey);
        if (g.idKey != idKey || !keydb_internal::KeyedBy(line, g.key, kGroupKeySize))
            return damaged("group line", g.key, VAKO_ERR_BAD_FORMAT);
        keydb_internal::DumpRecord rec{g.key, line, std::nullopt};
        if (AsBuilt(db, g.key, rec.asBuilt) != 0)
            return false;
        lines.push_back(std::move(rec));
        if (const char *d = SzSLIBSzHashGetValue(descs, g.key.c_str())) {
            if (!keydb_internal::KeyedBy(d, g.key, kDescKeySize))
                return damaged("description", g.key, VAKO_ERR_BAD_FORMAT);
            descLines.push_back({g.key, d, std::nullopt});
        } else if (descText.Holds(g.key)) {
            return damaged("description", g.key, SLIB_ERR_NOT_FOUND);
        }
    }
    return true;
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
    return slib::Guarded(kSrcOpen, -1, [&] {
        return keydb_internal::OpenRecord(kSrcOpen, ppDb, szPrefix, kFileCount, kSuffix, kCacheFiles, FileOf,
                                          VAKOGroupDBBuild, VAKOGroupDBClose);
    });
}

VAKOGROUPDB *VAKOGroupDBOpen(void)
{
    return slib::Guarded(kSrcOpen, static_cast<VAKOGROUPDB *>(nullptr),
                         [&] { return static_cast<VAKOGROUPDB *>(VAKOBDbCacheOpen(&gVakoGroupDbCache)); });
}

int VAKOGroupDBCheckAndRebuild(VAKOGROUPDB **ppDb)
{
    return slib::Guarded(kSrcCheck, -1, [&] {
        if (!ppDb || !*ppDb) {
            SLIB_ERR_IN(kSrcCheck, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        void *db = *ppDb;
        int r = VAKOBDbCacheCheckAndRebuild(&gVakoGroupDbCache, &db);
        *ppDb = static_cast<VAKOGROUPDB *>(db);
        return r;
    });
}

int VAKOGroupDBRebuild(void)
{
    return slib::Guarded(gVakoGroupDbCache.szSrcRebuild, -1,
                         [&] { return VAKOBDbCacheRebuild(&gVakoGroupDbCache, nullptr); });
}

int VAKOGroupDBBuild(VAKOGROUPDB *pDb)
{
    return slib::Guarded(kSrcBuild, -1, [&] {
        if (!pDb) {
            SLIB_ERR_IN(kSrcBuild, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        if (GroupDBGroupBuild(pDb) != 0 || GroupDBNextGidBuild(pDb) != 0)
            return -1;
        if (GroupDBDomainBuild(pDb->pGRPName) != 0) {
            syslog(LOG_ERR, "%s:%d GroupDBDomainBuild() failed! vakoerr=0x%04X", kSrcBuild, __LINE__, SLIBErrorGet());
            // The build goes on without the domain's groups, but not for want
            // of memory.
            if (slib::OutOfMemory())
                return -1;
            keydb_internal::DomainFailEvent(kSrcBuild, __LINE__);
        }
        if (GroupDBDescBuild(pDb) != 0)
            return -1;
        return GroupDbConfSyncTimeSet(pDb, nullptr, nullptr);
    });
}

int GroupDBDomainBuild(VAKOBDB *pNameDb)
{
    return slib::Guarded(kSrcDomain, -1, [&] {
        return keydb_internal::DomainNamesBuild(pNameDb,
                                                {kSrcDomain, SZF_DOMAIN_GROUP, ":x:-1:", "domain group build nothing",
                                                 kDomainKeySize, kWinsSize, UpperKey});
    });
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
    return slib::Guarded(kSrcDump, -1, [&] {
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
    });
}

int VAKOGroupDBDump(VAKOGROUPDB *pDb)
{
    return slib::Guarded(kSrcDump, -1, [&] {
        if (!pDb || !pDb->pGRPName || !pDb->pGRPGID || !pDb->pGRPDesc) {
            SLIB_ERR_IN(kSrcDump, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        bool damaged = false;
        // The text files stay as they were; a damaged cache is rebuilt from
        // them. The cause stays recorded.
        auto failed = [&] {
            if (damaged) {
                slib::SavedError saved;
                VAKOBDbCacheRebuildDamaged(&gVakoGroupDbCache, pDb);
                saved.Restore();
            }
            return -1;
        };
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
        std::vector<Walked> groups;
        if (!WalkGroups(pDb, groups, &damaged))
            return failed();
        // The files as they stand: their lines that the cache does not hold
        // are written back.
        keydb_internal::TextFile groupText, descText;
        if (!groupText.Read(SZF_GROUP, GroupRule(), kSrcDump) ||
            !descText.Read(SZF_GROUP_DESC, keydb_internal::KeyedLines(kDescShape).Rule(), kSrcDump))
            return -1;
        char marker[64];
        snprintf(marker, sizeof marker, "#$%s$%d$", SZ_GID_INDEX_MARKER, current);
        std::vector<keydb_internal::DumpRecord> lines{{kMarkerKey, marker, std::nullopt}}, descLines;
        if (!CollectGroups(pDb, groups, names.get(), descs.get(), descText, lines, descLines, &damaged))
            return failed();
        // A line of a key that no group walked stays where it stood while its
        // record is there (a line of a domain name, or of no group).
        auto inHash = [](PSLIBSZHASH hash) {
            return [hash](const std::string &key, keydb_internal::DumpRecord &rec) {
                const char *v = SzSLIBSzHashGetValue(hash, key.c_str());
                if (v)
                    rec.value = v;
                return v ? 1 : 0;
            };
        };
        auto groupLookup = [&](const std::string &key, keydb_internal::DumpRecord &rec) {
            int found = inHash(names.get())(key, rec);
            return found == 1 && AsBuilt(pDb, key, rec.asBuilt) != 0 ? -1 : found;
        };
        if (!groupText.Write(group, lines, groupLookup) || !descText.Write(desc, descLines, inHash(descs.get()))) {
            WriteFailed("fputs()");
            return -1;
        }
        struct stat stGroup, stDesc;
        if (!Flush(group, &stGroup) || !Flush(desc, &stDesc))
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
            syslog(LOG_ERR, "%s:%d GroupDbConfSyncTimeSet() failed! vakoerr=0x%04X", kSrcDump, __LINE__,
                   SLIBErrorGet());
            return -1;
        }
        return 0;
    });
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
