// SPDX-License-Identifier: GPL-2.0-or-later
// Reading in batches (gGetNextPacketBatch), driven as a host drives it.
//
// Oracles: the library's own packet-by-packet reading (gGetNextPacket, the
// matched fields and their getters) for the summaries and the first
// occurrences, and tshark of the same engine for every occurrence and the
// whole Protocol and Info texts.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstring>
#include <string>
#include <vector>

#include "pcap_writer.h"
#include "test_support.h"
#include "wsbridge.h"

namespace {

using wsbtest::lines_of;
using wsbtest::run_command;
using wsbtest::shell_quote;

std::string last_error() { return gGetLastError(); }

// Fields of several types: addresses and strings (texts), integers of 16,
// 24 and 32 bits, a frame number, a boolean, a relative and an absolute time.
const std::vector<std::string> field_names = {"ip.src",      "tcp.srcport", "frame.time_relative", "frame.time",
                                              "dns.qry.name", "udp.length", "eth.src",             "tcp.flags.syn",
                                              "eth.src.oui", "frame.number"};

std::vector<int32_t> register_fields()
{
    for (const std::string &name : field_names)
        EXPECT_EQ(gRegisterProtocolFieldFilter(name.c_str(), "B"), 0) << last_error();
    std::vector<int32_t> ids;
    for (const std::string &name : field_names) {
        int32_t id = -1, type = -1;
        EXPECT_EQ(gGetProtocolFieldFilterInfo(name.c_str(), &id, &type), 0) << name << ": " << last_error();
        ids.push_back(id);
    }
    return ids;
}

// A batch over host arrays of a given size.
struct host_batch {
    std::vector<PacketSummary> summaries;
    std::vector<WsbBatchValue> values;
    std::vector<int32_t> starts;
    std::vector<char> texts;
    std::vector<int64_t> offsets;
    WsbPacketBatch batch{};

