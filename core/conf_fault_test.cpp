// Failures inside the safe rewrite: failing system calls, a full disk, a
// read-only disk and writers killed at random moments. The calls below are
// defined in the test binary and so take the place of the C library's for
// the library under test; unarmed, they pass every call through.
#include <dlfcn.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "vakotest/szblocks.h"
#include "slib/conf_write.h"
#include "slib/error.h"
#include "vakotest/files.h"
#include "vakotest/logs.h"

namespace {

// One armed failure: the call named, after `pass` more calls went through.
struct Fault {
    const char *call = nullptr;
    int pass = 0;
};
Fault g_fault;

bool Hit(const char *call)
{
    if (!g_fault.call || strcmp(g_fault.call, call) != 0)
        return false;
    if (g_fault.pass-- > 0)
        return false;
    g_fault.call = nullptr;
    errno = EIO;
    return true;
}

template <class F> F Real(const char *name) { return reinterpret_cast<F>(dlsym(RTLD_NEXT, name)); }

} // namespace

extern "C" {

int fsync(int fd)
{
    static auto real = Real<int (*)(int)>("fsync");
    return Hit("fsync") ? -1 : real(fd);
}

int fchown(int fd, uid_t uid, gid_t gid)
{
    static auto real = Real<int (*)(int, uid_t, gid_t)>("fchown");
    return Hit("fchown") ? -1 : real(fd, uid, gid);
}

int fchmod(int fd, mode_t mode)
{
    static auto real = Real<int (*)(int, mode_t)>("fchmod");
    return Hit("fchmod") ? -1 : real(fd, mode);
}

int rename(const char *from, const char *to)
{
    static auto real = Real<int (*)(const char *, const char *)>("rename");
    return Hit("rename") ? -1 : real(from, to);
}

int fstat(int fd, struct stat *st)
{
    static auto real = Real<int (*)(int, struct stat *)>("fstat");
    return Hit("fstat") ? -1 : real(fd, st);
}

// getline() of an optimised build is an inline call of this one.
ssize_t __getdelim(char **line, size_t *cap, int delim, FILE *fp)
{
    static auto real = Real<ssize_t (*)(char **, size_t *, int, FILE *)>("__getdelim");
    if (Hit("getline")) {
        fp->_flags |= _IO_ERR_SEEN; // what a failed read leaves on the stream
        return -1;
    }
    return real(line, cap, delim, fp);
}

ssize_t getline(char **line, size_t *cap, FILE *fp) { return __getdelim(line, cap, '\n', fp); }

} // extern "C"

