// SPDX-License-Identifier: GPL-2.0-or-later
// The 4.0 engine's tap listeners, the records its "tcp" and "ip" taps hand
// over, and its conversation followers.
#include "compat/engine_series.h"
#include "compat40/taps_state.h"

#include <map>

#include <epan/dissectors/packet-tcp.h>
#include <epan/follow.h>
#include <epan/tap.h>
#include <epan/tvbuff.h>

taps_state_record taps_state;

namespace {

// A listener of the library with its state: the engine identifies listeners
// by the data pointer registered with them, so the registration is that
// pointer and carries the library's own.
struct registration {
    void *state;
    series_tap_listener listener;
};

// Every registration by the state it carries; one state may listen to
// several taps (the transport facts listen to "tcp", "udp" and "ip").
std::multimap<void *, registration *> &registrations = *new std::multimap<void *, registration *>;

tap_packet_status dispatch(void *data, packet_info *pinfo, epan_dissect_t *edt, const void *tapped, tap_flags_t)
{
    const auto *entry = static_cast<registration *>(data);
    entry->listener(entry->state, pinfo, edt, tapped);
    return TAP_PACKET_DONT_REDRAW;
}

bool register_listener(const char *tap, void *data, const char *filter, guint flags, tap_packet_cb listener,
                       std::string &error)
{
    GString *message = register_tap_listener(tap, data, filter, flags, nullptr, listener, nullptr, nullptr);
    if (!message)
        return true;
    error = message->str;
    g_string_free(message, TRUE);
    return false;
}

}  // namespace

bool series_register_tap_listener(const char *tap, void *state, const char *filter, bool needs_tree,
                                  series_tap_listener listener, std::string &error)
{
    auto *entry = new registration{state, listener};
    if (!register_listener(tap, entry, filter, needs_tree ? TL_REQUIRES_PROTO_TREE : TL_REQUIRES_NOTHING, dispatch,
                           error)) {
        delete entry;
        return false;
    }
    registrations.emplace(state, entry);
    return true;
}

void series_remove_tap_listener(void *state)
{
    const auto range = registrations.equal_range(state);
    for (auto it = range.first; it != range.second; ++it) {
        remove_tap_listener(it->second);
        delete it->second;
    }
    registrations.erase(range.first, range.second);
}

series_tcp_segment series_tcp_tap_segment(const void *tap_data)
{
    const auto *tcp = static_cast<const tcp_info_t *>(tap_data);
    return {static_cast<int32_t>(tcp->th_hlen), tcp->th_rawseq, tcp->th_have_seglen ? tcp->th_seglen : 0,
            (tcp->th_flags & TH_SYN) != 0, (tcp->th_flags & TH_FIN) != 0};
}

// The 4.0 "ip" tap record carries no header length. The registry's default
// field "ip.version" keeps the records of the IPv4 version field in every
// dissection once the registry is compiled, so the n-th report of a packet
// (IP in IP) reads the header at the n-th record of that field, where the
// header's first byte gives its length. (Priming a field of its own would
// cost every packet the building of its IP subtree, also for hosts that never
// ask for fields; "ip.version" is added without a formatted label, unlike
// "ip.hdr_len".)
int32_t series_ip_tap_header_length(epan_dissect_t *edt, int version_id, int index)
{
    if (!edt || !edt->tree || version_id < 0)
        return -1;
    GPtrArray *records = proto_get_finfo_ptr_array(edt->tree, version_id);
    if (!records || index >= static_cast<int>(records->len))
        return -1;
    const auto *version = static_cast<const field_info *>(g_ptr_array_index(records, index));
    if (!version || !version->ds_tvb || version->start < 0 ||
        tvb_captured_length_remaining(version->ds_tvb, version->start) < 1)
        return 0;
    return (tvb_get_guint8(version->ds_tvb, version->start) & 0x0F) * 4;
}

char *series_follow_filter(const char *protocol, epan_dissect_t *edt, unsigned *stream)
{
    register_follow_t *follower = get_follow_by_name(protocol);
    if (!follower)
        return nullptr;
    guint sub_stream = 0;
    return get_follow_conv_func(follower)(edt, &edt->pi, stream, &sub_stream);
}

