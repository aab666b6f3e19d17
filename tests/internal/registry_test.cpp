// SPDX-License-Identifier: GPL-2.0-or-later
// The registry's groups and the fields its filter keeps in a dissection, and
// the preference overrides, checked on the library's own state after start-up.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include <epan/prefs.h>
#include <epan/prefs-int.h>

#include "wsbridge.h"
#include "dissection/dissection.h"
#include "fields/registry.h"
#include "../support/pcap_writer.h"

namespace {

bool bool_pref(const char *module_name, const char *name)
{
    module_t *module = prefs_find_module(module_name);
    EXPECT_NE(module, nullptr) << module_name;
    pref_t *pref = prefs_find_preference(module, name);
    EXPECT_NE(pref, nullptr) << module_name << "." << name;
    return prefs_get_bool_value(pref, pref_current);
}

std::vector<std::string> names_of(const char *group)
{
    auto found = registry_state.groups.find(group);
    return found == registry_state.groups.end() ? std::vector<std::string>{} : found->second.names;
}

int32_t id_of(const char *name)
{
    int32_t id = -1, type = 0;
    EXPECT_EQ(gGetProtocolFieldFilterInfo(name, &id, &type), 0) << name << ": " << gGetLastError();
    return id;
}

// The ids gLastPacketHasPassedFilter reports for a group of the packet read last.
std::vector<int32_t> matched(const char *group)
{
    int32_t count = 0;
    const int32_t *ids = nullptr;
    EXPECT_EQ(gLastPacketHasPassedFilter(group, &count, &ids), 0) << group << ": " << gGetLastError();
    return ids ? std::vector<int32_t>(ids, ids + count) : std::vector<int32_t>{};
}

// A capture of an IPv4 UDP packet followed by an IPv6 TCP packet, open and
// not yet read; the file goes with the object.
struct ipv4_and_ipv6_capture {
    std::string path = testing::TempDir() + "wsb_registry_" + std::to_string(getpid()) + ".pcap";
    ipv4_and_ipv6_capture()
    {
        using namespace pcapw;
        const Mac a = mac("02:00:00:00:00:0a"), b = mac("02:00:00:00:00:0b");
        PcapWriter writer;
        writer.add(100, 0, eth_ipv4_udp(b, a, ip4("10.0.0.1"), ip4("10.0.0.2"), 5000, 7000, to_bytes("one")));
        writer.add(101, 0,
                   eth_ipv6_tcp(b, a, ip6("2001:db8::1"), ip6("2001:db8::2"), 40000, 80, 1, 0, tcpflag::SYN));
        writer.write(path);
        EXPECT_EQ(gOpenCapture(path.c_str()), 0) << gGetLastError();
    }
    ~ipv4_and_ipv6_capture() { unlink(path.c_str()); }
};

bool read_next()
{
    PacketSummary summary;
    return gGetNextPacket(&summary) == 0;
}

}  // namespace

TEST(Registry, StartsWithTheThreeDefaultFields)
{
    ASSERT_EQ(gInitEpan(), 0);
    EXPECT_EQ(registry_state.groups.size(), 3u);
    EXPECT_EQ(names_of("IP"), std::vector<std::string>{"ip.version"});
    EXPECT_EQ(names_of("TCP"), std::vector<std::string>{"tcp.srcport"});
    EXPECT_EQ(names_of("UDP"), std::vector<std::string>{"udp.srcport"});
    EXPECT_EQ(registry_state.fields.size(), 3u);
    const int32_t ip = id_of("ip.version"), tcp = id_of("tcp.srcport"), udp = id_of("udp.srcport");
    // The registry's filter keeps the three fields in every dissection.
    ipv4_and_ipv6_capture capture;
    ASSERT_TRUE(read_next()) << gGetLastError();
    EXPECT_EQ(matched("IP"), std::vector<int32_t>{ip});
    EXPECT_EQ(matched("UDP"), std::vector<int32_t>{udp});
    EXPECT_EQ(matched("TCP"), std::vector<int32_t>{});
    ASSERT_TRUE(read_next()) << gGetLastError();
    EXPECT_EQ(matched("IP"), std::vector<int32_t>{ip});
    EXPECT_EQ(matched("TCP"), std::vector<int32_t>{tcp});
    EXPECT_EQ(matched("UDP"), std::vector<int32_t>{});
}

// A name filed again under the same group changes nothing; the combined
// filter names each name once, whatever its groups, as a balanced tree.
TEST(Registry, GroupsKeepRegistrationOrderAndEachNameOnce)
{
    ASSERT_EQ(gInitEpan(), 0);
    ASSERT_EQ(gRegisterProtocolFieldFilter("ip.src", "ADDR"), 0);
    ASSERT_EQ(gRegisterProtocolFieldFilter("ip.dst", "ADDR"), 0);
    ASSERT_EQ(gRegisterProtocolFieldFilter("ip.src", "ADDR"), 0);
    ASSERT_EQ(gRegisterProtocolFieldFilter("tcp.dstport", "tcp"), 0);
    ASSERT_EQ(gRegisterProtocolFieldFilter("ip.src", "tcp"), 0);
    EXPECT_EQ(names_of("ADDR"), (std::vector<std::string>{"ip.src", "ip.dst"}));
    EXPECT_EQ(names_of("tcp"), (std::vector<std::string>{"tcp.dstport", "ip.src"}));
    int32_t src, dst, type;
    ASSERT_EQ(gGetProtocolFieldFilterInfo("ip.src", &src, &type), 0);
    ASSERT_EQ(gGetProtocolFieldFilterInfo("ip.dst", &dst, &type), 0);
    const std::vector<int32_t> *ids = group_field_ids("ADDR");
    ASSERT_NE(ids, nullptr);
    EXPECT_EQ(*ids, (std::vector<int32_t>{src, dst}));
    EXPECT_NE(group_field_ids("tcp"), nullptr);
    EXPECT_EQ(group_field_ids("tcp")->size(), 2u);
    EXPECT_EQ(group_field_ids("TCP")->size(), 1u);
    EXPECT_EQ(group_field_ids("nope"), nullptr);
}

