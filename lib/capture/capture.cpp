// Opening and closing captures, the sequential and random-access dissection
// steps, and the packet summary.
#include "capture/capture.h"

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

#include <epan/column.h>
#include <epan/column-utils.h>
#include <epan/packet.h>
#include <epan/proto.h>
#include <epan/tap.h>
#include <epan/to_str.h>
#include <wsutil/buffer.h>

#include "wsbridge.h"
#include "engine/state.h"
#include "engine/guarded_call.h"
#include "engine/messages.h"
#include "fields/registry.h"
#include "follow/follow.h"
#include "capture/frames.h"

capture_file_record cfile;
reading_state_record reading;
epan_dissect_t *current_dissection;
uint64_t dissection_generation;

namespace {

wtap_rec sequential_record;
Buffer sequential_buffer;
bool sequential_dissection_used;
bool treeless_dissection_used;
bool random_dissection_used;

// The current packet when a re-read left its full dissection for later.
bool completion_due;
packet_locator completion_locator;

// The Protocol and Info column texts of the packet gGetNextPacket or
// gGetPacketAtOffset returned last stand in the column info until the next
// dissection: they belong to the dissection numbered texts_generation, which
// had the columns unless texts_have_columns is false (summary texts off).
bool texts_known;
uint64_t texts_generation;
bool texts_have_columns;

void keep_packet_texts(bool have_columns)
{
    texts_known = true;
    texts_generation = dissection_generation;
    texts_have_columns = have_columns;
}

// The current dissection is that of the packet gGetNextPacket returned last,
// whose record had this encapsulation (as read, before any dissector
// rewrote it).
bool sequential_current;
int32_t sequential_encapsulation;

void set_column(col_item_t &column, int format, const char *title)
{
    column.col_fmt = format;
    column.col_title = g_strdup(title);
}

void open_session()
{
    reading.provider = packet_provider_data{frames_time, cfile.wiretap_handle, nullptr};
    reading.session = series_new_session(&reading.provider);
    reading.sequential_dissection = epan_dissect_new(reading.session, TRUE, FALSE);
    reading.treeless_dissection = epan_dissect_new(reading.session, FALSE, FALSE);
    treeless_dissection_used = false;
    reading.random_dissection = epan_dissect_new(reading.session, TRUE, TRUE);
    sequential_dissection_used = false;
    random_dissection_used = false;
}

// Ends the use of a frame record: the per-frame data the engine attached to
// a frame read in sequence goes to the store (also after a dissection that
// an engine exception interrupted); a frame of its own is destroyed.
void settle_frame(frame_data &frame, bool &live, bool belongs_to_store)
{
    if (!live)
        return;
    live = false;
    stored_frame *stored = belongs_to_store ? frames_get(frame.num) : nullptr;
    if (stored)
        stored->per_frame_data = series_take_frame_data(&frame);
    series_destroy_frame(&frame);
}

void settle_frames()
{
    settle_frame(reading.frame_record, reading.frame_record_live, true);
    settle_frame(reading.random_frame, reading.random_frame_live, reading.random_frame_stored);
}

// Ends the dissection session. keep_frames: the capture stays open and its
// frames keep their numbers and times, so that frames read afterwards are
// stored under their own numbers and found again; otherwise the store goes.
void close_session(bool keep_frames)
{
    if (!reading.session) {
        if (!keep_frames)
            frames_clear();
        return;
    }
    settle_frames();
    // The frames' per-frame data lives in the session's memory.
    if (keep_frames)
        frames_end_session();
    else
        frames_clear();
    epan_dissect_free(reading.sequential_dissection);
    epan_dissect_free(reading.treeless_dissection);
    reading.treeless_dissection = nullptr;
    epan_dissect_free(reading.random_dissection);
    epan_free(reading.session);
    reading.sequential_dissection = nullptr;
    reading.random_dissection = nullptr;
    reading.session = nullptr;
    current_dissection = nullptr;
    sequential_current = false;
    completion_due = false;
    ++dissection_generation;
}

void close_capture_file()
{
    close_session(false);
    if (cfile.wiretap_handle) {
        wtap_close(cfile.wiretap_handle);
        cfile.wiretap_handle = nullptr;
    }
    g_free(cfile.path);
    cfile.path = nullptr;
    cfile.identity_known = false;
}

// Frees what the previous dissection left: everything that pointed into it
// is stale from here on. Runs before a record is read: resetting a dissection
// may release record data that the engine reaches through the wtap_rec the
// next read fills (series_dissect).
void begin_dissection()
{
    // The session is made when the capture's first packet is dissected, so
    // that opening a capture without reading it costs the engine nothing
    // (series_new_session).
    if (!reading.session)
        open_session();
    if (sequential_dissection_used) {
        epan_dissect_reset(reading.sequential_dissection);
        sequential_dissection_used = false;
    }
    if (treeless_dissection_used) {
        epan_dissect_reset(reading.treeless_dissection);
        treeless_dissection_used = false;
    }
    if (random_dissection_used) {
        epan_dissect_reset(reading.random_dissection);
        random_dissection_used = false;
    }
    settle_frames();
    current_dissection = nullptr;
    sequential_current = false;
    completion_due = false;
    ++dissection_generation;
    clear_transport_facts();
}

void prime(epan_dissect_t *edt)
{
    if (compiled_filter)
        epan_dissect_prime_with_dfilter(edt, compiled_filter);
}

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

// The first size - 1 bytes of text or fewer, ending on a whole UTF-8
// character, and the end (GLib's g_strlcpy copies byte by byte; this runs for
// six texts a packet).
void copy_cut(char *destination, size_t size, const char *text)
{
    const size_t length = whole_characters(text, size - 1);
    memcpy(destination, text, length);
    destination[length] = '\0';
}

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
enum summary_column { protocol_column, info_column, source_column, destination_column, summary_column_count };

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
void fill_summary(PacketSummary *summary, const frame_data *fd, epan_dissect_t *edt)
{
    const packet_info &pi = edt->pi;
    summary->frame_number = fd->num;
    summary->packet_length = fd->pkt_len;
    summary->captured_length = fd->cap_len;
    summary->file_offset = fd->file_off;
    summary->port_type = series_port_type_code(pi.ptype);
    summary->source_port = static_cast<uint16_t>(pi.srcport);
    summary->destination_port = static_cast<uint16_t>(pi.destport);
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

// The time stamps of the first frame and of the frame shown before `number`,
// copied, for frames read in sequence; null when absent.
struct neighbour_times {
    nstime_t reference_time{};
    nstime_t previous_time{};
    const nstime_t *reference = nullptr;
    const nstime_t *previous = nullptr;
    uint32_t previous_number = 0;
};

// previous is the number of the frame shown before this one (0: none).
void fill_neighbours(neighbour_times &neighbours, uint32_t number, uint32_t previous)
{
    if (number > 1 && frames_time(1)) {
        neighbours.reference_time = *frames_time(1);
        neighbours.reference = &neighbours.reference_time;
    }
    if (previous > 0 && previous < number && frames_time(previous)) {
        neighbours.previous_time = *frames_time(previous);
        neighbours.previous = &neighbours.previous_time;
        neighbours.previous_number = previous;
    }
}

// Dissects the record just read in sequence. With a display filter set,
// false when the packet does not match it: the packet was dissected (the
// engine's conversation state has seen it) but is not shown, so the summary
// is not written and the packet does not count as the previous one shown.
bool dissect_next_packet(PacketSummary *summary, int64_t data_offset)
{
    wtap_rec *rec = &sequential_record;
    frame_data *fd = &reading.frame_record;
    ++cfile.frame_count;
    const auto number = static_cast<uint32_t>(cfile.frame_count);
    // The first frame is the time reference of all others; the frame before
    // is the one shown last (every frame, when no display filter is set).
    neighbour_times neighbours;
    fill_neighbours(neighbours, number, display_filter ? reading.last_shown_frame : number - 1);
    series_begin_frame(fd, number, rec, data_offset, reading.cumulative_bytes, neighbours.reference,
                       neighbours.previous, neighbours.previous_number);
    reading.frame_record_live = true;

    const nstime_t abs_ts = fd->abs_ts;
    if (nstime_is_unset(&reading.first_packet_time))
        reading.first_packet_time = abs_ts;
    frames_store(fd);

    // A protocol tree is built when something reads it: the registry's fields
    // once compiled, or a tap listener with a filter (a followed stream).
    // Without either, a packet costs the engine no tree, as in tshark's
    // plain listing.
    const bool tree_needed = compiled_filter || display_filter || have_filtering_tap_listeners();
    epan_dissect_t *edt = tree_needed ? reading.sequential_dissection : reading.treeless_dissection;
    // The link type as wiretap read it: some dissectors rewrite the record's
    // while they dissect (Apple PKTAP's hands on the type of the packet it
    // wraps), and the locator and the save file need the file's own.
    const int32_t encapsulation = rec->rec_type == REC_TYPE_PACKET ? rec->rec_header.packet_header.pkt_encap : 0;
    prime(edt);
    if (display_filter)
        epan_dissect_prime_with_dfilter(edt, display_filter);
    current_dissection = edt;
    (tree_needed ? sequential_dissection_used : treeless_dissection_used) = true;
    // Without the texts the engine dissects with no column info, as tshark -q
    // does: the dissectors skip composing the Info and Protocol texts, about
    // a tenth of their work.
    series_dissect(edt, cfile.file_type, rec, ws_buffer_start_ptr(&sequential_buffer), fd,
                   summary_texts ? &cfile.columns : nullptr);
    // As tshark's single pass with -Y: the byte count and the time since the
    // previous shown packet count only the packets shown.
    if (display_filter && !dfilter_apply_edt(display_filter, edt))
        return false;
    reading.last_shown_frame = number;
    series_end_frame(fd, &reading.cumulative_bytes);
    // The summary's columns hold only what the dissectors wrote; the engine's
    // column fill-in would add frame data to none of them and render into
    // Source and Destination only the addresses the summary renders itself.

    nstime_t relative;
    nstime_delta(&relative, &abs_ts, &reading.first_packet_time);

    fill_summary(summary, fd, edt);
    summary->relative_time = hundred_nanoseconds(relative);
    summary->time_seconds = abs_ts.secs;
    summary->time_nanoseconds = abs_ts.nsecs;
    summary->encapsulation = encapsulation;
    if (summary_texts) {
        copy_cut(summary->protocol_text, sizeof summary->protocol_text,
                 get_column_text(&cfile.columns, protocol_column));
        copy_cut(summary->info_text, sizeof summary->info_text, get_column_text(&cfile.columns, info_column));
    } else {
        summary->protocol_text[0] = '\0';
        summary->info_text[0] = '\0';
    }
    keep_packet_texts(summary_texts);
    sequential_current = true;
    sequential_encapsulation = encapsulation;
    return true;
}

// Fills the random-access frame for the re-read record: as the already
// visited frame it is, with its per-frame data, when it was read in sequence
// and the locator names it exactly (so the engine finds its analysis of that
// packet instead of taking it for a repeat); otherwise as a first visit.
frame_data *frame_for_locator(const wtap_rec *rec, const packet_locator &locator, bool whole_record)
{
    frame_data *fd = &reading.random_frame;
    stored_frame *stored = frames_get(locator.frame_number);
    // A frame read before the session was replaced is unknown to the engine
    // now: a first visit.
    reading.random_frame_stored = whole_record && stored && frames_in_session(locator.frame_number) &&
                                  stored->offset_low == static_cast<uint32_t>(locator.file_offset);
    neighbour_times neighbours;
    fill_neighbours(neighbours, locator.frame_number, reading.random_frame_stored ? locator.frame_number - 1 : 0);
    series_begin_frame(fd, locator.frame_number, rec, locator.file_offset, 0, neighbours.reference,
                       neighbours.previous, neighbours.previous_number);
    reading.random_frame_live = true;
    if (reading.random_frame_stored) {
        series_give_frame_data(fd, stored->per_frame_data);
        stored->per_frame_data = nullptr;
    }
    return fd;
}

// Dissects the record that read_and_redissect put into cfile.record and
// cfile.packet_buffer: with a labelled tree (full), or only as far as the tap
// listeners need (taps_only: no labels, no columns, an invisible tree only
// for listeners with a filter). The running state of sequential reading is
// not touched.
void redissect_packet(PacketSummary *summary, const packet_locator &locator, bool full)
{
    wtap_rec *rec = &cfile.record;
    wtap_packet_header &header = rec->rec_header.packet_header;
    const bool whole_record = header.caplen == static_cast<guint32>(locator.captured_length) &&
                              header.len == locator.packet_length && header.pkt_encap == locator.encapsulation;
    header.len = locator.packet_length;
    header.caplen = static_cast<guint32>(locator.captured_length);
    header.pkt_encap = locator.encapsulation;
    frame_data *fd = frame_for_locator(rec, locator, whole_record);

    epan_dissect_t *edt;
    if (full) {
        edt = reading.random_dissection;
        prime(edt);
        random_dissection_used = true;
    } else if (have_filtering_tap_listeners()) {
        edt = reading.sequential_dissection;
        sequential_dissection_used = true;
    } else {
        edt = reading.treeless_dissection;
        treeless_dissection_used = true;
    }
    current_dissection = edt;
    // A summary wants the columns for its address texts; the tree, a save or
    // a followed stream need none.
    series_dissect(edt, cfile.file_type, rec, ws_buffer_start_ptr(&cfile.packet_buffer), fd,
                   summary ? &cfile.columns : nullptr);
    if (summary)
        fill_summary(summary, fd, edt);
}

// The engine dissects the record as the locator describes it, so the
// locator must describe that record. Another link-layer type would have the
// engine read the record's pseudo-header as that type's, with pointers that
// another record left there (a crash). A frame that sequential reading
// numbered is the packet at its own offset: under its number the engine
// finds what it learnt of that packet. (Other lengths than the record's are
// the host's to choose, a save writes them as given: such a locator is
// dissected as a packet seen for the first time.) False with the message
// written.
bool locator_matches_record(const packet_locator &locator)
{
    const wtap_packet_header &header = cfile.record.rec_header.packet_header;
    const long long offset = static_cast<long long>(locator.file_offset);
    if (header.pkt_encap != locator.encapsulation) {
        set_error_format("The packet at offset %lld of the file \"%s\" has the link-layer type %d, not the %d of its "
                         "locator.",
                         offset, cfile.path, header.pkt_encap, locator.encapsulation);
        return false;
    }
    const stored_frame *known = frames_get(locator.frame_number);
    if (!known)
        return true;
    if (known->offset_low != static_cast<uint32_t>(locator.file_offset)) {
        set_error_format("Frame %u of the file \"%s\" was read at another offset than %lld.", locator.frame_number,
                         cfile.path, offset);
        return false;
    }
    return true;
}

}  // namespace

void capture_setup_at_startup()
{
    cfile.wiretap_handle = nullptr;
    cfile.path = nullptr;
    cfile.snapshot_length = 65535;
    cfile.frame_count = 0;

    column_info *columns = &cfile.columns;
    col_setup(columns, summary_column_count);
    memset(columns->columns, 0, sizeof(col_item_t) * summary_column_count);
    set_column(columns->columns[protocol_column], COL_PROTOCOL, "Protocol");
    set_column(columns->columns[info_column], COL_INFO, "Info");
    set_column(columns->columns[source_column], COL_DEF_SRC, "Source");
    set_column(columns->columns[destination_column], COL_DEF_DST, "Destination");
    col_finalize(columns);

    wtap_rec_init(&cfile.record);
    ws_buffer_init(&cfile.packet_buffer, 2048);
    wtap_rec_init(&sequential_record);
    ws_buffer_init(&sequential_buffer, 2048);
}

void capture_close_at_shutdown()
{
    close_capture_file();
    cfile.state = read_state::closed;
}

void capture_replace_session()
{
    // The next dissection starts a new session; frame numbers and times go
    // on.
    close_session(true);
}

bool is_open_capture(dev_t device, ino_t inode)
{
    return cfile.state != read_state::closed && cfile.identity_known && cfile.device == device && cfile.inode == inode;
}

const uint8_t *redissected_bytes()
{
    return ws_buffer_start_ptr(&cfile.packet_buffer);
}

bool sequential_packet_is_current(const packet_locator &locator)
{
    const frame_data &fd = reading.frame_record;
    return sequential_current && current_dissection && reading.frame_record_live && fd.num == locator.frame_number &&
           fd.file_off == locator.file_offset && locator.captured_length >= 0 &&
           fd.cap_len == static_cast<guint32>(locator.captured_length) && fd.pkt_len == locator.packet_length &&
           sequential_encapsulation == locator.encapsulation;
}

int32_t read_and_redissect(const packet_locator &locator, PacketSummary *summary, const char *beyond_2gb_message,
                           redissect_depth depth)
{
    if (locator.file_offset >= 2147483647) {
        set_error_text(beyond_2gb_message);
        return WSB_FAILED;
    }
    if (locator.captured_length < 0) {
        set_error_format("The captured length %d of the packet at offset %lld is negative.", locator.captured_length,
                         static_cast<long long>(locator.file_offset));
        return WSB_FAILED;
    }
    // A negative offset fails as the system's seek fails it (wiretap takes
    // the lowest ones for offsets it can read).
    if (locator.file_offset < 0) {
        set_error_text(describe_read_error(EINVAL, nullptr, cfile.path));
        return WSB_FAILED;
    }
    begin_dissection();
    int err = 0;
    gchar *err_info = nullptr;
    wtap_rec_reset(&cfile.record);
    if (!wtap_seek_read(cfile.wiretap_handle, locator.file_offset, &cfile.record, &cfile.packet_buffer, &err,
                        &err_info)) {
        set_error_text(describe_read_error(err, err_info, cfile.path));
        g_free(err_info);
        return WSB_FAILED;
    }
    g_free(err_info);
    if (cfile.record.rec_type != REC_TYPE_PACKET) {
        set_error_format("The record at offset %lld of the file \"%s\" is not a packet.",
                         static_cast<long long>(locator.file_offset), cfile.path);
        return WSB_FAILED;
    }
    guint32 stored = cfile.record.rec_header.packet_header.caplen;
    if (static_cast<guint32>(locator.captured_length) > stored) {
        set_error_format("The packet at offset %lld of the file \"%s\" holds %u captured bytes, fewer than the %d "
                         "asked for.",
                         static_cast<long long>(locator.file_offset), cfile.path, stored, locator.captured_length);
        return WSB_FAILED;
    }
    if (!locator_matches_record(locator))
        return WSB_FAILED;
    if (depth == redissect_depth::deferred) {
        completion_due = true;
        completion_locator = locator;
        return WSB_OK;
    }
    const bool full = depth == redissect_depth::full;
    const int32_t status = run_in_engine_frame([&] { redissect_packet(summary, locator, full); }, "Dissection");
    if (status == WSB_OK && !full) {
        completion_due = true;
        completion_locator = locator;
    }
    return status;
}

int32_t complete_current_packet()
{
    if (!completion_due)
        return WSB_OK;
    const packet_locator locator = completion_locator;
    completion_due = false;
    return read_packet_at_offset(locator, nullptr);
}

read_state capture_read_state()
{
    return cfile.state;
}

int32_t read_packet_at_offset(const packet_locator &locator, PacketSummary *summary, redissect_depth depth)
{
    return read_and_redissect(locator, summary,
                              "You can not retrieve packet information if packet's offset in the original file "
                              "exceeds 2GB.\nYou have to split the capture in order to do such operation.",
                              depth);
}

int32_t gOpenCapture(const char *path)
{
    // The engine may report a failure (a message) while it still reads the path.
    argument_copy path_copy;
    path = unaliased_argument(path, path_copy);
    if (!require_engine("Open Capture"))
        return WSB_FAILED;
    if (!require_path("Open Capture", path))
        return WSB_FAILED;
    int err = 0;
    gchar *err_info = nullptr;
    wtap *handle = wtap_open_offline(path, WTAP_TYPE_AUTO, &err, &err_info, TRUE);
    if (!handle) {
        set_error_text(describe_open_error(err, err_info, false, path, cfile.file_type));
        g_free(err_info);
        return WSB_FAILED;
    }
    g_free(err_info);
    // A capture that is still open gives way to the new one, and so does a
    // followed stream: its endpoints and payload belong to the old file.
    release_followed_stream();
    close_capture_file();

    // The file as opened: its path may be relative, and the host may change
    // its working directory before it names a save file.
    struct stat identity;
    cfile.identity_known = stat(path, &identity) == 0;
    cfile.device = cfile.identity_known ? identity.st_dev : 0;
    cfile.inode = cfile.identity_known ? identity.st_ino : 0;
    cfile.state = read_state::open;
    cfile.wiretap_handle = handle;
    cfile.path = g_strdup(path);
    cfile.file_type = wtap_file_type_subtype(handle);
    cfile.encapsulation = 0;
    cfile.frame_count = 0;
    cfile.snapshot_length = static_cast<int32_t>(wtap_snapshot_length(handle));
    if (cfile.snapshot_length == 0)
        cfile.snapshot_length = 65535;
    nstime_set_unset(&reading.first_packet_time);
    reading.cumulative_bytes = 0;
    reading.last_shown_frame = 0;
    return WSB_OK;
}

int32_t gCloseCapture(void)
{
    if (!require_capture("Close Capture"))
        return WSB_FAILED;
    release_followed_stream();
    close_capture_file();
    cfile.state = read_state::closed;
    return WSB_OK;
}

int32_t gGetNextPacket(PacketSummary *summary)
{
    if (!require_capture("Get Next Packet"))
        return WSB_FAILED;
    if (!summary) {
        set_error_text("\"Get Next Packet\" operation failed. No PacketSummary record was given.");
        return WSB_FAILED;
    }
    if (cfile.state == read_state::finished)
        return WSB_END;
    int err = 0;
    gchar *err_info = nullptr;
    gint64 data_offset = 0;
    // Packets that do not match the display filter are dissected all the
    // same and passed over.
    for (;;) {
        begin_dissection();
        wtap_rec_reset(&sequential_record);
        if (!wtap_read(cfile.wiretap_handle, &sequential_record, &sequential_buffer, &err, &err_info, &data_offset))
            break;
        g_free(err_info);
        err_info = nullptr;
        bool shown = true;
        int32_t status = run_in_engine_frame([&] { shown = dissect_next_packet(summary, data_offset); }, "Dissection");
        if (status != WSB_OK || shown)
            return status;
    }
    if (err != 0) {
        set_error_text(describe_sequential_read_error(err, err_info));
        g_free(err_info);
        return WSB_FAILED;
    }
    cfile.state = read_state::finished;
    wtap_sequential_close(cfile.wiretap_handle);
    postseq_cleanup_all_protocols();
    cfile.encapsulation = wtap_file_encap(cfile.wiretap_handle);
    return WSB_END;
}

int32_t gGetPacketAtOffset(PacketSummary *summary, uint32_t frame_number, int64_t file_offset,
                           int32_t captured_length, uint32_t packet_length, int32_t encapsulation)
{
    if (!require_capture("Get Packet At Offset"))
        return WSB_FAILED;
    // The dissection fills the columns (for gGetPacketTexts) also when the
    // host wants no summary.
    PacketSummary unused;
    const int32_t status = read_packet_at_offset(
        {frame_number, file_offset, captured_length, packet_length, encapsulation}, summary ? summary : &unused);
    if (status == WSB_OK)
        keep_packet_texts(true);
    return status;
}

int32_t gGetPacketTexts(const char **protocol, int32_t *protocol_size, const char **info, int32_t *info_size)
{
    if (!require_capture("Get Packet Texts"))
        return WSB_FAILED;
    if (!texts_known || texts_generation != dissection_generation) {
        set_error_text("\"Get Packet Texts\" operation failed. There is no current packet: read one with "
                       "gGetNextPacket or gGetPacketAtOffset (any later call that dissects a packet replaces it).");
        return WSB_FAILED;
    }
    const char *protocol_text = texts_have_columns ? get_column_text(&cfile.columns, protocol_column) : nullptr;
    const char *info_text = texts_have_columns ? get_column_text(&cfile.columns, info_column) : nullptr;
    if (!protocol_text)
        protocol_text = "";
    if (!info_text)
        info_text = "";
    if (protocol)
        *protocol = protocol_text;
    if (protocol_size)
        *protocol_size = static_cast<int32_t>(strlen(protocol_text));
    if (info)
        *info = info_text;
    if (info_size)
        *info_size = static_cast<int32_t>(strlen(info_text));
    return WSB_OK;
}

int32_t gGetPacketTimePrecision(int32_t *decimals)
{
    if (!require_capture("Get Packet Time Precision"))
        return WSB_FAILED;
    if (!decimals) {
        set_error_text("\"Get Packet Time Precision\" operation failed. No place for the decimals was given.");
        return WSB_FAILED;
    }
    // wiretap's precision codes are the numbers of decimals (seconds 0 to
    // nanoseconds 9); per-packet and unknown precisions are negative.
    int precision = cfile.frame_count > 0 ? sequential_record.tsprec : -1;
    if (precision < 0 || precision > 9)
        precision = wtap_file_tsprec(cfile.wiretap_handle);
    if (precision < 0 || precision > 9)
        precision = 6;
    *decimals = precision;
    return WSB_OK;
}
