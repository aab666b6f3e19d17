// SPDX-License-Identifier: GPL-2.0-or-later
// Saving the packets of whole captures through the public interface: every
// shared capture round-tripped, pcapng captures saved as pcap and as pcapng
// with what editcap keeps, unknown formats, and the file's link type.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "locator.h"
#include "pcap_writer.h"
#include "save_support.h"
#include "test_support.h"
#include "wsbridge.h"

using namespace wsbtest;
using namespace wsbsave;

namespace {

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

// The snapshot length a save file states (the libpcap header's, each pcapng
// interface's) is at least its longest packet: readers that cut packets at
// it (libpcap) then read every byte. A capture that states none (pcapng)
// gets what the engine's converter writes, the largest its link type allows;
// a capture whose header states less than a packet holds has it raised.
TEST_F(SaveTest, TheSnapshotLengthWrittenCoversTheLongestPacket)
{
    const pcap_image big = read_pcap(shared_capture("bigtcp-ipv6.pcap"));  // one IPv6 jumbogram
    ASSERT_EQ(big.records.size(), 1u);
    const pcapw::Bytes &bytes = big.records[0].data;
    ASSERT_GT(bytes.size(), 65535u);
    const std::string pcapng = dir.file("big.pcapng"), short_header = dir.file("short.pcap");
    pcapw::write_file(pcapng, pcapw::pcapng_image({pcapw::PcapngInterface{}}, {{0, 1'700'000'000'000'000ull, bytes}}));
    pcapw::PcapWriter writer(pcapw::LINKTYPE_ETHERNET, 65535);
    writer.add(1'700'000'000, 0, bytes);
    writer.write(short_header);

    const auto stated_snaplen = [](const std::string &path, int32_t format) -> uint32_t {
        if (format != WSB_SAVE_FORMAT_PCAPNG)
            return read_pcap(path).snaplen;
        const std::string text =
            run_command("capinfos -I " + shell_quote(path) + " 2>/dev/null | sed -n 's/^ *Capture length = //p'");
        if (text.empty())
            return 0;
        const uint32_t length = static_cast<uint32_t>(std::stoul(text));
        return length == 0 ? UINT32_MAX : length;  // pcapng: 0 is no limit
    };
    for (const std::string &path : {pcapng, short_header}) {
        // The engine's converter: the largest for the link type where the
        // capture states no snapshot length.
        const std::string converted = dir.file("editcap.pcap");
        int status = -1;
        run_command("editcap -F pcap " + shell_quote(path) + " " + shell_quote(converted) + " 2>&1", &status);
        ASSERT_EQ(status, 0);
        for (int32_t format : {WSB_SAVE_FORMAT_PCAP, WSB_SAVE_FORMAT_PCAP_NSEC, WSB_SAVE_FORMAT_PCAPNG}) {
            SCOPED_TRACE(path + " as format " + std::to_string(format));
            const std::string out = dir.file("saved");
            std::vector<PacketSummary> packets = open_and_read(path);
            ASSERT_EQ(packets.size(), 1u);
            save_all_in_format(packets, out, format);
            ASSERT_EQ(gCloseCapture(), 0);
            const uint32_t stated = stated_snaplen(out, format);
            EXPECT_GE(stated, bytes.size());
            if (format != WSB_SAVE_FORMAT_PCAPNG) {
                const pcap_image saved = read_pcap(out);
                ASSERT_EQ(saved.records.size(), 1u);
                EXPECT_TRUE(saved.records[0].data == bytes);
                if (path == pcapng) {
                    EXPECT_EQ(stated, read_pcap(converted).snaplen);
                }
            }
            EXPECT_EQ(run_command("tshark -r " + shell_quote(out) + " -T fields -e frame.cap_len 2>/dev/null"),
                      std::to_string(bytes.size()) + "\n");
        }
    }
}

TEST_F(SaveTest, AnUnknownSaveFormatIsRefused)
{
    std::vector<PacketSummary> packets = open_and_read(shared_capture("dns_udp.pcap"));
    const std::string out = dir.file("never.pcap");
    for (int32_t format : {-1, 5, INT32_MAX}) {
        EXPECT_EQ(gCreateCaptureFileForSaveInFormat(out.c_str(), format), 1);
        EXPECT_NE(last_error().find("is not a save file format"), std::string::npos) << last_error();
    }
    EXPECT_FALSE(std::filesystem::exists(out));
    int32_t format = 7;
    EXPECT_EQ(gGetSaveFileFormat(&format), 1);
    EXPECT_EQ(format, 7);
    // WSB_SAVE_FORMAT_BY_NAME: the extension, in either case, else the capture's own.
    for (const auto &[name, expected] : std::vector<std::pair<std::string, int32_t>>{
             {"a.PcapNG", WSB_SAVE_FORMAT_PCAPNG}, {"b.pcap", WSB_SAVE_FORMAT_PCAP}, {"c.cap", WSB_SAVE_FORMAT_PCAP}}) {
        ASSERT_EQ(gCreateCaptureFileForSaveInFormat(dir.file(name).c_str(), WSB_SAVE_FORMAT_BY_NAME), 0) << last_error();
        EXPECT_EQ(gGetSaveFileFormat(&format), 0);
        EXPECT_EQ(format, expected) << name;
        EXPECT_EQ(gCloseCaptureFileForSave(), 0);
    }
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

// ---- chosen frames in one call ------------------------------------------------

// tshark's single pass with a display filter writes the same packets, with
// the same stamps, lengths, link types, interfaces and comments, whatever the
// sequential reading (position, its own display filter) did before, which
// goes on as it was.
TEST_F(SaveTest, SaveFramesWithAFilterWritesWhatTsharkWrites)
{
    const char prefs[] = WSB_TSHARK_PREFERENCES;
    for (auto [name, filter] : {std::pair{"pcapng-example.pcapng", "tcp.len > 0 || frame.comment"},
                                std::pair{"example2.pcap", "tcp.analysis.retransmission || dns.flags.response == 1"},
                                std::pair{"ssh.pcap", "frame.time_relative > 0.1 && tcp.srcport == 22"}}) {
        SCOPED_TRACE(name);
        const std::string path = shared_capture(name), saved = dir.file("saved.pcapng"),
                          reference = dir.file("reference.pcapng");
        int status = -1;
        run_command(std::string("tshark -n ") + prefs + " -r " + shell_quote(path) + " -Y " + shell_quote(filter) +
                        " -F pcapng -w " + shell_quote(reference) + " 2>&1",
                    &status);
        ASSERT_EQ(status, 0);
        const std::vector<PacketSummary> all = open_and_read(path);
        ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
        ASSERT_EQ(gSetDisplayFilter("frame.number >= 3"), 0);
        PacketSummary first;
        ASSERT_EQ(gGetNextPacket(&first), 0) << last_error();
        int32_t written = -1, skipped = -1, not_matching = -1;
        ASSERT_EQ(gSaveFrames(saved.c_str(), WSB_SAVE_FORMAT_PCAPNG, nullptr, 0, filter, 0, &written, &skipped,
                              &not_matching),
                  0)
            << last_error();
        // Reading goes on with the packet after the one read.
        PacketSummary next;
        ASSERT_EQ(gGetNextPacket(&next), 0) << last_error();
        EXPECT_EQ(next.frame_number, 4u);
        EXPECT_STREQ(next.info_text, all.at(3).info_text);
        ASSERT_EQ(gSetDisplayFilter(nullptr), 0);
        ASSERT_EQ(gCloseCapture(), 0);
        const std::string records = record_contents_of(reference);
        EXPECT_EQ(record_contents_of(saved), records);
        const auto expected_count = static_cast<int32_t>(lines_of(records).size());
        EXPECT_GT(expected_count, 0);
        EXPECT_EQ(written, expected_count);
        EXPECT_EQ(skipped, 0);
        EXPECT_EQ(not_matching, static_cast<int32_t>(all.size()) - expected_count);
    }
}

// A list of frames comes out in the order given, repeats included, in the
// format chosen; an empty selection, or one the filter empties, writes a
// capture without packets; a frame the capture lacks writes nothing.
TEST_F(SaveTest, SaveFramesListedInOrderEmptySelectionsAndMissingFrames)
{
    const std::string path = shared_capture("one_ipv6_http_stream.pcap");
    const pcap_image original = read_pcap(path);
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    const std::string listed = dir.file("listed.pcap");
    const uint32_t frames[] = {5, 3, 3, 1};
    int32_t written = -1, not_matching = -1;
    ASSERT_EQ(gSaveFrames(listed.c_str(), WSB_SAVE_FORMAT_PCAP, frames, 4, nullptr, 0, &written, nullptr, nullptr), 0)
        << last_error();
    EXPECT_EQ(written, 4);
    const pcap_image saved = read_pcap(listed);
    EXPECT_EQ(saved.linktype, original.linktype);
    ASSERT_EQ(saved.records.size(), 4u);
    for (size_t i = 0; i < 4; ++i)
        expect_same_record(saved.records[i], original.records[frames[i] - 1], "entry " + std::to_string(i));
    // The same list with a filter keeps the listed packets that match.
    ASSERT_EQ(gSaveFrames(listed.c_str(), WSB_SAVE_FORMAT_PCAP, frames, 4, "frame.number != 3", 0, &written,
                          nullptr, &not_matching),
              0)
        << last_error();
    EXPECT_EQ(written, 2);
    EXPECT_EQ(not_matching, 2);
    EXPECT_EQ(read_pcap(listed).records.size(), 2u);

    for (int32_t format : {WSB_SAVE_FORMAT_PCAP, WSB_SAVE_FORMAT_PCAPNG}) {
        for (const char *filter : {static_cast<const char *>(nullptr), "frame.number == 0"}) {
            SCOPED_TRACE(std::to_string(format) + (filter ? " filtered" : " none listed"));
            const std::string empty = dir.file("empty" + std::to_string(format));
            written = -1;
            ASSERT_EQ(gSaveFrames(empty.c_str(), format, filter ? nullptr : frames, 0, filter, 0, &written, nullptr,
                                  nullptr),
                      0)
                << last_error();
            EXPECT_EQ(written, 0);
            int status = -1;
            const std::string packets = run_command("capinfos -c -M " + shell_quote(empty) + " 2>&1", &status);
            EXPECT_EQ(status, 0) << packets;
            EXPECT_NE(packets.find("Number of packets:   0"), std::string::npos) << packets;
        }
    }

    const std::string missing = dir.file("missing.pcap");
    const uint32_t beyond[] = {2, 1000};
    EXPECT_EQ(gSaveFrames(missing.c_str(), WSB_SAVE_FORMAT_PCAP, beyond, 2, nullptr, 0, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_BAD_ARGUMENT);
    EXPECT_EQ(last_error(), "\"Save Frames\" operation failed. The capture has no frame 1000; it has " +
                                std::to_string(original.records.size()) + " frames.");
    EXPECT_FALSE(std::filesystem::exists(missing));
    EXPECT_EQ(gSaveFrames(missing.c_str(), WSB_SAVE_FORMAT_PCAP, nullptr, 0, "nope ==", 0, nullptr, nullptr, nullptr),
              1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_FILTER);
    EXPECT_FALSE(std::filesystem::exists(missing));
}

}  // namespace
