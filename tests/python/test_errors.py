"""Failures become exceptions, never a crash or a hang: missing files, files that are no
video, damaged files, bad arguments, the ends of the stream, use after close, and threads at
once. Long calls let go of the GIL."""

import math
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import clipwalk
from truth import decoded, truth

CLEAN = "h264_bframes_aac.mp4"


@pytest.fixture
def video(fixture):
    with clipwalk.open(fixture(CLEAN)) as opened:
        yield opened


@pytest.mark.parametrize("kind", [str, Path, os.fsencode])
def test_a_missing_path_raises_file_not_found(tmp_path, kind):
    with pytest.raises(FileNotFoundError):
        clipwalk.open(kind(str(tmp_path / "missing.mp4")))


@pytest.fixture
def long_text(tmp_path):
    """Text long enough that FFmpeg's ANSI-art demuxer takes a ".txt" file for a video."""
    path = tmp_path / "notes.txt"
    path.write_text("".join(f"line {n}: some words of a text file, not a picture\n"
                            for n in range(400)))
    return str(path)


@pytest.mark.parametrize("name", ["not_video.txt", "long text", "audio_only.m4a",
                                  "audio_cover.m4a", "."])
def test_what_is_no_video_raises_the_tools_message(fixture, build_dir, long_text, name):
    path = long_text if name == "long text" else fixture(name)
    tool = subprocess.run([build_dir / "clipwalk", path], capture_output=True, text=True)
    # FFmpeg's own log lines may come first.
    message = [line for line in tool.stderr.splitlines() if line.startswith("open failed: ")]
    assert tool.returncode == 1 and len(message) == 1
    with pytest.raises(clipwalk.OpenError) as caught:
        clipwalk.open(path)
    assert isinstance(caught.value, clipwalk.Error)
    assert str(caught.value) == message[0]


# A wrong type raises TypeError, a wrong value ValueError.
@pytest.mark.parametrize("arguments, error", [
    ({"format": None}, TypeError), ({"format": "RGB24"}, ValueError),
    ({"max_side": 0}, ValueError), ({"max_side": 1}, ValueError),
    ({"max_side": -640}, ValueError), ({"max_side": 640.0}, TypeError),
    ({"max_side": "640"}, TypeError), ({"max_side": True}, TypeError),
    ({"max_side": 1 << 31}, ValueError),
    ({"budget_mib": -1}, ValueError), ({"budget_mib": 1.5}, TypeError),
    ({"budget_mib": "256"}, TypeError), ({"budget_mib": 1 << 44}, ValueError),
    ({"path": 3}, TypeError), ({"path": None}, TypeError), ({"path": "clip\0.mp4"}, ValueError),
    ({"count": "frames"}, ValueError), ({"count": 1}, TypeError),
    ({"stream": -1}, ValueError), ({"stream": "0"}, TypeError),
    ({"threads": 0}, ValueError), ({"threads": 2.0}, TypeError),
    ({"index_dir": 5}, TypeError),
], ids=repr)
def test_bad_open_arguments_raise_by_kind(fixture, arguments, error):
    arguments = dict(arguments)
    path = arguments.pop("path", fixture(CLEAN))
    with pytest.raises(error):
        clipwalk.open(path, **arguments)


BAD_CALLS = {
    "seek('1')": (lambda v: v.seek("1"), TypeError),
    "seek(nan)": (lambda v: v.seek(math.nan), ValueError),
    "step(1.5)": (lambda v: v.step(1.5), TypeError),
    "step('1')": (lambda v: v.step("1"), TypeError),
    "video[1.5]": (lambda v: v[1.5], TypeError),
    "video['1']": (lambda v: v["1"], TypeError),
    "10 in video": (lambda v: 10 in v, TypeError),
    "get_frames_at([0.5])": (lambda v: v.get_frames_at([0.5]), TypeError),
    "get_frames_at('12')": (lambda v: v.get_frames_at("12"), TypeError),
    "get_frames_at(5)": (lambda v: v.get_frames_at(5), TypeError),
    "get_frames_played_at([nan])": (lambda v: v.get_frames_played_at([math.nan]), ValueError),
    "get_frames_played_at(['1'])": (lambda v: v.get_frames_played_at(["1"]), TypeError),
}


