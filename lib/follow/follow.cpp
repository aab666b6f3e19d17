// SPDX-License-Identifier: GPL-2.0-or-later
// Following a TCP conversation, the description texts shared with the UDP
// follow, and the release of whatever a followed stream holds.
//
// The engine's TCP follower orders the conversation's segments, drops
// retransmissions and hands over each in-order piece of payload
// (series_start_tcp_follow). Each piece goes at once into a temporary file as
// a chunk (a stream_chunk_header followed by the payload), so memory stays
// bounded however long the conversation. The stream-line call reads the file
// back one chunk per call. The file is unlinked as soon as it is created and
// used through its open stream only, so nothing is left behind even when the
// host process is killed.
#include "follow/follow_state.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <cstddef>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <epan/addr_resolv.h>

#include "wsbridge.h"
#include "engine/state.h"
#include "capture/capture.h"
#include "dissection/dissection.h"
#include "compat/engine_series.h"
#include "engine/guarded_call.h"

static_assert(sizeof(stream_chunk_header) == 24, "stream_chunk_header is 24 bytes");
static_assert(offsetof(stream_chunk_header, sender_address) == 0, "stream_chunk_header.sender_address");
static_assert(offsetof(stream_chunk_header, sender_port) == 16, "stream_chunk_header.sender_port");
static_assert(offsetof(stream_chunk_header, reserved) == 18, "stream_chunk_header.reserved");
static_assert(offsetof(stream_chunk_header, payload_length) == 20, "stream_chunk_header.payload_length");

follow_state_record follow_state;

namespace {

const char not_initialized_message[] = "Follow TCP structure is not initialized.";

// Closing the stream frees the file: its name was removed at creation.
void delete_temp_file()
{
    if (follow_state.stream_file) {
        fclose(follow_state.stream_file);
        follow_state.stream_file = nullptr;
    }
    follow_state.reading_pass_open = false;
    follow_state.temp_path[0] = '\0';
}

bool same_endpoint(const follow_endpoint &endpoint, const address &addr, uint32_t port)
{
    follow_endpoint other;
    copy_follow_endpoint(other, addr, port);
    return other.port == endpoint.port && memcmp(other.address, endpoint.address, sizeof other.address) == 0;
}

// Appends one piece to the temporary file as a chunk. Pieces without payload
// are not written. After a failed write nothing more is written; the stream
// check reports the failure.
void write_chunk(const series_follow_piece &piece)
{
    if (follow_state.write_error || piece.length == 0)
        return;
    stream_chunk_header header{};
    follow_endpoint sender_endpoint;
    copy_follow_endpoint(sender_endpoint, *piece.sender, piece.sender_port);
    memcpy(header.sender_address, sender_endpoint.address, sizeof header.sender_address);
    header.sender_port = static_cast<uint16_t>(piece.sender_port);
    header.payload_length = piece.length;

    errno = 0;
    if (fwrite(&header, sizeof header, 1, follow_state.stream_file) != 1 ||
        fwrite(piece.data, 1, piece.length, follow_state.stream_file) != piece.length) {
        follow_state.write_error = errno ? errno : EIO;
        return;
    }

    // Endpoint 0 is the client: the host that sent the SYN where the
    // follower saw the conversation open (tshark's node 0, also when the
    // server speaks first), else the sender of the first payload.
    if (follow_state.chunks_written == 0) {
        const bool receiver_is_client = piece.opened_by_client && !piece.sender_is_client;
        follow_endpoint receiver_endpoint;
        copy_follow_endpoint(receiver_endpoint, *piece.receiver, piece.receiver_port);
        follow_state.tcp_statistics.endpoint[0] = receiver_is_client ? receiver_endpoint : sender_endpoint;
        follow_state.tcp_statistics.endpoint[1] = receiver_is_client ? sender_endpoint : receiver_endpoint;
        follow_state.tcp_statistics.ipv6 = piece.sender->type == AT_IPv6;
    }
    ++follow_state.chunks_written;
    const int index = same_endpoint(follow_state.tcp_statistics.endpoint[0], *piece.sender, piece.sender_port) ? 0 : 1;
    follow_state.tcp_statistics.bytes_written[index] += piece.length;
}

// Creates the temporary file in TMPDIR (else /tmp), owner read and write
// only, and opens a stream on it for writing and reading.
bool create_temp_file()
{
    const char *directory = getenv("TMPDIR");
    if (!directory || !directory[0])
        directory = "/tmp";
    struct stat info;
    const int directory_error = stat(directory, &info) != 0 ? errno : (S_ISDIR(info.st_mode) ? 0 : ENOTDIR);
    if (directory_error) {
        set_error_format(WSB_E_FILE, "Error retrieving temp directory. Error code %d.", directory_error);
        return false;
    }
    const int length = snprintf(follow_state.temp_path, sizeof follow_state.temp_path, "%s/followXXXXXX", directory);
    if (length < 0 || static_cast<size_t>(length) >= sizeof follow_state.temp_path) {
        follow_state.temp_path[0] = '\0';
        set_error_format(WSB_E_FILE, "Error retrieving temp directory. Error code %d.", ENAMETOOLONG);
        return false;
    }
    // mkostemp creates the file with mode 0600; close-on-exec keeps it out of
    // child processes of the host.
    const int descriptor = mkostemp(follow_state.temp_path, O_CLOEXEC);
    if (descriptor < 0) {
        const int error = errno;
        follow_state.temp_path[0] = '\0';
        set_error_format(WSB_E_FILE, "Error retrieving temp file name. Error code %d.", error);
        return false;
    }
    // Only the descriptor keeps the file from here on.
    unlink(follow_state.temp_path);
    follow_state.stream_file = fdopen(descriptor, "w+b");
    if (!follow_state.stream_file) {
        const int error = errno;
        set_error_format(WSB_E_FILE, "Could not open temporary file %s: %s", follow_state.temp_path, strerror(error));
        close(descriptor);
        delete_temp_file();
        return false;
    }
    return true;
}

// Ends a reading pass: the next stream-line call starts at the first chunk.
void close_reading_pass()
{
    follow_state.reading_pass_open = false;
}

}  // namespace

