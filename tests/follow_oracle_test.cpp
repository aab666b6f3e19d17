// SPDX-License-Identifier: GPL-2.0-or-later
// Following TCP and UDP conversations through the public interface, checked
// against tshark's "follow" statistics: the payload, its directions, the
// byte counts and the descriptions of every conversation of shared captures
// (read whole first, or followed while reading), and of a conversation whose
// first segment is malformed.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "follow_support.h"
#include "locator.h"
#include "pcap_writer.h"
#include "test_support.h"
#include "wsbridge.h"

using namespace wsbfollow;

namespace {

const char tshark_prefs[] = WSB_TSHARK_PREFERENCES;  // lib/engine/preference_overrides.txt

// One piece of payload with its direction.
struct Segment {
    bool is_server;
    std::vector<uint8_t> bytes;
    bool operator==(const Segment &other) const { return is_server == other.is_server && bytes == other.bytes; }
};

std::vector<uint8_t> from_hex(const std::string &hex)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// tshark's view of one conversation: its two nodes and its payload records.
struct TsharkFollow {
    std::string node[2];
    std::vector<Segment> records;
};

// Runs tshark once for several conversations: kind is "tcp" or "udp".
std::map<int, TsharkFollow> tshark_follow(const std::string &file, const std::string &kind,
                                          const std::vector<int> &streams)
{
    std::string command = "TMPDIR=/tmp tshark -n " + std::string(tshark_prefs) + " -r '" + file + "' -q";
    for (int stream : streams)
        command += " -z follow," + kind + ",raw," + std::to_string(stream);
    command += " 2>/dev/null";
    std::map<int, TsharkFollow> result;
    TsharkFollow *current = nullptr;
    bool in_records = false;
    for (const std::string &line : split_lines(run_command(command))) {
        if (line.rfind("Filter: " + kind + ".stream eq ", 0) == 0) {
            current = &result[std::stoi(line.substr(kind.size() + 19))];
            in_records = false;
        } else if (!current) {
            continue;
        } else if (line.rfind("Node 0: ", 0) == 0) {
            current->node[0] = line.substr(8);
        } else if (line.rfind("Node 1: ", 0) == 0) {
            current->node[1] = line.substr(8);
            in_records = true;
        } else if (line.rfind("=====", 0) == 0) {
            current = nullptr;
            in_records = false;
        } else if (in_records) {
            bool server = !line.empty() && line[0] == '\t';
            current->records.push_back({server, from_hex(server ? line.substr(1) : line)});
        }
    }
    return result;
}

// The first packet of a conversation, and whether it was a whole TCP SYN
// without ACK (the conversation's opening was captured; a SYN the engine
// could not dissect to its end does not reach the follower).
struct FirstPacket {
    uint32_t frame = 0;
    bool opening = false;
};

// First packet of every conversation of a kind ("tcp" or "udp"), by stream index.
std::map<int, FirstPacket> first_packets(const std::string &file, const std::string &kind)
{
    std::map<int, FirstPacket> firsts;
    std::string command = "TMPDIR=/tmp tshark -n " + std::string(tshark_prefs) + " -r '" + file + "' -Y " + kind +
                          " -T fields -E occurrence=f -e " + kind + ".stream -e frame.number" +
                          (kind == "tcp" ? " -e tcp.flags.syn -e tcp.flags.ack -e _ws.malformed" : "") +
                          " 2>/dev/null";
    for (const std::string &line : split_lines(run_command(command))) {
        std::vector<std::string> columns;
        std::istringstream in(line);
        for (std::string column; std::getline(in, column, '\t');)
            columns.push_back(column);
        if (columns.size() < 2 || columns[0].empty())
            continue;
        FirstPacket first;
        first.frame = static_cast<uint32_t>(std::stoul(columns[1]));
        columns.resize(5);
        first.opening = (columns[2] == "1" || columns[2] == "True") && (columns[3] == "0" || columns[3] == "False") &&
                        columns[4].empty();
        // Packets carrying two headers of the kind list two streams: use the first.
        int stream = std::stoi(columns[0].substr(0, columns[0].find(',')));
        firsts.emplace(stream, first);
    }
    return firsts;
}
unsigned long total_bytes(const std::vector<Segment> &segments, bool is_server)
{
    unsigned long total = 0;
    for (const Segment &segment : segments)
        if (segment.is_server == is_server)
            total += segment.bytes.size();
    return total;
}

std::vector<Segment> read_segments(bool tcp)
{
    std::vector<Segment> segments;
    for (auto &[is_server, text] : read_all(tcp, hexdump, both))
        segments.push_back({is_server, parse_hex_dump(text)});
    return segments;
}

// "HOST:PORT" of tshark's node line, without IPv6 brackets.
std::string plain_node(std::string node)
{
    if (!node.empty() && node[0] == '[') {
        size_t close = node.find(']');
        node = node.substr(1, close - 1) + node.substr(close + 1);
    }
    return node;
}

// Follows every listed conversation of a shared capture (or of the capture at
// an absolute path) through the library
// and compares payload, directions and byte counts with tshark.
// one_pass: the capture is read once per stream, the follow starts at the
// stream's first packet and every later packet is added right after it was
// read; otherwise every packet is added after the whole capture was read.
// Conversations compared whose opening SYN was captured and whose server
// spoke first (SMTP's greeting, SSH's banner, MySQL's handshake).
size_t server_first_openings = 0;

void compare_with_tshark(const std::string &name, bool tcp, size_t stream_limit = 1000,
                         const std::set<int> &excluded = {}, bool one_pass = false)
{
    SCOPED_TRACE(name);
    const std::string file = name[0] == '/' ? name : captures + "/" + name;
    const std::string kind = tcp ? "tcp" : "udp";
    std::map<int, FirstPacket> firsts = first_packets(file, kind);
    ASSERT_FALSE(firsts.empty());
    std::vector<int> streams;
    for (auto &[stream, first] : firsts)
        if (streams.size() < stream_limit && !excluded.count(stream))
            streams.push_back(stream);
    std::map<int, TsharkFollow> expected = tshark_follow(file, kind, streams);

    std::vector<locator> locators = open_and_read(file);
    for (int stream : streams) {
        SCOPED_TRACE(kind + " stream " + std::to_string(stream));
        const TsharkFollow &oracle = expected[stream];
        if (one_pass) {
            ASSERT_EQ(gOpenCapture(file.c_str()), 0) << gGetLastError();
            PacketSummary s;
            bool following = false;
            while (gGetNextPacket(&s) == 0) {
                const locator l = locator_of(s);
                if (l.frame_number == firsts[stream].frame) {
                    ASSERT_EQ(tcp ? follow_tcp(l) : follow_udp(l), 0) << gGetLastError();
                    following = true;
                }
                if (following) {
                    ASSERT_EQ(tcp ? add_tcp(l) : add_udp(l), 0) << gGetLastError();
                }
            }
        } else {
            const locator &start = locators.at(firsts[stream].frame - 1);
            ASSERT_EQ(tcp ? follow_tcp(start) : follow_udp(start), 0) << gGetLastError();
            for (const locator &l : locators)
                ASSERT_EQ(tcp ? add_tcp(l) : add_udp(l), 0) << gGetLastError();
        }
        Descriptions d;
        ASSERT_EQ(tcp ? check_tcp(d) : check_udp(d), 0) << gGetLastError();
        if (oracle.records.empty()) {
            EXPECT_EQ(d.valid, 0);
            EXPECT_STREQ(gGetLastError(), tcp ? "Empty TCP stream." : "Empty UDP stream.");
            continue;
        }
        ASSERT_EQ(d.valid, 1);
        // tshark's node 0 sent the first segment of any kind. Where that was
        // the SYN, it is the library's client too, also when the server
        // speaks first; without it, the library's client sent the first
        // payload.
        const bool flipped = !firsts[stream].opening && oracle.records[0].is_server;
        if (firsts[stream].opening && oracle.records[0].is_server)
            ++server_first_openings;
        std::vector<Segment> want;
        for (const Segment &record : oracle.records)
            want.push_back({record.is_server != flipped, record.bytes});
        std::vector<Segment> got = read_segments(tcp);
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i)
            EXPECT_TRUE(got[i] == want[i]) << "segment " << i;

        const std::string client_node = plain_node(oracle.node[flipped ? 1 : 0]);
        const std::string server_node = plain_node(oracle.node[flipped ? 0 : 1]);
        EXPECT_EQ(std::string(d.client), client_node + " --> " + server_node + " (" +
                                             std::to_string(total_bytes(want, false)) + " bytes)");
        EXPECT_EQ(std::string(d.server), server_node + " --> " + client_node + " (" +
                                             std::to_string(total_bytes(want, true)) + " bytes)");
        EXPECT_EQ(std::string(d.conversation),
                  "Entire conversation (" + std::to_string(total_bytes(want, false) + total_bytes(want, true)) +
                      " bytes)");
        EXPECT_EQ(d.client_size, static_cast<int32_t>(strlen(d.client) + 1));
        EXPECT_EQ(d.server_size, static_cast<int32_t>(strlen(d.server) + 1));
        EXPECT_EQ(d.conversation_size, static_cast<int32_t>(strlen(d.conversation) + 1));
    }
    EXPECT_EQ(gCloseCapture(), 0);
}

