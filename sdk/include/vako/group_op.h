/* The group operations: read a group, create or change one and carry a
 * rename into the shares' user lists, list the members of a group ("users"
 * stands for every local account), and keep the mail group "smmsp". Each
 * takes the account-file lock (slib/lock.h) around its work and releases
 * only what it took. */
#ifndef VAKO_GROUP_OP_H
#define VAKO_GROUP_OP_H

#include "slib/szlist.h"
#include "vako/group.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Lock requests of the group operations. */
#define VAKO_GROUP_LOCK_READ          0x35 /* account and group files shared */
#define VAKO_GROUP_LOCK_RELEASE       0x30
#define VAKO_GROUP_LOCK_WRITE         0x76 /* account, group and SMB files exclusive */
#define VAKO_GROUP_LOCK_WRITE_RELEASE 0x70
#define VAKO_GROUP_LOCK_TIMEOUT       5

/* The mail group. */
#define SZ_GROUP_SMMSP "smmsp"
#define VAKO_GID_SMMSP 25

/* Operations of VAKOSmmspGroupSet. */
#define VAKO_SMMSP_ADD    1
#define VAKO_SMMSP_MODIFY 2
#define VAKO_SMMSP_DELETE 3

/* The group szName (any case; local or domain) into *ppGroup (as
 * VAKOGroupAlloc2; free with VAKOGroupFree): 0, or -1 with 0x0D00, 0x0400,
 * 0x0900, 0x1800 (also a name too long to be a key), 0x0500 or the
 * unpack's code. */
int VAKOGroupGet(const char *szName, PVAKOGROUP *ppGroup);
/* Creates pGroup (szOldName NULL) or changes the group now named szOldName
 * (any case) into it, renaming it when the names differ; gid -1 asks for a
 * free gid, written into pGroup. Rewrites the group files and, after a
 * rename, every share list that names the group. The share database is
 * opened before anything changes. 0, or -1 with 0x0D00 (also no free gid or
 * a name that cannot be a key), 0x0400, 0x0900, 0x1700, 0x1800, 0xB700,
 * 0xB400/0xB300 ("#CURRENT_GID"), 0x0500, a store's or a dump's code; a
 * failure after the group files were rewritten leaves them changed. */
int VAKOGroupSet(const char *szOldName, PVAKOGROUP pGroup);
/* Appends to *ppList the member names of szGroup (canonical: accounts as
 * stored, once each); "users" (any case) gives every local account: 0, or
 * -1 with 0x0D00, 0x0200, 0x1800 or the code of the read. */
int VAKOGroupListMember(const char *szGroup, PSLIBSZLIST *ppList);
/* Keeps the members of "smmsp": op 1 adds szNewName, 2 replaces szOldName
 * by szNewName, 3 removes szOldName (names compared ignoring case): 0, or
 * -1 with 0x0D00, 0x0200, 0x1800 (no group "smmsp": never created here) or
 * the code of VAKOGroupSet. */
int VAKOSmmspGroupSet(const char *szOldName, const char *szNewName, int op);

#ifdef __cplusplus
}
#endif

#endif
