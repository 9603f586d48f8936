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
#include <string>
#include <string_view>

#include "slib/conf_read.h"
#include "slib/error.h"
#include "slib/str.h"
#include "slib/szhash.h"
#include "slibcxx/raii.h"
#include "text_file.h"
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

constexpr const char *kChrootTemp = SZF_FTP_CHROOT ".XXXXXX";
constexpr int kDomainListSize = 1024;
constexpr int kAddressKeySize = 16;
constexpr mode_t kNewListMode = 0666;

#define FTP_ERR(src, code) SLIBErrorSetEx((code), (src), __LINE__)

using ListPtr = slib::HeapPtr<SLIBSZLIST>;
using HashPtr = slib::HeapPtr<SLIBSZHASH>;

using vako::text::Bare;
using vako::text::Lines;
using vako::text::ReadWhole;
using vako::text::Replacement;

// The name of a chroot line (its text without the line feed); false for a
// comment or empty line.
bool ChrootName(std::string_view line, std::string &name)
{
    if (line[0] == '\n' || line[0] == '#')
        return false;
    name.assign(Bare(line));
    return true;
}

// The common rewrite of the chroot list, read as text with status st: the
// names that keep accepts, then the items of tail (when given). Codes are
// recorded under src.
int RewriteChroot(const char *src, std::string_view text, const struct stat &st,
                  const std::function<bool(const char *)> &keep, PSLIBSZLIST tail)
{
    Replacement out(src);
    if (!out.Create(kChrootTemp, true))
        return -1;
    Lines lines(text);
    std::string name;
    for (std::string_view line; lines.Next(line);)
        if (ChrootName(line, name) && keep(name.c_str()))
            out.text() += name + '\n';
    for (int i = 0; tail && i < tail->nItem; i++)
        out.text() += std::string(SLIBSzListGet(tail, i)) + '\n';
    if (!out.Write() || !out.Sync() || !out.Attributes(st, false) || !out.Close() || !out.RenameOver(SZF_FTP_CHROOT))
        return -1;
    return 0;
}

// A name that stays one name of the list: not empty, not a comment, one line.
bool ChrootNameSound(const char *name) { return name[0] && name[0] != '#' && !strpbrk(name, "\r\n"); }

