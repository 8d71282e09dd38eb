#!/usr/bin/env python3
"""Turns bench/python_samples.tsv, bench/python_frames.tsv and bench/python_machine.tsv
(written by bench/python_run.sh) into bench/python_results.md.

usage: bench/python_report.py [BENCH_DIR]
"""
import csv
import statistics
import sys
from pathlib import Path

READERS = {"clipwalk": "clipwalk", "pyav": "PyAV", "opencv": "OpenCV"}
DOING = {
    "batch:clipwalk": "`video.get_frames_at(numbers)`",
    "batch:pyav": "per number: `container.seek(pts, backward=True)`, decode up to it, "
                  "`to_ndarray(format=\"rgb24\")`",
    "batch:opencv": "per number: `set(CAP_PROP_POS_FRAMES, n)`, `read()`",
    "steps:clipwalk": "`video[950]`, then `video.step(-1)` 300 times",
    "steps:pyav": "frame 950, then frames 949 to 650, each by seek and decode",
    "steps_dci:clipwalk": "4096x2160 all-P, GOP 24: `video[71]`, then `video.step(-1)` 24 times",
    "steps_dci:pyav": "the same frames, each by seek and decode",
    "steps_hevc10:clipwalk": "3840x2160 10-bit HEVC, GOP 48: `video[95]`, then `video.step(-1)` "
                             "95 times",
    "steps_hevc10:pyav": "the same frames, each by seek and decode",
}


def table(path):
    with open(path, newline="") as handle:
        return list(csv.DictReader(handle, delimiter="\t"))


def other_frames(check):
    other = check.get("other_frames", "?")
    if check.get("examples"):
        other += (f" (asked->got: {check['examples']}"
                  f"{', ...' if int(check['other_frames']) > 6 else ''})")
    if check.get("missing", "0") != "0":
        other += f"; {check['missing']} not returned at all"
    return other


def told_by(check):
    return (f"stamps {check.get('other_stamps', '?')}, pictures {check.get('other_pictures', '?')}"
            f" (margin {check.get('margin', '?')})")


