// SPDX-License-Identifier: GPL-2.0-or-later
// The records crossing the interface have a fixed layout that hosts in other
// languages mirror; any change here breaks them. gGetRecordLayout reports
// the same layouts at run time.
#include <cstddef>
#include <cstring>

#include "wsbridge.h"
#include "engine/state.h"

static_assert(sizeof(PacketSummary) == 544, "PacketSummary size");
static_assert(offsetof(PacketSummary, frame_number) == 0, "frame_number");
static_assert(offsetof(PacketSummary, packet_length) == 4, "packet_length");
static_assert(offsetof(PacketSummary, captured_length) == 8, "captured_length");
static_assert(offsetof(PacketSummary, port_type) == 12, "port_type");
static_assert(offsetof(PacketSummary, source_port) == 16, "source_port");
static_assert(offsetof(PacketSummary, destination_port) == 18, "destination_port");
static_assert(offsetof(PacketSummary, file_offset) == 24, "file_offset");
static_assert(offsetof(PacketSummary, relative_time) == 32, "relative_time");
static_assert(offsetof(PacketSummary, time_seconds) == 40, "time_seconds");
static_assert(offsetof(PacketSummary, time_nanoseconds) == 48, "time_nanoseconds");
static_assert(offsetof(PacketSummary, encapsulation) == 52, "encapsulation");
static_assert(offsetof(PacketSummary, source_address_type) == 56, "source_address_type");
static_assert(offsetof(PacketSummary, destination_address_type) == 60, "destination_address_type");
static_assert(offsetof(PacketSummary, protocol_text) == 64, "protocol_text");
static_assert(offsetof(PacketSummary, info_text) == 96, "info_text");
static_assert(offsetof(PacketSummary, link_source_text) == 352, "link_source_text");
static_assert(offsetof(PacketSummary, link_destination_text) == 384, "link_destination_text");
static_assert(offsetof(PacketSummary, source_text) == 416, "source_text");
static_assert(offsetof(PacketSummary, destination_text) == 480, "destination_text");

static_assert(sizeof(SavePacketRequest) == 48, "SavePacketRequest size");
static_assert(offsetof(SavePacketRequest, frame_number) == 0, "frame_number");
static_assert(offsetof(SavePacketRequest, packet_length) == 4, "packet_length");
static_assert(offsetof(SavePacketRequest, captured_length) == 8, "captured_length");
static_assert(offsetof(SavePacketRequest, file_offset) == 16, "file_offset");
static_assert(offsetof(SavePacketRequest, time_seconds) == 24, "time_seconds");
static_assert(offsetof(SavePacketRequest, time_nanoseconds) == 32, "time_nanoseconds");
static_assert(offsetof(SavePacketRequest, encapsulation) == 36, "encapsulation");
static_assert(offsetof(SavePacketRequest, skip_flag) == 40, "skip_flag");

static_assert(sizeof(TreeNode) == 768, "TreeNode size");
static_assert(offsetof(TreeNode, parent_index) == 0, "parent_index");
static_assert(offsetof(TreeNode, index) == 4, "index");
static_assert(offsetof(TreeNode, start) == 8, "start");
static_assert(offsetof(TreeNode, length) == 12, "length");
static_assert(offsetof(TreeNode, field_type) == 16, "field_type");
static_assert(offsetof(TreeNode, field_abbrev) == 20, "field_abbrev");
static_assert(sizeof(TreeNode::field_abbrev) == 256, "field_abbrev size");
static_assert(offsetof(TreeNode, field_name) == 276, "field_name");
static_assert(sizeof(TreeNode::field_name) == 240, "field_name size");
static_assert(offsetof(TreeNode, label) == 516, "label");
static_assert(sizeof(TreeNode::label) == 240, "label size");
static_assert(offsetof(TreeNode, node) == 760, "node");

static_assert(sizeof(WsbBatchValue) == 16, "WsbBatchValue size");
static_assert(offsetof(WsbBatchValue, kind) == 0, "kind");
static_assert(offsetof(WsbBatchValue, text_size) == 4, "text_size");
static_assert(offsetof(WsbBatchValue, value) == 8, "value");

