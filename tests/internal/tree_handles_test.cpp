// SPDX-License-Identifier: GPL-2.0-or-later
// The node handles of the flattened tree: which of them still point into the
// current dissection (lib/tree/tree.cpp).
#include "tree/tree.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "wsbridge.h"
#include "../support/pcap_writer.h"

namespace {

struct sample_capture {
    std::string path;
    std::vector<PacketSummary> summaries;
};

// Removes a test's own file however the test ends.
struct remove_on_exit {
    std::string path;
    ~remove_on_exit() { unlink(path.c_str()); }
};

// Four packets (UDP, TCP, ICMP, UDP), read once in sequence; the capture
// stays open.
sample_capture open_sample(const std::string &name)
{
    using namespace pcapw;
    sample_capture sample;
    sample.path = testing::TempDir() + "wsb_tree_handles_" + std::to_string(getpid()) + "_" + name;
    const Mac a = mac("02:00:00:00:00:0a"), b = mac("02:00:00:00:00:0b");
    const Ip4 x = ip4("10.0.0.1"), y = ip4("10.0.0.2");
    PcapWriter writer;
    writer.add(100, 0, eth_ipv4_udp(b, a, x, y, 5000, 7000, to_bytes("one")));
    writer.add(101, 0, eth_ipv4_tcp(a, b, y, x, 80, 40000, 1, 2, tcpflag::ACK, to_bytes("two")));
    writer.add(102, 0, eth_ipv4_icmp_echo(b, a, x, y, false, 1, 1, to_bytes("three")));
    writer.add(103, 0, eth_ipv4_udp(b, a, x, y, 5001, 7000, to_bytes("four")));
    writer.write(sample.path);
    EXPECT_EQ(gOpenCapture(sample.path.c_str()), 0) << gGetLastError();
    PacketSummary summary;
    while (gGetNextPacket(&summary) == 0)
        sample.summaries.push_back(summary);
    EXPECT_EQ(sample.summaries.size(), 4u);
    return sample;
}

int32_t build(const PacketSummary &s)
{
    int32_t length = 0;
    const uint8_t *bytes = nullptr;
    return gBuildPacketProtocolTree(&length, &bytes, s.frame_number, s.file_offset,
                                    static_cast<int32_t>(s.captured_length), s.packet_length, s.encapsulation);
}

std::vector<void *> handles()
{
    std::vector<void *> result;
    int32_t count = 0;
    EXPECT_EQ(gGetProtocolTreeNodesCount(&count), 0) << gGetLastError();
    for (int32_t i = 0; i < count; ++i) {
        TreeNode node;
        EXPECT_EQ(gGetTreeNodeByIndex(&node, i), 0);
        result.push_back(node.node);
    }
    return result;
}

void expect_all_stale(const std::vector<void *> &nodes)
{
    for (void *node : nodes) {
        EXPECT_FALSE(tree_node_handle_is_current(node));
        EXPECT_EQ(tree_node_field_info(node), nullptr);
    }
}

}  // namespace

TEST(TreeHandles, AcceptsExactlyTheHandlesOfTheCurrentTree)
{
    ASSERT_EQ(gInitEpan(), 0) << gGetLastError();
    EXPECT_FALSE(tree_node_handle_is_current(nullptr));
    sample_capture sample = open_sample("current.pcap");
    const remove_on_exit cleanup{sample.path};
    ASSERT_EQ(build(sample.summaries[1]), 0) << gGetLastError();
    auto nodes = handles();
    ASSERT_GT(nodes.size(), 10u);
    for (void *node : nodes) {
        ASSERT_TRUE(tree_node_handle_is_current(node));
        const field_info *fi = tree_node_field_info(node);
        ASSERT_NE(fi, nullptr);
        EXPECT_EQ(fi, static_cast<proto_node *>(node)->finfo);
    }
    TreeNode first;
    ASSERT_EQ(gGetTreeNodeByIndex(&first, 0), 0);
    EXPECT_STREQ(tree_node_field_info(first.node)->hfinfo->abbrev, "frame");

    // Pointers that are not handles of the tree.
    EXPECT_FALSE(tree_node_handle_is_current(nullptr));
    EXPECT_FALSE(tree_node_handle_is_current(&first));
    EXPECT_FALSE(tree_node_handle_is_current(static_cast<char *>(nodes[0]) + 1));
    EXPECT_EQ(tree_node_field_info(&first), nullptr);
    // The engine's root node holds the items but is no record of its own.
    EXPECT_FALSE(tree_node_handle_is_current(static_cast<proto_node *>(nodes[0])->parent));
    gCloseCapture();
    gCleanupEpan();
}

TEST(TreeHandles, GoStaleWithEveryOtherDissection)
{
    ASSERT_EQ(gInitEpan(), 0) << gGetLastError();
    sample_capture sample = open_sample("stale.pcap");
    const remove_on_exit cleanup{sample.path};
    const PacketSummary &s = sample.summaries[0];

    // Another packet read by offset.
    ASSERT_EQ(build(s), 0) << gGetLastError();
    auto nodes = handles();
    ASSERT_EQ(gGetPacketAtOffset(nullptr, s.frame_number, s.file_offset, static_cast<int32_t>(s.captured_length),
                                 s.packet_length, s.encapsulation),
              0);
    expect_all_stale(nodes);
    // The records themselves are still there.
    EXPECT_EQ(handles().size(), nodes.size());

    // Freeing the tree.
    ASSERT_EQ(build(s), 0) << gGetLastError();
    nodes = handles();
    ASSERT_TRUE(tree_node_handle_is_current(nodes[0]));
    gFreePacketProtocolTree();
    expect_all_stale(nodes);

    // A tree call that passes its guards and then fails.
    ASSERT_EQ(build(s), 0) << gGetLastError();
    nodes = handles();
    int32_t length = 0;
    const uint8_t *bytes = nullptr;
    ASSERT_EQ(gBuildPacketProtocolTree(&length, &bytes, 1, 2147483647, 60, 60, 1), 1);
    expect_all_stale(nodes);

    // Sequential reading.
    ASSERT_EQ(gOpenCapture(sample.path.c_str()), 0) << gGetLastError();
    PacketSummary summary;
    ASSERT_EQ(gGetNextPacket(&summary), 0);
    ASSERT_EQ(build(summary), 0) << gGetLastError();
    nodes = handles();
    ASSERT_TRUE(tree_node_handle_is_current(nodes[0]));
    ASSERT_EQ(gGetNextPacket(&summary), 0);
    expect_all_stale(nodes);

    // Dropping the engine's per-capture state.
    ASSERT_EQ(build(summary), 0) << gGetLastError();
    nodes = handles();
    gHackedCleanup();
    expect_all_stale(nodes);

    // Closing the capture: the records survive, their handles do not.
    ASSERT_EQ(build(summary), 0) << gGetLastError();
    nodes = handles();
    ASSERT_EQ(gCloseCapture(), 0);
    expect_all_stale(nodes);
    ASSERT_EQ(gOpenCapture(sample.path.c_str()), 0) << gGetLastError();
    EXPECT_EQ(handles().size(), nodes.size());
    expect_all_stale(nodes);

    // Ending the engine.
    ASSERT_EQ(build(s), 0) << gGetLastError();
    nodes = handles();
    ASSERT_EQ(gCleanupEpan(), 0);
    expect_all_stale(nodes);
}
