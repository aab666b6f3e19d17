// SPDX-License-Identifier: GPL-2.0-or-later
// Saving chosen packets into a new libpcap file: round trips of the shared
// captures, chosen subsets, the values a request carries, the messages, and
// the TCP sequence tracker behind the skip flag.
#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "locator.h"
#include "pcap_writer.h"
#include "test_support.h"
#include "wsbridge.h"

using namespace wsbtest;

namespace {

const char not_initialized[] = "\" operation failed. Wireshark engine is not initialized yet.";
const char uninitialized[] = "\" operation failed. Wireshark engine was already uninitialized.";
const char no_capture[] = "\" operation failed. A capture file needs to be opened in order to perform this operation.";
const char save_closed[] = "Error saving packet. The file to save the packet is already closed.";
const char close_closed[] = "Error closing file. The file is already closed.";
const char beyond_2gb[] =
    "You can not save a packet if its offset in the original file exceeds 2GB.\n"
    "You have to split the capture in order to do such operation.";

std::string guard_message(const char *operation, const char *tail)
{
    return std::string("\"") + operation + tail;
}

std::string last_error()
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
pcap_image read_pcap(const std::string &path)
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

void expect_same_record(const pcap_record &saved, const pcap_record &original, const std::string &what)
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
std::vector<PacketSummary> open_and_read(const std::string &path, int32_t *end_status = nullptr)
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
int save(const PacketSummary &packet, bool skip = false)
{
    SavePacketRequest request = request_of(packet, skip);
    uint8_t skipped = 7;
    if (gSavePacketToCaptureFile(&skipped, &request) != 0) {
        ADD_FAILURE() << "saving frame " << packet.frame_number << ": " << last_error();
        return -1;
    }
    return skipped;
}

// Saves the given frames (1-based) of the open capture into path.
void save_frames(const std::vector<PacketSummary> &packets, const std::vector<size_t> &frames, const std::string &path)
{
    ASSERT_EQ(gCreateCaptureFileForSave(path.c_str()), 0) << last_error();
    for (size_t frame : frames)
        EXPECT_EQ(save(packets.at(frame - 1)), 0);
    ASSERT_EQ(gCloseCaptureFileForSave(), 0) << last_error();
}

void expect_same_summary(const PacketSummary &saved, const PacketSummary &original)
{
    SCOPED_TRACE("frame " + std::to_string(original.frame_number));
    EXPECT_EQ(saved.frame_number, original.frame_number);
    EXPECT_EQ(saved.packet_length, original.packet_length);
    EXPECT_EQ(saved.captured_length, original.captured_length);
    EXPECT_EQ(saved.file_offset, original.file_offset);
    EXPECT_EQ(saved.time_seconds, original.time_seconds);
    EXPECT_EQ(saved.time_nanoseconds, original.time_nanoseconds);
    EXPECT_EQ(saved.encapsulation, original.encapsulation);
    EXPECT_STREQ(saved.protocol_text, original.protocol_text);
    EXPECT_STREQ(saved.info_text, original.info_text);
    EXPECT_STREQ(saved.source_text, original.source_text);
    EXPECT_STREQ(saved.destination_text, original.destination_text);
}

class SaveTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(gInitEpan(), 0) << last_error(); }
    temp_dir dir;
};

// ---- whole captures -----------------------------------------------------------

TEST_F(SaveTest, EveryPacketOfEachSharedPcapCaptureComesBackUnchanged)
{
    size_t captures = 0;
    for (const std::string &name : shared_capture_names()) {
        if (name.size() < 5 || name.substr(name.size() - 5) != ".pcap")
            continue;
        SCOPED_TRACE(name);
        const std::string path = shared_capture(name);
        const std::string out = dir.file(name);
        pcap_image original = read_pcap(path);
        ASSERT_TRUE(original.valid);

        std::vector<PacketSummary> packets = open_and_read(path);
        ASSERT_EQ(packets.size(), original.records.size());
        std::vector<size_t> all;
        for (size_t i = 1; i <= packets.size(); ++i)
            all.push_back(i);
        save_frames(packets, all, out);
        ASSERT_EQ(gCloseCapture(), 0);

        pcap_image saved = read_pcap(out);
        ASSERT_TRUE(saved.valid);
        // The link type proper is the low 16 bits; wiretap drops flag bits
        // above them (aarp-heapoverflow-1.pcap has some).
        EXPECT_EQ(saved.linktype, original.linktype & 0xffff);
        EXPECT_EQ(saved.snaplen, original.snaplen);
        ASSERT_EQ(saved.records.size(), original.records.size());
        for (size_t i = 0; i < saved.records.size(); ++i)
            expect_same_record(saved.records[i], original.records[i], "record " + std::to_string(i + 1));
        if (original.little_endian && !original.nanosecond_file && original.linktype == saved.linktype) {
            // Same byte order and precision: the files are identical.
            std::ifstream a(path, std::ios::binary), b(out, std::ios::binary);
            std::string left((std::istreambuf_iterator<char>(a)), {}), right((std::istreambuf_iterator<char>(b)), {});
            EXPECT_TRUE(left == right);
        }

        std::vector<PacketSummary> again = open_and_read(out);
        ASSERT_EQ(again.size(), packets.size());
        for (size_t i = 0; i < again.size(); ++i)
            expect_same_summary(again[i], packets[i]);
        ASSERT_EQ(gCloseCapture(), 0);
        ++captures;
    }
    EXPECT_GT(captures, 30u);
}

// tshark's view of each packet: time stamp to the nanosecond, lengths.
std::vector<std::string> tshark_frames(const std::string &path)
{
    int status = -1;
    std::string output = run_command("tshark -n -r " + shell_quote(path) +
                                         " -T fields -e frame.time_epoch -e frame.len -e frame.cap_len 2>/dev/null",
                                     &status);
    EXPECT_EQ(status, 0) << path;
    return lines_of(output);
}

// Saves every packet of the open capture (read into `packets`) into a new
// file of `format`; returns the format the library chose.
int32_t save_all_in_format(const std::vector<PacketSummary> &packets, const std::string &path, int32_t format)
{
    int32_t chosen = -1;
    EXPECT_EQ(gCreateCaptureFileForSaveInFormat(path.c_str(), format), 0) << last_error();
    EXPECT_EQ(gGetSaveFileFormat(&chosen), 0) << last_error();
    for (const PacketSummary &packet : packets)
        EXPECT_EQ(save(packet), 0);
    EXPECT_EQ(gCloseCaptureFileForSave(), 0) << last_error();
    return chosen;
}

// What a capture file holds besides its records, as the engine's capinfos
// reports it: the file's comment, link types, interfaces and decryption
// secrets. (Interface statistics are left out: the engine's converter drops
// them where a save keeps them.)
std::string file_contents_of(const std::string &path)
{
    return run_command("capinfos -M -k -I -D -E -c " + shell_quote(path) +
                       " 2>&1 | tail -n +2 | grep -v 'Number of stat entries'");
}

// Each record's stamp, lengths, link type, interface and comments, as tshark
// reads them.
std::string record_contents_of(const std::string &path)
{
    return run_command("tshark -n -r " + shell_quote(path) +
                       " -T fields -E occurrence=a -e frame.time_epoch -e frame.len -e frame.cap_len"
                       " -e frame.encap_type -e frame.interface_id -e frame.interface_name"
                       " -e frame.interface_description -e frame.comment 2>/dev/null");
}

