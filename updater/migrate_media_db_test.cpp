// The photo and media database migration against a real database server,
// which the stand-in service script starts inside the appliance with the
// databases of the old builds.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <syslog.h>

#include <string>
#include <vector>

#include "migrate.h"
#include "vakotest/files.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/pgsql.h"
#include "vakotest/run.h"

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

// ---- the thumbnail directories ----

// Every "@eaDir" below the photo folder, and all in it, gets mode 0777;
// nothing else changes, and no link a user made in the photo folders
// (which are the users') is followed: not one at an "@eaDir" name, not one
// inside a real one.
TEST(PhotoEaDirRights, EveryThumbnailDirectoryAndNoLinkOfAUser)
{
    const std::string photo = "/var/services/photo", trip = photo + "/trip", ea = trip + "/@eaDir";
    vakotest::WriteFile(ea + "/a.jpg", "thumb", 0600);
    vakotest::WriteFile(ea + "/sub/b.jpg", "thumb", 0600);
    vakotest::WriteFile(trip + "/c.jpg", "photo", 0600);
    vakotest::WriteFile(photo + "/d/e/@eaDir/f.jpg", "thumb", 0600);
    vakotest::WriteFile("/etc/victim.d/secret", "secret", 0600);
    vakotest::WriteFile("/etc/victim", "victim", 0600);
    for (const std::string &d : {ea, ea + "/sub", photo + "/d/e/@eaDir", std::string("/etc/victim.d")})
        ASSERT_EQ(chmod(d.c_str(), 0700), 0) << d;
    ASSERT_EQ(mkfifo((ea + "/fifo").c_str(), 0600), 0);
    // The album is its user's, who plants links.
    ASSERT_EQ(chown(photo.c_str(), vakotest::kNoRightsUid, vakotest::kNoRightsUid), 0);
    ASSERT_EQ(chown(trip.c_str(), vakotest::kNoRightsUid, vakotest::kNoRightsUid), 0);
    ASSERT_EQ(chown(ea.c_str(), vakotest::kNoRightsUid, vakotest::kNoRightsUid), 0);
    ASSERT_TRUE(vakotest::RunAs(vakotest::kNoRightsUid, [&] {
        return mkdir((photo + "/x").c_str(), 0755) == 0 &&
               symlink("/etc/victim.d", (photo + "/x/@eaDir").c_str()) == 0 &&
               symlink("/etc/victim", (ea + "/link").c_str()) == 0;
    }));

    UpdatePhotoEaDirRights();
    for (const std::string &p : {ea, ea + "/a.jpg", ea + "/sub", ea + "/sub/b.jpg", ea + "/fifo", photo + "/d/e/@eaDir",
                                 photo + "/d/e/@eaDir/f.jpg"})
        EXPECT_EQ(vakotest::FileMode(p), 0777u) << p;
    EXPECT_EQ(vakotest::FileMode(trip), 0755u);
    EXPECT_EQ(vakotest::FileMode(trip + "/c.jpg"), 0600u);
    EXPECT_EQ(vakotest::FileMode(photo + "/d"), 0755u);
    EXPECT_EQ(vakotest::FileMode("/etc/victim.d"), 0700u);
    EXPECT_EQ(vakotest::FileMode("/etc/victim.d/secret"), 0600u);
    EXPECT_EQ(vakotest::FileMode("/etc/victim"), 0600u);
    EXPECT_EQ(vakotest::LinkTarget(ea + "/link"), "/etc/victim");
    EXPECT_EQ(ReadFile(ea + "/a.jpg"), "thumb");
}

} // namespace
