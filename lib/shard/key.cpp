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
    // A final avalanche, so that the low bits used for the share spread well.
    hash ^= hash >> 33;
    hash *= 0xff51afd7ed558ccdull;
    hash ^= hash >> 33;
    return hash;
}

}  // namespace

shard_key_result packet_shard_key(int encapsulation, const uint8_t *bytes, uint32_t length, shard_key_kind kind)
{
    shard_key_result result{false, 0};
    uint32_t at = 0;
    uint16_t ethertype = 0;
    if (!bytes || !find_network_layer(encapsulation, bytes, length, &at, &ethertype))
        return result;
    const uint8_t *ip = bytes + at;
    const uint32_t left = length - at;
    // The address pair needs neither the protocol nor the ports: they are read
    // only for the endpoint pair.
    const bool want_ports = kind == shard_key_kind::endpoint_pair;
    const uint8_t *addresses = nullptr;
    size_t address_length = 0;
    uint8_t protocol = 0;
    uint32_t transport = 0;
    bool ports_present = false;
    if (ethertype == ethertype_ipv4) {
        if (left < 20 || (ip[0] >> 4) != 4)
            return result;
        addresses = ip + 12;
        address_length = 4;
        if (want_ports) {
            transport = (ip[0] & 0x0fu) * 4u;
            protocol = ip[9];
            // Only a first fragment (or an unfragmented packet) carries
            // ports: no fragment offset, no more-fragments flag.
            ports_present = transport >= 20 && (read16(ip + 6) & 0x3fff) == 0 && has_ports(protocol) &&
                            left >= transport + 4;
        }
    } else if (ethertype == ethertype_ipv6) {
        if (left < 40 || (ip[0] >> 4) != 6)
            return result;
        addresses = ip + 8;
        address_length = 16;
        if (want_ports) {
            protocol = ip[6];
            transport = 40;
            bool fragmented = false;
            // Hop-by-hop, routing, destination options, fragment: skip to
            // the transport header; give up on anything else.
            for (int hops = 0; hops < 8; ++hops) {
                if (protocol == 0 || protocol == 43 || protocol == 60) {
                    if (left < transport + 8)
                        break;
                    const uint8_t next = ip[transport];
                    transport += (ip[transport + 1] + 1u) * 8u;
                    protocol = next;
                } else if (protocol == 44) {
                    if (left < transport + 8)
                        break;
                    fragmented = true;
                    protocol = ip[transport];
                    transport += 8;
                } else {
                    break;
                }
            }
            ports_present = !fragmented && has_ports(protocol) && left >= transport + 4;
        }
    } else {
        return result;
    }
    const uint16_t port_a = ports_present ? read16(ip + transport) : 0;
    const uint16_t port_b = ports_present ? read16(ip + transport + 2) : 0;
    result.hash = pair_hash(addresses, addresses + address_length, address_length, port_a, port_b, protocol,
                            ports_present);
    result.keyed = true;
    return result;
}
