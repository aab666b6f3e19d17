# SPDX-License-Identifier: GPL-2.0-or-later
"""A followed TCP or UDP conversation."""

import collections
import ctypes
import re
from typing import Iterator, Tuple

from ._guard import guarded
from .errors import StaleObjectError
from .native import Direction, RenderFormat, Status
from .records import sized_text, text

__all__ = ["Stream"]

_C_ARRAY_BYTE = re.compile(rb"0x([0-9a-fA-F]{2})")


def _code(kind, value):
    """A RenderFormat or Direction given by its name ("hexdump"); a code is
    passed on as it is, for the library to judge."""
    return kind[value.upper()] if isinstance(value, str) else int(value)


class _Pass:
    """One iteration over a stream's lines. The library has one cursor per
    stream; the pass that moves it is the stream's reader. When another
    pass starts, the reader's remaining lines are read into its `buffer`
    first, so that every pass goes on from its own place."""

    __slots__ = ("render_format", "direction_filter", "buffer")

    def __init__(self, render_format, direction_filter):
        self.render_format = render_format
        self.direction_filter = direction_filter
        self.buffer = None


# The reader of a stream whose pass was left half way: its remaining lines
# are read and dropped before the next pass starts at the first line.
_LEFT = _Pass(RenderFormat.ASCII, Direction.BOTH)


class Stream:
    """A followed conversation. `valid` tells whether payload was
    collected; then `client_description`, `server_description` and
    `conversation_description` hold the library's texts. Iterating yields
    (direction, text) with direction "client" or "server", rendered as
    ascii for both directions; lines() takes a format and a direction, and
    payload() yields the bytes of each segment or datagram. Every iterator
    starts at the first line and keeps its own place, also when several
    are used in turn. The lines are readable until the next follow or until
    the capture closes."""

    def __init__(self, capture, kind: str):
        self.capture = capture
        self._engine = capture.engine
        self.kind = kind
        self.valid = False
        self.message = ""
        self.client_description = None
        self.server_description = None
        self.conversation_description = None
        self._reader = None  # the _Pass that moved the library's cursor last

    @classmethod
    def _start(cls, capture, call, kind, locator):
        """Starts following the conversation of `locator` (under the lock
        the caller holds); _add each packet to consider in capture order,
        then _collect."""
        engine = capture.engine
        raw = engine.raw
        engine._stream = None
        call(raw.gFollowTCPStreamForPacket if kind == "tcp" else raw.gFollowUDPStreamForPacket,
             *locator.arguments(), dissects=True)
        stream = cls(capture, kind)
        engine._stream = stream
        return stream

    def _add(self, call, arguments):
        """Adds a packet, re-read by its five locator values."""
        raw = self._engine.raw
        call(raw.gAddPacketToTCPStream if self.kind == "tcp" else raw.gAddPacketToUDPStream,
             *arguments, dissects=True)

    def _add_read(self, call, record):
        """Adds the packet that sequential reading returned last (its
        PacketSummary record): a TCP follow takes it from that dissection,
        and a UDP follow has collected it while it was dissected."""
        if self.kind == "tcp":
            call(self._engine.raw.gAddPacketToTCPStream, record.frame_number, record.file_offset,
                 record.captured_length, record.packet_length, record.encapsulation,
                 dissects=True)

    def _collect(self, call):
        engine = self._engine
        valid = ctypes.c_uint8(0)
        texts = [ctypes.c_void_p() for _ in range(3)]
        sizes = [ctypes.c_int32() for _ in range(3)]
        outputs = []
        for pointer, size in zip(texts, sizes):
            outputs += [ctypes.byref(pointer), ctypes.byref(size)]
        try:
            if self.kind == "tcp":
                call(engine.raw.gIsValidTcpStrem, ctypes.byref(valid), 0, *outputs)
            else:
                call(engine.raw.gIsValidUDPStrem, ctypes.byref(valid), *outputs)
        except BaseException:
            engine._stream = None
            raise
        self.valid = bool(valid.value)
        if self.valid:
            self.server_description = sized_text(texts[0], sizes[0].value)
            self.client_description = sized_text(texts[1], sizes[1].value)
            self.conversation_description = sized_text(texts[2], sizes[2].value)
        else:
            self.message = engine.library.last_error()
            engine._stream = None

    def _check(self, operation):
        self.capture._check(operation)
        if self._engine._stream is not self:
            raise StaleObjectError(Status.FAILED, "This stream is no longer the followed stream.",
                                   operation)

    def _next_line(self, call, render_format, direction_filter):
        raw = self._engine.raw
        function = raw.gGetNextTCPStreamLine if self.kind == "tcp" else raw.gGetNextUDPStreamLine
        data, size = ctypes.c_void_p(), ctypes.c_uint32(0)
        is_server, end = ctypes.c_uint8(0), ctypes.c_uint8(0)
        call(function, render_format, direction_filter, ctypes.byref(data), ctypes.byref(size),
             ctypes.byref(is_server), ctypes.byref(end))
        if end.value:
            return None
        line = ctypes.string_at(data.value, size.value - 1) if data.value and size.value > 0 else b""
        return ("server" if is_server.value else "client"), line

    def _take_cursor(self, call, reader):
        """Makes `reader` the pass that moves the library's cursor. The pass
        that moved it before keeps its remaining lines in its buffer (a pass
        left half way loses them); then the cursor is at the end, where the
        library starts over at the first line."""
        before = self._reader
        if before is not None:
            rest = None if before is _LEFT else collections.deque()
            while True:
                line = self._next_line(call, before.render_format, before.direction_filter)
                if line is None:
                    break
                if rest is not None:
                    rest.append(line)
            if rest is not None:
                before.buffer = rest
        self._reader = reader

    def _pass(self, render_format, direction_filter):
        if not self.valid:
            return
        reader = _Pass(render_format, direction_filter)
        try:
            while True:
                with guarded("stream line", self) as call:
                    if reader.buffer is not None:
                        if not reader.buffer:
                            return
                        line = reader.buffer.popleft()
                    else:
                        if self._reader is not reader:
                            self._take_cursor(call, reader)
                        line = self._next_line(call, render_format, direction_filter)
                        if line is None:
                            self._reader = None
                            return
                yield line
        finally:
            # Left half way (closed, collected or failed): the next pass
            # reads past what remains.
            if self._reader is reader:
                self._reader = _LEFT

    def lines(self, format="ascii", direction="both") -> Iterator[Tuple[str, str]]:
        """Yields (direction, text) per segment (TCP) or datagram (UDP).

        format: "ascii", "ebcdic", "hexdump", "carray" (or a RenderFormat);
        direction: "client", "server", "both" (or a Direction). Each call
        starts at the first segment."""
        for sender, data in self._pass(_code(RenderFormat, format), _code(Direction, direction)):
            yield sender, text(data)

    def __iter__(self) -> Iterator[Tuple[str, str]]:
        return self.lines()

    def payload(self, direction="both") -> Iterator[Tuple[str, bytes]]:
        """Yields (direction, bytes): the payload of each segment or datagram
        (decoded from the C array rendering)."""
        for sender, data in self._pass(RenderFormat.CARRAY, _code(Direction, direction)):
            yield sender, bytes(int(value, 16) for value in _C_ARRAY_BYTE.findall(data))

    def __repr__(self):
        if not self.valid:
            return "<wsbridge.Stream %s empty>" % self.kind
        return "<wsbridge.Stream %s %s>" % (self.kind, self.conversation_description)
