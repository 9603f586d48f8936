/* The share database: a keyed file (vako/keydb.h) under /tmp that caches
 * smb.conf (SZF_SMB_CONF of vako/service.h): opened, built from the text
 * file, checked and rebuilt through the shared procedure
 * (vako/keydb_cache.h) and written back to it; the two directions of the
 * text format; and the keyed operations on one open database: store,
 * delete, existence and the walk.
 *
 * None of these functions locks: VAKOShareEnum (vako/share_op.h) holds the
 * lock-table row lock_smb shared, and the user and group operations that
 * change shares hold it exclusively. A build is serialised between
 * processes by its own lock (VAKO_SHARE_DB_REBUILD_LOCK); it opens the
 * group and user databases inside it. */
#ifndef VAKO_SHARE_DB_H
#define VAKO_SHARE_DB_H

#include <stdio.h>

#include "slib/szhash.h"
#include "slib/szlist.h"
#include "vako/keydb.h"
#include "vako/keydb_cache.h"
#include "vako/share.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The share database (a cache of SZF_SMB_CONF) and the file a rebuild
 * makes before it is renamed into place. */
#define SZF_VAKO_SHARE_DB     "/tmp/.db.vakoshare.0966"
#define SZF_VAKO_SHARE_DB_TMP "/tmp/.db.vakoshare.tmp"
/* The dump's temporary file beside smb.conf. */
#define SZF_SMB_CONF_TMP "/usr/vako/etc/smb.conf.tmp"
/* Held exclusively while the share database is built (open or rebuild). */
#define VAKO_SHARE_DB_REBUILD_LOCK SZF_VAKO_SHARE_DB_TMP ".lock"

#define VAKO_ERR_SHARE_EXISTS       0x1300 /* a share of that name (any letter case) is stored */
#define VAKO_ERR_SHARE_NO_VALUE     0x1400 /* no value could be read under the key */
#define VAKO_ERR_SHARE_SECTION_TYPE 0x2200 /* a section type other than share or reserved */
#define VAKO_ERR_SHARE_PERMISSION   0x8000 /* a "guest ok"/"writeable" pair outside the table */
#define VAKO_ERR_SHARE_FTYPE        0xB600 /* an fType with none of the bits 1, 2, 4 */
#define VAKO_ERR_SHARE_OUT_OF_STEP  0x4100 /* smb.conf is not the file the database was built from */

/* Section types of smb.conf. */
#define VAKO_SHARE_SECTION_SHARE    0
#define VAKO_SHARE_SECTION_RESERVED 1 /* "global", "home", "printers" (any case) */

#define VAKO_SHARE_KEY_SIZE 492 /* buffer of an upper-cased name */

/* The share database's file and operations for the check-and-rebuild procedure. */
extern const VAKOBDBCACHE gVakoShareDbCache;

/* An open share database: made by the openers below, released with
 * VAKOShareDBClose. */
typedef struct _tag_VAKOSHAREDB_ {
    VAKOBDB *pDb;
} VAKOSHAREDB;

/* The live share database, checked against smb.conf and rebuilt or
 * reopened when needed (also rebuilt when it holds no places of smb.conf's
 * sections): a handle to close with VAKOShareDBClose, or NULL with 0x0200
 * or the code of the failed open or build. */
VAKOSHAREDB *VAKOShareDBOpen(void);
/* Opens the database file at path (0), or creates it and builds it from
 * smb.conf (1); on success a handle in *pp is closed and replaced; -1 leaves
 * *pp as it was (0x0D00, 0x0200, 0x0900, the build's code), and removes a
 * file it made whose build failed. */
int VAKOShareDBOpenFile(VAKOSHAREDB **pp, const char *path);
/* 0 current; 1 rebuilt or reopened (*pp replaced; rebuilt also when the
 * database holds no places of smb.conf's sections); -1 with 0x0D00 (pp or
 * *pp NULL), 0x0200 or as VAKOBDbCacheCheckAndRebuild: a failed rebuild
 * leaves *pp NULL, any other failure a handle in *pp to close. */
