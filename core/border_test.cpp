// The C border of the core library, through the test kit's border table:
// each entry that reaches the standard library's allocator, with each of
// its allocations failing in turn.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "slib/codepage.h"
#include "slib/conf_read.h"
#include "slib/conf_write.h"
#include "slib/error.h"
#include "slib/lock.h"
#include "slib/smb_hash.h"
#include "vakotest/border.h"
#include "vakotest/files.h"
#include "vakotest/paths.h"
#include "vakotest/szblocks.h"

namespace {

using vakotest::BorderCase;
using vakotest::SzHash;
using vakotest::WriteFile;

// The lines are longer than a string holds without the heap.
constexpr char kConf[] = "/tmp/border/test.conf";
constexpr char kConfText[] = "# a comment line long enough to be on the heap\n"
                             "[s]\n"
                             "alpha=a value long enough to be on the heap\n"
                             "beta=another value long enough for the heap\n"
                             "[t]\n"
                             "gamma=a third value long enough for the heap\n";
constexpr char kLongValue[] = "a value long enough to be on the heap too";
constexpr char kOut[] = "/tmp/border/out.conf";

void WriteConf() { WriteFile(kConf, kConfText, 0640); }

// A reader or writer of the test file.
BorderCase Conf(const char *name, std::function<long long()> call, bool writes, long long failure = -1)
{
    return {name, WriteConf, std::move(call), failure,
            writes ? std::vector<std::string>{kConf} : std::vector<std::string>{}};
}

// The code page setting, after a line of its own long enough for the heap.
void WriteCodePage()
{
    WriteFile(SZF_SLIB_CODEPAGE_CONF, "# the code page of the file names and the passwords\ncodepage=enu\n");
}

// A lock file that is a directory with a file in it: what another account
// could have made there, which the lock table removes and makes anew.
const std::string kLockFile = std::string(vakotest::kLockDir) + "/lock_pw";
void PlantLockDirectory()
{
    std::filesystem::remove_all(kLockFile);
    vakotest::MakeDirs(kLockFile + "/inside");
}

// The flocks this process holds.
int FlocksHeld()
{
    int n = 0;
    const std::string pid = " " + std::to_string(getpid()) + " ";
    std::string locks = vakotest::ReadFile("/proc/locks");
    for (size_t at = 0; at < locks.size();) {
        size_t end = locks.find('\n', at);
        std::string line = locks.substr(at, end - at);
        if (line.find("FLOCK") != std::string::npos && line.find(pid) != std::string::npos)
            n++;
        at = end == std::string::npos ? locks.size() : end + 1;
    }
    return n;
}

const std::vector<BorderCase> kRows = {
    Conf(
        "SLIBFileGetKeyValue",
        [] {
            char buf[64];
            return SLIBFileGetKeyValue(kConf, "alpha", buf, sizeof buf, 0);
        },
        false),
    Conf(
        "SLIBFileCheckKeyValue",
        [] { return SLIBFileCheckKeyValue(kConf, "alpha", "a value long enough to be on the heap", 0); }, false, 0),
    Conf(
        "SLIBFileGetKeys",
        [] {
            SzHash got;
            return SLIBFileGetKeys(kConf, nullptr, &got.h, "=");
        },
        false),
    Conf(
        "SLIBFileGetSection",
        [] {
            SzHash got;
            return SLIBFileGetSection(kConf, "s", &got.h);
        },
        false),
    {"SLIBConfCodePageGet", WriteCodePage,
     [] {
         int index;
         return SLIBConfCodePageGet(SLIB_CODEPAGE_WINDOWS, &index);
     },
     -1},
    {"SLIBEncodingSmbLmHash", WriteCodePage,
     [] {
         unsigned char hash[SLIB_SMB_HASH_SIZE];
         return SLIBEncodingSmbLmHash("password", hash, sizeof hash);
     },
     -1},
    {"SLIBFileHash2File", [] { vakotest::MakeDirs("/tmp/border"); },
     [] {
         SzHash pairs{{"alpha", kLongValue}, {"beta", kLongValue}};
         FILE *fp = fopen(kOut, "w");
         int r = SLIBFileHash2File(fp, "s", pairs.h, nullptr);
         fclose(fp);
         return r;
     },
     -1},
    Conf(
        "SLIBFileSetKeyValue", [] { return SLIBFileSetKeyValue(kConf, "beta", kLongValue, nullptr); }, true),
    Conf(
        "SLIBFileSetKeys",
        [] {
            SzHash set{{"alpha", kLongValue}, {"delta", kLongValue}};
            return SLIBFileSetKeys(kConf, set.h, nullptr, nullptr);
        },
        true),
    Conf(
        "SLIBFileRemoveKey", [] { return SLIBFileRemoveKey(kConf, "beta"); }, true),
    Conf(
        "SLIBFileSetLine", [] { return SLIBFileSetLine(kConf, "beta", "beta=a line long enough for the heap", 0); },
        true),
    Conf(
        "SLIBFileAddLine", [] { return SLIBFileAddLine(kConf, "beta", "delta=a line long enough for the heap", 0); },
        true),
    Conf(
        "SLIBFileReplaceSubStr", [] { return SLIBFileReplaceSubStr(kConf, "long enough", "just long enough"); }, true),
    Conf(
        "ErrSLIBFileAddSection",
        [] {
            SzHash pairs{{"delta", kLongValue}, {"epsilon", kLongValue}};
            return ErrSLIBFileAddSection(kConf, "u", pairs.h, nullptr);
        },
        true),
    Conf(
        "ErrSLIBFileSetSection",
        [] {
            SzHash pairs{{"delta", kLongValue}};
            return ErrSLIBFileSetSection(kConf, "s", "s2", pairs.h, nullptr);
        },
        true),
    Conf(
        "SLIBFileModifySection", [] { return SLIBFileModifySection(kConf, "t", nullptr, nullptr, 0, nullptr); }, true),
    {"SLIBFileLockCheckDir", PlantLockDirectory, [] { return SLIBFileLockCheckDir(); }, -1, {kLockFile}},
    {"ErrSLIBFileLock",
     PlantLockDirectory,
     [] { return ErrSLIBFileLock(SLIB_LOCK_PW | SLIB_LOCK_EX, 0); },
     -1,
     {kLockFile},
     [] {
         // Held only after a lock that succeeded.
         ErrSLIBFileUnlock(SLIB_LOCK_PW);
         EXPECT_EQ(FlocksHeld(), 0) << "a lock file stays locked";
     }},
};

class Border : public testing::TestWithParam<BorderCase> {};

TEST_P(Border, EachAllocationFailsAsTheContractSays) { vakotest::RunBorder(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Core, Border, testing::ValuesIn(kRows), vakotest::BorderRowName);

// The exports that cannot reach the standard library's allocator: C over
// the caller's buffers, the library's own malloc blocks and the C library.
const std::set<std::string> kNoAllocation = {
    // The error record, its backtrace and its log file.
    "SLIBErrorSetEx", "SLIBErrorSet", "SLIBErrorGet", "SLIBErrorGetFile", "SLIBErrorGetLine", "SLIBErrorBacktraceFree",
    "SLIBErrorBacktracePrint", "SLIBErrorBacktraceLog", "SLIBErrorLogReset", "SLIBErrorLogSet",
    // The string lists and maps: blocks of their own.
    "PslSLIBSzListAlloc", "PslSLIBSzListOr", "SLIBSzListBinarySearch", "SLIBSzListCaseFind", "SLIBSzListCheck",
    "SLIBSzListCompact", "SLIBSzListExpand", "SLIBSzListFind", "SLIBSzListFree", "SLIBSzListGet", "SLIBSzListInsert",
    "SLIBSzListInsertHead", "SLIBSzListPush", "SLIBSzListRemoveAll", "SLIBSzListSet", "SLIBSzListSort",
    "SzSLIBSzListRemove", "SzSLIBSzListRemoveHead", "SzSLIBSzListRemoveTail", "SLIBSzHashAlloc", "SLIBSzHashAllocator",
    "SLIBSzHashEnumKey", "SLIBSzHashFree", "SLIBSzHashRemoveAll", "SLIBSzHashSetValue", "SLIBSzHashSlotKey",
    "SLIBSzHashSlotValue", "SzSLIBSzHashGetValue", "SzSLIBSzHashRemoveKey",
    // Strings, base64 and the NT hash, in the caller's buffers.
    "SLIBMemRealloc", "SLIBStrDecodeColon", "SLIBStrEncodeColon", "SLIBStrJoin", "SLIBStrReplace", "SLIBStrSep",
    "SLIBStrSepPair", "SLIBStrSepSkipEmpty", "SLIBStrTok", "SLIBStrTrimSpace", "Base64Decode", "SzBase64EncodeOneLine",
    "SLIBEncodingSmbMd4Hash",
    // Unicode and code pages: ICU's C interface.
    "SLIBUnicodeGetLocale", "SLIBUnicodeSetLocale", "SLIBUnicodeOpenCollator", "SLIBUnicodeOpenConvertor",
    "SLIBUnicodeUTF16StrUpper", "SLIBUnicodeUTF8StrCaseCmp", "SLIBUnicodeUTF8StrCountChar", "SLIBUnicodeUTF8StrUpper",
    "SLIBUnicodeStrUTF8ToCP", "SLIBUnicodeCodepageValueParse", "UnicodeAlwaysTrue", "StubReturnOne",
    // Lines of a configuration file read one at a time, with getline.
    "SLIBFileGetLine", "SLIBFileIsSectionLine", "SLIBFileLineKeyMatch", "SLIBFileLineMatch", "SLIBFileMatchSection",
    "FileHashLineFormatCheck", "SLIBFileRemove",
    // The lock table's release, processes and their pid files.
    "ErrSLIBFileUnlock", "SLIBFileLockCloseAll", "SLIBProcExec", "SLIBProcPidFileRead"};

TEST(BorderCoverage, EveryExportIsARowOrCannotAllocate)
{
    vakotest::CheckBorderCoverage(reinterpret_cast<const void *>(&SLIBErrorGet), kRows, kNoAllocation);
}

} // namespace
