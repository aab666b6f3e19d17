/* SPDX-License-Identifier: GPL-2.0-or-later */
/* wsbridge follow tcp|udp FILE FRAME|--index N
 *                 [--format ascii|ebcdic|hexdump|carray|raw]
 *                 [--direction client|server|both]
 * Follows the conversation of frame FRAME (or the one the engine numbers N in
 * tcp.stream or udp.stream, from its first packet on) over every packet of
 * the capture in one pass and prints the client's, the server's and the
 * whole conversation's description, then each segment of the conversation.
 * raw prints each segment's bytes in hex, the server's after a tab, as
 * tshark -z follow,tcp,raw,N does.
 *
 * The pass reads the capture in sequence. Until FRAME it keeps the locators
 * of the packets of the protocol with a hash of their endpoints; at FRAME it
 * starts the follow, adds the earlier packets of the same endpoints and FRAME
 * itself, and from then on the packets of the same endpoints as they come
 * (a UDP follow collects them by itself as they are read; a TCP follow only
 * what is added, in capture order). Packets whose endpoints merely hash
 * alike are not collected: the library collects only the followed
 * conversation. */
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

typedef struct {
    uint64_t endpoints;
    uint32_t frame_number;
    int32_t captured_length;
    int64_t file_offset;
    uint32_t packet_length;
    int32_t encapsulation;
} locator;

/* raw is printed from the C array rendering, whose bytes it writes in hex. */
enum { render_raw = 4 };

/* The engine's conversation index, read to find the conversation --index
 * names. */
static const char index_group[] = "CLI-FOLLOW";
static int32_t index_id = -1;

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

/* Prints the bytes of a C array rendering ("char peer0_0[] = {\n0x00,
 * 0x38, ... };") in hex on one line. */
static void print_raw(const char *text, int is_server)
{
    const char *p = text ? strchr(text, '{') : NULL;
    if (is_server)
        putchar('\t');
    while (p && (p = strstr(p, "0x")) != NULL) {
        putchar(p[2]);
        putchar(p[3]);
        p += 4;
    }
    putchar('\n');
}

static int pick(const char *value, const char *const *names, int count)
{
    for (int i = 0; i < count; ++i)
        if (strcmp(value, names[i]) == 0)
            return i;
    return -1;
}

static uint64_t hash_text(uint64_t hash, const char *text)
{
    for (const unsigned char *p = (const unsigned char *)text; *p; ++p)
        hash = (hash ^ *p) * 1099511628211u;
    return (hash ^ 0xff) * 1099511628211u;
}

/* The same for both directions of a conversation. */
static uint64_t endpoints_of(const PacketSummary *p)
{
    uint64_t a = hash_text(14695981039346656037u, p->source_text) ^ ((uint64_t)p->source_port << 40);
    uint64_t b = hash_text(14695981039346656037u, p->destination_text) ^ ((uint64_t)p->destination_port << 40);
    return (a ^ b) + a * b + (uint64_t)p->port_type;
}

static locator locator_of(const PacketSummary *p)
{
    locator l = {endpoints_of(p), p->frame_number, (int32_t)p->captured_length, p->file_offset, p->packet_length,
                 p->encapsulation};
    return l;
}