TEST_F(SaveTest, PcapngCapturesBecomePcapFilesWithTheSamePackets)
{
    // Microsecond captures become microsecond libpcap files; nanosecond
    // captures the nanosecond variant, so that no stamp is cut.
    for (auto [name, editcap_format] : {std::pair{"OSPFv2_Capture_FINAL.pcapng", "pcap"},
                                        std::pair{"icmp-length-zero.pcapng", "nsecpcap"},
                                        std::pair{"of13_ericsson.pcapng", "pcap"}}) {
        SCOPED_TRACE(name);
        const std::string path = shared_capture(name);
        const std::string out = dir.file(std::string(name) + ".pcap");
        std::vector<PacketSummary> packets = open_and_read(path);
        ASSERT_FALSE(packets.empty());
        std::vector<size_t> all;
        for (size_t i = 1; i <= packets.size(); ++i)
            all.push_back(i);
        save_frames(packets, all, out);
        ASSERT_EQ(gCloseCapture(), 0);

        std::vector<std::string> expected = tshark_frames(path);
        EXPECT_EQ(expected.size(), packets.size());
        EXPECT_EQ(tshark_frames(out), expected);

        // The engine's own converter writes the same records.
        const std::string converted = dir.file(std::string(name) + ".editcap.pcap");
        int status = -1;
        run_command(std::string("editcap -F ") + editcap_format + " " + shell_quote(path) + " " +
                        shell_quote(converted) + " 2>&1",
                    &status);
        ASSERT_EQ(status, 0);
        pcap_image reference = read_pcap(converted), saved = read_pcap(out);
        ASSERT_TRUE(saved.valid);
        EXPECT_EQ(saved.nanosecond_file, reference.nanosecond_file);
        EXPECT_EQ(saved.linktype, reference.linktype);
        ASSERT_EQ(saved.records.size(), reference.records.size());
        for (size_t i = 0; i < saved.records.size(); ++i)
            expect_same_record(saved.records[i], reference.records[i], "record " + std::to_string(i + 1));

        std::vector<PacketSummary> again = open_and_read(out);
        ASSERT_EQ(again.size(), packets.size());
        for (size_t i = 0; i < again.size(); ++i) {
            EXPECT_EQ(again[i].time_seconds, packets[i].time_seconds);
            EXPECT_EQ(again[i].time_nanoseconds, packets[i].time_nanoseconds);
            EXPECT_EQ(again[i].captured_length, packets[i].captured_length);
            EXPECT_EQ(again[i].packet_length, packets[i].packet_length);
            EXPECT_STREQ(again[i].info_text, packets[i].info_text);
        }
        ASSERT_EQ(gCloseCapture(), 0);
    }
}

// Saved as pcapng, every capture keeps what the engine's converter keeps
// (editcap -F pcapng): stamps to the nanosecond, lengths, link types,
// interfaces with their names and descriptions, packet and file comments.
// Saved in the capture's own format, nothing is lost either.
TEST_F(SaveTest, EveryCaptureSavedAsPcapngKeepsWhatEditcapKeeps)
{
    std::vector<std::string> paths;
    for (const std::string &name : shared_capture_names())
        paths.push_back(shared_capture(name));
    // A nanosecond libpcap capture, made by the engine's converter.
    const std::string nanosecond = dir.file("nanosecond.pcap");
    int status = -1;
    run_command("editcap -F nsecpcap " + shell_quote(shared_capture("icmp-length-zero.pcapng")) + " " +
                    shell_quote(nanosecond) + " 2>&1",
                &status);
    ASSERT_EQ(status, 0);
    paths.push_back(nanosecond);

    size_t with_comments = 0;
    for (const std::string &path : paths) {
        SCOPED_TRACE(path);
        const std::string saved = dir.file("saved.pcapng"), own = dir.file("own"), reference = dir.file("ref.pcapng");
        std::vector<PacketSummary> packets = open_and_read(path);
        ASSERT_FALSE(packets.empty());
        EXPECT_EQ(save_all_in_format(packets, saved, WSB_SAVE_FORMAT_PCAPNG), WSB_SAVE_FORMAT_PCAPNG);
        const int32_t own_format = save_all_in_format(packets, own, WSB_SAVE_FORMAT_AS_CAPTURE);
        ASSERT_EQ(gCloseCapture(), 0);
        int status = -1;
        run_command("editcap -F pcapng " + shell_quote(path) + " " + shell_quote(reference) + " 2>&1", &status);
        ASSERT_EQ(status, 0);

        // Every record read back as the converter's copy reads.
        std::vector<PacketSummary> expected = open_and_read(reference);
        ASSERT_EQ(gCloseCapture(), 0);
        for (const std::string &file : {saved, own}) {
            std::vector<PacketSummary> again = open_and_read(file);
            ASSERT_EQ(gCloseCapture(), 0);
            ASSERT_EQ(again.size(), expected.size());
            for (size_t i = 0; i < again.size(); ++i) {
                SCOPED_TRACE(file + " frame " + std::to_string(i + 1));
                EXPECT_EQ(again[i].time_seconds, expected[i].time_seconds);
                EXPECT_EQ(again[i].time_nanoseconds, expected[i].time_nanoseconds);
                EXPECT_EQ(again[i].packet_length, expected[i].packet_length);
                EXPECT_EQ(again[i].captured_length, expected[i].captured_length);
                EXPECT_EQ(again[i].encapsulation, expected[i].encapsulation);
                EXPECT_STREQ(again[i].info_text, expected[i].info_text);
            }
        }
        const std::string name = std::filesystem::path(path).filename();
        const bool pcapng = name.size() > 7 && name.substr(name.size() - 7) == ".pcapng";
        EXPECT_EQ(own_format, pcapng ? WSB_SAVE_FORMAT_PCAPNG
                              : path == nanosecond ? WSB_SAVE_FORMAT_PCAP_NSEC
                                                   : WSB_SAVE_FORMAT_PCAP);
        // The file's own blocks, and per packet what only pcapng holds.
        const std::string file_expected = file_contents_of(reference);
        EXPECT_EQ(file_contents_of(saved), file_expected);
        if (pcapng) {
            EXPECT_EQ(file_contents_of(own), file_expected);
            const std::string records = record_contents_of(reference);
            EXPECT_EQ(record_contents_of(saved), records);
            if (records.find("Packet #") != std::string::npos)
                ++with_comments;
        }
    }
    EXPECT_GE(with_comments, 1u);  // pcapng-example.pcapng comments its packets
}

TEST_F(SaveTest, AnUnknownSaveFormatIsRefused)
{
    std::vector<PacketSummary> packets = open_and_read(shared_capture("dns_udp.pcap"));
    const std::string out = dir.file("never.pcap");
    for (int32_t format : {-1, 4, INT32_MAX}) {
        EXPECT_EQ(gCreateCaptureFileForSaveInFormat(out.c_str(), format), 1);
        EXPECT_NE(last_error().find("is not a save file format"), std::string::npos) << last_error();
    }
    EXPECT_FALSE(std::filesystem::exists(out));
    int32_t format = 7;
    EXPECT_EQ(gGetSaveFileFormat(&format), 1);
    EXPECT_EQ(format, 7);
}

