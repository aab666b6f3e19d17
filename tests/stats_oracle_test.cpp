// SPDX-License-Identifier: GPL-2.0-or-later
// Statistics tables against tshark's -z tables, through the public
// interface: every shared capture's conversations, endpoints, protocol
// hierarchy and io,stat tables (with field functions), the records of two
// reading shares added together against one process's, and the calls used
// out of order or with bad requests and records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "capture_support.h"
#include "test_support.h"
#include "wsbridge.h"

using namespace wsbtest;
using namespace wsbcapture;

namespace {

// The tables every capture is checked with.
const std::vector<std::string> table_requests = {
    "conv,eth",      "conv,ip",      "conv,ipv6",      "conv,tcp",      "conv,udp",      "endpoints,eth",
    "endpoints,ip",  "endpoints,ipv6", "endpoints,tcp", "endpoints,udp", "io,phs",        "io,stat,0",
};

std::string tshark_tables(const std::string &path, const std::vector<std::string> &requests)
{
    std::string command = "tshark -n -q " + std::string(tshark_prefs()) + " -r " + shell_quote(path);
    for (const std::string &request : requests)
        command += " -z " + shell_quote(request);
    return run_command(command + " 2>/dev/null");
}

std::string table_text(int32_t table)
{
    const char *text = nullptr;
    int32_t size = 0;
    EXPECT_EQ(gGetStatisticsText(table, &text, &size), 0) << last_error();
    if (!text)
        return {};
    EXPECT_EQ(static_cast<size_t>(size), strlen(text) + 1);
    return text;
}

std::vector<int32_t> request_all(const std::vector<std::string> &requests)
{
    std::vector<int32_t> tables;
    for (const std::string &request : requests) {
        int32_t table = -1;
        EXPECT_EQ(gRequestStatistics(request.c_str(), &table), 0) << request << ": " << last_error();
        tables.push_back(table);
    }
    return tables;
}

// Reads the capture to its end; false when it does not open. *backwards is
// set when a packet's time lies before the time of the packet before it.
bool read_all(const std::string &path, bool *backwards = nullptr)
{
    if (gOpenCapture(path.c_str()) != 0)
        return false;
    PacketSummary s, previous{};
    int32_t status;
    while ((status = gGetNextPacket(&s)) == 0) {
        if (backwards && s.frame_number > 1 &&
            (s.time_seconds < previous.time_seconds ||
             (s.time_seconds == previous.time_seconds && s.time_nanoseconds < previous.time_nanoseconds)))
            *backwards = true;
        previous = s;
    }
    EXPECT_TRUE(status == 2 || status == 1) << status;
    return true;
}

// An io,stat table with its blanks and rules left out: the numbers and
// the column list, whatever the columns' widths. The functions' labels are
// left out too: tshark prints none over a column much wider than its label.
std::string cells_of(const std::string &text)
{
    std::string out;
    for (const std::string &line : lines_of(text)) {
        if (line.find_first_not_of("=-|") == std::string::npos || line.rfind("| Interval ", 0) == 0)
            continue;
        for (char c : line)
            if (c != ' ' && c != '-')
                out += c;
        out += "\n";
    }
    return out;
}

// The io,stat interval (a power of ten) that cuts the capture's elapsed time
// into at most 500 rows.
std::string interval_for(double elapsed)
{
    int exponent = -3;
    while (std::pow(10.0, exponent) * 500 < elapsed)
        ++exponent;
    if (exponent >= 0)
        return "1" + std::string(static_cast<size_t>(exponent), '0');
    return "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + "1";
}

// The capture's elapsed time in seconds, read through an io,stat table.
double elapsed_of(const std::string &path, bool *backwards = nullptr)
{
    int32_t table = -1;
    EXPECT_EQ(gRequestStatistics("io,stat,0", &table), 0) << last_error();
    int64_t seconds = 0;
    int32_t nanoseconds = 0;
    if (read_all(path, backwards)) {
        const WsbIntervalRow *rows = nullptr;
        int32_t count = 0;
        EXPECT_EQ(gGetIntervals(table, &rows, &count, &seconds, &nanoseconds), 0) << last_error();
        gCloseCapture();
    }
    EXPECT_EQ(gClearStatistics(), 0) << last_error();
    return static_cast<double>(seconds) + nanoseconds / 1e9;
}

class StatsOracle : public ::testing::TestWithParam<std::string> {};

}  // namespace

