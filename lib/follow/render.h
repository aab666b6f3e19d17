/* SPDX-License-Identifier: GPL-2.0-or-later */
// Stream text rendering: turns the payload pieces of a followed TCP or UDP
// conversation into ascii, EBCDIC-converted, hex-dump or C-array text and
// collects that text in the follow state's stream_text, which the stream-line
// calls hand out.
#pragma once

#include <cstdint>

#include "wsbridge.h"

// Library-owned text handed to the host. text is NUL-terminated and null
// while empty; size counts the terminating NUL and is 0 while text is null.
// The buffer comes from malloc/realloc and is released with free.
struct stream_text_buffer {
    char *text;
    uint32_t size;
};

// render_format takes the WSB_RENDER_* values of wsbridge.h (any other value
// renders as ascii), direction_filter the WSB_DIRECTION_* values (any other
// value means both directions without the hex dump's indentation).

// Renders one piece (bytes sent by one endpoint) and appends its text to
// stream_text. ascii and ebcdic rewrite bytes in place. Returns false when
// stream_text could not be grown; the text appended so far stays intact.
bool render_stream_piece(int32_t render_format, int32_t direction_filter, int is_server, uint8_t *bytes,
                         uint32_t length);

// Appends a piece to stream_text, joined to earlier text by CR LF. Returns false
// (leaving stream_text unchanged) when memory for the grown text is unavailable.
bool append_stream_piece(const char *piece, uint32_t length);

// Frees the text and leaves stream_text empty (null, size 0).
void clear_stream_text();

// In place: every byte other than LF and CR outside 0x20..0x7E becomes '.'.
void mask_unprintable(uint8_t *bytes, uint32_t length);

// Line-based renderings, each generated line appended as a piece of its own.
// Both return false if an append failed; rendering stops at that line.
bool render_hex_dump(const uint8_t *bytes, uint32_t length, int is_server, int32_t direction_filter);
bool render_c_array(int is_server, const uint8_t *bytes, uint32_t length);
