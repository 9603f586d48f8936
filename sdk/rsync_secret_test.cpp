#include "vako/rsync_secret.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "vakotest/logs.h"
#include "vakotest/cryptfault.h"
#include "vakotest/sleeps.h"
#include "vakotest/testkit.h"

using vakotest::FileExists;
using vakotest::ReadFile;
using vakotest::WriteFile;

namespace {

constexpr char kConf[] = "/etc/rsyncd.conf";
constexpr char kSecrets[] = "/etc/rsyncd.secrets";
constexpr char kCalls[] = "/.sandbox/calls";
constexpr char kStopAndStart[] = "S84rsyncd.sh stop\nS84rsyncd.sh start\n";
constexpr char kSecretsLine[] = "secrets file = /etc/rsyncd.secrets\n";
constexpr char kConfHead[] = "uid = root\nlock file = /var/run/rsyncd.lock\n";

std::string Calls() { return FileExists(kCalls) ? ReadFile(kCalls) : ""; }

// The stored value of user, or "<-1>".
std::string Get(const char *user, int cbOut = 3074)
{
    std::string out(static_cast<size_t>(cbOut), 'Z');
    if (VAKONetBackupGetServerPasswd(user, out.data(), cbOut) != 0)
        return "<-1>";
    return out.c_str();
}

void ExpectSecretsProtected()
{
    EXPECT_EQ(vakotest::FileMode(kSecrets), 0640u);
    EXPECT_EQ(vakotest::FileUid(kSecrets), 0u);
    EXPECT_EQ(vakotest::FileGid(kSecrets), 25u);
}

// The pause between stopping and starting the service is noted, not slept.
class NetBackupSetServerPasswd : public testing::Test {
protected:
    vakotest::SleepLog pauses_{vakotest::Pauses::Skipped};
};

// ---- Changing accounts ----

TEST_F(NetBackupSetServerPasswd, AddAdminWritesRootWithTheServiceStopped)
{
    WriteFile(kConf, std::string(kConfHead) + "auth users = rsync\n");
    WriteFile(kSecrets, "rsync:R\n", 0600);
    ASSERT_EQ(VAKONetBackupSetServerPasswd(nullptr, "admin", "V", NETBKP_PASSWD_ADD), 0);
    EXPECT_EQ(ReadFile(kConf), std::string(kConfHead) + "auth users = rsync,root\n" + kSecretsLine);
    EXPECT_EQ(ReadFile(kSecrets), "rsync:R\nroot:V\n");
    ExpectSecretsProtected();
    EXPECT_EQ(Calls(), kStopAndStart);
    // Two seconds between them.
    EXPECT_EQ(pauses_.Micros(), std::vector<int64_t>{2000000});
    // Stopped before the first change, started after the last.
    EXPECT_EQ(ReadFile("/.sandbox/rsyncd.secrets.at-stop"), "rsync:R\n");
    EXPECT_EQ(ReadFile("/.sandbox/rsyncd.conf.at-stop"), std::string(kConfHead) + "auth users = rsync\n");
    EXPECT_EQ(ReadFile("/.sandbox/rsyncd.secrets.at-start"), "rsync:R\nroot:V\n");
    EXPECT_EQ(Get("admin"), "V");
    EXPECT_EQ(Get("root"), "V");
}

TEST_F(NetBackupSetServerPasswd, ChangeRsyncIntoAdmin)
{
    WriteFile(kConf, std::string("auth users = rsync,other\n") + kSecretsLine);
    WriteFile(kSecrets, "other:O\nrsync:R\nrsync2:X\n");
    ASSERT_EQ(VAKONetBackupSetServerPasswd("rsync", "admin", "V2", NETBKP_PASSWD_MODIFY), 0);
    EXPECT_EQ(ReadFile(kConf), std::string("auth users = root,other\n") + kSecretsLine);
    EXPECT_EQ(ReadFile(kSecrets), "other:O\nroot:V2\nrsync2:X\n");
    ExpectSecretsProtected();
    EXPECT_EQ(Calls(), kStopAndStart);
}

TEST_F(NetBackupSetServerPasswd, ChangeOfAnUnlistedNameAddsIt)
{
    WriteFile(kConf, "auth users = other\n");
    WriteFile(kSecrets, "other:O\n");
    ASSERT_EQ(VAKONetBackupSetServerPasswd("rsync", "rsync", "N", NETBKP_PASSWD_MODIFY), 0);
    EXPECT_EQ(ReadFile(kConf), std::string("auth users = other,rsync\n") + kSecretsLine);
    EXPECT_EQ(ReadFile(kSecrets), "other:O\nrsync:N\n");
}

TEST_F(NetBackupSetServerPasswd, DeleteNames)
{
    struct Case {
        const char *authBefore;
        const char *name;
        const char *authAfter;
    } cases[] = {
        {"auth users = root,rsync", "rsync", "auth users = root"},
        {"auth users = root,RSYNC,rsync", "rsync", "auth users = root,rsync"},
        {"auth users = rsync", "rsync", "auth users ="},
        {"auth users = root", "admin", "auth users ="},
        {"auth users = root", "rsync", "auth users = root"}, // not listed: logged, unchanged
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.authBefore);
        WriteFile(kConf, std::string(c.authBefore) + "\n" + kSecretsLine);
        WriteFile(kSecrets, "root:A\nrsync:B\n");
        vakotest::RemoveFile(kCalls);
        ASSERT_EQ(VAKONetBackupSetServerPasswd(c.name, nullptr, nullptr, NETBKP_PASSWD_DELETE), 0);
        EXPECT_EQ(ReadFile(kConf), std::string(c.authAfter) + "\n" + kSecretsLine);
        EXPECT_EQ(ReadFile(kSecrets), strcmp(c.name, "rsync") == 0 ? "root:A\n" : "rsync:B\n");
        ExpectSecretsProtected();
        EXPECT_EQ(Calls(), kStopAndStart);
    }
    EXPECT_TRUE(vakotest::SyslogMatches("netbkp_set_server_passwd NetBackupSetAuthUser({L}): SzSLIBSzListRemove() "
                                        "failed!! szOldName=rsync"));
}

