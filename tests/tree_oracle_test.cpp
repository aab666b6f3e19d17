// SPDX-License-Identifier: GPL-2.0-or-later
// The flattened protocol tree against tshark of the same engine, through the
// public interface the way a host does.
//
// For every packet of several shared captures, the library's records are
// compared node for node with `tshark -T pdml` (order, nesting depth, field
// name, position and size) and with `tshark -V` (the label as the tree shows
// it, generated items in square brackets). Both outputs leave hidden items
// out (PDML marks them hide="yes"). Trees of packets asked for with fewer
// captured bytes than they have, and labels cut to the record's size, are
// compared with tshark's too.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "pcap_writer.h"
#include "test_support.h"
#include "tree_support.h"
#include "wsbridge.h"

using namespace wsbtree;

namespace {

// The preferences the library switches off at start-up, switched off for
// tshark too.
const char tshark_preferences[] = " " WSB_TSHARK_PREFERENCES;  // lib/engine/preference_overrides.txt

// ---------------------------------------------------------------- PDML side

struct oracle_node {
    int depth = 0;
    std::string name;      // PDML name; "" for the engine's text-only items
    bool has_position = false;
    int position = 0;
    int size = 0;
    std::string showname;  // showname, or show for text-only items
    std::string label;     // the line of tshark -V (brackets included)
    bool data_protocol = false;  // <field name="data"> standing for the Data protocol
};

std::string unescape_xml(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out += text[i];
            continue;
        }
        size_t end = text.find(';', i);
        std::string entity = text.substr(i + 1, end - i - 1);
        i = end;
        if (entity == "amp") out += '&';
        else if (entity == "lt") out += '<';
        else if (entity == "gt") out += '>';
        else if (entity == "quot") out += '"';
        else if (entity == "apos") out += '\'';
        else if (entity[0] == '#') {
            unsigned long code = entity[1] == 'x' ? strtoul(entity.c_str() + 2, nullptr, 16)
                                                  : strtoul(entity.c_str() + 1, nullptr, 10);
            // UTF-8 encoding of the code point.
            if (code < 0x80) {
                out += static_cast<char>(code);
            } else if (code < 0x800) {
                out += static_cast<char>(0xc0 | (code >> 6));
                out += static_cast<char>(0x80 | (code & 0x3f));
            } else if (code < 0x10000) {
                out += static_cast<char>(0xe0 | (code >> 12));
                out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
                out += static_cast<char>(0x80 | (code & 0x3f));
            } else {
                out += static_cast<char>(0xf0 | (code >> 18));
                out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
                out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
                out += static_cast<char>(0x80 | (code & 0x3f));
            }
        }
    }
    return out;
}

// Attributes of one tag (the text between '<' and '>').
std::map<std::string, std::string> tag_attributes(const std::string &tag)
{
    std::map<std::string, std::string> attributes;
    size_t i = tag.find(' ');
    while (i != std::string::npos && i < tag.size()) {
        size_t equals = tag.find("=\"", i);
        if (equals == std::string::npos)
            break;
        size_t name_start = tag.find_first_not_of(' ', i);
        std::string name = tag.substr(name_start, equals - name_start);
        size_t close = tag.find('"', equals + 2);
        attributes[name] = unescape_xml(tag.substr(equals + 2, close - equals - 2));
        i = close + 1;
    }
    return attributes;
}

// Items PDML shows without hide="yes" below a hidden item: the tree leaves
// them out with their hidden ancestor.
int pdml_visible_below_hidden;

