#!/usr/bin/env bash
# Benchmarks clipwalk against the FFmpeg command-line tools on clips it generates itself.
# Every comparison runs its commands in turn (A B A B ...) on the same files, so that
# a change of machine load hits both sides alike; medians and ratios go to
# bench/results.md, which is also printed.
#
# usage: bench/run.sh [--runs N] [CLIP_DIR]
#   --runs N   measured runs of each command (default 5), after one unmeasured warm-up
#   CLIP_DIR   where the generated clips are cached (default build-bench/clips)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build-bench"
results="$root/bench/results.md"
runs=5
clips=""

log() { printf '[bench] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }
usage() { sed -n 's/^# \{0,1\}//; 7,9p' "${BASH_SOURCE[0]}"; }

while [ $# -gt 0 ]; do
  case "$1" in
    --runs) [ $# -ge 2 ] || die "--runs needs a number"; runs=$2; shift 2 ;;
    --runs=*) runs=${1#--runs=}; shift ;;
    -h | --help) usage; exit 0 ;;
    -*) usage >&2; die "unknown option $1" ;;
    *) [ -z "$clips" ] || die "only one clip directory"; clips=$1; shift ;;
  esac
done
[[ $runs =~ ^[1-9][0-9]*$ ]] || die "--runs must be a positive integer, not '$runs'"
clips=${clips:-$build/clips}
mkdir -p "$clips"
clips=$(cd "$clips" && pwd)

# ---------------------------------------------------------------- tools and build
for tool in ffmpeg ffprobe cmake awk; do
  command -v "$tool" >/dev/null || die "$tool is missing (bash scripts/setup.sh installs it)"
done
if [ ! -x /usr/bin/time ]; then
  log "installing GNU time for peak RSS"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y time >&2 ||
    { "${sudo_cmd[@]}" apt-get update >&2 &&
      DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y time >&2; }
fi

log "building clipwalk (Release) in $build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCLIPWALK_BUILD_TESTS=OFF \
  -DCLIPWALK_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target clipwalk clipwalk_bench >/dev/null
clipwalk="$build/clipwalk"
helper="$build/clipwalk_bench"

# ---------------------------------------------------------------- clips
# make_clip NAME FFMPEG_ARGS...: encodes once into CLIP_DIR; a partial file never keeps the name.
make_clip() {
  local name=$1
  shift
  [ -s "$clips/$name" ] && return 0
  log "generating $name (cached in $clips)"
  ffmpeg -hide_banner -loglevel error -nostdin -y "$@" -movflags +faststart -f mp4 \
    "$clips/.partial-$name"
  mv "$clips/.partial-$name" "$clips/$name"
}

h264=h264_1080p_gop250.mp4
h264_long=h264_1080p_gop250_10min.mp4
hevc=hevc_2160p_gop250.mp4
make_clip "$h264" -f lavfi -i testsrc2=size=1920x1080:rate=25:duration=60 \
  -c:v libx264 -preset veryfast -pix_fmt yuv420p \
  -x264-params keyint=250:min-keyint=250:scenecut=0:bframes=3
# Ten times the same stream, copied: a long file without another ten minutes of encoding.
make_clip "$h264_long" -stream_loop 9 -i "$clips/$h264" -c copy
make_clip "$hevc" -f lavfi -i testsrc2=size=3840x2160:rate=25:duration=20 \
  -c:v libx265 -preset ultrafast -pix_fmt yuv420p -tag:v hvc1 \
  -x265-params log-level=error:keyint=250:min-keyint=250:scenecut=0:bframes=3
H264="$clips/$h264"
H264_LONG="$clips/$h264_long"
HEVC="$clips/$hevc"

# Targets: about 200 frames after the keyframe before them, the worst case of a GOP of 250.
seek_h264=38    # keyframes every 10 s: the one before is 30 s, 200 frames back
seek_hevc=18    # keyframes at 0 and 10 s: 200 frames back
roundtrip_steps=300
# The memory walk stays inside one GOP (30 s to 39.96 s), so that the budget-0 baseline,
# which re-decodes from the keyframe on every backward step, stays affordable.
memory_seek=31
memory_steps=100

