// Masking of a kernel directory (/proc/sys/kernel, /sys/block, /sys/class/net)
// by a tmpfs, the way container runtimes mask /proc paths, so that the
// appliance-only kernel files can be plain files.  Shared by the runner and
// the test kit.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace vakoappliance {

inline bool IsTmpfs(const std::string &dir)
{
    struct statfs s;
    return statfs(dir.c_str(), &s) == 0 && s.f_type == 0x01021994; // TMPFS_MAGIC
}

struct KernelEntry {
    std::string rel; // path below the masked directory
    bool dir;
    unsigned mode;
    std::string content;
    std::string link; // a symbolic link to this target, when not empty
};

// The readable files and the links of a kernel directory, so that programs
// that read the usual sysctls (or an interface of /sys/class/net) still find
// them under the mask.
inline void SnapshotKernelDir(const std::filesystem::path &from, const std::string &rel, std::vector<KernelEntry> &out)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    for (fs::directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec)) {
        fs::file_status st = it->symlink_status(ec);
        if (ec)
            break;
        std::string name = rel + it->path().filename().string();
        unsigned mode = static_cast<unsigned>(st.permissions()) & 0644;
        if (fs::is_symlink(st)) {
            fs::path target = fs::read_symlink(it->path(), ec);
            if (ec)
                break;
            out.push_back({name, false, 0, {}, target.string()});
            continue;
        }
        if (fs::is_directory(st)) {
            out.push_back({name, true, 0555, {}, {}});
            SnapshotKernelDir(it->path(), name + "/", out);
            continue;
        }
        if (!fs::is_regular_file(st))
            continue;
        int fd = open(it->path().c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            continue;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof(buf));
        close(fd);
        if (n >= 0)
            out.push_back({name, false, mode, std::string(buf, static_cast<size_t>(n)), {}});
    }
}

// Mounts a tmpfs over dir unless one is there already; with snapshot, the
// tmpfs starts with copies of the files it hides.  False on failure.
inline bool MaskKernelDir(const std::string &dir, bool snapshot)
{
    if (IsTmpfs(dir))
        return true;
    std::vector<KernelEntry> saved;
    if (snapshot)
        SnapshotKernelDir(dir, "", saved);
    if (mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=755") != 0)
        return false;
    for (const KernelEntry &e : saved) {
        std::string p = dir + "/" + e.rel;
        if (e.dir) {
            mkdir(p.c_str(), e.mode);
            continue;
        }
        if (!e.link.empty()) {
            symlink(e.link.c_str(), p.c_str());
            continue;
        }
        int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, e.mode);
        if (fd < 0)
            continue;
        ssize_t w = write(fd, e.content.data(), e.content.size());
        (void)w;
        close(fd);
    }
    return true;
}

} // namespace vakoappliance
