// Stand-in for the appliance's account daemon: scemd.
//
// Writes its pid to /var/run/scemd.pid ("%u\n"), then "ready\n" on its
// standard output (which it closes), and from then on records every signal
// it receives as one line "<number>\n" appended to /.sandbox/scemd.signals.
// SIGTERM ends it: the signals sent before it are recorded first, whatever
// their numbers, and SIGTERM itself is not recorded.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr char kPidFile[] = "/var/run/scemd.pid";
constexpr char kRecord[] = "/.sandbox/scemd.signals";

void Record(int sig)
{
    int fd = open(kRecord, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    dprintf(fd, "%d\n", sig);
    close(fd);
}

} // namespace

int main()
{
    // Every signal waits for sigwaitinfo: none can end the daemon unrecorded.
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, nullptr);
    mkdir("/var/run", 0755);
    FILE *pid = fopen(kPidFile, "w");
    if (!pid || fprintf(pid, "%u\n", static_cast<unsigned>(getpid())) < 0 || fclose(pid) != 0) {
        perror(kPidFile);
        return 1;
    }
    if (write(1, "ready\n", 6) != 6)
        return 1;
    close(1);
    for (;;) {
        siginfo_t info;
        int sig = sigwaitinfo(&all, &info);
        if (sig < 0)
            continue;
        if (sig != SIGTERM) {
            Record(sig);
            continue;
        }
        // A signal sent before SIGTERM is pending now: record it too.
        const struct timespec none = {0, 0};
        while ((sig = sigtimedwait(&all, &info, &none)) > 0)
            if (sig != SIGTERM)
                Record(sig);
        return 0;
    }
}
