// SPDX-License-Identifier: GPL-2.0-or-later
// The records of the flattened protocol tree through the public interface:
// a second tree replacing the first, the count and copy errors, hidden and
// generated items, parents and indices of real trees, the guards of the tree
// calls in every state of the library, and the command-line host's tree.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "pcap_writer.h"
#include "test_support.h"
#include "tree_support.h"
#include "wsbridge.h"

using namespace wsbtree;

namespace {

const char out_of_range_message[] = "Error reading tree node: Index out of range.";

void expect_tree_invariants(const std::vector<node_copy> &nodes)
{
    // Depth first, parents before children: the parent of each record is the
    // record before it or one of that record's ancestors.
    std::vector<int32_t> ancestors;  // indices, outermost first
    for (size_t p = 0; p < nodes.size(); ++p) {
        const TreeNode &r = nodes[p].record;
        ASSERT_EQ(r.index, static_cast<int32_t>(p + 1));
        ASSERT_TRUE(r.parent_index == -1 || (r.parent_index >= 1 && r.parent_index < r.index)) << r.parent_index;
        while (!ancestors.empty() && ancestors.back() != r.parent_index)
            ancestors.pop_back();
        if (r.parent_index == -1)
            ASSERT_TRUE(ancestors.empty()) << "record " << r.index;
        else
            ASSERT_FALSE(ancestors.empty()) << "record " << r.index << " names a parent off the current path";
        ancestors.push_back(r.index);
        EXPECT_LT(strnlen(r.field_abbrev, sizeof r.field_abbrev), sizeof r.field_abbrev);
        EXPECT_LT(strnlen(r.field_name, sizeof r.field_name), sizeof r.field_name);
        EXPECT_LT(strnlen(r.label, sizeof r.label), sizeof r.label);
        EXPECT_NE(r.node, nullptr);
    }
    // The records whose parent_index is p + 1 are exactly those that follow
    // record p at one level deeper before the next record at its own level.
    for (size_t p = 0; p < nodes.size(); ++p) {
        for (size_t q = p + 1; q < nodes.size() && nodes[q].depth > nodes[p].depth; ++q)
            EXPECT_EQ(nodes[q].record.parent_index == static_cast<int32_t>(p + 1),
                      nodes[q].depth == nodes[p].depth + 1);
    }
}

}  // namespace

TEST(TreeNodes, ASecondTreeReplacesTheFirst)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    sample_capture sample = write_sample("two.pcap");
    const remove_on_exit cleanup{sample.path};
    auto summaries = read_all(sample.path);
    ASSERT_EQ(build_tree(summaries[2]), 0) << last_error();
    auto icmp_alone = copy_tree();
    ASSERT_EQ(build_tree(summaries[1]), 0) << last_error();
    auto tcp_tree = copy_tree();
    ASSERT_EQ(build_tree(summaries[2]), 0) << last_error();
    auto icmp_after = copy_tree();
    ASSERT_EQ(icmp_after.size(), icmp_alone.size());
    EXPECT_NE(tcp_tree.size(), icmp_after.size());
    for (size_t i = 0; i < icmp_after.size(); ++i) {
        EXPECT_STREQ(icmp_after[i].record.field_abbrev, icmp_alone[i].record.field_abbrev);
        EXPECT_EQ(icmp_after[i].record.parent_index, icmp_alone[i].record.parent_index);
    }
    int frames = 0;
    for (const node_copy &n : icmp_after) {
        frames += std::string(n.record.field_abbrev) == "frame";
        EXPECT_NE(std::string(n.record.field_abbrev).rfind("tcp", 0), 0u) << n.record.label;
    }
    EXPECT_EQ(frames, 1);
    EXPECT_EQ(std::string(icmp_after[0].record.label).rfind("Frame 3: ", 0), 0u);
    gCloseCapture();
    gCleanupEpan();
}

