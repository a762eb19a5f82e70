#!/usr/bin/env bash
# mariadb-private.sh - a private MariaDB server for the MySQL tests: its own
# data directory, socket and 127.0.0.1 port, never the system's instance.
#
#   start    install a fresh data directory, start the server, create the
#            test database and user, load sql/schema.sql, write the env file
#   stop     shut the server down and remove its directory
#   down     stop the server process only (data, port and socket are kept)
#   up       start it again after "down", on the same port and socket
#   restart  down, then up
#   env      print the env file (source it: . "$(... env-file)")
#   env-file print the path of the env file
#   status   exit 0 when the server answers
#   install  apt-get install mariadb-server when its programs are missing
#
# The directory is $CARVANTA_MYSQL_DIR, or ${TMPDIR:-/tmp}/carvanta-mariadb.
# $CARVANTA_MYSQL_SERVER_OPTIONS at start, when set, are further options of
# the server (kept for "up" as well), so that the store can be tried under
# other settings, e.g. "--sql-mode=ANSI_QUOTES --wait-timeout=2".
# Every wait has a deadline; a start that fails leaves nothing running.
set -u

SCRIPT_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
SCHEMA_FILE="${CARVANTA_MYSQL_SCHEMA:-$SCRIPT_DIR/../sql/schema.sql}"
BASE_DIR="${CARVANTA_MYSQL_DIR:-${TMPDIR:-/tmp}/carvanta-mariadb}"
DATA_DIR="$BASE_DIR/data"
# Servers share nothing, not even the directory of their temporary tables
# (two bootstraps in one /tmp can take each other's files).
TMP_DIR="$BASE_DIR/tmp"
SOCKET="$BASE_DIR/mysqld.sock"
PID_FILE="$BASE_DIR/mysqld.pid"
LOG_FILE="$BASE_DIR/mysqld.log"
PORT_FILE="$BASE_DIR/port"
ENV_FILE="$BASE_DIR/env"
OPTIONS_FILE="$BASE_DIR/server-options"

TEST_DB="carvanta_test"
TEST_USER="carvanta_test"
START_SECONDS=60
STOP_SECONDS=30
INSTALL_SECONDS=180

MARIADBD="$(command -v mariadbd || echo /usr/sbin/mariadbd)"
INSTALL_DB="$(command -v mariadb-install-db || echo /usr/bin/mariadb-install-db)"
CLIENT="$(command -v mariadb || echo /usr/bin/mariadb)"
ADMIN="$(command -v mariadb-admin || echo /usr/bin/mariadb-admin)"

say() { echo "mariadb-private: $*" >&2; }

have_programs() {
    [ -x "$MARIADBD" ] && [ -x "$INSTALL_DB" ] && [ -x "$CLIENT" ] && [ -x "$ADMIN" ]
}

require_programs() {
    if ! have_programs; then
        say "MariaDB is not installed (need mariadbd, mariadb-install-db, mariadb, mariadb-admin;"
        say "'$0 install' or 'apt-get install mariadb-server mariadb-client')"
        exit 2
    fi
}

as_root() {
    timeout "$STOP_SECONDS" "$CLIENT" --no-defaults --protocol=socket --socket="$SOCKET" -uroot "$@"
}

answers() {
    timeout 5 "$ADMIN" --no-defaults --protocol=socket --socket="$SOCKET" -uroot \
        --connect-timeout=2 ping >/dev/null 2>&1
}

server_pid() {
    local pid
    pid="$(cat "$PID_FILE" 2>/dev/null)" || return 1
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && echo "$pid"
}

# A port nobody listens on: random picks checked against the kernel's table.
pick_port() {
    local tries port hex
    for tries in $(seq 1 50); do
        port=$((20000 + RANDOM % 40000))
        hex="$(printf '%04X' "$port")"
        if ! awk -v h=":$hex" '$2 ~ h"$" && $4 == "0A"' /proc/net/tcp /proc/net/tcp6 2>/dev/null |
            grep -q .; then
            echo "$port"
            return 0
        fi
    done
    return 1
}

launch_server() {
    local port="$1" options=()
    if [ -f "$OPTIONS_FILE" ]; then
        read -r -a options <"$OPTIONS_FILE"
    fi
    setsid "$MARIADBD" --no-defaults --user=root --datadir="$DATA_DIR" "${options[@]}" \
        --socket="$SOCKET" --port="$port" --bind-address=127.0.0.1 --tmpdir="$TMP_DIR" \
        --pid-file="$PID_FILE" --log-error="$LOG_FILE" --skip-name-resolve \
        --innodb-buffer-pool-size=32M --innodb-log-file-size=16M \
        --skip-log-bin --max-connections=200 </dev/null >/dev/null 2>&1 &
    echo $! >"$BASE_DIR/launcher.pid"
}

wait_until_answering() {
    local deadline=$((SECONDS + START_SECONDS))
    while [ "$SECONDS" -lt "$deadline" ]; do
        if answers; then
            return 0
        fi
        if ! kill -0 "$(cat "$BASE_DIR/launcher.pid")" 2>/dev/null; then
            return 1
        fi
        sleep 0.2
    done
    return 1
}

wait_until_gone() {
    local pid="$1" deadline=$((SECONDS + STOP_SECONDS))
    while [ "$SECONDS" -lt "$deadline" ]; do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.2
    done
    return 1
}

