// SPDX-License-Identifier: GPL-2.0-or-later
// Passes of the library's own over the whole capture (see capture.h): a
// second wiretap handle on the capture's file stands in for the capture while
// the pass is on, and the dissection session of sequential reading is put
// back afterwards by dissecting its frames again, in order.
//
// The engine keeps one dissection session per process (its conversation
// tables, reassembly and analyses are global), so a pass that dissects
// packets sequential reading has not reached would leave them behind as seen:
// later sequential reading would meet them a second time. The pass dissects
// in a session of its own instead; ending it loses the state of sequential
// reading's session, which a new session regains by dissecting the frames
// that session knew in their order, as sequential reading dissected them.
#include "capture/capture.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>

#include <epan/packet.h>
#include <wsutil/buffer.h>

#include "wsbridge.h"
#include "capture/capture_state.h"
#include "engine/guarded_call.h"
#include "engine/messages.h"
#include "engine/state.h"

namespace {

// The pass under way. Its own record: passes are short-lived and nothing
// outside this file reads it.
struct side_pass_record {
    bool active;
    const char *operation;     // names the call in messages (a static text)
    bool own_session;
    bool session_existed;      // a dissection session existed when it began
    uint32_t frames_before;    // frames of earlier sessions then
    uint32_t frames_read;      // frames sequential reading had read then
    wtap *main_handle;         // the capture's own handle, put back at the end
    wtap *side_handle;         // the capture while the pass is on
    wtap *reader;              // what side_pass_next reads: side_handle, or one of its own after a restart
    char *opened_as;           // the name the file was opened by again
    int32_t share_index;       // sequential reading's share, put back at the end
    int32_t share_count;
    wtap_rec record;           // the record side_pass_next read last
    Buffer buffer;
    uint32_t number;           // records the reader has read
    bool dissected;            // a dissection may still point into record
    // side_pass_match's frame neighbours: the first record's time stamp and
    // the shown packet before, and the bytes of the packets shown.
    bool have_first;
    nstime_t first_time;
    bool have_shown;
    nstime_t shown_time;
    uint32_t shown_number;
    uint32_t cumulative_bytes;
};
side_pass_record side;

// The name under which the capture's file can be opened again: its path
// while the file there is the one opened (same device and inode); otherwise
// (the file was moved or replaced, or a relative path no longer leads to it)
// a descriptor of this process open on that file, which the capture's own
// handle keeps. Null when none is found.
const char *name_of_capture_file(char *buffer, size_t size)
{
    const capture_state_record &c = capture_state;
    if (!c.identity_known)
        return nullptr;
    struct stat info;
    if (stat(c.path, &info) == 0 && info.st_dev == c.device && info.st_ino == c.inode)
        return c.path;
    DIR *folder = opendir("/proc/self/fd");
    if (!folder)
        return nullptr;
    const char *found = nullptr;
    while (const struct dirent *entry = readdir(folder)) {
        if (entry->d_name[0] == '.')
            continue;
        if (fstatat(dirfd(folder), entry->d_name, &info, 0) == 0 && S_ISREG(info.st_mode) &&
            info.st_dev == c.device && info.st_ino == c.inode) {
            snprintf(buffer, size, "/proc/self/fd/%s", entry->d_name);
            found = buffer;
            break;
        }
    }
    closedir(folder);
    return found;
}

// Opens the capture's file once more (random access included); null with
// the message written.
wtap *open_capture_again(const char *operation, const char *name)
{
    int err = 0;
    gchar *err_info = nullptr;
    wtap *handle = wtap_open_offline(name, WTAP_TYPE_AUTO, &err, &err_info, TRUE);
    if (!handle) {
        set_error_text(WSB_E_FILE, describe_open_error(err, err_info, false, capture_state.path, capture_state.file_type));
        g_free(err_info);
        return nullptr;
    }
    g_free(err_info);
    if (wtap_file_type_subtype(handle) != capture_state.file_type) {
        wtap_close(handle);
        set_error_format(WSB_E_FILE, "\"%s\" operation failed. The file \"%s\" is no longer the capture that was opened.",
                         operation, capture_state.path);
        return nullptr;
    }
    return handle;
}

// Whether sequential reading's share holds frame `number`, this record (the
// pass reads every share); not when that is not known.
bool in_main_share(uint32_t number, const wtap_rec &record, const Buffer &bytes)
{
    capture_state_record &c = capture_state;
    c.share_index = side.share_index;
    c.share_count = side.share_count;
    const bool in = reading_share_holds(number, record, bytes) == 1;
    c.share_index = 0;
    c.share_count = 1;
    return in;
}

// Dissects frames before+1 to frames (those of them in the reading share)
// again into a new session, as sequential reading dissected them. False with
// the message written; the frames then count as frames of an earlier session.
bool replay_sequential_session(uint32_t before, uint32_t frames)
{
    capture_state_record &c = capture_state;
    wtap *handle = open_capture_again(side.operation, side.opened_as);
    if (!handle)
        return false;
    resume_session_frames(before);
    wtap_rec record;
    Buffer buffer;
    wtap_rec_init(&record);
    ws_buffer_init(&buffer, 2048);
    bool done = true;
    bool dissected = false;
    // A live capture's spool file begins after the frames of its earlier files.
    const uint32_t first = c.live ? c.live_file_base + 1 : 1;
    for (uint32_t number = first; number <= frames; ++number) {
        if (dissected) {
            begin_dissection(c.wiretap_handle);
            dissected = false;
        }
        int err = 0;
        gchar *err_info = nullptr;
        gint64 offset = 0;
        wtap_rec_reset(&record);
        if (!wtap_read(handle, &record, &buffer, &err, &err_info, &offset)) {
            set_error_text(WSB_E_FILE, err ? describe_sequential_read_error(err, err_info)
                                           : "The capture file became shorter while it was read again.");
            g_free(err_info);
            done = false;
            break;
        }
        g_free(err_info);
        if (number <= before || reading_share_holds(number, record, buffer) != 1)
            continue;
        begin_dissection(c.wiretap_handle);
        dissected = true;
        const int32_t status = run_in_engine_frame(
            [&] {
                frame_data *fd = replayed_frame(number, &record, offset);
                run_dissection(dissection_depth::sequential, c.file_type, &record, ws_buffer_start_ptr(&buffer), fd,
                               c.summary_texts ? &c.columns : nullptr);
            },
            "Dissection");
        if (status == WSB_OUT_OF_MEMORY) {
            set_error_format(WSB_E_OUT_OF_MEMORY, "\"%s\" operation failed. The engine ran out of memory while "
                             "dissecting the packets read so far again.", side.operation);
            done = false;
            break;
        }
    }
    if (dissected)
        begin_dissection(c.wiretap_handle);
    // Sequential reading at its end left the engine's tables as its last
    // step does.
    if (done && c.state == read_state::finished)
        postseq_cleanup_all_protocols();
    if (!done) {
        dissection_replace_session();
        resume_session_frames(frames);
    }
    wtap_rec_cleanup(&record);
    ws_buffer_free(&buffer);
    wtap_close(handle);
    return done;
}

}  // namespace