TEST(TreeNodes, CountAndCopyErrors)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    sample_capture sample = write_sample("errors.pcap");
    const remove_on_exit cleanup{sample.path};
    auto summaries = read_all(sample.path);

    TreeNode node;
    memset(&node, 0xab, sizeof node);
    const TreeNode untouched = node;
    int32_t count = -3;
    EXPECT_EQ(gGetProtocolTreeNodesCount(&count), 1);
    EXPECT_EQ(last_error(), not_created_message);
    EXPECT_EQ(count, -3);
    for (int32_t position : {0, -1, 5}) {
        EXPECT_EQ(gGetTreeNodeByIndex(&node, position), 1);
        EXPECT_EQ(last_error(), not_created_message);  // before the range test
    }
    EXPECT_EQ(memcmp(&node, &untouched, sizeof node), 0);

    ASSERT_EQ(build_tree(summaries[0]), 0) << last_error();
    ASSERT_EQ(gGetProtocolTreeNodesCount(&count), 0) << last_error();
    ASSERT_GT(count, 3);
    for (int32_t position : {-1, count, count + 1, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(gGetTreeNodeByIndex(&node, position), 1) << position;
        EXPECT_EQ(last_error(), out_of_range_message);
    }
    EXPECT_EQ(memcmp(&node, &untouched, sizeof node), 0);
    EXPECT_EQ(gGetTreeNodeByIndex(&node, count - 1), 0) << last_error();
    EXPECT_EQ(node.index, count);
    EXPECT_EQ(gGetTreeNodeByIndex(&node, 0), 0) << last_error();
    EXPECT_EQ(node.index, 1);
    EXPECT_EQ(node.parent_index, -1);
    EXPECT_STREQ(node.field_abbrev, "frame");
    EXPECT_EQ(node.field_type, WSB_FT_PROTOCOL);

    // Missing out-parameters are refused with a message.
    EXPECT_EQ(gGetProtocolTreeNodesCount(nullptr), 1);
    EXPECT_NE(last_error().find("\"Get Protocol Tree Nodes Count\" operation failed."), std::string::npos);
    EXPECT_EQ(gGetTreeNodeByIndex(nullptr, 0), 1);
    EXPECT_NE(last_error().find("\"Get Tree Node by Index\" operation failed."), std::string::npos);

    // Freeing twice is fine; the tree is gone afterwards.
    EXPECT_EQ(gFreePacketProtocolTree(), 0);
    EXPECT_EQ(gFreePacketProtocolTree(), 0);
    EXPECT_EQ(gGetProtocolTreeNodesCount(&count), 1);
    EXPECT_EQ(last_error(), not_created_message);
    EXPECT_EQ(gGetTreeNodeByIndex(&node, -1), 1);
    EXPECT_EQ(last_error(), not_created_message);
    gCloseCapture();
    gCleanupEpan();
}

TEST(TreeNodes, LeavesOutHiddenItemsAndBracketsGeneratedOnes)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    sample_capture sample = write_sample("flags.pcap");
    const remove_on_exit cleanup{sample.path};
    auto summaries = read_all(sample.path);
    ASSERT_EQ(build_tree(summaries[0]), 0) << last_error();  // UDP over IPv4
    auto nodes = copy_tree();
    expect_tree_invariants(nodes);
    // Registered by the IPv4, Ethernet and UDP dissectors as hidden items.
    for (const char *hidden : {"ip.addr", "ip.src_host", "ip.host", "eth.addr_resolved", "eth.src_resolved",
                               "eth.lg", "eth.ig", "udp.port"})
        EXPECT_EQ(find_abbrev(nodes, hidden), nullptr) << hidden;
    // Generated items (the engine's FI_GENERATED) carry square brackets.
    const node_copy *stream = find_abbrev(nodes, "udp.stream");
    ASSERT_NE(stream, nullptr);
    EXPECT_STREQ(stream->record.label, "[Stream index: 0]");
    const node_copy *status = find_abbrev(nodes, "ip.checksum.status");
    ASSERT_NE(status, nullptr);
    EXPECT_STREQ(status->record.label, "[Header checksum status: Unverified]");
    // Others do not.
    const node_copy *port = find_abbrev(nodes, "udp.srcport");
    ASSERT_NE(port, nullptr);
    EXPECT_STREQ(port->record.label, "Source Port: 5000");
    EXPECT_STREQ(port->record.field_name, "Source Port");
    EXPECT_EQ(port->record.field_type, WSB_FT_UINT16);
    EXPECT_EQ(port->record.start, 34);
    EXPECT_EQ(port->record.length, 2);
    const node_copy *source = find_abbrev(nodes, "ip.src");
    ASSERT_NE(source, nullptr);
    EXPECT_STREQ(source->record.label, "Source Address: 10.0.0.1");
    EXPECT_EQ(source->record.field_type, WSB_FT_IPv4);
    const node_copy *ether = find_abbrev(nodes, "eth.src");
    ASSERT_NE(ether, nullptr);
    EXPECT_EQ(ether->record.field_type, WSB_FT_ETHER);
    // The engine's text-only items: a label of their own, the field "text".
    const node_copy *timestamps = find_abbrev(nodes, "text");
    ASSERT_NE(timestamps, nullptr);
    EXPECT_STREQ(timestamps->record.label, "[Timestamps]");
    EXPECT_EQ(timestamps->record.field_type, WSB_FT_NONE);
    gCloseCapture();
    gCleanupEpan();
}

