/* Preloaded into the updater by the tests that need sysinfo to report an
 * exact uptime, VAKOTEST_UPTIME seconds, however long the run takes: the
 * kernel's own uptime moves on while the updater runs. */
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <unistd.h>

int sysinfo(struct sysinfo *info)
{
    int ret = (int)syscall(SYS_sysinfo, info);
    const char *uptime = getenv("VAKOTEST_UPTIME");
    if (ret == 0 && uptime)
        info->uptime = strtol(uptime, NULL, 10);
    return ret;
}
