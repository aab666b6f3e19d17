// SPDX-License-Identifier: GPL-2.0-or-later
// Reading packets in batches: the sequential read of gGetNextPacket, packet
// after packet, with the summaries, the values of chosen fields and the whole
// column texts written into arrays the host owns. One foreign call reads a
// batch, so a host in another language pays its call overhead once per batch
// instead of once per packet and value.
//
// Nothing of the per-packet path allocates memory of its own: values go into
// the host's slots and texts into its text space; the scratch list of
// records below keeps its storage from packet to packet.
#include "fields/batch.h"
#include "fields/fields.h"
#include "fields/matched.h"
#include "fields/registry.h"

#include <cstring>
#include <vector>

#include <epan/epan_dissect.h>
#include <epan/proto.h>

#include "wsbridge.h"
#include "capture/capture.h"
#include "compat/engine_series.h"
#include "dissection/dissection.h"
#include "engine/guarded_call.h"
#include "engine/state.h"

batch_state_record batch_state;

int32_t batch_value_kind(series_number_kind number)
{
    switch (number) {
    case series_number_kind::signed_integer: return WSB_VALUE_INT;
    case series_number_kind::unsigned_integer: return WSB_VALUE_UINT;
    case series_number_kind::boolean: return WSB_VALUE_BOOL;
    case series_number_kind::floating: return WSB_VALUE_DOUBLE;
    case series_number_kind::absolute_time: return WSB_VALUE_TIME;
    case series_number_kind::relative_time: return WSB_VALUE_DURATION;
    case series_number_kind::text: break;
    }
    return WSB_VALUE_TEXT;
}

