// SPDX-License-Identifier: GPL-2.0-or-later
// The records of each table: what the engine's tables and the listeners
// counted, combined with the records other processes counted (gAdd*), in the
// order tshark prints them.
#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>

#include <epan/to_str.h>

#include "engine/state.h"
#include "stats/stats_state.h"

namespace {

// Records a gAdd* call refuses, named after the call.
bool refuse(const char *operation, const char *detail)
{
    set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. %s", operation, detail);
    return false;
}

template <size_t size>
bool terminated(const char (&text)[size])
{
    return std::memchr(text, '\0', size) != nullptr;
}

template <size_t size>
void copy_text(char (&into)[size], const char *text)
{
    g_strlcpy(into, text ? text : "", size);
}

// Times as the engine compares them (nstime_cmp).
bool earlier(int64_t seconds, int32_t nanoseconds, int64_t other_seconds, int32_t other_nanoseconds)
{
    return seconds != other_seconds ? seconds < other_seconds : nanoseconds < other_nanoseconds;
}

void address_text(const address *value, char *buffer, int size)
{
    buffer[0] = '\0';
    if (value)
        address_to_str_buf(value, buffer, size);
}

// ---- Keys ---------------------------------------------------------------------

std::string endpoint_key(int32_t type, const char *address, uint32_t port)
{
    std::string key = std::to_string(type);
    key += '\0';
    key += address;
    key += '\0';
    key += std::to_string(port);
    return key;
}

std::string conversation_key(const WsbConversation &c, bool reversed)
{
    std::string key = endpoint_key(c.address_type, reversed ? c.address_b : c.address_a, reversed ? c.port_b : c.port_a);
    key += '\0';
    key += endpoint_key(c.address_type, reversed ? c.address_a : c.address_b, reversed ? c.port_a : c.port_b);
    key += '\0';
    key += std::to_string(c.conversation_id);
    return key;
}

void reverse(WsbConversation &c)
{
    char text[sizeof c.address_a];
    std::memcpy(text, c.address_a, sizeof text);
    std::memcpy(c.address_a, c.address_b, sizeof text);
    std::memcpy(c.address_b, text, sizeof text);
    std::swap(c.port_a, c.port_b);
    std::swap(c.frames_a_to_b, c.frames_b_to_a);
    std::swap(c.bytes_a_to_b, c.bytes_b_to_a);
}

// tshark prints the most packets first; equal counts in the order the
// entries began (the engine appends them as they begin).
template <typename record>
void sort_for_printing(std::vector<record> &records, uint64_t (*total)(const record &))
{
    std::stable_sort(records.begin(), records.end(), [total](const record &a, const record &b) {
        const uint64_t ta = total(a), tb = total(b);
        if (ta != tb)
            return ta > tb;
        return a.first_frame < b.first_frame;
    });
}

uint64_t conversation_total(const WsbConversation &c)
{
    return c.frames_a_to_b + c.frames_b_to_a;
}

uint64_t endpoint_total(const WsbEndpoint &e)
{
    return e.tx_frames + e.rx_frames;
}

}  // namespace

// ---- Conversations ----------------------------------------------------------

bool stats_merge_conversations(std::vector<WsbConversation> &into, const WsbConversation *records, int32_t count)
{
    for (int32_t i = 0; i < count; ++i)
        if (!terminated(records[i].address_a) || !terminated(records[i].address_b))
            return refuse("Add Conversations", "A conversation's address text is not NUL-terminated.");
    std::unordered_map<std::string, size_t> known;
    for (size_t i = 0; i < into.size(); ++i)
        known.emplace(conversation_key(into[i], false), i);
    for (int32_t i = 0; i < count; ++i) {
        WsbConversation c = records[i];
        auto found = known.find(conversation_key(c, false));
        bool reversed = false;
        if (found == known.end()) {
            found = known.find(conversation_key(c, true));
            reversed = found != known.end();
        }
        if (found == known.end()) {
            known.emplace(conversation_key(c, false), into.size());
            into.push_back(c);
            continue;
        }
        WsbConversation &existing = into[found->second];
        if (reversed)
            reverse(c);
        existing.frames_a_to_b += c.frames_a_to_b;
        existing.bytes_a_to_b += c.bytes_a_to_b;
        existing.frames_b_to_a += c.frames_b_to_a;
        existing.bytes_b_to_a += c.bytes_b_to_a;
        if (earlier(c.start_seconds, c.start_nanoseconds, existing.start_seconds, existing.start_nanoseconds)) {
            existing.start_seconds = c.start_seconds;
            existing.start_nanoseconds = c.start_nanoseconds;
            existing.absolute_seconds = c.absolute_seconds;
            existing.absolute_nanoseconds = c.absolute_nanoseconds;
        }
        if (earlier(existing.stop_seconds, existing.stop_nanoseconds, c.stop_seconds, c.stop_nanoseconds)) {
            existing.stop_seconds = c.stop_seconds;
            existing.stop_nanoseconds = c.stop_nanoseconds;
        }
        // A is the source of the conversation's first packet.
        if (c.first_frame < existing.first_frame) {
            existing.first_frame = c.first_frame;
            if (reversed) {
                known.erase(found);
                reverse(existing);
                known.emplace(conversation_key(existing, false), static_cast<size_t>(&existing - into.data()));
            }
        }
    }
    return true;
}

