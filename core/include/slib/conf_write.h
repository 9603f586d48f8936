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
 * A target must be a regular file: a directory, FIFO, device or socket is
 * refused (0x0900), and nothing waits on it.  In a directory where anyone
 * may put names (sticky and world-writable, such as /tmp) a target that is a
 * symbolic link, a file of another owner or a file with a second link is
 * refused too (0x0900), checked on the descriptor then used, and a missing
 * target is created only where no name has appeared since.
 *
 * Keys and values holding a line feed or carriage return, keys holding '=',
 * and lines holding a line feed or carriage return are refused (0x0D00):
 * they would add lines of their own to the file.
 *
 * Codes of the failures (-1): 0x0D00 bad argument or format, 0x0900 the
 * file cannot be opened, 0x0A00 or 0x0B00 a read or a write (flush, sync,
 * owner, mode, close) failed, 0x2800 the rename failed, 0x0200 memory.  A
 * result 0 comes with 0x2000: nothing to change was found, the file is as it
 * was.  A NULL fmt is "%s=%s\n".  The caller keeps owning the maps it gives.
 */

/* Sets szKey to szValue (the first line of the key rewritten, later ones
 * dropped, else a line appended; a missing file is created): 1, or -1. */
int SLIBFileSetKeyValue(const char *szFile, const char *szKey, const char *szValue, const char *szFmt);
/* Rewrites the lines of the keys in pSet, drops those of pRemove and appends
 * the keys of pSet that had no line; a key rewritten is taken out of pSet,
 * one dropped out of pRemove: the number of lines written or removed, or -1. */
int SLIBFileSetKeys(const char *szFile, PSLIBSZHASH pSet, PSLIBSZHASH pRemove, const char *szFmt);
/* Drops every line of szKey: the number dropped, 0 (0x2000) when none, or -1. */
int SLIBFileRemoveKey(const char *szFile, const char *szKey);
/* Replaces the line matching szPattern by szNewLine (NULL: drops it; a
 * missing file is created holding szNewLine): 1, 0 (0x2000) when none, or -1. */
int SLIBFileSetLine(const char *szFile, const char *szPattern, const char *szNewLine, int flags);
/* Inserts szLine before the line matching szPattern (after it with
 * OP_FIND_PREFIX; no pattern: at the start, or appended in place with
 * OP_FIND_PREFIX; a missing file is created): 1, 0 (0x2000) when no line
 * matches, or -1. */
int SLIBFileAddLine(const char *szFile, const char *szPattern, const char *szLine, int flags);
/* Replaces every szOld in the file by szNew: the number of replacements, 0
 * (0x2000) when none, or -1. */
int SLIBFileReplaceSubStr(const char *szFile, const char *szOld, const char *szNew);
/* Appends section szSection with the pairs of pHash, in place: 1, 0 when the
 * section is there already (no code), or -1. */
int ErrSLIBFileAddSection(const char *szFile, const char *szSection, PSLIBSZHASH pHash, const char *szFmt);
/* SLIBFileModifySection writing the pairs: 1, 0 (0x2000) when the section is
 * absent, or -1. */
int ErrSLIBFileSetSection(const char *szFile, const char *szOldSection, const char *szNewSection, PSLIBSZHASH pHash,
                          const char *szFmt);
/* Drops the pairs of szOldSection; with flags bit 0 writes the header (named
 * szNewSection when given) and the pairs of pHash in their place: 1, 0
 * (0x2000) when the section is absent, or -1. */
int SLIBFileModifySection(const char *szFile, const char *szOldSection, const char *szNewSection, PSLIBSZHASH pHash,
                          int flags, const char *szFmt);
/* Writes the header of szSection (when given) and the pairs of pHash in slot
 * order to fp: 0, or -1 with 0x0D00 or 0x0B00. */
int SLIBFileHash2File(FILE *fp, const char *szSection, PSLIBSZHASH pHash, const char *szFmt);
/* 1 when fmt is NULL or is a line format "...%s...=...%s...\n" whose only
 * conversions are those two "%s" (and "%%"), else 0; no code. */
int FileHashLineFormatCheck(const char *szFmt);
/* unlink(szPath): 0, or -1 with errno (EINVAL for NULL); no code. */
int SLIBFileRemove(const char *szPath);

#ifdef __cplusplus
}
#endif

#endif
