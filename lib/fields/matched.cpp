// SPDX-License-Identifier: GPL-2.0-or-later
// Which registered fields occurred in the packet dissected last, where they
// lie, and where the transport and IPv4 payloads of that packet begin.
#include "fields/matched.h"

#include <vector>

#include <epan/epan_dissect.h>
#include <epan/proto.h>
#include <epan/tvbuff.h>

#include "wsbridge.h"
#include "engine/state.h"
#include "capture/capture.h"
#include "dissection/dissection.h"
#include "compat/engine_series.h"
#include "engine/guarded_call.h"
#include "fields/registry.h"

matched_state_record matched_state;

namespace {

void empty_matched_fields()
{
    matched_state.fields.clear();
    matched_state.filled = false;
}

}  // namespace

proto_node *next_in_tree(proto_node *node, proto_tree *tree)
{
    if (node->first_child)
        return node->first_child;
    while (node && !node->next) {
        node = node->parent;
        if (node == tree)
            return nullptr;
    }
    return node ? node->next : nullptr;
}

namespace {

// True when the registration belongs to the protocol with the given id.
bool belongs_to(const header_field_info *hfinfo, int protocol_id)
{
    return protocol_id < 0 || hfinfo->parent == protocol_id;
}

// Among the candidates, the record that comes first in the tree (depth first,
// parents before children, as the engine prints it).
const field_info *earliest_in_tree(proto_tree *tree)
{
    for (proto_node *node = tree ? tree->first_child : nullptr; node; node = next_in_tree(node, tree)) {
        for (const field_info *candidate : matched_state.candidates)
            if (node->finfo == candidate)
                return candidate;
    }
    return matched_state.candidates.empty() ? nullptr : matched_state.candidates.front();
}

}  // namespace

name_records records_of_name(int32_t key_id, int protocol_id)
{
    name_records result{false, nullptr};
    proto_tree *tree = current_dissection() ? current_dissection()->tree : nullptr;
    header_field_info *hfinfo =
        tree ? first_registration_of_name(proto_registrar_get_nth(static_cast<guint>(key_id))) : nullptr;
    if (!hfinfo)
        return result;

    bool protocol_has_one = false;
    for (header_field_info *h = hfinfo; h; h = h->same_name_next)
        protocol_has_one = protocol_has_one || (protocol_id >= 0 && h->parent == protocol_id);
    if (!protocol_has_one)
        protocol_id = -1;

    matched_state.candidates.clear();
    for (header_field_info *h = hfinfo; h; h = h->same_name_next) {
        if (!belongs_to(h, protocol_id))
            continue;
        GPtrArray *records = proto_get_finfo_ptr_array(tree, h->id);
        if (!records)
            continue;
        result.primed = true;
        if (records->len > 0)
            matched_state.candidates.push_back(static_cast<const field_info *>(g_ptr_array_index(records, 0)));
    }
    if (matched_state.candidates.size() == 1)
        result.first = matched_state.candidates.front();
    else if (matched_state.candidates.size() > 1)
        result.first = earliest_in_tree(tree);
    return result;
}

namespace {

struct srcport_lookup {
    const char *group;
    const char *not_registered;
    const char *group_empty;
    const char *null_values;
    const char *no_values;
};

int find_srcport_info(const srcport_lookup &lookup, const field_info *&slot)
{
    if (slot)
        return WSB_OK;
    const std::vector<int32_t> *ids = group_field_ids(lookup.group);
    if (!ids) {
        set_error_text(WSB_E_UNKNOWN_FIELD, lookup.not_registered);
        return WSB_FAILED;
    }
    if (ids->empty()) {
        set_error_text(WSB_E_UNKNOWN_FIELD, lookup.group_empty);
        return WSB_FAILED;
    }
    name_records found = records_of_name(ids->front());
    if (!found.primed) {
        set_error_text(WSB_E_STATE, lookup.null_values);
        return WSB_FAILED;
    }
    if (!found.first) {
        set_error_text(WSB_E_ENGINE, lookup.no_values);
        return WSB_FAILED;
    }
    slot = found.first;
    return WSB_OK;
}

// The byte at offset within a record's data source, or -1 when the data
// source holds no such byte.
int byte_after_record_start(const field_info *record, int offset)
{
    int value = -1;
    tvbuff_t *tvb = record->ds_tvb;
    if (!tvb || record->start < 0)
        return -1;
    int32_t status = run_in_engine_frame(
        [&] {
            if (tvb_captured_length_remaining(tvb, record->start) > offset)
                value = tvb_get_guint8(tvb, record->start + offset);
        },
        "Reading a header length");
    return status == WSB_OK ? value : -1;
}

// The transport header the payload offsets count from: the first TCP header
// when the packet carried TCP, otherwise the first UDP header. Its length is
// that header's own (TCP: the data offset of the header the source port
// belongs to), so a packet that carries both, or a tunnel with one transport
// inside another, still gets a start and a length of one and the same header.
int32_t transport_header_length_of(const field_info *srcport, bool tcp)
{
    if (!tcp)
        return 8;
    int data_offset = byte_after_record_start(srcport, 12);
    return data_offset >= 0 ? (data_offset >> 4) * 4 : transport_facts().transport_header_length;
}

}  // namespace

