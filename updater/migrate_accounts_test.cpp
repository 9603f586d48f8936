#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "migrate.h"
#include "slib/conf_read.h"
#include "slib/error.h"
#include "vakotest/accounts.h"
#include "vakotest/eventlog.h"
#include "vakotest/files.h"
#include "vakotest/fsyncfault.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"

namespace {

namespace evlog = vakotest::evlog;
using vakotest::AccountFiles;
using vakotest::FileExists;
using vakotest::GroupFiles;
using vakotest::ReadFile;
using vakotest::WriteFile;

using vakotest::kMailKeys;
constexpr char kEventLog[] = "/var/log/vakosys.log";

// root, admin, the guest and one user, in uid order as a dump writes them.
AccountFiles Accounts()
{
    return {
        "root:x:0:0:root:/root:/bin/sh\n"
        "admin:x:1024:100:System default user:/var/services/homes/admin:/bin/sh\n"
        "guest:x:1025:100:Guest:/nonexist:/sbin/nologin\n"
        "alice:x:1026:100:Alice:/var/services/homes/alice:/bin/sh\n",
        "root:$1$Rt$Ea9sRo/vB1WnRWhGbeBQd1:15000:0:99999:7:::\n"
        "admin:$1$Ad$0.1Vy4C2TzX9HskzOZ2gi/:15000:0:99999:7:::\n"
        "guest:!:15000:0:99999:7:::\n"
        "alice:$1$xy$GSi9DZ/itmn9/ge6aijPn/:15000:0:99999:7:::\n",
        "#$_@UID__INDEX@_$1026$\n"
        "# record user misc, format \"user_name:user_privilege:user_mail\"\n"
        "root:0:\n"
        "admin:5:\n"
        "guest:0:\n"
        "alice:0:\n",
        "root:0:AAD3B435B51404EEAAD3B435B51404EE:31D6CFE0D16AE931B73C59D7E0C089C0:[U          ]:LCT-5F5E1000:\n"
        "admin:1024:E52CAC67419A9A224A3B108F3FA6CB6D:8846F7EAEE8FB117AD06BDD830B7586C:[U          ]:LCT-5F5E1000:\n"
        "guest:1025:AAD3B435B51404EEAAD3B435B51404EE:31D6CFE0D16AE931B73C59D7E0C089C0:[U          ]:LCT-5F5E1000:\n"
        "alice:1026:E52CAC67419A9A224A3B108F3FA6CB6D:8846F7EAEE8FB117AD06BDD830B7586C:[U          ]:LCT-5F5E1000:\n",
    };
}

GroupFiles Groups()
{
    return {"#$_@GID__INDEX@_$65536$\nroot:x:0:\nusers:x:100:\nstaff:x:65536:alice\n", "users:All local users\n"};
}

// The lines the FTP step adds in front of the account files.
const std::string kFtpGroupLine = "ftp:x:21:nobody,ftp,nobody\n";
const std::string kFtpPasswd = "ftp:x:21:21:Anonymous FTP User:/nonexist:/sbin/nologin\n";
const std::string kFtpShadow = "ftp:*:10933:0:99999:7:::\n";
const std::string kAnonymousPasswd = "anonymous:x:21:21:Anonymous FTP User:/nonexist:/sbin/nologin\n";
const std::string kAnonymousShadow = "anonymous:*:10933:0:99999:7:::\n";

class AccountsMigration : public testing::Test {
protected:
    void SetUp() override
    {
        vakotest::WriteAccountFiles(Accounts());
        vakotest::WriteGroupFiles(Groups());
        WriteFile(vakotest::kInfoFile, "hostname=\"nas\"\n");
        vakotest::SyslogClear();
    }
};

void ExpectMessages(const std::vector<std::string> &patterns)
{
    EXPECT_EQ(vakotest::SyslogMismatch("updater", patterns), "");
}

std::vector<evlog::Rec> Events()
{
    return FileExists(kEventLog) ? evlog::Live(ReadFile(kEventLog)) : std::vector<evlog::Rec>{};
}

// No temporary file of the rewrite is left beside the file.
bool NoTempFiles(const std::string &base)
{
    for (const std::string &f : vakotest::ListDir("/etc"))
        if (f.starts_with(base + "."))
            return false;
    return true;
}

// ---- step 3: FTP group and accounts ----

TEST_F(AccountsMigration, FtpNamesAreAddedInFrontWhenMissing)
{
    EXPECT_EQ(UPDTAddFTPAccounts(), 0);
    AccountFiles a = Accounts();
    EXPECT_EQ(ReadFile(vakotest::kGroupFile), kFtpGroupLine + Groups().group);
    EXPECT_EQ(ReadFile(vakotest::kPasswdFile), kFtpPasswd + kAnonymousPasswd + a.passwd);
    EXPECT_EQ(ReadFile(vakotest::kShadowFile), kFtpShadow + kAnonymousShadow + a.shadow);
    EXPECT_EQ(vakotest::FileMode(vakotest::kShadowFile), 0600u);
    EXPECT_EQ(vakotest::FileMode(vakotest::kPasswdFile), 0644u);
    ExpectMessages({});

    // Run again: everything is there, nothing changes.
    EXPECT_EQ(UPDTAddFTPAccounts(), 0);
    EXPECT_EQ(ReadFile(vakotest::kPasswdFile), kFtpPasswd + kAnonymousPasswd + a.passwd);
    EXPECT_EQ(ReadFile(vakotest::kGroupFile), kFtpGroupLine + Groups().group);
    EXPECT_TRUE(Events().empty());
}

TEST_F(AccountsMigration, SystemFtpNamesAreLeftAlone)
{
    AccountFiles a = Accounts();
    a.passwd = kFtpPasswd + a.passwd + "anonymous:x:1024:100::/nonexist:/sbin/nologin\n";
    a.shadow = kFtpShadow + a.shadow + kAnonymousShadow;
    vakotest::WriteAccountFiles(a);
    // A group "ftp" whose gid is the system's range keeps its name.
    GroupFiles g = Groups();
    g.group += "ftp:x:100:\n";
    vakotest::WriteGroupFiles(g);
    EXPECT_EQ(RenameConflictUser("ftp"), 0);
    EXPECT_EQ(RenameConflictUser("nobody-here"), 0);
    EXPECT_EQ(UPDTAddFTPAccounts(), 0);
    EXPECT_EQ(vakotest::ReadAccountFiles(), a);
    EXPECT_EQ(vakotest::ReadGroupFiles(), g);
    ExpectMessages({});
}

TEST_F(AccountsMigration, AUserFtpAccountGetsACopyUnderTheFirstFreeName)
{
    AccountFiles a = Accounts();
    a.passwd += "ftp:x:1030:100:FTP fan:/var/services/homes/ftp:/bin/sh\n"
                "ftp1:x:1031:100::/var/services/homes/ftp1:/bin/sh\n";
    a.shadow += "ftp:$1$Ft$k0zTvJbDuLFMUE3qVDTZS/:15000:0:99999:7::20000:\n"
                "ftp1:$1$F1$k0zTvJbDuLFMUE3qVDTZS/:15000:0:99999:7:::\n";
    a.vakouserConf += "ftp:0:\nftp1:0:\n";
    a.smbpasswd +=
        "ftp:1030:0123456789ABCDEF0123456789ABCDEF:FEDCBA9876543210FEDCBA9876543210:[U          ]:LCT-5F5E1000:\n"
        "ftp1:1031:E52CAC67419A9A224A3B108F3FA6CB6D:8846F7EAEE8FB117AD06BDD830B7586C:[U          ]:LCT-5F5E1000:\n";
    vakotest::WriteAccountFiles(a);

    EXPECT_EQ(UPDTAddFTPAccounts(), 0);

    // ftp2 (ftp1 is taken) with the next uid, group 100, ftp's description,
    // expiry, password hash and SMB hashes; "ftp" itself stays, so only
    // the "anonymous" lines are added.
    AccountFiles now = vakotest::ReadAccountFiles();
    EXPECT_EQ(now.passwd, kAnonymousPasswd + "root:x:0:0:root:/root:/bin/sh\n"
                                             "admin:x:1024:100:System default user:/var/services/homes/admin:/bin/sh\n"
                                             "guest:x:1025:100:Guest:/nonexist:/sbin/nologin\n"
                                             "alice:x:1026:100:Alice:/var/services/homes/alice:/bin/sh\n"
                                             "ftp2:x:1027:100:FTP fan::\n"
                                             "ftp:x:1030:100:FTP fan:/var/services/homes/ftp:/bin/sh\n"
                                             "ftp1:x:1031:100::/var/services/homes/ftp1:/bin/sh\n");
    EXPECT_TRUE(vakotest::LogPatternMatches(kAnonymousShadow +
                                                "root:{*}\nalice:{*}\n"
                                                "ftp2:$1$Ft$k0zTvJbDuLFMUE3qVDTZS/:{*}:0:99999:7::20000:\n"
                                                "ftp:$1$Ft$k0zTvJbDuLFMUE3qVDTZS/:15000:0:99999:7::20000:\n"
                                                "ftp1:{*}\n",
                                            now.shadow))
        << now.shadow;
    EXPECT_TRUE(vakotest::LogPatternMatches(
        "{*}\nftp2:1027:0123456789ABCDEF0123456789ABCDEF:FEDCBA9876543210FEDCBA9876543210:[U          ]:LCT-{*}:\n"
        "ftp:1030:{*}",
        now.smbpasswd))
        << now.smbpasswd;
    EXPECT_EQ(ReadFile(vakotest::kGroupFile).substr(0, kFtpGroupLine.size()), kFtpGroupLine);
    std::vector<evlog::Rec> events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event, 0x11800e02u);
    EXPECT_EQ(events[0].level, 1);
    EXPECT_EQ(events[0].s[0], "ftp");
    EXPECT_EQ(events[0].s[1], "ftp2");
    EXPECT_EQ(events[0].s[2], " ");
    EXPECT_EQ(events[0].s[3], " ");
    ExpectMessages({});
}

