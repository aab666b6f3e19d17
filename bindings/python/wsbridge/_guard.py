# SPDX-License-Identifier: GPL-2.0-or-later
"""The one way into the library: the process-wide lock, the state checks and
the raising of failures.

The library keeps all its state process-wide and is called one call at a
time. Every call of the package goes through `guarded`:

    with guarded("tree", capture, tree) as call:
        call(raw.gGetProtocolTreeNodesCount, ctypes.byref(count))

takes the lock, asks each object given whether the library can still answer
for it (its `_check(operation)` raises when not), and yields a Call that runs
exports and raises the matching WsbridgeError for a failed status.
"""

import contextlib
import ctypes
import threading

from . import errors
from .native import Status

# One lock for the whole process: the library has one engine, one open
# capture, one save file and one followed stream.
lock = threading.RLock()

# Where gGetDissectionGeneration writes, used under the lock.
_GENERATION = ctypes.c_uint64()
_GENERATION_OUTPUT = ctypes.byref(_GENERATION)


class Call:
    """Runs exports of an engine's library while the lock is held."""

    __slots__ = ("engine", "operation")

    def __init__(self, engine, operation):
        self.engine = engine
        self.operation = operation

    def __call__(self, function, *arguments, accept=(), failure=errors.WsbridgeError):
        """Calls a status-returning export and returns its status. A status
        other than Status.OK and those in `accept` raises: for Status.FAILED
        the class errors.CODE_ERRORS lists for the failure's code, else
        `failure`; EngineOutOfMemoryError for Status.OUT_OF_MEMORY."""
        status = function(*arguments)
        if status != Status.OK and status not in accept:
            raise self.error(status, failure=failure)
        return status

    def generation(self):
        """The library's dissection generation (gGetDissectionGeneration):
        what was taken from a dissection is stale once it differs."""
        if self.engine.raw.gGetDissectionGeneration(_GENERATION_OUTPUT) != Status.OK:
            raise self.error()
        return _GENERATION.value

    def error(self, status=Status.FAILED, message=None, failure=errors.WsbridgeError):
        """The exception for a status, with the library's message and code
        unless `message` is given (the binding's own failure: no code)."""
        code = None
        if message is None:
            message = self.engine.library.last_error()
            code = self.engine.library.last_error_code()
        return errors.error_for(status, message, self.operation, failure, code)


@contextlib.contextmanager
def guarded(operation, *objects):
    """Takes the lock, checks that the library can answer for every object
    (Engine, Capture, Tree, Node, Stream: each one's `_check(operation)`)
    and yields a Call on the first object's engine."""
    with lock:
        for item in objects:
            item._check(operation)
        yield Call(objects[0]._engine, operation)
