// Analysis of the installed system and the package: may this package be
// installed here, and which migrations will it need?
#include <dirent.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <syslog.h>

#include <algorithm>
#include <string_view>

#include "slib/conf_read.h"
#include "slib/conf_write.h"
#include "slib/error.h"
#include "flash.h"
#include "migrate.h"
#include "vako/disk.h"
#include "vako/info.h"
#include "vako/raid.h"

namespace {

constexpr const char *kInstalledInfo = SZF_VAKO_INFO_DEFAULTS;
constexpr const char *kInstalledVersion = UPDT_INSTALLED_VERSION;
constexpr const char *kInfoConf = SZF_VAKO_INFO;
constexpr const char *kPackageVersion = UPDT_PACKAGE_VERSION;
constexpr const char *kWriteable = UPDT_WRITEABLE;
constexpr const char *kSystemArray = UPDT_SYSTEM_ARRAY;
constexpr const char *kSystemDisk = UPDT_SYSTEM_DISK;
constexpr const char *kDefaultFsFallback = "reiserfs";
constexpr const char *kKvFormat = "%s=\"%s\"\n";
constexpr const char *kNoSpaceMessage =
    "System volume is insufficient to extract upgrade patch, please backup all files and restore to "
    "factory default.";

constexpr int kUniqueRoom = 32;
constexpr int kOldWriteableLastBuild = 261;
constexpr int kRecoverFISDirBuild = 284;
constexpr int kMtdBufSyscallLastOldBuild = 350;
constexpr const char *kRecoverFISDirModel = "vakora_powerpc_m88_1hd";
constexpr std::string_view kOldWriteableModels[] = {"palvix_ixp420_1hd", "vakora_ixp420_1hd", "vakora_powerpc_m88_1hd",
                                                    "palvix_powerpc_1hd"};

// Disk geometry of the system partition, in 512-byte sectors.
constexpr uint32_t kResizeablePart3After = 1333331;
constexpr int64_t kResizeableSizes[] = {273042, 530082};
constexpr int64_t kResizedSectors = 722862;
constexpr int64_t kSpareKB = 10240;

// Leading decimal digits as a number (no digits: 0), clamped to int.
int DecimalOf(const char *sz)
{
    long long v = strtoll(sz, nullptr, 10);
    return static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX));
}

bool GetKey(const char *szFile, const char *szKey, char *szBuf, int cbBuf)
{
    return SLIBFileGetKeyValue(szFile, szKey, szBuf, cbBuf, 0) > 0;
}

bool IsPackageFileUsable(const char *szPath)
{
    struct stat st;
    return stat(szPath, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IRUSR) && st.st_size > 0;
}

bool IsOldWriteableModel(const char *szUnique)
{
    return std::any_of(std::begin(kOldWriteableModels), std::end(kOldWriteableModels),
                       [&](std::string_view m) { return strcasecmp(szUnique, m.data()) == 0; });
}

bool IsDirectory(const char *szPath)
{
    DIR *d = opendir(szPath);
    if (!d)
        return false;
    closedir(d);
    return true;
}

// The old writeable layout keeps its file system type in the settings.
int KeepDefaultFs(const char *szFunc)
{
    char szFs[80] = "";
    if (!GetKey(kInfoConf, "defaultfs", szFs, sizeof(szFs))) {
        syslog(LOG_ERR, "%s:%d(%s): can not get [%s] in [%s]", UPDT_SOURCE_FILE, __LINE__, szFunc, "defaultfs",
               kInfoConf);
        if (!GetKey(kInstalledInfo, "defaultfs", szFs, sizeof(szFs))) {
            syslog(LOG_ERR, "%s:%d(%s): can not get [%s] in [%s]", UPDT_SOURCE_FILE, __LINE__, szFunc, "defaultfs",
                   kInstalledInfo);
            snprintf(szFs, sizeof(szFs), "%s", kDefaultFsFallback);
        }
    }
    if (SLIBFileSetKeyValue(kInfoConf, "defaultfs", szFs, kKvFormat) <= 0) {
        syslog(LOG_ERR, "%s:%d(%s): can not set [%s=%s] to %s", UPDT_SOURCE_FILE, __LINE__, szFunc, "defaultfs", szFs,
               kInfoConf);
        return UPDT_ERR_FSTYPE;
    }
    return 0;
}

// At most 1 MiB free on /writeable: no room to keep its settings.
bool IsWriteableFull()
{
    struct statfs fs;
    if (statfs(kWriteable, &fs) != 0)
        return false;
    uint64_t freeBytes = static_cast<uint64_t>(fs.f_bsize) * static_cast<uint64_t>(fs.f_bavail);
    return (freeBytes >> 20) <= 1;
}

