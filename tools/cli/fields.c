/* SPDX-License-Identifier: GPL-2.0-or-later */
/* wsbridge fields NAME...: registers each name and prints its engine id and
 * type code, or the library's message.
 *
 * wsbridge fields FILE -e FIELD [-e FIELD ...] [-Y FILTER] [--offsets]
 *                 [-c COUNT] [--json | --csv]:
 * reads FILE and prints one line per packet (with -Y, per packet that
 * matches the display filter), tab-separated: the frame number, then the
 * first occurrence of each field as tshark -T fields -E occurrence=f prints
 * it, whatever its type (empty when the packet lacks it). The column
 * pseudo-fields _ws.col.Protocol and _ws.col.Info print the Protocol and
 * Info columns. Protocol fields ("ip", "tcp") print their labels, as tshark
 * does: each packet is then dissected once more, with labels. With --offsets
 * each value is followed by the field's offset from the TCP/UDP payload (the
 * engine's start when the packet has neither; empty when the field is
 * absent or a column). JSON Lines hold one object per packet (integers as
 * numbers, every other value as text), CSV a header line and one row per
 * packet. The text output takes tshark's -E options (header, separator,
 * occurrence, aggregator, quote); asked for with -e, frame.number replaces
 * the leading frame number. */
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "wsbridge.h"
#include "engine.h"
#include "format.h"
#include "input.h"
#include "jobs.h"
#include "live.h"
#include "options.h"
#include "output.h"
#include "progress.h"
#include "report.h"
#include "verbs.h"

static const char cli_group[] = "CLI";

/* The shape of the text output, as tshark's -E options set it. */
typedef struct {
    int header;      /* a first line of the field names */
    char separator;  /* between fields */
    char occurrence; /* 'f' first, 'l' last, 'a' all */
    char aggregator; /* between the occurrences of one field */
    char quote;      /* around each value present, or '\0' */
    int given;       /* shaped by an -E */
} text_shape;

/* Parses one -E OPTION=VALUE as tshark does ("/t" tab, "/s" space, another
 * '/' escape a backslash, else the value's first character). 0 when it is
 * not one tshark takes. */
static int parse_shape(const char *option, text_shape *shape)
{
    const char *value = strchr(option, '=');
    if (!value || value[1] == '\0')
        return 0;
    size_t name_length = (size_t)(value - option);
    ++value;
    if (name_length == 6 && strncmp(option, "header", 6) == 0) {
        if (*value != 'y' && *value != 'n')
            return 0;
        shape->header = *value == 'y';
    } else if (name_length == 9 && strncmp(option, "separator", 9) == 0) {
        shape->separator = *value != '/' ? *value : value[1] == 't' ? '\t' : value[1] == 's' ? ' ' : '\\';
    } else if (name_length == 10 && strncmp(option, "occurrence", 10) == 0) {
        if (*value != 'f' && *value != 'l' && *value != 'a')
            return 0;
        shape->occurrence = *value;
    } else if (name_length == 10 && strncmp(option, "aggregator", 10) == 0) {
        shape->aggregator = *value != '/' ? *value : value[1] == 's' ? ' ' : '\\';
    } else if (name_length == 5 && strncmp(option, "quote", 5) == 0) {
        if (*value != 'd' && *value != 's' && *value != 'n')
            return 0;
        shape->quote = *value == 'd' ? '"' : *value == 's' ? '\'' : '\0';
    } else {
        return 0;
    }
    return 1;
}

/* Takes one -E into the text_shape at target. */
static int take_shape(const char *option, void *target)
{
    text_shape *shape = target;
    if (!parse_shape(option, shape))
        return CLI_USAGE;
    shape->given = 1;
    return CLI_OK;
}

/* The column pseudo-fields tshark takes (by the default columns' titles),
 * and the field id standing for each: ids of real fields are never negative. */
enum { column_protocol = -2, column_info = -3, no_field = -1 };

static int32_t column_of(const char *name)
{
    if (strcmp(name, "_ws.col.Protocol") == 0)
        return column_protocol;
    if (strcmp(name, "_ws.col.Info") == 0)
        return column_info;
    return no_field;
}

/* Fields whose values count the conversations of the whole capture in the
 * order they first appear (the engine's stream and association indexes). */
static int numbers_conversations(const char *name)
{
    static const char *const indexes[] = {"tcp.stream", "udp.stream", "mptcp.stream", "dccp.stream",
                                          "sctp.assoc_index", "bt-utp.stream", "wg.stream"};
    for (size_t i = 0; i < sizeof indexes / sizeof indexes[0]; ++i)
        if (strcmp(name, indexes[i]) == 0)
            return 1;
    return 0;
}