namespace {

using Map = vakotest::SzHash;
using vakotest::ListDir;
using vakotest::ReadFile;
using vakotest::WriteFile;

const std::string kDir = "/tmp/f";
const std::string kPath = kDir + "/test.conf";
const char *kFile = kPath.c_str();
const char *kContent = "[s]\na=1\nb=2\n#c\n";

struct FaultCase {
    const char *name;
    const char *call;
    int pass, code;
    std::function<int()> op;
};

TEST(ConfFault, FailedStepLeavesTheTargetAndNoTemporaryFile)
{
    Map set{{"a", "9"}}, sect{{"k", "v"}};
    auto setKey = [] { return SLIBFileSetKeyValue(kFile, "a", "9", nullptr); };
    std::vector<FaultCase> cases = {
        {"fstat", "fstat", 0, 0x2700, setKey},
        {"fsync", "fsync", 0, 0x0B00, setKey},
        {"fchown", "fchown", 0, 0x0B00, setKey},
        {"fchmod", "fchmod", 0, 0x0B00, setKey},
        {"rename", "rename", 0, 0x2800, setKey},
        {"read: set key", "getline", 1, 0x0B00, setKey},
        {"read: set keys", "getline", 2, 0x0B00, [&] { return SLIBFileSetKeys(kFile, set.h, nullptr, nullptr); }},
        {"read: remove key", "getline", 1, 0x0B00, [] { return SLIBFileRemoveKey(kFile, "b"); }},
        {"read: set line, first pass", "getline", 0, 0x0A00, [] { return SLIBFileSetLine(kFile, "a", "x", 0); }},
        {"read: set line, second pass", "getline", 3, 0x0A00, [] { return SLIBFileSetLine(kFile, "a", "x", 0); }},
        {"read: add line", "getline", 4, 0x0A00, [] { return SLIBFileAddLine(kFile, "a", "x", 0); }},
        {"read: replace", "getline", 1, 0x0A00, [] { return SLIBFileReplaceSubStr(kFile, "a", "x"); }},
        {"read: set section", "getline", 1, 0x0A00,
         [&] { return ErrSLIBFileSetSection(kFile, "s", nullptr, sect.h, nullptr); }},
        {"fsync: set section", "fsync", 0, 0x0B00,
         [&] { return ErrSLIBFileSetSection(kFile, "s", nullptr, sect.h, nullptr); }},
        {"rename: set keys", "rename", 0, 0x2800, [&] { return SLIBFileSetKeys(kFile, set.h, nullptr, nullptr); }},
        {"fsync: in-place append", "fsync", 0, 0x0B00,
         [] { return SLIBFileAddLine(kFile, nullptr, "x", OP_FIND_PREFIX); }},
        {"fsync: in-place section", "fsync", 0, 0x0B00,
         [&] { return ErrSLIBFileAddSection(kFile, "t", sect.h, nullptr); }},
    };
    vakotest::MakeDirs(kDir);
    for (auto &c : cases) {
        WriteFile(kPath, kContent);
        ASSERT_EQ(chmod(kFile, 0640), 0);
        SLIBErrorSet(0);
        g_fault = {c.call, c.pass};
        int r = c.op();
        bool fired = g_fault.call == nullptr;
        g_fault = {};
        EXPECT_TRUE(fired) << c.name;
        EXPECT_EQ(r, -1) << c.name;
        EXPECT_EQ(SLIBErrorGet(), c.code) << c.name;
        EXPECT_EQ(ListDir(kDir), std::vector<std::string>{"test.conf"}) << c.name;
        if (strncmp(c.name, "fsync: in-place", 15) != 0) { // those append where they fail
            EXPECT_EQ(ReadFile(kPath), kContent) << c.name;
            EXPECT_EQ(vakotest::FileMode(kPath), 0640u) << c.name;
        }
    }
}

// A small tmpfs of our own inside the appliance.
struct Mount {
    std::string dir;
    Mount(const std::string &d, const char *opts) : dir(d)
    {
        vakotest::MakeDirs(dir);
        ok = mount("tmpfs", dir.c_str(), "tmpfs", 0, opts) == 0;
    }
    ~Mount()
    {
        if (ok)
            umount2(dir.c_str(), MNT_DETACH);
    }
    bool ok;
};

TEST(ConfFault, FullDisk)
{
    Mount m("/tmp/full", "size=32k");
    ASSERT_TRUE(m.ok) << strerror(errno);
    std::string big;
    for (int i = 0; i < 1000; i++)
        big += "key" + std::to_string(i) + "=some value\n";
    ASSERT_GT(big.size(), 16000u);
    std::string path = m.dir + "/big.conf";
    WriteFile(path, big);
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBFileSetKeyValue(path.c_str(), "new", "1", nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0B00);
    EXPECT_EQ(ReadFile(path), big);
    EXPECT_EQ(ListDir(m.dir), std::vector<std::string>{"big.conf"});
    // The key writer names the line it could not write.
    Map set{{"key0", "x"}};
    vakotest::SyslogClear();
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBFileSetKeys(path.c_str(), set.h, nullptr, nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0B00);
    EXPECT_STREQ(SLIBErrorGetFile(), "file_set_keys");
    EXPECT_TRUE(vakotest::SyslogMatches(
        "file_set_keys:{L} SLIBILineKeyMoveHash2File() failed! szBuf={*}, szFormat=%s=%s\n", LOG_ERR));
    EXPECT_EQ(ReadFile(path), big);
    EXPECT_EQ(ListDir(m.dir), std::vector<std::string>{"big.conf"});
}

TEST(ConfFault, ReadOnlyDirectory)
{
    Mount m("/tmp/ro", "size=64k");
    ASSERT_TRUE(m.ok) << strerror(errno);
    std::string path = m.dir + "/a.conf";
    WriteFile(path, "k=1\n");
    ASSERT_EQ(mount("tmpfs", m.dir.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=64k"), 0);
    SLIBErrorSet(0);
    EXPECT_EQ(SLIBFileSetKeyValue(path.c_str(), "k", "2", nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
    EXPECT_EQ(ReadFile(path), "k=1\n");
    EXPECT_EQ(ListDir(m.dir), std::vector<std::string>{"a.conf"});
}

// A whole file of generation g: every key line holds g.
const int kKeys = 2000;
std::string Generation(int g)
{
    std::string s;
    for (int i = 0; i < kKeys; i++)
        s += "key" + std::to_string(10000 + i) + "=" + std::to_string(g) + "\n";
    return s;
}

int GenerationOf(const std::string &content)
{
    size_t eq = content.find('=');
    return eq == std::string::npos ? -1 : atoi(content.c_str() + eq + 1);
}

bool Whole(const std::string &content) { return content == Generation(GenerationOf(content)); }

void Sleep(long micros)
{
    struct timespec ts = {micros / 1000000, (micros % 1000000) * 1000};
    nanosleep(&ts, nullptr);
}

// Writers killed with SIGKILL at random moments: a reader that reads all
// the while only ever sees one whole generation or the next.
TEST(ConfFault, KilledWritersNeverLeaveAHalfFile)
{
    const std::string dir = "/tmp/kill", path = dir + "/gen.conf", stop = dir + "/../kill.stop",
                      report = "/tmp/kill.report";
    vakotest::MakeDirs(dir);
    WriteFile(path, Generation(0));
    pid_t reader = fork();
    ASSERT_GE(reader, 0);
    if (reader == 0) {
        long reads = 0, bad = 0;
        while (access(stop.c_str(), F_OK) != 0) {
            std::string c = ReadFile(path);
            reads++;
            if (!Whole(c))
                bad++;
        }
        WriteFile(report, std::to_string(reads) + " " + std::to_string(bad));
        _exit(0);
    }
    std::mt19937 rng(12345);
    int kills = 0, finished = 0, progressed = 0;
    for (int round = 1; round <= 150; round++) {
        pid_t writer = fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            for (int g = round * 1000;; g++) {
                Map set;
                for (int i = 0; i < kKeys; i++)
                    SLIBSzHashSetValue(&set.h, ("key" + std::to_string(10000 + i)).c_str(), std::to_string(g).c_str());
                if (SLIBFileSetKeys(path.c_str(), set.h, nullptr, nullptr) != kKeys)
                    _exit(1);
            }
        }
        if (round % 10 == 0) {
            // Now and then a writer is let through a whole rewrite first, so
            // the kills also land on later rewrites, whatever the load.
            for (int i = 0; i < 5000 && GenerationOf(ReadFile(path)) < round * 1000; i++)
                Sleep(1000);
            if (GenerationOf(ReadFile(path)) >= round * 1000)
                progressed++;
        }
        Sleep(std::uniform_int_distribution<long>(0, 8000)(rng));
        kill(writer, SIGKILL);
        int status;
        ASSERT_EQ(waitpid(writer, &status, 0), writer);
        if (WIFSIGNALED(status))
            kills++;
        else
            finished++; // the writer failed by itself
        ASSERT_TRUE(Whole(ReadFile(path))) << "after round " << round;
    }
    WriteFile(stop, "");
    int status;
    ASSERT_EQ(waitpid(reader, &status, 0), reader);
    long reads = 0, bad = -1;
    ASSERT_EQ(sscanf(ReadFile(report).c_str(), "%ld %ld", &reads, &bad), 2);
    EXPECT_EQ(finished, 0);
    EXPECT_EQ(kills, 150);
    EXPECT_EQ(bad, 0) << "of " << reads << " reads";
    EXPECT_GT(reads, 100);
    EXPECT_EQ(progressed, 15);
    // A killed writer cannot remove its temporary file: only such files,
    // named after the target, are there besides it.
    for (const auto &name : ListDir(dir)) {
        if (name != "gen.conf") {
            EXPECT_EQ(name.rfind("gen.conf.", 0), 0u) << name;
        }
    }
    RecordProperty("reads", std::to_string(reads));
    RecordProperty("temporary_files_of_killed_writers", std::to_string(ListDir(dir).size() - 1));
}

} // namespace
