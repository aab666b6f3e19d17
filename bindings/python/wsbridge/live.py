# SPDX-License-Identifier: GPL-2.0-or-later
"""Live capture: packets from a network interface as they arrive
(Engine.live, wsbridge.interfaces).

The library runs the engine's capture program, dumpcap, which writes a spool
file; a live capture is then the library's open capture, and everything a
Capture does works on it: iteration hands out the packets as they arrive and
ends when dumpcap stops (its count or duration, stop(), close()), trees,
values, save() and follow() work on the packets read so far. What differs
from a file: the packets cannot be read a second time, so a capture is
iterated once (a second iteration raises StateError), and the packets read
ahead of the one handed out last stay as they were read (a file is read
again up to the packet handed out last before a tree or a value is asked
for; see Capture).

While reading waits for the next packet it comes back to Python every
WAIT_SLICE seconds, so that Ctrl-C (KeyboardInterrupt) and other signal
handlers run; closing the capture (the end of a `with` block) stops dumpcap.
"""

import collections
import dataclasses
import ctypes
from typing import List, Optional, Tuple

from . import dataframe, native
from ._guard import Call, guarded, lock
from .capture import Capture
from .errors import ErrorCode, InvalidSettingError, StateError, WsbridgeError
from .native import Status
from .reading import Reading
from .records import encode_path, encode_text, text

__all__ = ["Interface", "LiveCapture", "LiveCounts", "WAIT_SLICE"]

# Seconds a wait for packets lasts in one library call before Python gets
# control back (to run signal handlers such as Ctrl-C's).
WAIT_SLICE = 0.2

_INT32_MAX = (1 << 31) - 1

#: dumpcap's counts: packets written to the spool, and packets the interface
#: or dumpcap dropped (known once dumpcap has stopped).
LiveCounts = collections.namedtuple("LiveCounts", "written dropped")


@dataclasses.dataclass(frozen=True)
class Interface:
    """An interface dumpcap can capture on, as `dumpcap -D` lists it: its
    number (from 1, also usable as its name), name, description (the
    friendly name or the vendor's, "" when none), IPv4 and IPv6 addresses
    and whether it is a loopback interface."""

    number: int
    name: str
    description: str
    addresses: Tuple[str, ...]
    loopback: bool


def _wait_ready(raw, timeout_ms=None):
    """Waits until the next read would not wait (gWaitForPacket), in slices
    of WAIT_SLICE, at most timeout_ms (None: as long as it takes); the
    status of the last wait."""
    slice_ms = int(WAIT_SLICE * 1000)
    left = timeout_ms
    while True:
        step = slice_ms if left is None else min(slice_ms, left)
        status = raw.gWaitForPacket(step)
        if status != Status.TIMED_OUT:
            return status
        if left is not None:
            left -= step
            if left <= 0:
                return status


class _WaitingCall(Call):
    """A Call whose batch reads first wait in slices (see _wait_ready)."""

    __slots__ = ()

    def __call__(self, function, *arguments, **options):
        raw = self.engine.raw
        if function is raw.gGetNextPacketBatch:
            _wait_ready(raw)
        return Call.__call__(self, function, *arguments, **options)


def _waiting(call):
    return _WaitingCall(call.engine, call.operation)


class LiveReading(Reading):
    """Sequential reading of a live capture: one pass, never read again."""

    def _read(self, call, capacity):
        return Reading._read(self, _waiting(call), capacity)

    def reopen(self, call, filter):
        raise StateError(Status.FAILED, "The packets of a live capture cannot be read a second time "
                         "(dumpcap hands each over once): iterate it once, or go on with next_packet().",
                         call.operation)

    def restart(self, call, owner):
        if self.started:
            self.reopen(call, self.filter)
        self.owner, self.single = owner, False

    def settle(self, call):
        # The capture cannot be read again up to the packet handed out last:
        # from here on a packet a call; packets read ahead stay as read.
        if self.single or not self.started or self.at_end:
            return
        if not self.ahead and type(self.capture._current) is tuple and \
                self.read_generation == call.generation():
            self.capture._current_generation = self.read_generation
        self.single = True

    def set_filter(self, call, filter):
        filter = filter or None
        call(self.capture.engine.raw.gSetDisplayFilter,
             encode_text(filter, "display filter") if filter else None, failure=InvalidSettingError)
        self.filter_changed = self.filter_changed or (filter != self.filter and bool(self.position))
        self.filter = filter


