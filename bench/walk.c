/* SPDX-License-Identifier: GPL-2.0-or-later */
/* walk [--batch N] FILE: reads every packet of FILE through the library,
 * touching the Protocol and Info texts, and prints the packet count. What a
 * host that lists a capture does; timed from outside as a whole process.
 * With --batch N the packets come N at a time through gGetNextPacketBatch
 * (summaries only), as a host in another language reads them. */
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
    if (argc == 4 && strcmp(argv[1], "--batch") == 0) {
        batch_size = atoi(argv[2]);
        argv += 2;
        argc -= 2;
    }
    if (argc != 2 || (batch_size < 0)) {
        fprintf(stderr, "usage: walk [--batch N] FILE\n");
        return 2;
    }
    if (gInitEpan() != 0 || gOpenCapture(argv[1]) != 0) {
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
    gCloseCapture();
    gCleanupEpan();
    printf("%lu packets, %lu text bytes\n", packets, text_bytes);
    return 0;
}
