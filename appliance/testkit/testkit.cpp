#include "vakotest/testkit.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "../common/kmask.h"
#include "../common/timens.h"

extern char **environ;

namespace vakotest {

namespace {

constexpr const char *kSyslogFile = "/.sandbox/syslog";
constexpr const char *kSyncPrefix = "vakotest-syslog-sync ";

struct stat StatOf(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        throw std::runtime_error("cannot stat " + path + ": " + strerror(errno));
    return st;
}

// A record sent straight to /dev/log: when it has been written, so has
// everything queued before it.
void SendMarker(const std::string &text)
{
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        throw std::runtime_error("socket: " + std::string(strerror(errno)));
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    strcpy(sa.sun_path, "/dev/log");
    std::string msg = "<14>Jan  1 00:00:00 vakotest: " + text;
    ssize_t n = sendto(s, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof(sa));
    int err = errno;
    close(s);
    if (n != static_cast<ssize_t>(msg.size()))
        throw std::runtime_error("no system log on /dev/log: " + std::string(strerror(err)));
}

std::string Unescape(std::string_view s)
{
    std::string r;
    r.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char c = s[++i];
            r += c == 'n' ? '\n' : c;
        } else {
            r += s[i];
        }
    }
    return r;
}

// Waits until the marker has been written; the file's content then.
std::string SyncSyslog()
{
    static std::atomic<unsigned> counter;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    std::string marker = kSyncPrefix + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" +
                         std::to_string(ts.tv_nsec);
    SendMarker(marker);
    std::string want = "\t" + marker + "\n";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        std::string content = FileExists(kSyslogFile) ? ReadFile(kSyslogFile) : "";
        if (content.find(want) != std::string::npos)
            return content;
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("the system-log stand-in did not write its record");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void ReadAll(int fdOut, int fdErr, std::string &out, std::string &err)
{
    pollfd fds[2] = {{fdOut, POLLIN, 0}, {fdErr, POLLIN, 0}};
    std::string *into[2] = {&out, &err};
    int open = 2;
    char buf[65536];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
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
}

int Encode(int st) { return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st); }

[[noreturn]] void ChildFail(const char *what)
{
    dprintf(2, "vakotest::Run: %s: %s\n", what, strerror(errno));
    _exit(127);
}

} // namespace

bool InSandbox() { return access("/.sandbox", F_OK) == 0; }

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool FileExists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

void WriteFile(const std::string &path, const std::string &content, unsigned mode)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot write " + path);
    out << content;
    out.close();
    chmod(path.c_str(), mode);
}

void RemoveFile(const std::string &path) { unlink(path.c_str()); }

unsigned FileMode(const std::string &path) { return StatOf(path).st_mode & 07777; }
uid_t FileUid(const std::string &path) { return StatOf(path).st_uid; }
gid_t FileGid(const std::string &path) { return StatOf(path).st_gid; }

bool IsDirectory(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void MakeDirs(const std::string &path, unsigned mode)
{
    std::filesystem::create_directories(path);
    chmod(path.c_str(), mode);
}

std::vector<std::string> ListDir(const std::string &path)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        // The project tree bound in at its own path (a checkout under /tmp,
        // say) is not part of the appliance.
        std::string p = it->path().string();
        bool project = false;
        for (std::string proj : {VAKO_SOURCE_DIR, VAKO_BINARY_DIR})
            project |= proj == p || proj.starts_with(p + "/");
        if (!project)
            names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<SyslogLine> SyslogLines()
{
    std::string content = SyncSyslog();
    std::vector<SyslogLine> lines;
    std::string_view rest(content);
    while (!rest.empty()) {
        size_t nl = rest.find('\n');
        std::string_view line = rest.substr(0, nl);
        rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
        if (line.size() < 2 || line[1] != '\t')
            continue;
        std::string text = Unescape(line.substr(2));
        if (text.starts_with(kSyncPrefix))
            continue;
        lines.push_back({line[0] - '0', std::move(text)});
    }
    return lines;
}

std::vector<std::string> SyslogTexts()
{
    std::vector<std::string> texts;
    for (SyslogLine &l : SyslogLines())
        texts.push_back(std::move(l.text));
    return texts;
}

bool SyslogHas(const std::string &text)
{
    std::vector<std::string> texts = SyslogTexts();
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

void SyslogClear()
{
    SyncSyslog();
    if (truncate(kSyslogFile, 0) != 0)
        throw std::runtime_error("cannot empty " + std::string(kSyslogFile));
}

RunResult Run(const std::vector<std::string> &argv, const RunOptions &opt)
{
    if (argv.empty())
        throw std::invalid_argument("Run: no program");
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
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
    close(out[1]);
    close(err[1]);
    RunResult r{0, {}, {}};
    ReadAll(out[0], err[0], r.out, r.err);
    int st;
    while (waitpid(pid, &st, 0) < 0)
        if (errno != EINTR)
            throw std::runtime_error("waitpid: " + std::string(strerror(errno)));
    r.status = Encode(st);
    return r;
}

namespace {

// /proc/net is the calling process's own /proc/<pid>/net: a tmpfs there is
// seen by this process only.  Each entry it hides becomes a link to the same
// entry seen through the thread's directory, which the tmpfs does not cover.
void MaskProcNet()
{
    const std::string dir = "/proc/self/net";
    if (vakoappliance::IsTmpfs(dir))
        return;
    std::vector<std::string> names = ListDir(dir);
    if (mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=755") != 0)
        throw std::runtime_error("cannot mask " + dir + ": " + strerror(errno));
    for (const std::string &name : names)
        if (symlink(("/proc/thread-self/net/" + name).c_str(), (dir + "/" + name).c_str()) != 0)
            throw std::runtime_error("cannot link " + dir + "/" + name + ": " + strerror(errno));
}

} // namespace

void MountKernelFile(const std::string &path, const std::string &content)
{
    std::string dir;
    for (const char *d : {"/proc/sys/kernel", "/sys/block", "/sys/class/net", "/proc/net/bonding"})
        if (path.starts_with(std::string(d) + "/"))
            dir = d;
    if (dir.empty())
        throw std::invalid_argument("MountKernelFile: not below /proc/sys/kernel, /sys/block, /sys/class/net or "
                                    "/proc/net/bonding: " + path);
    if (!InSandbox())
        throw std::runtime_error("MountKernelFile: only inside the sandbox");
    if (dir == "/proc/net/bonding")
        MaskProcNet();
    else if (!vakoappliance::MaskKernelDir(dir, dir != "/sys/block"))
        throw std::runtime_error("cannot mask " + dir + ": " + strerror(errno));
    WriteFile(path, content);
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

} // namespace vakotest
