// SPDX-License-Identifier: GPL-2.0-or-later
// Engine start-up and shutdown, the guards, the error text and the field
// registry, through the public interface.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "wsbridge.h"
#include "test_support.h"

namespace {

std::string last_error()
{
    return gGetLastError();
}

std::string not_started(const char *operation)
{
    return std::string("\"") + operation + "\" operation failed. Wireshark engine is not initialized yet.";
}

std::string shut_down(const char *operation)
{
    return std::string("\"") + operation + "\" operation failed. Wireshark engine was already uninitialized.";
}

std::string no_capture(const char *operation)
{
    return std::string("\"") + operation +
           "\" operation failed. A capture file needs to be opened in order to perform this operation.";
}

// Every guarded export of this part of the interface, with its operation name.
struct guarded_call {
    const char *operation;
    int32_t (*call)();
};

const guarded_call two_step_calls[] = {
    {"Cleanup", [] { return gCleanupEpan(); }},
    {"Open Capture", [] { return gOpenCapture(WSB_SAMPLE_CAPTURE); }},
    {"Register protocol field filter", [] { return gRegisterProtocolFieldFilter("ip.src", "G"); }},
    {"Set Preference", [] { return gSetPreference("tcp.desegment_tcp_streams:TRUE"); }},
    {"Set Display Filter", [] { return gSetDisplayFilter("tcp"); }},
    {"Set Summary Texts", [] { return gSetSummaryTexts(0); }},
};

const guarded_call three_step_calls[] = {
    {"Close Capture", [] { return gCloseCapture(); }},
    {"Get Next Packet",
     [] {
         PacketSummary summary;
         return gGetNextPacket(&summary);
     }},
    {"Get Packet At Offset", [] { return gGetPacketAtOffset(nullptr, 1, 24, 42, 42, 1); }},
};

}  // namespace

TEST(EngineGuards, EveryGuardedCallBeforeStartUpNamesItsOperation)
{
    EXPECT_EQ(last_error(), "");
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_NONE);
    for (const auto &entry : two_step_calls) {
        EXPECT_EQ(entry.call(), 1) << entry.operation;
        EXPECT_EQ(last_error(), not_started(entry.operation));
        EXPECT_EQ(gGetLastErrorCode(), WSB_E_NOT_STARTED) << entry.operation;
    }
    for (const auto &entry : three_step_calls) {
        EXPECT_EQ(entry.call(), 1) << entry.operation;
        EXPECT_EQ(last_error(), not_started(entry.operation));
        EXPECT_EQ(gGetLastErrorCode(), WSB_E_NOT_STARTED) << entry.operation;
    }
    int32_t id = -5, type = -5;
    EXPECT_EQ(gGetProtocolFieldFilterInfo("ip.src", &id, &type), 1);
    EXPECT_EQ(last_error(), not_started("Get Protocol Field Filter Info"));
    EXPECT_EQ(id, -5);
    gHackedCleanup();  // no engine: nothing to do, nothing to crash
}

TEST(EngineGuards, ThreeStepCallsNeedAnOpenCapture)
{
    ASSERT_EQ(gInitEpan(), 0);
    for (const auto &entry : three_step_calls) {
        EXPECT_EQ(entry.call(), 1) << entry.operation;
        EXPECT_EQ(last_error(), no_capture(entry.operation));
        EXPECT_EQ(gGetLastErrorCode(), WSB_E_NO_CAPTURE) << entry.operation;
    }
    // Opening and registering work with or without an open capture.
    EXPECT_EQ(gRegisterProtocolFieldFilter("ip.src", "G"), 0);
    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    EXPECT_EQ(gRegisterProtocolFieldFilter("ip.dst", "G"), 0);
    EXPECT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    EXPECT_EQ(gCloseCapture(), 0);
    EXPECT_EQ(gCloseCapture(), 1);
    EXPECT_EQ(last_error(), no_capture("Close Capture"));
}

