// Stand-in programs and appliance-only kernel files for the tests of this
// library.  Both go once the sandbox runner provides them itself.
#pragma once

#include <sys/mount.h>
#include <sys/vfs.h>
#include <linux/magic.h>

#include <stdexcept>
#include <string>

#include "vakotest/testkit.h"

namespace sdktest {

// Puts the stand-in for path (appliance/standins/root<path>) in place.
inline void InstallStandin(const std::string &path)
{
    std::string src = std::string(VAKO_SOURCE_DIR) + "/appliance/standins/root" + path;
    std::string body = vakotest::ReadFile(src);
    if (vakotest::FileExists(path) && vakotest::ReadFile(path) == body)
        return;
    vakotest::RemoveFile(path);
    vakotest::WriteFile(path, body, 0755);
}

// Writes a file under /proc/sys/kernel, first masking that directory with a
// tmpfs (the test runs as root in a mount namespace of its own).
inline void WriteKernelFile(const std::string &name, const std::string &content)
{
    const char *dir = "/proc/sys/kernel";
    struct statfs fs;
    if (statfs(dir, &fs) != 0 || fs.f_type != TMPFS_MAGIC) {
        if (mount("tmpfs", dir, "tmpfs", MS_NOSUID | MS_NODEV, "mode=755") != 0)
            throw std::runtime_error("cannot mask /proc/sys/kernel");
    }
    vakotest::WriteFile(std::string(dir) + "/" + name, content);
}

} // namespace sdktest
