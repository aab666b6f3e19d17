# SPDX-License-Identifier: GPL-2.0-or-later
"""The raw interface of libwsbridge through ctypes.

This module mirrors include/wsbridge.h: the records that cross the
interface (PacketSummary, TreeNode, SavePacketRequest, WsbBatchValue,
WsbPacketBatch and the statistics records WsbConversation, WsbEndpoint,
WsbHierarchyRow, WsbIntervalRow) as ctypes Structures,
the type-code constants, and a prototype (argtypes and restype) for every
exported function. Calls made through Library.raw behave exactly as the C
calls do: they return the status and write through the pointers given.
The Pythonic layer (wsbridge.Engine and friends) is built on top of this.

The record layouts are checked against the library's own values when this
module is imported; a mismatch raises ImportError instead of letting a call
write past a record.
"""

import ctypes
import ctypes.util
import enum
import os
import threading

from ._version import VERSION

__all__ = [
    "ABI_VERSION",
    "AddressType",
    "WsbBatchValue",
    "Direction",
    "FieldType",
    "WsbInterface",
    "Library",
    "WsbLiveOptions",
    "WsbPacketBatch",
    "PacketSummary",
    "PortType",
    "PROTOTYPES",
    "RenderFormat",
    "SavePacketRequest",
    "StatisticsKind",
    "Status",
    "TreeNode",
    "ValueKind",
    "WsbConversation",
    "WsbEndpoint",
    "WsbHierarchyRow",
    "WsbIntervalRow",
    "load_library",
]

# The major version of the library's interface: the soname is
# libwsbridge.so.ABI_VERSION.
ABI_VERSION = 0



class Status(enum.IntEnum):
    """Status codes every call returns (WSB_OK, ...): gGetNextPacket adds
    END, the dissecting calls add OUT_OF_MEMORY."""

    OK = 0
    FAILED = 1
    END = 2
    OUT_OF_MEMORY = 3
    TIMED_OUT = 4  # gWaitForPacket: nothing arrived in the time given


class RenderFormat(enum.IntEnum):
    """Text formats of a followed stream's lines (WSB_RENDER_*)."""

    ASCII = 0
    EBCDIC = 1
    HEXDUMP = 2
    CARRAY = 3
    RAW = 4  # a chunk's bytes as they are (Stream.payload)


class Direction(enum.IntEnum):
    """Which side of a followed stream to read (WSB_DIRECTION_*)."""

    CLIENT = 0
    SERVER = 1
    BOTH = 2


# The names the package used before Status (kept for existing callers).
SUCCESS = Status.OK
FAILURE = Status.FAILED
END_OF_CAPTURE = Status.END
OUT_OF_MEMORY = Status.OUT_OF_MEMORY

_c_int32 = ctypes.c_int32
_c_uint32 = ctypes.c_uint32
_c_int64 = ctypes.c_int64
_c_uint8 = ctypes.c_uint8
_c_uint16 = ctypes.c_uint16
_c_uint64 = ctypes.c_uint64


class PacketSummary(ctypes.Structure):
    """One packet as sequential reading summarises it (544 bytes)."""

    _fields_ = [
        ("frame_number", _c_uint32),
        ("packet_length", _c_uint32),
        ("captured_length", _c_uint32),
        ("port_type", _c_int32),
        ("source_port", _c_uint16),
        ("destination_port", _c_uint16),
        ("file_offset", _c_int64),
        ("relative_time", _c_int64),
        ("time_seconds", _c_int64),
        ("time_nanoseconds", _c_int32),
        ("encapsulation", _c_int32),
        ("source_address_type", _c_int32),
        ("destination_address_type", _c_int32),
        ("protocol_text", ctypes.c_char * 32),
        ("info_text", ctypes.c_char * 256),
        ("link_source_text", ctypes.c_char * 32),
        ("link_destination_text", ctypes.c_char * 32),
        ("source_text", ctypes.c_char * 64),
        ("destination_text", ctypes.c_char * 64),
    ]


