// FTP lists: the chroot list of confined accounts and the IPv4 clients of
// the hosts deny list. Both files are replaced only by renaming a complete
// temporary file over them.
#include "vako/ftp_list.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "slib/conf_read.h"
#include "slib/error.h"
#include "slib/str.h"
#include "slib/szhash.h"
#include "slibcxx/border.h"
#include "slibcxx/lines.h"
#include "slibcxx/raii.h"
#include "slibcxx/replace.h"
#include "vako/info.h"
#include "vako/net.h"

namespace {

// The operations' own source names: they head the log lines and are
// recorded with the error codes.
constexpr const char *kSrcAdd = "ftputil_chroot_user_add";
constexpr const char *kSrcDelete = "ftputil_chroot_user_delete";
constexpr const char *kSrcEnum = "ftputil_chroot_user_enum";
constexpr const char *kSrcDenyEnum = "ftputil_conn_security_deny_ip_enum";
constexpr const char *kSrcDenyDelete = "ftputil_conn_security_deny_ip_delete";

constexpr int kDomainListSize = 1024;
constexpr int kAddressKeySize = 16;
constexpr mode_t kNewListMode = 0666;

#define FTP_ERR(src, code) SLIBErrorSetEx((code), (src), __LINE__)

using ListPtr = slib::HeapPtr<SLIBSZLIST>;
using HashPtr = slib::HeapPtr<SLIBSZHASH>;

using slib::FileReplacer;
using slib::Guarded;
using slib::LineReader;

// The name of a chroot line (its text without the line feed); false for a
// comment or empty line.
bool ChrootName(const LineReader &in, std::string &name)
{
    if (in.line()[0] == '\n' || in.line()[0] == '#')
        return false;
    name.assign(in.text());
    return true;
}

// The common rewrite of the chroot list, read from in, its status st: the
// names that keep accepts, then the items of tail (when given). Codes are
// recorded under src.
int RewriteChroot(const char *src, LineReader &in, const struct stat &st, const std::function<bool(const char *)> &keep,
                  PSLIBSZLIST tail)
{
    FileReplacer out(src);
    if (!out.CreateUnique(SZF_FTP_CHROOT) || !out.CopyAttributes(st, false))
        return -1;
    std::string name;
    while (in.Next())
        if (ChrootName(in, name) && keep(name.c_str()) && !(out.Write(name) && out.Write("\n")))
            return -1;
    if (!in.CheckEnd())
        return -1;
    for (int i = 0; tail && i < tail->nItem; i++)
        if (!(out.Write(SLIBSzListGet(tail, i)) && out.Write("\n")))
            return -1;
    if (!out.Finish() || !out.RenameOver(SZF_FTP_CHROOT))
        return -1;
    return 0;
}

// A name that stays one name of the list: not empty, not a comment, one line.
bool ChrootNameSound(const char *name) { return name[0] && name[0] != '#' && !strpbrk(name, "\r\n"); }

// The missing chroot list, created holding the names: 0, 1 when it exists
// after all, -1.
int CreateChroot(PSLIBSZLIST users)
{
    // Part of the names would pass for the whole list: a list not written
    // whole goes again.
    FileReplacer out(kSrcAdd);
    if (!out.CreateNew(SZF_FTP_CHROOT, kNewListMode))
        return errno == EEXIST ? 1 : -1;
    for (int i = 0; i < users->nItem; i++)
        if (!(out.Write(SLIBSzListGet(users, i)) && out.Write("\n")))
            return -1;
    return out.Finish() ? 0 : -1;
}

// The client field of a deny line: between its first and second ':' (or
// the end), trimmed; false when the line has no ':'.
bool ClientField(std::string_view line, std::string &client)
{
    size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return false;
    std::string_view rest = line.substr(colon + 1);
    client.assign(rest.substr(0, rest.find(':')));
    int n = SLIBStrTrimSpace(client.data(), nullptr);
    client.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return true;
}

// The chroot list's names pushed onto the two lists; -1 (logged) on failure.
int PushChrootNames(LineReader &in, PSLIBSZLIST *pList, ListPtr &domains, bool homes)
{
    std::string name;
    while (in.Next()) {
        if (!ChrootName(in, name))
            continue;
        bool domain = name.find('\\') != std::string::npos;
        if (domain && !homes)
            continue;
        int r;
        if (domain) {
            PSLIBSZLIST raw = domains.release();
            r = SLIBSzListPush(&raw, name.c_str());
            domains.reset(raw);
        } else {
            r = SLIBSzListPush(pList, name.c_str());
        }
        if (r < 0) {
            syslog(LOG_ERR, "%s(%d) SLIBSzListPush failed!! err=[%d]", kSrcEnum, __LINE__, SLIBErrorGet());
            return -1;
        }
    }
    return in.CheckEnd() ? 0 : -1;
}

// The deny rewrite: every line whose client field is a key of del dropped.
// The number dropped, or -1.
int RewriteDeny(PSLIBSZHASH del)
{
    LineReader in(SZF_HOSTS_DENY, kSrcDenyDelete);
    struct stat st;
    if (!in.ok() || !in.Stat(&st))
        return -1;
    FileReplacer out(kSrcDenyDelete);
    if (!out.CreateFixed(SZF_HOSTS_DENY_TMP, 0600) || !out.CopyAttributes(st, true))
        return -1;
    auto writeFailed = [] {
        syslog(LOG_ERR, "%s:%d fflush(pfStreamOut) failed!", kSrcDenyDelete, __LINE__);
        return -1;
    };
    int dropped = 0;
    std::string trimmed, client;
    while (in.Next()) {
        trimmed.assign(in.view());
        if (SLIBStrTrimSpace(trimmed.data(), nullptr) < 0) {
            syslog(LOG_ERR, "%s:%d SLIBStrTrimSpace error!!", kSrcDenyDelete, __LINE__);
            return -1;
        }
        if (trimmed[0] != '\n' && trimmed[0] != '#' && ClientField(trimmed.c_str(), client) &&
            SzSLIBSzHashGetValue(del, client.c_str())) {
            dropped++;
            continue;
        }
        if (!out.Write(in.view()))
            return writeFailed();
    }
    if (!in.CheckEnd())
        return -1;
    if (!out.Finish()) {
        switch (out.failed()) {
        case FileReplacer::Step::kSync:
            syslog(LOG_ERR, "%s:%d fsync(fileno(pfStreamOut)) failed!", kSrcDenyDelete, __LINE__);
            return -1;
        case FileReplacer::Step::kClose:
            syslog(LOG_ERR, "%s:%d fclose(pfStreamOut) failed!", kSrcDenyDelete, __LINE__);
            return -1;
        default:
            return writeFailed();
        }
    }
    // Nothing dropped: the list stays as it was and the copy goes.
    if (dropped > 0 && !out.RenameOver(SZF_HOSTS_DENY))
        return -1;
    return dropped;
}

} // namespace

