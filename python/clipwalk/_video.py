"""One opened video: landings by number and by time, steps, batches and iteration."""

import errno
import functools
import math
import numbers
import operator
import os
import re
import threading

import numpy

from . import _clipwalk
from ._clipwalk import BusyError, Error
from ._frame import FORMATS, Frame, Metadata

_MIB = 1 << 20
# The budget reaches the library as an unsigned 64-bit byte count, the size limit as 32 bits.
_MAX_BUDGET_MIB = (1 << 64) // _MIB - 1
_MAX_SIDE = (1 << 31) - 1
# Times this close to a frame's stamp are that stamp: 0.12 is the stamp 10800/90000 s, which
# neither decimal nor binary fractions hit exactly. Far below any time base's tick.
_SAME_TIME = 1e-9
# A URL or an FFmpeg protocol ("https://host/a.mp4", "pipe:0") goes to the library unchecked.
_PROTOCOL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]+:")


class CountError(Error, TypeError):
    """The frames cannot be counted: a pipe, read once, or a stream whose packets carry no
    timestamps. Frame numbers are then unknown (Frame.index is None); seek, step and
    iteration still work. A TypeError too, as for objects without a length, so that
    list(video) reads such a video whole."""


def open(path, max_side=None, budget_mib=256, format="rgb24", count="demux"):
    """Opens a video file (or a URL FFmpeg reads) and returns a Video; use it in a with block.

    max_side    None for frames at the source size; an integer bounds their longer side (the
                other is scaled alike and made even, as the clipwalk tool does)
    budget_mib  memory for the window of decoded frames, in MiB (at least two frames are held)
    format      "rgb24", "rgba" or "gray": the layout of every frame's data
    count       how the frames are counted in the background: "demux" reads the packets, fast
                and exact unless the decoder drops pictures after damage; "decode" decodes the
                whole stream as ffprobe -count_frames does, exact on damaged files too, and
                once it is done every road past the damage decodes it as a plain decode does

    Raises FileNotFoundError for a missing path, OpenError (a clipwalk.Error) for a file that
    is not a video or has no video stream, ValueError for bad arguments.
    """
    return Video(path, max_side=max_side, budget_mib=budget_mib, format=format, count=count)


def _exclusive(method):
    """Runs a method as the only call on its video: another thread's call at the same moment
    raises BusyError instead of waiting, and a closed video raises ValueError."""

    @functools.wraps(method)
    def exclusive(self, *args, **kwargs):
        if not self._lock.acquire(blocking=False):
            raise BusyError("the video is in use by another thread")
        try:
            if self._navigator is None:
                raise ValueError("the video is closed")
            return method(self, *args, **kwargs)
        finally:
            self._lock.release()

    return exclusive