    host_batch(int32_t capacity, const std::vector<int32_t> &ids, int32_t occurrences, int32_t value_capacity,
               int64_t text_capacity, bool whole_texts)
        : summaries(capacity), values(value_capacity), starts(static_cast<size_t>(capacity) * ids.size() + 1),
          texts(text_capacity), offsets(2 * static_cast<size_t>(capacity))
    {
        batch.capacity = capacity;
        batch.field_count = static_cast<int32_t>(ids.size());
        batch.field_ids = ids.data();
        batch.occurrences = occurrences;
        batch.whole_texts = whole_texts;
        batch.summaries = summaries.data();
        batch.values = values.data();
        batch.value_capacity = value_capacity;
        batch.value_starts = occurrences == WSB_BATCH_ALL ? starts.data() : nullptr;
        batch.texts = text_capacity ? texts.data() : nullptr;
        batch.text_capacity = text_capacity;
        batch.text_offsets = whole_texts ? offsets.data() : nullptr;
    }
    std::string text(const WsbBatchValue &v) const
    {
        EXPECT_EQ(v.kind, WSB_VALUE_TEXT);
        EXPECT_EQ(texts[v.value.text_offset + v.text_size], '\0');
        return std::string(&texts[v.value.text_offset], v.text_size);
    }
};

// One packet as a batch gave it.
struct batch_row {
    PacketSummary summary;
    std::vector<WsbBatchValue> first;                 // FIRST, one per field
    std::vector<std::string> first_texts;             // their texts
    std::vector<std::vector<std::string>> all_texts;  // ALL: the texts of every occurrence
    std::string protocol, info;
};

// Reads the open capture to its end in batches; occurrences FIRST or ALL.
// Packets that do not fit a batch's text space come first in the next one.
std::vector<batch_row> read_in_batches(const std::vector<int32_t> &ids, int32_t occurrences, int32_t capacity,
                                       int64_t text_capacity)
{
    const int32_t value_capacity = capacity * static_cast<int32_t>(ids.size()) * 2;
    host_batch h(capacity, ids, occurrences, value_capacity, text_capacity, true);
    std::vector<batch_row> rows;
    for (;;) {
        int32_t status = gGetNextPacketBatch(&h.batch);
        if (status == WSB_END) {
            EXPECT_EQ(h.batch.packets, 0);
            break;
        }
        if (status == WSB_FAILED && gGetLastErrorCode() == WSB_E_LIMIT) {
            // Not even one packet fits: more room, and the packet comes again.
            EXPECT_EQ(h.batch.packets, 0);
            h = host_batch(capacity, ids, occurrences, value_capacity * 4, h.batch.text_capacity * 4, true);
            continue;
        }
        EXPECT_EQ(status, WSB_OK) << last_error();
        if (status != WSB_OK)
            break;
        EXPECT_GE(h.batch.packets, 1);
        EXPECT_LE(h.batch.texts_used, h.batch.text_capacity);
        const size_t count = ids.size();
        for (int32_t i = 0; i < h.batch.packets; ++i) {
            batch_row row;
            row.summary = h.summaries[i];
            row.protocol = &h.texts[h.offsets[2 * i]];
            row.info = &h.texts[h.offsets[2 * i + 1]];
            for (size_t f = 0; f < count; ++f) {
                if (occurrences == WSB_BATCH_FIRST) {
                    const WsbBatchValue &v = h.values[i * count + f];
                    row.first.push_back(v);
                    row.first_texts.push_back(v.kind == WSB_VALUE_TEXT ? h.text(v) : "");
                } else {
                    std::vector<std::string> texts;
                    for (int32_t k = h.starts[i * count + f]; k < h.starts[i * count + f + 1]; ++k)
                        texts.push_back(h.values[k].kind == WSB_VALUE_TEXT ? h.text(h.values[k]) : "");
                    row.all_texts.push_back(texts);
                }
            }
            rows.push_back(row);
        }
        EXPECT_EQ(h.batch.values_used,
                  occurrences == WSB_BATCH_FIRST ? h.batch.packets * static_cast<int32_t>(count)
                                                 : h.starts[h.batch.packets * count]);
    }
    return rows;
}

// Field by field: the bytes after a text's NUL and the padding are no part
// of a summary.
void expect_same_summary(const PacketSummary &a, const PacketSummary &b)
{
    EXPECT_EQ(a.frame_number, b.frame_number);
    EXPECT_EQ(a.packet_length, b.packet_length);
    EXPECT_EQ(a.captured_length, b.captured_length);
    EXPECT_EQ(a.port_type, b.port_type);
    EXPECT_EQ(a.source_port, b.source_port);
    EXPECT_EQ(a.destination_port, b.destination_port);
    EXPECT_EQ(a.file_offset, b.file_offset);
    EXPECT_EQ(a.relative_time, b.relative_time);
    EXPECT_EQ(a.time_seconds, b.time_seconds);
    EXPECT_EQ(a.time_nanoseconds, b.time_nanoseconds);
    EXPECT_EQ(a.encapsulation, b.encapsulation);
    EXPECT_EQ(a.source_address_type, b.source_address_type);
    EXPECT_EQ(a.destination_address_type, b.destination_address_type);
    EXPECT_STREQ(a.protocol_text, b.protocol_text);
    EXPECT_STREQ(a.info_text, b.info_text);
    EXPECT_STREQ(a.link_source_text, b.link_source_text);
    EXPECT_STREQ(a.link_destination_text, b.link_destination_text);
    EXPECT_STREQ(a.source_text, b.source_text);
    EXPECT_STREQ(a.destination_text, b.destination_text);
}

// Seconds and nanoseconds as nanoseconds, saturated as the batch saturates
// times that do not fit (a record with a time stamp wildly off).
int64_t nanoseconds_of(long long seconds, long long nanoseconds)
{
    long long total = 0;
    if (__builtin_mul_overflow(seconds, 1000000000LL, &total) || __builtin_add_overflow(total, nanoseconds, &total))
        return seconds < 0 ? INT64_MIN : INT64_MAX;
    return total;
}

int64_t duration_of(const std::string &seconds_text)
{
    long long seconds = 0;
    char fraction[16] = "";
    if (sscanf(seconds_text.c_str(), "%lld.%15[0-9]", &seconds, fraction) < 1)
        return INT64_MIN;
    std::string digits = std::string(fraction) + "000000000";
    return nanoseconds_of(seconds, std::stoll(digits.substr(0, 9)));
}

// For every test capture: batches (capacity 7, a small text space so that
// packets stay pending now and then) give the summaries gGetNextPacket gives
// one by one and, for the first occurrences, what the getters give.
TEST(BatchOracle, BatchesEqualPacketByPacketReadingOnEveryCapture)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    const std::vector<int32_t> ids = register_fields();
    size_t packets_seen = 0;
    for (const std::string &name : wsbtest::shared_capture_names()) {
        SCOPED_TRACE(name);
        const std::string path = wsbtest::shared_capture(name);
        ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
        std::vector<batch_row> rows = read_in_batches(ids, WSB_BATCH_FIRST, 7, 900);
        ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
        size_t n = 0;
        PacketSummary s;
        while (gGetNextPacket(&s) == WSB_OK) {
            ASSERT_LT(n, rows.size());
            const batch_row &row = rows[n++];
            SCOPED_TRACE("frame " + std::to_string(s.frame_number));
            expect_same_summary(s, row.summary);
            if (HasFailure())
                return;
            // The summary holds the start of the whole texts.
            EXPECT_EQ(row.protocol.compare(0, strlen(s.protocol_text), s.protocol_text), 0);
            EXPECT_EQ(row.info.compare(0, strlen(s.info_text), s.info_text), 0);
            int32_t count = 0;
            const int32_t *matched = nullptr;
            ASSERT_EQ(gLastPacketHasPassedFilter("B", &count, &matched), 0) << last_error();
            for (size_t f = 0; f < ids.size(); ++f) {
                SCOPED_TRACE(field_names[f]);
                const WsbBatchValue &v = row.first[f];
                bool present = false;
                for (int32_t k = 0; k < count; ++k)
                    present = present || matched[k] == ids[f];
                ASSERT_EQ(v.kind != WSB_VALUE_ABSENT, present);
                if (!present)
                    continue;
                const char *text = nullptr;
                int32_t size = 0;
                ASSERT_EQ(gGetFieldValueText(&text, &size, ids[f]), 0) << last_error();
                uint64_t number = 0;
                switch (v.kind) {
                case WSB_VALUE_TEXT:
                    EXPECT_EQ(row.first_texts[f], text);
                    break;
                case WSB_VALUE_UINT:
                    if (field_names[f] == "eth.src.oui") {
                        // No getter takes 24 bits: the first three bytes of eth.src.
                        unsigned bytes[3] = {};
                        ASSERT_EQ(sscanf(row.first_texts[6].c_str(), "%x:%x:%x", &bytes[0], &bytes[1], &bytes[2]), 3);
                        EXPECT_EQ(v.value.u, (bytes[0] << 16u) | (bytes[1] << 8u) | bytes[2]);
                        break;
                    }
                    ASSERT_EQ(gGetUInt64ProtocolFieldValue(&number, ids[f]), 0) << last_error();
                    EXPECT_EQ(v.value.u, number);
                    break;
                case WSB_VALUE_BOOL:
                    ASSERT_EQ(gGetUInt64ProtocolFieldValue(&number, ids[f]), 0) << last_error();
                    EXPECT_EQ(v.value.u, number != 0 ? 1u : 0u);
                    break;
                case WSB_VALUE_DURATION:
                    EXPECT_EQ(v.value.i, duration_of(text)) << text;
                    break;
                case WSB_VALUE_TIME:
                    EXPECT_EQ(v.value.i, nanoseconds_of(s.time_seconds, s.time_nanoseconds));
                    break;
                default:
                    ADD_FAILURE() << "kind " << v.kind;
                }
            }
            // The kinds the field types call for.
            const int expected_kinds[] = {WSB_VALUE_TEXT, WSB_VALUE_UINT, WSB_VALUE_DURATION, WSB_VALUE_TIME,
                                          WSB_VALUE_TEXT, WSB_VALUE_UINT, WSB_VALUE_TEXT,     WSB_VALUE_BOOL,
                                          WSB_VALUE_UINT, WSB_VALUE_UINT};
            for (size_t f = 0; f < ids.size(); ++f) {
                if (row.first[f].kind != WSB_VALUE_ABSENT) {
                    EXPECT_EQ(row.first[f].kind, expected_kinds[f]) << field_names[f];
                }
            }
            EXPECT_EQ(row.first[9].value.u, s.frame_number);
        }
        EXPECT_EQ(n, rows.size());
        packets_seen += n;
    }
    EXPECT_GT(packets_seen, 1000u);
}

