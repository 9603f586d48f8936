#include "vako/user_db.h"
#include "vako/user_op.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>
#include <time.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "slib/error.h"
#include "vakotest/accounts.h"
#include "vakotest/cryptfault.h"
#include "vakotest/files.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/storefault.h"
#include "vakotest/userdb.h"

using userdb::DbPtr;
using userdb::Fixture;
using userdb::Record;
using userdb::UidRecords;
using userdb::UserPtr;
using vakotest::AccountFiles;

namespace {

constexpr char kLmPassword[] = "E52CAC67419A9A224A3B108F3FA6CB6D";
constexpr char kNtPassword[] = "8846F7EAEE8FB117AD06BDD830B7586C";
constexpr char kLmEmpty[] = "AAD3B435B51404EEAAD3B435B51404EE";
constexpr char kNtEmpty[] = "31D6CFE0D16AE931B73C59D7E0C089C0";

DbPtr OpenFixture(const AccountFiles &files = Fixture())
{
    // The language whose code page the LAN Manager hash takes.
    vakotest::WriteFile(vakotest::kInfoFile, "codepage=\"enu\"\n");
    vakotest::WriteAccountFiles(files);
    DbPtr db = userdb::Open();
    EXPECT_NE(db, nullptr);
    return db;
}

UserPtr Get(VAKOUSERDB *db, const char *key)
{
    VAKOUSER *u = nullptr;
    if (VAKOUserDBGet(db, key, &u) != 0) {
        VAKOUserFree(u);
        return nullptr;
    }
    return UserPtr(u);
}

UserPtr Make(const char *name, const char *passwd, int uid, const char *desc = "", int expire = -1, int disabled = 0,
             const char *mail = "", int privilege = 0)
{
    VAKOUSER *u = nullptr;
    EXPECT_EQ(VAKOUserAlloc(&u, name, passwd, uid, 100, desc, "/var/services/homes/x", "/bin/sh", expire, disabled,
                            mail, privilege),
              0);
    return UserPtr(u);
}

long Today() { return static_cast<long>(time(nullptr) / 86400); }

bool Matches(const std::string &text, const std::string &re) { return std::regex_match(text, std::regex(re)); }

bool StartsWith(const std::string &text, const std::string &head) { return text.compare(0, head.size(), head) == 0; }

// The time of an SMB line's "LCT-" field.
long Lct(const std::string &smb)
{
    size_t at = smb.find("LCT-");
    return at == std::string::npos ? -1 : strtol(smb.c_str() + at + 4, nullptr, 16);
}

TEST(UserDbGet, LocalAccounts)
{
    DbPtr db = OpenFixture();
    UserPtr alice = Get(db.get(), "ALICE");
    ASSERT_NE(alice, nullptr);
    EXPECT_STREQ(alice->szName, "alice");
    EXPECT_STREQ(alice->szPasswd, "$1$xy$GSi9DZ/itmn9/ge6aijPn/");
    EXPECT_EQ(alice->uid, 1026);
    EXPECT_EQ(alice->gid, 100);
    EXPECT_STREQ(alice->szDesc, "a:b"); // decoded
    EXPECT_STREQ(alice->szHome, "/var/services/homes/alice");
    EXPECT_STREQ(alice->szShell, "/bin/csh");
    EXPECT_EQ(alice->expire, 20000);
    EXPECT_EQ(alice->disabled, 0);
    EXPECT_STREQ(alice->szMail, "alice@example.com");
    EXPECT_EQ(alice->privilege, 3);
    EXPECT_EQ(alice->type, 1);

    // No misc line; minimum and maximum empty: disabled.
    UserPtr bob = Get(db.get(), "BOB");
    ASSERT_NE(bob, nullptr);
    EXPECT_EQ(bob->privilege, 0);
    EXPECT_STREQ(bob->szMail, "");
    EXPECT_EQ(bob->disabled, 1);
    EXPECT_EQ(bob->expire, -1);

    UserPtr guest = Get(db.get(), "GUEST"); // minimum 100000 above maximum 99999
    ASSERT_NE(guest, nullptr);
    EXPECT_EQ(guest->disabled, 1);
    EXPECT_STREQ(guest->szPasswd, "!");

    // The admin account: privilege 31 whatever its line says; its mail kept.
    UserPtr admin = Get(db.get(), "ADMIN");
    ASSERT_NE(admin, nullptr);
    EXPECT_EQ(admin->privilege, 31);
    EXPECT_STREQ(admin->szMail, "admin@example.com");

    SLIBErrorSet(0);
    EXPECT_EQ(Get(db.get(), "NOBODY"), nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0x1D00);
    EXPECT_EQ(Get(db.get(), "alice"), nullptr); // keys are upper-cased
}

TEST(UserDbGet, MiscRecords)
{
    DbPtr db = OpenFixture();
    struct Case {
        const char *key;
        const char *misc;
        int privilege;
        const char *mail;
    } cases[] = {
        {"BOB", "bob:3", 3, ""},    {"BOB", "bob:3:m", 3, "m"},      {"BOB", "bob:7:a:b", 7, "a:b"},
        {"ADMIN", "admin", 31, ""}, {"ADMIN", "admin:0:x", 31, "x"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.misc);
        ASSERT_EQ(VAKOBDbSet(db->pPWDVakoser, c.key, static_cast<int>(strlen(c.key)) + 1, c.misc,
                             static_cast<int>(strlen(c.misc)) + 1),
                  0);
        UserPtr u = Get(db.get(), c.key);
        ASSERT_NE(u, nullptr);
        EXPECT_EQ(u->privilege, c.privilege);
        EXPECT_STREQ(u->szMail, c.mail);
    }
    ASSERT_EQ(VAKOBDbSet(db->pPWDVakoser, "BOB", 4, "bob", 4), 0);
    EXPECT_EQ(Get(db.get(), "BOB"), nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0x4000);
}

TEST(UserDbSet, NewAccount)
{
    DbPtr db = OpenFixture();
    long day = Today();
    long before = static_cast<long>(time(nullptr));
    UserPtr carol = Make("Carol", "password", 1030, "x:y;z");
    ASSERT_EQ(VAKOUserDBSet(db.get(), nullptr, 0, carol.get()), 0);
    long after = static_cast<long>(time(nullptr));
    EXPECT_EQ(Record(db->pPWDName, "CAROL"), "Carol:x:1030:100:x;,y;;z:/var/services/homes/x:/bin/sh");
    EXPECT_EQ(UidRecords(db.get(), 1030), std::vector<std::string>{"CAROL"});
    EXPECT_EQ(Record(db->pPWDVakoser, "CAROL"), "Carol:0:");
    std::string shadow = Record(db->pPWDShadow, "CAROL");
    EXPECT_TRUE(
        Matches(shadow, "Carol:\\$1\\$[./0-9A-Za-z]{2}\\$[./0-9A-Za-z]{22}:" + std::to_string(day) + ":0:99999:7:::"))
        << shadow;
    std::string smb = Record(db->pPWDSMB, "CAROL");
    EXPECT_EQ(smb.substr(0, smb.size() - 13),
              std::string("Carol:1030:") + kLmPassword + ":" + kNtPassword + ":[U          ]:");
    EXPECT_TRUE(Matches(smb, ".*:LCT-[0-9A-F]{8}:")) << smb;
    EXPECT_GE(Lct(smb), before);
    EXPECT_LE(Lct(smb), after);
    // The caller's record is as it was; the stored one reads back.
    EXPECT_STREQ(carol->szDesc, "x:y;z");
    EXPECT_STREQ(carol->szPasswd, "password");
    UserPtr back = Get(db.get(), "CAROL");
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back->szDesc, "x:y;z");
    EXPECT_EQ(std::string(back->szPasswd), shadow.substr(6, 28));
}

