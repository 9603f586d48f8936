// Account file lines: an /etc/passwd and an /etc/shadow line unpacked into
// their records, and the account name rule.
#include <pwd.h>
#include <shadow.h>

#include "fuzz.h"
#include "vako/user.h"

VAKOFUZZ_QUIET_LOG

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string line(reinterpret_cast<const char *>(data), size);
    line = line.c_str();
    void *buf = nullptr;
    int cb = 0;
    if (UserDBUnpackPasswd(line.c_str(), &buf, &cb) == 0) {
        const auto *pw = static_cast<const struct passwd *>(buf);
        if (!pw->pw_name || !*pw->pw_name || strlen(pw->pw_dir) > line.size())
            abort();
    }
    if (UserDBUnpackShadow(line.c_str(), &buf, &cb) == 0) {
        const auto *sp = static_cast<const struct spwd *>(buf);
        if (!sp->sp_namp || !*sp->sp_namp || strlen(sp->sp_pwdp) > line.size())
            abort();
    }
    free(buf);
    VAKOUserIsValidName(line.c_str());
    return 0;
}
