#include "vako/ftp_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "vakotest/logs.h"
#include "slib/error.h"
#include "vakotest/testkit.h"

using vakotest::FileExists;
using vakotest::FileMode;
using vakotest::ReadFile;
using vakotest::WriteFile;

namespace {

constexpr char kChroot[] = "/usr/vako/etc/ftpchroot.conf";
constexpr char kChrootDir[] = "/usr/vako/etc";
constexpr char kDeny[] = "/etc/hosts.deny";
constexpr char kDenyTmp[] = "/etc/hosts.deny.tmp";
constexpr char kInfo[] = "/etc/vakoinfo.conf";
constexpr uid_t kNobody = 65534;

// A string list owned by the test.
struct List {
    explicit List(std::initializer_list<const char *> items, int type = SLIB_SZLIST_UNSORTED)
    {
        p = PslSLIBSzListAlloc(1024);
        p->type = type;
        for (const char *s : items)
            SLIBSzListPush(&p, s);
    }
    ~List() { SLIBSzListFree(p); }
    List(const List &) = delete;
    List &operator=(const List &) = delete;
    std::vector<std::string> Items() const
    {
        std::vector<std::string> v;
        for (int i = 0; i < p->nItem; i++)
            v.emplace_back(SLIBSzListGet(p, i));
        return v;
    }
    PSLIBSZLIST p;
};

using Names = std::vector<std::string>;

// Files left in the list's directory besides the list itself.
Names Leftovers(const char *dir, const std::string &prefix)
{
    Names left;
    for (const std::string &name : vakotest::ListDir(dir))
        if (name.compare(0, prefix.size(), prefix) == 0 && name != prefix)
            left.push_back(name);
    return left;
}

// fn run as an unprivileged user in a child: its result.
int AsNobody(const std::function<int()> &fn)
{
    return vakotest::WaitChild(vakotest::ForkChild([&] {
        if (setgid(kNobody) != 0 || setuid(kNobody) != 0)
            return 99;
        return fn();
    }));
}

// ---- Chroot list ----

TEST(FTPAddChrootUser, AddsMissingNamesAndKeepsTheMode)
{
    WriteFile(kChroot, "bob\n#comment\n\ndave", 0604);
    List users({"Bob", "carol", "DAVE", "erin"});
    ASSERT_EQ(VAKOFTPAddChrootUser(users.p), 0);
    EXPECT_EQ(ReadFile(kChroot), "bob\ndave\ncarol\nerin\n");
    EXPECT_EQ(users.Items(), (Names{"carol", "erin"}));
    EXPECT_EQ(FileMode(kChroot), 0604u);
    EXPECT_EQ(Leftovers(kChrootDir, "ftpchroot.conf"), Names{});
}

TEST(FTPAddChrootUser, CaselessSortedListIsSearchedToo)
{
    WriteFile(kChroot, "bob\n");
    List users({"carol", "BOB"}, SLIB_SZLIST_SORT_CASE);
    ASSERT_EQ(VAKOFTPAddChrootUser(users.p), 0);
    EXPECT_EQ(ReadFile(kChroot), "bob\ncarol\n");
    EXPECT_EQ(users.Items(), Names{"carol"});
}

TEST(FTPAddChrootUser, MissingListIsCreatedWithTheNames)
{
    mode_t old = umask(022);
    List users({"x", "CORP\\y"});
    ASSERT_EQ(VAKOFTPAddChrootUser(users.p), 0);
    umask(old);
    EXPECT_EQ(ReadFile(kChroot), "x\nCORP\\y\n");
    EXPECT_EQ(FileMode(kChroot), 0644u);
    EXPECT_EQ(users.Items(), (Names{"x", "CORP\\y"}));
    EXPECT_EQ(VAKOFTPAddChrootUser(nullptr), -1);
}

TEST(FTPAddChrootUser, RefusesNamesThatAreNoLine)
{
    for (const char *bad : {"a\nb", "a\r", "", "#a"}) {
        SCOPED_TRACE(bad);
        WriteFile(kChroot, "bob\n");
        List users({"ok", bad});
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOFTPAddChrootUser(users.p), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        EXPECT_STREQ(SLIBErrorGetFile(), "ftputil_chroot_user_add");
        EXPECT_EQ(ReadFile(kChroot), "bob\n");
        EXPECT_EQ(users.Items(), (Names{"ok", bad}));
        vakotest::RemoveFile(kChroot);
        EXPECT_EQ(VAKOFTPAddChrootUser(users.p), -1);
        EXPECT_FALSE(FileExists(kChroot));
    }
}

TEST(FTPDeleteChrootUser, RemovesNamesInAnyCase)
{
    WriteFile(kChroot, "alice\n#c\nBob\nbob\ncarol", 0640);
    List users({"BOB", "zed"});
    ASSERT_EQ(VAKOFTPDeleteChrootUser(users.p), 0);
    EXPECT_EQ(ReadFile(kChroot), "alice\ncarol\n");
    EXPECT_EQ(FileMode(kChroot), 0640u);
    EXPECT_EQ(users.Items(), (Names{"BOB", "zed"}));
    EXPECT_EQ(Leftovers(kChrootDir, "ftpchroot.conf"), Names{});

    vakotest::RemoveFile(kChroot);
    EXPECT_EQ(VAKOFTPDeleteChrootUser(users.p), 0);
    EXPECT_FALSE(FileExists(kChroot));
    EXPECT_EQ(VAKOFTPDeleteChrootUser(nullptr), -1);
}

TEST(FTPChrootList, UnreadableListIsAnErrorAndStays)
{
    // Writable but not readable: only a missing list may be made anew.
    WriteFile(kChroot, "bob\n", 0222);
    vakotest::SyslogClear();
    auto outcome = [](int r) { return r == -1 && SLIBErrorGet() == 0x0900 ? 0 : 1; };
    EXPECT_EQ(AsNobody([&] {
                  List users({"carol"});
                  return outcome(VAKOFTPAddChrootUser(users.p));
              }),
              0);
    EXPECT_EQ(AsNobody([&] {
                  List users({"bob"});
                  return outcome(VAKOFTPDeleteChrootUser(users.p));
              }),
              0);
    EXPECT_EQ(AsNobody([&] {
                  List list({});
                  return outcome(VAKOFTPEnumChrootUser(&list.p));
              }),
              0);
    EXPECT_EQ(ReadFile(kChroot), "bob\n");
    EXPECT_TRUE(vakotest::SyslogMatches("VAKOFTPDeleteChrootUser({L}) fopen failed!! err=[Permission denied]\n"));
    EXPECT_TRUE(vakotest::SyslogMatches("ftputil_chroot_user_enum({L}) fopen failed!! err=[Permission denied]\n"));
}

TEST(FTPChrootList, ReadErrorKeepsTheOldListAndNoTemporary)
{
    // A directory opens but cannot be read.
    vakotest::MakeDirs(kChroot);
    List users({"bob"});
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOFTPAddChrootUser(users.p), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0A00);
    EXPECT_STREQ(SLIBErrorGetFile(), "ftputil_chroot_user_add");
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOFTPDeleteChrootUser(users.p), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0A00);
    EXPECT_STREQ(SLIBErrorGetFile(), "ftputil_chroot_user_delete");
    EXPECT_TRUE(vakotest::IsDirectory(kChroot));
    EXPECT_EQ(users.Items(), Names{"bob"});
    EXPECT_EQ(Leftovers(kChrootDir, "ftpchroot.conf"), Names{});
}

