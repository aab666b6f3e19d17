// SPDX-License-Identifier: GPL-2.0-or-later
#include "shard/key.h"

#include <cstring>

namespace {

// wiretap's link-layer codes of the encapsulations read here.
constexpr int encap_ethernet = 1;
constexpr int encap_raw_ip = 7;
constexpr int encap_null = 15;  // BSD loopback, family in host byte order
constexpr int encap_linux_cooked = 25;
constexpr int encap_raw_ip4 = 129;
constexpr int encap_raw_ip6 = 130;
constexpr int encap_loop = 174;  // OpenBSD loopback, family in network order
constexpr int encap_linux_cooked_v2 = 210;

constexpr uint16_t ethertype_ipv4 = 0x0800;
constexpr uint16_t ethertype_ipv6 = 0x86dd;

uint16_t read16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// FNV-1a over bytes, continuing from `hash`.
uint64_t mix(uint64_t hash, const uint8_t *bytes, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        hash ^= bytes[i];
        hash *= 0x100000001b3ull;
    }
    return hash;
}

// The network layer's start and its ethertype, or false.
bool find_network_layer(int encapsulation, const uint8_t *bytes, uint32_t length, uint32_t *offset,
                        uint16_t *ethertype)
{
    switch (encapsulation) {
    case encap_ethernet: {
        uint32_t at = 12;
        if (length < at + 2)
            return false;
        uint16_t type = read16(bytes + at);
        // 802.1Q, 802.1ad and the older QinQ type: four bytes each.
        while (type == 0x8100 || type == 0x88a8 || type == 0x9100) {
            at += 4;
            if (length < at + 2)
                return false;
            type = read16(bytes + at);
        }
        *offset = at + 2;
        *ethertype = type;
        return true;
    }
    case encap_linux_cooked:
        if (length < 16)
            return false;
        *offset = 16;
        *ethertype = read16(bytes + 14);
        return true;
    case encap_linux_cooked_v2:
        if (length < 20)
            return false;
        *offset = 20;
        *ethertype = read16(bytes);
        return true;
    case encap_raw_ip:
        if (length < 1)
            return false;
        *offset = 0;
        *ethertype = (bytes[0] >> 4) == 6 ? ethertype_ipv6 : ethertype_ipv4;
        return true;
    case encap_raw_ip4:
        *offset = 0;
        *ethertype = ethertype_ipv4;
        return true;
    case encap_raw_ip6:
        *offset = 0;
        *ethertype = ethertype_ipv6;
        return true;
    case encap_null:
    case encap_loop: {
        if (length < 4)
            return false;
        // The address family, in either byte order: 2 is IPv4; 24, 28 and 30
        // are IPv6 on the BSDs and macOS.
        uint32_t family;
        memcpy(&family, bytes, 4);
        if (family > 0xffff)
            family = __builtin_bswap32(family);
        *offset = 4;
        if (family == 2)
            *ethertype = ethertype_ipv4;
        else if (family == 24 || family == 28 || family == 30)
            *ethertype = ethertype_ipv6;
        else
            return false;
        return true;
    }
    default:
        return false;
    }
}

bool has_ports(uint8_t protocol)
{
    // TCP, UDP, DCCP, SCTP, UDP-Lite: ports are the first four bytes.
    return protocol == 6 || protocol == 17 || protocol == 33 || protocol == 132 || protocol == 136;
}

// A final avalanche, so that the low bits used for the share spread well.
uint64_t finish(uint64_t hash)
{
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdull;
    hash ^= hash >> 33;
    return hash;
}

// Orders the two endpoints so that both directions give the same key.
uint64_t pair_hash(const uint8_t *a, const uint8_t *b, size_t address_length, uint16_t port_a, uint16_t port_b,
                   uint8_t protocol, bool with_ports)
{
    const int order = memcmp(a, b, address_length);
    const bool swap = order > 0 || (order == 0 && with_ports && port_a > port_b);
    const uint8_t *low = swap ? b : a, *high = swap ? a : b;
    uint64_t hash = 0xcbf29ce484222325ull;
    hash = mix(hash, low, address_length);
    hash = mix(hash, high, address_length);
    if (with_ports) {
        const uint8_t ports[5] = {static_cast<uint8_t>((swap ? port_b : port_a) >> 8),
                                  static_cast<uint8_t>(swap ? port_b : port_a),
                                  static_cast<uint8_t>((swap ? port_a : port_b) >> 8),
                                  static_cast<uint8_t>(swap ? port_a : port_b), protocol};
        hash = mix(hash, ports, sizeof ports);
    }
    return finish(hash);
}

