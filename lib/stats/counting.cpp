// SPDX-License-Identifier: GPL-2.0-or-later
// The listeners that count: each packet of sequential reading once, into the
// protocol hierarchy (the frame's outermost protocol items, as tshark's
// io,phs walks them) and into the rows of io,stat series (as tshark's
// io,stat counts a packet: its length, and the values of the function's
// field in the packet's tree).
#include <algorithm>
#include <cstring>

#include "capture/capture.h"
#include "dissection/dissection.h"
#include "stats/stats_state.h"

stats_state_record stats_state;

bool stats_packet_counts(const packet_info *pinfo)
{
    // Sequential reading dissects frame N right after reading its record
    // (frames read = N); frames re-read by offset are earlier ones, or the
    // same frame in a later dissection (another generation).
    stats_state_record &s = stats_state;
    const uint32_t number = pinfo->num;
    if (static_cast<int64_t>(number) != capture_frames_read())
        return false;
    const uint64_t generation = dissection_generation();
    if (number == s.counted_frame)
        return generation == s.counted_generation;
    if (number < s.counted_frame)
        return false;
    s.counted_frame = number;
    s.counted_generation = generation;
    return true;
}

// ---- Protocol hierarchy -----------------------------------------------------

namespace {

int32_t hierarchy_child(stats_table &table, int32_t parent, const field_info *record, uint32_t frame)
{
    std::vector<int32_t> &siblings = parent < 0 ? table.roots : table.nodes[static_cast<size_t>(parent)].children;
    const int id = record->hfinfo->id;
    for (const int32_t index : siblings)
        if (table.nodes[static_cast<size_t>(index)].protocol_id == id)
            return index;
    hierarchy_node node{};
    node.protocol_id = id;
    node.name = record->hfinfo->abbrev ? record->hfinfo->abbrev : "";
    node.parent = parent;
    node.depth = parent < 0 ? 0 : table.nodes[static_cast<size_t>(parent)].depth + 1;
    node.first_frame = frame;
    const auto index = static_cast<int32_t>(table.nodes.size());
    table.nodes.push_back(std::move(node));
    (parent < 0 ? table.roots : table.nodes[static_cast<size_t>(parent)].children).push_back(index);
    return index;
}

}  // namespace

void stats_hierarchy_packet(void *state, packet_info *pinfo, epan_dissect_t *edt, const void *)
{
    if (!stats_packet_counts(pinfo) || !edt || !edt->tree)
        return;
    auto &table = *static_cast<stats_table *>(state);
    int32_t parent = -1;
    for (proto_node *node = edt->tree->first_child; node; node = node->next) {
        const field_info *record = PNODE_FINFO(node);
        if (!record || !record->hfinfo)
            continue;
        parent = hierarchy_child(table, parent, record, pinfo->num);
        hierarchy_node &counted = table.nodes[static_cast<size_t>(parent)];
        ++counted.frames;
        counted.bytes += pinfo->fd->pkt_len;
    }
}

// ---- io,stat ----------------------------------------------------------------

namespace {

bool unsigned_less(int64_t a, int64_t b)
{
    return static_cast<uint64_t>(a) < static_cast<uint64_t>(b);
}

bool integer_less(series_stat_value kind, int64_t a, int64_t b)
{
    return kind == series_stat_value::integer ? a < b : unsigned_less(a, b);
}

WsbIntervalRow &row_of(io_series &series, int64_t interval, uint32_t frame)
{
    std::vector<WsbIntervalRow> &rows = series.rows;
    if (!rows.empty() && rows.back().interval == interval)
        return rows.back();
    auto place = rows.end();
    if (!rows.empty() && rows.back().interval > interval) {
        // A packet whose time lies before an interval already counted.
        place = std::lower_bound(rows.begin(), rows.end(), interval,
                                 [](const WsbIntervalRow &row, int64_t value) { return row.interval < value; });
        if (place != rows.end() && place->interval == interval)
            return *place;
    }
    WsbIntervalRow row{};
    row.series = series.index;
    row.interval = interval;
    row.first_frame = frame;
    return *rows.insert(place, row);
}

}  // namespace

void stats_interval_packet(void *state, packet_info *pinfo, epan_dissect_t *edt, const void *)
{
    if (!stats_packet_counts(pinfo))
        return;
    auto &series = *static_cast<io_series *>(state);
    const stats_table &table = *series.table;
    // The time since the first packet in microseconds, rounded as tshark
    // rounds it; a packet from before the first packet counts at 0.
    uint64_t relative_us = 0;
    if (pinfo->rel_ts.secs >= 0 && pinfo->rel_ts.nsecs >= 0)
        relative_us = static_cast<uint64_t>(pinfo->rel_ts.secs) * 1000000u +
                      static_cast<uint64_t>((pinfo->rel_ts.nsecs + 500) / 1000);
    const auto interval = static_cast<int64_t>(table.interval_us == UINT64_MAX ? 0 : relative_us / table.interval_us);
    WsbIntervalRow &row = row_of(series, interval, pinfo->num);
    ++row.frames;
    row.bytes += pinfo->fd->pkt_len;
    if (series.field_id < 0 || !edt || !edt->tree)
        return;
    GPtrArray *records = proto_get_finfo_ptr_array(edt->tree, series.field_id);
    if (!records)
        return;
    const bool first = pinfo->num == row.first_frame;
    const series_stat_value kind = series.value_kind;
    for (guint i = 0; i < records->len; ++i) {
        const auto *record = static_cast<const field_info *>(g_ptr_array_index(records, i));
        const bool first_value = row.values == 0;
        const bool first_in_frame = first && row.first_frame_values == 0;
        ++row.values;
        if (first)
            ++row.first_frame_values;
        switch (kind) {
        case series_stat_value::other:
            break;
        case series_stat_value::floating_single:
        case series_stat_value::floating_double: {
            double value = series_stat_floating(record);
            if (kind == series_stat_value::floating_single) {
                // tshark adds float fields up in single precision.
                value = static_cast<float>(value);
                row.float_sum = static_cast<float>(static_cast<float>(row.float_sum) + static_cast<float>(value));
            } else {
                row.float_sum += value;
            }
            if (first_value || value < row.float_minimum)
                row.float_minimum = value;
            if (first_value || value > row.float_maximum)
                row.float_maximum = value;
            if (first_in_frame || (first && value < row.first_float_minimum))
                row.first_float_minimum = value;
            break;
        }
        default: {
            const int64_t value = series_stat_integer(record, kind);
            row.sum = static_cast<int64_t>(static_cast<uint64_t>(row.sum) + static_cast<uint64_t>(value));
            if (first_value || integer_less(kind, value, row.minimum))
                row.minimum = value;
            if (first_value || integer_less(kind, row.maximum, value))
                row.maximum = value;
            if (first_in_frame || (first && integer_less(kind, value, row.first_minimum)))
                row.first_minimum = value;
            break;
        }
        }
    }
}
