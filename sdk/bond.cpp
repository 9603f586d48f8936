// Link aggregation: a bond's state as the kernel's bonding files show it, and
// its configuration in the interface configuration files of the bond and of
// its slaves, rewritten while the network service is stopped.
#include "vako/bond.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "slib/conf_read.h"
#include "slib/conf_write.h"
#include "slib/error.h"
#include "slib/proc.h"
#include "slib/str.h"
#include "slib/szhash.h"
#include "slibcxx/border.h"
#include "slibcxx/raii.h"
#include "slibcxx/replace.h"

// Records the code with the operation's source name and the failing step's
// line; BOND_FAIL also gives -1.
#define BOND_ERR(src, code)  SLIBErrorSetEx((code), (src), __LINE__)
#define BOND_FAIL(src, code) (BOND_ERR(src, code), -1)

namespace {

constexpr const char *kSysClassNet = "/sys/class/net/";
constexpr const char *kSlavesFile = "/bonding/slaves";
constexpr const char *kModeFile = "/bonding/mode";
constexpr const char *kProcBonding = "/proc/net/bonding";
constexpr const char *kIfcfgPrefix = "/etc/sysconfig/network-scripts/ifcfg-";
constexpr const char *kSavedSuffix = ".saved";
// The network service script, run with "stop" or "start".
constexpr const char *kRcNetwork = "/etc/rc.network";

constexpr const char *kPartnerPrefix = "\tPartner Mac Address: ";
constexpr const char *kNoPartner = "00:00:00:00:00:00";
constexpr const char *kBlanks = " \t\n";
constexpr const char *kLineFormat = "%s=%s\n";
constexpr const char *kIfNameChars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-";
constexpr int kListSize = 1024;
constexpr int kHashSize = 1024;
constexpr int kBootProtoSize = 64;

// The operations' own source names: log prefixes and the file recorded
// with an error code.
constexpr const char *kSrcGet = "net_link_aggr_get";
constexpr const char *kSrcPhyGet = "net_link_aggr_phy_get";
constexpr const char *kSrcSlaveAdd = "net_link_aggr_opt_slave_add";
constexpr const char *kSrcSet = "net_link_aggr_set";

struct ModeText {
    const char *text; // compared as a prefix of the mode file's first line
    int mode;
};
constexpr ModeText kModeTexts[] = {
    {"802.3ad 4", VAKO_BOND_MODE_8023AD},
    {"balance-alb 6", VAKO_BOND_MODE_BALANCE_ALB},
    {"active-backup 1", VAKO_BOND_MODE_ACTIVE_BACKUP},
};

// The value of BONDING_OPTS by mode, quotes included; NULL for a mode
// without options.
const char *OptionsOf(int mode)
{
    switch (mode) {
    case VAKO_BOND_MODE_8023AD:
        return "\"mode=4 use_carrier=0 miimon=100 updelay=100 lacp_rate=fast\"";
    case VAKO_BOND_MODE_BALANCE_ALB:
        return "\"mode=balance-alb use_carrier=0 miimon=100 updelay=100\"";
    case VAKO_BOND_MODE_ACTIVE_BACKUP:
        return "\"mode=active-backup use_carrier=0 miimon=100 updelay=100 primary=eth0\"";
    default:
        return nullptr;
    }
}

using ListPtr = slib::HeapPtr<SLIBSZLIST>;
using HashPtr = slib::HeapPtr<SLIBSZHASH>;

// Names become parts of paths ("/sys/class/net/<name>/...", "ifcfg-<name>")
// and values of configuration lines: only what a kernel interface name can
// be, and short enough for the kernel's name field with its NUL.  Reads at
// most VAKO_IFNAME_SIZE bytes, so a record's field without a NUL is refused.
bool IsIfName(const char *sz)
{
    size_t n = strnlen(sz, VAKO_IFNAME_SIZE);
    return n > 0 && n < VAKO_IFNAME_SIZE && strspn(sz, kIfNameChars) == n && strcmp(sz, ".") != 0 &&
           strcmp(sz, "..") != 0;
}

std::string IfcfgPath(const char *szIf) { return std::string(kIfcfgPrefix) + szIf; }
std::string SavedPath(const std::string &file) { return file + kSavedSuffix; }

int LinkAggrSlaveCmp(const void *a, const void *b)
{
    return strncmp(static_cast<const char *>(a), static_cast<const char *>(b), VAKO_IFNAME_SIZE);
}

bool Put(HashPtr &hash, const char *szKey, const char *szValue)
{
    PSLIBSZHASH raw = hash.release();
    int idx = SLIBSzHashSetValue(&raw, szKey, szValue);
    hash.reset(raw);
    return idx >= 0;
}

// BOOTPROTO of the file is one that a bond's or a released slave's file keeps.
bool KeepsBootProto(const std::string &file)
{
    char szValue[kBootProtoSize] = {};
    if (SLIBFileGetKeyValue(file.c_str(), "BOOTPROTO", szValue, sizeof(szValue), 0) <= 0)
        return false;
    return strcasecmp(szValue, "static") == 0 || strcasecmp(szValue, "dhcp") == 0;
}

// ---- whole files, replaced through a temporary file and a checked rename ----

// 1 with the file's bytes and status, 0 when it does not exist, -1 with the
// code recorded under src.
int ReadWhole(const std::string &path, std::string &bytes, struct stat &st, const char *src)
{
    return slib::ReadWholeFile(path.c_str(), bytes, st, src);
}

// A kernel file's bytes: 0, or -1 with 0x0900 (no such file) or 0x0A00.
int ReadKernelFile(const std::string &path, std::string &bytes, const char *src)
{
    struct stat st;
    int r = ReadWhole(path, bytes, st, src);
    return r == 0 ? BOND_FAIL(src, SLIB_ERR_OPEN) : r < 0 ? -1 : 0;
}

// Its first line as read, line end included: 0, or -1 with the code.
int ReadFirstLine(const std::string &path, std::string &line, const char *src)
{
    std::string bytes;
    if (ReadKernelFile(path, bytes, src) < 0)
        return -1;
    if (bytes.empty())
        return BOND_FAIL(src, SLIB_ERR_READ);
    size_t end = bytes.find('\n');
    line = bytes.substr(0, end == std::string::npos ? end : end + 1);
    return 0;
}

// True when the bond's status file names a link partner.
bool PartnerKnown(const char *szBond)
{
    std::string bytes;
    if (ReadKernelFile(std::string(kProcBonding) + "/" + szBond, bytes, kSrcGet) < 0)
        return false;
    std::string_view rest(bytes);
    while (!rest.empty()) {
        size_t end = rest.find('\n');
        // Only a line end is dropped: the file's last line may have none.
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (!line.starts_with(kPartnerPrefix))
            continue;
        line.remove_prefix(strlen(kPartnerPrefix));
        size_t start = line.find_first_not_of(kBlanks);
        line = start == std::string_view::npos ? std::string_view() : line.substr(start);
        return !line.empty() && line != kNoPartner;
    }
    return false;
}

// Replaces path by a file holding bytes, with the given owner and mode. A
// reader sees the old file or the new one whole; on failure the old file
// stays and the temporary file is removed.
bool WriteWhole(const std::string &path, const std::string &bytes, mode_t mode, uid_t uid, gid_t gid)
{
    slib::FileReplacer out(kSrcSet);
    out.AttributesWhenWhole(uid, gid, mode);
    return out.CreateUnique(path.c_str()) && out.Write(bytes) && out.Finish() && out.RenameOver(path.c_str());
}

// cp -f from to, without a program. The copy gets the source's owner and
// mode when keepSource is set or to does not exist yet; else to keeps its
// own. 1 copied, 0 when the source does not exist (nothing changed), -1
// with the code recorded (to unchanged).
int CopyFile(const std::string &from, const std::string &to, bool keepSource)
{
    std::string bytes;
    struct stat st;
    int r = ReadWhole(from, bytes, st, kSrcSet);
    if (r <= 0)
        return r;
    struct stat dst;
    if (!keepSource && stat(to.c_str(), &dst) == 0)
        st = dst;
    return WriteWhole(to, bytes, st.st_mode, st.st_uid, st.st_gid) ? 1 : -1;
}

// What one change of the configuration altered, so that its undo restores
// exactly that and nothing else. A slave's file is saved beside it
// (".saved") before the change first writes it; the bond's file is kept in
// memory.
class Undo {
public:
    // Before a slave's file is first written: false (code recorded) when
    // its copy could not be made, and the file must then stay as it is.
    bool SaveSlave(const std::string &file)
    {
        if (Recorded(file))
            return true;
        // Room for the entry is made before the copy: a copy made is
        // always recorded, so that the undo removes it again.
        Entry e{file, SavedPath(file), true, false, {}, {}};
        entries_.reserve(entries_.size() + 1);
        // The copy carries the file's owner and mode, which it gets back.
        int r = CopyFile(file, e.saved, true);
        if (r < 0)
            return false;
        e.existed = r == 1;
        entries_.push_back(std::move(e));
        return true;
    }

