#!/usr/bin/env bash
# Runs a command with a private PostgreSQL server on loopback, started in a temporary folder and
# stopped afterwards, also when the command fails. The command finds the server through:
#   KELVO_TEST_PG_HOST, KELVO_TEST_PG_PORT  where it listens (127.0.0.1 and a free port)
#   KELVO_TEST_PG_SUPERUSER                 a superuser that may connect without a password
#   KELVO_TEST_PG_RESTART                   a command that restarts the server (fast shutdown,
#                                           then start with the same settings), for tests of a
#                                           restart; only for a server of their own
# Members of the role kelvo_password_users must give their password (scram-sha-256); every other
# role is trusted.
# Without the PostgreSQL server binaries the command runs without these variables, and the tests
# that need a server skip with the reason.
set -euo pipefail

pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)
if [ -z "$pg_bin" ] || [ ! -x "$pg_bin/initdb" ]; then
    echo "with-postgres: no PostgreSQL server installed; running without one" >&2
    exec "$@"
fi

folder=$(mktemp -d /tmp/kelvo-pg.XXXXXX)
run_as=()
superuser=$(id -un)
if [ "$(id -u)" -eq 0 ]; then
    # initdb refuses to run as root: the server runs as the postgres account.
    chown postgres: "$folder"
    run_as=(runuser -u postgres --)
    superuser=postgres
fi

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

stop_server() {
    "${run_as[@]}" "$pg_bin/pg_ctl" -D "$folder/data" -m immediate stop >/dev/null 2>&1 || true
    rm -rf "$folder"
}
trap stop_server EXIT

"${run_as[@]}" "$pg_bin/initdb" -D "$folder/data" -U "$superuser" --auth=trust \
    --encoding=UTF8 --locale=C.UTF-8 >"$folder/initdb.log" 2>&1 ||
    { cat "$folder/initdb.log" >&2; exit 1; }
cat >"$folder/data/pg_hba.conf" <<HBA
local all all trust
host all +kelvo_password_users 127.0.0.1/32 scram-sha-256
host all all 127.0.0.1/32 trust
HBA
"${run_as[@]}" "$pg_bin/pg_ctl" -D "$folder/data" -l "$folder/server.log" -w -t 60 \
    -o "-p $port -k $folder -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null ||
    { cat "$folder/server.log" >&2; exit 1; }

"${run_as[@]}" "$pg_bin/psql" -h "$folder" -p "$port" -U "$superuser" -d postgres -q \
    -c "CREATE ROLE kelvo_password_users NOLOGIN" >/dev/null

export KELVO_TEST_PG_HOST=127.0.0.1
export KELVO_TEST_PG_PORT=$port
export KELVO_TEST_PG_SUPERUSER=$superuser
export KELVO_TEST_PG_RESTART="${run_as[*]} $pg_bin/pg_ctl -D $folder/data -l $folder/server.log -w -t 60 -m fast restart"
"$@"