TEST(EngineGuards, AfterShutdownEveryCallReportsTheShutdownEvenWithACaptureOpen)
{
    ASSERT_EQ(gInitEpan(), 0);
    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    ASSERT_EQ(gCleanupEpan(), 0);
    for (const auto &entry : two_step_calls) {
        EXPECT_EQ(entry.call(), 1) << entry.operation;
        EXPECT_EQ(last_error(), shut_down(entry.operation));
        EXPECT_EQ(gGetLastErrorCode(), WSB_E_SHUT_DOWN) << entry.operation;
    }
    for (const auto &entry : three_step_calls) {
        EXPECT_EQ(entry.call(), 1) << entry.operation;
        EXPECT_EQ(last_error(), shut_down(entry.operation));
        EXPECT_EQ(gGetLastErrorCode(), WSB_E_SHUT_DOWN) << entry.operation;
    }
    int32_t id, type;
    EXPECT_EQ(gGetProtocolFieldFilterInfo("ip.version", &id, &type), 1);
    EXPECT_EQ(last_error(), shut_down("Get Protocol Field Filter Info"));
    EXPECT_EQ(gInitEpan(), 1);
    EXPECT_EQ(last_error(), "Wireshark engine was already initialized.");
    gHackedCleanup();
}

TEST(EngineStartUp, SecondStartIsRefusedAndChangesNothing)
{
    ASSERT_EQ(gInitEpan(), 0);
    EXPECT_EQ(gInitEpan(), 1);
    EXPECT_EQ(last_error(), "Wireshark engine was already initialized.");
    int32_t id, type;
    EXPECT_EQ(gGetProtocolFieldFilterInfo("tcp.srcport", &id, &type), 0);
    EXPECT_EQ(type, WSB_FT_UINT16);
}

// Each kind of failure names its code along with its text; a success leaves
// both as they were.
TEST(ErrorCodes, EachKindOfFailureHasItsCode)
{
    ASSERT_EQ(gInitEpan(), 0);
    const auto code_of = [](int32_t status) {
        EXPECT_NE(status, 0);
        return gGetLastErrorCode();
    };
    EXPECT_EQ(code_of(gInitEpan()), WSB_E_STATE);
    EXPECT_EQ(code_of(gOpenCapture(nullptr)), WSB_E_BAD_ARGUMENT);
    EXPECT_EQ(code_of(gOpenCapture("/nonexistent/capture.pcap")), WSB_E_FILE);
    EXPECT_EQ(code_of(gSetDisplayFilter("tcp.port ==")), WSB_E_FILTER);
    EXPECT_EQ(code_of(gSetPreference("no_such_module.no_such_preference:TRUE")), WSB_E_PREFERENCE);
    EXPECT_EQ(code_of(gRegisterProtocolFieldFilter("no.such.field", "G")), WSB_E_UNKNOWN_FIELD);
    int32_t id = 0, type = 0;
    EXPECT_EQ(code_of(gGetProtocolFieldFilterInfo("ip.src", &id, &type)), WSB_E_UNKNOWN_FIELD);
    EXPECT_EQ(code_of(gGetProtocolFieldFilterInfo("ip.version", nullptr, &type)), WSB_E_BAD_ARGUMENT);
    EXPECT_EQ(code_of(gCloseCaptureFileForSave()), WSB_E_NO_CAPTURE);

    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    EXPECT_EQ(code_of(gSetPreference("tcp.desegment_tcp_streams:TRUE")), WSB_E_STATE);
    int32_t offset = 0;
    EXPECT_EQ(code_of(gGetTransportProtocolPayloadOffset(&offset)), WSB_E_STATE);
    EXPECT_EQ(code_of(gCloseCaptureFileForSave()), WSB_E_STATE);
    EXPECT_EQ(code_of(gGetPacketAtOffset(nullptr, 1, int64_t{1} << 32, 42, 42, 1)), WSB_E_UNSUPPORTED);
    PacketSummary summary;
    ASSERT_EQ(gGetNextPacket(&summary), 0);
    EXPECT_EQ(code_of(gGetPacketAtOffset(&summary, summary.frame_number, summary.file_offset,
                                         summary.captured_length, summary.packet_length,
                                         summary.encapsulation + 1)),
              WSB_E_STALE);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_STALE);
    // A success changes neither the text nor the code.
    const std::string text = last_error();
    ASSERT_EQ(gGetPacketAtOffset(&summary, summary.frame_number, summary.file_offset, summary.captured_length,
                                 summary.packet_length, summary.encapsulation),
              0);
    EXPECT_EQ(last_error(), text);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_STALE);
}

TEST(EngineStartUp, ErrorTextSurvivesSuccessfulCalls)
{
    ASSERT_EQ(gInitEpan(), 0);
    EXPECT_EQ(gCloseCapture(), 1);
    std::string message = last_error();
    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    PacketSummary summary;
    ASSERT_EQ(gGetNextPacket(&summary), 0);
    EXPECT_EQ(last_error(), message);
    const char *pointer = gGetLastError();
    EXPECT_EQ(gCloseCapture(), 0);
    EXPECT_EQ(gGetLastError(), pointer);
}

