// The updater's private interface, one header per family: this one holds the
// result codes, the process-wide state and the exit tail's files, the fixed
// paths and the shell commands, the analysis; flash.h the flash roads and
// their tables; migrate.h the migrations.  Private to the program and its
// tests.
#pragma once

#include <stdint.h>

#include "vako/info.h"

extern "C" {

// Result codes: the process exit status; the final progress carries it negated.
enum {
    UPDT_SUCCESS = 0,
    UPDT_ERR_OPEN_CWD = 1,
    UPDT_ERR_RETURN_CWD = 2,
    UPDT_ERR_CHDIR = 3,
    UPDT_ERR_READ_VER = 6,
    UPDT_ERR_READ_PATCH_VER = 7,
    UPDT_ERR_READ_MOD = 8,
    UPDT_ERR_READ_PATCH_MOD = 9,
    UPDT_ERR_VERSION = 10,
    UPDT_ERR_MODEL = 11,
    UPDT_ERR_COMPANY = 12,
    UPDT_ERR_PATCH = 13,
    UPDT_ERR_UNKNOWN = 14,
    UPDT_ERR_BACKUP = 15,
    UPDT_ERR_SPACE = 16,
    UPDT_ERR_CONFIG = 17,
    UPDT_ERR_PART_INFO = 18,
    UPDT_ERR_PATCH_INFO = 19,
    UPDT_ERR_FLASH = 20,
    UPDT_ERR_MIGRATION = 21,
    UPDT_ERR_FSTYPE = 22,
    UPDT_ERR_MEMORY = 23,
    UPDT_ERR_REBOOT = 24,
};

// The result word of a result code (NULL for -1 and unknown codes).
const char *SzUPDTResultWord(int result);

// The source position of the updater's messages: "%s:%d" names the program's
// one source file (this, whatever file of ours holds the step), "%s(%d)" the
// function that the message belongs to.
#define UPDT_SOURCE_FILE "updater"

// ---- fixed paths ----
#define UPDT_PROGRESS_FILE     "/tmp/update.progress"
#define UPDT_MESSAGE_FILE      "/tmp/update.message"
#define UPDT_LOG_FILE          "/var/log/vakoupdate.log"
#define UPDT_INITRD            "/initrd"
#define UPDT_VOLUME            "/volume1" // the volume unless -v names another
#define UPDT_PACKAGE_DIR       "upd@te"   // on the volume, when the program path has no '/'
#define UPDT_PACKAGE_VERSION   "VERSION"  // in the package directory
#define UPDT_INSTALLED_VERSION "/etc.defaults/VERSION"
#define UPDT_ARCHIVE           "hda1.tgz"           // in the package directory
#define UPDT_ARCHIVE_TARGET    "VakoUpgrade.tar.gz" // on the volume
#define UPDT_WRITEABLE         "/writeable"
#define UPDT_SYSTEM_ARRAY      "/dev/md0"
#define UPDT_SYSTEM_DISK       "/dev/hda"
#define UPDT_TMP_ROOT          "/tmpRoot"
#define UPDT_SHUTDOWN_MARK     ".NormalShutdown"
#define UPDT_VAKO_ETC          "/usr/vako/etc"
#define UPDT_RC_D              UPDT_VAKO_ETC "/rc.d"
#define UPDT_PGSQL_SCRIPT      UPDT_RC_D "/S20pgsql.sh"
#define UPDT_PHOTO_DIR         "/var/services/photo/"
// Programs the shell commands start.
#define UPDT_BIN_CP    "/bin/cp"
#define UPDT_BIN_DD    "/bin/dd"
#define UPDT_BIN_MKDIR "/bin/mkdir"
#define UPDT_BIN_MV    "/bin/mv"
#define UPDT_BIN_RM    "/bin/rm"

// ---- process state ----
#define UPDT_VOLUME_ROOM     32 // 31 characters and the NUL
#define UPDT_UPDATE_DIR_ROOM 256
#define UPDT_DEV_ROOM        10

extern char gszVolume[UPDT_VOLUME_ROOM];
extern char gszUpdateDir[UPDT_UPDATE_DIR_ROOM];
extern int gfGroupUpdate;
extern int gfJunior;
extern int gfNoInitrd;
extern int gfMtdBufSyscall;

// Moves the package's disk archive onto the volume, when the package has
// one; a failure is logged under szFunc's name, and whatever the failed
// move left at the target is removed (logged).
void UPDTMoveArchive(const char *szFunc);

// ---- shell commands ----
// The longest path a command names: the package directory and a name in
// it (an image, the archive, a dump "b@ckup/mtd_<name>"), or the volume
// and a name.
#define UPDT_PATH_ROOM (2 * UPDT_UPDATE_DIR_ROOM)
// A path quoted as one argument: each character may take four ('\'').
#define UPDT_QUOTED_ROOM (4 * UPDT_PATH_ROOM + 3)
// Two quoted paths and the program's own words around them.
#define UPDT_CMD_ROOM (2 * UPDT_QUOTED_ROOM + 256)

// Runs szCmd through the shell: 0 when it exited with 0, else -1 (logged;
// a command killed by a signal fails too).
int UPDTExecute(const char *szCmd);
// Quotes `szText` for the shell as one argument ('...' with each ' as '\'').
// Returns the length written, or -1 (nothing usable) when it does not fit.
int UPDTShellQuote(const char *szText, char *szOut, int cbOut);
// `szText` as one shell word: as it stands when the shell reads it so anyway
// (letters, digits, "/._-@+"), else as UPDTShellQuote gives it.  Returns the
// length written, or -1 (nothing usable) when it does not fit.
int UPDTShellWord(const char *szText, char *szOut, int cbOut);
// snprintf that refuses a result that does not fit: -1, logged.
int UPDTFormatCommand(char *szCmd, int cbCmd, const char *szFmt, ...) __attribute__((format(printf, 3, 4)));

// ---- progress, message and update-log files ----

// Writes szText at the start of szPath under an exclusive flock, retried
// when fWait; never blocks.  szPath names a file of the updater's own:
// anything else found there (a link, a FIFO, a device, a file of another
// owner or with a second link) is removed, logged, and a fresh file made.
// 0, -1 (no path, no file of our own to be had), -2 (lock not had), -3 (no
// text, write failed).
int UPDTWriteFileLocked(const char *szPath, const char *szText, int fWait);
// Removes what lies at szPath unless it is a plain file of the updater's
// own (regular, its owner, one link; not followed): 1 removed (logged), 0
// nothing to remove, -1 it cannot be removed (logged).
int UPDTDropPlantedFile(const char *szPath);
// Writes "%c:%d:      " to the progress file unless the file already holds
// exactly that from the last write; a failure is dropped.
void UPDTSetProgress(char stage, int value);
// Writes "%s=\"%s\"" (at most 1023 characters) to the message file.
void UPDTSetMessage(const char *szKey, const char *szValue);
// Sets the message file's extramsg to szText (replacing a name that another
// user left there, see UPDTDropPlantedFile); a failure is dropped.
void UPDTWriteMessage(const char *szText);
// Removes the message file's extramsg when it holds exactly szText (a
// message that no longer holds); any other message stays.
void UPDTDropMessage(const char *szText);
// Appends a time-stamped line to the update log, each control byte of
// szText (below 0x20, and 0x7f) written as \xNN.
void UPDTWriteLog(const char *szText);
// Empties the update log when it is larger than 10000 bytes.
void UPDTCheckLogSize(void);

// ---- analysis ----

// 0 when the package may be installed here (the migration flags are then
// set), else the result code of the refusal.
int ErrUPDTIAnalyze_WholeSystem(void);
// One VERSION key file's four version keys as read, and the numbers parsed
// from them (leading decimal digits, 0 when none, clamped to int).
typedef struct {
    char szMajor[5];
    char szMinor[5];
    char szPhase[17];
    char szBuild[9];
    int major;
    int build;
} UPDTVERSION;
// Reads majorversion, minorversion, buildphase and buildnumber of szFile
// into *pVersion: 4 when all four were read, else the index (0..3, in that
// order) of the first that could not be; no code of its own.
int UPDTReadVersion(const char *szFile, UPDTVERSION *pVersion);
// 1 when kbToUnpack and the spare room fit on the system partition, else 0.
int IsSysPartitionSufficient(int64_t kbToUnpack);
// 1 when a system partition of `sectors` can grow into partition 3, else 0.
int IsSysPartitionResizeable(int64_t sectors);
// 1, 0 or -1 as version a is newer than, equal to or older than b.
int UPDTCompareVersion(const char *a, const char *b);

} // extern "C"
