// SPDX-License-Identifier: GPL-2.0-or-later
// Opening, closing and reading captures in sequence through the public
// interface, on captures built byte for byte: the fields of a summary,
// times, whole and cut texts, pcapng interfaces, odd lengths, the end of a
// capture, pipes, reopening, and the errors of damaged, missing and
// unreadable files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "capture_support.h"
#include "wsbridge.h"
#include "pcap_writer.h"
#include "test_support.h"

using namespace wsbtest;
using namespace wsbcapture;

namespace {

pcapw::Bytes udp_packet(uint16_t sport = 5000)
{
    return pcapw::eth_ipv4_udp(server_mac, client_mac, pcapw::ip4("10.0.0.1"), pcapw::ip4("10.0.0.2"), sport, 6000,
                               pcapw::to_bytes("hello"));
}

}  // namespace

TEST(CaptureReading, RelativeTimesIn100NanosecondUnits)
{
    sample_capture capture;
    pcapw::PcapWriter writer(pcapw::LINKTYPE_ETHERNET, 65535, pcapw::MAGIC_NSEC);
    writer.add(1000, 0, udp_packet());
    writer.add(1001, 500000000, udp_packet());  // 1.5 s later
    writer.add(1000, 999, udp_packet());        // 999 ns after the first
    writer.add(998, 500000000, udp_packet());   // 1.5 s before the first
    writer.write(capture.path);

    ASSERT_EQ(gInitEpan(), 0);
    ASSERT_EQ(gOpenCapture(capture.path.c_str()), 0);
    int32_t decimals = -1;
    ASSERT_EQ(gGetPacketTimePrecision(&decimals), 0);
    EXPECT_EQ(decimals, 9);  // the file's before the first packet
    PacketSummary s;
    const int64_t expected[] = {0, 15000000, 9, -15000000};
    for (int64_t relative : expected) {
        ASSERT_EQ(gGetNextPacket(&s), 0);
        EXPECT_EQ(s.relative_time, relative) << "frame " << s.frame_number;
        decimals = -1;
        ASSERT_EQ(gGetPacketTimePrecision(&decimals), 0);
        EXPECT_EQ(decimals, 9);  // the exact time is in time_seconds and time_nanoseconds
    }
    EXPECT_EQ(s.time_seconds, 998);
    EXPECT_EQ(s.time_nanoseconds, 500000000);
    EXPECT_EQ(s.encapsulation, 1);
    EXPECT_EQ(gGetNextPacket(&s), 2);

    ASSERT_EQ(gOpenCapture(shared_capture("DnsPackets.pcap").c_str()), 0);
    ASSERT_EQ(gGetNextPacket(&s), 0);
    ASSERT_EQ(gGetPacketTimePrecision(&decimals), 0);
    EXPECT_EQ(decimals, 6);
}

TEST(CaptureReading, SummaryOfAnIPv4UdpPacketOverEthernet)
{
    sample_capture capture;
    pcapw::PcapWriter writer;
    writer.add(1000, 250000, udp_packet(5353));
    writer.write(capture.path);

    ASSERT_EQ(gInitEpan(), 0);
    ASSERT_EQ(gOpenCapture(capture.path.c_str()), 0);
    PacketSummary s;
    memset(&s, 0x7f, sizeof s);
    ASSERT_EQ(gGetNextPacket(&s), 0);
    EXPECT_EQ(s.frame_number, 1u);
    EXPECT_EQ(s.packet_length, 47u);
    EXPECT_EQ(s.captured_length, 47u);
    EXPECT_EQ(s.file_offset, 24);
    EXPECT_EQ(s.port_type, WSB_PT_UDP);
    EXPECT_EQ(s.source_port, 5353);
    EXPECT_EQ(s.destination_port, 6000);
    EXPECT_EQ(s.time_seconds, 1000);
    EXPECT_EQ(s.time_nanoseconds, 250000000);
    EXPECT_EQ(s.source_address_type, WSB_AT_IPv4);
    EXPECT_EQ(s.destination_address_type, WSB_AT_IPv4);
    EXPECT_STREQ(s.source_text, "10.0.0.1");
    EXPECT_STREQ(s.destination_text, "10.0.0.2");
    EXPECT_STREQ(s.link_source_text, "00:11:22:33:44:55");
    EXPECT_STREQ(s.link_destination_text, "66:77:88:99:aa:bb");
    EXPECT_STREQ(s.protocol_text, "MDNS");
    EXPECT_EQ(s.relative_time, 0);
}

