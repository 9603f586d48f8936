// FIS directory recovery image.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include "slib/error.h"
#include "slibcxx/raii.h"
#include "flash.h"

namespace {

struct ImageEntry {
    const char *szName;
    uint32_t base;
    uint32_t size;
    uint32_t dataLength;
};

// The directory of the junior layout; load address equal to the flash
// address, entry point, reserved area and checksums zero.
constexpr ImageEntry kImage[] = {
    {"RedBoot", 0xfff00000, 0x40000, 0x3a448},        {"zImage", 0xffe00000, 0xd0000, 0xc5eda},
    {"rd.gz", 0xfff40000, 0xb0000, 0xaee2c},          {"vendor", 0xffed0000, 0x10000, 0x10000},
    {"RedBoot Config", 0xffee0000, 0x10000, 0x10000}, {"FIS Directory", 0xffff0000, 0x10000, UPDT_FISDIR_IMAGE_SIZE},
};
static_assert(sizeof(kImage) / sizeof(kImage[0]) * VAKO_FIS_ENTRY_SIZE == UPDT_FISDIR_IMAGE_SIZE);

constexpr int kErrWrite = 0x0A00;

// The directory partition is locked again on every way out.
class RelockGuard {
public:
    explicit RelockGuard(const char *szDev) : szDev_(szDev) {}
    ~RelockGuard() { VAKOMTDLockPartition(szDev_); }
    RelockGuard(const RelockGuard &) = delete;
    RelockGuard &operator=(const RelockGuard &) = delete;

private:
    const char *szDev_;
};

} // namespace

extern "C" {

void UPDTGetFISDirImage(unsigned char *pImage)
{
    for (size_t i = 0; i < sizeof(kImage) / sizeof(kImage[0]); ++i) {
        VAKOFISENTRY entry;
        memset(&entry, 0, sizeof(entry));
        memcpy(entry.name, kImage[i].szName, strnlen(kImage[i].szName, sizeof(entry.name) - 1));
        entry.flash_base = entry.mem_base = kImage[i].base;
        entry.size = kImage[i].size;
        entry.data_length = kImage[i].dataLength;
        VAKOFISEntryEncode(&entry, pImage + i * VAKO_FIS_ENTRY_SIZE);
    }
}

int RecoverFISDirTable_M88_V284(void)
{
    const char *szDev = gszDevMtdPartition;
    RelockGuard relock(szDev);
    if (VAKOMTDUnlockPartition(szDev) < 0) {
        syslog(LOG_ERR, "%s:%d(%s) VAKOMTDUnlockPartition(%s) fail", UPDT_SOURCE_FILE, __LINE__, __func__, szDev);
        return -1;
    }
    if (VAKOMTDErasePartition(szDev) < 0) {
        syslog(LOG_ERR, "%s:%d(%s) VAKOMTDErasePartition(%s) fail", UPDT_SOURCE_FILE, __LINE__, __func__, szDev);
        return -1;
    }
    slib::Fd fd(open(szDev, O_WRONLY | O_CLOEXEC));
    if (!fd.ok()) {
        syslog(LOG_ERR, "%s:%d(%s) open(%s) fail", UPDT_SOURCE_FILE, __LINE__, __func__, szDev);
        SLIB_ERR(SLIB_ERR_OPEN);
        return -1;
    }
    unsigned char image[UPDT_FISDIR_IMAGE_SIZE];
    UPDTGetFISDirImage(image);
    size_t done = 0;
    while (done < sizeof(image)) {
        ssize_t n = write(fd.get(), image + done, sizeof(image) - done);
        if (n < 0 && errno == EINTR)
            continue;
        // A write of nothing would repeat for ever.
        if (n <= 0) {
            syslog(LOG_ERR, "%s:%d(%s) write(%s) fail", UPDT_SOURCE_FILE, __LINE__, __func__, szDev);
            SLIB_ERR(kErrWrite);
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

} // extern "C"
