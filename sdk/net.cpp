#include "vako/net.h"
#include "unbuilt.h"

extern "C" int VAKONetSetMTUValue(const char *, const char *) { VAKO_UNBUILT(); return -1; }
