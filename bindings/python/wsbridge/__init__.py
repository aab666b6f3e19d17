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
the records as ctypes Structures and every export with its prototype.
"""

from . import native
from .core import (Capture, Engine, FieldInfo, FieldLocation, Locator, Node, SaveResult, Stream,
                   Summary, Tree, WsbridgeError, start)
from .native import AddressType, FieldType, Library, PortType, load_library

__version__ = "0.1.0"

__all__ = [
    "AddressType",
    "Capture",
    "Engine",
    "FieldInfo",
    "FieldLocation",
    "FieldType",
    "Library",
    "Locator",
    "Node",
    "PortType",
    "SaveResult",
    "Stream",
    "Summary",
    "Tree",
    "WsbridgeError",
    "load_library",
    "native",
    "start",
]
