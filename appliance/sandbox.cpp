// vako-sandbox: runs one command inside a throwaway appliance.
//
// The product code uses the appliance's fixed paths (/etc/passwd,
// /tmp/lock, /dev/mtd7, ...).  Here it must never reach those of the build
// machine, so the command runs in private mount, PID, network, IPC, UTS and
// time namespaces, chrooted into an overlay of the host root whose writes
// land in a scratch directory that is thrown away.
//
//   vako-sandbox [options] -- command [args...]
//     --uptime SECONDS   CLOCK_BOOTTIME (and so the uptime) starts there
//     --fixture DIR      DIR/root copied over /, DIR/kernel/proc-sys-kernel,
//                        DIR/kernel/sys-block and DIR/kernel/sys-class-net
//                        as tmpfs over their dirs
//     --cwd DIR          working directory of the command (default /)
//     --out DIR          after the run, copy the --out-path trees into DIR
//     --out-path P       (repeatable; default /tmp /var/log /etc /.sandbox)
//     --scratch DIR, --keep-scratch
//     --emulate ARCH     programs of ARCH (i386) run under qemu-user: the
//                        appliance gets a user namespace of its own (ids
//                        mapped as they are), whose binfmt_misc hands them
//                        to appliance/qemu-run; this machine's is untouched.
//                        Its upper layer is in memory (no --keep-scratch)
//
// The exit status is the command's, 128+signal when it was killed, 125 when
// the appliance could not be set up.
//
// Inside: lo, eth0 and eth1 (a veth pair) up; fresh tmpfs on /tmp, /dev
// (a few nodes, /dev/console a plain file) and /.sandbox; the stand-in
// programs of appliance/standins/root and <build>/appliance/standins-root;
// vako-syslogd on /dev/log writing /.sandbox/syslog.  The command gets the
// caller's environment, LD_PRELOAD of the kernel stand-in with
// VAKO_KSTUB_DIR=/.sandbox/kstub when it is built, and ASAN_OPTIONS with
// verify_asan_link_order=0.

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/veth.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/kmask.h"
#include "common/timens.h"

namespace fs = std::filesystem;

extern char **environ;