TEST(FTPChrootList, FailedRenameRemovesTheTemporary)
{
    // In a sticky directory another user cannot replace root's list.
    WriteFile(kChroot, "bob\n", 0644);
    ASSERT_EQ(chmod(kChrootDir, 01777), 0);
    EXPECT_EQ(AsNobody([] {
                  List users({"carol"});
                  int r = VAKOFTPAddChrootUser(users.p);
                  return r == -1 && SLIBErrorGet() == 0x2800 && users.p->nItem == 1 ? 0 : 1;
              }),
              0);
    EXPECT_EQ(AsNobody([] {
                  List users({"bob"});
                  return VAKOFTPDeleteChrootUser(users.p) == -1 && SLIBErrorGet() == 0x2800 ? 0 : 1;
              }),
              0);
    EXPECT_EQ(ReadFile(kChroot), "bob\n");
    EXPECT_EQ(Leftovers(kChrootDir, "ftpchroot.conf"), Names{});
}

TEST(FTPEnumChrootUser, LocalNamesSortedThenDomainNamesWhenHomesAreOn)
{
    WriteFile(kChroot, "carol\nBob\n#x\n\nalice\ncorp\\Zed\nCORP\\ann\nDave");
    struct Case {
        const char *info;
        Names names;
    } cases[] = {
        {"", {"alice", "Bob", "carol", "Dave"}},
        {"enableduserhome=\"no\"\n", {"alice", "Bob", "carol", "Dave"}},
        {"enableduserhome=\"YES\"\n", {"alice", "Bob", "carol", "Dave", "CORP\\ann", "corp\\Zed"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.info);
        WriteFile(kInfo, c.info);
        List list({});
        EXPECT_EQ(VAKOFTPEnumChrootUser(&list.p), static_cast<int>(c.names.size()));
        EXPECT_EQ(list.Items(), c.names);
        EXPECT_EQ(list.p->type, SLIB_SZLIST_UNSORTED);
    }
    // A domain name the caller's list holds already is not added again.
    WriteFile(kInfo, "enableduserhome=yes\n");
    List list({"CORP\\ann"}, SLIB_SZLIST_SORT_CASE);
    EXPECT_EQ(VAKOFTPEnumChrootUser(&list.p), 6);
    EXPECT_EQ(list.Items(), (Names{"alice", "Bob", "carol", "CORP\\ann", "Dave", "corp\\Zed"}));
}

TEST(FTPEnumChrootUser, MissingListAndBadArguments)
{
    List list({"x"});
    EXPECT_EQ(VAKOFTPEnumChrootUser(&list.p), 0);
    EXPECT_EQ(VAKOFTPEnumChrootUser(nullptr), -1);
    PSLIBSZLIST none = nullptr;
    EXPECT_EQ(VAKOFTPEnumChrootUser(&none), -1);
}

// ---- Deny list ----

TEST(DenyIPEnum, ListsIPv4ClientFields)
{
    const std::string longLine = "in.ftpd: " + std::string(1100, 'h') + " x: 10.0.0.9\n";
    WriteFile(kDeny, "# ALL: 10.0.0.5\nALL: 10.0.0.1\nsshd: 10.0.0.2 : deny\nALL: 10.0.0.0/8\n"
                     "in.ftpd: ALL\n\nno colon here\n  ALL :\t10.0.0.3  \n" +
                         longLine + "ALL: 10.0.0.4:x\nALL: 127.0.0.1\nALL: 10.0.0.6");
    List list({"keep"});
    EXPECT_EQ(ConnSecurityDenyIPEnum(&list.p), 6);
    EXPECT_EQ(list.Items(), (Names{"keep", "10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.6"}));
}

TEST(DenyIPEnum, MissingFileFails)
{
    List list({});
    vakotest::SyslogClear();
    EXPECT_EQ(ConnSecurityDenyIPEnum(&list.p), -1);
    EXPECT_TRUE(vakotest::SyslogMatches("ftputil_conn_security_deny_ip_enum: ConnSecurityDenyIPEnum({L}) - "
                                        "fopen(/etc/hosts.deny) failed!! err=[No such file or directory]\n"));
    EXPECT_EQ(ConnSecurityDenyIPEnum(nullptr), -1);
    WriteFile(kDeny, "in.ftpd: ALL\n");
    PSLIBSZLIST none = nullptr;
    EXPECT_EQ(ConnSecurityDenyIPEnum(&none), -1);
}

TEST(DenyIPDelete, DropsEveryLineOfTheAddresses)
{
    WriteFile(kDeny,
              "# ALL: 10.0.0.1\n  #ALL: 10.0.0.1\nALL: 10.0.0.1\nsshd : 10.0.0.2 : deny\n"
              "ALL: 10.0.0.10\nno colon 10.0.0.1\n\nin.ftpd:10.0.0.1\n  ALL:  10.0.0.3  \nALL: 10.0.0.1",
              0640);
    List del({"10.0.0.1", "10.0.0.2"});
    EXPECT_EQ(ConnSecurityDenyIPDelete(del.p), 4);
    EXPECT_EQ(ReadFile(kDeny), "# ALL: 10.0.0.1\n  #ALL: 10.0.0.1\nALL: 10.0.0.10\nno colon 10.0.0.1\n\n"
                               "  ALL:  10.0.0.3  \n");
    EXPECT_EQ(FileMode(kDeny), 0640u);
    EXPECT_FALSE(FileExists(kDenyTmp));
}

TEST(DenyIPDelete, NothingToDropLeavesTheFileAlone)
{
    const std::string text = "ALL: 10.0.0.1\n";
    WriteFile(kDeny, text, 0600);
    struct stat before;
    ASSERT_EQ(stat(kDeny, &before), 0);
    List del({"10.0.0.9"});
    EXPECT_EQ(ConnSecurityDenyIPDelete(del.p), 0);
    struct stat after;
    ASSERT_EQ(stat(kDeny, &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(ReadFile(kDeny), text);
    EXPECT_FALSE(FileExists(kDenyTmp));
    List none({});
    EXPECT_EQ(ConnSecurityDenyIPDelete(none.p), 0);
}

TEST(DenyIPDelete, FailuresLeaveNoTemporary)
{
    List del({"10.0.0.1"});
    SLIBErrorSet(0);
    EXPECT_EQ(ConnSecurityDenyIPDelete(nullptr), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_STREQ(SLIBErrorGetFile(), "ftputil_conn_security_deny_ip_delete");

    vakotest::SyslogClear();
    EXPECT_EQ(ConnSecurityDenyIPDelete(del.p), -1); // missing
    EXPECT_EQ(SLIBErrorGet(), 0x0900);
    EXPECT_STREQ(SLIBErrorGetFile(), "ftputil_conn_security_deny_ip_delete");
    EXPECT_TRUE(vakotest::SyslogMatches("ftputil_conn_security_deny_ip_delete:{L} NetBackupIModifyConf(&pshHashDel) "
                                        "failed"));

    vakotest::MakeDirs(kDeny); // opens, but cannot be read
    EXPECT_EQ(ConnSecurityDenyIPDelete(del.p), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0A00);
    EXPECT_TRUE(vakotest::IsDirectory(kDeny));
    EXPECT_FALSE(FileExists(kDenyTmp));
}

} // namespace
