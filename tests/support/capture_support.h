/* SPDX-License-Identifier: GPL-2.0-or-later */
// What the capture tests share: tshark's fields and columns for every packet
// of a capture (the oracle of the summaries), texts cut as the summary
// record cuts them, the whole texts of the current packet, and a capture
// file built in a temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "wsbridge.h"
#include "pcap_writer.h"
#include "test_support.h"

namespace wsbcapture {

using wsbtest::lines_of;
using wsbtest::run_command;
using wsbtest::shell_quote;
using wsbtest::split;
using wsbtest::temp_dir;
using wsbtest::tshark_prefs;

// One line of tshark's fields output for a packet.
struct oracle_row {
    std::string number, offset, length, captured, epoch, protocol, info, source, destination, link_source,
        link_destination;
};

// The packets' fields and columns as tshark shows them, with its MAC name
// resolution as in Info; the Source and Destination columns from a second
// run as tshark -n shows them. options: the preferences (the library's by
// default) and any display filter.
inline std::vector<oracle_row> tshark_rows(const std::string &path, int *status, const std::string &options = tshark_prefs())
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

// The text cut to at most limit bytes, without a UTF-8 character that does
// not fit whole.
inline std::string cut(const std::string &text, size_t limit)
{
    if (text.size() <= limit)
        return text;
    size_t length = limit;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xc0) == 0x80)
        --length;
    return text.substr(0, length);
}

inline std::string last_error()
{
    return gGetLastError();
}

// The whole Protocol and Info texts of the current packet.
inline std::pair<std::string, std::string> packet_texts()
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

// Every field of a summary in one line, for comparing readings.
inline std::string summary_line(const PacketSummary &s)
{
    return std::to_string(s.frame_number) + " " + std::to_string(s.file_offset) + " " +
           std::to_string(s.packet_length) + "/" + std::to_string(s.captured_length) + " " +
           std::to_string(s.relative_time) + " " + std::to_string(s.time_seconds) + "." +
           std::to_string(s.time_nanoseconds) + " " + std::to_string(s.encapsulation) + " " +
           std::to_string(s.port_type) + " " + std::to_string(s.source_port) + ">" +
           std::to_string(s.destination_port) + " " + std::to_string(s.source_address_type) + ":" + s.source_text +
           " > " + std::to_string(s.destination_address_type) + ":" + s.destination_text + " [" +
           s.link_source_text + " > " + s.link_destination_text + "] " + s.protocol_text + " | " + s.info_text;
}

// The summary lines of a plain reading of the capture, its whole texts
// appended; each re-read by offset after it when visit is given, which is
// called with the summaries read so far.
template <class Visit>
std::vector<std::string> reading_lines(const std::string &path, Visit visit)
{
    std::vector<std::string> lines;
    std::vector<PacketSummary> read;
    if (gOpenCapture(path.c_str()) != 0) {
        lines.push_back(std::string("open: ") + gGetLastError());
        return lines;
    }
    PacketSummary s;
    int32_t status;
    while ((status = gGetNextPacket(&s)) == 0) {
        const std::pair<std::string, std::string> texts = packet_texts();
        lines.push_back(summary_line(s) + " | " + texts.first + " | " + texts.second);
        read.push_back(s);
        visit(read);
    }
    lines.push_back("status " + std::to_string(status));
    gCloseCapture();
    return lines;
}

inline std::vector<std::string> reading_lines(const std::string &path)
{
    return reading_lines(path, [](const std::vector<PacketSummary> &) {});
}

inline const pcapw::Mac client_mac = pcapw::mac("00:11:22:33:44:55");
inline const pcapw::Mac server_mac = pcapw::mac("66:77:88:99:aa:bb");

struct sample_capture : temp_dir {
    std::string path = file("capture.pcap");
};

}  // namespace wsbcapture
