// SPDX-License-Identifier: GPL-2.0-or-later
// Field values through the typed getters, by matched field id and by tree
// node, driven through the public interface the way a host does: which types
// each getter accepts and refuses, how long a handed-out text lasts, and
// which node handles are read. Exact cases are built byte for byte with
// pcap_writer.h.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fields_support.h"
#include "pcap_writer.h"
#include "wsbridge.h"

namespace {

using namespace wsbfields;

int32_t int32_value(int32_t id)
{
    int32_t value = 0;
    EXPECT_EQ(gGetInt32ProtocolFieldValue(&value, id), 0) << last_error();
    return value;
}

// True (with the record) when a record of the tree built last has handle.
bool tree_node_with_handle(const void *handle, TreeNode *found)
{
    int32_t count = 0;
    EXPECT_EQ(gGetProtocolTreeNodesCount(&count), 0) << last_error();
    for (int32_t i = 0; i < count; ++i) {
        EXPECT_EQ(gGetTreeNodeByIndex(found, i), 0) << last_error();
        if (found->node == handle)
            return true;
    }
    return false;
}

// A RESP reply from a Redis server: the integer -1 (an FT_INT64 field).
pcapw::Bytes resp_minus_one_frame()
{
    return pcapw::eth_ipv4_tcp(mac_a, mac_b, host_b, host_a, 6379, 40004, 1, 1,
                               pcapw::tcpflag::PSH | pcapw::tcpflag::ACK, pcapw::to_bytes(":-1\r\n"));
}

// A PTP (802.1AS) Follow_Up over Ethernet: log message period -3 (FT_INT8)
// and organization subtype -2 (FT_INT24).
pcapw::Bytes ptp_follow_up_frame()
{
    pcapw::Bytes ptp = {0x18, 0x02};
    pcapw::put16be(ptp, 76);
    pcapw::Bytes rest = {0, 0, 0x00, 0x08};
    pcapw::append(ptp, rest);
    ptp.resize(ptp.size() + 8 + 4, 0);  // correction, reserved
    for (uint8_t i = 1; i <= 8; ++i)
        pcapw::put8(ptp, i);  // clock identity
    pcapw::put16be(ptp, 1);   // source port
    pcapw::put16be(ptp, 5);   // sequence id
    pcapw::put8(ptp, 2);      // control: Follow_Up
    pcapw::put8(ptp, 0xfd);   // log message period -3
    ptp.resize(ptp.size() + 10, 0);  // precise origin timestamp
    pcapw::put16be(ptp, 3);   // organization extension TLV
    pcapw::put16be(ptp, 28);
    pcapw::Bytes organization = {0x00, 0x80, 0xc2, 0xff, 0xff, 0xfe};
    pcapw::append(ptp, organization);
    ptp.resize(ptp.size() + 22, 0);
    return pcapw::ethernet(pcapw::mac("01:80:c2:00:00:0e"), mac_a, 0x88f7, ptp);
}

TEST(FieldsExact, GettersAcceptAndRefuseByType)
{
    exact_fixture t = start_exact();
    std::string path = write_capture("types.pcap", {http_frame(), ipv6_http_frame(), resp_minus_one_frame(),
                                                    ptp_follow_up_frame()});
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();

    next_packet();
    matched_ids("T");
    // FT_UINT16 80 through the unsigned getter: upper bits zero.
    uint64_t value = ~0ull;
    const int32_t srcport = t.id("tcp.srcport");
    EXPECT_EQ(gGetUInt64ProtocolFieldValue(&value, srcport), 0) << last_error();
    EXPECT_EQ(value, 40000u);
    // FT_UINT32 through the signed getter: refused, output untouched.
    int32_t signed_value = 77;
    EXPECT_EQ(gGetInt32ProtocolFieldValue(&signed_value, t.id("tcp.seq")), 1);
    EXPECT_EQ(last_error(), int32_refused(t.id("tcp.seq")));
    EXPECT_EQ(signed_value, 77);
    // FT_IPv4 192.168.0.1: 11 characters and the NUL.
    const char *text = nullptr;
    int32_t size = 0;
    EXPECT_EQ(gGetStringProtocolFieldValue(&text, &size, t.id("ip.src")), 0) << last_error();
    EXPECT_STREQ(text, "192.168.0.1");
    EXPECT_EQ(size, 12);
    // A protocol: its bytes as a display filter writes them.
    EXPECT_EQ(string_value(t.id("ip")).substr(0, 12), "45:00:00:43:");
    EXPECT_EQ(string_value(t.id("ip")).size(), 20u * 3 - 1);
    EXPECT_EQ(string_value(t.id("frame.protocols")), "eth:ethertype:ip:tcp:http");
    // Ether addresses have no getter.
    EXPECT_EQ(gGetStringProtocolFieldValue(&text, &size, t.id("eth.src")), 1);
    EXPECT_EQ(last_error(), string_refused(t.id("eth.src")));
    EXPECT_EQ(gGetUInt64ProtocolFieldValue(&value, t.id("eth.src")), 1);
    EXPECT_EQ(last_error(), uint64_refused(t.id("eth.src")));

    // FT_UINT24 (the IPv6 flow label) is refused by the unsigned getter.
    next_packet();
    ASSERT_TRUE(matched_ids("T").count(t.id("ipv6.flow")));
    value = 5;
    EXPECT_EQ(gGetUInt64ProtocolFieldValue(&value, t.id("ipv6.flow")), 1);
    EXPECT_EQ(last_error(), uint64_refused(t.id("ipv6.flow")));
    EXPECT_EQ(value, 5u);

    // FT_INT64 holding -1: all 64 bits set.
    next_packet();
    ASSERT_TRUE(matched_ids("T").count(t.id("resp.integer")));
    EXPECT_EQ(uint64_value(t.id("resp.integer")), ~0ull);

    // FT_INT8 -3 through the signed getter; FT_INT24 refused by it.
    next_packet();
    std::set<int32_t> matched = matched_ids("T");
    ASSERT_TRUE(matched.count(t.id("ptp.v2.logmessageperiod")));
    ASSERT_TRUE(matched.count(t.id("ptp.as.fu.organizationSubType")));
    EXPECT_EQ(int32_value(t.id("ptp.v2.logmessageperiod")), -3);
    signed_value = 9;
    EXPECT_EQ(gGetInt32ProtocolFieldValue(&signed_value, t.id("ptp.as.fu.organizationSubType")), 1);
    EXPECT_EQ(last_error(), int32_refused(t.id("ptp.as.fu.organizationSubType")));
    EXPECT_EQ(signed_value, 9);
    EXPECT_EQ(gGetUInt64ProtocolFieldValue(&value, t.id("ptp.as.fu.organizationSubType")), 1);
    EXPECT_EQ(last_error(), uint64_refused(t.id("ptp.as.fu.organizationSubType")));
    EXPECT_EQ(gCleanupEpan(), 0);
}

TEST(FieldsExact, ZeroTerminatedStringsAreRefusedByTheStringGetter)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    std::vector<field> fields = register_group({"cdp.software_version", "cdp.platform"}, "CDP");
    resolve(fields);
    ASSERT_EQ(named(fields, "cdp.software_version").type, WSB_FT_STRINGZ);
    ASSERT_EQ(gOpenCapture((captures + "/3560_CDP.pcap").c_str()), 0) << last_error();
    next_packet();
    std::set<int32_t> matched = matched_ids("CDP");
    const int32_t version = named(fields, "cdp.software_version").id;
    ASSERT_TRUE(matched.count(version));
    const char *text = "unchanged";
    int32_t size = -1;
    EXPECT_EQ(gGetStringProtocolFieldValue(&text, &size, version), 1);
    EXPECT_EQ(last_error(), string_refused(version));
    EXPECT_STREQ(text, "unchanged");
    EXPECT_EQ(size, -1);
    // The platform is an ordinary string.
    ASSERT_TRUE(matched.count(named(fields, "cdp.platform").id));
    EXPECT_EQ(string_value(named(fields, "cdp.platform").id), "cisco WS-C3560G-24PS");
    EXPECT_EQ(gCleanupEpan(), 0);
}

