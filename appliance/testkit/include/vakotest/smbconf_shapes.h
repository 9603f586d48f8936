// smb.conf as years-old appliances hold it, for the share database's tests
// and the end-to-end updates: each shape a whole file whose shares name the
// accounts and groups of the user and group fixtures (bob, alice, staff).
// None holds a line that the updater's migrations change.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

namespace smbconf {

inline const char kGlobal[] = "[global]\n\tworkgroup=WORKGROUP\n\tsecurity=user\n";

// A line of 100 KB.
inline std::string Big(char c) { return std::string(100 * 1024, c); }

// Shares that grant guests nothing with words outside the permission table:
// "no"/"yes" (bob may write), "No"/"No", and no words at all.
inline std::string PrivateShares()
{
    return std::string(kGlobal) +
           "[alpha]\n\tpath=/volume1/alpha\n\tguest ok = no\n\twriteable = yes\n\tvalid users = bob\n"
           "\twrite list = bob\n"
           "[beta]\n\tpath=/volume1/beta\n\tguest ok = No\n\twriteable = No\n"
           "[gamma]\n\tpath=/volume1/gamma\n";
}

// A share with comment lines, a line without '=' and one without a key.
inline std::string ShareComments()
{
    return std::string(kGlobal) + "[data]\n# the team's data\n\tpath = /volume1/data\n; path = /volume1/old\n"
                                  "\tjust words\n\t= no key\n\twrite list = bob\n\tcomment = Data\n";
}

// Section names that no share can have: Latin-1, empty, a blank, a '-'
// first, 600 bytes, and one that differs from another only in letter case.
inline std::string OddNames()
{
    return std::string(kGlobal) + "[caf\xe9]\n\tpath=/volume1/cafe\n" + "[]\n\tpath=/volume1/none\n" +
           "[ ]\n\tpath=/volume1/blank\n" + "[-x]\n\tpath=/volume1/x\n" + "[" + std::string(600, 'n') +
           "]\n\tpath=/volume1/long\n" + "[public]\n\tpath=/volume1/public\n\twrite list = bob\n" +
           "[Public]\n\tpath=/volume1/other\n\twrite list = bob\n";
}

// Shares without a usable path: relative, none, one holding a NUL byte;
// and one share that has one.
inline std::string OddPaths()
{
    static const char kMusic[] = "[music]\n\tpath=/volume1/mu\0sic\n\twrite list = bob\n";
    return std::string(kGlobal) + "[rel]\n\tpath=volume1/rel\n\twrite list = bob\n" + "[nopath]\n\tcomment=no path\n" +
           "[data]\n\tpath=/volume1/data\n" + std::string(kMusic, sizeof kMusic - 1);
}

// Keys that no share record holds, and a "valid users" of its own.
inline std::string UnknownKeys()
{
    return std::string(kGlobal) +
           "[media]\n\tpath=/volume1/media\n\tvfs objects = recycle\n\tvalid users = bob, alice\n"
           "\tread list = bob\n\trecycle:repository = #recycle\n";
}

// Every line ended by CR LF.
inline std::string Crlf()
{
    return "[global]\r\n\tworkgroup=WORKGROUP\r\n[data]\r\n\tpath=/volume1/data\r\n\twrite list = bob\r\n"
           "\tcomment = Data\r\n[team]\r\n\tpath=/volume1/team\r\n\tread list = alice\r\n";
}

// The last line without its line feed.
inline std::string NoFinalLineFeed()
{
    return std::string(kGlobal) +
           "[data]\n\tpath=/volume1/data\n\twrite list = bob\n[team]\n\tpath=/volume1/team\n\tread list = alice";
}

// Lines of 100 KB: before the first section, in a reserved section, a
// share's comment and an unknown key.
inline std::string LongLines()
{
    return Big('p') + "\n[global]\n\tworkgroup=WORKGROUP\n\tserver string = " + Big('s') +
           "\n[big]\n\tpath=/volume1/big\n\tcomment = " + Big('c') + "\n\tx-unknown = " + Big('u') +
           "\n\twrite list = bob\n";
}

// Text before the first section, reserved sections as people edit them
// (indented, blank and comment lines, quotes, a name in capitals) and one
// of them twice.
inline std::string ReservedSections()
{
    return "; before any section\n[Global]\n  workgroup = WORKGROUP  \n\n# a comment\nsecurity=user\n\"quoted\"\n"
           "[data]\n\tpath=/volume1/data\n[printers]\n\tload printers = no\n[global]\n\tserver string = again\n";
}

// The name of share i of ManyShares.
inline std::string ManyName(int i)
{
    char name[16];
    snprintf(name, sizeof name, "share%05d", i);
    return name;
}

// Share i of ManyShares as the dump writes it, its user written "user".
inline std::string ManyShare(int i, const std::string &user)
{
    std::string name = ManyName(i), read = i % 10 == 0 ? "" : "alice,", write = i % 10 == 0 ? user + "," : "";
    return "[" + name + "]\n\tinvalid users=nobody,nobody\n\tvalid users=nobody," + read + write +
           "nobody\n\tcomment=\"\"\n\tpath=/volume1/" + name +
           "\n\tguest ok=no\n\tbrowseable=yes\n\tftp disable list=no\n\tftp disable modify=no\n"
           "\tftp disable download=no\n\tread list=nobody," +
           read + "nobody\n\twrite list=nobody," + write + "nobody\n\twriteable=no\n";
}

// n shares in key order, as an appliance wrote them: every tenth one bob
// may write, the others alice may read.
inline std::string ManyShares(int n, const std::string &user = "bob")
{
    std::string text = kGlobal;
    for (int i = 0; i < n; i++)
        text += ManyShare(i, user);
    return text;
}

} // namespace smbconf
