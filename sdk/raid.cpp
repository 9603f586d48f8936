// RAID arrays: one md array's level, sizes, members and status.
#include "vako/raid.h"

#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <syslog.h>
#include <unistd.h>

#include "slibcxx/border.h"
#include "slibcxx/raii.h"

#include <string>

#include "slib/error.h"
#include "vako/kernel.h"

namespace {

#define RAID_MD_PATH "/dev/md%d"
constexpr const char *kMdPathPattern = RAID_MD_PATH;
constexpr const char *kMemberGlob = "/sys/block/md%d/md/dev-*";
constexpr int kMemberFileRoom = 32;
constexpr int kMemberNameRoom = 32; // kernel disk names are at most 31 bytes

// The operations' own source names: log prefixes and the file recorded
// with an error code.  The line reader is private to the member record's
// source.
constexpr const char *kSrcInfoGet = "raid_info_get";
constexpr const char *kSrcDiskListGet = "raid_disk_list_get";
constexpr const char *kSrcDiskCreate = "raid_disk_create";
constexpr const char *kSrcDiskListPush = "raid_disk_list_push";
constexpr const char *kSrcDecideStatus = "raid_decide_status";
constexpr const char *kSrcIoctlInfo = "raid_ioctl_info";
constexpr const char *kSrcIoctlSize = "raid_ioctl_size";
constexpr const char *kSrcRebuildStatus = "raid_rebuild_status_get";

#define RAID_LOG(src, fmt, ...) syslog(LOG_DEBUG, "%s:%d " fmt, (src), __LINE__, ##__VA_ARGS__)
#define RAID_ERR(src, code)     SLIBErrorSetEx((code), (src), __LINE__)

using slib::Fd;

// The array number of "/dev/mdN"; false (logged, recorded) for any other path.
bool ParseMdPath(const char *szSrc, const char *szPath, int *pIndex)
{
    if (sscanf(szPath, kMdPathPattern, pIndex) == 1)
        return true;
    RAID_LOG(szSrc, "invalide path %s, errno=%m", szPath);
    RAID_ERR(szSrc, VAKO_ERR_RAID_PATH);
    return false;
}

// Records the code of a failed md ioctl: ENODEV means an inactive array.
void RecordIoctlFailure(const char *szSrc, int err)
{
    RAID_ERR(szSrc, err == ENODEV ? VAKO_ERR_MD_INACTIVE : VAKO_ERR_RAID_IOCTL);
}

int RaidTypeOf(int level)
{
    switch (level) {
    case -1:
        return VAKO_RAID_LINEAR;
    case 0:
        return VAKO_RAID_0;
    case 1:
        return VAKO_RAID_1;
    case 5:
        return VAKO_RAID_5;
    case 6:
        return VAKO_RAID_6;
    default:
        return VAKO_RAID_OTHER;
    }
}

// Members that may be missing before the array stops working. In 64 bits:
// raid_disks is whatever the kernel reports, down to INT_MIN.
int64_t ToleranceOf(const mdu_array_info_t &info)
{
    switch (info.level) {
    case 1:
        return int64_t{info.raid_disks} - 1;
    case 5:
        return 1;
    case 6:
        return 2;
    default:
        return 0;
    }
}

// The letter index of "/dev/sdXY" with two letters, else -1.
int FirstDiskOf(const VAKORAIDDISK *pHead)
{
    if (!pHead)
        return -1;
    const char *p = pHead->szPath;
    if (strncmp(p, "/dev/sd", 7) != 0)
        return -1;
    p += 7;
    auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (strlen(p) != 2 || !alpha(p[0]) || !alpha(p[1]))
        return -1;
    return p[0] - 'a';
}

// The member's state from its "state" (and for a spare its "slot") file.
int ReadMemberStatus(const std::string &dir, int *pStatus)
{
    std::string file = dir + "/state";
    char line[kMemberFileRoom];
    if (RaidDiskFileLineRead(file.c_str(), line, sizeof(line)) < 0) {
        RAID_LOG(kSrcDiskCreate, "Failed to get status from %s, errno=0X%X", file.c_str(), SLIBErrorGet());
        return -1;
    }
    if (strstr(line, "faulty")) {
        *pStatus = VAKO_RAID_DISK_FAULTY;
    } else if (strstr(line, "error")) {
        *pStatus = VAKO_RAID_DISK_ERROR;
    } else if (strstr(line, "in_sync")) {
        *pStatus = VAKO_RAID_DISK_IN_SYNC;
    } else if (strstr(line, "spare")) {
        file = dir + "/slot";
        if (RaidDiskFileLineRead(file.c_str(), line, sizeof(line)) < 0) {
            RAID_LOG(kSrcDiskCreate, "Failed to get status from %s, errno=0X%X", file.c_str(), SLIBErrorGet());
            return -1;
        }
        *pStatus = strstr(line, "none") ? VAKO_RAID_DISK_SPARE_NONE : VAKO_RAID_DISK_SPARE;
    } else {
        *pStatus = VAKO_RAID_DISK_IN_SYNC;
    }
    return 0;
}

// "/dev/<name>" from ".../dev-<name>".
int MemberPathOf(const char *szMemberDir, char *szPath, size_t cbPath)
{
    const char *p = strstr(szMemberDir, "dev-");
    if (!p) {
        RAID_LOG(kSrcDiskCreate, "Failed to strstr %s, errno=%m", szMemberDir);
        RAID_ERR(kSrcDiskCreate, VAKO_ERR_RAID_MEMBER);
        return -1;
    }
    p += 4;
    // A longer name is no disk of this kernel: refuse it rather than cut it.
    if (strlen(p) >= static_cast<size_t>(kMemberNameRoom)) {
        RAID_ERR(kSrcDiskCreate, VAKO_ERR_RAID_MEMBER);
        return -1;
    }
    snprintf(szPath, cbPath, "/dev/%s", p);
    return 0;
}

} // namespace

