// The stand-in of the appliance's account daemon (/usr/vako/sbin/scemd),
// which records the signals it gets: started with its pid in
// /var/run/scemd.pid, stopped to read what it got.
#pragma once

#include <sys/types.h>

#include <vector>

namespace vakotest {

class ScemdStandIn {
public:
    // Starts the daemon and returns once its pid file is written and its
    // signals are blocked for recording.
    ScemdStandIn();
    // Stops it when Signals() has not.
    ~ScemdStandIn();
    ScemdStandIn(const ScemdStandIn &) = delete;
    ScemdStandIn &operator=(const ScemdStandIn &) = delete;

    pid_t pid() const { return pid_; }
    // Stops the daemon and returns the signals it got, in the order they were
    // recorded (every signal sent before this call is among them).
    std::vector<int> Signals();

private:
    pid_t pid_ = -1;
    std::vector<int> got_;
};

} // namespace vakotest