class TreeNode(ctypes.Structure):
    """One item of a packet's protocol tree (768 bytes)."""

    _fields_ = [
        ("parent_index", _c_int32),
        ("index", _c_int32),
        ("start", _c_int32),
        ("length", _c_int32),
        ("field_type", _c_int32),
        ("field_abbrev", ctypes.c_char * 256),
        ("field_name", ctypes.c_char * 240),
        ("label", ctypes.c_char * 240),
        ("node", ctypes.c_void_p),
    ]


class SavePacketRequest(ctypes.Structure):
    """One packet to copy into the save file (48 bytes)."""

    _fields_ = [
        ("frame_number", _c_uint32),
        ("packet_length", _c_uint32),
        ("captured_length", _c_uint32),
        ("file_offset", _c_int64),
        ("time_seconds", _c_int64),
        ("time_nanoseconds", _c_int32),
        ("encapsulation", _c_int32),
        ("skip_flag", _c_uint8),
    ]


class WsbBatchValueUnion(ctypes.Union):
    _fields_ = [("i", _c_int64), ("u", _c_uint64), ("d", ctypes.c_double), ("text_offset", _c_int64)]


class WsbBatchValue(ctypes.Structure):
    """One value of one field of one packet in a batch (WsbBatchValue, 16 bytes)."""

    _fields_ = [
        ("kind", _c_int32),
        ("text_size", _c_int32),
        ("value", WsbBatchValueUnion),
    ]


class WsbPacketBatch(ctypes.Structure):
    """What gGetNextPacketBatch reads into (WsbPacketBatch, 96 bytes): the
    host's arrays and capacities, and what the call wrote."""

    _fields_ = [
        ("capacity", _c_int32),
        ("field_count", _c_int32),
        ("field_ids", ctypes.POINTER(_c_int32)),
        ("occurrences", _c_int32),
        ("whole_texts", _c_int32),
        ("summaries", ctypes.c_void_p),
        ("values", ctypes.c_void_p),
        ("value_capacity", _c_int32),
        ("value_starts", ctypes.c_void_p),
        ("texts", ctypes.c_void_p),
        ("text_capacity", _c_int64),
        ("text_offsets", ctypes.c_void_p),
        ("packets", _c_int32),
        ("values_used", _c_int32),
        ("texts_used", _c_int64),
    ]


class ValueKind(enum.IntEnum):
    """Kinds of a batch value (WSB_VALUE_*)."""

    ABSENT = 0
    INT = 1
    UINT = 2
    DOUBLE = 3
    TEXT = 4
    BOOL = 5
    TIME = 6
    DURATION = 7


class WsbLiveOptions(ctypes.Structure):
    """What gOpenLiveCapture captures (WsbLiveOptions, 48 bytes); zero
    members take the default."""

    _fields_ = [
        ("interface_name", ctypes.c_char_p),
        ("capture_filter", ctypes.c_char_p),
        ("spool_folder", ctypes.c_char_p),
        ("snap_length", _c_int32),
        ("stop_after_packets", _c_int32),
        ("stop_after_seconds", _c_int32),
        ("session_packets", _c_int32),
        ("ring_file_kilobytes", _c_int32),
        ("ring_files", _c_int32),
    ]


class WsbInterface(ctypes.Structure):
    """One interface dumpcap can capture on (WsbInterface, 400 bytes)."""

    _fields_ = [
        ("number", _c_int32),
        ("loopback", _c_int32),
        ("name", ctypes.c_char * 128),
        ("description", ctypes.c_char * 128),
        ("addresses", ctypes.c_char * 136),
    ]


# Occurrences a batch holds (WSB_BATCH_*).
BATCH_FIRST = 0
BATCH_ALL = 1


