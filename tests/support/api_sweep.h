/* SPDX-License-Identifier: GPL-2.0-or-later */
// Drives an open capture through the whole public interface the way a
// careless but legal host would, and collects every answer that breaks the
// interface's promises: a status outside the call's set, a failure without
// a fresh message, texts that are not terminated or whose size is wrong,
// records that do not fit together, streams that never end. Shared by the
// corpus test and the fuzzing harness; it needs only the public header.
#pragma once

#include <dirent.h>

#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "wsbridge.h"
#include "locator.h"

namespace wsbsweep {

// A broad set of fields of many types (unsigned and signed integers of each
// width, booleans, addresses, strings, bytes, times, protocols, frame
// numbers, OIDs), filed under groups by layer. Every name exists in the
// 4.0 engine.
struct sweep_field {
    const char *group;
    const char *name;
};

inline const std::vector<sweep_field> &sweep_fields_list()
{
    static const std::vector<sweep_field> list = {
        {"SWEEP_LINK", "frame"},           {"SWEEP_LINK", "frame.len"},
        {"SWEEP_LINK", "frame.time"},      {"SWEEP_LINK", "frame.time_delta"},
        {"SWEEP_LINK", "frame.encap_type"}, {"SWEEP_LINK", "frame.protocols"},
        {"SWEEP_LINK", "eth"},             {"SWEEP_LINK", "eth.src"},
        {"SWEEP_LINK", "eth.dst"},         {"SWEEP_LINK", "eth.addr.oui"},
        {"SWEEP_LINK", "eth.ig"},          {"SWEEP_LINK", "sll.src.eth"},
        {"SWEEP_LINK", "vlan.id"},         {"SWEEP_LINK", "arp.src.hw_mac"},
        {"SWEEP_LINK", "wlan.rm.tx_power"},
        {"SWEEP_NET", "ip"},               {"SWEEP_NET", "ip.src"},
        {"SWEEP_NET", "ip.dst"},           {"SWEEP_NET", "ip.ttl"},
        {"SWEEP_NET", "ip.checksum"},      {"SWEEP_NET", "ip.flags.df"},
        {"SWEEP_NET", "ip.host"},          {"SWEEP_NET", "ipv6"},
        {"SWEEP_NET", "ipv6.src"},         {"SWEEP_NET", "ipv6.flow"},
        {"SWEEP_NET", "icmp.type"},        {"SWEEP_NET", "icmp.resptime"},
        {"SWEEP_NET", "icmpv6.type"},
        {"SWEEP_TRANSPORT", "tcp"},        {"SWEEP_TRANSPORT", "tcp.seq"},
        {"SWEEP_TRANSPORT", "tcp.ack"},    {"SWEEP_TRANSPORT", "tcp.flags.syn"},
        {"SWEEP_TRANSPORT", "tcp.window_size_scalefactor"},
        {"SWEEP_TRANSPORT", "tcp.options"}, {"SWEEP_TRANSPORT", "tcp.payload"},
        {"SWEEP_TRANSPORT", "tcp.analysis"}, {"SWEEP_TRANSPORT", "tcp.analysis.acks_frame"},
        {"SWEEP_TRANSPORT", "udp"},        {"SWEEP_TRANSPORT", "udp.length"},
        {"SWEEP_TRANSPORT", "udp.payload"}, {"SWEEP_TRANSPORT", "mptcp.ack"},
        {"SWEEP_APP", "data.data"},        {"SWEEP_APP", "data.len"},
        {"SWEEP_APP", "dns.qry.name"},     {"SWEEP_APP", "dns.a"},
        {"SWEEP_APP", "dns.aaaa"},         {"SWEEP_APP", "dns.resp.ttl"},
        {"SWEEP_APP", "dns.response_to"},  {"SWEEP_APP", "http.request.uri"},
        {"SWEEP_APP", "http.host"},        {"SWEEP_APP", "cdp.software_version"},
        {"SWEEP_APP", "resp.integer"},     {"SWEEP_APP", "resp.bulk_string.length"},
        {"SWEEP_APP", "x509af.algorithm.id"}, {"SWEEP_APP", "tls.handshake.random_time"},
        {"SWEEP_APP", "openflow_v4.oxm.field"}, {"SWEEP_APP", "bgp.type"},
        {"SWEEP_APP", "ssh.protocol"},     {"SWEEP_APP", "isakmp.ispi"},
        {"SWEEP_APP", "png.chrm.blue.x"},  {"SWEEP_APP", "ntp.precision"},
    };
    return list;
}

// The default groups of the library and the sweep's own.
inline const std::vector<std::string> &group_names()
{
    static const std::vector<std::string> names = {"IP",        "TCP",       "UDP",
                                                   "SWEEP_LINK", "SWEEP_NET", "SWEEP_TRANSPORT",
                                                   "SWEEP_APP"};
    return names;
}

// Registers the field set (after gInitEpan) and looks up every id. False with
// the reason in *problem.
inline bool register_fields(std::string *problem)
{
    for (const sweep_field &entry : sweep_fields_list()) {
        if (gRegisterProtocolFieldFilter(entry.name, entry.group) != 0) {
            *problem = std::string("registering ") + entry.name + ": " + gGetLastError();
            return false;
        }
    }
    for (const sweep_field &entry : sweep_fields_list()) {
        int32_t id = -1, type = -1;
        if (gGetProtocolFieldFilterInfo(entry.name, &id, &type) != 0) {
            *problem = std::string("looking up ") + entry.name + ": " + gGetLastError();
            return false;
        }
    }
    return true;
}

using wsbtest::locator;
using wsbtest::locator_of;

struct limits {
    size_t max_packets = SIZE_MAX;        // packets read in sequence
    size_t max_random = SIZE_MAX;         // packets re-read by offset and given a tree
    size_t max_conversations = SIZE_MAX;  // followed conversations per transport
    size_t max_stream_pieces = 200000;    // a stream that hands out more never ends
    std::string save_path;                // empty: nothing is saved
};

struct report {
    size_t packets = 0;
    size_t out_of_memory = 0;
    size_t random_reads = 0;
    size_t trees = 0;
    size_t tree_nodes = 0;
    size_t matched = 0;
    size_t values = 0;
    size_t tcp_follows = 0;
    size_t udp_follows = 0;
    size_t stream_pieces = 0;
    size_t saved = 0;          // written into the plain save file
    size_t saved_tracked = 0;  // written into the file saved with the skip flag
    size_t skipped = 0;
    size_t failures = 0;       // status 1 answers (each with a message)
    std::vector<locator> read;  // the packets read in sequence, in order
    int32_t read_status = -1;  // the status that ended sequential reading
    std::string first_read_error;
    std::vector<std::string> problems;

