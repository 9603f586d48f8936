// The name of a section of smb.conf, as its header line gives it.
#include "vako/share_db.h"

#include <string.h>

#include "slib/error.h"

namespace {

// The operation's own source name: the file recorded with an error code.
constexpr const char *kSrc = "share_parse_section_name";

} // namespace

extern "C" {

int VAKOShareParseSectionName(const char *line, char *out, int cbOut)
{
    if (!line || !out || cbOut <= 0) {
        SLIB_ERR_IN(kSrc, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    const char *open = strchr(line, '[');
    const char *name = open ? open + 1 : line;
    size_t n = strnlen(name, static_cast<size_t>(cbOut) - 1);
    memmove(out, name, n);
    out[n] = '\0';
    if (char *close = strrchr(out, ']'))
        *close = '\0';
    return 0;
}

} // extern "C"
