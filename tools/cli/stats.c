/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The -z tables: asked for, printed, and passed from --jobs workers to the
 * parent; see stats.h. */
#include "stats.h"

#include <inttypes.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "wsbridge.h"
#include "format.h"
#include "jobs.h"
#include "report.h"

/* The library keeps at most this many tables. */
enum { most_tables = 64 };

static struct {
    const cli_texts *requests;
    int32_t tables[most_tables];
    int count; /* tables asked for */
} stats;

/* The requests the library counts, as tshark's -z names them. */
static int is_known_request(const char *request)
{
    return strncmp(request, "conv,", 5) == 0 || strncmp(request, "endpoints,", 10) == 0 ||
           strcmp(request, "io,phs") == 0 || strncmp(request, "io,phs,", 7) == 0 || strncmp(request, "io,stat,", 8) == 0;
}

int cli_stats_check(const char *verb, const cli_texts *requests)
{
    stats.requests = requests;
    if (requests->count > most_tables)
        return cli_usage_error(verb, "at most %d -z tables, not %d", most_tables, requests->count);
    for (int i = 0; i < requests->count; ++i)
        if (!is_known_request(requests->items[i]))
            return cli_usage_error(verb,
                                   "invalid -z argument \"%s\"; it must be one of conv,PROTOCOL[,FILTER], "
                                   "endpoints,PROTOCOL[,FILTER], io,phs[,FILTER] or io,stat,INTERVAL[,SERIES]...",
                                   requests->items[i]);
    return CLI_OK;
}

/* The library's reason without the name of the call that failed. */
static const char *reason(void)
{
    const char *message = gGetLastError();
    const char *after = strstr(message, "operation failed. ");
    return after ? after + strlen("operation failed. ") : message;
}

int cli_stats_request(const char *verb)
{
    stats.count = 0;
    for (int i = 0; stats.requests && i < stats.requests->count; ++i) {
        const char *request = stats.requests->items[i];
        if (gRequestStatistics(request, &stats.tables[i]) != WSB_OK) {
            switch (gGetLastErrorCode()) {
            case WSB_E_BAD_ARGUMENT:
            case WSB_E_UNSUPPORTED:
            case WSB_E_UNKNOWN_FIELD:
            case WSB_E_FILTER:
                return cli_usage_error(verb, "-z %s: %s", request, reason());
            default:
                return cli_fail("-z");
            }
        }
        stats.count = i + 1;
    }
    return CLI_OK;
}

/* One table's records as the library hands them out. */
typedef struct {
    int32_t kind;
    const void *records;
    int32_t count;
    int64_t elapsed_seconds; /* intervals only */
    int32_t elapsed_nanoseconds;
} table_records;

static int records_of(int32_t table, table_records *out)
{
    *out = (table_records){0, NULL, 0, 0, 0};
    if (gGetStatisticsKind(table, &out->kind) != WSB_OK)
        return cli_fail("-z");
    int32_t status = WSB_OK;
    switch (out->kind) {
    case WSB_STATS_CONVERSATIONS:
        status = gGetConversations(table, (const WsbConversation **)&out->records, &out->count);
        break;
    case WSB_STATS_ENDPOINTS:
        status = gGetEndpoints(table, (const WsbEndpoint **)&out->records, &out->count);
        break;
    case WSB_STATS_HIERARCHY:
        status = gGetHierarchy(table, (const WsbHierarchyRow **)&out->records, &out->count);
        break;
    case WSB_STATS_INTERVALS:
        status = gGetIntervals(table, (const WsbIntervalRow **)&out->records, &out->count, &out->elapsed_seconds,
                               &out->elapsed_nanoseconds);
        break;
    }
    return status == WSB_OK ? CLI_OK : cli_fail("-z");
}

/* ---- JSON and CSV -------------------------------------------------------- */

/* The members of a record written out, named after its fields. A
 * conversation's conversation_id is left out: it is the numbering of the
 * process that counted, another in each worker of --jobs. */
typedef enum { column_text, column_int32, column_uint32, column_int64, column_uint64, column_double } column_type;
typedef struct {
    const char *name;
    column_type type;
    size_t offset;
} column;

