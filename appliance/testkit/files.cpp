#include "vakotest/files.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "../common/kmask.h"

namespace vakotest {

namespace {

struct stat StatOf(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        throw std::runtime_error("cannot stat " + path + ": " + strerror(errno));
    return st;
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

std::string Standing(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return "none";
    const char *type = S_ISREG(st.st_mode)    ? "file"
                       : S_ISLNK(st.st_mode)  ? "link"
                       : S_ISDIR(st.st_mode)  ? "dir"
                       : S_ISFIFO(st.st_mode) ? "fifo"
                                              : "other";
    char text[64];
    snprintf(text, sizeof text, "%s %04o %u %lu", type, static_cast<unsigned>(st.st_mode & 07777),
             static_cast<unsigned>(st.st_uid), static_cast<unsigned long>(st.st_nlink));
    return text;
}

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

std::string LinkTarget(const std::string &path)
{
    std::error_code ec;
    std::filesystem::path target = std::filesystem::read_symlink(path, ec);
    return ec ? std::string("<no link>") : target.string();
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
                                    "/proc/net/bonding: " +
                                    path);
    if (!InSandbox())
        throw std::runtime_error("MountKernelFile: only inside the sandbox");
    if (dir == "/proc/net/bonding")
        MaskProcNet();
    else if (!vakoappliance::MaskKernelDir(dir, dir != "/sys/block"))
        throw std::runtime_error("cannot mask " + dir + ": " + strerror(errno));
    WriteFile(path, content);
}

} // namespace vakotest
