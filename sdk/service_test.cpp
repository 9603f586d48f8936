#include "vako/service.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "vakotest/logs.h"
#include "slib/error.h"
#include "vakotest/lockhold.h"
#include "vakotest/sleeps.h"
#include "vakotest/testkit.h"

using vakotest::FileExists;
using vakotest::ReadFile;
using vakotest::WriteFile;

namespace {

// ---- DDNS ----

constexpr char kDdns[] = "/etc/ddns.conf";

VAKODDNSINFO Marked()
{
    VAKODDNSINFO info;
    memset(&info, 'Z', sizeof info);
    info.szName[15] = info.szHostname[127] = info.szUsername[127] = info.szPasswd[127] = '\0';
    return info;
}

TEST(DdnsConfigGet, ReadsTheProvidersSection)
{
    WriteFile(kDdns, "[other]\nhostname=wrong\n"
                     "[DynDNS]\nhostname=nas.example.org\nusername=%s\npasswd=\"secret word\"\n"
                     "[later]\npasswd=wrong\n");
    VAKODDNSINFO info = Marked();
    ASSERT_EQ(VAKODDNSConfigGet("DynDNS", &info), 1);
    EXPECT_STREQ(info.szName, "DynDNS");
    EXPECT_STREQ(info.szHostname, "nas.example.org");
    EXPECT_STREQ(info.szUsername, "%s"); // copied as text, never a format
    EXPECT_STREQ(info.szPasswd, "secret word");
}

TEST(DdnsConfigGet, MissingPasswdFillsTheOthers)
{
    WriteFile(kDdns, "[noip]\nhostname=h.example\nusername=u\n");
    vakotest::SyslogClear();
    VAKODDNSINFO info = Marked();
    EXPECT_EQ(VAKODDNSConfigGet("noip", &info), -1);
    EXPECT_STREQ(info.szHostname, "h.example");
    EXPECT_STREQ(info.szUsername, "u");
    EXPECT_EQ(info.szPasswd[0], 'Z'); // untouched
    EXPECT_EQ(
        vakotest::SyslogCount("VAKODDNSConfigGet(ddns_config_get:{L}): Failed to get by key passwd by name noip at "
                              "/etc/ddns.conf, errno={*}\n"),
        1);
    EXPECT_EQ(vakotest::SyslogTexts().size(), 1u);
}

TEST(DdnsConfigGet, NoSectionOrNoKeysLeavesTheRecord)
{
    WriteFile(kDdns, "[empty]\n[full]\nhostname=a\nusername=b\npasswd=c\n");
    for (const char *name : {"absent", "empty", "FULL"}) {
        SCOPED_TRACE(name);
        VAKODDNSINFO info = Marked(), before = info;
        EXPECT_EQ(VAKODDNSConfigGet(name, &info), 0);
        EXPECT_EQ(memcmp(&info, &before, sizeof info), 0);
    }
}

TEST(DdnsConfigGet, LongTextsAreCutToTheirFields)
{
    std::string name(40, 'n'), host(300, 'h'), user(128, 'u'), pass(127, 'p');
    WriteFile(kDdns, "[" + name + "]\nhostname=" + host + "\nusername=" + user + "\npasswd=" + pass + "\n");
    VAKODDNSINFO info = Marked();
    ASSERT_EQ(VAKODDNSConfigGet(name.c_str(), &info), 1);
    EXPECT_EQ(std::string(info.szName), name.substr(0, 15));
    EXPECT_EQ(std::string(info.szHostname), host.substr(0, 127));
    EXPECT_EQ(std::string(info.szUsername), user.substr(0, 127));
    EXPECT_EQ(std::string(info.szPasswd), pass);
}

TEST(DdnsConfigGet, RefusedAndFailedReads)
{
    VAKODDNSINFO info = Marked();
    EXPECT_EQ(VAKODDNSConfigGet(nullptr, &info), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKODDNSConfigGet("x", nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);

    vakotest::RemoveFile(kDdns);
    vakotest::SyslogClear();
    EXPECT_EQ(VAKODDNSConfigGet("x", &info), -1);
    EXPECT_TRUE(vakotest::SyslogMatches("VAKODDNSConfigGet(ddns_config_get:{L}): Failed to get section from "
                                        "/etc/ddns.conf by name x , ret=-1, errno={*}\n"));
}

// ---- Domain state ----

constexpr char kSmbConf[] = "/usr/vako/etc/smb.conf";
constexpr char kInfo[] = "/etc/vakoinfo.conf";

std::string Global(const std::string &body) { return "[homes]\nworkgroup=NOT\n[global]\n" + body + "[x]\n"; }

TEST(WinsQuery1, SecurityDecidesNameAndDomain)
{
    struct Case {
        const char *security;
        const char *name;
        int domain;
    } cases[] = {
        {"ads", "CORP.EXAMPLE.ORG", 1}, {"domain", "CORP", 1}, {"user", "CORP", 0}, {"ADS", "CORP", 0}, // case matters
        {"share", "CORP", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.security);
        WriteFile(kSmbConf, Global(std::string("\tworkgroup = CORP\n\trealm = CORP.EXAMPLE.ORG\n\tsecurity = ") +
                                   c.security + "\n"));
        char buf[64];
        memset(buf, 'Z', sizeof buf);
        int domain = -7;
        ASSERT_EQ(VAKOWinsQuery1(buf, sizeof buf, &domain, nullptr), 0);
        EXPECT_STREQ(buf, c.name);
        EXPECT_EQ(domain, c.domain);
        EXPECT_EQ(buf[sizeof buf - 1], '\0'); // cleared
    }
}

TEST(WinsQuery1, LongWorkgroupIsCut)
{
    WriteFile(kSmbConf, Global("workgroup=ABCDEFGHIJKLMNOPQRSTUVWXYZ\nsecurity=user\n"));
    char buf[8];
    int domain = -1;
    ASSERT_EQ(VAKOWinsQuery1(buf, sizeof buf, &domain, nullptr), 0);
    EXPECT_STREQ(buf, "ABCDEFG");
}

TEST(WinsQuery1, MissingKeysAndFile)
{
    struct Case {
        const char *body;
        const char *message;
    } cases[] = {
        {"workgroup=W\n", "wins_query1:{L} key [security] not found or error!!"},
        {"security=ads\nworkgroup=W\n", "wins_query1:{L} key [realm] not found or error!!"},
        {"security=domain\nrealm=R\n", "wins_query1:{L} key [workgroup] not found or error!!"},
    };
    char buf[16];
    int domain = -1;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.body);
        WriteFile(kSmbConf, Global(c.body));
        vakotest::SyslogClear();
        EXPECT_EQ(VAKOWinsQuery1(buf, sizeof buf, &domain, nullptr), -1);
        EXPECT_TRUE(vakotest::SyslogMatches(c.message));
    }
    vakotest::RemoveFile(kSmbConf);
    vakotest::SyslogClear();
    EXPECT_EQ(VAKOWinsQuery1(buf, sizeof buf, &domain, nullptr), -1);
    EXPECT_TRUE(vakotest::SyslogMatches("wins_query1:{L} SLIBFileGetSection failed [900]!!"));
}

