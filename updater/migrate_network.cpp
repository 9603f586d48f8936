// Network settings migration: the MTU keys of old builds become the
// per-interface keys of the new one, and a balance-alb bond0 becomes an
// active-backup bond.
#include <string.h>
#include <syslog.h>

#include "migrate.h"
#include "slib/conf_read.h"
#include "slib/conf_write.h"
#include "slib/error.h"
#include "vako/bond.h"
#include "vako/info.h"

namespace {

constexpr const char *kInfo = SZF_VAKO_INFO;
constexpr const char *kKeyFormat = "%s=\"%s\"\n";
constexpr const char *kMTUValue = "MTUValue";
constexpr const char *kEth0MTU = "eth0_mtu";
constexpr const char *kBond0MTU = "bond0_mtu";
constexpr const char *kBond = "bond0";
constexpr int kValueRoom = 32;

// A key's value into a zeroed buffer of kValueRoom bytes: its length with
// the NUL, 0 when absent, -1 when it cannot be read.  A value that does not
// fit (or a file that cannot be read) is logged and never used cut.
int ReadKey(int line, const char *szKey, char (&szValue)[kValueRoom])
{
    memset(szValue, 0, sizeof(szValue));
    int r = SLIBFileGetKeyValue(kInfo, szKey, szValue, sizeof(szValue), 0);
    if (r < 0)
        syslog(LOG_ERR, "%s(%d) Failed to read %s in %s, vakoerr=0x%04X; left as it is.", UPDT_SOURCE_FILE, line, szKey,
               kInfo, SLIBErrorGet());
    return r;
}

bool WriteKey(const char *szKey, const char *szValue)
{
    return SLIBFileSetKeyValue(kInfo, szKey, szValue, kKeyFormat) >= 0;
}

} // namespace

extern "C" {

int UPDTLowerMTUValue(void)
{
    char szValue[kValueRoom];
    int r = ReadKey(__LINE__, kMTUValue, szValue);
    if (r <= 0)
        return r == 0 ? 0 : -1;
    const char *szLower = strcmp(szValue, "4074") == 0 ? "4000" : strcmp(szValue, "9000") == 0 ? "8000" : nullptr;
    if (!szLower || WriteKey(kMTUValue, szLower))
        return 0;
    syslog(LOG_ERR, "%s(%d) Failed to update MTUValue in %s.", UPDT_SOURCE_FILE, __LINE__, kInfo);
    return -1;
}

int UPDTMoveMTUValue(void)
{
    char szValue[kValueRoom];
    int r = ReadKey(__LINE__, kMTUValue, szValue);
    // Unreadable (or too long to read whole): it stays.
    if (r < 0)
        return -1;
    if (r > 0 && !WriteKey(kEth0MTU, szValue)) {
        // The old key is the only copy of the value: it stays.
        syslog(LOG_ERR, "%s(%d) Failed to update MTUValue in %s.", UPDT_SOURCE_FILE, __LINE__, kInfo);
        return -1;
    }
    // A key without a value goes too; an absent key is no failure.
    (void)SLIBFileRemoveKey(kInfo, kMTUValue);
    return 0;
}

int UPDTCopyBond0MTU(void)
{
    char szValue[kValueRoom];
    int r = ReadKey(__LINE__, kEth0MTU, szValue);
    if (r <= 0)
        return r == 0 ? 0 : -1;
    if (WriteKey(kBond0MTU, szValue))
        return 0;
    syslog(LOG_ERR, "%s:%d Failed to update [%s] in %s.", UPDT_SOURCE_FILE, __LINE__, kBond0MTU, kInfo);
    return -1;
}

int UPDTRemoveALB(void)
{
    VAKOLINKAGGR aggr;
    memset(&aggr, 0, sizeof(aggr));
    // A bond whose files name something else than interfaces is refused
    // here, before anything is stopped or written.
    if (VAKONetLinkAggrGet(kBond, &aggr) < 0) {
        syslog(LOG_ERR, "%s (%d) Failed to read %s, vakoerr=0x%04X", UPDT_SOURCE_FILE, __LINE__, kBond, SLIBErrorGet());
        return -1;
    }
    if (aggr.mode != VAKO_BOND_MODE_BALANCE_ALB)
        return 0;
    aggr.mode = VAKO_BOND_MODE_ACTIVE_BACKUP;
    if (VAKONetLinkAggrSet(&aggr) == 0)
        return 0;
    syslog(LOG_ERR, "%s (%d) Failed to remove ALB", UPDT_SOURCE_FILE, __LINE__);
    return -1;
}

} // extern "C"