#define COLUMN(record, member, type) {#member, type, offsetof(record, member)}
static const column conversation_columns[] = {
    COLUMN(WsbConversation, address_a, column_text),
    COLUMN(WsbConversation, port_a, column_uint32),
    COLUMN(WsbConversation, address_b, column_text),
    COLUMN(WsbConversation, port_b, column_uint32),
    COLUMN(WsbConversation, address_type, column_int32),
    COLUMN(WsbConversation, frames_a_to_b, column_uint64),
    COLUMN(WsbConversation, bytes_a_to_b, column_uint64),
    COLUMN(WsbConversation, frames_b_to_a, column_uint64),
    COLUMN(WsbConversation, bytes_b_to_a, column_uint64),
    COLUMN(WsbConversation, first_frame, column_uint32),
    COLUMN(WsbConversation, start_seconds, column_int64),
    COLUMN(WsbConversation, start_nanoseconds, column_int32),
    COLUMN(WsbConversation, stop_seconds, column_int64),
    COLUMN(WsbConversation, stop_nanoseconds, column_int32),
    COLUMN(WsbConversation, absolute_seconds, column_int64),
    COLUMN(WsbConversation, absolute_nanoseconds, column_int32),
    {NULL, column_text, 0},
};
static const column endpoint_columns[] = {
    COLUMN(WsbEndpoint, address, column_text),   COLUMN(WsbEndpoint, port, column_uint32),
    COLUMN(WsbEndpoint, address_type, column_int32), COLUMN(WsbEndpoint, tx_frames, column_uint64),
    COLUMN(WsbEndpoint, tx_bytes, column_uint64),  COLUMN(WsbEndpoint, rx_frames, column_uint64),
    COLUMN(WsbEndpoint, rx_bytes, column_uint64),  COLUMN(WsbEndpoint, first_frame, column_uint32),
    {NULL, column_text, 0},
};
static const column hierarchy_columns[] = {
    COLUMN(WsbHierarchyRow, protocol, column_text), COLUMN(WsbHierarchyRow, depth, column_int32),
    COLUMN(WsbHierarchyRow, parent, column_int32),  COLUMN(WsbHierarchyRow, frames, column_uint64),
    COLUMN(WsbHierarchyRow, bytes, column_uint64),  COLUMN(WsbHierarchyRow, first_frame, column_uint32),
    {NULL, column_text, 0},
};
static const column interval_columns[] = {
    COLUMN(WsbIntervalRow, series, column_int32),
    COLUMN(WsbIntervalRow, interval, column_int64),
    COLUMN(WsbIntervalRow, frames, column_uint64),
    COLUMN(WsbIntervalRow, bytes, column_uint64),
    COLUMN(WsbIntervalRow, values, column_uint64),
    COLUMN(WsbIntervalRow, sum, column_int64),
    COLUMN(WsbIntervalRow, minimum, column_int64),
    COLUMN(WsbIntervalRow, maximum, column_int64),
    COLUMN(WsbIntervalRow, float_sum, column_double),
    COLUMN(WsbIntervalRow, float_minimum, column_double),
    COLUMN(WsbIntervalRow, float_maximum, column_double),
    COLUMN(WsbIntervalRow, first_frame, column_uint32),
    COLUMN(WsbIntervalRow, first_frame_values, column_int32),
    COLUMN(WsbIntervalRow, first_minimum, column_int64),
    COLUMN(WsbIntervalRow, first_float_minimum, column_double),
    {NULL, column_text, 0},
};
#undef COLUMN

/* What each kind of table is called in JSON, its records' size and
 * members. */
typedef struct {
    const char *name;
    size_t size;
    const column *columns;
} table_shape;

static const table_shape *shape_of(int32_t kind)
{
    static const table_shape shapes[] = {
        {"conversations", sizeof(WsbConversation), conversation_columns},
        {"endpoints", sizeof(WsbEndpoint), endpoint_columns},
        {"hierarchy", sizeof(WsbHierarchyRow), hierarchy_columns},
        {"intervals", sizeof(WsbIntervalRow), interval_columns},
    };
    return kind >= WSB_STATS_CONVERSATIONS && kind <= WSB_STATS_INTERVALS ? &shapes[kind - 1] : NULL;
}

