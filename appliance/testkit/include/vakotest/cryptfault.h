// crypt as the libraries under test see it: the C library's, unless a test
// arms a result. A test binary that is built with testkit/cryptfault.cpp
// gets this crypt for all of it.
#pragma once

namespace vakotest {

// While gCryptFails is set, every crypt call returns gCryptResult (NULL
// included).
extern bool gCryptFails;
extern const char *gCryptResult;

} // namespace vakotest
