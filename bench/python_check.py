#!/usr/bin/env python3
"""Which frames the readers of bench/python_workload.py returned, against the plain decode:
ffprobe's frame stamps and ffmpeg's pictures of the whole clip. Writes one line per reader
and workload (tab-separated) to standard output.

usage: python_check.py CLIP CHECK.npz...   (each named WORKLOAD-READER.npz)

A frame is told by its stamp where the reader gives one (clipwalk, PyAV) and by its picture:
the plain decode's picture whose thumbnail lies nearest. It is the asked frame only when both
name it; OpenCV gives no stamps, so its pictures alone tell.
"""

import json
import subprocess
import sys
from pathlib import Path

import numpy

sys.path.insert(0, str(Path(__file__).resolve().parent))
from python_workload import thumbnail  # noqa: E402


def plain_decode(clip):
    probe = json.loads(subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
         "stream=width,height:frame=best_effort_timestamp", "-of", "json", clip],
        check=True, capture_output=True).stdout)
    width, height = probe["streams"][0]["width"], probe["streams"][0]["height"]
    pts = [int(frame["best_effort_timestamp"]) for frame in probe["frames"]]
    size = width * height * 3
    decoder = subprocess.Popen(
        ["ffmpeg", "-v", "error", "-nostdin", "-i", clip, "-map", "0:v:0", "-fps_mode",
         "passthrough", "-sws_flags", "bilinear", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
        stdout=subprocess.PIPE)
    thumbnails = []
    while True:
        raw = decoder.stdout.read(size)
        if len(raw) < size:
            break
        thumbnails.append(thumbnail(numpy.frombuffer(raw, numpy.uint8).reshape(height, width, 3)))
    if decoder.wait() != 0 or len(thumbnails) != len(pts):
        sys.exit(f"the plain decode of {clip} failed or disagrees with ffprobe")
    return pts, numpy.stack(thumbnails)


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    pts, references = plain_decode(argv[1])
    number_of = {stamp: number for number, stamp in enumerate(pts)}
    clip = Path(argv[1]).name
    print("clip\tworkload\treader\tframes\tmissing\tother_stamps\tother_pictures\t"
          "other_frames\tmargin\texamples")
    for path in argv[2:]:
        workload, reader = Path(path).stem.split("-", 1)
        check = numpy.load(path)
        asked, stamps, missing = check["asked"], check["pts"], check["missing"]
        distances = numpy.stack([numpy.abs(references - one).mean(axis=(1, 2))
                                 for one in check["thumbnails"]])
        by_picture = distances.argmin(axis=1)
        has_stamps = bool((stamps >= 0).any())
        by_stamp = [number_of.get(int(s), -1) for s in stamps] if has_stamps else [None] * len(asked)
        # A frame is another than asked when its stamp or its picture names another one: a
        # picture decoded without its references carries the right stamp on wrong pixels.
        other, other_stamps, other_pictures = [], 0, 0
        for a, stamp, picture, gone in zip(asked, by_stamp, by_picture, missing):
            if gone:
                continue
            wrong_stamp = stamp is not None and stamp != a
            other_stamps += wrong_stamp
            other_pictures += picture != a
            if wrong_stamp or picture != a:
                other.append(f"{a}->" + (f"{stamp}" if stamp is not None else "") +
                             ("" if stamp == picture else f"[picture {picture}]"))
        # The pictures' margin where they name the asked frame: how much nearer it stood than
        # the next nearest picture, at the least.
        right = [i for i, (a, p) in enumerate(zip(asked, by_picture)) if a == p]
        ordered = numpy.sort(distances[right], axis=1)
        margin = f"{(ordered[:, 1] - ordered[:, 0]).min():.2f}" if right else "-"
        print(f"{clip}\t{workload}\t{reader}\t{len(asked)}\t{int(missing.sum())}\t"
              f"{other_stamps if has_stamps else '-'}\t{other_pictures}\t{len(other)}\t"
              f"{margin}\t{', '.join(other[:6])}")


if __name__ == "__main__":
    main(sys.argv)
