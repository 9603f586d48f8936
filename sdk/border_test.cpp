// The C border of the platform library, through the test kit's border
// table: each entry that reaches the standard library's allocator, with
// each of its allocations failing in turn.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "vako/autoblock.h"
#include "vako/backup_set.h"
#include "vako/bond.h"
#include "vako/disk.h"
#include "vako/event_log.h"
#include "vako/event_log_size.h"
#include "vako/ftp_list.h"
#include "vako/group.h"
#include "vako/group_db.h"
#include "vako/group_op.h"
#include "vako/info.h"
#include "vako/keydb.h"
#include "vako/keydb_cache.h"
#include "vako/mail.h"
#include "vako/net.h"
#include "vako/raid.h"
#include "vako/rsync_secret.h"
#include "vako/schedule.h"
#include "vako/service.h"
#include "vako/share_db.h"
#include "vako/share_op.h"
#include "vako/user.h"
#include "vako/user_db.h"
#include "vako/user_list.h"
#include "vako/user_op.h"
#include "vako/user_set.h"
#include "vakotest/autoblock.h"
#include "vakotest/border.h"
#include "vakotest/eventlog.h"
#include "vakotest/files.h"
#include "vakotest/groupdb.h"
#include "vakotest/ifcfg.h"
#include "vakotest/kstub.h"
#include "vakotest/paths.h"
#include "vakotest/sharedb.h"
#include "vakotest/sleeps.h"
#include "vakotest/szblocks.h"
#include "vakotest/userdb.h"

