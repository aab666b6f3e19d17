// SPDX-License-Identifier: GPL-2.0-or-later
// Choosing the packets that sequential reading hands out, through the public
// interface: reading shares (a capture parted by conversation) and display
// filters, with tshark as the oracle for the packets a filter keeps.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "capture_support.h"
#include "wsbridge.h"
#include "pcap_writer.h"
#include "test_support.h"

using namespace wsbtest;
using namespace wsbcapture;

// What parting by conversation cannot keep: a tunnel's inner conversation
// is keyed by the tunnel's outer addresses, while the engine tracks it by
// its inner ones. The same inner TCP connection carried in two Geneve
// tunnels between other hosts is one conversation to one process (the
// second SYN is a retransmission) and two to two shares. Each line that
// differs is listed with that reason; nothing else may differ.
TEST(CaptureShares, TunnelsWhoseInnerConversationCrossesSharesAreTheListedDifference)
{
    ASSERT_EQ(gInitEpan(), 0);
    temp_dir dir;
    const std::string path = dir.file("tunnels.pcap");
    const auto inner_a = pcapw::ip4("30.0.0.2"), inner_b = pcapw::ip4("30.0.0.1");
    const auto mac_a = pcapw::mac("02:00:00:00:00:0a"), mac_b = pcapw::mac("02:00:00:00:00:0b");
    const pcapw::Bytes inner =
        pcapw::ethernet(mac_b, mac_a, 0x0800,
                        pcapw::ipv4(inner_a, inner_b, 6, pcapw::tcp_ipv4(inner_a, inner_b, 51225, 22, 1000, 0, 0x02, {})));
    pcapw::Bytes geneve = {0x00, 0x00, 0x65, 0x58, 0x00, 0x00, 0x01, 0x00};  // Ethernet inside, VNI 1
    pcapw::append(geneve, inner.data(), inner.size());
    // Two tunnels between other hosts, until their outer pairs fall into
    // different shares.
    size_t differing = 0;
    for (int tunnel = 2; tunnel < 40 && differing == 0; ++tunnel) {
        pcapw::PcapWriter writer;
        for (const std::string &outer : {std::string("10.0.0."), "10.0." + std::to_string(tunnel) + "."}) {
            writer.add(1700000000, writer.records().size() * 1000,
                       pcapw::ethernet(mac_b, mac_a, 0x0800,
                                       pcapw::ipv4(pcapw::ip4(outer + "1"), pcapw::ip4(outer + "2"), 17,
                                                   pcapw::udp(40000, 6081, geneve))));
        }
        writer.write(path);
        std::vector<std::string> whole;
        PacketSummary s;
        ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
        while (gGetNextPacket(&s) == WSB_OK)
            whole.push_back(s.info_text);
        ASSERT_EQ(gCloseCapture(), 0);
        ASSERT_EQ(whole.size(), 2u);
        ASSERT_NE(whole[1].find("[TCP Retransmission]"), std::string::npos) << whole[0] << " / " << whole[1];
        for (int32_t share = 0; share < 2; ++share) {
            ASSERT_EQ(gSetReadingShare(share, 2, WSB_SHARE_BY_ADDRESSES), 0);
            ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
            std::vector<uint32_t> frames;
            while (gGetNextPacket(&s) == WSB_OK) {
                frames.push_back(s.frame_number);
                if (s.info_text != whole[s.frame_number - 1]) {
                    // The second tunnel's SYN, alone in its share: no
                    // earlier SYN of that inner conversation there.
                    EXPECT_EQ(s.frame_number, 2u);
                    EXPECT_EQ("[TCP Retransmission] " + std::string(s.info_text), whole[1]);
                    ++differing;
                }
            }
            ASSERT_EQ(gCloseCapture(), 0);
            if (frames.size() == 2) {
                EXPECT_EQ(differing, 0u);  // both tunnels in one share: nothing differs
            }
        }
        ASSERT_EQ(gSetReadingShare(0, 1, WSB_SHARE_BY_ADDRESSES), 0);
    }
    EXPECT_EQ(differing, 1u);
}

