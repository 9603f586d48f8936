#include "slib/conf_write.h"
#include "slib/error.h"
#include "unbuilt.h"

extern "C" int SLIBFileSetKeyValue(const char *, const char *, const char *, const char *)
{
    SLIB_UNBUILT();
    SLIB_ERR(SLIB_ERR_OPEN);
    return -1;
}
