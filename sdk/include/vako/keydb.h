/* Keyed database files: btree files (Berkeley DB through its 1.85
 * interface) with the layer's reserved '#' records, list-db values and the
 * growing buffers that every read fills. */
#ifndef VAKO_KEYDB_H
#define VAKO_KEYDB_H

#include <stdint.h>
#include <time.h>

#include <sys/types.h>
/* <db_185.h> uses the BSD types u_char and u_int, which glibc's headers
 * leave out for a strict C compiler (-std=c99). */
#if defined(__GLIBC__) && !defined(__USE_MISC)
typedef unsigned char u_char;
typedef unsigned int u_int;
#endif
#include <db_185.h>

#include "slib/szlist.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Error codes of the layer (with the general 0x0200, 0x0900, 0x0D00, 0x2000,
 * 0x2700 and 0x2800 of slib/error.h, and 0xB500 SLIB_ERR_END_OF_ENUM, the
 * normal end of an enumeration). */
#define VAKO_ERR_BDB_ACCESS      0x0300 /* EACCES opening, reading a status or renaming */
#define VAKO_ERR_BDB_NO_SOURCE   0x0600 /* a source text file does not exist */
#define VAKO_ERR_BDB_NO_FILE     0x0700 /* the database file does not exist (not created) */
#define VAKO_ERR_BDB_NO_SPACE    0x2900 /* ENOSPC */
#define VAKO_ERR_BDB_IO          0x6C00 /* EIO */
#define VAKO_ERR_BDB_READ_ONLY   0x8400 /* EROFS while closing */
#define VAKO_ERR_BDB_INTERRUPTED 0xAA00 /* EINTR */
#define VAKO_ERR_BDB_OPEN_ARGS   0xB100 /* EINVAL from dbopen: also a file that is no btree */
#define VAKO_ERR_BDB_GET         0xB200 /* a read failed; also a malformed reserved value */
#define VAKO_ERR_BDB_PUT         0xB300
#define VAKO_ERR_BDB_DEL         0xB400

/* Cursor types: how the next VAKOBDbCursorGet moves. */
#define VAKO_BDB_CURSOR_SET   1 /* the first record whose key is not below the caller's */
#define VAKO_BDB_CURSOR_FIRST 2
#define VAKO_BDB_CURSOR_LAST  3
#define VAKO_BDB_CURSOR_NEXT  4 /* the first record on a cursor never set */
#define VAKO_BDB_CURSOR_PREV  5

/* Reserved keys and their stored lengths (the length is part of the key). */
#define SZK_BDB_SYNC_TIME   "#VAKO@SYNC@TIME"
#define CB_BDB_SYNC_TIME    15
#define SZK_BDB_DEPRECATED  "#VAKO@DEPRECATED"
#define CB_BDB_DEPRECATED   17 /* with its NUL */
#define SZK_BDB_EXPIRE_TIME "#VAKO@EXPIRE@TIME"
#define CB_BDB_EXPIRE_TIME  17
#define SZK_BDB_CURRENT_UID "#CURRENT_UID"
#define CB_BDB_CURRENT_UID  12
#define SZK_BDB_CURRENT_GID "#CURRENT_GID"
#define CB_BDB_CURRENT_GID  12

/* Domain records count as stale this many seconds after their stamp. */
#define VAKO_BDB_DOMAIN_STALE_SEC 301

/* One open database file. */
typedef struct _tag_VAKOBDB_ {
    DB *db;
    int32_t cursorType; /* VAKO_BDB_CURSOR_*, NEXT when opened */
} VAKOBDB;

/* The mode of a keyed file made here, and of a cache of password hashes
 * (the user database's .shadow and .smb). */
#define VAKO_BDB_MODE        0644
#define VAKO_BDB_SECRET_MODE 0600

/* Opens (oflags O_RDONLY or O_RDWR, with O_CREAT creating it of mode
 * VAKO_BDB_MODE) a btree file; bDup 1 allows duplicate keys. The name is
 * never followed or waited on: a link, a FIFO or any other non-regular
 * file, a file of another account than this one or root, with another name
 * or with a mode beyond VAKO_BDB_MODE is refused and logged (0x0900), and
 * with O_CREAT removed and made anew. NULL on failure with the code of
 * errno. The caller releases the handle with VAKOBDbClose. */
VAKOBDB *VAKOBDbOpen(const char *path, int oflags, int bDup);
/* Closes and frees bdb: 0 (a failed close records its code), -1 for NULL (0x0D00). */
int VAKOBDbClose(VAKOBDB *bdb);
/* The first record of key into the caller's growing buffer (*ppData,
 * *pcbData as VAKOCheckAndRealloc keeps them; *pcbData then holds the value's
 * length): 0, or -1 (absent 0x2000). */
