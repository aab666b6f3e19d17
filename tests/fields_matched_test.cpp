// SPDX-License-Identifier: GPL-2.0-or-later
// Matched fields and payload offsets on exact cases built byte for byte with
// pcap_writer.h, driven through the public interface the way a host does:
// positions relative to the transport payload, tunnels, first occurrences,
// matches forgotten with every dissection, fields registered late or refused,
// and the calls without a dissection or without their outputs.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fields_support.h"
#include "pcap_writer.h"
#include "test_support.h"
#include "wsbridge.h"

namespace {

using namespace wsbfields;
using wsbtest::lines_of;
using wsbtest::run_command;

std::string not_passed(int32_t id)
{
    return "Protocol field ID \"" + std::to_string(id) + "\" is not one that passed the filter.\n";
}

std::string no_dissection(const char *operation)
{
    return std::string("\"") + operation +
           "\" operation failed. There is no dissected packet: read a packet of an open capture first.";
}

struct field_position {
    int32_t start = -1, offset = -1, length = -1, type = -1;
};

field_position position_of(int32_t id)
{
    field_position p;
    EXPECT_EQ(gGetFieldInfoEx(id, &p.start, &p.length, &p.type), 0) << last_error();
    int32_t length = -1, type = -1;
    EXPECT_EQ(gGetFieldInfo(id, &p.offset, &length, &type), 0) << last_error();
    EXPECT_EQ(length, p.length);
    EXPECT_EQ(type, p.type);
    return p;
}

int32_t transport_offset()
{
    int32_t offset = -1;
    EXPECT_EQ(gGetTransportProtocolPayloadOffset(&offset), 0) << last_error();
    return offset;
}

int32_t ipv4_offset()
{
    int32_t offset = -1;
    EXPECT_EQ(gGetIPv4ProtocolPayloadOffset(&offset), 0) << last_error();
    return offset;
}

void expect_no_transport()
{
    int32_t offset = 12345;
    EXPECT_EQ(gGetTransportProtocolPayloadOffset(&offset), 1);
    EXPECT_EQ(last_error(), not_transport_message);
    EXPECT_EQ(offset, 12345);
}

void expect_no_ipv4()
{
    int32_t offset = 12345;
    EXPECT_EQ(gGetIPv4ProtocolPayloadOffset(&offset), 1);
    EXPECT_EQ(last_error(), not_ipv4_message);
    EXPECT_EQ(offset, 12345);
}

// A DNS query with two questions: dns.qry.name occurs twice.
pcapw::Bytes dns_two_questions_frame()
{
    pcapw::Bytes dns;
    pcapw::put16be(dns, 0x1234);
    pcapw::put16be(dns, 0x0100);
    pcapw::put16be(dns, 2);
    pcapw::put16be(dns, 0);
    pcapw::put16be(dns, 0);
    pcapw::put16be(dns, 0);
    for (const char *label : {"\x05" "first", "\x06" "second"}) {
        pcapw::append(dns, reinterpret_cast<const uint8_t *>(label), strlen(label));
        pcapw::append(dns, reinterpret_cast<const uint8_t *>("\x07" "example"), 8);
        pcapw::put8(dns, 0);
        pcapw::put16be(dns, 1);
        pcapw::put16be(dns, 1);
    }
    return pcapw::eth_ipv4_udp(mac_b, mac_a, host_a, host_b, 40003, 53, dns);
}

// IPv4 in IPv4: the outer header carries 4 bytes of options (24 bytes), the
// inner one none (20 bytes), then UDP.
pcapw::Bytes ip_in_ip_frame()
{
    pcapw::Bytes inner = pcapw::ipv4(host_a, host_b, pcapw::ipproto::UDP,
                                     pcapw::udp_ipv4(host_a, host_b, 40005, 5555, pcapw::to_bytes("x")));
    pcapw::Bytes outer = pcapw::ipv4(pcapw::ip4("10.0.0.1"), pcapw::ip4("10.0.0.2"), 4, inner, 64, 7, 0x4000,
                                     pcapw::Bytes{1, 1, 1, 0});
    return pcapw::ethernet(mac_b, mac_a, pcapw::ethertype::IPV4, outer);
}

// VXLAN over UDP carrying Ethernet, IPv4 and TCP with a 24-byte header: UDP
// at 34, inner TCP at 84, its payload at 108.
pcapw::Bytes vxlan_tcp_frame()
{
    pcapw::Bytes tcp = pcapw::tcp_ipv4(host_a, host_b, 40006, 80, 1, 1, pcapw::tcpflag::ACK,
                                       pcapw::to_bytes("data"), 65535, pcapw::Bytes{1, 1, 1, 1});
    pcapw::Bytes inner = pcapw::ethernet(mac_b, mac_a, pcapw::ethertype::IPV4,
                                         pcapw::ipv4(host_a, host_b, pcapw::ipproto::TCP, tcp));
    pcapw::Bytes vxlan = {0x08, 0, 0, 0, 0, 0, 0x2a, 0};
    pcapw::append(vxlan, inner);
    return pcapw::eth_ipv4_udp(mac_b, mac_a, pcapw::ip4("10.0.0.1"), pcapw::ip4("10.0.0.2"), 40007, 4789, vxlan);
}

// IPv6 in IPv4 (6in4) carrying TCP, and IPv4 in IPv6 carrying UDP: the name
// "ip.version" has records under both of its engine ids.
pcapw::Bytes six_in_four_frame()
{
    pcapw::Bytes inner = pcapw::ipv6(host6_a, host6_b, pcapw::ipproto::TCP,
                                     pcapw::tcp_ipv6(host6_a, host6_b, 40008, 80, 1, 1, pcapw::tcpflag::ACK, {}));
    return pcapw::ethernet(mac_b, mac_a, pcapw::ethertype::IPV4, pcapw::ipv4(host_a, host_b, 41, inner));
}

pcapw::Bytes four_in_six_frame()
{
    pcapw::Bytes inner = pcapw::ipv4(host_a, host_b, pcapw::ipproto::UDP,
                                     pcapw::udp_ipv4(host_a, host_b, 40009, 5555, pcapw::to_bytes("x")));
    return pcapw::ethernet(mac_b, mac_a, pcapw::ethertype::IPV6, pcapw::ipv6(host6_a, host6_b, 4, inner));
}

TEST(FieldsExact, OffsetsOfTcpUdpArpAndIpv6OverEthernet)
{
    exact_fixture t = start_exact();
    std::string path = write_capture("offsets.pcap", {http_frame(), udp_frame(), arp_frame(), ipv6_http_frame()});
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();

    // TCP with a 20-byte header.
    next_packet();
    std::set<int32_t> matched = matched_ids("T");
    EXPECT_TRUE(matched.count(t.id("ip.version")));
    EXPECT_TRUE(matched.count(t.id("http.request.method")));
    EXPECT_FALSE(matched.count(t.id("udp.srcport")));
    EXPECT_EQ(transport_offset(), 54);
    EXPECT_EQ(ipv4_offset(), 34);
    field_position method = position_of(t.id("http.request.method"));
    EXPECT_EQ(method.start, 54);
    EXPECT_EQ(method.offset, 0);
    EXPECT_EQ(method.length, 3);
    EXPECT_EQ(method.type, WSB_FT_STRING);
    EXPECT_EQ(string_value(t.id("http.request.method")), "GET");
    field_position version = position_of(t.id("ip.version"));
    EXPECT_EQ(version.start, 14);
    EXPECT_EQ(version.offset, -40);
    EXPECT_EQ(version.length, 1);
    EXPECT_EQ(version.type, WSB_FT_UINT8);
    EXPECT_EQ(uint64_value(t.id("ip.version")), 4u);
    EXPECT_EQ(position_of(t.id("tcp.srcport")).offset, -20);

    // UDP.
    next_packet();
    matched = matched_ids("T");
    EXPECT_TRUE(matched.count(t.id("udp.srcport")));
    EXPECT_FALSE(matched.count(t.id("tcp.srcport")));
    EXPECT_EQ(transport_offset(), 42);
    EXPECT_EQ(ipv4_offset(), 34);
    EXPECT_EQ(position_of(t.id("udp.srcport")).offset, -8);
    EXPECT_EQ(position_of(t.id("ip.version")).offset, -28);

    // ARP: positions as the engine reports them, no payload offsets.
    next_packet();
    matched = matched_ids("T");
    EXPECT_TRUE(matched.count(t.id("arp.opcode")));
    EXPECT_FALSE(matched.count(t.id("ip.version")));
    field_position opcode = position_of(t.id("arp.opcode"));
    EXPECT_EQ(opcode.start, 20);
    EXPECT_EQ(opcode.offset, 20);
    expect_no_transport();
    expect_no_ipv4();

    // IPv6 carrying TCP: the transport payload is found, IPv4 is not there.
    next_packet();
    matched = matched_ids("T");
    EXPECT_TRUE(matched.count(t.id("ipv6.src")));
    EXPECT_TRUE(matched.count(t.id("ip.version")));  // IPv6 registers the name too
    EXPECT_EQ(transport_offset(), 74);
    expect_no_ipv4();
    EXPECT_EQ(uint64_value(t.id("ip.version")), 6u);
    EXPECT_EQ(position_of(t.id("http.request.method")).offset, 0);
    EXPECT_EQ(string_value(t.id("ipv6.src")), "2001:db8::1");
    EXPECT_EQ(gCleanupEpan(), 0);
}

TEST(FieldsExact, AFieldSeveralTimesInOnePacketGivesItsFirstOccurrence)
{
    exact_fixture t = start_exact();
    std::string path = write_capture("dns.pcap", {dns_two_questions_frame()});
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    next_packet();
    std::set<int32_t> matched = matched_ids("T");
    ASSERT_TRUE(matched.count(t.id("dns.qry.name")));
    field_position name = position_of(t.id("dns.qry.name"));
    EXPECT_EQ(name.start, 54);  // 42 + the 12-byte DNS header
    EXPECT_EQ(name.length, 15);
    EXPECT_EQ(name.offset, 12);
    EXPECT_EQ(string_value(t.id("dns.qry.name")), "first.example");
    EXPECT_EQ(gCleanupEpan(), 0);
}

TEST(FieldsExact, MatchesAreForgottenWithEveryDissection)
{
    exact_fixture t = start_exact();
    std::string path = write_capture("stale.pcap", {http_frame(), arp_frame(), http_frame(5000)});
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    PacketSummary first = next_packet();
    std::set<int32_t> matched = matched_ids("T");
    const int32_t method = t.id("http.request.method");
    ASSERT_TRUE(matched.count(method));

    // The next packet: the ids of the packet before are no longer matched,
    // even though the new packet is never asked about.
    next_packet();
    int32_t start = 7, length = 7, type = 7;
    uint64_t value = 7;
    const char *text = nullptr;
    int32_t size = 0;
    EXPECT_EQ(gGetFieldInfoEx(method, &start, &length, &type), 1);
    EXPECT_EQ(last_error(), not_passed(method));
    EXPECT_EQ(gGetFieldInfo(method, &start, &length, &type), 1);
    EXPECT_EQ(last_error(), not_passed(method));
    EXPECT_EQ(start, 7);
    EXPECT_EQ(gGetStringProtocolFieldValue(&text, &size, method), 1);
    EXPECT_EQ(last_error(), not_passed(method));
    EXPECT_EQ(gGetUInt64ProtocolFieldValue(&value, t.id("tcp.srcport")), 1);
    EXPECT_EQ(last_error(), not_passed(t.id("tcp.srcport")));
    EXPECT_EQ(value, 7u);

    // A packet holding none of a group's fields: count 0, no ids, status 0.
    ASSERT_EQ(gRegisterProtocolFieldFilter("dns.qry.name", "DNS"), 0);
    int32_t id = 0, ftype = 0;
    ASSERT_EQ(gGetProtocolFieldFilterInfo("dns.qry.name", &id, &ftype), 0) << last_error();
    int32_t count = -1;
    const int32_t *ids = reinterpret_cast<const int32_t *>(&count);
    EXPECT_EQ(gLastPacketHasPassedFilter("DNS", &count, &ids), 0) << last_error();
    EXPECT_EQ(count, 0);
    EXPECT_EQ(ids, nullptr);

    // Re-reading a packet by offset also forgets the matches.
    next_packet();
    matched = matched_ids("T");
    ASSERT_TRUE(matched.count(method));
    EXPECT_EQ(gGetPacketAtOffset(nullptr, first.frame_number, first.file_offset,
                                 static_cast<int32_t>(first.captured_length), first.packet_length,
                                 first.encapsulation),
              0)
        << last_error();
    EXPECT_EQ(gGetFieldInfoEx(method, &start, &length, &type), 1);
    EXPECT_EQ(last_error(), not_passed(method));
    // ... and the re-read packet can be asked about.
    matched = matched_ids("T");
    ASSERT_TRUE(matched.count(t.id("tcp.srcport")));
    EXPECT_EQ(position_of(t.id("tcp.srcport")).start, 34);
    EXPECT_EQ(transport_offset(), 54);

    // An unregistered group fails and drops the matches made before.
    EXPECT_EQ(gLastPacketHasPassedFilter("NOPE", &count, &ids), 1);
    EXPECT_EQ(last_error(), "Requested protocol \"NOPE\" was not registered.\n");
    EXPECT_EQ(gGetFieldInfoEx(method, &start, &length, &type), 1);
    EXPECT_EQ(last_error(), not_passed(method));
    // Group names are case-sensitive.
    EXPECT_EQ(gLastPacketHasPassedFilter("t", &count, &ids), 1);
    EXPECT_EQ(last_error(), "Requested protocol \"t\" was not registered.\n");

    // An id that was never handed out.
    matched_ids("T");
    EXPECT_EQ(gGetFieldInfoEx(-5, &start, &length, &type), 1);
    EXPECT_EQ(last_error(), not_passed(-5));
    EXPECT_EQ(gGetUInt64ProtocolFieldValue(&value, 0x7fffffff), 1);
    EXPECT_EQ(last_error(), not_passed(0x7fffffff));
    EXPECT_EQ(gCleanupEpan(), 0);
}

TEST(FieldsExact, CallsWithoutACurrentDissection)
{
    int32_t count = -1, offset = -1, length = -1, type = -1, signed_value = -1, size = -1;
    const int32_t *ids = nullptr;
    uint64_t value = 1;
    const char *text = nullptr;
    auto expect_all_refused = [&](const char *reason) {
        SCOPED_TRACE(reason);
        EXPECT_EQ(gLastPacketHasPassedFilter("IP", &count, &ids), 1);
        EXPECT_NE(last_error().find("\"Last Packet Has Passed Filter\" operation failed."), std::string::npos)
            << last_error();
        EXPECT_EQ(gGetFieldInfo(1, &offset, &length, &type), 1);
        EXPECT_NE(last_error().find("\"Get Field Info\" operation failed."), std::string::npos) << last_error();
        EXPECT_EQ(gGetFieldInfoEx(1, &offset, &length, &type), 1);
        EXPECT_EQ(gGetTransportProtocolPayloadOffset(&offset), 1);
        EXPECT_NE(last_error().find("\"Get Transport Protocol Payload Offset\" operation failed."), std::string::npos);
        EXPECT_EQ(gGetIPv4ProtocolPayloadOffset(&offset), 1);
        EXPECT_NE(last_error().find("\"Get IPv4 Protocol Payload Offset\" operation failed."), std::string::npos);
        EXPECT_EQ(gGetUInt64ProtocolFieldValue(&value, 1), 1);
        EXPECT_EQ(gGetInt32ProtocolFieldValue(&signed_value, 1), 1);
        EXPECT_EQ(gGetStringProtocolFieldValue(&text, &size, 1), 1);
        int local = 0;
        EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(&local, &value), 1);
        EXPECT_EQ(last_error(), invalid_node_uint64);
        EXPECT_EQ(gGetInt32ProtocolFieldValueByTreeNode(&local, &signed_value), 1);
        EXPECT_EQ(last_error(), invalid_node_int32);
        EXPECT_EQ(gGetStringProtocolFieldValueByTreeNode(&local, &text, &size), 1);
        EXPECT_EQ(last_error(), invalid_node_string);
        EXPECT_EQ(count, -1);
        EXPECT_EQ(offset, -1);
        EXPECT_EQ(value, 1u);
        EXPECT_EQ(text, nullptr);
    };

