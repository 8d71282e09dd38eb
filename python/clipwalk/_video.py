"""One opened video: landings by number and by time, steps, batches and iteration."""

import errno
import functools
import logging
import math
import numbers
import operator
import os
import re
import threading
import weakref

import numpy

from . import _clipwalk, _logs
from ._clipwalk import BusyError, Error
from ._frame import FORMATS, Frame, Metadata

_log = logging.getLogger("clipwalk")
_MIB = 1 << 20
# The budget reaches the library as an unsigned 64-bit byte count, the size limit as 32 bits.
_MAX_BUDGET_MIB = (1 << 64) // _MIB - 1
# The default budget: 256 MiB, raised by the library where that holds fewer than 32 frames
# (a second or so to step back through without decoding), to at most an eighth of the memory.
_DEFAULT_BUDGET_MIB = 256
_DEFAULT_HELD_FRAMES = 32
_MAX_SIDE = (1 << 31) - 1
# Times this close to a frame's stamp are that stamp: 0.12 is the stamp 10800/90000 s, which
# neither decimal nor binary fractions hit exactly. Far below any time base's tick.
_SAME_TIME = 1e-9
# A URL or an FFmpeg protocol ("https://host/a.mp4", "pipe:0") goes to the library unchecked.
_PROTOCOL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]+:")


class CountError(Error, TypeError):
    """The frames cannot be counted: a pipe, read once, or a stream whose packets carry no
    timestamps. Frame numbers are then unknown (Frame.index is None); seek, step, iteration
    and get_frames_played_at still work. A TypeError too, as for objects without a length, so
    that list(video) reads such a video whole."""


# What each count setting counts by first; "auto" counts packets until a decoder meets damage.
_COUNTS = ("auto", "demux", "decode")
# Stands for the user's cache folder, found when a video opens.
_CACHE = object()


def open(path, max_side=None, budget_mib=None, format="rgb24", count="auto", *, stream=None,
         threads=None, index_dir=_CACHE):
    """Opens a video file (or a URL FFmpeg reads) and returns a Video; use it in a with block.

    max_side    None for each frame at its decoded size; an integer bounds the longer side of
                every frame (the other side is scaled alike, both made even)
    budget_mib  memory for the window of decoded frames, in MiB (at least two frames are
                held); None: 256 MiB, or where that holds fewer than 32 frames at the size
                asked for, enough for 32, but at most an eighth of the physical memory. A
                number is kept as given (at most half of the physical memory is used)
    format      "rgb24", "bgr24", "rgba" or "gray": the layout of every frame's data
    count       how frames are counted, in the background: "auto" reads the packets, and
                once a decoder meets damage counts again by decoding; "demux" reads the
                packets only: fast, but on a damaged file the decoder may drop pictures the
                packets promise; "decode" decodes the whole stream, as ffprobe -count_frames
                does: exact on damaged files from the start, for the cost of a decode
    stream      the container's stream number (as ffprobe numbers streams); None: the best
                video stream
    threads     the decoder's thread count; None: one a core. On damaged files frame
                threads conceal damage differently with each count: fix it (1 is the
                same on every machine) where pixels must be reproducible
    index_dir   a folder where each file's frame list is saved once counted, so that the
                next open of the same file needs no count; by default the user's cache
                ($XDG_CACHE_HOME/clipwalk, else ~/.cache/clipwalk); None saves nothing

    Raises FileNotFoundError for a missing path, OpenError (a clipwalk.Error) for a file that
    is not a video, has no video stream or no stream `stream`, TypeError and ValueError for
    arguments of the wrong type or value.
    """
    return Video(path, max_side=max_side, budget_mib=budget_mib, format=format, count=count,
                 stream=stream, threads=threads, index_dir=index_dir)


def _exclusive(method):
    """Runs a method as the only call on its video: a call from another thread at the same
    moment waits for it. A closed video raises ValueError; in a process forked from the
    one that opened it, or one that unpickled it, the video opens there first."""

    @functools.wraps(method)
    def exclusive(self, *args, **kwargs):
        with self._lock:
            try:
                self._ready()
                return method(self, *args, **kwargs)
            finally:
                _logs.drain()

    return exclusive


