#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer included) and runs each one for a bounded time
# on a copy of its seed corpus from fuzz/corpus/<target>/. Fails when any
# target reports a crash, a leak, a time-out, a sanitizer finding or a
# broken property; the input that did it is kept in <build>/fuzz-artifacts/.
# Paths are absolute: some targets change their working directory.
# Usage: scripts/fuzz.sh [seconds per target, default 30] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
build=$(realpath -m "${FUZZ_BUILD_DIR:-build-fuzz}")

CC=clang CXX=clang++ cmake -S . -B "$build" -DCARVANTA_FUZZ=ON -DCARVANTA_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_all

targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
    for binary in "$build"/fuzz/fuzz_*; do
        [ -x "$binary" ] && targets+=("${binary##*/fuzz_}")
    done
fi

work=$(mktemp -d /tmp/carvanta-fuzz-run-XXXXXX)
trap 'rm -rf "$work"' EXIT
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

passed=0
failed=0
for name in "${targets[@]}"; do
    corpus="$work/$name"
    mkdir -p "$corpus"
    if [ -d "fuzz/corpus/$name" ]; then
        cp fuzz/corpus/"$name"/* "$corpus"/ 2>/dev/null || true
    fi
    log="$work/$name.log"
    if "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=10000 -print_final_stats=1 -artifact_prefix="$artifacts/$name-" \
        "$corpus" >"$log" 2>&1; then
        runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$log")
        echo "fuzz_$name: ${runs:-?} executions in ${seconds} s, nothing found"
        passed=$((passed + 1))
    else
        echo "fuzz_$name: FAILED, the input is in $artifacts/"
        tail -n 80 "$log"
        failed=$((failed + 1))
    fi
done

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