static_assert(sizeof(WsbPacketBatch) == 96, "WsbPacketBatch size");
static_assert(offsetof(WsbPacketBatch, capacity) == 0, "capacity");
static_assert(offsetof(WsbPacketBatch, field_count) == 4, "field_count");
static_assert(offsetof(WsbPacketBatch, field_ids) == 8, "field_ids");
static_assert(offsetof(WsbPacketBatch, occurrences) == 16, "occurrences");
static_assert(offsetof(WsbPacketBatch, whole_texts) == 20, "whole_texts");
static_assert(offsetof(WsbPacketBatch, summaries) == 24, "summaries");
static_assert(offsetof(WsbPacketBatch, values) == 32, "values");
static_assert(offsetof(WsbPacketBatch, value_capacity) == 40, "value_capacity");
static_assert(offsetof(WsbPacketBatch, value_starts) == 48, "value_starts");
static_assert(offsetof(WsbPacketBatch, texts) == 56, "texts");
static_assert(offsetof(WsbPacketBatch, text_capacity) == 64, "text_capacity");
static_assert(offsetof(WsbPacketBatch, text_offsets) == 72, "text_offsets");
static_assert(offsetof(WsbPacketBatch, packets) == 80, "packets");
static_assert(offsetof(WsbPacketBatch, values_used) == 84, "values_used");
static_assert(offsetof(WsbPacketBatch, texts_used) == 88, "texts_used");

static_assert(sizeof(WsbConversation) == 216, "WsbConversation size");
static_assert(offsetof(WsbConversation, address_a) == 0, "address_a");
static_assert(offsetof(WsbConversation, address_b) == 64, "address_b");
static_assert(offsetof(WsbConversation, address_type) == 128, "address_type");
static_assert(offsetof(WsbConversation, port_a) == 132, "port_a");
static_assert(offsetof(WsbConversation, port_b) == 136, "port_b");
static_assert(offsetof(WsbConversation, first_frame) == 140, "first_frame");
static_assert(offsetof(WsbConversation, frames_a_to_b) == 144, "frames_a_to_b");
static_assert(offsetof(WsbConversation, bytes_a_to_b) == 152, "bytes_a_to_b");
static_assert(offsetof(WsbConversation, frames_b_to_a) == 160, "frames_b_to_a");
static_assert(offsetof(WsbConversation, bytes_b_to_a) == 168, "bytes_b_to_a");
static_assert(offsetof(WsbConversation, start_seconds) == 176, "start_seconds");
static_assert(offsetof(WsbConversation, stop_seconds) == 184, "stop_seconds");
static_assert(offsetof(WsbConversation, absolute_seconds) == 192, "absolute_seconds");
static_assert(offsetof(WsbConversation, start_nanoseconds) == 200, "start_nanoseconds");
static_assert(offsetof(WsbConversation, stop_nanoseconds) == 204, "stop_nanoseconds");
static_assert(offsetof(WsbConversation, absolute_nanoseconds) == 208, "absolute_nanoseconds");
static_assert(offsetof(WsbConversation, conversation_id) == 212, "conversation_id");

static_assert(sizeof(WsbEndpoint) == 112, "WsbEndpoint size");
static_assert(offsetof(WsbEndpoint, address) == 0, "address");
static_assert(offsetof(WsbEndpoint, address_type) == 64, "address_type");
static_assert(offsetof(WsbEndpoint, port) == 68, "port");
static_assert(offsetof(WsbEndpoint, tx_frames) == 72, "tx_frames");
static_assert(offsetof(WsbEndpoint, tx_bytes) == 80, "tx_bytes");
static_assert(offsetof(WsbEndpoint, rx_frames) == 88, "rx_frames");
static_assert(offsetof(WsbEndpoint, rx_bytes) == 96, "rx_bytes");
static_assert(offsetof(WsbEndpoint, first_frame) == 104, "first_frame");
static_assert(offsetof(WsbEndpoint, reserved) == 108, "reserved");

static_assert(sizeof(WsbHierarchyRow) == 96, "WsbHierarchyRow size");
static_assert(offsetof(WsbHierarchyRow, protocol) == 0, "protocol");
static_assert(offsetof(WsbHierarchyRow, depth) == 64, "depth");
static_assert(offsetof(WsbHierarchyRow, parent) == 68, "parent");
static_assert(offsetof(WsbHierarchyRow, frames) == 72, "frames");
static_assert(offsetof(WsbHierarchyRow, bytes) == 80, "bytes");
static_assert(offsetof(WsbHierarchyRow, first_frame) == 88, "first_frame");
static_assert(offsetof(WsbHierarchyRow, reserved) == 92, "reserved");

