/* SPDX-License-Identifier: GPL-2.0-or-later */
/* walk [--batch N] [--stats REQUEST]... FILE: reads every packet of FILE
 * through the library, touching the Protocol and Info texts, and prints the
 * packet count. What a host that lists a capture does; timed from outside as
 * a whole process. With --batch N the packets come N at a time through
 * gGetNextPacketBatch (summaries only), as a host in another language reads
 * them. Each --stats asks for a statistics table (tshark's -z text) before
 * the capture opens; the tables' texts are taken at the end. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "resident.h"
#include "wsbridge.h"

int main(int argc, char **argv)
{
    /* WSB_RSS_EVERY=N prints the resident memory every N packets. */
    const char *every_text = getenv("WSB_RSS_EVERY");
    unsigned long every = every_text ? strtoul(every_text, NULL, 10) : 0;
    int batch_size = 0;
    const char *requests[16];
    int request_count = 0;
    for (;;) {
        if (argc >= 4 && strcmp(argv[1], "--batch") == 0)
            batch_size = atoi(argv[2]);
        else if (argc >= 4 && strcmp(argv[1], "--stats") == 0 && request_count < 16)
            requests[request_count++] = argv[2];
        else
            break;
        argv += 2;
        argc -= 2;
    }
    if (argc != 2 || (batch_size < 0)) {
        fprintf(stderr, "usage: walk [--batch N] [--stats REQUEST]... FILE\n");
        return 2;
    }
    if (gInitEpan() != 0) {
        fprintf(stderr, "walk: %s\n", gGetLastError());
        return 1;
    }
    for (int i = 0; i < request_count; ++i) {
        int32_t table;
        if (gRequestStatistics(requests[i], &table) != 0) {
            fprintf(stderr, "walk: %s\n", gGetLastError());
            return 1;
        }
    }
    if (gOpenCapture(argv[1]) != 0) {
        fprintf(stderr, "walk: %s\n", gGetLastError());
        return 1;
    }
    PacketSummary summary;
    unsigned long packets = 0, text_bytes = 0;
    int status;
    if (batch_size > 0) {
        PacketSummary *summaries = calloc((size_t)batch_size, sizeof *summaries);
        WsbPacketBatch batch;
        memset(&batch, 0, sizeof batch);
        batch.capacity = batch_size;
        batch.summaries = summaries;
        while ((status = gGetNextPacketBatch(&batch)) == 0) {
            for (int i = 0; i < batch.packets; ++i) {
                ++packets;
                if (every && packets % every == 0)
                    fprintf(stderr, "rss %lu %ld\n", packets, resident_kb());
                text_bytes += strlen(summaries[i].protocol_text) + strlen(summaries[i].info_text);
            }
        }
        free(summaries);
    } else {
        status = 0;
    }
    while (batch_size == 0 && (status = gGetNextPacket(&summary)) == 0) {
        ++packets;
        if (every && packets % every == 0)
            fprintf(stderr, "rss %lu %ld\n", packets, resident_kb());
        text_bytes += strlen(summary.protocol_text) + strlen(summary.info_text);
    }
    if (status != 2) {
        fprintf(stderr, "walk: %s\n", gGetLastError());
        return 1;
    }
    unsigned long table_bytes = 0;
    for (int i = 0; i < request_count; ++i) {
        const char *text;
        int32_t size;
        if (gGetStatisticsText(i, &text, &size) != 0) {
            fprintf(stderr, "walk: %s\n", gGetLastError());
            return 1;
        }
        table_bytes += (unsigned long)size;
    }
    gCloseCapture();
    gCleanupEpan();
    printf("%lu packets, %lu text bytes", packets, text_bytes);
    if (request_count > 0)
        printf(", %d tables of %lu bytes", request_count, table_bytes);
    printf("\n");
    return 0;
}
