#include "vako/user_op.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "slib/error.h"
#include "slib/lock.h"
#include "vakotest/accounts.h"
#include "vakotest/files.h"
#include "vakotest/lockhold.h"
#include "vakotest/paths.h"
#include "vakotest/run.h"
#include "vakotest/scemd.h"
#include "vakotest/userdb.h"

using userdb::UserPtr;
using vakotest::AccountFiles;

namespace {

constexpr char kLmPassword[] = "E52CAC67419A9A224A3B108F3FA6CB6D";
constexpr char kNtPassword[] = "8846F7EAEE8FB117AD06BDD830B7586C";

// The user fixture with a domain account loaded.
void WriteAccounts(bool guestSupport = true)
{
    vakotest::WriteAccountFiles(userdb::Fixture());
    vakotest::WriteFile(vakotest::kSmbConf, "[global]\nworkgroup=CORP\nsecurity=domain\n");
    vakotest::WriteFile(vakotest::kInfoFile, "runsamba=\"yes\"\n");
    vakotest::WriteFile(vakotest::kDomainUserFile, "CORP\\bob:1\n");
    vakotest::WriteFile(vakotest::kInfoDefaultsFile,
                        guestSupport ? "maxaccounts=\"2048\"\n" : "maxaccounts=\"2048\"\nguestsupport=\"no\"\n");
}

UserPtr Get(const char *name)
{
    PVAKOUSER u = nullptr;
    if (VAKOUserGet(name, &u) != 0) {
        VAKOUserFree(u);
        return nullptr;
    }
    return UserPtr(u);
}

std::vector<std::string> Enum(int flags)
{
    PSLIBSZLIST list = PslSLIBSzListAlloc(512);
    std::vector<std::string> names;
    int n = VAKOUserEnum(&list, flags);
    for (int i = 0; i < list->nItem; i++)
        names.emplace_back(SLIBSzListGet(list, i));
    SLIBSzListFree(list);
    EXPECT_EQ(n, static_cast<int>(names.size()));
    return names;
}

TEST(UserGet, ByNameAndByUid)
{
    WriteAccounts();
    UserPtr admin = Get("Admin");
    ASSERT_NE(admin, nullptr);
    EXPECT_STREQ(admin->szName, "admin");
    EXPECT_EQ(admin->privilege, 31);
    UserPtr domain = Get("corp\\BOB");
    ASSERT_NE(domain, nullptr);
    EXPECT_STREQ(domain->szName, "CORP\\bob");

    PVAKOUSER u = nullptr;
    ASSERT_EQ(VAKOUserGetByUID(1026, &u), 0);
    UserPtr alice(u);
    EXPECT_STREQ(alice->szName, "alice");

    const struct {
        std::string name;
        int code;
    } missing[] = {{"ghost", 0x1D00}, {std::string(600, 'a'), 0x1D00}};
    for (const auto &c : missing) {
        SLIBErrorSet(0);
        EXPECT_EQ(Get(c.name.c_str()), nullptr);
        EXPECT_EQ(SLIBErrorGet(), c.code);
    }
    u = nullptr;
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOUserGetByUID(4000, &u), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x1D00);
    EXPECT_EQ(VAKOUserGet(nullptr, &u), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    // Every hold taken was released.
    EXPECT_TRUE(vakotest::OtherProcessCanLock(0x16));
}

TEST(UserGetSmbPasswd, TheHashTexts)
{
    // Refused before any file is touched.
    SLIBErrorSet(0);
    char lm[64], nt[33];
    EXPECT_EQ(VAKOUserGetSmbPasswd("alice", lm, 64, nt, 33), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_FALSE(vakotest::FileExists("/tmp/lock"));
    EXPECT_FALSE(vakotest::FileExists(vakotest::kUserDbName));

    WriteAccounts();
    ASSERT_EQ(VAKOUserGetSmbPasswd("ALICE", lm, 33, nt, 33), 0);
    EXPECT_STREQ(lm, kLmPassword);
    EXPECT_STREQ(nt, kNtPassword);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOUserGetSmbPasswd("bob2", lm, 33, nt, 33), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x1D00);
}

TEST(UserEnum, KindsAndListedAccounts)
{
    WriteAccounts();
    EXPECT_EQ(Enum(1), (std::vector<std::string>{"admin", "alice", "bob", "guest"}));
    EXPECT_EQ(Enum(2), std::vector<std::string>{"CORP\\bob"});
    EXPECT_EQ(Enum(3), (std::vector<std::string>{"admin", "alice", "bob", "CORP\\bob", "guest"}));
    EXPECT_EQ(VAKOUserTotalNum(3), 5);
    EXPECT_EQ(VAKOUserRemainNumGet(), 2043);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOUserTotalNum(4), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    PSLIBSZLIST list = PslSLIBSzListAlloc(512);
    EXPECT_EQ(VAKOUserEnum(&list, 8), -1);
    PSLIBSZLIST none = nullptr;
    EXPECT_EQ(VAKOUserEnum(&none, 1), -1);
    SLIBSzListFree(list);

    VAKOLOCALUSERINFO *head = nullptr;
    ASSERT_EQ(VAKOLocalUserInfoEnum(&head), 4);
    std::vector<std::string> nodes;
    for (VAKOLOCALUSERINFO *n = head; n; n = n->pNext)
        nodes.push_back(std::string(n->szName) + ":" + std::to_string(n->uid) + ":" + std::to_string(n->gid));
    EXPECT_EQ(nodes, (std::vector<std::string>{"admin:1024:100", "alice:1026:100", "bob:1027:100", "guest:1025:100"}));
    VAKOLocalUserInfoFree(&head);
    EXPECT_EQ(head, nullptr);
    VAKOLocalUserInfoFree(nullptr);
}

TEST(UserEnum, WithoutGuestSupportOrAccountLimit)
{
    WriteAccounts(false);
    EXPECT_EQ(VAKOGuestSupportGet(), 0);
    EXPECT_EQ(Enum(1), (std::vector<std::string>{"admin", "alice", "bob"}));
    vakotest::WriteFile(vakotest::kInfoDefaultsFile, "guestsupport=\"no\"\n");
    EXPECT_EQ(VAKOUserRemainNumGet(), 0);
    // Only system accounts: nothing listed.
    vakotest::WriteAccountFiles({"root:x:0:0::/root:/bin/sh\n", "root:*:1:0:99999:7:::\n", "", ""},
                                vakotest::kAccountsMtime + 1);
    VAKOLOCALUSERINFO *head = reinterpret_cast<VAKOLOCALUSERINFO *>(1);
    EXPECT_EQ(VAKOLocalUserInfoEnum(&head), 0);
    EXPECT_EQ(head, nullptr);
}

TEST(UserSetPasswd, NewHashesForSeveralAccounts)
{
    WriteAccounts();
    vakotest::ScemdStandIn scemd;
    PVAKOUSER alice = nullptr, bob = nullptr;
    ASSERT_EQ(VAKOUserAlloc(&alice, "ALICE", "", 1026, 100, "", "", "", -1, 0, "", 0), 0);
    ASSERT_EQ(VAKOUserAlloc(&bob, "bob", "", 1027, 100, "", "", "", -1, 0, "", 0), 0);
    PVAKOUSER users[] = {alice, nullptr, bob};
    char c1[] = "$1$new$hash1", c3[] = "$1$new$hash3", lm[] = "00112233445566778899AABBCCDDEEFF",
         nt[] = "FFEEDDCCBBAA99887766554433221100";
    char *crypted[] = {c1, c1, c3}, *lms[] = {lm, lm, lm}, *nts[] = {nt, nt, nt};
    ASSERT_EQ(VAKOUserSetPasswd(users, crypted, lms, nts, 3), 0);
    AccountFiles files = vakotest::ReadAccountFiles();
    EXPECT_NE(files.shadow.find("\nalice:$1$new$hash1:15000:0:99999:7::20000:\n"), std::string::npos);
    // Empty minimum and maximum stay empty; the flag field is emptied.
    EXPECT_NE(files.shadow.find("\nbob:$1$new$hash3:15001:::7:::\n"), std::string::npos);
    EXPECT_NE(files.smbpasswd.find("\nalice:1026:00112233445566778899AABBCCDDEEFF:FFEEDDCCBBAA99887766554433221100:[U  "
                                   "        ]:LCT-5F5E1000:\n"),
              std::string::npos);
    EXPECT_EQ(files.passwd, userdb::Fixture().passwd);
    EXPECT_EQ(scemd.Signals(), std::vector<int>{47});
    VAKOUserFree(alice);
    VAKOUserFree(bob);
}

TEST(UserSetPasswd, NothingToChangeStillSignals)
{
    WriteAccounts();
    PVAKOUSER ghost = nullptr;
    ASSERT_EQ(VAKOUserAlloc(&ghost, "ghost", "", 1500, 100, "", "", "", -1, 0, "", 0), 0);
    char c[] = "$1$x$y", lm[] = "L", nt[] = "N", colon[] = "$1$a:b", line[] = "h\nroot::0:0:::";
    char *crypted[] = {c}, *lms[] = {lm}, *nts[] = {nt};
    struct Case {
        const char *what;
        std::vector<int> signals;
        int n;
        char **crypted;
        int code;
    };
    char *colons[] = {colon}, *lines[] = {line};
    const Case cases[] = {
        {"no entries", {47}, 0, crypted, 0},           {"no shadow record", {47}, 1, crypted, -1},
        {"a ':' in a hash", {47}, 1, colons, 0x0D00},  {"a line end in a hash", {47}, 1, lines, 0x0D00},
        {"negative count", {47}, -1, crypted, 0x0D00},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        vakotest::ScemdStandIn scemd;
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOUserSetPasswd(&ghost, k.crypted, lms, nts, k.n), k.n == 0 ? 0 : -1);
        if (k.code >= 0) {
            EXPECT_EQ(SLIBErrorGet(), k.code);
        }
        EXPECT_EQ(vakotest::ReadAccountFiles(), userdb::Fixture());
        EXPECT_EQ(scemd.Signals(), k.signals);
    }
    VAKOUserFree(ghost);
}

