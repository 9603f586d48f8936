#include "vakotest/scemd.h"

#include <signal.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>
#include <string>

#include "vakotest/files.h"
#include "vakotest/run.h"

namespace vakotest {

namespace {

constexpr char kProgram[] = "/usr/vako/sbin/scemd";
constexpr char kRecord[] = "/.sandbox/scemd.signals";

} // namespace

ScemdStandIn::ScemdStandIn()
{
    if (FileExists(kRecord))
        RemoveFile(kRecord);
    int ready[2];
    if (pipe(ready) != 0)
        throw std::runtime_error("pipe");
    pid_ = ForkChild([&] {
        close(ready[0]);
        if (dup2(ready[1], 1) < 0)
            return 127;
#ifdef VAKO_STANDIN_EMULATOR
        const char *argv[] = {VAKO_STANDIN_EMULATOR, kProgram, nullptr};
#else
        const char *argv[] = {kProgram, nullptr};
#endif
        execv(argv[0], const_cast<char *const *>(argv));
        return 127;
    });
    close(ready[1]);
    std::string said;
    char c;
    while (said.find('\n') == std::string::npos && read(ready[0], &c, 1) == 1)
        said += c;
    close(ready[0]);
    if (said != "ready\n")
        throw std::runtime_error(std::string(kProgram) + " did not start");
}

ScemdStandIn::~ScemdStandIn()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        WaitChild(pid_);
    }
}

std::vector<int> ScemdStandIn::Signals()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        WaitChild(pid_);
        pid_ = -1;
        std::istringstream in(FileExists(kRecord) ? ReadFile(kRecord) : std::string());
        for (int sig; in >> sig;)
            got_.push_back(sig);
    }
    return got_;
}

} // namespace vakotest