// Size of the system partition in KiB, or -1.
int64_t SystemPartitionKB()
{
    if (VAKOConfSupportRaid() == 1) {
        PVAKORAIDINFO pInfo = nullptr;
        int rc = VAKORaidInfoGet(kSystemArray, &pInfo);
        if (rc != 1 || !pInfo) {
            syslog(LOG_ERR, "%s:%d Failed to get RAID info, err=%d, errno=0x%X", UPDT_SOURCE_FILE, __LINE__, rc,
                   SLIBErrorGet());
            return -1;
        }
        // 64-bit: a 32-bit count of KiB would wrap at 4 TiB.
        int64_t kb = static_cast<int64_t>(pInfo->deviceBytes >> 10);
        VAKORaidInfoFree(pInfo);
        return kb;
    }
    unsigned start = 0, id = 0;
    long long sectors = RCPartitionConfigs(1, kSystemDisk, &start, &id);
    if (sectors < 0) {
        syslog(LOG_ERR, "%s:%d RCPartitionConfigs(" UPDT_SYSTEM_DISK "1) failed", UPDT_SOURCE_FILE, __LINE__);
        return -1;
    }
    if (IsSysPartitionResizeable(sectors) == 1)
        sectors = kResizedSectors;
    return sectors / 2;
}

// Number of a component: its leading decimal, else a pre-release word.
int ComponentValue(const char *sz)
{
    int v = DecimalOf(sz);
    if (v != 0)
        return v;
    if (!strcasecmp(sz, "alpha"))
        return -30;
    if (!strcasecmp(sz, "beta"))
        return -20;
    if (!strcasecmp(sz, "rc"))
        return -10;
    return 0;
}

} // namespace