// Texts longer than their PacketSummary arrays are cut before a UTF-8
// character that does not fit whole; gGetPacketTexts hands out the whole
// Protocol and Info of the packet gGetNextPacket or gGetPacketAtOffset
// returned last, until another call dissects a packet.
TEST(CaptureReading, WholeTextsAndCutsOnWholeCharacters)
{
    sample_capture capture;
    std::string message = "<13>Jan  1 00:00:00 x";
    for (int i = 0; i < 200; ++i)
        message += "\xc3\xa9";  // é
    pcapw::PcapWriter writer;
    writer.add(1, 0,
               pcapw::eth_ipv4_udp(server_mac, client_mac, pcapw::ip4("10.0.0.1"), pcapw::ip4("10.0.0.2"), 5000, 514,
                                   pcapw::to_bytes(message)));
    writer.add(2, 0, udp_packet());
    writer.write(capture.path);
    int status = 0;
    const std::vector<oracle_row> rows = tshark_rows(capture.path, &status);
    ASSERT_EQ(rows.size(), 2u);
    ASSERT_GT(rows[0].info.size(), 400u);
    ASSERT_EQ(rows[0].info.substr(0, 30), "USER.NOTICE: Jan  1 00:00:00 x");
    ASSERT_EQ(static_cast<unsigned char>(rows[0].info[255]), 0xa9u);  // inside an é

    ASSERT_EQ(gInitEpan(), 0);
    ASSERT_EQ(gOpenCapture(capture.path.c_str()), 0);
    const char *text = nullptr;
    int32_t size = 0;
    EXPECT_EQ(gGetPacketTexts(&text, &size, nullptr, nullptr), 1);  // nothing read yet
    EXPECT_EQ(last_error().rfind("\"Get Packet Texts\" operation failed. There is no current packet", 0), 0u);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_STATE);
    PacketSummary first, s;
    ASSERT_EQ(gGetNextPacket(&first), 0);
    EXPECT_EQ(std::string(first.info_text), rows[0].info.substr(0, 254));
    EXPECT_EQ(packet_texts(), std::make_pair(rows[0].protocol, rows[0].info));
    EXPECT_EQ(gGetPacketTexts(nullptr, nullptr, &text, nullptr), 0);
    EXPECT_EQ(std::string(text), rows[0].info);
    ASSERT_EQ(gGetNextPacket(&s), 0);
    EXPECT_EQ(packet_texts(), std::make_pair(rows[1].protocol, rows[1].info));
    ASSERT_EQ(gGetPacketAtOffset(nullptr, first.frame_number, first.file_offset,
                                 static_cast<int32_t>(first.captured_length), first.packet_length,
                                 first.encapsulation),
              0);
    EXPECT_EQ(packet_texts(), std::make_pair(rows[0].protocol, rows[0].info));
    int32_t length = 0;
    const uint8_t *bytes = nullptr;
    ASSERT_EQ(gBuildPacketProtocolTree(&length, &bytes, s.frame_number, s.file_offset,
                                       static_cast<int32_t>(s.captured_length), s.packet_length, s.encapsulation),
              0);
    EXPECT_EQ(gGetPacketTexts(&text, &size, &text, &size), 1);  // a tree is no packet read
    EXPECT_EQ(gGetNextPacket(&s), 2);
    EXPECT_EQ(gGetPacketTexts(&text, &size, &text, &size), 1);
    ASSERT_EQ(gSetSummaryTexts(0), 0);
    ASSERT_EQ(gOpenCapture(capture.path.c_str()), 0);
    ASSERT_EQ(gGetNextPacket(&s), 0);
    EXPECT_EQ(packet_texts(), std::make_pair(std::string(), std::string()));
    ASSERT_EQ(gCloseCapture(), 0);
    EXPECT_EQ(gGetPacketTexts(&text, &size, &text, &size), 1);
    EXPECT_EQ(last_error(), "\"Get Packet Texts\" operation failed. A capture file needs to be opened in order to "
                            "perform this operation.");
}

