// SPDX-License-Identifier: GPL-2.0-or-later
// Saving chosen packets through the public interface: the order they are
// saved in, the values a request carries, the messages of every call made
// the wrong way, full devices and failed writes, the guards, and the field
// calls on the current packet after a save.
#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "locator.h"
#include "pcap_writer.h"
#include "save_support.h"
#include "test_support.h"
#include "wsbridge.h"

using namespace wsbtest;
using namespace wsbsave;

namespace {

const char not_initialized[] = "\" operation failed. Wireshark engine is not initialized yet.";
const char uninitialized[] = "\" operation failed. Wireshark engine was already uninitialized.";
const char no_capture[] = "\" operation failed. A capture file needs to be opened in order to perform this operation.";
const char close_closed[] = "Error closing file. The file is already closed.";
const char beyond_2gb[] =
    "You can not save a packet if its offset in the original file exceeds 2GB.\n"
    "You have to split the capture in order to do such operation.";

std::string guard_message(const char *operation, const char *tail)
{
    return std::string("\"") + operation + tail;
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

// A capture without packets saves as a valid empty capture in every
// format, as tshark -w and editcap write one: a libpcap capture, a pcapng
// capture with an interface, and one with none (which a libpcap file cannot
// describe: refused as tshark refuses it, but pcapng holds it).
TEST_F(SaveTest, ACaptureWithoutPacketsSavesAsAnEmptyCapture)
{
    const std::string libpcap = dir.file("empty.pcap"), with_interface = dir.file("interface.pcapng"),
                      without_interface = dir.file("bare.pcapng");
    pcapw::PcapWriter().write(libpcap);
    pcapw::write_file(with_interface, pcapw::pcapng_image({pcapw::PcapngInterface{}}, {}));
    pcapw::write_file(without_interface, pcapw::pcapng_image({}, {}));
    for (const std::string &path : {libpcap, with_interface, without_interface}) {
        for (int32_t format : {WSB_SAVE_FORMAT_PCAP, WSB_SAVE_FORMAT_PCAP_NSEC, WSB_SAVE_FORMAT_PCAPNG,
                               WSB_SAVE_FORMAT_AS_CAPTURE}) {
            SCOPED_TRACE(path + " as format " + std::to_string(format));
            const std::string out = dir.file("saved");
            std::filesystem::remove(out);
            EXPECT_TRUE(open_and_read(path).empty());
            const bool pcap_format = format == WSB_SAVE_FORMAT_PCAP || format == WSB_SAVE_FORMAT_PCAP_NSEC;
            if (path == without_interface && pcap_format) {
                EXPECT_EQ(gCreateCaptureFileForSaveInFormat(out.c_str(), format), 1);
                EXPECT_EQ(last_error(), "Cannot save this capture in that format.");
                EXPECT_FALSE(std::filesystem::exists(out));
                ASSERT_EQ(gCloseCapture(), 0);
                continue;
            }
            ASSERT_EQ(gCreateCaptureFileForSaveInFormat(out.c_str(), format), 0) << last_error();
            ASSERT_EQ(gCloseCaptureFileForSave(), 0) << last_error();
            ASSERT_EQ(gCloseCapture(), 0);
            int status = -1;
            EXPECT_EQ(run_command("capinfos -c -M " + shell_quote(out) + " 2>&1 | sed -n 's/^Number of packets: *//p'",
                                  &status),
                      "0\n");
            EXPECT_EQ(status, 0);
            EXPECT_EQ(run_command("tshark -r " + shell_quote(out) + " 2>&1 >/dev/null | grep -v '^Running as'", &status), "");
            EXPECT_TRUE(open_and_read(out).empty());
            ASSERT_EQ(gCloseCapture(), 0);
        }
    }
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

}  // namespace