class WsbConversation(ctypes.Structure):
    """One conversation of a statistics table (216 bytes)."""

    _fields_ = [
        ("address_a", ctypes.c_char * 64),
        ("address_b", ctypes.c_char * 64),
        ("address_type", _c_int32),
        ("port_a", _c_uint32),
        ("port_b", _c_uint32),
        ("first_frame", _c_uint32),
        ("frames_a_to_b", _c_uint64),
        ("bytes_a_to_b", _c_uint64),
        ("frames_b_to_a", _c_uint64),
        ("bytes_b_to_a", _c_uint64),
        ("start_seconds", _c_int64),
        ("stop_seconds", _c_int64),
        ("absolute_seconds", _c_int64),
        ("start_nanoseconds", _c_int32),
        ("stop_nanoseconds", _c_int32),
        ("absolute_nanoseconds", _c_int32),
        ("conversation_id", _c_int32),
    ]


class WsbEndpoint(ctypes.Structure):
    """One endpoint of a statistics table (112 bytes)."""

    _fields_ = [
        ("address", ctypes.c_char * 64),
        ("address_type", _c_int32),
        ("port", _c_uint32),
        ("tx_frames", _c_uint64),
        ("tx_bytes", _c_uint64),
        ("rx_frames", _c_uint64),
        ("rx_bytes", _c_uint64),
        ("first_frame", _c_uint32),
        ("reserved", _c_int32),
    ]


class WsbHierarchyRow(ctypes.Structure):
    """One protocol of a protocol hierarchy (96 bytes)."""

    _fields_ = [
        ("protocol", ctypes.c_char * 64),
        ("depth", _c_int32),
        ("parent", _c_int32),
        ("frames", _c_uint64),
        ("bytes", _c_uint64),
        ("first_frame", _c_uint32),
        ("reserved", _c_int32),
    ]


class WsbIntervalRow(ctypes.Structure):
    """One series in one interval of an io,stat table (112 bytes)."""

    _fields_ = [
        ("series", _c_int32),
        ("first_frame_values", _c_int32),
        ("interval", _c_int64),
        ("frames", _c_uint64),
        ("bytes", _c_uint64),
        ("values", _c_uint64),
        ("sum", _c_int64),
        ("minimum", _c_int64),
        ("maximum", _c_int64),
        ("float_sum", ctypes.c_double),
        ("float_minimum", ctypes.c_double),
        ("float_maximum", ctypes.c_double),
        ("first_minimum", _c_int64),
        ("first_float_minimum", ctypes.c_double),
        ("first_frame", _c_uint32),
        ("reserved", _c_int32),
    ]


class StatisticsKind(enum.IntEnum):
    """Kinds of statistics table (WSB_STATS_*)."""

    CONVERSATIONS = 1
    ENDPOINTS = 2
    HIERARCHY = 3
    INTERVALS = 4