TEST(FieldsExact, StringValueLastsUntilTheNextSuccessfulStringCall)
{
    exact_fixture t = start_exact();
    std::string path = write_capture("strings.pcap", {http_frame()});
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    next_packet();
    matched_ids("T");

    const char *first = nullptr, *second = nullptr;
    int32_t first_size = 0, second_size = 0;
    ASSERT_EQ(gGetStringProtocolFieldValue(&first, &first_size, t.id("ip.src")), 0) << last_error();
    std::string kept = first;  // the host copies what it keeps
    ASSERT_EQ(gGetStringProtocolFieldValue(&second, &second_size, t.id("ip.dst")), 0) << last_error();
    EXPECT_EQ(kept, "192.168.0.1");
    EXPECT_STREQ(second, "192.168.0.2");
    EXPECT_EQ(second_size, 12);

    // A call refused for its type leaves the text as it was.
    const char *refused = nullptr;
    int32_t refused_size = 0;
    EXPECT_EQ(gGetStringProtocolFieldValue(&refused, &refused_size, t.id("tcp.srcport")), 1);
    EXPECT_EQ(last_error(), string_refused(t.id("tcp.srcport")));
    EXPECT_EQ(refused, nullptr);
    EXPECT_STREQ(second, "192.168.0.2");

    // A longer text after a shorter one, and the shorter one again.
    EXPECT_EQ(string_value(t.id("frame.protocols")), "eth:ethertype:ip:tcp:http");
    EXPECT_EQ(string_value(t.id("http.request.method")), "GET");
    // The text outlives the dissection it came from.
    const char *method = nullptr;
    int32_t method_size = 0;
    ASSERT_EQ(gGetStringProtocolFieldValue(&method, &method_size, t.id("http.request.method")), 0);
    PacketSummary summary{};
    EXPECT_EQ(gGetNextPacket(&summary), 2);
    EXPECT_STREQ(method, "GET");
    EXPECT_EQ(method_size, 4);
    EXPECT_EQ(gCloseCapture(), 0);
    EXPECT_STREQ(method, "GET");
    EXPECT_EQ(gCleanupEpan(), 0);
}

