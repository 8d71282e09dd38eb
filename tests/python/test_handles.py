"""Videos that travel: pickled, used in forked and spawned worker processes, and a frame list
saved once and loaded by the next open."""

import multiprocessing
import os
import pickle
import shutil

import numpy
import pytest

import clipwalk
from truth import decoded, truth

CLEAN = "h264_bframes_aac.mp4"


def test_a_video_pickles_as_its_file_options_and_position(fixture):
    path = fixture(CLEAN)
    with clipwalk.open(path, max_side=160, format="gray", count="decode") as video:
        video[37]
        copy = pickle.loads(pickle.dumps(video))
    try:
        assert copy.frame.index == 37  # lands where the original stood, when first used
        assert copy.format == "gray" and copy.metadata.frame_width == 160
        assert copy.step(1).pts == truth(path).pts[38]
    finally:
        copy.close()
    with pytest.raises(TypeError):
        pickle.dumps(video)  # closed


def read_frames(video, numbers, results):
    results.put((os.getpid(), [(f.index, f.pts, f.data.tobytes()) for f in
                               (video[n] for n in numbers)]))


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_worker_processes_read_the_frames_of_the_parent(fixture, method):
    path = fixture(CLEAN)
    t = truth(path)
    context = multiprocessing.get_context(method)
    with clipwalk.open(path) as video:
        video[20]  # its decoder threads and counting worker run in the parent
        results = context.Queue()
        # Forked, a worker uses the parent's video as it stood; spawned, a pickled copy.
        workers = [context.Process(target=read_frames, args=(video, numbers, results))
                   for numbers in ([5, 90, 6], [140, 3])]
        for worker in workers:
            worker.start()
        got = dict(results.get(timeout=120) for _ in workers)
        for worker in workers:
            worker.join(timeout=60)
        assert all(worker.exitcode == 0 for worker in workers)
        assert video.step(1).index == 21  # the parent's video still serves
    pictures = decoded(path)
    frames = [frame for worker_frames in got.values() for frame in worker_frames]
    assert sorted(index for index, _, _ in frames) == [3, 5, 6, 90, 140]
    for index, pts, data in frames:
        assert pts == t.pts[index]
        assert numpy.array_equal(numpy.frombuffer(data, numpy.uint8), pictures[index].ravel())


def test_a_saved_frame_list_serves_the_next_open(fixture, tmp_path):
    path = str(tmp_path / "clip.mp4")
    shutil.copyfile(fixture(CLEAN), path)
    index_dir = tmp_path / "index"
    with clipwalk.open(path, index_dir=index_dir) as video:
        assert len(video) == truth(path).count and not video.index_loaded
    with clipwalk.open(path, index_dir=index_dir) as video:
        assert video.index_loaded and len(video) == truth(path).count
        assert video[77].pts == truth(path).pts[77]
    # Rewritten in place with other frames: counted again.
    shutil.copyfile(fixture("vfr.mkv"), path)
    with clipwalk.open(path, index_dir=index_dir) as video:
        assert not video.index_loaded and len(video) == truth(fixture("vfr.mkv")).count
    with clipwalk.open(path, index_dir=None) as video:
        assert not video.index_loaded
