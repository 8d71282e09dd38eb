"""The right frame under every default and every history: damaged files counted by default,
times before the stream's start, streams that change size, odd size bounds, raw streams,
the stream and pixel layout asked for, iterators with places of their own, FFmpeg's lines
in logging, and reproducible pixels on damage. Each answer is checked against ffprobe's
frame list or ffmpeg's decode."""

import json
import logging
import subprocess
import threading
from fractions import Fraction

import numpy
import pytest

import clipwalk
from test_frames import assert_frame, assert_pixels
from truth import _run, decoded, truth

# Files whose decoder drops pictures that the packets promise: broken slice headers in
# MPEG-TS (from 3.2 s on, and out of order) and a zeroed keyframe in MP4.
DROPPING = ["ts_damaged_headers.ts", "ts_damaged_order.ts", "zeroed_keyframe.mp4"]


def probe_values(*arguments):
    """ffprobe's csv values, one list a line, without the empty fields it may add."""
    lines = _run(["ffprobe", "-v", "error", "-select_streams", "v:0", *arguments, "-of",
                  "csv=p=0"]).decode().split()
    return [[v for v in line.split(",") if v] for line in lines if line.strip(",")]


def packet_count(path):
    return int(probe_values("-count_packets", "-show_entries", "stream=nb_read_packets",
                            path)[0][0])


@pytest.mark.parametrize("name", DROPPING)
def test_the_default_count_never_names_a_frame_by_another_frames_number(fixture, name):
    path = fixture(name)
    t = truth(path)
    assert packet_count(path) > t.count  # the packets alone would count too many
    with clipwalk.open(path) as video:
        labels = [(f.index, f.pts) for f in video]
        assert len(video) == t.count
    assert labels == list(enumerate(t.pts))
    # Fresh videos, by number, by slice, by time and on screen, each the first call: the
    # frames just past the damage, where the packets' numbering and the decode's part.
    promised = sorted(int(line[0]) for line in probe_values("-show_entries", "packet=pts", path))
    parting = next(n for n in range(t.count) if promised[n] != t.pts[n])
    for number in (parting, parting + 1, parting + 2):
        with clipwalk.open(path) as video:
            assert_frame(video[number], path, number)
            # Once the packets' count proved wrong, every road answers by the decode's.
            seconds = t.seconds[number]
            shown = t.played_at(seconds) if t.seconds == sorted(t.seconds) else \
                t.first_played_at(seconds)
            frame = video.get_frames_played_at([seconds])[0]
            assert (frame.index, frame.pts) == (shown, t.pts[shown])
            landing = t.landing(seconds)
            frame = video.seek(seconds)
            assert (frame.index, frame.pts) == (landing, t.pts[landing])
        with clipwalk.open(path) as video:
            assert [f.pts for f in video[number - 3:number + 1]] == t.pts[number - 3:number + 1]


def test_negative_times_reach_frames_stamped_before_the_start(fixture):
    # Cut mid-GOP with its negative stamps kept: the first 72 pictures come out untimed and
    # are stamped back from the first timed one (at 0 s), one frame each.
    path = fixture("mkv_untimed_start.mkv")
    t = truth(path)
    first_timed = next(i for i, pts in enumerate(t.pts) if pts != -1)
    assert first_timed == 72
    fps = float(Fraction(probe_values("-show_entries", "stream=r_frame_rate", path)[0][0]))
    with clipwalk.open(path) as video:
        landed = {seconds: video.seek(seconds) for seconds in (-5.0, -2.0, -1.0, -0.5, 0.0)}
    assert landed[-5.0].index == 0 and landed[0.0].index == first_timed
    for seconds, frame in landed.items():
        if -first_timed / fps < seconds < 0:
            assert frame.index == first_timed + int(numpy.ceil(seconds * fps - 0.5))
            assert frame.seconds < 0
        assert_pixels(frame, decoded(path)[frame.index], frame.index)


def test_seek_rounds_the_time_to_the_stream_s_tick(fixture, tmp_path):
    path = str(tmp_path / "tick25.mkv")  # a 1/25 s time base: 0.37 s is tick 9, at 0.36 s
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-f", "lavfi", "-i",
                    "testsrc2=size=160x120:rate=25:duration=2", "-c:v", "mpeg4",
                    "-video_track_timescale", "25", "-f", "mp4", path], check=True)
    t = truth(path)
    assert t.time_base == Fraction(1, 25)
    with clipwalk.open(path) as video:
        for seconds in (0.37, 0.38, 1.0, 1.019, 1.021):
            tick = round(seconds * 25) / 25
            assert video.seek(seconds).index == t.landing(tick - 1e-9)