bool side_pass_begin(const char *operation, bool own_session)
{
    capture_state_record &c = capture_state;
    if (!require_capture(operation))
        return false;
    if (side.active) {
        set_error_format(WSB_E_STATE, "\"%s\" operation failed. Another pass over the capture is under way.", operation);
        return false;
    }
    if (c.sequential_only) {
        set_error_format(WSB_E_UNSUPPORTED, "\"%s\" operation failed. The capture \"%s\" is a pipe, read in sequence "
                         "only: it cannot be read again from its first packet.", operation, c.path);
        return false;
    }
    char proc_name[300];
    const char *name = name_of_capture_file(proc_name, sizeof proc_name);
    if (!name) {
        set_error_format(WSB_E_FILE, "\"%s\" operation failed. The capture \"%s\" cannot be read again: the file that "
                         "was opened is no longer found.", operation, c.path);
        return false;
    }
    wtap *handle = open_capture_again(operation, name);
    if (!handle)
        return false;
    side = side_pass_record{};
    side.active = true;
    side.operation = operation;
    side.own_session = own_session;
    side.session_existed = dissection_session_open();
    side.frames_before = session_frames_before();
    side.frames_read = static_cast<uint32_t>(c.frame_count);
    side.main_handle = c.wiretap_handle;
    side.side_handle = handle;
    side.reader = handle;
    side.opened_as = g_strdup(name);
    side.share_index = c.share_index;
    side.share_count = c.share_count;
    wtap_rec_init(&side.record);
    ws_buffer_init(&side.buffer, 2048);
    // Sequential reading's session ends here; side_pass_end makes it again.
    if (own_session)
        dissection_replace_session();
    c.wiretap_handle = handle;
    c.share_index = 0;
    c.share_count = 1;
    return true;
}

