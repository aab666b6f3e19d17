/* SPDX-License-Identifier: GPL-2.0-or-later */
// What the save tests share: a classic pcap file read back byte for byte,
// reading a capture whole and saving one packet of it through the public
// interface, and the fixture that starts the engine and gives each test a
// temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "locator.h"
#include "test_support.h"
#include "wsbridge.h"

namespace wsbsave {

using wsbtest::request_of;
using wsbtest::temp_dir;

inline const char save_closed[] = "Error saving packet. The file to save the packet is already closed.";

inline std::string last_error()
{
    return gGetLastError();
}

// ---- reading classic pcap files byte for byte -------------------------------

struct pcap_record {
    uint32_t seconds;
    uint32_t nanoseconds;  // the fraction, scaled to nanoseconds
    uint32_t included;
    uint32_t original;
    std::vector<uint8_t> data;
};

struct pcap_image {
    bool valid = false;
    bool nanosecond_file = false;
    bool little_endian = true;
    uint32_t snaplen = 0;
    uint32_t linktype = 0;
    std::vector<pcap_record> records;
};

// Reads a classic pcap file of either byte order and precision. Stops at a
// record that is cut short.
inline pcap_image read_pcap(const std::string &path)
{
    pcap_image image;
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < 24)
        return image;
    auto u32 = [&](size_t at) {
        uint32_t b0 = bytes[at], b1 = bytes[at + 1], b2 = bytes[at + 2], b3 = bytes[at + 3];
        return image.little_endian ? (b3 << 24 | b2 << 16 | b1 << 8 | b0) : (b0 << 24 | b1 << 16 | b2 << 8 | b3);
    };
    uint32_t magic = u32(0);
    if (magic == 0xa1b2c3d4 || magic == 0xa1b23c4d) {
        image.little_endian = true;
    } else {
        image.little_endian = false;
        magic = u32(0);
        if (magic != 0xa1b2c3d4 && magic != 0xa1b23c4d)
            return image;
    }
    image.nanosecond_file = magic == 0xa1b23c4d;
    image.snaplen = u32(16);
    image.linktype = u32(20);
    size_t at = 24;
    while (at + 16 <= bytes.size()) {
        pcap_record record;
        record.seconds = u32(at);
        record.nanoseconds = image.nanosecond_file ? u32(at + 4) : u32(at + 4) * 1000;
        record.included = u32(at + 8);
        record.original = u32(at + 12);
        at += 16;
        if (record.included > bytes.size() - at)
            break;
        record.data.assign(bytes.begin() + at, bytes.begin() + at + record.included);
        at += record.included;
        image.records.push_back(std::move(record));
    }
    image.valid = true;
    return image;
}

inline void expect_same_record(const pcap_record &saved, const pcap_record &original, const std::string &what)
{
    SCOPED_TRACE(what);
    EXPECT_EQ(saved.seconds, original.seconds);
    EXPECT_EQ(saved.nanoseconds, original.nanoseconds);
    EXPECT_EQ(saved.included, original.included);
    EXPECT_EQ(saved.original, original.original);
    EXPECT_TRUE(saved.data == original.data);
}

// ---- driving the library ----------------------------------------------------

// Opens a capture and reads it to its end; the capture stays open.
inline std::vector<PacketSummary> open_and_read(const std::string &path, int32_t *end_status = nullptr)
{
    std::vector<PacketSummary> packets;
    if (gOpenCapture(path.c_str()) != 0) {
        ADD_FAILURE() << path << ": " << last_error();
        return packets;
    }
    PacketSummary summary;
    int32_t status;
    while ((status = gGetNextPacket(&summary)) == 0)
        packets.push_back(summary);
    if (end_status)
        *end_status = status;
    else
        EXPECT_EQ(status, 2) << path << ": " << last_error();
    return packets;
}

// Saves one packet; returns the skipped flag, or -1 after a failure.
inline int save(const PacketSummary &packet, bool skip = false)
{
    SavePacketRequest request = request_of(packet, skip);
    uint8_t skipped = 7;
    if (gSavePacketToCaptureFile(&skipped, &request) != 0) {
        ADD_FAILURE() << "saving frame " << packet.frame_number << ": " << last_error();
        return -1;
    }
    return skipped;
}

class SaveTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(gInitEpan(), 0) << last_error(); }
    temp_dir dir;
};

}  // namespace wsbsave