// The visible nodes of each packet, in document order. The pseudo-protocol
// "geninfo" (PDML's summary of the frame) has no item in the tree and is
// skipped; "fake-field-wrapper" only wraps top-level items that are not
// protocols (the Data protocol) and is transparent.
std::vector<std::vector<oracle_node>> parse_pdml(const std::string &pdml)
{
    std::vector<std::vector<oracle_node>> packets;
    struct open_element {
        bool counted;   // produced a node (its children are one level deeper)
        bool skipped;   // hidden or pseudo: everything below is skipped
        bool hidden;    // hidden itself or below a hidden item
    };
    std::vector<open_element> stack;
    int depth = 0;
    size_t i = 0;
    while ((i = pdml.find('<', i)) != std::string::npos) {
        size_t end = pdml.find('>', i);
        // Attribute values never hold a raw '>' ... except when escaped, which
        // PDML always does, so the next '>' closes the tag.
        std::string tag = pdml.substr(i + 1, end - i - 1);
        i = end + 1;
        if (tag.rfind("packet", 0) == 0) {
            packets.emplace_back();
            stack.clear();
            depth = 0;
            continue;
        }
        if (tag == "/proto" || tag == "/field") {
            open_element element = stack.back();
            stack.pop_back();
            if (element.counted)
                --depth;
            continue;
        }
        bool is_proto = tag.rfind("proto ", 0) == 0;
        bool is_field = tag.rfind("field ", 0) == 0;
        if (!is_proto && !is_field)
            continue;
        bool self_closing = !tag.empty() && tag.back() == '/';
        if (self_closing)
            tag.pop_back();
        auto attributes = tag_attributes(tag);
        bool inside_skipped = !stack.empty() && stack.back().skipped;
        bool inside_hidden = !stack.empty() && stack.back().hidden;
        open_element element{false, inside_skipped, inside_hidden || attributes.count("hide") > 0};
        const std::string &name = attributes["name"];
        if (inside_hidden && !attributes.count("hide"))
            ++pdml_visible_below_hidden;
        if (!inside_skipped) {
            if (is_proto && name == "geninfo")
                element.skipped = true;
            else if (attributes.count("hide"))
                element.skipped = true;
            else if (is_proto && name == "fake-field-wrapper")
                element.counted = false;
            else {
                oracle_node node;
                node.depth = depth;
                node.name = name;
                node.data_protocol = is_field && name == "data" && !attributes.count("showname") &&
                                     !attributes.count("pos");
                node.has_position = attributes.count("pos") > 0;
                if (node.has_position) {
                    node.position = atoi(attributes["pos"].c_str());
                    node.size = atoi(attributes["size"].c_str());
                }
                node.showname = attributes.count("showname") ? attributes["showname"] : attributes["show"];
                packets.back().push_back(node);
                element.counted = true;
                ++depth;
            }
        }
        if (self_closing) {
            if (element.counted)
                --depth;
        } else {
            stack.push_back(element);
        }
    }
    return packets;
}

// The lines of tshark -V for each packet.
std::vector<std::vector<std::string>> parse_verbose(const std::string &text)
{
    static const std::regex hex_dump_line("^[0-9a-f]{4}  [0-9a-f]{2}( [0-9a-f]{2})* ");
    std::vector<std::vector<std::string>> packets;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Frame ", 0) == 0)
            packets.emplace_back();
        // tshark -V follows the Data protocol's item with a hex dump of its
        // bytes (after a blank line); the dump is not part of the tree.
        if (line.empty() || packets.empty() || std::regex_search(line, hex_dump_line))
            continue;
        packets.back().push_back(line);
    }
    return packets;
}

// Both oracles of a capture, merged: the -V line of a node is its label after
// four spaces per level of its PDML depth. With two_pass, tshark reads the
// whole capture before it prints, so a tree may name later packets (a
// request's response, a conversation's final state).
std::vector<std::vector<oracle_node>> tshark_trees(const std::string &path, bool two_pass)
{
    std::string options = std::string(tshark_preferences) + (two_pass ? " -2" : "") + " -r '" + path + "'";
    auto pdml = parse_pdml(run_command("tshark -T pdml" + options + " 2>/dev/null"));
    auto verbose = parse_verbose(run_command("tshark -V" + options + " 2>/dev/null"));
    EXPECT_EQ(pdml.size(), verbose.size());
    for (size_t p = 0; p < pdml.size() && p < verbose.size(); ++p) {
        EXPECT_EQ(pdml[p].size(), verbose[p].size()) << "packet " << p + 1;
        for (size_t n = 0; n < pdml[p].size() && n < verbose[p].size(); ++n) {
            const std::string indent(4 * pdml[p][n].depth, ' ');
            const std::string &line = verbose[p][n];
            EXPECT_EQ(line.compare(0, indent.size(), indent), 0) << line;
            pdml[p][n].label = line.substr(indent.size());
        }
    }
    return pdml;
}

// ------------------------------------------------------------- comparison

