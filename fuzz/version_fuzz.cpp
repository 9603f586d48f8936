// The VERSION key file of a package: the four version keys as the analysis
// reads them, and the migration flags its build number sets.
#include "fuzz.h"
#include "migrate.h"
#include "updater.h"

VAKOFUZZ_QUIET_LOG

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string file = vakofuzz::WriteFile("VERSION", std::string_view(reinterpret_cast<const char *>(data), size));
    UPDTVERSION v;
    if (UPDTReadVersion(file.c_str(), &v) == 4)
        UPDTSetUpgradeFlags(v.build);
    return 0;
}
