/* String utilities: reallocation, joining, splitting, trimming, replacing
 * and the colon escaping of record fields. */
#ifndef SLIB_STR_H
#define SLIB_STR_H

#include <stddef.h>

#include "slib/szlist.h"

#ifdef __cplusplus
extern "C" {
#endif

void *SLIBMemRealloc(void *p, size_t n);
int SLIBStrJoin(char **items, int n, const char *sep, char **pOut, int *pcbOut);
char *SLIBStrSepSkipEmpty(char **cursor, const char *delims);
int SLIBStrTok(const char *s, const char *delims, PSLIBSZLIST *ppList);
int SLIBStrSep(const char *s, const char *delims, PSLIBSZLIST *ppList);
int SLIBStrSepPair(const char *line, PSLIBSZLIST *ppList);
int SLIBStrTrimSpace(char *in, char *out);
int SLIBStrReplace(char *str, const char *from, const char *to, char *out, int cbMax);
int SLIBStrEncodeColon(const char *src, char *dst, int size);
int SLIBStrDecodeColon(const char *src, char *dst, int size);

#ifdef __cplusplus
}
#endif

#endif
