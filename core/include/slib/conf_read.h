/* Configuration files: format and readers. */
#ifndef SLIB_CONF_READ_H
#define SLIB_CONF_READ_H

#include "slib/szhash.h"
#include "slib/szlist.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Match flags of the readers and writers. */
#define OP_FIND_LAST     0x1   /* the last matching line wins */
#define OP_MATCH_BEGIN   0x2   /* the pattern stands at the line's start */
#define OP_MATCH_END     0x4   /* the pattern stands just before the line feed */
#define OP_FIND_PREFIX   0x200 /* SLIBFileAddLine: insert after the match, or append */
#define OP_MATCH_NOCASE  0x400 /* compare the upper-cased forms (UTF-8) */

int SLIBFileLineMatch(const char *szLine, const char *szPattern, int flags);
int SLIBFileLineKeyMatch(char *szLine, const char *szKey);
int SLIBFileIsSectionLine(const char *szLine, int len);
int SLIBFileMatchSection(const char *szLine, int len, const char *szSection);
int SLIBFileGetKeyValue(const char *szFile, const char *szKey, char *szBuf, int cbBuf, int flags);
int SLIBFileCheckKeyValue(const char *szFile, const char *szKey, const char *szExpected, int dflt);
int SLIBFileGetLine(const char *szFile, const char *szPattern, char *szBuf, int cbBuf, int flags);
int SLIBFileGetSection(const char *szFile, const char *szSection, PSLIBSZHASH *ppHash);
int SLIBFileGetKeys(const char *szFile, PSLIBSZLIST pKeys, PSLIBSZHASH *ppHash, const char *szSep);

#ifdef __cplusplus
}
#endif

#endif
