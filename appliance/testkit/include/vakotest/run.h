// Programs and child processes of a test.
#pragma once

#include <sys/types.h>

#include <stdint.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vakotest {

// A program run in a child process.  Inside a test body call it as
// vakotest::Run: gtest's Test::Run would hide it.
struct RunOptions {
    std::string cwd = {};              // empty: the caller's
    std::vector<std::string> env = {}; // "NAME=value", added to (or replacing in) the caller's
    bool wholeEnv = false;             // true: env is the whole environment, nothing of the caller's
    std::optional<double> uptime = {}; // seconds: its own time namespace, uptime starting there
    // A guard against a hang (far beyond any slow machine; never a measure):
    // after this many seconds the program and its children are killed,
    // status 128+9.
    std::optional<unsigned> hangSeconds = {};
};
struct RunResult {
    int status; // exit status, 128+signal when killed
    std::string out, err;
};
// argv[0] is the program (looked up in PATH when it holds no '/'); stdin
// reads end of file.
RunResult Run(const std::vector<std::string> &argv, const RunOptions &opt = {});

// "LD_PRELOAD=..." for RunOptions::env: the caller's preloads (the kernel
// stand-in's) and then `library`.
std::string PreloadAlso(const std::string &library);

// Milliseconds of CLOCK_MONOTONIC, one clock for every process of the sandbox.
int64_t MonotonicMs();
// Runs fn in a forked child that ends with _exit(fn()); the child's pid.
pid_t ForkChild(const std::function<int()> &fn);
// Waits for pid (EINTR retried): its exit status, 128+signal when killed.
int WaitChild(pid_t pid);
// A call that must return rather than block for ever: runs fn in a forked
// child as ForkChild does, which SIGALRM ends after `seconds` (a guard
// against a hang, far beyond any slow machine; never a measure).  Its exit
// status, 128+14 when it hung.
int RunGuarded(const std::function<int()> &fn, unsigned seconds = 120);

// An account with no rights at all ("nobody"): no group, no file of its own
// but those it makes, no entry in the account files.
inline constexpr uid_t kNoRightsUid = 65534;
// ForkChild, with the child running as uid (its gid the same number, no
// supplementary groups) before fn.
pid_t ForkChildAs(uid_t uid, const std::function<int()> &fn);
// Runs step in a child as uid: true when it returned true.
bool RunAs(uid_t uid, const std::function<bool()> &step);

// A process of another account that runs step as uid and then stays, with
// what it opened or locked, until this object dies (it is killed then).
class AccountProcess {
public:
    explicit AccountProcess(const std::function<bool()> &step, uid_t uid = kNoRightsUid);
    ~AccountProcess();
    AccountProcess(const AccountProcess &) = delete;
    AccountProcess &operator=(const AccountProcess &) = delete;
    // True when step returned true.
    bool ok() const { return ok_; }

private:
    pid_t pid_ = -1;
    bool ok_ = false;
};

} // namespace vakotest
