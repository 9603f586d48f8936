// The product kit of slibcxx/: the line reader, the file replacer and the
// guard of the C border, on files of the throwaway appliance.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "slib/error.h"
#include "slibcxx/border.h"
#include "slibcxx/fields.h"
#include "slibcxx/lines.h"
#include "slibcxx/replace.h"
#include "vakotest/files.h"

namespace {

using slib::FileReplacer;
using slib::LineReader;
using vakotest::ListDir;
using vakotest::ReadFile;
using vakotest::WriteFile;

const std::string kDir = "/tmp/kit";
const std::string kTarget = kDir + "/list.conf";

// The umask of a test, the old one back at its end.
struct Umask {
    explicit Umask(mode_t m) : old(umask(m)) {}
    ~Umask() { umask(old); }
    mode_t old;
};

// A small tmpfs of our own, for a full disk.
struct SmallDisk {
    explicit SmallDisk(const std::string &d) : dir(d)
    {
        vakotest::MakeDirs(dir);
        ok = mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=8k") == 0;
    }
    ~SmallDisk()
    {
        if (ok)
            umount2(dir.c_str(), MNT_DETACH);
    }
    std::string dir;
    bool ok;
};

// ---- The line reader ----

TEST(KitLineReader, EveryByteOfEveryLineWithItsEnd)
{
    const std::vector<std::string> lines = {"a\n", "\n", std::string(100000, 'x') + "\n", std::string("n\0ul\r\n", 6),
                                            "last without end"};
    std::string text;
    for (const std::string &l : lines)
        text += l;
    WriteFile(kTarget, text);
    LineReader in(kTarget.c_str());
    ASSERT_TRUE(in.ok());
    std::vector<std::string> got, bare, content;
    std::vector<bool> nul;
    while (in.Next()) {
        got.emplace_back(in.view());
        bare.emplace_back(in.text());
        content.emplace_back(in.content());
        nul.push_back(in.HoldsNul());
        EXPECT_EQ(in.line()[in.len()], '\0');
    }
    EXPECT_EQ(got, lines);
    EXPECT_EQ(bare.back(), "last without end");
    EXPECT_EQ(bare[3], std::string("n\0ul\r", 5));
    // Without "\r\n" too: what a line of a text file of lines holds.
    EXPECT_EQ(content, (std::vector<std::string>{"a", "", std::string(100000, 'x'), std::string("n\0ul", 4),
                                                 "last without end"}));
    EXPECT_EQ(nul, (std::vector<bool>{false, false, false, true, false}));
    EXPECT_TRUE(in.AtEnd());
    EXPECT_FALSE(in.Failed());
    EXPECT_TRUE(in.CheckEnd());
}

TEST(KitLineReader, ABorrowedStreamStaysTheCallers)
{
    WriteFile(kTarget, "one\ntwo\n");
    FILE *fp = fopen(kTarget.c_str(), "re");
    ASSERT_NE(fp, nullptr);
    {
        LineReader in(fp);
        ASSERT_NE(in.Next(), nullptr);
        EXPECT_EQ(in.view(), "one\n");
    }
    char rest[8] = {};
    EXPECT_NE(fgets(rest, sizeof rest, fp), nullptr); // still open
    EXPECT_STREQ(rest, "two\n");
    fclose(fp);
}

TEST(KitLineReader, AMissingFileAndAReadErrorAreNoEnd)
{
    vakotest::RemoveFile(kTarget);
    SLIBErrorSet(0);
    LineReader missing(kTarget.c_str(), "kit_reader");
    EXPECT_FALSE(missing.ok());
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_OPEN);
    EXPECT_STREQ(SLIBErrorGetFile(), "kit_reader");
    EXPECT_EQ(missing.Next(), nullptr);
    EXPECT_FALSE(missing.AtEnd());

    // A directory opens, but cannot be read.
    vakotest::MakeDirs(kDir + "/dir");
    LineReader in((kDir + "/dir").c_str(), "kit_reader");
    ASSERT_TRUE(in.ok());
    SLIBErrorSet(0);
    EXPECT_EQ(in.Next(), nullptr);
    EXPECT_TRUE(in.Failed());
    EXPECT_FALSE(in.AtEnd());
    EXPECT_FALSE(in.CheckEnd());
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_READ);
    // Without a source name nothing is recorded.
    LineReader quiet((kDir + "/dir").c_str());
    SLIBErrorSet(0);
    EXPECT_EQ(quiet.Next(), nullptr);
    EXPECT_FALSE(quiet.CheckEnd());
    EXPECT_EQ(SLIBErrorGet(), 0);
}

// ---- The guard of the C border and the saved error ----

