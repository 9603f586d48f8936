// Records of the auto-block list as the tests build and read them.  Header
// only.
#pragma once

#include <arpa/inet.h>
#include <stdint.h>
#include <string.h>

#include <time.h>

#include <stdexcept>
#include <string>

#include "vako/autoblock.h"
#include "vakotest/files.h"
#include "vakotest/paths.h"

namespace vakotest {

// One 8-byte record: the time in this processor's own byte order, the IPv4
// address as inet_aton stores it (network byte order).
inline std::string AutoBlockRecord(uint32_t time, const std::string &ip)
{
    struct in_addr in;
    if (inet_aton(ip.c_str(), &in) == 0)
        throw std::invalid_argument("no IPv4 address: " + ip);
    std::string r(8, '\0');
    memcpy(r.data(), &time, 4);
    memcpy(r.data() + 4, &in.s_addr, 4);
    return r;
}

// The time word of record `index` of a list's bytes; 0 past its end.
inline uint32_t AutoBlockTime(const std::string &list, size_t index)
{
    uint32_t t = 0;
    if (list.size() >= (index + 1) * 8)
        memcpy(&t, list.data() + index * 8, 4);
    return t;
}

// The list with two addresses, 10.0.0.1 and 10.0.0.2, blocked now, and the
// settings without expiry.
inline void WriteAutoBlockList()
{
    WriteFile(kInfoFile, "autoblock_attempts=\"10\"\nautoblock_attempt_min=\"5\"\n"
                         "autoblock_expriedday=\"0\"\nautoblock_notify=\"no\"\n");
    const uint32_t now = static_cast<uint32_t>(time(nullptr));
    WriteFile(SZF_AUTOBLOCK_DENY, AutoBlockRecord(now, "10.0.0.1") + AutoBlockRecord(now, "10.0.0.2"), 0644);
}

} // namespace vakotest