TEST(TreeNodes, ParentsAndIndicesOfRealTrees)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    for (const char *name : {"one_tcp_stream.pcap", "bgp-4byte-asn.pcap", "dns_udp.pcap"}) {
        auto summaries = read_all(captures + "/" + name);
        for (size_t i = 0; i < summaries.size() && i < 12; ++i) {
            ASSERT_EQ(build_tree(summaries[i]), 0) << last_error();
            auto nodes = copy_tree();
            ASSERT_FALSE(nodes.empty());
            expect_tree_invariants(nodes);
        }
    }
    gCloseCapture();
    gCleanupEpan();
}

// ----------------------------------------------------------------- guards

namespace {

std::string guard_message(const char *operation, const char *condition)
{
    return std::string("\"") + operation + "\" operation failed. " + condition;
}

const char not_started[] = "Wireshark engine is not initialized yet.";
const char shut_down[] = "Wireshark engine was already uninitialized.";
const char no_capture[] = "A capture file needs to be opened in order to perform this operation.";

// Every guarded export of this part answers with its guard's message;
// gBuildPacketProtocolTree sets its length to 0 first.
void expect_guarded(const char *condition)
{
    int32_t length = 9;
    const uint8_t *bytes = nullptr;
    EXPECT_EQ(gBuildPacketProtocolTree(&length, &bytes, 1, 24, 60, 60, 1), 1);
    EXPECT_EQ(last_error(), guard_message("Build Packet Tree", condition));
    EXPECT_EQ(length, 0);
    EXPECT_EQ(bytes, nullptr);
    length = 9;
    EXPECT_EQ(gBuildPacketProtocolTree(&length, nullptr, 1, 24, 60, 60, 1), 1);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(gBuildPacketProtocolTree(nullptr, nullptr, 1, 24, 60, 60, 1), 1);
    EXPECT_EQ(last_error(), guard_message("Build Packet Tree", condition));

    PacketSummary summary;
    memset(&summary, 0x11, sizeof summary);
    const PacketSummary untouched = summary;
    EXPECT_EQ(gGetPacketAtOffset(&summary, 1, 24, 60, 60, 1), 1);
    EXPECT_EQ(last_error(), guard_message("Get Packet At Offset", condition));
    EXPECT_EQ(memcmp(&summary, &untouched, sizeof summary), 0);

    int32_t count = -4;
    EXPECT_EQ(gGetProtocolTreeNodesCount(&count), 1);
    EXPECT_EQ(last_error(), guard_message("Get Protocol Tree Nodes Count", condition));
    EXPECT_EQ(count, -4);
    EXPECT_EQ(gGetProtocolTreeNodesCount(nullptr), 1);
    EXPECT_EQ(last_error(), guard_message("Get Protocol Tree Nodes Count", condition));

    TreeNode node;
    memset(&node, 0x22, sizeof node);
    const TreeNode untouched_node = node;
    EXPECT_EQ(gGetTreeNodeByIndex(&node, 0), 1);
    EXPECT_EQ(last_error(), guard_message("Get Tree Node by Index", condition));
    EXPECT_EQ(memcmp(&node, &untouched_node, sizeof node), 0);
    EXPECT_EQ(gGetTreeNodeByIndex(nullptr, -1), 1);
    EXPECT_EQ(last_error(), guard_message("Get Tree Node by Index", condition));
}

int32_t tree_count()
{
    int32_t count = -1;
    return gGetProtocolTreeNodesCount(&count) == 0 ? count : -1;
}

}  // namespace

TEST(TreeGuards, BeforeTheEngineStarts)
{
    expect_guarded(not_started);
    EXPECT_EQ(gFreePacketProtocolTree(), 0);
}

