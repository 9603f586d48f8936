/* Share definitions: the share database (vako/share_record.h) as a cache of
 * smb.conf (SZF_SMB_CONF of vako/service.h): opened, built from the text
 * file, checked and rebuilt through the shared procedure
 * (vako/keydb_cache.h) and written back to it; the two directions of the
 * text format; and the enumeration of share names by kind.
 *
 * Only VAKOShareEnum locks (the lock-table row lock_smb, shared); the user
 * and group operations that change shares hold it exclusively. A build is
 * serialised between processes by its own lock (VAKO_SHARE_DB_REBUILD_LOCK);
 * it opens the group and user databases inside it. */
#ifndef VAKO_SHARE_DB_H
#define VAKO_SHARE_DB_H

#include <stdio.h>

#include "slib/szhash.h"
#include "slib/szlist.h"
#include "vako/keydb_cache.h"
#include "vako/share_record.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The dump's temporary file beside smb.conf. */
#define SZF_SMB_CONF_TMP "/usr/vako/etc/smb.conf.tmp"
/* Held exclusively while the share database is built (open or rebuild). */
#define VAKO_SHARE_DB_REBUILD_LOCK SZF_VAKO_SHARE_DB_TMP ".lock"

#define VAKO_ERR_SHARE_SECTION_TYPE 0x2200 /* a section type other than share or reserved */
#define VAKO_ERR_SHARE_PERMISSION   0x8000 /* a "guest ok"/"writeable" pair outside the table */
#define VAKO_ERR_SHARE_FTYPE        0xB600 /* an fType with none of the bits 1, 2, 4 */

/* Section types of smb.conf. */
#define VAKO_SHARE_SECTION_SHARE    0
#define VAKO_SHARE_SECTION_RESERVED 1 /* "global", "home", "printers" (any case) */

/* Share kinds of VAKOShareEnum, as mask bits. */
#define VAKO_SHARE_KIND_NORMAL 1
#define VAKO_SHARE_KIND_USB    2 /* "usbshare" (any case) and digits, or exactly "usbbackup" */
#define VAKO_SHARE_KIND_SATA   4 /* exactly "satashare" or "satabackup" */

/* Lock request of VAKOShareEnum and its release. */
#define VAKO_SHARE_LOCK_READ    0x45
#define VAKO_SHARE_LOCK_RELEASE 0x40
#define VAKO_SHARE_LOCK_TIMEOUT 5

/* The share database's file and operations for the check-and-rebuild procedure. */
extern const VAKOBDBCACHE gVakoShareDbCache;

/* The section name of a section line into out (cbOut bytes): the text after
 * the first '[' (the whole line when there is none), cut to cbOut - 1 bytes,
 * then cut at its last ']'; bytes copied as they are. 0, or -1 with 0x0D00
 * (NULL line or out, cbOut <= 0). */
int VAKOShareParseSectionName(const char *line, char *out, int cbOut);

/* The live share database, checked against smb.conf and rebuilt or
 * reopened when needed: a handle to close with VAKOShareDBClose, or NULL
 * with the code of the failed open or build. */
VAKOSHAREDB *VAKOShareDBOpen(void);
/* Opens the database file at path (0), or creates it and builds it from
 * smb.conf (1); on success a handle in *pp is closed and replaced; -1 leaves
 * *pp as it was (0x0D00, 0x0200, 0x0900, the build's code). */
int VAKOShareDBOpenFile(VAKOSHAREDB **pp, const char *path);
/* 0 current; 1 rebuilt or reopened (*pp replaced); -1 with 0x0D00 (pp or
 * *pp NULL) or as VAKOBDbCacheCheckAndRebuild (a failed rebuild leaves *pp
 * NULL). */
int VAKOShareDBCheckAndRebuild(VAKOSHAREDB **pp);
/* Reads the open smb.conf into the (empty) database and stores its
 * modification time: 0, or -1 with 0x0D00, 0x0200, 0x0900 (the group or
 * user database cannot open), 0x0A00 (a read error), or a store's code.
 * Invalid sections (no name rule, no path, a line neither empty nor
 * "key = value", a name twice in any case, a value holding a line end) are
 * logged and left out. */
int ShareDBBuild(FILE *smbconf, VAKOSHAREDB *db);
/* Stores one parsed section: a share (type 0) from its pairs, a reserved
 * section (type 1) as its lines (item 0 its name as written): 0, or -1
 * (no pair or line: no code; 0x0D00, 0x2200, the codes of
 * ShareAllocFromConf, VAKOShareDBSet or VAKOListDBSet). */