TEST(EngineStartUp, HackedCleanupKeepsTheCaptureReadable)
{
    ASSERT_EQ(gInitEpan(), 0);
    ASSERT_EQ(gCloseCapture(), 1);
    std::string message = last_error();
    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    PacketSummary summary;
    ASSERT_EQ(gGetNextPacket(&summary), 0);
    ASSERT_EQ(gGetNextPacket(&summary), 0);
    gHackedCleanup();
    EXPECT_EQ(last_error(), message);
    ASSERT_EQ(gGetNextPacket(&summary), 0);
    EXPECT_EQ(summary.frame_number, 3u);
    EXPECT_STREQ(summary.protocol_text, "DNS");
    EXPECT_EQ(gGetPacketAtOffset(&summary, 3, summary.file_offset, static_cast<int32_t>(summary.captured_length),
                                 summary.packet_length, summary.encapsulation),
              0);
}

TEST(ErrorText, LongMessagesAreCutTo2048Characters)
{
    ASSERT_EQ(gInitEpan(), 0);
    int32_t id, type;
    ASSERT_EQ(gGetProtocolFieldFilterInfo("ip.version", &id, &type), 0);
    std::string name(5000, 'x');
    ASSERT_EQ(gGetProtocolFieldFilterInfo(name.c_str(), &id, &type), 1);
    std::string expected = "Requested protocol field \"" + name + "\" was not registered.\n";
    EXPECT_EQ(last_error(), expected.substr(0, 2048));
}

TEST(ErrorText, MessagesAreNeverUsedAsFormats)
{
    ASSERT_EQ(gInitEpan(), 0);
    int32_t id, type;
    ASSERT_EQ(gGetProtocolFieldFilterInfo("ip.version", &id, &type), 0);
    ASSERT_EQ(gGetProtocolFieldFilterInfo("%s%s%n%s", &id, &type), 1);
    EXPECT_EQ(last_error(), "Requested protocol field \"%s%s%n%s\" was not registered.\n");
    ASSERT_EQ(gOpenCapture("/nonexistent/%s%n%s.pcap"), 1);
    EXPECT_EQ(last_error(), "The file \"/nonexistent/%s%n%s.pcap\" doesn't exist.");
}

TEST(FieldRegistry, DefaultFieldsAreRegisteredWithTheirTypes)
{
    ASSERT_EQ(gInitEpan(), 0);
    int32_t id = -1, type = -1;
    ASSERT_EQ(gGetProtocolFieldFilterInfo("ip.version", &id, &type), 0);
    EXPECT_GE(id, 0);
    EXPECT_EQ(type, WSB_FT_UINT8);
    ASSERT_EQ(gGetProtocolFieldFilterInfo("tcp.srcport", &id, &type), 0);
    EXPECT_EQ(type, WSB_FT_UINT16);
    ASSERT_EQ(gGetProtocolFieldFilterInfo("udp.srcport", &id, &type), 0);
    EXPECT_EQ(type, WSB_FT_UINT16);
    EXPECT_EQ(gGetProtocolFieldFilterInfo("ip.src", &id, &type), 1);
    EXPECT_EQ(last_error(), "Requested protocol field \"ip.src\" was not registered.\n");
}

TEST(FieldRegistry, TypesUseTheClassicNumbering)
{
    ASSERT_EQ(gInitEpan(), 0);
    const struct {
        const char *name;
        int32_t type;
    } fields[] = {
        {"ip.src", WSB_FT_IPv4},        {"ipv6.src", WSB_FT_IPv6},       {"tcp.seq", WSB_FT_UINT32},
        {"frame.protocols", WSB_FT_STRING}, {"eth.src", WSB_FT_ETHER},   {"tcp", WSB_FT_PROTOCOL},
        {"tcp.flags.syn", WSB_FT_BOOLEAN},  {"frame.time", WSB_FT_ABSOLUTE_TIME},
        {"frame.number", WSB_FT_UINT32},    {"data.data", WSB_FT_BYTES}, {"tcp.analysis.acks_frame", WSB_FT_FRAMENUM},
        {"dns.qry.name", WSB_FT_STRING},    {"tcp.time_delta", WSB_FT_RELATIVE_TIME},
    };
    for (const auto &field : fields)
        ASSERT_EQ(gRegisterProtocolFieldFilter(field.name, "T"), 0);
    for (const auto &field : fields) {
        int32_t id = -1, type = -1;
        ASSERT_EQ(gGetProtocolFieldFilterInfo(field.name, &id, &type), 0) << field.name << ": " << last_error();
        EXPECT_EQ(type, field.type) << field.name;
    }
}