// Last frame of every conversation of a kind, by stream index.
std::map<int, uint32_t> last_frames(const std::string &file, const std::string &kind)
{
    std::map<int, uint32_t> frames;
    std::string command = "TMPDIR=/tmp tshark -n " + std::string(tshark_prefs) + " -r '" + file + "' -Y " + kind +
                          " -T fields -e " + kind + ".stream -e frame.number 2>/dev/null";
    for (const std::string &line : split_lines(run_command(command))) {
        std::istringstream in(line);
        std::string stream_text;
        uint32_t frame = 0;
        if (std::getline(in, stream_text, '\t') && in >> frame && !stream_text.empty())
            frames[std::stoi(stream_text.substr(0, stream_text.find(',')))] = frame;
    }
    return frames;
}

// Every raw chunk of the conversation gFollowConversation followed.
std::vector<Segment> follow_chunks()
{
    std::vector<Segment> chunks;
    for (;;) {
        const char *data = nullptr;
        uint32_t size = 0;
        uint8_t is_server = 0, end = 0;
        EXPECT_EQ(gGetNextFollowChunk(WSB_RENDER_RAW, WSB_DIRECTION_BOTH, &data, &size, &is_server, &end), 0)
            << gGetLastError();
        if (end || chunks.size() > 100000)
            return chunks;
        chunks.push_back({is_server != 0, std::vector<uint8_t>(data, data + size)});
    }
}

