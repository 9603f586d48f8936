#include "icu_data.h"

#include <stdlib.h>
#include <unicode/putil.h>

namespace slib {

namespace {
constexpr const char kIcuDataDefault[] = "/usr/lib";
bool gIcuDataSet;
} // namespace

void IcuDataInit()
{
    if (gIcuDataSet)
        return;
    const char *dir = getenv("ICU_DATA");
    u_setDataDirectory(dir && *dir ? dir : kIcuDataDefault);
    gIcuDataSet = true;
}

} // namespace slib
