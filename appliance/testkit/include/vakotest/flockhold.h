// A file's flock held by another process, and waiting until a process has
// a file open.  Header only.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "vakotest/testkit.h"

namespace vakotest {

// Another process takes the exclusive flock of path (created when missing)
// and holds it until Release(), which first renames `replacement` over path
// when it is not empty (a writer replacing the file while it holds the
// lock), or until destruction (the holder is killed).
class FlockHolder {
public:
    explicit FlockHolder(const std::string &path, const std::string &replacement = "")
    {
        int ready[2], go[2];
        EXPECT_EQ(pipe(ready), 0);
        EXPECT_EQ(pipe(go), 0);
        pid_ = ForkChild([&] {
            close(go[1]);
            int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
            char c = fd >= 0 && flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
            if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1)
                return 1;
            if (!replacement.empty() && rename(replacement.c_str(), path.c_str()) != 0)
                return 2;
            return 0;
        });
        close(go[0]);
        close(ready[1]);
        char c = 0;
        EXPECT_EQ(read(ready[0], &c, 1), 1);
        EXPECT_EQ(c, 'y');
        close(ready[0]);
        go_ = go[1];
    }
    ~FlockHolder()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            WaitChild(pid_);
        }
        close(go_);
    }
    FlockHolder(const FlockHolder &) = delete;
    FlockHolder &operator=(const FlockHolder &) = delete;

    // Renames the replacement (if any) and releases the lock: the holder's status.
    int Release()
    {
        EXPECT_EQ(write(go_, "g", 1), 1);
        int st = WaitChild(pid_);
        pid_ = -1;
        return st;
    }

private:
    pid_t pid_ = -1;
    int go_ = -1;
};

// True once process pid has path open.
inline bool HasOpen(pid_t pid, const std::string &path)
{
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    for (const std::string &n : ListDir(dir)) {
        char buf[4096];
        ssize_t len = readlink((dir + "/" + n).c_str(), buf, sizeof buf);
        if (len > 0 && std::string(buf, static_cast<size_t>(len)) == path)
            return true;
    }
    return false;
}

// Waits (a minute at most) until process pid has path open.
inline void WaitUntilOpen(pid_t pid, const std::string &path)
{
    int64_t deadline = MonotonicMs() + 60000;
    while (!HasOpen(pid, path)) {
        ASSERT_LT(MonotonicMs(), deadline) << "never opened " << path;
        usleep(1000);
    }
}

} // namespace vakotest
