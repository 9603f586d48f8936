// Network settings migration.
#include "migrate.h"

extern "C" {
int UPDTLowerMTUValue(void) { UPDT_UNBUILT(); return -1; }
int UPDTMoveMTUValue(void) { UPDT_UNBUILT(); return -1; }
int UPDTCopyBond0MTU(void) { UPDT_UNBUILT(); return -1; }
int UPDTRemoveALB(void) { UPDT_UNBUILT(); return -1; }
}