// The "auth users" line is the first that begins with it, blanks before it
// allowed: found and replaced alike, its indentation kept.  A line that only
// holds the words elsewhere is no such line.
TEST_F(NetBackupSetServerPasswd, AuthUsersLineIsFoundAndReplacedAlike)
{
    const std::string secrets = kSecretsLine;
    struct Case {
        const char *what;
        const char *oldName, *newName;
        int op;
        std::string before, after;
    } cases[] = {
        {"add under blanks", nullptr, "root", NETBKP_PASSWD_ADD, "[backup]\n  auth users = rsync\n" + secrets,
         "[backup]\n  auth users = rsync,root\n" + secrets},
        {"add under a tab", nullptr, "root", NETBKP_PASSWD_ADD, "\tauth users = rsync\n" + secrets,
         "\tauth users = rsync,root\n" + secrets},
        {"change", "rsync", "admin", NETBKP_PASSWD_MODIFY, " \t auth users = rsync,other\n" + secrets,
         " \t auth users = root,other\n" + secrets},
        {"delete", "rsync", nullptr, NETBKP_PASSWD_DELETE, "    auth users = root,rsync\n" + secrets,
         "    auth users = root\n" + secrets},
        {"the words inside another line first", nullptr, "root", NETBKP_PASSWD_ADD,
         "comment = no auth users = here\n  auth users = rsync\n" + secrets,
         "comment = no auth users = here\n  auth users = rsync,root\n" + secrets},
        // None: one is appended at the end.
        {"the words only inside another line", nullptr, "root", NETBKP_PASSWD_ADD,
         "comment = no auth users = here\n" + secrets,
         "comment = no auth users = here\n" + secrets + "auth users = root\n"},
        {"a comment first", nullptr, "root", NETBKP_PASSWD_ADD, "  # auth users = old\n auth users = rsync\n" + secrets,
         "  # auth users = old\n auth users = rsync,root\n" + secrets},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(kConf, c.before);
        WriteFile(kSecrets, "rsync:R\n");
        vakotest::SyslogClear();
        EXPECT_EQ(VAKONetBackupSetServerPasswd(c.oldName, c.newName, c.newName ? "V" : nullptr, c.op), 0);
        EXPECT_EQ(ReadFile(kConf), c.after);
        EXPECT_FALSE(vakotest::SyslogMatches("netbkp_set_server_passwd NetBackupSetAuthUser({*}"));
    }
}