void stats_build_conversations(stats_table &table)
{
    std::vector<WsbConversation> &out = table.conversations_out;
    out.clear();
    const size_t size = table.engine_table ? series_conversation_table_size(table.engine_table) : 0;
    out.reserve(size + table.added_conversations.size());
    for (size_t i = 0; i < size; ++i) {
        const series_conversation_item item = series_conversation_at(table.engine_table, i);
        WsbConversation c{};
        address_text(item.address_a, c.address_a, sizeof c.address_a);
        address_text(item.address_b, c.address_b, sizeof c.address_b);
        c.address_type = series_address_type_code(item.address_a->type);
        c.port_a = item.port_a;
        c.port_b = item.port_b;
        c.first_frame = item.first_frame;
        c.frames_a_to_b = item.frames_a_to_b;
        c.bytes_a_to_b = item.bytes_a_to_b;
        c.frames_b_to_a = item.frames_b_to_a;
        c.bytes_b_to_a = item.bytes_b_to_a;
        c.start_seconds = item.start.secs;
        c.start_nanoseconds = item.start.nsecs;
        c.stop_seconds = item.stop.secs;
        c.stop_nanoseconds = item.stop.nsecs;
        c.absolute_seconds = item.start_absolute.secs;
        c.absolute_nanoseconds = item.start_absolute.nsecs;
        c.conversation_id = item.conversation_id;
        out.push_back(c);
    }
    stats_merge_conversations(out, table.added_conversations.data(),
                              static_cast<int32_t>(table.added_conversations.size()));
    sort_for_printing(out, conversation_total);
}

// ---- Endpoints ----------------------------------------------------------------

bool stats_merge_endpoints(std::vector<WsbEndpoint> &into, const WsbEndpoint *records, int32_t count)
{
    for (int32_t i = 0; i < count; ++i)
        if (!terminated(records[i].address))
            return refuse("Add Endpoints", "An endpoint's address text is not NUL-terminated.");
    std::unordered_map<std::string, size_t> known;
    for (size_t i = 0; i < into.size(); ++i)
        known.emplace(endpoint_key(into[i].address_type, into[i].address, into[i].port), i);
    for (int32_t i = 0; i < count; ++i) {
        const WsbEndpoint &e = records[i];
        const auto found = known.find(endpoint_key(e.address_type, e.address, e.port));
        if (found == known.end()) {
            known.emplace(endpoint_key(e.address_type, e.address, e.port), into.size());
            into.push_back(e);
            continue;
        }
        WsbEndpoint &existing = into[found->second];
        existing.tx_frames += e.tx_frames;
        existing.tx_bytes += e.tx_bytes;
        existing.rx_frames += e.rx_frames;
        existing.rx_bytes += e.rx_bytes;
        existing.first_frame = std::min(existing.first_frame, e.first_frame);
    }
    return true;
}

void stats_build_endpoints(stats_table &table)
{
    std::vector<WsbEndpoint> &out = table.endpoints_out;
    out.clear();
    const size_t size = table.engine_table ? series_conversation_table_size(table.engine_table) : 0;
    out.reserve(size + table.added_endpoints.size());
    for (size_t i = 0; i < size; ++i) {
        const series_endpoint_item item = series_endpoint_at(table.engine_table, i);
        WsbEndpoint e{};
        address_text(item.endpoint, e.address, sizeof e.address);
        e.address_type = series_address_type_code(item.endpoint->type);
        e.port = item.port;
        e.tx_frames = item.tx_frames;
        e.tx_bytes = item.tx_bytes;
        e.rx_frames = item.rx_frames;
        e.rx_bytes = item.rx_bytes;
        e.first_frame = item.first_frame;
        out.push_back(e);
    }
    stats_merge_endpoints(out, table.added_endpoints.data(), static_cast<int32_t>(table.added_endpoints.size()));
    sort_for_printing(out, endpoint_total);
}

