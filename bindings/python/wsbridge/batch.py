# SPDX-License-Identifier: GPL-2.0-or-later
"""Reading in batches (gGetNextPacketBatch): one foreign call reads many
packets into buffers this module owns, so that the per-packet cost of a
Python host is that of unpacking, not of a call per packet and value.

Two readers share the buffers' layout: iterating a capture unpacks the
PacketSummary records of each batch as tuples (without numpy), and the
DataFrame reader (dataframe.py) views the same buffers as numpy arrays.
Both take the whole Protocol and Info texts from the batch's text space.
"""

import ctypes

from . import native
from .errors import ErrorCode
from .native import Status
from .records import SUMMARY_STRUCT

__all__ = ["BatchBuffers", "SUMMARY_SIZE"]

SUMMARY_SIZE = SUMMARY_STRUCT.size


class BatchBuffers:
    """The host's side of a WsbPacketBatch: the arrays, allocated here for
    `capacity` packets, `field_ids` (engine ids of registered fields),
    every occurrence or the first (`all_occurrences`), the text space and
    the offsets of each packet's whole Protocol and Info texts in it. The
    buffers are ctypes arrays, so that numpy can view them without a copy;
    they grow when a packet does not fit (it stays pending in the library
    and comes first in the next call)."""

    def __init__(self, capacity, field_ids=(), all_occurrences=False, text_capacity=None):
        self.capacity = int(capacity)
        self.field_ids = list(field_ids)
        self.all_occurrences = bool(all_occurrences)
        count = len(self.field_ids)
        self.summaries = (ctypes.c_char * (SUMMARY_SIZE * self.capacity))()
        self.text_offsets = (ctypes.c_int64 * (2 * self.capacity))()
        self._ids = (ctypes.c_int32 * max(count, 1))(*self.field_ids)
        if text_capacity is None:
            text_capacity = self.capacity * (64 * count + 128)
        self._allocate_values(self.capacity * count * (4 if self.all_occurrences else 1))
        self._allocate_texts(text_capacity)
        self.starts = ((ctypes.c_int32 * (self.capacity * count + 1))()
                       if self.all_occurrences and count else None)
        self.record = native.WsbPacketBatch()
        self._fill_record()

    def _allocate_values(self, slots):
        self.value_capacity = max(int(slots), 1)
        self.values = (ctypes.c_char * (16 * self.value_capacity))()

    def _allocate_texts(self, size):
        self.text_capacity = max(int(size), 64)
        self.texts = (ctypes.c_char * self.text_capacity)()

    def _fill_record(self):
        r = self.record
        r.capacity = self.capacity
        r.field_count = len(self.field_ids)
        r.field_ids = ctypes.cast(self._ids, ctypes.POINTER(ctypes.c_int32))
        r.occurrences = native.BATCH_ALL if self.all_occurrences else native.BATCH_FIRST
        r.whole_texts = 1
        r.summaries = ctypes.addressof(self.summaries)
        r.values = ctypes.addressof(self.values)
        r.value_capacity = self.value_capacity
        r.value_starts = ctypes.addressof(self.starts) if self.starts is not None else None
        r.texts = ctypes.addressof(self.texts)
        r.text_capacity = self.text_capacity
        r.text_offsets = ctypes.addressof(self.text_offsets)

    def read(self, call):
        """Reads the next batch (under the lock the caller holds): the
        number of packets written, 0 at the end of the capture. A packet
        that does not fit even alone makes the buffers grow, and it is read
        again."""
        raw = call.engine.raw
        while True:
            status = call(raw.gGetNextPacketBatch, ctypes.byref(self.record),
                          accept=(Status.END, Status.FAILED))
            if status == Status.OK:
                return self.record.packets
            if status == Status.END:
                return 0
            if call.engine.library.last_error_code() != ErrorCode.LIMIT or self.text_capacity > 1 << 30:
                raise call.error(status)
            # Not even one packet fitted: room for the largest packet there can be.
            self._allocate_values(self.value_capacity * 4)
            self._allocate_texts(self.text_capacity * 4)
            self._fill_record()

    def summary_tuples(self, packets):
        """The PacketSummary records of the batch just read, unpacked."""
        return SUMMARY_STRUCT.iter_unpack(memoryview(self.summaries)[:packets * SUMMARY_SIZE])

    def texts_used(self):
        """Every text of the batch just read, in the order the library wrote
        them, decoded (UTF-8, undecodable bytes replaced): without fields,
        each packet's Protocol then its Info."""
        used = self.record.texts_used
        if not used:
            return []
        return ctypes.string_at(ctypes.addressof(self.texts), used - 1).decode("utf-8", "replace").split("\0")