TEST(Registry, RefusedNameLeavesNoGroupAndNoFilterText)
{
    ASSERT_EQ(gInitEpan(), 0);
    ASSERT_TRUE(ensure_field_filter_compiled());
    const std::string text_before = registry_state.filter_text;
    ASSERT_EQ(gRegisterProtocolFieldFilter("tcp.port == 80", "X"), 1);
    int32_t id, type;
    ASSERT_EQ(gGetProtocolFieldFilterInfo("tcp.srcport", &id, &type), 0);
    EXPECT_EQ(registry_state.filter_text, text_before);
    EXPECT_EQ(group_field_ids("X"), nullptr);
    EXPECT_NE(registry_state.compiled, nullptr);
    EXPECT_EQ(group_field_ids("TCP")->size(), 1u);
}

// The registry takes registered_name_limit different names; the next new one
// is refused with a message and changes nothing, while names already there
// can still be filed under more groups. Every name is compiled once, in a
// filter that nests only log2(names) deep.
TEST(Registry, TakesALimitedNumberOfDifferentNames)
{
    ASSERT_EQ(gInitEpan(), 0);
    // Enough new names to fill the registry, and one more.
    const size_t wanted = registered_name_limit - registry_state.fields.size() + 1;
    std::vector<std::string> names;
    for (int id = 0; names.size() < wanted; ++id) {
        header_field_info *hfinfo = proto_registrar_get_nth(static_cast<guint>(id));
        ASSERT_NE(hfinfo, nullptr) << "the engine has fewer fields than the registry takes";
        if (hfinfo->same_name_prev_id == -1 && registry_state.fields.find(hfinfo->abbrev) == registry_state.fields.end())
            names.emplace_back(hfinfo->abbrev);
    }
    const std::string refused = names.back();
    names.pop_back();
    for (const std::string &name : names)
        ASSERT_EQ(gRegisterProtocolFieldFilter(name.c_str(), "MANY"), 0) << name << ": " << gGetLastError();
    EXPECT_EQ(registry_state.fields.size(), registered_name_limit);
    EXPECT_EQ(gRegisterProtocolFieldFilter(refused.c_str(), "MANY"), 1);
    EXPECT_EQ(std::string(gGetLastError()),
              "\"Register protocol field filter\" operation failed. The registry holds " +
                  std::to_string(registered_name_limit) + " different names, the most it takes: \"" + refused +
                  "\" was not added.");
    EXPECT_EQ(gGetLastErrorCode(), WSB_E_LIMIT);
    EXPECT_EQ(registry_state.fields.count(refused), 0u);
    EXPECT_EQ(gRegisterProtocolFieldFilter("ip.version", "OTHER"), 0);
    int32_t id, type;
    ASSERT_EQ(gGetProtocolFieldFilterInfo(names[1000].c_str(), &id, &type), 0) << gGetLastError();
    EXPECT_EQ(gGetProtocolFieldFilterInfo(refused.c_str(), &id, &type), 1);
    ASSERT_NE(group_field_ids("OTHER"), nullptr);
    EXPECT_EQ(group_field_ids("OTHER")->size(), 1u);
    size_t depth = 0, deepest = 0;
    for (char c : registry_state.filter_text) {
        depth += c == '(';
        deepest = std::max(deepest, depth);
        depth -= c == ')';
    }
    EXPECT_LE(deepest, 17u);
}

TEST(Registry, OneNameStandsForAllItsEngineIds)
{
    // IPv4 and IPv6 each register a field named ip.version: the one id the
    // name is looked up under finds the field of either.
    ASSERT_EQ(gInitEpan(), 0);
    const int32_t id = id_of("ip.version");
    ipv4_and_ipv6_capture capture;
    for (uint64_t version : {4, 6}) {
        ASSERT_TRUE(read_next()) << gGetLastError();
        EXPECT_EQ(matched("IP"), std::vector<int32_t>{id});
        uint64_t value = 0;
        ASSERT_EQ(gGetUInt64ProtocolFieldValue(&value, id), 0) << gGetLastError();
        EXPECT_EQ(value, version);
    }
}

TEST(Preferences, ListedBooleansAreOffAndOthersKeepTheirDefaults)
{
    ASSERT_EQ(gInitEpan(), 0);
    EXPECT_FALSE(bool_pref("tcp", "desegment_tcp_streams"));
    EXPECT_FALSE(bool_pref("http", "dechunk_body"));
    EXPECT_FALSE(bool_pref("http", "desegment_headers"));
    EXPECT_FALSE(bool_pref("http", "desegment_body"));
    EXPECT_FALSE(bool_pref("smtp", "desegment_lines"));
    EXPECT_FALSE(bool_pref("sip", "desegment_body"));
    EXPECT_FALSE(bool_pref("netbios", "defragment"));
    EXPECT_FALSE(bool_pref("bittorrent", "desegment"));
    // Unlisted booleans of the same modules keep their defaults.
    EXPECT_TRUE(bool_pref("tcp", "analyze_sequence_numbers"));
    EXPECT_TRUE(bool_pref("tcp", "relative_sequence_numbers"));
    EXPECT_TRUE(bool_pref("http", "decompress_body"));
}
