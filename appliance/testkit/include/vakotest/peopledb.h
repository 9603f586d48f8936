// A small database on the check-and-rebuild procedure (vako/keydb_cache.h),
// for its tests and benchmarks: "people" lines "name:id" in /etc/people and
// "name:text" in /etc/people_desc, cached in three files: .name (upper-cased
// name -> line), .id ("%06d" id -> upper-cased name, duplicates allowed) and
// .desc.
#pragma once

#include <ctype.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "vako/keydb.h"
#include "vako/keydb_cache.h"

namespace people {

constexpr char kSource[] = "/etc/people";
constexpr char kDescSource[] = "/etc/people_desc";

enum { kName, kId, kDesc, kFiles };

constexpr VAKOBDBCACHEFILE kCacheFiles[kFiles] = {
    {"/tmp/.db.people.name.0966", "/tmp/.db.people.tmp.name.0966", kSource, 0, VAKO_BDB_MODE},
    {"/tmp/.db.people.id.0966", "/tmp/.db.people.tmp.id.0966", nullptr, 1, VAKO_BDB_MODE},
    {"/tmp/.db.people.desc.0966", "/tmp/.db.people.tmp.desc.0966", kDescSource, 0, VAKO_BDB_MODE},
};

struct PeopleDb {
    VAKOBDB *file[kFiles];
};

// Builds made so far (by any opener of this process).
inline int gBuilds = 0;

inline std::string Upper(const std::string &s)
{
    std::string u = s;
    for (char &c : u)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return u;
}

inline int Put(VAKOBDB *bdb, const std::string &key, const std::string &value)
{
    return VAKOBDbSet(bdb, key.c_str(), static_cast<int>(key.size()) + 1, value.c_str(),
                      static_cast<int>(value.size()) + 1);
}

// Each line "name:rest"; a line without ':' fails the build.
template <class Fn> int EachLine(const char *path, Fn fn)
{
    FILE *fp = fopen(path, "re");
    if (!fp)
        return -1;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    int r = 0;
    while (r == 0 && (n = getline(&line, &cap, fp)) >= 0) {
        std::string l(line, static_cast<size_t>(n));
        if (!l.empty() && l.back() == '\n')
            l.pop_back();
        size_t colon = l.find(':');
        r = colon == std::string::npos ? -1 : fn(l, l.substr(0, colon), l.substr(colon + 1));
    }
    free(line);
    fclose(fp);
    return r;
}

inline int Build(PeopleDb *db)
{
    gBuilds++;
    int r = EachLine(kSource, [&](const std::string &line, const std::string &name, const std::string &id) {
        char key[16];
        snprintf(key, sizeof key, "%06d", atoi(id.c_str()));
        return Put(db->file[kName], Upper(name), line) | Put(db->file[kId], key, Upper(name));
    });
    if (r == 0)
        r = EachLine(kDescSource, [&](const std::string &line, const std::string &name, const std::string &) {
            return Put(db->file[kDesc], Upper(name), line);
        });
    struct stat src, desc;
    if (r != 0 || stat(kSource, &src) != 0 || stat(kDescSource, &desc) != 0)
        return -1;
    return VAKOBDbConfSyncTimeSet(db->file[kName], src.st_mtime) | VAKOBDbConfSyncTimeSet(db->file[kId], src.st_mtime) |
           VAKOBDbConfSyncTimeSet(db->file[kDesc], desc.st_mtime);
}

inline void CloseSet(void *p)
{
    auto *db = static_cast<PeopleDb *>(p);
    if (!db)
        return;
    for (VAKOBDB *f : db->file)
        if (f)
            VAKOBDbClose(f);
    free(db);
}

// As the databases' openers: open each file, else create it marked 0; when
// one was created build them all and open them again.
inline int OpenSet(void **ppDb, int bTmp)
{
    auto *db = static_cast<PeopleDb *>(calloc(1, sizeof(PeopleDb)));
    if (!db)
        return -1;
    bool created = false;
    for (int i = 0; i < kFiles; i++) {
        const char *path = bTmp ? kCacheFiles[i].szTmpPath : kCacheFiles[i].szPath;
        db->file[i] = VAKOBDbOpen(path, O_RDWR, kCacheFiles[i].bDup);
        if (!db->file[i]) {
            db->file[i] = VAKOBDbOpen(path, O_RDWR | O_CREAT, kCacheFiles[i].bDup);
            if (!db->file[i]) {
                CloseSet(db);
                return -1;
            }
            VAKOBDbDeprecatedSet(db->file[i], 0);
            created = true;
        }
    }
    if (created) {
        if (Build(db) != 0) {
            CloseSet(db);
            return -1;
        }
        for (int i = 0; i < kFiles; i++) {
            VAKOBDbClose(db->file[i]);
            db->file[i] = VAKOBDbOpen(bTmp ? kCacheFiles[i].szTmpPath : kCacheFiles[i].szPath, O_RDWR,
                                      kCacheFiles[i].bDup);
            if (!db->file[i]) {
                CloseSet(db);
                return -1;
            }
        }
    }
    CloseSet(*ppDb);
    *ppDb = db;
    return created ? 1 : 0;
}

inline VAKOBDB *File(void *p, int idx) { return p ? static_cast<PeopleDb *>(p)->file[idx] : nullptr; }

constexpr VAKOBDBCACHE kCache = {
    .nFile = kFiles,
    .rgFile = kCacheFiles,
    .bMarkOldSet = 1,
    .pfnOpenSet = OpenSet,
    .pfnCloseSet = CloseSet,
    .pfnFile = File,
    .szRebuildLock = "/tmp/.db.people.tmp.lock",
    .szSrcOpen = "people_db_open",
    .szSrcCheck = "people_db_check_and_rebuild",
    .szSrcRebuild = "people_db_rebuild",
    .rgFlagOrder = nullptr,
    .rgRenameOrder = nullptr,
    .szLogRebuildFailed = "%s:%d PeopleDBRebuild failed, vakoerr=0x%04X",
    .szLogReopenFailed = "%s:%d PeopleDBOpenFile() Error, SLIBError=(0x%04X)",
    .szLogOldSetFailed = "%s:%d PeopleDBOpenFile(&pOld) Error, SLIBError=(0x%04X)",
    .szLogRenameFailed = "%s:%d rename(%s, %s) = (%d)/%m",
    .reopenFailCode = 0,
};

} // namespace people