def test_a_stream_that_changes_size_gives_each_frame_at_its_size(fixture):
    path = fixture("size_change.h264")  # 320x240, then 640x360
    sizes = [tuple(int(v) for v in line)
             for line in probe_values("-show_entries", "frame=width,height", path)]
    assert len(set(sizes)) == 2
    # ffmpeg's decode, each picture at its own size (no scaling to the first).
    raw = numpy.frombuffer(_run(["ffmpeg", "-v", "error", "-nostdin", "-i", path,
                                 "-autoscale", "0", "-f", "rawvideo", "-pix_fmt", "rgb24",
                                 "-"]), dtype=numpy.uint8)
    with clipwalk.open(path) as video:
        frames = list(video)
    with clipwalk.open(path, max_side=400) as video:
        bounded = [video.step(1) for _ in range(len(frames))]
    assert [(f.width, f.height) for f in frames] == sizes
    at = 0
    for index, ((width, height), frame) in enumerate(zip(sizes, frames)):
        picture = raw[at:at + width * height * 3].reshape(height, width, 3)
        at += width * height * 3
        assert_pixels(frame, picture, index)
    assert {(f.width, f.height) for f in bounded} == {(320, 240), (400, 226)}


@pytest.mark.parametrize("max_side", [319, 225, 3, 2, 320, 641])
def test_max_side_bounds_the_longer_side(fixture, max_side):
    path = fixture("h264_bframes_aac.mp4")  # 320x240
    with clipwalk.open(path, max_side=max_side) as video:
        frame = video[5]
    assert max(frame.width, frame.height) <= max(max_side, 2)
    size = (frame.width, frame.height)
    if max_side >= 320:
        assert size == (320, 240)
    else:
        assert frame.width % 2 == 0 and frame.height % 2 == 0
        assert abs(frame.width / frame.height - 4 / 3) < 4 / frame.height
    assert_pixels(frame, decoded(path, "rgb24", size, first=6)[5], 5)


def test_frames_played_at_times_without_a_count(fixture):
    path = fixture("raw_h264.h264")  # no stamps: frames follow at ffprobe's rate from 0
    t = truth(path)
    fps = float(Fraction(probe_values("-show_entries", "stream=r_frame_rate", path)[0][0]))
    times = [0.5, 0.0, -1.0, 1.234, 100.0]
    with clipwalk.open(path) as video:
        with pytest.raises(clipwalk.CountError):
            len(video)
        frames = video.get_frames_played_at(times)
    for frame, seconds in zip(frames, times):
        index = min(max(int(numpy.floor(seconds * fps + 1e-6)), 0), t.count - 1)
        assert frame.index is None
        assert_pixels(frame, decoded(path)[index], index)


@pytest.fixture(scope="module")
def two_streams(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("streams") / "two.mkv")
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-f", "lavfi", "-i",
                    "testsrc2=size=320x240:rate=25:duration=1", "-f", "lavfi", "-i",
                    "testsrc2=size=640x360:rate=25:duration=1", "-f", "lavfi", "-i",
                    "sine=duration=1", "-map", "0", "-map", "1", "-map", "2", "-c:v", "libx264",
                    "-c:a", "aac", path], check=True)
    return path


@pytest.mark.parametrize("stream, size", [(None, (320, 240)), (0, (320, 240)), (1, (640, 360))])
def test_the_stream_asked_for(two_streams, stream, size):
    with clipwalk.open(two_streams, stream=stream) as video:
        frame = video[7]
        assert video.metadata.stream_index == (stream or 0)
    assert (frame.width, frame.height) == size
    picture = numpy.frombuffer(_run([
        "ffmpeg", "-v", "error", "-nostdin", "-i", two_streams, "-map", f"0:{stream or 0}",
        "-fps_mode", "passthrough", "-sws_flags", "bilinear", "-frames:v", "8", "-f", "rawvideo",
        "-pix_fmt", "rgb24", "-"]), dtype=numpy.uint8)
    assert_pixels(frame, picture.reshape(8, size[1], size[0], 3)[7], 7)


@pytest.mark.parametrize("stream", [2, 3])
def test_a_stream_that_is_no_video_is_refused(two_streams, stream):
    with pytest.raises(clipwalk.OpenError):
        clipwalk.open(two_streams, stream=stream)


def test_bgr24_is_ffmpegs_bgr24(fixture):
    path = fixture("h264_bframes_aac.mp4")
    with clipwalk.open(path, format="bgr24") as video:
        frames = video.get_frames_at([3, 60])
    for frame, index in zip(frames, [3, 60]):
        assert_pixels(frame, decoded(path, "bgr24")[index], index)