// Every table as tshark -n -q -z prints it, read in one pass together.
TEST_P(StatsOracle, TablesMatchTshark)
{
    const std::string path = shared_capture(GetParam());
    ASSERT_EQ(gInitEpan(), 0);
    const std::vector<int32_t> tables = request_all(table_requests);
    if (!read_all(path))
        GTEST_SKIP() << "the library does not open it: " << last_error();
    const std::string expected = tshark_tables(path, table_requests);
    ASSERT_FALSE(expected.empty());
    for (size_t i = 0; i < tables.size(); ++i) {
        const std::string text = table_text(tables[i]);
        EXPECT_NE(expected.find(text), std::string::npos) << table_requests[i] << ":\n" << text;
    }
}

// io,stat series with filters and every field function, at an interval that
// gives the capture at most 500 rows. The filters name the functions'
// fields, as tshark needs to find them. Exact text without AVG; with AVG
// the numbers and labels, since tshark sizes an AVG column by the largest
// running average it passed while counting, not by the averages it prints.
// A capture whose time goes back (pcapng-example) is read as one interval,
// and compared by its numbers: tshark counts a packet whose time lies before
// the interval it reached in that interval, the library in the packet's own;
// and the negative time deltas make tshark's running SUM pass values far
// larger than the sum it prints, which it sizes the column by.
TEST_P(StatsOracle, IntervalFunctionsMatchTshark)
{
    const std::string path = shared_capture(GetParam());
    ASSERT_EQ(gInitEpan(), 0);
    bool backwards = false;
    const double elapsed = elapsed_of(path, &backwards);
    const std::string interval = backwards ? "0" : interval_for(elapsed);
    const std::vector<std::string> requests = {
        "io,stat," + interval + ",ip,udp, ,COUNT(tcp.len)tcp.len,SUM(frame.len)frame.len,MIN(tcp.len)tcp.len,"
                                "MAX(ip.ttl)ip.ttl,FRAMES()tcp,BYTES()ipv6",
        "io,stat," + interval + ",SUM(tcp.time_delta)tcp.time_delta,MIN(tcp.time_delta)tcp.time_delta,"
                                "MAX(tcp.time_delta)tcp.time_delta,MIN(ip.ttl)ip.ttl && udp",
        "io,stat," + interval + ",AVG(frame.len)frame.len,AVG(tcp.time_delta)tcp.time_delta,AVG(ip.ttl)ip.ttl",
    };
    const std::vector<int32_t> tables = request_all(requests);
    if (!read_all(path))
        GTEST_SKIP() << "the library does not open it: " << last_error();
    for (size_t i = 0; i < tables.size(); ++i) {
        const std::string expected = tshark_tables(path, {requests[i]});
        const std::string text = table_text(tables[i]);
        if (i < 2 && !backwards)
            EXPECT_EQ(text, expected.substr(expected.find('\n'))) << requests[i];
        else
            EXPECT_EQ(cells_of(text), cells_of(expected)) << requests[i] << "\n" << text << expected;
    }
}

