// The appliance's SMTP library, /lib/libvakosmtp.so, as a stand-in: the
// three entry points the event mail relies on.
//
// Every mail it is given is appended, as one record, to /.sandbox/smtp/mails
// (the format is read by vakotest/smtp.h).  When /.sandbox/smtp/fail
// exists, the send fails: the error callback gets the file's text and no
// mail is recorded.  When /.sandbox/smtp/relay exists, the mail is also
// sent over SMTP to the record's server (a dotted IPv4 address) and port;
// a failed dialogue reaches the callback.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include "vako/mail.h"

namespace {

constexpr const char *kDir = "/.sandbox/smtp";
constexpr const char *kMails = "/.sandbox/smtp/mails";
constexpr const char *kFail = "/.sandbox/smtp/fail";
constexpr const char *kRelay = "/.sandbox/smtp/relay";

bool Exists(const char *path) { return access(path, F_OK) == 0; }

std::string ReadAll(const char *path)
{
    std::string s;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    close(fd);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

// One value of a record line: "\N" for NULL, '\' and line ends escaped.
std::string Esc(const char *s)
{
    if (!s)
        return "\\N";
    std::string out;
    for (const char *p = s; *p; ++p) {
        if (*p == '\\')
            out += "\\\\";
        else if (*p == '\n')
            out += "\\n";
        else if (*p == '\r')
            out += "\\r";
        else
            out += *p;
    }
    return out;
}

std::string Record(const VAKOSMTP *m)
{
    std::string r = "mail\n";
    r += "server " + Esc(m->szServer) + "\n";
    r += "port " + std::to_string(m->port) + "\n";
    r += "auth " + std::to_string(m->auth) + "\n";
    r += "user " + Esc(m->szUser) + "\n";
    r += "passwd " + Esc(m->szPasswd) + "\n";
    r += "ssl " + std::to_string(m->useSSL) + "\n";
    for (const VAKOSMTPADDR *a = m->pFrom; a; a = a->pNext)
        r += "from " + Esc(a->szName) + "\n" + "from-addr " + Esc(a->szAddr) + "\n";
    for (const VAKOSMTPADDR *a = m->pTo; a; a = a->pNext)
        r += "to " + Esc(a->szName) + "\n" + "to-addr " + Esc(a->szAddr) + "\n";
    r += "reserved " + std::to_string(m->reserved1) + " " + std::to_string(m->reserved2) + "\n";
    r += "subject " + Esc(m->szSubject) + "\n";
    r += "header " + Esc(m->szHeader) + "\n";
    r += "body " + Esc(m->szBody) + "\n";
    r += "end\n";
    return r;
}

// One whole record in one append: children sending at once do not mix.
bool Append(const std::string &record)
{
    mkdir(kDir, 0755);
    int fd = open(kMails, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = write(fd, record.data(), record.size()) == static_cast<ssize_t>(record.size());
    close(fd);
    return ok;
}

// A minimal SMTP client for the relay test.
class Dialogue {
public:
    ~Dialogue()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool Connect(const char *server, int port)
    {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        if (!server || inet_pton(AF_INET, server, &sa.sin_addr) != 1)
            return Fail("bad server address");
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // Bounded: a test server that never answers does not hang the child.
        timeval tv{60, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0)
            return Fail("cannot connect to the SMTP server");
        return Expect('2');
    }
    bool Command(const std::string &line, char want) { return Send(line + "\r\n") && Expect(want); }
    bool Send(const std::string &s)
    {
        for (size_t done = 0; done < s.size();) {
            ssize_t n = write(fd_, s.data() + done, s.size() - done);
            if (n <= 0)
                return Fail("write to the SMTP server failed");
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // The reply's last line starts with the wanted digit.
    bool Expect(char want)
    {
        for (;;) {
            std::string line;
            char c;
            while (read(fd_, &c, 1) == 1 && c != '\n')
                line += c;
            if (line.size() < 4)
                return Fail("no reply from the SMTP server");
            if (line[3] == '-')
                continue;
            if (line[0] != want) {
                error_ = "SMTP server said: " + line;
                return false;
            }
            return true;
        }
    }
    bool Fail(const char *what)
    {
        error_ = what;
        return false;
    }
    const std::string &error() const { return error_; }

private:
    int fd_ = -1;
    std::string error_;
};

std::string Crlf(const char *text)
{
    std::string out;
    for (const char *p = text ? text : ""; *p; ++p) {
        if (*p == '\n')
            out += "\r\n";
        else
            out += *p;
    }
    return out;
}

// Dot-stuffed body lines, CR LF ended.
std::string Body(const char *text)
{
    std::string body = Crlf(text), out;
    size_t at = 0;
    while (at < body.size()) {
        size_t eol = body.find("\r\n", at);
        std::string line = body.substr(at, eol == std::string::npos ? std::string::npos : eol - at);
        out += (line.starts_with(".") ? "." : "") + line + "\r\n";
        if (eol == std::string::npos)
            break;
        at = eol + 2;
    }
    return out;
}

bool Relay(const VAKOSMTP *m, std::string *error)
{
    Dialogue d;
    bool ok = d.Connect(m->szServer, m->port) && d.Command("HELO appliance", '2') &&
              d.Command("MAIL FROM:<" + std::string(m->pFrom && m->pFrom->szAddr ? m->pFrom->szAddr : "") + ">", '2');
    std::string to;
    for (const VAKOSMTPADDR *a = m->pTo; ok && a; a = a->pNext) {
        if (!a->szAddr)
            continue;
        ok = d.Command("RCPT TO:<" + std::string(a->szAddr) + ">", '2');
        to += (to.empty() ? "" : ", ") + std::string(a->szAddr);
    }
    if (ok) {
        std::string from = m->pFrom ? std::string(m->pFrom->szName ? m->pFrom->szName : "") + " <" +
                                          (m->pFrom->szAddr ? m->pFrom->szAddr : "") + ">"
                                    : "";
        std::string msg = "From: " + from + "\r\nTo: " + to + "\r\nSubject: " + (m->szSubject ? m->szSubject : "") +
                          "\r\n" + Crlf(m->szHeader) + "\r\n" + Body(m->szBody) + ".\r\n";
        ok = d.Command("DATA", '3') && d.Send(msg) && d.Expect('2') && d.Command("QUIT", '2');
    }
    if (!ok)
        *error = d.error();
    return ok;
}

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

} // namespace

extern "C" {

int VAKOSMTPSendEmail(PVAKOSMTP pSmtp, PFN_VAKOSMTP_ERROR pfnError)
{
    if (!pSmtp)
        return -1;
    if (Exists(kFail)) {
        std::string text = ReadAll(kFail);
        if (pfnError)
            pfnError(text.c_str());
        return -1;
    }
    if (Exists(kRelay)) {
        std::string error;
        if (!Relay(pSmtp, &error)) {
            if (pfnError)
                pfnError(error.c_str());
            return -1;
        }
    }
    return Append(Record(pSmtp)) ? 0 : -1;
}

void VAKOSMTPFreeVAKOSMTP(PVAKOSMTP pSmtp)
{
    if (!pSmtp)
        return;
    for (char **p :
         {&pSmtp->szServer, &pSmtp->szUser, &pSmtp->szPasswd, &pSmtp->szSubject, &pSmtp->szBody, &pSmtp->szHeader}) {
        free(*p);
        *p = nullptr;
    }
    for (PVAKOSMTPADDR *chain : {&pSmtp->pTo, &pSmtp->pFrom}) {
        for (PVAKOSMTPADDR a = *chain; a;) {
            PVAKOSMTPADDR next = a->pNext;
            free(a->szName);
            free(a->szAddr);
            free(a);
            a = next;
        }
        *chain = nullptr;
    }
}

// Standard base64 of len bytes, in storage of the library's own.
char *SzBase64Encode(const char *szText, int cbText)
{
    static std::string out;
    if (!szText || cbText < 0)
        return nullptr;
    out.clear();
    const auto *p = reinterpret_cast<const unsigned char *>(szText);
    for (int i = 0; i < cbText; i += 3) {
        uint32_t v = static_cast<uint32_t>(p[i]) << 16;
        if (i + 1 < cbText)
            v |= static_cast<uint32_t>(p[i + 1]) << 8;
        if (i + 2 < cbText)
            v |= p[i + 2];
        out += kAlphabet[v >> 18 & 63];
        out += kAlphabet[v >> 12 & 63];
        out += i + 1 < cbText ? kAlphabet[v >> 6 & 63] : '=';
        out += i + 2 < cbText ? kAlphabet[v & 63] : '=';
    }
    return out.data();
}

} // extern "C"
