/* SPDX-License-Identifier: GPL-2.0-or-later */
/* wsbridge summary FILE [-Y FILTER] [-c COUNT] [-t FORMAT] [-x [-P]] [-z STATISTIC]... [-q]
 *                   [--json | --csv] [--jobs N]:
 * one line per packet, as tshark's default output, or the whole
 * PacketSummary of each packet as JSON Lines or CSV rows. With -Y only the
 * packets that match the display filter, as tshark -Y shows them. -t picks
 * the time column as tshark's -t does; -x prints each packet's bytes as
 * tshark's hex dump (alone, or after each line with -P). -r FILE and -n are
 * taken as tshark takes them. -z asks for statistics tables (stats.h),
 * printed after the packets, -q leaves the packets out. A capture on a pipe
 * is read as it arrives, unless -x or --jobs need to read its packets again
 * by offset. */
#define _GNU_SOURCE
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

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
#include "stats.h"
#include "verbs.h"

/* The time column, as tshark's -t names it: relative to the first packet,
 * absolute (local time), absolute with date, delta from the previous
 * captured packet, delta from the previous displayed packet, epoch, UTC, UTC
 * with date. Each one's value is its place in time_formats. */
enum { time_relative, time_absolute, time_absolute_date, time_delta, time_delta_displayed, time_epoch, time_utc,
       time_utc_date };
static const cli_choice time_formats[] = {
    {"r", time_relative, 0}, {"a", time_absolute, 0},           {"ad", time_absolute_date, 0},
    {"d", time_delta, 0},    {"dd", time_delta_displayed, 0},   {"e", time_epoch, 0},
    {"u", time_utc, 0},      {"ud", time_utc_date, 0},          {NULL, 0, 0},
};

/* What the arguments set. */
static struct {
    const char *path, *filter;
    uint64_t limit;
    int format, jobs, time_format;
    int hex, lines; /* -x, -P */
    cli_texts statistics; /* -z */
    int quiet;            /* -q */
} settings = {NULL, NULL, UINT64_MAX, CLI_TEXT_OUTPUT, 1, time_relative, 0, 0, {NULL, 0}, 0};

static const cli_option summary_options[] = {
    CLI_FILE_ARGUMENT(CLI_FILE, &settings.path),
    {"-r", NULL, "FILE", CLI_FILE, &settings.path, .help = "the same, as tshark -r takes it"},
    CLI_FILTER_OPTION(&settings.filter, "only the packets that match the display filter, as tshark -Y\n"
                                        "shows them (numbers and times are those of the whole file)"),
    CLI_COUNT_OPTION(&settings.limit),
    CLI_LIVE_OPTIONS,
    {"-t", NULL, "FORMAT", CLI_CHOICE, &settings.time_format, .choices = time_formats,
     .refusal = "-t takes r, a, ad, d, dd, e, u or ud (as tshark -t), not '%s'",
     .help = "the time column, as tshark -t: r relative to the first packet\n"
             "(default), a absolute, ad absolute with date, d since the\n"
             "previous captured packet, dd since the previous one shown,\n"
             "e seconds since 1970, u UTC, ud UTC with date"},
    {"-x", NULL, NULL, CLI_FLAG, &settings.hex,
     .help = "each packet's bytes as tshark -x prints them (the frame's\n"
             "bytes; reassembled data is not shown)"},
    {"-P", NULL, NULL, CLI_FLAG, &settings.lines, .help = "with -x, each line too, then the bytes"},
    {"-n", NULL, NULL, CLI_FLAG, NULL, .help = "taken for tshark's sake: addresses are never resolved"},
    {"-z", NULL, "STATISTIC", CLI_TEXTS, &settings.statistics,
     .help = "a statistics table, printed after the packets as tshark -z\n"
             "prints it (repeatable): conv,PROTOCOL[,FILTER],\n"
             "endpoints,PROTOCOL[,FILTER], io,phs[,FILTER],\n"
             "io,stat,INTERVAL[,SERIES]... (a SERIES is a display filter,\n"
             "or COUNT|SUM|MIN|MAX|AVG(FIELD)FILTER); every packet read\n"
             "counts, whatever -Y shows; with --json or --csv, its records"},
    {"-q", NULL, NULL, CLI_FLAG, &settings.quiet, .help = "no packets: only the -z tables, as tshark -q"},
    CLI_JSON_OPTION(&settings.format, "JSON Lines: one object per packet with the PacketSummary\n"
                                      "fields of wsbridge.h (frame_number, info_text, ...)"),
    CLI_CSV_OPTION(&settings.format, "a header line of those field names, then one RFC 4180 row\n"
                                     "per packet"),
    CLI_JOBS_OPTION(&settings.jobs, "N processes, each dissecting a share of the capture's\n"
                                    "conversations (each, when first seen, to the share with the\n"
                                    "fewest packets); the same output, merged (not with -t d or -t dd)"),
    {"--jobs-stats", NULL, NULL, CLI_FLAG, &cli_jobs_stats,
     .help = "with --jobs, how many packets each share gave (with -Y, those\n"
             "shown), on stderr at the end"},
    {0},
};