// ---- The fields of account lines ----

TEST(KitFields, ColonFieldsEmptyOnesToo)
{
    using V = std::vector<std::string_view>;
    EXPECT_EQ(slib::ColonFields("a:x:1::"), (V{"a", "x", "1", "", ""}));
    EXPECT_EQ(slib::ColonFields(""), (V{""}));
    EXPECT_EQ(slib::ColonFields(std::string_view("n\0:b", 4)), (V{std::string_view("n\0", 2), "b"}));
}

TEST(KitFields, DecimalU32DigitsOnlyWithinItsRange)
{
    const struct {
        const char *text;
        bool ok;
        uint32_t value;
    } cases[] = {{"0", true, 0},           {"1027", true, 1027},      {"4294967295", true, 4294967295u},
                 {"4294967296", false, 0}, {"99999999999", false, 0}, {"", false, 0},
                 {"-2", false, 0},         {"+2", false, 0},          {" 2", false, 0},
                 {"12abc", false, 0},      {"00000000001", false, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t v = 7;
        EXPECT_EQ(slib::DecimalU32(c.text, &v), c.ok);
        EXPECT_EQ(v, c.ok ? c.value : 7u);
    }
}

TEST(KitGuard, AnExceptionBecomesTheFailureWith0x0200)
{
    struct Case {
        const char *what;
        int (*body)();
        int result, code;
    } cases[] = {
        {"no exception", [] { return 7; }, 7, 0},
        {"out of memory", []() -> int { throw std::bad_alloc(); }, -1, SLIB_ERR_OUT_OF_MEMORY},
        {"a string too long",
         [] { return static_cast<int>(std::string().append(std::string().max_size() + 1, 'x').size()); }, -1,
         SLIB_ERR_OUT_OF_MEMORY},
        {"any other", []() -> int { throw std::runtime_error("x"); }, -1, SLIB_ERR_OUT_OF_MEMORY},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SLIBErrorSet(0);
        EXPECT_EQ(slib::Guarded("kit_guarded", -1, c.body), c.result);
        EXPECT_EQ(SLIBErrorGet(), c.code);
        if (c.code) {
            EXPECT_STREQ(SLIBErrorGetFile(), "kit_guarded");
        }
    }
}

// A step that falls back rather than fails records nothing.
TEST(KitGuard, WithoutASourceNameNothingIsRecorded)
{
    SLIBErrorSetEx(SLIB_ERR_NOT_FOUND, "kit_before", 5);
    EXPECT_FALSE(slib::Guarded(nullptr, false, []() -> bool { throw std::bad_alloc(); }));
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_NOT_FOUND);
    EXPECT_STREQ(SLIBErrorGetFile(), "kit_before");
}

TEST(KitSavedError, TheFailureOutlivesTheCleanUp)
{
    SLIBErrorSetEx(SLIB_ERR_WRITE, "kit_first", 12);
    slib::SavedError saved;
    SLIBErrorSetEx(SLIB_ERR_NOT_FOUND, "kit_cleanup", 34);
    saved.Restore();
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_WRITE);
    EXPECT_STREQ(SLIBErrorGetFile(), "kit_first");
    EXPECT_EQ(SLIBErrorGetLine(), 12);
}

// ---- The file replacer ----

TEST(KitFileReplacer, AUniqueTemporaryBesideTheTargetTakesItsPlace)
{
    vakotest::MakeDirs(kDir);
    WriteFile(kTarget, "old\n", 0640);
    FileReplacer out("kit_replace");
    ASSERT_TRUE(out.CreateUnique(kTarget.c_str()));
    std::string temp = out.path();
    EXPECT_EQ(temp.substr(0, kTarget.size() + 1), kTarget + ".");
    EXPECT_EQ(temp.size(), kTarget.size() + 7);
    EXPECT_EQ(vakotest::FileMode(temp), 0600u);
    struct stat old;
    ASSERT_EQ(stat(kTarget.c_str(), &old), 0);
    ASSERT_TRUE(out.CopyAttributes(old, true));
    EXPECT_EQ(vakotest::FileMode(temp), 0640u);
    ASSERT_TRUE(out.Write("new\n") && out.Printf("%d\n", 42));
    EXPECT_EQ(ReadFile(kTarget), "old\n");
    struct stat st;
    ASSERT_TRUE(out.Finish(&st));
    ASSERT_TRUE(out.RenameOver(kTarget.c_str()));
    ASSERT_TRUE(out.SyncDirectory(kTarget.c_str()));
    EXPECT_EQ(ReadFile(kTarget), "new\n42\n");
    EXPECT_EQ(vakotest::FileMode(kTarget), 0640u);
    struct stat now;
    ASSERT_EQ(stat(kTarget.c_str(), &now), 0);
    EXPECT_EQ(now.st_ino, st.st_ino);
    EXPECT_EQ(ListDir(kDir), std::vector<std::string>{"list.conf"});
}