@pytest.mark.parametrize("call, error", BAD_CALLS.values(), ids=BAD_CALLS.keys())
def test_bad_call_arguments_raise_by_kind(video, call, error):
    with pytest.raises(error):
        call(video)
    assert video.frame is None  # nothing was read


OUT_OF_RANGE = {
    "video[n]": lambda v, n: v[n],
    "video[-n-1]": lambda v, n: v[-n - 1],
    "get_frames_at([0, n])": lambda v, n: v.get_frames_at([0, n]),
    "get_frames_at([-n-1])": lambda v, n: v.get_frames_at([-n - 1]),
    "step(n) from the first frame": lambda v, n: (v[0], v.step(n)),
    "step(-n) from the last frame": lambda v, n: (v[-1], v.step(-n)),
    "step(n + 1) before the first landing": lambda v, n: v.step(n + 1),
}


@pytest.mark.parametrize("call", OUT_OF_RANGE.values(), ids=OUT_OF_RANGE.keys())
def test_out_of_range_raises_index_error(video, call):
    with pytest.raises(IndexError):
        call(video, truth(video.path).count)


AFTER_CLOSE = {
    "len": len,
    "video[0]": lambda v: v[0],
    "seek": lambda v: v.seek(1.0),
    "step": lambda v: v.step(1),
    "frame": lambda v: v.frame,
    "metadata": lambda v: v.metadata,
    "get_frames_at": lambda v: v.get_frames_at([0]),
    "get_frames_played_at": lambda v: v.get_frames_played_at([0.0]),
    "iteration": lambda v: next(iter(v)),
    "with": lambda v: v.__enter__(),
}


@pytest.mark.parametrize("call", AFTER_CLOSE.values(), ids=AFTER_CLOSE.keys())
def test_calls_after_close_raise_value_error(fixture, call):
    path = fixture(CLEAN)
    with clipwalk.open(path) as video:
        frame = video[10]
    assert video.closed
    video.close()  # a second close does nothing
    with pytest.raises(ValueError):
        call(video)
    assert (frame.data == decoded(path)[10]).all()  # a frame outlives its video


def threads_of_this_process():
    return len(os.listdir("/proc/self/task"))


def test_close_stops_the_counting_worker_and_the_decoder_threads(fixture):
    before = threads_of_this_process()
    video = clipwalk.open(fixture("h264_1080p.mp4"))
    video.seek(2.0)
    assert threads_of_this_process() > before
    video.close()
    assert threads_of_this_process() == before


@pytest.mark.parametrize("name, count", [("ts_damaged.ts", "demux"), ("truncated.mp4", "demux"),
                                         ("zeroed_keyframe.mp4", "demux"), ("ts_midcut.ts", "demux"),
                                         ("ts_damaged_headers.ts", "decode"),
                                         ("faulty_pts_gop.mp4", "decode")])
def test_damaged_files_walk_as_the_plain_decode(fixture, name, count):
    path = fixture(name)
    with clipwalk.open(path, count=count) as video:
        assert [frame.pts for frame in video] == truth(path).pts
    if count == "decode":
        # Counted by decoding, frame numbers name the pictures the decoder shows, and a
        # landing past the damage decodes it as the plain decode does.
        with clipwalk.open(path, count=count) as video:
            assert len(video) == truth(path).count
            numbers = range(truth(path).count - 1, 0, -7)
            assert [video[n].pts for n in numbers] == [truth(path).pts[n] for n in numbers]


@pytest.mark.parametrize("name, rejected", [(CLEAN, False), ("zeroed_keyframe.mp4", True)])
def test_last_error_tells_of_a_packet_the_decoder_rejected(fixture, name, rejected):
    with clipwalk.open(fixture(name)) as video:
        assert sum(1 for _ in video) == truth(video.path).count
        assert (video.last_error is not None) == rejected


