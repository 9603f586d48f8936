// Flash partitions and the FIS directory: each operation opens its device,
// issues its ioctls and closes it again; failures are logged, not recorded.
#include "vako/flash.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <syslog.h>
#include <unistd.h>

#include "slibcxx/raii.h"

namespace {

// The descriptor of one operation; a failed open is logged under the
// operation's name (read-write opens name the device).
slib::Fd OpenDevice(const char *szFunc, const char *szDev, int flags)
{
    slib::Fd dev(open(szDev, flags | O_CLOEXEC));
    if (dev.ok())
        return dev;
    if (flags == O_RDWR)
        syslog(LOG_ERR, "%s(%d): fail to open mtd device %s, errno = %d", szFunc, __LINE__, szDev, errno);
    else
        syslog(LOG_ERR, "%s(%d): fail to open mtd device, errno = %d", szFunc, __LINE__, errno);
    return dev;
}

bool ParametersGiven(const char *szFunc, bool fGiven)
{
    if (!fGiven)
        syslog(LOG_ERR, "%s(%d): parameter error", szFunc, __LINE__);
    return fGiven;
}

uint32_t GetBE32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           static_cast<uint32_t>(p[3]);
}

void PutBE32(unsigned char *p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// Field offsets of the stored entry.
constexpr int kOffFlashBase = 16, kOffMemBase = 20, kOffSize = 24, kOffEntryPoint = 28, kOffDataLength = 32,
              kOffReserved = 36, kOffDescCksum = 248, kOffFileCksum = 252;
static_assert(kOffDescCksum - kOffReserved == sizeof(VAKOFISENTRY::reserved));
static_assert(sizeof(VAKOFISENTRY) == VAKO_FIS_ENTRY_SIZE);

constexpr unsigned char kErased = 0xFF;

// MEMGETINFO into a cleared record for the size of the whole device, then
// `request` on the region {0, size}; szFailFmt takes the device and errno.
int WholeDeviceRequest(const char *szFunc, const char *szDev, unsigned long request, const char *szFailFmt)
{
    if (!ParametersGiven(szFunc, szDev))
        return -1;
    slib::Fd dev = OpenDevice(szFunc, szDev, O_RDWR);
    if (!dev.ok())
        return -1;
    mtd_info_user info;
    memset(&info, 0, sizeof(info));
    if (ioctl(dev.get(), VAKO_MEMGETINFO, &info) < 0) {
        syslog(LOG_ERR, "%s(%d): Could not get MTD device info for %s, errno = %d", szFunc, __LINE__, szDev, errno);
        return -1;
    }
    erase_info_user region = {0, info.size};
    if (ioctl(dev.get(), request, &region) < 0) {
        syslog(LOG_ERR, szFailFmt, szDev, errno);
        return -1;
    }
    return 0;
}

} // namespace