// Two processes, each reading one share of the capture's conversations (by
// address pair, as --jobs reads), give records that, added together in a
// third table, print what one process reading the whole capture prints.
TEST_P(StatsOracle, TwoSharesAddedUpGiveOneProcessTables)
{
    const std::string path = shared_capture(GetParam());
    ASSERT_EQ(gInitEpan(), 0);
    const std::string interval = interval_for(elapsed_of(path));
    const std::vector<std::string> requests = {
        "conv,eth", "conv,ip", "conv,tcp", "endpoints,eth", "endpoints,udp", "io,phs",
        "io,stat," + interval + ",ip,COUNT(tcp.len)tcp.len,SUM(frame.len)frame.len,MIN(tcp.len)tcp.len,"
                                "MAX(ip.ttl)ip.ttl,AVG(frame.len)frame.len",
    };
    struct share_records {
        std::vector<std::vector<WsbConversation>> conversations;
        std::vector<std::vector<WsbEndpoint>> endpoints;
        std::vector<WsbHierarchyRow> hierarchy;
        std::vector<WsbIntervalRow> intervals;
        int64_t elapsed_seconds = 0;
        int32_t elapsed_nanoseconds = 0;
    };
    std::vector<share_records> shares(2);
    std::vector<int32_t> tables = request_all(requests);
    for (int32_t index = 0; index < 2; ++index) {
        ASSERT_EQ(gSetReadingShare(index, 2, WSB_SHARE_BY_ADDRESSES), 0) << last_error();
        if (!read_all(path))
            GTEST_SKIP() << "the library does not open it: " << last_error();
        share_records &records = shares[static_cast<size_t>(index)];
        for (int32_t table : {tables[0], tables[1], tables[2]}) {
            const WsbConversation *list = nullptr;
            int32_t count = 0;
            ASSERT_EQ(gGetConversations(table, &list, &count), 0) << last_error();
            records.conversations.emplace_back(list, list + count);
        }
        for (int32_t table : {tables[3], tables[4]}) {
            const WsbEndpoint *list = nullptr;
            int32_t count = 0;
            ASSERT_EQ(gGetEndpoints(table, &list, &count), 0) << last_error();
            records.endpoints.emplace_back(list, list + count);
        }
        const WsbHierarchyRow *rows = nullptr;
        int32_t count = 0;
        ASSERT_EQ(gGetHierarchy(tables[5], &rows, &count), 0) << last_error();
        records.hierarchy.assign(rows, rows + count);
        const WsbIntervalRow *intervals = nullptr;
        ASSERT_EQ(gGetIntervals(tables[6], &intervals, &count, &records.elapsed_seconds, &records.elapsed_nanoseconds), 0)
            << last_error();
        records.intervals.assign(intervals, intervals + count);
        ASSERT_EQ(gCloseCapture(), 0);
    }
    ASSERT_EQ(gSetReadingShare(0, 1, WSB_SHARE_BY_ADDRESSES), 0) << last_error();
    ASSERT_TRUE(read_all(path));
    std::vector<std::string> whole;
    for (int32_t table : tables)
        whole.push_back(table_text(table));
    ASSERT_EQ(gCloseCapture(), 0);

    // A process that merges: the same requests, no capture.
    ASSERT_EQ(gClearStatistics(), 0) << last_error();
    tables = request_all(requests);
    for (const share_records &records : shares) {
        for (size_t i = 0; i < 3; ++i)
            ASSERT_EQ(gAddConversations(tables[i], records.conversations[i].data(),
                                        static_cast<int32_t>(records.conversations[i].size())),
                      0)
                << last_error();
        for (size_t i = 0; i < 2; ++i)
            ASSERT_EQ(gAddEndpoints(tables[3 + i], records.endpoints[i].data(),
                                    static_cast<int32_t>(records.endpoints[i].size())),
                      0)
                << last_error();
        ASSERT_EQ(gAddHierarchy(tables[5], records.hierarchy.data(), static_cast<int32_t>(records.hierarchy.size())),
                  0)
            << last_error();
        ASSERT_EQ(gAddIntervals(tables[6], records.intervals.data(), static_cast<int32_t>(records.intervals.size()),
                                records.elapsed_seconds, records.elapsed_nanoseconds),
                  0)
            << last_error();
    }
    for (size_t i = 0; i < tables.size(); ++i)
        EXPECT_EQ(table_text(tables[i]), whole[i]) << requests[i];
}

