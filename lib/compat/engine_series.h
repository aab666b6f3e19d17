/* SPDX-License-Identifier: GPL-2.0-or-later */
// The boundary to the engine series: everything the library needs from the
// engine that differs between its release series, behind version-neutral
// calls. One folder implements it per series (lib/compat40/ for 4.0); the
// CMake option WSB_ENGINE_SERIES picks the folder that is built. Supporting
// another series means adding a folder that implements this header.
//
// The rule: code outside the series folder calls the engine directly only
// where every supported series declares the same call with the same meaning
// (proto_registrar_get_byname, proto_get_finfo_ptr_array, epan_dissect_new,
// epan_dissect_reset, the wtap_* reads and dumps, address_to_str_buf, ...),
// and reads only the plain fields of the
// engine's records (a packet_info's addresses and ports, a field_info's start,
// length, flags and registration, a frame_data's number, time stamp, offset
// and lengths). Everything else goes through here: signatures that differ
// (filter compilation, the dissection run, frame steps, error reports, tap
// listeners), records whose layout differs (a field's value, a protocol's tap
// record, the follower's records, per-frame data), behaviour of one series
// that the library works around (label composition, reading the syntax tree
// for a filter's fields, the TCP follower's endpoints, the missing IPv4
// header length), and the translation of the engine's codes into the
// numbering that crosses the library's interface. The comments that explain
// a series' behaviour live with its code in the series folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <glib.h>
#include <epan/address.h>
#include <epan/column-info.h>
#include <epan/dfilter/dfilter.h>
#include <epan/epan.h>
#include <epan/epan_dissect.h>
#include <epan/frame_data.h>
#include <epan/packet_info.h>
#include <epan/proto.h>
#include <wiretap/wtap.h>

// ---- Start-up ---------------------------------------------------------------

// Receives every report the engine makes, at start-up and long after:
// failure is true for errors (a failed write, a dissector bug, ...), false
// for warnings, among them a file the engine could not open or read and goes
// on without. The text is finished (never a format).
using series_report_sink = void (*)(bool failure, const char *text);

// The start-up steps the series needs, with epan_init among them, its
// reports going to sink. False when the engine could not be started or was
// already attempted in this process.
bool series_start_engine(series_report_sink sink);

// ---- Session and frames -----------------------------------------------------

// The packet provider answers the engine's questions about other frames of
// the capture (their time stamps) through a lookup the capture code supplies,
// and about the capture's interfaces (their names and descriptions, as the
// file's interface records give them) from the open capture.
struct packet_provider_data {
    const nstime_t *(*frame_ts)(uint32_t frame_number);
    wtap *wiretap;            // the open capture
    const void *interfaces;   // its interface records, found by series_new_session
};

// A new dissection session over the provider (one per open capture; the
// provider names the capture).
epan_t *series_new_session(packet_provider_data *provider);

// Prepares frame for its dissection: number, record, file offset and the
// running byte count; reference and previous are the time stamps of the
// first frame and of the frame shown before (null when absent), the latter
// numbered previous_number (the frame before, unless a display filter left
// frames out).
void series_begin_frame(frame_data *frame, uint32_t number, const wtap_rec *record, int64_t offset,
                        uint32_t cumulative_bytes, const nstime_t *reference, const nstime_t *previous,
                        uint32_t previous_number);

// After a frame read in sequence was dissected: its bytes join the count.
void series_end_frame(frame_data *frame, uint32_t *cumulative_bytes);

// Ends the use of a frame record (its per-frame data taken or not).
void series_destroy_frame(frame_data *frame);

// What the engine attached to a frame (its per-frame data), taken from the
// frame so that it outlives the frame record; given back to a frame record
// of the same packet dissected again, which then counts as visited; freed.
void *series_take_frame_data(frame_data *frame);
void series_give_frame_data(frame_data *frame, void *data);
void series_free_frame_data(void *data);

// The 802.11 dissector numbers the (re)association requests it sees with a
// counter that lives as long as the process: no capture resets it. Every
// 802.11 frame keeps in its per-frame data the count at its start and, for
// an association, the count after it; the frame's conversation ports (which
// the engine hands out as the packet's ports) are the latter. False when the
// frame holds no count.
bool series_association_counts(const frame_data *frame, uint32_t *at_start, uint32_t *latest);

// Dissects bytes (frame's captured length of them) as the packet of record
// with the taps, filling columns when given.
void series_dissect(epan_dissect_t *edt, int file_type, wtap_rec *record, const uint8_t *bytes, frame_data *frame,
                    column_info *columns);

// ---- Display filters --------------------------------------------------------