// The interfaces of a pcapng capture have the names and descriptions its
// interface records give them, as tshark shows them: in field values, in
// display filters and in the tree's labels.
TEST(CaptureReading, InterfaceNamesAndDescriptionsOfPcapng)
{
    sample_capture crafted;
    const std::string path = crafted.file("interfaces.pcapng");
    pcapw::write_file(path, pcapw::pcapng_image({{pcapw::LINKTYPE_ETHERNET, "eth7", "uplink to the \xc3\xa9tage"},
                                                 {pcapw::LINKTYPE_ETHERNET, "", "only described"},
                                                 {pcapw::LINKTYPE_ETHERNET, "", ""}},
                                                {{0, 1000000, udp_packet()},
                                                 {1, 2000000, udp_packet(5001)},
                                                 {2, 3000000, udp_packet(5002)},
                                                 {0, 4000000, udp_packet(5003)}}));
    std::vector<std::string> captures = {path};
    for (const std::string &name : shared_capture_names())
        if (name.size() > 7 && name.compare(name.size() - 7, 7, ".pcapng") == 0)
            captures.push_back(shared_capture(name));
    ASSERT_GE(captures.size(), 3u);

    ASSERT_EQ(gInitEpan(), 0);
    const char *const names[] = {"frame.interface_id", "frame.interface_name", "frame.interface_description"};
    int32_t ids[3], type;
    for (const char *name : names)
        ASSERT_EQ(gRegisterProtocolFieldFilter(name, "IF"), 0);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(gGetProtocolFieldFilterInfo(names[i], &ids[i], &type), 0);
    for (const std::string &capture : captures) {
        SCOPED_TRACE(capture);
        const std::string quoted = shell_quote(capture);
        std::string ours;
        ASSERT_EQ(gSetDisplayFilter(nullptr), 0);
        ASSERT_EQ(gOpenCapture(capture.c_str()), 0) << last_error();
        PacketSummary s, first{};
        while (gGetNextPacket(&s) == 0) {
            if (s.frame_number == 1)
                first = s;
            ours += std::to_string(s.frame_number);
            int32_t count = 0;
            const int32_t *matched = nullptr;
            ASSERT_EQ(gLastPacketHasPassedFilter("IF", &count, &matched), 0);
            for (int32_t id : ids) {
                const char *text = nullptr;
                int32_t size = 0;
                ours += "\t";
                if (std::find(matched, matched + count, id) != matched + count &&
                    gGetFieldValueText(&text, &size, id) == 0)
                    ours += text;
            }
            ours += "\n";
        }
        EXPECT_EQ(ours, run_command("tshark -r " + quoted + " -T fields -e frame.number -e frame.interface_id"
                                    " -e frame.interface_name -e frame.interface_description 2>/dev/null"));
        // The first packet's tree names its interface as tshark -V does.
        std::string labels;
        int32_t length = 0, nodes = 0;
        const uint8_t *bytes = nullptr;
        ASSERT_EQ(gBuildPacketProtocolTree(&length, &bytes, first.frame_number, first.file_offset,
                                           static_cast<int32_t>(first.captured_length), first.packet_length,
                                           first.encapsulation),
                  0);
        ASSERT_EQ(gGetProtocolTreeNodesCount(&nodes), 0);
        for (int32_t i = 0; i < nodes; ++i) {
            TreeNode node;
            ASSERT_EQ(gGetTreeNodeByIndex(&node, i), 0);
            if (std::string(node.field_abbrev).rfind("frame.interface", 0) == 0)
                labels += std::string(node.label) + "\n";
        }
        std::string theirs;
        for (const std::string &line : lines_of(run_command("tshark -r " + quoted + " -c 1 -V 2>/dev/null")))
            if (line.find_first_not_of(' ') != std::string::npos &&
                line.compare(line.find_first_not_of(' '), 10, "Interface ") == 0)
                theirs += line.substr(line.find_first_not_of(' ')) + "\n";
        EXPECT_EQ(labels, theirs);
        // Display filters on them keep what tshark keeps.
        for (const char *filter : {"frame.interface_description",
                                   "frame.interface_name == \"lo\" || frame.interface_name contains \"eth\""}) {
            ASSERT_EQ(gSetDisplayFilter(filter), 0);
            ASSERT_EQ(gOpenCapture(capture.c_str()), 0);
            std::string kept;
            while (gGetNextPacket(&s) == 0)
                kept += std::to_string(s.frame_number) + "\n";
            EXPECT_EQ(kept, run_command("tshark -r " + quoted + " -Y " + shell_quote(filter) +
                                        " -T fields -e frame.number 2>/dev/null"))
                << filter;
        }
        ASSERT_EQ(gCloseCapture(), 0);
    }
}