// Every occurrence in tree order and the whole column texts, against tshark
// -T fields -E occurrence=a on the captures with DNS and HTTP.
TEST(BatchOracle, EveryOccurrenceAndWholeTextsMatchTshark)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    const std::vector<int32_t> ids = register_fields();
    for (const char *name : {"DnsPackets.pcap", "dns_udp.pcap", "dns_tcp.pcap", "edns-opts.pcap",
                             "ipv4_tcp_http_xml.pcap", "dns-badlabel.pcap"}) {
        SCOPED_TRACE(name);
        const std::string path = wsbtest::shared_capture(name);
        ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
        std::vector<batch_row> rows = read_in_batches(ids, WSB_BATCH_ALL, 5, 4096);
        const std::vector<std::string> lines =
            lines_of(run_command("tshark -r " + shell_quote(path) + " " + wsbtest::tshark_prefs() +
                                 " -T fields -E separator=/t -E occurrence=a -E aggregator=/s"
                                 " -e dns.qry.name -e ip.src -e _ws.col.Protocol -e _ws.col.Info 2>/dev/null"));
        ASSERT_EQ(lines.size(), rows.size());
        for (size_t i = 0; i < rows.size(); ++i) {
            SCOPED_TRACE("frame " + std::to_string(i + 1));
            const std::vector<std::string> columns = wsbtest::split(lines[i], '\t');
            ASSERT_GE(columns.size(), 4u);
            std::string names, sources;
            for (const std::string &t : rows[i].all_texts[4])
                names += (names.empty() ? "" : " ") + t;
            for (const std::string &t : rows[i].all_texts[0])
                sources += (sources.empty() ? "" : " ") + t;
            EXPECT_EQ(names, columns[0]);
            EXPECT_EQ(sources, columns[1]);
            EXPECT_EQ(rows[i].protocol, columns[2]);
            std::string info = columns[3];
            for (size_t k = 4; k < columns.size(); ++k)
                info += "\t" + columns[k];
            EXPECT_EQ(rows[i].info, info);
        }
    }
}

