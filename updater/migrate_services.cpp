// Service settings migration: steps of the configuration update that carry
// the FTP, auto-block and media server settings of old builds over.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

#include <string_view>

#include "migrate.h"
#include "slib/conf_read.h"
#include "slib/conf_write.h"
#include "slib/error.h"
#include "slib/szlist.h"
#include "slibcxx/lines.h"
#include "slibcxx/raii.h"
#include "slibcxx/replace.h"
#include "vako/autoblock.h"
#include "vako/ftp_list.h"
#include "vako/info.h"
#include "vako/service.h"

#define UPDT_SQUEEZE_MYSQL "/var/packages/SqueezeCenter/target/MySQL"

namespace {

constexpr const char *kSmbConf = SZF_SMB_CONF;
constexpr const char *kSmbConfTmp = SZF_SMB_CONF ".tmp";

// The old share option and the three that replace it when it was on.
constexpr std::string_view kWriteOnlyKey = "ftp write only";
constexpr std::string_view kDisableLines = "\tftp disable list=yes\n"
                                           "\tftp disable modify=yes\n"
                                           "\tftp disable download=yes\n";

constexpr const char *kInfo = SZF_VAKO_INFO;
constexpr const char *kFtpAutoDenyKey = "ftpipautodeny";
constexpr const char *kEventTestKey = "eventtest";

// What the old build's automatic FTP block amounted to.
constexpr VAKOAUTOBLOCKCONF kFtpAutoBlock = {.attempts = 5, .attemptMin = 10, .expireDays = 0, .notify = 0};

using ListPtr = slib::OwnedPtr<SLIBSZLIST, SLIBSzListFree>;

// The media server's copy of a message file, the system's copy it is to
// link to, and the name the link is made under before it replaces the copy.
struct ErrmsgLink {
    const char *szName;
    const char *szPackage;
    const char *szSystem;
    const char *szTemp;
};
constexpr ErrmsgLink kErrmsgLinks[] = {
    {"errmsg.sys", UPDT_SQUEEZE_MYSQL "/errmsg.sys", "/usr/vako/mysql/share/mysql/english/errmsg.sys",
     UPDT_SQUEEZE_MYSQL "/errmsg.sys.tmp"},
    {"errmsg.txt", UPDT_SQUEEZE_MYSQL "/errmsg.txt", "/usr/vako/mysql/share/mysql/errmsg.txt",
     UPDT_SQUEEZE_MYSQL "/errmsg.txt.tmp"},
};

std::string_view TrimBlanks(std::string_view s)
{
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string_view::npos)
        return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

// The value of an option line whose key is `key`; false for every other
// line: a section line, another key whose value holds the words.  A comment
// line that holds the key anywhere counts as such an option line, the whole
// line its value, as the old builds' conversion treated it.
bool OptionValue(std::string_view line, std::string_view key, std::string_view &value)
{
    std::string_view text = TrimBlanks(line);
    if (!text.empty() && (text.front() == '#' || text.front() == ';')) {
        if (line.find(key) == std::string_view::npos)
            return false;
        value = line;
        return true;
    }
    size_t eq = line.find('=');
    if (eq == std::string_view::npos || TrimBlanks(line.substr(0, eq)) != key)
        return false;
    value = line.substr(eq + 1);
    return true;
}

int FailedOn(int line, const char *szWhat, const char *szPath)
{
    int err = errno;
    syslog(LOG_ERR, "%s (%d) Failed to %s %s (%s)", UPDT_SOURCE_FILE, line, szWhat, szPath, strerror(err));
    return -1;
}

enum class Copy { kDone, kReadFailed, kWriteFailed };

// Writes the smb.conf lines to `out`, each "ftp write only" option replaced;
// errno tells why a copy failed.
Copy ConvertLines(FILE *in, FILE *out)
{
    slib::LineReader reader(in);
    while (reader.Next()) {
        std::string_view line = reader.view(), value, put = line;
        if (OptionValue(line, kWriteOnlyKey, value))
            put = value.find("yes") != std::string_view::npos ? kDisableLines : std::string_view();
        if (!put.empty() && fwrite(put.data(), 1, put.size(), out) != put.size())
            return Copy::kWriteFailed;
    }
    return ferror(in) ? Copy::kReadFailed : Copy::kDone;
}

// One message file: a copy of the package's own (not yet a link) is
// replaced by a link to the system's copy.
bool LinkToSystemCopy(const ErrmsgLink &e)
{
    struct stat st;
    // A link already, or nothing there (or nothing we may look at).
    if (lstat(e.szPackage, &st) != 0 || S_ISLNK(st.st_mode))
        return true;
    // The link replaces the copy in one rename, so a link that cannot be
    // made leaves the package its copy.
    if ((unlink(e.szTemp) != 0 && errno != ENOENT) || symlink(e.szSystem, e.szTemp) != 0) {
        syslog(LOG_ERR, "%s(%d) Failed to link %s in Squeeze Center from system.", UPDT_SOURCE_FILE, __LINE__,
               e.szName);
        return false;
    }
    if (rename(e.szTemp, e.szPackage) != 0) {
        syslog(LOG_ERR, "%s(%d) Failed to remove %s in Squeeze Center.", UPDT_SOURCE_FILE, __LINE__, e.szName);
        unlink(e.szTemp);
        return false;
    }
    return true;
}

} // namespace

