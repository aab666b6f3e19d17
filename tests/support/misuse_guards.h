/* SPDX-License-Identifier: GPL-2.0-or-later */
// The guards of the exports as the misuse tests see them: the states of the
// library as far as the guards tell them apart, the answer of each kind of
// guard in each state, and every null pointer argument of every export with
// the message it gets when the guard lets the call through.
#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "misuse_support.h"

namespace wsbmisuse {

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
inline std::string guard_answer(guard kind, const std::string &operation, library_state state)
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

inline std::vector<null_case> null_cases(const locator &p)
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
    const std::string follow_texts_null = "\"Get Follow Texts\" operation failed. An output argument is null.";
    const std::string follow_chunk_null = "\"Get Next Follow Chunk\" operation failed. An output argument is null.";
    const std::string field_value_null =
        "\"Get Field Value\" operation failed. No place for the value and its text was given.";
    const std::string request_null = "\"Request Statistics\" operation failed. No request, or no place for the "
                                     "table's number, was given.";
    const std::string interfaces_null = "\"List Interfaces\" operation failed. No place for the list was given.";
    const std::string no_interface = "\"Open Live Capture\" operation failed. No interface was given.";
    const std::string not_live =
        "\"Get Live Capture Counts\" operation failed. The open capture is a file, not a live capture.";
    static const WsbInterface *interfaces;
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
        {"gGetDissectionGeneration(null)", guard::two_step, "Get Dissection Generation",
         "\"Get Dissection Generation\" operation failed. No place for the generation was given.",
         [] { return gGetDissectionGeneration(nullptr); }},
        {"gGetFollowTexts(null, ...)", guard::two_step, "Get Follow Texts", follow_texts_null,
         [] { return gGetFollowTexts(nullptr, &i32, &text, &i32, &text, &i32); }},
        {"gGetFollowTexts(.., null conversation size)", guard::two_step, "Get Follow Texts", follow_texts_null,
         [] { return gGetFollowTexts(&text, &i32, &text, &i32, &text, nullptr); }},
        {"gGetNextFollowChunk(null data)", guard::two_step, "Get Next Follow Chunk", follow_chunk_null,
         [] { return gGetNextFollowChunk(0, 2, nullptr, &u32, &u8, &u8); }},
        {"gGetNextFollowChunk(null end)", guard::two_step, "Get Next Follow Chunk", follow_chunk_null,
         [] { return gGetNextFollowChunk(0, 2, &text, &u32, &u8, nullptr); }},
        {"gSaveFrames(null path)", guard::three_step, "Save Frames",
         "\"Save Frames\" operation failed. No file path was given.",
         [] { return gSaveFrames(nullptr, WSB_SAVE_FORMAT_PCAP, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr); }},
        {"gGetFieldValue(id, null, text)", guard::none, "", field_value_null,
         [] { return gGetFieldValue(1, nullptr, &text); }},
        {"gGetFieldValue(id, value, null)", guard::none, "", field_value_null,
         [] {
             static WsbBatchValue value;
             return gGetFieldValue(1, &value, nullptr);
         }},
        {"gRequestStatistics(null, table)", guard::two_step, "Request Statistics", request_null,
         [] { return gRequestStatistics(nullptr, &i32); }},
        {"gRequestStatistics(request, null)", guard::two_step, "Request Statistics", request_null,
         [] { return gRequestStatistics("conv,udp", nullptr); }},
        // Live capture. Without a live capture open, the counts' guard answers
        // before the outputs are looked at: no capture, or a file.
        {"gListInterfaces(null, count)", guard::two_step, "List Interfaces", interfaces_null,
         [] { return gListInterfaces(nullptr, &i32); }},
        {"gListInterfaces(interfaces, null)", guard::two_step, "List Interfaces", interfaces_null,
         [] { return gListInterfaces(&interfaces, nullptr); }},
        {"gOpenLiveCapture(null)", guard::two_step, "Open Live Capture", no_interface,
         [] { return gOpenLiveCapture(nullptr); }},
        {"gOpenLiveCapture(null interface)", guard::two_step, "Open Live Capture", no_interface,
         [] {
             WsbLiveOptions options{};
             options.capture_filter = "udp port 9";
             return gOpenLiveCapture(&options);
         }},
        {"gGetLiveCaptureCounts(null, dropped)", guard::three_step, "Get Live Capture Counts", not_live,
         [] { return gGetLiveCaptureCounts(nullptr, &u64); }},
        {"gGetLiveCaptureCounts(written, null)", guard::three_step, "Get Live Capture Counts", not_live,
         [] { return gGetLiveCaptureCounts(&u64, nullptr); }},
    };
}

