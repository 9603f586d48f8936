// The pauses that the code under test asks for, recorded rather than
// measured, so that no test depends on how fast the machine is.
#pragma once

#include <stdint.h>

#include <vector>

namespace vakotest {

// Slept: each pause takes the time asked.  Skipped: each returns at once, as
// if the time had passed, for a test whose code is to run out of its tries
// (the record says what it would have waited).
enum class Pauses { Slept, Skipped };

// While a SleepLog lives, each sleep, usleep and nanosleep that this
// process calls (the libraries' too; a forked child keeps its own record)
// is noted, then slept as asked or skipped.  The kit's own waits (the
// system log's sync) are not noted.
class SleepLog {
public:
    explicit SleepLog(Pauses pauses = Pauses::Slept);
    ~SleepLog();
    SleepLog(const SleepLog &) = delete;
    SleepLog &operator=(const SleepLog &) = delete;
    // The pauses asked for so far, in microseconds, in order.
    std::vector<int64_t> Micros() const;
};

} // namespace vakotest
