// Configuration files read by key: one value, a value compared, and every
// pair (or those of a key list) into a hash.
#include "fuzz.h"
#include "slib/conf_read.h"

VAKOFUZZ_QUIET_LOG

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    std::string key = in.ConsumeRandomLengthString(24);
    std::string sep = in.ConsumeRandomLengthString(3);
    int flags = (in.ConsumeIntegral<uint8_t>() & (OP_FIND_LAST | OP_MATCH_BEGIN | OP_MATCH_END)) |
                (in.ConsumeBool() ? OP_MATCH_NOCASE : 0);
    int cb = in.ConsumeIntegralInRange<int>(0, 96);
    bool onlyKey = in.ConsumeBool();
    std::string file = vakofuzz::WriteFile("conf", in.ConsumeRemainingBytesAsString());

    std::string buf(static_cast<size_t>(cb), '\0');
    int len = SLIBFileGetKeyValue(file.c_str(), key.c_str(), cb ? buf.data() : nullptr, cb, flags);
    if (cb && len > 0 && strlen(buf.c_str()) + 1 != static_cast<size_t>(len))
        abort(); // the length returned is the value's, NUL included
    SLIBFileCheckKeyValue(file.c_str(), key.c_str(), "yes", -1);

    PSLIBSZHASH hash = SLIBSzHashAlloc(0);
    PSLIBSZLIST keys = PslSLIBSzListAlloc(0);
    if (onlyKey)
        SLIBSzListPush(&keys, key.c_str());
    if (SLIBFileGetKeys(file.c_str(), keys, &hash, sep.empty() ? "=" : sep.c_str()) >= 0)
        for (int i = 0; i < hash->nSlot; ++i)
            if (const char *k = SLIBSzHashSlotKey(hash, i))
                if (strcmp(SzSLIBSzHashGetValue(hash, k), SLIBSzHashSlotValue(hash, i)) != 0)
                    abort();
    SLIBSzListFree(keys);
    SLIBSzHashFree(hash);
    return 0;
}
