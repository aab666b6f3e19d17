# SPDX-License-Identifier: GPL-2.0-or-later
"""Sequential reading of a capture: passes over its packets and the reading
position that next_packet goes on from.

The library has one reading position per open capture. Iterating a Capture
makes a Pass: a pass of its own from the first packet (the file is opened
again when reading began before), reading ITERATION_BATCH packets a call.
next_packet and read_all go on from the packet handed out last, by whatever
read it; a pass overtaken by another pass or by them refuses to go on
(StateError) instead of handing out packets of another pass.

While packets are read ahead, the engine has seen more of the capture than
was handed out: what it learnt of later packets would show in trees and
values. The first call that reads or dissects a packet settles reading
(Reading.settle): the capture is read again up to the packet handed out
last, and from then on a packet a call, so that every answer is the one a
reading of one packet at a time gives.
"""

import collections
import contextlib
from array import array

from ._guard import guarded
from .batch import BatchBuffers
from .errors import InvalidSettingError, StateError
from .native import Status
from .records import Locator, Summary, encode_path, encode_text

__all__ = ["ITERATION_BATCH", "Pass", "Reading"]

# Packets read per library call while iterating a capture.
ITERATION_BATCH = 128

_summary_of = Summary._from_unpacked


class Reading:
    """Where sequential reading of one capture stands: the packets read
    ahead and not handed out yet, the pass that reads (None: next_packet),
    the frame handed out last, the display filter and the locators of the
    packets handed out since the file was opened."""

    def __init__(self, capture):
        self.capture = capture
        self.ahead = collections.deque()  # (unpacked record, protocol, info)
        self.batches = {}  # BatchBuffers by capacity
        self.owner = None
        self.started = False  # reading began since the file was opened
        self.single = False  # settled: a packet a call
        self.read_generation = None  # the library's generation after the last read
        self.at_end = False
        self.position = 0  # the frame handed out last
        self.filter = None
        # Whether the filter changed after reading began: the packets handed
        # out so far are then not those the filter keeps.
        self.filter_changed = False
        self._locators = [array("I"), array("q"), array("I"), array("I"), array("i"),
                          array("q"), array("i")]

    # The index in an unpacked PacketSummary record of each locator value.
    _LOCATOR_INDICES = (0, 6, 2, 1, 10, 8, 9)

    def next(self, call, capacity):
        """The next packet as a Summary (under the lock the caller holds),
        reading a batch of `capacity` when none is ahead; None at the end."""
        ahead = self.ahead
        fresh = not ahead
        if fresh:
            capacity = 1 if self.single else capacity
            if self.at_end or not self._read(call, capacity):
                self.at_end = True
                self.capture._current = None
                return None
        summary = self.hand_out(ahead.popleft())
        if fresh and capacity == 1:
            # Read alone: it is the packet the library dissected last.
            self.capture._current_generation = self.read_generation
        return summary

    def hand_out(self, item):
        values, protocol, info = item
        self.position = values[0]
        capture = self.capture
        capture._current, capture._current_generation = values, None
        return _summary_of(values, protocol, info, capture._origin)

    def _read(self, call, capacity):
        self.started = True
        batches = self.batches.get(capacity)
        if batches is None:
            batches = self.batches[capacity] = BatchBuffers(capacity)
        packets = batches.read(call)
        self.read_generation = call.generation()
        if not packets:
            return False
        records = list(batches.summary_tuples(packets))
        texts = batches.texts_used()
        self.ahead.extend(zip(records, texts[0::2], texts[1::2]))
        for values, index in zip(self._locators, self._LOCATOR_INDICES):
            values.extend([record[index] for record in records])
        return True

    def locators(self):
        """The locators of the packets handed out since the file was opened."""
        columns = [values[:len(values) - len(self.ahead)] for values in self._locators]
        return [Locator(*values, origin=self.capture._origin) for values in zip(*columns)]

    def reopen(self, call, filter):
        """Opens the capture's file again (gOpenCapture), so that reading
        starts over at its first packet with `filter`. The library forgets
        what it read (a followed stream ends); the Summaries and Locators of
        the capture stay good, as they name the same file's packets."""
        engine = self.capture.engine
        call(engine.raw.gOpenCapture, encode_path(self.capture.path))
        engine._stream = None
        call(engine.raw.gSetDisplayFilter, encode_text(filter, "display filter") if filter else None,
             failure=InvalidSettingError)
        self.ahead.clear()
        self.at_end = self.started = False
        for values in self._locators:
            del values[:]

    def restart(self, call, owner):
        """Starts a pass of `owner` from the first packet."""
        if self.started:
            self.reopen(call, self.filter)
            self.filter_changed = False
            self.position = 0
        self.owner, self.single = owner, False

    def settle(self, call):
        """Before a call that reads the packet dissected last or dissects a
        packet: unless reading is settled, the capture is read again up to
        the packet handed out last, which becomes the packet dissected
        last, and from then on a packet a call."""
        if self.single or not self.started or self.at_end:
            return
        if self.ahead:
            self._restore(call, self._kept())
        elif type(self.capture._current) is tuple and self.read_generation == call.generation():
            # The last packet read is the one handed out, and still the
            # packet dissected last.
            self.capture._current_generation = self.read_generation
        self.single = True

    @contextlib.contextmanager
    def own_pass(self, call, filter):
        """A pass over the whole capture for the package itself (a
        DataFrame) under `filter`, whatever was read before: the file is
        opened again. Afterwards reading goes on as it was (see _restore)."""
        kept = self._kept()
        self.reopen(call, filter)
        try:
            yield
        finally:
            self._restore(call, kept)

    def _kept(self):
        """What _restore puts back: the position, whether the end was
        reached and the locators of the packets handed out."""
        handed = [values[:len(values) - len(self.ahead)] for values in self._locators]
        return self.position, self.at_end, handed

    def _restore(self, call, kept):
        """Opens the file again and reads it up to the packet handed out
        last (to its end when the end was reached), so that reading goes on
        after it as before: under the filter in force when reading began if
        it stayed, else without one (the packet handed out last may not
        match the filter now); then the current filter is set. Nothing is
        read ahead: a packet a call up to the position."""
        position, at_end, handed = kept
        self.reopen(call, None if self.filter_changed else self.filter)
        try:
            while position or at_end:
                if not self._read(call, ITERATION_BATCH if at_end else 1):
                    at_end = True
                    break
                if not at_end and self.ahead.popleft()[0][0] == position:
                    if type(self.capture._current) is tuple:
                        self.capture._current_generation = call.generation()
                    break
        finally:
            self.ahead.clear()
            self.position, self.at_end, self._locators = position, at_end, handed
            if self.filter_changed:
                call(self.capture.engine.raw.gSetDisplayFilter,
                     encode_text(self.filter, "display filter") if self.filter else None)

    def set_filter(self, call, filter):
        """Sets the display filter of sequential reading from the packet
        handed out last on; packets read ahead under the filter before are
        read again."""
        filter = filter or None
        call(self.capture.engine.raw.gSetDisplayFilter,
             encode_text(filter, "display filter") if filter else None, failure=InvalidSettingError)
        if filter != self.filter:
            self.filter_changed = self.filter_changed or bool(self.position)
            self.filter = filter
            if self.ahead:
                self._restore(call, self._kept())


class Pass:
    """One pass over a capture's packets, from its first (iter(capture)).
    It starts at its first step; it refuses to go on (StateError) once
    another pass, next_packet or read_all read on since."""

    __slots__ = ("capture", "reading", "started")

    def __init__(self, capture):
        self.capture = capture
        self.reading = capture._reading
        self.started = False

    def __iter__(self):
        return self

    def __next__(self) -> Summary:
        reading = self.reading
        # A packet read ahead needs no call into the library, nor the lock:
        # taking it from the deque is atomic.
        if reading.owner is self and reading.ahead and self.capture._origin.open:
            try:
                return reading.hand_out(reading.ahead.popleft())
            except IndexError:
                pass
        with guarded("read", self.capture) as call:
            if reading.owner is not self:
                if self.started:
                    raise StateError(Status.FAILED, "Another iteration of the capture, next_packet or read_all "
                                     "read on since this iteration began; iterate again to start "
                                     "a new pass from the first packet.", call.operation)
                self.started = True
                reading.restart(call, self)
            summary = reading.next(call, ITERATION_BATCH)
        if summary is None:
            raise StopIteration
        return summary
