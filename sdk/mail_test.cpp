#include "vako/mail.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "slib/error.h"
#include "slib/szhash.h"
#include "vako/event_log.h"
#include "vakotest/eventlog.h"
#include "vakotest/smtp.h"
#include "vakotest/testkit.h"

using vakotest::ReadFile;
using vakotest::WriteFile;
namespace smtp = vakotest::smtp;

namespace {

constexpr const char *kTemplate = "/usr/vako/vakoman/webman/texts/enu/mails";
constexpr const char *kHeaderLines = "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: 8bit\n";

const std::string kMails = "[Other]\n"
                           "Subject: not this one\n"
                           "other text\n"
                           "[AutoBlockAdd]  \n"
                           "Host %HOSTNAME% of %COMPANY_NAME%   \n"
                           "Subject: Blocked %CLIENT_IP%\n"
                           "\n"
                           "  \n"
                           "The address %CLIENT_IP% was blocked at %AUTOBLOCK_TIME%\t \r\n"
                           "after %AUTOBLOCK_ATTEMPTS% attempts in %AUTOBLOCK_ATTEMPT_MIN% minutes.\n"
                           "[\n"
                           "Addresses: %IP_ADDR%\n"
                           "Visit %HTTP_URL%\n"
                           "[Last]\n"
                           "Subject: last\n";

// Sets interface's IPv4 address (the sandbox's own network namespace).
void SetAddress(const char *ifname, const char *addr)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(s, 0);
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", ifname);
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    inet_pton(AF_INET, addr, &sin.sin_addr);
    memcpy(&ifr.ifr_addr, &sin, sizeof sin);
    ASSERT_EQ(ioctl(s, SIOCSIFADDR, &ifr), 0) << strerror(errno);
    close(s);
}

struct Hash {
    PSLIBSZHASH h = SLIBSzHashAlloc(512);
    ~Hash() { SLIBSzHashFree(h); }
    Hash &Set(const char *k, const char *v)
    {
        EXPECT_GE(SLIBSzHashSetValue(&h, k, v), 0);
        return *this;
    }
};

class Mail : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(sethostname("nas1.example.com", 16), 0);
        setenv("USERNAME", "u", 1);
        WriteFile("/etc/vakoinfo.conf",
                  "eventsmtp=\"127.0.0.1\"\neventport=\"2525\"\neventmail1=\"admin@example.com\"\n"
                  "eventmail2=\"ops@example.com\"\nmaillang=\"enu\"\n");
        WriteFile("/etc.defaults/vakoinfo.conf", "mailfrom=\"Harbox Inc\"\n");
        WriteFile(kTemplate, kMails);
    }
};

// The subject and body of tag, converted, in this process.
int Convert(const char *tag, std::string &subject, std::string &body, PSLIBSZHASH *pp, int cbSubject = 512)
{
    std::vector<char> s(static_cast<size_t>(cbSubject)), b(4096);
    int r = VAKOMailReadByTagAndConvert("enu", tag, s.data(), cbSubject, b.data(), 4096, pp);
    subject = s.data();
    body = b.data();
    return r;
}