bool null_argument(const char *operation, bool any_null)
{
    if (any_null)
        set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. An output argument is null.", operation);
    return any_null;
}

void hand_out_descriptions(const follow_statistics &stats, bool tcp, const char **server_text, int32_t *server_size,
                           const char **client_text, int32_t *client_size, const char **conversation_text,
                           int32_t *conversation_size)
{
    build_follow_descriptions(stats, tcp);
    *server_text = follow_state.server_description;
    *server_size = static_cast<int32_t>(strlen(follow_state.server_description) + 1);
    *client_text = follow_state.client_description;
    *client_size = static_cast<int32_t>(strlen(follow_state.client_description) + 1);
    *conversation_text = follow_state.conversation_description;
    *conversation_size = static_cast<int32_t>(strlen(follow_state.conversation_description) + 1);
}

bool reread_packet(const char *operation, uint32_t frame_number, int64_t file_offset, int32_t captured_length,
                   uint32_t packet_length, int32_t encapsulation, bool for_taps)
{
    if (!require_capture("Get Packet At Offset"))
        return false;
    const int32_t status =
        read_packet_at_offset({frame_number, file_offset, captured_length, packet_length, encapsulation}, nullptr,
                              for_taps ? redissect_depth::taps_only : redissect_depth::full);
    if (status == WSB_OUT_OF_MEMORY)
        set_error_format(WSB_E_OUT_OF_MEMORY, "\"%s\" operation failed. The engine ran out of memory while dissecting the packet.",
                         operation);
    return status == WSB_OK;
}

void copy_follow_endpoint(follow_endpoint &endpoint, const address &addr, uint32_t port)
{
    memset(endpoint.address, 0, sizeof endpoint.address);
    if (addr.data && addr.len > 0)
        memcpy(endpoint.address, addr.data, addr.len < 16 ? static_cast<size_t>(addr.len) : 16);
    endpoint.port = port;
}

