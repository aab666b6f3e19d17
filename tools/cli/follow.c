/* SPDX-License-Identifier: GPL-2.0-or-later */
/* wsbridge follow tcp|udp FILE FRAME|--index N
 *                 [--format ascii|ebcdic|hexdump|carray|raw]
 *                 [--direction client|server|both]
 * Follows the conversation of frame FRAME (or the one the engine numbers N in
 * tcp.stream or udp.stream, from its first packet on) over every packet of
 * the capture and prints the client's, the server's and the whole
 * conversation's description, then each segment of the conversation.
 * raw prints each segment's bytes in hex, the server's after a tab, as
 * tshark -z follow,tcp,raw,N does.
 *
 * Reading in sequence finds the packet; the library's gFollowConversation
 * then follows its conversation over the whole capture. */
#include <errno.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "wsbridge.h"
#include "engine.h"
#include "input.h"
#include "options.h"
#include "output.h"
#include "progress.h"
#include "report.h"
#include "verbs.h"

/* The five values that name a packet to the library. */
typedef struct {
    uint32_t frame_number;
    int64_t file_offset;
    int32_t captured_length;
    uint32_t packet_length;
    int32_t encapsulation;
} locator;

/* The engine's conversation index, read to find the conversation --index
 * names. */
static const char index_group[] = "CLI-FOLLOW";
static int32_t index_id = -1;

/* What the arguments set. */
static struct {
    const char *protocol, *file, *frame;
    int format, direction;
    int64_t index; /* -1: none, FRAME names the conversation */
} settings = {NULL, NULL, NULL, WSB_RENDER_ASCII, WSB_DIRECTION_BOTH, -1};

static const char verb[] = "follow";

/* The conversation index of the packet read last, or -1. */
static int64_t conversation_index(void)
{
    int32_t count = 0;
    const int32_t *ids = NULL;
    uint64_t value = 0;
    if (gLastPacketHasPassedFilter(index_group, &count, &ids) != WSB_OK)
        return -1;
    for (int32_t i = 0; i < count; ++i)
        if (ids[i] == index_id && gGetUInt64ProtocolFieldValue(&value, index_id) == WSB_OK)
            return (int64_t)value;
    return -1;
}

/* Reads the open capture from its first packet up to frame `frame`, or with
 * --index up to the first packet of that conversation, into *found. CLI_OK,
 * or a status after reporting (a frame or conversation the capture lacks is
 * a usage error; a read failure before the packet is CLI_FAILED). */
static int find_packet(int tcp, uint32_t frame, locator *found)
{
    const int by_index = settings.index >= 0;
    int64_t indexes_seen = 0;
    uint64_t packets = 0;
    PacketSummary p;
    int read;
    cli_progress_begin();
    while ((read = gGetNextPacket(&p)) == WSB_OK) {
        cli_progress_update(++packets, p.file_offset);
        const int64_t index = by_index && p.port_type == (tcp ? WSB_PT_TCP : WSB_PT_UDP) ? conversation_index() : -1;
        if (index >= indexes_seen)
            indexes_seen = index + 1;
        if (by_index ? index == settings.index : p.frame_number == frame) {
            cli_progress_end();
            *found = (locator){p.frame_number, p.file_offset, (int32_t)p.captured_length, p.packet_length,
                               p.encapsulation};
            return CLI_OK;
        }
    }
    cli_progress_end();
    if (read != WSB_END)
        return cli_fail("read");
    const char *index_field = tcp ? "tcp.stream" : "udp.stream";
    if (by_index && indexes_seen == 0)
        return cli_usage_error(verb, "there is no %s %" PRId64 ": the capture has no %s conversation", index_field,
                               settings.index, settings.protocol);
    if (by_index)
        return cli_usage_error(verb, "there is no %s %" PRId64 ": the capture numbers its %s conversations 0 to %" PRId64,
                               index_field, settings.index, settings.protocol, indexes_seen - 1);
    return cli_no_such_frame(verb, frame, packets);
}

static int follow_packet(int tcp, const locator *l)
{
    return gFollowConversation(tcp ? WSB_FOLLOW_TCP : WSB_FOLLOW_UDP, l->frame_number, l->file_offset,
                               l->captured_length, l->packet_length, l->encapsulation);
}

/* A damaged capture: the library follows the whole capture only, so the
 * packets before the damage are copied into a private file and the
 * conversation is followed there; *damage receives the read failure.
 * CLI_OK, or the status after reporting: the follow's own failure when the
 * capture reads whole. */