static_assert(sizeof(WsbIntervalRow) == 112, "WsbIntervalRow size");
static_assert(offsetof(WsbIntervalRow, series) == 0, "series");
static_assert(offsetof(WsbIntervalRow, first_frame_values) == 4, "first_frame_values");
static_assert(offsetof(WsbIntervalRow, interval) == 8, "interval");
static_assert(offsetof(WsbIntervalRow, frames) == 16, "frames");
static_assert(offsetof(WsbIntervalRow, bytes) == 24, "bytes");
static_assert(offsetof(WsbIntervalRow, values) == 32, "values");
static_assert(offsetof(WsbIntervalRow, sum) == 40, "sum");
static_assert(offsetof(WsbIntervalRow, minimum) == 48, "minimum");
static_assert(offsetof(WsbIntervalRow, maximum) == 56, "maximum");
static_assert(offsetof(WsbIntervalRow, float_sum) == 64, "float_sum");
static_assert(offsetof(WsbIntervalRow, float_minimum) == 72, "float_minimum");
static_assert(offsetof(WsbIntervalRow, float_maximum) == 80, "float_maximum");
static_assert(offsetof(WsbIntervalRow, first_minimum) == 88, "first_minimum");
static_assert(offsetof(WsbIntervalRow, first_float_minimum) == 96, "first_float_minimum");
static_assert(offsetof(WsbIntervalRow, first_frame) == 104, "first_frame");
static_assert(offsetof(WsbIntervalRow, reserved) == 108, "reserved");

static_assert(sizeof(WsbLiveOptions) == 48, "WsbLiveOptions size");
static_assert(offsetof(WsbLiveOptions, interface_name) == 0, "interface_name");
static_assert(offsetof(WsbLiveOptions, capture_filter) == 8, "capture_filter");
static_assert(offsetof(WsbLiveOptions, spool_folder) == 16, "spool_folder");
static_assert(offsetof(WsbLiveOptions, snap_length) == 24, "snap_length");
static_assert(offsetof(WsbLiveOptions, stop_after_packets) == 28, "stop_after_packets");
static_assert(offsetof(WsbLiveOptions, stop_after_seconds) == 32, "stop_after_seconds");
static_assert(offsetof(WsbLiveOptions, session_packets) == 36, "session_packets");
static_assert(offsetof(WsbLiveOptions, ring_file_kilobytes) == 40, "ring_file_kilobytes");
static_assert(offsetof(WsbLiveOptions, ring_files) == 44, "ring_files");

static_assert(sizeof(WsbInterface) == 400, "WsbInterface size");
static_assert(offsetof(WsbInterface, number) == 0, "number");
static_assert(offsetof(WsbInterface, loopback) == 4, "loopback");
static_assert(offsetof(WsbInterface, name) == 8, "name");
static_assert(offsetof(WsbInterface, description) == 136, "description");
static_assert(offsetof(WsbInterface, addresses) == 264, "addresses");

// ---- gGetRecordLayout ---------------------------------------------------------
// The same layouts as the library reports them, so that a host in another
// language can check its mirror of a record before it hands one over.