TEST(FieldRegistry, DuplicatesAndGroupsShareOneEntry)
{
    ASSERT_EQ(gInitEpan(), 0);
    ASSERT_EQ(gRegisterProtocolFieldFilter("ip.src", "ADDR"), 0);
    ASSERT_EQ(gRegisterProtocolFieldFilter("ip.src", "ADDR"), 0);
    ASSERT_EQ(gRegisterProtocolFieldFilter("ip.src", "addr"), 0);
    int32_t id1, id2, type;
    ASSERT_EQ(gGetProtocolFieldFilterInfo("ip.src", &id1, &type), 0);
    ASSERT_EQ(gGetProtocolFieldFilterInfo("ip.src", &id2, &type), 0);
    EXPECT_EQ(id1, id2);
}

// Filing a name again changes nothing, however often: the registry's filter
// names it once (70,000 names in one chain exhausted the compiler's stack).
TEST(FieldRegistry, RegisteringAgainChangesNothing)
{
    ASSERT_EQ(gInitEpan(), 0);
    for (int i = 0; i < 70000; ++i)
        ASSERT_EQ(gRegisterProtocolFieldFilter(i % 2 ? "ip.src" : "ip.version", i % 3 ? "ADDR" : "IP"), 0);
    int32_t id, type;
    ASSERT_EQ(gGetProtocolFieldFilterInfo("ip.src", &id, &type), 0) << last_error();
    EXPECT_EQ(type, WSB_FT_IPv4);
    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    PacketSummary s;
    int32_t count = 0;
    const int32_t *ids = nullptr;
    do
        ASSERT_EQ(gGetNextPacket(&s), 0);
    while (s.port_type == WSB_PT_NONE);
    ASSERT_EQ(gLastPacketHasPassedFilter("ADDR", &count, &ids), 0);
    ASSERT_EQ(count, 2);  // ip.src and ip.version, each once
    ASSERT_EQ(gLastPacketHasPassedFilter("IP", &count, &ids), 0);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(gCloseCapture(), 0);
}

TEST(FieldRegistry, UnknownNameIsRefusedAndLaterLookupsWork)
{
    ASSERT_EQ(gInitEpan(), 0);
    EXPECT_EQ(gRegisterProtocolFieldFilter("no.such.field", "X"), 1);
    EXPECT_EQ(last_error(), "\"Register protocol field filter\" operation failed. \"no.such.field\" is neither a "
                            "field nor a protocol name the engine knows.");
    int32_t id = 77, type = 77;
    for (int attempt = 0; attempt < 2; ++attempt)
        EXPECT_EQ(gGetProtocolFieldFilterInfo("ip.version", &id, &type), 0) << last_error();
    EXPECT_EQ(type, WSB_FT_UINT8);
    EXPECT_EQ(gGetProtocolFieldFilterInfo("no.such.field", &id, &type), 1);
}

TEST(FieldRegistry, ExpressionIsRefusedAsNoFieldName)
{
    ASSERT_EQ(gInitEpan(), 0);
    EXPECT_EQ(gRegisterProtocolFieldFilter("tcp.port == 80", "X"), 1);
    EXPECT_NE(last_error().find("\"tcp.port == 80\" is neither a field nor a protocol name"), std::string::npos);
    int32_t id, type;
    EXPECT_EQ(gGetProtocolFieldFilterInfo("tcp.srcport", &id, &type), 0) << last_error();
}

