"""Exact frames at dataset scale: many files read on a Dask cluster, and the archive check
with its reports, against ffprobe's frame lists and ffmpeg's pictures."""

import json
import os
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

distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def cluster():
    """Two single-threaded worker processes, as on a 2-core machine."""
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as local:
        yield local.scheduler_address
        clipwalk.dask.shutdown()


def test_read_frames_on_a_cluster(fixture, cluster):
    names = ["h264_bframes_aac.mp4", "vfr.mkv", "hevc_opengop.ts", "editlist.mp4"]
    rng = random.Random(29)
    requests = [(fixture(name), rng.sample(range(truth(fixture(name)).count), 6))
                for name in names]
    requests.append((fixture(names[0]), [0, 149, 0]))  # the same file again, a number twice
    pairs = clipwalk.dask.read_frames(requests, scheduler=cluster, format="rgb24").compute()
    wanted = [(path, n) for path, numbers in requests for n in numbers]
    # Grouped by file, in the order files are first named, each file's numbers as asked.
    order = {path: k for k, path in reversed(list(enumerate(p for p, _ in requests)))}
    wanted.sort(key=lambda pair: order[pair[0]])
    assert [(path, frame.index) for path, frame in pairs] == wanted
    for path, frame in pairs:
        assert frame.pts == truth(path).pts[frame.index]
        assert numpy.array_equal(frame.data, decoded(path)[frame.index])


def dump_dom(page):
    """The page as headless chromium renders it."""
    with tempfile.TemporaryDirectory() as profile:
        return subprocess.run(
            ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", f"--user-data-dir={profile}", "--dump-dom", f"file://{page}"],
            capture_output=True, text=True, timeout=120, check=True).stdout


class Rows(HTMLParser):
    """The report table's rows: each one's class and the texts of its cells."""

    def __init__(self):
        super().__init__()
        self.rows, self._cell = [], None

    def handle_starttag(self, tag, attrs):
        if tag == "tr" and ("class", "problem") in attrs or ("class", "pass") in attrs:
            self.rows.append((dict(attrs)["class"], []))
        elif tag == "td" and self.rows:
            self._cell = ""

    def handle_data(self, data):
        if self._cell is not None:
            self._cell += data

    def handle_endtag(self, tag):
        if tag == "td" and self._cell is not None:
            self.rows[-1][1].append(self._cell.strip())
            self._cell = None


def test_the_check_flags_the_damaged_file(fixture, cluster, build_dir, tmp_path):
    clean, damaged, text = (os.path.abspath(fixture(name)) for name in
                            ("h264_bframes_aac.mp4", "ts_damaged_headers.ts", "not_video.txt"))
    report = tmp_path / "report"
    env = dict(os.environ, PYTHONPATH=str(build_dir / "python"))
    run = subprocess.run([sys.executable, "-m", "clipwalk.check", clean, damaged, text,
                          "--scheduler", cluster, "--report",
                          str(report)], env=env, capture_output=True, text=True, timeout=600)
    assert run.returncode == 1, run.stderr
    files = {row["path"]: row for row in json.loads((report / "report.json").read_text())["files"]}
    assert files[clean]["verdict"] == "pass"
    assert files[clean]["frames_by_decoding"] == truth(clean).count
    assert files[damaged]["verdict"] == "counts differ"
    assert files[damaged]["frames_by_decoding"] == truth(damaged).count
    assert files[damaged]["frames_by_packets"] > truth(damaged).count
    assert files[text]["verdict"] == "cannot open"

    parser = Rows()
    parser.feed(dump_dom(report / "report.html"))
    rows = {cells[0]: (kind, cells) for kind, cells in parser.rows}
    assert [kind for kind, _ in parser.rows] == ["problem", "problem", "pass"]  # problems first
    kind, cells = rows["ts_damaged_headers.ts"]
    assert kind == "problem" and cells[4:7] == [str(files[damaged]["frames_by_packets"]),
                                                str(truth(damaged).count), "counts differ"]
    assert rows["h264_bframes_aac.mp4"][1][6] == "pass"
    assert "<img" in (report / "report.html").read_text()  # thumbnails of the damage
