// The progress file's records as an update writes them, one by one.
#pragma once

#include <string>
#include <thread>
#include <vector>

namespace vakotest {

// Makes the progress file a FIFO that a thread drains while it lives, so
// that every value written is seen, not only the last.
class ProgressRecorder {
public:
    ProgressRecorder();
    ~ProgressRecorder();
    ProgressRecorder(const ProgressRecorder &) = delete;
    ProgressRecorder &operator=(const ProgressRecorder &) = delete;
    // "P:60" ... in the order written; stops the recording.
    std::vector<std::string> Values();

private:
    void Stop();
    int fd_ = -1;
    std::thread reader_;
    std::string text_;
};

} // namespace vakotest
