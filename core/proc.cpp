#include "slib/proc.h"
#include "slib/error.h"
#include "slib/lock.h"
#include "slibcxx/raii.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr char kDevNull[] = "/dev/null";
constexpr char kRootDir[] = "/";
// The operation's own source name, recorded with its error codes.
constexpr const char *kSrcExec = "proc_exec";

[[noreturn]] void ExecChild(const char *szPath, const char *szArg1, const char *szArg2, const char *szArg3,
                            const char *szArg4)
{
    int fd = open(kDevNull, O_RDWR);
    if (fd >= 0) {
        dup2(fd, STDIN_FILENO);
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        if (fd > STDERR_FILENO)
            close(fd);
    }
    SLIBFileLockCloseAll();
    setsid();
    if (chdir(kRootDir) != 0) {
        // Run all the same; the program gets what it gets.
    }
    clearenv();
    execl(szPath, szPath, szArg1, szArg2, szArg3, szArg4, static_cast<char *>(nullptr));
    // Never exit(): that would flush the parent's stdio buffers a second time.
    _exit(255);
}

int WaitFor(pid_t pid)
{
    int status = 0;
    pid_t r;
    while ((r = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (r < 0)
        return errno == ECHILD ? 0 : -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

extern "C" {

int SLIBProcExec(const char *szPath, const char *szArg1, const char *szArg2, const char *szArg3, const char *szArg4)
{
    if (!szPath) {
        SLIB_ERR_IN(kSrcExec, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    // With SIGCHLD ignored the child would be reaped behind our back and a
    // failing program reported as 0: default action for the call.
    struct sigaction dfl = {}, old = {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(SIGCHLD, &dfl, &old);

    int result = -1;
    pid_t pid = fork();
    if (pid == 0)
        ExecChild(szPath, szArg1, szArg2, szArg3, szArg4);
    if (pid > 0)
        result = WaitFor(pid);

    sigaction(SIGCHLD, &old, nullptr);
    if (result == -1)
        SLIB_ERR_IN(kSrcExec, SLIB_ERR_EXEC);
    return result;
}

int SLIBProcPidFileRead(const char *szPath)
{
    if (!szPath)
        return -1;
    slib::FilePtr fp(fopen(szPath, "re"));
    if (!fp)
        return -1;
    // Digits only and within range: a sign or an overflow must never turn
    // into a negative pid, which kill() takes for a process group.  64 bits
    // on every processor, so that the step past INT_MAX cannot overflow.
    int64_t pid = 0;
    int c;
    while ((c = getc(fp.get())) != EOF && isspace(c)) {
    }
    for (; c != EOF && isdigit(c); c = getc(fp.get())) {
        pid = pid * 10 + (c - '0');
        if (pid > INT_MAX) {
            pid = 0;
            break;
        }
    }
    return static_cast<int>(pid);
}

} // extern "C"
