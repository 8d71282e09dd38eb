#!/usr/bin/env python3
"""Turns bench/samples.tsv and bench/machine.tsv (written by bench/run.sh) into
bench/results.md: every goal as met or missed with its ratio, and the machine.

usage: bench/report.py [BENCH_DIR]
"""
import csv
import statistics
import sys
from pathlib import Path


def load(bench):
    samples = {}
    with open(bench / "samples.tsv", newline="") as handle:
        for row in csv.DictReader(handle, delimiter="\t"):
            if row["group"] == "warmup":
                continue
            samples.setdefault(row["label"], []).append(row)
    machine = {}
    with open(bench / "machine.tsv") as handle:
        for line in handle:
            key, _, value = line.rstrip("\n").partition("\t")
            machine[key] = value
    return samples, machine


class Figures:
    def __init__(self, samples):
        self.samples = samples

    def median(self, label, column="wall_s"):
        return statistics.median(float(row[column]) for row in self.samples[label])

    def spread(self, label):
        walls = [float(row["wall_s"]) for row in self.samples[label]]
        return f"{min(walls):.3f}–{max(walls):.3f}"

    def cell(self, label):
        return (f"{self.median(label):.3f} [{self.spread(label)}] "
                f"({self.median(label, 'cpu_s'):.2f})")

    def ratio(self, ours, reference, column="wall_s"):
        return self.median(ours, column) / self.median(reference, column)

    def output(self, label):
        """The helper's key=value lines of the label's first sample."""
        text = self.samples[label][0]["output"]
        return dict(item.split("=", 1) for item in text.split(";") if "=" in item)


BUDGETS = (0, 16, 64, 128, 256, 512, 1024)
# The short-GOP clips of the 4K rows: label, what it is, the preview the reference scales to.
SHORT_CLIPS = (("WIDE", "4096x2160 H.264, GOP 50", "1920:1014"),
               ("TALL", "2160x3840 H.264, GOP 50", "1080:1920"),
               ("HEVC10", "3840x2160 HEVC 10-bit, GOP 50", "1920:1080"))


def verdict(value, limit):
    return "met" if value <= limit else "**missed**"


