// Whole updates from old installed builds after an account with no rights
// set a trap where root reads, writes or waits: a lock file it holds, the
// lock directory made before root, a link in a backup set's folder, a link
// at the event log, records forged into the account and share caches under
// /tmp, caches planted there before root's first use, links and FIFOs at
// their names, their rebuild locks held.  Each update runs twice in appliances of its own made
// the same way, once without and once with the trap, and must end the same:
// the same result, the same files in the appliance's own folders (account
// files, smb.conf, settings, backup sets, flash), nothing written through a
// link, all within a bound far beyond any slow machine.
//
// A row of the table is an installed build and a trap; a trap is what root
// finds (prepare), what the account does and keeps holding while the update
// runs (plant), what the trap itself leaves that the clean run cannot have,
// and what it aimed at (check).
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "vakotest/accounts.h"
#include "vakotest/caches.h"
#include "vakotest/chips.h"
#include "vakotest/eventlog.h"
#include "vakotest/files.h"
#include "vakotest/fixture.h"
#include "vakotest/nested.h"
#include "vakotest/paths.h"
#include "vakotest/run.h"

namespace {

namespace fs = std::filesystem;
using vakotest::ReadFile;
using vakotest::WriteFile;

// ---- the appliance before the update ----

constexpr const char *kBuildVariable = "VAKO_TRAPS_BUILD";
constexpr const char *kTrapVariable = "VAKO_TRAPS_TRAP";

// The files the traps aim at: root's, outside anything the update writes.
constexpr const char *kVictim = "/etc/victim";
constexpr const char *kVictimDir = "/etc/victim.d";
constexpr const char *kEventLog = "/var/log/vakosys.log";
const std::string kSetDir = std::string(vakotest::kNetBackupDir) + "/office";

// Accounts (a user-made "ftp" that the update copies and logs), groups,
// shares, a network backup set whose folder is its backup account's, FTP
// clients that the update blocks and logs.
const vakotest::AccountFiles kAccounts = {
    "root:x:0:0:root:/root:/bin/sh\n"
    "admin:x:1024:100:System default user:/home/admin:/bin/sh\n"
    "guest:x:1025:100:Guest:/nonexist:/sbin/nologin\n"
    "ftp:x:1030:100:FTP fan:/home/ftp:/bin/sh\n",
    "root:$1$Rt$Ea9sRo/vB1WnRWhGbeBQd1:15000:0:99999:7:::\n"
    "admin:$1$Ad$0.1Vy4C2TzX9HskzOZ2gi/:15000:0:99999:7:::\n"
    "guest:!:15000:0:99999:7:::\n"
    "ftp:$1$Ft$k0zTvJbDuLFMUE3qVDTZS/:15000:0:99999:7::20000:\n",
    "#$_@UID__INDEX@_$1030$\n"
    "# record user misc, format \"user_name:user_privilege:user_mail\"\n"
    "admin:5:\n"
    "ftp:0:\n",
    "admin:1024:E52CAC67419A9A224A3B108F3FA6CB6D:8846F7EAEE8FB117AD06BDD830B7586C:[U          ]:LCT-5F5E1000:\n"
    "ftp:1030:0123456789ABCDEF0123456789ABCDEF:FEDCBA9876543210FEDCBA9876543210:[U          ]:LCT-5F5E1000:\n",
};
const vakotest::GroupFiles kGroups = {
    "#$_@GID__INDEX@_$65536$\nroot:x:0:\nsmmsp:x:25:mailer,nobody\nusers:x:100:\nstaff:x:65536:ftp\n",
    "users:All local users\n"};

void Must(bool ok, const std::string &what)
{
    if (!ok)
        throw std::runtime_error(what + ": " + strerror(errno));
}

void InstallAppliance(int build, bool withImage)
{
    vakotest::Appliance a;
    a.version.Set("buildnumber", std::to_string(build));
    a.defaults.Set("maxshares", "32").Set("defaultfs", "ext3");
    a.info = vakotest::Keys{
        {"hostname", "nas"},           {"usbbkpshares", ""},        {"usbbkpid", "20080131235959-0001"},
        {"usbbkpresult", "ok"},        {"autoblock_attempts", "3"}, {"autoblock_attempt_min", "10"},
        {"autoblock_expriedday", "7"}, {"autoblock_notify", "no"}};
    a.files[vakotest::kMailKeys] = "ftp=\"ftp@example.com\"\n";
    a.files[vakotest::kSmbConf] = "[global]\n\tworkgroup=WORKGROUP\n[public]\n\tpath=/volume1/public\n";
    a.files[vakotest::kNetBkpConf] = "[office]\n\tbkp_server=\"nas2\"\n\tbkp_shares=\"music\"\n";
    a.files[kSetDir + "/configbackup.dss"] = "office cfg";
    a.files[vakotest::kHostsDeny] = "in.ftpd: 10.0.0.9\nALL: 10.0.0.0/8\n";
    a.files[vakotest::kCrontab] = "SHELL=/bin/sh\n30\t2\t*\t*\t1,3,5\troot\t/usr/vako/bin/vakousbbkp -b\n";
    a.files[kVictim] = "victim\n";
    a.flash = vakotest::LayoutFlash(vakotest::Layout::Normal);
    vakotest::Install(a);
    vakotest::WriteAccountFiles(kAccounts);
    vakotest::WriteGroupFiles(kGroups);
    vakotest::MakeDirs(kVictimDir, 0700);
    Must(chmod(kVictim, 0600) == 0, "chmod");
    // The set's folder is its backup account's own.
    Must(chown(kSetDir.c_str(), vakotest::kNoRightsUid, vakotest::kNoRightsUid) == 0, "chown");
    vakotest::MakeDirs(vakotest::kLockDir);
    for (const char *name : vakotest::kLockFileNames)
        WriteFile(std::string(vakotest::kLockDir) + "/" + name, "", 0644);

    vakotest::Package p;
    if (withImage)
        p.images["zImage"] = std::string(0x30000, 'z');
    vakotest::Install(p);
}

// ---- the traps ----

// The lock files of the rows the libraries take.
constexpr const char *kRowsInUse[] = {"lock_vakoinfo", "lock_pw", "lock_gr", "lock_smb"};

// Opens path (made when missing) and holds its flock in mode op.
bool Hold(const std::string &path, int op)
{
    int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    return fd >= 0 && flock(fd, op | LOCK_NB) == 0;
}

// The two outcomes, as copied out of the appliances of the clean and the
// trapped run.
struct Outcomes {
    std::string clean, trapped;
};

// Root's files that the cache traps aim at, on the file system of /tmp: an
// empty one of root's alone, and one that any account may write (as old
// builds left theirs), which the account may link where the kernel lets
// only such files be linked by others.
constexpr const char *kVictims = "/tmp/victims";
const std::string kEmptyVictim = std::string(kVictims) + "/empty";
const std::string kOpenVictim = std::string(kVictims) + "/open";

void MakeVictims()
{
    vakotest::WriteFile(kEmptyVictim, "", 0600);
    vakotest::WriteFile(kOpenVictim, "", 0666);
    Must(chmod(kOpenVictim.c_str(), 0666) == 0, "chmod");
}

// The caches of an old build, kept while the account plants its copies.
std::vector<std::string> gOldCaches;

// After the update, each cache and rebuild lock that root used (as it does
// in the clean run) is root's as there: none that another account may
// write, the password hashes for root alone.
void ExpectRootsCaches(const Outcomes &o)
{
    auto expect = [&](const char *f, const char *own) {
        if (vakotest::Standing(o.clean + f) == "none")
            return;
        EXPECT_EQ(vakotest::Standing(o.clean + f), own) << f;
        EXPECT_EQ(vakotest::Standing(o.trapped + f), own) << f;
    };
    for (const char *f : vakotest::kCacheFiles) {
        bool secret = std::string(f) == vakotest::kUserDbShadow || std::string(f) == vakotest::kUserDbSmb;
        expect(f, secret ? "file 0600 0 1" : "file 0644 0 1");
    }
    for (const char *l : vakotest::kRebuildLocks)
        expect(l, "file 0600 0 1");
}

struct Trap {
    const char *name;
    std::function<void()> prepare;             // as root, what the appliance looks like (may be empty)
    std::function<bool()> plant;               // as the account with no rights, which stays while the update runs
    std::vector<std::string> itsOwn;           // what the trap leaves that the clean run cannot have
    std::function<void(const Outcomes &)> aim; // what it aimed at is untouched
};

const Trap kTraps[] = {
    // Any account opens the old build's lock files of the rows in use
    // (accounts, groups, shares, settings) and holds them shared.
    {"OldLockFilesHeld",
     {},
     [] {
         for (const char *name : kRowsInUse)
             if (!Hold(std::string(vakotest::kLockDir) + "/" + name, LOCK_SH))
                 return false;
         return true;
     },
     {},
     {}},
    // Before any root process of this boot: the account makes the lock
    // directory and the lock files root will wait on, and holds them.
    {"LockDirectoryMadeFirst",
     [] { fs::remove_all(vakotest::kLockDir); },
     [] {
         if (mkdir(vakotest::kLockDir, 0777) != 0 || chmod(vakotest::kLockDir, 0777) != 0)
             return false;
         for (const char *name : kRowsInUse)
             if (!Hold(std::string(vakotest::kLockDir) + "/" + name, LOCK_EX))
                 return false;
         return true;
     },
     {},
     {}},
    // The backup account makes its set's "@app" a link to a root folder.
    {"AppFolderLinkToARootFolder",
     {},
     [] { return symlink(kVictimDir, (kSetDir + "/@app").c_str()) == 0; },
     {kSetDir},
     [](const Outcomes &o) {
         EXPECT_EQ(vakotest::LinkTarget(o.trapped + kSetDir + "/@app"), kVictimDir);
         EXPECT_EQ(ReadFile(o.trapped + kSetDir + "/configbackup.dss"), "office cfg");
     }},
    // In a log folder that others may write, a link at the event log.
    {"LinkAtTheEventLog",
     [] { Must(chmod("/var/log", 01777) == 0, "chmod /var/log"); },
     [] { return symlink(kVictim, kEventLog) == 0; },
     {kEventLog},
     [](const Outcomes &o) { EXPECT_EQ(vakotest::LinkTarget(o.trapped + kEventLog), kVictim); }},
    // The caches as the old build left them (any account may write them):
    // the account forges accounts and a share into them.
    {"ForgedRecordsInTheCaches",
     [] { vakotest::MakeOldBuildCaches(); },
     vakotest::ForgeAccountsAndShares,
     {},
     [](const Outcomes &o) { ExpectRootsCaches(o); }},
    // Before root's first use in this boot, the account puts its own copies
    // of whole caches, with forged records, at their names.
    {"CachesPlantedBeforeRoot",
     [] {
         vakotest::MakeOldBuildCaches();
         gOldCaches.clear();
         for (const char *f : vakotest::kCacheFiles) {
             gOldCaches.push_back(ReadFile(f));
             vakotest::RemoveFile(f);
         }
         for (const char *l : vakotest::kRebuildLocks)
             vakotest::RemoveFile(l);
     },
     [] {
         for (size_t i = 0; i < gOldCaches.size(); i++)
             WriteFile(vakotest::kCacheFiles[i], gOldCaches[i]);
         return vakotest::ForgeAccountsAndShares();
     },
     {},
     [](const Outcomes &o) { ExpectRootsCaches(o); }},
    // Symbolic links at the first file of each set to an empty file of root's.
    {"LinksAtTheCaches",
     MakeVictims,
     [] {
         for (const char *f : vakotest::kFirstCacheFiles)
             if (symlink(kEmptyVictim.c_str(), f) != 0)
                 return false;
         return true;
     },
     {},
     [](const Outcomes &o) {
         EXPECT_EQ(vakotest::Standing(o.trapped + kEmptyVictim), "file 0600 0 1");
         EXPECT_EQ(ReadFile(o.trapped + kEmptyVictim), "");
         ExpectRootsCaches(o);
     }},
    // Hard links at the first file of each set to an empty file of root's.
    {"HardLinksAtTheCaches",
     MakeVictims,
     [] {
         for (const char *f : vakotest::kFirstCacheFiles)
             if (link(kOpenVictim.c_str(), f) != 0)
                 return false;
         return true;
     },
     {},
     [](const Outcomes &o) {
         EXPECT_EQ(vakotest::Standing(o.trapped + kOpenVictim), "file 0666 0 1");
         EXPECT_EQ(ReadFile(o.trapped + kOpenVictim), "");
         ExpectRootsCaches(o);
     }},
    // FIFOs that nobody writes at the first file of each set.
    {"FifosAtTheCaches",
     {},
     [] {
         for (const char *f : vakotest::kFirstCacheFiles)
             if (mkfifo(f, 0666) != 0)
                 return false;
         return true;
     },
     {},
     [](const Outcomes &o) { ExpectRootsCaches(o); }},
    // The rebuild locks as the old build left them (any account may open
    // them): the account holds them shared.
    {"RebuildLocksHeld",
     [] {
         for (const char *l : vakotest::kRebuildLocks)
             WriteFile(l, "", 0644);
     },
     [] {
         for (const char *l : vakotest::kRebuildLocks)
             if (!Hold(l, LOCK_SH))
                 return false;
         return true;
     },
     {},
     [](const Outcomes &o) { ExpectRootsCaches(o); }},
    // Before root: the account makes the rebuild locks and holds them.
    {"RebuildLocksMadeFirst",
     {},
     [] {
         for (const char *l : vakotest::kRebuildLocks)
             if (!Hold(l, LOCK_EX))
                 return false;
         return true;
     },
     {},
     [](const Outcomes &o) { ExpectRootsCaches(o); }},
};

const Trap *FindTrap(const std::string &name)
{
    for (const Trap &t : kTraps)
        if (name == t.name)
            return &t;
    return nullptr;
}

// Inside an appliance of its own: the installed build, the trap named (none:
// the clean run), then the update.  Its result.
const vakotest::NestedStep kUpdateStep("trapped-update", [] {
    const char *build = getenv(kBuildVariable), *trapName = getenv(kTrapVariable);
    if (!build || !trapName)
        return 125;
    const Trap *trap = *trapName ? FindTrap(trapName) : nullptr;
    if (*trapName && !trap)
        return 125;
    try {
        InstallAppliance(atoi(build), std::string(build).ends_with("+image"));
        if (trap && trap->prepare)
            trap->prepare();
    } catch (const std::exception &e) {
        fprintf(stderr, "the appliance could not be made: %s\n", e.what());
        return 125;
    }
    std::optional<vakotest::AccountProcess> account;
    if (trap) {
        account.emplace(trap->plant);
        if (!account->ok()) {
            fprintf(stderr, "the trap %s could not be set\n", trapName);
            return 125;
        }
    }
    vakotest::RunResult r = vakotest::Run({vakotest::Package().UpdaterPath()}, {.cwd = "/"});
    fputs(r.err.c_str(), stderr);
    return r.status;
});

// ---- the outcome ----

// The appliance's own folders that the update writes, and the flash.
const char *const kCompared[] = {"/etc", "/usr/vako/etc", "/var/services", "/volume1", "/.sandbox/kstub/chip"};

// What the time of the run changes, made the same in both outcomes: the
// password-change times of the SMB password file, the times of the
// auto-block records, the keys of the database dumps.
std::string WithoutTimes(const std::string &path, std::string bytes)
{
    if (path.ends_with("/smbpasswd"))
        return std::regex_replace(bytes, std::regex("LCT-[0-9A-F]{8}"), "LCT-time");
    if (path == vakotest::kAutoBlockList)
        for (size_t at = 0; at + 8 <= bytes.size(); at += 8)
            bytes.replace(at, 4, 4, '\0');
    if (path.ends_with(".sql"))
        return std::regex_replace(bytes, std::regex(R"(\\(un)?restrict [0-9A-Za-z]+)"), "\\$1restrict key");
    return bytes;
}

// Every entry below the compared folders of an outcome: its type, mode,
// owner and bytes (a link's target), by appliance path.
std::map<std::string, std::string> Snapshot(const std::string &out, const std::vector<std::string> &leftOut)
{
    std::map<std::string, std::string> entries;
    auto left = [&](const std::string &p) {
        for (const std::string &l : leftOut)
            if (p == l || p.starts_with(l + "/"))
                return true;
        return false;
    };
    for (const char *top : kCompared) {
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(out + top)))
            continue;
        for (fs::recursive_directory_iterator it(out + top, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string full = it->path().string(), path = full.substr(out.size());
            if (left(path))
                continue;
            struct stat st;
            if (lstat(full.c_str(), &st) != 0)
                continue;
            std::string e = std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" +
                            std::to_string(st.st_gid);
            if (S_ISLNK(st.st_mode))
                e += " -> " + vakotest::LinkTarget(full);
            else if (S_ISREG(st.st_mode))
                e += "\n" + WithoutTimes(path, ReadFile(full));
            entries[path] = e;
        }
    }
    return entries;
}

