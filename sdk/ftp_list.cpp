// FTP lists: the chroot list of confined accounts and the IPv4 clients of
// the hosts deny list. Both files are replaced only by renaming a complete
// temporary file over them.
#include "vako/ftp_list.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "slib/conf_read.h"
#include "slib/error.h"
#include "slib/str.h"
#include "slib/szhash.h"
#include "slibcxx/raii.h"
#include "vako/info.h"
#include "vako/net.h"

namespace {

// Log prefixes: the operations' own source names.
constexpr const char *kSrcEnum = "ftputil_chroot_user_enum";
constexpr const char *kSrcDenyEnum = "ftputil_conn_security_deny_ip_enum";
constexpr const char *kSrcDenyDelete = "ftputil_conn_security_deny_ip_delete";

constexpr const char *kChrootTemp = SZF_FTP_CHROOT ".XXXXXX";
constexpr int kDomainListSize = 1024;
constexpr int kAddressKeySize = 16;
constexpr mode_t kNewListMode = 0666;
constexpr mode_t kTempMode = 0600;

using ListPtr = slib::HeapPtr<SLIBSZLIST>;
using HashPtr = slib::HeapPtr<SLIBSZHASH>;

// The new content of a list, written to a temporary file beside it. Until
// Commit renames it over the list it is removed on every path.
class Replacement {
public:
    Replacement() = default;
    ~Replacement()
    {
        if (fp_)
            fclose(fp_);
        if (!path_.empty())
            unlink(path_.c_str());
    }
    Replacement(const Replacement &) = delete;
    Replacement &operator=(const Replacement &) = delete;

    // A new file from the pattern (mkstemp), or the fixed path.
    bool Create(const char *path, bool unique)
    {
        std::string name = path;
        int fd = unique ? mkstemp(name.data())
                        : open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, kTempMode);
        if (fd < 0) {
            SLIB_ERR(SLIB_ERR_OPEN);
            return false;
        }
        path_ = name;
        fp_ = fdopen(fd, "w");
        if (!fp_) {
            close(fd);
            SLIB_ERR(SLIB_ERR_OPEN);
            return false;
        }
        return true;
    }
    bool Put(const char *s, size_t n)
    {
        if (n && fwrite(s, 1, n, fp_) != n) {
            SLIB_ERR(SLIB_ERR_WRITE);
            return false;
        }
        return true;
    }
    bool PutLine(const std::string &name) { return Put(name.data(), name.size()) && Put("\n", 1); }
    // The permission bits (and, when given, the owner) of the list it replaces.
    bool Attributes(const struct stat &old, bool owner)
    {
        if (fchmod(fileno(fp_), old.st_mode & 07777) != 0 ||
            (owner && fchown(fileno(fp_), old.st_uid, old.st_gid) != 0)) {
            SLIB_ERR(SLIB_ERR_WRITE);
            return false;
        }
        return true;
    }
    bool Flush() { return Check(fflush(fp_) == 0); }
    bool Sync() { return Check(fsync(fileno(fp_)) == 0); }
    bool Close()
    {
        FILE *fp = fp_;
        fp_ = nullptr;
        return Check(fclose(fp) == 0);
    }
    bool RenameOver(const char *target)
    {
        if (rename(path_.c_str(), target) != 0) {
            SLIB_ERR(SLIB_ERR_RENAME);
            return false;
        }
        path_.clear();
        return true;
    }

private:
    static bool Check(bool ok)
    {
        if (!ok)
            SLIB_ERR(SLIB_ERR_WRITE);
        return ok;
    }
    std::string path_;
    FILE *fp_ = nullptr;
};

// The name of a chroot line (its text without the line feed), or NULL for
// a comment or empty line.
const char *ChrootName(char *line, ssize_t len)
{
    if (line[0] == '\n' || line[0] == '#')
        return nullptr;
    if (len > 0 && line[len - 1] == '\n')
        line[len - 1] = '\0';
    return line;
}

// The common rewrite of the chroot list read from in: the names that keep
// accepts, then the items of tail (when given).
int RewriteChroot(FILE *in, const std::function<bool(const char *)> &keep, PSLIBSZLIST tail)
{
    struct stat st;
    if (fstat(fileno(in), &st) != 0) {
        SLIB_ERR(SLIB_ERR_STAT);
        return -1;
    }
    Replacement out;
    if (!out.Create(kChrootTemp, true))
        return -1;
    slib::LineReader r(in);
    while (r.Next()) {
        const char *name = ChrootName(r.line(), r.len());
        if (name && keep(name) && !out.PutLine(name))
            return -1;
    }
    // A list read only in part must not replace the whole one.
    if (r.Failed()) {
        SLIB_ERR(SLIB_ERR_READ);
        return -1;
    }
    for (int i = 0; tail && i < tail->nItem; i++)
        if (!out.PutLine(SLIBSzListGet(tail, i)))
            return -1;
    if (!out.Flush() || !out.Sync() || !out.Attributes(st, false) || !out.Close() ||
        !out.RenameOver(SZF_FTP_CHROOT))
        return -1;
    return 0;
}