namespace {

// The stand-in as LD_PRELOAD names it: the dynamic linker expands $LIB to
// its own processor's directory, so 32-bit and 64-bit processes (and those
// of another processor under qemu-user) each load their own build.
constexpr const char *kKstubPreload = VAKO_KSTUB_PRELOAD;
// This machine's build of it: present when the stand-in is built.
constexpr const char *kKstubFile = VAKO_KSTUB_FILE;
constexpr const char *kSyslogd = VAKO_SYSLOGD;
constexpr const char *kStandinsSource = VAKO_SOURCE_DIR "/appliance/standins/root";
constexpr const char *kStandinsBuilt = VAKO_BINARY_DIR "/appliance/standins-root";
// qemu-run by the name that tells it the kernel started it for a program of
// ARCH: a link appliance/qemu-binfmt-<ARCH>, seen in every appliance, nested
// ones too.
constexpr const char *kQemuBinfmt = VAKO_SOURCE_DIR "/appliance/qemu-binfmt-";

[[noreturn]] void Die(const std::string &what)
{
    fprintf(stderr, "vako-sandbox: %s: %s\n", what.c_str(), strerror(errno));
    _exit(125);
}

[[noreturn]] void Usage(const std::string &why)
{
    fprintf(stderr,
            "vako-sandbox: %s\n"
            "usage: vako-sandbox [--uptime SECONDS] [--fixture DIR] [--cwd DIR] [--out DIR]\n"
            "                    [--out-path P]... [--scratch DIR] [--keep-scratch] [--emulate ARCH]\n"
            "                    -- command [args...]\n",
            why.c_str());
    exit(125);
}

void Mount(const char *src, const std::string &dst, const char *type, unsigned long flags, const char *data = nullptr)
{
    if (mount(src, dst.c_str(), type, flags, data) != 0)
        Die("mount " + dst);
}

void MkdirP(const std::string &p)
{
    std::error_code ec;
    fs::create_directories(p, ec);
    if (ec)
        Die("mkdir " + p);
}

struct Options {
    std::string scratch;
    bool keepScratch = false;
    std::optional<double> uptime;
    std::string fixture;
    std::string cwd = "/";
    std::string out;
    std::vector<std::string> outPaths;
    std::string emulate;
    std::vector<char *> argv;
};

// The processors --emulate knows (each with its link kQemuBinfmt<arch>): the
// binfmt_misc magic and mask of their programs (ELF header up to e_machine),
// as Debian's qemu-user registers them.
struct Emulated {
    const char *arch, *magic, *mask;
};
constexpr Emulated kEmulated[] = {
    {"i386", R"(\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00)",
     R"(\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff)"},
};

const Emulated *FindEmulated(const std::string &arch)
{
    for (const Emulated &e : kEmulated)
        if (arch == e.arch)
            return &e;
    return nullptr;
}

std::string Absolute(const std::string &p, bool mustExist)
{
    std::error_code ec;
    fs::path a = mustExist ? fs::canonical(p, ec) : fs::absolute(p, ec);
    if (ec)
        Usage(p + ": " + ec.message());
    return a.lexically_normal().string();
}

Options Parse(int argc, char **argv)
{
    Options o;
    int i = 1;
    auto value = [&](const std::string &opt) -> std::string {
        if (i + 1 >= argc)
            Usage(opt + " needs a value");
        return argv[++i];
    };
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        } else if (a == "--scratch") {
            o.scratch = value(a);
        } else if (a == "--keep-scratch") {
            o.keepScratch = true;
        } else if (a == "--uptime") {
            std::string v = value(a);
            char *end = nullptr;
            errno = 0;
            double d = strtod(v.c_str(), &end);
            if (v.empty() || *end || errno || !std::isfinite(d) || d < 0)
                Usage("bad --uptime " + v);
            o.uptime = d;
        } else if (a == "--fixture") {
            o.fixture = Absolute(value(a), true);
        } else if (a == "--cwd") {
            o.cwd = value(a);
        } else if (a == "--out") {
            o.out = Absolute(value(a), false);
        } else if (a == "--out-path") {
            std::string p = value(a);
            if (p.empty() || p[0] != '/')
                Usage("--out-path wants an absolute path");
            o.outPaths.push_back(p);
        } else if (a == "--emulate") {
            o.emulate = value(a);
            if (!FindEmulated(o.emulate))
                Usage("cannot emulate " + o.emulate);
        } else {
            Usage("unknown option " + a);
        }
    }
    for (; i < argc; ++i)
        o.argv.push_back(argv[i]);
    if (o.argv.empty())
        Usage("no command");
    o.argv.push_back(nullptr);
    if (o.outPaths.empty())
        o.outPaths = {"/tmp", "/var/log", "/etc", "/.sandbox"};
    if (!o.emulate.empty() && o.keepScratch)
        Usage("--keep-scratch and --emulate: the upper layer of an emulating appliance is in memory");
    return o;
}

// Loopback and the veth pair eth0/eth1, all up.
class Netlink {
public:
    Netlink()
    {
        fd_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (fd_ < 0)
            Die("netlink socket");
    }
    ~Netlink() { close(fd_); }

    void AddVeth(const char *name, const char *peer)
    {
        memset(buf_, 0, sizeof(buf_));
        auto *h = reinterpret_cast<nlmsghdr *>(buf_);
        h->nlmsg_type = RTM_NEWLINK;
        h->nlmsg_flags = NLM_F_REQUEST | NLM_F_CREATE | NLM_F_EXCL | NLM_F_ACK;
        h->nlmsg_seq = 1;
        h->nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
        Attr(IFLA_IFNAME, name, strlen(name) + 1);
        size_t info = Begin(IFLA_LINKINFO);
        Attr(IFLA_INFO_KIND, "veth", 4);
        size_t data = Begin(IFLA_INFO_DATA);
        size_t peerAt = Begin(VETH_INFO_PEER);
        ifinfomsg ifi{};
        Raw(&ifi, sizeof(ifi));
        Attr(IFLA_IFNAME, peer, strlen(peer) + 1);
        End(peerAt);
        End(data);
        End(info);
        if (send(fd_, buf_, h->nlmsg_len, 0) < 0)
            Die("netlink send");
        char reply[1024];
        ssize_t n = recv(fd_, reply, sizeof(reply), 0);
        auto *r = reinterpret_cast<nlmsghdr *>(reply);
        if (n < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr))) || r->nlmsg_type != NLMSG_ERROR)
            Die("netlink reply");
        int err = reinterpret_cast<nlmsgerr *>(NLMSG_DATA(r))->error;
        if (err != 0) {
            errno = -err;
            Die(std::string("create veth ") + name + "/" + peer);
        }
    }

