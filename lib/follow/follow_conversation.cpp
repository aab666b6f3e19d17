// SPDX-License-Identifier: GPL-2.0-or-later
// Following one TCP or UDP conversation over the whole capture in one call
// (gFollowConversation), its descriptions (gGetFollowTexts) and its chunks in
// every rendering, raw bytes included (gGetNextFollowChunk).
//
// A pass over the file finds the conversation's records without dissecting
// any: the records whose link, network and transport headers give the
// packet's endpoints (lib/shard's key), the records without ports between the
// same two hosts (IP fragments among them) and the records whose headers the
// key cannot read. Only those are dissected; the engine's follower still
// takes only the conversation's own segments.
//
// When sequential reading has dissected every one of them in its current
// session, the follower takes them from re-reads of those frames, as a host
// that follows after reading does. Otherwise the records are dissected in a
// session of the pass's own (capture.h: side_pass_begin), twice: the records
// up to the packet give the conversation the index the engine numbers it by,
// then, from a fresh session that numbers the same records alike, every
// record of the conversation is added in capture order. The session of
// sequential reading is put back afterwards.
#include "follow/follow_state.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "wsbridge.h"
#include "capture/capture.h"
#include "dissection/dissection.h"
#include "engine/state.h"
#include "shard/key.h"

namespace {

const char follow_operation[] = "Follow Conversation";
const char texts_operation[] = "Get Follow Texts";
const char chunk_operation[] = "Get Next Follow Chunk";

// The conversation gFollowConversation followed last; follow_release ends it
// with the stream it left.
struct conversation_follow_record {
    bool active;
    int32_t kind;  // WSB_FOLLOW_TCP or WSB_FOLLOW_UDP
    bool empty;    // no payload: the stream was ended by its check
};
conversation_follow_record conversation;

// The packets of the conversation to dissect, in capture order, and whether
// sequential reading's session dissected every one of them.
struct conversation_members {
    std::vector<packet_locator> packets;
    bool all_known;
};

// The message and code of a failure, kept across steps that may write their
// own (ending a pass).
struct kept_failure {
    int32_t code;
    std::string text;
};

kept_failure keep_failure()
{
    return {gGetLastErrorCode(), gGetLastError()};
}

// Whether a record belongs to the conversation whose packet has these keys
// (read through tunnels: the engine follows the innermost conversation, whose
// outer headers may differ by direction, as Geneve's source ports do).
bool is_member(const side_record &r, const shard_key_result &endpoints, const shard_key_result &hosts)
{
    if (r.record->rec_type != REC_TYPE_PACKET)
        return false;
    const wtap_packet_header &header = r.record->rec_header.packet_header;
    const shard_key_result key =
        packet_shard_key(header.pkt_encap, r.bytes, header.caplen, shard_key_kind::endpoint_pair, true);
    // Without ports between the same hosts the key is the hosts' (IP
    // fragments); records the key cannot read are dissected to be sure.
    return endpoints.keyed ? !key.keyed || key.hash == endpoints.hash || key.hash == hosts.hash : !key.keyed;
}

packet_locator locator_of(const side_record &r)
{
    const wtap_packet_header &header = r.record->rec_header.packet_header;
    return {r.number, r.offset, static_cast<int32_t>(header.caplen), header.len, header.pkt_encap};
}

// Reads the capture's records (no dissection) and lists the packets of the
// conversation of `start`: the pass's handle reads up to the packet (whose
// keys name the conversation) and on to the end (so that it knows every
// interface the re-reads need), then a reader of its own reads the records
// before the packet again. False with the message written.
bool list_members(const packet_locator &start, conversation_members &members)
{
    // The frames sequential reading's current session dissected.
    const uint32_t known_after = session_frames_before();
    const auto known_until = static_cast<uint32_t>(capture_frames_read());
    auto known = [&](const side_record &r) { return r.number > known_after && r.number <= known_until && r.in_share; };
    side_record r{};
    int got;
    while ((got = side_pass_next(&r)) == 1 && r.number < start.frame_number) {
    }
    if (got < 0)
        return false;
    if (got == 0) {
        set_error_format(WSB_E_STALE, "\"%s\" operation failed. The capture \"%s\" has no frame %u; it has %u frames.",
                         follow_operation, capture_path(), start.frame_number, r.number);
        return false;
    }
    if (r.offset != start.file_offset || r.record->rec_type != REC_TYPE_PACKET) {
        set_error_format(WSB_E_STALE, "Frame %u of the file \"%s\" is %s at offset %lld, not at %lld.", r.number,
                         capture_path(), r.record->rec_type == REC_TYPE_PACKET ? "a packet" : "a record",
                         static_cast<long long>(r.offset), static_cast<long long>(start.file_offset));
        return false;
    }
    const wtap_packet_header &header = r.record->rec_header.packet_header;
    if (header.pkt_encap != start.encapsulation) {
        set_error_format(WSB_E_STALE, "The packet at offset %lld of the file \"%s\" has the link-layer type %d, not the "
                         "%d of its locator.",
                         static_cast<long long>(start.file_offset), capture_path(), header.pkt_encap,
                         start.encapsulation);
        return false;
    }
    if (start.captured_length < 0 || static_cast<guint32>(start.captured_length) > header.caplen) {
        set_error_format(WSB_E_STALE, "The packet at offset %lld of the file \"%s\" holds %u captured bytes, not the "
                         "%d asked for.",
                         static_cast<long long>(start.file_offset), capture_path(), header.caplen,
                         start.captured_length);
        return false;
    }
    const shard_key_result endpoints =
        packet_shard_key(header.pkt_encap, r.bytes, header.caplen, shard_key_kind::endpoint_pair, true);
    const shard_key_result hosts =
        packet_shard_key(header.pkt_encap, r.bytes, header.caplen, shard_key_kind::address_pair, true);
    members.all_known = known(r);
    std::vector<packet_locator> after;
    while ((got = side_pass_next(&r)) == 1)
        if (is_member(r, endpoints, hosts)) {
            after.push_back(locator_of(r));
            members.all_known = members.all_known && known(r);
        }
    if (got < 0 || !side_pass_restart())
        return false;
    members.packets.clear();
    while ((got = side_pass_next(&r)) == 1 && r.number < start.frame_number)
        if (is_member(r, endpoints, hosts)) {
            members.packets.push_back(locator_of(r));
            members.all_known = members.all_known && known(r);
        }
    if (got < 0)
        return false;
    members.packets.push_back(start);
    members.packets.insert(members.packets.end(), after.begin(), after.end());
    return true;
}

int32_t start_classic(bool tcp, const packet_locator &l)
{
    return tcp ? gFollowTCPStreamForPacket(l.frame_number, l.file_offset, l.captured_length, l.packet_length,
                                           l.encapsulation)
               : gFollowUDPStreamForPacket(l.frame_number, l.file_offset, l.captured_length, l.packet_length,
                                           l.encapsulation);
}

int32_t add_classic(bool tcp, const packet_locator &l)
{
    return tcp ? gAddPacketToTCPStream(l.frame_number, l.file_offset, l.captured_length, l.packet_length,
                                       l.encapsulation)
               : gAddPacketToUDPStream(l.frame_number, l.file_offset, l.captured_length, l.packet_length,
                                       l.encapsulation);
}

// Ends the collection; *empty when no payload was collected.
bool check_classic(bool tcp, bool *empty)
{
    uint8_t valid = 0;
    const char *texts[3];
    int32_t sizes[3];
    const int32_t status = tcp ? gIsValidTcpStrem(&valid, 0, &texts[0], &sizes[0], &texts[1], &sizes[1], &texts[2],
                                                  &sizes[2])
                               : gIsValidUDPStrem(&valid, &texts[0], &sizes[0], &texts[1], &sizes[1], &texts[2],
                                                  &sizes[2]);
    *empty = valid == 0;
    return status == WSB_OK;
}

// Starts the follow at `start`, adds every member and ends the collection,
// in the session that is current.
bool collect(bool tcp, const packet_locator &start, const conversation_members &members, bool *empty)
{
    if (start_classic(tcp, start) != WSB_OK)
        return false;
    for (const packet_locator &l : members.packets)
        if (add_classic(tcp, l) != WSB_OK)
            return false;
    return check_classic(tcp, empty);
}

// The same in sessions of the pass's own (see the top of the file).
bool collect_in_own_session(bool tcp, const packet_locator &start, const conversation_members &members, bool *empty)
{
    side_pass_take_own_session();
    for (const packet_locator &l : members.packets) {
        if (l.frame_number >= start.frame_number)
            break;
        const int32_t status = read_packet_at_offset(l, nullptr, redissect_depth::taps_only);
        if (status == WSB_OUT_OF_MEMORY)
            set_error_format(WSB_E_OUT_OF_MEMORY, "\"%s\" operation failed. The engine ran out of memory while "
                             "dissecting frame %u.", follow_operation, l.frame_number);
        if (status != WSB_OK)
            return false;
    }
    if (start_classic(tcp, start) != WSB_OK)
        return false;
    // The follower is set for the conversation's index; a fresh session
    // numbers the same records alike.
    dissection_replace_session();
    for (const packet_locator &l : members.packets)
        if (add_classic(tcp, l) != WSB_OK)
            return false;
    return check_classic(tcp, empty);
}

// The next raw chunk of the checked TCP stream: each chunk's bytes whole.
int32_t next_tcp_raw(int32_t direction_filter, const char **data, uint32_t *size, uint8_t *is_server, uint8_t *end)
{
    FILE *file = follow_state.stream_file;
    clear_stream_text();
    if (!follow_state.reading_pass_open) {
        if (!file || fseek(file, 0, SEEK_SET) != 0) {
            set_error_format(WSB_E_FILE, "Could not open temporary file %s: %s", follow_state.temp_path,
                             strerror(file ? errno : EBADF));
            return WSB_FAILED;
        }
        clearerr(file);
        follow_state.reading_pass_open = true;
        follow_state.client_offset = 0;
        follow_state.server_offset = 0;
    }
    const size_t address_length = follow_state.stream_ipv6 ? 16 : 4;
    // The client is the descriptions' (endpoint 0 of the collection).
    const follow_endpoint &client = follow_state.tcp_statistics.endpoint[0];
    for (;;) {
        stream_chunk_header header;
        const size_t count = fread(&header, 1, sizeof header, file);
        if (count == 0 && feof(file)) {
            follow_state.reading_pass_open = false;
            *end = 1;
            *data = nullptr;
            *size = 0;
            return WSB_OK;
        }
        if (count < sizeof header) {
            set_error_format(WSB_E_FILE, "Short read from temporary file %s: expected %lu, got %lu",
                             follow_state.temp_path, static_cast<unsigned long>(sizeof header),
                             static_cast<unsigned long>(count));
            follow_state.reading_pass_open = false;
            return WSB_FAILED;
        }
        const bool from_server = !(memcmp(header.sender_address, client.address, address_length) == 0 &&
                                   header.sender_port == client.port);
        if ((!from_server && direction_filter == WSB_DIRECTION_SERVER) ||
            (from_server && direction_filter == WSB_DIRECTION_CLIENT)) {
            if (fseek(file, header.payload_length, SEEK_CUR) != 0) {
                set_error_format(WSB_E_FILE, "File read error %s: %s", follow_state.temp_path, strerror(errno));
                follow_state.reading_pass_open = false;
                return WSB_FAILED;
            }
            continue;
        }
        auto *bytes = static_cast<char *>(malloc(size_t{header.payload_length} + 1));
        if (!bytes) {
            set_error_format(WSB_E_OUT_OF_MEMORY, "\"%s\" operation failed. Out of memory for the chunk.",
                             chunk_operation);
            return WSB_FAILED;
        }
        if (fread(bytes, 1, header.payload_length, file) != header.payload_length) {
            free(bytes);
            set_error_format(WSB_E_FILE, "Short read from temporary file %s", follow_state.temp_path);
            follow_state.reading_pass_open = false;
            return WSB_FAILED;
        }
        bytes[header.payload_length] = '\0';
        follow_state.stream_text.text = bytes;
        follow_state.stream_text.size = header.payload_length + 1;
        *data = bytes;
        *size = header.payload_length;
        *is_server = from_server ? 1 : 0;
        return WSB_OK;
    }
}

bool require_conversation(const char *operation)
{
    if (!require_engine(operation))
        return false;
    if (!conversation.active) {
        set_error_format(WSB_E_STATE, "\"%s\" operation failed. No conversation is followed: follow one with "
                         "gFollowConversation first (opening or closing a capture and every other follow end it).",
                         operation);
        return false;
    }
    return true;
}

}  // namespace