class LiveCapture(Capture):
    """A live capture on a network interface (Engine.live): a Capture whose
    packets arrive while it is read. Iterate it once: the iteration hands
    out each packet as it arrives and ends when dumpcap stops (count,
    duration, stop(), a signal); next_packet() waits for the next one (None
    at the end). Trees, values, save() and follow() work on the packets
    read so far. Use it in a `with` block, or call close(): closing stops
    dumpcap and removes its spool (Ctrl-C in the loop leaves the block and so
    stops it). A second iteration raises StateError: the packets cannot be
    read again."""

    def __init__(self, engine, interface, count, duration):
        super().__init__(engine, interface)
        self.interface = interface
        self.count = count
        self.duration = duration
        self._reading = LiveReading(self)
        self._final_counts = None

    def __repr__(self):
        return "<wsbridge.LiveCapture on %r%s>" % (self.interface, " closed" if self.closed else "")

    def stop(self) -> None:
        """Asks dumpcap to stop capturing (gStopLiveCapture): reading then
        hands out the packets it wrote and ends. Safe from another thread
        (it does not wait for the lock a waiting read holds) and from a
        signal handler; does nothing once the capture is closed."""
        if self._origin.open:
            self.engine.raw.gStopLiveCapture()

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Waits until reading the next packet would not wait, at most
        `timeout` seconds (None: as long as it takes; 0: only looks), for
        hosts with an event loop: True when a packet is ready or the capture
        has ended (next_packet() then returns None), False when the time ran
        out. With a display filter, a packet that is ready may not match, and
        the next read waits for one that does."""
        if timeout is not None and timeout < 0:
            raise ValueError("timeout must be 0 or more seconds, or None, not %r" % (timeout,))
        with guarded("wait", self):
            if self._reading.ahead or self._reading.at_end:
                return True
        left = None if timeout is None else int(timeout * 1000)
        while True:
            # The lock is left between slices, for the other threads.
            step = int(WAIT_SLICE * 1000) if left is None else min(int(WAIT_SLICE * 1000), left)
            with guarded("wait", self):
                status = self.engine.raw.gWaitForPacket(step)
            if status != Status.TIMED_OUT:
                return True
            if left is not None:
                left -= step
                if left <= 0:
                    return False

    @property
    def counts(self) -> LiveCounts:
        """dumpcap's counts so far (gGetLiveCaptureCounts): packets written
        to the spool and packets dropped (known once dumpcap has stopped).
        After close(), the counts at closing."""
        with lock:
            if not self._origin.open and self._final_counts is not None:
                return self._final_counts
            with guarded("counts", self) as call:
                return self._counts(call)

    def _counts(self, call):
        written, dropped = ctypes.c_uint64(), ctypes.c_uint64()
        call(self.engine.raw.gGetLiveCaptureCounts, ctypes.byref(written), ctypes.byref(dropped))
        return LiveCounts(written.value, dropped.value)

    def close(self) -> None:
        """Stops dumpcap, reaps it and removes the spool (gCloseCapture);
        `counts` keeps the counts at closing. Closing a closed capture does
        nothing."""
        # A read that waits for packets in another thread holds the lock:
        # dumpcap stops first, so that the read ends.
        self.stop()
        with lock:
            if self._origin.open and self.engine._running and self.engine._capture is self:
                try:
                    with guarded("close", self) as call:
                        self._final_counts = self._counts(call)
                except WsbridgeError:
                    pass
            super().close()

    def to_dataframe(self, fields=(), filter=None, occurrence="first", jobs=1):
        """A pandas DataFrame of the live capture's packets (see
        Capture.to_dataframe for the columns): the capture is read in
        batches until dumpcap stops, so it must have been opened with a
        count or a duration (ValueError otherwise), and before anything
        else read it (StateError: its packets cannot be read again).
        `filter`, a display filter, keeps the packets that match. One
        process reads it (jobs must be 1)."""
        if self.count is None and self.duration is None:
            raise ValueError("to_dataframe reads a live capture until it stops: open it with count= or "
                             "duration= (or iterate it and call stop())")
        if int(jobs) != 1:
            raise ValueError("a live capture is read by one process: leave out jobs")
        if occurrence not in ("first", "all"):
            raise ValueError("occurrence is \"first\" or \"all\", not %r" % (occurrence,))
        pandas = dataframe.import_pandas()
        columns = dataframe.field_columns(self.engine, fields)
        with guarded("to_dataframe", self) as call:
            reading = self._reading
            if reading.started:
                raise StateError(Status.FAILED, "to_dataframe reads a live capture from its first packet, and "
                                 "packets were read from it already (they cannot be read again): call it "
                                 "before any other reading.", call.operation)
            if filter is not None:
                reading.set_filter(call, filter)
            reading.started = True
            frame = dataframe._read_frame(pandas, self, _waiting(call), columns, occurrence == "all", False)
            reading.at_end = True
            self._current = None
            return frame


def _whole(value, name, most=_INT32_MAX):
    """An optional whole number of 1 or more that the library's options hold."""
    if value is None:
        return 0
    if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= most:
        raise ValueError("%s must be a whole number from 1 to %d, or None, not %r" % (name, most, value))
    return value


