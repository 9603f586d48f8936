// vako-demo [1|2]: updates of a throwaway appliance, shown from the outside.
//
// Re-runs itself inside vako-sandbox, a fresh appliance for each run, and
// builds the appliance and the update package with the fixture builder:
//   1. installed build 1000 (normal layout) to build 1001: what the updater
//      leaves (result code and word, progress file, update log, system-log
//      lines, the FIS directory, the disk archive moved onto the volume);
//   2. installed build 480 to build 1001: old enough for the pre-patch
//      migrations and many configuration steps (and the media databases,
//      on a real database server), shown as the files they changed.
// Without an argument both runs, one after the other.
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "updater.h"
#include "vakotest/accounts.h"
#include "vakotest/autoblock.h"
#include "vakotest/chips.h"
#include "vakotest/files.h"
#include "vakotest/fixture.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/pattern.h"
#include "vakotest/pgsql.h"
#include "vakotest/run.h"

namespace {

constexpr const char *kSandbox = VAKO_SANDBOX_PROGRAM;
constexpr const char *kInside = "--inside-sandbox";

void Section(const std::string &title) { printf("\n== %s\n", title.c_str()); }

// The result code and its word, from the updater's exit status (-1, a bad
// option, shows as 255); before it what the updater and the programs it ran
// printed (with fOutput, or when the update failed).
void ShowResult(const vakotest::RunResult &r, bool fOutput = true)
{
    if ((fOutput || r.status != 0) && (!r.out.empty() || !r.err.empty())) {
        Section("Updater output");
        printf("%s%s", r.out.c_str(), r.err.c_str());
    }
    int result = r.status == 255 ? -1 : r.status;
    const char *word = r.status > 128 ? nullptr : SzUPDTResultWord(result);
    Section("Result");
    if (r.status > 128 && r.status < 128 + 65)
        printf("killed by signal %d\n", r.status - 128);
    else
        printf("%d %s\n", result, word ? word : "(no result word)");
}

void Show(const std::string &path)
{
    if (!vakotest::FileExists(path)) {
        printf("(no %s)\n", path.c_str());
        return;
    }
    std::string text = vakotest::ReadFile(path);
    printf("%s%s", text.c_str(), text.empty() || text.back() == '\n' ? "" : "\n");
}

void ShowPartitions(const vakotest::Flash &flash)
{
    printf("%-16s %-10s %-10s %-10s\n", "name", "flash_base", "size", "data_len");
    for (const vakotest::FisRecord &e : vakotest::DirectoryNow(flash.Find("FIS Directory").offset))
        printf("%-16.16s 0x%08X 0x%08X 0x%08X\n", e.name.c_str(), e.flashBase, e.size, e.dataLength);
}

// Run 1: a plain update, and everything the updater leaves.
int FirstRun()
{
    vakotest::Appliance appliance;
    appliance.version = {{"majorversion", "3"}, {"minorversion", "1"}, {"buildphase", "0"}, {"buildnumber", "1000"}};
    appliance.defaults = {{"unique", "vakora_powerpc_demo"}, {"supportraid", "no"}, {"supportMTU", "yes"}};
    appliance.info = {{"eth0_mtu", "1500"}};
    appliance.files[vakotest::kCrontab] = "0 3 * * * root /usr/vako/bin/backup.sh\n";
    // A 4 MiB chip of eight partitions, each full of its own pattern, and
    // the FIS directory describing them.
    appliance.flash = vakotest::LayoutFlash(vakotest::Layout::Normal);
    const vakotest::Flash &flash = *appliance.flash;
    vakotest::Install(appliance);

    vakotest::Package package;
    package.version = {
        {"unique", "vakora_powerpc_demo"}, {"majorversion", "3"},  {"minorversion", "1"}, {"buildphase", "0"},
        {"buildnumber", "1001"},           {"extractsize", "1024"}};
    package.images["zImage"] = vakotest::Pattern(256 * 1024, 7);
    package.hda1 = "demo disk archive\n";
    vakotest::Install(package);

    printf("Appliance: normal layout, installed build 1000 (major version 3), unique vakora_powerpc_demo\n");
    printf("Package:   %s, build 1001, zImage and hda1.tgz\n", package.dir.c_str());
    printf("Running:   %s\n", package.UpdaterPath().c_str());
    Section("FIS directory before the update");
    ShowPartitions(flash);
    vakotest::RunResult r = vakotest::Run({package.UpdaterPath()}, {.cwd = "/"});
    ShowResult(r);

    Section(std::string("Progress file ") + vakotest::kProgressFile);
    Show(vakotest::kProgressFile);
    Section(std::string("Message file ") + vakotest::kMessageFile);
    Show(vakotest::kMessageFile);
    Section(std::string("Update log ") + vakotest::kUpdateLog);
    Show(vakotest::kUpdateLog);
    Section("System log");
    for (const vakotest::SyslogLine &l : vakotest::SyslogLines()) {
        std::string text = l.text;
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        printf("<%d> %s\n", l.level, text.c_str());
    }
    Section("FIS directory after the update");
    ShowPartitions(flash);
    Section("Disk archive");
    bool moved = vakotest::FileExists(vakotest::kMovedArchive);
    bool left = vakotest::FileExists(package.dir + "/hda1.tgz");
    if (moved && !left)
        printf("hda1.tgz moved to %s\n", vakotest::kMovedArchive);
    else if (moved)
        printf("hda1.tgz copied to %s but still in the package\n", vakotest::kMovedArchive);
    else
        printf("hda1.tgz not moved (still in the package directory)\n");
    return r.status;
}

// ---- run 2: the migrations of an old installed build ----

// A file as it stood: absent, or its bytes (none for a directory), mode
// and owner.
struct Snapshot {
    bool exists = false;
    std::string bytes;
    unsigned mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    bool operator==(const Snapshot &) const = default;
};

Snapshot Take(const std::string &path)
{
    Snapshot s;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return s;
    s.exists = true;
    if (!S_ISDIR(st.st_mode))
        s.bytes = vakotest::ReadFile(path);
    s.mode = st.st_mode & 07777;
    s.uid = st.st_uid;
    s.gid = st.st_gid;
    return s;
}

std::string Owner(const Snapshot &s)
{
    char buf[64];
    snprintf(buf, sizeof(buf), "mode %04o, owner %u:%u", s.mode, static_cast<unsigned>(s.uid),
             static_cast<unsigned>(s.gid));
    return buf;
}

// The auto-block list's 8-byte records: address and time.
std::string AutoBlockRecords(const std::string &list)
{
    std::string text;
    for (size_t i = 0; i + 8 <= list.size(); i += 8) {
        struct in_addr in;
        memcpy(&in.s_addr, list.data() + i + 4, 4);
        time_t t = vakotest::AutoBlockTime(list, i / 8);
        struct tm tm;
        char when[32] = "";
        if (localtime_r(&t, &tm))
            strftime(when, sizeof(when), "%Y/%m/%d %H:%M:%S", &tm);
        text += std::string(inet_ntoa(in)) + " blocked since " + when + "\n";
    }
    return text;
}

// What changed in a file: its mode or owner, and a unified diff of its
// text (the auto-block list, a binary file, as its records).
void ShowChange(const std::string &path, const Snapshot &before, const Snapshot &after)
{
    printf("\n* %s: %s\n", path.c_str(), !before.exists ? "created" : !after.exists ? "removed" : "changed");
    if (before.exists && after.exists &&
        (before.mode != after.mode || before.uid != after.uid || before.gid != after.gid))
        printf("%s -> %s\n", Owner(before).c_str(), Owner(after).c_str());
    if (before.bytes == after.bytes)
        return;
    bool binary = path == vakotest::kAutoBlockList;
    const std::string dir = "/tmp/vako-demo";
    vakotest::MakeDirs(dir);
    vakotest::WriteFile(dir + "/before", binary ? AutoBlockRecords(before.bytes) : before.bytes);
    vakotest::WriteFile(dir + "/after", binary ? AutoBlockRecords(after.bytes) : after.bytes);
    vakotest::RunResult d = vakotest::Run(
        {"/usr/bin/diff", "-u", "--label", "before", "--label", "after", dir + "/before", dir + "/after"});
    printf("%s", d.out.c_str());
}

const std::string kEaDir = "/var/services/photo/trip/@eaDir";

int SecondRun()
{
    // After run 1 in the same appliance: its reports go.
    for (const char *path : {vakotest::kProgressFile, vakotest::kMessageFile, vakotest::kUpdateLog})
        vakotest::RemoveFile(path);
    vakotest::Appliance appliance;
    appliance.version = {{"majorversion", "3"}, {"minorversion", "0"}, {"buildphase", "0"}, {"buildnumber", "480"}};
    appliance.defaults = {{"unique", "vakora_powerpc_demo"}, {"supportraid", "no"}, {"maxshares", "32"}};
    appliance.info = {{"hostname", "nas"},
                      {"ftplowport", "55000"},
                      {"ftphighport", "55300"},
                      {"codepage", "950"},
                      {"codepage_mediaservice", "932"},
                      {"codepage_apple", "10000"},
                      {"usbbkpshares", "public"},
                      {"usbbkpid", "20080131235959-0001"},
                      {"usbbkpresult", "ok"},
                      {"MTUValue", "9000"},
                      {"download_enabled", "yes"},
                      {"ftpipautodeny", "yes"},
                      {"eventtest", "yes"}};
    appliance.files[vakotest::kRsyncdConf] = "uid = root\nlock file = /var/run/rsyncd.lock\n"
                                             "secrets file = /etc/rsyncd.secrets\n";
    appliance.files[vakotest::kRsyncdSecrets] = "backup:$1$Bk$Nq3ZlV0bZkC3bqfTn5Ff/0|pa$$\n";
    appliance.files[vakotest::kMailKeys] = "alice=\"alice@example.com\"\n";
    appliance.files[vakotest::kSmbConf] = "[global]\n\tworkgroup=WORKGROUP\n"
                                          "[public]\n\tpath=/volume1/public\n\tftp write only=yes\n";
    appliance.files[vakotest::kCrontab] = "30\t2\t*\t*\t1,3,5\troot\t/usr/vako/bin/vakousbbkp -b\n"
                                          "0 3 * * * root /usr/bin/vacuumdb -a\n"
                                          "15 4 * * * root /usr/vako/bin/cleanup\n";
    appliance.files[vakotest::kNetBkpConf] = "[office]\n\tbkp_server=\"nas2\"\n\tbkp_shares=\"music\"\n";
    appliance.files[vakotest::kHostsDeny] = "in.ftpd: 10.0.0.9\nALL: 10.0.0.0/8\n";
    appliance.files["/usr/vako/etc/manutil.conf"] = "obsolete\n";
    appliance.flash = vakotest::LayoutFlash(vakotest::Layout::Normal);
    vakotest::Install(appliance);
    vakotest::WriteAccountFiles({"root:x:0:0:root:/root:/bin/sh\n"
                                 "admin:x:1024:100:System default user:/home/admin:/bin/sh\n"
                                 "alice:x:1026:100:Alice:/home/alice:/bin/sh\n",
                                 "root:*:15000:0:99999:7:::\nadmin:*:15000:0:99999:7:::\n"
                                 "alice:*:15000:0:99999:7:::\n",
                                 "admin:5:\nalice:0:\n", ""});
    vakotest::WriteGroupFiles({"root:x:0:\nsmmsp:x:25:mailer,nobody\nusers:x:100:\n", ""});
    // A photo folder's thumbnails, which only their owner could reach.
    vakotest::WriteFile(kEaDir + "/a.jpg", "thumbnail\n", 0600);
    (void)chmod(kEaDir.c_str(), 0700);
    // The database service runs as admin; the dumps go to the volume.
    vakotest::AddAdminAccount();
    vakotest::MakeDirs("/home/admin");

    vakotest::Package package;
    package.version = {
        {"unique", "vakora_powerpc_demo"}, {"majorversion", "3"},  {"minorversion", "1"}, {"buildphase", "0"},
        {"buildnumber", "1001"},           {"extractsize", "1024"}};
    package.images["zImage"] = vakotest::Pattern(256 * 1024, 7);
    vakotest::Install(package);
    vakotest::SyslogClear();

    const std::vector<std::string> watched = {
        vakotest::kInfoFile,      vakotest::kRsyncdConf,        vakotest::kRsyncdSecrets,
        vakotest::kGroupFile,     vakotest::kPasswdFile,        vakotest::kShadowFile,
        vakotest::kVakoUserConf,  vakotest::kLocalBkpConf,      vakotest::kNetBkpConf,
        vakotest::kCrontab,       vakotest::kSmbConf,           vakotest::kHostsDeny,
        vakotest::kAutoBlockList, "/usr/vako/etc/manutil.conf", kEaDir,
        kEaDir + "/a.jpg"};
    std::vector<Snapshot> before;
    for (const std::string &path : watched)
        before.push_back(Take(path));

    printf("Appliance: normal layout, installed build 480 (3.0.0.480), unique vakora_powerpc_demo,\n"
           "           with the settings files of that build; the database service with its databases\n");
    printf("Package:   %s, build 1001, zImage\n", package.dir.c_str());
    printf("Running:   %s\n", package.UpdaterPath().c_str());
    vakotest::RunResult r = vakotest::Run({package.UpdaterPath()}, {.cwd = "/"});
    ShowResult(r, false);
    Section(std::string("Update log ") + vakotest::kUpdateLog);
    Show(vakotest::kUpdateLog);

    Section("Files the migrations changed");
    std::vector<std::string> same;
    for (size_t i = 0; i < watched.size(); ++i) {
        Snapshot after = Take(watched[i]);
        if (after == before[i])
            same.push_back(watched[i]);
        else
            ShowChange(watched[i], before[i], after);
    }
    if (!same.empty()) {
        printf("\nunchanged:");
        for (const std::string &path : same)
            printf(" %s", path.c_str());
        printf("\n");
    }

    Section("Media databases");
    printf("%s", vakotest::pgsql::Calls().c_str());
    const std::string dumps = std::string(vakotest::kVolume) + "/.@pgsql_upgrade";
    printf("dumps in %s:", dumps.c_str());
    for (const std::string &name : vakotest::ListDir(dumps))
        printf(" %s", name.c_str());
    printf("\nmediaserver database %s\n", vakotest::pgsql::HasDatabase("mediaserver") ? "kept" : "dropped");
    vakotest::pgsql::Service("stop");
    return r.status;
}

// The runs chosen by `which` (0: both), in this process.
int RunHere(int which)
{
    int status = 0;
    if (which != 2) {
        printf("=== Run 1: an update from installed build 1000\n");
        status = FirstRun();
    }
    if (which != 1 && status == 0) {
        printf("\n=== Run 2: an update from installed build 480, with its migrations\n");
        status = SecondRun();
    }
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    int which = 0;
    bool inside = argc > 1 && !strcmp(argv[1], kInside);
    if (argc > (inside ? 2 : 1)) {
        which = atoi(argv[inside ? 2 : 1]);
        if (which != 1 && which != 2) {
            fprintf(stderr, "usage: vako-demo [1|2]\n");
            return 2;
        }
    }
    if (inside || vakotest::InSandbox()) {
        try {
            return RunHere(which);
        } catch (const std::exception &e) {
            fprintf(stderr, "vako-demo: %s\n", e.what());
            return 1;
        }
    }
    std::error_code ec;
    std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    if (ec) {
        fprintf(stderr, "vako-demo: cannot find myself: %s\n", ec.message().c_str());
        return 1;
    }
    // Each run in an appliance of its own.
    for (int run : {1, 2}) {
        if (which && which != run)
            continue;
        fflush(stdout);
        std::string arg = std::to_string(run);
        pid_t pid = fork();
        if (pid == 0) {
            execl(kSandbox, kSandbox, "--uptime", "120", "--", self.c_str(), kInside, arg.c_str(),
                  static_cast<char *>(nullptr));
            fprintf(stderr, "vako-demo: cannot start %s: %s\n", kSandbox, strerror(errno));
            _exit(127);
        }
        int wstatus = 0;
        if (pid < 0 || waitpid(pid, &wstatus, 0) != pid) {
            fprintf(stderr, "vako-demo: cannot run %s: %s\n", kSandbox, strerror(errno));
            return 1;
        }
        int status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
        if (status != 0)
            return status;
    }
    return 0;
}