// The null pointer arguments of the calls on a statistics table, given the
// tables of request_misuse_tables() (the table is checked before the
// outputs, so these need the tables asked for).
inline std::vector<null_case> table_null_cases()
{
    static int32_t i32;
    static int64_t i64;
    static const char *text;
    static const WsbConversation *conversations;
    static const WsbEndpoint *endpoints;
    static const WsbHierarchyRow *hierarchy;
    static const WsbIntervalRow *intervals;
    auto records_null = [](const std::string &operation) {
        return "\"" + operation + "\" operation failed. No place for the records and their count was given.";
    };
    auto added_null = [](const std::string &operation) {
        return "\"" + operation + "\" operation failed. The records are missing or their count is negative.";
    };
    const std::string text_null =
        "\"Get Statistics Text\" operation failed. No place for the text and its size was given.";
    return {
        {"gGetStatisticsKind(table, null)", guard::two_step, "Get Statistics Kind",
         "\"Get Statistics Kind\" operation failed. No place for the kind was given.",
         [] { return gGetStatisticsKind(conversations_table, nullptr); }},
        {"gGetConversations(table, null, count)", guard::two_step, "Get Conversations", records_null("Get Conversations"),
         [] { return gGetConversations(conversations_table, nullptr, &i32); }},
        {"gGetConversations(table, records, null)", guard::two_step, "Get Conversations",
         records_null("Get Conversations"), [] { return gGetConversations(conversations_table, &conversations, nullptr); }},
        {"gGetEndpoints(table, null, count)", guard::two_step, "Get Endpoints", records_null("Get Endpoints"),
         [] { return gGetEndpoints(endpoints_table, nullptr, &i32); }},
        {"gGetEndpoints(table, records, null)", guard::two_step, "Get Endpoints", records_null("Get Endpoints"),
         [] { return gGetEndpoints(endpoints_table, &endpoints, nullptr); }},
        {"gGetHierarchy(table, null, count)", guard::two_step, "Get Hierarchy", records_null("Get Hierarchy"),
         [] { return gGetHierarchy(hierarchy_table, nullptr, &i32); }},
        {"gGetHierarchy(table, records, null)", guard::two_step, "Get Hierarchy", records_null("Get Hierarchy"),
         [] { return gGetHierarchy(hierarchy_table, &hierarchy, nullptr); }},
        {"gGetIntervals(table, null, ..)", guard::two_step, "Get Intervals", records_null("Get Intervals"),
         [] { return gGetIntervals(intervals_table, nullptr, &i32, &i64, &i32); }},
        {"gGetIntervals(table, records, null, ..)", guard::two_step, "Get Intervals", records_null("Get Intervals"),
         [] { return gGetIntervals(intervals_table, &intervals, nullptr, &i64, &i32); }},
        {"gGetIntervals(.., null seconds, ..)", guard::two_step, "Get Intervals", records_null("Get Intervals"),
         [] { return gGetIntervals(intervals_table, &intervals, &i32, nullptr, &i32); }},
        {"gGetIntervals(.., null nanoseconds)", guard::two_step, "Get Intervals", records_null("Get Intervals"),
         [] { return gGetIntervals(intervals_table, &intervals, &i32, &i64, nullptr); }},
        {"gGetStatisticsText(table, null, size)", guard::two_step, "Get Statistics Text", text_null,
         [] { return gGetStatisticsText(hierarchy_table, nullptr, &i32); }},
        {"gGetStatisticsText(table, text, null)", guard::two_step, "Get Statistics Text", text_null,
         [] { return gGetStatisticsText(intervals_table, &text, nullptr); }},
        // Null records with a count.
        {"gAddConversations(table, null, 1)", guard::two_step, "Add Conversations", added_null("Add Conversations"),
         [] { return gAddConversations(conversations_table, nullptr, 1); }},
        {"gAddEndpoints(table, null, 1)", guard::two_step, "Add Endpoints", added_null("Add Endpoints"),
         [] { return gAddEndpoints(endpoints_table, nullptr, 1); }},
        {"gAddHierarchy(table, null, INT32_MAX)", guard::two_step, "Add Hierarchy", added_null("Add Hierarchy"),
         [] { return gAddHierarchy(hierarchy_table, nullptr, INT32_MAX); }},
        {"gAddIntervals(table, null, 1, ..)", guard::two_step, "Add Intervals", added_null("Add Intervals"),
         [] { return gAddIntervals(intervals_table, nullptr, 1, 0, 0); }},
    };
}

// Whether the tables of request_misuse_tables() were asked for.
inline bool misuse_tables_asked()
{
    int32_t kind = 0;
    return gGetStatisticsKind(intervals_table, &kind) == 0 && kind == WSB_STATS_INTERVALS;
}

// Every null pointer argument of every export: status 1 with the guard's
// message when the guard fails in this state, else the null message.
inline void check_null_arguments(library_state state, const locator &p)
{
    std::vector<null_case> cases = null_cases(p);
    // Without a running engine the guard answers; with one, the tables must
    // have been asked for.
    if (state == library_state::not_started || state == library_state::shut_down || misuse_tables_asked()) {
        const std::vector<null_case> more = table_null_cases();
        cases.insert(cases.end(), more.begin(), more.end());
    }
    for (const null_case &c : cases) {
        SCOPED_TRACE(c.call);
        std::string expected = guard_answer(c.kind, c.operation, state);
        if (expected.empty())
            expected = c.message;
        check_answer(c.call, (prime_error_text(), c.run()), 1, expected);
    }
}

}  // namespace wsbmisuse