INSTANTIATE_TEST_SUITE_P(Captures, StatsOracle, ::testing::ValuesIn(shared_capture_names()),
                         [](const auto &info) { return test_name_of(info.param); });

// The same conversation seen from both ends by two processes combines into
// one, oriented as the process that saw its first packet saw it; endpoints
// and hierarchy rows of the same name add up, siblings in the order of their
// first frames; interval rows keep sums and counts, so that minimum, maximum
// and average come out as one process counts them.
TEST(StatsRecords, AddedRecordsCombine)
{
    ASSERT_EQ(gInitEpan(), 0);
    int32_t conversations = -1, endpoints = -1, hierarchy = -1, intervals = -1;
    ASSERT_EQ(gRequestStatistics("conv,udp", &conversations), 0) << last_error();
    ASSERT_EQ(gRequestStatistics("endpoints,ip", &endpoints), 0) << last_error();
    ASSERT_EQ(gRequestStatistics("io,phs", &hierarchy), 0) << last_error();
    ASSERT_EQ(gRequestStatistics("io,stat,1,MIN(udp.length)udp.length,AVG(udp.length)udp.length", &intervals), 0)
        << last_error();

    WsbConversation a{}, b{};
    strcpy(a.address_a, "10.0.0.2");
    strcpy(a.address_b, "10.0.0.1");
    a.address_type = b.address_type = WSB_AT_IPv4;
    a.port_a = 53;
    a.port_b = 4000;
    a.first_frame = 7;
    a.frames_a_to_b = 1;
    a.bytes_a_to_b = 100;
    a.start_seconds = a.stop_seconds = 2;
    a.conversation_id = b.conversation_id = -1;
    strcpy(b.address_a, "10.0.0.1");
    strcpy(b.address_b, "10.0.0.2");
    b.port_a = 4000;
    b.port_b = 53;
    b.first_frame = 3;
    b.frames_a_to_b = 2;
    b.bytes_a_to_b = 140;
    b.start_seconds = 1;
    b.stop_seconds = 1;
    b.stop_nanoseconds = 500000000;
    ASSERT_EQ(gAddConversations(conversations, &a, 1), 0) << last_error();
    ASSERT_EQ(gAddConversations(conversations, &b, 1), 0) << last_error();
    const WsbConversation *list = nullptr;
    int32_t count = 0;
    ASSERT_EQ(gGetConversations(conversations, &list, &count), 0) << last_error();
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(list[0].address_a, "10.0.0.1");
    EXPECT_EQ(list[0].port_a, 4000u);
    EXPECT_EQ(list[0].frames_a_to_b, 2u);
    EXPECT_EQ(list[0].bytes_a_to_b, 140u);
    EXPECT_EQ(list[0].frames_b_to_a, 1u);
    EXPECT_EQ(list[0].bytes_b_to_a, 100u);
    EXPECT_EQ(list[0].first_frame, 3u);
    EXPECT_EQ(list[0].start_seconds, 1);
    EXPECT_EQ(list[0].stop_seconds, 2);
    EXPECT_EQ(list[0].stop_nanoseconds, 0);
    const std::string text = table_text(conversations);
    EXPECT_NE(text.find("10.0.0.1:4000              <-> 10.0.0.2:53                      1 100 bytes       2 140 bytes "
                        "      3 240 bytes     1.000000000         1.0000\n"),
              std::string::npos)
        << text;

    WsbEndpoint e{};
    strcpy(e.address, "10.0.0.1");
    e.address_type = WSB_AT_IPv4;
    e.tx_frames = 1;
    e.first_frame = 5;
    ASSERT_EQ(gAddEndpoints(endpoints, &e, 1), 0);
    e.first_frame = 2;
    e.rx_frames = 4;
    ASSERT_EQ(gAddEndpoints(endpoints, &e, 1), 0);
    const WsbEndpoint *endpoint_list = nullptr;
    ASSERT_EQ(gGetEndpoints(endpoints, &endpoint_list, &count), 0);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(endpoint_list[0].tx_frames, 2u);
    EXPECT_EQ(endpoint_list[0].rx_frames, 4u);
    EXPECT_EQ(endpoint_list[0].first_frame, 2u);

    // Share one saw eth > ip > udp from frame 4; share two eth > arp from
    // frame 1 and eth > ip > tcp from frame 2.
    WsbHierarchyRow one[3]{}, two[4]{};
    const char *one_names[] = {"eth", "ip", "udp"};
    for (int i = 0; i < 3; ++i) {
        strcpy(one[i].protocol, one_names[i]);
        one[i].depth = i;
        one[i].parent = i - 1;
        one[i].frames = 1;
        one[i].bytes = 60;
        one[i].first_frame = 4;
    }
    const char *two_names[] = {"eth", "arp", "ip", "tcp"};
    const int32_t two_parents[] = {-1, 0, 0, 2};
    const uint32_t two_frames[] = {1, 1, 2, 2};
    for (int i = 0; i < 4; ++i) {
        strcpy(two[i].protocol, two_names[i]);
        two[i].parent = two_parents[i];
        two[i].depth = two_parents[i] < 0 ? 0 : two[two_parents[i]].depth + 1;
        two[i].frames = i == 0 ? 2 : 1;
        two[i].bytes = i == 0 ? 120 : 60;
        two[i].first_frame = two_frames[i];
    }
    ASSERT_EQ(gAddHierarchy(hierarchy, one, 3), 0) << last_error();
    ASSERT_EQ(gAddHierarchy(hierarchy, two, 4), 0) << last_error();
    EXPECT_EQ(table_text(hierarchy), "\n===================================================================\n"
                                     "Protocol Hierarchy Statistics\nFilter: \n\n"
                                     "eth                                      frames:3 bytes:180\n"
                                     "  arp                                    frames:1 bytes:60\n"
                                     "  ip                                     frames:2 bytes:120\n"
                                     "    tcp                                  frames:1 bytes:60\n"
                                     "    udp                                  frames:1 bytes:60\n"
                                     "===================================================================\n");

    // MIN starts at the first value of the interval's first packet: here
    // the packet of the second record, whose value 20 is not the least.
    WsbIntervalRow minimum{}, average{};
    minimum.series = 0;
    minimum.frames = 2;
    minimum.values = 2;
    minimum.minimum = 8;
    minimum.maximum = 30;
    minimum.sum = 38;
    minimum.first_frame = 9;
    minimum.first_frame_values = 1;
    minimum.first_minimum = 30;
    WsbIntervalRow earlier = minimum;
    earlier.frames = 1;
    earlier.values = 1;
    earlier.minimum = earlier.maximum = earlier.sum = earlier.first_minimum = 20;
    earlier.first_frame = 2;
    average = minimum;
    average.series = 1;
    WsbIntervalRow rows[] = {minimum, average};
    ASSERT_EQ(gAddIntervals(intervals, rows, 2, 0, 500000000), 0) << last_error();
    earlier.series = 0;
    ASSERT_EQ(gAddIntervals(intervals, &earlier, 1, 0, 0), 0) << last_error();
    earlier.series = 1;
    ASSERT_EQ(gAddIntervals(intervals, &earlier, 1, 0, 0), 0) << last_error();
    const WsbIntervalRow *interval_rows = nullptr;
    int64_t elapsed_seconds = -1;
    int32_t elapsed_nanoseconds = -1;
    ASSERT_EQ(gGetIntervals(intervals, &interval_rows, &count, &elapsed_seconds, &elapsed_nanoseconds), 0);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(elapsed_seconds, 0);
    EXPECT_EQ(elapsed_nanoseconds, 500000000);
    EXPECT_EQ(interval_rows[0].values, 3u);
    EXPECT_EQ(interval_rows[0].sum, 58);
    EXPECT_EQ(interval_rows[0].minimum, 8);
    EXPECT_EQ(interval_rows[0].first_frame, 2u);
    EXPECT_EQ(interval_rows[0].first_minimum, 20);
    const std::string io = table_text(intervals);
    EXPECT_NE(io.find("| 0.000 <> 0.500 |   8 |  19 |"), std::string::npos) << io;
}

