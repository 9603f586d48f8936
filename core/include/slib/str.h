/* String utilities: reallocation, joining, splitting, trimming, replacing
 * and the colon escaping of record fields. */
#ifndef SLIB_STR_H
#define SLIB_STR_H

#include <stddef.h>

#include "slib/szlist.h"

#ifdef __cplusplus
extern "C" {
#endif

/* p resized to n bytes (n 0: p freed, NULL): the block, or NULL with p freed
 * (never free p again after NULL); no code. */
void *SLIBMemRealloc(void *p, size_t n);
/* The non-NULL items joined with sep into the caller's malloc buffer *pOut
 * of *pcbOut bytes (made or grown as needed, *pcbOut then updated; the caller
 * frees it): 0, or -1 with 0x0D00 or 0x0200 (a failed growth leaves *pOut NULL). */
int SLIBStrJoin(char **items, int n, const char *sep, char **pOut, int *pcbOut);
/* The next non-empty token of *cursor, cut in place; NULL at the end or for
 * a NULL argument, no code. */
char *SLIBStrSepSkipEmpty(char **cursor, const char *delims);
/* Pushes the non-empty tokens of s onto *ppList: their number, or -1 with
 * 0x0D00 or 0x0200 (the tokens pushed so far stay). */
int SLIBStrTok(const char *s, const char *delims, PSLIBSZLIST *ppList);
/* Pushes every token of s, empty ones too, onto *ppList: their number, or -1
 * with 0x0D00 or 0x0200. */
int SLIBStrSep(const char *s, const char *delims, PSLIBSZLIST *ppList);
/* Pushes the trimmed key and value of "key=value" onto *ppList: 0, or -1 with
 * 0x0D00 (NULL, empty key, no '='; the key may be pushed already) or 0x0200. */
int SLIBStrSepPair(const char *line, PSLIBSZLIST *ppList);
/* in without blanks at both ends and one pair of enclosing double quotes,
 * into out (NULL: in place): its length, or -1 with 0x0D00 or 0x0100. */
int SLIBStrTrimSpace(char *in, char *out);
/* The first `from` in str replaced by `to`, into out (NULL: in place; either
 * holds cbMax + 1 bytes): 1, 0 when from does not occur (no code), or -1
 * with 0x0D00, 0x0100 (result longer than cbMax) or 0x0200. */
int SLIBStrReplace(char *str, const char *from, const char *to, char *out, int cbMax);
/* src with ':' as ";," and ';' as ";;" into dst (room for size characters
 * and the NUL): the length, or -1 with 0x0D00 or 0x0100. */
int SLIBStrEncodeColon(const char *src, char *dst, int size);
/* The reverse of SLIBStrEncodeColon (an unknown ';' pair ends the text): the
 * length, or -1 with 0x0D00 or 0x0100. */
int SLIBStrDecodeColon(const char *src, char *dst, int size);

#ifdef __cplusplus
}
#endif

#endif