// The conversation gFollowConversation followed against tshark's: the chunks
// in order with consistent directions, and the descriptions.
void expect_followed_as(const TsharkFollow &oracle, bool tcp)
{
    const char *server = nullptr, *client = nullptr, *conversation = nullptr;
    int32_t server_size = 0, client_size = 0, conversation_size = 0;
    ASSERT_EQ(gGetFollowTexts(&server, &server_size, &client, &client_size, &conversation, &conversation_size), 0)
        << gGetLastError();
    std::vector<Segment> got = follow_chunks();
    if (oracle.records.empty()) {
        EXPECT_TRUE(got.empty());
        EXPECT_STREQ(conversation, tcp ? "Empty TCP stream." : "Empty UDP stream.");
        EXPECT_STREQ(client, "");
        return;
    }
    ASSERT_EQ(got.size(), oracle.records.size());
    // The library names the client as its classic follow does.
    const bool flipped = got[0].is_server != oracle.records[0].is_server;
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].is_server, oracle.records[i].is_server != flipped) << "chunk " << i;
        EXPECT_TRUE(got[i].bytes == oracle.records[i].bytes) << "chunk " << i;
    }
    const std::string client_node = plain_node(oracle.node[flipped ? 1 : 0]);
    const std::string server_node = plain_node(oracle.node[flipped ? 0 : 1]);
    const unsigned long client_bytes = total_bytes(got, false), server_bytes = total_bytes(got, true);
    EXPECT_EQ(std::string(client), client_node + " --> " + server_node + " (" + std::to_string(client_bytes) + " bytes)");
    EXPECT_EQ(std::string(server), server_node + " --> " + client_node + " (" + std::to_string(server_bytes) + " bytes)");
    EXPECT_EQ(std::string(conversation),
              "Entire conversation (" + std::to_string(client_bytes + server_bytes) + " bytes)");
    EXPECT_EQ(conversation_size, static_cast<int32_t>(strlen(conversation) + 1));
}

