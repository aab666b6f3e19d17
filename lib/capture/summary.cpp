// SPDX-License-Identifier: GPL-2.0-or-later
// The packet summary: the numbers, addresses and texts of a dissected
// packet as the PacketSummary record holds them.
#include <cstring>

#include <epan/column.h>
#include <epan/column-utils.h>
#include <epan/to_str.h>

#include "wsbridge.h"
#include "capture/capture_state.h"

namespace {

// The length of text cut to at most limit bytes without splitting a UTF-8
// character: a character that does not fit whole is left out (its
// continuation bytes, 10xxxxxx, follow the cut).
size_t whole_characters(const char *text, size_t limit)
{
    size_t length = strnlen(text, limit);
    if (length == limit)
        for (size_t dropped = 0; length > 0 && dropped < 3 &&
                                 (static_cast<unsigned char>(text[length]) & 0xc0) == 0x80;
             ++dropped)
            --length;
    return length;
}

}  // namespace

// The first size - 1 bytes of text or fewer, ending on a whole UTF-8
// character, and the end (GLib's g_strlcpy copies byte by byte; this runs for
// six texts a packet).
void copy_cut(char *destination, size_t size, const char *text)
{
    const size_t length = whole_characters(text, size - 1);
    memcpy(destination, text, length);
    destination[length] = '\0';
}

namespace {

// Room for any address text: the engine renders its Source and Destination
// columns into buffers of this size.
char address_text_buffer[COL_MAX_LEN];

// The text of an address as tshark -n shows it in its Source and Destination
// columns: the engine's own rendering of the address's type, whichever type
// that is (fixed or registered by a dissector at run time), with no name
// resolution; the first size - 1 characters of it.
void address_to_text(const address *addr, char *destination, int size)
{
    address_text_buffer[0] = '\0';
    address_to_str_buf(addr, address_text_buffer, sizeof address_text_buffer);
    copy_cut(destination, static_cast<size_t>(size), address_text_buffer);
}

// The summary's column info: Protocol and Info, which sequential reading
// copies, and tshark's default Source and Destination columns, which hold
// what a dissector wrote there for a packet that has no such address.

bool is_hex_digit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// "00:0b:86:11:22:33", as the engine renders a MAC address without name
// resolution.
bool is_mac_text(const char *text, size_t length)
{
    if (length != 17)
        return false;
    for (size_t i = 0; i < length; ++i)
        if (i % 3 == 2 ? text[i] != ':' : !is_hex_digit(text[i]))
            return false;
    return true;
}

// The parenthesised part that ends text[0, length), " (...)", or null.
const char *trailing_parentheses(const char *text, size_t length)
{
    if (length < 4 || text[length - 1] != ')')
        return nullptr;
    for (size_t i = length - 1; i-- > 1;)
        if (text[i] == '(')
            return text[i - 1] == ' ' ? text + i - 1 : nullptr;
    return nullptr;
}

// The text a dissector left in the Source or Destination column of a packet
// for which the engine set no such address, without a trailing role in
// parentheses. 802.11 control frames name their receiver and transmitter
// there as "00:0b:86:11:22:33 (RA)", or, with the engine's MAC name
// resolution (on for the protocol tree's labels),
// "HewlettP_11:22:33 (00:0b:86:11:22:33) (RA)"; the text is then the MAC
// address, as tshark -n shows it, and the type WSB_AT_ETHER. Other notes
// ("N/A" of serial links, "DTE", ...) are kept as written, type WSB_AT_NONE.
void column_note_to_text(const char *note, char *destination, int size, int32_t *type)
{
    const char *text = note;
    size_t length = strlen(note);
    const char *tail = trailing_parentheses(text, length);
    if (tail && !is_mac_text(tail + 2, static_cast<size_t>(note + length - tail) - 3)) {
        length = static_cast<size_t>(tail - note);  // a role
        tail = trailing_parentheses(text, length);
    }
    if (tail && is_mac_text(tail + 2, static_cast<size_t>(note + length - tail) - 3)) {
        text = tail + 2;  // a resolved name and its address
        length = 17;
    }
    const size_t kept = length < static_cast<size_t>(size) ? length : whole_characters(text, static_cast<size_t>(size) - 1);
    memcpy(destination, text, kept);
    destination[kept] = '\0';
    if (is_mac_text(text, length))
        *type = WSB_AT_ETHER;
}

// Fields both steps write. The column notes are read when the dissection had
// the column info.
}  // namespace

void fill_summary(PacketSummary *summary, const frame_data *fd, epan_dissect_t *edt)
{
    const packet_info &pi = edt->pi;
    summary->frame_number = fd->num;
    summary->packet_length = fd->pkt_len;
    summary->captured_length = fd->cap_len;
    summary->file_offset = fd->file_off;
    summary->port_type = series_port_type_code(pi.ptype);
    uint32_t source_port = 0, destination_port = 0;
    packet_ports(edt, &source_port, &destination_port);
    summary->source_port = static_cast<uint16_t>(source_port);
    summary->destination_port = static_cast<uint16_t>(destination_port);
    summary->source_address_type = series_address_type_code(pi.src.type);
    summary->destination_address_type = series_address_type_code(pi.dst.type);
    const address *addresses[] = {&pi.dl_src, &pi.dl_dst, &pi.src, &pi.dst};
    char *texts[] = {summary->link_source_text, summary->link_destination_text, summary->source_text,
                     summary->destination_text};
    const int sizes[] = {31, 31, 63, 63};
    for (int i = 0; i < 4; ++i) {
        texts[i][0] = '\0';
        if (addresses[i]->type != AT_NONE)
            address_to_text(addresses[i], texts[i], sizes[i]);
    }
    if (pi.cinfo && pi.src.type == AT_NONE)
        column_note_to_text(get_column_text(pi.cinfo, source_column), summary->source_text, 63,
                            &summary->source_address_type);
    if (pi.cinfo && pi.dst.type == AT_NONE)
        column_note_to_text(get_column_text(pi.cinfo, destination_column), summary->destination_text, 63,
                            &summary->destination_address_type);
}

// A time span in 100 ns units. A span that does not fit (a record whose
// time stamp is wildly off from the first packet's) saturates.
int64_t hundred_nanoseconds(const nstime_t &span)
{
    int64_t units = 0;
    if (__builtin_mul_overflow(static_cast<int64_t>(span.secs), int64_t{10000000}, &units) ||
        __builtin_add_overflow(units, static_cast<int64_t>(span.nsecs / 100), &units))
        return span.secs < 0 ? INT64_MIN : INT64_MAX;
    return units;
}
