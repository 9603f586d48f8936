#include "kill.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "session.h"

namespace kstublib {

namespace {

// Set during a write, acted on after it: the state is saved and its lock
// released by then.
std::string *Pending()
{
    static std::string *pending = new std::string;
    return pending;
}

bool ReadProc(pid_t pid, const char *what, char *buf, size_t cb)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/%s", static_cast<int>(pid), what);
    int fd = REAL(open)(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t n = REAL(read)(fd, buf, cb - 1);
    close(fd);
    if (n <= 0)
        return false;
    buf[n] = '\0';
    return true;
}

std::string Comm(pid_t pid)
{
    char buf[64];
    if (!ReadProc(pid, "comm", buf, sizeof buf))
        return {};
    std::string name(buf);
    if (!name.empty() && name.back() == '\n')
        name.pop_back();
    return name;
}

// The parent from /proc/<pid>/stat: "pid (comm) state ppid ...", where comm
// may hold blanks and parentheses.
pid_t Parent(pid_t pid)
{
    char buf[512];
    if (!ReadProc(pid, "stat", buf, sizeof buf))
        return 0;
    const char *end = strrchr(buf, ')');
    int ppid = 0;
    if (!end || sscanf(end + 1, " %*c %d", &ppid) != 1)
        return 0;
    return ppid;
}

} // namespace

void ArmKill(const std::string &program) { *Pending() = program; }

void KillIfArmed()
{
    if (Pending()->empty())
        return;
    std::string program = *Pending();
    Pending()->clear();
    std::vector<pid_t> chain{getpid()};
    constexpr size_t kMaxDepth = 64;
    while (Comm(chain.back()) != program) {
        pid_t up = Parent(chain.back());
        if (up <= 1 || chain.size() >= kMaxDepth)
            return;
        chain.push_back(up);
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
        kill(*it, SIGKILL);
}

} // namespace kstublib