// Kinds of disagreement that follow from how the library dissects one packet
// on its own rather than in tshark's single pass over the whole file; see
// explained_difference().
struct comparison_counts {
    int nodes = 0;       // records compared
    int identical = 0;   // equal in everything compared
    int rebased = 0;     // of these, at a position PDML rebases (pdml_position)
    std::map<std::string, int> explained;  // class -> records
    std::vector<std::string> unexplained;
};

// The engine's text-only items (labels without a registered field of their
// own, added with the engine's text-item call) carry the field "text" in
// 4.0; PDML names them "".
const char text_item_abbrev[] = "text";

// Returns the class of an expected difference, or "" when the difference is
// not explained.
//
// The library re-reads a packet by its offset: the sequential running state
// (reference and previous frame) is the one the host's own sequential reading
// left, not tshark's. In these comparisons the capture has been opened afresh
// and its packets are only read by offset, in order, so the engine's
// conversation state grows exactly as in tshark's single pass, but the frame
// has no previous captured or displayed frame and no reference frame: the
// three frame-relative times read 0 (frame.time_delta,
// frame.time_delta_displayed, frame.time_relative).
std::string explained_difference(const oracle_node &oracle, const TreeNode &ours)
{
    static const std::set<std::string> frame_times = {"frame.time_delta", "frame.time_delta_displayed",
                                                      "frame.time_relative"};
    static const std::string zero_seconds = ": 0.000000000 seconds]";
    const std::string label = ours.label;
    if (frame_times.count(ours.field_abbrev) && oracle.name == ours.field_abbrev &&
        oracle.position == ours.start && oracle.size == ours.length && label.size() > zero_seconds.size() &&
        label.compare(label.size() - zero_seconds.size(), zero_seconds.size(), zero_seconds) == 0 &&
        oracle.label.compare(0, label.size() - zero_seconds.size() + 1, label, 0,
                             label.size() - zero_seconds.size() + 1) == 0)
        return "frame-relative times";
    return "";
}

std::string describe(const oracle_node &oracle, const node_copy &ours)
{
    std::ostringstream out;
    out << "  tshark: depth " << oracle.depth << " '" << oracle.name << "' [" << oracle.position << ", " << oracle.size
        << "] " << oracle.label << "\n  ours:   depth " << ours.depth << " '" << ours.record.field_abbrev << "' ["
        << ours.record.start << ", " << ours.record.length << "] " << ours.record.label;
    return out.str();
}

// PDML writes the position of an item that starts before its parent as the
// parent's start plus the item's own start. Items added without bytes of
// their own (expert infos, TCP's conversation completeness) start at 0, so
// PDML shows them at their parent's start; the record keeps the item's own
// start, as the engine has it.
int pdml_position(const std::vector<node_copy> &ours, size_t n, bool *rebased)
{
    const TreeNode &r = ours[n].record;
    *rebased = false;
    if (r.parent_index > 0) {
        const TreeNode &parent = ours[r.parent_index - 1].record;
        if (r.start < parent.start) {
            *rebased = true;
            return parent.start + r.start;
        }
    }
    return r.start;
}

bool same_node(const oracle_node &oracle, const std::vector<node_copy> &ours, size_t n, bool *rebased)
{
    const TreeNode &r = ours[n].record;
    *rebased = false;
    if (oracle.depth != ours[n].depth)
        return false;
    std::string expected_abbrev = oracle.name.empty() ? text_item_abbrev : oracle.name;
    if (expected_abbrev != r.field_abbrev)
        return false;
    if (oracle.has_position && (oracle.position != pdml_position(ours, n, rebased) || oracle.size != r.length))
        return false;
    // The record keeps at most 239 characters of the label (a cut generated
    // label also loses its closing bracket, and never ends in half a UTF-8
    // character).
    std::string label = r.label;
    if (oracle.label.size() >= sizeof r.label)
        return label.size() + 3 >= sizeof r.label - 1 && oracle.label.compare(0, label.size(), label) == 0;
    return oracle.label == label;
}

