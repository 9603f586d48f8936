// crypt as the libraries under test see it: the C library's, unless a test
// arms a result. A test binary that uses this gets its crypt for all of it.
#pragma once

namespace vakotest {

// While it lives, every crypt call returns result (NULL included).
class CryptFault {
public:
    explicit CryptFault(const char *result);
    ~CryptFault();
    CryptFault(const CryptFault &) = delete;
    CryptFault &operator=(const CryptFault &) = delete;
};

} // namespace vakotest
