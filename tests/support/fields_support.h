/* SPDX-License-Identifier: GPL-2.0-or-later */
// What the tests of matched fields, payload offsets and field values share:
// the library's messages, registering and resolving a group of fields,
// reading a matched field's position and value, the tree of the packet
// dissected last, the group of fields the exact cases register, and the
// packets they are built from (pcap_writer.h).
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "pcap_writer.h"
#include "wsbridge.h"

namespace wsbfields {

inline const std::string captures = WSB_TEST_CAPTURES;

// The preferences the library switches off at start-up, switched off for
// tshark too.
inline const char tshark_preferences[] = " " WSB_TSHARK_PREFERENCES;  // lib/engine/preference_overrides.txt

inline const char not_transport_message[] = "Last processed packet is not a TCP/UDP one";
inline const char not_ipv4_message[] = "Last processed packet is not an IPv4 one";
inline const char invalid_node_uint64[] = "Invalid node passed when trying to retrieve protocol field value";
inline const char invalid_node_int32[] = "Invalid node passed when trying to retrieve protocol Int32 field value";
inline const char invalid_node_string[] = "Invalid node passed when trying to retrieve protocol string field value";

inline std::string uint64_refused(int32_t id)
{
    return "Protocol field ID \"" + std::to_string(id) +
           "\" type is not an expected one (just uint8 or uint16 or uint32 or uint64 or int64 or boolean are "
           "accepted).\n";
}

inline std::string int32_refused(int32_t id)
{
    return "Protocol field ID \"" + std::to_string(id) +
           "\" type is not an expected one (just int8 or int16 or int32 are accepted).\n";
}

inline std::string string_refused(int32_t id)
{
    return "Protocol field ID \"" + std::to_string(id) +
           "\" type is not an expected one (just strings or IPs or Protocols are accepted).\n";
}

inline std::string last_error() { return gGetLastError(); }

inline std::string temp_path(const std::string &name)
{
    return testing::TempDir() + "wsb_fields_" + std::to_string(getpid()) + "_" + name;
}

// ------------------------------------------------------------- library side

struct field {
    std::string name;
    int32_t id = -1;
    int32_t type = -1;
};

inline std::vector<field> register_group(const std::vector<std::string> &names, const char *group)
{
    std::vector<field> fields;
    for (const std::string &name : names) {
        EXPECT_EQ(gRegisterProtocolFieldFilter(name.c_str(), group), 0) << last_error();
        fields.push_back({name});
    }
    return fields;
}

inline void resolve(std::vector<field> &fields)
{
    for (field &f : fields)
        EXPECT_EQ(gGetProtocolFieldFilterInfo(f.name.c_str(), &f.id, &f.type), 0) << f.name << ": " << last_error();
}

inline const field &named(const std::vector<field> &fields, const std::string &name)
{
    for (const field &f : fields)
        if (f.name == name)
            return f;
    static field none;
    ADD_FAILURE() << "no field " << name;
    return none;
}

inline std::string write_capture(const std::string &name, const std::vector<pcapw::Bytes> &frames)
{
    pcapw::PcapWriter writer;
    uint32_t second = 1000;
    for (const pcapw::Bytes &frame : frames)
        writer.add(second++, 0, frame);
    std::string path = temp_path(name);
    writer.write(path);
    return path;
}

// The ids that gLastPacketHasPassedFilter reports for a group.
inline std::set<int32_t> matched_ids(const char *group)
{
    int32_t count = -1;
    const int32_t *ids = nullptr;
    EXPECT_EQ(gLastPacketHasPassedFilter(group, &count, &ids), 0) << last_error();
    std::set<int32_t> result;
    for (int32_t i = 0; i < count; ++i)
        result.insert(ids[i]);
    return result;
}

inline std::string string_value(int32_t id)
{
    const char *text = nullptr;
    int32_t size = -1;
    EXPECT_EQ(gGetStringProtocolFieldValue(&text, &size, id), 0) << last_error();
    if (!text)
        return "<none>";
    EXPECT_EQ(size, static_cast<int32_t>(strlen(text)) + 1);
    return text;
}

inline uint64_t uint64_value(int32_t id)
{
    uint64_t value = 0;
    EXPECT_EQ(gGetUInt64ProtocolFieldValue(&value, id), 0) << last_error();
    return value;
}

inline PacketSummary next_packet()
{
    PacketSummary summary{};
    EXPECT_EQ(gGetNextPacket(&summary), 0) << last_error();
    return summary;
}

inline int32_t build_tree(const PacketSummary &s)
{
    int32_t length = 0;
    const uint8_t *bytes = nullptr;
    return gBuildPacketProtocolTree(&length, &bytes, s.frame_number, s.file_offset,
                                    static_cast<int32_t>(s.captured_length), s.packet_length, s.encapsulation);
}

// The first record of the tree built last whose field is abbrev.
inline TreeNode tree_node_named(const char *abbrev)
{
    TreeNode node{};
    int32_t count = 0;
    EXPECT_EQ(gGetProtocolTreeNodesCount(&count), 0) << last_error();
    for (int32_t i = 0; i < count; ++i) {
        EXPECT_EQ(gGetTreeNodeByIndex(&node, i), 0) << last_error();
        if (strcmp(node.field_abbrev, abbrev) == 0)
            return node;
    }
    ADD_FAILURE() << "no tree node " << abbrev;
    return TreeNode{};
}

// The typed getter that takes a value of each type code: every other type
// code is refused by all three.
enum class getter_kind { uint64, int64, int32, text, none };

inline getter_kind getter_for(int32_t type)
{
    switch (type) {
    case WSB_FT_BOOLEAN: case WSB_FT_UINT8: case WSB_FT_UINT16: case WSB_FT_UINT32: case WSB_FT_UINT64:
        return getter_kind::uint64;
    case WSB_FT_INT64:
        return getter_kind::int64;
    case WSB_FT_INT8: case WSB_FT_INT16: case WSB_FT_INT32:
        return getter_kind::int32;
    case WSB_FT_PROTOCOL: case WSB_FT_STRING: case WSB_FT_IPv4: case WSB_FT_IPv6:
        return getter_kind::text;
    default:
        return getter_kind::none;
    }
}

// ------------------------------------------------------------- test packets

inline const pcapw::Mac mac_a = pcapw::mac("00:11:22:33:44:55");
inline const pcapw::Mac mac_b = pcapw::mac("00:11:22:33:44:66");
inline const pcapw::Ip4 host_a = pcapw::ip4("192.168.0.1");
inline const pcapw::Ip4 host_b = pcapw::ip4("192.168.0.2");
inline const pcapw::Ip6 host6_a = pcapw::ip6("2001:db8::1");
inline const pcapw::Ip6 host6_b = pcapw::ip6("2001:db8::2");
inline const char http_request[] = "GET / HTTP/1.1\r\nHost: a\r\n\r\n";

// Ethernet, IPv4 (20 bytes), TCP (20 bytes) from port 40000 to 80, carrying
// an HTTP request whose method starts at 54. Frames of one capture need
// distinct sequence numbers: the engine takes a repeated segment for a
// retransmission and leaves its payload undissected.
inline pcapw::Bytes http_frame(uint32_t seq = 1000)
{
    return pcapw::eth_ipv4_tcp(mac_b, mac_a, host_a, host_b, 40000, 80, seq, 2000,
                               pcapw::tcpflag::PSH | pcapw::tcpflag::ACK, pcapw::to_bytes(http_request));
}

inline pcapw::Bytes udp_frame()
{
    return pcapw::eth_ipv4_udp(mac_b, mac_a, host_a, host_b, 40001, 5555, pcapw::to_bytes("hello"));
}

inline pcapw::Bytes arp_frame() { return pcapw::eth_arp_request(mac_a, host_a, host_b); }

inline pcapw::Bytes ipv6_http_frame()
{
    return pcapw::eth_ipv6_tcp(mac_b, mac_a, host6_a, host6_b, 40002, 80, 1, 1,
                               pcapw::tcpflag::PSH | pcapw::tcpflag::ACK, pcapw::to_bytes(http_request));
}

// ------------------------------------------------------------- exact cases

inline const std::vector<std::string> exact_names = {
    "ip.version", "http.request.method", "tcp.srcport", "udp.srcport", "arp.opcode", "ip.src", "ip.dst",
    "ipv6.src", "ipv6.flow", "tcp.seq", "dns.qry.name", "resp.integer", "ptp.v2.logmessageperiod",
    "ptp.as.fu.organizationSubType", "ip", "frame.protocols", "eth.src",
};

struct exact_fixture {
    std::vector<field> fields;
    int32_t id(const char *name) const { return named(fields, name).id; }
};

inline exact_fixture start_exact()
{
    exact_fixture fixture;
    EXPECT_EQ(gInitEpan(), 0) << last_error();
    fixture.fields = register_group(exact_names, "T");
    resolve(fixture.fields);
    return fixture;
}

}  // namespace wsbfields
