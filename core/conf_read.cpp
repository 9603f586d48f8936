#include "slib/conf_read.h"
#include "slib/error.h"
#include "unbuilt.h"

extern "C" int SLIBFileGetKeyValue(const char *, const char *, char *, int, int)
{
    SLIB_UNBUILT();
    SLIB_ERR(SLIB_ERR_OPEN);
    return -1;
}
