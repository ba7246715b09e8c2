#!/usr/bin/env bash
# A PostgreSQL server of the tests' own, as a company's office runs one: a
# cluster made by initdb in a fresh folder under /tmp, listening on 127.0.0.1
# only, TLS with a certificate of a CA made here, SCRAM passwords, and no way
# in without TLS. The server runs as an unprivileged user (it refuses to run
# as root, and that user cannot enter /root).
#   pg-server.sh start ENVFILE   writes PGTEST_DIR, PGTEST_PORT, PGTEST_CA,
#                                PGTEST_SOCKET, PGTEST_SUPERUSER to ENVFILE;
#                                exit 77 with the reason where it cannot run
#   pg-server.sh stop ENVFILE
#   pg-server.sh standby ENVFILE  a streaming standby of that server, on a
#                                port of its own: PGTEST_STANDBY_PORT, _DIR
#   pg-server.sh promote|halt|resume ENVFILE   the standby promoted; the
#                                primary stopped (fast) or started again
set -euo pipefail
cmd="$1"
envfile="$2"

bin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)"
as_owner() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u nobody -- "$@"
    else
        "$@"
    fi
}

free_port() {
    for _ in $(seq 50); do
        local p
        p="$(shuf -i 20000-60000 -n 1)"
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
            echo "$p"
            return
        fi
    done
    echo "no free port" >&2
    exit 1
}

start_cluster() { # DATA PORT LOG
    as_owner "$bin/pg_ctl" -D "$1" -l "$3" -w -t 30 -o "-p $2" start >/dev/null
}

case "$cmd" in
start)
    [ -x "$bin/initdb" ] || { echo "the PostgreSQL server is not installed"; exit 77; }
    command -v openssl >/dev/null || { echo "openssl is not installed"; exit 77; }
    # A server this file still names is stopped first, not left running.
    [ ! -f "$envfile" ] || "$0" stop "$envfile"
    dir="$(mktemp -d /tmp/uoo-pg.XXXXXX)"
    chmod 755 "$dir"
    mkdir "$dir/data" "$dir/tls"
    # The CA and the server's certificate, for "localhost" and 127.0.0.1.
    (
        cd "$dir/tls"
        openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Test CA" \
            -keyout ca.key -out ca.crt 2>/dev/null
        openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" \
            -keyout server.key -out server.csr 2>/dev/null
        printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >san.ext
        openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 \
            -extfile san.ext -out server.crt 2>/dev/null
        # A CA of nobody's, for the test of a certificate the copy must refuse.
        openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Other CA" \
            -keyout other-ca.key -out other-ca.crt 2>/dev/null
        chmod 644 ./*.crt
        chmod 600 server.key
    )
    [ "$(id -u)" -ne 0 ] || chown -R nobody:nogroup "$dir"
    as_owner "$bin/initdb" -D "$dir/data" -U postgres --auth-local=trust --auth-host=reject \
        -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 ||
        { cat "$dir/initdb.log" >&2; exit 1; }
    cat >>"$dir/data/postgresql.conf" <<CONF
listen_addresses = '127.0.0.1'
unix_socket_directories = '$dir'
ssl = on
ssl_cert_file = '$dir/tls/server.crt'
ssl_key_file = '$dir/tls/server.key'
password_encryption = 'scram-sha-256'
fsync = off
synchronous_commit = off
full_page_writes = off
max_connections = 200
wal_level = replica
max_wal_senders = 4
shared_buffers = 32MB
CONF
    cat >"$dir/data/pg_hba.conf" <<HBA
local   all          postgres                  trust
local   replication  postgres                  trust
hostssl all          all       127.0.0.1/32   scram-sha-256
HBA
    port=""
    for _ in $(seq 10); do
        port="$(free_port)"
        start_cluster "$dir/data" "$port" "$dir/server.log" && break
        port=""
    done
    [ -n "$port" ] || { cat "$dir/server.log" >&2; exit 1; }
    {
        echo "PGTEST_DIR=$dir"
        echo "PGTEST_PORT=$port"
        echo "PGTEST_CA=$dir/tls/ca.crt"
        echo "PGTEST_OTHER_CA=$dir/tls/other-ca.crt"
        echo "PGTEST_SOCKET=$dir"
        echo "PGTEST_SUPERUSER=postgres"
    } >"$envfile"
    ;;
standby)
    # shellcheck disable=SC1090
    . "$envfile"
    sdir="$PGTEST_DIR/standby"
    rm -rf "$sdir"
    mkdir "$sdir"
    [ "$(id -u)" -ne 0 ] || chown nobody:nogroup "$sdir"
    chmod 700 "$sdir"
    as_owner "$bin/pg_basebackup" -h "$PGTEST_SOCKET" -p "$PGTEST_PORT" -U postgres -D "$sdir" \
        -R -X stream >/dev/null
    sport="$(free_port)"
    start_cluster "$sdir" "$sport" "$PGTEST_DIR/standby.log"
    grep -v '^PGTEST_STANDBY_' "$envfile" >"$envfile.new" || true
    {
        echo "PGTEST_STANDBY_DIR=$sdir"
        echo "PGTEST_STANDBY_PORT=$sport"
    } >>"$envfile.new"
    mv "$envfile.new" "$envfile"
    ;;
promote)
    # shellcheck disable=SC1090
    . "$envfile"
    as_owner "$bin/pg_ctl" -D "$PGTEST_STANDBY_DIR" -w promote >/dev/null
    ;;
halt)
    # shellcheck disable=SC1090
    . "$envfile"
    as_owner "$bin/pg_ctl" -D "$PGTEST_DIR/data" -m immediate -w stop >/dev/null
    ;;
resume)
    # shellcheck disable=SC1090
    . "$envfile"
    start_cluster "$PGTEST_DIR/data" "$PGTEST_PORT" "$PGTEST_DIR/server.log"
    ;;
stop)
    [ -f "$envfile" ] || exit 0
    # shellcheck disable=SC1090
    . "$envfile"
    for d in "$PGTEST_DIR/standby" "$PGTEST_DIR/data"; do
        [ -f "$d/postmaster.pid" ] && as_owner "$bin/pg_ctl" -D "$d" -m immediate -w stop \
            >/dev/null 2>&1 || true
    done
    rm -rf "$PGTEST_DIR"
    rm -f "$envfile"
    ;;
*)
    echo "usage: $0 start|stop|standby|promote|halt|resume ENVFILE" >&2
    exit 2
    ;;
esac