TEST(TreeGuards, WithoutACaptureAndAcrossClosing)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    expect_guarded(no_capture);
    EXPECT_EQ(gFreePacketProtocolTree(), 0);

    // The tree outlives the capture it came from: refused while no capture
    // is open, readable again once one is.
    sample_capture sample = write_sample("closing.pcap");
    const remove_on_exit cleanup{sample.path};
    auto summaries = read_all(sample.path);
    ASSERT_EQ(build_tree(summaries[0]), 0) << last_error();
    const int32_t count = tree_count();
    ASSERT_GT(count, 0);
    TreeNode first;
    ASSERT_EQ(gGetTreeNodeByIndex(&first, 0), 0);
    ASSERT_EQ(gCloseCapture(), 0) << last_error();
    expect_guarded(no_capture);
    ASSERT_EQ(gOpenCapture(sample.path.c_str()), 0) << last_error();
    EXPECT_EQ(tree_count(), count);
    TreeNode again;
    ASSERT_EQ(gGetTreeNodeByIndex(&again, 0), 0);
    EXPECT_STREQ(again.label, first.label);
    EXPECT_EQ(gFreePacketProtocolTree(), 0);
    EXPECT_EQ(tree_count(), -1);
    gCloseCapture();
    gCleanupEpan();
}

TEST(TreeGuards, AfterTheEngineIsShutDown)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    sample_capture sample = write_sample("shutdown.pcap");
    const remove_on_exit cleanup{sample.path};
    auto summaries = read_all(sample.path);
    ASSERT_EQ(build_tree(summaries[0]), 0) << last_error();
    ASSERT_EQ(gCleanupEpan(), 0) << last_error();
    expect_guarded(shut_down);  // also with the capture still open
    EXPECT_EQ(gFreePacketProtocolTree(), 0);
    EXPECT_EQ(gFreePacketProtocolTree(), 0);
}

TEST(TreeGuards, MissingPointersAreRefusedAndKeepTheTree)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    sample_capture sample = write_sample("pointers.pcap");
    const remove_on_exit cleanup{sample.path};
    auto summaries = read_all(sample.path);
    const PacketSummary &s = summaries[1];
    ASSERT_EQ(build_tree(s), 0) << last_error();
    const int32_t count = tree_count();
    ASSERT_GT(count, 0);

    const uint8_t *bytes = nullptr;
    EXPECT_EQ(gBuildPacketProtocolTree(nullptr, &bytes, s.frame_number, s.file_offset,
                                       static_cast<int32_t>(s.captured_length), s.packet_length, s.encapsulation),
              1);
    EXPECT_EQ(last_error().rfind("\"Build Packet Tree\" operation failed. ", 0), 0u) << last_error();
    EXPECT_EQ(bytes, nullptr);
    int32_t length = 9;
    EXPECT_EQ(gBuildPacketProtocolTree(&length, nullptr, s.frame_number, s.file_offset,
                                       static_cast<int32_t>(s.captured_length), s.packet_length, s.encapsulation),
              1);
    EXPECT_EQ(last_error().rfind("\"Build Packet Tree\" operation failed. ", 0), 0u) << last_error();
    EXPECT_EQ(length, 0);
    EXPECT_EQ(tree_count(), count);
    gCloseCapture();
    gCleanupEpan();
}

// -------------------------------------------------------- command-line host

TEST(TreeCommandLine, PrintsTheTreeOfOnePacketIndentedByDepth)
{
    sample_capture sample = write_sample("cli.pcap");
    const remove_on_exit cleanup{sample.path};
    // What the host prints: the same steps through the interface.
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    ASSERT_EQ(gOpenCapture(sample.path.c_str()), 0) << last_error();
    PacketSummary s;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(gGetNextPacket(&s), 0) << last_error();
    ASSERT_EQ(build_tree(s), 0) << last_error();
    std::string expected;
    for (const node_copy &n : copy_tree())
        expected += std::string(2 * n.depth, ' ') + n.record.label + " [" + std::to_string(n.record.start) + ", " +
                    std::to_string(n.record.length) + "]\n";
    gCloseCapture();
    gCleanupEpan();

    const std::string cli = WSB_CLI;
    std::string printed = run_command(cli + " tree '" + sample.path + "' 3 2>/dev/null");
    EXPECT_EQ(printed, expected);
    EXPECT_EQ(printed.rfind("Frame 3: ", 0), 0u);
    EXPECT_NE(printed.find("\nInternet Control Message Protocol [34, "), std::string::npos);
    EXPECT_NE(printed.find("\n  Type: 8 (Echo (ping) request) [34, 1]\n"), std::string::npos);

    auto status_of = [&](const std::string &arguments) {
        int status = system((cli + " tree " + arguments + " >/dev/null 2>&1").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(status_of("'" + sample.path + "' 13"), 2);  // beyond the last packet
    EXPECT_EQ(status_of("'" + sample.path + "' 0"), 2);
    EXPECT_EQ(status_of("'" + sample.path + "' three"), 2);
    EXPECT_EQ(status_of("/nonexistent/file.pcap 1"), 1);
    EXPECT_EQ(status_of("'" + sample.path + "'"), 2);  // usage
}