# The layouts the library is built with (its static assertions): record size
# and, per field, (offset, size).
RECORD_LAYOUTS = {
    PacketSummary: (544, {
        "frame_number": (0, 4), "packet_length": (4, 4), "captured_length": (8, 4),
        "port_type": (12, 4), "source_port": (16, 2), "destination_port": (18, 2),
        "file_offset": (24, 8), "relative_time": (32, 8), "time_seconds": (40, 8),
        "time_nanoseconds": (48, 4), "encapsulation": (52, 4),
        "source_address_type": (56, 4), "destination_address_type": (60, 4),
        "protocol_text": (64, 32), "info_text": (96, 256),
        "link_source_text": (352, 32), "link_destination_text": (384, 32),
        "source_text": (416, 64), "destination_text": (480, 64),
    }),
    TreeNode: (768, {
        "parent_index": (0, 4), "index": (4, 4), "start": (8, 4), "length": (12, 4),
        "field_type": (16, 4), "field_abbrev": (20, 256), "field_name": (276, 240),
        "label": (516, 240), "node": (760, 8),
    }),
    SavePacketRequest: (48, {
        "frame_number": (0, 4), "packet_length": (4, 4), "captured_length": (8, 4),
        "file_offset": (16, 8), "time_seconds": (24, 8), "time_nanoseconds": (32, 4),
        "encapsulation": (36, 4), "skip_flag": (40, 1),
    }),
    WsbBatchValue: (16, {"kind": (0, 4), "text_size": (4, 4), "value": (8, 8)}),
    WsbPacketBatch: (96, {
        "capacity": (0, 4), "field_count": (4, 4), "field_ids": (8, 8), "occurrences": (16, 4),
        "whole_texts": (20, 4), "summaries": (24, 8), "values": (32, 8),
        "value_capacity": (40, 4), "value_starts": (48, 8), "texts": (56, 8),
        "text_capacity": (64, 8), "text_offsets": (72, 8), "packets": (80, 4),
        "values_used": (84, 4), "texts_used": (88, 8),
    }),
    WsbConversation: (216, {
        "address_a": (0, 64), "address_b": (64, 64), "address_type": (128, 4), "port_a": (132, 4),
        "port_b": (136, 4), "first_frame": (140, 4), "frames_a_to_b": (144, 8),
        "bytes_a_to_b": (152, 8), "frames_b_to_a": (160, 8), "bytes_b_to_a": (168, 8),
        "start_seconds": (176, 8), "stop_seconds": (184, 8), "absolute_seconds": (192, 8),
        "start_nanoseconds": (200, 4), "stop_nanoseconds": (204, 4),
        "absolute_nanoseconds": (208, 4), "conversation_id": (212, 4),
    }),
    WsbEndpoint: (112, {
        "address": (0, 64), "address_type": (64, 4), "port": (68, 4), "tx_frames": (72, 8),
        "tx_bytes": (80, 8), "rx_frames": (88, 8), "rx_bytes": (96, 8), "first_frame": (104, 4),
        "reserved": (108, 4),
    }),
    WsbHierarchyRow: (96, {
        "protocol": (0, 64), "depth": (64, 4), "parent": (68, 4), "frames": (72, 8),
        "bytes": (80, 8), "first_frame": (88, 4), "reserved": (92, 4),
    }),
    WsbIntervalRow: (112, {
        "series": (0, 4), "first_frame_values": (4, 4), "interval": (8, 8), "frames": (16, 8),
        "bytes": (24, 8), "values": (32, 8), "sum": (40, 8), "minimum": (48, 8),
        "maximum": (56, 8), "float_sum": (64, 8), "float_minimum": (72, 8),
        "float_maximum": (80, 8), "first_minimum": (88, 8), "first_float_minimum": (96, 8),
        "first_frame": (104, 4), "reserved": (108, 4),
    }),
    WsbLiveOptions: (48, {
        "interface_name": (0, 8), "capture_filter": (8, 8), "spool_folder": (16, 8),
        "snap_length": (24, 4), "stop_after_packets": (28, 4), "stop_after_seconds": (32, 4),
        "session_packets": (36, 4), "ring_file_kilobytes": (40, 4), "ring_files": (44, 4),
    }),
    WsbInterface: (400, {
        "number": (0, 4), "loopback": (4, 4), "name": (8, 128), "description": (136, 128),
        "addresses": (264, 136),
    }),
}


def _check_record_layouts():
    problems = []
    for record, (size, fields) in RECORD_LAYOUTS.items():
        if ctypes.sizeof(record) != size:
            problems.append("%s is %d bytes, the library's is %d"
                            % (record.__name__, ctypes.sizeof(record), size))
        declared = [name for name, _ in record._fields_]
        if declared != list(fields):
            problems.append("%s declares the fields %s" % (record.__name__, declared))
        for name, (offset, field_size) in fields.items():
            descriptor = getattr(record, name, None)
            if descriptor is None:
                continue
            if (descriptor.offset, descriptor.size) != (offset, field_size):
                problems.append("%s.%s lies at %d (%d bytes), the library's at %d (%d bytes)"
                                % (record.__name__, name, descriptor.offset, descriptor.size,
                                   offset, field_size))
    if problems:
        raise ImportError("wsbridge: the records do not match the library's layout on this "
                          "platform: " + "; ".join(problems))


_check_record_layouts()