    // Before the bond's file is first written.
    bool KeepBond(const std::string &file)
    {
        if (Recorded(file))
            return true;
        Entry e{file, {}, false, false, {}, {}};
        int r = ReadWhole(file, e.bytes, e.st, kSrcSet);
        if (r < 0)
            return false;
        e.existed = r == 1;
        entries_.push_back(std::move(e));
        return true;
    }

    // Puts back what was recorded, the latest first. The failure's code
    // stays the one recorded.
    void Run()
    {
        slib::SavedError failure;
        for (auto it = entries_.rbegin(); it != entries_.rend(); ++it)
            if (!slib::Guarded(nullptr, false, [&] { return Restore(*it); }))
                syslog(LOG_ERR, "%s:%d Failed to restore %s", kSrcSet, __LINE__, it->file.c_str());
        failure.Restore();
    }

    // After a change that holds: the slaves' copies are not needed.
    void DropSaved() const
    {
        for (const Entry &e : entries_)
            if (e.slave)
                unlink(e.saved.c_str());
    }

private:
    struct Entry {
        std::string file;
        std::string saved; // a slave's copy
        bool slave;        // restored from its ".saved" copy, else from bytes
        bool existed;      // absent before: removed again
        std::string bytes;
        struct stat st;
    };

    bool Recorded(const std::string &file) const
    {
        for (const Entry &e : entries_)
            if (e.file == file)
                return true;
        return false;
    }