TEST_F(NetBackupSetServerPasswd, AddIgnoresLetterCaseOfListedNames)
{
    const std::string conf = std::string("auth users = root,RSYNC\n") + kSecretsLine;
    WriteFile(kConf, conf);
    WriteFile(kSecrets, "root:A\n");
    ASSERT_EQ(VAKONetBackupSetServerPasswd(nullptr, "rsync", "B", NETBKP_PASSWD_ADD), 0);
    EXPECT_EQ(ReadFile(kConf), conf);
    EXPECT_EQ(ReadFile(kSecrets), "root:A\nrsync:B\n");
}

TEST_F(NetBackupSetServerPasswd, EmptiedListGainsOnlyTheNewName)
{
    WriteFile(kConf, std::string("auth users =\n") + kSecretsLine);
    WriteFile(kSecrets, "");
    ASSERT_EQ(VAKONetBackupSetServerPasswd(nullptr, "root", "A", NETBKP_PASSWD_ADD), 0);
    EXPECT_EQ(ReadFile(kConf), std::string("auth users = root\n") + kSecretsLine);
    EXPECT_EQ(ReadFile(kSecrets), "root:A\n");
}

TEST_F(NetBackupSetServerPasswd, MissingLinesAreAdded)
{
    WriteFile(kConf, "uid = root"); // no line end either
    ASSERT_EQ(VAKONetBackupSetServerPasswd(nullptr, "root", "A", NETBKP_PASSWD_ADD), 0);
    EXPECT_EQ(ReadFile(kConf), std::string("uid = root\nauth users = root\n") + kSecretsLine);
    EXPECT_EQ(ReadFile(kSecrets), "root:A\n");
    ExpectSecretsProtected();

    // Deleting adds no "auth users" line.
    WriteFile(kConf, "uid = root\n");
    ASSERT_EQ(VAKONetBackupSetServerPasswd("root", nullptr, nullptr, NETBKP_PASSWD_DELETE), 0);
    EXPECT_EQ(ReadFile(kConf), std::string("uid = root\n") + kSecretsLine);
    EXPECT_EQ(ReadFile(kSecrets), "");
}

TEST_F(NetBackupSetServerPasswd, ChangeCreatesAMissingSecretsFile)
{
    WriteFile(kConf, std::string("auth users = rsync\n") + kSecretsLine);
    mode_t old = umask(0);
    ASSERT_EQ(VAKONetBackupSetServerPasswd("rsync", "rsync", "S", NETBKP_PASSWD_MODIFY), 0);
    umask(old);
    EXPECT_EQ(ReadFile(kSecrets), "rsync:S\n");
    ExpectSecretsProtected();
}

TEST_F(NetBackupSetServerPasswd, AddReplacesALeftoverLineOfTheName)
{
    WriteFile(kConf, std::string("auth users = root\n") + kSecretsLine);
    WriteFile(kSecrets, "rsync:OLD\nroot:A\n");
    ASSERT_EQ(VAKONetBackupSetServerPasswd(nullptr, "rsync", "NEW", NETBKP_PASSWD_ADD), 0);
    EXPECT_EQ(ReadFile(kSecrets), "rsync:NEW\nroot:A\n");
    EXPECT_EQ(Get("rsync"), "NEW");
}

TEST_F(NetBackupSetServerPasswd, LongNamesKeepTheirColon)
{
    const std::string name15 = "rsyncrsyncrsync", other = name15 + "X", name64(64, 'n');
    WriteFile(kConf, std::string("auth users = ") + other + "\n" + kSecretsLine);
    WriteFile(kSecrets, other + ":THEIRS\n");
    EXPECT_EQ(Get(name15.c_str()), "<-1>");
    ASSERT_EQ(VAKONetBackupSetServerPasswd(name15.c_str(), name15.c_str(), "MINE", NETBKP_PASSWD_MODIFY), 0);
    EXPECT_EQ(ReadFile(kSecrets), other + ":THEIRS\n" + name15 + ":MINE\n");
    ASSERT_EQ(VAKONetBackupSetServerPasswd(nullptr, name64.c_str(), "SIXTY-FOUR", NETBKP_PASSWD_ADD), 0);
    EXPECT_EQ(ReadFile(kSecrets), other + ":THEIRS\n" + name15 + ":MINE\n" + name64 + ":SIXTY-FOUR\n");
    EXPECT_EQ(ReadFile(kConf), "auth users = " + other + "," + name15 + "," + name64 + "\n" + kSecretsLine);
    EXPECT_EQ(Get(name15.c_str()), "MINE");
    EXPECT_EQ(Get(name64.c_str()), "SIXTY-FOUR");
    ASSERT_EQ(VAKONetBackupSetServerPasswd(name15.c_str(), nullptr, nullptr, NETBKP_PASSWD_DELETE), 0);
    EXPECT_EQ(ReadFile(kSecrets), other + ":THEIRS\n" + name64 + ":SIXTY-FOUR\n");
    EXPECT_EQ(Get(other.c_str()), "THEIRS");
}

