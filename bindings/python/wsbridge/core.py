"""The Pythonic layer over libwsbridge.

The library keeps one engine per process and at most one open capture, save
file and followed stream; the objects here follow that model:

* Engine: the process's engine. Engine.start() (or wsbridge.start()) starts
  it once; later calls return the same object. After shutdown() the engine
  cannot be started again in this process and every use raises WsbridgeError.
* Capture (Engine.open): iterates Summary objects, re-reads packets by their
  Locator, builds trees, reads matched fields, saves selections and follows
  conversations. Opening another capture closes the one before.
* Tree and Node: a packet's protocol tree with parent and children links.
* Stream: a followed TCP or UDP conversation, iterated as (direction, text).

Every call into the library is made under one process-wide lock, so the
objects may be used from several threads (one call at a time reaches the
library). A failing call raises WsbridgeError with the library's message and
status.
"""

import ctypes
import dataclasses
import os
import re
import threading
from array import array
from typing import Iterator, List, Optional, Tuple

from . import native
from .native import AddressType, FieldType, PortType

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

_lock = threading.RLock()


class WsbridgeError(Exception):
    """A failed library call: `status` is what the call returned (1 failure,
    3 the engine ran out of memory) and `message` the text of
    gGetLastError() at that moment (str(error) is the message)."""

    def __init__(self, status, message, operation=None):
        super().__init__(message)
        self.status = status
        self.message = message
        self.operation = operation

    def __repr__(self):
        return "WsbridgeError(status=%r, message=%r)" % (self.status, self.message)


def _text(raw: bytes) -> str:
    return raw.decode("utf-8", errors="replace")


def _encode_path(path) -> bytes:
    return os.fsencode(path)


def _enum(kind, value):
    try:
        return kind(value)
    except ValueError:
        return value


def _sized_text(pointer: ctypes.c_void_p, size: int) -> str:
    """A text handed out by the library with its size (which counts the NUL)."""
    if not pointer.value or size <= 0:
        return ""
    return _text(ctypes.string_at(pointer.value, size - 1))


@dataclasses.dataclass(frozen=True)
class Locator:
    """What names a packet for re-reading by offset: the five values of its
    Summary. Save needs the time stamp too; Summary.locator carries it."""

    frame_number: int
    file_offset: int
    captured_length: int
    packet_length: int
    encapsulation: int
    time_seconds: Optional[int] = None
    time_nanoseconds: Optional[int] = None

    def arguments(self) -> Tuple[int, int, int, int, int]:
        return (self.frame_number, self.file_offset, self.captured_length,
                self.packet_length, self.encapsulation)


@dataclasses.dataclass(frozen=True)
class Summary:
    """A PacketSummary with its texts decoded (UTF-8, errors replaced).

    The fields keep the C record's names. relative_time is in 100 ns units.
    After Capture.packet() the fields that only sequential reading writes
    (relative_time, time_*, encapsulation, protocol_text, info_text) are
    those of the Summary or Locator it was given (zero for a bare Locator).
    """

    frame_number: int
    packet_length: int
    captured_length: int
    port_type: int
    source_port: int
    destination_port: int
    file_offset: int
    relative_time: int
    time_seconds: int
    time_nanoseconds: int
    encapsulation: int
    source_address_type: int
    destination_address_type: int
    protocol_text: str
    info_text: str
    link_source_text: str
    link_destination_text: str
    source_text: str
    destination_text: str

    @classmethod
    def from_record(cls, record: native.PacketSummary) -> "Summary":
        return cls(
            frame_number=record.frame_number,
            packet_length=record.packet_length,
            captured_length=record.captured_length,
            port_type=_enum(PortType, record.port_type),
            source_port=record.source_port,
            destination_port=record.destination_port,
            file_offset=record.file_offset,
            relative_time=record.relative_time,
            time_seconds=record.time_seconds,
            time_nanoseconds=record.time_nanoseconds,
            encapsulation=record.encapsulation,
            source_address_type=_enum(AddressType, record.source_address_type),
            destination_address_type=_enum(AddressType, record.destination_address_type),
            protocol_text=_text(record.protocol_text),
            info_text=_text(record.info_text),
            link_source_text=_text(record.link_source_text),
            link_destination_text=_text(record.link_destination_text),
            source_text=_text(record.source_text),
            destination_text=_text(record.destination_text),
        )

    @property
    def locator(self) -> Locator:
        return Locator(self.frame_number, self.file_offset, self.captured_length,
                       self.packet_length, self.encapsulation, self.time_seconds,
                       self.time_nanoseconds)

    @property
    def timestamp(self) -> float:
        """Seconds since 1970 UTC as a float."""
        return self.time_seconds + self.time_nanoseconds / 1e9