class FieldType(enum.IntEnum):
    """Field type codes (WSB_FT_*)."""

    NONE = 0
    PROTOCOL = 1
    BOOLEAN = 2
    UINT8 = 3
    UINT16 = 4
    UINT24 = 5
    UINT32 = 6
    UINT64 = 7
    INT8 = 8
    INT16 = 9
    INT24 = 10
    INT32 = 11
    INT64 = 12
    FLOAT = 13
    DOUBLE = 14
    ABSOLUTE_TIME = 15
    RELATIVE_TIME = 16
    STRING = 17
    STRINGZ = 18
    EBCDIC = 19
    UINT_STRING = 20
    ETHER = 21
    BYTES = 22
    UINT_BYTES = 23
    IPv4 = 24
    IPv6 = 25
    IPXNET = 26
    FRAMENUM = 27
    PCRE = 28
    GUID = 29
    OID = 30
    EUI64 = 31
    AX25 = 32
    VINES = 33
    REL_OID = 34
    SYSTEM_ID = 35
    STRINGZPAD = 36
    FCWWN = 37
    STRINGZTRUNC = 38
    IEEE_11073_SFLOAT = 39
    IEEE_11073_FLOAT = 40


class AddressType(enum.IntEnum):
    """Address type codes (WSB_AT_*)."""

    NONE = 0
    ETHER = 1
    IPv4 = 2
    IPv6 = 3
    IPX = 4
    SNA = 5
    ATALK = 6
    VINES = 7
    OSI = 8
    ARCNET = 9
    FC = 10
    SS7PC = 11
    STRINGZ = 12
    EUI64 = 13
    URI = 14
    TIPC = 15
    FCWWN = 16
    IB = 17
    AX25 = 18
    NUMERIC = 19
    OTHER = 20


class PortType(enum.IntEnum):
    """Port type codes (WSB_PT_*)."""

    NONE = 0
    SCTP = 1
    TCP = 2
    UDP = 3
    DCCP = 4
    IPX = 5
    NCP = 6
    EXCHG = 7
    DDP = 8
    SBCCS = 9
    IDP = 10
    TIPC = 11
    USB = 12
    I2C = 13
    IBQP = 14
    BLUETOOTH = 15
    IWARP_MPA = 16


def _ptr(t):
    return ctypes.POINTER(t)


_text_out = _ptr(ctypes.c_void_p)  # const char ** (read with string_at and the size)
_locator = [_c_uint32, _c_int64, _c_int32, _c_uint32, _c_int32]

