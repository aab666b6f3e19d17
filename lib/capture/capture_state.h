/* SPDX-License-Identifier: GPL-2.0-or-later */
// The capture module's state record (private to lib/capture).
#pragma once

#include <cstdint>

#include <sys/types.h>

#include <epan/column-info.h>
#include <epan/dfilter/dfilter.h>
#include <epan/frame_data.h>
#include <wiretap/wtap.h>

#include "capture/capture.h"
#include "shard/assign.h"

// How far the open capture has been read in sequence.
enum class read_state {
    closed,    // no capture open
    open,      // open, packets left to read in sequence
    finished,  // read in sequence to its end
};

struct capture_state_record {
    read_state state;
    char *path;                // owned copy of the opened path
    int file_type;             // wiretap file type/subtype
    int32_t encapsulation;     // link type for a save file; 0 until known
    int32_t frame_count;       // packets read in sequence since open
    int32_t snapshot_length;   // 65535 when the file states none
    bool identity_known;       // device and inode below were taken at open
    dev_t device;              // the opened file, however its path is spelled
    ino_t inode;               // later or from another directory
    wtap *wiretap_handle;
    // Opened from a pipe, socket or device: readable in sequence only, so
    // re-reading by offset is refused.
    bool sequential_only;
    wtap_rec record;           // header of the record re-read last
    Buffer packet_buffer;      // bytes of the record re-read last
    wtap_rec sequential_record;  // the record read in sequence last
    Buffer sequential_buffer;
    column_info columns;       // Protocol, Info, Source, Destination
    nstime_t first_packet_time;
    uint32_t cumulative_bytes;   // bytes of the packets shown so far
    uint32_t last_shown_frame;   // number of the packet gGetNextPacket returned last
    // The display filter of sequential reading, null when none: packets that
    // do not match it are dissected and passed over.
    dfilter_t *display_filter;
    uint64_t display_filter_generation;  // counts gSetDisplayFilter's changes
    // Whether sequential reading fills the Protocol and Info texts (and the
    // engine's columns behind them): gSetSummaryTexts.
    bool summary_texts;
    // This process's share of sequential reading: packets that fall in
    // share `share_index` of `share_count` (lib/shard) are dissected and
    // returned, the others only counted (gSetReadingShare).
    int32_t share_index;
    int32_t share_count;  // 1: every packet
    shard_mode share_mode;
    // The Protocol and Info texts of the packet gGetNextPacket or
    // gGetPacketAtOffset returned last stand in the column info until the
    // next dissection: they belong to the dissection numbered
    // texts_generation, which had the columns unless texts_have_columns is
    // false (summary texts off).
    bool texts_known;
    uint64_t texts_generation;
    bool texts_have_columns;
    // A live capture (gOpenLiveCapture): the spool file read now is
    // dumpcap's file number live_file_index (lib/live), of which
    // live_read_in_file records were read; reading waits for the packets
    // dumpcap reports written, and once dumpcap has ended reads the file to
    // its end (live_draining, live_drained).
    bool live;
    uint32_t live_file_index;
    uint64_t live_read_in_file;
    bool live_draining;
    bool live_drained;
    // A new dissection session every live_session_packets packets (0: one).
    int32_t live_session_packets;
    uint32_t live_session_base;  // frames read before the current session
    // Frames 1 to this were read in an earlier session or spool file: they
    // cannot be read again.
    uint32_t live_forgotten;
    // Frames read before the current spool file: its first record is frame
    // live_file_base + 1.
    uint32_t live_file_base;
};
extern capture_state_record capture_state;

// The summary's columns, in the order capture_init sets them up.
enum summary_column { protocol_column, info_column, source_column, destination_column, summary_column_count };

// summary.cpp: the fields both reads write (the column notes are read when
// the dissection had the column info), a time span in 100 ns units
// (saturated), and the first size - 1 bytes of a text or fewer, ending on a
// whole UTF-8 character.
void fill_summary(PacketSummary *summary, const frame_data *fd, epan_dissect_t *edt);
int64_t hundred_nanoseconds(const nstime_t &span);
void copy_cut(char *destination, size_t size, const char *text);

// reading_options.cpp: frees the display filter; whether the record just
// read in sequence falls in this process's share of the capture (its share
// is decided and kept); whether frame `number` (this record) falls in it, 1
// or 0, -1 when that is not known (the balanced shares know only the frames
// read in sequence); the same for a record re-read by offset, WSB_E_STATE
// set when not.
void release_display_filter();
// live_reading.cpp: before the next record is read in sequence from a live
// capture, waits (timeout_ms; negative: no limit) until dumpcap has written
// it; with advance, moves on to dumpcap's next spool file and renews the
// session as due (without, a next file counts as ready): 0 ready, 2 the
// end, 1 dumpcap failed (message written), 4 timed out. After a read from
// the spool failed (err as wtap_read gave it): true when reading should wait
// and try again, false when the failure is the reader's to report.
int32_t live_next_ready(int32_t timeout_ms, bool advance);
bool live_read_failed(int err);
// A record was read from the spool.
void live_record_read();
// Refuses (WSB_E_STALE, false) a frame of an earlier session or spool file.
bool live_frame_readable(uint32_t number);
bool next_in_reading_share(const wtap_rec &record, const Buffer &bytes);
int reading_share_holds(uint32_t number, const wtap_rec &record, const Buffer &bytes);
bool reread_in_reading_share(const wtap_rec &record, const Buffer &bytes, uint32_t number, long long offset);
