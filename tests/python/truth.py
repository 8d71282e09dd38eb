"""Ground truth from the FFmpeg tools alone: ffprobe's stream facts and frame list, and the
pictures of ffmpeg's plain decode."""

import functools
import json
import subprocess
from fractions import Fraction

import numpy

CHANNELS = {"rgb24": 3, "bgr24": 3, "rgba": 4, "gray": 1}


def _run(command):
    return subprocess.run(command, check=True, capture_output=True).stdout


class Truth:
    """What a plain decode of a file's first video stream shows, in the order it shows it."""

    def __init__(self, path):
        self.path = str(path)
        probe = json.loads(_run([
            "ffprobe", "-v", "error", "-select_streams", "v:0", "-count_frames", "-show_entries",
            "stream=codec_name,pix_fmt,width,height,time_base,start_pts,nb_read_frames"
            ":frame=best_effort_timestamp,key_frame", "-of", "json", self.path]))
        stream = probe["streams"][0]
        self.codec = stream["codec_name"]
        self.pixel_format = stream["pix_fmt"]
        self.width, self.height = stream["width"], stream["height"]
        self.time_base = Fraction(stream["time_base"])
        self.start_pts = int(stream.get("start_pts", 0))
        self.count = int(stream["nb_read_frames"])
        frames = probe["frames"]
        self.timed = all("best_effort_timestamp" in frame for frame in frames)
        self.pts = [int(frame.get("best_effort_timestamp", -1)) for frame in frames]
        self.key_frames = [frame["key_frame"] == 1 for frame in frames]
        self.seconds = [float((pts - self.start_pts) * self.time_base) for pts in self.pts]

    def landing(self, seconds):
        """The frame a seek lands on: the first at or after the time, else the last."""
        return next((i for i, s in enumerate(self.seconds) if s >= seconds), self.count - 1)

    def played_at(self, seconds):
        """The frame on screen: the last one stamped at or before the time, else the first."""
        return max([i for i, s in enumerate(self.seconds) if s <= seconds], default=0)

    def first_played_at(self, seconds):
        """The frame on screen when playback from the start first reaches the time, where the
        clock restarts: the one before the first frame stamped after it, else the last."""
        later = next((i for i, s in enumerate(self.seconds) if s > seconds), self.count)
        return max(later - 1, 0)


@functools.lru_cache(maxsize=8)
def truth(path):
    return Truth(path)


@functools.lru_cache(maxsize=6)
def decoded(path, pixel_format="rgb24", size=None, first=None):
    """The pictures of ffmpeg's plain decode (all, or the first `first`) as one
    (frames, height, width[, channels]) array, converted by libswscale's bilinear scaler as
    clipwalk converts. With a size (width, height), scaled first in the stream's own pixel
    format, as clipwalk holds frames, then converted."""
    t = truth(path)
    command = ["ffmpeg", "-v", "error", "-nostdin", "-i", str(path), "-map", "0:v:0",
               "-fps_mode", "passthrough", "-sws_flags", "bilinear"]
    if size is not None:
        command += ["-vf", f"scale={size[0]}:{size[1]}:flags=bilinear,format={t.pixel_format}"]
    if first is not None:
        command += ["-frames:v", str(first)]
    command += ["-f", "rawvideo", "-pix_fmt", pixel_format, "-"]
    raw = numpy.frombuffer(_run(command), dtype=numpy.uint8)
    width, height = size if size is not None else (t.width, t.height)
    shape = (-1, height, width) + ((CHANNELS[pixel_format],) if pixel_format != "gray" else ())
    return raw.reshape(shape)
