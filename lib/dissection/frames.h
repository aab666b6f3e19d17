/* SPDX-License-Identifier: GPL-2.0-or-later */
// What the engine attached to every frame read in sequence from the open
// capture (its per-frame data), with the frame's time stamp. Re-reading a
// packet by its offset dissects it again as the already visited frame it
// is, so the engine finds its own analysis of that packet instead of taking
// it for a repeat, and the frame times (relative, delta) can be worked out.
// 24 bytes a frame: the rest of a frame record comes from the packet's
// record when it is re-read.
#pragma once

#include <cstdint>

#include <glib.h>
#include <epan/frame_data.h>

struct stored_frame {
    void *per_frame_data;    // the frame's per-frame data, owned here
    int64_t seconds;         // time stamp
    int32_t nanoseconds;
    uint32_t offset_low;     // low 32 bits of the file offset, to recognise the frame
    uint32_t previous_shown; // the frame shown before it when it was read (0: none)
};

// Takes over a frame just dissected in sequence (numbered one more than the
// frames stored so far): its per-frame data now belongs to the store.
// Storage grows in large blocks, not per frame.
void frames_store(frame_data *frame);

// The stored frame with that number, or null when it has not been read.
stored_frame *frames_get(uint32_t number);

// True when the frame was read in the current dissection session: only then
// does the engine know it (its per-frame data is kept).
bool frames_in_session(uint32_t number);

// The dissection session ends while the capture stays open: every stored
// per-frame data is freed (it lives in the session), the frames
// keep their numbers, times and offsets, and frames read from now on are
// stored after them.
void frames_end_session();

// How many frames were read in earlier sessions (frames 1 to that number
// are unknown to the engine's current session), and setting that number back
// after a session was ended for a pass of the library's own and the frames
// read since are dissected again into a new session.
uint32_t frames_before_session();
void frames_resume_session(uint32_t earlier);

// The time stamp of a stored frame, or null.
const nstime_t *frames_time(uint32_t number);

// Gives back the storage of the frames read in earlier sessions (a live
// capture that renews its session keeps memory flat): they are no longer
// found (frames_get is null for them), except for the first frame's time
// stamp, the reference of every relative time, and the frames of the block
// holding the last frame of the earlier sessions.
void frames_forget_earlier();

// Frees every stored list and the storage.
void frames_clear();
