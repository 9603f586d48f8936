// The photo and media database migration against a real database server,
// which the stand-in service script starts inside the appliance with the
// databases of the old builds.
#include <gtest/gtest.h>
#include <stdio.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "migrate.h"
#include "vakotest/files.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/pgsql.h"

namespace {

namespace pg = vakotest::pgsql;
using vakotest::ReadFile;

const std::string kAlterTimetaken = pg::kCallAlterTimetaken;
const std::string kAddAdmin = pg::kCallAddAdmin;
const std::string kVideoComment = pg::kCallVideoComment;
const std::string kVideoDesc = pg::kCallVideoDesc;
const std::string kDrop = pg::kCallDrop;
const std::string kDumps = pg::kCallDumps;
const std::string kIndex = pg::kCallIndex;

const char *kVideoMessage = "Update photo db to add video tables";

class MediaDatabases : public testing::Test {
protected:
    void SetUp() override
    {
        gPhotoDbSteps = gfDropMediaServerDb = gfDumpPgsqlDbs = 0;
        snprintf(gszVolume, sizeof(gszVolume), "%s", vakotest::kVolume);
        vakotest::MakeDirs(vakotest::kVolume);
        vakotest::AddAdminAccount();
        ASSERT_EQ(pg::Service("start"), 0);
        // Only the calls of the migration from here on; the tools append
        // to it as admin too.
        vakotest::WriteFile(vakotest::kStandinCalls, "", 0666);
        vakotest::SyslogClear();
    }

    void TearDown() override { EXPECT_EQ(pg::Service("stop"), 0); }

    static std::string Calls() { return ReadFile(vakotest::kStandinCalls); }

    // su logs its sessions too: the count is of this message alone.
    static int VideoMessages() { return vakotest::SyslogCount(kVideoMessage, LOG_ERR); }

    static void ExpectDumpsIn(const std::string &volume)
    {
        const std::string dir = volume + "/.@pgsql_upgrade";
        EXPECT_EQ(vakotest::ListDir(dir),
                  std::vector<std::string>(std::begin(pg::kDumpFiles), std::end(pg::kDumpFiles)));
        for (const std::string db : pg::kDumped) {
            SCOPED_TRACE(db);
            std::string dump = pg::MaskRestrictKey(ReadFile(dir + "/" + db + ".sql"));
            EXPECT_NE(dump.find("\nCREATE DATABASE " + db + " "), std::string::npos);
            EXPECT_EQ(dump, pg::Dump(db));
        }
    }
};

// The photo database's steps by bit: the column changes (bit value 1), the
// video tables (bit value 2), both in that order (installed builds 401 to
// 424).
struct PhotoCase {
    const char *name;
    int steps;
    std::string calls;
};

void PrintTo(const PhotoCase &c, std::ostream *os) { *os << c.name; }

class PhotoDatabase : public MediaDatabases, public testing::WithParamInterface<PhotoCase> {};

TEST_P(PhotoDatabase, StepsByBit)
{
    const PhotoCase &c = GetParam();
    gPhotoDbSteps = c.steps;
    EXPECT_EQ(UpdatePhotoDatabase(), 0);
    EXPECT_EQ(Calls(), c.calls);

    bool video = c.steps & 2;
    EXPECT_EQ(pg::PhotoSchema(), pg::PhotoSchemaAfter(c.steps & 1, video));
    EXPECT_EQ(VideoMessages(), video ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Bits, PhotoDatabase,
                         testing::Values(PhotoCase{"Columns", 1, kAlterTimetaken + kAddAdmin + kIndex},
                                         PhotoCase{"VideoTables", 2, kVideoComment + kVideoDesc + kIndex},
                                         PhotoCase{"Both", 3,
                                                   kAlterTimetaken + kAddAdmin + kVideoComment + kVideoDesc + kIndex}),
                         [](const testing::TestParamInfo<PhotoCase> &info) { return info.param.name; });

TEST_F(MediaDatabases, TheMediaServersDatabaseIsDropped)
{
    gfDropMediaServerDb = 1;
    EXPECT_EQ(UpdatePhotoDatabase(), 0);
    EXPECT_EQ(Calls(), kDrop + kIndex);
    EXPECT_FALSE(pg::HasDatabase("mediaserver"));
    for (const std::string db : pg::kDumped)
        EXPECT_TRUE(pg::HasDatabase(db)) << db;
    EXPECT_FALSE(vakotest::FileExists("/volume1/.@pgsql_upgrade"));
}

TEST_F(MediaDatabases, FourDatabasesAreDumpedToTheVolume)
{
    gfDumpPgsqlDbs = 1;
    EXPECT_EQ(UpdatePhotoDatabase(), 0);
    EXPECT_EQ(Calls(), kDumps + kIndex);
    ExpectDumpsIn(vakotest::kVolume);
    EXPECT_TRUE(pg::HasDatabase("mediaserver"));
}

// The volume comes from the command line: whatever it holds, it stays one
// word for the shell.
TEST_F(MediaDatabases, AVolumeNameThatNeedsQuoting)
{
    const std::string volume = "/tmp/v o'l$(touch x)";
    vakotest::MakeDirs(volume);
    snprintf(gszVolume, sizeof(gszVolume), "%s", volume.c_str());
    gfDumpPgsqlDbs = 1;
    EXPECT_EQ(UpdatePhotoDatabase(), 0);
    ExpectDumpsIn(volume);
    EXPECT_EQ(vakotest::ListDir("/tmp"), std::vector<std::string>{"v o'l$(touch x)"});
    EXPECT_FALSE(vakotest::FileExists("/x"));
}

TEST_F(MediaDatabases, TheIndexerRunsEvenWithNothingToDo)
{
    EXPECT_EQ(UpdatePhotoDatabase(), 0);
    EXPECT_EQ(Calls(), kIndex);
    EXPECT_TRUE(vakotest::SyslogLines().empty());
}

// No command looks at the one before: a missing photo database, a missing
// media server database and a dump directory that is already there fail
// their commands, and every later one still runs.
TEST_F(MediaDatabases, EveryCommandRunsWhateverTheOneBeforeGave)
{
    pg::Query("postgres", "DROP DATABASE photo");
    pg::Query("postgres", "DROP DATABASE mediaserver");
    vakotest::WriteFile("/volume1/.@pgsql_upgrade/old.sql", "kept\n");
    gPhotoDbSteps = 3;
    gfDropMediaServerDb = gfDumpPgsqlDbs = 1;

    EXPECT_EQ(UpdatePhotoDatabase(), 0);
    EXPECT_EQ(Calls(), kAlterTimetaken + kAddAdmin + kVideoComment + kVideoDesc + kDrop + kDumps + kIndex);
    EXPECT_EQ(ReadFile("/volume1/.@pgsql_upgrade/old.sql"), "kept\n");
    for (const std::string db : {"download", "surveillance", "roundcubemail"})
        EXPECT_EQ(pg::MaskRestrictKey(ReadFile("/volume1/.@pgsql_upgrade/" + db + ".sql")), pg::Dump(db));
    EXPECT_EQ(VideoMessages(), 1);
}

} // namespace
