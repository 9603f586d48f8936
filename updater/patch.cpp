// Flash patch and rollback on the normal road.
#include "unbuilt.h"
#include "updater.h"

extern "C" {
int UPDTDoPatch(const VAKOFISENTRY *, int) { UPDT_UNBUILT(); return -1; }
int UPDTRollBack(const VAKOFISENTRY *, int) { UPDT_UNBUILT(); return -1; }
}