// The missing chroot list, created holding the names: 0, 1 when it exists
// after all, -1.
int CreateChroot(PSLIBSZLIST users)
{
    std::string text;
    for (int i = 0; i < users->nItem; i++)
        text += std::string(SLIBSzListGet(users, i)) + '\n';
    slib::Fd fd(open(SZF_FTP_CHROOT, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewListMode));
    if (fd.get() < 0) {
        if (errno == EEXIST)
            return 1;
        FTP_ERR(kSrcAdd, SLIB_ERR_OPEN);
        return -1;
    }
    if (!vako::text::WriteAll(fd.get(), text.data(), text.size()) || fsync(fd.get()) != 0) {
        // Part of the names would pass for the whole list.
        unlink(SZF_FTP_CHROOT);
        FTP_ERR(kSrcAdd, SLIB_ERR_WRITE);
        return -1;
    }
    return 0;
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
int PushChrootNames(std::string_view text, PSLIBSZLIST *pList, ListPtr &domains, bool homes)
{
    Lines lines(text);
    std::string name;
    for (std::string_view line; lines.Next(line);) {
        if (!ChrootName(line, name))
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
    return 0;
}

// The deny rewrite: every line whose client field is a key of del dropped.
// The number dropped, or -1.
int RewriteDeny(PSLIBSZHASH del)
{
    std::string text;
    struct stat st;
    if (!ReadWhole(kSrcDenyDelete, SZF_HOSTS_DENY, text, &st))
        return -1;
    Replacement out(kSrcDenyDelete);
    if (!out.Create(SZF_HOSTS_DENY_TMP, false))
        return -1;
    int dropped = 0;
    std::string trimmed, client;
    Lines lines(text);
    for (std::string_view line; lines.Next(line);) {
        trimmed.assign(line);
        if (SLIBStrTrimSpace(trimmed.data(), nullptr) < 0) {
            syslog(LOG_ERR, "%s:%d SLIBStrTrimSpace error!!", kSrcDenyDelete, __LINE__);
            return -1;
        }
        if (trimmed[0] != '\n' && trimmed[0] != '#' && ClientField(trimmed.c_str(), client) &&
            SzSLIBSzHashGetValue(del, client.c_str())) {
            dropped++;
            continue;
        }
        out.text() += line;
    }
    if (!out.Attributes(st, true))
        return -1;
    if (!out.Write()) {
        syslog(LOG_ERR, "%s:%d fflush(pfStreamOut) failed!", kSrcDenyDelete, __LINE__);
        return -1;
    }
    if (!out.Sync()) {
        syslog(LOG_ERR, "%s:%d fsync(fileno(pfStreamOut)) failed!", kSrcDenyDelete, __LINE__);
        return -1;
    }
    if (!out.Close()) {
        syslog(LOG_ERR, "%s:%d fclose(pfStreamOut) failed!", kSrcDenyDelete, __LINE__);
        return -1;
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
    if (!users)
        return -1;
    for (int i = 0; i < users->nItem; i++) {
        if (!ChrootNameSound(SLIBSzListGet(users, i))) {
            FTP_ERR(kSrcAdd, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
    }
    const char *fn = __func__; // a lambda's own is "operator()"
    return vako::text::Guarded(kSrcAdd, -1, [&] {
        std::string text;
        struct stat st;
        while (!ReadWhole(kSrcAdd, SZF_FTP_CHROOT, text, &st)) {
            // Only a missing list is made anew: one that cannot be read is
            // never overwritten.
            if (SLIBErrorGet() != SLIB_ERR_OPEN || errno != ENOENT) {
                if (SLIBErrorGet() == SLIB_ERR_OPEN)
                    syslog(LOG_ERR, "%s(%d) fopen failed!! err=[%s]\n", fn, __LINE__, strerror(errno));
                return -1;
            }
            int created = CreateChroot(users);
            if (created <= 0)
                return created;
        }
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
        if (RewriteChroot(kSrcAdd, text, st, keep, added.get()) != 0)
            return -1;
        memcpy(users, added.get(), size);
        return 0;
    });
}

int VAKOFTPDeleteChrootUser(PSLIBSZLIST users)
{
    if (!users)
        return -1;
    const char *fn = __func__; // a lambda's own is "operator()"
    return vako::text::Guarded(kSrcDelete, -1, [&] {
        std::string text;
        struct stat st;
        if (!ReadWhole(kSrcDelete, SZF_FTP_CHROOT, text, &st)) {
            if (SLIBErrorGet() != SLIB_ERR_OPEN)
                return -1;
            if (errno == ENOENT)
                return 0;
            syslog(LOG_ERR, "%s(%d) fopen failed!! err=[%s]\n", fn, __LINE__, strerror(errno));
            return -1;
        }
        auto keep = [&](const char *name) { return SLIBSzListCaseFind(users, name) < 0; };
        return RewriteChroot(kSrcDelete, text, st, keep, nullptr);
    });
}

int VAKOFTPEnumChrootUser(PSLIBSZLIST *pList)
{
    if (!pList || !*pList)
        return -1;
    ListPtr domains(PslSLIBSzListAlloc(kDomainListSize));
    if (!domains) {
        syslog(LOG_ERR, "%s (%d) Failed to malloc for list.", kSrcEnum, __LINE__);
        return -1;
    }
    // Sorted lists: each push places its name in caseless order.
    (*pList)->type = SLIB_SZLIST_SORT_CASE;
    domains->type = SLIB_SZLIST_SORT_CASE;
    bool homes = SLIBFileCheckKeyValue(SZF_VAKO_INFO, "enableduserhome", "yes", 0) == 1;
    return vako::text::Guarded(kSrcEnum, -1, [&] {
        std::string text;
        if (!ReadWhole(kSrcEnum, SZF_FTP_CHROOT, text)) {
            if (SLIBErrorGet() != SLIB_ERR_OPEN)
                return -1;
            if (errno == ENOENT)
                return 0;
            syslog(LOG_ERR, "%s(%d) fopen failed!! err=[%s]\n", kSrcEnum, __LINE__, strerror(errno));
            return -1;
        }
        if (PushChrootNames(text, pList, domains, homes) != 0)
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
    // Without a list there is no count to give, whatever the file holds.
    if (!pList || !*pList)
        return -1;
    const char *fn = __func__; // a lambda's own is "operator()"
    return vako::text::Guarded(kSrcDenyEnum, -1, [&] {
        std::string text;
        if (!ReadWhole(kSrcDenyEnum, SZF_HOSTS_DENY, text)) {
            if (SLIBErrorGet() == SLIB_ERR_OPEN)
                syslog(LOG_ERR, "%s: %s(%d) - fopen(%s) failed!! err=[%s]\n", kSrcDenyEnum, fn, __LINE__,
                       SZF_HOSTS_DENY, strerror(errno));
            return -1;
        }
        std::string client;
        Lines lines(text);
        // Whole lines: a piece of a long line is no line of its own.
        for (std::string_view line; lines.Next(line);) {
            if (line[0] == '\n' || line[0] == '#' || !ClientField(line, client) || !VAKONetIsIPAddr(client.c_str()))
                continue;
            if (SLIBSzListPush(pList, client.c_str()) < 0) {
                syslog(LOG_ERR, "%s: %s(%d) - SLIBSzListPush(%s) failed!! err=[%d]\n", kSrcDenyEnum, fn, __LINE__,
                       SZF_HOSTS_DENY, SLIBErrorGet());
                return -1;
            }
        }
        return (*pList)->nItem;
    });
}

int ConnSecurityDenyIPDelete(PSLIBSZLIST addresses)
{
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
    int dropped = vako::text::Guarded(kSrcDenyDelete, -1, [&] { return RewriteDeny(del.get()); });
    if (dropped < 0) {
        syslog(LOG_ERR, "%s:%d NetBackupIModifyConf(&pshHashDel) failed", kSrcDenyDelete, __LINE__);
        return -1;
    }
    return dropped;
}

} // extern "C"
