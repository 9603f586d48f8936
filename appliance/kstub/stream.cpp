#include "stream.h"

#include <fcntl.h>
#include <stdint.h>
#include <unistd.h>

#include <optional>

#include "device.h"

namespace kstublib {

namespace {

ssize_t CookieRead(void *c, char *buf, size_t n)
{
    return Read(static_cast<int>(reinterpret_cast<intptr_t>(c)), buf, n, std::nullopt);
}
ssize_t CookieWrite(void *c, const char *buf, size_t n)
{
    return Write(static_cast<int>(reinterpret_cast<intptr_t>(c)), buf, n, std::nullopt);
}
int CookieSeek(void *c, off64_t *pos, int whence)
{
    off_t r = lseek(static_cast<int>(reinterpret_cast<intptr_t>(c)), *pos, whence);
    if (r < 0)
        return -1;
    *pos = r;
    return 0;
}
int CookieClose(void *c) { return close(static_cast<int>(reinterpret_cast<intptr_t>(c))); }

// stdio reads and writes a stream through the C library's inner system
// calls, which pass by these functions: a standard stream on a device
// (a shell's "> /dev/mtd1" before exec) becomes a stream of ours.
__attribute__((constructor)) void AdoptStandardStreams()
{
    if (!Dir())
        return;
    FILE **streams[3] = {&stdin, &stdout, &stderr};
    for (int fd = 0; fd < 3; ++fd) {
        if (!DeviceOf(fd))
            continue;
        int acc = AccessMode(fd);
        FILE *f = DeviceStream(fd, acc == O_RDONLY ? "r" : acc == O_WRONLY ? "w" : "r+");
        if (!f)
            continue;
        if (fd == 2)
            setvbuf(f, nullptr, _IONBF, 0);
        *streams[fd] = f;
    }
}

} // namespace

int FlagsOfMode(const char *mode)
{
    int flags;
    switch (mode[0]) {
    case 'r':
        flags = O_RDONLY;
        break;
    case 'w':
        flags = O_WRONLY | O_CREAT | O_TRUNC;
        break;
    case 'a':
        flags = O_WRONLY | O_CREAT | O_APPEND;
        break;
    default:
        return -1;
    }
    for (const char *m = mode + 1; *m && *m != ','; ++m) {
        if (*m == '+')
            flags = (flags & ~O_ACCMODE) | O_RDWR;
        else if (*m == 'e')
            flags |= O_CLOEXEC;
        else if (*m == 'x')
            flags |= O_EXCL;
    }
    return flags;
}

FILE *DeviceStream(int fd, const char *mode)
{
    cookie_io_functions_t io{CookieRead, CookieWrite, CookieSeek, CookieClose};
    FILE *f = fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(fd)), mode, io);
    // So that fileno() gives the descriptor, for its ioctls.
    if (f)
        f->_fileno = fd;
    return f;
}

} // namespace kstublib
