#include "vakotest/accounts.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <vector>

#include "vakotest/files.h"
#include "vakotest/paths.h"

namespace vakotest {

void SetMtime(const std::string &path, time_t mtime)
{
    struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
        throw std::runtime_error("cannot set the times of " + path);
}

void WriteAccountFiles(const AccountFiles &files, time_t mtime)
{
    const struct {
        const char *path;
        const std::string &text;
        unsigned mode;
    } all[] = {{kPasswdFile, files.passwd, 0644},
               {kShadowFile, files.shadow, 0600},
               {kVakoUserConf, files.vakouserConf, 0644},
               {kSmbPasswdFile, files.smbpasswd, 0600}};
    for (const auto &f : all) {
        WriteFile(f.path, f.text, f.mode);
        SetMtime(f.path, mtime);
    }
}

namespace {

std::string ReadOrMissing(const char *path) { return FileExists(path) ? ReadFile(path) : std::string("<missing>"); }

} // namespace

AccountFiles ReadAccountFiles()
{
    return {ReadOrMissing(kPasswdFile), ReadOrMissing(kShadowFile), ReadOrMissing(kVakoUserConf),
            ReadOrMissing(kSmbPasswdFile)};
}

void WriteGroupFiles(const GroupFiles &files, time_t mtime)
{
    for (const auto &[path, text] :
         {std::pair{kGroupFile, &files.group}, std::pair{kGroupDescFile, &files.groupDesc}}) {
        WriteFile(path, *text, 0644);
        SetMtime(path, mtime);
    }
}

GroupFiles ReadGroupFiles() { return {ReadOrMissing(kGroupFile), ReadOrMissing(kGroupDescFile)}; }

AccountLines MadeUpAccount(const std::string &name, int uid)
{
    const std::string id = std::to_string(uid);
    return {name + ":x:" + id + ":100:" + name + " account:/var/services/homes/" + name + ":/bin/sh",
            name + ":$1$Ab$k0zTvJbDuLFMUE3qVDTZS/:15000:0:99999:7:::", name + ":0:",
            name + ":" + id +
                ":0123456789ABCDEF0123456789ABCDEF:FEDCBA9876543210FEDCBA9876543210:[U          ]:LCT-5F5E1000:"};
}

AccountFiles MadeUpAccounts(int n, int firstUid, unsigned seed, int lastUid)
{
    std::vector<AccountLines> accounts;
    accounts.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; i++)
        accounts.push_back(MadeUpAccount("user" + std::to_string(firstUid + i), firstUid + i));
    if (seed)
        std::shuffle(accounts.begin(), accounts.end(), std::mt19937(seed));
    AccountFiles files;
    files.vakouserConf = "#$_@UID__INDEX@_$" + std::to_string(lastUid) +
                         "$\n# record user misc, format \"user_name:user_privilege:user_mail\"\n";
    for (const AccountLines &a : accounts) {
        files.passwd += a.passwd + "\n";
        files.shadow += a.shadow + "\n";
        files.vakouserConf += a.misc + "\n";
        files.smbpasswd += a.smb + "\n";
    }
    return files;
}

} // namespace vakotest