/* A double as the shortest text that reads back as the same value; JSON
 * has no text for infinities and NaN (null then, an empty CSV field). */
static void put_double(double value, int json)
{
    if (!isfinite(value)) {
        if (json)
            fputs("null", stdout);
        return;
    }
    char text[40];
    for (int digits = 15; digits <= 17; ++digits) {
        snprintf(text, sizeof text, "%.*g", digits, value);
        if (strtod(text, NULL) == value)
            break;
    }
    fputs(text, stdout);
}

/* One member's value: numbers as numbers, texts as JSON strings or CSV
 * fields. */
static void put_value(const char *record, const column *c, int json)
{
    const char *at = record + c->offset;
    switch (c->type) {
    case column_text: {
        /* The library ends its address texts within their 64 bytes. */
        char text[65];
        memcpy(text, at, 64);
        text[64] = '\0';
        if (json)
            cli_json_string(stdout, text);
        else
            cli_csv_field(stdout, text);
        break;
    }
    case column_int32: {
        int32_t v;
        memcpy(&v, at, sizeof v);
        printf("%" PRId32, v);
        break;
    }
    case column_uint32: {
        uint32_t v;
        memcpy(&v, at, sizeof v);
        printf("%" PRIu32, v);
        break;
    }
    case column_int64: {
        int64_t v;
        memcpy(&v, at, sizeof v);
        printf("%" PRId64, v);
        break;
    }
    case column_uint64: {
        uint64_t v;
        memcpy(&v, at, sizeof v);
        printf("%" PRIu64, v);
        break;
    }
    case column_double: {
        double v;
        memcpy(&v, at, sizeof v);
        put_double(v, json);
        break;
    }
    }
}

/* {"request":...,"kind":...,["elapsed_seconds":...,"elapsed_nanoseconds":...,]"rows":[{...},...]} */
static void print_json_table(const char *request, const table_records *t)
{
    const table_shape *shape = shape_of(t->kind);
    fputs("{\"request\":", stdout);
    cli_json_string(stdout, request);
    printf(",\"kind\":\"%s\"", shape->name);
    if (t->kind == WSB_STATS_INTERVALS)
        printf(",\"elapsed_seconds\":%" PRId64 ",\"elapsed_nanoseconds\":%" PRId32, t->elapsed_seconds,
               t->elapsed_nanoseconds);
    fputs(",\"rows\":[", stdout);
    for (int32_t r = 0; r < t->count; ++r) {
        const char *record = (const char *)t->records + (size_t)r * shape->size;
        if (r)
            putchar(',');
        putchar('{');
        for (const column *c = shape->columns; c->name; ++c) {
            printf("%s\"%s\":", c == shape->columns ? "" : ",", c->name);
            put_value(record, c, 1);
        }
        putchar('}');
    }
    fputs("]}\n", stdout);
}

/* A header line of the members' names, then one RFC 4180 row per record. */
static void print_csv_table(const table_records *t)
{
    const table_shape *shape = shape_of(t->kind);
    for (const column *c = shape->columns; c->name; ++c)
        printf("%s%s", c == shape->columns ? "" : ",", c->name);
    fputs("\r\n", stdout);
    for (int32_t r = 0; r < t->count; ++r) {
        const char *record = (const char *)t->records + (size_t)r * shape->size;
        for (const column *c = shape->columns; c->name; ++c) {
            if (c != shape->columns)
                putchar(',');
            put_value(record, c, 0);
        }
        fputs("\r\n", stdout);
    }
}

int cli_stats_print(int format, int after_rows)
{
    if (format == CLI_TEXT_OUTPUT) {
        /* tshark prints its tables last asked for first. */
        for (int i = stats.count - 1; i >= 0; --i) {
            const char *text = NULL;
            int32_t size = 0;
            if (gGetStatisticsText(stats.tables[i], &text, &size) != WSB_OK)
                return cli_fail("-z");
            fwrite(text, 1, size > 0 ? (size_t)size - 1 : 0, stdout);
        }
        return CLI_OK;
    }
    const int named = after_rows || stats.count > 1;
    for (int i = 0; i < stats.count; ++i) {
        table_records t;
        if (records_of(stats.tables[i], &t) != CLI_OK)
            return CLI_FAILED;
        if (!shape_of(t.kind)) {
            fprintf(stderr, "wsbridge: -z %s: a table of unknown kind %" PRId32 "\n", stats.requests->items[i], t.kind);
            return CLI_FAILED;
        }
        if (format == CLI_JSON_OUTPUT) {
            print_json_table(stats.requests->items[i], &t);
            continue;
        }
        if (after_rows || i > 0)
            fputs("\r\n", stdout);
        if (named)
            printf("# %s\r\n", stats.requests->items[i]);
        print_csv_table(&t);
    }
    return CLI_OK;
}