TEST(UserDbSet, FieldsNotGivenTakeDefaults)
{
    DbPtr db = OpenFixture();
    VAKOUSER u{};
    char name[] = "Dan";
    u.szName = name;
    u.uid = 1031;
    u.gid = 100;
    u.expire = 20000;
    u.disabled = 1;
    ASSERT_EQ(VAKOUserDBSet(db.get(), nullptr, 0, &u), 0);
    EXPECT_EQ(Record(db->pPWDName, "DAN"), "Dan:x:1031:100::/var/services/homes/Dan:/bin/csh");
    EXPECT_EQ(u.szHome, nullptr);
    EXPECT_EQ(u.szShell, nullptr);
    // Password and mail stay in the record as stored: empty.
    ASSERT_NE(u.szPasswd, nullptr);
    EXPECT_STREQ(u.szPasswd, "");
    ASSERT_NE(u.szMail, nullptr);
    EXPECT_STREQ(u.szMail, "");
    EXPECT_EQ(Record(db->pPWDVakoser, "DAN"), "Dan:0:");
    std::string shadow = Record(db->pPWDShadow, "DAN");
    EXPECT_TRUE(Matches(shadow, "Dan:\\$1\\$[^:]+:" + std::to_string(Today()) + ":100000:99999:7::20000:")) << shadow;
    EXPECT_TRUE(StartsWith(Record(db->pPWDSMB, "DAN"), std::string("Dan:1031:") + kLmEmpty + ":" + kNtEmpty + ":"));
    UserPtr back = Get(db.get(), "DAN");
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->disabled, 1);
    EXPECT_EQ(back->expire, 20000);
}

TEST(UserDbSet, RefusedNewAccounts)
{
    DbPtr db = OpenFixture();
    struct Case {
        const char *what;
        UserPtr user;
        int code;
    } cases[] = {
        {"a name that exists in another case", Make("Bob", "p", 1040), 0x1C00},
        {"an invalid name", Make("a:b", "p", 1040), 0x1A00},
        {"a domain name", Make("CORP\\e", "p", 1040), 0x1A00},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.what);
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOUserDBSet(db.get(), nullptr, 0, c.user.get()), -1);
        EXPECT_EQ(SLIBErrorGet(), c.code);
        EXPECT_TRUE(UidRecords(db.get(), 1040).empty());
    }
    EXPECT_EQ(Record(db->pPWDName, "BOB"), "bob:x:1027:100::/var/services/homes/bob:/bin/csh");
}

