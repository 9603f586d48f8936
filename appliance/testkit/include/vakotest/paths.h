// The appliance's fixed paths as the tests name them.  The product's own
// constants are private to it; a test that expects a path states it here.
#pragma once

namespace vakotest {

inline constexpr const char *kProgressFile = "/tmp/update.progress";
inline constexpr const char *kMessageFile = "/tmp/update.message";
inline constexpr const char *kUpdateLog = "/var/log/vakoupdate.log";
inline constexpr const char *kInfoFile = "/etc/vakoinfo.conf";
inline constexpr const char *kInfoDefaultsFile = "/etc.defaults/vakoinfo.conf";
inline constexpr const char *kInstalledVersionFile = "/etc.defaults/VERSION";
inline constexpr const char *kHwVersionFile = "/proc/sys/kernel/vako_hw_version";
inline constexpr const char *kCrontab = "/etc/crontab";
inline constexpr const char *kInitrd = "/initrd";
inline constexpr const char *kVolume = "/volume1";
inline constexpr const char *kPackageDir = "/volume1/upd@te";
inline constexpr const char *kMovedArchive = "/volume1/VakoUpgrade.tar.gz";
inline constexpr const char *kNormalShutdown = "/.NormalShutdown";
inline constexpr const char *kSmbConf = "/usr/vako/etc/smb.conf";
inline constexpr const char *kHostsDeny = "/etc/hosts.deny";
inline constexpr const char *kAutoBlockList = "/etc/vakoIPs.deny";
// The media server's message files and the system's copies they link to.
inline constexpr const char *kSqueezeErrmsgSys = "/var/packages/SqueezeCenter/target/MySQL/errmsg.sys";
inline constexpr const char *kSqueezeErrmsgTxt = "/var/packages/SqueezeCenter/target/MySQL/errmsg.txt";
inline constexpr const char *kSystemErrmsgSys = "/usr/vako/mysql/share/mysql/english/errmsg.sys";
inline constexpr const char *kSystemErrmsgTxt = "/usr/vako/mysql/share/mysql/errmsg.txt";

// The lock table's directory and files.
inline constexpr const char *kLockDir = "/tmp/lock";
inline constexpr const char *kLockFileNames[] = {
    "lock_vakoinfo", "lock_pw",       "lock_gr",       "lock_rc",       "lock_host",  "lock_smb",
    "lock_exports",  "lock_nw",       "lock_apple",    "lock_snmp",     "lock_win",   "lock_tapebkp",
    "lock_connect",  "lock_usbidmap", "lock_duseruid", "lock_dusergid", "lock_fstab", "lock_hotswap",
};

// The account files and the user database's cache files.
inline constexpr const char *kPasswdFile = "/etc/passwd";
inline constexpr const char *kShadowFile = "/etc/shadow";
inline constexpr const char *kVakoUserConf = "/etc/vakouser.conf";
inline constexpr const char *kSmbPasswdFile = "/usr/vako/etc/private/smbpasswd";
inline constexpr const char *kDomainUserFile = "/usr/vako/etc/private/domain_user";
inline constexpr const char *kUserDbName = "/tmp/.db.user.name.0966";
inline constexpr const char *kUserDbMisc = "/tmp/.db.user.misc.0966";
inline constexpr const char *kUserDbShadow = "/tmp/.db.user.shadow.0966";
inline constexpr const char *kUserDbSmb = "/tmp/.db.user.smb.0966";
inline constexpr const char *kUserDbUid = "/tmp/.db.user.uid.0966";
inline constexpr const char *kUserDbTmpPrefix = "/tmp/.db.user.tmp";
inline constexpr const char *kUserDbRebuildLock = "/tmp/.db.user.tmp.lock";

// The group files, the share database and the account daemon's pid file.
inline constexpr const char *kGroupFile = "/etc/group";
inline constexpr const char *kGroupDescFile = "/etc/group_desc";
inline constexpr const char *kDomainGroupFile = "/usr/vako/etc/private/domain_group";
inline constexpr const char *kGroupDbName = "/tmp/.db.group.name.0966";
inline constexpr const char *kGroupDbId = "/tmp/.db.group.id.0966";
inline constexpr const char *kGroupDbDesc = "/tmp/.db.group.desc.0966";
inline constexpr const char *kShareDb = "/tmp/.db.vakoshare.0966";
inline constexpr const char *kGroupDbRebuildLock = "/tmp/.db.group.tmp.lock";
inline constexpr const char *kShareDbRebuildLock = "/tmp/.db.vakoshare.tmp.lock";
inline constexpr const char *kScemdPid = "/var/run/scemd.pid";

// The users' mail addresses, a key file of user names.
inline constexpr const char *kMailKeys = "/etc/mail";

// The users' home folders.
inline constexpr const char *kUserHomes = "/var/services/homes";

// The rsync service's files, the backup sets, the network sets' saved
// configurations.
inline constexpr const char *kRsyncdConf = "/etc/rsyncd.conf";
inline constexpr const char *kRsyncdSecrets = "/etc/rsyncd.secrets";
inline constexpr const char *kLocalBkpConf = "/etc/vakolocalbkp.conf";
inline constexpr const char *kNetBkpConf = "/etc/vakonetbkp.conf";
inline constexpr const char *kNetBackupDir = "/var/services/NetBackup";

// The stand-ins' own files: the system log, the calls of the stand-in
// programs and the listings the partition tool prints.
inline constexpr const char *kSyslogFile = "/.sandbox/syslog";
inline constexpr const char *kStandinCalls = "/.sandbox/calls";
inline constexpr const char *kSfdiskListings = "/.sandbox/sfdisk/";

} // namespace vakotest
