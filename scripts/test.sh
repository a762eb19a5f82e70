#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: the plain
# build, then the same suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the network and lobby tests under
# ThreadSanitizer. A private MariaDB (own data directory, socket and port on
# 127.0.0.1) serves the MySQL tests and is shut down at the end, on failure
# too.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

scripts/install-deps.sh test

work=$(mktemp -d /tmp/carvanta-tests-XXXXXX)
export CARVANTA_MYSQL_DIR="$work/mariadb"
cleanup() {
    scripts/mariadb-private.sh stop >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

if scripts/mariadb-private.sh start; then
    set -a
    # shellcheck disable=SC1090
    . "$(scripts/mariadb-private.sh env-file)"
    set +a
else
    echo "Private MariaDB did not start: the MySQL tests will be skipped" >&2
    if [ "${CI:-}" = "true" ]; then
        exit 1
    fi
fi

# Each step says how long it took, so the slow ones show.
timed() {
    local what=$1
    shift
    local start=$SECONDS
    "$@"
    echo "--- $what: $((SECONDS - start)) s"
}

# The test programs and the programs they drive; the benchmark is left out.
test_targets="Osa_tests Common_tests Net_tests Server_tests integration_tests mysql_tests
    hardening_tests tools_tests CarvantaServer CarvantaClient CarvantaUserData"
concurrency_targets="Net_tests Server_tests integration_tests hardening_tests CarvantaServer"

# Most tests wait on sockets, processes and the manager's one-second passes
# rather than compute, so twice as many run at once as there are cores.
run_suite() {
    local name=$1 dir=$2 targets=$3 ctest_jobs=$4
    shift 4
    cmake -S . -B "$dir" "$@" >/dev/null
    # shellcheck disable=SC2086
    timed "$name build" cmake --build "$dir" -j"$jobs" --target $targets
    # shellcheck disable=SC2086
    timed "$name tests" ctest --test-dir "$dir" -j"$ctest_jobs" --output-on-failure ${CTEST_ARGS:-}
}

echo "=== plain build"
run_suite plain build "$test_targets all" $((2 * jobs))
echo "=== AddressSanitizer + UndefinedBehaviorSanitizer"
# The load test's memory figures are measured in the plain build only.
# Unoptimised, the sanitizer build takes a third of the time (67 s against
# 226 s on 2 cores) and its tests about as long (80 s against 84 s).
ASAN_OPTIONS=detect_leaks=1 CARVANTA_LOAD_SECONDS=30 \
    run_suite asan build-asan "$test_targets" $((2 * jobs)) -DCARVANTA_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=Debug
echo "=== ThreadSanitizer: the tests with threads, in-process and in the server binary"
# halt_on_error: a race inside the server binary ends it, so the test sees it.
# The console and daemon signal tests run in the two stages above only: under
# ThreadSanitizer a SIGINT sent to the console server was lost about one time
# in eight (the handler never ran and nothing was left pending), while the
# plain and ASan binaries never missed one. The configuration and store choice
# tests have no threads; the log's tests do (the status block against another
# thread's lines) and run here.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" CARVANTA_LOAD_SECONDS=30 \
    CTEST_ARGS='-R ^(Net|Server|integration|hardening)\. -E ^(integration\.ServerEntryTest|Server\.ConfigurationTest)\.' \
    run_suite tsan build-tsan "$concurrency_targets" "$jobs" -DCARVANTA_TSAN=ON
echo "=== libFuzzer targets, 15 s each after their kept corpus"
timed "fuzz" scripts/fuzz.sh 15
