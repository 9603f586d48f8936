// Network interfaces and MTU: what the kernel reports, and the MTU setting.
#include "vako/net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "slib/conf_write.h"
#include "slib/error.h"
#include "slib/lock.h"
#include "slibcxx/border.h"
#include "slibcxx/lines.h"
#include "slibcxx/raii.h"
#include "vako/info.h"

namespace {

constexpr const char *kProcNetDev = "/proc/net/dev";
constexpr int kLockTimeoutSec = 5;
constexpr int kMtuKeyRoom = 12; // the key holds at most 11 characters
constexpr unsigned kGigabit = 1000;
constexpr unsigned kMtuSettleSec = 5;

// The operations' own source names: log prefixes and the file recorded
// with an error code.
constexpr const char *kSrcInterfaceInfo = "net_get_interface_info";
constexpr const char *kSrcEthInfo = "net_get_eth_info";
constexpr const char *kSrcMtuSetting = "net_get_mtu_setting";
constexpr const char *kSrcSetMtuEth = "net_set_mtu_eth";
constexpr const char *kSrcConfSetMtu = "net_conf_set_mtu_value";
constexpr const char *kSrcSetMtu = "net_set_mtu_value";
constexpr const char *kSrcIsIPAddr = "net_is_ip_addr";
constexpr const char *kSrcSepIP = "net_sep_ip";

#define NET_ERR(src, code) SLIBErrorSetEx((code), (src), __LINE__)

// The socket that the interface requests go through.
slib::Fd Socket() { return slib::Fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)); }

// Names longer than this are refused outright.
constexpr size_t kIfNameMax = 16;
bool IsTooLong(const char *szIf) { return strnlen(szIf, kIfNameMax + 1) > kIfNameMax; }

// A name that fits the request's name field with its NUL.  A 16-character
// name would be cut by the kernel and address another interface: no
// interface can carry it, so the request is answered as the kernel answers
// an unknown name.
bool FitsIfName(const char *szIf) { return strnlen(szIf, VAKO_IFNAME_SIZE) < VAKO_IFNAME_SIZE; }

struct ifreq MakeRequest(const char *szIf)
{
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    memcpy(ifr.ifr_name, szIf, strnlen(szIf, IFNAMSIZ - 1));
    return ifr;
}

// The interface names of /proc/net/dev in file order; -1 on a read error.
int ReadInterfaceNames(std::vector<std::string> &names)
{
    slib::LineReader in(kProcNetDev);
    if (!in.ok())
        return -1;
    int lineNo = 0;
    while (const char *line = in.Next()) {
        if (++lineNo <= 2)
            continue;
        const char *colon = strchr(line, ':');
        if (!colon)
            continue;
        const char *start = line + strspn(line, " \t");
        if (start >= colon)
            continue;
        std::string name(start, colon);
        if (name.size() >= VAKO_IFNAME_SIZE)
            continue;
        names.push_back(std::move(name));
    }
    return in.Failed() ? -1 : 0;
}

int SpeedOf(uint32_t speed)
{
    switch (speed) {
    case SPEED_10:
    case SPEED_100:
    case SPEED_1000:
        return static_cast<int>(speed);
    default:
        return -1;
    }
}

int DuplexOf(uint8_t duplex)
{
    switch (duplex) {
    case DUPLEX_HALF:
        return 0;
    case DUPLEX_FULL:
        return 1;
    default:
        return -1;
    }
}

// strtol as on the appliance's 32-bit long: out-of-range values clamp.
int ReadPart(const char *p, char **pEnd)
{
    long v = strtol(p, pEnd, 0);
    return static_cast<int>(std::clamp<long>(v, INT_MIN, INT_MAX));
}

} // namespace

