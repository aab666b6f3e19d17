// SPDX-License-Identifier: GPL-2.0-or-later
// The 4.0 engine's conversation and endpoint tables, the values io,stat
// functions read, the capture's elapsed time and tshark's byte sizes.
#include "compat/engine_series.h"
#include "compat40/stats_taps.h"

#include <cstring>
#include <vector>

#include <epan/conversation_table.h>
#include <epan/ftypes/ftypes.h>
#include <epan/tap.h>
#include <wsutil/str_util.h>

struct series_conversation_table {
    // The engine's table: its protocol's packet routine fills it through the
    // listener's data, which must be this record's first member.
    conv_hash_t hash;
    tap_packet_cb engine_packet;
    series_packet_gate gate;
    bool endpoints;
    // The frame that added each entry, by the entry's position.
    std::vector<uint32_t> first_frames;
};

namespace {

nstime_t elapsed = NSTIME_INIT_ZERO;

register_ct_t *table_of(const char *protocol)
{
    const int id = proto_get_id_by_filter_name(protocol);
    return id < 0 ? nullptr : get_conversation_by_proto_id(id);
}

guint entries(const conv_hash_t &hash)
{
    return hash.conv_array ? hash.conv_array->len : 0;
}

// The engine's routine counts the packet into the table (tshark registers
// it the same way, with the table as the listener's data); the entries it
// adds remember the frame.
tap_packet_status table_packet(void *data, packet_info *pinfo, epan_dissect_t *edt, const void *tapped,
                               tap_flags_t flags)
{
    auto *table = static_cast<series_conversation_table *>(data);
    if (!table->gate(pinfo))
        return TAP_PACKET_DONT_REDRAW;
    const guint before = entries(table->hash);
    table->engine_packet(&table->hash, pinfo, edt, tapped, flags);
    for (guint i = before; i < entries(table->hash); ++i)
        table->first_frames.push_back(pinfo->num);
    return TAP_PACKET_DONT_REDRAW;
}

}  // namespace

const char *series_conversation_table_title(const char *protocol, bool *has_ports)
{
    register_ct_t *table = table_of(protocol);
    if (!table)
        return nullptr;
    const char *title = proto_get_protocol_short_name(find_protocol_by_id(get_conversation_proto_id(table)));
    // tshark's tables show ports by the title's first letters, as here.
    *has_ports = title && (!strncmp(title, "TCP", 3) || !strncmp(title, "UDP", 3) || !strncmp(title, "SCTP", 4));
    return title;
}

series_conversation_table *series_start_conversation_table(const char *protocol, bool endpoints, const char *filter,
                                                           series_packet_gate gate, std::string &error)
{
    register_ct_t *registered = table_of(protocol);
    if (!registered) {
        error = std::string("The engine keeps no conversation table for \"") + protocol + "\".";
        return nullptr;
    }
    auto *table = new series_conversation_table{};
    table->engine_packet =
        endpoints ? get_endpoint_packet_func(registered) : get_conversation_packet_func(registered);
    table->gate = gate;
    table->endpoints = endpoints;
    const char *tap = proto_get_protocol_filter_name(get_conversation_proto_id(registered));
    GString *message = register_tap_listener(tap, table, filter, TL_REQUIRES_NOTHING, nullptr, table_packet, nullptr,
                                             nullptr);
    if (message) {
        error = message->str;
        g_string_free(message, TRUE);
        delete table;
        return nullptr;
    }
    return table;
}

void series_clear_conversation_table(series_conversation_table *table)
{
    if (table->endpoints)
        reset_endpoint_table_data(&table->hash);
    else
        reset_conversation_table_data(&table->hash);
    table->first_frames.clear();
}

void series_stop_conversation_table(series_conversation_table *table)
{
    if (!table)
        return;
    remove_tap_listener(table);
    series_clear_conversation_table(table);
    delete table;
}

size_t series_conversation_table_size(const series_conversation_table *table)
{
    return entries(table->hash);
}

