// SPDX-License-Identifier: GPL-2.0-or-later
// Requests as tshark's -z option takes them, parsed as tshark parses them,
// and the listeners each table registers.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <glib.h>

#include "engine/state.h"
#include "stats/stats_state.h"

void stats_hierarchy_packet(void *state, packet_info *pinfo, epan_dissect_t *edt, const void *data);
void stats_interval_packet(void *state, packet_info *pinfo, epan_dissect_t *edt, const void *data);

namespace {

constexpr const char *operation = "\"Request Statistics\" operation failed.";

bool refuse(int32_t code, const std::string &detail)
{
    set_error_format(code, "%s %s", operation, detail.c_str());
    return false;
}

// A listener of the "frame" tap. One that reads the packet's protocol tree
// (needs_tree) is registered as requiring one, as tshark registers its io,phs
// and io,stat listeners: sequential reading then builds an invisible tree,
// in which the engine builds the protocols' items and fakes the fields that
// no filter names. Without a tree and a filter, a packet costs the listener
// only its call.
bool listen_to_frames(void *state, const std::string &filter, bool needs_tree, series_tap_listener listener)
{
    std::string error;
    if (series_register_tap_listener("frame", state, filter.empty() ? nullptr : filter.c_str(), needs_tree, listener,
                                     error))
        return true;
    return refuse(WSB_E_FILTER, "The filter \"" + filter + "\" was refused: " + error);
}

bool parse_conversations(const char *request, bool endpoints, stats_table &table)
{
    const char *name = request + (endpoints ? std::strlen("endpoints,") : std::strlen("conv,"));
    const char *comma = std::strchr(name, ',');
    const std::string protocol = comma ? std::string(name, static_cast<size_t>(comma - name)) : std::string(name);
    if (protocol.empty())
        return refuse(WSB_E_BAD_ARGUMENT, std::string("\"") + request + "\" names no protocol.");
    bool has_ports = false;
    const char *title = series_conversation_table_title(protocol.c_str(), &has_ports);
    if (!title)
        return refuse(WSB_E_UNSUPPORTED, "The engine keeps no conversation table for \"" + protocol + "\".");
    table.kind = endpoints ? WSB_STATS_ENDPOINTS : WSB_STATS_CONVERSATIONS;
    table.title = title;
    table.has_ports = has_ports;
    table.has_filter = comma != nullptr;
    table.filter = comma ? comma + 1 : "";
    std::string error;
    table.engine_table = series_start_conversation_table(protocol.c_str(), endpoints,
                                                         table.filter.empty() ? nullptr : table.filter.c_str(),
                                                         stats_packet_counts, error);
    if (!table.engine_table)
        return refuse(WSB_E_FILTER, "The filter \"" + table.filter + "\" was refused: " + error);
    return true;
}

bool parse_hierarchy(const char *request, stats_table &table)
{
    if (std::strcmp(request, "io,phs") != 0 && std::strncmp(request, "io,phs,", 7) != 0)
        return refuse(WSB_E_BAD_ARGUMENT, std::string("\"") + request + "\" is not \"io,phs[,FILTER]\".");
    table.kind = WSB_STATS_HIERARCHY;
    table.has_filter = request[6] == ',';
    table.filter = table.has_filter ? request + 7 : "";
    return listen_to_frames(&table, table.filter, true, stats_hierarchy_packet);
}

// The io,stat function names, in the order tshark tries them.
struct function_name {
    const char *name;
    io_function function;
    bool load;
};
const function_name function_names[] = {
    {"FRAMES", io_function::frames, false},      {"BYTES", io_function::bytes, false},
    {"FRAMES BYTES", io_function::frames_and_bytes, false}, {"COUNT", io_function::count, false},
    {"SUM", io_function::sum, false},            {"MIN", io_function::minimum, false},
    {"MAX", io_function::maximum, false},        {"AVG", io_function::average, false},
    {"LOAD", io_function::frames_and_bytes, true},
};

// One series, parsed as tshark's register_io_tap parses it.
bool parse_series(stats_table &table, const char *text)
{
    auto series = std::make_unique<io_series>();
    series->table = &table;
    series->index = static_cast<int32_t>(table.series.size());
    series->has_text = text != nullptr;
    series->text = text ? text : "";
    series->function = io_function::frames_and_bytes;
    series->field_id = -1;
    series->value_kind = series_stat_value::other;
    std::string filter = text ? text : "";
    std::string field;
    bool load = false;
    header_field_info *hfinfo = nullptr;
    for (const function_name &entry : function_names) {
        const size_t length = std::strlen(entry.name);
        if (text && std::strncmp(text, entry.name, length) == 0) {
            series->function = entry.function;
            load = entry.load;
            if (text[length] != '(')
                continue;
            const char *start = text + length + 1;
            const char *close = std::strchr(start, ')');
            if (!close)
                return refuse(WSB_E_BAD_ARGUMENT, "Closing parenthesis missing from calculated expression \"" +
                                                      std::string(text) + "\".");
            const bool takes_no_field =
                series->function == io_function::frames || series->function == io_function::bytes;
            if (takes_no_field && close != start)
                return refuse(WSB_E_BAD_ARGUMENT,
                              std::string(entry.name) + " does not require or allow a field name within the parens.");
            if (!takes_no_field && close == start)
                return refuse(WSB_E_BAD_ARGUMENT,
                              std::string("You didn't specify a field name for ") + entry.name + "(*).");
            field.assign(start, static_cast<size_t>(close - start));
            filter = close + 1;
            if (takes_no_field)
                break;
            hfinfo = proto_registrar_get_byname(field.c_str());
            if (!hfinfo)
                return refuse(WSB_E_UNKNOWN_FIELD, "There is no field named '" + field + "'.");
            series->field_id = hfinfo->id;
            break;
        }
        if (series->function == io_function::frames || series->function == io_function::bytes)
            filter.clear();
    }
    if (load)
        return refuse(WSB_E_UNSUPPORTED, "LOAD() series are not supported.");
    if (hfinfo && series->function != io_function::frames && series->function != io_function::bytes &&
        series->function != io_function::frames_and_bytes) {
        series->value_kind = series_stat_value_kind(hfinfo->id);
        if (series->value_kind == series_stat_value::other && series->function != io_function::count)
            return refuse(WSB_E_BAD_ARGUMENT, field + " doesn't have integral values, so its " +
                                                  std::string(series->function == io_function::sum       ? "SUM"
                                                              : series->function == io_function::minimum ? "MIN"
                                                              : series->function == io_function::maximum ? "MAX"
                                                                                                         : "AVG") +
                                                  "(*) calculations are not supported on it.");
    }
    // The function's field is named in the listener's filter, so that the
    // engine keeps its items in every packet's tree (tshark finds them only
    // when some filter happens to name the field).
    if (series->field_id >= 0) {
        const std::string keep = field + " || !" + field;
        filter = filter.empty() ? keep : "(" + filter + ") && (" + keep + ")";
    }
    io_series *registered = series.get();
    table.series.push_back(std::move(series));
    return listen_to_frames(registered, filter, registered->field_id >= 0, stats_interval_packet);
}

bool parse_intervals(const char *request, stats_table &table)
{
    const std::string usage = std::string("\"") + request + "\" is not \"io,stat,INTERVAL[,SERIES]...\".";
    const size_t length = std::strlen(request);
    const char *number = request + 8;
    if (std::strncmp(request, "io,stat,", 8) != 0 || request[length - 1] == ',')
        return refuse(WSB_E_BAD_ARGUMENT, usage);
    char *end = nullptr;
    errno = 0;
    const double seconds = std::strtod(number, &end);
    if (end == number || errno != 0 || !std::isfinite(seconds) || (*end != '\0' && *end != ','))
        return refuse(WSB_E_BAD_ARGUMENT, usage);
    table.kind = WSB_STATS_INTERVALS;
    if (seconds == 0) {
        table.interval_us = UINT64_MAX;
        table.interval_precision = 0;
    } else {
        if (seconds < 0 || seconds * 1000000.0 + 0.5 < 1 || seconds > 1e12)
            return refuse(WSB_E_BAD_ARGUMENT,
                          "The interval must be at least 0.000001 seconds, or 0 for the whole capture.");
        table.interval_us = static_cast<uint64_t>(seconds * 1000000.0 + 0.5);
        // The decimals the interval is printed with, as tshark chooses them.
        table.interval_precision = 6;
        for (uint64_t i = 10; i < 10000000; i *= 10) {
            if (table.interval_us % i > 0)
                break;
            --table.interval_precision;
        }
        if (table.interval_precision == 0) {
            const char *point = static_cast<const char *>(std::memchr(number, '.', static_cast<size_t>(end - number)));
            if (point && end - point - 1 > 0)
                table.interval_precision = static_cast<uint32_t>(std::min<long>(end - point - 1, 6));
        }
    }
    if (*end == '\0')
        return parse_series(table, nullptr);
    // The series, split at every comma and stripped as tshark does.
    const char *text = end + 1;
    for (;;) {
        const char *comma = std::strchr(text, ',');
        if (comma == text) {
            if (!parse_series(table, nullptr))
                return false;
        } else {
            std::string piece = comma ? std::string(text, static_cast<size_t>(comma - text)) : std::string(text);
            gchar *stripped = g_strstrip(g_strdup(piece.c_str()));
            const std::string kept = stripped;
            g_free(stripped);
            if (!parse_series(table, !comma && kept.empty() ? nullptr : kept.c_str()))
                return false;
        }
        if (!comma)
            break;
        text = comma + 1;
    }
    return true;
}

}  // namespace

