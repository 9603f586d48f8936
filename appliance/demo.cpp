// vako-demo: one update of a throwaway appliance, shown from the outside.
//
// Re-runs itself inside vako-sandbox, builds an appliance (normal layout,
// installed build 1000) and an update package (build 1001) with the
// fixture builder, runs the updater from the package directory and prints
// what it left: result code and word, progress file, update log, system-log
// lines and whether the disk archive was moved onto the volume.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "updater.h"
#include "vakotest/chips.h"
#include "vakotest/files.h"
#include "vakotest/fixture.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/pattern.h"
#include "vakotest/run.h"

namespace {

constexpr const char *kSandbox = VAKO_SANDBOX_PROGRAM;
constexpr const char *kInside = "--inside-sandbox";

void Section(const std::string &title) { printf("\n== %s\n", title.c_str()); }

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

int Demo()
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
    package.version = {{"unique", "vakora_powerpc_demo"}, {"majorversion", "3"}, {"minorversion", "1"},
                       {"buildphase", "0"},           {"buildnumber", "1001"},  {"extractsize", "1024"}};
    package.images["zImage"] = vakotest::Pattern(256 * 1024, 7);
    package.hda1 = "demo disk archive\n";
    vakotest::Install(package);

    printf("Appliance: normal layout, installed build 1000 (major version 3), unique vakora_powerpc_demo\n");
    printf("Package:   %s, build 1001, zImage and hda1.tgz\n", package.dir.c_str());
    printf("Running:   %s\n", package.UpdaterPath().c_str());
    Section("FIS directory before the update");
    ShowPartitions(flash);
    vakotest::RunResult r = vakotest::Run({package.UpdaterPath()}, {.cwd = "/"});
    if (!r.out.empty() || !r.err.empty()) {
        Section("Updater output");
        printf("%s%s", r.out.c_str(), r.err.c_str());
    }

    // The exit status is the result code; -1 (a bad option) shows as 255.
    int result = r.status == 255 ? -1 : r.status;
    const char *word = r.status > 128 ? nullptr : SzUPDTResultWord(result);
    Section("Result");
    if (r.status > 128 && r.status < 128 + 65)
        printf("killed by signal %d\n", r.status - 128);
    else
        printf("%d %s\n", result, word ? word : "(no result word)");

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
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && !strcmp(argv[1], kInside)) {
        try {
            return Demo();
        } catch (const std::exception &e) {
            fprintf(stderr, "vako-demo: %s\n", e.what());
            return 1;
        }
    }
    if (vakotest::InSandbox())
        return Demo();
    std::error_code ec;
    std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    if (ec) {
        fprintf(stderr, "vako-demo: cannot find myself: %s\n", ec.message().c_str());
        return 1;
    }
    fflush(stdout);
    execl(kSandbox, kSandbox, "--uptime", "120", "--", self.c_str(), kInside, static_cast<char *>(nullptr));
    fprintf(stderr, "vako-demo: cannot start %s: %s\n", kSandbox, strerror(errno));
    return 1;
}
