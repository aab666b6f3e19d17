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