TEST_F(NetBackupSetServerPasswd, RefusesBadArgumentsBeforeStopping)
{
    const std::string conf = std::string("auth users = root\n") + kSecretsLine, secrets = "root:A\n";
    const std::string longest(RSYNCD_SECRET_LINE_MAX - 5, 'v'), tooLong = longest + "v";
    struct Case {
        const char *oldName;
        const char *newName;
        const char *value;
        int op;
    } cases[] = {
        {nullptr, nullptr, "v", 1},     {nullptr, "rsync", nullptr, 1},
        {nullptr, "rsync", "v", 2},     {"rsync", nullptr, "v", 2},
        {"rsync", "rsync", nullptr, 2}, {nullptr, nullptr, nullptr, 3},
        {nullptr, "rsync", "v", 4},     {nullptr, "rsync", "v", 0},
        {nullptr, "", "v", 1},          {nullptr, "a:b", "v", 1},
        {nullptr, "a,b", "v", 1},       {nullptr, "a b", "v", 1},
        {nullptr, "a\nb", "v", 1},      {nullptr, "#a", "v", 1},
        {nullptr, ";a", "v", 1},        {nullptr, "rsync", "v\nx:y", 1},
        {nullptr, "rsync", "v\r", 1},   {"a:b", "rsync", "v", 2},
        {"a\n", nullptr, nullptr, 3},   {nullptr, "root", tooLong.c_str(), 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << (c.newName ? c.newName : "NULL") << " op " << c.op);
        WriteFile(kConf, conf);
        WriteFile(kSecrets, secrets);
        vakotest::SyslogClear();
        EXPECT_EQ(VAKONetBackupSetServerPasswd(c.oldName, c.newName, c.value, c.op), -1);
        EXPECT_TRUE(
            vakotest::SyslogMatches("netbkp_set_server_passwd VAKONetBackupSetServerPasswd({L}) : bad parameters"));
        EXPECT_EQ(Calls(), "");
        EXPECT_EQ(ReadFile(kConf), conf);
        EXPECT_EQ(ReadFile(kSecrets), secrets);
    }
    // The longest line the lookup reads: "root:" and 3084 characters.
    ASSERT_EQ(VAKONetBackupSetServerPasswd("admin", "admin", longest.c_str(), NETBKP_PASSWD_MODIFY), 0);
    EXPECT_EQ(ReadFile(kSecrets), "root:" + longest + "\n");
    EXPECT_EQ(Get("admin", 4000), longest);
}

TEST_F(NetBackupSetServerPasswd, ServiceScriptFailuresAreOnlyLogged)
{
    WriteFile(kConf, std::string("auth users = root\n") + kSecretsLine);
    WriteFile(kSecrets, "root:A\n");
    WriteFile("/.sandbox/S84rsyncd.sh.status", "1\n");
    vakotest::SyslogClear();
    ASSERT_EQ(VAKONetBackupSetServerPasswd("root", "root", "B", NETBKP_PASSWD_MODIFY), 0);
    EXPECT_EQ(ReadFile(kSecrets), "root:B\n");
    EXPECT_EQ(Calls(), kStopAndStart);
    EXPECT_TRUE(vakotest::SyslogMatches("netbkp_set_server_passwd VAKONetBackupSetServerPasswd({L}): failed to stop "
                                        "S84rsyncd.sh."));
    EXPECT_TRUE(vakotest::SyslogMatches("netbkp_set_server_passwd:{L}(VAKONetBackupSetServerPasswd): failed to start "
                                        "S84rsyncd.sh."));
}

