// Start-up, session and numbering differences of the 4.0 engine.
#include "compat40/compat40.h"

#include <epan/address_types.h>
#include <epan/dissectors/packet-tcp.h>
#include <epan/proto.h>
#include <epan/timestamp.h>
#include <epan/uat-int.h>
#include <wiretap/wtap.h>
#include <wsutil/privileges.h>
#include <wsutil/wslog.h>

namespace {

bool epan_init_attempted;

// Preference tables are normally post-processed when their files are read;
// this library reads none, so run each table's post-update once here. Without
// it the IPv4 dissector's address lookups use a map that was never built.
void post_update_table(void *table, void *)
{
    auto *uat = static_cast<epan_uat *>(table);
    if (uat->loaded)
        return;
    if (uat->post_update_cb)
        uat->post_update_cb();
    uat->loaded = TRUE;
}

const nstime_t *provider_frame_ts(packet_provider_data *provider, guint32 frame_num)
{
    return provider && provider->frame_ts ? provider->frame_ts(frame_num) : nullptr;
}

const packet_provider_funcs provider_funcs = {provider_frame_ts, nullptr, nullptr, nullptr};

}  // namespace

bool compat40_start_engine(const report_message_routines *routines)
{
    if (epan_init_attempted)
        return false;
    epan_init_attempted = true;
    // The library prints nothing: only errors that end the process get through.
    ws_log_set_level(LOG_LEVEL_ERROR);
    init_process_policies();
    init_report_message("wsbridge", routines);
    wtap_init(FALSE);
    if (!epan_init(nullptr, nullptr, FALSE))
        return false;
    uat_foreach_table(post_update_table, nullptr);
    return true;
}

epan_t *compat40_new_session(packet_provider_data *provider)
{
    return epan_new(provider, &provider_funcs);
}

int32_t compat40_field_type_code(int engine_type)
{
    switch (engine_type) {
    case FT_NONE: return 0;
    case FT_PROTOCOL: return 1;
    case FT_BOOLEAN: return 2;
    case FT_CHAR: return 3;
    case FT_UINT8: return 3;
    case FT_UINT16: return 4;
    case FT_UINT24: return 5;
    case FT_UINT32: return 6;
    case FT_UINT40: case FT_UINT48: case FT_UINT56: case FT_UINT64: return 7;
    case FT_INT8: return 8;
    case FT_INT16: return 9;
    case FT_INT24: return 10;
    case FT_INT32: return 11;
    case FT_INT40: case FT_INT48: case FT_INT56: case FT_INT64: return 12;
    case FT_FLOAT: return 13;
    case FT_DOUBLE: return 14;
    case FT_ABSOLUTE_TIME: return 15;
    case FT_RELATIVE_TIME: return 16;
    case FT_STRING: return 17;
    case FT_STRINGZ: return 18;
    case FT_UINT_STRING: return 20;
    case FT_ETHER: return 21;
    case FT_BYTES: return 22;
    case FT_UINT_BYTES: return 23;
    case FT_IPv4: return 24;
    case FT_IPv6: return 25;
    case FT_IPXNET: return 26;
    case FT_FRAMENUM: return 27;
    case FT_GUID: return 29;
    case FT_OID: return 30;
    case FT_EUI64: return 31;
    case FT_AX25: return 32;
    case FT_VINES: return 33;
    case FT_REL_OID: return 34;
    case FT_SYSTEM_ID: return 35;
    case FT_STRINGZPAD: return 36;
    case FT_FCWWN: return 37;
    case FT_STRINGZTRUNC: return 38;
    case FT_IEEE_11073_SFLOAT: return 39;
    case FT_IEEE_11073_FLOAT: return 40;
    default: return 0;
    }
}

