# SPDX-License-Identifier: GPL-2.0-or-later
"""The packet dissected last, as a Capture presents it: random access, trees,
matched fields and values, all for the packet handed out last (the
CurrentPacket part of Capture)."""

import ctypes
import dataclasses
from typing import List

from . import native
from ._guard import guarded
from .errors import StateError
from .native import FieldType, Status
from .records import FieldLocation, Locator, Summary, encode_text, enum_or_int, sized_text
from .tree import Tree

__all__ = ["CurrentPacket"]


class CurrentPacket:
    """The calls of a Capture that dissect a packet or read the packet
    dissected last (see Capture). The Capture keeps `_current` (the packet
    handed out last: an unpacked PacketSummary record as reading hands it
    out, or a Locator), `_current_generation` (the library's dissection
    generation in which it was the packet dissected last) and
    `_matched_group` (the group asked last, with the packet it was asked
    for)."""

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
        by-id getters read. Every packet read after a field was registered
        records it (see Engine.register_field). An unknown group raises
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
