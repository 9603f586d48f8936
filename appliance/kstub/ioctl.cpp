#include "ioctl.h"

#include <mtd/mtd-abi.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "journal.h"
#include "records.h"
#include "vako/flash.h"
#include "vako/kernel.h"

namespace kstublib {

namespace {

bool TakesPointer(uint32_t req) { return req != VAKO_MTD_FORMAT; }

bool NeedsWrite(uint32_t req)
{
    switch (req) {
    case VAKO_MEMERASE:
    case VAKO_MTD_SET_PARTITION:
    case VAKO_MTD_SET_FIS_ENTRY:
    case VAKO_MTD_FORMAT:
    case VAKO_MTD_SET_PART_TABLE:
        return true;
    default:
        return false;
    }
}

bool Aligned(uint64_t v, uint32_t unit) { return unit && v % unit == 0; }

Res MtdIoctl(Session &s, int fd, const Dev &d, Window &w, uint32_t req, void *arg)
{
    st::State &state = s.state;
    auto p = static_cast<unsigned char *>(arg);
    bool tableRequest = req == VAKO_MTD_GET_PART_TABLE || req == VAKO_MTD_FORMAT || req == VAKO_MTD_SET_PART_TABLE;
    if (tableRequest && d.path != "/dev/mtd0")
        return Err(ENOTTY);
    if (NeedsWrite(req) && !Writable(fd))
        return Err(EPERM);
    switch (req) {
    case VAKO_MEMGETINFO: {
        mtd_info_user info;
        memset(&info, 0, sizeof info);
        info.type = MTD_NORFLASH;
        info.flags = MTD_CAP_NORFLASH;
        info.size = w.size;
        info.erasesize = state.eraseSize;
        memcpy(p, &info, sizeof info);
        return {0, 0};
    }
    case VAKO_MEMERASE: {
        uint64_t start = GetU32(p), length = GetU32(p + 4);
        if (length == 0 || !Aligned(start, state.eraseSize) || !Aligned(length, state.eraseSize) ||
            start + length > w.size)
            return Err(EINVAL);
        if (w.locked)
            return Err(EROFS);
        if (!s.ChipFill(w.offset + start, 0xFF, length))
            return Err(EIO);
        return {0, 0};
    }
    case VAKO_MEMLOCK:
    case VAKO_MEMUNLOCK: {
        uint64_t start = GetU32(p), length = GetU32(p + 4);
        if (start + length > w.size)
            return Err(EINVAL);
        w.locked = req == VAKO_MEMLOCK;
        s.Dirty();
        return {0, 0};
    }
    case VAKO_MTD_SET_PARTITION: {
        uint64_t offset = GetBe32(p), size = GetBe32(p + 4);
        if (size == 0 || !Aligned(offset, state.eraseSize) || !Aligned(size, state.eraseSize) ||
            offset + size > state.chipSize)
            return Err(EINVAL);
        w.offset = static_cast<uint32_t>(offset);
        w.size = static_cast<uint32_t>(size);
        w.dataLength = std::min(w.dataLength.value_or(w.size), w.size);
        s.Dirty();
        return {0, 0};
    }
    case VAKO_MTD_SET_FIS_ENTRY: {
        // The kernel rewrites the directory block itself: no NOR rule, no lock.
        FisInfo e = GetFisInfo(p);
        for (uint64_t off = 0; off + VAKO_FIS_ENTRY_SIZE <= w.size; off += VAKO_FIS_ENTRY_SIZE) {
            uint8_t rec[VAKO_FIS_ENTRY_SIZE];
            if (!s.ChipRead(w.offset + off, rec, sizeof rec))
                return Err(EIO);
            if (rec[0] == 0xFF)
                break;
            if (strncmp(reinterpret_cast<const char *>(rec), e.name, VAKO_FIS_NAME_SIZE) != 0)
                continue;
            PutBe32(rec + 16, e.flash_base);
            PutBe32(rec + 24, e.size);
            PutBe32(rec + 32, e.data_length);
            bool ok = s.ChipWrite(w.offset + off + 16, rec + 16, 4) && s.ChipWrite(w.offset + off + 24, rec + 24, 4) &&
                      s.ChipWrite(w.offset + off + 32, rec + 32, 4);
            return ok ? Res{0, 0} : Err(EIO);
        }
        return Err(ENOENT);
    }
    case VAKO_MTD_GET_PART_TABLE: {
        memset(p, 0, 64);
        for (int i = 0; i < 8; ++i)
            if (const Window *x = state.FindWindow("/dev/mtd" + std::to_string(i))) {
                PutBe32(p + 8 * i, x->size);
                PutBe32(p + 8 * i + 4, x->dataLength.value_or(x->size));
            }
        return {0, 0};
    }
    case VAKO_MTD_FORMAT: {
        uint32_t units = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg));
        if (state.chipSize % VAKO_MTD_UNIT_SIZE != 0 || units != state.chipSize / VAKO_MTD_UNIT_SIZE)
            return Err(EINVAL);
        if (!s.ChipFill(0, 0xFF, state.chipSize))
            return Err(EIO);
        state.formatted = DescriptorName(fd);
        return {0, 0};
    }
    case VAKO_MTD_SET_PART_TABLE: {
        // Only right after a format, on the descriptor that formatted.
        if (state.formatted.empty() || state.formatted != DescriptorName(fd))
            return Err(EINVAL);
        int32_t units[8];
        for (int i = 0; i < 8; ++i)
            units[i] = static_cast<int32_t>(GetBe32(p + 4 * i));
        uint64_t total = 0;
        for (int32_t u : units) {
            if (u < 0)
                return Err(EINVAL);
            total += static_cast<uint64_t>(u) * VAKO_MTD_UNIT_SIZE;
        }
        if (total > state.chipSize)
            return Err(EINVAL);
        uint32_t offset = 0;
        for (int i = 0; i < 8; ++i) {
            std::string name = "/dev/mtd" + std::to_string(i);
            Window *x = state.FindWindow(name);
            if (!x) {
                Window fresh;
                fresh.device = name;
                state.windows.push_back(fresh);
                x = &state.windows.back();
            }
            x->offset = offset;
            x->size = static_cast<uint32_t>(units[i]) * VAKO_MTD_UNIT_SIZE;
            x->dataLength = x->size;
            x->locked = false;
            offset += x->size;
        }
        return {0, 0};
    }
    default:
        return Err(ENOTTY);
    }
}

