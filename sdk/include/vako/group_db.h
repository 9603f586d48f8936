/* The group database: three keyed files (vako/keydb.h) under /tmp that
 * cache /etc/group and /etc/group_desc (and the domain group list), kept in
 * step with them through the shared check-and-rebuild procedure
 * (vako/keydb_cache.h) and written back to them by the dump; and the keyed
 * operations on one open database: store, delete, existence, walk and free
 * group id.
 *
 * Keys that name a group are the name upper-cased (SLIBUnicodeUTF8StrUpper)
 * with its NUL. None of these functions locks: callers hold the account-file
 * lock of slib/lock.h (0x35 to read, 0x76 to change) around open, work, dump
 * and close. A build is serialised between processes by its own lock
 * (VAKO_GROUP_DB_REBUILD_LOCK); it opens the user database inside it. */
#ifndef VAKO_GROUP_DB_H
#define VAKO_GROUP_DB_H

#include <stdio.h>

#include "slib/szhash.h"
#include "vako/group.h"
#include "vako/keydb.h"
#include "vako/keydb_cache.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The group text files, the domain group list and the dump's temporary files. */
#define SZF_GROUP          "/etc/group"
#define SZF_GROUP_DESC     "/etc/group_desc"
#define SZF_DOMAIN_GROUP   "/usr/vako/etc/private/domain_group"
#define SZF_GROUP_TMP      "/etc/group_tmp"
#define SZF_GROUP_DESC_TMP "/etc/group_desc.tmp"

/* Cache files: prefix + suffix. */
#define SZF_GROUP_DB_PREFIX     "/tmp/.db.group"
#define SZF_GROUP_DB_TMP_PREFIX "/tmp/.db.group.tmp"
#define SZF_GROUP_DB_NAME       ".name.0966"
#define SZF_GROUP_DB_ID         ".id.0966"
#define SZF_GROUP_DB_DESC       ".desc.0966"
/* Held exclusively while a set of cache files is built (open or rebuild). */
#define VAKO_GROUP_DB_REBUILD_LOCK SZF_GROUP_DB_TMP_PREFIX ".lock"

/* First line of /etc/group: "#$" marker "$" last gid "$". */
#define SZ_GID_INDEX_MARKER "_@GID__INDEX@_"

/* Local group ids handed out, wrapping from the last to the first; ids up
 * to VAKO_GID_SYSTEM_MAX are system groups. */
#define VAKO_GID_FIRST      65536
#define VAKO_GID_LAST       95536
#define VAKO_GID_SYSTEM_MAX 65535

/* The group of every local account, whose record cannot be changed. */
#define SZ_GROUP_USERS "users"

/* The open group database; files opened and created in the order of this
 * record (.name, .id, .desc). */
typedef struct _tag_VAKOGROUPDB_ {
    VAKOBDB *pGRPName; /* .name: key -> the /etc/group line ("%s:x:-1:" for a domain group) */
    VAKOBDB *pGRPGID;  /* .id: "%06d" gid -> key; duplicates allowed; "#CURRENT_GID" */
    VAKOBDB *pGRPDesc; /* .desc: key -> the /etc/group_desc line */
} VAKOGROUPDB;

/* The group database's files and operations for the check-and-rebuild procedure. */
extern const VAKOBDBCACHE gVakoGroupDbCache;

/* Opens the three files prefix + suffix into a new record; when one was
 * missing, all three are made empty and built from the text files. On
 * success a record in *ppDb is closed and replaced: 0 all files existed,
 * 1 built; -1 leaves *ppDb as it was (0x0D00, 0x0200, the open's code or
 * the build's). Close with VAKOGroupDBClose. */
int VAKOGroupDBOpenFile(VAKOGROUPDB **ppDb, const char *szPrefix);
/* The live database, checked against the text files and rebuilt or
 * reopened when needed: a record to close with VAKOGroupDBClose, or NULL
 * with the code of the failed open or build. */
VAKOGROUPDB *VAKOGroupDBOpen(void);
/* Closes the open files and frees the record; NULL does nothing. */
void VAKOGroupDBClose(VAKOGROUPDB *pDb);
/* 0 current; 1 rebuilt or reopened (*ppDb replaced); -1 with 0x0D00 (ppDb
 * or *ppDb NULL) or as VAKOBDbCacheCheckAndRebuild (0x0600 when
 * /etc/group_desc is missing; a failed rebuild leaves *ppDb NULL). */
int VAKOGroupDBCheckAndRebuild(VAKOGROUPDB **ppDb);
/* Builds a new set of files under the temporary prefix and renames it over
 * the live one, marking the replaced name file: 0, or -1 (0x0900 build,
 * 0x0300/0x2800 rename) with the cache files removed. */