int VAKOBDbGet(VAKOBDB *bdb, const void *key, int cbKey, void **ppData, int *pcbData);
/* Stores one record (a duplicate in a file that allows them; a key that
 * begins with '#' stays single): 0, or -1. */
int VAKOBDbSet(VAKOBDB *bdb, const void *key, int cbKey, const void *data, int cbData);
/* Removes every record of key: 0, or -1 (absent 0x2000). */
int VAKOBDbDelete(VAKOBDB *bdb, const void *key, int cbKey);
/* Sets how the next VAKOBDbCursorGet moves: 0, or -1 (0x0D00). */
int VAKOBDbCursorSetType(VAKOBDB *bdb, int type);
/* One record by the cursor type into two growing buffers; with bSkipSpecial
 * 1 keys that begin with '#' are passed over. Type SET starts from the key
 * in (*ppKey, *pcbKey). 0, or -1 (0xB500 at the end of the file). */
int VAKOBDbCursorGet(VAKOBDB *bdb, int bSkipSpecial, void **ppKey, int *pcbKey, void **ppData, int *pcbData);
/* Copies the bytes of dbt into a growing buffer; *pcbBuf receives their
 * number: 0, or -1 (an empty dbt: 0x0D00). */
int VAKOBDbDbtCopyout(const DBT *dbt, void **ppBuf, int *pcbBuf);
/* Points dbt at size bytes of data: 0, or -1 (NULL dbt, negative size: 0x0D00). */
int VAKOBDbDbtSet(DBT *dbt, const void *data, int size);
/* Frees a growing buffer; NULL does nothing. */
void VAKOBDbDataFree(void *p);
/* Makes *ppData (NULL at first, or a block of *pcbAlloc bytes) a heap block
 * of at least cbNeed bytes: 0, or -1 (0x0D00; 0x0200 after which *ppData is
 * NULL and *pcbAlloc 0). Added bytes are not cleared; free with free(3). */
int VAKOCheckAndRealloc(void **ppData, int *pcbAlloc, int cbNeed);

/* A 32-bit value stored as its 4 bytes in this processor's byte order: 0,
 * or -1 (absent 0x2000; a value of another length 0xB200). */
int VAKOBDbWordGet(VAKOBDB *bdb, const void *key, int cbKey, int32_t *pValue);
/* Stores value as such a word under key: 0, or -1. */
int VAKOBDbWordSet(VAKOBDB *bdb, const void *key, int cbKey, int32_t value);

/* "#VAKO@SYNC@TIME" = the low 32 bits of t: 0, or -1. */
int VAKOBDbConfSyncTimeSet(VAKOBDB *bdb, time_t t);
/* The stored 4 bytes into *ppValue (NULL, or a block of at least 4 bytes
 * from an earlier call; free with VAKOBDbDataFree): 0, or -1. */
int VAKOBDbConfSyncTimeGet(VAKOBDB *bdb, void **ppValue);
/* 1 when the stored synchronisation time differs from mtime, 0 when equal,
 * -1 when it cannot be read (absent or not 4 bytes included). */
int VAKOBDbIsNeedToRebuild(VAKOBDB *bdb, time_t mtime);
/* "#VAKO@DEPRECATED" = flag: 0, or -1. */
int VAKOBDbDeprecatedSet(VAKOBDB *bdb, int flag);
/* The stored flag, or -1 when it cannot be read (absent or not 4 bytes included). */
int VAKOBDbDeprecatedGet(VAKOBDB *bdb);
/* "#VAKO@EXPIRE@TIME" = now: 0, or -1. */
int VAKOBDbDomainExpireTimeSet(VAKOBDB *bdb);
/* As VAKOBDbConfSyncTimeGet, for "#VAKO@EXPIRE@TIME". */
int VAKOBDbDomainExpireTimeGet(VAKOBDB *bdb, void **ppValue);
/* 1 when the stamp is 301 s old or more, in the future, absent or malformed,
 * else 0 (also for a NULL bdb, 0x0D00, or a failed read). */
int VAKOBDbDomainIsNeedToRebuild(VAKOBDB *bdb);

/* A new heap block (free with free(3)) holding the list as a list-db value
 * of cb bytes; cb must be the list's cbSize: else NULL (0x0D00, 0x0200). */
void *VAKOListDBPack(PSLIBSZLIST list, int cb);
/* A new list (free with SLIBSzListFree) from a list-db value of cb bytes,
 * or NULL (0x0D00 also for a value whose sizes or offsets do not fit in it;
 * 0x0200). */
PSLIBSZLIST VAKOListDBUnpack(const void *value, int cb);
/* Stores the list under '#' + the section upper-cased (a-z only) + NUL: 0, or -1. */
int VAKOListDBSet(VAKOBDB *bdb, const char *section, PSLIBSZLIST list);

#ifdef __cplusplus
}
#endif

#endif