# name: (restype, argtypes), in the header's order.
PROTOTYPES = {
    "gGetLastError": (ctypes.c_char_p, []),
    "gGetLastErrorCode": (_c_int32, []),
    "gInitEpan": (_c_int32, []),
    "gCleanupEpan": (_c_int32, []),
    "gHackedCleanup": (None, []),
    "gGetVersion": (_c_int32, [_text_out, _text_out]),
    "gGetRecordLayout": (_c_int32, [ctypes.c_char_p, ctypes.c_char_p, _ptr(_c_int32), _ptr(_c_int32)]),
    "gSetPreference": (_c_int32, [ctypes.c_char_p]),
    "gRegisterProtocolFieldFilter": (_c_int32, [ctypes.c_char_p, ctypes.c_char_p]),
    "gGetProtocolFieldFilterInfo": (_c_int32, [ctypes.c_char_p, _ptr(_c_int32), _ptr(_c_int32)]),
    "gOpenCapture": (_c_int32, [ctypes.c_char_p]),
    "gCloseCapture": (_c_int32, []),
    "gGetNextPacket": (_c_int32, [_ptr(PacketSummary)]),
    "gSetDisplayFilter": (_c_int32, [ctypes.c_char_p]),
    "gSetSummaryTexts": (_c_int32, [_c_int32]),
    "gGetPacketAtOffset": (_c_int32, [_ptr(PacketSummary)] + _locator),
    "gGetPacketTexts": (_c_int32, [_text_out, _ptr(_c_int32), _text_out, _ptr(_c_int32)]),
    "gGetPacketTimePrecision": (_c_int32, [_ptr(_c_int32)]),
    "gGetFirstPacketTime": (_c_int32, [_ptr(ctypes.c_int64), _ptr(_c_int32)]),
    "gGetDissectionGeneration": (_c_int32, [_ptr(_c_uint64)]),
    "gSetReadingShare": (_c_int32, [_c_int32, _c_int32, _c_int32]),
    "gListInterfaces": (_c_int32, [_ptr(_ptr(WsbInterface)), _ptr(_c_int32)]),
    "gOpenLiveCapture": (_c_int32, [_ptr(WsbLiveOptions)]),
    "gWaitForPacket": (_c_int32, [_c_int32]),
    "gStopLiveCapture": (_c_int32, []),
    "gGetLiveCaptureCounts": (_c_int32, [_ptr(_c_uint64), _ptr(_c_uint64)]),
    "gBuildPacketProtocolTree": (_c_int32, [_ptr(_c_int32), _ptr(_ptr(_c_uint8))] + _locator),
    "gGetProtocolTreeNodesCount": (_c_int32, [_ptr(_c_int32)]),
    "gGetTreeNodeByIndex": (_c_int32, [_ptr(TreeNode), _c_int32]),
    "gFreePacketProtocolTree": (_c_int32, []),
    "gCreateCaptureFileForSave": (_c_int32, [ctypes.c_char_p]),
    "gCreateCaptureFileForSaveInFormat": (_c_int32, [ctypes.c_char_p, _c_int32]),
    "gGetSaveFileFormat": (_c_int32, [_ptr(_c_int32)]),
    "gSavePacketToCaptureFile": (_c_int32, [_ptr(_c_uint8), _ptr(SavePacketRequest)]),
    "gCloseCaptureFileForSave": (_c_int32, []),
    "gSaveFrames": (_c_int32, [ctypes.c_char_p, _c_int32, _ptr(_c_uint32), _c_int32, ctypes.c_char_p,
                               _c_int32, _ptr(_c_int32), _ptr(_c_int32), _ptr(_c_int32)]),
    "gFollowTCPStreamForPacket": (_c_int32, list(_locator)),
    "gAddPacketToTCPStream": (_c_int32, list(_locator)),
    "gIsValidTcpStrem": (_c_int32, [_ptr(_c_uint8), _c_int32,
                                    _text_out, _ptr(_c_int32), _text_out, _ptr(_c_int32),
                                    _text_out, _ptr(_c_int32)]),
    "gGetNextTCPStreamLine": (_c_int32, [_c_int32, _c_int32, _text_out, _ptr(_c_uint32),
                                         _ptr(_c_uint8), _ptr(_c_uint8)]),
    "gFollowUDPStreamForPacket": (_c_int32, list(_locator)),
    "gAddPacketToUDPStream": (_c_int32, list(_locator)),
    "gIsValidUDPStrem": (_c_int32, [_ptr(_c_uint8),
                                    _text_out, _ptr(_c_int32), _text_out, _ptr(_c_int32),
                                    _text_out, _ptr(_c_int32)]),
    "gGetNextUDPStreamLine": (_c_int32, [_c_int32, _c_int32, _text_out, _ptr(_c_uint32),
                                         _ptr(_c_uint8), _ptr(_c_uint8)]),
    "gFollowConversation": (_c_int32, [_c_int32] + _locator),
    "gGetFollowTexts": (_c_int32, [_text_out, _ptr(_c_int32)] * 3),
    "gGetNextFollowChunk": (_c_int32, [_c_int32, _c_int32, _text_out, _ptr(_c_uint32),
                                       _ptr(_c_uint8), _ptr(_c_uint8)]),
    "gLastPacketHasPassedFilter": (_c_int32, [ctypes.c_char_p, _ptr(_c_int32),
                                              _ptr(_ptr(_c_int32))]),
    "gGetFieldInfo": (_c_int32, [_c_int32, _ptr(_c_int32), _ptr(_c_int32), _ptr(_c_int32)]),
    "gGetFieldInfoEx": (_c_int32, [_c_int32, _ptr(_c_int32), _ptr(_c_int32), _ptr(_c_int32)]),
    "gGetTransportProtocolPayloadOffset": (_c_int32, [_ptr(_c_int32)]),
    "gGetIPv4ProtocolPayloadOffset": (_c_int32, [_ptr(_c_int32)]),
    "gGetUInt64ProtocolFieldValue": (_c_int32, [_ptr(_c_uint64), _c_int32]),
    "gGetUInt64ProtocolFieldValueByTreeNode": (_c_int32, [ctypes.c_void_p, _ptr(_c_uint64)]),
    "gGetInt32ProtocolFieldValue": (_c_int32, [_ptr(_c_int32), _c_int32]),
    "gGetInt32ProtocolFieldValueByTreeNode": (_c_int32, [ctypes.c_void_p, _ptr(_c_int32)]),
    "gGetStringProtocolFieldValue": (_c_int32, [_text_out, _ptr(_c_int32), _c_int32]),
    "gGetStringProtocolFieldValueByTreeNode": (_c_int32, [ctypes.c_void_p, _text_out,
                                                          _ptr(_c_int32)]),
    "gGetFieldValueText": (_c_int32, [_text_out, _ptr(_c_int32), _c_int32]),
    "gGetFieldValueTextByTreeNode": (_c_int32, [ctypes.c_void_p, _text_out, _ptr(_c_int32)]),
    "gGetNextPacketBatch": (_c_int32, [_ptr(WsbPacketBatch)]),
    "gGetFieldValue": (_c_int32, [_c_int32, _ptr(WsbBatchValue), _text_out]),
    # Statistics tables.
    "gRequestStatistics": (_c_int32, [ctypes.c_char_p, _ptr(_c_int32)]),
    "gClearStatistics": (_c_int32, []),
    "gGetStatisticsKind": (_c_int32, [_c_int32, _ptr(_c_int32)]),
    "gGetConversations": (_c_int32, [_c_int32, _ptr(_ptr(WsbConversation)), _ptr(_c_int32)]),
    "gGetEndpoints": (_c_int32, [_c_int32, _ptr(_ptr(WsbEndpoint)), _ptr(_c_int32)]),
    "gGetHierarchy": (_c_int32, [_c_int32, _ptr(_ptr(WsbHierarchyRow)), _ptr(_c_int32)]),
    "gGetIntervals": (_c_int32, [_c_int32, _ptr(_ptr(WsbIntervalRow)), _ptr(_c_int32),
                                 _ptr(ctypes.c_int64), _ptr(_c_int32)]),
    "gGetStatisticsText": (_c_int32, [_c_int32, _text_out, _ptr(_c_int32)]),
    "gAddConversations": (_c_int32, [_c_int32, _ptr(WsbConversation), _c_int32]),
    "gAddEndpoints": (_c_int32, [_c_int32, _ptr(WsbEndpoint), _c_int32]),
    "gAddHierarchy": (_c_int32, [_c_int32, _ptr(WsbHierarchyRow), _c_int32]),
    "gAddIntervals": (_c_int32, [_c_int32, _ptr(WsbIntervalRow), _c_int32, ctypes.c_int64, _c_int32]),
}

