"""Failures become exceptions, never a crash or a hang: missing files, files that are no
video, damaged files, bad arguments, the ends of the stream, use after close, and two threads
at once. Long calls let go of the GIL."""

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


@pytest.mark.parametrize("name", ["not_video.txt", "audio_only.m4a", "audio_cover.m4a", "."])
def test_what_is_no_video_raises_the_tools_message(fixture, build_dir, name):
    path = fixture(name)
    tool = subprocess.run([build_dir / "clipwalk", path], capture_output=True, text=True)
    # FFmpeg's own log lines may come first.
    message = [line for line in tool.stderr.splitlines() if line.startswith("open failed: ")]
    assert tool.returncode == 1 and len(message) == 1
    with pytest.raises(clipwalk.OpenError) as caught:
        clipwalk.open(path)
    assert isinstance(caught.value, clipwalk.Error)
    assert str(caught.value) == message[0]


@pytest.mark.parametrize("arguments", [
    {"format": "bgr24"}, {"format": None}, {"format": "RGB24"},
    {"max_side": 0}, {"max_side": -640}, {"max_side": 640.0}, {"max_side": "640"},
    {"max_side": True}, {"max_side": 1 << 31},
    {"budget_mib": -1}, {"budget_mib": 1.5}, {"budget_mib": None}, {"budget_mib": 1 << 44},
    {"path": 3}, {"path": "clip\0.mp4"}, {"count": "frames"},
], ids=repr)
def test_bad_open_arguments_raise_value_error(fixture, arguments):
    arguments = dict(arguments)
    path = arguments.pop("path", fixture(CLEAN))
    with pytest.raises(ValueError):
        clipwalk.open(path, **arguments)


BAD_CALLS = {
    "seek('1')": lambda v: v.seek("1"),
    "seek(nan)": lambda v: v.seek(math.nan),
    "step(1.5)": lambda v: v.step(1.5),
    "video[1.5]": lambda v: v[1.5],
    "video['1']": lambda v: v["1"],
    "get_frames_at([0.5])": lambda v: v.get_frames_at([0.5]),
    "get_frames_at('12')": lambda v: v.get_frames_at("12"),
    "get_frames_at(5)": lambda v: v.get_frames_at(5),
    "get_frames_played_at([nan])": lambda v: v.get_frames_played_at([math.nan]),
    "get_frames_played_at(['1'])": lambda v: v.get_frames_played_at(["1"]),
}


@pytest.mark.parametrize("call", BAD_CALLS.values(), ids=BAD_CALLS.keys())
def test_bad_call_arguments_raise_value_error(video, call):
    with pytest.raises(ValueError):
        call(video)


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


INTRUSIONS = {"len": len, "step": lambda v: v.step(1), "close": lambda v: v.close(),
              "frame": lambda v: v.frame}


@pytest.mark.parametrize("intrude", INTRUSIONS.values(), ids=INTRUSIONS.keys())
def test_a_second_thread_at_once_gets_busy_error(fixture, switches_only_where_the_gil_is_let_go,
                                                 intrude):
    path = fixture("h264_1080p.mp4")
    with clipwalk.open(path) as video:
        outcomes, go, done = [], threading.Event(), threading.Event()

        def intruder():
            go.wait()
            while not done.is_set() and not outcomes:
                try:
                    intrude(video)
                except clipwalk.BusyError:
                    outcomes.append("busy")
                time.sleep(0)

        thread = threading.Thread(target=intruder)
        thread.start()
        go.set()
        try:
            frames = video.get_frames_at(range(0, 40, 4))
        finally:
            done.set()
            thread.join()
        assert outcomes == ["busy"]
        # The video was left whole: the batch is right and the video still serves.
        assert [f.pts for f in frames] == truth(path).pts[0:40:4]
        assert video.step(-1).index == 35
