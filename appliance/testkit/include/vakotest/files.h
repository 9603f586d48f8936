// Files of the throwaway appliance as the tests read and write them.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vakotest {

// True inside a throwaway appliance made by vako-sandbox.
bool InSandbox();

std::string ReadFile(const std::string &path);
bool FileExists(const std::string &path);
// Creates the missing parent directories.
void WriteFile(const std::string &path, const std::string &content, unsigned mode = 0644);
void RemoveFile(const std::string &path);

// Files: permission bits (07777), owner, type; directory listing.
unsigned FileMode(const std::string &path);
uid_t FileUid(const std::string &path);
gid_t FileGid(const std::string &path);
bool IsDirectory(const std::string &path);
void MakeDirs(const std::string &path, unsigned mode = 0755);
// What stands at path itself (never followed): its type, permission bits,
// owner and number of links, e.g. "file 0644 0 1", "link 0777 65534 1",
// "fifo 0666 0 1"; "none".
std::string Standing(const std::string &path);
// The text a symbolic link holds; "<no link>" when path is none.
std::string LinkTarget(const std::string &path);
// Names in a directory (no "." and "..", nor the project tree bound in at
// its own path), sorted; empty when it cannot be read.
std::vector<std::string> ListDir(const std::string &path);

// Appliance-only kernel files, e.g. /proc/sys/kernel/vako_hw_version,
// /sys/block/md0/md/dev-sda1/state or /sys/class/net/bond0/bonding/mode: the
// first call masks the directory (/proc/sys/kernel, /sys/block or
// /sys/class/net) with a tmpfs, later ones write into it; the usual sysctls
// and the interfaces of /sys/class/net stay.  /proc/net/bonding/<bond> is
// seen by the calling process only (/proc/net is each process's own), beside
// the real entries of /proc/net.
void MountKernelFile(const std::string &path, const std::string &content);

} // namespace vakotest
