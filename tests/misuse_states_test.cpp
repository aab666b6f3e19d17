// SPDX-License-Identifier: GPL-2.0-or-later
// Every export in every state of the library, called the wrong way: before
// start-up, without a capture, with a capture open, read to its end, closed
// after reading and after shutdown. Null out-parameters and null texts,
// out-of-range values and stale handles get a status and a message, never a
// crash. The engine starts once per process, so each state is a test of its
// own.
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "wsbridge.h"
#include "api_sweep.h"
#include "locator.h"
#include "misuse_guards.h"
#include "misuse_support.h"

using namespace wsbtest;
using namespace wsbmisuse;

namespace {

std::string no_conversation(const std::string &operation)
{
    return "\"" + operation + "\" operation failed. No conversation is followed: follow one with "
           "gFollowConversation first (opening or closing a capture and every other follow end it).";
}

std::string not_matched(int32_t id)
{
    return "Protocol field ID \"" + std::to_string(id) + "\" is not one that passed the filter.\n";
}

const char no_packet_texts[] =
    "\"Get Packet Texts\" operation failed. There is no current packet: read one with gGetNextPacket or "
    "gGetPacketAtOffset (any later call that dissects a packet replaces it).";
const char no_tree[] = "Error reading tree node: The protocols tree is not created.";
const char out_of_range[] = "Error reading tree node: Index out of range.";

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
        {"gGetDissectionGeneration", guard::two_step, "Get Dissection Generation", 0, "",
         [] { return gGetDissectionGeneration(&u64); }},
        {"gFollowConversation", guard::three_step, "Follow Conversation", 0, "",
         [p] {
             return gFollowConversation(WSB_FOLLOW_TCP, p.frame_number, p.file_offset, p.captured_length,
                                        p.packet_length, p.encapsulation);
         }},
        {"gGetFollowTexts", guard::two_step, "Get Follow Texts", 1, no_conversation("Get Follow Texts"),
         [] { return gGetFollowTexts(&text, &i32a, &text2, &i32b, &text3, &i32c); }},
        {"gGetNextFollowChunk", guard::two_step, "Get Next Follow Chunk", 1, no_conversation("Get Next Follow Chunk"),
         [] { return gGetNextFollowChunk(WSB_RENDER_RAW, WSB_DIRECTION_BOTH, &text, &u32, &u8a, &u8b); }},
        {"gSaveFrames", guard::three_step, "Save Frames", 0, "",
         [save_path] {
             return gSaveFrames(save_path.c_str(), WSB_SAVE_FORMAT_PCAPNG, nullptr, 0, nullptr, 0, nullptr, nullptr,
                                nullptr);
         }},
        {"gGetFieldValue", guard::dissection, "Get Field Value", 0, "",
         [] {
             static WsbBatchValue value;
             return gGetFieldValue(1, &value, &text);
         }},
        // Clearing the display filter and setting a preference need no capture.
        {"gSetDisplayFilter", guard::two_step, "Set Display Filter", 0, "", [] { return gSetDisplayFilter(nullptr); }},
        {"gSetPreference", guard::two_step, "Set Preference", 0, "",
         [] { return gSetPreference("tcp.desegment_tcp_streams:FALSE"); }},
        {"gSetSummaryTexts", guard::two_step, "Set Summary Texts", 0, "", [] { return gSetSummaryTexts(1); }},
        // Statistics need the engine only; the tables of request_misuse_tables()
        // exist wherever it runs.
        {"gRequestStatistics", guard::two_step, "Request Statistics", 0, "",
         [] { return gRequestStatistics("conv,udp", &i32a); }},
        {"gGetStatisticsKind", guard::two_step, "Get Statistics Kind", 0, "",
         [] { return gGetStatisticsKind(hierarchy_table, &i32a); }},
        {"gGetConversations", guard::two_step, "Get Conversations", 0, "",
         [] {
             static const WsbConversation *records;
             return gGetConversations(conversations_table, &records, &i32a);
         }},
        {"gGetEndpoints", guard::two_step, "Get Endpoints", 0, "",
         [] {
             static const WsbEndpoint *records;
             return gGetEndpoints(endpoints_table, &records, &i32a);
         }},
        {"gGetHierarchy", guard::two_step, "Get Hierarchy", 0, "",
         [] {
             static const WsbHierarchyRow *records;
             return gGetHierarchy(hierarchy_table, &records, &i32a);
         }},
        {"gGetIntervals", guard::two_step, "Get Intervals", 0, "",
         [] {
             static const WsbIntervalRow *records;
             static int64_t seconds;
             return gGetIntervals(intervals_table, &records, &i32a, &seconds, &i32b);
         }},
        {"gGetStatisticsText", guard::two_step, "Get Statistics Text", 0, "",
         [] { return gGetStatisticsText(intervals_table, &text, &i32a); }},
        {"gAddConversations", guard::two_step, "Add Conversations", 0, "",
         [] { return gAddConversations(conversations_table, nullptr, 0); }},
        {"gAddEndpoints", guard::two_step, "Add Endpoints", 0, "",
         [] { return gAddEndpoints(endpoints_table, nullptr, 0); }},
        {"gAddHierarchy", guard::two_step, "Add Hierarchy", 0, "",
         [] { return gAddHierarchy(hierarchy_table, nullptr, 0); }},
        {"gAddIntervals", guard::two_step, "Add Intervals", 0, "",
         [] { return gAddIntervals(intervals_table, nullptr, 0, 1, 0); }},
        // Live capture (gOpenLiveCapture changes the state: the tests call it
        // themselves). Listing runs dumpcap -D.
        {"gListInterfaces", guard::two_step, "List Interfaces", dumpcap_installed() ? 0 : 1, "",
         [] {
             static const WsbInterface *interfaces;
             return gListInterfaces(&interfaces, &i32a);
         }},
        {"gWaitForPacket", guard::three_step, "Wait For Packet", 0, "", [] { return gWaitForPacket(0); }},
        {"gStopLiveCapture", guard::none, "", 0, "", [] { return gStopLiveCapture(); }},
        {"gGetLiveCaptureCounts", guard::three_step, "Get Live Capture Counts", 0, "",
         [] { return gGetLiveCaptureCounts(&u64, &u64); }},
        // Last: forgets the tables the rows above read.
        {"gClearStatistics", guard::two_step, "Clear Statistics", 0, "", [] { return gClearStatistics(); }},
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

// A packet of the sample capture without reading it (its first packet).
locator first_sample_packet()
{
    return {1, 24, 42, 42, 1, 1700000000, 0};
}

std::string capture_open(const std::string &operation)
{
    return "\"" + operation + "\" operation failed. Statistics are asked for before a capture is opened: close the "
           "capture first (the tables count the captures opened afterwards).";
}

const char not_live[] =
    "\"Get Live Capture Counts\" operation failed. The open capture is a file, not a live capture.";

// gOpenLiveCapture's refusals of its options: no dumpcap is started and the
// state stays as it was (an open capture stays open).
void check_live_refusals()
{
    const std::string negative =
        "\"Open Live Capture\" operation failed. A count, length or size of the options is negative.";
    for (int32_t bad : {-1, INT32_MIN}) {
        for (int member = 0; member < 6; ++member) {
            SCOPED_TRACE(std::to_string(member) + ": " + std::to_string(bad));
            WsbLiveOptions options = quiet_live_options();
            int32_t *members[] = {&options.snap_length,     &options.stop_after_packets,  &options.stop_after_seconds,
                                  &options.session_packets, &options.ring_file_kilobytes, &options.ring_files};
            *members[member] = bad;
            CHECK_ANSWER(gOpenLiveCapture(&options), 1, negative);
            EXPECT_EQ(gGetLastErrorCode(), WSB_E_BAD_ARGUMENT);
        }
    }
    WsbLiveOptions ring = quiet_live_options();
    ring.ring_files = 3;
    CHECK_ANSWER(gOpenLiveCapture(&ring), 1,
                 "\"Open Live Capture\" operation failed. A ring of spool files needs a file size and at least 2 "
                 "files (3 given).");
    ring.ring_file_kilobytes = 100;
    ring.ring_files = 1;
    CHECK_ANSWER(gOpenLiveCapture(&ring), 1,
                 "\"Open Live Capture\" operation failed. A ring of spool files needs a file size and at least 2 "
                 "files (1 given).");
    WsbLiveOptions unnamed = quiet_live_options();
    unnamed.interface_name = "";
    CHECK_ANSWER(gOpenLiveCapture(&unnamed), 1, "\"Open Live Capture\" operation failed. No interface was given.");
}

// Statistics with a capture (file) open: tables are neither asked for nor
// forgotten; every table hands out what it counted so far, as records and
// as text; a table number of another kind or none is refused. The number
// of conversations counted.
int32_t check_statistics_with_capture()
{
    int32_t table = -1;
    CHECK_ANSWER(gRequestStatistics("conv,udp", &table), 1, capture_open("Request Statistics"));
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_STATE);
    EXPECT_EQ(table, -1);
    CHECK_ANSWER(gClearStatistics(), 1, capture_open("Clear Statistics"));
    const int32_t kinds[] = {WSB_STATS_CONVERSATIONS, WSB_STATS_ENDPOINTS, WSB_STATS_HIERARCHY, WSB_STATS_INTERVALS};
    for (int32_t i = 0; i < misuse_tables; ++i) {
        int32_t kind = -1, size = -1;
        const char *text = nullptr;
        CHECK_ANSWER(gGetStatisticsKind(i, &kind), 0, "");
        EXPECT_EQ(kind, kinds[i]);
        CHECK_ANSWER(gGetStatisticsText(i, &text, &size), 0, "");
        EXPECT_TRUE(text && size == static_cast<int32_t>(strlen(text) + 1)) << size;
    }
    const WsbConversation *conversations = nullptr;
    const WsbEndpoint *endpoints = nullptr;
    const WsbHierarchyRow *rows = nullptr;
    const WsbIntervalRow *intervals = nullptr;
    int32_t count = -1, nanoseconds = -1;
    int64_t seconds = -1;
    CHECK_ANSWER(gGetEndpoints(endpoints_table, &endpoints, &count), 0, "");
    EXPECT_EQ(count == 0, endpoints == nullptr);
    CHECK_ANSWER(gGetHierarchy(hierarchy_table, &rows, &count), 0, "");
    EXPECT_EQ(count == 0, rows == nullptr);
    CHECK_ANSWER(gGetIntervals(intervals_table, &intervals, &count, &seconds, &nanoseconds), 0, "");
    EXPECT_EQ(count == 0, intervals == nullptr);
    EXPECT_GE(seconds, 0);
    CHECK_ANSWER(gGetConversations(endpoints_table, &conversations, &count), 1,
                 "\"Get Conversations\" operation failed. Statistics table 1 (\"endpoints,ip\") is not of this kind.");
    CHECK_ANSWER(gGetIntervals(misuse_tables, &intervals, &count, &seconds, &nanoseconds), 1,
                 "\"Get Intervals\" operation failed. No statistics table 4 was asked for (4 were).");
    count = -1;
    CHECK_ANSWER(gGetConversations(conversations_table, &conversations, &count), 0, "");
    EXPECT_EQ(count == 0, conversations == nullptr);
    return count;
}