// The entries of two snapshots that differ, each with both sides cut short:
// empty when they are the same.
std::vector<std::string> Differences(const std::map<std::string, std::string> &clean,
                                     const std::map<std::string, std::string> &trapped)
{
    auto shown = [](const std::map<std::string, std::string> &m, const std::string &path) {
        auto it = m.find(path);
        return it == m.end() ? std::string("<none>") : testing::PrintToString(it->second.substr(0, 300));
    };
    std::vector<std::string> differ;
    std::map<std::string, std::string> both = clean;
    both.insert(trapped.begin(), trapped.end());
    for (const auto &[path, e] : both)
        if (shown(clean, path) != shown(trapped, path) || (clean.count(path) && clean.at(path) != trapped.at(path)))
            differ.push_back(path + ":\n  without the trap " + shown(clean, path) + "\n  with the trap    " +
                             shown(trapped, path));
    return differ;
}

// The event log's records: each event and what it names first (the other
// texts and the record's time tell when it ran).
std::vector<std::pair<uint32_t, std::string>> Events(const std::string &out)
{
    std::vector<std::pair<uint32_t, std::string>> events;
    const std::string log = out + kEventLog;
    if (fs::is_regular_file(fs::symlink_status(log)))
        for (const vakotest::evlog::Rec &r : vakotest::evlog::Live(ReadFile(log)))
            events.emplace_back(r.event, r.s[0]);
    return events;
}

