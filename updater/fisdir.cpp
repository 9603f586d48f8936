// FIS directory recovery image.
#include "unbuilt.h"
#include "updater.h"

extern "C" int RecoverFISDirTable_M88_V284(void) { UPDT_UNBUILT(); return -1; }
