// SPDX-License-Identifier: GPL-2.0-or-later
// Opening and closing capture files, and reading their records in sequence
// and at their offsets into the dissection.
#include "capture/capture.h"

#include <cerrno>
#include <cstring>

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <epan/column.h>
#include <epan/column-utils.h>
#include <epan/packet.h>
#include <epan/proto.h>
#include <epan/tap.h>
#include <epan/to_str.h>
#include <wsutil/buffer.h>

#include "wsbridge.h"
#include "capture/capture_state.h"
#include "engine/guarded_call.h"
#include "engine/messages.h"
#include "engine/state.h"
#include "live/live.h"

capture_state_record capture_state;

namespace {

// The Protocol and Info texts of the packet gGetNextPacket or
// gGetPacketAtOffset returned last stay in the column info until the next
// dissection (capture_state.texts_*).
void keep_packet_texts(bool have_columns)
{
    capture_state.texts_known = true;
    capture_state.texts_generation = dissection_generation();
    capture_state.texts_have_columns = have_columns;
}

void set_column(col_item_t &column, int format, const char *title)
{
    column.col_fmt = format;
    column.col_title = g_strdup(title);
}

void close_capture_file()
{
    if (capture_state.wiretap_handle) {
        wtap_close(capture_state.wiretap_handle);
        capture_state.wiretap_handle = nullptr;
    }
    g_free(capture_state.path);
    capture_state.path = nullptr;
    capture_state.identity_known = false;
}

// Dissects the record just read in sequence. With a display filter set,
// false when the packet does not match it: the packet was dissected (the
// engine's conversation state has seen it) but is not shown, so the summary
// is not written and the packet does not count as the previous one shown.
bool dissect_next_packet(PacketSummary *summary, int64_t data_offset)
{
    capture_state_record &c = capture_state;
    wtap_rec *rec = &c.sequential_record;
    ++c.frame_count;
    const auto number = static_cast<uint32_t>(c.frame_count);
    // The first frame is the time reference of all others; the frame before
    // is the one shown last (every frame, when no display filter is set).
    frame_data *fd = sequential_frame(number, rec, data_offset, c.cumulative_bytes,
                                      c.display_filter ? c.last_shown_frame : number - 1);
    const nstime_t abs_ts = fd->abs_ts;
    if (nstime_is_unset(&c.first_packet_time))
        c.first_packet_time = abs_ts;
    // A packet of another process's share is counted, not dissected: frame
    // numbers, times and byte counts stay those of the whole file. Without a
    // display filter it counts as shown, as it would be in one process.
    if (!next_in_reading_share(*rec, c.sequential_buffer)) {
        if (!c.display_filter) {
            c.last_shown_frame = number;
            end_sequential_frame(fd, &c.cumulative_bytes);
        }
        return false;
    }
    // The link type as wiretap read it: some dissectors rewrite the record's
    // while they dissect (Apple PKTAP's hands on the type of the packet it
    // wraps), and the locator and the save file need the file's own.
    const int32_t encapsulation = rec->rec_type == REC_TYPE_PACKET ? rec->rec_header.packet_header.pkt_encap : 0;
    // Without the texts the engine dissects with no column info, as tshark -q
    // does: the dissectors skip composing the Info and Protocol texts, about
    // a tenth of their work.
    epan_dissect_t *edt = run_dissection(dissection_depth::sequential, c.file_type, rec,
                                         ws_buffer_start_ptr(&c.sequential_buffer), fd,
                                         c.summary_texts ? &c.columns : nullptr);
    // As tshark's single pass with -Y: the byte count and the time since the
    // previous shown packet count only the packets shown.
    if (c.display_filter && !dfilter_apply_edt(c.display_filter, edt))
        return false;
    c.last_shown_frame = number;
    end_sequential_frame(fd, &c.cumulative_bytes);
    // The summary's columns hold only what the dissectors wrote; the engine's
    // column fill-in would add frame data to none of them and render into
    // Source and Destination only the addresses the summary renders itself.

    nstime_t relative;
    nstime_delta(&relative, &abs_ts, &capture_state.first_packet_time);

    fill_summary(summary, fd, edt);
    summary->relative_time = hundred_nanoseconds(relative);
    summary->time_seconds = abs_ts.secs;
    summary->time_nanoseconds = abs_ts.nsecs;
    summary->encapsulation = encapsulation;
    if (c.summary_texts) {
        copy_cut(summary->protocol_text, sizeof summary->protocol_text,
                 get_column_text(&capture_state.columns, protocol_column));
        copy_cut(summary->info_text, sizeof summary->info_text, get_column_text(&capture_state.columns, info_column));
    } else {
        summary->protocol_text[0] = '\0';
        summary->info_text[0] = '\0';
    }
    mark_sequential_current(encapsulation);
    keep_packet_texts(c.summary_texts);
    return true;
}

// Dissects the record that read_and_redissect put into capture_state.record and
// capture_state.packet_buffer: with a labelled tree (full), or only as far as the tap
// listeners need (taps_only: no labels, no columns, an invisible tree only
// for listeners with a filter). The running state of sequential reading is
// not touched.
void redissect_packet(PacketSummary *summary, const packet_locator &locator, bool full)
{
    wtap_rec *rec = &capture_state.record;
    wtap_packet_header &header = rec->rec_header.packet_header;
    const bool whole_record = header.caplen == static_cast<guint32>(locator.captured_length) &&
                              header.len == locator.packet_length && header.pkt_encap == locator.encapsulation;
    header.len = locator.packet_length;
    header.caplen = static_cast<guint32>(locator.captured_length);
    header.pkt_encap = locator.encapsulation;
    frame_data *fd = random_frame(rec, locator, whole_record);
    // A summary wants the columns for its address texts; the tree, a save or
    // a followed stream need none.
    epan_dissect_t *edt =
        run_dissection(full ? dissection_depth::full : dissection_depth::taps_only, capture_state.file_type, rec,
                       ws_buffer_start_ptr(&capture_state.packet_buffer), fd, summary ? &capture_state.columns : nullptr);
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
    const wtap_packet_header &header = capture_state.record.rec_header.packet_header;
    const long long offset = static_cast<long long>(locator.file_offset);
    if (header.pkt_encap != locator.encapsulation) {
        set_error_format(WSB_E_STALE, "The packet at offset %lld of the file \"%s\" has the link-layer type %d, not the %d of its "
                         "locator.",
                         offset, capture_state.path, header.pkt_encap, locator.encapsulation);
        return false;
    }
    uint32_t known_offset = 0;
    if (!stored_frame_offset(locator.frame_number, &known_offset))
        return true;
    if (known_offset != static_cast<uint32_t>(locator.file_offset)) {
        set_error_format(WSB_E_STALE, "Frame %u of the file \"%s\" was read at another offset than %lld.", locator.frame_number,
                         capture_state.path, offset);
        return false;
    }
    return true;
}

}  // namespace