pcapw::Bytes udp_frame(uint16_t port)
{
    const pcapw::Mac a{0, 0x0b, 0x86, 1, 2, 3}, b{0, 0x0b, 0x86, 4, 5, 6};
    return pcapw::eth_ipv4_udp(b, a, pcapw::Ip4{10, 0, 0, 1}, pcapw::Ip4{10, 0, 0, 2}, port, 5555,
                               pcapw::Bytes(20, 0x41));
}

std::string small_capture(const wsbtest::temp_dir &dir, int packets)
{
    pcapw::PcapWriter writer;
    for (int i = 0; i < packets; ++i)
        writer.add(1000 + i, 0, udp_frame(static_cast<uint16_t>(2000 + i)));
    const std::string path = dir.file("small.pcap");
    writer.write(path);
    return path;
}

// Capacity 1; a text space too small for one packet (the packet stays
// pending and comes first once there is room, also after a tree was built
// in between); a display filter and the summary-text switch apply.
TEST(BatchExact, SmallBatchesPendingPacketsFilterAndTexts)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    const std::vector<int32_t> ids = register_fields();
    wsbtest::temp_dir dir;
    const std::string path = small_capture(dir, 6);
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();

    host_batch one(1, ids, WSB_BATCH_FIRST, 10, 4096, true);
    ASSERT_EQ(gGetNextPacketBatch(&one.batch), WSB_OK) << last_error();
    EXPECT_EQ(one.batch.packets, 1);
    EXPECT_EQ(one.summaries[0].frame_number, 1u);
    EXPECT_EQ(one.values[1].kind, WSB_VALUE_ABSENT);  // no TCP
    EXPECT_EQ(one.values[5].value.u, 28u);            // udp.length
    EXPECT_EQ(one.text(one.values[0]), "10.0.0.1");
    EXPECT_STREQ(&one.texts[one.offsets[0]], "UDP");
    EXPECT_EQ(one.values[8].value.u, 0x000b86u);  // eth.src.oui, 24 bits
    EXPECT_EQ(one.values[8].kind, WSB_VALUE_UINT);

    // 8 bytes cannot hold frame 2's texts: WSB_E_LIMIT, and it stays pending.
    host_batch tiny(3, ids, WSB_BATCH_FIRST, 30, 8, true);
    ASSERT_EQ(gGetNextPacketBatch(&tiny.batch), WSB_FAILED);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_LIMIT);
    EXPECT_EQ(tiny.batch.packets, 0);
    // The pending packet is the current one.
    int32_t count = 0;
    const int32_t *matched = nullptr;
    ASSERT_EQ(gLastPacketHasPassedFilter("B", &count, &matched), 0) << last_error();
    uint64_t port = 0;
    ASSERT_EQ(gGetUInt64ProtocolFieldValue(&port, ids[5]), 0) << last_error();
    // Building a tree dissects it again; the batch re-reads it at its offset.
    PacketSummary again;
    ASSERT_EQ(gGetPacketAtOffset(&again, one.summaries[0].frame_number, one.summaries[0].file_offset,
                                 static_cast<int32_t>(one.summaries[0].captured_length),
                                 one.summaries[0].packet_length, one.summaries[0].encapsulation),
              0)
        << last_error();
    host_batch room(2, ids, WSB_BATCH_FIRST, 20, 4096, true);
    ASSERT_EQ(gGetNextPacketBatch(&room.batch), WSB_OK) << last_error();
    ASSERT_EQ(room.batch.packets, 2);
    EXPECT_EQ(room.summaries[0].frame_number, 2u);
    EXPECT_EQ(room.summaries[1].frame_number, 3u);
    EXPECT_EQ(room.text(room.values[0]), "10.0.0.1");

    // Summaries only, texts off, a display filter: frame 5 alone is left.
    ASSERT_EQ(gSetDisplayFilter("udp.srcport == 2004"), 0) << last_error();
    ASSERT_EQ(gSetSummaryTexts(0), 0);
    host_batch summaries(4, {}, WSB_BATCH_FIRST, 0, 64, true);
    summaries.batch.values = nullptr;
    ASSERT_EQ(gGetNextPacketBatch(&summaries.batch), WSB_OK) << last_error();
    ASSERT_EQ(summaries.batch.packets, 1);
    EXPECT_EQ(summaries.summaries[0].frame_number, 5u);
    EXPECT_STREQ(summaries.summaries[0].info_text, "");
    EXPECT_STREQ(&summaries.texts[summaries.offsets[1]], "");
    // The batch read to the end of the capture: its last packet is current.
    ASSERT_EQ(gLastPacketHasPassedFilter("B", &count, &matched), 0) << last_error();
    uint64_t number = 0;
    ASSERT_EQ(gGetUInt64ProtocolFieldValue(&number, ids[9]), 0) << last_error();
    EXPECT_EQ(number, 5u);
    EXPECT_EQ(gGetNextPacketBatch(&summaries.batch), WSB_END);
    EXPECT_EQ(summaries.batch.packets, 0);
    EXPECT_EQ(gGetNextPacketBatch(&summaries.batch), WSB_END);
}