// Apple PKTAP: each packet wraps one of another link type, and the engine's
// dissector of the wrapper rewrites the record's link type to the inner one
// while it dissects. The packets keep the file's link type and save as the
// engine's converter writes them.
TEST_F(SaveTest, PktapPacketsKeepTheFilesLinkTypeAndSave)
{
    const uint32_t linktype_pktap = 258;
    const int32_t wtap_encap_pktap = 171;
    pcapw::PcapWriter writer(linktype_pktap);
    for (uint16_t i = 0; i < 3; ++i) {
        pcapw::Bytes header;  // 108 bytes, little-endian: length, record type 1 (packet), inner link type 1
        for (uint32_t value : {108u, 1u, 1u})
            pcapw::put32le(header, value);
        const std::string interface_name = "en0";
        header.insert(header.end(), interface_name.begin(), interface_name.end());
        header.resize(108, 0);
        pcapw::append(header, pcapw::eth_ipv4_udp(pcapw::mac("00:1a:2b:3c:4d:5e"), pcapw::mac("a4:5e:60:44:55:66"),
                                                  pcapw::ip4("192.168.1.5"), pcapw::ip4("192.168.1.1"),
                                                  uint16_t(5000 + i), 6000, pcapw::to_bytes("hi there")));
        writer.add(1000 + i, 0, header);
    }
    const std::string path = dir.file("pktap.pcap"), out = dir.file("saved.pcap");
    writer.write(path);

    std::vector<PacketSummary> packets = open_and_read(path);
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0].encapsulation, wtap_encap_pktap);
    EXPECT_STREQ(packets[0].protocol_text, "UDP");
    save_frames(packets, {1, 2, 3}, out);
    ASSERT_EQ(gCloseCapture(), 0);

    const std::string converted = dir.file("editcap.pcap");
    int status = -1;
    run_command("editcap -F pcap " + shell_quote(path) + " " + shell_quote(converted) + " 2>&1", &status);
    ASSERT_EQ(status, 0);
    std::ifstream a(converted, std::ios::binary), b(out, std::ios::binary);
    std::string reference((std::istreambuf_iterator<char>(a)), {}), saved((std::istreambuf_iterator<char>(b)), {});
    EXPECT_TRUE(saved == reference);
    EXPECT_EQ(read_pcap(out).linktype, linktype_pktap);
}

TEST_F(SaveTest, PacketsOfSeveralLinkTypesCannotBeSavedAsPcap)
{
    const std::string out = dir.file("mixed.pcap");
    std::vector<PacketSummary> packets = open_and_read(shared_capture("pcapng-example.pcapng"));
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(gCreateCaptureFileForSave(out.c_str()), 1);
    EXPECT_EQ(last_error(), "Cannot save this capture in that format.");
    EXPECT_FALSE(std::filesystem::exists(out));
    uint8_t skipped = 1;
    SavePacketRequest request = request_of(packets[0]);
    EXPECT_EQ(gSavePacketToCaptureFile(&skipped, &request), 1);
    EXPECT_EQ(last_error(), save_closed);
}

TEST_F(SaveTest, LinkTypeComesFromTheFileBeforeReadingReachesTheEnd)
{
    const std::string path = shared_capture("one_ipv6_http_stream.pcap");  // raw IP, not Ethernet
    const std::string out = dir.file("early.pcap");
    pcap_image original = read_pcap(path);
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    std::vector<PacketSummary> packets(3);
    for (PacketSummary &packet : packets)
        ASSERT_EQ(gGetNextPacket(&packet), 0) << last_error();
    save_frames(packets, {3, 1}, out);
    pcap_image saved = read_pcap(out);
    EXPECT_EQ(saved.linktype, original.linktype);
    ASSERT_EQ(saved.records.size(), 2u);
    expect_same_record(saved.records[0], original.records[2], "frame 3");
    expect_same_record(saved.records[1], original.records[0], "frame 1");
    // Reading goes on where it was.
    PacketSummary next;
    ASSERT_EQ(gGetNextPacket(&next), 0);
    EXPECT_EQ(next.frame_number, 4u);
}

// ---- choosing packets ---------------------------------------------------------

TEST_F(SaveTest, ChosenPacketsComeOutInTheOrderSaved)
{
    const std::string path = shared_capture("dns_tcp.pcap");
    pcap_image original = read_pcap(path);
    std::vector<PacketSummary> packets = open_and_read(path);
    ASSERT_EQ(packets.size(), original.records.size());
    const size_t last = packets.size();
    const std::vector<size_t> frames = {last, 1, 5, 3, 3, 2, last};

    const std::string out = dir.file("chosen.pcap");
    ASSERT_EQ(gCreateCaptureFileForSave(out.c_str()), 0) << last_error();
    for (size_t frame : frames) {
        // Other dissections in between change nothing.
        const PacketSummary &other = packets[(frame + 2) % packets.size()];
        ASSERT_EQ(gGetPacketAtOffset(nullptr, other.frame_number, other.file_offset,
                                     static_cast<int32_t>(other.captured_length), other.packet_length,
                                     other.encapsulation),
                  0);
        EXPECT_EQ(save(packets[frame - 1]), 0);
    }
    ASSERT_EQ(gCloseCaptureFileForSave(), 0) << last_error();

    pcap_image saved = read_pcap(out);
    ASSERT_EQ(saved.records.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i)
        expect_same_record(saved.records[i], original.records[frames[i] - 1], "frame " + std::to_string(frames[i]));
}

// Nothing can complete a save file after the engine is shut down, so the
// shutdown completes it: the packets saved so far are not lost.
TEST_F(SaveTest, ShuttingDownCompletesAnOpenSaveFile)
{
    const std::string path = shared_capture("dns_tcp.pcap");
    pcap_image original = read_pcap(path);
    std::vector<PacketSummary> packets = open_and_read(path);
    const std::string out = dir.file("unclosed.pcap");
    ASSERT_EQ(gCreateCaptureFileForSave(out.c_str()), 0) << last_error();
    for (const PacketSummary &packet : packets)
        ASSERT_EQ(save(packet), 0) << last_error();
    ASSERT_EQ(gCleanupEpan(), 0) << last_error();
    pcap_image saved = read_pcap(out);
    ASSERT_EQ(saved.records.size(), original.records.size());
    for (size_t i = 0; i < saved.records.size(); ++i)
        expect_same_record(saved.records[i], original.records[i], "frame " + std::to_string(i + 1));
    EXPECT_EQ(gCloseCaptureFileForSave(), 1);
}