// Follows every conversation of a kind with gFollowConversation, from its
// first and from its last packet: on a capture just opened under a display
// filter that no packet matches, once the capture was read to its end, and
// read to its end in one share of three (the conversation's packets mostly
// in another share).
void compare_conversations_with_tshark(const std::string &name, bool tcp, size_t stream_limit = 1000)
{
    SCOPED_TRACE(name);
    const std::string file = captures + "/" + name;
    const std::string kind = tcp ? "tcp" : "udp";
    const std::map<int, FirstPacket> first = first_packets(file, kind);
    const std::map<int, uint32_t> last = last_frames(file, kind);
    ASSERT_FALSE(first.empty());
    std::vector<int> streams;
    for (auto &[stream, frame] : first)
        if (streams.size() < stream_limit)
            streams.push_back(stream);
    std::map<int, TsharkFollow> expected = tshark_follow(file, kind, streams);
    const std::vector<locator> locators = open_and_read(file);
    for (int mode : {0, 1, 2}) {
        if (mode == 2 && locators.size() > 1000)
            continue;  // each follow in a share dissects the capture's share again
        SCOPED_TRACE(mode == 0 ? "capture just opened, filter set" : mode == 1 ? "capture read to its end"
                                                                              : "share 1 of 3 read to its end");
        if (mode == 0) {
            ASSERT_EQ(gOpenCapture(file.c_str()), 0) << gGetLastError();
            ASSERT_EQ(gSetDisplayFilter("frame.number == 0"), 0) << gGetLastError();
        } else {
            ASSERT_EQ(gSetDisplayFilter(nullptr), 0);
            ASSERT_EQ(gCloseCapture(), 0);
            ASSERT_EQ(gSetReadingShare(mode == 2 ? 1 : 0, mode == 2 ? 3 : 1, WSB_SHARE_BY_ENDPOINTS), 0);
            ASSERT_EQ(gOpenCapture(file.c_str()), 0) << gGetLastError();
            PacketSummary summary;
            while (gGetNextPacket(&summary) == 0) {
            }
        }
        for (int stream : streams) {
            for (uint32_t frame : {first.at(stream).frame, last.at(stream)}) {
                SCOPED_TRACE(kind + " stream " + std::to_string(stream) + " from frame " + std::to_string(frame));
                const locator &l = locators.at(frame - 1);
                ASSERT_EQ(gFollowConversation(tcp ? WSB_FOLLOW_TCP : WSB_FOLLOW_UDP, l.frame_number, l.file_offset,
                                              l.captured_length, l.packet_length, l.encapsulation),
                          0)
                    << gGetLastError();
                expect_followed_as(expected[stream], tcp);
            }
        }
    }
    EXPECT_EQ(gCloseCapture(), 0);
    ASSERT_EQ(gSetReadingShare(0, 1, WSB_SHARE_BY_ADDRESSES), 0);
}

}  // namespace

// ---- payload and descriptions against tshark ---------------------------------

TEST_F(Follow, TcpPayloadAndByteCountsEqualTshark)
{
    for (const char *name :
         {"ssh.pcap", "one_tcp_stream.pcap", "three_http_streams.pcap", "resp_1_benchmark.pcap",
          "one_ipv6_http_stream.pcap", "unidirectional_tcp_stream_with_missing_packet.pcap", "dns_tcp.pcap",
          "whois.pcap", "ipv4_tcp_http_xml.pcap", "pptp.pcap", "bgp-4byte-asn.pcap", "mptcp-v0.pcap", "zmtp1.pcap",
          "gso-ipv6.pcap", "smb_data_print-segv.pcap", "raw_ip.pcap", "pcapng-example.pcapng", "geneve.pcap"})
        compare_with_tshark(name, true);
    // Stream 9 carries whole packets inside its segments, which upsets
    // tshark's own follower (see TcpSegmentsCarryingPacketsKeepTheirDirection).
    compare_with_tshark("of13_ericsson.pcapng", true, 1000, {9});
    // SSH over MPTCP and in Geneve, MySQL's handshake.
    EXPECT_GE(server_first_openings, 4u);
}

