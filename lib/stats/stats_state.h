/* SPDX-License-Identifier: GPL-2.0-or-later */
// The state record of the statistics module (private to lib/stats).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "wsbridge.h"
#include "compat/engine_series.h"

// The function of an io,stat series, as tshark names it.
enum class io_function { frames_and_bytes, frames, bytes, count, sum, minimum, maximum, average };

struct stats_table;

// One io,stat series: a listener of its own on the "frame" tap.
struct io_series {
    stats_table *table;
    int32_t index;
    std::string text;        // as asked for, printed in the column list
    bool has_text;           // false: an empty series (every packet)
    io_function function;
    int field_id;            // the function's field, -1 for none
    series_stat_value value_kind;
    // Counted rows, by interval (sparse, in increasing order of interval).
    std::vector<WsbIntervalRow> rows;
};

// One node of the protocol hierarchy as counted.
struct hierarchy_node {
    int protocol_id;
    std::string name;
    int32_t parent;  // -1 at the top
    int32_t depth;
    uint64_t frames;
    uint64_t bytes;
    uint32_t first_frame;
    std::vector<int32_t> children;  // in the order they first occurred
};

struct stats_table {
    int32_t kind;            // WSB_STATS_*
    std::string request;
    std::string filter;      // conv, endpoints and phs: the filter asked for
    bool has_filter;
    // conv and endpoints
    std::string title;       // the protocol's short name ("TCP")
    bool has_ports;
    series_conversation_table *engine_table;
    std::vector<WsbConversation> added_conversations;
    std::vector<WsbEndpoint> added_endpoints;
    // phs: nodes[0 ..] with the top-level ones listed in roots
    std::vector<hierarchy_node> nodes;
    std::vector<int32_t> roots;
    std::vector<WsbHierarchyRow> added_hierarchy;
    // io,stat
    uint64_t interval_us;    // UINT64_MAX for the whole capture
    uint32_t interval_precision;
    std::vector<std::unique_ptr<io_series>> series;
    nstime_t added_elapsed;
    std::vector<WsbIntervalRow> added_intervals;
    // What the getters hand out, kept until the next call for this table.
    std::vector<WsbConversation> conversations_out;
    std::vector<WsbEndpoint> endpoints_out;
    std::vector<WsbHierarchyRow> hierarchy_out;
    std::vector<WsbIntervalRow> intervals_out;
    std::string text_out;
};

struct stats_state_record {
    std::vector<std::unique_ptr<stats_table>> tables;
    // The packet the listeners count now: the frame number and dissection
    // generation of the last packet of sequential reading that counted.
    uint32_t counted_frame;
    uint64_t counted_generation;
};
extern stats_state_record stats_state;

constexpr int32_t stats_table_limit = 64;

// ---- Shared between the module's files ------------------------------------
// Whether a report of pinfo's packet counts: the packet sequential reading
// is dissecting now, each once.
bool stats_packet_counts(const packet_info *pinfo);

// Parses and registers a request into a new table; false with the error set.
bool stats_parse_request(const char *request, std::unique_ptr<stats_table> &table);
// Removes the table's listeners and engine tables.
void stats_stop_table(stats_table &table);
// Forgets what the table counted and what was added.
void stats_clear_table(stats_table &table);

// The records of a table as the getters hand them out (counted and added,
// combined, in tshark's order), into the table's *_out vectors.
void stats_build_conversations(stats_table &table);
void stats_build_endpoints(stats_table &table);
void stats_build_hierarchy(stats_table &table);
void stats_build_intervals(stats_table &table, nstime_t *elapsed);

// Combines records into a vector of the same kind (the merge rules of
// gAdd*); false when a record does not fit (message set).
bool stats_merge_conversations(std::vector<WsbConversation> &into, const WsbConversation *records, int32_t count);
bool stats_merge_endpoints(std::vector<WsbEndpoint> &into, const WsbEndpoint *records, int32_t count);
bool stats_merge_hierarchy(std::vector<WsbHierarchyRow> &into, const WsbHierarchyRow *records, int32_t count);
bool stats_merge_intervals(const stats_table &table, std::vector<WsbIntervalRow> &into, const WsbIntervalRow *records,
                           int32_t count);

// The text of a table, built from its records (the *_out vectors); false
// with the message set when it would be more than a text can hold.
bool stats_render(stats_table &table, const nstime_t &elapsed);