namespace {

const char operation[] = "Get Next Packet Batch";


// Where the next value and text go; what a packet wrote is taken back when
// the packet does not fit.
struct batch_cursor {
    int32_t values;
    int64_t texts;
};

// The locator of a packet a batch returned.
packet_locator locator_of(const PacketSummary &summary)
{
    return {summary.frame_number, summary.file_offset, static_cast<int32_t>(summary.captured_length),
            summary.packet_length, summary.encapsulation};
}

// Copies text (bytes and NUL) into the text space; false when it does not fit.
bool put_text(WsbPacketBatch *batch, batch_cursor &cursor, const char *text, size_t length, int64_t *offset)
{
    const int64_t needed = static_cast<int64_t>(length) + 1;
    if (!batch->texts || batch->text_capacity - cursor.texts < needed)
        return false;
    memcpy(batch->texts + cursor.texts, text, length);
    batch->texts[cursor.texts + static_cast<int64_t>(length)] = '\0';
    *offset = cursor.texts;
    cursor.texts += needed;
    return true;
}


// One value into its slot: a number where the field's type has one, else
// the text tshark -T fields prints. False when the text does not fit.
// Runs inside the engine's frame.
bool put_value(WsbPacketBatch *batch, batch_cursor &cursor, const field_info *record, WsbBatchValue *slot,
               epan_dissect_t *edt)
{
    slot->text_size = 0;
    slot->value.u = 0;
    int64_t signed_value = 0;
    uint64_t unsigned_value = 0;
    double floating = 0;
    const series_number_kind number = series_value_number(record, &signed_value, &unsigned_value, &floating);
    if (number != series_number_kind::text) {
        // Where each kind of number goes: value.u for unsigned integers and
        // booleans, value.d for floating values, value.i for the rest.
        slot->kind = batch_value_kind(number);
        if (slot->kind == WSB_VALUE_UINT || slot->kind == WSB_VALUE_BOOL)
            slot->value.u = unsigned_value;
        else if (slot->kind == WSB_VALUE_DOUBLE)
            slot->value.d = floating;
        else
            slot->value.i = signed_value;
        return true;
    }
    // The engine composes the text (as for gGetFieldValueText); a value it
    // has no text for (tshark prints nothing) counts as absent, as that call
    // fails for it.
    char *composed = series_field_text(record, edt);
    if (!composed) {
        slot->kind = WSB_VALUE_ABSENT;
        return true;
    }
    const size_t length = strlen(composed);
    int64_t offset = 0;
    const bool fits = put_text(batch, cursor, composed, length, &offset);
    g_free(composed);
    if (!fits)
        return false;
    slot->kind = WSB_VALUE_TEXT;
    slot->text_size = static_cast<int32_t>(length);
    slot->value.text_offset = offset;
    return true;
}

// Whether node or one of its descendants comes before the other in tree
// order is what a walk of the tree tells: the records gathered from several
// engine ids of one name are put in the order the walk meets them.
void order_by_tree(proto_tree *tree, size_t count)
{
    size_t placed = 0;
    for (proto_node *node = tree ? tree->first_child : nullptr; node && placed < count;
         node = next_in_tree(node, tree)) {
        for (size_t i = placed; i < count; ++i) {
            if (node->finfo == batch_state.occurrences[i]) {
                std::swap(batch_state.occurrences[i], batch_state.occurrences[placed]);
                ++placed;
                break;
            }
        }
    }
}

// Every occurrence of the registered name of engine id `id` in the current
// dissection, in tree order: the records of each engine id of the name come
// in the order the dissectors added them.
void gather_occurrences(int32_t id, proto_tree *tree)
{
    batch_state.occurrences.clear();
    header_field_info *hfinfo =
        tree ? first_registration_of_name(proto_registrar_get_nth(static_cast<guint>(id))) : nullptr;
    int ids_with_records = 0;
    for (header_field_info *h = hfinfo; h; h = h->same_name_next) {
        GPtrArray *records = proto_get_finfo_ptr_array(tree, h->id);
        if (!records || records->len == 0)
            continue;
        ++ids_with_records;
        for (guint i = 0; i < records->len; ++i)
            batch_state.occurrences.push_back(static_cast<const field_info *>(g_ptr_array_index(records, i)));
    }
    if (ids_with_records > 1)
        order_by_tree(tree, batch_state.occurrences.size());
}

// The values and texts of the current packet as row `row` of the batch.
// False when they do not fit; the cursor then still stands where it stood.
bool put_packet(WsbPacketBatch *batch, int32_t row, batch_cursor &cursor)
{
    const batch_cursor start = cursor;
    epan_dissect_t *edt = current_dissection();
    proto_tree *tree = edt ? edt->tree : nullptr;
    bool fits = true;
    const int32_t count = batch->field_count;
    for (int32_t f = 0; f < count && fits; ++f) {
        const int32_t id = batch->field_ids[f];
        if (batch->occurrences == WSB_BATCH_FIRST) {
            WsbBatchValue *slot = &batch->values[static_cast<int64_t>(row) * count + f];
            const field_info *record = tree ? records_of_name(id).first : nullptr;
            if (!record) {
                slot->kind = WSB_VALUE_ABSENT;
                slot->text_size = 0;
                slot->value.u = 0;
            } else {
                fits = put_value(batch, cursor, record, slot, edt);
            }
            continue;
        }
        batch->value_starts[static_cast<int64_t>(row) * count + f] = cursor.values;
        gather_occurrences(id, tree);
        for (const field_info *record : batch_state.occurrences) {
            if (cursor.values >= batch->value_capacity) {
                fits = false;
                break;
            }
            if (!put_value(batch, cursor, record, &batch->values[cursor.values], edt)) {
                fits = false;
                break;
            }
            ++cursor.values;
        }
    }
    if (fits && batch->whole_texts) {
        const char *protocol = nullptr;
        const char *info = nullptr;
        capture_whole_texts(&protocol, &info);
        int64_t *offsets = &batch->text_offsets[2 * static_cast<int64_t>(row)];
        fits = put_text(batch, cursor, protocol, strlen(protocol), &offsets[0]) &&
               put_text(batch, cursor, info, strlen(info), &offsets[1]);
    }
    if (!fits) {
        cursor = start;
        if (batch->occurrences == WSB_BATCH_ALL && count > 0)
            batch->value_starts[static_cast<int64_t>(row) * count] = cursor.values;
        return false;
    }
    if (batch->occurrences == WSB_BATCH_ALL && count > 0)
        batch->value_starts[static_cast<int64_t>(row + 1) * count] = cursor.values;
    else if (batch->occurrences == WSB_BATCH_FIRST)
        cursor.values += count;
    return true;
}

// The next packet into *summary and the current dissection: the pending
// one first, when there is one. It is still the current dissection unless
// another call dissected a packet since; then it is dissected again at its
// offset, unless sequential reading went past it (gGetNextPacket), which
// drops it. It was read under the display filter in force then: when the
// filter has changed since, it is dissected again at its offset (a visible
// tree holds every field the new filter may name) and returned only when it
// matches the filter in force now, as a packet read now would be; otherwise
// it is dropped and reading goes on.
int32_t next_packet(PacketSummary *summary)
{
    batch_state_record &s = batch_state;
    if (s.pending) {
        s.pending = false;
        const bool judge_again = s.pending_filter != display_filter_generation() && display_filter_set();
        if (!judge_again && s.pending_generation == dissection_generation()) {
            *summary = s.pending_summary;
            return WSB_OK;
        }
        if (s.pending_frames_read == capture_frames_read()) {
            PacketSummary reread = s.pending_summary;
            const int32_t status = read_packet_at_offset(locator_of(s.pending_summary), &reread);
            if (status != WSB_OK) {
                s.pending = true;  // kept for a later try
                return status;
            }
            if (!judge_again || current_packet_matches_display_filter()) {
                *summary = s.pending_summary;
                return WSB_OK;
            }
        }
    }
    return gGetNextPacket(summary);
}

// Makes a packet of the batch the current one again: its record is read at
// its offset, and the first call that reads its dissection dissects it (a
// host that goes on reading never does, and the engine's state stays that
// of reading in sequence). A failure leaves no packet current; its message
// does not replace the one of the call's result.
void make_current_again(const packet_locator &locator)
{
    argument_copy message;
    const int32_t code = gGetLastErrorCode();
    snprintf(message, sizeof message, "%s", gGetLastError() ? gGetLastError() : "");
    // A deferred re-read writes no summary.
    if (read_packet_at_offset(locator, nullptr, redissect_depth::deferred) != WSB_OK)
        set_error_text(code, message);
}

void keep_pending(const PacketSummary &summary)
{
    batch_state.pending = true;
    batch_state.pending_generation = dissection_generation();
    batch_state.pending_frames_read = capture_frames_read();
    batch_state.pending_filter = display_filter_generation();
    batch_state.pending_summary = summary;
}

// A failure after some packets: kept, with its text and code, for the next call.
void defer_failure(int32_t status)
{
    batch_state.deferred_status = status;
    batch_state.deferred_code = gGetLastErrorCode();
    const char *message = gGetLastError();
    snprintf(batch_state.deferred_message, sizeof batch_state.deferred_message, "%s", message ? message : "");
}

bool bad_argument(const char *what)
{
    set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. %s", operation, what);
    return false;
}

// The batch's request, checked before anything is read. False with the
// message written.
bool check_request(const WsbPacketBatch *batch)
{
    if (!batch)
        return bad_argument("No batch was given.");
    if (batch->capacity < 1)
        return bad_argument("The batch's capacity must be at least 1 packet.");
    if (batch->field_count < 0)
        return bad_argument("The batch's field count is negative.");
    if (batch->field_count > 0 && !batch->field_ids)
        return bad_argument("The batch names fields but gives no field ids.");
    if (batch->occurrences != WSB_BATCH_FIRST && batch->occurrences != WSB_BATCH_ALL)
        return bad_argument("The batch's occurrences must be WSB_BATCH_FIRST (0) or WSB_BATCH_ALL (1).");
    if (batch->text_capacity < 0)
        return bad_argument("The batch's text capacity is negative.");
    if (batch->whole_texts && (!batch->text_offsets || !batch->texts))
        return bad_argument("The batch asks for whole texts but gives no text space or text offsets.");
    if (batch->texts == nullptr && batch->text_capacity > 0)
        return bad_argument("The batch states a text capacity but gives no text space.");
    if (batch->field_count > 0) {
        if (!batch->values || batch->value_capacity < 0)
            return bad_argument("The batch names fields but gives no value slots.");
        if (batch->occurrences == WSB_BATCH_FIRST &&
            static_cast<int64_t>(batch->value_capacity) < static_cast<int64_t>(batch->capacity) * batch->field_count)
            return bad_argument("The batch's value slots are fewer than capacity times field count.");
        if (batch->occurrences == WSB_BATCH_ALL && !batch->value_starts)
            return bad_argument("The batch asks for every occurrence but gives no value starts.");
        if (static_cast<int64_t>(batch->capacity) * batch->field_count >= INT32_MAX)
            return bad_argument("The batch's capacity times field count is too large.");
        for (int32_t f = 0; f < batch->field_count; ++f) {
            if (!registry_has_field_id(batch->field_ids[f])) {
                set_error_format(WSB_E_UNKNOWN_FIELD,
                                 "\"%s\" operation failed. The field id %d (entry %d) is not the id of a registered "
                                 "field (register it and take its id from gGetProtocolFieldFilterInfo).",
                                 operation, batch->field_ids[f], f);
                return false;
            }
        }
    }
    return true;
}

}  // namespace

