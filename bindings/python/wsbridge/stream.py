# SPDX-License-Identifier: GPL-2.0-or-later
"""A followed TCP or UDP conversation (gFollowConversation)."""

import collections
import ctypes
from typing import Iterator, Tuple

from ._guard import guarded
from .errors import StaleObjectError
from .native import Direction, RenderFormat, Status
from .records import sized_text, text

__all__ = ["Stream"]

# The library's kinds of conversation (WSB_FOLLOW_*).
_KINDS = {"tcp": 0, "udp": 1}


def _code(kind, value):
    """A RenderFormat or Direction given by its name ("hexdump"); a code is
    passed on as it is, for the library to judge."""
    return kind[value.upper()] if isinstance(value, str) else int(value)


class _Pass:
    """One iteration over a stream's chunks. The library has one cursor per
    stream; the pass that moves it is the stream's reader. When another
    pass starts, the reader's remaining chunks are read into its `buffer`
    first, so that every pass goes on from its own place."""

    __slots__ = ("render_format", "direction_filter", "buffer")

    def __init__(self, render_format, direction_filter):
        self.render_format = render_format
        self.direction_filter = direction_filter
        self.buffer = None


# The reader of a stream whose pass was left half way: its remaining chunks
# are read and dropped before the next pass starts at the first chunk.
_LEFT = _Pass(RenderFormat.RAW, Direction.BOTH)


class Stream:
    """A followed conversation. `valid` tells whether payload was
    collected; then `client_description`, `server_description` and
    `conversation_description` hold the library's texts, else `message`
    says why not ("Empty TCP stream."). Iterating yields (direction, text)
    with direction "client" or "server", rendered as ascii for both
    directions; lines() takes a format and a direction, and payload()
    yields the bytes of each segment or datagram. Every iterator starts at
    the first chunk and keeps its own place, also when several are used in
    turn. The chunks are readable until the next follow or until the
    capture closes (or is read again from its first packet)."""

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
    def _follow(cls, capture, call, kind, locator):
        """Follows the conversation of `locator` over the whole capture
        (under the lock the caller holds)."""
        engine = capture.engine
        raw = engine.raw
        engine._stream = None
        call(raw.gFollowConversation, _KINDS[kind], *locator.arguments())
        stream = cls(capture, kind)
        pointers = [ctypes.c_void_p() for _ in range(3)]
        sizes = [ctypes.c_int32() for _ in range(3)]
        call(raw.gGetFollowTexts, *(ctypes.byref(item) for pair in zip(pointers, sizes) for item in pair))
        server, client, conversation = (sized_text(pointer, size.value)
                                        for pointer, size in zip(pointers, sizes))
        stream.valid = sizes[0].value > 1 or sizes[1].value > 1
        if stream.valid:
            stream.server_description, stream.client_description = server, client
            stream.conversation_description = conversation
        else:
            stream.message = conversation
        engine._stream = stream
        return stream

    def _check(self, operation):
        self.capture._check(operation)
        if self._engine._stream is not self:
            raise StaleObjectError(Status.FAILED, "This stream is no longer the followed stream.",
                                   operation)

    def _next_chunk(self, call, render_format, direction_filter):
        data, size = ctypes.c_void_p(), ctypes.c_uint32(0)
        is_server, end = ctypes.c_uint8(0), ctypes.c_uint8(0)
        call(self._engine.raw.gGetNextFollowChunk, render_format, direction_filter,
             ctypes.byref(data), ctypes.byref(size), ctypes.byref(is_server), ctypes.byref(end))
        if end.value:
            return None
        # Text renderings count their NUL, raw chunks do not.
        length = size.value if render_format == RenderFormat.RAW else size.value - 1
        chunk = ctypes.string_at(data.value, length) if data.value and length > 0 else b""
        return ("server" if is_server.value else "client"), chunk

    def _take_cursor(self, call, reader):
        """Makes `reader` the pass that moves the library's cursor. The pass
        that moved it before keeps its remaining chunks in its buffer (a
        pass left half way loses them); then the cursor is at the end, where
        the library starts over at the first chunk."""
        before = self._reader
        if before is not None:
            rest = None if before is _LEFT else collections.deque()
            while True:
                chunk = self._next_chunk(call, before.render_format, before.direction_filter)
                if chunk is None:
                    break
                if rest is not None:
                    rest.append(chunk)
            if rest is not None:
                before.buffer = rest
        self._reader = reader

    def _pass(self, render_format, direction_filter):
        if not self.valid:
            return
        reader = _Pass(render_format, direction_filter)
        try:
            while True:
                with guarded("stream chunk", self) as call:
                    if reader.buffer is not None:
                        if not reader.buffer:
                            return
                        chunk = reader.buffer.popleft()
                    else:
                        if self._reader is not reader:
                            self._take_cursor(call, reader)
                        chunk = self._next_chunk(call, render_format, direction_filter)
                        if chunk is None:
                            self._reader = None
                            return
                yield chunk
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
        """Yields (direction, bytes): the payload of each segment or
        datagram, as it is (the library's raw rendering)."""
        return self._pass(RenderFormat.RAW, _code(Direction, direction))

    def __repr__(self):
        if not self.valid:
            return "<wsbridge.Stream %s empty>" % self.kind
        return "<wsbridge.Stream %s %s>" % (self.kind, self.conversation_description)
