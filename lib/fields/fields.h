// Matched fields of the packet dissected last, the transport and IPv4 payload
// offsets, and the field values handed to the host.
#pragma once

#include <cstdint>

#include <epan/proto.h>

// One registered field that occurred in the current dissection: the id the
// host knows it by (a group id of the registry) and the engine record of its
// first occurrence.
struct matched_field {
    int32_t id;
    const field_info *record;
};

// The record of a field that the last gLastPacketHasPassedFilter reported,
// or null when the id is not among them or a packet has been dissected since
// (the records of that call belong to a dissection that no longer exists).
const field_info *matched_field_record(int32_t field_id);

// False (with a message naming the operation) when there is no current
// dissection to read: the engine is not started or already shut down, no
// packet has been read since the capture was opened, or the capture is closed.
bool require_current_dissection(const char *operation);

// Fill transport_facts.tcp_srcport_info / udp_srcport_info with the first
// source-port record of the current dissection unless already set. 0, or 1
// with the message written.
int find_tcp_srcport_info();
int find_udp_srcport_info();

// The engine id of the IPv4 header's "ip.version" field (IPv6 registers a
// field of that name too), or -1.
int ipv4_version_id();

// Releases the matched fields and ids (matched.cpp).
void release_field_values_of_matches();

// Releases the matched ids and the string value; called at engine shutdown.
void release_field_values();
