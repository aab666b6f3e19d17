// SPDX-License-Identifier: GPL-2.0-or-later
// The stream calls of both transports in every state of a follow, called the
// wrong way: with no follow, while collecting, once collected, while reading,
// across closing the capture and shutting the engine down; and discarding the
// engine's per-capture state while a collection runs and a save file is
// open. Each answer is a status and a message, never a crash, and the
// library's temporary files are gone at the end.
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstdint>
#include <string>

#include "wsbridge.h"
#include "api_sweep.h"
#include "locator.h"
#include "misuse_guards.h"
#include "misuse_support.h"

using namespace wsbtest;
using namespace wsbmisuse;

namespace {

const char tcp_collecting[] =
    "The TCP stream is still being collected. End the collection with gIsValidTcpStrem before reading the stream.";

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

