/* SPDX-License-Identifier: GPL-2.0-or-later */
// What the tree tests share: copying the flattened tree of the packet built
// last, reading a capture in sequence, building a packet's tree from its
// summary, and a capture of twelve packets built byte for byte with its
// records' bytes as the file holds them.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pcap_writer.h"
#include "test_support.h"
#include "wsbridge.h"

namespace wsbtree {

inline const std::string captures = WSB_TEST_CAPTURES;

inline const char not_created_message[] = "Error reading tree node: The protocols tree is not created.";

inline std::string last_error() { return gGetLastError(); }

using wsbtest::run_command;

inline std::string temp_path(const std::string &name)
{
    return testing::TempDir() + "wsb_tree_" + std::to_string(getpid()) + "_" + name;
}

// Removes a test's own file however the test ends.
struct remove_on_exit {
    std::string path;
    ~remove_on_exit() { unlink(path.c_str()); }
};

inline std::vector<uint8_t> file_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ------------------------------------------------------------- library side

struct node_copy {
    TreeNode record;
    int depth;
};

inline std::vector<node_copy> copy_tree()
{
    std::vector<node_copy> nodes;
    int32_t count = -1;
    EXPECT_EQ(gGetProtocolTreeNodesCount(&count), 0) << last_error();
    for (int32_t i = 0; i < count; ++i) {
        node_copy copy{};
        EXPECT_EQ(gGetTreeNodeByIndex(&copy.record, i), 0) << last_error();
        int parent = copy.record.parent_index;
        copy.depth = parent > 0 && parent <= static_cast<int>(nodes.size()) ? nodes[parent - 1].depth + 1 : 0;
        nodes.push_back(copy);
    }
    return nodes;
}

// Every summary of a capture read in sequence.
inline std::vector<PacketSummary> read_all(const std::string &path)
{
    std::vector<PacketSummary> summaries;
    EXPECT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    PacketSummary summary;
    int status;
    while ((status = gGetNextPacket(&summary)) == 0)
        summaries.push_back(summary);
    EXPECT_EQ(status, 2) << last_error();
    return summaries;
}

inline int32_t build_tree(const PacketSummary &s, int32_t *length = nullptr, const uint8_t **bytes = nullptr)
{
    int32_t local_length = 0;
    const uint8_t *local_bytes = nullptr;
    return gBuildPacketProtocolTree(length ? length : &local_length, bytes ? bytes : &local_bytes, s.frame_number,
                                    s.file_offset, static_cast<int32_t>(s.captured_length), s.packet_length,
                                    s.encapsulation);
}

// ------------------------------------------------------------ exact cases

// A capture of twelve Ethernet packets (UDP, TCP and ICMP over IPv4, UDP
// over IPv6), one second apart, built byte for byte.
struct sample_capture {
    std::string path;
    pcapw::PcapWriter writer;
    std::vector<pcapw::Bytes> frames;
};

inline const uint32_t sample_first_second = 1600000000;

inline sample_capture write_sample(const std::string &name)
{
    using namespace pcapw;
    sample_capture sample;
    sample.path = temp_path(name);
    const Mac a = mac("02:00:00:00:00:0a"), b = mac("02:00:00:00:00:0b");
    const Ip4 x = ip4("10.0.0.1"), y = ip4("10.0.0.2");
    for (uint16_t i = 0; i < 12; ++i) {
        Bytes frame;
        switch (i % 4) {
        case 0:
            frame = eth_ipv4_udp(b, a, x, y, uint16_t(5000 + i), 7000, to_bytes("payload " + std::to_string(i)), i);
            break;
        case 1:
            frame = eth_ipv4_tcp(a, b, y, x, 8080, uint16_t(40000 + i), 1000u + i, 2000, tcpflag::ACK, to_bytes("data"),
                                 65535, i);
            break;
        case 2:
            frame = eth_ipv4_icmp_echo(b, a, x, y, false, 1, i, to_bytes("ping"), i);
            break;
        default:
            frame = eth_ipv6_udp(b, a, ip6("2001:db8::1"), ip6("2001:db8::2"), uint16_t(6000 + i), 9000,
                                 to_bytes("six"));
            break;
        }
        sample.writer.add(sample_first_second + i, 250000u * (i % 4), frame);
        sample.frames.push_back(frame);
    }
    sample.writer.write(sample.path);
    return sample;
}

// A record's bytes as the file holds them (after its 16-byte header).
inline std::vector<uint8_t> stored_bytes(const sample_capture &sample, size_t i)
{
    std::vector<uint8_t> file = file_bytes(sample.path);
    size_t start = sample.writer.offset_of(i) + pcapw::RECORD_HEADER_LEN;
    return std::vector<uint8_t>(file.begin() + start, file.begin() + start + sample.frames[i].size());
}

inline const node_copy *find_abbrev(const std::vector<node_copy> &nodes, const std::string &abbrev)
{
    for (const node_copy &n : nodes)
        if (abbrev == n.record.field_abbrev)
            return &n;
    return nullptr;
}

}  // namespace wsbtree
