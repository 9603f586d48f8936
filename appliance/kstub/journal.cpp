#include "journal.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "records.h"
#include "session.h"
#include "vako/kernel.h"

namespace kstublib {

namespace {

std::string ErrName(int e)
{
    const char *n = strerrorname_np(e);
    return n ? n : std::to_string(e);
}

std::string Printable(const char *s, size_t max)
{
    std::string out;
    for (size_t i = 0; i < max && s[i]; ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c > ' ' && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char b[8];
            snprintf(b, sizeof b, "\\x%02x", c);
            out += b;
        }
    }
    return out;
}

struct RequestName {
    uint32_t req;
    const char *name;
};
constexpr RequestName kRequests[] = {
    {VAKO_MEMGETINFO, "MEMGETINFO"},
    {VAKO_MEMERASE, "MEMERASE"},
    {VAKO_MEMLOCK, "MEMLOCK"},
    {VAKO_MEMUNLOCK, "MEMUNLOCK"},
    {VAKO_MTD_SET_PARTITION, "SET_PARTITION"},
    {VAKO_MTD_SET_FIS_ENTRY, "SET_FIS_ENTRY"},
    {VAKO_MTD_FORMAT, "FORMAT"},
    {VAKO_MTD_SET_PART_TABLE, "SET_PART_TABLE"},
    {VAKO_MTD_GET_PART_TABLE, "GET_PART_TABLE"},
    {VAKO_MD_GET_ARRAY_INFO, "GET_ARRAY_INFO"},
    {VAKO_BLKGETSIZE64, "BLKGETSIZE64"},
    {VAKO_MD_GET_SYNC_STATUS, "SYNC_STATUS"},
};

} // namespace

std::string Hex(uint64_t v)
{
    char b[24];
    snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(v));
    return b;
}

std::string RequestText(uint32_t req)
{
    for (const auto &r : kRequests)
        if (r.req == req)
            return r.name;
    char b[16];
    snprintf(b, sizeof b, "0x%08x", req);
    return b;
}

// What one request passed, for the journal (the caller has checked `arg`).
std::string ArgsText(uint32_t req, const void *arg)
{
    auto p = static_cast<const unsigned char *>(arg);
    switch (req) {
    case VAKO_MEMERASE:
    case VAKO_MEMLOCK:
    case VAKO_MEMUNLOCK:
        return "start=" + Hex(GetU32(p)) + " length=" + Hex(GetU32(p + 4));
    case VAKO_MTD_SET_PARTITION:
        return "offset=" + Hex(GetBe32(p)) + " size=" + Hex(GetBe32(p + 4));
    case VAKO_MTD_SET_FIS_ENTRY: {
        FisInfo e = GetFisInfo(p);
        return "name=" + Printable(e.name, sizeof e.name) + " flash_base=" + Hex(e.flash_base) +
               " size=" + Hex(e.size) + " data_length=" + Hex(e.data_length);
    }
    case VAKO_MTD_FORMAT:
        return "units=" + std::to_string(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg)));
    case VAKO_MTD_SET_PART_TABLE: {
        std::string s = "units=";
        for (int i = 0; i < 8; ++i) {
            auto u = static_cast<int32_t>(GetBe32(p + 4 * i));
            s += (i ? "," : "") + std::to_string(u);
        }
        return s;
    }
    default:
        return "";
    }
}

void Session::Journal(std::string_view device, std::string_view request, const std::string &args, Res r)
{
    std::string line = std::to_string(getpid()) + "\t" + program_invocation_short_name + "\t";
    line.append(device).append("\t").append(request).append("\t");
    line += args.empty() ? "-" : args;
    line += "\t" + (r.err ? "-1 " + ErrName(r.err) : std::to_string(r.value)) + "\n";
    int fd = REAL(open)(StatePath(st::kJournalFile).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        WriteAll(fd, line.data(), line.size());
        close(fd);
    }
}

} // namespace kstublib