TEST(UserDbSet, FieldsThatWouldAddLinesAreRefused)
{
    DbPtr db = OpenFixture();
    struct Case {
        const char *what;
        const char *desc, *home, *shell, *mail;
    } cases[] = {
        {"shell with a line", "", "/h", "/bin/sh\nevil:x:0:0::/:/bin/sh", ""},
        {"shell with ':'", "", "/h", "/bin/sh:x", ""},
        {"home with ':'", "", "/h:/x", "/bin/sh", ""},
        {"home with a line end", "", "/h\r", "/bin/sh", ""},
        {"mail with ':'", "", "/h", "/bin/sh", "a:b"},
        {"mail with a line", "", "/h", "/bin/sh", "a\nevil:0:"},
        {"description with a line", "a\nb", "/h", "/bin/sh", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        VAKOUSER *raw = nullptr;
        ASSERT_EQ(VAKOUserAlloc(&raw, "eve", "p", 1041, 100, c.desc, c.home, c.shell, -1, 0, c.mail, 0), 0);
        UserPtr eve(raw);
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOUserDBSet(db.get(), nullptr, 0, eve.get()), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        EXPECT_EQ(Record(db->pPWDName, "EVE"), userdb::kAbsent);
        // A change is refused the same way, the account left as it was.
        ASSERT_EQ(VAKOUserAlloc(&raw, "alice", "p", 1026, 100, c.desc, c.home, c.shell, -1, 0, c.mail, 0), 0);
        eve.release();
        eve.reset(raw);
        EXPECT_EQ(VAKOUserDBSet(db.get(), "ALICE", 5, eve.get()), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        EXPECT_EQ(Record(db->pPWDName, "ALICE"), "alice:x:1026:100:a;,b:/var/services/homes/alice:/bin/csh");
    }
}

TEST(UserDbSet, ChangeWithTheStoredHashKeepsThePassword)
{
    DbPtr db = OpenFixture();
    UserPtr alice = Get(db.get(), "ALICE");
    ASSERT_NE(alice, nullptr);
    VAKOUSER *raw = alice.release();
    ASSERT_EQ(VAKOUserAlloc(&raw, "alice", std::string(raw->szPasswd).c_str(), 1026, 100, "new text", "/h", "/bin/sh",
                            20000, 0, "alice@example.com", 3),
              0);
    alice.reset(raw);
    long before = static_cast<long>(time(nullptr));
    ASSERT_EQ(VAKOUserDBSet(db.get(), "ALICE", 5, alice.get()), 0);
    EXPECT_EQ(Record(db->pPWDShadow, "ALICE"),
              "alice:$1$xy$GSi9DZ/itmn9/ge6aijPn/:" + std::to_string(Today()) + ":0:99999:7::20000:");
    std::string smb = Record(db->pPWDSMB, "ALICE");
    EXPECT_EQ(smb.substr(0, smb.size() - 13),
              std::string("alice:1026:") + kLmPassword + ":" + kNtPassword + ":[U          ]:");
    EXPECT_GE(Lct(smb), before);
    EXPECT_EQ(Record(db->pPWDName, "ALICE"), "alice:x:1026:100:new text:/h:/bin/sh");
    EXPECT_EQ(UidRecords(db.get(), 1026), std::vector<std::string>{"ALICE"});
}

TEST(UserDbSet, NewPasswordKeepsTheSalt)
{
    DbPtr db = OpenFixture();
    UserPtr alice = Make("alice", "secret", 1026, "a:b", 20000, 0, "alice@example.com", 3);
    ASSERT_EQ(VAKOUserDBSet(db.get(), "ALICE", 5, alice.get()), 0);
    std::string shadow = Record(db->pPWDShadow, "ALICE");
    EXPECT_EQ(shadow.substr(0, 12), "alice:$1$xy$");
    EXPECT_NE(shadow.substr(0, 34), "alice:$1$xy$GSi9DZ/itmn9/ge6aijPn/");
    std::string smb = Record(db->pPWDSMB, "ALICE");
    EXPECT_EQ(smb.find(kNtPassword), std::string::npos);
    EXPECT_TRUE(Matches(smb, "alice:1026:[0-9A-F]{32}:[0-9A-F]{32}:\\[U          \\]:LCT-[0-9A-F]{8}:")) << smb;

    // An old hash with no usable salt ("!") gets a fresh one.
    UserPtr guest = Make("guest", "guestpw", 1025);
    ASSERT_EQ(VAKOUserDBSet(db.get(), "GUEST", 5, guest.get()), 0);
    EXPECT_TRUE(Matches(Record(db->pPWDShadow, "GUEST"), "guest:\\$1\\$[./0-9A-Za-z]{2}\\$[./0-9A-Za-z]{22}:.*"));
}

TEST(UserDbSet, PasswordWithoutALanManagerHash)
{
    DbPtr db = OpenFixture();
    std::string longPassword(200, 'p'); // more than the LAN Manager hash takes
    UserPtr carol = Make("carol", longPassword.c_str(), 1030);
    ASSERT_EQ(VAKOUserDBSet(db.get(), nullptr, 0, carol.get()), 0);
    EXPECT_TRUE(
        Matches(Record(db->pPWDSMB, "CAROL"), "carol:1030:X{32}:[0-9A-F]{32}:\\[U          \\]:LCT-[0-9A-F]{8}:"))
        << Record(db->pPWDSMB, "CAROL");
}

TEST(UserDbSet, CryptFailureFailsTheStore)
{
    DbPtr db = OpenFixture();
    UserPtr carol = Make("carol", "password", 1030);
    vakotest::gCryptFails = true;
    vakotest::gCryptResult = "*0";
    vakotest::SyslogClear();
    EXPECT_EQ(VAKOUserDBSet(db.get(), nullptr, 0, carol.get()), -1);
    vakotest::gCryptFails = false;
    EXPECT_TRUE(vakotest::SyslogMatches("user_db_set:{L} SzSDKIWrapMD5Encrypt failed. vakoerr=0x0D00"));
    // No shadow line holding the failure token; the caller does not dump.
    EXPECT_EQ(Record(db->pPWDShadow, "CAROL"), userdb::kAbsent);
    EXPECT_EQ(Record(db->pPWDSMB, "CAROL"), userdb::kAbsent);
}

TEST(UserDbSet, Rename)
{
    DbPtr db = OpenFixture();
    UserPtr alicia = Make("Alicia", "$1$xy$GSi9DZ/itmn9/ge6aijPn/", 1026, "a:b", 20000, 0, "m", 3);
    ASSERT_EQ(VAKOUserDBSet(db.get(), "ALICE", 5, alicia.get()), 0);
    for (VAKOBDB *f : {db->pPWDName, db->pPWDShadow, db->pPWDVakoser, db->pPWDSMB})
        EXPECT_EQ(Record(f, "ALICE"), userdb::kAbsent);
    EXPECT_EQ(Record(db->pPWDName, "ALICIA"), "Alicia:x:1026:100:a;,b:/var/services/homes/x:/bin/sh");
    EXPECT_EQ(Record(db->pPWDVakoser, "ALICIA"), "Alicia:3:m");
    EXPECT_EQ(Record(db->pPWDShadow, "ALICIA").substr(0, 36), "Alicia:$1$xy$GSi9DZ/itmn9/ge6aijPn/:");
    EXPECT_TRUE(StartsWith(Record(db->pPWDSMB, "ALICIA"),
                           std::string("Alicia:1026:") + kLmPassword + ":" + kNtPassword + ":[U          ]:LCT-"));
    EXPECT_EQ(UidRecords(db.get(), 1026), std::vector<std::string>{"ALICIA"});
}

// Every record of the five files, reserved ones too, as text.
std::vector<std::string> Snapshot(VAKOUSERDB *db)
{
    std::vector<std::string> all;
    for (VAKOBDB *f : {db->pPWDName, db->pPWDUID, db->pPWDSMB, db->pPWDVakoser, db->pPWDShadow}) {
        void *k = nullptr, *v = nullptr;
        int cbK = 0, cbV = 0;
        VAKOBDbCursorSetType(f, VAKO_BDB_CURSOR_FIRST);
        while (VAKOBDbCursorGet(f, 0, &k, &cbK, &v, &cbV) == 0) {
            all.push_back(std::string(static_cast<char *>(k), static_cast<size_t>(cbK)) + " -> " +
                          std::string(static_cast<char *>(v), static_cast<size_t>(cbV)));
            VAKOBDbCursorSetType(f, VAKO_BDB_CURSOR_NEXT);
        }
        all.push_back("--");
        VAKOBDbDataFree(k);
        VAKOBDbDataFree(v);
    }
    return all;
}

// A rename stores the new records before it removes the old ones, and
// takes back what it stored when any step fails: every file as it was.
TEST(UserDbSet, AStoreThatFailsPartWayChangesNothing)
{
    using vakotest::StoreOp;
    const std::string alicia("ALICIA", 7), alice("ALICE", 6), uid("001026", 7);
    struct Case {
        const char *what;
        VAKOBDB *VAKOUSERDB::*file;
        StoreOp op;
        std::string key;
        bool cryptFails;
    } cases[] = {
        {"the password cannot be hashed", &VAKOUSERDB::pPWDName, StoreOp::Put, "", true},
        {"the new name record", &VAKOUSERDB::pPWDName, StoreOp::Put, alicia, false},
        {"the new uid record", &VAKOUSERDB::pPWDUID, StoreOp::Put, uid, false},
        {"the new misc record", &VAKOUSERDB::pPWDVakoser, StoreOp::Put, alicia, false},
        {"the new shadow record", &VAKOUSERDB::pPWDShadow, StoreOp::Put, alicia, false},
        {"the new SMB record", &VAKOUSERDB::pPWDSMB, StoreOp::Put, alicia, false},
        {"removing the old uid record", &VAKOUSERDB::pPWDUID, StoreOp::Del, uid, false},
        {"removing the old name record", &VAKOUSERDB::pPWDName, StoreOp::Del, alice, false},
        {"removing the old shadow record", &VAKOUSERDB::pPWDShadow, StoreOp::Del, alice, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        // The cache built anew from the files: what an earlier case left goes.
        vakotest::WriteAccountFiles(Fixture());
        ASSERT_EQ(VAKOUserDBRebuild(), 0);
        DbPtr db = OpenFixture();
        ASSERT_NE(db, nullptr);
        const std::vector<std::string> before = Snapshot(db.get());
        ASSERT_NE(Record(db->pPWDName, "ALICE"), userdb::kAbsent);
        UserPtr alicia = Make("alicia", "new password", 1026);
        vakotest::gCryptFails = c.cryptFails;
        vakotest::gCryptResult = nullptr;
        {
            vakotest::StoreFault fault((db.get()->*c.file)->db, c.op, c.key);
            EXPECT_EQ(VAKOUserDBSet(db.get(), "ALICE", 5, alicia.get()), -1);
        }
        vakotest::gCryptFails = false;
        EXPECT_EQ(Snapshot(db.get()), before);
    }
}

TEST(UserDbSet, RefusedChanges)
{
    DbPtr db = OpenFixture();
    struct Case {
        const char *what;
        const char *oldKey;
        UserPtr user;
        int code;
    } cases[] = {
        {"renamed onto another account", "ALICE", Make("bob", "p", 1026), 0x1C00},
        {"a system account renamed", "DAEMON", Make("daemon2", "*", 1000), 0xB800},
        {"no old account", "NOBODY", Make("nobody", "p", 1050), 0x1D00},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.what);
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOUserDBSet(db.get(), c.oldKey, static_cast<int>(strlen(c.oldKey)), c.user.get()), -1);
        EXPECT_EQ(SLIBErrorGet(), c.code);
    }
    // Nothing of either account changed.
    DbPtr fresh = std::move(db);
    for (const char *key : {"ALICE", "BOB", "DAEMON"})
        for (VAKOBDB *f : {fresh->pPWDName, fresh->pPWDShadow})
            EXPECT_NE(Record(f, key), userdb::kAbsent) << key;
    EXPECT_NE(Record(fresh->pPWDSMB, "ALICE"), userdb::kAbsent);
    EXPECT_EQ(Record(fresh->pPWDName, "BOB"), "bob:x:1027:100::/var/services/homes/bob:/bin/csh");
    EXPECT_EQ(UidRecords(fresh.get(), 1026), std::vector<std::string>{"ALICE"});
    EXPECT_EQ(UidRecords(fresh.get(), 1027), std::vector<std::string>{"BOB"});
    EXPECT_EQ(UidRecords(fresh.get(), 1000), std::vector<std::string>{"DAEMON"});
    EXPECT_EQ(Record(fresh->pPWDName, "DAEMON2"), userdb::kAbsent);
}

TEST(UserDbSet, SystemAccountChangedInPlace)
{
    DbPtr db = OpenFixture();
    UserPtr daemon = Make("daemon", "*", 1000);
    ASSERT_EQ(VAKOUserDBSet(db.get(), "DAEMON", 6, daemon.get()), 0);
    EXPECT_EQ(Record(db->pPWDName, "DAEMON"), "daemon:x:1000:100::/var/services/homes/x:/bin/sh");
    EXPECT_EQ(UidRecords(db.get(), 1000), std::vector<std::string>{"DAEMON"});
}

TEST(UserDbSet, MalformedOldSmbRecord)
{
    DbPtr db = OpenFixture();
    ASSERT_EQ(VAKOBDbSet(db->pPWDSMB, "ALICE", 6, "alice:1026:x", 13), 0);
    UserPtr alice = Make("alice", "p", 1026);
    EXPECT_EQ(VAKOUserDBSet(db.get(), "ALICE", 5, alice.get()), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x4000);
    EXPECT_EQ(UidRecords(db.get(), 1026), std::vector<std::string>{"ALICE"});
}

TEST(UserDbDelete, LocalAccount)
{
    DbPtr db = OpenFixture();
    ASSERT_EQ(VAKOUserDBDelete(db.get(), "ALICE"), 0);
    for (VAKOBDB *f : {db->pPWDName, db->pPWDShadow, db->pPWDVakoser, db->pPWDSMB})
        EXPECT_EQ(Record(f, "ALICE"), userdb::kAbsent);
    EXPECT_TRUE(UidRecords(db.get(), 1026).empty());
    EXPECT_EQ(UidRecords(db.get(), 1027), std::vector<std::string>{"BOB"});
    // Without a misc record too.
    EXPECT_EQ(VAKOUserDBDelete(db.get(), "BOB"), 0);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOUserDBDelete(db.get(), "BOB"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x1D00);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOUserDBDelete(db.get(), "CORP\\BOB"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0);
    EXPECT_EQ(VAKOUserDBDelete(nullptr, "X"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
}

TEST(UserDbDelete, SystemAccountsWithGuestSupport)
{
    DbPtr db = OpenFixture();
    for (const char *key : {"ROOT", "DAEMON", "ADMIN", "GUEST"}) {
        SCOPED_TRACE(key);
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOUserDBDelete(db.get(), key), -1);
        EXPECT_EQ(SLIBErrorGet(), 0xB800);
        EXPECT_NE(Record(db->pPWDName, key), userdb::kAbsent);
    }
}

TEST(UserDbDelete, GuestWithoutGuestSupport)
{
    vakotest::WriteFile(vakotest::kInfoDefaultsFile, "guestsupport=\"no\"\n");
    DbPtr db = OpenFixture();
    EXPECT_EQ(VAKOGuestSupportGet(), 0);
    EXPECT_EQ(VAKOUserDBDelete(db.get(), "GUEST"), 0);
    EXPECT_EQ(VAKOUserDBDelete(db.get(), "ADMIN"), -1);
    EXPECT_EQ(SLIBErrorGet(), 0xB800);
}

TEST(UserDbDelete, AnAccountSharingItsUidKeepsIt)
{
    AccountFiles files = Fixture();
    files.passwd += "carol:x:1026:100:::\n";
    files.shadow += "carol:h:1:0:99999:7:::\n";
    DbPtr db = OpenFixture(files);
    EXPECT_EQ(UidRecords(db.get(), 1026), (std::vector<std::string>{"ALICE", "CAROL"}));
    ASSERT_EQ(VAKOUserDBDelete(db.get(), "ALICE"), 0);
    EXPECT_EQ(UidRecords(db.get(), 1026), std::vector<std::string>{"CAROL"});
    ASSERT_EQ(VAKOUserDBDump(db.get()), 0);
    EXPECT_NE(vakotest::ReadFile(vakotest::kPasswdFile).find("\ncarol:x:1026:100:::\n"), std::string::npos);
}

TEST(UserDbCheckExists, NameAsStored)
{
    DbPtr db = OpenFixture();
    char out[16];
    EXPECT_EQ(VAKOUserDBCheckExists(db.get(), "ALICE", 5, out, sizeof out), 1);
    EXPECT_STREQ(out, "alice");
    EXPECT_EQ(VAKOUserDBCheckExists(db.get(), "ALICE", 5, nullptr, 0), 1);
    EXPECT_EQ(VAKOUserDBCheckExists(db.get(), "ALICE", 5, out, 0), 0);
    EXPECT_EQ(VAKOUserDBCheckExists(db.get(), "ALICE", 5, out, 5), 0); // no room for the NUL
    EXPECT_EQ(VAKOUserDBCheckExists(db.get(), "ALICE", 5, out, 6), 1);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOUserDBCheckExists(db.get(), "ALIC", 4, out, sizeof out), 0);
    EXPECT_EQ(SLIBErrorGet(), 0x1D00);
    EXPECT_EQ(VAKOUserDBCheckExists(db.get(), "ALICE", 5, nullptr, 4), 0);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);

    std::string name(492, 'n'), key(492, 'N');
    std::string line = name + ":x:1060:100:::";
    ASSERT_EQ(VAKOBDbSet(db->pPWDName, key.c_str(), 493, line.c_str(), static_cast<int>(line.size()) + 1), 0);
    std::vector<char> big(493);
    EXPECT_EQ(VAKOUserDBCheckExists(db.get(), key.c_str(), 492, big.data(), 493), 1);
    EXPECT_EQ(std::string(big.data()), name);
    EXPECT_EQ(VAKOUserDBCheckExists(db.get(), key.c_str(), 492, big.data(), 492), 0);

    ASSERT_EQ(VAKOBDbSet(db->pPWDName, "ODD", 4, "odd", 4), 0);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOUserDBCheckExists(db.get(), "ODD", 3, out, sizeof out), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(SLIBErrorGet(), 0x4000);
}

