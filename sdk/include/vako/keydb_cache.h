/* Check and rebuild of a database whose keyed files (vako/keydb.h) cache
 * text files: the procedure that the user, group and share databases share.
 *
 * A database is a set of cache files opened together into one handle record
 * of the database's own type, built from one or more source text files. Each
 * cache file that mirrors a source carries that file's modification time in
 * "#VAKO@SYNC@TIME". A cache is rebuilt when a file is missing, smaller than
 * 8192 bytes, or out of step with its source, and merely reopened when
 * another process has replaced it by a rebuild ("#VAKO@DEPRECATED" 1). A
 * rebuild never writes into live files: it builds a new set under temporary
 * names and renames it into place. Building (a rebuild, or the open that
 * creates missing live files) holds the database's rebuild lock, so two
 * processes never build into the same files at once; one that waited for
 * it takes the other's new files instead of building again. */
#ifndef VAKO_KEYDB_CACHE_H
#define VAKO_KEYDB_CACHE_H

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
} VAKOBDBCACHEFILE;

/* A database: its files and the operations on its own handle record. */
typedef struct _tag_VAKOBDBCACHE_ {
    int nFile;
    const VAKOBDBCACHEFILE *rgFile; /* in the order they are checked and renamed */
    /* Before the renames, also mark the first live file replaced through a
     * handle of its own (the user and group databases). */
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
    /* A file of its own (created when missing, never removed) on which a
     * build holds an exclusive flock, e.g. "/tmp/.db.user.tmp.lock". */
    const char *szRebuildLock;
} VAKOBDBCACHE;

/* Checks the database whose record *ppDb holds: 0 current (*ppDb unchanged);
 * 1 rebuilt or reopened (*ppDb replaced, the old record closed; a rebuild
 * found needed is decided again under the rebuild lock, and becomes a
 * reopen when another process has rebuilt meanwhile); -1 on
 * failure: a failed check or reopen leaves *ppDb as it was; after a failed
 * rebuild the cache files are removed and *ppDb is closed and set to NULL,
 * since it is out of step with the text files; after a rebuild whose old
 * files could not all be marked replaced *ppDb holds the new record. NULL
 * arguments: 0x0D00. */
int VAKOBDbCacheCheckAndRebuild(const VAKOBDBCACHE *pCache, void **ppDb);
/* Under the rebuild lock, builds a new set of files from the text files
 * under the temporary names (leftovers of an interrupted rebuild are
 * removed first), renames it over
 * the live files and marks the replaced first file when asked: 0 with the
 * new set's record in *ppNew (closed when ppNew is NULL), or -1 with the
 * temporary and live files removed (0x0900 build or lock, 0x0300/0x2800
 * rename). */
int VAKOBDbCacheRebuild(const VAKOBDBCACHE *pCache, void **ppNew);
/* The live database, checked and rebuilt when needed: a record to close
 * with pfnCloseSet, or NULL. Missing files are built under the rebuild
 * lock; files that the store refuses to open as databases are removed and
 * built anew. */
void *VAKOBDbCacheOpen(const VAKOBDBCACHE *pCache);

#ifdef __cplusplus
}
#endif

#endif