// A packet left pending is judged by the display filter in force when it is
// returned: after the filter changed it comes only when it matches the new
// one, as a packet read then would.
TEST(BatchExact, APendingPacketMeetsTheFilterInForceWhenReturned)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    const std::vector<int32_t> ids = register_fields();
    wsbtest::temp_dir dir;
    const std::string path = small_capture(dir, 6);
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    host_batch tiny(2, ids, WSB_BATCH_FIRST, 20, 8, true);
    host_batch room(2, ids, WSB_BATCH_FIRST, 20, 4096, true);

    // Frame 1 stays pending; the new filter does not match it.
    ASSERT_EQ(gGetNextPacketBatch(&tiny.batch), WSB_FAILED);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_LIMIT);
    ASSERT_EQ(gSetDisplayFilter("udp.srcport >= 2002"), 0) << last_error();
    ASSERT_EQ(gGetNextPacketBatch(&room.batch), WSB_OK) << last_error();
    ASSERT_EQ(room.batch.packets, 2);
    EXPECT_EQ(room.summaries[0].frame_number, 3u);
    EXPECT_EQ(room.summaries[1].frame_number, 4u);
    EXPECT_EQ(room.values[1 * ids.size() + 9].value.u, 4u);  // frame.number of the second

    // Frame 5 stays pending; a changed filter that matches it keeps it.
    ASSERT_EQ(gGetNextPacketBatch(&tiny.batch), WSB_FAILED);
    ASSERT_EQ(gSetDisplayFilter("udp.srcport == 2004 or udp.srcport == 2005"), 0) << last_error();
    ASSERT_EQ(gGetNextPacketBatch(&room.batch), WSB_OK) << last_error();
    ASSERT_EQ(room.batch.packets, 2);
    EXPECT_EQ(room.summaries[0].frame_number, 5u);
    EXPECT_EQ(room.summaries[1].frame_number, 6u);
    EXPECT_EQ(room.text(room.values[0]), "10.0.0.1");
    EXPECT_EQ(gGetNextPacketBatch(&room.batch), WSB_END);
    gCloseCapture();

    // Cleared: every packet passes, the pending one included.
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    ASSERT_EQ(gSetDisplayFilter("udp.srcport == 2003"), 0) << last_error();
    ASSERT_EQ(gGetNextPacketBatch(&tiny.batch), WSB_FAILED);
    ASSERT_EQ(gSetDisplayFilter(nullptr), 0) << last_error();
    ASSERT_EQ(gGetNextPacketBatch(&room.batch), WSB_OK) << last_error();
    ASSERT_EQ(room.batch.packets, 2);
    EXPECT_EQ(room.summaries[0].frame_number, 4u);
    EXPECT_EQ(room.summaries[1].frame_number, 5u);
    gCloseCapture();
    gCleanupEpan();
}