# keyframe_before FILE T: pts_time of the last keyframe packet at or before T.
keyframe_before() {
  ffprobe -v error -select_streams v:0 -show_entries packet=pts_time,flags -of csv=p=0 "$1" |
    awk -F, -v t="$2" '$2 ~ /K/ && $1 + 0 <= t + 1e-9 && $1 + 0 >= k { k = $1 + 0 } END { print k + 0 }'
}
# stream_facts FILE: "codec WxH fps frames size_mib"
stream_facts() {
  local facts
  facts=$(ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,height,avg_frame_rate,nb_frames \
    -of csv=p=0 "$1")
  awk -F, -v bytes="$(stat -c %s "$1")" '{ split($4, r, "/"); printf "%s %sx%s %g %s %.1f\n", $1, $2, $3, r[1] / r[2], $5, bytes / 1048576 }' <<<"$facts"
}

# ---------------------------------------------------------------- measuring
samples=$(mktemp -d)
trap 'rm -rf "$samples"' EXIT

# Each measured command is the array CMD_<label>.
CMD_cw_seek_h264=("$clipwalk" "$H264" "$seek_h264" 0)
CMD_ff_seek_h264=(ffmpeg -hide_banner -loglevel error -nostdin -ss "$seek_h264" -i "$H264" -frames:v 1 -f null -)
CMD_hp_seek_h264=("$helper" seek "$H264" "$seek_h264")
CMD_cw_rt=("$clipwalk" "$H264" "$seek_h264" "$roundtrip_steps")
CMD_ff_rt=(ffmpeg -hide_banner -loglevel error -nostdin -ss "$seek_h264" -i "$H264" -frames:v $((roundtrip_steps + 1)) -f null -)
CMD_hp_rt=("$helper" roundtrip "$H264" "$seek_h264" "$roundtrip_steps")
CMD_hp_prescan=("$helper" prescan "$H264")
CMD_fp_prescan=(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets "$H264")
CMD_hp_prescan_long=("$helper" prescan "$H264_LONG")
CMD_fp_prescan_long=(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets "$H264_LONG")
CMD_cw_mem0=("$clipwalk" "$H264" "$memory_seek" "$memory_steps" 0)
CMD_cw_mem64=("$clipwalk" "$H264" "$memory_seek" "$memory_steps" 64)
CMD_cw_mem256=("$clipwalk" "$H264" "$memory_seek" "$memory_steps" 256)
CMD_cw_seek_hevc=("$clipwalk" "$HEVC" "$seek_hevc" 0)
CMD_ff_seek_hevc=(ffmpeg -hide_banner -loglevel error -nostdin -ss "$seek_hevc" -i "$HEVC" -frames:v 1 -f null -)
CMD_ff_seek_hevc_scaled=(ffmpeg -hide_banner -loglevel error -nostdin -ss "$seek_hevc" -i "$HEVC" \
  -vf scale=1920:1080:flags=bilinear -frames:v 1 -f null -)
CMD_hp_seek_hevc=("$helper" seek "$HEVC" "$seek_hevc")

# run_once LABEL [record]: runs CMD_<LABEL> under GNU time; with "record" appends its wall
# time, CPU time and peak RSS, and every key=value line it printed, to the samples.
run_once() {
  local label=$1 record=${2:-}
  local -n cmd="CMD_$label"
  local out="$samples/$label.out" err="$samples/$label.err" timing="$samples/$label.time"
  local start end status=0
  start=$(date +%s%N)
  /usr/bin/time -f '%U %S %M' -o "$timing" "${cmd[@]}" >"$out" 2>"$err" || status=$?
  end=$(date +%s%N)
  if [ "$status" -ne 0 ]; then
    log "FAILED with status $status: ${cmd[*]}"
    cat "$err" >&2
    exit 1
  fi
  if [[ ${cmd[0]} == "$clipwalk" ]] && ! grep -q '^round trip: PASS' "$out"; then
    die "no passing round trip: ${cmd[*]}"
  fi
  [ "$record" = record ] || return 0
  echo $((end - start)) >>"$samples/$label.wall_ns"
  tail -n 1 "$timing" | awk '{ print $1 + $2 }' >>"$samples/$label.cpu_s"
  tail -n 1 "$timing" | awk '{ print $3 }' >>"$samples/$label.rss_kb"
  local key value
  while IFS='=' read -r key value; do
    echo "$value" >>"$samples/$label.$key"
  done < <(grep -E '^[a-z_]+=' "$out" || true)
  # The tool's own prescan line, timed by its 20 ms poll.
  sed -n 's/^prescan   : [0-9]* frames in \([0-9.]*\)s.*/\1/p' "$out" >>"$samples/$label.cli_prescan_s"
}

