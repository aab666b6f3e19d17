# SPDX-License-Identifier: GPL-2.0-or-later
"""Many captures in parallel: one engine per worker process.

The engine is one per process and reads one capture at a time, so captures
are shared out by file over worker processes, each of which starts its own
engine: on this machine through multiprocessing, beyond it through a
dask.distributed cluster.
"""

import collections
import multiprocessing
import multiprocessing.connection
import os
import pickle
import sys
import traceback

from . import statistics
from ._processes import GUARD_MESSAGE, one_capture, refuse_unguarded_main
from .dataframe import DISPLAYED_DELTA, empty_frame, field_columns, import_pandas, share_frame
from .engine import Engine, preference_items
from .errors import WsbridgeError
from .native import Status
from .records import encode_text

__all__ = ["map_captures", "run_capture", "to_dask_dataframe", "to_dask_statistics"]

# A local worker process is replaced once its resident memory passes this
# many bytes after a capture (the engine keeps some memory of every capture
# it reads, and a large capture makes it grow).
MEMORY_LIMIT = 1 << 30

# Captures are handed to a local worker in chunks of about this many bytes
# of capture files (one round trip per chunk), and at most a quarter of
# each worker's share of what is left, so that the last ones are spread.
CHUNK_BYTES = 8 << 20
CHUNK_CAPTURES = 32

def run_capture(path, function, library=None, preferences=(), filter=None):
    """Opens `path` with the engine of this process (started on first use
    from `library`, see wsbridge.start, with `preferences` applied) and
    the display filter `filter`, and returns function(capture); a failure
    is returned as its exception instance, with the worker's traceback
    added as a note."""
    with one_capture:
        try:
            engine = Engine.prepared(library, preferences)
            with engine.open(path, filter=filter) as capture:
                return function(capture)
        except Exception as error:  # handed back as the result of this capture
            return _portable(error, traceback.format_exc())


def _with_callers_preferences(preferences):
    """The preferences of this process's engine, then `preferences` (a
    later assignment of a name wins), as a tuple of assignments."""
    engine = Engine.current()
    merged = dict(engine._preferences) if engine is not None else {}
    merged.update(preference_items(preferences))
    return tuple(merged.values())


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


def map_captures(function, paths, processes=None, client=None, preferences=(), filter=None, *,
                 captures_per_process=None, memory_limit=MEMORY_LIMIT):
    """Calls function(capture) for every capture file in `paths`, each in a
    worker process with its own engine, and returns the results in the order
    of `paths`. A capture that fails (it does not open, the function raises,
    the worker process dies while reading it) gives its exception instance
    as its result; the others still run.

    Every worker's engine gets the preferences that this process's engine
    was given (Engine.set_preference), then `preferences` (texts such as
    "tcp.desegment_tcp_streams:TRUE"); every capture is opened with the
    display filter `filter`.

    Without `client`, `processes` worker processes (default: the number of
    CPUs) are started in the forkserver context, never forked from a process
    with an engine. They read the captures handed to them in chunks (small
    files several at a time) and are reused until their resident memory
    passes `memory_limit` bytes after a capture (or, when
    `captures_per_process` is given, after that many captures); a call
    that ends early (KeyboardInterrupt) terminates them at once. `function`
    is sent to them by pickle, so it must be defined at the top level of a
    module (a lambda or a nested function raises TypeError at once; one
    defined under `if __name__ == "__main__":` is not seen by the workers,
    which gives every capture that error); a script calling map_captures at
    its top level, outside that guard, raises RuntimeError at once. The
    results must be picklable too; Summaries and Locators that come back
    refuse use with any capture of this process.

    With `client`, a dask.distributed Client, every capture is a task on
    that cluster (functions are sent as dask sends them, by value for a
    script's): each worker process starts one engine, loading the library
    as wsbridge.start() does there (WSBRIDGE_LIBRARY or the installation),
    and reads its captures one at a time. A worker keeps the preferences it
    was given; a later map that asks for fewer gets InvalidSettingError."""
    paths = [os.fspath(path) for path in paths]
    engine = Engine.current()
    preferences = _with_callers_preferences(preferences)
    if filter is not None:
        encode_text(filter, "display filter")
    if client is not None:
        return _on_cluster(client, function, paths, preferences, filter)
    try:
        payload = pickle.dumps(function)
    except Exception as error:
        raise TypeError("map_captures sends the function to worker processes by pickle, which "
                        "cannot take %r (%s): define it at the top level of a module, not as a "
                        "lambda or inside another function" % (function, error)) from None
    if getattr(multiprocessing.current_process(), "_inheriting", False):
        # This process is a worker importing the main module.
        main = sys.modules.get("__mp_main__") or sys.modules.get("__main__")
        raise RuntimeError(GUARD_MESSAGE % (getattr(main, "__file__", None) or "",))
    refuse_unguarded_main()
    if not paths:
        return []
    if processes is None:
        processes = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") \
            else os.cpu_count() or 1
    processes = max(1, min(processes, len(paths)))
    if captures_per_process is not None and captures_per_process < 1:
        raise ValueError("captures_per_process is at least 1, not %r" % (captures_per_process,))
    settings = (payload, engine.library.path if engine is not None else None, preferences,
                filter, memory_limit, captures_per_process)
    return _Workers(paths, processes, settings).run()


