/* The account record: one heap block holding an account's fields and
 * strings, the lines of /etc/passwd and /etc/shadow it is made from, the
 * rule for account names and the MD5-crypt hashing of passwords. */
#ifndef VAKO_USER_H
#define VAKO_USER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Error codes of the account records and databases (with the general ones
 * of slib/error.h and those of vako/keydb.h). */
#define VAKO_ERR_INVALID_NAME   0x1A00 /* empty or invalid account name */
#define VAKO_ERR_USER_EXISTS    0x1C00 /* an account of that name already exists */
#define VAKO_ERR_USER_NOT_FOUND 0x1D00 /* no account of that name or uid */
#define VAKO_ERR_NO_FREE_UID    0x1F00 /* no free user id left in 1024..3072 */
#define VAKO_ERR_TMP_REMOVE     0x3900 /* a temporary text file cannot be removed */
#define VAKO_ERR_BAD_FORMAT     0x4000 /* a line or record without the fields its format requires */
#define VAKO_ERR_SYSTEM_USER    0xB800 /* a system account may not be deleted */

/* Kinds of account, told apart by a '\' in the name. */
#define VAKO_USER_TYPE_LOCAL  1
#define VAKO_USER_TYPE_DOMAIN 2

/* Privilege words that the records set themselves. */
#define VAKO_USER_PRIV_ADMIN  31 /* the account named "admin", any case */
#define VAKO_USER_PRIV_DOMAIN 3  /* every domain account */

/* Longest valid account name, in characters. */
#define VAKO_USER_NAME_MAX_CHARS 64

/* One account: this header, then the strings given, each with its NUL, in
 * the order szName, szPasswd, szDesc, szHome, szShell, szMail. A string not
 * given points at the NUL of the last string stored, so every field reads
 * as text. Bytes in use: sizeof(VAKOUSER) + the strings (52 + the strings
 * on the appliance's 32-bit processor). */
typedef struct _tag_VAKOUSER_ {
    char *szName;   /* as given, case kept; never empty */
    char *szPasswd; /* the crypted hash as stored, or a new clear-text password to set */
    int32_t uid;    /* -1 for domain accounts */
    int32_t gid;    /* -1 for domain accounts */
    char *szDesc;   /* description in clear text */
    char *szHome;
    char *szShell;
    int32_t expire;   /* days since 1970-01-01 as in /etc/shadow; -1 never */
    int32_t disabled; /* 1 disabled, 0 enabled */
    char *szMail;     /* "" when none */
    int32_t type;     /* VAKO_USER_TYPE_* */
    int32_t privilege;
    int32_t cbAlloc; /* bytes allocated for the block */
} VAKOUSER, *PVAKOUSER;

/* Makes *ppUser (NULL: a new block) hold the given values; NULL strings
 * take no bytes. An existing block is reused or grown and may move.
 * 0, or -1: NULL ppUser or an empty name, or a string that lies inside the
 * record being refilled (0x0D00, record untouched); 0x0200 with the old
 * block freed and *ppUser NULL. Free with VAKOUserFree. */
int VAKOUserAlloc(PVAKOUSER *ppUser, const char *szName, const char *szPasswd, int uid, int gid, const char *szDesc,
                  const char *szHome, const char *szShell, int expire, int disabled, const char *szMail, int privilege);
/* Frees a record (or an unpacked passwd or shadow record); NULL does nothing. */
void VAKOUserFree(PVAKOUSER pUser);
/* Writes "%s:x:%d:%d:%s:%s:%s" (name, uid, gid, description as held, home,
 * shell) into the caller's growing buffer (vako/keydb.h): the line's length
 * with its NUL, or -1 (0x0D00; 0x1A00 for an empty name; 0x0200). */
int VAKOUserDBPack(PVAKOUSER pUser, char **ppBuf, int *pcbBuf);
/* An /etc/passwd line (no line end) into a struct passwd followed by its
 * strings, in the caller's growing buffer (free with VAKOUserFree or free):
 * 0, or -1 (0x0D00; 0x4000 not exactly 7 fields; 0x1A00 empty name; 0x0200).
 * pw_uid and pw_gid are the fields' decimal values. */
int UserDBUnpackPasswd(const char *szLine, void **ppOut, int *pcbOut);
/* An /etc/shadow line into a struct spwd followed by the name and the hash,
 * likewise: 0, or -1 (0x0D00; 0x4000 not exactly 9 fields; 0x1A00; 0x0200).
 * Empty numeric fields read -1, an empty last field 0. */
int UserDBUnpackShadow(const char *szLine, void **ppOut, int *pcbOut);
/* 1 when szName is a valid name for a local account (1 to 64 characters of
 * letters, digits, '.', '-', '_', ' ' and any non-ASCII character; no
 * leading ' ' or '-', no trailing ' '), else 0. No error code. */
int VAKOUserIsValidName(const char *szName);
/* The crypt salt character of |n| mod 64: '0'-'9', 'A'-'Z', 'a'-'z', '.', '/'. */
char SaltCharFromInt(int n);
/* The MD5-crypt hash of szPassword: with an empty szSalt a fresh salt from
 * the clock, with an MD5-crypt hash that hash's salt, else "$1$" + szSalt;
 * a salt that crypt cannot use (an old hash "!" or "*") gets a fresh one.
 * The text lies in crypt's static buffer: copy it before the next call.
 * NULL: NULL argument (0x0D00), or crypt failing (0x0D00). */
char *SzSDKIWrapMD5Encrypt(const char *szPassword, const char *szSalt);
/* 1 when the text holds an MD5-crypt hash ("$1$" and more than 9 characters
 * after it), else 0 (NULL: 0x0D00). */
int VAKOUserIsPasswdMD5Encrypt(const char *szPasswd);

#ifdef __cplusplus
}
#endif

#endif