// How the packets reach the tree calls.
enum class access_pattern {
    // The host's usual way: read the capture in sequence, then build trees
    // from the summaries. Each tree comes from the packet's own frame, so it
    // must equal tshark's in every record, times included.
    after_sequential_reading,
    // Locators from a first pass, then the capture opened afresh and every
    // packet read by offset only, in order: each packet is dissected once in
    // the new session, as a first visit, as in tshark's single pass, but
    // with no earlier frame to measure times against.
    offsets_only,
    // Read in sequence with the engine's per-capture state discarded
    // (gHackedCleanup) after the first packet: the packets read afterwards
    // are re-read as the frames they were, so their trees equal tshark's
    // second pass when the first packet belongs to no later conversation.
    after_hacked_cleanup,
};

comparison_counts compare_capture(const std::string &name,
                                  access_pattern pattern = access_pattern::after_sequential_reading)
{
    const std::string path = name[0] == '/' ? name : captures + "/" + name;
    comparison_counts counts;
    // After sequential reading each packet is re-dissected with what the
    // engine learnt of the whole capture, as in tshark's second pass.
    auto oracle = tshark_trees(path, pattern != access_pattern::offsets_only);
    std::vector<PacketSummary> summaries;
    if (pattern == access_pattern::after_hacked_cleanup) {
        EXPECT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
        PacketSummary summary;
        while (gGetNextPacket(&summary) == 0) {
            summaries.push_back(summary);
            if (summaries.size() == 1)
                gHackedCleanup();
        }
    } else {
        summaries = read_all(path);
    }
    EXPECT_EQ(summaries.size(), oracle.size());
    if (pattern == access_pattern::offsets_only) {
        EXPECT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    }
    for (size_t p = 0; p < summaries.size() && p < oracle.size(); ++p) {
        EXPECT_EQ(build_tree(summaries[p]), 0) << last_error();
        auto ours = copy_tree();
        const auto &theirs = oracle[p];
        EXPECT_EQ(ours.size(), theirs.size()) << name << " packet " << p + 1;
        size_t n = 0;
        for (; n < ours.size() && n < theirs.size(); ++n) {
            ++counts.nodes;
            bool rebased = false;
            if (same_node(theirs[n], ours, n, &rebased)) {
                ++counts.identical;
                counts.rebased += rebased;
                continue;
            }
            std::string kind = explained_difference(theirs[n], ours[n].record);
            if (!kind.empty())
                ++counts.explained[kind];
            else
                counts.unexplained.push_back(name + " packet " + std::to_string(p + 1) + " node " +
                                             std::to_string(n) + ":\n" + describe(theirs[n], ours[n]));
        }
        for (; n < ours.size() || n < theirs.size(); ++n)
            counts.unexplained.push_back(name + " packet " + std::to_string(p + 1) + ": node counts differ");
    }
    gFreePacketProtocolTree();
    EXPECT_EQ(gCloseCapture(), 0);
    return counts;
}

void expect_oracle_agreement(const std::string &name,
                             access_pattern pattern = access_pattern::after_sequential_reading)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    comparison_counts counts = compare_capture(name, pattern);
    std::cout << name << ": " << counts.nodes << " records, " << counts.identical << " identical (" << counts.rebased
              << " at a rebased PDML position)";
    for (const auto &entry : counts.explained)
        std::cout << ", " << entry.second << " " << entry.first;
    std::cout << ", " << counts.unexplained.size() << " unexplained; " << pdml_visible_below_hidden
              << " items below hidden ones left out\n";
    for (size_t i = 0; i < counts.unexplained.size() && i < 20; ++i)
        ADD_FAILURE() << counts.unexplained[i];
    EXPECT_GT(counts.nodes, 0);
    EXPECT_EQ(counts.unexplained.size(), 0u);
    if (pattern != access_pattern::offsets_only) {
        EXPECT_TRUE(counts.explained.empty()) << "every record must agree, frame times included";
    }
    gCleanupEpan();
}

}  // namespace

// ---------------------------------------------------------------- oracle

