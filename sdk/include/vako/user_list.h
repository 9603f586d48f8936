/* Lists of account names: comma-separated names, "@group" entries for
 * groups, "DOMAIN\name" for domain accounts and groups. Validation into the
 * canonical list of the names that exist, renames and removals of accounts
 * carried into every share's user lists and every group's members, and the
 * domain accounts that the shares' write lists name.
 *
 * None of these functions locks: the callers hold the account, group and
 * share file locks of their own operations. */
#ifndef VAKO_USER_LIST_H
#define VAKO_USER_LIST_H

#include "slib/szhash.h"
#include "slib/szlist.h"
#include "vako/group_db.h"
#include "vako/user_db.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Validates the NULL-terminated names against the user database (opened
 * and closed here) into the caller's growing buffer (vako/keydb.h): the
 * names that are accounts, as stored, in order of first appearance,
 * without duplicates (any case) and "nobody", joined by ','; domain names
 * only on a domain member whose SMB service runs. 0, or -1 with 0x0D00,
 * 0x4000 (a "@group" entry), 0x0900 or 0x0200. Names that cannot be
 * upper-cased into a key name no account and are left out. */
int VAKOUserGetValidUserList(char **ppszNames, char **ppOut, int *pcbOut);
/* As VAKOUserGetValidUserList for the comma list szList against the open
 * databases given; "@group" entries are looked up in pGroupDb (NULL: 0x4000)
 * and written "@" + the group as stored. */
int VAKOUserGetValidUserList2(const char *szList, char **ppOut, int *pcbOut, VAKOGROUPDB *pGroupDb,
                              VAKOUSERDB *pUserDb);
/* Applies the rename map (upper-cased old account name -> new name, ""
 * for a removed account) to the comma list szList: 1 changed (the new list
 * in the caller's growing buffer, removed entries left out), 0 unchanged
 * (*ppOut = szList itself, not to be freed, *pcbOut its size), -1 with
 * 0x0D00, 0x4000 or 0x0200. "@group" entries are never changed. */
int VAKOUserModifyListConfig(const char *szList, char **ppOut, int *pcbOut, PSLIBSZHASH pRenameMap);
/* Applies the map to the three user lists of every share and rewrites
 * smb.conf: 0, or -1 with 0x0D00, 0x0900, 0x0200, a walk's or store's code,
 * or the dump's. Shares stored before a failure stay stored, unwritten. */
int VAKOUserModifySmbConf(PSLIBSZHASH pRenameMap);
/* Applies the map to the members of every local group but "users" and
 * rewrites the group files: 0, or -1 as VAKOUserModifySmbConf. */
int VAKOUserModifyGroup(PSLIBSZHASH pRenameMap);
/* Appends to *ppList, once each (case kept), the domain accounts that the
 * shares' write lists name directly or through their groups (all loaded
 * domain accounts for a "\domain users" group): their number, or -1 with
 * 0x0D00, 0x0900, 0x0200 or a walk's code. */
int VAKOUserPushDUserUsed(PSLIBSZLIST *ppList);

#ifdef __cplusplus
}
#endif

#endif
