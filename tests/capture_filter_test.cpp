// SPDX-License-Identifier: GPL-2.0-or-later
// Choosing the packets that sequential reading hands out, through the public
// interface: reading shares (a capture parted by conversation) and display
// filters, with tshark as the oracle for the packets a filter keeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "capture_support.h"
#include "wsbridge.h"
#include "pcap_writer.h"
#include "test_support.h"

using namespace wsbtest;
using namespace wsbcapture;

namespace {

// The Info texts one process gives a capture, and the frames whose Info
// differs when `count` processes read it in shares by `key`. Every frame
// must fall in exactly one share.
struct shares_reading {
    std::vector<std::string> whole;
    std::map<uint32_t, std::string> differing;  // frame: the Info its share gave
    std::vector<size_t> sizes;                   // packets of each share
};

shares_reading read_in_shares(const std::string &path, int32_t count, int32_t key)
{
    shares_reading r;
    PacketSummary s;
    EXPECT_EQ(gSetReadingShare(0, 1, key), 0) << last_error();
    EXPECT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    while (gGetNextPacket(&s) == WSB_OK)
        r.whole.push_back(s.info_text);
    EXPECT_EQ(gCloseCapture(), 0);
    std::vector<int> seen(r.whole.size() + 1, 0);
    for (int32_t share = 0; share < count; ++share) {
        EXPECT_EQ(gSetReadingShare(share, count, key), 0) << last_error();
        EXPECT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
        size_t size = 0;
        while (gGetNextPacket(&s) == WSB_OK) {
            ++size;
            if (s.frame_number == 0 || s.frame_number > r.whole.size())
                continue;
            ++seen[s.frame_number];
            if (s.info_text != r.whole[s.frame_number - 1])
                r.differing[s.frame_number] = s.info_text;
        }
        EXPECT_EQ(gCloseCapture(), 0);
        r.sizes.push_back(size);
    }
    EXPECT_EQ(gSetReadingShare(0, 1, WSB_SHARE_BY_ADDRESSES), 0);
    for (size_t frame = 1; frame < seen.size(); ++frame)
        EXPECT_EQ(seen[frame], 1) << "frame " << frame << " of " << path;
    return r;
}

const pcapw::Mac mac_a = pcapw::mac("02:00:00:00:00:0a"), mac_b = pcapw::mac("02:00:00:00:00:0b");

pcapw::Bytes ip4_frame(const std::string &from, const std::string &to, uint8_t protocol, const pcapw::Bytes &payload)
{
    return pcapw::ethernet(mac_b, mac_a, 0x0800, pcapw::ipv4(pcapw::ip4(from), pcapw::ip4(to), protocol, payload));
}

void write_frames(const std::string &path, const std::vector<pcapw::Bytes> &frames)
{
    pcapw::PcapWriter writer;
    for (const pcapw::Bytes &frame : frames)
        writer.add(1700000000, writer.records().size() * 1000, frame);
    writer.write(path);
}

// A SIP INVITE from 10.0.0.1 to 10.0.0.2 on `port` whose SDP offers audio
// at 10.0.0.1:40000, and RTP to that port from `media_from`:30000.
std::vector<pcapw::Bytes> sip_call(uint16_t port, const std::string &media_from)
{
    const std::string sdp = "v=0\r\no=- 1 1 IN IP4 10.0.0.1\r\ns=-\r\nc=IN IP4 10.0.0.1\r\nt=0 0\r\n"
                            "m=audio 40000 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n";
    const std::string p = std::to_string(port);
    const std::string invite = "INVITE sip:b@10.0.0.2:" + p + " SIP/2.0\r\nVia: SIP/2.0/UDP 10.0.0.1:" + p +
                               ";branch=z9hG4bK1\r\nFrom: <sip:a@10.0.0.1>;tag=1\r\nTo: <sip:b@10.0.0.2>\r\n"
                               "Call-ID: 1@10.0.0.1\r\nCSeq: 1 INVITE\r\nContact: <sip:a@10.0.0.1:" + p +
                               ">\r\nMax-Forwards: 70\r\nContent-Type: application/sdp\r\nContent-Length: " +
                               std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
    std::vector<pcapw::Bytes> frames = {
        ip4_frame("10.0.0.1", "10.0.0.2", 17, pcapw::udp(port, port, pcapw::to_bytes(invite)))};
    for (uint16_t sequence = 1; sequence <= 2; ++sequence) {
        pcapw::Bytes rtp = {0x80, 0x00, 0x00, static_cast<uint8_t>(sequence), 0, 0, 0, 0, 0, 0, 0x12, 0x34};
        rtp.resize(rtp.size() + 160, 0xff);
        frames.push_back(ip4_frame(media_from, "10.0.0.1", 17, pcapw::udp(30000, 40000, rtp)));
    }
    return frames;
}

}  // namespace