# ---- local worker processes -----------------------------------------------------

class _Worker:
    __slots__ = ("process", "connection", "assigned", "started", "stopping")

    def __init__(self, process, connection):
        self.process = process
        self.connection = connection
        self.assigned = collections.deque()  # indices sent and not yet answered, in order
        self.started = False  # it has said "ready"
        self.stopping = False


class _Workers:
    """The captures over local worker processes. The parent hands out chunks
    of capture indices over a pipe per worker and takes the results as they
    come. A worker that ends while it holds captures (the engine aborted, it
    was killed) gives the capture it was reading a WsbridgeError saying so;
    the rest of its chunk goes to another worker."""

    def __init__(self, paths, processes, settings):
        self.paths = paths
        self.processes = processes
        self.settings = settings
        self.sizes = [_size(path) for path in paths]
        self.todo = collections.deque(range(len(paths)))
        self.results = [None] * len(paths)
        self.remaining = len(paths)
        self.workers = []
        self.context = multiprocessing.get_context("forkserver")

    def run(self):
        finished = False
        try:
            for _ in range(self.processes):
                self._start_worker()
            while self.remaining:
                waited = {}
                for worker in self.workers:
                    waited[worker.connection] = worker
                    waited[worker.process.sentinel] = worker
                for ready in multiprocessing.connection.wait(list(waited)):
                    worker = waited[ready]
                    if worker not in self.workers:
                        continue  # ended while handling an earlier ready object
                    if ready is worker.connection:
                        self._receive(worker)
                    else:
                        self._ended(worker)
            finished = True
            return self.results
        finally:
            self._end_workers(finished)

    def _end_workers(self, finished):
        """Ends the worker processes. After the last result they are told to
        stop and given a few seconds to; when the map did not finish
        (KeyboardInterrupt, an error) nothing waits for the captures they
        are reading: they are terminated at once, and killed if that does
        not end them."""
        if finished:
            for worker in self.workers:
                self._stop(worker)
            for worker in self.workers:
                worker.process.join(5)
        for worker in self.workers:
            if worker.process.is_alive():
                worker.process.terminate()
        for worker in self.workers:
            worker.process.join(1)
            if worker.process.is_alive():
                worker.process.kill()
                worker.process.join()
            worker.connection.close()

    def _start_worker(self):
        mine, theirs = self.context.Pipe()
        process = self.context.Process(target=_worker_main, args=(theirs,) + self.settings,
                                       daemon=True, name="wsbridge-map_captures")
        try:
            process.start()
        except RuntimeError as error:
            # A worker that failed while it imported the main module (a
            # script without the guard that refuse_unguarded_main missed).
            raise RuntimeError(GUARD_MESSAGE % (getattr(sys.modules.get("__main__"), "__file__",
                                                         ""),)) from error
        finally:
            theirs.close()
        worker = _Worker(process, mine)
        self.workers.append(worker)
        self._hand_out(worker)

    def _hand_out(self, worker):
        """Sends the worker its next chunk, or tells it to stop."""
        if not self.todo:
            self._stop(worker)
            return
        share = max(1, len(self.todo) // (4 * self.processes))
        chunk, size = [], 0
        while self.todo and len(chunk) < min(share, CHUNK_CAPTURES) and \
                (not chunk or size + self.sizes[self.todo[0]] <= CHUNK_BYTES):
            index = self.todo.popleft()
            chunk.append(index)
            size += self.sizes[index]
        worker.assigned.extend(chunk)
        try:
            worker.connection.send([(index, self.paths[index]) for index in chunk])
        except OSError:
            pass  # it has ended: its sentinel says so next

    def _stop(self, worker):
        if not worker.stopping:
            worker.stopping = True
            try:
                worker.connection.send(None)
            except OSError:
                pass

    def _receive(self, worker):
        """Takes one message of the worker: a result, "idle" (its chunk is
        done: it gets the next) or "retire" (it ends after its last result:
        what it still holds goes to others)."""
        try:
            message = worker.connection.recv()
        except (EOFError, OSError):
            if not worker.stopping:
                self._ended(worker)
            return False
        except Exception as error:  # a result that does not unpickle here
            message = (worker.assigned[0], error) if worker.assigned else ("idle",)
        if message[0] == "ready":
            worker.started = True
        elif message[0] == "idle":
            if not worker.stopping:
                self._hand_out(worker)
        elif message[0] == "retire":
            self.todo.extendleft(reversed(worker.assigned))
            worker.assigned.clear()
            worker.stopping = True
        else:
            index, result = message
            if worker.assigned and worker.assigned[0] == index:
                worker.assigned.popleft()
            self.results[index] = result
            self.remaining -= 1
        return True

    def _ended(self, worker):
        """A worker process ended: its last messages are taken, the capture
        it was reading fails, and a new worker takes over what is left."""
        worker.stopping = True
        while worker.connection.poll() and self._receive(worker):
            pass
        worker.process.join()
        self.workers.remove(worker)
        worker.connection.close()
        if not worker.started:
            # It failed before it ran any code of the package's: while it
            # imported the main module, most likely a script's top level
            # calling map_captures again. Every worker would.
            raise RuntimeError(
                "A worker process of map_captures ended before it started (exit code %s; its "
                "error is above). " % worker.process.exitcode + GUARD_MESSAGE
                % (getattr(sys.modules.get("__main__"), "__file__", None) or "",))
        if worker.assigned:
            index = worker.assigned.popleft()
            self.results[index] = WsbridgeError(
                Status.FAILED, "The worker process reading \"%s\" ended before it returned a "
                "result (exit code %s)." % (self.paths[index], worker.process.exitcode),
                "map_captures")
            self.remaining -= 1
            self.todo.extendleft(reversed(worker.assigned))
        if self.todo and len(self.workers) < self.processes:
            self._start_worker()


def _size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def _resident_bytes():
    try:
        with open("/proc/self/statm", "rb") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        return 0


def _worker_main(connection, payload, library, preferences, filter, memory_limit,
                 captures_per_process):
    """A local worker: says ("ready",), then reads the chunks of captures it
    is sent, answering (index, result) per capture and ("idle",) after each
    chunk, until it is sent None; ("retire",) when it ends on its own
    (memory, capture count)."""
    try:
        function, failure = pickle.loads(payload), None
    except Exception as error:
        function = None
        failure = TypeError(
            "The worker process could not load the function that map_captures was given "
            "(%s: %s). Workers import a function by its module and name, and do not see one "
            "defined under `if __name__ == \"__main__\":`, in `python -c` or in an interactive "
            "session: define it at the top level of a module (above the guard)."
            % (type(error).__name__, error))
    connection.send(("ready",))
    read = 0
    while True:
        try:
            chunk = connection.recv()
        except (EOFError, OSError):
            return
        if chunk is None:
            return
        for index, path in chunk:
            result = failure if failure is not None else \
                run_capture(path, function, library, preferences, filter)
            try:
                connection.send((index, result))
            except Exception as error:  # a result that does not pickle
                connection.send((index, _portable(
                    TypeError("the result of the function cannot be sent back by pickle: %s"
                              % error), traceback.format_exc())))
            read += 1
            if (memory_limit and _resident_bytes() > memory_limit) or \
                    (captures_per_process and read >= captures_per_process):
                connection.send(("retire",))
                return
        connection.send(("idle",))


# ---- dask.distributed ---------------------------------------------------------

def _on_cluster(client, function, paths, preferences, filter):
    """The captures as tasks of a dask.distributed cluster, at most as many
    at a time as the cluster has worker threads: a worker that dies takes
    with it the tasks it was given, and the cluster charges each of them
    with the death (KilledWorker after a few), so no capture waits on a
    worker behind another. Each result (or exception) is taken as soon as
    its task ends, before a later death could lose it."""
    from distributed import as_completed
    results = [None] * len(paths)
    waiting = collections.deque(enumerate(paths))
    running = {}
    ended = as_completed()

    def submit():
        limit = max(1, sum(client.nthreads().values()))
        while waiting and len(running) < limit:
            index, path = waiting.popleft()
            future = client.submit(run_capture, path, function=function,
                                   preferences=preferences, filter=filter, pure=False)
            running[future.key] = index
            ended.add(future)

    submit()
    for future in ended:
        index = running.pop(future.key)
        try:
            results[index] = future.result()
        except Exception as error:  # the task's own failure: KilledWorker, ...
            results[index] = error
        future.release()
        submit()
    return results


def to_dask_dataframe(paths, fields=(), filter=None, preferences=(), shards_per_capture=1):
    """A lazy dask.dataframe of capture files, one partition per capture:
    partition i is `Capture.to_dataframe(fields, filter)` of paths[i], read
    by an engine with the preferences of this process's engine and
    `preferences` (as map_captures sets them). With shards_per_capture=K
    each capture makes K partitions, each read by its own engine from the
    whole file but dissecting only one share of its conversations (see
    Engine.set_reading_share): one large capture is dissected across the
    cluster's workers; within a partition the rows are in frame order
    (frame.time_delta_displayed with a display filter is refused then: the
    packet shown before may be another partition's). Only the columns' types are
    worked out now (by a small task that opens no capture); the captures
    are read when the frame is computed. Compute it on a dask.distributed
    cluster of process workers of one thread each (or with the "processes"
    scheduler): on the threaded scheduler the partitions are read one at a
    time in this process, and each opening closes a capture that this
    process has open. A capture that cannot be read makes the computation
    raise its error."""
    import dask
    import dask.dataframe
    paths = [os.fspath(path) for path in paths]
    fields = tuple(dict.fromkeys((fields,) if isinstance(fields, str) else fields))
    preferences = _with_callers_preferences(preferences)
    if filter is not None:
        encode_text(filter, "display filter")
    shards = int(shards_per_capture)
    if shards < 1:
        raise ValueError("shards_per_capture must be 1 or more, not %r" % (shards_per_capture,))
    if shards > 1 and filter and DISPLAYED_DELTA in fields:
        raise ValueError("%s counts from the packet shown before, which with a display filter and "
                         "shards_per_capture > 1 may be in another partition; ask for it with "
                         "shards_per_capture=1 (or without the filter)" % DISPLAYED_DELTA)
    meta = dask.delayed(_empty_frame)(fields, preferences).compute()
    if not paths:
        return dask.dataframe.from_pandas(meta, npartitions=1)
    parts = [dask.delayed(share_frame)(Engine, path, fields, filter, preferences, share, shards)
             for path in paths for share in range(shards)]
    return dask.dataframe.from_delayed(parts, meta=meta)


def _empty_frame(fields, preferences):
    """The columns and types of to_dask_dataframe's partitions."""
    with one_capture:
        columns = field_columns(Engine.prepared(None, preferences), fields)
    return empty_frame(import_pandas(), columns)


# ---- statistics tables of many captures -------------------------------------------

def _with_capture(frame, path):
    frame.insert(0, "capture", import_pandas().array([str(path)] * len(frame), dtype="string"))
    return frame


def _capture_statistics(path, request, preferences):
    """One capture's table, counted in this process, with its path."""
    return _with_capture(statistics.frame_of(statistics.share_tables(Engine, path, [request], preferences)[0]),
                         path)


def _merged_statistics(path, request, preferences, *parts):
    """One capture's table from the tables of its shares, added up here."""
    with one_capture:
        table = statistics.merge_tables(Engine.prepared(None, preferences), list(parts))[0]
    return _with_capture(statistics.frame_of(table), path)


def to_dask_statistics(paths, request, preferences=(), shards_per_capture=1):
    """A lazy dask.dataframe of one statistics table (a tshark -z text such
    as "conv,tcp", "io,phs" or "io,stat,1,tcp") of each capture file in
    `paths`, a partition per capture, with the capture's path in a first
    column `capture`: each partition is the table Capture.statistics gives
    for that capture in one process. With shards_per_capture=K, K tasks
    each count one reading share of a capture (Engine.set_reading_share)
    and one more adds their records up (gAddConversations ...), giving the
    same table. Engines get the preferences of this process's engine and
    `preferences`, as to_dask_dataframe's do; compute it as
    to_dask_dataframe says (process workers of one thread each)."""
    import dask
    import dask.dataframe
    paths = [os.fspath(path) for path in paths]
    encode_text(request, "statistics request")
    shards = int(shards_per_capture)
    if shards < 1:
        raise ValueError("shards_per_capture must be 1 or more, not %r" % (shards_per_capture,))
    meta = _with_capture(statistics.empty_frame(request), "")
    preferences = _with_callers_preferences(preferences)
    parts = []
    for path in paths:
        if shards == 1:
            parts.append(dask.delayed(_capture_statistics)(path, request, preferences))
        else:
            shares = [dask.delayed(statistics.share_tables)(Engine, path, [request], preferences, share, shards)
                      for share in range(shards)]
            parts.append(dask.delayed(_merged_statistics)(path, request, preferences, *shares))
    if not parts:
        return dask.dataframe.from_pandas(meta, npartitions=1)
    return dask.dataframe.from_delayed(parts, meta=meta)