namespace {

// ---- TCP: the engine's follower with the library's delivery -----------------

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
// False when the record is not one of the followed conversation with IPv4 or
// IPv6 endpoints; nothing is written then.
bool segment_endpoints(const void *data, address &source, address &destination, guint32 &source_port,
                       guint32 &destination_port)
{
    const auto *record = static_cast<const tcp_follow_tap_record *>(data);
    if (!record || !record->header)
        return false;
    const tcpheader *header = record->header;
    const bool ip4 = header->ip_src.type == AT_IPv4 && header->ip_src.len == 4;
    const bool ip6 = header->ip_src.type == AT_IPv6 && header->ip_src.len == 16;
    if (header->th_stream != taps_state.followed_tcp_stream || !(ip4 || ip6) || header->ip_dst.type != header->ip_src.type ||
        header->ip_dst.len != header->ip_src.len)
        return false;
    source = header->ip_src;
    destination = header->ip_dst;
    source_port = header->th_sport;
    destination_port = header->th_dport;
    return true;
}

// Hands the records the engine delivered to the sink, oldest first (the
// engine prepends them), and frees them.
void deliver_tcp_records()
{
    if (!taps_state.tcp_follow_info || !taps_state.tcp_follow_info->payload)
        return;
    GList *records = g_list_reverse(taps_state.tcp_follow_info->payload);
    taps_state.tcp_follow_info->payload = nullptr;
    const follow_info_t *info = taps_state.tcp_follow_info;
    for (GList *element = records; element; element = element->next) {
        auto *record = static_cast<follow_record_t *>(element->data);
        if (record->data) {
            const bool server = record->is_server;
            taps_state.tcp_sink({server ? &info->server_ip : &info->client_ip, server ? &info->client_ip : &info->server_ip,
                      server ? info->server_port : info->client_port, server ? info->client_port : info->server_port,
                      record->data->data, record->data->len, !server, taps_state.tcp_opened_by_client});
            g_byte_array_free(record->data, TRUE);
        }
        g_free(record);
    }
    g_list_free(records);
}

}  // namespace

void forget_held_tcp_records()
{
    taps_state.held_count = 0;
    taps_state.held_overflow = false;
    taps_state.held_dissection = nullptr;
    taps_state.held_frame = 0;
}

namespace {

void hold_record(packet_info *pinfo, epan_dissect_t *edt, const void *data, tap_flags_t flags)
{
    taps_state.held_dissection = edt;
    taps_state.held_frame = pinfo->num;
    if (taps_state.held_count == held_capacity)
        taps_state.held_overflow = true;
    else
        taps_state.held[taps_state.held_count++] = {pinfo, data, flags};
}

// The engine's follower does the ordering (seeing the segment's own
// endpoints), then its new records are delivered.
tap_packet_status take_record(void *info, packet_info *pinfo, epan_dissect_t *edt, const void *data,
                              tap_flags_t flags)
{
    const address saved_source = pinfo->src, saved_destination = pinfo->dst;
    const guint32 saved_source_port = pinfo->srcport, saved_destination_port = pinfo->destport;
    segment_endpoints(data, pinfo->src, pinfo->dst, pinfo->srcport, pinfo->destport);
    // The follower takes the sender of its first segment for the client.
    const bool first = static_cast<const follow_info_t *>(info)->client_port == 0;
    tap_packet_status status = taps_state.engine_tcp_follow_handler(info, pinfo, edt, data, flags);
    const auto *record = static_cast<const tcp_follow_tap_record *>(data);
    if (first && record && record->header)
        taps_state.tcp_opened_by_client = (record->header->th_flags & (TH_SYN | TH_ACK)) == TH_SYN;
    pinfo->src = saved_source;
    pinfo->dst = saved_destination;
    pinfo->srcport = saved_source_port;
    pinfo->destport = saved_destination_port;
    deliver_tcp_records();
    return status;
}

// The "tcp_follow" packet routine: a record of the followed conversation is
// taken while the follower takes packets and held back otherwise.
tap_packet_status tcp_follow_packet(void *info, packet_info *pinfo, epan_dissect_t *edt, const void *data,
                                    tap_flags_t flags)
{
    // The listener has no display filter (one would make every dissection
    // build a tree while a stream is followed): the segment's own header
    // tells whether it belongs to the followed conversation.
    const auto *record = static_cast<const tcp_follow_tap_record *>(data);
    if (!record || !record->header || record->header->th_stream != taps_state.followed_tcp_stream)
        return TAP_PACKET_DONT_REDRAW;
    if (!taps_state.tcp_follow_taking) {
        hold_record(pinfo, edt, data, flags);
        return TAP_PACKET_DONT_REDRAW;
    }
    return take_record(info, pinfo, edt, data, flags);
}

// ---- UDP: the datagrams' payloads -------------------------------------------

// The 4.0 "udp_follow" tap hands over the datagram's payload as a tvbuff.
void udp_follow_packet(void *state, packet_info *pinfo, epan_dissect_t *, const void *data)
{
    auto *tvb = static_cast<tvbuff_t *>(const_cast<void *>(data));
    const guint length = tvb ? tvb_captured_length(tvb) : 0;
    const auto *bytes = length ? static_cast<const uint8_t *>(tvb_get_ptr(tvb, 0, static_cast<gint>(length))) : nullptr;
    taps_state.udp_sink(state, pinfo, bytes, length);
}

}  // namespace

