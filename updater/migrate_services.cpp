// Service settings migration.
#include "migrate.h"

extern "C" {
int ConvertFTPWriteOnlyFlag(void) { UPDT_UNBUILT(); return -1; }
int AutoBlockConvertFTPBlockIP(void) { UPDT_UNBUILT(); return -1; }
int UPDTLinkSqueezeCenterErrmsg(void) { UPDT_UNBUILT(); return -1; }
int UPDTRemoveEventTest(void) { UPDT_UNBUILT(); return -1; }
}
