# SPDX-License-Identifier: GPL-2.0-or-later
"""Statistics tables of a capture as pandas DataFrames: conversations,
endpoints, the protocol hierarchy and traffic per interval, counted by the
engine's own taps and conversation tables while sequential reading
dissects the packets (gRequestStatistics and the record getters).

The library counts during a reading of the capture and takes the requests
only while no capture is open, so a Capture's tables are gathered in a pass
of their own: the capture is closed in the library, the tables are asked
for, the file is opened again and read to its end without the Protocol and
Info texts (tshark -q reads so), the records are taken, the tables are
forgotten and reading goes back to where it was (Reading._restore). Every
table therefore answers for the whole capture, whatever was read before
(the display filter does not change what the tables count, as with
tshark -Y).

With jobs=N, N new processes each count one reading share of the capture
(Engine.set_reading_share "balanced") and hand back their records; the
records are added into tables of this process (gAddConversations ...),
which then equal one process's tables. parallel.to_dask_statistics does the
same for many captures, a partition per capture.
"""

import ctypes
import dataclasses
import re
from typing import List, Optional, Sequence

from . import native
from ._guard import guarded
from ._processes import one_capture, refuse_unguarded_main, usable_jobs
from .batch import BatchBuffers
from .native import StatisticsKind
from .records import encode_text, sized_text

__all__ = ["RawTable", "capture_tables", "empty_frame", "frame_of", "io_request", "merge_tables",
           "requested", "share_tables"]

# Packets a batch of the counting pass holds.
_BATCH = 4096

# Per kind: the record, its getter and the export that adds records.
_RECORDS = {
    StatisticsKind.CONVERSATIONS: (native.WsbConversation, "gGetConversations", "gAddConversations"),
    StatisticsKind.ENDPOINTS: (native.WsbEndpoint, "gGetEndpoints", "gAddEndpoints"),
    StatisticsKind.HIERARCHY: (native.WsbHierarchyRow, "gGetHierarchy", "gAddHierarchy"),
    StatisticsKind.INTERVALS: (native.WsbIntervalRow, "gGetIntervals", "gAddIntervals"),
}


@dataclasses.dataclass(frozen=True)
class RawTable:
    """One table as the library handed it out: the request, its kind, its
    records as bytes (`count` records), the elapsed time of an interval
    table (seconds, nanoseconds) and the text `tshark -n -q -z REQUEST`
    prints. It travels between processes by pickle."""

    request: str
    kind: StatisticsKind
    data: bytes
    count: int
    elapsed: tuple
    text: str

    def records(self, numpy):
        """The records as a numpy structured array."""
        return numpy.frombuffer(self.data, dtype=_dtype(numpy, _RECORDS[self.kind][0]), count=self.count)


def _dtype(numpy, structure):
    """A ctypes Structure as a numpy record, laid out as ctypes lays it out."""
    names, formats, offsets = [], [], []
    for name, kind in structure._fields_:
        names.append(name)
        offsets.append(getattr(structure, name).offset)
        formats.append("S%d" % kind._length_ if hasattr(kind, "_length_") else numpy.dtype(kind))
    return numpy.dtype({"names": names, "formats": formats, "offsets": offsets,
                        "itemsize": ctypes.sizeof(structure)})


# ---- asking, reading and adding ---------------------------------------------------

def _request_all(call, raw, requests):
    """Forgets every table and asks for `requests` (no capture open)."""
    call(raw.gClearStatistics)
    tables = []
    for request in requests:
        table = ctypes.c_int32()
        call(raw.gRequestStatistics, encode_text(request, "statistics request"), ctypes.byref(table))
        tables.append(table.value)
    return tables


