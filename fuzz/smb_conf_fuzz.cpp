// smb.conf: the section name of each line, cut to the room given.
#include "fuzz.h"
#include "vako/share.h"

VAKOFUZZ_QUIET_LOG

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    int room = in.ConsumeIntegralInRange<int>(1, 128);
    std::string text = in.ConsumeRemainingBytesAsString();
    // Exactly room bytes: the sanitizer sees any overrun.
    std::vector<char> out(static_cast<size_t>(room));
    for (size_t at = 0; at <= text.size();) {
        size_t nl = text.find('\n', at);
        std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at + 1);
        if (VAKOShareParseSectionName(line.c_str(), out.data(), room) != 0 ||
            strlen(out.data()) >= static_cast<size_t>(room))
            abort();
        if (nl == std::string::npos)
            break;
        at = nl + 1;
    }
    return 0;
}
