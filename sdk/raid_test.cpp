#include "vako/raid.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <linux/magic.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <syslog.h>

#include <array>
#include <string>
#include <vector>

#include "slib/error.h"
#include "vakotest/kstub.h"
#include "vakotest/files.h"
#include "vakotest/logs.h"

namespace {

namespace kstub = vakotest::kstub;

// The md driver's member directories are fixture files on a tmpfs over
// /sys/block (the test is root in a mount namespace of its own).
void MaskSysBlock()
{
    struct statfs fs;
    if (statfs("/sys/block", &fs) == 0 && fs.f_type == TMPFS_MAGIC)
        return;
    ASSERT_EQ(mount("tmpfs", "/sys/block", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755"), 0) << strerror(errno);
}

std::string MemberDir(int md, const std::string &name)
{
    return "/sys/block/md" + std::to_string(md) + "/md/dev-" + name;
}

// A member directory with its state (and slot) lines; empty: no file.
void AddMember(int md, const std::string &name, const std::string &state, const std::string &slot = "")
{
    MaskSysBlock();
    std::string dir = MemberDir(md, name);
    if (!state.empty())
        vakotest::WriteFile(dir + "/state", state);
    else
        vakotest::MakeDirs(dir);
    if (!slot.empty())
        vakotest::WriteFile(dir + "/slot", slot);
}

std::vector<std::pair<std::string, int>> Members(const VAKORAIDDISK *p)
{
    std::vector<std::pair<std::string, int>> v;
    for (; p; p = p->pNext)
        v.emplace_back(p->szPath, p->status);
    return v;
}

using MemberList = std::vector<std::pair<std::string, int>>;

// The code recorded, and the source name of the operation that recorded it.
void ExpectCode(int code, const char *file)
{
    EXPECT_EQ(SLIBErrorGet(), code);
    EXPECT_STREQ(SLIBErrorGetFile(), file);
}

// --- member records ---

TEST(RaidDisk, StateWords)
{
    struct Case {
        const char *state;
        const char *slot;
        int status;
    } cases[] = {
        {"in_sync\n", "", VAKO_RAID_DISK_IN_SYNC},
        {"faulty\n", "", VAKO_RAID_DISK_FAULTY},
        {"faulty,write_error\n", "", VAKO_RAID_DISK_FAULTY},
        {"in_sync,write_error\n", "", VAKO_RAID_DISK_ERROR},
        {"spare\n", "none\n", VAKO_RAID_DISK_SPARE_NONE},
        {"spare\n", "1\n", VAKO_RAID_DISK_SPARE},
        {"write_mostly\n", "", VAKO_RAID_DISK_IN_SYNC},
        {"in_sync,spare\n", "", VAKO_RAID_DISK_IN_SYNC},
        // Only the first 31 bytes of the line are read.
        {"write_mostly,blocked,want_replfaulty\n", "", VAKO_RAID_DISK_IN_SYNC},
    };
    int i = 0;
    for (const Case &c : cases) {
        std::string name = "sd" + std::string(1, static_cast<char>('a' + i++)) + "3";
        AddMember(0, name, c.state, c.slot);
        VAKORAIDDISK *pDisk = nullptr;
        ASSERT_EQ(VAKORaidDiskCreate(MemberDir(0, name).c_str(), &pDisk), 0) << c.state;
        EXPECT_STREQ(pDisk->szPath, ("/dev/" + name).c_str());
        EXPECT_EQ(pDisk->status, c.status) << c.state;
        EXPECT_EQ(pDisk->pNext, nullptr);
        RaidDiskListFree(pDisk);
    }
}

TEST(RaidDisk, UnreadableMemberFiles)
{
    struct Case {
        const char *name;
        const char *state; // NULL: no state file
        const char *slot;  // NULL: no slot file
        int code;
    } cases[] = {
        {"sda1", nullptr, nullptr, SLIB_ERR_OPEN},
        {"sdb1", "", nullptr, SLIB_ERR_READ}, // empty: no line
        {"sdc1", "spare\n", nullptr, SLIB_ERR_OPEN},
    };
    MaskSysBlock();
    for (const Case &c : cases) {
        std::string dir = MemberDir(1, c.name);
        vakotest::MakeDirs(dir);
        if (c.state)
            vakotest::WriteFile(dir + "/state", c.state);
        SLIBErrorSet(0);
        VAKORAIDDISK *pDisk = reinterpret_cast<VAKORAIDDISK *>(0x1);
        EXPECT_EQ(VAKORaidDiskCreate(dir.c_str(), &pDisk), -1) << c.name;
        EXPECT_EQ(pDisk, reinterpret_cast<VAKORAIDDISK *>(0x1));
        SCOPED_TRACE(c.name);
        ExpectCode(c.code, "raid_disk_create");
    }
}

TEST(RaidDisk, DirectoryWithoutAUsableName)
{
    MaskSysBlock();
    vakotest::WriteFile("/sys/block/md0/md/rd0/state", "in_sync\n");
    VAKORAIDDISK *pDisk = nullptr;
    SLIBErrorSet(0);
    EXPECT_EQ(VAKORaidDiskCreate("/sys/block/md0/md/rd0", &pDisk), -1);
    ExpectCode(VAKO_ERR_RAID_MEMBER, "raid_disk_create");
    // 31 bytes is the longest disk name the kernel gives; a longer one is refused.
    std::string name31(31, 'x'), name32(32, 'x');
    AddMember(0, name31, "in_sync\n");
    AddMember(0, name32, "in_sync\n");
    ASSERT_EQ(VAKORaidDiskCreate(MemberDir(0, name31).c_str(), &pDisk), 0);
    EXPECT_EQ(std::string(pDisk->szPath), "/dev/" + name31);
    RaidDiskListFree(pDisk);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKORaidDiskCreate(MemberDir(0, name32).c_str(), &pDisk), -1);
    EXPECT_EQ(SLIBErrorGet(), VAKO_ERR_RAID_MEMBER);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKORaidDiskCreate(nullptr, &pDisk), -1);
    ExpectCode(SLIB_ERR_BAD_PARAMETER, "raid_disk_create");
}

TEST(RaidDisk, FirstLineOfAFile)
{
    vakotest::WriteFile("/tmp/line", "in_sync\nsecond\n");
    char buf[32];
    ASSERT_EQ(RaidDiskFileLineRead("/tmp/line", buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "in_sync\n");
    ASSERT_EQ(RaidDiskFileLineRead("/tmp/line", buf, 4), 0);
    EXPECT_STREQ(buf, "in_");
    for (int cb : {0, -1}) {
        SLIBErrorSet(0);
        EXPECT_EQ(RaidDiskFileLineRead("/tmp/line", buf, cb), -1);
        EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_BAD_PARAMETER);
    }
    SLIBErrorSet(0);
    EXPECT_EQ(RaidDiskFileLineRead(nullptr, buf, 32), -1);
    ExpectCode(SLIB_ERR_BAD_PARAMETER, "raid_disk_create"); // the reader is private to the member record
}

// --- member list ---

TEST(RaidDiskList, HeadIsTheMemberThatSortsLast)
{
    AddMember(0, "sda1", "in_sync\n");
    AddMember(0, "sdc1", "spare\n", "none\n");
    AddMember(0, "sdb1", "faulty\n");
    AddMember(2, "sdd1", "in_sync\n"); // another array
    VAKORAIDDISK *pList = nullptr;
    ASSERT_EQ(VAKORaidDiskListGet("/dev/md0", &pList), 0);
    EXPECT_EQ(Members(pList), (MemberList{{"/dev/sdc1", 4}, {"/dev/sdb1", 1}, {"/dev/sda1", 0}}));
    RaidDiskListFree(pList);
}

TEST(RaidDiskList, NoMembersLeavesTheListAsSet)
{
    MaskSysBlock();
    VAKORAIDDISK *pList = nullptr;
    EXPECT_EQ(VAKORaidDiskListGet("/dev/md4", &pList), 0);
    EXPECT_EQ(pList, nullptr);
}

TEST(RaidDiskList, AFailingMemberFailsTheList)
{
    AddMember(0, "sda1", "in_sync\n");
    AddMember(0, "sdb1", "");
    VAKORAIDDISK *pList = nullptr;
    SLIBErrorSet(0);
    EXPECT_EQ(VAKORaidDiskListGet("/dev/md0", &pList), -1);
    EXPECT_EQ(pList, nullptr);
    ExpectCode(SLIB_ERR_OPEN, "raid_disk_create");
}

TEST(RaidDiskList, PathsThatAreNoArray)
{
    VAKORAIDDISK *pList = nullptr;
    for (const char *path : {"/dev/md", "/dev/hda1", "md0", ""}) {
        SLIBErrorSet(0);
        SCOPED_TRACE(path);
        EXPECT_EQ(VAKORaidDiskListGet(path, &pList), -1);
        ExpectCode(VAKO_ERR_RAID_PATH, "raid_disk_list_get");
    }
    SLIBErrorSet(0);
    EXPECT_EQ(VAKORaidDiskListGet(nullptr, &pList), -1);
    ExpectCode(SLIB_ERR_BAD_PARAMETER, "raid_disk_list_get");
}

TEST(RaidDiskList, PushLinksAtTheHead)
{
    VAKORAIDDISK *a = static_cast<VAKORAIDDISK *>(calloc(1, sizeof(VAKORAIDDISK)));
    VAKORAIDDISK *b = static_cast<VAKORAIDDISK *>(calloc(1, sizeof(VAKORAIDDISK)));
    VAKORAIDDISK *pList = nullptr;
    VAKORaidDiskListPush(&pList, a);
    VAKORaidDiskListPush(&pList, b);
    EXPECT_EQ(pList, b);
    EXPECT_EQ(b->pNext, a);
    EXPECT_EQ(a->pNext, nullptr);
    SLIBErrorSet(0);
    VAKORaidDiskListPush(&pList, nullptr);
    EXPECT_EQ(pList, b);
    ExpectCode(SLIB_ERR_OUT_OF_MEMORY, "raid_disk_list_push");
    SLIBErrorSet(0);
    VAKORaidDiskListPush(nullptr, a);
    EXPECT_EQ(SLIBErrorGet(), SLIB_ERR_OUT_OF_MEMORY);
    RaidDiskListFree(pList);
    RaidDiskListFree(nullptr);
}

// --- status decision ---

TEST(RaidStatus, Decision)
{
    struct Case {
        int level, raidDisks;
        std::vector<int> members;
        int status;
    } cases[] = {
        {1, 2, {0, 0}, VAKO_RAID_NORMAL},
        {1, 2, {0, 1}, VAKO_RAID_DEGRADED},
        {1, 3, {0, 1, 1}, VAKO_RAID_DEGRADED},
        {1, 2, {1, 1}, VAKO_RAID_CRASHED},
        {5, 3, {0, 0}, VAKO_RAID_DEGRADED},
        {5, 3, {0, 0, 4}, VAKO_RAID_DEGRADED},
        {5, 3, {0}, VAKO_RAID_CRASHED},
        {6, 4, {0, 0}, VAKO_RAID_DEGRADED},
        {6, 4, {0}, VAKO_RAID_CRASHED},
        {5, 3, {0, 0, 0, 2}, VAKO_RAID_CRASHED},
        {1, 2, {0, 0, 2}, VAKO_RAID_CRASHED},
        {0, 2, {0, 3}, VAKO_RAID_CRASHED},
        {-1, 2, {0, 1}, VAKO_RAID_CRASHED},
        {0, 2, {0, 0}, VAKO_RAID_NORMAL},
        {10, 4, {0, 0, 0}, VAKO_RAID_CRASHED},
        {10, 4, {0, 0, 0, 0}, VAKO_RAID_NORMAL},
        {1, 2, {}, VAKO_RAID_CRASHED},
        // Slot counts at the ends of the kernel's word: no overflow.
        {1, INT_MIN, {0}, VAKO_RAID_NORMAL},
        {0, INT_MIN + 1, {0, 0}, VAKO_RAID_NORMAL},
        {1, INT_MAX, {0}, VAKO_RAID_DEGRADED},
        {1, INT_MAX, {1}, VAKO_RAID_CRASHED},
        {5, INT_MAX, {0, 0}, VAKO_RAID_CRASHED},
    };
    for (const Case &c : cases) {
        std::vector<VAKORAIDDISK> disks(c.members.size());
        for (size_t i = 0; i < disks.size(); ++i) {
            disks[i] = {};
            disks[i].status = c.members[i];
            disks[i].pNext = i + 1 < disks.size() ? &disks[i + 1] : nullptr;
        }
        mdu_array_info_t info;
        memset(&info, 0, sizeof(info));
        info.level = c.level;
        info.raid_disks = c.raidDisks;
        int status = -7;
        ASSERT_EQ(VAKORaidDecideStatus(&info, disks.empty() ? nullptr : disks.data(), &status), 0);
        EXPECT_EQ(status, c.status) << "level " << c.level << " slots " << c.raidDisks << " members "
                                    << c.members.size();
    }
    int status;
    SLIBErrorSet(0);
    EXPECT_EQ(VAKORaidDecideStatus(nullptr, nullptr, &status), -1);
    ExpectCode(SLIB_ERR_BAD_PARAMETER, "raid_decide_status");
}

// --- the whole record, with the md ioctls answered by the kernel stand-in ---

kstub::MdArray Md(const std::string &dev, int level, int componentKB, int raidDisks, uint64_t bytes,
                  std::array<uint32_t, 3> sync = {0, 0, 0})
{
    kstub::MdArray m;
    m.device = dev;
    m.level = level;
    m.componentKB = componentKB;
    m.raidDisks = raidDisks;
    m.nrDisks = raidDisks;
    m.deviceBytes = bytes;
    m.sync = sync;
    return m;
}

void InstallArrays(const std::vector<kstub::MdArray> &md)
{
    kstub::Install(kstub::kSandboxDir, kstub::Chip{.size = 65536, .eraseSize = 65536}, kstub::KernelCalls{}, md);
}

TEST(RaidInfo, DegradedMirror)
{
    InstallArrays({Md("/dev/md0", 1, 976762496, 2, 1000204795904ull, {5, 100, 900})});
    AddMember(0, "sda3", "in_sync\n");
    AddMember(0, "sdb3", "faulty\n");
    PVAKORAIDINFO pInfo = nullptr;
    ASSERT_EQ(VAKORaidInfoGet("/dev/md0", &pInfo), 1);
    EXPECT_EQ(pInfo->mdIndex, 0);
    EXPECT_STREQ(pInfo->szPath, "/dev/md0");
    EXPECT_EQ(pInfo->raidType, VAKO_RAID_1);
    EXPECT_EQ(pInfo->status, VAKO_RAID_DEGRADED);
    EXPECT_EQ(pInfo->deviceBytes, 1000204795904ull);
    EXPECT_EQ(pInfo->componentBytes, 976762496ll * 1024);
    EXPECT_EQ(pInfo->raidDisks, 2);
    EXPECT_EQ(pInfo->syncStatus[0], 1u);
    EXPECT_EQ(pInfo->syncStatus[1], 100u);
    EXPECT_EQ(pInfo->syncStatus[2], 900u);
    EXPECT_EQ(Members(pInfo->pDiskList), (MemberList{{"/dev/sdb3", 1}, {"/dev/sda3", 0}}));
    EXPECT_EQ(pInfo->firstDisk, -1); // a digit follows the letter
    VAKORaidInfoFree(pInfo);
}

TEST(RaidInfo, LevelsSyncWordsAndFirstDisk)
{
    struct Case {
        int level;
        std::array<uint32_t, 3> sync;
        int raidType;
        std::array<uint32_t, 3> syncStatus;
    } cases[] = {
        {-1, {0, 3, 4}, VAKO_RAID_LINEAR, {0, 0, 0}},   {0, {5, 0, 7}, VAKO_RAID_0, {2, 0, 0}},
        {5, {5, 100, 900}, VAKO_RAID_5, {1, 100, 900}}, {6, {0, 0, 0}, VAKO_RAID_6, {0, 0, 0}},
        {10, {0, 0, 0}, VAKO_RAID_OTHER, {0, 0, 0}},
    };
    AddMember(3, "sdab", "in_sync\n");
    AddMember(3, "sdaa", "in_sync\n");
    for (const Case &c : cases) {
        InstallArrays({Md("/dev/md3", c.level, -1, 2, 4096, c.sync)});
        PVAKORAIDINFO pInfo = nullptr;
        ASSERT_EQ(VAKORaidInfoGet("/dev/md3", &pInfo), 1) << c.level;
        EXPECT_EQ(pInfo->mdIndex, 3);
        EXPECT_EQ(pInfo->raidType, c.raidType) << c.level;
        EXPECT_EQ(pInfo->componentBytes, -1024); // the size word is signed
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(pInfo->syncStatus[i], c.syncStatus[i]) << c.level << " word " << i;
        EXPECT_EQ(pInfo->firstDisk, 0); // head /dev/sdab
        VAKORaidInfoFree(pInfo);
    }
}

// A diagnostic of the RAID operations: at LOG_DEBUG, behind the source
// name of the operation that logged it and its line.
bool DebugLogged(const std::string &source, const std::string &pattern)
{
    return vakotest::SyslogMatches(source + ":{L} " + pattern, LOG_DEBUG);
}

TEST(RaidInfo, DiagnosticsAtDebugLevel)
{
    InstallArrays({Md("/dev/md0", 10, 1024, 4, 1 << 20)});
    AddMember(0, "sda1", "in_sync\n");
    vakotest::SyslogClear();
    PVAKORAIDINFO pInfo = nullptr;
    ASSERT_EQ(VAKORaidInfoGet("/dev/md0", &pInfo), 1);
    EXPECT_EQ(pInfo->raidType, VAKO_RAID_OTHER);
    EXPECT_EQ(pInfo->status, VAKO_RAID_CRASHED); // level 10 tolerates no missing member
    VAKORaidInfoFree(pInfo);
    EXPECT_TRUE(DebugLogged("raid_info_get", "Not supported RAID level: 10"));
    EXPECT_EQ(VAKORaidInfoGet("/dev/hda1", &pInfo), -1);
    EXPECT_TRUE(DebugLogged("raid_info_get", "invalide path /dev/hda1, errno={*}"));
    AddMember(0, "sdb1", "");
    EXPECT_EQ(VAKORaidInfoGet("/dev/md0", &pInfo), -1);
    EXPECT_TRUE(DebugLogged("raid_disk_create",
                            "Failed to fopen /sys/block/md0/md/dev-sdb1/state, errno=No such file or directory"));
    EXPECT_TRUE(
        DebugLogged("raid_disk_create", "Failed to get status from /sys/block/md0/md/dev-sdb1/state, errno=0X900"));
    EXPECT_TRUE(DebugLogged("raid_disk_create", "Failed to get status from /sys/block/md0/md/dev-sdb1, errno=0X900"));
    EXPECT_TRUE(
        DebugLogged("raid_disk_list_get", "Failed to create disk info from /sys/block/md0/md/dev-sdb1 ,errno=0X900"));
    EXPECT_TRUE(DebugLogged("raid_info_get", "Failed to get disk list for /dev/md0, errno=0X900"));
}

TEST(RaidInfo, ArrayWithoutMembersIsCrashed)
{
    InstallArrays({Md("/dev/md0", 1, 1024, 2, 1 << 20)});
    MaskSysBlock();
    PVAKORAIDINFO pInfo = nullptr;
    ASSERT_EQ(VAKORaidInfoGet("/dev/md0", &pInfo), 1);
    EXPECT_EQ(pInfo->pDiskList, nullptr);
    EXPECT_EQ(pInfo->firstDisk, -1);
    EXPECT_EQ(pInfo->status, VAKO_RAID_CRASHED);
    VAKORaidInfoFree(pInfo);
}

TEST(RaidInfo, InactiveArrayGivesNoRecord)
{
    kstub::MdArray m = Md("/dev/md1", 1, 0, 0, 0);
    m.active = false;
    InstallArrays({m});
    AddMember(1, "sda1", "in_sync\n");
    PVAKORAIDINFO pInfo = reinterpret_cast<PVAKORAIDINFO>(0x1);
    SLIBErrorSet(0);
    EXPECT_EQ(VAKORaidInfoGet("/dev/md1", &pInfo), 0);
    EXPECT_EQ(pInfo, reinterpret_cast<PVAKORAIDINFO>(0x1));
    ExpectCode(VAKO_ERR_MD_INACTIVE, "raid_ioctl_info");
}

TEST(RaidInfo, Failures)
{
    InstallArrays({Md("/dev/md0", 1, 1024, 2, 1 << 20)});
    AddMember(0, "sda1", "in_sync\n");
    AddMember(0, "sdb1", ""); // no state file: the member list fails
    struct Case {
        const char *path;
        int code;
        const char *file;
    } cases[] = {
        {"/dev/md", VAKO_ERR_RAID_PATH, "raid_info_get"},
        {"/dev/hda1", VAKO_ERR_RAID_PATH, "raid_info_get"},
        {"/dev/md7", SLIB_ERR_OPEN, "raid_info_get"},    // no such device
        {"/dev/md0", SLIB_ERR_OPEN, "raid_disk_create"}, // the member's state file
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        PVAKORAIDINFO pInfo = reinterpret_cast<PVAKORAIDINFO>(0x1);
        SLIBErrorSet(0);
        EXPECT_EQ(VAKORaidInfoGet(c.path, &pInfo), -1);
        EXPECT_EQ(pInfo, reinterpret_cast<PVAKORAIDINFO>(0x1));
        ExpectCode(c.code, c.file);
    }
    SLIBErrorSet(0);
    EXPECT_EQ(VAKORaidInfoGet("/dev/md0", nullptr), -1);
    ExpectCode(SLIB_ERR_BAD_PARAMETER, "raid_info_get");
    VAKORaidInfoFree(nullptr);
}

TEST(RaidInfo, IoctlsOnAPlainFileFail)
{
    vakotest::WriteFile("/tmp/plain", "x");
    int fd = open("/tmp/plain", O_RDONLY);
    ASSERT_GE(fd, 0);
    mdu_array_info_t info;
    uint64_t bytes = 7;
    uint32_t sync[3];
    SLIBErrorSet(0);
    EXPECT_EQ(RaidIoctlInfo(fd, &info), -1);
    ExpectCode(VAKO_ERR_RAID_IOCTL, "raid_ioctl_info");
    SLIBErrorSet(0);
    EXPECT_EQ(RaidIoctlSize(fd, &bytes), -1);
    EXPECT_EQ(bytes, 0u);
    ExpectCode(VAKO_ERR_RAID_IOCTL, "raid_ioctl_size");
    SLIBErrorSet(0);
    EXPECT_EQ(RaidRebuildStatusGet(fd, sync), -1);
    ExpectCode(VAKO_ERR_RAID_IOCTL, "raid_rebuild_status_get");
    close(fd);
    SLIBErrorSet(0);
    EXPECT_EQ(RaidRebuildStatusGet(-1, sync), -1);
    ExpectCode(SLIB_ERR_BAD_PARAMETER, "raid_rebuild_status_get");
    SLIBErrorSet(0);
    EXPECT_EQ(RaidIoctlInfo(0, nullptr), -1);
    ExpectCode(SLIB_ERR_BAD_PARAMETER, "raid_ioctl_info");
    SLIBErrorSet(0);
    EXPECT_EQ(RaidIoctlSize(0, nullptr), -1);
    ExpectCode(SLIB_ERR_BAD_PARAMETER, "raid_ioctl_size");
}

} // namespace