extern "C" {

int RaidDiskFileLineRead(const char *szFile, char *buf, int cb)
{
    if (!szFile || !buf || cb <= 0) {
        RAID_LOG(kSrcDiskCreate, "parameter error");
        RAID_ERR(kSrcDiskCreate, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    slib::FilePtr fp(fopen(szFile, "re"));
    if (!fp) {
        RAID_LOG(kSrcDiskCreate, "Failed to fopen %s, errno=%m", szFile);
        RAID_ERR(kSrcDiskCreate, SLIB_ERR_OPEN);
        return -1;
    }
    if (!fgets(buf, cb, fp.get())) {
        RAID_LOG(kSrcDiskCreate, "Failed to fgets %s, errno=%m", szFile);
        RAID_ERR(kSrcDiskCreate, SLIB_ERR_READ);
        return -1;
    }
    return 0;
}

void RaidDiskListFree(VAKORAIDDISK *pList)
{
    while (pList) {
        VAKORAIDDISK *pNext = pList->pNext;
        free(pList);
        pList = pNext;
    }
}

void VAKORaidDiskListPush(VAKORAIDDISK **ppList, VAKORAIDDISK *pDisk)
{
    if (!ppList || !pDisk) {
        RAID_ERR(kSrcDiskListPush, SLIB_ERR_OUT_OF_MEMORY);
        return;
    }
    pDisk->pNext = *ppList;
    *ppList = pDisk;
}

int VAKORaidDiskCreate(const char *szMemberDir, VAKORAIDDISK **ppDisk)
{
    return slib::Guarded(kSrcDiskCreate, -1, [&] {
        if (!szMemberDir || !ppDisk) {
            RAID_ERR(kSrcDiskCreate, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        slib::HeapPtr<VAKORAIDDISK> pDisk(static_cast<VAKORAIDDISK *>(calloc(1, sizeof(VAKORAIDDISK))));
        if (!pDisk) {
            RAID_LOG(kSrcDiskCreate, "Failed to calloc, errno=%m");
            RAID_ERR(kSrcDiskCreate, SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
        if (MemberPathOf(szMemberDir, pDisk->szPath, sizeof(pDisk->szPath)) < 0) {
            RAID_LOG(kSrcDiskCreate, "Failed to get path from %s ,errno=0X%X", szMemberDir, SLIBErrorGet());
            return -1;
        }
        if (ReadMemberStatus(szMemberDir, &pDisk->status) < 0) {
            RAID_LOG(kSrcDiskCreate, "Failed to get status from %s, errno=0X%X", szMemberDir, SLIBErrorGet());
            return -1;
        }
        *ppDisk = pDisk.release();
        return 0;
    });
}

int VAKORaidDiskListGet(const char *szPath, VAKORAIDDISK **ppList)
{
    return slib::Guarded(kSrcDiskListGet, -1, [&] {
        if (!szPath || !ppList) {
            RAID_ERR(kSrcDiskListGet, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        int index;
        if (!ParseMdPath(kSrcDiskListGet, szPath, &index))
            return -1;
        char szPattern[64];
        snprintf(szPattern, sizeof(szPattern), kMemberGlob, index);
        glob_t g;
        int rc = glob(szPattern, 0, nullptr, &g);
        if (rc == GLOB_NOMATCH) {
            globfree(&g);
            return 0;
        }
        if (rc != 0) {
            RAID_LOG(kSrcDiskListGet, "failed to glob '%s', errno=%m", szPattern);
            RAID_ERR(kSrcDiskListGet, VAKO_ERR_RAID_IOCTL);
            globfree(&g);
            return -1;
        }
        VAKORAIDDISK *pHead = nullptr;
        for (size_t i = 0; i < g.gl_pathc; ++i) {
            VAKORAIDDISK *pDisk = nullptr;
            if (VAKORaidDiskCreate(g.gl_pathv[i], &pDisk) < 0) {
                RAID_LOG(kSrcDiskListGet, "Failed to create disk info from %s ,errno=0X%X", g.gl_pathv[i],
                         SLIBErrorGet());
                RaidDiskListFree(pHead);
                globfree(&g);
                return -1;
            }
            VAKORaidDiskListPush(&pHead, pDisk);
        }
        globfree(&g);
        *ppList = pHead;
        return 0;
    });
}

int VAKORaidDecideStatus(const mdu_array_info_t *pInfo, const VAKORAIDDISK *pList, int *pStatus)
{
    if (!pInfo || !pStatus) {
        RAID_ERR(kSrcDecideStatus, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    int total = 0, ok = 0, err = 0;
    for (const VAKORAIDDISK *p = pList; p; p = p->pNext) {
        ++total;
        if (p->status == VAKO_RAID_DISK_IN_SYNC)
            ++ok;
        else if (p->status == VAKO_RAID_DISK_ERROR)
            ++err;
    }
    int64_t missing = int64_t{pInfo->raid_disks} - ok;
    if (total == 0 || err > 0)
        *pStatus = VAKO_RAID_CRASHED;
    else if (missing <= 0)
        *pStatus = VAKO_RAID_NORMAL;
    else if (missing <= ToleranceOf(*pInfo))
        *pStatus = VAKO_RAID_DEGRADED;
    else
        *pStatus = VAKO_RAID_CRASHED;
    return 0;
}

int RaidIoctlInfo(int fd, mdu_array_info_t *pInfo)
{
    if (!pInfo) {
        RAID_ERR(kSrcIoctlInfo, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    if (ioctl(fd, VAKO_MD_GET_ARRAY_INFO, pInfo) < 0) {
        int err = errno;
        if (err != ENODEV)
            RAID_LOG(kSrcIoctlInfo, "Failed to ioctl for raid status, errno=%m");
        RecordIoctlFailure(kSrcIoctlInfo, err);
        return -1;
    }
    return 0;
}

int RaidIoctlSize(int fd, uint64_t *pBytes)
{
    if (!pBytes) {
        RAID_ERR(kSrcIoctlSize, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    *pBytes = 0;
    uint64_t bytes = 0;
    if (ioctl(fd, VAKO_BLKGETSIZE64, &bytes) < 0) {
        RecordIoctlFailure(kSrcIoctlSize, errno);
        return -1;
    }
    *pBytes = bytes;
    return 0;
}

int RaidRebuildStatusGet(int fd, uint32_t pSync[3])
{
    if (fd < 0 || !pSync) {
        RAID_ERR(kSrcRebuildStatus, SLIB_ERR_BAD_PARAMETER);
        return -1;
    }
    uint32_t k[3] = {0, 0, 0};
    if (ioctl(fd, VAKO_MD_GET_SYNC_STATUS, k) < 0) {
        int err = errno;
        if (err != ENODEV)
            RAID_LOG(kSrcRebuildStatus, "Failed to ioctl for sync status, errno=%m");
        RecordIoctlFailure(kSrcRebuildStatus, err);
        return -1;
    }
    pSync[0] = pSync[1] = pSync[2] = 0;
    if (k[0] == 0)
        return 0;
    if (k[1] == 0) {
        pSync[0] = 2;
        return 0;
    }
    pSync[0] = 1;
    pSync[1] = k[1];
    pSync[2] = k[2];
    return 0;
}

void VAKORaidInfoFree(PVAKORAIDINFO pInfo)
{
    if (!pInfo)
        return;
    RaidDiskListFree(pInfo->pDiskList);
    free(pInfo);
}

int VAKORaidInfoGet(const char *szPath, PVAKORAIDINFO *ppInfo)
{
    return slib::Guarded(kSrcInfoGet, -1, [&] {
        if (!szPath || !ppInfo) {
            RAID_ERR(kSrcInfoGet, SLIB_ERR_BAD_PARAMETER);
            return -1;
        }
        int index;
        if (!ParseMdPath(kSrcInfoGet, szPath, &index))
            return -1;
        // Frees the record (and its member list) on every path but success.
        slib::OwnedPtr<VAKORAIDINFO, VAKORaidInfoFree> owner(
            static_cast<PVAKORAIDINFO>(calloc(1, sizeof(VAKORAIDINFO))));
        PVAKORAIDINFO pInfo = owner.get();
        if (!pInfo) {
            RAID_LOG(kSrcInfoGet, "Failed to calloc, errno=%m");
            RAID_ERR(kSrcInfoGet, SLIB_ERR_OUT_OF_MEMORY);
            return -1;
        }
        pInfo->mdIndex = index;
        snprintf(pInfo->szPath, sizeof(pInfo->szPath), "%s", szPath);

        Fd fd(open(szPath, O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0) {
            RAID_LOG(kSrcInfoGet, "Failed to open %s, errno=%m", szPath);
            RAID_ERR(kSrcInfoGet, SLIB_ERR_OPEN);
            return -1;
        }
        mdu_array_info_t info;
        memset(&info, 0, sizeof(info));
        if (RaidIoctlInfo(fd.get(), &info) < 0) {
            if (SLIBErrorGet() == VAKO_ERR_MD_INACTIVE)
                return 0;
            RAID_LOG(kSrcInfoGet, "Failed to ioctl for raid status, errno=0X%X", SLIBErrorGet());
            return -1;
        }
        pInfo->raidType = RaidTypeOf(info.level);
        if (pInfo->raidType == VAKO_RAID_OTHER)
            RAID_LOG(kSrcInfoGet, "Not supported RAID level: %d", info.level);
        pInfo->componentBytes = static_cast<int64_t>(info.size) * 1024;
        pInfo->raidDisks = info.raid_disks;

        if (RaidIoctlSize(fd.get(), &pInfo->deviceBytes) < 0) {
            RAID_LOG(kSrcInfoGet, "Failed to ioctl for raid size, errno=0X%X", SLIBErrorGet());
            return -1;
        }
        VAKORAIDDISK *pList = nullptr;
        if (VAKORaidDiskListGet(szPath, &pList) < 0) {
            RAID_LOG(kSrcInfoGet, "Failed to get disk list for " RAID_MD_PATH ", errno=0X%X", pInfo->mdIndex,
                     SLIBErrorGet());
            return -1;
        }
        pInfo->pDiskList = pList;
        pInfo->firstDisk = FirstDiskOf(pList);

        if (RaidRebuildStatusGet(fd.get(), pInfo->syncStatus) < 0)
            return -1;
        if (VAKORaidDecideStatus(&info, pList, &pInfo->status) < 0) {
            RAID_LOG(kSrcInfoGet, "Failed to decide raid status for " RAID_MD_PATH ", errno=0X%X", pInfo->mdIndex,
                     SLIBErrorGet());
            return -1;
        }
        *ppInfo = owner.release();
        return 1;
    });
}

} // extern "C"
