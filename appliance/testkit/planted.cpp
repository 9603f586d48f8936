#include "vakotest/planted.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "vakotest/files.h"

namespace vakotest {

namespace {

constexpr uid_t kOtherUser = 1000;

[[noreturn]] void Fail(const std::string &what) { throw std::runtime_error(what + ": " + strerror(errno)); }

} // namespace

const char *PlantName(Plant plant)
{
    switch (plant) {
    case Plant::kLinkToFile:
        return "symbolic link to a file";
    case Plant::kDanglingLink:
        return "symbolic link to a missing file";
    case Plant::kFullFifo:
        return "full FIFO";
    case Plant::kFileOfAnotherUser:
        return "file of another user";
    case Plant::kSecondLinkOfFile:
        return "second link of a file";
    }
    return "?";
}

const char *RefusalText(Plant plant)
{
    switch (plant) {
    case Plant::kLinkToFile:
    case Plant::kDanglingLink:
        return "a symbolic link";
    case Plant::kFullFifo:
        return "not a regular file";
    case Plant::kFileOfAnotherUser:
        return "owned by uid 1000";
    case Plant::kSecondLinkOfFile:
        return "linked 2 times";
    }
    return "?";
}

Planted::Planted(Plant plant, const std::string &path, const std::string &victimDir) : victimDir_(victimDir)
{
    const std::string victim = victimDir + "/victim", created = victimDir + "/created";
    WriteFile(victim, "victim\n", 0600);
    RemoveFile(created);
    RemoveFile(path);
    switch (plant) {
    case Plant::kLinkToFile:
        if (symlink(victim.c_str(), path.c_str()) != 0)
            Fail("symlink " + path);
        break;
    case Plant::kDanglingLink:
        if (symlink(created.c_str(), path.c_str()) != 0)
            Fail("symlink " + path);
        break;
    case Plant::kFullFifo: {
        if (mkfifo(path.c_str(), 0666) != 0)
            Fail("mkfifo " + path);
        // Both ends held here: the data stays, and a writer finds no room.
        fifo_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fifo_ < 0)
            Fail("open " + path);
        char block[4096];
        memset(block, 'x', sizeof(block));
        // Whole pages, then the last bytes of room one at a time.
        for (size_t chunk : {sizeof(block), size_t{1}})
            while (write(fifo_, block, chunk) > 0 || errno == EINTR) {
            }
        break;
    }
    case Plant::kFileOfAnotherUser:
        WriteFile(path, kForeignContent, 0666);
        if (chown(path.c_str(), kOtherUser, kOtherUser) != 0)
            Fail("chown " + path);
        break;
    case Plant::kSecondLinkOfFile:
        if (link(victim.c_str(), path.c_str()) != 0)
            Fail("link " + path);
        break;
    }
}

Planted::~Planted()
{
    if (fifo_ >= 0)
        close(fifo_);
}

bool Planted::VictimsUntouched() const
{
    return ReadFile(victimDir_ + "/victim") == "victim\n" && !FileExists(victimDir_ + "/created");
}

void MountSmallVolume(const std::string &dir, size_t bytes)
{
    if (!InSandbox())
        throw std::runtime_error("MountSmallVolume: only inside the sandbox");
    MakeDirs(dir);
    std::string options = "size=" + std::to_string(bytes);
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0)
        Fail("mount tmpfs on " + dir);
}

void FillVolume(const std::string &dir)
{
    const std::string fill = dir + "/fill";
    int fd = open(fill.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        Fail("open " + fill);
    char block[4096];
    memset(block, 0, sizeof(block));
    while (write(fd, block, sizeof(block)) > 0) {
    }
    while (write(fd, block, 1) == 1) {
    }
    int err = errno;
    close(fd);
    if (err != ENOSPC) {
        errno = err;
        Fail("fill " + dir);
    }
}

} // namespace vakotest