bool series_start_tcp_follow(const char *filter, unsigned stream, series_follow_sink sink, std::string &error)
{
    register_follow_t *follower = get_follow_by_name("TCP");
    follow_info_t *info = g_new0(follow_info_t, 1);
    info->substream_id = SUBSTREAM_UNUSED;
    taps_state.engine_tcp_follow_handler = get_follow_tap_handler(follower);
    // The filter text names the conversation; the listener itself tests the
    // stream index, so that no dissection needs a tree for it.
    (void)filter;
    if (!register_listener(get_follow_tap_string(follower), info, nullptr, TL_REQUIRES_NOTHING, tcp_follow_packet,
                           error)) {
        follow_info_free(info);
        return false;
    }
    taps_state.tcp_follow_info = info;
    taps_state.followed_tcp_stream = stream;
    taps_state.tcp_sink = sink;
    taps_state.tcp_follow_taking = false;
    taps_state.tcp_opened_by_client = false;
    forget_held_tcp_records();
    return true;
}

void series_tcp_follow_takes(bool takes)
{
    taps_state.tcp_follow_taking = takes;
}

bool series_tcp_follow_take_held(const epan_dissect_t *edt, uint32_t frame)
{
    if (!taps_state.tcp_follow_info)
        return false;
    if (taps_state.held_dissection != edt || taps_state.held_frame != frame) {
        // That dissection handed over nothing of the conversation.
        forget_held_tcp_records();
        return true;
    }
    if (taps_state.held_overflow) {
        forget_held_tcp_records();
        return false;
    }
    for (int i = 0; i < taps_state.held_count; ++i) {
        const held_tcp_record &record = taps_state.held[i];
        take_record(taps_state.tcp_follow_info, record.pinfo, taps_state.held_dissection, record.data, record.flags);
    }
    forget_held_tcp_records();
    return true;
}

// Removes the listener and frees the engine's record (with any segments it
// still held back waiting for missing ones, after delivering what it has).
void series_stop_tcp_follow()
{
    if (!taps_state.tcp_follow_info)
        return;
    remove_tap_listener(taps_state.tcp_follow_info);
    forget_held_tcp_records();
    deliver_tcp_records();
    follow_info_free(taps_state.tcp_follow_info);
    taps_state.tcp_follow_info = nullptr;
}

bool series_start_udp_follow(const char *filter, void *state, series_datagram_sink sink, std::string &error)
{
    taps_state.udp_sink = sink;
    return series_register_tap_listener("udp_follow", state, filter, false, udp_follow_packet, error);
}

void series_stop_udp_follow(void *state)
{
    series_remove_tap_listener(state);
}