// A record shorter on the wire than captured (a damaged record) is dissected
// with its recorded wire length, as tshark dissects it: frame.len as
// recorded and the frame.len_lt_caplen expert item; the summary keeps both
// lengths and a save writes them back as they were.
TEST(CaptureReading, AWireLengthShorterThanTheCapturedOneIsKept)
{
    sample_capture capture;
    const pcapw::Bytes packet = udp_packet();
    const auto size = static_cast<uint32_t>(packet.size());
    pcapw::PcapWriter writer;
    writer.add(1, 0, size, size - 10, packet).add(2, 0, size, size, packet).add(3, 0, size, 0, packet);
    writer.write(capture.path);
    const std::string quoted = shell_quote(capture.path);
    const std::string fields = " -T fields -e frame.len -e frame.cap_len -e frame.len_lt_caplen -e _ws.col.Info";
    const std::vector<std::string> theirs = lines_of(run_command("tshark -r " + quoted + fields + " 2>/dev/null"));
    ASSERT_EQ(theirs.size(), 3u);
    ASSERT_EQ(theirs[0].rfind(std::to_string(size - 10) + "\t" + std::to_string(size) + "\t1\t", 0), 0u);

    ASSERT_EQ(gInitEpan(), 0);
    const char *const names[] = {"frame.len", "frame.cap_len", "frame.len_lt_caplen"};
    int32_t ids[3], type;
    for (const char *name : names)
        ASSERT_EQ(gRegisterProtocolFieldFilter(name, "LEN"), 0);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(gGetProtocolFieldFilterInfo(names[i], &ids[i], &type), 0);
    ASSERT_EQ(gOpenCapture(capture.path.c_str()), 0);
    std::vector<PacketSummary> packets;
    PacketSummary s;
    while (gGetNextPacket(&s) == 0) {
        packets.push_back(s);
        std::string ours;
        int32_t count = 0;
        const int32_t *matched = nullptr;
        ASSERT_EQ(gLastPacketHasPassedFilter("LEN", &count, &matched), 0);
        for (int32_t id : ids) {
            const char *text = nullptr;
            int32_t text_size = 0;
            if (std::find(matched, matched + count, id) != matched + count &&
                gGetFieldValueText(&text, &text_size, id) == 0)
                ours += text;
            ours += "\t";
        }
        ours += s.info_text;
        EXPECT_EQ(ours, theirs.at(packets.size() - 1));
        EXPECT_EQ(s.captured_length, size);
    }
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0].packet_length, size - 10);
    EXPECT_EQ(packets[2].packet_length, 0u);

    // The tree's frame length, as tshark -V shows it.
    int32_t length = 0, nodes = 0;
    const uint8_t *bytes = nullptr;
    const PacketSummary &first = packets[0];
    ASSERT_EQ(gBuildPacketProtocolTree(&length, &bytes, first.frame_number, first.file_offset,
                                       static_cast<int32_t>(first.captured_length), first.packet_length,
                                       first.encapsulation),
              0);
    EXPECT_EQ(length, static_cast<int32_t>(size));
    ASSERT_EQ(gGetProtocolTreeNodesCount(&nodes), 0);
    std::string labels;
    for (int32_t i = 0; i < nodes; ++i) {
        TreeNode node;
        ASSERT_EQ(gGetTreeNodeByIndex(&node, i), 0);
        if (std::string(node.label).find("ength") != std::string::npos)
            labels += std::string(node.label) + "\n";
    }
    EXPECT_NE(labels.find("Frame Length: " + std::to_string(size - 10) + " bytes"), std::string::npos) << labels;
    EXPECT_NE(labels.find("[Frame length is less than captured length]"), std::string::npos) << labels;

    // Saved, the records keep both lengths.
    const std::string saved = capture.file("saved.pcap");
    ASSERT_EQ(gCreateCaptureFileForSave(saved.c_str()), 0) << last_error();
    for (const PacketSummary &p : packets) {
        SavePacketRequest request{};
        request.frame_number = p.frame_number;
        request.packet_length = p.packet_length;
        request.captured_length = p.captured_length;
        request.file_offset = p.file_offset;
        request.time_seconds = p.time_seconds;
        request.time_nanoseconds = p.time_nanoseconds;
        request.encapsulation = p.encapsulation;
        uint8_t skipped = 0;
        ASSERT_EQ(gSavePacketToCaptureFile(&skipped, &request), 0) << last_error();
    }
    ASSERT_EQ(gCloseCaptureFileForSave(), 0);
    EXPECT_EQ(lines_of(run_command("tshark -r " + shell_quote(saved) + fields + " 2>/dev/null")), theirs);
    ASSERT_EQ(gCloseCapture(), 0);
}

