// SPDX-License-Identifier: GPL-2.0-or-later
// Live capture on the loopback interface, with traffic each test makes
// itself (UDP, TCP and a small HTTP exchange between sockets on 127.0.0.1)
// on a port it picks, behind a capture filter naming that port, so that
// other loopback traffic is not seen. Tests that capture need the rights to
// (CI runs as root); without them they are skipped with the reason.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "wsbridge.h"
#include "capture_support.h"
#include "test_support.h"

namespace {

using wsbcapture::tshark_rows;
using wsbtest::run_command;
using wsbtest::temp_dir;

// Why this process cannot capture on lo, or "" when it can.
std::string capture_rights_missing()
{
    int status = 0;
    run_command("command -v dumpcap >/dev/null", &status);
    if (status != 0)
        return "dumpcap (wireshark-common) is not installed";
    if (geteuid() == 0)
        return "";
    temp_dir dir;
    run_command("dumpcap -i lo -a duration:1 -q -w " + dir.file("probe.pcapng") + " >/dev/null 2>&1", &status);
    return status == 0 ? "" : "this user may not capture on lo (not root, dumpcap without its capabilities)";
}

#define REQUIRE_CAPTURE_RIGHTS()                                  \
    do {                                                          \
        const std::string missing = capture_rights_missing();    \
        if (!missing.empty())                                     \
            GTEST_SKIP() << "needs capture rights: " << missing; \
    } while (0)

sockaddr_in loopback(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A port no one listens on now (the kernel's choice of a free one).
uint16_t free_port(int type)
{
    const int s = socket(AF_INET, type, 0);
    sockaddr_in address = loopback(0);
    bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr *>(&address), &size);
    close(s);
    return ntohs(address.sin_port);
}

// count datagrams to port, the i-th (from 0) with i + 1 bytes of payload.
void send_udp(uint16_t port, int count)
{
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in to = loopback(port);
    std::string payload;
    for (int i = 0; i < count; ++i) {
        payload.push_back(static_cast<char>('a' + i % 26));
        sendto(s, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    }
    close(s);
}

// An HTTP request and its answer over TCP on port, closed by both ends.
void http_exchange(uint16_t port)
{
    const int server = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = loopback(port);
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    listen(server, 1);
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    const int accepted = accept(server, nullptr, nullptr);
    const char request[] = "GET /live HTTP/1.1\r\nHost: localhost\r\n\r\n";
    const char answer[] = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nhello";
    ASSERT_EQ(write(client, request, sizeof request - 1), static_cast<ssize_t>(sizeof request - 1));
    char buffer[256];
    ASSERT_GT(read(accepted, buffer, sizeof buffer), 0);
    ASSERT_EQ(write(accepted, answer, sizeof answer - 1), static_cast<ssize_t>(sizeof answer - 1));
    ASSERT_GT(read(client, buffer, sizeof buffer), 0);
    close(client);
    close(accepted);
    close(server);
}

WsbLiveOptions options_for(const std::string &filter, const char *folder = nullptr)
{
    static std::string kept;
    kept = filter;
    WsbLiveOptions options{};
    options.interface_name = "lo";
    options.capture_filter = kept.c_str();
    options.spool_folder = folder;
    return options;
}

// The processes whose command line names text (dumpcap writing into a
// test's own spool folder).
std::vector<pid_t> processes_naming(const std::string &text)
{
    std::vector<pid_t> found;
    DIR *proc = opendir("/proc");
    while (const dirent *entry = proc ? readdir(proc) : nullptr) {
        const pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
        if (pid <= 0 || pid == getpid())
            continue;
        std::ifstream file("/proc/" + std::string(entry->d_name) + "/cmdline");
        std::string command((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        for (char &c : command)
            if (c == '\0')
                c = ' ';
        if (command.find("dumpcap") != std::string::npos && command.find(text) != std::string::npos)
            found.push_back(pid);
    }
    if (proc)
        closedir(proc);
    return found;
}

bool gone_within(const std::string &text, int ms)
{
    for (int waited = 0; waited < ms; waited += 50) {
        if (processes_naming(text).empty())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return processes_naming(text).empty();
}

class LiveCapture : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(gInitEpan(), 0) << gGetLastError(); }
    void TearDown() override { gCleanupEpan(); }
};

// Every datagram sent is read, in order, numbered from 1; dumpcap's stop
// count ends reading with 2; the summaries equal tshark's of a copy saved
// from the spool.
TEST_F(LiveCapture, EveryUdpPacketInOrderAsTsharkReadsTheSpool)
{
    REQUIRE_CAPTURE_RIGHTS();
    const uint16_t port = free_port(SOCK_DGRAM);
    WsbLiveOptions options = options_for("udp port " + std::to_string(port));
    options.stop_after_packets = 40;
    ASSERT_EQ(gOpenLiveCapture(&options), 0) << gGetLastError();
    send_udp(port, 40);
    std::vector<PacketSummary> read;
    PacketSummary s;
    int32_t status;
    while ((status = gGetNextPacket(&s)) == 0)
        read.push_back(s);
    ASSERT_EQ(status, 2) << gGetLastError();
    ASSERT_EQ(read.size(), 40u);
    for (size_t i = 0; i < read.size(); ++i) {
        EXPECT_EQ(read[i].frame_number, i + 1);
        EXPECT_EQ(read[i].destination_port, port);
        EXPECT_EQ(read[i].packet_length, 42u + i + 1) << "datagram " << i << " out of order";
    }
    uint64_t written = 0, dropped = 0;
    ASSERT_EQ(gGetLiveCaptureCounts(&written, &dropped), 0) << gGetLastError();
    EXPECT_EQ(written, 40u);
    EXPECT_EQ(dropped, 0u);
    temp_dir dir;
    const std::string copy = dir.file("copy.pcapng");
    int32_t saved = 0;
    ASSERT_EQ(gSaveFrames(copy.c_str(), WSB_SAVE_FORMAT_PCAPNG, nullptr, 0, nullptr, 0, &saved, nullptr, nullptr), 0)
        << gGetLastError();
    EXPECT_EQ(saved, 40);
    int tshark_status = 0;
    const std::vector<wsbcapture::oracle_row> rows = tshark_rows(copy, &tshark_status);
    ASSERT_EQ(rows.size(), read.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].number, std::to_string(read[i].frame_number));
        EXPECT_EQ(rows[i].protocol, read[i].protocol_text);
        EXPECT_EQ(wsbcapture::cut(rows[i].info, 255), read[i].info_text);
        EXPECT_EQ(rows[i].source, read[i].source_text);
        EXPECT_EQ(rows[i].destination, read[i].destination_text);
        EXPECT_EQ(rows[i].length, std::to_string(read[i].packet_length));
    }
    ASSERT_EQ(gCloseCapture(), 0);
}

// TCP and HTTP: the packets read as they arrive (waiting with a timeout),
// stopped by gStopLiveCapture, equal tshark's reading of the spool; the
// packets read so far can be re-read and followed.
TEST_F(LiveCapture, HttpExchangeStoppedByTheHostAsTsharkReadsTheSpool)
{
    REQUIRE_CAPTURE_RIGHTS();
    const uint16_t port = free_port(SOCK_STREAM);
    temp_dir spool;
    WsbLiveOptions options = options_for("tcp port " + std::to_string(port), spool.path.c_str());
    ASSERT_EQ(gOpenLiveCapture(&options), 0) << gGetLastError();
    EXPECT_EQ(gWaitForPacket(0), WSB_TIMED_OUT);
    http_exchange(port);
    // Three-way handshake, request and answer with their ACKs, and the two
    // FINs with theirs: at least 9 packets.
    std::vector<PacketSummary> read;
    PacketSummary s;
    while (read.size() < 9) {
        ASSERT_EQ(gWaitForPacket(5000), 0) << "only " << read.size() << " packets arrived";
        ASSERT_EQ(gGetNextPacket(&s), 0) << gGetLastError();
        read.push_back(s);
    }
    // A packet read so far is read again by offset, and its conversation followed.
    PacketSummary again{};
    ASSERT_EQ(gGetPacketAtOffset(&again, read[0].frame_number, read[0].file_offset, read[0].captured_length,
                                 read[0].packet_length, read[0].encapsulation),
              0)
        << gGetLastError();
    EXPECT_EQ(std::string(again.source_text), read[0].source_text);
    ASSERT_EQ(gFollowConversation(0, read[3].frame_number, read[3].file_offset, read[3].captured_length,
                                  read[3].packet_length, read[3].encapsulation),
              0)
        << gGetLastError();
    ASSERT_EQ(gStopLiveCapture(), 0);
    int32_t status;
    while ((status = gGetNextPacket(&s)) == 0)
        read.push_back(s);
    ASSERT_EQ(status, 2) << gGetLastError();
    bool http = false;
    for (const PacketSummary &p : read)
        http = http || std::string(p.protocol_text) == "HTTP";
    EXPECT_TRUE(http);
    // The spool itself, read by tshark.
    std::string spool_file;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(spool.path))
        if (entry.is_regular_file())
            spool_file = entry.path().string();
    ASSERT_FALSE(spool_file.empty());
    int tshark_status = 0;
    const std::vector<wsbcapture::oracle_row> rows = tshark_rows(spool_file, &tshark_status);
    ASSERT_EQ(rows.size(), read.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].protocol, read[i].protocol_text) << "frame " << i + 1;
        EXPECT_EQ(wsbcapture::cut(rows[i].info, 255), read[i].info_text) << "frame " << i + 1;
    }
    ASSERT_EQ(gCloseCapture(), 0);
    // Closing removed the spool and left no dumpcap.
    EXPECT_TRUE(std::filesystem::is_empty(spool.path));
    EXPECT_TRUE(gone_within(spool.path.string(), 2000));
}