TEST(TreeOracle, DnsUdp) { expect_oracle_agreement("dns_udp.pcap"); }
TEST(TreeOracle, OneTcpStream) { expect_oracle_agreement("one_tcp_stream.pcap"); }
TEST(TreeOracle, Icmpv6) { expect_oracle_agreement("icmpv6.pcap"); }
TEST(TreeOracle, HttpXml) { expect_oracle_agreement("ipv4_tcp_http_xml.pcap"); }
TEST(TreeOracle, Vlan) { expect_oracle_agreement("VlanPackets.pcap"); }
TEST(TreeOracle, Bgp4ByteAsn) { expect_oracle_agreement("bgp-4byte-asn.pcap"); }
TEST(TreeOracle, Whois) { expect_oracle_agreement("whois.pcap"); }
TEST(TreeOracle, Babel) { expect_oracle_agreement("babel.pcap"); }
TEST(TreeOracle, OffsetsOnlyInAFreshSession)
{
    expect_oracle_agreement("one_tcp_stream.pcap", access_pattern::offsets_only);
}
// A datagram, then a TCP conversation that starts after the hacked cleanup.
TEST(TreeOracle, RereadsAfterTheHackedCleanup)
{
    const pcapw::Mac a = pcapw::mac("02:00:00:00:00:0a"), b = pcapw::mac("02:00:00:00:00:0b");
    const pcapw::Ip4 ip_a = pcapw::ip4("10.0.0.1"), ip_b = pcapw::ip4("10.0.0.2");
    using namespace pcapw::tcpflag;
    pcapw::PcapWriter writer;
    uint32_t second = 1700000000;
    auto from_a = [&](uint32_t seq, uint32_t ack, uint8_t flags, const std::string &text) {
        writer.add(second++, 250000, pcapw::eth_ipv4_tcp(b, a, ip_a, ip_b, 40000, 80, seq, ack, flags,
                                                         pcapw::to_bytes(text)));
    };
    auto from_b = [&](uint32_t seq, uint32_t ack, uint8_t flags, const std::string &text) {
        writer.add(second++, 500000, pcapw::eth_ipv4_tcp(a, b, ip_b, ip_a, 80, 40000, seq, ack, flags,
                                                         pcapw::to_bytes(text)));
    };
    writer.add(second++, 0,
               pcapw::eth_ipv4_udp(b, a, pcapw::ip4("10.0.0.9"), pcapw::ip4("10.0.0.8"), 5000, 5001,
                                   pcapw::to_bytes("hello")));
    from_a(1000, 0, SYN, "");
    from_b(5000, 1001, SYN | ACK, "");
    from_a(1001, 5001, ACK, "");
    from_a(1001, 5001, PSH | ACK, "GET");
    from_b(5001, 1004, PSH | ACK, "OK!");
    from_a(1004, 5004, ACK, "");
    const std::string path = temp_path("hacked.pcap");
    const remove_on_exit cleanup{path};
    writer.write(path);
    expect_oracle_agreement(path, access_pattern::after_hacked_cleanup);
}

// Geneve marks its option flags hidden but not the reserved bits below them:
// both are left out, here as in tshark.
TEST(TreeOracle, GeneveHiddenItemsWithVisibleChildren)
{
    expect_oracle_agreement("geneve.pcap");
    EXPECT_GT(pdml_visible_below_hidden, 0);
}

// ------------------------------------------------------------ exact cases

