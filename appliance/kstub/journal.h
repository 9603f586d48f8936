// The journal's text: one line per request and kernel call (the format is
// in vakotest/kstub.h).
#pragma once

#include <stdint.h>

#include <string>

namespace kstublib {

std::string Hex(uint64_t v);
// The request's name, or its number as 0x%08x.
std::string RequestText(uint32_t req);
// What one request passed (the caller has checked `arg`); "" when nothing.
std::string ArgsText(uint32_t req, const void *arg);

} // namespace kstublib
