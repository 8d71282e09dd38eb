#!/usr/bin/env bash
# Times clipwalk against the FFmpeg tools on clips it generates itself. The commands of each
# comparison run in turn (A B A B ...), so that machine load hits both sides alike. Raw
# timings go to bench/samples.tsv and the machine to bench/machine.tsv; bench/report.py
# turns them into bench/results.md.
#
# usage: bench/run.sh [--runs N] [CLIP_DIR]
#   --runs N   measured rounds of each comparison (default 5), after one unmeasured warm-up
#   CLIP_DIR   where the generated clips are cached (default build-bench/clips)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build-bench"
runs=5
clips=""
log() { printf '[bench] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

while [ $# -gt 0 ]; do
  case "$1" in
    --runs) [ $# -ge 2 ] || die "--runs needs a number"; runs=$2; shift 2 ;;
    -h | --help) sed -n '7,9s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; exit 0 ;;
    -*) die "unknown option $1" ;;
    *) clips=$1; shift ;;
  esac
done
[[ $runs =~ ^[1-9][0-9]*$ ]] || die "--runs must be a positive integer, not '$runs'"
for tool in ffmpeg ffprobe cmake awk python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || die "$tool is missing (scripts/setup.sh; GNU time is the 'time' package)"
done
clips=${clips:-$build/clips}
mkdir -p "$clips"

log "building clipwalk (Release) in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCLIPWALK_BUILD_TESTS=OFF \
  -DCLIPWALK_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target clipwalk clipwalk_bench >/dev/null

. "$root/bench/common.sh"
make_h264_clip
make_clip h264_1080p_gop250_10min.mp4 -stream_loop 9 -i "$clips/h264_1080p_gop250.mp4" -c copy
make_clip hevc_2160p_gop250.mp4 -f lavfi -i testsrc2=size=3840x2160:rate=25:duration=20 \
  -c:v libx265 -preset ultrafast -pix_fmt yuv420p -tag:v hvc1 \
  -x265-params log-level=error:keyint=250:min-keyint=250:scenecut=0:bframes=3
# Short GOPs (2 s) at 4K, where every held frame is scaled: H.264 in both orientations and
# 10-bit HEVC.
for size in 4096x2160 2160x3840; do
  make_clip "h264_${size}_gop50.mp4" -f lavfi -i testsrc2=size=$size:rate=25:duration=10 \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p -x264-params keyint=50:min-keyint=50:scenecut=0:bframes=3
done
make_clip hevc10_2160p_gop50.mp4 -f lavfi -i testsrc2=size=3840x2160:rate=25:duration=10 \
  -c:v libx265 -preset ultrafast -pix_fmt yuv420p10le -tag:v hvc1 \
  -x265-params log-level=error:keyint=50:min-keyint=50:scenecut=0:bframes=3
LONG=$clips/h264_1080p_gop250_10min.mp4
HEVC=$clips/hevc_2160p_gop250.mp4
WIDE=$clips/h264_4096x2160_gop50.mp4
TALL=$clips/h264_2160x3840_gop50.mp4
HEVC10=$clips/hevc10_2160p_gop50.mp4

