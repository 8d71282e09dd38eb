#!/usr/bin/env python3
"""Opens a video with the clipwalk package, lands on a time, steps a few frames back, reads a
batch of frames and writes the frame it stepped to as a PPM image.

    walk_frames.py FILE SECONDS STEPS_BACK OUT.ppm

From the build tree: PYTHONPATH=build/python python3 examples/walk_frames.py ...
"""
import sys

import clipwalk


def main(argv):
    if len(argv) != 5:
        sys.exit("usage: walk_frames.py FILE SECONDS STEPS_BACK OUT.ppm")
    path, seconds, back, out = argv[1], float(argv[2]), int(argv[3]), argv[4]
    with clipwalk.open(path, budget_mib=64) as video:
        m = video.metadata
        print(f"{m.codec} {m.width}x{m.height}, {m.fps:g} fps, {len(video)} frames (exact)")
        landed = video.seek(seconds)
        print(f"seek to {seconds:.3f} s landed on frame {landed.index} t={landed.seconds:.6f}")
        frame = video.step(-back)
        print(f"{back} back: frame {frame.index} t={frame.seconds:.6f}")
        batch = video.get_frames_at([frame.index, 0, -1])
        print("batch:", ", ".join(f"frame {f.index} t={f.seconds:.3f}" for f in batch))
        print("the batch's first frame is the stepped one:", (batch[0].data == frame.data).all())
    # The frame's pixels are its own: they outlive the video.
    with open(out, "wb") as ppm:
        ppm.write(b"P6\n%d %d\n255\n" % (frame.width, frame.height) + frame.data.tobytes())
    print(f"wrote {out} ({frame.width}x{frame.height})")


if __name__ == "__main__":
    main(sys.argv)
