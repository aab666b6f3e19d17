// SPDX-License-Identifier: GPL-2.0-or-later
// Random access by file offset through the public interface, on a capture
// built byte for byte: a packet re-read with the values of its summary, the
// running state of sequential reading left as it was, offsets from two
// gigabytes on, and offsets without a record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pcap_writer.h"
#include "test_support.h"
#include "tree_support.h"
#include "wsbridge.h"

using namespace wsbtree;

namespace {

const char two_gb_tree_message[] =
    "You can not access tree information for packets whose offset in the file exceeds 2GB.\n You have to split "
    "the capture in order to see such information.";
const char two_gb_packet_message[] =
    "You can not retrieve packet information if packet's offset in the original file exceeds 2GB.\nYou have to "
    "split the capture in order to do such operation.";

std::string read_error_text(const std::string &path, const std::string &reason)
{
    return "An error occurred while reading from the file \"" + path + "\": " + reason + ".";
}

}  // namespace

TEST(TreeRandomAccess, RereadsTheSamePacketWithTheValuesOfItsSummary)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    sample_capture sample = write_sample("reread.pcap");
    const remove_on_exit cleanup{sample.path};
    auto summaries = read_all(sample.path);
    ASSERT_EQ(summaries.size(), 12u);
    for (size_t i = 0; i < summaries.size(); ++i) {
        const PacketSummary &s = summaries[i];
        EXPECT_EQ(s.file_offset, static_cast<int64_t>(sample.writer.offset_of(i)));
        PacketSummary again;
        memset(&again, 0x5a, sizeof again);
        const PacketSummary untouched = again;
        ASSERT_EQ(gGetPacketAtOffset(&again, s.frame_number, s.file_offset, static_cast<int32_t>(s.captured_length),
                                     s.packet_length, s.encapsulation),
                  0)
            << last_error();
        EXPECT_EQ(again.frame_number, s.frame_number);
        EXPECT_EQ(again.packet_length, s.packet_length);
        EXPECT_EQ(again.captured_length, s.captured_length);
        EXPECT_EQ(again.file_offset, s.file_offset);
        EXPECT_EQ(again.port_type, s.port_type);
        EXPECT_EQ(again.source_port, s.source_port);
        EXPECT_EQ(again.destination_port, s.destination_port);
        EXPECT_EQ(again.source_address_type, s.source_address_type);
        EXPECT_EQ(again.destination_address_type, s.destination_address_type);
        EXPECT_STREQ(again.link_source_text, s.link_source_text);
        EXPECT_STREQ(again.link_destination_text, s.link_destination_text);
        EXPECT_STREQ(again.source_text, s.source_text);
        EXPECT_STREQ(again.destination_text, s.destination_text);
        // Written by sequential reading only: left as the host passed them.
        EXPECT_EQ(again.relative_time, untouched.relative_time);
        EXPECT_EQ(again.time_seconds, untouched.time_seconds);
        EXPECT_EQ(again.time_nanoseconds, untouched.time_nanoseconds);
        EXPECT_EQ(again.encapsulation, untouched.encapsulation);
        EXPECT_EQ(memcmp(again.protocol_text, untouched.protocol_text, sizeof again.protocol_text), 0);
        EXPECT_EQ(memcmp(again.info_text, untouched.info_text, sizeof again.info_text), 0);

        // No summary: succeeds and writes nothing.
        EXPECT_EQ(gGetPacketAtOffset(nullptr, s.frame_number, s.file_offset, static_cast<int32_t>(s.captured_length),
                                     s.packet_length, s.encapsulation),
                  0)
            << last_error();

        int32_t length = -5;
        const uint8_t *bytes = nullptr;
        ASSERT_EQ(build_tree(s, &length, &bytes), 0) << last_error();
        ASSERT_EQ(length, static_cast<int32_t>(s.captured_length));
        ASSERT_NE(bytes, nullptr);
        EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + length), stored_bytes(sample, i)) << "packet " << i + 1;
        auto nodes = copy_tree();
        ASSERT_FALSE(nodes.empty());
        EXPECT_EQ(std::string(nodes[0].record.label).rfind("Frame " + std::to_string(i + 1) + ": ", 0), 0u)
            << nodes[0].record.label;
        EXPECT_EQ(nodes[0].record.start, 0);
        EXPECT_EQ(nodes[0].record.length, length);
    }
    gCloseCapture();
    gCleanupEpan();
}