private:
    void Raw(const void *p, size_t n)
    {
        auto *h = reinterpret_cast<nlmsghdr *>(buf_);
        memcpy(buf_ + h->nlmsg_len, p, n);
        h->nlmsg_len = NLMSG_ALIGN(h->nlmsg_len + n);
    }
    void Attr(unsigned short type, const void *p, size_t n)
    {
        rtattr a{static_cast<unsigned short>(RTA_LENGTH(n)), type};
        auto *h = reinterpret_cast<nlmsghdr *>(buf_);
        memcpy(buf_ + h->nlmsg_len, &a, sizeof(a));
        memcpy(buf_ + h->nlmsg_len + RTA_LENGTH(0), p, n);
        h->nlmsg_len = NLMSG_ALIGN(h->nlmsg_len + RTA_SPACE(n));
    }
    size_t Begin(unsigned short type)
    {
        size_t at = reinterpret_cast<nlmsghdr *>(buf_)->nlmsg_len;
        Attr(type, nullptr, 0);
        return at;
    }
    void End(size_t at)
    {
        reinterpret_cast<rtattr *>(buf_ + at)->rta_len = static_cast<unsigned short>(
            reinterpret_cast<nlmsghdr *>(buf_)->nlmsg_len - at);
    }

    int fd_;
    alignas(nlmsghdr) char buf_[512];
};

void LinkUp(const char *name)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", name);
    if (s < 0 || ioctl(s, SIOCGIFFLAGS, &ifr) != 0)
        Die(std::string("get flags of ") + name);
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0)
        Die(std::string("bring up ") + name);
    close(s);
}

void MakeNetwork()
{
    LinkUp("lo");
    Netlink().AddVeth("eth0", "eth1");
    LinkUp("eth0");
    LinkUp("eth1");
}

void BindNode(const std::string &node, const std::string &dst)
{
    int fd = open(dst.c_str(), O_CREAT | O_WRONLY, 0666);
    if (fd < 0)
        Die("create " + dst);
    close(fd);
    Mount(node.c_str(), dst, nullptr, MS_BIND);
}

// Device nodes the appliance's programs need; bound from the host's.
void MakeDev(const std::string &root, const Options &o)
{
    std::string dev = root + "/dev";
    Mount("tmpfs", dev, "tmpfs", MS_NOSUID, "mode=755");
    for (const char *n : {"null", "zero", "full", "random", "urandom", "tty"})
        BindNode(std::string("/dev/") + n, dev + "/" + n);
    // In a user namespace no device node can be made: the one that tests
    // make (for tap devices) is there already.
    if (!o.emulate.empty() && access("/dev/net/tun", F_OK) == 0) {
        MkdirP(dev + "/net");
        BindNode("/dev/net/tun", dev + "/net/tun");
    }
    MkdirP(dev + "/pts");
    MkdirP(dev + "/shm");
    Mount("tmpfs", dev + "/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
    symlink("/proc/self/fd", (dev + "/fd").c_str());
    symlink("/proc/self/fd/0", (dev + "/stdin").c_str());
    symlink("/proc/self/fd/1", (dev + "/stdout").c_str());
    symlink("/proc/self/fd/2", (dev + "/stderr").c_str());
    // The console is a plain file here, so that what is written to it can be read.
    int fd = open((dev + "/console").c_str(), O_CREAT | O_WRONLY, 0600);
    if (fd >= 0)
        close(fd);
}

// cp -a of one tree onto another, run chrooted so that symbolic links of the
// destination resolve inside the appliance.  Directories that exist already
// keep their own owner and mode (/tmp stays sticky); everything else is
// made with the source's type, owner, mode and times.
void CopyTree(const fs::path &src, const fs::path &dst);

void CopyTimes(const fs::path &dst, const struct stat &st)
{
    struct timespec t[2] = {st.st_atim, st.st_mtim};
    utimensat(AT_FDCWD, dst.c_str(), t, AT_SYMLINK_NOFOLLOW);
}

void CopyFile(const fs::path &src, const fs::path &dst, const struct stat &st)
{
    int in = open(src.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        Die("open " + src.string());
    int out = open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0)
        Die("create " + dst.string());
    char buf[65536];
    for (;;) {
        ssize_t n = read(in, buf, sizeof(buf));
        if (n < 0)
            Die("read " + src.string());
        if (n == 0)
            break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out, buf + done, static_cast<size_t>(n - done));
            if (w < 0)
                Die("write " + dst.string());
            done += w;
        }
    }
    // Owner before mode: chown clears the set-id bits.
    if (fchown(out, st.st_uid, st.st_gid) != 0 || fchmod(out, st.st_mode & 07777) != 0)
        Die("set owner and mode of " + dst.string());
    close(out);
    close(in);
}

