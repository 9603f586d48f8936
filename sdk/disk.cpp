#include "vako/disk.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "slibcxx/border.h"
#include "slibcxx/lines.h"
#include "slibcxx/raii.h"

namespace {

#define SZD_DEV "/dev/"
constexpr std::string_view kDevPrefix = SZD_DEV;
constexpr size_t kCmdSize = 64;
// Of each line of the listing only the first 63 characters are read.
constexpr size_t kLineRead = 63;
// The operation's source name, recorded with the code of a failure for want
// of memory (its other failures record none).
constexpr const char *kSrcPartitionConfigs = "rc_partition_configs";

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

// The listing's fields are runs of characters other than blanks and tabs.
std::string_view NextField(std::string_view &rest)
{
    size_t from = 0;
    while (from < rest.size() && IsBlank(rest[from]))
        ++from;
    size_t to = from;
    while (to < rest.size() && !IsBlank(rest[to]))
        ++to;
    std::string_view field = rest.substr(from, to - from);
    rest.remove_prefix(to);
    return field;
}

bool AllOf(std::string_view s, int (*isKind)(int))
{
    if (s.empty())
        return false;
    for (char c : s)
        if (!isKind(static_cast<unsigned char>(c)))
            return false;
    return true;
}

bool ToUnsigned(std::string_view s, int base, unsigned long long max, unsigned long long &out)
{
    if (!AllOf(s, base == 16 ? isxdigit : isdigit))
        return false;
    std::string text(s);
    errno = 0;
    unsigned long long v = strtoull(text.c_str(), nullptr, base);
    // Never cut a value wider than the answer.
    if (errno == ERANGE || v > max)
        return false;
    out = v;
    return true;
}

struct Row {
    unsigned start = 0, id = 0;
    long long count = 0;
};

// One row of the partition the listing was asked for: its device (the
// disk's name and the number, or with a 'p' between them), a '*' when it is
// the boot partition, start, end, number of sectors and type id, each a
// number, and a blank before the type's name.  Headings and the rows of
// other partitions are no such row.
bool ReadRow(std::string_view line, std::string_view disk, int nPartition, Row &row)
{
    line = line.substr(0, std::min(line.size(), kLineRead));
    const std::string number = std::to_string(nPartition);
    const std::string device = std::string(kDevPrefix) + std::string(disk);
    std::string_view fDevice = NextField(line);
    if (fDevice != device + number && fDevice != device + "p" + number)
        return false;
    std::string_view fStart = NextField(line);
    if (fStart == "*")
        fStart = NextField(line);
    std::string_view fEnd = NextField(line), fCount = NextField(line), fId = NextField(line);
    unsigned long long start, end, count, id;
    if (!ToUnsigned(fStart, 10, UINT_MAX, start) || !ToUnsigned(fEnd, 10, ULLONG_MAX, end) ||
        !ToUnsigned(fCount, 10, LLONG_MAX, count) || !ToUnsigned(fId, 16, UINT_MAX, id))
        return false;
    // The type's name follows after a blank.
    if (line.empty() || !IsBlank(line[0]))
        return false;
    row.start = static_cast<unsigned>(start);
    row.count = static_cast<long long>(count);
    row.id = static_cast<unsigned>(id);
    return true;
}

} // namespace

extern "C" long long RCPartitionConfigs(int nPartition, const char *szDisk, unsigned *pStart, unsigned *pId)
{
    return slib::Guarded(kSrcPartitionConfigs, -1LL, [&]() -> long long {
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

        Row row;
        {
            slib::PipePtr fp(popen(cmd, "r"));
            if (!fp)
                return -1;
            slib::LineReader in(fp.get());
            bool found = false;
            while (in.Next()) {
                if (ReadRow(in.view(), disk, nPartition, row)) {
                    found = true;
                    break;
                }
            }
            if (!found)
                return -1;
        }
        if (pStart)
            *pStart = row.start;
        if (pId)
            *pId = row.id;
        return row.count;
    });
}