std::string Today()
{
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char buf[32];
    snprintf(buf, sizeof buf, "%d/%02d/%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return buf;
}

TEST_F(Mail, SectionIsFilledAndSplitIntoSubjectAndBody)
{
    SetAddress("eth0", "192.0.2.10");
    SetAddress("eth1", "198.51.100.7");
    vakotest::WriteFile("/etc/vakoinfo.conf", ReadFile("/etc/vakoinfo.conf") + "admin_port=\"5001\"\n");
    Hash hash;
    hash.Set("%CLIENT_IP%", "203.0.113.5").Set("%AUTOBLOCK_TIME%", "Mon Jan  5 10:00:00 2026");
    hash.Set("%AUTOBLOCK_ATTEMPTS%", "10").Set("%AUTOBLOCK_ATTEMPT_MIN%", "5").Set("%HOSTNAME%", "caller's");
    std::string subject, body;
    ASSERT_EQ(Convert("AutoBlockAdd", subject, body, &hash.h), 0);
    EXPECT_EQ(subject, " Blocked 203.0.113.5");
    EXPECT_EQ(body, "Host nas1 of Harbox Inc\n"
                    "The address 203.0.113.5 was blocked at Mon Jan  5 10:00:00 2026\n"
                    "after 10 attempts in 5 minutes.\n"
                    "[\n"
                    "Addresses: 192.0.2.10, 198.51.100.7\n"
                    "Visit http://192.0.2.10:5001/, http://198.51.100.7:5001/\n");
    // The library's own entries replace the caller's, and stay in its hash.
    EXPECT_STREQ(SzSLIBSzHashGetValue(hash.h, "%HOSTNAME%"), "nas1");
    EXPECT_STREQ(SzSLIBSzHashGetValue(hash.h, "%DATE%"), Today().c_str());
    EXPECT_TRUE(
        std::regex_match(SzSLIBSzHashGetValue(hash.h, "%TIME%"), std::regex("[0-2][0-9]:[0-5][0-9]:[0-6][0-9]")));
    // The work file is gone.
    EXPECT_FALSE(vakotest::FileExists("/tmp/tempmail." + std::to_string(getpid())));
}

TEST_F(Mail, PlaceholdersWithoutAddressesAndWithDdns)
{
    struct Case {
        std::string info, ddns, urls;
    };
    const Case cases[] = {
        {"", "", ""},
        {"ddns_update=\"YES\"\nddns_select=\"prov\"\n",
         "[prov]\nhostname=\"nas.dyn.example\"\nusername=\"u\"\npasswd=\"p\"\n", ", http://nas.dyn.example:5000/"},
        // No section for the provider: an empty host name.
        {"ddns_update=\"yes\"\nddns_select=\"gone\"\n", "[prov]\nhostname=\"h\"\n", ", http://:5000/"},
        // No provider selected: logged, no DDNS part.
        {"ddns_update=\"yes\"\n", "", ""},
    };
    for (const Case &c : cases) {
        WriteFile("/etc/vakoinfo.conf", "eventsmtp=\"s\"\n" + c.info);
        WriteFile("/etc/ddns.conf", c.ddns);
        WriteFile(kTemplate, "[T]\nSubject: s\nip=[%IP_ADDR%] url=[%HTTP_URL%]\n");
        std::string subject, body;
        ASSERT_EQ(Convert("T", subject, body, nullptr), 0) << c.info;
        EXPECT_EQ(body, "ip=[] url=[" + c.urls + "]\n") << c.info;
    }
}

TEST_F(Mail, CompanyName)
{
    WriteFile(kTemplate, "[T]\nSubject: s\n<%COMPANY_NAME%>\n");
    std::string subject, body;
    WriteFile("/etc.defaults/vakoinfo.conf", "unique=\"x\"\n");
    ASSERT_EQ(Convert("T", subject, body, nullptr), 0);
    EXPECT_EQ(body, "<>\n");
    vakotest::RemoveFile("/etc.defaults/vakoinfo.conf");
    ASSERT_EQ(Convert("T", subject, body, nullptr), 0);
    EXPECT_EQ(body, "<Harbox>\n");
}

TEST_F(Mail, SectionHeaders)
{
    struct Case {
        std::string file;
        int result;
        std::string subject, body;
    };
    const Case cases[] = {
        // Cut at the last ']' of the header line.
        {"[T] trailing]\nSubject: a\n", -1, "", ""},
        {"[T]x]\nSubject: a\n", -1, "", ""},
        {"[T]]\nSubject: a\n", -1, "", ""},
        {"[T] \n\nSubject: a\nb\n", 0, " a", "\nb\n"},
        // Case matters.
        {"[t]\nSubject: a\n", -1, "", ""},
        // A '[' line of two characters does not end a section.
        {"[T]\n[\nSubject: a\n[]\n", 0, " a", "[\n"},
        // An empty section is found, but holds no subject.
        {"[T]\n[U]\nSubject: a\n", -1, "", ""},
        // No line end after the subject.
        {"[T]\nSubject: a", 0, " a", ""},
    };
    for (const Case &c : cases) {
        WriteFile(kTemplate, c.file);
        std::string subject, body;
        EXPECT_EQ(Convert("T", subject, body, nullptr), c.result) << c.file;
        if (c.result == 0) {
            EXPECT_EQ(subject, c.subject) << c.file;
            EXPECT_EQ(body, c.body) << c.file;
        }
    }
}

TEST_F(Mail, MissingSectionIsAnEvent)
{
    WriteFile("/etc/vakolog.conf", "syslogfile=\"/var/log/vakosys.log\"\n");
    vakotest::SyslogClear();
    std::string subject, body;
    EXPECT_EQ(Convert("AutoBlockAdd2", subject, body, nullptr), -1);
    std::vector<evtest::Rec> recs = evtest::Live(ReadFile("/var/log/vakosys.log"));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].level, 3);
    EXPECT_EQ(recs[0].event, 0x11100800u);
    EXPECT_EQ(recs[0].s[0], "Failed to found mail tag");
    EXPECT_EQ(recs[0].s[1], " ");
    std::vector<std::string> texts = vakotest::SyslogTexts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_TRUE(std::regex_match(
        texts[0],
        std::regex(R"(mail_smtp_error_call_back \(\d+\) Failed to send email\. \(Failed to found mail tag\))")))
        << texts[0];
    EXPECT_TRUE(std::regex_match(
        texts[1], std::regex(R"(mail_read_by_tag_and_convert \(\d+\) Failed to read mail tag \[AutoBlockAdd2\]\.)")))
        << texts[1];
    // No template at all, and no tag: the same way.
    vakotest::RemoveFile(kTemplate);
    EXPECT_EQ(Convert("AutoBlockAdd", subject, body, nullptr), -1);
    EXPECT_EQ(Convert(nullptr, subject, body, nullptr), -1);
    EXPECT_EQ(evtest::Live(ReadFile("/var/log/vakosys.log")).size(), 3u);
}

