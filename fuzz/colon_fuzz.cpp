// Colon escaping: any text decodes without overrunning its room, and what
// was encoded decodes back to itself.
#include "fuzz.h"
#include "slib/str.h"

VAKOFUZZ_QUIET_LOG

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    int room = in.ConsumeIntegralInRange<int>(0, 256);
    std::string text = in.ConsumeRemainingBytesAsString();
    const char *src = text.c_str();

    // Exactly room characters and the NUL: the sanitizer sees any overrun.
    std::vector<char> out(static_cast<size_t>(room) + 1);
    SLIBStrDecodeColon(src, out.data(), room);

    // Encoding at most doubles the text; decoding wants room for the
    // encoded length.
    std::vector<char> enc(2 * strlen(src) + 1);
    int n = SLIBStrEncodeColon(src, enc.data(), static_cast<int>(enc.size()) - 1);
    if (n < 0)
        abort();
    std::vector<char> dec(static_cast<size_t>(n) + 1);
    if (SLIBStrDecodeColon(enc.data(), dec.data(), n) < 0 || strcmp(dec.data(), src) != 0)
        abort();
    return 0;
}
