// SPDX-License-Identifier: GPL-2.0-or-later
// Every export in every state of the library, called the wrong way: before
// start-up, without a capture, with a capture open, read to its end, closed
// after reading, after shutdown, and the stream calls with no follow, while
// collecting, once collected and while reading. Null out-parameters and null
// texts, out-of-range values, unknown formats and garbage locators get a
// status and a message, never a crash. The engine starts once per process,
// so each state is a test of its own.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "wsbridge.h"
#include "api_sweep.h"
#include "locator.h"
#include "pcap_writer.h"
#include "test_support.h"

using namespace wsbtest;

namespace {

std::string last_error()
{
    return gGetLastError();
}

std::string not_started(const std::string &operation)
{
    return "\"" + operation + "\" operation failed. Wireshark engine is not initialized yet.";
}

std::string shut_down(const std::string &operation)
{
    return "\"" + operation + "\" operation failed. Wireshark engine was already uninitialized.";
}

std::string no_capture(const std::string &operation)
{
    return "\"" + operation + "\" operation failed. A capture file needs to be opened in order to perform this operation.";
}

std::string no_dissection(const std::string &operation)
{
    return "\"" + operation + "\" operation failed. There is no dissected packet: read a packet of an open capture first.";
}

std::string not_matched(int32_t id)
{
    return "Protocol field ID \"" + std::to_string(id) + "\" is not one that passed the filter.\n";
}

const char no_packet_texts[] =
    "\"Get Packet Texts\" operation failed. There is no current packet: read one with gGetNextPacket or "
    "gGetPacketAtOffset (any later call that dissects a packet replaces it).";
const char tcp_idle[] = "Follow TCP structure is not initialized.";
const char udp_idle[] = "Follow UDP structure is not initialized.";
const char tcp_add_idle[] = "Error generating stream info for packet: Temporary stream file has to be opened.";
const char tcp_collecting[] =
    "The TCP stream is still being collected. End the collection with gIsValidTcpStrem before reading the stream.";
const char no_tree[] = "Error reading tree node: The protocols tree is not created.";
const char out_of_range[] = "Error reading tree node: Index out of range.";
const char invalid_node_uint64[] = "Invalid node passed when trying to retrieve protocol field value";
const char invalid_node_int32[] = "Invalid node passed when trying to retrieve protocol Int32 field value";
const char invalid_node_string[] = "Invalid node passed when trying to retrieve protocol string field value";
const char invalid_node_text[] = "Invalid node passed when trying to retrieve protocol field value text";

// Before every checked call a known failure writes a text of its own, so that
// a failure that writes no message is caught even where only "some message"
// is expected.
void prime_error_text()
{
    int32_t id, type;
    gGetProtocolFieldFilterInfo("misuse.sentinel", &id, &type);
}

// A status, and for a failure its message: exactly `message` when one is
// given, otherwise non-empty and not the primed one.
void check_answer(const std::string &what, int32_t got, int32_t status, const std::string &message)
{
    EXPECT_EQ(got, status) << what << ": " << last_error();
    if (got != 1 || status != 1)
        return;
    const std::string text = last_error();
    if (!message.empty()) {
        EXPECT_EQ(text, message) << what;
    } else {
        EXPECT_FALSE(text.empty()) << what;
        EXPECT_EQ(text.find("misuse.sentinel"), std::string::npos) << what << " wrote no message of its own";
    }
    EXPECT_LE(text.size(), 2048u) << what;
}

#define CHECK_ANSWER(call, status, message) check_answer(#call, (prime_error_text(), (call)), status, message)

// The sample capture: 1-2 ARP, 3-4 DNS over UDP/IPv4, 5-6 ICMP, 7-16 an HTTP
// exchange over TCP/IPv4 (10 the request), 17-18 DNS over UDP/IPv6.
struct sample_packets {
    locator arp, udp, tcp;
    std::vector<locator> all;
};

// Reads the whole sample capture (it stays open, read to its end).
sample_packets read_sample()
{
    sample_packets sample{};
    EXPECT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0) << last_error();
    PacketSummary s;
    while (gGetNextPacket(&s) == 0)
        sample.all.push_back(locator_of(s));
    EXPECT_GE(sample.all.size(), 16u);
    if (sample.all.size() >= 16) {
        sample.arp = sample.all[0];
        sample.udp = sample.all[2];
        sample.tcp = sample.all[9];  // the HTTP request
    }
    return sample;
}

// The states as far as the guards tell them apart.
enum class library_state {
    not_started,
    no_capture,       // started, no capture (also: closed after reading)
    open_undissected, // a capture open, no packet dissected (nothing read, or read to its end)
    open_dissected,   // a capture open and a packet dissected
    shut_down,
};

// Which test an export runs before its own checks.
enum class guard { none, two_step, three_step, dissection };

// The answer of a guard in a state, or "" when it passes.
std::string guard_answer(guard kind, const std::string &operation, library_state state)
{
    if (kind == guard::none)
        return "";
    if (state == library_state::not_started)
        return not_started(operation);
    if (state == library_state::shut_down)
        return shut_down(operation);
    if (kind == guard::three_step && state == library_state::no_capture)
        return no_capture(operation);
    if (kind == guard::dissection &&
        (state == library_state::no_capture || state == library_state::open_undissected))
        return no_dissection(operation);
    return "";
}

// One pointer argument of one export given as null: the export's guard, its
// operation name and the message for the null argument.
struct null_case {
    std::string call;
    guard kind;
    std::string operation;
    std::string message;
    std::function<int32_t()> run;
};

