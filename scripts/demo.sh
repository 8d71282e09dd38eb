#!/usr/bin/env bash
# Sets up, builds, makes a sample clip and runs clipwalk on it, then the Python example.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

sample="$root/build/sample.mp4"
if [ ! -s "$sample" ]; then
  ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1280x720:rate=25 \
    -f lavfi -i sine=frequency=440 -t 10 -c:v libx264 -preset veryfast -bf 3 -g 50 \
    -c:a aac -movflags +faststart "$sample.tmp.mp4"
  mv "$sample.tmp.mp4" "$sample"
fi
"$root/build/clipwalk" "$sample" 4.2 12 64 "$root/build/sample.ppm"

echo
echo "== the same from Python (examples/walk_frames.py)"
python=$(sed -n 's/^Python3_EXECUTABLE:[A-Z]*=//p' "$root/build/CMakeCache.txt")
PYTHONPATH="$root/build/python" "${python:-python3}" "$root/examples/walk_frames.py" "$sample" 4.2 12 \
  "$root/build/sample-python.ppm"
