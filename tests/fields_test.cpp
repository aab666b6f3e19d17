// SPDX-License-Identifier: GPL-2.0-or-later
// Matched fields, payload offsets and field values, driven through the public
// interface the way a host does.
//
// Oracles: tshark of the same engine, with the same preferences switched off.
// For every packet of every shared capture the first occurrence of a set of
// registered fields (every type a getter accepts, and several that all of
// them refuse) is compared with `tshark -T fields -E occurrence=f`, through
// the typed getters and, for fields of every type, through the value's text;
// tree items' texts are compared with it too; on the
// shared captures but the largest, the position and size of each first
// occurrence and the transport and IPv4 payload offsets are compared with
// `tshark -T pdml`. Exact cases are built byte for byte with pcap_writer.h.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "pcap_writer.h"
#include "test_support.h"
#include "wsbridge.h"

namespace {

const std::string captures = WSB_TEST_CAPTURES;

// The preferences the library switches off at start-up, switched off for
// tshark too.
const char tshark_preferences[] = " " WSB_TSHARK_PREFERENCES;  // lib/engine/preference_overrides.txt

const char not_transport_message[] = "Last processed packet is not a TCP/UDP one";
const char not_ipv4_message[] = "Last processed packet is not an IPv4 one";
const char invalid_node_uint64[] = "Invalid node passed when trying to retrieve protocol field value";
const char invalid_node_int32[] = "Invalid node passed when trying to retrieve protocol Int32 field value";
const char invalid_node_string[] = "Invalid node passed when trying to retrieve protocol string field value";

std::string not_passed(int32_t id)
{
    return "Protocol field ID \"" + std::to_string(id) + "\" is not one that passed the filter.\n";
}

std::string uint64_refused(int32_t id)
{
    return "Protocol field ID \"" + std::to_string(id) +
           "\" type is not an expected one (just uint8 or uint16 or uint32 or uint64 or int64 or boolean are "
           "accepted).\n";
}

std::string int32_refused(int32_t id)
{
    return "Protocol field ID \"" + std::to_string(id) +
           "\" type is not an expected one (just int8 or int16 or int32 are accepted).\n";
}

std::string string_refused(int32_t id)
{
    return "Protocol field ID \"" + std::to_string(id) +
           "\" type is not an expected one (just strings or IPs or Protocols are accepted).\n";
}

std::string no_dissection(const char *operation)
{
    return std::string("\"") + operation +
           "\" operation failed. There is no dissected packet: read a packet of an open capture first.";
}

std::string last_error() { return gGetLastError(); }

using wsbtest::run_command;

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return parts;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines = split(text, '\n');
    if (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

std::string temp_path(const std::string &name)
{
    return testing::TempDir() + "wsb_fields_" + std::to_string(getpid()) + "_" + name;
}

// Every capture file of the shared folder, by name.
std::vector<std::string> shared_captures()
{
    std::vector<std::string> paths;
    DIR *dir = opendir(captures.c_str());
    if (!dir)
        return paths;
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.find(".pcap") == std::string::npos)
            continue;
        paths.push_back(captures + "/" + name);
    }
    closedir(dir);
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::string base_name(const std::string &path) { return path.substr(path.rfind('/') + 1); }

// ------------------------------------------------------------- library side

struct field {
    std::string name;
    int32_t id = -1;
    int32_t type = -1;
};

std::vector<field> register_group(const std::vector<std::string> &names, const char *group)
{
    std::vector<field> fields;
    for (const std::string &name : names) {
        EXPECT_EQ(gRegisterProtocolFieldFilter(name.c_str(), group), 0) << last_error();
        fields.push_back({name});
    }
    return fields;
}

void resolve(std::vector<field> &fields)
{
    for (field &f : fields)
        EXPECT_EQ(gGetProtocolFieldFilterInfo(f.name.c_str(), &f.id, &f.type), 0) << f.name << ": " << last_error();
}

const field &named(const std::vector<field> &fields, const std::string &name)
{
    for (const field &f : fields)
        if (f.name == name)
            return f;
    static field none;
    ADD_FAILURE() << "no field " << name;
    return none;
}

std::string write_capture(const std::string &name, const std::vector<pcapw::Bytes> &frames)
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
std::set<int32_t> matched_ids(const char *group)
{
    int32_t count = -1;
    const int32_t *ids = nullptr;
    EXPECT_EQ(gLastPacketHasPassedFilter(group, &count, &ids), 0) << last_error();
    std::set<int32_t> result;
    for (int32_t i = 0; i < count; ++i)
        result.insert(ids[i]);
    return result;
}

std::string string_value(int32_t id)
{
    const char *text = nullptr;
    int32_t size = -1;
    EXPECT_EQ(gGetStringProtocolFieldValue(&text, &size, id), 0) << last_error();
    if (!text)
        return "<none>";
    EXPECT_EQ(size, static_cast<int32_t>(strlen(text)) + 1);
    return text;
}

uint64_t uint64_value(int32_t id)
{
    uint64_t value = 0;
    EXPECT_EQ(gGetUInt64ProtocolFieldValue(&value, id), 0) << last_error();
    return value;
}

int32_t int32_value(int32_t id)
{
    int32_t value = 0;
    EXPECT_EQ(gGetInt32ProtocolFieldValue(&value, id), 0) << last_error();
    return value;
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

PacketSummary next_packet()
{
    PacketSummary summary{};
    EXPECT_EQ(gGetNextPacket(&summary), 0) << last_error();
    return summary;
}

int32_t build_tree(const PacketSummary &s)
{
    int32_t length = 0;
    const uint8_t *bytes = nullptr;
    return gBuildPacketProtocolTree(&length, &bytes, s.frame_number, s.file_offset,
                                    static_cast<int32_t>(s.captured_length), s.packet_length, s.encapsulation);
}

// The first record of the tree built last whose field is abbrev.
TreeNode tree_node_named(const char *abbrev)
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

// True (with the record) when a record of the tree built last has handle.
bool tree_node_with_handle(const void *handle, TreeNode *found)
{
    int32_t count = 0;
    EXPECT_EQ(gGetProtocolTreeNodesCount(&count), 0) << last_error();
    for (int32_t i = 0; i < count; ++i) {
        EXPECT_EQ(gGetTreeNodeByIndex(found, i), 0) << last_error();
        if (found->node == handle)
            return true;
    }
    return false;
}

// ------------------------------------------------------------- test packets

const pcapw::Mac mac_a = pcapw::mac("00:11:22:33:44:55");
const pcapw::Mac mac_b = pcapw::mac("00:11:22:33:44:66");
const pcapw::Ip4 host_a = pcapw::ip4("192.168.0.1");
const pcapw::Ip4 host_b = pcapw::ip4("192.168.0.2");
const pcapw::Ip6 host6_a = pcapw::ip6("2001:db8::1");
const pcapw::Ip6 host6_b = pcapw::ip6("2001:db8::2");
const char http_request[] = "GET / HTTP/1.1\r\nHost: a\r\n\r\n";

// Ethernet, IPv4 (20 bytes), TCP (20 bytes) from port 40000 to 80, carrying
// an HTTP request whose method starts at 54. Frames of one capture need
// distinct sequence numbers: the engine takes a repeated segment for a
// retransmission and leaves its payload undissected.
pcapw::Bytes http_frame(uint32_t seq = 1000)
{
    return pcapw::eth_ipv4_tcp(mac_b, mac_a, host_a, host_b, 40000, 80, seq, 2000,
                               pcapw::tcpflag::PSH | pcapw::tcpflag::ACK, pcapw::to_bytes(http_request));
}

pcapw::Bytes udp_frame()
{
    return pcapw::eth_ipv4_udp(mac_b, mac_a, host_a, host_b, 40001, 5555, pcapw::to_bytes("hello"));
}

pcapw::Bytes arp_frame() { return pcapw::eth_arp_request(mac_a, host_a, host_b); }

pcapw::Bytes ipv6_http_frame()
{
    return pcapw::eth_ipv6_tcp(mac_b, mac_a, host6_a, host6_b, 40002, 80, 1, 1,
                               pcapw::tcpflag::PSH | pcapw::tcpflag::ACK, pcapw::to_bytes(http_request));
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

// A RESP reply from a Redis server: the integer -1 (an FT_INT64 field).
pcapw::Bytes resp_minus_one_frame()
{
    return pcapw::eth_ipv4_tcp(mac_a, mac_b, host_b, host_a, 6379, 40004, 1, 1,
                               pcapw::tcpflag::PSH | pcapw::tcpflag::ACK, pcapw::to_bytes(":-1\r\n"));
}

// A PTP (802.1AS) Follow_Up over Ethernet: log message period -3 (FT_INT8)
// and organization subtype -2 (FT_INT24).
pcapw::Bytes ptp_follow_up_frame()
{
    pcapw::Bytes ptp = {0x18, 0x02};
    pcapw::put16be(ptp, 76);
    pcapw::Bytes rest = {0, 0, 0x00, 0x08};
    pcapw::append(ptp, rest);
    ptp.resize(ptp.size() + 8 + 4, 0);  // correction, reserved
    for (uint8_t i = 1; i <= 8; ++i)
        pcapw::put8(ptp, i);  // clock identity
    pcapw::put16be(ptp, 1);   // source port
    pcapw::put16be(ptp, 5);   // sequence id
    pcapw::put8(ptp, 2);      // control: Follow_Up
    pcapw::put8(ptp, 0xfd);   // log message period -3
    ptp.resize(ptp.size() + 10, 0);  // precise origin timestamp
    pcapw::put16be(ptp, 3);   // organization extension TLV
    pcapw::put16be(ptp, 28);
    pcapw::Bytes organization = {0x00, 0x80, 0xc2, 0xff, 0xff, 0xfe};
    pcapw::append(ptp, organization);
    ptp.resize(ptp.size() + 22, 0);
    return pcapw::ethernet(pcapw::mac("01:80:c2:00:00:0e"), mac_a, 0x88f7, ptp);
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

// ------------------------------------------------------------------ oracles

// Fields of the oracle: every type a getter accepts, and several types that
// every getter refuses.
const std::vector<std::string> oracle_names = {
    "ip.ttl",            // uint8
    "tcp.srcport",       // uint16
    "udp.srcport",       // uint16
    "udp.length",        // uint16
    "tcp.seq",           // uint32 (relative, as tshark shows it)
    "tcp.flags.syn",     // boolean
    "mptcp.dss.dsn",     // uint64
    "http.content_length",  // uint64
    "frame.encap_type",  // int16
    "tcp.window_size_scalefactor",  // int32, -1 and -2 when unknown
    "resp.bulk_string.length",      // int32
    "resp.integer",      // int64
    "frame.protocols",   // string
    "http.request.method",  // string
    "dns.qry.name",      // string
    "ip.src",            // IPv4
    "ip.dst",            // IPv4
    "ipv6.src",          // IPv6
    "dns.aaaa",          // IPv6
    "ip.version",        // uint8, registered by IPv4 and IPv6
    "ipv6.flow",         // uint24: refused
    "geneve.vni",        // uint24: refused
    "cdp.software_version",  // stringz: refused
    "eth.src",           // ether: refused
    "frame.time_delta",  // relative time: refused
};

// More fields for the values as text: types no typed getter takes, and
// integers shown in hex.
const std::vector<std::string> text_oracle_names = {
    "frame.time",        // absolute time
    "frame.time_relative",  // relative time
    "eth.dst",           // ether
    "tcp.analysis.ack_rtt",  // relative time, from the conversation's analysis
    "tcp.flags",         // uint16 shown in hex: 0x0018
    "eth.type",          // uint16 shown in hex: 0x0800
    "tcp.options",       // bytes
    "data.data",         // bytes
    "icmp.resptime",     // double
    "png.gama.gamma",    // float
    "tcp.options.nop",   // a protocol that the engine shows as its bytes
    "dns.opt",           // no value: "1"
    "eth.src.lg",        // boolean of a bit field
};

enum class getter_kind { uint64, int64, int32, text, none };

getter_kind getter_for(int32_t type)
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

// Reports a mismatch; only the first few are spelled out.
struct mismatch_log {
    int count = 0;
    void add(const std::string &what)
    {
        if (++count <= 25)
            ADD_FAILURE() << what;
    }
};

// The library's value of a matched field, as tshark writes it; checks on the
// way that the other getters refuse the field with their type messages.
std::string library_value(const field &f, int32_t type, mismatch_log &log, const std::string &where)
{
    uint64_t u = 0;
    int32_t s = 0;
    const char *text = nullptr;
    int32_t size = 0;
    getter_kind kind = getter_for(type);
    bool u_ok = gGetUInt64ProtocolFieldValue(&u, f.id) == 0;
    std::string u_error = last_error();
    bool s_ok = gGetInt32ProtocolFieldValue(&s, f.id) == 0;
    std::string s_error = last_error();
    bool t_ok = gGetStringProtocolFieldValue(&text, &size, f.id) == 0;
    std::string t_error = last_error();

    bool want_u = kind == getter_kind::uint64 || kind == getter_kind::int64;
    if (u_ok != want_u || (!u_ok && u_error != uint64_refused(f.id)))
        log.add(where + ": unsigned getter " + (u_ok ? "accepted" : u_error));
    if (s_ok != (kind == getter_kind::int32) || (!s_ok && s_error != int32_refused(f.id)))
        log.add(where + ": signed getter " + (s_ok ? "accepted" : s_error));
    if (t_ok != (kind == getter_kind::text) || (!t_ok && t_error != string_refused(f.id)))
        log.add(where + ": string getter " + (t_ok ? "accepted" : t_error));
    if (t_ok && (!text || size != static_cast<int32_t>(strlen(text)) + 1))
        log.add(where + ": string size");

    switch (kind) {
    case getter_kind::uint64: return std::to_string(u);
    case getter_kind::int64: return std::to_string(static_cast<int64_t>(u));
    case getter_kind::int32: return std::to_string(s);
    case getter_kind::text: return text ? text : "";
    default: return "";
    }
}

// tshark writes integer fields of hexadecimal display bases as 0x...; the
// library hands out numbers.
std::string as_decimal(const std::string &tshark_text, getter_kind kind)
{
    if (kind != getter_kind::text && tshark_text.rfind("0x", 0) == 0)
        return std::to_string(strtoull(tshark_text.c_str(), nullptr, 16));
    return tshark_text;
}

TEST(FieldsOracle, FirstOccurrenceValuesMatchTsharkOnEveryCapture)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    std::vector<std::string> names = oracle_names;
    names.insert(names.end(), text_oracle_names.begin(), text_oracle_names.end());
    std::vector<field> fields = register_group(names, "ORACLE");
    resolve(fields);
    std::string columns = " -e frame.number";
    for (const field &f : fields)
        columns += " -e " + f.name;

    mismatch_log log;
    size_t files = 0, packets = 0, compared = 0, refused = 0, absent = 0;
    std::map<int32_t, size_t> compared_by_type, texts_by_type;
    for (const std::string &path : shared_captures()) {
        std::vector<std::string> lines = lines_of(run_command(std::string("tshark") + tshark_preferences + " -r '" +
                                                              path + "' -T fields -E occurrence=f" + columns +
                                                              " 2>/dev/null"));
        if (lines.empty())
            continue;  // not a capture tshark reads
        ++files;
        ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
        size_t line = 0;
        PacketSummary summary{};
        int status;
        while ((status = gGetNextPacket(&summary)) == 0) {
            ++packets;
            ASSERT_LT(line, lines.size()) << path;
            std::vector<std::string> expected = split(lines[line++], '\t');
            ASSERT_EQ(expected.size(), fields.size() + 1) << path;
            ASSERT_EQ(expected[0], std::to_string(summary.frame_number)) << path;
            std::set<int32_t> matched = matched_ids("ORACLE");
            for (size_t i = 0; i < fields.size(); ++i) {
                const field &f = fields[i];
                const std::string &want = expected[i + 1];
                std::string where = base_name(path) + " frame " + expected[0] + " " + f.name;
                bool present = matched.count(f.id) != 0;
                if (present != !want.empty()) {
                    log.add(where + ": present " + std::to_string(present) + ", tshark \"" + want + "\"");
                    continue;
                }
                if (!present) {
                    ++absent;
                    continue;
                }
                int32_t start, length, type;
                ASSERT_EQ(gGetFieldInfoEx(f.id, &start, &length, &type), 0) << last_error();
                std::string got = library_value(f, type, log, where);
                // The value as text: exactly what tshark prints, any type.
                const char *text = nullptr;
                int32_t size = 0;
                if (gGetFieldValueText(&text, &size, f.id) != 0)
                    log.add(where + ": no text: " + last_error());
                else if (size != static_cast<int32_t>(strlen(text)) + 1)
                    log.add(where + ": text size");
                else if (text != want)
                    log.add(where + ": text \"" + text + "\", tshark \"" + want + "\"");
                else
                    ++texts_by_type[type];
                getter_kind kind = getter_for(type);
                if (kind == getter_kind::none) {
                    ++refused;
                    continue;
                }
                ++compared;
                ++compared_by_type[type];
                if (got != as_decimal(want, kind))
                    log.add(where + ": library \"" + got + "\", tshark \"" + want + "\"");
            }
        }
        EXPECT_EQ(status, 2) << path << ": " << last_error();
        EXPECT_EQ(line, lines.size()) << path;
        EXPECT_EQ(gCloseCapture(), 0);
    }
    EXPECT_EQ(log.count, 0);
    std::printf("[ oracle   ] %zu captures, %zu packets: %zu values equal to tshark, %zu refused by type, %zu absent "
                "in both\n",
                files, packets, compared, refused, absent);
    for (const auto &[type, count] : compared_by_type)
        std::printf("[ oracle   ]   type %d: %zu values\n", type, count);
    EXPECT_GE(files, 40u);
    EXPECT_GT(compared, 50000u);
    // Every accepted kind of value was compared, signed ones included.
    for (int32_t type : {WSB_FT_BOOLEAN, WSB_FT_UINT8, WSB_FT_UINT16, WSB_FT_UINT32, WSB_FT_UINT64, WSB_FT_INT16,
                         WSB_FT_INT32, WSB_FT_INT64, WSB_FT_STRING, WSB_FT_IPv4, WSB_FT_IPv6})
        EXPECT_GT(compared_by_type[type], 0u) << "type " << type;
    EXPECT_GT(refused, 1000u);
    // Values of every kind were compared as texts.
    for (const auto &[type, count] : texts_by_type)
        std::printf("[ oracle   ]   type %d: %zu texts\n", type, count);
    for (int32_t type : {WSB_FT_NONE, WSB_FT_BOOLEAN, WSB_FT_UINT8, WSB_FT_UINT16, WSB_FT_UINT32, WSB_FT_UINT64,
                         WSB_FT_INT16, WSB_FT_INT32, WSB_FT_INT64, WSB_FT_FLOAT, WSB_FT_DOUBLE, WSB_FT_ABSOLUTE_TIME,
                         WSB_FT_RELATIVE_TIME, WSB_FT_STRING, WSB_FT_ETHER, WSB_FT_BYTES, WSB_FT_IPv4, WSB_FT_IPv6})
        EXPECT_GT(texts_by_type[type], 0u) << "type " << type;
    EXPECT_EQ(gCleanupEpan(), 0);
}

// ---------------------------------------------------------------- PDML side

struct pdml_item {
    int pos = 0;
    int size = 0;
    std::string show;
};

// The first field and the first protocol of each name in one packet.
struct pdml_packet {
    std::map<std::string, pdml_item> fields;
    std::map<std::string, pdml_item> protocols;
};

std::string attribute(const std::string &line, const char *name)
{
    std::string key = std::string(" ") + name + "=\"";
    size_t at = line.find(key);
    if (at == std::string::npos)
        return "";
    at += key.size();
    return line.substr(at, line.find('"', at) - at);
}

// Reads the PDML of a capture packet by packet.
struct pdml_reader {
    FILE *pipe = nullptr;
    char *buffer = nullptr;
    size_t capacity = 0;

    explicit pdml_reader(const std::string &path)
    {
        pipe = popen((std::string("tshark") + tshark_preferences + " -r '" + path + "' -T pdml 2>/dev/null").c_str(),
                     "r");
    }
    ~pdml_reader()
    {
        if (pipe)
            pclose(pipe);
        free(buffer);
    }

    bool next(pdml_packet &packet)
    {
        packet = pdml_packet{};
        bool inside = false;
        while (pipe && getline(&buffer, &capacity, pipe) > 0) {
            std::string line = buffer;
            if (line.find("<packet>") != std::string::npos) {
                inside = true;
                continue;
            }
            if (line.find("</packet>") != std::string::npos)
                return inside;
            bool is_field = line.find("<field ") != std::string::npos;
            bool is_proto = line.find("<proto ") != std::string::npos;
            if (!inside || (!is_field && !is_proto))
                continue;
            std::string name = attribute(line, "name");
            std::string pos = attribute(line, "pos");
            if (name.empty() || pos.empty())
                continue;
            auto &map = is_field ? packet.fields : packet.protocols;
            if (map.count(name))
                continue;
            map[name] = {atoi(pos.c_str()), atoi(attribute(line, "size").c_str()), attribute(line, "show")};
        }
        return false;
    }
};

// The text of a tree item is what tshark prints for the field's first
// occurrence; the tree has labels, so protocol items give them too.
TEST(FieldsOracle, TreeItemTextsMatchTsharkOnRereadPackets)
{
    const std::vector<std::string> names = {"frame", "eth", "ip", "ipv6", "tcp", "udp", "dns", "http",
                                            "frame.time", "frame.time_relative", "eth.src", "ip.dsfield",
                                            "ipv6.src", "tcp.flags", "tcp.options", "tcp.flags.syn",
                                            "dns.qry.name", "dns.flags.response", "http.request.uri"};
    std::string columns;
    for (const std::string &name : names)
        columns += " -e " + name;
    ASSERT_EQ(gInitEpan(), 0);
    size_t compared = 0;
    mismatch_log log;
    for (const char *file : {"one_tcp_stream.pcap", "dns_udp.pcap", "one_ipv6_http_stream.pcap"}) {
        const std::string path = captures + "/" + file;
        std::vector<std::string> lines = lines_of(run_command(std::string("tshark") + tshark_preferences + " -r '" +
                                                              path + "' -T fields -E occurrence=f" + columns +
                                                              " 2>/dev/null"));
        ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
        std::vector<PacketSummary> packets;
        PacketSummary summary{};
        while (gGetNextPacket(&summary) == 0)
            packets.push_back(summary);
        ASSERT_EQ(packets.size(), lines.size()) << file;
        for (size_t p = 0; p < packets.size(); ++p) {
            const PacketSummary &s = packets[p];
            int32_t length;
            const uint8_t *data;
            ASSERT_EQ(gBuildPacketProtocolTree(&length, &data, s.frame_number, s.file_offset, s.captured_length,
                                               s.packet_length, s.encapsulation),
                      0)
                << last_error();
            int32_t count = 0;
            ASSERT_EQ(gGetProtocolTreeNodesCount(&count), 0);
            std::map<std::string, std::string> first;
            for (int32_t i = 0; i < count; ++i) {
                TreeNode node;
                ASSERT_EQ(gGetTreeNodeByIndex(&node, i), 0);
                const char *text = nullptr;
                int32_t size = 0;
                if (first.count(node.field_abbrev) || gGetFieldValueTextByTreeNode(node.node, &text, &size) != 0)
                    continue;
                EXPECT_EQ(size, static_cast<int32_t>(strlen(text)) + 1);
                first[node.field_abbrev] = text;
            }
            std::vector<std::string> expected = split(lines[p], '\t');
            ASSERT_EQ(expected.size(), names.size());
            for (size_t n = 0; n < names.size(); ++n) {
                const std::string where = std::string(file) + " frame " + std::to_string(s.frame_number) + " " +
                                          names[n];
                auto found = first.find(names[n]);
                const std::string got = found == first.end() ? "" : found->second;
                if (got != expected[n])
                    log.add(where + ": library \"" + got + "\", tshark \"" + expected[n] + "\"");
                compared += !got.empty();
            }
        }
        ASSERT_EQ(gCloseCapture(), 0);
    }
    EXPECT_EQ(log.count, 0);
    EXPECT_GT(compared, 500u);
}

TEST(FieldsOracle, PositionsAndPayloadOffsetsMatchPdml)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    std::vector<field> fields = register_group(oracle_names, "ORACLE");
    resolve(fields);

    mismatch_log log;
    size_t files = 0, packets = 0, positions = 0, transport = 0, ipv4 = 0, neither = 0, no_ipv4 = 0;
    for (const std::string &path : shared_captures()) {
        if (base_name(path) == "example2.pcap")
            continue;  // the values oracle reads it whole; its PDML is large
        pdml_reader reader(path);
        ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
        ++files;
        pdml_packet expected;
        PacketSummary summary{};
        while (gGetNextPacket(&summary) == 0) {
            ++packets;
            ASSERT_TRUE(reader.next(expected)) << path << " frame " << summary.frame_number;
            std::string where = base_name(path) + " frame " + std::to_string(summary.frame_number);
            std::set<int32_t> matched = matched_ids("ORACLE");

            // The transport payload: the first TCP header (with its own header
            // length) when there is TCP, otherwise the first UDP header.
            bool has_tcp = expected.fields.count("tcp.srcport") && expected.fields.count("tcp.hdr_len");
            bool has_udp = expected.fields.count("udp.srcport") != 0;
            int32_t want_transport = has_tcp ? expected.fields["tcp.srcport"].pos +
                                                   atoi(expected.fields["tcp.hdr_len"].show.c_str())
                                   : has_udp ? expected.fields["udp.srcport"].pos + 8
                                             : 0;
            int32_t got_transport = -1;
            if (has_tcp || has_udp) {
                ++transport;
                if (gGetTransportProtocolPayloadOffset(&got_transport) != 0 || got_transport != want_transport)
                    log.add(where + ": transport payload " + std::to_string(got_transport) + " (" + last_error() +
                            "), PDML " + std::to_string(want_transport));
            } else {
                ++neither;
                if (gGetTransportProtocolPayloadOffset(&got_transport) != 1 || last_error() != not_transport_message)
                    log.add(where + ": transport payload without TCP/UDP: " + last_error());
            }

            int32_t got_ipv4 = -1;
            if (expected.protocols.count("ip") && expected.fields.count("ip.hdr_len")) {
                ++ipv4;
                int32_t want = expected.protocols["ip"].pos + atoi(expected.fields["ip.hdr_len"].show.c_str());
                if (gGetIPv4ProtocolPayloadOffset(&got_ipv4) != 0 || got_ipv4 != want)
                    log.add(where + ": IPv4 payload " + std::to_string(got_ipv4) + " (" + last_error() + "), PDML " +
                            std::to_string(want));
            } else {
                ++no_ipv4;
                if (gGetIPv4ProtocolPayloadOffset(&got_ipv4) != 1 || last_error() != not_ipv4_message)
                    log.add(where + ": IPv4 payload without IPv4: " + last_error());
            }

            for (const field &f : fields) {
                auto item = expected.fields.find(f.name);
                bool present = matched.count(f.id) != 0;
                if (present != (item != expected.fields.end())) {
                    log.add(where + " " + f.name + ": present " + std::to_string(present) + " in the library");
                    continue;
                }
                if (!present)
                    continue;
                ++positions;
                int32_t start = -1, length = -1, type = -1, offset = -1, length2 = -1, type2 = -1;
                EXPECT_EQ(gGetFieldInfoEx(f.id, &start, &length, &type), 0) << last_error();
                EXPECT_EQ(gGetFieldInfo(f.id, &offset, &length2, &type2), 0) << last_error();
                if (start != item->second.pos || length != item->second.size)
                    log.add(where + " " + f.name + ": start/length " + std::to_string(start) + "/" +
                            std::to_string(length) + ", PDML " + std::to_string(item->second.pos) + "/" +
                            std::to_string(item->second.size));
                if (offset != start - want_transport || length2 != length || type2 != type)
                    log.add(where + " " + f.name + ": offset " + std::to_string(offset) + ", expected " +
                            std::to_string(start - want_transport));
            }
        }
        pdml_packet extra;
        EXPECT_FALSE(reader.next(extra)) << path << ": PDML has more packets";
        EXPECT_EQ(gCloseCapture(), 0);
    }
    EXPECT_EQ(log.count, 0);
    std::printf("[ oracle   ] %zu captures, %zu packets: %zu first-occurrence positions, %zu transport and %zu IPv4 "
                "payload offsets equal to the PDML; %zu packets without TCP/UDP, %zu without IPv4 refused\n",
                files, packets, positions, transport, ipv4, neither, no_ipv4);
    EXPECT_GT(positions, 10000u);
    EXPECT_GT(transport, 1000u);
    EXPECT_GT(ipv4, 1000u);
    EXPECT_GT(neither, 10u);
    EXPECT_GT(no_ipv4, 10u);
    EXPECT_EQ(gCleanupEpan(), 0);
}

// ------------------------------------------------------------- exact cases

const std::vector<std::string> exact_names = {
    "ip.version", "http.request.method", "tcp.srcport", "udp.srcport", "arp.opcode", "ip.src", "ip.dst",
    "ipv6.src", "ipv6.flow", "tcp.seq", "dns.qry.name", "resp.integer", "ptp.v2.logmessageperiod",
    "ptp.as.fu.organizationSubType", "ip", "frame.protocols", "eth.src",
};

struct exact_fixture {
    std::vector<field> fields;
    int32_t id(const char *name) const { return named(fields, name).id; }
};

exact_fixture start_exact()
{
    exact_fixture fixture;
    EXPECT_EQ(gInitEpan(), 0) << last_error();
    fixture.fields = register_group(exact_names, "T");
    resolve(fixture.fields);
    return fixture;
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

TEST(FieldsExact, GettersAcceptAndRefuseByType)
{
    exact_fixture t = start_exact();
    std::string path = write_capture("types.pcap", {http_frame(), ipv6_http_frame(), resp_minus_one_frame(),
                                                    ptp_follow_up_frame()});
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();

    next_packet();
    matched_ids("T");
    // FT_UINT16 80 through the unsigned getter: upper bits zero.
    uint64_t value = ~0ull;
    const int32_t srcport = t.id("tcp.srcport");
    EXPECT_EQ(gGetUInt64ProtocolFieldValue(&value, srcport), 0) << last_error();
    EXPECT_EQ(value, 40000u);
    // FT_UINT32 through the signed getter: refused, output untouched.
    int32_t signed_value = 77;
    EXPECT_EQ(gGetInt32ProtocolFieldValue(&signed_value, t.id("tcp.seq")), 1);
    EXPECT_EQ(last_error(), int32_refused(t.id("tcp.seq")));
    EXPECT_EQ(signed_value, 77);
    // FT_IPv4 192.168.0.1: 11 characters and the NUL.
    const char *text = nullptr;
    int32_t size = 0;
    EXPECT_EQ(gGetStringProtocolFieldValue(&text, &size, t.id("ip.src")), 0) << last_error();
    EXPECT_STREQ(text, "192.168.0.1");
    EXPECT_EQ(size, 12);
    // A protocol: its bytes as a display filter writes them.
    EXPECT_EQ(string_value(t.id("ip")).substr(0, 12), "45:00:00:43:");
    EXPECT_EQ(string_value(t.id("ip")).size(), 20u * 3 - 1);
    EXPECT_EQ(string_value(t.id("frame.protocols")), "eth:ethertype:ip:tcp:http");
    // Ether addresses have no getter.
    EXPECT_EQ(gGetStringProtocolFieldValue(&text, &size, t.id("eth.src")), 1);
    EXPECT_EQ(last_error(), string_refused(t.id("eth.src")));
    EXPECT_EQ(gGetUInt64ProtocolFieldValue(&value, t.id("eth.src")), 1);
    EXPECT_EQ(last_error(), uint64_refused(t.id("eth.src")));

    // FT_UINT24 (the IPv6 flow label) is refused by the unsigned getter.
    next_packet();
    ASSERT_TRUE(matched_ids("T").count(t.id("ipv6.flow")));
    value = 5;
    EXPECT_EQ(gGetUInt64ProtocolFieldValue(&value, t.id("ipv6.flow")), 1);
    EXPECT_EQ(last_error(), uint64_refused(t.id("ipv6.flow")));
    EXPECT_EQ(value, 5u);

    // FT_INT64 holding -1: all 64 bits set.
    next_packet();
    ASSERT_TRUE(matched_ids("T").count(t.id("resp.integer")));
    EXPECT_EQ(uint64_value(t.id("resp.integer")), ~0ull);

    // FT_INT8 -3 through the signed getter; FT_INT24 refused by it.
    next_packet();
    std::set<int32_t> matched = matched_ids("T");
    ASSERT_TRUE(matched.count(t.id("ptp.v2.logmessageperiod")));
    ASSERT_TRUE(matched.count(t.id("ptp.as.fu.organizationSubType")));
    EXPECT_EQ(int32_value(t.id("ptp.v2.logmessageperiod")), -3);
    signed_value = 9;
    EXPECT_EQ(gGetInt32ProtocolFieldValue(&signed_value, t.id("ptp.as.fu.organizationSubType")), 1);
    EXPECT_EQ(last_error(), int32_refused(t.id("ptp.as.fu.organizationSubType")));
    EXPECT_EQ(signed_value, 9);
    EXPECT_EQ(gGetUInt64ProtocolFieldValue(&value, t.id("ptp.as.fu.organizationSubType")), 1);
    EXPECT_EQ(last_error(), uint64_refused(t.id("ptp.as.fu.organizationSubType")));
    EXPECT_EQ(gCleanupEpan(), 0);
}

TEST(FieldsExact, ZeroTerminatedStringsAreRefusedByTheStringGetter)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    std::vector<field> fields = register_group({"cdp.software_version", "cdp.platform"}, "CDP");
    resolve(fields);
    ASSERT_EQ(named(fields, "cdp.software_version").type, WSB_FT_STRINGZ);
    ASSERT_EQ(gOpenCapture((captures + "/3560_CDP.pcap").c_str()), 0) << last_error();
    next_packet();
    std::set<int32_t> matched = matched_ids("CDP");
    const int32_t version = named(fields, "cdp.software_version").id;
    ASSERT_TRUE(matched.count(version));
    const char *text = "unchanged";
    int32_t size = -1;
    EXPECT_EQ(gGetStringProtocolFieldValue(&text, &size, version), 1);
    EXPECT_EQ(last_error(), string_refused(version));
    EXPECT_STREQ(text, "unchanged");
    EXPECT_EQ(size, -1);
    // The platform is an ordinary string.
    ASSERT_TRUE(matched.count(named(fields, "cdp.platform").id));
    EXPECT_EQ(string_value(named(fields, "cdp.platform").id), "cisco WS-C3560G-24PS");
    EXPECT_EQ(gCleanupEpan(), 0);
}

TEST(FieldsExact, StringValueLastsUntilTheNextSuccessfulStringCall)
{
    exact_fixture t = start_exact();
    std::string path = write_capture("strings.pcap", {http_frame()});
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    next_packet();
    matched_ids("T");

    const char *first = nullptr, *second = nullptr;
    int32_t first_size = 0, second_size = 0;
    ASSERT_EQ(gGetStringProtocolFieldValue(&first, &first_size, t.id("ip.src")), 0) << last_error();
    std::string kept = first;  // the host copies what it keeps
    ASSERT_EQ(gGetStringProtocolFieldValue(&second, &second_size, t.id("ip.dst")), 0) << last_error();
    EXPECT_EQ(kept, "192.168.0.1");
    EXPECT_STREQ(second, "192.168.0.2");
    EXPECT_EQ(second_size, 12);

    // A call refused for its type leaves the text as it was.
    const char *refused = nullptr;
    int32_t refused_size = 0;
    EXPECT_EQ(gGetStringProtocolFieldValue(&refused, &refused_size, t.id("tcp.srcport")), 1);
    EXPECT_EQ(last_error(), string_refused(t.id("tcp.srcport")));
    EXPECT_EQ(refused, nullptr);
    EXPECT_STREQ(second, "192.168.0.2");

    // A longer text after a shorter one, and the shorter one again.
    EXPECT_EQ(string_value(t.id("frame.protocols")), "eth:ethertype:ip:tcp:http");
    EXPECT_EQ(string_value(t.id("http.request.method")), "GET");
    // The text outlives the dissection it came from.
    const char *method = nullptr;
    int32_t method_size = 0;
    ASSERT_EQ(gGetStringProtocolFieldValue(&method, &method_size, t.id("http.request.method")), 0);
    PacketSummary summary{};
    EXPECT_EQ(gGetNextPacket(&summary), 2);
    EXPECT_STREQ(method, "GET");
    EXPECT_EQ(method_size, 4);
    EXPECT_EQ(gCloseCapture(), 0);
    EXPECT_STREQ(method, "GET");
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

TEST(FieldsExact, ByNodeGettersReadOnlyHandlesOfTheCurrentTree)
{
    exact_fixture t = start_exact();
    // The trees are built straight from locators taken from the writer,
    // without reading the capture in sequence first.
    const std::vector<pcapw::Bytes> frames = {http_frame(), resp_minus_one_frame(), ptp_follow_up_frame()};
    pcapw::PcapWriter writer;
    for (const pcapw::Bytes &frame : frames)
        writer.add(1000, 0, frame);
    const std::string path = temp_path("nodes.pcap");
    writer.write(path);
    auto locator = [&](size_t i) {
        PacketSummary s{};
        s.frame_number = static_cast<uint32_t>(i + 1);
        s.file_offset = static_cast<int64_t>(writer.offset_of(i));
        s.captured_length = s.packet_length = static_cast<uint32_t>(frames[i].size());
        s.encapsulation = 1;  // Ethernet
        return s;
    };
    const PacketSummary http = locator(0), resp = locator(1), ptp = locator(2);
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();

    ASSERT_EQ(build_tree(http), 0) << last_error();
    TreeNode srcport = tree_node_named("tcp.srcport");
    TreeNode source = tree_node_named("ip.src");
    TreeNode ip = tree_node_named("ip");
    TreeNode method = tree_node_named("http.request.method");
    uint64_t value = 0;
    int32_t signed_value = 0, size = 0;
    const char *text = nullptr;
    EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(srcport.node, &value), 0) << last_error();
    EXPECT_EQ(value, 40000u);
    EXPECT_EQ(gGetStringProtocolFieldValueByTreeNode(source.node, &text, &size), 0) << last_error();
    EXPECT_STREQ(text, "192.168.0.1");
    EXPECT_EQ(size, 12);
    EXPECT_EQ(gGetStringProtocolFieldValueByTreeNode(method.node, &text, &size), 0) << last_error();
    EXPECT_STREQ(text, "GET");
    EXPECT_EQ(gGetStringProtocolFieldValueByTreeNode(ip.node, &text, &size), 0) << last_error();
    EXPECT_EQ(std::string(text).substr(0, 12), "45:00:00:43:");
    // Refused types name the field's id.
    EXPECT_EQ(gGetInt32ProtocolFieldValueByTreeNode(srcport.node, &signed_value), 1);
    EXPECT_EQ(last_error(), int32_refused(t.id("tcp.srcport")));
    EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(source.node, &value), 1);
    EXPECT_EQ(last_error(), uint64_refused(t.id("ip.src")));
    // Null and foreign handles are refused without being read.
    EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(nullptr, &value), 1);
    EXPECT_EQ(last_error(), invalid_node_uint64);
    char foreign[64] = {};
    EXPECT_EQ(gGetInt32ProtocolFieldValueByTreeNode(foreign, &signed_value), 1);
    EXPECT_EQ(last_error(), invalid_node_int32);
    std::string before = text;
    EXPECT_EQ(gGetStringProtocolFieldValueByTreeNode(reinterpret_cast<void *>(0x10), &text, &size), 1);
    EXPECT_EQ(last_error(), invalid_node_string);
    EXPECT_EQ(std::string(text), before);

