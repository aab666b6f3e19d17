/* SPDX-License-Identifier: GPL-2.0-or-later */
// The state of reading in batches (private to lib/fields): a packet that was
// read (dissected) but did not fit in the batch it was read for, and a
// failure that came after a batch already held packets; both belong to the
// next call.
#pragma once

#include <cstdint>
#include <vector>

#include <epan/proto.h>

#include "wsbridge.h"
#include "compat/engine_series.h"
#include "engine/state.h"

struct batch_state_record {
    bool pending;
    uint64_t pending_generation;  // the dissection that read it
    int32_t pending_frames_read;  // records read in sequence when it was read
    uint64_t pending_filter;      // the display filter's generation then
    PacketSummary pending_summary;
    int32_t deferred_status;      // WSB_OK when no failure waits
    int32_t deferred_code;
    char deferred_message[error_text_limit + 1];
    // The records of every occurrence of a field, one packet at a time; the
    // list keeps its storage from packet to packet.
    std::vector<const field_info *> occurrences;
};
extern batch_state_record batch_state;

// The WSB_VALUE_* kind of a number the engine gave (WSB_VALUE_TEXT for text).
int32_t batch_value_kind(series_number_kind number);
