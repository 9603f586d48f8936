#include "slib/proc.h"
#include "slib/error.h"
#include "unbuilt.h"

extern "C" int SLIBProcExec(const char *, const char *, const char *, const char *, const char *)
{
    SLIB_UNBUILT();
    SLIB_ERR(SLIB_ERR_EXEC);
    return -1;
}