extern "C" {

int ConvertFTPWriteOnlyFlag(void)
{
    slib::FilePtr in(fopen(kSmbConf, "re"));
    if (!in)
        return FailedOn(__LINE__, "open", kSmbConf);
    struct stat st;
    if (fstat(fileno(in.get()), &st) != 0)
        return FailedOn(__LINE__, "stat", kSmbConf);

    // The new file is the old one's: same owner and permissions before the
    // first byte, on disk before it takes the old one's place. The step's
    // callers never saw a code of its own.
    slib::FileReplacer out(nullptr);
    if (!out.CreateFixed(kSmbConfTmp, 0600))
        return FailedOn(__LINE__, "open", kSmbConfTmp);
    if (!out.CopyAttributes(st, true))
        return FailedOn(__LINE__, "write", kSmbConfTmp);

    switch (ConvertLines(in.get(), out.stream())) {
    case Copy::kDone:
        break;
    case Copy::kReadFailed:
        return FailedOn(__LINE__, "read", kSmbConf);
    case Copy::kWriteFailed:
        return FailedOn(__LINE__, "write", kSmbConfTmp);
    }
    if (!out.Finish())
        return FailedOn(__LINE__, "write", kSmbConfTmp);
    if (!out.RenameOver(kSmbConf))
        return FailedOn(__LINE__, "replace", kSmbConf);
    return 0;
}

int AutoBlockConvertFTPBlockIP(void)
{
    ListPtr list(PslSLIBSzListAlloc(1024));
    if (!list) {
        syslog(LOG_ERR, "%s:%d Out of memory!!", UPDT_SOURCE_FILE, __LINE__);
        return -1;
    }
    SLIBSzListSort(list.get(), SLIB_SZLIST_SORT);
    PSLIBSZLIST raw = list.release(); // the enumeration may move the list
    int count = ConnSecurityDenyIPEnum(&raw);
    list.reset(raw);
    if (count < 0) {
        syslog(LOG_ERR, "%s:%d Failed to get FTP blocked ip list.", UPDT_SOURCE_FILE, __LINE__);
        return -1;
    }
    if (count == 0)
        return 0;

    if (SLIBFileCheckKeyValue(kInfo, kFtpAutoDenyKey, "yes", 0) != 0) {
        VAKOAUTOBLOCKCONF conf = kFtpAutoBlock;
        if (VAKOAutoBlockConfSet(&conf) < 0)
            syslog(LOG_ERR, "%s:%d Failed to set autoblock config.", UPDT_SOURCE_FILE, __LINE__);
    }
    (void)SLIBFileRemoveKey(kInfo, kFtpAutoDenyKey);

    bool fAllAdded = true;
    for (int i = 0; i < list->nItem; i++) {
        const char *szIP = SLIBSzListGet(list.get(), i);
        if (VAKOAutoBlockIPAdd(szIP) < 0) {
            syslog(LOG_ERR, "%s:%d VAKOAutoBlockIPAdd() failed!! szIP=[%s], vakoerr=[0x%04X]", UPDT_SOURCE_FILE,
                   __LINE__, szIP, SLIBErrorGet());
            fAllAdded = false;
        }
    }
    // A deny line goes only once its address is blocked the new way.
    if (fAllAdded && ConnSecurityDenyIPDelete(list.get()) < 0) {
        syslog(LOG_ERR, "%s:%d Failed to delete FTP blocked hosts. vakoerr=[0x%04X]", UPDT_SOURCE_FILE, __LINE__,
               SLIBErrorGet());
        return -1;
    }
    return 0;
}

int UPDTLinkSqueezeCenterErrmsg(void)
{
    bool ok = true;
    for (const ErrmsgLink &e : kErrmsgLinks)
        ok = LinkToSystemCopy(e) && ok;
    return ok ? 0 : -1;
}

int UPDTRemoveEventTest(void)
{
    // More than one line of the key is no failure: all of them went.
    if (SLIBFileRemoveKey(kInfo, kEventTestKey) > 0)
        return 0;
    syslog(LOG_ERR, "%s:%d Fail to remove key [eventtest] from %s, vakoerr=[0x%04X]", UPDT_SOURCE_FILE, __LINE__, kInfo,
           SLIBErrorGet());
    return -1;
}

} // extern "C"