// Compiles text (the engine gets a copy of its own: its macro expansion
// writes into the text it is given). False with the engine's message
// (g_malloc'd, may be null) in error; the filter is null on success when the
// text names nothing. keep_field_names: the filter keeps what
// series_filter_field_names reads (a text whose size grows with the square
// of the filter's nesting depth, so only for filters of bounded depth).
bool series_compile_filter(const char *text, dfilter_t **filter, char **error, bool keep_field_names);

// The field names a filter compiled with keep_field_names refers to, in the
// order it names them.
std::vector<std::string> series_filter_field_names(const dfilter_t *filter);

// ---- Field values and labels ------------------------------------------------

// The engine's type (FT_*) of a field record's value.
int series_value_engine_type(const field_info *record);

// A value as unsigned 64 bits: the unsigned types, booleans and the signed
// types of more than 32 bits (their 64 bits). Called inside the engine's
// exception frame, as are the other readers.
uint64_t series_value_uint64(const field_info *record);
// A value of a signed type of at most 32 bits.
int32_t series_value_int32(const field_info *record);
// The text of an IPv4 (ipv6 false) or IPv6 address value into buffer; left
// empty when the value has no bytes.
void series_value_address_text(const field_info *record, bool ipv6, char *buffer, size_t size);
// The value as the engine shows it (filter_form: as a display filter writes
// it), wmem-allocated in no scope, or null.
char *series_value_text(const field_info *record, bool filter_form);

// Any field's value as `tshark -T fields` prints it (the field's display:
// integer bases, times, addresses, byte strings; a protocol item's label
// when the dissection has labels, else its filter name), g_malloc'd, or null
// when the engine has no text for it. Called inside the engine's frame.
char *series_field_text(const field_info *record, epan_dissect_t *edt);

// How a value crosses a batch (gGetNextPacketBatch): as a number of one of
// these kinds, or (text) as series_field_text writes it.
enum class series_number_kind { text, signed_integer, unsigned_integer, floating, boolean, absolute_time, relative_time };

// The kind of a field record's value, and the value: integers of any width
// (frame numbers included) in signed_value or unsigned_value, booleans 0/1
// in unsigned_value, floating values in floating, absolute times as
// nanoseconds since the epoch and relative times as nanoseconds in
// signed_value (saturated). Nothing is written for text. Called inside the
// engine's frame.
series_number_kind series_value_number(const field_info *record, int64_t *signed_value, uint64_t *unsigned_value,
                                       double *floating);

// The size of a tree item's label as the engine composes it.
constexpr size_t series_label_length = 240;
// The label of a tree item: the engine's own text, or one composed into
// buffer (series_label_length bytes). Called inside the engine's frame.
const char *series_item_label(const field_info *record, char *buffer);

// ---- Preferences ------------------------------------------------------------

// Sets one preference from "module.name:value" (the syntax of tshark's -o)
// and applies it. False with the reason in error.
bool series_set_preference(const char *assignment, std::string &error);

// ---- Tap listeners ----------------------------------------------------------

// A tap listener as the library writes it: it never asks for a redraw.
using series_tap_listener = void (*)(void *state, packet_info *pinfo, epan_dissect_t *edt, const void *data);

// Registers listener for tap with state as its identity, filtered by filter
// (null: none); needs_tree registers it as requiring a protocol tree, which
// sequential reading then builds for every packet.
// False with the engine's message in error.
bool series_register_tap_listener(const char *tap, void *state, const char *filter, bool needs_tree,
                                  series_tap_listener listener, std::string &error);
// Removes every listener registered with state.
void series_remove_tap_listener(void *state);

// What the library reads of the "tcp" tap's record of a segment.
struct series_tcp_segment {
    int32_t header_length;
    uint32_t raw_sequence;
    uint32_t segment_length;  // 0 when the engine gives none
    bool syn;
    bool fin;
};
series_tcp_segment series_tcp_tap_segment(const void *tap_data);

// The header length of the index-th IPv4 header of the dissection (the n-th
// "ip" tap report of a packet), from the records of the IPv4 header's version
// field (engine id version_id): -1 when the dissection holds no record of
// that header, 0 when the header's first byte is not there.
int32_t series_ip_tap_header_length(epan_dissect_t *edt, int version_id, int index);

// ---- Statistics tables -------------------------------------------------------

// Decides, for every report a statistics listener receives, whether the
// packet counts (the library counts each packet of sequential reading once).
using series_packet_gate = bool (*)(const packet_info *pinfo);

// The engine's conversation table of the protocol with that filter name
// ("tcp"): its protocol's short name ("TCP", which tshark's table titles
// show) and whether the table shows ports; null when the engine keeps no
// such table for it.
const char *series_conversation_table_title(const char *protocol, bool *has_ports);

