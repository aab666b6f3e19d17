# SPDX-License-Identifier: GPL-2.0-or-later
"""Capture.to_dataframe: a capture's packets as a pandas DataFrame.

The library writes the packets' summaries, whole Protocol and Info texts
and typed field values into buffers (gGetNextPacketBatch), numpy views them
as arrays, and the columns are made of those arrays batch by batch, with no
Python work per packet: numbers are sliced out of the value records by
kind, and the texts of a batch are decoded in one piece and split at their
NULs. A protocol field (such as "ip") is the one exception: its value is
its label, which only a packet dissected with labels has, so each packet
of a frame with such a column is dissected again by its offset.

With jobs, several processes read one capture, each dissecting a share of
its conversations, and their frames are merged (shared_frame).
"""

import ctypes
import dataclasses
import itertools
from typing import List

from . import native
from ._guard import guarded
from ._processes import one_capture, refuse_unguarded_main, usable_jobs
from .batch import BatchBuffers
from .native import FieldType, PortType, ValueKind
from .records import SUMMARY_COLUMNS, sized_text

__all__ = ["DATAFRAME_GROUP", "capture_frame", "field_columns", "to_dataframe"]

# The group under which to_dataframe files the fields it is asked for.
DATAFRAME_GROUP = "wsbridge.to_dataframe"

# The PacketSummary values read per packet, in column order; "time" is made
# of time_seconds and time_nanoseconds.
RECORD_COLUMNS = SUMMARY_COLUMNS
TEXT_COLUMNS = RECORD_COLUMNS[-6:]
PORT_TYPES = [member.name for member in PortType]

# The columns of the time stamps' whole seconds and nanoseconds that
# to_dataframe(stamps=True) adds last (exact where `time` cannot hold them).
STAMP_COLUMNS = ("_stamp_seconds", "_stamp_nanoseconds")

# Packets a batch holds.
BATCH_PACKETS = 4096

_INT64_MAX = (1 << 63) - 1

# What a field's column holds, by its type, as the library types its values
# (WSB_VALUE_*): every other type is its text as tshark -T fields prints it.
_KINDS = dict(
    [(FieldType.BOOLEAN, "bool"), (FieldType.FRAMENUM, "uint"), (FieldType.FLOAT, "float"),
     (FieldType.DOUBLE, "float"), (FieldType.ABSOLUTE_TIME, "time"),
     (FieldType.RELATIVE_TIME, "timedelta")]
    + [(code, "uint") for code in (FieldType.UINT8, FieldType.UINT16, FieldType.UINT24,
                                   FieldType.UINT32, FieldType.UINT64)]
    + [(code, "int") for code in (FieldType.INT8, FieldType.INT16, FieldType.INT24,
                                  FieldType.INT32, FieldType.INT64)])


@dataclasses.dataclass(frozen=True)
class FieldColumn:
    """A field asked for: its name (the column's), engine id, type code and
    what the column holds ("uint", "int", "bool", "float", "time",
    "timedelta" or "text")."""

    name: str
    id: int
    type: int
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
        columns.append(FieldColumn(name, info.id, info.type, _KINDS.get(info.type, "text")))
    return columns


def import_pandas():
    try:
        import pandas
    except ImportError as error:
        raise ImportError("to_dataframe needs pandas: install it with `apt install python3-pandas` "
                          "(Debian, Ubuntu) or `pip install pandas`") from error
    return pandas


def capture_frame(capture, fields, filter, occurrence, jobs):
    """Capture.to_dataframe: in this process, or in `jobs` processes."""
    if occurrence not in ("first", "all"):
        raise ValueError("occurrence is \"first\" or \"all\", not %r" % (occurrence,))
    if jobs < 1:
        raise ValueError("jobs must be 1 or more, not %r" % (jobs,))
    if jobs == 1:
        return to_dataframe(capture, fields, filter, occurrence)
    capture._check("to_dataframe")
    fields = (fields,) if isinstance(fields, str) else tuple(fields)
    return shared_frame(type(capture.engine), capture.engine.preferences, capture.path, fields,
                        filter, occurrence, jobs)


def to_dataframe(capture, fields, filter, occurrence, stamps=False):
    """The DataFrame of the capture's packets that `filter` keeps, read in a
    pass of the package's own; `stamps` adds the STAMP_COLUMNS."""
    pandas = import_pandas()
    columns = field_columns(capture.engine, fields)
    with guarded("to_dataframe", capture) as call:
        with capture._reading.own_pass(call, filter):
            return _read_frame(pandas, capture, call, columns, occurrence == "all", stamps)


# ---- the batches --------------------------------------------------------------

