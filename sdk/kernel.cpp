#include "vako/kernel.h"

#include <sys/syscall.h>
#include <unistd.h>

// On the appliance these are the kernel's own calls; on other architectures
// the numbers are unassigned (ENOSYS) or belong to other calls, which is why
// only the kernel stand-in answers them off the appliance.
extern "C" int VAKOKernelCallMSysFlag(uint32_t *pWord)
{
    return static_cast<int>(syscall(VAKO_SYSCALL_MSYS_FLAG, pWord));
}

extern "C" int VAKOKernelCallMtdBuffer(int alloc) { return static_cast<int>(syscall(VAKO_SYSCALL_MTD_BUFFER, alloc)); }