TEST(CaptureReading, ArpHasOnlyLinkLayerAddresses)
{
    ASSERT_EQ(gInitEpan(), 0);
    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    PacketSummary s;
    ASSERT_EQ(gGetNextPacket(&s), 0);
    EXPECT_STREQ(s.protocol_text, "ARP");
    EXPECT_EQ(s.source_address_type, WSB_AT_ETHER);
    EXPECT_EQ(s.port_type, WSB_PT_NONE);
    EXPECT_EQ(s.source_port, 0);
    EXPECT_STREQ(s.source_text, "00:11:22:33:44:55");
    EXPECT_STREQ(s.destination_text, "ff:ff:ff:ff:ff:ff");
}

TEST(CaptureReading, EndOfCaptureIsReportedAgainAndKeepsTheCaptureOpen)
{
    sample_capture capture;
    pcapw::PcapWriter writer;
    for (int i = 0; i < 3; ++i)
        writer.add(1000 + i, 0, udp_packet());
    writer.write(capture.path);

    ASSERT_EQ(gInitEpan(), 0);
    ASSERT_EQ(gOpenCapture(capture.path.c_str()), 0);
    PacketSummary s, first;
    ASSERT_EQ(gGetNextPacket(&first), 0);
    ASSERT_EQ(gGetNextPacket(&s), 0);
    ASSERT_EQ(gGetNextPacket(&s), 0);
    EXPECT_EQ(s.frame_number, 3u);
    PacketSummary untouched;
    memset(&untouched, 0x55, sizeof untouched);
    PacketSummary after = untouched;
    EXPECT_EQ(gGetNextPacket(&after), 2);
    EXPECT_EQ(memcmp(&after, &untouched, sizeof after), 0);
    EXPECT_EQ(gGetNextPacket(&after), 2);
    EXPECT_EQ(gGetNextPacket(&after), 2);
    // Random access still works after the end.
    PacketSummary again;
    EXPECT_EQ(gGetPacketAtOffset(&again, first.frame_number, first.file_offset,
                                 static_cast<int32_t>(first.captured_length), first.packet_length,
                                 first.encapsulation),
              0);
    EXPECT_EQ(again.frame_number, 1u);
    EXPECT_STREQ(again.source_text, "10.0.0.1");
    EXPECT_EQ(gCloseCapture(), 0);
}

