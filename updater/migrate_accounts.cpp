// Accounts and groups migration.
#include "migrate.h"

extern "C" {
int RenameConflictUser(const char *) { UPDT_UNBUILT(); return -1; }
int UPDTAddFTPAccounts(void) { UPDT_UNBUILT(); return -1; }
int UPDTRewritePasswdHomes(void) { UPDT_UNBUILT(); return -1; }
int UPDTCreateUserConf(void) { UPDT_UNBUILT(); return -1; }
int UPDTAddMailUsers(void) { UPDT_UNBUILT(); return -1; }
}
