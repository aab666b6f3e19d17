// SPDX-License-Identifier: GPL-2.0-or-later
// The packet summaries of sequential reading against tshark, through the
// public interface: every shared capture read with and without the summary
// texts, in two shares, and with reassembly switched back on; addresses
// that dissectors register at run time; the protocol column of packets
// whose tree differs; and the command-line host's summary.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "capture_support.h"
#include "wsbridge.h"
#include "pcap_writer.h"
#include "test_support.h"

using namespace wsbtest;
using namespace wsbcapture;

namespace {

// A Source or Destination column text without the role a dissector adds in
// parentheses ("00:0b:86:11:22:33 (RA)" -> "00:0b:86:11:22:33").
std::string without_role(const std::string &text)
{
    const size_t open = text.rfind(" (");
    return !text.empty() && text.back() == ')' && open != std::string::npos ? text.substr(0, open) : text;
}

// "1700000000.123456789" from seconds and nanoseconds, as tshark prints it.
std::string epoch_text(int64_t seconds, int32_t nanoseconds)
{
    char buffer[64];
    snprintf(buffer, sizeof buffer, "%lld.%09d", static_cast<long long>(seconds), nanoseconds);
    return buffer;
}

// Every packet of the capture at path summarises to what tshark shows for it
// in a single pass with the same preferences switched off. The address texts
// are compared on every packet, whatever their type, with tshark -n's Source
// and Destination columns: the engine's text of each address the packet has,
// else what a dissector wrote there (without a role in parentheses).
void expect_summaries_match_tshark(const std::string &path)
{
    int tshark_status = 0;
    std::vector<oracle_row> rows = tshark_rows(path, &tshark_status);

    int32_t open_status = gOpenCapture(path.c_str());
    if (open_status != 0) {
        EXPECT_TRUE(rows.empty()) << "tshark read a file the library refused: " << last_error();
        EXPECT_FALSE(last_error().empty());
        return;
    }
    PacketSummary s;
    size_t index = 0;
    int32_t status;
    while ((status = gGetNextPacket(&s)) == 0) {
        ASSERT_LT(index, rows.size()) << "more packets than tshark shows";
        const oracle_row &row = rows[index++];
        SCOPED_TRACE("frame " + row.number);
        EXPECT_EQ(std::to_string(s.frame_number), row.number);
        EXPECT_EQ(std::to_string(s.file_offset), row.offset);
        EXPECT_EQ(std::to_string(s.packet_length), row.length);
        EXPECT_EQ(std::to_string(s.captured_length), row.captured);
        EXPECT_EQ(epoch_text(s.time_seconds, s.time_nanoseconds), row.epoch);
        EXPECT_EQ(std::string(s.protocol_text), cut(row.protocol, 31));
        EXPECT_EQ(std::string(s.info_text), cut(row.info, 255));
        EXPECT_EQ(packet_texts(), std::make_pair(row.protocol, row.info));
        EXPECT_EQ(std::string(s.source_text), cut(without_role(row.source), 62));
        EXPECT_EQ(std::string(s.destination_text), cut(without_role(row.destination), 62));
        EXPECT_EQ(std::string(s.link_source_text), cut(row.link_source, 30));
        EXPECT_EQ(std::string(s.link_destination_text), cut(row.link_destination, 30));
        EXPECT_TRUE(s.source_address_type == WSB_AT_NONE || s.source_text[0] != '\0');
        EXPECT_TRUE(s.destination_address_type == WSB_AT_NONE || s.destination_text[0] != '\0');
        EXPECT_LE(strlen(s.protocol_text), 31u);
        EXPECT_LE(strlen(s.info_text), 255u);
    }
    if (status == 1) {
        // The library stopped where tshark reported the file as damaged.
        EXPECT_NE(tshark_status, 0) << last_error();
        EXPECT_FALSE(last_error().empty());
    } else {
        EXPECT_EQ(status, 2);
    }
    EXPECT_EQ(index, rows.size());
    EXPECT_EQ(gCloseCapture(), 0);
}

class SharedCaptureOracle : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(SharedCaptureOracle, SummariesMatchTshark)
{
    ASSERT_EQ(gInitEpan(), 0);
    expect_summaries_match_tshark(shared_capture(GetParam()));
}

// Without the column texts every packet reads as with them, but for the
// texts themselves and the address notes taken from columns; switched back
// on between packets, the texts return at once.
TEST_P(SharedCaptureOracle, WithoutTextsEveryOtherFieldIsTheSame)
{
    const std::string path = shared_capture(GetParam());
    ASSERT_EQ(gInitEpan(), 0);
    std::vector<PacketSummary> with_texts;
    PacketSummary s;
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    int32_t status_with;
    while ((status_with = gGetNextPacket(&s)) == WSB_OK)
        with_texts.push_back(s);
    ASSERT_EQ(gSetSummaryTexts(0), 0);
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    const size_t back_on = with_texts.size() / 2;
    size_t index = 0;
    int32_t status;
    while ((status = gGetNextPacket(&s)) == WSB_OK) {
        ASSERT_LT(index, with_texts.size());
        const PacketSummary &on = with_texts[index];
        SCOPED_TRACE("frame " + std::to_string(s.frame_number));
        const bool texts = index > back_on;
        EXPECT_EQ(s.frame_number, on.frame_number);
        EXPECT_EQ(s.file_offset, on.file_offset);
        EXPECT_EQ(s.packet_length, on.packet_length);
        EXPECT_EQ(s.captured_length, on.captured_length);
        EXPECT_EQ(s.relative_time, on.relative_time);
        EXPECT_EQ(s.encapsulation, on.encapsulation);
        EXPECT_EQ(s.port_type, on.port_type);
        EXPECT_EQ(s.source_port, on.source_port);
        EXPECT_EQ(s.destination_port, on.destination_port);
        EXPECT_STREQ(s.link_source_text, on.link_source_text);
        EXPECT_STREQ(s.link_destination_text, on.link_destination_text);
        EXPECT_STREQ(s.protocol_text, texts ? on.protocol_text : "");
        EXPECT_STREQ(s.info_text, texts ? on.info_text : "");
        // An address the engine has reads the same; a column's note is
        // left out when the columns are.
        if (texts || s.source_address_type != WSB_AT_NONE || s.source_text[0] != '\0') {
            EXPECT_EQ(s.source_address_type, on.source_address_type);
            EXPECT_STREQ(s.source_text, on.source_text);
        }
        if (texts || s.destination_address_type != WSB_AT_NONE || s.destination_text[0] != '\0') {
            EXPECT_EQ(s.destination_address_type, on.destination_address_type);
            EXPECT_STREQ(s.destination_text, on.destination_text);
        }
        if (index++ == back_on) {
            ASSERT_EQ(gSetSummaryTexts(1), 0);
        }
    }
    EXPECT_EQ(status, status_with);
    EXPECT_EQ(index, with_texts.size());
    EXPECT_EQ(gSetSummaryTexts(1), 0);
    EXPECT_EQ(gCloseCapture(), 0);
}

// Split over two shares by conversation, the packets come back once each,
// in one share or the other, and each reads as it does without a share: the
// frame numbers, times and lengths always, the texts but where a dissector
// used the state of a conversation in the other share (listed with the
// reason).
TEST_P(SharedCaptureOracle, TwoSharesGiveEveryPacketOnceAsOneProcessDoes)
{
    const std::string path = shared_capture(GetParam());
    ASSERT_EQ(gInitEpan(), 0);
    std::vector<PacketSummary> whole;
    PacketSummary s;
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    int32_t status_whole;
    while ((status_whole = gGetNextPacket(&s)) == WSB_OK)
        whole.push_back(s);
    ASSERT_EQ(gCloseCapture(), 0);
    std::vector<int> share_of(whole.size() + 1, -1);
    for (int32_t share = 0; share < 2; ++share) {
        ASSERT_EQ(gSetReadingShare(share, 2, WSB_SHARE_BY_ADDRESSES), 0) << last_error();
        ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
        int32_t status;
        while ((status = gGetNextPacket(&s)) == WSB_OK) {
            ASSERT_GE(s.frame_number, 1u);
            ASSERT_LE(s.frame_number, whole.size());
            const PacketSummary &one = whole[s.frame_number - 1];
            SCOPED_TRACE("frame " + std::to_string(s.frame_number));
            EXPECT_EQ(share_of[s.frame_number], -1) << "in both shares";
            share_of[s.frame_number] = share;
            EXPECT_EQ(s.file_offset, one.file_offset);
            EXPECT_EQ(s.relative_time, one.relative_time);
            EXPECT_EQ(s.time_seconds, one.time_seconds);
            EXPECT_EQ(s.time_nanoseconds, one.time_nanoseconds);
            EXPECT_EQ(s.packet_length, one.packet_length);
            EXPECT_STREQ(s.source_text, one.source_text);
            EXPECT_STREQ(s.destination_text, one.destination_text);
            EXPECT_STREQ(s.protocol_text, one.protocol_text);
            if (strcmp(s.info_text, one.info_text) != 0)
                ADD_FAILURE() << "Info differs: " << s.info_text << " | " << one.info_text;
        }
        EXPECT_EQ(status, status_whole);
        ASSERT_EQ(gCloseCapture(), 0);
    }
    ASSERT_EQ(gSetReadingShare(0, 1, WSB_SHARE_BY_ADDRESSES), 0);
    for (size_t frame = 1; frame < share_of.size(); ++frame)
        EXPECT_NE(share_of[frame], -1) << "frame " << frame << " in no share";
}

// The reassembly preferences that the library switches off, switched back on.
const char *const reassembly_preferences[] = {
    "tcp.desegment_tcp_streams:TRUE", "smtp.desegment_lines:TRUE", "smtp.desegment_data:TRUE",
    "http.desegment_headers:TRUE",    "http.desegment_body:TRUE",  "http.dechunk_body:TRUE",
    "sip.desegment_headers:TRUE",     "sip.desegment_body:TRUE",   "netbios.defragment:TRUE",
    "bittorrent.desegment:TRUE",
};

// With the reassembly preferences back on, every packet summarises to what
// plain tshark (no -o at all) shows in its single pass.
TEST_P(SharedCaptureOracle, WithReassemblyOnProtocolAndInfoMatchPlainTshark)
{
    const std::string path = shared_capture(GetParam());
    int tshark_status = 0;
    std::vector<oracle_row> rows = tshark_rows(path, &tshark_status, "");

    ASSERT_EQ(gInitEpan(), 0);
    for (const char *preference : reassembly_preferences)
        ASSERT_EQ(gSetPreference(preference), 0) << preference << ": " << last_error();
    if (gOpenCapture(path.c_str()) != 0) {
        EXPECT_TRUE(rows.empty()) << last_error();
        return;
    }
    PacketSummary s;
    size_t index = 0;
    int32_t status;
    while ((status = gGetNextPacket(&s)) == 0) {
        ASSERT_LT(index, rows.size()) << "more packets than tshark shows";
        const oracle_row &row = rows[index++];
        SCOPED_TRACE("frame " + row.number);
        EXPECT_EQ(std::to_string(s.frame_number), row.number);
        EXPECT_EQ(std::string(s.protocol_text), cut(row.protocol, 31));
        EXPECT_EQ(std::string(s.info_text), cut(row.info, 255));
    }
    EXPECT_TRUE(status == 2 || (status == 1 && tshark_status != 0)) << status << ": " << last_error();
    EXPECT_EQ(index, rows.size());
}

INSTANTIATE_TEST_SUITE_P(Captures, SharedCaptureOracle, ::testing::ValuesIn(shared_capture_names()),
                         [](const auto &info) { return test_name_of(info.param); });

// Address types that the engine's dissectors register at run time: 802.11's
// (radiotap management, control and data frames) and SS7 point codes (SCCP
// over MTP3, and over M3UA/SCTP/IPv4/Ethernet, where the point codes replace
// the IP addresses). Their texts match tshark's on every packet, and their
// type codes are the classic ones.
TEST(SummaryOracle, WlanAndPointCodeAddressesMatchTshark)
{
    using namespace pcapw;
    const Mac ap = mac("00:0b:86:11:22:33"), station = mac("a4:5e:60:44:55:66"), gateway = mac("00:1a:2b:3c:4d:5e");
    const Bytes sequence = {0x10, 0x00};
    Bytes beacon_body = sequence;
    append(beacon_body, Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0x64, 0, 0x01, 0x04, 0, 4, 't', 'e', 's', 't'});
    Bytes probe_body = sequence;
    append(probe_body, Bytes{0, 0});
    Bytes to_ds_body = sequence;
    append(to_ds_body, llc_snap(ethertype::IPV4, udp_ipv4(ip4("192.168.1.5"), ip4("10.9.8.7"), 5000, 6000,
                                                          to_bytes("hello"))));
    Bytes from_ds_body = sequence;
    Bytes arp = {0, 1, 8, 0, 6, 4, 0, 2};
    append(arp, gateway);
    append(arp, ip4("192.168.1.1"));
    append(arp, station);
    append(arp, ip4("192.168.1.5"));
    append(from_ds_body, llc_snap(ethertype::ARP, arp));

