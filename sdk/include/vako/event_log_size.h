/* Event log size change and shrink. */
#ifndef VAKO_EVENT_LOG_SIZE_H
#define VAKO_EVENT_LOG_SIZE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Log types of VAKOLogChangeSize: 1 system, 2 man, 3 connections,
 * 5 backup, 6 copy, 7 network backup, 8 surveillance (the default path of
 * each, whatever the configuration names). */
#define VAKOLOG_TYPE_SYS 1
#define VAKOLOG_TYPE_MAN 2

/* Room for a temporary name of the shrink. */
#define VAKOLOG_TEMP_NAME_SIZE 1024

/* Shrinks the type's file when it is larger than maxSize: 0 (also for an
 * unknown type or a missing file, logged), or the shrink's -1 (0x0200
 * recorded when memory runs out). */
int VAKOLogChangeSize(int maxSize, int logType);

/* Drops at least `excess` bytes of the oldest records of szPath and
 * rewrites it under the file's lock: 0, or -1 (the log unchanged; 0x0200
 * recorded when memory runs out). */
int LogShrinkFile(uint32_t excess, const char *szPath);

/* szBase followed by "<pid>-<counter>" in szOut (cleared over cbOut bytes
 * first): 0, or -1 for NULL, a negative size or a name that does not fit. */
int LogTempNameMake(const char *szBase, char *szOut, int cbOut);

#ifdef __cplusplus
}
#endif

#endif