void CopyEntry(const fs::path &src, const fs::path &dst)
{
    struct stat st, dt;
    if (lstat(src.c_str(), &st) != 0)
        Die("stat " + src.string());
    bool exists = lstat(dst.c_str(), &dt) == 0;
    if (S_ISDIR(st.st_mode)) {
        struct stat follow;
        if (exists && stat(dst.c_str(), &follow) == 0 && S_ISDIR(follow.st_mode)) {
            CopyTree(src, dst);
            return;
        }
        if (exists && unlink(dst.c_str()) != 0)
            Die("replace " + dst.string());
        if (mkdir(dst.c_str(), 0700) != 0)
            Die("mkdir " + dst.string());
        CopyTree(src, dst);
        if (lchown(dst.c_str(), st.st_uid, st.st_gid) != 0 || chmod(dst.c_str(), st.st_mode & 07777) != 0)
            Die("set owner and mode of " + dst.string());
        CopyTimes(dst, st);
        return;
    }
    if (exists) {
        std::error_code ec;
        if (S_ISDIR(dt.st_mode) ? fs::remove_all(dst, ec) == static_cast<std::uintmax_t>(-1) : unlink(dst.c_str()) != 0)
            Die("replace " + dst.string());
    }
    if (S_ISREG(st.st_mode)) {
        CopyFile(src, dst, st);
    } else if (S_ISLNK(st.st_mode)) {
        std::error_code ec;
        fs::path target = fs::read_symlink(src, ec);
        if (ec || symlink(target.c_str(), dst.c_str()) != 0)
            Die("symlink " + dst.string());
        if (lchown(dst.c_str(), st.st_uid, st.st_gid) != 0)
            Die("set owner of " + dst.string());
    } else {
        if (mknod(dst.c_str(), st.st_mode, st.st_rdev) != 0)
            Die("mknod " + dst.string());
        if (lchown(dst.c_str(), st.st_uid, st.st_gid) != 0 || chmod(dst.c_str(), st.st_mode & 07777) != 0)
            Die("set owner and mode of " + dst.string());
    }
    CopyTimes(dst, st);
}

// The project tree bound into the appliance, or a directory leading to it
// (a checkout under /tmp): never part of what is copied out.
bool gSkipProject = false;
bool IsProjectPath(const std::string &p)
{
    for (std::string proj : {VAKO_SOURCE_DIR, VAKO_BINARY_DIR})
        if (proj == p || proj.starts_with(p + "/"))
            return true;
    return false;
}

void CopyTree(const fs::path &src, const fs::path &dst)
{
    std::error_code ec;
    for (fs::directory_iterator it(src, ec), end; it != end; it.increment(ec)) {
        if (ec)
            break;
        if (gSkipProject && IsProjectPath(it->path().string()))
            continue;
        CopyEntry(it->path(), dst / it->path().filename());
    }
    if (ec)
        Die("read directory " + src.string() + ": " + ec.message());
}