def open_live(engine, interface, bpf=None, count=None, duration=None, snaplen=None,
              session_packets=None, ring=None, spool_folder=None) -> LiveCapture:
    """Engine.live: starts a live capture (gOpenLiveCapture)."""
    options = native.WsbLiveOptions()
    if isinstance(interface, int) and not isinstance(interface, bool):
        interface = str(interface)
    options.interface_name = encode_text(interface, "interface")
    options.capture_filter = encode_text(bpf, "capture filter") if bpf else None
    options.spool_folder = encode_path(spool_folder) if spool_folder else None
    options.snap_length = _whole(snaplen, "snaplen", 262144)
    options.stop_after_packets = _whole(count, "count")
    options.stop_after_seconds = _whole(duration, "duration")
    options.session_packets = _whole(session_packets, "session_packets")
    if ring is not None:
        kilobytes, files = (ring, None) if isinstance(ring, int) else tuple(ring)
        options.ring_file_kilobytes = _whole(kilobytes, "ring's kilobytes")
        options.ring_files = _whole(files, "ring's files")
        if files is not None and files < 2:
            raise ValueError("a ring keeps 2 files or more, not %r" % (files,))
    with guarded("live", engine) as call:
        if engine._uncompiled is not None:
            engine.field_info(engine._uncompiled)
        # The capture open until now is closed, whether or not this succeeds.
        if engine._capture is not None:
            engine._capture._forget()
            engine._capture = None
        engine._stream = None
        status = call(engine.raw.gOpenLiveCapture, ctypes.byref(options), accept=(Status.FAILED,))
        if status == Status.FAILED:
            bad = engine.library.last_error_code() == ErrorCode.BAD_ARGUMENT
            raise call.error(failure=InvalidSettingError if bad else WsbridgeError)
        # A display filter of the capture before does not carry over.
        engine.raw.gSetDisplayFilter(None)
        capture = engine._capture = LiveCapture(engine, interface if isinstance(interface, str)
                                                else text(bytes(interface)), count, duration)
    return capture


def list_interfaces(engine) -> List[Interface]:
    """Engine.interfaces: the interfaces dumpcap can capture on
    (gListInterfaces; runs `dumpcap -D`)."""
    records, count = ctypes.POINTER(native.WsbInterface)(), ctypes.c_int32()
    with guarded("interfaces", engine) as call:
        call(engine.raw.gListInterfaces, ctypes.byref(records), ctypes.byref(count))
        found = []
        for index in range(count.value):
            record = records[index]
            addresses = text(record.addresses)
            found.append(Interface(record.number, text(record.name), text(record.description),
                                   tuple(item.strip() for item in addresses.split(",") if item.strip()),
                                   bool(record.loopback)))
    return found