TEST_F(NetBackupSetServerPasswd, OverlongAuthUsersLineStopsTheChange)
{
    // 128 characters cannot be read; a change that would pass 127 is refused.
    struct Case {
        std::string names;
        const char *added;
        const char *message;
    } cases[] = {
        {std::string(128 - 13, 'a'), "root",
         "NetBackupSetAuthUser({L}): SLIBFileGetLine(szStrFile=[/etc/rsyncd.conf], szKey=[auth users]) failed"},
        {std::string(127 - 13 - 5, 'a'), "rsync",
         "NetBackupSetAuthUser({L}): SLIBFileSetLine(szFile=[/etc/rsyncd.conf], szKey=[auth users]) failed"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.added);
        const std::string conf = "auth users = " + c.names + "\n" + kSecretsLine;
        WriteFile(kConf, conf);
        WriteFile(kSecrets, "x:X\n");
        vakotest::RemoveFile(kCalls);
        vakotest::SyslogClear();
        EXPECT_EQ(VAKONetBackupSetServerPasswd(nullptr, c.added, "V", NETBKP_PASSWD_ADD), -1);
        EXPECT_TRUE(vakotest::SyslogMatches(std::string("netbkp_set_server_passwd ") + c.message));
        EXPECT_EQ(ReadFile(kConf), conf);
        EXPECT_EQ(ReadFile(kSecrets), "x:X\n");
        EXPECT_EQ(Calls(), "S84rsyncd.sh stop\n"); // stays stopped
    }
    // One name short of the limit fits: 127 characters.
    WriteFile(kConf, "auth users = " + std::string(127 - 13 - 5, 'a') + "\n");
    ASSERT_EQ(VAKONetBackupSetServerPasswd(nullptr, "root", "V", NETBKP_PASSWD_ADD), 0);
    EXPECT_EQ(ReadFile(kConf), "auth users = " + std::string(127 - 13 - 5, 'a') + ",root\n" + kSecretsLine);
}

TEST_F(NetBackupSetServerPasswd, MissingConfigurationFails)
{
    vakotest::SyslogClear();
    EXPECT_EQ(VAKONetBackupSetServerPasswd(nullptr, "root", "V", NETBKP_PASSWD_ADD), -1);
    EXPECT_TRUE(vakotest::SyslogMatches("netbkp_set_server_passwd NetBackupSetAuthUser({L}): SLIBFileGetLine("
                                        "szStrFile=[/etc/rsyncd.conf], szKey=[auth users]) failed"));
    EXPECT_FALSE(FileExists(kConf));
    EXPECT_FALSE(FileExists(kSecrets));
    EXPECT_EQ(Calls(), "S84rsyncd.sh stop\n");
}

// ---- Reading, hashing, names ----

TEST(NetBackupGetServerPasswd, FindsTheLineOfTheNameOnly)
{
    WriteFile(kSecrets, "#root:COMMENT\n;rsync:COMMENT\nxroot:OTHER\nroot:A:B|c\nrsync\nrsync:LATER\n"
                        "admin:ADMIN\n");
    vakotest::SyslogClear();
    EXPECT_EQ(Get("root"), "A:B|c");
    EXPECT_EQ(Get("admin"), "A:B|c"); // "admin" reads root's line
    EXPECT_EQ(Get("Admin"), "<-1>");
    EXPECT_EQ(Get("oot"), "<-1>");
    EXPECT_EQ(Get(""), "<-1>");
    EXPECT_EQ(vakotest::SyslogCount("netbkp_get_server_passwd({L}):can not get rsync server password! "), 3);
    EXPECT_EQ(Get("rsync"), "<-1>"); // its first line has no ':'
    EXPECT_TRUE(vakotest::SyslogMatches("netbkp_get_server_passwd({L}): /etc/rsyncd.secrets format error! "));
    EXPECT_EQ(Get("xroot"), "OTHER");
}

