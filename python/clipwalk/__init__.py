"""Exact video frames by number and by time, steps in both directions and batches, as numpy
arrays.

    import clipwalk

    with clipwalk.open("clip.mp4") as video:
        print(video.metadata, len(video))
        frame = video.seek(4.2)        # the first frame at or after 4.2 s
        back = video.step(-3)          # three frames before it, exactly
        frames = video.get_frames_at([30, 0, -1])
        image = frame.data             # numpy uint8, (height, width, 3)

The frames of a video are the pictures a plain decode of its best video stream from its first
packet shows, in that order, with those timestamps; frame numbers count them from 0. FFmpeg
reads the file: any container and codec it reads are accepted.
"""

import logging

from . import _logs
from ._clipwalk import BusyError, Error, OpenError, __version__
from ._frame import FORMATS, Frame, Metadata
from ._video import CountError, Video, open

__all__ = ["open", "Video", "Frame", "Metadata", "Error", "OpenError", "BusyError", "CountError",
           "FORMATS", "__version__"]

# FFmpeg's lines go to the "clipwalk.ffmpeg" logger; unless the application says otherwise,
# only errors are shown (logging.getLogger("clipwalk").setLevel(logging.WARNING) shows more,
# logging.CRITICAL fewer).
if logging.getLogger(__name__).level == logging.NOTSET:
    logging.getLogger(__name__).setLevel(logging.ERROR)
_logs.start()

# The compiled module defines the errors; they are documented and shown as this package's.
Error.__module__ = OpenError.__module__ = BusyError.__module__ = CountError.__module__ = __name__
Error.__doc__ = "A failure of the video library: open, seek, decode or count."
OpenError.__doc__ = ("The file could not be opened as a video: it is not one, has no video "
                     "stream, or no stream of the number asked for.")
BusyError.__doc__ = ("Kept for callers that caught it: calls from several threads now wait for "
                     "each other instead.")