    // Another tree: the first tree's handles are stale. The engine may well
    // place an item of the new tree at the address of an old one; such a
    // handle is one of the current tree's and reads that item, any other is
    // refused.
    ASSERT_EQ(build_tree(resp), 0) << last_error();
    TreeNode reused{};
    if (tree_node_with_handle(srcport.node, &reused)) {
        EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(srcport.node, &value) == 0,
                  getter_for(reused.field_type) == getter_kind::uint64 ||
                      getter_for(reused.field_type) == getter_kind::int64);
    } else {
        EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(srcport.node, &value), 1);
        EXPECT_EQ(last_error(), invalid_node_uint64);
    }
    for (const TreeNode &old : {source, ip, method}) {
        if (!tree_node_with_handle(old.node, &reused)) {
            EXPECT_EQ(gGetStringProtocolFieldValueByTreeNode(old.node, &text, &size), 1);
            EXPECT_EQ(last_error(), invalid_node_string);
        }
    }
    TreeNode integer = tree_node_named("resp.integer");
    EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(integer.node, &value), 0) << last_error();
    EXPECT_EQ(value, ~0ull);

    ASSERT_EQ(build_tree(ptp), 0) << last_error();
    TreeNode period = tree_node_named("ptp.v2.logmessageperiod");
    TreeNode subtype = tree_node_named("ptp.as.fu.organizationSubType");
    EXPECT_EQ(gGetInt32ProtocolFieldValueByTreeNode(period.node, &signed_value), 0) << last_error();
    EXPECT_EQ(signed_value, -3);
    EXPECT_EQ(gGetInt32ProtocolFieldValueByTreeNode(subtype.node, &signed_value), 1);
    EXPECT_EQ(last_error(), int32_refused(t.id("ptp.as.fu.organizationSubType")));

    // Any other dissection makes the handles stale: sequential reading,
    // random access, and freeing the tree.
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    next_packet();
    ASSERT_EQ(build_tree(http), 0) << last_error();
    srcport = tree_node_named("tcp.srcport");
    EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(srcport.node, &value), 0) << last_error();
    next_packet();
    EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(srcport.node, &value), 1);
    EXPECT_EQ(last_error(), invalid_node_uint64);
    ASSERT_EQ(build_tree(http), 0) << last_error();
    srcport = tree_node_named("tcp.srcport");
    EXPECT_EQ(gGetPacketAtOffset(nullptr, resp.frame_number, resp.file_offset,
                                 static_cast<int32_t>(resp.captured_length), resp.packet_length, resp.encapsulation),
              0);
    EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(srcport.node, &value), 1);
    EXPECT_EQ(last_error(), invalid_node_uint64);
    ASSERT_EQ(build_tree(http), 0) << last_error();
    srcport = tree_node_named("tcp.srcport");
    EXPECT_EQ(gFreePacketProtocolTree(), 0);
    EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(srcport.node, &value), 1);
    EXPECT_EQ(last_error(), invalid_node_uint64);
    EXPECT_EQ(gCleanupEpan(), 0);
}