void build_follow_descriptions(const follow_statistics &stats, bool tcp)
{
    g_free(follow_state.client_description);
    g_free(follow_state.server_description);
    g_free(follow_state.conversation_description);
    const char *names[2];
    char *ports[2];
    for (int i = 0; i < 2; ++i) {
        if (stats.ipv6) {
            ws_in6_addr address6;
            memcpy(&address6, stats.endpoint[i].address, sizeof address6);
            names[i] = get_hostname6(&address6);
        } else {
            guint address4;
            memcpy(&address4, stats.endpoint[i].address, sizeof address4);
            names[i] = get_hostname(address4);
        }
        ports[i] = tcp ? tcp_port_to_display(nullptr, stats.endpoint[i].port)
                       : udp_port_to_display(nullptr, stats.endpoint[i].port);
    }
    // Endpoint 0 is the client: each direction's text runs from its sender.
    follow_state.client_description = g_strdup_printf("%s:%s --> %s:%s (%" G_GUINT32_FORMAT " bytes)", names[0], ports[0],
                                         names[1], ports[1], stats.bytes_written[0]);
    follow_state.server_description = g_strdup_printf("%s:%s --> %s:%s (%" G_GUINT32_FORMAT " bytes)", names[1], ports[1],
                                         names[0], ports[0], stats.bytes_written[1]);
    follow_state.conversation_description = g_strdup_printf("Entire conversation (%" G_GUINT32_FORMAT " bytes)",
                                               stats.bytes_written[0] + stats.bytes_written[1]);
    wmem_free(nullptr, ports[0]);
    wmem_free(nullptr, ports[1]);
}

void follow_release()
{
    release_conversation_follow();
    clear_stream_text();
    series_stop_tcp_follow();
    delete_temp_file();
    follow_state.tcp_phase = tcp_idle;
    follow_state.tcp_any_added = false;
    follow_state.tcp_last_added_frame = 0;
    follow_state.chunks_written = 0;
    follow_state.write_error = 0;
    follow_state.tcp_statistics = follow_statistics{};
    release_udp_follow();
    g_free(follow_state.client_description);
    g_free(follow_state.server_description);
    g_free(follow_state.conversation_description);
    follow_state.client_description = nullptr;
    follow_state.server_description = nullptr;
    follow_state.conversation_description = nullptr;
}

gchar *begin_follow(const char *operation, bool tcp, unsigned *stream, uint32_t frame_number, int64_t file_offset,
                    int32_t captured_length, uint32_t packet_length, int32_t encapsulation)
{
    if (!require_capture(operation))
        return nullptr;
    follow_release();
    if (!reread_packet(operation, frame_number, file_offset, captured_length, packet_length, encapsulation))
        return nullptr;
    const char *protocol = tcp ? "TCP" : "UDP";
    // A TCP packet is one whose TCP layer reached its tap, or, when the
    // engine stopped inside the TCP header (a malformed option, as in a
    // damaged MPTCP SYN), one the engine had already taken for TCP: it has
    // made the conversation by then, and tshark follows from such a packet.
    const bool taken_for_tcp =
        tcp && current_dissection() && series_port_type_code(current_dissection()->pi.ptype) == WSB_PT_TCP;
    if (!(tcp ? transport_facts().saw_tcp || taken_for_tcp : transport_facts().saw_udp) || !current_dissection()) {
        set_error_format(WSB_E_BAD_ARGUMENT, "Error following stream. Please make sure you have a %s packet selected.", protocol);
        return nullptr;
    }
    gchar *filter = nullptr;
    epan_dissect_t *edt = current_dissection();
    if (run_in_engine_frame([&] { filter = series_follow_filter(protocol, edt, stream); }, operation) != WSB_OK) {
        g_free(filter);
        return nullptr;
    }
    if (!filter)
        set_error_text(WSB_E_UNSUPPORTED, "Error creating filter for this stream. A transport or network layer header is needed.");
    return filter;
}

int32_t gFollowTCPStreamForPacket(uint32_t frame_number, int64_t file_offset, int32_t captured_length,
                                  uint32_t packet_length, int32_t encapsulation)
{
    unsigned stream = 0;
    gchar *filter = begin_follow("Follow TCP Stream", true, &stream, frame_number, file_offset, captured_length,
                                 packet_length, encapsulation);
    if (!filter)
        return WSB_FAILED;
    if (!create_temp_file()) {
        g_free(filter);
        return WSB_FAILED;
    }
    std::string error;
    const bool started = series_start_tcp_follow(filter, stream, write_chunk, error);
    g_free(filter);
    if (!started) {
        set_error_format(WSB_E_ENGINE, "Can't register tcp_follow tap: %s\n", error.c_str());
        delete_temp_file();
        return WSB_FAILED;
    }
    follow_state.tcp_phase = tcp_collecting;
    return WSB_OK;
}

