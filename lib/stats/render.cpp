// SPDX-License-Identifier: GPL-2.0-or-later
// The texts of the tables, from their records, exactly as tshark's -z
// listeners print them with -n and the default time format (-t r): the
// conversation and endpoint tables of ui/cli/tap-iousers.c and
// tap-endpoints.c, the hierarchy of tap-protohierstat.c and the io,stat
// table of tap-iostat.c, their widths, roundings and quirks included.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/state.h"
#include "stats/stats_state.h"

namespace {

void append_format(std::string &out, const char *format, va_list arguments)
{
    va_list copy;
    va_copy(copy, arguments);
    char buffer[512];
    const int length = std::vsnprintf(buffer, sizeof buffer, format, arguments);
    if (length < 0) {
        va_end(copy);
        return;
    }
    if (static_cast<size_t>(length) < sizeof buffer) {
        out.append(buffer, static_cast<size_t>(length));
    } else {
        std::string large(static_cast<size_t>(length) + 1, '\0');
        std::vsnprintf(&large[0], large.size(), format, copy);
        out.append(large.data(), static_cast<size_t>(length));
    }
    va_end(copy);
}

void append(std::string &out, const char *format, ...) G_GNUC_PRINTF(2, 3);
void append(std::string &out, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    append_format(out, format, arguments);
    va_end(arguments);
}

// A format composed at run time, as tshark composes its io,stat formats.
void append_runtime_format(std::string &out, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    append_format(out, format, arguments);
    va_end(arguments);
}

template <class... Arguments>
void append_composed(std::string &out, const std::string &format, Arguments... arguments)
{
    append_runtime_format(out, format.c_str(), arguments...);
}

// nstime_to_sec.
double seconds_of(int64_t seconds, int32_t nanoseconds)
{
    return static_cast<double>(seconds) + static_cast<double>(nanoseconds) / 1e9;
}

constexpr const char *long_rule = "================================================================================\n";

// ---- Conversations and endpoints --------------------------------------------

void render_conversations(stats_table &table)
{
    std::string &out = table.text_out;
    const bool ports = table.has_ports;
    out += long_rule;
    append(out, "%s Conversations\n", table.title.c_str());
    append(out, "Filter:%s\n", table.has_filter ? table.filter.c_str() : "<No Filter>");
    const char *indent = ports ? "            " : "";
    append(out,
           "%s                                               |       <-      | |       ->      | |     Total     |    "
           "Relative    |   Duration   |\n",
           indent);
    append(out,
           "%s                                               | Frames  Bytes | | Frames  Bytes | | Frames  Bytes |      "
           "Start     |              |\n",
           indent);
    for (const WsbConversation &c : table.conversations_out) {
        const std::string rx = series_format_bytes(c.bytes_b_to_a);
        const std::string tx = series_format_bytes(c.bytes_a_to_b);
        const std::string total = series_format_bytes(c.bytes_a_to_b + c.bytes_b_to_a);
        if (ports) {
            const std::string a = std::string(c.address_a) + ":" + std::to_string(c.port_a);
            const std::string b = std::string(c.address_b) + ":" + std::to_string(c.port_b);
            append(out, "%-26s <-> %-26s  %6" PRIu64 " %-9s  %6" PRIu64 " %-9s  %6" PRIu64 " %-9s  ", a.c_str(), b.c_str(),
                   c.frames_b_to_a, rx.c_str(), c.frames_a_to_b, tx.c_str(), c.frames_a_to_b + c.frames_b_to_a,
                   total.c_str());
        } else {
            append(out, "%-20s <-> %-20s  %6" PRIu64 " %-9s  %6" PRIu64 " %-9s  %6" PRIu64 " %-9s  ", c.address_a,
                   c.address_b, c.frames_b_to_a, rx.c_str(), c.frames_a_to_b, tx.c_str(),
                   c.frames_a_to_b + c.frames_b_to_a, total.c_str());
        }
        append(out, "%14.9f", seconds_of(c.start_seconds, c.start_nanoseconds));
        append(out, "   %12.4f\n",
               seconds_of(c.stop_seconds, c.stop_nanoseconds) - seconds_of(c.start_seconds, c.start_nanoseconds));
    }
    out += long_rule;
}

void render_endpoints(stats_table &table)
{
    std::string &out = table.text_out;
    const bool ports = table.has_ports;
    out += long_rule;
    append(out, "%s Endpoints\n", table.title.c_str());
    append(out, "Filter:%s\n", table.has_filter ? table.filter.c_str() : "<No Filter>");
    append(out,
           "                       |  %sPackets  | |  Bytes  | | Tx Packets | | Tx Bytes | | Rx Packets | | Rx Bytes |\n",
           ports ? "Port  ||  " : "");
    for (const WsbEndpoint &e : table.endpoints_out) {
        if (ports)
            append(out,
                   "%-20s      %5s     %6" PRIu64 "     %9" PRIu64 "     %6" PRIu64 "       %9" PRIu64 "      %6" PRIu64
                   "       %9" PRIu64 "   \n",
                   e.address, std::to_string(e.port).c_str(), e.tx_frames + e.rx_frames, e.tx_bytes + e.rx_bytes,
                   e.tx_frames, e.tx_bytes, e.rx_frames, e.rx_bytes);
        else
            append(out,
                   "%-20s      %6" PRIu64 "     %9" PRIu64 "     %6" PRIu64 "       %9" PRIu64 "      %6" PRIu64
                   "       %9" PRIu64 "   \n",
                   e.address, e.tx_frames + e.rx_frames, e.tx_bytes + e.rx_bytes, e.tx_frames, e.tx_bytes, e.rx_frames,
                   e.rx_bytes);
    }
    out += long_rule;
}

// ---- Protocol hierarchy -----------------------------------------------------

void render_hierarchy(stats_table &table)
{
    std::string &out = table.text_out;
    constexpr const char *rule = "===================================================================\n";
    out += "\n";
    out += rule;
    out += "Protocol Hierarchy Statistics\n";
    append(out, "Filter: %s\n\n", table.filter.c_str());
    for (const WsbHierarchyRow &row : table.hierarchy_out) {
        constexpr int line = 80;
        char text[line];
        int used = 0;
        text[0] = '\0';
        for (int i = 0; i < row.depth; ++i) {
            if (i > 15) {
                used += std::snprintf(text + used, static_cast<size_t>(line - used), "...");
                break;
            }
            used += std::snprintf(text + used, static_cast<size_t>(line - used), "  ");
        }
        std::snprintf(text + used, static_cast<size_t>(line - used), "%s", row.protocol);
        append(out, "%-40s frames:%u bytes:%" PRIu64 "\n", text, static_cast<uint32_t>(row.frames), row.bytes);
    }
    out += rule;
}

// ---- io,stat ------------------------------------------------------------------

unsigned magnitude(uint64_t value, unsigned most)
{
    unsigned digits = 0;
    for (unsigned i = 0; i < most; ++i) {
        ++digits;
        if ((value /= 10) == 0)
            break;
    }
    return digits;
}

const char *function_label(io_function function)
{
    switch (function) {
    case io_function::frames:
        return "FRAMES";
    case io_function::bytes:
        return "BYTES";
    case io_function::frames_and_bytes:
        return "FRAMES BYTES";
    case io_function::count:
        return "COUNT";
    case io_function::sum:
        return "SUM";
    case io_function::minimum:
        return "MIN";
    case io_function::maximum:
        return "MAX";
    case io_function::average:
    default:
        return "AVG";
    }
}

// The label centred in its column header (tshark's printcenter, which
// prints nothing for a column much wider than its label).
void centre(std::string &out, const char *label, int width)
{
    const char spaces[] = "      ";
    const int label_length = static_cast<int>(std::strlen(label));
    const int length = static_cast<int>(std::strlen(spaces)) - (((width - label_length) / 2) + 1);
    if (length > 0 && length < 6) {
        const char *pad = &spaces[length];
        if ((width - label_length) % 2 == 0)
            append(out, "%s%s%s|", pad, label, pad);
        else
            append(out, "%s%s%s|", pad - 1, label, pad);
    } else if (length > 0 && length <= 15) {
        append(out, "%s|", label);
    }
}

bool is_float(series_stat_value kind)
{
    return kind == series_stat_value::floating_single || kind == series_stat_value::floating_double;
}

// What tshark's counter of a row holds when it prints it, for a row with
// packets: integers (and relative times in ns) as 64 bits, floats.
struct printed_value {
    uint64_t counter;
    double floating;
};

printed_value value_of(const io_series &series, const WsbIntervalRow &row)
{
    printed_value value{0, 0};
    const series_stat_value kind = series.value_kind;
    switch (series.function) {
    case io_function::frames:
    case io_function::bytes:
    case io_function::frames_and_bytes:
        value.counter = row.bytes;
        break;
    case io_function::count:
        value.counter = row.values;
        break;
    case io_function::sum:
        value.counter = static_cast<uint64_t>(row.sum);
        value.floating = row.float_sum;
        break;
    case io_function::maximum:
        // The count starts at 0: a maximum below it stays 0.
        if (row.values > 0) {
            value.counter = kind == series_stat_value::integer ? static_cast<uint64_t>(row.maximum > 0 ? row.maximum : 0)
                                                               : static_cast<uint64_t>(row.maximum);
            value.floating = row.float_maximum > 0 ? row.float_maximum : 0;
        }
        break;
    case io_function::minimum:
        // The count starts at the first value of the interval's first
        // packet, or at 0 when that packet has none.
        if (row.first_frame_values > 0) {
            value.counter = static_cast<uint64_t>(row.minimum);
            value.floating = row.float_minimum;
        } else if (row.values > 0) {
            value.counter = kind == series_stat_value::integer ? static_cast<uint64_t>(row.minimum < 0 ? row.minimum : 0) : 0;
            value.floating = row.float_minimum < 0 ? row.float_minimum : 0;
        }
        break;
    case io_function::average: {
        const uint64_t count = row.values ? row.values : 1;
        if (kind == series_stat_value::floating_single)
            value.floating = static_cast<float>(row.float_sum) / static_cast<float>(count);
        else
            value.floating = row.float_sum / static_cast<double>(count);
        value.counter = static_cast<uint64_t>(row.sum) / count;
        break;
    }
    }
    return value;
}

// The value a row adds to its column's width (tshark's max_vals), from the
// row's final counts.
// A float as the unsigned count tshark's cast makes of it, within the
// counts' range: nothing negative, NaN or beyond it is cast (undefined).
uint64_t float_count(double value)
{
    if (!(value > 0))
        return 0;
    return value >= 18446744073709551615.0 ? UINT64_MAX : static_cast<uint64_t>(value);
}

uint64_t width_value(const io_series &series, const WsbIntervalRow &row, bool *counts)
{
    *counts = true;
    const series_stat_value kind = series.value_kind;
    const printed_value value = value_of(series, row);
    switch (series.function) {
    case io_function::frames:
    case io_function::bytes:
    case io_function::frames_and_bytes:
    case io_function::count:
        return value.counter;
    case io_function::average:
        if (row.values == 0) {
            *counts = false;
            return 0;
        }
        if (is_float(kind))
            return float_count(row.float_sum) / row.values;
        if (kind == series_stat_value::relative_time)
            return (static_cast<uint64_t>(row.sum) / row.values + 500000000u) / 1000000000u;
        return value.counter;
    case io_function::minimum:
        // The largest count the interval passed is the one after its first
        // packet; a negative one counts as the huge number it is unsigned.
        if (is_float(kind)) {
            const double first = row.first_frame_values > 0 ? row.first_float_minimum : 0;
            return float_count(first + 0.5);
        }
        if (kind == series_stat_value::integer && row.values > 0 && row.minimum < 0)
            return UINT64_MAX;
        return row.first_frame_values > 0 ? static_cast<uint64_t>(row.first_minimum) : 0;
    case io_function::sum:
    case io_function::maximum:
    default:
        if (is_float(kind))
            return float_count(value.floating + 0.5);
        return value.counter;
    }
}

// One row per interval from the capture's first packet to its latest: a
// text of more rows than a text handed out can hold (its size is an
// int32_t) is refused before it is built.
bool refuse_rows(const nstime_t &elapsed)
{
    set_error_format(WSB_E_LIMIT,
                     "\"Get Statistics Text\" operation failed. One row per interval over %" PRId64 " seconds is more "
                     "than a text can hold (2 GiB): ask for a longer interval, or read the rows with gGetIntervals.",
                     static_cast<int64_t>(elapsed.secs));
    return false;
}

bool render_intervals(stats_table &table, const nstime_t &elapsed)
{
    std::string &out = table.text_out;
    if (static_cast<uint64_t>(elapsed.secs) > UINT64_MAX / 1000000u - 1)
        return refuse_rows(elapsed);
    const size_t columns = table.series.size();
    // The rows of each series by interval.
    std::vector<std::vector<const WsbIntervalRow *>> rows_of(columns);
    std::vector<uint64_t> max_vals(columns, 0), max_frame(columns, 0);
    for (const WsbIntervalRow &row : table.intervals_out) {
        const io_series &series = *table.series[static_cast<size_t>(row.series)];
        rows_of[static_cast<size_t>(row.series)].push_back(&row);
        bool counts = false;
        const uint64_t value = width_value(series, row, &counts);
        if (counts && value > max_vals[static_cast<size_t>(row.series)])
            max_vals[static_cast<size_t>(row.series)] = value;
        if (row.frames > max_frame[static_cast<size_t>(row.series)])
            max_frame[static_cast<size_t>(row.series)] = row.frames;
    }

    uint64_t duration = static_cast<uint64_t>(elapsed.secs) * 1000000u + static_cast<uint64_t>((elapsed.nsecs + 500) / 1000);
    uint64_t interval;
    bool whole = table.interval_us == UINT64_MAX;
    if (table.interval_us > duration || whole) {
        interval = duration;
        whole = true;
    } else {
        interval = table.interval_us;
    }
    auto dur_secs = static_cast<unsigned>(duration / 1000000u);
    const unsigned dur_secs_orig = dur_secs;
    auto dur_nsecs = static_cast<unsigned>(duration % 1000000u);
    const unsigned dur_nsecs_orig = dur_nsecs;
    unsigned dur_mag = magnitude(dur_secs, 5);
    const std::string dur_mag_s = std::to_string(dur_mag);
    const unsigned invl_mag = magnitude(interval / 1000000u, 5);
    unsigned invl_prec, borderlen;
    if (interval == duration) {
        invl_prec = dur_mag >= 2 ? 1 : dur_mag == 1 ? 3 : 6;
        borderlen = 30 + dur_mag + (invl_prec == 0 ? 0 : invl_prec + 1);
    } else {
        invl_prec = table.interval_precision;
        borderlen = 25 + std::max(invl_mag, dur_mag) + (invl_prec == 0 ? 0 : invl_prec + 1);
    }
    uint64_t dv = 1000000;
    for (unsigned i = 0; i < invl_prec; ++i)
        dv /= 10;
    if ((duration % dv) > 5 * (dv / 10)) {
        duration += 5 * (dv / 10);
        duration = (duration / dv) * dv;
        dur_secs = static_cast<unsigned>(duration / 1000000u);
        dur_nsecs = static_cast<unsigned>(duration % 1000000u);
        dur_mag = magnitude(dur_secs, 5);
    }
    if (whole)
        interval = duration;
    unsigned invl_col_w = invl_prec == 0 ? (2 * dur_mag) + 8 : (2 * dur_mag) + (2 * invl_prec) + 10;
    invl_col_w = std::max(invl_col_w, 12u);
    borderlen = std::max(borderlen, invl_col_w);

    struct column_width {
        unsigned fr;
        unsigned val;
    };
    std::vector<column_width> col_w(columns, column_width{0, 0});
    std::vector<std::string> fmts(columns);
    unsigned tabrow_w = invl_col_w;
    for (size_t j = 0; j < columns; ++j) {
        const io_series &series = *table.series[j];
        const io_function type = series.function;
        const unsigned namelen =
            type == io_function::frames_and_bytes ? 5 : static_cast<unsigned>(std::strlen(function_label(type)));
        if (type == io_function::frames || type == io_function::frames_and_bytes) {
            const unsigned fr_mag = std::max(6u, magnitude(max_frame[j], 15));
            col_w[j].fr = fr_mag;
            tabrow_w += fr_mag + 3;
            if (type == io_function::frames) {
                fmts[j] = " %" + std::to_string(fr_mag) + "u |";
            } else {
                const unsigned val_mag = std::max(5u, magnitude(max_vals[j], 15));
                col_w[j].val = val_mag;
                tabrow_w += val_mag + 3;
                fmts[j] = " %" + std::to_string(fr_mag) + "u | %" + std::to_string(val_mag) + PRIu64 " |";
            }
            continue;
        }
        if (type == io_function::bytes || type == io_function::count) {
            const unsigned val_mag = std::max(5u, magnitude(max_vals[j], 15));
            col_w[j].val = val_mag;
            fmts[j] = " %" + std::to_string(val_mag) + PRIu64 " |";
        } else if (is_float(series.value_kind)) {
            const unsigned val_mag = magnitude(max_vals[j], 15);
            fmts[j] = " %" + std::to_string(val_mag) + ".6f |";
            col_w[j].val = val_mag + 7;
        } else if (series.value_kind == series_stat_value::relative_time) {
            if (type != io_function::average)
                max_vals[j] = (max_vals[j] + 500000000u) / 1000000000u;
            const unsigned val_mag = magnitude(max_vals[j], 15);
            fmts[j] = " %" + std::to_string(val_mag) + "u.%06u |";
            col_w[j].val = val_mag + 7;
        } else {
            const unsigned val_mag = std::max(namelen, magnitude(max_vals[j], 15));
            col_w[j].val = val_mag;
            fmts[j] = " %" + std::to_string(val_mag) +
                      (series.value_kind == series_stat_value::integer ? PRId64 : PRIu64) + " |";
        }
        tabrow_w += col_w[j].val + 3;
    }
    borderlen = std::max(borderlen, tabrow_w);

    unsigned maxfltr_w = 0;
    for (size_t j = 0; j < columns; ++j)
        maxfltr_w = std::max(maxfltr_w, table.series[j]->has_text
                                            ? static_cast<unsigned>(table.series[j]->text.size() + 11)
                                            : 26u);
    if (maxfltr_w > borderlen && borderlen < 102)
        borderlen = std::min(maxfltr_w, 102u);
    if (borderlen - tabrow_w == 1)
        ++borderlen;

    // tshark prints tails of a line of blanks: the last n of borderlen.
    const std::string spaces(borderlen, ' ');
    auto tail = [&spaces, borderlen](long from) -> const char * {
        if (from < 0)
            from = 0;
        if (from > static_cast<long>(borderlen))
            from = borderlen;
        return spaces.c_str() + from;
    };

    out += "\n";
    out.append(borderlen, '=');
    append(out, "\n| IO Statistics%s|\n", tail(16));
    append(out, "|%s|\n", tail(2));
    std::string invl_fmt;
    if (invl_prec == 0) {
        invl_fmt = "%" + dur_mag_s + "u";
        append_composed(out, "| Duration: " + invl_fmt + ".%6u secs%s|\n", dur_secs_orig, dur_nsecs_orig,
                        tail(25 + dur_mag));
        append_composed(out, "| Interval: " + invl_fmt + " secs%s|\n", static_cast<uint32_t>(interval / 1000000u),
                        tail(18 + dur_mag));
    } else {
        invl_fmt = "%" + dur_mag_s + "u.%0" + std::to_string(invl_prec) + "u";
        append_composed(out, "| Duration: " + invl_fmt + " secs%s|\n", dur_secs, static_cast<unsigned>(dur_nsecs / dv),
                        tail(19 + dur_mag + invl_prec));
        append_composed(out, "| Interval: " + invl_fmt + " secs%s|\n", static_cast<uint32_t>(interval / 1000000u),
                        static_cast<uint32_t>((interval % 1000000u) / dv), tail(19 + dur_mag + invl_prec));
    }
    append(out, "|%s|\n", tail(2));

    out += "| Col";
    for (size_t j = 0; j < columns; ++j) {
        append(out, j == 0 ? "%2u: " : "|    %2u: ", static_cast<unsigned>(j + 1));
        const io_series &series = *table.series[j];
        if (!series.has_text) {
            append(out, "Frames and bytes%s|\n", tail(26));
            continue;
        }
        const char *filter = series.text.c_str();
        size_t len_filt = std::strlen(filter);
        if (len_filt + 11 <= borderlen) {
            append(out, "%s%s|\n", filter, tail(static_cast<long>(len_filt) + 10));
            continue;
        }
        const size_t max_w = borderlen - 11;
        for (;;) {
            if (len_filt > max_w) {
                const std::string first(filter, max_w);
                const size_t space = first.rfind(' ');
                size_t length, next_start;
                if (space != std::string::npos) {
                    length = space;
                    next_start = length + 1;
                } else {
                    length = first.size();
                    next_start = length;
                }
                append(out, "%s%s|\n", first.substr(0, length).c_str(), tail(static_cast<long>(length) + 10));
                out += "|        ";
                filter += next_start;
                len_filt = std::strlen(filter);
            } else {
                append(out, "%s%s|\n", filter, tail(static_cast<long>(std::strlen(filter)) + 10));
                break;
            }
        }
    }
    out += "|-";
    out.append(borderlen - 3, '-');
    out += "|\n";

    append(out, "|%s|", tail(static_cast<long>(borderlen) - (static_cast<long>(invl_col_w) - 2)));
    for (size_t j = 0; j < columns; ++j) {
        const io_function type = table.series[j]->function;
        long width;
        if (type == io_function::frames_and_bytes)
            width = col_w[j].fr + col_w[j].val + 3;
        else if (type == io_function::frames)
            width = col_w[j].fr;
        else
            width = col_w[j].val;
        append(out, "%-2d%s|", static_cast<int>(j + 1), tail(static_cast<long>(borderlen) - width));
    }
    const bool filler = tabrow_w < borderlen;
    const char *filler_s = filler ? tail(tabrow_w + 1) : "";
    if (filler)
        append(out, "%s|", filler_s);
    out += "\n| Interval";
    append(out, "%s|", tail(static_cast<long>(borderlen) - (static_cast<long>(invl_col_w) - 11)));
    for (size_t j = 0; j < columns; ++j) {
        const io_function type = table.series[j]->function;
        if (type == io_function::frames) {
            centre(out, "FRAMES", static_cast<int>(col_w[j].fr));
        } else if (type == io_function::frames_and_bytes) {
            centre(out, "Frames", static_cast<int>(col_w[j].fr));
            centre(out, "Bytes", static_cast<int>(col_w[j].val));
        } else {
            centre(out, function_label(type), static_cast<int>(col_w[j].val));
        }
    }
    if (filler)
        append(out, "%s|", filler_s);
    out += "\n|-";
    if (tabrow_w > 3)
        out.append(tabrow_w - 3, '-');
    out += "|";
    if (filler)
        append(out, "%s|", tail(tabrow_w + 1));
    out += "\n";

    std::string full_fmt = invl_prec == 0 && dur_mag == 1 ? "|  " + invl_fmt + " <> " + invl_fmt + "  |"
                                                           : "| " + invl_fmt + " <> " + invl_fmt + " |";
    uint64_t num_rows = 0;
    if (interval != 0 && duration != 0)
        num_rows = duration / interval + (duration % interval > 0 ? 1 : 0);
    // Each row is at least as wide as the table's columns.
    const uint64_t row_bytes = tabrow_w + 2u;
    if (num_rows > (static_cast<uint64_t>(INT32_MAX) - out.size()) / row_bytes) {
        out.clear();
        return refuse_rows(elapsed);
    }
    std::vector<size_t> next(columns, 0);
    uint64_t t = 0;
    for (uint64_t i = 0; i < num_rows; ++i) {
        const bool last_row = i == num_rows - 1;
        const uint64_t invl_end = last_row ? duration : t + interval;
        if (invl_prec == 0) {
            if (last_row) {
                const unsigned maxw = dur_mag >= 3 ? dur_mag + 1 : 3;
                full_fmt = std::string(dur_mag == 1 ? "|  " : "| ") + invl_fmt + " <> %-" + std::to_string(maxw) + "s|";
                append_composed(out, full_fmt, static_cast<uint32_t>(t / 1000000u), "Dur");
            } else {
                append_composed(out, full_fmt, static_cast<uint32_t>(t / 1000000u),
                                static_cast<uint32_t>(invl_end / 1000000u));
            }
        } else {
            append_composed(out, full_fmt, static_cast<uint32_t>(t / 1000000u),
                            static_cast<uint32_t>(t % 1000000u / dv), static_cast<uint32_t>(invl_end / 1000000u),
                            static_cast<uint32_t>(invl_end % 1000000u / dv));
        }
        for (size_t j = 0; j < columns; ++j) {
            const io_series &series = *table.series[j];
            // The series' row of this interval, or an empty one.
            const std::vector<const WsbIntervalRow *> &rows = rows_of[j];
            while (next[j] < rows.size() && rows[next[j]]->interval < static_cast<int64_t>(i))
                ++next[j];
            WsbIntervalRow empty{};
            const WsbIntervalRow &row =
                next[j] < rows.size() && rows[next[j]]->interval == static_cast<int64_t>(i) ? *rows[next[j]] : empty;
            const printed_value value = value_of(series, row);
            switch (series.function) {
            case io_function::frames:
                append_composed(out, fmts[j], static_cast<uint32_t>(row.frames));
                break;
            case io_function::bytes:
            case io_function::count:
                append_composed(out, fmts[j], value.counter);
                break;
            case io_function::frames_and_bytes:
                append_composed(out, fmts[j], static_cast<uint32_t>(row.frames), value.counter);
                break;
            default:
                if (is_float(series.value_kind)) {
                    append_composed(out, fmts[j], value.floating);
                } else if (series.value_kind == series_stat_value::relative_time) {
                    const uint64_t us = (value.counter + 500) / 1000;
                    append_composed(out, fmts[j], static_cast<int>(us / 1000000u), static_cast<int>(us % 1000000u));
                } else {
                    append_composed(out, fmts[j], value.counter);
                }
                break;
            }
        }
        if (filler)
            append(out, "%s|", filler_s);
        out += "\n";
        t += interval;
    }
    out.append(borderlen, '=');
    out += "\n";
    if (out.size() >= static_cast<size_t>(INT32_MAX)) {
        out.clear();
        return refuse_rows(elapsed);
    }
    return true;
}

}  // namespace

bool stats_render(stats_table &table, const nstime_t &elapsed)
{
    table.text_out.clear();
    switch (table.kind) {
    case WSB_STATS_CONVERSATIONS:
        render_conversations(table);
        break;
    case WSB_STATS_ENDPOINTS:
        render_endpoints(table);
        break;
    case WSB_STATS_HIERARCHY:
        render_hierarchy(table);
        break;
    case WSB_STATS_INTERVALS:
    default:
        return render_intervals(table, elapsed);
    }
    return true;
}
