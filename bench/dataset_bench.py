#!/usr/bin/env python3
"""The dataset rows of the benchmark, in one process's view, rounds alternated:

- 1,000 random (file, frame number) requests over 20 fixtures, read through clipwalk.dask on
  a local cluster of 2 single-threaded workers (started before the clock) against the same
  work in a serial loop in one process (each file opened once, its numbers in one batch);
- with --long-clip, len() on the second open of a 10-minute 1080p file, whose frame list the
  first open saved, against the first open.

    PYTHONPATH=build/python /usr/bin/python3 bench/dataset_bench.py FIXTURE_DIR \
        [--long-clip LONG_CLIP] [--rounds N]

Prints a Markdown table of medians.
"""

import argparse
import os
import random
import shutil
import statistics
import sys
import tempfile
import time

import clipwalk
import clipwalk.dask
import distributed

# Clean fixtures of several codecs and containers whose frames can be counted.
FIXTURES = ["h264_bframes_aac.mp4", "h264_ts_offset.ts", "editlist.mp4", "hevc_opengop.mkv",
            "hevc_opengop.ts", "vfr.mkv", "vp9.webm", "mpeg2.mpg", "mjpeg.avi", "prores.mov",
            "odd_1279x719.mkv", "h264_1080p.mp4", "ts_joined.ts", "ts_clock_down.ts",
            "ts_midcut.ts", "mpeg4_bframes.avi", "mpeg4_packed.avi", "fps2000.mkv",
            "swapped_pts.mp4", "mkv_untimed_start.mkv"]
OPTIONS = {"index_dir": None, "max_side": 256}


def requests_for(fixture_dir, seed):
    rng = random.Random(seed)
    counts = {}
    for name in FIXTURES:
        with clipwalk.open(os.path.join(fixture_dir, name), index_dir=None) as video:
            counts[name] = len(video)
    picks = {}
    for _ in range(1000):
        name = rng.choice(FIXTURES)
        picks.setdefault(name, []).append(rng.randrange(counts[name]))
    return [(os.path.join(fixture_dir, name), numbers) for name, numbers in picks.items()]


def serial(requests):
    frames = 0
    for path, numbers in requests:
        with clipwalk.open(path, **OPTIONS) as video:
            frames += len(video.get_frames_at(numbers))
    return frames


def timed(action):
    start = time.perf_counter()
    result = action()
    return time.perf_counter() - start, result


def first_and_second_len(path):
    folder = tempfile.mkdtemp(prefix="clipwalk-bench-index-")
    try:
        results = []
        for _ in range(2):
            def count():
                with clipwalk.open(path, index_dir=folder) as video:
                    return len(video), video.index_loaded
            results.append(timed(count))
        (first, (n1, loaded1)), (second, (n2, loaded2)) = results
        assert n1 == n2 and not loaded1 and loaded2, (n1, n2, loaded1, loaded2)
        return first, second
    finally:
        shutil.rmtree(folder)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("fixture_dir")
    parser.add_argument("--long-clip")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    requests = requests_for(args.fixture_dir, 1000)
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=":0")
    address = cluster.scheduler_address
    dask_times, kept_times, serial_times, first_times, second_times = [], [], [], [], []
    # A warm-up of each, untimed: imports, the workers' first opens, the page cache.
    clipwalk.dask.read_frames(requests, scheduler=address, **OPTIONS).compute()
    serial(requests)
    for round_number in range(args.rounds):
        t, pairs = timed(lambda: clipwalk.dask.read_frames(requests, scheduler=address,
                                                           **OPTIONS).compute())
        assert len(pairs) == 1000
        dask_times.append(t)
        # The same reads with the frames left on the workers: what shipping them costs.
        t, size = timed(lambda: clipwalk.dask.read_frames(requests, scheduler=address,
                                                          **OPTIONS)
                        .map(lambda pair: pair[1].data.nbytes).sum().compute())
        kept_times.append(t)
        t, frames = timed(lambda: serial(requests))
        assert frames == 1000
        serial_times.append(t)
        line = (f"round {round_number + 1}: dask {dask_times[-1]:.3f} s, on the workers "
                f"{kept_times[-1]:.3f} s ({size / 1e6:.0f} MB of frames), serial "
                f"{serial_times[-1]:.3f} s")
        if args.long_clip:
            first, second = first_and_second_len(args.long_clip)
            first_times.append(first)
            second_times.append(second)
            line += f", len() first {first:.3f} s, second {second:.4f} s"
        print(line, file=sys.stderr)
    clipwalk.dask.shutdown()
    cluster.close()

    d, s = statistics.median(dask_times), statistics.median(serial_times)
    print("| comparison | clipwalk | reference | ratio | goal |")
    print("|---|---|---|---|---|")
    print(f"| 1,000 random (file, number) requests over 20 fixtures, `clipwalk.dask` on 2 local "
          f"workers | {d:.3f} s | the same in a serial loop in one process: {s:.3f} s | "
          f"{d / s:.2f} | ≤ 0.6: {'met' if d / s <= 0.6 else 'missed'} |")
    k = statistics.median(kept_times)
    print(f"| the same, frames left on the workers (`.map(...).sum()`) | {k:.3f} s | the serial "
          f"loop: {s:.3f} s | {k / s:.2f} | |")
    if not args.long_clip:
        return
    f, n = statistics.median(first_times), statistics.median(second_times)
    print(f"| `len()` on a second open of a 10-minute 1080p file (its frame list saved) | "
          f"{n:.4f} s | the first open's: {f:.3f} s | {n / f:.3f} | ≤ 0.05: "
          f"{'met' if n / f <= 0.05 else 'missed'} |")


if __name__ == "__main__":
    main()