// ---- Protocol hierarchy -----------------------------------------------------

namespace {

// Rows as a tree: children by parent, to be put in printing order.
struct hierarchy_tree {
    std::vector<WsbHierarchyRow> rows;
    std::vector<std::vector<int32_t>> children;  // by row
    std::vector<int32_t> roots;

    int32_t child(int32_t parent, const char *protocol, uint32_t first_frame)
    {
        std::vector<int32_t> &siblings = parent < 0 ? roots : children[static_cast<size_t>(parent)];
        for (const int32_t index : siblings)
            if (std::strcmp(rows[static_cast<size_t>(index)].protocol, protocol) == 0)
                return index;
        WsbHierarchyRow row{};
        copy_text(row.protocol, protocol);
        row.parent = parent;
        row.depth = parent < 0 ? 0 : rows[static_cast<size_t>(parent)].depth + 1;
        row.first_frame = first_frame;
        const auto index = static_cast<int32_t>(rows.size());
        rows.push_back(row);
        children.emplace_back();
        (parent < 0 ? roots : children[static_cast<size_t>(parent)]).push_back(index);
        return index;
    }

    // Adds rows listed parents first (parent indexes into `list`).
    void add(const WsbHierarchyRow *list, int32_t count)
    {
        std::vector<int32_t> placed(static_cast<size_t>(count));
        for (int32_t i = 0; i < count; ++i) {
            const WsbHierarchyRow &row = list[i];
            const int32_t parent = row.parent < 0 ? -1 : placed[static_cast<size_t>(row.parent)];
            const int32_t index = child(parent, row.protocol, row.first_frame);
            placed[static_cast<size_t>(i)] = index;
            WsbHierarchyRow &into = rows[static_cast<size_t>(index)];
            into.frames += row.frames;
            into.bytes += row.bytes;
            into.first_frame = std::min(into.first_frame, row.first_frame);
        }
    }

    // A row and its subtree, depth first, with a stack of its own: added rows
    // may nest deeper than calls on the thread's stack could.
    void flatten(int32_t root, std::vector<WsbHierarchyRow> &out)
    {
        std::vector<std::pair<int32_t, int32_t>> pending{{root, -1}};  // row, its parent's position in out
        while (!pending.empty()) {
            const auto [index, parent] = pending.back();
            pending.pop_back();
            WsbHierarchyRow row = rows[static_cast<size_t>(index)];
            row.parent = parent;
            const auto position = static_cast<int32_t>(out.size());
            out.push_back(row);
            std::vector<int32_t> &below = children[static_cast<size_t>(index)];
            order(below);
            for (auto child = below.rbegin(); child != below.rend(); ++child)
                pending.emplace_back(*child, position);
        }
    }

    // Siblings in the order they first occurred.
    void order(std::vector<int32_t> &siblings)
    {
        std::stable_sort(siblings.begin(), siblings.end(), [this](int32_t a, int32_t b) {
            return rows[static_cast<size_t>(a)].first_frame < rows[static_cast<size_t>(b)].first_frame;
        });
    }

    std::vector<WsbHierarchyRow> printed()
    {
        std::vector<WsbHierarchyRow> out;
        out.reserve(rows.size());
        order(roots);
        for (const int32_t root : roots)
            flatten(root, out);
        return out;
    }
};

}  // namespace

bool stats_merge_hierarchy(std::vector<WsbHierarchyRow> &into, const WsbHierarchyRow *records, int32_t count)
{
    for (int32_t i = 0; i < count; ++i) {
        const WsbHierarchyRow &row = records[i];
        if (!terminated(row.protocol))
            return refuse("Add Hierarchy", "A hierarchy row's protocol name is not NUL-terminated.");
        if (row.parent >= i || row.parent < -1 ||
            row.depth != (row.parent < 0 ? 0 : records[row.parent].depth + 1))
            return refuse("Add Hierarchy", "A hierarchy row's parent is not a row before it, or its depth is not one more than its "
                          "parent's.");
    }
    hierarchy_tree tree;
    tree.add(into.data(), static_cast<int32_t>(into.size()));
    tree.add(records, count);
    into = tree.printed();
    return true;
}