TEST_F(Mail, WorkFileIsCreatedExclusivelyAndNeverThroughALink)
{
    std::string work = "/tmp/tempmail." + std::to_string(getpid());
    WriteFile("/tmp/target", "precious\n");
    ASSERT_EQ(symlink("/tmp/target", work.c_str()), 0);
    std::string subject, body;
    EXPECT_EQ(Convert("AutoBlockAdd", subject, body, nullptr), -1);
    EXPECT_EQ(ReadFile("/tmp/target"), "precious\n");
    // Not ours: left where it was.
    char link[64] = {};
    EXPECT_GT(readlink(work.c_str(), link, sizeof link), 0);
    unlink(work.c_str());
    // A file left by another process of the same id is not taken over either.
    WriteFile(work, "old\n");
    EXPECT_EQ(Convert("AutoBlockAdd", subject, body, nullptr), -1);
    EXPECT_EQ(ReadFile(work), "old\n");
    unlink(work.c_str());
    // Made here: removed after use.
    WriteFile(kTemplate, "[T]\nSubject: s\nx\n");
    ASSERT_EQ(Convert("T", subject, body, nullptr), 0);
    EXPECT_FALSE(vakotest::FileExists(work));
}

TEST_F(Mail, LongSubjectIsCutAtACharacterBoundary)
{
    // 300 two-byte characters: 600 bytes.
    std::string word;
    for (int i = 0; i < 300; i++)
        word += "\xC3\xA9";
    WriteFile(kTemplate, "[T]\nSubject:" + word + "\nbody\n");
    std::string subject, body;
    ASSERT_EQ(Convert("T", subject, body, nullptr), 0);
    // 511 bytes would end inside a character: 510.
    EXPECT_EQ(subject, word.substr(0, 510));
    ASSERT_EQ(Convert("T", subject, body, nullptr, 12), 0);
    EXPECT_EQ(subject, word.substr(0, 10));
}