# cycle [--no-warmup] LABEL...: one warm-up of each, then RUNS rounds of LABEL1 LABEL2 ...
cycle() {
  local warm=1
  if [ "$1" = --no-warmup ]; then warm=0; shift; fi
  local label round
  if [ "$warm" -eq 1 ]; then
    log "warm-up: $*"
    for label in "$@"; do run_once "$label"; done
  fi
  for ((round = 1; round <= runs; ++round)); do
    log "round $round/$runs: $*"
    for label in "$@"; do run_once "$label" record; done
  done
}

# median LABEL KEY: the median of the samples (wall_ns is given in seconds).
median() {
  local file="$samples/$1.$2" scale=1
  [ -s "$file" ] || { echo nan; return; }
  [ "$2" = wall_ns ] && scale=1e9
  sort -g "$file" | awk -v s="$scale" '{ v[NR] = $1 } END {
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; printf "%.6g\n", m / s }'
}
fmt() { awk -v v="$1" -v d="${2:-3}" 'BEGIN { printf "%.*f", d, v }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
verdict() { awk -v r="$1" -v g="$2" 'BEGIN { print (r <= g ? "met" : "**missed**") }'; }
wall() { fmt "$(median "$1" wall_ns)"; }
# spread LABEL: "min–max" of the wall times, to show how noisy the runs were.
spread() {
  sort -g "$samples/$1.wall_ns" | awk 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.3f–%.3f", lo / 1e9, hi / 1e9 }'
}
# cell LABEL: the median wall time, its spread and the median CPU time.
cell() { echo "$(wall "$1") [$(spread "$1")] ($(cpu "$1"))"; }
cpu() { fmt "$(median "$1" cpu_s)" 2; }

# ---------------------------------------------------------------- runs
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date +%s)

cycle cw_seek_h264 ff_seek_h264 hp_seek_h264
cycle cw_rt ff_rt hp_rt
cycle hp_prescan fp_prescan
cycle hp_prescan_long fp_prescan_long
cycle --no-warmup cw_mem0 cw_mem64 cw_mem256
cycle cw_seek_hevc ff_seek_hevc ff_seek_hevc_scaled hp_seek_hevc

# Both counters must agree, or the prescan comparison would compare different work.
for pair in "hp_prescan fp_prescan" "hp_prescan_long fp_prescan_long"; do
  read -r ours theirs <<<"$pair"
  ours_count=$(sed -n 's/^prescan_frames=//p' "$samples/$ours.out")
  theirs_count=$(sed -n 's/^nb_read_packets=//p' "$samples/$theirs.out")
  [ "$ours_count" = "$theirs_count" ] || die "prescan counted $ours_count frames, ffprobe $theirs_count"
done

elapsed=$(($(date +%s) - started))
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# ---------------------------------------------------------------- report
key_h264=$(keyframe_before "$H264" "$seek_h264")
key_hevc=$(keyframe_before "$HEVC" "$seek_hevc")
key_memory=$(keyframe_before "$H264" "$memory_seek")
back_frames() { awk -v t="$1" -v k="$2" -v f="$3" 'BEGIN { printf "%d", (t - k) * f + 0.5 }'; }
read -r c_h264 s_h264 f_h264 n_h264 m_h264 <<<"$(stream_facts "$H264")"
read -r c_long s_long f_long n_long m_long <<<"$(stream_facts "$H264_LONG")"
read -r c_hevc s_hevc f_hevc n_hevc m_hevc <<<"$(stream_facts "$HEVC")"