// Misuse: no engine, no capture, null and malformed requests, unknown ids.
TEST(BatchMisuse, BadRequestsFailWithTheirCodes)
{
    WsbPacketBatch empty{};
    empty.capacity = 1;
    EXPECT_EQ(gGetNextPacketBatch(&empty), WSB_FAILED);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_NOT_STARTED);
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    const std::vector<int32_t> ids = register_fields();
    EXPECT_EQ(gGetNextPacketBatch(&empty), WSB_FAILED);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_NO_CAPTURE);
    ASSERT_EQ(gOpenCapture(WSB_SAMPLE_CAPTURE), 0) << last_error();

    EXPECT_EQ(gGetNextPacketBatch(nullptr), WSB_FAILED);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_BAD_ARGUMENT);
    auto refused = [](WsbPacketBatch b, int32_t code) {
        EXPECT_EQ(gGetNextPacketBatch(&b), WSB_FAILED);
        EXPECT_EQ(gGetLastErrorCode(), code) << last_error();
    };
    host_batch h(2, ids, WSB_BATCH_FIRST, 20, 256, true);
    WsbPacketBatch b = h.batch;
    b.capacity = 0;
    refused(b, WSB_E_BAD_ARGUMENT);
    b = h.batch;
    b.value_capacity = 19;  // fewer than capacity * field_count
    refused(b, WSB_E_BAD_ARGUMENT);
    b = h.batch;
    b.field_ids = nullptr;
    refused(b, WSB_E_BAD_ARGUMENT);
    b = h.batch;
    b.values = nullptr;
    refused(b, WSB_E_BAD_ARGUMENT);
    b = h.batch;
    b.field_count = -1;
    refused(b, WSB_E_BAD_ARGUMENT);
    b = h.batch;
    b.occurrences = 2;
    refused(b, WSB_E_BAD_ARGUMENT);
    b = h.batch;
    b.occurrences = WSB_BATCH_ALL;  // no value starts
    refused(b, WSB_E_BAD_ARGUMENT);
    b = h.batch;
    b.text_offsets = nullptr;
    refused(b, WSB_E_BAD_ARGUMENT);
    b = h.batch;
    b.text_capacity = -1;
    refused(b, WSB_E_BAD_ARGUMENT);
    std::vector<int32_t> unknown = ids;
    unknown[3] = 999999;
    b = h.batch;
    b.field_ids = unknown.data();
    refused(b, WSB_E_UNKNOWN_FIELD);
    // A text field without text space: the first packet does not fit.
    b = h.batch;
    b.whole_texts = 0;
    b.texts = nullptr;
    b.text_capacity = 0;
    b.text_offsets = nullptr;
    refused(b, WSB_E_LIMIT);
    // Nothing was lost: the packet comes with room.
    ASSERT_EQ(gGetNextPacketBatch(&h.batch), WSB_OK) << last_error();
    EXPECT_EQ(h.summaries[0].frame_number, 1u);
    ASSERT_EQ(gCloseCapture(), 0);
    EXPECT_EQ(gGetNextPacketBatch(&h.batch), WSB_FAILED);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_NO_CAPTURE);
    ASSERT_EQ(gCleanupEpan(), 0);
    EXPECT_EQ(gGetNextPacketBatch(&h.batch), WSB_FAILED);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_SHUT_DOWN);
}

}  // namespace
