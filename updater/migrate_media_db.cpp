// Photo and media databases: schema changes of the photo database, the
// media server's database dropped, the package databases dumped to the
// volume, all through the database tools; then the media indexer runs.
// And the rights of the photo folders' thumbnail directories.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "migrate.h"
#include "slib/proc.h"
#include "slibcxx/raii.h"
#include "slibcxx/trusted.h"

#define UPDT_PGSQL_BIN     "/usr/vako/pgsql/bin"
#define UPDT_AS_ADMIN(cmd) "su -l admin -c \"" cmd "\""

namespace {

constexpr int kCmdRoom = 512;
constexpr const char *kDumpDir = ".@pgsql_upgrade";

// Bit 0 of gPhotoDbSteps: two column changes.
constexpr const char *kPhotoColumns[] = {
    UPDT_AS_ADMIN(UPDT_PGSQL_BIN "/psql photo -c 'ALTER TABLE photo_image ALTER timetaken TYPE varchar(64)'"),
    UPDT_AS_ADMIN(UPDT_PGSQL_BIN "/psql photo -c 'ALTER TABLE photo_user ADD COLUMN admin bool DEFAULT false'"),
};
// Bit 1: the video tables.  The inner double quotes end and reopen the
// outer ones, so the column reaches psql as plain comment.
constexpr const char *kVideoTables[] = {
    UPDT_AS_ADMIN(UPDT_PGSQL_BIN
                  "/psql photo -c 'CREATE TABLE video_comment(id serial NOT NULL,path text NOT NULL,name "
                  "varchar(100),email varchar(128),\"comment\" text,date timestamp,updated char(1),CONSTRAINT "
                  "video_comment_pkey PRIMARY KEY (id)) WITH OIDS;ALTER TABLE video_comment OWNER TO admin;'"),
    UPDT_AS_ADMIN(UPDT_PGSQL_BIN
                  "/psql photo -c 'CREATE TABLE video_desc(id serial NOT NULL,path text NOT NULL, title text, "
                  "description text,updated char(1),CONSTRAINT video_pkey PRIMARY KEY (id),CONSTRAINT "
                  "video_path_key UNIQUE (path)) WITH OIDS;ALTER TABLE video_desc OWNER TO admin;'"),
};
constexpr const char *kDropMediaServer = UPDT_AS_ADMIN(UPDT_PGSQL_BIN "/dropdb mediaserver");
// Dumped in this order.
constexpr const char *kDumpedDbs[] = {"photo", "download", "surveillance", "roundcubemail"};
constexpr const char *kIndexer = "/usr/vako/bin/vakoindex";

// Each command runs to its end; what it gives is not looked at: a failed
// one leaves its effect undone and the next one runs.
void Run(const char *szCmd)
{
    int status = system(szCmd);
    (void)status;
}

// The dump directory on the volume and one dump per database.  The volume
// comes from the command line: a name the shell would split or expand
// reaches it quoted.
void DumpDatabases()
{
    char szVolume[UPDT_QUOTED_ROOM], szCmd[kCmdRoom];
    if (UPDTShellWord(gszVolume, szVolume, sizeof(szVolume)) < 0)
        return;
    if (UPDTFormatCommand(szCmd, sizeof(szCmd), "mkdir %s/%s", szVolume, kDumpDir) >= 0)
        Run(szCmd);
    for (const char *szDb : kDumpedDbs)
        if (UPDTFormatCommand(szCmd, sizeof(szCmd), UPDT_PGSQL_BIN "/pg_dump -C -o -U admin %s > %s/%s/%s.sql", szDb,
                              szVolume, kDumpDir, szDb) >= 0)
            Run(szCmd);
}

// ---- the thumbnail directories ----

constexpr const char *kEaDir = "@eaDir";
constexpr mode_t kEaDirMode = 0777;
// Folders deeper than this below the photo folder are left as they are.
constexpr int kPhotoDepth = 64;

// Below the open directory dir: each "@eaDir" directory and what lies in it
// gets kEaDirMode (all: dir is one of them).  Every entry is reached through
// its own descriptor opened without following a link, for the photo
// folders are their users': a name swapped for a link meanwhile is passed
// over, never followed.
void EaDirRights(int dir, int depth, bool all)
{
    for (const std::string &n : slib::DirNames(dir)) {
        struct stat st;
        if (fstatat(dir, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISLNK(st.st_mode))
            continue;
        const bool isDir = S_ISDIR(st.st_mode), inEaDir = all || (isDir && n == kEaDir);
        if (!isDir && !inEaDir)
            continue;
        if (!isDir && !S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode)) {
            // A device or socket is not opened (an open may act on it).
            (void)fchmodat(dir, n.c_str(), kEaDirMode, AT_SYMLINK_NOFOLLOW);
            continue;
        }
        slib::Fd fd(openat(dir, n.c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (isDir ? O_DIRECTORY : 0)));
        if (!fd.ok())
            continue;
        if (inEaDir)
            (void)fchmod(fd.get(), kEaDirMode);
        if (isDir && depth > 0)
            EaDirRights(fd.get(), depth - 1, inEaDir);
    }
}

} // namespace

extern "C" void UpdatePhotoEaDirRights(void)
{
    // The photo folder itself is root's (a link root made is followed).
    slib::Fd top(open(UPDT_PHOTO_DIR, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (top.ok())
        EaDirRights(top.get(), kPhotoDepth, false);
}

extern "C" int UpdatePhotoDatabase(void)
{
    if (gPhotoDbSteps & 1)
        for (const char *szCmd : kPhotoColumns)
            Run(szCmd);
    if (gPhotoDbSteps & 2) {
        syslog(LOG_ERR, "Update photo db to add video tables");
        for (const char *szCmd : kVideoTables)
            Run(szCmd);
    }
    if (gfDropMediaServerDb == 1)
        Run(kDropMediaServer);
    if (gfDumpPgsqlDbs == 1)
        DumpDatabases();
    // One program and its arguments: no shell needed. Its result is not
    // looked at either.
    int status = SLIBProcExec(kIndexer, "-R", "all", nullptr, nullptr);
    (void)status;
    return 0;
}