    expect_all_refused("before the engine starts");
    EXPECT_EQ(gLastPacketHasPassedFilter("IP", &count, &ids), 1);
    EXPECT_EQ(last_error(), "\"Last Packet Has Passed Filter\" operation failed. Wireshark engine is not initialized "
                            "yet.");

    exact_fixture t = start_exact();
    expect_all_refused("before a capture is opened");
    EXPECT_EQ(gGetTransportProtocolPayloadOffset(&offset), 1);
    EXPECT_EQ(last_error(), no_dissection("Get Transport Protocol Payload Offset"));

    std::string path = write_capture("none.pcap", {http_frame()});
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    expect_all_refused("before the first packet");
    EXPECT_EQ(gLastPacketHasPassedFilter("T", &count, &ids), 1);
    EXPECT_EQ(last_error(), no_dissection("Last Packet Has Passed Filter"));

    PacketSummary summary = next_packet();
    matched_ids("T");
    EXPECT_EQ(transport_offset(), 54);
    ASSERT_EQ(build_tree(summary), 0) << last_error();
    TreeNode node = tree_node_named("tcp.srcport");

    // The end of the capture leaves no packet to ask about.
    EXPECT_EQ(gGetNextPacket(&summary), 2);
    expect_all_refused("after the end of the capture");
    EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(node.node, &value), 1);
    EXPECT_EQ(last_error(), invalid_node_uint64);

    // Closing the capture.
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    next_packet();
    matched_ids("T");
    EXPECT_EQ(transport_offset(), 54);
    EXPECT_EQ(gCloseCapture(), 0);
    expect_all_refused("after closing");
    EXPECT_EQ(gGetIPv4ProtocolPayloadOffset(&offset), 1);
    EXPECT_EQ(last_error(), no_dissection("Get IPv4 Protocol Payload Offset"));

    // Shutting the engine down with a packet read.
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    next_packet();
    matched_ids("T");
    const char *kept = nullptr;
    ASSERT_EQ(gGetStringProtocolFieldValue(&kept, &size, t.id("ip.src")), 0);
    EXPECT_EQ(gCleanupEpan(), 0);
    expect_all_refused("after shutdown");
    EXPECT_EQ(gGetFieldInfo(t.id("ip.src"), &offset, &length, &type), 1);
    EXPECT_EQ(last_error(), "\"Get Field Info\" operation failed. Wireshark engine was already uninitialized.");
}

