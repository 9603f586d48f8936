/* Share records: the record of one share and the description it is made
 * from, the share name rule, the packed form in which the share database
 * stores a record, and the keyed operations on an open share database. */
#ifndef VAKO_SHARE_RECORD_H
#define VAKO_SHARE_RECORD_H

#include <stdint.h>

#include "vako/keydb.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The share database (a cache of SZF_SMB_CONF) and the file a rebuild
 * makes before it is renamed into place. */
#define SZF_VAKO_SHARE_DB     "/tmp/.db.vakoshare.0966"
#define SZF_VAKO_SHARE_DB_TMP "/tmp/.db.vakoshare.tmp"

#define VAKO_ERR_SHARE_BAD_NAME  0x1200 /* the name breaks the share name rule */
#define VAKO_ERR_SHARE_EXISTS    0x1300 /* a share of that name (any letter case) is stored */
#define VAKO_ERR_SHARE_NO_VALUE  0x1400 /* no value could be read under the key */
#define VAKO_ERR_SHARE_BAD_VALUE 0x4000 /* a packed share whose offsets, lengths or strings do not hold */
#define VAKO_ERR_SHARE_BAD_PATH  0x9900 /* the path does not begin with '/' */

#define VAKO_SHARE_NAME_MAX_CHARS 32  /* code points */
#define VAKO_SHARE_KEY_SIZE       492 /* buffer of an upper-cased name */
/* The record header as sizes and offsets count it: eleven 32-bit words. */
#define VAKO_SHARE_HEADER_SIZE 44

/* fType: the permission of the group of all users and of guests. */
#define VAKO_SHARE_READ_ONLY  1
#define VAKO_SHARE_READ_WRITE 2
#define VAKO_SHARE_NO_ACCESS  4

/* ftpFlags */
#define VAKO_SHARE_FTP_NO_LIST     1
#define VAKO_SHARE_FTP_NO_MODIFY   2
#define VAKO_SHARE_FTP_NO_DOWNLOAD 4

/* A share as a caller describes it; every string stays the caller's. */
typedef struct _tag_VAKOSHAREINFO_ {
    const char *szName;         /* required, VAKOShareIsValidName */
    const char *szComment;      /* or NULL */
    const char *szPath;         /* required, begins with '/' */
    const char *szInvalidUsers; /* comma lists of names and "@group"s, or NULL */
    const char *szWriteList;
    const char *szReadList;
    int32_t fType;       /* VAKO_SHARE_READ_ONLY, _READ_WRITE or _NO_ACCESS */
    int32_t fBrowseable; /* non-zero: shown in browse lists */
    int32_t ftpFlags;    /* VAKO_SHARE_FTP_* */
} VAKOSHAREINFO;

/* One share: a single heap block, this header followed by the strings,
 * released with VAKOShareFree. The six strings point into the block and are
 * never NULL; an empty one is the NUL at the block's last byte. cbAlloc and
 * cbRecord count the header as its VAKO_SHARE_HEADER_SIZE bytes, as on the
 * appliance's 32-bit processor; where pointers are wider the block is
 * sizeof(VAKOSHARE) - VAKO_SHARE_HEADER_SIZE bytes longer than cbAlloc. */
typedef struct _tag_VAKOSHARE_ {
    char *szName;
    char *szComment;
    char *szPath;
    char *szInvalidUsers;
    char *szWriteList;
    char *szReadList;
    int32_t fType;
    int32_t fBrowseable;
    int32_t ftpFlags;
    int32_t cbAlloc;  /* size of the block */
    int32_t cbRecord; /* bytes of it the record uses */
} VAKOSHARE, *PVAKOSHARE;

/* An open share database: made by the share database's openers, released
 * with VAKOShareDBClose. */
typedef struct _tag_VAKOSHAREDB_ {
    VAKOBDB *pDb;
} VAKOSHAREDB;

/* A new record laid out from info (strings from the block's end downward),
 * freed with VAKOShareFree; NULL with 0x0D00 (NULL info, name or path, a
 * negative number, a string holding a line end, a path ending in '\'),
 * 0x1200, 0x9900 or 0x0200. */
VAKOSHARE *VAKOShareAlloc(const VAKOSHAREINFO *info);
/* Frees a record; NULL is ignored. */
void VAKOShareFree(VAKOSHARE *share);
/* 1 when name is a valid share name, else 0; no error code. */
int VAKOShareIsValidName(const char *name);
/* The packed value of share (its length, cbAlloc + 4, in its word at offset
 * 40), a new heap block the caller frees with free(3); NULL with 0x0D00 (also
 * a record whose strings lie outside its block) or 0x0200. */
void *VAKOShareDBPack(const VAKOSHARE *share);
/* Unpacks a packed value whose real length is only its own word at offset
 * 40 into *pp (NULL: a new block; a smaller block is grown and *pp replaced,
 * a larger one reused), freed by the caller with VAKOShareFree: 0, or -1
 * with 0x0D00, 0x4000 (*pp untouched) or 0x0200 (*pp then NULL, the old
 * block freed). */
int VAKOShareDBUnPack(const void *value, VAKOSHARE **pp);
/* As VAKOShareDBUnPack for a value of cbValue bytes read from a file: a
 * value whose own length exceeds cbValue is refused with 0x4000. */
int VAKOShareDBUnPackBounded(const void *value, int cbValue, VAKOSHARE **pp);
/* Stores share under its upper-cased name, as new (oldName NULL: 0x1300
 * when stored in any case) or in place of the share stored under oldName
 * (the new record is stored first, then the old key removed): 0, or -1 with
 * 0x0D00, 0x0100 (a name too long to upper-case into VAKO_SHARE_KEY_SIZE
 * bytes), a validation or keyed-layer code; a failure leaves the stored
 * shares as they were. */
int VAKOShareDBSet(VAKOSHAREDB *db, const char *oldName, const VAKOSHARE *share);
/* Removes the share stored under name in any letter case: 0, or -1 with
 * 0x0D00, 0x0100 (name too long), 0x2000 (absent) or a keyed-layer code. */
int VAKOShareDBDelete(VAKOSHAREDB *db, const char *name);
/* 1 when a value is stored under the upper-cased key of cbKey = strlen(key)
 * bytes (looked up with its NUL), and with out also its stored share name
 * copied into out (cbOut bytes); 0 with 0x0D00, 0x1400 (not read), 0x4000
 * (the value holds no terminated name) or 0x0100 (out too small; out is then
 * ""). */
int VAKOShareDBCheckExists(VAKOSHAREDB *db, const char *key, int cbKey, char *out, int cbOut);
/* The next share of the handle's cursor in key order ('#' keys passed over)
 * unpacked into *pp as VAKOShareDBUnPack does: 0, or -1 with 0xB500 at the
 * end, 0x0D00, 0x4000 or a keyed-layer code. */
int VAKOShareDBCursorGet(VAKOSHAREDB *db, VAKOSHARE **pp);
/* Closes the database and frees the handle; NULL records 0x0D00. */
void VAKOShareDBClose(VAKOSHAREDB *db);

#ifdef __cplusplus
}
#endif

#endif
