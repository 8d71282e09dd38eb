"""Exact frames at dataset scale: many files read on a Dask cluster, and the archive check
with its reports, against ffprobe's frame lists and ffmpeg's pictures."""

import base64
import json
import os
import pickle
import random
import subprocess
import sys
import tempfile
from html.parser import HTMLParser

import numpy
import pytest

import clipwalk
import clipwalk.dask
from truth import decoded, truth

import distributed  # python3-distributed, which scripts/setup.sh installs

# Bounds on each wait, so that a stuck cluster fails the test instead of hanging it.
TIMEOUT = 300


@pytest.fixture(scope="module")
def cluster():
    """Two single-threaded worker processes, as on a 2-core machine: the one cluster these
    tests start in this process (the check without --scheduler starts its own)."""
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0", timeout=TIMEOUT) as local:
        yield local.scheduler_address
        clipwalk.dask.shutdown()


def packets(path):
    """ffprobe's count of the video stream's packets (a TS lists it again in its program)."""
    return int(subprocess.run(
        ["ffprobe", "-v", "quiet", "-select_streams", "v:0", "-count_packets", "-show_entries",
         "stream=nb_read_packets", "-of", "default=nw=1:nk=1", path],
        check=True, capture_output=True, text=True, timeout=TIMEOUT).stdout.split()[0])


@pytest.mark.parametrize("pixel_format,names,on_cluster", [
    ("rgb24", ["h264_bframes_aac.mp4", "vfr.mkv", "hevc_opengop.ts", "editlist.mp4"], True),
    ("gray", ["mpeg2.mpg", "vp9.webm", "h264_bframes_aac.mp4"], True),
    # Without an address: the local cluster of worker threads in this process.
    ("rgb24", ["hevc_opengop.mkv", "ts_joined.ts", "mpeg4_bframes.avi"], False),
])
def test_read_frames_on_a_cluster(fixture, cluster, pixel_format, names, on_cluster):
    rng = random.Random(29)
    requests = [(fixture(name), rng.sample(range(truth(fixture(name)).count), 6))
                for name in names]
    # The first file again after another one, a number twice, and a request of no frames.
    requests += [(fixture(names[0]), [0, truth(fixture(names[0])).count - 1, 0]),
                 (fixture(names[1]), [])]
    scheduler = cluster if on_cluster else None
    bag = clipwalk.dask.read_frames(requests, scheduler=scheduler, format=pixel_format)
    assert "dask" in type(bag).__module__
    pairs = clipwalk.dask.client(scheduler).compute(bag).result(timeout=TIMEOUT)
    # One pair a requested number, in the order of the requests.
    assert [(path, frame.index) for path, frame in pairs] == \
        [(path, n) for path, numbers in requests for n in numbers]
    for path, frame in pairs:
        assert frame.pts == truth(path).pts[frame.index]
        assert numpy.array_equal(frame.data, decoded(path, pixel_format)[frame.index])
        again = pickle.loads(pickle.dumps(frame))  # frames travel between processes
        assert (again.pts, again.index, again.seconds) == (frame.pts, frame.index,
                                                           frame.seconds)
        assert numpy.array_equal(again.data, frame.data)
    if not on_cluster:
        # The default client made here leaves a caller's own cluster of processes startable.
        with distributed.LocalCluster(n_workers=1, processes=True, dashboard_address=":0",
                                      timeout=TIMEOUT) as later:
            pairs = clipwalk.dask.read_frames(requests[:1], scheduler=later.scheduler_address)
            assert [frame.index for _, frame in pairs.compute()] == requests[0][1]


def test_clipwalk_import_leaves_dask_alone(build_dir):
    run = subprocess.run([sys.executable, "-c", "import sys, clipwalk; "
                          "print(sorted(m for m in sys.modules if m.split('.')[0] in "
                          "('dask', 'distributed')))"],
                         env=dict(os.environ, PYTHONPATH=str(build_dir / "python")),
                         capture_output=True, text=True, timeout=TIMEOUT, check=True)
    assert run.stdout.strip() == "[]"


def dump_dom(page):
    """The page as headless chromium renders it."""
    with tempfile.TemporaryDirectory() as profile:
        return subprocess.run(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", f"--user-data-dir={profile}", "--dump-dom", f"file://{page}"],
            capture_output=True, text=True, timeout=TIMEOUT, check=True).stdout


class Rows(HTMLParser):
    """The report table's rows: each one's class, the texts of its cells and its images'
    (alt, src)."""

    def __init__(self):
        super().__init__()
        self.rows, self._cell = [], None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "tr" and attrs.get("class") in ("problem", "pass"):
            self.rows.append({"kind": attrs["class"], "cells": [], "images": []})
        elif tag == "td" and self.rows:
            self._cell = ""
        elif tag == "img" and self.rows:
            self.rows[-1]["images"].append((attrs.get("alt"), attrs.get("src")))

    def handle_data(self, data):
        if self._cell is not None:
            self._cell += data

    def handle_endtag(self, tag):
        if tag == "td" and self._cell is not None:
            self.rows[-1]["cells"].append(self._cell.strip())
            self._cell = None


