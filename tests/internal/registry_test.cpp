// The registry's text and groups, and the preference overrides, checked on
// the library's own state after start-up.
#include <gtest/gtest.h>

#include <epan/prefs.h>
#include <epan/prefs-int.h>

#include "wsbridge.h"
#include "dissection/dissection.h"
#include "fields/registry.h"

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

}  // namespace

TEST(Registry, StartsWithTheThreeDefaultFields)
{
    ASSERT_EQ(gInitEpan(), 0);
    EXPECT_EQ(registry_state.filter_text, "ip.version or tcp.srcport or udp.srcport");
    EXPECT_EQ(registry_state.groups.size(), 3u);
    EXPECT_EQ(names_of("IP"), std::vector<std::string>{"ip.version"});
    EXPECT_EQ(names_of("TCP"), std::vector<std::string>{"tcp.srcport"});
    EXPECT_EQ(names_of("UDP"), std::vector<std::string>{"udp.srcport"});
    EXPECT_EQ(registry_state.fields.size(), 3u);
}

TEST(Registry, GroupsKeepRegistrationOrderAndDuplicates)
{
    ASSERT_EQ(gInitEpan(), 0);
    ASSERT_EQ(gRegisterProtocolFieldFilter("ip.src", "ADDR"), 0);
    ASSERT_EQ(gRegisterProtocolFieldFilter("ip.dst", "ADDR"), 0);
    ASSERT_EQ(gRegisterProtocolFieldFilter("ip.src", "ADDR"), 0);
    ASSERT_EQ(gRegisterProtocolFieldFilter("tcp.dstport", "tcp"), 0);
    EXPECT_EQ(registry_state.filter_text,
              "ip.version or tcp.srcport or udp.srcport or ip.src or ip.dst or ip.src or tcp.dstport");
    int32_t src, dst, type;
    ASSERT_EQ(gGetProtocolFieldFilterInfo("ip.src", &src, &type), 0);
    ASSERT_EQ(gGetProtocolFieldFilterInfo("ip.dst", &dst, &type), 0);
    const std::vector<int32_t> *ids = group_field_ids("ADDR");
    ASSERT_NE(ids, nullptr);
    EXPECT_EQ(*ids, (std::vector<int32_t>{src, dst, src}));
    EXPECT_NE(group_field_ids("tcp"), nullptr);
    EXPECT_EQ(group_field_ids("tcp")->size(), 1u);
    EXPECT_EQ(group_field_ids("TCP")->size(), 1u);
    EXPECT_EQ(group_field_ids("nope"), nullptr);
}

TEST(Registry, RefusedNameLeavesNoGroupAndNoFilterText)
{
    ASSERT_EQ(gInitEpan(), 0);
    const std::string text_before = registry_state.filter_text;
    ASSERT_EQ(gRegisterProtocolFieldFilter("tcp.port == 80", "X"), 1);
    EXPECT_EQ(registry_state.filter_text, text_before);
    EXPECT_EQ(group_field_ids("X"), nullptr);
    int32_t id, type;
    ASSERT_EQ(gGetProtocolFieldFilterInfo("tcp.srcport", &id, &type), 0);
    EXPECT_NE(registry_state.compiled, nullptr);
    EXPECT_EQ(group_field_ids("TCP")->size(), 1u);
}

TEST(Registry, OneNameStandsForAllItsEngineIds)
{
    ASSERT_EQ(gInitEpan(), 0);
    int32_t id, type;
    ASSERT_EQ(gGetProtocolFieldFilterInfo("ip.version", &id, &type), 0);
    header_field_info *hfinfo = proto_registrar_get_byname("ip.version");
    ASSERT_NE(hfinfo, nullptr);
    while (hfinfo->same_name_prev_id != -1)
        hfinfo = proto_registrar_get_nth(static_cast<guint>(hfinfo->same_name_prev_id));
    int others = 0;
    for (header_field_info *other = hfinfo; other; other = other->same_name_next) {
        EXPECT_EQ(first_registration_of_name(other), hfinfo);
        ++others;
    }
    EXPECT_GE(others, 2) << "ip.version is registered by IPv4 and IPv6";
    EXPECT_EQ(first_registration_of_name(proto_registrar_get_nth(static_cast<guint>(id))), hfinfo);
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
