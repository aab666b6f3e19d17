# SPDX-License-Identifier: GPL-2.0-or-later
"""Capture.to_dataframe over batches: the library writes the packets'
summaries and field values into buffers (gGetNextPacketBatch), numpy views
them as arrays, and the columns are made of those arrays batch by batch,
with no Python work per packet: numbers are sliced out of the value
records by kind, and the texts of a batch are decoded in one piece and
split at their NULs.

The columns and their types are those of dataframe.build_frame.
"""

import ctypes
import itertools

from . import native
from .batch import BatchBuffers
from .dataframe import (RECORD_COLUMNS, STAMP_COLUMNS, TEXT_COLUMNS, PORT_TYPES, _parsed, _port_types,
                        _scalar)
from .native import ValueKind

__all__ = ["read_frame"]

# Packets a batch holds.
BATCH_PACKETS = 4096

_INT64_MAX = (1 << 63) - 1


def _summary_dtype(numpy):
    """A PacketSummary as a numpy record, laid out as ctypes lays it out."""
    names, formats, offsets = [], [], []
    for name, kind in native.PacketSummary._fields_:
        descriptor = getattr(native.PacketSummary, name)
        names.append(name)
        offsets.append(descriptor.offset)
        if hasattr(kind, "_length_"):
            formats.append("S%d" % kind._length_)
        else:
            formats.append(numpy.dtype(kind))
    return numpy.dtype({"names": names, "formats": formats, "offsets": offsets,
                        "itemsize": ctypes.sizeof(native.PacketSummary)})


def _value_dtype(numpy):
    """A WsbBatchValue as a numpy record: its union read as each of its types."""
    return numpy.dtype({"names": ["kind", "text_size", "i", "u", "d"],
                        "formats": ["<i4", "<i4", "<i8", "<u8", "<f8"],
                        "offsets": [0, 4, 8, 8, 8], "itemsize": 16})


def _texts_of(numpy, column):
    """The texts of a numpy byte-string column (each ending at its first
    NUL) as a list of str: their bytes gathered with a NUL after each,
    decoded as UTF-8 in one piece (undecodable bytes replaced) and split
    at the NULs."""
    count = len(column)
    if not count:
        return []
    width = column.dtype.itemsize
    table = numpy.zeros((count, width + 1), dtype=numpy.uint8)
    table[:, :width] = numpy.ascontiguousarray(column).view(numpy.uint8).reshape(count, width)
    # Each row up to its first NUL, and that NUL.
    ends = (table == 0).argmax(axis=1)
    keep = numpy.arange(width + 1) <= ends[:, None]
    texts = table[keep].tobytes().decode("utf-8", "replace").split("\0")
    texts.pop()  # after the last NUL
    return texts


def _batch_texts(numpy, buffers, used):
    """Every text value of the batch just read, in the order the library
    wrote them (packet by packet, field by field), as an object array."""
    if not used:
        return numpy.empty(0, dtype=object)
    data = ctypes.string_at(ctypes.addressof(buffers.texts), used - 1)
    return numpy.array(data.decode("utf-8", "replace").split("\0"), dtype=object)


class _Column:
    """The pieces of one field column, batch by batch: kinds, the value
    records and the texts (for FIRST); the per-packet lists (for ALL)."""

    def __init__(self, field):
        self.field = field
        self.records = []
        self.texts = []
        self.cells = []


def read_frame(pandas, capture, call, columns, all_occurrences, exact_stamps=False):
    """Reads the rest of the pass (under the lock the caller holds) in
    batches and returns the DataFrame."""
    import numpy
    summary_dtype = _summary_dtype(numpy)
    value_dtype = _value_dtype(numpy)
    count = len(columns)
    buffers = BatchBuffers(BATCH_PACKETS, [column.id for column in columns], all_occurrences,
                           text_capacity=BATCH_PACKETS * 48 * max(count, 1))
    summaries = []
    pieces = [_Column(column) for column in columns]
    while True:
        packets = buffers.read(call)
        if not packets:
            break
        record = numpy.frombuffer(buffers.summaries, dtype=summary_dtype, count=packets)
        summaries.append(_summary_piece(numpy, record))
        if not count:
            continue
        values = numpy.frombuffer(buffers.values, dtype=value_dtype,
                                  count=buffers.record.values_used)
        texts = _batch_texts(numpy, buffers, buffers.record.texts_used)
        kinds = values["kind"]
        is_text = kinds == ValueKind.TEXT
        text_index = numpy.cumsum(is_text) - 1
        if all_occurrences:
            starts = numpy.frombuffer(buffers.starts, dtype=numpy.int32, count=packets * count + 1)
            _all_pieces(pandas, numpy, pieces, values, kinds, is_text, text_index, texts, starts, packets)
        else:
            shape = (packets, count)
            kinds, values = kinds.reshape(shape), values.reshape(shape)
            is_text, text_index = is_text.reshape(shape), text_index.reshape(shape)
            for position, piece in enumerate(pieces):
                column_texts = numpy.full(packets, None, dtype=object)
                mask = is_text[:, position]
                column_texts[mask] = texts[text_index[:, position][mask]]
                piece.records.append(values[:, position].copy())
                piece.texts.append(column_texts)
    return _frame(pandas, numpy, summaries, pieces, all_occurrences, exact_stamps)


def _summary_piece(numpy, record):
    """The summary columns of one batch (copied out of the buffers)."""
    piece = {}
    for name in RECORD_COLUMNS:
        if name in TEXT_COLUMNS:
            piece[name] = _texts_of(numpy, record[name])
        else:
            piece[name] = record[name].copy()
    return piece


