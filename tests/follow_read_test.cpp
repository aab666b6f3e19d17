// SPDX-License-Identifier: GPL-2.0-or-later
// Checking and reading a followed stream through the public interface, on
// captures built byte for byte: empty streams, the end of a collection, null
// outputs, the descriptions, directions and the end flag, the renderings
// (ascii, EBCDIC, hex dump, C arrays and unknown ones), long chunks in
// pieces, and the command-line host's follow command.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "follow_support.h"
#include "pcap_writer.h"
#include "wsbridge.h"

using namespace wsbfollow;

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

// Where the SYN was captured its sender is the client, also when the server
// speaks first (as tshark names the ends); without it, the sender of the
// first payload is.
TEST_F(Follow, TcpClientIsTheSynSenderElseTheFirstPayloadsSender)
{
    TcpConversation c(false, "10.0.0.1", 40000, "10.0.0.2", 25);
    c.handshake();
    c.send(true, "220 ready\r\n");
    c.send(false, "HELO x\r\n");
    c.send(true, "250 ok\r\n");
    follow_all(write_capture("smtp.pcap", c.writer), true, 0);
    Descriptions d;
    ASSERT_EQ(check_tcp(d), 0) << gGetLastError();
    EXPECT_STREQ(d.client, "10.0.0.1:40000 --> 10.0.0.2:25 (8 bytes)");
    EXPECT_STREQ(d.server, "10.0.0.2:25 --> 10.0.0.1:40000 (19 bytes)");
    EXPECT_EQ(texts_of(read_all(true, ascii, both)),
              (std::vector<std::string>{"S:220 ready\r\n", "C:HELO x\r\n", "S:250 ok\r\n"}));
    EXPECT_EQ(texts_of(read_all(true, ascii, client_only)), (std::vector<std::string>{"C:HELO x\r\n"}));

    // Captured after the handshake: the greeting's sender is the client.
    TcpConversation late(false, "10.0.0.1", 40000, "10.0.0.2", 25);
    late.send(true, "220 ready\r\n");
    late.send(false, "HELO x\r\n");
    follow_all(write_capture("late.pcap", late.writer), true, 0);
    ASSERT_EQ(check_tcp(d), 0) << gGetLastError();
    EXPECT_STREQ(d.client, "10.0.0.2:25 --> 10.0.0.1:40000 (11 bytes)");
    EXPECT_EQ(texts_of(read_all(true, ascii, both)), (std::vector<std::string>{"C:220 ready\r\n", "S:HELO x\r\n"}));
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
    EXPECT_STREQ(d.client, "10.1.1.1:7000 --> 10.1.1.2:7000 (1 bytes)");
    EXPECT_STREQ(d.server, "10.1.1.2:7000 --> 10.1.1.1:7000 (2 bytes)");
    EXPECT_EQ(texts_of(read_all(true, ascii, both)), (std::vector<std::string>{"S:xy", "C:z"}));
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
