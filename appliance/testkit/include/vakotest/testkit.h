// Test support shared by every test binary.
#pragma once

#include <sys/types.h>

#include <stdint.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vakotest {

// True inside a throwaway appliance made by vako-sandbox.
bool InSandbox();

std::string ReadFile(const std::string &path);
bool FileExists(const std::string &path);
// Creates the missing parent directories.
void WriteFile(const std::string &path, const std::string &content, unsigned mode = 0644);
void RemoveFile(const std::string &path);

// Files: permission bits (07777), owner, type; directory listing.
unsigned FileMode(const std::string &path);
uid_t FileUid(const std::string &path);
gid_t FileGid(const std::string &path);
bool IsDirectory(const std::string &path);
void MakeDirs(const std::string &path, unsigned mode = 0755);
// Names in a directory (no "." and "..", nor the project tree bound in at
// its own path), sorted; empty when it cannot be read.
std::vector<std::string> ListDir(const std::string &path);

// The system log as the stand-in on /dev/log wrote it to /.sandbox/syslog.
// Every record sent before the call (by this process or any other) is in
// the result.
struct SyslogLine {
    int level;
    std::string text;
    bool operator==(const SyslogLine &) const = default;
};
std::vector<SyslogLine> SyslogLines();
std::vector<std::string> SyslogTexts();
// One record's text is exactly text.
bool SyslogHas(const std::string &text);
// Forgets the records sent so far.
void SyslogClear();

// A program run in a child process.  Inside a test body call it as
// vakotest::Run: gtest's Test::Run would hide it.
struct RunOptions {
    std::string cwd = {};                  // empty: the caller's
    std::vector<std::string> env = {};     // "NAME=value", added to (or replacing in) the caller's
    std::optional<double> uptime = {};     // seconds: its own time namespace, uptime starting there
};
struct RunResult {
    int status;  // exit status, 128+signal when killed
    std::string out, err;
};
// argv[0] is the program (looked up in PATH when it holds no '/'); stdin
// reads end of file.
RunResult Run(const std::vector<std::string> &argv, const RunOptions &opt = {});

// Appliance-only kernel files, e.g. /proc/sys/kernel/vako_hw_version,
// /sys/block/md0/md/dev-sda1/state or /sys/class/net/bond0/bonding/mode: the
// first call masks the directory (/proc/sys/kernel, /sys/block or
// /sys/class/net) with a tmpfs, later ones write into it; the usual sysctls
// and the interfaces of /sys/class/net stay.  /proc/net/bonding/<bond> is
// seen by the calling process only (/proc/net is each process's own), beside
// the real entries of /proc/net.
void MountKernelFile(const std::string &path, const std::string &content);

// Milliseconds of CLOCK_MONOTONIC, one clock for every process of the sandbox.
int64_t MonotonicMs();
// Runs fn in a forked child that ends with _exit(fn()); the child's pid.
pid_t ForkChild(const std::function<int()> &fn);
// Waits for pid (EINTR retried): its exit status, 128+signal when killed.
int WaitChild(pid_t pid);

} // namespace vakotest
