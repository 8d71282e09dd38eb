"""The records a video hands out: its metadata and its frames."""

from dataclasses import dataclass
from fractions import Fraction
from . import _clipwalk

# Pixel layouts a video delivers, by the name callers give.
FORMATS = {
    "rgb24": _clipwalk.PixelFormat.RGB24,
    "bgr24": _clipwalk.PixelFormat.BGR24,
    "rgba": _clipwalk.PixelFormat.RGBA,
    "gray": _clipwalk.PixelFormat.GRAY8,
}


@dataclass(frozen=True)
class Metadata:
    """What opening the video learnt of its stream; fixed for the video's life.

    stream_index         the video stream's number in the container (as ffprobe numbers it)
    codec, pixel_format  the decoder's names, such as "h264" and "yuv420p"
    width, height        the decoded pictures' size, as the stream opens
    frame_width, frame_height  the size frames of that size are delivered at (see max_side)
    fps                  the container's or a guessed frame rate; 25 when none is known
    frame_rate           the same as a Fraction, such as 30000/1001; None when none is known
    duration_seconds     the container's duration, 0 when it does not say
    time_base            one timestamp tick, in seconds
    start_pts            the stream's start stamp; Frame.seconds count from it
    start_seconds        the stream's start on the file's timeline, in seconds: a frame's
                         time there (ffprobe's pts_time) is start_seconds + Frame.seconds
    container_start_seconds  where the file's timeline starts (the container's start time)
    sample_aspect_ratio  a sample's width over its height (a Fraction); None when unknown
    rotation             degrees a player turns the pictures, counter-clockwise (ffprobe's
                         "rotation"); 0 when the stream says nothing. Frames are not turned
    frames_estimated     the frame count the container states or the rate suggests, 0 when
                         it cannot be told; len() gives the exact one
    frames_declared      what the container states, 0 when it does not
    """

    path: str
    stream_index: int
    codec: str
    pixel_format: str
    width: int
    height: int
    frame_width: int
    frame_height: int
    fps: float
    duration_seconds: float
    time_base: Fraction
    start_pts: int
    frames_estimated: int
    frames_declared: int
    frame_rate: object = None
    start_seconds: float = 0.0
    container_start_seconds: float = 0.0
    sample_aspect_ratio: object = None
    rotation: float = 0.0

    @classmethod
    def _from_stream(cls, path, info, frames_estimated):
        return cls(
            path=path,
            stream_index=info.stream_index,
            codec=info.codec_name,
            pixel_format=info.pixel_format_name,
            width=info.source_width,
            height=info.source_height,
            frame_width=info.preview_width,
            frame_height=info.preview_height,
            fps=info.frames_per_second,
            duration_seconds=info.duration_seconds,
            time_base=Fraction(info.time_base_num, max(info.time_base_den, 1)),
            start_pts=info.start_pts,
            frames_estimated=frames_estimated,
            frames_declared=info.container_frame_count,
            frame_rate=Fraction(info.frame_rate_num, info.frame_rate_den)
            if info.frame_rate_num > 0 else None,
            start_seconds=float(info.start_pts * Fraction(info.time_base_num,
                                                          max(info.time_base_den, 1))),
            container_start_seconds=info.container_start_seconds,
            sample_aspect_ratio=Fraction(info.sample_aspect_num, info.sample_aspect_den)
            if info.sample_aspect_num > 0 else None,
            rotation=info.rotation_degrees,
        )


class Frame:
    """One frame, owned: its data stays valid whatever the video does next.

    data              numpy.ndarray of uint8: (height, width, 3) for "rgb24" and "bgr24",
                      (height, width, 4) for "rgba", (height, width) for "gray"
    pts               the stamp, in time_base ticks
    seconds           the stamp in seconds, counted from the stream's start_pts
    index             the frame number, None where the frames cannot be counted
    key_frame         the decoder marked the picture a keyframe
    duration_seconds  time until the next frame, by the stream or its rate
    damaged           the decoder flagged the picture as concealed or corrupt
    """

    __slots__ = ("data", "pts", "seconds", "index", "key_frame", "duration_seconds", "damaged")

    def __init__(self, data, pts, seconds, index, key_frame, duration_seconds, damaged):
        self.data = data
        self.pts = pts
        self.seconds = seconds
        self.index = index
        self.key_frame = key_frame
        self.duration_seconds = duration_seconds
        self.damaged = damaged

    def __reduce__(self):
        # Frames travel between processes (Dask workers, data loaders): the fields as they
        # are, at any pickle protocol (slots alone need protocol 2).
        return (Frame, (self.data, self.pts, self.seconds, self.index, self.key_frame,
                        self.duration_seconds, self.damaged))

    @property
    def width(self) -> int:
        return self.data.shape[1]

    @property
    def height(self) -> int:
        return self.data.shape[0]

    def __array__(self, dtype=None, copy=None):
        return self.data if dtype is None else self.data.astype(dtype)

    def __repr__(self):
        return (f"<clipwalk.Frame index={self.index} pts={self.pts} t={self.seconds:.6f} "
                f"{self.width}x{self.height}{' key' if self.key_frame else ''}>")
