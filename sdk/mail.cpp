#include "vako/mail.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "slib/conf_read.h"
#include "slib/conf_write.h"
#include "slib/error.h"
#include "slib/lock.h"
#include "slib/szhash.h"
#include "slib/szlist.h"
#include "slibcxx/border.h"
#include "slibcxx/lines.h"
#include "slibcxx/raii.h"
#include "slibcxx/replace.h"
#include "vako/event_log.h"
#include "vako/info.h"
#include "vako/net.h"
#include "vako/service.h"

namespace {

constexpr int kValueSize = 256;
constexpr int kLangSize = 8;
constexpr int kMailFromSize = 512;
constexpr int kSenderNameSize = 128;
constexpr int kWorkNameSize = 128;
constexpr int kListSize = 256;
constexpr int kPortSize = 16;
constexpr int kDdnsSelectSize = 1024;
constexpr int kMaxInterfaces = 8;
constexpr const char *kDefaultLang = "enu";
constexpr const char *kDefaultMailFrom = "Harbox";
constexpr const char *kDefaultPort = "5000";
constexpr const char *kSubjectTag = "Subject:";
constexpr const char *kHeaderLines = "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n";
constexpr uint32_t kEventMailFailed = 0x11100800;
// The source files whose names head the log lines and go with the codes.
constexpr const char *kSrcSend = "mail_send_message";
constexpr const char *kSrcGet = "mail_get";
constexpr const char *kSrcFill = "mail_fill_smtp_struct";
constexpr const char *kSrcRead = "mail_read_by_tag_and_convert";
constexpr const char *kSrcCallBack = "mail_smtp_error_call_back";
constexpr const char *kSrcTime = "time_date_get";

using HashPtr = slib::OwnedPtr<SLIBSZHASH, SLIBSzHashFree>;
using ListPtr = slib::OwnedPtr<SLIBSZLIST, SLIBSzListFree>;

// At most cbOut - 1 bytes of src (len bytes) into out, never ending inside
// a UTF-8 sequence.
void CopyCut(char *out, size_t cbOut, const char *src, size_t len)
{
    size_t n = len < cbOut - 1 ? len : cbOut - 1;
    if (n < len)
        while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80)
            --n;
    memcpy(out, src, n);
    out[n] = '\0';
}

// The first part of the host name, parts delimited by blanks, dots and tabs.
std::string HostPart()
{
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0)
        return "";
    char *save = nullptr;
    char *part = strtok_r(host, " .\t", &save);
    return part ? part : "";
}

// A key of /etc/vakoinfo.conf; `dflt` when absent or unreadable, but not
// when memory ran out: that ends the operation (0x0200).
std::string InfoValue(const char *key, int room, const char *dflt)
{
    std::string buf(static_cast<size_t>(room), '\0');
    int r = SLIBFileGetKeyValue(SZF_VAKO_INFO, key, buf.data(), room, 0);
    slib::ThrowIfOutOfMemory(r);
    if (r <= 0)
        return dflt;
    return buf.c_str();
}

// "%COMPANY_NAME%": the factory mail-from name, "Harbox" when it cannot be
// read, "" when absent.
std::string CompanyName()
{
    char buf[kValueSize] = {};
    int r = SLIBFileGetKeyValue(SZF_VAKO_INFO_DEFAULTS, "mailfrom", buf, sizeof buf, 0);
    slib::ThrowIfOutOfMemory(r);
    if (r < 0)
        return kDefaultMailFrom;
    return r == 0 ? "" : buf;
}

// Every old in text replaced by repl, line by line as the file's own
// replace does it (a replacement is not searched again): the number
// replaced.
size_t ReplaceInLines(std::string &text, std::string_view old, std::string_view repl)
{
    std::string out;
    out.reserve(text.size());
    size_t count = 0;
    std::string line;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        line.assign(text, start, end - start);
        for (size_t at = line.find(old); at != std::string::npos; at = line.find(old, at + repl.size())) {
            line.replace(at, old.size(), repl);
            count++;
        }
        out += line;
        start = end;
    }
    text.swap(out);
    return count;
}

// Drops the last ", " of a list; then no more than fits its buffer.
void FinishList(std::string &list)
{
    if (!list.empty())
        list.resize(list.size() >= 2 ? list.size() - 2 : 0);
}

