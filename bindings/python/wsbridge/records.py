# SPDX-License-Identifier: GPL-2.0-or-later
"""The values the package hands out: Summary and Locator (a packet of a
capture), FieldInfo, FieldLocation and SaveResult, and the decoding helpers
they share."""

import ctypes
import dataclasses
import os
import struct
from typing import Optional, Tuple

from . import native
from .native import AddressType, PortType

__all__ = ["FieldInfo", "FieldLocation", "Locator", "SaveResult", "Summary"]


# A PacketSummary as struct unpacks it: the numbers, then the six texts as
# their whole arrays (bytes after the NUL are left from other packets).
SUMMARY_STRUCT = struct.Struct("<IIIiHH4xqqqiiii32s256s32s32s64s64s")
assert SUMMARY_STRUCT.size == ctypes.sizeof(native.PacketSummary)


def text(raw: bytes) -> str:
    return raw.decode("utf-8", errors="replace")


def encode_text(value, what="text") -> bytes:
    """A text argument as the library takes it: a str as UTF-8, bytes as
    they are. The library reads a text up to its first NUL, so one with a
    NUL inside would be cut there without a word (a path "a.sh\\0.pcap"
    would name "a.sh"): that is a ValueError here, for every text the
    package hands to the library."""
    if isinstance(value, str):
        data = value.encode("utf-8")
    elif isinstance(value, (bytes, bytearray)):
        data = bytes(value)
    else:
        raise TypeError("%s must be str or bytes, not %s" % (what, type(value).__name__))
    if b"\0" in data:
        raise ValueError("embedded NUL character in %s %r" % (what, value))
    return data


def encode_path(path) -> bytes:
    """A file path (str, bytes or os.PathLike) in the file system's encoding."""
    return encode_text(os.fsencode(path), "path")


def enum_or_int(kind, value):
    try:
        return kind(value)
    except ValueError:
        return value


def sized_text(pointer: ctypes.c_void_p, size: int) -> str:
    """A text handed out by the library with its size (which counts the NUL)."""
    if not pointer.value or size <= 0:
        return ""
    return text(ctypes.string_at(pointer.value, size - 1))


class Origin:
    """Which opening of a capture file a packet was read from. A Capture
    makes one when it opens and marks it closed when it closes; a Summary or
    Locator carries it, so that the capture can refuse packets that are not
    its own. Sent to another process, an origin becomes one that no capture
    there owns."""

    __slots__ = ("path", "open", "elsewhere")

    def __init__(self, path, elsewhere=False):
        self.path = path
        self.open = not elsewhere
        self.elsewhere = elsewhere

    def __reduce__(self):
        return (Origin, (self.path, True))

    def __repr__(self):
        return "<capture %r%s>" % (self.path, " of another process" if self.elsewhere
                                   else "" if self.open else " closed")


def _origin_field():
    return dataclasses.field(default=None, repr=False, compare=False)


@dataclasses.dataclass(frozen=True)
class Locator:
    """What names a packet for re-reading by offset: the five values of its
    Summary. Save needs the time stamp too; Summary.locator carries it.

    A Locator taken from a Summary (or Capture.locators) belongs to its
    capture, and other captures refuse it. One built by hand names a packet
    of whatever capture it is given to."""

    frame_number: int
    file_offset: int
    captured_length: int
    packet_length: int
    encapsulation: int
    time_seconds: Optional[int] = None
    time_nanoseconds: Optional[int] = None
    origin: Optional[Origin] = _origin_field()

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
    A Summary belongs to the capture it was read from (see Locator).
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
    origin: Optional[Origin] = _origin_field()

    @classmethod
    def from_record(cls, record: native.PacketSummary, origin: Optional[Origin] = None) -> "Summary":
        values = SUMMARY_STRUCT.unpack(bytes(record))
        return cls._from_unpacked(values, text(values[13].partition(b"\0")[0]),
                                  text(values[14].partition(b"\0")[0]), origin)

    @classmethod
    def _from_unpacked(cls, values, protocol, info, origin):
        """A Summary of a PacketSummary record as SUMMARY_STRUCT
        unpacks it (texts as their whole arrays) with the whole Protocol and
        Info texts, made without the dataclass's per-field checks: iterating
        a capture makes one per packet."""
        summary = _new_object(cls)
        fields = summary.__dict__
        fields.update(zip(_NUMBER_FIELDS, values))
        port_type, source_type, destination_type = values[3], values[11], values[12]
        fields["port_type"] = _PORT_TYPES.get(port_type, port_type)
        fields["source_address_type"] = _ADDRESS_TYPES.get(source_type, source_type)
        fields["destination_address_type"] = _ADDRESS_TYPES.get(destination_type, destination_type)
        fields["protocol_text"] = protocol
        fields["info_text"] = info
        fields["link_source_text"] = values[15].partition(b"\0")[0].decode("utf-8", "replace")
        fields["link_destination_text"] = values[16].partition(b"\0")[0].decode("utf-8", "replace")
        fields["source_text"] = values[17].partition(b"\0")[0].decode("utf-8", "replace")
        fields["destination_text"] = values[18].partition(b"\0")[0].decode("utf-8", "replace")
        fields["origin"] = origin
        return summary

    @property
    def locator(self) -> Locator:
        return Locator(self.frame_number, self.file_offset, self.captured_length,
                       self.packet_length, self.encapsulation, self.time_seconds,
                       self.time_nanoseconds, self.origin)

    @property
    def timestamp(self) -> float:
        """Seconds since 1970 UTC as a float."""
        return self.time_seconds + self.time_nanoseconds / 1e9


_new_object = object.__new__
_PORT_TYPES = {member.value: member for member in PortType}
_ADDRESS_TYPES = {member.value: member for member in AddressType}

# The Summary fields that are the packet's own (all but its origin), in order.
SUMMARY_COLUMNS = tuple(field.name for field in dataclasses.fields(Summary)
                        if field.name != "origin")
# The fields of an unpacked PacketSummary record that are numbers, in order
# (the six texts follow them).
_NUMBER_FIELDS = SUMMARY_COLUMNS[:13]


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
    """What Capture.save wrote: the packets written, those the TCP sequence
    tracker left out as repeats, and those the filter did not match."""

    path: str
    written: int
    skipped: int
    not_matching: int = 0