int VAKOShareDBCheckAndRebuild(VAKOSHAREDB **pp);
/* Reads the open smb.conf into the (empty) database with the place of each
 * section, and stores the file's size, hash and modification time: 0, or
 * -1 with 0x0D00, 0x0200, 0x0900 (the group or user database cannot open),
 * 0x0A00 (a read error), or a store's code. Lines of a share section that
 * are no "key = value" (comments, text without '=') make no value. A
 * section of which no record can be made (no name rule, no path, a name
 * twice in any case, a value holding a line end, a NUL byte anywhere in
 * it) is logged and kept as it is, as is the earlier of two reserved
 * sections of one name. */
int ShareDBBuild(FILE *smbconf, VAKOSHAREDB *db);
/* Stores one parsed section: a share (type 0) from its pairs, a reserved
 * section (type 1) as its lines (item 0 its name as written), without a
 * place in smb.conf (a dump writes it as a section of its own): 0, or -1
 * (no pair or line: no code; 0x0D00, 0x2200, 0x0200, the codes of
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
 * (logged fallback 4, no access). NULL with 0x0D00, 0x0900, 0x0200 or the
 * code of VAKOShareAlloc (0x1200, 0x9900, 0x0D00). */
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
 * with 0x0D00 or 0x0200 (the list as it was). */
int RemoveSameUsers(char *list);
/* Rewrites smb.conf from the database through SZF_SMB_CONF_TMP, synced and
 * renamed into place, and stores the new file's places, size, hash and
 * modification time. Each section stays where it stood, every line as it
 * was but those of what the records changed (a share's thirteen lines, each
 * as the dump writes it, a missing one after the section's last
 * "key = value" line); a share's section whose share is gone goes; shares
 * and reserved sections that smb.conf does not hold are written as the
 * dump writes them, reserved ones before the first other section, shares
 * before the first placed share whose key sorts after theirs. 0, or -1
 * with 0x0D00, 0x0900, 0x0200, 0xB600, 0x0B00, 0x2800 (the rename), a
 * walk's code, 0x4000 (places that do not hold) or 0x4100 (smb.conf changed
 * since the build, or the database holds no places), the database then
 * rebuilt from smb.conf at once, or 0x3900 when the temporary file cannot
 * be removed. smb.conf is replaced only by
 * a whole file, and stays as it was on every failure but a failed stamp. */
int VAKOShareDBDump(VAKOSHAREDB *db);

/* Stores share under its upper-cased name, as new (oldName NULL: 0x1300
 * when stored in any case) or in place of the share stored under oldName
 * (the new record is stored first, then the old key removed; the place of
 * its section in smb.conf goes with it, and a share new to the database
 * takes none): 0, or -1 with 0x0D00, 0x0100 (a name too long to upper-case
 * into VAKO_SHARE_KEY_SIZE bytes), 0x0200, a validation or keyed-layer
 * code; a failure leaves the stored shares and places as they were. */
int VAKOShareDBSet(VAKOSHAREDB *db, const char *oldName, const VAKOSHARE *share);
/* Removes the share stored under name in any letter case, and the place of
 * its section: 0, or -1 with 0x0D00, 0x0100 (name too long), 0x0200, 0x2000
 * (absent) or a keyed-layer code. */
int VAKOShareDBDelete(VAKOSHAREDB *db, const char *name);
/* 1 when a value is stored under the upper-cased key of cbKey = strlen(key)
 * bytes (looked up with its NUL), and with out also its stored share name
 * copied into out (cbOut bytes); 0 with 0x0D00, 0x1400 (not read), 0x0200
 * (not read for want of memory), 0x4000 (the value holds no terminated
 * name) or 0x0100 (out too small; out is then ""). */
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