TEST_F(Mail, NullHashAndBadBuffers)
{
    std::string subject, body;
    PSLIBSZHASH none = nullptr;
    EXPECT_EQ(Convert("AutoBlockAdd", subject, body, &none), -1);
    char s[8], b[8];
    EXPECT_EQ(VAKOMailReadByTagAndConvert("enu", "AutoBlockAdd", nullptr, 8, b, 8, nullptr), -1);
    EXPECT_EQ(VAKOMailReadByTagAndConvert("enu", "AutoBlockAdd", s, 0, b, 8, nullptr), -1);
    EXPECT_EQ(MailTagConvert(nullptr, nullptr), -1);
    EXPECT_FALSE(vakotest::FileExists("/tmp/tempmail." + std::to_string(getpid())));
}

// Every key is replaced line by line, a replacement not searched again;
// the file is replaced once, keeping its mode; a missing file is 0x0900.
TEST_F(Mail, TagConvertReplacesEachKeyAndRewritesTheFileOnce)
{
    const std::string file = "/tmp/border-of-the-mail";
    WriteFile(file, "A %X% and %X%\nno key here\n%Y%", 0640);
    PSLIBSZHASH hash = SLIBSzHashAlloc(512);
    ASSERT_TRUE(hash);
    ASSERT_GE(SLIBSzHashSetValue(&hash, "%X%", "x%X%"), 0);
    ASSERT_GE(SLIBSzHashSetValue(&hash, "%Y%", "y"), 0);
    EXPECT_EQ(MailTagConvert(file.c_str(), &hash), 0);
    EXPECT_EQ(ReadFile(file), "A x%X% and x%X%\nno key here\ny");
    EXPECT_EQ(vakotest::FileMode(file), 0640u);
    std::vector<std::string> names = vakotest::ListDir("/tmp");
    for (const std::string &n : names)
        EXPECT_FALSE(n.starts_with("border-of-the-mail.")) << n;

    unlink(file.c_str());
    SLIBErrorSet(0);
    EXPECT_EQ(MailTagConvert(file.c_str(), &hash), -1);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_OPEN);
    SLIBSzHashFree(hash);
}

TEST_F(Mail, SettingsAreRead)
{
    VAKOMAILSETTING s;
    WriteFile("/etc/vakoinfo.conf",
              "eventsmtp=\"mail.example.com\"\neventport=\"0\"\neventauth=\"YES\"\neventuser=\"me\"\n"
              "eventpass=\"pw\"\neventusessl=\"Yes\"\neventmail1=\"a@x\"\n");
    ASSERT_EQ(VAKOMailGet(&s), 0);
    EXPECT_STREQ(s.szServer, "mail.example.com");
    EXPECT_EQ(s.port, 25);
    EXPECT_EQ(s.auth, 1);
    EXPECT_STREQ(s.szUser, "me");
    EXPECT_STREQ(s.szPasswd, "pw");
    EXPECT_EQ(s.useSSL, 1);
    EXPECT_STREQ(s.szMail1, "a@x");
    EXPECT_STREQ(s.szMail2, "");
    VAKOMailSettingFree(&s);
    EXPECT_EQ(s.szServer, nullptr);
    EXPECT_EQ(s.szMail2, nullptr);

    WriteFile("/etc/vakoinfo.conf", "eventport=\"587\"\neventauth=\"no\"\n");
    ASSERT_EQ(VAKOMailGet(&s), 0);
    EXPECT_STREQ(s.szServer, "");
    EXPECT_EQ(s.port, 587);
    EXPECT_EQ(s.auth, 0);
    VAKOMailSettingFree(&s);

    // A value of 256 bytes does not fit the reader's buffer.
    WriteFile("/etc/vakoinfo.conf", "eventsmtp=\"s\"\neventuser=\"" + std::string(256, 'u') + "\"\n");
    vakotest::SyslogClear();
    EXPECT_EQ(VAKOMailGet(&s), -1);
    EXPECT_EQ(s.szServer, nullptr);
    std::vector<std::string> texts = vakotest::SyslogTexts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_TRUE(std::regex_match(texts[0], std::regex(R"(mail_get \(\d+\) Failed to get SMTP auth user\.)")))
        << texts[0];
    vakotest::RemoveFile("/etc/vakoinfo.conf");
    EXPECT_EQ(VAKOMailGet(&s), -1);
    EXPECT_EQ(VAKOMailGet(nullptr), -1);
}