// Misuse: every call before the engine starts, requests while a capture is
// open, requests tshark would refuse (and LOAD, which the library does not
// count), tables that do not exist or are of another kind, bad records.
TEST(StatsMisuse, CallsOutOfOrderAndBadRequestsAreRefused)
{
    int32_t table = -1, kind = 0, count = 0;
    const char *text = nullptr;
    const WsbConversation *conversations = nullptr;
    EXPECT_EQ(gRequestStatistics("conv,tcp", &table), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_NOT_STARTED);
    EXPECT_EQ(gGetStatisticsText(0, &text, &count), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_NOT_STARTED);
    ASSERT_EQ(gInitEpan(), 0);

    // Reading before anything was asked for.
    EXPECT_EQ(gGetStatisticsText(0, &text, &count), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_BAD_ARGUMENT);
    EXPECT_NE(last_error().find("No statistics table 0 was asked for"), std::string::npos) << last_error();

    const struct {
        const char *request;
        int32_t code;
        const char *message;
    } refused[] = {
        {"", WSB_E_BAD_ARGUMENT, "is not a statistic the library counts"},
        {"conv", WSB_E_BAD_ARGUMENT, "is not a statistic the library counts"},
        {"http,tree", WSB_E_UNSUPPORTED, "is not a statistic the library counts"},
        {"conv,", WSB_E_BAD_ARGUMENT, "names no protocol"},
        {"conv,nope", WSB_E_UNSUPPORTED, "keeps no conversation table for \"nope\""},
        {"conv,dns", WSB_E_UNSUPPORTED, "keeps no conversation table for \"dns\""},
        {"endpoints,tcp,tcp.port ==", WSB_E_FILTER, "was refused"},
        {"io,phsx", WSB_E_BAD_ARGUMENT, "is not \"io,phs[,FILTER]\""},
        {"io,phs,nope.field", WSB_E_FILTER, "was refused"},
        {"io,stat,", WSB_E_BAD_ARGUMENT, "is not \"io,stat,INTERVAL"},
        {"io,stat,x", WSB_E_BAD_ARGUMENT, "is not \"io,stat,INTERVAL"},
        {"io,stat,1,", WSB_E_BAD_ARGUMENT, "is not \"io,stat,INTERVAL"},
        {"io,stat,-1", WSB_E_BAD_ARGUMENT, "at least 0.000001"},
        {"io,stat,0.0000001", WSB_E_BAD_ARGUMENT, "at least 0.000001"},
        {"io,stat,1,SUM(nope.field)", WSB_E_UNKNOWN_FIELD, "There is no field named 'nope.field'"},
        {"io,stat,1,SUM()ip", WSB_E_BAD_ARGUMENT, "You didn't specify a field name for SUM(*)"},
        {"io,stat,1,SUM(ip.ttl", WSB_E_BAD_ARGUMENT, "Closing parenthesis missing"},
        {"io,stat,1,FRAMES(ip.ttl)", WSB_E_BAD_ARGUMENT, "does not require or allow a field name"},
        {"io,stat,1,SUM(ip.src)ip.src", WSB_E_BAD_ARGUMENT, "ip.src doesn't have integral values"},
        {"io,stat,1,LOAD(smb.time)smb.time", WSB_E_UNSUPPORTED, "LOAD() series are not supported"},
        {"io,stat,1,ip.src ==", WSB_E_FILTER, "was refused"},
    };
    for (const auto &r : refused) {
        table = -7;
        EXPECT_EQ(gRequestStatistics(r.request, &table), 1) << r.request;
        EXPECT_EQ(gGetLastErrorCode(), r.code) << r.request << ": " << last_error();
        EXPECT_NE(last_error().find(r.message), std::string::npos) << r.request << ": " << last_error();
        EXPECT_EQ(table, -7);
    }
    EXPECT_EQ(gRequestStatistics(nullptr, &table), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_BAD_ARGUMENT);
    EXPECT_EQ(gRequestStatistics("conv,tcp", nullptr), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_BAD_ARGUMENT);

    // A refused request asks for nothing: the first table is number 0.
    ASSERT_EQ(gRequestStatistics("conv,tcp", &table), 0) << last_error();
    EXPECT_EQ(table, 0);
    ASSERT_EQ(gGetStatisticsKind(table, &kind), 0);
    EXPECT_EQ(kind, WSB_STATS_CONVERSATIONS);
    EXPECT_EQ(gGetStatisticsKind(table, nullptr), 1);
    EXPECT_EQ(gGetStatisticsKind(1, &kind), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_BAD_ARGUMENT);

    // Another kind's getter, null outputs, bad records.
    const WsbEndpoint *endpoints = nullptr;
    EXPECT_EQ(gGetEndpoints(table, &endpoints, &count), 1);
    EXPECT_NE(last_error().find("is not of this kind"), std::string::npos) << last_error();
    EXPECT_EQ(gGetConversations(table, nullptr, &count), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_BAD_ARGUMENT);
    EXPECT_EQ(gAddConversations(table, nullptr, 1), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_BAD_ARGUMENT);
    WsbConversation unterminated;
    memset(&unterminated, 'x', sizeof unterminated);
    EXPECT_EQ(gAddConversations(table, &unterminated, 1), 1);
    EXPECT_NE(last_error().find("not NUL-terminated"), std::string::npos) << last_error();
    EXPECT_EQ(gAddConversations(table, nullptr, 0), 0) << last_error();
    int32_t hierarchy = -1, intervals = -1;
    ASSERT_EQ(gRequestStatistics("io,phs", &hierarchy), 0);
    WsbHierarchyRow orphan{};
    strcpy(orphan.protocol, "ip");
    orphan.depth = 1;
    orphan.parent = 0;
    EXPECT_EQ(gAddHierarchy(hierarchy, &orphan, 1), 1);
    EXPECT_NE(last_error().find("parent is not a row before it"), std::string::npos) << last_error();
    ASSERT_EQ(gRequestStatistics("io,stat,1", &intervals), 0);
    WsbIntervalRow stray{};
    stray.series = 1;
    EXPECT_EQ(gAddIntervals(intervals, &stray, 1, 0, 0), 1);
    EXPECT_NE(last_error().find("series the table does not have"), std::string::npos) << last_error();
    EXPECT_EQ(gAddIntervals(intervals, nullptr, 0, 0, 1000000000), 1);
    EXPECT_NE(last_error().find("out of range"), std::string::npos) << last_error();

    // Nothing read yet: empty tables.
    ASSERT_EQ(gGetConversations(table, &conversations, &count), 0) << last_error();
    EXPECT_EQ(count, 0);
    EXPECT_EQ(conversations, nullptr);

    // While a capture is open nothing can be asked for or cleared.
    ASSERT_EQ(gOpenCapture(shared_capture("three_http_streams.pcap").c_str()), 0) << last_error();
    EXPECT_EQ(gRequestStatistics("conv,udp", &table), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_STATE);
    EXPECT_NE(last_error().find("before a capture is opened"), std::string::npos) << last_error();
    EXPECT_EQ(gClearStatistics(), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_STATE);
    ASSERT_EQ(gCloseCapture(), 0);
    EXPECT_EQ(gClearStatistics(), 0);
    EXPECT_EQ(gGetStatisticsKind(0, &kind), 1);

    int32_t offset = 0, size = 0;
    ASSERT_EQ(gGetRecordLayout("WsbIntervalRow", nullptr, &offset, &size), 0);
    EXPECT_EQ(size, static_cast<int32_t>(sizeof(WsbIntervalRow)));
    ASSERT_EQ(gGetRecordLayout("WsbConversation", "stop_nanoseconds", &offset, &size), 0);
    EXPECT_EQ(offset, static_cast<int32_t>(offsetof(WsbConversation, stop_nanoseconds)));
    EXPECT_EQ(gGetRecordLayout("WsbEndpoint", "nope", &offset, &size), 1);

    // After shutdown every statistics call fails.
    ASSERT_EQ(gRequestStatistics("io,phs", &table), 0);
    ASSERT_EQ(gCleanupEpan(), 0);
    EXPECT_EQ(gRequestStatistics("io,phs", &table), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_SHUT_DOWN);
    EXPECT_EQ(gGetStatisticsText(table, &text, &count), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_SHUT_DOWN);
    EXPECT_EQ(gClearStatistics(), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_SHUT_DOWN);
}