/* ---- From the workers to the parent ----------------------------------------
 * A worker hands on, table after table in the order asked for, a header
 * and the records as the library handed them out (the parent is the same
 * program, so they have the same layout). */
typedef struct {
    int32_t kind;
    int32_t count;
    int64_t elapsed_seconds;
    int32_t elapsed_nanoseconds;
    int32_t reserved;
} sent_table;

int cli_stats_send(void)
{
    size_t size = 0;
    table_records tables[most_tables];
    for (int i = 0; i < stats.count; ++i) {
        if (records_of(stats.tables[i], &tables[i]) != CLI_OK)
            return CLI_FAILED;
        size += sizeof(sent_table) + (size_t)tables[i].count * shape_of(tables[i].kind)->size;
    }
    char *bytes = malloc(size ? size : 1);
    if (!bytes) {
        fprintf(stderr, "wsbridge: out of memory\n");
        return CLI_FAILED;
    }
    size_t at = 0;
    for (int i = 0; i < stats.count; ++i) {
        const sent_table header = {tables[i].kind, tables[i].count, tables[i].elapsed_seconds,
                                   tables[i].elapsed_nanoseconds, 0};
        memcpy(bytes + at, &header, sizeof header);
        at += sizeof header;
        const size_t length = (size_t)tables[i].count * shape_of(tables[i].kind)->size;
        if (length)
            memcpy(bytes + at, tables[i].records, length);
        at += length;
    }
    const int status = cli_job_send_result(bytes, size);
    free(bytes);
    return status;
}

/* Adds one worker's tables into the parent's. */
static int add_result(const char *bytes, size_t size)
{
    size_t at = 0;
    int i = 0;
    for (; i < stats.count; ++i) {
        sent_table header;
        if (size - at < sizeof header)
            break;
        memcpy(&header, bytes + at, sizeof header);
        at += sizeof header;
        int32_t kind = 0;
        const table_shape *shape = shape_of(header.kind);
        if (gGetStatisticsKind(stats.tables[i], &kind) != WSB_OK || !shape || kind != header.kind ||
            header.count < 0 || (size - at) / shape->size < (size_t)header.count)
            break;
        const void *records = bytes + at;
        at += (size_t)header.count * shape->size;
        int32_t status = WSB_OK;
        switch (kind) {
        case WSB_STATS_CONVERSATIONS:
            status = gAddConversations(stats.tables[i], records, header.count);
            break;
        case WSB_STATS_ENDPOINTS:
            status = gAddEndpoints(stats.tables[i], records, header.count);
            break;
        case WSB_STATS_HIERARCHY:
            status = gAddHierarchy(stats.tables[i], records, header.count);
            break;
        case WSB_STATS_INTERVALS:
            status = gAddIntervals(stats.tables[i], records, header.count, header.elapsed_seconds,
                                   header.elapsed_nanoseconds);
            break;
        }
        if (status != WSB_OK)
            return cli_fail("-z");
    }
    if (i < stats.count || at != size) {
        fprintf(stderr, "wsbridge: -z: a worker's tables did not arrive whole\n");
        return CLI_FAILED;
    }
    return CLI_OK;
}

int cli_stats_add(const char *verb, const char *const *results, const size_t *sizes, int count)
{
    const int requested = cli_stats_request(verb);
    if (requested != CLI_OK)
        return requested;
    for (int i = 0; i < count; ++i)
        if (results[i] && add_result(results[i], sizes[i]) != CLI_OK)
            return CLI_FAILED;
    return CLI_OK;
}