TEST(KitFileReplacer, AUniqueTemporaryOfTheWritersOwnPattern)
{
    vakotest::MakeDirs(kDir);
    const std::string pattern = kTarget + ".tmpXXXXXX";
    FileReplacer out("kit_replace");
    ASSERT_TRUE(out.CreateUniqueFrom(pattern.c_str()));
    std::string temp = out.path();
    EXPECT_EQ(temp.size(), pattern.size());
    EXPECT_EQ(temp.substr(0, pattern.size() - 6), kTarget + ".tmp");
    EXPECT_NE(temp, pattern);
    EXPECT_EQ(vakotest::FileMode(temp), 0600u);
    ASSERT_TRUE(out.Write("x\n") && out.Finish() && out.RenameOver(kTarget.c_str()));
    EXPECT_EQ(ReadFile(kTarget), "x\n");
    EXPECT_EQ(ListDir(kDir), std::vector<std::string>{"list.conf"});

    // A pattern without its six X: nothing made, 0x0900.
    SLIBErrorSet(0);
    FileReplacer bad("kit_replace");
    EXPECT_FALSE(bad.CreateUniqueFrom((kTarget + ".tmp").c_str()));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(bad.failed(), FileReplacer::Step::kCreate);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_OPEN);
    EXPECT_EQ(ListDir(kDir), std::vector<std::string>{"list.conf"});
}

// Attributes given once the temporary is whole: while written it stays as
// made, readable by its owner alone (that they come after the sync, the
// updater's account rewrites show through the fsync counter).
TEST(KitFileReplacer, AttributesWhenWholeAreGivenByFinish)
{
    vakotest::MakeDirs(kDir);
    struct Case {
        const char *what;
        void (*ask)(FileReplacer &out);
        unsigned mode;
        uid_t uid;
        gid_t gid;
    } cases[] = {
        {"owner and mode", [](FileReplacer &out) { out.AttributesWhenWhole(12, 34, 0100644); }, 0644, 12, 34},
        {"the mode alone", [](FileReplacer &out) { out.ModeWhenWhole(0644); }, 0644, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        vakotest::RemoveFile(kTarget);
        FileReplacer out("kit_replace");
        ASSERT_TRUE(out.CreateUnique(kTarget.c_str()));
        c.ask(out);
        ASSERT_TRUE(out.Write("new\n"));
        EXPECT_EQ(vakotest::FileMode(out.path()), 0600u);
        EXPECT_EQ(vakotest::FileUid(out.path()), 0u);
        // Asked for later: given by Finish, not by SetMode's rule.
        ASSERT_TRUE(out.Finish() && out.RenameOver(kTarget.c_str()));
        EXPECT_EQ(ReadFile(kTarget), "new\n");
        EXPECT_EQ(vakotest::FileMode(kTarget), c.mode);
        EXPECT_EQ(vakotest::FileUid(kTarget), c.uid);
        EXPECT_EQ(vakotest::FileGid(kTarget), c.gid);
    }
}

// A writer at offsets goes through the descriptor; Finish syncs and closes.
TEST(KitFileReplacer, ADescriptorForWritesAtOffsets)
{
    vakotest::MakeDirs(kDir);
    FileReplacer out("kit_replace");
    ASSERT_TRUE(out.CreateFixed((kTarget + ".tmp").c_str(), 0600));
    int fd = out.fd();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "tail", 4, 8), 4);
    ASSERT_EQ(pwrite(fd, "head", 4, 0), 4);
    // Bytes went out: too late for attributes before them.
    EXPECT_FALSE(out.SetMode(0644));
    ASSERT_TRUE(out.Finish() && out.RenameOver(kTarget.c_str()));
    EXPECT_EQ(ReadFile(kTarget), std::string("head\0\0\0\0tail", 12));
    EXPECT_EQ(out.fd(), -1);
}

