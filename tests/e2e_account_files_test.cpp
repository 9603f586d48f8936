// Whole updates from installed build 200 over account and group files as
// old appliances hold them: odd lines, CRLF, missing last line feeds. The
// migrations of that build change the account files (a user-made "ftp"
// copied under a free name, the FTP and mail service entries added at the
// top, the homes moved, vakouser.conf written anew, admin in the mail
// group); every other line comes back byte for byte.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "vakotest/accountlines.h"
#include "vakotest/accounts.h"
#include "vakotest/chips.h"
#include "vakotest/files.h"
#include "vakotest/fixture.h"
#include "vakotest/kstub.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/run.h"

namespace {

namespace ks = vakotest::kstub;
namespace rt = accountroundtrip;
using vakotest::AccountFiles;
using vakotest::GroupFiles;

// The appliance before the update: a user-made account "ftp", and a line
// "Bob" beside bob that the user database keeps out of its cache.
const AccountFiles kAccounts = {
    "root:x:0:0:root:/root:/bin/sh\n"
    "admin:x:1024:100:System default user:/home/admin:/bin/sh\n"
    "guest:x:1025:100:Guest:/nonexist:/sbin/nologin\n"
    "alice:x:1026:100:Alice:/home/alice:/bin/sh\n"
    "bob:x:1027:100:Bob:/home/bob:/bin/sh\n"
    "Bob:x:1031:100:Bob again:/home/Bob:/bin/sh\n"
    "ftp:x:1030:100:FTP fan:/home/ftp:/bin/sh\n",
    "root:$1$Rt$Ea9sRo/vB1WnRWhGbeBQd1:15000:0:99999:7:::\n"
    "admin:$1$Ad$0.1Vy4C2TzX9HskzOZ2gi/:15000:0:99999:7:::\n"
    "guest:!:15000:0:99999:7:::\n"
    "alice:$1$xy$GSi9DZ/itmn9/ge6aijPn/:15000:0:99999:7:::\n"
    "bob:$1$Bb$5lG8yGdLMGwHzHpyKyQ7B.:15001:0:99999:7:::\n"
    "ftp:$1$Ft$k0zTvJbDuLFMUE3qVDTZS/:15000:0:99999:7::20000:\n",
    "#$_@UID__INDEX@_$1030$\n"
    "# record user misc, format \"user_name:user_privilege:user_mail\"\n"
    "admin:5:\n"
    "alice:0:\n"
    "bob:0:\n"
    "ftp:0:\n",
    "admin:1024:E52CAC67419A9A224A3B108F3FA6CB6D:8846F7EAEE8FB117AD06BDD830B7586C:[U          ]:LCT-5F5E1000:\n"
    "guest:1025:AAD3B435B51404EEAAD3B435B51404EE:31D6CFE0D16AE931B73C59D7E0C089C0:[U          ]:LCT-5F5E1000:\n"
    "alice:1026:E52CAC67419A9A224A3B108F3FA6CB6D:8846F7EAEE8FB117AD06BDD830B7586C:[U          ]:LCT-5F5E1000:\n"
    "bob:1027:E52CAC67419A9A224A3B108F3FA6CB6D:8846F7EAEE8FB117AD06BDD830B7586C:[U          ]:LCT-5F5E1000:\n"
    "ftp:1030:0123456789ABCDEF0123456789ABCDEF:FEDCBA9876543210FEDCBA9876543210:[U          ]:LCT-5F5E1000:\n",
};
const GroupFiles kGroups = {"#$_@GID__INDEX@_$65536$\n"
                            "root:x:0:\n"
                            "smmsp:x:25:mailer,nobody\n"
                            "users:x:100:\n"
                            "staff:x:65536:alice,bob\n",
                            "users:All local users\n"
                            "staff:Staff\n"};

// The same files after the update. The copy of "ftp" takes the first free
// uid after the last one handed out: 1031 is Bob's, kept out of the cache
// but no new account's. Lines that the update writes anew (its own entries,
// the copy's, vakouser.conf, the mail group's) end in "\n" alone.
const AccountFiles kAccountsAfter = {
    "dovecot:x:143:143:Dovecot User:/nonexist:/sbin/nologin\n"
    "postfix:x:125:125:Postfix User:/nonexist:/sbin/nologin\n"
    "anonymous:x:21:21:Anonymous FTP User:/nonexist:/sbin/nologin\n"
    "root:x:0:0:root:/root:/bin/sh\n"
    "admin:x:1024:100:System default user:/var/services/homes/admin:/bin/sh\n"
    "guest:x:1025:100:Guest:/nonexist:/sbin/nologin\n"
    "alice:x:1026:100:Alice:/var/services/homes/alice:/bin/sh\n"
    "bob:x:1027:100:Bob:/var/services/homes/bob:/bin/sh\n"
    "Bob:x:1031:100:Bob again:/var/services/homes/Bob:/bin/sh\n"
    "ftp:x:1030:100:FTP fan:/var/services/homes/ftp:/bin/sh\n"
    "ftp1:x:1032:100:FTP fan:/var/services/homes/ftp1:\n",
    "dovecot:*:10933:0:99999:7:::\n"
    "postfix:*:10933:0:99999:7:::\n"
    "anonymous:*:10933:0:99999:7:::\n"
    "root:$1$Rt$Ea9sRo/vB1WnRWhGbeBQd1:15000:0:99999:7:::\n"
    "admin:$1$Ad$0.1Vy4C2TzX9HskzOZ2gi/:15000:0:99999:7:::\n"
    "guest:!:15000:0:99999:7:::\n"
    "alice:$1$xy$GSi9DZ/itmn9/ge6aijPn/:15000:0:99999:7:::\n"
    "bob:$1$Bb$5lG8yGdLMGwHzHpyKyQ7B.:15001:0:99999:7:::\n"
    "ftp:$1$Ft$k0zTvJbDuLFMUE3qVDTZS/:15000:0:99999:7::20000:\n"
    "ftp1:$1$Ft$k0zTvJbDuLFMUE3qVDTZS/:{*}:0:99999:7::20000:\n",
    "alice:3:\n"
    "bob:3:\n"
    "ftp:3:\n"
    "ftp1:3:\n",
    "admin:1024:E52CAC67419A9A224A3B108F3FA6CB6D:8846F7EAEE8FB117AD06BDD830B7586C:[U          ]:LCT-5F5E1000:\n"
    "guest:1025:AAD3B435B51404EEAAD3B435B51404EE:31D6CFE0D16AE931B73C59D7E0C089C0:[U          ]:LCT-5F5E1000:\n"
    "alice:1026:E52CAC67419A9A224A3B108F3FA6CB6D:8846F7EAEE8FB117AD06BDD830B7586C:[U          ]:LCT-5F5E1000:\n"
    "bob:1027:E52CAC67419A9A224A3B108F3FA6CB6D:8846F7EAEE8FB117AD06BDD830B7586C:[U          ]:LCT-5F5E1000:\n"
    "ftp:1030:0123456789ABCDEF0123456789ABCDEF:FEDCBA9876543210FEDCBA9876543210:[U          ]:LCT-5F5E1000:\n"
    "ftp1:1032:0123456789ABCDEF0123456789ABCDEF:FEDCBA9876543210FEDCBA9876543210:[U          ]:LCT-{*}:\n",
};
const GroupFiles kGroupsAfter = {"dovecot:x:143:dovecot\n"
                                 "maildrop:x:126:\n"
                                 "postfix:x:125:postfix\n"
                                 "ftp:x:21:nobody,ftp,nobody\n"
                                 "#$_@GID__INDEX@_$65536$\n"
                                 "root:x:0:\n"
                                 "smmsp:x:25:mailer,admin,nobody\n"
                                 "users:x:100:\n"
                                 "staff:x:65536:alice,bob\n",
                                 kGroups.groupDesc};

// The lines that the update writes anew, by their start.
const std::vector<std::string> kWrittenAnew[] = {
    {"dovecot:", "postfix:", "anonymous:", "ftp1:"},
    {"dovecot:", "postfix:", "anonymous:", "ftp1:"},
    {""},
    {"ftp1:"},
    {"dovecot:", "maildrop:", "postfix:", "ftp:x:21:", "smmsp:"},
    {},
};

struct Files {
    AccountFiles accounts;
    GroupFiles groups;
    std::string *At(rt::File f)
    {
        std::string *all[] = {&accounts.passwd,    &accounts.shadow, &accounts.vakouserConf,
                              &accounts.smbpasswd, &groups.group,    &groups.groupDesc};
        return all[static_cast<int>(f)];
    }
};

// A line of a row: put before the line that begins with at, in the file
// before the update and in the file after it, as the update leaves it.
struct Line {
    rt::File file;
    std::string at, before, after;
};

struct Row {
    const char *name;
    std::vector<Line> lines;
    // Turns the files before and after whole (the lines of a row put first).
    std::function<void(Files &before, Files &after)> whole;
};
void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

std::string Name600() { return std::string(600, 'n'); }

const Row kRows[] = {
    {"AUserFtpAndBobBesideBob", {}, nullptr},
    {"OddPasswdLines",
     {{rt::File::kPasswd, "ftp:", "neg:x:-2:100:::\n", "neg:x:-2:100::/var/services/homes/neg:\n"},
      {rt::File::kPasswd, "ftp:", "big:x:99999999999:100:::\n", "big:x:99999999999:100:::\n"},
      {rt::File::kPasswd, "ftp:", "empty:x::100:::\n", "empty:x::100:::\n"},
      {rt::File::kPasswd, "ftp:", "word:x:abc:100:::\n", "word:x:abc:100:::\n"},
      {rt::File::kPasswd, "ftp:", "caf\xe9:x:1041:100:::\n", "caf\xe9:x:1041:100::/var/services/homes/caf\xe9:\n"},
      {rt::File::kPasswd, "ftp:", Name600() + ":x:1042:100:::\n",
       Name600() + ":x:1042:100::/var/services/homes/" + Name600() + ":\n"},
      {rt::File::kPasswd, "ftp:", "+::::::\n", "+::::::\n"},
      {rt::File::kPasswd, "ftp:", rt::WithNul("carol:x:1043:100:Ca", "rol:/home/carol:/bin/sh\n"),
       rt::WithNul("carol:x:1043:100:Ca", "rol:/var/services/homes/carol:/bin/sh\n")},
      {rt::File::kPasswd, "ftp:", rt::WithNul("car", "ol:x:1044:100:::\n"),
       rt::WithNul("car", "ol:x:1044:100::/var/services/homes/car") + rt::WithNul("", "ol:\n")},
      {rt::File::kPasswd, "ftp:", "ALICE:x:1045:100:::\n", "ALICE:x:1045:100::/var/services/homes/ALICE:\n"},
      {rt::File::kPasswd, "ftp:", "# a comment\n\nshort:x\n", "# a comment\n\nshort:x\n"}},
     nullptr},
    {"OddShadowAndSmbLines",
     {{rt::File::kShadow, "ftp:", "ghost:h:1:0:99999:7:::\n", "ghost:h:1:0:99999:7:::\n"},
      {rt::File::kShadow, "ftp:", "ALICE:$1$zz$second:1:0:99999:7:::\n", "ALICE:$1$zz$second:1:0:99999:7:::\n"},
      {rt::File::kShadow, "ftp:", rt::WithNul("carol:h", ":1:0:::::\n"), rt::WithNul("carol:h", ":1:0:::::\n")},
      {rt::File::kShadow, "ftp:", "noseparator\n# hashes\ncaf\xe9:h:1:0:::::\n",
       "noseparator\n# hashes\ncaf\xe9:h:1:0:::::\n"},
      {rt::File::kSmbPasswd, "ftp:", "ghost:1029:X:Y:[U          ]:LCT-0:\n", "ghost:1029:X:Y:[U          ]:LCT-0:\n"},
      {rt::File::kSmbPasswd, "ftp:", "BOB:1027:X:Y:[U          ]:LCT-0:\n", "BOB:1027:X:Y:[U          ]:LCT-0:\n"},
      {rt::File::kSmbPasswd, "ftp:", rt::WithNul("ca", "rol:1043:X:Y:[U]:LCT-0:\n"),
       rt::WithNul("ca", "rol:1043:X:Y:[U]:LCT-0:\n")},
      {rt::File::kSmbPasswd, "ftp:", "# SMB\nalone\n", "# SMB\nalone\n"}},
     nullptr},
    // A user-made group "ftp" is copied as ftp1 through the group database,
    // which writes both group files.
    {"OddGroupLinesAndAUserGroupFtp",
     {{rt::File::kGroup, "staff:", "STAFF:x:65540:bob\nqa:x:abc:bob\ncaf\xe9:x:65541:bob\n",
       "STAFF:x:65540:bob\nqa:x:abc:bob\ncaf\xe9:x:65541:bob\n"},
      {rt::File::kGroup, "staff:", rt::WithNul("qa2:x:65542:alice,b", "ob\n"),
       rt::WithNul("qa2:x:65542:alice,b", "ob\n")},
      {rt::File::kGroup, "staff:", "qa3:x:65543:alice,bob:\nops:x:65544:@staff\n# groups\n",
       "qa3:x:65543:alice,bob:\nops:x:65544:@staff\n# groups\n"},
      {rt::File::kGroup, "", "dev:x:65545: alice , ghost,bob\nftp:x:65546:alice\n",
       "dev:x:65545: alice , ghost,bob\nftp:x:65546:alice\nftp1:x:65546:alice\n"},
      {rt::File::kGroupDesc, "", "DEV:again\nghost:nobody's\nalone\n", "DEV:again\nghost:nobody's\nalone\n"}},
     // The service's own group "ftp" is not added: a group of that name is there.
     [](Files &, Files &after) {
         std::string &group = after.groups.group;
         group.erase(group.find("ftp:x:21:nobody,ftp,nobody\n"), 27);
     }},
    {"CrlfEverywhere",
     {},
     [](Files &before, Files &after) {
         for (rt::File f : {rt::File::kPasswd, rt::File::kShadow, rt::File::kVakoUserConf, rt::File::kSmbPasswd,
                            rt::File::kGroup, rt::File::kGroupDesc}) {
             *before.At(f) = rt::Crlf(*before.At(f));
             std::string again;
             for (const std::string &l : rt::Lines(*after.At(f))) {
                 bool anew = false;
                 for (const std::string &start : kWrittenAnew[static_cast<int>(f)])
                     anew = anew || l.starts_with(start);
                 again += anew ? l : rt::Crlf(l);
             }
             *after.At(f) = again;
         }
     }},
    // Lines that the dump or a migration writes after such a line give it
    // its line feed; a file that nothing rewrites stays as it was.
    {"NoLastLineFeeds",
     {},
     [](Files &before, Files &after) {
         for (rt::File f : {rt::File::kPasswd, rt::File::kShadow, rt::File::kVakoUserConf, rt::File::kSmbPasswd,
                            rt::File::kGroup, rt::File::kGroupDesc})
             *before.At(f) = rt::WithoutLastNewline(*before.At(f));
         for (rt::File f : {rt::File::kGroup, rt::File::kGroupDesc})
             *after.At(f) = rt::WithoutLastNewline(*after.At(f));
     }},
};

class AccountFilesUpdate : public testing::TestWithParam<Row> {};

TEST_P(AccountFilesUpdate, EndsWellWithEveryLineKept)
{
    const Row &row = GetParam();
    Files before{kAccounts, kGroups}, after{kAccountsAfter, kGroupsAfter};
    for (const Line &l : row.lines) {
        *before.At(l.file) = rt::Inserted(*before.At(l.file), l.at, l.before);
        *after.At(l.file) = rt::Inserted(*after.At(l.file), l.at, l.after);
    }
    if (row.whole)
        row.whole(before, after);

    vakotest::Appliance appliance;
    appliance.version.Set("buildnumber", "200");
    appliance.info = vakotest::Keys{{"hostname", "nas"}, {"ftplowport", "55000"}, {"ftphighport", "55300"}};
    appliance.flash = vakotest::LayoutFlash(vakotest::Layout::Normal);
    appliance.files[vakotest::kSmbConf] = "[global]\n\tworkgroup=WORKGROUP\n";
    vakotest::Install(appliance);
    vakotest::WriteAccountFiles(before.accounts);
    vakotest::WriteGroupFiles(before.groups);
    vakotest::Package package;
    vakotest::Install(package);
    ks::Chip chip = ks::Load(ks::kSandboxDir);
    vakotest::SyslogClear();

    vakotest::RunResult r = vakotest::Run({package.UpdaterPath()}, {.cwd = "/", .uptime = 10});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(vakotest::SyslogHas("Congratulation!! The update has been completed!!"));
    EXPECT_EQ(ks::Load(ks::kSandboxDir).image, chip.image);

    // Exactly; the copy's shadow and SMB lines carry the day and the time of
    // the copy.
    Files now{vakotest::ReadAccountFiles(), vakotest::ReadGroupFiles()};
    EXPECT_EQ(now.accounts.passwd, after.accounts.passwd);
    EXPECT_EQ(now.accounts.vakouserConf, after.accounts.vakouserConf);
    EXPECT_EQ(now.groups, after.groups);
    for (rt::File f : {rt::File::kShadow, rt::File::kSmbPasswd})
        EXPECT_TRUE(vakotest::LogPatternMatches(*after.At(f), *now.At(f)))
            << testing::PrintToString(*now.At(f)) << "\nexpected\n"
            << testing::PrintToString(*after.At(f));
}

INSTANTIATE_TEST_SUITE_P(Installed200, AccountFilesUpdate, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

} // namespace