void capture_init()
{
    capture_state.wiretap_handle = nullptr;
    capture_state.sequential_only = false;
    capture_state.path = nullptr;
    capture_state.snapshot_length = 65535;
    capture_state.frame_count = 0;

    column_info *columns = &capture_state.columns;
    col_setup(columns, summary_column_count);
    memset(columns->columns, 0, sizeof(col_item_t) * summary_column_count);
    set_column(columns->columns[protocol_column], COL_PROTOCOL, "Protocol");
    set_column(columns->columns[info_column], COL_INFO, "Info");
    set_column(columns->columns[source_column], COL_DEF_SRC, "Source");
    set_column(columns->columns[destination_column], COL_DEF_DST, "Destination");
    col_finalize(columns);

    capture_state.summary_texts = true;
    capture_state.share_index = 0;
    capture_state.share_count = 1;
    capture_state.share_mode = shard_mode::address_pair;
    wtap_rec_init(&capture_state.record);
    ws_buffer_init(&capture_state.packet_buffer, 2048);
    wtap_rec_init(&capture_state.sequential_record);
    ws_buffer_init(&capture_state.sequential_buffer, 2048);
}

// An anonymous pipe (such as standard input on one, named /proc/self/fd/0 or
// /dev/stdin) can be read only in sequence, as the packets arrive: wiretap
// opens it without its random-access stream. A named FIFO is still refused
// (opening one that no one writes would wait for ever).
static bool sequential_only(const char *path)
{
    struct stat st;
    struct statfs fs;
    return stat(path, &st) == 0 && S_ISFIFO(st.st_mode) && statfs(path, &fs) == 0 && fs.f_type == PIPEFS_MAGIC;
}

