/* SPDX-License-Identifier: GPL-2.0-or-later */
// What the misuse tests share: the library's messages for calls made in the
// wrong state, checking a status and its message (with a sentinel text
// primed before each call, so that a failure that writes no message of its
// own is caught), the sample capture read whole, and the fixture that gives
// the library a fresh temporary directory and checks it is left empty.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "wsbridge.h"
#include "api_sweep.h"
#include "locator.h"
#include "test_support.h"

namespace wsbmisuse {

using wsbtest::locator;
using wsbtest::locator_of;
using wsbtest::request_of;
using wsbtest::temp_dir;

inline std::string last_error()
{
    return gGetLastError();
}

inline std::string not_started(const std::string &operation)
{
    return "\"" + operation + "\" operation failed. Wireshark engine is not initialized yet.";
}

inline std::string shut_down(const std::string &operation)
{
    return "\"" + operation + "\" operation failed. Wireshark engine was already uninitialized.";
}

inline std::string no_capture(const std::string &operation)
{
    return "\"" + operation + "\" operation failed. A capture file needs to be opened in order to perform this operation.";
}

inline std::string no_dissection(const std::string &operation)
{
    return "\"" + operation + "\" operation failed. There is no dissected packet: read a packet of an open capture first.";
}

inline const char tcp_idle[] = "Follow TCP structure is not initialized.";
inline const char udp_idle[] = "Follow UDP structure is not initialized.";
inline const char tcp_add_idle[] = "Error generating stream info for packet: Temporary stream file has to be opened.";
inline const char invalid_node_uint64[] = "Invalid node passed when trying to retrieve protocol field value";
inline const char invalid_node_int32[] = "Invalid node passed when trying to retrieve protocol Int32 field value";
inline const char invalid_node_string[] = "Invalid node passed when trying to retrieve protocol string field value";
inline const char invalid_node_text[] = "Invalid node passed when trying to retrieve protocol field value text";

// Before every checked call a known failure writes a text of its own, so that
// a failure that writes no message is caught even where only "some message"
// is expected.
inline void prime_error_text()
{
    int32_t id, type;
    gGetProtocolFieldFilterInfo("misuse.sentinel", &id, &type);
}

// A status, and for a failure its message: exactly `message` when one is
// given, otherwise non-empty and not the primed one.
inline void check_answer(const std::string &what, int32_t got, int32_t status, const std::string &message)
{
    EXPECT_EQ(got, status) << what << ": " << last_error();
    if (got != 1 || status != 1)
        return;
    const std::string text = last_error();
    if (!message.empty()) {
        EXPECT_EQ(text, message) << what;
    } else {
        EXPECT_FALSE(text.empty()) << what;
        EXPECT_EQ(text.find("misuse.sentinel"), std::string::npos) << what << " wrote no message of its own";
    }
    EXPECT_LE(text.size(), 2048u) << what;
}

#define CHECK_ANSWER(call, status, message) check_answer(#call, (prime_error_text(), (call)), status, message)

// The sample capture: 1-2 ARP, 3-4 DNS over UDP/IPv4, 5-6 ICMP, 7-16 an HTTP
// exchange over TCP/IPv4 (10 the request), 17-18 DNS over UDP/IPv6.
struct sample_packets {
    locator arp, udp, tcp;
    std::vector<locator> all;
};

// Reads the whole sample capture (it stays open, read to its end).
inline sample_packets read_sample()
{
    sample_packets sample{};
    EXPECT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0) << last_error();
    PacketSummary s;
    while (gGetNextPacket(&s) == 0)
        sample.all.push_back(locator_of(s));
    EXPECT_GE(sample.all.size(), 16u);
    if (sample.all.size() >= 16) {
        sample.arp = sample.all[0];
        sample.udp = sample.all[2];
        sample.tcp = sample.all[9];  // the HTTP request
    }
    return sample;
}

// The statistics tables every state test asks for (before it opens a
// capture), one of each kind, numbered in this order.
enum misuse_table : int32_t { conversations_table, endpoints_table, hierarchy_table, intervals_table, misuse_tables };

inline void request_misuse_tables()
{
    const char *requests[] = {"conv,tcp", "endpoints,ip", "io,phs", "io,stat,1"};
    for (int32_t i = 0; i < misuse_tables; ++i) {
        int32_t table = -1;
        EXPECT_EQ(gRequestStatistics(requests[i], &table), 0) << last_error();
        EXPECT_EQ(table, i) << requests[i];
    }
}

// dumpcap (the engine's capture program) can be run.
inline bool dumpcap_installed()
{
    int status = 0;
    wsbtest::run_command("command -v dumpcap >/dev/null 2>&1 || test -x /usr/bin/dumpcap", &status);
    return status == 0;
}

// Why this process cannot capture on lo, or "" when it can (CI runs as root).
inline std::string live_capture_rights_missing()
{
    if (!dumpcap_installed())
        return "dumpcap (wireshark-common) is not installed";
    if (geteuid() == 0)
        return "";
    temp_dir dir;
    int status = 0;
    wsbtest::run_command("dumpcap -i lo -a duration:1 -q -w " + dir.file("probe.pcapng") + " >/dev/null 2>&1", &status);
    return status == 0 ? "" : "this user may not capture on lo (not root, dumpcap without its capabilities)";
}

// Options that capture nothing on lo for a second: a filter no traffic of
// the tests matches.
inline WsbLiveOptions quiet_live_options()
{
    WsbLiveOptions options{};
    options.interface_name = "lo";
    options.capture_filter = "udp port 9";
    options.stop_after_seconds = 1;
    return options;
}

// The library's temporary files go to a fresh directory, which must be empty
// at the end of every test.
class Misuse : public ::testing::Test {
protected:
    temp_dir work;
    temp_dir library_temp;
    std::string save_path;
    std::string previous_temp;
    void SetUp() override
    {
        ASSERT_FALSE(work.path.empty());
        ASSERT_FALSE(library_temp.path.empty());
        const char *value = getenv("TMPDIR");
        previous_temp = value ? value : "";
        setenv("TMPDIR", library_temp.path.c_str(), 1);
        save_path = work.file("saved.pcap");
    }
    void TearDown() override
    {
        const std::vector<std::string> left = wsbsweep::directory_entries(library_temp.path.string());
        EXPECT_TRUE(left.empty()) << "left behind: " << left.front();
        if (previous_temp.empty())
            unsetenv("TMPDIR");
        else
            setenv("TMPDIR", previous_temp.c_str(), 1);
    }
};

}  // namespace wsbmisuse