namespace {

using vakotest::BorderCase;
using vakotest::Ifcfg;
using vakotest::Interfaces;
using vakotest::SzHash;
using vakotest::SzList;
using vakotest::WriteFile;

// ---- the account, group and share files, and their caches ----

// The fixtures' text files, every cache file gone: the first open builds.
void Accounts()
{
    for (const auto &e : std::filesystem::directory_iterator("/tmp"))
        if (e.path().filename().string().starts_with(".db."))
            std::filesystem::remove_all(e.path());
    sharedb::WriteFixture();
    WriteFile(vakotest::kInfoFile, "runsamba=\"yes\"\nenableduserhome=\"no\"\n");
    WriteFile(vakotest::kInfoDefaultsFile, "guestsupport=\"yes\"\nmaxaccounts=\"2048\"\n");
}

// The same with the caches built, as the appliance has them between calls.
void Built()
{
    Accounts();
    VAKOUserDBClose(VAKOUserDBOpen());
    VAKOGroupDBClose(VAKOGroupDBOpen());
    VAKOShareDBClose(VAKOShareDBOpen());
}

const std::vector<std::string> kUserFiles = {vakotest::kPasswdFile, vakotest::kShadowFile, vakotest::kVakoUserConf,
                                             vakotest::kSmbPasswdFile};
const std::vector<std::string> kGroupFiles = {vakotest::kGroupFile, vakotest::kGroupDescFile};

// A handle the call got, released: 1, or 0 for none.
template <class T> long long Got(T *p, void (*release)(T *))
{
    release(p);
    return p ? 1 : 0;
}
long long GotUserDb(VAKOUSERDB *db) { return Got(db, VAKOUserDBClose); }
long long GotGroupDb(VAKOGROUPDB *db) { return Got(db, VAKOGroupDBClose); }

// The open user and group databases a call is given: opened before the
// call and closed after it, so that what fails is the call's own.
VAKOUSERDB *gUserDb;
VAKOGROUPDB *gGroupDb;
void Open()
{
    gUserDb = VAKOUserDBOpen();
    gGroupDb = VAKOGroupDBOpen();
    ASSERT_TRUE(gUserDb && gGroupDb);
}
void Opened()
{
    Built();
    Open();
}
void Close()
{
    VAKOUserDBClose(gUserDb);
    VAKOGroupDBClose(gGroupDb);
    gUserDb = nullptr;
    gGroupDb = nullptr;
}
long long OnUserDb(long long (*fn)(VAKOUSERDB *)) { return fn(gUserDb); }
long long OnGroupDb(long long (*fn)(VAKOGROUPDB *)) { return fn(gGroupDb); }

// A new account, and alice renamed.
VAKOUSER Carol()
{
    VAKOUSER u{};
    u.szName = const_cast<char *>("carol");
    u.szPasswd = const_cast<char *>("a password long enough");
    u.uid = -1;
    u.gid = -1;
    u.szDesc = const_cast<char *>("a new account of the border test");
    u.expire = -1;
    u.szMail = const_cast<char *>("carol@example.com");
    return u;
}

// ---- the other files ----

void BackupSets()
{
    WriteFile(SZF_NETBKP_CONF,
              "[daily backup of the music]\n\tbkp_server=\"nas2.example.com\"\n"
              "\tbkp_shares=\"music,photo,video,documents\"\n",
              0600);
    WriteFile(SZF_LOCALBKP_CONF, "[weekly backup to the usb disk]\n\tdest_share=\"usbbackup of the office\"\n"
                                 "\tbkp_shares=\"music,photo,video,documents\"\n");
}

// Slaves the kernel names at length, for the heap.
constexpr char kLongSlaves[] = "eth0 eth1 with a name long enough\n";
const std::vector<std::string> kBondFiles = {Ifcfg("bond0"), Ifcfg("eth0"), Ifcfg("eth1")};

VAKOLINKAGGR Bond(int mode)
{
    VAKOLINKAGGR a;
    memset(&a, 0, sizeof a);
    snprintf(a.szName, sizeof a.szName, "%s", "bond0");
    a.mode = mode;
    if (mode != VAKO_BOND_MODE_NONE) {
        VAKONetLinkAggrOptSlaveAdd(&a, "eth0");
        VAKONetLinkAggrOptSlaveAdd(&a, "eth1");
    }
    return a;
}

// The system log of 300 bytes of records, its settings naming it.
void SystemLog()
{
    WriteFile(SZF_VAKOLOG_SYS, vakotest::evlog::ThreeRecords(), 0600);
    WriteFile(SZF_VAKOLOG_CONF, "syslogfile\t=\t\"/var/log/vakosys.log\"\nsyslogsize\t=\t\"65536\"\n");
    unsetenv("USERNAME");
    Built();
}

void FtpLists()
{
    WriteFile(SZF_FTP_CHROOT, "alice with a long name\nbob with a long name too\n", 0644);
    // A client that is a host name long enough for the heap: read, not listed.
    WriteFile(SZF_HOSTS_DENY,
              "# the addresses refused, and why\nALL:10.0.0.1:deny\nALL:a.host.of.a.long.name.example.com:deny\n"
              "ALL:10.0.0.2:deny\n",
              0644);
    WriteFile(vakotest::kInfoFile, "enableduserhome=\"yes\"\n");
}

// The mail settings and one template.
constexpr char kTemplates[] = SZD_MAIL_TEXTS "enu/mails";
void Mail()
{
    WriteFile(vakotest::kInfoFile, "eventsmtp=\"smtp.example.com\"\neventport=\"2525\"\n"
                                   "eventmail1=\"admin@example.com\"\nmaillang=\"enu\"\nddns_update=\"no\"\n");
    WriteFile(vakotest::kInfoDefaultsFile, "mailfrom=\"Harbox Inc of the border test\"\n");
    WriteFile(kTemplates, "[Test]\nSubject: a test from %HOSTNAME% of the border\nSent on %DATE% at %TIME% by "
                          "%COMPANY_NAME%, from %IP_ADDR%\n");
    WriteFile("/tmp/border/mail", "Sent on %DATE% at %TIME% by %COMPANY_NAME%\n");
    WriteFile(SZF_VAKOLOG_CONF, "syslogfile\t=\t\"/var/log/vakosys.log\"\n");
    setenv("USERNAME", "admin", 1);
}

// Two members of md0, in sync.
void RaidMembers()
{
    for (const char *d : {"sda3", "sdb3"})
        vakotest::MountKernelFile(std::string("/sys/block/md0/md/dev-") + d + "/state", "in_sync\n");
}

// md0 a mirror of the two, as the kernel stand-in answers its ioctls.
void RaidArray()
{
    vakotest::kstub::MdArray md;
    md.device = "/dev/md0";
    md.level = 1;
    md.componentKB = 976762496;
    md.raidDisks = md.nrDisks = 2;
    md.deviceBytes = 1000204795904ull;
    vakotest::kstub::Install(vakotest::kstub::kSandboxDir, vakotest::kstub::Chip{.size = 65536, .eraseSize = 65536},
                             vakotest::kstub::KernelCalls{}, {md});
    RaidMembers();
}

void Secrets()
{
    WriteFile(SZF_RSYNCD_SECRETS,
              "# the accounts of the network backup\nroot:a secret long enough for the heap\n"
              "backup:another secret long enough\n",
              0600);
    WriteFile(SZF_RSYNCD_CONF, "secrets file = /etc/rsyncd.secrets\n");
    Built();
}

void Crontab()
{
    WriteFile(SZF_CRONTAB, "#minute\thour\tmday\tmonth\twday\twho\tcommand\n"
                           "0\t3\t*\t*\t*\troot\t/usr/vako/bin/a-long-enough-command\n");
}

VAKOSCHEDULE Schedule()
{
    VAKOSCHEDULE s{};
    s.weekdays = VAKO_SCHEDULE_EVERY_DAY;
    s.startHour = 1;
    s.endHour = 1;
    s.minute = 30;
    snprintf(s.szCommand, sizeof s.szCommand, "%s", "/usr/vako/bin/a-long-enough-command");
    return s;
}

void Services()
{
    WriteFile(SZF_DDNS_CONF, "[provider with a long enough name]\nhostname=nas.example.com\nusername=someone\n"
                             "passwd=a password long enough\n");
    // A first line long enough for the heap: the reader copies each line.
    WriteFile(vakotest::kInfoFile, "# the download service and its settings\nrunsamba=\"yes\"\n");
    sharedb::WriteSmbConf(std::string(sharedb::kGlobal) + "\trealm=A.REALM.LONG.ENOUGH.EXAMPLE.COM\n");
}

// Two more accounts that are the domain's, of a domain member.
void Domain()
{
    Accounts();
    sharedb::WriteSmbConf("[global]\n\tworkgroup=THE-DOMAIN-OF-THE-TEST\n\tsecurity=domain\n" +
                          sharedb::Everyone().Text());
    WriteFile(vakotest::kDomainUserFile, "THE-DOMAIN\\someone:1\nTHE-DOMAIN\\someone else:2\n");
    WriteFile(vakotest::kDomainGroupFile, "THE-DOMAIN\\the domain's group:1\n");
}

void OpenedDomain()
{
    Domain();
    Open();
}

// The rename of alice, as an upper-cased key (made before any call).
SzHash gRenames{{"ALICE", "alice-renamed-for-the-heap"}};

// ---- shares ----

// The share database of the built caches, opened by a row's setup so that
// the call alone is measured, and closed by its teardown.
VAKOSHAREDB *gShareDb = nullptr;
void CloseShareDb()
{
    if (gShareDb)
        VAKOShareDBClose(gShareDb);
    gShareDb = nullptr;
}
void OpenShareDb()
{
    Built();
    gShareDb = VAKOShareDBOpen();
}

// A change of the stored shares, checked after the call: those it found
// when it failed, else those it made; and the place of each in smb.conf.
long long gShareResult = 0;
long long Changed(long long r)
{
    gShareResult = r;
    return r;
}
bool HasPlace(const char *shareKey)
{
    std::string key = std::string("#VAKO@SMB@S@") + shareKey;
    return VAKOShareDBCheckExists(gShareDb, key.c_str(), static_cast<int>(key.size()), nullptr, 0) == 1;
}
void SharesAre(const std::vector<std::string> &failed, const std::vector<std::string> &made)
{
    const std::vector<std::string> &want = gShareResult == -1 ? failed : made;
    EXPECT_EQ(sharedb::Names(gShareDb), want);
    for (const std::string &name : want) {
        std::string key = name;
        for (char &c : key)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        // The shares of the fixture have places, a new one none.
        EXPECT_EQ(HasPlace(key.c_str()), name != "a share of the border test") << name;
    }
    CloseShareDb();
}
const std::vector<std::string> kFixtureShares = {"everyone", "public", "team"};

// After a call that builds: the database file at path, opened again,
// holds every share of smb.conf, whether the call failed or not.
void BuiltWhole(const char *path)
{
    CloseShareDb();
    if (path)
        VAKOShareDBOpenFile(&gShareDb, path);
    else
        gShareDb = VAKOShareDBOpen();
    ASSERT_NE(gShareDb, nullptr);
    EXPECT_EQ(sharedb::Names(gShareDb), kFixtureShares);
    CloseShareDb();
}

// A share section as the build reads it, and a record of a renamed share.
SzHash gSharePairs{{"comment", "a share of the border test"},
                   {"path", "/volume1/a share of the border test"},
                   {"invalid users", "nobody,bob,nobody"},
                   {"valid users", "nobody,alice,@staff,nobody"},
                   {"read list", "nobody,alice,nobody"},
                   {"write list", "nobody,@staff,nobody"},
                   {"guest ok", "no"},
                   {"writeable", "no"}};
SzList gShareLines;
sharedb::SharePtr gShare;
void RenamedShare()
{
    OpenShareDb();
    gShare = sharedb::Make(sharedb::Info("public renamed for the border", "/volume1/public"));
}

// A database file of its own, made empty, and smb.conf open to read.
constexpr char kBorderShareDb[] = "/tmp/border.share";
VAKOSHAREDB *gEmptyShareDb = nullptr;
FILE *gSmbConf = nullptr;
void EmptyShareDb()
{
    Built();
    std::filesystem::remove(kBorderShareDb);
    gEmptyShareDb = static_cast<VAKOSHAREDB *>(calloc(1, sizeof(VAKOSHAREDB)));
    gEmptyShareDb->pDb = VAKOBDbOpen(kBorderShareDb, O_RDWR | O_CREAT, 0);
    gSmbConf = fopen(vakotest::kSmbConf, "re");
}
void CloseEmptyShareDb()
{
    VAKOShareDBClose(gEmptyShareDb);
    gEmptyShareDb = nullptr;
    if (gSmbConf)
        fclose(gSmbConf);
    gSmbConf = nullptr;
}

// A share database handle the call got, released: 1, or 0 for none.
long long GotShareDb(VAKOSHAREDB *db)
{
    if (db)
        VAKOShareDBClose(db);
    return db ? 1 : 0;
}

const std::vector<BorderCase> kRows = {
    // ---- shares ----
    {"RemoveSameUsers", [] {},
     [] {
         constexpr char kList[] = "bob,alice,bob,@staff,alice,a name long enough for the heap";
         char list[sizeof kList];
         memcpy(list, kList, sizeof kList);
         int r = RemoveSameUsers(list);
         // A failure leaves the caller's list as it was.
         return r == -1 && strcmp(list, kList) != 0 ? -2 : r;
     },
     -1},
    {"ShareAllocFromConf", Built,
     [] { return Got(ShareAllocFromConf("a share of the border test", gSharePairs.h), VAKOShareFree); }, 0},
    {"ShareDBSetOne",
     OpenShareDb,
     [] {
         return Changed(ShareDBSetOne(gShareDb, gShareLines.l, gSharePairs.h, "a share of the border test",
                                      VAKO_SHARE_SECTION_SHARE));
     },
     -1,
     {},
     [] {
         SharesAre(kFixtureShares, {"a share of the border test", "everyone", "public", "team"});
     }},
    {"ShareDBBuild", EmptyShareDb, [] { return ShareDBBuild(gSmbConf, gEmptyShareDb); }, -1, {}, CloseEmptyShareDb},
    {"VAKOShareDBOpenFile",
     [] {
         Built();
         std::filesystem::remove(kBorderShareDb);
     },
     [] {
         VAKOSHAREDB *db = nullptr;
         int r = VAKOShareDBOpenFile(&db, kBorderShareDb);
         GotShareDb(db);
         return r;
     },
     -1,
     {},
     [] { BuiltWhole(kBorderShareDb); }},
    {"VAKOShareDBOpen",
     [] {
         Built();
         std::filesystem::remove(SZF_VAKO_SHARE_DB);
     },
     [] { return GotShareDb(VAKOShareDBOpen()); },
     0,
     {},
     [] { BuiltWhole(nullptr); }},
    {"VAKOShareDBCheckAndRebuild",
     [] {
         OpenShareDb();
         vakotest::SetMtime(vakotest::kSmbConf, vakotest::kAccountsMtime + 60);
     },
     [] { return VAKOShareDBCheckAndRebuild(&gShareDb); },
     -1,
     {},
     [] { BuiltWhole(nullptr); }},
    {"VAKOShareDBSet",
     RenamedShare,
     [] { return Changed(VAKOShareDBSet(gShareDb, "public", gShare.get())); },
     -1,
     {},
     [] {
         SharesAre(kFixtureShares, {"everyone", "public renamed for the border", "team"});
     }},
    {"VAKOShareDBDelete",
     OpenShareDb,
     [] { return Changed(VAKOShareDBDelete(gShareDb, "team")); },
     -1,
     {},
     [] {
         SharesAre(kFixtureShares, {"everyone", "public"});
     }},
    {"VAKOShareDBDump",
     [] {
         RenamedShare();
         VAKOShareDBSet(gShareDb, "public", gShare.get());
         VAKOShareDBDelete(gShareDb, "team");
     },
     [] { return VAKOShareDBDump(gShareDb); },
     -1,
     {vakotest::kSmbConf},
     CloseShareDb},
    {"VAKOShareEnum", Built,
     [] {
         SzList names;
         return VAKOShareEnum(&names.l, VAKO_SHARE_KIND_NORMAL | VAKO_SHARE_KIND_USB | VAKO_SHARE_KIND_SATA);
     },
     -1},

    // ---- the auto-block list ----
    // The kernel stand-in's first answer in a process allocates once, and a
    // skipped run would leave the next one an allocation short: made here.
    {"VAKOAutoBlockConfGet",
     [] {
         vakotest::WriteAutoBlockList();
         VAKOAUTOBLOCKCONF c;
         VAKOAutoBlockConfGet(&c);
     },
     [] {
         VAKOAUTOBLOCKCONF c;
         return VAKOAutoBlockConfGet(&c);
     },
     -1},
    {"VAKOAutoBlockConfSet",
     vakotest::WriteAutoBlockList,
     [] {
         VAKOAUTOBLOCKCONF c = {20, 10, 7, 0};
         return VAKOAutoBlockConfSet(&c);
     },
     -1,
     {vakotest::kInfoFile}},
    {"VAKOAutoBlockIPAdd",
     vakotest::WriteAutoBlockList,
     [] { return VAKOAutoBlockIPAdd("10.0.0.3"); },
     -1,
     {SZF_AUTOBLOCK_DENY}},

    // ---- backup sets ----
    {"VAKOBackupConfGetAll", BackupSets,
     [] {
         void **sets = nullptr;
         int n = VAKOBackupConfGetAll(&sets, BACKUP_TYPE_NETBKP);
         VAKOBackupConfFreeAll(sets, n, BACKUP_TYPE_NETBKP);
         return n;
     },
     -1},
    {"VAKONetBkpConfSetOne",
     BackupSets,
     [] {
         VAKONETBKPCONF c{};
         c.szName = const_cast<char *>("daily backup of the music");
         c.bkp_server = const_cast<char *>("nas3.example.com");
         return VAKONetBkpConfSetOne(c.szName, &c);
     },
     -1,
     {SZF_NETBKP_CONF}},
    {"VAKOLocalBkpConfSetOne",
     BackupSets,
     [] {
         VAKOLOCALBKPCONF c{};
         c.szName = const_cast<char *>("weekly backup to the usb disk");
         c.dest_share = const_cast<char *>("usbbackup of the home office");
         c.dest_type = 3;
         return VAKOLocalBkpConfSetOne(c.szName, &c);
     },
     -1,
     {SZF_LOCALBKP_CONF}},

    // ---- the bond ----
    {"VAKONetLinkAggrPhyGet", [] { Interfaces(true, kLongSlaves); },
     [] {
         SzList slaves;
         return VAKONetLinkAggrPhyGet("bond0", &slaves.l);
     },
     -1},
    {"VAKONetLinkAggrGet", [] { Interfaces(true, kLongSlaves); },
     [] {
         VAKOLINKAGGR a;
         return VAKONetLinkAggrGet("bond0", &a);
     },
     -1},
    {"VAKONetLinkAggrSet", [] { Interfaces(true, kLongSlaves); },
     [] {
         VAKOLINKAGGR a = Bond(VAKO_BOND_MODE_NONE);
         return VAKONetLinkAggrSet(&a);
     },
     -1, kBondFiles},

    // ---- the partition tool ----
    // A disk of a name long enough for the heap.
    {"RCPartitionConfigs",
     [] {
         WriteFile(std::string(vakotest::kSfdiskListings) + "a-disk-of-a-long-name.1",
                   "/dev/a-disk-of-a-long-name1 63 272141 272079 83 Linux\n");
     },
     [] {
         unsigned start, id;
         return RCPartitionConfigs(1, "a-disk-of-a-long-name", &start, &id);
     },
     -1},

    // ---- the event log ----
    {"LogCurrentUserName", SystemLog, [] { return static_cast<long long>(strlen(LogCurrentUserName())); }, 0},
    {"LogRecordBuild", SystemLog,
     [] {
         char *rec = nullptr;
         long long n = LogRecordBuild(&rec, 1, 0x11100000, "a text long enough for the heap", "", "", "");
         free(rec);
         return n;
     },
     0},
    {"LogWriteRecord", SystemLog,
     [] { return LogWriteRecord(SZF_VAKOLOG_SYS, 1, 0x11100000, "a text long enough for the heap", "", "", ""); }, -1},
    {"VAKOLogSet1", SystemLog,
     [] { return VAKOLogSet1(VAKOLOG_CLASS_SYS, 1, 0x11100000, "a text long enough for the heap", "", "", ""); }, -1},
    {"LogShrinkFile", SystemLog, [] { return LogShrinkFile(150, SZF_VAKOLOG_SYS); }, -1, {SZF_VAKOLOG_SYS}},
    {"VAKOLogChangeSize", SystemLog, [] { return VAKOLogChangeSize(200, 1); }, -1, {SZF_VAKOLOG_SYS}},

    // ---- the FTP chroot list and the hosts deny list ----
    {"VAKOFTPAddChrootUser",
     FtpLists,
     [] {
         SzList users{"carol with a long name"};
         return VAKOFTPAddChrootUser(users.l);
     },
     -1,
     {SZF_FTP_CHROOT}},
    {"VAKOFTPDeleteChrootUser",
     FtpLists,
     [] {
         SzList users{"alice with a long name"};
         return VAKOFTPDeleteChrootUser(users.l);
     },
     -1,
     {SZF_FTP_CHROOT}},
    {"VAKOFTPEnumChrootUser", FtpLists,
     [] {
         SzList users;
         return VAKOFTPEnumChrootUser(&users.l);
     },
     -1},
    {"ConnSecurityDenyIPEnum", FtpLists,
     [] {
         SzList addresses;
         return ConnSecurityDenyIPEnum(&addresses.l);
     },
     -1},
    {"ConnSecurityDenyIPDelete",
     FtpLists,
     [] {
         SzList addresses{"10.0.0.1"};
         return ConnSecurityDenyIPDelete(addresses.l);
     },
     -1,
     {SZF_HOSTS_DENY}},

    // ---- group records ----
    {"VAKOGroupAlloc2", [] {},
     [] {
         char *members[] = {const_cast<char *>("alice"), const_cast<char *>("bob"), nullptr};
         PVAKOGROUP g = nullptr;
         int r = VAKOGroupAlloc2(&g, "a group with a long name", 65540, members);
         VAKOGroupFree(g);
         return r;
     },
     -1},
    {"VAKOGroupDBUnpack", [] {},
     [] {
         PVAKOGROUP g = nullptr;
         int r = VAKOGroupDBUnpack("a group with a long name:x:65540:alice,bob,a member long enough", &g);
         VAKOGroupFree(g);
         return r;
     },
     -1},
    {"VAKOGroupAlloc", [] {},
     [] { return Got(VAKOGroupAlloc("a group with a long name:x:65540:alice,bob"), VAKOGroupFree); }, 0},
    {"VAKOGroupDBPackFromUnix", Built,
     [] {
         char *members[] = {const_cast<char *>("alice"), const_cast<char *>("bob"), nullptr};
         struct group gr = {const_cast<char *>("a group with a long name"), const_cast<char *>("x"), 65540, members};
         char *line = nullptr;
         int cb = 0;
         int r = VAKOGroupDBPackFromUnix(&gr, &line, &cb);
         free(line);
         return r;
     },
     -1},

    // ---- the group database ----
    {"VAKOGroupDBOpen", Accounts, [] { return GotGroupDb(VAKOGroupDBOpen()); }, 0},
    {"VAKOGroupDBOpenFile", Accounts,
     [] {
         VAKOGROUPDB *db = nullptr;
         int r = VAKOGroupDBOpenFile(&db, SZF_GROUP_DB_PREFIX);
         VAKOGroupDBClose(db);
         return r;
     },
     -1},
    {"VAKOGroupDBCheckAndRebuild",
     [] {
         Built();
         vakotest::SetMtime(vakotest::kGroupFile, vakotest::kAccountsMtime + 60);
     },
     [] {
         VAKOGROUPDB *db = nullptr;
         int r = VAKOGroupDBOpenFile(&db, SZF_GROUP_DB_PREFIX);
         if (r >= 0)
             r = VAKOGroupDBCheckAndRebuild(&db);
         VAKOGroupDBClose(db);
         return r;
     },
     -1},
    {"VAKOGroupDBRebuild", Built, [] { return VAKOGroupDBRebuild(); }, -1},
    {"VAKOGroupDBBuild", Accounts,
     [] {
         VAKOGROUPDB *db = nullptr;
         int r = VAKOGroupDBOpenFile(&db, "/tmp/border.group");
         if (r >= 0)
             r = VAKOGroupDBBuild(db);
         VAKOGroupDBClose(db);
         return r;
     },
     -1},
    {"GroupDBDomainBuild",
     OpenedDomain,
     [] { return OnGroupDb([](VAKOGROUPDB *db) -> long long { return GroupDBDomainBuild(db->pGRPName); }); },
     -1,
     {},
     Close},
    {"GroupDBLoadHash",
     Opened,
     [] {
         return OnGroupDb([](VAKOGROUPDB *db) -> long long {
             SzHash names;
             return GroupDBLoadHash(db->pGRPName, &names.h);
         });
     },
     -1,
     {},
     Close},
    {"VAKOGroupDBDump", Opened,
     [] { return OnGroupDb([](VAKOGROUPDB *db) -> long long { return VAKOGroupDBDump(db); }); }, -1, kGroupFiles,
     Close},
    {"VAKOGroupDBSet",
     Opened,
     [] {
         return OnGroupDb([](VAKOGROUPDB *db) -> long long {
             char *members[] = {const_cast<char *>("alice"), nullptr};
             VAKOGROUP g = {const_cast<char *>("équipe-générale"), 65540, members, VAKO_GROUP_TYPE_LOCAL, 0};
             return VAKOGroupDBSet(db, nullptr, 0, &g);
         });
     },
     -1,
     {},
     Close},
    {"VAKOGroupDBDelete",
     Opened,
     [] { return OnGroupDb([](VAKOGROUPDB *db) -> long long { return VAKOGroupDBDelete(db, "DEV", 3); }); },
     -1,
     {},
     Close},
    {"VAKOGroupDBCheckExists",
     Opened,
     [] {
         return OnGroupDb([](VAKOGROUPDB *db) -> long long {
             char stored[64];
             return VAKOGroupDBCheckExists(db, "STAFF", 5, stored, sizeof stored);
         });
     },
     0,
     {},
     Close},
    {"VAKOGroupDBGetByCursor",
     Opened,
     [] {
         return OnGroupDb([](VAKOGROUPDB *db) -> long long {
             PVAKOGROUP g = nullptr;
             int r = VAKOGroupDBGetByCursor(db, &g, VAKO_GROUP_TYPE_LOCAL, 1);
             VAKOGroupFree(g);
             return r;
         });
     },
     -1,
     {},
     Close},
    {"VAKOGroupGetFreeGid",
     Opened,
     [] { return OnGroupDb([](VAKOGROUPDB *db) -> long long { return VAKOGroupGetFreeGid(db); }); },
     -1,
     {},
     Close},

    // ---- group operations ----
    {"VAKOGroupGet", Built,
     [] {
         PVAKOGROUP g = nullptr;
         int r = VAKOGroupGet("staff", &g);
         VAKOGroupFree(g);
         return r;
     },
     -1},
    {"VAKOGroupSet", Built,
     [] {
         char *members[] = {const_cast<char *>("alice"), nullptr};
         VAKOGROUP g = {const_cast<char *>("équipe-générale"), -1, members, VAKO_GROUP_TYPE_LOCAL, 0};
         return VAKOGroupSet(nullptr, &g);
     },
     -1, kGroupFiles},
    {"VAKOGroupListMember", Built,
     [] {
         SzList members;
         return VAKOGroupListMember("staff", &members.l);
     },
     -1},
    {"VAKOSmmspGroupSet", Built, [] { return VAKOSmmspGroupSet(nullptr, "alice", VAKO_SMMSP_ADD); }, -1, kGroupFiles},

    // ---- the appliance information file ----
    {"VAKOINFOSetKeyValue",
     [] { WriteFile(vakotest::kInfoFile, "# the settings of the appliance, long enough\nworkgroup=\"X\"\n"); },
     [] { return VAKOINFOSetKeyValue("workgroup", "a workgroup long enough"); },
     -1,
     {vakotest::kInfoFile}},
    {"VAKOIsJunior",
     [] {
         WriteFile(vakotest::kInfoDefaultsFile, "# the factory settings, long enough for the heap\n"
                                                "unique=\"vako_ds107_junior\"\n");
     },
     [] { return VAKOIsJunior(); }, 0},

    // ---- keyed files and their caches ----
    {"VAKOBDbOpen",
     [] {
         std::filesystem::remove_all("/tmp/border.db");
         vakotest::MakeDirs("/tmp/border.db/planted");
     },
     [] {
         VAKOBDB *bdb = VAKOBDbOpen("/tmp/border.db", O_RDWR | O_CREAT, 0);
         if (!bdb)
             return 0;
         VAKOBDbClose(bdb);
         return 1;
     },
     0},
    {"VAKOBDbCacheOpen", Accounts,
     [] { return GotUserDb(static_cast<VAKOUSERDB *>(VAKOBDbCacheOpen(&gVakoUserDbCache))); }, 0},
    {"VAKOBDbCacheCheckAndRebuild",
     [] {
         Built();
         vakotest::SetMtime(vakotest::kPasswdFile, vakotest::kAccountsMtime + 60);
     },
     [] {
         VAKOUSERDB *db = nullptr;
         int r = VAKOUserDBOpenFile(&db, SZF_USER_DB_PREFIX);
         void *p = db;
         if (r >= 0)
             r = VAKOBDbCacheCheckAndRebuild(&gVakoUserDbCache, &p);
         VAKOUserDBClose(static_cast<VAKOUSERDB *>(p));
         return r;
     },
     -1},
    {"VAKOBDbCacheRebuild", Built, [] { return VAKOBDbCacheRebuild(&gVakoGroupDbCache, nullptr); }, -1},
    {"VAKOBDbCacheRebuildDamaged",
     Opened,
     [] {
         return OnGroupDb(
             [](VAKOGROUPDB *db) -> long long { return VAKOBDbCacheRebuildDamaged(&gVakoGroupDbCache, db); });
     },
     -1,
     {},
     Close},

    // ---- mail ----
    {"VAKOMailGet", Mail,
     [] {
         VAKOMAILSETTING s;
         int r = VAKOMailGet(&s);
         VAKOMailSettingFree(&s);
         return r;
     },
     -1},
    {"MailTagConvert",
     Mail,
     [] {
         SzHash tags;
         return MailTagConvert("/tmp/border/mail", &tags.h);
     },
     -1,
     {"/tmp/border/mail"}},
    {"VAKOMailReadByTagAndConvert", Mail,
     [] {
         char subject[256], body[1024];
         return VAKOMailReadByTagAndConvert("enu", "Test", subject, sizeof subject, body, sizeof body, nullptr);
     },
     -1},
    {"VAKOMailSMTPErrorCallBack", Mail,
     [] {
         VAKOMailSMTPErrorCallBack("a failure of the mail long enough for the heap");
         return 0;
     },
     vakotest::kNoResult},

    // ---- network settings ----
    {"VAKONetGetInterfaceInfo", [] {},
     [] {
         VAKONETIFINFO ifs[8];
         return VAKONetGetInterfaceInfo(ifs, 8, VAKO_NET_IF_ALL);
     },
     -1},
    {"VAKONetConfSetMTUValue",
     [] { WriteFile(vakotest::kInfoFile, "# the settings, long enough for the heap\n"); },
     [] { return VAKONetConfSetMTUValue("9000", "eth0"); },
     -1,
     {vakotest::kInfoFile}},
    {"VAKONetSetMTUValue",
     [] { WriteFile(vakotest::kInfoFile, "# the settings, long enough for the heap\n"); },
     [] { return VAKONetSetMTUValue("1500", "eth0"); },
     -1,
     {vakotest::kInfoFile}},

    // ---- RAID ----
    {"VAKORaidDiskCreate", RaidMembers,
     [] {
         VAKORAIDDISK *d = nullptr;
         int r = VAKORaidDiskCreate("/sys/block/md0/md/dev-sda3", &d);
         RaidDiskListFree(d);
         return r;
     },
     -1},
    {"VAKORaidInfoGet", RaidArray,
     [] {
         PVAKORAIDINFO info = nullptr;
         int r = VAKORaidInfoGet("/dev/md0", &info);
         VAKORaidInfoFree(info);
         return r;
     },
     -1},
    {"VAKORaidDiskListGet", RaidMembers,
     [] {
         VAKORAIDDISK *list = nullptr;
         int r = VAKORaidDiskListGet("/dev/md0", &list);
         RaidDiskListFree(list);
         return r;
     },
     -1},

    // ---- the network backup's rsync secrets ----
    {"VAKONetBackupGetServerPasswd", Secrets,
     [] {
         char secret[256];
         return VAKONetBackupGetServerPasswd("admin", secret, sizeof secret);
     },
     -1},
    {"VAKONetBackupSetServerPasswd",
     Secrets,
     [] { return VAKONetBackupSetServerPasswd("backup", "backup", "a new secret long enough", NETBKP_PASSWD_MODIFY); },
     -1,
     {SZF_RSYNCD_SECRETS}},
    {"NetBackupDelSecret", Secrets, [] { return NetBackupDelSecret("backup"); }, -1, {SZF_RSYNCD_SECRETS}},

    // ---- the crontab ----
    {"CrontabUpdateCrontab",
     Crontab,
     [] {
         return CrontabUpdateCrontab("a-long-enough-command",
                                     "0\t4\t*\t*\t*\troot\t/usr/vako/bin/a-long-enough-command");
     },
     -1,
     {SZF_CRONTAB}},
    {"VAKOScheduleSet",
     Crontab,
     [] {
         VAKOSCHEDULE s = Schedule();
         return VAKOScheduleSet(&s);
     },
     -1,
     {SZF_CRONTAB}},
    {"VAKOScheduleRemove", Crontab, [] { return VAKOScheduleRemove("a-long-enough-command"); }, -1, {SZF_CRONTAB}},

    // ---- services ----
    {"VAKODDNSConfigGet", Services,
     [] {
         VAKODDNSINFO info;
         return VAKODDNSConfigGet("provider with a long enough name", &info);
     },
     -1},
    {"VAKOWinsQuery1", Services,
     [] {
         char workgroup[64];
         int domain, samba;
         return VAKOWinsQuery1(workgroup, sizeof workgroup, &domain, &samba);
     },
     -1},
    // The kernel stand-in's first answer in a process allocates once, and a
    // skipped run would leave the next one an allocation short: made here.
    {"WinsIsSambaRunning",
     [] {
         Services();
         WinsIsSambaRunning();
     },
     [] { return WinsIsSambaRunning(); }, 0},
    {"VAKODownloadInfoSet",
     Services,
     [] {
         VAKODOWNLOADINFO info{};
         snprintf(info.when, sizeof info.when, "%s", "00:00-23:59");
         return VAKODownloadInfoSet(&info);
     },
     -1,
     {vakotest::kInfoFile}},

    // ---- account records ----
    {"UserDBUnpackPasswd", [] {},
     [] {
         void *p = nullptr;
         int cb = 0;
         int r = UserDBUnpackPasswd("alice:x:1026:100:a description long enough:/var/services/homes/alice:/bin/sh", &p,
                                    &cb);
         free(p);
         return r;
     },
     -1},
    {"UserDBUnpackShadow", [] {},
     [] {
         void *p = nullptr;
         int cb = 0;
         int r = UserDBUnpackShadow("alice:$1$xy$GSi9DZ/itmn9/ge6aijPn/:15000:0:99999:7::20000:", &p, &cb);
         free(p);
         return r;
     },
     -1},

    // ---- the user database ----
    {"VAKOUserDBOpen", Accounts, [] { return GotUserDb(VAKOUserDBOpen()); }, 0},
    {"VAKOUserDBOpenFile", Accounts,
     [] {
         VAKOUSERDB *db = nullptr;
         int r = VAKOUserDBOpenFile(&db, SZF_USER_DB_PREFIX);
         VAKOUserDBClose(db);
         return r;
     },
     -1},
    {"VAKOUserDBCheckAndRebuild",
     [] {
         Built();
         vakotest::SetMtime(vakotest::kShadowFile, vakotest::kAccountsMtime + 60);
     },
     [] {
         VAKOUSERDB *db = nullptr;
         int r = VAKOUserDBOpenFile(&db, SZF_USER_DB_PREFIX);
         if (r >= 0)
             r = VAKOUserDBCheckAndRebuild(&db);
         VAKOUserDBClose(db);
         return r;
     },
     -1},
    {"VAKOUserDBRebuild", Built, [] { return VAKOUserDBRebuild(); }, -1},
    {"VAKOUserDBBuild", Accounts,
     [] {
         VAKOUSERDB *db = nullptr;
         int r = VAKOUserDBOpenFile(&db, "/tmp/border.user");
         if (r >= 0)
             r = VAKOUserDBBuild(db);
         VAKOUserDBClose(db);
         return r;
     },
     -1},
    {"UserDBGetLineBuild",
     Opened,
     [] {
         return OnUserDb(
             [](VAKOUSERDB *db) -> long long { return UserDBGetLineBuild(db->pPWDShadow, SZF_SHADOW, ":"); });
     },
     -1,
     {},
     Close},
    {"UserDBDomainBuild",
     OpenedDomain,
     [] { return OnUserDb([](VAKOUSERDB *db) -> long long { return UserDBDomainBuild(db->pPWDName); }); },
     -1,
     {},
     Close},
    {"VAKOUserDBDump", Opened, [] { return OnUserDb([](VAKOUSERDB *db) -> long long { return VAKOUserDBDump(db); }); },
     -1, kUserFiles, Close},
    {"VAKOUserDBGet",
     Opened,
     [] {
         return OnUserDb([](VAKOUSERDB *db) -> long long {
             PVAKOUSER u = nullptr;
             int r = VAKOUserDBGet(db, "ALICE", &u);
             VAKOUserFree(u);
             return r;
         });
     },
     -1,
     {},
     Close},
    {"VAKOUserDBSet",
     Opened,
     [] {
         return OnUserDb([](VAKOUSERDB *db) -> long long {
             VAKOUSER u = Carol();
             u.uid = 1100;
             u.gid = 100;
             return VAKOUserDBSet(db, nullptr, 0, &u);
         });
     },
     -1,
     {},
     Close},
    {"VAKOUserDBDelete",
     Opened,
     [] { return OnUserDb([](VAKOUSERDB *db) -> long long { return VAKOUserDBDelete(db, "BOB"); }); },
     -1,
     {},
     Close},
    {"VAKOUserDBCheckExists",
     Opened,
     [] {
         return OnUserDb([](VAKOUSERDB *db) -> long long {
             char stored[64];
             return VAKOUserDBCheckExists(db, "ALICE", 5, stored, sizeof stored);
         });
     },
     0,
     {},
     Close},
    {"VAKOUserGetFreeUid",
     Opened,
     [] { return OnUserDb([](VAKOUSERDB *db) -> long long { return VAKOUserGetFreeUid(db); }); },
     -1,
     {},
     Close},

    // ---- lists of account names ----
    {"VAKOUserGetValidUserList", Built,
     [] {
         char *names[] = {const_cast<char *>("alice"), const_cast<char *>("bob"), const_cast<char *>("nobody"),
                          nullptr};
         char *out = nullptr;
         int cb = 0;
         int r = VAKOUserGetValidUserList(names, &out, &cb);
         free(out);
         return r;
     },
     -1},
    {"VAKOUserGetValidUserList2",
     Opened,
     [] {
         char *out = nullptr;
         int cb = 0;
         int r = VAKOUserGetValidUserList2("alice,@staff,bob,someone", &out, &cb, gGroupDb, gUserDb);
         free(out);
         return r;
     },
     -1,
     {},
     Close},
    {"VAKOUserModifyListConfig", [] {},
     [] {
         static const char list[] = "alice,bob,@staff";
         char *out = nullptr;
         int cb = 0;
         int r = VAKOUserModifyListConfig(list, &out, &cb, gRenames.h);
         // The growing buffer is the caller's, whatever the result.
         if (out != list)
             free(out);
         return r;
     },
     -1},
    {"VAKOUserModifySmbConf", Built, [] { return VAKOUserModifySmbConf(gRenames.h); }, -1, {vakotest::kSmbConf}},
    {"VAKOUserModifyGroup", Built, [] { return VAKOUserModifyGroup(gRenames.h); }, -1, kGroupFiles},
    {"VAKOUserPushDUserUsed", Built,
     [] {
         SzList names;
         return VAKOUserPushDUserUsed(&names.l);
     },
     -1},

    // ---- account operations ----
    {"VAKOUserGet", Built,
     [] {
         PVAKOUSER u = nullptr;
         int r = VAKOUserGet("alice", &u);
         VAKOUserFree(u);
         return r;
     },
     -1},
    {"VAKOUserGetByUID", Built,
     [] {
         PVAKOUSER u = nullptr;
         int r = VAKOUserGetByUID(1026, &u);
         VAKOUserFree(u);
         return r;
     },
     -1},
    {"VAKOUserGetSmbPasswd", Built,
     [] {
         char lm[33], nt[33];
         return VAKOUserGetSmbPasswd("alice", lm, sizeof lm, nt, sizeof nt);
     },
     -1},
    {"VAKOUserEnum", Built,
     [] {
         SzList names;
         return VAKOUserEnum(&names.l, VAKO_USER_ENUM_LOCAL);
     },
     -1},
    {"VAKOUserTotalNum", Built, [] { return VAKOUserTotalNum(VAKO_USER_ENUM_LOCAL); }, -1},
    {"VAKOUserRemainNumGet", Built, [] { return VAKOUserRemainNumGet(); }, -1},
    {"VAKOLocalUserInfoEnum", Built,
     [] {
         VAKOLOCALUSERINFO *head = nullptr;
         int r = VAKOLocalUserInfoEnum(&head);
         VAKOLocalUserInfoFree(&head);
         return r;
     },
     -1},
    {"VAKOGuestSupportGet",
     [] { WriteFile(vakotest::kInfoDefaultsFile, "# the factory settings, long enough\nguestsupport=\"no\"\n"); },
     [] { return VAKOGuestSupportGet(); }, 1},
    {"VAKOUserSetPasswd", Built,
     [] {
         PVAKOUSER u = nullptr;
         VAKOUserGet("alice", &u);
         char crypted[] = "$1$ab$a.hash.long.enough.for.the.heap", lm[] = "E52CAC67419A9A224A3B108F3FA6CB6D",
              nt[] = "8846F7EAEE8FB117AD06BDD830B7586C";
         char *c[] = {crypted}, *l[] = {lm}, *n[] = {nt};
         int r = VAKOUserSetPasswd(&u, c, l, n, 1);
         VAKOUserFree(u);
         return r;
     },
     -1, kUserFiles},
    {"UserSetBatch",
     Built,
     [] {
         VAKOUSER u = Carol();
         const char *old[] = {nullptr};
         PVAKOUSER users[] = {&u};
         return UserSetBatch(old, users, 1);
     },
     -1,
     kUserFiles,
     {},
     true},
    {"VAKOUserSet",
     Built,
     [] {
         VAKOUSER u = Carol();
         return VAKOUserSet(nullptr, &u);
     },
     -1,
     kUserFiles,
     {},
     true},
};

class Border : public testing::TestWithParam<BorderCase> {
protected:
    // The services' scripts are not waited for.
    vakotest::SleepLog sleeps_{vakotest::Pauses::Skipped};
};

TEST_P(Border, EachAllocationFailsAsTheContractSays) { vakotest::RunBorder(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Sdk, Border, testing::ValuesIn(kRows), vakotest::BorderRowName);

// The exports that cannot reach the standard library's allocator: C over
// the caller's buffers, the library's own malloc blocks and the C library.
const std::set<std::string> kNoAllocation = {
    // ---- accounts, groups and their caches ----
    // The keyed store's records, words and cursors: Berkeley DB and malloc.
    "VAKOBDbClose",
    "VAKOBDbGet",
    "VAKOBDbSet",
    "VAKOBDbDelete",
    "VAKOBDbCursorGet",
    "VAKOBDbCursorSetType",
    "VAKOBDbDataFree",
    "VAKOBDbDbtCopyout",
    "VAKOBDbDbtSet",
    "VAKOBDbWordGet",
    "VAKOBDbWordSet",
    "VAKOBDbConfSyncTimeGet",
    "VAKOBDbConfSyncTimeSet",
    "VAKOBDbDeprecatedGet",
    "VAKOBDbDeprecatedSet",
    "VAKOBDbDomainExpireTimeGet",
    "VAKOBDbDomainExpireTimeSet",
    "VAKOBDbDomainIsNeedToRebuild",
    "VAKOBDbIsNeedToRebuild",
    "VAKOListDBPack",
    "VAKOListDBSet",
    "VAKOListDBUnpack",
    // Records in blocks of their own, names checked in place.
    "VAKOUserAlloc",
    "VAKOUserFree",
    "VAKOUserDBPack",
    "VAKOUserIsValidName",
    "VAKOUserIsPasswdMD5Encrypt",
    "VAKOLocalUserInfoFree",
    "VAKOGroupFree",
    "VAKOGroupToUnixGroup",
    "VAKOGroupIsValidName",
    // Closing a set, its stamps and the dumps' fixed temporaries.
    "VAKOUserDBClose",
    "VAKOGroupDBClose",
    "UserDbConfSyncTimeSet",
    "GroupDbConfSyncTimeSet",
    "UserRenameTmpFiles",
    "UserRemoveTmpFiles",
    "GROUPIRenameTempFiles",
    "GROUPIRemoveTempFiles",
    // ---- shares ----
    "ShareDBEnumTypeMatched",
    "ShareDBSectionReset",
    "ShareEnumTypeMatch",
    "ShareFTypeGetFromConf",
    "ShareFTypeSetToConf",
    "ShareIsSataName",
    "ShareIsUsbName",
    "VAKOShareAlloc",
    "VAKOShareDBCheckExists",
    "VAKOShareDBClose",
    "VAKOShareDBCursorGet",
    "VAKOShareDBEnumInternal",
    "VAKOShareDBPack",
    "VAKOShareDBUnPack",
    "VAKOShareDBUnPackBounded",
    "VAKOShareFree",
    "VAKOShareIsValidName",
    "VAKOShareParseSectionName",
    "VAKOShareSectionTypeGet",
    // ---- the other files and the kernel ----
    // The auto-block list: the record functions over the mapped records;
    // the list's trusted open never replaces what it refuses, so that the
    // removal, its one use of strings, is never reached.
    "AutoBlockCopyIfDiffer",
    "AutoBlockCopyUnlessListed",
    "AutoBlockFileClose",
    "AutoBlockFileOpen",
    "AutoBlockIMmapProcess",
    "AutoBlockMatch",
    "AutoBlockZeroIfMatch",
    "VAKOAutoBlockServicesHup",
    // Backup set records and the count of a file's sections (a line reader).
    "VAKOBackupConfFreeAll",
    "VAKOBackupConfSectionCount",
    "VAKOLocalBkpConfAlloc",
    "VAKOLocalBkpConfArrayFree",
    "VAKOLocalBkpConfFree",
    "VAKONetBkpConfAlloc",
    "VAKONetBkpConfArrayFree",
    "VAKONetBkpConfFree",
    // The bond record.
    "VAKONetLinkAggrOptSlaveAdd",
    // The event log's header words, bytes and settings, at offsets of a descriptor.
    "LogEndOffsetGet",
    "LogEndOffsetSet",
    "LogHeaderCheck",
    "LogSetLogConf",
    "LogSizeLimitGet",
    "LogSizeLimitSet",
    "LogStartOffsetGet",
    "LogStartOffsetSet",
    "LogTell",
    "LogTempNameMake",
    "VAKOLogReadByte",
    "VAKOLogWriteByte",
    // The flash, its FIS entries and the appliance's kernel calls.
    "VAKOFISEntryDecode",
    "VAKOFISEntryEncode",
    "VAKOFISEntryGetName",
    "VAKOFISEntryInfoEncode",
    "VAKOFISEntryInfoSet",
    "VAKOFISEntryNameIs",
    "VAKOKernelCallMSysFlag",
    "VAKOKernelCallMtdBuffer",
    "VAKOKernelMSysFlagGet",
    "VAKOMTDErasePartition",
    "VAKOMTDGetDeviceInfo",
    "VAKOMTDGetPartitionInfo",
    "VAKOMTDILock",
    "VAKOMTDLockPartition",
    "VAKOMTDModifyFISEntry",
    "VAKOMTDModifyPartitionSize",
    "VAKOMTDUnlockPartition",
    // The appliance information file's RAID flag (a key read into a buffer).
    "VAKOConfSupportRaid",
    // Mail: the settings record and the date; the sending is the forked
    // child's, under its own guard, and the caller's process allocates nothing.
    "VAKOMailFillSmtpStruct",
    "VAKOMailSend",
    "VAKOMailSendEx",
    "VAKOMailSendMessage",
    "VAKOMailSettingFree",
    "VAKOMailTrimTail",
    "VAKOTimeDateGet",
    // Network: interface names, addresses and the MTU through ioctls.
    "NetIfNameCmp",
    "SLIBNetIfAddrGet",
    "VAKONetGetEthInfo",
    "VAKONetGetMTUSetting",
    "VAKONetIsIPAddr",
    "VAKONetSepIP",
    "VAKONetSetMTUEth",
    // RAID: the md ioctls, a member file's first line, the member list.
    "RaidDiskFileLineRead",
    "RaidDiskListFree",
    "RaidIoctlInfo",
    "RaidIoctlSize",
    "RaidRebuildStatusGet",
    "VAKORaidDecideStatus",
    "VAKORaidDiskListPush",
    "VAKORaidInfoFree",
    // The rsync secrets' hash and reserved names.
    "VAKONetBkpCryptPass",
    "VAKONetBkpIsReservedName",
    // The crontab line of a command (read into a buffer).
    "VAKOScheduleGet",
    // Signals to the services from their pid files.
    "DownloadSchedulerSignal",
    "VAKOScemdSignal",
    // Ciphers over the caller's buffers.
    "SaltCharFromInt",
    "SzSDKIWrapMD5Encrypt",
    "VAKOStrCrypt",
    // A malloc block grown for a keyed record.
    "VAKOCheckAndRealloc",
};

TEST(BorderCoverage, EveryExportIsARowOrCannotAllocate)
{
    vakotest::CheckBorderCoverage(reinterpret_cast<const void *>(&VAKOUserDBOpen), kRows, kNoAllocation);
}

} // namespace