// The capture filter applies: datagrams to another port are not captured.
TEST_F(LiveCapture, CaptureFilterApplies)
{
    REQUIRE_CAPTURE_RIGHTS();
    const uint16_t port = free_port(SOCK_DGRAM);
    const uint16_t other = static_cast<uint16_t>(port == 65535 ? port - 1 : port + 1);
    WsbLiveOptions options = options_for("udp dst port " + std::to_string(port));
    options.stop_after_packets = 5;
    ASSERT_EQ(gOpenLiveCapture(&options), 0) << gGetLastError();
    send_udp(other, 5);
    send_udp(port, 5);
    PacketSummary s;
    int32_t status, packets = 0;
    while ((status = gGetNextPacket(&s)) == 0) {
        ++packets;
        EXPECT_EQ(s.destination_port, port);
    }
    EXPECT_EQ(status, 2) << gGetLastError();
    EXPECT_EQ(packets, 5);
}

pid_t test_process;

// A host's own SIGCHLD handler (as the .NET runtime installs one), which
// must never run in a process the library forks.
void host_child_handler(int)
{
    if (getpid() != test_process)
        abort();
}

// The duration stops dumpcap; waiting before then times out. A host's own
// SIGCHLD handler changes nothing.
TEST_F(LiveCapture, DurationStopsTheCapture)
{
    REQUIRE_CAPTURE_RIGHTS();
    test_process = getpid();
    struct sigaction handler {}, before {};
    handler.sa_handler = host_child_handler;
    sigaction(SIGCHLD, &handler, &before);
    const uint16_t port = free_port(SOCK_DGRAM);
    WsbLiveOptions options = options_for("udp port " + std::to_string(port));
    options.stop_after_seconds = 1;
    ASSERT_EQ(gOpenLiveCapture(&options), 0) << gGetLastError();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(gWaitForPacket(100), WSB_TIMED_OUT);
    send_udp(port, 3);
    PacketSummary s;
    int32_t status, packets = 0;
    while ((status = gGetNextPacket(&s)) == 0)
        ++packets;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(status, 2) << gGetLastError();
    EXPECT_EQ(packets, 3);
    EXPECT_GE(seconds, 0.9);
    EXPECT_LT(seconds, 5.0);
    EXPECT_EQ(gWaitForPacket(0), 2);
    sigaction(SIGCHLD, &before, nullptr);
}

