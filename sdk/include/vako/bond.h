/* Link aggregation: the state of a bond and its interface configuration files. */
#ifndef VAKO_BOND_H
#define VAKO_BOND_H

#include "slib/szlist.h"
#include "vako/net.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VAKO_ERR_BOND_SLAVE_EXISTS 0xBB00 /* the slave is already in the bond */
#define VAKO_ERR_BOND_FULL         0xBD00 /* the bond already has 8 slaves */

#define VAKO_BOND_MAX_SLAVE 8

/* Bond modes. */
#define VAKO_BOND_MODE_NONE          0
#define VAKO_BOND_MODE_8023AD        1
#define VAKO_BOND_MODE_BALANCE_ALB   2
#define VAKO_BOND_MODE_ACTIVE_BACKUP 3

/*
 * One bond. Records are compared byte for byte: zero the whole record
 * before setting its fields. Interface names are 1 to 15 bytes of
 * [A-Za-z0-9._-] (not "." or ".."); the operations refuse other names with
 * 0x0D00.
 */
typedef struct _tag_VAKOLINKAGGR_ {
    char szName[VAKO_IFNAME_SIZE];
    int mode;                                            /* VAKO_BOND_MODE_* */
    int partnerMissing;                                  /* 1 when the mode is 802.3ad and no link partner is known */
    int nSlave;                                          /* 0 to VAKO_BOND_MAX_SLAVE */
    char szSlave[VAKO_BOND_MAX_SLAVE][VAKO_IFNAME_SIZE]; /* sorted byte-wise; unused slots zero */
} VAKOLINKAGGR;

/* The bond's current state into *pAggr (a bond without slaves or bonding
 * directory reads as mode 0): 0, or -1 with the code recorded (0x0200 when
 * memory runs out). */
int VAKONetLinkAggrGet(const char *szBond, VAKOLINKAGGR *pAggr);
/* Makes the configuration files match *pAggr with the network service
 * stopped, then starts it; nothing is done when the bond is as requested.
 * A request of mode 0 without slaves gets the slaves the kernel lists.
 * A failed change is undone. 0, or -1 with the code recorded (0x0200 when
 * memory runs out). */
int VAKONetLinkAggrSet(VAKOLINKAGGR *pAggr);
/* Appends the bond's slave names to *pList (the caller's list, which may
 * move): their number, or -1 with the code recorded (0x0200 when memory
 * runs out). */
int VAKONetLinkAggrPhyGet(const char *szBond, PSLIBSZLIST *pList);
/* Adds szSlave to the record's sorted slaves: 0, or -1 with 0x0D00, 0xBB00
 * (already there) or 0xBD00 (8 slaves). */
int VAKONetLinkAggrOptSlaveAdd(VAKOLINKAGGR *pAggr, const char *szSlave);

#ifdef __cplusplus
}
#endif

#endif