class Video:
    """An opened video stream. See clipwalk.open for the arguments.

    len(video)                  the exact frame count (waits for the background count)
    video[i], video[a:b:c]      frames by number, negative from the end
    video.seek(seconds)         the first frame at or after a time
    video.step(n)               n frames forward, or back for negative n
    video.get_frames_at(numbers), video.get_frames_played_at(times)   batches
    for frame in video          every frame, in order, from the first

    Moving operations return the Frame they land on, which video.frame keeps. One thread at a
    time may use a video; a second one at the same moment gets BusyError.
    """

    def __init__(self, path, max_side=None, budget_mib=256, format="rgb24", count="demux"):
        self._lock = threading.Lock()
        self._navigator = None
        encoded = _checked_path(path)
        self.path = os.fsdecode(encoded)
        if not isinstance(format, str) or format not in FORMATS:
            raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {format!r}")
        self.format = format
        self._pixel_format = FORMATS[format]
        if count not in ("demux", "decode"):
            raise ValueError(f"count must be 'demux' or 'decode', not {count!r}")
        self._navigator = _clipwalk.Navigator.open(encoded, _preview_limit(max_side),
                                                   _budget_bytes(budget_mib))
        # Counting starts now, so that frame numbers are usually known by the time they are
        # asked for; a pipe cannot be read twice and is never counted.
        self._navigator.start_prescan(decode=count == "decode")
        self._metadata = Metadata._from_stream(self.path, self._navigator.stream(),
                                               self._navigator.estimated_frame_count())
        self._tick_seconds = float(self._metadata.time_base)
        self._frame = None  # the current frame once built; None after a batch moved it
        self._frame_count = None
        self._uncountable = None  # why the frames cannot be counted, once found
        self._frame_seconds = None

    # ---- state

    @property
    def metadata(self) -> Metadata:
        if self._navigator is None:
            raise ValueError("the video is closed")
        return self._metadata

    @property
    def closed(self) -> bool:
        return self._navigator is None

    def close(self):
        """Stops the background count and frees the decoder and every held frame. Later calls
        raise ValueError; closing again does nothing."""
        if not self._lock.acquire(blocking=False):
            raise BusyError("the video is in use by another thread")
        try:
            navigator, self._navigator = self._navigator, None
            self._frame = self._frame_seconds = None
            if navigator is not None:
                navigator.close()
        finally:
            self._lock.release()

    def __enter__(self):
        if self._navigator is None:
            raise ValueError("the video is closed")
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __repr__(self):
        state = "closed" if self._navigator is None else f"{self._metadata.codec}"
        return f"<clipwalk.Video {self.path!r} {state}>"

    @property
    @_exclusive
    def last_error(self):
        """The library's last message, or None: a damaged packet or picture that a decode
        skipped and went on (as the tool's "last error" line), or what ended a walk early."""
        return self._navigator.last_error() or None

    # ---- counting

    @_exclusive
    def __len__(self):
        return self._require_count()

    @property
    @_exclusive
    def frame(self):
        """The current frame, None before the first landing."""
        if self._frame is None:
            self._frame = self._current()
        return self._frame

    # ---- landing and stepping

    @_exclusive
    def __getitem__(self, key):
        if isinstance(key, slice):
            return self._batch(range(self._require_count())[key])
        self._navigator.seek_to_frame(_frame_number(key, self._require_count()))
        return self._landed()

    @_exclusive
    def seek(self, seconds):
        """Lands on the first frame at or after `seconds` (counted from the stream's start)
        and returns it: a time between two frames lands on the later one, a time past the
        end on the last frame, a negative time on the first."""
        self._navigator.seek_to_seconds(_seconds(seconds))
        return self._landed()

    @_exclusive
    def step(self, frames=1):
        """Moves `frames` frames forward, or back for a negative number, and returns the frame
        it lands on. Past either end it raises IndexError and the position is unchanged.
        Before the first landing the position is ahead of the first frame: step(1) lands on
        it."""
        frames = _integer(frames, "a step")
        if self._navigator.current_stamp() is None:
            if frames <= 0:
                raise IndexError("no frame before the first one")
            count = self._count()
            if count is not None and frames > count:
                raise IndexError(f"{frames} steps pass the end of {count} frames")
            self._land_on_first()
            frames -= 1
        if frames == 0:
            return self._frame if self._frame is not None else self._landed()
        count = self._count()
        if count is not None:
            target = self._navigator.current_frame_index() + frames
            if not 0 <= target < count:
                raise IndexError(_past_end(frames))
        if not self._navigator.step(frames):
            raise IndexError(_past_end(frames))
        return self._landed()

    def __iter__(self):
        """Every frame in order, from the first; moves the video's position as it goes."""
        frame = self._iteration_start()
        while frame is not None:
            yield frame
            frame = self._iteration_next()

    @_exclusive
    def _iteration_start(self):
        if self._count() == 0:
            return None
        self._land_on_first()
        return self._landed()

    @_exclusive
    def _iteration_next(self):
        if not self._navigator.step(1):
            return None
        return self._landed()

    # ---- batches

    @_exclusive
    def get_frames_at(self, numbers):
        """The frames of a list of frame numbers (negative from the end), in the order asked;
        they are decoded in stream order, each once. IndexError if any is out of range,
        before anything is decoded. The last frame decoded becomes the current one."""
        numbers = _sequence(numbers, "frame numbers")
        if not numbers:
            return []
        count = self._require_count()
        return self._batch([_frame_number(number, count) for number in numbers])

    @_exclusive
    def get_frames_played_at(self, times):
        """The frame on screen at each time (seconds from the stream's start), in the order
        asked: the last frame whose stamp is at or before it (within a nanosecond, so that a
        time written in decimals hits the stamp it names), the first frame for a time before
        that. Where the clock restarts within the stream, the frame before the first one
        stamped after the time."""
        times = [_seconds(t) for t in _sequence(times, "times")]
        if not times:
            return []
        if self._frame_seconds is None:
            self._require_count()
            self._frame_seconds = self._navigator.frame_seconds()
        stamps = self._frame_seconds
        if stamps.size == 0:
            raise IndexError("the video has no frames")
        return self._batch(_frames_played_at(stamps, numpy.asarray(times, dtype=numpy.float64)))

    # ---- internals; the caller holds the lock

    def _count(self):
        """The exact count (waiting for it), or None where the frames cannot be counted."""
        if self._frame_count is None and self._uncountable is None:
            try:
                self._frame_count = self._navigator.frame_count()
            except BusyError:
                raise
            except Error as failure:
                self._uncountable = str(failure)
        return self._frame_count

    def _require_count(self):
        count = self._count()
        if count is None:
            raise CountError(self._uncountable)
        return count

    def _land_on_first(self):
        if self._count() is not None:
            self._navigator.seek_to_frame(0)
        else:
            self._navigator.seek_to_seconds(-1.0)  # negative: the stream's first frame

    def _current(self):
        current = self._navigator.current_frame(self._pixel_format)
        if current is None:
            return None
        stamp, data = current
        index = self._navigator.current_frame_index() if self._count() is not None else None
        return self._make_frame(stamp, index, data)

    def _landed(self):
        self._frame = self._current()
        return self._frame

    def _batch(self, indices):
        self._frame = None
        copies = self._navigator.frames_at_indices(list(indices), self._pixel_format)
        return [self._make_frame(stamp, index, data) for stamp, index, data in copies]

    def _make_frame(self, stamp, index, data):
        return Frame(data=data, pts=stamp.pts, seconds=stamp.seconds,
                     index=index if index is not None and index >= 0 else None,
                     key_frame=stamp.key_frame,
                     duration_seconds=stamp.duration * self._tick_seconds, damaged=stamp.damaged)