rt_ratio=$(ratio "$(median cw_rt wall_ns)" "$(median ff_rt wall_ns)")
pre_ratio=$(ratio "$(median hp_prescan wall_ns)" "$(median fp_prescan wall_ns)")
pre_long_ratio=$(ratio "$(median hp_prescan_long wall_ns)" "$(median fp_prescan_long wall_ns)")
rss0=$(median cw_mem0 rss_kb)
mem_row() {
  local budget=$1 rss
  rss=$(median "cw_mem$budget" rss_kb)
  local delta factor
  delta=$(awk -v a="$rss" -v b="$rss0" 'BEGIN { printf "%.1f", (a - b) / 1024 }')
  factor=$(awk -v d="$delta" -v b="$budget" 'BEGIN { printf "%.2f", d / b }')
  echo "| $budget MiB | $(fmt "$(awk -v a="$rss" 'BEGIN { print a / 1024 }')" 1) | $(fmt "$(awk -v a="$rss0" 'BEGIN { print a / 1024 }')" 1) | $delta | ${factor} x B | ≤ 1.1 x B: $(verdict "$factor" 1.1) |"
}
ff_rt_decoded=$(($(back_frames "$seek_h264" "$key_h264" "$f_h264") + 1 + roundtrip_steps))
cw_rt_decoded=$(awk -v a="$(median hp_rt seek_decoded)" -v b="$(median hp_rt forward_decoded)" \
  -v c="$(median hp_rt backward_decoded)" 'BEGIN { print a + b + c }')

