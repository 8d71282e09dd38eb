#!/usr/bin/env bash
# Generates the test video fixtures into DIR with the ffmpeg tool.
# Every file comes from fixed lavfi sources, so reruns give the same frames.
# Existing files are kept: each is written under a temporary name and renamed
# only when complete, so an interrupted run never leaves a file that looks cached.
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 DIR" >&2
  exit 2
fi
DIR=$1
mkdir -p "$DIR"

TMP=""
cleanup() { [[ -n $TMP ]] && rm -f "$TMP" "$TMP".*; true; }
trap cleanup EXIT

# -bitexact keeps muxers (Matroska UIDs, encoder tags) and encoders reproducible;
# single-threaded x264 (its frame threads gave run-to-run differences) and
# fixed thread counts elsewhere keep the output independent of the machine.
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
OUT_FLAGS=(-fflags +bitexact -flags:v +bitexact -flags:a +bitexact)
X264=(-c:v libx264 -threads 1 -pix_fmt yuv420p)

# testsrc2 draws a moving pattern and a frame counter, so every frame differs.
src() { echo "testsrc2=size=$1:rate=${3:-25}:duration=$2"; }
sine() { echo "sine=frequency=440:sample_rate=48000:duration=$1"; }

# gen NAME FUNC: runs FUNC to write $TMP (same extension as NAME), then renames it.
gen() {
  local name=$1 func=$2
  if [[ -e $DIR/$name ]]; then
    echo "cached    $name"
    return
  fi
  TMP="$DIR/.tmp-$$-$name"
  "$func"
  mv -f "$TMP" "$DIR/$name"
  TMP=""
  echo "generated $name"
}

# B-frame reordering (pts != dts), closed GOPs of 50, AAC track, moov up front.
f_h264_bframes_aac() {
  ff -f lavfi -i "$(src 320x240 6)" -f lavfi -i "$(sine 6)" \
    "${X264[@]}" -preset veryfast -bf 3 -g 50 -keyint_min 50 -sc_threshold 0 \
    -c:a aac -b:a 64k -movflags +faststart "${OUT_FLAGS[@]}" "$TMP"
}

# Non-zero start time (~11.4 s: 10 s offset plus mpegts' 1.4 s default delay).
f_h264_ts_offset() {
  ff -f lavfi -i "$(src 320x240 8)" -f lavfi -i "$(sine 8)" \
    "${X264[@]}" -preset veryfast -bf 3 -g 50 -keyint_min 50 -sc_threshold 0 \
    -c:a mp2 -b:a 128k -output_ts_offset 10 "${OUT_FLAGS[@]}" -f mpegts "$TMP"
}

# Large pictures: 4K UHD, DCI 4K and portrait 4K.
big() {
  ff -f lavfi -i "testsrc2=size=$1:rate=25" -frames:v 10 \
    "${X264[@]}" -preset ultrafast "${OUT_FLAGS[@]}" "$TMP"
}
f_uhd() { big 3840x2160; }
f_dci() { big 4096x2160; }
f_portrait() { big 2160x3840; }

# Odd width and height (ffv1 allows them even with 4:2:0 chroma).
f_odd() {
  ff -f lavfi -i "$(src 1280x720 1)" -vf scale=1279:719,format=yuv420p \
    -c:v ffv1 -threads 2 "${OUT_FLAGS[@]}" "$TMP"
}

# Matroska declares no frame count (nb_frames N/A), so frames must be counted.
f_no_count() {
  ff -f lavfi -i "$(src 320x240 4)" "${X264[@]}" -preset veryfast -g 50 \
    "${OUT_FLAGS[@]}" "$TMP"
}

# Raw Annex-B stream: ffprobe reports pts=N/A and dts=N/A on every packet and
# best_effort_timestamp=N/A on every frame, and no start time or duration.
f_raw_h264() {
  ff -f lavfi -i "$(src 320x240 2)" "${X264[@]}" -preset veryfast -bf 0 -g 25 \
    "${OUT_FLAGS[@]}" -f h264 "$TMP"
}