@pytest.mark.parametrize("name", ["h264_ts_offset.ts", "vfr.mkv", "h264_bframes_aac.mp4"])
def test_metadata_is_ffprobes(fixture, tmp_path, name):
    path = fixture(name)
    if name == "h264_bframes_aac.mp4":  # turned and anamorphic, by the container
        turned = str(tmp_path / "turned.mp4")
        subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", path, "-map", "0:v",
                        "-c:v", "libx264", "-vf", "setsar=4/3", "-f", "mp4", turned + ".tmp"],
                       check=True)
        subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", turned + ".tmp", "-c", "copy",
                        "-metadata:s:v:0", "rotate=90", turned], check=True)
        path = turned
    probe = json.loads(_run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                             "stream=r_frame_rate,avg_frame_rate,sample_aspect_ratio,start_time"
                             ":stream_side_data=rotation:format=start_time", "-of", "json",
                             path]))
    stream = probe["streams"][0]
    with clipwalk.open(path) as video:
        m = video.metadata
        first = video[0]
    aspect = stream.get("sample_aspect_ratio", "0:1").replace(":", "/")
    assert m.sample_aspect_ratio == (Fraction(aspect) if aspect != "0/1" else None)
    rotation = next((float(d["rotation"]) for d in stream.get("side_data_list", [])
                     if "rotation" in d), 0.0)
    assert m.rotation == rotation
    assert m.frame_rate in (Fraction(stream["r_frame_rate"]), Fraction(stream["avg_frame_rate"]))
    assert float(m.frame_rate) == m.fps
    assert m.start_seconds == pytest.approx(float(stream["start_time"]), abs=1e-6)
    assert m.container_start_seconds == pytest.approx(float(probe["format"]["start_time"]),
                                                      abs=1e-6)
    # A frame's time on the file's timeline is ffprobe's pts_time.
    pts_time = float(probe_values("-show_entries", "frame=pts_time", "-read_intervals", "%+#1",
                                  path)[0][0])
    assert m.start_seconds + first.seconds == pytest.approx(pts_time, abs=1e-6)
    assert isinstance(clipwalk.__version__, str) and clipwalk.__version__[0].isdigit()


def test_iterators_keep_their_own_places(fixture):
    path = fixture("h264_bframes_aac.mp4")
    t = truth(path)
    with clipwalk.open(path) as video:
        pairs = [(a.index, b.index) for a, b, _ in zip(iter(video), iter(video), range(5))]
        walked = []
        for frame in video:
            walked.append(frame.pts)
            if frame.index % 20 == 0:
                video.seek(t.seconds[-1])  # the loop goes on where it was
                video[3]
        other = iter(video)
        next(other)
        restarted = [next(iter(video)).index, next(other).index]
    assert pairs == [(n, n) for n in range(5)]
    assert walked == t.pts
    assert restarted == [0, 1]


def test_ffmpegs_lines_go_to_logging(fixture, caplog, capfd):
    path = fixture("ts_damaged_headers.ts")
    with caplog.at_level(logging.ERROR, logger="clipwalk"):
        with clipwalk.open(path) as video:
            count = sum(1 for _ in video)
    assert count == truth(path).count  # the damage was found: the count is the decode's
    errors = [r for r in caplog.records if r.name == "clipwalk.ffmpeg"]
    assert errors and all(r.levelno >= logging.ERROR for r in errors)
    assert any("[h264 @" in r.getMessage() for r in errors)
    assert "[h264 @" not in capfd.readouterr().err
    caplog.clear()
    logging.getLogger("clipwalk").setLevel(logging.CRITICAL)  # silenced
    try:
        with clipwalk.open(path, count="demux") as video:
            sum(1 for _ in video)
    finally:
        logging.getLogger("clipwalk").setLevel(logging.ERROR)
    assert not [r for r in caplog.records if r.name == "clipwalk.ffmpeg"]
    assert "[h264 @" not in capfd.readouterr().err


def test_one_decoder_thread_gives_the_pixels_of_a_single_threaded_decode(fixture):
    path = fixture("ts_damaged.ts")  # payload overwritten: concealed pictures
    t = truth(path)
    single = numpy.frombuffer(_run(["ffmpeg", "-v", "error", "-nostdin", "-threads", "1", "-i",
                                    path, "-map", "0:v:0", "-fps_mode", "passthrough",
                                    "-sws_flags", "bilinear", "-f", "rawvideo", "-pix_fmt",
                                    "rgb24", "-"]), dtype=numpy.uint8)
    single = single.reshape(t.count, t.height, t.width, 3)
    results = []

    def read():
        with clipwalk.open(path, threads=1, count="decode") as video:
            results.append(list(video))

    reader = threading.Thread(target=read)
    reader.start()
    reader.join(timeout=120)
    frames = results[0]
    assert [f.pts for f in frames] == t.pts
    for index, frame in enumerate(frames):
        assert_pixels(frame, single[index], index)
