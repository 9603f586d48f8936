// Analysis of the installed system and the package.
#include "unbuilt.h"
#include "updater.h"

extern "C" {
int ErrUPDTIAnalyze_WholeSystem(void) { UPDT_UNBUILT(); return UPDT_ERR_UNKNOWN; }
int IsSysPartitionSufficient(int64_t) { UPDT_UNBUILT(); return 0; }
int IsSysPartitionResizeable(int64_t) { UPDT_UNBUILT(); return 0; }
int UPDTCompareVersion(const char *, const char *) { UPDT_UNBUILT(); return 0; }
}