@dataclasses.dataclass(frozen=True)
class FieldInfo:
    """A registered field: the engine's id and its type code."""

    name: str
    id: int
    type: int


@dataclasses.dataclass(frozen=True)
class FieldLocation:
    """Where a matched field lies: `offset` from the TCP/UDP payload
    (gGetFieldInfo) or `start` in its data source (gGetFieldInfoEx),
    its length and its type code."""

    position: int
    length: int
    type: int


@dataclasses.dataclass(frozen=True)
class SaveResult:
    """What Capture.save wrote: the number of packets written and the frame
    numbers of those the TCP sequence tracker left out."""

    path: str
    written: int
    skipped_frames: Tuple[int, ...]

    @property
    def skipped(self) -> int:
        return len(self.skipped_frames)


def _locator_of(packet) -> Locator:
    if isinstance(packet, Locator):
        return packet
    if isinstance(packet, Summary):
        return packet.locator
    if isinstance(packet, native.PacketSummary):
        return Summary.from_record(packet).locator
    if isinstance(packet, tuple) and len(packet) in (5, 7):
        return Locator(*packet)
    raise TypeError("a packet is named by a Summary or a Locator, not %r" % (packet,))


class Engine:
    """The process's engine (one per process; see Engine.start)."""

    _instance = None  # the engine of this process once started
    _shut_down = False

    def __init__(self, library: native.Library):
        # Use Engine.start(): this only wraps an engine that was started.
        self.library = library
        self.raw = library.raw
        self._running = True
        self._capture = None
        self._stream = None
        self._dissections = 0  # counts every dissection made through this layer

    # ---- life cycle --------------------------------------------------------

    @classmethod
    def start(cls, library=None) -> "Engine":
        """Starts the engine of this process (gInitEpan) and returns it.

        `library` is a Library, a path, or None (see native.load_library).
        The engine starts once per process: a later call returns the same
        Engine (a different library is refused with ValueError). After
        shutdown() the engine cannot be started again: WsbridgeError."""
        with _lock:
            if cls._instance is not None:
                if library is not None:
                    wanted = library if isinstance(library, native.Library) \
                        else native.load_library(library)
                    if wanted.raw._handle != cls._instance.raw._handle:
                        raise ValueError("the engine of this process already runs on %s"
                                         % cls._instance.library.path)
                return cls._instance
            if cls._shut_down:
                raise WsbridgeError(1, "The engine of this process was shut down; it can be "
                                       "started only once per process.", "start")
            if not isinstance(library, native.Library):
                library = native.load_library(library)
            status = library.raw.gInitEpan()
            if status != 0:
                raise WsbridgeError(status, library.last_error(), "start")
            cls._instance = cls(library)
            return cls._instance

    @classmethod
    def current(cls) -> Optional["Engine"]:
        """The running engine of this process, or None."""
        return cls._instance

    @property
    def running(self) -> bool:
        return self._running

    def shutdown(self) -> None:
        """Shuts the engine down for good (gCleanupEpan): an open capture and
        a followed stream are closed first. The engine cannot be started
        again in this process. A second call does nothing."""
        with _lock:
            if not self._running:
                return
            if self._capture is not None:
                self._capture._forget()
                self._capture = None
            self._stream = None
            status = self.raw.gCleanupEpan()
            self._running = False
            Engine._instance = None
            Engine._shut_down = True
            if status != 0:
                raise WsbridgeError(status, self.library.last_error(), "shutdown")

    def reset_dissection_state(self) -> None:
        """Discards the engine's per-capture dissection state
        (gHackedCleanup); an open capture stays open."""
        with _lock:
            self._require_running()
            self.raw.gHackedCleanup()
            self._dissections += 1

    def _require_running(self):
        if not self._running:
            raise WsbridgeError(1, "The engine of this process was shut down.", "use")

    def _call(self, operation, function, *arguments):
        """Calls a status-returning export; raises on a status other than 0."""
        status = function(*arguments)
        if status != 0:
            raise WsbridgeError(status, self.library.last_error(), operation)
        return status

    # ---- field registry ----------------------------------------------------

    def register_field(self, name: str, group: str) -> None:
        """Files a display-filter field name under a group
        (gRegisterProtocolFieldFilter). The name is checked when the
        registry is compiled, that is by the next field_info()."""
        with _lock:
            self._require_running()
            self._call("register field", self.raw.gRegisterProtocolFieldFilter,
                       name.encode(), group.encode())

    def field_info(self, name: str) -> FieldInfo:
        """The engine id and type code of a registered field name
        (gGetProtocolFieldFilterInfo)."""
        with _lock:
            self._require_running()
            field_id, field_type = ctypes.c_int32(), ctypes.c_int32()
            self._call("field info", self.raw.gGetProtocolFieldFilterInfo, name.encode(),
                       ctypes.byref(field_id), ctypes.byref(field_type))
            return FieldInfo(name, field_id.value, _enum(FieldType, field_type.value))

    # ---- captures ----------------------------------------------------------

    def open(self, path) -> "Capture":
        """Opens a capture file (gOpenCapture). A capture that is open is
        closed first (its Capture object then refuses further use)."""
        with _lock:
            self._require_running()
            self._call("open", self.raw.gOpenCapture, _encode_path(path))
            if self._capture is not None:
                self._capture._forget()
            self._stream = None
            self._capture = Capture(self, path)
            return self._capture

    def __repr__(self):
        state = "running" if self._running else "shut down"
        return "<wsbridge.Engine %s on %s>" % (state, self.library.path)