extern "C" {

int VAKOFTPAddChrootUser(PSLIBSZLIST users)
{
    // fn: this function's name (a lambda's own is "operator()")
    return Guarded(kSrcAdd, -1, [&, fn = __func__] {
        if (!users)
            return -1;
        for (int i = 0; i < users->nItem; i++) {
            if (!ChrootNameSound(SLIBSzListGet(users, i))) {
                FTP_ERR(kSrcAdd, SLIB_ERR_BAD_PARAMETER);
                return -1;
            }
        }
        std::optional<LineReader> in;
        while (!in.emplace(SZF_FTP_CHROOT, kSrcAdd).ok()) {
            // Only a missing list is made anew: one that cannot be read is
            // never overwritten.
            if (errno != ENOENT) {
                syslog(LOG_ERR, "%s(%d) fopen failed!! err=[%s]\n", fn, __LINE__, strerror(errno));
                return -1;
            }
            int created = CreateChroot(users);
            if (created <= 0)
                return created;
        }
        struct stat st;
        if (!in->Stat(&st))
            return -1;
        // The caller's list changes only when the list was written.
        auto size = static_cast<size_t>(users->cbSize);
        ListPtr added(static_cast<PSLIBSZLIST>(malloc(size)));
        if (!added) {
            FTP_ERR(kSrcAdd, SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
        memcpy(added.get(), users, size);
        auto keep = [&](const char *name) {
            int i = SLIBSzListCaseFind(added.get(), name);
            if (i >= 0)
                SzSLIBSzListRemove(added.get(), i);
            return true;
        };
        if (RewriteChroot(kSrcAdd, *in, st, keep, added.get()) != 0)
            return -1;
        memcpy(users, added.get(), size);
        return 0;
    });
}

int VAKOFTPDeleteChrootUser(PSLIBSZLIST users)
{
    // fn: this function's name (a lambda's own is "operator()")
    return Guarded(kSrcDelete, -1, [&, fn = __func__] {
        if (!users)
            return -1;
        LineReader in(SZF_FTP_CHROOT, kSrcDelete);
        if (!in.ok()) {
            if (errno == ENOENT)
                return 0;
            syslog(LOG_ERR, "%s(%d) fopen failed!! err=[%s]\n", fn, __LINE__, strerror(errno));
            return -1;
        }
        struct stat st;
        if (!in.Stat(&st))
            return -1;
        auto keep = [&](const char *name) { return SLIBSzListCaseFind(users, name) < 0; };
        return RewriteChroot(kSrcDelete, in, st, keep, nullptr);
    });
}

int VAKOFTPEnumChrootUser(PSLIBSZLIST *pList)
{
    return Guarded(kSrcEnum, -1, [&] {
        if (!pList || !*pList)
            return -1;
        ListPtr domains(PslSLIBSzListAlloc(kDomainListSize));
        if (!domains) {
            syslog(LOG_ERR, "%s (%d) Failed to malloc for list.", kSrcEnum, __LINE__);
            return -1;
        }
        bool homes = false;
        // A check that cannot be made for want of memory is no "no".
        if (slib::StepOutOfMemory(
                [&] { homes = SLIBFileCheckKeyValue(SZF_VAKO_INFO, "enableduserhome", "yes", 0) == 1; }))
            return -1;
        // Sorted lists: each push places its name in caseless order.
        (*pList)->type = SLIB_SZLIST_SORT_CASE;
        domains->type = SLIB_SZLIST_SORT_CASE;
        LineReader in(SZF_FTP_CHROOT, kSrcEnum);
        if (!in.ok()) {
            if (errno == ENOENT)
                return 0;
            syslog(LOG_ERR, "%s(%d) fopen failed!! err=[%s]\n", kSrcEnum, __LINE__, strerror(errno));
            return -1;
        }
        if (PushChrootNames(in, pList, domains, homes) != 0)
            return -1;
        (*pList)->type = SLIB_SZLIST_UNSORTED;
        domains->type = SLIB_SZLIST_UNSORTED;
        if (homes && !PslSLIBSzListOr(pList, domains.get(), 0))
            return -1;
        return (*pList)->nItem;
    });
}

int ConnSecurityDenyIPEnum(PSLIBSZLIST *pList)
{
    // fn: this function's name (a lambda's own is "operator()")
    return Guarded(kSrcDenyEnum, -1, [&, fn = __func__] {
        // Without a list there is no count to give, whatever the file holds.
        if (!pList || !*pList)
            return -1;
        LineReader in(SZF_HOSTS_DENY, kSrcDenyEnum);
        if (!in.ok()) {
            syslog(LOG_ERR, "%s: %s(%d) - fopen(%s) failed!! err=[%s]\n", kSrcDenyEnum, fn, __LINE__, SZF_HOSTS_DENY,
                   strerror(errno));
            return -1;
        }
        std::string client;
        // Whole lines: a piece of a long line is no line of its own.
        while (in.Next()) {
            std::string_view line = in.view();
            if (line[0] == '\n' || line[0] == '#' || !ClientField(line, client) || !VAKONetIsIPAddr(client.c_str()))
                continue;
            if (SLIBSzListPush(pList, client.c_str()) < 0) {
                syslog(LOG_ERR, "%s: %s(%d) - SLIBSzListPush(%s) failed!! err=[%d]\n", kSrcDenyEnum, fn, __LINE__,
                       SZF_HOSTS_DENY, SLIBErrorGet());
                return -1;
            }
        }
        return in.CheckEnd() ? (*pList)->nItem : -1;
    });
}

int ConnSecurityDenyIPDelete(PSLIBSZLIST addresses)
{
    return Guarded(kSrcDenyDelete, -1, [&] {
        if (!addresses) {
            FTP_ERR(kSrcDenyDelete, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        long long cb = static_cast<long long>(addresses->nItem) * kAddressKeySize;
        HashPtr del(SLIBSzHashAlloc(cb > INT_MAX ? INT_MAX : static_cast<int>(cb)));
        if (!del) {
            FTP_ERR(kSrcDenyDelete, SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
        for (int i = 0; i < addresses->nItem; i++) {
            PSLIBSZHASH raw = del.release();
            int r = SLIBSzHashSetValue(&raw, SLIBSzListGet(addresses, i), "");
            del.reset(raw);
            if (r < 0)
                return -1;
        }
        int dropped = RewriteDeny(del.get());
        if (dropped < 0) {
            syslog(LOG_ERR, "%s:%d NetBackupIModifyConf(&pshHashDel) failed", kSrcDenyDelete, __LINE__);
            return -1;
        }
        return dropped;
    });
}

} // extern "C"
