/* wsbridge follow tcp|udp FILE FRAME [--format ascii|ebcdic|hexdump|carray]
 *                                     [--direction client|server|both]
 * Reads the capture, follows the conversation of frame FRAME over every
 * packet of the capture and prints the client's, the server's and the whole
 * conversation's description, then each segment of the conversation. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cli.h"

typedef struct {
    uint32_t frame_number;
    int64_t file_offset;
    int32_t captured_length;
    uint32_t packet_length;
    int32_t encapsulation;
} locator;

static int pick(const char *value, const char *const *names, int count)
{
    for (int i = 0; i < count; ++i)
        if (strcmp(value, names[i]) == 0)
            return i;
    return -1;
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

/* Reads the whole capture, keeping every packet's locator. */
static int read_locators(locator **out, size_t *count)
{
    size_t capacity = 256, used = 0;
    locator *all = malloc(capacity * sizeof *all);
    if (!all) {
        fprintf(stderr, "wsbridge: out of memory\n");
        return 1;
    }
    PacketSummary summary;
    int status;
    while ((status = gGetNextPacket(&summary)) == 0) {
        if (used == capacity) {
            locator *grown = realloc(all, 2 * capacity * sizeof *all);
            if (!grown) {
                free(all);
                fprintf(stderr, "wsbridge: out of memory\n");
                return 1;
            }
            all = grown;
            capacity *= 2;
        }
        locator *l = &all[used++];
        l->frame_number = summary.frame_number;
        l->file_offset = summary.file_offset;
        l->captured_length = (int32_t)summary.captured_length;
        l->packet_length = summary.packet_length;
        l->encapsulation = summary.encapsulation;
    }
    if (status != 2) {
        free(all);
        return cli_fail("read");
    }
    *out = all;
    *count = used;
    return 0;
}

int cli_follow(int argc, char **argv)
{
    static const char *const protocols[] = {"tcp", "udp"};
    static const char *const formats[] = {"ascii", "ebcdic", "hexdump", "carray"};
    static const char *const directions[] = {"client", "server", "both"};
    if (argc < 3)
        return 2;
    int tcp = pick(argv[0], protocols, 2) == 0;
    if (pick(argv[0], protocols, 2) < 0)
        return 2;
    const char *path = argv[1];
    char *rest;
    unsigned long frame = strtoul(argv[2], &rest, 10);
    if (*rest || frame == 0)
        return 2;
    int format = 0, direction = 2;
    for (int i = 3; i < argc; i += 2) {
        if (i + 1 >= argc)
            return 2;
        if (strcmp(argv[i], "--format") == 0)
            format = pick(argv[i + 1], formats, 4);
        else if (strcmp(argv[i], "--direction") == 0)
            direction = pick(argv[i + 1], directions, 3);
        else
            return 2;
        if (format < 0 || direction < 0)
            return 2;
    }

    if (gOpenCapture(path) != 0)
        return cli_fail("open");
    locator *packets = NULL;
    size_t count = 0;
    if (read_locators(&packets, &count) != 0)
        return 1;
    if (frame > count) {
        fprintf(stderr, "wsbridge: the capture has %zu packets, no frame %lu\n", count, frame);
        free(packets);
        return 1;
    }
    const locator *chosen = &packets[frame - 1];
    int status = tcp ? gFollowTCPStreamForPacket(chosen->frame_number, chosen->file_offset, chosen->captured_length,
                                                 chosen->packet_length, chosen->encapsulation)
                     : gFollowUDPStreamForPacket(chosen->frame_number, chosen->file_offset, chosen->captured_length,
                                                 chosen->packet_length, chosen->encapsulation);
    if (status != 0) {
        free(packets);
        return cli_fail("follow");
    }
    for (size_t i = 0; i < count; ++i) {
        const locator *l = &packets[i];
        status = tcp ? gAddPacketToTCPStream(l->frame_number, l->file_offset, l->captured_length, l->packet_length,
                                             l->encapsulation)
                     : gAddPacketToUDPStream(l->frame_number, l->file_offset, l->captured_length, l->packet_length,
                                             l->encapsulation);
        if (status != 0) {
            free(packets);
            return cli_fail("add packet");
        }
    }
    free(packets);

    uint8_t valid = 0;
    const char *server = NULL, *client = NULL, *conversation = NULL;
    int32_t server_size = 0, client_size = 0, conversation_size = 0;
    status = tcp ? gIsValidTcpStrem(&valid, 0, &server, &server_size, &client, &client_size, &conversation,
                                    &conversation_size)
                 : gIsValidUDPStrem(&valid, &server, &server_size, &client, &client_size, &conversation,
                                    &conversation_size);
    if (status != 0)
        return cli_fail("check stream");
    if (!valid) {
        printf("%s\n", gGetLastError());
        gCloseCapture();
        return 0;
    }
    printf("%s\n%s\n%s\n", client, server, conversation);

    for (;;) {
        const char *text = NULL;
        uint32_t size = 0;
        uint8_t is_server = 0, end = 0;
        status = tcp ? gGetNextTCPStreamLine(format, direction, &text, &size, &is_server, &end)
                     : gGetNextUDPStreamLine(format, direction, &text, &size, &is_server, &end);
        if (status != 0)
            return cli_fail("read stream");
        if (end)
            break;
        if (format >= 2)
            print_lines(text);
        else
            printf("%s\n", text ? text : "");
    }
    gCloseCapture();
    return 0;
}