# No video stream at all.
f_audio_only() {
  ff -f lavfi -i "$(sine 1)" -c:a aac -b:a 64k "${OUT_FLAGS[@]}" "$TMP"
}

# Audio with an attached cover picture: the picture is no video stream.
f_audio_cover() {
  ff -f lavfi -i "$(sine 1)" -f lavfi -i "color=c=red:size=64x64:d=0.04" -map 0:a -map 1:v \
    -c:a aac -b:a 64k -c:v png -disposition:v attached_pic "${OUT_FLAGS[@]}" "$TMP"
}

# Not a media file.
f_not_video() {
  printf '%s\n' "This is not a video." "It is plain text," \
    "used to check that opening it fails cleanly." > "$TMP"
}

# Opens, but the data ends early (first ~40% of the bytes of a 4 s file).
f_truncated() {
  ff -f lavfi -i "$(src 320x240 4)" "${X264[@]}" -preset veryfast -g 50 \
    "${OUT_FLAGS[@]}" -f matroska "$TMP.full"
  local size
  size=$(stat -c %s "$TMP.full")
  head -c $((size * 40 / 100)) "$TMP.full" > "$TMP"
  rm -f "$TMP.full"
}

# VP9 in WebM.
f_vp9() {
  ff -f lavfi -i "$(src 320x240 4)" -c:v libvpx-vp9 -deadline realtime -cpu-used 8 \
    -threads 1 -row-mt 0 -b:v 500k -g 50 -keyint_min 50 -pix_fmt yuv420p \
    "${OUT_FLAGS[@]}" "$TMP"
}

# MPEG-2 video with B-frames in an MPEG-2 program stream, plus MP2 audio.
f_mpeg2() {
  ff -f lavfi -i "$(src 352x288 6)" -f lavfi -i "$(sine 6)" \
    -c:v mpeg2video -b:v 1500k -bf 2 -g 15 -pix_fmt yuv420p \
    -c:a mp2 -b:a 128k "${OUT_FLAGS[@]}" -f vob "$TMP"
}

# Intra-only MJPEG in AVI.
f_mjpeg() {
  ff -f lavfi -i "$(src 320x240 3)" -c:v mjpeg -q:v 5 -pix_fmt yuvj420p \
    "${OUT_FLAGS[@]}" "$TMP"
}

# Intra-only ProRes (10-bit 4:2:2) in MOV.
f_prores() {
  ff -f lavfi -i "$(src 320x240 2)" -c:v prores_ks -profile:v 0 -threads 2 \
    "${OUT_FLAGS[@]}" "$TMP"
}

# HEVC with open GOPs: IDR at 0, CRA keyframes at 2 s and 4 s; each CRA is followed in
# decode order by a RASL picture shown before it, which needs the previous GOP.
f_hevc_opengop() {
  ff -f lavfi -i "$(src 320x240 6)" -c:v libx265 -preset veryfast -pix_fmt yuv420p \
    -x265-params "log-level=error:open-gop=1:keyint=50:min-keyint=50:bframes=3:scenecut=0:pools=1:frame-threads=1" \
    "${OUT_FLAGS[@]}" "$TMP"
}

# Variable frame rate: 50 frames 40 ms apart, 13 at 80 ms, 12 at 120 ms (0 to 4.36 s).
# round() so float error cannot lose a tick (without it 2.32 s came out as 2.28 s).
f_vfr() {
  ff -f lavfi -i "$(src 320x240 3)" \
    -vf "setpts='round(if(lt(N,50),N*0.04,if(lt(N,63),2+(N-50)*0.08,3.04+(N-63)*0.12))/TB)'" \
    "${X264[@]}" -preset veryfast -g 50 -fps_mode passthrough -enc_time_base 1/1000 \
    "${OUT_FLAGS[@]}" "$TMP"
}

