#include <endian.h>
// kstub-probe: makes the kernel requests of the appliance's code, one
// command word after another on one descriptor, and prints one line per
// command ("<command> <result...>", failures as "<command> -1 <ERRNO>").
// The kernel stand-in's tests run it with the library preloaded.
//
//   open PATH r|w|rw      close            getinfo          erase START LEN
//   lock START LEN        unlock START LEN setpart OFF SIZE setfis NAME BASE SIZE DLEN
//   gettable              format UNITS     settable U0..U7  ioctl REQ
//   read N                pread OFF N      write HEX        pwrite OFF HEX
//   seek OFF set|cur|end  stat PATH        fstat            access PATH
//   sys401                sys405 ARG       mdinfo           mdsize
//   mdsync                fopen PATH N     fdopen N         dup
//   sysgetpid
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "vako/flash.h"
#include "vako/kernel.h"

namespace {

int gFd = -1;

unsigned long Num(const char *s) { return strtoul(s, nullptr, 0); }

void Fail(const char *cmd) { printf("%s -1 %s\n", cmd, strerrorname_np(errno)); }

std::string Hex(const unsigned char *p, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

std::vector<unsigned char> Unhex(const char *s)
{
    std::vector<unsigned char> v;
    for (size_t i = 0; s[i] && s[i + 1]; i += 2) {
        char b[3] = {s[i], s[i + 1], 0};
        v.push_back(static_cast<unsigned char>(strtoul(b, nullptr, 16)));
    }
    return v;
}

void Region(const char *cmd, unsigned long req, const char *start, const char *len)
{
    erase_info_user e{static_cast<uint32_t>(Num(start)), static_cast<uint32_t>(Num(len))};
    if (ioctl(gFd, req, &e) != 0)
        return Fail(cmd);
    printf("%s 0\n", cmd);
}

void PrintStat(const char *cmd, const struct stat &st)
{
    const char *kind = S_ISCHR(st.st_mode)   ? "chr"
                       : S_ISBLK(st.st_mode) ? "blk"
                       : S_ISREG(st.st_mode) ? "reg"
                                             : "other";
    printf("%s 0 %s %u:%u size=%lld\n", cmd, kind, major(st.st_rdev), minor(st.st_rdev),
           static_cast<long long>(st.st_size));
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    for (int i = 1; i < argc; ++i) {
        const char *c = argv[i];
        auto arg = [&](int k) -> const char * { return i + k < argc ? argv[i + k] : ""; };
        std::string cmd = c;
        if (cmd == "open") {
            std::string m = arg(2);
            int flags = m == "r" ? O_RDONLY : m == "w" ? O_WRONLY : O_RDWR;
            gFd = open(arg(1), flags);
            gFd < 0 ? Fail(c) : (void)printf("open 0\n");
            i += 2;
        } else if (cmd == "close") {
            close(gFd) != 0 ? Fail(c) : (void)printf("close 0\n");
        } else if (cmd == "dup") {
            int fd = dup(gFd);
            fd < 0 ? Fail(c) : (void)printf("dup 0\n");
            close(gFd);
            gFd = fd;
        } else if (cmd == "getinfo") {
            mtd_info_user info;
            memset(&info, 0xAA, sizeof info);
            if (ioctl(gFd, VAKO_MEMGETINFO, &info) != 0) {
                Fail(c);
                continue;
            }
            printf("getinfo 0 %s\n", Hex(reinterpret_cast<unsigned char *>(&info), sizeof info).c_str());
        } else if (cmd == "erase" || cmd == "lock" || cmd == "unlock") {
            unsigned long req = cmd == "erase" ? VAKO_MEMERASE : cmd == "lock" ? VAKO_MEMLOCK : VAKO_MEMUNLOCK;
            Region(c, req, arg(1), arg(2));
            i += 2;
        } else if (cmd == "setpart") {
            uint32_t rec[2] = {htobe32(static_cast<uint32_t>(Num(arg(1)))),
                               htobe32(static_cast<uint32_t>(Num(arg(2))))};
            ioctl(gFd, VAKO_MTD_SET_PARTITION, rec) != 0 ? Fail(c) : (void)printf("setpart 0\n");
            i += 2;
        } else if (cmd == "setfis") {
            VAKOFISENTRYINFO e;
            memset(&e, 0, sizeof e);
            strncpy(e.name, arg(1), sizeof e.name - 1);
            // The record goes to the kernel big-endian.
            e.flash_base = htobe32(static_cast<uint32_t>(Num(arg(2))));
            e.size = htobe32(static_cast<uint32_t>(Num(arg(3))));
            e.data_length = htobe32(static_cast<uint32_t>(Num(arg(4))));
            ioctl(gFd, VAKO_MTD_SET_FIS_ENTRY, &e) != 0 ? Fail(c) : (void)printf("setfis 0\n");
            i += 4;
        } else if (cmd == "gettable") {
            uint32_t t[16] = {};
            if (ioctl(gFd, VAKO_MTD_GET_PART_TABLE, t) != 0) {
                Fail(c);
                continue;
            }
            printf("gettable 0");
            for (int k = 0; k < 8; ++k)
                printf(" %u,%u", be32toh(t[2 * k]), be32toh(t[2 * k + 1]));
            printf("\n");
        } else if (cmd == "format") {
            ioctl(gFd, VAKO_MTD_FORMAT, static_cast<unsigned long>(Num(arg(1)))) != 0 ? Fail(c)
                                                                                      : (void)printf("format 0\n");
            i += 1;
        } else if (cmd == "settable") {
            int32_t u[8];
            for (int k = 0; k < 8; ++k)
                u[k] = static_cast<int32_t>(htobe32(static_cast<uint32_t>(strtol(arg(1 + k), nullptr, 0))));
            ioctl(gFd, VAKO_MTD_SET_PART_TABLE, u) != 0 ? Fail(c) : (void)printf("settable 0\n");
            i += 8;
        } else if (cmd == "ioctl") {
            unsigned char buf[256] = {};
            ioctl(gFd, Num(arg(1)), buf) != 0 ? Fail(c) : (void)printf("ioctl 0\n");
            i += 1;
        } else if (cmd == "read" || cmd == "pread") {
            bool p = cmd == "pread";
            size_t n = Num(arg(p ? 2 : 1));
            std::vector<unsigned char> buf(n);
            ssize_t r = p ? pread(gFd, buf.data(), n, static_cast<off_t>(Num(arg(1)))) : read(gFd, buf.data(), n);
            r < 0 ? Fail(c) : (void)printf("%s %zd %s\n", c, r, Hex(buf.data(), static_cast<size_t>(r)).c_str());
            i += p ? 2 : 1;
        } else if (cmd == "write" || cmd == "pwrite") {
            bool p = cmd == "pwrite";
            auto data = Unhex(arg(p ? 2 : 1));
            ssize_t r = p ? pwrite(gFd, data.data(), data.size(), static_cast<off_t>(Num(arg(1))))
                          : write(gFd, data.data(), data.size());
            r < 0 ? Fail(c) : (void)printf("%s %zd\n", c, r);
            i += p ? 2 : 1;
        } else if (cmd == "seek") {
            std::string w = arg(2);
            int whence = w == "set" ? SEEK_SET : w == "cur" ? SEEK_CUR : SEEK_END;
            off_t r = lseek(gFd, static_cast<off_t>(strtol(arg(1), nullptr, 0)), whence);
            r < 0 ? Fail(c) : (void)printf("seek %lld\n", static_cast<long long>(r));
            i += 2;
        } else if (cmd == "stat") {
            struct stat st;
            stat(arg(1), &st) != 0 ? Fail(c) : PrintStat(c, st);
            i += 1;
        } else if (cmd == "fstat") {
            struct stat st;
            fstat(gFd, &st) != 0 ? Fail(c) : PrintStat(c, st);
        } else if (cmd == "access") {
            access(arg(1), R_OK | W_OK) != 0 ? Fail(c) : (void)printf("access 0\n");
            i += 1;
        } else if (cmd == "sys401") {
            uint32_t word = 0xDEADBEEF;
            long r = syscall(VAKO_SYSCALL_MSYS_FLAG, &word);
            r != 0 ? Fail(c) : (void)printf("sys401 0 0x%x\n", word);
        } else if (cmd == "sys405") {
            syscall(VAKO_SYSCALL_MTD_BUFFER, static_cast<long>(Num(arg(1)))) != 0 ? Fail(c)
                                                                                  : (void)printf("sys405 0\n");
            i += 1;
        } else if (cmd == "sysgetpid") {
            syscall(SYS_getpid) == getpid() ? (void)printf("sysgetpid 0\n") : Fail(c);
        } else if (cmd == "mdinfo") {
            int32_t info[18];
            memset(info, 0xAA, sizeof info);
            if (ioctl(gFd, VAKO_MD_GET_ARRAY_INFO, info) != 0) {
                Fail(c);
                continue;
            }
            printf("mdinfo 0");
            for (int32_t v : info)
                printf(" %d", v);
            printf("\n");
        } else if (cmd == "mdsize") {
            uint64_t n = 0;
            ioctl(gFd, VAKO_BLKGETSIZE64, &n) != 0
                ? Fail(c)
                : (void)printf("mdsize 0 %llu\n", static_cast<unsigned long long>(n));
        } else if (cmd == "mdsync") {
            uint32_t w[3] = {9, 9, 9};
            ioctl(gFd, VAKO_MD_GET_SYNC_STATUS, w) != 0 ? Fail(c)
                                                        : (void)printf("mdsync 0 %u %u %u\n", w[0], w[1], w[2]);
        } else if (cmd == "fopen" || cmd == "fdopen") {
            bool path = cmd == "fopen";
            FILE *f = path ? fopen(arg(1), "r") : fdopen(gFd, "r");
            if (!f) {
                Fail(c);
                i += path ? 2 : 1;
                continue;
            }
            size_t n = Num(arg(path ? 2 : 1));
            std::vector<unsigned char> buf(n);
            size_t r = fread(buf.data(), 1, n, f);
            struct stat st;
            bool chr = fstat(fileno(f), &st) == 0 && S_ISCHR(st.st_mode);
            printf("%s %zu %s %s\n", c, r, Hex(buf.data(), r).c_str(), chr ? "chr" : "notchr");
            fclose(f);
            if (!path)
                gFd = -1;
            i += path ? 2 : 1;
        } else {
            fprintf(stderr, "kstub-probe: unknown command %s\n", c);
            return 2;
        }
    }
    return 0;
}
