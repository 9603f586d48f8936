// The pauses that the code under test asks for, recorded rather than
// measured, so that no test depends on how fast the machine is.
#pragma once

#include <stdint.h>

#include <vector>

namespace vakotest {

// While a SleepLog lives, each sleep, usleep and nanosleep that this
// process calls (the libraries' too; a forked child keeps its own record)
// is noted, then slept as asked.  The kit's own waits (the system log's
// sync) are not noted.
class SleepLog {
public:
    SleepLog();
    ~SleepLog();
    SleepLog(const SleepLog &) = delete;
    SleepLog &operator=(const SleepLog &) = delete;
    // The pauses asked for so far, in microseconds, in order.
    std::vector<int64_t> Micros() const;
};

} // namespace vakotest