// ---- the table ----

struct Row {
    const char *name;
    const char *build; // the installed build; "+image": a package that writes the flash
    const char *trap;
};
void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

// 200: the accounts' steps and the event of the copied "ftp" account; 600:
// the USB backup set before the flash; 700: the flash written before the
// configuration update.
const Row kRows[] = {
    {"Build200OldLockFilesHeld", "200", "OldLockFilesHeld"},
    {"Build600OldLockFilesHeld", "600", "OldLockFilesHeld"},
    {"Build700OldLockFilesHeld", "700+image", "OldLockFilesHeld"},
    {"Build200LockDirectoryMadeFirst", "200", "LockDirectoryMadeFirst"},
    {"Build600LockDirectoryMadeFirst", "600", "LockDirectoryMadeFirst"},
    {"Build700LockDirectoryMadeFirst", "700+image", "LockDirectoryMadeFirst"},
    {"Build200AppFolderLink", "200", "AppFolderLinkToARootFolder"},
    {"Build600AppFolderLink", "600", "AppFolderLinkToARootFolder"},
    {"Build700AppFolderLink", "700+image", "AppFolderLinkToARootFolder"},
    {"Build200LinkAtTheEventLog", "200", "LinkAtTheEventLog"},
    {"Build600LinkAtTheEventLog", "600", "LinkAtTheEventLog"},
    {"Build700LinkAtTheEventLog", "700+image", "LinkAtTheEventLog"},
    {"Build200ForgedRecordsInTheCaches", "200", "ForgedRecordsInTheCaches"},
    {"Build600ForgedRecordsInTheCaches", "600", "ForgedRecordsInTheCaches"},
    {"Build700ForgedRecordsInTheCaches", "700+image", "ForgedRecordsInTheCaches"},
    {"Build200CachesPlantedBeforeRoot", "200", "CachesPlantedBeforeRoot"},
    {"Build600CachesPlantedBeforeRoot", "600", "CachesPlantedBeforeRoot"},
    {"Build700CachesPlantedBeforeRoot", "700+image", "CachesPlantedBeforeRoot"},
    {"Build200LinksAtTheCaches", "200", "LinksAtTheCaches"},
    {"Build600LinksAtTheCaches", "600", "LinksAtTheCaches"},
    {"Build700LinksAtTheCaches", "700+image", "LinksAtTheCaches"},
    {"Build200HardLinksAtTheCaches", "200", "HardLinksAtTheCaches"},
    {"Build600HardLinksAtTheCaches", "600", "HardLinksAtTheCaches"},
    {"Build700HardLinksAtTheCaches", "700+image", "HardLinksAtTheCaches"},
    {"Build200FifosAtTheCaches", "200", "FifosAtTheCaches"},
    {"Build600FifosAtTheCaches", "600", "FifosAtTheCaches"},
    {"Build700FifosAtTheCaches", "700+image", "FifosAtTheCaches"},
    {"Build200RebuildLocksHeld", "200", "RebuildLocksHeld"},
    {"Build600RebuildLocksHeld", "600", "RebuildLocksHeld"},
    {"Build700RebuildLocksHeld", "700+image", "RebuildLocksHeld"},
    {"Build200RebuildLocksMadeFirst", "200", "RebuildLocksMadeFirst"},
    {"Build600RebuildLocksMadeFirst", "600", "RebuildLocksMadeFirst"},
    {"Build700RebuildLocksMadeFirst", "700+image", "RebuildLocksMadeFirst"},
};

