// SPDX-License-Identifier: GPL-2.0-or-later
// Following a UDP conversation: a "udp_follow" listener, filtered to the
// conversation of one packet, copies the payload of every matching datagram
// into memory; the stream-line call hands them out one datagram per call.
#include <cstring>

#include <string>

#include "wsbridge.h"
#include "engine/state.h"
#include "capture/capture.h"
#include "dissection/dissection.h"
#include "compat/engine_series.h"
#include "engine/guarded_call.h"
#include "follow/follow_state.h"

// One collected datagram.
struct udp_stream_piece {
    int32_t is_server;    // 0 client, 1 server
    GByteArray *payload;  // copy of the UDP payload, owned by the piece
};

// The UDP follow in progress. The client is the sender of the first
// collected datagram; the server endpoint is that datagram's destination.
struct udp_follow {
    GQueue pieces;  // udp_stream_piece, in the order collected
    uint32_t client_bytes;
    uint32_t server_bytes;
    bool client_known;
    uint32_t client_port;
    int client_address_type;
    int32_t client_address_length;
    uint8_t *client_address;  // g_malloc'd copy
    follow_endpoint server_endpoint;
    bool listener_registered;
};

namespace {

const char not_initialized_message[] = "Follow UDP structure is not initialized.";

void free_piece(gpointer data)
{
    auto *piece = static_cast<udp_stream_piece *>(data);
    g_byte_array_free(piece->payload, TRUE);
    g_free(piece);
}

void free_state(udp_follow *state)
{
    g_queue_clear_full(&state->pieces, free_piece);
    g_free(state->client_address);
    g_free(state);
}

void remove_listener(udp_follow *state)
{
    if (state->listener_registered) {
        series_stop_udp_follow(state);
        state->listener_registered = false;
    }
}

// Collects one datagram's payload.
void collect_datagram(void *data, const packet_info *pinfo, const uint8_t *bytes, uint32_t length)
{
    auto *state = static_cast<udp_follow *>(data);
    auto *piece = g_new(udp_stream_piece, 1);
    piece->payload = g_byte_array_sized_new(length);
    g_byte_array_set_size(piece->payload, length);
    if (length)
        memcpy(piece->payload->data, bytes, length);

    const address &source = pinfo->src;
    if (!state->client_known) {
        state->client_known = true;
        state->client_port = pinfo->srcport;
        state->client_address_type = source.type;
        state->client_address_length = source.len;
        state->client_address = source.len > 0 ? static_cast<uint8_t *>(g_memdup2(source.data, source.len)) : nullptr;
        copy_follow_endpoint(state->server_endpoint, pinfo->dst, pinfo->destport);
    }
    bool from_client = source.type == state->client_address_type && pinfo->srcport == state->client_port;
    if (from_client && source.type != AT_NONE)
        from_client = source.len == state->client_address_length &&
                      (source.len == 0 || memcmp(source.data, state->client_address, source.len) == 0);
    piece->is_server = from_client ? 0 : 1;
    (from_client ? state->client_bytes : state->server_bytes) += length;
    g_queue_push_tail(&state->pieces, piece);
}

}  // namespace

void release_udp_follow()
{
    g_free(follow_state.udp_filter);
    follow_state.udp_filter = nullptr;
    if (follow_state.udp) {
        remove_listener(follow_state.udp);
        free_state(follow_state.udp);
        follow_state.udp = nullptr;
    }
    follow_state.udp_read_cursor = nullptr;
}

int32_t gFollowUDPStreamForPacket(uint32_t frame_number, int64_t file_offset, int32_t captured_length,
                                  uint32_t packet_length, int32_t encapsulation)
{
    unsigned stream = 0;
    gchar *filter = begin_follow("Follow UDP Stream", false, &stream, frame_number, file_offset, captured_length,
                                 packet_length, encapsulation);
    if (!filter)
        return WSB_FAILED;
    auto *state = g_new0(udp_follow, 1);
    g_queue_init(&state->pieces);
    std::string error;
    if (!series_start_udp_follow(filter, state, collect_datagram, error)) {
        set_error_format(WSB_E_ENGINE, "Can't register udp_follow tap: %s\n", error.c_str());
        free_state(state);
        g_free(filter);
        return WSB_FAILED;
    }
    state->listener_registered = true;
    follow_state.udp = state;
    follow_state.udp_filter = filter;
    return WSB_OK;
}

int32_t gAddPacketToUDPStream(uint32_t frame_number, int64_t file_offset, int32_t captured_length,
                              uint32_t packet_length, int32_t encapsulation)
{
    if (!reread_packet("Add Packet To UDP Stream", frame_number, file_offset, captured_length, packet_length,
                       encapsulation, true))
        return WSB_FAILED;
    return WSB_OK;
}

