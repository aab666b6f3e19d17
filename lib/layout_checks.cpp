// The records crossing the interface have a fixed layout that hosts in other
// languages mirror; any change here breaks them.
#include <cstddef>

#include "wsbridge.h"

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
