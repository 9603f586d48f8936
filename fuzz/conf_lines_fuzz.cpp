// Configuration files read by line: the line matching a pattern, and the
// line tests the readers and writers share.
#include "fuzz.h"
#include "slib/conf_read.h"

VAKOFUZZ_QUIET_LOG

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    std::string pattern = in.ConsumeRandomLengthString(24);
    std::string key = in.ConsumeRandomLengthString(16);
    int flags = (in.ConsumeIntegral<uint8_t>() & (OP_FIND_LAST | OP_MATCH_BEGIN | OP_MATCH_END)) |
                (in.ConsumeBool() ? OP_MATCH_NOCASE : 0);
    int cb = in.ConsumeIntegralInRange<int>(0, 96);
    std::string text = in.ConsumeRemainingBytesAsString();
    std::string file = vakofuzz::WriteFile("conf", text);

    std::string buf(static_cast<size_t>(cb), '\0');
    SLIBFileGetLine(file.c_str(), pattern.c_str(), cb ? buf.data() : nullptr, cb, flags);

    size_t at = 0;
    while (at <= text.size()) {
        size_t nl = text.find('\n', at);
        std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at + 1);
        SLIBFileLineMatch(line.c_str(), pattern.c_str(), flags);
        SLIBFileLineKeyMatch(line.data(), key.c_str());
        if (nl == std::string::npos)
            break;
        at = nl + 1;
    }
    return 0;
}
