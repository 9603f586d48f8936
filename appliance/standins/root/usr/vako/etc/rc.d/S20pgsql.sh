#!/bin/sh
# Stand-in for the appliance's database service script: S20pgsql.sh
# start|stop|status.  "start" runs this machine's PostgreSQL server inside
# the appliance as its admin account: the cluster in /.sandbox/pgsql/data
# (made at the first start with the databases of the appliance's packages
# in their old schema), the socket in /.sandbox/pgsql, no TCP port, every
# local connection trusted, the superuser role admin.  It returns once the
# server accepts connections (exit 0), or 1 when it cannot.  "stop" ends
# the server and waits for it.  "status" exits 0 while it runs.
# Each call is recorded as "S20pgsql.sh <arguments>" in /.sandbox/calls.
#
# The first start copies the cluster that this script made, stopped, in
# /.sandbox/pgsql-template (appliance/pgsql-template.sh makes it once per
# test run) when this script and this machine's server made it; otherwise
# it makes the cluster itself.
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH
# The server and its tools are this machine's programs: no kernel stand-in.
unset LD_PRELOAD

OWNER=admin
DIR=/.sandbox/pgsql
DATA=$DIR/data
MADE=$DIR/databases-made
TEMPLATE=/.sandbox/pgsql-template
CALLS=/.sandbox/calls
# Readiness is polled, never waited for blindly: up to ten minutes on a
# busy machine, a tenth of a second apart.
WAIT_SECONDS=600
POLLS=6000

echo "S20pgsql.sh $*" >> "$CALLS"
# The client tools record their calls too, also when su runs them as admin.
chmod 0666 "$CALLS"

fail() {
    echo "S20pgsql.sh: $*" >&2
    exit 1
}

PGBIN=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -x "$PGBIN/postgres" ] || fail "no PostgreSQL server on this machine"
# What made a cluster's databases: this script and the server's version.
STAMP="$(cksum < "$0") $PGBIN"

as_owner() {
    setpriv --reuid="$OWNER" --regid="$(id -g "$OWNER")" --init-groups -- "$@"
}

running() {
    [ -f "$DATA/postmaster.pid" ] && as_owner "$PGBIN/pg_ctl" -D "$DATA" status >/dev/null 2>&1
}

ready() {
    "$PGBIN/pg_isready" -q -h "$DIR" -d postgres -U "$OWNER"
}

# The databases that the appliance's packages keep, as old builds left them.
make_databases() {
    as_owner "$PGBIN/psql" -q -X -v ON_ERROR_STOP=1 -h "$DIR" -U "$OWNER" -d postgres -f - >/dev/null <<'SQL'
CREATE DATABASE photo;
CREATE DATABASE mediaserver;
CREATE DATABASE download;
CREATE DATABASE surveillance;
CREATE DATABASE roundcubemail;
\connect photo
CREATE TABLE photo_image(id serial PRIMARY KEY, path text NOT NULL UNIQUE, timetaken timestamp);
INSERT INTO photo_image(path, timetaken) VALUES ('/volume1/photo/a.jpg', '2008-06-01 10:20:30');
CREATE TABLE photo_user(id serial PRIMARY KEY, username varchar(64) NOT NULL UNIQUE);
INSERT INTO photo_user(username) VALUES ('guest');
\connect mediaserver
CREATE TABLE track(id serial PRIMARY KEY, path text NOT NULL);
INSERT INTO track(path) VALUES ('/volume1/music/a.mp3');
\connect download
CREATE TABLE download_queue(task_id serial PRIMARY KEY, url text NOT NULL);
INSERT INTO download_queue(url) VALUES ('http://example.com/a.iso');
\connect surveillance
CREATE TABLE camera(id serial PRIMARY KEY, name text NOT NULL);
INSERT INTO camera(name) VALUES ('door');
\connect roundcubemail
CREATE TABLE users(user_id serial PRIMARY KEY, username varchar(128) NOT NULL);
INSERT INTO users(username) VALUES ('admin');
SQL
}

start() {
    id "$OWNER" >/dev/null 2>&1 || fail "no account $OWNER"
    mkdir -p "$DIR" && chown "$OWNER" "$DIR" || fail "cannot make $DIR"
    if [ ! -f "$DATA/PG_VERSION" ]; then
        if [ -f "$TEMPLATE/data/PG_VERSION" ] && [ "$(cat "$TEMPLATE/databases-made" 2>/dev/null)" = "$STAMP" ]; then
            cp -a "$TEMPLATE/data" "$DATA" && cp "$TEMPLATE/databases-made" "$MADE" ||
                fail "cannot copy the cluster of $TEMPLATE"
            # The server runs only on a cluster of its own account.
            [ "$(stat -c %u "$DATA")" = "$(id -u "$OWNER")" ] || chown -R "$OWNER:" "$DATA" ||
                fail "cannot give the cluster to $OWNER"
        else
            as_owner "$PGBIN/initdb" -D "$DATA" -U "$OWNER" -A trust -E UTF8 --locale=C --no-sync --wal-segsize=1 \
                >"$DIR/initdb.log" 2>&1 || fail "initdb failed, see $DIR/initdb.log"
        fi
    fi
    if ! running; then
        as_owner "$PGBIN/pg_ctl" -D "$DATA" -l "$DIR/server.log" -w -t "$WAIT_SECONDS" \
            -o "-k $DIR -c listen_addresses= -c fsync=off" start >/dev/null ||
            fail "the server did not start, see $DIR/server.log"
    fi
    n=0
    until ready; do
        n=$((n + 1))
        [ "$n" -lt "$POLLS" ] || fail "the server does not accept connections"
        sleep 0.1
    done
    if [ ! -f "$MADE" ]; then
        make_databases || fail "cannot make the databases"
        echo "$STAMP" > "$MADE"
    fi
}

stop() {
    running || return 0
    as_owner "$PGBIN/pg_ctl" -D "$DATA" -m fast -w -t "$WAIT_SECONDS" stop >/dev/null || fail "the server did not stop"
}

case "$1" in
start) start ;;
stop) stop ;;
status) running ;;
*) fail "usage: S20pgsql.sh start|stop|status" ;;
esac