# Videos that may need their lock and navigator replaced in a forked child.
_live_videos = weakref.WeakSet()


def _after_fork_in_child():
    # Another thread of the parent may have held a video's lock at the fork, and the
    # navigator's threads (decoders, the count) did not come along: each video opens again
    # in the child when it is next used.
    for video in list(_live_videos):
        video._forget_parent()


os.register_at_fork(after_in_child=_after_fork_in_child)


class Video:
    """An opened video stream. See clipwalk.open for the arguments.

    len(video)                  the exact frame count (waits for the background count)
    video[i], video[a:b:c]      frames by number, negative from the end
    video.seek(seconds)         the first frame at or after a time
    video.step(n)               n frames forward, or back for negative n
    video.get_frames_at(numbers), video.get_frames_played_at(times)   batches
    for frame in video          every frame, in order, from the first; each iterator keeps
                                its own place

    Moving operations return the Frame they land on, which video.frame keeps. Threads may
    share a video: calls wait for each other. A video pickles as its file, options and
    position, and opens again where it is unpickled; a forked child opens its own.
    """

    def __init__(self, path, max_side=None, budget_mib=None, format="rgb24", count="auto", *,
                 stream=None, threads=None, index_dir=_CACHE):
        self._lock = threading.RLock()
        self._navigator = None
        self._closed = True
        encoded = _checked_path(path)
        self.path = os.fsdecode(encoded)
        if not isinstance(format, str):
            raise TypeError(f"format must be a str, not {type(format).__name__}")
        if format not in FORMATS:
            raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {format!r}")
        self.format = format
        if not isinstance(count, str):
            raise TypeError(f"count must be a str, not {type(count).__name__}")
        if count not in _COUNTS:
            raise ValueError(f"count must be one of {', '.join(map(repr, _COUNTS))}, "
                             f"not {count!r}")
        self._options = {
            "max_side": _max_side(max_side),
            "budget_mib": _budget_mib(budget_mib),
            "format": format,
            "count": count,
            "stream": _optional_integer(stream, "stream", 0),
            "threads": _optional_integer(threads, "threads", 1),
            "index_dir": _index_dir(index_dir),
        }
        self._pixel_format = FORMATS[format]
        self._position = None  # ("index", n) or ("seconds", t) of the current frame
        self._open_here()
        _live_videos.add(self)

    # ---- opening, pickling and forking

    def _open_here(self):
        """Opens the navigator in this process and starts counting; the position, if any,
        is landed on when next needed."""
        options = self._options
        preview_limit = options["max_side"] or 0
        budget_mib = options["budget_mib"]
        default_budget = budget_mib is None
        navigator = _clipwalk.Navigator.open(
            os.fsencode(self.path), preview_limit,
            (_DEFAULT_BUDGET_MIB if default_budget else budget_mib) * _MIB,
            -1 if options["stream"] is None else options["stream"], options["threads"] or 0,
            options["index_dir"] or "",
            min_held_frames=_DEFAULT_HELD_FRAMES if default_budget else 0)
        self._navigator = navigator
        self._closed = False
        self._pid = os.getpid()
        self._moves = 0  # landings so far: an iterator whose last one was not its own re-lands
        # Counting starts now, so that frame numbers are usually known by the time they are
        # asked for; a pipe cannot be read twice and is never counted.
        self._decoding_count = options["count"] == "decode"
        navigator.start_prescan(decode=self._decoding_count)
        self._metadata = Metadata._from_stream(self.path, navigator.stream(),
                                               navigator.estimated_frame_count())
        self._tick_seconds = float(self._metadata.time_base)
        self._frame = None  # the current frame once built; None after a batch moved it
        self._frame_count = None
        self._uncountable = None  # why the frames cannot be counted, once found
        self._frame_seconds = None
        self._restore = self._position is not None

    def _ready(self):
        if self._closed:
            raise ValueError("the video is closed")
        if self._navigator is None or self._pid != os.getpid():
            self._forget_parent()
            self._open_here()
        if self._restore:
            self._restore = False
            kind, value = self._position
            if kind == "index" and self._count() is not None and value < self._frame_count:
                self._navigator.seek_to_frame(value)
            else:
                self._navigator.seek_to_seconds(value if kind == "seconds" else -1.0)
            self._landed()

    def _forget_parent(self):
        """In a forked child: the navigator belongs to the parent's threads, and is neither
        used nor freed here. The next call opens the file again."""
        self._lock = threading.RLock()
        navigator, self._navigator = self._navigator, None
        if navigator is not None and getattr(self, "_pid", None) != os.getpid():
            navigator.abandon()
            _abandoned.append(navigator)
        self._restore = self._position is not None

    def __getstate__(self):
        if self._closed:
            raise TypeError("a closed video cannot be pickled")
        return {"path": self.path, "options": self._options, "position": self._position}

    def __setstate__(self, state):
        self._lock = threading.RLock()
        self.path = state["path"]
        self._options = dict(state["options"])
        self.format = self._options["format"]
        self._pixel_format = FORMATS[self.format]
        self._position = state["position"]
        self._navigator = None  # opened on first use, in this process
        self._closed = False
        self._pid = None
        self._restore = self._position is not None
        _live_videos.add(self)

    # ---- state

    @property
    @_exclusive
    def metadata(self) -> Metadata:
        return self._metadata

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self):
        """Stops the background count and frees the decoder and every held frame; waits for
        a call of another thread to end first. Later calls raise ValueError; closing again
        does nothing."""
        with self._lock:
            navigator, self._navigator = self._navigator, None
            self._closed = True
            self._frame = self._frame_seconds = None
            if navigator is not None:
                if self._pid == os.getpid():
                    navigator.close()
                else:
                    navigator.abandon()
                    _abandoned.append(navigator)
            _logs.drain()

    def __enter__(self):
        if self._closed:
            raise ValueError("the video is closed")
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __repr__(self):
        state = "closed" if self._closed else self._options["format"]
        return f"<clipwalk.Video {self.path!r} {state}>"

    @property
    @_exclusive
    def last_error(self):
        """The library's last message, or None: a damaged packet or picture that a decode
        skipped and went on, or what ended a walk early."""
        return self._navigator.last_error() or None

    @property
    @_exclusive
    def index_loaded(self):
        """The exact count was read from index_dir: no count ran for it in this process."""
        self._count()
        return self._navigator.count_from_saved_index()

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

    def __contains__(self, item):
        raise TypeError("'in' is not defined for a video: frame numbers run from 0 to "
                        "len(video) - 1")

    # ---- landing and stepping

    @_exclusive
    def __getitem__(self, key):
        if isinstance(key, slice):
            return self._counted(lambda: self._batch(range(self._require_count())[key]))
        number = _integer(key, "a frame number")

        def land():
            self._navigator.seek_to_frame(_frame_number(number, self._require_count()))
            return self._landed()

        return self._counted(land)

    @_exclusive
    def seek(self, seconds):
        """Lands on the first frame at or after a time, in seconds from the stream's start
        (Frame.seconds), and returns it. The time is first rounded to the nearest tick of the
        stream's time base: on a 1/25 s time base seek(0.37) lands on the frame at 0.36 s
        (get_frames_played_at answers which frame is on screen at a time). A time past the
        last frame lands on the last frame; a time at or before the first frame on the first,
        and negative times reach frames stamped before the stream's start."""
        seconds = _seconds(seconds)

        def land():
            if seconds < 0 and self._count() is not None:
                self._navigator.seek_to_frame(self._first_at_or_after(seconds))
            else:
                self._navigator.seek_to_seconds(seconds)
            return self._landed()

        return self._counted(land)

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
                raise IndexError(f"{frames} steps go past the end of {count} frames")
            self._land_on_first()
            frames -= 1
        if frames == 0:
            return self._frame if self._frame is not None else self._landed()
        count = self._count()
        target = None
        if count is not None:
            target = self._navigator.current_frame_index() + frames
            if not 0 <= target < count:
                raise IndexError(_past_end(frames))
        if not self._navigator.step(frames):
            raise IndexError(_past_end(frames))
        return self._counted(self._landed, expected=target)

    def __iter__(self):
        """Every frame in order, from the first. Each iterator keeps its own place: where the
        video has moved since its last frame (a seek, another iterator), it lands there
        again."""
        return _Frames(self)

    @_exclusive
    def _next_for(self, frames):
        """The frame after the last one `frames` gave, or None at the end."""
        if frames.last is None:
            if self._count() == 0:
                return None
            self._land_on_first()
            frame = self._counted(self._landed)
        elif frames.moves == self._moves:  # the video stands where this iterator left it
            if not self._navigator.step(1):
                return None
            expected = frames.last.index + 1 if frames.last.index is not None else None
            frame = self._counted(self._landed, expected=expected)
        else:
            frame = self._land_after(frames.last)
        frames.moves = self._moves
        return frame

    def _land_after(self, last):
        count = self._count()
        if count is not None and last.index is not None:
            if last.index + 1 >= count:
                return None
            self._navigator.seek_to_frame(last.index + 1)
            return self._counted(self._landed)
        # No frame numbers: the last frame is found again by its time.
        self._navigator.seek_to_seconds(last.seconds)
        if not self._navigator.step(1):
            return None
        return self._landed()

    # ---- batches

    @_exclusive
    def get_frames_at(self, numbers):
        """The frames of a list of frame numbers (negative from the end), in the order asked;
        they are decoded in stream order, each once. IndexError if any is out of range,
        before anything is decoded. The last frame decoded becomes the current one."""
        numbers = [_integer(number, "a frame number")
                   for number in _sequence(numbers, "frame numbers")]
        if not numbers:
            return []

        def read():
            count = self._require_count()
            return self._batch([_frame_number(number, count) for number in numbers])

        return self._counted(read)

    @_exclusive
    def get_frames_played_at(self, times):
        """The frame on screen at each time (seconds from the stream's start), in the order
        asked: the last frame whose stamp is at or before it (within a nanosecond, so that a
        time written in decimals hits the stamp it names), the first frame for a time before
        that. Where the clock restarts within the stream, the frame before the first one
        stamped after the time. Where the frames cannot be counted, each time is found by a
        seek and the frames have no index."""
        times = [_seconds(t) for t in _sequence(times, "times")]
        if not times:
            return []
        if self._count() is None:
            return [self._played_at_by_seeking(t) for t in times]

        def read():
            stamps = self._all_seconds()
            if stamps.size == 0:
                raise IndexError("the video has no frames")
            return self._batch(_frames_played_at(stamps,
                                                 numpy.asarray(times, dtype=numpy.float64)))

        return self._counted(read)

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

    def _all_seconds(self):
        if self._frame_seconds is None:
            self._require_count()
            self._frame_seconds = self._navigator.frame_seconds()
        return self._frame_seconds

    def _counted(self, action, expected=None):
        """Runs a landing or a batch. Under count="auto", where the packets' count proves
        wrong on the way, frames are counted by decoding and the action runs again with
        numbers from that count: a decoder met damage, a step landed elsewhere than the
        packets said (the decoder dropped a picture before it logged the damage), or a
        frame the packets promised could not be found."""
        auto = self._options["count"] == "auto" and not self._decoding_count
        try:
            result = action()
        except Error:
            if not auto or not self._navigator.met_damage():
                raise
            result = None
        if not auto:
            return result
        strayed = expected is not None and result is not None and result.index != expected
        if result is not None and not strayed and not self._navigator.met_damage():
            return result
        _log.info("%s: the decoder shows other frames than the packets promise; counting "
                  "them by decoding", self.path)
        self._decoding_count = True
        self._navigator.start_prescan(decode=True)
        self._frame_count = self._uncountable = self._frame_seconds = None
        return action()

    def _first_at_or_after(self, seconds):
        """The first frame, in frame order, stamped at or after a time rounded to a tick."""
        stamps = self._all_seconds()
        if stamps.size == 0:
            raise IndexError("the video has no frames")
        tick = self._tick_seconds
        rounded = round(seconds / tick) * tick if tick > 0 else seconds
        later = numpy.flatnonzero(stamps >= rounded - _SAME_TIME)
        return int(later[0]) if later.size else stamps.size - 1

    def _played_at_by_seeking(self, seconds):
        """The frame on screen at a time without a frame list: the seek's landing, or the
        frame before it where that one starts later."""
        self._navigator.seek_to_seconds(seconds)
        frame = self._landed()
        if frame.seconds > seconds + _SAME_TIME and self._navigator.step(-1):
            frame = self._landed()
        return frame

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
        self._moves += 1
        self._frame = self._current()
        if self._frame is not None:
            index = self._frame.index
            self._position = ("index", index) if index is not None else \
                ("seconds", self._frame.seconds)
        return self._frame

    def _batch(self, indices):
        self._moves += 1
        self._frame = None
        indices = list(indices)
        copies = self._navigator.frames_at_indices(indices, self._pixel_format)
        if indices:
            self._position = ("index", max(indices))
        return [self._make_frame(stamp, index, data) for stamp, index, data in copies]

    def _make_frame(self, stamp, index, data):
        return Frame(data=data, pts=stamp.pts, seconds=stamp.seconds,
                     index=index if index is not None and index >= 0 else None,
                     key_frame=stamp.key_frame,
                     duration_seconds=stamp.duration * self._tick_seconds, damaged=stamp.damaged)