std::vector<std::pair<std::string, std::string>> Nodes(PVAKOSMTPADDR a)
{
    std::vector<std::pair<std::string, std::string>> v;
    for (; a; a = a->pNext)
        v.emplace_back(a->szName ? a->szName : "(null)", a->szAddr ? a->szAddr : "(null)");
    return v;
}

void FreeRecord(VAKOSMTP &m)
{
    for (char *p : {m.szServer, m.szUser, m.szPasswd, m.szSubject, m.szBody, m.szHeader})
        free(p);
    for (PVAKOSMTPADDR a : {m.pTo, m.pFrom})
        while (a) {
            PVAKOSMTPADDR n = a->pNext;
            free(a->szName);
            free(a->szAddr);
            free(a);
            a = n;
        }
}

TEST_F(Mail, RecipientsAndSender)
{
    using N = std::vector<std::pair<std::string, std::string>>;
    struct Case {
        const char *mail1, *mail2, *override;
        int auth;
        N to, from;
        const char *user;
    };
    const Case cases[] = {
        {"a@x", "b@x", nullptr, 0, {{"(null)", "b@x"}, {"(null)", "a@x"}}, {{"me", "a@x"}}, "(null)"},
        {"a@x", "", nullptr, 1, {{"(null)", "a@x"}}, {{"me", "a@x"}}, "usr"},
        {"a@x", "b@x", "o@x", 0, {{"(null)", "o@x"}}, {{"me", "a@x"}}, "(null)"},
        {"", "b@x", "o@x", 0, {{"(null)", "o@x"}}, {{"me", "o@x"}}, "(null)"},
        {"", "b@x", "", 0, {{"(null)", "(null)"}}, {{"me", "(null)"}}, "(null)"},
    };
    for (const Case &c : cases) {
        VAKOMAILSETTING s = {strdup("srv"), 26, c.auth,          strdup("usr"),
                             strdup("pwd"), 1,  strdup(c.mail1), strdup(c.mail2)};
        VAKOSMTP m;
        memset(&m, 0, sizeof m);
        ASSERT_EQ(VAKOMailFillSmtpStruct(&m, &s, "me", c.override), 0);
        EXPECT_STREQ(m.szServer, "srv");
        EXPECT_EQ(m.port, 26);
        EXPECT_EQ(m.useSSL, 1);
        EXPECT_EQ(Nodes(m.pTo), c.to) << c.mail1 << "/" << c.mail2;
        EXPECT_EQ(Nodes(m.pFrom), c.from) << c.mail1 << "/" << c.mail2;
        EXPECT_EQ(std::string(m.szUser ? m.szUser : "(null)"), c.user);
        EXPECT_EQ(m.szPasswd != nullptr, c.auth == 1);
        FreeRecord(m);
        VAKOMailSettingFree(&s);
    }
    VAKOMAILSETTING empty = {strdup(""), 25, 0, nullptr, nullptr, 0, strdup("a@x"), nullptr};
    VAKOSMTP m;
    memset(&m, 0, sizeof m);
    EXPECT_EQ(VAKOMailFillSmtpStruct(&m, &empty, "me", nullptr), -1);
    EXPECT_EQ(VAKOMailFillSmtpStruct(&m, nullptr, "me", nullptr), -1);
    VAKOMailSettingFree(&empty);
}

