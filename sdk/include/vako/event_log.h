/* System event log: one binary ring file per log class. */
#ifndef VAKO_EVENT_LOG_H
#define VAKO_EVENT_LOG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Where each class's file lies and how large it may grow. */
#define SZF_VAKOLOG_CONF "/etc/vakolog.conf"

#define SZF_VAKOLOG_SYS    "/var/log/vakosys.log"
#define SZF_VAKOLOG_MAN    "/var/log/vakoman1.log"
#define SZF_VAKOLOG_CONN   "/var/log/vakoconn.log"
#define SZF_VAKOLOG_BACKUP "/var/log/vakobackup.log"
#define SZF_VAKOLOG_COPY   "/var/log/vakocopy.log"
#define SZF_VAKOLOG_NETBKP "/var/log/vakonetbkp.log"
#define SZF_VAKOLOG_SUR    "/var/log/vakosur.log"

/* Log classes of VAKOLogSet1 (4 has no file). */
#define VAKOLOG_CLASS_SYS    1
#define VAKOLOG_CLASS_SYS2   2
#define VAKOLOG_CLASS_CONN   3
#define VAKOLOG_CLASS_NONE   4
#define VAKOLOG_CLASS_BACKUP 5
#define VAKOLOG_CLASS_COPY   6
#define VAKOLOG_CLASS_NETBKP 7
#define VAKOLOG_CLASS_SUR    8

/*
 * File layout, every integer big-endian:
 *   0  "VAKO" (4 bytes, no terminator)
 *   4  reserved (never written; zero in a file the library created)
 *   8  u32 offset of the oldest record
 *   12 u32 offset at which the next record goes
 *   16 the ring of records
 * Record: u16 length L (24 + the six text lengths), u16 level, u32 time,
 * u16 source length, u16 user length, u32 event id, four u16 lengths of
 * s1..s4, then source, user, s1..s4 back to back without terminators.
 * A u16 zero where the data stops is the end marker before a wrap.
 */
#define VAKOLOG_MAGIC       "VAKO"
#define VAKOLOG_HEADER_SIZE 16
#define VAKOLOG_RECORD_HEAD 24
#define VAKOLOG_OFF_START   8
#define VAKOLOG_OFF_END     12

/* Appends one record to the class's log (NULL text stored empty, an empty
 * one as one blank): 0, or -1 for a bad class (logged), class 4, a default
 * configuration that cannot be written, or a failed write. Records no code
 * of its own but 0x0200 when memory runs out. */
int VAKOLogSet1(int logClass, int level, uint32_t eventId, const char *s1, const char *s2, const char *s3,
                const char *s4);

/* The locked ring write of one record into szPath, within the current
 * limit; the file is made 0600 and kept so, and what is not a regular file
 * of the caller's or root's with one name (a link, a FIFO, another name of
 * a file) is refused at once: 0, or -1 (failures logged with their markers;
 * 0x0200 recorded when memory runs out). */
int LogWriteRecord(const char *szPath, int level, uint32_t eventId, const char *s1, const char *s2, const char *s3,
                   const char *s4);

/* Builds one record in a new heap block *ppRecord (the caller frees it):
 * its length L, or 0 when it cannot be allocated (0x0200) or the texts make
 * it longer than 65535 bytes (0x0D00). */
uint16_t LogRecordBuild(char **ppRecord, uint16_t level, uint32_t eventId, const char *s1, const char *s2,
                        const char *s3, const char *s4);

/* The user named in records: $USERNAME, else the account of the effective
 * uid (VAKOUserGetByUID), "root" given as "admin"; in one static buffer of
 * 256 bytes; "" when none is known (0x0200 recorded when memory runs out). */
const char *LogCurrentUserName(void);

/* Keeps a header whose magic is right (4) or writes a fresh one (12);
 * -1 when a header write fails (its marker logged). */
int LogHeaderCheck(int fd);

/* The u32 at offset 8 (start) or 12 (end), or -1 when it cannot be read. */
int64_t LogStartOffsetGet(int fd);
int64_t LogEndOffsetGet(int fd);

/* Writes the start offset, then syncs / syncs, then writes the end offset:
 * 4, or -1 (marker logged). */
int LogStartOffsetSet(int fd, uint32_t off);
int LogEndOffsetSet(int fd, uint32_t off);

/* n bytes at the descriptor's offset: n, or -1 (a failed write logged). */
int VAKOLogWriteByte(int fd, const void *p, int n);
int VAKOLogReadByte(int fd, void *p, int n);

/* The descriptor's current offset, or -1. */
int64_t LogTell(int fd);

/* Writes the default /etc/vakolog.conf: 0, or -1 (0x0900 when it cannot
 * be created). */
int LogSetLogConf(void);

/* The process-wide size limit that the writer uses (initially 65536). */
uint32_t LogSizeLimitGet(void);
void LogSizeLimitSet(uint32_t limit);

#ifdef __cplusplus
}
#endif

#endif