TEST(TreeRandomAccess, LeavesTheRunningStateOfSequentialReading)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    sample_capture sample = write_sample("running.pcap");
    const remove_on_exit cleanup{sample.path};
    ASSERT_EQ(gOpenCapture(sample.path.c_str()), 0) << last_error();
    std::vector<PacketSummary> summaries(10);
    for (auto &s : summaries)
        ASSERT_EQ(gGetNextPacket(&s), 0) << last_error();
    ASSERT_EQ(build_tree(summaries[4]), 0) << last_error();
    auto nodes = copy_tree();
    const node_copy *number = find_abbrev(nodes, "frame.number");
    ASSERT_NE(number, nullptr);
    EXPECT_STREQ(number->record.label, "Frame Number: 5");

    PacketSummary next;
    ASSERT_EQ(gGetNextPacket(&next), 0) << last_error();
    EXPECT_EQ(next.frame_number, 11u);
    EXPECT_EQ(next.file_offset, static_cast<int64_t>(sample.writer.offset_of(10)));
    // 10 s and 0.5 s after the first packet, in units of 100 ns.
    EXPECT_EQ(next.relative_time, 105000000);
    EXPECT_EQ(next.time_seconds, sample_first_second + 10);
    EXPECT_EQ(next.time_nanoseconds, 500000000);
    gCloseCapture();
    gCleanupEpan();
}

TEST(TreeRandomAccess, RefusesOffsetsFromTwoGigabytesOn)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    sample_capture sample = write_sample("bound.pcap");
    const remove_on_exit cleanup{sample.path};
    auto summaries = read_all(sample.path);
    const PacketSummary &s = summaries[0];
    const int32_t caplen = static_cast<int32_t>(s.captured_length);

    // Just below the bound: the read itself fails (the file is small).
    int32_t length = 7;
    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&length);
    ASSERT_EQ(build_tree(s), 0) << last_error();
    EXPECT_EQ(gBuildPacketProtocolTree(&length, &bytes, 1, 2147483646, caplen, s.packet_length, s.encapsulation), 1);
    EXPECT_EQ(last_error(), read_error_text(sample.path, "Less data was read than was expected"));
    EXPECT_EQ(length, 0);
    EXPECT_EQ(bytes, reinterpret_cast<const uint8_t *>(&length));
    EXPECT_EQ(gGetPacketAtOffset(nullptr, 1, 2147483646, caplen, s.packet_length, s.encapsulation), 1);
    EXPECT_EQ(last_error(), read_error_text(sample.path, "Less data was read than was expected"));

    for (int64_t offset : {int64_t(2147483647), int64_t(2147483648), int64_t(1) << 40}) {
        ASSERT_EQ(build_tree(s), 0) << last_error();
        length = 7;
        EXPECT_EQ(gBuildPacketProtocolTree(&length, &bytes, 1, offset, caplen, s.packet_length, s.encapsulation), 1);
        EXPECT_EQ(last_error(), two_gb_tree_message);
        EXPECT_EQ(length, 0);
        // The earlier tree was freed before the bound was tested.
        int32_t count = -1;
        EXPECT_EQ(gGetProtocolTreeNodesCount(&count), 1);
        EXPECT_EQ(last_error(), not_created_message);
        EXPECT_EQ(count, -1);

        EXPECT_EQ(gGetPacketAtOffset(nullptr, 1, offset, caplen, s.packet_length, s.encapsulation), 1);
        EXPECT_EQ(last_error(), two_gb_packet_message);
    }
    gCloseCapture();
    gCleanupEpan();
}

TEST(TreeRandomAccess, ReportsOffsetsWithoutARecordAsReadErrors)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    sample_capture sample = write_sample("offsets.pcap");
    const remove_on_exit cleanup{sample.path};
    auto summaries = read_all(sample.path);
    const PacketSummary &s = summaries[0];
    const int32_t caplen = static_cast<int32_t>(s.captured_length);

    // -1 passes the bound and fails at the read.
    int32_t length = 7;
    const uint8_t *bytes = nullptr;
    EXPECT_EQ(gBuildPacketProtocolTree(&length, &bytes, 1, -1, caplen, s.packet_length, s.encapsulation), 1);
    const std::string negative = read_error_text(sample.path, "Invalid argument");
    EXPECT_EQ(last_error(), negative);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(bytes, nullptr);
    EXPECT_EQ(gGetPacketAtOffset(nullptr, 1, -1, caplen, s.packet_length, s.encapsulation), 1);
    EXPECT_EQ(last_error(), negative);

    // An offset inside a record: its bytes are taken as a record header whose
    // length field reads 08 00 45 00 (the EtherType and the IPv4 version and
    // header length), far more than a packet may hold.
    const int64_t wrong = s.file_offset + 20;
    length = 7;
    EXPECT_EQ(gBuildPacketProtocolTree(&length, &bytes, 1, wrong, caplen, s.packet_length, s.encapsulation), 1);
    const std::string wrong_text =
        read_error_text(sample.path, "The file appears to be damaged or corrupt") +
        "\n(pcap: File has 4521992-byte packet, bigger than maximum of 262144)";
    EXPECT_EQ(last_error(), wrong_text);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(gGetPacketAtOffset(nullptr, 1, wrong, caplen, s.packet_length, s.encapsulation), 1);
    EXPECT_EQ(last_error(), wrong_text);

    // Reading by offset still works afterwards.
    EXPECT_EQ(build_tree(s, &length, &bytes), 0) << last_error();
    EXPECT_EQ(length, caplen);
    gCloseCapture();
    gCleanupEpan();
}