int find_tcp_srcport_info()
{
    static const srcport_lookup lookup = {
        "TCP", "TCP protocol not registered.", "Error trying to obtain tcp.srcport info.",
        "Error trying to obtain tcp.srcport info (null values).",
        "Error trying to obtain tcp.srcport info (no values).",
    };
    return find_srcport_info(lookup, transport_facts().tcp_srcport_info);
}

int find_udp_srcport_info()
{
    static const srcport_lookup lookup = {
        "UDP", "UDP protocol not registered.", "Error trying to obtain udp.srcport info.",
        "Error trying to obtain udp.srcport info (null values).",
        "Error trying to obtain udp.srcport info (no values).",
    };
    return find_srcport_info(lookup, transport_facts().udp_srcport_info);
}

bool require_current_dissection(const char *operation)
{
    if (!require_engine(operation))
        return false;
    // A packet re-read for saving was dissected no further than the save
    // needed: its tree and transport facts are built now.
    const int32_t completed = complete_current_packet();
    if (completed == WSB_OUT_OF_MEMORY)
        set_error_format(WSB_E_OUT_OF_MEMORY, "\"%s\" operation failed. The engine ran out of memory while dissecting the packet.",
                         operation);
    if (completed != WSB_OK)
        return false;
    if (!current_dissection()) {
        set_error_format(WSB_E_STATE, "\"%s\" operation failed. There is no dissected packet: read a packet of an open capture "
                         "first.",
                         operation);
        return false;
    }
    return true;
}

const field_info *matched_field_record(int32_t field_id)
{
    if (!matched_state.filled || matched_state.generation != dissection_generation() || !current_dissection())
        return nullptr;
    for (const matched_field &entry : matched_state.fields)
        if (entry.id == field_id)
            return entry.record;
    return nullptr;
}

void matched_release()
{
    empty_matched_fields();
    std::vector<matched_field>().swap(matched_state.fields);
    std::vector<int32_t>().swap(matched_state.ids);
    std::vector<const field_info *>().swap(matched_state.candidates);
}

int32_t gLastPacketHasPassedFilter(const char *group_name, int32_t *count, const int32_t **ids)
{
    static const char operation[] = "Last Packet Has Passed Filter";
    argument_copy group_copy;
    group_name = unaliased_argument(group_name, group_copy);
    // Whatever happens next, the matches of the previous call are gone. The
    // id array keeps its storage, so a pointer handed out before still points
    // to readable memory.
    empty_matched_fields();
    matched_state.ids.clear();
    if (!group_name || !count || !ids) {
        set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. The group name and both outputs must be given.", operation);
        return WSB_FAILED;
    }
    if (!require_current_dissection(operation))
        return WSB_FAILED;
    const std::vector<int32_t> *group = group_field_ids(group_name);
    if (!group) {
        set_error_format(WSB_E_UNKNOWN_FIELD, "Requested protocol \"%s\" was not registered.\n", group_name);
        return WSB_FAILED;
    }

    matched_state.generation = dissection_generation();
    matched_state.filled = true;
    for (int32_t id : *group) {
        if (matched_field_record(id))
            continue;  // listed twice in the group
        name_records found = records_of_name(id);
        if (found.first)
            matched_state.fields.push_back({id, found.first});
    }
    for (const matched_field &entry : matched_state.fields)
        matched_state.ids.push_back(entry.id);

    if (!matched_state.fields.empty()) {
        if (transport_facts().saw_tcp && find_tcp_srcport_info() != WSB_OK)
            return WSB_FAILED;
        if (transport_facts().saw_udp && find_udp_srcport_info() != WSB_OK)
            return WSB_FAILED;
    }
    *count = static_cast<int32_t>(matched_state.ids.size());
    *ids = matched_state.ids.empty() ? nullptr : matched_state.ids.data();
    return WSB_OK;
}

const field_info *matched_or_fail(int32_t field_id)
{
    const field_info *record = matched_field_record(field_id);
    if (!record)
        set_error_format(WSB_E_STATE, "Protocol field ID \"%i\" is not one that passed the filter.\n", field_id);
    return record;
}

