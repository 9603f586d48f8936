// RAID status text: member directories "dev-<name>" with their "state" and
// "slot" files, and the array's status decided from them and the array
// record the md driver gives.
#include <sys/stat.h>

#include "fuzz.h"
#include "vako/raid.h"

VAKOFUZZ_QUIET_LOG

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    mdu_array_info_t info;
    std::vector<uint8_t> raw = in.ConsumeBytes<uint8_t>(sizeof info);
    raw.resize(sizeof info);
    memcpy(&info, raw.data(), sizeof info);

    VAKORAIDDISK *list = nullptr;
    for (int i = 0; i < 4 && in.remaining_bytes(); ++i) {
        std::string name = in.ConsumeRandomLengthString(40);
        std::string state = in.ConsumeRandomLengthString(40);
        std::string slot = in.ConsumeRandomLengthString(16);
        // A directory name holds neither '/' nor NUL.
        for (char &c : name)
            if (c == '/' || c == '\0')
                c = '_';
        std::string dir = vakofuzz::WorkDir() + "/" + (in.ConsumeBool() ? "dev-" : "") + name;
        mkdir(dir.c_str(), 0700);
        std::string rel = dir.substr(vakofuzz::WorkDir().size() + 1);
        vakofuzz::WriteFile((rel + "/state").c_str(), state);
        if (in.ConsumeBool())
            vakofuzz::WriteFile((rel + "/slot").c_str(), slot);
        else
            unlink((dir + "/slot").c_str());
        VAKORAIDDISK *disk = nullptr;
        if (VAKORaidDiskCreate(dir.c_str(), &disk) == 0)
            VAKORaidDiskListPush(&list, disk);
    }
    int status;
    VAKORaidDecideStatus(&info, list, &status);
    RaidDiskListFree(list);
    return 0;
}