TEST_F(AccountsMigration, AUserFtpGroupIsCopiedUnderAFreeName)
{
    GroupFiles g = Groups();
    g.group += "ftp:x:70000:alice\nftp1:x:70001:\n";
    vakotest::WriteGroupFiles(g);
    EXPECT_EQ(UPDTAddFTPAccounts(), 0);
    EXPECT_EQ(ReadFile(vakotest::kGroupFile),
              "#$_@GID__INDEX@_$65536$\nroot:x:0:\nusers:x:100:\nstaff:x:65536:alice\nftp:x:70000:alice\n"
              "ftp2:x:70000:alice\nftp1:x:70001:\n");
    std::vector<evlog::Rec> events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event, 0x11800602u);
    EXPECT_EQ(events[0].s[0], "ftp");
    EXPECT_EQ(events[0].s[1], "ftp2");
    // The group "ftp" stays: no system group line is added.
    EXPECT_EQ(ReadFile(vakotest::kPasswdFile), kFtpPasswd + kAnonymousPasswd + Accounts().passwd);
}

TEST_F(AccountsMigration, EveryCopyNameTakenFailsTheStepAndTheUpdate)
{
    AccountFiles a = Accounts();
    a.passwd += "anonymous:x:1030:100::/:/bin/sh\n";
    for (int n = 1; n <= 127; n++)
        a.passwd += "anonymous" + std::to_string(n) + ":x:" + std::to_string(2000 + n) + ":100::/:/bin/sh\n";
    vakotest::WriteAccountFiles(a);
    EXPECT_EQ(RenameConflictUser("anonymous"), -1);
    ExpectMessages({});

    gfAddFTPAccounts = 1;
    EXPECT_EQ(UPDTUpdateConfig(), -1);
    gfAddFTPAccounts = 0;
    EXPECT_TRUE(vakotest::SyslogMatches("updater ({L}) Failed to add ftp user/group."));
    EXPECT_EQ(vakotest::ReadAccountFiles(), a);
}

