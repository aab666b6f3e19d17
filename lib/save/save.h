// Saving chosen packets of the open capture into a new libpcap file, and the
// TCP sequence tracker that can leave packets of one conversation out.
#pragma once

#include <cstdint>

#include <epan/address.h>
#include <epan/packet_info.h>
#include <epan/dissectors/packet-tcp.h>
#include <wiretap/wtap.h>

// The open save file: wiretap's dump handle (null when none) and the path it
// was created with, for messages.
constexpr int save_path_limit = 1024;
extern wtap_dumper *save_dumper;
extern char save_path[save_path_limit + 1];

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
extern tracked_conversation_record tracked_conversation;

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
extern sequence_slot sequence_slots[2];

// Set while a save request with its skip flag is being dissected; the TCP
// tap listener's hook consults the tracker once and clears it.
extern bool tracker_armed;
// The tracker's answer for the request that armed it (0 when it was not
// consulted).
extern int tracker_verdict;

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

// Completes a save file still open when the engine shuts down (nothing could
// close it afterwards). False with the message written when closing failed.
bool complete_save_file_at_shutdown();
