/* The user database: five keyed files (vako/keydb.h) under /tmp that cache
 * the account files /etc/passwd, /etc/shadow, /etc/vakouser.conf and the
 * SMB password file (and the domain account list), kept in step with them
 * through the shared check-and-rebuild procedure (vako/keydb_cache.h) and
 * written back to them by the dump; and the keyed operations on one open
 * database: read, store, delete, existence and free user id.
 *
 * Keys of account records are the name upper-cased (SLIBUnicodeUTF8StrUpper)
 * with its NUL. None of these functions locks: callers hold the account-file
 * lock of slib/lock.h (0x15 to read, 0x16 to change) around open, work,
 * dump and close. A rebuild found needed by an open is serialised between
 * processes by its own lock (VAKO_USER_DB_REBUILD_LOCK). */
#ifndef VAKO_USER_DB_H
#define VAKO_USER_DB_H

#include "vako/keydb.h"
#include "vako/keydb_cache.h"
#include "vako/user.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The account text files. */
#define SZF_PASSWD        "/etc/passwd"
#define SZF_SHADOW        "/etc/shadow"
#define SZF_VAKOUSER_CONF "/etc/vakouser.conf"
#define SZF_SMBPASSWD     "/usr/vako/etc/private/smbpasswd"
#define SZF_DOMAIN_USER   "/usr/vako/etc/private/domain_user"
/* The dump's temporary files beside them. */
#define SZF_TMP_SUFFIX ".tmp"

/* Cache files: prefix + suffix. */
#define SZF_USER_DB_PREFIX     "/tmp/.db.user"
#define SZF_USER_DB_TMP_PREFIX "/tmp/.db.user.tmp"
#define SZF_USER_DB_NAME       ".name.0966"
#define SZF_USER_DB_MISC       ".misc.0966"
#define SZF_USER_DB_SHADOW     ".shadow.0966"
#define SZF_USER_DB_SMB        ".smb.0966"
#define SZF_USER_DB_UID        ".uid.0966"
/* Held exclusively while a set of cache files is built (open or rebuild). */
#define VAKO_USER_DB_REBUILD_LOCK SZF_USER_DB_TMP_PREFIX ".lock"

/* First line of /etc/vakouser.conf: "#$" marker "$" last uid "$". */
#define SZ_UID_INDEX_MARKER "_@UID__INDEX@_"

/* Local user ids handed out, wrapping from the last to the first. */
#define VAKO_UID_FIRST 1024
#define VAKO_UID_LAST  3072
/* Accounts with a uid up to this are system accounts; up to one more (the
 * guest account) while guest support is on. */
#define VAKO_UID_SYSTEM_MAX 1024

/* The open user database; files in the order of this record, opened,
 * created and renamed in the order .name, .misc, .shadow, .smb, .uid. */
typedef struct _tag_VAKOUSERDB_ {
    VAKOBDB *pPWDName;    /* .name: key -> the /etc/passwd line ("%s:x:-1:-1:::" for a domain account) */
    VAKOBDB *pPWDUID;     /* .uid: "%06d" uid -> key; duplicates allowed; "#CURRENT_UID" */
    VAKOBDB *pPWDSMB;     /* .smb: key -> the smbpasswd line */
    VAKOBDB *pPWDVakoser; /* .misc: key -> "name:privilege:mail" */
    VAKOBDB *pPWDShadow;  /* .shadow: key -> the /etc/shadow line */
} VAKOUSERDB;

/* The user database's files and operations for the check-and-rebuild procedure. */
extern const VAKOBDBCACHE gVakoUserDbCache;

/* Opens the five files prefix + suffix into a new record; when one was
 * missing, all five are made empty and built from the text files. On
 * success a record in *ppDb is closed and replaced: 0 all files existed,
 * 1 built; -1 leaves *ppDb as it was (0x0D00, 0x0200, the open's code, or
 * the build's). Close with VAKOUserDBClose. */
int VAKOUserDBOpenFile(VAKOUSERDB **ppDb, const char *szPrefix);
/* The live database, checked against the text files and rebuilt or
 * reopened when needed: a record to close with VAKOUserDBClose, or NULL
 * with the code of the failed open or build. */
VAKOUSERDB *VAKOUserDBOpen(void);
/* Closes the open files and frees the record; NULL does nothing. */
void VAKOUserDBClose(VAKOUSERDB *pDb);
/* 0 current; 1 rebuilt or reopened (*ppDb replaced); -1 as
 * VAKOBDbCacheCheckAndRebuild (a failed rebuild leaves *ppDb NULL). */
int VAKOUserDBCheckAndRebuild(VAKOUSERDB **ppDb);
/* Builds a new set of files under the temporary prefix and renames it over
 * the live one, marking the replaced name file through the live set opened
 * before the renames: 0, or -1 (0x0900 build, 0x0300/0x2800 rename, or the
 * code of the live set's failed open) with the cache files removed. */