TEST(WinsQuery1, NullBuffersAreRefused)
{
    WriteFile(kSmbConf, Global("workgroup=W\nsecurity=user\n"));
    char buf[16];
    int domain = -1;
    EXPECT_EQ(VAKOWinsQuery1(nullptr, 16, &domain, nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOWinsQuery1(buf, sizeof buf, nullptr, nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOWinsQuery1(buf, 0, &domain, nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
}

TEST(WinsQuery1, SambaFlagFollowsRunsamba)
{
    WriteFile(kSmbConf, Global("workgroup=W\nsecurity=domain\n"));
    struct Case {
        const char *info;
        int running;
    } cases[] = {
        {"runsamba=\"yes\"\n", 1}, {"runsamba=\"YES\"\n", 1},
        {"runsamba=\"no\"\n", 0},  {"runsamba=\"yess\"\n", 0},
        {"other=\"yes\"\n", 0},    {"runsamba=\"yes and a value of more than twenty bytes\"\n", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.info);
        WriteFile(kInfo, c.info);
        EXPECT_EQ(WinsIsSambaRunning(), c.running);
        char buf[16];
        int domain = -1, samba = -1;
        ASSERT_EQ(VAKOWinsQuery1(buf, sizeof buf, &domain, &samba), 0);
        EXPECT_EQ(samba, c.running);
        EXPECT_EQ(domain, 1);
    }
    vakotest::RemoveFile(kInfo);
    EXPECT_EQ(WinsIsSambaRunning(), 0);
    // The shared hold is released.
    EXPECT_TRUE(vakotest::OtherProcessCanLock(0x806));
}

TEST(WinsQuery1, SambaLockNotObtainedCountsAsStopped)
{
    WriteFile(kInfo, "runsamba=\"yes\"\n");
    vakotest::OtherLockHolder holder(0x806);
    vakotest::SleepLog pauses(vakotest::Pauses::Skipped);
    EXPECT_EQ(WinsIsSambaRunning(), 0);
    // It waited ten seconds for the lock.
    int64_t waited = 0;
    for (int64_t p : pauses.Micros())
        waited += p;
    EXPECT_GE(waited, 10000000);
    EXPECT_LT(waited, 11000000);
}

// ---- Download settings ----

VAKODOWNLOADINFO Settings()
{
    VAKODOWNLOADINFO d;
    memset(&d, 0, sizeof d);
    d.enabled = 1;
    strcpy(d.when, "01:00-06:00");
    d.order = 1;
    d.ul_rate = 20;
    d.dl_rate = -1;
    d.start_port = 6881;
    d.end_port = 6890;
    d.port_map_enabled = 0;
    d.seeding_ratio = 150;
    d.seeding_interval = 60;
    d.enable_dht = 7;
    d.dhtport = 6881;
    d.btmaxpeers = 50;
    d.btencrypt = 2;
    d.maxtasks = 10;
    d.enable_amule = 0;
    d.amule_ul_rate = 11;
    d.amule_dl_rate = 12;
    d.amule_tcp_port = 4662;
    d.amule_udp_port = 4672;
    d.amule_max_conn = 500;
    d.amule_auto_connect = 1;
    d.amule_enable_obfuscation = 2;
    d.amule_outgoing_obfuscation = 3;
    d.amule_only_obfuscation = 4;
    d.amule_auto_update_server = 5;
    d.ftpmax_enable = 1;
    d.ftpmax = 3;
    d.email_notification = 1;
    strcpy(d.rapidshare_user, "rs user");
    strcpy(d.rapidshare_password, "rs\"pw");
    strcpy(d.nzb_server, "news.example.org");
    d.nzb_port = 65535;
    d.nzb_auth = 1;
    strcpy(d.nzb_user, "nzb");
    strcpy(d.nzb_password, "%s%n");
    d.nzb_numconn = 8;
    return d;
}

// The 37 key lines of Settings(), in the order they are written.
const std::vector<std::pair<std::string, std::string>> kWritten = {
    {"enabled", "yes"},
    {"order", "user"},
    {"when", "01:00-06:00"},
    {"ul_rate", "20"},
    {"dl_rate", "-1"},
    {"start_port", "6881"},
    {"end_port", "6890"},
    {"port_map_enabled", "no"},
    {"seeding_interval", "60"},
    {"seeding_ratio", "150"},
    {"enable_dht", "yes"},
    {"dhtport", "6881"},
    {"btencrypt", "always"},
    {"btmaxpeers", "50"},
    {"enable_amule", "no"},
    {"amule_ul_rate", "11"},
    {"amule_dl_rate", "12"},
    {"amule_tcp_port", "4662"},
    {"amule_udp_port", "4672"},
    {"amule_max_conn", "500"},
    {"amule_auto_connect", "1"},
    {"amule_enable_obfuscation", "2"},
    {"amule_outgoing_obfuscation", "3"},
    {"amule_only_obfuscation", "4"},
    {"amule_auto_update_server", "5"},
    {"maxtasks", "10"},
    {"nzb_server", "news.example.org"},
    {"nzb_port", "65535"},
    {"nzb_auth", "yes"},
    {"nzb_user", "nzb"},
    {"nzb_password", "%s%n"},
    {"nzb_numconn", "8"},
    {"ftpmax_enable", "yes"},
    {"ftpmax", "3"},
    {"email_notification", "1"},
    {"rapidshare_user", "rs user"},
    {"rapidshare_password", "rs\"pw"},
};

std::string Lines(size_t from, size_t to)
{
    std::string text;
    for (size_t i = from; i < to; i++)
        text += "download_" + kWritten[i].first + "=\"" + kWritten[i].second + "\"\n";
    return text;
}

TEST(DownloadInfoSet, WritesAllKeysInOrderAndSignalsTheScheduler)
{
    ASSERT_EQ(kWritten.size(), 37u);
    // A present key is replaced where it stands; absent ones are appended.
    WriteFile(kInfo, "unique=\"x\"\ndownload_btencrypt=\"auto\"\nrunsamba=\"yes\"\n");
    pid_t scheduler = vakotest::ForkChild([] {
        pause();
        return 0;
    });
    WriteFile(SZF_SCHEDULER_PID, std::to_string(scheduler) + "\n");
    VAKODOWNLOADINFO d = Settings();
    ASSERT_EQ(VAKODownloadInfoSet(&d), 0);
    EXPECT_EQ(ReadFile(kInfo),
              "unique=\"x\"\ndownload_btencrypt=\"always\"\nrunsamba=\"yes\"\n" + Lines(0, 12) + Lines(13, 37));
    EXPECT_EQ(vakotest::WaitChild(scheduler), 128 + SIGHUP);
    EXPECT_TRUE(vakotest::OtherProcessCanLock(0x806));
}

// The keys are set on a copy put in place once: the file keeps its mode
// and owner, no temporary stays beside it, and a missing file is made as
// the first key would make it.
TEST(DownloadInfoSet, TheFileIsReplacedOnceKeepingItsMode)
{
    WriteFile(kInfo, "unique=\"x\"\n", 0640);
    VAKODOWNLOADINFO d = Settings();
    ASSERT_EQ(VAKODownloadInfoSet(&d), 0);
    EXPECT_EQ(ReadFile(kInfo), "unique=\"x\"\n" + Lines(0, 37));
    EXPECT_EQ(vakotest::FileMode(kInfo), 0640u);
    std::vector<std::string> names = vakotest::ListDir("/etc");
    EXPECT_EQ(
        std::count_if(names.begin(), names.end(), [](const std::string &n) { return n.starts_with("vakoinfo.conf."); }),
        0);

    unlink(kInfo);
    const mode_t mask = umask(0);
    umask(mask);
    ASSERT_EQ(VAKODownloadInfoSet(&d), 0);
    EXPECT_EQ(ReadFile(kInfo), Lines(0, 37));
    EXPECT_EQ(vakotest::FileMode(kInfo), 0666u & ~mask);
}

TEST(DownloadInfoSet, OrderAndEncryptionWords)
{
    struct Case {
        int order, btencrypt;
        const char *orderText, *btText;
    } cases[] = {
        {1, 0, "user", "disable"},
        {2, 1, "request", "auto"},
        {0, 2, "request", "always"},
        {-1, 0, "request", "disable"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.order);
        vakotest::RemoveFile(kInfo);
        VAKODOWNLOADINFO d = Settings();
        d.order = c.order;
        d.btencrypt = c.btencrypt;
        ASSERT_EQ(VAKODownloadInfoSet(&d), 0); // no pid file: nothing to signal
        std::string text = ReadFile(kInfo);
        EXPECT_NE(text.find(std::string("download_order=\"") + c.orderText + "\"\n"), std::string::npos);
        EXPECT_NE(text.find(std::string("download_btencrypt=\"") + c.btText + "\"\n"), std::string::npos);
    }
}

// A refused value, wherever its key stands in the order, leaves the
// settings as they were.
TEST(DownloadInfoSet, EveryValueIsCheckedBeforeAnythingIsWritten)
{
    WriteFile(kInfo, "unique=\"x\"\n");
    struct Case {
        const char *what;
        void (*spoil)(VAKODOWNLOADINFO &);
    } cases[] = {
        {"line feed", [](VAKODOWNLOADINFO &d) { strcpy(d.nzb_user, "a\ndownload_enabled=\"yes\""); }},
        {"carriage return", [](VAKODOWNLOADINFO &d) { strcpy(d.rapidshare_password, "pw\r"); }},
        {"when without NUL", [](VAKODOWNLOADINFO &d) { memset(d.when, '1', sizeof d.when); }},
        {"password without NUL", [](VAKODOWNLOADINFO &d) { memset(d.rapidshare_password, 'p', 32); }},
        {"encryption 3", [](VAKODOWNLOADINFO &d) { d.btencrypt = 3; }},
        {"encryption -1", [](VAKODOWNLOADINFO &d) { d.btencrypt = -1; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        VAKODOWNLOADINFO d = Settings();
        c.spoil(d);
        SLIBErrorSet(0);
        vakotest::SyslogClear();
        EXPECT_EQ(VAKODownloadInfoSet(&d), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        EXPECT_EQ(ReadFile(kInfo), "unique=\"x\"\n");
        EXPECT_TRUE(vakotest::SyslogMatches("service.cpp ({L}) There is an error here."));
    }
    SLIBErrorSet(0);
    EXPECT_EQ(VAKODownloadInfoSet(nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    // Refused before the settings' lock was asked for.
    EXPECT_FALSE(FileExists("/tmp/lock"));
}

TEST(DownloadInfoSet, HeldLockWritesNothing)
{
    WriteFile(kInfo, "unique=\"x\"\n");
    vakotest::OtherLockHolder holder(0x805);
    vakotest::SyslogClear();
    vakotest::SleepLog pauses(vakotest::Pauses::Skipped);
    VAKODOWNLOADINFO d = Settings();
    EXPECT_EQ(VAKODownloadInfoSet(&d), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0400);
    EXPECT_TRUE(vakotest::SyslogMatches("service.cpp ({L}) There is an error here."));
    EXPECT_EQ(ReadFile(kInfo), "unique=\"x\"\n");
}

TEST(DownloadInfoSet, FailedSignalOnlyLogs)
{
    vakotest::RemoveFile(kInfo);
    WriteFile(SZF_SCHEDULER_PID, ""); // nothing to read: the signal fails
    vakotest::SyslogClear();
    VAKODOWNLOADINFO d = Settings();
    EXPECT_EQ(VAKODownloadInfoSet(&d), 0);
    EXPECT_TRUE(vakotest::SyslogMatches("service.cpp ({L})Failed to hup scheduled."));
    EXPECT_EQ(ReadFile(kInfo), Lines(0, 37));
}

// ---- Scheduler signal ----

TEST(DownloadSchedulerSignal, ReachesTheProcessOfThePidFile)
{
    pid_t scheduler = vakotest::ForkChild([] {
        pause();
        return 0;
    });
    WriteFile(SZF_SCHEDULER_PID, std::to_string(scheduler));
    EXPECT_EQ(DownloadSchedulerSignal(SIGTERM), 0);
    EXPECT_EQ(vakotest::WaitChild(scheduler), 128 + SIGTERM);
}

TEST(DownloadSchedulerSignal, NoSchedulerIsNoFailure)
{
    vakotest::RemoveFile(SZF_SCHEDULER_PID);
    EXPECT_EQ(DownloadSchedulerSignal(SIGHUP), 0);

    pid_t gone = vakotest::ForkChild([] { return 0; });
    vakotest::WaitChild(gone);
    WriteFile(SZF_SCHEDULER_PID, std::to_string(gone) + "\n");
    EXPECT_EQ(DownloadSchedulerSignal(SIGHUP), 0);

    for (const char *text : {"0\n", "-5\n", "none\n"}) {
        SCOPED_TRACE(text);
        WriteFile(SZF_SCHEDULER_PID, text);
        EXPECT_EQ(DownloadSchedulerSignal(SIGHUP), 0);
    }
}

TEST(DownloadSchedulerSignal, UnreadablePidFileFails)
{
    WriteFile(SZF_SCHEDULER_PID, "");
    EXPECT_EQ(DownloadSchedulerSignal(SIGHUP), -1);
    vakotest::RemoveFile(SZF_SCHEDULER_PID);
    vakotest::MakeDirs(SZF_SCHEDULER_PID);
    EXPECT_EQ(DownloadSchedulerSignal(SIGHUP), -1);
}

} // namespace