    temp_dir dir;
    PcapWriter wlan(LINKTYPE_IEEE802_11_RADIOTAP);
    wlan.add(1000, 0, radiotap_wlan(0x80, 0, {BROADCAST_MAC, ap, ap}, beacon_body));        // beacon
    wlan.add(1001, 0, radiotap_wlan(0x40, 0, {BROADCAST_MAC, station, BROADCAST_MAC}, probe_body));
    wlan.add(1002, 0, radiotap_wlan(0xb4, 0, {ap, station}));                                 // RTS
    wlan.add(1003, 0, radiotap_wlan(0xc4, 0, {ap}));                                          // CTS
    wlan.add(1004, 0, radiotap_wlan(0x08, 0x01, {ap, station, gateway}, to_ds_body));         // data, IPv4
    wlan.add(1005, 0, radiotap_wlan(0xd4, 0, {station}));                                     // ACK
    wlan.add(1006, 0, radiotap_wlan(0x08, 0x02, {station, ap, gateway}, from_ds_body));       // data, ARP
    wlan.add(1007, 0, radiotap_wlan(0x48, 0x01, {ap, station, ap}, sequence));                // null function
    wlan.write(dir.file("wlan.pcap"));

    const Bytes udt = sccp_udt(6, 7, Bytes{1, 2, 3, 4});
    PcapWriter mtp3(LINKTYPE_MTP3);
    mtp3.add(1000, 0, mtp3_itu(3, 10, 210, udt));
    mtp3.add(1001, 0, mtp3_itu(3, 210, 10, udt));
    mtp3.add(1002, 0, mtp3_itu(3, 16383, 4000, udt));
    mtp3.write(dir.file("mtp3.pcap"));