std::vector<null_case> null_cases(const locator &p)
{
    static TreeNode node;
    static SavePacketRequest request;
    request = request_of(p);
    static int32_t i32;
    static uint32_t u32;
    static uint64_t u64;
    static uint8_t u8;
    static const char *text;
    static const uint8_t *bytes;
    static const int32_t *ids;
    const std::string tcp_valid = "\"Is Valid TCP Stream\" operation failed. An output argument is null.";
    const std::string udp_valid = "\"Is Valid UDP Stream\" operation failed. An output argument is null.";
    const std::string tcp_line = "\"Get Next TCP Stream Line\" operation failed. An output argument is null.";
    const std::string udp_line = "\"Get Next UDP Stream Line\" operation failed. An output argument is null.";
    const std::string register_null =
        "\"Register protocol field filter\" operation failed. The field name and the group name must be given.";
    const std::string info_null =
        "\"Get Protocol Field Filter Info\" operation failed. The field name and both outputs must be given.";
    const std::string filter_null =
        "\"Last Packet Has Passed Filter\" operation failed. The group name and both outputs must be given.";
    const std::string field_info_null = "\"Get Field Info\" operation failed. All three outputs must be given.";
    const std::string field_info_ex_null = "\"Get Field Info Ex\" operation failed. All three outputs must be given.";
    auto value_null = [](const std::string &operation) {
        return "\"" + operation + "\" operation failed. No address was given for the value.";
    };
    auto offset_null = [](const std::string &operation) {
        return "\"" + operation + "\" operation failed. No address was given for the offset.";
    };
    const void *any_node = &node;
    return {
        {"gRegisterProtocolFieldFilter(null, group)", guard::two_step, "Register protocol field filter",
         register_null, [] { return gRegisterProtocolFieldFilter(nullptr, "MISUSE"); }},
        {"gRegisterProtocolFieldFilter(field, null)", guard::two_step, "Register protocol field filter",
         register_null, [] { return gRegisterProtocolFieldFilter("ip.src", nullptr); }},
        {"gGetProtocolFieldFilterInfo(null, id, type)", guard::two_step, "Get Protocol Field Filter Info", info_null,
         [] { return gGetProtocolFieldFilterInfo(nullptr, &i32, &i32); }},
        {"gGetProtocolFieldFilterInfo(name, null, type)", guard::two_step, "Get Protocol Field Filter Info",
         info_null, [] { return gGetProtocolFieldFilterInfo("ip.version", nullptr, &i32); }},
        {"gGetProtocolFieldFilterInfo(name, id, null)", guard::two_step, "Get Protocol Field Filter Info",
         info_null, [] { return gGetProtocolFieldFilterInfo("ip.version", &i32, nullptr); }},
        {"gOpenCapture(null)", guard::two_step, "Open Capture",
         "\"Open Capture\" operation failed. No file path was given.", [] { return gOpenCapture(nullptr); }},
        {"gGetVersion(null, engine)", guard::none, "",
         "\"Get Version\" operation failed. No place for the version texts was given.",
         [] { return gGetVersion(nullptr, &text); }},
        {"gGetVersion(library, null)", guard::none, "",
         "\"Get Version\" operation failed. No place for the version texts was given.",
         [] { return gGetVersion(&text, nullptr); }},
        {"gGetPacketTimePrecision(null)", guard::three_step, "Get Packet Time Precision",
         "\"Get Packet Time Precision\" operation failed. No place for the decimals was given.",
         [] { return gGetPacketTimePrecision(nullptr); }},
        {"gGetNextPacket(null)", guard::three_step, "Get Next Packet",
         "\"Get Next Packet\" operation failed. No PacketSummary record was given.",
         [] { return gGetNextPacket(nullptr); }},
        {"gBuildPacketProtocolTree(null, data)", guard::three_step, "Build Packet Tree",
         "\"Build Packet Tree\" operation failed. No address was given for the data length or the data pointer.",
         [p] {
             return gBuildPacketProtocolTree(nullptr, &bytes, p.frame_number, p.file_offset, p.captured_length,
                                             p.packet_length, p.encapsulation);
         }},
        {"gBuildPacketProtocolTree(length, null)", guard::three_step, "Build Packet Tree",
         "\"Build Packet Tree\" operation failed. No address was given for the data length or the data pointer.",
         [p] {
             return gBuildPacketProtocolTree(&i32, nullptr, p.frame_number, p.file_offset, p.captured_length,
                                             p.packet_length, p.encapsulation);
         }},
        {"gGetProtocolTreeNodesCount(null)", guard::three_step, "Get Protocol Tree Nodes Count",
         "\"Get Protocol Tree Nodes Count\" operation failed. No address was given for the count.",
         [] { return gGetProtocolTreeNodesCount(nullptr); }},
        {"gGetTreeNodeByIndex(null, 0)", guard::three_step, "Get Tree Node by Index",
         "\"Get Tree Node by Index\" operation failed. No TreeNode record was given.",
         [] { return gGetTreeNodeByIndex(nullptr, 0); }},
        {"gCreateCaptureFileForSave(null)", guard::three_step, "Create Capture File",
         "\"Create Capture File\" operation failed. No file path was given.",
         [] { return gCreateCaptureFileForSave(nullptr); }},
        {"gCreateCaptureFileForSaveInFormat(null, pcapng)", guard::three_step, "Create Capture File",
         "\"Create Capture File\" operation failed. No file path was given.",
         [] { return gCreateCaptureFileForSaveInFormat(nullptr, WSB_SAVE_FORMAT_PCAPNG); }},
        {"gGetSaveFileFormat(null)", guard::three_step, "Get Save File Format",
         "\"Get Save File Format\" operation failed. No place for the format was given.",
         [] { return gGetSaveFileFormat(nullptr); }},
        {"gSavePacketToCaptureFile(null, request)", guard::three_step, "Save Packet to File",
         "\"Save Packet to File\" operation failed. No place for the skipped flag was given.",
         [] { return gSavePacketToCaptureFile(nullptr, &request); }},
        {"gSavePacketToCaptureFile(skipped, null)", guard::three_step, "Save Packet to File",
         "\"Save Packet to File\" operation failed. No SavePacketRequest record was given.",
         [] { return gSavePacketToCaptureFile(&u8, nullptr); }},
        {"gIsValidTcpStrem(null, ...)", guard::none, "", tcp_valid,
         [] { return gIsValidTcpStrem(nullptr, 0, &text, &i32, &text, &i32, &text, &i32); }},
        {"gIsValidTcpStrem(.., null server text, ..)", guard::none, "", tcp_valid,
         [] { return gIsValidTcpStrem(&u8, 0, nullptr, &i32, &text, &i32, &text, &i32); }},
        {"gIsValidTcpStrem(.., null server size, ..)", guard::none, "", tcp_valid,
         [] { return gIsValidTcpStrem(&u8, 0, &text, nullptr, &text, &i32, &text, &i32); }},
        {"gIsValidTcpStrem(.., null client text, ..)", guard::none, "", tcp_valid,
         [] { return gIsValidTcpStrem(&u8, 0, &text, &i32, nullptr, &i32, &text, &i32); }},
        {"gIsValidTcpStrem(.., null client size, ..)", guard::none, "", tcp_valid,
         [] { return gIsValidTcpStrem(&u8, 0, &text, &i32, &text, nullptr, &text, &i32); }},
        {"gIsValidTcpStrem(.., null conversation text, ..)", guard::none, "", tcp_valid,
         [] { return gIsValidTcpStrem(&u8, 0, &text, &i32, &text, &i32, nullptr, &i32); }},
        {"gIsValidTcpStrem(.., null conversation size)", guard::none, "", tcp_valid,
         [] { return gIsValidTcpStrem(&u8, 0, &text, &i32, &text, &i32, &text, nullptr); }},
        {"gGetNextTCPStreamLine(null text)", guard::none, "", tcp_line,
         [] { return gGetNextTCPStreamLine(0, 2, nullptr, &u32, &u8, &u8); }},
        {"gGetNextTCPStreamLine(null size)", guard::none, "", tcp_line,
         [] { return gGetNextTCPStreamLine(0, 2, &text, nullptr, &u8, &u8); }},
        {"gGetNextTCPStreamLine(null is_server)", guard::none, "", tcp_line,
         [] { return gGetNextTCPStreamLine(0, 2, &text, &u32, nullptr, &u8); }},
        {"gGetNextTCPStreamLine(null end)", guard::none, "", tcp_line,
         [] { return gGetNextTCPStreamLine(0, 2, &text, &u32, &u8, nullptr); }},
        {"gIsValidUDPStrem(null, ...)", guard::none, "", udp_valid,
         [] { return gIsValidUDPStrem(nullptr, &text, &i32, &text, &i32, &text, &i32); }},
        {"gIsValidUDPStrem(.., null server text, ..)", guard::none, "", udp_valid,
         [] { return gIsValidUDPStrem(&u8, nullptr, &i32, &text, &i32, &text, &i32); }},
        {"gIsValidUDPStrem(.., null server size, ..)", guard::none, "", udp_valid,
         [] { return gIsValidUDPStrem(&u8, &text, nullptr, &text, &i32, &text, &i32); }},
        {"gIsValidUDPStrem(.., null client text, ..)", guard::none, "", udp_valid,
         [] { return gIsValidUDPStrem(&u8, &text, &i32, nullptr, &i32, &text, &i32); }},
        {"gIsValidUDPStrem(.., null client size, ..)", guard::none, "", udp_valid,
         [] { return gIsValidUDPStrem(&u8, &text, &i32, &text, nullptr, &text, &i32); }},
        {"gIsValidUDPStrem(.., null conversation text, ..)", guard::none, "", udp_valid,
         [] { return gIsValidUDPStrem(&u8, &text, &i32, &text, &i32, nullptr, &i32); }},
        {"gIsValidUDPStrem(.., null conversation size)", guard::none, "", udp_valid,
         [] { return gIsValidUDPStrem(&u8, &text, &i32, &text, &i32, &text, nullptr); }},
        {"gGetNextUDPStreamLine(null text)", guard::none, "", udp_line,
         [] { return gGetNextUDPStreamLine(0, 2, nullptr, &u32, &u8, &u8); }},
        {"gGetNextUDPStreamLine(null size)", guard::none, "", udp_line,
         [] { return gGetNextUDPStreamLine(0, 2, &text, nullptr, &u8, &u8); }},
        {"gGetNextUDPStreamLine(null is_server)", guard::none, "", udp_line,
         [] { return gGetNextUDPStreamLine(0, 2, &text, &u32, nullptr, &u8); }},
        {"gGetNextUDPStreamLine(null end)", guard::none, "", udp_line,
         [] { return gGetNextUDPStreamLine(0, 2, &text, &u32, &u8, nullptr); }},
        {"gLastPacketHasPassedFilter(null, count, ids)", guard::none, "", filter_null,
         [] { return gLastPacketHasPassedFilter(nullptr, &i32, &ids); }},
        {"gLastPacketHasPassedFilter(group, null, ids)", guard::none, "", filter_null,
         [] { return gLastPacketHasPassedFilter("IP", nullptr, &ids); }},
        {"gLastPacketHasPassedFilter(group, count, null)", guard::none, "", filter_null,
         [] { return gLastPacketHasPassedFilter("IP", &i32, nullptr); }},
        {"gGetFieldInfo(id, null, ..)", guard::none, "", field_info_null,
         [] { return gGetFieldInfo(1, nullptr, &i32, &i32); }},
        {"gGetFieldInfo(id, .., null, ..)", guard::none, "", field_info_null,
         [] { return gGetFieldInfo(1, &i32, nullptr, &i32); }},
        {"gGetFieldInfo(id, .., null)", guard::none, "", field_info_null,
         [] { return gGetFieldInfo(1, &i32, &i32, nullptr); }},
        {"gGetFieldInfoEx(id, null, ..)", guard::none, "", field_info_ex_null,
         [] { return gGetFieldInfoEx(1, nullptr, &i32, &i32); }},
        {"gGetFieldInfoEx(id, .., null, ..)", guard::none, "", field_info_ex_null,
         [] { return gGetFieldInfoEx(1, &i32, nullptr, &i32); }},
        {"gGetFieldInfoEx(id, .., null)", guard::none, "", field_info_ex_null,
         [] { return gGetFieldInfoEx(1, &i32, &i32, nullptr); }},
        {"gGetTransportProtocolPayloadOffset(null)", guard::none, "",
         offset_null("Get Transport Protocol Payload Offset"),
         [] { return gGetTransportProtocolPayloadOffset(nullptr); }},
        {"gGetIPv4ProtocolPayloadOffset(null)", guard::none, "", offset_null("Get IPv4 Protocol Payload Offset"),
         [] { return gGetIPv4ProtocolPayloadOffset(nullptr); }},
        {"gGetUInt64ProtocolFieldValue(null, id)", guard::none, "", value_null("Get UInt64 Protocol Field Value"),
         [] { return gGetUInt64ProtocolFieldValue(nullptr, 1); }},
        {"gGetUInt64ProtocolFieldValueByTreeNode(node, null)", guard::none, "",
         value_null("Get UInt64 Protocol Field Value By Tree Node"),
         [any_node] { return gGetUInt64ProtocolFieldValueByTreeNode(any_node, nullptr); }},
        {"gGetInt32ProtocolFieldValue(null, id)", guard::none, "", value_null("Get Int32 Protocol Field Value"),
         [] { return gGetInt32ProtocolFieldValue(nullptr, 1); }},
        {"gGetInt32ProtocolFieldValueByTreeNode(node, null)", guard::none, "",
         value_null("Get Int32 Protocol Field Value By Tree Node"),
         [any_node] { return gGetInt32ProtocolFieldValueByTreeNode(any_node, nullptr); }},
        {"gGetStringProtocolFieldValue(null, size, id)", guard::none, "",
         value_null("Get String Protocol Field Value"),
         [] { return gGetStringProtocolFieldValue(nullptr, &i32, 1); }},
        {"gGetStringProtocolFieldValue(value, null, id)", guard::none, "",
         value_null("Get String Protocol Field Value"),
         [] { return gGetStringProtocolFieldValue(&text, nullptr, 1); }},
        {"gGetStringProtocolFieldValueByTreeNode(node, null, size)", guard::none, "",
         value_null("Get String Protocol Field Value By Tree Node"),
         [any_node] { return gGetStringProtocolFieldValueByTreeNode(any_node, nullptr, &i32); }},
        {"gGetStringProtocolFieldValueByTreeNode(node, value, null)", guard::none, "",
         value_null("Get String Protocol Field Value By Tree Node"),
         [any_node] { return gGetStringProtocolFieldValueByTreeNode(any_node, &text, nullptr); }},
        // Handles are not out-parameters: a null one is an invalid node.
        {"gGetUInt64ProtocolFieldValueByTreeNode(null, value)", guard::none, "", invalid_node_uint64,
         [] { return gGetUInt64ProtocolFieldValueByTreeNode(nullptr, &u64); }},
        {"gGetInt32ProtocolFieldValueByTreeNode(null, value)", guard::none, "", invalid_node_int32,
         [] { return gGetInt32ProtocolFieldValueByTreeNode(nullptr, &i32); }},
        {"gGetStringProtocolFieldValueByTreeNode(null, value, size)", guard::none, "", invalid_node_string,
         [] { return gGetStringProtocolFieldValueByTreeNode(nullptr, &text, &i32); }},
        {"gSetPreference(null)", guard::two_step, "Set Preference",
         "\"Set Preference\" operation failed. No preference was given.", [] { return gSetPreference(nullptr); }},
        {"gGetFieldValueText(null, size, id)", guard::none, "", value_null("Get Field Value Text"),
         [] { return gGetFieldValueText(nullptr, &i32, 1); }},
        {"gGetFieldValueText(text, null, id)", guard::none, "", value_null("Get Field Value Text"),
         [] { return gGetFieldValueText(&text, nullptr, 1); }},
        {"gGetFieldValueTextByTreeNode(node, null, size)", guard::none, "",
         value_null("Get Field Value Text By Tree Node"),
         [any_node] { return gGetFieldValueTextByTreeNode(any_node, nullptr, &i32); }},
        {"gGetFieldValueTextByTreeNode(node, text, null)", guard::none, "",
         value_null("Get Field Value Text By Tree Node"),
         [any_node] { return gGetFieldValueTextByTreeNode(any_node, &text, nullptr); }},
        {"gGetFieldValueTextByTreeNode(null, text, size)", guard::none, "", invalid_node_text,
         [] { return gGetFieldValueTextByTreeNode(nullptr, &text, &i32); }},
    };
}