TEST(FieldsExact, ByNodeGettersReadOnlyHandlesOfTheCurrentTree)
{
    exact_fixture t = start_exact();
    // The trees are built straight from locators taken from the writer,
    // without reading the capture in sequence first.
    const std::vector<pcapw::Bytes> frames = {http_frame(), resp_minus_one_frame(), ptp_follow_up_frame()};
    pcapw::PcapWriter writer;
    for (const pcapw::Bytes &frame : frames)
        writer.add(1000, 0, frame);
    const std::string path = temp_path("nodes.pcap");
    writer.write(path);
    auto locator = [&](size_t i) {
        PacketSummary s{};
        s.frame_number = static_cast<uint32_t>(i + 1);
        s.file_offset = static_cast<int64_t>(writer.offset_of(i));
        s.captured_length = s.packet_length = static_cast<uint32_t>(frames[i].size());
        s.encapsulation = 1;  // Ethernet
        return s;
    };
    const PacketSummary http = locator(0), resp = locator(1), ptp = locator(2);
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();

    ASSERT_EQ(build_tree(http), 0) << last_error();
    TreeNode srcport = tree_node_named("tcp.srcport");
    TreeNode source = tree_node_named("ip.src");
    TreeNode ip = tree_node_named("ip");
    TreeNode method = tree_node_named("http.request.method");
    uint64_t value = 0;
    int32_t signed_value = 0, size = 0;
    const char *text = nullptr;
    EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(srcport.node, &value), 0) << last_error();
    EXPECT_EQ(value, 40000u);
    EXPECT_EQ(gGetStringProtocolFieldValueByTreeNode(source.node, &text, &size), 0) << last_error();
    EXPECT_STREQ(text, "192.168.0.1");
    EXPECT_EQ(size, 12);
    EXPECT_EQ(gGetStringProtocolFieldValueByTreeNode(method.node, &text, &size), 0) << last_error();
    EXPECT_STREQ(text, "GET");
    EXPECT_EQ(gGetStringProtocolFieldValueByTreeNode(ip.node, &text, &size), 0) << last_error();
    EXPECT_EQ(std::string(text).substr(0, 12), "45:00:00:43:");
    // Refused types name the field's id.
    EXPECT_EQ(gGetInt32ProtocolFieldValueByTreeNode(srcport.node, &signed_value), 1);
    EXPECT_EQ(last_error(), int32_refused(t.id("tcp.srcport")));
    EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(source.node, &value), 1);
    EXPECT_EQ(last_error(), uint64_refused(t.id("ip.src")));
    // Null and foreign handles are refused without being read.
    EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(nullptr, &value), 1);
    EXPECT_EQ(last_error(), invalid_node_uint64);
    char foreign[64] = {};
    EXPECT_EQ(gGetInt32ProtocolFieldValueByTreeNode(foreign, &signed_value), 1);
    EXPECT_EQ(last_error(), invalid_node_int32);
    std::string before = text;
    EXPECT_EQ(gGetStringProtocolFieldValueByTreeNode(reinterpret_cast<void *>(0x10), &text, &size), 1);
    EXPECT_EQ(last_error(), invalid_node_string);
    EXPECT_EQ(std::string(text), before);

    // Another tree: the first tree's handles are stale. The engine may well
    // place an item of the new tree at the address of an old one; such a
    // handle is one of the current tree's and reads that item, any other is
    // refused.
    ASSERT_EQ(build_tree(resp), 0) << last_error();
    TreeNode reused{};
    if (tree_node_with_handle(srcport.node, &reused)) {
        EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(srcport.node, &value) == 0,
                  getter_for(reused.field_type) == getter_kind::uint64 ||
                      getter_for(reused.field_type) == getter_kind::int64);
    } else {
        EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(srcport.node, &value), 1);
        EXPECT_EQ(last_error(), invalid_node_uint64);
    }
    for (const TreeNode &old : {source, ip, method}) {
        if (!tree_node_with_handle(old.node, &reused)) {
            EXPECT_EQ(gGetStringProtocolFieldValueByTreeNode(old.node, &text, &size), 1);
            EXPECT_EQ(last_error(), invalid_node_string);
        }
    }
    TreeNode integer = tree_node_named("resp.integer");
    EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(integer.node, &value), 0) << last_error();
    EXPECT_EQ(value, ~0ull);

    ASSERT_EQ(build_tree(ptp), 0) << last_error();
    TreeNode period = tree_node_named("ptp.v2.logmessageperiod");
    TreeNode subtype = tree_node_named("ptp.as.fu.organizationSubType");
    EXPECT_EQ(gGetInt32ProtocolFieldValueByTreeNode(period.node, &signed_value), 0) << last_error();
    EXPECT_EQ(signed_value, -3);
    EXPECT_EQ(gGetInt32ProtocolFieldValueByTreeNode(subtype.node, &signed_value), 1);
    EXPECT_EQ(last_error(), int32_refused(t.id("ptp.as.fu.organizationSubType")));

    // Any other dissection makes the handles stale: sequential reading,
    // random access, and freeing the tree.
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    next_packet();
    ASSERT_EQ(build_tree(http), 0) << last_error();
    srcport = tree_node_named("tcp.srcport");
    EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(srcport.node, &value), 0) << last_error();
    next_packet();
    EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(srcport.node, &value), 1);
    EXPECT_EQ(last_error(), invalid_node_uint64);
    ASSERT_EQ(build_tree(http), 0) << last_error();
    srcport = tree_node_named("tcp.srcport");
    EXPECT_EQ(gGetPacketAtOffset(nullptr, resp.frame_number, resp.file_offset,
                                 static_cast<int32_t>(resp.captured_length), resp.packet_length, resp.encapsulation),
              0);
    EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(srcport.node, &value), 1);
    EXPECT_EQ(last_error(), invalid_node_uint64);
    ASSERT_EQ(build_tree(http), 0) << last_error();
    srcport = tree_node_named("tcp.srcport");
    EXPECT_EQ(gFreePacketProtocolTree(), 0);
    EXPECT_EQ(gGetUInt64ProtocolFieldValueByTreeNode(srcport.node, &value), 1);
    EXPECT_EQ(last_error(), invalid_node_uint64);
    EXPECT_EQ(gCleanupEpan(), 0);
}

