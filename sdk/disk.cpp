#include "vako/disk.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>

#include "slibcxx/raii.h"

namespace {

#define SZD_DEV "/dev/"
constexpr std::string_view kDevPrefix = SZD_DEV;
constexpr size_t kCmdSize = 64;
constexpr int kLineSize = 64;

// The name goes into a shell command unquoted: allow no shell character.
bool IsSafeDiskName(std::string_view name)
{
    if (name.empty())
        return false;
    for (char c : name) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '/' ||
                  c == '-';
        if (!ok)
            return false;
    }
    return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Splits the listing line into the fields read from it; each field must be
// followed by a blank, the fifth too (the type name comes after it).
struct Fields {
    const char *start = nullptr, *count = nullptr, *id = nullptr;
};

bool SplitLine(char *line, Fields &f)
{
    const char *field[5];
    char *p = line;
    for (int i = 0; i < 5; ++i) {
        field[i] = p;
        while (*p && !IsBlank(*p))
            ++p;
        if (!*p)
            return false;
        *p++ = '\0';
        while (IsBlank(*p))
            ++p;
    }
    f.start = field[1];
    f.count = field[3];
    f.id = field[4];
    return true;
}

bool ToUnsigned(const char *s, int base, unsigned &out)
{
    // strtoul() negates a value with a minus sign: on a 32-bit processor
    // "-5" would pass as 4294967291.
    if (strchr(s, '-'))
        return false;
    errno = 0;
    unsigned long long v = strtoull(s, nullptr, base);
    // Never cut a value wider than the answer to 32 bits.
    if (errno == ERANGE || v > UINT_MAX)
        return false;
    out = static_cast<unsigned>(v);
    return true;
}

} // namespace

extern "C" long long RCPartitionConfigs(int nPartition, const char *szDisk, unsigned *pStart, unsigned *pId)
{
    if (nPartition <= 0 || !szDisk)
        return -1;
    std::string_view disk = szDisk;
    if (disk.starts_with(kDevPrefix))
        disk.remove_prefix(kDevPrefix.size());
    if (!IsSafeDiskName(disk))
        return -1;
    char cmd[kCmdSize];
    int n = snprintf(cmd, sizeof cmd, SZF_SFDISK " -l -uS -N%d " SZD_DEV "%.*s", nPartition,
                     static_cast<int>(disk.size()), disk.data());
    if (n < 0 || static_cast<size_t>(n) >= sizeof cmd)
        return -1;

    char line[kLineSize];
    {
        slib::PipePtr fp(popen(cmd, "r"));
        if (!fp || !fgets(line, sizeof line, fp.get()))
            return -1;
    }

    Fields f;
    unsigned start = 0, id = 0;
    if (!SplitLine(line, f) || !ToUnsigned(f.start, 10, start) || !ToUnsigned(f.id, 16, id))
        return -1;
    errno = 0;
    long long count = strtoll(f.count, nullptr, 10);
    if (errno == ERANGE)
        return -1;
    if (pStart)
        *pStart = start;
    if (pId)
        *pId = id;
    return count;
}
