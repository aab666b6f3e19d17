/* SPDX-License-Identifier: GPL-2.0-or-later */
// Live capture: the engine's capture program (dumpcap) run as tshark runs
// it, writing a spool file and telling over its sync pipe how many packets
// it wrote, which file it writes and what went wrong. This module knows the
// program and its messages only; the capture module reads the spool.
#pragma once

#include <cstdint>

// What gOpenLiveCapture asked for, checked.
struct live_request {
    const char *interface_name;
    const char *capture_filter;  // null: none
    const char *spool_folder;    // null: $TMPDIR, else /tmp
    int32_t snap_length;         // 0: dumpcap's default
    int32_t stop_after_packets;  // 0: none
    int32_t stop_after_seconds;  // 0: none
    int32_t ring_file_kilobytes; // 0: one file
    int32_t ring_files;
};

// Starts dumpcap (through the keeper process that stops it when this
// process goes) and waits until it announces its first spool file. False
// with the message and code written (nothing left running then).
bool live_start(const live_request &request);
// True between a successful live_start and live_close.
bool live_open();
// Stops dumpcap, reaps it and removes the spool folder. Safe when none.
void live_close();

// The spool files announced so far, numbered from 0 in the order dumpcap
// wrote them, and the packets it reported written into each.
uint32_t live_file_count();
const char *live_file_path(uint32_t index);
uint64_t live_file_packets(uint32_t index);

// Reads what dumpcap has said, waiting up to timeout_ms (negative: no limit)
// for something new when nothing is: true when something new came (or
// dumpcap ended), false when the time ran out.
bool live_wait(int32_t timeout_ms);
// True once dumpcap has ended and every message has been read.
bool live_ended();
// After the end: true when dumpcap stopped as asked (a stop condition, a
// stop, a signal to stop); false when it failed, died or was killed, with
// the message and code written.
bool live_ended_well();

// Asks dumpcap to stop (async-signal safe).
void live_stop();
// Packets written and dropped as dumpcap reported them.
uint64_t live_written();
uint64_t live_dropped();