TEST(NetBackupGetServerPasswd, ValueIsNeverCut)
{
    WriteFile(kSecrets, "root:12345\n");
    EXPECT_EQ(Get("root", 6), "12345");
    EXPECT_EQ(Get("root", 5), "<-1>");
    char out[4];
    EXPECT_EQ(VAKONetBackupGetServerPasswd(nullptr, out, 4), -1);
    EXPECT_EQ(VAKONetBackupGetServerPasswd("root", nullptr, 4), -1);
    EXPECT_EQ(VAKONetBackupGetServerPasswd("root", out, -1), -1);
    // A line longer than 3089 characters cannot be read.
    WriteFile(kSecrets, "root:" + std::string(RSYNCD_SECRET_LINE_MAX - 4, 'v') + "\n");
    EXPECT_EQ(Get("root", 4000), "<-1>");
    vakotest::RemoveFile(kSecrets);
    EXPECT_EQ(Get("root"), "<-1>");
}

TEST(NetBkpCryptPass, TraditionalCryptWithTheFixedSalt)
{
    char out[769];
    memset(out, 'Z', sizeof out);
    ASSERT_EQ(VAKONetBkpCryptPass("secret", out, sizeof out), 0);
    EXPECT_STREQ(out, "ryRJ0piakuR1k");
    for (size_t i = 14; i < sizeof out; i++)
        ASSERT_EQ(out[i], '\0') << i;
    ASSERT_EQ(VAKONetBkpCryptPass("admin pass", out, 14), 0);
    EXPECT_STREQ(out, "ryugv9Ca2W4iw");
    // A hash that does not fit is no hash.
    memset(out, 'Z', sizeof out);
    EXPECT_EQ(VAKONetBkpCryptPass("secret", out, 13), -1);
    for (int i = 0; i < 13; i++)
        EXPECT_EQ(out[i], '\0');
    EXPECT_EQ(VAKONetBkpCryptPass(nullptr, out, 14), -1);
    EXPECT_EQ(VAKONetBkpCryptPass("x", nullptr, 14), -1);
    EXPECT_EQ(VAKONetBkpCryptPass("x", out, -1), -1);
}

TEST(NetBkpCryptPass, FailedCryptFails)
{
    for (const char *result :
         {static_cast<const char *>(nullptr), "*0", "*", "", "ryRJ0piakuR1", "ryRJ0piakuR1kx", "*yRJ0piakuR1k"}) {
        SCOPED_TRACE(result ? result : "NULL");
        char out[32];
        memset(out, 'Z', sizeof out);
        vakotest::SyslogClear();
        vakotest::gCryptFails = true;
        vakotest::gCryptResult = result;
        EXPECT_EQ(VAKONetBkpCryptPass("secret", out, sizeof out), -1);
        vakotest::gCryptFails = false;
        for (char b : out)
            EXPECT_EQ(b, '\0');
        EXPECT_EQ(vakotest::SyslogCount("VAKONetBkpCryptPass({L}): crypt() failed!!"), 1);
    }
}

TEST(NetBkpIsReservedName, BackupAccountsInAnyCase)
{
    struct Case {
        const char *name;
        int reserved;
    } cases[] = {{"root", 1},  {"ROOT", 1},   {"admin", 1}, {"Admin", 1}, {"rsync", 1},
                 {"RSync", 1}, {"rsync1", 0}, {"roo", 0},   {"", 0},      {nullptr, 0}};
    for (const Case &c : cases)
        EXPECT_EQ(VAKONetBkpIsReservedName(c.name), c.reserved) << (c.name ? c.name : "NULL");
}

TEST(NetBackupDelSecret, RemovesTheFirstLineOfTheName)
{
    WriteFile(kSecrets, "rsyncX:1\nrsync:2\nrsync:3\n", 0600);
    ASSERT_EQ(NetBackupDelSecret("rsync"), 0);
    EXPECT_EQ(ReadFile(kSecrets), "rsyncX:1\nrsync:3\n");
    ExpectSecretsProtected();
    ASSERT_EQ(NetBackupDelSecret("absent"), 0);
    EXPECT_EQ(ReadFile(kSecrets), "rsyncX:1\nrsync:3\n");
    EXPECT_EQ(NetBackupDelSecret(nullptr), -1);

    vakotest::RemoveFile(kSecrets);
    vakotest::SyslogClear();
    EXPECT_EQ(NetBackupDelSecret("rsync"), -1);
    EXPECT_TRUE(vakotest::SyslogMatches("netbkp_del_secret NetBackupDelSecret({L}): stat(/etc/rsyncd.secrets) failed! "
                                        "error_code[2]=[No such file or directory]\n"));
}

} // namespace
