// The open capture, the per-capture reading state and the dissection steps.
#pragma once

#include <cstdint>

#include <sys/types.h>

#include <epan/column-info.h>
#include <epan/epan.h>
#include <epan/epan_dissect.h>
#include <epan/frame_data.h>
#include <wiretap/wtap.h>

#include "compat/engine_series.h"

struct PacketSummary;

// How far the open capture has been read in sequence.
enum class read_state {
    closed,    // no capture open
    open,      // open, packets left to read in sequence
    finished,  // read in sequence to its end
};
read_state capture_read_state();

struct capture_file_record {
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
    wtap_rec record;           // header of the record read last (either way)
    Buffer packet_buffer;      // bytes of the record read last (either way)
    column_info columns;       // Protocol and Info, set up at start-up
};
extern capture_file_record cfile;

// Per-capture dissection state: the session, the two dissection records
// (sequential: invisible tree; random access: visible tree with labels), the
// frame records and the running time and byte counts. What the engine
// attached to each frame read in sequence is kept (frames.h).
struct reading_state_record {
    epan_t *session;
    packet_provider_data provider;
    epan_dissect_t *sequential_dissection;
    epan_dissect_t *treeless_dissection;  // sequential reading when no tree is read
    epan_dissect_t *random_dissection;
    frame_data frame_record;       // refilled for every packet read in sequence
    bool frame_record_live;        // frame_record's per-frame data not yet stored
    frame_data random_frame;       // refilled for every packet read by offset
    bool random_frame_live;        // random_frame's per-frame data not yet settled
    bool random_frame_stored;      // random_frame carries a stored frame's data
    nstime_t first_packet_time;
    uint32_t cumulative_bytes;     // bytes of the packets shown so far
    uint32_t last_shown_frame;     // number of the packet gGetNextPacket returned last
};
extern reading_state_record reading;

// The dissection that the field, tree and follow code read (null when none),
// and a number that changes with every dissection so that stale handles are
// caught.
extern epan_dissect_t *current_dissection;
extern uint64_t dissection_generation;

// The display filter of sequential reading, null when none is set: packets
// that do not match it are dissected and passed over.
extern dfilter_t *display_filter;
// Whether sequential reading fills the Protocol and Info texts (and the
// engine's columns behind them): gSetSummaryTexts.
extern bool summary_texts;

// Called once at start-up: columns and buffers.
void capture_setup_at_startup();
// Closes the capture, its dissections and the session before the engine
// shuts down.
void capture_close_at_shutdown();
// Releases the display filter before the engine shuts down.
void release_display_filter();
// Drops the engine's per-capture dissection state by starting a new session
// for the open capture (frame numbers and times go on).
void capture_replace_session();

// Reads the record at a file offset into cfile.record/packet_buffer and
// dissects it as far as `depth` asks. Returns 0, 1 (message written) or 3.
// Offsets from 2147483647 on are refused with beyond_2gb_message.
struct packet_locator {
    uint32_t frame_number;
    int64_t file_offset;
    int32_t captured_length;
    uint32_t packet_length;
    int32_t encapsulation;
};
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
int32_t read_and_redissect(const packet_locator &locator, PacketSummary *summary, const char *beyond_2gb_message,
                           redissect_depth depth = redissect_depth::full);

// When the current packet was re-read with less than a full dissection,
// dissects it fully now, so that field, value and offset calls find its
// tree and transport facts. 0 (also when nothing was due), 1 or 3.
int32_t complete_current_packet();

// The work of gGetPacketAtOffset once its guard passed: read_and_redissect
// with that call's message for offsets beyond 2 GB.
int32_t read_packet_at_offset(const packet_locator &locator, PacketSummary *summary,
                              redissect_depth depth = redissect_depth::full);

// True when the packet dissected last is the one gGetNextPacket returned
// last, named exactly by the locator, with no dissection since: what that
// dissection handed the tap listeners still stands.
bool sequential_packet_is_current(const packet_locator &locator);

// Bytes of the packet re-read last (captured_length bytes of the locator).
const uint8_t *redissected_bytes();

// True when the open file with that device and inode is the capture being
// read (identified at open, so a relative path and a later change of the
// working directory do not matter).
bool is_open_capture(dev_t device, ino_t inode);
