// Base64: any text decodes within its room, and what was encoded decodes
// back to itself.
#include "fuzz.h"
#include "slib/base64.h"

VAKOFUZZ_QUIET_LOG

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    int32_t room = in.ConsumeIntegralInRange<int32_t>(0, 512);
    bool noOut = in.ConsumeBool();
    std::string text = in.ConsumeRemainingBytesAsString();

    std::vector<unsigned char> out(static_cast<size_t>(room));
    int32_t cb = noOut ? 0 : room;
    Base64Decode(text.data(), static_cast<uint32_t>(text.size()), noOut ? nullptr : out.data(), &cb);
    if (cb < 0 || cb > room)
        abort();

    // Whole groups without a NUL byte encode entirely.
    if (text.size() <= 511 * 3 && text.find('\0') == std::string::npos) {
        const char *enc = SzBase64EncodeOneLine(text.data(), static_cast<int32_t>(text.size()));
        if (!enc)
            abort();
        std::string copy = enc;
        std::vector<unsigned char> back(text.size() + 3);
        int32_t cbBack = static_cast<int32_t>(back.size());
        if (Base64Decode(copy.data(), static_cast<uint32_t>(copy.size()), back.data(), &cbBack) != 1 ||
            std::string(back.begin(), back.begin() + cbBack) != text)
            abort();
    }
    return 0;
}