def _all_pieces(pandas, numpy, pieces, values, kinds, is_text, text_index, texts, starts, packets):
    """ALL: the list of every occurrence per packet and field (None when
    none), as Python objects of the column's kind."""
    count = len(pieces)
    for position, piece in enumerate(pieces):
        field = piece.field
        begin = starts[position:packets * count:count].astype(numpy.int64)
        end = starts[position + 1:packets * count + 1:count].astype(numpy.int64)
        # The batch's values run packet by packet, field by field: this
        # field's are the runs begin..end, gathered here so that only they
        # are read as the field's kind.
        lengths = end - begin
        ends = numpy.cumsum(lengths)
        own = numpy.repeat(begin - (ends - lengths), lengths) + numpy.arange(int(ends[-1]) if packets else 0)
        items = _python_values(pandas, numpy, field, values[own], kinds[own], is_text[own],
                               text_index[own], texts)
        piece.cells.extend(items[e - n:e] if n else None for n, e in zip(lengths.tolist(), ends.tolist()))


def _python_values(pandas, numpy, field, values, kinds, is_text, text_index, texts):
    """Every value of the batch as the column's list cells hold them."""
    result = numpy.full(len(values), None, dtype=object)
    if field.kind == "text":
        result[is_text] = texts[text_index[is_text]]
        return result.tolist()
    numbers = _numbers(numpy, field, values, kinds).tolist()
    if field.kind in ("time", "timedelta"):
        numbers = [None if v == _INT64_MAX or v == -_INT64_MAX - 1 else _scalar(pandas, field, v)
                   for v in numbers]
    result[:] = numbers
    result[kinds == ValueKind.ABSENT] = None
    # A number column whose value came as text (a type the library has no
    # number for, such as IEEE 11073 floats): parsed as the text reader
    # parses it.
    for index in is_text.nonzero()[0].tolist():
        result[index] = _scalar(pandas, field, _parsed(field, texts[text_index[index]], _NoRecord))
    return result.tolist()


def _numbers(numpy, field, values, kinds):
    """The values as the column's numbers: unsigned, signed, booleans, floats, nanoseconds."""
    kind = field.kind
    if kind == "uint":
        return values["u"]
    if kind == "bool":
        return values["u"] != 0
    if kind == "float":
        return numpy.where(kinds == ValueKind.DOUBLE, values["d"],
                           numpy.where(kinds == ValueKind.INT, values["i"].astype(numpy.float64),
                                       values["u"].astype(numpy.float64)))
    return values["i"]


class _NoRecord:
    frame_number = 0


def _frame(pandas, numpy, summaries, pieces, all_occurrences, exact_stamps):
    """The DataFrame of the pieces, with dataframe.build_frame's columns and types."""
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
            codes = joined(name).astype(numpy.int64)
            if len(codes) and (codes.min() < 0 or codes.max() >= len(PORT_TYPES)):
                data[name] = _port_types(pandas, codes.tolist())
            else:
                data[name] = pandas.Series(pandas.Categorical.from_codes(codes, categories=PORT_TYPES))
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


def _typed_column(pandas, numpy, piece):
    """A FIRST field column typed as build_frame types it."""
    field = piece.field
    kind = field.kind
    records = numpy.concatenate(piece.records) if piece.records else numpy.empty(0, _value_dtype(numpy))
    kinds = records["kind"]
    texts = numpy.concatenate(piece.texts) if piece.texts else numpy.empty(0, dtype=object)
    is_text = kinds == ValueKind.TEXT
    if kind == "text":
        return pandas.Series(pandas.array(texts, dtype="string"))
    numbers = _numbers(numpy, field, records, kinds)
    missing = kinds == ValueKind.ABSENT
    if is_text.any():
        # Values the library gave as text: parsed one by one, as the text reader does.
        numbers = numbers.astype(object)
        for index in is_text.nonzero()[0].tolist():
            value = _parsed(field, texts[index], _NoRecord)
            if value is None:
                missing[index] = True
            else:
                numbers[index] = value
        if kind in ("uint", "int", "int24", "bool", "time", "timedelta"):
            numbers = numpy.where(missing, 0, numbers).astype(
                numpy.uint64 if kind == "uint" else bool if kind == "bool" else numpy.int64)
        else:
            numbers = numpy.where(missing, numpy.nan, numbers).astype(numpy.float64)
    if kind == "uint":
        return pandas.Series(pandas.arrays.IntegerArray(numbers.astype(numpy.uint64), missing))
    if kind in ("int", "int24"):
        return pandas.Series(pandas.arrays.IntegerArray(numbers.astype(numpy.int64), missing))
    if kind == "bool":
        return pandas.Series(pandas.arrays.BooleanArray(numbers.astype(bool), missing))
    if kind == "float":
        return pandas.Series(numpy.where(missing, numpy.nan, numbers), dtype="float64")
    nanoseconds = numbers.astype(numpy.int64)
    missing = missing | (nanoseconds == _INT64_MAX) | (nanoseconds == -_INT64_MAX - 1)
    nanoseconds = numpy.where(missing, numpy.iinfo(numpy.int64).min, nanoseconds)
    if kind == "time":
        return pandas.Series(nanoseconds.view("datetime64[ns]")).dt.tz_localize("UTC")
    return pandas.Series(nanoseconds.view("timedelta64[ns]"))
