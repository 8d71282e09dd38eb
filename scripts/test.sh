#!/usr/bin/env bash
# Sets up and runs the test suite. Fixtures are made once and shared by every build tree.
#   ./scripts/test.sh          formatting; the suite and the Python package's tests in a normal
#                              build; the installed library built against and the installed
#                              package imported as their users do; the suite under ASan+UBSan
#                              (with leak detection); the threading tests under TSan; fuzzing
#   ./scripts/test.sh --quick  the normal build, its suite and the Python tests only
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

quick=0
case "${1:-}" in
  "") ;;
  --quick) quick=1 ;;
  *)
    echo "usage: $0 [--quick]" >&2
    exit 2
    ;;
esac

"$root/scripts/setup.sh"

fixtures="$root/build/fixtures"
jobs=$(nproc)

# suite DIR FILTER [CMAKE_OPTION...]: configures and builds DIR, then runs the tests whose
# names match FILTER (empty: all). Sanitizer options come from the caller's environment.
suite() {
  local dir="$root/$1" filter=$2
  shift 2
  cmake -S "$root" -B "$dir" -DCLIPWALK_FIXTURE_DIR="$fixtures" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" ${filter:+-R "$filter"}
}

# The interpreter the Python module of build/ was made for (Debian's python3 by default).
build_python() {
  local python
  python=$(sed -n 's/^Python3_EXECUTABLE:[A-Z]*=//p' "$root/build/CMakeCache.txt")
  if [[ -z $python ]]; then
    echo "build/ has no Python module (configured with CLIPWALK_BUILD_PYTHON=OFF?)" >&2
    return 1
  fi
  echo "$python"
}

# The Python package's tests on build/'s module and on the fixtures that the suite's
# make_fixtures test made, so they run after the suite. A failed test fails the run, and so
# does pytest's status 5 (no test collected).
python_suite() {
  local python
  python=$(build_python)
  PYTHONDONTWRITEBYTECODE=1 "$python" -m pytest -q -p no:cacheprovider "$root/tests/python" \
    --build-dir "$root/build" --fixture-dir "$fixtures"
}

# Every tracked C++ source must already be formatted by the root .clang-format.
check_format() {
  (cd "$root" && git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror)
}

# Installs build/ into a scratch prefix and builds the example from it the two ways a user
# would, with pkg-config and with find_package; each build must land and write the frame.
check_installed_library() {
  local prefix
  prefix=$(mktemp -d)
  cmake --install "$root/build" --prefix "$prefix" >/dev/null
  if grep -rqE '#include <lib(av|sw)' "$prefix/include/clipwalk"; then
    echo "the installed headers include FFmpeg's" >&2
    return 1
  fi
  local pc_dir
  pc_dir=$(dirname "$(find "$prefix" -name clipwalk.pc)")
  local flags
  flags=$(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs clipwalk)
  # shellcheck disable=SC2086  # the flags are words
  c++ -std=c++17 -Wall -Wextra -Werror "$root/examples/land_and_step.cpp" $flags \
    -o "$prefix/land_and_step"
  cmake -S "$root/examples" -B "$prefix/build-examples" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$prefix/build-examples" >/dev/null

  # 320x240, starting at 0; ffprobe names the frame three before the first at or after 2.5 s.
  local clip="$fixtures/h264_bframes_aac.mp4" want
  want=$(ffprobe -v error -select_streams v:0 -show_entries frame=best_effort_timestamp_time \
    -of csv=p=0 "$clip" | awk '$1 >= 2.5 { print p3; exit } { p3 = p2; p2 = p1; p1 = $1 }')
  "$prefix/land_and_step" "$clip" 2.5 3 "$prefix/pkg-config.ppm" | tee "$prefix/out.txt"
  "$prefix/build-examples/land_and_step" "$clip" 2.5 3 "$prefix/find-package.ppm" >/dev/null
  if ! grep -q "^stepped back to pts=[0-9]* t=$want\$" "$prefix/out.txt" ||
    [[ $(head -c 15 "$prefix/pkg-config.ppm") != $'P6\n320 240\n255' ]] ||
    [[ $(stat -c %s "$prefix/pkg-config.ppm") -ne $((15 + 320 * 240 * 3)) ]] ||
    ! cmp -s "$prefix/pkg-config.ppm" "$prefix/find-package.ppm"; then
    echo "the example built from the installed library missed the frame ($want) or its image" >&2
    return 1
  fi
  # Frame N by number is the plain decode's frame N (ffprobe's stamps in its order) on
  # B-frames, an edit-list cut, open-GOP HEVC, MPEG-TS and variable frame rate.
  local name stamp
  for name in h264_bframes_aac.mp4 editlist.mp4 hevc_opengop.mkv h264_ts_offset.ts vfr.mkv; do
    stamp=$(ffprobe -v error -select_streams v:0 -show_entries frame=best_effort_timestamp \
      -of csv=p=0 "$fixtures/$name" | grep -oE '^-?[0-9]+' | sed -n 38p)
    if ! "$prefix/land_and_step" "$fixtures/$name" 1 1 "$prefix/frame.ppm" 37 |
      grep -q "^frame 37 of [0-9]* is pts=$stamp\$"; then
      echo "the example built from the installed library missed frame 37 ($stamp) of $name" >&2
      return 1
    fi
  done
  if [[ $(ls "$prefix/include/clipwalk") != frame_navigator.h ]]; then
    echo "the installed headers are more than the navigator's public one" >&2
    return 1
  fi

  # The installed Python package, from the prefix's dist-packages, lands on the same frame.
  local python site got
  python=$(build_python)
  site="$prefix/$(sed -n 's/^CLIPWALK_PYTHON_INSTALL_DIR:[A-Z]*=//p' "$root/build/CMakeCache.txt")"
  got=$(cd "$prefix" && PYTHONPATH="$site" "$python" -c '
import sys, clipwalk
assert clipwalk.__file__.startswith(sys.argv[1]), clipwalk.__file__
with clipwalk.open(sys.argv[2]) as video:
    video.seek(2.5)
    print("%.6f" % video.step(-3).seconds)' "$site" "$clip")
  if [[ $got != "$want" ]]; then
    echo "the installed Python package landed on $got, not $want" >&2
    return 1
  fi
  rm -rf "$prefix"
}

echo "== tests"
suite build ""

echo "== Python tests"
python_suite
[[ $quick -eq 1 ]] && exit 0

echo "== formatting"
check_format

echo "== the installed library"
check_installed_library

echo "== tests under ASan+UBSan"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  suite build-asan "" -DCMAKE_BUILD_TYPE=Debug -DCLIPWALK_SANITIZE=address

echo "== threading tests under TSan"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  suite build-tsan 'make_fixtures|Prescan|FramePool' -DCMAKE_BUILD_TYPE=Debug -DCLIPWALK_SANITIZE=thread

echo "== fuzzing"
"$root/scripts/fuzz.sh" 180
