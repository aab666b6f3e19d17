# SPDX-License-Identifier: GPL-2.0-or-later
"""Capture.to_dataframe: a capture's packets as a pandas DataFrame.

With a library that reads in batches (gGetNextPacketBatch), the frame is
made of numpy arrays over the batch buffers (batch_frame.py). Otherwise the
work has two steps. read_rows() is the one loop over the packets: it reads
every packet of a pass over the capture into plain Python lists, one per
column (numbers, texts, nanoseconds, None where a field is absent).
build_frame() then gives each column its pandas type; the batch reader
gives its columns the same types.
"""

import calendar
import ctypes
import dataclasses
import re
import time
from typing import List

from ._guard import guarded
from .errors import NotSupportedError, WsbridgeError
from .native import FieldType, PacketSummary, PortType, Status, TreeNode
from .records import SUMMARY_COLUMNS, sized_text, text

__all__ = ["DATAFRAME_GROUP", "to_dataframe"]

# The group under which to_dataframe files the fields it is asked for.
DATAFRAME_GROUP = "wsbridge.to_dataframe"

# The PacketSummary values read per packet, in column order; "time" is made
# of time_seconds and time_nanoseconds.
RECORD_COLUMNS = SUMMARY_COLUMNS
TEXT_COLUMNS = RECORD_COLUMNS[-6:]

# Field type -> (the getter that reads it, what its column holds). The
# library's numeric getters take neither 24-bit integers nor frame numbers:
# those are read as text (decimal, or hexadecimal or octal in their display
# base) and parsed.
_UNSIGNED = {FieldType.UINT8, FieldType.UINT16, FieldType.UINT32, FieldType.UINT64}
_SIGNED = {FieldType.INT8, FieldType.INT16, FieldType.INT32}
_STRING_GETTER = {FieldType.STRING, FieldType.IPv4, FieldType.IPv6}
_FLOATS = {FieldType.FLOAT, FieldType.DOUBLE, FieldType.IEEE_11073_SFLOAT,
           FieldType.IEEE_11073_FLOAT}


def _reading(field_type):
    if field_type == FieldType.BOOLEAN:
        return "uint64", "bool"
    if field_type in _UNSIGNED:
        return "uint64", "uint"
    if field_type in _SIGNED:
        return "int32", "int"
    if field_type == FieldType.INT64:
        return "int64", "int"
    if field_type in (FieldType.UINT24, FieldType.FRAMENUM):
        return "text", "uint"
    if field_type == FieldType.INT24:
        return "text", "int24"
    if field_type in _FLOATS:
        return "text", "float"
    if field_type == FieldType.ABSOLUTE_TIME:
        return "text", "time"
    if field_type == FieldType.RELATIVE_TIME:
        return "text", "timedelta"
    if field_type in _STRING_GETTER:
        return "string", "text"
    # Any other type: its text as tshark -T fields prints it (a protocol its
    # label, from a packet dissected again with labels: see read_rows).
    return "text", "text"


@dataclasses.dataclass(frozen=True)
class FieldColumn:
    """A field asked for: its name (the column's), engine id, type code,
    the getter that reads it and what the column holds ("uint", "int",
    "int24", "bool", "float", "time", "timedelta" or "text")."""

    name: str
    id: int
    type: int
    getter: str
    kind: str


def field_columns(engine, fields) -> List[FieldColumn]:
    """The FieldColumns of field names, filed under DATAFRAME_GROUP (before
    any packet is read: the registry is compiled by field_info)."""
    if isinstance(fields, str):
        fields = (fields,)
    columns = []
    for name in dict.fromkeys(fields):
        engine._ensure_registered(name, DATAFRAME_GROUP)
        info = engine.field_info(name)
        columns.append(FieldColumn(name, info.id, info.type, *_reading(info.type)))
    return columns


# The columns of the time stamps' whole seconds and nanoseconds that
# to_dataframe(stamps=True) adds last (exact where `time` cannot hold them).
STAMP_COLUMNS = ("_stamp_seconds", "_stamp_nanoseconds")