/* The time since the previous captured packet comes from the engine's
 * frame.time_delta, which knows it also for packets a filter hides. */
static const char time_group[] = "CLI-TIME";
static int32_t time_delta_id = -1;

static const char csv_header[] =
    "frame_number,packet_length,captured_length,port_type,source_port,destination_port,file_offset,"
    "relative_time,time_seconds,time_nanoseconds,encapsulation,source_address_type,destination_address_type,"
    "protocol_text,info_text,link_source_text,link_destination_text,source_text,destination_text\r\n";

/* Appends text (NUL-terminated, at most limit bytes read) at out. */
static char *put_text(char *out, const char *text, size_t limit)
{
    size_t length = strnlen(text, limit);
    memcpy(out, text, length);
    return out + length;
}

/* The whole Protocol and Info texts of the packet just read (the engine's
 * columns hold at most 4095 bytes of Info); the summary's own, cut, when
 * the library cannot hand them out. */
typedef struct {
    const char *protocol, *info;
    int32_t protocol_size, info_size;
} packet_texts;

static packet_texts texts_of(const PacketSummary *p)
{
    packet_texts texts = {p->protocol_text, p->info_text, 0, 0};
    if (gGetPacketTexts(&texts.protocol, &texts.protocol_size, &texts.info, &texts.info_size) != WSB_OK) {
        texts.protocol = p->protocol_text;
        texts.info = p->info_text;
        texts.protocol_size = (int32_t)strlen(texts.protocol);
        texts.info_size = (int32_t)strlen(texts.info);
    }
    return texts;
}

/* Writes the text line of one packet with one fwrite: number, time, source
 * → destination, Protocol, length, Info, as "%5u %*s %s → %s %s %u %s\n".
 * Formatted by hand, since printf's parsing costs as much as the rest. */
static void print_text(const PacketSummary *p, const packet_texts *texts, const char *time, int time_width)
{
    /* The addresses are bounded by their fields in PacketSummary, the
     * column texts by the engine's column sizes (cut here otherwise). */
    enum { text_limit = 8192 };
    static char line[256 + 2 * text_limit];
    char *out = line;
    char number[20];
    size_t length = cli_put_unsigned(number, p->frame_number);
    for (size_t i = length; i < 5; ++i)
        *out++ = ' ';
    memcpy(out, number, length);
    out += length;
    *out++ = ' ';
    size_t time_length = strlen(time);
    for (size_t i = time_length; i < (size_t)time_width; ++i)
        *out++ = ' ';
    memcpy(out, time, time_length);
    out += time_length;
    *out++ = ' ';
    const char *source = p->source_text[0] ? p->source_text : p->link_source_text;
    const char *destination = p->destination_text[0] ? p->destination_text : p->link_destination_text;
    out = put_text(out, source, sizeof p->source_text);
    memcpy(out, " \xe2\x86\x92 ", 5);
    out += 5;
    out = put_text(out, destination, sizeof p->destination_text);
    *out++ = ' ';
    out = put_text(out, texts->protocol, text_limit);
    *out++ = ' ';
    out += cli_put_unsigned(out, p->packet_length);
    *out++ = ' ';
    out = put_text(out, texts->info, text_limit);
    *out++ = '\n';
    fwrite(line, 1, (size_t)(out - line), stdout);
}