// An anonymous pipe is read in sequence as its packets arrive (as tshark
// reads one); re-reading a packet by offset is refused with a reason, never
// attempted.
TEST(CaptureReading, APipeIsReadInSequenceAndRefusesRandomAccess)
{
    sample_capture capture;
    pcapw::PcapWriter writer;
    for (int i = 0; i < 3; ++i)
        writer.add(1000 + i, 0, udp_packet());
    writer.write(capture.path);
    std::ifstream in(capture.path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const std::string reading_end = "/proc/self/fd/" + std::to_string(ends[0]);
    std::thread feeder([&] {
        for (size_t done = 0; done < bytes.size();) {
            ssize_t put = write(ends[1], bytes.data() + done, bytes.size() - done);
            if (put <= 0)
                break;
            done += static_cast<size_t>(put);
        }
        close(ends[1]);
    });
    const int32_t opened = gInitEpan() == 0 ? gOpenCapture(reading_end.c_str()) : 1;
    EXPECT_EQ(opened, 0) << last_error();
    // The pipe holds the whole capture: it is written at once, and the
    // checks may stop early without leaving the writer blocked.
    [&] {
        if (opened != 0)
            return;
        PacketSummary first, s;
        ASSERT_EQ(gGetNextPacket(&first), 0);
        EXPECT_STREQ(first.source_text, "10.0.0.1");
        EXPECT_EQ(gGetPacketAtOffset(&s, first.frame_number, first.file_offset,
                                     static_cast<int32_t>(first.captured_length), first.packet_length,
                                     first.encapsulation),
                  1);
        EXPECT_EQ(gGetLastErrorCode(), WSB_E_UNSUPPORTED);
        EXPECT_NE(last_error().find("read in sequence only"), std::string::npos) << last_error();
        ASSERT_EQ(gGetNextPacket(&s), 0);
        ASSERT_EQ(gGetNextPacket(&s), 0);
        EXPECT_EQ(s.frame_number, 3u);
        EXPECT_EQ(gGetNextPacket(&s), 2);
    }();
    if (opened == 0) {
        EXPECT_EQ(gCloseCapture(), 0);
    }
    feeder.join();
    close(ends[0]);
}

TEST(CaptureReading, ReopeningRestartsNumberingAndTimes)
{
    ASSERT_EQ(gInitEpan(), 0);
    PacketSummary s;
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
        for (uint32_t n = 1; n <= 5; ++n) {
            ASSERT_EQ(gGetNextPacket(&s), 0);
            EXPECT_EQ(s.frame_number, n);
        }
        EXPECT_EQ(s.relative_time, 210000);
        ASSERT_EQ(gCloseCapture(), 0);
    }
    // Opening a second capture while one is open starts it from frame 1 too.
    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    ASSERT_EQ(gGetNextPacket(&s), 0);
    ASSERT_EQ(gGetNextPacket(&s), 0);
    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    ASSERT_EQ(gGetNextPacket(&s), 0);
    EXPECT_EQ(s.frame_number, 1u);
    EXPECT_EQ(s.relative_time, 0);
}

