/* Check and rebuild of a database whose keyed files (vako/keydb.h) cache
 * text files: the procedure that the user, group and share databases share.
 *
 * A database is a set of cache files opened together into one handle record
 * of the database's own type, built from one or more source text files. Each
 * cache file that mirrors a source carries that file's modification time in
 * "#VAKO@SYNC@TIME". A cache is rebuilt when a file is missing, smaller than
 * 8192 bytes, or out of step with its source, and merely reopened when
 * another process has replaced it by a rebuild ("#VAKO@DEPRECATED" 1). A
 * rebuild builds a new set under temporary names and renames it into
 * place. Building (a rebuild, or the open that
 * creates missing live files) holds the database's rebuild lock, so two
 * processes never build into the same files at once; one that waited for
 * it takes the other's new files instead of building again.
 *
 * The files lie where every account may write (/tmp): a process makes its
 * caches, temporary files and rebuild lock itself, and what another
 * account put at their names (a link, a FIFO, a file of its own or one it
 * may write, another name of a file, a file that is no btree) is logged,
 * removed and built anew from the text files. A process that may not open
 * the files (another account's, e.g. root's) fails with 0x0300 and leaves
 * them alone. */
#ifndef VAKO_KEYDB_CACHE_H
#define VAKO_KEYDB_CACHE_H

#include <sys/types.h>

#include "vako/keydb.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Cache files below this size are rebuilt. */
#define VAKO_BDB_CACHE_MIN_SIZE 8192

/* One cache file of a database. */
typedef struct _tag_VAKOBDBCACHEFILE_ {
    const char *szPath;    /* the live file, e.g. "/tmp/.db.user.name.0966" */
    const char *szTmpPath; /* the same file of a rebuild's new set, e.g. "/tmp/.db.user.tmp.name.0966" */
    const char *szSource;  /* the text file whose st_mtime it carries, or NULL */
    int bDup;              /* opened with duplicate keys */
    mode_t mode;           /* made with, and never more: VAKO_BDB_SECRET_MODE or VAKO_BDB_MODE */
} VAKOBDBCACHEFILE;

/* A database: its files and the operations on its own handle record. */
typedef struct _tag_VAKOBDBCACHE_ {
    int nFile;
    /* In the order they are checked (status, size) and their sources compared. */
    const VAKOBDBCACHEFILE *rgFile;
    /* Before the renames, also open the live set (through pfnOpenSet) and,
     * after them, mark its first file replaced (the user and group
     * databases). */
    int bMarkOldSet;
    /* Opens the live (bTmp 0) or temporary (bTmp 1) set into a new record,
     * creating missing files and building them from the text files: on
     * success the record that *ppDb held (if any) is closed and the new one
     * stored, result 0 when all files existed, 1 when built; -1 leaves *ppDb
     * as it was. */
    int (*pfnOpenSet)(void **ppDb, int bTmp);
    /* Closes every file of a record and frees it; NULL does nothing. */
    void (*pfnCloseSet)(void *pDb);
    /* The open handle of rgFile[idx] in a record. */
    VAKOBDB *(*pfnFile)(void *pDb, int idx);
    /* A file of its own on which a build holds an exclusive flock, e.g.
     * "/tmp/.db.user.tmp.lock": made with mode 0600 when missing, and made
     * anew when another account made it or could open it; a wait for
     * another build's hold ends after 30 s with the build's failure
     * (0x0400). */
    const char *szRebuildLock;
    /* Source names recorded with the error codes and heading the log lines
     * ("%s:%d "): of the default open, of the check and of the rebuild
     * (e.g. "user_db_open", "user_db_check_and_rebuild", "user_db_rebuild"). */
    const char *szSrcOpen;
    const char *szSrcCheck;
    const char *szSrcRebuild;
    /* The order (indexes into rgFile) in which the check reads the files'
     * "#VAKO@DEPRECATED" flags, the i-th one right after the status of
     * rgFile[i]; NULL: rgFile's order. */
    const int *rgFlagOrder;
    /* The order in which a rebuild renames the new files into place; NULL:
     * rgFile's order. */
    const int *rgRenameOrder;
    /* The database's own log lines, each a format whose first two arguments
     * are the source name and line; NULL logs nothing:
     * a failed rebuild (then the code as "0x%04X"), e.g.
     * "%s:%d VAKOUserDBRebuild failed, vakoerr=0x%04X"; */
    const char *szLogRebuildFailed;
    /* a failed open of the live files after a rebuild or for a reopen (then
     * the code), e.g. "%s:%d VAKOUserDBOpenFile() Error, SLIBError=(0x%04X)"; */
    const char *szLogReopenFailed;
    /* a failed open of the old set before the renames (then the code), e.g.
     * "%s:%d VAKOUserDBOpenFile(&pUserDbOld) Error, SLIBError=(0x%04X)"; */
    const char *szLogOldSetFailed;
    /* a failed rename (then the new file's path, the live path and errno),
     * e.g. "%s:%d rename(%s, %s) = (%d)/%m". */
    const char *szLogRenameFailed;
    /* Recorded when that open of the live files fails but for want of
     * memory (0x0200 stays); 0 keeps the open's own code. */
    int reopenFailCode;
} VAKOBDBCACHE;

