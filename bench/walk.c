/* walk FILE: reads every packet of FILE through the library, touching the
 * Protocol and Info texts, and prints the packet count. What a host that
 * lists a capture does; timed from outside as a whole process. */
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
    if (argc != 2) {
        fprintf(stderr, "usage: walk FILE\n");
        return 2;
    }
    if (gInitEpan() != 0 || gOpenCapture(argv[1]) != 0) {
        fprintf(stderr, "walk: %s\n", gGetLastError());
        return 1;
    }
    PacketSummary summary;
    unsigned long packets = 0, text_bytes = 0;
    int status;
    while ((status = gGetNextPacket(&summary)) == 0) {
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