def _take(call, raw, request, table) -> RawTable:
    """A table's records, elapsed time and text, copied out of the library."""
    kind = ctypes.c_int32()
    call(raw.gGetStatisticsKind, table, ctypes.byref(kind))
    kind = StatisticsKind(kind.value)
    structure, getter, _ = _RECORDS[kind]
    records, count = ctypes.POINTER(structure)(), ctypes.c_int32()
    elapsed = (0, 0)
    if kind == StatisticsKind.INTERVALS:
        seconds, nanoseconds = ctypes.c_int64(), ctypes.c_int32()
        call(getattr(raw, getter), table, ctypes.byref(records), ctypes.byref(count),
             ctypes.byref(seconds), ctypes.byref(nanoseconds))
        elapsed = (seconds.value, nanoseconds.value)
    else:
        call(getattr(raw, getter), table, ctypes.byref(records), ctypes.byref(count))
    data = ctypes.string_at(records, count.value * ctypes.sizeof(structure)) if count.value else b""
    text, size = ctypes.c_void_p(), ctypes.c_int32()
    call(raw.gGetStatisticsText, table, ctypes.byref(text), ctypes.byref(size))
    return RawTable(request, kind, data, count.value, elapsed, sized_text(text, size.value))


def _add(call, raw, table, part: RawTable):
    """Adds the records another process handed out to a table of this one."""
    structure, _, adder = _RECORDS[part.kind]
    records = (structure * max(part.count, 1)).from_buffer_copy(part.data or bytes(ctypes.sizeof(structure)))
    pointer = ctypes.cast(records, ctypes.POINTER(structure))
    if part.kind == StatisticsKind.INTERVALS:
        call(getattr(raw, adder), table, pointer, part.count, *part.elapsed)
    else:
        call(getattr(raw, adder), table, pointer, part.count)


def _count_pass(call, capture):
    """Reads the capture's file from its first packet to its end, without
    the Protocol and Info texts, so that the tables asked for count it."""
    raw = capture.engine.raw
    capture._reading.reopen(call, None)
    buffers = BatchBuffers(_BATCH, text_capacity=1 << 16)
    call(raw.gSetSummaryTexts, 0)
    try:
        while buffers.read(call):
            pass
    finally:
        raw.gSetSummaryTexts(1)


def capture_tables(capture, requests: Sequence[str], jobs: int = 1) -> List[RawTable]:
    """The tables of `requests` (tshark's -z texts) over the whole capture,
    counted in a pass of their own (or in `jobs` processes, one reading
    share each, added up here); reading goes on afterwards as it was."""
    requests = [requests] if isinstance(requests, str) else list(requests)
    if jobs < 1:
        raise ValueError("jobs must be 1 or more, not %r" % (jobs,))
    if jobs > 1:
        refuse_unguarded_main()
    with guarded("statistics", capture) as call:
        reading = capture._reading
        kept = reading._kept()
        raw = capture.engine.raw
        # Tables are asked for while no capture is open.
        call(raw.gCloseCapture)
        try:
            tables = _request_all(call, raw, requests)
            if jobs == 1:
                _count_pass(call, capture)
            else:
                # The requests were checked here first; the shares' records
                # are added to these tables.
                for share in _shares(type(capture.engine), capture.engine.preferences, capture.path,
                                     requests, jobs):
                    for table, part in zip(tables, share):
                        _add(call, raw, table, part)
            return [_take(call, raw, request, table) for request, table in zip(requests, tables)]
        finally:
            # Later readings count nothing: the tables are forgotten.
            raw.gCloseCapture()
            raw.gClearStatistics()
            reading._restore(call, kept)


def share_tables(engine_class, path, requests, preferences, share=0, shares=1) -> List[RawTable]:
    """The tables of one reading share of a capture, counted in the process
    this runs in by its engine (started on first use with `preferences`)."""
    with one_capture:
        engine = engine_class.prepared(None, preferences)
        engine.set_reading_share(share, shares, "balanced")
        try:
            with engine.open(path) as capture:
                return capture_tables(capture, requests)
        finally:
            engine.set_reading_share(0, 1)