TEST_F(SaveTest, TheRequestsTimeAndLengthsAreWrittenWithTheCapturesBytes)
{
    // A nanosecond capture: the saved file is the nanosecond variant and
    // keeps every digit.
    pcapw::PcapWriter writer(pcapw::LINKTYPE_ETHERNET, 65535, pcapw::MAGIC_NSEC);
    const auto a = pcapw::ip4("192.0.2.1"), b = pcapw::ip4("192.0.2.2");
    const auto mac_a = pcapw::mac("02:00:00:00:00:0a"), mac_b = pcapw::mac("02:00:00:00:00:0b");
    writer.add(1700000000, 123456789,
               pcapw::eth_ipv4_udp(mac_b, mac_a, a, b, 4000, 53, pcapw::to_bytes("first datagram")));
    writer.add(1700000001, 999999999,
               pcapw::eth_ipv4_udp(mac_a, mac_b, b, a, 53, 4000, pcapw::to_bytes("second datagram")));
    const std::string path = dir.file("nanoseconds.pcap");
    writer.write(path);

    std::vector<PacketSummary> packets = open_and_read(path);
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].time_nanoseconds, 123456789);
    const std::string out = dir.file("values.pcap");
    ASSERT_EQ(gCreateCaptureFileForSave(out.c_str()), 0) << last_error();
    EXPECT_EQ(save(packets[0]), 0);

    SavePacketRequest request = request_of(packets[1]);
    request.time_seconds = 1234567890;
    request.time_nanoseconds = 987654321;
    request.packet_length = packets[1].packet_length + 1000;
    request.captured_length = 20;
    uint8_t skipped = 9;
    ASSERT_EQ(gSavePacketToCaptureFile(&skipped, &request), 0) << last_error();
    EXPECT_EQ(skipped, 0);
    ASSERT_EQ(gCloseCaptureFileForSave(), 0) << last_error();

    pcap_image saved = read_pcap(out);
    EXPECT_TRUE(saved.nanosecond_file);
    ASSERT_EQ(saved.records.size(), 2u);
    EXPECT_EQ(saved.records[0].seconds, 1700000000u);
    EXPECT_EQ(saved.records[0].nanoseconds, 123456789u);
    EXPECT_TRUE(saved.records[0].data == writer.records()[0].data);
    EXPECT_EQ(saved.records[1].seconds, 1234567890u);
    EXPECT_EQ(saved.records[1].nanoseconds, 987654321u);
    EXPECT_EQ(saved.records[1].included, 20u);
    EXPECT_EQ(saved.records[1].original, packets[1].packet_length + 1000);
    const std::vector<uint8_t> &bytes = writer.records()[1].data;
    EXPECT_TRUE(saved.records[1].data == std::vector<uint8_t>(bytes.begin(), bytes.begin() + 20));
}

TEST_F(SaveTest, MoreCapturedBytesThanTheRecordHoldsAreRefused)
{
    const std::string path = shared_capture("dns_udp.pcap");
    std::vector<PacketSummary> packets = open_and_read(path);
    ASSERT_EQ(packets.size(), 2u);
    const std::string out = dir.file("refused.pcap");
    ASSERT_EQ(gCreateCaptureFileForSave(out.c_str()), 0) << last_error();

    uint8_t skipped = 1;
    SavePacketRequest request = request_of(packets[0]);
    request.captured_length = packets[0].captured_length + 1;
    EXPECT_EQ(gSavePacketToCaptureFile(&skipped, &request), 1);
    EXPECT_EQ(skipped, 0);
    EXPECT_EQ(last_error(), "The packet at offset 24 of the file \"" + path + "\" holds " +
                                std::to_string(packets[0].captured_length) + " captured bytes, fewer than the " +
                                std::to_string(request.captured_length) + " asked for.");

    request.captured_length = 0x80000000u;
    EXPECT_EQ(gSavePacketToCaptureFile(&skipped, &request), 1);
    EXPECT_EQ(last_error(), "The packet at offset 24 of the file \"" + path +
                                "\" holds fewer captured bytes than the 2147483648 asked for.");

    // The save file is still usable.
    EXPECT_EQ(save(packets[1]), 0);
    ASSERT_EQ(gCloseCaptureFileForSave(), 0) << last_error();
    pcap_image saved = read_pcap(out);
    ASSERT_EQ(saved.records.size(), 1u);
    expect_same_record(saved.records[0], read_pcap(path).records[1], "frame 2");
}

// ---- messages -----------------------------------------------------------------

TEST_F(SaveTest, SavingAndClosingWithoutAnOpenSaveFile)
{
    std::vector<PacketSummary> packets = open_and_read(shared_capture("dns_udp.pcap"));
    ASSERT_EQ(packets.size(), 2u);
    SavePacketRequest request = request_of(packets[0]);
    uint8_t skipped = 5;

    EXPECT_EQ(gSavePacketToCaptureFile(&skipped, &request), 1);
    EXPECT_EQ(skipped, 0);
    EXPECT_EQ(last_error(), save_closed);
    EXPECT_EQ(gCloseCaptureFileForSave(), 1);
    EXPECT_EQ(last_error(), close_closed);

    const std::string out = dir.file("once.pcap");
    ASSERT_EQ(gCreateCaptureFileForSave(out.c_str()), 0) << last_error();
    EXPECT_EQ(save(packets[0]), 0);
    ASSERT_EQ(gCloseCaptureFileForSave(), 0) << last_error();

    skipped = 5;
    EXPECT_EQ(gSavePacketToCaptureFile(&skipped, &request), 1);
    EXPECT_EQ(skipped, 0);
    EXPECT_EQ(last_error(), save_closed);
    EXPECT_EQ(gCloseCaptureFileForSave(), 1);
    EXPECT_EQ(last_error(), close_closed);
    EXPECT_EQ(read_pcap(out).records.size(), 1u);
}

TEST_F(SaveTest, ASecondSaveFileIsRefusedWhileOneIsOpen)
{
    const std::string path = shared_capture("dns_udp.pcap");
    std::vector<PacketSummary> packets = open_and_read(path);
    ASSERT_EQ(packets.size(), 2u);
    const std::string first = dir.file("first.pcap"), second = dir.file("second.pcap");
    ASSERT_EQ(gCreateCaptureFileForSave(first.c_str()), 0) << last_error();
    EXPECT_EQ(save(packets[0]), 0);

    EXPECT_EQ(gCreateCaptureFileForSave(second.c_str()), 1);
    EXPECT_EQ(last_error(), "\"Create Capture File\" operation failed. The file \"" + first +
                                "\" is still open for saving; close it before creating another one.");
    EXPECT_FALSE(std::filesystem::exists(second));

    // The first file goes on and is completed by its own close.
    EXPECT_EQ(save(packets[1]), 0);
    ASSERT_EQ(gCloseCaptureFileForSave(), 0) << last_error();
    pcap_image original = read_pcap(path), saved = read_pcap(first);
    ASSERT_EQ(saved.records.size(), 2u);
    expect_same_record(saved.records[0], original.records[0], "frame 1");
    expect_same_record(saved.records[1], original.records[1], "frame 2");

    ASSERT_EQ(gCreateCaptureFileForSave(second.c_str()), 0) << last_error();
    ASSERT_EQ(gCloseCaptureFileForSave(), 0) << last_error();
    EXPECT_TRUE(read_pcap(second).valid);
}

TEST_F(SaveTest, OffsetsFrom2GBOnAreRefused)
{
    const std::string path = shared_capture("dns_udp.pcap");
    std::vector<PacketSummary> packets = open_and_read(path);
    ASSERT_EQ(packets.size(), 2u);
    const std::string out = dir.file("bound.pcap");
    ASSERT_EQ(gCreateCaptureFileForSave(out.c_str()), 0) << last_error();

    uint8_t skipped = 1;
    SavePacketRequest request = request_of(packets[0]);
    for (int64_t offset : {int64_t{2147483647}, int64_t{2147483648}, INT64_MAX}) {
        request.file_offset = offset;
        EXPECT_EQ(gSavePacketToCaptureFile(&skipped, &request), 1);
        EXPECT_EQ(last_error(), beyond_2gb) << offset;
    }
    // One below passes the size rule (and then cannot be read); so does a
    // negative offset.
    for (int64_t offset : {int64_t{2147483646}, int64_t{-1}}) {
        request.file_offset = offset;
        EXPECT_EQ(gSavePacketToCaptureFile(&skipped, &request), 1);
        EXPECT_NE(last_error(), beyond_2gb) << offset;
        EXPECT_FALSE(last_error().empty());
    }
    EXPECT_EQ(save(packets[1]), 0);
    ASSERT_EQ(gCloseCaptureFileForSave(), 0) << last_error();
    EXPECT_EQ(read_pcap(out).records.size(), 1u);
}

