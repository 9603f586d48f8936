// Photo and media databases.
#include "unbuilt.h"
#include "updater.h"

extern "C" int UpdatePhotoDatabase(void) { UPDT_UNBUILT(); return -1; }
