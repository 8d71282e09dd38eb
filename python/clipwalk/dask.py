"""Exact frames from many files on a Dask cluster.

    import clipwalk.dask

    requests = [("a.mp4", [0, 250, 10]), ("b.mkv", [7]), ("a.mp4", [3])]
    pairs = clipwalk.dask.read_frames(requests, max_side=256).compute()
    # [("a.mp4", Frame 0), ("a.mp4", Frame 250), ("a.mp4", Frame 10), ("b.mkv", Frame 7),
    #  ("a.mp4", Frame 3)]

Each file is opened once, by one task, which reads all of its numbers in one batch (in
stream order, each frame decoded once); the pairs come back in the order of the requests.
Without a scheduler address the work runs on a local cluster of one worker thread a core in
this process, started on first use and kept for the next calls; with one ("tcp://host:8786")
it runs unchanged on that cluster. shutdown() closes what was made.
"""

import os
import threading

import dask
import dask.bag
import distributed

from ._video import _integer
from ._video import open as _open

# Clients made so far, by scheduler address (None: the local cluster's), kept for later calls.
_clients = {}
_clients_lock = threading.Lock()


def client(scheduler=None, *, processes=False):
    """The Dask client that runs clipwalk's work, made the default one (what Bag.compute()
    runs on): for an address, a client of that scheduler; without one, a local cluster of one
    single-threaded worker a core. Its workers are threads of this process unless `processes`:
    decoding releases the GIL, and frames read by a thread need no copying back to the
    caller; a worker process keeps a crash in a damaged file away from the caller. Each is
    made once and kept; shutdown() lets them go."""
    key = scheduler if scheduler is not None else ("local", bool(processes))
    with _clients_lock:
        made = _clients.get(key)
        if made is None or made.status in ("closed", "closing"):
            if scheduler is None:
                # Worker processes get a copy of Dask's settings, where a caller may have put
                # a client, which cannot be copied.
                with dask.config.set(scheduler=None):
                    cluster = distributed.LocalCluster(
                        n_workers=os.cpu_count() or 1, threads_per_worker=1,
                        processes=bool(processes), dashboard_address=":0")
                made = distributed.Client(cluster, set_as_default=True)
            else:
                made = distributed.Client(scheduler, set_as_default=True)
            _clients[key] = made
        # The last client asked for computes, also when an earlier one is asked for again.
        # (Set by name, not as an object in Dask's settings, which worker processes copy.)
        distributed.client.ensure_default_client(made)
        return made


def shutdown():
    """Closes the clients made here, and the local clusters started."""
    with _clients_lock:
        for key, made in list(_clients.items()):
            cluster = made.cluster if isinstance(key, tuple) else None
            made.close()
            if cluster is not None:
                cluster.close()
        if _clients:
            # Dask's own default again, not a closed client.
            dask.config.set(scheduler=None)
        _clients.clear()


def _checked(requests):
    """The requests as (path, numbers) pairs, checked."""
    checked = []
    for request in requests:
        try:
            path, numbers = request
        except (TypeError, ValueError):
            raise TypeError(f"a request is a (path, frame numbers) pair, not {request!r}") \
                from None
        path = os.fsdecode(os.fspath(path))
        if isinstance(numbers, (str, bytes)):
            raise TypeError(f"frame numbers must be a list, not {type(numbers).__name__}")
        checked.append((path, [_integer(n, "a frame number") for n in numbers]))
    return checked


def _read_file(path, numbers, open_options):
    with _open(path, **open_options) as video:
        return video.get_frames_at(numbers)


def _pairs(path, frames, start, stop):
    return [(path, frame) for frame in frames[start:stop]]


def read_frames(requests, scheduler=None, **open_options):
    """A dask.bag.Bag of (path, Frame) pairs, one for each frame number of each (path,
    numbers) request, in the order of the requests and their numbers. open_options go to
    clipwalk.open in the task that opens the file (threads=1 unless given); each file is
    opened by one task, which reads all of its numbers in one batch. Nothing is read until the
    bag is computed, on the client this call makes the default (see client)."""
    checked = _checked(requests)
    client(scheduler)
    if not checked:
        return dask.bag.from_sequence([], npartitions=1)
    read = dask.delayed(_read_file, pure=False)
    # One decoder thread unless asked otherwise: a worker a core is parallel enough, and
    # frame threads on top of it only contend for the cores.
    options = dict({"threads": 1}, **open_options)
    # Each file's numbers in the order asked, and the runs of requests for one file as
    # [path, start, stop] in its batch: one partition a run, a slice of that file's batch, runs
    # where the batch is, and the partitions keep the order of the requests.
    wanted, runs = {}, []
    for path, numbers in checked:
        start = len(wanted.setdefault(path, []))
        wanted[path].extend(numbers)
        if runs and runs[-1][0] == path:
            runs[-1][2] = len(wanted[path])
        else:
            runs.append([path, start, len(wanted[path])])
    by_file = {path: read(path, numbers, options) for path, numbers in wanted.items()}
    return dask.bag.from_delayed([dask.delayed(_pairs, pure=False)(path, by_file[path], start,
                                                                   stop)
                                  for path, start, stop in runs])
