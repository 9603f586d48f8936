// The pauses of a test process, recorded on their way to the C library.
// The three functions below stand in front of the C library's for every
// caller in the test program that links this file, the product's shared
// libraries included; they only note (and skip) the pause while a SleepLog
// lives.
#include "vakotest/sleeps.h"

#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <mutex>

#include "vakotest/newfault.h"

namespace vakotest {

namespace {

std::mutex gMutex;
std::vector<int64_t> *gLog = nullptr;
bool gSkip = false;

// Notes the pause: true when it is skipped.
bool Note(int64_t micros)
{
    NewFaultPause pause;
    std::lock_guard<std::mutex> hold(gMutex);
    if (gLog)
        gLog->push_back(micros);
    return gLog && gSkip;
}

template <class Fn> Fn Next(const char *name) { return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name)); }

} // namespace

SleepLog::SleepLog(Pauses pauses)
{
    std::lock_guard<std::mutex> hold(gMutex);
    delete gLog;
    gLog = new std::vector<int64_t>;
    gSkip = pauses == Pauses::Skipped;
}

SleepLog::~SleepLog()
{
    std::lock_guard<std::mutex> hold(gMutex);
    delete gLog;
    gLog = nullptr;
    gSkip = false;
}

std::vector<int64_t> SleepLog::Micros() const
{
    std::lock_guard<std::mutex> hold(gMutex);
    return gLog ? *gLog : std::vector<int64_t>{};
}

} // namespace vakotest

extern "C" {

unsigned int sleep(unsigned int seconds)
{
    static auto next = vakotest::Next<unsigned int (*)(unsigned int)>("sleep");
    if (vakotest::Note(static_cast<int64_t>(seconds) * 1000000))
        return 0;
    return next(seconds);
}

int usleep(useconds_t micros)
{
    static auto next = vakotest::Next<int (*)(useconds_t)>("usleep");
    if (vakotest::Note(micros))
        return 0;
    return next(micros);
}

int nanosleep(const struct timespec *req, struct timespec *rem)
{
    static auto next = vakotest::Next<int (*)(const struct timespec *, struct timespec *)>("nanosleep");
    if (req && vakotest::Note(static_cast<int64_t>(req->tv_sec) * 1000000 + req->tv_nsec / 1000)) {
        if (rem)
            *rem = {0, 0};
        return 0;
    }
    return next(req, rem);
}

} // extern "C"