// Makes uids taken or free in the uid file.
void Take(VAKOUSERDB *db, int uid)
{
    char key[16];
    snprintf(key, sizeof key, "%06d", uid);
    ASSERT_EQ(VAKOBDbSet(db->pPWDUID, key, 7, "X", 2), 0);
}
void Free(VAKOUSERDB *db, int uid)
{
    char key[16];
    snprintf(key, sizeof key, "%06d", uid);
    VAKOBDbDelete(db->pPWDUID, key, 7);
}
void SetCurrent(VAKOUSERDB *db, int32_t uid)
{
    ASSERT_EQ(VAKOBDbWordSet(db->pPWDUID, SZK_BDB_CURRENT_UID, CB_BDB_CURRENT_UID, uid), 0);
}

TEST(UserDbFreeUid, SearchUpwardAndWrap)
{
    // Taken in the fixture: 0, 1000, 1024 to 1027.
    struct Case {
        const char *what;
        void (*setup)(VAKOUSERDB *);
        int uid;
    } cases[] = {
        {"after the last one handed out",
         [](VAKOUSERDB *db) {
             SetCurrent(db, 1500);
             Take(db, 1501);
             Take(db, 1502);
         },
         1503},
        {"wraps from 3072 to 1024",
         [](VAKOUSERDB *db) {
             SetCurrent(db, 3072);
             Free(db, 1024);
         },
         1024},
        {"wraps past taken ones",
         [](VAKOUSERDB *db) {
             SetCurrent(db, 3071);
             Take(db, 3072);
         },
         1028},
        {"a start out of range begins at 1024", [](VAKOUSERDB *db) { SetCurrent(db, 5000); }, 1028},
        {"the largest start there is", [](VAKOUSERDB *db) { SetCurrent(db, INT32_MAX); }, 1028},
        {"below the range", [](VAKOUSERDB *db) { SetCurrent(db, 100); }, 1028},
        {"no last uid: after the largest",
         [](VAKOUSERDB *db) {
             ASSERT_EQ(VAKOBDbDelete(db->pPWDUID, SZK_BDB_CURRENT_UID, CB_BDB_CURRENT_UID), 0);
             Take(db, 2000);
         },
         2001},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        DbPtr db = OpenFixture();
        c.setup(db.get());
        EXPECT_EQ(VAKOUserGetFreeUid(db.get()), c.uid);
        db.reset();
        for (const char *f : {vakotest::kUserDbName, vakotest::kUserDbUid})
            vakotest::RemoveFile(f);
    }
}