int32_t gAddPacketToTCPStream(uint32_t frame_number, int64_t file_offset, int32_t captured_length,
                              uint32_t packet_length, int32_t encapsulation)
{
    if (follow_state.tcp_phase != tcp_collecting) {
        set_error_text(WSB_E_STATE, "Error generating stream info for packet: Temporary stream file has to be opened.");
        return WSB_FAILED;
    }
    if (follow_state.tcp_any_added && frame_number <= follow_state.tcp_last_added_frame) {
        set_error_format(WSB_E_BAD_ARGUMENT, "\"Add Packet To TCP Stream\" operation failed. Frame %u does not come after frame %u, the "
                         "packet added last: packets are added in capture order, each once. The stream is kept.",
                         frame_number, follow_state.tcp_last_added_frame);
        return WSB_FAILED;
    }
    // The packet gGetNextPacket returned last, added right after: the
    // follower takes what that dissection handed it (as tshark's follow
    // takes its single pass's) instead of dissecting the packet again.
    bool taken = false;
    if (sequential_packet_is_current({frame_number, file_offset, captured_length, packet_length, encapsulation})) {
        const int32_t status = run_in_engine_frame(
            [&] { taken = series_tcp_follow_take_held(current_dissection(), frame_number); },
            "Add Packet To TCP Stream");
        if (status != WSB_OK)
            return status;
    }
    if (!taken) {
        series_tcp_follow_takes(true);
        const bool reread = reread_packet("Add Packet To TCP Stream", frame_number, file_offset, captured_length,
                                          packet_length, encapsulation, true);
        series_tcp_follow_takes(false);
        if (!reread)
            return WSB_FAILED;
    }
    follow_state.tcp_any_added = true;
    follow_state.tcp_last_added_frame = frame_number;
    return WSB_OK;
}

int32_t gIsValidTcpStrem(uint8_t *valid, int32_t, const char **server_text, int32_t *server_size,
                         const char **client_text, int32_t *client_size, const char **conversation_text,
                         int32_t *conversation_size)
{
    if (null_argument("Is Valid TCP Stream", !valid || !server_text || !server_size || !client_text ||
                                                 !client_size || !conversation_text || !conversation_size))
        return WSB_FAILED;
    // Only a collection in progress can be ended; a stream already checked,
    // or none at all, is left as it is.
    if (follow_state.tcp_phase != tcp_collecting) {
        *valid = 0;
        set_error_text(WSB_E_STATE, not_initialized_message);
        return WSB_FAILED;
    }
    *valid = 1;
    series_stop_tcp_follow();
    // Buffered writes fail no later than here.
    errno = 0;
    if (!follow_state.write_error && (fflush(follow_state.stream_file) != 0 || ferror(follow_state.stream_file)))
        follow_state.write_error = errno ? errno : EIO;
    if (follow_state.write_error) {
        set_error_format(WSB_E_FILE, "Could not write to temporary file %s: %s", follow_state.temp_path, strerror(follow_state.write_error));
        *valid = 0;
        follow_release();
        return WSB_FAILED;
    }
    if (follow_state.chunks_written == 0) {
        set_error_text(WSB_E_STATE, "Empty TCP stream.");
        *valid = 0;
        follow_release();
        return WSB_OK;
    }
    // The file must hold at least the first chunk's header.
    rewind(follow_state.stream_file);
    stream_chunk_header header;
    const size_t count = fread(&header, 1, sizeof header, follow_state.stream_file);
    if (count < sizeof header) {
        if (ferror(follow_state.stream_file))
            set_error_format(WSB_E_FILE, "Could not read from temporary file %s: %s", follow_state.temp_path, strerror(errno));
        else
            set_error_format(WSB_E_FILE, "Short read from temporary file %s: expected %lu, got %lu", follow_state.temp_path,
                             static_cast<unsigned long>(sizeof header), static_cast<unsigned long>(count));
        *valid = 0;
        follow_release();
        return WSB_FAILED;
    }
    close_reading_pass();
    follow_state.tcp_phase = tcp_collected;
    follow_state.stream_ipv6 = follow_state.tcp_statistics.ipv6;
    hand_out_descriptions(follow_state.tcp_statistics, true, server_text, server_size, client_text, client_size,
                          conversation_text, conversation_size);
    return WSB_OK;
}