series_conversation_item series_conversation_at(const series_conversation_table *table, size_t index)
{
    const conv_item_t &item = g_array_index(table->hash.conv_array, conv_item_t, index);
    series_conversation_item out{};
    out.address_a = &item.src_address;
    out.address_b = &item.dst_address;
    out.port_a = item.src_port;
    out.port_b = item.dst_port;
    out.conversation_id = item.conv_id == CONV_ID_UNSET ? -1 : static_cast<int32_t>(item.conv_id);
    out.frames_a_to_b = item.tx_frames;
    out.bytes_a_to_b = item.tx_bytes;
    out.frames_b_to_a = item.rx_frames;
    out.bytes_b_to_a = item.rx_bytes;
    out.start = item.start_time;
    out.stop = item.stop_time;
    out.start_absolute = item.start_abs_time;
    out.first_frame = index < table->first_frames.size() ? table->first_frames[index] : 0;
    return out;
}

series_endpoint_item series_endpoint_at(const series_conversation_table *table, size_t index)
{
    const endpoint_item_t &item = g_array_index(table->hash.conv_array, endpoint_item_t, index);
    series_endpoint_item out{};
    out.endpoint = &item.myaddress;
    out.port = item.port;
    out.tx_frames = item.tx_frames;
    out.tx_bytes = item.tx_bytes;
    out.rx_frames = item.rx_frames;
    out.rx_bytes = item.rx_bytes;
    out.first_frame = index < table->first_frames.size() ? table->first_frames[index] : 0;
    return out;
}

// The types tshark's io,stat functions take (SUM, MIN, MAX and AVG; COUNT
// takes any): 40-, 48- and 56-bit integers are not among them in 4.0.
series_stat_value series_stat_value_kind(int field_id)
{
    switch (proto_registrar_get_ftype(field_id)) {
    case FT_UINT8:
    case FT_UINT16:
    case FT_UINT24:
    case FT_UINT32:
    case FT_UINT64:
        return series_stat_value::unsigned_integer;
    case FT_INT8:
    case FT_INT16:
    case FT_INT24:
    case FT_INT32:
    case FT_INT64:
        return series_stat_value::integer;
    case FT_FLOAT:
        return series_stat_value::floating_single;
    case FT_DOUBLE:
        return series_stat_value::floating_double;
    case FT_RELATIVE_TIME:
        return series_stat_value::relative_time;
    default:
        return series_stat_value::other;
    }
}

int64_t series_stat_integer(const field_info *record, series_stat_value kind)
{
    const fvalue_t *value = &record->value;
    switch (kind) {
    case series_stat_value::unsigned_integer:
        switch (record->hfinfo->type) {
        case FT_UINT64:
            return static_cast<int64_t>(fvalue_get_uinteger64(const_cast<fvalue_t *>(value)));
        default:
            return static_cast<int64_t>(fvalue_get_uinteger(const_cast<fvalue_t *>(value)));
        }
    case series_stat_value::integer:
        switch (record->hfinfo->type) {
        case FT_INT64:
            return fvalue_get_sinteger64(const_cast<fvalue_t *>(value));
        default:
            return fvalue_get_sinteger(const_cast<fvalue_t *>(value));
        }
    case series_stat_value::relative_time: {
        const nstime_t *time = fvalue_get_time(const_cast<fvalue_t *>(value));
        return static_cast<int64_t>(static_cast<uint64_t>(time->secs) * 1000000000u + static_cast<uint64_t>(time->nsecs));
    }
    default:
        return 0;
    }
}

double series_stat_floating(const field_info *record)
{
    return fvalue_get_floating(const_cast<fvalue_t *>(&record->value));
}

nstime_t series_elapsed_time()
{
    return elapsed;
}

void series_reset_elapsed()
{
    nstime_set_zero(&elapsed);
}

void track_elapsed(const nstime_t &relative)
{
    if (static_cast<gint32>(elapsed.secs) < relative.secs ||
        (static_cast<gint32>(elapsed.secs) == relative.secs && static_cast<gint32>(elapsed.nsecs) < relative.nsecs))
        elapsed = relative;
}

std::string series_format_bytes(uint64_t bytes)
{
    char *text = format_size(static_cast<int64_t>(bytes), FORMAT_SIZE_UNIT_BYTES, 0);
    std::string out = text ? text : "";
    wmem_free(nullptr, text);
    return out;
}