# The measured commands: cmd_LABEL [ARG] sets the array cmd. Seek targets lie 200 frames after
# the keyframe before them in the GOP-250 clips, 40 frames after it in the GOP-50 ones.
cw="$build/clipwalk"
hp="$build/clipwalk_bench"
ff=(ffmpeg -hide_banner -loglevel error -nostdin)
count=(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets)
cmd_seek_cw() { cmd=("$cw" "$H264" 38 0); }
cmd_seek_ff() { cmd=("${ff[@]}" -ss 38 -i "$H264" -frames:v 1 -f null -); }
cmd_budget() { cmd=("$cw" "$H264" 38 0 "$1"); }
cmd_budget_inside() { cmd=("$hp" seek "$H264" 38 "$1"); }
cmd_hevc_cw() { cmd=("$cw" "$HEVC" 18 0); }
cmd_hevc_ff_scaled() { cmd=("${ff[@]}" -ss 18 -i "$HEVC" -frames:v 1 -vf scale=1920:1080:flags=bilinear -f null -); }
cmd_hevc_ff() { cmd=("${ff[@]}" -ss 18 -i "$HEVC" -frames:v 1 -f null -); }
cmd_hevc_cw0() { cmd=("$cw" "$HEVC" 18 0 0); }
# The short-GOP clips at 7.6 s; the references scale the one frame to clipwalk's preview size.
cmd_short_cw() { cmd=("$cw" "${!1}" 7.6 0); }
cmd_short_cw0() { cmd=("$cw" "${!1}" 7.6 0 0); }
cmd_short_ff_scaled() {
  local preview
  case $1 in WIDE) preview=1920:1014 ;; TALL) preview=1080:1920 ;; *) preview=1920:1080 ;; esac
  cmd=("${ff[@]}" -ss 7.6 -i "${!1}" -frames:v 1 -vf "scale=$preview:flags=bilinear" -f null -)
}
# A landing alone, and the same landing followed by 30 single steps back (in-process helper).
cmd_land() { cmd=("$hp" seek "$H264" 38); }
cmd_back() { cmd=("$hp" back "$H264" 38 30); }
cmd_walk_cw() { cmd=("$cw" "$H264" 38 300); }
cmd_walk_ff() { cmd=("${ff[@]}" -ss 38 -i "$H264" -frames:v 301 -f null -); }
cmd_walk_inside() { cmd=("$hp" roundtrip "$H264" 38 300); }
cmd_prescan_cw() { cmd=("$hp" prescan "$H264"); }
cmd_prescan_ff() { cmd=("${count[@]}" "$H264"); }
cmd_prescan_long_cw() { cmd=("$hp" prescan "$LONG"); }
cmd_prescan_long_ff() { cmd=("${count[@]}" "$LONG"); }
# The count by decoding, against one plain decode of the video stream.
cmd_count_cw() { cmd=("$hp" prescan "$H264" decode); }
cmd_count_ff() { cmd=("${ff[@]}" -i "$H264" -map 0:v:0 -f null -); }
cmd_memory() { cmd=("$cw" "$H264" 31 100 "$1"); }
# Every 10th frame of 20 s (10 s to 30 s, from a keyframe) in one sorted batch, against one
# decode of the same span.
cmd_batch_cw() { cmd=("$hp" batch "$H264" 10 30 10); }
cmd_batch_ff() { cmd=("${ff[@]}" -ss 10 -t 20 -i "$H264" -f null -); }

samples=$root/bench/samples.tsv
printf 'group\tlabel\tround\twall_s\tcpu_s\trss_kb\toutput\n' >"$samples"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# measure GROUP ROUND LABEL [ARG]: runs cmd_LABEL under GNU time and appends one sample; the
# output column keeps the key=value lines the in-process helper prints.
measure() {
  local group=$1 round=$2 label=$3 arg=${4:-} start end
  "cmd_$label" $arg  # sets cmd
  start=$(date +%s%N)
  /usr/bin/time -f '%U %S %M' -o "$scratch/time" "${cmd[@]}" >"$scratch/out" 2>"$scratch/err" ||
    { cat "$scratch/err" >&2; die "cmd_$label $arg failed"; }
  end=$(date +%s%N)
  if grep -q '^round trip: FAIL' "$scratch/out"; then die "cmd_$label $arg: round trip failed"; fi
  read -r user sys rss <"$scratch/time"
  printf '%s\t%s\t%s\t%.6f\t%.3f\t%s\t%s\n' "$group" "$label${arg:+:$arg}" "$round" \
    "$(awk -v s="$start" -v e="$end" 'BEGIN { print (e - s) / 1e9 }')" \
    "$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')" "$rss" \
    "$(grep -E '^[a-z_]+=' "$scratch/out" | paste -sd ';' || true)" >>"$samples"
}

# cycle GROUP LABEL[:ARG]...: one unmeasured warm-up of each, then RUNS rounds in turn.
cycle() {
  local group=$1 round item
  shift
  log "$group: $*"
  for round in $(seq 0 "$runs"); do
    for item in "$@"; do
      if [ "$round" -eq 0 ]; then measure warmup 0 "${item%%:*}" "$([[ $item == *:* ]] && echo "${item#*:}")"
      else measure "$group" "$round" "${item%%:*}" "$([[ $item == *:* ]] && echo "${item#*:}")"; fi
    done
  done
}

describe_machine src >"$root/bench/machine.tsv"

cycle seek seek_cw seek_ff
cycle budget budget:0 budget:16 budget:64 budget:128 budget:256 budget:512 budget:1024 seek_ff
for budget in 0 16 64 128 256 512 1024; do measure budget_inside 1 budget_inside "$budget"; done
cycle hevc hevc_cw hevc_cw0 hevc_ff_scaled hevc_ff
for clip in WIDE TALL HEVC10; do
  cycle "short_$clip" "short_cw:$clip" "short_cw0:$clip" "short_ff_scaled:$clip"
done
cycle back land back
cycle walk walk_cw walk_ff
measure walk_inside 1 walk_inside
cycle prescan prescan_cw prescan_ff
cycle prescan_long prescan_long_cw prescan_long_ff
cycle count count_cw count_ff
cycle memory memory:0 memory:64 memory:256
cycle batch batch_cw batch_ff

printf 'load_after\t%s\n' "$(cut -d' ' -f1-3 /proc/loadavg)" >>"$root/bench/machine.tsv"
python3 "$root/bench/report.py" "$root/bench"