TEST_F(Follow, UdpPayloadAndByteCountsEqualTshark)
{
    for (const char *name :
         {"dns_udp.pcap", "edns-opts.pcap", "babel.pcap", "dhcp-rfc4388.pcap", "isakmp4500.pcap", "quic_vn.pcap",
          "raw_ip.pcap", "LINKTYPE_IPV6.pcap", "LINKTYPE_RAW_ipv4.pcap", "dns-badlabel.pcap"})
        compare_with_tshark(name, false);
    compare_with_tshark("DnsPackets.pcap", false, 12);
}

// A host that follows a TCP conversation while it reads: each packet is
// added right after gGetNextPacket returned it, and the follower takes what
// that dissection handed it.
TEST_F(Follow, OnePassEqualsTshark)
{
    for (const char *name : {"ssh.pcap", "three_http_streams.pcap", "one_ipv6_http_stream.pcap",
                             "unidirectional_tcp_stream_with_missing_packet.pcap", "mptcp-v0.pcap",
                             "pcapng-example.pcapng"})
        compare_with_tshark(name, true, 1000, {}, true);
    compare_with_tshark("of13_ericsson.pcapng", true, 1000, {9}, true);
    compare_with_tshark("example2.pcap", true, 4, {}, true);
}

TEST_F(Follow, LargeCaptureConversationsEqualTshark)
{
    compare_with_tshark("example2.pcap", true, 4);
    compare_with_tshark("example2.pcap", false, 3);
}

TEST_F(Follow, TcpSegmentsCarryingPacketsKeepTheirDirection)
{
    // OpenFlow packet-out and packet-in messages carry whole packets. Once
    // they are dissected, the packet information describes the inner packet,
    // which tshark's follower takes for the other direction. The payload of
    // each segment, by its TCP source port, is the oracle here.
    const std::string file = captures + "/of13_ericsson.pcapng";
    std::vector<std::pair<std::string, std::vector<uint8_t>>> expected;
    for (const std::string &line :
         split_lines(run_command("TMPDIR=/tmp tshark -n " + std::string(tshark_prefs) + " -r " + file +
                                 " -Y 'tcp.stream == 9 && tcp.len > 0' -T fields -e tcp.srcport -e tcp.payload "
                                 "2>/dev/null"))) {
        size_t tab = line.find('\t');
        expected.emplace_back(line.substr(0, tab), from_hex(line.substr(tab + 1)));
    }
    ASSERT_EQ(expected.size(), 6u);
    std::vector<Segment> want;
    for (auto &[port, bytes] : expected)
        want.push_back({port != expected[0].first, bytes});

    std::vector<locator> packets = open_and_read(file);
    for (bool fresh : {false, true}) {
        SCOPED_TRACE(fresh ? "segments dissected afresh" : "segments dissected again");
        // Without the state of the sequential pass every segment is new to
        // the engine, and the inner packets are dissected.
        if (fresh)
            gHackedCleanup();
        ASSERT_EQ(follow_tcp(packets.at(61)), 0) << gGetLastError();
        for (const locator &l : packets)
            ASSERT_EQ(add_tcp(l), 0) << gGetLastError();
        Descriptions d;
        ASSERT_EQ(check_tcp(d), 0) << gGetLastError();
        EXPECT_STREQ(d.client, "127.0.0.1:6633 --> 127.0.0.1:58449 (208 bytes)");
        EXPECT_STREQ(d.server, "127.0.0.1:58449 --> 127.0.0.1:6633 (344 bytes)");
        std::vector<Segment> got = read_segments(true);
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i)
            EXPECT_TRUE(got[i] == want[i]) << "segment " << i;
    }
}