static int print_field_ids(int argc, const char **names)
{
    for (int i = 0; i < argc; ++i)
        if (gRegisterProtocolFieldFilter(names[i], cli_group) != WSB_OK)
            return cli_fail("register");
    int status = CLI_OK;
    for (int i = 0; i < argc; ++i) {
        int32_t id = 0, type = 0;
        if (gGetProtocolFieldFilterInfo(names[i], &id, &type) == WSB_OK) {
            printf("%s\tid=%d\ttype=%d\n", names[i], id, type);
        } else {
            printf("%s\terror: %s", names[i], gGetLastError());
            status = CLI_FAILED;
        }
    }
    return status;
}

static int is_matched(int32_t id, int32_t count, const int32_t *ids)
{
    for (int32_t i = 0; i < count; ++i)
        if (ids[i] == id)
            return 1;
    return 0;
}

/* Writes a value into a tab-separated line as tshark -T fields does: the
 * control characters that would break the line or its columns as \b, \f,
 * \n, \r and \t, everything else (a backslash too) as it is. */
static void print_separated_value(const char *text)
{
    static const char escaped[] = "\b\f\n\r\t", letters[] = "bfnrt";
    for (const char *p = text; *p; ++p) {
        const char *escape = strchr(escaped, *p);
        if (escape) {
            putchar('\\');
            putchar(letters[escape - escaped]);
        } else {
            putchar(*p);
        }
    }
}

static void print_text(const char *text, int format)
{
    if (format == CLI_JSON_OUTPUT)
        cli_json_string(stdout, text);
    else if (format == CLI_CSV_OUTPUT)
        cli_csv_field(stdout, text);
    else
        print_separated_value(text);
}

/* Prints the value of a matched field as tshark prints it (JSON: integers
 * and booleans as numbers, as the library types them, the rest as texts).
 * Prints nothing (JSON: null) when the engine has no text for it. */
static void print_value(int32_t id, int format)
{
    WsbBatchValue value;
    const char *text = NULL;
    int32_t size = 0;
    if (format == CLI_JSON_OUTPUT && gGetFieldValue(id, &value, &text) == WSB_OK &&
        (value.kind == WSB_VALUE_INT || value.kind == WSB_VALUE_UINT || value.kind == WSB_VALUE_BOOL)) {
        if (value.kind == WSB_VALUE_INT)
            printf("%" PRId64, value.value.i);
        else
            printf("%" PRIu64, value.value.u);
        return;
    }
    if (gGetFieldValueText(&text, &size, id) != WSB_OK) {
        if (format == CLI_JSON_OUTPUT)
            fputs("null", stdout);
        return;
    }
    print_text(text, format);
}

/* A copy of text in *buffer (grown as needed); the copy, or NULL when memory
 * ran out. */
static const char *keep_text(char **buffer, size_t *capacity, const char *text)
{
    size_t size = strlen(text) + 1;
    if (size > *capacity) {
        char *grown = realloc(*buffer, size);
        if (!grown)
            return NULL;
        *buffer = grown;
        *capacity = size;
    }
    return memcpy(*buffer, text, size);
}

static void print_header(int field_count, const char **fields, int offsets, int format)
{
    if (format != CLI_CSV_OUTPUT)
        return;
    fputs("frame_number", stdout);
    for (int i = 0; i < field_count; ++i) {
        putchar(',');
        cli_csv_field(stdout, fields[i]);
        if (offsets) {
            putchar(',');
            char name[512];
            snprintf(name, sizeof name, "%s@offset", fields[i]);
            cli_csv_field(stdout, name);
        }
    }
    fputs("\r\n", stdout);
}

/* Prints every occurrence (or the last) of field `name` in the tree built
 * last, joined by the aggregator, each escaped as the first occurrence is; a
 * field the tree hides (such as tcp.port) shows its first occurrence only. */
static void print_occurrences(const char *name, int32_t id, int present, const text_shape *shape)
{
    int32_t nodes = 0;
    gGetProtocolTreeNodesCount(&nodes);
    static TreeNode node;
    int printed = 0;
    const void *last = NULL;
    for (int32_t i = 0; i < nodes; ++i) {
        if (gGetTreeNodeByIndex(&node, i) != WSB_OK || strcmp(node.field_abbrev, name) != 0)
            continue;
        if (shape->occurrence == 'l') {
            last = node.node;
            continue;
        }
        const char *text = NULL;
        int32_t size = 0;
        if (gGetFieldValueTextByTreeNode(node.node, &text, &size) != WSB_OK)
            continue;
        if (printed++)
            putchar(shape->aggregator);
        print_separated_value(text);
    }
    const char *text = NULL;
    int32_t size = 0;
    if (last && gGetFieldValueTextByTreeNode(last, &text, &size) == WSB_OK) {
        print_separated_value(text);
        printed = 1;
    }
    if (!printed && present)
        print_value(id, CLI_TEXT_OUTPUT);
}

