// The configuration update.
#include "unbuilt.h"
#include "updater.h"

extern "C" int UPDTUpdateConfig(void) { UPDT_UNBUILT(); return -1; }
