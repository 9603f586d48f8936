// Every writer of the two libraries that puts a file in place, through the
// test kit's writer table: on the disk before it is in place, and nothing
// changed nor left behind when a sync, a write or a rename fails.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <filesystem>
#include <string>
#include <vector>

#include "slib/conf_write.h"
#include "vako/autoblock.h"
#include "vako/bond.h"
#include "vako/event_log.h"
#include "vako/event_log_size.h"
#include "vako/ftp_list.h"
#include "vako/group_db.h"
#include "vako/rsync_secret.h"
#include "vako/share_db.h"
#include "vako/user_db.h"
#include "vakotest/autoblock.h"
#include "vakotest/eventlog.h"
#include "vakotest/files.h"
#include "vakotest/groupdb.h"
#include "vakotest/ifcfg.h"
#include "vakotest/paths.h"
#include "vakotest/sharedb.h"
#include "vakotest/sleeps.h"
#include "vakotest/szblocks.h"
#include "vakotest/userdb.h"
#include "vakotest/writers.h"

namespace {

using vakotest::Ifcfg;
using vakotest::Interfaces;
using vakotest::SzHash;
using vakotest::SzList;
using vakotest::WriteFile;
using vakotest::WriterCase;

const std::string kConf = "/etc/writers/test.conf";
const char *const kConfText = "[s]\na=1\nb=2\n#c\n";
constexpr char kRsyncdConf[] = "/etc/rsyncd.conf";

void WriteConf() { WriteFile(kConf, kConfText, 0640); }

// A configuration writer on a file that exists.
WriterCase Conf(const char *name, bool (*write)()) { return {name, {kConf}, WriteConf, write}; }

// The system log, 300 bytes of records from its header on.
void SystemLog() { WriteFile(SZF_VAKOLOG_SYS, vakotest::evlog::ThreeRecords(), 0600); }

bool SetBond(int mode, std::vector<const char *> slaves)
{
    VAKOLINKAGGR a;
    memset(&a, 0, sizeof a);
    snprintf(a.szName, sizeof a.szName, "%s", "bond0");
    a.mode = mode;
    for (const char *s : slaves)
        if (VAKONetLinkAggrOptSlaveAdd(&a, s) != 0)
            return false;
    return VAKONetLinkAggrSet(&a) == 0;
}

const std::vector<WriterCase> kWriters = {
    Conf("conf set key value", [] { return SLIBFileSetKeyValue(kConf.c_str(), "a", "9", nullptr) == 1; }),
    {"conf set key value of a missing file",
     {kConf},
     [] {
         vakotest::MakeDirs("/etc/writers");
         vakotest::RemoveFile(kConf);
     },
     [] { return SLIBFileSetKeyValue(kConf.c_str(), "a", "9", nullptr) == 1; }},
    Conf("conf set keys",
         [] {
             SzHash set{{"a", "9"}, {"z", "26"}};
             return SLIBFileSetKeys(kConf.c_str(), set.h, nullptr, nullptr) == 2;
         }),
    Conf("conf remove key", [] { return SLIBFileRemoveKey(kConf.c_str(), "b") == 1; }),
    Conf("conf set line", [] { return SLIBFileSetLine(kConf.c_str(), "a", "a=3", 0) == 1; }),
    Conf("conf add line", [] { return SLIBFileAddLine(kConf.c_str(), "a", "c=4", 0) == 1; }),
    Conf("conf replace text", [] { return SLIBFileReplaceSubStr(kConf.c_str(), "=", ":") == 2; }),
    Conf("conf set section",
         [] {
             SzHash pairs{{"k", "v"}};
             return ErrSLIBFileSetSection(kConf.c_str(), "s", "t", pairs.h, nullptr) == 1;
         }),
    {"user database dump",
     {vakotest::kPasswdFile, vakotest::kShadowFile, vakotest::kVakoUserConf, vakotest::kSmbPasswdFile},
     [] { vakotest::WriteAccountFiles(userdb::Fixture()); },
     [] {
         userdb::DbPtr db = userdb::Open();
         return db && VAKOUserDBDump(db.get()) == 0;
     },
     false},
    {"group database dump",
     {vakotest::kGroupFile, vakotest::kGroupDescFile},
     [] { groupdb::WriteFixture(); },
     [] {
         groupdb::DbPtr db = groupdb::Open();
         return db && VAKOGroupDBDump(db.get()) == 0;
     },
     false},
    {"share database dump",
     {vakotest::kSmbConf},
     [] { sharedb::WriteFixture(); },
     [] {
         sharedb::DbPtr db = sharedb::Open();
         return db && VAKOShareDBDump(db.get()) == 0;
     }},
    {"FTP chroot list add",
     {SZF_FTP_CHROOT},
     [] { WriteFile(SZF_FTP_CHROOT, "bob\n", 0644); },
     [] {
         SzList users{"carol"};
         return VAKOFTPAddChrootUser(users.l) == 0;
     }},
    {"FTP chroot list made anew",
     {SZF_FTP_CHROOT},
     [] { vakotest::RemoveFile(SZF_FTP_CHROOT); },
     [] {
         SzList users{"carol"};
         return VAKOFTPAddChrootUser(users.l) == 0;
     }},
    {"FTP chroot list delete",
     {SZF_FTP_CHROOT},
     [] { WriteFile(SZF_FTP_CHROOT, "bob\ncarol\n", 0644); },
     [] {
         SzList users{"bob"};
         return VAKOFTPDeleteChrootUser(users.l) == 0;
     }},
    {"hosts deny delete",
     {SZF_HOSTS_DENY},
     [] { WriteFile(SZF_HOSTS_DENY, "ALL: 10.0.0.1\nALL: 10.0.0.2\n", 0640); },
     [] {
         SzList addresses{"10.0.0.1"};
         return ConnSecurityDenyIPDelete(addresses.l) == 1;
     }},
    {"rsync secrets made anew",
     {SZF_RSYNCD_SECRETS},
     [] {
         WriteFile(kRsyncdConf, "auth users = rsync\nsecrets file = /etc/rsyncd.secrets\n");
         vakotest::RemoveFile(SZF_RSYNCD_SECRETS);
     },
     [] {
         vakotest::SleepLog pauses(vakotest::Pauses::Skipped);
         return VAKONetBackupSetServerPasswd("rsync", "rsync", "S", NETBKP_PASSWD_MODIFY) == 0;
     }},
    // Listed already: the address moves to the end, no event, no mail.
    {"auto-block add",
     {SZF_AUTOBLOCK_DENY},
     vakotest::WriteAutoBlockList,
     [] { return VAKOAutoBlockIPAdd("10.0.0.1") == 0; }},
    {"event log size change", {SZF_VAKOLOG_SYS}, SystemLog, [] { return VAKOLogChangeSize(250, 1) == 0; }},
    // The bond's file, its slaves' files (each saved aside first) and, on a
    // failure, all of them put back as they were.
    {"bond made",
     {Ifcfg("bond0"), Ifcfg("eth0"), Ifcfg("eth1")},
     [] { Interfaces(false); },
     [] {
         return SetBond(VAKO_BOND_MODE_BALANCE_ALB, {"eth0", "eth1"});
     }},
    // The bond's file goes; its settings return to the first slave; the
    // slaves' files as they were stay saved beside them.
    {"bond removed",
     {Ifcfg("eth0"), Ifcfg("eth1"), Ifcfg("eth0") + ".saved", Ifcfg("eth1") + ".saved"},
     [] { Interfaces(true); },
     [] { return SetBond(VAKO_BOND_MODE_NONE, {}); }},
};

class Writers : public testing::TestWithParam<WriterCase> {};

TEST_P(Writers, SyncedBeforeInPlaceAndUnchangedOnFailure) { vakotest::RunWriter(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Table, Writers, testing::ValuesIn(kWriters), vakotest::WriterRowName);

} // namespace
