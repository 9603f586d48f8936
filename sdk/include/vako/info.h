/* Appliance information keys and hardware kind. */
#ifndef VAKO_INFO_H
#define VAKO_INFO_H

#ifdef __cplusplus
extern "C" {
#endif

/* The current settings and the model's factory description. */
#define SZF_VAKO_INFO          "/etc/vakoinfo.conf"
#define SZF_VAKO_INFO_DEFAULTS "/etc.defaults/vakoinfo.conf"

/* Lock requests on SZF_VAKO_INFO (lock table, slib/lock.h). */
#define VAKO_INFO_LOCK_READ    0x805
#define VAKO_INFO_LOCK_WRITE   0x806
#define VAKO_INFO_LOCK_RELEASE 0x800
#define VAKO_INFO_LOCK_TIMEOUT 5

/* Writes key="value" to SZF_VAKO_INFO under its lock: 0, or -1 with 0x0D00
 * or the lock's or the writer's code (0x0200 when memory runs out). */
int VAKOINFOSetKeyValue(const char *szKey, const char *szValue);
/* 1 when the system partition is a RAID array, else 0 (a query that cannot
 * run is logged); no code. */
int VAKOConfSupportRaid(void);
/* 1 on junior hardware, else 0; no code but 0x0200 when memory runs out. */
int VAKOIsJunior(void);

#ifdef __cplusplus
}
#endif

#endif
