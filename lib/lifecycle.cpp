// SPDX-License-Identifier: GPL-2.0-or-later
// The library's lifecycle: the one place that knows every module. Start-up,
// shutdown, opening and closing a capture each run their modules' steps in
// one ordered list here; no module starts, resets or releases another.
//
// Layers, bottom to top (a module includes only modules below it):
//   compat, compat<series>  the engine series boundary
//   engine                  error text and code, guards, engine start/stop
//   dissection, live        the session and the current dissection; the
//                           capture program of live captures
//   capture                 the capture file and its reads
//   tree, fields            the current packet's tree, fields and values
//   save, follow, stats     saving packets, following conversations,
//                           statistics tables
//   lib/ (this file)        the lifecycle and the layout checks
#include <epan/epan.h>

#include "wsbridge.h"
#include "capture/capture.h"
#include "dissection/dissection.h"
#include "engine/engine.h"
#include "engine/state.h"
#include "fields/fields.h"
#include "follow/follow.h"
#include "live/live.h"
#include "save/save.h"
#include "stats/stats.h"

int32_t gInitEpan(void)
{
    if (engine_state() != engine_lifecycle::not_started) {
        set_error_text(WSB_E_STATE, "Wireshark engine was already initialized.");
        return WSB_FAILED;
    }
    if (!engine_start())
        return WSB_FAILED;
    capture_init();
    fields_init();
    if (!dissection_init())
        return WSB_FAILED;
    set_engine_state(engine_lifecycle::running);
    fields_register_payload_fields();
    apply_preference_overrides();
    return WSB_OK;
}

int32_t gCleanupEpan(void)
{
    if (!require_engine("Cleanup"))
        return WSB_FAILED;
    // Nothing can be called on a capture or a save file once the engine is
    // down: a save file still open is completed so that its packets are not
    // lost, and the capture is closed. Dissections and the session point into
    // engine tables that the engine's shutdown frees; they go first.
    fields_release();
    follow_release();
    stats_release();
    const bool save_completed = save_shutdown();
    dissection_reset();
    capture_close();
    capture_shutdown();
    engine_stop();
    set_engine_state(engine_lifecycle::shut_down);
    return save_completed ? WSB_OK : WSB_FAILED;
}

namespace {

// What ends with a capture: the followed stream (its endpoints and payload
// belong to the file), a batch's pending packet, the dissections, the file.
void end_capture()
{
    follow_release();
    batch_forget_pending();
    dissection_reset();
    capture_close();
    // Whatever a host took from the capture's dissections is stale now, also
    // when nothing was dissected (gGetDissectionGeneration).
    forget_current_dissection();
}

}  // namespace

int32_t gOpenCapture(const char *path)
{
    // The engine may report a failure (a message) while it still reads the path.
    argument_copy path_copy;
    path = unaliased_argument(path, path_copy);
    if (!require_engine("Open Capture"))
        return WSB_FAILED;
    if (!require_path("Open Capture", path))
        return WSB_FAILED;
    wtap *handle = capture_open_file(path);
    if (!handle)
        return WSB_FAILED;
    // A capture that is still open gives way to the new one, and so does a
    // followed stream: its endpoints and payload belong to the old file.
    end_capture();
    capture_adopt(handle, path);
    // The statistics tables count the new capture from nothing.
    stats_reset();
    return WSB_OK;
}

int32_t gOpenLiveCapture(const WsbLiveOptions *options)
{
    static const char operation[] = "Open Live Capture";
    if (!require_engine(operation))
        return WSB_FAILED;
    if (!options || !options->interface_name || !*options->interface_name) {
        set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. No interface was given.", operation);
        return WSB_FAILED;
    }
    if (options->snap_length < 0 || options->stop_after_packets < 0 || options->stop_after_seconds < 0 ||
        options->session_packets < 0 || options->ring_file_kilobytes < 0 || options->ring_files < 0) {
        set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. A count, length or size of the options is "
                         "negative.", operation);
        return WSB_FAILED;
    }
    if (options->ring_files != 0 && (options->ring_file_kilobytes == 0 || options->ring_files < 2)) {
        set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. A ring of spool files needs a file size and "
                         "at least 2 files (%d given).", operation, options->ring_files);
        return WSB_FAILED;
    }
    if (capture_share_set()) {
        set_error_format(WSB_E_STATE, "\"%s\" operation failed. A live capture is read whole: set the reading share "
                         "back to (0, 1) first.", operation);
        return WSB_FAILED;
    }
    // The capture open until now (and its dumpcap) goes first: one capture
    // program at a time.
    if (capture_is_open())
        end_capture();
    const live_request request{options->interface_name,     options->capture_filter,     options->spool_folder,
                               options->snap_length,        options->stop_after_packets, options->stop_after_seconds,
                               options->ring_file_kilobytes, options->ring_files};
    if (!capture_open_live(request, options->session_packets))
        return WSB_FAILED;
    stats_reset();
    return WSB_OK;
}

int32_t gCloseCapture(void)
{
    if (!require_capture("Close Capture"))
        return WSB_FAILED;
    end_capture();
    return WSB_OK;
}

void gHackedCleanup(void)
{
    // Per-capture dissection state goes with the session (series_new_session);
    // a new session keeps later dissections of the open capture safe.
    if (engine_state() == engine_lifecycle::running)
        dissection_replace_session();
}

int32_t gSetPreference(const char *assignment)
{
    if (!require_engine("Set Preference"))
        return WSB_FAILED;
    if (!assignment) {
        set_error_text(WSB_E_BAD_ARGUMENT, "\"Set Preference\" operation failed. No preference was given.");
        return WSB_FAILED;
    }
    // Dissectors read their preferences as they go: a change in the middle
    // of a capture would dissect its packets under two settings.
    if (capture_is_open()) {
        set_error_text(WSB_E_STATE, "\"Set Preference\" operation failed. Preferences can be changed only while no capture is "
                       "open.");
        return WSB_FAILED;
    }
    return set_engine_preference(assignment) ? WSB_OK : WSB_FAILED;
}

int32_t gGetVersion(const char **library_version, const char **engine_version)
{
    if (!library_version || !engine_version) {
        set_error_text(WSB_E_BAD_ARGUMENT, "\"Get Version\" operation failed. No place for the version texts was given.");
        return WSB_FAILED;
    }
    *library_version = WSB_VERSION_STRING;
    *engine_version = epan_get_version();
    return WSB_OK;
}
