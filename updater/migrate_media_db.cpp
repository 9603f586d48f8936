// Photo and media databases.
#include "migrate.h"

extern "C" int UpdatePhotoDatabase(void) { UPDT_UNBUILT(); return -1; }
