/* Configuration files: writers and safe rewrite. */
#ifndef SLIB_CONF_WRITE_H
#define SLIB_CONF_WRITE_H

#include <stdio.h>

#include "slib/conf_read.h"
#include "slib/szhash.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Every writer but the two in-place appends builds the new content in a
 * temporary file beside the target ("<target>.XXXXXX"), syncs it, gives it
 * the target's owner, group and permission bits and renames it over the
 * target: a reader sees the old file or the new one, whole. On any failure
 * the target is untouched and the temporary file is removed.
 *
 * Keys and values holding a line feed or carriage return, keys holding '=',
 * and lines holding a line feed or carriage return are refused (0x0D00):
 * they would add lines of their own to the file.
 */
int SLIBFileSetKeyValue(const char *szFile, const char *szKey, const char *szValue, const char *szFmt);
int SLIBFileSetKeys(const char *szFile, PSLIBSZHASH pSet, PSLIBSZHASH pRemove, const char *szFmt);
int SLIBFileRemoveKey(const char *szFile, const char *szKey);
int SLIBFileSetLine(const char *szFile, const char *szPattern, const char *szNewLine, int flags);
int SLIBFileAddLine(const char *szFile, const char *szPattern, const char *szLine, int flags);
int SLIBFileReplaceSubStr(const char *szFile, const char *szOld, const char *szNew);
int ErrSLIBFileAddSection(const char *szFile, const char *szSection, PSLIBSZHASH pHash, const char *szFmt);
int ErrSLIBFileSetSection(const char *szFile, const char *szOldSection, const char *szNewSection,
                          PSLIBSZHASH pHash, const char *szFmt);
int SLIBFileModifySection(const char *szFile, const char *szOldSection, const char *szNewSection,
                          PSLIBSZHASH pHash, int flags, const char *szFmt);
int SLIBFileHash2File(FILE *fp, const char *szSection, PSLIBSZHASH pHash, const char *szFmt);
/* 1 when fmt is NULL or is a line format "...%s...=...%s...\n" whose only
 * conversions are those two "%s" (and "%%"), else 0. */
int FileHashLineFormatCheck(const char *szFmt);
int SLIBFileRemove(const char *szPath);

#ifdef __cplusplus
}
#endif

#endif
