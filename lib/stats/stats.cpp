// SPDX-License-Identifier: GPL-2.0-or-later
// The statistics calls of the interface and the module's lifecycle steps.
#include "stats/stats.h"

#include "capture/capture.h"
#include "engine/state.h"
#include "stats/stats_state.h"

namespace {

// The table named by a call, of the kind it needs (0: any); null with the
// message set.
stats_table *table_for(const char *operation, int32_t number, int32_t kind)
{
    if (!require_engine(operation))
        return nullptr;
    const auto &tables = stats_state.tables;
    if (number < 0 || static_cast<size_t>(number) >= tables.size()) {
        set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. No statistics table %d was asked for (%zu were).",
                         operation, number, tables.size());
        return nullptr;
    }
    stats_table &table = *tables[static_cast<size_t>(number)];
    if (kind != 0 && table.kind != kind) {
        set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. Statistics table %d (\"%s\") is not of this kind.",
                         operation, number, table.request.c_str());
        return nullptr;
    }
    return &table;
}

bool outputs_given(const char *operation, const void *first, const void *second)
{
    if (first && second)
        return true;
    set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. No place for the records and their count was given.",
                     operation);
    return false;
}

bool records_given(const char *operation, const void *records, int32_t count)
{
    if (count >= 0 && (records || count == 0))
        return true;
    set_error_format(WSB_E_BAD_ARGUMENT, "\"%s\" operation failed. The records are missing or their count is negative.",
                     operation);
    return false;
}

bool no_capture_open(const char *operation)
{
    if (!capture_is_open())
        return true;
    set_error_format(WSB_E_STATE,
                     "\"%s\" operation failed. Statistics are asked for before a capture is opened: close the capture "
                     "first (the tables count the captures opened afterwards).",
                     operation);
    return false;
}

template <typename record>
void hand_out(const std::vector<record> &records, const record **out, int32_t *count)
{
    *out = records.empty() ? nullptr : records.data();
    *count = static_cast<int32_t>(records.size());
}

}  // namespace

void stats_reset()
{
    for (auto &table : stats_state.tables)
        stats_clear_table(*table);
    stats_state.counted_frame = 0;
    stats_state.counted_generation = 0;
    series_reset_elapsed();
}

void stats_release()
{
    for (auto &table : stats_state.tables)
        stats_stop_table(*table);
    stats_state.tables.clear();
}

int32_t gRequestStatistics(const char *request, int32_t *table)
{
    argument_copy request_copy;
    request = unaliased_argument(request, request_copy);
    const char *operation = "Request Statistics";
    if (!require_engine(operation))
        return WSB_FAILED;
    if (!request || !table) {
        set_error_text(WSB_E_BAD_ARGUMENT,
                       "\"Request Statistics\" operation failed. No request, or no place for the table's number, was "
                       "given.");
        return WSB_FAILED;
    }
    if (!no_capture_open(operation))
        return WSB_FAILED;
    if (static_cast<int32_t>(stats_state.tables.size()) >= stats_table_limit) {
        set_error_format(WSB_E_LIMIT, "\"Request Statistics\" operation failed. %d tables were asked for, the most the "
                         "library keeps.", stats_table_limit);
        return WSB_FAILED;
    }
    std::unique_ptr<stats_table> parsed;
    if (!stats_parse_request(request, parsed))
        return WSB_FAILED;
    *table = static_cast<int32_t>(stats_state.tables.size());
    stats_state.tables.push_back(std::move(parsed));
    return WSB_OK;
}

int32_t gClearStatistics(void)
{
    const char *operation = "Clear Statistics";
    if (!require_engine(operation) || !no_capture_open(operation))
        return WSB_FAILED;
    stats_release();
    return WSB_OK;
}

int32_t gGetStatisticsKind(int32_t number, int32_t *kind)
{
    stats_table *table = table_for("Get Statistics Kind", number, 0);
    if (!table)
        return WSB_FAILED;
    if (!kind) {
        set_error_text(WSB_E_BAD_ARGUMENT, "\"Get Statistics Kind\" operation failed. No place for the kind was given.");
        return WSB_FAILED;
    }
    *kind = table->kind;
    return WSB_OK;
}

int32_t gGetConversations(int32_t number, const WsbConversation **records, int32_t *count)
{
    const char *operation = "Get Conversations";
    stats_table *table = table_for(operation, number, WSB_STATS_CONVERSATIONS);
    if (!table || !outputs_given(operation, records, count))
        return WSB_FAILED;
    stats_build_conversations(*table);
    hand_out(table->conversations_out, records, count);
    return WSB_OK;
}

int32_t gGetEndpoints(int32_t number, const WsbEndpoint **records, int32_t *count)
{
    const char *operation = "Get Endpoints";
    stats_table *table = table_for(operation, number, WSB_STATS_ENDPOINTS);
    if (!table || !outputs_given(operation, records, count))
        return WSB_FAILED;
    stats_build_endpoints(*table);
    hand_out(table->endpoints_out, records, count);
    return WSB_OK;
}

