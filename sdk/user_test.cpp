#include "vako/user.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <pwd.h>
#include <shadow.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>

#include "slib/error.h"
#include "vako/keydb.h"
#include "vakotest/cryptfault.h"

namespace {

struct UserDeleter {
    void operator()(VAKOUSER *p) const { VAKOUserFree(p); }
};
using UserPtr = std::unique_ptr<VAKOUSER, UserDeleter>;

size_t BytesInUse(const VAKOUSER *u)
{
    // The strings given are placed one after the other; the last NUL ends them.
    const char *base = reinterpret_cast<const char *>(u);
    const char *end = u->szName;
    for (const char *s : {u->szName, u->szPasswd, u->szDesc, u->szHome, u->szShell, u->szMail})
        end = std::max(end, s + strlen(s));
    return static_cast<size_t>(end - base) + 1;
}

TEST(UserAlloc, NameOnly)
{
    VAKOUSER *u = nullptr;
    ASSERT_EQ(VAKOUserAlloc(&u, "bob", nullptr, 1030, 100, nullptr, nullptr, nullptr, -1, 0, nullptr, 0), 0);
    UserPtr owner(u);
    // 52 + 4 bytes on the appliance's 32-bit processor.
    EXPECT_EQ(BytesInUse(u), sizeof(VAKOUSER) + 4);
    EXPECT_GE(static_cast<size_t>(u->cbAlloc), sizeof(VAKOUSER) + 4);
    EXPECT_STREQ(u->szName, "bob");
    EXPECT_EQ(reinterpret_cast<char *>(u->szName), reinterpret_cast<char *>(u) + sizeof(VAKOUSER));
    for (const char *s : {u->szPasswd, u->szDesc, u->szHome, u->szShell, u->szMail}) {
        EXPECT_STREQ(s, "");
        EXPECT_EQ(s, u->szName + 3); // the NUL of "bob"
    }
    EXPECT_EQ(u->type, 1);
    EXPECT_EQ(u->uid, 1030);
    EXPECT_EQ(u->gid, 100);
    EXPECT_EQ(u->expire, -1);
}

TEST(UserAlloc, AllFieldsAndDomainType)
{
    VAKOUSER *u = nullptr;
    ASSERT_EQ(VAKOUserAlloc(&u, "CORP\\alice", "h", -1, -1, "d", "/home", "/bin/sh", 20000, 1, "a@b", 3), 0);
    UserPtr owner(u);
    EXPECT_EQ(u->type, 2);
    EXPECT_EQ(BytesInUse(u), sizeof(VAKOUSER) + 11 + 2 + 2 + 6 + 8 + 4);
    EXPECT_STREQ(u->szPasswd, "h");
    EXPECT_STREQ(u->szDesc, "d");
    EXPECT_STREQ(u->szHome, "/home");
    EXPECT_STREQ(u->szShell, "/bin/sh");
    EXPECT_STREQ(u->szMail, "a@b");
    EXPECT_EQ(u->expire, 20000);
    EXPECT_EQ(u->disabled, 1);
    EXPECT_EQ(u->privilege, 3);
}

TEST(UserAlloc, RefillReusesOrGrowsTheBlock)
{
    VAKOUSER *u = nullptr;
    ASSERT_EQ(VAKOUserAlloc(&u, "a-rather-long-name", "x", 1, 1, nullptr, nullptr, nullptr, -1, 0, nullptr, 0), 0);
    int size = u->cbAlloc;
    VAKOUSER *before = u;
    ASSERT_EQ(VAKOUserAlloc(&u, "b", nullptr, 2, 2, nullptr, nullptr, nullptr, -1, 0, nullptr, 7), 0);
    EXPECT_EQ(u, before); // large enough: reused as it is
    EXPECT_EQ(u->cbAlloc, size);
    EXPECT_STREQ(u->szName, "b");
    EXPECT_STREQ(u->szPasswd, "");
    EXPECT_EQ(u->privilege, 7);
    std::string big(5000, 'd');
    ASSERT_EQ(VAKOUserAlloc(&u, "c", nullptr, 3, 3, big.c_str(), nullptr, nullptr, -1, 0, nullptr, 0), 0);
    UserPtr owner(u);
    EXPECT_GE(static_cast<size_t>(u->cbAlloc), sizeof(VAKOUSER) + 2 + 5001);
    EXPECT_EQ(u->szDesc, big);
}

TEST(UserAlloc, RefusedArguments)
{
    VAKOUSER *u = nullptr;
    ASSERT_EQ(VAKOUserAlloc(&u, "x", "p", 1, 1, "desc", nullptr, nullptr, -1, 0, nullptr, 0), 0);
    UserPtr owner(u);
    VAKOUSER *same = u;
    struct Case {
        const char *what;
        VAKOUSER **pp;
        const char *name;
        const char *desc;
    } cases[] = {
        {"its own name", &u, u->szName, nullptr},
        {"its own description", &u, "y", u->szDesc},
        {"no name", &u, nullptr, nullptr},
        {"empty name", &u, "", nullptr},
        {"no record pointer", nullptr, "y", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SLIBErrorSet(0);
        EXPECT_EQ(VAKOUserAlloc(c.pp, c.name, nullptr, 2, 2, c.desc, nullptr, nullptr, -1, 0, nullptr, 0), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        EXPECT_EQ(u, same);
        EXPECT_STREQ(u->szName, "x");
        EXPECT_STREQ(u->szDesc, "desc");
        EXPECT_EQ(u->uid, 1);
    }
}

TEST(UserRecord, RefusalsAreRecordedUnderTheOperationsNames)
{
    void *buf = nullptr;
    int cb = 0;
    char *line = nullptr;
    struct Case {
        const char *what;
        std::function<bool()> failed;
        const char *src;
    } cases[] = {
        {"alloc",
         [] { return VAKOUserAlloc(nullptr, "x", nullptr, 1, 1, nullptr, nullptr, nullptr, -1, 0, nullptr, 0) == -1; },
         "user_alloc"},
        {"pack", [&] { return VAKOUserDBPack(nullptr, &line, &cb) == -1; }, "user_db_pack"},
        {"passwd line", [&] { return UserDBUnpackPasswd(nullptr, &buf, &cb) == -1; }, "user_db_unpack_passwd"},
        {"shadow line", [&] { return UserDBUnpackShadow(nullptr, &buf, &cb) == -1; }, "user_db_unpack_shadow"},
        {"hash", [] { return SzSDKIWrapMD5Encrypt(nullptr, "") == nullptr; }, "wrap_md5_encrypt"},
        {"hash test", [] { return VAKOUserIsPasswdMD5Encrypt(nullptr) == 0; }, "user_is_passwd_md5_encrypt"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SLIBErrorSet(0);
        EXPECT_TRUE(c.failed());
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        EXPECT_STREQ(SLIBErrorGetFile(), c.src);
    }
}

TEST(UserPack, PasswdLine)
{
    VAKOUSER *u = nullptr;
    ASSERT_EQ(VAKOUserAlloc(&u, "x", "h", 1026, 100, "a;,b", "/var/services/homes/x", "/bin/csh", -1, 0, "", 0), 0);
    UserPtr owner(u);
    char *buf = nullptr;
    int cb = 0;
    const std::string want = "x:x:1026:100:a;,b:/var/services/homes/x:/bin/csh";
    EXPECT_EQ(VAKOUserDBPack(u, &buf, &cb), static_cast<int>(want.size()) + 1);
    EXPECT_EQ(std::string(buf), want);
    EXPECT_GE(cb, static_cast<int>(want.size()) + 1);

    // Strings not given are empty fields; the buffer is reused.
    ASSERT_EQ(VAKOUserAlloc(&u, "y", nullptr, -1, -1, nullptr, nullptr, nullptr, -1, 0, nullptr, 3), 0);
    EXPECT_EQ(VAKOUserDBPack(u, &buf, &cb), 13);
    EXPECT_STREQ(buf, "y:x:-1:-1:::");
    free(buf);
}

TEST(UserPack, RefusedArguments)
{
    VAKOUSER u{};
    char empty[] = "";
    u.szName = empty;
    char *buf = nullptr;
    int cb = 0;
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOUserDBPack(&u, &buf, &cb), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x1A00);
    EXPECT_EQ(VAKOUserDBPack(nullptr, &buf, &cb), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    char stack[8];
    char *notHeap = stack;
    int zero = 0;
    EXPECT_EQ(VAKOUserDBPack(&u, &notHeap, &zero), -1); // a buffer with no known size
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
}

TEST(UserUnpack, PasswdLines)
{
    void *buf = nullptr;
    int cb = 0;
    ASSERT_EQ(UserDBUnpackPasswd("root:x:0:0:root:/root:/bin/sh", &buf, &cb), 0);
    auto *pw = static_cast<struct passwd *>(buf);
    EXPECT_STREQ(pw->pw_name, "root");
    EXPECT_STREQ(pw->pw_passwd, "x");
    EXPECT_EQ(pw->pw_uid, 0u);
    EXPECT_EQ(pw->pw_gid, 0u);
    EXPECT_STREQ(pw->pw_gecos, "root");
    EXPECT_STREQ(pw->pw_dir, "/root");
    EXPECT_STREQ(pw->pw_shell, "/bin/sh");

    ASSERT_EQ(UserDBUnpackPasswd("a:x:1:2:::", &buf, &cb), 0);
    pw = static_cast<struct passwd *>(buf);
    EXPECT_EQ(pw->pw_uid, 1u);
    EXPECT_EQ(pw->pw_gid, 2u);
    EXPECT_STREQ(pw->pw_gecos, "");
    EXPECT_STREQ(pw->pw_dir, "");
    EXPECT_STREQ(pw->pw_shell, "");

    // A long line: the buffer grows.
    std::string desc(10000, 'd');
    ASSERT_EQ(UserDBUnpackPasswd(("b:x:3:4:" + desc + ":/h:/s").c_str(), &buf, &cb), 0);
    pw = static_cast<struct passwd *>(buf);
    EXPECT_EQ(pw->pw_gecos, desc);
    EXPECT_STREQ(pw->pw_shell, "/s");
    VAKOUserFree(static_cast<VAKOUSER *>(buf));
}

TEST(UserUnpack, BadPasswdLines)
{
    struct Case {
        const char *line;
        int code;
    } cases[] = {
        {"a:x:1:2::", 0x4000},
        {"a:x:1:2::::", 0x4000},
        {"", 0x4000},
        {":x:1:2:::", 0x1A00},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        void *buf = nullptr;
        int cb = 0;
        SLIBErrorSet(0);
        EXPECT_EQ(UserDBUnpackPasswd(c.line, &buf, &cb), -1);
        EXPECT_EQ(SLIBErrorGet(), c.code);
        free(buf);
    }
    void *buf = nullptr;
    int cb = 0;
    EXPECT_EQ(UserDBUnpackPasswd(nullptr, &buf, &cb), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
}

TEST(UserUnpack, ShadowLines)
{
    void *buf = nullptr;
    int cb = 0;
    ASSERT_EQ(UserDBUnpackShadow("u:h:15000::::::", &buf, &cb), 0);
    auto *sp = static_cast<struct spwd *>(buf);
    EXPECT_STREQ(sp->sp_namp, "u");
    EXPECT_STREQ(sp->sp_pwdp, "h");
    EXPECT_EQ(sp->sp_lstchg, 15000);
    EXPECT_EQ(sp->sp_min, -1);
    EXPECT_EQ(sp->sp_max, -1);
    EXPECT_EQ(sp->sp_warn, -1);
    EXPECT_EQ(sp->sp_inact, -1);
    EXPECT_EQ(sp->sp_expire, -1);
    EXPECT_EQ(sp->sp_flag, 0u);

    ASSERT_EQ(UserDBUnpackShadow("v:$1$ab$c:19000:100000:99999:7:3:20000:5", &buf, &cb), 0);
    sp = static_cast<struct spwd *>(buf);
    EXPECT_STREQ(sp->sp_pwdp, "$1$ab$c");
    EXPECT_EQ(sp->sp_min, 100000);
    EXPECT_EQ(sp->sp_max, 99999);
    EXPECT_EQ(sp->sp_warn, 7);
    EXPECT_EQ(sp->sp_inact, 3);
    EXPECT_EQ(sp->sp_expire, 20000);
    EXPECT_EQ(sp->sp_flag, 5u);
    free(buf);

    for (const char *bad : {"u:h:1:2:3:4:5:6", "u:h:1:2:3:4:5:6:7:8", "u"}) {
        SCOPED_TRACE(bad);
        void *b = nullptr;
        int n = 0;
        EXPECT_EQ(UserDBUnpackShadow(bad, &b, &n), -1);
        EXPECT_EQ(SLIBErrorGet(), 0x4000);
        free(b);
    }
    void *b = nullptr;
    int n = 0;
    EXPECT_EQ(UserDBUnpackShadow(":h:1:2:3:4:5:6:7", &b, &n), -1);
    EXPECT_EQ(SLIBErrorGet(), 0x1A00);
}

TEST(UserName, Rule)
{
    std::string sixtyFour, sixtyFive;
    for (int i = 0; i < 64; i++)
        sixtyFour += "\xE2\x82\xAC"; // the euro sign: 3 bytes
    sixtyFive = sixtyFour + "a";
    struct Case {
        std::string name;
        int valid;
    } cases[] = {
        {"a", 1},       {"a b", 1},
        {"a.b_c-d", 1}, {"Z9", 1},
        {sixtyFour, 1}, {std::string(64, 'x'), 1},
        {sixtyFive, 0}, {std::string(65, 'x'), 0},
        {"", 0},        {"-x", 0},
        {" x", 0},      {"x ", 0},
        {"a/b", 0},     {"a:b", 0},
        {"a\\b", 0},    {"a*b", 0},
        {"a\nb", 0},    {"x-", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(VAKOUserIsValidName(c.name.c_str()), c.valid);
    }
    EXPECT_EQ(VAKOUserIsValidName(nullptr), 0);
}

TEST(UserSalt, Characters)
{
    struct Case {
        int n;
        char c;
    } cases[] = {{0, '0'},  {9, '9'},  {10, 'A'}, {35, 'Z'},  {36, 'a'},      {61, 'z'},     {62, '.'},
                 {63, '/'}, {64, '0'}, {-1, '1'}, {-63, '/'}, {INT_MIN, '0'}, {INT_MAX, '/'}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.n);
        EXPECT_EQ(SaltCharFromInt(c.n), c.c);
    }
}

TEST(UserMd5, IsHash)
{
    struct Case {
        const char *text;
        int md5;
    } cases[] = {
        {"$1$0123456789", 1},
        {"$1$012345678", 0},
        {"abJnggxhB/yWI", 0},
        {"!$1$ab$cdefghij", 1},
        {"$1$", 0},
        {"", 0},
        {"$1$xy$GSi9DZ/itmn9/ge6aijPn/", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(VAKOUserIsPasswdMD5Encrypt(c.text), c.md5);
    }
    SLIBErrorSet(0);
    EXPECT_EQ(VAKOUserIsPasswdMD5Encrypt(nullptr), 0);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
}

// A fresh salt: "$1$", two salt characters, "$", 22 hash characters.
bool FreshHash(const std::string &h)
{
    const char *alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz./";
    return h.size() == 28 && h.compare(0, 3, "$1$") == 0 && strchr(alphabet, h[3]) && strchr(alphabet, h[4]) &&
           h[5] == '$';
}

TEST(UserMd5, Hashes)
{
    // Expected values from an independent MD5-crypt ("openssl passwd -1 -salt").
    struct Case {
        const char *salt;
        const char *hash;
    } cases[] = {
        {"xy", "$1$xy$GSi9DZ/itmn9/ge6aijPn/"},
        // An old DES hash as salt: its first 8 characters.
        {"abJnggxhB/yWI", "$1$abJnggxh$lNZuzXrP5aNizbXaT9MTG."},
        // The old MD5-crypt hash: its salt.
        {"$1$xy$GSi9DZ/itmn9/ge6aijPn/", "$1$xy$GSi9DZ/itmn9/ge6aijPn/"},
        {"$1$abJnggxh$anything-else", "$1$abJnggxh$lNZuzXrP5aNizbXaT9MTG."},
        // A hash behind a lock mark keeps its salt.
        {"!$1$xy$GSi9DZ/itmn9/ge6aijPn/", "$1$xy$GSi9DZ/itmn9/ge6aijPn/"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.salt);
        const char *h = SzSDKIWrapMD5Encrypt("password", c.salt);
        ASSERT_NE(h, nullptr);
        EXPECT_STREQ(h, c.hash);
    }
}

TEST(UserMd5, FreshSaltAndRepeat)
{
    const char *h = SzSDKIWrapMD5Encrypt("secret", "");
    ASSERT_NE(h, nullptr);
    std::string first = h;
    EXPECT_TRUE(FreshHash(first)) << first;
    h = SzSDKIWrapMD5Encrypt("secret", first.c_str());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(first, h);
    h = SzSDKIWrapMD5Encrypt("other", first.c_str());
    ASSERT_NE(h, nullptr);
    EXPECT_NE(first, h);
    EXPECT_EQ(std::string(h).substr(0, 6), first.substr(0, 6)); // same salt
}

TEST(UserMd5, UnusableOldHashGetsAFreshSalt)
{
    // crypt answers these settings with its failure token "*0": never a hash.
    for (const char *old : {"!", "*", "!!", "*LK*", "abcdefgh:x", "ab cd"}) {
        SCOPED_TRACE(old);
        const char *h = SzSDKIWrapMD5Encrypt("password", old);
        ASSERT_NE(h, nullptr);
        EXPECT_TRUE(FreshHash(h)) << h;
    }
    SLIBErrorSet(0);
    EXPECT_EQ(SzSDKIWrapMD5Encrypt(nullptr, ""), nullptr);
    EXPECT_EQ(SLIBErrorGet(), 0x0D00);
    EXPECT_EQ(SzSDKIWrapMD5Encrypt("p", nullptr), nullptr);
}

TEST(UserMd5, CryptFailureIsNoHash)
{
    // libcrypt answers a failure with a token beginning '*', or NULL.
    for (const char *token : {"*0", "*1", static_cast<const char *>(nullptr)}) {
        SCOPED_TRACE(token ? token : "NULL");
        vakotest::gCryptFails = true;
        vakotest::gCryptResult = token;
        SLIBErrorSet(0);
        EXPECT_EQ(SzSDKIWrapMD5Encrypt("password", "xy"), nullptr);
        EXPECT_EQ(SLIBErrorGet(), 0x0D00);
        EXPECT_EQ(SzSDKIWrapMD5Encrypt("password", ""), nullptr);
        vakotest::gCryptFails = false;
    }
}

} // namespace
