// The updater's migrations: the flags that say which ones the installed build
// needs (flags.cpp), the pre-patch migrations (migrate_pre.cpp), the
// configuration update (config_update.cpp) with its steps (migrate_*.cpp),
// and the photo and media databases (migrate_media_db.cpp).
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

#include "updater.h"

extern "C" {

// ---- migration flags ----
extern int gfRemoveRcAtalk, gfRemovePapdConf, gfAddFTPAccounts, gfRemoveProfile, gfRemoveJumboFrameScript,
    gfOldWriteableLayout, gfRecoverFISDir, gfLowerMTUValue, gPhotoDbSteps, gfUpdateRsyncdConf, gfMoveMTUValue,
    gfUpdateRsyncdSecrets, gfUpdateSmmspGroup, gfLimitFTPPortRange, gfConvertUSBBackup, gfChmodPhotoEaDir,
    gfRewritePasswdHomes, gfCreateUserConf, gfConvertNetBackup, gfAddMailUsers, gfConvertCodepage, gfCopyBond0MTU,
    gfDropMediaServerDb, gfConvertFTPWriteOnly, gfDumpPgsqlDbs, gfRemoveALB, gfConvertFTPBlockIP,
    gfLinkSqueezeCenterErrmsg, gfRemoveEventTest, gfRestrictSecretFiles;

// Sets the flags of the migrations an installed build needs; never clears one.
void UPDTSetUpgradeFlags(int build);

// ---- pre-patch migrations (the normal road, before the partition list is read) ----

// Runs each migration whose flag word is 1, in order: 0, or the result code
// of the first one that must succeed and failed (the road then ends).
int UPDTRunPrePatchMigrations(void);
// The FIS directory recovery is RecoverFISDirTable_M88_V284 (flash.h).
// The others below log their own failures (a value that does not fit its
// buffer is left as it is, never written back cut).

// Cuts the FTP passive port range to 128 ports above ftplowport: 0, or -1
// (logged) when a port key cannot be read or ftphighport cannot be written.
int UpdateFTPPassivePortRange(void);
// Inserts "use chroot = no" after the rsync configuration's "lock file ="
// line when it has none (then mode 0644), and gives the secrets file mode
// 0640, owner 0, group 25.
void UpdateRsyncdConf(void);
// Rewrites the rsync secrets with every value after '|' that is not base64
// replaced by the base64 of its bytes and NUL; lines without '|' go.  The
// new file (0640, 0:25) replaces the old only when complete and synced.
void CheckAndUpdateRsyncdSecrets(void);
// Makes "admin" a member of group "smmsp" in /etc/group, a member "nobody"
// kept last and no other member lost.
void CheckAndUpdateSmmspGroup(void);
// Unless the local backup sets exist, turns the old USB backup keys into
// the local set "MyBackupSet" (the keys then go) and moves the old USB
// backup's crontab schedule to it.
void UpdateUSBBackupToLocalBackup(void);
// Gives every network backup set its own name as share list, then
// UpdateNetBackupConfigPath.
void UpdateNetBackupSets(void);
// Moves each network backup set's saved configuration file into the "@app"
// directory beside it (made 0777 when missing); no shell is involved.
void UpdateNetBackupConfigPath(void);
// Converts "codepage" and "codepage_mediaservice" and drops "codepage_apple".
void UpdateCodepageKeys(void);
// Replaces the code-page number of szKey in the appliance settings by its
// language code ("enu" for other numbers, a value not a number, or no key);
// a language code already there stays.
void UpdateCodepageKey(const char *szKey);

// ---- configuration update ----

// Runs each step whose flag is set (two always run), in order, every step
// whatever the one before gave: 0, or -1 when a step that must succeed failed.
int UPDTUpdateConfig(void);

// Steps of the configuration update in the migration areas; each logs its
// own failures and gives 0, or -1 when it failed.
// accounts and groups (migrate_accounts.cpp)
int RenameConflictUser(const char *name);
int UPDTAddFTPAccounts(void);     // step 3
int UPDTRewritePasswdHomes(void); // step 11
int UPDTCreateUserConf(void);     // step 12
int UPDTAddMailUsers(void);       // step 13
// network settings (migrate_network.cpp): a value that cannot be read whole
// or written elsewhere stays where it was
int UPDTLowerMTUValue(void); // step 9
int UPDTMoveMTUValue(void);  // step 10
int UPDTCopyBond0MTU(void);  // step 14
int UPDTRemoveALB(void);     // step 16
// service settings (migrate_services.cpp)
// Step 15: rewrites smb.conf with each "ftp write only" option line replaced
// by the three "ftp disable" lines (value holding "yes") or dropped: 0, or
// -1 (logged; the caller logs its own line too) with smb.conf as it was.
int ConvertFTPWriteOnlyFlag(void);
// Step 17: moves the IPv4 clients of the hosts deny list into the auto-block
// list (settings set when ftpipautodeny was yes; the key removed); the deny
// lines go only when every address was added: 0, or -1 (logged) when the
// deny list cannot be read or pruned.
int AutoBlockConvertFTPBlockIP(void);
// Step 18: replaces the media server's message files (not links yet) by
// links to the system's copies, a copy kept when its link cannot replace
// it: 0, or -1 (logged).
int UPDTLinkSqueezeCenterErrmsg(void);
// Step 19: removes key eventtest from the appliance settings: 0, or -1
// (logged with the recorded code, 0x2000 for an absent key).
int UPDTRemoveEventTest(void);

// ---- photo and media databases (migrate_media_db.cpp) ----

// Runs the database commands its flags ask for, then the media indexer;
// their results are not looked at: 0.
int UpdatePhotoDatabase(void);
// Gives every directory named "@eaDir" below the photo folder, and all
// below it, mode 0777, never through a link (best effort, nothing logged).
void UpdatePhotoEaDirRights(void);

} // extern "C"
