# SPDX-License-Identifier: GPL-2.0-or-later
"""wsbridge: the Wireshark dissection engine (libwsbridge) from Python.

    import wsbridge

    engine = wsbridge.start()            # once per process; see Engine.start
    with engine.open("capture.pcap") as capture:
        for packet in capture:
            print(packet.frame_number, packet.protocol_text, packet.info_text)

The package uses only the standard library (ctypes). It loads libwsbridge
from the path given to start()/load_library(), else from the environment
variable WSBRIDGE_LIBRARY, else from where `cmake --install` put it, else
through the system's loader path. wsbridge.native holds the raw interface:
the records as ctypes Structures and every export with its prototype;
wsbridge.core describes the objects, map_captures reads many captures in
worker processes and to_dask_dataframe makes a dask DataFrame of many;
Capture.conversations, endpoints, protocol_hierarchy and io give statistics
tables (wsbridge.statistics) and wsbridge.plot draws them (matplotlib).
"""

from . import errors, native
from .capture import Capture
from .engine import Engine, interfaces, start
from .errors import (CaptureClosedError, CapturePermissionError, EngineOutOfMemoryError, EngineShutDownError,
                     ForeignObjectError, InvalidSettingError, NotSupportedError, StaleObjectError,
                     StateError, UnknownFieldError, WsbridgeError)
from .native import (AddressType, Direction, FieldType, Library, PortType, RenderFormat, Status,
                     load_library)
from .live import Interface, LiveCapture, LiveCounts
from .parallel import map_captures, to_dask_dataframe, to_dask_statistics
from .records import FieldInfo, FieldLocation, Locator, SaveResult, Summary
from .stream import Stream
from .tree import Node, Tree

from ._version import VERSION as __version__  # the library's version

__all__ = [
    "AddressType",
    "Capture",
    "CaptureClosedError",
    "CapturePermissionError",
    "Direction",
    "Engine",
    "EngineOutOfMemoryError",
    "EngineShutDownError",
    "FieldInfo",
    "FieldLocation",
    "FieldType",
    "ForeignObjectError",
    "Interface",
    "InvalidSettingError",
    "Library",
    "LiveCapture",
    "LiveCounts",
    "Locator",
    "Node",
    "NotSupportedError",
    "PortType",
    "RenderFormat",
    "SaveResult",
    "StaleObjectError",
    "StateError",
    "Status",
    "Stream",
    "Summary",
    "Tree",
    "UnknownFieldError",
    "WsbridgeError",
    "errors",
    "interfaces",
    "load_library",
    "map_captures",
    "native",
    "start",
    "to_dask_dataframe",
    "to_dask_statistics",
]