TEST_F(SaveTest, AFileThatCannotBeCreated)
{
    std::vector<PacketSummary> packets = open_and_read(shared_capture("dns_udp.pcap"));
    const std::string out = dir.file("missing/out.pcap");
    EXPECT_EQ(gCreateCaptureFileForSave(out.c_str()), 1);
    EXPECT_EQ(last_error(), "The path to the file \"" + out + "\" doesn't exist.");
    EXPECT_EQ(gCloseCaptureFileForSave(), 1);
    EXPECT_EQ(last_error(), close_closed);
}

TEST_F(SaveTest, WriteAndCloseFailuresOnAFullDevice)
{
    // A device is no regular file: it is refused before anything is written
    // (write failures on a full file system: the test below).
    if (!std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    std::vector<PacketSummary> packets = open_and_read(shared_capture("one_tcp_stream.pcap"));
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(gCreateCaptureFileForSave("/dev/full"), 1);
    EXPECT_EQ(last_error(), "The file \"/dev/full\" is a \"special file\" or socket or other non-regular file.");
    EXPECT_EQ(gCloseCaptureFileForSave(), 1);
    EXPECT_EQ(last_error(), close_closed);
    const std::string out = dir.file("after.pcap");
    ASSERT_EQ(gCreateCaptureFileForSave(out.c_str()), 0) << last_error();
    EXPECT_EQ(save(packets[0]), 0);
    ASSERT_EQ(gCloseCaptureFileForSave(), 0) << last_error();
    EXPECT_EQ(read_pcap(out).records.size(), 1u);
}

// Writes that fail part-way (the file system is full; here the process's
// file size limit stands in for it) leave nothing of the packet behind:
// later packets follow the last whole one and the file is complete.
TEST_F(SaveTest, AFailedWriteIsCutBackAndSavingGoesOn)
{
    pcapw::PcapWriter writer;
    for (uint16_t i = 0; i < 6; ++i)
        writer.add(1700000000 + i, 0,
                   pcapw::eth_ipv4_udp(pcapw::mac("02:00:00:00:00:02"), pcapw::mac("02:00:00:00:00:01"),
                                       pcapw::ip4("10.0.0.1"), pcapw::ip4("10.0.0.2"), 4000, 4001,
                                       pcapw::Bytes(200, static_cast<uint8_t>('a' + i))));
    const std::string capture = dir.file("in.pcap");
    writer.write(capture);
    const std::vector<PacketSummary> packets = open_and_read(capture);
    ASSERT_EQ(packets.size(), 6u);
    const std::string out = dir.file("out.pcap");
    ASSERT_EQ(gCreateCaptureFileForSave(out.c_str()), 0) << last_error();
    EXPECT_EQ(save(packets[0]), 0);
    EXPECT_EQ(save(packets[1]), 0);

    // Room for a part of the next record only.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit previous;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    struct rlimit limited = previous;
    limited.rlim_cur = std::filesystem::file_size(out) + 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    for (size_t i : {2, 3}) {
        SavePacketRequest request = request_of(packets[i]);
        uint8_t skipped = 7;
        EXPECT_EQ(gSavePacketToCaptureFile(&skipped, &request), 1);
        EXPECT_EQ(last_error(), "An error occurred while writing to the file \"" + out + "\": File too large.");
    }
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &previous), 0);

    EXPECT_EQ(save(packets[4]), 0);
    EXPECT_EQ(save(packets[5]), 0);
    ASSERT_EQ(gCloseCaptureFileForSave(), 0) << last_error();
    const pcap_image saved = read_pcap(out);
    const pcap_image original = read_pcap(capture);
    ASSERT_EQ(saved.records.size(), 4u);
    size_t index = 0;
    size_t size = 24;
    for (size_t i : {0, 1, 4, 5}) {
        expect_same_record(saved.records[index++], original.records[i], "packet " + std::to_string(i + 1));
        size += 16 + original.records[i].data.size();
    }
    EXPECT_EQ(std::filesystem::file_size(out), size);
    int status = -1;
    const std::string count = run_command("capinfos -c -M " + shell_quote(out) + " 2>&1", &status);
    EXPECT_EQ(status, 0) << count;
    EXPECT_NE(count.find("Number of packets:   4"), std::string::npos) << count;
}

TEST(SaveGuardTest, TheGuardsOfAllThreeCalls)
{
    temp_dir dir;
    const std::string out = dir.file("guarded.pcap");
    SavePacketRequest request;
    memset(&request, 0, sizeof request);
    uint8_t skipped = 3;

    EXPECT_EQ(gCreateCaptureFileForSave(out.c_str()), 1);
    EXPECT_EQ(last_error(), guard_message("Create Capture File", not_initialized));
    EXPECT_EQ(gSavePacketToCaptureFile(&skipped, &request), 1);
    EXPECT_EQ(skipped, 0);
    EXPECT_EQ(last_error(), guard_message("Save Packet to File", not_initialized));
    EXPECT_EQ(gCloseCaptureFileForSave(), 1);
    EXPECT_EQ(last_error(), guard_message("Close Capture File for Save", not_initialized));

    ASSERT_EQ(gInitEpan(), 0) << last_error();
    skipped = 3;
    EXPECT_EQ(gCreateCaptureFileForSave(out.c_str()), 1);
    EXPECT_EQ(last_error(), guard_message("Create Capture File", no_capture));
    EXPECT_EQ(gSavePacketToCaptureFile(&skipped, &request), 1);
    EXPECT_EQ(skipped, 0);
    EXPECT_EQ(last_error(), guard_message("Save Packet to File", no_capture));
    EXPECT_EQ(gCloseCaptureFileForSave(), 1);
    EXPECT_EQ(last_error(), guard_message("Close Capture File for Save", no_capture));
    EXPECT_FALSE(std::filesystem::exists(out));

    // Missing arguments.
    std::vector<PacketSummary> packets = open_and_read(shared_capture("dns_udp.pcap"));
    EXPECT_EQ(gCreateCaptureFileForSave(nullptr), 1);
    EXPECT_EQ(last_error(), "\"Create Capture File\" operation failed. No file path was given.");
    ASSERT_EQ(gCreateCaptureFileForSave(out.c_str()), 0) << last_error();
    request = request_of(packets[0]);
    EXPECT_EQ(gSavePacketToCaptureFile(nullptr, &request), 1);
    EXPECT_EQ(last_error(), "\"Save Packet to File\" operation failed. No place for the skipped flag was given.");
    skipped = 3;
    EXPECT_EQ(gSavePacketToCaptureFile(&skipped, nullptr), 1);
    EXPECT_EQ(skipped, 0);
    EXPECT_EQ(last_error(), "\"Save Packet to File\" operation failed. No SavePacketRequest record was given.");
    EXPECT_EQ(save(packets[0]), 0);

    // Closing the capture leaves the save file open; it is closed while a
    // capture is open again.
    ASSERT_EQ(gCloseCapture(), 0);
    EXPECT_EQ(gCloseCaptureFileForSave(), 1);
    EXPECT_EQ(last_error(), guard_message("Close Capture File for Save", no_capture));
    ASSERT_EQ(gOpenCapture(shared_capture("dns_udp.pcap").c_str()), 0) << last_error();
    EXPECT_EQ(gCloseCaptureFileForSave(), 0) << last_error();
    EXPECT_EQ(read_pcap(out).records.size(), 1u);

    ASSERT_EQ(gCleanupEpan(), 0);
    skipped = 3;
    EXPECT_EQ(gCreateCaptureFileForSave(out.c_str()), 1);
    EXPECT_EQ(last_error(), guard_message("Create Capture File", uninitialized));
    EXPECT_EQ(gSavePacketToCaptureFile(&skipped, &request), 1);
    EXPECT_EQ(skipped, 0);
    EXPECT_EQ(last_error(), guard_message("Save Packet to File", uninitialized));
    EXPECT_EQ(gCloseCaptureFileForSave(), 1);
    EXPECT_EQ(last_error(), guard_message("Close Capture File for Save", uninitialized));
}

