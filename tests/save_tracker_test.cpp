// SPDX-License-Identifier: GPL-2.0-or-later
// The TCP sequence tracker behind the skip flag of a save request, through
// the public interface on conversations built byte for byte, and the
// command-line host's save command.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
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

// A selection without packets (a capture that has none, with "all", "1-" or
// -Y alone; a filter that matches nothing) writes a valid empty capture in
// every format, as tshark -w and editcap do, and counts what it left out.
TEST(SaveCliTest, AnEmptySelectionWritesAnEmptyCapture)
{
    temp_dir dir;
    const std::string libpcap = dir.file("empty.pcap"), pcapng = dir.file("empty.pcapng");
    pcapw::PcapWriter().write(libpcap);
    pcapw::write_file(pcapng, pcapw::pcapng_image({pcapw::PcapngInterface{}}, {}));
    const auto packets_in = [](const std::string &path) {
        return run_command("capinfos -c -M " + shell_quote(path) + " 2>&1 | sed -n 's/^Number of packets: *//p'");
    };
    const std::string out = dir.file("out");
    int status = -1;
    for (const std::string &capture : {libpcap, pcapng}) {
        const std::string cli = std::string(WSB_CLI) + " save " + shell_quote(capture) + " ";
        for (const char *format : {"pcap", "nsecpcap", "pcapng"}) {
            for (const char *selection : {"all", "1-", "-Y frame", "all -Y frame"}) {
                SCOPED_TRACE(capture + " " + format + " " + selection);
                std::filesystem::remove(out);
                const bool filtered = std::string(selection).find("-Y") != std::string::npos;
                EXPECT_EQ(run_command(cli + shell_quote(out) + " " + selection + " -F " + format + " 2>&1", &status),
                          filtered ? "0 written, 0 skipped, 0 not matching the filter\n" : "0 written, 0 skipped\n");
                EXPECT_EQ(status, 0);
                EXPECT_EQ(packets_in(out), "0\n");
                EXPECT_EQ(run_command("capinfos -t -M " + shell_quote(out) + " 2>/dev/null | sed -n 's/^File type: *//p'"),
                          std::string(format) + "\n");
            }
        }
        // Standard output: the capture's own format.
        EXPECT_EQ(run_command(cli + "- all 2>/dev/null | capinfos -c -M - 2>&1 | sed -n 's/^Number of packets: *//p'"),
                  "0\n");
    }
    // A filter that matches nothing: the converter's empty file, the same
    // header byte for byte.
    const std::string capture = shell_quote(shared_capture("dns_udp.pcap"));
    const std::string reference = dir.file("tshark.pcap");
    run_command("tshark -r " + capture + " -Y tcp -w " + shell_quote(reference) + " -F pcap 2>/dev/null");
    EXPECT_EQ(run_command(std::string(WSB_CLI) + " save " + capture + " " + shell_quote(out) + " -Y tcp -F pcap 2>&1",
                          &status),
              "0 written, 0 skipped, 2 not matching the filter\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(packets_in(out), "0\n");
    EXPECT_EQ(run_command("cmp " + shell_quote(out) + " " + shell_quote(reference) + " 2>&1"), "");
    // A range that starts beyond the capture is still a mistake.
    EXPECT_EQ(run_command(std::string(WSB_CLI) + " save " + shell_quote(libpcap) + " " + shell_quote(out) + " 2- 2>&1",
                          &status),
              "wsbridge save: there is no frame 2: the capture has no packets\n"
              "Run 'wsbridge save --help' for usage.\n");
    EXPECT_EQ(status, 2);
}

// The capture written to standard output goes into a pipe that its reader
// closes: the save ends quietly, as by SIGPIPE (status 141, as summary and
// tshark end), and claims nothing written.
TEST(SaveCliTest, AClosedPipeEndsTheSaveQuietly)
{
    temp_dir dir;
    const std::string capture = shell_quote(shared_capture("example2.pcap"));
    const std::string err = dir.file("err");
    for (const char *format : {"pcap", "pcapng"}) {
        SCOPED_TRACE(format);
        const std::string command = std::string(WSB_CLI) + " save " + capture + " - all -F " + format + " 2>" +
                                    shell_quote(err) + " | head -c 100 >/dev/null; echo \"status ${PIPESTATUS[0]}\"";
        EXPECT_EQ(run_command("bash -c " + shell_quote(command)), "status 141\n");
        EXPECT_EQ(run_command("cat " + shell_quote(err)), "");
    }
    // Any other failed write is reported, and nothing is claimed written.
    int status = -1;
    EXPECT_EQ(run_command(std::string(WSB_CLI) + " save " + capture + " - all 2>&1 >/dev/full", &status),
              "wsbridge: cannot write the output: No space left on device\n");
    EXPECT_EQ(status, 1);
}

// The count of listed packets that do not match the filter takes in every
// listed frame, also those an open range ("all", "N-", -Y alone) reaches
// after the last match; tshark -Y counts the matches.
TEST(SaveCliTest, TheCountNotMatchingTheFilterCoversOpenRanges)
{
    temp_dir dir;
    const std::string out = shell_quote(dir.file("out.pcap"));
    int status = -1;
    // Two packets: the query matches, the response (the last frame) does not.
    const std::string dns = std::string(WSB_CLI) + " save " + shell_quote(shared_capture("dns_udp.pcap")) + " " + out;
    for (const char *frames : {" all", " 1-", "", " 1-2", " 2-", " 1,2-"}) {
        SCOPED_TRACE(frames);
        const bool second_only = std::string(frames) == " 2-";
        EXPECT_EQ(run_command(dns + frames + " -Y dns.flags.response==0 2>&1", &status),
                  second_only ? "0 written, 0 skipped, 1 not matching the filter\n"
                              : "1 written, 0 skipped, 1 not matching the filter\n");
        EXPECT_EQ(status, 0);
    }
    const std::string example = shared_capture("example2.pcap");
    const size_t frames = lines_of(run_command("tshark -r " + shell_quote(example) + " 2>/dev/null")).size();
    const size_t matching = lines_of(run_command("tshark -r " + shell_quote(example) + " -Y dns 2>/dev/null")).size();
    ASSERT_GT(frames, matching);
    EXPECT_EQ(run_command(std::string(WSB_CLI) + " save " + shell_quote(example) + " " + out + " all -Y dns 2>&1", &status),
              std::to_string(matching) + " written, 0 skipped, " + std::to_string(frames - matching) +
                  " not matching the filter\n");
    EXPECT_EQ(read_pcap(dir.file("out.pcap")).records.size(), matching);
}

}  // namespace
