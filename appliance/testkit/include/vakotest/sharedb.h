// The share database's tests and benchmarks and its neighbours' (they link
// libvako): smb.conf sections as the dump writes them, a small appliance's
// shares beside the accounts and groups of the user and group fixtures,
// records, packed values and reads of the database.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "slib/error.h"
#include "slib/szhash.h"
#include "slib/szlist.h"
#include "vako/share_db.h"
#include "vakotest/accounts.h"
#include "vakotest/files.h"
#include "vakotest/groupdb.h"
#include "vakotest/paths.h"
#include "vakotest/smbconf_shapes.h"

namespace sharedb {

struct DbCloser {
    void operator()(VAKOSHAREDB *db) const { VAKOShareDBClose(db); }
};
using DbPtr = std::unique_ptr<VAKOSHAREDB, DbCloser>;

struct ShareDeleter {
    void operator()(VAKOSHARE *s) const { VAKOShareFree(s); }
};
using SharePtr = std::unique_ptr<VAKOSHARE, ShareDeleter>;

// One share's section as the dump writes it; lists without the "nobody"
// entries around them.
struct Section {
    Section(std::string n, std::string inv, std::string val, std::string comm, std::string p)
        : name(std::move(n)), invalid(std::move(inv)), valid(std::move(val)), comment(std::move(comm)),
          path(std::move(p))
    {
    }
    std::string name, invalid, valid, comment, path;
    std::string guestOk = "yes", browseable = "yes", ftpList = "no", ftpModify = "no", ftpDownload = "no";
    std::string read, write;
    std::string writeable = "yes";

    std::string Text() const
    {
        auto list = [](const std::string &l) { return "nobody," + l + (l.empty() ? "" : ",") + "nobody"; };
        return "[" + name + "]\n" + "\tinvalid users=" + list(invalid) + "\n" + "\tvalid users=" + list(valid) + "\n" +
               "\tcomment=\"" + comment + "\"\n" + "\tpath=" + path + "\n" + "\tguest ok=" + guestOk + "\n" +
               "\tbrowseable=" + browseable + "\n" + "\tftp disable list=" + ftpList + "\n" +
               "\tftp disable modify=" + ftpModify + "\n" + "\tftp disable download=" + ftpDownload + "\n" +
               "\tread list=" + list(read) + "\n" + "\twrite list=" + list(write) + "\n" + "\twriteable=" + writeable +
               "\n";
    }
};

// Names as "valid users" lists them: in the key order of the string hash.
inline std::string HashOrder(std::initializer_list<const char *> names)
{
    PSLIBSZHASH hash = SLIBSzHashAlloc(1024);
    for (const char *n : names)
        SLIBSzHashSetValue(&hash, n, "");
    PSLIBSZLIST keys = PslSLIBSzListAlloc(512);
    SLIBSzHashEnumKey(hash, &keys);
    std::string text;
    for (int i = 0; i < keys->nItem; i++)
        text += (i ? "," : "") + std::string(SLIBSzListGet(keys, i));
    SLIBSzListFree(keys);
    SLIBSzHashFree(hash);
    return text;
}

using smbconf::kGlobal;

// A share open to all, one of the team (groups and accounts in its lists),
// one that every local account may write.
inline Section Public() { return {"public", "", "", "Public files", "/volume1/public"}; }
inline Section Team()
{
    Section s{"team", "@dev", HashOrder({"alice", "@staff"}), "Team", "/volume1/team"};
    s.guestOk = "no";
    s.browseable = "no";
    s.ftpList = "yes";
    s.ftpDownload = "yes";
    s.read = "alice";
    s.write = "@staff";
    s.writeable = "no";
    return s;
}
inline Section Everyone()
{
    Section s{"everyone", "", "@users", "", "/volume1/everyone"};
    s.write = "@users";
    return s;
}

// The fixture's smb.conf: reserved section first, shares in key order.
inline std::string Fixture() { return kGlobal + Everyone().Text() + Public().Text() + Team().Text(); }

inline void WriteSmbConf(const std::string &text, time_t mtime = vakotest::kAccountsMtime)
{
    vakotest::WriteFile(vakotest::kSmbConf, text);
    vakotest::SetMtime(vakotest::kSmbConf, mtime);
}

// The accounts, groups and shares of the fixtures.
inline void WriteFixture(const std::string &smbConf = Fixture())
{
    groupdb::WriteFixture();
    WriteSmbConf(smbConf);
}

inline DbPtr Open() { return DbPtr(VAKOShareDBOpen()); }

inline DbPtr OpenFixture(const std::string &smbConf = Fixture())
{
    WriteFixture(smbConf);
    DbPtr db = Open();
    EXPECT_NE(db, nullptr);
    return db;
}

// The share stored under a name (any case), or NULL.
inline SharePtr Get(VAKOSHAREDB *db, const std::string &key)
{
    void *p = nullptr;
    int cb = 0;
    SharePtr share;
    if (VAKOBDbGet(db->pDb, key.c_str(), static_cast<int>(key.size()) + 1, &p, &cb) == 0) {
        VAKOSHARE *s = nullptr;
        if (VAKOShareDBUnPackBounded(p, cb, &s) == 0)
            share.reset(s);
        else
            VAKOShareFree(s);
    }
    VAKOBDbDataFree(p);
    return share;
}

// The names of the shares in key order.
inline std::vector<std::string> Names(VAKOSHAREDB *db)
{
    std::vector<std::string> names;
    VAKOBDbCursorSetType(db->pDb, VAKO_BDB_CURSOR_FIRST);
    VAKOSHARE *s = nullptr;
    while (VAKOShareDBCursorGet(db, &s) == 0) {
        names.emplace_back(s->szName);
        VAKOBDbCursorSetType(db->pDb, VAKO_BDB_CURSOR_NEXT);
    }
    VAKOShareFree(s);
    return names;
}

// A record made of a description.
inline SharePtr Make(const VAKOSHAREINFO &info) { return SharePtr(VAKOShareAlloc(&info)); }

// The description of a browseable read-write share of that name.
inline VAKOSHAREINFO Info(const char *name, const char *path = "/volume1/x")
{
    return {name, nullptr, path, nullptr, nullptr, nullptr, VAKO_SHARE_READ_WRITE, 1, 0};
}

// The packed value of a record, as long as its own length word says.
inline std::string Packed(const VAKOSHARE *s)
{
    void *v = VAKOShareDBPack(s);
    EXPECT_NE(v, nullptr) << std::hex << SLIBErrorGet();
    if (!v)
        return "";
    int32_t cb;
    memcpy(&cb, static_cast<char *>(v) + 40, 4);
    std::string bytes(static_cast<char *>(v), static_cast<size_t>(cb));
    free(v);
    return bytes;
}

} // namespace sharedb
