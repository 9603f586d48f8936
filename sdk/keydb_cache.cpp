// Check and rebuild of the databases whose keyed files cache text files.
#include "vako/keydb_cache.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "keydb_internal.h"
#include "slib/error.h"
#include "slibcxx/border.h"
#include "slibcxx/raii.h"
#include "slibcxx/trusted.h"

namespace {

using slib::SavedError;

// Recorded for a descriptor that is no descriptor (it names no source).
constexpr const char *kSrc = "bdb_check_and_rebuild";

// The rebuild lock: the file's mode, and the tries at its flock, one every
// 50 ms for half a minute (a build of the largest appliance's files takes
// a few seconds; a holder beyond that is stuck).
constexpr mode_t kLockMode = 0600;
constexpr slib::LockTries kLockTries = {.lockOp = LOCK_EX, .opens = 1, .locks = 600, .pauseMs = 50};

#define CACHE_ERR(src, code) SLIBErrorSetEx((code), (src), __LINE__)

bool Valid(const VAKOBDBCACHE *c)
{
    if (!c || c->nFile <= 0 || !c->rgFile || !c->pfnOpenSet || !c->pfnCloseSet || !c->pfnFile || !c->szRebuildLock ||
        !c->szSrcOpen || !c->szSrcCheck || !c->szSrcRebuild)
        return false;
    for (int i = 0; i < c->nFile; i++) {
        if (!c->rgFile[i].szPath || !c->rgFile[i].szTmpPath)
            return false;
        for (const int *order : {c->rgFlagOrder, c->rgRenameOrder})
            if (order && (order[i] < 0 || order[i] >= c->nFile))
                return false;
    }
    return true;
}

// The cache's source name of an operation (kSrc without one).
const char *SrcOf(const VAKOBDBCACHE *c, const char *const VAKOBDBCACHE::*field)
{
    return c && c->*field ? c->*field : kSrc;
}

// The i-th file of an order, or of rgFile's own order.
int At(const int *order, int i) { return order ? order[i] : i; }

const char *PathOf(const VAKOBDBCACHEFILE &f, bool tmp) { return tmp ? f.szTmpPath : f.szPath; }

// True when a regular file (not a link to one) stands at path.
bool IsRegular(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// Removes the live or temporary files, whatever stands at their names
// (never followed); false when one is left behind. A live file is first
// marked replaced, so that a process still holding it reopens rather than
// keep working on a file that is gone.
bool RemoveFiles(const VAKOBDBCACHE *c, bool tmp, const char *src)
{
    bool all = true;
    for (int i = 0; i < c->nFile; i++) {
        const char *path = PathOf(c->rgFile[i], tmp);
        if (!tmp && IsRegular(path)) {
            if (VAKOBDB *held = VAKOBDbOpen(path, O_RDWR, c->rgFile[i].bDup)) {
                VAKOBDbDeprecatedSet(held, 1);
                VAKOBDbClose(held);
            }
        }
        if (!slib::RemoveName(path)) {
            syslog(LOG_ERR, "%s:%d unlink(%s) failed. errno=%d/%m", src, __LINE__, path, errno);
            all = false;
        }
    }
    return all;
}

enum class Decision { None, Rebuild, Reopen };

// Steps over the cache files: missing or small asks for a rebuild, a file
// replaced by another process for a reopen. -1 when a flag cannot be read.
int CheckFiles(const VAKOBDBCACHE *c, void *pDb, Decision *pDecision)
{
    for (int i = 0; i < c->nFile; i++) {
        const char *path = c->rgFile[i].szPath;
        struct stat st;
        // The name itself: a link there is no cache file.
        if (lstat(path, &st) != 0) {
            syslog(LOG_ERR, "%s:%d stat(%s) failed, so rebuild db. (errno=%s)", c->szSrcCheck, __LINE__, path,
                   strerror(errno));
            *pDecision = Decision::Rebuild;
            return 0;
        }
        long long size = st.st_size;
        if (size < VAKO_BDB_CACHE_MIN_SIZE) {
            syslog(LOG_ERR, "%s:%d st_size(%s)=%llu, so rebuild db.", c->szSrcCheck, __LINE__, path,
                   static_cast<unsigned long long>(size));
            *pDecision = Decision::Rebuild;
            return 0;
        }
        int flag = VAKOBDbDeprecatedGet(c->pfnFile(pDb, At(c->rgFlagOrder, i)));
        if (flag == -1)
            return -1;
        if (flag == 1) {
            *pDecision = Decision::Reopen;
            return 0;
        }
    }
    return 0;
}

// Steps over the source text files: a cache out of step asks for a rebuild.
int CheckSources(const VAKOBDBCACHE *c, void *pDb, Decision *pDecision)
{
    for (int i = 0; i < c->nFile; i++) {
        const char *source = c->rgFile[i].szSource;
        if (!source)
            continue;
        struct stat st;
        if (stat(source, &st) != 0) {
            switch (errno) {
            case EACCES:
                CACHE_ERR(c->szSrcCheck, VAKO_ERR_BDB_ACCESS);
                break;
            case ENOMEM:
                CACHE_ERR(c->szSrcCheck, SLIB_ERR_OUT_OF_MEMORY);
                break;
            case ENOENT:
                CACHE_ERR(c->szSrcCheck, VAKO_ERR_BDB_NO_SOURCE);
                break;
            default:
                CACHE_ERR(c->szSrcCheck, SLIB_ERR_STAT);
                break;
            }
            return -1;
        }
        int r = VAKOBDbIsNeedToRebuild(c->pfnFile(pDb, i), st.st_mtime);
        if (r == -1)
            return -1;
        if (r == 1) {
            *pDecision = Decision::Rebuild;
            return 0;
        }
    }
    return 0;
}

// Marks every file of a record replaced; false when one could not be marked.
bool MarkReplaced(const VAKOBDBCACHE *c, void *pDb)
{
    bool all = true;
    for (int i = 0; i < c->nFile; i++)
        if (VAKOBDbDeprecatedSet(c->pfnFile(pDb, i), 1) != 0)
            all = false;
    return all;
}

// The exclusive hold of a database's rebuild lock, for one build. The lock
// file is this account's own, mode 0600: what another account made or
// could open at its name is removed and the file made anew, so nobody else
// can hold it. A wait for another build is bounded: it fails the build.
class RebuildLock {
public:
    RebuildLock(const char *path, const char *src)
    {
        const slib::TrustedName name = {.path = path,
                                        .flags = O_RDONLY,
                                        .mode = kLockMode,
                                        .checks = slib::kTrustOwnFile | slib::kTrustModeWithin,
                                        .replace = true,
                                        .src = src};
        slib::LockedOpen why = slib::LockedOpen::kOpen;
        fd_ = slib::OpenLocked(name, kLockTries, &why);
        if (why == slib::LockedOpen::kHeld)
            return;
        const int err = errno;
        if (why == slib::LockedOpen::kLock) {
            syslog(LOG_ERR, "%s:%d flock(%s) failed. errno=%d/%m", src, __LINE__, path, err);
            CACHE_ERR(src, SLIB_ERR_LOCK_TIMEOUT);
        } else {
            syslog(LOG_ERR, "%s:%d open(%s) failed. errno=%d/%m", src, __LINE__, path, err);
            CACHE_ERR(src, err == EACCES ? VAKO_ERR_BDB_ACCESS : SLIB_ERR_OPEN);
        }
    }
    bool held() const { return fd_.ok(); }

private:
    slib::Fd fd_; // closing it releases the lock
};

// True when every live file is there and large enough to be kept.
bool LiveFilesWhole(const VAKOBDBCACHE *c)
{
    for (int i = 0; i < c->nFile; i++) {
        struct stat st;
        if (lstat(c->rgFile[i].szPath, &st) != 0 || st.st_size < VAKO_BDB_CACHE_MIN_SIZE)
            return false;
    }
    return true;
}

// Under the rebuild lock, when the caller's files were found stale: another
// process may have rebuilt while this one waited. Its files are judged
// through handles of their own, since a handle that has read a page does
// not see what others write to it later. True with *ppDb replaced by the
// live set when that is current.
bool TakeOthersRebuild(const VAKOBDBCACHE *c, void **ppDb)
{
    if (!LiveFilesWhole(c))
        return false;
    void *fresh = nullptr;
    int opened = c->pfnOpenSet(&fresh, 0);
    if (opened < 0)
        return false;
    Decision now = Decision::None;
    if (opened == 0 && (CheckFiles(c, fresh, &now) < 0 || (now == Decision::None && CheckSources(c, fresh, &now) < 0) ||
                        now != Decision::None)) {
        c->pfnCloseSet(fresh);
        return false;
    }
    c->pfnCloseSet(*ppDb);
    *ppDb = fresh;
    return true;
}

// Opens the live files anew into *ppDb (the record it held closed): 0, or
// -1 with *ppDb as it was, logged and recorded as the database asks.
int Reopen(const VAKOBDBCACHE *c, void **ppDb, const char *src)
{
    if (c->pfnOpenSet(ppDb, 0) >= 0)
        return 0;
    if (c->szLogReopenFailed)
        syslog(LOG_ERR, c->szLogReopenFailed, src, __LINE__, SLIBErrorGet());
    if (c->reopenFailCode && !slib::OutOfMemory())
        CACHE_ERR(src, c->reopenFailCode);
    return -1;
}

// The steps of RebuildLocked, the sets they open in pNew and pOld: 0, or
// -1 with those left for the caller to close.
int RebuildSteps(const VAKOBDBCACHE *c, void **ppNew, void *&pNew, void *&pOld)
{
    const char *src = c->szSrcRebuild;
    // Files of an interrupted rebuild may be incomplete: never build on them.
    if (!RemoveFiles(c, true, src)) {
        CACHE_ERR(src, SLIB_ERR_OPEN);
        return -1;
    }
    if (c->pfnOpenSet(&pNew, 1) < 0) {
        if (!slib::OutOfMemory())
            CACHE_ERR(src, SLIB_ERR_OPEN);
        return -1;
    }
    // Holders of the old files learn of the renames through a handle of our
    // own; only a file can have holders.
    if (c->bMarkOldSet && IsRegular(c->rgFile[0].szPath) && c->pfnOpenSet(&pOld, 0) < 0) {
        if (c->szLogOldSetFailed)
            syslog(LOG_ERR, c->szLogOldSetFailed, src, __LINE__, SLIBErrorGet());
        return -1;
    }
    for (int i = 0; i < c->nFile; i++) {
        const VAKOBDBCACHEFILE &f = c->rgFile[At(c->rgRenameOrder, i)];
        if (rename(f.szTmpPath, f.szPath) != 0) {
            int err = errno;
            if (c->szLogRenameFailed)
                syslog(LOG_ERR, c->szLogRenameFailed, src, __LINE__, f.szTmpPath, f.szPath, err);
            CACHE_ERR(src, err == EACCES ? VAKO_ERR_BDB_ACCESS : SLIB_ERR_RENAME);
            return -1;
        }
    }
    // Processes that still hold the replaced file learn at their next check.
    if (pOld) {
        VAKOBDbDeprecatedSet(c->pfnFile(pOld, 0), 1);
        c->pfnCloseSet(pOld);
        pOld = nullptr;
    }
    // The store syncs a file at its close by the name it was opened with: a
    // set opened under the temporary names, renamed since, is no set to
    // work on.
    c->pfnCloseSet(pNew);
    pNew = nullptr;
    if (ppNew) {
        if (Reopen(c, &pNew, src) < 0)
            return -1;
        *ppNew = pNew;
    }
    return 0;
}

// Under the rebuild lock: see VAKOBDbCacheRebuild.
int RebuildLocked(const VAKOBDBCACHE *c, void **ppNew)
{
    const char *src = c->szSrcRebuild;
    void *pNew = nullptr;
    void *pOld = nullptr;
    // Also after a failure for want of memory part way (0x0200).
    if (slib::Guarded(src, -1, [&] { return RebuildSteps(c, ppNew, pNew, pOld); }) == 0)
        return 0;
    SavedError saved;
    c->pfnCloseSet(pOld);
    c->pfnCloseSet(pNew);
    // A cache that is out of step must not be used, nor later dumped over
    // the text files: without it the next open builds afresh.
    RemoveFiles(c, true, src);
    RemoveFiles(c, false, src);
    saved.Restore();
    return -1;
}

} // namespace

extern "C" {

int VAKOBDbCacheRebuild(const VAKOBDBCACHE *pCache, void **ppNew)
{
    return slib::Guarded(SrcOf(pCache, &VAKOBDBCACHE::szSrcRebuild), -1, [&] {
        if (!Valid(pCache)) {
            CACHE_ERR(SrcOf(pCache, &VAKOBDBCACHE::szSrcRebuild), SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        RebuildLock lock(pCache->szRebuildLock, pCache->szSrcRebuild);
        if (!lock.held())
            return -1;
        return RebuildLocked(pCache, ppNew);
    });
}

int VAKOBDbCacheCheckAndRebuild(const VAKOBDBCACHE *pCache, void **ppDb)
{
    return slib::Guarded(SrcOf(pCache, &VAKOBDBCACHE::szSrcCheck), -1, [&] {
        if (!Valid(pCache) || !ppDb || !*ppDb) {
            CACHE_ERR(SrcOf(pCache, &VAKOBDBCACHE::szSrcCheck), SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        const VAKOBDBCACHE *c = pCache;
        const char *src = c->szSrcCheck;
        Decision decision = Decision::None;
        if (CheckFiles(c, *ppDb, &decision) < 0)
            return -1;
        if (decision == Decision::None && CheckSources(c, *ppDb, &decision) < 0)
            return -1;
        if (decision == Decision::None)
            return 0;
        RebuildLock lock(c->szRebuildLock, src);
        if (!lock.held())
            return -1;
        if (decision == Decision::Rebuild) {
            if (TakeOthersRebuild(c, ppDb))
                return 1;
            if (RebuildLocked(c, nullptr) < 0) {
                if (c->szLogRebuildFailed)
                    syslog(LOG_ERR, c->szLogRebuildFailed, src, __LINE__, SLIBErrorGet());
                // The caller's files are gone with the rest of the cache.
                SavedError saved;
                c->pfnCloseSet(*ppDb);
                *ppDb = nullptr;
                saved.Restore();
                return -1;
            }
            // The caller's files have been replaced: tell their other holders.
            if (!MarkReplaced(c, *ppDb))
                return -1;
        }
        return Reopen(c, ppDb, src) < 0 ? -1 : 1;
    });
}

// The one path by which a database's own operations ask for a rebuild: a
// dump that meets a record it cannot read (missing, or not of its form)
// writes nothing, and what the cache holds is no longer trusted.
int VAKOBDbCacheRebuildDamaged(const VAKOBDBCACHE *pCache, void *pDb)
{
    return slib::Guarded(SrcOf(pCache, &VAKOBDBCACHE::szSrcRebuild), -1, [&] {
        if (!Valid(pCache) || !pDb) {
            CACHE_ERR(SrcOf(pCache, &VAKOBDBCACHE::szSrcRebuild), SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        RebuildLock lock(pCache->szRebuildLock, pCache->szSrcRebuild);
        if (!lock.held())
            return -1;
        if (RebuildLocked(pCache, nullptr) < 0) {
            if (pCache->szLogRebuildFailed)
                syslog(LOG_ERR, pCache->szLogRebuildFailed, pCache->szSrcRebuild, __LINE__, SLIBErrorGet());
            return -1;
        }
        // The new files stand at the live names: the caller's old ones are
        // marked (through its own handles) for its next check.
        return MarkReplaced(pCache, pDb) ? 0 : -1;
    });
}

void *VAKOBDbCacheOpen(const VAKOBDBCACHE *pCache)
{
    return slib::Guarded(SrcOf(pCache, &VAKOBDBCACHE::szSrcOpen), static_cast<void *>(nullptr), [&]() -> void * {
        if (!Valid(pCache)) {
            CACHE_ERR(SrcOf(pCache, &VAKOBDBCACHE::szSrcOpen), SLIB_ERR_BAD_PARAMETER);
            return nullptr;
        }
        const char *src = pCache->szSrcOpen;
        void *pDb = nullptr;
        int r;
        {
            // Opening creates and builds missing files: one process at a time.
            RebuildLock lock(pCache->szRebuildLock, src);
            if (!lock.held())
                return nullptr;
            r = pCache->pfnOpenSet(&pDb, 0);
            // Files that this account may not open are not its to remove, nor
            // are files that could not be opened for want of memory.
            if (r < 0 && (SLIBErrorGet() == VAKO_ERR_BDB_ACCESS || slib::OutOfMemory()))
                return nullptr;
            // A file that the store refuses, or a build that stopped half way,
            // is no cache to keep: build afresh once.
            if (r < 0) {
                syslog(LOG_ERR, "%s:%d cache files cannot be opened (vakoerr=0x%04X): removed, built anew", src,
                       __LINE__, SLIBErrorGet());
                RemoveFiles(pCache, false, src);
                r = pCache->pfnOpenSet(&pDb, 0);
                if (r < 0) {
                    SavedError again;
                    RemoveFiles(pCache, false, src);
                    again.Restore();
                    return nullptr;
                }
            }
        }
        // A set that could not be checked for want of memory is not handed out.
        if (r == 0 && VAKOBDbCacheCheckAndRebuild(pCache, &pDb) < 0 && slib::OutOfMemory()) {
            pCache->pfnCloseSet(pDb);
            return nullptr;
        }
        return pDb;
    });
}

} // extern "C"