# Picture size changes mid-stream: 320x240 then 640x360, raw streams back to back.
f_size_change() {
  ff -f lavfi -i "$(src 320x240 1)" "${X264[@]}" -preset veryfast -bf 0 -g 25 \
    "${OUT_FLAGS[@]}" -f h264 "$TMP.a"
  ff -f lavfi -i "$(src 640x360 1)" "${X264[@]}" -preset veryfast -bf 0 -g 25 \
    "${OUT_FLAGS[@]}" -f h264 "$TMP.b"
  cat "$TMP.a" "$TMP.b" > "$TMP"
  rm -f "$TMP.a" "$TMP.b"
}

# Full HD, one keyframe a second.
f_h264_1080p() {
  ff -f lavfi -i "$(src 1920x1080 3)" "${X264[@]}" -preset ultrafast -g 25 \
    -keyint_min 25 -sc_threshold 0 "${OUT_FLAGS[@]}" "$TMP"
}

# ---- Files as users have them: joined, cut, damaged, untimed. Byte-level cuts and patches
# of encoded files; each is deterministic because its source is.

# Video packets of FILE as "pos,size,flags" lines, in file order (ffprobe writes size first).
video_packets() {
  ffprobe -v error -select_streams v:0 -show_entries packet=pos,size,flags -of csv=p=0 "$1" |
    awk -F, 'NF >= 3 { print $2 "," $1 "," $3 }'
}

