// SPDX-License-Identifier: GPL-2.0-or-later
// What passes of the library's own over the whole capture need of the
// dissection: whether a session exists, the frames sequential reading's
// session knows, frame records for records dissected again or in a pass of
// their own, and the library's dissection generation as hosts see it.
#include "dissection/dissection.h"

#include "wsbridge.h"
#include "dissection/dissection_state.h"
#include "dissection/frames.h"
#include "engine/state.h"

bool dissection_session_open()
{
    return dissection_state.session != nullptr;
}

uint32_t session_frames_before()
{
    return frames_before_session();
}

void resume_session_frames(uint32_t before)
{
    frames_resume_session(before);
}

frame_data *replayed_frame(uint32_t number, const wtap_rec *rec, int64_t offset)
{
    dissection_state_record &s = dissection_state;
    frame_data *fd = &s.sequential_frame;
    // The neighbours sequential reading gave it: the first frame and the
    // frame before (their stored time stamps; copies, as the lookup reuses
    // one slot).
    nstime_t reference{}, previous{};
    const nstime_t *time = number > 1 ? frames_time(1) : nullptr;
    const bool have_reference = time != nullptr;
    if (time)
        reference = *time;
    time = number > 1 ? frames_time(number - 1) : nullptr;
    const bool have_previous = time != nullptr;
    if (time)
        previous = *time;
    series_begin_frame(fd, number, rec, offset, 0, have_reference ? &reference : nullptr,
                       have_previous ? &previous : nullptr, have_previous ? number - 1 : 0);
    // Settling the frame hands its per-frame data to its place in the store.
    s.sequential_frame_live = true;
    return fd;
}

frame_data *passing_frame(uint32_t number, const wtap_rec *rec, int64_t offset, uint32_t cumulative_bytes,
                          const nstime_t *reference, const nstime_t *previous, uint32_t previous_number)
{
    dissection_state_record &s = dissection_state;
    frame_data *fd = &s.random_frame;
    // A first visit whose per-frame data goes with the frame record.
    s.random_frame_stored = false;
    series_begin_frame(fd, number, rec, offset, cumulative_bytes, reference, previous, previous ? previous_number : 0);
    s.random_frame_live = true;
    return fd;
}

void forget_current_dissection()
{
    dissection_state_record &s = dissection_state;
    s.current = nullptr;
    s.sequential_current = false;
    s.completion_due = false;
    ++s.generation;
}

int32_t gGetDissectionGeneration(uint64_t *generation)
{
    if (!require_engine("Get Dissection Generation"))
        return WSB_FAILED;
    if (!generation) {
        set_error_text(WSB_E_BAD_ARGUMENT,
                       "\"Get Dissection Generation\" operation failed. No place for the generation was given.");
        return WSB_FAILED;
    }
    *generation = dissection_state.generation;
    return WSB_OK;
}
