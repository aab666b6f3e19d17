// SPDX-License-Identifier: GPL-2.0-or-later
// Starting a follow and collecting its stream through the public interface,
// on captures built byte for byte: the guards, each follow refusing the
// other transport's packets, the private temporary file and its release,
// TMPDIR failures, which packets are collected and in which order, and what
// ends a followed stream.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "follow_support.h"
#include "locator.h"
#include "pcap_writer.h"
#include "test_support.h"
#include "wsbridge.h"

using namespace wsbfollow;

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

// ---- collecting a stream -----------------------------------------------------

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

