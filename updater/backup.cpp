// Partition backup, copy and verify.
#include "unbuilt.h"
#include "updater.h"

extern "C" {
uint64_t gullProgressTotal;
uint64_t gullProgressDone;

int UPDTBackupOldPartition(const VAKOFISENTRY *, int) { UPDT_UNBUILT(); return -1; }
int UPDTCopyFile(const char *, const char *, int64_t, int) { UPDT_UNBUILT(); return -1; }
int UPDTVerifyFile(const char *, const char *, int64_t, int) { UPDT_UNBUILT(); return -1; }
}
