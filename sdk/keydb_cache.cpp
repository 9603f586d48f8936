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

#include "slib/error.h"
#include "slibcxx/raii.h"

namespace {

constexpr const char *kSrc = "bdb_check_and_rebuild";

#define CACHE_ERR(code) SLIBErrorSetEx((code), kSrc, __LINE__)

bool Valid(const VAKOBDBCACHE *c)
{
    if (!c || c->nFile <= 0 || !c->rgFile || !c->pfnOpenSet || !c->pfnCloseSet || !c->pfnFile ||
        !c->szRebuildLock)
        return false;
    for (int i = 0; i < c->nFile; i++)
        if (!c->rgFile[i].szPath || !c->rgFile[i].szTmpPath)
            return false;
    return true;
}

const char *PathOf(const VAKOBDBCACHEFILE &f, bool tmp) { return tmp ? f.szTmpPath : f.szPath; }

// Removes the live or temporary files; false when one is left behind. A
// live file is first marked replaced, so that a process still holding it
// reopens rather than keep working on a file that is gone.
bool RemoveFiles(const VAKOBDBCACHE *c, bool tmp)
{
    bool all = true;
    for (int i = 0; i < c->nFile; i++) {
        const char *path = PathOf(c->rgFile[i], tmp);
        if (!tmp && access(path, F_OK) == 0) {
            if (VAKOBDB *held = VAKOBDbOpen(path, O_RDWR, c->rgFile[i].bDup)) {
                VAKOBDbDeprecatedSet(held, 1);
                VAKOBDbClose(held);
            }
        }
        if (unlink(path) != 0 && errno != ENOENT) {
            syslog(LOG_ERR, "%s:%d unlink(%s) failed. errno=%d/%m", kSrc, __LINE__, path, errno);
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
        if (stat(path, &st) != 0) {
            syslog(LOG_ERR, "%s:%d stat(%s) failed, so rebuild db. (errno=%s)", kSrc, __LINE__, path,
                   strerror(errno));
            *pDecision = Decision::Rebuild;
            return 0;
        }
        long long size = st.st_size;
        if (size < VAKO_BDB_CACHE_MIN_SIZE) {
            syslog(LOG_ERR, "%s:%d st_size(%s)=%llu, so rebuild db.", kSrc, __LINE__, path,
                   static_cast<unsigned long long>(size));
            *pDecision = Decision::Rebuild;
            return 0;
        }
        int flag = VAKOBDbDeprecatedGet(c->pfnFile(pDb, i));
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
                CACHE_ERR(VAKO_ERR_BDB_ACCESS);
                break;
            case ENOMEM:
                CACHE_ERR(SLIB_ERR_OUT_OF_MEMORY);
                break;
            case ENOENT:
                CACHE_ERR(VAKO_ERR_BDB_NO_SOURCE);
                break;
            default:
                CACHE_ERR(SLIB_ERR_STAT);
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

// Keeps the error code of a failure while the files are cleaned up.
class SavedError {
public:
    SavedError() : code_(SLIBErrorGet()), file_(SLIBErrorGetFile()), line_(SLIBErrorGetLine()) {}
    void Restore() const { SLIBErrorSetEx(code_, file_, line_); }

private:
    int code_;
    const char *file_;
    int line_;
};

// The exclusive hold of a database's rebuild lock, for one build. A wait
// ends when the holder's build does: builds take no other lock first.
class RebuildLock {
public:
    explicit RebuildLock(const char *path)
        : fd_(open(path, O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666))
    {
        if (fd_.get() < 0) {
            syslog(LOG_ERR, "%s:%d open(%s) failed. errno=%d/%m", kSrc, __LINE__, path, errno);
            CACHE_ERR(SLIB_ERR_OPEN);
            return;
        }
        int r;
        while ((r = flock(fd_.get(), LOCK_EX)) != 0 && errno == EINTR) {
        }
        if (r != 0) {
            syslog(LOG_ERR, "%s:%d flock(%s) failed. errno=%d/%m", kSrc, __LINE__, path, errno);
            CACHE_ERR(SLIB_ERR_OPEN);
            return;
        }
        held_ = true;
    }
    bool held() const { return held_; }

private:
    slib::Fd fd_; // closing it releases the lock
    bool held_ = false;
};

// True when every live file is there and large enough to be kept.
bool LiveFilesWhole(const VAKOBDBCACHE *c)
{
    for (int i = 0; i < c->nFile; i++) {
        struct stat st;
        if (stat(c->rgFile[i].szPath, &st) != 0 || st.st_size < VAKO_BDB_CACHE_MIN_SIZE)
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
    if (opened == 0 && (CheckFiles(c, fresh, &now) < 0 ||
                        (now == Decision::None && CheckSources(c, fresh, &now) < 0) || now != Decision::None)) {
        c->pfnCloseSet(fresh);
        return false;
    }
    c->pfnCloseSet(*ppDb);
    *ppDb = fresh;
    return true;
}

// Under the rebuild lock: see VAKOBDbCacheRebuild.
int RebuildLocked(const VAKOBDBCACHE *c, void **ppNew)
{
    void *pNew = nullptr;
    VAKOBDB *old = nullptr;
    auto failed = [&] {
        SavedError saved;
        if (old)
            VAKOBDbClose(old);
        c->pfnCloseSet(pNew);
        // A cache that is out of step must not be used, nor later dumped over
        // the text files: without it the next open builds afresh.
        RemoveFiles(c, true);
        RemoveFiles(c, false);
        saved.Restore();
        return -1;
    };
    // Files of an interrupted rebuild may be incomplete: never build on them.
    if (!RemoveFiles(c, true)) {
        CACHE_ERR(SLIB_ERR_OPEN);
        return failed();
    }
    if (c->pfnOpenSet(&pNew, 1) < 0) {
        syslog(LOG_ERR, "%s:%d building the new set failed. vakoerr=0x%04X", kSrc, __LINE__, SLIBErrorGet());
        CACHE_ERR(SLIB_ERR_OPEN);
        return failed();
    }
    // A damaged old file can carry no mark; the renames replace it all the same.
    if (c->bMarkOldSet && access(c->rgFile[0].szPath, F_OK) == 0) {
        old = VAKOBDbOpen(c->rgFile[0].szPath, O_RDWR, c->rgFile[0].bDup);
        if (!old)
            syslog(LOG_ERR, "%s:%d VAKOBDbOpen [%s] failed. vakoerr=0x%04X", kSrc, __LINE__, c->rgFile[0].szPath,
                   SLIBErrorGet());
    }
    for (int i = 0; i < c->nFile; i++) {
        const char *from = c->rgFile[i].szTmpPath, *to = c->rgFile[i].szPath;
        if (rename(from, to) != 0) {
            int err = errno;
            syslog(LOG_ERR, "%s:%d rename(%s, %s) = (%d)/%m", kSrc, __LINE__, from, to, err);
            CACHE_ERR(err == EACCES ? VAKO_ERR_BDB_ACCESS : SLIB_ERR_RENAME);
            return failed();
        }
    }
    // Processes that still hold the replaced file learn at their next check.
    if (old) {
        VAKOBDbDeprecatedSet(old, 1);
        VAKOBDbClose(old);
        old = nullptr;
    }
    // The store syncs a file at its close by the name it was opened with: a
    // set opened under the temporary names, renamed since, is no set to
    // work on.
    c->pfnCloseSet(pNew);
    pNew = nullptr;
    if (ppNew) {
        if (c->pfnOpenSet(&pNew, 0) < 0) {
            syslog(LOG_ERR, "%s:%d reopen failed. vakoerr=0x%04X", kSrc, __LINE__, SLIBErrorGet());
            return failed();
        }
        *ppNew = pNew;
    }
    return 0;
}

} // namespace

extern "C" {

int VAKOBDbCacheRebuild(const VAKOBDBCACHE *pCache, void **ppNew)
{
    if (!Valid(pCache)) {
        CACHE_ERR(SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    RebuildLock lock(pCache->szRebuildLock);
    if (!lock.held())
        return -1;
    return RebuildLocked(pCache, ppNew);
}

int VAKOBDbCacheCheckAndRebuild(const VAKOBDBCACHE *pCache, void **ppDb)
{
    if (!Valid(pCache) || !ppDb || !*ppDb) {
        CACHE_ERR(SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    const VAKOBDBCACHE *c = pCache;
    Decision decision = Decision::None;
    if (CheckFiles(c, *ppDb, &decision) < 0)
        return -1;
    if (decision == Decision::None && CheckSources(c, *ppDb, &decision) < 0)
        return -1;
    if (decision == Decision::None)
        return 0;
    RebuildLock lock(c->szRebuildLock);
    if (!lock.held())
        return -1;
    if (decision == Decision::Rebuild && TakeOthersRebuild(c, ppDb))
        return 1;
    if (decision == Decision::Reopen) {
        if (c->pfnOpenSet(ppDb, 0) < 0) {
            syslog(LOG_ERR, "%s:%d reopen failed. vakoerr=0x%04X", kSrc, __LINE__, SLIBErrorGet());
            CACHE_ERR(SLIB_ERR_OPEN);
            return -1;
        }
        return 1;
    }
    void *pNew = nullptr;
    if (RebuildLocked(c, &pNew) < 0) {
        syslog(LOG_ERR, "%s:%d rebuild failed, vakoerr=0x%04X", kSrc, __LINE__, SLIBErrorGet());
        SavedError saved;
        c->pfnCloseSet(*ppDb);
        *ppDb = nullptr;
        saved.Restore();
        return -1;
    }
    // The caller's files have been replaced: tell their other holders.
    bool marked = MarkReplaced(c, *ppDb);
    c->pfnCloseSet(*ppDb);
    *ppDb = pNew;
    return marked ? 1 : -1;
}

void *VAKOBDbCacheOpen(const VAKOBDBCACHE *pCache)
{
    if (!Valid(pCache)) {
        CACHE_ERR(SLIB_ERR_BAD_PARAMETER);
        return nullptr;
    }
    void *pDb = nullptr;
    int r;
    {
        // Opening creates and builds missing files: one process at a time.
        RebuildLock lock(pCache->szRebuildLock);
        if (!lock.held())
            return nullptr;
        r = pCache->pfnOpenSet(&pDb, 0);
        if (r < 0) {
            // A file that the store refuses, or a build that stopped half way,
            // is no cache to keep: build afresh once.
            RemoveFiles(pCache, false);
            r = pCache->pfnOpenSet(&pDb, 0);
            if (r < 0) {
                SavedError again;
                RemoveFiles(pCache, false);
                again.Restore();
                return nullptr;
            }
        }
    }
    if (r == 0)
        VAKOBDbCacheCheckAndRebuild(pCache, &pDb);
    return pDb;
}

} // extern "C"