static int add_packet(int tcp, const locator *l)
{
    return tcp ? gAddPacketToTCPStream(l->frame_number, l->file_offset, l->captured_length, l->packet_length,
                                       l->encapsulation)
               : gAddPacketToUDPStream(l->frame_number, l->file_offset, l->captured_length, l->packet_length,
                                       l->encapsulation);
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

/* Starts the follow at FRAME and adds the earlier packets of its endpoints,
 * then FRAME. */
static int start_following(int tcp, const PacketSummary *chosen, const locator *earlier, size_t earlier_count)
{
    locator here = locator_of(chosen);
    int status = tcp ? gFollowTCPStreamForPacket(here.frame_number, here.file_offset, here.captured_length,
                                                 here.packet_length, here.encapsulation)
                     : gFollowUDPStreamForPacket(here.frame_number, here.file_offset, here.captured_length,
                                                 here.packet_length, here.encapsulation);
    if (status != WSB_OK)
        return cli_fail("follow");
    for (size_t i = 0; i < earlier_count; ++i)
        if (earlier[i].endpoints == here.endpoints && add_packet(tcp, &earlier[i]) != 0)
            return cli_fail("add packet");
    if (add_packet(tcp, &here) != 0)
        return cli_fail("add packet");
    return CLI_OK;
}

/* Ends the collection and prints the descriptions and the stream. */
static int print_stream(int tcp, int format, int direction)
{
    const int raw = format == render_raw;
    if (raw)
        format = WSB_RENDER_CARRAY;
    uint8_t valid = 0;
    const char *server = NULL, *client = NULL, *conversation = NULL;
    int32_t server_size = 0, client_size = 0, conversation_size = 0;
    int status = tcp ? gIsValidTcpStrem(&valid, 0, &server, &server_size, &client, &client_size, &conversation,
                                        &conversation_size)
                     : gIsValidUDPStrem(&valid, &server, &server_size, &client, &client_size, &conversation,
                                        &conversation_size);
    if (status != WSB_OK)
        return cli_fail("check stream");
    if (!valid) {
        printf("%s\n", gGetLastError());
        return cli_output_failed() ? CLI_FAILED : CLI_OK;
    }
    printf("%s\n%s\n%s\n", client, server, conversation);
    for (;;) {
        const char *text = NULL;
        uint32_t size = 0;
        uint8_t is_server = 0, end = 0;
        status = tcp ? gGetNextTCPStreamLine(format, direction, &text, &size, &is_server, &end)
                     : gGetNextUDPStreamLine(format, direction, &text, &size, &is_server, &end);
        if (status != WSB_OK)
            return cli_fail("read stream");
        if (end)
            break;
        if (raw)
            print_raw(text, is_server);
        else if (format >= WSB_RENDER_HEXDUMP)
            print_lines(text);
        else
            printf("%s\n", text ? text : "");
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
    {"carray", WSB_RENDER_CARRAY, 0}, {"raw", render_raw, 0}, {NULL, 0, 0},
};
static const cli_choice directions[] = {
    {"client", WSB_DIRECTION_CLIENT, 0}, {"server", WSB_DIRECTION_SERVER, 0}, {"both", WSB_DIRECTION_BOTH, 0},
    {NULL, 0, 0},
};

/* What the arguments set. */
static struct {
    const char *protocol, *file, *frame;
    int format, direction;
    int64_t index; /* -1: none, FRAME names the conversation */
} settings = {NULL, NULL, NULL, WSB_RENDER_ASCII, WSB_DIRECTION_BOTH, -1};

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
    static const char verb[] = "follow";
    static const char *const protocols[] = {"tcp", "udp"};
    const char *const positional[3] = {settings.protocol, settings.file, settings.frame};
    const int positional_count = !!settings.protocol + !!settings.file + !!settings.frame;
    const int format = settings.format, direction = settings.direction;
    const int64_t wanted_index = settings.index;
    int status;
    if (positional_count == 0)
        return cli_usage_error(verb, "tcp or udp, FILE and FRAME are missing");
    int protocol = pick(positional[0], protocols, (int)(sizeof protocols / sizeof protocols[0]));
    if (protocol < 0)
        return cli_usage_error(verb, "can follow tcp or udp, not '%s'", positional[0]);
    const int by_index = wanted_index >= 0;
    if (by_index && positional_count == 3)
        return cli_usage_error(verb, "FRAME or --index, not both");
    if (positional_count < 2)
        return cli_usage_error(verb, by_index ? "FILE is missing" : "FILE and FRAME (or --index N) are missing");
    if (positional_count < 3 && !by_index)
        return cli_usage_error(verb, "FRAME (or --index N) is missing");
    uint32_t frame = 0;
    if (!by_index && cli_parse_frame(verb, "FRAME", positional[2], &frame) != CLI_OK)
        return CLI_USAGE;
    const int tcp = protocol == 0;

    if (cli_start_engine() != CLI_OK)
        return CLI_FAILED;
    const char *index_field = tcp ? "tcp.stream" : "udp.stream";
    int32_t index_type = 0;
    if (by_index && (gRegisterProtocolFieldFilter(index_field, index_group) != WSB_OK ||
                     gGetProtocolFieldFilterInfo(index_field, &index_id, &index_type) != WSB_OK))
        return cli_fail("--index");
    int64_t indexes_seen = 0;
    /* The conversation's packets are told by their addresses and ports: the
     * pass dissects without column texts, as tshark's follow does. */
    gSetSummaryTexts(0);
    if ((status = cli_open_capture(verb, positional[1])) != CLI_OK)
        return status;

    locator *earlier = NULL;
    size_t earlier_count = 0, capacity = 0;
    uint64_t packets = 0;
    int following = 0, read;
    uint64_t followed = 0;
    PacketSummary summary;
    cli_progress_begin();
    while ((read = gGetNextPacket(&summary)) == WSB_OK) {
        cli_progress_update(++packets, summary.file_offset);
        if (following) {
            if (tcp && summary.port_type == WSB_PT_TCP && endpoints_of(&summary) == followed) {
                const locator here = locator_of(&summary);
                if (add_packet(tcp, &here) != 0) {
                    cli_progress_end();
                    return cli_fail("add packet");
                }
            }
            continue;  // a UDP follow collects by itself as the capture is read
        }
        int64_t index = by_index && summary.port_type == (tcp ? WSB_PT_TCP : WSB_PT_UDP) ? conversation_index() : -1;
        if (index >= indexes_seen)
            indexes_seen = index + 1;
        if (by_index ? index == wanted_index : summary.frame_number == frame) {
            status = start_following(tcp, &summary, earlier, earlier_count);
            free(earlier);
            earlier = NULL;
            if (status != CLI_OK) {
                cli_progress_end();
                return status;
            }
            following = 1;
            followed = endpoints_of(&summary);
            continue;
        }
        if (summary.port_type != (tcp ? WSB_PT_TCP : WSB_PT_UDP))
            continue;
        if (earlier_count == capacity) {
            size_t grown = capacity ? capacity * 2 : 1024;
            locator *bigger = realloc(earlier, grown * sizeof *bigger);
            if (!bigger) {
                free(earlier);
                cli_progress_end();
                fprintf(stderr, "wsbridge: follow: out of memory\n");
                return CLI_FAILED;
            }
            earlier = bigger;
            capacity = grown;
        }
        earlier[earlier_count++] = locator_of(&summary);
    }
    cli_progress_end();
    free(earlier);
    if (!following) {
        if (read != WSB_END)
            return cli_fail("read");
        gCloseCapture();
        if (by_index && indexes_seen == 0)
            return cli_usage_error(verb, "there is no %s %" PRId64 ": the capture has no %s conversation", index_field,
                                   wanted_index, positional[0]);
        if (by_index)
            return cli_usage_error(verb, "there is no %s %" PRId64 ": the capture numbers its %s conversations 0 to %" PRId64,
                                   index_field, wanted_index, positional[0], indexes_seen - 1);
        return cli_no_such_frame(verb, frame, packets);
    }
    /* A damaged capture: what was followed up to the damage, then the error. */
    char read_error[2100] = "";
    if (read != WSB_END)
        snprintf(read_error, sizeof read_error, "%s", gGetLastError());
    status = print_stream(tcp, format, direction);
    if (read_error[0]) {
        if (status == CLI_OK && fflush(stdout) != 0)
            cli_output_failed();
        if (!cli_output_broken_pipe())
            fprintf(stderr, "wsbridge: read: %s\n", read_error);
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
};