// Tunnels read through by the balanced shares: the key is the innermost
// conversation, the one the engine tracks, so that a conversation carried in a tunnel stays with the
// same conversation carried plainly or in another tunnel. A 6to4 relay
// answers from another address than the anycast one the client sent to (one
// inner FTP connection, two outer pairs); the same ICMP echo request is seen
// plainly and again inside IP-in-IP, GRE and Geneve tunnels before its reply.
TEST(CaptureShares, TunnelsReadThroughKeepTheirInnerConversation)
{
    ASSERT_EQ(gInitEpan(), 0);
    temp_dir dir;
    const auto client = pcapw::ip6("2002:c000:201::1"), server = pcapw::ip6("2001:db8::21");
    auto ftp = [&](bool from_client, uint32_t seq, uint32_t ack, const std::string &text) {
        const pcapw::Bytes segment = from_client
                                         ? pcapw::tcp_ipv6(client, server, 50000, 21, seq, ack, 0x18, pcapw::to_bytes(text))
                                         : pcapw::tcp_ipv6(server, client, 21, 50000, seq, ack, 0x18, pcapw::to_bytes(text));
        const pcapw::Bytes inner =
            from_client ? pcapw::ipv6(client, server, 6, segment) : pcapw::ipv6(server, client, 6, segment);
        return from_client ? ip4_frame("192.0.2.1", "192.88.99.1", 41, inner)
                           : ip4_frame("198.51.100.7", "192.0.2.1", 41, inner);
    };
    write_frames(dir.file("6to4.pcap"), {ftp(true, 1000, 5000, "USER anonymous\r\n"),
                                         ftp(false, 5000, 2000, "331 Password required\r\n"),
                                         ftp(true, 2000, 5024, "PASS x\r\n"), ftp(false, 5024, 2008, "230 Logged in\r\n")});
    const pcapw::Bytes request = pcapw::ipv4(pcapw::ip4("10.1.1.1"), pcapw::ip4("10.2.2.2"), 1,
                                             pcapw::icmp_echo(false, 7, 1, pcapw::Bytes(8, 'x')));
    const pcapw::Bytes reply = ip4_frame("10.2.2.2", "10.1.1.1", 1, pcapw::icmp_echo(true, 7, 1, pcapw::Bytes(8, 'x')));
    const pcapw::Bytes other = ip4_frame("10.9.9.9", "10.8.8.8", 17, pcapw::udp(5000, 5001, pcapw::Bytes(8, 'x')));
    pcapw::Bytes gre = {0x00, 0x00, 0x08, 0x00};  // IPv4 inside
    pcapw::append(gre, request.data(), request.size());
    pcapw::Bytes geneve = {0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x01, 0x00};  // IPv4 inside, VNI 1
    pcapw::append(geneve, request.data(), request.size());
    const pcapw::Bytes plain = pcapw::ethernet(mac_b, mac_a, 0x0800, request);
    write_frames(dir.file("ipip.pcap"), {plain, other, ip4_frame("192.0.2.1", "192.0.2.2", 4, request), reply});
    write_frames(dir.file("gre.pcap"), {plain, other, ip4_frame("192.0.2.1", "192.0.2.2", 47, gre), reply});
    write_frames(dir.file("geneve.pcap"),
                 {plain, other, ip4_frame("192.0.2.1", "192.0.2.2", 17, pcapw::udp(40000, 6081, geneve)), reply});
    for (const std::string name : {"6to4.pcap", "ipip.pcap", "gre.pcap", "geneve.pcap"}) {
        for (int32_t count : {2, 3, 4}) {
            {
                SCOPED_TRACE(name + ", " + std::to_string(count) + " shares");
                const shares_reading r = read_in_shares(dir.file(name), count, WSB_SHARE_BALANCED);
                ASSERT_EQ(r.whole.size(), 4u);
                if (name == "6to4.pcap") {
                    EXPECT_EQ(r.whole[1], "[TCP ACKed unseen segment] Response: 331 Password required");
                } else if (name != "geneve.pcap") {
                    // (The engine keys the ICMP in a UDP tunnel with the
                    // tunnel's ports: there, its request is frame 1.)
                    EXPECT_NE(r.whole[3].find("(request in 3)"), std::string::npos) << r.whole[3];
                }
                for (const auto &[frame, info] : r.differing)
                    ADD_FAILURE() << "frame " << frame << ": " << info << " / " << r.whole[frame - 1];
            }
        }
    }
}