def _checked_path(path):
    """The path as bytes for the library; FileNotFoundError for a missing local file."""
    try:
        path = os.fspath(path)
    except TypeError:
        raise ValueError(f"path must be a str, bytes or os.PathLike, not {type(path).__name__}") \
            from None
    text = os.fsdecode(path)
    if "\0" in text:
        raise ValueError("path contains a NUL character")
    if not os.path.exists(text) and not _PROTOCOL.match(text):
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), text)
    return os.fsencode(path)


def _integer(value, what):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise ValueError(f"{what} must be an integer, not {value!r}")
    return operator.index(value)


def _preview_limit(max_side):
    if max_side is None:
        return 0
    side = _integer(max_side, "max_side")
    if not 1 <= side <= _MAX_SIDE:
        raise ValueError(f"max_side must be None or 1 to {_MAX_SIDE}, not {side}")
    return side


def _budget_bytes(budget_mib):
    budget = _integer(budget_mib, "budget_mib")
    if not 0 <= budget <= _MAX_BUDGET_MIB:
        raise ValueError(f"budget_mib must be 0 to {_MAX_BUDGET_MIB}, not {budget}")
    return budget * _MIB


def _seconds(value):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise ValueError(f"a time must be a number of seconds, not {value!r}")
    seconds = float(value)
    if math.isnan(seconds):
        raise ValueError("a time must be a number of seconds, not NaN")
    return seconds


def _sequence(values, what):
    if isinstance(values, (str, bytes)):
        raise ValueError(f"{what} must be a list, not {type(values).__name__}")
    try:
        return list(values)
    except TypeError:
        raise ValueError(f"{what} must be a list, not {type(values).__name__}") from None


def _frame_number(number, count):
    index = _integer(number, "a frame number")
    resolved = index + count if index < 0 else index
    if not 0 <= resolved < count:
        raise IndexError(f"frame {index} is out of range for {count} frames")
    return resolved


def _past_end(frames):
    return f"{abs(frames)} steps {'forward pass the end' if frames > 0 else 'back pass the start'}"


def _frames_played_at(stamps, times):
    """Frame numbers of the frames on screen at `times`, from every frame's time."""
    times = times + _SAME_TIME
    if numpy.all(stamps[1:] >= stamps[:-1]):
        return numpy.maximum(numpy.searchsorted(stamps, times, side="right") - 1, 0).tolist()
    picks = []
    for t in times:
        later = numpy.flatnonzero(stamps > t)
        picks.append(max(int(later[0]) - 1, 0) if later.size else stamps.size - 1)
    return picks