TEST(FieldsExact, AProtocolItemWithoutBytesHasNoText)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    ASSERT_EQ(gOpenCapture((captures + "/whois.pcap").c_str()), 0) << last_error();
    PacketSummary first = next_packet();
    ASSERT_EQ(build_tree(first), 0) << last_error();
    TreeNode expert = tree_node_named("_ws.expert");
    ASSERT_EQ(expert.field_type, WSB_FT_PROTOCOL);
    ASSERT_EQ(expert.length, 0);
    TreeNode tcp = tree_node_named("tcp");
    const char *text = nullptr;
    int32_t size = 0;
    ASSERT_EQ(gGetStringProtocolFieldValueByTreeNode(tcp.node, &text, &size), 0) << last_error();
    std::string before = text;
    EXPECT_EQ(size, static_cast<int32_t>(before.size()) + 1);
    const char *none = nullptr;
    int32_t none_size = -1;
    EXPECT_EQ(gGetStringProtocolFieldValueByTreeNode(expert.node, &none, &none_size), 1);
    EXPECT_NE(last_error().find("has a value that the engine cannot show as text."), std::string::npos)
        << last_error();
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(none_size, -1);
    EXPECT_EQ(std::string(text), before);
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

// ------------------------------------------------------------ command line

// Fields of every type, protocols and the two column pseudo-fields print
// as tshark prints them, also under a display filter.
TEST(FieldsCommandLine, PrintsFirstOccurrencesLikeTshark)
{
    const std::string names = " -e ip.src -e tcp.srcport -e tcp.seq -e tcp.flags.syn -e dns.qry.name -e ipv6.src"
                              " -e tcp.window_size_scalefactor -e eth.src -e eth.dst -e frame.time"
                              " -e frame.time_relative -e tcp.analysis.ack_rtt -e tcp.flags -e eth.type"
                              " -e tcp.options -e ip -e tcp -e dns -e _ws.col.Protocol -e _ws.col.Info";
    for (const char *file : {"dns_tcp.pcap", "one_ipv6_http_stream.pcap"}) {
        for (const char *filter : {"", "tcp.len > 0 || dns"}) {
            SCOPED_TRACE(std::string(file) + " " + filter);
            const std::string path = captures + "/" + file;
            const std::string y = *filter ? std::string(" -Y '") + filter + "'" : "";
            std::string ours = run_command(std::string(WSB_CLI) + " fields '" + path + "'" + names + y);
            std::string theirs = run_command(std::string("tshark") + tshark_preferences + " -r '" + path +
                                             "' -T fields -E occurrence=f -e frame.number" + names + y +
                                             " 2>/dev/null");
            ASSERT_FALSE(ours.empty());
            EXPECT_EQ(ours, theirs);
        }
    }
}

