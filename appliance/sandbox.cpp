// vako-sandbox: runs one command inside a throwaway appliance.
//
// The product code uses the appliance's fixed paths (/etc/passwd,
// /tmp/lock, /dev/mtd7, ...).  Here it must never reach those of the build
// machine, so the command runs in private mount, PID, network, IPC, UTS and
// time namespaces, chrooted into an overlay of the host root whose writes
// land in a scratch directory that is thrown away.
//
//   vako-sandbox [--scratch DIR] [--keep-scratch] -- command [args...]

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

[[noreturn]] void Die(const std::string &what)
{
    fprintf(stderr, "vako-sandbox: %s: %s\n", what.c_str(), strerror(errno));
    _exit(125);
}

void Mount(const char *src, const std::string &dst, const char *type, unsigned long flags,
           const char *data = nullptr)
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
    std::vector<char *> argv;
};

Options Parse(int argc, char **argv)
{
    Options o;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        } else if (a == "--scratch" && i + 1 < argc) {
            o.scratch = argv[++i];
        } else if (a == "--keep-scratch") {
            o.keepScratch = true;
        } else {
            fprintf(stderr, "vako-sandbox: unknown option %s\n", a.c_str());
            exit(125);
        }
    }
    for (; i < argc; ++i)
        o.argv.push_back(argv[i]);
    if (o.argv.empty()) {
        fprintf(stderr, "usage: vako-sandbox [--scratch DIR] [--keep-scratch] -- command [args...]\n");
        exit(125);
    }
    o.argv.push_back(nullptr);
    return o;
}

// Device nodes the appliance's programs need; bound from the host's.
void MakeDev(const std::string &root)
{
    std::string dev = root + "/dev";
    Mount("tmpfs", dev, "tmpfs", MS_NOSUID, "mode=755");
    for (const char *n : {"null", "zero", "full", "random", "urandom", "tty"}) {
        std::string p = dev + "/" + n;
        int fd = open(p.c_str(), O_CREAT | O_WRONLY, 0666);
        if (fd < 0)
            Die("create " + p);
        close(fd);
        Mount((std::string("/dev/") + n).c_str(), p, nullptr, MS_BIND);
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

// Runs as PID 1 of the new PID namespace: builds the appliance root, starts
// the command chrooted into it, reaps every orphan, and ends with the
// command's status.
int Init(const Options &o, const std::string &scratch)
{
    std::string up = scratch + "/upper", work = scratch + "/work", root = scratch + "/root";
    MkdirP(up);
    MkdirP(work);
    MkdirP(root);

    if (unshare(CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWIPC | CLONE_NEWUTS) != 0)
        Die("unshare");
    Mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE);
    std::string opts = "lowerdir=/,upperdir=" + up + ",workdir=" + work;
    Mount("overlay", root, "overlay", 0, opts.c_str());

    // The project tree is visible read-only at its own path, whatever mount it is on.
    for (const char *proj : {VAKO_SOURCE_DIR, VAKO_BINARY_DIR}) {
        MkdirP(root + proj);
        Mount(proj, root + proj, nullptr, MS_BIND | MS_REC);
        Mount(nullptr, root + proj, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY | MS_REC);
    }

    Mount("tmpfs", root + "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
    Mount("proc", root + "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC);
    Mount("sysfs", root + "/sys", "sysfs", MS_NOSUID | MS_NODEV | MS_NOEXEC);
    MakeDev(root);
    // Marks the appliance root; the sandbox's own files live here.
    MkdirP(root + "/.sandbox");

    pid_t child = fork();
    if (child < 0)
        Die("fork");
    if (child == 0) {
        if (chroot(root.c_str()) != 0 || chdir("/") != 0)
            Die("chroot");
        execvp(o.argv[0], o.argv.data());
        Die(std::string("exec ") + o.argv[0]);
    }
    int status = 0, result = 125;
    for (;;) {
        int st;
        pid_t p = wait(&st);
        if (p < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (p == child) {
            status = st;
            result = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        }
    }
    (void)status;
    return result;
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
    if (scratch.empty()) {
        std::string tmpl = (getenv("VAKO_SCRATCH_BASE") ? getenv("VAKO_SCRATCH_BASE") : "/var/tmp");
        tmpl += "/vako-sandbox.XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data()))
            Die("mkdtemp");
        scratch = buf.data();
        made = true;
    }

    // PID and time namespaces take effect for the children; the mounts are
    // made in init's own mount namespace, so they vanish with it and the
    // scratch directory is plain files again when it is removed below.
    if (unshare(CLONE_NEWPID | CLONE_NEWTIME) != 0)
        Die("unshare");

    pid_t init = fork();
    if (init < 0)
        Die("fork");
    if (init == 0)
        _exit(Init(o, scratch));

    int st = 0;
    while (waitpid(init, &st, 0) < 0 && errno == EINTR) {
    }
    int result = WIFEXITED(st) ? WEXITSTATUS(st) : 125;
    if (made && !o.keepScratch) {
        std::error_code ec;
        fs::remove_all(scratch, ec);
    }
    return result;
}
