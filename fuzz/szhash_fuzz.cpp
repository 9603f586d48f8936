// String hashes from text: "key=value" lines set, read back, removed and
// enumerated; every read must give the value set last.
#include "fuzz.h"
#include "slib/szhash.h"

#include <map>

VAKOFUZZ_QUIET_LOG

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    PSLIBSZHASH h = SLIBSzHashAlloc(in.ConsumeIntegralInRange<int>(0, 2048));
    std::map<std::string, std::string> want;
    while (in.remaining_bytes()) {
        std::string line = in.ConsumeRandomLengthString(64);
        size_t eq = line.find('=');
        std::string key = line.substr(0, eq);
        key = key.c_str();
        if (eq == std::string::npos) {
            SzSLIBSzHashRemoveKey(h, key.c_str());
            want.erase(key);
            continue;
        }
        std::string value = line.substr(eq + 1).c_str();
        if (SLIBSzHashSetValue(&h, key.c_str(), value.c_str()) >= 0)
            want[key] = value;
    }
    for (const auto &[k, v] : want) {
        const char *got = SzSLIBSzHashGetValue(h, k.c_str());
        if (!got || v != got)
            abort();
    }
    PSLIBSZLIST keys = PslSLIBSzListAlloc(0);
    if (SLIBSzHashEnumKey(h, &keys) != static_cast<int>(want.size()))
        abort();
    SLIBSzListFree(keys);
    SLIBSzHashRemoveAll(h);
    SLIBSzHashFree(h);
    return 0;
}
