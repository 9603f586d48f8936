/* String utilities: reallocation, joining, splitting, trimming, replacing
 * and the colon escaping of record fields. */
#ifndef SLIB_STR_H
#define SLIB_STR_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

char *SLIBStrSepSkipEmpty(char **cursor, const char *delims);
int SLIBStrTrimSpace(char *in, char *out);

#ifdef __cplusplus
}
#endif

#endif