TEST(UserDbFreeUid, NamesAndUidsOfKeptLinesAreNoNewAccounts)
{
    // Lines the cache keeps out, which the system may still read as
    // accounts: "Bob" beside bob, carol with a NUL byte in her description,
    // and a uid of a name that is no UTF-8 text.
    AccountFiles files = Fixture();
    files.passwd += "Bob:x:1028:100::/home/Bob:/bin/sh\n";
    files.passwd += std::string("carol:x:1029:100:Ca") + '\0' + "rol:/home:/bin/sh\n";
    files.passwd += "caf\xe9:x:1030:100:::\n";
    DbPtr db = OpenFixture(files);
    SetCurrent(db.get(), 1027);
    EXPECT_EQ(VAKOUserGetFreeUid(db.get()), 1031);
    EXPECT_TRUE(UidRecords(db.get(), 1028).empty());
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOUserDBSet(db.get(), nullptr, 0, Make("Carol", "p", 1031).get()), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x1C00);
    // Nor does a rename take such a name, or bob's once bob is gone.
    UserPtr alice = Get(db.get(), "ALICE");
    ASSERT_NE(alice, nullptr);
    UserPtr carol = Make("carol", alice->szPasswd, 1026);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOUserDBSet(db.get(), "ALICE", 5, carol.get()), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x1C00);
    ASSERT_EQ(VAKOUserDBDelete(db.get(), "BOB"), 0);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOUserDBSet(db.get(), nullptr, 0, Make("bob", "p", 1031).get()), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x1C00);
    EXPECT_EQ(Record(db->pPWDName, "CAROL"), userdb::kAbsent);
}