// Every null pointer argument of every export: status 1 with the guard's
// message when the guard fails in this state, else the null message.
void check_null_arguments(library_state state, const locator &p)
{
    for (const null_case &c : null_cases(p)) {
        SCOPED_TRACE(c.call);
        std::string expected = guard_answer(c.kind, c.operation, state);
        if (expected.empty())
            expected = c.message;
        check_answer(c.call, (prime_error_text(), c.run()), 1, expected);
    }
}

// An export called properly, and what it answers in the states where no
// capture is open or the engine is not running.
struct export_row {
    std::string call;
    guard kind;
    std::string operation;
    int32_t status;       // the answer when the guard passes (states without a capture)
    std::string message;  // its message when status is 1
    std::function<int32_t()> run;
};

// Every export with valid arguments except those that change the state
// (gInitEpan, gCleanupEpan, gOpenCapture, gCloseCapture), which the state
// tests call last.
std::vector<export_row> export_rows(const locator &p, const std::string &save_path)
{
    static PacketSummary summary;
    static TreeNode node;
    static SavePacketRequest request;
    request = request_of(p);
    static int32_t i32a, i32b, i32c;
    static uint32_t u32;
    static uint64_t u64;
    static uint8_t u8a, u8b;
    static const char *text, *text2, *text3;
    static const uint8_t *bytes;
    static const int32_t *ids;
    const void *foreign = &node;
    return {
        {"gRegisterProtocolFieldFilter", guard::two_step, "Register protocol field filter", 0, "",
         [] { return gRegisterProtocolFieldFilter("ip.src", "MISUSE"); }},
        {"gGetProtocolFieldFilterInfo", guard::two_step, "Get Protocol Field Filter Info", 0, "",
         [] { return gGetProtocolFieldFilterInfo("ip.version", &i32a, &i32b); }},
        {"gGetNextPacket", guard::three_step, "Get Next Packet", 0, "", [] { return gGetNextPacket(&summary); }},
        {"gGetPacketAtOffset", guard::three_step, "Get Packet At Offset", 0, "",
         [p] {
             return gGetPacketAtOffset(&summary, p.frame_number, p.file_offset, p.captured_length, p.packet_length,
                                       p.encapsulation);
         }},
        {"gBuildPacketProtocolTree", guard::three_step, "Build Packet Tree", 0, "",
         [p] {
             return gBuildPacketProtocolTree(&i32a, &bytes, p.frame_number, p.file_offset, p.captured_length,
                                             p.packet_length, p.encapsulation);
         }},
        {"gGetPacketTexts", guard::three_step, "Get Packet Texts", 0, "",
         [] { return gGetPacketTexts(&text, &i32a, nullptr, nullptr); }},
        {"gGetProtocolTreeNodesCount", guard::three_step, "Get Protocol Tree Nodes Count", 0, "",
         [] { return gGetProtocolTreeNodesCount(&i32a); }},
        {"gGetTreeNodeByIndex", guard::three_step, "Get Tree Node by Index", 0, "",
         [] { return gGetTreeNodeByIndex(&node, 0); }},
        {"gFreePacketProtocolTree", guard::none, "", 0, "", [] { return gFreePacketProtocolTree(); }},
        {"gCreateCaptureFileForSave", guard::three_step, "Create Capture File", 0, "",
         [save_path] { return gCreateCaptureFileForSave(save_path.c_str()); }},
        {"gSavePacketToCaptureFile", guard::three_step, "Save Packet to File", 0, "",
         [] { return gSavePacketToCaptureFile(&u8a, &request); }},
        {"gGetSaveFileFormat", guard::three_step, "Get Save File Format", 0, "",
         [] { return gGetSaveFileFormat(&i32a); }},
        {"gCloseCaptureFileForSave", guard::three_step, "Close Capture File for Save", 0, "",
         [] { return gCloseCaptureFileForSave(); }},
        {"gFollowTCPStreamForPacket", guard::three_step, "Follow TCP Stream", 0, "",
         [p] {
             return gFollowTCPStreamForPacket(p.frame_number, p.file_offset, p.captured_length, p.packet_length,
                                              p.encapsulation);
         }},
        {"gAddPacketToTCPStream", guard::none, "", 1, tcp_add_idle,
         [p] {
             return gAddPacketToTCPStream(p.frame_number, p.file_offset, p.captured_length, p.packet_length,
                                          p.encapsulation);
         }},
        {"gIsValidTcpStrem", guard::none, "", 1, tcp_idle,
         [] { return gIsValidTcpStrem(&u8a, 0, &text, &i32a, &text2, &i32b, &text3, &i32c); }},
        {"gGetNextTCPStreamLine", guard::none, "", 1, tcp_idle,
         [] { return gGetNextTCPStreamLine(0, 2, &text, &u32, &u8a, &u8b); }},
        {"gFollowUDPStreamForPacket", guard::three_step, "Follow UDP Stream", 0, "",
         [p] {
             return gFollowUDPStreamForPacket(p.frame_number, p.file_offset, p.captured_length, p.packet_length,
                                              p.encapsulation);
         }},
        // Adding to a UDP stream re-reads the packet through random access.
        {"gAddPacketToUDPStream", guard::three_step, "Get Packet At Offset", 0, "",
         [p] {
             return gAddPacketToUDPStream(p.frame_number, p.file_offset, p.captured_length, p.packet_length,
                                          p.encapsulation);
         }},
        {"gIsValidUDPStrem", guard::none, "", 1, udp_idle,
         [] { return gIsValidUDPStrem(&u8a, &text, &i32a, &text2, &i32b, &text3, &i32c); }},
        {"gGetNextUDPStreamLine", guard::none, "", 1, udp_idle,
         [] {
             u8b = 0;
             return gGetNextUDPStreamLine(0, 2, &text, &u32, &u8a, &u8b);
         }},
        {"gLastPacketHasPassedFilter", guard::dissection, "Last Packet Has Passed Filter", 0, "",
         [] { return gLastPacketHasPassedFilter("IP", &i32a, &ids); }},
        {"gGetFieldInfo", guard::dissection, "Get Field Info", 1, not_matched(1),
         [] { return gGetFieldInfo(1, &i32a, &i32b, &i32c); }},
        {"gGetFieldInfoEx", guard::dissection, "Get Field Info Ex", 1, not_matched(1),
         [] { return gGetFieldInfoEx(1, &i32a, &i32b, &i32c); }},
        {"gGetTransportProtocolPayloadOffset", guard::dissection, "Get Transport Protocol Payload Offset", 0, "",
         [] { return gGetTransportProtocolPayloadOffset(&i32a); }},
        {"gGetIPv4ProtocolPayloadOffset", guard::dissection, "Get IPv4 Protocol Payload Offset", 0, "",
         [] { return gGetIPv4ProtocolPayloadOffset(&i32a); }},
        {"gGetUInt64ProtocolFieldValue", guard::dissection, "Get UInt64 Protocol Field Value", 1, not_matched(1),
         [] { return gGetUInt64ProtocolFieldValue(&u64, 1); }},
        {"gGetInt32ProtocolFieldValue", guard::dissection, "Get Int32 Protocol Field Value", 1, not_matched(1),
         [] { return gGetInt32ProtocolFieldValue(&i32a, 1); }},
        {"gGetStringProtocolFieldValue", guard::dissection, "Get String Protocol Field Value", 1, not_matched(1),
         [] { return gGetStringProtocolFieldValue(&text, &i32a, 1); }},
        // A handle that is no node of any tree: never read, refused.
        {"gGetUInt64ProtocolFieldValueByTreeNode", guard::none, "", 1, invalid_node_uint64,
         [foreign] { return gGetUInt64ProtocolFieldValueByTreeNode(foreign, &u64); }},
        {"gGetInt32ProtocolFieldValueByTreeNode", guard::none, "", 1, invalid_node_int32,
         [foreign] { return gGetInt32ProtocolFieldValueByTreeNode(foreign, &i32a); }},
        {"gGetStringProtocolFieldValueByTreeNode", guard::none, "", 1, invalid_node_string,
         [foreign] { return gGetStringProtocolFieldValueByTreeNode(foreign, &text, &i32a); }},
        {"gGetFieldValueText", guard::dissection, "Get Field Value Text", 1, not_matched(1),
         [] { return gGetFieldValueText(&text, &i32a, 1); }},
        {"gGetFieldValueTextByTreeNode", guard::none, "", 1, invalid_node_text,
         [foreign] { return gGetFieldValueTextByTreeNode(foreign, &text, &i32a); }},
        // Clearing the display filter and setting a preference need no capture.
        {"gSetDisplayFilter", guard::two_step, "Set Display Filter", 0, "", [] { return gSetDisplayFilter(nullptr); }},
        {"gSetPreference", guard::two_step, "Set Preference", 0, "",
         [] { return gSetPreference("tcp.desegment_tcp_streams:FALSE"); }},
        {"gSetSummaryTexts", guard::two_step, "Set Summary Texts", 0, "", [] { return gSetSummaryTexts(1); }},
    };
}

// Every export in a state without a capture (or without a running engine):
// the guard's answer, or the export's own.
void check_exports_without_capture(library_state state, const locator &p, const std::string &save_path)
{
    for (const export_row &row : export_rows(p, save_path)) {
        SCOPED_TRACE(row.call);
        const std::string guarded = guard_answer(row.kind, row.operation, state);
        if (!guarded.empty())
            check_answer(row.call, (prime_error_text(), row.run()), 1, guarded);
        else
            check_answer(row.call, (prime_error_text(), row.run()), row.status, row.message);
    }
    EXPECT_NE(gGetLastError(), nullptr);
    gHackedCleanup();
}

