// What the 4.0 engine does differently from the classic interface this
// library keeps: the start-up steps it needs, the dissection session with its
// packet provider, and the translation of field, address and port type codes
// into the numbering that crosses the library's interface.
#pragma once

#include <cstdint>

#include <epan/epan.h>
#include <epan/frame_data.h>
#include <epan/ftypes/ftypes.h>
#include <epan/address.h>
#include <epan/proto.h>
#include <wsutil/report_message.h>

// Start-up steps the 4.0 engine needs around epan_init: log level, process
// policies, the report routines, wiretap, epan_init itself and the post-update
// of every preference table that no file loaded. False when epan_init failed
// or was already attempted in this process.
bool compat40_start_engine(const report_message_routines *routines);

// The packet provider answers the engine's questions about other frames of
// the capture (their time stamps) through a lookup the capture code supplies.
struct packet_provider_data {
    const nstime_t *(*frame_ts)(uint32_t frame_number);
};

// A new dissection session over the provider (one per open capture).
epan_t *compat40_new_session(packet_provider_data *provider);

// Codes as they cross the interface.
int32_t compat40_field_type_code(int engine_type);
int32_t compat40_address_type_code(int engine_type);
int32_t compat40_port_type_code(int engine_type);

// The endpoints of the TCP segment behind a "tcp_follow" tap record, from the
// segment's own header (the packet's addresses describe its innermost layer
// by the time taps run). False when the record is not one of the segment of
// conversation `stream` with IPv4 or IPv6 endpoints; nothing is written then.
bool compat40_tcp_follow_segment_endpoints(const void *tap_data, guint stream, address &source,
                                           address &destination, guint32 &source_port, guint32 &destination_port);

// Engine id of the IPv4 header's "ip.version" field (the IPv6 dissector
// registers a field of that name too), or -1. Priming it is cheap: the field
// is added without a formatted label, unlike "ip.hdr_len".
int compat40_ipv4_version_id();

// The IPv4 header length in bytes from the header's first byte, where the
// record of its version field starts; 0 when the byte is not there.
int32_t compat40_ipv4_header_length(const field_info *version);