def start(library=None) -> Engine:
    """Starts (once per process) and returns the engine; see Engine.start."""
    return Engine.start(library)


class Capture:
    """The open capture. Iterating it reads the packets in sequence
    (gGetNextPacket) as Summary objects; the iteration continues where it
    stopped and ends at the end of the capture. Use it as a context manager
    or call close()."""

    def __init__(self, engine: Engine, path):
        self.engine = engine
        self.path = path
        self._open = True
        self._at_end = False
        self._record = native.PacketSummary()
        # The locators of the packets read in sequence, kept compactly.
        self._frames = array("I")
        self._offsets = array("q")
        self._captured = array("I")
        self._lengths = array("I")
        self._encapsulations = array("i")
        self._seconds = array("q")
        self._nanoseconds = array("i")

    # ---- state -------------------------------------------------------------

    @property
    def closed(self) -> bool:
        return not self._open

    def _forget(self):
        self._open = False

    def _require_open(self):
        self.engine._require_running()
        if not self._open:
            raise WsbridgeError(1, "The capture \"%s\" is closed." % (self.path,), "use")

    def close(self) -> None:
        """Closes the capture (gCloseCapture), ending a followed stream.
        Closing a closed capture does nothing."""
        with _lock:
            if not self._open:
                return
            self._open = False
            engine = self.engine
            if engine._capture is self:
                engine._capture = None
                engine._stream = None
            if engine.running:
                engine.raw.gFreePacketProtocolTree()  # the records of the last tree
                engine._call("close", engine.raw.gCloseCapture)

    def __enter__(self) -> "Capture":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __repr__(self):
        return "<wsbridge.Capture %r%s>" % (self.path, "" if self._open else " closed")

    # ---- sequential reading ----------------------------------------------

    def next_packet(self) -> Optional[Summary]:
        """Reads the next packet; None at the end of the capture."""
        with _lock:
            self._require_open()
            if self._at_end:
                return None
            record = self._record
            status = self.engine.raw.gGetNextPacket(ctypes.byref(record))
            self.engine._dissections += 1
            if status == native.END_OF_CAPTURE:
                self._at_end = True
                return None
            if status != 0:
                raise WsbridgeError(status, self.engine.library.last_error(), "read")
            self._frames.append(record.frame_number)
            self._offsets.append(record.file_offset)
            self._captured.append(record.captured_length)
            self._lengths.append(record.packet_length)
            self._encapsulations.append(record.encapsulation)
            self._seconds.append(record.time_seconds)
            self._nanoseconds.append(record.time_nanoseconds)
            return Summary.from_record(record)

    def __iter__(self) -> Iterator[Summary]:
        return self

    def __next__(self) -> Summary:
        summary = self.next_packet()
        if summary is None:
            raise StopIteration
        return summary

    def read_all(self) -> List[Summary]:
        """Reads the rest of the capture."""
        return list(self)

    @property
    def at_end(self) -> bool:
        return self._at_end

    @property
    def locators(self) -> List[Locator]:
        """The locators of every packet read in sequence so far."""
        return [Locator(*values) for values in zip(
            self._frames, self._offsets, self._captured, self._lengths,
            self._encapsulations, self._seconds, self._nanoseconds)]

    # ---- random access -----------------------------------------------------

    def packet(self, packet) -> Summary:
        """Re-reads and re-dissects a packet by its locator
        (gGetPacketAtOffset); it becomes the packet dissected last."""
        with _lock:
            self._require_open()
            locator = _locator_of(packet)
            record = native.PacketSummary()
            status = self.engine.raw.gGetPacketAtOffset(ctypes.byref(record), *locator.arguments())
            self.engine._dissections += 1
            if status != 0:
                raise WsbridgeError(status, self.engine.library.last_error(), "packet")
            summary = Summary.from_record(record)
            if isinstance(packet, Summary):
                # What only sequential reading writes comes from the packet's summary.
                summary = dataclasses.replace(
                    summary, relative_time=packet.relative_time, time_seconds=packet.time_seconds,
                    time_nanoseconds=packet.time_nanoseconds, encapsulation=packet.encapsulation,
                    protocol_text=packet.protocol_text, info_text=packet.info_text)
            else:
                summary = dataclasses.replace(
                    summary, encapsulation=locator.encapsulation,
                    time_seconds=locator.time_seconds or 0,
                    time_nanoseconds=locator.time_nanoseconds or 0)
            return summary

    def tree(self, packet) -> "Tree":
        """Re-reads a packet by its locator and returns its protocol tree
        (gBuildPacketProtocolTree and the node calls). The Tree's node
        value getters work until another packet is dissected."""
        with _lock:
            self._require_open()
            engine = self.engine
            raw = engine.raw
            locator = _locator_of(packet)
            length = ctypes.c_int32(0)
            data = ctypes.POINTER(ctypes.c_uint8)()
            status = raw.gBuildPacketProtocolTree(ctypes.byref(length), ctypes.byref(data),
                                                  *locator.arguments())
            engine._dissections += 1
            if status != 0:
                raise WsbridgeError(status, engine.library.last_error(), "tree")
            payload = ctypes.string_at(data, length.value) if length.value > 0 else b""
            count = ctypes.c_int32(0)
            engine._call("tree", raw.gGetProtocolTreeNodesCount, ctypes.byref(count))
            record = native.TreeNode()
            nodes = []
            tree = Tree(engine, locator, payload, nodes)
            for position in range(count.value):
                engine._call("tree", raw.gGetTreeNodeByIndex, ctypes.byref(record), position)
                nodes.append(Node(tree, record))
            tree._link()
            return tree

    # ---- matched fields and values ----------------------------------------

    def matched_fields(self, group: str) -> List[int]:
        """The ids of the group's registered fields that occurred in the
        packet dissected last (gLastPacketHasPassedFilter), in registration
        order; they become the matched fields that field_location() and the
        by-id getters read. Only packets dissected after the registry was
        compiled (by Engine.field_info) record fields: call field_info for
        the fields of interest before reading."""
        with _lock:
            self._require_open()
            count = ctypes.c_int32(0)
            ids = ctypes.POINTER(ctypes.c_int32)()
            self.engine._call("matched fields", self.engine.raw.gLastPacketHasPassedFilter,
                              group.encode(), ctypes.byref(count), ctypes.byref(ids))
            return [ids[i] for i in range(count.value)] if ids else []

    def _three_ints(self, operation, function, field_id):
        first, second, third = ctypes.c_int32(), ctypes.c_int32(), ctypes.c_int32()
        with _lock:
            self._require_open()
            self.engine._call(operation, function, field_id, ctypes.byref(first),
                              ctypes.byref(second), ctypes.byref(third))
        return FieldLocation(first.value, second.value, _enum(FieldType, third.value))

    def field_location(self, field_id: int) -> FieldLocation:
        """A matched field's offset from the TCP/UDP payload, length and type
        (gGetFieldInfo)."""
        return self._three_ints("field location", self.engine.raw.gGetFieldInfo, field_id)

    def field_location_ex(self, field_id: int) -> FieldLocation:
        """A matched field's start in its data source, length and type
        (gGetFieldInfoEx)."""
        return self._three_ints("field location", self.engine.raw.gGetFieldInfoEx, field_id)

    def _offset(self, operation, function):
        offset = ctypes.c_int32()
        with _lock:
            self._require_open()
            self.engine._call(operation, function, ctypes.byref(offset))
        return offset.value

    def transport_payload_offset(self) -> int:
        """Offset of the TCP/UDP payload in the frame
        (gGetTransportProtocolPayloadOffset)."""
        return self._offset("transport payload offset",
                            self.engine.raw.gGetTransportProtocolPayloadOffset)

    def ipv4_payload_offset(self) -> int:
        """Offset of the first IPv4 header's payload
        (gGetIPv4ProtocolPayloadOffset)."""
        return self._offset("IPv4 payload offset", self.engine.raw.gGetIPv4ProtocolPayloadOffset)

    def uint64(self, field_id: int) -> int:
        """gGetUInt64ProtocolFieldValue of a matched field."""
        value = ctypes.c_uint64()
        with _lock:
            self._require_open()
            self.engine._call("uint64 value", self.engine.raw.gGetUInt64ProtocolFieldValue,
                              ctypes.byref(value), field_id)
        return value.value

    def int32(self, field_id: int) -> int:
        """gGetInt32ProtocolFieldValue of a matched field."""
        value = ctypes.c_int32()
        with _lock:
            self._require_open()
            self.engine._call("int32 value", self.engine.raw.gGetInt32ProtocolFieldValue,
                              ctypes.byref(value), field_id)
        return value.value

    def string(self, field_id: int) -> str:
        """gGetStringProtocolFieldValue of a matched field (copied)."""
        pointer, size = ctypes.c_void_p(), ctypes.c_int32()
        with _lock:
            self._require_open()
            self.engine._call("string value", self.engine.raw.gGetStringProtocolFieldValue,
                              ctypes.byref(pointer), ctypes.byref(size), field_id)
            return _sized_text(pointer, size.value)

    # ---- saving ------------------------------------------------------------

    def save(self, path, packets, skip_tcp_repeats: bool = False) -> SaveResult:
        """Writes the given packets (Summary objects, or Locators with their
        time stamp) into a new libpcap file at path, in the order given
        (gCreateCaptureFileForSave, gSavePacketToCaptureFile per packet,
        gCloseCaptureFileForSave). With skip_tcp_repeats every packet is
        judged by the library's TCP sequence tracker, which leaves out the
        packets of the tracked conversation that only repeat bytes already
        written (retransmissions, duplicates).
        The file is closed also when a packet fails."""
        requests = []
        for packet in packets:
            locator = _locator_of(packet)
            if locator.time_seconds is None:
                raise ValueError("frame %d: a Locator without its time stamp cannot be saved; "
                                 "pass the packet's Summary" % locator.frame_number)
            request = native.SavePacketRequest()
            request.frame_number = locator.frame_number
            request.packet_length = locator.packet_length
            request.captured_length = locator.captured_length
            request.file_offset = locator.file_offset
            request.time_seconds = locator.time_seconds
            request.time_nanoseconds = locator.time_nanoseconds or 0
            request.encapsulation = locator.encapsulation
            request.skip_flag = 1 if skip_tcp_repeats else 0
            requests.append(request)
        with _lock:
            self._require_open()
            engine = self.engine
            raw = engine.raw
            engine._call("save", raw.gCreateCaptureFileForSave, _encode_path(path))
            written, skipped_frames = 0, []
            try:
                skipped = ctypes.c_uint8()
                for request in requests:
                    status = raw.gSavePacketToCaptureFile(ctypes.byref(skipped),
                                                          ctypes.byref(request))
                    engine._dissections += 1
                    if status != 0:
                        raise WsbridgeError(status, engine.library.last_error(), "save")
                    if skipped.value:
                        skipped_frames.append(request.frame_number)
                    else:
                        written += 1
            except BaseException:
                raw.gCloseCaptureFileForSave()
                raise
            engine._call("save", raw.gCloseCaptureFileForSave)
            return SaveResult(str(path), written, tuple(skipped_frames))

    # ---- following ---------------------------------------------------------

    def follow(self, kind: str, packet, packets=None) -> "Stream":
        """Follows the TCP or UDP (kind "tcp" or "udp") conversation of a
        packet over `packets` (Summaries or Locators; by default every packet
        of the capture: the rest of the capture is read first). Returns the
        Stream; a conversation without payload gives a Stream whose `valid`
        is False. Starting a follow ends the stream followed before."""
        kind = kind.lower()
        if kind not in ("tcp", "udp"):
            raise ValueError("kind is \"tcp\" or \"udp\", not %r" % (kind,))
        with _lock:
            self._require_open()
            engine = self.engine
            raw = engine.raw
            locator = _locator_of(packet)
            if packets is None:
                for _ in self:
                    pass
                members = self.locators
            else:
                members = [_locator_of(p) for p in packets]
            tcp = kind == "tcp"
            begin = raw.gFollowTCPStreamForPacket if tcp else raw.gFollowUDPStreamForPacket
            add = raw.gAddPacketToTCPStream if tcp else raw.gAddPacketToUDPStream
            engine._stream = None
            status = begin(*locator.arguments())
            engine._dissections += 1
            if status != 0:
                raise WsbridgeError(status, engine.library.last_error(), "follow")
            stream = Stream(self, kind)
            engine._stream = stream
            for member in members:
                status = add(*member.arguments())
                engine._dissections += 1
                if status != 0:
                    raise WsbridgeError(status, engine.library.last_error(), "follow")
            stream._check()
            return stream

    def follow_tcp(self, packet, packets=None) -> "Stream":
        return self.follow("tcp", packet, packets)

    def follow_udp(self, packet, packets=None) -> "Stream":
        return self.follow("udp", packet, packets)


