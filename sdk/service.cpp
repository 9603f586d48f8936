// Small service settings: DDNS provider entries, the SMB service's domain
// state, and the download service's settings.
#include "vako/service.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <iterator>
#include <string>

#include "info_lock.h"
#include "slib/conf_read.h"
#include "slib/conf_write.h"
#include "slib/error.h"
#include "slib/lock.h"
#include "slib/szhash.h"
#include "slibcxx/border.h"
#include "slibcxx/raii.h"
#include "slibcxx/replace.h"
#include "vako/info.h"

namespace {

using vakoinfo::InfoLock;

// Log prefixes: the operations' own source names.
constexpr const char *kSrcDdns = "ddns_config_get";
constexpr const char *kSrcWins = "wins_query1";

constexpr int kHashSize = 1024;
constexpr int kSambaLockTimeoutSec = 10;
constexpr int kRunSambaSize = 20;
constexpr int kNumberSize = 16;
constexpr int kPidTextMax = 1023;
constexpr const char *kKeyLineFormat = "%s=\"%s\"\n";

using HashPtr = slib::HeapPtr<SLIBSZHASH>;

// Copies src into a field of cb bytes, cut to cb - 1 and NUL-terminated.
void CopyCut(char *dst, size_t cb, const char *src) { snprintf(dst, cb, "%s", src); }

// Reads a section into a new map; ppHash holds the map (possibly moved).
int ReadSection(const char *szFile, const char *szSection, HashPtr &hash)
{
    PSLIBSZHASH raw = hash.release();
    int n = SLIBFileGetSection(szFile, szSection, &raw);
    hash.reset(raw);
    return n;
}

// How a download field becomes the text of its key.
enum class Kind { YesNo, Number, Text, Order, BtEncrypt, Port };

struct DownloadKey {
    const char *key;
    Kind kind;
    size_t offset;
    size_t size; // of a text field
};

#define DL_FIELD(name, kind)                                                                                           \
    {                                                                                                                  \
        "download_" #name, Kind::kind, offsetof(VAKODOWNLOADINFO, name), 0                                             \
    }
#define DL_TEXT(name)                                                                                                  \
    {                                                                                                                  \
        "download_" #name, Kind::Text, offsetof(VAKODOWNLOADINFO, name), sizeof(VAKODOWNLOADINFO::name)                \
    }

// The keys in the order they are written.
constexpr DownloadKey kDownloadKeys[] = {
    DL_FIELD(enabled, YesNo),
    DL_FIELD(order, Order),
    DL_TEXT(when),
    DL_FIELD(ul_rate, Number),
    DL_FIELD(dl_rate, Number),
    DL_FIELD(start_port, Number),
    DL_FIELD(end_port, Number),
    DL_FIELD(port_map_enabled, YesNo),
    DL_FIELD(seeding_interval, Number),
    DL_FIELD(seeding_ratio, Number),
    DL_FIELD(enable_dht, YesNo),
    DL_FIELD(dhtport, Number),
    DL_FIELD(btencrypt, BtEncrypt),
    DL_FIELD(btmaxpeers, Number),
    DL_FIELD(enable_amule, YesNo),
    DL_FIELD(amule_ul_rate, Number),
    DL_FIELD(amule_dl_rate, Number),
    DL_FIELD(amule_tcp_port, Number),
    DL_FIELD(amule_udp_port, Number),
    DL_FIELD(amule_max_conn, Number),
    DL_FIELD(amule_auto_connect, Number),
    DL_FIELD(amule_enable_obfuscation, Number),
    DL_FIELD(amule_outgoing_obfuscation, Number),
    DL_FIELD(amule_only_obfuscation, Number),
    DL_FIELD(amule_auto_update_server, Number),
    DL_FIELD(maxtasks, Number),
    DL_TEXT(nzb_server),
    DL_FIELD(nzb_port, Port),
    DL_FIELD(nzb_auth, YesNo),
    DL_TEXT(nzb_user),
    DL_TEXT(nzb_password),
    DL_FIELD(nzb_numconn, Number),
    DL_FIELD(ftpmax_enable, YesNo),
    DL_FIELD(ftpmax, Number),
    DL_FIELD(email_notification, Number),
    DL_TEXT(rapidshare_user),
    DL_TEXT(rapidshare_password),
};
static_assert(std::size(kDownloadKeys) == 37);

#undef DL_FIELD
#undef DL_TEXT

const char *Field(const VAKODOWNLOADINFO *p, const DownloadKey &k)
{
    return reinterpret_cast<const char *>(p) + k.offset;
}

int IntField(const VAKODOWNLOADINFO *p, const DownloadKey &k)
{
    int v;
    memcpy(&v, Field(p, k), sizeof v);
    return v;
}

// A text field must end inside its field and hold no line end: a line end
// would add a line of its own to the settings file.
bool TextFieldSound(const VAKODOWNLOADINFO *p, const DownloadKey &k)
{
    const char *s = Field(p, k);
    size_t len = strnlen(s, k.size);
    return len < k.size && !memchr(s, '\n', len) && !memchr(s, '\r', len);
}

// The text written for one key; NULL when the value is refused.
const char *DownloadValue(const VAKODOWNLOADINFO *p, const DownloadKey &k, char (&num)[kNumberSize])
{
    switch (k.kind) {
    case Kind::YesNo:
        return IntField(p, k) ? "yes" : "no";
    case Kind::Order:
        return IntField(p, k) == 1 ? "user" : "request";
    case Kind::BtEncrypt:
        switch (IntField(p, k)) {
        case 0:
            return "disable";
        case 1:
            return "auto";
        case 2:
            return "always";
        default:
            return nullptr;
        }
    case Kind::Number:
        snprintf(num, sizeof num, "%i", IntField(p, k));
        return num;
    case Kind::Port:
        snprintf(num, sizeof num, "%i", static_cast<int>(p->nzb_port));
        return num;
    case Kind::Text:
        return Field(p, k);
    }
    return nullptr;
}

// Sets each download key to its value on a copy of the settings file, put
// in the file's place once all are set: a failure part way (for want of
// memory too) leaves the file as it was. Each key is set by the rewrite
// that would set it on the file, so the bytes are those of setting them
// one by one; a missing file is made by the first key, as it would be.
bool SetDownloadKeys(const char *const (&values)[std::size(kDownloadKeys)])
{
    std::string bytes;
    struct stat st;
    int got = slib::ReadWholeFile(SZF_VAKO_INFO, bytes, st, __FILE_NAME__);
    if (got < 0)
        return false;
    slib::FileReplacer copy(__FILE_NAME__);
    if (!copy.CreateUnique(SZF_VAKO_INFO))
        return false;
    if (got == 1 ? !(copy.CopyAttributes(st, true) && copy.Write(bytes) && copy.Finish())
                 : !copy.Finish() || unlink(copy.path()) != 0)
        return false;
    for (size_t i = 0; i < std::size(kDownloadKeys); ++i)
        if (SLIBFileSetKeyValue(copy.path(), kDownloadKeys[i].key, values[i], kKeyLineFormat) == -1)
            return false;
    return copy.RenameOver(SZF_VAKO_INFO);
}

} // namespace