    PcapWriter m3ua;
    m3ua.add(1000, 0, ethernet(gateway, station, ethertype::IPV4,
                               ipv4(ip4("10.0.0.1"), ip4("10.0.0.2"), 132, sctp_m3ua(2905, 10, 210, 3, udt))));
    m3ua.write(dir.file("m3ua.pcap"));

    ASSERT_EQ(gInitEpan(), 0);
    for (const char *name : {"wlan.pcap", "mtp3.pcap", "m3ua.pcap"}) {
        SCOPED_TRACE(name);
        expect_summaries_match_tshark(dir.file(name));
    }

    PacketSummary s;
    ASSERT_EQ(gOpenCapture(dir.file("wlan.pcap").c_str()), 0);
    ASSERT_EQ(gGetNextPacket(&s), 0);
    EXPECT_EQ(s.source_address_type, WSB_AT_ETHER);
    EXPECT_EQ(s.destination_address_type, WSB_AT_ETHER);
    EXPECT_STREQ(s.source_text, "00:0b:86:11:22:33");
    EXPECT_STREQ(s.link_destination_text, "ff:ff:ff:ff:ff:ff");
    ASSERT_EQ(gGetNextPacket(&s), 0);
    ASSERT_EQ(gGetNextPacket(&s), 0);  // RTS: receiver and transmitter, which the engine sets in no address
    EXPECT_EQ(s.source_address_type, WSB_AT_ETHER);
    EXPECT_STREQ(s.source_text, "a4:5e:60:44:55:66");
    EXPECT_EQ(s.destination_address_type, WSB_AT_ETHER);
    EXPECT_STREQ(s.destination_text, "00:0b:86:11:22:33");
    EXPECT_STREQ(s.link_destination_text, "");
    const PacketSummary rts = s;
    ASSERT_EQ(gGetNextPacket(&s), 0);  // CTS: only a receiver
    EXPECT_EQ(s.source_address_type, WSB_AT_NONE);
    EXPECT_STREQ(s.source_text, "");
    EXPECT_EQ(s.destination_address_type, WSB_AT_ETHER);
    EXPECT_STREQ(s.destination_text, "00:0b:86:11:22:33");
    PacketSummary again{};
    ASSERT_EQ(gGetPacketAtOffset(&again, rts.frame_number, rts.file_offset, static_cast<int32_t>(rts.captured_length),
                                 rts.packet_length, rts.encapsulation),
              0);
    EXPECT_STREQ(again.source_text, rts.source_text);
    EXPECT_STREQ(again.destination_text, rts.destination_text);
    EXPECT_EQ(again.destination_address_type, WSB_AT_ETHER);
    ASSERT_EQ(gOpenCapture(dir.file("m3ua.pcap").c_str()), 0);
    ASSERT_EQ(gGetNextPacket(&s), 0);
    EXPECT_EQ(s.source_address_type, WSB_AT_SS7PC);
    EXPECT_STREQ(s.source_text, "10");
    EXPECT_STREQ(s.destination_text, "210");
    EXPECT_STREQ(s.link_source_text, "a4:5e:60:44:55:66");
    EXPECT_EQ(gCloseCapture(), 0);
}

