// The global operator new as the libraries under test see it: the one the
// process had (the standard library's, or AddressSanitizer's), counted, and
// made to fail on demand. A test binary that is built with
// testkit/newfault.cpp replaces every allocating form (plain and array;
// aligned or not; throwing or nothrow) for all of it, the libraries' calls
// and those of the standard library's own code included; the matching
// operator delete stays the one the process had.
#pragma once

namespace vakotest {

// While it lives, the n-th allocation through operator new of this process
// (not of a child it forks) fails: a throwing form throws std::bad_alloc, a
// nothrow form returns NULL; the allocations before and after it go
// through. An n-th allocation of the kernel stand-in (preloaded into every
// process of the appliance) goes through too, and is told apart.
class FailingNew {
public:
    explicit FailingNew(long n);
    ~FailingNew();
    FailingNew(const FailingNew &) = delete;
    FailingNew &operator=(const FailingNew &) = delete;

    // The n-th allocation was made, and failed.
    bool Fired() const;
    // The n-th allocation was the kernel stand-in's, and went through.
    bool Skipped() const;
    // The allocations counted so far.
    long Calls() const;
};

// While it lives, time() answers the second it was made at, in this
// process (the libraries' calls included): every run of a border row then
// writes the same salts and stamps as its clean run.
class FixedTime {
public:
    FixedTime();
    ~FixedTime();
    FixedTime(const FixedTime &) = delete;
    FixedTime &operator=(const FixedTime &) = delete;
};

// The kit's own code that runs inside a call of the libraries (the stand-ins
// of fsync, write, sleep...) allocates while a NewFaultPause lives: those
// allocations are neither counted nor failed, for they are no step of the
// code under test. (Header-only: a binary without newfault.cpp pauses
// nothing.)
inline thread_local int gNewFaultPauses = 0;
class NewFaultPause {
public:
    NewFaultPause() { ++gNewFaultPauses; }
    ~NewFaultPause() { --gNewFaultPauses; }
    NewFaultPause(const NewFaultPause &) = delete;
    NewFaultPause &operator=(const NewFaultPause &) = delete;
};

} // namespace vakotest
