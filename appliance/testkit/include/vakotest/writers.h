// The table of the file writers of the libraries and the updater (needs
// testkit/fsyncfault.cpp in the test binary): each writer runs once clean
// and then once for every sync, write and rename it made of a file in its
// targets' directories, with that one failing. Clean, every target it
// writes is on the disk before it is in place (and its name too, where the
// row says so); failed, it says so, its targets are as they were and no
// temporary file is left in their directories.
#pragma once

#include <ctype.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "vakotest/files.h"
#include "vakotest/fsyncfault.h"

namespace vakotest {

struct WriterCase {
    const char *name;
    // The files the writer puts in place.
    std::vector<std::string> targets;
    // Writes the appliance's files that the writer starts from, anew.
    std::function<void()> setup;
    // Runs the writer: true when it reports success.
    std::function<bool()> write;
    // False for a writer that moves several files one by one: a failed
    // rename leaves the files not yet moved behind, by its contract.
    bool renamesAtomic = true;
    // A writer whose new names must survive a power failure: the
    // directories of its targets are synced once they are in place.
    bool syncsDirectory = false;
};

// gtest prints a row by its name.
inline void PrintTo(const WriterCase &c, std::ostream *os) { *os << c.name; }

// A row's name as a test's name: what is no letter or digit becomes '_'.
inline std::string WriterRowName(const testing::TestParamInfo<WriterCase> &info)
{
    std::string name;
    for (const char *p = info.param.name; *p; p++)
        name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
}

namespace writers {

// A target as it stands: its bytes and mode, or missing.
inline std::string State(const std::string &path)
{
    if (!FileExists(path))
        return "<missing>";
    if (IsDirectory(path))
        return "<directory>";
    return std::to_string(FileMode(path)) + ":" + ReadFile(path);
}

inline std::vector<std::string> Dirs(const std::vector<std::string> &targets)
{
    std::vector<std::string> dirs;
    for (const std::string &t : targets) {
        std::string d = t.substr(0, t.rfind('/'));
        if (std::find(dirs.begin(), dirs.end(), d) == dirs.end())
            dirs.push_back(d);
    }
    return dirs;
}

inline std::vector<std::string> Dirs(const WriterCase &c) { return Dirs(c.targets); }

// The targets and the names in their directories.
inline std::vector<std::string> Snapshot(const std::vector<std::string> &targets)
{
    std::vector<std::string> s;
    for (const std::string &t : targets)
        s.push_back(t + " = " + State(t));
    for (const std::string &d : Dirs(targets))
        for (const std::string &name : ListDir(d))
            s.push_back(d + "/" + name);
    return s;
}
inline std::vector<std::string> Snapshot(const WriterCase &c) { return Snapshot(c.targets); }

// Synced, and not written after its last sync.
inline bool Synced(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    return std::find(gFsyncFiles.begin(), gFsyncFiles.end(), std::pair{st.st_dev, st.st_ino}) != gFsyncFiles.end() &&
           !WrittenSinceSync(st.st_dev, st.st_ino);
}

} // namespace writers

// Runs one row of the table.
inline void RunWriter(const WriterCase &c)
{
    using writers::Snapshot;
    const std::vector<std::string> dirs = writers::Dirs(c);
    c.setup();
    gFsyncFiles.clear();
    WatchDirs(dirs);
    ASSERT_TRUE(c.write()) << c.name << ": the clean run";
    int calls[] = {WatchedCalls(Watched::kFsync), WatchedCalls(Watched::kWrite), WatchedCalls(Watched::kRename)};
    WatchDirs({});
    for (const std::string &t : c.targets)
        EXPECT_TRUE(writers::Synced(t)) << t << " is in place, but not all of it was synced";
    if (c.syncsDirectory) {
        for (const std::string &d : dirs)
            EXPECT_TRUE(writers::Synced(d)) << "the names in " << d << " were never synced";
    }
    EXPECT_GE(calls[0], static_cast<int>(c.targets.size()));

    const struct {
        Watched kind;
        const char *what;
    } knobs[] = {{Watched::kFsync, "fsync"}, {Watched::kWrite, "write"}, {Watched::kRename, "rename"}};
    for (const auto &knob : knobs) {
        if (knob.kind == Watched::kRename && !c.renamesAtomic)
            continue;
        for (int n = 1; n <= calls[static_cast<int>(knob.kind)]; n++) {
            SCOPED_TRACE(std::string(c.name) + ": " + knob.what + " " + std::to_string(n) + " fails");
            c.setup();
            std::vector<std::string> before = Snapshot(c);
            WatchDirs(dirs);
            FailWatched(knob.kind, n);
            bool ok = c.write();
            WatchDirs({});
            EXPECT_FALSE(ok) << "the failure was not reported";
            EXPECT_EQ(Snapshot(c), before);
        }
    }
}

} // namespace vakotest