/* Checks the database whose record *ppDb holds: 0 current (*ppDb unchanged);
 * 1 rebuilt or reopened (*ppDb replaced by the live files opened anew, the
 * old record closed; a rebuild found needed is decided again under the
 * rebuild lock, and becomes a reopen when another process has rebuilt
 * meanwhile); -1 on failure: a failed check or reopen leaves *ppDb as it
 * was, and so does a rebuild after which the caller's old files cannot all
 * be marked replaced; after a failed rebuild the cache files are removed
 * and *ppDb is closed and set to NULL, since it is out of step with the
 * text files. Codes under szSrcCheck: 0x0D00 NULL arguments, 0x0300,
 * 0x0200, 0x0600 or 0x2700 a source's status, 0x0400 the rebuild lock
 * not had in time (0x0300, 0x0900 not opened), else the failing step's. */
int VAKOBDbCacheCheckAndRebuild(const VAKOBDBCACHE *pCache, void **ppDb);
/* Under the rebuild lock, builds a new set of files from the text files
 * under the temporary names (leftovers of an interrupted rebuild are
 * removed first); with bMarkOldSet opens the live set as well, renames the
 * new files over the live ones and marks the old set's first file
 * replaced: 0 with the live files opened anew into *ppNew (nothing opened
 * when ppNew is NULL), or -1 with the temporary and live files removed
 * (under szSrcRebuild: 0x0900 build or lock, 0x0400 the lock not had in
 * time, 0x0300/0x2800 rename; or the failed open's code). */
int VAKOBDbCacheRebuild(const VAKOBDBCACHE *pCache, void **ppNew);
/* A record that the open database pDb holds cannot be what its files say
 * (a dump found it missing or not of its form): the cache is rebuilt from
 * the text files at once under the rebuild lock, as a check that found it
 * stale would, and pDb's files are marked replaced, so that every holder
 * reopens. 0, or -1 with the rebuild's code (the cache files are then
 * removed, so that the next open builds afresh). pDb stays the caller's. */
int VAKOBDbCacheRebuildDamaged(const VAKOBDBCACHE *pCache, void *pDb);
/* The live database, checked and rebuilt when needed: a record to close
 * with pfnCloseSet, or NULL (0x0300: files or lock that this account may
 * not open, left as they are; 0x0400: the rebuild lock not had in time).
 * Missing or refused files are built under the rebuild lock; files that
 * the store refuses to open as databases are removed and built anew. */
void *VAKOBDbCacheOpen(const VAKOBDBCACHE *pCache);

#ifdef __cplusplus
}
#endif

#endif
