#include "vakotest/run.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <string_view>

#include "../common/timens.h"

extern char **environ;

namespace vakotest {

namespace {

// Reads both outputs to their ends; with hangSeconds, the process group of
// pid is killed once they have not ended by then.
void ReadAll(int fdOut, int fdErr, std::string &out, std::string &err, pid_t pid, std::optional<unsigned> hangSeconds)
{
    pollfd fds[2] = {{fdOut, POLLIN, 0}, {fdErr, POLLIN, 0}};
    std::string *into[2] = {&out, &err};
    int open = 2;
    char buf[65536];
    // After the kill, what else holds the outputs open gets a few seconds more.
    constexpr int64_t kAfterKillMs = 5000;
    int64_t deadline = hangSeconds ? MonotonicMs() + int64_t{*hangSeconds} * 1000 : 0;
    bool killed = false;
    while (open > 0) {
        int wait = -1;
        if (hangSeconds) {
            const int64_t left = deadline - MonotonicMs();
            if (left <= 0 && killed)
                break;
            if (left <= 0) {
                kill(-pid, SIGKILL);
                killed = true;
                deadline = MonotonicMs() + kAfterKillMs;
                continue;
            }
            wait = static_cast<int>(left);
        }
        if (poll(fds, 2, wait) < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error("poll: " + std::string(strerror(errno)));
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = read(fds[i].fd, buf, sizeof(buf));
            if (n > 0) {
                into[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (pollfd &f : fds)
        if (f.fd >= 0)
            close(f.fd);
}

int Encode(int st) { return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st); }

[[noreturn]] void ChildFail(const char *what)
{
    dprintf(2, "vakotest::Run: %s: %s\n", what, strerror(errno));
    _exit(127);
}

} // namespace

RunResult Run(const std::vector<std::string> &argv, const RunOptions &opt)
{
    if (argv.empty())
        throw std::invalid_argument("Run: no program");
    std::vector<std::string> env;
    for (char **e = environ; !opt.wholeEnv && *e; ++e) {
        std::string_view v(*e);
        bool replaced = std::any_of(opt.env.begin(), opt.env.end(), [&](const std::string &x) {
            size_t eq = x.find('=');
            return v.substr(0, v.find('=')) == std::string_view(x).substr(0, eq);
        });
        if (!replaced)
            env.emplace_back(v);
    }
    env.insert(env.end(), opt.env.begin(), opt.env.end());
    std::vector<char *> envp, args;
    for (std::string &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopy = argv;
    for (std::string &a : argCopy)
        args.push_back(a.data());
    args.push_back(nullptr);

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe: " + std::string(strerror(errno)));
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork: " + std::string(strerror(errno)));
    if (pid == 0) {
        // Its own process group: a hang guard ends its children too.
        if (opt.hangSeconds)
            setpgid(0, 0);
        int in = open("/dev/null", O_RDONLY);
        if (in < 0 || dup2(in, 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0)
            ChildFail("redirect");
        if (in > 2)
            close(in);
        if (opt.uptime) {
            // The uptime is the boot-time offset of a new time namespace,
            // which only the children of the one that made it enter.
            if (unshare(CLONE_NEWTIME) != 0 || !vakoappliance::SetUptimeOffset(*opt.uptime))
                ChildFail("time namespace");
            pid_t real = fork();
            if (real < 0)
                ChildFail("fork");
            if (real > 0) {
                int st;
                while (waitpid(real, &st, 0) < 0)
                    if (errno != EINTR)
                        ChildFail("wait");
                if (WIFSIGNALED(st)) {
                    signal(WTERMSIG(st), SIG_DFL);
                    kill(getpid(), WTERMSIG(st));
                }
                _exit(Encode(st));
            }
        }
        if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0)
            ChildFail(("chdir " + opt.cwd).c_str());
        environ = envp.data();
        execvp(args[0], args.data());
        ChildFail(("exec " + argv[0]).c_str());
    }
    if (opt.hangSeconds)
        setpgid(pid, pid);
    close(out[1]);
    close(err[1]);
    RunResult r{0, {}, {}};
    ReadAll(out[0], err[0], r.out, r.err, pid, opt.hangSeconds);
    int st;
    while (waitpid(pid, &st, 0) < 0)
        if (errno != EINTR)
            throw std::runtime_error("waitpid: " + std::string(strerror(errno)));
    r.status = Encode(st);
    return r;
}

std::string PreloadAlso(const std::string &library)
{
    const char *preload = getenv("LD_PRELOAD");
    return "LD_PRELOAD=" + (preload && *preload ? std::string(preload) + ":" : std::string()) + library;
}

int64_t MonotonicMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

pid_t ForkChild(const std::function<int()> &fn)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(fn());
    if (pid < 0)
        throw std::runtime_error(std::string("fork: ") + strerror(errno));
    return pid;
}

int WaitChild(pid_t pid)
{
    int st = 0;
    while (waitpid(pid, &st, 0) < 0) {
        if (errno != EINTR)
            throw std::runtime_error(std::string("waitpid: ") + strerror(errno));
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

int RunGuarded(const std::function<int()> &fn, unsigned seconds)
{
    return WaitChild(ForkChild([&] {
        alarm(seconds);
        return fn();
    }));
}

pid_t ForkChildAs(uid_t uid, const std::function<int()> &fn)
{
    return ForkChild([&] {
        if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0) {
            dprintf(2, "vakotest::ForkChildAs(%u): %s\n", static_cast<unsigned>(uid), strerror(errno));
            return 126;
        }
        return fn();
    });
}

bool RunAs(uid_t uid, const std::function<bool()> &step)
{
    return WaitChild(ForkChildAs(uid, [&] { return step() ? 0 : 1; })) == 0;
}

AccountProcess::AccountProcess(const std::function<bool()> &step, uid_t uid)
{
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe: " + std::string(strerror(errno)));
    pid_ = ForkChildAs(uid, [&] {
        close(ready[0]);
        char c = step() ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1)
            return 1;
        close(ready[1]);
        for (;;)
            pause();
    });
    close(ready[1]);
    char c = 0;
    while (read(ready[0], &c, 1) < 0 && errno == EINTR) {
    }
    close(ready[0]);
    ok_ = c == 'y';
}

AccountProcess::~AccountProcess()
{
    kill(pid_, SIGKILL);
    WaitChild(pid_);
}

} // namespace vakotest