    static bool Restore(const Entry &e)
    {
        if (!e.existed)
            return unlink(e.file.c_str()) == 0 || errno == ENOENT;
        if (e.slave)
            return rename(e.saved.c_str(), e.file.c_str()) == 0;
        return WriteWhole(e.file, e.bytes, e.st.st_mode, e.st.st_uid, e.st.st_gid);
    }

    std::vector<Entry> entries_;
};

// A record's name and its first nSlave slaves are interface names, none the
// bond itself; nSlave within 0 to 8.
bool ValidRecord(const VAKOLINKAGGR &a)
{
    if (!IsIfName(a.szName) || a.nSlave < 0 || a.nSlave > VAKO_BOND_MAX_SLAVE)
        return false;
    for (int i = 0; i < a.nSlave; ++i)
        if (!IsIfName(a.szSlave[i]) || strcmp(a.szSlave[i], a.szName) == 0)
            return false;
    return true;
}

// Rewrites a slave's file for (fEnslave) or after (!fEnslave) the bond.
int LinkAggrSlaveConfSet(const char *szSlave, int fEnslave, const char *szBond, Undo &undo)
{
    if (!szSlave || (fEnslave && !szBond) || !IsIfName(szSlave) || (fEnslave && !IsIfName(szBond)))
        return BOND_FAIL(kSrcSet, SLIB_ERR_BAD_PARAMETER);
    HashPtr set(SLIBSzHashAlloc(kHashSize)), remove(SLIBSzHashAlloc(kHashSize));
    if (!set || !remove)
        return BOND_FAIL(kSrcSet, SLIB_ERR_OUT_OF_MEMORY);
    std::string file = IfcfgPath(szSlave);
    bool ok = Put(set, "DEVICE", szSlave);
    if (fEnslave) {
        ok = ok && Put(set, "BOOTPROTO", "none") && Put(set, "USERCTL", "no") && Put(set, "MASTER", szBond) &&
             Put(set, "SLAVE", "yes");
        for (const char *key : {"IPADDR", "NETMASK", "NETWORK", "BROADCAST"})
            ok = ok && Put(remove, key, "");
    } else {
        if (!KeepsBootProto(file))
            ok = ok && Put(set, "BOOTPROTO", "dhcp");
        for (const char *key : {"USERCTL", "BONDING_OPTS", "MASTER", "SLAVE"})
            ok = ok && Put(remove, key, "");
    }
    if (!ok)
        return -1;
    if (!undo.SaveSlave(file))
        return -1;
    return SLIBFileSetKeys(file.c_str(), set.get(), remove.get(), kLineFormat) < 0 ? -1 : 0;
}

// The bond's file from its first slave's file, then every slave enslaved;
// what it changed is recorded in undo.
int LinkAggrCreate(const VAKOLINKAGGR *pAggr, Undo &undo)
{
    if (!pAggr || !ValidRecord(*pAggr) || pAggr->nSlave < 2 || !OptionsOf(pAggr->mode))
        return BOND_FAIL(kSrcSet, SLIB_ERR_BAD_PARAMETER);
    HashPtr set(SLIBSzHashAlloc(kHashSize)), remove(SLIBSzHashAlloc(kHashSize));
    if (!set || !remove)
        return BOND_FAIL(kSrcSet, SLIB_ERR_OUT_OF_MEMORY);
    std::string bondFile = IfcfgPath(pAggr->szName);
    // A first slave without a file leaves the bond's file to be built from
    // what it holds, if anything.
    if (!undo.KeepBond(bondFile) || CopyFile(IfcfgPath(pAggr->szSlave[0]), bondFile, false) < 0)
        return -1;
    bool ok = true;
    if (!KeepsBootProto(bondFile))
        ok = Put(set, "BOOTPROTO", "dhcp");
    ok = ok && Put(set, "DEVICE", pAggr->szName) && Put(set, "ONBOOT", "yes") && Put(set, "USERCTL", "no") &&
         Put(set, "BONDING_OPTS", OptionsOf(pAggr->mode)) && Put(remove, "MASTER", "") && Put(remove, "SLAVE", "");
    if (!ok || SLIBFileSetKeys(bondFile.c_str(), set.get(), remove.get(), kLineFormat) < 0)
        return -1;
    for (int i = 0; i < pAggr->nSlave; ++i)
        if (LinkAggrSlaveConfSet(pAggr->szSlave[i], 1, pAggr->szName, undo) < 0)
            return -1;
    undo.DropSaved();
    return 0;
}

// The bond's file back to its first slave, every slave released, the bond's
// file removed; what it changed is recorded in undo. The slaves' ".saved"
// copies stay.
int LinkAggrRemove(const VAKOLINKAGGR *pAggr, Undo &undo)
{
    // Without a slave the bond's address settings would have nowhere to go.
    if (!pAggr || !ValidRecord(*pAggr) || pAggr->nSlave < 1)
        return BOND_FAIL(kSrcSet, SLIB_ERR_BAD_PARAMETER);
    std::string bondFile = IfcfgPath(pAggr->szName);
    std::string first = IfcfgPath(pAggr->szSlave[0]);
    if (!undo.SaveSlave(first))
        return -1;
    if (CopyFile(bondFile, first, false) != 1)
        return BOND_FAIL(kSrcSet, SLIB_ERR_EXEC); // the copy back reports as its command did
    for (int i = 0; i < pAggr->nSlave; ++i)
        if (LinkAggrSlaveConfSet(pAggr->szSlave[i], 0, nullptr, undo) < 0)
            return -1;
    if (unlink(bondFile.c_str()) != 0 && errno != ENOENT)
        return BOND_FAIL(kSrcSet, SLIB_ERR_WRITE);
    return 0;
}

// Runs one change: a change that fails, also for want of memory part way
// (0x0200), is undone.
int Undone(int (*change)(const VAKOLINKAGGR *, Undo &), const VAKOLINKAGGR *pAggr)
{
    Undo undo;
    int r = slib::Guarded(kSrcSet, -1, [&] { return change(pAggr, undo); });
    if (r < 0)
        undo.Run();
    return r;
}

// Without a shell: the script's output goes to /dev/null all the same.
void RunNetwork(const char *szArg)
{
    // What the service script gives is not looked at.
    int status = SLIBProcExec(kRcNetwork, szArg, nullptr, nullptr, nullptr);
    (void)status;
}

} // namespace