def write(bench):
    samples = {}
    for row in table(bench / "python_samples.tsv"):
        if row["group"] != "warmup":
            samples.setdefault(row["label"], []).append(row)
    machine = dict(line.rstrip("\n").split("\t", 1)
                   for line in open(bench / "python_machine.tsv") if "\t" in line)
    checks = table(bench / "python_frames.tsv")
    clip = checks[0]["clip"]  # the timed clip comes first, the fixtures after it
    frames = {f"{row['workload']}:{row['reader']}": row for row in checks if row["clip"] == clip}

    def median(label, column="wall_s"):
        return statistics.median(float(row[column]) for row in samples[label])

    def cell(label):
        walls = [float(row["wall_s"]) for row in samples[label]]
        return (f"{median(label):.2f} [{min(walls):.2f}–{max(walls):.2f}] "
                f"({median(label, 'cpu_s'):.2f})")

    lines = []
    add = lines.append
    add("# clipwalk from Python against PyAV and OpenCV\n")
    add(f"Produced by `bench/python_run.sh --runs {machine['runs']}` from {machine['started']}. "
        "Every figure is the median of the measured rounds, in seconds of a whole process "
        "(interpreter start, imports, open, the frames as numpy RGB arrays at 1920x1080, exit); "
        "the readers of a comparison ran in turn (A B C A B C ...) after one unmeasured "
        "warm-up round, so the ratios hold under load. Raw timings: "
        "`bench/python_samples.tsv`.\n")
    add("## Machine\n")
    add("| | |\n|---|---|")
    for key, name in [("cpu", "CPU"), ("cores", "cores"), ("memory", "memory"), ("os", "OS"),
                      ("ffmpeg", "FFmpeg"), ("python", "Python"), ("references", "references"),
                      ("compiler", "compiler"), ("commit", "source")]:
        add(f"| {name} | {machine.get(key, '?')} |")
    add(f"| load average before / after | {machine.get('load_before', '?')} / "
        f"{machine.get('load_after', '?')} |\n")

    add("## Goals\n")
    add("Wall-clock medians, fastest and slowest run in square brackets, median CPU time "
        "(user + system, all threads) in round brackets.\n")
    add("| goal | clipwalk | reference | ratio | CPU ratio | target | verdict |")
    add("|---|---|---|---|---|---|---|")
    faster = min(("batch:pyav", "batch:opencv"), key=median)
    for name, ours, reference, limit in [
            ("100 random frame numbers, one batch, against the faster reference", "batch:clipwalk",
             faster, 0.5),
            ("300 single steps back against PyAV seeking for each", "steps:clipwalk",
             "steps:pyav", 0.1),
            ("24 single steps back at 4096x2160, source size, default budget", "steps_dci:clipwalk",
             "steps_dci:pyav", 0.5),
            ("95 single steps back at 3840x2160 10-bit, source size, default budget",
             "steps_hevc10:clipwalk", "steps_hevc10:pyav", 0.5)]:
        ratio = median(ours) / median(reference)
        cpu = median(ours, "cpu_s") / median(reference, "cpu_s")
        add(f"| {name} | {cell(ours)} | {READERS[reference.split(':')[1]]}: {cell(reference)} "
            f"| {ratio:.3f} | {cpu:.3f} | ≤ {limit} | {'met' if ratio <= limit else '**missed**'} |")
    add("")

    add("## Every reader\n")
    add("| workload | reader | what it does | s [range] (CPU) | peak RSS | frames | other frames "
        "than the plain decode | of which by |")
    add("|---|---|---|---|---|---|---|---|")
    for label in DOING:
        workload, reader = label.split(":")
        check = frames.get(label, {})
        add(f"| {workload} | {READERS[reader]} | {DOING[label]} | {cell(label)} | "
            f"{statistics.median(int(r['rss_kb']) for r in samples[label]) / 1024:.0f} MiB | "
            f"{check.get('frames', '?')} | {other_frames(check)} | {told_by(check)} |")
    add("")

    add("## Frames of streams that are not plain\n")
    add("Untimed: 30 random frame numbers of three test fixtures (`scripts/make_fixtures.sh`), "
        "each reader as in the batch above, against the plain decode of the same file.\n")
    add("| file | reader | frames | other frames than the plain decode | of which by |")
    add("|---|---|---|---|---|")
    for row in checks:
        if row["clip"] != clip:
            add(f"| {row['clip']} | {READERS[row['reader']]} | {row['frames']} "
                f"| {other_frames(row)} | {told_by(row)} |")
    add("")
    add("## What the numbers include\n")
    add("- The clip is bench/run.sh's 60 s of 1080p25 H.264 (libx264 veryfast, a keyframe "
        "every 250 frames, 3 B-frames, from lavfi testsrc2). The 100 frame numbers are drawn "
        "with a fixed seed and asked for in that random order; the walk back runs from frame "
        "950 (38 s) to 650, over the keyframe at 750.")
    add("- The 4K walks run at the source size with the default budget (`max_side=None`, "
        "`budget_mib=None`, which holds 32 frames there): 4 s of 4096x2160 24 fps H.264 with "
        "no B-frames and a keyframe every 24 frames, walked back from frame 71 to 47, and 4 s "
        "of 3840x2160 24 fps 10-bit HEVC (3 B-frames, a keyframe every 48), walked back from "
        "frame 95 to 0. Their frames are timed only, not checked.")
    add("- Frame n of the plain decode is the n-th picture `ffmpeg -i F -fps_mode passthrough` "
        "shows, with ffprobe's stamps. A reader's frame is told by its stamp where the reader "
        "gives one (clipwalk, PyAV) and by its picture: the plain decode's picture with the "
        "nearest thumbnail (means of 8x8 blocks, single pixels for the small fixtures). A frame "
        "is the one asked for only when both name it (a picture decoded without its references "
        "can carry the right stamp on wrong pixels). `asked->got` names the frame by its stamp, "
        "and by its picture in brackets where that differs; the margin is the least gap, in "
        "grey levels, between a right picture's distance and the next nearest one's.")
    add("- PyAV and OpenCV run with their default settings, as their documentation shows "
        "them; PyAV finds frame n at the stamp n frames after the start by the frame rate.")
    (bench / "python_results.md").write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    write(Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent))
