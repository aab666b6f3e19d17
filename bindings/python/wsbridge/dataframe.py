"""Capture.to_dataframe: a capture's packets as a pandas DataFrame."""

from ._guard import guarded
from .errors import InvalidSettingError
from .native import FieldType
from .records import SUMMARY_COLUMNS

# The group under which to_dataframe files the fields it is asked for.
DATAFRAME_GROUP = "wsbridge.to_dataframe"

_UNSIGNED = {FieldType.UINT8, FieldType.UINT16, FieldType.UINT32, FieldType.UINT64}
_SIGNED = {FieldType.INT8, FieldType.INT16, FieldType.INT32}
_TEXT = {FieldType.STRING, FieldType.PROTOCOL, FieldType.IPv4, FieldType.IPv6}


def to_dataframe(capture, fields, filter):
    """See Capture.to_dataframe."""
    pandas = _import_pandas()
    if isinstance(fields, str):
        fields = (fields,)
    fields = list(dict.fromkeys(fields))
    getters = [(name,) + _field(capture, name) for name in fields]
    columns = {name: [] for name in SUMMARY_COLUMNS}
    values = {name: [] for name in fields}
    raw = capture.engine.raw
    with guarded("to_dataframe", capture) as call:
        if filter is not None:
            call(raw.gSetDisplayFilter, filter.encode(), failure=InvalidSettingError)
        try:
            while True:
                summary = capture._next(call)
                if summary is None:
                    break
                for name in SUMMARY_COLUMNS:
                    columns[name].append(getattr(summary, name))
                matched = set(capture._matched(call, DATAFRAME_GROUP)) if getters else ()
                for name, field_id, kind, _ in getters:
                    values[name].append(capture._value(call, kind, field_id)
                                        if field_id in matched else None)
        finally:
            if filter is not None:
                own = capture.filter
                raw.gSetDisplayFilter(own.encode() if own else None)
    frame = pandas.DataFrame({name: [int(v) if isinstance(v, int) else v for v in column]
                              for name, column in columns.items()})
    for name, _, kind, dtype in getters:
        if dtype == "boolean":
            frame[name] = pandas.array([None if v is None else bool(v) for v in values[name]],
                                       dtype=dtype)
        elif dtype is not None:
            frame[name] = pandas.array(values[name], dtype=dtype)
        else:
            frame[name] = pandas.Series(values[name], dtype=object)
    return frame


def _field(capture, name):
    """(id, getter kind, pandas dtype) of a field for to_dataframe; files
    the name under the DataFrame group first."""
    capture.engine._ensure_registered(name, DATAFRAME_GROUP)
    info = capture.engine.field_info(name)
    if info.type in _UNSIGNED:
        return info.id, "uint64", "UInt64"
    if info.type == FieldType.BOOLEAN:
        return info.id, "uint64", "boolean"
    if info.type in _SIGNED:
        return info.id, "int32", "Int64"
    if info.type == FieldType.INT64:
        return info.id, "int64", "Int64"
    if info.type in _TEXT:
        return info.id, "string", None
    # Any other type: its text as tshark prints it.
    return info.id, "text", None


def _import_pandas():
    try:
        import pandas
    except ImportError as error:
        raise ImportError("to_dataframe needs pandas: install it with `apt install python3-pandas` "
                          "(Debian, Ubuntu) or `pip install pandas`") from error
    return pandas