TEST(FieldsExact, MissingOutputsAreRefused)
{
    exact_fixture t = start_exact();
    std::string path = write_capture("null.pcap", {http_frame()});
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    PacketSummary summary = next_packet();
    int32_t count = 0, offset = 0, length = 0, type = 0, size = 0;
    const int32_t *ids = nullptr;
    const char *text = nullptr;
    EXPECT_EQ(gLastPacketHasPassedFilter(nullptr, &count, &ids), 1);
    EXPECT_EQ(gLastPacketHasPassedFilter("T", nullptr, &ids), 1);
    EXPECT_EQ(gLastPacketHasPassedFilter("T", &count, nullptr), 1);
    EXPECT_EQ(last_error(),
              "\"Last Packet Has Passed Filter\" operation failed. The group name and both outputs must be given.");
    matched_ids("T");
    const int32_t srcport = t.id("tcp.srcport");
    EXPECT_EQ(gGetFieldInfo(srcport, nullptr, &length, &type), 1);
    EXPECT_EQ(gGetFieldInfo(srcport, &offset, nullptr, &type), 1);
    EXPECT_EQ(gGetFieldInfoEx(srcport, &offset, &length, nullptr), 1);
    EXPECT_EQ(last_error(), "\"Get Field Info Ex\" operation failed. All three outputs must be given.");
    EXPECT_EQ(gGetTransportProtocolPayloadOffset(nullptr), 1);
    EXPECT_EQ(gGetIPv4ProtocolPayloadOffset(nullptr), 1);
    EXPECT_EQ(gGetUInt64ProtocolFieldValue(nullptr, srcport), 1);
    EXPECT_EQ(last_error(), "\"Get UInt64 Protocol Field Value\" operation failed. No address was given for the value.");
    EXPECT_EQ(gGetInt32ProtocolFieldValue(nullptr, srcport), 1);
    EXPECT_EQ(gGetStringProtocolFieldValue(nullptr, &size, t.id("ip.src")), 1);
    EXPECT_EQ(gGetStringProtocolFieldValue(&text, nullptr, t.id("ip.src")), 1);
    ASSERT_EQ(build_tree(summary), 0) << last_error();
    TreeNode node = tree_node_named("tcp.srcport");
    EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(node.node, nullptr), 1);
    EXPECT_EQ(gGetInt32ProtocolFieldValueByTreeNode(node.node, nullptr), 1);
    EXPECT_EQ(gGetStringProtocolFieldValueByTreeNode(node.node, &text, nullptr), 1);
    // Nothing was disturbed: the same calls with their outputs work.
    uint64_t value = 0;
    EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(node.node, &value), 0) << last_error();
    EXPECT_EQ(value, 40000u);
    EXPECT_EQ(gCleanupEpan(), 0);
}

