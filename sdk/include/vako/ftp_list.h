/* FTP lists: the chroot list (accounts confined to their home folder, one
 * name a line) and the IPv4 clients denied in the hosts deny list. */
#ifndef VAKO_FTP_LIST_H
#define VAKO_FTP_LIST_H

#include "slib/szlist.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SZF_FTP_CHROOT     "/usr/vako/etc/ftpchroot.conf"
#define SZF_HOSTS_DENY     "/etc/hosts.deny"
#define SZF_HOSTS_DENY_TMP "/etc/hosts.deny.tmp"

/* Adds the names of users that the chroot list lacks (caseless) and removes
 * from users the names it holds already, so users ends holding the names
 * added: 0, or -1 (users untouched): NULL users (no code); 0x0200; 0x0D00 a name
 * empty, beginning with '#' or holding a line end; 0x0900 a list that
 * exists but cannot be opened; 0x0A00 a read error; 0x0B00, 0x2700, 0x2800
 * the rewrite. The list is replaced whole or left as it was. */
int VAKOFTPAddChrootUser(PSLIBSZLIST users);
/* Removes the names of users (caseless) from the chroot list: 0 (also for
 * a missing list), or -1: NULL users (no code), 0x0200, 0x0900 (logged) a list that
 * cannot be opened, 0x0A00, 0x0B00, 0x2700, 0x2800 as above. */
int VAKOFTPDeleteChrootUser(PSLIBSZLIST users);
/* Appends the chroot list's local names to *pList in caseless order, then,
 * when "enableduserhome" is "yes", its domain names ('\') not yet there:
 * the number of items of *pList (which may move), 0 for a missing list, or
 * -1: logged (0x0900 a list that cannot be opened), 0x0A00 a read error,
 * 0x0200, NULL arguments (no code). */
int VAKOFTPEnumChrootUser(PSLIBSZLIST *pList);
/* Appends the IPv4 client fields of the hosts deny list to *pList (which
 * may move): the number of items of *pList, or -1: logged (a missing file
 * included), 0x0A00 a read error, 0x0200, NULL pList or *pList (no code). */
int ConnSecurityDenyIPEnum(PSLIBSZLIST *pList);
/* Removes every line of the hosts deny list whose client field is one of
 * addresses: the number of lines removed (0: the file untouched), or -1
 * (logged; the file as it was): 0x0D00, 0x0200, 0x0900, 0x0A00, 0x0B00,
 * 0x2700, 0x2800. */
int ConnSecurityDenyIPDelete(PSLIBSZLIST addresses);

#ifdef __cplusplus
}
#endif

#endif
