/* Preloaded into the updater by the tests that need its return to the
 * starting directory to fail. */
#include <errno.h>

int fchdir(int fd)
{
    (void)fd;
    errno = EACCES;
    return -1;
}