class Node:
    """One item of a protocol tree. `parent` is None at the top level;
    `children` keeps the tree's order. `handle` is the engine item's opaque
    address, valid only while the tree's packet is the one dissected last."""

    __slots__ = ("tree", "index", "parent_index", "start", "length", "field_type",
                 "abbrev", "name", "label", "handle", "parent", "children")

    def __init__(self, tree: "Tree", record: native.TreeNode):
        self.tree = tree
        self.index = record.index
        self.parent_index = record.parent_index
        self.start = record.start
        self.length = record.length
        self.field_type = _enum(FieldType, record.field_type)
        self.abbrev = _text(record.field_abbrev)
        self.name = _text(record.field_name)
        self.label = _text(record.label)
        self.handle = record.node
        self.parent = None
        self.children = []

    @property
    def depth(self) -> int:
        depth, node = 0, self.parent
        while node is not None:
            depth, node = depth + 1, node.parent
        return depth

    def walk(self) -> Iterator["Node"]:
        """This node and its descendants, depth first."""
        yield self
        for child in self.children:
            yield from child.walk()

    def _value(self, operation, function, value):
        engine = self.tree.engine
        with _lock:
            engine._require_running()
            if self.tree._generation != engine._dissections:
                raise WsbridgeError(1, "The tree's packet is no longer the packet dissected last; "
                                       "build the tree again.", operation)
            engine._call(operation, function, self.handle, *value)

    def uint64(self) -> int:
        """gGetUInt64ProtocolFieldValueByTreeNode."""
        value = ctypes.c_uint64()
        self._value("uint64 value", self.tree.engine.raw.gGetUInt64ProtocolFieldValueByTreeNode,
                    [ctypes.byref(value)])
        return value.value

    def int32(self) -> int:
        """gGetInt32ProtocolFieldValueByTreeNode."""
        value = ctypes.c_int32()
        self._value("int32 value", self.tree.engine.raw.gGetInt32ProtocolFieldValueByTreeNode,
                    [ctypes.byref(value)])
        return value.value

    def string(self) -> str:
        """gGetStringProtocolFieldValueByTreeNode (copied)."""
        pointer, size = ctypes.c_void_p(), ctypes.c_int32()
        with _lock:
            self._value("string value",
                        self.tree.engine.raw.gGetStringProtocolFieldValueByTreeNode,
                        [ctypes.byref(pointer), ctypes.byref(size)])
            return _sized_text(pointer, size.value)

    def __repr__(self):
        return "<wsbridge.Node %d %r>" % (self.index, self.label)