def _summary_dtype(numpy):
    """A PacketSummary as a numpy record, laid out as ctypes lays it out."""
    names, formats, offsets = [], [], []
    for name, kind in native.PacketSummary._fields_:
        names.append(name)
        offsets.append(getattr(native.PacketSummary, name).offset)
        formats.append("S%d" % kind._length_ if hasattr(kind, "_length_") else numpy.dtype(kind))
    return numpy.dtype({"names": names, "formats": formats, "offsets": offsets,
                        "itemsize": ctypes.sizeof(native.PacketSummary)})


def _value_dtype(numpy):
    """A WsbBatchValue as a numpy record: its union read as each of its types
    (a text's offset is "i")."""
    return numpy.dtype({"names": ["kind", "text_size", "i", "u", "d"],
                        "formats": ["<i4", "<i4", "<i8", "<u8", "<f8"],
                        "offsets": [0, 4, 8, 8, 8], "itemsize": 16})


def _texts_of(numpy, column):
    """The texts of a numpy byte-string column (each ending at its first
    NUL) as a list of str: their bytes gathered with a NUL after each,
    decoded as UTF-8 in one piece (undecodable bytes replaced) and split
    at the NULs."""
    count = len(column)
    if count < 64:  # numpy's fixed costs outweigh a loop over a few
        return [bytes(text).partition(b"\0")[0].decode("utf-8", "replace") for text in column]
    width = column.dtype.itemsize
    table = numpy.zeros((count, width + 1), dtype=numpy.uint8)
    table[:, :width] = numpy.ascontiguousarray(column).view(numpy.uint8).reshape(count, width)
    # Each row up to its first NUL, and that NUL.
    ends = (table == 0).argmax(axis=1)
    keep = numpy.arange(width + 1) <= ends[:, None]
    texts = table[keep].tobytes().decode("utf-8", "replace").split("\0")
    texts.pop()  # after the last NUL
    return texts


class _BatchTexts:
    """The text space of the batch just read: every text decoded, found by
    the offset the library gave it."""

    def __init__(self, numpy, buffers):
        used = buffers.record.texts_used
        data = ctypes.string_at(ctypes.addressof(buffers.texts), used)
        self.numpy = numpy
        self.texts = numpy.array(data[:-1].decode("utf-8", "replace").split("\0") if used else [],
                                 dtype=object)
        self.starts = numpy.flatnonzero(numpy.frombuffer(data, dtype=numpy.uint8) == 0) + 1
        self.starts = numpy.concatenate(([0], self.starts[:-1])) if used else self.starts

    def at(self, offsets):
        """The texts at these offsets, as an object array."""
        return self.texts[self.numpy.searchsorted(self.starts, offsets)]


class _Column:
    """The pieces of one field column, batch by batch: the value records and
    texts (first occurrences), or the per-packet lists (every occurrence)."""

    def __init__(self, field):
        self.field = field
        self.records = []
        self.texts = []
        self.cells = []


def _read_frame(pandas, capture, call, columns, all_occurrences, exact_stamps):
    """Reads the rest of the pass (under the lock the caller holds) in
    batches and returns the DataFrame."""
    import numpy
    summary_dtype, value_dtype = _summary_dtype(numpy), _value_dtype(numpy)
    count = len(columns)
    labelled = [position for position, column in enumerate(columns) if column.type == FieldType.PROTOCOL]
    # A label is the one a packet gets when it is read: with labelled
    # columns, each packet is dissected again right after it was read.
    buffers = BatchBuffers(1 if labelled else BATCH_PACKETS, [column.id for column in columns],
                           all_occurrences)
    summaries = []
    pieces = [_Column(column) for column in columns]
    while True:
        packets = buffers.read(call)
        if not packets:
            break
        record = numpy.frombuffer(buffers.summaries, dtype=summary_dtype, count=packets)
        texts = _BatchTexts(numpy, buffers)
        summaries.append(_summary_piece(numpy, record, texts, buffers, packets))
        values = numpy.frombuffer(buffers.values, dtype=value_dtype, count=buffers.record.values_used)
        if all_occurrences and count:
            starts = numpy.frombuffer(buffers.starts, dtype=numpy.int32, count=packets * count + 1)
            _all_pieces(pandas, numpy, pieces, values, texts, starts, packets)
        elif count:
            values = values.reshape(packets, count)
            for position, piece in enumerate(pieces):
                column = values[:, position]
                cells = numpy.full(packets, None, dtype=object)
                is_text = column["kind"] == ValueKind.TEXT
                cells[is_text] = texts.at(column["i"][is_text])
                piece.records.append(column.copy())
                piece.texts.append(cells)
        if labelled:
            _put_labels(capture, call, record[0], [pieces[position] for position in labelled],
                        all_occurrences)
    return _frame(pandas, numpy, summaries, pieces, all_occurrences, exact_stamps)