// A share is set while no capture is open, names an existing share and key,
// and a packet of another share is not answered by offset.
TEST(CaptureShares, SetOnlyBetweenCapturesAndRefusedForOtherSharesPackets)
{
    EXPECT_EQ(gSetReadingShare(0, 2, WSB_SHARE_BY_ADDRESSES), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_NOT_STARTED);
    ASSERT_EQ(gInitEpan(), 0);
    for (auto [index, count, key] : {std::tuple{0, 0, 0}, std::tuple{2, 2, 0}, std::tuple{-1, 2, 0},
                                     std::tuple{0, 2, 2}, std::tuple{0, 2, -1}}) {
        EXPECT_EQ(gSetReadingShare(index, count, key), 1);
        EXPECT_EQ(gGetLastErrorCode(), WSB_E_BAD_ARGUMENT) << last_error();
    }
    const std::string path = shared_capture("DnsPackets.pcap");
    std::vector<PacketSummary> whole;
    PacketSummary s;
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    while (gGetNextPacket(&s) == WSB_OK)
        whole.push_back(s);
    EXPECT_EQ(gSetReadingShare(1, 2, WSB_SHARE_BY_ENDPOINTS), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_STATE);
    ASSERT_EQ(gCloseCapture(), 0);

    ASSERT_EQ(gSetReadingShare(1, 2, WSB_SHARE_BY_ENDPOINTS), 0);
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    std::vector<bool> mine(whole.size() + 1, false);
    size_t count = 0;
    while (gGetNextPacket(&s) == WSB_OK) {
        mine[s.frame_number] = true;
        ++count;
    }
    ASSERT_GT(count, 0u);
    ASSERT_LT(count, whole.size());  // many conversations over two shares
    for (const PacketSummary &packet : whole) {
        SCOPED_TRACE("frame " + std::to_string(packet.frame_number));
        const int32_t status = gGetPacketAtOffset(&s, packet.frame_number, packet.file_offset,
                                                  packet.captured_length, packet.packet_length, packet.encapsulation);
        if (mine[packet.frame_number]) {
            EXPECT_EQ(status, 0) << last_error();
        } else {
            EXPECT_EQ(status, 1);
            EXPECT_EQ(gGetLastErrorCode(), WSB_E_STATE);
            EXPECT_NE(last_error().find("belongs to another share"), std::string::npos) << last_error();
        }
    }
    ASSERT_EQ(gCloseCapture(), 0);
    EXPECT_EQ(gSetReadingShare(0, 1, WSB_SHARE_BY_ADDRESSES), 0);
}

// Under a display filter, sequential reading returns the packets tshark's
// single pass with -Y shows (same preferences), with their numbers, times and
// Info: the packets in between were dissected all the same.
TEST(CaptureDisplayFilter, KeepsThePacketsTsharkKeeps)
{
    const char *const files[] = {"example2.pcap", "dns_udp.pcap", "three_http_streams.pcap", "icmpv6.pcap",
                                 "one_ipv6_http_stream.pcap", "LACP.pcap"};
    const char *const filters[] = {
        "tcp", "http || dns", "ip.len > 100 && !icmp", "tcp.analysis.ack_rtt", "frame.number > 3 && !arp",
        "ipv6", "tcp.stream == 1", "frame.time_delta_displayed > 0.2", "tcp.flags.syn == 1 and tcp.flags.ack == 0",
        "slow"};
    ASSERT_EQ(gInitEpan(), 0);
    size_t compared = 0, left_out = 0;
    for (const char *file : files) {
        const std::string path = shared_capture(file);
        int total_status = 0;
        const size_t total = tshark_rows(path, &total_status).size();
        for (const char *filter : filters) {
            SCOPED_TRACE(std::string(file) + " -Y '" + filter + "'");
            std::vector<oracle_row> rows = tshark_rows(path, nullptr, std::string(tshark_prefs()) + " -Y " + shell_quote(filter));
            ASSERT_EQ(gSetDisplayFilter(filter), 0) << last_error();
            ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
            PacketSummary s;
            size_t index = 0;
            while (gGetNextPacket(&s) == 0) {
                ASSERT_LT(index, rows.size());
                const oracle_row &row = rows[index++];
                EXPECT_EQ(std::to_string(s.frame_number), row.number);
                EXPECT_EQ(std::to_string(s.file_offset), row.offset);
                EXPECT_EQ(std::string(s.info_text), cut(row.info, 255));
            }
            EXPECT_EQ(index, rows.size()) << last_error();
            compared += index;
            left_out += total - rows.size();
            ASSERT_EQ(gCloseCapture(), 0);
        }
    }
    EXPECT_GT(compared, 5000u);
    EXPECT_GT(left_out, 5000u);
}