halt_server() {
    local pid
    pid="$(server_pid || cat "$BASE_DIR/launcher.pid" 2>/dev/null)"
    if [ -z "$pid" ] || ! kill -0 "$pid" 2>/dev/null; then
        return 0
    fi
    timeout "$STOP_SECONDS" "$ADMIN" --no-defaults --protocol=socket --socket="$SOCKET" \
        -uroot shutdown >/dev/null 2>&1 || kill -TERM "$pid" 2>/dev/null
    if ! wait_until_gone "$pid"; then
        say "server $pid did not stop in ${STOP_SECONDS}s, killing it"
        kill -KILL "$pid" 2>/dev/null
        wait_until_gone "$pid"
    fi
}

create_test_account() {
    local password="$1"
    # The test user may also create per-test databases named carvanta_test*.
    as_root <<EOF
CREATE DATABASE IF NOT EXISTS $TEST_DB;
CREATE USER IF NOT EXISTS '$TEST_USER'@'localhost' IDENTIFIED BY '$password';
CREATE USER IF NOT EXISTS '$TEST_USER'@'127.0.0.1' IDENTIFIED BY '$password';
GRANT ALL PRIVILEGES ON \`${TEST_DB}%\`.* TO '$TEST_USER'@'localhost';
GRANT ALL PRIVILEGES ON \`${TEST_DB}%\`.* TO '$TEST_USER'@'127.0.0.1';
FLUSH PRIVILEGES;
EOF
}

write_env() {
    local port="$1" password="$2"
    cat >"$ENV_FILE" <<EOF
export CARVANTA_MYSQL_DIR='$BASE_DIR'
export MYSQL_UNIX_PORT='$SOCKET'
export MYSQL_TCP_PORT='$port'
export CARVANTA_MYSQL_HOST='localhost'
export CARVANTA_MYSQL_DB='$TEST_DB'
export CARVANTA_MYSQL_USER='$TEST_USER'
export CARVANTA_MYSQL_PASSWORD='$password'
export CARVANTA_MYSQL_SCRIPT='$SCRIPT_DIR/mariadb-private.sh'
EOF
}

fail_start() {
    say "$1"
    [ -f "$BASE_DIR/install.log" ] && head -n 5 "$BASE_DIR/install.log" >&2
    [ -f "$LOG_FILE" ] && tail -n 20 "$LOG_FILE" >&2
    halt_server
    rm -rf "$BASE_DIR"
    exit 1
}

cmd_start() {
    require_programs
    if server_pid >/dev/null && answers && [ -f "$ENV_FILE" ]; then
        say "already running in $BASE_DIR"
        cat "$ENV_FILE"
        return 0
    fi
    halt_server
    rm -rf "$BASE_DIR"
    mkdir -p "$DATA_DIR" "$TMP_DIR" || fail_start "cannot create $DATA_DIR"
    if [ -n "${CARVANTA_MYSQL_SERVER_OPTIONS:-}" ]; then
        printf '%s\n' "$CARVANTA_MYSQL_SERVER_OPTIONS" >"$OPTIONS_FILE"
    fi
    timeout "$INSTALL_SECONDS" "$INSTALL_DB" --no-defaults --user=root \
        --auth-root-authentication-method=normal --datadir="$DATA_DIR" \
        --skip-test-db --tmpdir="$TMP_DIR" >"$BASE_DIR/install.log" 2>&1 ||
        fail_start "mariadb-install-db failed (see $BASE_DIR/install.log)"
    local port password attempt
    # Another program may take the picked port first: pick again then.
    for attempt in 1 2 3; do
        port="$(pick_port)" || fail_start "no free port found"
        launch_server "$port"
        wait_until_answering && break
        halt_server
        [ "$attempt" = 3 ] && fail_start "server did not answer within ${START_SECONDS}s"
    done
    echo "$port" >"$PORT_FILE"
    password="pw$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')"
    create_test_account "$password" || fail_start "could not create the test database and user"
    as_root "$TEST_DB" <"$SCHEMA_FILE" || fail_start "could not load $SCHEMA_FILE"
    write_env "$port" "$password"
    say "running on port $port, socket $SOCKET; env in $ENV_FILE"
    cat "$ENV_FILE"
}

cmd_down() {
    [ -d "$DATA_DIR" ] || { say "no private server in $BASE_DIR"; exit 1; }
    halt_server
}

cmd_up() {
    require_programs
    [ -f "$PORT_FILE" ] || { say "no private server in $BASE_DIR (run start)"; exit 1; }
    if server_pid >/dev/null && answers; then
        return 0
    fi
    launch_server "$(cat "$PORT_FILE")"
    if ! wait_until_answering; then
        say "server did not answer within ${START_SECONDS}s"
        tail -n 20 "$LOG_FILE" >&2
        halt_server
        exit 1
    fi
}

cmd_stop() {
    halt_server
    rm -rf "$BASE_DIR"
}

cmd_install() {
    have_programs && return 0
    export DEBIAN_FRONTEND=noninteractive
    timeout 600 apt-get update -qq && timeout 900 apt-get install -y -qq mariadb-server mariadb-client
    # The package may start the system's instance; the tests never use it.
    have_programs
}

case "${1:-}" in
    start) cmd_start ;;
    stop) cmd_stop ;;
    down) cmd_down ;;
    up) cmd_up ;;
    restart) cmd_down && cmd_up ;;
    env) cat "$ENV_FILE" ;;
    env-file) echo "$ENV_FILE" ;;
    status) answers ;;
    install) cmd_install ;;
    *)
        echo "usage: $0 start|stop|down|up|restart|env|env-file|status|install" >&2
        exit 64
        ;;
esac
