// The uptime of a new time namespace, shared by the runner and the test kit.
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <cmath>

namespace vakoappliance {

// Writes the boot-time offset of the time namespace made by the last
// unshare(CLONE_NEWTIME), before any process has entered it, so that its
// CLOCK_BOOTTIME starts at uptime seconds.  Offsets count against the
// machine's own clock and a namespace starts with its parent's, so the
// current offset is taken into account.  False on failure.
inline bool SetUptimeOffset(double uptime)
{
    long long curSec = 0, curNsec = 0;
    if (FILE *f = fopen("/proc/self/timens_offsets", "r")) {
        char name[32];
        long long s, n;
        while (fscanf(f, "%31s %lld %lld", name, &s, &n) == 3)
            if (!strcmp(name, "boottime") || !strcmp(name, "7"))
                curSec = s, curNsec = n;
        fclose(f);
    }
    constexpr long long kNs = 1000000000LL;
    struct timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    long long off = llround(uptime * 1e9) - (static_cast<long long>(now.tv_sec) * kNs + now.tv_nsec) + curSec * kNs +
                    curNsec;
    long long sec = off / kNs, nsec = off % kNs;
    if (nsec < 0)
        nsec += kNs, --sec;
    char line[96];
    int n = snprintf(line, sizeof(line), "boottime %lld %lld\n", sec, nsec);
    int fd = open("/proc/self/timens_offsets", O_WRONLY | O_CLOEXEC);
    bool ok = fd >= 0 && write(fd, line, static_cast<size_t>(n)) == n;
    if (fd >= 0)
        close(fd);
    return ok;
}

} // namespace vakoappliance