// A new session every 10 packets: numbers go on, frames of earlier sessions
// cannot be read again, those of the current one can.
TEST_F(LiveCapture, SessionOptionKeepsFrameNumbersGoing)
{
    REQUIRE_CAPTURE_RIGHTS();
    const uint16_t port = free_port(SOCK_DGRAM);
    WsbLiveOptions options = options_for("udp port " + std::to_string(port));
    options.stop_after_packets = 35;
    options.session_packets = 10;
    ASSERT_EQ(gOpenLiveCapture(&options), 0) << gGetLastError();
    send_udp(port, 35);
    std::vector<PacketSummary> read;
    PacketSummary s;
    int32_t status;
    while ((status = gGetNextPacket(&s)) == 0)
        read.push_back(s);
    ASSERT_EQ(status, 2) << gGetLastError();
    ASSERT_EQ(read.size(), 35u);
    for (size_t i = 0; i < read.size(); ++i) {
        EXPECT_EQ(read[i].frame_number, i + 1);
        EXPECT_EQ(read[i].packet_length, 42u + i + 1);
    }
    const PacketSummary &early = read[4], &late = read[32];
    EXPECT_EQ(gGetPacketAtOffset(&s, early.frame_number, early.file_offset, early.captured_length, early.packet_length,
                                 early.encapsulation),
              1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_STALE);
    EXPECT_EQ(gGetPacketAtOffset(&s, late.frame_number, late.file_offset, late.captured_length, late.packet_length,
                                 late.encapsulation),
              0)
        << gGetLastError();
    EXPECT_EQ(s.packet_length, late.packet_length);
}