class Library:
    """A loaded libwsbridge with every export declared.

    `raw` is the ctypes.CDLL whose functions carry their prototypes; `path`
    is what was loaded and `version` the library's own (gGetVersion). The
    library is checked once, here: one that lacks an export of PROTOTYPES
    or is older than the package is refused with OSError, so that nothing
    later needs to ask what the library can do. Obtain one with
    load_library().
    """

    def __init__(self, path):
        self.path = path
        self.raw = ctypes.CDLL(path)
        missing = [name for name in PROTOTYPES if not hasattr(self.raw, name)]
        if "gGetVersion" in missing or "gGetLastError" in missing:
            raise OSError("%s is not a wsbridge library of this interface: it lacks %s"
                          % (path, ", ".join(missing)))
        for name, (restype, argtypes) in PROTOTYPES.items():
            if name not in missing:
                function = getattr(self.raw, name)
                function.restype, function.argtypes = restype, argtypes
        text = ctypes.c_void_p()
        self.raw.gGetVersion(ctypes.byref(text), ctypes.byref(ctypes.c_void_p()))
        self.version = ctypes.string_at(text.value).decode("ascii", "replace") if text.value else "?"
        if missing or _older(self.version, VERSION):
            raise OSError("%s is libwsbridge %s, older than the %s this package needs%s: install "
                          "the library of the package's release (or point WSBRIDGE_LIBRARY at it)"
                          % (path, self.version, VERSION,
                             " (it lacks %s)" % ", ".join(missing) if missing else ""))

    def last_error(self):
        """gGetLastError() decoded as UTF-8 (undecodable bytes replaced)."""
        text = self.raw.gGetLastError()
        return (text or b"").decode("utf-8", errors="replace")

    def last_error_code(self):
        """gGetLastErrorCode(): the WSB_E_* code of the most recent failure."""
        return self.raw.gGetLastErrorCode()

    def __repr__(self):
        return "<wsbridge.Library %r>" % self.path


