# Shared by bench/run.sh and bench/python_run.sh (sourced): the cached clips and the machine
# record. Needs $root, $clips and log().

# make_clip NAME FFMPEG_ARGS...: encodes once; a partial file never carries the name.
make_clip() {
  local name=$1
  shift
  [ -s "$clips/$name" ] && return 0
  log "generating $name"
  ffmpeg -hide_banner -loglevel error -nostdin -y "$@" -movflags +faststart -f mp4 "$clips/.partial-$name"
  mv "$clips/.partial-$name" "$clips/$name"
}

# The 1080p clip both benchmarks use: 60 s of H.264, a keyframe every 250 frames, B-frames.
make_h264_clip() {
  make_clip h264_1080p_gop250.mp4 -f lavfi -i testsrc2=size=1920x1080:rate=25:duration=60 \
    -c:v libx264 -preset veryfast -pix_fmt yuv420p -x264-params keyint=250:min-keyint=250:scenecut=0:bframes=3
  H264=$clips/h264_1080p_gop250.mp4
}

# describe_machine SOURCE_DIR...: the machine and the code measured, as tab-separated lines;
# the commit is marked when the given directories hold uncommitted changes.
describe_machine() {
  printf 'cpu\t%s\n' "$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
  printf 'cores\t%s\n' "$(nproc)"
  printf 'memory\t%s\n' "$(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"
  printf 'os\t%s, kernel %s\n' "$(. /etc/os-release && echo "$PRETTY_NAME")" "$(uname -r)"
  printf 'ffmpeg\t%s\n' "$(ffmpeg -version | head -n 1 | cut -d' ' -f3)"
  printf 'compiler\t%s\n' "$(c++ --version | head -n 1)"
  printf 'commit\t%s%s\n' "$(git -C "$root" rev-parse --short HEAD)" \
    "$(git -C "$root" diff --quiet HEAD -- "$@" || echo " with uncommitted changes in $*")"
  printf 'runs\t%s\n' "$runs"
  printf 'load_before\t%s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
  printf 'started\t%s\n' "$(date -u '+%Y-%m-%d %H:%M UTC')"
}
