/* Auto-block: the list of client addresses the network services refuse. */
#ifndef VAKO_AUTOBLOCK_H
#define VAKO_AUTOBLOCK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The list: 8-byte records, no header. Bytes 0-3: the time the address was
 * added, a 32-bit word in the processor's own byte order; bytes 4-7: the
 * IPv4 address as inet_aton gives it (network byte order). A record whose
 * time or address is zero is a hole; a trailing part under 8 bytes is
 * ignored. The list is replaced whole through a unique temporary file
 * beside it, "/etc/vakoIPs.deny.tmpXXXXXX". */
#define SZF_AUTOBLOCK_DENY     "/etc/vakoIPs.deny"
#define SZF_AUTOBLOCK_DENY_TMP "/etc/vakoIPs.deny.tmpXXXXXX"
#define AUTOBLOCK_RECORD_SIZE  8
/* The walk maps the list this many bytes (8192 records) at a time. */
#define AUTOBLOCK_WINDOW_SIZE 65536

#define AUTOBLOCK_EVENT_ADD 0x12A00003
#define AUTOBLOCK_MAIL_TAG  "AutoBlockAdd"

#define VAKO_ERR_AUTOBLOCK_MMAP    0x3D00
#define VAKO_ERR_AUTOBLOCK_NO_FILE 0x0700

typedef struct _tag_VAKOAUTOBLOCKCONF_ {
    int attempts;   /* autoblock_attempts */
    int attemptMin; /* autoblock_attempt_min */
    int expireDays; /* autoblock_expriedday; 0 = never */
    int notify;     /* autoblock_notify exactly "yes" */
} VAKOAUTOBLOCKCONF, *PVAKOAUTOBLOCKCONF;

/* Walk operations. */
#define AUTOBLOCK_OP_PROCESS        0 /* the request's pfnProcess */
#define AUTOBLOCK_OP_COPY_IF_DIFFER 1 /* AutoBlockCopyIfDiffer */
#define AUTOBLOCK_OP_COPY_UNLISTED  2 /* AutoBlockCopyUnlessListed */
#define AUTOBLOCK_OP_ZERO_IF_MATCH  3 /* AutoBlockZeroIfMatch */
#define AUTOBLOCK_OP_MATCH          4 /* AutoBlockMatch */

/* A record function: gets the walk's first argument, the live record (8
 * bytes in the mapping) and the walk's second argument; returns 0 (go on),
 * 1 (stop), 2 (remember a match) or -1 (fail the walk). */
typedef int (*PFN_AUTOBLOCK_PROCESS)(int arg, void *pRecord, void *pArg);

typedef struct _tag_AUTOBLOCKMMAPREQ_ {
    int prot;          /* mapping protection (1 = read) */
    int mapFlags;      /* mapping flags (1 = shared) */
    int op;            /* AUTOBLOCK_OP_* */
    int lockOp;        /* flock operation (6 = exclusive, non-blocking) */
    int openFlags;     /* open flags (0 = read only) */
    int cbFile;        /* bytes to walk, above 0 (never past the file's end) */
    int offStart;      /* records ending before this offset are passed over */
    int64_t tNow;      /* the current time */
    int64_t secExpire; /* time + secExpire <= tNow is expired; 0 none */
    const char *szPath;
    PFN_AUTOBLOCK_PROCESS pfnProcess;
} AUTOBLOCKMMAPREQ, *PAUTOBLOCKMMAPREQ;

/* Reads the settings under the appliance information lock: 0, or -1 with
 * its code (0x0D00, 0x0200, the lock's or the file engine's). */
int VAKOAutoBlockConfGet(PVAKOAUTOBLOCKCONF pConf);

/* Writes the settings that differ from the stored ones and signals the FTP
 * daemon: 0, or -1 with its code (0x0200 when memory runs out). */
int VAKOAutoBlockConfSet(PVAKOAUTOBLOCKCONF pConf);

/* Adds szIP (dotted quad) with the current time, dropping its old record
 * and the expired ones; a new address is logged and mailed: 0, or -1
 * (0x0D00 NULL, 0x1000 not an address, 0x0200, else the failing step's code) with
 * the old list unchanged. */
int VAKOAutoBlockIPAdd(const char *szIP);

/* Walks the records of the request's file (opened and locked): -1 with its
 * code; op 1: 1 when no live record held the address, else 0; other ops:
 * 1 when a record function stopped the walk, else 0. */
int AutoBlockIMmapProcess(PAUTOBLOCKMMAPREQ pReq, int arg, void *pArg);

/* Opens szPath (never through a link; made 0644 with O_CREAT) and takes the
 * flock without blocking, up to 30 tries a second apart (a file replaced
 * meanwhile is opened again): the descriptor, or -1 (0x0D00, 0x0700 when it
 * does not exist, 0x0900 at once for what is not a regular file of the
 * caller's or root's with one link, 0x0400 after the tries). */
int AutoBlockFileOpen(const char *szPath, int openFlags, int lockOp);
/* Unlocks and closes fd (a negative one is ignored). */
void AutoBlockFileClose(int fd);

/* Signals the FTP daemon to reread the settings. */
void VAKOAutoBlockServicesHup(void);

/* The record functions of ops 1 to 4. pArg: the address word (op 1, 3, 4),
 * or a list of address words ending in 0 (op 2). */
int AutoBlockCopyIfDiffer(int fd, void *pRecord, void *pArg);
int AutoBlockCopyUnlessListed(int fd, void *pRecord, void *pArg);
int AutoBlockZeroIfMatch(int unused, void *pRecord, void *pArg);
int AutoBlockMatch(int unused, void *pRecord, void *pArg);

#ifdef __cplusplus
}
#endif

#endif
