"""A landing is a function of the file, the target and the budget: after any history of
seeks, numbers, batches and steps, a landing gives the frame (number, stamp and pixels) that
a freshly opened video gives for the same question.

Fixed seeds here; CLIPWALK_HISTORY_SEQUENCES=N runs N sequences for each file and budget
(scripts/history.sh)."""

import os
import random

import numpy
import pytest

import clipwalk

# Joined recordings (a clock that starts again), broken slice headers, open-GOP HEVC in TS,
# variable rate, an edit-list cut, B-frames, and untimed frames before the first stamp.
FILES = {"ts_joined.ts": "demux", "ts_damaged_order.ts": "decode",
         "hevc_opengop.ts": "demux", "vfr.mkv": "demux", "editlist.mp4": "demux",
         "h264_bframes_aac.mp4": "demux", "mkv_untimed_start.mkv": "demux"}
SEQUENCES = int(os.environ.get("CLIPWALK_HISTORY_SEQUENCES", "8"))


def open_video(path, count, budget_mib):
    # One decoder thread: concealed pictures are then the same in every decode.
    return clipwalk.open(path, count=count, budget_mib=budget_mib, threads=1, index_dir=None)


def answer(frame):
    return (frame.index, frame.pts, frame.data.tobytes())


def random_call(rng, count, duration):
    kind = rng.choice(["seek", "number", "batch", "step", "played"])
    if kind == "seek":
        return kind, rng.uniform(-1.0, duration + 1.0)
    if kind == "number":
        return kind, rng.randrange(count)
    if kind == "batch":
        return kind, tuple(sorted(rng.sample(range(count), min(count, rng.randint(1, 4)))))
    if kind == "played":
        return kind, rng.uniform(-0.5, duration + 0.5)
    return kind, rng.choice([-30, -9, -2, -1, 1, 2, 9, 30])


def call(video, kind, value):
    """The frame a call lands on, or None where it raises at an end of the stream."""
    try:
        if kind == "seek":
            return video.seek(value)
        if kind == "number":
            return video[value]
        if kind == "batch":
            return video.get_frames_at(list(value))[-1]
        if kind == "played":
            return video.get_frames_played_at([value])[0]
        return video.step(value)
    except IndexError:
        return None


@pytest.mark.parametrize("budget_mib", [0, 1, 256])
@pytest.mark.parametrize("name", FILES)
def test_a_landing_after_any_history_is_a_fresh_videos(fixture, name, budget_mib):
    path, count_by = fixture(name), FILES[name]
    fresh_answers = {}

    def fresh(kind, value):
        if (kind, value) not in fresh_answers:
            with open_video(path, count_by, budget_mib) as video:
                frame = call(video, kind, value)
                fresh_answers[kind, value] = answer(frame) if frame is not None else None
        return fresh_answers[kind, value]

    with open_video(path, count_by, budget_mib) as video:
        count, duration = len(video), video.metadata.duration_seconds or 10.0
    rng = random.Random(f"{name}/{budget_mib}")
    for sequence in range(SEQUENCES):
        history = [random_call(rng, count, duration) for _ in range(rng.randint(1, 5))]
        kind, value = random_call(rng, count, duration)
        with open_video(path, count_by, budget_mib) as video:
            before = None
            for step in history:
                before = call(video, *step) or before
            if kind == "step":
                # A step is asked of a fresh video as the number it lands on.
                start = video.frame.index if video.frame is not None else None
                landed = call(video, kind, value)
                if landed is None or start is None:
                    continue
                kind, value = "number", start + value
            else:
                landed = call(video, kind, value)
        expected = fresh(kind, value)
        got = answer(landed) if landed is not None else None
        if got != expected:
            differs = "pixels" if got and expected and got[:2] == expected[:2] else \
                f"frame {got[:2] if got else None}, fresh {expected[:2] if expected else None}"
            pytest.fail(f"sequence {sequence}: {history} then {kind} {value}: {differs}")
