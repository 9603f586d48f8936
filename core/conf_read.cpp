#include "slib/conf_read.h"

#include <ctype.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "conf_file.h"
#include "slib/error.h"
#include "slib/str.h"
#include "slib/unicode.h"
#include "slibcxx/border.h"
#include "slibcxx/lines.h"
#include "slibcxx/raii.h"
#include "szhash_fill.h"

using conf::IsComment;
using slib::Guarded;
using slib::LineReader;

namespace {

using CharPtr = slib::HeapPtr<char>;
using slib::FilePtr;
using ListPtr = slib::OwnedPtr<SLIBSZLIST, SLIBSzListFree>;

// The operations' own source names, recorded with their error codes and
// printed in their messages.
constexpr const char *kSrcLineMatch = "file_line_match";
constexpr const char *kSrcLineKeyMatch = "file_line_key_match";
constexpr const char *kSrcMatchSection = "file_match_section";
constexpr const char *kSrcGetKeyValue = "file_get_key_value";
constexpr const char *kSrcCheckKeyValue = "file_check_key_value";
constexpr const char *kSrcGetLine = "file_get_line";
constexpr const char *kSrcGetSection = "file_get_section";
constexpr const char *kSrcGetKeys = "file_get_keys";

// A FIFO planted under a configuration file's name would block a reader for
// ever: opened without waiting, it is refused as a file that cannot be read.
FilePtr OpenForReading(const char *src, const char *file)
{
    slib::Fd fd(open(file, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd.ok() || fstat(fd.get(), &st) != 0 || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ||
        fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK) != 0) {
        SLIB_ERR_IN(src, SLIB_ERR_OPEN);
        return FilePtr();
    }
    FilePtr fp(fdopen(fd.get(), "r"));
    if (!fp) {
        SLIB_ERR_IN(src, SLIB_ERR_OPEN);
        return fp;
    }
    fd.release();
    return fp;
}

ListPtr WorkList() { return ListPtr(PslSLIBSzListAlloc(512)); }

// The upper-cased copy of text in a buffer sized for it; NULL when the text
// is not valid UTF-8 or memory is short.
CharPtr Upper(const char *text)
{
    int n = SLIBUnicodeUTF8StrUpper(text, nullptr, 0);
    if (n < 0)
        return nullptr;
    CharPtr out(static_cast<char *>(malloc(static_cast<size_t>(n) + 1)));
    if (!out) {
        SLIB_ERR_IN(kSrcLineMatch, SLIB_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
    if (SLIBUnicodeUTF8StrUpper(text, out.get(), n + 1) != n)
        return nullptr;
    return out;
}

bool Matches(const char *line, const char *pattern, int flags)
{
    size_t plen = strlen(pattern);
    if (flags & OP_MATCH_BEGIN)
        return strncmp(line, pattern, plen) == 0;
    if (flags & OP_MATCH_END) {
        size_t end = strlen(line);
        if (end > 0 && line[end - 1] == '\n')
            end--;
        return end >= plen && memcmp(line + end - plen, pattern, plen) == 0;
    }
    return strstr(line, pattern) != nullptr;
}

// The value of a matched key line: the text after its '=' up to the line
// feed, trimmed; NULL when nothing stands there.
char *ValueOf(char *rest)
{
    if (!rest)
        return nullptr;
    rest[strcspn(rest, "\n")] = '\0';
    if (!*rest)
        return nullptr;
    SLIBStrTrimSpace(rest, nullptr);
    return rest;
}

} // namespace

bool conf::KeyMatch(char *line, const char *key, char **pValue)
{
    if (IsComment(line))
        return false;
    CharPtr trimmed(static_cast<char *>(malloc(strlen(line) + 1)));
    if (!trimmed)
        return false;
    char *cursor = line;
    char *tok = SLIBStrSepSkipEmpty(&cursor, "=");
    if (!tok || SLIBStrTrimSpace(tok, trimmed.get()) < 0 || strcmp(trimmed.get(), key) != 0)
        return false;
    if (pValue)
        *pValue = cursor;
    return true;
}

int SLIBFileLineMatch(const char *szLine, const char *szPattern, int flags)
{
    if (!szLine || !szPattern || flags < 0) {
        SLIB_ERR_IN(kSrcLineMatch, SLIB_ERR_BAD_PARAMETER);
        return 0;
    }
    if (IsComment(szLine))
        return 0;
    if (!(flags & OP_MATCH_NOCASE))
        return Matches(szLine, szPattern, flags);
    CharPtr line = Upper(szLine), pattern = Upper(szPattern);
    return line && pattern && Matches(line.get(), pattern.get(), flags);
}

int SLIBFileLineKeyMatch(char *szLine, const char *szKey)
{
    if (!szLine || !szKey) {
        SLIB_ERR_IN(kSrcLineKeyMatch, SLIB_ERR_BAD_PARAMETER);
        return 0;
    }
    return conf::KeyMatch(szLine, szKey, nullptr);
}

int SLIBFileIsSectionLine(const char *szLine, int len)
{
    if (!szLine || len <= 0 || szLine[0] != '[')
        return 0;
    // Never past the text's end, whatever len says.
    for (int i = static_cast<int>(strnlen(szLine, static_cast<size_t>(len))) - 1; i > 0; i--) {
        if (isspace(static_cast<unsigned char>(szLine[i])))
            continue;
        return szLine[i] == ']';
    }
    return 0;
}

int SLIBFileMatchSection(const char *szLine, int len, const char *szSection)
{
    if (!szLine || !szSection) {
        SLIB_ERR_IN(kSrcMatchSection, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    size_t n = len > 0 ? strnlen(szLine, static_cast<size_t>(len)) : 0;
    size_t slen = strlen(szSection);
    // A line shorter than the header cannot name the section.
    if (n < slen + 2 || szLine[0] != '[' || memcmp(szLine + 1, szSection, slen) != 0 || szLine[slen + 1] != ']')
        return 0;
    for (size_t i = slen + 2; i < n; i++)
        if (!isspace(static_cast<unsigned char>(szLine[i])))
            return 0;
    return 1;
}

int SLIBFileGetKeyValue(const char *szFile, const char *szKey, char *szBuf, int cbBuf, int flags)
{
    return Guarded(kSrcGetKeyValue, -1, [&] {
        if (!szFile || !szKey || flags < 0 || (!szBuf && cbBuf != 0)) {
            SLIB_ERR_IN(kSrcGetKeyValue, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        FilePtr fp = OpenForReading(kSrcGetKeyValue, szFile);
        if (!fp)
            return -1;
        LineReader r(fp.get());
        std::string copy, value;
        bool found = false;
        while (r.Next()) {
            copy.assign(r.line());
            char *rest;
            if (!conf::KeyMatch(copy.data(), szKey, &rest))
                continue;
            if (char *v = ValueOf(rest)) {
                value.assign(v);
                found = true;
            }
            if (!(flags & OP_FIND_LAST))
                break;
        }
        if (!found) {
            SLIB_ERR_IN(kSrcGetKeyValue, SLIB_ERR_NOT_FOUND);
            return 0;
        }
        size_t len = value.size() + 1;
        if (szBuf && len > static_cast<size_t>(cbBuf < 0 ? 0 : cbBuf)) {
            SLIB_ERR_IN(kSrcGetKeyValue, SLIB_ERR_BUFFER_SMALL);
            return -1;
        }
        if (len > INT32_MAX) {
            SLIB_ERR_IN(kSrcGetKeyValue, SLIB_ERR_BUFFER_SMALL);
            return -1;
        }
        if (szBuf)
            memcpy(szBuf, value.c_str(), len);
        return static_cast<int>(len);
    });
}

int SLIBFileCheckKeyValue(const char *szFile, const char *szKey, const char *szExpected, int dflt)
{
    return Guarded(kSrcCheckKeyValue, 0, [&]() -> int {
        if (!szFile || !szKey || !szExpected)
            return 0;
        char buf[512] = {};
        int r = SLIBFileGetKeyValue(szFile, szKey, buf, sizeof buf, 0);
        if (r < 0) {
            syslog(LOG_ERR, "%s:%d SLIBFileGetKeyValue(%s) failed, vakoerr=0x%04X", kSrcCheckKeyValue, __LINE__, szKey,
                   SLIBErrorGet());
            return 0;
        }
        if (r == 0)
            return dflt;
        return strcasecmp(buf, szExpected) == 0;
    });
}

int SLIBFileGetLine(const char *szFile, const char *szPattern, char *szBuf, int cbBuf, int flags)
{
    if (!szFile || !szPattern || !szBuf || cbBuf <= 0 || flags < 0) {
        SLIB_ERR_IN(kSrcGetLine, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    FilePtr fp = OpenForReading(kSrcGetLine, szFile);
    if (!fp)
        return -1;
    LineReader r(fp.get());
    size_t len = 0;
    while (r.Next()) {
        if (!SLIBFileLineMatch(r.line(), szPattern, flags))
            continue;
        memset(szBuf, 0, static_cast<size_t>(cbBuf));
        char *line = r.line();
        line[strcspn(line, "\n")] = '\0';
        len = strlen(line) + 1;
        if (len <= static_cast<size_t>(cbBuf))
            memcpy(szBuf, line, len);
        if (!(flags & OP_FIND_LAST))
            break;
    }
    if (len > static_cast<size_t>(cbBuf)) {
        SLIB_ERR_IN(kSrcGetLine, SLIB_ERR_BUFFER_SMALL);
        return -1;
    }
    if (len == 0) {
        SLIB_ERR_IN(kSrcGetLine, SLIB_ERR_NOT_FOUND);
        return 0;
    }
    return static_cast<int>(len);
}

int SLIBFileGetSection(const char *szFile, const char *szSection, PSLIBSZHASH *ppHash)
{
    return Guarded(kSrcGetSection, -1, [&] {
        if (!szFile || !szSection || !ppHash || !*ppHash) {
            SLIB_ERR_IN(kSrcGetSection, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        ListPtr pair = WorkList();
        if (!pair)
            return -1;
        FilePtr fp = OpenForReading(kSrcGetSection, szFile);
        if (!fp)
            return -1;
        LineReader r(fp.get());
        slib::SzHashFiller fill(ppHash);
        bool in = false;
        while (r.Next()) {
            char *line = r.line();
            int len = static_cast<int>(r.len());
            if (!in) {
                in = SLIBFileIsSectionLine(line, len) && SLIBFileMatchSection(line, len, szSection) == 1;
                continue;
            }
            if (line[0] == '[')
                break;
            // Comments stay comments: the section writers copy them, so a pair
            // made of one would come back twice after each rewrite.
            if (IsComment(line))
                continue;
            SLIBSzListRemoveAll(pair.get());
            PSLIBSZLIST l = pair.release();
            int split = SLIBStrSepPair(line, &l);
            pair.reset(l);
            if (split < 0)
                continue;
            if (fill.Set(SLIBSzListGet(l, 0), SLIBSzListGet(l, 1)) < 0) {
                SLIB_ERR_IN(kSrcGetSection, SLIB_ERR_OUT_OF_MEMORY);
                return -1;
            }
        }
        if (fill.Flush() < 0) {
            SLIB_ERR_IN(kSrcGetSection, SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
        return (*ppHash)->nItem;
    });
}

int SLIBFileGetKeys(const char *szFile, PSLIBSZLIST pKeys, PSLIBSZHASH *ppHash, const char *szSep)
{
    return Guarded(kSrcGetKeys, -1, [&] {
        if (!szFile || !ppHash || !*ppHash || !szSep) {
            SLIB_ERR_IN(kSrcGetKeys, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        ListPtr want = WorkList();
        if (!want)
            return -1;
        FilePtr fp = OpenForReading(kSrcGetKeys, szFile);
        if (!fp)
            return -1;
        bool selective = pKeys && pKeys->nItem > 0;
        if (selective) {
            PSLIBSZLIST l = want.release();
            PSLIBSZLIST u = PslSLIBSzListOr(&l, pKeys, 0);
            want.reset(l);
            if (!u) {
                syslog(LOG_ERR, "%s:%d PslSLIBSzListOr() failed!! vakoerr=[0x%04X]", kSrcGetKeys, __LINE__,
                       SLIBErrorGet());
                return -1;
            }
            // Sorted for a binary search per line; each wanted key once.
            SLIBSzListSort(l, 1);
            for (int i = l->nItem - 1; i > 0; i--)
                if (strcmp(SLIBSzListGet(l, i), SLIBSzListGet(l, i - 1)) == 0)
                    SzSLIBSzListRemove(l, i);
        }
        LineReader r(fp.get());
        slib::SzHashFiller fill(ppHash);
        while (r.Next()) {
            char *line = r.line();
            if (IsComment(line))
                continue;
            char *cursor = line;
            char *key = SLIBStrSepSkipEmpty(&cursor, szSep);
            if (!key || !cursor)
                continue;
            SLIBStrTrimSpace(key, nullptr);
            SLIBStrTrimSpace(cursor, nullptr);
            if (selective) {
                int idx = SLIBSzListFind(want.get(), key);
                if (idx < 0)
                    continue;
                SzSLIBSzListRemove(want.get(), idx);
            }
            if (fill.Set(key, cursor) < 0) {
                SLIB_ERR_IN(kSrcGetKeys, SLIB_ERR_OUT_OF_MEMORY);
                return -1;
            }
            if (selective && want->nItem == 0)
                break;
        }
        if (fill.Flush() < 0) {
            SLIB_ERR_IN(kSrcGetKeys, SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
        return (*ppHash)->nItem;
    });
}
