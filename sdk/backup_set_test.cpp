#include "vako/backup_set.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "vakotest/logs.h"
#include "slib/error.h"
#include "vakotest/testkit.h"

using vakotest::FileExists;
using vakotest::FileMode;
using vakotest::ReadFile;
using vakotest::WriteFile;

namespace {

constexpr char kNet[] = "/etc/vakonetbkp.conf";
constexpr char kLocal[] = "/etc/vakolocalbkp.conf";

// Key lines as the sets are written: a tab, key="value".
std::string Lines(const std::vector<std::pair<std::string, std::string>> &pairs)
{
    std::string s;
    for (const auto &[k, v] : pairs)
        s += "\t" + k + "=\"" + v + "\"\n";
    return s;
}

VAKONETBKPCONF Net(const char *name)
{
    VAKONETBKPCONF c{};
    c.szName = const_cast<char *>(name);
    c.last_bkp_status = -1;
    c.ssh = 1;
    c.blockbkp = 0;
    c.incrbkp = 1;
    c.server_type = 2;
    c.bkp_server = const_cast<char *>("nas2");
    c.bkp_ip = const_cast<char *>("10.0.0.2");
    c.bkp_auth_user = const_cast<char *>("backup");
    c.server_pass = const_cast<char *>("p1");
    c.last_bkp_time = const_cast<char *>("2010-01-02 03:04");
    c.bkp_module = const_cast<char *>("NetBackup");
    c.server_pass2 = const_cast<char *>("p2");
    c.bkp_shares = const_cast<char *>("music,photo");
    c.bkp_apps = const_cast<char *>("");
    return c;
}

// The pairs of Net() in the order of the section's string hash (31 slots,
// each key at the sum of its big-endian 4-byte groups modulo 31, the next
// free slot on a collision).
std::vector<std::pair<std::string, std::string>> NetPairs()
{
    return {{"last_bkp_time", "2010-01-02 03:04"},
            {"blockbkp", "0"},
            {"server_pass2", "p2"},
            {"bkp_apps", ""},
            {"server_type", "2"},
            {"last_bkp_status", "-1"},
            {"bkp_auth_user", "backup"},
            {"bkp_module", "NetBackup"},
            {"bkp_shares", "music,photo"},
            {"ssh", "1"},
            {"server_pass", "p1"},
            {"bkp_ip", "10.0.0.2"},
            {"bkp_server", "nas2"},
            {"incrbkp", "1"}};
}

VAKOLOCALBKPCONF Local(const char *name, int32_t destType)
{
    VAKOLOCALBKPCONF c{};
    c.szName = const_cast<char *>(name);
    c.dest_type = destType;
    c.incrbkp = 0;
    c.dest_id = const_cast<char *>("usb-1234");
    c.dest_share = const_cast<char *>("usbbackup");
    c.bkp_shares = const_cast<char *>("photo");
    c.bkp_apps = nullptr;
    c.last_bkp_time = const_cast<char *>("2010/01/02 03:04");
    c.last_bkp_result = nullptr;
    return c;
}

std::string LocalText(const std::string &name, const std::string &destWord)
{
    return "[" + name + "]\n" +
           Lines({{"last_bkp_time", "2010/01/02 03:04"},
                  {"dest_id", "usb-1234"},
                  {"dest_share", "usbbackup"},
                  {"last_bkp_result", ""},
                  {"bkp_apps", ""},
                  {"bkp_shares", "photo"},
                  {"dest_type", destWord},
                  {"incrbkp", "0"}});
}

// Reads every set of the type; the records are freed by the caller.
struct Sets {
    explicit Sets(int type) : type(type) { n = VAKOBackupConfGetAll(&arr, type); }
    ~Sets() { VAKOBackupConfFreeAll(arr, n, type); }
    Sets(const Sets &) = delete;
    Sets &operator=(const Sets &) = delete;
    VAKONETBKPCONF *net(int i) const { return static_cast<VAKONETBKPCONF *>(arr[i]); }
    VAKOLOCALBKPCONF *local(int i) const { return static_cast<VAKOLOCALBKPCONF *>(arr[i]); }
    int type;
    void **arr = nullptr;
    int n = -1;
};

// ---- Reading ----

TEST(BackupConfGetAll, SectionsBecomeRecordsWithDefaults)
{
    WriteFile(kNet, "\n[a]\n[b]\n" + Lines(NetPairs()) + "\tfuture_key=\"x\"\n");
    Sets sets(BACKUP_TYPE_NETBKP);
    ASSERT_EQ(sets.n, 2);
    const VAKONETBKPCONF *a = sets.net(0), *b = sets.net(1);
    EXPECT_STREQ(a->szName, "a");
    EXPECT_EQ(a->last_bkp_status, -1);
    EXPECT_EQ(a->ssh, 0);
    EXPECT_EQ(a->blockbkp, 0);
    EXPECT_EQ(a->incrbkp, 0);
    EXPECT_EQ(a->server_type, 1);
    for (const char *s : {a->bkp_server, a->bkp_ip, a->bkp_auth_user, a->server_pass, a->last_bkp_time, a->bkp_module,
                          a->server_pass2, a->bkp_shares, a->bkp_apps})
        EXPECT_STREQ(s, "");
    EXPECT_STREQ(b->szName, "b");
    EXPECT_EQ(b->last_bkp_status, -1);
    EXPECT_EQ(b->ssh, 1);
    EXPECT_EQ(b->incrbkp, 1);
    EXPECT_EQ(b->server_type, 2);
    EXPECT_STREQ(b->bkp_server, "nas2");
    EXPECT_STREQ(b->bkp_ip, "10.0.0.2");
    EXPECT_STREQ(b->bkp_auth_user, "backup");
    EXPECT_STREQ(b->server_pass, "p1");
    EXPECT_STREQ(b->last_bkp_time, "2010-01-02 03:04");
    EXPECT_STREQ(b->bkp_module, "NetBackup");
    EXPECT_STREQ(b->server_pass2, "p2");
    EXPECT_STREQ(b->bkp_shares, "music,photo");
    EXPECT_STREQ(b->bkp_apps, "");
}

TEST(BackupConfGetAll, IntegersAreLeadingDecimalNumbers)
{
    struct Case {
        const char *line;
        int32_t ssh;
    } cases[] = {
        {"ssh = 1", 1},
        {"ssh = yes", 0},
        {"ssh=\"12abc\"", 12},
        {"ssh = -7", -7},
        {"ssh = +3", 3},
        {"ssh = \"\"", 0},
        {"ssh = \" 5\"", 5},
        {"ssh = 99999999999", INT_MAX},
        {"ssh = -99999999999", INT_MIN},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        WriteFile(kNet, std::string("[s]\n") + c.line + "\n");
        Sets sets(BACKUP_TYPE_NETBKP);
        ASSERT_EQ(sets.n, 1);
        EXPECT_EQ(sets.net(0)->ssh, c.ssh);
    }
}

TEST(BackupConfGetAll, OddLinesAreSkippedOrIgnored)
{
    std::string longName(300, 'L');
    WriteFile(kNet, "ssh=1\n[]\nssh=2\n[s]\n  bkp_ip =  \"1.2.3.4\"  \nnot a pair\n=5\n\n"
                    "bkp_ip=5.6.7.8\n[" +
                        longName + "]  \nbkp_module=m\n");
    vakotest::SyslogClear();
    Sets sets(BACKUP_TYPE_NETBKP);
    ASSERT_EQ(sets.n, 2);
    EXPECT_STREQ(sets.net(0)->szName, "s");
    EXPECT_STREQ(sets.net(0)->bkp_ip, "5.6.7.8");          // the later line of a key wins
    EXPECT_EQ(sets.net(0)->ssh, 0);                        // lines before the first set and in "[]" are no set's
    EXPECT_EQ(std::string(sets.net(1)->szName), longName); // whole: cut short, it would be another set's name
    EXPECT_STREQ(sets.net(1)->bkp_module, "m");
    EXPECT_TRUE(vakotest::SyslogMatches("backup_conf_get_all:{L} SLIBStrSepPair [not a pair] failed!! errno=[0x0D00]"));
    EXPECT_TRUE(vakotest::SyslogMatches("backup_conf_get_all:{L} SLIBStrSepPair [=5] failed!! errno=[0x0D00]"));
}

TEST(BackupConfGetAll, ASetOfALongerNameIsNeverSavedAsAnother)
{
    // Read and saved again, as the update's migration does with every set:
    // the long name is refused, and no second set is made.
    const std::string longName(300, 'L');
    const std::string before = "[" + longName + "]\n\tbkp_server=\"nas2\"\n[s]\n\tssh=\"1\"\n";
    WriteFile(kNet, before);
    {
        Sets sets(BACKUP_TYPE_NETBKP);
        ASSERT_EQ(sets.n, 2);
        for (int i = 0; i < sets.n; i++)
            VAKONetBkpConfSetOne(sets.net(i)->szName, sets.net(i));
    }
    std::string after = ReadFile(kNet);
    EXPECT_EQ(after.substr(0, before.find("[s]")), before.substr(0, before.find("[s]")));
    Sets sets(BACKUP_TYPE_NETBKP);
    ASSERT_EQ(sets.n, 2);
    EXPECT_EQ(std::string(sets.net(0)->szName), longName);
    EXPECT_STREQ(sets.net(0)->bkp_server, "nas2");
    EXPECT_STREQ(sets.net(1)->szName, "s");
}

TEST(BackupConfGetAll, LocalDestinationWords)
{
    struct Case {
        const char *word;
        int32_t type;
    } cases[] = {{"internal", 0}, {"usb", 1},  {"esata", 2}, {"usbbkp", 3},
                 {"esatabkp", 4}, {"USB", -1}, {"", -1},     {"7", -1}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.word);
        WriteFile(kLocal, std::string("[s]\n\tdest_type=\"") + c.word + "\"\n\tincrbkp=\"1\"\n");
        Sets sets(BACKUP_TYPE_LOCALBKP);
        ASSERT_EQ(sets.n, 1);
        EXPECT_EQ(sets.local(0)->dest_type, c.type);
        EXPECT_EQ(sets.local(0)->incrbkp, 1);
    }
    WriteFile(kLocal, "[s]\n");
    Sets sets(BACKUP_TYPE_LOCALBKP);
    ASSERT_EQ(sets.n, 1);
    EXPECT_EQ(sets.local(0)->dest_type, -1);
    EXPECT_STREQ(sets.local(0)->dest_id, "");
    EXPECT_STREQ(sets.local(0)->last_bkp_result, "");
}