int32_t gGetHierarchy(int32_t number, const WsbHierarchyRow **records, int32_t *count)
{
    const char *operation = "Get Hierarchy";
    stats_table *table = table_for(operation, number, WSB_STATS_HIERARCHY);
    if (!table || !outputs_given(operation, records, count))
        return WSB_FAILED;
    stats_build_hierarchy(*table);
    hand_out(table->hierarchy_out, records, count);
    return WSB_OK;
}

int32_t gGetIntervals(int32_t number, const WsbIntervalRow **records, int32_t *count, int64_t *elapsed_seconds,
                      int32_t *elapsed_nanoseconds)
{
    const char *operation = "Get Intervals";
    stats_table *table = table_for(operation, number, WSB_STATS_INTERVALS);
    if (!table || !outputs_given(operation, records, count) ||
        !outputs_given(operation, elapsed_seconds, elapsed_nanoseconds))
        return WSB_FAILED;
    nstime_t elapsed;
    stats_build_intervals(*table, &elapsed);
    hand_out(table->intervals_out, records, count);
    *elapsed_seconds = elapsed.secs;
    *elapsed_nanoseconds = elapsed.nsecs;
    return WSB_OK;
}

int32_t gGetStatisticsText(int32_t number, const char **text, int32_t *size)
{
    const char *operation = "Get Statistics Text";
    stats_table *table = table_for(operation, number, 0);
    if (!table)
        return WSB_FAILED;
    if (!text || !size) {
        set_error_text(WSB_E_BAD_ARGUMENT, "\"Get Statistics Text\" operation failed. No place for the text and its size "
                       "was given.");
        return WSB_FAILED;
    }
    nstime_t elapsed = NSTIME_INIT_ZERO;
    switch (table->kind) {
    case WSB_STATS_CONVERSATIONS:
        stats_build_conversations(*table);
        break;
    case WSB_STATS_ENDPOINTS:
        stats_build_endpoints(*table);
        break;
    case WSB_STATS_HIERARCHY:
        stats_build_hierarchy(*table);
        break;
    default:
        stats_build_intervals(*table, &elapsed);
        break;
    }
    if (!stats_render(*table, elapsed))
        return WSB_FAILED;
    *text = table->text_out.c_str();
    *size = static_cast<int32_t>(table->text_out.size() + 1);
    return WSB_OK;
}

int32_t gAddConversations(int32_t number, const WsbConversation *records, int32_t count)
{
    const char *operation = "Add Conversations";
    stats_table *table = table_for(operation, number, WSB_STATS_CONVERSATIONS);
    if (!table || !records_given(operation, records, count))
        return WSB_FAILED;
    return stats_merge_conversations(table->added_conversations, records, count) ? WSB_OK : WSB_FAILED;
}

int32_t gAddEndpoints(int32_t number, const WsbEndpoint *records, int32_t count)
{
    const char *operation = "Add Endpoints";
    stats_table *table = table_for(operation, number, WSB_STATS_ENDPOINTS);
    if (!table || !records_given(operation, records, count))
        return WSB_FAILED;
    return stats_merge_endpoints(table->added_endpoints, records, count) ? WSB_OK : WSB_FAILED;
}

int32_t gAddHierarchy(int32_t number, const WsbHierarchyRow *records, int32_t count)
{
    const char *operation = "Add Hierarchy";
    stats_table *table = table_for(operation, number, WSB_STATS_HIERARCHY);
    if (!table || !records_given(operation, records, count))
        return WSB_FAILED;
    return stats_merge_hierarchy(table->added_hierarchy, records, count) ? WSB_OK : WSB_FAILED;
}

int32_t gAddIntervals(int32_t number, const WsbIntervalRow *records, int32_t count, int64_t elapsed_seconds,
                      int32_t elapsed_nanoseconds)
{
    const char *operation = "Add Intervals";
    stats_table *table = table_for(operation, number, WSB_STATS_INTERVALS);
    if (!table || !records_given(operation, records, count))
        return WSB_FAILED;
    if (elapsed_seconds < 0 || elapsed_nanoseconds < 0 || elapsed_nanoseconds > 999999999) {
        set_error_text(WSB_E_BAD_ARGUMENT,
                       "\"Add Intervals\" operation failed. The elapsed time is negative or its nanoseconds are out of "
                       "range.");
        return WSB_FAILED;
    }
    if (!stats_merge_intervals(*table, table->added_intervals, records, count))
        return WSB_FAILED;
    nstime_t &added = table->added_elapsed;
    if (elapsed_seconds > added.secs || (elapsed_seconds == added.secs && elapsed_nanoseconds > added.nsecs)) {
        added.secs = static_cast<time_t>(elapsed_seconds);
        added.nsecs = elapsed_nanoseconds;
    }
    return WSB_OK;
}
