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

from ._clipwalk import BusyError, Error, OpenError
from ._frame import FORMATS, Frame, Metadata
from ._video import CountError, Video, open

__all__ = ["open", "Video", "Frame", "Metadata", "Error", "OpenError", "BusyError", "CountError",
           "FORMATS"]

# The compiled module defines the errors; they are documented and shown as this package's.
Error.__module__ = OpenError.__module__ = BusyError.__module__ = CountError.__module__ = __name__
Error.__doc__ = "A failure of the video library: open, seek, decode or count."
OpenError.__doc__ = "The file could not be opened as a video (the tool's 'open failed' message)."
BusyError.__doc__ = "Another thread is using the same video; one thread at a time may."
