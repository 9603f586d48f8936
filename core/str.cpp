#include "slib/str.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include "slibcxx/raii.h"
#include "slib/error.h"

// The library's diagnostics carry the source position of the failing step.
#define STR_LOG_ERR(src, text) syslog(LOG_ERR, "%s:%d " text, (src), __LINE__)

namespace {

// The operations' own source names, recorded with their error codes.
constexpr const char *kSrcJoin = "str_join";
constexpr const char *kSrcTok = "str_tok";
constexpr const char *kSrcSep = "str_sep";
constexpr const char *kSrcSepPair = "str_sep_pair";
constexpr const char *kSrcTrimSpace = "str_trim_space";
constexpr const char *kSrcReplace = "str_replace";
constexpr const char *kSrcEncodeColon = "str_encode_colon";
constexpr const char *kSrcDecodeColon = "str_decode_colon";

using slib::HeapPtr;

// Exactly these four; vertical tab and form feed are kept.
constexpr bool IsBlank(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

// The split operations work on a copy of their input and refuse the same
// arguments; null (code recorded) when they cannot start.
HeapPtr<char> SplitCopy(const char *src, const char *s, const char *delims, PSLIBSZLIST *ppList)
{
    if (!s || !delims || !ppList || !*ppList) {
        SLIB_ERR_IN(src, SLIB_ERR_BAD_PARAMETER);
        return nullptr;
    }
    HeapPtr<char> copy(strdup(s));
    if (!copy)
        SLIB_ERR_IN(src, SLIB_ERR_OUT_OF_MEMORY);
    return copy;
}

} // namespace

extern "C" {

void *SLIBMemRealloc(void *p, size_t n)
{
    if (n == 0) {
        free(p);
        return nullptr;
    }
    void *grown = realloc(p, n);
    if (!grown)
        free(p);
    return grown;
}

int SLIBStrJoin(char **items, int n, const char *sep, char **pOut, int *pcbOut)
{
    if (!items || n <= 0 || !sep || !pOut || !pcbOut || (*pOut && *pcbOut < 1)) {
        SLIB_ERR_IN(kSrcJoin, SLIB_ERR_BAD_PARAMETER);
        STR_LOG_ERR(kSrcJoin, "Bad parameters!!");
        return -1;
    }
    HeapPtr<size_t> lens(static_cast<size_t *>(calloc(static_cast<size_t>(n), sizeof(size_t))));
    if (!lens) {
        SLIB_ERR_IN(kSrcJoin, SLIB_ERR_OUT_OF_MEMORY);
        STR_LOG_ERR(kSrcJoin, "Out of memory!!");
        return -1;
    }
    const size_t cbSep = strlen(sep);
    // The buffer's size is an int: stop adding once it cannot be one, long
    // before the sum itself could wrap.
    uint64_t total = 0;
    for (int i = 0; i < n && total < INT32_MAX; ++i) {
        if (!items[i])
            continue;
        lens.get()[i] = strlen(items[i]);
        total += lens.get()[i] + cbSep;
    }
    if (total == 0) {
        SLIB_ERR_IN(kSrcJoin, SLIB_ERR_BAD_PARAMETER);
        STR_LOG_ERR(kSrcJoin, "The input array is empty!!");
        return -1;
    }
    if (total >= INT32_MAX) {
        SLIB_ERR_IN(kSrcJoin, SLIB_ERR_OUT_OF_MEMORY);
        STR_LOG_ERR(kSrcJoin, "Out of memory!!");
        return -1;
    }
    const int cbNeed = static_cast<int>(total) + 1;
    if (!*pOut || *pcbOut < cbNeed) {
        *pOut = static_cast<char *>(SLIBMemRealloc(*pOut, static_cast<size_t>(cbNeed)));
        if (!*pOut) {
            SLIB_ERR_IN(kSrcJoin, SLIB_ERR_OUT_OF_MEMORY);
            STR_LOG_ERR(kSrcJoin, "Out of memory!!");
            return -1;
        }
        *pcbOut = cbNeed;
    }
    memset(*pOut, 0, static_cast<size_t>(*pcbOut));
    char *w = *pOut;
    for (int i = 0; i < n; ++i) {
        if (!items[i])
            continue;
        memcpy(w, items[i], lens.get()[i]);
        w += lens.get()[i];
        memcpy(w, sep, cbSep);
        w += cbSep;
    }
    (*pOut)[total - cbSep] = '\0';
    return 0;
}

char *SLIBStrSepSkipEmpty(char **cursor, const char *delims)
{
    if (!cursor || !*cursor || !delims)
        return nullptr;
    while (*cursor) {
        char *tok = strsep(cursor, delims);
        if (*tok)
            return tok;
    }
    return nullptr;
}

int SLIBStrTok(const char *s, const char *delims, PSLIBSZLIST *ppList)
{
    HeapPtr<char> copy = SplitCopy(kSrcTok, s, delims, ppList);
    if (!copy)
        return -1;
    char *cursor = copy.get();
    int n = 0;
    while (char *tok = SLIBStrSepSkipEmpty(&cursor, delims)) {
        if (SLIBSzListPush(ppList, tok) < 0)
            return -1;
        ++n;
    }
    return n;
}

int SLIBStrSep(const char *s, const char *delims, PSLIBSZLIST *ppList)
{
    HeapPtr<char> copy = SplitCopy(kSrcSep, s, delims, ppList);
    if (!copy)
        return -1;
    char *cursor = copy.get();
    int n = 0;
    while (cursor) {
        if (SLIBSzListPush(ppList, strsep(&cursor, delims)) < 0)
            return -1;
        ++n;
    }
    return n;
}

int SLIBStrSepPair(const char *line, PSLIBSZLIST *ppList)
{
    HeapPtr<char> copy = SplitCopy(kSrcSepPair, line, "=", ppList);
    if (!copy)
        return -1;
    char *key = copy.get();
    char *value = strchr(key, '=');
    if (value)
        *value++ = '\0';
    const int cbKey = SLIBStrTrimSpace(key, nullptr);
    if (cbKey < 0)
        return -1;
    if (cbKey == 0) {
        SLIB_ERR_IN(kSrcSepPair, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    if (SLIBSzListPush(ppList, key) < 0)
        return -1;
    if (!value) {
        SLIB_ERR_IN(kSrcSepPair, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    if (SLIBStrTrimSpace(value, nullptr) < 0)
        return -1;
    return SLIBSzListPush(ppList, value) < 0 ? -1 : 0;
}

int SLIBStrTrimSpace(char *in, char *out)
{
    if (!in) {
        SLIB_ERR_IN(kSrcTrimSpace, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    size_t len = strlen(in);
    auto addrIn = reinterpret_cast<uintptr_t>(in);
    auto addrOut = reinterpret_cast<uintptr_t>(out);
    // Writing ahead of the text still to be read would overwrite it.
    if (out && addrOut > addrIn && addrOut < addrIn + len + 1) {
        SLIB_ERR_IN(kSrcTrimSpace, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    if (len > INT32_MAX) {
        SLIB_ERR_IN(kSrcTrimSpace, SLIB_ERR_BUFFER_SMALL);
        return -1;
    }
    if (!out)
        out = in;
    const char *begin = in;
    const char *end = in + len;
    while (begin < end && IsBlank(*begin))
        ++begin;
    while (end > begin && IsBlank(end[-1]))
        --end;
    if (end - begin > 1 && *begin == '"' && end[-1] == '"') {
        ++begin;
        --end;
    }
    size_t n = static_cast<size_t>(end - begin);
    memmove(out, begin, n);
    out[n] = '\0';
    return static_cast<int>(n);
}

int SLIBStrReplace(char *str, const char *from, const char *to, char *out, int cbMax)
{
    if (!str || !from || !to) {
        SLIB_ERR_IN(kSrcReplace, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    const size_t cbStr = strlen(str), cbFrom = strlen(from), cbTo = strlen(to);
    // Signed: a pattern longer than the text makes it negative, not huge.
    const int64_t newLen = static_cast<int64_t>(cbStr) - static_cast<int64_t>(cbFrom) + static_cast<int64_t>(cbTo);
    if (cbMax < newLen) {
        SLIB_ERR_IN(kSrcReplace, SLIB_ERR_BUFFER_SMALL);
        return -1;
    }
    char *pos = strstr(str, from);
    if (!pos)
        return 0;
    const size_t cbHead = static_cast<size_t>(pos - str);
    const char *rest = pos + cbFrom;
    const size_t cbRest = cbStr - cbHead - cbFrom;
    if (out && out != str) {
        memcpy(out, str, cbHead);
        memcpy(out + cbHead, to, cbTo);
        memcpy(out + cbHead + cbTo, rest, cbRest + 1);
        return 1;
    }
    // Moving the rest would overwrite a replacement taken from str itself.
    HeapPtr<char> toCopy;
    auto addrTo = reinterpret_cast<uintptr_t>(to);
    auto addrStr = reinterpret_cast<uintptr_t>(str);
    if (addrTo + cbTo >= addrStr && addrTo <= addrStr + cbStr + cbTo) {
        toCopy.reset(strdup(to));
        if (!toCopy) {
            SLIB_ERR_IN(kSrcReplace, SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
        to = toCopy.get();
    }
    memmove(pos + cbTo, rest, cbRest + 1);
    memcpy(pos, to, cbTo);
    return 1;
}

int SLIBStrEncodeColon(const char *src, char *dst, int size)
{
    // dst holds size + 1 bytes: a negative size leaves no room even for the NUL.
    if (!src || !dst || src == dst || size < 0) {
        SLIB_ERR_IN(kSrcEncodeColon, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    int n = 0;
    // Character by character: the one that would pass size stops it, even
    // the second half of an escape.
    auto put = [&](char c) {
        if (n >= size)
            return false;
        dst[n++] = c;
        return true;
    };
    for (const char *p = src; *p; ++p) {
        const bool ok = *p == ':' ? put(';') && put(',') : *p == ';' ? put(';') && put(';') : put(*p);
        if (!ok) {
            dst[n] = '\0';
            SLIB_ERR_IN(kSrcEncodeColon, SLIB_ERR_BUFFER_SMALL);
            return -1;
        }
    }
    dst[n] = '\0';
    return n;
}

int SLIBStrDecodeColon(const char *src, char *dst, int size)
{
    if (!src || !dst || src == dst) {
        SLIB_ERR_IN(kSrcDecodeColon, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    if (static_cast<int64_t>(strlen(src)) > size) {
        SLIB_ERR_IN(kSrcDecodeColon, SLIB_ERR_BUFFER_SMALL);
        return -1;
    }
    int n = 0;
    for (const char *p = src; *p; ++p) {
        if (*p != ';') {
            dst[n++] = *p;
        } else if (p[1] == ',' || p[1] == ';') {
            dst[n++] = p[1] == ',' ? ':' : ';';
            ++p;
        } else {
            // An escape of nothing known: the rest is dropped.
            break;
        }
    }
    dst[n] = '\0';
    return n;
}

} // extern "C"