static void print_json(const PacketSummary *p, const packet_texts *whole)
{
    printf("{\"frame_number\":%" PRIu32 ",\"packet_length\":%" PRIu32 ",\"captured_length\":%" PRIu32
           ",\"port_type\":%" PRId32 ",\"source_port\":%u,\"destination_port\":%u,\"file_offset\":%" PRId64
           ",\"relative_time\":%" PRId64 ",\"time_seconds\":%" PRId64 ",\"time_nanoseconds\":%" PRId32
           ",\"encapsulation\":%" PRId32 ",\"source_address_type\":%" PRId32
           ",\"destination_address_type\":%" PRId32,
           p->frame_number, p->packet_length, p->captured_length, p->port_type, p->source_port,
           p->destination_port, p->file_offset, p->relative_time, p->time_seconds, p->time_nanoseconds,
           p->encapsulation, p->source_address_type, p->destination_address_type);
    const struct {
        const char *key, *value;
    } texts[] = {
        {"protocol_text", whole->protocol},        {"info_text", whole->info},
        {"link_source_text", p->link_source_text}, {"link_destination_text", p->link_destination_text},
        {"source_text", p->source_text},           {"destination_text", p->destination_text},
    };
    for (size_t i = 0; i < sizeof texts / sizeof texts[0]; ++i) {
        printf(",\"%s\":", texts[i].key);
        cli_json_string(stdout, texts[i].value);
    }
    fputs("}\n", stdout);
}

static void print_csv(const PacketSummary *p, const packet_texts *whole)
{
    printf("%" PRIu32 ",%" PRIu32 ",%" PRIu32 ",%" PRId32 ",%u,%u,%" PRId64 ",%" PRId64 ",%" PRId64 ",%" PRId32
           ",%" PRId32 ",%" PRId32 ",%" PRId32,
           p->frame_number, p->packet_length, p->captured_length, p->port_type, p->source_port,
           p->destination_port, p->file_offset, p->relative_time, p->time_seconds, p->time_nanoseconds,
           p->encapsulation, p->source_address_type, p->destination_address_type);
    const char *texts[] = {whole->protocol,     whole->info,    p->link_source_text,
                           p->link_destination_text, p->source_text, p->destination_text};
    for (size_t i = 0; i < sizeof texts / sizeof texts[0]; ++i) {
        putchar(',');
        cli_csv_field(stdout, texts[i]);
    }
    fputs("\r\n", stdout);
}

/* Clock time of a time stamp, local or UTC, with or without the date, at
 * the capture's precision: "09:19:54.870361", "2020-06-10 09:19:54.870361". */
static void format_clock_time(char *out, size_t size, int64_t seconds, int32_t nanoseconds, int32_t decimals,
                              int utc, int with_date)
{
    time_t stamp = (time_t)seconds;
    struct tm parts;
    if (!(utc ? gmtime_r(&stamp, &parts) : localtime_r(&stamp, &parts))) {
        snprintf(out, size, "Not representable");
        return;
    }
    size_t length = strftime(out, size, with_date ? "%Y-%m-%d %H:%M:%S" : "%H:%M:%S", &parts);
    if (length + 11 > size)
        return;
    length += cli_put_fraction(out + length, nanoseconds < 0 ? 0 : (uint32_t)nanoseconds, decimals);
    out[length] = '\0';
}

/* The time column of one packet in the -t format. previous_* hold the
 * time of the packet shown before (for dd; updated here). 0 when the
 * engine has no time delta for the packet. */
static int format_time(char *out, size_t size, int format, const PacketSummary *p, int64_t first_seconds,
                       int32_t first_nanoseconds, int64_t *previous_seconds, int32_t *previous_nanoseconds,
                       int shown_before)
{
    int32_t decimals = 6;
    gGetPacketTimePrecision(&decimals);
    PacketSummary difference = *p;
    switch (format) {
    case time_absolute:
    case time_absolute_date:
    case time_utc:
    case time_utc_date:
        format_clock_time(out, size, p->time_seconds, p->time_nanoseconds, decimals,
                          format == time_utc || format == time_utc_date,
                          format == time_absolute_date || format == time_utc_date);
        break;
    case time_epoch:
        cli_format_relative_time(out, size, p, 0, 0, decimals);
        break;
    case time_delta: {
        WsbBatchValue delta;
        const char *text = NULL;
        if (gGetFieldValue(time_delta_id, &delta, &text) != WSB_OK || delta.kind != WSB_VALUE_DURATION)
            return 0;
        difference.time_seconds = delta.value.i / 1000000000;
        difference.time_nanoseconds = (int32_t)(delta.value.i % 1000000000);
        cli_format_relative_time(out, size, &difference, 0, 0, decimals);
        break;
    }
    case time_delta_displayed:
        if (shown_before)
            cli_format_relative_time(out, size, p, *previous_seconds, *previous_nanoseconds, decimals);
        else
            cli_format_relative_time(out, size, p, p->time_seconds, p->time_nanoseconds, decimals);
        break;
    default:
        cli_format_relative_time(out, size, p, first_seconds, first_nanoseconds, decimals);
        break;
    }
    *previous_seconds = p->time_seconds;
    *previous_nanoseconds = p->time_nanoseconds;
    return 1;
}

