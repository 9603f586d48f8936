// The second flash road.
#include "unbuilt.h"
#include "updater.h"

extern "C" int UPDTMSysUpdate(char *) { UPDT_UNBUILT(); return UPDT_ERR_FLASH; }