class Tree:
    """A packet's protocol tree: `nodes` in the library's order (depth first,
    parents first), `roots` the top-level items, `data` the packet's bytes."""

    def __init__(self, engine: Engine, locator: Locator, data: bytes, nodes: List[Node]):
        self.engine = engine
        self.locator = locator
        self.data = data
        self.nodes = nodes
        self.roots: List[Node] = []
        self._generation = engine._dissections

    def _link(self):
        for node in self.nodes:
            parent_index = node.parent_index
            if 1 <= parent_index <= len(self.nodes):
                node.parent = self.nodes[parent_index - 1]
                node.parent.children.append(node)
            else:
                self.roots.append(node)

    def __len__(self):
        return len(self.nodes)

    def __iter__(self) -> Iterator[Node]:
        return iter(self.nodes)

    def __getitem__(self, position) -> Node:
        return self.nodes[position]

    def find(self, abbrev: str) -> List[Node]:
        """The nodes of a field name ("tcp.srcport"), in tree order."""
        return [node for node in self.nodes if node.abbrev == abbrev]

    def format(self) -> str:
        """One line per node, indented by depth: "LABEL [start, length]"."""
        return "".join("%s%s [%d, %d]\n" % ("  " * node.depth, node.label, node.start, node.length)
                       for node in self.nodes)


