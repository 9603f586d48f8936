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

int SLIBUnicodeGetLocale(int force, const char **ppLocale);
/* Selects one of the supported collation locales ("" is ICU's root). */
int SLIBUnicodeSetLocale(const char *szLocale);
UCollator *SLIBUnicodeOpenCollator(void);
int SLIBUnicodeUTF16StrUpper(const UChar *src, UChar **pDst, int cchDst);
int SLIBUnicodeUTF8StrUpper(const char *src, char *dst, int cbDst);
int SLIBUnicodeUTF8StrCaseCmp(const char *a, const char *b);
int SLIBUnicodeUTF8StrCountChar(const char *s);
int UnicodeAlwaysTrue(void);

#ifdef __cplusplus
}
#endif

#endif