TEST(FieldsExact, AProtocolItemWithoutBytesHasNoText)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    ASSERT_EQ(gOpenCapture((captures + "/whois.pcap").c_str()), 0) << last_error();
    PacketSummary first = next_packet();
    ASSERT_EQ(build_tree(first), 0) << last_error();
    TreeNode expert = tree_node_named("_ws.expert");
    ASSERT_EQ(expert.field_type, WSB_FT_PROTOCOL);
    ASSERT_EQ(expert.length, 0);
    TreeNode tcp = tree_node_named("tcp");
    const char *text = nullptr;
    int32_t size = 0;
    ASSERT_EQ(gGetStringProtocolFieldValueByTreeNode(tcp.node, &text, &size), 0) << last_error();
    std::string before = text;
    EXPECT_EQ(size, static_cast<int32_t>(before.size()) + 1);
    const char *none = nullptr;
    int32_t none_size = -1;
    EXPECT_EQ(gGetStringProtocolFieldValueByTreeNode(expert.node, &none, &none_size), 1);
    EXPECT_NE(last_error().find("has a value that the engine cannot show as text."), std::string::npos)
        << last_error();
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(none_size, -1);
    EXPECT_EQ(std::string(text), before);
    EXPECT_EQ(gCleanupEpan(), 0);
}

}  // namespace