class _Frames:
    """An iterator over a video's frames with a place of its own."""

    def __init__(self, video):
        self._video = video
        self.last = None  # the frame it gave last
        self.moves = None  # the video's landings count after it
        self._done = False

    def __iter__(self):
        return self

    def __next__(self):
        if self._done:
            raise StopIteration
        frame = self._video._next_for(self)
        if frame is None:
            self._done = True
            raise StopIteration
        self.last = frame
        return frame


# Navigators left behind by a fork: their threads are the parent's, so they are never freed.
_abandoned = []


def _checked_path(path):
    """The path as bytes for the library; FileNotFoundError for a missing local file."""
    try:
        path = os.fspath(path)
    except TypeError:
        raise TypeError(f"path must be a str, bytes or os.PathLike, not {type(path).__name__}") \
            from None
    text = os.fsdecode(path)
    if "\0" in text:
        raise ValueError("path contains a NUL character")
    if not os.path.exists(text) and not _PROTOCOL.match(text):
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), text)
    return os.fsencode(path)


def _integer(value, what):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}")
    return operator.index(value)


def _optional_integer(value, what, least):
    if value is None:
        return None
    number = _integer(value, what)
    if not least <= number <= _MAX_SIDE:
        raise ValueError(f"{what} must be None or {least} to {_MAX_SIDE}, not {number}")
    return number