// Only sequential reading counts, each packet once, and every packet it
// dissects, whatever the display filter (as tshark -Y counts them):
// re-reading packets by offset, building their trees and following in
// between leave the tables as a plain reading leaves them; a second capture
// counts from nothing.
TEST(StatsCounting, RandomAccessCountsNothingAndEachCaptureStartsAfresh)
{
    const std::string path = shared_capture("three_http_streams.pcap");
    ASSERT_EQ(gInitEpan(), 0);
    const std::vector<std::string> requests = {"conv,tcp", "endpoints,ip", "io,phs", "io,stat,0.05,tcp,AVG(tcp.len)tcp.len"};
    const std::vector<int32_t> tables = request_all(requests);
    ASSERT_TRUE(read_all(path));
    std::vector<std::string> plain;
    for (int32_t table : tables)
        plain.push_back(table_text(table));

    ASSERT_EQ(gSetDisplayFilter("http"), 0) << last_error();
    ASSERT_EQ(gOpenCapture(path.c_str()), 0);
    std::vector<PacketSummary> read;
    PacketSummary s;
    while (gGetNextPacket(&s) == 0) {
        read.push_back(s);
        for (const PacketSummary &earlier : {read.front(), read.back()}) {
            PacketSummary again = earlier;
            ASSERT_EQ(gGetPacketAtOffset(&again, earlier.frame_number, earlier.file_offset, earlier.captured_length,
                                         earlier.packet_length, earlier.encapsulation),
                      0)
                << last_error();
            int32_t length = 0;
            const uint8_t *data = nullptr;
            ASSERT_EQ(gBuildPacketProtocolTree(&length, &data, earlier.frame_number, earlier.file_offset,
                                               earlier.captured_length, earlier.packet_length, earlier.encapsulation),
                      0);
        }
        if (read.size() == 3) {
            ASSERT_EQ(gFollowTCPStreamForPacket(s.frame_number, s.file_offset, s.captured_length, s.packet_length,
                                                s.encapsulation),
                      0)
                << last_error();
        }
    }
    for (size_t i = 0; i < tables.size(); ++i)
        EXPECT_EQ(table_text(tables[i]), plain[i]) << requests[i];
    const std::string expected = tshark_tables(path, requests);
    for (const std::string &text : plain)
        EXPECT_NE(expected.find(text), std::string::npos) << text;

    // Another capture: the tables count it alone.
    ASSERT_EQ(gSetDisplayFilter(nullptr), 0);
    ASSERT_TRUE(read_all(shared_capture("dns_udp.pcap")));
    const WsbConversation *list = nullptr;
    int32_t count = -1;
    ASSERT_EQ(gGetConversations(tables[0], &list, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(table_text(tables[1]), tshark_tables(shared_capture("dns_udp.pcap"), {"endpoints,ip"}));
}
