// The round trip of smb.conf through the share database, for the share
// database's tests and its neighbours' (they link libvako): a file as an
// appliance holds it is read into a new cache (the open builds it), one
// ordinary change is made and the database is dumped back; then a cache
// built anew of the written file tells which shares it holds.
#pragma once

#include <ctype.h>
#include <stddef.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "slib/szhash.h"
#include "vako/share_db.h"
#include "vako/user_list.h"
#include "vakotest/accounts.h"
#include "vakotest/files.h"
#include "vakotest/paths.h"
#include "vakotest/sharedb.h"
#include "vakotest/userdb.h"

namespace smbconf {

// The ordinary changes.
enum class Change {
    kRenameUser,  // bob becomes robert: in the account files, then in every share list
    kChangeShare, // the share `target` gets the comment kChangedComment
    kAddShare,    // a share `target` (AddedShare) is added
    kRemoveShare, // the share `target` is removed
};

inline constexpr char kChangedComment[] = "changed";

// The share that kAddShare adds, as the dump writes it.
inline sharedb::Section AddedShare(const std::string &name) { return {name, "", "", "new", "/volume1/" + name}; }

struct Row {
    const char *name;
    std::string before; // smb.conf
    Change change;
    std::string target;
    std::string after;               // smb.conf after the dump
    std::vector<std::string> shares; // the shares of a cache built of `after`, in key order
};
inline void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

struct Result {
    int dumped = -1; // the change's result: the dump's, or the rename's
    std::string text;
    std::vector<std::string> shares;
};

// Each occurrence of from in text replaced by to.
inline std::string ReplaceAll(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// "" when got is want, else where they part, in a few words (the files may
// be megabytes long).
inline std::string Difference(const std::string &want, const std::string &got)
{
    if (want == got)
        return "";
    size_t at = static_cast<size_t>(std::mismatch(want.begin(), want.end(), got.begin(), got.end()).first -
                                    want.begin());
    size_t line = static_cast<size_t>(std::count(want.begin(), want.begin() + static_cast<ptrdiff_t>(at), '\n')) + 1;
    auto around = [&](const std::string &s) {
        std::string part = s.substr(at > 40 ? at - 40 : 0, 120);
        std::string shown;
        for (unsigned char c : part)
            shown += isprint(c) ? std::string(1, static_cast<char>(c)) : "\\x" + std::to_string(c) + ";";
        return shown;
    };
    return "line " + std::to_string(line) + " (byte " + std::to_string(at) + "): want [" + around(want) + "] got [" +
           around(got) + "] (sizes " + std::to_string(want.size()) + ", " + std::to_string(got.size()) + ")";
}

// The share's record with another comment, stored in its place.
inline int ChangeComment(VAKOSHAREDB *db, const std::string &name)
{
    std::string key = name;
    for (char &c : key)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    sharedb::SharePtr s = sharedb::Get(db, key);
    if (!s)
        return -1;
    sharedb::SharePtr changed = sharedb::Make({s->szName, kChangedComment, s->szPath, s->szInvalidUsers, s->szWriteList,
                                               s->szReadList, s->fType, s->fBrowseable, s->ftpFlags});
    return changed ? VAKOShareDBSet(db, name.c_str(), changed.get()) : -1;
}

inline Result RoundTrip(const Row &row)
{
    Result r;
    vakotest::RemoveFile(vakotest::kShareDb);
    sharedb::WriteFixture(row.before);
    sharedb::DbPtr db = sharedb::Open();
    if (!db)
        return r;
    int changed = 0;
    switch (row.change) {
    case Change::kRenameUser: {
        // As the user set does it: the account files first, then the lists.
        db.reset();
        vakotest::AccountFiles renamed = userdb::Fixture();
        for (std::string *f : {&renamed.passwd, &renamed.shadow, &renamed.vakouserConf, &renamed.smbpasswd})
            *f = ReplaceAll(*f, "bob", "robert");
        vakotest::WriteAccountFiles(renamed, vakotest::kAccountsMtime + 1);
        PSLIBSZHASH map = SLIBSzHashAlloc(1024);
        SLIBSzHashSetValue(&map, "BOB", "robert");
        r.dumped = VAKOUserModifySmbConf(map);
        SLIBSzHashFree(map);
        break;
    }
    case Change::kChangeShare:
        changed = ChangeComment(db.get(), row.target);
        break;
    case Change::kAddShare: {
        std::string path = "/volume1/" + row.target;
        sharedb::SharePtr added = sharedb::Make(
            {row.target.c_str(), "new", path.c_str(), nullptr, nullptr, nullptr, 2, 1, 0});
        changed = added ? VAKOShareDBSet(db.get(), nullptr, added.get()) : -1;
        break;
    }
    case Change::kRemoveShare:
        changed = VAKOShareDBDelete(db.get(), row.target.c_str());
        break;
    }
    if (db)
        r.dumped = changed == 0 ? VAKOShareDBDump(db.get()) : -1;
    db.reset();
    r.text = vakotest::ReadFile(vakotest::kSmbConf);
    // What the written file holds, read anew.
    vakotest::RemoveFile(vakotest::kShareDb);
    sharedb::DbPtr again = sharedb::Open();
    if (again)
        r.shares = sharedb::Names(again.get());
    return r;
}

} // namespace smbconf
