// Operations whose area is not built yet log this and fail.
#pragma once
#include <syslog.h>
#define VAKO_UNBUILT() syslog(LOG_ERR, "%s: not available in this build", __func__)
