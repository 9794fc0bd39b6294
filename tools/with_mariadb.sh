#!/usr/bin/env bash
# Runs a command beside a throwaway MariaDB server: created in a temporary folder, listening on
# 127.0.0.1 at a free port, stopped and removed when the command ends, whatever the outcome. The
# command finds the server in DUPLIVO_TEST_MARIADB (ODBC keys). Every statement the server runs
# is written to its general log, the table mysql.general_log, so tests can read what reached it.
set -euo pipefail

server=/usr/sbin/mariadbd
if [ ! -x "$server" ] || ! command -v mariadb-install-db >/dev/null; then
    echo "with_mariadb: MariaDB is not installed" >&2
    exit 1
fi

dir=$(mktemp -d /tmp/duplivo-mariadb.XXXXXX)
chmod 755 "$dir"
user=$(id -un)
if [ "$(id -u)" = 0 ]; then
    # The server refuses to run as root.
    user=mysql
    chown mysql: "$dir"
fi
as_owner=(runuser -u "$user" --)
[ "$(id -u)" = 0 ] || as_owner=()

pid=
# The server itself, not the runuser in front of it, which would complain of being killed.
halt() {
    [ -n "$pid" ] || return 0
    local server_pid
    server_pid=$(cat "$dir/server.pid" 2>/dev/null || echo "$pid")
    kill "$server_pid" 2>/dev/null || true
    for _ in $(seq 1 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -9 "$server_pid" "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=
}
stop() {
    halt
    rm -rf "$dir"
}
trap stop EXIT

"${as_owner[@]}" mariadb-install-db --no-defaults --datadir="$dir/data" --user="$user" \
    --auth-root-authentication-method=socket --skip-test-db >"$dir/install.log" 2>&1 || {
    cat "$dir/install.log" >&2
    exit 1
}

password="duplivo-$RANDOM$RANDOM"
# Run at start-up with every privilege: the tests' user, who creates a database for each test.
cat >"$dir/init.sql" <<EOF
CREATE USER 'duplivo'@'127.0.0.1' IDENTIFIED BY '$password';
GRANT ALL PRIVILEGES ON *.* TO 'duplivo'@'127.0.0.1' WITH GRANT OPTION;
EOF
[ "$(id -u)" = 0 ] && chown mysql: "$dir/init.sql"

started=
for _ in $(seq 1 20); do
    port=$((20000 + RANDOM % 20000))
    "${as_owner[@]}" "$server" --no-defaults --datadir="$dir/data" --socket="$dir/socket" \
        --port="$port" --bind-address=127.0.0.1 --pid-file="$dir/server.pid" \
        --log-error="$dir/server.log" --init-file="$dir/init.sql" --skip-log-bin \
        --innodb-buffer-pool-size=256M --innodb-flush-log-at-trx-commit=0 --innodb-doublewrite=0 \
        --character-set-server=utf8mb4 --general-log=1 --log-output=TABLE 2>>"$dir/server.log" &
    pid=$!
    for _ in $(seq 1 300); do
        if mariadb-admin --no-defaults --protocol=tcp --host=127.0.0.1 --port="$port" \
            --user=duplivo --password="$password" ping >/dev/null 2>&1; then
            started=1
            break 2
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    halt
done
if [ -z "$started" ]; then
    cat "$dir/server.log" >&2 || true
    echo "with_mariadb: the server did not start" >&2
    exit 1
fi

export DUPLIVO_TEST_MARIADB="SERVER=127.0.0.1;PORT=$port;UID=duplivo;PWD=$password"
"$@"
