"""Exact frames from many files on a Dask cluster.

    import clipwalk.dask

    requests = [("a.mp4", [0, 250, 10]), ("b.mkv", [7]), ("a.mp4", [3])]
    pairs = clipwalk.dask.read_frames(requests, max_side=256).compute()
    # [("a.mp4", Frame 0), ("a.mp4", Frame 250), ("a.mp4", Frame 10), ("a.mp4", Frame 3),
    #  ("b.mkv", Frame 7)]

Each file is opened once, by one task, which reads all of its numbers in one batch (in
stream order, each frame decoded once). Without a scheduler address the work runs on a local
cluster of one worker process a core, started on first use and kept for the next calls; with
one ("tcp://host:8786") it runs unchanged on that cluster. shutdown() closes what was made.
"""

import collections
import functools
import os
import threading

import dask.bag
import distributed

from ._video import _integer
from ._video import open as _open

# Clients made so far, by scheduler address (None: the local cluster's), kept for later calls.
_clients = {}
_clients_lock = threading.Lock()


def client(scheduler=None):
    """The Dask client that runs clipwalk's work, made the default one: for an address, a
    client of that scheduler; without one, a local cluster of one single-threaded worker
    process a core. Each is made once and kept; shutdown() lets them go."""
    with _clients_lock:
        made = _clients.get(scheduler)
        if made is None or made.status in ("closed", "closing"):
            if scheduler is None:
                made = distributed.Client(distributed.LocalCluster(
                    n_workers=os.cpu_count() or 1, threads_per_worker=1, processes=True,
                    dashboard_address=None), set_as_default=True)
            else:
                made = distributed.Client(scheduler, set_as_default=True)
            _clients[scheduler] = made
        else:
            made.as_current()
        return made


def shutdown():
    """Closes the clients made here, and the local cluster if one was started."""
    with _clients_lock:
        for scheduler, made in list(_clients.items()):
            cluster = made.cluster if scheduler is None else None
            made.close()
            if cluster is not None:
                cluster.close()
        _clients.clear()


def _grouped(requests):
    """The frame numbers of each file, in the order the requests name them."""
    by_file = collections.OrderedDict()
    for request in requests:
        try:
            path, numbers = request
        except (TypeError, ValueError):
            raise TypeError(f"a request is a (path, frame numbers) pair, not {request!r}") \
                from None
        path = os.fsdecode(os.fspath(path))
        if isinstance(numbers, (str, bytes)):
            raise TypeError(f"frame numbers must be a list, not {type(numbers).__name__}")
        by_file.setdefault(path, []).extend(_integer(n, "a frame number") for n in numbers)
    return list(by_file.items())


def _read_file(item, open_options):
    path, numbers = item
    with _open(path, **open_options) as video:
        return [(path, frame) for frame in video.get_frames_at(numbers)]


def read_frames(requests, scheduler=None, **open_options):
    """A dask.bag.Bag of (path, Frame) pairs, one for each frame number of each (path,
    numbers) request, grouped by file in the order files are first named, each file's
    numbers in the order asked. open_options go to clipwalk.open in the task that opens the
    file. Nothing is read until the bag is computed, on the client this call makes the
    default (see client)."""
    grouped = _grouped(requests)
    client(scheduler)
    if not grouped:
        return dask.bag.from_sequence([], npartitions=1)
    read = functools.partial(_read_file, open_options=dict(open_options))
    return dask.bag.from_sequence(grouped, npartitions=len(grouped)).map(read).flatten()