wtap *capture_open_file(const char *path)
{
    int err = 0;
    gchar *err_info = nullptr;
    wtap *handle = wtap_open_offline(path, WTAP_TYPE_AUTO, &err, &err_info, sequential_only(path) ? FALSE : TRUE);
    if (!handle)
        set_error_text(WSB_E_FILE, describe_open_error(err, err_info, false, path, capture_state.file_type));
    g_free(err_info);
    return handle;
}

void capture_adopt(wtap *handle, const char *path)
{
    capture_state_record &c = capture_state;
    // The file as opened: its path may be relative, and the host may change
    // its working directory before it names a save file.
    struct stat identity;
    c.identity_known = stat(path, &identity) == 0;
    c.device = c.identity_known ? identity.st_dev : 0;
    c.inode = c.identity_known ? identity.st_ino : 0;
    c.state = read_state::open;
    c.wiretap_handle = handle;
    c.sequential_only = sequential_only(path);
    c.path = g_strdup(path);
    c.file_type = wtap_file_type_subtype(handle);
    c.encapsulation = 0;
    c.frame_count = 0;
    c.snapshot_length = static_cast<int32_t>(wtap_snapshot_length(handle));
    if (c.snapshot_length == 0)
        c.snapshot_length = 65535;
    nstime_set_unset(&c.first_packet_time);
    c.cumulative_bytes = 0;
    c.last_shown_frame = 0;
    c.live = false;
    c.live_forgotten = 0;
    if (c.share_count > 1)
        shard_begin(c.share_index, c.share_count, c.share_mode);
}

void capture_close()
{
    close_capture_file();
    // dumpcap stops and its spool goes once the file is closed.
    if (capture_state.live)
        live_close();
    capture_state.live = false;
    capture_state.state = read_state::closed;
}

void capture_shutdown()
{
    release_display_filter();
}

bool capture_is_open()
{
    return capture_state.state != read_state::closed;
}

bool require_capture(const char *operation)
{
    if (!require_engine(operation))
        return false;
    if (!capture_is_open()) {
        set_error_format(WSB_E_NO_CAPTURE, "\"%s\" operation failed. A capture file needs to be opened in order to perform this operation.",
                         operation);
        return false;
    }
    return true;
}

const char *capture_path()
{
    return capture_state.path;
}

int32_t capture_frames_read()
{
    return capture_state.frame_count;
}

wtap *capture_wiretap()
{
    return capture_state.wiretap_handle;
}

int capture_file_type()
{
    return capture_state.file_type;
}

int32_t capture_snapshot_length()
{
    return capture_state.snapshot_length;
}

int32_t capture_encapsulation()
{
    capture_state_record &c = capture_state;
    if (c.encapsulation == 0 && c.wiretap_handle)
        c.encapsulation = wtap_file_encap(c.wiretap_handle);
    return c.encapsulation;
}

// A column's whole text, or "" when the columns were not filled or the
// dissectors wrote none.
static const char *column_text(bool filled, int column)
{
    const char *text = filled ? get_column_text(&capture_state.columns, column) : nullptr;
    return text ? text : "";
}

void capture_whole_texts(const char **protocol, const char **info)
{
    *protocol = column_text(capture_state.summary_texts, protocol_column);
    *info = column_text(capture_state.summary_texts, info_column);
}

const wtap_rec &redissected_record()
{
    return capture_state.record;
}

bool is_open_capture(dev_t device, ino_t inode)
{
    return capture_state.state != read_state::closed && capture_state.identity_known && capture_state.device == device && capture_state.inode == inode;
}