static int follow_before_damage(int tcp, uint32_t frame, char *damage, size_t size)
{
    char failure[2048];
    snprintf(failure, sizeof failure, "%s", gGetLastError());
    PacketSummary p;
    uint32_t readable = 0;
    int read;
    if (cli_reopen_capture() != CLI_OK)
        return CLI_FAILED;
    while ((read = gGetNextPacket(&p)) == WSB_OK)
        readable = p.frame_number;
    if (read == WSB_END) {
        fprintf(stderr, "wsbridge: follow: %s\n", failure);
        return CLI_FAILED;
    }
    snprintf(damage, size, "%s", gGetLastError());
    uint32_t *frames = malloc((readable + 1) * sizeof *frames);
    char path[64];
    if (!frames || cli_private_file("follow", path, sizeof path) < 0) {
        free(frames);
        fprintf(stderr, "wsbridge: read: %s\n", damage);
        return CLI_FAILED;
    }
    for (uint32_t i = 0; i < readable; ++i)
        frames[i] = i + 1;
    const int saved = gSaveFrames(path, WSB_SAVE_FORMAT_AS_CAPTURE, frames, (int32_t)readable, NULL, 0, NULL, NULL,
                                  NULL);
    free(frames);
    if (saved != WSB_OK)
        return cli_fail("follow");
    locator packet;
    int status = cli_open_capture(verb, path);
    if (status == CLI_OK)
        status = find_packet(tcp, frame, &packet);
    if (status == CLI_OK && follow_packet(tcp, &packet) != WSB_OK)
        status = cli_fail("follow");
    return status;
}

/* Hex dump and C array lines end in a line feed of their own and the
 * library joins them with CR LF: print each line once. */
static void print_lines(const char *text)
{
    for (const char *p = text ? text : ""; *p; ++p) {
        if (p[0] == '\r' && p[1] == '\n' && p > text && p[-1] == '\n') {
            ++p;
            continue;
        }
        putchar(*p);
    }
    putchar('\n');
}

/* Prints the descriptions and the stream of the conversation followed. */
static int print_stream(int format, int direction)
{
    const char *server = NULL, *client = NULL, *conversation = NULL;
    int32_t server_size = 0, client_size = 0, conversation_size = 0;
    if (gGetFollowTexts(&server, &server_size, &client, &client_size, &conversation, &conversation_size) != WSB_OK)
        return cli_fail("follow");
    if (client_size <= 1) {
        printf("%s\n", conversation);
        return cli_output_failed() ? CLI_FAILED : CLI_OK;
    }
    printf("%s\n%s\n%s\n", client, server, conversation);
    for (;;) {
        const char *data = NULL;
        uint32_t size = 0;
        uint8_t is_server = 0, end = 0;
        if (gGetNextFollowChunk(format, direction, &data, &size, &is_server, &end) != WSB_OK)
            return cli_fail("read stream");
        if (end)
            break;
        if (format == WSB_RENDER_RAW) {
            fputs(is_server ? "\t" : "", stdout);
            for (uint32_t i = 0; i < size; ++i)
                printf("%02x", (unsigned char)data[i]);
            putchar('\n');
        } else if (format >= WSB_RENDER_HEXDUMP) {
            print_lines(data);
        } else {
            printf("%s\n", data ? data : "");
        }
        if (cli_output_failed())
            return CLI_FAILED;
    }
    return CLI_OK;
}

/* Takes --index N, a conversation index from 0 on, into the int64_t at
 * target. */
static int take_index(const char *value, void *target)
{
    char *end = NULL;
    errno = 0;
    unsigned long long parsed = strtoull(value, &end, 10);
    if (*value < '0' || *value > '9' || errno != 0 || *end != '\0' || parsed > UINT32_MAX)
        return CLI_USAGE;
    *(int64_t *)target = (int64_t)parsed;
    return CLI_OK;
}

static const cli_choice formats[] = {
    {"ascii", WSB_RENDER_ASCII, 0}, {"ebcdic", WSB_RENDER_EBCDIC, 0}, {"hexdump", WSB_RENDER_HEXDUMP, 0},
    {"carray", WSB_RENDER_CARRAY, 0}, {"raw", WSB_RENDER_RAW, 0}, {NULL, 0, 0},
};
static const cli_choice directions[] = {
    {"client", WSB_DIRECTION_CLIENT, 0}, {"server", WSB_DIRECTION_SERVER, 0}, {"both", WSB_DIRECTION_BOTH, 0},
    {NULL, 0, 0},
};