// A name that stays one name of the list: not empty, not a comment, one line.
bool ChrootNameSound(const char *name) { return name[0] && name[0] != '#' && !strpbrk(name, "\r\n"); }

// The missing chroot list, created holding the names: 0, 1 when it exists
// after all, -1.
int CreateChroot(PSLIBSZLIST users)
{
    int fd = open(SZF_FTP_CHROOT, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewListMode);
    if (fd < 0) {
        if (errno == EEXIST)
            return 1;
        SLIB_ERR(SLIB_ERR_OPEN);
        return -1;
    }
    slib::FilePtr fp(fdopen(fd, "w"));
    if (!fp) {
        close(fd);
        unlink(SZF_FTP_CHROOT);
        SLIB_ERR(SLIB_ERR_OPEN);
        return -1;
    }
    bool ok = true;
    for (int i = 0; ok && i < users->nItem; i++) {
        const char *name = SLIBSzListGet(users, i);
        ok = fputs(name, fp.get()) >= 0 && fputc('\n', fp.get()) != EOF;
    }
    ok = ok && fflush(fp.get()) == 0 && fsync(fileno(fp.get())) == 0;
    if (fclose(fp.release()) != 0)
        ok = false;
    if (!ok) {
        // Part of the names would pass for the whole list.
        unlink(SZF_FTP_CHROOT);
        SLIB_ERR(SLIB_ERR_WRITE);
        return -1;
    }
    return 0;
}

// The client field of a deny line: between its first and second ':' (or
// the end), trimmed; false when the line has no ':'.
bool ClientField(const char *line, std::string &client)
{
    const char *colon = strchr(line, ':');
    if (!colon)
        return false;
    client.assign(colon + 1, strcspn(colon + 1, ":"));
    int n = SLIBStrTrimSpace(client.data(), nullptr);
    client.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return true;
}

bool Push(PSLIBSZLIST *pList, const char *item) { return SLIBSzListPush(pList, item) >= 0; }

// Reads the chroot list's names into the two lists; -1 (logged) on failure.
int ReadChrootNames(FILE *fp, PSLIBSZLIST *pList, ListPtr &domains, bool homes)
{
    slib::LineReader r(fp);
    while (r.Next()) {
        const char *name = ChrootName(r.line(), r.len());
        if (!name)
            continue;
        bool domain = strchr(name, '\\') != nullptr;
        if (domain && !homes)
            continue;
        bool ok;
        if (domain) {
            PSLIBSZLIST raw = domains.release();
            ok = Push(&raw, name);
            domains.reset(raw);
        } else {
            ok = Push(pList, name);
        }
        if (!ok) {
            syslog(LOG_ERR, "%s(%d) SLIBSzListPush failed!! err=[%d]", kSrcEnum, __LINE__, SLIBErrorGet());
            return -1;
        }
    }
    if (r.Failed()) {
        SLIB_ERR(SLIB_ERR_READ);
        return -1;
    }
    return 0;
}

