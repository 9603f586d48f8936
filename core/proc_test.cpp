#include "slib/proc.h"
#include "slib/error.h"
#include "slib/lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "vakotest/files.h"

using vakotest::ReadFile;
using vakotest::WriteFile;

namespace {

TEST(ProcExec, CopiesWithCp)
{
    WriteFile("/tmp/src/a/b.txt", "payload\n");
    EXPECT_EQ(SLIBProcExec("/bin/cp", "-Rf", "/tmp/src", "/tmp/dst", nullptr), 0);
    EXPECT_EQ(ReadFile("/tmp/dst/a/b.txt"), "payload\n");
}

TEST(ProcExec, ExitStatus)
{
    WriteFile("/tmp/not-executable", "#!/bin/sh\nexit 0\n", 0644);
    struct Case {
        const char *path, *arg1, *arg2;
        int result;
    } cases[] = {
        {"/bin/true", nullptr, nullptr, 0},
        {"/bin/false", nullptr, nullptr, 1},
        {"/bin/sh", "-c", "exit 7", 7},
        {"/bin/sh", "-c", "exit 255", 255},
        {"/no/such/program", nullptr, nullptr, 255},
        {"/tmp/not-executable", nullptr, nullptr, 255},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        SLIBErrorSet(0);
        EXPECT_EQ(SLIBProcExec(c.path, c.arg1, c.arg2, nullptr, nullptr), c.result);
        EXPECT_EQ(SLIBErrorGet(), 0);
    }
}

TEST(ProcExec, KilledBySignalIsFailure)
{
    EXPECT_EQ(SLIBProcExec("/bin/sh", "-c", "kill -KILL $$", nullptr, nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x2A00);
    EXPECT_STREQ(SLIBErrorGetFile(), "proc_exec");
}

TEST(ProcExec, NullPathIsRefused)
{
    EXPECT_EQ(SLIBProcExec(nullptr, "x", nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
}

TEST(ProcExec, ArgumentsEndAtFirstNull)
{
    WriteFile("/tmp/args.sh", "#!/bin/sh\nprintf '%s|' \"$0\" \"$#\" \"$@\" > /tmp/args.out\n", 0755);
    struct Case {
        const char *a1, *a2, *a3, *a4;
        const char *seen;
    } cases[] = {
        {"one", "two", nullptr, "four", "/tmp/args.sh|2|one|two|"},
        {"a b", "c", "d", "e", "/tmp/args.sh|4|a b|c|d|e|"},
        {nullptr, "x", "y", "z", "/tmp/args.sh|0|"},
        {"", nullptr, nullptr, nullptr, "/tmp/args.sh|1||"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.seen);
        ASSERT_EQ(SLIBProcExec("/tmp/args.sh", c.a1, c.a2, c.a3, c.a4), 0);
        EXPECT_EQ(ReadFile("/tmp/args.out"), c.seen);
    }
}

TEST(ProcExec, ChildIsDetached)
{
    WriteFile("/tmp/probe.sh",
              "#!/bin/sh\n"
              "/bin/cat /proc/$$/environ > /tmp/r.environ\n"
              "/bin/pwd -P > /tmp/r.cwd\n"
              "/bin/cat > /tmp/r.stdin\n"
              "std=$(/bin/readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2)\n"
              "echo \"$std\" > /tmp/r.std\n"
              "/bin/ls -l /proc/$$/fd/ > /tmp/r.fds\n"
              "echo $$ > /tmp/r.pid\n"
              "/usr/bin/cut -d' ' -f6 /proc/$$/stat > /tmp/r.sid\n"
              "echo to-stdout; echo to-stderr >&2\n",
              0755);
    ASSERT_EQ(ErrSLIBFileLock(0x806, 5), 0);
    setenv("LEAKED", "1", 1);
    ASSERT_EQ(chdir("/tmp"), 0);
    // Our stdin holds data; our stdout and stderr go to a file.
    int in[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(write(in[1], "leak\n", 5), 5);
    close(in[1]);
    fflush(nullptr);
    int saved[3] = {dup(0), dup(1), dup(2)};
    int out = open("/tmp/caller.out", O_CREAT | O_TRUNC | O_WRONLY, 0644);
    dup2(in[0], 0);
    dup2(out, 1);
    dup2(out, 2);
    int rc = SLIBProcExec("/tmp/probe.sh", nullptr, nullptr, nullptr, nullptr);
    for (int fd = 0; fd < 3; ++fd) {
        dup2(saved[fd], fd);
        close(saved[fd]);
    }
    close(out);
    close(in[0]);
    ASSERT_EQ(rc, 0);

    EXPECT_EQ(ReadFile("/tmp/caller.out"), "");
    EXPECT_EQ(ReadFile("/tmp/r.environ"), "");
    EXPECT_EQ(ReadFile("/tmp/r.cwd"), "/\n");
    EXPECT_EQ(ReadFile("/tmp/r.stdin"), "");
    EXPECT_EQ(ReadFile("/tmp/r.std"), "/dev/null\n/dev/null\n/dev/null\n");
    EXPECT_EQ(ReadFile("/tmp/r.fds").find("/tmp/lock/"), std::string::npos);
    EXPECT_EQ(ReadFile("/tmp/r.sid"), ReadFile("/tmp/r.pid"));
    EXPECT_EQ(ErrSLIBFileUnlock(0x800), 0);
}

TEST(ProcExec, FailedExecLeavesParentBuffersAlone)
{
    FILE *fp = fopen("/tmp/buffered.txt", "w");
    ASSERT_NE(fp, nullptr);
    setvbuf(fp, nullptr, _IOFBF, 4096);
    fputs("once", fp);
    EXPECT_EQ(SLIBProcExec("/no/such/program", nullptr, nullptr, nullptr, nullptr), 255);
    fclose(fp);
    EXPECT_EQ(ReadFile("/tmp/buffered.txt"), "once");
}

TEST(ProcExec, IgnoredSigchldStillGivesStatusAndIsRestored)
{
    signal(SIGCHLD, SIG_IGN);
    EXPECT_EQ(SLIBProcExec("/bin/false", nullptr, nullptr, nullptr, nullptr), 1);
    struct sigaction now = {};
    sigaction(SIGCHLD, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);

    struct sigaction nocldwait = {};
    nocldwait.sa_handler = SIG_DFL;
    nocldwait.sa_flags = SA_NOCLDWAIT;
    sigaction(SIGCHLD, &nocldwait, nullptr);
    EXPECT_EQ(SLIBProcExec("/bin/sh", "-c", "exit 3", nullptr, nullptr), 3);
    sigaction(SIGCHLD, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    EXPECT_TRUE(now.sa_flags & SA_NOCLDWAIT);
}

volatile sig_atomic_t gAlarms = 0;
void OnAlarm(int) { gAlarms = gAlarms + 1; }

TEST(ProcExec, InterruptedWaitIsRetried)
{
    struct sigaction sa = {};
    sa.sa_handler = OnAlarm; // no SA_RESTART: waitpid sees EINTR
    sigaction(SIGALRM, &sa, nullptr);
    struct itimerval it = {{0, 100000}, {0, 100000}};
    setitimer(ITIMER_REAL, &it, nullptr);
    int rc = SLIBProcExec("/bin/sh", "-c", "/bin/sleep 0.5; exit 4", nullptr, nullptr);
    struct itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    EXPECT_EQ(rc, 4);
    EXPECT_GE(gAlarms, 2);
}

TEST(ProcPidFile, Read)
{
    struct Case {
        const char *content;
        int pid;
    } cases[] = {
        {"1234\n", 1234},
        {"1234", 1234},
        {"  77 \n", 77},
        {"", 0},
        {"abc\n", 0},
        {"1\n", 1},
        {"2147483647\n", INT_MAX},
        // Never a negative number: kill() would take it for a process group.
        {"-5\n", 0},
        {"4294967295\n", 0},
        {"99999999999999999999\n", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.content);
        WriteFile("/tmp/d.pid", c.content);
        EXPECT_EQ(SLIBProcPidFileRead("/tmp/d.pid"), c.pid);
    }
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBProcPidFileRead("/tmp/missing.pid"), -1);
    EXPECT_EQ(SLIBProcPidFileRead(nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0);
}

} // namespace