// Nothing of one capture's reading reaches the next in the same process: every
// shared capture read a second time, after all of them, reads as the first
// time (the engine's 802.11 dissector counts associations over the process).
TEST(CaptureReading, EveryCaptureReadsAlikeASecondTime)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    const std::vector<std::string> names = shared_capture_names();
    std::vector<std::vector<std::string>> first;
    for (const std::string &name : names)
        first.push_back(reading_lines(shared_capture(name)));
    for (size_t i = 0; i < names.size(); ++i) {
        const std::vector<std::string> second = reading_lines(shared_capture(names[i]));
        ASSERT_EQ(second.size(), first[i].size()) << names[i];
        for (size_t k = 0; k < second.size(); ++k)
            EXPECT_EQ(second[k], first[i][k]) << names[i];
    }
    gCleanupEpan();
}

// Re-reading earlier packets by offset or as trees while reading in sequence
// leaves every later packet as a plain reading gives it, on every shared
// capture. One exception, the engine's own: its FTP dissector (4.0) records
// a request as the conversation's last command on every dissection, first or
// not, so a request re-read in the middle of the first reading names the
// command of an FTP data connection opened later. Only a new reading from
// the first packet after each re-read would hide that, at a cost that grows
// with the square of the capture's length.
TEST(CaptureReading, RereadingEarlierPacketsLeavesLaterOnesAlone)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    const std::set<std::string> engine_keeps_state_of_rereads = {"ftp-active.pcap"};
    for (const std::string &name : shared_capture_names()) {
        const std::string path = shared_capture(name);
        const std::vector<std::string> plain = reading_lines(path);
        uint32_t seed = 12345;
        const std::vector<std::string> rereading = reading_lines(path, [&](const std::vector<PacketSummary> &read) {
            seed = seed * 1103515245u + 12345u;
            const PacketSummary &p = read[(seed >> 8) % read.size()];
            if (seed % 3 == 0) {
                int32_t length = 0;
                const uint8_t *bytes = nullptr;
                gBuildPacketProtocolTree(&length, &bytes, p.frame_number, p.file_offset,
                                         static_cast<int32_t>(p.captured_length), p.packet_length, p.encapsulation);
                gFreePacketProtocolTree();
            } else {
                PacketSummary again;
                gGetPacketAtOffset(&again, p.frame_number, p.file_offset, static_cast<int32_t>(p.captured_length),
                                   p.packet_length, p.encapsulation);
            }
        });
        if (engine_keeps_state_of_rereads.count(name)) {
            EXPECT_NE(rereading, plain) << name << " reads alike now: take it off the list";
            continue;
        }
        ASSERT_EQ(rereading.size(), plain.size()) << name;
        for (size_t k = 0; k < plain.size(); ++k)
            EXPECT_EQ(rereading[k], plain[k]) << name;
    }
    gCleanupEpan();
}

TEST(CaptureReading, SnapshotLengthZeroIsAccepted)
{
    sample_capture capture;
    pcapw::PcapWriter writer(pcapw::LINKTYPE_ETHERNET, 0);
    writer.add(1000, 0, udp_packet());
    writer.write(capture.path);
    ASSERT_EQ(gInitEpan(), 0);
    ASSERT_EQ(gOpenCapture(capture.path.c_str()), 0);
    PacketSummary s;
    EXPECT_EQ(gGetNextPacket(&s), 0);
    EXPECT_EQ(gGetNextPacket(&s), 2);
}

TEST(CaptureErrors, FileCutInsideItsLastPacket)
{
    sample_capture capture;
    pcapw::PcapWriter writer;
    for (int i = 0; i < 3; ++i)
        writer.add(1000 + i, 0, udp_packet());
    writer.write_truncated(capture.path, writer.image().size() - 10);

    ASSERT_EQ(gInitEpan(), 0);
    ASSERT_EQ(gOpenCapture(capture.path.c_str()), 0);
    PacketSummary s;
    EXPECT_EQ(gGetNextPacket(&s), 0);
    EXPECT_EQ(gGetNextPacket(&s), 0);
    EXPECT_EQ(gGetNextPacket(&s), 1);
    EXPECT_EQ(last_error(), "The capture file appears to have been cut short in the middle of a packet.");
    EXPECT_EQ(s.frame_number, 2u);
    // Not marked as read to its end: the capture stays open and closes.
    EXPECT_EQ(gCloseCapture(), 0);
}