static const cli_option follow_options[] = {
    {"tcp|udp", NULL, NULL, CLI_TEXT, &settings.protocol, .help = NULL},
    CLI_FILE_ARGUMENT(CLI_TEXT, &settings.file),
    {"FRAME", NULL, NULL, CLI_TEXT, &settings.frame, .help = NULL},
    {"--index", NULL, "N", CLI_PARSED, &settings.index, .take = take_index,
     .refusal = "--index needs a conversation index from 0 on, not '%s'",
     .help = "instead of FRAME: the conversation the engine numbers N\n"
             "(tcp.stream or udp.stream, from 0, as tshark -z follow names it)"},
    {"--format", NULL, NULL, CLI_CHOICE, &settings.format, .choices = formats,
     .refusal = "unknown format '%s' (ascii, ebcdic, hexdump, carray or raw)",
     .help = "ascii (default), ebcdic, hexdump, carray, or raw: each\n"
             "segment's bytes in hex, the server's after a tab, as\n"
             "tshark -z follow,tcp,raw,N prints them"},
    {"--direction", NULL, NULL, CLI_CHOICE, &settings.direction, .choices = directions,
     .refusal = "unknown direction '%s' (client, server or both)",
     .help = "client, server or both (default)"},
    {0},
};

static int run_follow(void)
{
    const int positional_count = !!settings.protocol + !!settings.file + !!settings.frame;
    const int by_index = settings.index >= 0;
    if (positional_count == 0)
        return cli_usage_error(verb, "tcp or udp, FILE and FRAME are missing");
    const int tcp = strcmp(settings.protocol, "tcp") == 0;
    if (!tcp && strcmp(settings.protocol, "udp") != 0)
        return cli_usage_error(verb, "can follow tcp or udp, not '%s'", settings.protocol);
    if (by_index && positional_count == 3)
        return cli_usage_error(verb, "FRAME or --index, not both");
    if (positional_count < 2)
        return cli_usage_error(verb, by_index ? "FILE is missing" : "FILE and FRAME (or --index N) are missing");
    if (positional_count < 3 && !by_index)
        return cli_usage_error(verb, "FRAME (or --index N) is missing");
    uint32_t frame = 0;
    if (!by_index && cli_parse_frame(verb, "FRAME", settings.frame, &frame) != CLI_OK)
        return CLI_USAGE;

    if (cli_start_engine() != CLI_OK)
        return CLI_FAILED;
    const char *index_field = tcp ? "tcp.stream" : "udp.stream";
    int32_t index_type = 0;
    if (by_index && (gRegisterProtocolFieldFilter(index_field, index_group) != WSB_OK ||
                     gGetProtocolFieldFilterInfo(index_field, &index_id, &index_type) != WSB_OK))
        return cli_fail("--index");
    /* Finding the packet needs its locator, not its column texts. */
    gSetSummaryTexts(0);
    locator packet;
    int status = cli_open_capture(verb, settings.file);
    if (status == CLI_OK)
        status = find_packet(tcp, frame, &packet);
    if (status != CLI_OK)
        return status;
    /* Opened afresh, the capture has nothing read that the follow would
     * dissect again. */
    char damage[2100] = "";
    if (cli_reopen_capture() != CLI_OK)
        return CLI_FAILED;
    if (follow_packet(tcp, &packet) != WSB_OK &&
        (gGetLastErrorCode() != WSB_E_FILE || (status = follow_before_damage(tcp, frame, damage, sizeof damage)) != CLI_OK))
        return status == CLI_OK ? cli_fail("follow") : status;
    status = print_stream(settings.format, settings.direction);
    /* A damaged capture: what was followed up to the damage, then the error. */
    if (damage[0]) {
        if (status == CLI_OK && fflush(stdout) != 0)
            cli_output_failed();
        if (!cli_output_broken_pipe())
            fprintf(stderr, "wsbridge: read: %s\n", damage);
        status = CLI_FAILED;
    }
    gCloseCapture();
    return status;
}

const cli_verb cli_follow_verb = {
    "follow",
    "follow tcp|udp FILE FRAME|--index N [--format ascii|ebcdic|hexdump|carray|raw]\n"
    "                [--direction client|server|both]",
    "Follows the TCP or UDP conversation of packet FRAME over the whole capture\n"
    "(one pass) and prints the client's, the server's and the whole\n"
    "conversation's description, then each segment or datagram as text. On a\n"
    "damaged capture it prints what it followed, then the error (exit 1).",
    follow_options,
    run_follow,
    NULL,
};