extern "C" {

int NetIfNameCmp(const void *a, const void *b)
{
    return strcmp(static_cast<const VAKONETIFINFO *>(a)->szName, static_cast<const VAKONETIFINFO *>(b)->szName);
}

int VAKONetGetInterfaceInfo(VAKONETIFINFO *pOut, int max, int kind)
{
    return slib::Guarded(kSrcInterfaceInfo, -1, [&] {
        if (max < 0 || kind == 0 || kind == 4) {
            NET_ERR(kSrcInterfaceInfo, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        if (max == 0)
            return 0;
        int skip = IFF_LOOPBACK | IFF_POINTOPOINT;
        if (kind == VAKO_NET_IF_NO_MASTER)
            skip |= IFF_MASTER;
        else if (kind == VAKO_NET_IF_NO_SLAVE)
            skip |= IFF_SLAVE;

        std::vector<std::string> names;
        if (ReadInterfaceNames(names) < 0)
            return -1;
        slib::Fd sock = Socket();
        if (!sock.ok())
            return -1;

        int count = 0;
        for (const std::string &name : names) {
            if (count >= max)
                break;
            struct ifreq ifr = MakeRequest(name.c_str());
            if (ioctl(sock.get(), SIOCGIFFLAGS, &ifr) < 0)
                continue;
            int flags = ifr.ifr_flags; // a short: sign-extended
            if (!(flags & IFF_UP) || (flags & skip))
                continue;
            if (pOut) {
                VAKONETIFINFO &e = pOut[count];
                snprintf(e.szName, sizeof(e.szName), "%s", name.c_str());
                e.flags = flags;
                e.link = (flags & IFF_RUNNING) ? VAKO_NET_LINK_UP : 0;
                ifr = MakeRequest(name.c_str());
                if (ioctl(sock.get(), SIOCGIFHWADDR, &ifr) == 0)
                    memcpy(e.mac, ifr.ifr_hwaddr.sa_data, sizeof(e.mac));
                ifr = MakeRequest(name.c_str());
                if (ioctl(sock.get(), SIOCGIFADDR, &ifr) == 0) {
                    struct sockaddr_in sin;
                    memcpy(&sin, &ifr.ifr_addr, sizeof(sin));
                    inet_ntop(AF_INET, &sin.sin_addr, e.szIP, sizeof(e.szIP));
                }
            }
            ++count;
        }
        if (pOut)
            qsort(pOut, count, sizeof(*pOut), NetIfNameCmp);
        return count;
    });
}

int VAKONetGetMTUSetting(const char *szIf)
{
    if (!szIf) {
        NET_ERR(kSrcMtuSetting, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    if (IsTooLong(szIf)) {
        syslog(LOG_ERR, "%s:%d interface name is too long", kSrcMtuSetting, __LINE__);
        return -1;
    }
    slib::Fd sock = Socket();
    if (!sock.ok())
        return -1;
    struct ifreq ifr = MakeRequest(szIf);
    if (!FitsIfName(szIf) || ioctl(sock.get(), SIOCGIFMTU, &ifr) < 0)
        return 0;
    return ifr.ifr_mtu;
}

int VAKONetGetEthInfo(VAKOETHINFO *pInfo, const char *szIf)
{
    if (!pInfo || !szIf || IsTooLong(szIf)) {
        NET_ERR(kSrcEthInfo, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    slib::Fd sock = Socket();
    if (!sock.ok() || !FitsIfName(szIf))
        return -1;
    struct ethtool_cmd cmd;
    memset(&cmd, 0, sizeof(cmd));
    cmd.cmd = ETHTOOL_GSET;
    struct ifreq ifr = MakeRequest(szIf);
    ifr.ifr_data = reinterpret_cast<char *>(&cmd);
    if (ioctl(sock.get(), SIOCETHTOOL, &ifr) == 0) {
        pInfo->speed = SpeedOf(ethtool_cmd_speed(&cmd));
        pInfo->duplex = DuplexOf(cmd.duplex);
    } else if (errno != EOPNOTSUPP) {
        return -1;
    }
    pInfo->mtu = VAKONetGetMTUSetting(szIf);
    if (pInfo->mtu <= 0) {
        pInfo->mtu = -1;
        return -1;
    }
    return 0;
}

int VAKONetSetMTUEth(const char *szMtu, const char *szIf)
{
    if (!szMtu || !szIf || IsTooLong(szIf)) {
        NET_ERR(kSrcSetMtuEth, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    slib::Fd sock = Socket();
    if (!sock.ok() || !FitsIfName(szIf))
        return -1;
    struct ifreq ifr = MakeRequest(szIf);
    ifr.ifr_mtu = atoi(szMtu);
    return ioctl(sock.get(), SIOCSIFMTU, &ifr) < 0 ? -1 : 0;
}

int VAKONetConfSetMTUValue(const char *szMtu, const char *szIf)
{
    return slib::Guarded(kSrcConfSetMtu, -1, [&] {
        char szKey[kMtuKeyRoom];
        // A cut key would name another interface's setting.
        if (!szMtu || !szIf || snprintf(szKey, sizeof(szKey), "%s_mtu", szIf) >= static_cast<int>(sizeof(szKey))) {
            NET_ERR(kSrcConfSetMtu, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        if (ErrSLIBFileLock(SLIB_LOCK_VAKOINFO | SLIB_LOCK_EX, kLockTimeoutSec) < 0) {
            syslog(LOG_ERR, "%s (%d) Failed to lock vakoinfo(%X)", kSrcConfSetMtu, __LINE__, SLIBErrorGet());
            return -1;
        }
        int result = 0;
        if (SLIBFileSetKeyValue(SZF_VAKO_INFO, szKey, szMtu, "%s=\"%s\"\n") < 0) {
            syslog(LOG_ERR, "%s (%d) Failed to set MTU value(%X)", kSrcConfSetMtu, __LINE__, SLIBErrorGet());
            result = -1;
        }
        if (ErrSLIBFileUnlock(SLIB_LOCK_VAKOINFO) < 0) {
            syslog(LOG_ERR, "%s (%d) Failed to unlock vakoinfo(%X)", kSrcConfSetMtu, __LINE__, SLIBErrorGet());
            result = -1;
        }
        return result;
    });
}

int VAKONetSetMTUValue(const char *szMtu, const char *szIf)
{
    return slib::Guarded(kSrcSetMtu, -1, [&] {
        if (!szMtu || !szIf) {
            NET_ERR(kSrcSetMtu, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        int result = 0;
        VAKOETHINFO info = {0, 0, 0};
        if (VAKONetGetEthInfo(&info, szIf) < 0) {
            syslog(LOG_ERR, "%s:%d Can not get EthInfo(%X).", kSrcSetMtu, __LINE__, SLIBErrorGet());
            info.speed = 100;
            result = -1;
        }
        if (info.speed == static_cast<int>(kGigabit)) {
            if (VAKONetSetMTUEth(szMtu, szIf) < 0) {
                syslog(LOG_ERR, "%s:%d Failed to ifconfig MTU Value(0x%04X)", kSrcSetMtu, __LINE__, SLIBErrorGet());
                result = -1;
            }
            sleep(kMtuSettleSec);
        }
        if (VAKONetConfSetMTUValue(szMtu, szIf) < 0) {
            syslog(LOG_ERR, "%s:%d Failed to ifconfig MTU Value(0x%04X)", kSrcSetMtu, __LINE__, SLIBErrorGet());
            result = -1;
        }
        return result;
    });
}

int SLIBNetIfAddrGet(const char *szIf, uint32_t *pAddr, uint32_t *pMask)
{
    if (!szIf || !pAddr || !pMask || !FitsIfName(szIf))
        return 0;
    slib::Fd sock = Socket();
    if (!sock.ok())
        return 0;
    bool ok = true;
    struct sockaddr_in sin;
    struct ifreq ifr = MakeRequest(szIf);
    if (ioctl(sock.get(), SIOCGIFADDR, &ifr) == 0) {
        memcpy(&sin, &ifr.ifr_addr, sizeof(sin));
        *pAddr = sin.sin_addr.s_addr;
    } else {
        ok = false;
    }
    ifr = MakeRequest(szIf);
    if (ioctl(sock.get(), SIOCGIFNETMASK, &ifr) == 0) {
        memcpy(&sin, &ifr.ifr_netmask, sizeof(sin));
        *pMask = sin.sin_addr.s_addr;
    } else {
        ok = false;
    }
    return ok ? 1 : 0;
}

int VAKONetSepIP(const char *sz, int part[4])
{
    if (!sz || !part) {
        NET_ERR(kSrcSepIP, SLIB_ERR_BAD_PARAMETER);
        return 0;
    }
    char buf[32];
    snprintf(buf, sizeof(buf), "%s", sz);
    char *p = buf;
    for (int i = 0; i < 3; ++i) {
        char *end;
        part[i] = ReadPart(p, &end);
        if (*end != '.') {
            NET_ERR(kSrcSepIP, VAKO_ERR_NOT_IP_ADDR);
            return i;
        }
        p = end + 1;
    }
    char *end;
    part[3] = ReadPart(p, &end);
    if (*end != '\0') {
        NET_ERR(kSrcSepIP, VAKO_ERR_NOT_IP_ADDR);
        return 3;
    }
    return 4;
}

int VAKONetIsIPAddr(const char *sz)
{
    int part[4];
    if (VAKONetSepIP(sz, part) != 4)
        return 0;
    auto within = [](int v, unsigned hi) { return static_cast<unsigned>(v) <= hi; };
    if (part[0] < 1 || part[0] > 223 || part[0] == 127 || !within(part[1], 255) || !within(part[2], 255) ||
        !within(part[3], 254)) {
        NET_ERR(kSrcIsIPAddr, VAKO_ERR_NOT_IP_ADDR);
        return 0;
    }
    return 1;
}

} // extern "C"
