/* Lock table: advisory whole-file locks on the lock files under /tmp/lock/. */
#ifndef SLIB_LOCK_H
#define SLIB_LOCK_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SZD_SLIB_LOCK "/tmp/lock/"

/* Low four bits of a lock request: the flock operation. */
#define SLIB_LOCK_SH 5 /* LOCK_SH | LOCK_NB */
#define SLIB_LOCK_EX 6 /* LOCK_EX | LOCK_NB */

/* Row masks (bits 4 and up of a request). */
#define SLIB_LOCK_PW       0x10
#define SLIB_LOCK_GR       0x20
#define SLIB_LOCK_SMB      0x40
#define SLIB_LOCK_RC       0x80
#define SLIB_LOCK_HOST     0x100
#define SLIB_LOCK_EXPORTS  0x200
#define SLIB_LOCK_NW       0x400
#define SLIB_LOCK_VAKOINFO 0x800
#define SLIB_LOCK_APPLE    0x1000
#define SLIB_LOCK_SNMP     0x2000
#define SLIB_LOCK_WIN      0x4000
#define SLIB_LOCK_TAPEBKP  0x8000
#define SLIB_LOCK_CONNECT  0x10000
#define SLIB_LOCK_USBIDMAP 0x20000
#define SLIB_LOCK_DUSERUID 0x40000
#define SLIB_LOCK_DUSERGID 0x80000
#define SLIB_LOCK_FSTAB    0x100000
#define SLIB_LOCK_HOTSWAP  0x200000

/* One row of the process's lock table. */
typedef struct _tag_SLIBFILELOCKENTRY_ {
    FILE *fp; /* the lock file's stream while held, else NULL */
    const char *szPath;
    unsigned int mask; /* 0 ends the table */
    int refCount;      /* nested holds by this process */
    int op;            /* SLIB_LOCK_SH or SLIB_LOCK_EX */
} SLIBFILELOCKENTRY;

/* 0 when every row of request is held; -1 with 0x0400 after timeoutSec (or
 * with SLIBFileLockCheckDir's code). */
int ErrSLIBFileLock(int request, int timeoutSec);
/* Releases one hold of every held row in mask: 0, or -1 (0x0500 when an
 * unlock fails, no code when a close fails). */
int ErrSLIBFileUnlock(int mask);
/* Makes sure the lock directory (mode 0755) and every lock file (empty,
 * mode 0600) stand, owned by the caller or root; whatever another account
 * left at their names, and a lock file that fails the checks, is removed and
 * made anew: 0, or -1 with 0x0C00 (directory) or 0x0900 (a file). */
int SLIBFileLockCheckDir(void);
/* For a child right after fork: drops every hold without unlocking: 0, or -1
 * when a close fails (no code). */
int SLIBFileLockCloseAll(void);

#ifdef __cplusplus
}
#endif

#endif