def _summary_piece(numpy, record, texts, buffers, packets):
    """The summary columns of one batch (copied out of the buffers), with
    the whole Protocol and Info texts."""
    piece = {}
    for name in RECORD_COLUMNS:
        if name in TEXT_COLUMNS:
            piece[name] = _texts_of(numpy, record[name])
        else:
            piece[name] = record[name].copy()
    offsets = numpy.frombuffer(buffers.text_offsets, dtype=numpy.int64, count=2 * packets)
    piece["protocol_text"] = texts.at(offsets[0::2]).tolist()
    piece["info_text"] = texts.at(offsets[1::2]).tolist()
    return piece


def _all_pieces(pandas, numpy, pieces, values, texts, starts, packets):
    """Every occurrence: the list of them per packet and field (None when
    none), as Python objects of the column's kind."""
    count = len(pieces)
    for position, piece in enumerate(pieces):
        begin = starts[position:packets * count:count].astype(numpy.int64)
        end = starts[position + 1:packets * count + 1:count].astype(numpy.int64)
        # The batch's values run packet by packet, field by field: this
        # field's are the runs begin..end, gathered here so that only they
        # are read as the field's kind.
        lengths = end - begin
        ends = numpy.cumsum(lengths)
        own = numpy.repeat(begin - (ends - lengths), lengths) + numpy.arange(int(ends[-1]) if packets else 0)
        items = _python_values(pandas, numpy, piece.field, values[own], texts)
        piece.cells.extend(items[e - n:e] if n else None for n, e in zip(lengths.tolist(), ends.tolist()))


def _python_values(pandas, numpy, field, values, texts):
    """Values as the column's list cells hold them."""
    kinds = values["kind"]
    result = numpy.full(len(values), None, dtype=object)
    is_text = kinds == ValueKind.TEXT
    if field.kind == "text":
        result[is_text] = texts.at(values["i"][is_text])
        return result.tolist()
    numbers = _numbers(field, values).tolist()
    if field.kind in ("time", "timedelta"):
        scalar = pandas.Timestamp if field.kind == "time" else pandas.Timedelta
        zone = {"tz": "UTC"} if field.kind == "time" else {}
        numbers = [None if v in (_INT64_MAX, -_INT64_MAX - 1) else scalar(v, unit="ns", **zone)
                   for v in numbers]
    result[:] = numbers
    result[kinds != _VALUE_KINDS[field.kind]] = None
    return result.tolist()


# The kind of value a column of each kind takes (any other is missing).
_VALUE_KINDS = {"uint": ValueKind.UINT, "int": ValueKind.INT, "bool": ValueKind.BOOL,
                "float": ValueKind.DOUBLE, "time": ValueKind.TIME, "timedelta": ValueKind.DURATION}


def _numbers(field, values):
    """The values as the column's numbers: unsigned, signed, booleans, floats, nanoseconds."""
    kind = field.kind
    if kind == "uint":
        return values["u"]
    if kind == "bool":
        return values["u"] != 0
    if kind == "float":
        return values["d"]
    return values["i"]


def _put_labels(capture, call, record, pieces, all_occurrences):
    """The labels of the protocol columns for the packet just read (a batch
    of one), in place of the batch's values (sequential reading dissects
    without labels, so there a protocol's value is its filter name): the
    packet is dissected again by its offset, with labels, and the first
    occurrence read typed (gGetFieldValue); every occurrence is read from
    its tree."""
    raw = capture.engine.raw
    locator = [record[name].item() for name in ("frame_number", "file_offset", "captured_length",
                                                 "packet_length", "encapsulation")]
    if not all_occurrences:
        call(raw.gGetPacketAtOffset, None, *locator)
        value, pointer = native.WsbBatchValue(), ctypes.c_void_p()
        for piece in pieces:
            call(raw.gGetFieldValue, piece.field.id, ctypes.byref(value), ctypes.byref(pointer))
            piece.texts[-1][0] = (ctypes.string_at(pointer.value, value.text_size).decode("utf-8", "replace")
                                  if value.kind == ValueKind.TEXT else None)
        return
    length, count = ctypes.c_int32(0), ctypes.c_int32(0)
    data, node = ctypes.POINTER(ctypes.c_uint8)(), native.TreeNode()
    call(raw.gBuildPacketProtocolTree, ctypes.byref(length), ctypes.byref(data), *locator)
    call(raw.gGetProtocolTreeNodesCount, ctypes.byref(count))
    wanted = {piece.field.name.encode(): [] for piece in pieces}
    for position in range(count.value):
        call(raw.gGetTreeNodeByIndex, ctypes.byref(node), position)
        if node.field_abbrev in wanted:
            wanted[node.field_abbrev].append(node.node)
    for piece, handles in zip(pieces, wanted.values()):
        labels = []
        for handle in handles:
            pointer, size = ctypes.c_void_p(), ctypes.c_int32()
            call(raw.gGetFieldValueTextByTreeNode, handle, ctypes.byref(pointer), ctypes.byref(size))
            labels.append(sized_text(pointer, size.value))
        piece.cells[-1] = labels or None


