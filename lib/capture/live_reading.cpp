// SPDX-License-Identifier: GPL-2.0-or-later
// Reading a live capture's spool as dumpcap writes it, as tshark reads it:
// a record is read only once dumpcap has reported it written (it flushes
// the file first), so a read never meets a record half written; at the end
// of the spool file wiretap's end-of-file mark is cleared and reading goes
// on when more is reported. When dumpcap moves to the next file of its ring,
// every packet of the file before has been reported: once those are read,
// the next file becomes the capture's and the dissection session is renewed
// (the session's interfaces are those of the file). With a session option,
// the session is renewed every N packets as well; either way the frames
// read before are given back and cannot be read again.
#include <cerrno>
#include <cstring>

#include <sys/stat.h>

#include "wsbridge.h"
#include "capture/capture.h"
#include "capture/capture_state.h"
#include "engine/state.h"
#include "live/live.h"

namespace {

// The frames read so far belong to an earlier session from now on.
void renew_session()
{
    capture_state_record &c = capture_state;
    dissection_renew_session_forgetting();
    c.live_session_base = static_cast<uint32_t>(c.frame_count);
    c.live_forgotten = static_cast<uint32_t>(c.frame_count);
}

// Moves on to dumpcap's next spool file. False with the message written.
bool next_spool_file()
{
    capture_state_record &c = capture_state;
    const char *path = live_file_path(c.live_file_index + 1);
    wtap *handle = capture_open_file(path);
    if (!handle) {
        set_error_format(WSB_E_FILE, "The live capture's next spool file \"%s\" cannot be read (dumpcap's ring may "
                         "have removed it before it was read: give the ring more or larger files). %s",
                         path, gGetLastError());
        return false;
    }
    // The old session answers the engine from the old file's interfaces.
    renew_session();
    wtap_close(c.wiretap_handle);
    c.wiretap_handle = handle;
    g_free(c.path);
    c.path = g_strdup(path);
    struct stat identity;
    c.identity_known = stat(path, &identity) == 0;
    c.device = c.identity_known ? identity.st_dev : 0;
    c.inode = c.identity_known ? identity.st_ino : 0;
    c.file_type = wtap_file_type_subtype(handle);
    ++c.live_file_index;
    c.live_read_in_file = 0;
    c.live_file_base = static_cast<uint32_t>(c.frame_count);
    return true;
}

int64_t monotonic_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

}  // namespace

bool capture_share_set()
{
    return capture_state.share_count > 1;
}

bool capture_open_live(const live_request &request, int32_t session_packets)
{
    if (!live_start(request))
        return false;
    wtap *handle = capture_open_file(live_file_path(0));
    if (!handle) {
        live_close();
        return false;
    }
    capture_adopt(handle, live_file_path(0));
    capture_state_record &c = capture_state;
    c.live = true;
    c.live_file_index = 0;
    c.live_read_in_file = 0;
    c.live_draining = false;
    c.live_drained = false;
    c.live_session_packets = session_packets;
    c.live_session_base = 0;
    c.live_forgotten = 0;
    c.live_file_base = 0;
    return true;
}

int32_t live_next_ready(int32_t timeout_ms, bool advance)
{
    capture_state_record &c = capture_state;
    const int64_t deadline = timeout_ms < 0 ? -1 : monotonic_ms() + timeout_ms;
    for (;;) {
        if (c.live_draining) {
            if (!c.live_drained)
                return WSB_OK;
            return live_ended_well() ? WSB_END : WSB_FAILED;
        }
        if (c.live_read_in_file < live_file_packets(c.live_file_index))
            break;
        if (c.live_file_index + 1 < live_file_count()) {
            if (!advance)
                return WSB_OK;
            if (!next_spool_file())
                return WSB_FAILED;
            continue;
        }
        if (live_ended()) {
            // Whatever dumpcap wrote and did not report (killed before it
            // could) is read too, up to the first record not whole.
            c.live_draining = true;
            continue;
        }
        int32_t left = -1;
        if (deadline >= 0) {
            const int64_t remaining = deadline - monotonic_ms();
            left = remaining > 0 ? static_cast<int32_t>(remaining) : 0;
        }
        if (!live_wait(left))
            return WSB_TIMED_OUT;
    }
    // The session option: the next record begins a new session.
    if (advance && c.live_session_packets > 0 &&
        static_cast<uint32_t>(c.frame_count) - c.live_session_base >= static_cast<uint32_t>(c.live_session_packets))
        renew_session();
    return WSB_OK;
}

bool live_read_failed(int err)
{
    capture_state_record &c = capture_state;
    (void)err;
    if (c.live_draining) {
        // The end of what dumpcap wrote (a record cut off by its death is
        // not one).
        c.live_drained = true;
        return true;
    }
    // Fewer records than reported (dumpcap counts a block wiretap does not
    // hand out as a record): wait for more.
    c.live_read_in_file = live_file_packets(c.live_file_index);
    return true;
}

void live_record_read()
{
    ++capture_state.live_read_in_file;
}

bool live_frame_readable(uint32_t number)
{
    const capture_state_record &c = capture_state;
    if (!c.live || number > c.live_forgotten)
        return true;
    set_error_format(WSB_E_STALE, "Frame %u of the live capture was read before its dissection session was renewed "
                     "(frames 1 to %u: the session option or dumpcap's next spool file): it cannot be read again.",
                     number, c.live_forgotten);
    return false;
}

bool capture_record_waiting()
{
    const capture_state_record &c = capture_state;
    if (!c.live)
        return true;
    return c.state != read_state::finished && live_next_ready(0, false) == WSB_OK;
}

int32_t gWaitForPacket(int32_t timeout_ms)
{
    if (!require_capture("Wait For Packet"))
        return WSB_FAILED;
    capture_state_record &c = capture_state;
    if (c.state == read_state::finished)
        return WSB_END;
    if (!c.live)
        return WSB_OK;
    // Waiting changes nothing the host holds: the current packet stays.
    return live_next_ready(timeout_ms, false);
}

int32_t gGetLiveCaptureCounts(uint64_t *written, uint64_t *dropped)
{
    if (!require_capture("Get Live Capture Counts"))
        return WSB_FAILED;
    if (!capture_state.live) {
        set_error_text(WSB_E_STATE, "\"Get Live Capture Counts\" operation failed. The open capture is a file, not a "
                                    "live capture.");
        return WSB_FAILED;
    }
    if (!written || !dropped) {
        set_error_text(WSB_E_BAD_ARGUMENT, "\"Get Live Capture Counts\" operation failed. No place for the counts was "
                                           "given.");
        return WSB_FAILED;
    }
    *written = live_written();
    *dropped = live_dropped();
    return WSB_OK;
}
