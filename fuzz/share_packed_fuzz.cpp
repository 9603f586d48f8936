// Packed share records, as the share database stores them: a value read
// from the file unpacked only when every offset and length holds, then
// packed again to the same bytes.
#include "fuzz.h"
#include "vako/share.h"

VAKOFUZZ_QUIET_LOG

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The value as the database hands it over: a block of its own size.
    std::vector<uint8_t> value(data, data + size);
    VAKOSHARE *share = nullptr;
    if (VAKOShareDBUnPackBounded(value.data(), static_cast<int>(value.size()), &share) != 0)
        return 0;
    if (void *again = VAKOShareDBPack(share)) {
        // The record's own length word says how much of the value it is.
        int32_t cb;
        memcpy(&cb, static_cast<const char *>(again) + 40, sizeof cb);
        if (cb < 0 || static_cast<size_t>(cb) > size)
            abort();
        free(again);
    }
    VAKOShareFree(share);
    return 0;
}