// fork(); the child is chrooted into root (0 returned there).
pid_t ForkInRoot(const std::string &root)
{
    pid_t p = fork();
    if (p < 0)
        Die("fork");
    if (p == 0 && (chroot(root.c_str()) != 0 || chdir("/") != 0))
        Die("chroot");
    return p;
}

// Runs fn in a child chrooted into root and waits for it; directories
// opened before are reached there as /proc/self/fd/N.
template <class Fn> void InRoot(const std::string &root, Fn fn)
{
    pid_t p = ForkInRoot(root);
    if (p == 0) {
        umask(022);
        fn();
        _exit(0);
    }
    int st;
    while (waitpid(p, &st, 0) < 0)
        if (errno != EINTR)
            Die("wait");
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0)
        _exit(125);
}

std::string FdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

int OpenDir(const std::string &p)
{
    int fd = open(p.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT)
        Die("open " + p);
    return fd;
}

bool IsDir(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Stand-in programs, then the fixture over them (so that it can shadow one).
void Populate(const std::string &root, const Options &o)
{
    // Kernel directories, their trees in the fixture, and whether the mask
    // keeps what it hides.
    struct KernelDir {
        const char *path, *fixture;
        bool snapshot;
    };
    static constexpr KernelDir kKernelDirs[] = {{"/proc/sys/kernel", "/kernel/proc-sys-kernel", true},
                                                {"/sys/block", "/kernel/sys-block", false},
                                                {"/sys/class/net", "/kernel/sys-class-net", true}};
    if (!o.fixture.empty()) {
        for (const KernelDir &k : kKernelDirs)
            if (IsDir(o.fixture + k.fixture) && !vakoappliance::MaskKernelDir(root + k.path, k.snapshot))
                Die(std::string("mask ") + k.path);
    }
    int fixture = o.fixture.empty() ? -1 : OpenDir(o.fixture);
    InRoot(root, [&] {
        for (const char *dir : {kStandinsSource, kStandinsBuilt})
            if (IsDir(dir))
                CopyTree(dir, "/");
        if (fixture < 0)
            return;
        std::string f = FdPath(fixture);
        if (IsDir(f + "/root"))
            CopyTree(f + "/root", "/");
        for (const KernelDir &k : kKernelDirs)
            if (IsDir(f + k.fixture))
                CopyTree(f + k.fixture, k.path);
    });
    if (fixture >= 0)
        close(fixture);
}

void CopyOut(const std::string &root, const Options &o)
{
    MkdirP(o.out);
    int out = OpenDir(o.out);
    InRoot(root, [&] {
        gSkipProject = true;
        std::string base = FdPath(out);
        for (const std::string &p : o.outPaths) {
            struct stat st;
            if (lstat(p.c_str(), &st) != 0)
                continue;
            fs::path dst = base + p;
            std::error_code ec;
            fs::create_directories(dst.parent_path(), ec);
            CopyEntry(p, dst);
        }
    });
    close(out);
}

// The system-log stand-in on /dev/log, ready when this returns.
pid_t StartSyslogd(const std::string &root)
{
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        Die("pipe");
    pid_t p = ForkInRoot(root);
    if (p == 0) {
        close(ready[0]);
        int fd = dup(ready[1]);
        std::string arg = std::to_string(fd);
        char *const argv[] = {const_cast<char *>(kSyslogd), const_cast<char *>("--ready-fd"),
                              const_cast<char *>(arg.c_str()), nullptr};
        char *const envp[] = {const_cast<char *>("PATH=/usr/sbin:/usr/bin:/sbin:/bin"), nullptr};
        execve(kSyslogd, argv, envp);
        Die(std::string("exec ") + kSyslogd);
    }
    close(ready[1]);
    char c;
    ssize_t n;
    while ((n = read(ready[0], &c, 1)) < 0 && errno == EINTR) {
    }
    close(ready[0]);
    if (n != 1) {
        fprintf(stderr, "vako-sandbox: the system-log stand-in did not start\n");
        _exit(125);
    }
    return p;
}

std::vector<std::string> CommandEnv()
{
    std::vector<std::string> env;
    std::string preload, asan;
    for (char **e = environ; *e; ++e) {
        std::string_view v(*e);
        if (v.starts_with("LD_PRELOAD="))
            preload = v.substr(11);
        else if (v.starts_with("ASAN_OPTIONS="))
            asan = v.substr(13);
        else if (!v.starts_with("VAKO_KSTUB_DIR="))
            env.emplace_back(v);
    }
    if (access(kKstubFile, F_OK) == 0) {
        preload = preload.empty() ? std::string(kKstubPreload) : std::string(kKstubPreload) + ":" + preload;
        env.push_back("VAKO_KSTUB_DIR=/.sandbox/kstub");
    }
    if (!preload.empty())
        env.push_back("LD_PRELOAD=" + preload);
    // The preloaded stand-in comes before the sanitizer runtime.
    if (asan.find("verify_asan_link_order=") == std::string::npos)
        asan += (asan.empty() ? "" : ":") + std::string("verify_asan_link_order=0");
    env.push_back("ASAN_OPTIONS=" + asan);
    return env;
}

pid_t StartCommand(const std::string &root, const Options &o)
{
    std::vector<std::string> env = CommandEnv();
    std::vector<char *> envp;
    for (std::string &e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t p = ForkInRoot(root);
    if (p == 0) {
        if (chdir(o.cwd.c_str()) != 0)
            Die("chdir " + o.cwd);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        environ = envp.data();
        execvp(o.argv[0], o.argv.data());
        Die(std::string("exec ") + o.argv[0]);
    }
    return p;
}

int Encode(int st) { return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st); }

// The initial user namespace has this fixed inode (PROC_USER_INIT_INO).
bool InInitialUserNs()
{
    struct stat st;
    return stat("/proc/self/ns/user", &st) == 0 && st.st_ino == 0xEFFFFFFDU;
}

// Programs of e.arch go to qemu-run, in the appliance's own binfmt_misc;
// P keeps their argv[0], F opens the interpreter now, whatever the
// program's root later.
void RegisterEmulator(const std::string &root, const Emulated &e)
{
    std::string dir = root + "/proc/sys/fs/binfmt_misc";
    Mount("binfmt_misc", dir, "binfmt_misc", MS_NOSUID | MS_NODEV | MS_NOEXEC);
    std::string rule = std::string(":qemu-") + e.arch + ":M::" + e.magic + ":" + e.mask + ":" + kQemuBinfmt + e.arch +
                       ":PF";
    int fd = open((dir + "/register").c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0 || write(fd, rule.data(), rule.size()) != static_cast<ssize_t>(rule.size()))
        Die(std::string("register qemu-") + e.arch);
    close(fd);
}

// /.sandbox/qemu-<arch>, for the links that qemu-run names the emulator by,
// in an appliance that emulates, or that runs inside one (the binfmt_misc
// of the outer appliance's user namespace serves it as well).
void MakeEmulatorLinkDirs(const std::string &root, const Options &o)
{
    for (const Emulated &e : kEmulated) {
        std::string dir = std::string("/.sandbox/qemu-") + e.arch;
        if (o.emulate == e.arch || IsDir(dir))
            MkdirP(root + dir);
    }
}

// Waits for pid for at most ms milliseconds; reaps any other child meanwhile.
bool WaitFor(pid_t pid, int ms)
{
    for (int waited = 0; waited <= ms; waited += 5) {
        int st;
        pid_t p;
        while ((p = waitpid(-1, &st, WNOHANG)) > 0)
            if (p == pid)
                return true;
        if (p < 0 && errno == ECHILD)
            return true;
        usleep(5000);
    }
    return false;
}

// PID 1 of the new PID namespace: builds the appliance root, runs the
// command chrooted into it, reaps every orphan, and ends with the
// command's status.
int Init(const Options &o, const std::string &scratch)
{
    // Gone with the runner: the kernel then ends every process in here.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::string up = scratch + "/upper", work = scratch + "/work", root = scratch + "/root";
    MkdirP(up);
    MkdirP(work);
    MkdirP(root);

    if (unshare(CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWIPC | CLONE_NEWUTS) != 0)
        Die("unshare");
    Mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE);
    MakeNetwork();
    // Under --emulate the lower layer is a bind of this machine's root
    // without its submounts (Stage): a user namespace may not take one that
    // would uncover what they cover.  There overlayfs keeps its attributes
    // as user.* ones.
    std::string opts = "lowerdir=" + (o.emulate.empty() ? std::string("/") : scratch + "/lower") + ",upperdir=" + up +
                       ",workdir=" + work;
    if (!InInitialUserNs())
        opts += ",userxattr";
    Mount("overlay", root, "overlay", 0, opts.c_str());

    Mount("tmpfs", root + "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
    Mount("proc", root + "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC);
    Mount("sysfs", root + "/sys", "sysfs", MS_NOSUID | MS_NODEV | MS_NOEXEC);
    MakeDev(root, o);
    // Marks the appliance root; the sandbox's own files live here.
    MkdirP(root + "/.sandbox");
    Mount("tmpfs", root + "/.sandbox", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755");
    // The project tree is visible read-only at its own path, whatever mount
    // it is on (bound last, so that a checkout under /tmp stays visible).
    for (const char *proj : {VAKO_SOURCE_DIR, VAKO_BINARY_DIR}) {
        MkdirP(root + proj);
        Mount(proj, root + proj, nullptr, MS_BIND | MS_REC);
        Mount(nullptr, root + proj, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY | MS_REC);
    }
    if (!o.emulate.empty())
        RegisterEmulator(root, *FindEmulated(o.emulate));
    MakeEmulatorLinkDirs(root, o);
    Populate(root, o);

    pid_t syslogd = StartSyslogd(root);
    pid_t child = StartCommand(root, o);
    int result = 125;
    for (;;) {
        int st;
        pid_t p = wait(&st);
        if (p < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (p == syslogd)
            syslogd = -1;
        if (p == child) {
            result = Encode(st);
            break;
        }
    }
    // The stand-in drains what is queued before it goes; the limit only
    // ends a stand-in that hangs, however loaded the machine.
    if (syslogd > 0) {
        kill(syslogd, SIGTERM);
        if (!WaitFor(syslogd, 60000))
            kill(syslogd, SIGKILL);
    }
    kill(-1, SIGKILL);
    while (wait(nullptr) > 0 || errno == EINTR) {
    }
    if (!o.out.empty())
        CopyOut(root, o);
    return result;
}

// Enters a new user namespace with this machine's ids as they are: a
// helper outside maps them, as a process cannot map ids beyond its own.
void EnterUserNamespace()
{
    int go[2];
    if (pipe2(go, O_CLOEXEC) != 0)
        Die("pipe");
    std::string self = std::to_string(getpid());
    pid_t helper = fork();
    if (helper < 0)
        Die("fork");
    if (helper == 0) {
        close(go[1]);
        char c;
        if (read(go[0], &c, 1) != 1)
            _exit(1);
        constexpr char kAll[] = "0 0 4294967295";
        for (const char *map : {"/uid_map", "/gid_map"}) {
            int fd = open(("/proc/" + self + map).c_str(), O_WRONLY | O_CLOEXEC);
            if (fd < 0 || write(fd, kAll, sizeof kAll - 1) != sizeof kAll - 1)
                _exit(1);
            close(fd);
        }
        _exit(0);
    }
    close(go[0]);
    if (unshare(CLONE_NEWUSER) != 0)
        Die("unshare");
    int st;
    if (write(go[1], "x", 1) != 1 || waitpid(helper, &st, 0) != helper || !WIFEXITED(st) || WEXITSTATUS(st) != 0)
        Die("map the ids of the user namespace");
    close(go[1]);
}

// Between the runner and init under --emulate: the scratch directory on a
// tmpfs (a 32-bit program under qemu-user reads directories with 64-bit
// offsets, which those of this machine's file systems may not fit), the
// lower layer's bind, made while this process may still bind this
// machine's root alone; then the user namespace, and the PID namespace of
// init in it (so that the appliance may mount its /proc).  Ends with
// init's status.
int Stage(const Options &o, const std::string &scratch)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (unshare(CLONE_NEWNS) != 0)
        Die("unshare");
    Mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE);
    Mount("tmpfs", scratch, "tmpfs", 0, "mode=700");
    std::string lower = scratch + "/lower";
    MkdirP(lower);
    Mount("/", lower, nullptr, MS_BIND);
    EnterUserNamespace();
    if (unshare(CLONE_NEWPID) != 0)
        Die("unshare");
    pid_t init = fork();
    if (init < 0)
        Die("fork");
    if (init == 0)
        _exit(Init(o, scratch));
    int st;
    while (waitpid(init, &st, 0) < 0)
        if (errno != EINTR)
            Die("wait");
    return Encode(st);
}

constexpr const char *kScratchPrefix = "vako-sandbox.";
constexpr const char *kScratchLock = "/lock";

// Scratch directories of runs that were killed (a test's time-out): their
// lock is free, as no process of theirs is left.
void SweepStale(const std::string &base)
{
    std::error_code ec;
    for (fs::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->path().filename().string().starts_with(kScratchPrefix))
            continue;
        int fd = open((it->path().string() + kScratchLock).c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            continue;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            std::error_code rec;
            fs::remove_all(it->path(), rec);
        }
        close(fd);
    }
}

pid_t gInit = -1;

// An init ignores the other signals from outside its namespace; killing it
// ends every process of the appliance.
void Forward(int)
{
    if (gInit > 0)
        kill(gInit, SIGKILL);
}

} // namespace

