/* SPDX-License-Identifier: GPL-2.0-or-later */
/* follow FILE FRAME: follows the TCP conversation of frame FRAME (its first
 * packet) the way a host that reads a capture once does: it reads the
 * capture in sequence, starts the follow when it reaches FRAME, and from
 * there adds each packet of the conversation (same TCP endpoints, told by
 * the summary) as it comes by; then it reads the whole stream as ascii. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "wsbridge.h"

/* True when both summaries are TCP between the same two endpoints. */
static int same_conversation(const PacketSummary *a, const PacketSummary *b)
{
    if (a->port_type != WSB_PT_TCP || b->port_type != WSB_PT_TCP)
        return 0;
    if (a->source_port == b->source_port && a->destination_port == b->destination_port)
        return strcmp(a->source_text, b->source_text) == 0 && strcmp(a->destination_text, b->destination_text) == 0;
    return a->source_port == b->destination_port && a->destination_port == b->source_port &&
           strcmp(a->source_text, b->destination_text) == 0 && strcmp(a->destination_text, b->source_text) == 0;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: follow FILE FRAME\n");
        return 2;
    }
    uint32_t frame = (uint32_t)strtoul(argv[2], NULL, 10);
    /* The conversation is told by addresses and ports: no column texts. */
    if (gInitEpan() != 0 || gSetSummaryTexts(0) != 0 || gOpenCapture(argv[1]) != 0) {
        fprintf(stderr, "follow: %s\n", gGetLastError());
        return 1;
    }
    PacketSummary s, first;
    int status, following = 0;
    while ((status = gGetNextPacket(&s)) == 0) {
        if (s.frame_number == frame) {
            if (gFollowTCPStreamForPacket(s.frame_number, s.file_offset, (int32_t)s.captured_length,
                                          s.packet_length, s.encapsulation) != 0) {
                fprintf(stderr, "follow: %s\n", gGetLastError());
                return 1;
            }
            first = s;
            following = 1;
        }
        if (!following || !same_conversation(&s, &first))
            continue;
        if (gAddPacketToTCPStream(s.frame_number, s.file_offset, (int32_t)s.captured_length, s.packet_length,
                                  s.encapsulation) != 0) {
            fprintf(stderr, "follow: %s\n", gGetLastError());
            return 1;
        }
    }
    if (status != 2 || !following) {
        fprintf(stderr, "follow: no frame %u or %s\n", frame, gGetLastError());
        return 1;
    }
    uint8_t valid = 0;
    const char *server, *client, *conversation;
    int32_t server_size, client_size, conversation_size;
    if (gIsValidTcpStrem(&valid, 0, &server, &server_size, &client, &client_size, &conversation,
                         &conversation_size) != 0 || !valid) {
        fprintf(stderr, "follow: %s\n", gGetLastError());
        return 1;
    }
    unsigned long chunks = 0, bytes = 0;
    for (;;) {
        const char *text;
        uint32_t size;
        uint8_t is_server, end;
        if (gGetNextTCPStreamLine(0, 2, &text, &size, &is_server, &end) != 0)
            return 1;
        if (end)
            break;
        ++chunks;
        bytes += size;
    }
    printf("%lu chunks, %lu text bytes; %s\n", chunks, bytes, conversation);
    gCloseCapture();
    gCleanupEpan();
    return 0;
}