// The live capture calls with a capture file open: waiting answers at once
// (0 while records are left, 2 at the end), stopping does nothing, there are
// no live counts.
void check_live_calls_on_a_file(int32_t waiting)
{
    for (int32_t timeout : {0, -1, INT32_MIN, INT32_MAX})
        CHECK_ANSWER(gWaitForPacket(timeout), waiting, "");
    CHECK_ANSWER(gStopLiveCapture(), 0, "");
    uint64_t written = 7, dropped = 7;
    CHECK_ANSWER(gGetLiveCaptureCounts(&written, &dropped), 1, not_live);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_STATE);
    EXPECT_EQ(written, 7u);
    check_live_refusals();
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
    WsbLiveOptions options = quiet_live_options();
    CHECK_ANSWER(gOpenLiveCapture(&options), 1, not_started("Open Live Capture"));
    CHECK_ANSWER(gOpenLiveCapture(nullptr), 1, not_started("Open Live Capture"));
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
    request_misuse_tables();
    const locator p = first_sample_packet();
    check_null_arguments(library_state::no_capture, p);
    check_exports_without_capture(library_state::no_capture, p, save_path);
    CHECK_ANSWER(gInitEpan(), 1, "Wireshark engine was already initialized.");
    CHECK_ANSWER(gCloseCapture(), 1, no_capture("Close Capture"));
    // The tables were forgotten (gClearStatistics, last of the rows).
    int32_t kind;
    CHECK_ANSWER(gGetStatisticsKind(0, &kind), 1,
                 "\"Get Statistics Kind\" operation failed. No statistics table 0 was asked for (0 were).");
    CHECK_ANSWER(gClearStatistics(), 0, "");
    check_live_refusals();
    // A live capture is read whole.
    ASSERT_EQ(gSetReadingShare(1, 2, WSB_SHARE_BALANCED), 0);
    WsbLiveOptions options = quiet_live_options();
    CHECK_ANSWER(gOpenLiveCapture(&options), 1,
                 "\"Open Live Capture\" operation failed. A live capture is read whole: set the reading share back to "
                 "(0, 1) first.");
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_STATE);
    ASSERT_EQ(gSetReadingShare(0, 1, WSB_SHARE_BALANCED), 0);
    CHECK_ANSWER(gOpenCapture(WSB_SAMPLE_CAPTURE), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

// Capture open, nothing read yet: every call but the field calls works (they
// have no dissected packet until something is read).
TEST_F(Misuse, CaptureOpenNothingRead)
{
    ASSERT_EQ(gInitEpan(), 0);
    request_misuse_tables();
    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    const locator p = first_sample_packet();
    check_null_arguments(library_state::open_undissected, p);
    EXPECT_EQ(check_statistics_with_capture(), 0);
    check_live_calls_on_a_file(0);
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
    request_misuse_tables();
    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    PacketSummary s;
    ASSERT_EQ(gGetNextPacket(&s), 0);  // ARP
    const locator arp = locator_of(s);
    check_null_arguments(library_state::open_dissected, arp);
    EXPECT_EQ(check_statistics_with_capture(), 0);  // no TCP yet
    check_live_calls_on_a_file(0);

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
    // Following in one call, chunks and saving in one call, called wrongly.
    CHECK_ANSWER(gFollowConversation(WSB_FOLLOW_TCP, arp.frame_number, arp.file_offset, arp.captured_length,
                                     arp.packet_length, arp.encapsulation),
                 1, "Error following stream. Please make sure you have a TCP packet selected.");
    for (int32_t kind : {-1, 2, INT32_MAX})
        CHECK_ANSWER(gFollowConversation(kind, arp.frame_number, arp.file_offset, arp.captured_length,
                                         arp.packet_length, arp.encapsulation),
                     1, "\"Follow Conversation\" operation failed. " + std::to_string(kind) +
                            " is not a kind of conversation to follow (WSB_FOLLOW_TCP 0 or WSB_FOLLOW_UDP 1).");
    EXPECT_EQ(gFollowConversation(WSB_FOLLOW_UDP, 1000, arp.file_offset, arp.captured_length, arp.packet_length,
                                  arp.encapsulation),
              1);
    EXPECT_EQ(std::string(gGetLastError()).rfind("\"Follow Conversation\" operation failed. The capture \"" WSB_SAMPLE_CAPTURE
                                                 "\" has no frame 1000; it has ", 0),
              0u)
        << gGetLastError();
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_STALE);
    CHECK_ANSWER(gFollowConversation(WSB_FOLLOW_UDP, arp.frame_number + 1, arp.file_offset, arp.captured_length,
                                     arp.packet_length, arp.encapsulation),
                 1, "Frame 2 of the file \"" WSB_SAMPLE_CAPTURE "\" is a packet at offset 82, not at 24.");
    {
        const char *chunk = nullptr;
        uint32_t chunk_size = 0;
        uint8_t is_server = 0, end = 7;
        CHECK_ANSWER(gGetNextFollowChunk(5, WSB_DIRECTION_BOTH, &chunk, &chunk_size, &is_server, &end), 1,
                     "\"Get Next Follow Chunk\" operation failed. 5 is not a render format (WSB_RENDER_ASCII 0 to "
                     "WSB_RENDER_RAW 4).");
        CHECK_ANSWER(gGetNextFollowChunk(WSB_RENDER_RAW, 3, &chunk, &chunk_size, &is_server, &end), 1,
                     "\"Get Next Follow Chunk\" operation failed. 3 is not a direction (WSB_DIRECTION_CLIENT 0, "
                     "WSB_DIRECTION_SERVER 1 or WSB_DIRECTION_BOTH 2).");
        EXPECT_EQ(end, 0);
        const uint32_t frames[] = {1, 0};
        CHECK_ANSWER(gSaveFrames(save_path.c_str(), WSB_SAVE_FORMAT_PCAP, frames, 2, nullptr, 0, nullptr, nullptr,
                                 nullptr),
                     1, "\"Save Frames\" operation failed. Frame numbers start at 1 (entry 1 is 0).");
        CHECK_ANSWER(gSaveFrames(save_path.c_str(), WSB_SAVE_FORMAT_PCAP, nullptr, 3, nullptr, 0, nullptr, nullptr,
                                 nullptr),
                     1, "\"Save Frames\" operation failed. A frame count was given without frames (no frames: every "
                        "packet, count 0).");
        CHECK_ANSWER(gSaveFrames(save_path.c_str(), WSB_SAVE_FORMAT_PCAP, frames, -1, nullptr, 0, nullptr, nullptr,
                                 nullptr),
                     1, "\"Save Frames\" operation failed. The frame count is negative.");
        CHECK_ANSWER(gSaveFrames(save_path.c_str(), 9, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr), 1,
                     "\"Save Frames\" operation failed. 9 is not a save file format.");
        CHECK_ANSWER(gSaveFrames(save_path.c_str(), WSB_SAVE_FORMAT_PCAP, nullptr, 0, nullptr, 2, nullptr, nullptr,
                                 nullptr),
                     1, "\"Save Frames\" operation failed. 2 holds options that do not exist "
                        "(WSB_SAVE_DROP_TCP_REPEATS is 1).");
        CHECK_ANSWER(gSaveFrames(WSB_SAMPLE_CAPTURE, WSB_SAVE_FORMAT_PCAP, nullptr, 0, nullptr, 0, nullptr, nullptr,
                                 nullptr),
                     1, "\"Create Capture File\" operation failed. The file \"" WSB_SAMPLE_CAPTURE
                        "\" is the capture being read; save to another file.");
    }
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
    request_misuse_tables();
    const sample_packets sample = read_sample();
    ASSERT_FALSE(sample.all.empty());
    check_null_arguments(library_state::open_undissected, sample.tcp);
    PacketSummary s;
    for (int again = 0; again < 3; ++again)
        CHECK_ANSWER(gGetNextPacket(&s), 2, "");
    EXPECT_EQ(check_statistics_with_capture(), 2);  // as tshark -z conv,tcp counts them
    check_live_calls_on_a_file(2);
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
    request_misuse_tables();
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
    // The tables keep what they counted until the next capture.
    const WsbConversation *conversations = nullptr;
    int32_t conversation_count = -1;
    CHECK_ANSWER(gGetConversations(conversations_table, &conversations, &conversation_count), 0, "");
    EXPECT_EQ(conversation_count, 2);

    check_null_arguments(library_state::no_capture, sample.tcp);
    check_exports_without_capture(library_state::no_capture, sample.tcp, save_path);
    check_live_refusals();
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
    request_misuse_tables();
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
    WsbLiveOptions options = quiet_live_options();
    CHECK_ANSWER(gOpenLiveCapture(&options), 1, shut_down("Open Live Capture"));
    CHECK_ANSWER(gOpenLiveCapture(nullptr), 1, shut_down("Open Live Capture"));
}


