/* SPDX-License-Identifier: GPL-2.0-or-later */
// The open capture file (wiretap): opening, closing, its identity, and the
// sequential and random-access reads that hand records to the dissection.
#pragma once

#include <cstdint>

#include <sys/types.h>

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
// Closes the file of the open capture, if any.
void capture_close();
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
