// The knob that ends a run in the middle: after the write it acted on, the
// named process among the writer and its ancestors is ended with SIGKILL.
#pragma once

#include <string>

namespace kstublib {

// Remembers that `program` is to be ended once the current write is done.
void ArmKill(const std::string &program);
// Ends what ArmKill named, when it named anything: that process first, then
// every process between it and the caller, the caller last (it does not
// return then).
void KillIfArmed();

} // namespace kstublib