void stats_build_hierarchy(stats_table &table)
{
    // The counted nodes as rows, parents first.
    std::vector<WsbHierarchyRow> counted;
    counted.reserve(table.nodes.size());
    for (const hierarchy_node &node : table.nodes) {
        WsbHierarchyRow row{};
        copy_text(row.protocol, node.name.c_str());
        row.depth = node.depth;
        row.parent = node.parent;
        row.frames = node.frames;
        row.bytes = node.bytes;
        row.first_frame = node.first_frame;
        counted.push_back(row);
    }
    hierarchy_tree tree;
    tree.add(counted.data(), static_cast<int32_t>(counted.size()));
    tree.add(table.added_hierarchy.data(), static_cast<int32_t>(table.added_hierarchy.size()));
    table.hierarchy_out = tree.printed();
}

// ---- Intervals ------------------------------------------------------------------

namespace {

bool integer_less(series_stat_value kind, int64_t a, int64_t b)
{
    return kind == series_stat_value::integer ? a < b : static_cast<uint64_t>(a) < static_cast<uint64_t>(b);
}

void combine(WsbIntervalRow &into, const WsbIntervalRow &row, series_stat_value kind)
{
    const bool had_values = into.values > 0;
    if (row.values > 0) {
        if (kind == series_stat_value::floating_single)
            into.float_sum = static_cast<float>(static_cast<float>(into.float_sum) + static_cast<float>(row.float_sum));
        else
            into.float_sum += row.float_sum;
        into.sum = static_cast<int64_t>(static_cast<uint64_t>(into.sum) + static_cast<uint64_t>(row.sum));
        if (!had_values || row.float_minimum < into.float_minimum)
            into.float_minimum = row.float_minimum;
        if (!had_values || row.float_maximum > into.float_maximum)
            into.float_maximum = row.float_maximum;
        if (!had_values || integer_less(kind, row.minimum, into.minimum))
            into.minimum = row.minimum;
        if (!had_values || integer_less(kind, into.maximum, row.maximum))
            into.maximum = row.maximum;
    }
    into.frames += row.frames;
    into.bytes += row.bytes;
    into.values += row.values;
    if (row.first_frame < into.first_frame) {
        into.first_frame = row.first_frame;
        into.first_frame_values = row.first_frame_values;
        into.first_minimum = row.first_minimum;
        into.first_float_minimum = row.first_float_minimum;
    }
}

bool row_before(const WsbIntervalRow &a, const WsbIntervalRow &b)
{
    return a.series != b.series ? a.series < b.series : a.interval < b.interval;
}

}  // namespace

bool stats_merge_intervals(const stats_table &table, std::vector<WsbIntervalRow> &into, const WsbIntervalRow *records,
                           int32_t count)
{
    for (int32_t i = 0; i < count; ++i)
        if (records[i].series < 0 || static_cast<size_t>(records[i].series) >= table.series.size() ||
            records[i].interval < 0)
            return refuse("Add Intervals", "An interval row names a series the table does not have, or a negative interval.");
    // One pass over both in order (rows are kept sorted by series and
    // interval): a row of an interval already held is combined with it.
    std::vector<WsbIntervalRow> added(records, records + count);
    std::stable_sort(added.begin(), added.end(), row_before);
    std::vector<WsbIntervalRow> merged;
    merged.reserve(into.size() + added.size());
    const auto put = [&](const WsbIntervalRow &row) {
        if (!merged.empty() && merged.back().series == row.series && merged.back().interval == row.interval)
            combine(merged.back(), row, table.series[static_cast<size_t>(row.series)]->value_kind);
        else
            merged.push_back(row);
    };
    size_t held = 0, next = 0;
    while (held < into.size() || next < added.size()) {
        if (next == added.size() || (held < into.size() && !row_before(added[next], into[held])))
            put(into[held++]);
        else
            put(added[next++]);
    }
    into.swap(merged);
    return true;
}

void stats_build_intervals(stats_table &table, nstime_t *elapsed)
{
    std::vector<WsbIntervalRow> &out = table.intervals_out;
    out.clear();
    for (const auto &series : table.series)
        out.insert(out.end(), series->rows.begin(), series->rows.end());
    stats_merge_intervals(table, out, table.added_intervals.data(), static_cast<int32_t>(table.added_intervals.size()));
    *elapsed = series_elapsed_time();
    if (earlier(elapsed->secs, elapsed->nsecs, table.added_elapsed.secs, table.added_elapsed.nsecs))
        *elapsed = table.added_elapsed;
}
