// Whole updates from installed build 200 over smb.conf as years-old
// appliances hold it: the migrations read the shares (the share database is
// built of the file) and rewrite the file's old FTP option, and the update
// ends 0 with every other byte of smb.conf as it was.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "vakotest/accounts.h"
#include "vakotest/chips.h"
#include "vakotest/files.h"
#include "vakotest/fixture.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/pgsql.h"
#include "vakotest/run.h"
#include "vakotest/smbconf_shapes.h"

namespace {

// The accounts and groups the shapes name.
const vakotest::AccountFiles kAccounts = {
    "root:x:0:0:root:/root:/bin/sh\n"
    "admin:x:1024:100:System default user:/home/admin:/bin/sh\n"
    "alice:x:1026:100:Alice:/home/alice:/bin/sh\n"
    "bob:x:1027:100:Bob:/home/bob:/bin/sh\n",
    "root:*:15000:0:99999:7:::\n"
    "admin:*:15000:0:99999:7:::\n"
    "alice:*:15000:0:99999:7:::\n"
    "bob:*:15000:0:99999:7:::\n",
    "",
    "",
};
const vakotest::GroupFiles kGroups = {"root:x:0:\nusers:x:100:\nstaff:x:65536:alice,bob\n",
                                      "users:All local users\nstaff:Staff\n"};

struct Row {
    const char *name;
    std::string before, after;
};
void PrintTo(const Row &r, std::ostream *os) { *os << r.name; }

// The one line the migrations change: the old FTP option, on.
std::string WithFtpWriteOnly(const std::string &line)
{
    return "[global]\r\n\tworkgroup=WORKGROUP\r\n[data]\r\n\tpath=/volume1/data\r\n" + line + "\twrite list = bob\r\n";
}

std::vector<Row> Rows()
{
    using namespace smbconf;
    return {
        {"PrivateShares", PrivateShares(), PrivateShares()},
        {"ShareComments", ShareComments(), ShareComments()},
        {"OddNames", OddNames(), OddNames()},
        {"OddPaths", OddPaths(), OddPaths()},
        {"UnknownKeys", UnknownKeys(), UnknownKeys()},
        {"Crlf", Crlf(), Crlf()},
        {"NoFinalLineFeed", NoFinalLineFeed(), NoFinalLineFeed()},
        {"LongLines", LongLines(), LongLines()},
        {"ReservedSections", ReservedSections(), ReservedSections()},
        {"ManyShares", ManyShares(5000), ManyShares(5000)},
        {"FtpWriteOnlyInCrlf", WithFtpWriteOnly("\tftp write only = yes\r\n"),
         WithFtpWriteOnly("\tftp disable list=yes\n\tftp disable modify=yes\n\tftp disable download=yes\n")},
    };
}

class ShareFilesUpdate : public testing::TestWithParam<Row> {
protected:
    void TearDown() override { vakotest::pgsql::Service("stop"); }
};

TEST_P(ShareFilesUpdate, EndsWithSmbConfAsItWas)
{
    vakotest::Appliance appliance;
    appliance.version.Set("buildnumber", "200");
    appliance.flash = vakotest::LayoutFlash(vakotest::Layout::Normal);
    appliance.files[vakotest::kSmbConf] = GetParam().before;
    vakotest::Install(appliance);
    vakotest::WriteAccountFiles(kAccounts);
    vakotest::WriteGroupFiles(kGroups);
    vakotest::Package package;
    package.images["zImage"] = std::string(0x30000, 'z');
    vakotest::Install(package);
    vakotest::SyslogClear();

    // Installed builds up to 350 ask for a fresh boot: the clock starts at 10 s.
    vakotest::RunResult r = vakotest::Run({package.UpdaterPath()}, {.cwd = "/", .uptime = 10});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(vakotest::SyslogHas("Congratulation!! The update has been completed!!"));
    const std::string now = vakotest::ReadFile(vakotest::kSmbConf);
    EXPECT_TRUE(now == GetParam().after) << now.substr(0, 2000);
}

INSTANTIATE_TEST_SUITE_P(Shapes, ShareFilesUpdate, testing::ValuesIn(Rows()),
                         [](const testing::TestParamInfo<Row> &i) { return std::string(i.param.name); });

} // namespace
