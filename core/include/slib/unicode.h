/* Unicode text: caseless comparison, upper-casing and counting of UTF-8. */
#ifndef SLIB_UNICODE_H
#define SLIB_UNICODE_H

#include <unicode/ucol.h>
#include <unicode/utypes.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Longest collation locale name, its NUL included. */
#define SLIB_UNICODE_LOCALE_SIZE 32

/* *ppLocale set to the collation locale (a static string): 1 when it is a
 * supported one, else -1 with 0x2000. */
int SLIBUnicodeGetLocale(int force, const char **ppLocale);
/* Selects one of the supported collation locales ("" is ICU's root): 1, or
 * -1 with 0x0D00 (NULL) or 0x2000 (no supported locale). */
int SLIBUnicodeSetLocale(const char *szLocale);
/* The process's collator (owned by the library, not to be closed), or NULL
 * with 0x0900. */
UCollator *SLIBUnicodeOpenCollator(void);
/* src upper-cased into the caller's malloc buffer *pDst of cchDst units,
 * enlarged (and *pDst replaced) when too small: the length in units, or -1
 * with 0x0D00, 0x8000 or 0x0200 (*pDst then still the caller's block). */
int SLIBUnicodeUTF16StrUpper(const UChar *src, UChar **pDst, int cchDst);
/* The length in bytes of src upper-cased; the text and its NUL copied into
 * dst when it fits in cbDst, else dst gets "" (dst NULL, cbDst 0: the length
 * only); -1 with 0x0D00, 0x8000 (not UTF-8) or 0x0200. */
int SLIBUnicodeUTF8StrUpper(const char *src, char *dst, int cbDst);
/* -1, 0 or 1 as a sorts before, with or after b ignoring case; -2 on an
 * error, with 0x0D00, 0x8000 or 0x0200. */
int SLIBUnicodeUTF8StrCaseCmp(const char *a, const char *b);
/* The number of code points of s, or -1 with 0x0D00, 0x8000 or 0x0200. */
int SLIBUnicodeUTF8StrCountChar(const char *s);
/* 1; nothing else. */
int UnicodeAlwaysTrue(void);

#ifdef __cplusplus
}
#endif

#endif