def to_dataframe(capture, fields, filter, occurrence, stamps=False):
    """See Capture.to_dataframe; `stamps` adds the STAMP_COLUMNS."""
    if occurrence not in ("first", "all"):
        raise ValueError("occurrence is \"first\" or \"all\", not %r" % (occurrence,))
    pandas = import_pandas()
    columns = field_columns(capture.engine, fields)
    # Sequential reading dissects without labels, so a batch gives a
    # protocol's filter name ("ip"); tshark prints its label, which needs
    # each packet dissected again by its offset (read_rows).
    batches = capture.engine.library.has("gGetNextPacketBatch") and \
        not any(column.type == FieldType.PROTOCOL for column in columns)
    with guarded("to_dataframe", capture) as call:
        wanted = capture.filter if filter is None else filter
        with capture._own_pass(call, filter=wanted) as state:
            if batches:
                from .batch_frame import read_frame
                frame = read_frame(pandas, capture, call, columns, occurrence == "all", stamps)
            else:
                rows = read_rows(capture, call, columns, occurrence == "all")
            state.at_end = True
    return frame if batches else build_frame(pandas, rows, columns, occurrence == "all", stamps)


# ---- the loop over the packets ------------------------------------------------

def read_rows(capture, call, columns, all_occurrences):
    """Reads the rest of the pass (under the lock the caller holds) into a
    dict of lists: RECORD_COLUMNS with the record's values (texts as bytes),
    then one list per field column with its value (its first occurrence,
    or the list of all of them) or None when the packet lacks it."""
    rows = {name: [] for name in RECORD_COLUMNS}
    for column in columns:
        rows[column.name] = []
    record = PacketSummary()
    record_lists = [(name, rows[name]) for name in RECORD_COLUMNS]
    field_lists = [(column, rows[column.name]) for column in columns]
    # A protocol's value is its label, as tshark prints it: sequential
    # reading dissects without labels, so the packet is dissected again by
    # its offset, as the frame it was (every occurrence comes from such a
    # dissection anyway).
    labels = not all_occurrences and any(column.type == FieldType.PROTOCOL for column in columns)
    raw = capture.engine.raw
    while capture._read_record(call, record):
        for name, values in record_lists:
            values.append(getattr(record, name))
        if not columns:
            continue
        if labels:
            call(raw.gGetPacketAtOffset, None, record.frame_number, record.file_offset,
                 record.captured_length, record.packet_length, record.encapsulation,
                 dissects=True)
        matched = set(capture._matched(call, DATAFRAME_GROUP))
        if all_occurrences:
            present = [column for column in columns if column.id in matched]
            nodes = _tree_items(capture, call, record, present) if present else {}
            for column, values in field_lists:
                values.append(nodes.get(column.name))
        else:
            for column, values in field_lists:
                values.append(_first(capture, call, column, record)
                              if column.id in matched else None)
    return rows


def _first(capture, call, column, record):
    """The value of a matched field's first occurrence."""
    try:
        value = capture._value(call, column.getter, column.id)
    except WsbridgeError as error:
        if error.status != Status.FAILED:
            raise
        return None  # the engine has no value for it (a protocol covering no bytes)
    return _parsed(column, value, record)


def _tree_items(capture, call, record, columns):
    """Every occurrence of the columns' fields in the packet just read, from
    its protocol tree: {name: [value, ...]}. The tree leaves hidden items
    out, so a field that matched but shows no item cannot be listed."""
    raw = capture.engine.raw
    length = ctypes.c_int32(0)
    data = ctypes.POINTER(ctypes.c_uint8)()
    count = ctypes.c_int32(0)
    call(raw.gBuildPacketProtocolTree, ctypes.byref(length), ctypes.byref(data),
         record.frame_number, record.file_offset, record.captured_length, record.packet_length,
         record.encapsulation, dissects=True)
    call(raw.gGetProtocolTreeNodesCount, ctypes.byref(count))
    wanted = {column.name.encode(): column for column in columns}
    handles = {column.name: [] for column in columns}
    node = TreeNode()
    for position in range(count.value):
        call(raw.gGetTreeNodeByIndex, ctypes.byref(node), position)
        column = wanted.get(node.field_abbrev)
        if column is not None:
            handles[column.name].append(node.node)
    items = {}
    for column in columns:
        if not handles[column.name]:
            raise NotSupportedError(
                Status.FAILED, "%s occurs in frame %d only as hidden items, which a protocol tree "
                "leaves out: occurrence=\"all\" cannot list them (ask for the fields it stands "
                "for, or for its first occurrence)" % (column.name, record.frame_number),
                call.operation)
        items[column.name] = [_parsed(column, _node_value(raw, call, column.getter, handle), record)
                              for handle in handles[column.name]]
    return items