void batch_forget_pending()
{
    batch_state.pending = false;
    batch_state.deferred_status = WSB_OK;
    std::vector<const field_info *>().swap(batch_state.occurrences);
}

int32_t gGetNextPacketBatch(WsbPacketBatch *batch)
{
    if (!require_capture(operation))
        return WSB_FAILED;
    if (!check_request(batch))
        return WSB_FAILED;
    batch->packets = 0;
    batch->values_used = 0;
    batch->texts_used = 0;
    if (batch->occurrences == WSB_BATCH_ALL && batch->field_count > 0)
        batch->value_starts[0] = 0;
    batch_state_record &s = batch_state;
    if (s.deferred_status != WSB_OK) {
        const int32_t status = s.deferred_status;
        s.deferred_status = WSB_OK;
        set_error_text(s.deferred_code, s.deferred_message);
        return status;
    }
    static PacketSummary scratch;  // the summary when the host wants none
    batch_cursor cursor{0, 0};
    packet_locator last{};  // the last packet written
    int32_t status = WSB_OK;
    while (batch->packets < batch->capacity) {
        // A live capture's batch holds what has arrived: once it holds a
        // packet, it does not wait for more.
        if (batch->packets > 0 && !capture_record_waiting())
            break;
        const int32_t row = batch->packets;
        PacketSummary *summary = batch->summaries ? &batch->summaries[row] : &scratch;
        status = next_packet(summary);
        if (status != WSB_OK)
            break;
        bool fits = false;
        const int32_t read_status = run_in_engine_frame([&] { fits = put_packet(batch, row, cursor); }, "Reading the field values");
        if (read_status != WSB_OK) {
            status = read_status;
            break;
        }
        if (!fits) {
            keep_pending(*summary);
            if (row == 0) {
                set_error_format(WSB_E_LIMIT,
                                 "\"%s\" operation failed. The values and texts of frame %u do not fit in the batch "
                                 "(%d value slots, %lld bytes of text space); the packet stays pending for the next "
                                 "call.",
                                 operation, summary->frame_number, batch->value_capacity,
                                 static_cast<long long>(batch->text_capacity));
                return WSB_FAILED;
            }
            break;
        }
        batch->packets = row + 1;
        last = locator_of(*summary);
        batch->values_used = cursor.values;
        batch->texts_used = cursor.texts;
    }
    if (status != WSB_OK && batch->packets > 0) {
        // The read that found the end (or failed) ended the dissection of
        // the batch's last packet: it becomes the current packet again.
        if (status != WSB_END)
            defer_failure(status);
        make_current_again(last);
        return WSB_OK;
    }
    return status;
}
