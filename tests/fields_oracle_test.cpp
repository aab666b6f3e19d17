// SPDX-License-Identifier: GPL-2.0-or-later
// Matched fields, payload offsets and field values against tshark of the
// same engine, with the same preferences switched off, through the public
// interface the way a host does, and the command-line host's fields command.
//
// For every packet of every shared capture the first occurrence of a set of
// registered fields (every type a getter accepts, and several that all of
// them refuse) is compared with `tshark -T fields -E occurrence=f`, through
// the typed getters and, for fields of every type, through the value's text;
// tree items' texts are compared with it too; on the
// shared captures but the largest, the position and size of each first
// occurrence and the transport and IPv4 payload offsets are compared with
// `tshark -T pdml`.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
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
using wsbtest::split;

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
