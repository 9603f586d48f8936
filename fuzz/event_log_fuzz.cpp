// The system event log's ring file as found on disk: its header and start
// and end offsets read, the oldest records dropped by the shrink, and one
// record written into it.
#include <stdlib.h>

#include "fuzz.h"
#include "vako/event_log.h"
#include "vako/event_log_size.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    vakofuzz::QuietLog();
    // The record's user comes from the environment, as for a web session:
    // looked up by id it would cost an account-database open (a rebuild of
    // its cache from the account files, here) on every run, which is not
    // what this target fuzzes.
    setenv("USERNAME", "admin", 1);
    // A small ring, so that writes wrap.
    LogSizeLimitSet(4096);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    uint32_t excess = in.ConsumeIntegralInRange<uint32_t>(0, 8192);
    bool shrink = in.ConsumeBool();
    std::string text = in.ConsumeRandomLengthString(64);
    std::string file = vakofuzz::WriteFile("vakosys.log", in.ConsumeRemainingBytesAsString());
    if (shrink)
        LogShrinkFile(excess, file.c_str());
    LogWriteRecord(file.c_str(), 1, 0x11100001, text.c_str(), "b", "", "d");
    return 0;
}
