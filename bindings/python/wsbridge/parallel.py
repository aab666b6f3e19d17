"""Many captures in parallel: one engine per worker process.

The engine is one per process and reads one capture at a time, so captures
are shared out by file over worker processes, each of which starts its own
engine: on this machine through multiprocessing, beyond it through a
dask.distributed cluster.
"""

import multiprocessing
import os
import pickle
import threading
import time
import traceback

from .engine import Engine
from .errors import WsbridgeError
from .native import Status

__all__ = ["map_captures", "run_capture"]

# How many captures a local worker process reads before it is replaced: the
# engine keeps memory of every capture it reads until its process ends.
CAPTURES_PER_PROCESS = 20

# One capture at a time per process, also when a dask worker runs several
# tasks in threads.
_one_capture = threading.Lock()


def run_capture(path, function, library=None):
    """Opens `path` with the engine of this process (started on first use
    from `library`, see wsbridge.start) and returns function(capture); a
    failure is returned as its exception instance, with the worker's
    traceback added as a note."""
    with _one_capture:
        try:
            engine = Engine.start(library)
            with engine.open(path) as capture:
                return function(capture)
        except Exception as error:  # handed back as the result of this capture
            return _portable(error, traceback.format_exc())


def _portable(error, trace):
    """The exception, ready to travel back to the caller's process."""
    try:
        pickle.loads(pickle.dumps(error))
    except Exception:
        error = WsbridgeError(Status.FAILED, "%s: %s" % (type(error).__name__, error),
                              "map_captures")
    if hasattr(error, "add_note"):
        error.add_note("In the worker process:\n" + trace)
    return error


def map_captures(function, paths, processes=None, client=None, *,
                 captures_per_process=CAPTURES_PER_PROCESS):
    """Calls function(capture) for every capture file in `paths`, each in a
    worker process with its own engine, and returns the results in the order
    of `paths`. A capture that fails (it does not open, the function raises)
    gives its exception instance as its result; the others still run.

    `function` must be picklable (defined at a module's top level) and so
    must its results; Summaries and Locators that come back refuse use with
    any capture of this process. Without `client`, `processes` worker
    processes (default: the number of CPUs) are started in the forkserver
    context, never forked from a process with an engine, and each is
    replaced after `captures_per_process` captures so that memory stays
    bounded. With `client`, a dask.distributed Client, every capture is a
    task on that cluster: each worker process starts one engine, loading the
    library as wsbridge.start() does there (WSBRIDGE_LIBRARY or the
    installation), and reads its captures one at a time."""
    paths = [os.fspath(path) for path in paths]
    if not paths:
        return []
    if client is not None:
        return _on_cluster(client, function, paths)
    engine = Engine.current()
    library = engine.library.path if engine is not None else None
    if processes is None:
        processes = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") \
            else os.cpu_count() or 1
    processes = max(1, min(processes, len(paths)))
    if captures_per_process is not None and captures_per_process < 1:
        raise ValueError("captures_per_process is at least 1, not %r" % (captures_per_process,))
    return _in_processes(function, paths, processes, captures_per_process, library)


def _in_processes(function, paths, processes, captures_per_process, library):
    """The captures over a pool of local worker processes. A worker that
    dies while it reads a capture (the engine aborted, it was killed) is
    replaced by the pool, and that capture's result is a WsbridgeError
    saying so: a pool alone would wait for it for ever."""
    context = multiprocessing.get_context("forkserver")
    started = context.SimpleQueue()  # (index, worker pid) as each capture starts
    results = [None] * len(paths)
    with context.Pool(processes, initializer=_start_worker, initargs=(started,),
                      maxtasksperchild=captures_per_process) as pool:
        pending = {index: pool.apply_async(_run_task, ((index, path, function, library),))
                   for index, path in enumerate(paths)}
        readers, gone = {}, {}
        while pending:
            while not started.empty():
                index, pid = started.get()
                readers[index] = pid
            # Only a capture that has started can have ended.
            for index in list(readers):
                result = pending[index]
                if result.ready():
                    try:
                        results[index] = result.get()
                    except Exception as error:  # the result did not come back whole
                        results[index] = error
                    del pending[index], readers[index]
                elif not _alive(readers[index]):
                    # Its result, had it been sent, arrives within moments.
                    first = gone.setdefault(index, time.monotonic())
                    if time.monotonic() - first > _GRACE_SECONDS:
                        results[index] = WsbridgeError(
                            Status.FAILED, "The worker process reading \"%s\" ended before it "
                            "returned a result." % paths[index], "map_captures")
                        del pending[index], readers[index]
            if pending:
                time.sleep(0.02)
    return results


def _on_cluster(client, function, paths):
    """The captures as tasks of a dask.distributed cluster. A task that
    fails outside run_capture (its worker died, say) gives its exception."""
    from distributed import wait
    futures = client.map(run_capture, paths, function=function, pure=False)
    wait(futures)
    finished = [future for future in futures if future.status == "finished"]
    values = dict(zip((future.key for future in finished), client.gather(finished)))
    return [values[future.key] if future.key in values else future.exception()
            for future in futures]


# How long a capture whose worker is gone may still deliver its result.
_GRACE_SECONDS = 5.0

# In a local worker process: where it reports the captures it starts.
_started = None


def _start_worker(started):
    global _started
    _started = started


def _run_task(task):
    index, path, function, library = task
    _started.put((index, os.getpid()))
    return run_capture(path, function, library)


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True