namespace {

struct member_layout {
    const char *name;
    int32_t offset;
    int32_t size;
};

struct record_layout {
    const char *name;
    int32_t size;
    const member_layout *members;
    size_t member_count;
};

#define WSB_MEMBER(record, member) \
    {#member, static_cast<int32_t>(offsetof(record, member)), static_cast<int32_t>(sizeof(record::member))}

const member_layout packet_summary_members[] = {
    WSB_MEMBER(PacketSummary, frame_number),
    WSB_MEMBER(PacketSummary, packet_length),
    WSB_MEMBER(PacketSummary, captured_length),
    WSB_MEMBER(PacketSummary, port_type),
    WSB_MEMBER(PacketSummary, source_port),
    WSB_MEMBER(PacketSummary, destination_port),
    WSB_MEMBER(PacketSummary, file_offset),
    WSB_MEMBER(PacketSummary, relative_time),
    WSB_MEMBER(PacketSummary, time_seconds),
    WSB_MEMBER(PacketSummary, time_nanoseconds),
    WSB_MEMBER(PacketSummary, encapsulation),
    WSB_MEMBER(PacketSummary, source_address_type),
    WSB_MEMBER(PacketSummary, destination_address_type),
    WSB_MEMBER(PacketSummary, protocol_text),
    WSB_MEMBER(PacketSummary, info_text),
    WSB_MEMBER(PacketSummary, link_source_text),
    WSB_MEMBER(PacketSummary, link_destination_text),
    WSB_MEMBER(PacketSummary, source_text),
    WSB_MEMBER(PacketSummary, destination_text),
};

const member_layout tree_node_members[] = {
    WSB_MEMBER(TreeNode, parent_index),
    WSB_MEMBER(TreeNode, index),
    WSB_MEMBER(TreeNode, start),
    WSB_MEMBER(TreeNode, length),
    WSB_MEMBER(TreeNode, field_type),
    WSB_MEMBER(TreeNode, field_abbrev),
    WSB_MEMBER(TreeNode, field_name),
    WSB_MEMBER(TreeNode, label),
    WSB_MEMBER(TreeNode, node),
};

const member_layout save_packet_request_members[] = {
    WSB_MEMBER(SavePacketRequest, frame_number),
    WSB_MEMBER(SavePacketRequest, packet_length),
    WSB_MEMBER(SavePacketRequest, captured_length),
    WSB_MEMBER(SavePacketRequest, file_offset),
    WSB_MEMBER(SavePacketRequest, time_seconds),
    WSB_MEMBER(SavePacketRequest, time_nanoseconds),
    WSB_MEMBER(SavePacketRequest, encapsulation),
    WSB_MEMBER(SavePacketRequest, skip_flag),
};

const member_layout batch_value_members[] = {
    WSB_MEMBER(WsbBatchValue, kind),
    WSB_MEMBER(WsbBatchValue, text_size),
    WSB_MEMBER(WsbBatchValue, value),
};

const member_layout packet_batch_members[] = {
    WSB_MEMBER(WsbPacketBatch, capacity),
    WSB_MEMBER(WsbPacketBatch, field_count),
    WSB_MEMBER(WsbPacketBatch, field_ids),
    WSB_MEMBER(WsbPacketBatch, occurrences),
    WSB_MEMBER(WsbPacketBatch, whole_texts),
    WSB_MEMBER(WsbPacketBatch, summaries),
    WSB_MEMBER(WsbPacketBatch, values),
    WSB_MEMBER(WsbPacketBatch, value_capacity),
    WSB_MEMBER(WsbPacketBatch, value_starts),
    WSB_MEMBER(WsbPacketBatch, texts),
    WSB_MEMBER(WsbPacketBatch, text_capacity),
    WSB_MEMBER(WsbPacketBatch, text_offsets),
    WSB_MEMBER(WsbPacketBatch, packets),
    WSB_MEMBER(WsbPacketBatch, values_used),
    WSB_MEMBER(WsbPacketBatch, texts_used),
};

const member_layout conversation_members[] = {
    WSB_MEMBER(WsbConversation, address_a),
    WSB_MEMBER(WsbConversation, address_b),
    WSB_MEMBER(WsbConversation, address_type),
    WSB_MEMBER(WsbConversation, port_a),
    WSB_MEMBER(WsbConversation, port_b),
    WSB_MEMBER(WsbConversation, first_frame),
    WSB_MEMBER(WsbConversation, frames_a_to_b),
    WSB_MEMBER(WsbConversation, bytes_a_to_b),
    WSB_MEMBER(WsbConversation, frames_b_to_a),
    WSB_MEMBER(WsbConversation, bytes_b_to_a),
    WSB_MEMBER(WsbConversation, start_seconds),
    WSB_MEMBER(WsbConversation, stop_seconds),
    WSB_MEMBER(WsbConversation, absolute_seconds),
    WSB_MEMBER(WsbConversation, start_nanoseconds),
    WSB_MEMBER(WsbConversation, stop_nanoseconds),
    WSB_MEMBER(WsbConversation, absolute_nanoseconds),
    WSB_MEMBER(WsbConversation, conversation_id),
};

const member_layout endpoint_members[] = {
    WSB_MEMBER(WsbEndpoint, address),
    WSB_MEMBER(WsbEndpoint, address_type),
    WSB_MEMBER(WsbEndpoint, port),
    WSB_MEMBER(WsbEndpoint, tx_frames),
    WSB_MEMBER(WsbEndpoint, tx_bytes),
    WSB_MEMBER(WsbEndpoint, rx_frames),
    WSB_MEMBER(WsbEndpoint, rx_bytes),
    WSB_MEMBER(WsbEndpoint, first_frame),
    WSB_MEMBER(WsbEndpoint, reserved),
};

const member_layout hierarchy_row_members[] = {
    WSB_MEMBER(WsbHierarchyRow, protocol),
    WSB_MEMBER(WsbHierarchyRow, depth),
    WSB_MEMBER(WsbHierarchyRow, parent),
    WSB_MEMBER(WsbHierarchyRow, frames),
    WSB_MEMBER(WsbHierarchyRow, bytes),
    WSB_MEMBER(WsbHierarchyRow, first_frame),
    WSB_MEMBER(WsbHierarchyRow, reserved),
};

const member_layout interval_row_members[] = {
    WSB_MEMBER(WsbIntervalRow, series),
    WSB_MEMBER(WsbIntervalRow, first_frame_values),
    WSB_MEMBER(WsbIntervalRow, interval),
    WSB_MEMBER(WsbIntervalRow, frames),
    WSB_MEMBER(WsbIntervalRow, bytes),
    WSB_MEMBER(WsbIntervalRow, values),
    WSB_MEMBER(WsbIntervalRow, sum),
    WSB_MEMBER(WsbIntervalRow, minimum),
    WSB_MEMBER(WsbIntervalRow, maximum),
    WSB_MEMBER(WsbIntervalRow, float_sum),
    WSB_MEMBER(WsbIntervalRow, float_minimum),
    WSB_MEMBER(WsbIntervalRow, float_maximum),
    WSB_MEMBER(WsbIntervalRow, first_minimum),
    WSB_MEMBER(WsbIntervalRow, first_float_minimum),
    WSB_MEMBER(WsbIntervalRow, first_frame),
    WSB_MEMBER(WsbIntervalRow, reserved),
};

const member_layout live_options_members[] = {
    WSB_MEMBER(WsbLiveOptions, interface_name),
    WSB_MEMBER(WsbLiveOptions, capture_filter),
    WSB_MEMBER(WsbLiveOptions, spool_folder),
    WSB_MEMBER(WsbLiveOptions, snap_length),
    WSB_MEMBER(WsbLiveOptions, stop_after_packets),
    WSB_MEMBER(WsbLiveOptions, stop_after_seconds),
    WSB_MEMBER(WsbLiveOptions, session_packets),
    WSB_MEMBER(WsbLiveOptions, ring_file_kilobytes),
    WSB_MEMBER(WsbLiveOptions, ring_files),
};

const member_layout interface_members[] = {
    WSB_MEMBER(WsbInterface, number),
    WSB_MEMBER(WsbInterface, loopback),
    WSB_MEMBER(WsbInterface, name),
    WSB_MEMBER(WsbInterface, description),
    WSB_MEMBER(WsbInterface, addresses),
};

#undef WSB_MEMBER

template <size_t count>
constexpr record_layout record(const char *name, size_t size, const member_layout (&members)[count])
{
    return {name, static_cast<int32_t>(size), members, count};
}

const record_layout record_layouts[] = {
    record("PacketSummary", sizeof(PacketSummary), packet_summary_members),
    record("TreeNode", sizeof(TreeNode), tree_node_members),
    record("SavePacketRequest", sizeof(SavePacketRequest), save_packet_request_members),
    record("WsbBatchValue", sizeof(WsbBatchValue), batch_value_members),
    record("WsbPacketBatch", sizeof(WsbPacketBatch), packet_batch_members),
    record("WsbConversation", sizeof(WsbConversation), conversation_members),
    record("WsbEndpoint", sizeof(WsbEndpoint), endpoint_members),
    record("WsbHierarchyRow", sizeof(WsbHierarchyRow), hierarchy_row_members),
    record("WsbIntervalRow", sizeof(WsbIntervalRow), interval_row_members),
    record("WsbLiveOptions", sizeof(WsbLiveOptions), live_options_members),
    record("WsbInterface", sizeof(WsbInterface), interface_members),
};

}  // namespace

int32_t gGetRecordLayout(const char *record_name, const char *member, int32_t *offset, int32_t *size)
{
    argument_copy record_copy, member_copy;
    record_name = unaliased_argument(record_name, record_copy);
    member = unaliased_argument(member, member_copy);
    if (!record_name || !offset || !size) {
        set_error_text(WSB_E_BAD_ARGUMENT, "\"Get Record Layout\" operation failed. No record name, or no place for the offset "
                       "and the size, was given.");
        return WSB_FAILED;
    }
    for (const record_layout &layout : record_layouts) {
        if (std::strcmp(layout.name, record_name) != 0)
            continue;
        if (!member || !*member) {
            *offset = 0;
            *size = layout.size;
            return WSB_OK;
        }
        for (size_t i = 0; i < layout.member_count; ++i) {
            if (std::strcmp(layout.members[i].name, member) == 0) {
                *offset = layout.members[i].offset;
                *size = layout.members[i].size;
                return WSB_OK;
            }
        }
        set_error_format(WSB_E_BAD_ARGUMENT, "\"Get Record Layout\" operation failed. The record \"%s\" has no member \"%s\".",
                         record_name, member);
        return WSB_FAILED;
    }
    set_error_format(WSB_E_BAD_ARGUMENT, "\"Get Record Layout\" operation failed. \"%s\" is not a record of this interface.",
                     record_name);
    return WSB_FAILED;
}