extern "C" {

void VAKOFISEntryDecode(const unsigned char *pRaw, VAKOFISENTRY *pEntry)
{
    memcpy(pEntry->name, pRaw, VAKO_FIS_NAME_SIZE);
    pEntry->flash_base = GetBE32(pRaw + kOffFlashBase);
    pEntry->mem_base = GetBE32(pRaw + kOffMemBase);
    pEntry->size = GetBE32(pRaw + kOffSize);
    pEntry->entry_point = GetBE32(pRaw + kOffEntryPoint);
    pEntry->data_length = GetBE32(pRaw + kOffDataLength);
    memcpy(pEntry->reserved, pRaw + kOffReserved, sizeof(pEntry->reserved));
    pEntry->desc_cksum = GetBE32(pRaw + kOffDescCksum);
    pEntry->file_cksum = GetBE32(pRaw + kOffFileCksum);
}

void VAKOFISEntryEncode(const VAKOFISENTRY *pEntry, unsigned char *pRaw)
{
    memcpy(pRaw, pEntry->name, VAKO_FIS_NAME_SIZE);
    PutBE32(pRaw + kOffFlashBase, pEntry->flash_base);
    PutBE32(pRaw + kOffMemBase, pEntry->mem_base);
    PutBE32(pRaw + kOffSize, pEntry->size);
    PutBE32(pRaw + kOffEntryPoint, pEntry->entry_point);
    PutBE32(pRaw + kOffDataLength, pEntry->data_length);
    memcpy(pRaw + kOffReserved, pEntry->reserved, sizeof(pEntry->reserved));
    PutBE32(pRaw + kOffDescCksum, pEntry->desc_cksum);
    PutBE32(pRaw + kOffFileCksum, pEntry->file_cksum);
}

void VAKOFISEntryInfoEncode(const VAKOFISENTRYINFO *pEntry, unsigned char *pRaw)
{
    memset(pRaw, 0, VAKO_FIS_NAME_SIZE);
    memcpy(pRaw, pEntry->name, strnlen(pEntry->name, VAKO_FIS_NAME_SIZE - 1));
    PutBE32(pRaw + 16, pEntry->flash_base);
    PutBE32(pRaw + 20, pEntry->size);
    PutBE32(pRaw + 24, pEntry->data_length);
}

void VAKOFISEntryInfoSet(VAKOFISENTRYINFO *pEntry, const char *szName, uint32_t flashBase, uint32_t size,
                         uint32_t dataLength)
{
    memset(pEntry->name, 0, sizeof(pEntry->name));
    memcpy(pEntry->name, szName, strnlen(szName, VAKO_FIS_NAME_SIZE - 1));
    pEntry->flash_base = flashBase;
    pEntry->size = size;
    pEntry->data_length = dataLength;
}

void VAKOFISEntryGetName(const VAKOFISENTRY *pEntry, char *szOut)
{
    size_t n = strnlen(pEntry->name, VAKO_FIS_NAME_SIZE);
    memcpy(szOut, pEntry->name, n);
    szOut[n] = '\0';
}

int VAKOFISEntryNameIs(const VAKOFISENTRY *pEntry, const char *szName)
{
    size_t n = strnlen(pEntry->name, VAKO_FIS_NAME_SIZE);
    return strlen(szName) == n && strncasecmp(pEntry->name, szName, n) == 0 ? 1 : 0;
}

int VAKOMTDErasePartition(const char *szDev)
{
    return WholeDeviceRequest(__func__, szDev, VAKO_MEMERASE, "Could not erase MTD device: %s, errno = %d\n");
}

int VAKOMTDGetDeviceInfo(const char *szDev, mtd_info_user *pInfo, unsigned cbInfo)
{
    if (!ParametersGiven(__func__, szDev && pInfo && cbInfo >= sizeof(mtd_info_user)))
        return -1;
    memset(pInfo, 0, cbInfo);
    slib::Fd dev = OpenDevice(__func__, szDev, O_RDONLY);
    if (!dev.ok())
        return -1;
    if (ioctl(dev.get(), VAKO_MEMGETINFO, pInfo) < 0) {
        syslog(LOG_ERR, "%s(%d): fail to get mtd size, errno = %d", __func__, __LINE__, errno);
        return -1;
    }
    return 0;
}

int VAKOMTDGetPartitionInfo(const char *szDev, VAKOFISENTRY *pBuf, int cbBuf, int *pcbUsed)
{
    if (!ParametersGiven(__func__, szDev && pcbUsed && (pBuf ? cbBuf > 0 : cbBuf == 0)))
        return -1;
    slib::Fd dev = OpenDevice(__func__, szDev, O_RDONLY);
    if (!dev.ok())
        return -1;
    int count = 0;
    long long cbCounted = 0;
    for (;;) {
        unsigned char raw[VAKO_FIS_ENTRY_SIZE];
        memset(raw, 0, sizeof(raw));
        ssize_t n;
        do {
            errno = 0;
            n = read(dev.get(), raw, sizeof(raw));
        } while (n < 0 && errno == EINTR);
        if (n != static_cast<ssize_t>(sizeof(raw))) {
            syslog(LOG_ERR, "%s(%d): failed to read from %s(errno = %d)", __func__, __LINE__, szDev, errno);
            return -1;
        }
        if (raw[0] == kErased)
            break;
        cbCounted += VAKO_FIS_ENTRY_SIZE;
        if (pBuf) {
            if (cbCounted > cbBuf) {
                syslog(LOG_ERR, "%s(%d): not enough memory", __func__, __LINE__);
                return -1;
            }
            VAKOFISEntryDecode(raw, &pBuf[count]);
        }
        ++count;
    }
    *pcbUsed = static_cast<int>(cbCounted);
    return count;
}

int VAKOMTDILock(const char *szDev, int bLock)
{
    return WholeDeviceRequest(__func__, szDev, bLock == 1 ? VAKO_MEMLOCK : VAKO_MEMUNLOCK,
                              "Could not lock/unlock MTD device: %s, errno = %d\n");
}

int VAKOMTDLockPartition(const char *szDev) { return VAKOMTDILock(szDev, 1); }
int VAKOMTDUnlockPartition(const char *szDev) { return VAKOMTDILock(szDev, 0); }

int VAKOMTDModifyFISEntry(const char *szDev, const VAKOFISENTRYINFO *pEntry)
{
    if (!ParametersGiven(__func__, szDev && pEntry))
        return -1;
    slib::Fd dev = OpenDevice(__func__, szDev, O_RDWR);
    if (!dev.ok())
        return -1;
    unsigned char raw[VAKO_FIS_ENTRY_INFO_SIZE];
    VAKOFISEntryInfoEncode(pEntry, raw);
    if (ioctl(dev.get(), VAKO_MTD_SET_FIS_ENTRY, raw) < 0) {
        syslog(LOG_ERR, "%s: Failed to set the mtd info of %s by ioctl, errno = %d\n", __func__, szDev, errno);
        return -1;
    }
    return 0;
}

int VAKOMTDModifyPartitionSize(const char *szDev, uint32_t offset, uint32_t size)
{
    if (!ParametersGiven(__func__, szDev))
        return -1;
    slib::Fd dev = OpenDevice(__func__, szDev, O_RDWR);
    if (!dev.ok())
        return -1;
    unsigned char raw[8];
    PutBE32(raw, offset);
    PutBE32(raw + 4, size);
    if (ioctl(dev.get(), VAKO_MTD_SET_PARTITION, raw) < 0) {
        syslog(LOG_ERR, "Failed to set the mtd info of %s by ioctl, errno = %d\n", szDev, errno);
        return -1;
    }
    return 0;
}

int VAKOKernelMSysFlagGet(void)
{
    uint32_t word = 0;
    return VAKOKernelCallMSysFlag(&word) == 0 && (word & 1) ? 1 : 0;
}

} // extern "C"