// The library's temporary files go to a fresh directory, which must be empty
// at the end of every test.
class Misuse : public ::testing::Test {
protected:
    temp_dir work;
    temp_dir library_temp;
    std::string save_path;
    std::string previous_temp;
    void SetUp() override
    {
        ASSERT_FALSE(work.path.empty());
        ASSERT_FALSE(library_temp.path.empty());
        const char *value = getenv("TMPDIR");
        previous_temp = value ? value : "";
        setenv("TMPDIR", library_temp.path.c_str(), 1);
        save_path = work.file("saved.pcap");
    }
    void TearDown() override
    {
        const std::vector<std::string> left = wsbsweep::directory_entries(library_temp.path.string());
        EXPECT_TRUE(left.empty()) << "left behind: " << left.front();
        if (previous_temp.empty())
            unsetenv("TMPDIR");
        else
            setenv("TMPDIR", previous_temp.c_str(), 1);
    }
};

// A packet of the sample capture without reading it (its first packet).
locator first_sample_packet()
{
    return {1, 24, 42, 42, 1, 1700000000, 0};
}

}  // namespace

TEST_F(Misuse, NotStarted)
{
    EXPECT_STREQ(gGetLastError(), "");
    const locator p = first_sample_packet();
    check_null_arguments(library_state::not_started, p);
    check_exports_without_capture(library_state::not_started, p, save_path);
    CHECK_ANSWER(gCleanupEpan(), 1, not_started("Cleanup"));
    CHECK_ANSWER(gOpenCapture(WSB_SAMPLE_CAPTURE), 1, not_started("Open Capture"));
    CHECK_ANSWER(gCloseCapture(), 1, not_started("Close Capture"));
    // Out-parameters that are set whatever happens.
    int32_t length = 99;
    const uint8_t *data = nullptr;
    EXPECT_EQ(gBuildPacketProtocolTree(&length, &data, 1, 24, 42, 42, 1), 1);
    EXPECT_EQ(length, 0);
    uint8_t skipped = 7;
    SavePacketRequest request = request_of(p);
    EXPECT_EQ(gSavePacketToCaptureFile(&skipped, &request), 1);
    EXPECT_EQ(skipped, 0);
    // After all of that the engine still starts.
    CHECK_ANSWER(gInitEpan(), 0, "");
    EXPECT_EQ(access(save_path.c_str(), F_OK), -1) << "a save file was created before start-up";
}