{
  cat <<EOF
# clipwalk benchmarks

Produced by \`bench/run.sh --runs $runs\` on $(date -u '+%Y-%m-%d %H:%M UTC') in ${elapsed} s.
Every figure is the median of $runs run(s) taken after one unmeasured warm-up (none for the
memory runs); the commands of each comparison ran in turn (A B A B ...) on the same files.

## Machine

| | |
|---|---|
| cores (nproc) | $(nproc) |
| CPU | $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1) |
| RAM | $(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) |
| kernel | $(uname -r) |
| FFmpeg | $(ffmpeg -version | head -n 1 | cut -d' ' -f3), $(ffmpeg -version | awk '/^lib(avcodec|avformat)/ { printf "%s%s %s%s", sep, $1, $2, $3; sep = ", " }') |
| compiler | $(c++ --version | head -n 1) |
| source | commit $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)$(git -C "$root" diff --quiet HEAD -- src 2>/dev/null || echo ', with uncommitted changes in src/') |
| load average before / after | $load_before / $load_after (the machine is shared; alternation spreads its noise over both sides) |

## Clips (generated with lavfi testsrc2, cached in the clip directory)

| file | codec | size | fps | frames | MiB | encoder settings |
|---|---|---|---|---|---|---|
| $h264 | $c_h264 | $s_h264 | $f_h264 | $n_h264 | $m_h264 | libx264 veryfast, keyint=250:min-keyint=250:scenecut=0, 3 B-frames |
| $h264_long | $c_long | $s_long | $f_long | $n_long | $m_long | the clip above ten times, stream copy |
| $hevc | $c_hevc | $s_hevc | $f_hevc | $n_hevc | $m_hevc | libx265 ultrafast, keyint=250:min-keyint=250:scenecut=0, 3 B-frames (open GOP) |

Seek targets: ${seek_h264} s in the H.264 clip (keyframe before it at ${key_h264} s,
$(back_frames "$seek_h264" "$key_h264" "$f_h264") frames back) and ${seek_hevc} s in the HEVC clip (keyframe at ${key_hevc} s,
$(back_frames "$seek_hevc" "$key_hevc" "$f_hevc") frames back): the hard case, nearly a whole GOP to decode before the target.

## Timings

Wall-clock medians in seconds, the fastest and slowest run in square brackets, the
median CPU time (user + system, all threads) in round brackets. The ratios are
clipwalk's median over the reference's, of wall time and of CPU time; on a shared machine
the CPU ratio is the steadier of the two.

| | comparison | clipwalk side | s [range] (CPU) | reference | s [range] (CPU) | ratio | CPU ratio | goal |
|---|---|---|---|---|---|---|---|---|
| a | seek, 1080p H.264 | \`clipwalk F $seek_h264 0\` (whole process) | $(cell cw_seek_h264) | \`ffmpeg -ss $seek_h264 -i F -frames:v 1 -f null -\` | $(cell ff_seek_h264) | $(ratio "$(median cw_seek_h264 wall_ns)" "$(median ff_seek_h264 wall_ns)") | $(ratio "$(median cw_seek_h264 cpu_s)" "$(median ff_seek_h264 cpu_s)") | ≤ 1.0x: $(verdict "$(ratio "$(median cw_seek_h264 wall_ns)" "$(median ff_seek_h264 wall_ns)")" 1.0) |
| a | seek, 1080p H.264 | helper \`seek\`: open + seek + exit, no prescan (whole process) | $(cell hp_seek_h264) | same ffmpeg run | $(wall ff_seek_h264) | $(ratio "$(median hp_seek_h264 wall_ns)" "$(median ff_seek_h264 wall_ns)") | $(ratio "$(median hp_seek_h264 cpu_s)" "$(median ff_seek_h264 cpu_s)") | none set |
| b | round trip, 1080p H.264 | \`clipwalk F $seek_h264 $roundtrip_steps\` (256 MiB, whole process) | $(cell cw_rt) | \`ffmpeg -ss $seek_h264 -i F -frames:v $((roundtrip_steps + 1)) -f null -\` | $(cell ff_rt) | $rt_ratio | $(ratio "$(median cw_rt cpu_s)" "$(median ff_rt cpu_s)") | ≤ 3x: $(verdict "$rt_ratio" 3) |
| c | prescan, 60 s 1080p | helper \`prescan\`: open + prescan + exit (whole process) | $(cell hp_prescan) | \`ffprobe -v error -count_packets -select_streams v:0 ...\` | $(cell fp_prescan) | $pre_ratio | $(ratio "$(median hp_prescan cpu_s)" "$(median fp_prescan cpu_s)") | ≤ 1.0x: $(verdict "$pre_ratio" 1.0) |
| c | prescan, 10 min 1080p | the same | $(cell hp_prescan_long) | the same | $(cell fp_prescan_long) | $pre_long_ratio | $(ratio "$(median hp_prescan_long cpu_s)" "$(median fp_prescan_long cpu_s)") | ≤ 1.0x: $(verdict "$pre_long_ratio" 1.0) |
| e | seek, 2160p HEVC | \`clipwalk F $seek_hevc 0\` (whole process, preview 1920x1080) | $(cell cw_seek_hevc) | \`ffmpeg -ss $seek_hevc -i F -frames:v 1 -f null -\` | $(cell ff_seek_hevc) | $(ratio "$(median cw_seek_hevc wall_ns)" "$(median ff_seek_hevc wall_ns)") | $(ratio "$(median cw_seek_hevc cpu_s)" "$(median ff_seek_hevc cpu_s)") | ≤ 1.0x: $(verdict "$(ratio "$(median cw_seek_hevc wall_ns)" "$(median ff_seek_hevc wall_ns)")" 1.0) |
| e | seek, 2160p HEVC | the same | $(wall cw_seek_hevc) | the same with \`-vf scale=1920:1080:flags=bilinear\` | $(cell ff_seek_hevc_scaled) | $(ratio "$(median cw_seek_hevc wall_ns)" "$(median ff_seek_hevc_scaled wall_ns)") | $(ratio "$(median cw_seek_hevc cpu_s)" "$(median ff_seek_hevc_scaled cpu_s)") | none set |
| e | seek, 2160p HEVC | helper \`seek\` (whole process, no prescan) | $(cell hp_seek_hevc) | plain ffmpeg run | $(wall ff_seek_hevc) | $(ratio "$(median hp_seek_hevc wall_ns)" "$(median ff_seek_hevc wall_ns)") | $(ratio "$(median hp_seek_hevc cpu_s)" "$(median ff_seek_hevc cpu_s)") | none set |

## Inside the process (helper \`bench/navigator_bench.cpp\`, steady clock around each phase)

| measurement | median |
|---|---|
| \`FrameNavigator::open\`, 1080p H.264 | $(fmt "$(median hp_seek_h264 open_s)") s |
| seek to $seek_h264 s, 1080p H.264 ($(median hp_seek_h264 seek_decoded) frames decoded) | $(fmt "$(median hp_seek_h264 seek_s)") s |
| seek to $seek_hevc s, 2160p HEVC, each frame scaled to the preview ($(median hp_seek_hevc seek_decoded) frames decoded) | $(fmt "$(median hp_seek_hevc seek_s)") s |
| round trip: $roundtrip_steps steps forward ($(median hp_rt forward_decoded) frames decoded) | $(fmt "$(median hp_rt forward_s)") s |
| round trip: $roundtrip_steps steps back ($(median hp_rt backward_decoded) frames decoded) | $(fmt "$(median hp_rt backward_s)") s |
| **frames decoded per backward step** (256 MiB, window of $(median hp_rt window_frames) frames) | **$(median hp_rt backward_decoded_per_step)** |
| frames decoded for the whole round trip: clipwalk (seek + forward + back) vs ffmpeg (from the keyframe, $((roundtrip_steps + 1)) frames) | $cw_rt_decoded vs $ff_rt_decoded |
| prescan, start_prescan until the worker has ended, 60 s clip | $(fmt "$(median hp_prescan prescan_s)") s |
| prescan, the same, 10 min clip | $(fmt "$(median hp_prescan_long prescan_s)") s |
| the prescan line of \`clipwalk F $seek_h264 0\` (polled every 20 ms) | $(fmt "$(median cw_seek_h264 cli_prescan_s)" 2) s |

## Peak memory (d)

GNU time's maximum RSS of \`clipwalk F $memory_seek $memory_steps B\` (1080p H.264; landing
$(back_frames "$memory_seek" "$key_memory" "$f_h264") frames after the keyframe at ${key_memory} s, the whole walk inside that GOP; one
1920x1080 yuv420p frame is about 3 MiB, so even 256 MiB holds only about 84 of the $memory_steps
frames and the window is full). The baseline is the same run at budget 0, whose window
holds two frames; the difference is what the budget bought.

| budget B | peak RSS at B (MiB) | peak RSS at 0 (MiB) | difference (MiB) | difference / B | goal |
|---|---|---|---|---|---|
$(mem_row 64)
$(mem_row 256)

## What each number includes

- \`clipwalk F T 0\` is the whole process: start-up and dynamic linking, open
  (\`avformat_find_stream_info\`, decoder open with automatic threads), the full seek (container
  seek, then decoding from the keyframe to the target, each frame held at the preview size),
  the stream and landing lines, then **the prescan that every clipwalk run ends with** (a second
  demuxer reading every packet of the file), and teardown. Nothing is subtracted. The
  helper's \`seek\` row is the same process without the prescan and without printing, so the
  difference between the two rows is what the prescan and the report cost.
- The ffmpeg seek reference decodes from the same keyframe, drops what lies before T in its
  trim filter and hands one frame to the null muxer; it neither scales nor keeps frames. For
  the 2160p clip clipwalk scales **every** decoded frame to 1920x1080 (the window holds
  previews), while ffmpeg's scale filter only sees frames after the trim; both ffmpeg rows are
  shown.
- The round trip: clipwalk walks $roundtrip_steps frames forward and back at the default budget
  (256 MiB) and then prescans; ffmpeg decodes the same $((roundtrip_steps + 1)) frames once, forward only.
  The backward walk re-decodes from earlier keyframes whenever it leaves the window, so
  clipwalk decodes more frames in all ($cw_rt_decoded against about $ff_rt_decoded).
- Prescan: the goal row compares two whole processes that each open the file, probe its
  streams and read every packet. The helper also opens the navigator (a second
  \`avformat_find_stream_info\` and a decoder open) before it starts the worker, which counts
  against clipwalk; its in-process figure (start_prescan until the worker has ended, polled
  every 0.2 ms) includes the worker's own open and probe and the sort of the timestamps, but
  no process start-up. The clipwalk tool itself reports the same phase rounded up by its 20 ms
  poll.
- Peak RSS includes everything the process maps: the libraries, the decoder's own frame
  pool and threads, the window and, in the prescan, the timestamps list; the budget-0
  baseline takes all of that out except what the window holds.
EOF
} >"$results"

log "done in ${elapsed} s; wrote $results"
cat "$results"