// ---- the TCP sequence tracker -------------------------------------------------

const pcapw::Ip4 host_a = pcapw::ip4("10.1.0.1"), host_b = pcapw::ip4("10.1.0.2"), host_c = pcapw::ip4("10.1.0.3");
const pcapw::Mac mac_a = pcapw::mac("02:00:00:01:00:01"), mac_b = pcapw::mac("02:00:00:01:00:02");

pcapw::Bytes segment(const pcapw::Ip4 &source, uint16_t source_port, const pcapw::Ip4 &destination,
                     uint16_t destination_port, uint32_t sequence, size_t length, uint8_t flags = pcapw::tcpflag::ACK)
{
    const uint32_t ack = flags & pcapw::tcpflag::ACK ? 1 : 0;
    return pcapw::eth_ipv4_tcp(mac_b, mac_a, source, destination, source_port, destination_port, sequence, ack, flags,
                               pcapw::Bytes(length, 'x'));
}

pcapw::Bytes datagram(const pcapw::Ip4 &source, const pcapw::Ip4 &destination)
{
    return pcapw::eth_ipv4_udp(mac_b, mac_a, source, destination, 5000, 5001, pcapw::to_bytes("not tcp"));
}

// Writes the frames as a capture, opens and reads it.
std::vector<PacketSummary> capture_of(const temp_dir &dir, const std::string &name,
                                      const std::vector<pcapw::Bytes> &frames, pcapw::PcapWriter *writer_out = nullptr)
{
    pcapw::PcapWriter writer;
    uint32_t second = 1000;
    for (const pcapw::Bytes &frame : frames)
        writer.add(second++, 250, frame);
    writer.write(dir.file(name));
    if (writer_out)
        *writer_out = writer;
    return open_and_read(dir.file(name));
}

// Saves every packet with the skip flag as given; returns the skipped flags.
std::vector<int> save_each(const std::vector<PacketSummary> &packets, const std::vector<bool> &skip)
{
    std::vector<int> skipped;
    for (size_t i = 0; i < packets.size(); ++i)
        skipped.push_back(save(packets[i], skip.empty() || skip[i]));
    return skipped;
}

TEST_F(SaveTest, TrackerFollowsEachDirectionOfTheConversation)
{
    using namespace pcapw::tcpflag;
    pcapw::PcapWriter writer;
    std::vector<PacketSummary> packets =
        capture_of(dir, "example.pcap",
                   {
                       segment(host_a, 1000, host_b, 80, 100, 10),   // 1  first from A: 100-110 written
                       segment(host_a, 1000, host_b, 80, 100, 10),   // 2  repeat of 100-110
                       segment(host_a, 1000, host_b, 80, 110, 10),   // 3  continues: 100-120
                       segment(host_b, 80, host_a, 1000, 500, 0, SYN),  // 4  first from B, the SYN takes 500
                       segment(host_b, 80, host_a, 1000, 501, 5),    // 5  continues: 500-506
                       segment(host_c, 1000, host_b, 80, 100, 10),   // 6  a third endpoint
                       segment(host_a, 1000, host_c, 80, 120, 10),   // 7  A with someone else
                       segment(host_a, 2000, host_b, 80, 120, 10),   // 8  another port of A
                       segment(host_a, 1000, host_b, 80, 140, 10),   // 9  after a gap: 140-150
                       segment(host_a, 1000, host_b, 80, 120, 0),    // 10 no payload
                       segment(host_b, 80, host_a, 1000, 501, 5),    // 11 retransmission from B
                       segment(host_a, 1000, host_b, 80, 115, 10),   // 12 overlaps, 120-125 new
                       segment(host_a, 1000, host_b, 80, 140, 10),   // 13 repeat after the gap
                       segment(host_a, 1000, host_b, 80, 120, 20),   // 14 fills the gap
                       segment(host_a, 1000, host_b, 80, 100, 50),   // 15 all of it written before
                   },
                   &writer);
    ASSERT_EQ(packets.size(), 15u);
    const std::string out = dir.file("example.out.pcap");
    ASSERT_EQ(gCreateCaptureFileForSave(out.c_str()), 0) << last_error();
    EXPECT_EQ(save_each(packets, {}), (std::vector<int>{0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 1}));
    ASSERT_EQ(gCloseCaptureFileForSave(), 0) << last_error();

    pcap_image saved = read_pcap(out);
    const std::vector<size_t> written = {1, 3, 4, 5, 6, 7, 8, 9, 10, 12, 14};
    ASSERT_EQ(saved.records.size(), written.size());
    for (size_t i = 0; i < written.size(); ++i)
        EXPECT_TRUE(saved.records[i].data == writer.records()[written[i] - 1].data) << "frame " << written[i];
}

TEST_F(SaveTest, AVerdictCountsOnlyForTheRequestThatAskedForIt)
{
    std::vector<PacketSummary> packets = capture_of(dir, "armed.pcap",
                                                    {
                                                        datagram(host_a, host_b),
                                                        segment(host_a, 1000, host_b, 80, 100, 10),
                                                        segment(host_a, 1000, host_b, 80, 110, 10),
                                                    });
    ASSERT_EQ(packets.size(), 3u);
    const std::string out = dir.file("armed.out.pcap");
    ASSERT_EQ(gCreateCaptureFileForSave(out.c_str()), 0) << last_error();
    EXPECT_EQ(save(packets[0], true), 0);   // no TCP: written, and nothing stays armed
    EXPECT_EQ(save(packets[1], false), 0);  // not asked: written, the tracker untouched
    EXPECT_EQ(save(packets[1], true), 0);   // so its bytes are new to the tracker
    EXPECT_EQ(save(packets[1], true), 1);   // now a repeat
    EXPECT_EQ(save(packets[0], true), 0);   // the last verdict does not carry over
    EXPECT_EQ(save(packets[2], false), 0);  // not asked: written
    EXPECT_EQ(save(packets[2], true), 0);   // continues where A left off
    EXPECT_EQ(save(packets[2], true), 1);   // now a repeat
    // Other dissections leave the tracker alone.
    PacketSummary summary;
    ASSERT_EQ(gGetPacketAtOffset(&summary, packets[1].frame_number, packets[1].file_offset,
                                 static_cast<int32_t>(packets[1].captured_length), packets[1].packet_length,
                                 packets[1].encapsulation),
              0);
    EXPECT_EQ(save(packets[2], true), 1);
    ASSERT_EQ(gCloseCaptureFileForSave(), 0) << last_error();
    EXPECT_EQ(read_pcap(out).records.size(), 6u);
}