def write(bench):
    samples, machine = load(bench)
    f = Figures(samples)
    lines = []
    add = lines.append

    add("# clipwalk benchmarks\n")
    add(f"Produced by `bench/run.sh --runs {machine['runs']}` from {machine['started']}. "
        "Every figure is a median over the rounds, taken after one unmeasured warm-up; within "
        "a comparison the commands ran in turn (A B A B ...) on the same files, so the ratio "
        "holds under load. Raw timings: `bench/samples.tsv`.\n")

    add("## Machine\n")
    add("| | |\n|---|---|")
    for key, name in [("cpu", "CPU"), ("cores", "cores"), ("memory", "memory"), ("os", "OS"),
                      ("ffmpeg", "FFmpeg"), ("compiler", "compiler"), ("commit", "source")]:
        add(f"| {name} | {machine.get(key, '?')} |")
    add(f"| load average before / after | {machine.get('load_before', '?')} / "
        f"{machine.get('load_after', '?')} (a shared machine; alternation spreads the load "
        "over both sides) |\n")

    walk = f.output("walk_inside")
    steps = int(walk["backward_steps"])
    per_step = float(walk["backward_decoded_per_step"])
    rss0 = f.median("memory:0", "rss_kb")

    add("## Goals\n")
    add("Wall-clock medians in seconds, fastest and slowest run in square brackets, median "
        "CPU time (user + system, all threads) in round brackets.\n")
    add("| goal | clipwalk | s [range] (CPU) | reference | s [range] (CPU) | ratio | CPU ratio "
        "| target | verdict |")
    add("|---|---|---|---|---|---|---|---|---|")

    def goal(name, ours, ours_text, reference, reference_text, limit):
        ratio = f.ratio(ours, reference)
        add(f"| {name} | {ours_text} | {f.cell(ours)} | {reference_text} | {f.cell(reference)} "
            f"| {ratio:.2f} | {f.ratio(ours, reference, 'cpu_s'):.2f} | ≤ {limit} "
            f"| {verdict(ratio, limit)} |")

    goal("seek, 1080p H.264, default budget (256 MiB)", "seek_cw", "`clipwalk F 38 0`",
         "seek_ff", "`ffmpeg -ss 38 -i F -frames:v 1 -f null -`", 0.85)
    growth = f.median("budget:1024") / f.median("budget:0")
    add(f"| seek cost not growing with the budget | `clipwalk F 38 0 1024` over `clipwalk F 38 0 0` "
        f"| {f.cell('budget:1024')} | budget 0 | {f.cell('budget:0')} | {growth:.2f} "
        f"| {f.ratio('budget:1024', 'budget:0', 'cpu_s'):.2f} | ≤ 1.05 | {verdict(growth, 1.05)} |")
    worst = max(BUDGETS, key=lambda b: f.ratio(f"budget:{b}", "seek_ff"))
    worst_ratio = f.ratio(f"budget:{worst}", "seek_ff")
    add(f"| seek at every budget 0-1024 MiB within 0.9 of ffmpeg's accurate seek | slowest: "
        f"`clipwalk F 38 0 {worst}` | {f.cell(f'budget:{worst}')} | `ffmpeg -ss 38 -i F "
        f"-frames:v 1 -f null -` | {f.cell('seek_ff')} | {worst_ratio:.2f} "
        f"| {f.ratio(f'budget:{worst}', 'seek_ff', 'cpu_s'):.2f} | ≤ 0.9 "
        f"| {verdict(worst_ratio, 0.9)} |")
    goal("seek, 2160p HEVC, 1920x1080 preview", "hevc_cw", "`clipwalk F 18 0`",
         "hevc_ff_scaled", "`ffmpeg -ss 18 -i F -frames:v 1 -vf scale=1920:1080:flags=bilinear "
         "-f null -`", 1.0)
    for clip, what, preview in SHORT_CLIPS:
        goal(f"seek, {what}, default budget", f"short_cw:{clip}", "`clipwalk F 7.6 0`",
             f"short_ff_scaled:{clip}", f"`ffmpeg -ss 7.6 -i F -frames:v 1 -vf "
             f"scale={preview}:flags=bilinear -f null -`", 0.85)
    goal("300 steps forward and 300 back, 256 MiB", "walk_cw", "`clipwalk F 38 300`",
         "walk_ff", "`ffmpeg -ss 38 -i F -frames:v 301 -f null -` (one forward decode "
         "from the keyframe)", 2.0)
    goal("prescan, 60 s 1080p", "prescan_cw", "helper `prescan` (open, prescan, exit)",
         "prescan_ff", "`ffprobe -count_packets`", 1.0)
    goal("prescan, 10 min 1080p", "prescan_long_cw", "the same", "prescan_long_ff",
         "the same", 1.0)
    goal("count by decoding, 60 s 1080p", "count_cw", "helper `prescan F decode` (open, count "
         "by decoding, exit)", "count_ff", "`ffmpeg -i F -map 0:v:0 -f null -` (one plain "
         "decode)", 1.1)
    batch = f.output("batch_cw")
    goal(f"every 10th frame of 20 s, 1080p, one sorted batch ({batch['batch_frames']} frames, "
         f"{batch['batch_decoded']} pictures decoded)", "batch_cw",
         "helper `batch F 10 30 10` (open, count, batch as RGB24)", "batch_ff",
         "`ffmpeg -ss 10 -t 20 -i F -f null -` (one decode of the span)", 1.1)
    for budget in (64, 256):
        extra = (f.median(f"memory:{budget}", "rss_kb") - rss0) / 1024
        share = extra / budget
        add(f"| peak RSS over budget 0, {budget} MiB | `clipwalk F 31 100 {budget}` | "
            f"{f.median(f'memory:{budget}', 'rss_kb') / 1024:.1f} MiB | budget 0 | "
            f"{rss0 / 1024:.1f} MiB | {share:.2f} x B | | ≤ 1.1 x B | {verdict(share, 1.1)} |")
    add("")
    add(f"Frames decoded per backward step (300 steps back, 256 MiB): **{per_step:.2f}** "
        f"({walk['backward_decoded']} pictures for {steps} steps; the seek decoded "
        f"{walk['seek_decoded']} and the forward walk {walk['forward_decoded']}; "
        f"the window ends with {walk['window_frames']} frames).\n")
    digests = float(walk["digests_s"])
    walked = float(walk["forward_s"]) + float(walk["backward_s"])
    add(f"Pixel digests of that round trip ({2 * steps + 2} frames, each timed where the walk "
        f"takes it): {digests:.3f} s, {100 * digests / walked:.1f} % of the two walks "
        f"({walked:.3f} s in-process) and {100 * digests / f.median('walk_cw'):.1f} % of "
        f"`clipwalk F 38 300` (target under 2 %: "
        f"{verdict(digests / f.median('walk_cw'), 0.02)}).\n")

    add("## The landing at its limit\n")
    add("The limit is the budget-0 seek, which decodes only what the target needs. Each row "
        "compares commands measured in turn in the same rounds.\n")
    add("| clip | default budget | budget 0 | ffmpeg | default / budget 0 (≤ 1.05) "
        "| budget 0 / ffmpeg (≤ 0.80) |")
    add("|---|---|---|---|---|---|")
    limits = [("1080p H.264, GOP 250", "budget:256", "budget:0", "seek_ff"),
              ("2160p HEVC, GOP 250, 1920x1080 preview", "hevc_cw", "hevc_cw0", "hevc_ff_scaled")]
    limits += [(what, f"short_cw:{clip}", f"short_cw0:{clip}", f"short_ff_scaled:{clip}")
               for clip, what, _ in SHORT_CLIPS]
    for what, default, zero, reference in limits:
        held, floor = f.ratio(default, zero), f.ratio(zero, reference)
        add(f"| {what} | {f.cell(default)} | {f.cell(zero)} | {f.cell(reference)} "
            f"| {held:.2f} {verdict(held, 1.05)} | {floor:.2f} {verdict(floor, 0.80)} |")
    slowest = max((64, 512, 1024), key=lambda b: f.median(f"budget:{b}"))
    growth = f.ratio(f"budget:{slowest}", "budget:0")
    add("")
    add(f"Slowest of budgets 0, 64, 512 and 1024 MiB at 1080p: {slowest} MiB, {growth:.2f} of "
        f"budget 0 (≤ 1.05: {verdict(growth, 1.05)}).\n")
    back = f.output("back")
    back_ratio = f.ratio("back", "land")
    add(f"A landing and 30 single steps back (helper `back F 38 30`): {f.cell('back')}, "
        f"{back_ratio:.2f} of the landing alone (helper `seek F 38`, {f.cell('land')}; "
        f"≤ 2.2: {verdict(back_ratio, 2.2)}); the steps decoded {back['back_decoded']} "
        f"pictures, the slowest took {float(back['back_slowest_s']):.3f} s.\n")

    add("## Seek time against the budget\n")
    add("`clipwalk F 38 0 B` on the 1080p clip, whole process, in turn with "
        "`ffmpeg -ss 38 -i F -frames:v 1 -f null -` in the same rounds.\n")
    add("| budget (MiB) | s [range] (CPU) | ratio to ffmpeg | ratio to budget 0 "
        "| pictures decoded | frames held |")
    add("|---|---|---|---|---|---|")
    for budget in BUDGETS:
        label = f"budget:{budget}"
        inside = f.output(f"budget_inside:{budget}")
        add(f"| {budget} | {f.cell(label)} | {f.ratio(label, 'seek_ff'):.2f} "
            f"| {f.ratio(label, 'budget:0'):.2f} | {inside['seek_decoded']} "
            f"| {inside['seek_window']} |")
    add(f"| ffmpeg | {f.cell('seek_ff')} | 1.00 | | every one | none |")
    add("")
    add("Pictures decoded and frames held come from the in-process helper (`clipwalk_bench "
        "seek F 38 B`). The seek decodes the pictures from the keyframe to the target, 200 "
        "frames after it, less the non-reference pictures so far before the target that the "
        "budget would evict them anyway: those are not decoded at all. A larger budget holds "
        "more frames, so it decodes more pictures and maps more memory; ffmpeg decodes every "
        "picture and holds none.\n")
    add(f"2160p HEVC without scaling, for comparison: `ffmpeg -ss 18 -i F -frames:v 1 -f null -` "
        f"{f.cell('hevc_ff')}; clipwalk's ratio to it {f.ratio('hevc_cw', 'hevc_ff'):.2f}.\n")

    add("## What the numbers include\n")
    add("- Clips: 60 s of 1080p25 H.264 (libx264 veryfast, GOP 250, 3 B-frames), the same ten "
        "times over by stream copy, and 20 s of 2160p25 HEVC (libx265 ultrafast, GOP 250, "
        "3 B-frames), and 10 s each of 4096x2160 and 2160x3840 H.264 (veryfast, GOP 50, 3 "
        "B-frames) and of 3840x2160 10-bit HEVC (ultrafast, GOP 50, 3 B-frames), all from lavfi "
        "testsrc2. The seek targets, 38 s and 18 s, lie 200 frames after the keyframe before "
        "them; 7.6 s in the GOP-50 clips lies 40 frames after it.")
    add("- `clipwalk F T S [B]` is the whole process: start-up, open, the seek, the walk, the "
        "report, and the prescan every run ends with. The ffmpeg references decode from the "
        "same keyframe and neither keep nor (but for the scaled one, one frame) scale frames.")
    add("- The memory rows are GNU time's peak RSS of `clipwalk F 31 100 B`, a walk inside one "
        "GOP; budget 0 holds two frames, so the difference is what the budget bought.")
    # The dataset section is bench/dataset_bench.py's, written by hand from its output: kept.
    results = bench / "results.md"
    earlier = results.read_text() if results.exists() else ""
    kept = earlier.find("\n## Dataset reads")
    results.write_text("\n".join(lines) + "\n" + (earlier[kept:] if kept >= 0 else ""))


if __name__ == "__main__":
    write(Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent))
