// The auto-block list as found on disk (8-byte records: a time in the
// processor's order, an address in network order): walked by each of the
// record functions over any part of the file.
#include <fcntl.h>

#include "fuzz.h"
#include "vako/autoblock.h"

VAKOFUZZ_QUIET_LOG

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    int op = in.ConsumeIntegralInRange<int>(AUTOBLOCK_OP_COPY_IF_DIFFER, AUTOBLOCK_OP_MATCH);
    uint32_t addr = in.ConsumeIntegral<uint32_t>();
    int offStart = in.ConsumeIntegralInRange<int>(0, 1024);
    // The clock and the expiry as the callers reckon them: a time of day,
    // and a day count of the settings (any int) in seconds.
    int64_t now = in.ConsumeIntegralInRange<int64_t>(0, int64_t{1} << 33);
    int64_t expire = in.ConsumeIntegralInRange<int64_t>(int64_t{INT32_MIN} * 86400, int64_t{INT32_MAX} * 86400);
    std::string list = in.ConsumeRemainingBytesAsString();
    if (list.empty())
        return 0;
    std::string file = vakofuzz::WriteFile("vakoIPs.deny", list);
    std::string copy = vakofuzz::WriteFile("copy", "");
    int out = open(copy.c_str(), O_WRONLY | O_CLOEXEC);
    uint32_t listed[] = {addr, addr ^ 1, 0};
    bool writes = op == AUTOBLOCK_OP_ZERO_IF_MATCH;
    AUTOBLOCKMMAPREQ req = {};
    req.prot = writes ? 3 : 1;
    req.mapFlags = 1;
    req.op = op;
    req.lockOp = 6;
    req.openFlags = writes ? O_RDWR : O_RDONLY;
    req.cbFile = static_cast<int>(list.size());
    req.offStart = offStart;
    req.tNow = now;
    req.secExpire = expire;
    req.szPath = file.c_str();
    AutoBlockIMmapProcess(&req, out, op == AUTOBLOCK_OP_COPY_UNLISTED ? static_cast<void *>(listed) : &addr);
    close(out);
    return 0;
}