TEST_F(SaveTest, ANewSaveFileStartsTheTrackerAfresh)
{
    std::vector<PacketSummary> packets = capture_of(dir, "afresh.pcap",
                                                    {
                                                        segment(host_a, 1000, host_b, 80, 100, 10),
                                                        segment(host_c, 3000, host_b, 80, 700, 10),
                                                        segment(host_c, 3000, host_b, 80, 710, 10),
                                                    });
    ASSERT_EQ(packets.size(), 3u);
    ASSERT_EQ(gCreateCaptureFileForSave(dir.file("one.pcap").c_str()), 0) << last_error();
    EXPECT_EQ(save(packets[0], true), 0);
    EXPECT_EQ(save(packets[0], true), 1);
    EXPECT_EQ(save(packets[1], true), 0);  // not the tracked conversation
    EXPECT_EQ(save(packets[1], true), 0);
    ASSERT_EQ(gCloseCaptureFileForSave(), 0) << last_error();

    // The new file's first armed TCP packet names the conversation.
    ASSERT_EQ(gCreateCaptureFileForSave(dir.file("two.pcap").c_str()), 0) << last_error();
    EXPECT_EQ(save(packets[1], true), 0);
    EXPECT_EQ(save(packets[1], true), 1);
    EXPECT_EQ(save(packets[2], true), 0);
    EXPECT_EQ(save(packets[0], true), 0);  // A is not part of it any more
    EXPECT_EQ(save(packets[0], true), 0);
    ASSERT_EQ(gCloseCaptureFileForSave(), 0) << last_error();
    EXPECT_EQ(read_pcap(dir.file("one.pcap")).records.size(), 3u);
    EXPECT_EQ(read_pcap(dir.file("two.pcap")).records.size(), 4u);
}

TEST_F(SaveTest, TrackerOnAnIPv6Conversation)
{
    const auto a = pcapw::ip6("2001:db8::1"), b = pcapw::ip6("2001:db8::2");
    auto segment6 = [&](const pcapw::Ip6 &source, uint16_t source_port, const pcapw::Ip6 &destination,
                        uint16_t destination_port, uint32_t sequence, size_t length) {
        return pcapw::eth_ipv6_tcp(mac_b, mac_a, source, destination, source_port, destination_port, sequence, 1,
                                   pcapw::tcpflag::ACK, pcapw::Bytes(length, 'y'));
    };
    std::vector<PacketSummary> packets = capture_of(dir, "ipv6.pcap",
                                                    {
                                                        segment6(a, 1000, b, 80, 0xfffffffa, 10),  // wraps around
                                                        segment6(a, 1000, b, 80, 4, 10),
                                                        segment6(a, 1000, b, 80, 4, 10),
                                                        segment6(b, 80, a, 1000, 9, 1),
                                                        segment(host_a, 1000, host_b, 80, 14, 10),  // IPv4
                                                        segment6(a, 1000, b, 80, 0xfffffffe, 10),  // repeat across the wrap
                                                    });
    ASSERT_EQ(packets.size(), 6u);
    ASSERT_EQ(gCreateCaptureFileForSave(dir.file("ipv6.out.pcap").c_str()), 0) << last_error();
    EXPECT_EQ(save_each(packets, {}), (std::vector<int>{0, 0, 1, 0, 0, 1}));
    ASSERT_EQ(gCloseCaptureFileForSave(), 0) << last_error();
}

// A whole conversation with a handshake, a retransmission, a gap filled late
// and a FIN, saved with the skip flag throughout.
std::vector<pcapw::Bytes> conversation_with_retransmission()
{
    using namespace pcapw::tcpflag;
    return {
        segment(host_a, 40000, host_b, 80, 1000, 0, SYN),        // 1  A's SYN takes 1000
        segment(host_b, 80, host_a, 40000, 5000, 0, SYN | ACK),  // 2  B's SYN takes 5000
        segment(host_a, 40000, host_b, 80, 1001, 0),             // 3  no payload
        segment(host_a, 40000, host_b, 80, 1001, 100, PSH | ACK),  // 4  1001-1101
        segment(host_b, 80, host_a, 40000, 5001, 0),             // 5  no payload
        segment(host_a, 40000, host_b, 80, 1101, 100),           // 6  1101-1201
        segment(host_a, 40000, host_b, 80, 1101, 100),           // 7  retransmission of 6
        datagram(host_a, host_b),                                // 8  not TCP
        segment(host_b, 80, host_a, 40000, 5001, 50, PSH | ACK),  // 9  5001-5051
        segment(host_a, 40000, host_b, 80, 1301, 100),           // 10 after a gap (1201 missing)
        segment(host_a, 40000, host_b, 80, 1201, 100),           // 11 the missing one
        segment(host_a, 40000, host_b, 80, 1301, 100),           // 12 retransmission of 10
        segment(host_b, 80, host_a, 40000, 5051, 0, FIN | ACK),  // 13 B's FIN takes 5051
        segment(host_b, 80, host_a, 40000, 5052, 0),             // 14 B's last ACK
    };
}

TEST_F(SaveTest, AWholeConversationWithARetransmission)
{
    pcapw::PcapWriter writer;
    std::vector<PacketSummary> packets = capture_of(dir, "retransmission.pcap", conversation_with_retransmission(), &writer);
    ASSERT_EQ(packets.size(), 14u);
    const std::string out = dir.file("retransmission.out.pcap");
    ASSERT_EQ(gCreateCaptureFileForSave(out.c_str()), 0) << last_error();
    EXPECT_EQ(save_each(packets, {}), (std::vector<int>{0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0}));
    ASSERT_EQ(gCloseCaptureFileForSave(), 0) << last_error();

    pcap_image saved = read_pcap(out);
    const std::vector<size_t> written = {1, 2, 3, 4, 5, 6, 8, 9, 10, 11, 13, 14};
    ASSERT_EQ(saved.records.size(), written.size());
    for (size_t i = 0; i < written.size(); ++i) {
        const auto &record = writer.records()[written[i] - 1];
        EXPECT_TRUE(saved.records[i].data == record.data) << "frame " << written[i];
        EXPECT_EQ(saved.records[i].seconds, record.ts_sec);
        EXPECT_EQ(saved.records[i].nanoseconds, record.ts_frac * 1000);
    }
}

// ---- the current packet after a save -----------------------------------------

// Where the first "dns.qry.name" of the current packet lies and what it says.
struct query_name {
    int32_t start = -1, length = -1;
    std::string text;
};

query_name current_query_name(int32_t id)
{
    query_name found;
    int32_t count = 0;
    const int32_t *ids = nullptr;
    EXPECT_EQ(gLastPacketHasPassedFilter("DNS", &count, &ids), 0) << last_error();
    if (count != 1 || !ids || ids[0] != id)
        return found;
    int32_t type = 0;
    EXPECT_EQ(gGetFieldInfoEx(id, &found.start, &found.length, &type), 0) << last_error();
    const char *value = nullptr;
    int32_t size = 0;
    EXPECT_EQ(gGetStringProtocolFieldValue(&value, &size, id), 0) << last_error();
    found.text = value ? value : "";
    return found;
}