TEST(BackupConfGetAll, MissingFileHasNoSets)
{
    void **arr = reinterpret_cast<void **>(&arr);
    EXPECT_EQ(VAKOBackupConfGetAll(&arr, BACKUP_TYPE_LOCALBKP), 0);
    EXPECT_EQ(arr, nullptr);
    EXPECT_EQ(VAKOBackupConfSectionCount(kLocal), 0);
    EXPECT_EQ(VAKOBackupConfGetAll(nullptr, 0), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_STREQ(SLIBErrorGetFile(), "backup_conf_get_all");
}

TEST(BackupConfGetAll, UnreadableFileFails)
{
    // A directory opens but gives a read error: no set may pass for read.
    vakotest::MakeDirs(kNet);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOBackupConfSectionCount(kNet), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0A00);
    EXPECT_STREQ(SLIBErrorGetFile(), "backup_conf_section_count");
    vakotest::SyslogClear();
    void **arr = reinterpret_cast<void **>(&arr);
    EXPECT_EQ(VAKOBackupConfGetAll(&arr, BACKUP_TYPE_NETBKP), -1);
    EXPECT_EQ(arr, nullptr);
    EXPECT_TRUE(
        vakotest::SyslogMatches("backup_conf_get_all:{L} VAKOBackupConfSectionCount() failed!! errno=[0x0A00]"));
}

