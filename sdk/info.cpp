#include "vako/info.h"
#include "unbuilt.h"

extern "C" {
int VAKOConfSupportRaid(void) { VAKO_UNBUILT(); return 0; }
int VAKOIsJunior(void) { VAKO_UNBUILT(); return 0; }
}