namespace {

// The checks both field-information calls begin with: the three outputs,
// a current packet, a matched record of the id. Null with the message written.
const field_info *field_info_record(const char *operation, int32_t field_id, const int32_t *first,
                                    const int32_t *length, const int32_t *type)
{
    if (!first || !length || !type) {
        set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. All three outputs must be given.", operation);
        return nullptr;
    }
    if (!require_current_dissection(operation))
        return nullptr;
    return matched_or_fail(field_id);
}

// The checks both payload-offset calls begin with: the output and a current
// packet. False with the message written.
bool payload_offset_call_ready(const char *operation, const int32_t *offset)
{
    if (!offset) {
        set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. No address was given for the offset.", operation);
        return false;
    }
    return require_current_dissection(operation);
}

}  // namespace

int32_t gGetFieldInfo(int32_t field_id, int32_t *offset, int32_t *length, int32_t *type)
{
    const field_info *record = field_info_record("Get Field Info", field_id, offset, length, type);
    if (!record)
        return WSB_FAILED;

    int32_t header_start = 0;
    int32_t header_length = 0;
    if (transport_facts().saw_tcp) {
        if (!transport_facts().tcp_srcport_info) {
            set_error_text(WSB_E_ENGINE, "Error retrieving tcp.srcport offset - null field data");
            return WSB_FAILED;
        }
        header_start = transport_facts().tcp_srcport_info->start;
        header_length = transport_header_length_of(transport_facts().tcp_srcport_info, true);
    } else if (transport_facts().saw_udp) {
        if (!transport_facts().udp_srcport_info) {
            set_error_text(WSB_E_ENGINE, "Error retrieving udp.srcport offset - null field data");
            return WSB_FAILED;
        }
        header_start = transport_facts().udp_srcport_info->start;
        header_length = transport_header_length_of(transport_facts().udp_srcport_info, false);
    }
    *offset = record->start - header_length - header_start;
    *length = record->length;
    *type = series_field_type_code(record->hfinfo->type);
    return WSB_OK;
}

int32_t gGetFieldInfoEx(int32_t field_id, int32_t *start, int32_t *length, int32_t *type)
{
    const field_info *record = field_info_record("Get Field Info Ex", field_id, start, length, type);
    if (!record)
        return WSB_FAILED;
    *start = record->start;
    *length = record->length;
    *type = series_field_type_code(record->hfinfo->type);
    return WSB_OK;
}

int32_t gGetTransportProtocolPayloadOffset(int32_t *offset)
{
    if (!payload_offset_call_ready("Get Transport Protocol Payload Offset", offset))
        return WSB_FAILED;
    if (transport_facts().saw_tcp) {
        if (find_tcp_srcport_info() != WSB_OK)
            return WSB_FAILED;
        const field_info *srcport = transport_facts().tcp_srcport_info;
        *offset = srcport->start + transport_header_length_of(srcport, true);
        return WSB_OK;
    }
    if (!transport_facts().saw_udp) {
        set_error_text(WSB_E_STATE, "Last processed packet is not a TCP/UDP one");
        return WSB_FAILED;
    }
    if (find_udp_srcport_info() != WSB_OK)
        return WSB_FAILED;
    const field_info *srcport = transport_facts().udp_srcport_info;
    *offset = srcport->start + transport_header_length_of(srcport, false);
    return WSB_OK;
}

int32_t gGetIPv4ProtocolPayloadOffset(int32_t *offset)
{
    if (!payload_offset_call_ready("Get IPv4 Protocol Payload Offset", offset))
        return WSB_FAILED;
    if (!transport_facts().saw_ip) {
        set_error_text(WSB_E_STATE, "Last processed packet is not an IPv4 one");
        return WSB_FAILED;
    }
    const std::vector<int32_t> *ids = group_field_ids("IP");
    if (!ids) {
        set_error_text(WSB_E_UNKNOWN_FIELD, "IP protocol not registered.");
        return WSB_FAILED;
    }
    if (ids->empty()) {
        set_error_text(WSB_E_UNKNOWN_FIELD, "Error trying to obtain ip.version info.");
        return WSB_FAILED;
    }
    // "ip.version" is also registered by IPv6; only the IPv4 header's record
    // marks where an IPv4 header starts.
    name_records found = records_of_name(ids->front(), ipv4_protocol_id());
    if (!found.primed) {
        set_error_text(WSB_E_STATE, "Error trying to obtain ip.version info (null values).");
        return WSB_FAILED;
    }
    if (!found.first) {
        set_error_text(WSB_E_ENGINE, "Error trying to obtain ip. info (no values).");
        return WSB_FAILED;
    }
    // The header length is that of the same header: its low nibble counts
    // 32-bit words. With IP in IP the first header and the last one differ.
    int version_and_length = byte_after_record_start(found.first, 0);
    int32_t header_length =
        version_and_length >= 0 ? (version_and_length & 0x0f) * 4 : transport_facts().ip_header_length;
    *offset = found.first->start + header_length;
    return WSB_OK;
}