@pytest.fixture
def switches_only_where_the_gil_is_let_go():
    """A thread waiting for the GIL is not handed it after the usual 5 ms: another thread
    runs only while this one has let go of the GIL, or has ended."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    yield
    sys.setswitchinterval(interval)


@pytest.fixture(scope="module")
def long_clip(fixture_dir, tmp_path_factory):
    """15000 small frames, stream-copied from a fixture: long enough to count that waiting
    for the count takes a while."""
    path = tmp_path_factory.mktemp("long") / "long.mkv"
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-stream_loop", "99", "-i",
                    str(fixture_dir / CLEAN), "-map", "0:v", "-c", "copy", str(path)], check=True)
    return str(path)


# (file, what to do first, the call), each call decoding or counting for a good while: a
# thread waiting for the GIL needs some microseconds to wake and take it.
LONG_CALLS = {
    "batch": ("h264_1080p.mp4", len, lambda v: v.get_frames_at(range(0, 40, 4))),
    "played at": ("h264_1080p.mp4", len, lambda v: v.get_frames_played_at([0.5, 2.9, 1.0])),
    "by number": ("h264_1080p.mp4", len, lambda v: v[70]),
    "seek": ("h264_1080p.mp4", len, lambda v: v.seek(2.9)),
    "step": ("h264_1080p.mp4", lambda v: v[0], lambda v: v.step(40)),
    "step back": ("h264_1080p.mp4", lambda v: v[74], lambda v: v.step(-30)),
    "waiting for the count": (None, lambda v: None, len),
}


@pytest.mark.parametrize("name, prepare, call", LONG_CALLS.values(), ids=LONG_CALLS.keys())
def test_another_thread_runs_while_a_call_decodes(fixture, long_clip, name, prepare, call,
                                                  switches_only_where_the_gil_is_let_go):
    with clipwalk.open(fixture(name) if name else long_clip) as video:
        prepare(video)
        ticks, stop = [0], threading.Event()

        def tick():
            while not stop.is_set():
                ticks[0] += 1
                time.sleep(0)  # lets go of the GIL, so that the call can take it back

        ticker = threading.Thread(target=tick)
        ticker.start()
        try:
            before = ticks[0]
            call(video)
            after = ticks[0]
        finally:
            stop.set()
            ticker.join()
    assert after > before


INTRUSIONS = {"len": len, "step": lambda v: v.step(1), "frame": lambda v: v.frame,
              "seek": lambda v: v.seek(0.5), "close": lambda v: v.close()}


@pytest.mark.parametrize("intrude", INTRUSIONS.values(), ids=INTRUSIONS.keys())
def test_a_second_thread_waits_for_the_call_under_way(fixture, intrude):
    """Three threads share one video: each call waits for the one under way, as under a
    lock, and every batch is the plain decode's."""
    path = fixture("h264_1080p.mp4")
    t = truth(path)
    video = clipwalk.open(path)
    failures, batches, started = [], [], threading.Barrier(3)

    def batch_reader():
        started.wait()
        try:
            for first in range(0, 20, 5):
                batches.append([f.pts for f in video.get_frames_at(range(first, 40, 8))])
        except Exception as failure:  # noqa: BLE001 - any failure fails the test below
            failures.append(failure)

    def intruder():
        started.wait()
        for _ in range(10):
            try:
                intrude(video)
            except (ValueError, IndexError):
                pass  # closed by the call itself, or stepped past the end
            except Exception as failure:  # noqa: BLE001
                failures.append(failure)
            time.sleep(0)

    threads = [threading.Thread(target=batch_reader), threading.Thread(target=batch_reader),
               threading.Thread(target=intruder)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads)
    video.close()
    if intrude is INTRUSIONS["close"]:
        # What comes after the close fails as after any close; nothing else does.
        assert all(isinstance(f, ValueError) and "closed" in str(f) for f in failures)
    else:
        assert failures == [] and len(batches) == 8
    for got in batches:
        first = t.pts.index(got[0])
        assert got == t.pts[first:40:8]
