// The account files of the throwaway appliance (the text files that the
// user database caches), written and read whole, and sets of accounts
// made up for tests and benchmarks.
#pragma once

#include <time.h>

#include <ostream>
#include <string>

namespace vakotest {

// The bytes of the four account files.
struct AccountFiles {
    std::string passwd, shadow, vakouserConf, smbpasswd;
    bool operator==(const AccountFiles &) const = default;
};

// The bytes of the two group files.
struct GroupFiles {
    std::string group, groupDesc;
    bool operator==(const GroupFiles &) const = default;
};

// Shown whole when a comparison fails.
inline void PrintTo(const AccountFiles &f, std::ostream *os)
{
    *os << "passwd:\n"
        << f.passwd << "shadow:\n"
        << f.shadow << "vakouser.conf:\n"
        << f.vakouserConf << "smbpasswd:\n"
        << f.smbpasswd;
}
inline void PrintTo(const GroupFiles &f, std::ostream *os)
{
    *os << "group:\n" << f.group << "group_desc:\n" << f.groupDesc;
}

// A modification time that no file written during a test has by chance.
inline constexpr time_t kAccountsMtime = 1600000000;

// Writes the four files (shadow and SMB password file 0600, the others
// 0644), each with modification time mtime.
void WriteAccountFiles(const AccountFiles &files, time_t mtime = kAccountsMtime);
// The four files as they are now; a missing one reads "<missing>".
AccountFiles ReadAccountFiles();

// Writes /etc/group and /etc/group_desc (0644), each with modification time mtime.
void WriteGroupFiles(const GroupFiles &files, time_t mtime = kAccountsMtime);
// The two files as they are now; a missing one reads "<missing>".
GroupFiles ReadGroupFiles();

// Sets a file's access and modification times.
void SetMtime(const std::string &path, time_t mtime);

// The lines of one local account as the user database stores them:
// "name:x:uid:100:desc:/var/services/homes/name:/bin/sh", a shadow line
// with an MD5-crypt hash, "name:0:" and an SMB line.
struct AccountLines {
    std::string passwd, shadow, misc, smb;
};
AccountLines MadeUpAccount(const std::string &name, int uid);

// n accounts "user<uid>" with uids from firstUid up; the lines in ascending
// uid order (as a dump writes them) or, with a non-zero seed, shuffled (as
// an edited file may hold them). vakouser.conf starts with the last-uid
// marker line (lastUid) and its comment line.
AccountFiles MadeUpAccounts(int n, int firstUid = 1024, unsigned seed = 0, int lastUid = 1024);

} // namespace vakotest
