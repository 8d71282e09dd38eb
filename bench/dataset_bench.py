#!/usr/bin/env python3
"""The dataset rows of the benchmark, in one process's view, rounds alternated:

- 1,000 random (file, frame number) requests over 20 fixtures, read through clipwalk.dask on
  its local cluster (one worker thread a core) and on 2 local worker processes (both started
  before the clock) against the same work in a serial loop in one process (each file opened
  once, its numbers in one batch);
- with --long-clip, open() and len() on the second open of a 10-minute 1080p file, whose frame
  list the first open saved, against the first open, counting by packets and by decoding; and
  an open that does neither.

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


def first_and_second_len(path, count):
    """Seconds of open() and len() on a first open that counts and saves the frame list and on
    a second open that loads it."""
    folder = tempfile.mkdtemp(prefix="clipwalk-bench-index-")
    try:
        results = []
        for _ in range(2):
            def counted():
                with clipwalk.open(path, index_dir=folder, count=count) as video:
                    return len(video), video.index_loaded
            results.append(timed(counted))
        (first, (n1, loaded1)), (second, (n2, loaded2)) = results
        assert n1 == n2 and not loaded1 and loaded2, (n1, n2, loaded1, loaded2)
        return first, second
    finally:
        shutil.rmtree(folder)


def opened_only(path):
    """Seconds of an open that neither counts nor reads a saved list: what every open costs."""
    def opened():
        with clipwalk.open(path, index_dir=None) as video:
            return video.metadata
    return timed(opened)[0]


def median_row(label, times, reference_label, reference_times, goal=None):
    m, r = statistics.median(times), statistics.median(reference_times)
    verdict = "" if goal is None else f"≤ {goal}: {'met' if m / r <= goal else 'missed'}"
    digits = 4 if m < 0.1 else 3
    return (f"| {label} | {m:.{digits}f} s | {reference_label}: {r:.3f} s | {m / r:.3f} | "
            f"{verdict} |")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("fixture_dir")
    parser.add_argument("--long-clip")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    requests = requests_for(args.fixture_dir, 1000)
    # clipwalk.dask's own local cluster (worker threads), and one of worker processes.
    clipwalk.dask.client()
    processes = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                         dashboard_address=":0")
    roads = {
        "threads": lambda: clipwalk.dask.read_frames(requests, **OPTIONS).compute(),
        "processes": lambda: clipwalk.dask.read_frames(
            requests, scheduler=processes.scheduler_address, **OPTIONS).compute(),
        "serial": lambda: serial(requests),
    }
    times = {name: [] for name in roads}
    for key in ("first", "second", "first_decode", "second_decode", "open"):
        times[key] = []
    # A warm-up of each, untimed: imports, the workers' first opens, the page cache.
    for road in roads.values():
        road()
    for round_number in range(args.rounds):
        for name, road in roads.items():
            t, got = timed(road)
            assert (got if name == "serial" else len(got)) == 1000
            times[name].append(t)
        line = ", ".join(f"{name} {times[name][-1]:.3f} s" for name in roads)
        if args.long_clip:
            first, second = first_and_second_len(args.long_clip, "demux")
            times["first"].append(first)
            times["second"].append(second)
            first, second = first_and_second_len(args.long_clip, "decode")
            times["first_decode"].append(first)
            times["second_decode"].append(second)
            times["open"].append(opened_only(args.long_clip))
            line += ", len() " + ", ".join(
                f"{key} {times[key][-1]:.4f} s"
                for key in ("first", "second", "first_decode", "second_decode", "open"))
        print(f"round {round_number + 1}: {line}", file=sys.stderr)
    clipwalk.dask.shutdown()
    processes.close()

    print("| comparison | clipwalk | reference | ratio | goal |")
    print("|---|---|---|---|---|")
    serial_label = "the same in a serial loop in one process"
    print(median_row("1,000 random (file, number) requests over 20 fixtures, `clipwalk.dask` on "
                     "its local cluster (2 worker threads)", times["threads"], serial_label,
                     times["serial"], 0.6))
    print(median_row("the same on 2 local worker processes (frames shipped back)",
                     times["processes"], serial_label, times["serial"]))
    if not args.long_clip:
        return
    print(median_row("open and `len()` on a second open of a 10-minute 1080p file (its frame "
                     "list saved), `count=\"auto\"`", times["second"],
                     "the first open's, which counts by reading packets", times["first"], 0.05))
    print(median_row("the same with `count=\"decode\"`", times["second_decode"],
                     "the first open's, which counts by decoding", times["first_decode"], 0.05))
    print(median_row("an open that neither counts nor loads a list", times["open"],
                     "the first open with `count=\"auto\"`", times["first"]))


if __name__ == "__main__":
    main()