// A conversation or endpoint table the engine fills from its protocol's tap,
// filtered by filter (null: none), counting the packets gate lets through.
struct series_conversation_table;
series_conversation_table *series_start_conversation_table(const char *protocol, bool endpoints, const char *filter,
                                                           series_packet_gate gate, std::string &error);
// Removes the listener and frees the table.
void series_stop_conversation_table(series_conversation_table *table);
// Forgets what the table counted (a new capture).
void series_clear_conversation_table(series_conversation_table *table);

// One conversation as the engine's table holds it: A is the source of the
// packet that began it; tx counts A to B.
struct series_conversation_item {
    const address *address_a;
    const address *address_b;
    uint32_t port_a;
    uint32_t port_b;
    int32_t conversation_id;  // -1: unset
    uint64_t frames_a_to_b, bytes_a_to_b, frames_b_to_a, bytes_b_to_a;
    nstime_t start, stop, start_absolute;
    uint32_t first_frame;
};
struct series_endpoint_item {
    const address *endpoint;
    uint32_t port;
    uint64_t tx_frames, tx_bytes, rx_frames, rx_bytes;
    uint32_t first_frame;
};
// The table's entries in the order the engine added them.
size_t series_conversation_table_size(const series_conversation_table *table);
series_conversation_item series_conversation_at(const series_conversation_table *table, size_t index);
series_endpoint_item series_endpoint_at(const series_conversation_table *table, size_t index);

// What an io,stat function reads of a field's values: the engine's type
// class of a registered field (engine id), and each value of that class.
enum class series_stat_value { integer, unsigned_integer, floating_single, floating_double, relative_time, other };
series_stat_value series_stat_value_kind(int field_id);
// The value of a field record of the class: integers sign- or
// zero-extended, relative times in ns (as 64 bits), floating values.
int64_t series_stat_integer(const field_info *record, series_stat_value kind);
double series_stat_floating(const field_info *record);

// The time from the capture's first record to the latest record read in
// sequence (every record, also those not dissected), as the engine computes
// a capture's elapsed time; forgotten by series_reset_elapsed (a new capture).
nstime_t series_elapsed_time();
void series_reset_elapsed();

// A size as tshark's conversation tables print bytes ("1234 bytes", "12 kB").
std::string series_format_bytes(uint64_t bytes);

// ---- Following conversations ------------------------------------------------

// The display filter of the conversation of the dissected packet for the
// engine's follower of protocol ("TCP", "UDP"), g_malloc'd, or null when
// there is none; stream receives the conversation's index. Called inside the
// engine's frame.
char *series_follow_filter(const char *protocol, epan_dissect_t *edt, unsigned *stream);

// One in-order piece of a followed conversation's payload.
struct series_follow_piece {
    const address *sender;
    const address *receiver;
    uint32_t sender_port;
    uint32_t receiver_port;
    const uint8_t *data;
    uint32_t length;  // may be 0
    // The follower names the sender of the first segment it took the
    // client (tshark's node 0): whether this piece's sender is that client,
    // and whether that first segment was a SYN without ACK (the opening of
    // the conversation was seen).
    bool sender_is_client;
    bool opened_by_client;
};
using series_follow_sink = void (*)(const series_follow_piece &piece);

// TCP: the engine's follower orders the segments of conversation stream
// (filtered by filter) and drops repeats; each in-order piece goes to sink
// right after the packet that completed it. One TCP follow at a time. Stop
// hands over what the follower still holds and ends it; safe when none runs.
bool series_start_tcp_follow(const char *filter, unsigned stream, series_follow_sink sink, std::string &error);
void series_stop_tcp_follow();
// The follower sees only the dissections made while it takes packets (off
// when a follow starts): other dissections of the conversation's packets in
// between (trees, saves, sequential reading) would reach it out of order.
void series_tcp_follow_takes(bool takes);
// What a dissection made while the follower did not take packets handed it
// of the conversation is held back, the last dissection's only. The
// follower takes now what dissection edt of frame `frame` handed it (the
// caller knows that dissection is still current), as if the packet had been
// dissected again while it took packets. False when that dissection handed
// it more records than are held back: the packet must then be dissected
// again.
bool series_tcp_follow_take_held(const epan_dissect_t *edt, uint32_t frame);

// UDP: every datagram of the conversation, as the engine's follower taps it.
using series_datagram_sink = void (*)(void *state, const packet_info *pinfo, const uint8_t *bytes, uint32_t length);
bool series_start_udp_follow(const char *filter, void *state, series_datagram_sink sink, std::string &error);
void series_stop_udp_follow(void *state);

// ---- Codes as they cross the interface --------------------------------------

int32_t series_field_type_code(int engine_type);
int32_t series_address_type_code(int engine_type);
int32_t series_port_type_code(int engine_type);
