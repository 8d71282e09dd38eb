#!/usr/bin/env bash
# Sets up and runs the whole test suite: a normal build, the same suite under ASan+UBSan
# (with leak detection), and the threading tests under TSan. Fixtures are made once and shared.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

fixtures="$root/build/fixtures"
jobs=$(nproc)

echo "== tests"
cmake -S "$root" -B "$root/build" -DCLIPWALK_FIXTURE_DIR="$fixtures" >/dev/null
cmake --build "$root/build" -j"$jobs"
ctest --test-dir "$root/build" --output-on-failure -j"$jobs"

echo "== tests under ASan+UBSan"
cmake -S "$root" -B "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DCLIPWALK_SANITIZE=address \
  -DCLIPWALK_FIXTURE_DIR="$fixtures" >/dev/null
cmake --build "$root/build-asan" -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$root/build-asan" --output-on-failure -j"$jobs"

echo "== threading tests under TSan"
cmake -S "$root" -B "$root/build-tsan" -DCMAKE_BUILD_TYPE=Debug -DCLIPWALK_SANITIZE=thread \
  -DCLIPWALK_FIXTURE_DIR="$fixtures" >/dev/null
cmake --build "$root/build-tsan" -j"$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir "$root/build-tsan" --output-on-failure -j"$jobs" -R 'make_fixtures|Prescan'

echo "== fuzzing"
"$root/scripts/fuzz.sh" 180
