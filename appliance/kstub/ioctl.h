// What the appliance kernel's requests and calls do: the MTD and md ioctls
// on a device, and kernel calls 401 and 405.
#pragma once

#include "device.h"

namespace kstublib {

Res DeviceIoctl(int fd, const Dev &d, unsigned long request, void *arg);
// False when `n` is no call of the appliance's (or there is no state): the
// caller passes it to the kernel; else *ret is the call's result.
bool KernelCall(long n, long arg, long *ret);

} // namespace kstublib
