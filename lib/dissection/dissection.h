/* SPDX-License-Identifier: GPL-2.0-or-later */
// The current dissection: the engine session of the open capture, the
// dissection records, the frame records handed to the engine, the one
// generation counter that tells whether a handle taken from a dissection is
// still good, the tap listeners and what they learn of each packet (the
// transport facts), and the display filters primed into every dissection.
//
// Everything above this module (capture, tree, fields, save, follow) reads the
// current packet through here; this module knows none of them.
#pragma once

#include <cstdint>

#include <epan/column-info.h>
#include <epan/epan.h>
#include <epan/epan_dissect.h>
#include <epan/frame_data.h>
#include <epan/packet_info.h>
#include <epan/proto.h>
#include <wiretap/wtap.h>

#include "compat/engine_series.h"

// Names one packet of the open capture as a host does: the frame number
// sequential reading gave it, where its record lies and what it holds.
struct packet_locator {
    uint32_t frame_number;
    int64_t file_offset;
    int32_t captured_length;
    uint32_t packet_length;
    int32_t encapsulation;
};

// What the tap listeners learn of the packet dissected last.
struct transport_facts_record {
    bool saw_tcp;
    bool saw_udp;
    bool saw_ip;
    int32_t transport_header_length;
    int32_t ip_header_length;
    int32_t ip_reports;  // "ip" tap calls seen so far for this packet
    const field_info *tcp_srcport_info;  // filled in lazily by the field code
    const field_info *udp_srcport_info;
};

// How far a packet is dissected.
enum class dissection_depth {
    // Only for the tap listeners: no labels, and a tree only when a tap
    // listener's filter needs one. Nothing is primed.
    taps_only,
    // Sequential reading: an invisible tree when something reads it (a primed
    // filter or a tap listener with a filter), otherwise none.
    sequential,
    // A visible tree with labels, primed with the field registry's filter.
    full,
};

// The filters other modules prime into dissections, each in its own slot
// (null: none). The field registry's filter is primed into sequential and
// full dissections, the display filter into sequential ones only.
enum class primed_filter { field_registry, display_filter, count };
void set_primed_filter(primed_filter slot, dfilter_t *filter);

// ---- Lifecycle (called by lib/lifecycle.cpp) -------------------------------
// Registers the tap listeners; false with the message written.
bool dissection_init();
// Ends the session and forgets the frames (a capture closes). Safe when
// nothing was dissected.
void dissection_reset();
// Starts a new session at the next dissection while the capture stays open:
// frames keep their numbers and times (gHackedCleanup).
void dissection_replace_session();
// As dissection_replace_session, and the frames read until now are given
// back (a live capture's new session): they cannot be read again.
void dissection_renew_session_forgetting();

// ---- The steps of one dissection -------------------------------------------
// Frees what the previous dissection left: everything that pointed into it
// is stale from here on (the generation changes). Runs before a record is
// read: resetting a dissection may release record data that the engine
// reaches through the wtap_rec the next read fills. capture: the open
// capture, whose interface records the session's packet provider answers
// the engine's interface questions from (taken when the session is made).
void begin_dissection(wtap *capture);

// The frame record of the next packet read in sequence, numbered `number`:
// filled from the record, with the first frame as time reference and frame
// `previous_shown` (0: none) as the previous one, and kept in the frame
// store.
frame_data *sequential_frame(uint32_t number, const wtap_rec *rec, int64_t data_offset,
                             uint32_t cumulative_bytes, uint32_t previous_shown);
// Ends the sequential frame: its byte count joins cumulative_bytes.
void end_sequential_frame(frame_data *frame, uint32_t *cumulative_bytes);
// The frame record of a packet re-read at its offset: the already visited
// frame it is, with the engine's data of it, when sequential reading stored
// it under that number and offset and the record is whole; otherwise a first
// visit.
frame_data *random_frame(const wtap_rec *rec, const packet_locator &locator, bool whole_record);

// Dissects a record into the dissection record `depth` chooses, which becomes
// the current dissection. columns null: no column texts.
epan_dissect_t *run_dissection(dissection_depth depth, int file_type, wtap_rec *rec, const uint8_t *data,
                               frame_data *frame, column_info *columns);
// The source and destination ports of a dissected packet as the engine gave
// them, except that 802.11 association numbers (which the engine's 802.11
// dissector writes into the ports and counts over the whole process) count
// from the capture's first association, as in a process of its own.
void packet_ports(const epan_dissect_t *edt, uint32_t *source, uint32_t *destination);

// The current dissection is that of the packet sequential reading returned
// last, whose record had this encapsulation (as read).
void mark_sequential_current(int32_t encapsulation);
// True when the current dissection is that of the packet sequential reading
// returned last and the locator names it exactly: what it handed the tap
// listeners still stands.
bool sequential_packet_is_current(const packet_locator &locator);

// A packet re-read with less than a full dissection is completed by the first
// call that reads its dissection: the locator is kept until then (or the next
// dissection begins).
void defer_completion(const packet_locator &locator);
// True (with the locator) when a completion was due; it is no longer.
bool take_completion(packet_locator *locator);

// The low 32 bits of the file offset of a frame sequential reading stored,
// false when it has not been read.
bool stored_frame_offset(uint32_t number, uint32_t *offset_low);

// ---- Passes of the library's own (passes.cpp) -------------------------------
// A call that reads the whole capture on its own (following a conversation,
// saving a filter's packets) dissects in a session of its own and then puts
// sequential reading's session back by dissecting its frames again, in order.
// True while a session exists.
bool dissection_session_open();
// The frames of sequential reading the current session knows: those after
// the first `before` (frames_before_session) up to the frames stored.
uint32_t session_frames_before();
// After the session was ended (dissection_replace_session): frames after
// `before` count as frames of the next session again, into which the caller
// dissects them once more with replayed_frame.
void resume_session_frames(uint32_t before);
// The frame record of frame `number` of sequential reading dissected again
// into a new session: as sequential_frame, but the frame is not stored
// again; its per-frame data goes to its place in the store.
frame_data *replayed_frame(uint32_t number, const wtap_rec *rec, int64_t offset);
// The frame record of a record dissected in a pass of the library's own:
// numbered `number`, with the first frame's time stamp and the previous shown
// frame's (null when none) given by the pass; nothing of it is stored.
frame_data *passing_frame(uint32_t number, const wtap_rec *rec, int64_t offset, uint32_t cumulative_bytes,
                          const nstime_t *reference, const nstime_t *previous, uint32_t previous_number);
// No packet counts as dissected any more (the generation changes): after a
// pass of the library's own, and when a capture opens or closes.
void forget_current_dissection();

// ---- What the current dissection is ----------------------------------------
// Null when there is none.
epan_dissect_t *current_dissection();
// Changes with every dissection begun and with every session ended.
uint64_t dissection_generation();
transport_facts_record &transport_facts();

// ---- Tap listeners ---------------------------------------------------------
// The TCP tap listener hands each TCP packet to the hook installed (capture
// saving's sequence tracker). Installs hook (null: none) and returns the one
// installed before.
using tcp_tap_hook = void (*)(packet_info *, const series_tcp_segment &);
tcp_tap_hook replace_tcp_tap_hook(tcp_tap_hook hook);

// The first registration of hfinfo's name (null for null): one name can
// stand for several engine ids (IPv4 and IPv6 both register "ip.version"),
// chained from this one by same_name_next.
header_field_info *first_registration_of_name(header_field_info *hfinfo);
// The engine id of the "ip" protocol, and of the IPv4 header's "ip.version"
// field; -1 when unknown.
int ipv4_protocol_id();
int ipv4_version_id();