// The deny rewrite: every line whose client field is a key of del dropped.
// The number dropped, or -1.
int RewriteDeny(PSLIBSZHASH del)
{
    slib::FilePtr in(fopen(SZF_HOSTS_DENY, "re"));
    if (!in) {
        SLIB_ERR(SLIB_ERR_OPEN);
        return -1;
    }
    struct stat st;
    if (fstat(fileno(in.get()), &st) != 0) {
        SLIB_ERR(SLIB_ERR_STAT);
        return -1;
    }
    Replacement out;
    if (!out.Create(SZF_HOSTS_DENY_TMP, false))
        return -1;
    int dropped = 0;
    std::string client;
    slib::LineReader r(in.get());
    while (r.Next()) {
        std::string trimmed(r.line(), static_cast<size_t>(r.len()));
        if (SLIBStrTrimSpace(trimmed.data(), nullptr) < 0) {
            syslog(LOG_ERR, "%s:%d SLIBStrTrimSpace error!!", kSrcDenyDelete, __LINE__);
            return -1;
        }
        if (trimmed[0] != '\n' && trimmed[0] != '#' && ClientField(trimmed.c_str(), client) &&
            SzSLIBSzHashGetValue(del, client.c_str())) {
            dropped++;
            continue;
        }
        if (!out.Put(r.line(), static_cast<size_t>(r.len()))) {
            syslog(LOG_ERR, "%s:%d fputs(szBuf, pfStreamOut) failed; [szBuf] == [%s]", kSrcDenyDelete, __LINE__,
                   r.line());
            return -1;
        }
    }
    if (r.Failed()) {
        SLIB_ERR(SLIB_ERR_READ);
        return -1;
    }
    if (!out.Attributes(st, true))
        return -1;
    if (!out.Flush()) {
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
            SLIB_ERR(SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
    }
    const char *fn = __func__; // a lambda's own is "operator()"
    return slib::Guarded(-1, [&] {
        slib::FilePtr in(fopen(SZF_FTP_CHROOT, "re"));
        if (!in) {
            // Only a missing list is made anew: one that cannot be read is
            // never overwritten.
            if (errno != ENOENT) {
                syslog(LOG_ERR, "%s(%d) fopen failed!! err=[%s]\n", fn, __LINE__, strerror(errno));
                SLIB_ERR(SLIB_ERR_OPEN);
                return -1;
            }
            int created = CreateChroot(users);
            if (created <= 0)
                return created;
            in.reset(fopen(SZF_FTP_CHROOT, "re"));
            if (!in) {
                SLIB_ERR(SLIB_ERR_OPEN);
                return -1;
            }
        }
        // The caller's list changes only when the list was written.
        auto size = static_cast<size_t>(users->cbSize);
        ListPtr added(static_cast<PSLIBSZLIST>(malloc(size)));
        if (!added) {
            SLIB_ERR(SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
        memcpy(added.get(), users, size);
        auto keep = [&](const char *name) {
            int i = SLIBSzListCaseFind(added.get(), name);
            if (i >= 0)
                SzSLIBSzListRemove(added.get(), i);
            return true;
        };
        if (RewriteChroot(in.get(), keep, added.get()) != 0)
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
    return slib::Guarded(-1, [&] {
        slib::FilePtr in(fopen(SZF_FTP_CHROOT, "re"));
        if (!in) {
            if (errno == ENOENT)
                return 0;
            syslog(LOG_ERR, "%s(%d) fopen failed!! err=[%s]\n", fn, __LINE__, strerror(errno));
            SLIB_ERR(SLIB_ERR_OPEN);
            return -1;
        }
        auto keep = [&](const char *name) { return SLIBSzListCaseFind(users, name) < 0; };
        return RewriteChroot(in.get(), keep, nullptr);
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
    slib::FilePtr fp(fopen(SZF_FTP_CHROOT, "re"));
    if (!fp) {
        if (errno == ENOENT)
            return 0;
        syslog(LOG_ERR, "%s(%d) fopen failed!! err=[%s]\n", kSrcEnum, __LINE__, strerror(errno));
        SLIB_ERR(SLIB_ERR_OPEN);
        return -1;
    }
    if (ReadChrootNames(fp.get(), pList, domains, homes) != 0)
        return -1;
    (*pList)->type = SLIB_SZLIST_UNSORTED;
    domains->type = SLIB_SZLIST_UNSORTED;
    if (homes && !PslSLIBSzListOr(pList, domains.get(), 0))
        return -1;
    return (*pList)->nItem;
}

int ConnSecurityDenyIPEnum(PSLIBSZLIST *pList)
{
    if (!pList)
        return -1;
    slib::FilePtr fp(fopen(SZF_HOSTS_DENY, "re"));
    if (!fp) {
        syslog(LOG_ERR, "%s: %s(%d) - fopen(%s) failed!! err=[%s]\n", kSrcDenyEnum, __func__, __LINE__,
               SZF_HOSTS_DENY, strerror(errno));
        return -1;
    }
    const char *fn = __func__; // a lambda's own is "operator()"
    return slib::Guarded(-1, [&] {
        std::string client;
        slib::LineReader r(fp.get());
        // Whole lines: a piece of a long line is no line of its own.
        while (r.Next()) {
            const char *line = r.line();
            if (line[0] == '\n' || line[0] == '#' || !ClientField(line, client) ||
                !VAKONetIsIPAddr(client.c_str()))
                continue;
            if (!Push(pList, client.c_str())) {
                syslog(LOG_ERR, "%s: %s(%d) - SLIBSzListPush(%s) failed!! err=[%d]\n", kSrcDenyEnum, fn,
                       __LINE__, SZF_HOSTS_DENY, SLIBErrorGet());
                return -1;
            }
        }
        if (r.Failed()) {
            SLIB_ERR(SLIB_ERR_READ);
            return -1;
        }
        return (*pList)->nItem;
    });
}

int ConnSecurityDenyIPDelete(PSLIBSZLIST addresses)
{
    if (!addresses) {
        SLIB_ERR(SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    long long cb = static_cast<long long>(addresses->nItem) * kAddressKeySize;
    HashPtr del(SLIBSzHashAlloc(cb > INT_MAX ? INT_MAX : static_cast<int>(cb)));
    if (!del) {
        SLIB_ERR(SLIB_ERR_OUT_OF_MEMORY);
        return -1;
    }
    for (int i = 0; i < addresses->nItem; i++) {
        PSLIBSZHASH raw = del.release();
        int r = SLIBSzHashSetValue(&raw, SLIBSzListGet(addresses, i), "");
        del.reset(raw);
        if (r < 0)
            return -1;
    }
    int dropped = slib::Guarded(-1, [&] { return RewriteDeny(del.get()); });
    if (dropped < 0) {
        syslog(LOG_ERR, "%s:%d NetBackupIModifyConf(&pshHashDel) failed", kSrcDenyDelete, __LINE__);
        return -1;
    }
    return dropped;
}

} // extern "C"