// The datagram a fragment belongs to: its layer's pair, protocol and
// identification (the engine's reassembly key).
uint64_t datagram_hash(uint64_t pair, uint8_t protocol, uint32_t identification)
{
    const uint8_t bytes[5] = {protocol, static_cast<uint8_t>(identification >> 24),
                              static_cast<uint8_t>(identification >> 16), static_cast<uint8_t>(identification >> 8),
                              static_cast<uint8_t>(identification)};
    return finish(mix(pair, bytes, sizeof bytes));
}

// Ethernet inside a tunnel (GRE's transparent bridging): the network layer
// after its header and tags.
bool find_inner_ethernet(const uint8_t *bytes, uint32_t length, uint32_t at, uint32_t *offset, uint16_t *ethertype)
{
    if (at > length || !find_network_layer(encap_ethernet, bytes + at, length - at, offset, ethertype))
        return false;
    *offset += at;
    return true;
}

// GRE (version 0, without source routing): the start of what it carries
// and its protocol type.
bool read_gre(const uint8_t *bytes, uint32_t length, uint32_t at, uint32_t *inner, uint16_t *ethertype)
{
    if (length < at + 4)
        return false;
    const uint16_t flags = read16(bytes + at);
    if ((flags & 0x0007) != 0 || (flags & 0x4000) != 0)
        return false;
    // Checksum, key and sequence number: four bytes each.
    const uint32_t size = 4 + ((flags & 0x8000) ? 4 : 0) + ((flags & 0x2000) ? 4 : 0) + ((flags & 0x1000) ? 4 : 0);
    if (length < at + size)
        return false;
    *inner = at + size;
    *ethertype = read16(bytes + at + 2);
    return true;
}

// VXLAN (eight bytes, then Ethernet) or Geneve (eight bytes and its
// options, then what its protocol type names) starting at `at`: the network
// layer inside.
bool read_udp_tunnel(const uint8_t *bytes, uint32_t length, uint32_t at, bool geneve, uint32_t *offset,
                     uint16_t *ethertype)
{
    if (length < at + 8)
        return false;
    if (!geneve)
        return find_inner_ethernet(bytes, length, at + 8, offset, ethertype);
    if ((bytes[at] >> 6) != 0)
        return false;  // another version
    const uint32_t inner = at + 8 + (bytes[at] & 0x3fu) * 4u;
    const uint16_t type = read16(bytes + at + 2);
    if (type == 0x6558)
        return find_inner_ethernet(bytes, length, inner, offset, ethertype);
    if (type != ethertype_ipv4 && type != ethertype_ipv6)
        return false;
    *offset = inner;
    *ethertype = type;
    return true;
}

}  // namespace