TEST(FieldRegistry, LateRegistrationsAreCompiledAtTheNextLookup)
{
    ASSERT_EQ(gInitEpan(), 0);
    int32_t version_id, id, type;
    ASSERT_EQ(gGetProtocolFieldFilterInfo("ip.version", &version_id, &type), 0);
    EXPECT_EQ(gGetProtocolFieldFilterInfo("ip.ttl", &id, &type), 1);
    ASSERT_EQ(gRegisterProtocolFieldFilter("ip.ttl", "IP"), 0);
    ASSERT_EQ(gGetProtocolFieldFilterInfo("ip.ttl", &id, &type), 0);
    EXPECT_EQ(type, WSB_FT_UINT8);
    int32_t again;
    ASSERT_EQ(gGetProtocolFieldFilterInfo("ip.version", &again, &type), 0);
    EXPECT_EQ(again, version_id);
    // A bad late name is refused; lookups go on working.
    EXPECT_EQ(gRegisterProtocolFieldFilter("bogus.late", "IP"), 1);
    EXPECT_EQ(gGetProtocolFieldFilterInfo("ip.ttl", &id, &type), 0) << last_error();
}

TEST(FieldRegistry, NullArgumentsAreRefused)
{
    ASSERT_EQ(gInitEpan(), 0);
    int32_t id, type;
    EXPECT_EQ(gRegisterProtocolFieldFilter(nullptr, "G"), 1);
    EXPECT_EQ(gRegisterProtocolFieldFilter("ip.src", nullptr), 1);
    EXPECT_EQ(gGetProtocolFieldFilterInfo(nullptr, &id, &type), 1);
    EXPECT_EQ(gGetProtocolFieldFilterInfo("ip.version", nullptr, &type), 1);
    EXPECT_EQ(gGetProtocolFieldFilterInfo("ip.version", &id, nullptr), 1);
    EXPECT_EQ(gGetProtocolFieldFilterInfo("ip.version", &id, &type), 0);
}

// The engine starts without reading the user's preference files or running
// the user's plugins: a host's behaviour must not depend on who runs it.
TEST(EngineStartUp, ReadsNoPersonalPreferencesAndRunsNoPersonalPlugins)
{
    wsbtest::temp_dir home;
    ASSERT_FALSE(home.path.empty());
    std::string marker = home.file("lua-ran");
    std::filesystem::create_directories(home.path / ".local/lib/wireshark/plugins");
    std::filesystem::create_directories(home.path / ".config/wireshark");
    {
        std::FILE *script = std::fopen(home.file(".local/lib/wireshark/plugins/marker.lua").c_str(), "w");
        ASSERT_NE(script, nullptr);
        std::fprintf(script, "local f = io.open(\"%s\", \"w\")\nf:write(\"ran\")\nf:close()\n", marker.c_str());
        std::fclose(script);
        std::FILE *prefs = std::fopen(home.file(".config/wireshark/preferences").c_str(), "w");
        ASSERT_NE(prefs, nullptr);
        std::fprintf(prefs, "tcp.analyze_sequence_numbers: FALSE\n");
        std::fclose(prefs);
    }
    // The Lua script would run under tshark with this HOME; check that it would.
    wsbtest::run_command("HOME=" + wsbtest::shell_quote(home.path.string()) + " XDG_CONFIG_HOME= tshark -r " +
                         wsbtest::shell_quote(WSB_SAMPLE_CAPTURE) + " -c 1 >/dev/null 2>&1");
    bool tshark_ran_it = std::filesystem::exists(marker);
    std::filesystem::remove(marker);

    int status = -1;
    std::string output = wsbtest::run_command("HOME=" + wsbtest::shell_quote(home.path.string()) +
                                                  " XDG_CONFIG_HOME= " + wsbtest::shell_quote(WSB_CLI) + " summary " +
                                                  wsbtest::shell_quote(WSB_SAMPLE_CAPTURE),
                                              &status);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(std::filesystem::exists(marker)) << "a personal Lua plugin ran";
    if (!tshark_ran_it)
        GTEST_LOG_(INFO) << "tshark did not run the personal Lua plugin either";
    // Sequence analysis stays on: the personal preference was not read.
    EXPECT_NE(output.find("Seq=1 Ack=1"), std::string::npos) << output;
}

