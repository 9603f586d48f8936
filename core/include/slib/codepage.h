/* Code pages: the appliance's language setting as a converter index, and
 * UTF-8 text converted into the bytes of that code page. */
#ifndef SLIB_CODEPAGE_H
#define SLIB_CODEPAGE_H

#include <unicode/ucnv.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The file and keys of the code-page setting (a language code such as "enu"). */
#define SZF_SLIB_CODEPAGE_CONF  "/etc/vakoinfo.conf"
#define SZK_SLIB_CODEPAGE       "codepage"
#define SZK_SLIB_CODEPAGE_MEDIA "codepage_mediaservice"

/* Kinds of code page asked for. */
#define SLIB_CODEPAGE_WINDOWS 1 /* the language's Windows (ANSI) page */
#define SLIB_CODEPAGE_DOS     2 /* its DOS (OEM) page */
#define SLIB_CODEPAGE_MAC     3 /* its Macintosh page: the ANSI index + 16 */
#define SLIB_CODEPAGE_MEDIA   4 /* the Windows page of the media-service setting */

/* Converter indexes 0 to 33: 0 is UTF-8 (text taken unchanged), 1 UTF-16. */
#define SLIB_CODEPAGE_UTF8  0
#define SLIB_CODEPAGE_COUNT 34

/* 0 with the converter index of the configured language in *pIndex; -1 on a
 * NULL pIndex (0x0D00), a missing/empty/over-long/unreadable key (the
 * reader's code) or a language not in the table (no code). */
int SLIBConfCodePageGet(int kind, int *pIndex);
/* The converter index of a language code (ASCII case ignored) for a kind;
 * -1 for an unknown language (no code), or NULL language or bad kind
 * (logged, 0x0D00). */
int SLIBUnicodeCodepageValueParse(int kind, const char *language);
/* The process-wide converter of an index, opened on first use and never
 * closed (the caller must not close it); NULL with 0x0D00 for an index
 * outside 0-33, or 0x0900 when it cannot be opened. */
UConverter *SLIBUnicodeOpenConvertor(int index);
/* Length in bytes (no NUL) of src converted to the code page of index, or
 * -1 (0x0D00 bad arguments, 0x0900 converter, 0x0200 memory, 0x8000 bad
 * UTF-8 or conversion). With cbDst > 0, dst gets the text when it fits
 * with its NUL, else the empty string; dst NULL with cbDst 0 asks only
 * for the length. */
int SLIBUnicodeStrUTF8ToCP(int index, const char *src, char *dst, int cbDst);
/* Always 1; no other effect. */
int StubReturnOne(void);

#ifdef __cplusplus
}
#endif

#endif