const uint8_t *redissected_bytes()
{
    return ws_buffer_start_ptr(&capture_state.packet_buffer);
}

int32_t read_and_redissect(const packet_locator &locator, PacketSummary *summary, const char *beyond_2gb_message,
                           redissect_depth depth)
{
    if (locator.file_offset >= 2147483647) {
        set_error_text(WSB_E_UNSUPPORTED, beyond_2gb_message);
        return WSB_FAILED;
    }
    if (locator.captured_length < 0) {
        set_error_format(WSB_E_BAD_ARGUMENT, "The captured length %d of the packet at offset %lld is negative.", locator.captured_length,
                         static_cast<long long>(locator.file_offset));
        return WSB_FAILED;
    }
    if (!live_frame_readable(locator.frame_number))
        return WSB_FAILED;
    if (capture_state.sequential_only) {
        set_error_format(WSB_E_UNSUPPORTED,
                         "The capture \"%s\" is a pipe, read in sequence only: its packets cannot be read again by "
                         "offset.",
                         capture_state.path);
        return WSB_FAILED;
    }
    // A negative offset fails as the system's seek fails it (wiretap takes
    // the lowest ones for offsets it can read).
    if (locator.file_offset < 0) {
        set_error_text(WSB_E_BAD_ARGUMENT, describe_read_error(EINVAL, nullptr, capture_state.path));
        return WSB_FAILED;
    }
    begin_dissection(capture_state.wiretap_handle);
    int err = 0;
    gchar *err_info = nullptr;
    wtap_rec_reset(&capture_state.record);
    if (!wtap_seek_read(capture_state.wiretap_handle, locator.file_offset, &capture_state.record, &capture_state.packet_buffer, &err,
                        &err_info)) {
        set_error_text(WSB_E_FILE, describe_read_error(err, err_info, capture_state.path));
        g_free(err_info);
        return WSB_FAILED;
    }
    g_free(err_info);
    if (capture_state.record.rec_type != REC_TYPE_PACKET) {
        set_error_format(WSB_E_STALE, "The record at offset %lld of the file \"%s\" is not a packet.",
                         static_cast<long long>(locator.file_offset), capture_state.path);
        return WSB_FAILED;
    }
    guint32 stored = capture_state.record.rec_header.packet_header.caplen;
    if (static_cast<guint32>(locator.captured_length) > stored) {
        set_error_format(WSB_E_STALE, "The packet at offset %lld of the file \"%s\" holds %u captured bytes, fewer than the %d "
                         "asked for.",
                         static_cast<long long>(locator.file_offset), capture_state.path, stored, locator.captured_length);
        return WSB_FAILED;
    }
    if (!locator_matches_record(locator))
        return WSB_FAILED;
    // This process has not dissected the conversations of other shares: it
    // would answer without their history.
    if (!reread_in_reading_share(capture_state.record, capture_state.packet_buffer, locator.frame_number,
                                 static_cast<long long>(locator.file_offset)))
        return WSB_FAILED;
    if (depth == redissect_depth::deferred) {
        defer_completion(locator);
        return WSB_OK;
    }
    const bool full = depth == redissect_depth::full;
    const int32_t status = run_in_engine_frame([&] { redissect_packet(summary, locator, full); }, "Dissection");
    if (status == WSB_OK && !full)
        defer_completion(locator);
    return status;
}

int32_t complete_current_packet()
{
    packet_locator locator;
    if (!take_completion(&locator))
        return WSB_OK;
    return read_packet_at_offset(locator, nullptr);
}

int32_t read_packet_at_offset(const packet_locator &locator, PacketSummary *summary, redissect_depth depth)
{
    return read_and_redissect(locator, summary,
                              "You can not retrieve packet information if packet's offset in the original file "
                              "exceeds 2GB.\nYou have to split the capture in order to do such operation.",
                              depth);
}

