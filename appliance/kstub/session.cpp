#include "session.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

namespace kstublib {

const std::string *Dir()
{
    static const std::string *dir = [] {
        const char *e = getenv("VAKO_KSTUB_DIR");
        return e && *e ? new std::string(e) : nullptr;
    }();
    return dir;
}

std::string StatePath(const char *name) { return *Dir() + "/" + name; }

bool ReadAll(int fd, std::string &out)
{
    char buf[4096];
    for (;;) {
        ssize_t n = REAL(read)(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        out.append(buf, static_cast<size_t>(n));
    }
}

bool WriteAll(int fd, const void *data, size_t n, off_t at)
{
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        ssize_t w = at < 0 ? REAL(write)(fd, p, n) : REAL(pwrite)(fd, p, n, at);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
        if (at >= 0)
            at += w;
    }
    return true;
}

bool ReadAt(int fd, void *data, size_t n, off_t at)
{
    char *p = static_cast<char *>(data);
    while (n > 0) {
        ssize_t r = REAL(pread)(fd, p, n, at);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
        at += r;
    }
    return true;
}

Session::~Session()
{
    if (dirty_)
        Save();
    if (chip_ >= 0)
        close(chip_);
    if (lock_ >= 0)
        close(lock_);
}

bool Session::Begin(bool exclusive)
{
    if (!Dir())
        return false;
    lock_ = REAL(open)(StatePath(st::kLockFile).c_str(), O_RDWR | O_CLOEXEC);
    if (lock_ < 0)
        return false;
    while (flock(lock_, exclusive ? LOCK_EX : LOCK_SH) != 0)
        if (errno != EINTR)
            return false;
    int fd = REAL(open)(StatePath(st::kStateFile).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::string text;
    bool ok = ReadAll(fd, text);
    close(fd);
    return ok && st::Parse(text, state);
}

int Session::Chip()
{
    if (chip_ < 0)
        chip_ = REAL(open)(StatePath(st::kChipFile).c_str(), O_RDWR | O_CLOEXEC);
    return chip_;
}

bool Session::ChipRead(uint64_t at, void *data, size_t n)
{
    return n == 0 || (Chip() >= 0 && ReadAt(chip_, data, n, static_cast<off_t>(at)));
}

bool Session::ChipWrite(uint64_t at, const void *data, size_t n)
{
    return n == 0 || (Chip() >= 0 && WriteAll(chip_, data, n, static_cast<off_t>(at)));
}

void Session::Save()
{
    std::string tmp = StatePath(st::kStateFile) + ".new";
    int fd = REAL(open)(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    std::string text = st::Format(state);
    bool ok = WriteAll(fd, text.data(), text.size());
    close(fd);
    if (ok)
        rename(tmp.c_str(), StatePath(st::kStateFile).c_str());
}

} // namespace kstublib
