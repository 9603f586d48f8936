/* Configuration files: format and readers. */
#ifndef SLIB_CONF_READ_H
#define SLIB_CONF_READ_H

#include "slib/szhash.h"
#include "slib/szlist.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Match flags of the readers and writers. */
#define OP_FIND_LAST    0x1   /* the last matching line wins */
#define OP_MATCH_BEGIN  0x2   /* the pattern stands at the line's start */
#define OP_MATCH_END    0x4   /* the pattern stands just before the line feed */
#define OP_FIND_PREFIX  0x200 /* SLIBFileAddLine: insert after the match, or append */
#define OP_MATCH_NOCASE 0x400 /* compare the upper-cased forms (UTF-8) */

/*
 * Lengths returned by the readers include the terminating NUL; a result 0
 * means not found and comes with 0x2000.  Maps given by address may move to
 * a larger block; the caller keeps owning them.
 */

/* 1 when the (non-comment) line matches szPattern as flags say, else 0
 * (0x0D00 for a NULL argument or negative flags). */
int SLIBFileLineMatch(const char *szLine, const char *szPattern, int flags);
/* 1 when the line's key (text before '=', trimmed) is szKey, else 0 (0x0D00
 * for a NULL argument); the line may be cut in the process. */
int SLIBFileLineKeyMatch(char *szLine, const char *szKey);
/* 1 when the first len bytes of the line are a section header "[...]", else 0; no code. */
int SLIBFileIsSectionLine(const char *szLine, int len);
/* 1 when the line is the header of szSection, else 0; -1 with 0x0D00 for a NULL argument. */
int SLIBFileMatchSection(const char *szLine, int len, const char *szSection);
/* The value of szKey (trimmed, quotes dropped) copied into szBuf: its length,
 * 0 (0x2000) when absent, -1 with 0x0D00, 0x0900, 0x0100 (buffer too small)
 * or 0x0200; szBuf NULL with cbBuf 0 asks for the length only. */
int SLIBFileGetKeyValue(const char *szFile, const char *szKey, char *szBuf, int cbBuf, int flags);
/* 1 when szKey's value equals szExpected ignoring case, 0 when it differs or
 * cannot be read (logged), dflt when the key is absent. */
int SLIBFileCheckKeyValue(const char *szFile, const char *szKey, const char *szExpected, int dflt);
/* The line matching szPattern (without its line feed) copied into szBuf: its
 * length, 0 (0x2000) when none, -1 with 0x0D00, 0x0900 or 0x0100. */
int SLIBFileGetLine(const char *szFile, const char *szPattern, char *szBuf, int cbBuf, int flags);
/* The pairs of szSection added to *ppHash: the map's number of pairs, or -1
 * with 0x0D00, 0x0900 or 0x0200. */
int SLIBFileGetSection(const char *szFile, const char *szSection, PSLIBSZHASH *ppHash);
/* The pairs "key<sep>value" of the file (only the keys in pKeys, when it has
 * any) added to *ppHash: the map's number of pairs, or -1 with 0x0D00,
 * 0x0900 or 0x0200. */
int SLIBFileGetKeys(const char *szFile, PSLIBSZLIST pKeys, PSLIBSZHASH *ppHash, const char *szSep);

#ifdef __cplusplus
}
#endif

#endif