TEST_F(AccountsMigration, FailuresOfTheFtpStep)
{
    struct Case {
        const char *what;
        const char *directory; // an account file made a directory
        std::vector<std::string> messages;
        std::string passwd; // afterwards
    } cases[] = {
        // The file lookups must not take an unreadable file for a missing name.
        {"passwd unreadable",
         vakotest::kPasswdFile,
         {"updater:{L} read /etc/passwd failed. errno:21, message:Is a directory",
          "updater ({L}) Failed to add ftp user/group."},
         "<dir>"},
        {"shadow cannot take the line",
         vakotest::kShadowFile,
         {"updater ({L}) Failed to SLIBFileAddLine in to /etc/shadow.", "updater ({L}) Failed to add ftp user/group."},
         kAnonymousPasswd + Accounts().passwd},
        {"group unreadable",
         vakotest::kGroupFile,
         {"updater:{L} read /etc/group failed. errno:21, message:Is a directory",
          "updater ({L}) Failed to add ftp user/group."},
         Accounts().passwd},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        vakotest::RemoveFile(c.directory);
        vakotest::MakeDirs(std::string(c.directory) + "/sub");
        EXPECT_EQ(UPDTAddFTPAccounts(), -1);
        ExpectMessages(c.messages);
        if (c.directory != vakotest::kPasswdFile) {
            EXPECT_EQ(ReadFile(vakotest::kPasswdFile), c.passwd);
        }
        rmdir((std::string(c.directory) + "/sub").c_str());
        rmdir(c.directory);
    }
}