def _max_side(max_side):
    # 2 is the least: sides are made even.
    return _optional_integer(max_side, "max_side", 2)


def _budget_mib(budget_mib):
    if budget_mib is None:
        return None
    budget = _integer(budget_mib, "budget_mib")
    if not 0 <= budget <= _MAX_BUDGET_MIB:
        raise ValueError(f"budget_mib must be 0 to {_MAX_BUDGET_MIB}, not {budget}")
    return budget


def _index_dir(index_dir):
    if index_dir is None:
        return None
    if index_dir is _CACHE:
        cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"),
                                                                 ".cache")
        return os.path.join(cache, "clipwalk")
    try:
        return os.fsdecode(os.fspath(index_dir))
    except TypeError:
        raise TypeError(f"index_dir must be None, a str or os.PathLike, not "
                        f"{type(index_dir).__name__}") from None


def _seconds(value):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"a time must be a number of seconds, not {type(value).__name__}")
    seconds = float(value)
    if math.isnan(seconds):
        raise ValueError("a time must be a number of seconds, not NaN")
    return seconds


def _sequence(values, what):
    if isinstance(values, (str, bytes)):
        raise TypeError(f"{what} must be a list, not {type(values).__name__}")
    try:
        return list(values)
    except TypeError:
        raise TypeError(f"{what} must be a list, not {type(values).__name__}") from None


def _frame_number(number, count):
    index = number
    resolved = index + count if index < 0 else index
    if not 0 <= resolved < count:
        raise IndexError(f"frame {index} is out of range for {count} frames")
    return resolved


def _past_end(frames):
    way = "forward go past the end" if frames > 0 else "back go past the start"
    return f"{abs(frames)} steps {way}"


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