// What parting by conversation cannot keep: a tunnel the key does not read
// through (Teredo, GTP-U, L2TP and other UDP tunnels but VXLAN and Geneve)
// is keyed by its outer addresses, while the engine tracks its inner
// conversation. The same inner TCP connection carried in two Teredo tunnels
// between other hosts is one conversation to one process (the second SYN is
// a retransmission) and two to two shares. Each line that differs is listed
// with that reason; nothing else may differ.
TEST(CaptureShares, TunnelsWhoseInnerConversationCrossesSharesAreTheListedDifference)
{
    ASSERT_EQ(gInitEpan(), 0);
    temp_dir dir;
    const std::string path = dir.file("tunnels.pcap");
    const auto inner_a = pcapw::ip6("2001:0:4136:e378::2"), inner_b = pcapw::ip6("2001:db8::1");
    const pcapw::Bytes inner =
        pcapw::ipv6(inner_a, inner_b, 6, pcapw::tcp_ipv6(inner_a, inner_b, 51225, 22, 1000, 0, 0x02, {}));
    // Two tunnels between other hosts, until their outer pairs fall into
    // different shares (the balanced shares part them at once: each pair
    // goes to the share with the fewest packets).
    for (int32_t key : {WSB_SHARE_BY_ADDRESSES, WSB_SHARE_BALANCED}) {
        SCOPED_TRACE("key " + std::to_string(key));
        size_t differing = 0;
        for (int tunnel = 2; tunnel < 40 && differing == 0; ++tunnel) {
            std::vector<pcapw::Bytes> frames;
            for (const std::string &outer : {std::string("10.0.0."), "10.0." + std::to_string(tunnel) + "."})
                frames.push_back(ip4_frame(outer + "1", outer + "2", 17, pcapw::udp(40000, 3544, inner)));
            write_frames(path, frames);
            const shares_reading r = read_in_shares(path, 2, key);
            ASSERT_EQ(r.whole.size(), 2u);
            ASSERT_NE(r.whole[1].find("[TCP Retransmission]"), std::string::npos) << r.whole[0] << " / " << r.whole[1];
            for (const auto &[frame, info] : r.differing) {
                // The second tunnel's SYN, alone in its share: no earlier
                // SYN of that inner conversation there.
                EXPECT_EQ(frame, 2u);
                EXPECT_EQ("[TCP Retransmission] " + info, r.whole[1]);
                ++differing;
            }
            if (key == WSB_SHARE_BALANCED) {
                EXPECT_EQ(differing, 1u);
            }
        }
        EXPECT_EQ(differing, 1u);
    }
}

// RTP that SIP sets up is known as RTP only where the SIP was dissected:
// media between other addresses than the signalling (a phone sending to
// the one that called through a proxy) is another conversation and may be
// in another share; with the balanced shares, so may media on the same
// pair of hosts when that pair carries more than its share and its SIP runs
// on another port than 5060 or 5061 (the engine finds SIP on any port).
// On 5060, the pair is never parted.
TEST(CaptureShares, MediaSetUpByOtherConversationsIsTheListedDifference)
{
    ASSERT_EQ(gInitEpan(), 0);
    temp_dir dir;
    const struct {
        uint16_t port;
        const char *media_from;
        int32_t key;
        bool differs;
    } calls[] = {{5060, "10.0.0.3", WSB_SHARE_BALANCED, true},  {5060, "10.0.0.3", WSB_SHARE_BY_ADDRESSES, true},
                 {5080, "10.0.0.2", WSB_SHARE_BALANCED, true},  {5060, "10.0.0.2", WSB_SHARE_BALANCED, false},
                 {5080, "10.0.0.2", WSB_SHARE_BY_ADDRESSES, false}};
    for (const auto &call : calls) {
        SCOPED_TRACE("SIP on " + std::to_string(call.port) + ", media from " + call.media_from + ", key " +
                     std::to_string(call.key));
        const std::string path = dir.file("call.pcap");
        std::vector<pcapw::Bytes> frames = sip_call(call.port, call.media_from);
        shares_reading r;
        // Address pairs are hashed: other media addresses until the pairs
        // fall into different shares.
        for (int host = 3; host < 40; ++host) {
            if (call.key == WSB_SHARE_BY_ADDRESSES && std::string(call.media_from) != "10.0.0.2")
                frames = sip_call(call.port, "10.0.0." + std::to_string(host));
            write_frames(path, frames);
            r = read_in_shares(path, 2, call.key);
            if (!r.differing.empty() || !call.differs)
                break;
        }
        ASSERT_EQ(r.whole.size(), 3u);
        EXPECT_EQ(r.whole[1].rfind("PT=ITU-T G.711 PCMU", 0), 0u) << r.whole[1];
        if (!call.differs) {
            EXPECT_TRUE(r.differing.empty());
            continue;
        }
        ASSERT_EQ(r.differing.size(), 2u);
        for (const auto &[frame, info] : r.differing) {
            EXPECT_GE(frame, 2u);
            EXPECT_EQ(info, "30000 → 40000 Len=172");  // plain UDP
        }
    }
}