void FitList(std::string &list)
{
    if (list.size() > kListSize - 1)
        list.resize(kListSize - 1);
}

// The address and URL lists of the interfaces that are up; false on failure.
bool AddressLists(std::string &ips, std::string &urls)
{
    std::string port = InfoValue("admin_port", kPortSize, kDefaultPort);
    slib::HeapPtr<VAKONETIFINFO> ifs(static_cast<VAKONETIFINFO *>(calloc(kMaxInterfaces, sizeof(VAKONETIFINFO))));
    if (!ifs) {
        SLIBErrorSetEx(SLIB_ERR_BUFFER_SMALL, kSrcRead, __LINE__);
        return false;
    }
    int n = VAKONetGetInterfaceInfo(ifs.get(), kMaxInterfaces, VAKO_NET_IF_NO_SLAVE);
    if (n < 0)
        return false;
    for (int i = 0; i < n; i++) {
        uint32_t addr = 0, mask = 0;
        if (SLIBNetIfAddrGet(ifs.get()[i].szName, &addr, &mask) != 1 || addr == 0)
            continue;
        char text[INET_ADDRSTRLEN];
        struct in_addr in;
        in.s_addr = addr;
        if (!inet_ntop(AF_INET, &in, text, sizeof text))
            continue;
        ips += std::string(text) + ", ";
        urls += "http://" + std::string(text) + ":" + port + "/, ";
    }
    FinishList(ips);
    FinishList(urls);
    FitList(ips);
    FitList(urls);
    return true;
}

// ", http://<ddns host>:<port>/" when DDNS updates are on, else "" (also
// when their settings cannot be read, but not for want of memory: that
// ends the operation, 0x0200).
std::string DdnsUrl()
{
    int on = 0;
    if (slib::StepOutOfMemory([&] { on = SLIBFileCheckKeyValue(SZF_VAKO_INFO, "ddns_update", "yes", 0); }))
        throw std::bad_alloc();
    if (!on)
        return "";
    char select[kDdnsSelectSize] = {};
    int r = SLIBFileGetKeyValue(SZF_VAKO_INFO, "ddns_select", select, sizeof select, 0);
    slib::ThrowIfOutOfMemory(r);
    if (r <= 0) {
        syslog(LOG_ERR, "%s:%d Failed to get ddns_select of /etc/vakoinfo.conf.", kSrcRead, __LINE__);
        return "";
    }
    VAKODDNSINFO info;
    memset(&info, 0, sizeof info);
    r = VAKODDNSConfigGet(select, &info);
    slib::ThrowIfOutOfMemory(r);
    if (r < 0) {
        syslog(LOG_ERR, "%s:%d Failed to get DDNS info by select name %s.", kSrcRead, __LINE__, select);
        return "";
    }
    std::string port = InfoValue("admin_port", kPortSize, kDefaultPort);
    return ", http://" + std::string(info.szHostname) + ":" + port + "/";
}