extern "C" {

int UPDTCompareVersion(const char *a, const char *b)
{
    if (!a || !b)
        return 0;
    if (!*a && *b)
        return -1;
    if (*a && !*b)
        return 1;
    char bufA[32], bufB[32];
    snprintf(bufA, sizeof(bufA), "%s", a);
    snprintf(bufB, sizeof(bufB), "%s", b);
    char *pa = bufA, *pb = bufB;
    int result = 0;
    for (;;) {
        char *dotA = strchr(pa, '.'), *dotB = strchr(pb, '.');
        if (dotA)
            *dotA = '\0';
        if (dotB)
            *dotB = '\0';
        int va = ComponentValue(pa), vb = ComponentValue(pb);
        if (va != vb)
            return va > vb ? 1 : -1;
        bool doneA = !dotA || !dotA[1], doneB = !dotB || !dotB[1];
        if (doneA && doneB)
            return 0;
        if (doneA)
            result = -1;
        else if (doneB)
            result = 1;
        if (!dotA || !dotB)
            return result;
        pa = dotA + 1;
        pb = dotB + 1;
    }
}

int IsSysPartitionResizeable(int64_t sectors)
{
    unsigned start = 0, id = 0;
    if (RCPartitionConfigs(3, kSystemDisk, &start, &id) < 0) {
        syslog(LOG_ERR, "%s:%d RCPartitionConfigs(" UPDT_SYSTEM_DISK "3) failed", UPDT_SOURCE_FILE, __LINE__);
        return 0;
    }
    if (start <= kResizeablePart3After) {
        syslog(LOG_ERR, "%s:%d System Partition is not resizeable. (%lu)", UPDT_SOURCE_FILE, __LINE__,
               static_cast<unsigned long>(start));
        return 0;
    }
    return std::find(std::begin(kResizeableSizes), std::end(kResizeableSizes), sectors) != std::end(kResizeableSizes);
}

int IsSysPartitionSufficient(int64_t kbToUnpack)
{
    int64_t size = SystemPartitionKB();
    if (size < 0)
        return 0;
    // Saturates: an absurd size to unpack must not wrap into a small need.
    int64_t need = kbToUnpack > INT64_MAX - kSpareKB ? INT64_MAX : kbToUnpack + kSpareKB;
    if (need <= size)
        return 1;
    syslog(LOG_ERR, "%s:%d System Partition is not sufficient. (%llu < %lld)", UPDT_SOURCE_FILE, __LINE__,
           static_cast<unsigned long long>(size), static_cast<long long>(need));
    return 0;
}

int UPDTReadVersion(const char *szFile, UPDTVERSION *pVersion)
{
    UPDTVERSION &v = *pVersion;
    v = UPDTVERSION{};
    struct {
        const char *szKey;
        char *szBuf;
        int cb;
    } keys[] = {
        {"majorversion", v.szMajor, sizeof(v.szMajor)},
        {"minorversion", v.szMinor, sizeof(v.szMinor)},
        {"buildphase", v.szPhase, sizeof(v.szPhase)},
        {"buildnumber", v.szBuild, sizeof(v.szBuild)},
    };
    for (int i = 0; i < 4; ++i)
        if (!GetKey(szFile, keys[i].szKey, keys[i].szBuf, keys[i].cb))
            return i;
    v.major = DecimalOf(v.szMajor);
    v.build = DecimalOf(v.szBuild);
    return 4;
}

int ErrUPDTIAnalyze_WholeSystem(void)
{
    static const char *const kOldFail[4] = {"%s(%d): fail to read major version", "%s(%d): fail to read minor version",
                                            "%s(%d): fail to read buildphase", "%s(%d): fail to read buildnumber"};
    static const char *const kNewFail[4] = {
        "%s(%d): fail to read new major version", "%s(%d): fail to read new minor version",
        "%s(%d): fail to read new build phase", "%s(%d): fail to read new build number"};

    char szPackage[UPDT_UPDATE_DIR_ROOM + 16];
    snprintf(szPackage, sizeof(szPackage), "%s/%s", gszUpdateDir, kPackageVersion);
    if (!IsPackageFileUsable(szPackage)) {
        syslog(LOG_ERR, "%s(%d): the file [%s]", __func__, __LINE__, szPackage);
        return UPDT_ERR_READ_PATCH_VER;
    }

    char szOrgUnique[kUniqueRoom + 1] = "";
    if (!GetKey(kInstalledInfo, "unique", szOrgUnique, sizeof(szOrgUnique)))
        return UPDT_ERR_READ_MOD;
    UPDTVERSION org;
    if (int read = UPDTReadVersion(kInstalledVersion, &org); read < 4) {
        syslog(LOG_ERR, kOldFail[read], __func__, __LINE__);
        return UPDT_ERR_READ_VER;
    }
    if (org.major == 0 || org.build == 0) {
        syslog(LOG_ERR, "%s(%d): buildnumber or major version == 0", __func__, __LINE__);
        return UPDT_ERR_READ_VER;
    }

    char szNewUnique[kUniqueRoom + 1] = "";
    if (!GetKey(szPackage, "unique", szNewUnique, sizeof(szNewUnique)))
        return UPDT_ERR_READ_PATCH_MOD;
    UPDTVERSION pkg;
    if (int read = UPDTReadVersion(szPackage, &pkg); read < 4) {
        syslog(LOG_ERR, kNewFail[read], __func__, __LINE__);
        return UPDT_ERR_READ_PATCH_VER;
    }
    char szExtract[128] = "";
    if (!GetKey(szPackage, "extractsize", szExtract, sizeof(szExtract))) {
        syslog(LOG_ERR, "%s(%d): fail to get patch size", __func__, __LINE__);
        return UPDT_ERR_READ_PATCH_VER;
    }
    int64_t extractKB = strtoll(szExtract, nullptr, 10);
    if (pkg.major == 0 || pkg.build == 0) {
        syslog(LOG_ERR, "%s(%d): buildnumber or major version == 0", __func__, __LINE__);
        return UPDT_ERR_READ_PATCH_VER;
    }

    if (org.major < 2 || pkg.major < 2) {
        syslog(LOG_ERR, "%s:%d orgMajorVersion=%d", UPDT_SOURCE_FILE, __LINE__, org.major);
        return UPDT_ERR_PATCH;
    }
    if (pkg.build <= org.build) {
        syslog(LOG_ERR, "%s(%d): orgBuildNumber = %d, newBuildNumber=%d", __func__, __LINE__, org.build, pkg.build);
        return UPDT_ERR_VERSION;
    }
    if (!szOrgUnique[0] || !szNewUnique[0] || strncasecmp(szOrgUnique, szNewUnique, kUniqueRoom) != 0) {
        syslog(LOG_ERR, "%s(%d): szOrgCompany = [%s], szNewCompany=[%s]", __func__, __LINE__, szOrgUnique, szNewUnique);
        return UPDT_ERR_COMPANY;
    }

    if (org.build <= kOldWriteableLastBuild && IsOldWriteableModel(szNewUnique) && IsDirectory(kWriteable)) {
        gfOldWriteableLayout = 1;
        if (int rc = KeepDefaultFs(__func__))
            return rc;
        if (IsWriteableFull())
            return UPDT_ERR_SPACE;
    }

    if (org.build == kRecoverFISDirBuild && gfJunior && strncasecmp(szOrgUnique, kRecoverFISDirModel, kUniqueRoom) == 0)
        gfRecoverFISDir = 1;
    if (org.build <= kMtdBufSyscallLastOldBuild)
        gfMtdBufSyscall = 0;

    if (IsSysPartitionSufficient(extractKB) == 0) {
        UPDTWriteMessage(kNoSpaceMessage);
        return UPDT_ERR_SPACE;
    }
    if (!gfNoInitrd)
        UPDTSetUpgradeFlags(org.build);

    char szLine[160];
    snprintf(szLine, sizeof(szLine), "Upgrade from version %s.%s.%s.%s to version %s.%s.%s.%s", org.szMajor,
             org.szMinor, org.szPhase, org.szBuild, pkg.szMajor, pkg.szMinor, pkg.szPhase, pkg.szBuild);
    UPDTWriteLog(szLine);
    return 0;
}

} // extern "C"
