#include "vakotest/progress.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <regex>
#include <stdexcept>

#include "vakotest/paths.h"

namespace vakotest {

namespace {

[[noreturn]] void Fail(const char *what) { throw std::runtime_error(std::string(what) + ": " + strerror(errno)); }

// "P:60" of a progress text; empty when it holds none.
std::string Record(const std::string &text)
{
    static const std::regex re("^([A-Z]):(-?[0-9]+):");
    std::smatch m;
    return std::regex_search(text, m, re) ? m[1].str() + ":" + m[2].str() : "";
}

} // namespace

bool ProgressRecordable()
{
    int fd = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY);
    if (fd < 0)
        return errno != ENOSYS;
    close(fd);
    return true;
}

ProgressRecorder::ProgressRecorder()
{
    unlink(kProgressFile);
    int fd = open(kProgressFile, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        Fail("create the progress file");
    close(fd);
    // Open events are answered by the watcher, so that a write cannot
    // follow the last one before its text was read.
    fan_ = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY);
    if (fan_ < 0)
        Fail("fanotify_init");
    if (fanotify_mark(fan_, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_CLOSE_WRITE, AT_FDCWD, kProgressFile) != 0)
        Fail("fanotify_mark");
    if (pipe2(stop_, O_CLOEXEC) != 0)
        Fail("pipe");
    watcher_ = std::thread([this] { Watch(); });
}

ProgressRecorder::~ProgressRecorder() { Stop(); }

std::vector<std::string> ProgressRecorder::Values()
{
    Stop();
    return values_;
}

void ProgressRecorder::Watch()
{
    for (;;) {
        pollfd fds[2] = {{fan_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        // Events queued before the stop are read before the watcher ends.
        bool stopping = fds[1].revents != 0;
        if (!Drain() || stopping)
            return;
    }
}

// Handles every queued event: false when the group cannot be read.
bool ProgressRecorder::Drain()
{
    alignas(fanotify_event_metadata) char buf[4096];
    for (;;) {
        ssize_t n = read(fan_, buf, sizeof(buf));
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        auto *ev = reinterpret_cast<fanotify_event_metadata *>(buf);
        for (; FAN_EVENT_OK(ev, n); ev = FAN_EVENT_NEXT(ev, n)) {
            if (ev->fd < 0)
                continue;
            if (ev->mask & FAN_CLOSE_WRITE) {
                char text[256];
                ssize_t got = pread(ev->fd, text, sizeof(text) - 1, 0);
                std::string value = Record(std::string(text, got > 0 ? static_cast<size_t>(got) : 0));
                if (!value.empty())
                    values_.push_back(value);
            }
            if (ev->mask & FAN_OPEN_PERM) {
                fanotify_response allow = {ev->fd, FAN_ALLOW};
                ssize_t ignored = write(fan_, &allow, sizeof(allow));
                (void)ignored;
            }
            close(ev->fd);
        }
    }
}

void ProgressRecorder::Stop()
{
    if (fan_ < 0)
        return;
    ssize_t ignored = write(stop_[1], "x", 1);
    (void)ignored;
    watcher_.join();
    // Closing the group lets any open still waiting go on.
    close(fan_);
    fan_ = -1;
    close(stop_[0]);
    close(stop_[1]);
    unlink(kProgressFile);
}

} // namespace vakotest