static int print_packet_fields(const char *path, int field_count, const char **fields, int offsets,
                               uint64_t limit, int format, const char *filter, const text_shape *shape)
{
    int32_t *field_ids = calloc((size_t)field_count, sizeof *field_ids);
    if (!field_ids) {
        fprintf(stderr, "wsbridge: fields: out of memory\n");
        return CLI_FAILED;
    }
    int status = CLI_OK;
    int registered = 0, labels = 0;
    /* Every occurrence, or the last, comes from the packet's tree. */
    const int every_occurrence = format == CLI_TEXT_OUTPUT && shape->occurrence != 'f';
    for (int i = 0; i < field_count && status == CLI_OK; ++i) {
        field_ids[i] = column_of(fields[i]);
        if (field_ids[i] != no_field)
            continue;
        ++registered;
        if (gRegisterProtocolFieldFilter(fields[i], cli_group) != WSB_OK)
            status = cli_fail("register");
    }
    for (int i = 0; i < field_count && status == CLI_OK; ++i) {
        int32_t type = 0;
        if (field_ids[i] != no_field)
            continue;
        if (gGetProtocolFieldFilterInfo(fields[i], &field_ids[i], &type) == WSB_OK) {
            labels = labels || type == WSB_FT_PROTOCOL;
        } else {
            char message[2100];
            snprintf(message, sizeof message, "%s", gGetLastError());
            message[strcspn(message, "\n")] = '\0';
            status = cli_usage_error("fields", "cannot print the fields asked for: %s", message);
        }
    }
    if (status == CLI_OK)
        status = cli_set_display_filter(filter);
    /* Without a column asked for, the packets are dissected without the
     * column texts: less work, the same values. */
    int columns = 0;
    for (int i = 0; i < field_count; ++i)
        columns = columns || field_ids[i] == column_protocol || field_ids[i] == column_info;
    if (status == CLI_OK && !columns)
        gSetSummaryTexts(0);
    /* Packets read again by offset (labels, every occurrence) need the
     * capture in a file; otherwise a pipe is read as it arrives. */
    int streaming = 0;
    if (status == CLI_OK && (labels || every_occurrence))
        status = cli_open_capture("fields", path);
    else if (status == CLI_OK)
        status = cli_open_capture_in_sequence("fields", path, &streaming);
    if (status == CLI_OK && streaming)
        setvbuf(stdout, NULL, _IOLBF, 0);
    if (status != CLI_OK) {
        free(field_ids);
        return status;
    }

    /* frame.number asked for takes the place of the leading frame number. */
    int leading_number = 1;
    for (int i = 0; i < field_count; ++i)
        if (format == CLI_TEXT_OUTPUT && strcmp(fields[i], "frame.number") == 0)
            leading_number = 0;
    print_header(field_count, fields, offsets, format);
    const char separator = format == CLI_CSV_OUTPUT ? ',' : shape->separator;
    if (format == CLI_TEXT_OUTPUT && shape->header) {
        if (leading_number)
            printf("frame.number%c", separator);
        for (int i = 0; i < field_count; ++i) {
            if (i)
                putchar(separator);
            fputs(fields[i], stdout);
            if (offsets)
                printf("%c%s@offset", separator, fields[i]);
        }
        putchar('\n');
    }
    cli_progress_begin();
    PacketSummary packet;
    uint64_t packets = 0;
    int read = 2;
    /* The whole Protocol and Info texts (kept across a second dissection). */
    char *kept_texts[2] = {NULL, NULL};
    size_t kept_sizes[2] = {0, 0};
    while (packets < limit && (read = cli_read_packet(&packet)) == WSB_OK) {
        cli_progress_update(++packets, packet.file_offset);
        const char *protocol = packet.protocol_text, *info = packet.info_text;
        if (columns && gGetPacketTexts(&protocol, NULL, &info, NULL) != WSB_OK) {
            status = cli_fail("columns");
            break;
        }
        if (columns && labels && (!(protocol = keep_text(&kept_texts[0], &kept_sizes[0], protocol)) ||
                                  !(info = keep_text(&kept_texts[1], &kept_sizes[1], info)))) {
            fprintf(stderr, "wsbridge: fields: out of memory\n");
            status = CLI_FAILED;
            break;
        }
        /* Sequential reading dissects without labels; protocol items show
         * theirs when the packet is dissected again by its offset (as the
         * frame it was, with what the engine learnt of it). */
        int32_t data_length = 0;
        const uint8_t *data = NULL;
        if (every_occurrence &&
            gBuildPacketProtocolTree(&data_length, &data, packet.frame_number, packet.file_offset,
                                     (int32_t)packet.captured_length, packet.packet_length,
                                     packet.encapsulation) != WSB_OK) {
            status = cli_fail("re-read");
            break;
        }
        if (labels && !every_occurrence && gGetPacketAtOffset(NULL, packet.frame_number, packet.file_offset, (int32_t)packet.captured_length,
                                         packet.packet_length, packet.encapsulation) != WSB_OK) {
            status = cli_fail("re-read");
            break;
        }
        int32_t count = 0;
        const int32_t *ids = NULL;
        if (registered && gLastPacketHasPassedFilter(cli_group, &count, &ids) != WSB_OK) {
            status = cli_fail("match");
            break;
        }
        if (format == CLI_JSON_OUTPUT)
            printf("{\"frame_number\":%" PRIu32, packet.frame_number);
        else if (leading_number)
            printf("%" PRIu32, packet.frame_number);
        for (int i = 0; i < field_count; ++i) {
            int32_t offset = 0, length = 0, type = 0;
            const int column = field_ids[i] == column_protocol || field_ids[i] == column_info;
            int present = !column && is_matched(field_ids[i], count, ids) &&
                          gGetFieldInfo(field_ids[i], &offset, &length, &type) == WSB_OK;
            if (format == CLI_JSON_OUTPUT) {
                putchar(',');
                cli_json_string(stdout, fields[i]);
                putchar(':');
            } else if (i > 0 || leading_number) {
                putchar(separator);
            }
            const char quote = format == CLI_TEXT_OUTPUT && (column || present) ? shape->quote : 0;
            if (quote)
                putchar(quote);
            if (column)
                print_text(field_ids[i] == column_protocol ? protocol : info, format);
            else if (every_occurrence)
                print_occurrences(fields[i], field_ids[i], present, shape);
            else if (present)
                print_value(field_ids[i], format);
            else if (format == CLI_JSON_OUTPUT)
                fputs("null", stdout);
            if (quote)
                putchar(quote);
            if (!offsets)
                continue;
            if (format == CLI_JSON_OUTPUT) {
                printf(",\"%s@offset\":", fields[i]);
                if (present)
                    printf("%" PRId32, offset);
                else
                    fputs("null", stdout);
            } else {
                putchar(separator);
                if (present)
                    printf("%" PRId32, offset);
            }
        }
        fputs(format == CLI_JSON_OUTPUT ? "}\n" : format == CLI_CSV_OUTPUT ? "\r\n" : "\n", stdout);
        if (cli_output_failed()) {
            status = CLI_FAILED;
            break;
        }
    }
    cli_progress_end();
    if (read != WSB_OK && read != WSB_END && status == CLI_OK)
        status = cli_fail("read");
    gCloseCapture();
    free(kept_texts[0]);
    free(kept_texts[1]);
    free(field_ids);
    return status;
}