// A writer whose callers never saw a code of its own records none, on any
// step; the failure is still told by the result, errno and failed().
TEST(KitFileReplacer, WithoutASourceNameNoCodeIsRecorded)
{
    vakotest::MakeDirs(kTarget + ".d/x");
    WriteFile(kTarget, "old\n");
    SLIBErrorSetEx(SLIB_ERR_NOT_FOUND, "kit_before", 5);
    {
        FileReplacer out(nullptr);
        EXPECT_FALSE(out.CreateUnique((kDir + "/no/such").c_str()));
        EXPECT_EQ(errno, ENOENT);
        EXPECT_EQ(out.failed(), FileReplacer::Step::kCreate);
    }
    {
        FileReplacer out(nullptr);
        ASSERT_TRUE(out.CreateUnique(kTarget.c_str()) && out.Write("x") && out.Finish());
        EXPECT_FALSE(out.RenameOver((kTarget + ".d").c_str()));
        EXPECT_EQ(out.failed(), FileReplacer::Step::kPlace);
        EXPECT_FALSE(out.SyncDirectory((kDir + "/no/such/name").c_str()));
        EXPECT_EQ(out.failed(), FileReplacer::Step::kSync);
    }
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_NOT_FOUND);
    EXPECT_STREQ(SLIBErrorGetFile(), "kit_before");
    EXPECT_EQ(ReadFile(kTarget), "old\n");
    EXPECT_EQ(ListDir(kDir), (std::vector<std::string>{"list.conf", "list.conf.d"}));
}

// A file written in place: its buffered bytes fail only at the end, and
// that is the append's failure; the stream is closed either way.
TEST(KitCloseSynced, AnAppendIsFlushedSyncedAndClosed)
{
    SmallDisk disk(kDir + "/small");
    ASSERT_TRUE(disk.ok) << strerror(errno);
    const std::string file = disk.dir + "/log";
    WriteFile(file, "a\n");
    FILE *fp = fopen(file.c_str(), "a");
    ASSERT_NE(fp, nullptr);
    ASSERT_GE(fputs("b\n", fp), 0);
    EXPECT_TRUE(slib::CloseSynced(fp));
    EXPECT_EQ(ReadFile(file), "a\nb\n");

    // A write that failed before the end, and a flush that fails at the end.
    fp = fopen(file.c_str(), "a");
    ASSERT_NE(fp, nullptr);
    const std::string big(16384, 'x');
    EXPECT_LT(fwrite(big.data(), 1, big.size(), fp), big.size());
    EXPECT_FALSE(slib::CloseSynced(fp));
    fp = fopen(file.c_str(), "a");
    ASSERT_NE(fp, nullptr);
    ASSERT_EQ(fwrite("y\n", 1, 2, fp), 2u);
    EXPECT_FALSE(slib::CloseSynced(fp));
    EXPECT_EQ(errno, ENOSPC);
}

TEST(KitSyncPath, AFileOrADirectoryByItsName)
{
    vakotest::MakeDirs(kDir);
    WriteFile(kTarget, "x");
    EXPECT_TRUE(slib::SyncPath(kTarget.c_str()));
    EXPECT_TRUE(slib::SyncPath(kDir.c_str(), O_DIRECTORY));
    EXPECT_FALSE(slib::SyncPath(kTarget.c_str(), O_DIRECTORY));
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_FALSE(slib::SyncPath((kDir + "/none").c_str()));
    EXPECT_EQ(errno, ENOENT);
}

TEST(KitFileReplacer, AFixedTemporaryIsMadeAnewNeverThroughALink)
{
    Umask mask(022);
    vakotest::MakeDirs(kDir);
    const std::string temp = kTarget + ".tmp", elsewhere = kDir + "/elsewhere";
    WriteFile(elsewhere, "keep\n", 0666);
    ASSERT_EQ(symlink(elsewhere.c_str(), temp.c_str()), 0);
    FileReplacer out("kit_replace");
    ASSERT_TRUE(out.CreateFixed(temp.c_str(), 0666));
    EXPECT_EQ(vakotest::LinkTarget(temp), "<no link>");
    EXPECT_EQ(vakotest::FileMode(temp), 0644u); // less the umask
    ASSERT_TRUE(out.Write("x\n") && out.Finish() && out.RenameOver(kTarget.c_str()));
    EXPECT_EQ(ReadFile(kTarget), "x\n");
    EXPECT_EQ(ReadFile(elsewhere), "keep\n");
    EXPECT_FALSE(vakotest::FileExists(temp));
}

TEST(KitFileReplacer, AttributesComeBeforeTheFirstByte)
{
    vakotest::MakeDirs(kDir);
    FileReplacer out("kit_replace");
    ASSERT_TRUE(out.CreateUnique(kTarget.c_str()));
    ASSERT_TRUE(out.Write("x"));
    SLIBErrorSet(0);
    EXPECT_FALSE(out.SetMode(0644));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(out.failed(), FileReplacer::Step::kAttributes);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_WRITE);
    EXPECT_STREQ(SLIBErrorGetFile(), "kit_replace");
    EXPECT_EQ(vakotest::FileMode(out.path()), 0600u);
}

