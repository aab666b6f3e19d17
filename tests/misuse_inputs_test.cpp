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

