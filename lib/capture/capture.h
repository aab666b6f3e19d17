/* SPDX-License-Identifier: GPL-2.0-or-later */
// The open capture file (wiretap): opening, closing, its identity, and the
// sequential and random-access reads that hand records to the dissection.
#pragma once

#include <cstdint>

#include <sys/types.h>

#include <epan/dfilter/dfilter.h>
#include <wiretap/wtap.h>

#include "dissection/dissection.h"

struct WsbPacketSummary;
typedef struct WsbPacketSummary PacketSummary;

// ---- Lifecycle (called by lib/lifecycle.cpp) -------------------------------
// Called once at start-up: columns and buffers.
void capture_init();
// Opens the file at path for reading; null with the message written. The
// capture open until now stays open: capture_adopt makes the new one current.
wtap *capture_open_file(const char *path);
// Makes an opened file the capture being read (the previous one must have
// been closed with capture_close).
void capture_adopt(wtap *handle, const char *path);
// Closes the file of the open capture, if any (a live capture's dumpcap is
// stopped and its spool removed).
void capture_close();
// Starts a live capture (lib/live) and makes its spool the capture being
// read; the capture open until then must have been closed. False with the
// message written.
struct live_request;
bool capture_open_live(const live_request &request, int32_t session_packets);
// The reading share set for the next capture is more than the whole.
bool capture_share_set();
// Whether the next record can be read without waiting: always for a file;
// for a live capture, once dumpcap has reported it written (not at the end
// or after a failure, which the next read reports).
bool capture_record_waiting();
// Frees what the capture module keeps beyond a capture (the display filter)
// before the engine shuts down.
void capture_shutdown();
// True while a capture is open.
bool capture_is_open();

// False (with the guard's message naming `operation` written) when the engine
// is not running or no capture is open.
bool require_capture(const char *operation);

// ---- What other modules read of the open capture ---------------------------
const char *capture_path();
// Records read in sequence since the capture was opened (shown or not).
int32_t capture_frames_read();
// wiretap's handle of the open capture (null when none): its interfaces,
// time precision and link type.
wtap *capture_wiretap();
int capture_file_type();
int32_t capture_snapshot_length();  // 65535 when the file states none
// The link-layer type of the capture as a whole (taken from the file when
// first asked).
int32_t capture_encapsulation();
// True when the open file with that device and inode is the capture being
// read (identified at open, so a relative path and a later change of the
// working directory do not matter).
bool is_open_capture(dev_t device, ino_t inode);

// The whole Protocol and Info texts of the packet dissected last with the
// summary's columns (they stay until the next dissection); empty texts when
// sequential reading runs without them (gSetSummaryTexts(0)).
void capture_whole_texts(const char **protocol, const char **info);

// ---- The display filter of sequential reading ------------------------------
// Changes whenever gSetDisplayFilter sets or clears the filter.
uint64_t display_filter_generation();
// True while a display filter is set.
bool display_filter_set();
// Whether the current dissection matches the display filter in force (true
// when none is set). Only a dissection with a visible tree (a full re-read)
// holds every field a filter may name.
bool current_packet_matches_display_filter();

// ---- Passes of the library's own over the whole file (side_pass.cpp) -------
// A call that needs the whole capture (following a conversation, saving
// chosen packets) reads it from its first record through a handle of its
// own on the same file, whatever sequential reading's position, display
// filter and share, and leaves sequential reading as it was. While the pass
// is on, the capture is that handle: re-reads by offset and saving read
// through it, its interface list grows as the pass reads, and no packet is
// refused for its reading share. With own_session the pass dissects in a
// dissection session of its own; at its end, the frames sequential reading's
// session knew are dissected again, in order, into a new session, so later
// sequential reading and re-reads answer as before (this costs a dissection
// of each packet read in sequence so far). Without own_session the pass
// dissects nothing but what re-reads for saving read (no dissection).
// False with the message written (a pipe, a file no longer found, ...).
bool side_pass_begin(const char *operation, bool own_session);
// One record of a pass, in file order; its record and bytes stay until the
// next read.
struct side_record {
    uint32_t number;      // its frame number, as sequential reading numbers it
    int64_t offset;
    const wtap_rec *record;
    const uint8_t *bytes;
    bool in_share;        // sequential reading's share holds it
};
// The next record: 1, 0 at the end, -1 on a read failure (message written).
int side_pass_next(side_record *out);
// Starts reading again at the first record (a new handle for reading; the
// pass's handle keeps what it has read, the interfaces of a pcapng file among
// them, which re-reads of packets need).
bool side_pass_restart();
// A pass begun without its own session takes one now (before it dissects
// anything); side_pass_end then puts sequential reading's session back.
void side_pass_take_own_session();
// Dissects the record side_pass_next returned last as tshark's single pass
// with a display filter dissects it (every record in order from the first,
// with the summary's columns, the filter primed; the time since the previous
// shown packet and the byte count count the packets shown) and tells whether
// it matches filter. 0, 1 or 3 (out of memory).
int32_t side_pass_match(const side_record &record, dfilter_t *filter, bool *matched);
// Ends the pass: the capture's own handle, share and filter are back, and,
// after a pass with its own session, sequential reading's session is
// dissected again. False with the message written when that failed.
bool side_pass_end();
// Compiles a display filter as gSetDisplayFilter does (the same nesting
// limit and messages, naming operation); null text or blanks give no
// filter. False with the message written.
bool compile_filter_for(const char *operation, const char *text, dfilter_t **filter);

// ---- Random access ----------------------------------------------------------
// How far a re-read packet is dissected.
enum class redissect_depth {
    // Not dissected yet: the packet is the current one, and the first call
    // that reads its dissection dissects it fully (complete_current_packet).
    deferred,
    // Dissected for the tap listeners alone: no labels, no columns, and a
    // tree only when a tap listener's filter needs one. Completed as above.
    taps_only,
    // A visible tree with labels, primed with the registry's filter.
    full,
};
// Reads the record at a file offset and dissects it as far as `depth` asks.
// Returns 0, 1 (message written) or 3. Offsets from 2147483647 on are refused
// with beyond_2gb_message.
int32_t read_and_redissect(const packet_locator &locator, PacketSummary *summary, const char *beyond_2gb_message,
                           redissect_depth depth = redissect_depth::full);
// The work of gGetPacketAtOffset once its guard passed: read_and_redissect
// with that call's message for offsets beyond 2 GB.
int32_t read_packet_at_offset(const packet_locator &locator, PacketSummary *summary,
                              redissect_depth depth = redissect_depth::full);
// When the current packet was re-read with less than a full dissection,
// dissects it fully now, so that field, value and offset calls find its
// tree and transport facts. 0 (also when nothing was due), 1 or 3.
int32_t complete_current_packet();
// Bytes of the packet re-read last (captured_length bytes of the locator).
const uint8_t *redissected_bytes();
// The record header of the packet re-read last.
const wtap_rec &redissected_record();