// The section of tag from the template file into the work file (created
// here, exclusively, never through a link); false after the callback.
bool ExtractSection(const char *szTemplate, const char *szWork, const char *szTag, bool *created)
{
    bool found = false, failed = false;
    if (!szTag) {
        syslog(LOG_ERR, "%s (%d) bad parameter.", kSrcRead, __LINE__);
        failed = true;
    }
    std::optional<slib::LineReader> in;
    FILE *out = nullptr;
    if (!failed) {
        in.emplace(szTemplate);
        if (!in->ok()) {
            syslog(LOG_ERR, "%s (%d) Failed to open %s. (%s)", kSrcRead, __LINE__, szTemplate, strerror(errno));
            failed = true;
        }
    }
    if (!failed) {
        int fd = open(szWork, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        out = fd >= 0 ? fdopen(fd, "w") : nullptr;
        if (fd >= 0)
            *created = true;
        if (!out) {
            syslog(LOG_ERR, "%s (%d) Failed to open %s. (%s)", kSrcRead, __LINE__, szWork, strerror(errno));
            if (fd >= 0)
                close(fd);
            failed = true;
        }
    }
    if (!failed) {
        bool inSection = false;
        while (!failed && in->Next()) {
            char *line = in->line();
            bool header = in->len() > 2 && line[0] == '[';
            if (!inSection) {
                char *close = header ? strrchr(line, ']') : nullptr;
                if (!close)
                    continue;
                *close = '\0';
                if (strcmp(line + 1, szTag) == 0)
                    inSection = found = true;
                continue;
            }
            if (header)
                break;
            VAKOMailTrimTail(line);
            if (fprintf(out, "%s\n", line) < 0) {
                syslog(LOG_ERR, "%s (%d) Failed to write [%s] to file. (%s)", kSrcRead, __LINE__, line,
                       strerror(errno));
                failed = true;
            }
        }
    }
    in.reset();
    if (out && fclose(out) != 0 && !failed) {
        syslog(LOG_ERR, "%s (%d) Failed to write [%s] to file. (%s)", kSrcRead, __LINE__, "", strerror(errno));
        failed = true;
    }
    if (failed || !found) {
        VAKOMailSMTPErrorCallBack("Failed to found mail tag");
        syslog(LOG_ERR, "%s (%d) Failed to read mail tag [%s].", kSrcRead, __LINE__, szTag ? szTag : "(null)");
        return false;
    }
    return true;
}

// Splits the converted work file into subject and body.
bool SplitMail(const char *szWork, char *szSubject, int cbSubject, char *szBody, int cbBody)
{
    if (!szSubject || !szBody || cbSubject <= 0 || cbBody <= 0) {
        syslog(LOG_ERR, "%s (%d) Bad parameter.", kSrcRead, __LINE__);
        return false;
    }
    slib::Fd fd(open(szWork, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        syslog(LOG_ERR, "%s (%d) Failed to open %s. (%s)", kSrcRead, __LINE__, szWork, strerror(errno));
        return false;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        syslog(LOG_ERR, "%s (%d) Failed to stat file. (%s)", kSrcRead, __LINE__, strerror(errno));
        return false;
    }
    const size_t size = static_cast<size_t>(st.st_size);
    slib::HeapPtr<char> text(static_cast<char *>(calloc(size + 1, 1)));
    if (!text) {
        syslog(LOG_ERR, "%s (%d) Failed to malloc(%lld).", kSrcRead, __LINE__, static_cast<long long>(size + 1));
        return false;
    }
    memset(szSubject, 0, static_cast<size_t>(cbSubject));
    memset(szBody, 0, static_cast<size_t>(cbBody));
    size_t got = 0;
    while (got < size) {
        ssize_t r = read(fd.get(), text.get() + got, size - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        got += static_cast<size_t>(r);
    }
    if (got != size) {
        VAKOMailSMTPErrorCallBack("Yee....Read mail failed. Size was not match.");
        syslog(LOG_ERR, "%s (%d) read file failed. (%d) != (%lld)", kSrcRead, __LINE__, static_cast<int>(got),
               static_cast<long long>(size));
        return false;
    }
    char *all = text.get();
    char *subject = strstr(all, kSubjectTag);
    char *eol = subject ? strchr(subject, '\n') : nullptr;
    if (!eol) {
        syslog(LOG_ERR, "%s (%d) Bad email format.\n%s", kSrcRead, __LINE__, all);
        return false;
    }
    const char *subjectText = subject + strlen(kSubjectTag);
    CopyCut(szSubject, static_cast<size_t>(cbSubject), subjectText, static_cast<size_t>(eol - subjectText));
    const char *rest = eol + 1;
    rest += strspn(rest, "\n\r ");
    memmove(subject, rest, strlen(rest) + 1);
    CopyCut(szBody, static_cast<size_t>(cbBody), all, strlen(all));
    return true;
}

// A heap copy, or NULL (also for NULL).
char *Dup(const char *s) { return s ? strdup(s) : nullptr; }

PVAKOSMTPADDR NewAddr(const char *name, const char *addr)
{
    auto *a = static_cast<PVAKOSMTPADDR>(calloc(1, sizeof(VAKOSMTPADDR)));
    if (!a)
        return nullptr;
    a->szName = Dup(name);
    a->szAddr = Dup(addr);
    return a;
}

bool NonEmpty(const char *s) { return s && *s; }

// The SMTP library, loaded in the child.
struct SmtpLib {
    void *handle = nullptr;
    PFN_VAKOSMTP_SEND send = nullptr;
    PFN_VAKOSMTP_FREE release = nullptr;
    PFN_SZBASE64_ENCODE encode = nullptr;

    bool Load()
    {
        handle = dlopen(SZF_VAKOSMTP_LIB, RTLD_NOW | RTLD_GLOBAL);
        if (!handle) {
            syslog(LOG_ERR, "%s:%d dlopen failed. (%s)\n", kSrcSend, __LINE__, dlerror());
            return false;
        }
        return Sym("VAKOSMTPSendEmail", send) && Sym("VAKOSMTPFreeVAKOSMTP", release) && Sym("SzBase64Encode", encode);
    }
    template <class F> bool Sym(const char *name, F &out)
    {
        dlerror();
        void *p = dlsym(handle, name);
        const char *err = dlerror();
        if (err) {
            syslog(LOG_ERR, "%s:%d dlsym failed. (%s)", kSrcSend, __LINE__, err);
            return false;
        }
        out = reinterpret_cast<F>(p);
        return true;
    }
};

// The child's work: everything after the fork.
void SendInChild(const char *szTag, PSLIBSZHASH *ppHash, const char *szTo, PVAKOMAILSETTING pSetting)
{
    VAKOSMTP smtp;
    memset(&smtp, 0, sizeof smtp);
    VAKOMAILSETTING own;
    memset(&own, 0, sizeof own);
    SmtpLib lib;
    auto end = [&] {
        VAKOMailSettingFree(&own);
        if (lib.release)
            lib.release(&smtp);
        if (lib.handle)
            dlclose(lib.handle);
    };
    if (!pSetting) {
        if (VAKOMailGet(&own) < 0) {
            syslog(LOG_ERR, "%s:%d Failed to get mail setting.", kSrcSend, __LINE__);
            return end();
        }
        pSetting = &own;
    }
    if (!NonEmpty(pSetting->szServer) || !NonEmpty(pSetting->szMail1))
        return end();
    char lang[kLangSize] = {};
    if (SLIBFileGetKeyValue(SZF_VAKO_INFO, "maillang", lang, sizeof lang, 0) <= 0) {
        syslog(LOG_ERR, "%s:%d Failed to get maillang, use enu instead. vakoerr=[0x%04X]", kSrcSend, __LINE__,
               SLIBErrorGet());
        snprintf(lang, sizeof lang, "%s", kDefaultLang);
    }
    char subject[VAKO_MAIL_SUBJECT_SIZE], body[VAKO_MAIL_BODY_SIZE];
    if (VAKOMailReadByTagAndConvert(lang, szTag, subject, sizeof subject, body, sizeof body, ppHash) < 0) {
        syslog(LOG_ERR, "%s:%d Failed to get mail content.", kSrcSend, __LINE__);
        return end();
    }
    char mailFrom[kMailFromSize] = {};
    if (SLIBFileGetKeyValue(SZF_VAKO_INFO_DEFAULTS, "mailfrom", mailFrom, sizeof mailFrom, 0) <= 0)
        snprintf(mailFrom, sizeof mailFrom, "%s", kDefaultMailFrom);
    char name[kSenderNameSize];
    std::string sender = HostPart() + " - " + mailFrom;
    CopyCut(name, sizeof name, sender.c_str(), sender.size());
    if (VAKOMailFillSmtpStruct(&smtp, pSetting, name, szTo) < 0) {
        syslog(LOG_ERR, "%s:%d Failed to fill SMTP struct.", kSrcSend, __LINE__);
        return end();
    }
    if (!smtp.pTo || !smtp.pTo->szAddr) {
        syslog(LOG_ERR, "%s:%d There is no to email.", kSrcSend, __LINE__);
        return end();
    }
    if (!smtp.pFrom || !smtp.pFrom->szAddr) {
        syslog(LOG_ERR, "%s:%d There is no from email.", kSrcSend, __LINE__);
        return end();
    }
    if (!lib.Load())
        return end();
    const char *encoded = lib.encode(subject, static_cast<int>(strlen(subject)));
    if (!encoded) {
        syslog(LOG_ERR, "%s:%d Failed to do base64 encode on subject.", kSrcSend, __LINE__);
        return end();
    }
    // Allocated to fit: an encoded word cut short would not decode.
    smtp.szSubject = Dup(("=?UTF-8?B?" + std::string(encoded) + "?=").c_str());
    smtp.szBody = Dup(body);
    smtp.szHeader = Dup(kHeaderLines);
    lib.send(&smtp, VAKOMailSMTPErrorCallBack);
    end();
}

} // namespace

extern "C" {

void VAKOMailTrimTail(char *szLine)
{
    if (!szLine) {
        syslog(LOG_ERR, "%s: parameter error", __func__);
        return;
    }
    size_t n = strlen(szLine);
    while (n > 0 && strchr(" \t\r\n", szLine[n - 1]))
        szLine[--n] = '\0';
}

void VAKOMailSettingFree(PVAKOMAILSETTING pSetting)
{
    if (!pSetting)
        return;
    for (char **p :
         {&pSetting->szServer, &pSetting->szUser, &pSetting->szPasswd, &pSetting->szMail1, &pSetting->szMail2}) {
        free(*p);
        *p = nullptr;
    }
}

int VAKOMailGet(PVAKOMAILSETTING pSetting)
{
    return slib::Guarded(kSrcGet, -1, [&] {
        if (!pSetting) {
            syslog(LOG_ERR, "%s (%d) Bad parameter.", kSrcGet, __LINE__);
            return -1;
        }
        memset(pSetting, 0, sizeof *pSetting);
        struct Key {
            const char *key, *failure;
            char **text; // else a number or flag
            int *number;
            bool flag;
        };
        const Key keys[] = {
            {"eventsmtp", "%s (%d) Failed to get SMTP server setting.", &pSetting->szServer, nullptr, false},
            {"eventport", "%s (%d) Failed to get SMTP port setting.", nullptr, &pSetting->port, false},
            {"eventauth", "%s (%d) Failed to get SMTP auth setting.", nullptr, &pSetting->auth, true},
            {"eventuser", "%s (%d) Failed to get SMTP auth user.", &pSetting->szUser, nullptr, false},
            {"eventpass", "%s (%d) Failed to get SMTP auth pass.", &pSetting->szPasswd, nullptr, false},
            {"eventusessl", "%s (%d) Failed to get SMTP auth setting.", nullptr, &pSetting->useSSL, true},
            {"eventmail1", "%s (%d) Failed to get mail1 setting.", &pSetting->szMail1, nullptr, false},
            {"eventmail2", "%s (%d) Failed to get mail2 setting.", &pSetting->szMail2, nullptr, false},
        };
        for (const Key &k : keys) {
            char value[kValueSize] = {};
            int r = SLIBFileGetKeyValue(SZF_VAKO_INFO, k.key, value, sizeof value, 0);
            bool ok = r >= 0;
            if (ok && k.text)
                ok = (*k.text = strdup(r > 0 ? value : "")) != nullptr;
            else if (ok && k.flag)
                *k.number = r > 0 && strcasecmp(value, "yes") == 0 ? 1 : 0;
            else if (ok)
                *k.number = r > 0 && atoi(value) != 0 ? atoi(value) : 25;
            if (!ok) {
                syslog(LOG_ERR, k.failure, kSrcGet, __LINE__);
                VAKOMailSettingFree(pSetting);
                return -1;
            }
        }
        return 0;
    });
}

int VAKOMailFillSmtpStruct(PVAKOSMTP pSmtp, PVAKOMAILSETTING pSetting, const char *szName, const char *szTo)
{
    if (!pSmtp || !pSetting || !szName) {
        syslog(LOG_ERR, "%s (%d) Bad parameter.", kSrcFill, __LINE__);
        return -1;
    }
    if (!NonEmpty(pSetting->szServer)) {
        syslog(LOG_ERR, "%s (%d) SMTP server can't be empty.", kSrcFill, __LINE__);
        return -1;
    }
    pSmtp->szServer = Dup(pSetting->szServer);
    pSmtp->port = pSetting->port;
    pSmtp->auth = pSetting->auth;
    if (pSetting->auth) {
        pSmtp->szUser = Dup(pSetting->szUser);
        pSmtp->szPasswd = Dup(pSetting->szPasswd);
    }
    pSmtp->useSSL = pSetting->useSSL;
    const char *fromAddr = NonEmpty(pSetting->szMail1) ? pSetting->szMail1 : NonEmpty(szTo) ? szTo : nullptr;
    pSmtp->pFrom = NewAddr(szName, fromAddr);
    if (!pSmtp->pFrom) {
        syslog(LOG_ERR, "%s (%d) Failed to malloc pFrom.", kSrcFill, __LINE__);
        return -1;
    }
    pSmtp->pTo = NewAddr(nullptr, nullptr);
    if (!pSmtp->pTo) {
        syslog(LOG_ERR, "%s (%d) Failed to malloc pTo.", kSrcFill, __LINE__);
        return -1;
    }
    if (NonEmpty(szTo)) {
        pSmtp->pTo->szAddr = Dup(szTo);
    } else if (NonEmpty(pSetting->szMail1)) {
        pSmtp->pTo->szAddr = Dup(pSetting->szMail1);
        if (NonEmpty(pSetting->szMail2)) {
            PVAKOSMTPADDR second = NewAddr(nullptr, pSetting->szMail2);
            if (!second) {
                syslog(LOG_ERR, "%s (%d) Failed to calloc().", kSrcFill, __LINE__);
                return -1;
            }
            second->pNext = pSmtp->pTo;
            pSmtp->pTo = second;
        }
    }
    return 0;
}

int VAKOTimeDateGet(int dateTime[6])
{
    if (!dateTime) {
        SLIBErrorSetEx(SLIB_ERR_BAD_PARAMETER, kSrcTime, __LINE__);
        return -1;
    }
    time_t now = time(nullptr);
    struct tm tm;
    if (now == static_cast<time_t>(-1) || !localtime_r(&now, &tm)) {
        SLIBErrorSetEx(VAKO_ERR_TIME, kSrcTime, __LINE__);
        return -1;
    }
    dateTime[0] = tm.tm_year + 1900;
    dateTime[1] = tm.tm_mon + 1;
    dateTime[2] = tm.tm_mday;
    dateTime[3] = tm.tm_hour;
    dateTime[4] = tm.tm_min;
    dateTime[5] = tm.tm_sec;
    return 0;
}

int MailTagConvert(const char *szFile, PSLIBSZHASH *ppHash)
{
    return slib::Guarded(kSrcRead, -1, [&] {
        if (!szFile || !ppHash) {
            syslog(LOG_ERR, "%s (%d) Bad parameter.", kSrcRead, __LINE__);
            return -1;
        }
        ListPtr keys(PslSLIBSzListAlloc(512));
        if (!keys) {
            syslog(LOG_ERR, "%s (%d) Failed to malloc for list.", kSrcRead, __LINE__);
            return -1;
        }
        if (SLIBSzHashSetValue(ppHash, "%COMPANY_NAME%", CompanyName().c_str()) < 0 ||
            SLIBSzHashSetValue(ppHash, "%HOSTNAME%", HostPart().c_str()) < 0)
            return -1;
        std::string ips, urls;
        if (!AddressLists(ips, urls))
            return -1;
        urls += DdnsUrl();
        FitList(urls);
        if (SLIBSzHashSetValue(ppHash, "%IP_ADDR%", ips.c_str()) < 0 ||
            SLIBSzHashSetValue(ppHash, "%HTTP_URL%", urls.c_str()) < 0)
            return -1;
        int dt[6];
        if (VAKOTimeDateGet(dt) < 0)
            return -1;
        char date[32], clock[32];
        snprintf(date, sizeof date, "%d/%02d/%02d", dt[0], dt[1], dt[2]);
        snprintf(clock, sizeof clock, "%02d:%02d:%02d", dt[3], dt[4], dt[5]);
        if (SLIBSzHashSetValue(ppHash, "%DATE%", date) < 0 || SLIBSzHashSetValue(ppHash, "%TIME%", clock) < 0)
            return -1;
        PSLIBSZLIST l = keys.release();
        int n = SLIBSzHashEnumKey(*ppHash, &l);
        keys.reset(l);
        if (n < 0)
            return -1;
        // Converted in memory and written once: a failure part way leaves
        // the file as it was.
        std::string text;
        struct stat st;
        int got = slib::ReadWholeFile(szFile, text, st, kSrcRead);
        if (got <= 0) {
            if (got == 0)
                SLIB_ERR_IN(kSrcRead, SLIB_ERR_OPEN);
            return -1;
        }
        size_t count = 0;
        for (int i = 0; i < keys->nItem; i++) {
            const char *key = SLIBSzListGet(keys.get(), i);
            const char *value = key ? SzSLIBSzHashGetValue(*ppHash, key) : nullptr;
            if (!key || !value)
                return -1;
            if (!*key) {
                SLIB_ERR_IN(kSrcRead, SLIB_ERR_BAD_PARAMETER);
                return -1;
            }
            count += ReplaceInLines(text, key, value);
        }
        if (count == 0)
            return 0;
        slib::FileReplacer out(kSrcRead);
        return out.CreateUnique(szFile) && out.CopyAttributes(st, true) && out.Write(text) && out.Finish() &&
                       out.RenameOver(szFile)
                   ? 0
                   : -1;
    });
}

int VAKOMailReadByTagAndConvert(const char *szLang, const char *szTag, char *szSubject, int cbSubject, char *szBody,
                                int cbBody, PSLIBSZHASH *ppHash)
{
    return slib::Guarded(kSrcRead, -1, [&] {
        PSLIBSZHASH ownRaw = nullptr;
        // Freed on every path (it may move while the placeholders are set).
        struct OwnHash {
            PSLIBSZHASH &hash;
            ~OwnHash() { SLIBSzHashFree(hash); }
        } own{ownRaw};
        if (!ppHash) {
            ownRaw = SLIBSzHashAlloc(512);
            if (!ownRaw) {
                syslog(LOG_ERR, "%s (%d) Failed to alloc memory for hash.", kSrcRead, __LINE__);
                return -1;
            }
            ppHash = &ownRaw;
        }
        char work[kWorkNameSize];
        snprintf(work, sizeof work, SZF_MAIL_WORK_FMT, getpid());
        std::string tmpl = std::string(SZD_MAIL_TEXTS) + (szLang ? szLang : "") + "/mails";
        bool created = false;
        int result = -1;
        if (ExtractSection(tmpl.c_str(), work, szTag, &created)) {
            if (MailTagConvert(work, ppHash) < 0) {
                // The event's own steps record codes too: the failure's stays.
                slib::SavedError failure;
                VAKOMailSMTPErrorCallBack("Failed to convert mail content.");
                failure.Restore();
                syslog(LOG_ERR, "%s (%d) Failed to convert mail.", kSrcRead, __LINE__);
            } else if (!SplitMail(work, szSubject, cbSubject, szBody, cbBody)) {
                syslog(LOG_ERR, "%s (%d) Failed to get subject and content from temp file.", kSrcRead, __LINE__);
            } else {
                result = 0;
            }
        }
        if (created)
            unlink(work);
        return result;
    });
}

void VAKOMailSMTPErrorCallBack(const char *szError)
{
    slib::Guarded(kSrcCallBack, [&] {
        const char *text = szError ? szError : "";
        VAKOLogSet1(VAKOLOG_CLASS_SYS, 3, kEventMailFailed, text, "", "", "");
        syslog(LOG_ERR, "%s (%d) Failed to send email. (%s)", kSrcCallBack, __LINE__, text);
    });
}

void VAKOMailSendMessage(const char *szTag, PSLIBSZHASH *ppHash, const char *szTo, PVAKOMAILSETTING pSetting)
{
    if (!szTag || !*szTag)
        return;
    pid_t pid = fork();
    if (pid < 0) {
        syslog(LOG_ERR, "%s:%d Failed to fork(). errno=[%d/%m]", kSrcSend, __LINE__, errno);
        return;
    }
    if (pid > 0)
        return;
    // The child: the parent's configuration locks stay the parent's.
    SLIBFileLockCloseAll();
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (null > 2)
            close(null);
    }
    // Whatever ends the work, the child goes no further than here.
    slib::Guarded(kSrcSend, [&] { SendInChild(szTag, ppHash, szTo, pSetting); });
    // Not exit(): the parent's atexit handlers and stdio buffers are not the child's.
    _exit(0);
}

void VAKOMailSendEx(const char *szTag, PSLIBSZHASH *ppHash, const char *szTo)
{
    VAKOMailSendMessage(szTag, ppHash, szTo, nullptr);
}

void VAKOMailSend(const char *szTag, PSLIBSZHASH *ppHash) { VAKOMailSendMessage(szTag, ppHash, nullptr, nullptr); }

} // extern "C"