bool stats_parse_request(const char *request, std::unique_ptr<stats_table> &table)
{
    table = std::make_unique<stats_table>();
    table->request = request;
    table->kind = 0;
    table->has_filter = false;
    table->has_ports = false;
    table->engine_table = nullptr;
    table->interval_us = 0;
    table->interval_precision = 0;
    nstime_set_zero(&table->added_elapsed);
    bool parsed;
    if (std::strncmp(request, "conv,", 5) == 0)
        parsed = parse_conversations(request, false, *table);
    else if (std::strncmp(request, "endpoints,", 10) == 0)
        parsed = parse_conversations(request, true, *table);
    else if (std::strncmp(request, "io,phs", 6) == 0)
        parsed = parse_hierarchy(request, *table);
    else if (std::strncmp(request, "io,stat,", 8) == 0)
        parsed = parse_intervals(request, *table);
    else
        parsed = refuse(*request && std::strchr(request, ',') ? WSB_E_UNSUPPORTED : WSB_E_BAD_ARGUMENT,
                        std::string("\"") + request +
                            "\" is not a statistic the library counts: \"conv,PROTOCOL[,FILTER]\", "
                            "\"endpoints,PROTOCOL[,FILTER]\", \"io,phs[,FILTER]\" or \"io,stat,INTERVAL[,SERIES]...\".");
    if (!parsed) {
        stats_stop_table(*table);
        table.reset();
    }
    return parsed;
}

void stats_stop_table(stats_table &table)
{
    series_stop_conversation_table(table.engine_table);
    table.engine_table = nullptr;
    series_remove_tap_listener(&table);
    for (auto &series : table.series)
        series_remove_tap_listener(series.get());
}

void stats_clear_table(stats_table &table)
{
    if (table.engine_table)
        series_clear_conversation_table(table.engine_table);
    table.added_conversations.clear();
    table.added_endpoints.clear();
    table.nodes.clear();
    table.roots.clear();
    table.added_hierarchy.clear();
    for (auto &series : table.series)
        series->rows.clear();
    nstime_set_zero(&table.added_elapsed);
    table.added_intervals.clear();
}
