// SPDX-License-Identifier: GPL-2.0-or-later
// Values a host should never pass, passed: locators that name no packet or
// name one wrongly, save requests out of range, paths that are no captures
// or the capture being read, names that are no fields, the library's own
// error text passed back in, and texts in read-only memory. Each gets a
// status and a message, never a crash.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <utility>
#include <string>
#include <vector>

#include "wsbridge.h"
#include "api_sweep.h"
#include "locator.h"
#include "misuse_support.h"
#include "pcap_writer.h"
#include "test_support.h"

using namespace wsbtest;
using namespace wsbmisuse;

// Locators that name no packet, or name one wrongly: refused with a message,
// or dissected as what they name; never a crash.
TEST_F(Misuse, GarbageLocators)
{
    ASSERT_EQ(gInitEpan(), 0);
    const sample_packets sample = read_sample();
    ASSERT_FALSE(sample.all.empty());
    const locator &good = sample.tcp;
    struct stat info;
    ASSERT_EQ(stat(WSB_SAMPLE_CAPTURE, &info), 0);
    const int64_t size = info.st_size;

    std::vector<std::pair<std::string, locator>> locators;
    auto with = [&](const std::string &what, auto change) {
        locator p = good;
        change(p);
        locators.emplace_back(what, p);
    };
    for (int64_t offset : {int64_t{-1}, INT64_MIN, int64_t{0}, int64_t{1}, int64_t{23}, good.file_offset + 1,
                           good.file_offset + 16, size - 1, size, size + 1000, int64_t{2147483646},
                           int64_t{2147483647}, INT64_MAX})
        with("offset " + std::to_string(offset), [&](locator &p) { p.file_offset = offset; });
    // wiretap once took INT64_MIN for an offset it could read; with nothing
    // asked of the record that read "succeeded".
    with("offset INT64_MIN, nothing captured", [&](locator &p) {
        p.file_offset = INT64_MIN;
        p.captured_length = 0;
    });
    for (int32_t captured : {-1, INT32_MIN, 0, 1, good.captured_length - 1, good.captured_length + 1, INT32_MAX})
        with("captured length " + std::to_string(captured), [&](locator &p) { p.captured_length = captured; });
    for (uint32_t wire : {0u, 1u, 0x7fffffffu, 0x80000000u, 0xffffffffu})
        with("packet length " + std::to_string(wire), [&](locator &p) { p.packet_length = wire; });
    for (uint32_t frame : {0u, 2u, 999999u, 0xffffffffu})
        with("frame number " + std::to_string(frame), [&](locator &p) { p.frame_number = frame; });
    for (int32_t encapsulation : {-2, -1, 0, 2, 9999, INT32_MAX, INT32_MIN})
        with("encapsulation " + std::to_string(encapsulation), [&](locator &p) { p.encapsulation = encapsulation; });

    const std::string beyond_2gb =
        "You can not retrieve packet information if packet's offset in the original file exceeds 2GB.\nYou have to "
        "split the capture in order to do such operation.";
    for (const auto &[what, p] : locators) {
        SCOPED_TRACE(what);
        PacketSummary s;
        prime_error_text();
        const int32_t status =
            gGetPacketAtOffset(&s, p.frame_number, p.file_offset, p.captured_length, p.packet_length, p.encapsulation);
        EXPECT_TRUE(status == 0 || status == 1 || status == 3) << status;
        check_answer("gGetPacketAtOffset", status, status, "");
        if (p.file_offset >= 2147483647)
            check_answer("gGetPacketAtOffset", status, 1, beyond_2gb);
        if (p.captured_length < 0 && p.file_offset < 2147483647)
            check_answer("gGetPacketAtOffset", status, 1,
                         "The captured length " + std::to_string(p.captured_length) + " of the packet at offset " +
                             std::to_string(p.file_offset) + " is negative.");
        if (p.file_offset < 0 && p.captured_length >= 0)
            check_answer("gGetPacketAtOffset", status, 1,
                         std::string("An error occurred while reading from the file \"") + WSB_SAMPLE_CAPTURE +
                             "\": Invalid argument.");
        if (p.file_offset == good.file_offset && p.captured_length > good.captured_length)
            check_answer("gGetPacketAtOffset", status, 1,
                         "The packet at offset " + std::to_string(p.file_offset) + " of the file \"" +
                             WSB_SAMPLE_CAPTURE + "\" holds " + std::to_string(good.captured_length) +
                             " captured bytes, fewer than the " + std::to_string(p.captured_length) + " asked for.");
        if (status == 0) {
            int32_t count;
            const int32_t *ids;
            CHECK_ANSWER(gLastPacketHasPassedFilter("TCP", &count, &ids), 0, "");
        }

        int32_t length = -1;
        const uint8_t *data = nullptr;
        prime_error_text();
        const int32_t tree = gBuildPacketProtocolTree(&length, &data, p.frame_number, p.file_offset,
                                                      p.captured_length, p.packet_length, p.encapsulation);
        EXPECT_TRUE(tree == 0 || tree == 1 || tree == 3) << tree;
        check_answer("gBuildPacketProtocolTree", tree, tree, "");
        EXPECT_EQ(tree == 1 ? 0 : p.captured_length, length);

        prime_error_text();
        const int32_t follow = gFollowTCPStreamForPacket(p.frame_number, p.file_offset, p.captured_length,
                                                         p.packet_length, p.encapsulation);
        check_answer("gFollowTCPStreamForPacket", follow, follow, "");
        if (follow == 0) {
            for (const locator &q : sample.all)
                gAddPacketToTCPStream(q.frame_number, q.file_offset, q.captured_length, q.packet_length,
                                      q.encapsulation);
            prime_error_text();
            const int32_t add = gAddPacketToTCPStream(p.frame_number, p.file_offset, p.captured_length,
                                                      p.packet_length, p.encapsulation);
            check_answer("gAddPacketToTCPStream", add, add, "");
        }
        prime_error_text();
        const int32_t udp = gFollowUDPStreamForPacket(p.frame_number, p.file_offset, p.captured_length,
                                                      p.packet_length, p.encapsulation);
        check_answer("gFollowUDPStreamForPacket", udp, udp, "");
        prime_error_text();
        const int32_t add_udp = gAddPacketToUDPStream(p.frame_number, p.file_offset, p.captured_length,
                                                      p.packet_length, p.encapsulation);
        check_answer("gAddPacketToUDPStream", add_udp, add_udp, "");
        EXPECT_EQ(add_udp, status == 0 ? 0 : 1);
    }
    // The capture is still fine for a good locator.
    PacketSummary s;
    CHECK_ANSWER(gGetPacketAtOffset(&s, good.frame_number, good.file_offset, good.captured_length,
                                    good.packet_length, good.encapsulation),
                 0, "");
    EXPECT_EQ(s.frame_number, good.frame_number);
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

// A locator must describe the record at its offset: another link-layer type
// would have the engine read the record's pseudo-header as that type's (a
// crash), and a frame read in sequence is the packet at its own offset.
TEST_F(Misuse, LocatorsThatDoNotDescribeTheirRecord)
{
    ASSERT_EQ(gInitEpan(), 0);
    pcapw::PcapWriter writer;
    writer.add(1700000000, 0,
               pcapw::eth_ipv4_udp(pcapw::mac("02:00:00:00:00:02"), pcapw::mac("02:00:00:00:00:01"),
                                   pcapw::ip4("10.0.0.1"), pcapw::ip4("10.0.0.2"), 4000, 4001, pcapw::to_bytes("x")));
    writer.add(1700000001, 0,
               pcapw::eth_arp_request(pcapw::mac("02:00:00:00:00:01"), pcapw::ip4("10.0.0.1"), pcapw::ip4("10.0.0.2")));
    const std::string capture = work.file("two.pcap");
    writer.write(capture);
    ASSERT_EQ(gOpenCapture(capture.c_str()), 0);
    std::vector<locator> packets;
    PacketSummary s;
    while (gGetNextPacket(&s) == 0)
        packets.push_back(locator_of(s));
    ASSERT_EQ(packets.size(), 2u);
    ASSERT_EQ(gCreateCaptureFileForSave(save_path.c_str()), 0);

    // Every call that takes a locator answers alike.
    auto each_call = [&](const locator &p, int32_t status, const std::string &message) {
        PacketSummary summary;
        CHECK_ANSWER(gGetPacketAtOffset(&summary, p.frame_number, p.file_offset, p.captured_length, p.packet_length,
                                        p.encapsulation),
                     status, message);
        int32_t length;
        const uint8_t *data;
        CHECK_ANSWER(gBuildPacketProtocolTree(&length, &data, p.frame_number, p.file_offset, p.captured_length,
                                              p.packet_length, p.encapsulation),
                     status, message);
        const SavePacketRequest request = request_of(p);
        uint8_t skipped;
        CHECK_ANSWER(gSavePacketToCaptureFile(&skipped, &request), status, message);
        CHECK_ANSWER(gAddPacketToUDPStream(p.frame_number, p.file_offset, p.captured_length, p.packet_length,
                                           p.encapsulation),
                     status, message);
        if (status != 0)
            CHECK_ANSWER(gFollowUDPStreamForPacket(p.frame_number, p.file_offset, p.captured_length,
                                                   p.packet_length, p.encapsulation),
                         status, message);
    };
    const std::string file = "of the file \"" + capture + "\"";
    for (int32_t encapsulation : {80, 90, 188, 0, 2}) {
        SCOPED_TRACE(encapsulation);
        for (locator p : packets) {
            p.encapsulation = encapsulation;
            each_call(p, 1,
                      "The packet at offset " + std::to_string(p.file_offset) + " " + file +
                          " has the link-layer type 1, not the " + std::to_string(encapsulation) +
                          " of its locator.");
            p.frame_number = 0;  // no frame read in sequence: the same
            each_call(p, 1,
                      "The packet at offset " + std::to_string(p.file_offset) + " " + file +
                          " has the link-layer type 1, not the " + std::to_string(encapsulation) +
                          " of its locator.");
        }
    }
    locator swapped = packets[1];
    swapped.frame_number = 1;
    each_call(swapped, 1,
              "Frame 1 " + file + " was read at another offset than " + std::to_string(swapped.file_offset) + ".");
    // A number that sequential reading did not give out names no frame; the
    // locators as read, also with other lengths, are fine.
    locator unnumbered = packets[1];
    unnumbered.frame_number = 99;
    each_call(unnumbered, 0, "");
    locator shorter = packets[0];
    shorter.captured_length -= 1;
    shorter.packet_length += 1;
    each_call(shorter, 0, "");
    each_call(packets[0], 0, "");
    CHECK_ANSWER(gCloseCaptureFileForSave(), 0, "");
    EXPECT_EQ(wsbsweep::count_saved_records(save_path), 3);
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

// Save requests whose values are out of range.
TEST_F(Misuse, SaveRequestsOutOfRange)
{
    ASSERT_EQ(gInitEpan(), 0);
    const sample_packets sample = read_sample();
    ASSERT_FALSE(sample.all.empty());
    const locator &good = sample.tcp;
    ASSERT_EQ(gCreateCaptureFileForSave(save_path.c_str()), 0);

    std::vector<std::pair<std::string, SavePacketRequest>> requests;
    auto with = [&](const std::string &what, auto change) {
        SavePacketRequest request = request_of(good);
        change(request);
        requests.emplace_back(what, request);
    };
    for (uint32_t captured : {0xffffffffu, 0x80000000u, static_cast<uint32_t>(good.captured_length) + 1})
        with("captured length " + std::to_string(captured), [&](SavePacketRequest &r) { r.captured_length = captured; });
    for (int64_t offset : {int64_t{-1}, INT64_MIN, int64_t{2147483647}, INT64_MAX, int64_t{0}, int64_t{5}})
        with("offset " + std::to_string(offset), [&](SavePacketRequest &r) { r.file_offset = offset; });
    for (int32_t nanoseconds : {-1, INT32_MIN, 1000000000, INT32_MAX})
        with("nanoseconds " + std::to_string(nanoseconds),
             [&](SavePacketRequest &r) { r.time_nanoseconds = nanoseconds; });
    for (int64_t seconds : {int64_t{-1}, INT64_MIN, INT64_MAX, int64_t{0x100000000}})
        with("seconds " + std::to_string(seconds), [&](SavePacketRequest &r) { r.time_seconds = seconds; });
    for (int32_t encapsulation : {-1, 0, 2, 9999, INT32_MIN})
        with("encapsulation " + std::to_string(encapsulation),
             [&](SavePacketRequest &r) { r.encapsulation = encapsulation; });
    for (uint32_t wire : {0u, 0xffffffffu})
        with("packet length " + std::to_string(wire), [&](SavePacketRequest &r) { r.packet_length = wire; });
    with("skip flag 255", [&](SavePacketRequest &r) { r.skip_flag = 255; });
    with("frame number 0", [&](SavePacketRequest &r) { r.frame_number = 0; });

    long written = 0;
    for (const auto &[what, request] : requests) {
        SCOPED_TRACE(what);
        uint8_t skipped = 9;
        prime_error_text();
        const int32_t status = gSavePacketToCaptureFile(&skipped, &request);
        EXPECT_TRUE(status == 0 || status == 1) << status;
        check_answer("gSavePacketToCaptureFile", status, status, "");
        EXPECT_LE(skipped, 1);
        if (status == 1) {
            EXPECT_EQ(skipped, 0);
        }
        if (request.file_offset >= 2147483647)
            check_answer("gSavePacketToCaptureFile", status, 1,
                         "You can not save a packet if its offset in the original file exceeds 2GB.\nYou have to "
                         "split the capture in order to do such operation.");
        if (request.captured_length > static_cast<uint32_t>(good.captured_length) &&
            request.file_offset == good.file_offset) {
            EXPECT_EQ(status, 1);
        }
        written += status == 0 && skipped == 0;
    }
    // A failed request leaves the file usable; what was written is whole.
    uint8_t skipped;
    SavePacketRequest request = request_of(good);
    CHECK_ANSWER(gSavePacketToCaptureFile(&skipped, &request), 0, "");
    ++written;
    CHECK_ANSWER(gCloseCaptureFileForSave(), 0, "");
    EXPECT_EQ(wsbsweep::count_saved_records(save_path), written);
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

// Paths that are no capture file, or no place for a save file.
TEST_F(Misuse, PathsThatAreNoCaptures)
{
    ASSERT_EQ(gInitEpan(), 0);
    const std::string fifo = work.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string text_file = work.file("text.pcap");
    pcapw::write_file(text_file, pcapw::to_bytes("this is not a capture\n"));
    const std::string long_path = "/" + std::string(5000, 'a') + ".pcap";
    const std::string dot_dot = work.file("missing/../../../nowhere.pcap");
    for (const std::string &path : {std::string(""), std::string("-"), std::string("/"), work.path.string(), fifo,
                                    std::string("/dev/null"), work.file("missing.pcap"), text_file, long_path,
                                    dot_dot}) {
        SCOPED_TRACE(path.substr(0, 80));
        prime_error_text();
        const int32_t status = gOpenCapture(path.c_str());
        check_answer("gOpenCapture", status, 1, "");
    }
    int32_t count;
    const int32_t *ids;
    CHECK_ANSWER(gLastPacketHasPassedFilter("IP", &count, &ids), 1, no_dissection("Last Packet Has Passed Filter"));
    CHECK_ANSWER(gCloseCapture(), 1, no_capture("Close Capture"));

    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    for (const std::string &path : {std::string(""), std::string("/"), work.path.string(),
                                    work.file("missing/saved.pcap"), long_path, text_file + "/saved.pcap"}) {
        SCOPED_TRACE(path.substr(0, 80));
        prime_error_text();
        check_answer("gCreateCaptureFileForSave", gCreateCaptureFileForSave(path.c_str()), 1, "");
    }
    // A FIFO that no one reads would block the call for ever; it and other
    // files that are no regular files are refused at once.
    for (const std::string &path : {fifo, std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        CHECK_ANSWER(gCreateCaptureFileForSave(path.c_str()), 1,
                     "The file \"" + path + "\" is a \"special file\" or socket or other non-regular file.");
    }
    // A failed open leaves the open capture as it was.
    CHECK_ANSWER(gOpenCapture(work.file("missing.pcap").c_str()), 1, "");
    PacketSummary s;
    CHECK_ANSWER(gGetNextPacket(&s), 0, "");
    EXPECT_EQ(s.frame_number, 1u);
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

// The capture being read cannot be overwritten by a save file: creating it
// would empty the file the packets are re-read from.
TEST_F(Misuse, SavingOverTheOpenCaptureIsRefused)
{
    ASSERT_EQ(gInitEpan(), 0);
    const std::string capture = work.file("capture.pcap");
    const pcapw::Bytes original = [] {
        std::ifstream in(WSB_SAMPLE_CAPTURE, std::ios::binary);
        return pcapw::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }();
    pcapw::write_file(capture, original);
    const std::string link = work.file("link.pcap");
    ASSERT_EQ(symlink(capture.c_str(), link.c_str()), 0);
    ASSERT_EQ(gOpenCapture(capture.c_str()), 0);
    PacketSummary s;
    ASSERT_EQ(gGetNextPacket(&s), 0);
    for (const std::string &path : {capture, link, work.path.string() + "/./capture.pcap"}) {
        SCOPED_TRACE(path);
        CHECK_ANSWER(gCreateCaptureFileForSave(path.c_str()), 1,
                     "\"Create Capture File\" operation failed. The file \"" + path +
                         "\" is the capture being read; save to another file.");
    }
    std::ifstream in(capture, std::ios::binary);
    EXPECT_EQ(pcapw::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), original);
    SavePacketRequest request = request_of(s);
    uint8_t skipped;
    CHECK_ANSWER(gSavePacketToCaptureFile(&skipped, &request), 1,
                 "Error saving packet. The file to save the packet is already closed.");
    CHECK_ANSWER(gGetPacketAtOffset(&s, s.frame_number, s.file_offset, static_cast<int32_t>(s.captured_length),
                                    s.packet_length, s.encapsulation),
                 0, "");
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

// The capture is the file that was opened: a relative path and a later
// change of directory do not make its absolute path a place to save to.
TEST_F(Misuse, SavingOverTheCaptureOpenedByARelativePathIsRefused)
{
    ASSERT_EQ(gInitEpan(), 0);
    const std::string capture = work.file("cap.pcap");
    std::ifstream original_in(WSB_SAMPLE_CAPTURE, std::ios::binary);
    const pcapw::Bytes original(std::istreambuf_iterator<char>(original_in), {});
    pcapw::write_file(capture, original);
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(work.path);
    ASSERT_EQ(gOpenCapture("cap.pcap"), 0) << last_error();
    std::filesystem::current_path(library_temp.path);
    PacketSummary s;
    ASSERT_EQ(gGetNextPacket(&s), 0);
    CHECK_ANSWER(gCreateCaptureFileForSave(capture.c_str()), 1,
                 "\"Create Capture File\" operation failed. The file \"" + capture +
                     "\" is the capture being read; save to another file.");
    // A file of the same name in the new working directory is another file.
    CHECK_ANSWER(gCreateCaptureFileForSave("cap.pcap"), 0, "");
    CHECK_ANSWER(gCloseCaptureFileForSave(), 0, "");
    std::filesystem::remove(library_temp.file("cap.pcap"));
    std::filesystem::current_path(previous);
    std::ifstream in(capture, std::ios::binary);
    EXPECT_EQ(pcapw::Bytes(std::istreambuf_iterator<char>(in), {}), original);
    CHECK_ANSWER(gGetPacketAtOffset(&s, s.frame_number, s.file_offset, static_cast<int32_t>(s.captured_length),
                                    s.packet_length, s.encapsulation),
                 0, "");
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

// Field names and group names that are no field names: refused at
// registration, never crashing; messages stay within 2048 characters.
TEST_F(Misuse, NamesThatAreNoFields)
{
    ASSERT_EQ(gInitEpan(), 0);
    const std::string long_name(100000, 'x');
    CHECK_ANSWER(gRegisterProtocolFieldFilter("", "EMPTY"), 1, "");
    CHECK_ANSWER(gRegisterProtocolFieldFilter("tcp.port == 80) or (ip", "INJECTED"), 1, "");
    CHECK_ANSWER(gRegisterProtocolFieldFilter(long_name.c_str(), long_name.c_str()), 1, "");
    CHECK_ANSWER(gRegisterProtocolFieldFilter("\xff\xfe\x01", "BINARY"), 1, "");
    int32_t id, type;
    prime_error_text();
    check_answer("gGetProtocolFieldFilterInfo", gGetProtocolFieldFilterInfo("ip.version", &id, &type), 0, "");
    prime_error_text();
    check_answer("gGetProtocolFieldFilterInfo", gGetProtocolFieldFilterInfo(long_name.c_str(), &id, &type), 1, "");
    // Reading goes on with the default fields; the refused group was never made.
    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    PacketSummary s;
    int32_t count;
    const int32_t *ids;
    while (gGetNextPacket(&s) == 0) {
        CHECK_ANSWER(gLastPacketHasPassedFilter(long_name.c_str(), &count, &ids), 1, "");
        CHECK_ANSWER(gLastPacketHasPassedFilter("IP", &count, &ids), 0, "");
    }
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

// A host that passes gGetLastError()'s own text back in as a name or a path
// gets the answer it gets for a copy of that text.
TEST_F(Misuse, ErrorTextPassedBackIn)
{
    ASSERT_EQ(gInitEpan(), 0);
    const char *error = gGetLastError();
    // Leaves the same message each time.
    auto write_text = [&] {
        int32_t id, type;
        EXPECT_EQ(gGetProtocolFieldFilterInfo(work.file("wsb.no.such.field").c_str(), &id, &type), 1);
        return last_error();
    };
    auto same_answer = [&](const char *what, const std::function<int32_t(const char *)> &call) {
        SCOPED_TRACE(what);
        const std::string text = write_text();
        const int32_t status = call(text.c_str());
        const std::string message = last_error();
        write_text();
        EXPECT_EQ(call(error), status);
        EXPECT_EQ(last_error(), message);
    };
    int32_t id, type, count;
    const int32_t *ids;
    same_answer("field info", [&](const char *name) { return gGetProtocolFieldFilterInfo(name, &id, &type); });
    same_answer("open", [&](const char *path) { return gOpenCapture(path); });
    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    PacketSummary s;
    ASSERT_EQ(gGetNextPacket(&s), 0);
    same_answer("group", [&](const char *group) { return gLastPacketHasPassedFilter(group, &count, &ids); });
    same_answer("save", [&](const char *path) { return gCreateCaptureFileForSave(path); });
    same_answer("save frames path", [&](const char *path) {
        return gSaveFrames(path, WSB_SAVE_FORMAT_PCAP, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr);
    });
    same_answer("save frames filter", [&](const char *filter) {
        return gSaveFrames(save_path.c_str(), WSB_SAVE_FORMAT_PCAP, nullptr, 0, filter, 0, nullptr, nullptr, nullptr);
    });
    // Registering refuses the unknown name, quoting a copy of the text.
    const std::string text = write_text();
    EXPECT_EQ(gRegisterProtocolFieldFilter(error, error), 1);
    EXPECT_EQ(last_error(), "\"Register protocol field filter\" operation failed. \"" + text +
                                "\" is neither a field nor a protocol name the engine knows.");
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

// Texts a host keeps in read-only memory (string literals) are only read:
// the engine's filter compiler writes into the texts it gets while it looks
// up a "${...}" reference, so every export that passes a host's text on gets
// the answer it gets for a writable copy.
TEST_F(Misuse, TextsInReadOnlyMemory)
{
    ASSERT_EQ(gInitEpan(), 0);
    const long page_size = sysconf(_SC_PAGESIZE);
    void *page = mmap(nullptr, static_cast<size_t>(page_size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                      -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    char *next = static_cast<char *>(page);
    auto place = [&](const std::string &text) {
        char *placed = next;
        memcpy(placed, text.c_str(), text.size() + 1);
        next += text.size() + 1;
        return placed;
    };
    const char *unknown_macro = place("${nope}");
    const char *field_reference = place("ip.src == ${ip.dst} || frame.number == 2");
    const char *field = place("${ip.src}");
    const char *name = place("ip.src");
    const char *group = place("${G}");
    const char *preference = place("tcp.${x}:TRUE");
    const char *capture = place(WSB_SAMPLE_CAPTURE);
    const char *save = place(save_path);
    ASSERT_EQ(mprotect(page, static_cast<size_t>(page_size), PROT_READ), 0);

    EXPECT_EQ(gSetDisplayFilter(unknown_macro), 1);
    EXPECT_EQ(last_error(), "macro 'nope' does not exist");
    EXPECT_EQ(gSetDisplayFilter(field_reference), 0) << last_error();
    EXPECT_EQ(gRegisterProtocolFieldFilter(field, group), 1);
    EXPECT_EQ(gRegisterProtocolFieldFilter(name, group), 0) << last_error();
    int32_t id, type, count;
    const int32_t *ids;
    EXPECT_EQ(gGetProtocolFieldFilterInfo(field, &id, &type), 1);
    EXPECT_EQ(gGetProtocolFieldFilterInfo(name, &id, &type), 0) << last_error();
    EXPECT_EQ(gSetPreference(preference), 1);
    ASSERT_EQ(gOpenCapture(capture), 0) << last_error();
    PacketSummary s;
    ASSERT_EQ(gGetNextPacket(&s), 0) << last_error();
    EXPECT_EQ(s.frame_number, 2u);
    EXPECT_EQ(gLastPacketHasPassedFilter(group, &count, &ids), 0) << last_error();
    EXPECT_EQ(gCreateCaptureFileForSave(save), 0) << last_error();
    EXPECT_EQ(gCloseCaptureFileForSave(), 0) << last_error();
    int32_t written = -1;
    EXPECT_EQ(gSaveFrames(save, WSB_SAVE_FORMAT_PCAP, nullptr, 0, field_reference, 0, &written, nullptr, nullptr), 0)
        << last_error();
    EXPECT_EQ(gSaveFrames(save, WSB_SAVE_FORMAT_PCAP, nullptr, 0, unknown_macro, 0, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(last_error(), "macro 'nope' does not exist");
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
    munmap(page, static_cast<size_t>(page_size));
}


// Statistics requests that are no statistics the library counts: refused
// with a message, nothing asked for (a failed series removes the series
// registered before it); at most 64 tables.
TEST_F(Misuse, StatisticsRequestsThatAreNoStatistics)
{
    ASSERT_EQ(gInitEpan(), 0);
    const std::string long_request = "conv," + std::string(100000, 'x');
    for (const std::string &request :
         {std::string(""), std::string(","), std::string("conv"), std::string("conv,"), std::string("conv,,"),
          std::string("conv,nope"), std::string("conv,tcp,tcp.port =="), std::string("conv,tcp,nope.field"),
          std::string("conv,tcp,${nope}"), std::string("endpoints,"), std::string("endpoints,nope"),
          std::string("io,phsx"), std::string("io,phs,((("), std::string("io,stat,"), std::string("io,stat,x"),
          std::string("io,stat,-1"), std::string("io,stat,nan"), std::string("io,stat,inf"),
          std::string("io,stat,1e13"), std::string("io,stat,0.0000001"), std::string("io,stat,1x"),
          std::string("io,stat,1,"), std::string("io,stat,1,COUNT("), std::string("io,stat,1,COUNT()"),
          std::string("io,stat,1,SUM(nope.field)"), std::string("io,stat,1,SUM(ip.src)"),
          std::string("io,stat,1,FRAMES(ip.len)"), std::string("io,stat,1,LOAD(ip.len)"),
          std::string("io,stat,1,ip.src =="), std::string("io,stat,1,ip,COUNT(tcp.port)tcp,tcp =="),
          std::string("follow,tcp,ascii,0"), std::string("\xff\xfe,\x01"), long_request}) {
        SCOPED_TRACE(request.substr(0, 80));
        int32_t table = -7;
        prime_error_text();
        check_answer("gRequestStatistics", gRequestStatistics(request.c_str(), &table), 1, "");
        EXPECT_EQ(table, -7);
    }
    int32_t table = -1, kind = -1;
    CHECK_ANSWER(gRequestStatistics("conv,nope", &table), 1,
                 "\"Request Statistics\" operation failed. The engine keeps no conversation table for \"nope\".");
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_UNSUPPORTED);
    CHECK_ANSWER(gRequestStatistics("io,stat,0.0000001", &table), 1,
                 "\"Request Statistics\" operation failed. The interval must be at least 0.000001 seconds, or 0 for the "
                 "whole capture.");
    CHECK_ANSWER(gGetStatisticsKind(0, &kind), 1,
                 "\"Get Statistics Kind\" operation failed. No statistics table 0 was asked for (0 were).");
    // The library's own error text as the request.
    EXPECT_EQ(gRequestStatistics(gGetLastError(), &table), 1);

    // The most tables; every one counts.
    for (int32_t i = 0; i < 64; ++i) {
        ASSERT_EQ(gRequestStatistics(i % 2 ? "io,stat,1,ip,COUNT(tcp.port)tcp" : "conv,tcp", &table), 0)
            << last_error();
        EXPECT_EQ(table, i);
    }
    CHECK_ANSWER(gRequestStatistics("io,phs", &table), 1,
                 "\"Request Statistics\" operation failed. 64 tables were asked for, the most the library keeps.");
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_LIMIT);
    const sample_packets sample = read_sample();
    ASSERT_FALSE(sample.all.empty());
    wsbsweep::report report;
    wsbsweep::sweep_statistics(report, 64);
    for (const std::string &problem : report.problems)
        ADD_FAILURE() << problem;
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gClearStatistics(), 0, "");
    CHECK_ANSWER(gRequestStatistics("io,phs", &table), 0, "");
    EXPECT_EQ(table, 0);
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

namespace {

std::string not_of_this_kind(const std::string &operation, int32_t table, const std::string &request)
{
    return "\"" + operation + "\" operation failed. Statistics table " + std::to_string(table) + " (\"" + request +
           "\") is not of this kind.";
}

// The text of a table, or "" (with a failure) when it is refused.
std::string table_text(int32_t table)
{
    const char *text = nullptr;
    int32_t size = 0;
    EXPECT_EQ(gGetStatisticsText(table, &text, &size), 0) << last_error();
    return text ? std::string(text) : std::string();
}

}  // namespace

// Records added to the tables wrongly: a table of another kind, counts that
// are negative or have no records, texts without their NUL, hierarchy rows
// out of order, interval rows of no series; refused with nothing added.
// Records of nonsense values that fit the tables (huge counts, times out of
// range, a hierarchy nested 100,000 deep, an elapsed time of ages) are added,
// and every getter still answers.
TEST_F(Misuse, StatisticsRecordsOutOfRange)
{
    ASSERT_EQ(gInitEpan(), 0);
    request_misuse_tables();
    const sample_packets sample = read_sample();
    ASSERT_FALSE(sample.all.empty());
    const char *requests[] = {"conv,tcp", "endpoints,ip", "io,phs", "io,stat,1"};
    const WsbConversation *conversations;
    const WsbEndpoint *endpoints;
    const WsbHierarchyRow *rows;
    const WsbIntervalRow *intervals;
    int32_t count, nanoseconds;
    int64_t seconds;
    WsbConversation conversation{};
    WsbEndpoint endpoint{};
    WsbHierarchyRow row{};
    WsbIntervalRow interval{};
    for (int32_t table = 0; table < misuse_tables; ++table) {
        SCOPED_TRACE(requests[table]);
        const std::string request = requests[table];
        if (table != conversations_table) {
            CHECK_ANSWER(gGetConversations(table, &conversations, &count), 1,
                         not_of_this_kind("Get Conversations", table, request));
            CHECK_ANSWER(gAddConversations(table, &conversation, 1), 1,
                         not_of_this_kind("Add Conversations", table, request));
        }
        if (table != endpoints_table) {
            CHECK_ANSWER(gGetEndpoints(table, &endpoints, &count), 1, not_of_this_kind("Get Endpoints", table, request));
            CHECK_ANSWER(gAddEndpoints(table, &endpoint, 1), 1, not_of_this_kind("Add Endpoints", table, request));
        }
        if (table != hierarchy_table) {
            CHECK_ANSWER(gGetHierarchy(table, &rows, &count), 1, not_of_this_kind("Get Hierarchy", table, request));
            CHECK_ANSWER(gAddHierarchy(table, &row, 1), 1, not_of_this_kind("Add Hierarchy", table, request));
        }
        if (table != intervals_table) {
            CHECK_ANSWER(gGetIntervals(table, &intervals, &count, &seconds, &nanoseconds), 1,
                         not_of_this_kind("Get Intervals", table, request));
            CHECK_ANSWER(gAddIntervals(table, &interval, 1, 0, 0), 1,
                         not_of_this_kind("Add Intervals", table, request));
        }
    }
    auto missing = [](const std::string &operation) {
        return "\"" + operation + "\" operation failed. The records are missing or their count is negative.";
    };
    for (int32_t bad : {-1, INT32_MIN}) {
        CHECK_ANSWER(gAddConversations(conversations_table, &conversation, bad), 1, missing("Add Conversations"));
        CHECK_ANSWER(gAddEndpoints(endpoints_table, &endpoint, bad), 1, missing("Add Endpoints"));
        CHECK_ANSWER(gAddHierarchy(hierarchy_table, &row, bad), 1, missing("Add Hierarchy"));
        CHECK_ANSWER(gAddIntervals(intervals_table, &interval, bad, 0, 0), 1, missing("Add Intervals"));
        CHECK_ANSWER(gAddIntervals(intervals_table, nullptr, bad, 0, 0), 1, missing("Add Intervals"));
    }
    for (int32_t table = -1; table >= -2; --table)
        CHECK_ANSWER(gAddConversations(table, nullptr, 0), 1,
                     "\"Add Conversations\" operation failed. No statistics table " + std::to_string(table) +
                         " was asked for (4 were).");

    // Refused records add nothing.
    std::vector<std::string> before;
    for (int32_t table = 0; table < misuse_tables; ++table)
        before.push_back(table_text(table));
    auto refused = [](const char *operation) { return "\"" + std::string(operation) + "\" operation failed. "; };
    WsbConversation unterminated{};
    memset(unterminated.address_b, 'B', sizeof unterminated.address_b);
    const WsbConversation two[] = {WsbConversation{}, unterminated};
    CHECK_ANSWER(gAddConversations(conversations_table, two, 2), 1,
                 refused("Add Conversations") + "A conversation's address text is not NUL-terminated.");
    WsbEndpoint unterminated_endpoint{};
    memset(unterminated_endpoint.address, 'E', sizeof unterminated_endpoint.address);
    CHECK_ANSWER(gAddEndpoints(endpoints_table, &unterminated_endpoint, 1), 1,
                 refused("Add Endpoints") + "An endpoint's address text is not NUL-terminated.");
    WsbHierarchyRow unnamed{};
    memset(unnamed.protocol, 'P', sizeof unnamed.protocol);
    CHECK_ANSWER(gAddHierarchy(hierarchy_table, &unnamed, 1), 1,
                 refused("Add Hierarchy") + "A hierarchy row's protocol name is not NUL-terminated.");
    const std::string out_of_order = refused("Add Hierarchy") +
                                     "A hierarchy row's parent is not a row before it, or its depth is not one more "
                                     "than its parent's.";
    auto hierarchy_row = [](const char *protocol, int32_t depth, int32_t parent) {
        WsbHierarchyRow r{};
        strcpy(r.protocol, protocol);
        r.depth = depth;
        r.parent = parent;
        r.frames = 1;
        r.bytes = 60;
        r.first_frame = 1;
        return r;
    };
    for (const auto &[depth, parent] : std::vector<std::pair<int32_t, int32_t>>{
             {-1, -1}, {1, -1}, {INT32_MIN, -1}, {1, -2}, {0, INT32_MIN}, {1, 1}, {1, 2}, {5, 0}, {INT32_MAX, 0}}) {
        SCOPED_TRACE(std::to_string(depth) + " " + std::to_string(parent));
        const WsbHierarchyRow pair[] = {hierarchy_row("eth", 0, -1), hierarchy_row("ip", depth, parent)};
        CHECK_ANSWER(gAddHierarchy(hierarchy_table, pair, 2), 1, out_of_order);
    }
    const std::string no_series =
        refused("Add Intervals") + "An interval row names a series the table does not have, or a negative interval.";
    for (const auto &[series, number] :
         std::vector<std::pair<int32_t, int64_t>>{{-1, 0}, {1, 0}, {INT32_MAX, 0}, {INT32_MIN, 0}, {0, -1}, {0, INT64_MIN}}) {
        WsbIntervalRow r{};
        r.series = series;
        r.interval = number;
        CHECK_ANSWER(gAddIntervals(intervals_table, &r, 1, 0, 0), 1, no_series);
    }
    for (const auto &[secs, nsecs] : std::vector<std::pair<int64_t, int32_t>>{
             {-1, 0}, {INT64_MIN, 0}, {0, -1}, {0, 1000000000}, {0, INT32_MAX}, {0, INT32_MIN}})
        CHECK_ANSWER(gAddIntervals(intervals_table, nullptr, 0, secs, nsecs), 1,
                     "\"Add Intervals\" operation failed. The elapsed time is negative or its nanoseconds are out of "
                     "range.");
    for (int32_t table = 0; table < misuse_tables; ++table)
        EXPECT_EQ(table_text(table), before[static_cast<size_t>(table)]) << requests[table];

    // Nonsense that fits: added, twice (counts wrap), and answered.
    WsbConversation huge{};
    strcpy(huge.address_a, "huge.a");
    strcpy(huge.address_b, "huge.b");
    huge.address_type = INT32_MIN;
    huge.port_a = UINT32_MAX;
    huge.frames_a_to_b = huge.bytes_a_to_b = huge.frames_b_to_a = huge.bytes_b_to_a = UINT64_MAX;
    huge.start_seconds = INT64_MIN;
    huge.start_nanoseconds = INT32_MIN;
    huge.stop_seconds = INT64_MAX;
    huge.stop_nanoseconds = INT32_MAX;
    huge.absolute_seconds = INT64_MAX;
    huge.first_frame = UINT32_MAX;
    huge.conversation_id = INT32_MIN;
    WsbEndpoint huge_endpoint{};
    memset(huge_endpoint.address, 'e', sizeof huge_endpoint.address - 1);
    huge_endpoint.address_type = 9999;
    huge_endpoint.tx_frames = huge_endpoint.tx_bytes = huge_endpoint.rx_frames = huge_endpoint.rx_bytes = UINT64_MAX;
    WsbIntervalRow huge_interval{};
    huge_interval.interval = INT64_MAX;
    huge_interval.frames = huge_interval.bytes = huge_interval.values = UINT64_MAX;
    huge_interval.sum = huge_interval.minimum = INT64_MIN;
    huge_interval.maximum = INT64_MAX;
    huge_interval.first_frame_values = INT32_MIN;
    huge_interval.float_sum = 1e308;
    huge_interval.float_minimum = -1e308;
    WsbIntervalRow first_interval = huge_interval;
    first_interval.interval = 0;
    first_interval.first_frame = 1;
    for (int again = 0; again < 2; ++again) {
        CHECK_ANSWER(gAddConversations(conversations_table, &huge, 1), 0, "");
        CHECK_ANSWER(gAddEndpoints(endpoints_table, &huge_endpoint, 1), 0, "");
        const WsbIntervalRow both[] = {huge_interval, first_interval};
        CHECK_ANSWER(gAddIntervals(intervals_table, both, 2, 0, 999999999), 0, "");
    }
    // A hierarchy nested deeper than any packet's protocols.
    constexpr int32_t deep = 100000;
    std::vector<WsbHierarchyRow> chain;
    for (int32_t i = 0; i < deep; ++i)
        chain.push_back(hierarchy_row(i % 2 ? "ip" : "eth", i, i - 1));
    CHECK_ANSWER(gAddHierarchy(hierarchy_table, chain.data(), deep), 0, "");
    CHECK_ANSWER(gGetHierarchy(hierarchy_table, &rows, &count), 0, "");
    EXPECT_GE(count, deep);
    wsbsweep::report report;
    wsbsweep::sweep_statistics(report, misuse_tables);
    for (const std::string &problem : report.problems)
        ADD_FAILURE() << problem;

    // An elapsed time of ages: the records answer; the text, one row per
    // interval, is more than a text can hold and is refused.
    CHECK_ANSWER(gAddIntervals(intervals_table, nullptr, 0, INT64_MAX, 999999999), 0, "");
    CHECK_ANSWER(gGetIntervals(intervals_table, &intervals, &count, &seconds, &nanoseconds), 0, "");
    EXPECT_EQ(seconds, INT64_MAX);
    EXPECT_EQ(nanoseconds, 999999999);
    const char *text = nullptr;
    int32_t size = -1;
    prime_error_text();
    EXPECT_EQ(gGetStatisticsText(intervals_table, &text, &size), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_LIMIT) << last_error();
    for (int64_t ages : {int64_t{1000000000000}, int64_t{1} << 40, int64_t{100000000}}) {
        SCOPED_TRACE(ages);
        ASSERT_EQ(gClearStatistics(), 1);  // the capture is open
        CHECK_ANSWER(gCloseCapture(), 0, "");
        CHECK_ANSWER(gClearStatistics(), 0, "");
        int32_t table = -1;
        CHECK_ANSWER(gRequestStatistics("io,stat,1", &table), 0, "");
        CHECK_ANSWER(gAddIntervals(table, nullptr, 0, ages, 0), 0, "");
        prime_error_text();
        EXPECT_EQ(gGetStatisticsText(table, &text, &size), 1);
        EXPECT_EQ(gGetLastErrorCode(), WSB_E_LIMIT) << last_error();
        check_answer("gGetStatisticsText", 1, 1, "");
        ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    }
    // Opening a capture starts every table from nothing.
    CHECK_ANSWER(gGetIntervals(0, &intervals, &count, &seconds, &nanoseconds), 0, "");
    EXPECT_EQ(count, 0);
    CHECK_ANSWER(gCloseCapture(), 0, "");
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}

// Live capture options that name no interface, no place for the spool or a
// filter that does not compile: refused with dumpcap's reason, nothing left
// running or on disk; the capture file open before is closed (the call
// closes it before it starts dumpcap).
TEST_F(Misuse, LiveOptionsThatCaptureNothing)
{
    const std::string missing = live_capture_rights_missing();
    if (!missing.empty())
        GTEST_SKIP() << "needs capture rights: " << missing;
    ASSERT_EQ(gInitEpan(), 0);
    const std::string long_name(5000, 'i');
    for (const std::string &name : {std::string("nope0"), std::string("99999"), std::string("-w"),
                                    std::string("lo -w /tmp/x"), long_name, std::string("\xff\xfe")}) {
        SCOPED_TRACE(name.substr(0, 40));
        WsbLiveOptions options = quiet_live_options();
        options.interface_name = name.c_str();
        prime_error_text();
        check_answer("gOpenLiveCapture", gOpenLiveCapture(&options), 1, "");
    }
    WsbLiveOptions options = quiet_live_options();
    options.spool_folder = "/nonexistent/spool";
    CHECK_ANSWER(gOpenLiveCapture(&options), 1,
                 "The spool folder cannot be made in \"/nonexistent/spool\": No such file or directory.");
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_FILE);
    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0);
    options = quiet_live_options();
    options.capture_filter = "udp port";
    prime_error_text();
    check_answer("gOpenLiveCapture", gOpenLiveCapture(&options), 1, "");
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_FILTER) << last_error();
    EXPECT_EQ(last_error().rfind("The capture filter \"udp port\" does not compile: ", 0), 0u) << last_error();
    PacketSummary s;
    CHECK_ANSWER(gGetNextPacket(&s), 1, no_capture("Get Next Packet"));
    uint64_t written, dropped;
    CHECK_ANSWER(gGetLiveCaptureCounts(&written, &dropped), 1, no_capture("Get Live Capture Counts"));
    EXPECT_TRUE(wsbsweep::directory_entries(library_temp.path.string()).empty());
    CHECK_ANSWER(gCleanupEpan(), 0, "");
}
