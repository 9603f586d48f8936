/* Rsync secrets: the backup accounts of the rsync service ("auth users" of
 * its configuration) and their stored values, one "name:value" line each. */
#ifndef VAKO_RSYNC_SECRET_H
#define VAKO_RSYNC_SECRET_H

#ifdef __cplusplus
extern "C" {
#endif

#define SZF_RSYNCD_CONF    "/etc/rsyncd.conf"
#define SZF_RSYNCD_SECRETS "/etc/rsyncd.secrets"
/* The rsync service, run with "stop" and "start" around each change. */
#define SZF_RSYNCD_SCRIPT "/usr/vako/etc/rc.d/S84rsyncd.sh"

/* After each write the secrets file has this mode, owner and group. */
#define RSYNCD_SECRETS_MODE 0640
#define RSYNCD_SECRETS_UID  0
#define RSYNCD_SECRETS_GID  25

/* The longest secrets line, "name:value" without its line feed. */
#define RSYNCD_SECRET_LINE_MAX 3089

/* The op of VAKONetBackupSetServerPasswd. */
#define NETBKP_PASSWD_ADD    1
#define NETBKP_PASSWD_MODIFY 2
#define NETBKP_PASSWD_DELETE 3

/* crypt(plain, "rydn") into out, the rest of its cbOut bytes zero: 0, or -1
 * (NULL arguments, a hash that does not fit, or crypt giving NULL, a leading
 * '*' or not 13 characters, logged). No error code. */
int VAKONetBkpCryptPass(const char *plain, char *out, int cbOut);
/* The value of user's line in the secrets file ("admin" reads "root") into
 * out: 0, or -1 (logged) when there is no such line, it has no ':', or the
 * value does not fit in cbOut bytes. No error code but 0x0200 when memory
 * runs out. */
int VAKONetBackupGetServerPasswd(const char *user, char *out, int cbOut);
/* 1 for "root", "admin" and "rsync" in any letter case, else 0 (NULL too). */
int VAKONetBkpIsReservedName(const char *name);
/* Adds newName (op 1), changes oldName into newName (op 2) or deletes
 * oldName (op 3) in "auth users" and the secrets file, "admin" written as
 * "root", with the rsync service stopped meanwhile: 0, or -1 (logged; the
 * service then stays stopped; changes made before the failure stay). Names
 * must be non-empty and free of ':', ',', '#' or ';' at the start, blanks
 * and line ends; the value must be one line and "name:value" at most
 * RSYNCD_SECRET_LINE_MAX characters. No error code of its own but 0x0200
 * when memory runs out. */
int VAKONetBackupSetServerPasswd(const char *oldName, const char *newName, const char *value, int op);
/* Removes the first line of name in the secrets file: 0 (also when there
 * is none), or -1 (logged) when the file is missing or cannot be rewritten
 * (0x0200 recorded when memory runs out). */
int NetBackupDelSecret(const char *name);

#ifdef __cplusplus
}
#endif

#endif