TEST(FieldsExact, TunnelsCountFromOneAndTheSameHeader)
{
    exact_fixture t = start_exact();
    std::string path = write_capture("tunnels.pcap", {ip_in_ip_frame(), vxlan_tcp_frame()});
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();

    // IPv4 in IPv4: the payload of the first IPv4 header, whose own length
    // is 24 (the inner header's is 20).
    next_packet();
    std::set<int32_t> matched = matched_ids("T");
    EXPECT_EQ(ipv4_offset(), 14 + 24);
    EXPECT_EQ(transport_offset(), 14 + 24 + 20 + 8);
    field_position version = position_of(t.id("ip.version"));
    EXPECT_EQ(version.start, 14);
    EXPECT_EQ(string_value(t.id("ip.src")), "10.0.0.1");  // the first occurrence

    // UDP carrying TCP (VXLAN): both calls count from the TCP header, with its
    // own 24-byte length.
    next_packet();
    matched = matched_ids("T");
    ASSERT_TRUE(matched.count(t.id("udp.srcport")));
    ASSERT_TRUE(matched.count(t.id("tcp.srcport")));
    EXPECT_EQ(transport_offset(), 84 + 24);
    EXPECT_EQ(ipv4_offset(), 34);
    EXPECT_EQ(position_of(t.id("tcp.srcport")).offset, -24);
    EXPECT_EQ(position_of(t.id("udp.srcport")).offset, 34 - 108);
    EXPECT_EQ(gCleanupEpan(), 0);
}

