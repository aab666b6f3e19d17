// SPDX-License-Identifier: GPL-2.0-or-later
// Following TCP and UDP conversations through the public interface: payload
// checked against tshark's "follow" statistics on shared captures, and the
// edge cases of starting, collecting, checking, reading and releasing a
// followed stream on captures built byte for byte.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "locator.h"
#include "pcap_writer.h"
#include "test_support.h"
#include "wsbridge.h"

namespace {

const std::string captures = WSB_TEST_CAPTURES;

const char tshark_prefs[] = WSB_TSHARK_PREFERENCES;  // lib/engine/preference_overrides.txt

enum { ascii = 0, ebcdic = 1, hexdump = 2, c_array = 3 };
enum { client_only = 0, server_only = 1, both = 2 };

using wsbtest::locator;
using wsbtest::locator_of;

// One piece of payload with its direction.
struct Segment {
    bool is_server;
    std::vector<uint8_t> bytes;
    bool operator==(const Segment &other) const { return is_server == other.is_server && bytes == other.bytes; }
};

using wsbtest::run_command;

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

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

// First frame of every conversation of a kind ("tcp" or "udp"), by stream index.
std::map<int, uint32_t> first_frames(const std::string &file, const std::string &kind)
{
    std::map<int, uint32_t> frames;
    std::string command = "TMPDIR=/tmp tshark -n " + std::string(tshark_prefs) + " -r '" + file + "' -Y " + kind +
                          " -T fields -e " + kind + ".stream -e frame.number 2>/dev/null";
    for (const std::string &line : split_lines(run_command(command))) {
        std::istringstream in(line);
        std::string stream_text;
        uint32_t frame = 0;
        // Packets carrying two headers of the kind list two streams: use the first.
        if (std::getline(in, stream_text, '\t') && in >> frame && !stream_text.empty()) {
            int stream = std::stoi(stream_text.substr(0, stream_text.find(',')));
            frames.emplace(stream, frame);
        }
    }
    return frames;
}

// Parses hex dump text back into bytes: the hex column of every line.
std::vector<uint8_t> parse_hex_dump(const std::string &text)
{
    std::vector<uint8_t> bytes;
    for (std::string line : split_lines(text)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t start = line.find_first_not_of(' ');
        if (start == std::string::npos)
            continue;
        std::string hex = line.substr(start + 10, 49);
        std::istringstream in(hex);
        std::string token;
        while (in >> token)
            bytes.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
    }
    return bytes;
}

std::vector<std::string> directory_entries(const std::string &path)
{
    std::vector<std::string> names;
    if (DIR *dir = opendir(path.c_str())) {
        while (dirent *entry = readdir(dir))
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                names.push_back(entry->d_name);
        closedir(dir);
    }
    return names;
}

// The temporary files this process holds open in `folder`: the library
// removes a file's name as soon as it has created it, so the file shows only
// among the process's descriptors (as "NAME (deleted)"). Their names, each
// with the descriptor's /proc path.
std::vector<std::pair<std::string, std::string>> open_deleted_files(const std::string &folder)
{
    std::vector<std::pair<std::string, std::string>> files;
    const std::string suffix = " (deleted)";
    for (const std::string &fd : directory_entries("/proc/self/fd")) {
        const std::string link = "/proc/self/fd/" + fd;
        char target[4096];
        const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        if (length <= 0)
            continue;
        std::string path(target, static_cast<size_t>(length));
        if (path.rfind(folder + "/", 0) != 0 || path.size() < suffix.size() ||
            path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        files.emplace_back(path.substr(folder.size() + 1, path.size() - folder.size() - 1 - suffix.size()), link);
    }
    return files;
}

unsigned long total_bytes(const std::vector<Segment> &segments, bool is_server)
{
    unsigned long total = 0;
    for (const Segment &segment : segments)
        if (segment.is_server == is_server)
            total += segment.bytes.size();
    return total;
}

// Opens a capture and reads it to its end, keeping every packet's locator.
std::vector<locator> open_and_read(const std::string &path)
{
    std::vector<locator> locators;
    EXPECT_EQ(gOpenCapture(path.c_str()), 0) << gGetLastError();
    PacketSummary summary;
    int status;
    while ((status = gGetNextPacket(&summary)) == 0)
        locators.push_back(locator_of(summary));
    EXPECT_EQ(status, 2) << gGetLastError();
    return locators;
}

// ---- the fixture -------------------------------------------------------------

// Every test gets a fresh TMPDIR, which must be empty again at the end, a
// directory for the captures it builds, and a started engine.
class Follow : public ::testing::Test {
protected:
    std::string temp_dir;
    std::string capture_dir;
    bool engine_stopped = false;

    void SetUp() override
    {
        char temp_template[] = "/tmp/wsb-follow-tmpdir-XXXXXX";
        char capture_template[] = "/tmp/wsb-follow-captures-XXXXXX";
        ASSERT_NE(mkdtemp(temp_template), nullptr);
        ASSERT_NE(mkdtemp(capture_template), nullptr);
        temp_dir = temp_template;
        capture_dir = capture_template;
        setenv("TMPDIR", temp_dir.c_str(), 1);
        ASSERT_EQ(gInitEpan(), 0) << gGetLastError();
    }

    void TearDown() override
    {
        if (!engine_stopped) {
            EXPECT_EQ(gCleanupEpan(), 0) << gGetLastError();
        }
        EXPECT_TRUE(directory_entries(temp_dir).empty()) << "a temporary file was left behind";
        EXPECT_TRUE(follow_files().empty()) << "a temporary file is still open";
        for (const std::string &name : directory_entries(temp_dir))
            unlink((temp_dir + "/" + name).c_str());
        rmdir(temp_dir.c_str());
        for (const std::string &name : directory_entries(capture_dir))
            unlink((capture_dir + "/" + name).c_str());
        rmdir(capture_dir.c_str());
    }

    // The follow's temporary files: open in TMPDIR, with no name left there.
    std::vector<std::string> follow_files()
    {
        std::vector<std::string> names;
        for (const auto &file : open_deleted_files(temp_dir))
            names.push_back(file.first);
        return names;
    }

    std::string write_capture(const std::string &name, const pcapw::PcapWriter &writer)
    {
        std::string path = capture_dir + "/" + name;
        writer.write(path);
        return path;
    }
};

int32_t follow_tcp(const locator &l)
{
    return gFollowTCPStreamForPacket(l.frame_number, l.file_offset, l.captured_length, l.packet_length, l.encapsulation);
}
int32_t add_tcp(const locator &l)
{
    return gAddPacketToTCPStream(l.frame_number, l.file_offset, l.captured_length, l.packet_length, l.encapsulation);
}
int32_t follow_udp(const locator &l)
{
    return gFollowUDPStreamForPacket(l.frame_number, l.file_offset, l.captured_length, l.packet_length, l.encapsulation);
}
int32_t add_udp(const locator &l)
{
    return gAddPacketToUDPStream(l.frame_number, l.file_offset, l.captured_length, l.packet_length, l.encapsulation);
}

struct Descriptions {
    uint8_t valid = 0xEE;
    const char *server = nullptr, *client = nullptr, *conversation = nullptr;
    int32_t server_size = -1, client_size = -1, conversation_size = -1;
};

int32_t check_tcp(Descriptions &d)
{
    return gIsValidTcpStrem(&d.valid, 12345, &d.server, &d.server_size, &d.client, &d.client_size, &d.conversation,
                            &d.conversation_size);
}
int32_t check_udp(Descriptions &d)
{
    return gIsValidUDPStrem(&d.valid, &d.server, &d.server_size, &d.client, &d.client_size, &d.conversation,
                            &d.conversation_size);
}

// One stream-line call's results.
struct Line {
    int32_t status = -1;
    std::string text;
    bool null_text = false;
    uint32_t size = 0xDEAD;
    uint8_t is_server = 0xEE;
    uint8_t end = 0xEE;
};

Line next_line(bool tcp, int32_t format, int32_t direction, uint8_t end_before = 0)
{
    Line line;
    const char *text = reinterpret_cast<const char *>(1);
    line.end = end_before;
    line.status = tcp ? gGetNextTCPStreamLine(format, direction, &text, &line.size, &line.is_server, &line.end)
                      : gGetNextUDPStreamLine(format, direction, &text, &line.size, &line.is_server, &line.end);
    if (text == nullptr)
        line.null_text = true;
    else if (text != reinterpret_cast<const char *>(1))
        line.text = text;
    return line;
}

// Reads a checked stream to its end; each segment's text with its direction.
std::vector<std::pair<bool, std::string>> read_all(bool tcp, int32_t format, int32_t direction)
{
    std::vector<std::pair<bool, std::string>> texts;
    for (int guard = 0; guard < 1000000; ++guard) {
        Line line = next_line(tcp, format, direction);
        EXPECT_EQ(line.status, 0) << gGetLastError();
        if (line.status != 0 || line.end == 1)
            break;
        EXPECT_FALSE(line.null_text);
        EXPECT_EQ(line.size, line.text.size() + 1);
        texts.emplace_back(line.is_server != 0, line.text);
    }
    return texts;
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
void compare_with_tshark(const std::string &name, bool tcp, size_t stream_limit = 1000,
                         const std::set<int> &excluded = {}, bool one_pass = false)
{
    SCOPED_TRACE(name);
    const std::string file = name[0] == '/' ? name : captures + "/" + name;
    const std::string kind = tcp ? "tcp" : "udp";
    std::map<int, uint32_t> frames = first_frames(file, kind);
    ASSERT_FALSE(frames.empty());
    std::vector<int> streams;
    for (auto &[stream, frame] : frames)
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
                if (l.frame_number == frames[stream]) {
                    ASSERT_EQ(tcp ? follow_tcp(l) : follow_udp(l), 0) << gGetLastError();
                    following = true;
                }
                if (following) {
                    ASSERT_EQ(tcp ? add_tcp(l) : add_udp(l), 0) << gGetLastError();
                }
            }
        } else {
            const locator &start = locators.at(frames[stream] - 1);
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
        // The library's client sent the first payload; tshark's node 0 sent
        // the first segment of any kind.
        const bool flipped = oracle.records[0].is_server;
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

}  // namespace

// ---- captures built byte for byte --------------------------------------------

namespace {

const pcapw::Mac mac_a = pcapw::mac("02:00:00:00:00:0a");
const pcapw::Mac mac_b = pcapw::mac("02:00:00:00:00:0b");

// A TCP conversation between A (the connecting end) and B, over IPv4 or IPv6,
// with sequence numbers that run on without gaps.
struct TcpConversation {
    bool ipv6;
    std::string address_a, address_b;
    uint16_t port_a, port_b;
    uint32_t seq_a = 1000, seq_b = 5000;
    pcapw::PcapWriter writer;
    uint32_t when = 0;

    TcpConversation(bool v6, std::string a, uint16_t pa, std::string b, uint16_t pb)
        : ipv6(v6), address_a(std::move(a)), address_b(std::move(b)), port_a(pa), port_b(pb) {}

    void segment(bool from_b, uint8_t flags, const pcapw::Bytes &payload)
    {
        uint32_t &seq = from_b ? seq_b : seq_a;
        const uint32_t ack = from_b ? seq_a : seq_b;
        const std::string &source = from_b ? address_b : address_a;
        const std::string &destination = from_b ? address_a : address_b;
        const uint16_t source_port = from_b ? port_b : port_a;
        const uint16_t destination_port = from_b ? port_a : port_b;
        const pcapw::Mac &source_mac = from_b ? mac_b : mac_a;
        const pcapw::Mac &destination_mac = from_b ? mac_a : mac_b;
        pcapw::Bytes frame =
            ipv6 ? pcapw::eth_ipv6_tcp(destination_mac, source_mac, pcapw::ip6(source), pcapw::ip6(destination),
                                       source_port, destination_port, seq, ack, flags, payload)
                 : pcapw::eth_ipv4_tcp(destination_mac, source_mac, pcapw::ip4(source), pcapw::ip4(destination),
                                       source_port, destination_port, seq, ack, flags, payload);
        writer.add(1700000000 + when, when, frame);
        ++when;
        seq += static_cast<uint32_t>(payload.size()) + ((flags & (pcapw::tcpflag::SYN | pcapw::tcpflag::FIN)) ? 1 : 0);
    }
    void handshake()
    {
        segment(false, pcapw::tcpflag::SYN, {});
        segment(true, pcapw::tcpflag::SYN | pcapw::tcpflag::ACK, {});
        segment(false, pcapw::tcpflag::ACK, {});
    }
    void send(bool from_b, const std::string &text)
    {
        segment(from_b, pcapw::tcpflag::PSH | pcapw::tcpflag::ACK, pcapw::to_bytes(text));
    }
    void send_bytes(bool from_b, const pcapw::Bytes &bytes)
    {
        segment(from_b, pcapw::tcpflag::PSH | pcapw::tcpflag::ACK, bytes);
    }
};

// UDP datagrams between A and B.
struct UdpConversation {
    std::string address_a, address_b;
    uint16_t port_a, port_b;
    pcapw::PcapWriter writer;
    uint32_t when = 0;

    UdpConversation(std::string a, uint16_t pa, std::string b, uint16_t pb)
        : address_a(std::move(a)), address_b(std::move(b)), port_a(pa), port_b(pb) {}

    void send(bool from_b, const std::string &text, uint16_t source_port = 0)
    {
        const std::string &source = from_b ? address_b : address_a;
        const std::string &destination = from_b ? address_a : address_b;
        uint16_t sport = source_port ? source_port : (from_b ? port_b : port_a);
        uint16_t dport = from_b ? port_a : port_b;
        writer.add(1700000000 + when, when,
                   pcapw::eth_ipv4_udp(from_b ? mac_a : mac_b, from_b ? mac_b : mac_a, pcapw::ip4(source),
                                       pcapw::ip4(destination), sport, dport, pcapw::to_bytes(text)));
        ++when;
    }
};

// Client A sends "a", "c"; server B sends "b", "d", "e".
TcpConversation five_turns()
{
    TcpConversation c(false, "10.0.0.1", 40000, "10.0.0.2", 80);
    c.handshake();
    c.send(false, "a");
    c.send(true, "b");
    c.send(false, "c");
    c.send(true, "d");
    c.send(true, "e");
    return c;
}

// Follows a whole built capture; returns the locators.
std::vector<locator> follow_all(const std::string &path, bool tcp, size_t start = 0)
{
    std::vector<locator> locators = open_and_read(path);
    EXPECT_EQ(tcp ? follow_tcp(locators.at(start)) : follow_udp(locators.at(start)), 0) << gGetLastError();
    for (const locator &l : locators)
        EXPECT_EQ(tcp ? add_tcp(l) : add_udp(l), 0) << gGetLastError();
    return locators;
}

std::vector<std::string> texts_of(const std::vector<std::pair<bool, std::string>> &lines)
{
    std::vector<std::string> texts;
    for (auto &line : lines)
        texts.push_back((line.first ? "S:" : "C:") + line.second);
    return texts;
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

// ---- starting a follow -------------------------------------------------------

TEST_F(Follow, GuardsNameTheFollowOperations)
{
    const locator none{1, 24, 60, 60, 1, 0, 0};
    EXPECT_EQ(follow_tcp(none), 1);
    EXPECT_STREQ(gGetLastError(),
                 "\"Follow TCP Stream\" operation failed. A capture file needs to be opened in order to perform "
                 "this operation.");
    EXPECT_EQ(follow_udp(none), 1);
    EXPECT_STREQ(gGetLastError(),
                 "\"Follow UDP Stream\" operation failed. A capture file needs to be opened in order to perform "
                 "this operation.");
    EXPECT_EQ(add_tcp(none), 1);
    EXPECT_STREQ(gGetLastError(),
                 "Error generating stream info for packet: Temporary stream file has to be opened.");
    EXPECT_EQ(add_udp(none), 1);
    EXPECT_STREQ(gGetLastError(),
                 "\"Get Packet At Offset\" operation failed. A capture file needs to be opened in order to perform "
                 "this operation.");

    EXPECT_EQ(gCleanupEpan(), 0);
    engine_stopped = true;
    EXPECT_EQ(follow_tcp(none), 1);
    EXPECT_STREQ(gGetLastError(),
                 "\"Follow TCP Stream\" operation failed. Wireshark engine was already uninitialized.");
    EXPECT_EQ(follow_udp(none), 1);
    EXPECT_STREQ(gGetLastError(),
                 "\"Follow UDP Stream\" operation failed. Wireshark engine was already uninitialized.");
}

TEST_F(Follow, EachFollowRefusesThePacketsOfTheOther)
{
    std::vector<locator> udp_packets = open_and_read(captures + "/dns_udp.pcap");
    // A TCP follow started before is released even though the new start fails.
    TcpConversation c = five_turns();
    std::string tcp_path = write_capture("tcp.pcap", c.writer);
    std::vector<locator> tcp_packets = open_and_read(tcp_path);
    ASSERT_EQ(follow_tcp(tcp_packets[3]), 0) << gGetLastError();
    EXPECT_EQ(follow_files().size(), 1u);
    EXPECT_EQ(follow_udp(tcp_packets[3]), 1);
    EXPECT_STREQ(gGetLastError(), "Error following stream. Please make sure you have a UDP packet selected.");
    EXPECT_TRUE(follow_files().empty());
    Descriptions d;
    EXPECT_EQ(check_tcp(d), 1);
    EXPECT_STREQ(gGetLastError(), "Follow TCP structure is not initialized.");

    udp_packets = open_and_read(captures + "/dns_udp.pcap");
    ASSERT_EQ(follow_udp(udp_packets[0]), 0) << gGetLastError();
    EXPECT_EQ(follow_tcp(udp_packets[0]), 1);
    EXPECT_STREQ(gGetLastError(), "Error following stream. Please make sure you have a TCP packet selected.");
    EXPECT_TRUE(follow_files().empty());
    EXPECT_EQ(check_udp(d), 1);
    EXPECT_STREQ(gGetLastError(), "Follow UDP structure is not initialized.");
    EXPECT_EQ(d.valid, 0);

    // A packet that cannot be re-read: the re-read's message stands.
    locator wrong = udp_packets[0];
    wrong.captured_length = 100000;
    EXPECT_EQ(follow_tcp(wrong), 1);
    EXPECT_NE(std::string(gGetLastError()).find("captured bytes, fewer than"), std::string::npos)
        << gGetLastError();
    EXPECT_EQ(follow_udp(wrong), 1);
    EXPECT_NE(std::string(gGetLastError()).find("captured bytes, fewer than"), std::string::npos);
    EXPECT_TRUE(follow_files().empty());
}

TEST_F(Follow, TemporaryFileIsPrivateAndDeletedByEveryRelease)
{
    TcpConversation c = five_turns();
    std::vector<locator> packets = open_and_read(write_capture("c.pcap", c.writer));

    // Collecting: one private file named "follow...", whose name is already
    // gone from the folder, so that a killed host leaves nothing behind.
    ASSERT_EQ(follow_tcp(packets[3]), 0) << gGetLastError();
    std::vector<std::string> files = follow_files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].rfind("follow", 0), 0u) << files[0];
    EXPECT_TRUE(directory_entries(temp_dir).empty());
    struct stat info;
    ASSERT_EQ(stat(open_deleted_files(temp_dir).at(0).second.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_nlink, 0u);

    // A new follow replaces the file.
    ASSERT_EQ(follow_tcp(packets[4]), 0) << gGetLastError();
    std::vector<std::string> replaced = follow_files();
    ASSERT_EQ(replaced.size(), 1u);
    for (const locator &l : packets)
        ASSERT_EQ(add_tcp(l), 0);

    // Closing the capture while collecting deletes it.
    EXPECT_EQ(gCloseCapture(), 0);
    EXPECT_TRUE(follow_files().empty());

    // So does closing while the stream is being read.
    packets = follow_all(write_capture("c.pcap", c.writer), true, 3);
    Descriptions d;
    ASSERT_EQ(check_tcp(d), 0) << gGetLastError();
    EXPECT_EQ(follow_files().size(), 1u);
    Line first = next_line(true, ascii, both);
    EXPECT_EQ(first.text, "a");
    EXPECT_TRUE(directory_entries(temp_dir).empty());
    EXPECT_EQ(gCloseCapture(), 0);
    EXPECT_TRUE(follow_files().empty());
    EXPECT_EQ(next_line(true, ascii, both).status, 1);
    EXPECT_STREQ(gGetLastError(), "Follow TCP structure is not initialized.");

    // Opening another capture deletes it.
    packets = follow_all(write_capture("c.pcap", c.writer), true, 3);
    EXPECT_EQ(follow_files().size(), 1u);
    open_and_read(captures + "/dns_udp.pcap");
    EXPECT_TRUE(follow_files().empty());

    // A UDP follow releases a TCP stream (the sample: 3 is DNS, 10 HTTP).
    packets = follow_all(WSB_SAMPLE_CAPTURE, true, 9);
    EXPECT_EQ(follow_files().size(), 1u);
    ASSERT_EQ(follow_udp(packets[2]), 0);
    EXPECT_TRUE(follow_files().empty());
    EXPECT_EQ(gCloseCapture(), 0);

    // Shutting the engine down during a follow deletes the file too.
    packets = follow_all(write_capture("c.pcap", c.writer), true, 3);
    EXPECT_EQ(follow_files().size(), 1u);
    EXPECT_EQ(gCleanupEpan(), 0);
    engine_stopped = true;
    EXPECT_TRUE(follow_files().empty());
}

TEST_F(Follow, TemporaryDirectoryFailuresLeaveNothingBehind)
{
    TcpConversation c = five_turns();
    std::vector<locator> packets = open_and_read(write_capture("c.pcap", c.writer));

    setenv("TMPDIR", (temp_dir + "/missing").c_str(), 1);
    EXPECT_EQ(follow_tcp(packets[3]), 1);
    EXPECT_STREQ(gGetLastError(), "Error retrieving temp directory. Error code 2.");

    // A file where the directory should be.
    const std::string not_a_directory = capture_dir + "/c.pcap";
    setenv("TMPDIR", not_a_directory.c_str(), 1);
    EXPECT_EQ(follow_tcp(packets[3]), 1);
    EXPECT_STREQ(gGetLastError(), "Error retrieving temp directory. Error code 20.");

    // Nothing is followed after a failed start.
    EXPECT_EQ(add_tcp(packets[3]), 1);
    EXPECT_STREQ(gGetLastError(),
                 "Error generating stream info for packet: Temporary stream file has to be opened.");

    // An empty TMPDIR means /tmp.
    setenv("TMPDIR", "", 1);
    ASSERT_EQ(follow_tcp(packets[3]), 0) << gGetLastError();
    Descriptions d;
    EXPECT_EQ(check_tcp(d), 0);
    EXPECT_EQ(d.valid, 0);  // nothing added
    setenv("TMPDIR", temp_dir.c_str(), 1);
}

// ---- checking a stream -------------------------------------------------------

TEST_F(Follow, CheckingWithoutAddsReportsAnEmptyStream)
{
    TcpConversation c = five_turns();
    std::vector<locator> packets = open_and_read(write_capture("c.pcap", c.writer));
    ASSERT_EQ(follow_tcp(packets[3]), 0) << gGetLastError();
    Descriptions d;
    EXPECT_EQ(check_tcp(d), 0);
    EXPECT_EQ(d.valid, 0);
    EXPECT_STREQ(gGetLastError(), "Empty TCP stream.");
    EXPECT_EQ(d.client, nullptr);
    EXPECT_EQ(d.client_size, -1);
    EXPECT_TRUE(follow_files().empty());
    EXPECT_EQ(next_line(true, ascii, both).status, 1);
    EXPECT_STREQ(gGetLastError(), "Follow TCP structure is not initialized.");

    // Packets without payload (the handshake) leave the stream empty as well.
    ASSERT_EQ(follow_tcp(packets[0]), 0) << gGetLastError();
    for (size_t i = 0; i < 3; ++i)
        ASSERT_EQ(add_tcp(packets[i]), 0);
    EXPECT_EQ(check_tcp(d), 0);
    EXPECT_EQ(d.valid, 0);
    EXPECT_STREQ(gGetLastError(), "Empty TCP stream.");

    std::vector<locator> udp_packets = open_and_read(captures + "/dns_udp.pcap");
    ASSERT_EQ(follow_udp(udp_packets[1]), 0) << gGetLastError();
    EXPECT_EQ(check_udp(d), 0);
    EXPECT_EQ(d.valid, 0);
    EXPECT_STREQ(gGetLastError(), "Empty UDP stream.");
    EXPECT_EQ(check_udp(d), 1);
    EXPECT_STREQ(gGetLastError(), "Follow UDP structure is not initialized.");
    EXPECT_EQ(next_line(false, ascii, both).status, 1);
    EXPECT_STREQ(gGetLastError(), "Follow UDP structure is not initialized.");
}

TEST_F(Follow, TcpCheckOnlyEndsACollectionInProgress)
{
    Descriptions d;
    EXPECT_EQ(check_tcp(d), 1);
    EXPECT_STREQ(gGetLastError(), "Follow TCP structure is not initialized.");
    EXPECT_EQ(d.valid, 0);
    EXPECT_EQ(d.client, nullptr);

    TcpConversation c = five_turns();
    follow_all(write_capture("c.pcap", c.writer), true, 3);
    // Reading before the check would read a file still being written.
    Line early = next_line(true, ascii, both, 1);
    EXPECT_EQ(early.status, 1);
    EXPECT_EQ(early.end, 0);
    EXPECT_NE(std::string(gGetLastError()).find("still being collected"), std::string::npos) << gGetLastError();

    ASSERT_EQ(check_tcp(d), 0) << gGetLastError();
    EXPECT_EQ(d.valid, 1);
    EXPECT_EQ(next_line(true, ascii, both).text, "a");
    // A second check touches nothing: the texts stay and reading goes on.
    const char *client_before = d.client;
    Descriptions again;
    EXPECT_EQ(check_tcp(again), 1);
    EXPECT_STREQ(gGetLastError(), "Follow TCP structure is not initialized.");
    EXPECT_EQ(again.valid, 0);
    EXPECT_EQ(again.client, nullptr);
    EXPECT_STREQ(client_before, "10.0.0.1:40000 --> 10.0.0.2:80 (2 bytes)");
    EXPECT_EQ(next_line(true, ascii, both).text, "b");
    EXPECT_EQ(follow_files().size(), 1u);
}

TEST_F(Follow, NullOutputArgumentsAreRefused)
{
    TcpConversation c = five_turns();
    follow_all(write_capture("c.pcap", c.writer), true, 3);
    const char *text = nullptr;
    int32_t size = 0;
    uint8_t flag = 0;
    uint32_t length = 0;
    EXPECT_EQ(gIsValidTcpStrem(nullptr, 0, &text, &size, &text, &size, &text, &size), 1);
    EXPECT_STREQ(gGetLastError(), "\"Is Valid TCP Stream\" operation failed. An output argument is null.");
    EXPECT_EQ(gIsValidTcpStrem(&flag, 0, &text, &size, &text, &size, &text, nullptr), 1);
    // The collection is still in progress.
    Descriptions d;
    ASSERT_EQ(check_tcp(d), 0) << gGetLastError();
    EXPECT_EQ(d.valid, 1);
    EXPECT_EQ(gGetNextTCPStreamLine(ascii, both, nullptr, &length, &flag, &flag), 1);
    EXPECT_STREQ(gGetLastError(), "\"Get Next TCP Stream Line\" operation failed. An output argument is null.");
    EXPECT_EQ(gGetNextTCPStreamLine(ascii, both, &text, &length, &flag, nullptr), 1);
    EXPECT_EQ(next_line(true, ascii, both).text, "a");

    std::vector<locator> udp_packets = follow_all(captures + "/dns_udp.pcap", false, 0);
    EXPECT_EQ(gIsValidUDPStrem(&flag, &text, &size, nullptr, &size, &text, &size), 1);
    EXPECT_STREQ(gGetLastError(), "\"Is Valid UDP Stream\" operation failed. An output argument is null.");
    EXPECT_EQ(gGetNextUDPStreamLine(ascii, both, &text, nullptr, &flag, &flag), 1);
    EXPECT_STREQ(gGetLastError(), "\"Get Next UDP Stream Line\" operation failed. An output argument is null.");
    ASSERT_EQ(check_udp(d), 0) << gGetLastError();
    EXPECT_EQ(d.valid, 1);
}

// ---- reading a stream --------------------------------------------------------

TEST_F(Follow, TcpDescriptionsAndDirections)
{
    TcpConversation c = five_turns();
    follow_all(write_capture("c.pcap", c.writer), true, 4);
    Descriptions d;
    ASSERT_EQ(check_tcp(d), 0) << gGetLastError();
    EXPECT_STREQ(d.client, "10.0.0.1:40000 --> 10.0.0.2:80 (2 bytes)");
    EXPECT_STREQ(d.server, "10.0.0.2:80 --> 10.0.0.1:40000 (3 bytes)");
    EXPECT_STREQ(d.conversation, "Entire conversation (5 bytes)");
    EXPECT_EQ(d.server_size, 41);
    EXPECT_EQ(d.conversation_size, 30);

    EXPECT_EQ(texts_of(read_all(true, ascii, both)),
              (std::vector<std::string>{"C:a", "S:b", "C:c", "S:d", "S:e"}));
    // Client only: the call after "c" finds only server chunks and ends.
    EXPECT_EQ(texts_of(read_all(true, ascii, client_only)), (std::vector<std::string>{"C:a", "C:c"}));
    EXPECT_EQ(texts_of(read_all(true, ascii, server_only)), (std::vector<std::string>{"S:b", "S:d", "S:e"}));
    // Out-of-range direction values show both.
    EXPECT_EQ(texts_of(read_all(true, ascii, 7)).size(), 5u);

    // The end: null text, size 0, end 1; the next call starts over.
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(next_line(true, ascii, both).end, 0);
    Line end = next_line(true, ascii, both);
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(end.end, 1);
    EXPECT_TRUE(end.null_text);
    EXPECT_EQ(end.size, 0u);
    Line again = next_line(true, hexdump, both, 1);
    EXPECT_EQ(again.end, 0);
    EXPECT_EQ(again.is_server, 0);
    EXPECT_EQ(again.text.substr(0, 10), "00000000  ");
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

TEST_F(Follow, TcpFirstChunkFromTheAcceptingEndMakesItTheClient)
{
    TcpConversation c(false, "10.0.0.1", 40000, "10.0.0.2", 25);
    c.handshake();
    c.send(true, "220 ready\r\n");
    c.send(false, "HELO x\r\n");
    c.send(true, "250 ok\r\n");
    follow_all(write_capture("smtp.pcap", c.writer), true, 0);
    Descriptions d;
    ASSERT_EQ(check_tcp(d), 0) << gGetLastError();
    EXPECT_STREQ(d.client, "10.0.0.2:25 --> 10.0.0.1:40000 (19 bytes)");
    EXPECT_STREQ(d.server, "10.0.0.1:40000 --> 10.0.0.2:25 (8 bytes)");
    EXPECT_EQ(texts_of(read_all(true, ascii, both)),
              (std::vector<std::string>{"C:220 ready\r\n", "S:HELO x\r\n", "C:250 ok\r\n"}));
}

TEST_F(Follow, TcpIpv6WithTheSamePortOnBothEnds)
{
    // The addresses share their first 4 bytes: only a 16-byte comparison
    // tells the ends apart, and the ports are equal.
    TcpConversation c(true, "2001:db8::1", 5000, "2001:db8::2", 5000);
    c.handshake();
    c.send(false, "one");
    c.send(true, "two!");
    c.send(false, "three");
    follow_all(write_capture("v6.pcap", c.writer), true, 0);
    Descriptions d;
    ASSERT_EQ(check_tcp(d), 0) << gGetLastError();
    EXPECT_STREQ(d.client, "2001:db8::1:5000 --> 2001:db8::2:5000 (8 bytes)");
    EXPECT_STREQ(d.server, "2001:db8::2:5000 --> 2001:db8::1:5000 (4 bytes)");
    EXPECT_STREQ(d.conversation, "Entire conversation (12 bytes)");
    EXPECT_EQ(texts_of(read_all(true, ascii, both)), (std::vector<std::string>{"C:one", "S:two!", "C:three"}));
    EXPECT_EQ(texts_of(read_all(true, ascii, server_only)), (std::vector<std::string>{"S:two!"}));

    // The same over IPv4.
    TcpConversation c4(false, "10.1.1.1", 7000, "10.1.1.2", 7000);
    c4.handshake();
    c4.send(true, "xy");
    c4.send(false, "z");
    follow_all(write_capture("v4.pcap", c4.writer), true, 0);
    ASSERT_EQ(check_tcp(d), 0) << gGetLastError();
    EXPECT_STREQ(d.client, "10.1.1.2:7000 --> 10.1.1.1:7000 (2 bytes)");
    EXPECT_STREQ(d.server, "10.1.1.1:7000 --> 10.1.1.2:7000 (1 bytes)");
    EXPECT_EQ(texts_of(read_all(true, ascii, both)), (std::vector<std::string>{"C:xy", "S:z"}));
}

TEST_F(Follow, LongChunkIsRenderedInPiecesOf1024Bytes)
{
    TcpConversation c(false, "10.0.0.1", 40000, "10.0.0.2", 80);
    c.handshake();
    pcapw::Bytes payload(2500);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>('A' + i % 26);
    c.send_bytes(false, payload);
    c.send(true, "ok");
    follow_all(write_capture("long.pcap", c.writer), true, 3);
    Descriptions d;
    ASSERT_EQ(check_tcp(d), 0) << gGetLastError();
    EXPECT_STREQ(d.client, "10.0.0.1:40000 --> 10.0.0.2:80 (2500 bytes)");

    const std::string whole(payload.begin(), payload.end());
    Line line = next_line(true, ascii, both);
    ASSERT_EQ(line.status, 0);
    EXPECT_EQ(line.size, 2505u);
    EXPECT_EQ(line.text, whole.substr(0, 1024) + "\r\n" + whole.substr(1024, 1024) + "\r\n" + whole.substr(2048));
    EXPECT_EQ(next_line(true, ascii, both).text, "ok");
    EXPECT_EQ(next_line(true, ascii, both).end, 1);

    // Hex dump lines run on across the pieces; C arrays start anew per piece.
    line = next_line(true, hexdump, both);
    EXPECT_EQ(parse_hex_dump(line.text), std::vector<uint8_t>(payload.begin(), payload.end()));
    EXPECT_NE(line.text.find("\n00000400  "), std::string::npos);
    EXPECT_NE(line.text.find("\n000009C0  "), std::string::npos);
    next_line(true, hexdump, both);
    EXPECT_EQ(next_line(true, hexdump, both).end, 1);
    line = next_line(true, c_array, both);
    EXPECT_EQ(line.text.rfind("char peer0_0[] = {\n", 0), 0u);
    EXPECT_NE(line.text.find("char peer0_1025[] = {\n"), std::string::npos);
    EXPECT_NE(line.text.find("char peer0_2050[] = {\n"), std::string::npos);
    Line server = next_line(true, c_array, both);
    EXPECT_EQ(server.is_server, 1);
    EXPECT_EQ(server.text, "char peer1_0[] = {\n\r\n0x6f, 0x6b };\n");
}

TEST_F(Follow, AddingAfterTheCheck)
{
    TcpConversation c = five_turns();
    std::vector<locator> packets = follow_all(write_capture("c.pcap", c.writer), true, 3);
    Descriptions d;
    ASSERT_EQ(check_tcp(d), 0) << gGetLastError();
    EXPECT_EQ(add_tcp(packets[3]), 1);
    EXPECT_STREQ(gGetLastError(),
                 "Error generating stream info for packet: Temporary stream file has to be opened.");

    UdpConversation u("10.0.0.1", 5353, "10.0.0.2", 53);
    u.send(false, "q1");
    u.send(true, "r1");
    packets = follow_all(write_capture("u.pcap", u.writer), false, 0);
    ASSERT_EQ(check_udp(d), 0) << gGetLastError();
    for (const locator &l : packets)
        EXPECT_EQ(add_udp(l), 0);
    EXPECT_EQ(texts_of(read_all(false, ascii, both)), (std::vector<std::string>{"C:q1", "S:r1"}));
    EXPECT_STREQ(d.conversation, "Entire conversation (4 bytes)");
}

// Only what gAddPacketToTCPStream adds is collected: a tree of a server
// segment built first, the rest of the capture read in sequence and a packet
// saved meanwhile would otherwise swap the directions and drop payload.
TEST_F(Follow, TcpCollectsOnlyThePacketsAdded)
{
    TcpConversation c = five_turns();
    const std::string path = write_capture("c.pcap", c.writer);
    const std::vector<locator> packets = open_and_read(path);
    ASSERT_EQ(packets.size(), 8u);
    ASSERT_EQ(gOpenCapture(path.c_str()), 0);
    PacketSummary summary;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(gGetNextPacket(&summary), 0);
    ASSERT_EQ(follow_tcp(packets[3]), 0) << gGetLastError();
    int32_t length;
    const uint8_t *data;
    const locator &b = packets[4];
    ASSERT_EQ(gBuildPacketProtocolTree(&length, &data, b.frame_number, b.file_offset, b.captured_length, b.packet_length,
                                       b.encapsulation),
              0);
    while (gGetNextPacket(&summary) == 0) {
    }
    const std::string saved = capture_dir + "/saved.pcap";
    ASSERT_EQ(gCreateCaptureFileForSave(saved.c_str()), 0) << gGetLastError();
    SavePacketRequest request{};
    const locator &e = packets[7];
    request.frame_number = e.frame_number;
    request.file_offset = e.file_offset;
    request.captured_length = static_cast<uint32_t>(e.captured_length);
    request.packet_length = e.packet_length;
    request.encapsulation = e.encapsulation;
    uint8_t skipped;
    ASSERT_EQ(gSavePacketToCaptureFile(&skipped, &request), 0) << gGetLastError();
    ASSERT_EQ(gCloseCaptureFileForSave(), 0);
    Descriptions d;
    for (const locator &l : packets) {
        ASSERT_EQ(add_tcp(l), 0) << gGetLastError();
        // Trees and random access between the adds change nothing either.
        ASSERT_EQ(gBuildPacketProtocolTree(&length, &data, e.frame_number, e.file_offset, e.captured_length, e.packet_length,
                                           e.encapsulation),
                  0);
    }
    ASSERT_EQ(check_tcp(d), 0) << gGetLastError();
    EXPECT_STREQ(d.client, "10.0.0.1:40000 --> 10.0.0.2:80 (2 bytes)");
    EXPECT_STREQ(d.server, "10.0.0.2:80 --> 10.0.0.1:40000 (3 bytes)");
    EXPECT_EQ(texts_of(read_all(true, ascii, both)), (std::vector<std::string>{"C:a", "S:b", "C:c", "S:d", "S:e"}));
}

// Packets are added in capture order, each once: a packet that does not come
// after the one added last is refused and the stream goes on.
TEST_F(Follow, TcpPacketsAddedOutOfOrderAreRefused)
{
    TcpConversation c = five_turns();
    const std::vector<locator> packets = open_and_read(write_capture("c.pcap", c.writer));
    ASSERT_EQ(follow_tcp(packets[0]), 0) << gGetLastError();
    for (size_t i = 0; i < 5; ++i)
        ASSERT_EQ(add_tcp(packets[i]), 0) << gGetLastError();
    for (size_t i : {2, 4}) {
        EXPECT_EQ(add_tcp(packets[i]), 1);
        EXPECT_EQ(std::string(gGetLastError()),
                  "\"Add Packet To TCP Stream\" operation failed. Frame " + std::to_string(i + 1) +
                      " does not come after frame 5, the packet added last: packets are added in capture order, "
                      "each once. The stream is kept.");
    }
    for (size_t i = 5; i < packets.size(); ++i)
        ASSERT_EQ(add_tcp(packets[i]), 0) << gGetLastError();
    Descriptions d;
    ASSERT_EQ(check_tcp(d), 0) << gGetLastError();
    EXPECT_STREQ(d.conversation, "Entire conversation (5 bytes)");
    EXPECT_EQ(texts_of(read_all(true, ascii, both)), (std::vector<std::string>{"C:a", "S:b", "C:c", "S:d", "S:e"}));

    // In reverse order only the last packet gets in; a new follow starts the
    // order afresh.
    ASSERT_EQ(follow_tcp(packets[7]), 0) << gGetLastError();
    ASSERT_EQ(add_tcp(packets[7]), 0);
    for (size_t i = 7; i-- > 0;)
        EXPECT_EQ(add_tcp(packets[i]), 1);
    ASSERT_EQ(check_tcp(d), 0) << gGetLastError();
    EXPECT_EQ(d.valid, 1);
    EXPECT_EQ(texts_of(read_all(true, ascii, both)), (std::vector<std::string>{"C:e"}));
}

TEST_F(Follow, UdpReadingDirectionsAndTheEndFlag)
{
    UdpConversation u("10.0.0.1", 5353, "10.0.0.2", 53);
    u.send(false, "q1");
    u.send(true, "r1");
    u.send(false, "q2");
    u.send(true, "r2");
    u.send(false, "q3");
    follow_all(write_capture("u.pcap", u.writer), false, 1);
    Descriptions d;
    ASSERT_EQ(check_udp(d), 0) << gGetLastError();
    EXPECT_STREQ(d.client, "10.0.0.1:5353 --> 10.0.0.2:53 (6 bytes)");
    EXPECT_STREQ(d.server, "10.0.0.2:53 --> 10.0.0.1:5353 (4 bytes)");
    EXPECT_STREQ(d.conversation, "Entire conversation (10 bytes)");

    EXPECT_EQ(texts_of(read_all(false, ascii, server_only)), (std::vector<std::string>{"S:r1", "S:r2"}));
    EXPECT_EQ(texts_of(read_all(false, ascii, client_only)), (std::vector<std::string>{"C:q1", "C:q2", "C:q3"}));

    // The end sets the flag and writes nothing else; the flag is never cleared.
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(next_line(false, ascii, both).end, 0);
    Line end = next_line(false, ascii, both);
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(end.end, 1);
    EXPECT_EQ(end.size, 0xDEADu);
    EXPECT_EQ(end.is_server, 0xEE);
    Line again = next_line(false, hexdump, both, 1);
    EXPECT_EQ(again.end, 1);
    EXPECT_EQ(again.text.substr(0, 10), "00000000  ");
    EXPECT_EQ(again.is_server, 0);

    // A repeated check builds the texts again.
    Descriptions twice;
    ASSERT_EQ(check_udp(twice), 0);
    EXPECT_STREQ(twice.client, "10.0.0.1:5353 --> 10.0.0.2:53 (6 bytes)");
}

TEST_F(Follow, UdpCollectionByEveryDissection)
{
    UdpConversation u("10.0.0.1", 4000, "10.0.0.2", 4001);
    u.send(false, "");  // the engine delivers no empty datagram (tshark shows none either)
    u.send(true, "x");
    const std::string path = write_capture("u.pcap", u.writer);
    std::vector<locator> packets = open_and_read(path);
    // Opened again, nothing read yet: the follow starts before reading does.
    ASSERT_EQ(gOpenCapture(path.c_str()), 0);
    ASSERT_EQ(follow_udp(packets[0]), 0) << gGetLastError();
    EXPECT_TRUE(follow_files().empty());
    for (const locator &l : packets)
        ASSERT_EQ(add_udp(l), 0);
    // Any dissection collects while the listener is registered, in order:
    // random access, and sequential reading.
    PacketSummary summary;
    ASSERT_EQ(gGetPacketAtOffset(&summary, packets[1].frame_number, packets[1].file_offset, packets[1].captured_length,
                                 packets[1].packet_length, packets[1].encapsulation),
              0);
    while (gGetNextPacket(&summary) == 0) {
    }
    Descriptions d;
    ASSERT_EQ(check_udp(d), 0) << gGetLastError();
    EXPECT_STREQ(d.client, "10.0.0.2:4001 --> 10.0.0.1:4000 (3 bytes)");
    EXPECT_STREQ(d.server, "10.0.0.1:4000 --> 10.0.0.2:4001 (0 bytes)");
    EXPECT_EQ(texts_of(read_all(false, ascii, both)), (std::vector<std::string>{"C:x", "C:x", "C:x"}));

    EXPECT_EQ(next_line(false, hexdump, both).text, "00000000  78" + std::string(47, ' ') + "x\n");
    EXPECT_EQ(next_line(false, hexdump, both).text.substr(0, 10), "00000001  ");
    EXPECT_EQ(next_line(false, hexdump, both).text.substr(0, 10), "00000002  ");
    EXPECT_EQ(next_line(false, hexdump, both).end, 1);
    EXPECT_EQ(next_line(false, c_array, both).text, "char peer0_0[] = {\n\r\n0x78 };\n");
    EXPECT_EQ(next_line(false, c_array, both).text, "char peer0_2[] = {\n\r\n0x78 };\n");
}

TEST_F(Follow, UdpCheckRewindsLinesReadBeforeIt)
{
    UdpConversation u("10.0.0.1", 5353, "10.0.0.2", 53);
    u.send(false, "q1");
    u.send(true, "r1");
    follow_all(write_capture("u.pcap", u.writer), false, 0);
    EXPECT_EQ(next_line(false, ascii, both).text, "q1");
    Descriptions d;
    ASSERT_EQ(check_udp(d), 0) << gGetLastError();
    EXPECT_EQ(texts_of(read_all(false, ascii, both)), (std::vector<std::string>{"C:q1", "S:r1"}));
    EXPECT_EQ(next_line(false, c_array, both).text, "char peer0_0[] = {\n\r\n0x71, 0x31 };\n");
}

// A followed stream belongs to the capture it was started on: opening another
// one ends it, as closing does, and the new file's packets are not collected.
TEST_F(Follow, OpeningAnotherCaptureEndsTheFollowedStream)
{
    UdpConversation u("10.0.0.1", 5353, "10.0.0.2", 53);
    u.send(false, "q1");
    const std::string udp_path = write_capture("u.pcap", u.writer);
    UdpConversation other("10.0.0.3", 7000, "10.0.0.4", 7001);
    other.send(false, "other");
    other.send(true, "file");
    const std::string other_path = write_capture("o.pcap", other.writer);
    TcpConversation c = five_turns();
    const std::string tcp_path = write_capture("c.pcap", c.writer);

    follow_all(udp_path, false, 0);
    open_and_read(other_path);
    Descriptions d;
    EXPECT_EQ(check_udp(d), 1);
    EXPECT_EQ(d.valid, 0);
    EXPECT_STREQ(gGetLastError(), "Follow UDP structure is not initialized.");

    follow_all(tcp_path, true, 3);
    ASSERT_FALSE(follow_files().empty());
    open_and_read(other_path);
    EXPECT_TRUE(follow_files().empty());
    EXPECT_EQ(check_tcp(d), 1);
    EXPECT_STREQ(gGetLastError(), "Follow TCP structure is not initialized.");

    // A failed open keeps the capture and the followed stream.
    follow_all(tcp_path, true, 3);
    EXPECT_EQ(gOpenCapture((capture_dir + "/missing.pcap").c_str()), 1);
    ASSERT_EQ(check_tcp(d), 0) << gGetLastError();
    EXPECT_STREQ(d.conversation, "Entire conversation (5 bytes)");
    EXPECT_EQ(gCloseCapture(), 0);
}

TEST_F(Follow, UdpDatagramFromAnotherPortBelongsToAnotherConversation)
{
    // The engine's conversation filter names both ports, so a datagram from
    // the client's address but another source port is not collected.
    UdpConversation u("10.0.0.1", 6000, "10.0.0.2", 6001);
    u.send(false, "a");
    u.send(true, "b");
    u.send(false, "c", 6002);  // another conversation: not collected
    follow_all(write_capture("u.pcap", u.writer), false, 0);
    Descriptions d;
    ASSERT_EQ(check_udp(d), 0) << gGetLastError();
    EXPECT_EQ(texts_of(read_all(false, ascii, both)), (std::vector<std::string>{"C:a", "S:b"}));
}

TEST_F(Follow, EbcdicAndUnknownRenderings)
{
    TcpConversation c(false, "10.0.0.1", 40000, "10.0.0.2", 23);
    c.handshake();
    c.send_bytes(false, {0xC8, 0xC5, 0xD3, 0xD3, 0xD6});
    c.send_bytes(true, {0x09, 0x00, 0x41, 0x0A, 0xE9});
    follow_all(write_capture("e.pcap", c.writer), true, 3);
    Descriptions d;
    ASSERT_EQ(check_tcp(d), 0) << gGetLastError();
    EXPECT_EQ(next_line(true, ebcdic, both).text, "HELLO");
    EXPECT_EQ(next_line(true, 7, both).text, "..A\n.");
    EXPECT_EQ(next_line(true, 7, both).end, 1);
    // The file keeps the bytes: an ascii pass after the EBCDIC one is unchanged.
    EXPECT_EQ(next_line(true, ascii, both).text, ".....");
}

// ---- the command-line host ---------------------------------------------------

TEST_F(Follow, CommandLineFollowsAConversation)
{
    const std::string cli = WSB_CLI;
    std::string out = run_command(cli + " follow tcp " + captures + "/three_http_streams.pcap 2 2>&1");
    std::vector<std::string> lines = split_lines(out);
    ASSERT_GE(lines.size(), 4u) << out;
    EXPECT_EQ(lines[2].rfind("Entire conversation (", 0), 0u) << out;
    EXPECT_NE(lines[0].find(" --> "), std::string::npos);

    TcpConversation c = five_turns();
    std::string path = write_capture("c.pcap", c.writer);
    out = run_command(cli + " follow tcp " + path + " 4 --format hexdump --direction server 2>&1");
    EXPECT_EQ(out,
              "10.0.0.1:40000 --> 10.0.0.2:80 (2 bytes)\n"
              "10.0.0.2:80 --> 10.0.0.1:40000 (3 bytes)\n"
              "Entire conversation (5 bytes)\n"
              "00000000  62" + std::string(47, ' ') + "b\n\n"
              "00000001  64" + std::string(47, ' ') + "d\n\n"
              "00000002  65" + std::string(47, ' ') + "e\n\n");
    out = run_command(cli + " follow udp " + captures + "/dns_udp.pcap 1 --format carray --direction client 2>&1");
    EXPECT_NE(out.find("char peer0_0[] = {"), std::string::npos) << out;
    EXPECT_EQ(out.find("peer1"), std::string::npos) << out;

    EXPECT_EQ(system((cli + " follow tcp " + path + " 4 --format octal >/dev/null 2>&1").c_str()) >> 8, 2);
    EXPECT_EQ(system((cli + " follow sctp " + path + " 4 >/dev/null 2>&1").c_str()) >> 8, 2);
    EXPECT_EQ(system((cli + " follow udp " + path + " 4 >/dev/null 2>&1").c_str()) >> 8, 1);
}
