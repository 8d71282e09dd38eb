#!/usr/bin/env bash
# Times the Python package against PyAV and OpenCV, the readers Python users have, on the
# 1080p clip of bench/run.sh: 100 random frame numbers in one batch, and 300 single steps
# back. Every measurement is a whole process (bench/python_workload.py); the readers of each
# comparison run in turn (A B C A B C ...), so that machine load hits all alike. The
# unmeasured warm-up round also records which frames each reader returned, and
# bench/python_check.py compares them with the plain decode. Raw timings go to
# bench/python_samples.tsv, the frames to bench/python_frames.tsv, the machine to
# bench/python_machine.tsv; bench/python_report.py writes bench/python_results.md.
#
# Then, untimed, which frames the readers return for 30 random frame numbers of three test
# fixtures that are not plain (variable frame rate, an edit-list cut, open-GOP HEVC in TS).
#
# usage: bench/python_run.sh [--runs N] [--fixtures DIR] [--fixtures-only] [CLIP_DIR]
#   --runs N        measured rounds of each comparison (default 3), after the warm-up
#   --fixtures-only only the untimed pass over the fixtures; the timings and the 1080p clip's
#                   frames of the last run stay
#   --fixtures DIR  where scripts/make_fixtures.sh keeps the fixtures (default build/fixtures)
#   CLIP_DIR        where the generated clips are cached (default build-bench/clips)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build-bench"
runs=3
fixtures_only=0
clips=""
fixtures=$root/build/fixtures
log() { printf '[bench] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

while [ $# -gt 0 ]; do
  case "$1" in
    --runs) [ $# -ge 2 ] || die "--runs needs a number"; runs=$2; shift 2 ;;
    --fixtures) [ $# -ge 2 ] || die "--fixtures needs a directory"; fixtures=$2; shift 2 ;;
    --fixtures-only) fixtures_only=1; shift ;;
    -h | --help) sed -n '15,20s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; exit 0 ;;
    -*) die "unknown option $1" ;;
    *) clips=$1; shift ;;
  esac
done
[[ $runs =~ ^[1-9][0-9]*$ ]] || die "--runs must be a positive integer, not '$runs'"

# The references and GNU time are needed here only, so this script installs them (and what
# the module is built with, as scripts/setup.sh does).
missing=()
for package in python3-av python3-opencv time g++ cmake pkg-config ffmpeg libavformat-dev \
  libavcodec-dev libavutil-dev libswscale-dev pybind11-dev python3-dev python3-numpy; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

clips=${clips:-$build/clips}
mkdir -p "$clips"
log "building the Python module (Release) in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCLIPWALK_BUILD_TESTS=OFF \
  -DCLIPWALK_BUILD_BENCH=ON -DCLIPWALK_BUILD_PYTHON=ON >/dev/null
cmake --build "$build" -j2 --target clipwalk_python >/dev/null
python=$(sed -n 's/^Python3_EXECUTABLE:[A-Z]*=//p' "$build/CMakeCache.txt")

. "$root/bench/common.sh"
make_h264_clip
# 4K at the source size, where a frame is 13 to 25 MB: all-P H.264 with a keyframe every
# 24 frames, and 10-bit HEVC with one every 48; walked back from a GOP's last frame.
make_clip h264_4096x2160_allp_gop24.mp4 -f lavfi -i testsrc2=size=4096x2160:rate=24:duration=4 \
  -c:v libx264 -preset veryfast -pix_fmt yuv420p -x264-params keyint=24:min-keyint=24:scenecut=0:bframes=0
make_clip hevc10_2160p_gop48.mp4 -f lavfi -i testsrc2=size=3840x2160:rate=24:duration=4 \
  -c:v libx265 -preset ultrafast -pix_fmt yuv420p10le -tag:v hvc1 \
  -x265-params log-level=error:keyint=48:min-keyint=48:scenecut=0:bframes=3

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The same 100 numbers for every reader, in a random order; the walk back starts at 38 s.
frames=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets \
  -of csv=p=0 "$H264")
"$python" -c 'import random, sys; print(*random.Random(7).sample(range(int(sys.argv[1])), 100))' \
  "$frames" >"$scratch/batch.txt"
echo 950 >"$scratch/steps.txt"
echo 71 24 >"$scratch/steps_dci.txt"    # frame 71, the last of the third GOP, back to 47
echo 95 95 >"$scratch/steps_hevc10.txt" # the last frame of two GOPs, back to the first
declare -A clip_of=([batch]=$H264 [steps]=$H264 [steps_dci]=$clips/h264_4096x2160_allp_gop24.mp4
  [steps_hevc10]=$clips/hevc10_2160p_gop48.mp4)