TEST(FieldsExact, ANameWithRecordsUnderSeveralIdsGivesTheFirstInTheTree)
{
    exact_fixture t = start_exact();
    std::string path = write_capture("mixed.pcap", {six_in_four_frame(), four_in_six_frame()});
    std::vector<std::string> tshark = lines_of(run_command(std::string("tshark") + tshark_preferences + " -r '" +
                                                           path + "' -T fields -E occurrence=f -e ip.version"
                                                                  " 2>/dev/null"));
    ASSERT_EQ(tshark, (std::vector<std::string>{"4", "6"}));
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();

    // 6in4: the IPv4 header comes first.
    next_packet();
    ASSERT_TRUE(matched_ids("T").count(t.id("ip.version")));
    EXPECT_EQ(uint64_value(t.id("ip.version")), 4u);
    EXPECT_EQ(position_of(t.id("ip.version")).start, 14);
    EXPECT_EQ(ipv4_offset(), 34);
    EXPECT_EQ(transport_offset(), 14 + 20 + 40 + 20);

    // 4in6: the IPv6 header comes first; the IPv4 payload is the inner one's.
    next_packet();
    ASSERT_TRUE(matched_ids("T").count(t.id("ip.version")));
    EXPECT_EQ(uint64_value(t.id("ip.version")), 6u);
    EXPECT_EQ(position_of(t.id("ip.version")).start, 14);
    EXPECT_EQ(ipv4_offset(), 14 + 40 + 20);
    EXPECT_EQ(transport_offset(), 14 + 40 + 20 + 8);
    EXPECT_EQ(string_value(t.id("ip.src")), "192.168.0.1");
    EXPECT_EQ(string_value(t.id("ipv6.src")), "2001:db8::1");
    EXPECT_EQ(gCleanupEpan(), 0);
}