int32_t gGetNextTCPStreamLine(int32_t render_format, int32_t direction_filter, const char **text, uint32_t *size,
                              uint8_t *is_server, uint8_t *end)
{
    if (null_argument("Get Next TCP Stream Line", !text || !size || !is_server || !end))
        return WSB_FAILED;
    *end = 0;
    if (follow_state.tcp_phase == tcp_idle) {
        set_error_text(WSB_E_STATE, not_initialized_message);
        return WSB_FAILED;
    }
    if (follow_state.tcp_phase == tcp_collecting) {
        set_error_text(WSB_E_STATE, "The TCP stream is still being collected. End the collection with gIsValidTcpStrem "
                       "before reading the stream.");
        return WSB_FAILED;
    }
    const size_t address_length = follow_state.stream_ipv6 ? 16 : 4;
    clear_stream_text();
    if (!follow_state.reading_pass_open) {
        if (!follow_state.stream_file || fseek(follow_state.stream_file, 0, SEEK_SET) != 0) {
            set_error_format(WSB_E_FILE, "Could not open temporary file %s: %s", follow_state.temp_path,
                             strerror(follow_state.stream_file ? errno : EBADF));
            return WSB_FAILED;
        }
        clearerr(follow_state.stream_file);
        follow_state.reading_pass_open = true;
        follow_state.client_offset = 0;
        follow_state.server_offset = 0;
    }
    uint8_t buffer[1024];
    for (;;) {
        stream_chunk_header header;
        const size_t count = fread(&header, 1, sizeof header, follow_state.stream_file);
        if (count == 0) {
            if (!feof(follow_state.stream_file)) {
                set_error_format(WSB_E_FILE, "File read error %s: %s", follow_state.temp_path, strerror(errno));
                return WSB_FAILED;
            }
            clear_stream_text();
            close_reading_pass();
            *end = 1;
            *text = nullptr;
            *size = 0;
            return WSB_OK;
        }
        if (count < sizeof header) {
            set_error_format(WSB_E_FILE, "Short read from temporary file %s: expected %lu, got %lu", follow_state.temp_path,
                             static_cast<unsigned long>(sizeof header), static_cast<unsigned long>(count));
            close_reading_pass();
            return WSB_FAILED;
        }
        // The client is the descriptions' (endpoint 0 of the collection).
        const follow_endpoint &client = follow_state.tcp_statistics.endpoint[0];
        const bool from_server =
            !(memcmp(header.sender_address, client.address, address_length) == 0 && header.sender_port == client.port);
        const bool skipped = (!from_server && direction_filter == WSB_DIRECTION_SERVER) ||
                             (from_server && direction_filter == WSB_DIRECTION_CLIENT);
        bool shown = false;
        // Long chunks are rendered in pieces of at most 1024 bytes.
        for (uint32_t due = header.payload_length; due > 0;) {
            const size_t got = fread(buffer, 1, due < sizeof buffer ? due : sizeof buffer, follow_state.stream_file);
            if (got == 0)
                break;
            due -= static_cast<uint32_t>(got);
            if (skipped)
                continue;
            if (!render_stream_piece(render_format, direction_filter, from_server ? 1 : 0, buffer,
                                     static_cast<uint32_t>(got))) {
                clear_stream_text();
                set_error_text(WSB_E_OUT_OF_MEMORY, "\"Get Next TCP Stream Line\" operation failed. Out of memory for the stream text.");
                return WSB_FAILED;
            }
            shown = true;
        }
        if (shown) {
            *text = follow_state.stream_text.text;
            *size = follow_state.stream_text.size;
            *is_server = from_server ? 1 : 0;
            return WSB_OK;
        }
    }
}
