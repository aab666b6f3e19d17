/* SPDX-License-Identifier: GPL-2.0-or-later */
// The conversation key of a packet, read from its link, network and transport
// headers, that splits sequential reading over several processes: packets
// with the same key land in the same share, so each process sees the whole
// history of the conversations it dissects.
#pragma once

#include <cstdint>

// What the key keeps together.
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

struct shard_key_result {
    bool keyed;     // false: no network header found (ARP, other links, ...)
    uint64_t hash;  // the same for both directions of a conversation
};

// The key of one record: `encapsulation` is wiretap's link-layer code of the
// record, `bytes` its `length` captured bytes. Ethernet (with 802.1Q/802.1ad
// tags), Linux cooked v1 and v2, raw IPv4/IPv6 and BSD loopback are read;
// IPv4 and IPv6 (through IPv6 extension headers) give the addresses, TCP,
// UDP, SCTP, DCCP and UDP-Lite the ports. Never reads beyond `length`.
shard_key_result packet_shard_key(int encapsulation, const uint8_t *bytes, uint32_t length, shard_key_kind kind);
