// stdio streams on a device: fopen and fdopen of a device, and a standard
// stream that a shell opened on one before exec.
#pragma once

#include <stdio.h>

namespace kstublib {

// open() flags of an fopen mode; -1 for a mode that is none.
int FlagsOfMode(const char *mode);
// A stream over the device descriptor fd whose reads, writes and seeks
// come here.
FILE *DeviceStream(int fd, const char *mode);

} // namespace kstublib
