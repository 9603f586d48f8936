#include "vakotest/fsyncfault.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vakotest {
int gFsyncCalls;
int gFsyncFailAt;
std::vector<unsigned> gFsyncModes;
} // namespace vakotest

extern "C" int fsync(int fd)
{
    ++vakotest::gFsyncCalls;
    struct stat st;
    if (fstat(fd, &st) == 0)
        vakotest::gFsyncModes.push_back(st.st_mode & 07777);
    if (vakotest::gFsyncCalls == vakotest::gFsyncFailAt) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(syscall(SYS_fsync, fd));
}
