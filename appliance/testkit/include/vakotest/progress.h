// The progress file's records as an update writes them, one by one.
#pragma once

#include <string>
#include <thread>
#include <vector>

namespace vakotest {

// Makes the progress file a fresh regular file and watches it (fanotify)
// while it lives: after each write to it, and before the next open of it
// goes on, its text is recorded, so that every value written is seen, not
// only the last.  Whoever opens the file meanwhile waits for the recorder,
// in this process or another one of the appliance.
class ProgressRecorder {
public:
    ProgressRecorder();
    ~ProgressRecorder();
    ProgressRecorder(const ProgressRecorder &) = delete;
    ProgressRecorder &operator=(const ProgressRecorder &) = delete;
    // "P:60" ... one per write, in the order written; stops the recording.
    std::vector<std::string> Values();

private:
    void Watch();
    bool Drain();
    void Stop();
    int fan_ = -1;
    int stop_[2] = {-1, -1};
    std::thread watcher_;
    std::vector<std::string> values_;
};

// False where the kernel interface the recorder stands on is missing:
// qemu-user has no fanotify.
bool ProgressRecordable();

} // namespace vakotest

// The first line of a test that records the progress: under qemu-user it is
// skipped, and says why.
#define VAKOTEST_SKIP_UNLESS_PROGRESS_RECORDABLE()                                                                     \
    do {                                                                                                               \
        if (!vakotest::ProgressRecordable())                                                                           \
            GTEST_SKIP() << "no fanotify to record the progress with (qemu-user)";                                     \
    } while (0)
