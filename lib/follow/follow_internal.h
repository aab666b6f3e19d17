/* SPDX-License-Identifier: GPL-2.0-or-later */
// Following TCP and UDP conversations: what the TCP and UDP follows share
// (private to lib/follow).
//
// At most one conversation is followed at a time. A TCP follow collects the
// conversation's payload into a temporary file of chunks; a UDP follow
// collects the datagrams' payloads in memory. Both are read back one segment
// per call and rendered into follow_state.stream_text (render.h).
#pragma once

#include <cstdint>

#include <glib.h>
#include <epan/address.h>

#include "follow/follow.h"

// The record in front of every chunk of the TCP temporary file. Integers are
// in the machine's byte order (the file never leaves the machine).
struct stream_chunk_header {
    uint8_t sender_address[16];  // first 4 bytes significant for IPv4
    uint16_t sender_port;
    uint16_t reserved;
    uint32_t payload_length;     // payload bytes that follow the header
};

// One endpoint of a followed conversation as the descriptions name it.
struct follow_endpoint {
    uint8_t address[16];  // first 4 bytes significant for IPv4
    uint32_t port;
};

// What the descriptions of a followed conversation are built from: endpoint 0
// is the client (TCP: the sender of the SYN where the conversation's opening
// was seen, as tshark names it; else, and for UDP, the sender of the first
// payload collected), endpoint 1 the other end; count 0 and count 1 are the
// payload bytes each of them sent.
struct follow_statistics {
    follow_endpoint endpoint[2];
    uint32_t bytes_written[2];
    bool ipv6;
};

// Replaces the three description texts (shared by both follows, released by
// follow_release) with those of stats. tcp chooses the
// port names of TCP, otherwise those of UDP.
void build_follow_descriptions(const follow_statistics &stats, bool tcp);

// Writes "<operation> ... An output argument is null." and returns true
// when any_null is set.
bool null_argument(const char *operation, bool any_null);

// Builds the three description texts of stats (build_follow_descriptions)
// and hands them out with their sizes (length plus one).
void hand_out_descriptions(const follow_statistics &stats, bool tcp, const char **server_text, int32_t *server_size,
                           const char **client_text, int32_t *client_size, const char **conversation_text,
                           int32_t *conversation_size);

// Re-reads and dissects a packet as gGetPacketAtOffset does; with
// for_taps, only as far as the tap listeners need (an added packet feeds the
// follower, nothing else reads its tree or columns). False when that failed:
// its message stands, and running out of memory is named with the operation.
bool reread_packet(const char *operation, uint32_t frame_number, int64_t file_offset, int32_t captured_length,
                   uint32_t packet_length, int32_t encapsulation, bool for_taps = false);

// The steps both follows begin with: the guard, the end of any stream
// followed before, the packet re-read and checked for the protocol's
// transport (tcp: TCP, otherwise UDP), and the display filter of its
// conversation (g_malloc'd; stream receives the conversation's index). Null
// with the message written when a step failed.
gchar *begin_follow(const char *operation, bool tcp, unsigned *stream, uint32_t frame_number, int64_t file_offset,
                    int32_t captured_length, uint32_t packet_length, int32_t encapsulation);

// Fills endpoint from an engine address (IPv4 or IPv6) and a port.
void copy_follow_endpoint(follow_endpoint &endpoint, const address &addr, uint32_t port);

// Ends the UDP follow: filter, listener, collected payloads and read cursor.
void release_udp_follow();

// The next collected datagram that passes direction_filter, as collected
// (the read cursor the stream-line call moves): true with its payload, or
// false at the end (the next call starts at the first datagram again).
bool next_udp_datagram(int32_t direction_filter, const uint8_t **bytes, uint32_t *length, uint8_t *is_server);

// Forgets the conversation gFollowConversation followed (follow_release
// calls it: every end of a followed stream ends it).
void release_conversation_follow();