def _shares(engine_class, preferences, path, requests, jobs):
    """The tables of each of `jobs` reading shares, each counted by a fresh process."""
    import concurrent.futures
    import multiprocessing
    context = multiprocessing.get_context("forkserver")
    jobs = usable_jobs(jobs)
    with concurrent.futures.ProcessPoolExecutor(max_workers=jobs, mp_context=context) as pool:
        futures = [pool.submit(share_tables, engine_class, path, requests, preferences, share, jobs)
                   for share in range(jobs)]
        return [future.result() for future in futures]


def merge_tables(engine, parts: Sequence[Sequence[RawTable]]) -> List[RawTable]:
    """The tables of several reading shares of one capture (each a list of
    RawTables of the same requests) added up by the library in this
    process's engine, which must have no capture open."""
    if not parts:
        return []
    requests = [table.request for table in parts[0]]
    with guarded("statistics", engine) as call:
        raw = engine.raw
        try:
            tables = _request_all(call, raw, requests)
            for share in parts:
                for table, part in zip(tables, share):
                    _add(call, raw, table, part)
            return [_take(call, raw, request, table) for request, table in zip(requests, tables)]
        finally:
            raw.gClearStatistics()


# ---- requests ---------------------------------------------------------------------

def _interval_text(interval) -> str:
    seconds = float(interval)
    if not seconds >= 0:
        raise ValueError("interval is a number of seconds, 0 or more, not %r" % (interval,))
    text = ("%.6f" % seconds).rstrip("0").rstrip(".")
    if seconds and text in ("0", ""):
        raise ValueError("interval is at least 0.000001 seconds (0: the whole capture), not %r"
                         % (interval,))
    return text


def io_request(interval, filters=None) -> str:
    """The io,stat request of an interval in seconds and series (display
    filters, or tshark's FUNCTION(FIELD)FILTER texts)."""
    if isinstance(filters, str):
        filters = [filters]
    series = list(filters or [])
    for text in series:
        encode_text(text, "io,stat series")
        if "," in text:
            raise ValueError("an io,stat series cannot hold a comma (tshark parts series at "
                             "commas): %r" % (text,))
    return ",".join(["io,stat", _interval_text(interval)] + series)


# ---- DataFrames -------------------------------------------------------------------

def _import_pandas():
    from .dataframe import import_pandas
    return import_pandas()


def _texts(pandas, column):
    return pandas.array([bytes(value).decode("utf-8", "replace") for value in column], dtype="string")


def _seconds(numpy, seconds, nanoseconds):
    return seconds.astype(numpy.float64) + nanoseconds.astype(numpy.float64) / 1e9


def _stamps(pandas, numpy, seconds, nanoseconds):
    fits = numpy.abs(seconds) < 9223372035
    stamps = numpy.where(fits, seconds * 10 ** 9 + nanoseconds, numpy.iinfo(numpy.int64).min)
    return pandas.Series(stamps.astype(numpy.int64).view("datetime64[ns]")).dt.tz_localize("UTC")


def _ints(pandas, column):
    return pandas.Series(column.astype("int64"), dtype="int64")


def frame_of(table: RawTable):
    """A RawTable as a pandas DataFrame with typed columns (see the Capture
    methods for the columns of each kind)."""
    import numpy
    pandas = _import_pandas()
    records = table.records(numpy)
    make = {StatisticsKind.CONVERSATIONS: _conversations, StatisticsKind.ENDPOINTS: _endpoints,
            StatisticsKind.HIERARCHY: _hierarchy, StatisticsKind.INTERVALS: _intervals}[table.kind]
    return make(pandas, numpy, records, table)