Res MdIoctl(const Dev &d, MdArray &m, uint32_t req, void *arg)
{
    switch (req) {
    case VAKO_MD_GET_ARRAY_INFO: {
        if (!m.active)
            return Err(ENODEV);
        int32_t info[18] = {};
        info[1] = 90; // minor_version
        info[4] = m.level;
        info[5] = m.componentKB;
        info[6] = m.nrDisks;
        info[7] = m.raidDisks;
        info[8] = atoi(d.path.c_str() + 7); // md_minor
        memcpy(arg, info, sizeof info);
        return {0, 0};
    }
    case VAKO_BLKGETSIZE64: {
        uint64_t bytes = m.active ? m.deviceBytes : 0;
        memcpy(arg, &bytes, sizeof bytes);
        return {0, 0};
    }
    case VAKO_MD_GET_SYNC_STATUS:
        if (!m.active)
            return Err(ENODEV);
        memcpy(arg, m.sync.data(), sizeof(uint32_t) * 3);
        return {0, 0};
    default:
        return Err(ENOTTY);
    }
}

// The fault knob of the request, when its turn has come.
const Fault *IoctlFault(Session &s, const Dev &d, uint32_t req)
{
    const Fault *hit = nullptr;
    for (auto &f : s.state.faults) {
        if (f.device != d.path)
            continue;
        bool counts = (f.kind == FaultKind::FailIoctl && f.request == req) ||
                      (f.kind == FaultKind::FailErase && req == VAKO_MEMERASE);
        if (!counts)
            continue;
        s.Dirty();
        if (st::Acts(f) && !hit)
            hit = &f;
    }
    return hit;
}

} // namespace

Res DeviceIoctl(int fd, const Dev &d, unsigned long request, void *arg)
{
    auto req = static_cast<uint32_t>(request);
    Session s;
    if (!s.Begin(true))
        return Err(ENXIO);
    std::string name = RequestText(req);
    Res r;
    std::string args;
    Window *w = s.state.FindWindow(d.path);
    MdArray *m = s.state.FindMd(d.path);
    if (!w && !m) {
        r = Err(ENXIO);
    } else if (TakesPointer(req) && !arg) {
        r = Err(EFAULT);
    } else {
        args = ArgsText(req, arg);
        if (const Fault *f = IoctlFault(s, d, req))
            r = Err(f->error);
        else
            r = w ? MtdIoctl(s, fd, d, *w, req, arg) : MdIoctl(d, *m, req, arg);
    }
    // A format's mark lasts until the next request.
    if (req != VAKO_MTD_FORMAT || r.err)
        s.state.formatted.clear();
    s.Journal(d.path, name, args, r);
    s.Dirty();
    return r;
}

bool KernelCall(long n, long arg, long *ret)
{
    if (n != VAKO_SYSCALL_MSYS_FLAG && n != VAKO_SYSCALL_MTD_BUFFER)
        return false;
    Session s;
    if (!s.Begin(true)) {
        // Never this machine's kernel: its own calls may have these numbers
        // (msgrcv and clock_adjtime64 on 32-bit x86), so answer as a kernel
        // without the appliance's extensions does.
        *ret = Finish(Err(ENOSYS), errno);
        return true;
    }
    const auto &c = s.state.calls;
    Res r;
    std::string args;
    if (n == VAKO_SYSCALL_MSYS_FLAG) {
        if (c.msys401 == Call::Absent)
            r = Err(ENOSYS);
        else if (c.msys401 == Call::Refused)
            r = Err(c.errno401);
        else if (!arg)
            r = Err(EFAULT);
        else
            memcpy(reinterpret_cast<void *>(arg), &c.msysWord, sizeof c.msysWord);
    } else {
        args = "arg=" + std::to_string(static_cast<int>(arg));
        if (c.mtdBuf405 == Call::Absent)
            r = Err(ENOSYS);
        else if (c.mtdBuf405 == Call::Refused)
            r = Err(c.errno405);
    }
    s.Journal("-", "syscall" + std::to_string(n), args, r);
    *ret = Finish(r, errno);
    return true;
}

} // namespace kstublib