// A ring of small spool files: every packet is read across the files, in
// order; packets of earlier files cannot be read again (WSB_E_STALE), never
// another packet's bytes.
TEST_F(LiveCapture, RingOfSpoolFiles)
{
    REQUIRE_CAPTURE_RIGHTS();
    const uint16_t port = free_port(SOCK_DGRAM);
    WsbLiveOptions options = options_for("udp port " + std::to_string(port));
    options.stop_after_packets = 60;
    options.ring_file_kilobytes = 2;
    options.ring_files = 3;
    ASSERT_EQ(gOpenLiveCapture(&options), 0) << gGetLastError();
    std::vector<PacketSummary> read;
    PacketSummary s;
    // Slowly enough that the ring keeps the file being read.
    for (int sent = 0; sent < 60; sent += 10) {
        send_udp(port, 10);
        while (read.size() < static_cast<size_t>(sent + 10)) {
            ASSERT_EQ(gWaitForPacket(5000), 0) << gGetLastError();
            ASSERT_EQ(gGetNextPacket(&s), 0) << gGetLastError();
            read.push_back(s);
        }
    }
    ASSERT_EQ(gGetNextPacket(&s), 2) << gGetLastError();
    for (size_t i = 0; i < read.size(); ++i) {
        EXPECT_EQ(read[i].frame_number, i + 1);
        EXPECT_EQ(read[i].packet_length, 42u + i % 10 + 1);
    }
    const PacketSummary &early = read[0], &last = read.back();
    EXPECT_EQ(gGetPacketAtOffset(&s, early.frame_number, early.file_offset, early.captured_length, early.packet_length,
                                 early.encapsulation),
              1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_STALE);
    EXPECT_EQ(gGetPacketAtOffset(&s, last.frame_number, last.file_offset, last.captured_length, last.packet_length,
                                 last.encapsulation),
              0)
        << gGetLastError();
}

TEST_F(LiveCapture, NoSuchInterface)
{
    REQUIRE_CAPTURE_RIGHTS();
    WsbLiveOptions options = options_for("");
    options.interface_name = "wsbnosuch0";
    EXPECT_EQ(gOpenLiveCapture(&options), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_BAD_ARGUMENT);
    EXPECT_NE(std::string(gGetLastError()).find("wsbnosuch0"), std::string::npos) << gGetLastError();
    EXPECT_EQ(gWaitForPacket(0), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_NO_CAPTURE);
}

TEST_F(LiveCapture, CaptureFilterThatDoesNotCompile)
{
    REQUIRE_CAPTURE_RIGHTS();
    WsbLiveOptions options = options_for("udp port nosuchservice");
    EXPECT_EQ(gOpenLiveCapture(&options), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_FILTER);
    EXPECT_NE(std::string(gGetLastError()).find("nosuchservice"), std::string::npos) << gGetLastError();
}

TEST_F(LiveCapture, MissingCaptureProgram)
{
    setenv("WSB_DUMPCAP", "/nonexistent/dumpcap", 1);
    WsbLiveOptions options = options_for("");
    EXPECT_EQ(gOpenLiveCapture(&options), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_UNSUPPORTED);
    EXPECT_NE(std::string(gGetLastError()).find("/nonexistent/dumpcap"), std::string::npos) << gGetLastError();
    const WsbInterface *interfaces = nullptr;
    int32_t count = 0;
    EXPECT_EQ(gListInterfaces(&interfaces, &count), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_UNSUPPORTED);
    unsetenv("WSB_DUMPCAP");
}

