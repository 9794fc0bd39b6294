#!/usr/bin/env bash
# Runs a command beside a throwaway PostgreSQL cluster: created in a temporary folder, listening
# on 127.0.0.1 at a free port, stopped and removed when the command ends, whatever the outcome.
# The command finds the server in DUPLIVO_TEST_PG (ODBC keys) and in the PG* variables.
set -euo pipefail

bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
if [ -z "$bindir" ]; then
    echo "with_postgres: PostgreSQL is not installed" >&2
    exit 1
fi

dir=$(mktemp -d /tmp/duplivo-pg.XXXXXX)
chmod 755 "$dir"
as_owner=()
if [ "$(id -u)" = 0 ]; then
    # The server refuses to run as root.
    chown postgres: "$dir"
    as_owner=(runuser -u postgres --)
fi

stop() {
    "${as_owner[@]}" "$bindir/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
    rm -rf "$dir"
}
trap stop EXIT

password="duplivo-$RANDOM$RANDOM"
printf '%s\n' "$password" >"$dir/pwfile"
[ "$(id -u)" = 0 ] && chown postgres: "$dir/pwfile"
"${as_owner[@]}" "$bindir/initdb" -D "$dir/data" -U duplivo --pwfile="$dir/pwfile" \
    -A scram-sha-256 -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 || {
    cat "$dir/initdb.log" >&2
    exit 1
}

started=
for _ in $(seq 1 20); do
    port=$((20000 + RANDOM % 20000))
    if "${as_owner[@]}" "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
        -o "-p $port -k $dir -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null 2>&1; then
        started=1
        break
    fi
done
if [ -z "$started" ]; then
    cat "$dir/server.log" >&2 || true
    echo "with_postgres: the server did not start" >&2
    exit 1
fi

export PGHOST=127.0.0.1 PGPORT=$port PGUSER=duplivo PGPASSWORD=$password PGDATABASE=postgres
export DUPLIVO_TEST_PG="SERVER=127.0.0.1;PORT=$port;UID=duplivo;PWD=$password"
"$@"
