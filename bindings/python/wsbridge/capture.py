# SPDX-License-Identifier: GPL-2.0-or-later
"""The open capture: sequential reading, random access, trees, matched
fields, saving, following and DataFrames."""

import collections
import contextlib
import ctypes
import dataclasses
import types
from array import array
from typing import Iterator, List, Optional

from . import native
from .batch import BatchBuffers
from ._guard import guarded, lock
from .errors import (CaptureClosedError, ForeignObjectError, InvalidSettingError, StateError,
                     UnknownFieldError, WsbridgeError)
from .native import FieldType, Status
from .records import (FieldLocation, Locator, Origin, SaveResult, Summary, encode_path,
                      encode_text, enum_or_int, sized_text)
from .stream import Stream
from .tree import Node, Tree

__all__ = ["Capture"]

# Packets read per library call while iterating a capture.
ITERATION_BATCH = 128

_summary_of = Summary._from_unpacked


def _locator_values(record):
    """The five locator values of a PacketSummary record."""
    return (record.frame_number, record.file_offset, record.captured_length,
            record.packet_length, record.encapsulation)


class Capture:
    """The open capture. Iterating it reads the packets in sequence as
    Summary objects; the iteration continues where it stopped and ends at
    the end of the capture. Use it as a context manager or call close().

    The packets are read ITERATION_BATCH at a time (gGetNextPacketBatch):
    one call into the library per batch. The calls that read the packet
    dissected last (matched_fields, the value getters, field locations,
    payload offsets) still answer for the packet iteration returned last:
    the first such call reads the capture again up to that packet, and from
    then on the capture is read one packet a call.

    A call that names a packet takes a Summary or Locator of this capture
    (or a Locator built by hand); one of another capture, or of this file
    opened before, raises ForeignObjectError (also ValueError)."""

    def __init__(self, engine, path):
        self.engine = engine
        self._engine = engine
        self.path = path
        self._origin = Origin(path)
        self._at_end = False
        self._filter = None
        # Where sequential reading stands: the frame number returned last,
        # and whether the filter changed after reading began (then the
        # packets returned so far are not those the filter keeps).
        self._position = 0
        self._filter_changed = False
        # Packets read ahead in a batch and not returned yet (unpacked
        # PacketSummary records), the batch buffers and their size.
        self._ahead = collections.deque()
        self._batches = None
        self._batch_size = ITERATION_BATCH
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
            self._close()

    def _close(self):
        with guarded("close", self) as call:
            self._forget()
            engine = self.engine
            if engine._capture is self:
                engine._capture = None
                engine._stream = None
            engine._dissected()
            engine.raw.gFreePacketProtocolTree()  # the records of the last tree
            engine.raw.gSetDisplayFilter(None)  # the next capture starts unfiltered
            call(engine.raw.gCloseCapture)

    def __enter__(self) -> "Capture":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __repr__(self):
        return "<wsbridge.Capture %r%s>" % (self.path, " closed" if self.closed else "")

    # ---- sequential reading ----------------------------------------------

    def next_packet(self) -> Optional[Summary]:
        """Reads the next packet; None at the end of the capture."""
        with guarded("read", self) as call:
            return self._next(call)

    def _next(self, call) -> Optional[Summary]:
        if self._at_end:
            return None
        ahead = self._ahead
        if not ahead:
            batches = self._batches
            if batches is None or batches.capacity != self._batch_size:
                batches = self._batches = BatchBuffers(self._batch_size)
            packets = batches.read(call)
            if not packets:
                self._at_end = True
                return None
            records = list(batches.summary_tuples(packets))
            ahead.extend(records)
            # The locators are kept as the packets are read; those still
            # ahead are taken back if reading goes back (_reopen).
            for values, index in self._locator_columns:
                values.extend([record[index] for record in records])
        values = ahead.popleft()
        self._position = values[0]
        return _summary_of(values, self._origin)

    @property
    def _locator_columns(self):
        """The locator arrays with the index of their value in an unpacked
        PacketSummary record."""
        return ((self._frames, 0), (self._offsets, 6), (self._captured, 2), (self._lengths, 1),
                (self._encapsulations, 10), (self._seconds, 8), (self._nanoseconds, 9))

    def _settle(self, call):
        """Before a call that reads the packet dissected last or dissects a
        packet: while packets are read ahead, the engine has seen more of
        the capture than iteration returned (what it learnt of later
        packets would show in trees and values, and the packet dissected
        last is not the one returned last). The capture is then read again
        up to the packet iteration returned last, which becomes the current
        one, and from then on one packet a call."""
        if self._ahead:
            self._put_back(call, False)
            self._batch_size = 1

    def set_filter(self, filter: Optional[str]) -> None:
        """Reads only the packets that match the display filter from here on
        (gSetDisplayFilter), as tshark -Y does in its single pass: the
        packets in between are still dissected, so frame numbers, times and
        conversations are those of the whole file. None or "" clears it. A
        filter that does not compile raises InvalidSettingError (also
        ValueError) with the engine's message, and the filter before stays.
        The filter ends with the capture."""
        with guarded("set filter", self) as call:
            text = encode_text(filter, "display filter") if filter else None
            # The packets read ahead were chosen by the filter before.
            self._settle(call)
            call(self.engine.raw.gSetDisplayFilter, text, failure=InvalidSettingError)
            if self._position and (filter or None) != self._filter:
                self._filter_changed = True
            self._filter = filter or None

    @property
    def filter(self) -> Optional[str]:
        """The display filter set on this capture, or None."""
        return self._filter

    # ---- passes of the package's own ------------------------------------

    def _reopen(self, call):
        """Opens the capture's file again (gOpenCapture), so that reading
        starts over at its first packet, unfiltered. The library forgets
        what it read (a followed stream ends); the Summaries and Locators of
        this capture stay good, as they name the same file's packets."""
        engine = self.engine
        if self._ahead:
            for values, _ in self._locator_columns:
                del values[-len(self._ahead):]
            self._ahead.clear()
        call(engine.raw.gOpenCapture, encode_path(self.path))
        engine._dissected()
        engine._stream = None
        call(engine.raw.gSetDisplayFilter, None)

    def _read_record(self, call, record) -> bool:
        """Reads the next packet into `record` without counting it as read
        by the caller of the capture; False at the end."""
        status = call(self.engine.raw.gGetNextPacket, ctypes.byref(record), accept=(Status.END,),
                      dissects=True)
        return status == Status.OK

    @contextlib.contextmanager
    def _own_pass(self, call, filter=None, texts=True):
        """A pass over the whole capture for the package itself (a DataFrame,
        a follow), whatever was read before: the file is opened again, with
        `filter` and the summary texts on or off. Yields a
        types.SimpleNamespace whose `at_end` the pass sets once it has read
        to the end. Afterwards the capture is as it was: its display filter
        and reading position (restored by reading up to the packet returned
        last, or to the end, when the pass did not end there)."""
        raw = self.engine.raw
        state = types.SimpleNamespace(at_end=False)
        self._reopen(call)
        try:
            call(raw.gSetSummaryTexts, 1 if texts else 0)
            if filter:
                call(raw.gSetDisplayFilter, encode_text(filter, "display filter"),
                     failure=InvalidSettingError)
            yield state
        finally:
            self._put_back(call, state.at_end)

    def _put_back(self, call, at_end):
        """Sets the capture's own reading position, display filter and
        summary texts again after a pass of the package's (which ended at
        the end of the capture when `at_end`)."""
        raw = self.engine.raw
        try:
            if not (at_end and self._at_end):
                self._reopen(call)
                if self._at_end or self._position:
                    # Read as the caller did when the filter stayed the same
                    # (the byte counts of returned packets come out alike);
                    # the packet returned last matches it then.
                    if self._filter and not self._filter_changed:
                        call(raw.gSetDisplayFilter, encode_text(self._filter, "display filter"))
                    call(raw.gSetSummaryTexts, 0)
                    record = native.PacketSummary()
                    while self._read_record(call, record):
                        if not self._at_end and record.frame_number == self._position:
                            break
                    else:
                        self._at_end = True
        finally:
            raw.gSetSummaryTexts(1)
            raw.gSetDisplayFilter(encode_text(self._filter, "display filter")
                                  if self._filter else None)

    def __iter__(self) -> Iterator[Summary]:
        return self

    def __next__(self) -> Summary:
        # A packet read ahead needs no call into the library, nor the lock:
        # taking it from the deque is atomic.
        if self._ahead and self._origin.open:
            try:
                values = self._ahead.popleft()
            except IndexError:
                pass
            else:
                self._position = values[0]
                return _summary_of(values, self._origin)
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
        return [Locator(*values, origin=self._origin) for values in zip(
            self._frames, self._offsets, self._captured, self._lengths,
            self._encapsulations, self._seconds, self._nanoseconds)]

    # ---- random access -----------------------------------------------------

    def packet(self, packet) -> Summary:
        """Re-reads and re-dissects a packet by its locator
        (gGetPacketAtOffset); it becomes the packet dissected last."""
        record = native.PacketSummary()
        with guarded("packet", self) as call:
            locator = self._locator(packet, call.operation)
            self._settle(call)
            call(self.engine.raw.gGetPacketAtOffset, ctypes.byref(record), *locator.arguments(),
                 dissects=True)
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
        (gBuildPacketProtocolTree and the node calls). The Tree's node
        value getters work until another packet is dissected."""
        length = ctypes.c_int32(0)
        data = ctypes.POINTER(ctypes.c_uint8)()
        count = ctypes.c_int32(0)
        record = native.TreeNode()
        with guarded("tree", self) as call:
            raw = self.engine.raw
            locator = self._locator(packet, call.operation)
            self._settle(call)
            call(raw.gBuildPacketProtocolTree, ctypes.byref(length), ctypes.byref(data),
                 *locator.arguments(), dissects=True)
            payload = ctypes.string_at(data, length.value) if length.value > 0 else b""
            call(raw.gGetProtocolTreeNodesCount, ctypes.byref(count))
            nodes = []
            tree = Tree(self, locator, payload, nodes)
            for position in range(count.value):
                call(raw.gGetTreeNodeByIndex, ctypes.byref(record), position)
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
        the fields of interest before reading. An unknown group raises
        UnknownFieldError (also KeyError); with no current packet (nothing
        read yet, or the end of the capture reached) the call raises
        StateError (also RuntimeError)."""
        with guarded("matched fields", self) as call:
            return self._matched(call, group)

    def _matched(self, call, group):
        self._settle(call)
        count = ctypes.c_int32(0)
        ids = ctypes.POINTER(ctypes.c_int32)()
        status = call(self.engine.raw.gLastPacketHasPassedFilter, encode_text(group, "group name"),
                      ctypes.byref(count), ctypes.byref(ids), accept=(Status.FAILED,))
        if status == Status.FAILED:
            # An unknown group carries WSB_E_UNKNOWN_FIELD (UnknownFieldError);
            # a call with no packet to ask about is out of order.
            raise call.error(failure=StateError)
        return [ids[i] for i in range(count.value)] if ids else []

    def _location(self, operation, function, field_id):
        position, length, kind = ctypes.c_int32(), ctypes.c_int32(), ctypes.c_int32()
        with guarded(operation, self) as call:
            self._settle(call)
            call(function, field_id, ctypes.byref(position), ctypes.byref(length),
                 ctypes.byref(kind))
        return FieldLocation(position.value, length.value, enum_or_int(FieldType, kind.value))

    def field_location(self, field_id: int) -> FieldLocation:
        """A matched field's offset from the TCP/UDP payload, length and type
        (gGetFieldInfo)."""
        return self._location("field location", self.engine.raw.gGetFieldInfo, field_id)

    def field_location_ex(self, field_id: int) -> FieldLocation:
        """A matched field's start in its data source, length and type
        (gGetFieldInfoEx)."""
        return self._location("field location", self.engine.raw.gGetFieldInfoEx, field_id)

    def _offset(self, operation, function):
        offset = ctypes.c_int32()
        with guarded(operation, self) as call:
            self._settle(call)
            call(function, ctypes.byref(offset))
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

    def _value(self, call, kind, field_id):
        """A matched field's value by getter kind ("uint64", "int32",
        "string"), under the lock the caller holds."""
        raw = self.engine.raw
        self._settle(call)
        if kind in ("string", "text"):
            pointer, size = ctypes.c_void_p(), ctypes.c_int32()
            getter = raw.gGetStringProtocolFieldValue if kind == "string" else raw.gGetFieldValueText
            call(getter, ctypes.byref(pointer), ctypes.byref(size), field_id)
            return sized_text(pointer, size.value)
        if kind in ("uint64", "int64"):
            value = ctypes.c_uint64()
            call(raw.gGetUInt64ProtocolFieldValue, ctypes.byref(value), field_id)
            if kind == "int64":
                return ctypes.c_int64(value.value).value
        else:
            value = ctypes.c_int32()
            call(raw.gGetInt32ProtocolFieldValue, ctypes.byref(value), field_id)
        return value.value

    def uint64(self, field_id: int) -> int:
        """gGetUInt64ProtocolFieldValue of a matched field."""
        with guarded("uint64 value", self) as call:
            return self._value(call, "uint64", field_id)

    def int32(self, field_id: int) -> int:
        """gGetInt32ProtocolFieldValue of a matched field."""
        with guarded("int32 value", self) as call:
            return self._value(call, "int32", field_id)

    def string(self, field_id: int) -> str:
        """gGetStringProtocolFieldValue of a matched field (copied)."""
        with guarded("string value", self) as call:
            return self._value(call, "string", field_id)

    def value_text(self, field_id: int) -> str:
        """A matched field's value of any type as tshark -T fields prints it
        (gGetFieldValueText): "0x0018" for tcp.flags, times, MAC addresses,
        bytes as hex digits, ... A protocol field gives its filter name here
        ("ip"); a tree node's value_text() gives its label."""
        with guarded("value text", self) as call:
            return self._value(call, "text", field_id)

    # ---- saving ------------------------------------------------------------

    #: Save file formats by name (the library's WSB_SAVE_FORMAT_* codes).
    SAVE_FORMATS = {"pcap": 0, "nsecpcap": 1, "pcapng": 2, "capture": 3}

    def save(self, path, packets, skip_tcp_repeats: bool = False, format: str = None) -> SaveResult:
        """Writes the given packets (Summary objects, or Locators with their
        time stamp) into a new capture file at path, in the order given
        (gCreateCaptureFileForSave, gSavePacketToCaptureFile per packet,
        gCloseCaptureFileForSave). Without format the file is libpcap, in
        the nanosecond variant when the capture's stamps are finer than
        microseconds; format "pcapng" keeps interfaces, comments and several
        link types, "pcap" and "nsecpcap" name a libpcap variant, "capture"
        takes the capture's own format (pcapng when it is another one).
        With skip_tcp_repeats every packet is
        judged by the library's TCP sequence tracker, which leaves out the
        packets of the tracked conversation that only repeat bytes already
        written (retransmissions, duplicates).
        Every packet is checked before the file is made; the file is closed
        also when a packet fails."""
        with guarded("save", self) as call:
            requests = [self._save_request(packet, skip_tcp_repeats, call.operation)
                        for packet in packets]
            self._settle(call)
            raw = self.engine.raw
            if format is None:
                call(raw.gCreateCaptureFileForSave, encode_path(path))
            elif format in self.SAVE_FORMATS:
                call(raw.gCreateCaptureFileForSaveInFormat, encode_path(path), self.SAVE_FORMATS[format])
            else:
                raise ValueError("format must be one of %s, not %r" % (", ".join(self.SAVE_FORMATS), format))
            written, skipped_frames = 0, []
            try:
                skipped = ctypes.c_uint8()
                for request in requests:
                    call(raw.gSavePacketToCaptureFile, ctypes.byref(skipped),
                         ctypes.byref(request), dissects=True)
                    if skipped.value:
                        skipped_frames.append(request.frame_number)
                    else:
                        written += 1
            except BaseException:
                raw.gCloseCaptureFileForSave()
                raise
            call(raw.gCloseCaptureFileForSave)
        return SaveResult(str(path), written, tuple(skipped_frames))

    def _save_request(self, packet, skip_tcp_repeats, operation):
        locator = self._locator(packet, operation)
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
        return request

    # ---- following ---------------------------------------------------------

    def follow(self, kind: str, packet, packets=None) -> Stream:
        """Follows the TCP or UDP (kind "tcp" or "udp") conversation of a
        packet over `packets` (Summaries or Locators), by default over every
        packet of the capture whatever its display filter: the capture is
        read from its first packet to its end in one pass (iterating it
        afterwards gives nothing more; its filter stays). Returns the
        Stream; a conversation without payload gives a Stream whose `valid`
        is False. Starting a follow ends the stream followed before."""
        kind = kind.lower()
        if kind not in ("tcp", "udp"):
            raise ValueError("kind is \"tcp\" or \"udp\", not %r" % (kind,))
        with guarded("follow", self) as call:
            locator = self._locator(packet, call.operation)
            if packets is not None:
                members = [self._locator(member, call.operation) for member in packets]
                self._settle(call)
                stream = Stream._start(self, call, kind, locator)
                for member in members:
                    stream._add(call, member.arguments())
                stream._collect(call)
                return stream
            with self._own_pass(call, texts=False) as state:
                stream = self._follow_whole(call, kind, locator)
                state.at_end = True
                self._at_end = True
            return stream

    def _follow_whole(self, call, kind, locator) -> Stream:
        """The follow of every packet, in one pass from the first: the
        packets before the followed one are read in sequence (the engine
        then knows the conversation as it is) and added once the follow has
        started, the later ones as they are read."""
        record = native.PacketSummary()
        # The locators of the packets before it, kept compactly.
        before = [array("I"), array("q"), array("i"), array("I"), array("i")]
        while True:
            if not self._read_record(call, record):
                raise WsbridgeError(Status.FAILED, "Frame %d is not a packet of \"%s\"."
                                    % (locator.frame_number, self.path), call.operation)
            if record.frame_number == locator.frame_number:
                break
            for values, value in zip(before, _locator_values(record)):
                values.append(value)
        stream = Stream._start(self, call, kind, locator)
        for arguments in zip(*before):
            stream._add(call, arguments)
        del before
        stream._add(call, locator.arguments())
        while self._read_record(call, record):
            stream._add_read(call, record)
        stream._collect(call)
        return stream

    def follow_tcp(self, packet, packets=None) -> Stream:
        return self.follow("tcp", packet, packets)

    def follow_udp(self, packet, packets=None) -> Stream:
        return self.follow("udp", packet, packets)

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
        Protocol, Info and address texts as strings. Then one column per
        field name in `fields`, with the field's first occurrence in the
        packet (missing when absent): integers of any width as "UInt64" or
        "Int64", booleans as "boolean", floats as float64, absolute times as
        datetime64[ns, UTC], relative times as timedelta64[ns], anything
        else as its text as tshark -T fields prints it ("string"; a
        protocol such as "ip" its label, for which each packet is dissected
        a second time, by its offset). With
        occurrence="all" each field cell is the list of every occurrence in
        tree order, hidden items included (ip.addr, tcp.port), or None.

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
        jobs = int(jobs)
        if jobs < 1:
            raise ValueError("jobs must be 1 or more, not %r" % (jobs,))
        if jobs > 1:
            from .parallel import shared_dataframe
            self._check("to_dataframe")
            return shared_dataframe(self.path, tuple(fields) if not isinstance(fields, str) else (fields,),
                                    filter if filter is not None else self.filter, occurrence, jobs)
        from .dataframe import to_dataframe
        return to_dataframe(self, fields, filter, occurrence)
