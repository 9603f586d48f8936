// Configuration files read by section: the pairs of one section into a
// hash, and the section-header tests on each line.
#include "fuzz.h"
#include "slib/conf_read.h"

VAKOFUZZ_QUIET_LOG

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    std::string section = in.ConsumeRandomLengthString(24);
    std::string text = in.ConsumeRemainingBytesAsString();
    std::string file = vakofuzz::WriteFile("conf", text);

    PSLIBSZHASH hash = SLIBSzHashAlloc(0);
    SLIBFileGetSection(file.c_str(), section.c_str(), &hash);
    SLIBSzHashFree(hash);

    for (size_t at = 0; at < text.size();) {
        size_t nl = text.find('\n', at);
        std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
        int len = static_cast<int>(strlen(line.c_str()));
        SLIBFileIsSectionLine(line.c_str(), len);
        SLIBFileMatchSection(line.c_str(), len, section.c_str());
        if (nl == std::string::npos)
            break;
        at = nl + 1;
    }
    return 0;
}