int side_pass_next(side_record *out)
{
    if (side.own_session || side.dissected) {
        begin_dissection(capture_state.wiretap_handle);
        side.dissected = false;
    }
    int err = 0;
    gchar *err_info = nullptr;
    gint64 offset = 0;
    wtap_rec_reset(&side.record);
    // A live capture's pass ends at the packets read in sequence so far
    // (dumpcap may have written more).
    const capture_state_record &c = capture_state;
    if (c.live && c.live_file_base + side.number >= side.frames_read)
        return 0;
    if (!wtap_read(side.reader, &side.record, &side.buffer, &err, &err_info, &offset)) {
        if (err) {
            set_error_text(WSB_E_FILE, describe_sequential_read_error(err, err_info));
            g_free(err_info);
            return -1;
        }
        g_free(err_info);
        return 0;
    }
    g_free(err_info);
    ++side.number;
    out->number = (c.live ? c.live_file_base : 0) + side.number;
    out->offset = offset;
    out->record = &side.record;
    out->bytes = ws_buffer_start_ptr(&side.buffer);
    out->in_share = in_main_share(out->number, side.record, side.buffer);
    return 1;
}

bool side_pass_restart()
{
    if (side.dissected) {
        begin_dissection(capture_state.wiretap_handle);
        side.dissected = false;
    }
    wtap *handle = open_capture_again(side.operation, side.opened_as);
    if (!handle)
        return false;
    if (side.reader != side.side_handle)
        wtap_close(side.reader);
    side.reader = handle;
    side.number = 0;
    side.have_first = false;
    side.have_shown = false;
    side.cumulative_bytes = 0;
    return true;
}

void side_pass_take_own_session()
{
    if (!side.active || side.own_session)
        return;
    side.own_session = true;
    dissection_replace_session();
}

int32_t side_pass_match(const side_record &record, dfilter_t *filter, bool *matched)
{
    capture_state_record &c = capture_state;
    *matched = false;
    if (!side.have_first) {
        side.first_time = side.record.ts;
        side.have_first = true;
    }
    set_primed_filter(primed_filter::display_filter, filter);
    side.dissected = true;
    frame_data *fd = nullptr;
    const int32_t status = run_in_engine_frame(
        [&] {
            fd = passing_frame(record.number, &side.record, record.offset, side.cumulative_bytes,
                               record.number > 1 ? &side.first_time : nullptr,
                               side.have_shown ? &side.shown_time : nullptr, side.shown_number);
            epan_dissect_t *edt = run_dissection(dissection_depth::sequential, c.file_type, &side.record,
                                                 ws_buffer_start_ptr(&side.buffer), fd, &c.columns);
            *matched = dfilter_apply_edt(filter, edt);
        },
        "Dissection");
    if (status == WSB_OK && *matched) {
        side.shown_time = fd->abs_ts;
        side.shown_number = record.number;
        side.have_shown = true;
        end_sequential_frame(fd, &side.cumulative_bytes);
    }
    if (status == WSB_OUT_OF_MEMORY)
        set_error_format(WSB_E_OUT_OF_MEMORY, "\"%s\" operation failed. The engine ran out of memory while dissecting "
                         "frame %u.", side.operation, record.number);
    return status;
}

bool side_pass_end()
{
    capture_state_record &c = capture_state;
    if (!side.active)
        return true;
    c.wiretap_handle = side.main_handle;
    c.share_index = side.share_index;
    c.share_count = side.share_count;
    set_primed_filter(primed_filter::display_filter, c.display_filter);
    // Sessions made during the pass answer the engine from the pass's
    // handle: they end before it closes.
    if (side.own_session || (!side.session_existed && dissection_session_open()))
        dissection_replace_session();
    const bool replay_due = side.own_session && side.frames_read > side.frames_before;
    if (side.reader != side.side_handle)
        wtap_close(side.reader);
    wtap_close(side.side_handle);
    wtap_rec_cleanup(&side.record);
    ws_buffer_free(&side.buffer);
    const bool replayed = !replay_due || replay_sequential_session(side.frames_before, side.frames_read);
    g_free(side.opened_as);
    side = side_pass_record{};
    forget_current_dissection();
    return replayed;
}