def png_size(source, tmp_path):
    """The size ffmpeg decodes a data: URL's PNG picture at."""
    prefix = "data:image/png;base64,"
    assert source.startswith(prefix)
    picture = tmp_path / "thumbnail.png"
    picture.write_bytes(base64.b64decode(source[len(prefix):]))
    run = subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", str(picture), "-f",
                          "rawvideo", "-pix_fmt", "rgb24", "-"],
                         capture_output=True, timeout=TIMEOUT, check=True)
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=width,height",
                            "-of", "csv=p=0", str(picture)],
                           capture_output=True, text=True, timeout=TIMEOUT, check=True)
    width, height = map(int, probe.stdout.strip().split(","))
    assert len(run.stdout) == width * height * 3
    return width, height


# Each case: fixtures with the verdict each one must get, whether to use the test's cluster
# (else the check starts a local one), and the exit status.
CASES = {
    "damage on the test's cluster": ({"h264_bframes_aac.mp4": "pass",
                                      "ts_damaged_headers.ts": "counts differ",
                                      "zeroed_keyframe.mp4": "counts differ",
                                      "not_video.txt": "cannot open"}, True, 1),
    "clean on a local cluster": ({"vfr.mkv": "pass", "mpeg2.mpg": "pass"}, False, 0),
}


@pytest.mark.parametrize("case", CASES)
def test_the_check(fixture, cluster, build_dir, tmp_path, case):
    verdicts, on_cluster, status = CASES[case]
    paths = {os.path.abspath(fixture(name)): verdict for name, verdict in verdicts.items()}
    report = tmp_path / "report"
    command = [sys.executable, "-m", "clipwalk.check", *paths, "--report", str(report)]
    if on_cluster:
        command += ["--scheduler", cluster]
    run = subprocess.run(command, env=dict(os.environ, PYTHONPATH=str(build_dir / "python")),
                         capture_output=True, text=True, timeout=TIMEOUT)
    assert run.returncode == status, run.stderr
    # Progress as it goes: tqdm's bar on a local cluster, Dask's with a scheduler.
    output = run.stdout + run.stderr
    assert ("checking: 100%" in output, "] | 100% Completed" in output) == \
        (not on_cluster, on_cluster), output

    document = json.loads((report / "report.json").read_text())
    files = {row["path"]: row for row in document["files"]}
    assert {path: row["verdict"] for path, row in files.items()} == paths
    assert document["passed"] == (status == 0)
    for path, verdict in paths.items():
        row = files[path]
        if verdict == "cannot open":
            assert row["frames_by_decoding"] is None and row["problems"][0]["message"]
            continue
        t = truth(path)
        assert row["frames_by_decoding"] == t.count
        assert row["frames_by_packets"] == packets(path)
        assert (row["codec"], row["width"], row["height"]) == (t.codec, t.width, t.height)
        assert (verdict == "pass") == (row["problems"] == []) == (t.count == packets(path))

    parser = Rows()
    parser.feed(dump_dom(report / "report.html"))
    rows = {row["cells"][0]: row for row in parser.rows}
    assert set(rows) == {os.path.basename(path) for path in paths}
    kinds = [row["kind"] for row in parser.rows]
    assert kinds == sorted(kinds, key=lambda kind: kind == "pass")  # problems first
    for path, verdict in paths.items():
        row = rows[os.path.basename(path)]
        assert row["kind"] == ("pass" if verdict == "pass" else "problem")
        assert row["cells"][6] == verdict
        if verdict in ("pass", "cannot open"):
            assert row["images"] == []
            continue
        t = truth(path)
        assert row["cells"][1:6] == [t.codec, f"{t.width}x{t.height}", row["cells"][3],
                                     str(packets(path)), str(t.count)]
        # Thumbnails of the frames around the first problem, pictures ffmpeg can read.
        first = min(problem["frame"] for problem in files[path]["problems"])
        assert [alt for alt, _ in row["images"]] == \
            [f"frame {n}" for n in range(max(first - 2, 0), min(first + 3, t.count))]
        for _, source in row["images"]:
            width, height = png_size(source, tmp_path)
            assert max(width, height) <= 96
            assert abs(width / height - t.width / t.height) < 0.1


class Faulty:
    """A real video whose walk back is made to go wrong in one way, to show that the check's
    round trip sees it."""

    def __init__(self, video, fault):
        self.video, self.fault, self.back = video, fault, 0

    def __len__(self):
        return len(self.video)

    def __getitem__(self, number):
        frame = self.video[number]
        if self.fault == "landing":
            frame.seconds += 0.5
        return frame

    def step(self, frames):
        frame = self.video.step(frames)
        if frames < 0:
            self.back += 1
            if self.back == 2 and self.fault == "pixels":
                frame.data = frame.data.copy()
                frame.data[0, 0] ^= 1
            elif self.back == 2 and self.fault == "stamp":
                frame.pts += 1
        return frame


@pytest.mark.parametrize("fault,number,expected", [
    (None, 10, None),
    (None, 149, None),  # the last frame: the walk goes back and returns
    ("pixels", 10, "frame 11: other pixels on the way back"),
    ("stamp", 10, "frame 11: stamp"),
    ("landing", 10, "frame 10: landed on frame 10 at"),
])
def test_the_round_trip_sees_faults(fixture, fault, number, expected):
    from clipwalk.check import _round_trip
    path = fixture("h264_bframes_aac.mp4")
    stamps = truth(path).seconds  # ffprobe's, not the video's own list
    assert len(stamps) == 150
    with clipwalk.open(path, count="decode", threads=1) as video:
        found = _round_trip(Faulty(video, fault), number, stamps)
    assert found == expected if expected is None else found.startswith(expected), found