// A server that speaks first (SMTP's 220 greeting): the host that sent the
// SYN is the client, as tshark's node 0, in both descriptions, in the
// directions of the segments and in the command line's raw follow; whether
// the conversation is followed after reading or while reading.
TEST_F(Follow, AServerThatSpeaksFirstIsTheServerAsTsharkNamesIt)
{
    for (bool ipv6 : {false, true}) {
        TcpConversation c(ipv6, ipv6 ? "2001:db8::1" : "10.0.0.1", 40001, ipv6 ? "2001:db8::2" : "10.0.0.2", 25);
        c.handshake();
        c.send(true, "220 mail.example.org ESMTP\r\n");
        c.send(false, "EHLO client.example.org\r\n");
        c.send(true, "250 mail.example.org\r\n");
        c.send(false, "QUIT\r\n");
        c.send(true, "221 Bye\r\n");
        const std::string file = write_capture(ipv6 ? "smtp6.pcap" : "smtp.pcap", c.writer);
        server_first_openings = 0;
        compare_with_tshark(file, true);
        compare_with_tshark(file, true, 1000, {}, true);
        EXPECT_EQ(server_first_openings, 2u);

        const std::string client = ipv6 ? "2001:db8::1:40001" : "10.0.0.1:40001";
        const std::string server = ipv6 ? "2001:db8::2:25" : "10.0.0.2:25";
        std::vector<std::string> lines =
            split_lines(run_command(std::string(WSB_CLI) + " follow tcp " + file + " --index 0 --format raw"));
        ASSERT_EQ(lines.size(), 8u);
        EXPECT_EQ(lines[0], client + " --> " + server + " (31 bytes)");
        EXPECT_EQ(lines[1], server + " --> " + client + " (59 bytes)");
        EXPECT_EQ(lines[3][0], '\t');  // the greeting, the server's
        EXPECT_NE(lines[4][0], '\t');
    }
}

// The conversation's first segment is a SYN whose MPTCP option is cut short:
// the engine stops inside the TCP header (a malformed packet) before the TCP
// layer reaches its taps. The conversation follows from it as tshark follows
// it.
TEST_F(Follow, TcpFromAMalformedFirstSegmentEqualsTshark)
{
    TcpConversation c(false, "10.0.0.1", 40000, "10.0.0.2", 80);
    const pcapw::Ip4 a = pcapw::ip4(c.address_a), b = pcapw::ip4(c.address_b);
    const pcapw::Bytes damaged_mptcp = {30, 3, 0x00};  // MP_CAPABLE without its flags
    c.writer.add(1700000000, 0,
                 pcapw::ethernet(mac_b, mac_a, pcapw::ethertype::IPV4,
                                 pcapw::ipv4(a, b, pcapw::ipproto::TCP,
                                             pcapw::tcp_ipv4(a, b, c.port_a, c.port_b, c.seq_a++, 0,
                                                             pcapw::tcpflag::SYN, {}, 65535, damaged_mptcp))));
    c.when = 1;
    c.segment(true, pcapw::tcpflag::SYN | pcapw::tcpflag::ACK, {});
    c.segment(false, pcapw::tcpflag::ACK, {});
    c.send(false, "GET / HTTP/1.0\r\n\r\n");
    c.send(true, "HTTP/1.0 200 OK\r\n\r\nhello");
    compare_with_tshark(write_capture("mptcp.pcap", c.writer), true);
}


// ---- one conversation over the whole capture in one call ---------------------

TEST_F(Follow, ConversationEqualsTsharkWhateverTheFilterAndPosition)
{
    for (const char *name : {"ssh.pcap", "three_http_streams.pcap", "one_ipv6_http_stream.pcap",
                             "unidirectional_tcp_stream_with_missing_packet.pcap", "pcapng-example.pcapng",
                             "raw_ip.pcap", "geneve.pcap"})
        compare_conversations_with_tshark(name, true);
    for (const char *name : {"dns_udp.pcap", "babel.pcap", "quic_vn.pcap", "LINKTYPE_IPV6.pcap"})
        compare_conversations_with_tshark(name, false);
    compare_conversations_with_tshark("example2.pcap", true, 3);
}

