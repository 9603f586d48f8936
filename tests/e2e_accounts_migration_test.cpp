// The accounts and groups steps of the configuration update, end to end:
// updates from installed builds whose migration flags ask for all of them,
// for some, and for none.  They run the second flash road, which has no
// pre-patch migrations and no photo and media database steps (the normal
// road runs those for such builds too).
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "vakotest/accounts.h"
#include "vakotest/chips.h"
#include "vakotest/eventlog.h"
#include "vakotest/files.h"
#include "vakotest/fixture.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/pattern.h"
#include "vakotest/run.h"

namespace {

using vakotest::ReadFile;

constexpr char kMailKeys[] = "/etc/mail";
constexpr char kEventLog[] = "/var/log/vakosys.log";

// The installed accounts: a user-made account "ftp", homes of an older layout.
const vakotest::AccountFiles kAccounts = {
    "root:x:0:0:root:/root:/bin/sh\n"
    "admin:x:1024:100:System default user:/home/admin:/bin/sh\n"
    "guest:x:1025:100:Guest:/nonexist:/sbin/nologin\n"
    "alice:x:1026:100:Alice:/home/alice:/bin/sh\n"
    "ftp:x:1030:100:FTP fan:/home/ftp:/bin/sh\n",
    "root:$1$Rt$Ea9sRo/vB1WnRWhGbeBQd1:15000:0:99999:7:::\n"
    "admin:$1$Ad$0.1Vy4C2TzX9HskzOZ2gi/:15000:0:99999:7:::\n"
    "guest:!:15000:0:99999:7:::\n"
    "alice:$1$xy$GSi9DZ/itmn9/ge6aijPn/:15000:0:99999:7:::\n"
    "ftp:$1$Ft$k0zTvJbDuLFMUE3qVDTZS/:15000:0:99999:7::20000:\n",
    "#$_@UID__INDEX@_$1030$\n"
    "# record user misc, format \"user_name:user_privilege:user_mail\"\n"
    "admin:5:\n"
    "alice:0:\n"
    "ftp:0:\n",
    "admin:1024:E52CAC67419A9A224A3B108F3FA6CB6D:8846F7EAEE8FB117AD06BDD830B7586C:[U          ]:LCT-5F5E1000:\n"
    "guest:1025:AAD3B435B51404EEAAD3B435B51404EE:31D6CFE0D16AE931B73C59D7E0C089C0:[U          ]:LCT-5F5E1000:\n"
    "alice:1026:E52CAC67419A9A224A3B108F3FA6CB6D:8846F7EAEE8FB117AD06BDD830B7586C:[U          ]:LCT-5F5E1000:\n"
    "ftp:1030:0123456789ABCDEF0123456789ABCDEF:FEDCBA9876543210FEDCBA9876543210:[U          ]:LCT-5F5E1000:\n",
};
const vakotest::GroupFiles kGroups = {"#$_@GID__INDEX@_$65536$\nroot:x:0:\nusers:x:100:\nstaff:x:65536:alice\n",
                                      "users:All local users\n"};

// What the steps add or write.
const std::string kMailGroupLines = "dovecot:x:143:dovecot\nmaildrop:x:126:\npostfix:x:125:postfix\n";
const std::string kMailPasswdLines = "dovecot:x:143:143:Dovecot User:/nonexist:/sbin/nologin\n"
                                     "postfix:x:125:125:Postfix User:/nonexist:/sbin/nologin\n";
const std::string kMailShadowLines = "dovecot:*:10933:0:99999:7:::\npostfix:*:10933:0:99999:7:::\n";
const std::string kHomesMoved = "root:x:0:0:root:/root:/bin/sh\n"
                                "admin:x:1024:100:System default user:/var/services/homes/admin:/bin/sh\n"
                                "guest:x:1025:100:Guest:/nonexist:/sbin/nologin\n"
                                "alice:x:1026:100:Alice:/var/services/homes/alice:/bin/sh\n";
const std::string kUserConf = "alice:11:alice@example.com\nftp:11:\n";

struct Row {
    const char *name;
    const char *build;
    std::string passwd, shadow, group, vakouserConf, smbpasswd; // shadow, smbpasswd: log patterns
    std::vector<uint32_t> events;
};

void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

std::vector<uint32_t> Events()
{
    std::vector<uint32_t> ids;
    if (vakotest::FileExists(kEventLog))
        for (const vakotest::evlog::Rec &r : vakotest::evlog::Live(ReadFile(kEventLog)))
            ids.push_back(r.event);
    return ids;
}

class AccountsMigrationUpdate : public testing::TestWithParam<Row> {};

TEST_P(AccountsMigrationUpdate, AccountFilesAfterTheUpdate)
{
    const Row &row = GetParam();
    vakotest::Appliance appliance;
    appliance.version.Set("buildnumber", row.build);
    appliance.flash = vakotest::SecondRoadFlash(vakotest::kNormalUnits, {1});
    appliance.info = vakotest::Keys{{"hostname", "nas"}, {"download_enabled", "yes"}};
    appliance.files[kMailKeys] = "alice=\"alice@example.com\"\n";
    vakotest::Install(appliance);
    vakotest::WriteAccountFiles(kAccounts);
    vakotest::WriteGroupFiles(kGroups);
    vakotest::Package package;
    package.images["zImage"] = vakotest::Pattern(100 * vakotest::kUnit + 3, 43);
    vakotest::Install(package);
    vakotest::SyslogClear();

    // Installed builds up to 350 ask for a fresh boot: the clock starts at 10 s.
    vakotest::RunResult result = vakotest::Run({package.UpdaterPath()}, {.cwd = "/", .uptime = 10});

    ASSERT_EQ(result.status, 0) << result.err;
    vakotest::AccountFiles now = vakotest::ReadAccountFiles();
    EXPECT_EQ(now.passwd, row.passwd);
    EXPECT_TRUE(vakotest::LogPatternMatches(row.shadow, now.shadow)) << now.shadow;
    EXPECT_EQ(now.vakouserConf, row.vakouserConf);
    EXPECT_TRUE(vakotest::LogPatternMatches(row.smbpasswd, now.smbpasswd)) << now.smbpasswd;
    EXPECT_EQ(vakotest::ReadGroupFiles(), (vakotest::GroupFiles{row.group, kGroups.groupDesc}));
    EXPECT_EQ(ReadFile(vakotest::kInfoFile), appliance.info.Text());
    EXPECT_EQ(Events(), row.events);
    for (const char *failure : {"updater{*}Failed to add ftp user/group.", "updater{*}Rewrite /etc/passwd{*}",
                                "updater{*}Create /etc/vakouser failed.", "updater{*}Create mailvane users failed."})
        EXPECT_EQ(vakotest::SyslogCount(failure), 0) << failure;
}

// Build 229 runs all four steps: the user-made "ftp" gets a copy named
// ftp1 (the next uid, its password and SMB hashes) and keeps its name, so only
// "anonymous" and the group are added; then homes, the per-user file and the
// mail accounts.  Build 770 runs the last three, 775 the mail step alone,
// 776 none of them.
INSTANTIATE_TEST_SUITE_P(
    Builds, AccountsMigrationUpdate,
    testing::Values(
        Row{"Build229",
            "229",
            kMailPasswdLines + "anonymous:x:21:21:Anonymous FTP User:/nonexist:/sbin/nologin\n" + kHomesMoved +
                "ftp:x:1030:100:FTP fan:/var/services/homes/ftp:/bin/sh\n"
                "ftp1:x:1031:100:FTP fan:/var/services/homes/ftp1:\n",
            kMailShadowLines + "anonymous:*:10933:0:99999:7:::\n"
                               "root:{*}\nalice:$1$xy$GSi9DZ/itmn9/ge6aijPn/:15000:0:99999:7:::\n"
                               "ftp:$1$Ft$k0zTvJbDuLFMUE3qVDTZS/:15000:0:99999:7::20000:\n"
                               "ftp1:$1$Ft$k0zTvJbDuLFMUE3qVDTZS/:{*}:0:99999:7::20000:\n",
            kMailGroupLines + "ftp:x:21:nobody,ftp,nobody\n" + kGroups.group,
            "alice:11:alice@example.com\nftp:11:\nftp1:11:\n",
            kAccounts.smbpasswd +
                "ftp1:1031:0123456789ABCDEF0123456789ABCDEF:FEDCBA9876543210FEDCBA9876543210:[U          ]:LCT-{*}:\n",
            {0x11800e02}},
        Row{"Build770", "770",
            kMailPasswdLines + kHomesMoved + "ftp:x:1030:100:FTP fan:/var/services/homes/ftp:/bin/sh\n",
            kMailShadowLines + kAccounts.shadow, kMailGroupLines + kGroups.group, kUserConf, kAccounts.smbpasswd, {}},
        Row{"Build775", "775", kMailPasswdLines + kAccounts.passwd, kMailShadowLines + kAccounts.shadow,
            kMailGroupLines + kGroups.group, kAccounts.vakouserConf, kAccounts.smbpasswd, {}},
        Row{"Build776", "776", kAccounts.passwd, kAccounts.shadow, kGroups.group, kAccounts.vakouserConf,
            kAccounts.smbpasswd, {}}),
    [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

} // namespace