# overwrite FILE OFFSET COUNT BYTE: COUNT bytes at OFFSET become BYTE (octal, for tr).
overwrite() {
  head -c "$3" /dev/zero | tr '\0' "\\$4" |
    dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

byte_at() { od -An -tu1 -j "$2" -N1 "$1" | tr -d ' '; }

# strip_pes_timestamps FILE first|keep-every N: clears the PTS/DTS flags of video PES
# headers, of the first N, or of all but every Nth; the header keeps its length, so the
# demuxer skips the stamp bytes it no longer reads.
strip_pes_timestamps() {
  local file=$1 mode=$2 n=$3 k=0 pos afc pes flags
  local -a positions
  mapfile -t positions < <(video_packets "$file" | cut -d, -f1)
  for pos in "${positions[@]}"; do
    if { [[ $mode == first ]] && ((k < n)); } || { [[ $mode == keep-every ]] && ((k % n != 0)); }; then
      afc=$(($(byte_at "$file" $((pos + 3))) >> 4 & 3))
      pes=$((pos + 4))
      ((afc & 2)) && pes=$((pes + 1 + $(byte_at "$file" $((pos + 4)))))
      flags=$(byte_at "$file" $((pes + 7)))
      printf "\\$(printf %03o $((flags & 0x3f)))" |
        dd of="$file" bs=1 seek=$((pes + 7)) conv=notrunc status=none
    fi
    k=$((k + 1))
  done
}

ts_part() {  # ts_part OUT LAVFI_SOURCE [ffmpeg options...]
  local out=$1 source=$2
  shift 2
  ff -f lavfi -i "$source" "${X264[@]}" -preset veryfast -bf 2 -g 25 "$@" "${OUT_FLAGS[@]}" \
    -f mpegts "$out"
}

# Two recordings joined byte to byte whose clocks both start at 1.4 s: every stamp is
# there twice, and the frame a plain decode shows first for a time lies in the first.
f_ts_joined() {
  ts_part "$TMP.a" "$(src 320x240 4)"
  ts_part "$TMP.b" "testsrc=size=320x240:rate=25:duration=4"
  cat "$TMP.a" "$TMP.b" > "$TMP"
  rm -f "$TMP.a" "$TMP.b"
}

# The second recording's clock (1.4 s) runs below the first's (11.4 s).
f_ts_clock_down() {
  ts_part "$TMP.a" "$(src 320x240 4)" -output_ts_offset 10
  ts_part "$TMP.b" "testsrc=size=320x240:rate=25:duration=4"
  cat "$TMP.a" "$TMP.b" > "$TMP"
  rm -f "$TMP.a" "$TMP.b"
}

# The first GOP's PES headers carry no timestamps.
f_ts_untimed_gop() {
  ts_part "$TMP" "$(src 320x240 4)"
  strip_pes_timestamps "$TMP" first 25
}

# Two PES headers in three carry no timestamp: the guessed rate comes out 8.33 fps.
f_ts_untimed() {
  ts_part "$TMP" "$(src 320x240 4)"
  strip_pes_timestamps "$TMP" keep-every 3
}

# Open-GOP HEVC in MPEG-TS, where timestamp searches land on any packet.
f_hevc_opengop_ts() {
  ff -f lavfi -i "$(src 320x240 6)" -c:v libx265 -preset veryfast -pix_fmt yuv420p \
    -x265-params "log-level=error:open-gop=1:keyint=50:min-keyint=50:bframes=3:scenecut=0:pools=1:frame-threads=1" \
    "${OUT_FLAGS[@]}" -f mpegts "$TMP"
}

# An MP4 download cut inside its media data (index up front): the last sample is partial.
f_truncated_mp4() {
  ff -f lavfi -i "$(src 320x240 4)" "${X264[@]}" -preset veryfast -bf 2 -g 25 \
    -movflags +faststart "${OUT_FLAGS[@]}" "$TMP.full.mp4"
  head -c $(($(stat -c %s "$TMP.full.mp4") * 70 / 100)) "$TMP.full.mp4" > "$TMP"
  rm -f "$TMP.full.mp4"
}

# A copy-cut at 1.76 s: the edit list hides the 44 frames before it, decoded but not shown.
f_editlist() {
  ff -f lavfi -i "$(src 320x240 8)" "${X264[@]}" -preset veryfast -bf 2 -g 50 -keyint_min 50 \
    -sc_threshold 0 "${OUT_FLAGS[@]}" "$TMP.src.mp4"
  ff -ss 1.76 -i "$TMP.src.mp4" -c copy "${OUT_FLAGS[@]}" -f mp4 "$TMP"
  rm -f "$TMP.src.mp4"
}

# An MPEG-TS cut a third of the way in, mid-GOP: its first pictures cannot be decoded.
f_ts_midcut() {
  ts_part "$TMP.src" "$(src 320x240 4)"
  local packets=$(($(stat -c %s "$TMP.src") / 188))
  tail -c $(((packets - packets / 3) * 188)) "$TMP.src" > "$TMP"
  rm -f "$TMP.src"
}

# An MP4 whose second keyframe (at 2 s) is zeroed: its GOP decodes only with damage.
f_zeroed_keyframe() {
  ff -f lavfi -i "$(src 320x240 6)" "${X264[@]}" -preset veryfast -bf 2 -g 50 -keyint_min 50 \
    -sc_threshold 0 "${OUT_FLAGS[@]}" "$TMP.mp4"
  local line
  line=$(video_packets "$TMP.mp4" | grep ',K' | sed -n 2p)
  overwrite "$TMP.mp4" "${line%%,*}" "$(echo "$line" | cut -d, -f2)" 000
  mv "$TMP.mp4" "$TMP"
}

# Six TS packets of video payload overwritten in the middle of the stream (headers kept).
f_ts_damaged() {
  ts_part "$TMP" "$(src 320x240 4)"
  local pos k
  pos=$(video_packets "$TMP" | sed -n 41p | cut -d, -f1)
  for k in 1 2 3 4 5 6; do overwrite "$TMP" $((pos + k * 188 + 4)) 184 125; done
}

# flip_slice_headers FILE N:OFFSET:XOR...: XORs the byte OFFSET bytes after the NAL header
# of the first slice of video packet N (counted from 0), as bit errors in a broadcast do.
flip_slice_headers() {
  local file=$1
  shift
  python3 - "$file" "$(video_packets "$file" | cut -d, -f1)" "$@" <<'FLIP'
import sys
path, flips = sys.argv[1], sys.argv[3:]
positions = [int(p) for p in sys.argv[2].split()]
data = bytearray(open(path, "rb").read())
for flip in flips:
    n, offset, xor = flip.split(":")
    at = positions[int(n)]
    while True:  # the first coded slice (NAL type 1 or 5) of the packet
        at = data.index(b"\0\0\1", at)
        if data[at + 3] & 0x1F in (1, 5):
            break
        at += 3
    data[at + 4 + int(offset)] ^= int(xor, 0)
open(path, "wb").write(data)
FLIP
}

# H.264 in MPEG-TS with B-frames and open GOPs (a non-IDR I-frame each second, as broadcast
# has), with bit errors in the slice headers of a few pictures. What a decoder shows there
# depends on what it decoded before the keyframe.
ts_open_gop() {
  ff -f lavfi -i "$(src 320x240 8)" "${X264[@]}" -preset veryfast \
    -x264-params keyint=25:min-keyint=25:scenecut=0:open-gop=1:bframes=3 "${OUT_FLAGS[@]}" \
    -f mpegts "$TMP"
}
# After the damage at 2.6 s pictures come out of order: the decoder stamps by the decode
# stamps from then on.
f_ts_damaged_order() {
  ts_open_gop
  flip_slice_headers "$TMP" 67:0:0xd8 69:1:0xa7 62:1:0x1d 67:3:0xdf
}
# After the damage at 3.2 s the decoder shows nothing for a second and more.
f_ts_damaged_headers() {
  ts_open_gop
  flip_slice_headers "$TMP" 81:1:0x2b 82:1:0xac 80:1:0xcf 83:0:0x71
}

# Faulty stamps, rewritten by stream copy with the setts bitstream filter in one GOP of 6 s:
# after the fault a decoder takes each picture's dts for its stamp, and packet 140's pts,
# moved off its dts, shows which stamp won. retimed EXPR: pts of packet N as EXPR of PTS.
retimed() {
  local gop=${2:-300}
  ff -f lavfi -i "$(src 320x240 6)" "${X264[@]}" -preset veryfast -bf 2 \
    -x264-params keyint=$gop:min-keyint=$gop:b-pyramid=none:scenecut=0 "${OUT_FLAGS[@]}" \
    "$TMP.src.mp4"
  ff -i "$TMP.src.mp4" -c copy -bsf:v "setts=pts=if(eq(N\\,140)\\,PTS+256\\,$1)" \
    "${OUT_FLAGS[@]}" -f mp4 "$TMP"
  rm -f "$TMP.src.mp4"
}
# Packet 31's pts moved a frame later, onto the stamp of the picture shown after it.
f_faulty_pts() { retimed "if(eq(N\\,31)\\,PTS+512\\,PTS)"; }
# The same fault with a keyframe every 2 s: a decoder opened at a later keyframe never
# saw it, while a plain decode stamps every later picture by its dts.
f_faulty_pts_gop() { retimed "if(eq(N\\,31)\\,PTS+512\\,PTS)" 50; }
# The pts of packets 30 and 31, two B-frames in a row, swapped.
f_swapped_pts() { retimed "if(eq(N\\,30)\\,PTS+512\\,if(eq(N\\,31)\\,PTS-512\\,PTS))"; }

# MPEG-4 Part 2 with B-frames in AVI, whose packets carry only a decode stamp: the decoder
# stamps each picture with the stamp of a later packet (its reordering delay).
f_mpeg4_bframes_avi() {
  ff -f lavfi -i "$(src 320x240 4)" -c:v mpeg4 -q:v 5 -bf 2 -g 25 -flags +cgop \
    "${OUT_FLAGS[@]}" "$TMP"
}

# The same with packed B-frames as DivX and Xvid write them: each P-frame shares its chunk
# with the first B-frame after it, a 'DivX503b1393p' user data after every VOL header marks
# the stream packed, and a not-coded VOP (N-VOP) fills the slot after the last B-frame. The
# chunks are rewritten in place of the encoded ones, and the index after them.
f_mpeg4_packed_avi() {
  f_mpeg4_bframes_avi
  mv "$TMP" "$TMP.src"
  python3 - "$TMP.src" "$TMP" <<'PACK'
import struct, sys
src, dst = sys.argv[1], sys.argv[2]
d = open(src, 'rb').read()

def chunks(off, end):
    while off + 8 <= end:
        cid = d[off:off+4]; size = struct.unpack('<I', d[off+4:off+8])[0]
        yield off, cid, size
        off += 8 + size + (size & 1)

riff_end = 8 + struct.unpack('<I', d[4:8])[0]
movi = next(o for o, c, s in chunks(12, riff_end) if c == b'LIST' and d[o+8:o+12] == b'movi')
movi_size = struct.unpack('<I', d[movi+4:movi+8])[0]
idx1 = next(o for o, c, s in chunks(12, riff_end) if c == b'idx1')
entries = [struct.unpack('<4sIII', d[idx1+8+16*k:idx1+24+16*k]) for k in range(struct.unpack('<I', d[idx1+4:idx1+8])[0] // 16)]
packets = [(c, d[o+8:o+8+s]) for o, c, s in chunks(movi + 12, movi + 8 + movi_size)]
assert len(packets) == len(entries)

def vop_type(p):
    i = p.find(b'\x00\x00\x01\xb6')
    return 'IPBS'[p[i+4] >> 6]

class Bits:
    def __init__(s, b): s.b = b; s.p = 0
    def get(s, n):
        v = 0
        for _ in range(n):
            v = v << 1 | (s.b[s.p >> 3] >> (7 - (s.p & 7)) & 1); s.p += 1
        return v

# vop_time_increment_resolution from the VOL header, for the N-VOP's field width.
first = packets[0][1]
vol = next(i for i in range(len(first) - 4) if first[i:i+3] == b'\0\0\1' and 0x20 <= first[i+3] <= 0x2f)
b = Bits(first[vol+4:]); b.get(9)
if b.get(1): b.get(7)
if b.get(4) == 15: b.get(16)
if b.get(1):
    b.get(3)
    if b.get(1): b.get(79)
b.get(3)
resolution = b.get(16)
width = max(1, (resolution - 1).bit_length())
bits = '01' + '0' + '1' + '0' * width + '1' + '0'   # P, modulo 0, marker, increment, marker, not coded
bits += '0' + '1' * (-(len(bits) + 1) % 8)          # stuffing
nvop = b'\0\0\1\xb6' + int(bits, 2).to_bytes(len(bits) // 8, 'big')

out = [p for c, p in packets]
for k, p in enumerate(out):  # the packed mark after every VOL header, as DivX writes it
    if b'\0\0\1\x20' in p:
        vop = p.find(b'\0\0\1\xb6')
        out[k] = p[:vop] + b'\0\0\1\xb2DivX503b1393p' + p[vop:]
types = [vop_type(p) for c, p in packets]
k = 1
while k < len(out):
    if types[k] in 'IP' and k + 1 < len(out) and types[k+1] == 'B':
        n = 1
        while k + n < len(out) and types[k+n] == 'B': n += 1
        group = [packets[k+j][1] for j in range(n)]   # P B1 .. Bm
        out[k:k+n] = [group[0] + group[1]] + group[2:] + [nvop]
        k += n
    else:
        k += 1

movi_body = bytearray(b'movi'); index = bytearray()
base = entries[0][2] - 4  # offset convention of the source index, relative to 'movi'
for (cid, _), (ckid, flags, off, size), p in zip(packets, entries, out):
    index += struct.pack('<4sIII', ckid, flags, len(movi_body) + base, len(p))
    movi_body += cid + struct.pack('<I', len(p)) + p + (b'\0' if len(p) & 1 else b'')
head = bytearray(d[12:movi])
body = head + b'LIST' + struct.pack('<I', len(movi_body)) + movi_body + b'idx1' + struct.pack('<I', len(index)) + index
open(dst, 'wb').write(b'RIFF' + struct.pack('<I', len(body) + 4) + b'AVI ' + body)
PACK
  rm -f "$TMP.src"
}

# A Matroska copy cut mid-GOP keeping negative timestamps: its first 72 frames (the GOP up
# to the cut, and the B-frames after the first timed picture) carry no timestamp, the rest
# count from 0, and the stream has no start time.
f_mkv_untimed_start() {
  ff -f lavfi -i "$(src 320x240 6 30)" "${X264[@]}" -preset veryfast -bf 3 -g 150 \
    -keyint_min 150 -sc_threshold 0 "${OUT_FLAGS[@]}" "$TMP.src.mp4"
  ff -ss 2.4 -i "$TMP.src.mp4" -c copy -avoid_negative_ts disabled "${OUT_FLAGS[@]}" "$TMP"
  rm -f "$TMP.src.mp4"
}

# 2000 fps in Matroska's millisecond time base: pairs of frames share a stamp.
f_fps2000() {
  ff -f lavfi -i "testsrc2=size=160x120:rate=2000:duration=0.3" "${X264[@]}" -preset veryfast \
    -bf 0 -g 100 "${OUT_FLAGS[@]}" "$TMP"
}

# One JPEG picture.
f_single_jpeg() {
  ff -f lavfi -i "$(src 320x240 1)" -frames:v 1 -f image2 "$TMP"
}

# A palette PNG larger than the preview limit, which libswscale can read but not write.
f_pal8_large() {
  ff -f lavfi -i "testsrc2=size=2400x1600:rate=1:duration=1" -frames:v 1 -pix_fmt pal8 \
    -f image2 "$TMP"
}

# An ffconcat list of one file twice, without durations.
f_concat_twice() {
  printf "ffconcat version 1.0\nfile 'h264_ts_offset.ts'\nfile 'h264_ts_offset.ts'\n" > "$TMP"
}

gen h264_bframes_aac.mp4 f_h264_bframes_aac
gen h264_ts_offset.ts f_h264_ts_offset
gen uhd_3840x2160.mp4 f_uhd
gen dci_4096x2160.mp4 f_dci
gen portrait_2160x3840.mp4 f_portrait
gen odd_1279x719.mkv f_odd
gen no_count.mkv f_no_count
gen raw_h264.h264 f_raw_h264
gen audio_only.m4a f_audio_only
gen audio_cover.m4a f_audio_cover
gen not_video.txt f_not_video
gen truncated.mkv f_truncated
gen vp9.webm f_vp9
gen mpeg2.mpg f_mpeg2
gen mjpeg.avi f_mjpeg
gen prores.mov f_prores
gen hevc_opengop.mkv f_hevc_opengop
gen vfr.mkv f_vfr
gen size_change.h264 f_size_change
gen h264_1080p.mp4 f_h264_1080p
gen ts_joined.ts f_ts_joined
gen ts_clock_down.ts f_ts_clock_down
gen ts_untimed_gop.ts f_ts_untimed_gop
gen ts_untimed.ts f_ts_untimed
gen hevc_opengop.ts f_hevc_opengop_ts
gen truncated.mp4 f_truncated_mp4
gen editlist.mp4 f_editlist
gen ts_midcut.ts f_ts_midcut
gen zeroed_keyframe.mp4 f_zeroed_keyframe
gen ts_damaged.ts f_ts_damaged
gen ts_damaged_order.ts f_ts_damaged_order
gen ts_damaged_headers.ts f_ts_damaged_headers
gen fps2000.mkv f_fps2000
gen mkv_untimed_start.mkv f_mkv_untimed_start
gen mpeg4_bframes.avi f_mpeg4_bframes_avi
gen mpeg4_packed.avi f_mpeg4_packed_avi
gen faulty_pts.mp4 f_faulty_pts
gen faulty_pts_gop.mp4 f_faulty_pts_gop
gen swapped_pts.mp4 f_swapped_pts
gen single.jpg f_single_jpeg
gen pal8_large.png f_pal8_large
gen concat_twice.ffconcat f_concat_twice
