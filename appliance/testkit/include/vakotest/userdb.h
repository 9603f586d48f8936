// The user database's tests and benchmarks and its neighbours' (they link
// libvako): a small appliance's account files, and reads of the cache files'
// records as text.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "vako/keydb.h"
#include "vako/user_db.h"
#include "vakotest/accounts.h"

namespace userdb {

struct DbCloser {
    void operator()(VAKOUSERDB *db) const { VAKOUserDBClose(db); }
};
using DbPtr = std::unique_ptr<VAKOUSERDB, DbCloser>;

struct UserDeleter {
    void operator()(VAKOUSER *u) const { VAKOUserFree(u); }
};
using UserPtr = std::unique_ptr<VAKOUSER, UserDeleter>;

inline constexpr char kAbsent[] = "<absent>";

// root and a system account, admin, guest, alice with a ':' in her
// description, bob without a misc line; lines in uid order as a dump
// writes them.
inline vakotest::AccountFiles Fixture()
{
    return {
        "root:x:0:0:root:/root:/bin/sh\n"
        "daemon:x:1000:1:daemon:/:/sbin/nologin\n"
        "admin:x:1024:100:System default user:/var/services/homes/admin:/bin/sh\n"
        "guest:x:1025:100:Guest:/nonexist:/sbin/nologin\n"
        "alice:x:1026:100:a;,b:/var/services/homes/alice:/bin/csh\n"
        "bob:x:1027:100::/var/services/homes/bob:/bin/csh\n",
        "root:$1$Rt$Ea9sRo/vB1WnRWhGbeBQd1:15000:0:99999:7:::\n"
        "daemon:*:15000:0:99999:7:::\n"
        "admin:$1$Ad$0.1Vy4C2TzX9HskzOZ2gi/:15000:0:99999:7:::\n"
        "guest:!:15000:100000:99999:7:::\n"
        "alice:$1$xy$GSi9DZ/itmn9/ge6aijPn/:15000:0:99999:7::20000:\n"
        "bob:$1$Bb$5lG8yGdLMGwHzHpyKyQ7B.:15001:::7:::\n",
        "#$_@UID__INDEX@_$1027$\n"
        "# record user misc, format \"user_name:user_privilege:user_mail\"\n"
        "root:0:\n"
        "daemon:0:\n"
        "admin:5:admin@example.com\n"
        "guest:0:\n"
        "alice:3:alice@example.com\n",
        "root:0:AAD3B435B51404EEAAD3B435B51404EE:31D6CFE0D16AE931B73C59D7E0C089C0:[U          ]:LCT-5F5E1000:\n"
        "admin:1024:E52CAC67419A9A224A3B108F3FA6CB6D:8846F7EAEE8FB117AD06BDD830B7586C:[U          ]:LCT-5F5E1000:\n"
        "guest:1025:AAD3B435B51404EEAAD3B435B51404EE:31D6CFE0D16AE931B73C59D7E0C089C0:[U          ]:LCT-5F5E1000:\n"
        "alice:1026:E52CAC67419A9A224A3B108F3FA6CB6D:8846F7EAEE8FB117AD06BDD830B7586C:[U          ]:LCT-5F5E1000:\n"
        "bob:1027:E52CAC67419A9A224A3B108F3FA6CB6D:8846F7EAEE8FB117AD06BDD830B7586C:[U          ]:LCT-5F5E1000:\n",
    };
}

// A record's value as text (its NUL dropped), or kAbsent.
inline std::string Record(VAKOBDB *bdb, const std::string &key)
{
    void *p = nullptr;
    int cb = 0;
    std::string v = kAbsent;
    if (VAKOBDbGet(bdb, key.c_str(), static_cast<int>(key.size()) + 1, &p, &cb) == 0)
        v.assign(static_cast<char *>(p), strnlen(static_cast<char *>(p), static_cast<size_t>(cb)));
    VAKOBDbDataFree(p);
    return v;
}

// Every value stored under one key of the uid file, in order.
inline std::vector<std::string> UidRecords(VAKOUSERDB *db, int uid)
{
    char key[16];
    int cbKey = snprintf(key, sizeof key, "%06d", uid) + 1;
    std::vector<std::string> names;
    void *k = malloc(static_cast<size_t>(cbKey)), *v = nullptr;
    memcpy(k, key, static_cast<size_t>(cbKey));
    int cbK = cbKey, cbV = 0;
    VAKOBDbCursorSetType(db->pPWDUID, VAKO_BDB_CURSOR_SET);
    while (VAKOBDbCursorGet(db->pPWDUID, 0, &k, &cbK, &v, &cbV) == 0 && cbK == cbKey && memcmp(k, key, cbK) == 0) {
        names.emplace_back(static_cast<char *>(v));
        VAKOBDbCursorSetType(db->pPWDUID, VAKO_BDB_CURSOR_NEXT);
    }
    VAKOBDbCursorSetType(db->pPWDUID, VAKO_BDB_CURSOR_NEXT);
    VAKOBDbDataFree(k);
    VAKOBDbDataFree(v);
    return names;
}

// "#CURRENT_UID" of the uid file, -1 when it cannot be read.
inline int CurrentUid(VAKOUSERDB *db)
{
    int32_t v;
    return VAKOBDbWordGet(db->pPWDUID, SZK_BDB_CURRENT_UID, CB_BDB_CURRENT_UID, &v) == 0 ? v : -1;
}

// A record that no build writes: it survives only while nothing is rebuilt.
inline void Mark(VAKOUSERDB *db) { ASSERT_EQ(VAKOBDbSet(db->pPWDName, "MARK", 5, "m", 2), 0); }
inline bool Marked(VAKOUSERDB *db) { return Record(db->pPWDName, "MARK") == "m"; }

inline DbPtr Open() { return DbPtr(VAKOUserDBOpen()); }

} // namespace userdb