def _node_value(raw, call, getter, handle):
    """A tree item's value by getter kind (see Capture._value)."""
    if getter in ("string", "text"):
        pointer, size = ctypes.c_void_p(), ctypes.c_int32()
        function = (raw.gGetStringProtocolFieldValueByTreeNode if getter == "string"
                    else raw.gGetFieldValueTextByTreeNode)
        status = call(function, handle, ctypes.byref(pointer), ctypes.byref(size),
                      accept=(Status.FAILED,))
        return sized_text(pointer, size.value) if status == Status.OK else None
    if getter == "int32":
        value = ctypes.c_int32()
        call(raw.gGetInt32ProtocolFieldValueByTreeNode, handle, ctypes.byref(value))
        return value.value
    value = ctypes.c_uint64()
    call(raw.gGetUInt64ProtocolFieldValueByTreeNode, handle, ctypes.byref(value))
    return ctypes.c_int64(value.value).value if getter == "int64" else value.value


# ---- values read as text --------------------------------------------------------

_OCTAL = re.compile(r"-?0[0-7]+")
_MONTHS = {name: number for number, name in enumerate(
    ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"), 1)}
# The engine's absolute times: "Feb  1, 2015 22:04:33.817203000 UTC" (or the
# local zone's name), "2015/032 22:04:33.817203000 UTC" (day of the year).
_CALENDAR_TIME = re.compile(r"([A-Z][a-z]{2}) +(\d+), (\d+) (\d+):(\d+):(\d+)(\.\d+)? ?(.*)")
_YEAR_DAY_TIME = re.compile(r"(\d+)/(\d+) (\d+):(\d+):(\d+)(\.\d+)? ?(.*)")
_SECONDS = re.compile(r"(-?)(\d+)(?:\.(\d+))?")


def _parsed(column, value, record):
    """A value as its column holds it: numbers read as text parsed,
    times as nanoseconds (since 1970 UTC, or of a duration)."""
    if value is None:
        return None
    kind = column.kind
    if kind == "bool":
        return bool(value)
    if column.getter != "text" or kind == "text":
        return value
    try:
        if kind in ("uint", "int24"):
            number = _integer(value)
            if kind == "int24" and number >= 1 << 23 and not value.startswith("-"):
                number -= 1 << 24  # a hexadecimal or octal text shows the 24 bits
            return number
        if kind == "float":
            return float(value)
        if kind == "timedelta":
            return _nanoseconds(value)
        return _epoch_nanoseconds(value)
    except ValueError:
        raise ValueError("frame %d: %s has the value %r, which is not a %s as the engine writes "
                         "one" % (record.frame_number, column.name, value,
                                  "time" if kind == "time" else "number")) from None


def _integer(value):
    if value.lower().startswith(("0x", "-0x")):
        return int(value, 16)
    if _OCTAL.fullmatch(value):
        return int(value, 8)
    return int(value, 10)


def _representable(nanoseconds):
    """The count, or None when datetime64[ns] and timedelta64[ns] cannot
    hold it (beyond about 292 years from 1970: a damaged time stamp)."""
    return nanoseconds if -(1 << 63) < nanoseconds < 1 << 63 else None


def _nanoseconds(value):
    """Nanoseconds of a count of seconds written "-12.345678900" (None
    beyond what timedelta64[ns] holds)."""
    match = _SECONDS.fullmatch(value.strip())
    if not match:
        raise ValueError(value)
    sign, whole, fraction = match.groups()
    nanoseconds = int(whole) * 10 ** 9 + int(((fraction or "") + "000000000")[:9])
    return _representable(-nanoseconds if sign else nanoseconds)


def _epoch_nanoseconds(value):
    """Nanoseconds since 1970 UTC of an absolute time as the engine writes
    it: in UTC, in the local time of this process (the zone the engine
    wrote it in), or as seconds since 1970. None for a time that
    datetime64[ns] cannot hold."""
    if value.strip() in ("", "Not representable"):
        return None
    match = _CALENDAR_TIME.fullmatch(value.strip())
    if match:
        month, day, year, hour, minute, second, fraction, zone = match.groups()
        fields = (int(year), _MONTHS[month], int(day), int(hour), int(minute), int(second))
    else:
        match = _YEAR_DAY_TIME.fullmatch(value.strip())
        if not match:
            return _nanoseconds(value)
        year, year_day, hour, minute, second, fraction, zone = match.groups()
        date = time.strptime("%s %s" % (year, year_day), "%Y %j")
        fields = (int(year), date.tm_mon, date.tm_mday, int(hour), int(minute), int(second))
    if not 1677 <= fields[0] <= 2262:
        return None
    if zone in ("UTC", "GMT", "Z"):
        seconds = calendar.timegm(fields + (0, 0, 0))
    else:
        seconds = int(time.mktime(fields + (0, 0, -1)))
    return _representable(seconds * 10 ** 9 + _nanoseconds("0" + (fraction or "")))


# ---- the DataFrame ----------------------------------------------------------

PORT_TYPES = [member.name for member in PortType]


def build_frame(pandas, rows, columns, all_occurrences, stamps=False):
    """The DataFrame of read_rows' lists: `time` as datetime64[ns, UTC]
    (NaT for a time stamp it cannot hold), `relative_time` in seconds,
    `port_type` as a categorical of PortType names, texts as strings; the
    field columns by what they hold."""
    data = {}
    for name in RECORD_COLUMNS:
        values = rows[name]
        if name == "time_seconds":
            nanoseconds = [_representable(seconds * 10 ** 9 + part)
                           for seconds, part in zip(values, rows["time_nanoseconds"])]
            data["time"] = pandas.Series(pandas.to_datetime(nanoseconds, unit="ns", utc=True))
        elif name == "time_nanoseconds":
            continue
        elif name == "relative_time":
            data[name] = pandas.Series([value / 1e7 for value in values], dtype="float64")
        elif name == "port_type":
            data[name] = _port_types(pandas, values)
        elif name in TEXT_COLUMNS:
            data[name] = pandas.Series(pandas.array([text(value) for value in values],
                                                    dtype="string"))
        else:
            data[name] = pandas.Series(values, dtype="int64")
    for column in columns:
        values = rows[column.name]
        if all_occurrences:
            data[column.name] = pandas.Series([None if items is None else
                                               [_scalar(pandas, column, item) for item in items]
                                               for items in values], dtype=object)
        else:
            data[column.name] = _typed(pandas, column, values)
    if stamps:
        data[STAMP_COLUMNS[0]] = pandas.Series(rows["time_seconds"], dtype="int64")
        data[STAMP_COLUMNS[1]] = pandas.Series(rows["time_nanoseconds"], dtype="int64")
    return pandas.DataFrame(data)


def _port_types(pandas, codes):
    categories = list(PORT_TYPES)
    names = []
    for code in codes:
        if 0 <= code < len(PORT_TYPES):
            names.append(PORT_TYPES[code])
        else:  # a code of a later library
            names.append(str(code))
            if names[-1] not in categories:
                categories.append(names[-1])
    return pandas.Series(pandas.Categorical(names, categories=categories))


def _typed(pandas, column, values):
    kind = column.kind
    if kind in ("uint", "int", "int24"):
        return pandas.Series(pandas.array(values, dtype="UInt64" if kind == "uint" else "Int64"))
    if kind == "bool":
        return pandas.Series(pandas.array(values, dtype="boolean"))
    if kind == "float":
        return pandas.Series([float("nan") if value is None else value for value in values],
                             dtype="float64")
    if kind == "time":
        return pandas.Series(pandas.to_datetime(values, unit="ns", utc=True))
    if kind == "timedelta":
        return pandas.Series(pandas.to_timedelta(values, unit="ns"))
    return pandas.Series(pandas.array(values, dtype="string"))


def _scalar(pandas, column, value):
    """One occurrence in a list cell, as its column's type would hold it."""
    if value is None:
        return None
    if column.kind == "time":
        return pandas.Timestamp(value, unit="ns", tz="UTC")
    if column.kind == "timedelta":
        return pandas.Timedelta(value, unit="ns")
    return value


def import_pandas():
    try:
        import pandas
    except ImportError as error:
        raise ImportError("to_dataframe needs pandas: install it with `apt install python3-pandas` "
                          "(Debian, Ubuntu) or `pip install pandas`") from error
    return pandas