TEST_F(Mail, TimeDateIsTheLocalTime)
{
    setenv("TZ", "UTC", 1);
    tzset();
    for (;;) {
        time_t before = time(nullptr);
        int dt[6];
        ASSERT_EQ(VAKOTimeDateGet(dt), 0);
        if (time(nullptr) != before)
            continue; // a second passed between the readings
        struct tm tm;
        gmtime_r(&before, &tm);
        EXPECT_EQ(std::vector<int>(dt, dt + 6),
                  (std::vector<int>{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec}));
        break;
    }
    EXPECT_EQ(VAKOTimeDateGet(nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_STREQ(SLIBErrorGetFile(), "time_date_get");
}

// --- sending: a child process hands the mail to the SMTP library's stand-in ---

std::string Base64(const std::string &s)
{
    static const char *a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < s.size(); i += 3) {
        uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(s[i])) << 16;
        if (i + 1 < s.size())
            v |= static_cast<uint32_t>(static_cast<unsigned char>(s[i + 1])) << 8;
        if (i + 2 < s.size())
            v |= static_cast<unsigned char>(s[i + 2]);
        out += a[v >> 18 & 63];
        out += a[v >> 12 & 63];
        out += i + 1 < s.size() ? a[v >> 6 & 63] : '=';
        out += i + 2 < s.size() ? a[v & 63] : '=';
    }
    return out;
}

TEST_F(Mail, SendHandsTheWholeMailToTheLibrary)
{
    WriteFile("/etc/vakoinfo.conf",
              ReadFile("/etc/vakoinfo.conf") +
                  "eventauth=\"yes\"\neventuser=\"me\"\neventpass=\"secret\"\neventusessl=\"no\"\n");
    WriteFile(kTemplate, "[T]\nSubject: Blocked \xC3\xA9 %CLIENT_IP%\nBody %CLIENT_IP%\n");
    Hash hash;
    hash.Set("%CLIENT_IP%", "203.0.113.5");
    PSLIBSZHASH before = hash.h;
    VAKOMailSend("T", &hash.h);
    smtp::WaitForSenders();
    // The caller's hash is its own.
    EXPECT_EQ(hash.h, before);
    EXPECT_EQ(hash.h->nItem, 1);
    std::vector<smtp::Mail> mails = smtp::Sent();
    ASSERT_EQ(mails.size(), 1u);
    const smtp::Mail &m = mails[0];
    EXPECT_EQ(m.server, "127.0.0.1");
    EXPECT_EQ(m.port, 2525);
    EXPECT_EQ(m.auth, 1);
    EXPECT_EQ(m.user, "me");
    EXPECT_EQ(m.passwd, "secret");
    EXPECT_EQ(m.ssl, 0);
    EXPECT_EQ(m.from, (std::vector<smtp::Address>{{"nas1 - Harbox Inc", "admin@example.com"}}));
    EXPECT_EQ(m.to,
              (std::vector<smtp::Address>{{std::nullopt, "ops@example.com"}, {std::nullopt, "admin@example.com"}}));
    EXPECT_EQ(m.reserved, "0 0");
    EXPECT_EQ(m.subject, "=?UTF-8?B?" + Base64(" Blocked \xC3\xA9 203.0.113.5") + "?=");
    EXPECT_EQ(m.header, kHeaderLines);
    EXPECT_EQ(m.body, "Body 203.0.113.5\n");
}