// The engine's global plugins are loaded: EtherCAT (ethertype 0x88a4) is a
// plugin protocol of the engine's package. Its fields resolve and its frames
// dissect as tshark shows them.
TEST(FieldsCommandLine, PluginProtocolsDissectLikeTshark)
{
    // EtherCAT frame header (little-endian: length 14, type 1 = commands),
    // then one APRD datagram: command, index, address, length 2, interrupt,
    // two data bytes, working counter.
    const pcapw::Bytes ecat = {0x0e, 0x10, 0x01, 0x05, 0x00, 0x00, 0x30, 0x01,
                               0x02, 0x00, 0x00, 0x00, 0xab, 0xcd, 0x01, 0x00};
    pcapw::Bytes frame =
        pcapw::ethernet(pcapw::mac("ff:ff:ff:ff:ff:ff"), pcapw::mac("00:11:22:33:44:55"), 0x88a4, ecat);
    std::string path = write_capture("ecat.pcap", {frame});
    const std::string names = " -e ecat.cmd -e ecat.idx -e ecat.ado -e ecat.cnt";
    std::string ours = run_command(std::string(WSB_CLI) + " fields '" + path + "'" + names);
    std::string theirs = run_command(std::string("tshark") + tshark_preferences + " -r '" + path +
                                     "' -T fields -E occurrence=f -e frame.number" + names + " 2>/dev/null");
    // Each value in its field's display base, as tshark writes it.
    EXPECT_EQ(ours, "1\t0x01\t0x05\t0x0130\t1\n");
    EXPECT_EQ(ours, theirs);

    std::string summary = run_command(std::string(WSB_CLI) + " summary '" + path + "'");
    std::string columns = run_command(std::string("tshark") + tshark_preferences + " -r '" + path +
                                      "' -T fields -e _ws.col.Protocol -e _ws.col.Info 2>/dev/null");
    std::vector<std::string> protocol_info = split(lines_of(columns).at(0), '\t');
    ASSERT_EQ(protocol_info.size(), 2u) << columns;
    EXPECT_EQ(protocol_info[0], "ECAT");
    EXPECT_NE(summary.find(" ECAT "), std::string::npos) << summary;
    EXPECT_NE(summary.find(protocol_info[1]), std::string::npos) << summary << "\n" << columns;
}

TEST(FieldsCommandLine, OffsetsAndTheNameForm)
{
    std::string path = write_capture("cli.pcap", {http_frame(), udp_frame(), arp_frame()});
    std::string ours = run_command(std::string(WSB_CLI) + " fields '" + path +
                                   "' -e ip.version -e http.request.method -e arp.opcode --offsets");
    EXPECT_EQ(ours,
              "1\t4\t-40\tGET\t0\t\t\n"
              "2\t4\t-28\t\t\t\t\n"
              "3\t\t\t\t\t1\t20\n");
    std::string names = run_command(std::string(WSB_CLI) + " fields ip.version tcp.srcport");
    EXPECT_NE(names.find("ip.version\tid="), std::string::npos) << names;
    EXPECT_NE(names.find("tcp.srcport\tid="), std::string::npos) << names;
    EXPECT_NE(names.find("\ttype=4\n"), std::string::npos) << names;
}

}  // namespace
