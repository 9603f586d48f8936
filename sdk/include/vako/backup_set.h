/* Backup sets: the network and local backup jobs, one section per set. */
#ifndef VAKO_BACKUP_SET_H
#define VAKO_BACKUP_SET_H

#include <stdint.h>

#include "slib/szhash.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The network sets (created 0600: they hold server passwords) and the local sets. */
#define SZF_NETBKP_CONF   "/etc/vakonetbkp.conf"
#define SZF_LOCALBKP_CONF "/etc/vakolocalbkp.conf"

/* Selects the file: 0 the network sets, any other value the local sets. */
#define BACKUP_TYPE_NETBKP   0
#define BACKUP_TYPE_LOCALBKP 1

/* The longest name of a set that is saved (a longer one, read from a file,
 * comes back whole but is not saved again). */
#define BACKUP_SET_NAME_MAX 194

/* One network backup set; each field is the key of its name, the strings
 * are heap copies owned by the record. */
typedef struct _tag_VAKONETBKPCONF_ {
    int32_t last_bkp_status; /* -1 when absent */
    int32_t ssh;
    int32_t blockbkp;
    int32_t incrbkp;
    int32_t server_type; /* 1 when absent */
    char *szName;        /* the section name */
    char *bkp_server;
    char *bkp_ip;
    char *bkp_auth_user;
    char *server_pass;
    char *last_bkp_time;
    char *bkp_module;
    char *server_pass2;
    char *bkp_shares;
    char *bkp_apps;
} VAKONETBKPCONF, *PVAKONETBKPCONF;

/* One local backup set. dest_type: 0 "internal", 1 "usb", 2 "esata",
 * 3 "usbbkp", 4 "esatabkp", -1 any other word or none (written empty). */
typedef struct _tag_VAKOLOCALBKPCONF_ {
    int32_t dest_type;
    int32_t incrbkp;
    char *szName;
    char *dest_id;
    char *dest_share;
    char *bkp_shares;
    char *bkp_apps;
    char *last_bkp_time;
    char *last_bkp_result;
} VAKOLOCALBKPCONF, *PVAKOLOCALBKPCONF;

/* Every set of the type's file, each under its section's name whole: the
 * count, with *pArr a malloc'd array of that many records (NULL when 0)
 * that the caller frees with VAKOBackupConfFreeAll; or -1 (logged), *pArr
 * NULL, code recorded (0x0200 when memory runs out). */
int VAKOBackupConfGetAll(void ***pArr, int type);
/* The number of section lines of the file; 0 when it does not exist; -1
 * with 0x0D00 (NULL), 0x0900 (cannot open) or 0x0A00 (read error). */
int VAKOBackupConfSectionCount(const char *path);
/* A new record (free with VAKONetBkpConfFree) from the section's pairs,
 * absent keys giving the defaults; NULL with 0x0D00 (NULL or empty section,
 * NULL pairs) or 0x0200. */
VAKONETBKPCONF *VAKONetBkpConfAlloc(const char *section, PSLIBSZHASH pairs);
/* Likewise for a local set (free with VAKOLocalBkpConfFree). */
VAKOLOCALBKPCONF *VAKOLocalBkpConfAlloc(const char *section, PSLIBSZHASH pairs);
/* Writes the set: new when szOldBkpset is NULL, empty or names no section,
 * else replacing (and renaming) the section szOldBkpset, keys the record
 * does not know kept. NULL strings keep the key as it was. 0, or -1 (logged,
 * code recorded; the file as it was): 0x0200, 0x0D00 for a NULL record, an empty
 * name or one over BACKUP_SET_NAME_MAX bytes, a name or value holding a line
 * end, or a rename onto another existing set. The record stays the caller's. */
int VAKONetBkpConfSetOne(const char *szOldBkpset, const VAKONETBKPCONF *pConf);
/* Likewise for a local set; NULL strings are written as empty values. */
int VAKOLocalBkpConfSetOne(const char *szOldBkpset, const VAKOLOCALBKPCONF *pConf);
/* Free the record's strings and the record; NULL is ignored. */
void VAKONetBkpConfFree(VAKONETBKPCONF *pConf);
void VAKOLocalBkpConfFree(VAKOLOCALBKPCONF *pConf);
/* Free the first n records and the array; nothing for a NULL array or n <= 0. */
void VAKONetBkpConfArrayFree(VAKONETBKPCONF **arr, int n);
void VAKOLocalBkpConfArrayFree(VAKOLOCALBKPCONF **arr, int n);
/* The array free of the type (0 network, 1 local); another type is logged
 * and frees nothing. Nothing for a NULL array or n <= 0. */
void VAKOBackupConfFreeAll(void **arr, int n, int type);

#ifdef __cplusplus
}
#endif

#endif