int32_t gGetNextPacket(PacketSummary *summary)
{
    if (!require_capture("Get Next Packet"))
        return WSB_FAILED;
    if (!summary) {
        set_error_text(WSB_E_BAD_ARGUMENT, "\"Get Next Packet\" operation failed. No PacketSummary record was given.");
        return WSB_FAILED;
    }
    if (capture_state.state == read_state::finished)
        return WSB_END;
    capture_state_record &c = capture_state;
    int err = 0;
    gchar *err_info = nullptr;
    gint64 data_offset = 0;
    // Packets that do not match the display filter are dissected all the
    // same and passed over.
    for (;;) {
        // A live capture's next record is read once dumpcap has written it.
        if (c.live) {
            const int32_t ready = live_next_ready(-1, true);
            if (ready == WSB_END)
                break;
            if (ready != WSB_OK)
                return ready;
            wtap_cleareof(c.wiretap_handle);
        }
        begin_dissection(c.wiretap_handle);
        wtap_rec_reset(&c.sequential_record);
        if (!wtap_read(c.wiretap_handle, &c.sequential_record, &c.sequential_buffer, &err, &err_info, &data_offset)) {
            if (c.live && live_read_failed(err)) {
                g_free(err_info);
                err_info = nullptr;
                err = 0;
                continue;
            }
            break;
        }
        g_free(err_info);
        err_info = nullptr;
        if (c.live)
            live_record_read();
        bool shown = true;
        int32_t status = run_in_engine_frame([&] { shown = dissect_next_packet(summary, data_offset); }, "Dissection");
        if (status != WSB_OK || shown)
            return status;
    }
    if (err != 0) {
        set_error_text(WSB_E_FILE, describe_sequential_read_error(err, err_info));
        g_free(err_info);
        return WSB_FAILED;
    }
    capture_state.state = read_state::finished;
    wtap_sequential_close(capture_state.wiretap_handle);
    postseq_cleanup_all_protocols();
    capture_state.encapsulation = wtap_file_encap(capture_state.wiretap_handle);
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
    capture_state_record &c = capture_state;
    if (!c.texts_known || c.texts_generation != dissection_generation()) {
        set_error_text(WSB_E_STATE, "\"Get Packet Texts\" operation failed. There is no current packet: read one with "
                       "gGetNextPacket or gGetPacketAtOffset (any later call that dissects a packet replaces it).");
        return WSB_FAILED;
    }
    const char *protocol_text = column_text(c.texts_have_columns, protocol_column);
    const char *info_text = column_text(c.texts_have_columns, info_column);
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

int32_t gGetFirstPacketTime(int64_t *seconds, int32_t *nanoseconds)
{
    if (!require_capture("Get First Packet Time"))
        return WSB_FAILED;
    if (!seconds || !nanoseconds) {
        set_error_text(WSB_E_BAD_ARGUMENT,
                       "\"Get First Packet Time\" operation failed. No place for the time stamp was given.");
        return WSB_FAILED;
    }
    if (nstime_is_unset(&capture_state.first_packet_time)) {
        set_error_text(WSB_E_STATE, "\"Get First Packet Time\" operation failed. No packet has been read in "
                                    "sequence yet.");
        return WSB_FAILED;
    }
    *seconds = capture_state.first_packet_time.secs;
    *nanoseconds = capture_state.first_packet_time.nsecs;
    return WSB_OK;
}

int32_t gGetPacketTimePrecision(int32_t *decimals)
{
    if (!require_capture("Get Packet Time Precision"))
        return WSB_FAILED;
    if (!decimals) {
        set_error_text(WSB_E_BAD_ARGUMENT, "\"Get Packet Time Precision\" operation failed. No place for the decimals was given.");
        return WSB_FAILED;
    }
    // wiretap's precision codes are the numbers of decimals (seconds 0 to
    // nanoseconds 9); per-packet and unknown precisions are negative.
    int precision = capture_state.frame_count > 0 ? capture_state.sequential_record.tsprec : -1;
    if (precision < 0 || precision > 9)
        precision = wtap_file_tsprec(capture_state.wiretap_handle);
    if (precision < 0 || precision > 9)
        precision = 6;
    *decimals = precision;
    return WSB_OK;
}