extern "C" {

int VAKONetLinkAggrPhyGet(const char *szBond, PSLIBSZLIST *pList)
{
    return slib::Guarded(kSrcPhyGet, -1, [&] {
        if (!szBond || !pList || !IsIfName(szBond))
            return BOND_FAIL(kSrcPhyGet, SLIB_ERR_BAD_PARAMETER);
        std::string line;
        if (ReadFirstLine(kSysClassNet + std::string(szBond) + kSlavesFile, line, kSrcPhyGet) < 0)
            return -1;
        return SLIBStrTok(line.c_str(), kBlanks, pList);
    });
}

int VAKONetLinkAggrOptSlaveAdd(VAKOLINKAGGR *pAggr, const char *szSlave)
{
    if (!pAggr || !szSlave || !IsIfName(szSlave) || pAggr->nSlave < 0)
        return BOND_FAIL(kSrcSlaveAdd, SLIB_ERR_BAD_PARAMETER);
    if (pAggr->nSlave >= VAKO_BOND_MAX_SLAVE)
        return BOND_FAIL(kSrcSlaveAdd, VAKO_ERR_BOND_FULL);
    size_t n = static_cast<size_t>(pAggr->nSlave);
    if (bsearch(szSlave, pAggr->szSlave, n, sizeof(pAggr->szSlave[0]), LinkAggrSlaveCmp))
        return BOND_FAIL(kSrcSlaveAdd, VAKO_ERR_BOND_SLAVE_EXISTS);
    char *slot = pAggr->szSlave[n];
    memset(slot, 0, sizeof(pAggr->szSlave[0]));
    memcpy(slot, szSlave, strlen(szSlave));
    pAggr->nSlave++;
    qsort(pAggr->szSlave, n + 1, sizeof(pAggr->szSlave[0]), LinkAggrSlaveCmp);
    return 0;
}

int VAKONetLinkAggrGet(const char *szBond, VAKOLINKAGGR *pAggr)
{
    return slib::Guarded(kSrcGet, -1, [&] {
        if (!szBond || !pAggr || !IsIfName(szBond))
            return BOND_FAIL(kSrcGet, SLIB_ERR_BAD_PARAMETER);
        memset(pAggr, 0, sizeof(*pAggr));
        memcpy(pAggr->szName, szBond, strlen(szBond));
        ListPtr list(PslSLIBSzListAlloc(kListSize));
        if (!list)
            return BOND_FAIL(kSrcGet, SLIB_ERR_OUT_OF_MEMORY);
        PSLIBSZLIST raw = list.release();
        int n = VAKONetLinkAggrPhyGet(szBond, &raw);
        list.reset(raw);
        // No slaves (or no bond) is mode 0, but not for want of memory.
        if (n < 0 && slib::OutOfMemory())
            return -1;
        if (n <= 0)
            return 0;
        for (int i = 0; i < n; ++i)
            if (VAKONetLinkAggrOptSlaveAdd(pAggr, SLIBSzListGet(list.get(), i)) < 0)
                return -1;

        std::string line;
        if (ReadFirstLine(kSysClassNet + std::string(szBond) + kModeFile, line, kSrcGet) < 0)
            return -1;
        for (const ModeText &m : kModeTexts)
            if (strncmp(line.c_str(), m.text, strlen(m.text)) == 0)
                pAggr->mode = m.mode;
        if (pAggr->mode == VAKO_BOND_MODE_NONE)
            syslog(LOG_ERR, "%s:%d Non-supported bonding mode [%s]", kSrcGet, __LINE__, line.c_str());
        if (pAggr->mode == VAKO_BOND_MODE_8023AD)
            pAggr->partnerMissing = PartnerKnown(szBond) ? 0 : 1;
        return 0;
    });
}

int VAKONetLinkAggrSet(VAKOLINKAGGR *pAggr)
{
    return slib::Guarded(kSrcSet, -1, [&] {
        if (!pAggr || !pAggr->szName[0] || pAggr->mode < 0 || pAggr->mode > VAKO_BOND_MODE_ACTIVE_BACKUP ||
            !ValidRecord(*pAggr))
            return BOND_FAIL(kSrcSet, SLIB_ERR_BAD_PARAMETER);
        VAKOLINKAGGR current;
        memset(&current, 0, sizeof(current));
        bool haveCurrent = VAKONetLinkAggrGet(pAggr->szName, &current) == 0;
        // A bond that cannot be read for want of memory would not be removed.
        if (!haveCurrent && slib::OutOfMemory())
            return -1;
        if (haveCurrent && memcmp(&current, pAggr, sizeof(current)) == 0)
            return 0;
        ListPtr list(PslSLIBSzListAlloc(kListSize));
        if (!list)
            return -1;
        if (pAggr->mode == VAKO_BOND_MODE_NONE && pAggr->nSlave == 0) {
            PSLIBSZLIST raw = list.release();
            int n = VAKONetLinkAggrPhyGet(pAggr->szName, &raw);
            list.reset(raw);
            if (n < 0 && slib::OutOfMemory())
                return -1;
            for (int i = 0; i < n; ++i)
                VAKONetLinkAggrOptSlaveAdd(pAggr, SLIBSzListGet(list.get(), i));
        }
        RunNetwork("stop");
        // The service comes back whatever ends the change.
        struct Restart {
            ~Restart() { RunNetwork("start"); }
        } restart;
        if (pAggr->mode == VAKO_BOND_MODE_NONE)
            return Undone(LinkAggrRemove, pAggr);
        if (haveCurrent)
            Undone(LinkAggrRemove, &current);
        return Undone(LinkAggrCreate, pAggr);
    });
}

} // extern "C"
