// SPDX-License-Identifier: GPL-2.0-or-later
// Every shared capture, and copies of them damaged on purpose, driven through
// the whole interface: the summary, the field getters, random access and the
// tree of every packet, every TCP and UDP conversation followed in every
// rendering, every packet saved. Nothing may crash, hang or leak, every
// failure is a status with a message of its own, save files are complete
// after their close and no temporary file is left behind. Each capture is
// its own test (and process).
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "wsbridge.h"
#include "api_sweep.h"
#include "pcap_writer.h"
#include "test_support.h"

using namespace wsbtest;

namespace {

// The library's temporary files go to a directory of their own, which must
// be empty whenever no stream is followed.
struct library_temp_dir {
    temp_dir dir;
    std::string previous;
    bool had_previous;
    library_temp_dir()
    {
        const char *value = getenv("TMPDIR");
        had_previous = value != nullptr;
        previous = value ? value : "";
        EXPECT_FALSE(dir.path.empty());
        setenv("TMPDIR", dir.path.c_str(), 1);
    }
    ~library_temp_dir()
    {
        if (had_previous)
            setenv("TMPDIR", previous.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
    std::vector<std::string> left() const { return wsbsweep::directory_entries(dir.path.string()); }
};

void start_engine()
{
    ASSERT_EQ(gInitEpan(), 0) << gGetLastError();
    std::string problem;
    ASSERT_TRUE(wsbsweep::register_fields(&problem)) << problem;
}

std::string joined(const std::vector<std::string> &problems)
{
    std::string text;
    for (const std::string &problem : problems)
        text += "\n  " + problem;
    return text;
}

// Opens path, sweeps it and closes it. opened tells whether it opened.
wsbsweep::report sweep_file(const std::string &path, const wsbsweep::limits &limits, bool *opened = nullptr)
{
    wsbsweep::report r;
    wsbsweep::arm();
    const int32_t status = wsbsweep::check(r, "gOpenCapture", gOpenCapture(path.c_str()), {0, 1});
    if (opened)
        *opened = status == 0;
    if (status == 0) {
        wsbsweep::sweep_open_capture(r, limits);
        wsbsweep::arm();
        wsbsweep::check(r, "gCloseCapture", gCloseCapture(), {0});
    }
    return r;
}

// Reads a capture to its end through the library and counts its packets;
// -1 when it does not open or reading fails.
long packets_through_library(const std::string &path)
{
    if (gOpenCapture(path.c_str()) != 0)
        return -1;
    PacketSummary s;
    long count = 0;
    int32_t status;
    while ((status = gGetNextPacket(&s)) == 0)
        ++count;
    gCloseCapture();
    return status == 2 ? count : -1;
}

pcapw::Bytes read_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return pcapw::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// tshark's packet count of a capture and whether it read it without error.
struct tshark_reading {
    long packets;
    bool clean;
};

tshark_reading tshark_count(const std::string &path)
{
    int status = 0;
    const std::string out =
        run_command("tshark -r " + shell_quote(path) + " -T fields -e frame.number 2>/dev/null", &status);
    return {static_cast<long>(lines_of(out).size()), status == 0};
}

void print_report(const std::string &what, const wsbsweep::report &r)
{
    std::cout << "[ sweep    ] " << what << ": " << wsbsweep::describe(r) << std::endl;
}

class CorpusSweep : public ::testing::TestWithParam<std::string> {};

}  // namespace

// A shared capture as it is: every call answers on every packet, the packet
// count and the end of reading agree with tshark, both save files hold the
// packets written.
TEST_P(CorpusSweep, EveryCallAnswersOnEveryPacket)
{
    temp_dir work;
    library_temp_dir library_temp;
    ASSERT_FALSE(work.path.empty());
    const std::string path = shared_capture(GetParam());
    start_engine();

    wsbsweep::limits limits;
    limits.save_path = work.file("saved.pcap");
    bool opened = false;
    const wsbsweep::report r = sweep_file(path, limits, &opened);
    print_report(GetParam(), r);
    EXPECT_TRUE(r.problems.empty()) << joined(r.problems);
    EXPECT_TRUE(library_temp.left().empty()) << "left behind: " << library_temp.left().front();

    const tshark_reading oracle = tshark_count(path);
    if (!opened) {
        EXPECT_EQ(oracle.packets, 0) << "tshark reads what the library cannot open";
    } else {
        EXPECT_EQ(static_cast<long>(r.packets), oracle.packets);
        EXPECT_EQ(r.read_status == 2, oracle.clean) << r.first_read_error;
        EXPECT_EQ(r.out_of_memory, 0u);
    }
    // What was saved opens again with every packet written.
    if (r.saved > 0) {
        EXPECT_EQ(packets_through_library(limits.save_path), static_cast<long>(r.saved));
    }
    if (r.saved_tracked > 0) {
        EXPECT_EQ(packets_through_library(limits.save_path + ".tracked"), static_cast<long>(r.saved_tracked));
    }
    EXPECT_EQ(gCleanupEpan(), 0);
    EXPECT_TRUE(library_temp.left().empty());
}

INSTANTIATE_TEST_SUITE_P(Captures, CorpusSweep, ::testing::ValuesIn(shared_capture_names()),
                         [](const auto &info) { return test_name_of(info.param); });

namespace {

class DamagedSweep : public ::testing::TestWithParam<std::string> {};

// Flips each byte from `from` on with probability 1/50, with a fixed seed.
pcapw::Bytes flipped(pcapw::Bytes bytes, size_t from, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> chance(0, 49), bit(0, 7);
    for (size_t i = from; i < bytes.size(); ++i)
        if (chance(random) == 0)
            bytes[i] ^= static_cast<uint8_t>(1u << bit(random));
    return bytes;
}

}  // namespace

// Damaged copies of a shared capture: packet bytes corrupted by editcap (three
// seeds), record headers and bytes flipped behind the file header (two seeds)
// and anywhere (one seed). Larger captures are swept over their first 600
// packets.
TEST_P(DamagedSweep, EveryDamagedCopyAnswers)
{
    temp_dir work;
    library_temp_dir library_temp;
    ASSERT_FALSE(work.path.empty());
    const std::string path = shared_capture(GetParam());
    const pcapw::Bytes original = read_bytes(path);
    ASSERT_FALSE(original.empty());
    start_engine();

    std::vector<std::pair<std::string, std::string>> copies;  // label, path
    for (int seed = 1; seed <= 3; ++seed) {
        const std::string copy = work.file("editcap" + std::to_string(seed));
        int status = 0;
        run_command("editcap -E 0.02 --seed " + std::to_string(seed) + " " + shell_quote(path) + " " +
                        shell_quote(copy) + " 2>&1",
                    &status);
        if (status == 0)
            copies.emplace_back("editcap -E 0.02 --seed " + std::to_string(seed), copy);
    }
    ASSERT_FALSE(copies.empty()) << "editcap could not damage " << path;
    const struct {
        size_t from;
        unsigned seed;
    } flips[] = {{24, 11}, {24, 12}, {0, 13}};
    for (const auto &flip : flips) {
        const std::string copy = work.file("flipped" + std::to_string(flip.seed));
        pcapw::write_file(copy, flipped(original, flip.from, flip.seed));
        copies.emplace_back("bytes flipped from " + std::to_string(flip.from) + " (seed " +
                                std::to_string(flip.seed) + ")",
                            copy);
    }

    for (const auto &[label, copy] : copies) {
        SCOPED_TRACE(label);
        wsbsweep::limits limits;
        limits.max_packets = 600;
        limits.save_path = work.file("saved.pcap");
        const wsbsweep::report r = sweep_file(copy, limits);
        print_report(GetParam() + ", " + label, r);
        EXPECT_TRUE(r.problems.empty()) << joined(r.problems);
        EXPECT_TRUE(library_temp.left().empty());
        unlink(limits.save_path.c_str());
        unlink((limits.save_path + ".tracked").c_str());
    }
    EXPECT_EQ(gCleanupEpan(), 0);
}

INSTANTIATE_TEST_SUITE_P(Captures, DamagedSweep, ::testing::ValuesIn(shared_capture_names()),
                         [](const auto &info) { return test_name_of(info.param); });

namespace {

// A capture cut at every 97th byte, in parts of at most 100 cuts (every cut
// is a capture of its own, and each costs the engine a session).
struct truncation_part {
    std::string file;
    size_t first_cut;  // index of the first cut of this part
};

constexpr size_t cut_step = 97;
constexpr size_t cuts_per_part = 100;

std::vector<truncation_part> truncation_parts()
{
    std::vector<truncation_part> parts;
    for (const char *file : {"ssh.pcap", "three_http_streams.pcap", "dns_tcp.pcap", "pcapng-example.pcapng",
                             "OSPFv2_Capture_FINAL.pcapng"}) {
        struct stat info;
        if (stat(shared_capture(file).c_str(), &info) != 0)
            continue;
        const size_t cuts = (static_cast<size_t>(info.st_size) - 1) / cut_step;
        for (size_t first = 0; first < cuts; first += cuts_per_part)
            parts.push_back({file, first});
    }
    return parts;
}

void PrintTo(const truncation_part &part, std::ostream *out)
{
    *out << part.file << " from cut " << part.first_cut + 1;
}

class TruncatedSweep : public ::testing::TestWithParam<truncation_part> {};

}  // namespace

// Each cut reads exactly the packets that lie wholly before it (pcap), or at
// least those and none that starts after it (pcapng), then ends reading with
// "cut short" or at the end of the file; everything else answers as usual.
TEST_P(TruncatedSweep, EveryCutAnswers)
{
    temp_dir work;
    library_temp_dir library_temp;
    ASSERT_FALSE(work.path.empty());
    const truncation_part part = GetParam();
    const std::string path = shared_capture(part.file);
    const pcapw::Bytes original = read_bytes(path);
    const bool pcapng = part.file.size() > 7 && part.file.substr(part.file.size() - 7) == ".pcapng";
    start_engine();

    // Where each packet of the whole file starts; a packet ends no later
    // than where the next one starts (or the file ends).
    wsbsweep::limits whole_limits;
    const wsbsweep::report whole = sweep_file(path, whole_limits);
    ASSERT_TRUE(whole.problems.empty()) << joined(whole.problems);
    ASSERT_EQ(whole.read_status, 2);
    std::vector<int64_t> starts, ends;
    for (size_t i = 0; i < whole.read.size(); ++i) {
        starts.push_back(whole.read[i].file_offset);
        ends.push_back(i + 1 < whole.read.size() ? whole.read[i + 1].file_offset
                                                 : static_cast<int64_t>(original.size()));
    }

    const size_t cuts = (original.size() - 1) / cut_step;
    wsbsweep::report total;
    size_t other_format = 0;
    for (size_t index = part.first_cut; index < cuts && index < part.first_cut + cuts_per_part; ++index) {
        const size_t cut = (index + 1) * cut_step;
        SCOPED_TRACE("cut at byte " + std::to_string(cut));
        const std::string copy = work.file("cut");
        pcapw::write_file(copy, pcapw::Bytes(original.begin(), original.begin() + static_cast<long>(cut)));
        wsbsweep::limits limits;
        limits.save_path = work.file("saved.pcap");
        bool opened = false;
        const wsbsweep::report r = sweep_file(copy, limits, &opened);
        EXPECT_TRUE(r.problems.empty()) << joined(r.problems);
        EXPECT_TRUE(library_temp.left().empty());
        total.packets += r.packets;
        total.trees += r.trees;
        total.tcp_follows += r.tcp_follows;
        total.saved += r.saved;
        total.failures += r.failures;
        // A cut that leaves too little for the format to be recognised may be
        // taken for another format, with packets of its own.
        if (!opened || (!r.read.empty() && r.read[0].file_offset != whole.read[0].file_offset)) {
            ++other_format;
            continue;
        }
        const auto whole_before = static_cast<size_t>(
            std::count_if(ends.begin(), ends.end(), [&](int64_t end) { return end <= static_cast<int64_t>(cut); }));
        const auto started_before = static_cast<size_t>(std::count_if(
            starts.begin(), starts.end(), [&](int64_t start) { return start < static_cast<int64_t>(cut); }));
        if (pcapng) {
            EXPECT_GE(r.packets, whole_before);
            EXPECT_LE(r.packets, started_before);
        } else {
            EXPECT_EQ(r.packets, whole_before);
            const bool at_boundary = std::find(ends.begin(), ends.end(), static_cast<int64_t>(cut)) != ends.end();
            EXPECT_EQ(r.read_status, at_boundary ? 2 : 1) << r.first_read_error;
        }
        for (size_t i = 0; i < r.read.size() && i < whole.read.size(); ++i) {
            EXPECT_EQ(r.read[i].file_offset, whole.read[i].file_offset) << "packet " << i + 1;
            EXPECT_EQ(r.read[i].captured_length, whole.read[i].captured_length) << "packet " << i + 1;
        }
        unlink(limits.save_path.c_str());
        unlink((limits.save_path + ".tracked").c_str());
    }
    print_report(part.file + " cuts " + std::to_string(part.first_cut + 1) + ".. (" + std::to_string(other_format) +
                     " refused or read as another format)",
                 total);
    EXPECT_EQ(gCleanupEpan(), 0);
}

INSTANTIATE_TEST_SUITE_P(Captures, TruncatedSweep, ::testing::ValuesIn(truncation_parts()),
                         [](const auto &info) {
                             return test_name_of(info.param.file) + "_from_cut_" +
                                    std::to_string(info.param.first_cut + 1);
                         });

namespace {

// Little-endian pieces of hand-made capture files.
void le32(pcapw::Bytes &b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void le16(pcapw::Bytes &b, uint16_t v)
{
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

pcapw::Bytes pcap_file_header(uint32_t link_type = 1, uint32_t snap_length = 65535, uint32_t magic = 0xa1b2c3d4)
{
    pcapw::Bytes b;
    le32(b, magic);
    le16(b, 2);
    le16(b, 4);
    le32(b, 0);
    le32(b, 0);
    le32(b, snap_length);
    le32(b, link_type);
    return b;
}

void pcap_record(pcapw::Bytes &b, uint32_t captured, uint32_t wire, const pcapw::Bytes &data, uint32_t seconds = 1000,
                 uint32_t fraction = 0)
{
    le32(b, seconds);
    le32(b, fraction);
    le32(b, captured);
    le32(b, wire);
    pcapw::append(b, data);
}

pcapw::Bytes udp_frame()
{
    return pcapw::eth_ipv4_udp(pcapw::mac("66:77:88:99:aa:bb"), pcapw::mac("00:11:22:33:44:55"),
                               pcapw::ip4("10.0.0.1"), pcapw::ip4("10.0.0.2"), 5000, 53, pcapw::to_bytes("hello"));
}

pcapw::Bytes tcp_frame(uint32_t seq, const std::string &payload)
{
    return pcapw::eth_ipv4_tcp(pcapw::mac("66:77:88:99:aa:bb"), pcapw::mac("00:11:22:33:44:55"),
                               pcapw::ip4("10.0.0.1"), pcapw::ip4("10.0.0.2"), 40000, 80, seq, 1,
                               pcapw::tcpflag::ACK | pcapw::tcpflag::PSH, pcapw::to_bytes(payload));
}

// A pcapng section header block, an interface description block and one
// enhanced packet block, with lengths that can be made to lie.
pcapw::Bytes pcapng_file(uint32_t section_length, uint32_t packet_block_length, uint32_t captured,
                         const pcapw::Bytes &data)
{
    pcapw::Bytes b;
    le32(b, 0x0a0d0d0a);
    le32(b, section_length);
    le32(b, 0x1a2b3c4d);
    le16(b, 1);
    le16(b, 0);
    le32(b, 0xffffffff);
    le32(b, 0xffffffff);
    le32(b, 28);
    le32(b, 1);  // interface description
    le32(b, 20);
    le16(b, 1);
    le16(b, 0);
    le32(b, 0);
    le32(b, 20);
    le32(b, 6);  // enhanced packet
    le32(b, packet_block_length);
    le32(b, 0);
    le32(b, 0);
    le32(b, 1000);
    le32(b, captured);
    le32(b, static_cast<uint32_t>(data.size()));
    pcapw::append(b, data);
    while (b.size() % 4)
        b.push_back(0);
    le32(b, packet_block_length);
    return b;
}

struct crafted_capture {
    const char *what;
    pcapw::Bytes bytes;
};

std::vector<crafted_capture> crafted_captures()
{
    std::vector<crafted_capture> list;
    const pcapw::Bytes frame = udp_frame();
    {
        pcapw::Bytes b = pcap_file_header();
        pcap_record(b, 0xffffffffu, 0xffffffffu, frame);
        list.push_back({"a record claiming 4 GB", b});
    }
    {
        pcapw::Bytes b = pcap_file_header();
        pcap_record(b, static_cast<uint32_t>(frame.size()), static_cast<uint32_t>(frame.size()), frame);
        pcap_record(b, 262145, 262145, frame);
        list.push_back({"a second record one byte over the largest packet", b});
    }
    {
        pcapw::Bytes b = pcap_file_header();
        pcap_record(b, 262144, 262144, frame);
        list.push_back({"a record of the largest size with few bytes behind it", b});
    }
    {
        pcapw::Bytes b = pcap_file_header();
        pcapw::Bytes big(262144 - frame.size(), 0x41);
        pcapw::Bytes data = frame;
        pcapw::append(data, big);
        pcap_record(b, 262144, 0xffffffffu, data);
        list.push_back({"a packet of the largest size claiming 4 GB on the wire", b});
    }
    {
        pcapw::Bytes b = pcap_file_header();
        pcap_record(b, static_cast<uint32_t>(frame.size()), 10, frame);
        list.push_back({"more bytes captured than on the wire", b});
    }
    {
        pcapw::Bytes b = pcap_file_header();
        pcap_record(b, 0, 0, {});
        pcap_record(b, 0, 1500, {});
        list.push_back({"packets without bytes", b});
    }
    {
        pcapw::Bytes b = pcap_file_header(1, 0xffffffffu);
        pcap_record(b, static_cast<uint32_t>(frame.size()), static_cast<uint32_t>(frame.size()), frame);
        list.push_back({"a snapshot length of 4 GB", b});
    }
    {
        pcapw::Bytes b = pcap_file_header(0xffff);
        pcap_record(b, static_cast<uint32_t>(frame.size()), static_cast<uint32_t>(frame.size()), frame);
        list.push_back({"an unknown link type", b});
    }
    {
        pcapw::Bytes b = pcap_file_header(1, 65535, 0xa1b23c4d);  // nanosecond time stamps
        pcap_record(b, static_cast<uint32_t>(frame.size()), static_cast<uint32_t>(frame.size()), frame, 0xffffffffu,
                    0xffffffffu);
        pcap_record(b, static_cast<uint32_t>(frame.size()), static_cast<uint32_t>(frame.size()), frame, 0, 0);
        list.push_back({"time stamps at both ends of the range", b});
    }
    {
        pcapw::Bytes b = pcap_file_header();
        const pcapw::Bytes first = tcp_frame(1, std::string(1200, 'a'));
        const pcapw::Bytes second = tcp_frame(1201, std::string(1200, 'b'));
        pcap_record(b, static_cast<uint32_t>(first.size()), static_cast<uint32_t>(first.size()), first);
        pcap_record(b, 40, static_cast<uint32_t>(second.size()), second);  // cut inside the TCP header
        pcap_record(b, static_cast<uint32_t>(second.size()), static_cast<uint32_t>(second.size()), second);
        list.push_back({"a TCP conversation with a packet cut inside its header", b});
    }
    {
        pcapw::Bytes b = pcap_file_header();
        pcap_record(b, static_cast<uint32_t>(frame.size()), static_cast<uint32_t>(frame.size()), frame);
        b.insert(b.end(), {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07});
        list.push_back({"trailing bytes shorter than a record header", b});
    }
    list.push_back({"only a file header", pcap_file_header()});
    list.push_back({"an empty file", {}});
    list.push_back({"one byte", {0xd4}});
    list.push_back({"a pcapng section claiming 4 GB", pcapng_file(0xfffffff0u, 52, 42, frame)});
    list.push_back({"a pcapng packet block claiming 4 GB", pcapng_file(28, 0xfffffff0u, 42, frame)});
    list.push_back({"a pcapng packet claiming more bytes than its block", pcapng_file(28, 80, 0x7fffffff, frame)});
    {
        pcapw::Bytes b = pcapng_file(28, 80, static_cast<uint32_t>(frame.size()), frame);
        b[8] = 0x4c;  // byte-order magic that is neither order
        list.push_back({"a pcapng section of unknown byte order", b});
    }
    return list;
}

}  // namespace

// Hand-made files whose headers lie about sizes, lengths, link types and
// times: each opens or is refused with a message, and what opens answers
// every call.
TEST(CraftedCaptures, HeadersThatLieAreAnsweredWithStatuses)
{
    temp_dir work;
    library_temp_dir library_temp;
    ASSERT_FALSE(work.path.empty());
    start_engine();
    for (const crafted_capture &crafted : crafted_captures()) {
        SCOPED_TRACE(crafted.what);
        const std::string path = work.file("crafted.pcap");
        pcapw::write_file(path, crafted.bytes);
        wsbsweep::limits limits;
        limits.save_path = work.file("saved.pcap");
        bool opened = false;
        const wsbsweep::report r = sweep_file(path, limits, &opened);
        print_report(crafted.what, r);
        EXPECT_TRUE(r.problems.empty()) << joined(r.problems);
        EXPECT_TRUE(library_temp.left().empty());
        if (!opened || r.read_status == 1) {
            EXPECT_STRNE(gGetLastError(), "");
        }
        unlink(limits.save_path.c_str());
        unlink((limits.save_path + ".tracked").c_str());
    }
    EXPECT_EQ(gCleanupEpan(), 0);
}

// The largest packet wiretap reads (262144 bytes) goes through every call.
TEST(CraftedCaptures, TheLargestPacketGoesThroughEveryCall)
{
    temp_dir work;
    library_temp_dir library_temp;
    ASSERT_FALSE(work.path.empty());
    start_engine();
    pcapw::Bytes b = pcap_file_header();
    // A TCP segment followed by an Ethernet trailer up to the largest size.
    pcapw::Bytes data = tcp_frame(1, std::string(1000, 'x'));
    data.resize(262144, 0x55);
    pcap_record(b, 262144, 262144, data);
    pcap_record(b, 262144, 262144, data);
    const std::string path = work.file("largest.pcap");
    pcapw::write_file(path, b);
    wsbsweep::limits limits;
    limits.save_path = work.file("saved.pcap");
    const wsbsweep::report r = sweep_file(path, limits);
    EXPECT_TRUE(r.problems.empty()) << joined(r.problems);
    EXPECT_EQ(r.packets, 2u);
    EXPECT_EQ(r.read_status, 2);
    EXPECT_EQ(r.saved, 2u);
    EXPECT_EQ(r.tcp_follows, 1u);
    EXPECT_GT(r.stream_pieces, 0u);
    EXPECT_EQ(gCleanupEpan(), 0);
}

namespace {

// A pcapng file (microsecond time stamps) with one packet per time stamp.
pcapw::Bytes pcapng_with_times(const std::vector<uint64_t> &microseconds, const pcapw::Bytes &data)
{
    pcapw::Bytes b = pcapng_file(28, 0, 0, {});
    b.resize(28 + 20);  // the section and interface blocks only
    for (uint64_t time : microseconds) {
        const uint32_t length = static_cast<uint32_t>(32 + (data.size() + 3) / 4 * 4);
        le32(b, 6);
        le32(b, length);
        le32(b, 0);
        le32(b, static_cast<uint32_t>(time >> 32));
        le32(b, static_cast<uint32_t>(time));
        le32(b, static_cast<uint32_t>(data.size()));
        le32(b, static_cast<uint32_t>(data.size()));
        pcapw::append(b, data);
        while (b.size() % 4)
            b.push_back(0);
        le32(b, length);
    }
    return b;
}

}  // namespace

// Packets whose time stamps lie further apart than 100 ns units can count
// (pcapng keeps 64-bit time stamps) get the largest relative time there is,
// not an overflowed one.
TEST(CraftedCaptures, RelativeTimesBeyondTheRangeSaturate)
{
    temp_dir work;
    library_temp_dir library_temp;
    ASSERT_FALSE(work.path.empty());
    start_engine();
    const std::string path = work.file("times.pcapng");
    pcapw::write_file(path, pcapng_with_times({0, 1500000, UINT64_MAX, 1000}, udp_frame()));
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << gGetLastError();
    PacketSummary s;
    const int64_t expected[] = {0, 15000000, INT64_MAX, 10000};
    for (int64_t relative : expected) {
        ASSERT_EQ(gGetNextPacket(&s), 0) << gGetLastError();
        EXPECT_EQ(s.relative_time, relative) << "frame " << s.frame_number;
    }
    EXPECT_EQ(gGetNextPacket(&s), 2);
    EXPECT_EQ(gCloseCapture(), 0);

    // The other way round: a first packet far in the future.
    pcapw::write_file(path, pcapng_with_times({UINT64_MAX, 0}, udp_frame()));
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << gGetLastError();
    ASSERT_EQ(gGetNextPacket(&s), 0);
    EXPECT_EQ(s.relative_time, 0);
    ASSERT_EQ(gGetNextPacket(&s), 0);
    EXPECT_EQ(s.relative_time, INT64_MIN);
    EXPECT_EQ(gCloseCapture(), 0);
    EXPECT_EQ(gCleanupEpan(), 0);
}

// Records that claim 2 GB or more on the wire (a damaged length) are read and
// dissected like tshark does, not refused by the engine's buffers.
TEST(CraftedCaptures, PacketsClaimingTwoGigabytesOnTheWireAreRead)
{
    temp_dir work;
    library_temp_dir library_temp;
    ASSERT_FALSE(work.path.empty());
    start_engine();
    pcapw::Bytes b = pcap_file_header();
    const pcapw::Bytes frame = udp_frame();
    const uint32_t wire_lengths[] = {0x7fffffffu, 0x80000000u, 0xfffffffeu, 0xffffffffu};
    for (uint32_t wire : wire_lengths)
        pcap_record(b, static_cast<uint32_t>(frame.size()), wire, frame);
    const std::string path = work.file("wire.pcap");
    pcapw::write_file(path, b);
    const std::vector<std::string> protocols = lines_of(run_command(
        "tshark -r " + shell_quote(path) + " " + tshark_prefs() + " -T fields -e _ws.col.Protocol 2>/dev/null"));
    ASSERT_EQ(protocols.size(), 4u);

    ASSERT_EQ(gOpenCapture(path.c_str()), 0);
    PacketSummary s;
    size_t index = 0;
    for (uint32_t wire : wire_lengths) {
        SCOPED_TRACE(wire);
        ASSERT_EQ(gGetNextPacket(&s), 0) << gGetLastError();
        EXPECT_EQ(s.packet_length, wire);
        EXPECT_EQ(s.protocol_text, protocols[index++]);
        PacketSummary again;
        EXPECT_EQ(gGetPacketAtOffset(&again, s.frame_number, s.file_offset, static_cast<int32_t>(s.captured_length),
                                     s.packet_length, s.encapsulation),
                  0)
            << gGetLastError();
        int32_t length;
        const uint8_t *data;
        EXPECT_EQ(gBuildPacketProtocolTree(&length, &data, s.frame_number, s.file_offset,
                                           static_cast<int32_t>(s.captured_length), s.packet_length, s.encapsulation),
                  0)
            << gGetLastError();
    }
    EXPECT_EQ(gGetNextPacket(&s), 2);
    EXPECT_EQ(gCloseCapture(), 0);
    EXPECT_EQ(gCleanupEpan(), 0);
}

namespace {

// A tmpfs of a few pages mounted for the test (needs the right to mount;
// the test is skipped without it), unmounted at the end.
struct small_device {
    std::string path;
    bool mounted = false;
    small_device(const std::string &where, const char *size)
    {
        path = where;
        mkdir(path.c_str(), 0700);
        const std::string options = std::string("size=") + size + ",mode=0700";
        mounted = mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
    }
    ~small_device()
    {
        if (mounted)
            umount2(path.c_str(), MNT_DETACH);
        rmdir(path.c_str());
    }
};

// Whole records of a libpcap file (native order), and whether a partial one
// follows them.
struct pcap_records {
    bool header_intact = false;
    std::vector<pcapw::Bytes> records;
    bool partial_tail = false;
};

pcap_records parse_records(const pcapw::Bytes &bytes)
{
    pcap_records out;
    if (bytes.size() < 24)
        return out;
    uint32_t magic;
    memcpy(&magic, bytes.data(), 4);
    out.header_intact = magic == 0xa1b2c3d4;
    size_t at = 24;
    while (at < bytes.size()) {
        if (bytes.size() - at < 16) {
            out.partial_tail = true;
            break;
        }
        uint32_t captured;
        memcpy(&captured, bytes.data() + at + 8, 4);
        if (bytes.size() - at - 16 < captured) {
            out.partial_tail = true;
            break;
        }
        out.records.emplace_back(bytes.begin() + static_cast<long>(at),
                                 bytes.begin() + static_cast<long>(at + 16 + captured));
        at += 16 + captured;
    }
    return out;
}

}  // namespace

// Saving onto a device that fills up: the call that hits the full device (or
// the close) fails with a message, and the packets before it stay in the
// file whole and unchanged. The library's own temporary file for following
// a stream fails the same way and is removed.
TEST(FullDevice, AFailedSaveKeepsTheEarlierPacketsAndAFailedFollowLeavesNoFile)
{
    temp_dir work;
    library_temp_dir library_temp;
    ASSERT_FALSE(work.path.empty());
    small_device device(work.file("small"), "16k");
    if (!device.mounted)
        GTEST_SKIP() << "no right to mount a small tmpfs here";
    start_engine();

    const std::string path = shared_capture("one_tcp_stream.pcap");
    const pcap_records original = parse_records(read_bytes(path));
    ASSERT_TRUE(original.header_intact);
    ASSERT_EQ(gOpenCapture(path.c_str()), 0);
    std::vector<PacketSummary> packets;
    PacketSummary s;
    while (gGetNextPacket(&s) == 0)
        packets.push_back(s);
    ASSERT_EQ(packets.size(), original.records.size());

    const std::string saved = device.path + "/saved.pcap";
    ASSERT_EQ(gCreateCaptureFileForSave(saved.c_str()), 0) << gGetLastError();
    size_t accepted = 0;
    bool failed = false;
    for (const PacketSummary &p : packets) {
        SavePacketRequest request{};
        request.frame_number = p.frame_number;
        request.packet_length = p.packet_length;
        request.captured_length = p.captured_length;
        request.file_offset = p.file_offset;
        request.time_seconds = p.time_seconds;
        request.time_nanoseconds = p.time_nanoseconds;
        request.encapsulation = p.encapsulation;
        uint8_t skipped = 9;
        if (gSavePacketToCaptureFile(&skipped, &request) != 0) {
            EXPECT_NE(std::string(gGetLastError()).find(saved), std::string::npos) << gGetLastError();
            failed = true;
            break;
        }
        ++accepted;
    }
    const int32_t closed = gCloseCaptureFileForSave();
    if (closed != 0) {
        EXPECT_STRNE(gGetLastError(), "");
    }
    EXPECT_TRUE(failed || closed != 0) << "27 KB fit on a 16 KB device";

    const pcap_records written = parse_records(read_bytes(saved));
    EXPECT_TRUE(written.header_intact);
    EXPECT_GT(written.records.size(), 0u);
    EXPECT_LE(written.records.size(), accepted);
    for (size_t i = 0; i < written.records.size(); ++i)
        EXPECT_EQ(written.records[i], original.records[i]) << "record " << i + 1 << " changed";
    std::cout << "[ device   ] " << accepted << " packets accepted, " << written.records.size()
              << " whole records on the device, partial tail: " << written.partial_tail << std::endl;

    // The follow's temporary file on a device of one page.
    small_device tiny(work.file("tiny"), "4k");
    ASSERT_TRUE(tiny.mounted);
    setenv("TMPDIR", tiny.path.c_str(), 1);
    const PacketSummary &first = packets.front();
    ASSERT_EQ(gFollowTCPStreamForPacket(first.frame_number, first.file_offset,
                                        static_cast<int32_t>(first.captured_length), first.packet_length,
                                        first.encapsulation),
              0)
        << gGetLastError();
    for (const PacketSummary &p : packets)
        EXPECT_EQ(gAddPacketToTCPStream(p.frame_number, p.file_offset, static_cast<int32_t>(p.captured_length),
                                        p.packet_length, p.encapsulation),
                  0);
    uint8_t valid = 7;
    const char *server, *client, *conversation;
    int32_t server_size, client_size, conversation_size;
    EXPECT_EQ(gIsValidTcpStrem(&valid, 0, &server, &server_size, &client, &client_size, &conversation,
                               &conversation_size),
              1);
    EXPECT_EQ(valid, 0);
    EXPECT_NE(std::string(gGetLastError()).find("Could not write to temporary file"), std::string::npos)
        << gGetLastError();
    EXPECT_TRUE(wsbsweep::directory_entries(tiny.path).empty());
    const char *text;
    uint32_t size;
    uint8_t is_server, end;
    EXPECT_EQ(gGetNextTCPStreamLine(0, 2, &text, &size, &is_server, &end), 1);
    EXPECT_EQ(std::string(gGetLastError()), "Follow TCP structure is not initialized.");
    EXPECT_EQ(gCloseCapture(), 0);
    EXPECT_EQ(gCleanupEpan(), 0);
}