// gGetFieldValue gives the first occurrence of any registered field of the
// packet dissected last as the batch types it (numbers, booleans, times,
// durations, texts), matched or not, and WSB_VALUE_ABSENT where the field
// does not occur: read packet by packet, it equals a batch read of the same
// capture.
TEST(FieldsTyped, FieldValueEqualsTheBatchsValue)
{
    ASSERT_EQ(gInitEpan(), 0) << last_error();
    const std::vector<std::string> names = {"frame.time", "frame.time_delta", "frame.len", "ip.src", "ip.ttl",
                                            "ipv6.src", "tcp.srcport", "tcp.flags.syn", "tcp.analysis.ack_rtt",
                                            "tcp.payload", "eth.src", "dns.qry.name", "dns.resp.ttl",
                                            "udp.length", "ip", "frame.protocols"};
    std::vector<field> fields = register_group(names, "TYPED");
    resolve(fields);
    std::vector<int32_t> ids;
    for (const field &f : fields)
        ids.push_back(f.id);
    const int32_t count = static_cast<int32_t>(ids.size());
    const std::string path = captures + "/example2.pcap";

    // The batch's values, packet after packet, texts as strings.
    struct typed {
        int32_t kind;
        uint64_t bits;
        std::string text;
        bool operator==(const typed &o) const { return kind == o.kind && bits == o.bits && text == o.text; }
    };
    std::vector<std::vector<typed>> batch_rows;
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    enum { capacity = 64 };
    std::vector<PacketSummary> summaries(capacity);
    std::vector<WsbBatchValue> values(static_cast<size_t>(capacity) * ids.size());
    std::vector<char> texts(1 << 20);
    WsbPacketBatch batch{};
    batch.capacity = capacity;
    batch.field_count = count;
    batch.field_ids = ids.data();
    batch.summaries = summaries.data();
    batch.values = values.data();
    batch.value_capacity = static_cast<int32_t>(values.size());
    batch.texts = texts.data();
    batch.text_capacity = static_cast<int64_t>(texts.size());
    while (gGetNextPacketBatch(&batch) == 0)
        for (int32_t p = 0; p < batch.packets; ++p) {
            std::vector<typed> row;
            for (int32_t f = 0; f < count; ++f) {
                const WsbBatchValue &v = values[static_cast<size_t>(p * count + f)];
                row.push_back({v.kind, v.kind == WSB_VALUE_TEXT ? 0 : v.value.u,
                               v.kind == WSB_VALUE_TEXT ? std::string(texts.data() + v.value.text_offset,
                                                                      static_cast<size_t>(v.text_size))
                                                        : ""});
            }
            batch_rows.push_back(row);
        }
    ASSERT_GT(batch_rows.size(), 1000u);

    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    PacketSummary s;
    size_t packet = 0;
    std::set<int32_t> kinds;
    while (gGetNextPacket(&s) == 0) {
        ASSERT_LT(packet, batch_rows.size());
        for (int32_t f = 0; f < count; ++f) {
            WsbBatchValue v;
            const char *text = reinterpret_cast<const char *>(1);
            ASSERT_EQ(gGetFieldValue(ids[static_cast<size_t>(f)], &v, &text), 0) << last_error();
            const typed got{v.kind, v.kind == WSB_VALUE_TEXT ? 0 : v.value.u,
                            v.kind == WSB_VALUE_TEXT ? std::string(text, static_cast<size_t>(v.text_size)) : ""};
            EXPECT_TRUE(got == batch_rows[packet][static_cast<size_t>(f)])
                << "frame " << s.frame_number << " " << names[static_cast<size_t>(f)];
            if (v.kind != WSB_VALUE_TEXT)
                EXPECT_EQ(text, nullptr);
            else
                EXPECT_EQ(strlen(text), static_cast<size_t>(v.text_size));
            kinds.insert(v.kind);
        }
        ++packet;
    }
    EXPECT_EQ(packet, batch_rows.size());
    EXPECT_EQ(kinds, (std::set<int32_t>{WSB_VALUE_ABSENT, WSB_VALUE_UINT, WSB_VALUE_TEXT,
                                        WSB_VALUE_BOOL, WSB_VALUE_TIME, WSB_VALUE_DURATION}));
    // After the end no packet is dissected; an id that is no registered field.
    WsbBatchValue v{};
    const char *text = nullptr;
    EXPECT_EQ(gGetFieldValue(ids[0], &v, &text), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_STATE);
    ASSERT_EQ(gOpenCapture(path.c_str()), 0) << last_error();
    ASSERT_EQ(gGetNextPacket(&s), 0) << last_error();
    EXPECT_EQ(gGetFieldValue(-5, &v, &text), 1);
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_UNKNOWN_FIELD);
    EXPECT_EQ(gCloseCapture(), 0);
    EXPECT_EQ(gCleanupEpan(), 0);
}