# ---- the DataFrame ----------------------------------------------------------------

def _frame(pandas, numpy, summaries, pieces, all_occurrences, exact_stamps):
    """The DataFrame of the pieces: `time` as datetime64[ns, UTC] (NaT for a
    time stamp it cannot hold), `relative_time` in seconds, `port_type` as a
    categorical of PortType names, texts as strings; the field columns by
    what they hold."""
    def joined(name):
        parts = [piece[name] for piece in summaries]
        if name in TEXT_COLUMNS:
            return list(itertools.chain.from_iterable(parts))
        return numpy.concatenate(parts) if parts else numpy.empty(0)

    data = {}
    for name in RECORD_COLUMNS:
        if name == "time_seconds":
            seconds = joined("time_seconds").astype(numpy.int64)
            nanoseconds = joined("time_nanoseconds").astype(numpy.int64)
            fits = numpy.abs(seconds) < 9223372035
            stamps = numpy.where(fits, seconds * 10 ** 9 + nanoseconds,
                                 numpy.iinfo(numpy.int64).min)
            data["time"] = pandas.Series(stamps.view("datetime64[ns]")).dt.tz_localize("UTC")
        elif name == "time_nanoseconds":
            continue
        elif name == "relative_time":
            data[name] = pandas.Series(joined(name) / 1e7, dtype="float64")
        elif name == "port_type":
            data[name] = _port_types(pandas, numpy, joined(name).astype(numpy.int64))
        elif name in TEXT_COLUMNS:
            data[name] = pandas.Series(pandas.array(joined(name), dtype="string"))
        else:
            data[name] = pandas.Series(joined(name), dtype="int64")
    for piece in pieces:
        if all_occurrences:
            data[piece.field.name] = pandas.Series(piece.cells, dtype=object)
        else:
            data[piece.field.name] = _typed_column(pandas, numpy, piece)
    if exact_stamps:
        data[STAMP_COLUMNS[0]] = pandas.Series(joined("time_seconds"), dtype="int64")
        data[STAMP_COLUMNS[1]] = pandas.Series(joined("time_nanoseconds"), dtype="int64")
    return pandas.DataFrame(data)


def empty_frame(pandas, columns):
    """A frame without rows with the columns and types of a frame of `columns`."""
    import numpy
    return _frame(pandas, numpy, [], [_Column(column) for column in columns], False, False)


def _port_types(pandas, numpy, codes):
    if not len(codes) or (codes.min() >= 0 and codes.max() < len(PORT_TYPES)):
        return pandas.Series(pandas.Categorical.from_codes(codes, categories=PORT_TYPES))
    # A code of a later library: its number as its name.
    names = [PORT_TYPES[code] if 0 <= code < len(PORT_TYPES) else str(code) for code in codes.tolist()]
    return pandas.Series(pandas.Categorical(names, categories=list(dict.fromkeys(PORT_TYPES + names))))


def _typed_column(pandas, numpy, piece):
    """A column of first occurrences, typed by what it holds."""
    kind = piece.field.kind
    if kind == "text":
        texts = numpy.concatenate(piece.texts) if piece.texts else numpy.empty(0, dtype=object)
        return pandas.Series(pandas.array(texts, dtype="string"))
    records = numpy.concatenate(piece.records) if piece.records else numpy.empty(0, _value_dtype(numpy))
    kinds = records["kind"]
    numbers = _numbers(piece.field, records)
    missing = kinds != _VALUE_KINDS[kind]
    if kind == "float":
        return pandas.Series(numpy.where(missing, numpy.nan, numbers), dtype="float64")
    if kind == "uint":
        return pandas.Series(pandas.arrays.IntegerArray(numbers.astype(numpy.uint64), missing))
    if kind == "int":
        return pandas.Series(pandas.arrays.IntegerArray(numbers.astype(numpy.int64), missing))
    if kind == "bool":
        return pandas.Series(pandas.arrays.BooleanArray(numbers.astype(bool), missing))
    nanoseconds = numbers.astype(numpy.int64)
    missing = missing | (nanoseconds == _INT64_MAX) | (nanoseconds == -_INT64_MAX - 1)
    nanoseconds = numpy.where(missing, numpy.iinfo(numpy.int64).min, nanoseconds)
    if kind == "time":
        return pandas.Series(nanoseconds.view("datetime64[ns]")).dt.tz_localize("UTC")
    return pandas.Series(nanoseconds.view("timedelta64[ns]"))