void release_conversation_follow()
{
    conversation = conversation_follow_record{};
}

int32_t gFollowConversation(int32_t kind, uint32_t frame_number, int64_t file_offset, int32_t captured_length,
                            uint32_t packet_length, int32_t encapsulation)
{
    if (!require_capture(follow_operation))
        return WSB_FAILED;
    if (kind != WSB_FOLLOW_TCP && kind != WSB_FOLLOW_UDP) {
        set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. %d is not a kind of conversation to follow "
                         "(WSB_FOLLOW_TCP 0 or WSB_FOLLOW_UDP 1).",
                         follow_operation, kind);
        return WSB_FAILED;
    }
    // The stream followed before ends, whatever happens next.
    follow_release();
    const bool tcp = kind == WSB_FOLLOW_TCP;
    const packet_locator start{frame_number, file_offset, captured_length, packet_length, encapsulation};
    conversation_members members;
    if (!side_pass_begin(follow_operation, false))
        return WSB_FAILED;
    bool empty = false;
    bool done = list_members(start, members);
    // When sequential reading dissected every packet of the conversation in
    // its session, they are re-read there; otherwise the pass dissects in
    // sessions of its own.
    if (done)
        done = members.all_known ? collect(tcp, start, members, &empty)
                                 : collect_in_own_session(tcp, start, members, &empty);
    kept_failure failure;
    if (!done) {
        failure = keep_failure();
        follow_release();
    }
    const bool ended = side_pass_end();
    if (!done && ended)
        set_error_text(failure.code, failure.text.c_str());
    if (done && !ended) {
        follow_release();
        done = false;
    }
    if (!done)
        return WSB_FAILED;
    conversation.active = true;
    conversation.kind = kind;
    conversation.empty = empty;
    return WSB_OK;
}