TEST(UserDbFreeUid, NoneLeft)
{
    DbPtr db = OpenFixture();
    for (int uid = 1028; uid <= 3072; uid++)
        Take(db.get(), uid);
    SetCurrent(db.get(), 2000);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOUserGetFreeUid(db.get()), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x1F00);
    EXPECT_EQ(VAKOUserGetFreeUid(nullptr), -1);
}

TEST(UserDbRecords, ChangeAddRemoveAndDump)
{
    DbPtr db = OpenFixture();
    UserPtr alice = Get(db.get(), "ALICE");
    ASSERT_NE(alice, nullptr);
    VAKOUSER *raw = alice.release();
    ASSERT_EQ(VAKOUserAlloc(&raw, "alice", std::string(raw->szPasswd).c_str(), 1026, 100, "a:b",
                            "/var/services/homes/alice", "/bin/csh", 20000, 0, "new@example.com", 4),
              0);
    alice.reset(raw);
    ASSERT_EQ(VAKOUserDBSet(db.get(), "ALICE", 5, alice.get()), 0);
    UserPtr carol = Make("carol", "password", VAKOUserGetFreeUid(db.get()), "C");
    ASSERT_EQ(carol->uid, 1028);
    ASSERT_EQ(VAKOUserDBSet(db.get(), nullptr, 0, carol.get()), 0);
    ASSERT_EQ(VAKOUserDBDelete(db.get(), "BOB"), 0);
    ASSERT_EQ(VAKOUserDBDump(db.get()), 0);

    AccountFiles f = vakotest::ReadAccountFiles();
    const std::string aliceShadow = Record(db->pPWDShadow, "ALICE"), carolShadow = Record(db->pPWDShadow, "CAROL");
    const std::string aliceSmb = Record(db->pPWDSMB, "ALICE"), carolSmb = Record(db->pPWDSMB, "CAROL");
    EXPECT_EQ(f.passwd, "root:x:0:0:root:/root:/bin/sh\n"
                        "daemon:x:1000:1:daemon:/:/sbin/nologin\n"
                        "admin:x:1024:100:System default user:/var/services/homes/admin:/bin/sh\n"
                        "guest:x:1025:100:Guest:/nonexist:/sbin/nologin\n"
                        "alice:x:1026:100:a;,b:/var/services/homes/alice:/bin/csh\n"
                        "carol:x:1028:100:C:/var/services/homes/x:/bin/sh\n");
    EXPECT_EQ(f.shadow, "root:$1$Rt$Ea9sRo/vB1WnRWhGbeBQd1:15000:0:99999:7:::\n"
                        "daemon:*:15000:0:99999:7:::\n"
                        "admin:$1$Ad$0.1Vy4C2TzX9HskzOZ2gi/:15000:0:99999:7:::\n"
                        "guest:!:15000:100000:99999:7:::\n" +
                            aliceShadow + "\n" + carolShadow + "\n");
    EXPECT_EQ(aliceShadow, "alice:$1$xy$GSi9DZ/itmn9/ge6aijPn/:" + std::to_string(Today()) + ":0:99999:7::20000:");
    EXPECT_EQ(f.vakouserConf, "#$_@UID__INDEX@_$1027$\n"
                              "# record user misc, format \"user_name:user_privilege:user_mail\"\n"
                              "root:0:\n"
                              "daemon:0:\n"
                              "admin:5:admin@example.com\n"
                              "guest:0:\n"
                              "alice:4:new@example.com\n"
                              "carol:0:\n");
    EXPECT_EQ(
        f.smbpasswd,
        "root:0:AAD3B435B51404EEAAD3B435B51404EE:31D6CFE0D16AE931B73C59D7E0C089C0:[U          ]:LCT-5F5E1000:\n"
        "admin:1024:E52CAC67419A9A224A3B108F3FA6CB6D:8846F7EAEE8FB117AD06BDD830B7586C:[U          ]:LCT-5F5E1000:\n"
        "guest:1025:AAD3B435B51404EEAAD3B435B51404EE:31D6CFE0D16AE931B73C59D7E0C089C0:[U          ]:LCT-5F5E1000:\n" +
            aliceSmb + "\n" + carolSmb + "\n");
    EXPECT_TRUE(
        StartsWith(aliceSmb, std::string("alice:1026:") + kLmPassword + ":" + kNtPassword + ":[U          ]:LCT-"));
    // The next open finds the caches in step.
    userdb::Mark(db.get());
    db.reset();
    db = userdb::Open();
    ASSERT_NE(db, nullptr);
    EXPECT_TRUE(userdb::Marked(db.get()));
}

