// Every writer of the updater that puts a file in place, through the test
// kit's writer table: on the disk before it is in place, and nothing
// changed nor left behind when a sync, a write or a rename fails.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>

#include <filesystem>
#include <string>
#include <vector>

#include "flash.h"
#include "migrate.h"
#include "vakotest/accounts.h"
#include "vakotest/files.h"
#include "vakotest/logs.h"
#include "vakotest/paths.h"
#include "vakotest/writers.h"

namespace {

using vakotest::WriteFile;
using vakotest::WriterCase;

// A migration step that only logs its failures: it reports success when it
// logged no error.
template <void (*Step)()> bool LogsNoError()
{
    vakotest::SyslogClear();
    Step();
    return vakotest::SyslogCount("{*}", LOG_ERR) == 0 && vakotest::SyslogCount("{*}", LOG_WARNING) == 0;
}

// The package directory with the dumps of two partitions.
const std::string kPackage = "/tmp/pkg";
std::vector<VAKOFISENTRY> gDumped;

void Dumps()
{
    std::filesystem::remove_all(kPackage);
    snprintf(gszUpdateDir, sizeof gszUpdateDir, "%s", kPackage.c_str());
    gDumped.clear();
    for (const char *name : {"RedBoot", "zImage"}) {
        WriteFile(kPackage + "/" UPDT_BACKUP_DIR "/mtd_" + name, std::string(4096, 'd'));
        VAKOFISENTRY e;
        memset(&e, 0, sizeof e);
        memcpy(e.name, name, strlen(name));
        gDumped.push_back(e);
    }
}

const std::vector<WriterCase> kWriters = {
    {"rsync secrets converted",
     {vakotest::kRsyncdSecrets},
     [] { WriteFile(vakotest::kRsyncdSecrets, "root:abcdefghijklm|QUJD\nrsync:nopqrstuvwxyz|secret\n", 0640); },
     LogsNoError<CheckAndUpdateRsyncdSecrets>},
    {"FTP write-only flag converted",
     {vakotest::kSmbConf},
     [] {
         WriteFile(vakotest::kSmbConf, "[global]\n\tworkgroup=x\n[pub]\n\tpath=/volume1/pub\n\tftp write only=yes\n",
                   0644);
     },
     [] { return ConvertFTPWriteOnlyFlag() == 0; }},
    {"passwd homes moved",
     {vakotest::kPasswdFile},
     [] {
         WriteFile(vakotest::kPasswdFile, "root:x:0:0:root:/root:/bin/sh\nalice:x:1026:100:Alice:/home/alice:/bin/sh\n",
                   0644);
     },
     [] { return UPDTRewritePasswdHomes() == 0; }},
    {"user conf made",
     {vakotest::kVakoUserConf},
     [] {
         vakotest::WriteAccountFiles(vakotest::MadeUpAccounts(3, 1026));
         WriteFile(vakotest::kInfoFile, "download_enabled=\"yes\"\n");
     },
     [] { return UPDTCreateUserConf() == 0; }},
    // The mark names the dumps only once it is whole and its name is on the
    // disk.
    {"backup mark",
     {kPackage + "/" UPDT_BACKUP_MARK},
     Dumps,
     [] { return UPDTMarkBackup(gDumped.data(), static_cast<int>(gDumped.size()), 0) == 0; },
     true,
     true},
};

class UpdaterWriters : public testing::TestWithParam<WriterCase> {};

TEST_P(UpdaterWriters, SyncedBeforeInPlaceAndUnchangedOnFailure) { vakotest::RunWriter(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Table, UpdaterWriters, testing::ValuesIn(kWriters), vakotest::WriterRowName);

} // namespace
