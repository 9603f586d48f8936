#include "vakotest/progress.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <stdexcept>

#include "vakotest/paths.h"

namespace vakotest {

ProgressRecorder::ProgressRecorder()
{
    unlink(kProgressFile);
    if (mkfifo(kProgressFile, 0666) != 0)
        throw std::runtime_error("mkfifo");
    fd_ = open(kProgressFile, O_RDWR | O_CLOEXEC);
    reader_ = std::thread([this] {
        char buf[4096];
        for (ssize_t n; (n = read(fd_, buf, sizeof(buf))) > 0;) {
            text_.append(buf, n);
            if (text_.find('#') != std::string::npos)
                break;
        }
    });
}

ProgressRecorder::~ProgressRecorder() { Stop(); }

std::vector<std::string> ProgressRecorder::Values()
{
    Stop();
    std::vector<std::string> out;
    std::regex re("([A-Z]):(-?[0-9]+):");
    for (std::sregex_iterator it(text_.begin(), text_.end(), re), end; it != end; ++it)
        out.push_back((*it)[1].str() + ":" + (*it)[2].str());
    return out;
}

// A '#' written into the FIFO ends the reader.
void ProgressRecorder::Stop()
{
    if (fd_ < 0)
        return;
    int w = open(kProgressFile, O_WRONLY | O_CLOEXEC);
    if (w >= 0) {
        ssize_t ignored = write(w, "#", 1);
        (void)ignored;
        close(w);
    }
    reader_.join();
    close(fd_);
    fd_ = -1;
    unlink(kProgressFile);
}

} // namespace vakotest