/* The packet's bytes as tshark -x prints them: the offset (4 hex digits,
 * more when the packet needs them), two spaces, 16 bytes in hex, two
 * spaces and the bytes as ASCII (others as '.'); then an empty line. */
static void print_hex_dump(const uint8_t *data, uint32_t length)
{
    static const char digits[] = "0123456789abcdef";
    int offset_digits = 4;
    while (offset_digits < 8 && length > 0 && ((length - 1) >> (offset_digits * 4)) != 0)
        ++offset_digits;
    char line[8 + 2 + 48 + 2 + 16 + 2];
    for (uint32_t start = 0; start < length; start += 16) {
        size_t j = 0;
        for (int d = offset_digits - 1; d >= 0; --d)
            line[j++] = digits[(start >> (d * 4)) & 0xF];
        line[j++] = ' ';
        line[j++] = ' ';
        memset(line + j, ' ', 48 + 2);
        size_t ascii = j + 48 + 2;
        uint32_t count = length - start < 16 ? length - start : 16;
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t c = data[start + i];
            line[j + i * 3] = digits[c >> 4];
            line[j + i * 3 + 1] = digits[c & 0xF];
            line[ascii + i] = c >= ' ' && c < 0x7f ? (char)c : '.';
        }
        line[ascii + count] = '\n';
        fwrite(line, 1, ascii + count + 1, stdout);
    }
    putchar('\n');
}

/* Re-reads the packet by its offset and prints its bytes. CLI_OK or
 * CLI_FAILED after reporting. */
static int print_packet_bytes(const PacketSummary *p)
{
    int32_t length = 0;
    const uint8_t *data = NULL;
    if (gBuildPacketProtocolTree(&length, &data, p->frame_number, p->file_offset, (int32_t)p->captured_length,
                                 p->packet_length, p->encapsulation) != WSB_OK)
        return cli_fail("re-read");
    print_hex_dump(data, length > 0 ? (uint32_t)length : 0);
    gFreePacketProtocolTree();
    return CLI_OK;
}

static const char verb[] = "summary";
static int merge_summary(const char *const *results, const size_t *sizes, int count);

static int check_summary(void)
{
    const int time_format = settings.time_format;
    if (!settings.path && !cli_live_requested())
        return cli_usage_error(verb, "FILE is missing (a capture file, '-' for standard input, or -i IFACE)");
    if (settings.jobs > 1 && (time_format == time_delta || time_format == time_delta_displayed))
        return cli_usage_error(verb, "-t %s needs the packets in one process; leave out --jobs",
                               time_formats[time_format].name);
    if (settings.format != CLI_TEXT_OUTPUT && (settings.hex || time_format != time_relative))
        return cli_usage_error(verb, "-t and -x shape the text lines, not --json or --csv");
    if (settings.jobs > 1 && settings.statistics.count > 0 && settings.limit != UINT64_MAX)
        return cli_usage_error(verb, "-z with -c needs the packets in one process; leave out --jobs");
    cli_jobs_set_merge(merge_summary);
    return cli_stats_check(verb, &settings.statistics);
}