TEST(FieldsExact, IdsStayValidWhenFieldsAreRegisteredLater)
{
    exact_fixture t = start_exact();
    std::string path = write_capture("late.pcap", {http_frame(), http_frame(5000)});
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    next_packet();
    EXPECT_FALSE(matched_ids("T").empty());

    // A field registered after the compilation is matched once its info has
    // been asked for (which compiles again); earlier ids keep working.
    ASSERT_EQ(gRegisterProtocolFieldFilter("tcp.dstport", "LATE"), 0);
    int32_t id = 0, type = 0;
    ASSERT_EQ(gGetProtocolFieldFilterInfo("tcp.dstport", &id, &type), 0) << last_error();
    int32_t again = 0;
    ASSERT_EQ(gGetProtocolFieldFilterInfo("tcp.srcport", &again, &type), 0) << last_error();
    EXPECT_EQ(again, t.id("tcp.srcport"));
    next_packet();
    std::set<int32_t> late = matched_ids("LATE");
    ASSERT_TRUE(late.count(id));
    EXPECT_EQ(uint64_value(id), 80u);
    std::set<int32_t> matched = matched_ids("T");
    ASSERT_TRUE(matched.count(t.id("tcp.srcport")));
    EXPECT_EQ(uint64_value(t.id("tcp.srcport")), 40000u);
    EXPECT_EQ(gCleanupEpan(), 0);
}