def _older(version, wanted):
    """Whether MAJOR.MINOR.PATCH `version` is older than `wanted` (a
    version that is not three numbers, such as "0+unknown", never is)."""
    def numbers(text):
        parts = text.split(".")
        return tuple(map(int, parts)) if len(parts) == 3 and all(p.isdigit() for p in parts) else None
    have, need = numbers(version), numbers(wanted)
    return have is not None and need is not None and have < need


def _installed_library():
    try:
        from . import _location  # written by `cmake --install`
    except ImportError:
        return None
    library = getattr(_location, "LIBRARY", None)
    if library and not os.path.isabs(library):
        # Recorded relative to this package's folder (the installation's
        # layout), so that a prefix moved or copied as a whole keeps working.
        package = os.path.dirname(os.path.realpath(__file__))
        library = os.path.normpath(os.path.join(package, library))
    return library


def library_candidates(path=None):
    """Where load_library(path) looks, in order: the argument, the
    WSBRIDGE_LIBRARY environment variable, the location the installation
    recorded, then the system's loader path (libwsbridge.so.N, libwsbridge.so).
    """
    if path:
        return [os.fspath(path)]
    variable = os.environ.get("WSBRIDGE_LIBRARY")
    if variable:
        return [variable]
    candidates = []
    installed = _installed_library()
    if installed:
        candidates.append(installed)
    candidates.append("libwsbridge.so.%d" % ABI_VERSION)
    found = ctypes.util.find_library("wsbridge")
    if found:
        candidates.append(found)
    candidates.append("libwsbridge.so")
    return candidates


_libraries = {}
_libraries_lock = threading.Lock()


def load_library(path=None):
    """Loads libwsbridge (see library_candidates for where it looks) and
    returns its Library; the same file is loaded once per process. Raises
    OSError when no candidate loads, naming where it looked and how to
    point at the library (WSBRIDGE_LIBRARY) or install it."""
    failures = []
    for candidate in library_candidates(path):
        key = os.path.realpath(candidate) if os.sep in candidate else candidate
        with _libraries_lock:
            library = _libraries.get(key)
            if library is not None:
                return library
            try:
                library = Library(candidate)
            except OSError as error:
                failures.append("%s: %s" % (candidate, error))
                continue
            _libraries[key] = library
            return library
    raise OSError("wsbridge: could not load the library (" + "; ".join(failures) + "). Set the "
                  "environment variable WSBRIDGE_LIBRARY to the path of libwsbridge.so (in a "
                  "build tree: BUILD/libwsbridge.so), pass that path to wsbridge.start(), or "
                  "install the library with `cmake --install BUILD`, after which the installed "
                  "package finds it.")
