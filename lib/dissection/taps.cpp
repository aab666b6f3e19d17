// SPDX-License-Identifier: GPL-2.0-or-later
// The tap listeners that record the transport facts of each dissection, and
// the hook through which capture saving sees TCP packets.
#include <cstring>
#include <string>

#include "wsbridge.h"
#include "dissection/dissection.h"
#include "dissection/dissection_state.h"
#include "engine/state.h"

namespace {

// Tap listeners. They run when a dissection pushes its tap queue, after the
// packet's tree is complete, in the order the layers queued their reports.
void tcp_tap_listener(void *, packet_info *pinfo, epan_dissect_t *, const void *data)
{
    const series_tcp_segment segment = series_tcp_tap_segment(data);
    transport_facts_record &facts = dissection_state.facts;
    facts.transport_header_length = segment.header_length;
    facts.saw_tcp = true;
    if (dissection_state.tcp_hook)
        dissection_state.tcp_hook(pinfo, segment);
}

void udp_tap_listener(void *, packet_info *, epan_dissect_t *, const void *)
{
    dissection_state.facts.saw_udp = true;
    dissection_state.facts.transport_header_length = 8;
}

// The n-th "ip" report of a packet (IP in IP) describes its n-th IPv4 header.
void ip_tap_listener(void *, packet_info *, epan_dissect_t *edt, const void *)
{
    transport_facts_record &facts = dissection_state.facts;
    const int32_t length = series_ip_tap_header_length(edt, ipv4_version_id(), facts.ip_reports++);
    if (length >= 0)
        facts.ip_header_length = length;
    facts.saw_ip = true;
}

// The listeners read a protocol tree when the dissection has one (the IPv4
// header's records) but need none built: registered as requiring one, they
// would have every packet read in sequence build a tree.
bool register_tap(const char *tap, series_tap_listener listener, const char *failure_format)
{
    std::string error;
    if (series_register_tap_listener(tap, &dissection_state.facts, nullptr, false, listener, error))
        return true;
    set_error_format(WSB_E_ENGINE, failure_format, error.c_str());
    return false;
}

}  // namespace

bool dissection_init()
{
    return register_tap("tcp", tcp_tap_listener, "Can't register TCP tap: %s\n") &&
           register_tap("udp", udp_tap_listener, "Can't register UDP tap: %s\n") &&
           register_tap("ip", ip_tap_listener, "Can't register IP tap: %s\n");
}

tcp_tap_hook replace_tcp_tap_hook(tcp_tap_hook hook)
{
    const tcp_tap_hook previous = dissection_state.tcp_hook;
    dissection_state.tcp_hook = hook;
    return previous;
}

header_field_info *first_registration_of_name(header_field_info *hfinfo)
{
    while (hfinfo && hfinfo->same_name_prev_id != -1)
        hfinfo = proto_registrar_get_nth(static_cast<guint>(hfinfo->same_name_prev_id));
    return hfinfo;
}

int ipv4_protocol_id()
{
    static int id = -2;
    if (id == -2)
        id = proto_get_id_by_filter_name("ip");
    return id;
}

int ipv4_version_id()
{
    static int id = -2;
    if (id == -2) {
        id = -1;
        for (header_field_info *h = first_registration_of_name(proto_registrar_get_byname("ip.version")); h;
             h = h->same_name_next)
            if (h->parent == ipv4_protocol_id())
                id = h->id;
    }
    return id;
}
