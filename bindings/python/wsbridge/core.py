# SPDX-License-Identifier: GPL-2.0-or-later
"""The Pythonic layer over libwsbridge, by object.

The library keeps one engine per process and at most one open capture, save
file and followed stream; the objects follow that model:

* Engine (wsbridge.engine): the process's engine. Engine.start() (or
  wsbridge.start()) starts it once; later calls return the same object.
  After shutdown() the engine cannot be started again in this process and
  every use raises EngineShutDownError.
* Capture (wsbridge.capture, from Engine.open): iterates Summary objects,
  re-reads packets by their Locator, builds trees, reads matched fields,
  saves selections, follows conversations and makes DataFrames. Opening
  another capture closes the one before.
* Summary, Locator and the other values (wsbridge.records): a Summary or
  Locator belongs to the capture it was read from; another capture, or the
  same file opened again, refuses it.
* Tree and Node (wsbridge.tree): a packet's protocol tree; node values are
  readable until the next dissection.
* Stream (wsbridge.stream): a followed TCP or UDP conversation, iterated as
  (direction, text), until the next follow.
* map_captures (wsbridge.parallel): a function over many captures in worker
  processes or on a dask cluster; to_dask_dataframe: many captures as one
  dask DataFrame, a partition per capture.

Every call into the library is made under one process-wide lock, after a
check that the library can still answer for the objects involved
(wsbridge._guard), so the objects may be used from several threads. Failures
raise the exceptions of wsbridge.errors.

This module keeps the names that the package's first layout had here.
"""

from .capture import Capture
from .engine import Engine, start
from .errors import WsbridgeError
from .records import FieldInfo, FieldLocation, Locator, SaveResult, Summary
from .stream import Stream
from .tree import Node, Tree

__all__ = [
    "Capture",
    "Engine",
    "FieldInfo",
    "FieldLocation",
    "Locator",
    "Node",
    "SaveResult",
    "Stream",
    "Summary",
    "Tree",
    "WsbridgeError",
    "start",
]
