# SPDX-License-Identifier: GPL-2.0-or-later
"""The engine of the process: start-up, shutdown, the field registry and
opening captures."""

import ctypes
import os
from typing import Optional

from . import native
from ._guard import guarded, lock
from .capture import Capture
from .errors import EngineShutDownError, InvalidSettingError, UnknownFieldError, WsbridgeError
from .live import LiveCapture, list_interfaces, open_live
from .native import FieldType
from .records import FieldInfo, encode_path, encode_text, enum_or_int

__all__ = ["Engine", "interfaces", "start"]

_SHUT_DOWN = "The engine of this process was shut down."


class Engine:
    """The process's engine (one per process; see Engine.start)."""

    _instance = None  # the engine of this process once started
    _shut_down = False

    def __init__(self, library: native.Library):
        # Use Engine.start(): this only wraps an engine that was started.
        self.library = library
        self.raw = library.raw
        self._engine = self
        self._process = os.getpid()
        self._running = True
        self._capture = None
        self._stream = None
        self._registered = set()  # (field, group) pairs filed by the package itself
        self._uncompiled = None  # a name registered since the registry was compiled
        self._preferences = {}  # preference name -> the last assignment set through the package

    # ---- life cycle --------------------------------------------------------

    @classmethod
    def start(cls, library=None) -> "Engine":
        """Starts the engine of this process (gInitEpan) and returns it.

        `library` is a Library, a path, or None (see native.load_library).
        The engine starts once per process: a later call returns the same
        Engine (a different library is refused with ValueError). After
        shutdown() the engine cannot be started again: EngineShutDownError."""
        with lock:
            if cls._instance is not None:
                cls._instance._check("start")
                if library is not None:
                    wanted = library if isinstance(library, native.Library) \
                        else native.load_library(library)
                    if wanted.raw._handle != cls._instance.raw._handle:
                        raise ValueError("the engine of this process already runs on %s"
                                         % cls._instance.library.path)
                return cls._instance
            if cls._shut_down:
                raise EngineShutDownError(native.Status.FAILED, _SHUT_DOWN[:-1] + "; it can be "
                                          "started only once per process.", "start")
            if not isinstance(library, native.Library):
                library = native.load_library(library)
            engine = cls(library)
            with guarded("start", engine) as call:
                call(library.raw.gInitEpan)
            cls._instance = engine
            return engine

    @classmethod
    def current(cls) -> Optional["Engine"]:
        """The running engine of this process, or None."""
        return cls._instance

    @property
    def running(self) -> bool:
        return self._running

    def _check(self, operation):
        if not self._running:
            raise EngineShutDownError(native.Status.FAILED, _SHUT_DOWN, operation)
        if self._process != os.getpid():
            # A forked copy of a started engine shares the parent's open
            # files and temporary state: its answers cannot be trusted.
            raise WsbridgeError(native.Status.FAILED, "The engine was started in process %d, "
                                "from which this process was forked; start worker processes "
                                "with the spawn or forkserver method (see map_captures)."
                                % self._process, operation)

    @classmethod
    def prepared(cls, library, preferences) -> "Engine":
        """The engine of this process (started from `library` on first use)
        with `preferences` ("module.name:value") set, for a worker process.
        An engine keeps a preference for good, so one that an earlier task
        set and this one does not ask for is refused (InvalidSettingError)."""
        engine = cls.start(library)
        wanted = dict(preference_items(preferences))
        for name, assignment in engine._preferences.items():
            if name not in wanted:
                raise InvalidSettingError(
                    native.Status.FAILED, "The engine of this process already runs with the "
                    "preference \"%s\", which this task does not ask for, and an engine cannot "
                    "take a preference back: pass the same preferences to every map over these "
                    "workers, or restart them." % assignment, "map_captures")
        for name, assignment in wanted.items():
            if engine._preferences.get(name) != assignment:
                engine.set_preference(assignment)
        return engine

    def shutdown(self) -> None:
        """Shuts the engine down for good (gCleanupEpan): an open capture and
        a followed stream are closed first. The engine cannot be started
        again in this process. A second call does nothing."""
        with lock:
            if not self._running:
                return
            if self._capture is not None:
                self._capture._forget()
                self._capture = None
            self._stream = None
            with guarded("shutdown", self) as call:
                self._running = False
                Engine._instance = None
                Engine._shut_down = True
                call(self.raw.gCleanupEpan)

    def reset_dissection_state(self) -> None:
        """Discards the engine's per-capture dissection state
        (gHackedCleanup); an open capture stays open."""
        with guarded("reset dissection state", self):
            self.raw.gHackedCleanup()

    # ---- preferences ---------------------------------------------------------

    def set_preference(self, assignment: str) -> None:
        """Sets one of the engine's preferences as tshark's -o takes it,
        "module.name:value" (gSetPreference), for the captures opened
        afterwards: engine.set_preference("tcp.desegment_tcp_streams:TRUE")
        turns TCP reassembly back on (with http.desegment_body and the other
        reassembly preferences, the Info column is plain tshark's). Only
        while no capture is open. An unknown preference, a value it does not
        take, or an open capture raises InvalidSettingError (also
        ValueError). map_captures sets the preferences set here in its
        workers' engines too."""
        with guarded("set preference", self) as call:
            call(self.raw.gSetPreference, encode_text(assignment, "preference"),
                 failure=InvalidSettingError)
            self._preferences[assignment.split(":", 1)[0].strip()] = assignment

    #: Conversation keys of set_reading_share (the library's WSB_SHARE_*).
    SHARE_KEYS = {"addresses": 0, "endpoints": 1, "balanced": 2}

    def set_reading_share(self, index: int, count: int, key: str = "addresses") -> None:
        """Makes sequential reading of the captures opened afterwards dissect
        and return only share `index` of `count` of their conversations
        (gSetReadingShare), so that `count` processes can read one capture
        together; frame numbers and times stay the whole file's. `key` is
        "addresses" (every conversation of two hosts together, by a hash),
        "endpoints" (address and port pairs, by a hash) or "balanced" (each
        conversation, when first seen, to the share with the fewest packets;
        a busy pair of hosts parted by connection; what to_dataframe(jobs=N)
        and to_dask_dataframe use). (0, 1) reads everything again. Only while
        no capture is open (InvalidSettingError otherwise); a share that does
        not exist raises ValueError."""
        if key not in self.SHARE_KEYS:
            raise ValueError("key must be one of %s, not %r" % (", ".join(self.SHARE_KEYS), key))
        with guarded("set reading share", self) as call:
            call(self.raw.gSetReadingShare, int(index), int(count), self.SHARE_KEYS[key],
                 failure=InvalidSettingError)

    @property
    def preferences(self) -> tuple:
        """The preferences set through set_preference, in the order of their
        names' first setting (the last assignment of each name)."""
        return tuple(self._preferences.values())

    # ---- field registry ----------------------------------------------------

    def register_field(self, name: str, group: str) -> None:
        """Files a display-filter field name under a group
        (gRegisterProtocolFieldFilter). The registry is compiled before the
        next capture is opened (at once while one is open), so every packet
        read afterwards records the field, whether or not field_info looks
        it up. A name that is neither a field nor a protocol the engine
        knows raises UnknownFieldError (also KeyError) and changes nothing."""
        with guarded("register field", self) as call:
            call(self.raw.gRegisterProtocolFieldFilter, encode_text(name, "field name"),
                 encode_text(group, "group name"), failure=UnknownFieldError)
            self._registered.add((name, group))
            self._uncompiled = name
            if self._capture is not None:
                self.field_info(name)

    def _ensure_registered(self, name: str, group: str) -> None:
        """Files name under group unless the package did so before."""
        with lock:
            if (name, group) not in self._registered:
                self.register_field(name, group)

    def field_info(self, name: str) -> FieldInfo:
        """The engine id and type code of a registered field name
        (gGetProtocolFieldFilterInfo); a name never registered raises
        UnknownFieldError (also KeyError)."""
        field_id, field_type = ctypes.c_int32(), ctypes.c_int32()
        with guarded("field info", self) as call:
            call(self.raw.gGetProtocolFieldFilterInfo, encode_text(name, "field name"),
                 ctypes.byref(field_id), ctypes.byref(field_type), failure=UnknownFieldError)
            self._uncompiled = None  # the lookup compiled the registry
        return FieldInfo(name, field_id.value, enum_or_int(FieldType, field_type.value))

    # ---- captures ----------------------------------------------------------

    def open(self, path, filter: Optional[str] = None) -> Capture:
        """Opens a capture file (gOpenCapture). A capture that is open is
        closed first (its Capture object, and every packet, tree and stream
        of it, then refuses further use). `filter`, a display filter, is
        set on the new capture (see Capture.set_filter); one that does not
        compile raises InvalidSettingError and the capture is closed."""
        with guarded("open", self) as call:
            if self._uncompiled is not None:
                self.field_info(self._uncompiled)
            call(self.raw.gOpenCapture, encode_path(path))
            if self._capture is not None:
                self._capture._forget()
            self._stream = None
            # A display filter of the capture before does not carry over.
            self.raw.gSetDisplayFilter(None)
            self._capture = Capture(self, path)
            capture = self._capture
        if filter:
            try:
                capture.set_filter(filter)
            except InvalidSettingError:
                capture.close()
                raise
        return capture

    def live(self, interface, bpf: Optional[str] = None, count: Optional[int] = None,
             duration: Optional[int] = None, snaplen: Optional[int] = None,
             session_packets: Optional[int] = None, ring=None, spool_folder=None) -> LiveCapture:
        """Starts a live capture on a network interface (gOpenLiveCapture)
        with the engine's capture program, dumpcap, as tshark -i does, and
        returns it as the open capture (see LiveCapture; the capture open
        until now is closed). `interface`: a name or number as interfaces()
        lists it; `bpf`: a capture filter ("udp port 53", tshark's -f);
        `count`, `duration` (whole seconds): dumpcap stops after that many
        packets or seconds (tshark's -c, -a duration:); `snaplen`: bytes
        kept of each packet (-s); `session_packets`: a new dissection session
        every that many packets, for captures that run for days (-M; frames
        of earlier sessions cannot be read again); `ring`: kilobytes, or
        (kilobytes, files), a ring of spool files (dumpcap's -b);
        `spool_folder`: where the spool folder is made ($TMPDIR, else /tmp).
        No such interface raises InvalidSettingError (also ValueError), a
        capture filter that does not compile InvalidSettingError with
        dumpcap's reason, no capture rights CapturePermissionError (also
        PermissionError), dumpcap missing NotSupportedError."""
        return open_live(self, interface, bpf, count, duration, snaplen, session_packets, ring,
                         spool_folder)

    def interfaces(self) -> list:
        """The interfaces dumpcap can capture on (gListInterfaces, as
        `dumpcap -D` lists them), as Interface records."""
        return list_interfaces(self)

    def __repr__(self):
        state = "running" if self._running else "shut down"
        return "<wsbridge.Engine %s on %s>" % (state, self.library.path)


def preference_items(preferences):
    """(name, assignment) of each "module.name:value" text."""
    if isinstance(preferences, str):
        preferences = (preferences,)
    for assignment in preferences:
        encode_text(assignment, "preference")
        yield assignment.split(":", 1)[0].strip(), assignment


def start(library=None) -> Engine:
    """Starts (once per process) and returns the engine; see Engine.start."""
    return Engine.start(library)


def interfaces() -> list:
    """The interfaces dumpcap can capture on, as `tshark -D` lists them
    (without extcap interfaces), as Interface records; starts the engine of
    the process if it does not run yet."""
    return start().interfaces()
