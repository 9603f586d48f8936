// fsync as the libraries under test see it: the system's, counted, with the
// permission bits and the identity of every file synced recorded (what a
// writer's temporary file holds before it is renamed into place), and a
// call that can be made to fail. A test binary that is built with
// testkit/fsyncfault.cpp gets this fsync for all of it, and the watch below
// on the writes, syncs and renames of the files of some directories.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace vakotest {

// Calls so far in this process.
extern int gFsyncCalls;
// The call (counted as gFsyncCalls counts it) that fails with EIO; 0: none.
extern int gFsyncFailAt;
// The permission bits (07777) of each file synced, in order.
extern std::vector<unsigned> gFsyncModes;
// The device and inode of each file synced, in order.
extern std::vector<std::pair<dev_t, ino_t>> gFsyncFiles;

// What the watch counts, on files of the watched directories only: an
// fsync (also of a watched directory itself); a write through a stream open for writing (fwrite, fputs, fputc,
// fprintf, vfprintf; fflush and fclose of a stream that holds output) or
// on a descriptor (write); a rename of a file from there.
enum class Watched { kFsync, kWrite, kRename, kCount };

// Watches the files of dirs (absolute, without a final '/'; none: no watch)
// from now on, every count at 0 and no failure armed.
void WatchDirs(const std::vector<std::string> &dirs);
// A watched file written (by a call the watch counts) since its last
// successful sync, from the start of the last watch on.
bool WrittenSinceSync(dev_t dev, ino_t ino);
// The calls of that kind seen on watched files since WatchDirs.
int WatchedCalls(Watched kind);
// The n-th call of that kind (counted from WatchDirs) fails: an fsync with
// EIO, a write with ENOSPC (nothing written, a stream in error), a rename
// with EIO. 0: none.
void FailWatched(Watched kind, int n);

} // namespace vakotest
