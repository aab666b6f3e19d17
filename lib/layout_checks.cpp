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
