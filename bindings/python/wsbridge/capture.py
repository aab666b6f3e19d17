# SPDX-License-Identifier: GPL-2.0-or-later
"""The open capture: its life, the packets it names, random access, trees,
matched fields and values, saving, following and DataFrames. Sequential
reading is reading.py's."""

import ctypes
import dataclasses
import os
from typing import Iterator, List, Optional

from . import dataframe, native
from ._guard import guarded, lock
from .errors import CaptureClosedError, ForeignObjectError, StateError
from .native import FieldType, Status
from .reading import ITERATION_BATCH, Pass, Reading
from .records import (FieldLocation, Locator, Origin, SaveResult, Summary, encode_path,
                      encode_text, enum_or_int, sized_text)
from .stream import Stream
from .tree import Tree

__all__ = ["Capture"]


class Capture:
    """The open capture. Each iteration (for, list(), iter()) is a pass of
    its own over the packets, from the first, as Summary objects: the file
    is opened again when reading began before (a followed stream ends then).
    next(capture), next_packet() and read_all() go on from the packet handed
    out last; a pass overtaken by another pass or by them raises StateError
    at its next step. Use it as a context manager or call close().

    The calls that read the packet dissected last (matched_fields, the
    value getters, field locations, payload offsets) answer for the packet
    handed out last (by iteration, next_packet, packet() or tree()), and
    they and trees answer as if the capture had been read one packet at a
    time: the first of them reads the capture again up to the packet
    handed out last, and from then on the capture is read a packet a call.
    The packet is read again by its offset when another packet was
    dissected since. Following, saving, trees and DataFrames leave reading
    where it was.

    A call that names a packet takes a Summary or Locator of this capture
    (or a Locator built by hand); one of another capture, or of this file
    opened before, raises ForeignObjectError (also ValueError)."""

    def __init__(self, engine, path):
        self.engine = engine
        self._engine = engine
        self.path = path
        self._origin = Origin(path)
        self._reading = Reading(self)
        # The packet handed out last (an unpacked PacketSummary record as
        # reading hands it out, or the Locator given to packet() or tree()),
        # the library's dissection generation in which it was the packet
        # dissected last, and the group whose fields were matched for it
        # last (with the packet it was matched for).
        self._current = None
        self._current_generation = None
        self._matched_group = (None, None)

    # ---- state -------------------------------------------------------------

    @property
    def closed(self) -> bool:
        return not self._origin.open

    def _forget(self):
        self._origin.open = False

    def _check(self, operation):
        self.engine._check(operation)
        if not self._origin.open:
            raise CaptureClosedError(Status.FAILED, "The capture \"%s\" is closed." % (self.path,),
                                     operation)

    def _locator(self, packet, operation) -> Locator:
        """The Locator of a packet named by a Summary, a Locator, a
        native.PacketSummary or a tuple of 5 or 7 values; a packet of another
        capture raises ForeignObjectError."""
        if isinstance(packet, Locator):
            locator = packet
        elif isinstance(packet, Summary):
            locator = packet.locator
        elif isinstance(packet, native.PacketSummary):
            locator = Summary.from_record(packet).locator
        elif isinstance(packet, tuple) and len(packet) in (5, 7):
            locator = Locator(*packet)
        else:
            raise TypeError("a packet is named by a Summary or a Locator, not %r" % (packet,))
        origin = locator.origin
        if origin is not None and origin is not self._origin:
            where = ("another process" if origin.elsewhere
                     else "a capture that is open" if origin.open
                     else "a capture that was closed")
            raise ForeignObjectError(
                Status.FAILED, "Frame %d was read from \"%s\" (%s), not from this capture of \"%s\"."
                % (locator.frame_number, origin.path, where, self.path), operation)
        return locator

    def close(self) -> None:
        """Closes the capture (gCloseCapture), ending a followed stream.
        Closing a closed capture does nothing."""
        with lock:
            if not self._origin.open:
                return
            with guarded("close", self) as call:
                self._forget()
                engine = self.engine
                if engine._capture is self:
                    engine._capture = None
                    engine._stream = None
                engine.raw.gFreePacketProtocolTree()  # the records of the last tree
                engine.raw.gSetDisplayFilter(None)  # the next capture starts unfiltered
                call(engine.raw.gCloseCapture)

    def __enter__(self) -> "Capture":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __repr__(self):
        return "<wsbridge.Capture %r%s>" % (self.path, " closed" if self.closed else "")

    # ---- sequential reading (reading.py) -----------------------------------

    def __iter__(self) -> Iterator[Summary]:
        return Pass(self)

    def next_packet(self) -> Optional[Summary]:
        """Reads the next packet after the one handed out last; None at the
        end of the capture."""
        with guarded("read", self) as call:
            self._reading.owner = None
            return self._reading.next(call, 1)

    def __next__(self) -> Summary:
        summary = self.next_packet()
        if summary is None:
            raise StopIteration
        return summary

    def read_all(self) -> List[Summary]:
        """Reads the rest of the capture, after the packet handed out last."""
        with guarded("read", self) as call:
            reading = self._reading
            reading.owner = None
            packets = []
            while True:
                summary = reading.next(call, ITERATION_BATCH)
                if summary is None:
                    return packets
                packets.append(summary)

    @property
    def at_end(self) -> bool:
        return self._reading.at_end

    @property
    def locators(self) -> List[Locator]:
        """The locators of the packets handed out since the file was opened
        (by the pass that began last, next_packet and read_all)."""
        with lock:
            return self._reading.locators()

    def set_filter(self, filter: Optional[str]) -> None:
        """Reads only the packets that match the display filter from here on
        (gSetDisplayFilter), as tshark -Y does in its single pass: the
        packets in between are still dissected, so frame numbers, times and
        conversations are those of the whole file. None or "" clears it. A
        filter that does not compile raises InvalidSettingError (also
        ValueError) with the engine's message, and the filter before stays.
        The filter ends with the capture."""
        with guarded("set filter", self) as call:
            self._reading.set_filter(call, filter)

    @property
    def filter(self) -> Optional[str]:
        """The display filter set on this capture, or None."""
        return self._reading.filter

    # ---- the packet dissected last -----------------------------------------

    def _dissect_current(self, call):
        """Makes the packet handed out last the library's packet dissected
        last: read again by its offset unless it was since the last
        dissection, and its fields matched again for the group asked last."""
        self._reading.settle(call)
        current = self._current
        if current is None or self._current_generation == call.generation():
            return
        arguments = current.arguments() if isinstance(current, Locator) else \
            (current[0], current[6], current[2], current[1], current[10])
        call(self.engine.raw.gGetPacketAtOffset, None, *arguments)
        self._current_generation = call.generation()
        group, matched_for = self._matched_group
        if matched_for is current:
            self._matched(call, group)

    def _made_current(self, call, locator):
        self._current, self._current_generation = locator, call.generation()

    def packet(self, packet) -> Summary:
        """Re-reads and re-dissects a packet by its locator
        (gGetPacketAtOffset); it becomes the packet dissected last."""
        record = native.PacketSummary()
        with guarded("packet", self) as call:
            locator = self._locator(packet, call.operation)
            self._reading.settle(call)
            call(self.engine.raw.gGetPacketAtOffset, ctypes.byref(record), *locator.arguments())
            self._made_current(call, locator)
        summary = Summary.from_record(record, self._origin)
        if isinstance(packet, Summary):
            # What only sequential reading writes comes from the packet's summary.
            return dataclasses.replace(
                summary, relative_time=packet.relative_time, time_seconds=packet.time_seconds,
                time_nanoseconds=packet.time_nanoseconds, encapsulation=packet.encapsulation,
                protocol_text=packet.protocol_text, info_text=packet.info_text)
        return dataclasses.replace(
            summary, encapsulation=locator.encapsulation, time_seconds=locator.time_seconds or 0,
            time_nanoseconds=locator.time_nanoseconds or 0)

    def tree(self, packet) -> Tree:
        """Re-reads a packet by its locator and returns its protocol tree
        (gBuildPacketProtocolTree and the node calls); it becomes the packet
        dissected last. The Tree's node value getters work until another
        packet is dissected."""
        with guarded("tree", self) as call:
            locator = self._locator(packet, call.operation)
            self._reading.settle(call)
            tree = Tree._build(self, call, locator)
            self._made_current(call, locator)
        return tree

    def matched_fields(self, group: str) -> List[int]:
        """The ids of the group's registered fields that occurred in the
        packet dissected last (gLastPacketHasPassedFilter), in registration
        order; they become the matched fields that field_location() and the
        by-id getters read. Only packets dissected after the registry was
        compiled (by Engine.field_info) record fields: call field_info for
        the fields of interest before reading. An unknown group raises
        UnknownFieldError (also KeyError); with no current packet (nothing
        read yet, or the end of the capture reached) the call raises
        StateError (also RuntimeError)."""
        with guarded("matched fields", self) as call:
            self._dissect_current(call)
            return self._matched(call, group)

    def _matched(self, call, group):
        count = ctypes.c_int32(0)
        ids = ctypes.POINTER(ctypes.c_int32)()
        status = call(self.engine.raw.gLastPacketHasPassedFilter, encode_text(group, "group name"),
                      ctypes.byref(count), ctypes.byref(ids), accept=(Status.FAILED,))
        if status == Status.FAILED:
            # An unknown group carries WSB_E_UNKNOWN_FIELD (UnknownFieldError);
            # a call with no packet to ask about is out of order.
            raise call.error(failure=StateError)
        self._matched_group = (group, self._current)
        return [ids[i] for i in range(count.value)] if ids else []

    def _read_current(self, operation, function, *arguments):
        """Calls a getter of the packet dissected last with the outputs
        given, for the packet handed out last."""
        with guarded(operation, self) as call:
            self._dissect_current(call)
            call(function, *(ctypes.byref(item) if isinstance(item, ctypes._SimpleCData) else item
                             for item in arguments))
            if isinstance(arguments[0], ctypes.c_void_p):
                return sized_text(arguments[0], arguments[1].value)
        return arguments

    def _location(self, function, field_id):
        position, length, kind = ctypes.c_int32(), ctypes.c_int32(), ctypes.c_int32()
        self._read_current("field location", function, field_id, position, length, kind)
        return FieldLocation(position.value, length.value, enum_or_int(FieldType, kind.value))

    def field_location(self, field_id: int) -> FieldLocation:
        """A matched field's offset from the TCP/UDP payload, length and type
        (gGetFieldInfo)."""
        return self._location(self.engine.raw.gGetFieldInfo, field_id)

    def field_location_ex(self, field_id: int) -> FieldLocation:
        """A matched field's start in its data source, length and type
        (gGetFieldInfoEx)."""
        return self._location(self.engine.raw.gGetFieldInfoEx, field_id)

    def transport_payload_offset(self) -> int:
        """Offset of the TCP/UDP payload in the frame
        (gGetTransportProtocolPayloadOffset)."""
        return self._read_current("transport payload offset",
                                  self.engine.raw.gGetTransportProtocolPayloadOffset,
                                  ctypes.c_int32())[0].value

    def ipv4_payload_offset(self) -> int:
        """Offset of the first IPv4 header's payload
        (gGetIPv4ProtocolPayloadOffset)."""
        return self._read_current("IPv4 payload offset", self.engine.raw.gGetIPv4ProtocolPayloadOffset,
                                  ctypes.c_int32())[0].value

    def uint64(self, field_id: int) -> int:
        """gGetUInt64ProtocolFieldValue of a matched field."""
        return self._read_current("uint64 value", self.engine.raw.gGetUInt64ProtocolFieldValue,
                                  ctypes.c_uint64(), field_id)[0].value

    def int32(self, field_id: int) -> int:
        """gGetInt32ProtocolFieldValue of a matched field."""
        return self._read_current("int32 value", self.engine.raw.gGetInt32ProtocolFieldValue,
                                  ctypes.c_int32(), field_id)[0].value

    def string(self, field_id: int) -> str:
        """gGetStringProtocolFieldValue of a matched field (copied)."""
        return self._read_current("string value", self.engine.raw.gGetStringProtocolFieldValue,
                                  ctypes.c_void_p(), ctypes.c_int32(), field_id)

    def value_text(self, field_id: int) -> str:
        """A matched field's value of any type as tshark -T fields prints it
        (gGetFieldValueText): "0x0018" for tcp.flags, times, MAC addresses,
        bytes as hex digits, a protocol ("ip") its label, ..."""
        return self._read_current("value text", self.engine.raw.gGetFieldValueText,
                                  ctypes.c_void_p(), ctypes.c_int32(), field_id)

    # ---- saving ------------------------------------------------------------

    #: Save file formats by name (the library's WSB_SAVE_FORMAT_* codes).
    SAVE_FORMATS = {"pcap": 0, "nsecpcap": 1, "pcapng": 2, "capture": 3}

    def save(self, path, packets=None, skip_tcp_repeats: bool = False, format: str = None,
             filter: Optional[str] = None) -> SaveResult:
        """Writes packets of the capture into a new capture file at path in
        one call (gSaveFrames): `packets` (Summaries or Locators) in the
        order given, a packet given twice written twice (None: every packet
        of the capture in its order; an empty list: a valid capture without
        packets), of them only those that match the display filter `filter`
        when one is given, as tshark -Y chooses them in its single pass. The
        capture is read from its first packet for this, whatever was read or
        filtered before, and reading goes on as it was.

        `format`: "pcapng" keeps interfaces, comments and several link
        types, "pcap" and "nsecpcap" name a libpcap variant, "capture" takes
        the capture's own format (pcapng when it is another one); without
        it, as the command line chooses: pcapng for a name ending in
        .pcapng, libpcap for .pcap (the nanosecond variant when the
        capture's stamps are finer than microseconds), else "capture". With
        skip_tcp_repeats the library's TCP sequence tracker leaves out the
        packets of the first TCP conversation saved that only repeat bytes
        already written (retransmissions, duplicates). Nothing is left at
        path when the save fails."""
        if format is None:
            format = _format_for(os.fspath(path), self)
        if format not in self.SAVE_FORMATS:
            raise ValueError("format must be one of %s, not %r" % (", ".join(self.SAVE_FORMATS), format))
        counts = [ctypes.c_int32() for _ in range(3)]
        with guarded("save", self) as call:
            # None: every packet; an empty selection is an array with count 0.
            numbers, frames = [], None
            if packets is not None:
                numbers = [self._locator(packet, call.operation).frame_number for packet in packets]
                frames = (ctypes.c_uint32 * max(len(numbers), 1))(*numbers)
            call(self.engine.raw.gSaveFrames, encode_path(path), self.SAVE_FORMATS[format], frames,
                 len(numbers), encode_text(filter, "display filter") if filter else None,
                 1 if skip_tcp_repeats else 0, *(ctypes.byref(count) for count in counts))
        return SaveResult(str(path), *(count.value for count in counts))

    # ---- following ---------------------------------------------------------

    def follow(self, kind: str, packet) -> Stream:
        """Follows the TCP or UDP (kind "tcp" or "udp") conversation of a
        packet over every packet of the capture, whatever its display filter
        and however far reading came (gFollowConversation); reading goes on
        as it was. Returns the Stream; a conversation without payload gives
        a Stream whose `valid` is False. Starting a follow ends the stream
        followed before."""
        kind = kind.lower()
        if kind not in ("tcp", "udp"):
            raise ValueError("kind is \"tcp\" or \"udp\", not %r" % (kind,))
        with guarded("follow", self) as call:
            return Stream._follow(self, call, kind, self._locator(packet, call.operation))

    def follow_tcp(self, packet) -> Stream:
        return self.follow("tcp", packet)

    def follow_udp(self, packet) -> Stream:
        return self.follow("udp", packet)

    # ---- DataFrames --------------------------------------------------------

    def to_dataframe(self, fields=(), filter=None, occurrence="first", jobs=1):
        """A pandas DataFrame of every packet of the capture that the display
        filter keeps (`filter`, else the capture's own), whatever was read
        before: the capture is read again from its first packet, and left
        as it was found (reading position and filter; a followed stream
        ends, as with any opening of the file).

        One row per packet: frame_number, the lengths, ports and offset as
        integers, `port_type` a categorical of PortType names, `time` the
        time stamp as datetime64[ns, UTC], `relative_time` the seconds since
        the first packet as a float, the address types as integers, the
        whole Protocol and Info texts and the address texts as strings. Then
        one column per field name in `fields`, with the field's first
        occurrence in the packet (missing when absent), typed as the
        library types it: integers of any width as "UInt64" or "Int64",
        booleans as "boolean", floats as float64, absolute times as
        datetime64[ns, UTC], relative times as timedelta64[ns], anything
        else as its text as tshark -T fields prints it ("string"; a protocol
        such as "ip" its label, for which each packet is dissected a second
        time, by its offset). With occurrence="all" each field cell is the
        list of every occurrence in tree order, hidden items included
        (ip.addr, tcp.port), or None.

        The packets are read in batches (gGetNextPacketBatch) and the
        columns made of numpy arrays over the batch buffers.

        With jobs=N (N > 1) N new processes read the file, each with its own
        engine (with this engine's preferences) dissecting one share of the
        capture's conversations (Engine.set_reading_share), and the rows come
        back in frame order: the same frame on N cores, but for fields that
        number the conversations of the whole file (tcp.stream, udp.stream),
        which each process numbers on its own. With a filter, each process
        counts frame.time_delta_displayed from the packet it showed before:
        that column is worked out again over the merged rows. Call it under
        `if __name__ == "__main__":` in a script.

        A filter that does not compile raises InvalidSettingError (also
        ValueError). pandas is optional: without it the call raises
        ImportError saying how to install it."""
        return dataframe.capture_frame(self, fields, self.filter if filter is None else filter,
                                       occurrence, int(jobs))


def _format_for(path, capture):
    """The save format the command line chooses for a file name without -F."""
    lower = path.lower()
    if lower.endswith(".pcapng"):
        return "pcapng"
    if lower.endswith(".pcap"):
        decimals = ctypes.c_int32(6)
        with guarded("save", capture):
            capture.engine.raw.gGetPacketTimePrecision(ctypes.byref(decimals))
        return "nsecpcap" if decimals.value > 6 else "pcap"
    return "capture"