// The balanced shares part a busy pair of hosts by connection, keep each
// connection whole, and the fragments of a datagram together with the
// first one, wherever its connection went. A datagram whose later fragment
// comes first stays whole in the pair's share, away from its connection's:
// the listed difference.
TEST(CaptureShares, BalancedSharesPartABusyPairByConnection)
{
    ASSERT_EQ(gInitEpan(), 0);
    temp_dir dir;
    std::vector<pcapw::Bytes> frames;
    const auto a = pcapw::ip4("10.0.0.1"), b = pcapw::ip4("10.0.0.2");
    // Eight parallel connections of one client and one server, their
    // packets interleaved; then DNS answers in two fragments each.
    for (int round = 0; round < 20; ++round) {
        for (uint16_t connection = 0; connection < 8; ++connection) {
            const uint16_t port = static_cast<uint16_t>(50000 + connection);
            const uint32_t seq = 1000 + round * 10;
            frames.push_back(round == 0 ? pcapw::eth_ipv4_tcp(mac_b, mac_a, a, b, port, 80, 999, 0, 0x02)
                                        : pcapw::eth_ipv4_tcp(mac_b, mac_a, a, b, port, 80, seq, 1, 0x18,
                                                              pcapw::Bytes(10, 'x')));
        }
    }
    for (uint16_t query = 0; query < 6; ++query) {
        const pcapw::Bytes datagram = pcapw::udp_ipv4(b, a, 53, static_cast<uint16_t>(40000 + query), pcapw::Bytes(64, 0));
        const uint16_t id = static_cast<uint16_t>(100 + query);
        frames.push_back(pcapw::ethernet(mac_b, mac_a, 0x0800,
                                         pcapw::ipv4(b, a, 17, pcapw::Bytes(datagram.begin(), datagram.begin() + 40), 64,
                                                     id, 0x2000)));
        frames.push_back(pcapw::ethernet(mac_b, mac_a, 0x0800,
                                         pcapw::ipv4(b, a, 17, pcapw::Bytes(datagram.begin() + 40, datagram.end()), 64,
                                                     id, 40 / 8)));
    }
    write_frames(dir.file("pair.pcap"), frames);
    const shares_reading r = read_in_shares(dir.file("pair.pcap"), 2, WSB_SHARE_BALANCED);
    ASSERT_EQ(r.whole.size(), frames.size());
    EXPECT_TRUE(r.differing.empty());
    for (const auto &[frame, info] : r.differing)
        ADD_FAILURE() << "frame " << frame << ": " << info << " / " << r.whole[frame - 1];
    ASSERT_EQ(r.sizes.size(), 2u);
    EXPECT_GE(std::min(r.sizes[0], r.sizes[1]) * 10, frames.size() * 4) << r.sizes[0] << " / " << r.sizes[1];
    // The hash of the address pair puts it all in one share.
    const shares_reading hashed = read_in_shares(dir.file("pair.pcap"), 2, WSB_SHARE_BY_ADDRESSES);
    EXPECT_EQ(std::min(hashed.sizes[0], hashed.sizes[1]), 0u);

    // ARP (share 0, the pair's) makes share 1 the emptier one: a new
    // connection goes there. Its second segment comes in two fragments, the
    // later one first.
    for (int i = 0; i < 3; ++i)
        frames.push_back(pcapw::eth_arp_request(mac_a, a, b));
    const size_t syn = frames.size() + 1;
    frames.push_back(pcapw::eth_ipv4_tcp(mac_b, mac_a, a, b, 50100, 80, 999, 0, 0x02));
    frames.push_back(pcapw::eth_ipv4_tcp(mac_b, mac_a, a, b, 50100, 80, 1000, 1, 0x18, pcapw::Bytes(10, 'x')));
    const pcapw::Bytes segment = pcapw::tcp_ipv4(a, b, 50100, 80, 1010, 1, 0x18, pcapw::Bytes(40, 'y'));
    frames.push_back(pcapw::ethernet(mac_b, mac_a, 0x0800,
                                     pcapw::ipv4(a, b, 6, pcapw::Bytes(segment.begin() + 24, segment.end()), 64, 77, 3)));
    frames.push_back(pcapw::ethernet(mac_b, mac_a, 0x0800,
                                     pcapw::ipv4(a, b, 6, pcapw::Bytes(segment.begin(), segment.begin() + 24), 64, 77,
                                                 0x2000)));
    frames.push_back(pcapw::eth_ipv4_tcp(mac_b, mac_a, a, b, 50100, 80, 1050, 1, 0x18, pcapw::Bytes(10, 'z')));
    write_frames(dir.file("pair.pcap"), frames);
    const shares_reading late = read_in_shares(dir.file("pair.pcap"), 2, WSB_SHARE_BALANCED);
    ASSERT_EQ(late.whole.size(), frames.size());
    // The reassembled segment, dissected where the connection's start was
    // not seen, and the segment after it, whose share missed it.
    ASSERT_EQ(late.differing.size(), 2u);
    ASSERT_EQ(late.differing.count(syn + 3), 1u);
    EXPECT_EQ(late.differing.at(syn + 3), "50100 → 80 [PSH, ACK] Seq=1 Ack=1 Win=65535 Len=40");
    EXPECT_EQ(late.whole[syn + 2], "50100 → 80 [PSH, ACK] Seq=11 Ack=1 Win=65535 Len=40");
    ASSERT_EQ(late.differing.count(syn + 4), 1u);
    EXPECT_EQ("[TCP Previous segment not captured] " + late.whole[syn + 3], late.differing.at(syn + 4));
}