TEST(UserDbRecords, RefusedArguments)
{
    // Each refusal is recorded under the operation's own source name.
    DbPtr db = OpenFixture();
    VAKOUSER *u = nullptr;
    char out[8];
    struct Case {
        const char *what;
        std::function<int()> call;
        int failed; // the result that tells a failure
        const char *src;
    } cases[] = {
        {"get without a database", [&] { return VAKOUserDBGet(nullptr, "ALICE", &u); }, -1, "user_db_get"},
        {"get without a key", [&] { return VAKOUserDBGet(db.get(), nullptr, &u); }, -1, "user_db_get"},
        {"get without a record", [&] { return VAKOUserDBGet(db.get(), "ALICE", nullptr); }, -1, "user_db_get"},
        {"set without a record", [&] { return VAKOUserDBSet(db.get(), nullptr, 0, nullptr); }, -1, "user_db_set"},
        {"set without a database", [&] { return VAKOUserDBSet(nullptr, nullptr, 0, u); }, -1, "user_db_set"},
        {"delete", [] { return VAKOUserDBDelete(nullptr, "ALICE"); }, -1, "user_db_delete"},
        {"exists without an output", [&] { return VAKOUserDBCheckExists(db.get(), "ALICE", 5, nullptr, 8); }, 0,
         "user_db_check_exists"},
        {"exists without a key", [&] { return VAKOUserDBCheckExists(db.get(), nullptr, 0, out, 8); }, 0,
         "user_db_check_exists"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SLIBErrorSet(0);
        EXPECT_EQ(c.call(), c.failed);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        EXPECT_STREQ(SLIBErrorGetFile(), c.src);
    }
}

} // namespace