// ---- step 11: home directories ----

TEST_F(AccountsMigration, HomesOfUsersMoveUnderTheHomesFolder)
{
    const std::string longGecos(5000, 'g');
    WriteFile(vakotest::kPasswdFile,
              "root:x:0:0:root:/root:/bin/sh\n"
              "# kept as it stands\n"
              "admin:x:1024:100:System default user:/home/admin:/bin/sh\n"
              "guest:x:1025:100:Guest:/nonexist:/sbin/nologin\n"
              "CORP\\bob:x:-1:-1:::\n"
              "alice:x:1026:100:" +
                  longGecos +
                  ":/home/alice:/bin/sh\n"
                  "nobody:x:4294967294:65534::/nonexistent:/bin/false\n"
                  "odd line without fields\n"
                  "carol:x:3000:100::/home/carol:/bin/sh",
              0600);
    vakotest::gFsyncModes.clear();
    EXPECT_EQ(UPDTRewritePasswdHomes(), 0);
    EXPECT_EQ(ReadFile(vakotest::kPasswdFile),
              "root:x:0:0:root:/root:/bin/sh\n"
              "# kept as it stands\n"
              "admin:x:1024:100:System default user:/var/services/homes/admin:/bin/sh\n"
              "guest:x:1025:100:Guest:/nonexist:/sbin/nologin\n"
              "alice:x:1026:100:" +
                  longGecos +
                  ":/var/services/homes/alice:/bin/sh\n"
                  "nobody:x:4294967294:65534::/var/services/homes/nobody:/bin/false\n"
                  "odd line without fields\n"
                  "carol:x:3000:100::/var/services/homes/carol:/bin/sh\n");
    EXPECT_EQ(vakotest::FileMode(vakotest::kPasswdFile), 0644u);
    // Readable by root alone until complete.
    EXPECT_EQ(vakotest::gFsyncModes, std::vector<unsigned>{0600});
    EXPECT_TRUE(NoTempFiles("passwd"));
    ExpectMessages({});
}

TEST_F(AccountsMigration, AHomeThatDoesNotFitStaysAsItIs)
{
    const std::string name(4080, 'n');
    const std::string passwd = "root:x:0:0:root:/root:/bin/sh\n" + name + ":x:2000:100::/home/x:/bin/sh\n";
    WriteFile(vakotest::kPasswdFile, passwd);
    EXPECT_EQ(UPDTRewritePasswdHomes(), 0);
    EXPECT_EQ(ReadFile(vakotest::kPasswdFile), passwd);
    ExpectMessages({"updater:{L} home of [" + name + "] does not fit, left as it is."});
}

TEST_F(AccountsMigration, AFailedPasswdRewriteKeepsTheOldFile)
{
    vakotest::gFsyncFailAt = vakotest::gFsyncCalls + 1;
    EXPECT_EQ(UPDTRewritePasswdHomes(), -1);
    vakotest::gFsyncFailAt = 0;
    EXPECT_EQ(vakotest::ReadAccountFiles(), Accounts());
    EXPECT_TRUE(NoTempFiles("passwd"));
    ExpectMessages({"updater:{L} fsync failed. errno:5, message:Input/output error",
                    "updater({L}) Rewrite /etc/passwd user home failed."});

    // A passwd that cannot be read is not replaced by what could be read.
    vakotest::SyslogClear();
    vakotest::RemoveFile(vakotest::kPasswdFile);
    vakotest::MakeDirs(std::string(vakotest::kPasswdFile) + "/sub");
    EXPECT_EQ(UPDTRewritePasswdHomes(), -1);
    EXPECT_TRUE(vakotest::IsDirectory(vakotest::kPasswdFile));
    EXPECT_TRUE(NoTempFiles("passwd"));
    ExpectMessages({"updater:{L} read /etc/passwd failed. errno:21, message:Is a directory",
                    "updater({L}) Rewrite /etc/passwd user home failed."});
}

