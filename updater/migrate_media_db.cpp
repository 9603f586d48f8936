// Photo and media databases: schema changes of the photo database, the
// media server's database dropped, the package databases dumped to the
// volume, all through the database tools; then the media indexer runs.
#include <stdio.h>
#include <stdlib.h>
#include <syslog.h>

#include "migrate.h"

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
constexpr const char *kIndexAll = "/usr/vako/bin/vakoindex -R all";

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

} // namespace

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
    Run(kIndexAll);
    return 0;
}
