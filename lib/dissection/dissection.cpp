// SPDX-License-Identifier: GPL-2.0-or-later
// The engine session, the dissection records and the frame records of the
// open capture, and the steps every dissection goes through.
#include "dissection/dissection.h"

#include <epan/tap.h>

#include "dissection/dissection_state.h"
#include "dissection/frames.h"

dissection_state_record dissection_state;

namespace {

void open_session(wtap *capture)
{
    dissection_state_record &s = dissection_state;
    s.provider = packet_provider_data{frames_time, capture, nullptr};
    s.session = series_new_session(&s.provider);
    s.sequential = epan_dissect_new(s.session, TRUE, FALSE);
    s.treeless = epan_dissect_new(s.session, FALSE, FALSE);
    s.random = epan_dissect_new(s.session, TRUE, TRUE);
    s.sequential_used = false;
    s.treeless_used = false;
    s.random_used = false;
    s.association_base_known = false;
    s.association_base = 0;
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
    dissection_state_record &s = dissection_state;
    settle_frame(s.sequential_frame, s.sequential_frame_live, true);
    settle_frame(s.random_frame, s.random_frame_live, s.random_frame_stored);
}

// Nothing is current any more: whatever pointed into a dissection is stale.
void forget_current()
{
    dissection_state_record &s = dissection_state;
    s.current = nullptr;
    s.sequential_current = false;
    s.completion_due = false;
    ++s.generation;
}

// Ends the dissection session. keep_frames: the capture stays open and its
// frames keep their numbers and times, so that frames read afterwards are
// stored under their own numbers and found again; otherwise the store goes.
void close_session(bool keep_frames)
{
    dissection_state_record &s = dissection_state;
    if (!s.session) {
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
    epan_dissect_free(s.sequential);
    epan_dissect_free(s.treeless);
    epan_dissect_free(s.random);
    epan_free(s.session);
    s.sequential = nullptr;
    s.treeless = nullptr;
    s.random = nullptr;
    s.session = nullptr;
    forget_current();
}

// Whether the tap listeners read a protocol tree: one with a filter (the
// engine applies it to the tree), or one registered as requiring a tree (the
// statistics' protocol hierarchy), as tshark decides it.
bool listeners_need_tree()
{
    return have_filtering_tap_listeners() || (union_of_tap_listener_flags() & TL_REQUIRES_PROTO_TREE) != 0;
}

void prime(epan_dissect_t *edt, primed_filter slot)
{
    dfilter_t *filter = dissection_state.primed[static_cast<int>(slot)];
    if (filter)
        epan_dissect_prime_with_dfilter(edt, filter);
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
    const nstime_t *time = number > 1 ? frames_time(1) : nullptr;
    if (time) {
        neighbours.reference_time = *time;
        neighbours.reference = &neighbours.reference_time;
    }
    time = previous > 0 && previous < number ? frames_time(previous) : nullptr;
    if (time) {
        neighbours.previous_time = *time;
        neighbours.previous = &neighbours.previous_time;
        neighbours.previous_number = previous;
    }
}

}  // namespace

void set_primed_filter(primed_filter slot, dfilter_t *filter)
{
    dissection_state.primed[static_cast<int>(slot)] = filter;
}

void dissection_reset()
{
    close_session(false);
}

void dissection_replace_session()
{
    // The next dissection starts a new session; frame numbers and times go
    // on.
    close_session(true);
}

void dissection_renew_session_forgetting()
{
    close_session(true);
    frames_forget_earlier();
}

void begin_dissection(wtap *capture)
{
    dissection_state_record &s = dissection_state;
    // The session is made when the capture's first packet is dissected, so
    // that opening a capture without reading it costs the engine nothing
    // (series_new_session).
    if (!s.session)
        open_session(capture);
    if (s.sequential_used) {
        epan_dissect_reset(s.sequential);
        s.sequential_used = false;
    }
    if (s.treeless_used) {
        epan_dissect_reset(s.treeless);
        s.treeless_used = false;
    }
    if (s.random_used) {
        epan_dissect_reset(s.random);
        s.random_used = false;
    }
    settle_frames();
    forget_current();
    s.facts = transport_facts_record{};
}

frame_data *sequential_frame(uint32_t number, const wtap_rec *rec, int64_t data_offset, uint32_t cumulative_bytes,
                             uint32_t previous_shown)
{
    dissection_state_record &s = dissection_state;
    frame_data *fd = &s.sequential_frame;
    neighbour_times neighbours;
    fill_neighbours(neighbours, number, previous_shown);
    series_begin_frame(fd, number, rec, data_offset, cumulative_bytes, neighbours.reference, neighbours.previous,
                       neighbours.previous_number);
    s.sequential_frame_live = true;
    frames_store(fd);
    // A re-read takes the same frame as the one shown before: with a display
    // filter that is not the frame before it.
    frames_get(number)->previous_shown = previous_shown;
    return fd;
}

void end_sequential_frame(frame_data *frame, uint32_t *cumulative_bytes)
{
    series_end_frame(frame, cumulative_bytes);
}

frame_data *random_frame(const wtap_rec *rec, const packet_locator &locator, bool whole_record)
{
    dissection_state_record &s = dissection_state;
    frame_data *fd = &s.random_frame;
    stored_frame *stored = frames_get(locator.frame_number);
    // A frame read before the session was replaced is unknown to the engine
    // now: a first visit.
    s.random_frame_stored = whole_record && stored && frames_in_session(locator.frame_number) &&
                            stored->offset_low == static_cast<uint32_t>(locator.file_offset);
    neighbour_times neighbours;
    fill_neighbours(neighbours, locator.frame_number, s.random_frame_stored ? stored->previous_shown : 0);
    series_begin_frame(fd, locator.frame_number, rec, locator.file_offset, 0, neighbours.reference,
                       neighbours.previous, neighbours.previous_number);
    s.random_frame_live = true;
    if (s.random_frame_stored) {
        series_give_frame_data(fd, stored->per_frame_data);
        stored->per_frame_data = nullptr;
    }
    return fd;
}

epan_dissect_t *run_dissection(dissection_depth depth, int file_type, wtap_rec *rec, const uint8_t *data,
                               frame_data *frame, column_info *columns)
{
    dissection_state_record &s = dissection_state;
    epan_dissect_t *edt;
    switch (depth) {
    case dissection_depth::full:
        edt = s.random;
        prime(edt, primed_filter::field_registry);
        s.random_used = true;
        break;
    case dissection_depth::sequential: {
        // A protocol tree is built when something reads it: a primed filter,
        // or a tap listener with a filter or one that requires a tree. Without
        // them, a packet costs the engine no tree, as in tshark's plain
        // listing. The tree is invisible: the engine builds the items of the
        // protocols and of the primed fields only.
        const bool tree_needed = s.primed[static_cast<int>(primed_filter::field_registry)] ||
                                 s.primed[static_cast<int>(primed_filter::display_filter)] || listeners_need_tree();
        edt = tree_needed ? s.sequential : s.treeless;
        prime(edt, primed_filter::field_registry);
        prime(edt, primed_filter::display_filter);
        (tree_needed ? s.sequential_used : s.treeless_used) = true;
        break;
    }
    case dissection_depth::taps_only:
    default:
        // Listeners that require a tree without a filter (the statistics)
        // count only packets read in sequence, never these.
        if (have_filtering_tap_listeners()) {
            edt = s.sequential;
            s.sequential_used = true;
        } else {
            edt = s.treeless;
            s.treeless_used = true;
        }
        break;
    }
    s.current = edt;
    const bool first_visit = !frame->visited;
    series_dissect(edt, file_type, rec, data, frame, columns);
    // The engine's 802.11 association count goes on from capture to capture;
    // the count it had when this session met its first 802.11 frame is taken
    // off the ports it numbers (packet_ports), so that every capture counts
    // its associations from 1, as tshark does.
    if (first_visit && !s.association_base_known) {
        uint32_t at_start = 0;
        if (series_association_counts(frame, &at_start, nullptr)) {
            s.association_base = at_start;
            s.association_base_known = true;
        }
    }
    return edt;
}

void packet_ports(const epan_dissect_t *edt, uint32_t *source, uint32_t *destination)
{
    const dissection_state_record &s = dissection_state;
    const packet_info &pi = edt->pi;
    *source = pi.srcport;
    *destination = pi.destport;
    uint32_t latest = 0;
    if (s.association_base != 0 && pi.srcport == pi.destport &&
        series_association_counts(pi.fd, nullptr, &latest) && latest == pi.srcport && latest >= s.association_base) {
        *source -= s.association_base;
        *destination -= s.association_base;
    }
}

void mark_sequential_current(int32_t encapsulation)
{
    dissection_state.sequential_current = true;
    dissection_state.sequential_encapsulation = encapsulation;
}

bool sequential_packet_is_current(const packet_locator &locator)
{
    const dissection_state_record &s = dissection_state;
    const frame_data &fd = s.sequential_frame;
    return s.sequential_current && s.current && s.sequential_frame_live && fd.num == locator.frame_number &&
           fd.file_off == locator.file_offset && locator.captured_length >= 0 &&
           fd.cap_len == static_cast<guint32>(locator.captured_length) && fd.pkt_len == locator.packet_length &&
           s.sequential_encapsulation == locator.encapsulation;
}

void defer_completion(const packet_locator &locator)
{
    dissection_state.completion_due = true;
    dissection_state.completion_locator = locator;
}

bool take_completion(packet_locator *locator)
{
    if (!dissection_state.completion_due)
        return false;
    dissection_state.completion_due = false;
    *locator = dissection_state.completion_locator;
    return true;
}

bool stored_frame_offset(uint32_t number, uint32_t *offset_low)
{
    const stored_frame *known = frames_get(number);
    if (!known)
        return false;
    *offset_low = known->offset_low;
    return true;
}

epan_dissect_t *current_dissection()
{
    return dissection_state.current;
}

uint64_t dissection_generation()
{
    return dissection_state.generation;
}

transport_facts_record &transport_facts()
{
    return dissection_state.facts;
}
