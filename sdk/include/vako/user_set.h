/* The user set: creates a local account or changes one (renaming it when
 * the new name differs), then carries the result to every place of the
 * appliance that knows accounts by name: the account files, the shares'
 * user lists, the groups' members, the AFP guest login, the rsync secrets
 * and the "smmsp" group of the network-backup accounts, the home folders
 * and the FTP chroot list; last it signals the account daemon (and the
 * download scheduler where the appliance has one). Everything runs under
 * the lock of the account, group and SMB files. */
#ifndef VAKO_USER_SET_H
#define VAKO_USER_SET_H

#include "vako/user.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The users' home folders: SZD_USER_HOMES "/" the account name. */
#define SZD_USER_HOMES "/var/services/homes"
/* The AFP service's configuration and the copy it is edited in. */
#define SZF_AFPD_CONF     "/usr/vako/etc/afpd.conf"
#define SZF_AFPD_CONF_TMP "/usr/vako/etc/afpd.conf.tmp"

/* Lock request of the user set (account, group and SMB files exclusive). */
#define VAKO_USER_SET_LOCK         0x76
#define VAKO_USER_SET_LOCK_RELEASE 0x70
#define VAKO_USER_SET_LOCK_TIMEOUT 5

/* Error code: the AFP configuration does not exist. */
#define VAKO_ERR_NO_AFPD_CONF 0x0700

/* The group of an account given gid -1. */
#define VAKO_USER_DEFAULT_GID 100

/* UserSetBatch with one entry: szOldName NULL creates pUser, else changes
 * the account szOldName into pUser. 0, or -1 (NULL pUser: 0x0D00, nothing
 * done and no signal; else as UserSetBatch). */
int VAKOUserSet(const char *szOldName, PVAKOUSER pUser);
/* Creates users[i] (oldNames[i] NULL) or changes account oldNames[i] into
 * users[i], for each i below n; a gid or uid of -1 is replaced in the
 * caller's record by the one stored. 0 when at least one entry was written,
 * the account files rewritten and the FTP chroot list kept in step (n = 0:
 * 0, nothing opened); -1 with the code of the failure (0x0D00 arguments or
 * a NULL entry, 0x0200, 0x0400, 0x0900, 0x1C00 a name taken, 0xB300 or
 * 0xB400 the last uid, 0x0500, or the failing operation's). An entry that
 * fails leaves its account as it was in every file, renamed nowhere;
 * entries written stay written whatever fails after them. The account
 * daemon gets signal 47 in every case. */
int UserSetBatch(const char **oldNames, PVAKOUSER *users, int n);

#ifdef __cplusplus
}
#endif

#endif