TEST_F(LiveCapture, RefusedOptions)
{
    WsbLiveOptions options = options_for("");
    EXPECT_EQ(gOpenLiveCapture(nullptr), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_BAD_ARGUMENT);
    options.stop_after_packets = -1;
    EXPECT_EQ(gOpenLiveCapture(&options), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_BAD_ARGUMENT);
    options.stop_after_packets = 0;
    options.ring_files = 3;
    EXPECT_EQ(gOpenLiveCapture(&options), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_BAD_ARGUMENT);
    options.ring_files = 0;
    ASSERT_EQ(gSetReadingShare(0, 2, WSB_SHARE_BALANCED), 0);
    EXPECT_EQ(gOpenLiveCapture(&options), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_STATE);
}

// dumpcap killed mid-capture: the packets it wrote are read, then 1 with
// the reason.
TEST_F(LiveCapture, CaptureProgramKilled)
{
    REQUIRE_CAPTURE_RIGHTS();
    const uint16_t port = free_port(SOCK_DGRAM);
    temp_dir spool;
    WsbLiveOptions options = options_for("udp port " + std::to_string(port), spool.path.c_str());
    ASSERT_EQ(gOpenLiveCapture(&options), 0) << gGetLastError();
    send_udp(port, 5);
    PacketSummary s;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(gWaitForPacket(5000), 0);
        ASSERT_EQ(gGetNextPacket(&s), 0) << gGetLastError();
    }
    const std::vector<pid_t> dumpcap = processes_naming(spool.path.string());
    ASSERT_EQ(dumpcap.size(), 1u);
    kill(dumpcap[0], SIGKILL);
    EXPECT_EQ(gGetNextPacket(&s), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_ENGINE);
    EXPECT_NE(std::string(gGetLastError()).find("killed"), std::string::npos) << gGetLastError();
    EXPECT_EQ(gCloseCapture(), 0);
    EXPECT_TRUE(std::filesystem::is_empty(spool.path));
}

// A host killed with SIGKILL leaves no dumpcap running and no spool.
TEST_F(LiveCapture, KilledHostLeavesNoCaptureProgram)
{
    REQUIRE_CAPTURE_RIGHTS();
    temp_dir spool;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t host = fork();
    if (host == 0) {
        // The engine of this process was started by SetUp: it captures here.
        WsbLiveOptions options = options_for("udp port 9", spool.path.c_str());
        const char answer = gOpenLiveCapture(&options) == 0 ? 'y' : 'n';
        if (write(ready[1], &answer, 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    char answer = 0;
    ASSERT_EQ(read(ready[0], &answer, 1), 1);
    ASSERT_EQ(answer, 'y');
    ASSERT_EQ(processes_naming(spool.path.string()).size(), 1u);
    kill(host, SIGKILL);
    waitpid(host, nullptr, 0);
    EXPECT_TRUE(gone_within(spool.path.string(), 5000)) << "dumpcap still runs after its host was killed";
    // The keeper removed the spool the host could not.
    for (int waited = 0; waited < 2000 && !std::filesystem::is_empty(spool.path); waited += 50)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(std::filesystem::is_empty(spool.path));
}

// The interfaces as dumpcap lists them: lo among them, as tshark -D names it.
TEST_F(LiveCapture, ListsInterfacesAsTsharkDoes)
{
    int status = 0;
    run_command("command -v dumpcap >/dev/null", &status);
    if (status != 0)
        GTEST_SKIP() << "dumpcap (wireshark-common) is not installed";
    const WsbInterface *interfaces = nullptr;
    int32_t count = 0;
    ASSERT_EQ(gListInterfaces(&interfaces, &count), 0) << gGetLastError();
    const std::vector<std::string> tshark = wsbtest::lines_of(run_command("tshark -D 2>/dev/null"));
    bool loopback = false;
    ASSERT_LE(static_cast<size_t>(count), tshark.size());
    for (int32_t i = 0; i < count; ++i) {
        std::string line = std::to_string(interfaces[i].number) + ". " + interfaces[i].name;
        if (interfaces[i].description[0])
            line += std::string(" (") + interfaces[i].description + ")";
        EXPECT_EQ(line, tshark[i]);
        loopback = loopback || (std::string(interfaces[i].name) == "lo" && interfaces[i].loopback == 1);
    }
    EXPECT_TRUE(loopback);
}

}  // namespace
