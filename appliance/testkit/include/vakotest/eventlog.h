// Event-log files (vako/event_log.h) for the tests, built and read byte by
// byte (big-endian written out by hand, whatever the processor).
#pragma once

#include <errno.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "vakotest/testkit.h"

namespace vakotest::evlog {

inline std::string Be16(uint16_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; }
inline std::string Be32(uint32_t v) { return Be16(static_cast<uint16_t>(v >> 16)) + Be16(static_cast<uint16_t>(v)); }
inline uint16_t Get16(const std::string &b, size_t at)
{
    return static_cast<uint16_t>(static_cast<unsigned char>(b.at(at)) << 8 | static_cast<unsigned char>(b.at(at + 1)));
}
inline uint32_t Get32(const std::string &b, size_t at)
{
    return static_cast<uint32_t>(Get16(b, at)) << 16 | Get16(b, at + 2);
}

struct Rec {
    uint16_t level = 0;
    uint32_t time = 0;
    std::string source, user;
    uint32_t event = 0;
    std::string s[4];
    bool operator==(const Rec &) const = default;
};

inline size_t Length(const Rec &r)
{
    return 24 + r.source.size() + r.user.size() + r.s[0].size() + r.s[1].size() + r.s[2].size() + r.s[3].size();
}

inline std::string Encode(const Rec &r)
{
    std::string b = Be16(static_cast<uint16_t>(Length(r))) + Be16(r.level) + Be32(r.time) +
                    Be16(static_cast<uint16_t>(r.source.size())) + Be16(static_cast<uint16_t>(r.user.size())) +
                    Be32(r.event);
    for (const std::string &s : r.s)
        b += Be16(static_cast<uint16_t>(s.size()));
    b += r.source + r.user;
    for (const std::string &s : r.s)
        b += s;
    return b;
}

// The record at `at` of file bytes b.
inline Rec Decode(const std::string &b, size_t at)
{
    Rec r;
    r.level = Get16(b, at + 2);
    r.time = Get32(b, at + 4);
    size_t lens[6] = {Get16(b, at + 8),  Get16(b, at + 10), Get16(b, at + 16),
                      Get16(b, at + 18), Get16(b, at + 20), Get16(b, at + 22)};
    r.event = Get32(b, at + 12);
    size_t p = at + 24;
    std::string *dst[6] = {&r.source, &r.user, &r.s[0], &r.s[1], &r.s[2], &r.s[3]};
    for (int i = 0; i < 6; i++) {
        *dst[i] = b.substr(p, lens[i]);
        p += lens[i];
    }
    return r;
}

// A record of exactly len bytes (len >= 24) with these short texts.
inline Rec Sized(size_t len, uint32_t event, char fill = 'x')
{
    Rec r;
    r.level = 1;
    r.time = 1000;
    r.source = "src";
    r.user = "u";
    r.event = event;
    r.s[0] = std::string(len - 28, fill);
    return r;
}

inline std::string Header(uint32_t start, uint32_t end, uint32_t reserved = 0)
{
    return std::string("VAKO") + Be32(reserved) + Be32(start) + Be32(end);
}

// The live records of a log, oldest first, walked as the ring says.
inline std::vector<Rec> Live(const std::string &b)
{
    std::vector<Rec> out;
    uint32_t s = Get32(b, 8), e = Get32(b, 12);
    if (s > e) {
        while (s + 2 <= b.size() && Get16(b, s) != 0) {
            out.push_back(Decode(b, s));
            s += Get16(b, s);
        }
        s = 16;
    }
    while (s < e) {
        out.push_back(Decode(b, s));
        s += Get16(b, s);
    }
    return out;
}

inline std::vector<uint32_t> Events(const std::vector<Rec> &recs)
{
    std::vector<uint32_t> v;
    for (const Rec &r : recs)
        v.push_back(r.event);
    return v;
}

// The program's short name: the source text of the records it writes.
inline std::string Source() { return program_invocation_short_name; }

// A log of three records of 100 bytes each, from its header on.
inline std::string ThreeRecords()
{
    std::string records;
    for (uint32_t i = 0; i < 3; i++)
        records += Encode(Sized(100, i));
    return Header(16, static_cast<uint32_t>(16 + records.size())) + records;
}

} // namespace vakotest::evlog

// The short name that the event log's tests and its neighbours' use.
namespace evtest = vakotest::evlog;
