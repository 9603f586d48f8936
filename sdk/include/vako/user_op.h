/* The account operations: read an account by name or uid and its SMB
 * password hashes, list and count accounts, list the local accounts with
 * their ids, guest support, new password hashes for a batch of accounts,
 * and the signal to the account daemon. Each takes the account-file lock
 * (slib/lock.h) around its work on the user database and releases only
 * what it took. */
#ifndef VAKO_USER_OP_H
#define VAKO_USER_OP_H

#include "slib/szlist.h"
#include "vako/user.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The account daemon's process id ("%u\n") and the signal it gets after
 * account changes. */
#define SZF_SCEMD_PID     "/var/run/scemd.pid"
#define VAKO_SCEMD_SIGNAL 47

#define VAKO_ERR_USER_ENUM 0x9800 /* a walk of the accounts failed */

/* Lock requests of the account operations. */
#define VAKO_USER_LOCK_READ    0x15 /* account files shared */
#define VAKO_USER_LOCK_WRITE   0x16 /* account files exclusive */
#define VAKO_USER_LOCK_RELEASE 0x10
#define VAKO_USER_LOCK_TIMEOUT 5

/* Account kinds of VAKOUserEnum. */
#define VAKO_USER_ENUM_LOCAL       1
#define VAKO_USER_ENUM_DOMAIN      2
#define VAKO_USER_ENUM_DOMAIN_USED 4

/* One listed local account; the list is freed with VAKOLocalUserInfoFree. */
typedef struct _tag_VAKOLOCALUSERINFO_ {
    int32_t uid;
    int32_t gid;
    char *szName; /* a heap copy of the name as stored */
    struct _tag_VAKOLOCALUSERINFO_ *pNext;
} VAKOLOCALUSERINFO;

/* The account szName (any case) into *ppUser (as VAKOUserAlloc; free with
 * VAKOUserFree): 0, or -1 with 0x0D00, 0x0400, 0x0900, 0x0500, 0x1D00 (also
 * a name too long to be a key) or the read's code. */
int VAKOUserGet(const char *szName, PVAKOUSER *ppUser);
/* The account with that uid (its first record) into *ppUser: 0, or -1 as
 * VAKOUserGet. */
int VAKOUserGetByUID(int uid, PVAKOUSER *ppUser);
/* The LAN Manager and NT hash texts of the account's SMB password line into
 * szLm and szNt (33 bytes each): 0, or -1 with 0x0D00 (a size other than
 * 33), 0x1D00, 0x4000 (not 7 fields) or a frame code as VAKOUserGet. */
int VAKOUserGetSmbPasswd(const char *szName, char *szLm, int cbLm, char *szNt, int cbNt);
/* Appends to *ppList the names of the listed accounts of the kinds in flags
 * (VAKO_USER_ENUM_*): domain accounts in use first, then by key order: their
 * number, or -1 with 0x0D00, 0x9800, 0x0200 or a frame code. Listed: a
 * domain account, uid -1, or uid 1024 and above but the guest (1025) while
 * guest support is off. */
int VAKOUserEnum(PSLIBSZLIST *ppList, int flags);
/* The number of listed accounts of the kinds (bit 1 or 2 needed): or -1. */
int VAKOUserTotalNum(int flags);
/* "maxaccounts" of /etc.defaults/vakoinfo.conf less the local and domain
 * accounts (0 when the key is absent or empty; negative when exceeded), or -1. */
int VAKOUserRemainNumGet(void);
/* The listed local accounts with uid and gid, in key order, into *ppHead
 * (NULL when none; free with VAKOLocalUserInfoFree): their number, or -1
 * (*ppHead NULL) with 0x0D00, 0x0200, 0x9800 or a frame code. */
int VAKOLocalUserInfoEnum(VAKOLOCALUSERINFO **ppHead);
/* Frees every node and name and sets *ppHead to NULL; NULL does nothing. */
void VAKOLocalUserInfoFree(VAKOLOCALUSERINFO **ppHead);
/* 1 when guest support is on (the key "guestsupport" of
 * /etc.defaults/vakoinfo.conf is not exactly "no"), else 0; read once per
 * process. No error code. */
int VAKOGuestSupportGet(void);
/* For each i below n whose entries are all given, stores pszCrypted[i] as
 * the password hash of account ppUsers[i] and pszLm[i], pszNt[i] as its SMB
 * hash texts, and rewrites the account files once; accounts without shadow
 * or SMB records are passed over. 0, or -1 with 0x0D00 (also a text holding
 * ':' or a line end: nothing written), 0x0400, 0x0900, the store's or the
 * dump's code, or without a code when no account changed. The account
 * daemon gets its signal in every case. */
int VAKOUserSetPasswd(PVAKOUSER *ppUsers, char **pszCrypted, char **pszLm, char **pszNt, int n);
/* Sends sig to the process of SZF_SCEMD_PID: 0 (also without a pid file
 * or with a pid of 1 or less, never signalled), or -1 when kill fails (no
 * code). */
int VAKOScemdSignal(int sig);

#ifdef __cplusplus
}
#endif

#endif