int main(int argc, char **argv)
{
    Options o = Parse(argc, argv);
    if (geteuid() != 0) {
        fprintf(stderr, "vako-sandbox: must run as root (namespaces and mounts)\n");
        return 125;
    }
    std::string scratch = o.scratch;
    bool made = false;
    int lock = -1;
    if (scratch.empty()) {
        // Inside an appliance, / is an overlay already and cannot hold another upper layer.
        const char *env = getenv("VAKO_SCRATCH_BASE");
        std::string base = env ? env : access("/.sandbox", F_OK) == 0 ? "/tmp" : "/var/tmp";
        SweepStale(base);
        std::string tmpl = base + "/" + kScratchPrefix + "XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data()))
            Die("mkdtemp");
        scratch = buf.data();
        made = true;
        // Held by this process (and init) while the run lasts.
        // Named only once locked, so that no sweep takes it for stale.
        std::string staged = scratch + kScratchLock + ".new";
        lock = open(staged.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lock >= 0 && (flock(lock, LOCK_EX) != 0 || rename(staged.c_str(), (scratch + kScratchLock).c_str()) != 0))
            Die("lock " + scratch);
    } else {
        scratch = Absolute(scratch, false);
    }

    // PID and time namespaces take effect for the children; the mounts are
    // made in init's own mount namespace, so they vanish with it and the
    // scratch directory is plain files again when it is removed below.
    auto removeScratch = [&] {
        std::error_code ec;
        if (made)
            fs::remove_all(scratch, ec);
        else
            for (const char *sub : {"/upper", "/work", "/root", "/lower"})
                fs::remove_all(scratch + sub, ec);
    };
    auto fail = [&](const char *what) {
        int err = errno;
        removeScratch();
        errno = err;
        Die(what);
    };
    // Under --emulate the PID namespace is made in the appliance's user
    // namespace (Stage).
    if (unshare(o.emulate.empty() ? CLONE_NEWPID | CLONE_NEWTIME : CLONE_NEWTIME) != 0)
        fail("unshare");
    if (o.uptime && !vakoappliance::SetUptimeOffset(*o.uptime))
        fail("timens_offsets");

    pid_t init = fork();
    if (init < 0)
        fail("fork");
    if (init == 0)
        _exit(o.emulate.empty() ? Init(o, scratch) : Stage(o, scratch));
    gInit = init;
    struct sigaction sa {};
    sa.sa_handler = Forward;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(sig, &sa, nullptr);

    int st = 0;
    while (waitpid(init, &st, 0) < 0 && errno == EINTR) {
    }
    int result = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    if (!o.keepScratch)
        removeScratch();
    else if (lock >= 0)
        unlink((scratch + kScratchLock).c_str()); // kept on purpose: no sweep
    return result;
}
