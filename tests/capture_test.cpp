// SPDX-License-Identifier: GPL-2.0-or-later
// Opening, closing and reading captures in sequence, through the public
// interface, with tshark as the oracle for what each packet summarises to.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "wsbridge.h"
#include "pcap_writer.h"
#include "test_support.h"

using namespace wsbtest;

namespace {

std::string last_error()
{
    return gGetLastError();
}

// One line of tshark's fields output for a packet.
struct oracle_row {
    std::string number, offset, length, captured, epoch, protocol, info, source, destination, link_source,
        link_destination;
};

// The packets' fields and columns as tshark shows them, with its MAC name
// resolution as in Info; the Source and Destination columns from a second
// run as tshark -n shows them. options: the preferences (the library's by
// default) and any display filter.
std::vector<oracle_row> tshark_rows(const std::string &path, int *status, const std::string &options = tshark_prefs())
{
    std::string command = std::string("tshark -r ") + shell_quote(path) + " " + options +
                          " -o frame.show_file_off:TRUE"
                          " -o 'gui.column.format:\"P\",\"%p\",\"I\",\"%i\",\"HS\",\"%uhs\",\"HD\",\"%uhd\"'"
                          " -T fields -E separator=/t -e frame.number -e frame.file_off -e frame.len -e frame.cap_len"
                          " -e frame.time_epoch -e _ws.col.P -e _ws.col.I -e _ws.col.HS -e _ws.col.HD 2>/dev/null";
    std::vector<oracle_row> rows;
    for (const std::string &line : lines_of(run_command(command, status))) {
        std::vector<std::string> f = split(line, '\t');
        if (f.size() != 9)
            continue;
        rows.push_back({f[0], f[1], f[2], f[3], f[4], f[5], f[6], "", "", f[7], f[8]});
    }
    int unresolved_status = 0;
    std::string unresolved = std::string("tshark -n -r ") + shell_quote(path) + " " + options +
                             " -o 'gui.column.format:\"S\",\"%s\",\"D\",\"%d\"'"
                             " -T fields -E separator=/t -e frame.number -e _ws.col.S -e _ws.col.D 2>/dev/null";
    size_t index = 0;
    for (const std::string &line : lines_of(run_command(unresolved, &unresolved_status))) {
        std::vector<std::string> f = split(line, '\t');
        if (f.size() != 3 || index >= rows.size() || rows[index].number != f[0])
            continue;
        rows[index].source = f[1];
        rows[index++].destination = f[2];
    }
    EXPECT_EQ(index, rows.size()) << "tshark -n showed other packets";
    return rows;
}

// A Source or Destination column text without the role a dissector adds in
// parentheses ("00:0b:86:11:22:33 (RA)" -> "00:0b:86:11:22:33").
std::string without_role(const std::string &text)
{
    const size_t open = text.rfind(" (");
    return !text.empty() && text.back() == ')' && open != std::string::npos ? text.substr(0, open) : text;
}

// The text cut to at most limit bytes, without a UTF-8 character that does
// not fit whole.
std::string cut(const std::string &text, size_t limit)
{
    if (text.size() <= limit)
        return text;
    size_t length = limit;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xc0) == 0x80)
        --length;
    return text.substr(0, length);
}

// The whole Protocol and Info texts of the current packet.
std::pair<std::string, std::string> packet_texts()
{
    const char *protocol = nullptr, *info = nullptr;
    int32_t protocol_size = -1, info_size = -1;
    EXPECT_EQ(gGetPacketTexts(&protocol, &protocol_size, &info, &info_size), 0) << gGetLastError();
    if (!protocol || !info)
        return {};
    EXPECT_EQ(static_cast<size_t>(protocol_size), strlen(protocol));
    EXPECT_EQ(static_cast<size_t>(info_size), strlen(info));
    return {protocol, info};
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

namespace {

const pcapw::Mac client_mac = pcapw::mac("00:11:22:33:44:55");
const pcapw::Mac server_mac = pcapw::mac("66:77:88:99:aa:bb");

pcapw::Bytes udp_packet(uint16_t sport = 5000)
{
    return pcapw::eth_ipv4_udp(server_mac, client_mac, pcapw::ip4("10.0.0.1"), pcapw::ip4("10.0.0.2"), sport, 6000,
                               pcapw::to_bytes("hello"));
}

struct sample_capture : temp_dir {
    std::string path = file("capture.pcap");
};

}  // namespace

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

// Under a display filter, sequential reading returns the packets tshark's
// single pass with -Y shows (same preferences), with their numbers, times and
// Info: the packets in between were dissected all the same.
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

TEST(CommandLineHost, SummaryOfTheSampleMatchesTshark)
{
    int status = -1;
    std::vector<std::string> lines = lines_of(run_command(shell_quote(WSB_CLI) + " summary " + shell_quote(WSB_SAMPLE_CAPTURE), &status));
    ASSERT_EQ(status, 0);
    ASSERT_EQ(lines.size(), 23u);
    EXPECT_NE(lines[9].find("HTTP 133 GET / HTTP/1.1"), std::string::npos) << lines[9];
    EXPECT_NE(lines[0].find("ARP 42 Who has 192.168.1.1? Tell 192.168.1.10"), std::string::npos) << lines[0];
}