# ---- one capture in several processes -------------------------------------------

# The field that counts from the packet shown before: with a display filter,
# each share's process counts from the packet it showed before.
DISPLAYED_DELTA = "frame.time_delta_displayed"


def share_frame(engine_class, path, fields, filter, preferences, share=0, shares=1,
                occurrence="first", stamps=False):
    """The frame of one share of a capture's conversations (with the time
    stamps' exact columns when `stamps`), read in the process this runs in
    by its engine (`engine_class`'s, started on first use with
    `preferences`)."""
    with one_capture:
        engine = engine_class.prepared(None, preferences)
        engine.set_reading_share(share, shares, "balanced")
        try:
            with engine.open(path) as capture:
                return to_dataframe(capture, fields, filter, occurrence, stamps)
        finally:
            engine.set_reading_share(0, 1)


def shared_frame(engine_class, preferences, path, fields, filter, occurrence, jobs):
    """Capture.to_dataframe with jobs > 1: `jobs` fresh processes read the
    capture, each dissecting one share of its conversations, and their rows
    are put back in frame order. frame.time_delta_displayed with a display
    filter is worked out again over the merged rows."""
    import concurrent.futures
    import multiprocessing
    import numpy
    pandas = import_pandas()
    refuse_unguarded_main()
    jobs = usable_jobs(jobs)
    stamps = bool(filter) and DISPLAYED_DELTA in fields
    context = multiprocessing.get_context("forkserver")
    with concurrent.futures.ProcessPoolExecutor(max_workers=jobs, mp_context=context) as pool:
        futures = [pool.submit(share_frame, engine_class, path, fields, filter, preferences, share, jobs,
                               occurrence, stamps)
                   for share in range(jobs)]
        frames = [future.result() for future in futures]
    frame = pandas.concat(frames, ignore_index=True)
    frame = frame.sort_values("frame_number", kind="stable").reset_index(drop=True)
    if stamps:
        _mend_displayed_deltas(pandas, numpy, frame, occurrence == "all")
        frame = frame.drop(columns=list(STAMP_COLUMNS))
    return frame


def _mend_displayed_deltas(pandas, numpy, frame, all_occurrences):
    """Sets frame.time_delta_displayed of the merged rows to the time since
    the row before (0 on the first row), from the exact time stamps, as one
    process gives it: missing where timedelta64[ns] cannot hold it."""
    seconds = frame[STAMP_COLUMNS[0]].to_numpy(dtype=numpy.int64)
    nanoseconds = frame[STAMP_COLUMNS[1]].to_numpy(dtype=numpy.int64)
    missing = numpy.iinfo(numpy.int64).min
    deltas = numpy.zeros(len(seconds), dtype=numpy.int64)
    if len(seconds) > 1:
        with numpy.errstate(over="ignore"):
            whole = seconds[1:] - seconds[:-1]
        # Exact in 64 bits below 9e9 seconds apart; beyond, counted in
        # Python's integers (damaged stamps).
        near = numpy.abs(seconds[1:].astype(numpy.float64) - seconds[:-1].astype(numpy.float64)) < 9e9
        with numpy.errstate(over="ignore"):
            deltas[1:] = numpy.where(near, whole * 10 ** 9 + nanoseconds[1:] - nanoseconds[:-1], missing)
        for index in (~near).nonzero()[0].tolist():
            span = (int(seconds[index + 1]) - int(seconds[index])) * 10 ** 9 + \
                int(nanoseconds[index + 1]) - int(nanoseconds[index])
            deltas[index + 1] = span if -(1 << 63) < span < 1 << 63 else missing
    column = frame[DISPLAYED_DELTA]
    if all_occurrences:
        frame[DISPLAYED_DELTA] = pandas.Series(
            [None if cell is None else [None if delta == missing else pandas.Timedelta(delta, unit="ns")]
             for cell, delta in zip(column, deltas.tolist())], dtype=object)
    else:
        frame[DISPLAYED_DELTA] = pandas.Series(deltas.view("timedelta64[ns]"))