int32_t gGetFollowTexts(const char **server_text, int32_t *server_size, const char **client_text,
                        int32_t *client_size, const char **conversation_text, int32_t *conversation_size)
{
    if (!require_engine(texts_operation))
        return WSB_FAILED;
    if (null_argument(texts_operation, !server_text || !server_size || !client_text || !client_size ||
                                           !conversation_text || !conversation_size))
        return WSB_FAILED;
    if (!require_conversation(texts_operation))
        return WSB_FAILED;
    if (conversation.empty) {
        static const char tcp_empty[] = "Empty TCP stream.";
        static const char udp_empty[] = "Empty UDP stream.";
        const char *message = conversation.kind == WSB_FOLLOW_TCP ? tcp_empty : udp_empty;
        *server_text = "";
        *server_size = 1;
        *client_text = "";
        *client_size = 1;
        *conversation_text = message;
        *conversation_size = static_cast<int32_t>(strlen(message) + 1);
        return WSB_OK;
    }
    *server_text = follow_state.server_description;
    *server_size = static_cast<int32_t>(strlen(follow_state.server_description) + 1);
    *client_text = follow_state.client_description;
    *client_size = static_cast<int32_t>(strlen(follow_state.client_description) + 1);
    *conversation_text = follow_state.conversation_description;
    *conversation_size = static_cast<int32_t>(strlen(follow_state.conversation_description) + 1);
    return WSB_OK;
}

