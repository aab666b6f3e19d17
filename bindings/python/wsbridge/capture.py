# SPDX-License-Identifier: GPL-2.0-or-later
"""The open capture: its life, the packets it names, saving, following and
DataFrames. Sequential reading is reading.py's, random access, trees and
values (the packet dissected last) current.py's."""

import ctypes
from typing import Iterator, List, Optional

from . import dataframe, native, statistics
from ._guard import guarded, lock
from .current import CurrentPacket
from .errors import CaptureClosedError, ForeignObjectError
from .native import Status
from .reading import ITERATION_BATCH, Pass, Reading
from .records import Locator, Origin, SaveResult, Summary, encode_path, encode_text
from .stream import Stream

__all__ = ["Capture"]


class Capture(CurrentPacket):
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
        # The packet dissected last as CurrentPacket keeps it.
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

    # ---- saving ------------------------------------------------------------

    #: Save file formats by name (the library's WSB_SAVE_FORMAT_* codes).
    SAVE_FORMATS = {"pcap": 0, "nsecpcap": 1, "pcapng": 2, "capture": 3, "name": 4}

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
        it ("name"), as the command line chooses: pcapng for a name ending in
        .pcapng, libpcap for .pcap (the nanosecond variant when the
        capture's stamps are finer than microseconds), else "capture". With
        skip_tcp_repeats the library's TCP sequence tracker leaves out the
        packets of the first TCP conversation saved that only repeat bytes
        already written (retransmissions, duplicates). Nothing is left at
        path when the save fails."""
        if format is None:
            format = "name"
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

        With jobs=N (N > 1) N new processes (no more than the cores this
        process may use, as the command line's --jobs) read the file, each with its own
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

    # ---- statistics ----------------------------------------------------------

    def statistics(self, requests, jobs=1, text=False):
        """Statistics tables of the whole capture as the engine's taps count
        them, asked for with tshark's -z texts: "conv,PROTOCOL[,FILTER]",
        "endpoints,PROTOCOL[,FILTER]", "io,phs[,FILTER]" and
        "io,stat,INTERVAL[,SERIES]..." (see gRequestStatistics). One request
        (a str) gives one table, a list of them a list, all counted in one
        pass. Each table is a pandas DataFrame (see conversations,
        endpoints, protocol_hierarchy and io for its columns) or, with
        text=True, the text `tshark -n -q -z REQUEST` prints.

        The tables count every packet of the capture, whatever was read
        before and whatever display filter is set (as tshark -Y leaves them
        whole): the capture is read in a pass of its own, and reading goes
        on afterwards as it was (a followed stream ends). With jobs=N, N new
        processes each count one reading share of the capture and the
        tables are added up here, equal to one process's; call it under
        `if __name__ == "__main__":` in a script. A request the library
        refuses raises the error of its code (InvalidSettingError for a
        filter, NotSupportedError for a protocol without conversation
        tables, ...)."""
        single = isinstance(requests, str)
        tables = statistics.capture_tables(self, [requests] if single else list(requests), int(jobs))
        results = [table.text if text else statistics.frame_of(table) for table in tables]
        return results[0] if single else results

    def statistics_text(self, request: str, jobs=1) -> str:
        """The text `tshark -n -q -z REQUEST` prints for the whole capture."""
        return self.statistics(request, jobs, text=True)

    def conversations(self, protocol: str = "ip", filter: Optional[str] = None, jobs=1, text=False):
        """The conversations of a protocol ("eth", "ip", "ipv6", "tcp",
        "udp", ...) as tshark -z conv,PROTOCOL[,FILTER] counts them, the
        most packets first: address_a, port_a, address_b, port_b (A sent the
        first packet; ports 0 for tables without ports), frames_a_to_b,
        bytes_a_to_b, frames_b_to_a, bytes_b_to_a, frames, bytes (int64),
        start (seconds after the capture's first packet) and duration
        (seconds) as float64, start_time (datetime64[ns, UTC]), first_frame,
        conversation_id (tcp.stream and the like, else -1) and address_type
        (a WSB_AT_* code). See statistics() for how it is counted."""
        return self.statistics(statistics.requested("conv", protocol, filter), jobs, text)

    def endpoints(self, protocol: str = "ip", filter: Optional[str] = None, jobs=1, text=False):
        """The endpoints of a protocol as tshark -z endpoints,PROTOCOL
        counts them: address, port, frames, bytes, tx_frames, tx_bytes,
        rx_frames, rx_bytes (what it sent and received), first_frame and
        address_type, the most packets first."""
        return self.statistics(statistics.requested("endpoints", protocol, filter), jobs, text)

    def protocol_hierarchy(self, filter: Optional[str] = None, jobs=1, text=False):
        """The protocol hierarchy as tshark -z io,phs counts it, a row per
        protocol in the order tshark prints them: protocol (the filter
        name), path ("eth:ethertype:ip"), depth, parent (the parent's row,
        -1 at depth 0), frames, bytes and first_frame."""
        return self.statistics(statistics.requested("io,phs", None, filter), jobs, text)

    def io(self, interval=1, filters=None, jobs=1, text=False):
        """Traffic per interval as tshark -z io,stat,INTERVAL,SERIES...
        counts it: `interval` in seconds (0: the whole capture as one
        interval), one series per text of `filters` (a display filter, or
        tshark's FRAMES(), BYTES(), COUNT(FIELD), SUM(FIELD), MIN(FIELD),
        MAX(FIELD), AVG(FIELD) followed by a filter; none: every packet).
        A row per interval and series, every interval up to the capture's
        last packet: interval (its number), start (seconds after the first
        packet), series (its position), filter (its text), frames and bytes;
        with a function series also value (float64: the function's value,
        relative times in seconds, 0 where the interval has none; NaN for
        series without a function)."""
        return self.statistics(statistics.io_request(interval, filters), jobs, text)