int VAKOGroupDBRebuild(void);
/* Fills the three (empty) files of pDb from the text files and stamps them:
 * 0, or -1 with the failing step's code (0x0D00; 0x0900 a file or the user
 * database cannot be opened; 0x0A00 read; 0x4000 a gid field that is no
 * number; 0x1700 a name twice in /etc/group (any case); 0x1600 a name too
 * long for a key; 0xB200/0x8000 the largest gid; 0xB300; the store's). Lines
 * of /etc/group with fewer than three ':' and /etc/group_desc lines without
 * ':' are passed over; members that are no accounts are left out. A failed
 * domain step is logged, reported as an event and passed over. */
int VAKOGroupDBBuild(VAKOGROUPDB *pDb);
/* Loads the groups of SZF_DOMAIN_GROUP into the name file when the
 * appliance is a domain member whose SMB service runs, and stamps the file:
 * 0 (also when nothing is to be loaded), or -1 (0x0D00, 0x0900, 0x1600 a
 * name too long for a key, the store's). */
int GroupDBDomainBuild(VAKOBDB *pNameDb);
/* Stamps .id and .name with the modification time of /etc/group and .desc
 * with that of /etc/group_desc, read from the open streams given (NULL: the
 * file opened here): 0, or -1 (0x0D00 a file not open, 0x0900, 0x2700 a
 * failed fstat, the store's). */
int GroupDbConfSyncTimeSet(VAKOGROUPDB *pDb, FILE *fGroup, FILE *fDesc);
/* Writes /etc/group (the index line, then each local group in ascending
 * gid order) and /etc/group_desc through SZF_GROUP_TMP and
 * SZF_GROUP_DESC_TMP, synced and renamed into place, then stamps the
 * database: 0, or -1 (0x0D00; 0x0900 a temporary file; 0x0200; 0x2000 a gid
 * record without its group; 0x2900/0x0B00 a write; 0x2800 a rename; a
 * failed read, also a gid file without any group). A failure before the
 * renames leaves the text files as they were. */
int VAKOGroupDBDump(VAKOGROUPDB *pDb);
/* Every record of one file but the reserved ones into *ppHash (key ->
 * value): 0, or -1 (0x0D00; 0xB500 an empty file; a failed read, 0x0200). */
int GroupDBLoadHash(VAKOBDB *pBdb, PSLIBSZHASH *ppHash);
/* Moves SZF_GROUP_TMP and SZF_GROUP_DESC_TMP over their text files (a
 * missing one passed over): 0, or -1 (0x2800) with a file already moved
 * staying moved. */
int GROUPIRenameTempFiles(void);
/* Removes the dump's temporary files that exist: 0, or -1 (0x3900) when
 * one could not be removed (the other is removed all the same). */
int GROUPIRemoveTempFiles(void);

/* Stores pGroup (szName, gid and ppMembers read; members validated) as a
 * new group (szOldKey NULL) or in place of the group of szOldKey (the
 * upper-cased old name, cbOldKey bytes without NUL), renaming it and
 * carrying its description when the name differs. The new records are
 * stored before the old ones are removed, and of the old gid only the old
 * group's record: 0, or -1 with 0x0D00; 0x1600 invalid name; 0x1700 the
 * name is another group's; 0x1800 no old group; 0xB700 renaming a system
 * group or changing "users"; 0x4000; the store's. A failed store leaves the
 * database as it was. */
int VAKOGroupDBSet(VAKOGROUPDB *pDb, const char *szOldKey, int cbOldKey, PVAKOGROUP pGroup);
/* Removes a local group's name and description records and its own gid
 * record (other groups of that gid stay): 0, or -1 (0x0D00; a domain key,
 * no code; 0x1800 absent; 0xB700 a system group; the store's). */
int VAKOGroupDBDelete(VAKOGROUPDB *pDb, const char *szKey, int cbKey);
/* 1 when szKey (cbKey bytes without NUL) is in the name file, else 0 (with
 * 0x0D00 or 0x1800; 0x4000 and szOut "" for a stored line without ':'; no
 * code when the name does not fit cbOut). With szOut, the name as stored
 * goes there. */
int VAKOGroupDBCheckExists(VAKOGROUPDB *pDb, const char *szKey, int cbKey, char *szOut, int cbOut);
/* The next group of the name file's cursor in key order into *ppGroup (as
 * VAKOGroupDBUnpack; freed by the caller with VAKOGroupFree) whose kind is
 * in typeMask (1 local, 2 domain); with bAll 0 local system groups other
 * than "users" are passed over: 0, or -1 (0xB500 at the end, 0x1800 a
 * failed read, 0x0D00, the unpack's code). */
int VAKOGroupDBGetByCursor(VAKOGROUPDB *pDb, PVAKOGROUP *ppGroup, int typeMask, int bAll);
/* The first gid from VAKO_GID_FIRST to VAKO_GID_LAST without a record,
 * searching upward from "#CURRENT_GID" + 1 and wrapping (not written back):
 * the gid, or -1 (NULL pDb without code; 0x1900 none left; 0xB200 the
 * start cannot be read; the code of a failed read of the largest gid or of
 * a failed probe). */
int VAKOGroupGetFreeGid(VAKOGROUPDB *pDb);

#ifdef __cplusplus
}
#endif

#endif