int32_t gIsValidUDPStrem(uint8_t *valid, const char **server_text, int32_t *server_size, const char **client_text,
                         int32_t *client_size, const char **conversation_text, int32_t *conversation_size)
{
    if (null_argument("Is Valid UDP Stream", !valid || !server_text || !server_size || !client_text ||
                                                 !client_size || !conversation_text || !conversation_size))
        return WSB_FAILED;
    *valid = 1;
    g_free(follow_state.udp_filter);
    follow_state.udp_filter = nullptr;
    udp_follow *state = follow_state.udp;
    if (!state) {
        set_error_text(WSB_E_STATE, not_initialized_message);
        *valid = 0;
        return WSB_FAILED;
    }
    remove_listener(state);
    // Lines read before the check do not shorten the first pass after it.
    follow_state.udp_read_cursor = nullptr;
    if (g_queue_is_empty(&state->pieces)) {
        set_error_text(WSB_E_STATE, "Empty UDP stream.");
        *valid = 0;
        follow_release();
        return WSB_OK;
    }
    follow_statistics stats{};
    copy_follow_endpoint(stats.endpoint[0], address{state->client_address_type, state->client_address_length,
                                                    state->client_address, nullptr},
                         state->client_port);
    stats.endpoint[1] = state->server_endpoint;
    stats.bytes_written[0] = state->client_bytes;
    stats.bytes_written[1] = state->server_bytes;
    stats.ipv6 = state->client_address_type == AT_IPv6;
    hand_out_descriptions(stats, false, server_text, server_size, client_text, client_size, conversation_text,
                          conversation_size);
    return WSB_OK;
}

int32_t gGetNextUDPStreamLine(int32_t render_format, int32_t direction_filter, const char **text, uint32_t *size,
                              uint8_t *is_server, uint8_t *end)
{
    if (null_argument("Get Next UDP Stream Line", !text || !size || !is_server || !end))
        return WSB_FAILED;
    udp_follow *state = follow_state.udp;
    if (!state) {
        set_error_text(WSB_E_STATE, not_initialized_message);
        return WSB_FAILED;
    }
    clear_stream_text();
    GList *element;
    if (follow_state.udp_read_cursor) {
        element = follow_state.udp_read_cursor->next;
    } else {
        element = state->pieces.head;
        follow_state.client_offset = 0;
        follow_state.server_offset = 0;
    }
    for (; element; element = element->next) {
        auto *piece = static_cast<udp_stream_piece *>(element->data);
        if ((!piece->is_server && direction_filter == WSB_DIRECTION_SERVER) ||
            (piece->is_server && direction_filter == WSB_DIRECTION_CLIENT))
            continue;
        follow_state.udp_read_cursor = element;
        // Rendering may rewrite the bytes; the stored payload stays as collected.
        const guint length = piece->payload->len;
        auto *copy = static_cast<uint8_t *>(g_memdup2(piece->payload->data, length));
        const bool rendered = render_stream_piece(render_format, direction_filter, piece->is_server, copy, length);
        g_free(copy);
        if (!rendered) {
            clear_stream_text();
            set_error_text(WSB_E_OUT_OF_MEMORY, "\"Get Next UDP Stream Line\" operation failed. Out of memory for the stream text.");
            return WSB_FAILED;
        }
        *text = follow_state.stream_text.text;
        *size = follow_state.stream_text.size;
        *is_server = static_cast<uint8_t>(piece->is_server);
        return WSB_OK;
    }
    follow_state.udp_read_cursor = nullptr;
    *end = 1;
    return WSB_OK;
}

bool next_udp_datagram(int32_t direction_filter, const uint8_t **bytes, uint32_t *length, uint8_t *is_server)
{
    udp_follow *state = follow_state.udp;
    GList *element = nullptr;
    if (state)
        element = follow_state.udp_read_cursor ? follow_state.udp_read_cursor->next : state->pieces.head;
    for (; element; element = element->next) {
        const auto *piece = static_cast<const udp_stream_piece *>(element->data);
        if ((!piece->is_server && direction_filter == WSB_DIRECTION_SERVER) ||
            (piece->is_server && direction_filter == WSB_DIRECTION_CLIENT))
            continue;
        follow_state.udp_read_cursor = element;
        *bytes = piece->payload->data;
        *length = piece->payload->len;
        *is_server = static_cast<uint8_t>(piece->is_server);
        return true;
    }
    follow_state.udp_read_cursor = nullptr;
    return false;
}