TEST(FieldsExact, AnUnknownNameIsRefusedAndChangesNothing)
{
    exact_fixture t = start_exact();
    std::string path = write_capture("refused.pcap", {http_frame(), http_frame(5000)});
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    next_packet();
    const std::set<int32_t> before = matched_ids("T");

    EXPECT_EQ(gRegisterProtocolFieldFilter("tcp.srcprot", "T"), 1);
    EXPECT_NE(last_error().find("\"tcp.srcprot\""), std::string::npos) << last_error();
    EXPECT_EQ(gRegisterProtocolFieldFilter("no.such.field", "NEW_GROUP"), 1);
    // Neither the group nor the name was filed.
    int32_t count = -1, id = 0, type = 0;
    const int32_t *ids = nullptr;
    EXPECT_EQ(gLastPacketHasPassedFilter("NEW_GROUP", &count, &ids), 1);
    EXPECT_EQ(gGetProtocolFieldFilterInfo("tcp.srcprot", &id, &type), 1);

    // Later registrations and lookups work; the group reads as before.
    ASSERT_EQ(gRegisterProtocolFieldFilter("tcp.dstport", "LATE"), 0) << last_error();
    ASSERT_EQ(gGetProtocolFieldFilterInfo("tcp.dstport", &id, &type), 0) << last_error();
    next_packet();
    EXPECT_EQ(matched_ids("T"), before);
    EXPECT_EQ(matched_ids("LATE"), std::set<int32_t>{id});
    EXPECT_EQ(uint64_value(id), 80u);
    EXPECT_EQ(gCleanupEpan(), 0);
}

}  // namespace
