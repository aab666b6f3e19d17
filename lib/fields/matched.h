/* SPDX-License-Identifier: GPL-2.0-or-later */
// Matched fields of the packet dissected last and the guard of every call
// that reads the current packet (private to lib/fields).
#pragma once

#include <cstdint>
#include <vector>

#include <epan/proto.h>

// One registered field that occurred in the current dissection: the id the
// host knows it by (a group id of the registry) and the engine record of its
// first occurrence.
struct matched_field {
    int32_t id;
    const field_info *record;
};

// The node after `node` in tree order (depth first, parents before
// children, as the engine prints the tree), or null at the end of `tree`.
proto_node *next_in_tree(proto_node *node, proto_tree *tree);

// What the current dissection holds for a registered name. One name can stand
// for several engine ids (IPv4 and IPv6 both register "ip.version"); each id
// has its own list of records, and all of them count. With protocol_id set,
// only the ids that protocol registered count, when it registered any.
struct name_records {
    bool primed;                // at least one id had a list of records
    const field_info *first;    // the first occurrence in the tree, null when none
};
name_records records_of_name(int32_t key_id, int protocol_id = -1);

struct matched_state_record {
    // The fields the last gLastPacketHasPassedFilter found, valid only while
    // the dissection they were taken from is current (generation). Both
    // vectors keep their storage from packet to packet.
    std::vector<matched_field> fields;
    std::vector<int32_t> ids;
    uint64_t generation;
    bool filled;
    // Scratch list of the first records of the engine ids of one name.
    std::vector<const field_info *> candidates;
};
extern matched_state_record matched_state;

// The record of a field that the last gLastPacketHasPassedFilter reported,
// or null when the id is not among them or a packet has been dissected since
// (the records of that call belong to a dissection that no longer exists).
const field_info *matched_field_record(int32_t field_id);
// As matched_field_record, with the message written when the field did not
// pass the filter.
const field_info *matched_or_fail(int32_t field_id);

// False (with a message naming the operation) when there is no current
// dissection to read: the engine is not started or already shut down, no
// packet has been read since the capture was opened, or the capture is closed.
bool require_current_dissection(const char *operation);

// Fill transport_facts.tcp_srcport_info / udp_srcport_info with the first
// source-port record of the current dissection unless already set. 0, or 1
// with the message written.
int find_tcp_srcport_info();
int find_udp_srcport_info();

// Releases the matched fields and ids with their storage.
void matched_release();
