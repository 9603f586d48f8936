#include "vako/info.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <syslog.h>

#include <string_view>

#include "slib/conf_read.h"
#include "slib/conf_write.h"
#include "slib/error.h"
#include "slib/lock.h"
#include "slibcxx/border.h"
#include "slibcxx/raii.h"

namespace {

constexpr char kGetKeyValue[] = "/bin/get_key_value";
constexpr char kHwVersion[] = "/proc/sys/kernel/vako_hw_version";
constexpr char kKeyLineFormat[] = "%s=\"%s\"\n";

// The operations' own source names: log prefixes and the file recorded
// with an error code.
constexpr const char *kSrcSetKeyValue = "info_set_key_value";
constexpr const char *kSrcSupportRaid = "conf_support_raid";
constexpr const char *kSrcIsJunior = "is_junior";

bool EndsWith(std::string_view s, std::string_view tail)
{
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// The hardware version's first line ends in "-j" before its line end.
bool KernelSaysJunior()
{
    slib::FilePtr fp(fopen(kHwVersion, "re"));
    if (!fp)
        return false;
    char line[100];
    if (!fgets(line, sizeof line, fp.get()))
        return false;
    std::string_view v = line;
    if (v.empty())
        return false;
    v.remove_suffix(1);
    return EndsWith(v, "-j");
}

} // namespace

extern "C" {

int VAKOINFOSetKeyValue(const char *szKey, const char *szValue)
{
    return slib::Guarded(kSrcSetKeyValue, -1, [&] {
        if (!szKey || !szValue) {
            SLIBErrorSetEx(SLIB_ERR_BAD_PARAMETER, kSrcSetKeyValue, __LINE__);
            return -1;
        }
        if (ErrSLIBFileLock(VAKO_INFO_LOCK_WRITE, VAKO_INFO_LOCK_TIMEOUT) != 0)
            return -1;
        int written = SLIBFileSetKeyValue(SZF_VAKO_INFO, szKey, szValue, kKeyLineFormat);
        int released = ErrSLIBFileUnlock(VAKO_INFO_LOCK_RELEASE);
        return written < 0 || released != 0 ? -1 : 0;
    });
}

int VAKOConfSupportRaid(void)
{
    char cmd[128];
    snprintf(cmd, sizeof cmd, "%s %s %s", kGetKeyValue, SZF_VAKO_INFO_DEFAULTS, "supportraid");
    slib::PipePtr fp(popen(cmd, "r"));
    if (!fp) {
        syslog(LOG_ERR, "%s:%d Failed to popen cmd = '%s', errno=%m", kSrcSupportRaid, __LINE__, cmd);
        return 0;
    }
    char line[8];
    return fgets(line, sizeof line, fp.get()) && strncasecmp(line, "yes", 3) == 0 ? 1 : 0;
}

int VAKOIsJunior(void)
{
    return slib::Guarded(kSrcIsJunior, 0, [&] {
        char unique[100] = {};
        if (SLIBFileGetKeyValue(SZF_VAKO_INFO_DEFAULTS, "unique", unique, sizeof unique, 0) <= 0)
            return 0;
        std::string_view v = unique;
        if (v.size() < 6)
            return 0;
        if (v.starts_with("sdkdebug") || EndsWith(v, "_junior"))
            return 1;
        return KernelSaysJunior() ? 1 : 0;
    });
}

} // extern "C"
