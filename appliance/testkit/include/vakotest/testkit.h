// The kit's three basic parts in one include: files, runs, and the system
// and update logs.  A test that needs one of them includes that one.
#pragma once

#include "vakotest/files.h"
#include "vakotest/logs.h"
#include "vakotest/run.h"
