// Stream text rendering for followed conversations (see render.h).
#include "follow/render.h"

#include <stdlib.h>
#include <string.h>

#include <glib.h>
#include <wsutil/wmem/wmem.h>  // charsets.h uses wmem_allocator_t without including it
#include <epan/charsets.h>

stream_text_buffer stream_text = {nullptr, 0};
uint32_t client_offset = 0, server_offset = 0;

namespace {

const char hex_digits[] = "0123456789abcdef";

// Printability is fixed to the "C" locale range so that a host switching the
// C runtime's locale cannot change the rendering.
inline bool is_printable(uint8_t byte) { return byte >= 0x20 && byte <= 0x7E; }

inline uint32_t *direction_counter(int is_server) {
    return is_server ? &server_offset : &client_offset;
}

} // namespace

bool append_stream_piece(const char *piece, uint32_t length) {
    if (stream_text.size == 0) {
        if ((uint64_t)length + 1 > UINT32_MAX) return false;
        char *text = (char *)malloc((size_t)length + 1);
        if (!text) return false;
        if (length) memcpy(text, piece, length);
        text[length] = '\0';
        stream_text.text = text;
        stream_text.size = length + 1;
        return true;
    }
    // The old NUL becomes CR, then LF, the piece and a new NUL: size grows by length + 2.
    uint64_t new_size = (uint64_t)stream_text.size + length + 2;
    if (new_size > UINT32_MAX) return false;
    // realloc leaves the old block untouched on failure, so the text survives.
    char *text = (char *)realloc(stream_text.text, (size_t)new_size);
    if (!text) return false;
    char *end = text + stream_text.size - 1;
    end[0] = '\r';
    end[1] = '\n';
    if (length) memcpy(end + 2, piece, length);
    end[2 + length] = '\0';
    stream_text.text = text;
    stream_text.size = (uint32_t)new_size;
    return true;
}

void clear_stream_text(void) {
    free(stream_text.text);
    stream_text.text = nullptr;
    stream_text.size = 0;
}

void mask_unprintable(uint8_t *bytes, uint32_t length) {
    for (uint32_t i = 0; i < length; i++)
        if (bytes[i] != '\n' && bytes[i] != '\r' && !is_printable(bytes[i])) bytes[i] = '.';
}

bool render_hex_dump(const uint8_t *bytes, uint32_t length, int is_server, int32_t direction_filter) {
    uint32_t *counter = direction_counter(is_server);
    // Server lines are pushed right of the client's when both directions are shown.
    const int indent = (is_server && direction_filter == direction_both) ? 78 : 0;
    char line[256];
    // Advancing by count keeps start <= length, so it cannot wrap.
    for (uint32_t start = 0, count; start < length; start += count) {
        count = (length - start < 16) ? length - start : 16;
        const uint8_t *p = bytes + start;
        memset(line, ' ', indent);
        int pos = indent;
        pos += g_snprintf(line + pos, 20, "%08X  ", *counter);
        const int hex_start = pos;
        for (uint32_t i = 0; i < count; i++) {
            line[pos++] = hex_digits[p[i] >> 4];
            line[pos++] = hex_digits[p[i] & 0x0F];
            line[pos++] = ' ';
            if (i == 7) line[pos++] = ' ';
        }
        // Pad short lines so the text column starts where it does on a full line.
        while (pos < hex_start + 49) line[pos++] = ' ';
        for (uint32_t i = 0; i < count; i++) {
            line[pos++] = is_printable(p[i]) ? (char)p[i] : '.';
            if (i == 7) line[pos++] = ' ';
        }
        line[pos++] = '\n';
        line[pos] = '\0';
        if (!append_stream_piece(line, (uint32_t)pos)) return false;
        *counter += count;
    }
    return true;
}

bool render_c_array(int is_server, const uint8_t *bytes, uint32_t length) {
    uint32_t *counter = direction_counter(is_server);
    // The array number comes from the same counter as the byte counts, so the
    // next array of this direction is numbered after this one's bytes.
    char line[256];
    int pos = g_snprintf(line, 256, "char peer%d_%d[] = {\n", is_server ? 1 : 0, (int)*counter);
    if (!append_stream_piece(line, (uint32_t)pos)) return false;
    *counter += 1;
    // Advancing by count keeps start <= length, so it cannot wrap.
    for (uint32_t start = 0, count; start < length; start += count) {
        count = (length - start < 8) ? length - start : 8;
        pos = 0;
        for (uint32_t i = 0; i < count; i++) {
            const uint8_t byte = bytes[start + i];
            const bool last = start + i + 1 == length;
            line[pos++] = '0';
            line[pos++] = 'x';
            line[pos++] = hex_digits[byte >> 4];
            line[pos++] = hex_digits[byte & 0x0F];
            if (!last) line[pos++] = ',';
            line[pos++] = ' ';
            if (last) {
                line[pos++] = '}';
                line[pos++] = ';';
            }
        }
        line[pos++] = '\n';
        line[pos] = '\0';
        if (!append_stream_piece(line, (uint32_t)pos)) return false;
        *counter += count;
    }
    return true;
}

bool render_stream_piece(int32_t render_format, int32_t direction_filter, int is_server,
                         uint8_t *bytes, uint32_t length) {
    switch (render_format) {
    case format_hexdump:
        return render_hex_dump(bytes, length, is_server, direction_filter);
    case format_c_array:
        return render_c_array(is_server, bytes, length);
    case format_ebcdic:
        EBCDIC_to_ASCII(bytes, length);
        [[fallthrough]];  // converted bytes are shown as ascii
    default:
        mask_unprintable(bytes, length);
        return append_stream_piece((const char *)bytes, length);
    }
}