// Every failing step records its code under the writer's name and leaves
// the target as it was and no temporary file behind.
TEST(KitFileReplacer, AFailedStepLeavesTheTargetAndNoTemporary)
{
    SmallDisk disk(kDir + "/small");
    ASSERT_TRUE(disk.ok) << strerror(errno);
    const std::string target = disk.dir + "/list.conf";
    struct Case {
        const char *what;
        bool (*steps)(FileReplacer &out, const char *target);
        FileReplacer::Step step;
        int code;
    } cases[] = {
        {"no room for the temporary",
         [](FileReplacer &out, const char *t) {
             return out.CreateUnique(t) && out.Write(std::string(16384, 'x')) && out.Finish();
         },
         FileReplacer::Step::kWrite, SLIB_ERR_WRITE},
        {"no directory for the temporary",
         [](FileReplacer &out, const char *t) { return out.CreateUnique((std::string(t) + "/no/such").c_str()); },
         FileReplacer::Step::kCreate, SLIB_ERR_OPEN},
        {"a directory in the target's place",
         [](FileReplacer &out, const char *t) {
             return out.CreateUnique(t) && out.Write("x") && out.Finish() &&
                    out.RenameOver((std::string(t) + ".d").c_str());
         },
         FileReplacer::Step::kPlace, SLIB_ERR_RENAME},
        {"written after the end",
         [](FileReplacer &out, const char *t) { return out.CreateUnique(t) && out.Finish() && out.Write("late"); },
         FileReplacer::Step::kWrite, SLIB_ERR_WRITE},
    };
    vakotest::MakeDirs(target + ".d/x");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(target, "old\n", 0640);
        std::vector<std::string> before = ListDir(disk.dir);
        SLIBErrorSet(0);
        {
            FileReplacer out("kit_replace");
            EXPECT_FALSE(c.steps(out, target.c_str()));
            EXPECT_EQ(out.failed(), c.step);
        }
        EXPECT_EQ(SLIBErrorGet(), c.code);
        EXPECT_STREQ(SLIBErrorGetFile(), "kit_replace");
        EXPECT_EQ(ReadFile(target), "old\n");
        EXPECT_EQ(ListDir(disk.dir), before);
    }
}

TEST(KitFileReplacer, ANewFileIsThereWholeOrNotAtAll)
{
    Umask mask(022);
    SmallDisk disk(kDir + "/small");
    ASSERT_TRUE(disk.ok) << strerror(errno);
    const std::string target = disk.dir + "/new.conf";
    {
        FileReplacer out("kit_replace");
        ASSERT_TRUE(out.CreateNew(target.c_str(), 0666));
        ASSERT_TRUE(out.Write("a\n") && out.Finish());
    }
    EXPECT_EQ(ReadFile(target), "a\n");
    EXPECT_EQ(vakotest::FileMode(target), 0644u);
    // Something there already: no code, nothing touched.
    SLIBErrorSet(0);
    {
        FileReplacer out("kit_replace");
        EXPECT_FALSE(out.CreateNew(target.c_str(), 0666));
        EXPECT_EQ(errno, EEXIST);
    }
    EXPECT_EQ(SLIBErrorGet(), 0);
    EXPECT_EQ(ReadFile(target), "a\n");
    // Not written whole: gone again.
    vakotest::RemoveFile(target);
    {
        FileReplacer out("kit_replace");
        ASSERT_TRUE(out.CreateNew(target.c_str(), 0666));
        EXPECT_FALSE(out.Write(std::string(16384, 'x')) && out.Finish());
    }
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_WRITE);
    EXPECT_EQ(ListDir(disk.dir), std::vector<std::string>{});
}

TEST(KitFileReplacer, AReleasedTemporaryStaysADiscardedOneGoes)
{
    vakotest::MakeDirs(kDir);
    const std::string temp = kTarget + ".tmp";
    {
        FileReplacer out("kit_replace");
        ASSERT_TRUE(out.CreateFixed(temp.c_str(), 0600) && out.Write("kept\n") && out.Finish());
        out.Release();
    }
    EXPECT_EQ(ReadFile(temp), "kept\n");
    FileReplacer out("kit_replace");
    ASSERT_TRUE(out.CreateFixed(temp.c_str(), 0600));
    EXPECT_TRUE(out.Discard());
    EXPECT_FALSE(vakotest::FileExists(temp));
    // A temporary name owned alone.
    {
        slib::TempPath name(temp);
        WriteFile(temp, "x");
    }
    EXPECT_FALSE(vakotest::FileExists(temp));
}

} // namespace