// ---- step 12: /etc/vakouser.conf ----

TEST_F(AccountsMigration, UserConfHoldsALineForEachUser)
{
    AccountFiles a = Accounts();
    a.passwd += "bob:x:1027:100::/var/services/homes/bob:/bin/sh\n";
    a.shadow += "bob:$1$Bb$5lG8yGdLMGwHzHpyKyQ7B.:15001:0:99999:7:::\n";
    vakotest::WriteAccountFiles(a);
    vakotest::SetMtime(vakotest::kVakoUserConf, vakotest::kAccountsMtime);
    WriteFile(kMailKeys, "alice=\"alice@example.com\"\nbob=\"" + std::string(1100, 'b') + "\"\n");
    struct Case {
        const char *info; // /etc/vakoinfo.conf
        const char *priv;
    } cases[] = {{"download_enabled=\"yes\"\n", "11"}, {"download_enabled=\"Yes\"\n", "3"}, {"", "3"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.info);
        WriteFile(vakotest::kInfoFile, c.info);
        vakotest::SyslogClear();
        vakotest::gFsyncModes.clear();
        EXPECT_EQ(UPDTCreateUserConf(), 0);
        // The guest and the accounts below it get no line; a mail text that
        // does not fit is left out, never cut.
        EXPECT_EQ(ReadFile(vakotest::kVakoUserConf),
                  std::string("alice:") + c.priv + ":alice@example.com\nbob:" + c.priv + ":\n");
        EXPECT_EQ(vakotest::FileMode(vakotest::kVakoUserConf), 0644u);
        EXPECT_EQ(vakotest::gFsyncModes, std::vector<unsigned>{0600});
        ExpectMessages({"updater:{L} SLIBFileGetKeyValue failed. vakoerr=[0x0100]"});
    }
    // Without the mail key file, every user's read fails: empty mail texts.
    vakotest::RemoveFile(kMailKeys);
    vakotest::SyslogClear();
    EXPECT_EQ(UPDTCreateUserConf(), 0);
    EXPECT_EQ(ReadFile(vakotest::kVakoUserConf), "alice:3:\nbob:3:\n");
    ExpectMessages({"updater:{L} SLIBFileGetKeyValue failed. vakoerr=[0x0900]",
                    "updater:{L} SLIBFileGetKeyValue failed. vakoerr=[0x0900]"});
}

// The mail key file is read once for all users; every user's mail text must
// still be what the key reader gives for that user's key, odd lines and all.
class UserConfMail : public AccountsMigration {
protected:
    void SetUp() override
    {
        AccountsMigration::SetUp();
        AccountFiles a = Accounts();
        for (const char *u : {"bob:1027", "carol:1028", "dave:1029"}) {
            std::string name(u, strchr(u, ':'));
            a.passwd += name + ":x:" + (strchr(u, ':') + 1) + ":100::/var/services/homes/" + name + ":/bin/sh\n";
            a.shadow += name + ":$1$Bb$5lG8yGdLMGwHzHpyKyQ7B.:15001:0:99999:7:::\n";
        }
        vakotest::WriteAccountFiles(a);
        WriteFile(vakotest::kInfoFile, "download_enabled=\"yes\"\n");
    }

    // The file the step should write, each user's mail text read by the key
    // reader on its own, and the messages of the reads that fail.
    static std::string PerKeyRead(std::vector<std::string> *pMessages)
    {
        std::string conf;
        for (const char *name : {"alice", "bob", "carol", "dave"}) {
            char mail[1024] = "";
            int r = SLIBFileGetKeyValue(kMailKeys, name, mail, sizeof mail, 0);
            if (r < 0) {
                char msg[96];
                snprintf(msg, sizeof msg, "updater:{L} SLIBFileGetKeyValue failed. vakoerr=[0x%04X]", SLIBErrorGet());
                pMessages->push_back(msg);
            }
            conf += std::string(name) + ":11:" + (r > 0 ? mail : "") + "\n";
        }
        return conf;
    }

