// Helpers of the fuzz targets: inputs as files, and a quiet system log.
#pragma once

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include <fuzzer/FuzzedDataProvider.h>

namespace vakofuzz {

// A directory of this process's own for the files it makes.
inline const std::string &WorkDir()
{
    static const std::string dir = [] {
        const char *base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/fuzz.XXXXXX";
        if (!mkdtemp(tmpl.data()))
            abort();
        return tmpl;
    }();
    return dir;
}

// Writes bytes to WorkDir()/name and gives that path.
inline std::string WriteFile(const char *name, std::string_view bytes)
{
    std::string path = WorkDir() + "/" + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        abort();
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            abort();
        done += static_cast<size_t>(n);
    }
    close(fd);
    return path;
}

// Each malformed input is logged by the code under test: millions of lines
// would only slow the run down.
inline void QuietLog() { setlogmask(LOG_MASK(LOG_EMERG)); }

} // namespace vakofuzz

#define VAKOFUZZ_QUIET_LOG                                                                                             \
    extern "C" int LLVMFuzzerInitialize(int *, char ***)                                                               \
    {                                                                                                                  \
        vakofuzz::QuietLog();                                                                                          \
        return 0;                                                                                                      \
    }