TEST_F(Mail, OverrideRecipientAndDefaults)
{
    WriteFile("/etc/vakoinfo.conf", "eventsmtp=\"127.0.0.1\"\neventmail1=\"admin@example.com\"\neventuser=\"me\"\n");
    vakotest::RemoveFile("/etc.defaults/vakoinfo.conf");
    vakotest::SyslogClear();
    VAKOMailSendEx("AutoBlockAdd", nullptr, "other@example.com");
    smtp::WaitForSenders();
    std::vector<smtp::Mail> mails = smtp::Sent();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].port, 25);
    EXPECT_EQ(mails[0].user, std::nullopt);
    EXPECT_EQ(mails[0].from, (std::vector<smtp::Address>{{"nas1 - Harbox", "admin@example.com"}}));
    EXPECT_EQ(mails[0].to, (std::vector<smtp::Address>{{std::nullopt, "other@example.com"}}));
    // No mail language: English, after the message.
    bool logged = false;
    for (const std::string &t : vakotest::SyslogTexts())
        logged |= std::regex_match(
            t, std::regex(R"(mail_send_message:\d+ Failed to get maillang, use enu instead\. vakoerr=\[0x2000\])"));
    EXPECT_TRUE(logged);
}

TEST_F(Mail, LongSubjectIsEncodedWhole)
{
    std::string word;
    for (int i = 0; i < 250; i++)
        word += "\xC3\xA9";
    WriteFile(kTemplate, "[T]\nSubject: " + word + "\nb\n");
    VAKOMailSend("T", nullptr);
    smtp::WaitForSenders();
    std::vector<smtp::Mail> mails = smtp::Sent();
    ASSERT_EQ(mails.size(), 1u);
    // 501 bytes of subject: an encoded word of 688 characters, not cut to 511.
    EXPECT_EQ(mails[0].subject, "=?UTF-8?B?" + Base64(" " + word) + "?=");
}

bool g_inTest = false;
void MarkExitHandlerRan()
{
    if (g_inTest)
        WriteFile("/tmp/exit-handler-ran", "");
}

TEST_F(Mail, ChildEndsWithoutTheParentsExitHandlers)
{
    g_inTest = true;
    atexit(MarkExitHandlerRan);
    VAKOMailSend("AutoBlockAdd", nullptr);
    smtp::WaitForSenders();
    g_inTest = false;
    EXPECT_EQ(smtp::Sent().size(), 1u);
    EXPECT_FALSE(vakotest::FileExists("/tmp/exit-handler-ran"));
}

TEST_F(Mail, NothingIsSentWithoutTagServerOrRecipient)
{
    VAKOMailSend("", nullptr);
    VAKOMailSend(nullptr, nullptr);
    // No child was started.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    for (const char *info : {"eventmail1=\"a@x\"\n", "eventsmtp=\"s\"\neventmail1=\"\"\n", "eventsmtp=\"s\"\n"}) {
        WriteFile("/etc/vakoinfo.conf", info);
        vakotest::SyslogClear();
        VAKOMailSend("AutoBlockAdd", nullptr);
        smtp::WaitForSenders();
        EXPECT_TRUE(vakotest::SyslogTexts().empty()) << info;
    }
    EXPECT_TRUE(smtp::Sent().empty());
}

TEST_F(Mail, SendingFailureIsAnEvent)
{
    WriteFile("/etc/vakolog.conf", "syslogfile=\"/var/log/vakosys.log\"\n");
    smtp::FailWith("Connection refused by server");
    vakotest::SyslogClear();
    VAKOMailSend("AutoBlockAdd", nullptr);
    smtp::WaitForSenders();
    EXPECT_TRUE(smtp::Sent().empty());
    std::vector<evtest::Rec> recs = evtest::Live(ReadFile("/var/log/vakosys.log"));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].level, 3);
    EXPECT_EQ(recs[0].event, 0x11100800u);
    EXPECT_EQ(recs[0].s[0], "Connection refused by server");
    bool logged = false;
    for (const std::string &t : vakotest::SyslogTexts())
        logged |= std::regex_match(
            t,
            std::regex(R"(mail_smtp_error_call_back \(\d+\) Failed to send email\. \(Connection refused by server\))"));
    EXPECT_TRUE(logged);
}