// A user whose home folder the process may not read (a service account with
// HOME set to another user's folder, say): the engine cannot read the
// personal files it looks for, which is a warning, not a reason to refuse to
// start. Needs root to run the command line host as uid 65534 (nobody).
TEST(EngineStartUp, StartsWhenThePersonalFolderCannotBeRead)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a program as uid 65534";
    if (access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs setpriv";
    const std::string as_nobody = "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups ";
    int reachable = -1;
    wsbtest::run_command(as_nobody + "test -x " + wsbtest::shell_quote(WSB_CLI) + " -a -r " +
                             wsbtest::shell_quote(WSB_SAMPLE_CAPTURE),
                         &reachable);
    if (reachable != 0)
        GTEST_SKIP() << "the build tree is not reachable for uid 65534 (a private folder above it)";
    wsbtest::temp_dir home;  // mode 0700, owned by root
    ASSERT_FALSE(home.path.empty());
    std::filesystem::create_directories(home.path / ".config/wireshark");
    int status = -1;
    std::string output = wsbtest::run_command(
        as_nobody + "env HOME=" +
            wsbtest::shell_quote(home.path.string()) + " XDG_CONFIG_HOME= " + wsbtest::shell_quote(WSB_CLI) +
            " summary " + wsbtest::shell_quote(WSB_SAMPLE_CAPTURE) + " 2>&1",
        &status);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("DNS"), std::string::npos) << output;
}

// Preferences take tshark's -o syntax, only while no capture is open, and a
// refused one says why.
TEST(EnginePreferences, SetWhileNoCaptureIsOpenOrRefusedWithTheReason)
{
    ASSERT_EQ(gInitEpan(), 0);
    EXPECT_EQ(gSetPreference("tcp.no_such_preference:TRUE"), 1);
    EXPECT_EQ(last_error(),
              "\"Set Preference\" operation failed. \"tcp.no_such_preference:TRUE\" specifies unknown preference.");
    EXPECT_EQ(gSetPreference("tcp.desegment_tcp_streams"), 1);
    EXPECT_EQ(last_error().rfind("\"Set Preference\" operation failed. Invalid preference "
                                 "\"tcp.desegment_tcp_streams\"",
                                 0),
              0u)
        << last_error();
    EXPECT_EQ(gSetPreference("tcp.analyze_sequence_numbers:FALSE"), 0) << last_error();
    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    EXPECT_EQ(gSetPreference("tcp.analyze_sequence_numbers:TRUE"), 1);
    EXPECT_EQ(last_error(),
              "\"Set Preference\" operation failed. Preferences can be changed only while no capture is open.");
    // The preference set before the capture was opened holds: no sequence
    // analysis, so TCP's Info has no relative numbers.
    PacketSummary s;
    bool saw_tcp = false;
    while (gGetNextPacket(&s) == 0) {
        if (std::string(s.protocol_text) != "TCP")
            continue;
        saw_tcp = true;
        EXPECT_EQ(std::string(s.info_text).find("Seq=1 "), std::string::npos) << s.info_text;
    }
    EXPECT_TRUE(saw_tcp);
    ASSERT_EQ(gCloseCapture(), 0);
    EXPECT_EQ(gSetPreference("tcp.analyze_sequence_numbers:TRUE"), 0) << last_error();
}