// The engine's Mobile IPv6 dissector calls a binding update "NEMO" once it
// has seen one with the R flag while building a protocol tree, and keeps
// that for the rest of the process. With fields registered the library
// builds the tree as tshark -T fields does and shows what it shows; without,
// it builds none, as plain tshark. (A later capture in the same process keeps
// "NEMO", as tshark does for the same packets appended to one file.)
TEST(SummaryOracle, MobileIpv6ProtocolFollowsTheTreeAsInTshark)
{
    using namespace pcapw;
    auto binding_update = [](uint16_t sequence, uint16_t flags) {
        Bytes header = {59, 1, 5, 0, 0, 0};  // no next header, 16 bytes, type 5, checksum 0
        put16be(header, sequence);
        put16be(header, flags);
        put16be(header, 100);
        append(header, Bytes{1, 2, 0, 0});  // PadN
        return ethernet(server_mac, client_mac, ethertype::IPV6,
                        ipv6(ip6("2001:db8::1"), ip6("2001:db8::2"), 135, header));
    };
    sample_capture capture;
    PcapWriter writer;
    Bytes truncated = binding_update(1, 0x0400);
    writer.add(1000, 0, 14 + 40 + 10, uint32_t(truncated.size()), Bytes(truncated.begin(), truncated.begin() + 64));
    writer.add(1001, 0, binding_update(2, 0));
    writer.add(1002, 0, binding_update(3, 0x0400));  // R flag: NEMO from here on, with a tree
    writer.add(1003, 0, binding_update(4, 0));
    writer.write(capture.path);

    // Plain tshark builds no tree; with fields to print it does.
    std::vector<std::string> without_tree;
    for (const std::string &line : lines_of(run_command("tshark -r " + shell_quote(capture.path) +
                                                        " -o 'gui.column.format:\"P\",\"%p\"' 2>/dev/null")))
        without_tree.push_back(line.substr(line.find_first_not_of(' ')));
    std::vector<std::string> with_tree;
    for (const std::string &line : lines_of(run_command("tshark -r " + shell_quote(capture.path) +
                                                     " -T fields -e _ws.col.Protocol -e ipv6.src 2>/dev/null")))
        with_tree.push_back(split(line, '\t')[0]);
    auto library_protocols = [&] {
        std::vector<std::string> protocols;
        PacketSummary s;
        EXPECT_EQ(gOpenCapture(capture.path.c_str()), 0);
        while (gGetNextPacket(&s) == 0)
            protocols.push_back(s.protocol_text);
        return protocols;
    };
    EXPECT_EQ(without_tree, std::vector<std::string>(4, "MIPv6"));
    EXPECT_EQ(with_tree, (std::vector<std::string>{"MIPv6", "MIPv6", "NEMO", "NEMO"}));
    ASSERT_EQ(gInitEpan(), 0);
    EXPECT_EQ(library_protocols(), without_tree);
    ASSERT_EQ(gRegisterProtocolFieldFilter("ipv6.src", "IPv6"), 0);
    int32_t id = 0, type = 0;
    ASSERT_EQ(gGetProtocolFieldFilterInfo("ipv6.src", &id, &type), 0);
    EXPECT_EQ(library_protocols(), with_tree);
}

TEST(CommandLineHost, SummaryOfTheSampleMatchesTshark)
{
    int status = -1;
    std::vector<std::string> lines = lines_of(run_command(shell_quote(WSB_CLI) + " summary " + shell_quote(WSB_SAMPLE_CAPTURE), &status));
    ASSERT_EQ(status, 0);
    ASSERT_EQ(lines.size(), 23u);
    EXPECT_NE(lines[9].find("HTTP 133 GET / HTTP/1.1"), std::string::npos) << lines[9];
    EXPECT_NE(lines[0].find("ARP 42 Who has 192.168.1.1? Tell 192.168.1.10"), std::string::npos) << lines[0];
}
