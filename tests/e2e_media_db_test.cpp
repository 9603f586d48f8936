// The media databases through a whole update on the normal flash road: the
// updater starts the database service (a real server inside the appliance)
// and migrates the databases of the installed build.
#include <gtest/gtest.h>

#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "vakotest/chips.h"
#include "vakotest/files.h"
#include "vakotest/fixture.h"
#include "vakotest/paths.h"
#include "vakotest/pgsql.h"
#include "vakotest/run.h"

namespace {

namespace pg = vakotest::pgsql;
using vakotest::ReadFile;

const std::string kDumpDir = "/volume1/.@pgsql_upgrade";
const std::vector<std::string> kDumped = {"photo", "download", "surveillance", "roundcubemail"};

const std::string kStart = "S20pgsql.sh start\n";
const std::string kDrop = "dropdb mediaserver\n";
const std::string kDumps = "pg_dump -C -o -U admin photo\npg_dump -C -o -U admin download\n"
                           "pg_dump -C -o -U admin surveillance\npg_dump -C -o -U admin roundcubemail\n";
const std::string kIndex = "vakoindex -R all\n";

struct Row {
    const char *name;
    const char *build;
    std::string calls; // of the service script, the database tools and the indexer
    bool dropped;      // the media server's database is gone
    bool dumped;       // the dump directory holds the four dumps
};

void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

// The calls of the service script, the database tools and the indexer.
std::string DatabaseCalls()
{
    std::string calls, line;
    std::istringstream in(vakotest::FileExists(vakotest::kStandinCalls) ? ReadFile(vakotest::kStandinCalls) : "");
    while (std::getline(in, line))
        for (const char *program : {"S20pgsql.sh ", "psql ", "dropdb ", "pg_dump ", "vakoindex "})
            if (line.starts_with(program))
                calls += line + "\n";
    return calls;
}

class MediaDatabaseUpdate : public testing::TestWithParam<Row> {
protected:
    void TearDown() override { EXPECT_EQ(pg::Service("stop"), 0); }
};

TEST_P(MediaDatabaseUpdate, DatabasesAfterTheUpdate)
{
    const Row &row = GetParam();
    vakotest::Appliance appliance;
    appliance.version.Set("buildnumber", row.build);
    appliance.flash = vakotest::LayoutFlash(vakotest::Layout::Normal);
    vakotest::Install(appliance);
    vakotest::AddAdminAccount();
    vakotest::Package package;
    package.images["zImage"] = std::string(0x30000, 'z');
    vakotest::Install(package);

    vakotest::RunResult r = vakotest::Run({package.UpdaterPath()}, {.cwd = "/"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(DatabaseCalls(), row.calls);
    if (row.calls.empty())
        return;

    // The service the updater started still runs.
    ASSERT_EQ(pg::Service("status"), 0);
    EXPECT_EQ(pg::HasDatabase("mediaserver"), !row.dropped);
    for (const std::string &db : kDumped)
        EXPECT_TRUE(pg::HasDatabase(db)) << db;
    if (!row.dumped) {
        EXPECT_FALSE(vakotest::FileExists(kDumpDir));
        return;
    }
    EXPECT_EQ(vakotest::ListDir(kDumpDir),
              (std::vector<std::string>{"download.sql", "photo.sql", "roundcubemail.sql", "surveillance.sql"}));
    for (const std::string &db : kDumped)
        EXPECT_EQ(pg::MaskRestrictKey(ReadFile(kDumpDir + "/" + db + ".sql")), pg::Dump(db)) << db;
}

// Installed builds up to 867 drop the media server's database, up to 882
// dump four databases; newer builds leave the service alone.
INSTANTIATE_TEST_SUITE_P(Builds, MediaDatabaseUpdate,
                         testing::Values(Row{"Build867", "867", kStart + kDrop + kDumps + kIndex, true, true},
                                         Row{"Build882", "882", kStart + kDumps + kIndex, false, true},
                                         Row{"Build883", "883", "", false, false}),
                         [](const testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

} // namespace