TEST(BackupConfSectionCount, CountsHeaderLines)
{
    WriteFile(kLocal, "[a]\n[b] x\n [c]\n[d]  \t\n[]\nk=[v]\n[e");
    EXPECT_EQ(VAKOBackupConfSectionCount(kLocal), 3);
    EXPECT_EQ(VAKOBackupConfSectionCount(nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_STREQ(SLIBErrorGetFile(), "backup_conf_section_count");
}

TEST(BackupConfAlloc, RefusesMissingNameOrPairs)
{
    PSLIBSZHASH h = SLIBSzHashAlloc(512);
    ASSERT_NE(h, nullptr);
    for (const char *name : {static_cast<const char *>(nullptr), ""}) {
        SLIBErrorSet(0);
        EXPECT_EQ(VAKONetBkpConfAlloc(name, h), nullptr);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        EXPECT_STREQ(SLIBErrorGetFile(), "netbkp_conf_alloc");
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOLocalBkpConfAlloc(name, h), nullptr);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        EXPECT_STREQ(SLIBErrorGetFile(), "localbkp_conf_alloc");
    }
    EXPECT_EQ(VAKONetBkpConfAlloc("s", nullptr), nullptr);
    EXPECT_EQ(VAKOLocalBkpConfAlloc("s", nullptr), nullptr);
    SLIBSzHashFree(h);
}

TEST(BackupConfFreeAll, BadTypeIsLoggedAndFreesNothing)
{
    void *arr[1] = {nullptr};
    vakotest::SyslogClear();
    VAKOBackupConfFreeAll(arr, 1, 2); // a stack array: freeing it would crash
    EXPECT_TRUE(vakotest::SyslogMatches("backup_conf_free_all:{L} Failed to free backup conf struct due to bad "
                                        "backup type [2]!"));
    VAKOBackupConfFreeAll(nullptr, 3, 0);
    VAKOBackupConfFreeAll(arr, 0, 0);
    VAKONetBkpConfArrayFree(nullptr, 1);
    VAKOLocalBkpConfArrayFree(nullptr, 1);
    VAKONetBkpConfFree(nullptr);
    VAKOLocalBkpConfFree(nullptr);
}

// ---- Writing ----

TEST(NetBkpConfSetOne, FirstSaveCreatesThePrivateFile)
{
    mode_t old = umask(0);
    VAKONETBKPCONF daily = Net("Daily"), weekly = Net("Weekly");
    weekly.last_bkp_status = 12;
    EXPECT_EQ(VAKONetBkpConfSetOne(nullptr, &daily), 0);
    EXPECT_EQ(VAKONetBkpConfSetOne("", &weekly), 0);
    umask(old);
    std::vector<std::pair<std::string, std::string>> weeklyPairs = NetPairs();
    weeklyPairs[5].second = "12";
    EXPECT_EQ(ReadFile(kNet), "\n[Daily]\n" + Lines(NetPairs()) + "[Weekly]\n" + Lines(weeklyPairs));
    EXPECT_EQ(FileMode(kNet), 0600u); // server passwords, whatever the umask

    Sets sets(BACKUP_TYPE_NETBKP);
    ASSERT_EQ(sets.n, 2);
    EXPECT_EQ(sets.net(0)->last_bkp_status, -1);
    EXPECT_EQ(sets.net(1)->last_bkp_status, 12);
}

// A settings file, no program: 0644, or tighter as the umask says.
TEST(LocalBkpConfSetOne, FirstSaveCreatesTheFile)
{
    const std::pair<mode_t, unsigned> cases[] = {{022, 0644u}, {0, 0644u}, {077, 0600u}};
    for (auto [mask, mode] : cases) {
        SCOPED_TRACE(mask);
        vakotest::RemoveFile(kLocal);
        mode_t old = umask(mask);
        VAKOLOCALBKPCONF set = Local("MyBackupSet", 3);
        EXPECT_EQ(VAKOLocalBkpConfSetOne(nullptr, &set), 0);
        umask(old);
        EXPECT_EQ(ReadFile(kLocal), "\n" + LocalText("MyBackupSet", "usbbkp"));
        EXPECT_EQ(FileMode(kLocal), mode);
    }
}

TEST(LocalBkpConfSetOne, UnknownDestinationIsWrittenEmpty)
{
    WriteFile(kLocal, "");
    VAKOLOCALBKPCONF set = Local("s", 7);
    EXPECT_EQ(VAKOLocalBkpConfSetOne(nullptr, &set), 0);
    EXPECT_EQ(ReadFile(kLocal), "\n" + LocalText("s", ""));
    Sets sets(BACKUP_TYPE_LOCALBKP);
    ASSERT_EQ(sets.n, 1);
    EXPECT_EQ(sets.local(0)->dest_type, -1);
}

TEST(NetBkpConfSetOne, ReplaceKeepsUnknownKeysAndComments)
{
    struct Case {
        const char *newName;
    } cases[] = {{"Daily"}, {"Nightly"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.newName);
        WriteFile(kNet,
                  "\n[Daily]\n\tbkp_server=\"old\"\n\tbkp_ip=\"1.2.3.4\"\n\tfuture_key=\"kept\"\n# note\n\n"
                  "[Other]\n\tssh=\"1\"\n",
                  0640);
        VAKONETBKPCONF set = Net(c.newName);
        set.bkp_ip = nullptr; // keeps its old value
        ASSERT_EQ(VAKONetBkpConfSetOne("Daily", &set), 0);
        std::vector<std::pair<std::string, std::string>> pairs = NetPairs();
        pairs[11].second = "1.2.3.4";
        pairs.insert(pairs.begin(), {"future_key", "kept"});
        EXPECT_EQ(ReadFile(kNet),
                  std::string("\n[") + c.newName + "]\n" + Lines(pairs) + "# note\n[Other]\n\tssh=\"1\"\n");
        EXPECT_EQ(FileMode(kNet), 0640u);
    }
}

TEST(NetBkpConfSetOne, SectionWithoutKeysIsReplacedInPlace)
{
    const std::string rest = "[b]\n\tssh=\"1\"\n";
    WriteFile(kNet, "\n[a]\n" + rest);
    VAKONETBKPCONF set = Net("a");
    ASSERT_EQ(VAKONetBkpConfSetOne("a", &set), 0);
    EXPECT_EQ(ReadFile(kNet), "\n[a]\n" + Lines(NetPairs()) + rest);

    WriteFile(kLocal, "[a]\n[b]\n");
    VAKOLOCALBKPCONF local = Local("a", 0);
    ASSERT_EQ(VAKOLocalBkpConfSetOne("a", &local), 0);
    EXPECT_EQ(ReadFile(kLocal), LocalText("a", "internal") + "[b]\n");
}

TEST(NetBkpConfSetOne, OldNameOfNoSectionAppends)
{
    WriteFile(kNet, "[a]\n\tssh=\"0\"");
    VAKONETBKPCONF set = Net("n");
    ASSERT_EQ(VAKONetBkpConfSetOne("absent", &set), 0);
    EXPECT_EQ(ReadFile(kNet), "[a]\n\tssh=\"0\"\n[n]\n" + Lines(NetPairs()));
}

TEST(NetBkpConfSetOne, OldNameWithoutFileFails)
{
    VAKONETBKPCONF set = Net("n");
    EXPECT_EQ(VAKONetBkpConfSetOne("n", &set), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
    EXPECT_FALSE(FileExists(kNet));
}

TEST(NetBkpConfSetOne, NewSetOfAnExistingNameFails)
{
    const std::string before = "\n[Daily]\n\tssh=\"0\"\n";
    WriteFile(kNet, before);
    vakotest::SyslogClear();
    VAKONETBKPCONF set = Net("Daily");
    EXPECT_EQ(VAKONetBkpConfSetOne(nullptr, &set), -1);
    EXPECT_EQ(ReadFile(kNet), before);
    EXPECT_TRUE(vakotest::SyslogMatches("netbkp_conf_set_one:{L} ErrSLIBFileAddSection() failed!! "
                                        "szFile=[/etc/vakonetbkp.conf], section=[Daily], errno=[0x{*}]"));
}

TEST(NetBkpConfSetOne, RenameOntoAnotherSetFails)
{
    const std::string before = "[a]\n\tssh=\"0\"\n[b]\n\tssh=\"1\"\n";
    WriteFile(kNet, before);
    vakotest::SyslogClear();
    VAKONETBKPCONF set = Net("b");
    EXPECT_EQ(VAKONetBkpConfSetOne("a", &set), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(ReadFile(kNet), before);
    EXPECT_TRUE(vakotest::SyslogMatches("netbkp_conf_set_one:{L} ErrSLIBFileSetSection() failed!! "
                                        "szFile=[/etc/vakonetbkp.conf], old_section=[a], new_section=[b], "
                                        "errno=[0x0D00]"));
}

TEST(BackupConfSetOne, RefusesNamesAndValuesThatWouldBreakLines)
{
    const std::string before = "[a]\n\tssh=\"0\"\n";
    const std::string name194(194, 'n'), name195(195, 'n');
    struct Case {
        const char *old;
        const char *name;
        const char *value;
    } cases[] = {
        {nullptr, "x\ny", "v"},
        {nullptr, "x\ry", "v"},
        {nullptr, "", "v"},
        {nullptr, nullptr, "v"},
        {nullptr, name195.c_str(), "v"},
        {nullptr, "x", "v\n[evil]"},
        {nullptr, "x", "v\r"},
        {"a\nb", "x", "v"},
        {"a", "a\n", "v"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name ? c.name : "NULL");
        WriteFile(kNet, before);
        WriteFile(kLocal, before);
        VAKONETBKPCONF net = Net(c.name);
        net.server_pass = const_cast<char *>(c.value);
        SLIBErrorSet(0);
        EXPECT_EQ(VAKONetBkpConfSetOne(c.old, &net), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        EXPECT_STREQ(SLIBErrorGetFile(), "netbkp_conf_set_one");
        VAKOLOCALBKPCONF local = Local(c.name, 1);
        local.last_bkp_result = const_cast<char *>(c.value);
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOLocalBkpConfSetOne(c.old, &local), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        EXPECT_STREQ(SLIBErrorGetFile(), "localbkp_conf_set_one");
        EXPECT_EQ(ReadFile(kNet), before);
        EXPECT_EQ(ReadFile(kLocal), before);
    }
    SLIBErrorSet(0);
    EXPECT_EQ(VAKONetBkpConfSetOne(nullptr, nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(VAKOLocalBkpConfSetOne("a", nullptr), -1);

    // The longest name that reads back whole; '=', ':', ']' and '%' are plain text.
    for (const std::string &name : {name194, std::string("a=b:c]d%s")}) {
        VAKONETBKPCONF set = Net(name.c_str());
        set.server_pass = const_cast<char *>("x=y:z%n\"q\"");
        ASSERT_EQ(VAKONetBkpConfSetOne(nullptr, &set), 0);
        Sets sets(BACKUP_TYPE_NETBKP);
        ASSERT_EQ(sets.n, 2);
        EXPECT_EQ(std::string(sets.net(1)->szName), name);
        EXPECT_STREQ(sets.net(1)->server_pass, "x=y:z%n\"q\"");
        ASSERT_EQ(VAKONetBkpConfSetOne(name.c_str(), &set), 0); // found again by its name
        WriteFile(kNet, before);
    }
}

} // namespace
