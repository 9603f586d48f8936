/* The share operations: the enumeration of share names by kind, under the
 * share lock, and the filtered walk over an open share database
 * (vako/share_db.h) that it makes. */
#ifndef VAKO_SHARE_OP_H
#define VAKO_SHARE_OP_H

#include "slib/szlist.h"
#include "vako/share.h"
#include "vako/share_db.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Share kinds of VAKOShareEnum, as mask bits. */
#define VAKO_SHARE_KIND_NORMAL 1
#define VAKO_SHARE_KIND_USB    2 /* "usbshare" (any case) and digits, or exactly "usbbackup" */
#define VAKO_SHARE_KIND_SATA   4 /* exactly "satashare" or "satabackup" */

/* Lock request of VAKOShareEnum and its release. */
#define VAKO_SHARE_LOCK_READ    0x45
#define VAKO_SHARE_LOCK_RELEASE 0x40
#define VAKO_SHARE_LOCK_TIMEOUT 5

/* The filter of VAKOShareDBEnumInternal. pfnMatch returns 0 to take a
 * share; pfnInit (non-zero stops the walk) and pfnFinish are given both or
 * neither. */
typedef struct _tag_VAKOSHAREENUMFILTER_ {
    int (*pfnInit)(const struct _tag_VAKOSHAREENUMFILTER_ *filter, void *initArg);
    int (*pfnMatch)(const struct _tag_VAKOSHAREENUMFILTER_ *filter, const VAKOSHARE *share, int matchArg);
    void (*pfnFinish)(const struct _tag_VAKOSHAREENUMFILTER_ *filter);
} VAKOSHAREENUMFILTER;

/* Appends to *pList (already allocated; it may move) the names of the
 * shares whose kind is in kindMask (1 to 7), under the share lock: their
 * number, or -1 with 0x0400, 0x0900, 0x0200, 0x0500 (the lock not
 * released), a walk's or a push's code. A mask outside 1..7 gives 0 names
 * with 0x0D00. */
int VAKOShareEnum(PSLIBSZLIST *pList, int kindMask);
/* The names of the shares from the handle's cursor on that filter takes,
 * appended to *pList: their number, or -1 with 0x0D00 (a NULL argument or
 * an incomplete filter), a failed init, push or walk (the names pushed
 * before stay). pfnFinish runs on every path that has a filter. */
int VAKOShareDBEnumInternal(VAKOSHAREDB *db, PSLIBSZLIST *pList, const VAKOSHAREENUMFILTER *filter, void *initArg,
                            int matchArg);
/* 0 when the share's kind is in kindMask, else -1 (0x0D00 for NULL or a
 * mask outside 1..7; no code when simply not taken). */
int ShareDBEnumTypeMatched(const VAKOSHARE *share, int kindMask);
/* The match of VAKOShareEnum: ShareDBEnumTypeMatched (share, kindMask). */
int ShareEnumTypeMatch(const VAKOSHAREENUMFILTER *filter, const VAKOSHARE *share, int kindMask);
/* 1 for a USB share name, else 0 (also NULL). */
int ShareIsUsbName(const char *name);
/* 1 for a SATA share name, else 0 (also NULL). */
int ShareIsSataName(const char *name);

#ifdef __cplusplus
}
#endif

#endif