// A host follows inside its reading loop, under a display filter, and reads
// on: the loop returns the same packets, texts and values as a plain reading
// (the conversations the engine numbers, its analysis flags), and packets
// read before answer re-reads as before.
TEST_F(Follow, ConversationInsideAReadingLoopLeavesTheReadingAsItWas)
{
    const std::string file = captures + "/example2.pcap";
    int32_t stream_id = -1, retransmission_id = -1, type = 0;
    ASSERT_EQ(gRegisterProtocolFieldFilter("tcp.stream", "LOOP"), 0) << gGetLastError();
    ASSERT_EQ(gRegisterProtocolFieldFilter("tcp.analysis.retransmission", "LOOP"), 0) << gGetLastError();
    ASSERT_EQ(gGetProtocolFieldFilterInfo("tcp.stream", &stream_id, &type), 0) << gGetLastError();
    ASSERT_EQ(gGetProtocolFieldFilterInfo("tcp.analysis.retransmission", &retransmission_id, &type), 0);
    const char filter[] = "tcp.len > 0 || udp";
    // What a packet read in the loop shows.
    auto shown = [&](const PacketSummary &s) {
        const char *protocol = nullptr, *info = nullptr;
        int32_t protocol_size = 0, info_size = 0;
        EXPECT_EQ(gGetPacketTexts(&protocol, &protocol_size, &info, &info_size), 0) << gGetLastError();
        std::string row = std::to_string(s.frame_number) + " " + protocol + " " + info + " " + s.source_text;
        for (int32_t id : {stream_id, retransmission_id}) {
            WsbBatchValue value;
            const char *text = nullptr;
            EXPECT_EQ(gGetFieldValue(id, &value, &text), 0) << gGetLastError();
            row += " " + std::to_string(value.kind) + ":" + std::to_string(value.value.u);
        }
        return row;
    };
    std::vector<std::string> plain;
    std::vector<locator> packets;
    ASSERT_EQ(gOpenCapture(file.c_str()), 0) << gGetLastError();
    ASSERT_EQ(gSetDisplayFilter(filter), 0) << gGetLastError();
    PacketSummary s;
    while (gGetNextPacket(&s) == 0) {
        plain.push_back(shown(s));
        packets.push_back(locator_of(s));
    }
    ASSERT_GT(plain.size(), 200u);
    // The tree of a packet read early, as a second pass shows it.
    int32_t length = 0;
    const uint8_t *bytes = nullptr;
    const locator early = packets.at(20);
    auto tree_of = [&](const locator &l) {
        EXPECT_EQ(gBuildPacketProtocolTree(&length, &bytes, l.frame_number, l.file_offset, l.captured_length,
                                           l.packet_length, l.encapsulation),
                  0)
            << gGetLastError();
        int32_t count = 0;
        EXPECT_EQ(gGetProtocolTreeNodesCount(&count), 0);
        std::string labels;
        TreeNode node;
        for (int32_t i = 0; i < count && gGetTreeNodeByIndex(&node, i) == 0; ++i)
            labels += std::string(node.label) + "\n";
        return labels;
    };
    const std::string early_tree = tree_of(early);

    ASSERT_EQ(gOpenCapture(file.c_str()), 0) << gGetLastError();
    ASSERT_EQ(gSetDisplayFilter(filter), 0) << gGetLastError();
    std::vector<std::string> looped;
    uint64_t generation_before = 0, generation_after = 0;
    while (gGetNextPacket(&s) == 0) {
        looped.push_back(shown(s));
        // Every 50th packet shown: follow its conversation, then read on.
        if (looped.size() % 50 == 10 && (s.port_type == WSB_PT_TCP || s.port_type == WSB_PT_UDP)) {
            ASSERT_EQ(gGetDissectionGeneration(&generation_before), 0);
            ASSERT_EQ(gFollowConversation(s.port_type == WSB_PT_TCP ? WSB_FOLLOW_TCP : WSB_FOLLOW_UDP, s.frame_number,
                                          s.file_offset, static_cast<int32_t>(s.captured_length), s.packet_length,
                                          s.encapsulation),
                      0)
                << gGetLastError();
            ASSERT_EQ(gGetDissectionGeneration(&generation_after), 0);
            EXPECT_NE(generation_after, generation_before);
            EXPECT_FALSE(follow_chunks().empty());
        }
    }
    EXPECT_EQ(looped, plain);
    EXPECT_EQ(tree_of(early), early_tree);
    EXPECT_EQ(gCloseCapture(), 0);
}
