#!/usr/bin/env bash
# Fuzzes the navigator for SECONDS seconds (default 60): builds build-fuzz with Clang and
# libFuzzer, seeds build-fuzz/corpus with the heads of the smaller test fixtures, and
# fails on any crash, sanitizer report, leak, timeout or out-of-memory. A finding is left
# as build-fuzz/artifacts/crash-* (or leak-, timeout-, oom-); replay one with
#   build-fuzz/tests/clipwalk_fuzzer FILE
# and shrink it with
#   build-fuzz/tests/clipwalk_fuzzer -minimize_crash=1 -max_total_time=120 FILE
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build="$root/build-fuzz"
fixtures="$root/build/fixtures"
max_len=65536
seed_limit=$((2 * 1024 * 1024))  # fixtures up to this size give seeds

"$root/scripts/make_fixtures.sh" "$fixtures" >/dev/null

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCLIPWALK_BUILD_FUZZER=ON -DCLIPWALK_BUILD_TESTS=ON -DCLIPWALK_FIXTURE_DIR="$fixtures" >/dev/null
cmake --build "$build" -j"$(nproc)" --target clipwalk_fuzzer

# Seeds join what earlier runs found; a cut file is still a useful start.
mkdir -p "$build/corpus" "$build/artifacts"
for fixture in "$fixtures"/*; do
  [ -f "$fixture" ] || continue
  [ "$(stat -c %s "$fixture")" -le "$seed_limit" ] || continue
  head -c "$max_len" "$fixture" >"$build/corpus/seed-$(basename "$fixture")"
done

# One worker in this process; libFuzzer itself exits non-zero on a finding.
log="$build/fuzz.log"
set +e
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  "$build/tests/clipwalk_fuzzer" "$build/corpus" -max_len="$max_len" -max_total_time="$seconds" \
  -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/artifacts/" \
  >"$log" 2>&1
status=$?
set -e
grep -E '^(#[0-9]+[[:space:]]+(INITED|DONE)|stat::|SUMMARY|artifact_prefix)' "$log" || true
executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
# A run cut short by a finding prints no final stats: its last status line counts.
[ -n "$executions" ] || executions=$(sed -n 's/^#\([0-9][0-9]*\) .*/\1/p' "$log" | tail -n 1)
echo "fuzzing: ${executions:-unknown} executions in ${seconds} s (log: $log)"
if [ "$status" -ne 0 ]; then
  echo "fuzzing found a fault (exit status $status); see $log and $build/artifacts/" >&2
  tail -n 60 "$log" >&2
fi
exit "$status"