/* What the arguments set. */
static struct {
    cli_texts words;  /* FILE, or field names to register */
    cli_texts fields; /* -e */
    const char *filter;
    uint64_t limit;
    int format, jobs, offsets;
    text_shape shape;
    int names_only; /* names to register, no FILE */
} settings = {{NULL, 0}, {NULL, 0}, NULL, UINT64_MAX, CLI_TEXT_OUTPUT, 1, 0, {0, '\t', 'f', ',', '\0', 0}, 0};

static const cli_option fields_options[] = {
    CLI_FILE_ARGUMENT(CLI_TEXTS, &settings.words),
    {"-e", NULL, "FIELD", CLI_TEXTS, &settings.fields,
     .help = "a field to print (repeat for more); _ws.col.Protocol and\n"
             "_ws.col.Info print those columns"},
    CLI_FILTER_OPTION(&settings.filter, "only the packets that match the display filter"),
    {"--offsets", NULL, NULL, CLI_FLAG, &settings.offsets,
     .help = "after each value, the field's offset from the TCP/UDP payload\n"
             "(JSON and CSV: a key or column named FIELD@offset)"},
    CLI_COUNT_OPTION(&settings.limit),
    CLI_LIVE_OPTIONS,
    {"-E", NULL, "OPTION=VALUE", CLI_PARSED, &settings.shape, .take = take_shape,
     .refusal = "-E takes header=y|n, separator=/t|/s|C, occurrence=f|l|a, aggregator=,|/s|C or quote=d|s|n "
                "(as tshark -E), not '%s'",
     .help = "the text output as tshark -E shapes it: header=y|n,\n"
             "separator=/t|/s|C, occurrence=f|l|a (every or the last one from\n"
             "the packet's tree; fields it hides, such as ip.addr, give\n"
             "their first), aggregator=,|/s|C, quote=d|s|n"},
    CLI_JSON_OPTION(&settings.format, "JSON Lines: {\"frame_number\": N, \"FIELD\": value or null, ...}\n"
                                      "(integers as numbers, other values as tshark's texts)"),
    CLI_CSV_OPTION(&settings.format, "a header line (frame_number and the fields), then RFC 4180 rows"),
    CLI_JOBS_OPTION(&settings.jobs, "N processes, as for summary (conversation indexes such as\n"
                                    "tcp.stream are refused then, and so is\n"
                                    "frame.time_delta_displayed with -Y)"),
    {"--jobs-stats", NULL, NULL, CLI_FLAG, &cli_jobs_stats,
     .help = "with --jobs, how many packets each share gave, on stderr"},
    {0},
};