TEST(TreeRandomAccess, DissectsExactlyTheCapturedLengthAskedFor)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    sample_capture sample = write_sample("caplen.pcap");
    const remove_on_exit cleanup{sample.path};
    auto summaries = read_all(sample.path);
    const PacketSummary &s = summaries[0];
    const int32_t stored = static_cast<int32_t>(s.captured_length);
    ASSERT_GT(stored, 40);

    // More than the record holds: refused.
    int32_t length = 7;
    const uint8_t *bytes = nullptr;
    EXPECT_EQ(gBuildPacketProtocolTree(&length, &bytes, 1, s.file_offset, stored + 1, s.packet_length,
                                       s.encapsulation),
              1);
    EXPECT_NE(last_error().find("holds " + std::to_string(stored) + " captured bytes"), std::string::npos)
        << last_error();
    EXPECT_EQ(length, 0);
    EXPECT_EQ(bytes, nullptr);
    EXPECT_EQ(gGetPacketAtOffset(nullptr, 1, s.file_offset, stored + 1, s.packet_length, s.encapsulation), 1);

    // Negative: refused.
    EXPECT_EQ(gBuildPacketProtocolTree(&length, &bytes, 1, s.file_offset, -1, s.packet_length, s.encapsulation), 1);
    EXPECT_NE(last_error().find("negative"), std::string::npos) << last_error();
    EXPECT_EQ(length, 0);
    EXPECT_EQ(gGetPacketAtOffset(nullptr, 1, s.file_offset, -1, s.packet_length, s.encapsulation), 1);

    // Fewer: exactly that many bytes are dissected and handed out.
    ASSERT_EQ(gBuildPacketProtocolTree(&length, &bytes, 1, s.file_offset, 40, s.packet_length, s.encapsulation), 0)
        << last_error();
    ASSERT_EQ(length, 40);
    std::vector<uint8_t> expected = stored_bytes(sample, 0);
    expected.resize(40);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + length), expected);
    auto nodes = copy_tree();
    ASSERT_FALSE(nodes.empty());
    EXPECT_EQ(std::string(nodes[0].record.label),
              "Frame 1: " + std::to_string(s.packet_length) + " bytes on wire (" +
                  std::to_string(s.packet_length * 8) + " bits), 40 bytes captured (320 bits)");
    EXPECT_EQ(nodes[0].record.length, 40);
    for (const node_copy &n : nodes)
        EXPECT_LE(n.record.start + n.record.length, 40) << n.record.label;

    // The same tree as tshark shows for a file whose record holds only those
    // 40 bytes (the first packet: every frame-relative time is 0 for both).
    pcapw::PcapWriter cut_writer;
    const pcapw::Bytes &frame = sample.frames[0];
    cut_writer.add(sample_first_second, 0, 40, static_cast<uint32_t>(frame.size()),
                   pcapw::Bytes(frame.begin(), frame.begin() + 40));
    const std::string cut_path = temp_path("caplen_cut.pcap");
    const remove_on_exit cut_cleanup{cut_path};
    cut_writer.write(cut_path);
    auto oracle = tshark_trees(cut_path, false);
    ASSERT_EQ(oracle.size(), 1u);
    ASSERT_EQ(oracle[0].size(), nodes.size());
    for (size_t n = 0; n < nodes.size(); ++n) {
        bool rebased = false;
        EXPECT_TRUE(same_node(oracle[0][n], nodes, n, &rebased)) << describe(oracle[0][n], nodes[n]);
    }
    EXPECT_NE(find_abbrev(nodes, "_ws.short"), nullptr);  // "Packet size limited during capture"
    gCloseCapture();
    gCleanupEpan();
}

TEST(TreeNodes, CutsLongLabelsTo239Characters)
{
    using namespace pcapw;
    const std::string path = temp_path("long.pcap");
    const remove_on_exit cleanup{path};
    const std::string request = "GET /" + std::string(300, 'a') + " HTTP/1.1\r\nHost: example.com\r\n\r\n";
    PcapWriter writer;
    writer.add(1, 0, eth_ipv4_tcp(mac("02:00:00:00:00:0b"), mac("02:00:00:00:00:0a"), ip4("10.0.0.1"),
                                  ip4("10.0.0.2"), 40000, 80, 1, 1, tcpflag::ACK | tcpflag::PSH, to_bytes(request)));
    writer.write(path);
    auto oracle = tshark_trees(path, false);
    ASSERT_EQ(oracle.size(), 1u);
    std::map<std::string, std::string> shownames;
    for (const oracle_node &n : oracle[0])
        shownames[n.name] = n.showname;
    // The engine cuts these labels itself, to at most 239 characters.
    const std::string uri = shownames["http.request.uri"];
    const std::string full_uri = shownames["http.request.full_uri"];
    ASSERT_GT(uri.size(), 200u) << uri;
    ASSERT_GE(full_uri.size(), 238u) << full_uri;

    ASSERT_EQ(gInitEpan(), 0) << last_error();
    auto summaries = read_all(path);
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    ASSERT_EQ(build_tree(summaries[0]), 0) << last_error();
    auto nodes = copy_tree();
    const node_copy *plain = find_abbrev(nodes, "http.request.uri");
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->record.label, uri);
    // Generated: the bracket and the first 238 characters of the text.
    const node_copy *generated = find_abbrev(nodes, "http.request.full_uri");
    ASSERT_NE(generated, nullptr);
    EXPECT_EQ(generated->record.label, "[" + full_uri.substr(0, 238));
    EXPECT_EQ(strlen(generated->record.label), 239u);
    gCloseCapture();
    gCleanupEpan();
}