def _conversations(pandas, numpy, r, table):
    seconds = r["start_seconds"].astype(numpy.int64)
    nanoseconds = r["start_nanoseconds"].astype(numpy.int64)
    start = _seconds(numpy, seconds, nanoseconds)
    stop = _seconds(numpy, r["stop_seconds"].astype(numpy.int64), r["stop_nanoseconds"].astype(numpy.int64))
    # The duration in exact nanoseconds before it becomes a float.
    duration = ((r["stop_seconds"].astype(numpy.int64) - seconds) * 10 ** 9
                + r["stop_nanoseconds"].astype(numpy.int64) - nanoseconds) / 1e9 if len(r) else stop
    return pandas.DataFrame({
        "address_a": _texts(pandas, r["address_a"]),
        "port_a": _ints(pandas, r["port_a"]),
        "address_b": _texts(pandas, r["address_b"]),
        "port_b": _ints(pandas, r["port_b"]),
        "frames_a_to_b": _ints(pandas, r["frames_a_to_b"]),
        "bytes_a_to_b": _ints(pandas, r["bytes_a_to_b"]),
        "frames_b_to_a": _ints(pandas, r["frames_b_to_a"]),
        "bytes_b_to_a": _ints(pandas, r["bytes_b_to_a"]),
        "frames": _ints(pandas, r["frames_a_to_b"] + r["frames_b_to_a"]),
        "bytes": _ints(pandas, r["bytes_a_to_b"] + r["bytes_b_to_a"]),
        "start": pandas.Series(start, dtype="float64"),
        "duration": pandas.Series(duration, dtype="float64"),
        "start_time": _stamps(pandas, numpy, r["absolute_seconds"].astype(numpy.int64),
                              r["absolute_nanoseconds"].astype(numpy.int64)),
        "first_frame": _ints(pandas, r["first_frame"]),
        "conversation_id": _ints(pandas, r["conversation_id"]),
        "address_type": _ints(pandas, r["address_type"]),
    })


def _endpoints(pandas, numpy, r, table):
    return pandas.DataFrame({
        "address": _texts(pandas, r["address"]),
        "port": _ints(pandas, r["port"]),
        "frames": _ints(pandas, r["tx_frames"] + r["rx_frames"]),
        "bytes": _ints(pandas, r["tx_bytes"] + r["rx_bytes"]),
        "tx_frames": _ints(pandas, r["tx_frames"]),
        "tx_bytes": _ints(pandas, r["tx_bytes"]),
        "rx_frames": _ints(pandas, r["rx_frames"]),
        "rx_bytes": _ints(pandas, r["rx_bytes"]),
        "first_frame": _ints(pandas, r["first_frame"]),
        "address_type": _ints(pandas, r["address_type"]),
    })


def _hierarchy(pandas, numpy, r, table):
    protocols = [bytes(value).decode("utf-8", "replace") for value in r["protocol"]]
    parents = r["parent"].astype(numpy.int64).tolist()
    paths = []
    for protocol, parent in zip(protocols, parents):
        paths.append(protocol if parent < 0 or parent >= len(paths) else paths[parent] + ":" + protocol)
    return pandas.DataFrame({
        "protocol": pandas.array(protocols, dtype="string"),
        "path": pandas.array(paths, dtype="string"),
        "depth": _ints(pandas, r["depth"]),
        "parent": _ints(pandas, r["parent"]),
        "frames": _ints(pandas, r["frames"]),
        "bytes": _ints(pandas, r["bytes"]),
        "first_frame": _ints(pandas, r["first_frame"]),
    })


_FUNCTION = re.compile(r"^\s*(FRAMES|BYTES|COUNT|SUM|MIN|MAX|AVG|LOAD)\s*\(([^)]*)\)(.*)$", re.S)


def _series_of(request):
    """The interval in seconds and the series texts of an io,stat request
    (one series of every packet when it names none)."""
    parts = request.split(",")
    series = parts[3:] or [""]
    return float(parts[2]), series


def _fractional_series(text, functions):
    """Which function series print fractional values in the table's text
    (tshark prints relative times as seconds with decimals): the records
    keep relative times as integer nanoseconds, like integers, so the text
    tells them apart. Each series prints two cells (frames, bytes) without
    a function, one with."""
    widths = [1 if function else 2 for function in functions]
    fractional = [False] * len(functions)
    for line in text.splitlines():
        cells = [cell.strip() for cell in line.split("|")]
        if len(cells) < 3 or "<>" not in cells[1]:
            continue
        values = cells[2:-1]
        position = 0
        for index, width in enumerate(widths):
            if functions[index] and position < len(values) and "." in values[position]:
                fractional[index] = True
            position += width
    return fractional


