#include "vakotest/cryptfault.h"

#include <dlfcn.h>

namespace {
bool gArmed;
const char *gResult;
} // namespace

extern "C" char *crypt(const char *key, const char *salt) noexcept
{
    if (gArmed)
        return const_cast<char *>(gResult);
    using Fn = char *(*)(const char *, const char *);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "crypt"));
    return real(key, salt);
}

namespace vakotest {

CryptFault::CryptFault(const char *result)
{
    gResult = result;
    gArmed = true;
}

CryptFault::~CryptFault() { gArmed = false; }

} // namespace vakotest