int32_t compat40_address_type_code(int engine_type)
{
    switch (engine_type) {
    case AT_NONE: return 0;
    case AT_ETHER: return 1;
    case AT_IPv4: return 2;
    case AT_IPv6: return 3;
    case AT_IPX: return 4;
    case AT_FC: return 10;
    case AT_STRINGZ: return 12;
    case AT_EUI64: return 13;
    case AT_VINES: return 7;
    case AT_FCWWN: return 16;
    case AT_IB: return 17;
    case AT_AX25: return 18;
    case AT_NUMERIC: return 19;
    default: break;
    }
    // Types that dissectors register at run time, found by their names.
    static const struct { const char *name; int32_t code; } registered[] = {
        {"AT_SNA", 5}, {"AT_ATALK", 6}, {"AT_OSI", 8}, {"AT_ARCNET", 9},
        {"AT_SS7PC", 11}, {"AT_URI", 14}, {"AT_TIPC", 15},
    };
    for (const auto &entry : registered)
        if (address_type_get_by_name(entry.name) == engine_type)
            return entry.code;
    return 20;
}

int32_t compat40_port_type_code(int engine_type)
{
    switch (engine_type) {
    case PT_NONE: return 0;
    case PT_SCTP: return 1;
    case PT_TCP: return 2;
    case PT_UDP: return 3;
    case PT_DCCP: return 4;
    case PT_IPX: return 5;
    case PT_DDP: return 8;
    case PT_IDP: return 10;
    case PT_USB: return 12;
    case PT_I2C: return 13;
    case PT_IBQP: return 14;
    case PT_BLUETOOTH: return 15;
    case PT_IWARP_MPA: return 16;
    default: return 0;
    }
}

int compat40_ipv4_version_id()
{
    static int id = -2;
    if (id == -2) {
        id = -1;
        const int ipv4 = proto_get_id_by_filter_name("ip");
        header_field_info *hfinfo = proto_registrar_get_byname("ip.version");
        while (hfinfo && hfinfo->same_name_prev_id != -1)
            hfinfo = proto_registrar_get_nth(static_cast<guint>(hfinfo->same_name_prev_id));
        for (; hfinfo; hfinfo = hfinfo->same_name_next)
            if (hfinfo->parent == ipv4)
                id = hfinfo->id;
    }
    return id;
}

int32_t compat40_ipv4_header_length(const field_info *version)
{
    if (!version || !version->ds_tvb || version->start < 0 ||
        tvb_captured_length_remaining(version->ds_tvb, version->start) < 1)
        return 0;
    return (tvb_get_guint8(version->ds_tvb, version->start) & 0x0F) * 4;
}

// What the 4.0 TCP dissector hands to "tcp_follow" listeners
// (tcp_follow_tap_data_t of packet-tcp.c, which no public header declares):
// the segment's payload, its header record and the conversation's analysis.
struct tcp_follow_tap_record {
    tvbuff_t *payload;
    const tcpheader *header;
    const void *analysis;
};

// The engine's follower tells the directions apart by the packet's source
// address and port, but by the time taps run those describe the innermost
// layer: a TCP segment that carries a whole packet (OpenFlow packet-in and
// packet-out, for one) would count as the other direction and upset the
// sequence tracking of both. The segment's own header has the right ones.
bool compat40_tcp_follow_segment_endpoints(const void *data, guint stream, address &source, address &destination,
                                           guint32 &source_port, guint32 &destination_port)
{
    const auto *record = static_cast<const tcp_follow_tap_record *>(data);
    if (!record || !record->header)
        return false;
    const tcpheader *header = record->header;
    const bool ip4 = header->ip_src.type == AT_IPv4 && header->ip_src.len == 4;
    const bool ip6 = header->ip_src.type == AT_IPv6 && header->ip_src.len == 16;
    if (header->th_stream != stream || !(ip4 || ip6) || header->ip_dst.type != header->ip_src.type ||
        header->ip_dst.len != header->ip_src.len)
        return false;
    source = header->ip_src;
    destination = header->ip_dst;
    source_port = header->th_sport;
    destination_port = header->th_dport;
    return true;
}