TEST(UserOps, RefusalsAreRecordedUnderTheOperationsNames)
{
    PVAKOUSER u = nullptr;
    char lm[33], nt[33];
    PSLIBSZLIST none = nullptr;
    struct Case {
        const char *what;
        std::function<int()> call;
        const char *src;
    } cases[] = {
        {"get", [&] { return VAKOUserGet(nullptr, &u); }, "user_get"},
        {"get by uid", [] { return VAKOUserGetByUID(1026, nullptr); }, "user_get_by_uid"},
        {"SMB hashes", [&] { return VAKOUserGetSmbPasswd("alice", lm, 32, nt, 33); }, "user_get_smb_passwd"},
        {"enum", [&] { return VAKOUserEnum(&none, 1); }, "user_enum"},
        {"total", [] { return VAKOUserTotalNum(4); }, "user_total_num"},
        {"local accounts", [] { return VAKOLocalUserInfoEnum(nullptr); }, "local_user_info_enum"},
        {"passwords", [] { return VAKOUserSetPasswd(nullptr, nullptr, nullptr, nullptr, 1); }, "user_set_passwd"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SLIBErrorSet(0);
        EXPECT_EQ(c.call(), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        EXPECT_STREQ(SLIBErrorGetFile(), c.src);
    }
}

TEST(UserOps, ReleaseOnlyTheHoldsTheyTook)
{
    WriteAccounts();
    // The caller holds the account files exclusively, as the user set does.
    ASSERT_EQ(ErrSLIBFileLock(0x16, 5), 0);
    PVAKOUSER u = nullptr;
    EXPECT_EQ(VAKOUserGet(nullptr, &u), -1);
    EXPECT_EQ(VAKOUserGet(std::string(600, 'a').c_str(), &u), -1);
    char lm[33], nt[33];
    EXPECT_EQ(VAKOUserGetSmbPasswd("alice", lm, 32, nt, 33), -1);
    EXPECT_FALSE(vakotest::OtherProcessCanLock(0x15));
    // Nested holds are released, the caller's stays.
    ASSERT_EQ(VAKOUserGet("alice", &u), 0);
    VAKOUserFree(u);
    EXPECT_EQ(VAKOUserTotalNum(1), 4);
    EXPECT_FALSE(vakotest::OtherProcessCanLock(0x15));
    ASSERT_EQ(ErrSLIBFileUnlock(0x10), 0);
    EXPECT_TRUE(vakotest::OtherProcessCanLock(0x16));
}

TEST(UserOps, AnotherProcessesHoldTimesOut)
{
    WriteAccounts();
    vakotest::OtherLockHolder holder(0x16);
    PVAKOUSER u = nullptr;
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOUserGet("alice", &u), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0400);
}

TEST(ScemdSignal, OnlyTheDaemonOfThePidFile)
{
    vakotest::RemoveFile(vakotest::kScemdPid);
    EXPECT_EQ(VAKOScemdSignal(47), 0);
    {
        vakotest::ScemdStandIn scemd;
        EXPECT_EQ(VAKOScemdSignal(47), 0);
        EXPECT_EQ(VAKOScemdSignal(47), 0);
        EXPECT_EQ(scemd.Signals(), (std::vector<int>{47, 47}));
    }
    // 0 is this process group, 1 the init process: never signalled.
    for (const char *text : {"0\n", "1\n", "-5\n", "none\n", ""}) {
        SCOPED_TRACE(text);
        vakotest::WriteFile(vakotest::kScemdPid, text);
        EXPECT_EQ(VAKOScemdSignal(SIGKILL), 0);
    }
    pid_t gone = vakotest::ForkChild([] { return 0; });
    vakotest::WaitChild(gone);
    vakotest::WriteFile(vakotest::kScemdPid, std::to_string(gone) + "\n");
    EXPECT_EQ(VAKOScemdSignal(47), -1);
}

} // namespace