    void ExpectStepGivesPerKeyRead(const std::string &expected)
    {
        std::vector<std::string> messages;
        std::string perKey = PerKeyRead(&messages);
        EXPECT_EQ(perKey, expected); // the case says what the reader gives
        vakotest::SyslogClear();
        EXPECT_EQ(UPDTCreateUserConf(), 0);
        EXPECT_EQ(ReadFile(vakotest::kVakoUserConf), perKey);
        ExpectMessages(messages);
    }
};

TEST_F(UserConfMail, EachUserGetsWhatTheKeyReaderGives)
{
    const std::string big(1100, 'm'), fits(1023, 'f'), over(1024, 'o');
    struct Case {
        const char *what;
        std::string mail;     // /etc/mail
        std::string expected; // /etc/vakouser.conf
    } cases[] = {
        {"duplicate keys: the first line wins", "alice=first\nbob=b\nalice=second\n",
         "alice:11:first\nbob:11:b\ncarol:11:\ndave:11:\n"},
        {"a first line without a value hides a later one", "alice=\nalice=x\nbob\nbob=y\ncarol= \ndave=\"\"\n",
         "alice:11:\nbob:11:\ncarol:11:\ndave:11:\n"},
        {"quotes around keys and values", "alice=\"a@x\"\n \"bob\" = \" b@x \" \ncarol=\"c@x\ndave=d\"@x\"\n",
         "alice:11:a@x\nbob:11: b@x \ncarol:11:\"c@x\ndave:11:d\"@x\"\n"},
        {"comments", "#alice=x\n;bob=y\n #carol=z\ncarol=c\ndave=d # no comment\n",
         "alice:11:\nbob:11:\ncarol:11:c\ndave:11:d # no comment\n"},
        {"CRLF line ends", "alice=a@x\r\nbob\r\nbob=b\r\ncarol=\r\ncarol=c\r\ndave=\"d\"\r\n",
         "alice:11:a@x\nbob:11:\ncarol:11:\ndave:11:d\n"},
        {"NUL bytes end a line", std::string("alice=a\0b\nbob\0=x\nbob=y\n\0carol=z\ncarol=c\n", 40),
         "alice:11:a\nbob:11:\ncarol:11:c\ndave:11:\n"},
        {"separators", "=alice=v\nbob=a=b\n\tcarol\t=\tc\t\ndave==d\n",
         "alice:11:v\nbob:11:a=b\ncarol:11:c\ndave:11:=d\n"},
        {"names that only begin or end alike", "alicex=1\nalic=2\nxbob=3\nbo b=4\n",
         "alice:11:\nbob:11:\ncarol:11:\ndave:11:\n"},
        {"a last line without a line feed", "alice=a\ndave=d", "alice:11:a\nbob:11:\ncarol:11:\ndave:11:d\n"},
        {"values that do or do not fit the reader's buffer",
         "alice=" + big + "\nbob=" + fits + "\ncarol=" + over + "\n",
         "alice:11:\nbob:11:" + fits + "\ncarol:11:\ndave:11:\n"},
        {"an empty file", "", "alice:11:\nbob:11:\ncarol:11:\ndave:11:\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(kMailKeys, c.mail);
        ExpectStepGivesPerKeyRead(c.expected);
    }
}

// A mail key file that the reader cannot read as a file is read, and
// reported, user by user as the reader does.
TEST_F(UserConfMail, AMailFileThatIsNoFileIsReadUserByUser)
{
    const std::string none = "alice:11:\nbob:11:\ncarol:11:\ndave:11:\n";
    vakotest::RemoveFile(kMailKeys);
    ExpectStepGivesPerKeyRead(none);
    EXPECT_EQ(vakotest::SyslogCount("updater:{L} SLIBFileGetKeyValue failed. vakoerr=[0x0900]"), 4);
    ASSERT_EQ(mkfifo(kMailKeys, 0644), 0);
    ExpectStepGivesPerKeyRead(none);
    EXPECT_EQ(vakotest::SyslogCount("updater:{L} SLIBFileGetKeyValue failed. vakoerr=[0x0900]"), 4);
    vakotest::RemoveFile(kMailKeys);
    vakotest::MakeDirs(kMailKeys);
    ExpectStepGivesPerKeyRead(none);
}

TEST_F(AccountsMigration, AUserConfThatCannotBeMadeKeepsTheOldOne)
{
    const std::string old = "old:0:\n";
    WriteFile(vakotest::kVakoUserConf, old, 0600);
    // The accounts cannot be listed.
    vakotest::RemoveFile(vakotest::kPasswdFile);
    vakotest::MakeDirs(std::string(vakotest::kPasswdFile) + "/sub");
    EXPECT_EQ(UPDTCreateUserConf(), -1);
    EXPECT_EQ(ReadFile(vakotest::kVakoUserConf), old);
    EXPECT_EQ(vakotest::FileMode(vakotest::kVakoUserConf), 0644u);
    EXPECT_TRUE(NoTempFiles("vakouser.conf"));
    ExpectMessages(
        {"updater:{L} VAKOLocalUserInfoEnum failed. vakoerr=[0x{*}]", "updater({L}) Create /etc/vakouser failed."});

    rmdir((std::string(vakotest::kPasswdFile) + "/sub").c_str());
    rmdir(vakotest::kPasswdFile);
    SetUp();
    WriteFile(vakotest::kVakoUserConf, old);
    WriteFile(kMailKeys, "");
    vakotest::gFsyncFailAt = vakotest::gFsyncCalls + 1;
    EXPECT_EQ(UPDTCreateUserConf(), -1);
    vakotest::gFsyncFailAt = 0;
    EXPECT_EQ(ReadFile(vakotest::kVakoUserConf), old);
    EXPECT_TRUE(NoTempFiles("vakouser.conf"));
    ExpectMessages(
        {"updater:{L} fsync failed. errno:5, message:Input/output error", "updater({L}) Create /etc/vakouser failed."});
}

// ---- step 13: mail services ----

TEST_F(AccountsMigration, MailGroupsAndAccountsAreAddedWhenMissing)
{
    AccountFiles a = Accounts();
    GroupFiles g = Groups();
    g.group += "maildrop:x:126:\n";
    vakotest::WriteGroupFiles(g);
    vakotest::RemoveFile(vakotest::kShadowFile);
    EXPECT_EQ(UPDTAddMailUsers(), 0);
    EXPECT_EQ(ReadFile(vakotest::kGroupFile), "dovecot:x:143:dovecot\npostfix:x:125:postfix\n" + g.group);
    EXPECT_EQ(ReadFile(vakotest::kPasswdFile), "dovecot:x:143:143:Dovecot User:/nonexist:/sbin/nologin\n"
                                               "postfix:x:125:125:Postfix User:/nonexist:/sbin/nologin\n" +
                                                   a.passwd);
    // A shadow file made here is root's alone.
    EXPECT_EQ(ReadFile(vakotest::kShadowFile), "dovecot:*:10933:0:99999:7:::\npostfix:*:10933:0:99999:7:::\n");
    EXPECT_EQ(vakotest::FileMode(vakotest::kShadowFile), 0600u);
    ExpectMessages({});
}

TEST_F(AccountsMigration, TheFirstFailedMailAdditionEndsTheStep)
{
    vakotest::RemoveFile(vakotest::kShadowFile);
    vakotest::MakeDirs(std::string(vakotest::kShadowFile) + "/sub");
    EXPECT_EQ(UPDTAddMailUsers(), -1);
    ExpectMessages(
        {"updater:{L} Failed to SLIBFileAddLine in to /etc/shadow.", "updater({L}) Create mailvane users failed."});
    // The groups and the first passwd line stay; dovecot is not reached.
    EXPECT_EQ(ReadFile(vakotest::kGroupFile),
              "dovecot:x:143:dovecot\nmaildrop:x:126:\npostfix:x:125:postfix\n" + Groups().group);
    EXPECT_EQ(ReadFile(vakotest::kPasswdFile),
              "postfix:x:125:125:Postfix User:/nonexist:/sbin/nologin\n" + Accounts().passwd);
}

} // namespace