TEST(CaptureErrors, RecordClaimingAHugePacketIsDamage)
{
    sample_capture capture;
    pcapw::PcapWriter writer;
    for (int i = 0; i < 3; ++i)
        writer.add(1000 + i, 0, udp_packet());
    writer.add(1004, 0, 0x7fffffff, 0x7fffffff, udp_packet());
    writer.write(capture.path);

    ASSERT_EQ(gInitEpan(), 0);
    ASSERT_EQ(gOpenCapture(capture.path.c_str()), 0);
    PacketSummary s;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(gGetNextPacket(&s), 0);
    EXPECT_EQ(gGetNextPacket(&s), 1);
    EXPECT_EQ(last_error(), "The capture file appears to be damaged or corrupt.\n"
                            "(pcap: File has 2147483647-byte packet, bigger than maximum of 262144)");
}

TEST(CaptureErrors, OpenFailuresNameTheFile)
{
    sample_capture capture;
    {
        std::ofstream text(capture.path);
        text << "This is a text file, not a capture.\n" << std::string(200, 'x') << "\n";
    }
    ASSERT_EQ(gInitEpan(), 0);
    EXPECT_EQ(gOpenCapture(capture.path.c_str()), 1);
    EXPECT_EQ(last_error(), "The file \"" + capture.path + "\" isn't a capture file in an understandable format.");

    std::string missing = capture.file("missing.pcap");
    EXPECT_EQ(gOpenCapture(missing.c_str()), 1);
    EXPECT_EQ(last_error(), "The file \"" + missing + "\" doesn't exist.");

    EXPECT_EQ(gOpenCapture(capture.path.c_str() + capture.path.size() - 1), 1);  // a relative name
    EXPECT_EQ(gOpenCapture(nullptr), 1);
    EXPECT_NE(last_error().find("Open Capture"), std::string::npos);

    std::string directory = capture.path.substr(0, capture.path.rfind('/'));
    EXPECT_EQ(gOpenCapture(directory.c_str()), 1);
    EXPECT_NE(last_error().find(directory), std::string::npos) << last_error();
}

TEST(CaptureErrors, VeryLongPathGivesACutMessage)
{
    ASSERT_EQ(gInitEpan(), 0);
    std::string path = "/tmp/" + std::string(3000, 'p') + ".pcap";
    EXPECT_EQ(gOpenCapture(path.c_str()), 1);
    std::string message = last_error();
    EXPECT_LE(message.size(), 2048u);
    EXPECT_EQ(message.rfind("The file", 0), 0u) << message.substr(0, 80);
    EXPECT_NE(message.find("/tmp/ppp"), std::string::npos);
}

TEST(CaptureErrors, FailedOpenLeavesTheOpenCaptureReadable)
{
    ASSERT_EQ(gInitEpan(), 0);
    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    PacketSummary s;
    ASSERT_EQ(gGetNextPacket(&s), 0);
    EXPECT_EQ(gOpenCapture("/nonexistent/file.pcap"), 1);
    ASSERT_EQ(gGetNextPacket(&s), 0);
    EXPECT_EQ(s.frame_number, 2u);
}

TEST(CaptureErrors, NullSummaryIsRefused)
{
    ASSERT_EQ(gInitEpan(), 0);
    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    EXPECT_EQ(gGetNextPacket(nullptr), 1);
    EXPECT_NE(last_error().find("Get Next Packet"), std::string::npos);
    PacketSummary s;
    ASSERT_EQ(gGetNextPacket(&s), 0);
    EXPECT_EQ(s.frame_number, 1u);
}