static int run_summary(void)
{
    const char *path = settings.path, *filter = settings.filter;
    const uint64_t limit = settings.limit;
    const int format = settings.format, time_format = settings.time_format;
    const int quiet = settings.quiet, hex = settings.hex && !quiet;
    /* tshark -x prints the bytes alone, -P -x the lines too. */
    const int print_lines = !quiet && (!hex || settings.lines);
    int status;

    if (cli_start_engine() != CLI_OK || cli_set_display_filter(filter) != CLI_OK)
        return CLI_FAILED;
    if ((status = cli_stats_request(verb)) != CLI_OK)
        return status;
    /* Without packets to print the engine need not fill the columns. */
    if (quiet && gSetSummaryTexts(0) != WSB_OK)
        return cli_fail("-q");
    if (time_format == time_delta) {
        int32_t type = 0;
        if (gRegisterProtocolFieldFilter("frame.time_delta", time_group) != WSB_OK ||
            gGetProtocolFieldFilterInfo("frame.time_delta", &time_delta_id, &type) != WSB_OK)
            return cli_fail("-t d");
    }
    int streaming = 0;
    if (hex)
        status = cli_open_capture(verb, path);
    else
        status = cli_open_capture_in_sequence(verb, path, &streaming);
    if (status != CLI_OK)
        return status;
    /* Lines go out in large blocks rather than one write per few lines;
     * a terminal keeps its line buffering, and so does a capture read as
     * it arrives, whose lines show as soon as its packets do. */
    static char output_buffer[1 << 16];
    if (streaming)
        setvbuf(stdout, NULL, _IOLBF, 0);
    else if (!isatty(STDOUT_FILENO))
        setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
    if (format == CLI_CSV_OUTPUT && !quiet)
        fputs(csv_header, stdout);
    cli_progress_begin();
    PacketSummary summary;
    int64_t first_seconds = 0, previous_seconds = 0;
    int32_t first_nanoseconds = 0, previous_nanoseconds = 0;
    uint64_t packets = 0;
    int read = 2;
    while (packets < limit && (read = cli_read_packet(&summary)) == WSB_OK) {
        /* Times count from the capture's first packet, shown or not. */
        if (packets++ == 0 && gGetFirstPacketTime(&first_seconds, &first_nanoseconds) != WSB_OK)
            return cli_fail("read");
        cli_progress_update(packets, summary.file_offset);
        if (quiet)
            continue;
        const packet_texts texts = texts_of(&summary);
        if (format == CLI_JSON_OUTPUT) {
            print_json(&summary, &texts);
        } else if (format == CLI_CSV_OUTPUT) {
            print_csv(&summary, &texts);
        } else {
            char time[64];
            if (print_lines) {
                if (!format_time(time, sizeof time, time_format, &summary, first_seconds, first_nanoseconds,
                                 &previous_seconds, &previous_nanoseconds, packets > 1)) {
                    cli_progress_end();
                    return cli_fail("-t d");
                }
                /* tshark's time column is at least 10 wide. */
                print_text(&summary, &texts, time, 10);
            }
            if (hex) {
                if (print_lines)
                    putchar('\n');
                if (print_packet_bytes(&summary) != CLI_OK) {
                    cli_progress_end();
                    return CLI_FAILED;
                }
            }
        }
        if (cli_output_failed()) {
            cli_progress_end();
            return CLI_FAILED;
        }
    }
    cli_progress_end();
    /* The tables count the packets read, also up to damage in the capture
     * (as tshark's); a worker's go to the parent, which prints them added
     * up. */
    status = read != WSB_OK && read != WSB_END ? cli_fail("read") : CLI_OK;
    if (settings.statistics.count > 0) {
        const int printed = cli_job_worker() ? cli_stats_send() : cli_stats_print(format, !quiet);
        status = status != CLI_OK ? status : printed;
    }
    gCloseCapture();
    return status;
}

/* With --jobs: the tables of every worker, added up, after the packets. */
static int merge_summary(const char *const *results, const size_t *sizes, int count)
{
    if (settings.statistics.count == 0)
        return CLI_OK;
    int status = cli_start_engine();
    if (status == CLI_OK)
        status = cli_stats_add(verb, results, sizes, count);
    if (status == CLI_OK)
        status = cli_stats_print(settings.format, !settings.quiet);
    return status;
}

const cli_verb cli_summary_verb = {
    "summary",
    "summary FILE|-i IFACE [-f BPF] [-s SNAPLEN] [-a duration:S] [-Y FILTER] [-c COUNT] [-t FORMAT] [-x [-P]] "
    "[-z STATISTIC]... [-q] [--json | --csv] [--jobs N [--jobs-stats]]",
    "One line per packet, as tshark prints them: number, time since the first\n"
    "packet (at the capture's own precision), source -> destination, Protocol,\n"
    "length, Info. Statistics tables of -z follow the packets, as tshark -z\n"
    "prints them (the last asked for first); with --json one object a line per\n"
    "table (request, kind, rows of the library's record fields), with --csv a\n"
    "header line and rows per table; unless one table is all that is written,\n"
    "each table starts with a line '# REQUEST', after an empty line when\n"
    "something comes before it.",
    summary_options,
    run_summary,
    check_summary,
};
