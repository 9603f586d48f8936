#include "slib/str.h"

#include <stdint.h>
#include <string.h>

#include "slib/error.h"

namespace {

// Exactly these four; vertical tab and form feed are kept.
constexpr bool IsBlank(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

} // namespace

extern "C" {

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

int SLIBStrTrimSpace(char *in, char *out)
{
    if (!in) {
        SLIB_ERR(SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    size_t len = strlen(in);
    auto addrIn = reinterpret_cast<uintptr_t>(in);
    auto addrOut = reinterpret_cast<uintptr_t>(out);
    // Writing ahead of the text still to be read would overwrite it.
    if (out && addrOut > addrIn && addrOut < addrIn + len + 1) {
        SLIB_ERR(SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    if (len > INT32_MAX) {
        SLIB_ERR(SLIB_ERR_BUFFER_SMALL);
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

} // extern "C"
