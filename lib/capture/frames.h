// Every frame read in sequence from the open capture, kept with the
// per-frame data the engine attached to it. Re-reading a packet by its offset
// dissects it again with its own frame, as an already visited frame, so the
// engine's conversation analysis gives the same tree as in sequence and the
// frame times (relative, delta) can be worked out.
#pragma once

#include <cstdint>

#include <epan/frame_data.h>

// A zeroed record for the next frame; frames are numbered from 1 in the
// order they are appended. Storage grows in large blocks, not per frame.
frame_data *frames_append();

// The frame with that number, or null when it has not been read.
frame_data *frames_get(uint32_t number);

uint32_t frames_count();

// Destroys every frame and releases the storage.
void frames_clear();