int ShareDBSetOne(VAKOSHAREDB *db, PSLIBSZLIST lines, PSLIBSZHASH pairs, const char *section, int type);
/* Empties the list (type 1) or the pairs (type 0) of the section just
 * stored; NULL buffers or a negative type do nothing. */
void ShareDBSectionReset(PSLIBSZLIST lines, PSLIBSZHASH pairs, int type);
/* 1 for a reserved section name, 0 for a share, -1 for NULL (0x0D00). */
int VAKOShareSectionTypeGet(const char *name);
/* A new record (free with VAKOShareFree) of one share section's pairs, its
 * user lists validated against the group and user databases (opened and
 * closed here); "@users" as a whole entry of the invalid-users, write or
 * read list gives fType 4, 2 or 1, else "guest ok" and "writeable" do
 * (logged fallback 1). NULL with 0x0D00, 0x0900, 0x0200 or the code of
 * VAKOShareAlloc (0x1200, 0x9900, 0x0D00). */
VAKOSHARE *ShareAllocFromConf(const char *name, PSLIBSZHASH pairs);
/* fType of a "guest ok"/"writeable" pair: "yes"/"yes" 2, "yes"/"no" 1,
 * "no"/"no" 4; -1 with 0x0D00 (NULL) or 0x8000 (any other pair). */
int ShareFTypeGetFromConf(const char *guestOk, const char *writeable);
/* The words of fType (the first of the bits 4, 2, 1 decides) into the two
 * buffers: 0, or -1 with 0x0D00 (fType <= 0, NULL or a size below 4) or
 * 0xB600 (none of the bits). */
int ShareFTypeSetToConf(int fType, char *guestOk, char *writeable, int cbGuestOk, int cbWriteable);
/* Drops repeated names (exact comparison) from a comma list in place,
 * rewriting it in the string hash's key order: 1, 0 for an empty list, -1
 * with 0x0D00 or 0x0200. */
int RemoveSameUsers(char *list);
/* Rewrites smb.conf from the database (reserved sections, then each share's
 * thirteen lines in key order) through SZF_SMB_CONF_TMP, synced and renamed
 * into place, and stores the new file's modification time: 0, or -1 with
 * 0x0D00, 0x0900, 0x0200, 0xB600, 0x0B00, 0x2800 (the rename), a walk's
 * code, or 0x3900 when the temporary file cannot be removed. smb.conf is
 * replaced only by a whole file, and stays as it was on every failure but
 * a failed stamp. */
int VAKOShareDBDump(VAKOSHAREDB *db);

/* The filter of VAKOShareDBEnumInternal. pfnMatch returns 0 to take a
 * share; pfnInit (non-zero stops the walk) and pfnFinish are given both or
 * neither. */
typedef struct _tag_VAKOSHAREENUMFILTER_ {
    int (*pfnInit)(const struct _tag_VAKOSHAREENUMFILTER_ *filter, void *initArg);
    int (*pfnMatch)(const struct _tag_VAKOSHAREENUMFILTER_ *filter, const VAKOSHARE *share, int matchArg);
    void (*pfnFinish)(const struct _tag_VAKOSHAREENUMFILTER_ *filter);
} VAKOSHAREENUMFILTER;

/* Appends to *pList (already allocated; it may move) the names of the
 * shares whose kind is in kindMask (1 to 7), under the share lock: their
 * number, or -1 with 0x0400, 0x0900, 0x0500 (the lock not released), a
 * walk's or a push's code. A mask outside 1..7 gives 0 names with 0x0D00. */
int VAKOShareEnum(PSLIBSZLIST *pList, int kindMask);
/* The names of the shares from the handle's cursor on that filter takes,
 * appended to *pList: their number, or -1 with 0x0D00 (a NULL argument or
 * an incomplete filter), a failed init, push or walk (the names pushed
 * before stay). pfnFinish runs on every path that has a filter. */
int VAKOShareDBEnumInternal(VAKOSHAREDB *db, PSLIBSZLIST *pList, const VAKOSHAREENUMFILTER *filter, void *initArg,
                            int matchArg);
/* 0 when the share's kind is in kindMask, else -1 (0x0D00 for NULL or a
 * mask outside 1..7; no code when simply not taken). */
int ShareDBEnumTypeMatched(const VAKOSHARE *share, int kindMask);
/* The match of VAKOShareEnum: ShareDBEnumTypeMatched (share, kindMask). */
int ShareEnumTypeMatch(const VAKOSHAREENUMFILTER *filter, const VAKOSHARE *share, int kindMask);
/* 1 for a USB share name, else 0 (also NULL). */
int ShareIsUsbName(const char *name);
/* 1 for a SATA share name, else 0 (also NULL). */
int ShareIsSataName(const char *name);

#ifdef __cplusplus
}
#endif

#endif
