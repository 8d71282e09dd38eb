#!/usr/bin/env python3
"""One measured process of bench/python_run.sh: reads frames from the 1080p clip one way,
as numpy RGB arrays at the source size, and exits.

usage: python_workload.py WORKLOAD READER CLIP NUMBERS_FILE [--check OUT.npz]
  batch   the frame numbers of NUMBERS_FILE (one line, in the order given)
          clipwalk: one get_frames_at call
          pyav:     for each, a seek to the keyframe before it and a decode up to it
          opencv:   for each, CAP_PROP_POS_FRAMES and read()
  steps   land on the first number of NUMBERS_FILE, then as many single steps back as its
          second number says (300 without one)
          clipwalk: video.step(-1) from Python, at the default budget and source size
          pyav:     for each, a seek to the keyframe before it and a decode up to it
  --check keep, for bench/python_check.py, what each returned frame is: the number asked,
          its stamp where the reader tells it, and a thumbnail (not in measured runs, which
          drop every frame once it is read)

PyAV and OpenCV are the references users compare against; they are used as their own
documentation shows, with their default settings.
"""

import sys

import numpy

STEPS_BACK = 300


def steps_back(numbers):
    return numbers[1] if len(numbers) > 1 else STEPS_BACK


def thumbnail(rgb):
    """Means of the channel mean over 8x8 blocks (single pixels below 1280 wide): alike for
    two converters of the same picture, while two neighbouring pictures of the clip differ."""
    block = 8 if rgb.shape[1] >= 1280 else 1
    height, width = rgb.shape[0] // block * block, rgb.shape[1] // block * block
    gray = rgb[:height, :width].astype(numpy.float32).mean(axis=2)
    return gray.reshape(height // block, block, width // block, block).mean(axis=(1, 3))


# Each reader yields (stamp or None, RGB array) for every frame it returns, and keeps none.

def clipwalk_batch(clip, numbers):
    import clipwalk
    with clipwalk.open(clip) as video:
        for frame in video.get_frames_at(numbers):
            yield frame.pts, frame.data


def clipwalk_steps(clip, numbers):
    import clipwalk
    with clipwalk.open(clip) as video:
        frame = video[numbers[0]]
        yield frame.pts, frame.data
        for _ in range(steps_back(numbers)):
            frame = video.step(-1)
            yield frame.pts, frame.data


class PyAvSeeker:
    """Frame n as PyAV users find it: the stamp n frames after the start by the frame rate,
    a seek to the keyframe at or before it, and a decode up to it."""

    def __init__(self, clip):
        import av
        self.container = av.open(clip)
        self.stream = self.container.streams.video[0]
        self.start = self.stream.start_time or 0
        self.ticks_per_frame = 1 / (self.stream.average_rate * self.stream.time_base)

    def frame(self, number):
        target = self.start + round(number * self.ticks_per_frame)
        self.container.seek(target, stream=self.stream, backward=True)
        for frame in self.container.decode(self.stream):
            if frame.pts is not None and frame.pts >= target:
                return frame.pts, frame.to_ndarray(format="rgb24")
        return None, None


def pyav_batch(clip, numbers):
    seeker = PyAvSeeker(clip)
    for number in numbers:
        yield seeker.frame(number)


def pyav_steps(clip, numbers):
    seeker = PyAvSeeker(clip)
    for back in range(steps_back(numbers) + 1):
        yield seeker.frame(numbers[0] - back)


def opencv_batch(clip, numbers):
    import cv2
    capture = cv2.VideoCapture(clip)
    for number in numbers:
        capture.set(cv2.CAP_PROP_POS_FRAMES, number)
        ok, bgr = capture.read()
        yield None, bgr[:, :, ::-1] if ok else None  # RGB, as the others deliver


WORKLOADS = {
    ("batch", "clipwalk"): clipwalk_batch,
    ("batch", "pyav"): pyav_batch,
    ("batch", "opencv"): opencv_batch,
    ("steps", "clipwalk"): clipwalk_steps,
    ("steps", "pyav"): pyav_steps,
}


def main(argv):
    if len(argv) not in (5, 7) or (argv[1], argv[2]) not in WORKLOADS:
        sys.exit(__doc__)
    workload, reader, clip, numbers_file = argv[1:5]
    with open(numbers_file) as handle:
        numbers = [int(word) for word in handle.read().split()]
    check = len(argv) == 7 and argv[5] == "--check"
    stamps, thumbnails = [], []
    for pts, data in WORKLOADS[workload, reader](clip, numbers):
        if check:
            stamps.append(-1 if pts is None else pts)
            thumbnails.append(None if data is None else thumbnail(data))
    if check:
        asked = (numbers if workload == "batch"
                 else [numbers[0] - k for k in range(steps_back(numbers) + 1)])
        shape = next(t.shape for t in thumbnails if t is not None)
        numpy.savez(argv[6], asked=numpy.array(asked), pts=numpy.array(stamps),
                    missing=numpy.array([t is None for t in thumbnails]),
                    thumbnails=numpy.stack([numpy.zeros(shape, numpy.float32) if t is None else t
                                            for t in thumbnails]))


if __name__ == "__main__":
    main(sys.argv)