int32_t gGetNextFollowChunk(int32_t render_format, int32_t direction_filter, const char **data, uint32_t *size,
                            uint8_t *is_server, uint8_t *end)
{
    if (!require_engine(chunk_operation))
        return WSB_FAILED;
    if (null_argument(chunk_operation, !data || !size || !is_server || !end))
        return WSB_FAILED;
    *end = 0;
    if (render_format < WSB_RENDER_ASCII || render_format > WSB_RENDER_RAW) {
        set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. %d is not a render format (WSB_RENDER_ASCII 0 "
                         "to WSB_RENDER_RAW 4).", chunk_operation, render_format);
        return WSB_FAILED;
    }
    if (direction_filter < WSB_DIRECTION_CLIENT || direction_filter > WSB_DIRECTION_BOTH) {
        set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. %d is not a direction (WSB_DIRECTION_CLIENT 0, "
                         "WSB_DIRECTION_SERVER 1 or WSB_DIRECTION_BOTH 2).", chunk_operation, direction_filter);
        return WSB_FAILED;
    }
    if (!require_conversation(chunk_operation))
        return WSB_FAILED;
    if (conversation.empty) {
        *data = nullptr;
        *size = 0;
        *end = 1;
        return WSB_OK;
    }
    if (conversation.kind == WSB_FOLLOW_TCP)
        return render_format == WSB_RENDER_RAW
                   ? next_tcp_raw(direction_filter, data, size, is_server, end)
                   : gGetNextTCPStreamLine(render_format, direction_filter, data, size, is_server, end);
    if (render_format == WSB_RENDER_RAW) {
        const uint8_t *bytes = nullptr;
        uint32_t length = 0;
        if (!next_udp_datagram(direction_filter, &bytes, &length, is_server)) {
            *data = nullptr;
            *size = 0;
            *end = 1;
            return WSB_OK;
        }
        *data = reinterpret_cast<const char *>(bytes);
        *size = length;
        return WSB_OK;
    }
    const int32_t status = gGetNextUDPStreamLine(render_format, direction_filter, data, size, is_server, end);
    if (status == WSB_OK && *end) {
        *data = nullptr;
        *size = 0;
    }
    return status;
}
