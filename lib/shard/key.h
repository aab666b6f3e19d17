/* SPDX-License-Identifier: GPL-2.0-or-later */
// The conversation keys of a packet, read from its link, network and
// transport headers, that split sequential reading over several processes:
// packets with the same key land in the same share, so each process sees the
// whole history of the conversations it dissects.
#pragma once

#include <cstdint>

// What the hashed keys keep together.
enum class shard_key_kind {
    // The unordered pair of network addresses: IP fragments, FTP data
    // connections, RTP set up by SIP and every conversation of two hosts stay
    // together; a busy pair of hosts makes one share larger.
    address_pair,
    // The unordered pair of address-and-port endpoints with the transport
    // protocol: better balance, but conversations the engine ties together
    // across ports (and fragments without ports) may be parted.
    endpoint_pair,
};

// What the headers of one record tell about its conversations. When asked,
// tunnels (IPv4 or IPv6 in IPv4 or IPv6, GRE carrying IP or Ethernet, VXLAN
// and Geneve on their UDP ports) are read through up to a later fragment: the keys are those of the innermost network
// layer, the one whose conversations the engine tracks, so that a tunnelled
// conversation stays with the same conversation carried plainly or in
// another tunnel (6to4 relays answer from other addresses than the one the
// traffic was sent to).
struct shard_headers {
    bool keyed;          // false: no network header found (ARP, other links, ...)
    uint64_t pair;       // the unordered pair of the innermost network addresses
    bool has_ports;      // the innermost layer carries TCP, UDP, SCTP, DCCP or UDP-Lite ports
    uint64_t endpoints;  // the pair with the unordered ports and the transport protocol
    uint16_t ports[2];   // both ports as read (to recognise well-known services)
    // The outermost fragmented network layer, if any: fragments of one
    // datagram are reassembled by the engine and must stay together.
    enum { not_fragmented, first_fragment, later_fragment } fragment;
    uint64_t fragment_pair;  // that layer's address pair
    uint64_t datagram;       // that layer's pair, protocol and identification
};

// The headers of one record: `encapsulation` is wiretap's link-layer code of
// the record, `bytes` its `length` captured bytes. Ethernet (with
// 802.1Q/802.1ad tags), Linux cooked v1 and v2, raw IPv4/IPv6 and BSD
// loopback are read; IPv4 and IPv6 (through IPv6 extension headers) give
// the addresses, TCP, UDP, SCTP, DCCP and UDP-Lite the ports. A later
// fragment ends the reading at its layer (its pair is the key); a first
// fragment is read on into what it carries. Never reads beyond `length`.
shard_headers read_shard_headers(int encapsulation, const uint8_t *bytes, uint32_t length, bool through_tunnels);

struct shard_key_result {
    bool keyed;     // false: no network header found (ARP, other links, ...)
    uint64_t hash;  // the same for both directions of a conversation
};

// The hashed key of one record, read from its outermost network layer (or,
// with through_tunnels, its innermost one, as the engine keys a tunnelled
// conversation): fragments are keyed by their address pair (a
// datagram's fragments stay together), other packets by their pair, or
// endpoints when asked for and present.
shard_key_result packet_shard_key(int encapsulation, const uint8_t *bytes, uint32_t length, shard_key_kind kind,
                                  bool through_tunnels = false);