TEST_F(Mail, MissingLibraryIsLogged)
{
    ASSERT_EQ(rename("/lib/libvakosmtp.so", "/lib/libvakosmtp.so.away"), 0);
    vakotest::SyslogClear();
    VAKOMailSend("AutoBlockAdd", nullptr);
    smtp::WaitForSenders();
    bool logged = false;
    for (const std::string &t : vakotest::SyslogTexts())
        logged |= std::regex_match(
            t, std::regex(R"(mail_send_message:\d+ dlopen failed\. \(/lib/libvakosmtp\.so: [\s\S]*\)\n?)"));
    EXPECT_TRUE(logged);
    EXPECT_TRUE(smtp::Sent().empty());
}

// A one-mail SMTP server on the loopback of the appliance's network
// namespace: what it received, line by line.
class TinySmtpServer {
public:
    TinySmtpServer()
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
        socklen_t len = sizeof sa;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        EXPECT_EQ(listen(fd_, 1), 0);
        thread_ = std::thread([this] { Serve(); });
    }
    ~TinySmtpServer()
    {
        if (thread_.joinable())
            thread_.join();
        close(fd_);
    }
    int port() const { return port_; }
    std::string Received()
    {
        thread_.join();
        return received_;
    }

private:
    void Serve()
    {
        int c = accept(fd_, nullptr, nullptr);
        if (c < 0)
            return;
        auto say = [&](const std::string &s) { return write(c, s.data(), s.size()) == static_cast<ssize_t>(s.size()); };
        say("220 tiny ESMTP\r\n");
        std::string line;
        bool data = false;
        char ch;
        while (read(c, &ch, 1) == 1) {
            line += ch;
            if (ch != '\n')
                continue;
            received_ += line;
            if (data) {
                if (line == ".\r\n") {
                    data = false;
                    say("250 queued\r\n");
                }
            } else if (line.starts_with("DATA")) {
                data = true;
                say("354 go on\r\n");
            } else if (line.starts_with("QUIT")) {
                say("221 bye\r\n");
                break;
            } else {
                say("250 ok\r\n");
            }
            line.clear();
        }
        close(c);
    }
    int fd_;
    int port_ = 0;
    std::thread thread_;
    std::string received_;
};

TEST_F(Mail, MailGoesOverSmtpToAServerOnTheLoopback)
{
    TinySmtpServer server;
    WriteFile("/etc/vakoinfo.conf", "eventsmtp=\"127.0.0.1\"\neventport=\"" + std::to_string(server.port()) +
                                        "\"\neventmail1=\"admin@example.com\"\neventmail2=\"ops@example.com\"\n");
    WriteFile(kTemplate, "[T]\nSubject: Hello\nFirst line\n.dot line\n");
    WriteFile(smtp::kRelay, "");
    VAKOMailSend("T", nullptr);
    smtp::WaitForSenders();
    EXPECT_EQ(server.Received(), "HELO appliance\r\n"
                                 "MAIL FROM:<admin@example.com>\r\n"
                                 "RCPT TO:<ops@example.com>\r\n"
                                 "RCPT TO:<admin@example.com>\r\n"
                                 "DATA\r\n"
                                 "From: nas1 - Harbox Inc <admin@example.com>\r\n"
                                 "To: ops@example.com, admin@example.com\r\n"
                                 "Subject: =?UTF-8?B?" +
                                     Base64(" Hello") +
                                     "?=\r\n"
                                     "Content-Type: text/plain; charset=utf-8\r\n"
                                     "Content-Transfer-Encoding: 8bit\r\n"
                                     "\r\n"
                                     "First line\r\n"
                                     "..dot line\r\n"
                                     ".\r\n"
                                     "QUIT\r\n");
    EXPECT_EQ(smtp::Sent().size(), 1u);
}

} // namespace