_FORMATS = {"ascii": 0, "ebcdic": 1, "hexdump": 2, "carray": 3}
_DIRECTIONS = {"client": 0, "server": 1, "both": 2}
_C_ARRAY_BYTE = re.compile(rb"0x([0-9a-fA-F]{2})")


class Stream:
    """A followed conversation. `valid` tells whether payload was
    collected; then `client_description`, `server_description` and
    `conversation_description` hold the library's texts. Iterating yields
    (direction, text) with direction "client" or "server", rendered as
    ascii for both directions; lines() takes a format and a direction, and
    payload() yields the bytes of each segment or datagram."""

    def __init__(self, capture: Capture, kind: str):
        self.capture = capture
        self.kind = kind
        self.valid = False
        self.message = ""
        self.client_description = None
        self.server_description = None
        self.conversation_description = None
        self._mid_pass = False

    def _check(self):
        engine = self.capture.engine
        raw = engine.raw
        valid = ctypes.c_uint8(0)
        texts = [ctypes.c_void_p() for _ in range(3)]
        sizes = [ctypes.c_int32() for _ in range(3)]
        outputs = []
        for text, size in zip(texts, sizes):
            outputs += [ctypes.byref(text), ctypes.byref(size)]
        if self.kind == "tcp":
            status = raw.gIsValidTcpStrem(ctypes.byref(valid), 0, *outputs)
        else:
            status = raw.gIsValidUDPStrem(ctypes.byref(valid), *outputs)
        if status != 0:
            engine._stream = None
            raise WsbridgeError(status, engine.library.last_error(), "follow")
        self.valid = bool(valid.value)
        if self.valid:
            self.server_description = _sized_text(texts[0], sizes[0].value)
            self.client_description = _sized_text(texts[1], sizes[1].value)
            self.conversation_description = _sized_text(texts[2], sizes[2].value)
        else:
            self.message = engine.library.last_error()
            engine._stream = None

    def _require_current(self):
        engine = self.capture.engine
        engine._require_running()
        if engine._stream is not self:
            raise WsbridgeError(1, "This stream is no longer the followed stream.", "follow")

    def _next_line(self, render_format, direction_filter):
        raw = self.capture.engine.raw
        function = raw.gGetNextTCPStreamLine if self.kind == "tcp" else raw.gGetNextUDPStreamLine
        text, size = ctypes.c_void_p(), ctypes.c_uint32(0)
        is_server, end = ctypes.c_uint8(0), ctypes.c_uint8(0)
        status = function(render_format, direction_filter, ctypes.byref(text), ctypes.byref(size),
                          ctypes.byref(is_server), ctypes.byref(end))
        if status != 0:
            raise WsbridgeError(status, self.capture.engine.library.last_error(), "stream line")
        if end.value:
            return None
        data = ctypes.string_at(text.value, size.value - 1) if text.value and size.value > 0 else b""
        return ("server" if is_server.value else "client"), data

    def _finish_pass(self):
        # A pass left half way would make the next one start in the middle:
        # read on to the end, where the library starts over.
        while self._mid_pass:
            if self._next_line(0, 2) is None:
                self._mid_pass = False

    def _pass(self, render_format, direction_filter):
        if not self.valid:
            return
        with _lock:
            self._require_current()
            self._finish_pass()
        while True:
            with _lock:
                self._require_current()
                self._mid_pass = True
                line = self._next_line(render_format, direction_filter)
                if line is None:
                    self._mid_pass = False
                    return
            yield line

    def lines(self, format="ascii", direction="both") -> Iterator[Tuple[str, str]]:
        """Yields (direction, text) per segment (TCP) or datagram (UDP).

        format: "ascii", "ebcdic", "hexdump", "carray" (or the library's
        code 0-3); direction: "client", "server", "both" (or 0-3). Each call
        starts at the first segment."""
        render_format = _FORMATS[format] if isinstance(format, str) else int(format)
        direction_filter = _DIRECTIONS[direction] if isinstance(direction, str) else int(direction)
        for sender, data in self._pass(render_format, direction_filter):
            yield sender, _text(data)

    def __iter__(self) -> Iterator[Tuple[str, str]]:
        return self.lines()

    def payload(self, direction="both") -> Iterator[Tuple[str, bytes]]:
        """Yields (direction, bytes): the payload of each segment or datagram
        (decoded from the C array rendering)."""
        direction_filter = _DIRECTIONS[direction] if isinstance(direction, str) else int(direction)
        for sender, data in self._pass(_FORMATS["carray"], direction_filter):
            yield sender, bytes(int(value, 16) for value in _C_ARRAY_BYTE.findall(data))

    def __repr__(self):
        if not self.valid:
            return "<wsbridge.Stream %s empty>" % self.kind
        return "<wsbridge.Stream %s %s>" % (self.kind, self.conversation_description)