// A bound on each whole run, far beyond any slow machine: a hang detector.
constexpr unsigned kHangSeconds = 120;

class Traps : public testing::TestWithParam<Row> {};

TEST_P(Traps, TheUpdateEndsAsWithoutTheTrap)
{
    const Row &row = GetParam();
    const Trap *trap = FindTrap(row.trap);
    ASSERT_NE(trap, nullptr) << row.trap;
    const Outcomes out = {"/tmp/clean", "/tmp/trapped"};
    auto run = [&](const std::string &outDir, const char *trapName) {
        std::vector<std::string> paths(std::begin(kCompared), std::end(kCompared));
        paths.insert(paths.end(), {"/var/log", "/tmp"});
        return vakotest::RunNested("trapped-update", {.outDir = outDir,
                                                      .outPaths = paths,
                                                      .env = {std::string(kBuildVariable) + "=" + row.build,
                                                              std::string(kTrapVariable) + "=" + trapName},
                                                      .uptime = 10,
                                                      .hangSeconds = kHangSeconds});
    };
    vakotest::RunResult clean = run(out.clean, "");
    ASSERT_EQ(clean.status, 0) << clean.err;
    vakotest::RunResult trapped = run(out.trapped, trap->name);
    EXPECT_EQ(trapped.status, clean.status) << trapped.err;

    for (const std::string &d : Differences(Snapshot(out.clean, trap->itsOwn), Snapshot(out.trapped, trap->itsOwn)))
        ADD_FAILURE() << d;
    if (std::find(trap->itsOwn.begin(), trap->itsOwn.end(), kEventLog) == trap->itsOwn.end()) {
        EXPECT_EQ(Events(out.trapped), Events(out.clean));
    }
    EXPECT_FALSE(Events(out.clean).empty());
    EXPECT_EQ(ReadFile(out.trapped + kVictim), "victim\n");
    EXPECT_EQ(vakotest::FileMode(out.trapped + kVictim), 0600u);
    EXPECT_TRUE(vakotest::ListDir(out.trapped + kVictimDir).empty());
    if (trap->aim)
        trap->aim(out);
}

INSTANTIATE_TEST_SUITE_P(Each, Traps, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

} // namespace
