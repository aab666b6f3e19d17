/* SPDX-License-Identifier: GPL-2.0-or-later */
// What the follow tests share: the fixture (a fresh TMPDIR that must be
// empty again at the end, a folder for built captures, a started engine),
// the follow calls on a locator, checking and reading a stream, the
// temporary files the library holds open, and TCP and UDP conversations
// built byte for byte with pcap_writer.h.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "locator.h"
#include "pcap_writer.h"
#include "test_support.h"
#include "wsbridge.h"

namespace wsbfollow {

inline const std::string captures = WSB_TEST_CAPTURES;

enum { ascii = 0, ebcdic = 1, hexdump = 2, c_array = 3 };
enum { client_only = 0, server_only = 1, both = 2 };

using wsbtest::locator;
using wsbtest::locator_of;

using wsbtest::run_command;

inline std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// Parses hex dump text back into bytes: the hex column of every line.
inline std::vector<uint8_t> parse_hex_dump(const std::string &text)
{
    std::vector<uint8_t> bytes;
    for (std::string line : split_lines(text)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t start = line.find_first_not_of(' ');
        if (start == std::string::npos)
            continue;
        std::string hex = line.substr(start + 10, 49);
        std::istringstream in(hex);
        std::string token;
        while (in >> token)
            bytes.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
    }
    return bytes;
}

inline std::vector<std::string> directory_entries(const std::string &path)
{
    std::vector<std::string> names;
    if (DIR *dir = opendir(path.c_str())) {
        while (dirent *entry = readdir(dir))
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                names.push_back(entry->d_name);
        closedir(dir);
    }
    return names;
}

// The temporary files this process holds open in `folder`: the library
// removes a file's name as soon as it has created it, so the file shows only
// among the process's descriptors (as "NAME (deleted)"). Their names, each
// with the descriptor's /proc path.
inline std::vector<std::pair<std::string, std::string>> open_deleted_files(const std::string &folder)
{
    std::vector<std::pair<std::string, std::string>> files;
    const std::string suffix = " (deleted)";
    for (const std::string &fd : directory_entries("/proc/self/fd")) {
        const std::string link = "/proc/self/fd/" + fd;
        char target[4096];
        const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        if (length <= 0)
            continue;
        std::string path(target, static_cast<size_t>(length));
        if (path.rfind(folder + "/", 0) != 0 || path.size() < suffix.size() ||
            path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        files.emplace_back(path.substr(folder.size() + 1, path.size() - folder.size() - 1 - suffix.size()), link);
    }
    return files;
}

// Opens a capture and reads it to its end, keeping every packet's locator.
inline std::vector<locator> open_and_read(const std::string &path)
{
    std::vector<locator> locators;
    EXPECT_EQ(gOpenCapture(path.c_str()), 0) << gGetLastError();
    PacketSummary summary;
    int status;
    while ((status = gGetNextPacket(&summary)) == 0)
        locators.push_back(locator_of(summary));
    EXPECT_EQ(status, 2) << gGetLastError();
    return locators;
}

// ---- the fixture -------------------------------------------------------------

// Every test gets a fresh TMPDIR, which must be empty again at the end, a
// directory for the captures it builds, and a started engine.
class Follow : public ::testing::Test {
protected:
    std::string temp_dir;
    std::string capture_dir;
    bool engine_stopped = false;

    void SetUp() override
    {
        char temp_template[] = "/tmp/wsb-follow-tmpdir-XXXXXX";
        char capture_template[] = "/tmp/wsb-follow-captures-XXXXXX";
        ASSERT_NE(mkdtemp(temp_template), nullptr);
        ASSERT_NE(mkdtemp(capture_template), nullptr);
        temp_dir = temp_template;
        capture_dir = capture_template;
        setenv("TMPDIR", temp_dir.c_str(), 1);
        ASSERT_EQ(gInitEpan(), 0) << gGetLastError();
    }

    void TearDown() override
    {
        if (!engine_stopped) {
            EXPECT_EQ(gCleanupEpan(), 0) << gGetLastError();
        }
        EXPECT_TRUE(directory_entries(temp_dir).empty()) << "a temporary file was left behind";
        EXPECT_TRUE(follow_files().empty()) << "a temporary file is still open";
        for (const std::string &name : directory_entries(temp_dir))
            unlink((temp_dir + "/" + name).c_str());
        rmdir(temp_dir.c_str());
        for (const std::string &name : directory_entries(capture_dir))
            unlink((capture_dir + "/" + name).c_str());
        rmdir(capture_dir.c_str());
    }

    // The follow's temporary files: open in TMPDIR, with no name left there.
    std::vector<std::string> follow_files()
    {
        std::vector<std::string> names;
        for (const auto &file : open_deleted_files(temp_dir))
            names.push_back(file.first);
        return names;
    }

    std::string write_capture(const std::string &name, const pcapw::PcapWriter &writer)
    {
        std::string path = capture_dir + "/" + name;
        writer.write(path);
        return path;
    }
};

inline int32_t follow_tcp(const locator &l)
{
    return gFollowTCPStreamForPacket(l.frame_number, l.file_offset, l.captured_length, l.packet_length, l.encapsulation);
}
inline int32_t add_tcp(const locator &l)
{
    return gAddPacketToTCPStream(l.frame_number, l.file_offset, l.captured_length, l.packet_length, l.encapsulation);
}
inline int32_t follow_udp(const locator &l)
{
    return gFollowUDPStreamForPacket(l.frame_number, l.file_offset, l.captured_length, l.packet_length, l.encapsulation);
}
inline int32_t add_udp(const locator &l)
{
    return gAddPacketToUDPStream(l.frame_number, l.file_offset, l.captured_length, l.packet_length, l.encapsulation);
}

struct Descriptions {
    uint8_t valid = 0xEE;
    const char *server = nullptr, *client = nullptr, *conversation = nullptr;
    int32_t server_size = -1, client_size = -1, conversation_size = -1;
};

inline int32_t check_tcp(Descriptions &d)
{
    return gIsValidTcpStrem(&d.valid, 12345, &d.server, &d.server_size, &d.client, &d.client_size, &d.conversation,
                            &d.conversation_size);
}
inline int32_t check_udp(Descriptions &d)
{
    return gIsValidUDPStrem(&d.valid, &d.server, &d.server_size, &d.client, &d.client_size, &d.conversation,
                            &d.conversation_size);
}

// One stream-line call's results.
struct Line {
    int32_t status = -1;
    std::string text;
    bool null_text = false;
    uint32_t size = 0xDEAD;
    uint8_t is_server = 0xEE;
    uint8_t end = 0xEE;
};

inline Line next_line(bool tcp, int32_t format, int32_t direction, uint8_t end_before = 0)
{
    Line line;
    const char *text = reinterpret_cast<const char *>(1);
    line.end = end_before;
    line.status = tcp ? gGetNextTCPStreamLine(format, direction, &text, &line.size, &line.is_server, &line.end)
                      : gGetNextUDPStreamLine(format, direction, &text, &line.size, &line.is_server, &line.end);
    if (text == nullptr)
        line.null_text = true;
    else if (text != reinterpret_cast<const char *>(1))
        line.text = text;
    return line;
}

// Reads a checked stream to its end; each segment's text with its direction.
inline std::vector<std::pair<bool, std::string>> read_all(bool tcp, int32_t format, int32_t direction)
{
    std::vector<std::pair<bool, std::string>> texts;
    for (int guard = 0; guard < 1000000; ++guard) {
        Line line = next_line(tcp, format, direction);
        EXPECT_EQ(line.status, 0) << gGetLastError();
        if (line.status != 0 || line.end == 1)
            break;
        EXPECT_FALSE(line.null_text);
        EXPECT_EQ(line.size, line.text.size() + 1);
        texts.emplace_back(line.is_server != 0, line.text);
    }
    return texts;
}

// ---- captures built byte for byte --------------------------------------------

inline const pcapw::Mac mac_a = pcapw::mac("02:00:00:00:00:0a");
inline const pcapw::Mac mac_b = pcapw::mac("02:00:00:00:00:0b");

// A TCP conversation between A (the connecting end) and B, over IPv4 or IPv6,
// with sequence numbers that run on without gaps.
struct TcpConversation {
    bool ipv6;
    std::string address_a, address_b;
    uint16_t port_a, port_b;
    uint32_t seq_a = 1000, seq_b = 5000;
    pcapw::PcapWriter writer;
    uint32_t when = 0;

    TcpConversation(bool v6, std::string a, uint16_t pa, std::string b, uint16_t pb)
        : ipv6(v6), address_a(std::move(a)), address_b(std::move(b)), port_a(pa), port_b(pb) {}

    void segment(bool from_b, uint8_t flags, const pcapw::Bytes &payload)
    {
        uint32_t &seq = from_b ? seq_b : seq_a;
        const uint32_t ack = from_b ? seq_a : seq_b;
        const std::string &source = from_b ? address_b : address_a;
        const std::string &destination = from_b ? address_a : address_b;
        const uint16_t source_port = from_b ? port_b : port_a;
        const uint16_t destination_port = from_b ? port_a : port_b;
        const pcapw::Mac &source_mac = from_b ? mac_b : mac_a;
        const pcapw::Mac &destination_mac = from_b ? mac_a : mac_b;
        pcapw::Bytes frame =
            ipv6 ? pcapw::eth_ipv6_tcp(destination_mac, source_mac, pcapw::ip6(source), pcapw::ip6(destination),
                                       source_port, destination_port, seq, ack, flags, payload)
                 : pcapw::eth_ipv4_tcp(destination_mac, source_mac, pcapw::ip4(source), pcapw::ip4(destination),
                                       source_port, destination_port, seq, ack, flags, payload);
        writer.add(1700000000 + when, when, frame);
        ++when;
        seq += static_cast<uint32_t>(payload.size()) + ((flags & (pcapw::tcpflag::SYN | pcapw::tcpflag::FIN)) ? 1 : 0);
    }
    void handshake()
    {
        segment(false, pcapw::tcpflag::SYN, {});
        segment(true, pcapw::tcpflag::SYN | pcapw::tcpflag::ACK, {});
        segment(false, pcapw::tcpflag::ACK, {});
    }
    void send(bool from_b, const std::string &text)
    {
        segment(from_b, pcapw::tcpflag::PSH | pcapw::tcpflag::ACK, pcapw::to_bytes(text));
    }
    void send_bytes(bool from_b, const pcapw::Bytes &bytes)
    {
        segment(from_b, pcapw::tcpflag::PSH | pcapw::tcpflag::ACK, bytes);
    }
};

// UDP datagrams between A and B.
struct UdpConversation {
    std::string address_a, address_b;
    uint16_t port_a, port_b;
    pcapw::PcapWriter writer;
    uint32_t when = 0;

    UdpConversation(std::string a, uint16_t pa, std::string b, uint16_t pb)
        : address_a(std::move(a)), address_b(std::move(b)), port_a(pa), port_b(pb) {}

    void send(bool from_b, const std::string &text, uint16_t source_port = 0)
    {
        const std::string &source = from_b ? address_b : address_a;
        const std::string &destination = from_b ? address_a : address_b;
        uint16_t sport = source_port ? source_port : (from_b ? port_b : port_a);
        uint16_t dport = from_b ? port_a : port_b;
        writer.add(1700000000 + when, when,
                   pcapw::eth_ipv4_udp(from_b ? mac_a : mac_b, from_b ? mac_b : mac_a, pcapw::ip4(source),
                                       pcapw::ip4(destination), sport, dport, pcapw::to_bytes(text)));
        ++when;
    }
};

// Client A sends "a", "c"; server B sends "b", "d", "e".
inline TcpConversation five_turns()
{
    TcpConversation c(false, "10.0.0.1", 40000, "10.0.0.2", 80);
    c.handshake();
    c.send(false, "a");
    c.send(true, "b");
    c.send(false, "c");
    c.send(true, "d");
    c.send(true, "e");
    return c;
}

// Follows a whole built capture; returns the locators.
inline std::vector<locator> follow_all(const std::string &path, bool tcp, size_t start = 0)
{
    std::vector<locator> locators = open_and_read(path);
    EXPECT_EQ(tcp ? follow_tcp(locators.at(start)) : follow_udp(locators.at(start)), 0) << gGetLastError();
    for (const locator &l : locators)
        EXPECT_EQ(tcp ? add_tcp(l) : add_udp(l), 0) << gGetLastError();
    return locators;
}

inline std::vector<std::string> texts_of(const std::vector<std::pair<bool, std::string>> &lines)
{
    std::vector<std::string> texts;
    for (auto &line : lines)
        texts.push_back((line.first ? "S:" : "C:") + line.second);
    return texts;
}

}  // namespace wsbfollow