// The record layouts the library reports are those a host compiling the
// header sees, member by member, before start-up, while running and after
// shutdown; names it does not have are refused with a message.
TEST(RecordLayout, ReportsEveryMemberAsTheHeaderLaysItOutInEveryState)
{
    struct expected_layout {
        const char *record;
        const char *member;
        size_t offset;
        size_t size;
    };
#define RECORD(type) {#type, nullptr, 0, sizeof(type)}
#define MEMBER(type, member) {#type, #member, offsetof(type, member), sizeof(type::member)}
    const std::vector<expected_layout> layouts = {
        RECORD(PacketSummary), MEMBER(PacketSummary, frame_number), MEMBER(PacketSummary, packet_length),
        MEMBER(PacketSummary, captured_length), MEMBER(PacketSummary, port_type),
        MEMBER(PacketSummary, source_port), MEMBER(PacketSummary, destination_port),
        MEMBER(PacketSummary, file_offset), MEMBER(PacketSummary, relative_time),
        MEMBER(PacketSummary, time_seconds), MEMBER(PacketSummary, time_nanoseconds),
        MEMBER(PacketSummary, encapsulation), MEMBER(PacketSummary, source_address_type),
        MEMBER(PacketSummary, destination_address_type), MEMBER(PacketSummary, protocol_text),
        MEMBER(PacketSummary, info_text), MEMBER(PacketSummary, link_source_text),
        MEMBER(PacketSummary, link_destination_text), MEMBER(PacketSummary, source_text),
        MEMBER(PacketSummary, destination_text),
        RECORD(TreeNode), MEMBER(TreeNode, parent_index), MEMBER(TreeNode, index), MEMBER(TreeNode, start),
        MEMBER(TreeNode, length), MEMBER(TreeNode, field_type), MEMBER(TreeNode, field_abbrev),
        MEMBER(TreeNode, field_name), MEMBER(TreeNode, label), MEMBER(TreeNode, node),
        RECORD(SavePacketRequest), MEMBER(SavePacketRequest, frame_number),
        MEMBER(SavePacketRequest, packet_length), MEMBER(SavePacketRequest, captured_length),
        MEMBER(SavePacketRequest, file_offset), MEMBER(SavePacketRequest, time_seconds),
        MEMBER(SavePacketRequest, time_nanoseconds), MEMBER(SavePacketRequest, encapsulation),
        MEMBER(SavePacketRequest, skip_flag),
        RECORD(WsbBatchValue), MEMBER(WsbBatchValue, kind), MEMBER(WsbBatchValue, text_size),
        MEMBER(WsbBatchValue, value),
        RECORD(WsbPacketBatch), MEMBER(WsbPacketBatch, capacity), MEMBER(WsbPacketBatch, field_count),
        MEMBER(WsbPacketBatch, field_ids), MEMBER(WsbPacketBatch, occurrences), MEMBER(WsbPacketBatch, whole_texts),
        MEMBER(WsbPacketBatch, summaries), MEMBER(WsbPacketBatch, values), MEMBER(WsbPacketBatch, value_capacity),
        MEMBER(WsbPacketBatch, value_starts), MEMBER(WsbPacketBatch, texts), MEMBER(WsbPacketBatch, text_capacity),
        MEMBER(WsbPacketBatch, text_offsets), MEMBER(WsbPacketBatch, packets), MEMBER(WsbPacketBatch, values_used),
        MEMBER(WsbPacketBatch, texts_used),
    };
#undef RECORD
#undef MEMBER
    auto check_all = [&layouts](const char *state) {
        for (const expected_layout &layout : layouts) {
            SCOPED_TRACE(std::string(state) + ": " + layout.record + "." + (layout.member ? layout.member : ""));
            int32_t offset = -1, size = -1;
            ASSERT_EQ(gGetRecordLayout(layout.record, layout.member, &offset, &size), 0);
            EXPECT_EQ(offset, static_cast<int32_t>(layout.offset));
            EXPECT_EQ(size, static_cast<int32_t>(layout.size));
        }
        int32_t offset = -1, size = -1;
        ASSERT_EQ(gGetRecordLayout("TreeNode", "", &offset, &size), 0);
        EXPECT_EQ(offset, 0);
        EXPECT_EQ(size, static_cast<int32_t>(sizeof(TreeNode)));
    };
    check_all("before start-up");

    int32_t offset = 7, size = 7;
    EXPECT_EQ(gGetRecordLayout("Summary", nullptr, &offset, &size), 1);
    EXPECT_EQ(last_error(), "\"Get Record Layout\" operation failed. \"Summary\" is not a record of this interface.");
    EXPECT_EQ(gGetRecordLayout("packetsummary", nullptr, &offset, &size), 1);
    EXPECT_EQ(gGetRecordLayout("PacketSummary", "infoText", &offset, &size), 1);
    EXPECT_EQ(last_error(),
              "\"Get Record Layout\" operation failed. The record \"PacketSummary\" has no member \"infoText\".");
    EXPECT_EQ(gGetRecordLayout("TreeNode", "frame_number", &offset, &size), 1);
    EXPECT_EQ(offset, 7);
    EXPECT_EQ(size, 7);
    const char null_message[] =
        "\"Get Record Layout\" operation failed. No record name, or no place for the offset and the size, was given.";
    EXPECT_EQ(gGetRecordLayout(nullptr, nullptr, &offset, &size), 1);
    EXPECT_EQ(last_error(), null_message);
    EXPECT_EQ(gGetRecordLayout("TreeNode", nullptr, nullptr, &size), 1);
    EXPECT_EQ(gGetRecordLayout("TreeNode", "label", &offset, nullptr), 1);
    EXPECT_EQ(last_error(), null_message);
    // The error text passed back in as a name is read before it is replaced.
    EXPECT_EQ(gGetRecordLayout(gGetLastError(), nullptr, &offset, &size), 1);
    EXPECT_EQ(last_error(), std::string("\"Get Record Layout\" operation failed. \"") + null_message +
                                "\" is not a record of this interface.");

    ASSERT_EQ(gInitEpan(), 0);
    check_all("running");
    ASSERT_EQ(gCleanupEpan(), 0);
    check_all("shut down");
}