def _intervals(pandas, numpy, r, table):
    interval, series = _series_of(table.request)
    functions = []
    for text in series:
        match = _FUNCTION.match(text)
        functions.append(match.group(1) if match and match.group(1) not in ("FRAMES", "BYTES") else None)
    fractional = _fractional_series(table.text, functions)
    elapsed = table.elapsed[0] * 10 ** 9 + table.elapsed[1]
    step = int(round(interval * 1e9))
    rows = 1 if step == 0 else int(elapsed // step) + 1
    if len(r):
        rows = max(rows, int(r["interval"].max()) + 1)
    count = len(series)
    index = numpy.arange(rows * count)
    columns = {
        "interval": index // count,
        "start": (index // count) * interval,
        "series": index % count,
        "filter": [series[position] for position in (index % count).tolist()],
        "frames": numpy.zeros(rows * count, dtype=numpy.int64),
        "bytes": numpy.zeros(rows * count, dtype=numpy.int64),
    }
    where = r["interval"].astype(numpy.int64) * count + r["series"].astype(numpy.int64)
    columns["frames"][where] = r["frames"].astype(numpy.int64)
    columns["bytes"][where] = r["bytes"].astype(numpy.int64)
    if any(functions):
        value = numpy.full(rows * count, numpy.nan)
        for position, function in enumerate(functions):
            if not function:
                continue
            own = r[r["series"] == position]
            spots = own["interval"].astype(numpy.int64) * count + position
            value[numpy.arange(rows) * count + position] = 0.0
            is_float = bool(len(own)) and bool(((own["float_sum"] != 0) | (own["float_minimum"] != 0) |
                                                (own["float_maximum"] != 0)).any())
            if is_float:
                total, low, high = own["float_sum"], own["float_minimum"], own["float_maximum"]
            else:
                scale = 1e9 if fractional[position] else 1.0
                total = own["sum"].astype(numpy.float64) / scale
                low = own["minimum"].astype(numpy.float64) / scale
                high = own["maximum"].astype(numpy.float64) / scale
            counts = own["values"].astype(numpy.float64)
            present = counts > 0
            chosen = {"COUNT": counts, "SUM": total, "MIN": numpy.where(present, low, 0.0),
                      "MAX": numpy.where(present, high, 0.0),
                      "AVG": numpy.where(present, total / numpy.where(present, counts, 1.0), 0.0)}
            value[spots] = chosen[function]
        columns["value"] = value
    frame = pandas.DataFrame({name: values for name, values in columns.items()})
    for name in ("interval", "series", "frames", "bytes"):
        frame[name] = frame[name].astype("int64")
    frame["start"] = frame["start"].astype("float64")
    frame["filter"] = frame["filter"].astype("string")
    return frame


def _kind_of(request):
    for prefix, kind in (("conv,", StatisticsKind.CONVERSATIONS), ("endpoints,", StatisticsKind.ENDPOINTS),
                         ("io,phs", StatisticsKind.HIERARCHY), ("io,stat,", StatisticsKind.INTERVALS)):
        if request.startswith(prefix):
            return kind
    raise ValueError("a statistics request is conv,PROTOCOL, endpoints,PROTOCOL, io,phs or "
                     "io,stat,INTERVAL[,SERIES]..., not %r" % (request,))


def empty_frame(request):
    """A frame without rows with the columns and types of a request's table."""
    return frame_of(RawTable(request, _kind_of(request), b"", 0, (0, 0), "")).iloc[:0]


def requested(kind: str, protocol: Optional[str], filter: Optional[str]) -> str:
    """The request text of a conversations or endpoints table ("conv,tcp")
    or of the hierarchy ("io,phs"), with an optional display filter."""
    parts = [kind] + ([protocol] if protocol else [])
    if filter:
        parts.append(filter)
    for part in parts:
        encode_text(part, "statistics request")
    return ",".join(parts)