extern "C" {

int VAKODDNSConfigGet(const char *szName, VAKODDNSINFO *pInfo)
{
    // fn: this function's name (a lambda's own is "operator()")
    return slib::Guarded(kSrcDdns, -1, [&, fn = __func__] {
        if (!szName || !pInfo) {
            SLIBErrorSetEx(SLIB_ERR_BAD_PARAMETER, kSrcDdns, __LINE__);
            return -1;
        }
        HashPtr hash(SLIBSzHashAlloc(kHashSize));
        if (!hash) {
            syslog(LOG_ERR, "%s(%s:%d): Failed to allocate hash for name %s in file %s, errno=%s/%d, vako_error=[%X]\n",
                   fn, kSrcDdns, __LINE__, szName, SZF_DDNS_CONF, strerror(errno), errno, SLIBErrorGet());
            return -1;
        }
        int n = ReadSection(SZF_DDNS_CONF, szName, hash);
        if (n < 0) {
            syslog(LOG_ERR, "%s(%s:%d): Failed to get section from %s by name %s , ret=%d, errno=%s/%d\n", fn, kSrcDdns,
                   __LINE__, SZF_DDNS_CONF, szName, n, strerror(errno), errno);
            return -1;
        }
        if (n == 0)
            return 0;

        CopyCut(pInfo->szName, sizeof pInfo->szName, szName);
        struct {
            const char *key;
            char *field;
            size_t cb;
        } const keys[] = {
            {"hostname", pInfo->szHostname, sizeof pInfo->szHostname},
            {"username", pInfo->szUsername, sizeof pInfo->szUsername},
            {"passwd", pInfo->szPasswd, sizeof pInfo->szPasswd},
        };
        int result = 1;
        for (const auto &k : keys) {
            const char *v = SzSLIBSzHashGetValue(hash.get(), k.key);
            if (!v) {
                syslog(LOG_ERR, "%s(%s:%d): Failed to get by key %s by name %s at %s, errno=%s/%d\n", fn, kSrcDdns,
                       __LINE__, k.key, szName, SZF_DDNS_CONF, strerror(errno), errno);
                result = -1;
                continue;
            }
            CopyCut(k.field, k.cb, v);
        }
        return result;
    });
}

int VAKOWinsQuery1(char *szBuf, int cbBuf, int *pIsDomain, int *pIsSamba)
{
    return slib::Guarded(kSrcWins, -1, [&] {
        if (!szBuf || cbBuf <= 0 || !pIsDomain) {
            SLIBErrorSetEx(SLIB_ERR_BAD_PARAMETER, kSrcWins, __LINE__);
            return -1;
        }
        HashPtr hash(SLIBSzHashAlloc(kHashSize));
        if (!hash) {
            SLIBErrorSetEx(SLIB_ERR_OUT_OF_MEMORY, kSrcWins, __LINE__);
            return -1;
        }
        if (ReadSection(SZF_SMB_CONF, "global", hash) < 0) {
            syslog(LOG_ERR, "%s:%d SLIBFileGetSection failed [%X]!!", kSrcWins, __LINE__, SLIBErrorGet());
            return -1;
        }
        const char *security = SzSLIBSzHashGetValue(hash.get(), "security");
        if (!security) {
            syslog(LOG_ERR, "%s:%d key [security] not found or error!!", kSrcWins, __LINE__);
            return -1;
        }
        const char *name;
        if (strcmp(security, "ads") == 0) {
            name = SzSLIBSzHashGetValue(hash.get(), "realm");
            if (!name) {
                syslog(LOG_ERR, "%s:%d key [realm] not found or error!!", kSrcWins, __LINE__);
                return -1;
            }
        } else {
            name = SzSLIBSzHashGetValue(hash.get(), "workgroup");
            if (!name) {
                syslog(LOG_ERR, "%s:%d key [workgroup] not found or error!!", kSrcWins, __LINE__);
                return -1;
            }
        }
        memset(szBuf, 0, static_cast<size_t>(cbBuf));
        CopyCut(szBuf, static_cast<size_t>(cbBuf), name);
        *pIsDomain = strcmp(security, "domain") == 0 || strcmp(security, "ads") == 0 ? 1 : 0;
        // A flag that could not be read for want of memory is no "not running".
        if (pIsSamba && slib::StepOutOfMemory([&] { *pIsSamba = WinsIsSambaRunning() ? 1 : 0; }))
            return -1;
        return 0;
    });
}

int WinsIsSambaRunning(void)
{
    return slib::Guarded(kSrcWins, 0, [&] {
        InfoLock lock(VAKO_INFO_LOCK_READ, kSambaLockTimeoutSec);
        if (!lock.held())
            return 0;
        char value[kRunSambaSize] = {};
        return SLIBFileGetKeyValue(SZF_VAKO_INFO, "runsamba", value, sizeof value, 0) > 0 &&
                       strcasecmp(value, "yes") == 0
                   ? 1
                   : 0;
    });
}

int VAKODownloadInfoSet(const VAKODOWNLOADINFO *pInfo)
{
    return slib::Guarded(__FILE_NAME__, -1, [&] {
        if (!pInfo) {
            SLIB_ERR(SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        // Every value is checked before any is written: a refused one leaves
        // the settings as they were.
        char nums[std::size(kDownloadKeys)][kNumberSize];
        const char *values[std::size(kDownloadKeys)];
        for (size_t i = 0; i < std::size(kDownloadKeys); ++i) {
            const DownloadKey &k = kDownloadKeys[i];
            values[i] = k.kind == Kind::Text && !TextFieldSound(pInfo, k) ? nullptr : DownloadValue(pInfo, k, nums[i]);
            if (!values[i]) {
                SLIB_ERR(SLIB_ERR_BAD_PARAMETER);
                syslog(LOG_ERR, "%s (%d) There is an error here.", __FILE_NAME__, __LINE__);
                return -1;
            }
        }
        InfoLock lock(VAKO_INFO_LOCK_WRITE, VAKO_INFO_LOCK_TIMEOUT);
        if (!lock.held()) {
            syslog(LOG_ERR, "%s (%d) There is an error here.", __FILE_NAME__, __LINE__);
            return -1;
        }
        if (!SetDownloadKeys(values)) {
            syslog(LOG_ERR, "%s (%d) There is an error here.", __FILE_NAME__, __LINE__);
            return -1;
        }
        if (DownloadSchedulerSignal(SIGHUP) != 0)
            syslog(LOG_ERR, "%s (%d)Failed to hup scheduled.", __FILE_NAME__, __LINE__);
        return 0;
    });
}

int DownloadSchedulerSignal(int sig)
{
    slib::Fd fd(open(SZF_SCHEDULER_PID, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return 0;
        syslog(LOG_ERR, "%s (%d) Failed to open scheduler pid. %s (%d)", __FILE_NAME__, __LINE__, strerror(errno),
               errno);
        return -1;
    }
    char text[kPidTextMax + 1] = {};
    ssize_t got = read(fd.get(), text, kPidTextMax);
    if (got <= 0)
        return -1;
    pid_t pid = atoi(text);
    // 0 is this process group, 1 the init process: no scheduler of ours.
    if (pid <= 1)
        return 0;
    if (kill(pid, sig) != 0 && errno != ESRCH) {
        syslog(LOG_ERR, "%s (%d) Failed to send HUP to scheduler, reason=%s(%d)", __FILE_NAME__, __LINE__,
               strerror(errno), errno);
        return -1;
    }
    return 0;
}

} // extern "C"
