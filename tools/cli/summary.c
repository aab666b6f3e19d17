/* wsbridge summary FILE [-Y FILTER] [-c COUNT] [--json | --csv] [--jobs N]: one line per
 * packet, in the spirit of tshark's default output, or the whole
 * PacketSummary of each packet as JSON Lines or CSV rows. With -Y only the
 * packets that match the display filter, as tshark -Y shows them. */
#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "cli.h"

static const cli_option summary_options[] = {
    {"-c", NULL, "COUNT"},
    {"--json", NULL, NULL},
    {"--csv", NULL, NULL},
    {"-Y", "--display-filter", "FILTER"},
    {"--jobs", "-j", "N"},
};
enum { option_count_limit, option_json, option_csv, option_filter, option_jobs };

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

int cli_summary(int argc, char **argv)
{
    static const char verb[] = "summary";
    cli_argument arguments[argc > 0 ? argc : 1];
    int count = 0;
    int status = cli_parse(verb, argc, argv, summary_options, 5, arguments, &count);
    if (status != CLI_OK)
        return status < 0 ? CLI_OK : status;
    const char *path = NULL, *filter = NULL;
    uint64_t limit = UINT64_MAX;
    int format = CLI_TEXT_OUTPUT;
    int jobs = 1;
    for (int i = 0; i < count; ++i) {
        switch (arguments[i].option) {
        case -1:
            if (path)
                return cli_usage_error(verb, "one FILE only, but '%s' follows '%s'", arguments[i].value, path);
            path = arguments[i].value;
            break;
        case option_count_limit:
            if (cli_parse_count(verb, arguments[i].value, &limit) != CLI_OK)
                return CLI_USAGE;
            break;
        case option_filter:
            filter = arguments[i].value;
            break;
        case option_jobs:
            if (cli_parse_jobs(verb, arguments[i].value, &jobs) != CLI_OK)
                return CLI_USAGE;
            break;
        case option_json:
        case option_csv:
            if (cli_choose_output(verb, &format,
                                  arguments[i].option == option_json ? CLI_JSON_OUTPUT : CLI_CSV_OUTPUT) != CLI_OK)
                return CLI_USAGE;
            break;
        }
    }
    if (!path)
        return cli_usage_error(verb, "FILE is missing (a capture file, or '-' for standard input)");
    if (jobs > 1 && cli_jobs_start(verb, jobs, &path, limit, &status))
        return status;

    if (cli_start_engine() != CLI_OK || cli_set_display_filter(filter) != CLI_OK)
        return CLI_FAILED;
    if ((status = cli_open_capture(verb, path)) != CLI_OK)
        return status;
    /* Lines go out in large blocks rather than one write per few lines;
     * a terminal keeps its line buffering. */
    static char output_buffer[1 << 16];
    if (!cli_job_worker() && !isatty(STDOUT_FILENO))
        setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
    if (format == CLI_CSV_OUTPUT)
        fputs(csv_header, stdout);
    cli_progress_begin();
    PacketSummary summary;
    int64_t first_seconds = 0;
    int32_t first_nanoseconds = 0;
    uint64_t packets = 0;
    int read = 2;
    while (packets < limit && (read = gGetNextPacket(&summary)) == WSB_OK) {
        /* Times count from the capture's first packet, shown or not. */
        if (packets++ == 0 && gGetFirstPacketTime(&first_seconds, &first_nanoseconds) != WSB_OK)
            return cli_fail("read");
        cli_progress_update(packets, summary.file_offset);
        if (cli_job_packet(summary.frame_number) != CLI_OK)
            return CLI_FAILED;
        const packet_texts texts = texts_of(&summary);
        if (format == CLI_JSON_OUTPUT) {
            print_json(&summary, &texts);
        } else if (format == CLI_CSV_OUTPUT) {
            print_csv(&summary, &texts);
        } else {
            int32_t decimals = 6;
            gGetPacketTimePrecision(&decimals);
            char time[48];
            cli_format_relative_time(time, sizeof time, &summary, first_seconds, first_nanoseconds, decimals);
            print_text(&summary, &texts, time, (int)decimals + 5);
        }
        if (cli_output_failed()) {
            cli_progress_end();
            return CLI_FAILED;
        }
    }
    cli_progress_end();
    if (read != WSB_OK && read != WSB_END)
        return cli_fail("read");
    gCloseCapture();
    return cli_job_finish();
}
