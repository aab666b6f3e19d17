/* SPDX-License-Identifier: GPL-2.0-or-later */
// The dissection module's state record (private to lib/dissection).
#pragma once

#include "dissection/dissection.h"

struct dissection_state_record {
    epan_t *session;  // made at the capture's first dissection
    packet_provider_data provider;
    // Sequential: invisible tree; treeless: no tree (sequential reading and
    // tap-only re-reads when nothing reads a tree); random: visible tree with
    // labels. Each is reset before the next dissection when it was used.
    epan_dissect_t *sequential;
    epan_dissect_t *treeless;
    epan_dissect_t *random;
    bool sequential_used;
    bool treeless_used;
    bool random_used;
    frame_data sequential_frame;  // refilled for every packet read in sequence
    bool sequential_frame_live;   // its per-frame data not yet stored
    frame_data random_frame;      // refilled for every packet read by offset
    bool random_frame_live;       // its per-frame data not yet settled
    bool random_frame_stored;     // it carries a stored frame's data
    epan_dissect_t *current;      // the dissection the other modules read
    uint64_t generation;
    bool sequential_current;      // current is that of the last sequential read
    int32_t sequential_encapsulation;
    bool completion_due;
    packet_locator completion_locator;
    transport_facts_record facts;
    // The engine's 802.11 association count when the session's first 802.11
    // frame was dissected (series_association_counts).
    bool association_base_known;
    uint32_t association_base;
    tcp_tap_hook tcp_hook;
    dfilter_t *primed[static_cast<int>(primed_filter::count)];
};
extern dissection_state_record dissection_state;