// A share is set while no capture is open, names an existing share and key,
// and a packet of another share is not answered by offset; with the
// balanced shares, neither is a packet not read in sequence yet.
TEST(CaptureShares, SetOnlyBetweenCapturesAndRefusedForOtherSharesPackets)
{
    EXPECT_EQ(gSetReadingShare(0, 2, WSB_SHARE_BY_ADDRESSES), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_NOT_STARTED);
    ASSERT_EQ(gInitEpan(), 0);
    for (auto [index, count, key] : {std::tuple{0, 0, 0}, std::tuple{2, 2, 0}, std::tuple{-1, 2, 0},
                                     std::tuple{0, 2, 3}, std::tuple{0, 2, -1}, std::tuple{0, 4097, 2}}) {
        EXPECT_EQ(gSetReadingShare(index, count, key), 1);
        EXPECT_EQ(gGetLastErrorCode(), WSB_E_BAD_ARGUMENT) << last_error();
    }
    EXPECT_EQ(gSetReadingShare(4095, 4096, WSB_SHARE_BALANCED), 0);
    const std::string path = shared_capture("DnsPackets.pcap");
    std::vector<PacketSummary> whole;
    PacketSummary s;
    ASSERT_EQ(gSetReadingShare(0, 1, WSB_SHARE_BY_ADDRESSES), 0);
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    while (gGetNextPacket(&s) == WSB_OK)
        whole.push_back(s);
    EXPECT_EQ(gSetReadingShare(1, 2, WSB_SHARE_BY_ENDPOINTS), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_STATE);
    ASSERT_EQ(gCloseCapture(), 0);

    for (int32_t key : {WSB_SHARE_BY_ENDPOINTS, WSB_SHARE_BALANCED}) {
        SCOPED_TRACE("key " + std::to_string(key));
        ASSERT_EQ(gSetReadingShare(1, 2, key), 0);
        ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
        if (key == WSB_SHARE_BALANCED) {
            // Its share is not known before it is read.
            const PacketSummary &last = whole.back();
            EXPECT_EQ(gGetPacketAtOffset(&s, last.frame_number, last.file_offset, last.captured_length,
                                         last.packet_length, last.encapsulation),
                      1);
            EXPECT_EQ(gGetLastErrorCode(), WSB_E_STATE);
            EXPECT_NE(last_error().find("has not been read in sequence yet"), std::string::npos) << last_error();
        }
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
                                                      packet.captured_length, packet.packet_length,
                                                      packet.encapsulation);
            if (mine[packet.frame_number]) {
                EXPECT_EQ(status, 0) << last_error();
            } else {
                EXPECT_EQ(status, 1);
                EXPECT_EQ(gGetLastErrorCode(), WSB_E_STATE);
                EXPECT_NE(last_error().find("belongs to another share"), std::string::npos) << last_error();
            }
        }
        ASSERT_EQ(gCloseCapture(), 0);
    }
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