// A filter the engine cannot compile is refused with the engine's own
// message (what tshark prints after its name) and the filter before stays;
// an empty filter clears it, also in the middle of reading.
TEST(CaptureDisplayFilter, RefusedFiltersKeepThePreviousOneAndEmptyClears)
{
    std::string tshark_error =
        run_command("tshark -r " + shell_quote(WSB_SAMPLE_CAPTURE) + " -Y 'tcp.port ==' 2>&1 >/dev/null");
    const size_t at = tshark_error.find("tshark: ");
    ASSERT_NE(at, std::string::npos) << tshark_error;
    tshark_error = tshark_error.substr(at + 8);
    tshark_error.erase(tshark_error.find_last_not_of('\n') + 1);

    ASSERT_EQ(gInitEpan(), 0);
    ASSERT_EQ(gSetDisplayFilter("arp"), 0);
    EXPECT_EQ(gSetDisplayFilter("tcp.port =="), 1);
    EXPECT_EQ(last_error(), tshark_error);
    EXPECT_EQ(gSetDisplayFilter("nonsense.field"), 1);
    EXPECT_NE(last_error().find("nonsense.field"), std::string::npos) << last_error();
    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    PacketSummary s;
    ASSERT_EQ(gGetNextPacket(&s), 0);
    EXPECT_EQ(std::string(s.protocol_text), "ARP");
    const uint32_t first_arp = s.frame_number;
    ASSERT_EQ(gSetDisplayFilter("http"), 0);  // between packets
    ASSERT_EQ(gGetNextPacket(&s), 0);
    EXPECT_EQ(std::string(s.protocol_text), "HTTP");
    const uint32_t first_http = s.frame_number;
    EXPECT_GT(first_http, first_arp + 1);
    ASSERT_EQ(gSetDisplayFilter("  "), 0);
    ASSERT_EQ(gGetNextPacket(&s), 0);
    EXPECT_EQ(s.frame_number, first_http + 1);
    ASSERT_EQ(gSetDisplayFilter("frame.number == 1"), 0);
    EXPECT_EQ(gGetNextPacket(&s), 2);  // nothing more matches
    ASSERT_EQ(gSetDisplayFilter(nullptr), 0);
    EXPECT_EQ(gCleanupEpan(), 0);
    EXPECT_EQ(gSetDisplayFilter("tcp"), 1);
    EXPECT_EQ(last_error(), "\"Set Display Filter\" operation failed. Wireshark engine was already uninitialized.");
}

// The engine's compiler nests one level per operator of a chain: a chain
// deeper than it can compile is refused with a message instead of exhausting
// the stack, while long chains of a sane depth, the same terms grouped in
// parentheses and long lists of values compile and keep what tshark keeps.
TEST(CaptureDisplayFilter, TooDeepFiltersAreRefusedLongFlatOnesWork)
{
    auto chain = [](int first, int count, const char *separator) {
        std::string text;
        for (int i = first; i < first + count; ++i)
            text += (i > first ? separator : "") + std::string("frame.number == ") + std::to_string(i);
        return text;
    };
    auto kept = [](size_t *count) {
        PacketSummary s;
        EXPECT_EQ(gOpenCapture(shared_capture("example2.pcap").c_str()), 0) << last_error();
        *count = 0;
        while (gGetNextPacket(&s) == 0)
            ++*count;
        EXPECT_EQ(gCloseCapture(), 0);
    };
    ASSERT_EQ(gInitEpan(), 0);
    ASSERT_EQ(gSetDisplayFilter("tcp"), 0);
    const std::string deep = chain(1, 60000, " || ");
    EXPECT_EQ(gSetDisplayFilter(deep.c_str()), 1);
    EXPECT_EQ(last_error(), "\"Set Display Filter\" operation failed. The filter nests 59999 operators, more than "
                            "the 2000 the engine can compile (group long chains of operators in parentheses, or "
                            "list values with \"in {...}\").");
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_LIMIT);
    const std::string arithmetic = "frame.number == {1" + std::string(3000, '+') + "1}";
    EXPECT_EQ(gSetDisplayFilter(arithmetic.c_str()), 1);
    // The filter before stays.
    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    PacketSummary s;
    while (gGetNextPacket(&s) == 0)
        EXPECT_EQ(s.port_type, WSB_PT_TCP);
    ASSERT_EQ(gCloseCapture(), 0);
    size_t count = 0;

    ASSERT_EQ(gSetDisplayFilter(chain(1, 2001, " || ").c_str()), 0) << last_error();
    kept(&count);
    EXPECT_EQ(count, 2001u);
    std::string grouped;
    for (int group = 0; group < 4; ++group)
        grouped += (group ? " or (" : "(") + chain(1 + group * 1000, 1000, " or ") + ")";
    ASSERT_EQ(gSetDisplayFilter(grouped.c_str()), 0) << last_error();
    kept(&count);
    EXPECT_EQ(count, 4000u);
    std::string list = "frame.number in {";
    for (int i = 2; i <= 8000; i += 2)
        list += std::to_string(i) + (i < 8000 ? ", " : "} && frame.comment != \"a || b && c + d\"");
    ASSERT_EQ(gSetDisplayFilter(list.c_str()), 0) << last_error();
    kept(&count);
    EXPECT_EQ(count, 0u);  // (no comments in this capture)
    ASSERT_EQ(gSetDisplayFilter(list.substr(0, list.find(" && ")).c_str()), 0) << last_error();
    kept(&count);
    EXPECT_EQ(count, 4709u / 2);
}