static const char verb[] = "fields";

static int check_fields(void)
{
    const char **positional = settings.words.items, **fields = settings.fields.items;
    const int positional_count = settings.words.count, field_count = settings.fields.count;
    if (!cli_options_given()) {
        if (positional_count == 0)
            return cli_usage_error(verb, "FILE with -e FIELD, or field names, are missing");
        /* A capture named without -e is a mistake, not a field name. */
        struct stat st;
        if (strcmp(positional[0], "-") == 0 || stat(positional[0], &st) == 0)
            return cli_usage_error(verb, "-e FIELD is missing: name at least one field to print from '%s' "
                                         "(e.g. -e ip.src)",
                                   positional[0]);
        settings.names_only = 1;
        return CLI_OK;
    }
    if (field_count == 0)
        return cli_usage_error(verb, "-e FIELD is missing (name at least one field to print)");
    if (settings.shape.given && settings.format != CLI_TEXT_OUTPUT)
        return cli_usage_error(verb, "-E shapes the text output, not --json or --csv");
    if (positional_count == 0 && !cli_live_requested())
        return cli_usage_error(verb, "FILE is missing (a capture file, '-' for standard input, or -i IFACE)");
    if (positional_count > 1)
        return cli_usage_error(verb, "one FILE only, but '%s' follows '%s'", positional[1], positional[0]);
    for (int i = 0; i < field_count && settings.jobs > 1; ++i) {
        /* Each process numbers only the conversations it dissects. */
        if (numbers_conversations(fields[i]))
            return cli_usage_error(verb, "%s numbers the conversations of the whole capture, which --jobs "
                                         "parts; leave out --jobs to print it",
                                   fields[i]);
        /* With a display filter, the packet shown before may be another
         * process's: each counts only the packets it shows. */
        if (settings.filter && *settings.filter && strcmp(fields[i], "frame.time_delta_displayed") == 0)
            return cli_usage_error(verb, "%s counts from the packet shown before, which with -Y and --jobs "
                                         "may be another process's; leave out --jobs (or -Y) to print it",
                                   fields[i]);
    }
    return CLI_OK;
}

static int run_fields(void)
{
    if (cli_start_engine() != CLI_OK)
        return CLI_FAILED;
    if (settings.names_only)
        return print_field_ids(settings.words.count, settings.words.items);
    return print_packet_fields(settings.words.count ? settings.words.items[0] : NULL, settings.fields.count, settings.fields.items,
                               settings.offsets, settings.limit, settings.format, settings.filter, &settings.shape);
}

const cli_verb cli_fields_verb = {
    "fields",
    "fields FILE|-i IFACE -e FIELD [-e FIELD ...] [-f BPF] [-s SNAPLEN] [-a duration:S] [-Y FILTER] [--offsets] [-c COUNT] [-E OPTION=VALUE]\n"
    "                [--json | --csv] [--jobs N [--jobs-stats]]\n"
    "  wsbridge fields NAME...",
    "With FILE: one line per packet, tab-separated like tshark -T fields\n"
    "-E occurrence=f: the frame number, then the first occurrence of each field\n"
    "as tshark prints it, of any type (empty when absent). Protocol fields (ip,\n"
    "tcp, ...) print their labels: each packet is then dissected twice.\n"
    "With -e frame.number, that field takes the leading frame number's place.\n"
    "With names only: registers each name and prints its engine id and type code.",
    fields_options,
    run_fields,
    check_fields,
};
