"""Frames by number, by time, by steps, in batches and in order, against ffprobe's frame list
and ffmpeg's decode of the same files."""

import os
import subprocess

import numpy
import pytest

import clipwalk
from truth import decoded, truth

# A clean MP4 with B-frames, a copy-cut MP4 whose edit list hides the frames before the cut,
# open-GOP HEVC in MPEG-TS, H.264 in MPEG-TS starting at 11.4 s, and variable frame rate
# (frames of 40, 80 and 120 ms) in Matroska.
FILES = ["h264_bframes_aac.mp4", "editlist.mp4", "hevc_opengop.ts", "h264_ts_offset.ts",
         "vfr.mkv"]


def assert_frame(frame, path, index, pixel_format="rgb24"):
    t = truth(path)
    assert (frame.index, frame.pts, frame.key_frame) == (index, t.pts[index], t.key_frames[index])
    assert frame.seconds == pytest.approx(t.seconds[index], abs=1e-9)
    assert_pixels(frame, decoded(path, pixel_format)[index], index)


def assert_pixels(frame, picture, index):
    assert frame.data.dtype == numpy.uint8 and frame.data.shape == picture.shape, index
    if not numpy.array_equal(frame.data, picture):
        differ = numpy.count_nonzero(frame.data != picture)
        pytest.fail(f"frame {index}: {differ} samples differ from ffmpeg's decode")


@pytest.mark.parametrize("name", FILES)
def test_len_and_metadata_are_ffprobes(fixture, name):
    path = fixture(name)
    t = truth(path)
    with clipwalk.open(path) as video:
        m = video.metadata
        assert len(video) == t.count
    assert (m.codec, m.pixel_format, m.time_base, m.start_pts) == \
        (t.codec, t.pixel_format, t.time_base, t.start_pts)
    assert (m.width, m.height, m.frame_width, m.frame_height) == (t.width, t.height) * 2


@pytest.mark.parametrize("name", FILES)
def test_iteration_shows_every_frame_of_the_plain_decode(fixture, name):
    path = fixture(name)
    t = truth(path)
    with clipwalk.open(path) as video:
        frames = list(video)
    assert [(f.index, f.pts, f.key_frame) for f in frames] == \
        list(zip(range(t.count), t.pts, t.key_frames))
    for index, frame in enumerate(frames):
        assert_pixels(frame, decoded(path)[index], index)