TEST_F(Misuse, StartedWithoutACapture)
{
    ASSERT_EQ(gInitEpan(), 0);
    const locator p = first_sample_packet();
    check_null_arguments(library_state::no_capture, p);
    check_exports_without_capture(library_state::no_capture, p, save_path);
    CHECK_ANSWER(gInitEpan(), 1, "Wireshark engine was already initialized.");
    CHECK_ANSWER(gCloseCapture(), 1, no_capture("Close Capture"));
    CHECK_ANSWER(gOpenCapture(WSB_SAMPLE_CAPTURE), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

// Capture open, nothing read yet: every call but the field calls works (they
// have no dissected packet until something is read).
TEST_F(Misuse, CaptureOpenNothingRead)
{
    ASSERT_EQ(gInitEpan(), 0);
    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    const locator p = first_sample_packet();
    check_null_arguments(library_state::open_undissected, p);
    int32_t count, offset;
    const int32_t *ids;
    CHECK_ANSWER(gLastPacketHasPassedFilter("IP", &count, &ids), 1, no_dissection("Last Packet Has Passed Filter"));
    CHECK_ANSWER(gGetPacketTexts(nullptr, nullptr, nullptr, nullptr), 1, no_packet_texts);
    CHECK_ANSWER(gGetTransportProtocolPayloadOffset(&offset), 1,
                 no_dissection("Get Transport Protocol Payload Offset"));
    CHECK_ANSWER(gGetProtocolTreeNodesCount(&count), 1, no_tree);
    TreeNode node;
    CHECK_ANSWER(gGetTreeNodeByIndex(&node, 0), 1, no_tree);
    CHECK_ANSWER(gCloseCaptureFileForSave(), 1, "Error closing file. The file is already closed.");
    uint8_t skipped;
    SavePacketRequest request = request_of(p);
    CHECK_ANSWER(gSavePacketToCaptureFile(&skipped, &request), 1,
                 "Error saving packet. The file to save the packet is already closed.");
    // Random access before sequential reading.
    PacketSummary s;
    CHECK_ANSWER(gGetPacketAtOffset(&s, p.frame_number, p.file_offset, p.captured_length, p.packet_length,
                                    p.encapsulation),
                 0, "");
    EXPECT_EQ(s.frame_number, 1u);
    CHECK_ANSWER(gGetNextPacket(&s), 0, "");
    EXPECT_EQ(s.frame_number, 1u);
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

// Capture open with a packet read: every export answers, and the ones that
// cannot do anything with this packet say why.
TEST_F(Misuse, CaptureOpenMidRead)
{
    ASSERT_EQ(gInitEpan(), 0);
    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    PacketSummary s;
    ASSERT_EQ(gGetNextPacket(&s), 0);  // ARP
    const locator arp = locator_of(s);
    check_null_arguments(library_state::open_dissected, arp);

    int32_t count = -1, offset = -1, length = -1, type = -1, id = -1;
    const int32_t *ids = nullptr;
    CHECK_ANSWER(gLastPacketHasPassedFilter("IP", &count, &ids), 0, "");
    EXPECT_EQ(count, 0);
    EXPECT_EQ(ids, nullptr);
    CHECK_ANSWER(gLastPacketHasPassedFilter("NOPE", &count, &ids), 1,
                 "Requested protocol \"NOPE\" was not registered.\n");
    CHECK_ANSWER(gLastPacketHasPassedFilter("", &count, &ids), 1, "Requested protocol \"\" was not registered.\n");
    CHECK_ANSWER(gGetTransportProtocolPayloadOffset(&offset), 1, "Last processed packet is not a TCP/UDP one");
    CHECK_ANSWER(gGetIPv4ProtocolPayloadOffset(&offset), 1, "Last processed packet is not an IPv4 one");
    CHECK_ANSWER(gGetProtocolFieldFilterInfo("ip.version", &id, &type), 0, "");
    for (int32_t bad : {id, -1, 0, INT32_MAX, INT32_MIN}) {
        SCOPED_TRACE(bad);
        uint64_t u64;
        int32_t i32;
        const char *text;
        int32_t size;
        CHECK_ANSWER(gGetFieldInfo(bad, &offset, &length, &type), 1, not_matched(bad));
        CHECK_ANSWER(gGetFieldInfoEx(bad, &offset, &length, &type), 1, not_matched(bad));
        CHECK_ANSWER(gGetUInt64ProtocolFieldValue(&u64, bad), 1, not_matched(bad));
        CHECK_ANSWER(gGetInt32ProtocolFieldValue(&i32, bad), 1, not_matched(bad));
        CHECK_ANSWER(gGetStringProtocolFieldValue(&text, &size, bad), 1, not_matched(bad));
        CHECK_ANSWER(gGetFieldValueText(&text, &size, bad), 1, not_matched(bad));
    }
    CHECK_ANSWER(gFollowTCPStreamForPacket(arp.frame_number, arp.file_offset, arp.captured_length,
                                           arp.packet_length, arp.encapsulation),
                 1, "Error following stream. Please make sure you have a TCP packet selected.");
    CHECK_ANSWER(gFollowUDPStreamForPacket(arp.frame_number, arp.file_offset, arp.captured_length,
                                           arp.packet_length, arp.encapsulation),
                 1, "Error following stream. Please make sure you have a UDP packet selected.");
    CHECK_ANSWER(gAddPacketToUDPStream(arp.frame_number, arp.file_offset, arp.captured_length, arp.packet_length,
                                       arp.encapsulation),
                 0, "");
    // The summary of random access may be left out.
    CHECK_ANSWER(gGetPacketAtOffset(nullptr, arp.frame_number, arp.file_offset, arp.captured_length,
                                    arp.packet_length, arp.encapsulation),
                 0, "");

    // Trees: positions out of range, a freed tree, a second build.
    const uint8_t *data = nullptr;
    CHECK_ANSWER(gBuildPacketProtocolTree(&length, &data, arp.frame_number, arp.file_offset, arp.captured_length,
                                          arp.packet_length, arp.encapsulation),
                 0, "");
    EXPECT_EQ(length, arp.captured_length);
    CHECK_ANSWER(gGetProtocolTreeNodesCount(&count), 0, "");
    TreeNode node, kept;
    memset(&node, 0x77, sizeof node);
    for (int32_t position : {-1, INT32_MIN, count, count + 1, INT32_MAX}) {
        SCOPED_TRACE(position);
        CHECK_ANSWER(gGetTreeNodeByIndex(&node, position), 1, out_of_range);
    }
    EXPECT_EQ(node.index, 0x77777777) << "a refused position wrote the record";
    CHECK_ANSWER(gGetTreeNodeByIndex(&kept, 0), 0, "");
    uint64_t u64;
    CHECK_ANSWER(gGetUInt64ProtocolFieldValueByTreeNode(kept.node, &u64), 1, "");  // "frame" is a protocol
    const char *text = nullptr;
    int32_t size = 0;
    // Handles that are not nodes of the current tree are refused unread.
    TreeNode on_stack;
    for (const void *bad : {static_cast<const void *>(&on_stack), static_cast<const void *>(&kept),
                            reinterpret_cast<const void *>(uintptr_t{1}),
                            reinterpret_cast<const void *>(UINTPTR_MAX), static_cast<const void *>(data)}) {
        int32_t i32;
        CHECK_ANSWER(gGetUInt64ProtocolFieldValueByTreeNode(bad, &u64), 1, invalid_node_uint64);
        CHECK_ANSWER(gGetInt32ProtocolFieldValueByTreeNode(bad, &i32), 1, invalid_node_int32);
        CHECK_ANSWER(gGetStringProtocolFieldValueByTreeNode(bad, &text, &size), 1, invalid_node_string);
        CHECK_ANSWER(gGetFieldValueTextByTreeNode(bad, &text, &size), 1, invalid_node_text);
    }
    CHECK_ANSWER(gFreePacketProtocolTree(), 0, "");
    CHECK_ANSWER(gFreePacketProtocolTree(), 0, "");
    CHECK_ANSWER(gGetProtocolTreeNodesCount(&count), 1, no_tree);
    CHECK_ANSWER(gGetTreeNodeByIndex(&node, 0), 1, no_tree);
    CHECK_ANSWER(gGetStringProtocolFieldValueByTreeNode(kept.node, &text, &size), 1, invalid_node_string);
    CHECK_ANSWER(gGetFieldValueTextByTreeNode(kept.node, &text, &size), 1, invalid_node_text);

    // Saving: a second file while one is open, closing twice.
    CHECK_ANSWER(gCreateCaptureFileForSave(save_path.c_str()), 0, "");
    CHECK_ANSWER(gCreateCaptureFileForSave(work.file("other.pcap").c_str()), 1,
                 "\"Create Capture File\" operation failed. The file \"" + save_path +
                     "\" is still open for saving; close it before creating another one.");
    uint8_t skipped = 5;
    SavePacketRequest request = request_of(arp);
    CHECK_ANSWER(gSavePacketToCaptureFile(&skipped, &request), 0, "");
    EXPECT_EQ(skipped, 0);
    CHECK_ANSWER(gCloseCaptureFileForSave(), 0, "");
    CHECK_ANSWER(gCloseCaptureFileForSave(), 1, "Error closing file. The file is already closed.");
    CHECK_ANSWER(gSavePacketToCaptureFile(&skipped, &request), 1,
                 "Error saving packet. The file to save the packet is already closed.");
    EXPECT_EQ(wsbsweep::count_saved_records(save_path), 1);

    // Discarding the engine's per-capture state in the middle of reading:
    // the dissection is gone, reading and random access go on.
    gHackedCleanup();
    CHECK_ANSWER(gLastPacketHasPassedFilter("IP", &count, &ids), 1, no_dissection("Last Packet Has Passed Filter"));
    CHECK_ANSWER(gGetNextPacket(&s), 0, "");
    EXPECT_EQ(s.frame_number, 2u);
    CHECK_ANSWER(gGetPacketAtOffset(&s, arp.frame_number, arp.file_offset, arp.captured_length, arp.packet_length,
                                    arp.encapsulation),
                 0, "");
    while (gGetNextPacket(&s) == 0) {
    }
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

// Capture read to its end: reading keeps answering 2, random access and
// everything built on it keep working, the field calls have no packet.
TEST_F(Misuse, CaptureReadToItsEnd)
{
    ASSERT_EQ(gInitEpan(), 0);
    const sample_packets sample = read_sample();
    ASSERT_FALSE(sample.all.empty());
    check_null_arguments(library_state::open_undissected, sample.tcp);
    PacketSummary s;
    for (int again = 0; again < 3; ++again)
        CHECK_ANSWER(gGetNextPacket(&s), 2, "");
    int32_t count;
    const int32_t *ids;
    CHECK_ANSWER(gLastPacketHasPassedFilter("IP", &count, &ids), 1, no_dissection("Last Packet Has Passed Filter"));
    CHECK_ANSWER(gGetPacketTexts(nullptr, nullptr, nullptr, nullptr), 1, no_packet_texts);
    for (const locator &p : sample.all) {
        CHECK_ANSWER(gGetPacketAtOffset(&s, p.frame_number, p.file_offset, p.captured_length, p.packet_length,
                                        p.encapsulation),
                     0, "");
        CHECK_ANSWER(gLastPacketHasPassedFilter("IP", &count, &ids), 0, "");
    }
    CHECK_ANSWER(gCreateCaptureFileForSave(save_path.c_str()), 0, "");
    uint8_t skipped;
    for (const locator &p : sample.all) {
        SavePacketRequest request = request_of(p);
        CHECK_ANSWER(gSavePacketToCaptureFile(&skipped, &request), 0, "");
    }
    CHECK_ANSWER(gCloseCaptureFileForSave(), 0, "");
    EXPECT_EQ(wsbsweep::count_saved_records(save_path), static_cast<long>(sample.all.size()));
    // Reopening the capture that is open starts it again from its first packet.
    CHECK_ANSWER(gOpenCapture(WSB_SAMPLE_CAPTURE), 0, "");
    CHECK_ANSWER(gGetNextPacket(&s), 0, "");
    EXPECT_EQ(s.frame_number, 1u);
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

// Capture closed after reading: the guarded calls need a capture again, the
// field calls have no packet, old tree handles are stale.
TEST_F(Misuse, CaptureClosedAfterReading)
{
    ASSERT_EQ(gInitEpan(), 0);
    const sample_packets sample = read_sample();
    ASSERT_FALSE(sample.all.empty());
    int32_t length;
    const uint8_t *data;
    ASSERT_EQ(gBuildPacketProtocolTree(&length, &data, sample.tcp.frame_number, sample.tcp.file_offset,
                                       sample.tcp.captured_length, sample.tcp.packet_length,
                                       sample.tcp.encapsulation),
              0);
    TreeNode node;
    ASSERT_EQ(gGetTreeNodeByIndex(&node, 0), 0);
    ASSERT_EQ(gCloseCapture(), 0);

    check_null_arguments(library_state::no_capture, sample.tcp);
    check_exports_without_capture(library_state::no_capture, sample.tcp, save_path);
    const char *text;
    int32_t size;
    CHECK_ANSWER(gGetStringProtocolFieldValueByTreeNode(node.node, &text, &size), 1, invalid_node_string);
    CHECK_ANSWER(gCloseCapture(), 1, no_capture("Close Capture"));
    EXPECT_EQ(access(save_path.c_str(), F_OK), -1) << "a save file was created without a capture";
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

// After shutdown every guarded call reports it, even with a capture still
// open, a tree built, a save file open and a stream followed.
TEST_F(Misuse, EngineShutDown)
{
    ASSERT_EQ(gInitEpan(), 0);
    const sample_packets sample = read_sample();
    ASSERT_FALSE(sample.all.empty());
    const locator &tcp = sample.tcp;
    int32_t length;
    const uint8_t *data;
    ASSERT_EQ(gBuildPacketProtocolTree(&length, &data, tcp.frame_number, tcp.file_offset, tcp.captured_length,
                                       tcp.packet_length, tcp.encapsulation),
              0);
    TreeNode node;
    ASSERT_EQ(gGetTreeNodeByIndex(&node, 0), 0);
    ASSERT_EQ(gCreateCaptureFileForSave(save_path.c_str()), 0);
    ASSERT_EQ(gFollowTCPStreamForPacket(tcp.frame_number, tcp.file_offset, tcp.captured_length, tcp.packet_length,
                                        tcp.encapsulation),
              0);
    ASSERT_EQ(gCleanupEpan(), 0);

    check_null_arguments(library_state::shut_down, tcp);
    check_exports_without_capture(library_state::shut_down, tcp, save_path);
    const char *text;
    int32_t size;
    CHECK_ANSWER(gGetStringProtocolFieldValueByTreeNode(node.node, &text, &size), 1, invalid_node_string);
    CHECK_ANSWER(gGetFieldValueTextByTreeNode(node.node, &text, &size), 1, invalid_node_text);
    CHECK_ANSWER(gInitEpan(), 1, "Wireshark engine was already initialized.");
    CHECK_ANSWER(gCleanupEpan(), 1, shut_down("Cleanup"));
    CHECK_ANSWER(gOpenCapture(WSB_SAMPLE_CAPTURE), 1, shut_down("Open Capture"));
    CHECK_ANSWER(gCloseCapture(), 1, shut_down("Close Capture"));
}

// Locators that name no packet, or name one wrongly: refused with a message,
// or dissected as what they name; never a crash.
TEST_F(Misuse, GarbageLocators)
{
    ASSERT_EQ(gInitEpan(), 0);
    const sample_packets sample = read_sample();
    ASSERT_FALSE(sample.all.empty());
    const locator &good = sample.tcp;
    struct stat info;
    ASSERT_EQ(stat(WSB_SAMPLE_CAPTURE, &info), 0);
    const int64_t size = info.st_size;

    std::vector<std::pair<std::string, locator>> locators;
    auto with = [&](const std::string &what, auto change) {
        locator p = good;
        change(p);
        locators.emplace_back(what, p);
    };
    for (int64_t offset : {int64_t{-1}, INT64_MIN, int64_t{0}, int64_t{1}, int64_t{23}, good.file_offset + 1,
                           good.file_offset + 16, size - 1, size, size + 1000, int64_t{2147483646},
                           int64_t{2147483647}, INT64_MAX})
        with("offset " + std::to_string(offset), [&](locator &p) { p.file_offset = offset; });
    // wiretap once took INT64_MIN for an offset it could read; with nothing
    // asked of the record that read "succeeded".
    with("offset INT64_MIN, nothing captured", [&](locator &p) {
        p.file_offset = INT64_MIN;
        p.captured_length = 0;
    });
    for (int32_t captured : {-1, INT32_MIN, 0, 1, good.captured_length - 1, good.captured_length + 1, INT32_MAX})
        with("captured length " + std::to_string(captured), [&](locator &p) { p.captured_length = captured; });
    for (uint32_t wire : {0u, 1u, 0x7fffffffu, 0x80000000u, 0xffffffffu})
        with("packet length " + std::to_string(wire), [&](locator &p) { p.packet_length = wire; });
    for (uint32_t frame : {0u, 2u, 999999u, 0xffffffffu})
        with("frame number " + std::to_string(frame), [&](locator &p) { p.frame_number = frame; });
    for (int32_t encapsulation : {-2, -1, 0, 2, 9999, INT32_MAX, INT32_MIN})
        with("encapsulation " + std::to_string(encapsulation), [&](locator &p) { p.encapsulation = encapsulation; });

    const std::string beyond_2gb =
        "You can not retrieve packet information if packet's offset in the original file exceeds 2GB.\nYou have to "
        "split the capture in order to do such operation.";
    for (const auto &[what, p] : locators) {
        SCOPED_TRACE(what);
        PacketSummary s;
        prime_error_text();
        const int32_t status =
            gGetPacketAtOffset(&s, p.frame_number, p.file_offset, p.captured_length, p.packet_length, p.encapsulation);
        EXPECT_TRUE(status == 0 || status == 1 || status == 3) << status;
        check_answer("gGetPacketAtOffset", status, status, "");
        if (p.file_offset >= 2147483647)
            check_answer("gGetPacketAtOffset", status, 1, beyond_2gb);
        if (p.captured_length < 0 && p.file_offset < 2147483647)
            check_answer("gGetPacketAtOffset", status, 1,
                         "The captured length " + std::to_string(p.captured_length) + " of the packet at offset " +
                             std::to_string(p.file_offset) + " is negative.");
        if (p.file_offset < 0 && p.captured_length >= 0)
            check_answer("gGetPacketAtOffset", status, 1,
                         std::string("An error occurred while reading from the file \"") + WSB_SAMPLE_CAPTURE +
                             "\": Invalid argument.");
        if (p.file_offset == good.file_offset && p.captured_length > good.captured_length)
            check_answer("gGetPacketAtOffset", status, 1,
                         "The packet at offset " + std::to_string(p.file_offset) + " of the file \"" +
                             WSB_SAMPLE_CAPTURE + "\" holds " + std::to_string(good.captured_length) +
                             " captured bytes, fewer than the " + std::to_string(p.captured_length) + " asked for.");
        if (status == 0) {
            int32_t count;
            const int32_t *ids;
            CHECK_ANSWER(gLastPacketHasPassedFilter("TCP", &count, &ids), 0, "");
        }

        int32_t length = -1;
        const uint8_t *data = nullptr;
        prime_error_text();
        const int32_t tree = gBuildPacketProtocolTree(&length, &data, p.frame_number, p.file_offset,
                                                      p.captured_length, p.packet_length, p.encapsulation);
        EXPECT_TRUE(tree == 0 || tree == 1 || tree == 3) << tree;
        check_answer("gBuildPacketProtocolTree", tree, tree, "");
        EXPECT_EQ(tree == 1 ? 0 : p.captured_length, length);

        prime_error_text();
        const int32_t follow = gFollowTCPStreamForPacket(p.frame_number, p.file_offset, p.captured_length,
                                                         p.packet_length, p.encapsulation);
        check_answer("gFollowTCPStreamForPacket", follow, follow, "");
        if (follow == 0) {
            for (const locator &q : sample.all)
                gAddPacketToTCPStream(q.frame_number, q.file_offset, q.captured_length, q.packet_length,
                                      q.encapsulation);
            prime_error_text();
            const int32_t add = gAddPacketToTCPStream(p.frame_number, p.file_offset, p.captured_length,
                                                      p.packet_length, p.encapsulation);
            check_answer("gAddPacketToTCPStream", add, add, "");
        }
        prime_error_text();
        const int32_t udp = gFollowUDPStreamForPacket(p.frame_number, p.file_offset, p.captured_length,
                                                      p.packet_length, p.encapsulation);
        check_answer("gFollowUDPStreamForPacket", udp, udp, "");
        prime_error_text();
        const int32_t add_udp = gAddPacketToUDPStream(p.frame_number, p.file_offset, p.captured_length,
                                                      p.packet_length, p.encapsulation);
        check_answer("gAddPacketToUDPStream", add_udp, add_udp, "");
        EXPECT_EQ(add_udp, status == 0 ? 0 : 1);
    }
    // The capture is still fine for a good locator.
    PacketSummary s;
    CHECK_ANSWER(gGetPacketAtOffset(&s, good.frame_number, good.file_offset, good.captured_length,
                                    good.packet_length, good.encapsulation),
                 0, "");
    EXPECT_EQ(s.frame_number, good.frame_number);
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

// A locator must describe the record at its offset: another link-layer type
// would have the engine read the record's pseudo-header as that type's (a
// crash), and a frame read in sequence is the packet at its own offset.
TEST_F(Misuse, LocatorsThatDoNotDescribeTheirRecord)
{
    ASSERT_EQ(gInitEpan(), 0);
    pcapw::PcapWriter writer;
    writer.add(1700000000, 0,
               pcapw::eth_ipv4_udp(pcapw::mac("02:00:00:00:00:02"), pcapw::mac("02:00:00:00:00:01"),
                                   pcapw::ip4("10.0.0.1"), pcapw::ip4("10.0.0.2"), 4000, 4001, pcapw::to_bytes("x")));
    writer.add(1700000001, 0,
               pcapw::eth_arp_request(pcapw::mac("02:00:00:00:00:01"), pcapw::ip4("10.0.0.1"), pcapw::ip4("10.0.0.2")));
    const std::string capture = work.file("two.pcap");
    writer.write(capture);
    ASSERT_EQ(gOpenCapture(capture.c_str()), 0);
    std::vector<locator> packets;
    PacketSummary s;
    while (gGetNextPacket(&s) == 0)
        packets.push_back(locator_of(s));
    ASSERT_EQ(packets.size(), 2u);
    ASSERT_EQ(gCreateCaptureFileForSave(save_path.c_str()), 0);

    // Every call that takes a locator answers alike.
    auto each_call = [&](const locator &p, int32_t status, const std::string &message) {
        PacketSummary summary;
        CHECK_ANSWER(gGetPacketAtOffset(&summary, p.frame_number, p.file_offset, p.captured_length, p.packet_length,
                                        p.encapsulation),
                     status, message);
        int32_t length;
        const uint8_t *data;
        CHECK_ANSWER(gBuildPacketProtocolTree(&length, &data, p.frame_number, p.file_offset, p.captured_length,
                                              p.packet_length, p.encapsulation),
                     status, message);
        const SavePacketRequest request = request_of(p);
        uint8_t skipped;
        CHECK_ANSWER(gSavePacketToCaptureFile(&skipped, &request), status, message);
        CHECK_ANSWER(gAddPacketToUDPStream(p.frame_number, p.file_offset, p.captured_length, p.packet_length,
                                           p.encapsulation),
                     status, message);
        if (status != 0)
            CHECK_ANSWER(gFollowUDPStreamForPacket(p.frame_number, p.file_offset, p.captured_length,
                                                   p.packet_length, p.encapsulation),
                         status, message);
    };
    const std::string file = "of the file \"" + capture + "\"";
    for (int32_t encapsulation : {80, 90, 188, 0, 2}) {
        SCOPED_TRACE(encapsulation);
        for (locator p : packets) {
            p.encapsulation = encapsulation;
            each_call(p, 1,
                      "The packet at offset " + std::to_string(p.file_offset) + " " + file +
                          " has the link-layer type 1, not the " + std::to_string(encapsulation) +
                          " of its locator.");
            p.frame_number = 0;  // no frame read in sequence: the same
            each_call(p, 1,
                      "The packet at offset " + std::to_string(p.file_offset) + " " + file +
                          " has the link-layer type 1, not the " + std::to_string(encapsulation) +
                          " of its locator.");
        }
    }
    locator swapped = packets[1];
    swapped.frame_number = 1;
    each_call(swapped, 1,
              "Frame 1 " + file + " was read at another offset than " + std::to_string(swapped.file_offset) + ".");
    // A number that sequential reading did not give out names no frame; the
    // locators as read, also with other lengths, are fine.
    locator unnumbered = packets[1];
    unnumbered.frame_number = 99;
    each_call(unnumbered, 0, "");
    locator shorter = packets[0];
    shorter.captured_length -= 1;
    shorter.packet_length += 1;
    each_call(shorter, 0, "");
    each_call(packets[0], 0, "");
    CHECK_ANSWER(gCloseCaptureFileForSave(), 0, "");
    EXPECT_EQ(wsbsweep::count_saved_records(save_path), 3);
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

// Save requests whose values are out of range.
TEST_F(Misuse, SaveRequestsOutOfRange)
{
    ASSERT_EQ(gInitEpan(), 0);
    const sample_packets sample = read_sample();
    ASSERT_FALSE(sample.all.empty());
    const locator &good = sample.tcp;
    ASSERT_EQ(gCreateCaptureFileForSave(save_path.c_str()), 0);

    std::vector<std::pair<std::string, SavePacketRequest>> requests;
    auto with = [&](const std::string &what, auto change) {
        SavePacketRequest request = request_of(good);
        change(request);
        requests.emplace_back(what, request);
    };
    for (uint32_t captured : {0xffffffffu, 0x80000000u, static_cast<uint32_t>(good.captured_length) + 1})
        with("captured length " + std::to_string(captured), [&](SavePacketRequest &r) { r.captured_length = captured; });
    for (int64_t offset : {int64_t{-1}, INT64_MIN, int64_t{2147483647}, INT64_MAX, int64_t{0}, int64_t{5}})
        with("offset " + std::to_string(offset), [&](SavePacketRequest &r) { r.file_offset = offset; });
    for (int32_t nanoseconds : {-1, INT32_MIN, 1000000000, INT32_MAX})
        with("nanoseconds " + std::to_string(nanoseconds),
             [&](SavePacketRequest &r) { r.time_nanoseconds = nanoseconds; });
    for (int64_t seconds : {int64_t{-1}, INT64_MIN, INT64_MAX, int64_t{0x100000000}})
        with("seconds " + std::to_string(seconds), [&](SavePacketRequest &r) { r.time_seconds = seconds; });
    for (int32_t encapsulation : {-1, 0, 2, 9999, INT32_MIN})
        with("encapsulation " + std::to_string(encapsulation),
             [&](SavePacketRequest &r) { r.encapsulation = encapsulation; });
    for (uint32_t wire : {0u, 0xffffffffu})
        with("packet length " + std::to_string(wire), [&](SavePacketRequest &r) { r.packet_length = wire; });
    with("skip flag 255", [&](SavePacketRequest &r) { r.skip_flag = 255; });
    with("frame number 0", [&](SavePacketRequest &r) { r.frame_number = 0; });

    long written = 0;
    for (const auto &[what, request] : requests) {
        SCOPED_TRACE(what);
        uint8_t skipped = 9;
        prime_error_text();
        const int32_t status = gSavePacketToCaptureFile(&skipped, &request);
        EXPECT_TRUE(status == 0 || status == 1) << status;
        check_answer("gSavePacketToCaptureFile", status, status, "");
        EXPECT_LE(skipped, 1);
        if (status == 1) {
            EXPECT_EQ(skipped, 0);
        }
        if (request.file_offset >= 2147483647)
            check_answer("gSavePacketToCaptureFile", status, 1,
                         "You can not save a packet if its offset in the original file exceeds 2GB.\nYou have to "
                         "split the capture in order to do such operation.");
        if (request.captured_length > static_cast<uint32_t>(good.captured_length) &&
            request.file_offset == good.file_offset) {
            EXPECT_EQ(status, 1);
        }
        written += status == 0 && skipped == 0;
    }
    // A failed request leaves the file usable; what was written is whole.
    uint8_t skipped;
    SavePacketRequest request = request_of(good);
    CHECK_ANSWER(gSavePacketToCaptureFile(&skipped, &request), 0, "");
    ++written;
    CHECK_ANSWER(gCloseCaptureFileForSave(), 0, "");
    EXPECT_EQ(wsbsweep::count_saved_records(save_path), written);
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

// Paths that are no capture file, or no place for a save file.
TEST_F(Misuse, PathsThatAreNoCaptures)
{
    ASSERT_EQ(gInitEpan(), 0);
    const std::string fifo = work.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string text_file = work.file("text.pcap");
    pcapw::write_file(text_file, pcapw::to_bytes("this is not a capture\n"));
    const std::string long_path = "/" + std::string(5000, 'a') + ".pcap";
    const std::string dot_dot = work.file("missing/../../../nowhere.pcap");
    for (const std::string &path : {std::string(""), std::string("-"), std::string("/"), work.path.string(), fifo,
                                    std::string("/dev/null"), work.file("missing.pcap"), text_file, long_path,
                                    dot_dot}) {
        SCOPED_TRACE(path.substr(0, 80));
        prime_error_text();
        const int32_t status = gOpenCapture(path.c_str());
        check_answer("gOpenCapture", status, 1, "");
    }
    int32_t count;
    const int32_t *ids;
    CHECK_ANSWER(gLastPacketHasPassedFilter("IP", &count, &ids), 1, no_dissection("Last Packet Has Passed Filter"));
    CHECK_ANSWER(gCloseCapture(), 1, no_capture("Close Capture"));

    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    for (const std::string &path : {std::string(""), std::string("/"), work.path.string(),
                                    work.file("missing/saved.pcap"), long_path, text_file + "/saved.pcap"}) {
        SCOPED_TRACE(path.substr(0, 80));
        prime_error_text();
        check_answer("gCreateCaptureFileForSave", gCreateCaptureFileForSave(path.c_str()), 1, "");
    }
    // A FIFO that no one reads would block the call for ever; it and other
    // files that are no regular files are refused at once.
    for (const std::string &path : {fifo, std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        CHECK_ANSWER(gCreateCaptureFileForSave(path.c_str()), 1,
                     "The file \"" + path + "\" is a \"special file\" or socket or other non-regular file.");
    }
    // A failed open leaves the open capture as it was.
    CHECK_ANSWER(gOpenCapture(work.file("missing.pcap").c_str()), 1, "");
    PacketSummary s;
    CHECK_ANSWER(gGetNextPacket(&s), 0, "");
    EXPECT_EQ(s.frame_number, 1u);
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

// The capture being read cannot be overwritten by a save file: creating it
// would empty the file the packets are re-read from.
TEST_F(Misuse, SavingOverTheOpenCaptureIsRefused)
{
    ASSERT_EQ(gInitEpan(), 0);
    const std::string capture = work.file("capture.pcap");
    const pcapw::Bytes original = [] {
        std::ifstream in(WSB_SAMPLE_CAPTURE, std::ios::binary);
        return pcapw::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }();
    pcapw::write_file(capture, original);
    const std::string link = work.file("link.pcap");
    ASSERT_EQ(symlink(capture.c_str(), link.c_str()), 0);
    ASSERT_EQ(gOpenCapture(capture.c_str()), 0);
    PacketSummary s;
    ASSERT_EQ(gGetNextPacket(&s), 0);
    for (const std::string &path : {capture, link, work.path.string() + "/./capture.pcap"}) {
        SCOPED_TRACE(path);
        CHECK_ANSWER(gCreateCaptureFileForSave(path.c_str()), 1,
                     "\"Create Capture File\" operation failed. The file \"" + path +
                         "\" is the capture being read; save to another file.");
    }
    std::ifstream in(capture, std::ios::binary);
    EXPECT_EQ(pcapw::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), original);
    SavePacketRequest request = request_of(s);
    uint8_t skipped;
    CHECK_ANSWER(gSavePacketToCaptureFile(&skipped, &request), 1,
                 "Error saving packet. The file to save the packet is already closed.");
    CHECK_ANSWER(gGetPacketAtOffset(&s, s.frame_number, s.file_offset, static_cast<int32_t>(s.captured_length),
                                    s.packet_length, s.encapsulation),
                 0, "");
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

// The capture is the file that was opened: a relative path and a later
// change of directory do not make its absolute path a place to save to.
TEST_F(Misuse, SavingOverTheCaptureOpenedByARelativePathIsRefused)
{
    ASSERT_EQ(gInitEpan(), 0);
    const std::string capture = work.file("cap.pcap");
    std::ifstream original_in(WSB_SAMPLE_CAPTURE, std::ios::binary);
    const pcapw::Bytes original(std::istreambuf_iterator<char>(original_in), {});
    pcapw::write_file(capture, original);
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(work.path);
    ASSERT_EQ(gOpenCapture("cap.pcap"), 0) << last_error();
    std::filesystem::current_path(library_temp.path);
    PacketSummary s;
    ASSERT_EQ(gGetNextPacket(&s), 0);
    CHECK_ANSWER(gCreateCaptureFileForSave(capture.c_str()), 1,
                 "\"Create Capture File\" operation failed. The file \"" + capture +
                     "\" is the capture being read; save to another file.");
    // A file of the same name in the new working directory is another file.
    CHECK_ANSWER(gCreateCaptureFileForSave("cap.pcap"), 0, "");
    CHECK_ANSWER(gCloseCaptureFileForSave(), 0, "");
    std::filesystem::remove(library_temp.file("cap.pcap"));
    std::filesystem::current_path(previous);
    std::ifstream in(capture, std::ios::binary);
    EXPECT_EQ(pcapw::Bytes(std::istreambuf_iterator<char>(in), {}), original);
    CHECK_ANSWER(gGetPacketAtOffset(&s, s.frame_number, s.file_offset, static_cast<int32_t>(s.captured_length),
                                    s.packet_length, s.encapsulation),
                 0, "");
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

// Field names and group names that are no field names: refused at
// registration, never crashing; messages stay within 2048 characters.
TEST_F(Misuse, NamesThatAreNoFields)
{
    ASSERT_EQ(gInitEpan(), 0);
    const std::string long_name(100000, 'x');
    CHECK_ANSWER(gRegisterProtocolFieldFilter("", "EMPTY"), 1, "");
    CHECK_ANSWER(gRegisterProtocolFieldFilter("tcp.port == 80) or (ip", "INJECTED"), 1, "");
    CHECK_ANSWER(gRegisterProtocolFieldFilter(long_name.c_str(), long_name.c_str()), 1, "");
    CHECK_ANSWER(gRegisterProtocolFieldFilter("\xff\xfe\x01", "BINARY"), 1, "");
    int32_t id, type;
    prime_error_text();
    check_answer("gGetProtocolFieldFilterInfo", gGetProtocolFieldFilterInfo("ip.version", &id, &type), 0, "");
    prime_error_text();
    check_answer("gGetProtocolFieldFilterInfo", gGetProtocolFieldFilterInfo(long_name.c_str(), &id, &type), 1, "");
    // Reading goes on with the default fields; the refused group was never made.
    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    PacketSummary s;
    int32_t count;
    const int32_t *ids;
    while (gGetNextPacket(&s) == 0) {
        CHECK_ANSWER(gLastPacketHasPassedFilter(long_name.c_str(), &count, &ids), 1, "");
        CHECK_ANSWER(gLastPacketHasPassedFilter("IP", &count, &ids), 0, "");
    }
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

namespace {

// The stream calls with their out-parameters, for one transport.
struct stream_calls {
    bool tcp;
    int32_t check(uint8_t *valid)
    {
        const char *server, *client, *conversation;
        int32_t server_size, client_size, conversation_size;
        return tcp ? gIsValidTcpStrem(valid, 0, &server, &server_size, &client, &client_size, &conversation,
                                      &conversation_size)
                   : gIsValidUDPStrem(valid, &server, &server_size, &client, &client_size, &conversation,
                                      &conversation_size);
    }
    int32_t line(int32_t format, int32_t direction, uint8_t *end, const char **text = nullptr)
    {
        const char *t = nullptr;
        uint32_t size = 0;
        uint8_t is_server = 0;
        *end = 0;
        const int32_t status = tcp ? gGetNextTCPStreamLine(format, direction, &t, &size, &is_server, end)
                                   : gGetNextUDPStreamLine(format, direction, &t, &size, &is_server, end);
        if (text)
            *text = t;
        return status;
    }
    int32_t follow(const locator &p)
    {
        return tcp ? gFollowTCPStreamForPacket(p.frame_number, p.file_offset, p.captured_length, p.packet_length,
                                               p.encapsulation)
                   : gFollowUDPStreamForPacket(p.frame_number, p.file_offset, p.captured_length, p.packet_length,
                                               p.encapsulation);
    }
    int32_t add(const locator &p)
    {
        return tcp ? gAddPacketToTCPStream(p.frame_number, p.file_offset, p.captured_length, p.packet_length,
                                           p.encapsulation)
                   : gAddPacketToUDPStream(p.frame_number, p.file_offset, p.captured_length, p.packet_length,
                                           p.encapsulation);
    }
    const char *idle() const { return tcp ? tcp_idle : udp_idle; }
};

// Reads a checked stream to its end with the given rendering; the number of
// pieces, or -1 when a call failed or it never ended.
int read_to_end(stream_calls &calls, int32_t format, int32_t direction)
{
    for (int pieces = 0; pieces < 100000; ++pieces) {
        uint8_t end = 0;
        const char *text = nullptr;
        if (calls.line(format, direction, &end, &text) != 0)
            return -1;
        if (end == 1)
            return pieces;
        if (!text)
            return -1;
    }
    return -1;
}

void check_stream_states(bool tcp, const std::string &library_temp)
{
    ASSERT_EQ(gInitEpan(), 0);
    const sample_packets sample = read_sample();
    ASSERT_FALSE(sample.all.empty());
    const locator &first = tcp ? sample.tcp : sample.udp;
    const locator &other_kind = tcp ? sample.udp : sample.tcp;
    stream_calls calls{tcp};
    stream_calls others{!tcp};
    uint8_t valid = 7, end = 7;

    // No follow: every stream call of both transports.
    check_null_arguments(library_state::open_undissected, first);
    CHECK_ANSWER(calls.check(&valid), 1, calls.idle());
    EXPECT_EQ(valid, 0);
    CHECK_ANSWER(calls.line(0, 2, &end), 1, calls.idle());
    CHECK_ANSWER(calls.add(first), tcp ? 1 : 0, tcp ? tcp_add_idle : "");
    CHECK_ANSWER(calls.follow(other_kind), 1,
                 std::string("Error following stream. Please make sure you have a ") + (tcp ? "TCP" : "UDP") +
                     " packet selected.");

    // Collecting.
    CHECK_ANSWER(calls.follow(first), 0, "");
    check_null_arguments(library_state::open_dissected, first);
    if (tcp) {
        // The collection has its file, open but already without a name there.
        EXPECT_TRUE(wsbsweep::directory_entries(library_temp).empty()) << "the collection's file has a name";
        size_t open_files = 0;
        for (const std::string &fd : wsbsweep::directory_entries("/proc/self/fd")) {
            char target[4096];
            const ssize_t length = readlink(("/proc/self/fd/" + fd).c_str(), target, sizeof target - 1);
            if (length > 0 && std::string(target, static_cast<size_t>(length)).rfind(library_temp + "/follow", 0) == 0)
                ++open_files;
        }
        EXPECT_EQ(open_files, 1u) << "the collection has its file";
        CHECK_ANSWER(calls.line(0, 2, &end), 1, tcp_collecting);
        EXPECT_EQ(end, 0);
    } else {
        CHECK_ANSWER(calls.line(0, 2, &end), 0, "");  // hands out what was collected so far: nothing
        EXPECT_EQ(end, 1);
    }
    CHECK_ANSWER(others.check(&valid), 1, others.idle());
    CHECK_ANSWER(others.line(0, 2, &end), 1, others.idle());
    for (const locator &p : sample.all)
        CHECK_ANSWER(calls.add(p), 0, "");
    // Other calls that dissect while collecting.
    int32_t length;
    const uint8_t *data;
    PacketSummary s;
    CHECK_ANSWER(gBuildPacketProtocolTree(&length, &data, first.frame_number, first.file_offset,
                                          first.captured_length, first.packet_length, first.encapsulation),
                 0, "");
    CHECK_ANSWER(gGetPacketAtOffset(&s, first.frame_number, first.file_offset, first.captured_length,
                                    first.packet_length, first.encapsulation),
                 0, "");

    // Collected (checked, not read).
    CHECK_ANSWER(calls.check(&valid), 0, "");
    EXPECT_EQ(valid, 1);
    check_null_arguments(library_state::open_dissected, first);
    if (tcp) {
        CHECK_ANSWER(calls.check(&valid), 1, tcp_idle);  // no collection in progress; the stream is kept
        EXPECT_EQ(valid, 0);
        CHECK_ANSWER(calls.add(first), 1, tcp_add_idle);
    } else {
        CHECK_ANSWER(calls.check(&valid), 0, "");  // builds the texts again
        EXPECT_EQ(valid, 1);
        CHECK_ANSWER(calls.add(first), 0, "");
    }

    // Reading, in every rendering and direction, known or not.
    const int pieces = read_to_end(calls, 0, 2);
    EXPECT_GT(pieces, 0);
    for (int32_t format : {0, 1, 2, 3, 4, -1, INT32_MAX, INT32_MIN})
        for (int32_t direction : {0, 1, 2, 3, -1, INT32_MAX, INT32_MIN}) {
            SCOPED_TRACE("format " + std::to_string(format) + ", direction " + std::to_string(direction));
            EXPECT_GE(read_to_end(calls, format, direction), 0);
        }
    EXPECT_EQ(read_to_end(calls, 9, 9), pieces) << "unknown values render as ascii in both directions";
    // In the middle of a reading pass.
    CHECK_ANSWER(calls.line(2, 2, &end), 0, "");
    EXPECT_EQ(end, 0);
    check_null_arguments(library_state::open_dissected, first);
    if (tcp) {
        CHECK_ANSWER(calls.check(&valid), 1, tcp_idle);
        CHECK_ANSWER(calls.add(first), 1, tcp_add_idle);
    }
    CHECK_ANSWER(others.check(&valid), 1, others.idle());
    CHECK_ANSWER(calls.line(3, 0, &end), 0, "");
    // Following again in the middle of reading starts afresh.
    CHECK_ANSWER(calls.follow(first), 0, "");
    CHECK_ANSWER(calls.add(first), 0, "");
    CHECK_ANSWER(calls.check(&valid), 0, "");
    CHECK_ANSWER(calls.line(0, 2, &end), 0, "");
    // Following the other transport ends this stream.
    CHECK_ANSWER(others.follow(other_kind), 0, "");
    CHECK_ANSWER(calls.line(0, 2, &end), 1, calls.idle());
    CHECK_ANSWER(calls.check(&valid), 1, calls.idle());
    // Closing the capture while collecting ends it and removes its file.
    CHECK_ANSWER(calls.follow(first), 0, "");
    CHECK_ANSWER(gCloseCapture(), 0, "");
    EXPECT_TRUE(wsbsweep::directory_entries(library_temp).empty());
    CHECK_ANSWER(calls.line(0, 2, &end), 1, calls.idle());
    CHECK_ANSWER(calls.check(&valid), 1, calls.idle());
    CHECK_ANSWER(calls.add(first), 1,
                 tcp ? std::string(tcp_add_idle) : no_capture("Get Packet At Offset"));
    // Shutting down in the middle of reading ends it too.
    const sample_packets again = read_sample();
    ASSERT_FALSE(again.all.empty());
    CHECK_ANSWER(calls.follow(first), 0, "");
    for (const locator &p : again.all)
        calls.add(p);
    CHECK_ANSWER(calls.check(&valid), 0, "");
    CHECK_ANSWER(calls.line(0, 2, &end), 0, "");
    gHackedCleanup();  // the followed stream does not depend on the engine's per-capture state
    CHECK_ANSWER(calls.line(0, 2, &end), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
    CHECK_ANSWER(calls.line(0, 2, &end), 1, calls.idle());
    CHECK_ANSWER(calls.check(&valid), 1, calls.idle());
}

}  // namespace

// The TCP stream calls with no follow, while collecting, once collected and
// while reading.
TEST_F(Misuse, TcpStreamInEveryState)
{
    check_stream_states(true, library_temp.path.string());
}

// The UDP stream calls with no follow, while collecting, once collected and
// while reading.
TEST_F(Misuse, UdpStreamInEveryState)
{
    check_stream_states(false, library_temp.path.string());
}

// Discarding the engine's per-capture state while a TCP collection runs and
// while a save file is open: both go on.
TEST_F(Misuse, HackedCleanupDuringCollectionAndSaving)
{
    ASSERT_EQ(gInitEpan(), 0);
    const sample_packets sample = read_sample();
    ASSERT_FALSE(sample.all.empty());
    const locator &tcp = sample.tcp;
    ASSERT_EQ(gFollowTCPStreamForPacket(tcp.frame_number, tcp.file_offset, tcp.captured_length, tcp.packet_length,
                                        tcp.encapsulation),
              0);
    ASSERT_EQ(gCreateCaptureFileForSave(save_path.c_str()), 0);
    uint8_t skipped;
    size_t index = 0;
    for (const locator &p : sample.all) {
        if (index++ % 3 == 0)
            gHackedCleanup();
        CHECK_ANSWER(gAddPacketToTCPStream(p.frame_number, p.file_offset, p.captured_length, p.packet_length,
                                           p.encapsulation),
                     0, "");
        SavePacketRequest request = request_of(p);
        request.skip_flag = 1;
        CHECK_ANSWER(gSavePacketToCaptureFile(&skipped, &request), 0, "");
    }
    uint8_t valid;
    const char *server, *client, *conversation;
    int32_t server_size, client_size, conversation_size;
    CHECK_ANSWER(gIsValidTcpStrem(&valid, 0, &server, &server_size, &client, &client_size, &conversation,
                                  &conversation_size),
                 0, "");
    uint8_t end = 0;
    const char *text;
    uint32_t size;
    uint8_t is_server;
    CHECK_ANSWER(gGetNextTCPStreamLine(0, 2, &text, &size, &is_server, &end), 0, "");
    CHECK_ANSWER(gCloseCaptureFileForSave(), 0, "");
    EXPECT_GT(wsbsweep::count_saved_records(save_path), 0);
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

// A host that passes gGetLastError()'s own text back in as a name or a path
// gets the answer it gets for a copy of that text.
TEST_F(Misuse, ErrorTextPassedBackIn)
{
    ASSERT_EQ(gInitEpan(), 0);
    const char *error = gGetLastError();
    // Leaves the same message each time.
    auto write_text = [&] {
        int32_t id, type;
        EXPECT_EQ(gGetProtocolFieldFilterInfo(work.file("wsb.no.such.field").c_str(), &id, &type), 1);
        return last_error();
    };
    auto same_answer = [&](const char *what, const std::function<int32_t(const char *)> &call) {
        SCOPED_TRACE(what);
        const std::string text = write_text();
        const int32_t status = call(text.c_str());
        const std::string message = last_error();
        write_text();
        EXPECT_EQ(call(error), status);
        EXPECT_EQ(last_error(), message);
    };
    int32_t id, type, count;
    const int32_t *ids;
    same_answer("field info", [&](const char *name) { return gGetProtocolFieldFilterInfo(name, &id, &type); });
    same_answer("open", [&](const char *path) { return gOpenCapture(path); });
    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    PacketSummary s;
    ASSERT_EQ(gGetNextPacket(&s), 0);
    same_answer("group", [&](const char *group) { return gLastPacketHasPassedFilter(group, &count, &ids); });
    same_answer("save", [&](const char *path) { return gCreateCaptureFileForSave(path); });
    // Registering refuses the unknown name, quoting a copy of the text.
    const std::string text = write_text();
    EXPECT_EQ(gRegisterProtocolFieldFilter(error, error), 1);
    EXPECT_EQ(last_error(), "\"Register protocol field filter\" operation failed. \"" + text +
                                "\" is neither a field nor a protocol name the engine knows.");
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

// Texts a host keeps in read-only memory (string literals) are only read:
// the engine's filter compiler writes into the texts it gets while it looks
// up a "${...}" reference, so every export that passes a host's text on gets
// the answer it gets for a writable copy.
TEST_F(Misuse, TextsInReadOnlyMemory)
{
    ASSERT_EQ(gInitEpan(), 0);
    const long page_size = sysconf(_SC_PAGESIZE);
    void *page = mmap(nullptr, static_cast<size_t>(page_size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                      -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    char *next = static_cast<char *>(page);
    auto place = [&](const std::string &text) {
        char *placed = next;
        memcpy(placed, text.c_str(), text.size() + 1);
        next += text.size() + 1;
        return placed;
    };
    const char *unknown_macro = place("${nope}");
    const char *field_reference = place("ip.src == ${ip.dst} || frame.number == 2");
    const char *field = place("${ip.src}");
    const char *name = place("ip.src");
    const char *group = place("${G}");
    const char *preference = place("tcp.${x}:TRUE");
    const char *capture = place(WSB_SAMPLE_CAPTURE);
    const char *save = place(save_path);
    ASSERT_EQ(mprotect(page, static_cast<size_t>(page_size), PROT_READ), 0);

    EXPECT_EQ(gSetDisplayFilter(unknown_macro), 1);
    EXPECT_EQ(last_error(), "macro 'nope' does not exist");
    EXPECT_EQ(gSetDisplayFilter(field_reference), 0) << last_error();
    EXPECT_EQ(gRegisterProtocolFieldFilter(field, group), 1);
    EXPECT_EQ(gRegisterProtocolFieldFilter(name, group), 0) << last_error();
    int32_t id, type, count;
    const int32_t *ids;
    EXPECT_EQ(gGetProtocolFieldFilterInfo(field, &id, &type), 1);
    EXPECT_EQ(gGetProtocolFieldFilterInfo(name, &id, &type), 0) << last_error();
    EXPECT_EQ(gSetPreference(preference), 1);
    ASSERT_EQ(gOpenCapture(capture), 0) << last_error();
    PacketSummary s;
    ASSERT_EQ(gGetNextPacket(&s), 0) << last_error();
    EXPECT_EQ(s.frame_number, 2u);
    EXPECT_EQ(gLastPacketHasPassedFilter(group, &count, &ids), 0) << last_error();
    EXPECT_EQ(gCreateCaptureFileForSave(save), 0) << last_error();
    EXPECT_EQ(gCloseCaptureFileForSave(), 0) << last_error();
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
    munmap(page, static_cast<size_t>(page_size));
}