// A save dissects its packet only as far as the request needs; the saved
// packet is still the current one, and the field calls that read its
// dissection find it there, with the skip flag or without.
TEST_F(SaveTest, FieldCallsAfterASaveDescribeTheSavedPacket)
{
    ASSERT_EQ(gRegisterProtocolFieldFilter("dns.qry.name", "DNS"), 0) << last_error();
    int32_t id = -1, type = 0;
    ASSERT_EQ(gGetProtocolFieldFilterInfo("dns.qry.name", &id, &type), 0) << last_error();
    std::vector<PacketSummary> packets = open_and_read(shared_capture("DnsPackets.pcap"));
    ASSERT_GE(packets.size(), 6u);

    // What a re-read of each packet reports.
    std::vector<query_name> expected;
    for (const PacketSummary &p : packets) {
        ASSERT_EQ(gGetPacketAtOffset(nullptr, p.frame_number, p.file_offset, static_cast<int32_t>(p.captured_length),
                                     p.packet_length, p.encapsulation),
                  0)
            << last_error();
        expected.push_back(current_query_name(id));
    }
    ASSERT_FALSE(expected[0].text.empty());
    ASSERT_NE(expected[0].text, expected[4].text);

    const std::string out = dir.file("current.pcap");
    ASSERT_EQ(gCreateCaptureFileForSave(out.c_str()), 0) << last_error();
    for (size_t i : {size_t{4}, size_t{0}, size_t{5}}) {
        for (bool skip : {false, true}) {
            SCOPED_TRACE("frame " + std::to_string(i + 1) + (skip ? " with the skip flag" : ""));
            EXPECT_EQ(save(packets[i], skip), 0);
            const query_name now = current_query_name(id);
            EXPECT_EQ(now.text, expected[i].text);
            EXPECT_EQ(now.start, expected[i].start);
            EXPECT_EQ(now.length, expected[i].length);
            int32_t offset = -1;
            EXPECT_EQ(gGetTransportProtocolPayloadOffset(&offset), 0) << last_error();
            EXPECT_EQ(offset, 42);  // Ethernet, IPv4 without options, UDP
        }
    }
    ASSERT_EQ(gCloseCaptureFileForSave(), 0) << last_error();
    EXPECT_EQ(read_pcap(out).records.size(), 6u);
}

// ---- the command-line host ----------------------------------------------------

TEST(SaveCliTest, SavesTheListedFramesInOrder)
{
    temp_dir dir;
    pcapw::PcapWriter writer;
    uint32_t second = 1000;
    for (const pcapw::Bytes &frame : conversation_with_retransmission())
        writer.add(second++, 250, frame);
    const std::string path = dir.file("conversation.pcap");
    writer.write(path);
    const std::string cli = std::string(WSB_CLI) + " save " + shell_quote(path) + " ";

    int status = -1;
    const std::string listed = dir.file("listed.pcap");
    EXPECT_EQ(run_command(cli + shell_quote(listed) + " 3,1-2,2,14 2>&1", &status), "5 written, 0 skipped\n");
    EXPECT_EQ(status, 0);
    pcap_image saved = read_pcap(listed);
    const std::vector<size_t> frames = {3, 1, 2, 2, 14};
    ASSERT_EQ(saved.records.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_TRUE(saved.records[i].data == writer.records()[frames[i] - 1].data) << "frame " << frames[i];

    const std::string skipping = dir.file("skipping.pcap");
    // Only the retransmissions 7 and 12 repeat bytes already written.
    EXPECT_EQ(run_command(cli + shell_quote(skipping) + " 1-14 --drop-tcp-retransmissions 2>&1", &status),
              "12 written, 2 skipped\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_pcap(skipping).records.size(), 12u);
    EXPECT_EQ(run_command(cli + shell_quote(skipping) + " 1-14,4 --skip-tcp-repeats 2>&1", &status),
              "12 written, 3 skipped\n");

    EXPECT_EQ(run_command(cli + shell_quote(dir.file("x.pcap")) + " 2,15 2>&1", &status),
              "wsbridge save: there is no frame 15: the capture has 14 packets\n"
              "Run 'wsbridge save --help' for usage.\n");
    EXPECT_EQ(status, 2);
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.pcap")));
    for (const char *malformed : {"0", "3-1", "1,,2", "a", "1-x", "al"}) {
        run_command(cli + shell_quote(dir.file("x.pcap")) + " " + shell_quote(malformed) + " 2>/dev/null", &status);
        EXPECT_EQ(status, 2) << malformed;
    }
}

// -Y alone saves every matching packet; the format follows -F, OUT's
// extension or the capture; '-' writes the capture to standard output and
// the counts to stderr. tshark -w with the same filter is the oracle, record
// by record, comments and interfaces included.
TEST(SaveCliTest, FormatsOpenRangesAndStandardOutputAsTsharkWrites)
{
    temp_dir dir;
    const std::string capture = shell_quote(shared_capture("pcapng-example.pcapng"));
    const std::string cli = std::string(WSB_CLI) + " save " + capture + " ";
    const std::string filter = shell_quote("frame.len > 100");
    const auto records = [](const std::string &path) {
        return run_command("tshark -r " + shell_quote(path) +
                           " -T fields -e frame.time_epoch -e frame.len -e frame.comment -e frame.interface_id"
                           " 2>/dev/null");
    };
    const auto type_of = [](const std::string &path) {
        return run_command("capinfos -t -M " + shell_quote(path) + " 2>/dev/null | sed -n 's/^File type: *//p'");
    };
    int status = -1;
    const std::string expected = dir.file("tshark.pcapng");
    run_command("tshark -r " + capture + " -Y " + filter + " -w " + shell_quote(expected) + " -F pcapng 2>/dev/null");
    const std::string ours = dir.file("ours");
    run_command(cli + shell_quote(ours) + " -Y " + filter + " -F pcapng 2>&1", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(records(expected), "");
    EXPECT_EQ(records(ours), records(expected));
    EXPECT_EQ(type_of(ours), "pcapng\n");

    // Standard output: the same file byte for byte; the counts on stderr.
    const std::string piped = dir.file("piped");
    const std::string err = run_command(cli + "- -Y " + filter + " 2>&1 >" + shell_quote(piped), &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(err, "69 written, 0 skipped, 90 not matching the filter\n");
    EXPECT_EQ(records(piped), records(expected));

    // The extension chooses, then -F; an open range runs to the end (a
    // capture of one link type, which libpcap can hold).
    const std::string ospf = shell_quote(shared_capture("OSPFv2_Capture_FINAL.pcapng"));
    const std::string ospf_cli = std::string(WSB_CLI) + " save " + ospf + " ";
    const std::string tail = dir.file("tail.pcap");
    EXPECT_EQ(run_command(ospf_cli + shell_quote(tail) + " 25- 2>&1", &status), "6 written, 0 skipped\n");
    EXPECT_EQ(type_of(tail), "pcap\n");
    EXPECT_EQ(run_command("tshark -r " + shell_quote(tail) + " -T fields -e frame.time_epoch -e frame.len 2>/dev/null"),
              run_command("tshark -r " + ospf + " -Y 'frame.number >= 25' -T fields -e frame.time_epoch -e frame.len"
                          " 2>/dev/null"));
    const std::string nanoseconds = dir.file("all.pcapng");
    EXPECT_EQ(run_command(ospf_cli + shell_quote(nanoseconds) + " all -F nsecpcap 2>&1", &status),
              "30 written, 0 skipped\n");
    EXPECT_EQ(type_of(nanoseconds), "nsecpcap\n");

    run_command(cli + shell_quote(dir.file("x")) + " -F erf -Y frame 2>/dev/null", &status);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(run_command(cli + shell_quote(dir.file("x")) + " 2>&1", &status),
              "wsbridge save: FRAMES is missing (e.g. 1,3-5,9, 100- or all; optional with -Y)\n"
              "Run 'wsbridge save --help' for usage.\n");
    EXPECT_EQ(run_command(cli + shell_quote(dir.file("x")) + " 160- 2>&1", &status),
              "wsbridge save: there is no frame 160: the capture has 159 packets\n"
              "Run 'wsbridge save --help' for usage.\n");
}

}  // namespace