@pytest.mark.parametrize("name", FILES)
def test_frames_by_number(fixture, name):
    path = fixture(name)
    n = truth(path).count
    # Back and forth over keyframes, both ends, and numbers counted from the end.
    numbers = [n // 2, 3, n - 1, -1, 0, -n, n // 2 + 1, n // 2 - 1, 1]
    with clipwalk.open(path) as video:
        for number in numbers:
            frame = video[number]
            assert_frame(frame, path, number % n)
            assert video.frame is frame


@pytest.mark.parametrize("name", FILES)
def test_seek_lands_on_the_first_frame_at_or_after_the_time(fixture, name):
    path = fixture(name)
    t = truth(path)
    k = t.count * 2 // 3
    times = [t.seconds[k], (t.seconds[k] + t.seconds[k + 1]) / 2, t.seconds[5],
             t.seconds[k + 1] - 1e-4, 0.0, -3.0, t.seconds[-1] + 10.0]
    with clipwalk.open(path) as video:
        for seconds in times:
            assert_frame(video.seek(seconds), path, t.landing(seconds))


@pytest.mark.parametrize("budget_mib", [0, 256])
@pytest.mark.parametrize("name", FILES)
def test_steps_back_and_forth_over_a_keyframe(fixture, name, budget_mib):
    path = fixture(name)
    t = truth(path)
    start = [i for i, key in enumerate(t.key_frames) if key and i >= 8][-1] + 2
    moves = [-1, -1, -1, -1, -5, 7, 1, -2, 0]
    with clipwalk.open(path, budget_mib=budget_mib) as video:
        frames = [video[start]]
        for move in moves:
            frames.append(video.step(move))
    # Checked after every move: the frames' data outlives the window, even at budget 0.
    expected = start
    for frame, move in zip(frames, [0] + moves):
        expected += move
        assert_frame(frame, path, expected)


@pytest.mark.parametrize("name", FILES)
def test_a_step_past_either_end_raises_and_leaves_the_position(fixture, name):
    path = fixture(name)
    n = truth(path).count
    with clipwalk.open(path) as video:
        with pytest.raises(IndexError):
            video.step(-1)  # before the first landing
        video[1]
        with pytest.raises(IndexError):
            video.step(-2)
        assert_frame(video.step(-1), path, 0)
        video[n - 2]
        with pytest.raises(IndexError):
            video.step(2)
        assert_frame(video.step(1), path, n - 1)
        with pytest.raises(IndexError):
            video.step(1)
        assert_frame(video.step(-3), path, n - 4)


@pytest.mark.parametrize("name", FILES)
def test_a_batch_comes_in_the_order_asked(fixture, name):
    path = fixture(name)
    n = truth(path).count
    numbers = [30, 0, 30, n - 1, -2, 5]
    with clipwalk.open(path, budget_mib=0) as video:
        frames = video.get_frames_at(numbers)
        assert video.frame.index == n - 1  # the last one decoded, in stream order
        sliced = video[n - 3::-40]
    assert len(frames) == len(numbers)
    for frame, number in zip(frames, numbers):
        assert_frame(frame, path, number % n)
    assert [f.index for f in sliced] == list(range(n - 3, -1, -40))
    for frame in sliced:
        assert_frame(frame, path, frame.index)


@pytest.mark.parametrize("name", FILES)
def test_frames_played_at_times(fixture, name):
    path = fixture(name)
    t = truth(path)
    k, late = t.count // 2, t.count - 3
    times = [t.seconds[k], (t.seconds[k] + t.seconds[k + 1]) / 2, t.seconds[k + 1] - 1e-4,
             t.seconds[late] + 0.9 * (t.seconds[late + 1] - t.seconds[late]), t.seconds[3],
             -1.0, t.seconds[-1] + 5.0, t.seconds[0]]
    with clipwalk.open(path) as video:
        frames = video.get_frames_played_at(times)
    for frame, seconds in zip(frames, times):
        assert_frame(frame, path, t.played_at(seconds))


def test_frames_played_at_times_where_the_clock_restarts(fixture):
    path = fixture("ts_joined.ts")  # two recordings whose clocks both start at 1.4 s
    t = truth(path)
    times = [1.0, t.seconds[50] + 0.01, t.seconds[-1] + 0.01, -1.0, t.seconds[120]]
    with clipwalk.open(path) as video:
        frames = video.get_frames_played_at(times)
    for frame, seconds in zip(frames, times):
        assert_frame(frame, path, t.first_played_at(seconds))


@pytest.mark.parametrize("pixel_format", ["rgb24", "rgba", "gray"])
def test_pixel_formats(fixture, pixel_format):
    path = fixture("h264_bframes_aac.mp4")
    with clipwalk.open(path, format=pixel_format) as video:
        frames = [video[40], *video.get_frames_at([7, 90]), video.step(-1)]
        frames.append(video.frame)
    for frame, index in zip(frames, [40, 7, 90, 89, 89]):
        assert_frame(frame, path, index, pixel_format)


@pytest.mark.parametrize("name", ["dci_4096x2160.mp4", "portrait_2160x3840.mp4"])
def test_max_side_scales_as_the_tool_does(fixture, build_dir, name):
    path = fixture(name)
    report = subprocess.run([build_dir / "clipwalk", path, "0", "0"], capture_output=True,
                            text=True, check=True).stdout
    preview = next(line for line in report.splitlines() if line.startswith("preview"))
    width, height = (int(side) for side in preview.split(":")[1].split("x"))
    with clipwalk.open(path, max_side=1920) as video:
        assert (video.metadata.frame_width, video.metadata.frame_height) == (width, height)
        frame = video[3]
    assert_pixels(frame, decoded(path, "rgb24", (width, height), first=4)[3], 3)


@pytest.mark.parametrize("name", ["odd_1279x719.mkv", "h264_1080p.mp4"])
def test_frames_keep_the_source_size_without_max_side(fixture, name):
    path = fixture(name)
    t = truth(path)
    with clipwalk.open(path) as video:
        frame = video[3]
        assert (video.metadata.frame_width, video.metadata.frame_height) == (t.width, t.height)
    assert frame.pts == t.pts[3]
    assert_pixels(frame, decoded(path, first=4)[3], 3)


# A walk forward keeps what the budget holds to step back through: the default budget holds
# 32 frames at 4096x2160, where 256 MiB holds 20, and a number is kept as given. With the file
# emptied after the walk, the first step back that has to decode again fails: the steps
# before it were made through held frames alone.
@pytest.mark.parametrize("budget_mib, holds_32", [(None, True), (256, False)])
def test_the_default_budget_holds_32_frames_at_their_size(tmp_path, budget_mib, holds_32):
    path = str(tmp_path / "dci_42_frames.mp4")
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-f", "lavfi", "-i",
                    "testsrc2=size=4096x2160:rate=25", "-frames:v", "42", "-c:v", "libx264",
                    "-preset", "ultrafast", "-g", "250", "-pix_fmt", "yuv420p", path], check=True)
    t = truth(path)
    landing = 40
    with clipwalk.open(path, budget_mib=budget_mib, index_dir=None) as video:
        assert len(video) == t.count  # counted before the file is emptied
        video[0]
        for _ in range(landing):
            video.step(1)
        assert video.step(0).pts == t.pts[landing]
        os.truncate(path, 0)
        held = 1
        while held <= landing:
            try:
                frame = video.step(-1)
            except IndexError:
                break
            assert (frame.index, frame.pts) == (landing - held, t.pts[landing - held])
            held += 1
    assert (held >= 32) == holds_32, held


def test_a_stream_without_timestamps_is_walked_but_not_counted(fixture):
    path = fixture("raw_h264.h264")
    pictures = decoded(path)
    with clipwalk.open(path) as video:
        for uncountable in (len, lambda v: v[0], lambda v: v.get_frames_at([0])):
            with pytest.raises(clipwalk.CountError):
                uncountable(video)
        frames = list(video)
        assert [f.index for f in frames] == [None] * len(pictures)
        for index, frame in enumerate(frames):
            assert_pixels(frame, pictures[index], index)
        # Without a count, a step past an end walks back the steps it made.
        video.seek(frames[1].seconds)
        with pytest.raises(IndexError):
            video.step(-2)
        assert_pixels(video.step(-1), pictures[0], 0)
        video.seek(frames[-3].seconds)
        with pytest.raises(IndexError):
            video.step(3)
        assert_pixels(video.step(2), pictures[-1], len(pictures) - 1)


def test_a_pipe_is_read_once_in_order(fixture, tmp_path):
    path = fixture("h264_ts_offset.ts")
    fifo = tmp_path / "stream.ts"
    os.mkfifo(fifo)
    writer = subprocess.Popen(["sh", "-c", 'exec cat "$1" > "$2"', "sh", path, str(fifo)])
    try:
        with clipwalk.open(fifo) as video:
            with pytest.raises(clipwalk.CountError):
                len(video)
            frames = [(f.index, f.pts) for f in video]
    finally:
        writer.kill()
        writer.wait()
    assert frames == [(None, pts) for pts in truth(path).pts]