namespace {

// The processes whose command line names text (a dumpcap writing into the
// test's spool folder).
std::vector<std::string> processes_naming(const std::string &text)
{
    std::vector<std::string> found;
    for (const std::string &entry : wsbsweep::directory_entries("/proc")) {
        if (entry.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream in("/proc/" + entry + "/cmdline", std::ios::binary);
        const std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (line.find(text) != std::string::npos)
            found.push_back(entry);
    }
    return found;
}

}  // namespace

// A live capture on lo that sees nothing (its filter matches no traffic of
// the tests) through its states: open and nothing read, stopped and read to
// its end, closed, given way to a capture file, and open at shutdown. Every
// export answers; no dumpcap and no spool folder is left.
TEST_F(Misuse, LiveCaptureInEveryState)
{
    const std::string missing = live_capture_rights_missing();
    if (!missing.empty())
        GTEST_SKIP() << "needs capture rights: " << missing;
    ASSERT_EQ(gInitEpan(), 0);
    request_misuse_tables();
    WsbLiveOptions options = quiet_live_options();
    CHECK_ANSWER(gOpenLiveCapture(&options), 0, "");

    // Open, nothing read: waiting only looks and changes no error text.
    prime_error_text();
    const std::string primed = last_error();
    EXPECT_EQ(gWaitForPacket(0), WSB_TIMED_OUT);
    EXPECT_EQ(last_error(), primed);
    uint64_t written = 7, dropped = 7;
    CHECK_ANSWER(gGetLiveCaptureCounts(&written, &dropped), 0, "");
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(dropped, 0u);
    const std::string counts_null =
        "\"Get Live Capture Counts\" operation failed. No place for the counts was given.";
    CHECK_ANSWER(gGetLiveCaptureCounts(nullptr, &dropped), 1, counts_null);
    CHECK_ANSWER(gGetLiveCaptureCounts(&written, nullptr), 1, counts_null);
    EXPECT_EQ(check_statistics_with_capture(), 0);
    check_live_refusals();  // the live capture stays open
    const WsbInterface *interfaces = nullptr;
    int32_t count = -1;
    CHECK_ANSWER(gListInterfaces(&interfaces, &count), 0, "");
    EXPECT_GT(count, 0);
    CHECK_ANSWER(gSetPreference("tcp.desegment_tcp_streams:FALSE"), 1, "");
    CHECK_ANSWER(gSetReadingShare(0, 2, WSB_SHARE_BALANCED), 1, "");

    // Stopped by dumpcap's own stop condition: read to its end.
    PacketSummary s;
    CHECK_ANSWER(gGetNextPacket(&s), 2, "");
    CHECK_ANSWER(gGetNextPacket(&s), 2, "");
    for (int32_t timeout : {0, -1, INT32_MIN, INT32_MAX})
        CHECK_ANSWER(gWaitForPacket(timeout), 2, "");
    CHECK_ANSWER(gStopLiveCapture(), 0, "");
    CHECK_ANSWER(gGetLiveCaptureCounts(&written, &dropped), 0, "");
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(check_statistics_with_capture(), 0);
    const uint32_t frames[] = {1};
    CHECK_ANSWER(gSaveFrames(save_path.c_str(), WSB_SAVE_FORMAT_PCAPNG, frames, 1, nullptr, 0, nullptr, nullptr,
                             nullptr),
                 1, "");
    CHECK_ANSWER(gCloseCapture(), 0, "");
    EXPECT_TRUE(wsbsweep::directory_entries(library_temp.path.string()).empty());
    CHECK_ANSWER(gWaitForPacket(0), 1, no_capture("Wait For Packet"));
    CHECK_ANSWER(gGetLiveCaptureCounts(&written, &dropped), 1, no_capture("Get Live Capture Counts"));
    CHECK_ANSWER(gStopLiveCapture(), 0, "");

    // Stopped by the host before anything arrived; twice, and once more
    // after the end.
    options.stop_after_seconds = 0;
    CHECK_ANSWER(gOpenLiveCapture(&options), 0, "");
    CHECK_ANSWER(gStopLiveCapture(), 0, "");
    CHECK_ANSWER(gStopLiveCapture(), 0, "");
    CHECK_ANSWER(gGetNextPacket(&s), 2, "");
    CHECK_ANSWER(gStopLiveCapture(), 0, "");
    // A second live capture over the first, then a capture file over it.
    CHECK_ANSWER(gOpenLiveCapture(&options), 0, "");
    CHECK_ANSWER(gOpenLiveCapture(&options), 0, "");
    CHECK_ANSWER(gOpenCapture(WSB_SAMPLE_CAPTURE), 0, "");
    EXPECT_TRUE(processes_naming(library_temp.path.string()).empty());
    EXPECT_TRUE(wsbsweep::directory_entries(library_temp.path.string()).empty());
    CHECK_ANSWER(gGetLiveCaptureCounts(&written, &dropped), 1, not_live);
    CHECK_ANSWER(gGetNextPacket(&s), 0, "");
    EXPECT_EQ(s.frame_number, 1u);

    // Open (and running) at shutdown.
    CHECK_ANSWER(gOpenLiveCapture(&options), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
    EXPECT_TRUE(processes_naming(library_temp.path.string()).empty());
    CHECK_ANSWER(gWaitForPacket(0), 1, shut_down("Wait For Packet"));
    CHECK_ANSWER(gGetLiveCaptureCounts(&written, &dropped), 1, shut_down("Get Live Capture Counts"));
    CHECK_ANSWER(gListInterfaces(&interfaces, &count), 1, shut_down("List Interfaces"));
    CHECK_ANSWER(gOpenLiveCapture(&options), 1, shut_down("Open Live Capture"));
    CHECK_ANSWER(gStopLiveCapture(), 0, "");
}
