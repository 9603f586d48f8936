// fsync as the libraries under test see it: the system's, counted, with the
// permission bits of every file synced recorded (what a writer's temporary
// file holds before it is renamed into place), and a call that can be made
// to fail. A test binary that is built with testkit/fsyncfault.cpp gets
// this fsync for all of it.
#pragma once

#include <vector>

namespace vakotest {

// Calls so far in this process.
extern int gFsyncCalls;
// The call (counted as gFsyncCalls counts it) that fails with EIO; 0: none.
extern int gFsyncFailAt;
// The permission bits (07777) of each file synced, in order.
extern std::vector<unsigned> gFsyncModes;

} // namespace vakotest