    void problem(const std::string &text)
    {
        if (problems.size() < 50)
            problems.push_back(text);
    }
};

// A failure of a call is checked for a fresh message: right before the call a
// known failure writes a sentinel text, and a status 1 that leaves it there
// (or leaves the text empty) reports nothing of its own.
inline const char *sentinel_name()
{
    return "wsbsweep.sentinel";
}

inline void arm()
{
    int32_t id, type;
    gGetProtocolFieldFilterInfo(sentinel_name(), &id, &type);
}

inline bool is_sentinel(const char *text)
{
    return strstr(text, sentinel_name()) != nullptr;
}

inline int32_t check(report &r, const char *operation, int32_t status, std::initializer_list<int32_t> allowed)
{
    bool known = false;
    for (int32_t a : allowed)
        known = known || a == status;
    if (!known)
        r.problem(std::string(operation) + " returned the status " + std::to_string(status));
    if (status == 1) {
        ++r.failures;
        const char *text = gGetLastError();
        if (!text || !text[0])
            r.problem(std::string(operation) + " failed with an empty message");
        else if (is_sentinel(text))
            r.problem(std::string(operation) + " failed without writing a message of its own");
        else if (strnlen(text, 4096) > 2048)
            r.problem(std::string(operation) + " wrote a message longer than 2048 characters");
    }
    return status;
}

template <size_t N>
bool terminated(const char (&text)[N])
{
    return memchr(text, '\0', N) != nullptr;
}

inline bool summary_texts_terminated(const PacketSummary &s)
{
    return terminated(s.protocol_text) && terminated(s.info_text) && terminated(s.link_source_text) &&
           terminated(s.link_destination_text) && terminated(s.source_text) && terminated(s.destination_text);
}

// Every getter on the fields of every group, for the packet dissected last.
inline void sweep_fields(report &r)
{
    for (const std::string &group : group_names()) {
        int32_t count = -1;
        const int32_t *ids = nullptr;
        arm();
        if (check(r, "gLastPacketHasPassedFilter", gLastPacketHasPassedFilter(group.c_str(), &count, &ids), {0, 1}) !=
            0)
            continue;
        if (count < 0 || (count == 0) != (ids == nullptr)) {
            r.problem("gLastPacketHasPassedFilter handed out " + std::to_string(count) + " ids at " +
                      (ids ? "an array" : "no array"));
            continue;
        }
        const std::vector<int32_t> matched(ids, ids + count);
        r.matched += matched.size();
        for (int32_t id : matched) {
            int32_t offset, length, type;
            arm();
            check(r, "gGetFieldInfo", gGetFieldInfo(id, &offset, &length, &type), {0, 1});
            arm();
            if (check(r, "gGetFieldInfoEx", gGetFieldInfoEx(id, &offset, &length, &type), {0, 1}) == 0 &&
                (type < WSB_FT_NONE || type > WSB_FT_IEEE_11073_FLOAT))
                r.problem("gGetFieldInfoEx handed out the type code " + std::to_string(type));
            uint64_t u64;
            int32_t i32;
            const char *text = nullptr;
            int32_t size = -1;
            arm();
            r.values += check(r, "gGetUInt64ProtocolFieldValue", gGetUInt64ProtocolFieldValue(&u64, id), {0, 1}) == 0;
            arm();
            r.values += check(r, "gGetInt32ProtocolFieldValue", gGetInt32ProtocolFieldValue(&i32, id), {0, 1}) == 0;
            arm();
            if (check(r, "gGetStringProtocolFieldValue", gGetStringProtocolFieldValue(&text, &size, id), {0, 1}) ==
                0) {
                ++r.values;
                if (!text || size != static_cast<int32_t>(strlen(text) + 1))
                    r.problem("gGetStringProtocolFieldValue handed out a text whose size is not its length + 1");
            }
            arm();
            if (check(r, "gGetFieldValueText", gGetFieldValueText(&text, &size, id), {0, 1}) == 0) {
                ++r.values;
                if (!text || size != static_cast<int32_t>(strlen(text) + 1))
                    r.problem("gGetFieldValueText handed out a text whose size is not its length + 1");
            }
        }
    }
    int32_t offset;
    arm();
    check(r, "gGetTransportProtocolPayloadOffset", gGetTransportProtocolPayloadOffset(&offset), {0, 1});
    arm();
    check(r, "gGetIPv4ProtocolPayloadOffset", gGetIPv4ProtocolPayloadOffset(&offset), {0, 1});
}

// The tree of one packet: every record, and every by-node getter on it.
inline void sweep_tree(report &r, const PacketSummary &s)
{
    const locator l = locator_of(s);
    int32_t length = -1;
    const uint8_t *data = nullptr;
    arm();
    const int32_t status =
        check(r, "gBuildPacketProtocolTree",
              gBuildPacketProtocolTree(&length, &data, l.frame_number, l.file_offset, l.captured_length,
                                       l.packet_length, l.encapsulation),
              {0, 1, 3});
    if (status == 1) {
        if (length != 0)
            r.problem("gBuildPacketProtocolTree failed but handed out a length");
        return;
    }
    if (length != l.captured_length || (length > 0 && !data))
        r.problem("gBuildPacketProtocolTree handed out " + std::to_string(length) + " bytes for a packet of " +
                  std::to_string(l.captured_length));
    if (status != 0)
        return;
    ++r.trees;
    int32_t count = -1;
    arm();
    if (check(r, "gGetProtocolTreeNodesCount", gGetProtocolTreeNodesCount(&count), {0}) != 0 || count < 0)
        return;
    r.tree_nodes += static_cast<size_t>(count);
    for (int32_t position = 0; position < count; ++position) {
        TreeNode node;
        memset(&node, 0x5a, sizeof node);
        arm();
        if (check(r, "gGetTreeNodeByIndex", gGetTreeNodeByIndex(&node, position), {0}) != 0)
            return;
        if (node.index != position + 1 || node.parent_index < -1 || node.parent_index >= node.index ||
            node.parent_index == 0)
            r.problem("tree record " + std::to_string(position) + " has index " + std::to_string(node.index) +
                      " and parent " + std::to_string(node.parent_index));
        if (!terminated(node.field_abbrev) || !terminated(node.field_name) || !terminated(node.label))
            r.problem("tree record " + std::to_string(position) + " holds an unterminated text");
        if (node.field_type < WSB_FT_NONE || node.field_type > WSB_FT_IEEE_11073_FLOAT)
            r.problem("tree record " + std::to_string(position) + " has the type code " +
                      std::to_string(node.field_type));
        uint64_t u64;
        int32_t i32;
        const char *text = nullptr;
        int32_t size = -1;
        arm();
        r.values += check(r, "gGetUInt64ProtocolFieldValueByTreeNode",
                          gGetUInt64ProtocolFieldValueByTreeNode(node.node, &u64), {0, 1}) == 0;
        arm();
        r.values += check(r, "gGetInt32ProtocolFieldValueByTreeNode",
                          gGetInt32ProtocolFieldValueByTreeNode(node.node, &i32), {0, 1}) == 0;
        arm();
        if (check(r, "gGetStringProtocolFieldValueByTreeNode",
                  gGetStringProtocolFieldValueByTreeNode(node.node, &text, &size), {0, 1}) == 0) {
            ++r.values;
            if (!text || size != static_cast<int32_t>(strlen(text) + 1))
                r.problem("gGetStringProtocolFieldValueByTreeNode handed out a text whose size is not its "
                          "length + 1");
        }
        arm();
        if (check(r, "gGetFieldValueTextByTreeNode", gGetFieldValueTextByTreeNode(node.node, &text, &size), {0, 1}) ==
            0) {
            ++r.values;
            if (!text || size != static_cast<int32_t>(strlen(text) + 1))
                r.problem("gGetFieldValueTextByTreeNode handed out a text whose size is not its length + 1");
        }
    }
    TreeNode beyond;
    arm();
    if (check(r, "gGetTreeNodeByIndex", gGetTreeNodeByIndex(&beyond, count), {1}) == 1 &&
        strcmp(gGetLastError(), "Error reading tree node: Index out of range.") != 0)
        r.problem(std::string("gGetTreeNodeByIndex past the end said: ") + gGetLastError());
}

// The render formats and direction filters a stream is read with, one pass
// each, including values the interface does not name.
inline const std::vector<std::pair<int32_t, int32_t>> &read_passes()
{
    static const std::vector<std::pair<int32_t, int32_t>> passes = {{0, 2}, {1, 0}, {2, 2}, {3, 1}, {2, 7}, {-4, 2}};
    return passes;
}

inline void check_descriptions(report &r, const char *operation, const char *server, int32_t server_size,
                               const char *client, int32_t client_size, const char *conversation,
                               int32_t conversation_size)
{
    if (!server || !client || !conversation || server_size != static_cast<int32_t>(strlen(server) + 1) ||
        client_size != static_cast<int32_t>(strlen(client) + 1) ||
        conversation_size != static_cast<int32_t>(strlen(conversation) + 1))
        r.problem(std::string(operation) + " handed out descriptions whose sizes do not fit");
}

// Reads a checked stream once per pass until its end. The TCP call clears
// the end flag itself (it is set to 5 before each call to see that); the UDP
// call leaves that to the host.
template <typename Next>
void read_stream(report &r, const char *operation, bool library_clears_end, size_t max_pieces, Next next)
{
    for (const auto &[format, direction] : read_passes()) {
        size_t pieces = 0;
        for (;;) {
            const char *text = nullptr;
            uint32_t size = 7;
            uint8_t is_server = 9;
            uint8_t end = library_clears_end ? 5 : 0;
            arm();
            if (check(r, operation, next(format, direction, &text, &size, &is_server, &end), {0}) != 0)
                return;
            if (end == 1)
                break;
            if (end != 0) {
                r.problem(std::string(operation) + " left the end flag at " + std::to_string(end));
                return;
            }
            if (!text || size != strlen(text) + 1 || is_server > 1) {
                r.problem(std::string(operation) + " handed out a piece whose text, size or sender is wrong");
                return;
            }
            ++r.stream_pieces;
            if (++pieces > max_pieces) {
                r.problem(std::string(operation) + " never reaches the end of the stream");
                return;
            }
        }
    }
}

inline void follow_tcp(report &r, const std::vector<locator> &packets, size_t max_pieces)
{
    const locator &first = packets.front();
    arm();
    if (check(r, "gFollowTCPStreamForPacket",
              gFollowTCPStreamForPacket(first.frame_number, first.file_offset, first.captured_length,
                                        first.packet_length, first.encapsulation),
              {0, 1}) != 0)
        return;
    ++r.tcp_follows;
    for (const locator &l : packets) {
        arm();
        check(r, "gAddPacketToTCPStream",
              gAddPacketToTCPStream(l.frame_number, l.file_offset, l.captured_length, l.packet_length,
                                    l.encapsulation),
              {0, 1});
    }
    uint8_t valid = 7;
    const char *server = nullptr, *client = nullptr, *conversation = nullptr;
    int32_t server_size = -1, client_size = -1, conversation_size = -1;
    arm();
    const int32_t status = check(r, "gIsValidTcpStrem",
                                 gIsValidTcpStrem(&valid, 0, &server, &server_size, &client, &client_size,
                                                  &conversation, &conversation_size),
                                 {0, 1});
    if (status != 0 || valid != 1) {
        if (valid != 0)
            r.problem("gIsValidTcpStrem left the valid flag at " + std::to_string(valid));
        return;
    }
    check_descriptions(r, "gIsValidTcpStrem", server, server_size, client, client_size, conversation,
                       conversation_size);
    read_stream(r, "gGetNextTCPStreamLine", true, max_pieces,
                [](int32_t format, int32_t direction, const char **text, uint32_t *size, uint8_t *is_server,
                   uint8_t *end) { return gGetNextTCPStreamLine(format, direction, text, size, is_server, end); });
    // A second check finds no collection in progress and keeps the stream.
    arm();
    check(r, "gIsValidTcpStrem (again)",
          gIsValidTcpStrem(&valid, 0, &server, &server_size, &client, &client_size, &conversation,
                           &conversation_size),
          {1});
}

// The conversation of a packet followed in one call, its texts and its raw
// chunks.
inline void follow_conversation(report &r, const locator &first, bool tcp, size_t max_pieces)
{
    arm();
    if (check(r, "gFollowConversation",
              gFollowConversation(tcp ? WSB_FOLLOW_TCP : WSB_FOLLOW_UDP, first.frame_number, first.file_offset,
                                  first.captured_length, first.packet_length, first.encapsulation),
              {0, 1}) != 0)
        return;
    const char *server = nullptr, *client = nullptr, *conversation = nullptr;
    int32_t server_size = -1, client_size = -1, conversation_size = -1;
    arm();
    if (check(r, "gGetFollowTexts",
              gGetFollowTexts(&server, &server_size, &client, &client_size, &conversation, &conversation_size),
              {0}) == 0)
        check_descriptions(r, "gGetFollowTexts", server, server_size, client, client_size, conversation,
                           conversation_size);
    for (size_t pieces = 0;; ++pieces) {
        const char *data = nullptr;
        uint32_t size = 7;
        uint8_t is_server = 9, end = 5;
        arm();
        if (check(r, "gGetNextFollowChunk",
                  gGetNextFollowChunk(WSB_RENDER_RAW, WSB_DIRECTION_BOTH, &data, &size, &is_server, &end), {0}) != 0)
            return;
        if (end == 1)
            return;
        if (end != 0 || !data || is_server > 1 || pieces > max_pieces) {
            r.problem("gGetNextFollowChunk handed out a chunk whose data, sender or end is wrong, or never ends");
            return;
        }
    }
}

inline void follow_udp(report &r, const std::vector<locator> &packets, size_t max_pieces)
{
    const locator &first = packets.front();
    arm();
    if (check(r, "gFollowUDPStreamForPacket",
              gFollowUDPStreamForPacket(first.frame_number, first.file_offset, first.captured_length,
                                        first.packet_length, first.encapsulation),
              {0, 1}) != 0)
        return;
    ++r.udp_follows;
    for (const locator &l : packets) {
        arm();
        check(r, "gAddPacketToUDPStream",
              gAddPacketToUDPStream(l.frame_number, l.file_offset, l.captured_length, l.packet_length,
                                    l.encapsulation),
              {0, 1});
    }
    uint8_t valid = 7;
    const char *server = nullptr, *client = nullptr, *conversation = nullptr;
    int32_t server_size = -1, client_size = -1, conversation_size = -1;
    arm();
    const int32_t status = check(r, "gIsValidUDPStrem",
                                 gIsValidUDPStrem(&valid, &server, &server_size, &client, &client_size,
                                                  &conversation, &conversation_size),
                                 {0, 1});
    if (status != 0 || valid != 1) {
        if (valid != 0)
            r.problem("gIsValidUDPStrem left the valid flag at " + std::to_string(valid));
        return;
    }
    check_descriptions(r, "gIsValidUDPStrem", server, server_size, client, client_size, conversation,
                       conversation_size);
    // The UDP call never clears the end flag itself: the host does.
    read_stream(r, "gGetNextUDPStreamLine", false, max_pieces,
                [](int32_t format, int32_t direction, const char **text, uint32_t *size, uint8_t *is_server,
                   uint8_t *end) { return gGetNextUDPStreamLine(format, direction, text, size, is_server, end); });
}

// One packet per TCP and UDP conversation as the summaries tell them apart:
// port type, and the two endpoints (address text and port) in either order.
using conversation_key = std::tuple<int32_t, std::string, uint16_t, std::string, uint16_t>;

inline conversation_key key_of(const PacketSummary &s)
{
    std::pair<std::string, uint16_t> a{s.source_text, s.source_port}, b{s.destination_text, s.destination_port};
    if (b < a)
        std::swap(a, b);
    return {s.port_type, a.first, a.second, b.first, b.second};
}

// Packet records of a libpcap file the library saved (native byte order, either
// precision, as wiretap writes it), or -1 when the file is not one or is cut short.
inline long count_saved_records(const std::string &path)
{
    FILE *file = fopen(path.c_str(), "rb");
    if (!file)
        return -1;
    uint32_t header[6];
    long records = -1;
    if (fread(header, sizeof header, 1, file) == 1 && (header[0] == 0xa1b2c3d4 || header[0] == 0xa1b23c4d)) {
        records = 0;
        uint32_t record[4];
        for (;;) {
            const size_t got = fread(record, 1, sizeof record, file);
            if (got == 0)
                break;
            if (got != sizeof record || fseek(file, static_cast<long>(record[2]), SEEK_CUR) != 0) {
                records = -1;
                break;
            }
            const long here = ftell(file);
            if (fseek(file, 0, SEEK_END) != 0 || ftell(file) < here) {
                records = -1;
                break;
            }
            fseek(file, here, SEEK_SET);
            ++records;
        }
    }
    fclose(file);
    return records;
}

// Saves every packet into path (skip flags set when tracked is true); the
// number written goes to *written.
inline void save_all(report &r, const std::vector<PacketSummary> &packets, const std::string &path, bool tracked,
                     size_t *written)
{
    arm();
    if (check(r, "gCreateCaptureFileForSave", gCreateCaptureFileForSave(path.c_str()), {0, 1}) != 0)
        return;
    for (const PacketSummary &s : packets) {
        SavePacketRequest request = wsbtest::request_of(s, tracked);
        uint8_t skipped = 9;
        arm();
        if (check(r, "gSavePacketToCaptureFile", gSavePacketToCaptureFile(&skipped, &request), {0, 1}) == 0) {
            if (skipped > 1 || (skipped && !tracked))
                r.problem("gSavePacketToCaptureFile set the skipped flag to " + std::to_string(skipped));
            else if (skipped)
                ++r.skipped;
            else
                ++*written;
        } else if (skipped != 0) {
            r.problem("gSavePacketToCaptureFile failed but left the skipped flag set");
        }
    }
    arm();
    if (check(r, "gCloseCaptureFileForSave", gCloseCaptureFileForSave(), {0, 1}) != 0)
        return;
    // A closed save file is complete: every packet written is in it, whole.
    const long records = count_saved_records(path);
    if (records != static_cast<long>(*written))
        r.problem("the save file " + path + " holds " + std::to_string(records) + " whole records after " +
                  std::to_string(*written) + " packets were written");
}

// Reads the open capture: sequential reading with every field getter after
// each packet, then random access, a tree and the field getters again for
// each packet, every TCP and UDP conversation followed, every packet saved.
// The capture stays open.
inline void sweep_open_capture(report &r, const limits &limits)
{
    std::vector<PacketSummary> packets;
    for (;;) {
        if (packets.size() >= limits.max_packets)
            break;
        PacketSummary s;
        memset(&s, 0x5a, sizeof s);
        arm();
        const int32_t status = check(r, "gGetNextPacket", gGetNextPacket(&s), {0, 1, 2, 3});
        if (status == 0) {
            if (s.frame_number != r.packets + r.out_of_memory + 1)
                r.problem("gGetNextPacket numbered a packet " + std::to_string(s.frame_number) + " after " +
                          std::to_string(r.packets + r.out_of_memory) + " packets");
            if (!summary_texts_terminated(s))
                r.problem("gGetNextPacket wrote an unterminated text into the summary");
            ++r.packets;
            packets.push_back(s);
            r.read.push_back(locator_of(s));
            sweep_fields(r);
            continue;
        }
        if (status == 3) {
            ++r.out_of_memory;
            continue;
        }
        r.read_status = status;
        if (status == 2) {
            arm();
            check(r, "gGetNextPacket after the end", gGetNextPacket(&s), {2});
        } else if (status == 1) {
            r.first_read_error = gGetLastError();
            // A host that goes on reading after an error gets answers, not a crash.
            for (int again = 0; again < 3; ++again) {
                arm();
                if (check(r, "gGetNextPacket after an error", gGetNextPacket(&s), {0, 1, 2, 3}) == 2)
                    break;
            }
        }
        break;
    }

    size_t random = 0;
    for (const PacketSummary &s : packets) {
        if (random++ >= limits.max_random)
            break;
        const locator l = locator_of(s);
        PacketSummary again;
        memset(&again, 0x5a, sizeof again);
        arm();
        const int32_t status = check(r, "gGetPacketAtOffset",
                                     gGetPacketAtOffset(&again, l.frame_number, l.file_offset, l.captured_length,
                                                        l.packet_length, l.encapsulation),
                                     {0, 1, 3});
        if (status == 0) {
            ++r.random_reads;
            if (again.frame_number != s.frame_number || again.file_offset != s.file_offset ||
                again.captured_length != s.captured_length || again.packet_length != s.packet_length)
                r.problem("gGetPacketAtOffset summarised frame " + std::to_string(s.frame_number) +
                          " with another locator");
            // Random access leaves the (seq) texts as the host passed them.
            if (!terminated(again.link_source_text) || !terminated(again.link_destination_text) ||
                !terminated(again.source_text) || !terminated(again.destination_text))
                r.problem("gGetPacketAtOffset wrote an unterminated text into the summary");
            sweep_fields(r);
        }
        sweep_tree(r, s);
        sweep_fields(r);
    }

    std::map<conversation_key, std::vector<locator>> conversations;
    std::vector<conversation_key> order;
    for (const PacketSummary &s : packets) {
        if (s.port_type != WSB_PT_TCP && s.port_type != WSB_PT_UDP)
            continue;
        const conversation_key key = key_of(s);
        auto &list = conversations[key];
        if (list.empty())
            order.push_back(key);
        list.push_back(locator_of(s));
    }
    size_t tcp = 0, udp = 0;
    for (const conversation_key &key : order) {
        const bool is_tcp = std::get<0>(key) == WSB_PT_TCP;
        size_t &done = is_tcp ? tcp : udp;
        if (done++ >= limits.max_conversations)
            continue;
        if (is_tcp)
            follow_tcp(r, conversations[key], limits.max_stream_pieces);
        else
            follow_udp(r, conversations[key], limits.max_stream_pieces);
        follow_conversation(r, conversations[key].back(), is_tcp, limits.max_stream_pieces);
    }

    if (!limits.save_path.empty()) {
        save_all(r, packets, limits.save_path, false, &r.saved);
        save_all(r, packets, limits.save_path + ".tracked", true, &r.saved_tracked);
        // Every packet in one call: as many as the packets saved one by one
        // when reading reached the end.
        int32_t written = -1;
        arm();
        if (check(r, "gSaveFrames",
                  gSaveFrames((limits.save_path + ".frames").c_str(), WSB_SAVE_FORMAT_AS_CAPTURE, nullptr, 0, nullptr,
                              0, &written, nullptr, nullptr),
                  {0, 1}) == 0 &&
            r.read_status == 2 && r.out_of_memory == 0 && written != static_cast<int32_t>(packets.size()))
            r.problem("gSaveFrames wrote " + std::to_string(written) + " packets of " +
                      std::to_string(packets.size()));
    }
}

// Every statistics getter on the tables 0 .. tables - 1 and on numbers that
// name no table: a kind for each table, its own kind's records (null exactly
// when there are none, texts terminated, hierarchy rows after their parents,
// interval rows in order), the getters of the other kinds refused, its text
// terminated with its size.
inline void sweep_statistics(report &r, int32_t tables)
{
    const WsbConversation *conversations = nullptr;
    const WsbEndpoint *endpoints = nullptr;
    const WsbHierarchyRow *rows = nullptr;
    const WsbIntervalRow *intervals = nullptr;
    const char *text = nullptr;
    int32_t count = -1, size = -1, kind = -1, nanoseconds = -1;
    int64_t seconds = -1;
    for (int32_t none : {-1, INT32_MIN, tables, INT32_MAX}) {
        arm();
        check(r, "gGetStatisticsKind (no table)", gGetStatisticsKind(none, &kind), {1});
        arm();
        check(r, "gGetConversations (no table)", gGetConversations(none, &conversations, &count), {1});
        arm();
        check(r, "gGetEndpoints (no table)", gGetEndpoints(none, &endpoints, &count), {1});
        arm();
        check(r, "gGetHierarchy (no table)", gGetHierarchy(none, &rows, &count), {1});
        arm();
        check(r, "gGetIntervals (no table)", gGetIntervals(none, &intervals, &count, &seconds, &nanoseconds), {1});
        arm();
        check(r, "gGetStatisticsText (no table)", gGetStatisticsText(none, &text, &size), {1});
        arm();
        check(r, "gAddConversations (no table)", gAddConversations(none, nullptr, 0), {1});
    }
    for (int32_t table = 0; table < tables; ++table) {
        const std::string which = " of table " + std::to_string(table);
        arm();
        if (check(r, "gGetStatisticsKind", gGetStatisticsKind(table, &kind), {0}) != 0)
            continue;
        if (kind < WSB_STATS_CONVERSATIONS || kind > WSB_STATS_INTERVALS)
            r.problem("gGetStatisticsKind handed out the kind " + std::to_string(kind) + which);
        auto handed_out = [&](const char *operation, int32_t status, int32_t own_kind, const void *records) {
            if ((status == 0) != (kind == own_kind))
                r.problem(std::string(operation) + " answered " + std::to_string(status) + which);
            if (status == 0 && (count < 0 || (count == 0) != (records == nullptr)))
                r.problem(std::string(operation) + " handed out " + std::to_string(count) + " records at " +
                          (records ? "an array" : "no array") + which);
            return status == 0 && count > 0;
        };
        arm();
        int32_t status = check(r, "gGetConversations", gGetConversations(table, &conversations, &count), {0, 1});
        if (handed_out("gGetConversations", status, WSB_STATS_CONVERSATIONS, conversations))
            for (int32_t i = 0; i < count; ++i)
                if (!terminated(conversations[i].address_a) || !terminated(conversations[i].address_b))
                    r.problem("gGetConversations handed out an unterminated address" + which);
        arm();
        status = check(r, "gGetEndpoints", gGetEndpoints(table, &endpoints, &count), {0, 1});
        if (handed_out("gGetEndpoints", status, WSB_STATS_ENDPOINTS, endpoints))
            for (int32_t i = 0; i < count; ++i)
                if (!terminated(endpoints[i].address))
                    r.problem("gGetEndpoints handed out an unterminated address" + which);
        arm();
        status = check(r, "gGetHierarchy", gGetHierarchy(table, &rows, &count), {0, 1});
        if (handed_out("gGetHierarchy", status, WSB_STATS_HIERARCHY, rows))
            for (int32_t i = 0; i < count; ++i)
                if (!terminated(rows[i].protocol) || rows[i].parent < -1 || rows[i].parent >= i ||
                    rows[i].depth != (rows[i].parent < 0 ? 0 : rows[rows[i].parent].depth + 1)) {
                    r.problem("gGetHierarchy handed out row " + std::to_string(i) + " out of order" + which);
                    break;
                }
        arm();
        status = check(r, "gGetIntervals", gGetIntervals(table, &intervals, &count, &seconds, &nanoseconds), {0, 1});
        if (handed_out("gGetIntervals", status, WSB_STATS_INTERVALS, intervals)) {
            if (seconds < 0 || nanoseconds < 0 || nanoseconds > 999999999)
                r.problem("gGetIntervals handed out the elapsed time " + std::to_string(seconds) + " s " +
                          std::to_string(nanoseconds) + " ns" + which);
            for (int32_t i = 0; i < count; ++i)
                if (intervals[i].series < 0 || intervals[i].interval < 0 ||
                    (i > 0 && std::make_pair(intervals[i - 1].series, intervals[i - 1].interval) >=
                                  std::make_pair(intervals[i].series, intervals[i].interval))) {
                    r.problem("gGetIntervals handed out row " + std::to_string(i) + " out of order" + which);
                    break;
                }
        }
        arm();
        if (check(r, "gGetStatisticsText", gGetStatisticsText(table, &text, &size), {0, 1}) == 0 &&
            (!text || size != static_cast<int32_t>(strlen(text) + 1)))
            r.problem("gGetStatisticsText handed out a text whose size is not its length + 1" + which);
    }
}

// Names in a directory other than "." and "..".
inline std::vector<std::string> directory_entries(const std::string &path)
{
    std::vector<std::string> names;
    DIR *dir = opendir(path.c_str());
    if (!dir)
        return names;
    while (const dirent *entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    }
    closedir(dir);
    return names;
}

inline std::string describe(const report &r)
{
    char text[512];
    snprintf(text, sizeof text,
             "%zu packets (read status %d), %zu re-read, %zu trees of %zu records, %zu matched fields, %zu "
             "values, %zu TCP and %zu UDP follows with %zu pieces, %zu + %zu saved (%zu skipped), %zu failures",
             r.packets, r.read_status, r.random_reads, r.trees, r.tree_nodes, r.matched, r.values, r.tcp_follows,
             r.udp_follows, r.stream_pieces, r.saved, r.saved_tracked, r.skipped, r.failures);
    return text;
}

}  // namespace wsbsweep
