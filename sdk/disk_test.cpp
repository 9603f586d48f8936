#include "vako/disk.h"

#include <gtest/gtest.h>

#include <string>

#include "vakotest/files.h"

using vakotest::FileExists;
using vakotest::ReadFile;
using vakotest::WriteFile;

namespace {

constexpr unsigned kUntouched = 0xDEADu;

class DiskQuery : public testing::Test {
protected:
    static void Listing(const std::string &fixture, const std::string &text)
    {
        WriteFile("/.sandbox/sfdisk/" + fixture, text);
    }
    // The answer for partition n of disk with the listing given.
    void ExpectAnswer(const std::string &disk, int n, const std::string &listing, long long count, unsigned start,
                      unsigned id)
    {
        Listing(disk + "." + std::to_string(n), listing);
        start_ = id_ = kUntouched;
        EXPECT_EQ(RCPartitionConfigs(n, disk.c_str(), &start_, &id_), count);
        EXPECT_EQ(start_, start);
        EXPECT_EQ(id_, id);
    }
    // The stand-in's calls, "sfdisk <arguments>" each.
    static std::string Calls() { return FileExists("/.sandbox/calls") ? ReadFile("/.sandbox/calls") : ""; }

    unsigned start_ = kUntouched, id_ = kUntouched;
};

TEST_F(DiskQuery, ReadsStartCountAndType)
{
    Listing("hda.1", "/dev/hda1 63 272141 272079 83 Linux\n");
    EXPECT_EQ(RCPartitionConfigs(1, "/dev/hda", &start_, &id_), 272079);
    EXPECT_EQ(start_, 63u);
    EXPECT_EQ(id_, 0x83u);
    // With or without /dev/, the same command.
    start_ = id_ = kUntouched;
    EXPECT_EQ(RCPartitionConfigs(1, "hda", &start_, &id_), 272079);
    EXPECT_EQ(start_, 63u);
    EXPECT_EQ(Calls(), "sfdisk -l -uS -N1 /dev/hda\nsfdisk -l -uS -N1 /dev/hda\n");
}

TEST_F(DiskQuery, ListingLines)
{
    struct Case {
        const char *line;
        long long count;
        unsigned start, id;
    } cases[] = {
        {"/dev/sdb2\t\t 1060290  1975994   915705  fd  Linux raid autodetect\n", 915705, 1060290, 0xfd},
        {"/dev/sdb2 63 272141 272079 83 \n", 272079, 63, 0x83},
        // The boot column.
        {"/dev/sdb2 * 272142 1333331 1061190 fd Linux raid autodetect\n", 1061190, 272142, 0xfd},
        {"/dev/sdb2   *    272142   1333331   1061190  fd  Linux raid autodetect\n", 1061190, 272142, 0xfd},
        // Counts beyond 32 bits (8 TiB here) stay whole.
        {"/dev/sdb2 2048 17179871231 17179869184 83 Linux\n", 17179869184LL, 2048, 0x83},
        // Short lines.
        {"/dev/sdb2 63 272141 272079 83\n", -1, kUntouched, kUntouched},
        {"/dev/sdb2 63 272141 272079 83", -1, kUntouched, kUntouched},
        {"/dev/sdb2 63 272141 272079\n", -1, kUntouched, kUntouched},
        {"/dev/sdb2 * 63 272141 272079\n", -1, kUntouched, kUntouched},
        {"/dev/sdb2 63\n", -1, kUntouched, kUntouched},
        {"\n", -1, kUntouched, kUntouched},
        {"", -1, kUntouched, kUntouched},
        // Only the first 63 characters are read.
        {"/dev/sdb2                                        63 272141 272079 83 Linux\n", -1, kUntouched, kUntouched},
        // A start that does not fit the 32-bit answer is not cut.
        {"/dev/sdb2 4294967296 4294969343 2048 83 Linux\n", -1, kUntouched, kUntouched},
        {"/dev/sdb2 -5 4294969343 2048 83 Linux\n", -1, kUntouched, kUntouched},
        // Fields that are not wholly numbers.
        {"/dev/sdb2 63x 272141 272079 83 Linux\n", -1, kUntouched, kUntouched},
        {"/dev/sdb2 63 272141 272079 8g Linux\n", -1, kUntouched, kUntouched},
        // Not this partition's row.
        {"/dev/sdb1 63 272141 272079 83 Linux\n", -1, kUntouched, kUntouched},
        {"/dev/sdb22 63 272141 272079 83 Linux\n", -1, kUntouched, kUntouched},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        ExpectAnswer("sdb", 2, c.line, c.count, c.start, c.id);
    }
}

// Headings and the rows of other partitions are passed over: the row of the
// partition asked for counts wherever it stands.
TEST_F(DiskQuery, TheRowOfThePartitionCountsNotTheFirstLine)
{
    const std::string heading = "\nDisk /dev/hda: 1024 cylinders, 16 heads, 63 sectors/track\n"
                                "Units = sectors of 512 bytes, counting from 0\n\n"
                                "   Device Boot    Start       End   #sectors  Id  System\n";
    struct Case {
        const char *what;
        std::string listing;
        long long count;
        unsigned start, id;
    } cases[] = {
        {"after the heading", heading + "/dev/hda3        1333332   1975994    642663  fd  Linux raid autodetect\n",
         642663, 1333332, 0xfd},
        {"among the other partitions",
         heading + "/dev/hda1            63    272141    272079  83  Linux\n"
                   "/dev/hda2   *    272142   1333331   1061190  fd  Linux raid autodetect\n"
                   "/dev/hda3        1333332   1975994    642663  fd  Linux raid autodetect\n",
         642663, 1333332, 0xfd},
        {"after a garbage line", "garbage\n/dev/hda3 1060290 1975994 915705 fd Linux\n", 915705, 1060290, 0xfd},
        {"a heading only", heading, -1, kUntouched, kUntouched},
        {"other partitions only", heading + "/dev/hda1            63    272141    272079  83  Linux\n", -1, kUntouched,
         kUntouched},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ExpectAnswer("hda", 3, c.listing, c.count, c.start, c.id);
    }
    // A disk whose name ends in a digit has a 'p' before the number.
    ExpectAnswer("md0", 1, "/dev/md0p1 2048 1050623 1048576 83 Linux\n", 1048576, 2048, 0x83);
}

TEST_F(DiskQuery, NoListing)
{
    EXPECT_EQ(RCPartitionConfigs(4, "hda", &start_, &id_), -1);
    EXPECT_EQ(Calls(), "sfdisk -l -uS -N4 /dev/hda\n");
    EXPECT_EQ(start_, kUntouched);
    EXPECT_EQ(id_, kUntouched);
}

TEST_F(DiskQuery, BadArgumentsStartNoCommand)
{
    Listing("hda.1", "/dev/hda1 63 272141 272079 83 Linux\n");
    EXPECT_EQ(RCPartitionConfigs(0, "hda", &start_, &id_), -1);
    EXPECT_EQ(RCPartitionConfigs(-1, "hda", &start_, &id_), -1);
    EXPECT_EQ(RCPartitionConfigs(1, nullptr, &start_, &id_), -1);
    EXPECT_EQ(Calls(), "");
    EXPECT_EQ(start_, kUntouched);
    EXPECT_EQ(id_, kUntouched);
}

TEST_F(DiskQuery, UnsafeDiskNamesAreRefused)
{
    Listing("hda.1", "/dev/hda1 63 272141 272079 83 Linux\n");
    for (const char *name :
         {"hda; touch /tmp/pwned", "hda$(touch /tmp/pwned)", "hda`touch /tmp/pwned`", "hda|touch /tmp/pwned", "hd a",
          "hda\n", "../hda", "hda&", "", "/dev/", "'hda'", "hda>/tmp/pwned"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(RCPartitionConfigs(1, name, &start_, &id_), -1);
    }
    EXPECT_EQ(Calls(), "");
    EXPECT_FALSE(FileExists("/tmp/pwned"));
    EXPECT_EQ(start_, kUntouched);
}

TEST_F(DiskQuery, CommandMustFitItsBuffer)
{
    // "/sbin/sfdisk -l -uS -N1 /dev/" leaves 34 characters of the 63.
    std::string fits = "md/" + std::string(31, 'x');
    std::string fixture = "md_" + std::string(31, 'x');
    Listing(fixture + ".1", "/dev/" + fits + "1 63 272141 272079 83 Linux\n");
    Listing(fixture + ".10", "/dev/" + fits + "10 63 272141 272079 83 Linux\n");
    EXPECT_EQ(RCPartitionConfigs(1, fits.c_str(), &start_, &id_), 272079);
    EXPECT_EQ(Calls(), "sfdisk -l -uS -N1 /dev/" + fits + "\n");
    EXPECT_EQ(RCPartitionConfigs(1, (fits + "y").c_str(), &start_, &id_), -1);
    EXPECT_EQ(RCPartitionConfigs(10, fits.c_str(), &start_, &id_), -1);
    EXPECT_EQ(Calls(), "sfdisk -l -uS -N1 /dev/" + fits + "\n");
}

} // namespace
