/* The share record: the record of one share and the description it is made
 * from, the share name rule, the name of a section of smb.conf, and the
 * packed form in which the share database (vako/share_db.h) stores a
 * record. */
#ifndef VAKO_SHARE_H
#define VAKO_SHARE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VAKO_ERR_SHARE_BAD_NAME  0x1200 /* the name breaks the share name rule */
#define VAKO_ERR_SHARE_BAD_VALUE 0x4000 /* a packed share whose offsets, lengths or strings do not hold */
#define VAKO_ERR_SHARE_BAD_PATH  0x9900 /* the path does not begin with '/' */

#define VAKO_SHARE_NAME_MAX_CHARS 32 /* code points */
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
/* The section name of a section line into out (cbOut bytes): the text after
 * the first '[' (the whole line when there is none), cut to cbOut - 1 bytes,
 * then cut at its last ']'; bytes copied as they are. 0, or -1 with 0x0D00
 * (NULL line or out, cbOut <= 0). */
int VAKOShareParseSectionName(const char *line, char *out, int cbOut);

#ifdef __cplusplus
}
#endif

#endif
