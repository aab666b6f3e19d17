/* SPDX-License-Identifier: GPL-2.0-or-later */
// The save module's state record (private to lib/save): the open save file
// and the TCP sequence tracker that can leave packets of one conversation
// out.
#pragma once

#include <cstdint>

#include <sys/types.h>

#include <glib.h>
#include <epan/address.h>
#include <epan/packet_info.h>
#include <wiretap/wtap.h>

#include "save/save.h"
#include "dissection/dissection.h"

constexpr int save_path_limit = 1024;

// The conversation the tracker follows. Unset after a save file is created;
// the first armed TCP packet after that sets it from its own endpoints.
struct tracked_conversation_record {
    bool known;
    int address_length;  // 4 (IPv4) or 16 (IPv6)
    uint8_t address_a[16];
    uint8_t address_b[16];
    uint32_t port_a;
    uint32_t port_b;
};

// Sequence numbers of one direction, unwrapped into 64-bit positions, and
// the ranges of them that packets written to the save file carried.
struct written_range {
    int64_t first, end;  // [first, end)
};
constexpr int written_range_limit = 32;

// One direction of the tracked conversation; source_port 0 marks a free slot.
// The anchor is the last sequence number seen and its position: a sequence
// number is placed relative to it, so the count runs on across the 2^32 wrap.
struct sequence_slot {
    uint8_t source_address[16];
    uint32_t source_port;
    uint32_t anchor_sequence;
    int64_t anchor_position;
    int range_count;
    written_range ranges[written_range_limit];  // ascending, disjoint, not touching
};

// Where an interface description written to a pcapng save file lies, and
// the snapshot length it states (0: no limit).
struct interface_place {
    off_t offset;
    uint32_t snaplen;
    int encapsulation;
};

struct save_state_record {
    // The open save file: wiretap's dump handle (null when none) and the path
    // it was created with, for messages.
    wtap_dumper *dumper;
    char path[save_path_limit + 1];
    // The descriptor of the save file (the dumper writes through it) and the
    // size of its completed part: the file header and every record written
    // whole. A write that fails part-way is cut back to that size, so the
    // file stays a valid capture and later records follow the last whole one.
    // When cutting back fails the file cannot be trusted any more: damaged
    // then fails every later save and the close.
    int descriptor = -1;
    off_t complete_size;
    // The open save file's format (WSB_SAVE_FORMAT_*), the capture's
    // interfaces handed to it so far (pcapng), and the capture it was created
    // for: packets of another capture are refused.
    int32_t format;
    guint interfaces_written;
    const wtap *capture;
    // What the dumper was opened with: its section and name-resolution
    // headers must outlive it.
    wtap_dump_params params;
    bool damaged;
    // The snapshot length the file states: a libpcap file's header's, and
    // (pcapng) each written interface description's with where it lies in
    // the file (interface_place records, as many as interfaces_written). A
    // packet longer than its snapshot length raises it in place, so that
    // readers that cut packets at it read every byte written.
    uint32_t header_snaplen;
    GArray *interface_places;

    tracked_conversation_record tracked_conversation;
    sequence_slot sequence_slots[2];
    // Set while a save request with its skip flag is being dissected; the TCP
    // tap listener's hook consults the tracker once and clears it.
    bool tracker_armed;
    // The tracker's answer for the request that armed it (0 when it was not
    // consulted).
    int tracker_verdict;
    // Whatever else listens to TCP packets keeps being called while a save
    // request has the tracker installed.
    tcp_tap_hook chained_tcp_hook;
};
extern save_state_record save_state;

// 1 when the segment of the tracked conversation carries only sequence
// space (payload, SYN, FIN) that its direction already wrote: a
// retransmission or a duplicate, to be left out. 0 for everything else,
// which is then written and recorded: first segments, in-order segments,
// segments after a gap, segments that fill a gap, partial overlaps with new
// bytes, segments without payload, other conversations, non-IP addresses.
// When a direction has more separate ranges than it can hold, the lowest is
// forgotten: a later repeat of those bytes is written again, nothing is lost.
int tcp_sequence_tracker(const address *source, const address *destination, uint32_t sequence,
                         uint32_t segment_length, uint32_t syn, uint32_t fin, uint32_t source_port,
                         uint32_t destination_port);

// Forgets the tracked conversation and frees both slots.
void reset_sequence_tracker();

// True when a save into path in format may start: a capture is open, the path
// is given and the format is one of WSB_SAVE_FORMAT_*; else the message and
// code are written for the operation named.
bool save_request_allowed(const char *operation, const char *path, int32_t format);