int VAKOUserDBRebuild(void);
/* Fills the five (empty) files of pDb from the text files and stamps them:
 * 0, or -1 with the failing step's code (0x0D00, 0x0900 a file cannot be
 * opened, 0x0A00 read, 0x4000 a uid field that is no number of 0 to
 * 4294967295, 0x1C00 a name twice in /etc/passwd (any case), 0x1A00 a name
 * too long for a key, 0x2700 a stat, or the store's). Comment lines and
 * /etc/passwd lines with fewer than three ':' are logged and passed over.
 * A failed domain step is logged and passed over. */
int VAKOUserDBBuild(VAKOUSERDB *pDb);
/* Stores every line of szFile but comments under its text before the first
 * szSep, upper-cased; later lines of one key replace earlier ones; lines
 * without szSep are logged and passed over: 0, or -1 (0x0D00, 0x0900,
 * 0x0A00, 0x1A00 a key too long, the store's). */
int UserDBGetLineBuild(VAKOBDB *pBdb, const char *szFile, const char *szSep);
/* Loads the domain accounts of SZF_DOMAIN_USER into the name file when the
 * appliance is a domain member whose SMB service runs, and stamps the file:
 * 0 (also when nothing is to be loaded), or -1 (0x0D00, 0x0900, the store's). */
int UserDBDomainBuild(VAKOBDB *pNameDb);
/* Stamps each file with its text file's modification time: 0, or -1
 * (0x0D00 a file not open; a failed stat or write). */
int UserDbConfSyncTimeSet(VAKOUSERDB *pDb);
/* Writes the four text files from the database, local accounts in
 * ascending uid order, through temporary files renamed into place (shadow
 * and SMB files never readable by others), then stamps the database:
 * 0, or -1 (0x0D00; 0x0900 a temporary file cannot be made; 0x0B00 a
 * write, flush, sync or close failed; a failed read of the uid file; the
 * rename's). Every failure before the renames leaves the text files as
 * they were. */
int VAKOUserDBDump(VAKOUSERDB *pDb);
/* Moves the dump's temporary files over the text files (smbpasswd, shadow,
 * passwd, vakouser.conf; missing ones passed over): 0, or -1 (0x2800)
 * with the files already moved staying moved. */
int UserRenameTmpFiles(void);
/* Removes the dump's temporary files that exist: 0, or -1 (0x3900) when
 * one could not be removed (the others are removed all the same). */
int UserRemoveTmpFiles(void);

/* The account of szKey (an upper-cased name) into the caller's record
 * (made or refilled with VAKOUserAlloc; free with VAKOUserFree): 0, or -1
 * (0x0D00; 0x1D00 absent; 0x2000 no shadow record; 0x4000 a malformed
 * record). The admin account reads privilege 31 and the mail of its line. */
int VAKOUserDBGet(VAKOUSERDB *pDb, const char *szKey, PVAKOUSER *ppUser);
/* Stores a new account (szOldKey NULL) or replaces the account of szOldKey
 * (cbOldKey its length without NUL) by pUser, which may carry a new name;
 * a new or changed password text is MD5-crypted, its SMB hashes computed:
 * 0, or -1 (0x0D00 also for a home, shell, mail or description holding a
 * line end, or a home, shell or mail holding ':'; 0x1A00 invalid name;
 * 0x1C00 the new name exists; 0x1D00 no old account; 0xB800 renaming a
 * system account; 0x4000; the store's). The new records are stored before
 * the old ones are removed (of the old uid only the old account's record),
 * and a failure takes back what the call stored: the database as it was. A
 * NULL password or mail of pUser is left "" there (static text, not to be
 * freed); nothing else of pUser changes. */
int VAKOUserDBSet(VAKOUSERDB *pDb, const char *szOldKey, int cbOldKey, PVAKOUSER pUser);
/* Removes a local account from all five files (the uid index only its own
 * record): 0, or -1 (0x0D00; a domain key, no code; 0x1D00 absent; 0xB800
 * a system account; the store's). */
int VAKOUserDBDelete(VAKOUSERDB *pDb, const char *szKey);
/* 1 when szKey (cbKey bytes without NUL) is in the name file, else 0 (with
 * 0x0D00 or 0x1D00; 0x4000 and szOut "" for a stored line without ':'; no
 * code when cbOut is 0 or the name does not fit szOut). With szOut, the
 * name as stored goes there (at most cbOut bytes with its NUL). */
int VAKOUserDBCheckExists(VAKOUSERDB *pDb, const char *szKey, int cbKey, char *szOut, int cbOut);
/* The first uid from VAKO_UID_FIRST to VAKO_UID_LAST without an account,
 * searching upward from "#CURRENT_UID" + 1 and wrapping; -1 for NULL (no
 * code), 0x1F00 none left, 0xB200 the start cannot be read. */
int VAKOUserGetFreeUid(VAKOUSERDB *pDb);

#ifdef __cplusplus
}
#endif

#endif