shard_headers read_shard_headers(int encapsulation, const uint8_t *bytes, uint32_t length, bool through_tunnels)
{
    shard_headers h{};
    uint32_t at = 0;
    uint16_t ethertype = 0;
    if (!bytes || !find_network_layer(encapsulation, bytes, length, &at, &ethertype))
        return h;
    // Each round reads one network layer; a tunnel leads to the next. Four
    // layers deep at most.
    for (int layer = 0; layer < 4; ++layer) {
        if (at > length)
            return h;
        const uint8_t *ip = bytes + at;
        const uint32_t left = length - at;
        const uint8_t *addresses = nullptr;
        size_t address_length = 0;
        uint8_t protocol = 0;
        uint32_t transport = 0;
        uint32_t identification = 0;
        bool more_fragments = false;
        uint32_t fragment_offset = 0;
        if (ethertype == ethertype_ipv4) {
            if (left < 20 || (ip[0] >> 4) != 4)
                return h;
            addresses = ip + 12;
            address_length = 4;
            transport = (ip[0] & 0x0fu) * 4u;
            protocol = ip[9];
            identification = read16(ip + 4);
            more_fragments = (read16(ip + 6) & 0x2000) != 0;
            fragment_offset = read16(ip + 6) & 0x1fff;
            if (transport < 20)
                transport = left + 1;  // nothing after a damaged header is read
        } else if (ethertype == ethertype_ipv6) {
            if (left < 40 || (ip[0] >> 4) != 6)
                return h;
            addresses = ip + 8;
            address_length = 16;
            protocol = ip[6];
            transport = 40;
            // Hop-by-hop, routing, destination options, authentication,
            // fragment: skip to what they carry; stop at anything else.
            for (int hops = 0; hops < 8; ++hops) {
                if (protocol == 0 || protocol == 43 || protocol == 60 || protocol == 51) {
                    if (left < transport + 8)
                        break;
                    const uint8_t next = ip[transport];
                    transport += protocol == 51 ? (ip[transport + 1] + 2u) * 4u : (ip[transport + 1] + 1u) * 8u;
                    protocol = next;
                } else if (protocol == 44) {
                    if (left < transport + 8)
                        break;
                    const uint16_t field = read16(ip + transport + 2);
                    fragment_offset = field >> 3;
                    more_fragments = (field & 1) != 0;
                    identification = static_cast<uint32_t>(read16(ip + transport + 4)) << 16 | read16(ip + transport + 6);
                    protocol = ip[transport];
                    transport += 8;
                } else {
                    break;
                }
            }
        } else {
            return h;
        }
        h.keyed = true;
        h.pair = pair_hash(addresses, addresses + address_length, address_length, 0, 0, 0, false);
        h.has_ports = false;
        if (more_fragments || fragment_offset != 0) {
            if (h.fragment == shard_headers::not_fragmented) {
                h.fragment = fragment_offset != 0 ? shard_headers::later_fragment : shard_headers::first_fragment;
                h.fragment_pair = h.pair;
                h.datagram = datagram_hash(h.pair, protocol, identification);
            }
            if (fragment_offset != 0)
                return h;  // a later fragment carries no header of what is inside
        }
        if (!through_tunnels) {
            if (has_ports(protocol) && left >= transport + 4) {
                h.ports[0] = read16(ip + transport);
                h.ports[1] = read16(ip + transport + 2);
                h.endpoints = pair_hash(addresses, addresses + address_length, address_length, h.ports[0],
                                        h.ports[1], protocol, true);
                h.has_ports = true;
            }
            return h;
        }
        if (protocol == 4 || protocol == 41) {  // IPv4 or IPv6 inside
            at += transport;
            ethertype = protocol == 4 ? ethertype_ipv4 : ethertype_ipv6;
            continue;
        }
        if (protocol == 47) {
            uint32_t inner = 0;
            uint16_t type = 0;
            if (!read_gre(bytes, length, at + transport, &inner, &type))
                return h;
            if (type == 0x6558) {  // Ethernet inside
                if (!find_inner_ethernet(bytes, length, inner, &at, &ethertype))
                    return h;
            } else {
                at = inner;
                ethertype = type;
            }
            if (ethertype != ethertype_ipv4 && ethertype != ethertype_ipv6)
                return h;
            continue;
        }
        if (has_ports(protocol) && left >= transport + 4) {
            h.ports[0] = read16(ip + transport);
            h.ports[1] = read16(ip + transport + 2);
            h.endpoints = pair_hash(addresses, addresses + address_length, address_length, h.ports[0], h.ports[1],
                                    protocol, true);
            h.has_ports = true;
            // VXLAN and Geneve on their ports: Ethernet (or IP) inside UDP.
            if (protocol == 17 && (h.ports[1] == 4789 || h.ports[1] == 6081) &&
                read_udp_tunnel(bytes, length, at + transport + 8, h.ports[1] == 6081, &at, &ethertype))
                continue;
        }
        return h;
    }
    return h;
}

shard_key_result packet_shard_key(int encapsulation, const uint8_t *bytes, uint32_t length, shard_key_kind kind,
                                  bool through_tunnels)
{
    const shard_headers h = read_shard_headers(encapsulation, bytes, length, through_tunnels);
    shard_key_result result{h.keyed, 0};
    if (!h.keyed)
        return result;
    if (h.fragment != shard_headers::not_fragmented)
        result.hash = h.fragment_pair;
    else if (kind == shard_key_kind::endpoint_pair && h.has_ports)
        result.hash = h.endpoints;
    else
        result.hash = h.pair;
    return result;
}
