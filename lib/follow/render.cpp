// SPDX-License-Identifier: GPL-2.0-or-later
// Stream text rendering for followed conversations (see render.h).
#include "follow/follow_state.h"

#include <cstdlib>
#include <cstring>

#include <glib.h>
#include <wsutil/wmem/wmem.h>  // charsets.h uses wmem_allocator_t without including it
#include <epan/charsets.h>

namespace {

const char hex_digits[] = "0123456789abcdef";

// Printability is fixed to the "C" locale range so that a host switching the
// C runtime's locale cannot change the rendering.
bool is_printable(uint8_t byte)
{
    return byte >= 0x20 && byte <= 0x7E;
}

uint32_t &direction_counter(int is_server)
{
    return is_server ? follow_state.server_offset : follow_state.client_offset;
}

// Appends the hex digits of byte.
int put_hex(char *at, uint8_t byte)
{
    at[0] = hex_digits[byte >> 4];
    at[1] = hex_digits[byte & 0x0F];
    return 2;
}

}  // namespace

bool append_stream_piece(const char *piece, uint32_t length)
{
    if (follow_state.stream_text.size == 0) {
        if (uint64_t{length} + 1 > UINT32_MAX)
            return false;
        auto *text = static_cast<char *>(malloc(size_t{length} + 1));
        if (!text)
            return false;
        if (length)
            memcpy(text, piece, length);
        text[length] = '\0';
        follow_state.stream_text.text = text;
        follow_state.stream_text.size = length + 1;
        return true;
    }
    // The old NUL becomes CR, then LF, the piece and a new NUL: size grows by length + 2.
    const uint64_t new_size = uint64_t{follow_state.stream_text.size} + length + 2;
    if (new_size > UINT32_MAX)
        return false;
    // realloc leaves the old block untouched on failure, so the text survives.
    auto *text = static_cast<char *>(realloc(follow_state.stream_text.text, static_cast<size_t>(new_size)));
    if (!text)
        return false;
    char *end = text + follow_state.stream_text.size - 1;
    end[0] = '\r';
    end[1] = '\n';
    if (length)
        memcpy(end + 2, piece, length);
    end[2 + length] = '\0';
    follow_state.stream_text.text = text;
    follow_state.stream_text.size = static_cast<uint32_t>(new_size);
    return true;
}

void clear_stream_text()
{
    free(follow_state.stream_text.text);
    follow_state.stream_text.text = nullptr;
    follow_state.stream_text.size = 0;
}

void mask_unprintable(uint8_t *bytes, uint32_t length)
{
    for (uint32_t i = 0; i < length; ++i)
        if (bytes[i] != '\n' && bytes[i] != '\r' && !is_printable(bytes[i]))
            bytes[i] = '.';
}

bool render_hex_dump(const uint8_t *bytes, uint32_t length, int is_server, int32_t direction_filter)
{
    uint32_t &counter = direction_counter(is_server);
    // Server lines are pushed right of the client's when both directions are shown.
    const int indent = (is_server && direction_filter == WSB_DIRECTION_BOTH) ? 78 : 0;
    char line[256];
    // Advancing by count keeps start <= length, so it cannot wrap.
    for (uint32_t start = 0, count; start < length; start += count) {
        count = length - start < 16 ? length - start : 16;
        const uint8_t *piece = bytes + start;
        memset(line, ' ', indent);
        int position = indent;
        position += g_snprintf(line + position, 20, "%08X  ", counter);
        const int hex_start = position;
        for (uint32_t i = 0; i < count; ++i) {
            position += put_hex(line + position, piece[i]);
            line[position++] = ' ';
            if (i == 7)
                line[position++] = ' ';
        }
        // Pad short lines so the text column starts where it does on a full line.
        while (position < hex_start + 49)
            line[position++] = ' ';
        for (uint32_t i = 0; i < count; ++i) {
            line[position++] = is_printable(piece[i]) ? static_cast<char>(piece[i]) : '.';
            if (i == 7)
                line[position++] = ' ';
        }
        line[position++] = '\n';
        line[position] = '\0';
        if (!append_stream_piece(line, static_cast<uint32_t>(position)))
            return false;
        counter += count;
    }
    return true;
}

bool render_c_array(int is_server, const uint8_t *bytes, uint32_t length)
{
    uint32_t &counter = direction_counter(is_server);
    // The array number comes from the same counter as the byte counts, so the
    // next array of this direction is numbered after this one's bytes.
    char line[256];
    int position = g_snprintf(line, sizeof line, "char peer%d_%d[] = {\n", is_server ? 1 : 0,
                              static_cast<int>(counter));
    if (!append_stream_piece(line, static_cast<uint32_t>(position)))
        return false;
    counter += 1;
    // Advancing by count keeps start <= length, so it cannot wrap.
    for (uint32_t start = 0, count; start < length; start += count) {
        count = length - start < 8 ? length - start : 8;
        position = 0;
        for (uint32_t i = 0; i < count; ++i) {
            const bool last = start + i + 1 == length;
            line[position++] = '0';
            line[position++] = 'x';
            position += put_hex(line + position, bytes[start + i]);
            if (!last)
                line[position++] = ',';
            line[position++] = ' ';
            if (last) {
                line[position++] = '}';
                line[position++] = ';';
            }
        }
        line[position++] = '\n';
        line[position] = '\0';
        if (!append_stream_piece(line, static_cast<uint32_t>(position)))
            return false;
        counter += count;
    }
    return true;
}

bool render_stream_piece(int32_t render_format, int32_t direction_filter, int is_server, uint8_t *bytes,
                         uint32_t length)
{
    switch (render_format) {
    case WSB_RENDER_HEXDUMP:
        return render_hex_dump(bytes, length, is_server, direction_filter);
    case WSB_RENDER_CARRAY:
        return render_c_array(is_server, bytes, length);
    case WSB_RENDER_EBCDIC:
        EBCDIC_to_ASCII(bytes, length);
        [[fallthrough]];  // converted bytes are shown as ascii
    default:
        mask_unprintable(bytes, length);
        return append_stream_piece(reinterpret_cast<const char *>(bytes), length);
    }
}