samples=$root/bench/python_samples.tsv
frames_tsv=$root/bench/python_frames.tsv
# measure WORKLOAD READER ROUND: one whole process under GNU time; round 0 is the warm-up,
# which keeps what the frames were instead of being timed.
measure() {
  local workload=$1 reader=$2 round=$3 start end check=()
  # The 1080p clip's frames are checked against its plain decode; the 4K walks are timed only.
  [ "$round" -eq 0 ] && [[ $workload != steps_* ]] && check=(--check "$scratch/$workload-$reader.npz")
  start=$(date +%s%N)
  PYTHONPATH="$build/python" /usr/bin/time -f '%U %S %M' -o "$scratch/time" "$python" \
    "$root/bench/python_workload.py" "${workload%%_*}" "$reader" "${clip_of[$workload]}" "$scratch/$workload.txt" \
    "${check[@]}" 2>"$scratch/err" || { cat "$scratch/err" >&2; die "$workload $reader failed"; }
  end=$(date +%s%N)
  read -r user sys rss <"$scratch/time"
  printf '%s\t%s\t%s\t%.6f\t%.3f\t%s\n' "$([ "$round" -eq 0 ] && echo warmup || echo "$workload")" \
    "$workload:$reader" "$round" "$(awk -v s="$start" -v e="$end" 'BEGIN { print (e - s) / 1e9 }')" \
    "$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')" "$rss" >>"$samples"
}

# cycle WORKLOAD READER...: the warm-up, then RUNS rounds with the readers in turn.
cycle() {
  local workload=$1 round reader
  shift
  for round in $(seq 0 "$runs"); do
    for reader in "$@"; do
      log "$workload: $reader, round $round of $runs"
      measure "$workload" "$reader" "$round"
    done
  done
}

# The timed comparisons, the machine beside them, and the 1080p clip's frames.
timed_comparisons() {
  printf 'group\tlabel\tround\twall_s\tcpu_s\trss_kb\n' >"$samples"
  describe_machine src python >"$root/bench/python_machine.tsv"
  printf 'python\t%s\n' "$("$python" -c 'import sys; print(sys.version.split()[0])')" \
    >>"$root/bench/python_machine.tsv"
  printf 'references\t%s\n' "$("$python" -c 'import av, cv2; print(f"PyAV {av.__version__}, OpenCV {cv2.__version__}")')" \
    >>"$root/bench/python_machine.tsv"

  cycle batch clipwalk pyav opencv
  cycle steps clipwalk pyav
  cycle steps_dci clipwalk pyav
  cycle steps_hevc10 clipwalk pyav

  printf 'load_after\t%s\n' "$(cut -d' ' -f1-3 /proc/loadavg)" >>"$root/bench/python_machine.tsv"
  log "checking the frames against the plain decode"
  "$python" "$root/bench/python_check.py" "$H264" "$scratch"/*.npz >"$frames_tsv"
}

if [ "$fixtures_only" -eq 1 ]; then
  [ -s "$samples" ] && [ -s "$frames_tsv" ] || die "--fixtures-only needs a complete earlier run"
  { head -n 1 "$frames_tsv"; grep -P "^\Q$(basename "$H264")\E\t" "$frames_tsv"; } >"$scratch/frames.tsv"
  mv "$scratch/frames.tsv" "$frames_tsv"
else
  timed_comparisons
fi

log "frames of streams that are not plain, from $fixtures"
"$root/scripts/make_fixtures.sh" "$fixtures" >/dev/null
for name in vfr.mkv editlist.mp4 hevc_opengop.ts; do
  clip=$fixtures/$name
  mkdir -p "$scratch/$name"
  ffprobe -v error -select_streams v:0 -count_frames -show_entries stream=nb_read_frames \
    -of csv=p=0 "$clip" | grep -m 1 . >"$scratch/$name/count"  # MPEG-TS lists it twice
  "$python" -c 'import random, sys; print(*random.Random(7).sample(range(int(sys.argv[1])), 30))' \
    "$(cat "$scratch/$name/count")" >"$scratch/$name/numbers.txt"
  for reader in clipwalk pyav opencv; do
    PYTHONPATH="$build/python" "$python" "$root/bench/python_workload.py" batch "$reader" "$clip" \
      "$scratch/$name/numbers.txt" --check "$scratch/$name/batch-$reader.npz" 2>/dev/null
  done
  "$python" "$root/bench/python_check.py" "$clip" "$scratch/$name"/*.npz | tail -n +2 \
    >>"$frames_tsv"
done
"$python" "$root/bench/python_report.py" "$root/bench"
